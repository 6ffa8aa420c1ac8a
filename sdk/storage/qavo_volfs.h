/* Volume file systems on the data arrays: volume index i (0..3) is the array
 * /dev/md<i+2> mounted at /volume<i+1>. Its mount state and sizes, the file
 * system made on the array and its progress, unmounting, the kind of an
 * array and the sweep for crashed arrays. The layer sets no SLIBErrGet
 * code: failures give 1 (or -1 where said) and keep their code for
 * QAVOVolRaidErrGet. */
#ifndef QAVO_VOLFS_H
#define QAVO_VOLFS_H

#include <stdint.h>
#include <sys/statfs.h>

#include "qavo_raid.h"
#include "qavo_volume.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Volume indexes. */
#define QAVO_VOLRAID_MIN 0
#define QAVO_VOLRAID_MAX 3

/* File-system creation progress of array md: "/tmp/mkfs.progress.md<md>". */
#define QAVO_MKFS_PROGRESS "/tmp/mkfs.progress"

/* File-system types of QAVOVolRaidFsCreate. */
#define QAVO_VOLRAID_FS_EXT2 3
#define QAVO_VOLRAID_FS_EXT3 4

/* Error codes of the volume layer (QAVOVolRaidErrGet). */
#define QAVO_VOLRAID_ERR_PARAM 1    /* bad parameter */
#define QAVO_VOLRAID_ERR_CMD 2      /* command or pipe did not run, unmount failed */
#define QAVO_VOLRAID_ERR_NOTMOUNT 3 /* volume not mounted */
#define QAVO_VOLRAID_ERR_MOUNTED 4  /* volume already mounted */
#define QAVO_VOLRAID_ERR_MOUNT 5    /* mount failed */
#define QAVO_VOLRAID_ERR_MKFS 6     /* file-system creation failed */
#define QAVO_VOLRAID_ERR_STATFS 7   /* statfs failed */
#define QAVO_VOLRAID_ERR_NOSPACE 9  /* no space to make the mount point */
#define QAVO_VOLRAID_ERR_MKDIR 10   /* making the mount point failed */
#define QAVO_VOLRAID_ERR_STAT 11    /* examining the mount point failed */

/* Kinds of QAVOVolRaidTypeGet. */
#define QAVO_VOLRAID_KIND_OTHER 0
#define QAVO_VOLRAID_KIND_STRIPE1 1 /* level 0 of at most one disk */
#define QAVO_VOLRAID_KIND_MIRROR1 2 /* RAID1 of one disk */
#define QAVO_VOLRAID_KIND_99 3      /* not normal, "md<N>_level" 99 */

/* The volume layer's error code. */
int QAVOVolRaidErrGet(void);
void QAVOVolRaidErrSet(int err);
/* 1 when the model supports RAID ("supportraid" is "yes"), else 0. */
int BlQAVORaidIsSupported(void);
/* 1 when i is a volume index (0..3), else 0. */
int BlQAVOVolRaidIDIsValid(int index);

/* Operations below give 0, or 1 with the volume layer's error code set. */

/* Number (the index), device, mount point, mounted flag and sizes of
 * volume i (the writable flag is not set). */
int QAVOVolRaidInfoGet(int index, PQAVOVOLINFO out);
/* statfs of a mounted volume: 0, 1 (PARAM, NOTMOUNT, STATFS; the volume
 * information's failure). */
int QAVOVolRaidStatfs(int index, struct statfs *out);
/* The mounted volumes: bit i of mask, the first index, their count (each
 * output may be NULL, not all three). */
int QAVOVolRaidEnum(uint32_t *mask, int *first, int *count);
/* Makes an ext2 (3) or ext3 (4) file system on volume i's array, with the
 * progress text handed to the tool's "-P", and mounts it. A mount point that
 * is not a real directory (a symbolic link, a file) is refused (PARAM). */
int QAVOVolRaidFsCreate(int index, int fsType, const char *progress);
/* Per cent (0 to 100) of the file system made on volume i's array, or -1. Waits while
 * mke2fs or mkfs.ext3 runs. */
int QAVOVolRaidMkfsProgress(int index);
/* Unmounts volume i: 0, 1 (PARAM, CMD). */
int QAVOVolRaidUmount(int index);
/* Kind of an array (QAVO_VOLRAID_KIND_...); 0 with error 1 for NULL. */
int QAVOVolRaidTypeGet(const QAVORAIDVOLSTATUS *rec);
/* Remounts a mounted device read-only, with the network services stopped
 * meanwhile: 0, or -1 (not mounted, already read-only, still writable). */
int QAVORemountCrashRaidRo(const char *device);
/* Sweeps the data arrays: one that lost every member is unmounted, its
 * services disabled and its shares deleted (kept while any mount of the
 * array is left); one that lost too many is remounted read-only. The number
 * of arrays unmounted. */
int QAVOVolRaidCrashCheck(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
