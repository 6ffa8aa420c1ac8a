/* USB disks on line and off line: mounting a newly attached disk under its
 * number and sharing it, unmounting and forgetting it, formatting it as a
 * data or backup disk, and mounting everything the hot-plug side listed at
 * start-up. */
#ifndef QAVO_USBMOUNT_H
#define QAVO_USBMOUNT_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Mount root prefix and share folders of a USB disk. */
#define SZD_USB_MOUNT_ROOT "/volumeUSB"
#define SZ_USB_SHARE_FOLDER "usbshare"
#define SZ_USB_BACKUP_FOLDER "usbbackup"

/* Event ids of the system log. */
#define QAVO_EVENT_USB_MOUNTED 0x12300001
#define QAVO_EVENT_USB_UNMOUNTED 0x12300002
#define QAVO_EVENT_USB_UNMOUNT_FAILED 0x12300003

/* Error codes (SLIBErrGet): 0x0D00 a NULL or bad device name (not a plain
 * name of /dev) or another bad argument, 0x0200 out of memory, 0x0400 /
 * 0x0500 the USB map lock not taken / not released; the others are named
 * below. Failures of the programs run give -1 with a syslog line. */

/* QAVOUSBMountEx without a preset number. */
int QAVOUSBMount(const char *device, const char *usbPath, const char *guid);
/* Brings a newly attached disk on line under its number (preset >= 1 asks
 * for that number): 0, also when no file system fits; -1 (0x0D00, 0x2B00
 * the kernel lists no such disk, 0x0100 its path is too long, 0x0400,
 * 0x0500; the volume mount's code). */
int QAVOUSBMountEx(const char *device, const char *usbPath, const char *guid, int preset);
/* Takes the disk off line and forgets it: 0, -1 (0x0D00, 0x0400, 0x0500;
 * the unmount's code). */
int QAVOUSBUnMount(const char *device);
/* Mounts the volume of fs ("reiserfs", "vfat", "ext3", ...) under its
 * number (*number) and shares it when doExport: 0, -1 (0x0D00, 0x2C00 the
 * mount fails, 0x0200; the numbering's or the export's code; the number
 * taken is given back on failure). */
int QAVOUSBVolMount(const char *device, const char *fs, int doExport, int *number);
int QAVOUSBVolMountEx(const char *device, const char *fs, int doExport, int *number, int preset);
/* Unmounts the volume and drops its share; flag 1 also removes a vfat
 * volume's AFP database. 0, -1 (also when it is not mounted, no code;
 * 0x0D00, 0x0200; the service reload's code). */
int QAVOUSBVolUnMount(const char *device, int flag);
/* QAVOUSBVolMountEx for a backup disk (not of file-system code 3). */
int QAVOUSBBackupVolMount(const char *device, const char *fs, int doExport, int *number,
                          int preset);
/* Repartition, format (FAT: vfat) and mount a data disk, or a backup disk
 * of fsCode 0 reiserfs, 1 vfat, 2 ext3 (mounted unless another backup disk
 * is on line): 0, -1 (0x0D00, the steps' codes; the number taken is given
 * back on failure). */
int QAVOUSBVolInit(const char *device);
int QAVOUSBVolInitFAT(const char *device);
int QAVOUSBBackupVolInit(const char *device, int fsCode);
/* 1 when a recorded disk was gone (it is taken off line), 0 when none, -1
 * (0x0100 when memory for the device list runs out; the listing's code). */
int QAVOUSBICheckRemovedDev(void);
/* Mounts every disk and starts every device "/tmp/usbinfoall" lists: 0, -1
 * (0x0400, 0x0D00 when its working lists cannot be allocated, 0x0200,
 * 0x0500). */
int QAVOUSBBatchMount(void);
/* 1 when "/proc/mounts" lists path as a mount point, 0 when not, -1
 * (0x0D00, 0x0200, or "/proc/mounts" unreadable). */
int BlQAVOIsMountPoint(const char *path);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
