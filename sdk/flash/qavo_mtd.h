/* Flash access through the MTD character devices ("/dev/mtd0" onward and the
 * vendor device): geometry, the boot loader's flash directory, erasing,
 * locking and unlocking a whole partition, the kernel's requests that move a
 * partition and rewrite one directory entry, and the hardware-flags call. */
#ifndef QAVO_MTD_H
#define QAVO_MTD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* One entry of the flash directory as read from flash. On flash it is a
 * 256-byte little-endian record (name at 0, flash_base 16, mem_base 20, size
 * 24, entry_point 28, data_length 32, reserved 36..247, desc_cksum 248,
 * file_cksum 252); the reader decodes it field by field. szName holds the 16
 * name bytes as stored: a name of 16 characters has no terminating zero, so
 * compare it bounded (strncmp(..., 16)). */
typedef struct _tag_FISDIRENTRY {
    char szName[16];
    uint32_t flash_base; /* CPU address of the partition */
    uint32_t mem_base;
    uint32_t size; /* bytes, a multiple of the erase block */
    uint32_t entry_point;
    uint32_t data_length; /* bytes of data stored */
    uint8_t reserved[212];
    uint32_t desc_cksum;
    uint32_t file_cksum;
} FISDIRENTRY, *PFISDIRENTRY;

/* Bytes of one directory entry on flash. */
#define QAVO_FIS_ENTRY_SIZE 256

/* The request that rewrites one directory entry (28 bytes to the kernel:
 * name, then flash_base, size and data_length, little-endian). At most 15
 * characters of szName are sent, followed by zeros. */
typedef struct _tag_QAVOMTDFISENTRY {
    char szName[16];
    uint32_t flash_base;
    uint32_t size;
    uint32_t data_length;
} QAVOMTDFISENTRY, *PQAVOMTDFISENTRY;

/* The appliance kernel's MTD requests and system call. */
#define QAVO_MEMSETPARTINFO 0x40084D16u /* {u32 start, u32 size}: move and resize */
#define QAVO_MEMSETFISENTRY 0x401C4D17u /* QAVOMTDFISENTRY: rewrite one entry */
#define QAVO_SYSCALL_HWFLAGS 401        /* fills a 32-bit word of hardware flags */
#define QAVO_HWFLAG_MSYS 0x1            /* the boot flash is an M-Systems module */

/* Bytes of the geometry record (struct mtd_info_user of <mtd/mtd-user.h>). */
#define QAVO_MTD_INFO_SIZE 32

/* All return 0 on success and -1 on failure (logged) unless said otherwise;
 * none sets an error code (SLIBErrGet): errno tells the system's answer. */

/* Fills buffer (at least 32 bytes; cleared first) with the device's geometry. */
int QAVOMTDGetDeviceInfo(const char *szDevice, void *pBuffer, int cbBuffer);
/* Reads the flash directory up to its first erased entry (first byte 0xFF).
 * Returns the number of entries and stores their bytes (count x 256) in
 * *pcbNeeded. A null buffer with size 0 asks for the size only; otherwise
 * the entries are stored in the buffer, and -1 when they do not fit. */
int QAVOMTDGetPartitionInfo(const char *szDevice, FISDIRENTRY *pBuffer, int cbBuffer,
                            int *pcbNeeded);
/* Asks the kernel to move and resize the partition the device stands for. */
int QAVOMTDModifyPartitionSize(const char *szDevice, uint32_t start, uint32_t size);
/* Asks the kernel to rewrite the directory entry named in the request; issued
 * on the flash-directory device. */
int QAVOMTDModifyFISEntry(const char *szDirDevice, const QAVOMTDFISENTRY *pEntry);
/* Erases the whole device. */
int QAVOMTDErasePartition(const char *szDevice);
/* Erases length bytes from start (both multiples of the erase block); on
 * failure errno holds the kernel's answer. */
int QAVOMTDEraseRange(const char *szDevice, uint32_t start, uint32_t length);
/* lock = 1 write-protects the whole device; any other value unprotects it. */
int QAVOMTDILock(const char *szDevice, int lock);
int QAVOMTDLockPartition(const char *szDevice);
int QAVOMTDUnlockPartition(const char *szDevice);
/* 1 when the hardware-flags call succeeds and says the boot flash is an
 * M-Systems module, else 0. */
int BlQAVOIsMSysFlash(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
