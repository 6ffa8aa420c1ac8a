/* The USB backup status that the hot-plug handler, the backup program and the
 * web programs share: one 64-byte record in a System V shared-memory segment
 * (key 9998) guarded by a System V semaphore (key 19998); and the generator
 * of the backup ID that names a set of backups. The record operations set
 * no error code: a segment or semaphore that fails gives -1 and a syslog
 * line. */
#ifndef QAVO_USBBKPINFO_H
#define QAVO_USBBKPINFO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_USBBKP_SEM_KEY 19998
#define QAVO_USBBKP_SHM_KEY 9998
#define QAVO_USBBKP_SHM_SIZE 64

/* Status bits. */
#define USB_BKP_STATUS_ONLINE 0x1
#define USB_BKP_STATUS_BACKING_UP 0x2
#define USB_BKP_STATUS_FORMATTING 0x20
#define USB_BKP_STATUS_INITIATING 0x40

/* Write mask of a masked write. */
#define USB_BKP_MASK_STATUS 0x1
#define USB_BKP_MASK_WORD1 0x2
#define USB_BKP_MASK_WORD2 0x4
#define USB_BKP_MASK_WORD3 0x8
#define USB_BKP_MASK_DEVICE 0x10
#define USB_BKP_MASK_WORD6 0x20
#define USB_BKP_MASK_ALL 0x3F

/* Operations of QAVOUSBIProcessSharedInfo. */
#define USB_BKP_OP_READ 1
#define USB_BKP_OP_WRITE 2
#define USB_BKP_OP_CLEAR 3

/* Backup ID: 27 characters and the NUL. */
#define USB_BKP_ID_SIZE 28

/* The shared record. In the segment every field sits at its fixed offset in
 * native byte order (status 0, words 4/8/12, device 16, word 6 at 24, the
 * rest from 28); it is copied field by field, never overlaid. */
typedef struct _tag_QAVOUSBBACKUPINFO {
    uint32_t status;  /* USB_BKP_STATUS_* */
    uint32_t word1;   /* not read here; written 0 */
    uint32_t word2;   /* as word1 */
    uint32_t word3;   /* as word1 */
    char device[8];   /* the on-line backup disk ("sdb"), at most 7 characters */
    uint32_t word6;   /* as word1 */
    uint8_t rest[36]; /* not used */
} QAVOUSBBACKUPINFO;

/* op 1 read, 2 masked write, 3 clear (status and device kept). 0, or -1. */
int QAVOUSBIProcessSharedInfo(QAVOUSBBACKUPINFO *rec, int op, uint32_t mask);
int QAVOUSBGetBackupInfo(QAVOUSBBACKUPINFO *rec);
int QAVOUSBSetBackupInfo(QAVOUSBBACKUPINFO *rec);
int QAVOUSBSetBackupInfoEx(QAVOUSBBACKUPINFO *rec, uint32_t mask);
int QAVOUSBClearBackupInfo(void);
/* how 0 sets the bits, 1 clears them, 2 assigns them. 0, or -1. */
int QAVOUSBSetBackupInfoStatus(uint32_t bits, int how);
/* A new backup ID ("YYYYMMDDhhmmss-" and the first card's MAC) in buf of at
 * least 28 bytes. 0, or -1. */
int USBBKPGenBkpID(char *buf, int size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
