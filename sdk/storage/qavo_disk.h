/* Internal disks: the whole disks the kernel lists, capacity and volume
 * space, standby timers, sleep, write cache, the start-up health flags, the
 * power-recovery setting and "/etc/fstab" lines. */
#ifndef QAVO_DISK_H
#define QAVO_DISK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_DISK_TYPE_INTERNAL 1
#define QAVO_DISK_KIND 7
#define QAVO_DISK_NAME_LEN 64

/* One whole disk of "/proc/partitions"; allocated by the query, released
 * with free. */
typedef struct _tag_QAVODISKDEVINFO {
    uint32_t devNum; /* (major << 8) | minor */
    char name[QAVO_DISK_NAME_LEN];
    int32_t kind; /* always QAVO_DISK_KIND */
    uint64_t sizeMB;
    int32_t reserved;
    uint8_t pad[16];
} QAVODISKDEVINFO;

#define QAVO_DISK_PATH_LEN 128
#define QAVO_DISK_MODEL_LEN 128

typedef struct _tag_QAVODISKSPACEINFO {
    char device[QAVO_DISK_PATH_LEN]; /* input */
    char model[QAVO_DISK_MODEL_LEN];
    float usedGB;
    float totalGB;
    int32_t temperature; /* degrees Celsius, -1 when unreadable */
} QAVODISKSPACEINFO;

/* Health flags of "/tmp/hdhealth". */
#define QAVO_HD_HEALTH_FILE "/tmp/hdhealth"
#define QAVO_HD_HEALTH_HDA3_RO 0x1
#define QAVO_HD_HEALTH_HDA3_MOUNT 0x2
#define QAVO_HD_HEALTH_HDA1_MOUNT 0x4
#define QAVO_HD_HEALTH_HDA3_PART 0x8
#define QAVO_HD_HEALTH_HDA1_PART 0x10
#define QAVO_HD_HEALTH_HDA 0x400
#define QAVO_HD_HEALTH_SKIPUI 0x800

#define QAVO_FSTAB "/etc/fstab"
#define QAVO_STANDBY_TIME_FILE "/tmp/standbytime"
#define QAVO_USB_STANDBY_MAX 1440

/* SDK error code of a device that is no disk of an accepted major (this
 * exact value). */
#define QAVO_ERR_NOT_DISK 0x16

/* Error codes (SLIBErrGet) beside the usual ones (0x0D00 bad arguments,
 * 0x0900/0x0A00/0x0B00 open, read and write failures, 0x0200 out of
 * memory, 0x0400/0x0500 the fstab lock): 0x3400 disk not opened, 0x2700
 * disk not examinable, QAVO_ERR_NOT_DISK, 0x6100 disk not in
 * "/proc/partitions", 0x6C00 disk size not readable. */

/* The device numbers of the whole disks (type QAVO_DISK_TYPE_INTERNAL) in
 * a new array *numbers (free it): their count, 0 for none, -1. */
int QAVODiskDevNumEnum(int type, uint32_t **numbers);
/* Name and size of one disk in a new record *out (free it): 0, -1 (0x6100,
 * 0x6C00). */
int QAVODiskInfoGetByDevNum(int type, uint32_t devNum, QAVODISKDEVINFO **out);
/* Fills model, space and temperature of rec->device: 0, -1. */
int QAVODiskSpaceInfoGet(QAVODISKSPACEINFO *rec);
/* A read-only descriptor of a disk for commands, -1 (0x3400, 0x2700,
 * QAVO_ERR_NOT_DISK). */
int QAVODiskOpen(const char *device);
/* 1 when the disk hangs on a host taking SCSI requests, 0 when not, -1. */
int BlQAVODiskIsSATAHost(const char *device);
/* Sends IDLE with the standby count: 0, other on failure. */
int QAVODiskStandbySet(const char *device, int count);
/* Standby timer of every disk in minutes (stored as "standbytimer") or in
 * seconds (not stored): 0, -1 (0x0D00 for a value without a timer count). */
int QAVOHDSleepTimeSet(int minutes);
int QAVOHDSleepTimeSecSet(int seconds);
/* The stored minutes (0 when absent): 0, -1. */
int QAVOHDSleepTimeGet(int *minutes);
/* The stored minutes, 0 when absent. */
int QAVOHDSleepTimeConfGet(void);
/* Standby setting of USB disks, at most QAVO_USB_STANDBY_MAX minutes: 0,
 * -1 (0x0D00). */
int QAVOUSBHDSleepTimeSet(int minutes);
int QAVOUSBHDSleepTimeGet(int *minutes);
/* Puts every disk to sleep now (sleep 1), or resets and wakes them: 0, -1. */
int QAVOHDSleepSet(int sleep);
/* 1 when the disk's write cache is on, else 0. */
int BlQAVODiskWriteCacheGet(const char *device);
/* 1 when every disk has its write cache on, else 0. */
int BlQAVODCacheIsWriteEnabled(void);
/* Switches every disk's write cache and stores the setting: 0, -1. */
int QAVODCacheEnableWrite(int on);
/* 1 when the stored write-cache setting is on, else 0. */
int BlQAVODCacheConfigGet(void);
/* The health flags (QAVO_HD_HEALTH_...). */
int QAVOHDHealthGet(void);
/* Sets or clears one health flag: 0, -1. */
int QAVOHDHealthFlagSet(int flag, int on);
/* Stores "enableRCPower": 0, -1. */
int QAVOSetRCPowerConfig(int on);
/* Appends "device mountPoint fsType defaults 0 0" to "/etc/fstab", or
 * removes the lines of mountPoint, under the fstab lock: 0, -1. */
int QAVOFstabAdd(const char *device, const char *mountPoint, const char *fsType);
int QAVOFstabRemove(const char *mountPoint);
/* The disk's temperature in degrees Celsius, -1 when unreadable (logged). */
int QAVORaidDiskTemperatureGet(const char *device);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
