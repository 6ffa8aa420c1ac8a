/* Counting and listing the users known to the appliance. */
#ifndef QAVO_USERENUM_H
#define QAVO_USERENUM_H

#include <stdint.h>

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Enumeration flags: local users (uid 1024 and above), all domain users,
 * domain users that shares refer to; 0 selects local and all domain users. */
#define QAVO_USER_ENUM_LOCAL 0x1
#define QAVO_USER_ENUM_DOMAIN 0x10
#define QAVO_USER_ENUM_DOMAIN_USED 0x20

/* The number of users the flags select, under the shared passwd lock; -1. */
int QAVOUserTotalNum(uint32_t flags);
/* The users the flags select, pushed onto *list when given: their number, -1. */
int SDKIUserListGet(uint32_t flags, PSLIBSZLIST *list);

#ifdef __cplusplus
}
#endif

#endif
