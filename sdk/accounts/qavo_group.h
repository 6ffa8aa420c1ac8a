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

/* Packs the group (flags: local, domain or both) into buf: 1 filled, 0 a
 * size query or a buffer too small (*needed set), -1 (0x1800 not found). */
int QAVOGroupGet(uint32_t flags, int type, const char *name, QAVOGROUP *buf, int size, int *needed);
/* group = { new name, member, ..., NULL }; oldName NULL creates the group. */
int QAVOGroupSet(uint32_t flags, int op, const char *oldName, const char **group);
int QAVOGroupDelete(const char **names, int count);
int QAVOGroupEnum(uint32_t flags, int ignored, char **buf, int size, int *needed);
int QAVOGroupTotalNum(uint32_t flags);
int QAVOGroupGetDesc(const char *name, char *buf, int size, int *needed);
int QAVOGroupSetDesc(const char *name, const char *description);
int QAVOSmmspGroupSet(const char *oldUser, const char *newUser, int op);
int GROUPParseCreateParam(const char *text, char **buf, int size);
int GROUPIGetFreeGid(void);
/* Rewrites the gid index line of /etc/group (the first line holding '#'
 * whose words between '#' and '$' begin with SZ_GID_INDEX) to hold gid, or
 * puts one first when there is none; no other line changes. 1, or -1. */
int GROUPISetGidIndex(int gid);
int GROUPIGetLocalMembers(const char *name, PSLIBSZLIST *members, QAVOGROUPENTRY *group);
int GROUPIFilterLocalUsers(const char **names, char *buf, int size);
int SDKIModifyGroupFile(PSLIBSZHASH *names);
int GROUPIEnum(PSLIBSZHASH *out, uint32_t flags);

/* Windows-domain groups. */
int QAVOPushDGroup(PSLIBSZHASH *out);
int QAVOPushDGroupMember(const char *group, PSLIBSZLIST *list, PSLIBSZHASH *seen);
int QAVOMakeDGroupMember(void);
int QAVOIsDGroupMember(const char *user, const char *group);
int QAVOConvertGpName2Gid(const char *group);
int QAVOIsDGRPMemByDC(PSLIBSZHASH gids, const char *group);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
