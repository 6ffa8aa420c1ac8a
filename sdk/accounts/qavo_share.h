/* Share records: the share sections of "/usr/qavo/etc/smb.conf" read into
 * QAVOSHARE records and listed by name. */
#ifndef QAVO_SHARE_H
#define QAVO_SHARE_H

#include <stdint.h>

#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The Samba configuration that holds the shares. */
#define SZF_QAVO_SMB_CONF "/usr/qavo/etc/smb.conf"

/* Access of everyone (fType). */
#define QAVOSHARE_ACCESS_RO 1
#define QAVOSHARE_ACCESS_RW 2
#define QAVOSHARE_ACCESS_NONE 4

/* Share classes of QAVOShareEnum1's flags. */
#define QAVOSHARE_CLASS_ORDINARY 0x1
#define QAVOSHARE_CLASS_USB 0x2
#define QAVOSHARE_CLASS_SATA 0x4

/* One share, filled into a caller's buffer: these words at its start and the
 * strings packed downwards from its end; an empty or absent string points at
 * the buffer's last byte, which is 0. Lists are comma lists without the
 * placeholder "nobody". */
typedef struct _tag_QAVOSHARE {
    char *szName;         /* share name */
    char *szComment;      /* comment */
    char *szPath;         /* folder of the share */
    char *szDeny;         /* users and @groups denied access ("invalid users") */
    char *szRW;           /* read-write list ("write list") */
    char *szRO;           /* read-only list ("read list") */
    uint32_t fType;       /* access of everyone: QAVOSHARE_ACCESS_... */
    uint32_t fBrowseable; /* 1 visible in browse lists, 0 hidden */
} QAVOSHARE, *PQAVOSHARE;

/* Names of the share sections of the classes in flags, as a NULL-ended
 * array of pointers at the start of buf and the names packed from its end.
 * buf NULL with size 0 asks for the size (result 0, *needed set). The
 * number of names, or -1 (0x0D00, 0x0100 buffer too small, 0x0400). */
int QAVOShareEnum1(char **buf, int size, int *needed, uint32_t flags);
/* QAVOShareEnum1 of every class. Both also set 0x0200 when memory runs out. */
int QAVOShareEnum(char **buf, int size, int *needed);
/* Reads the share named (letter case exact) into buf; type must be 1.
 * 1 filled, 0 for a size query (buf NULL, size 0; *needed set), -1 (0x0D00,
 * 0x1400 no such share, 0x0400, 0x0200, 0x8000 unknown access; a buffer
 * that is too small gives -1 with *needed set and no code). */
int QAVOShareGet(int type, const char *name, void *buf, int size, int *needed);
/* Parses the one-line text form "name:comment:path:deny:rw:ro:access:browse"
 * into a record in buf (strings packed from its end). 1, or -1 (0x0D00 too
 * few fields, an access field over 31 characters; 0x0100 buffer too small;
 * 0x0200). */
int ParseShareParam(const char *text, void *buf, int size);
/* The "path" of the share section named, cut to size. 0, or -1 (0x0200;
 * the section reader's code; bad arguments, no such share or no path set
 * no code). */
int QAVOSharePathGet(const char *name, char *buf, int size);
/* 1 when the local user is named in the comma list (plainly, through an
 * @group holding the user, or through "@users"), else 0 (also on failure,
 * 0x0200). */
int SHAREIIsLocalUserInList(const char *user, const char *list);
/* 1 when the domain user is named in the list, plainly or through a domain
 * @group among the user's group ids gids, else 0 (also on failure, 0x0200). */
int SHAREIIsDomainUserInList(const char *user, PSLIBSZHASH gids, const char *list);
/* 1 when user may reach path through the first share whose folder holds it
 * (or through the home folders), 0 when not, -1 (0x0D00, 0x8000, 0x0200,
 * 0x0300). */
int QAVOShareIsUnderValidPath(const char *user, const char *path);
/* 1 for a USB share name ("usbshare" and digits, or "usbbackup"), else 0. */
int BlQAVOShareIsUSB(const char *name);
/* 1 for an eSATA share name ("satashare" or "satabackup"), else 0. */
int BlQAVOShareIsSATA(const char *name);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
