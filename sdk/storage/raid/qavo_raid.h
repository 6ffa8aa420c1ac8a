/* md RAID arrays: status from the md driver, free numbers, creation,
 * destruction, members, upgrade and repair candidates, growth and the
 * system arrays. The array layer sets no SLIBErrGet code: its failures are
 * kept for QAVORaidVolErrGet (QAVO_RAID_ERR_...) and logged. */
#ifndef QAVO_RAID_H
#define QAVO_RAID_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Array numbers 0..5: md0 system, md1 swap, md2.. data. */
#define QAVO_RAID_MD_MAX 5
/* Sectors in front of the data partition of every disk. */
#define QAVO_RAID_SYSVOL_SECTORS 2634597u
/* Whole-disk sectors a new member needs besides twice its component KiB. */
#define QAVO_RAID_MEMBER_BASE_SECTORS 2634916u

/* Array status and resynchronisation state. */
#define QAVO_RAID_NORMAL 0
#define QAVO_RAID_DEGRADED 1
#define QAVO_RAID_CRASHED 2
#define QAVO_RAID_SYNC_IDLE 0
#define QAVO_RAID_SYNC_RUNNING 1
#define QAVO_RAID_SYNC_PENDING 2

/* md member state bits; 0x40 is the appliance kernel's failing-member flag. */
#define QAVO_MD_DISK_FAULTY 0x1
#define QAVO_MD_DISK_ACTIVE 0x2
#define QAVO_MD_DISK_SYNC 0x4
#define QAVO_MD_DISK_REMOVED 0x8
#define QAVO_MD_DISK_FLAGGED 0x40

/* The appliance's resynchronisation request: {flag, sectors done, total}. */
#define QAVO_MD_SYNC_STATUS 0x800C0960u

/* Array layer error codes (QAVORaidVolErrGet). */
#define QAVO_RAID_ERR_PARAM 1
#define QAVO_RAID_ERR_NOID 2
#define QAVO_RAID_ERR_CMD 3
#define QAVO_RAID_ERR_NODEV 4
#define QAVO_RAID_ERR_ZERO 5
#define QAVO_RAID_ERR_UMOUNT 7
#define QAVO_RAID_ERR_STOP 8
#define QAVO_RAID_ERR_FORK 9
#define QAVO_RAID_ERR_PARTSIZE 10
#define QAVO_RAID_ERR_SIZE 11

/* The status record of one array. */
typedef struct _tag_QAVORAIDVOLSTATUS {
    int32_t md;
    int32_t level;
    int32_t valid;       /* 1 in every filled record */
    int32_t status;      /* QAVO_RAID_NORMAL, _DEGRADED, _CRASHED */
    int32_t syncState;   /* QAVO_RAID_SYNC_... */
    float syncPercent;   /* per cent done while resynchronising */
    int32_t designed;    /* member slots the array was built with */
    int32_t counted;     /* working members plus flagged ones */
    int32_t working;     /* active or spare members */
    uint32_t memberMask; /* bit d: disk d is a member */
    uint32_t faultyMask;
    uint32_t flaggedMask;
    uint32_t workingMask;
    char device[4096]; /* "/dev/mdN" */
    int32_t mounted;
    char mountPoint[4096];
    uint64_t size;         /* bytes */
    int64_t componentSize; /* KiB of one member */
} QAVORAIDVOLSTATUS, *PQAVORAIDVOLSTATUS;

/* The array layer's own last error (QAVO_RAID_ERR_...), kept beside the
 * SDK error code; the setter records one. */
int QAVORaidVolErrGet(void);
void QAVORaidVolErrSet(int err);

/* 1 when md is an array number 0..5. */
int BlQAVORaidMDIsValid(int md);
/* 0 normal, 1 degraded, 2 crashed, from the level, designed and working counts
 * and the member mask. A RAID1 is crashed only with no working member. */
int QAVORaidVolStatusCalc(int level, int designed, int working, uint32_t memberMask);
/* Fills the status record. Unless stated, operations give 0, or 1 with the
 * array layer's error code. */
