/* Internal disks under the md arrays: slots and devices, sizes, model,
 * each disk's role in the arrays, and the fixed partition layout. The disk
 * layer sets no SLIBErrGet code: its failures are kept for
 * QAVORaidDiskErrGet and logged. */
#ifndef QAVO_RAIDDISK_H
#define QAVO_RAIDDISK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Disk slots 0..3 and partition indexes 0..3 (partitions 1..4). */
#define QAVO_RAID_DISK_MAX 4
#define QAVO_RAID_PART_MAX 4

/* Partition layout of every internal disk, in 512-byte sectors. */
#define QAVO_RAID_PART1_START 63u
#define QAVO_RAID_PART1_SIZE 1574307u
#define QAVO_RAID_PART2_START 1574370u
#define QAVO_RAID_PART2_SIZE 787185u
#define QAVO_RAID_PART3_GAP 273105u
#define QAVO_RAID_PART3_START 2634660u
#define QAVO_RAID_PART_TYPE 0xfdu
#define QAVO_RAID_CYLINDER 16065u

/* Initialisation types of QAVORaidDiskInit. */
#define RAID_DISK_INIT_SYS 1
#define RAID_DISK_INIT_DATA 2
#define RAID_DISK_INIT_ALL 3

/* Disk status codes. */
#define QAVO_RAID_DISK_NORMAL 0
#define QAVO_RAID_DISK_NONE 1
#define QAVO_RAID_DISK_FREE 2
#define QAVO_RAID_DISK_SYSONLY 3
#define QAVO_RAID_DISK_FAILING 4
#define QAVO_RAID_DISK_SYSDAMAGED 5
#define QAVO_RAID_DISK_NOSYS 6

/* Disk layer error codes (QAVORaidDiskErrGet). */
#define QAVO_RAID_DISK_ERR_PARAM 1
#define QAVO_RAID_DISK_ERR_RESET 3
#define QAVO_RAID_DISK_ERR_MODEL 5
#define QAVO_RAID_DISK_ERR_SIZE 6
#define QAVO_RAID_DISK_ERR_STATUS 7

/* Longest model text QAVORaidDiskStatus keeps (the ATA field). */
#define QAVO_RAID_DISK_MODEL_LEN 40

/* The status record of one disk. */
typedef struct _tag_QAVORAIDDISKSTATUS {
    int32_t reserved;  /* never written */
    int32_t status;    /* QAVO_RAID_DISK_... */
    char device[4096]; /* whole-disk path */
    char model[128];
    uint32_t dataMask; /* bit md-2 of the data array holding the disk */
    float size;        /* GiB */
} QAVORAIDDISKSTATUS, *PQAVORAIDDISKSTATUS;

/* The disk layer's own last error (QAVO_RAID_DISK_ERR_...), kept beside
 * the SDK error code; the setter records one. */
int QAVORaidDiskErrGet(void);
void QAVORaidDiskErrSet(int err);

/* 1 when disk is a slot number 0..3 / p a partition index 0..3. */
int BlQAVORaidDiskIsValid(int disk);
int BlQAVORaidPartIsValid(int p);

/* The model's slot count ("maxdisks" of /etc.defaults/qavoinfo.conf), 0 when unreadable. */
int QAVORaidDiskMaxNumGet(void);
/* Bits 0..maxdisks-1. */
uint32_t QAVORaidDiskAllMaskGet(void);
/* "/dev/sdX", "/sys/block/sdX", "/dev/sdXn"; NULL for an invalid slot or index. */
const char *QAVORaidDiskDevGet(int disk);
const char *QAVORaidDiskSysfsGet(int disk);
const char *QAVORaidPartDevGet(int disk, int p);

/* Size in sectors of partition index p, or of the whole disk with -1.
 * 0, or 1 (error 1 bad parameter; 6 when the size does not fit 32 bits). */
int QAVORaidDiskSizeGet(int disk, int p, uint32_t *sectors);
/* Usable md size of a future data partition of the disk; error 6 when the
 * disk is not larger than the system area. */
int QAVORaidDiskDataSizeGet(int disk, uint32_t *sectors);
/* Usable md size of the existing partition index p. */
int QAVORaidPartUsableSizeGet(int disk, int p, uint32_t *sectors);
/* Smallest data size (whole cylinders after the system area) among the masked disks. */
int QAVORaidDiskMinSizeGet(uint32_t mask, uint32_t *sectors);
/* Data size of a disk of s sectors, and the usable md size of x sectors. */
uint32_t QAVORaidDataSizeOf(uint32_t s);
uint32_t QAVORaidUsableSizeOf(uint32_t x);

/* The disk's model (ATA identify, else the sysfs model file): 0, or -1. */
int QAVORaidDiskModelGet(const char *device, char *buf, int size);

/* Fills the status record; an empty slot is status 1 with result 0. A disk
 * in no array for certain while a member of an array could not be read has
 * no status (error 7): it may be that member. */
int QAVORaidDiskStatus(int disk, PQAVORAIDDISKSTATUS out);
/* System state: 0 in md0 and md1, 1 in neither, 2 otherwise. */
int QAVORAIDStatusGetSYS(int *state, int disk);
/* Data state: 0 working in a data array, 2 faulty or flagged there, 1 in none. */
int QAVORAIDStatusGetDATA(int *state, uint32_t *mdMask, int disk);
/* Status code from the two states. */
int QAVORaidDiskStatusCalc(int sys, int data, int *status);
/* disk+1 of the member device (major, minor) of array md, or -1. */
int QAVORaidDiskIdGetByDevNum(int md, int major, int minor);
/* Presence of a slot's sysfs entry: *status 1 present, 0 absent. */
int QAVORaidDiskExistCheck(const char *path, int *status);
/* First disk of status 2 or 3 (-1 when none) / their count. */
int QAVORaidDiskUnusedIdFirst(void);
int QAVORaidDiskUnused(void);

/* Partition partNo of a device as sfdisk lists it: the size, start and type,
 * or all ones. */
uint32_t QAVORaidPartInfoGet(int partNo, const char *device, uint32_t *start, uint32_t *type);
/* 1 when partitions 1..3 follow the layout, else 0. */
int BlQAVORaidDiskCheckPartitions(const char *device);
/* Clears partition entries (3: all, 1: 1 and 2, 2: 3, other: 1). */
int QAVORaidDiskPartClean(int disk, int type);
/* Partitions a disk (RAID_DISK_INIT_SYS, _DATA or _ALL). Partitions that
 * working members of assembled arrays stand on, or may stand on (an array
 * whose state or one of whose members cannot be read), are refused (error
 * 7). 0, or 1 with QAVORaidDiskErrGet set (PARAM, STATUS; a failed tool).
 * Both refuse (PARAM) a slot beyond the model's slot count and a disk that
 * "/tmp/usbtab", "/tmp/usbguidtab" or "/tmp/satatab" names. */
int QAVORaidDiskInit(int disk, int type);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
