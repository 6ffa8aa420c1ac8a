/* The USB backup disk's settings: the list of shares the backup covers. */
#ifndef QAVO_USBBACKUP_H
#define QAVO_USBBACKUP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Keys of "/etc/qavoinfo.conf": the shares to back up and their bound. */
#define SZK_USBBKP_SHARES "usbbkpshares"
#define SZK_MAXSHARES "maxshares"
/* Slot of one name in the list's enumeration buffer. */
#define USBBKP_SHARE_SLOT 493

/* The share list as an enumeration buffer: pointer word i at the buffer's
 * start, name i in the 493-byte slot that ends 493 x i bytes before its
 * end. Without a buffer: the number of names, *needed their room. The count,
 * or -1 (0x0D00, 0x0100 buffer too small). */
int USBBKPGetBackupShares(char **buf, int size, int *needed);
/* Writes the non-empty names of the array, joined by ",". 0, or -1. */
int USBBKPSetBackupShares(char **names, int count);
/* Drops the first name equal to share (without regard to case) and writes
 * the rest; 0 also when it is not listed. 0, or -1. */
int USBBKPDeleteBackupShare(char **names, const char *share, int count);
/* Writes the list with oldName (without regard to case) renamed; 0 also
 * when it is not listed. 0, or -1. */
int USBBKPRenameBackupShare(char **names, const char *oldName, const char *newName, int count);

#ifdef __cplusplus
}
#endif

#endif
