/* The flash stage on units whose partitions live on an M-Systems flash
 * module: its own partition table, images written with dd to "/dev/mtd" plus
 * the row number, and a re-partition of the whole module when an image no
 * longer fits. */
#ifndef UPDT_MSYS_H
#define UPDT_MSYS_H

#include <stdint.h>

#include "qavo_mtd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The module's requests on "/dev/mtd0". */
#define UPDT_MSYS_DEVICE "/dev/mtd0"
#define MEMMSYSGETPARTS 0x80044D1Au  /* out: 8 pairs {u32 size, u32 data_length} */
#define MEMMSYSFORMAT 0x40044D18u    /* argument: the unit count itself */
#define MEMMSYSPARTITION 0x40044D19u /* in: 8 u32 partition sizes in units */
/* Allocation units of the module and their size. */
#define UPDT_MSYS_UNITS 967
#define UPDT_MSYS_UNIT_SIZE 16384
#define UPDT_MSYS_PARTS 8

/* The whole flash stage; stage is the driver's stage letter, advanced here.
 * The exit code: 0, 15, 17, 18, 19 or 20. */
int UPDTMSysUpdate(char *stage);
/* Fills 8 entries (the array holds at least 8) from the module's table,
 * named after the working patch rows; 8, or -1. */
int UPDTMSysGetPartitionInfo(FISDIRENTRY *pEntries);
/* Fills the working patch rows from the entries and the package; 0 or -1. */
int UPDTMSysInitPatchInfo(const FISDIRENTRY *pEntries, int n);
/* Formats the module and partitions it into count (8) sizes in units; 0 or -1. */
int UPDTMSysFormat(const uint32_t *pSizes, int count);
/* Re-partitions when needed (*pRepartitioned then 1) and writes every row
 * to update; 0 or -1. */
int UPDTMSysDoPatch(const FISDIRENTRY *pEntries, int n, int *pRepartitioned);
/* Puts the old partition table back (when re-partitioned) and writes every
 * row from the backup; 0, or -1 when any row failed. */
int UPDTMSysRollBack(const FISDIRENTRY *pEntries, int n, int repartitioned);

#ifdef __cplusplus
}
#endif

#endif
