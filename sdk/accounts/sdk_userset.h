/* The local user database: users to add or change, applied as one
 * transaction over /etc/passwd, /etc/shadow, the SMB password file, the group
 * member lists and the user lists of the smb.conf shares, together with the
 * mail addresses, the web administration password and the AFP guest switch;
 * and the working hashes that index the users by upper-cased name. */
#ifndef SDK_USERSET_H
#define SDK_USERSET_H

#include <pwd.h>

#include "slib_szhash.h"
#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* One user to add or change. */
typedef struct _tag_QAVOUSERSET {
    int nType;       /* only quoted in a log message */
    char *szOldName; /* NULL or "" for a new user; else the user to change */
    char *szName;    /* the (new) name; NULL or "" takes no part */
    char *szPasswd;  /* plain password, or the stored shadow hash to keep it */
    char *szDesc;    /* description, NULL for none */
    int nExpire;     /* expiry day (days since 1970-01-01), 0 or less for none */
    char *szMail;    /* mail address, NULL leaves the entry alone */
} QAVOUSERSET, *PQAVOUSERSET;

/* Room for an upper-cased user name, terminating zero included. */
#define SDKI_USER_KEY_SIZE 1004

/* A name that cannot be upper-cased into a key (too long, not UTF-8) fails
 * below with the Unicode layer's code, or none when it is too long. */
/* Stores the record's address under the upper-cased name; a name already
 * present is refused (0x1A00). 0 / -1 (0x0D00 NULL arguments). */
int SDKISetUserPtr(PSLIBSZHASH *pphash, const char *name, const QAVOUSERSET *record);
/* 1 with *record set when the name is present, 0 when absent, -1 (0x0D00
 * NULL arguments). */
int SDKIGetUserPtr(PSLIBSZHASH hash, const char *name, PQAVOUSERSET *record);
/* Sets value under the upper-cased name: the set's result, -1 (0x0D00 NULL
 * arguments; the hash's 0x0200). */
int SDKIUserHashSet(PSLIBSZHASH *pphash, const char *name, const char *value);
/* The value under the upper-cased name, or NULL (0x0D00 NULL arguments;
 * absent sets no code). */
const char *SDKIUserHashGet(PSLIBSZHASH hash, const char *name);

/* 1 when the name is present, 0 when absent, -1 (0x0D00) for NULL arguments. */
int SDKICheckUserExist(PSLIBSZHASH hash, const char *name);

/* Files of the transaction beside the account files. */
#define SZF_PASSWD_TMP "/etc/passwd.tmp"
#define SZF_CUR_UID "/etc/curUID.conf"
#define SZF_HTPASSWD "/usr/qavo/etc/.htpasswd"
#define SZF_AFPD_CONF "/usr/qavo/etc/afpd.conf"
#define SZF_AFPD_CONF_TMP "/usr/qavo/etc/afpd.conf.tmp"

/* Results of QAVOUserSetLocal. */
#define QAVO_USERSET_FAILED -1
#define QAVO_USERSET_BAD_NAME -2   /* 0x1A00 */
#define QAVO_USERSET_EXISTS -3     /* 0x1C00 */
#define QAVO_USERSET_NO_SUCH -4    /* 0x1D00 */
#define QAVO_USERSET_NAME_CLASH -5 /* 0x2F00 */
#define QAVO_USERSET_LIMIT -6      /* 0x1F00 */
#define QAVO_USERSET_UNLOCK -7

/* Applies count records as one transaction (type must be 1): count, or -1
 * (0x0D00, 0x0200; QAVOUserSetLocal's code). */
int QAVOUserSet(int type, PQAVOUSERSET records, int count);
/* The transaction itself; the names of failing records of the kinds -2 to
 * -5 go to *failed. 0, or one of the results above: each of -2 to -6 sets
 * the code shown beside it; -1 with 0x0D00 (bad arguments, a record without
 * a password, a description or mail address holding a line break), 0x0400
 * the account locks, 0x0200, or a file step's code (0x0700, 0x0900, 0x0A00,
 * 0x0B00, 0x2000, 0x2800); -7 when the locks cannot be released. */
int QAVOUserSetLocal(PQAVOUSERSET records, int count, PSLIBSZLIST *failed);
/* Splits a passwd line in place into record; 0, or -1 (0x8100) when the
 * line is not a sound passwd entry (0x0D00 for NULL arguments). */
int SDKIGetUserPasswd(char *line, struct passwd *record);
/* Removes the transaction's five temporary account files: 1 / -1 (0x0B00). */
int SDKIRemoveTmpFiles(void);
/* Moves the temporary account files that exist over their files, all or
 * none: 1 / -1 (0x2800). */
int SDKIRenameTmpFiles(void);
/* Renames (or, mapped to "", removes) users in the name lists of file into
 * tmp: 1 changed (tmp left for the rename), 0 nothing changed (also for a
 * missing file), -1 (0x0D00,
 * 0x0200, 0x0900, 0x0A00, 0x0B00). SmbConf edits the share lists of
 * smb.conf, Group the member lists of /etc/group, with the same results. */
int SDKIModifyUserList(PSLIBSZHASH names, const char *file, const char *tmp);
int SDKIModifySmbConf(PSLIBSZHASH names);
int SDKIModifyGroup(PSLIBSZHASH names);
/* Turns AFP guest login off (noGuest) or on: 1 switched, 0 no "-uamlist"
 * line, -1 (0x0700 no afpd.conf; the copy's or the rewrite's code). */
int SDKISetGuestAfpd(int noGuest);
/* Keeps group smmsp and the network-backup server account of the reserved
 * names ("root", "admin", "rsync") in step with a user's change. 0 / -1
 * (0x0200; the group or account writer's code). */
int NetBackupAuthUserSet(const char *oldName, const char *newName, const char *password);
/* The next free uid after the counter of /etc/curUID.conf, from 1024 to 2048
 * (wrapping; a counter outside that range starts over), or -1 (0x1F00 none
 * free; the counter writer's code). */
int USERGetUid(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
