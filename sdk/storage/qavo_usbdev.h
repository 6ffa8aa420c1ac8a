/* USB device information: one attached device or all of them from
 * "/proc/bus/usb/devices", vendor and product names from
 * "/usr/qavo/etc/usb.map", and the attached disks and printers by kind. */
#ifndef QAVO_USBDEV_H
#define QAVO_USBDEV_H

#include <stdint.h>

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_USB_TYPE_OTHER 1
#define QAVO_USB_TYPE_STORAGE 2
#define QAVO_USB_TYPE_PRINTER 4
#define QAVO_USB_TYPE_ATTACHED 0x8000 /* list form: an attached disk or printer */
#define QAVO_USB_FRONT_PORT 99        /* the front copy port */
#define QAVO_USB_NAME_LEN 128

#define QAVO_USB_DEVICES "/proc/bus/usb/devices"
#define QAVO_USB_MAP "/usr/qavo/etc/usb.map"
#define QAVO_USB_TAB "/tmp/usbtab"

typedef struct _tag_QAVOUSB {
    int type;
    int bus;
    int level;
    int devNum;
    int speed;
    int cls;
    int subCls;
    int port;
    int vendorId;
    int productId;
    char driver[QAVO_USB_NAME_LEN];
    char manufacturer[QAVO_USB_NAME_LEN];
    char product[QAVO_USB_NAME_LEN];
} QAVOUSB;

/* The bus and device numbers of the USB device name in "/tmp/usbtab": 0,
 * -1 (logged). */
int QAVOUSBIGetNumByName(const char *name, int *bus, int *dev);
/* Fills rec for the device with that bus and device number: 0, -1 (0x0D00
 * NULL rec, 0x0900 no device list, 0x0200; not found sets no code). */
int QAVOUSBIDevGetInfo(const char *name, QAVOUSB *rec, int bus, int dev);
/* Both steps: 0, -1 (0x0D00 when the numbers cannot be read). */
int QAVOUSBDevGetInfo(const char *name, QAVOUSB *rec);
/* Cuts usbPath at its last slash and reads the numbers from the rest: as
 * QAVOUSBIDevGetInfo; -1 without a code when they cannot be read. */
int QAVOUSBDevBusnoGetInfo(char *usbPath, QAVOUSB *rec);
/* The vendor and product names of "/usr/qavo/etc/usb.map": 0 when the
 * vendor is listed, -1 (0x0D00, 0x0900, 0x0200; an unlisted vendor sets no
 * code). */
int QAVOUSBIGetNames(int vendor, char *manufacturer, int mSize, int product, char *productName,
                     int pSize);
/* The record's port, -1 for NULL; no code. */
int QAVOUSBGetPort(const QAVOUSB *rec);
/* The item after the first item equal to key, NULL when none; no code. */
const char *SzQAVOUSBIGetTokenValue(PSLIBSZLIST tokens, const char *key);
/* kinds: QAVO_USB_TYPE_STORAGE and/or QAVO_USB_TYPE_PRINTER. buf (size bytes)
 * receives the name pointers at its start and the names packed from its end;
 * each name needs sizeof(char *) + its length + 1 bytes (*needed). The
 * number of names (0 without "/tmp/usbtab"), -1 (0x0D00, 0x0100 buf too
 * small, 0x0A00 a read error, 0x0200). */
int QAVOUSBDevEnum(int kinds, char **buf, int size, int *needed);
/* Every device of "/proc/bus/usb/devices" as an array of records in *list,
 * released with free: the number of records completed, which stay also
 * when the reading stops early (0x0200 out of memory, 0x0900 no device
 * list); -1 (0x0D00 NULL list, 0x0200). */
int QAVOUSBDevListGetInfo(QAVOUSB **list);
/* The value the kernel's query ioctl gives for the device node: that value,
 * -1 (0x0D00 NULL, 0x0900 the node cannot be opened; a failed ioctl sets no
 * code). */
int QAVOUSBIQueryDevNode(const char *name);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
