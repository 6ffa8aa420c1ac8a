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
/* Fills rec for the device with that bus and device number: 0, -1. */
int QAVOUSBIDevGetInfo(const char *name, QAVOUSB *rec, int bus, int dev);
/* Both steps: 0, -1 (0x0D00 when the numbers cannot be read). */
int QAVOUSBDevGetInfo(const char *name, QAVOUSB *rec);
/* Cuts usbPath at its last slash. */
int QAVOUSBDevBusnoGetInfo(char *usbPath, QAVOUSB *rec);
int QAVOUSBIGetNames(int vendor, char *manufacturer, int mSize, int product, char *productName,
                     int pSize);
int QAVOUSBGetPort(const QAVOUSB *rec);
const char *SzQAVOUSBIGetTokenValue(PSLIBSZLIST tokens, const char *key);
/* kinds: QAVO_USB_TYPE_STORAGE and/or QAVO_USB_TYPE_PRINTER. buf (size bytes)
 * receives the name pointers at its start and the names packed from its end;
 * each name needs sizeof(char *) + its length + 1 bytes (*needed). */
int QAVOUSBDevEnum(int kinds, char **buf, int size, int *needed);
/* *list is released with free. */
int QAVOUSBDevListGetInfo(QAVOUSB **list);
int QAVOUSBIQueryDevNode(const char *name);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
