/* String list: one heap block holding its header, the item pointers and the
 * strings, packed downward from the block's end. */
#ifndef SLIB_SZLIST_H
#define SLIB_SZLIST_H

#ifdef __cplusplus
extern "C" {
#endif

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

PSLIBSZLIST PslSLIBSzListAlloc(int size);
void SLIBSzListFree(PSLIBSZLIST list);
void SLIBSzListRemoveAll(PSLIBSZLIST list);
PSLIBSZLIST SLIBSzListGrow(PSLIBSZLIST list);
int SLIBSzListBinarySearch(PSLIBSZLIST list, int hi, int lo, const char *key, int caseless);
int SLIBSzListInsert(PSLIBSZLIST *pplist, int index, const char *str);
int SLIBSzListPush(PSLIBSZLIST *pplist, const char *str);
const char *SzSLIBSzListGet(PSLIBSZLIST list, int index);
const char *SzSLIBSzListRemove(PSLIBSZLIST list, int index);
const char *SzSLIBSzListPop(PSLIBSZLIST list);
const char *SzSLIBSzListShift(PSLIBSZLIST list);
int SLIBSzListGetMode(PSLIBSZLIST list);
int SLIBSzListFind(PSLIBSZLIST list, const char *str);
int SLIBSzListFindCaseless(PSLIBSZLIST list, const char *str);
int SLIBSzListSet(PSLIBSZLIST *pplist, int index, const char *str);
void SLIBSzListCompact(PSLIBSZLIST list);
void SLIBSzListSetMode(PSLIBSZLIST list, int mode);
PSLIBSZLIST PslSLIBSzListUnion(PSLIBSZLIST *pplistA, PSLIBSZLIST listB, int flags);
PSLIBSZLIST PslSLIBSzListIntersect(PSLIBSZLIST listA, PSLIBSZLIST listB, int flags);
PSLIBSZLIST PslSLIBSzListSubtract(PSLIBSZLIST listA, PSLIBSZLIST listB, int flags);
void SLIBSzListDump(PSLIBSZLIST list);

#ifdef __cplusplus
}
#endif

#endif
