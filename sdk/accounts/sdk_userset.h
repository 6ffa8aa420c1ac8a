/* Users to add or change in one account transaction, and the working hashes
 * that index them by upper-cased user name. */
#ifndef SDK_USERSET_H
#define SDK_USERSET_H

#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif

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

/* Stores the record's address under the upper-cased name; a name already
 * present is refused (0x1A00). 0 / -1. */
int SDKISetUserPtr(PSLIBSZHASH *pphash, const char *name, const QAVOUSERSET *record);
/* 1 with *record set when the name is present, 0 when absent, -1. */
int SDKIGetUserPtr(PSLIBSZHASH hash, const char *name, PQAVOUSERSET *record);
/* Sets value under the upper-cased name: the set's result, -1. */
int SDKIUserHashSet(PSLIBSZHASH *pphash, const char *name, const char *value);
/* The value under the upper-cased name, or NULL. */
const char *SDKIUserHashGet(PSLIBSZHASH hash, const char *name);

#ifdef __cplusplus
}
#endif

#endif
