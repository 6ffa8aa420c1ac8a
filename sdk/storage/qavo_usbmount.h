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

/* QAVOUSBMountEx without a preset number. */
int QAVOUSBMount(const char *device, const char *usbPath, const char *guid);
/* preset >= 1 asks for that number. 0 also when no file system fits. */
int QAVOUSBMountEx(const char *device, const char *usbPath, const char *guid, int preset);
int QAVOUSBUnMount(const char *device);
int QAVOUSBVolMount(const char *device, const char *fs, int doExport, int *number);
int QAVOUSBVolMountEx(const char *device, const char *fs, int doExport, int *number, int preset);
/* flag 1 also removes a vfat volume's AFP database. */
int QAVOUSBVolUnMount(const char *device, int flag);
int QAVOUSBBackupVolMount(const char *device, const char *fs, int doExport, int *number,
                          int preset);
int QAVOUSBVolInit(const char *device);
int QAVOUSBVolInitFAT(const char *device);
/* fsCode 0 reiserfs, 1 vfat, 2 ext3. */
int QAVOUSBBackupVolInit(const char *device, int fsCode);
/* 1 when a recorded disk was gone, 0 when none, -1. */
int QAVOUSBICheckRemovedDev(void);
int QAVOUSBBatchMount(void);
/* 1 when "/proc/mounts" lists path as a mount point, 0 when not, -1. */
int BlQAVOIsMountPoint(const char *path);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
