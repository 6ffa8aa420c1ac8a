#include "slib_szhash.h"

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

namespace {

constexpr int kFirstBuckets = 31;
constexpr int kMinArea = 512;
constexpr int64_t kHeader = static_cast<int64_t>(offsetof(SLIBSZHASH, buckets));
constexpr int64_t kBucket = static_cast<int64_t>(sizeof(SLIBSZHASH_BUCKET));

char *AreaStart(PSLIBSZHASH h) {
    return reinterpret_cast<char *>(&h->buckets[h->nBucket]);
}

bool InBlock(PSLIBSZHASH h, const char *s) {
    auto p = reinterpret_cast<uintptr_t>(s);
    auto b = reinterpret_cast<uintptr_t>(h);
    return p >= b && p < reinterpret_cast<uintptr_t>(AreaStart(h)) + static_cast<size_t>(h->nSize);
}

bool Used(const SLIBSZHASH_BUCKET &b) {
    return b.szKey != nullptr;
}
bool Empty(const SLIBSZHASH_BUCKET &b) {
    return b.szKey == nullptr && b.szValue == nullptr;
}

// A private copy of an argument that lives inside the table's own block,
// which a growth frees.
struct Arg {
    std::optional<std::string> copy;
    const char *str;
    Arg(PSLIBSZHASH h, const char *s) : str(s) {
        if (InBlock(h, s)) {
            copy.emplace(s);
            str = copy->c_str();
        }
    }
};

}  // namespace

extern "C" PSLIBSZHASH PshSLIBSzHashAllocEx(int buckets, int size) {
    if (buckets < 1 || size < 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    const int64_t total = kHeader + kBucket * buckets + size;
    if (total > INT_MAX) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    // Only the header and the buckets start zeroed: the string area is
    // written before anything reads it.
    auto *h = static_cast<PSLIBSZHASH>(malloc(static_cast<size_t>(total)));
    if (!h) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    memset(h, 0, static_cast<size_t>(kHeader + kBucket * buckets));
    h->nSize = size;
    h->nFree = size;
    h->nBucket = buckets;
    h->nItem = 0;
    h->pszNext = AreaStart(h);
    return h;
}

extern "C" PSLIBSZHASH PshSLIBSzHashAlloc(int size) {
    return PshSLIBSzHashAllocEx(kFirstBuckets, size < kMinArea ? kMinArea : size);
}

extern "C" void SLIBSzHashFree(PSLIBSZHASH hash) {
    free(hash);
}

namespace {

// The key's bytes as little-endian 32-bit words, a short last word padded
// with zero bytes at its high end, summed modulo 2^32; len is strlen(key).
int KeyOf(const char *key, size_t len, int nBucket) {
    uint32_t sum = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(key);
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        sum += static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
               static_cast<uint32_t>(p[i + 2]) << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    }
    uint32_t last = 0;
    for (size_t k = 0; i + k < len; ++k)
        last |= static_cast<uint32_t>(p[i + k]) << (8 * k);
    sum += last;
    return static_cast<int>(sum % static_cast<uint32_t>(nBucket));
}

// SLIBSzHashInsertBucket for a key of known length.
int InsertBucket(PSLIBSZHASH hash, const char *key, size_t len) {
    const int n = hash->nBucket;
    if (n <= 0) return -1;
    const int h = KeyOf(key, len, n);
    const SLIBSZHASH_BUCKET &home = hash->buckets[h];
    if (Empty(home) || (Used(home) && strcmp(home.szKey, key) == 0)) return h;
    // A tombstone in the home bucket itself is not reused.
    int remembered = -1;
    for (int k = 1; k < n; ++k) {
        int i = (h + k) % n;
        const SLIBSZHASH_BUCKET &b = hash->buckets[i];
        if (Used(b)) {
            if (strcmp(b.szKey, key) == 0) return i;
            continue;
        }
        if (remembered < 0) remembered = i;
        if (Empty(b)) break;
    }
    return remembered;
}

// SLIBSzHashStore with both lengths known.
void Store(PSLIBSZHASH hash, const char *key, size_t klen, const char *value, size_t vlen,
           int slot) {
    char *k = hash->pszNext;
    memcpy(k, key, klen + 1);
    char *v = k + klen + 1;
    memcpy(v, value, vlen + 1);
    hash->buckets[slot].szKey = k;
    hash->buckets[slot].szValue = v;
    hash->pszNext = v + vlen + 1;
    hash->nFree -= static_cast<int>(klen + vlen + 2);
    hash->nItem++;
}

// PshSLIBSzHashAdd with both lengths known.
int Add(PSLIBSZHASH *pphash, const char *key, size_t klen, const char *value, size_t vlen,
        int slot) {
    const int64_t need = static_cast<int64_t>(klen) + static_cast<int64_t>(vlen) + 2;
    if (need > INT_MAX) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
    PSLIBSZHASH h = PshSLIBSzHashGrow(*pphash, static_cast<int>(need));
    if (!h) return -1;
    if (h != *pphash) {
        *pphash = h;
        slot = InsertBucket(h, key, klen);
    }
    if (slot < 0 || h->nFree < need) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
    Store(h, key, klen, value, vlen, slot);
    return slot;
}

}  // namespace

