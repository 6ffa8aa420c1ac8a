/* String hash: string-to-string table in one heap block (header, bucket
 * pairs, string area), open addressing with linear probing and tombstones. */
#ifndef SLIB_SZHASH_H
#define SLIB_SZHASH_H

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

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

/* A new empty table: 31 buckets and a string area of max(size, 512) bytes
 * (Ex: the given bucket count and area); NULL (0x0200) when out of memory,
 * (0x0D00) for fewer than 1 bucket or a negative size.
 * Free it with SLIBSzHashFree (NULL accepted). */
PSLIBSZHASH PshSLIBSzHashAlloc(int size);
PSLIBSZHASH PshSLIBSzHashAllocEx(int buckets, int size);
void SLIBSzHashFree(PSLIBSZHASH hash);
/* The first bucket probed for key; -1 for a NULL key or no buckets. */
int SLIBSzHashKey(const char *key, int nBucket);
/* The key's value (inside the block), NULL when absent; no error code. */
const char *SzSLIBSzHashGetValue(PSLIBSZHASH hash, const char *key);
/* Stores key=value, replacing a value; the table may be rebuilt larger and
 * *pphash updated. The bucket index, -1 on failure (NULL arguments, no
 * code; 0x0200 when out of memory, the table unchanged). */
int SLIBSzHashSetValue(PSLIBSZHASH *pphash, const char *key, const char *value);
/* Removes key: its old value (readable until the table is rebuilt), NULL
 * when absent; no error code. */
const char *SzSLIBSzHashRemoveKey(PSLIBSZHASH hash, const char *key);
/* The number of keys, pushed onto *pplist when given (in bucket order, not
 * the order of insertion); -1 for a NULL table (no code) or a failed push
 * (the list's code). */
int SLIBSzHashEnumKey(PSLIBSZHASH hash, PSLIBSZLIST *pplist);
/* Empties the table, keeping its block. NULL accepted. */
void SLIBSzHashRemoveAll(PSLIBSZHASH hash);
/* The number of keys, -1 (0x0D00) for NULL. */
int SLIBSzHashCount(PSLIBSZHASH hash);
/* Prints every key with its value to standard output; no code. */
void SLIBSzHashDump(PSLIBSZHASH hash);

/* Internal steps of the table, exported for the library's own use; none
 * sets an error code but the growth (0x0200). */
/* The key's bucket, -1 when absent. */
int SLIBSzHashFindBucket(PSLIBSZHASH hash, const char *key);
/* The bucket for storing key (its own when present), -1 when none is free. */
int SLIBSzHashInsertBucket(PSLIBSZHASH hash, const char *key);
/* Copies key and value into the string area and points slot at them. */
void SLIBSzHashStore(PSLIBSZHASH hash, const char *key, const char *value, int slot);
/* A new table of the given buckets and area holding every pair, the old one
 * freed; NULL (0x0200) with the old one kept. */
PSLIBSZHASH SLIBSzHashRehash(PSLIBSZHASH hash, int buckets, int size);
/* The table, rebuilt when fewer than a tenth of its buckets or fewer than
 * need bytes are free; NULL (0x0200) with the old one kept (0x0D00 for a NULL table or a negative
 * need). */
PSLIBSZHASH PshSLIBSzHashGrow(PSLIBSZHASH hash, int need);
/* Stores a new key at slot, growing first: the bucket index, -1 (0x0200). */
int PshSLIBSzHashAdd(PSLIBSZHASH *pphash, const char *key, const char *value, int slot);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
