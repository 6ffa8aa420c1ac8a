/* Raw access to one 512-byte sector of a disk (partition tables, the backup
 * disk's label). */
#ifndef QAVO_DISKSECTOR_H
#define QAVO_DISKSECTOR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_SECTOR_SIZE 512
/* Longest device path taken (a longer one is refused, never cut). */
#define QAVO_SECTOR_DEV_MAX 127

/* device: a kernel device name of letters and digits, "sdb" or "/dev/sdb"
 * (any other name is refused). 0, or -1 with the error code: 0x0900 open,
 * 0x6C00 short transfer, 0x0D00 bad arguments; a failed seek sets none. */
int QAVOReadOneSectorFromDev(const char *device, uint32_t sector, uint8_t buffer[512]);
int QAVOWriteOneSectorToDev(const char *device, uint32_t sector, const uint8_t buffer[512]);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
