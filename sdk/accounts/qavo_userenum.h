/* Counting and listing the users known to the appliance: local users of
 * /etc/passwd and, when the appliance has joined a Windows domain, domain
 * users (all of them, or those that shares grant write access to). */
#ifndef QAVO_USERENUM_H
#define QAVO_USERENUM_H

#include <stdint.h>

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Enumeration flags: local users (uid 1024 and above), all domain users,
 * domain users that shares refer to; 0 selects local and all domain users. */
#define QAVO_USER_ENUM_LOCAL 0x1
#define QAVO_USER_ENUM_DOMAIN 0x10
#define QAVO_USER_ENUM_DOMAIN_USED 0x20

/* The names the flags select, as a NULL-ended array of pointers at the start
 * of buf and the names packed from its end; size and *needed count bytes
 * (the array and the names with their zeros). buf NULL with size 0 asks for
 * the size (result 0, *needed set); else size must be above 3, and *needed
 * is set whether the names fit or not. The number of names, or -1 (0x0D00
 * bad flags, NULL needed or a buffer of 3 bytes or less, 0x0100 buffer too
 * small, 0x0400 the passwd lock not taken, 0x8100 a damaged passwd file,
 * 0x0200). */
int QAVOUserEnum(uint32_t flags, char **buf, int size, int *needed);
/* The number of users the flags select (0x1 local only), under the shared
 * passwd lock; -1 (0x0D00, 0x0400; SDKIUserListGet's code). */
int QAVOUserTotalNum(uint32_t flags);
/* The users the flags select, pushed onto *list when given: their number, -1
 * (0x0D00, 0x0900 no passwd file, 0x8100 a passwd file without its system
 * accounts, 0x0200; the domain lists' codes). */
int SDKIUserListGet(uint32_t flags, PSLIBSZLIST *list);
/* Every domain user, each once, pushed onto *list when given (names the
 * list holds already are not pushed again): the number taken, -1 (0x0200;
 * the domain listing's code). */
int QAVOPushDUser(PSLIBSZLIST *list);
/* The domain users that some share's write list names, directly or through
 * a domain group, each once: the number taken, -1 (0x0200; the share and
 * group readers' codes). */
int QAVOPushDUserUsed(PSLIBSZLIST *list);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
