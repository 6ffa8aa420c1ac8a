/* Internal disks: the whole disks the kernel lists, capacity and volume
 * space, standby timers, sleep, write cache, the start-up health flags, the
 * power-recovery setting and "/etc/fstab" lines. */
#ifndef QAVO_DISK_H
#define QAVO_DISK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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

int QAVODiskDevNumEnum(int type, uint32_t **numbers);
int QAVODiskInfoGetByDevNum(int type, uint32_t devNum, QAVODISKDEVINFO **out);
int QAVODiskSpaceInfoGet(QAVODISKSPACEINFO *rec);
int QAVODiskOpen(const char *device);
int BlQAVODiskIsSATAHost(const char *device);
int QAVODiskStandbySet(const char *device, int count);
int QAVOHDSleepTimeSet(int minutes);
int QAVOHDSleepTimeSecSet(int seconds);
int QAVOHDSleepTimeGet(int *minutes);
int QAVOHDSleepTimeConfGet(void);
int QAVOUSBHDSleepTimeSet(int minutes);
int QAVOUSBHDSleepTimeGet(int *minutes);
int QAVOHDSleepSet(int sleep);
int BlQAVODiskWriteCacheGet(const char *device);
int BlQAVODCacheIsWriteEnabled(void);
int QAVODCacheEnableWrite(int on);
int BlQAVODCacheConfigGet(void);
int QAVOHDHealthGet(void);
int QAVOHDHealthFlagSet(int flag, int on);
int QAVOSetRCPowerConfig(int on);
int QAVOFstabAdd(const char *device, const char *mountPoint, const char *fsType);
int QAVOFstabRemove(const char *mountPoint);
int QAVORaidDiskTemperatureGet(const char *device);

#ifdef __cplusplus
}
#endif

#endif
