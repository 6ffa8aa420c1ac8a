/* Data volumes: the file systems of the internal arrays mounted at
 * /volume1 to /volume4, their list, sizes and health, the volume that holds
 * a path, file-system growth and the progress of volume operations. */
#ifndef QAVO_VOLUME_H
#define QAVO_VOLUME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Mount point prefix of the data volumes; volume N is mounted at "/volume" N. */
#define QAVO_VOLUME_PREFIX "/volume"
/* Valid volume numbers. */
#define QAVO_VOLUME_MIN 1
#define QAVO_VOLUME_MAX 4

/* One mounted data volume. */
typedef struct _tag_QAVOVOLINFO {
    int32_t svi_number;      /* volume number N (1-based) */
    char svi_device[16];     /* mounted device, such as /dev/md2 */
    int32_t svi_mounted;     /* 1 mounted, 0 not mounted */
    char svi_mountpoint[32]; /* such as /volume1 */
    uint64_t svi_free;       /* bytes free for ordinary users */
    uint64_t svi_total;      /* size in bytes */
    int32_t svi_writeable;   /* 1 mounted read-write, 0 read-only */
} QAVOVOLINFO, *PQAVOVOLINFO;

/* The list of mounted data volumes: the fields of QAVOVOLINFO and the next node. */
typedef struct _tag_QAVOVOLINFOLIST {
    int32_t svi_number;
    char svi_device[16];
    int32_t svi_mounted;
    char svi_mountpoint[32];
    uint64_t svi_free;
    uint64_t svi_total;
    int32_t svi_writeable;
    struct _tag_QAVOVOLINFOLIST *next;
} QAVOVOLINFOLIST, *PQAVOVOLINFOLIST;

/* 1 when N is a volume number (1..4), else 0. */
int BlQAVOVolIDIsValid(int volume);
/* The number N of a path "/volume<N>/<rest>" (not range-checked), or -1
 * (0x0D00 bad path, 0x9900 not of that form). */
int QAVOVolIDGetByPath(const char *path);
/* Volume health of QAVOVolHealthCheck. */
#define QAVO_VOLUME_NOT_MOUNTED 0
#define QAVO_VOLUME_READONLY 1
#define QAVO_VOLUME_WRITABLE 2

/* Volume N (1..4) from the mount table: mounted 0 when "/volume" N is not a
 * mount point. 0, or -1 (0x0D00 bad N or NULL record, 0x0900 mount table
 * unreadable, 0x0A00 statfs failed). */
int QAVOVolInfoGet(int volume, PQAVOVOLINFO info);
/* Health of volume N into *health: 0 not mounted, 1 read-only, 2 writable.
 * 0, or -1 (0x0D00 and QAVOVolInfoGet's codes). */
int QAVOVolHealthCheck(int volume, int *health);
/* The mounted data volumes from "/proc/mounts" in ascending number, only
 * the first entry found with firstOnly; NULL when none or on failure
 * (0x0900 table not opened, 0x0A00 statfs failed, 0x0100 a device or mount
 * point too long for the record, 0x0200). Release with
 * QAVOVolInfoListFree. */
PQAVOVOLINFOLIST QAVOVolInfoListGet(int firstOnly);
/* Reorders a chain by ascending volume number; returns its new head. */
PQAVOVOLINFOLIST QAVOVolInfoListSort(PQAVOVOLINFOLIST list);
/* Frees every node of a chain; NULL is allowed. */
void QAVOVolInfoListFree(PQAVOVOLINFOLIST list);
/* The first writable volume N on which the folder "/volume" N path exists;
 * 0 when none; -1 (0x0D00) when path does not begin with '/'. */
int QAVOVolAllVolumeScan(const char *path);

/* Progress files of the web interface's volume programs (key/value files
 * with "STEP", "PERCENT" and "VOLUME"). */
#define QAVO_VOLUME_ADD_PROGRESS "/tmp/raid_add_init_volume.tmp"
#define QAVO_VOLUME_REPAIR_PROGRESS "/tmp/raid_repair_init_volume.tmp"
#define QAVO_VOLUME_EXPAND_PROGRESS "/tmp/raid_expand_volume.tmp"
#define QAVO_VOLUME_ADDDISK_PROGRESS "/tmp/raid_adddisk_volume.tmp"
/* Progress files of resize2fs, each followed by "." and the caller's suffix. */
#define QAVO_RESIZE_PROGRESS_EXTEND "/tmp/resize2fs.progress.extend"
#define QAVO_RESIZE_PROGRESS_SCAN "/tmp/resize2fs.progress.scan"

/* Steps of a volume creation. */
#define QAVO_VOLINIT_START 0
#define QAVO_VOLINIT_FINISH 1
#define QAVO_VOLINIT_ERROR 2
#define QAVO_VOLINIT_DISKINIT 3
#define QAVO_VOLINIT_MDSYNC 4
#define QAVO_VOLINIT_VOLINIT 5
#define QAVO_VOLINIT_DEFINIT 6

/* Progress of a volume creation. */
typedef struct _tag_VOLINITSTATUS {
    int32_t step;        /* QAVO_VOLINIT_... */
    int32_t diskPercent; /* disks partitioned */
    float syncPercent;   /* array resynchronised */
    int32_t fsPercent;   /* file system made */
    int32_t defPercent;  /* defaults set up */
} VOLINITSTATUS, *PVOLINITSTATUS;

/* The first volume 1..4 mounted writable, or 0. */
int QAVOVolFirstWritableGet(void);
/* 1 when no mounted volume is writable (also when none is mounted), else 0. */
int BlQAVOVolAllReadOnly(void);
/* Size of a block device in 512-byte sectors: 0, or -1 (*sectors 0; 0x0D00
 * for NULL arguments, otherwise no code). */
int QAVOVolDevSizeGet(const char *device, uint64_t *sectors);
/* Grows the file system on the device to the device's size: 0, or -1. */
int QAVOVolExpand(const char *device);
/* 0 when the file system on the device can grow, else -1. */
int QAVOVolExpansible(const char *device);
/* The percentage on the first line of a progress file: 0, or -1 (percent 0;
 * 0x0D00 for NULL arguments, otherwise no code). */
int QAVOVolExpandProgressByPass(const char *file, int *percent);
/* The combined progress of a running resize2fs (progress files with the
 * given suffix): 0, or -1 (0x0D00 for NULL arguments). Waits while the tool
 * runs. */
int QAVOVolExpandProgress(const char *suffix, int *percent);
/* Resynchronisation of /dev/md<md> in per cent (-1.0 flagged, nothing done
 * yet; -2.0 idle but not normal): 0, or -1 when no status query succeeds. */
int MDSyncProgress(int md, float *percent);
/* Progress of a volume creation: 0, -1 (failure), -2 (no progress file). */
int VolInitStatusGet(PVOLINITSTATUS out);
/* 1 while the named operation is in progress (and, when program is not
 * NULL, while a process of that name runs), else 0. */
int BlQAVOVolAddInitRunning(const char *program);
int BlQAVOVolRepairRunning(const char *program);
int BlQAVOVolExpandRunning(const char *program);
int BlQAVOVolAddDiskRunning(const char *program);
/* 1 when any volume operation of the web interface is in progress, else 0. */
int BlQAVOVolOperationRunning(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