int QAVORaidVolStatusGet(int md, PQAVORAIDVOLSTATUS out);
/* Resynchronisation state of an open array: 0, or -1. */
int GetRAIDVolRebuildInfo(int fd, int *state, float *percent);
/* Data arrays that answer: bit i for md(i+2), the first index, the count. */
int QAVORaidDevEnum(uint32_t *mask, int *first, int *count);
/* Lowest absent array number. */
int QAVORaidVolFindUnusedID(int *md);
/* Creates an array over partition index partIndex of the masked disks (a
 * masked disk that the external-disk tables name is refused, PARAM). */
int QAVORaidDevCreate(uint32_t diskMask, int partIndex, int level, int diskCount, int *md);
int QAVORaidDataDevCreate(uint32_t diskMask, int level, int diskCount, int *md);
/* Unmounts, stops and wipes a data array (md0 and md1 are refused). 0, or
 * 1 with QAVORaidVolErrGet set (PARAM, UMOUNT, STOP, CMD, ZERO). */
int QAVORaidVolDestroy(int md);
/* Adds partition partIndex of disk (System: md0 part 1, swap: md1 part 2,
 * data: part 3) to an array, or fails it and removes it. 0, or 1 (PARAM for
 * a bad array, disk or partition, a slot beyond the model's slot count or a
 * disk that the external-disk tables name; CMD for a failed mdadm; size
 * checks of the disk layer). */
int QAVORaidVolPartAdd(int md, int disk, int partIndex);
int QAVORaidSysPartAdd(int disk);
int QAVORaidSwapPartAdd(int disk);
int QAVORaidVolDataPartAdd(int md, int disk);
int QAVORaidVolPartRemove(int md, int disk, int partIndex);
int QAVORaidVolDataPartRemove(int md, int disk);
/* Disks that can mirror a one-disk RAID1 / repair a degraded array (disk or
 * -1 for all): a mask, 0 none fits, -1 in use, -2 array not suitable, -3 error. */
int QAVORaidVolUpgradable(int md, int disk);
int QAVORaidVolRepairable(int md, int disk);
/* 1 when a free disk's data area holds componentKiB, 0 too small, -1 in
 * use, -2 status unreadable. */
int QAVORaidDiskFitCheck(int disk, uint64_t componentKiB);
/* Whole-disk sectors a new member of the array needs. */
int QAVORaidVolMemberDiskSizeGet(const QAVORAIDVOLSTATUS *rec, uint64_t *sectors);
/* Component size in KiB from the driver (no error code). */
int QAVORaidComponentSize(int md, uint32_t *kib);
/* Size the array could grow to, 0 when none. */
int QAVORaidVolExpansible(int md, uint32_t *kib);
int QAVORaidVolExpand(int md);
/* mdadm's exit status, or 1. */
int QAVORaidVolDiskCountChange(int md, int count);
/* Whether a disk can join a RAID5 reshape: always -2 (not possible). The
 * reshape itself therefore always fails: 1 (logged, no error code). */
int QAVORaidVolDiskAddCheck(int md, int disk);
int QAVORaidVolRaid5Reshape(int md, int disk);
/* Arrays listed in /proc/mdstat into *count: 0, 1 (PARAM, CMD). */
int QAVORaidVolCount(int *count);
/* Partitions the disks and builds md0 and md1. */
int QAVORaidSystemInit(void);
/* 1 while md0 or md1 resynchronises. */
int BlQAVORaidSystemSyncing(void);
/* Set bits among bits 0-3. */
int QAVORaidDiskMaskCount(uint32_t mask);
/* The model's disk slots N (1 when they cannot be read, logged), the
 * highest data array number N + 1, and the number of arrays N + 2. */
int QAVORaidVolMaxNumGet(void);
int QAVORaidVolMaxMDGet(void);
int QAVORaidMDCountGet(void);
/* Size limit from a file /tmp/volume.<GiB>, in KiB; 0 when there is none. */
uint64_t QAVORaidVolSizeLimitGet(void);
/* Sectors of the system area. */
uint32_t QAVORaidSysVolSizeGet(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
