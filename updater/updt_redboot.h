/* Flash work of the boot loader's layout: the backup of every partition into
 * the update folder's "b@ckup", the erase-write-verify of each partition to
 * update with its directory entry, and the roll-back to the backup. */
#ifndef UPDT_REDBOOT_H
#define UPDT_REDBOOT_H

#include <stdint.h>

#include "qavo_mtd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Backup folder inside the update folder, and the backup file name prefix. */
#define UPDT_BACKUP_DIR "b@ckup"
#define UPDT_BACKUP_PREFIX "mtd_"
/* Attempts of erase, write and verify per partition. */
#define UPDT_PATCH_TRIES 3

/* Copies every partition of the old flash directory into the backup folder
 * and checks that each copy holds the whole partition; 0 or -1. */
int UPDTBackupOldPartition(const FISDIRENTRY *pEntries, int n);
/* 1 once this run made its backup folder (a folder of an earlier run is
 * never removed by this one), else 0. */
int BlUPDTBackupMade(void);
/* Resizes when needed, checks every source, unlocks, then erases, writes and
 * verifies each row to update (up to three attempts) and rewrites its
 * directory entry; 0 or -1. */
int UPDTDoPatch(const FISDIRENTRY *pEntries, int n);
/* Writes exactly length bytes of the source at the start of the device; fewer
 * bytes in the source is a failure. 0 or -1. */
int UPDTCopyFile(const char *szSource, const char *szDevice, uint64_t length, int nBufSize);
/* Compares the first length bytes of the file and the device; 0 or -1. */
int UPDTVerifyFile(const char *szFile, const char *szDevice, uint64_t length, int nBufSize);
/* Writes back, from the backup, every partition that the patch moved, erased
 * or wrote (or whose old place it erased), verifies each and restores its
 * directory entry. Goes on after a failing row; -1 when any row failed. */
int UPDTRollBack(const FISDIRENTRY *pEntries, int n);

#ifdef __cplusplus
}
#endif

#endif
