/* Read-only lookups in the local account files /etc/group, /etc/passwd and
 * /etc/shadow, and the passwd entry of a domain user. The records live in
 * static storage of the library: a record stays valid until the next call of
 * any reader of the same family, and none of these readers is reentrant. */
#ifndef QAVO_ACCFILE_H
#define QAVO_ACCFILE_H

#include <grp.h>
#include <pwd.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The group files. */
#define SZF_GROUP "/etc/group"
#define SZF_PASSWD "/etc/passwd"
#define SZF_SHADOW "/etc/shadow"

/* Group type bits of an extended group line (only these two are valid). */
#define QAVO_GROUP_TYPE_LOCAL 0x1  /* also a local group under its own name */
#define QAVO_GROUP_TYPE_LINKED 0x2 /* tied to the linked (Windows) group name */

/* One group line as the scanner read it. Strings and the member array
 * belong to the scanner and change with its next call. */
typedef struct _tag_QAVOGROUPENTRY {
    char *name;           /* first field */
    char *password;       /* second field */
    int gid;              /* third field, decimal */
    char **members;       /* the names of the fourth field, NULL-terminated */
    uint32_t type;        /* 0-3: fifth field of an extended line, else from the gid */
    char *linked;         /* sixth field of an extended line, NULL for a four-field line */
    unsigned long number; /* seventh field of an extended line, 0 for a four-field line */
} QAVOGROUPENTRY;

/* Scanner searches. */
#define QAVO_GRSCAN_NEXT 0 /* the next entry */
#define QAVO_GRSCAN_FIND 1 /* the next entry with the name (or, name NULL, the gid) */

/* The group scanner and the /etc/group lookups set no error code. */
/* Opens a group file for scanning (closing one left open): 1, or 0. */
int SLIBIGrOpen(const char *path);
/* Reads on from the open stream: 1 when an entry was found, else 0. */
int SLIBIGrScan(int search, int gid, const char *name);
/* Closes the scanner's stream, if any. */
void SLIBIGrClose(void);

/* Lookups in /etc/group (names compared without regard to case); NULL when
 * not found or unreadable. The enumeration opens the file on its first call
 * and leaves it open: end it with SLIBIGrClose. */
QAVOGROUPENTRY *PgrpSLIBGetLocalGrGid(int gid);
QAVOGROUPENTRY *PgrpSLIBGetLocalGrName(const char *name);
QAVOGROUPENTRY *PgrpSLIBGetLocalGrEnt(void);

/* The local passwd entry of a user (name compared without regard to case);
 * the Sp form carries the /etc/shadow hash as its password. NULL when not
 * found (Pw: no code) or on failure (0x0200; Sp: 0x0D00 NULL name, 0x1D00
 * no such user or no shadow line, 0x4000 a shadow line without 9 fields). */
struct passwd *PpwSLIBGetLocalPwNam(const char *name);
struct passwd *PpwSLIBGetLocalSpNam(const char *name);

/*
 * A four-field group line laid out in the caller's buffer: a struct group,
 * the name, the password, the member pointer array (NULL-terminated,
 * pointer-aligned) and the member strings. *needed receives the size the
 * layout takes; buf NULL with size 0 asks for it (result 0). The member
 * count, or -1 (0x0D00, 0x1D00 no such group, 0x4000 a line without 4
 * fields, 0x0100 buf too small, 0x0200).
 */
int SLIBGetLocalGrNamBuf(const char *name, struct group *buf, int size, int *needed);

/* The passwd entry of a domain user "DOMAIN\name" (ids from winbind); NULL
 * on failure (logged; winbind's 0x0200 when out of memory). */
struct passwd *PpwGetDomainPwNam(const char *name);
/* The local (shadow-backed) or the domain entry, by the account's kind;
 * NULL (0x0D00 for a NULL name; an unknown account sets no code; else the
 * lookup's code). */
struct passwd *PpwSLIBGetPwNam(const char *name);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
