/* Patch records of the boot loader's flash layout: one row per partition a
 * package may replace, the edition tables of rows and devices, the lookups by
 * partition name, and the resizing that moves erase blocks between partitions
 * when an image no longer fits. */
#ifndef UPDT_PATCHINFO_H
#define UPDT_PATCHINFO_H

#include <stdint.h>

#include "qavo_mtd.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _tag_PATCHINFO {
    const char *szPart;  /* partition name as in the flash directory */
    const char *szFile;  /* image file, relative to the update folder */
    uint32_t start;      /* flash_base (moved by the resizing) */
    uint32_t datalen;    /* bytes to write */
    uint32_t size;       /* partition size in bytes (changed by the resizing) */
    int32_t balance;     /* erase blocks of the partition minus blocks the data needs */
    int32_t delta;       /* erase blocks added (+) or given away (-) by the resizing */
    int32_t fneedupdate; /* 1 when the partition must be written */
    int32_t fhasimage;   /* 1 when the package brings an image for it; a row
                            rewritten without one is written from its backup */
} PATCHINFO, *PPATCHINFO;

typedef struct _tag_PARTDEVMAP {
    const char *szPart;   /* partition name */
    const char *szDevice; /* MTD device path */
} PARTDEVMAP, *PPARTDEVMAP;

/* Rows of the two editions. */
#define UPDT_ROWS_FULL 8
#define UPDT_ROWS_POMLET 6
#define UPDT_ROWS_MAX 8

/* The edition tables (constant data). The maps end with a row of two nulls. */
extern const PATCHINFO gPatchInfoFull[UPDT_ROWS_FULL];
extern const PATCHINFO gPatchInfoPomlet[UPDT_ROWS_POMLET];
extern const PARTDEVMAP gPartDevMapFull[UPDT_ROWS_FULL + 1];
extern const PARTDEVMAP gPartDevMapPomlet[UPDT_ROWS_POMLET + 1];

/* The updater's working state of the flash layout: the edition's rows followed
 * by an all-zero row, its device map, the row count, the edition flag, the
 * flash-directory device and the absolute update folder. */
extern PATCHINFO gPatchInfo[UPDT_ROWS_MAX + 1];
extern PARTDEVMAP gPartDevMap[UPDT_ROWS_MAX + 1];
extern int nPatchRows;
extern int blPomlet;
extern char gszDevMtdPartition[10];
extern char szUpdateDir[256];
/* The volume that receives the system archive and the saved configuration
 * ("/volume1" unless "-v" names another), and the group-update flag ("-g"). */
extern char szVolume[32];
extern int blGroupUpdate;
/* Erase-block size, read from the flash-directory device. */
extern uint32_t gEraseBlockSize;

/* Copies the edition's tables into the working state (pomlet: 6 rows and
 * "/dev/mtd5"; otherwise 8 rows and "/dev/mtd7"). */
void UPDTSelectEdition(int pomlet);

/* Status of a package image: 1 a usable image (its size in *pSize), 0 absent,
 * -1 present but unusable (empty, not a regular file, unreadable; logged). */
int UPDTImageStatus(const char *szFile, uint64_t *pSize);
/* Device path of a partition of the map (name compared ignoring case), or null. */
const char *SzUPDTGetDeviceByName(const char *szName);
/* Index of the first entry with that name (ignoring case), or -1. */
int GetIdxByName(const char *szName, const FISDIRENTRY *pEntries, int n);
/* Fills the working rows from the flash directory and the package's images;
 * 0, or -1 (an image that cannot be used, a missing partition, too much data). */
int UPDTInitPatchInfo(const FISDIRENTRY *pEntries, int n);
/* 1 when one of the first n rows has a negative balance, else 0. */
int BlUPDTNegativeBalance(const PATCHINFO *pRows, int n);
/* 1 for "qavocfg", "vendor", "RedBoot Config" and "FIS Directory". */
int BlUPDTIsFixedPartition(const char *szName);
/* 1 for "RedBoot Config" and "FIS Directory", which no update writes: a
 * package image for them is refused. */
int BlUPDTIsNeverWritten(const char *szName);
/* Moves erase blocks until no row has a negative balance and shifts the
 * partitions behind, in flash order. Refuses (-1, rows unchanged) a fixed
 * partition whose data does not fit it, and a layout in
 * which a partition would overlap another, leave the flash, or the boot
 * loader would move. */
int ErrUPDTAdjustPartitionSize(PATCHINFO *pRows, int n);

#ifdef __cplusplus
}
#endif

#endif
