/* String hash: string-to-string table in one heap block (header, bucket
 * pairs, string area), open addressing with linear probing and tombstones. */
#ifndef SLIB_SZHASH_H
#define SLIB_SZHASH_H

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _tag_SLIBSZHASH_BUCKET {
    char *szKey;   /* null in empty buckets and tombstones */
    char *szValue; /* null in empty buckets only */
} SLIBSZHASH_BUCKET;

typedef struct _tag_SLIBSZHASH {
    int nSize;                   /* size of the string area in bytes */
    int nFree;                   /* bytes of the string area not yet handed out */
    int nBucket;                 /* number of buckets */
    int nItem;                   /* number of keys stored */
    char *pszNext;               /* next free byte of the string area */
    SLIBSZHASH_BUCKET buckets[]; /* nBucket pairs, then the string area */
} SLIBSZHASH, *PSLIBSZHASH;

PSLIBSZHASH PshSLIBSzHashAlloc(int size);
PSLIBSZHASH PshSLIBSzHashAllocEx(int buckets, int size);
void SLIBSzHashFree(PSLIBSZHASH hash);
int SLIBSzHashKey(const char *key, int nBucket);
const char *SzSLIBSzHashGetValue(PSLIBSZHASH hash, const char *key);
int SLIBSzHashSetValue(PSLIBSZHASH *pphash, const char *key, const char *value);
const char *SzSLIBSzHashRemoveKey(PSLIBSZHASH hash, const char *key);
int SLIBSzHashEnumKey(PSLIBSZHASH hash, PSLIBSZLIST *pplist);
void SLIBSzHashRemoveAll(PSLIBSZHASH hash);
int SLIBSzHashCount(PSLIBSZHASH hash);
void SLIBSzHashDump(PSLIBSZHASH hash);

/* Internal steps of the table, exported for the library's own use. */
int SLIBSzHashFindBucket(PSLIBSZHASH hash, const char *key);
int SLIBSzHashInsertBucket(PSLIBSZHASH hash, const char *key);
void SLIBSzHashStore(PSLIBSZHASH hash, const char *key, const char *value, int slot);
PSLIBSZHASH SLIBSzHashRehash(PSLIBSZHASH hash, int buckets, int size);
PSLIBSZHASH PshSLIBSzHashGrow(PSLIBSZHASH hash, int need);
int PshSLIBSzHashAdd(PSLIBSZHASH *pphash, const char *key, const char *value, int slot);

#ifdef __cplusplus
}
#endif

#endif
