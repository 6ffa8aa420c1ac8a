/* Share management: creating, changing, renaming and deleting the share
 * sections of "/usr/qavo/etc/smb.conf" together with their folders. */
#ifndef QAVO_SHAREMGMT_H
#define QAVO_SHAREMGMT_H

#include "qavo_share.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The rights map of the USB and eSATA shares and the default share key. */
#define SZF_SHARE_RIGHT_MAP "/usr/qavo/etc/share_right.map"
#define SZK_DEFSHARE "defshare"
/* Bit of QAVOIShareDelete's type: keep the folders on disk. */
#define QAVOSHARE_DELETE_KEEP_DIR 0x1

/* Creates the share (oldName NULL) or changes the share oldName into share
 * (a new name renames it, a new path moves its folder, also to another
 * volume); type must be 1. 1, or -1 (0x0D00 bad record, path or comment;
 * 0x1200 bad name; 0x1300 the name, or one differing only in letter case,
 * is taken; 0x1400 no share oldName; 0x0600 its folder or volume cannot be
 * found; 0x3A00 the folder cannot be moved or the new one holds data;
 * 0x3B00/0x8300/0x8400 copy to another volume failed; 0x0400, 0x0500,
 * 0x0200). */
int QAVOShareSet(int type, const char *oldName, const QAVOSHARE *share);
/* Removes the sections of the names (letter case ignored) and, unless type
 * bit 0 is set, their folders that no remaining share uses. The number of
 * sections removed, or -1 (0x0D00, 0x0200; the lock's, the section
 * writer's or the folder removal's code). */
int QAVOIShareDelete(const char **names, int count, int type);
/* QAVOIShareDelete with type 0. */
int QAVOShareDelete(const char **names, int count);
/* QAVOIShareDelete of one name; -1 (0x0D00) for NULL. */
int QAVOIShareDeleteOne(const char *name);
/* The entries of the comma list that name a user, a local @group or (when
 * the appliance is in a domain) a domain account, joined by ',' into out,
 * which holds at least strlen(list) + 1 bytes. 1, 0 for a NULL list (out
 * empty), -1 for a NULL out (no code; 0x0200 when out of memory). */
int SHAREIGetValidUserList(const char *list, char *out);
/* Drops repeated and empty entries of the comma list in place (the names
 * come out in hash order). 1, 0 for an empty list, -1 (0x0D00, 0x0200). */
int RemoveSameUsers(char *list);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
