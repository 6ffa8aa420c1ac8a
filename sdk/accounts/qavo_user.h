/* One local user as the management operations see it, account expiry, the
 * guest and anonymous capabilities, and the domain user queries answered by
 * winbind's command-line client. */
#ifndef QAVO_USER_H
#define QAVO_USER_H

#include <stdint.h>

#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The mail address file: key the user name, value the address. */
#define SZF_USER_MAIL "/etc/mail"
/* The model's capabilities. */
#define SZF_QAVOINFO_DEFAULTS "/etc.defaults/qavoinfo.conf"
/* Winbind's command-line client. */
#define SZ_WBINFO "/usr/qavo/bin/wbinfo"

/* Account type of QAVOUserGet: local users. */
#define QAVO_USER_LOCAL 1

/* A user packed into the caller's buffer: this record, then its strings. */
typedef struct _tag_QAVOUSER {
    char *name;        /* as written in /etc/passwd */
    char *password;    /* the hash of the user's /etc/shadow line */
    char *description; /* the gecos field, colon escapes decoded */
    int32_t expiry;    /* expiry day (days since 1970-01-01), 0 for none */
    char *mail;        /* mail address, "" for none */
} QAVOUSER;

/* 1 filled, 0 size given back (buf NULL and size 0), -1 on error (0x0D00,
 * 0x0400 the passwd lock, 0x1D00 no such user, 0x4000 a shadow line without
 * its 9 fields, 0x0100 buf too small, 0x0200; the mail file reader's code). */
int QAVOUserGet(uint32_t flags, int type, const char *name, QAVOUSER *buf, int size, int *needed);
/* 1 expired, 0 not expired or no expiry day, -1 on error or no such user
 * (QAVOUserGet's code; NULL name and out of memory set none). */
int QAVOUserCheckExpired(const char *name);
/* 1 when an account with this expiry day has expired (local time), else 0;
 * no code. */
int BlQAVOIsExpiredDay(int day);
/* Model capabilities of /etc.defaults/qavoinfo.conf: 1 yes, 0 no or
 * unreadable; no code of their own. */
int BlQAVOGuestSupport(void);
int BlQAVOAllowAnonymous(void);

/* Domain users "DOMAIN\name", asked of winbind. A bad argument or a failing
 * or silent winbind gives -1 with a syslog line and no code; 0x0200 when
 * out of memory. */
/* The user's SID into buf: 0, -1. */
int QAVOGetDUserSid(const char *name, char *buf, int size);
/* The user's uid or primary gid: the id, -1. */
int QAVOGetDUserUid(const char *name);
int QAVOGetDUserGid(const char *name);
/* Every group id of the user, set as key and value of *gids: 0, -1 (also
 * the hash's code). */
int QAVOGetDUserGidList(const char *name, PSLIBSZHASH *gids);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
