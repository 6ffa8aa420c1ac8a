#include "slib_szlist.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "slib_errcode.h"
#include "slib_unicode.h"

namespace {

constexpr int kHeader = static_cast<int>(offsetof(SLIBSZLIST, pszItem));
constexpr int kSlot = static_cast<int>(sizeof(char *));
constexpr int kMinSize = 512;

char *BlockEnd(PSLIBSZLIST l) {
    return reinterpret_cast<char *>(l) + l->nSize;
}

bool InBlock(PSLIBSZLIST l, const char *s) {
    auto p = reinterpret_cast<uintptr_t>(s);
    auto b = reinterpret_cast<uintptr_t>(l);
    return p >= b && p < b + static_cast<uintptr_t>(l->nSize);
}

bool IsFiller(PSLIBSZLIST l, int i) {
    return l->pszItem[i] == l->pszEmpty;
}

// Caseless comparison that stays a total order when a text cannot be
// converted (invalid UTF-8): such pairs fall back to byte order.
int CaselessCmp(const char *a, const char *b) {
    int r = SLIBUnicodeUTF8StrCaseCmp(a, b);
    if (r == -2) r = strcmp(a, b);
    return r;
}

int CompareBy(int mode, const char *a, const char *b) {
    return mode == SLIB_SZLIST_SORTED_CASELESS ? CaselessCmp(a, b) : strcmp(a, b);
}

// Whether packing a string of len bytes would place it on pszEmpty itself:
// an empty string as the first one below the block's end. It would then read
// as a filler item, so it goes one byte lower.
int EmptyOnFiller(PSLIBSZLIST l, size_t len) {
    return len == 0 && l->EndofFree == BlockEnd(l) ? 1 : 0;
}

// Copies a string below EndofFree; the caller made sure it fits (with the
// byte EmptyOnFiller() asks for, which is taken from nFree here).
char *PackString(PSLIBSZLIST l, const char *s, size_t len) {
    const int skip = EmptyOnFiller(l, len);
    l->EndofFree -= len + 1 + skip;
    l->nFree -= skip;
    memcpy(l->EndofFree, s, len + 1);
    return l->EndofFree;
}

// Keeps a private copy of a string that lives inside the list's own block,
// which a grow would free.
struct Arg {
    std::optional<std::string> copy;
    const char *str;
    Arg(PSLIBSZLIST l, const char *s) : str(s) {
        if (InBlock(l, s)) {
            copy.emplace(s);
            str = copy->c_str();
        }
    }
};

// Grows the block until at least need bytes are free, with the byte an empty
// string of len 0 may ask for; *pp follows the block.
bool Reserve(PSLIBSZLIST *pp, int64_t need, size_t len) {
    while ((*pp)->nFree < need + EmptyOnFiller(*pp, len)) {
        PSLIBSZLIST grown = SLIBSzListGrow(*pp);
        if (!grown) return false;
        *pp = grown;
    }
    return true;
}

void SortItems(PSLIBSZLIST l, int mode) {
    std::stable_sort(l->pszItem, l->pszItem + l->nItem,
                     [mode](const char *a, const char *b) { return CompareBy(mode, a, b) < 0; });
}

// Whether list b holds s by the given comparison mode (fillers of b ignored).
int Holds(PSLIBSZLIST b, const char *s, int cmpMode) {
    if (b->fMode == SLIB_SZLIST_SORTED || b->fMode == SLIB_SZLIST_SORTED_CASELESS) {
        int r =
            SLIBSzListBinarySearch(b, b->nItem - 1, 0, s, b->fMode == SLIB_SZLIST_SORTED_CASELESS);
        return r >= 0;
    }
    for (int i = 0; i < b->nItem; ++i) {
        if (IsFiller(b, i)) continue;
        if (CompareBy(cmpMode, b->pszItem[i], s) == 0) return 1;
    }
    return 0;
}

bool ModesCompatible(PSLIBSZLIST a, PSLIBSZLIST b) {
    return a->fMode == b->fMode || a->fMode == 0 || b->fMode == 0;
}

// The comparison rule of a pair of lists: that of the sorted one.
int RuleOf(PSLIBSZLIST a, PSLIBSZLIST b) {
    return a->fMode != 0 ? a->fMode : b->fMode;
}

int UsedBytes(PSLIBSZLIST l) {
    return l->nSize - l->nFree;
}

// Appends without the sorted-insert search (the caller keeps the order).
bool Append(PSLIBSZLIST *pp, const char *s) {
    PSLIBSZLIST l = *pp;
    int mode = l->fMode;
    l->fMode = SLIB_SZLIST_UNSORTED;
    int r = SLIBSzListPush(pp, s);
    (*pp)->fMode = mode;
    return r >= 0;
}

// Intersect and subtract: keep the strings of a that b holds (keep = 1) or
// does not hold (keep = 0).
PSLIBSZLIST Filter(PSLIBSZLIST a, PSLIBSZLIST b, int flags, int keep) {
    if (!a || !b || !ModesCompatible(a, b)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    int rule = RuleOf(a, b);
    if (flags & SLIB_SZLIST_NEW) {
        PSLIBSZLIST out = PslSLIBSzListAlloc(UsedBytes(a));
        if (!out) return nullptr;
        out->fMode = a->fMode;
        for (int i = 0; i < a->nItem; ++i) {
            if (IsFiller(a, i)) continue;
            if (Holds(b, a->pszItem[i], rule) != keep) continue;
            if (!Append(&out, a->pszItem[i])) {
                SLIBSzListFree(out);
                return nullptr;
            }
        }
        return out;
    }
    SLIBSzListCompact(a);
    int n = 0;
    for (int i = 0; i < a->nItem; ++i) {
        if (Holds(b, a->pszItem[i], rule) == keep) a->pszItem[n++] = a->pszItem[i];
    }
    a->nFree += (a->nItem - n) * kSlot;
    a->nItem = n;
    return a;
}

}  // namespace

extern "C" PSLIBSZLIST PslSLIBSzListAlloc(int size) {
    if (size < kMinSize) size = kMinSize;
    auto *l = static_cast<PSLIBSZLIST>(malloc(static_cast<size_t>(size)));
    if (!l) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    l->nSize = size;
    l->nItem = 0;
    l->fMode = SLIB_SZLIST_UNSORTED;
    l->nFree = size - kHeader;
    l->EndofFree = BlockEnd(l);
    l->pszEmpty = BlockEnd(l) - 1;
    *l->pszEmpty = '\0';
    return l;
}

extern "C" void SLIBSzListFree(PSLIBSZLIST list) {
    free(list);
}

extern "C" void SLIBSzListRemoveAll(PSLIBSZLIST list) {
    if (!list) return;
    list->nItem = 0;
    list->EndofFree = BlockEnd(list);
    list->nFree = list->nSize - kHeader;
    *list->pszEmpty = '\0';
}

extern "C" PSLIBSZLIST SLIBSzListGrow(PSLIBSZLIST list) {
    if (!list) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    if (list->nSize > INT_MAX / 2) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    PSLIBSZLIST n = PslSLIBSzListAlloc(list->nSize * 2);
    if (!n) return nullptr;
    n->fMode = list->fMode;
    for (int i = 0; i < list->nItem; ++i) {
        if (IsFiller(list, i)) {
            n->pszItem[i] = n->pszEmpty;
        } else {
            size_t len = strlen(list->pszItem[i]);
            n->pszItem[i] = PackString(n, list->pszItem[i], len);
            n->nFree -= static_cast<int>(len) + 1;
        }
    }
    n->nItem = list->nItem;
    n->nFree -= list->nItem * kSlot;
    free(list);
    return n;
}

extern "C" int SLIBSzListBinarySearch(PSLIBSZLIST list, int hi, int lo, const char *key,
                                      int caseless) {
    if (!list || !key || hi >= list->nItem || lo < 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (SLIBUnicodeOpenCollator() < 0) return -1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        int c;
        if (caseless) {
            c = SLIBUnicodeUTF8StrCaseCmp(key, list->pszItem[mid]);
            if (c == -2) break;
        } else {
            c = strcmp(key, list->pszItem[mid]);
        }
        if (c < 0) {
            hi = mid - 1;
        } else if (c > 0) {
            lo = mid + 1;
        } else {
            SLIBUnicodeCloseCollator();
            return mid;
        }
    }
    SLIBUnicodeCloseCollator();
    return ~lo;
}

extern "C" int SLIBSzListInsert(PSLIBSZLIST *pplist, int index, const char *str) {
    if (!pplist || !*pplist || !str || index < 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    try {
        PSLIBSZLIST l = *pplist;
        Arg arg(l, str);
        if (l->fMode == SLIB_SZLIST_SORTED || l->fMode == SLIB_SZLIST_SORTED_CASELESS) {
            int r = SLIBSzListBinarySearch(l, l->nItem - 1, 0, arg.str,
                                           l->fMode == SLIB_SZLIST_SORTED_CASELESS);
            index = r >= 0 ? r : ~r;
        }
        size_t len = strlen(arg.str);
        int64_t need = static_cast<int64_t>(len) + 1 + kSlot;
        if (index > l->nItem) need += static_cast<int64_t>(index - l->nItem) * kSlot;
        if (need > INT_MAX) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            return -1;
        }
        if (!Reserve(pplist, need, len)) return -1;
        l = *pplist;
        char *s = PackString(l, arg.str, len);
        if (index < l->nItem) {
            memmove(&l->pszItem[index + 1], &l->pszItem[index],
                    static_cast<size_t>(l->nItem - index) * kSlot);
            l->pszItem[index] = s;
            l->nItem++;
        } else {
            for (int i = l->nItem; i < index; ++i)
                l->pszItem[i] = l->pszEmpty;
            l->pszItem[index] = s;
            l->nItem = index + 1;
        }
        l->nFree -= static_cast<int>(need);
        return index;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" int SLIBSzListPush(PSLIBSZLIST *pplist, const char *str) {
    if (!pplist || !*pplist) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    return SLIBSzListInsert(pplist, (*pplist)->nItem, str);
}

extern "C" const char *SzSLIBSzListGet(PSLIBSZLIST list, int index) {
    if (!list || index < 0 || index >= list->nItem) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    return list->pszItem[index];
}

extern "C" const char *SzSLIBSzListRemove(PSLIBSZLIST list, int index) {
    if (!list || index < 0 || index >= list->nItem) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    const char *s = list->pszItem[index];
    memmove(&list->pszItem[index], &list->pszItem[index + 1],
            static_cast<size_t>(list->nItem - index - 1) * kSlot);
    list->nItem--;
    list->nFree += kSlot;
    return s;
}

extern "C" const char *SzSLIBSzListPop(PSLIBSZLIST list) {
    if (!list) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    return SzSLIBSzListRemove(list, list->nItem - 1);
}

extern "C" const char *SzSLIBSzListShift(PSLIBSZLIST list) {
    return SzSLIBSzListRemove(list, 0);
}

extern "C" int SLIBSzListGetMode(PSLIBSZLIST list) {
    if (!list) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    return list->fMode;
}

extern "C" int SLIBSzListFind(PSLIBSZLIST list, const char *str) {
    if (!list || !str || list->fMode == SLIB_SZLIST_SORTED_CASELESS) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (list->fMode == SLIB_SZLIST_SORTED) {
        int r = SLIBSzListBinarySearch(list, list->nItem - 1, 0, str, 0);
        return r >= 0 ? r : -1;
    }
    for (int i = 0; i < list->nItem; ++i) {
        if (!IsFiller(list, i) && strcmp(list->pszItem[i], str) == 0) return i;
    }
    return -1;
}

extern "C" int SLIBSzListFindCaseless(PSLIBSZLIST list, const char *str) {
    if (!list || !str || list->fMode == SLIB_SZLIST_SORTED) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (list->fMode == SLIB_SZLIST_SORTED_CASELESS) {
        int r = SLIBSzListBinarySearch(list, list->nItem - 1, 0, str, 1);
        return r >= 0 ? r : -1;
    }
    for (int i = 0; i < list->nItem; ++i) {
        if (!IsFiller(list, i) && SLIBUnicodeUTF8StrCaseCmp(list->pszItem[i], str) == 0) return i;
    }
    return -1;
}

extern "C" int SLIBSzListSet(PSLIBSZLIST *pplist, int index, const char *str) {
    if (!pplist || !*pplist || !str || index < 0 || index >= (*pplist)->nItem) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    try {
        PSLIBSZLIST l = *pplist;
        Arg arg(l, str);
        size_t len = strlen(arg.str);
        char *target;
        if (len <= strlen(l->pszItem[index])) {
            target = l->pszItem[index];
            memmove(target, arg.str, len + 1);
        } else {
            if (!Reserve(pplist, static_cast<int64_t>(len) + 1, len)) return -1;
            l = *pplist;
            target = PackString(l, arg.str, len);
            l->nFree -= static_cast<int>(len) + 1;
            l->pszItem[index] = target;
        }
        if (l->fMode != SLIB_SZLIST_SORTED && l->fMode != SLIB_SZLIST_SORTED_CASELESS) return index;
        SortItems(l, l->fMode);
        // The new position of the item just set.
        for (int i = 0; i < l->nItem; ++i) {
            if (l->pszItem[i] == target) return i;
        }
        return -1;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" void SLIBSzListCompact(PSLIBSZLIST list) {
    if (!list) return;
    int n = 0;
    for (int i = 0; i < list->nItem; ++i) {
        if (!IsFiller(list, i)) list->pszItem[n++] = list->pszItem[i];
    }
    list->nFree += (list->nItem - n) * kSlot;
    list->nItem = n;
}

extern "C" void SLIBSzListSetMode(PSLIBSZLIST list, int mode) {
    if (!list) return;
    if (list->fMode == SLIB_SZLIST_UNSORTED) {
        if (mode & SLIB_SZLIST_SORTED) {
            SLIBSzListCompact(list);
            SortItems(list, SLIB_SZLIST_SORTED);
        } else if (mode & SLIB_SZLIST_SORTED_CASELESS) {
            SLIBSzListCompact(list);
            SortItems(list, SLIB_SZLIST_SORTED_CASELESS);
        }
    }
    list->fMode = mode;
}

extern "C" PSLIBSZLIST PslSLIBSzListUnion(PSLIBSZLIST *pplistA, PSLIBSZLIST b, int flags) {
    if (!pplistA || !*pplistA || !b || !ModesCompatible(*pplistA, b)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    PSLIBSZLIST a = *pplistA;
    const bool fresh = (flags & SLIB_SZLIST_NEW) != 0;
    const int rule = RuleOf(a, b);
    const bool aSorted = a->fMode != SLIB_SZLIST_UNSORTED;
    const bool bSorted = b->fMode != SLIB_SZLIST_UNSORTED;
    if (!fresh) SLIBSzListCompact(a);

    if (aSorted && bSorted) {
        // Ordered merge into a new block; in place it then replaces a.
        PSLIBSZLIST out = PslSLIBSzListAlloc(UsedBytes(a) + UsedBytes(b));
        if (!out) return nullptr;
        out->fMode = a->fMode;
        int i = 0, j = 0;
        bool ok = true;
        while (ok && (i < a->nItem || j < b->nItem)) {
            if (i < a->nItem && IsFiller(a, i)) {
                ++i;
                continue;
            }
            if (j < b->nItem && IsFiller(b, j)) {
                ++j;
                continue;
            }
            const char *s;
            if (j >= b->nItem) {
                s = a->pszItem[i++];
            } else if (i >= a->nItem) {
                s = b->pszItem[j++];
            } else {
                int c = CompareBy(rule, a->pszItem[i], b->pszItem[j]);
                if (c < 0) {
                    s = a->pszItem[i++];
                } else if (c > 0) {
                    s = b->pszItem[j++];
                } else {
                    s = a->pszItem[i++];
                    ++j;
                }
            }
            ok = Append(&out, s);
        }
        if (!ok) {
            SLIBSzListFree(out);
            return nullptr;
        }
        if (fresh) return out;
        SLIBSzListFree(a);
        *pplistA = out;
        return out;
    }

    PSLIBSZLIST out;
    if (fresh) {
        out = PslSLIBSzListAlloc(UsedBytes(a) + UsedBytes(b));
        if (!out) return nullptr;
        out->fMode = a->fMode;
    } else {
        out = a;
    }
    auto fail = [&]() -> PSLIBSZLIST {
        if (fresh) SLIBSzListFree(out);
        return nullptr;
    };
    if (fresh && !aSorted && bSorted) {
        // b's strings, then each string of a that b does not hold.
        for (int j = 0; j < b->nItem; ++j) {
            if (!IsFiller(b, j) && !Append(&out, b->pszItem[j])) return fail();
        }
        for (int i = 0; i < a->nItem; ++i) {
            if (IsFiller(a, i) || Holds(b, a->pszItem[i], rule)) continue;
            if (!Append(&out, a->pszItem[i])) return fail();
        }
        return out;
    }
    if (fresh) {
        for (int i = 0; i < a->nItem; ++i) {
            if (!IsFiller(a, i) && !Append(&out, a->pszItem[i])) return fail();
        }
    }
    for (int j = 0; j < b->nItem; ++j) {
        if (IsFiller(b, j)) continue;
        const char *s = b->pszItem[j];
        // A fresh union of two unsorted lists tests against a alone;
        // otherwise against the growing result.
        bool held = (fresh && !aSorted) ? Holds(a, s, rule) : Holds(out, s, rule);
        if (held) continue;
        int r = aSorted ? SLIBSzListPush(&out, s) : (Append(&out, s) ? 0 : -1);
        if (!fresh) *pplistA = out;
        if (r < 0) return fail();
    }
    if (!fresh) *pplistA = out;
    return out;
}

extern "C" PSLIBSZLIST PslSLIBSzListIntersect(PSLIBSZLIST a, PSLIBSZLIST b, int flags) {
    return Filter(a, b, flags, 1);
}

extern "C" PSLIBSZLIST PslSLIBSzListSubtract(PSLIBSZLIST a, PSLIBSZLIST b, int flags) {
    return Filter(a, b, flags, 0);
}

extern "C" void SLIBSzListDump(PSLIBSZLIST list) {
    if (!list) return;
    printf("%p start address \n", static_cast<void *>(list));
    for (int i = 0; i < list->nItem; ++i) {
        printf("%p ,%p pszItem[%i]=%s\n", static_cast<void *>(list->pszItem[i]),
               static_cast<void *>(&list->pszItem[i]), i, list->pszItem[i]);
    }
    printf("nSize =%i \t nItem =%i \t nFree =%i \t fMode =%i \t EndofFree=%p\n", list->nSize,
           list->nItem, list->nFree, list->fMode, static_cast<void *>(list->EndofFree));
}
