/* External volumes: the number (1..15) that follows a USB disk from one
 * attachment to the next, the run-time files the hot-plug side and the
 * mount code share, the disk size, the FAT superfloppy test with its table
 * of partition types, and the information of one external volume. The
 * one-sector read and write are in qavo_disksector.h. */
#ifndef QAVO_USBVOL_H
#define QAVO_USBVOL_H

#include <stdint.h>

#include "qavo_disksector.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Number to GUID, kept across reboots. */
#define SZF_USBNO_GUID_MAP "/usr/qavo/etc/usbno_guid.map"
/* Device to USB path; device to GUID; device to USB path and GUID. */
#define SZF_USBTAB "/tmp/usbtab"
#define SZF_USBGUIDTAB "/tmp/usbguidtab"
#define SZF_USBINFOALL "/tmp/usbinfoall"
/* Device to "init"/"success"; "used" numbers; the pending USB copy. */
#define SZF_USBDISKAPPLYING "/tmp/usbdiskapplying"
#define SZK_USB_USED "used"
#define SZV_USB_APPLY_INIT "init"
#define SZV_USB_APPLY_SUCCESS "success"

#define QAVO_USB_POSTFIX_MIN 1
#define QAVO_USB_POSTFIX_MAX 15
#define QAVO_USB_GUID_MAX 63

/* Volume status. */
#define QAVO_USBVOL_NORMAL 0
#define QAVO_USBVOL_CORRUPT 1
#define QAVO_USBVOL_ERROR 2

/* One external volume. */
typedef struct _tag_QAVOUSBVOLINFO {
    uint64_t total;         /* MiB, rounded up */
    uint64_t used;          /* MiB: total minus the available space rounded up */
    int32_t status;         /* QAVO_USBVOL_* */
    char szShareName[128];  /* "usbshareN", "usbbackup", "satashare", "satabackup" */
    char szSharePath[128];  /* folder exported as the share */
    char szFileSystem[64];  /* type field of "/proc/mounts" */
    char szDescription[64]; /* "USB Disk N", "USB Crashed disk", "External SATA Disk" */
    char szMountPoint[128]; /* empty when not mounted */
} QAVOUSBVOLINFO;

/* One partition type: id, name, 1 for the FAT and NTFS types. */
typedef struct _tag_QAVOPARTTYPE {
    uint32_t id;
    const char *name;
    uint32_t isFatNtfs;
} QAVOPARTTYPE;
/* 48 types and an ending row without a name. */
extern const QAVOPARTTYPE gQAVOPartType[49];

/* The postfix number registered for the disk's GUID or device (*number -1
 * first): 0 found, -1 when not (no error code; by device: 0x2000 when the
 * device has no GUID) or on failure (0x0D00, 0x0200). */
int QAVOUSBIGetPostFixNumberByGUID(const char *guid, int *number);
int QAVOUSBIGetPostFixNumberByDev(const char *device, int *number);
/* The number the disk had, else the lowest free one; -1 when none is free
 * (no code) or out of memory (0x0200). */
int QAVOUSBIFindPostFixNumber(const char *device);
/* Marks number used (remove 0) or free in the "used" list under the USB map
 * lock: 0, -1 (0x0400, 0x0500, 0x0200; the list writer's code). */
int QAVOIModifyUSBUsedList(int number, int remove);
/* Gives the device a number (preset >= 1: that one) and records it; the GUID
 * the number held before goes into oldGuid for the roll-back. 0, or -1
 * (0x0D00, 0x2000 the device has no GUID, 0x0400, 0x0500; no number free
 * or the map writer's code). */
int QAVOUSBRegisterPostFixNumberEx(const char *device, int *number, char *oldGuid, int oldGuidSize,
                                   int preset);
int QAVOUSBRegisterPostFixNumber(const char *device, int *number, char *oldGuid, int oldGuidSize);
/* Gives number back to oldGuid (or frees it): 0, -1 (0x0D00, 0x0400, 0x0500;
 * the map writer's code). */
int QAVOUSBRollBackPostFixNumberMap(int number, const char *oldGuid);
/* The disk's size in MiB: 0, -1 (0x0D00, 0x6C00 the device cannot be
 * opened or sized). */
int QAVOUSBIGetDiskSizeMB(const char *device, uint64_t *sizeMB);
/* 1 when the disk holds a FAT file system on the whole disk, else 0 (also
 * when it cannot be read; no code of its own). */
int BlQAVOUSBIsFATSuperFloppy(const char *device);
/* The volume of a USB disk ("sdb"); 0 also for an unmounted or unreadable
 * disk (reported by status), -1 (0x0D00, 0x0200, 0x0900). */
int QAVODiskUSBDevGetVolInfo(const char *device, QAVOUSBVOLINFO *info);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
