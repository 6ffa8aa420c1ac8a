/* Local groups of /etc/group (create, change members, rename, delete), their
 * descriptions in /etc/group_desc, the member list of the group smmsp, gid
 * allocation and membership questions for local and Windows-domain groups.
 * Share access lists name groups as "@group", so renames and deletions also
 * edit the share lists of smb.conf. */
#ifndef QAVO_GROUP_H
#define QAVO_GROUP_H

#include <stdint.h>

#include "qavo_accfile.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define SZF_GROUP_TMP "/etc/group.tmp"
#define SZF_GROUP_DESC "/etc/group_desc"
#define SZF_SMBCONF "/usr/qavo/etc/smb.conf"
#define SZF_SMBCONF_TMP "/usr/qavo/etc/smb.conf.tmp"
#define SZF_DOMAIN_GROUP "/usr/qavo/etc/private/domain_group"
#define SZF_DOMAIN_GROUP_MEMBER "/usr/qavo/etc/private/domain_group_member"

/* The name of the gid index line "#$_@GID__INDEX@_$<next gid>$". */
#define SZ_GID_INDEX "_@GID__INDEX@_"
/* Gids of the groups created here. */
#define QAVO_GID_FIRST 65536
#define QAVO_GID_LAST 196607
/* The group of the network-backup server accounts. */
#define SZ_SMMSP_GROUP "smmsp"
#define QAVO_SMMSP_GID 25

/* Flags of the group queries: local groups, domain groups (0: both). */
#define QAVO_GROUP_FLAG_LOCAL 0x1
#define QAVO_GROUP_FLAG_DOMAIN 0x2

/* Operations of QAVOSmmspGroupSet. */
#define QAVO_SMMSP_ADD 1
#define QAVO_SMMSP_RENAME 2
#define QAVO_SMMSP_REMOVE 3

/* A group as read back: { name, member, ..., NULL } at the start of the
 * caller's buffer, the strings packed from its end. */
typedef char *QAVOGROUP;

/* Error codes (SLIBErrGet): 0x0D00 bad arguments, 0x0400 a lock not taken,
 * 0x0500 a lock not released (the call then gives -1), 0x0200 out of
 * memory, 0x0900 a file that cannot be opened, 0x0B00 a write error; the
 * others are named below. */

/* Packs the group (flags: local, domain or both) into buf: 1 filled, 0 a
 * size query or a buffer too small (*needed set), -1 (0x0D00, 0x0400,
 * 0x0200; 0x1800 not found or a member step failing). */
int QAVOGroupGet(uint32_t flags, int type, const char *name, QAVOGROUP *buf, int size, int *needed);
/* group = { new name, member, ..., NULL }; oldName NULL creates the group.
 * 1, -1 (0x0D00, 0x0400, 0x1600 bad name, 0x1700 the new name exists,
 * 0x1800 no such old group, 0x1900 no free gid, 0x0B00, 0x8000 the names
 * cannot be compared, 0x0200; a share-list edit's code). */
int QAVOGroupSet(uint32_t flags, int op, const char *oldName, const char **group);
/* Deletes the groups and takes them out of the share lists: the number of
 * groups deleted or unlinked, -1 (0x0D00, 0x0400, 0x0200, 0x8100 a
 * temporary file not renamed over its file; SDKIModifyGroupFile's code). */
int QAVOGroupDelete(const char **names, int count);
/* The group names (flags as above) packed into buf: their number, 0 for a
 * size query (*needed set), -1 (0x0D00, 0x0400, 0x0100 too small, 0x0200). */
int QAVOGroupEnum(uint32_t flags, int ignored, char **buf, int size, int *needed);
/* The number of groups (0 when the enumeration fails), -1 (0x0D00, 0x0400,
 * 0x0200). */
int QAVOGroupTotalNum(uint32_t flags);
/* The group's description of /etc/group_desc into buf: 1, 0 a size query
 * (*needed set), -1 (0x0D00, 0x0400, 0x2000 none, 0x4000 a malformed line,
 * 0x0100 buf too small). */