extern "C" int SLIBSzHashKey(const char *key, int nBucket) {
    if (!key || nBucket <= 0) return -1;
    return KeyOf(key, strlen(key), nBucket);
}

extern "C" int SLIBSzHashFindBucket(PSLIBSZHASH hash, const char *key) {
    if (!hash || !key) return -1;
    const int n = hash->nBucket;
    const int h = SLIBSzHashKey(key, n);
    if (h < 0) return -1;
    for (int k = 0; k < n; ++k) {
        int i = (h + k) % n;
        const SLIBSZHASH_BUCKET &b = hash->buckets[i];
        if (Empty(b)) return -1;
        if (Used(b) && strcmp(b.szKey, key) == 0) return i;
    }
    return -1;
}

extern "C" int SLIBSzHashInsertBucket(PSLIBSZHASH hash, const char *key) {
    if (!hash || !key) return -1;
    return InsertBucket(hash, key, strlen(key));
}

extern "C" void SLIBSzHashStore(PSLIBSZHASH hash, const char *key, const char *value, int slot) {
    Store(hash, key, strlen(key), value, strlen(value), slot);
}

extern "C" PSLIBSZHASH SLIBSzHashRehash(PSLIBSZHASH hash, int buckets, int size) {
    PSLIBSZHASH n = PshSLIBSzHashAllocEx(buckets, size);
    if (!n) return nullptr;
    for (int i = 0; i < hash->nBucket; ++i) {
        const SLIBSZHASH_BUCKET &b = hash->buckets[i];
        if (!Used(b)) continue;
        const size_t klen = strlen(b.szKey);
        int slot = InsertBucket(n, b.szKey, klen);
        Store(n, b.szKey, klen, b.szValue, strlen(b.szValue), slot);
    }
    free(hash);
    return n;
}

