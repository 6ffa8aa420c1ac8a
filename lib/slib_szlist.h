/* String list: one heap block holding its header, the item pointers and the
 * strings, packed downward from the block's end. */
#ifndef SLIB_SZLIST_H
#define SLIB_SZLIST_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* List modes. */
#define SLIB_SZLIST_UNSORTED 0x0
#define SLIB_SZLIST_SORTED 0x1
#define SLIB_SZLIST_SORTED_CASELESS 0x10

/* Set operations: build a new list instead of changing the first one. */
#define SLIB_SZLIST_NEW 0x1000

typedef struct _tag_SLIBSZLIST {
    int nSize;       /* size of the whole block in bytes */
    int nItem;       /* number of items */
    int nFree;       /* bytes between the end of pszItem[] and EndofFree */
    int fMode;       /* 0 unsorted, 1 sorted by strcmp, 16 sorted case-insensitively */
    char *EndofFree; /* lowest byte used by the string area */
    char *pszEmpty;  /* the block's last byte, a zero: the string of filler items */
    char *pszItem[]; /* nItem string pointers */
} SLIBSZLIST, *PSLIBSZLIST;

/* Every operation sets 0x0D00 (SLIBErrGet) for a null list or list pointer,
 * a null string or an index out of range, and 0x0200 when memory runs out.
 * Operations that may move the block take the list's address and update it;
 * item pointers are valid until the block moves, is emptied or freed. */

/* A new empty unsorted list of max(size, 512) bytes; NULL (0x0200) when out
 * of memory. Free it with SLIBSzListFree (NULL accepted). */
PSLIBSZLIST PslSLIBSzListAlloc(int size);
void SLIBSzListFree(PSLIBSZLIST list);
/* Empties the list, keeping its block and mode. */
void SLIBSzListRemoveAll(PSLIBSZLIST list);
/* A copy in a block of twice the size, the old block freed; NULL (0x0200)
 * when out of memory, the old block kept. */
PSLIBSZLIST SLIBSzListGrow(PSLIBSZLIST list);
/* The index of key among items lo..hi, or the one's complement of its
 * insertion point (-1 for hi = -1); -1 when the collator cannot be opened. */
int SLIBSzListBinarySearch(PSLIBSZLIST list, int hi, int lo, const char *key, int caseless);
/* Insert and push: the index where the string went (sorted lists place it
 * in order, whatever the index), -1 on failure with the list unchanged
 * (0x0D00, 0x0200). Inserting past the end fills the gap with empty items. */
int SLIBSzListInsert(PSLIBSZLIST *pplist, int index, const char *str);
int SLIBSzListPush(PSLIBSZLIST *pplist, const char *str);
/* Item index, or NULL (0x0D00 for a bad index). */
const char *SzSLIBSzListGet(PSLIBSZLIST list, int index);
/* Remove item index, the last or the first item; the removed string, which
 * stays readable until the block moves, or NULL (0x0D00 for a bad index or
 * an empty list). */
const char *SzSLIBSzListRemove(PSLIBSZLIST list, int index);
const char *SzSLIBSzListPop(PSLIBSZLIST list);
const char *SzSLIBSzListShift(PSLIBSZLIST list);
/* The list's mode, -1 (0x0D00) for NULL. */
int SLIBSzListGetMode(PSLIBSZLIST list);
/* The index of the string, -1 when absent or on failure. Find compares
 * bytes and refuses a case-insensitive list (0x0D00); FindCaseless ignores
 * case and refuses a list sorted by bytes (0x0D00). */
int SLIBSzListFind(PSLIBSZLIST list, const char *str);
int SLIBSzListFindCaseless(PSLIBSZLIST list, const char *str);
/* Replaces item index (a sorted list is sorted again): the string's index
 * afterwards, -1 on failure with the list unchanged (0x0D00, 0x0200). */
int SLIBSzListSet(PSLIBSZLIST *pplist, int index, const char *str);
/* Drops the empty filler items, keeping the order of the rest. */
void SLIBSzListCompact(PSLIBSZLIST list);
/* Sets the mode; an unsorted list given a sorted mode is compacted and
 * sorted first. NULL accepted. */
void SLIBSzListSetMode(PSLIBSZLIST list, int mode);
/* Set operations by the lists' rule of comparison: the result list, or NULL
 * on failure (0x0D00 for lists sorted by different rules, 0x0200). With
 * SLIB_SZLIST_NEW in flags the result is a new list and both stay as they
 * were; without it the first list is changed and returned (the union
 * updates the caller's pointer when the block moves). */
PSLIBSZLIST PslSLIBSzListUnion(PSLIBSZLIST *pplistA, PSLIBSZLIST listB, int flags);
PSLIBSZLIST PslSLIBSzListIntersect(PSLIBSZLIST listA, PSLIBSZLIST listB, int flags);
PSLIBSZLIST PslSLIBSzListSubtract(PSLIBSZLIST listA, PSLIBSZLIST listB, int flags);
/* Prints the list's block, items and header to standard output. */
void SLIBSzListDump(PSLIBSZLIST list);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