int QAVOGroupGetDesc(const char *name, char *buf, int size, int *needed);
/* Stores (NULL: deletes) the description: 0, -1 (0x0D00, 0x0400; the line
 * writer's code, 0x2000 when there is none to delete). */
int QAVOGroupSetDesc(const char *name, const char *description);
/* Adds (1), renames (2) or removes (3) a member of the group smmsp: 0, -1
 * (0x0D00, 0x0100 a member list that does not fit, 0x0400; the line
 * reader's or writer's code). */
int QAVOSmmspGroupSet(const char *oldUser, const char *newUser, int op);
/* "name:member,..." packed into buf as QAVOGROUP: 1, -needed when buf is
 * too small (0x0100 when size is above 0), -1 for NULL text or text without
 * ":" (0x0200 when out of memory). */
int GROUPParseCreateParam(const char *text, char **buf, int size);
/* The next free gid of QAVO_GID_FIRST..QAVO_GID_LAST (the index line
 * follows it): the gid, -1 (0x0900, 0x1900 none free; the index writer's
 * code). */
int GROUPIGetFreeGid(void);
/* Rewrites the gid index line of /etc/group (the first line holding '#'
 * whose words between '#' and '$' begin with SZ_GID_INDEX) to hold gid, or
 * puts one first when there is none; no other line changes. 1, or -1
 * (0x0D00, 0x0900, 0x0B00). */
int GROUPISetGidIndex(int gid);
/* Pushes the local members of a group (primary and listed) onto *members:
 * their number, -1 (0x0D00, 0x0200). */
int GROUPIGetLocalMembers(const char *name, PSLIBSZLIST *members, QAVOGROUPENTRY *group);
/* Joins the names that are local users with "," into buf: the length,
 * -needed when buf is too small, -1 (0x0D00). */
int GROUPIFilterLocalUsers(const char **names, char *buf, int size);
/* Writes "/etc/group.tmp" without the groups of the hash (keys upper-cased):
 * the number of lines deleted or unlinked, -1 (0x0D00, 0x0900, 0x0A00,
 * 0x0B00). */
int SDKIModifyGroupFile(PSLIBSZHASH *names);
/* Sets the groups of flags into *out under their upper-cased names: their
 * number, 0 (0x0D00) for flags naming neither kind, -1 (0x0D00 NULL out,
 * 0x0200; QAVOPushDGroup's failure). */
int GROUPIEnum(PSLIBSZHASH *out, uint32_t flags);

/* Windows-domain groups. */
/* The domain groups (listed from the domain first when their file is
 * missing), set into *out when given: their number, -1 (0x0900 the list
 * cannot be opened, 0x0200; the domain listing's code). */
int QAVOPushDGroup(PSLIBSZHASH *out);
/* The members of a "DOMAIN\group", pushed onto *list (skipping those in
 * *seen, which records them) when given: their number, -1 (0x0D00 NULL
 * group or no member file, 0x1800 the group is not in it, 0x0200). */
int QAVOPushDGroupMember(const char *group, PSLIBSZLIST *list, PSLIBSZHASH *seen);
/* Rewrites the domain group member file from the group database: 0, -1
 * (0x0900, 0x0B00). */
int QAVOMakeDGroupMember(void);
/* 1 when user is a member of the domain group, 0 when not, -1 (0x0D00 NULL
 * arguments or no member file, 0x1800 the group is not in it, 0x0200). */
int QAVOIsDGroupMember(const char *user, const char *group);
/* The gid winbind gives the domain group's SID: the gid, -1 (no code of its
 * own: a bad argument, lookup or tool failure is logged; the SID lookup's
 * code). */
int QAVOConvertGpName2Gid(const char *group);
/* 1 when the group's gid is a key of gids, 0 when not, -1 (NULL arguments
 * or no gid, as QAVOConvertGpName2Gid). */
int QAVOIsDGRPMemByDC(PSLIBSZHASH gids, const char *group);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