extern "C" PSLIBSZHASH PshSLIBSzHashGrow(PSLIBSZHASH hash, int need) {
    if (!hash || need < 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    const float ratio =
        static_cast<float>(hash->nBucket - hash->nItem) / static_cast<float>(hash->nBucket);
    const bool crowded = static_cast<double>(ratio) < 0.1;
    if (!crowded && hash->nFree > need) return hash;
    int64_t buckets = crowded ? 4 * static_cast<int64_t>(hash->nBucket) - 5 : hash->nBucket;
    int64_t size;
    if (hash->nFree > need) {
        size = hash->nSize;
    } else {
        int64_t avg = hash->nItem == 0 ? need
                                       : static_cast<int64_t>(static_cast<float>(hash->nSize) /
                                                              static_cast<float>(hash->nItem));
        size = hash->nSize + avg * (hash->nBucket - hash->nItem) + need;
    }
    if (buckets > INT_MAX || size > INT_MAX) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    return SLIBSzHashRehash(hash, static_cast<int>(buckets), static_cast<int>(size));
}

extern "C" int PshSLIBSzHashAdd(PSLIBSZHASH *pphash, const char *key, const char *value, int slot) {
    return Add(pphash, key, strlen(key), value, strlen(value), slot);
}

extern "C" const char *SzSLIBSzHashGetValue(PSLIBSZHASH hash, const char *key) {
    int i = SLIBSzHashFindBucket(hash, key);
    return i < 0 ? nullptr : hash->buckets[i].szValue;
}

extern "C" int SLIBSzHashSetValue(PSLIBSZHASH *pphash, const char *key, const char *value) {
    if (!pphash || !*pphash || !key || !value) return -1;
    try {
        PSLIBSZHASH h = *pphash;
        Arg k(h, key), v(h, value);
        const size_t klen = strlen(k.str), vlen = strlen(v.str);
        int slot = InsertBucket(h, k.str, klen);
        if (slot >= 0 && Used(h->buckets[slot])) {
            char *old = h->buckets[slot].szValue;
            if (vlen <= strlen(old)) {
                memmove(old, v.str, vlen + 1);
                return slot;
            }
            if (vlen + 1 > static_cast<size_t>(INT_MAX)) {
                SLIBErrSet(ERR_OUT_OF_MEMORY);
                return -1;
            }
            PSLIBSZHASH g = PshSLIBSzHashGrow(h, static_cast<int>(vlen + 1));
            if (!g) return -1;
            if (g != h) slot = InsertBucket(g, k.str, klen);
            *pphash = g;
            memcpy(g->pszNext, v.str, vlen + 1);
            g->buckets[slot].szValue = g->pszNext;
            g->pszNext += vlen + 1;
            g->nFree -= static_cast<int>(vlen + 1);
            return slot;
        }
        return Add(pphash, k.str, klen, v.str, vlen, slot);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" const char *SzSLIBSzHashRemoveKey(PSLIBSZHASH hash, const char *key) {
    int i = SLIBSzHashFindBucket(hash, key);
    if (i < 0) return nullptr;
    hash->buckets[i].szKey = nullptr;
    hash->nItem--;
    return hash->buckets[i].szValue;
}

extern "C" int SLIBSzHashEnumKey(PSLIBSZHASH hash, PSLIBSZLIST *pplist) {
    if (!hash) return -1;
    if (hash->nItem == 0) return 0;
    int count = 0;
    for (int i = 0; i < hash->nBucket; ++i) {
        if (!Used(hash->buckets[i])) continue;
        ++count;
        if (pplist && SLIBSzListPush(pplist, hash->buckets[i].szKey) < 0) return -1;
    }
    return count;
}

extern "C" void SLIBSzHashRemoveAll(PSLIBSZHASH hash) {
    if (!hash) return;
    for (int i = 0; i < hash->nBucket; ++i)
        hash->buckets[i].szKey = nullptr;
    hash->nItem = 0;
    hash->nFree = hash->nSize;
    hash->pszNext = AreaStart(hash);
}

extern "C" int SLIBSzHashCount(PSLIBSZHASH hash) {
    if (!hash) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    return hash->nItem;
}

extern "C" void SLIBSzHashDump(PSLIBSZHASH hash) {
    if (!hash) return;
    PSLIBSZLIST list = PslSLIBSzListAlloc(2000);
    if (!list) return;
    if (SLIBSzHashEnumKey(hash, &list) >= 0) {
        for (int i = 0; i < list->nItem; ++i) {
            printf("%ith item: key=%s,value=%s\n", i, list->pszItem[i],
                   SzSLIBSzHashGetValue(hash, list->pszItem[i]));
        }
    }
    SLIBSzListFree(list);
}
