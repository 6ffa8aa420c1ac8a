/* The USB backup disk: its one-sector label (the UBDI) with the backup ID,
 * the ID kept in the settings, the test that tells a backup disk from an
 * ordinary one, the last backup result and the list of shares the backup
 * covers. */
#ifndef QAVO_USBBACKUP_H
#define QAVO_USBBACKUP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Backup-disk layout: the label sector in front of partition 1. */
#define USBBKP_UBDI_SECTOR 16064
#define USBBKP_PART_START 16065
#define USBBKP_UBDI_SIZE 512
/* The label: the magic and its NUL (16 bytes), the backup ID (28 bytes at
 * 16, all zero without a backup set; an ID of 28 characters fills the field
 * without a NUL), zero to the end. */
#define USBBKP_UBDI_MAGIC "U6S5B4B3K2P1M0G"
#define USBBKP_UBDI_MAGIC_LEN 16
#define USBBKP_UBDI_ID_OFFSET 16
#define USBBKP_UBDI_ID_LEN 28

/* Keys of "/etc/qavoinfo.conf": the local backup ID and the last result. */
#define SZK_USBBKP_ID "usbbkpid"
#define SZK_USBBKP_RESULT "usbbkpresult"

/* Keys of "/etc/qavoinfo.conf": the shares to back up and their bound. */
#define SZK_USBBKP_SHARES "usbbkpshares"
#define SZK_MAXSHARES "maxshares"
/* Slot of one name in the list's enumeration buffer. */
#define USBBKP_SHARE_SLOT 493

/* "/dev/" and the on-line backup disk's name. 0, or -1. */
int USBBKPIGetDevPath(char *buf, int size);
/* The label of a disk ("sdb" or "/dev/sdb"); -1 also when its magic does
 * not match. */
int USBBKPGetUBDIFromDev(const char *device, uint8_t buf[512]);
int USBBKPSetUBDIToDev(const char *device, const uint8_t buf[512]);
/* Writes a fresh label (magic, no backup ID). */
int USBBKPInitUBDIToDev(const char *device);
/* The same on the on-line backup disk. */
int USBBKPGetUBDI(uint8_t buf[512]);
int USBBKPSetUBDI(const uint8_t buf[512]);
/* The on-line disk's backup ID into buf (size >= 28), always terminated. */
int USBBKPGetBkpIDFromUSB(char *buf, int size);
/* Puts the ID (up to its NUL, at most 28 bytes, the rest of the field zero)
 * into the on-line disk's label; an unreadable label is replaced. */
int USBBKPSetBkpIDToUSB(const char *id);
/* "usbbkpid" into buf (size >= 28); empty when absent. */
int USBBKPGetBkpIDFromLocal(char *buf, int size);
int USBBKPSetBkpIDToLocal(const char *id);
/* Local first, then the on-line disk. */
int USBBKPSetBkpID(const char *id);
/* 0 when the on-line disk's ID is not empty and equals the local one. */
int USBBKPIsSameBkpID(void);
/* Writes "usbbkpresult" as "0x%lX". */
int USBBKPSetBkpResult(long code);
/* 0 when the disk is a backup disk: its label into label, its file-system
 * code (QAVOFSTYPE) into *fsCode. */
int USBBKPIsDevBkpDisk(const char *device, uint8_t label[512], int *fsCode);

/* The share list as an enumeration buffer: pointer word i at the buffer's
 * start, name i in the 493-byte slot that ends 493 x i bytes before its
 * end. Without a buffer: the number of names, *needed their room. The count,
 * or -1 (0x0D00, 0x0100 buffer too small, 0x0200). */
int USBBKPGetBackupShares(char **buf, int size, int *needed);
/* Writes the non-empty names of the array, joined by ",". 0, or -1. */
int USBBKPSetBackupShares(char **names, int count);
/* Drops the first name equal to share (without regard to case) and writes
 * the rest; 0 also when it is not listed. 0, or -1. */
int USBBKPDeleteBackupShare(char **names, const char *share, int count);
/* Writes the list with oldName (without regard to case) renamed; 0 also
 * when it is not listed. 0, or -1. */
int USBBKPRenameBackupShare(char **names, const char *oldName, const char *newName, int count);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
