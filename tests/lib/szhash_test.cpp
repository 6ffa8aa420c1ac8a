#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "slib_errcode.h"
#include "slib_szhash.h"

namespace {

struct Hash {
    PSLIBSZHASH p;
    explicit Hash(int size = 0) : p(PshSLIBSzHashAlloc(size)) {}
    ~Hash() { SLIBSzHashFree(p); }
    int Set(const char *k, const char *v) { return SLIBSzHashSetValue(&p, k, v); }
};

std::vector<std::string> Keys(PSLIBSZHASH h) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    EXPECT_EQ(SLIBSzHashEnumKey(h, &l), h->nItem);
    std::vector<std::string> v;
    for (int i = 0; i < l->nItem; ++i)
        v.emplace_back(l->pszItem[i]);
    SLIBSzListFree(l);
    return v;
}

}  // namespace

TEST(SzHash, KeyIsTheSumOfLittleEndianWords) {
    struct Case {
        const char *key;
        int buckets;
        int bucket;
    };
    const Case cases[] = {
        {"", 31, 0},
        {"a", 31, 97 % 31},
        {"ab", 1000, 0x6261 % 1000},
        {"abc", 100000, 0x636261 % 100000},
        {"abcd", 31, static_cast<int>(0x64636261u % 31)},
        {"dcba", 31, static_cast<int>(0x61626364u % 31)},
        {"abcde", 31, static_cast<int>((0x64636261u + 0x65u) % 31)},
        // Wrap-around of the 32-bit sum.
        {"\xff\xff\xff\xff\x01", 7, static_cast<int>((0xffffffffu + 1u) % 7)},
        {"\xff\xff\xff\xff", 1000, static_cast<int>(0xffffffffu % 1000)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SLIBSzHashKey(c.key, c.buckets), c.bucket) << c.key;
    EXPECT_EQ(SLIBSzHashKey(nullptr, 31), -1);
    EXPECT_EQ(SLIBSzHashKey("a", 0), -1);
}

TEST(SzHash, ShareSectionComesOutInBucketOrder) {
    Hash h;
    // The insertion order of a new share; "invalid users" and "writeable"
    // share bucket 16.
    const char *keys[] = {"comment",   "path",        "browseable", "invalid users", "write list",
                          "read list", "valid users", "guest ok",   "writeable"};
    for (const char *k : keys)
        ASSERT_GE(h.Set(k, "v"), 0);
    EXPECT_EQ(Keys(h.p), (std::vector<std::string>{"write list", "comment", "browseable",
                                                   "read list", "valid users", "invalid users",
                                                   "writeable", "guest ok", "path"}));
    EXPECT_EQ(SLIBSzHashFindBucket(h.p, "invalid users"), 16);
    EXPECT_EQ(SLIBSzHashFindBucket(h.p, "writeable"), 17);
    EXPECT_EQ(SLIBSzHashFindBucket(h.p, "path"), 25);
}

TEST(SzHash, RebuildsAtThe29thKey) {
    Hash h;
    EXPECT_EQ(h.p->nBucket, 31);
    EXPECT_EQ(h.p->nSize, 512);
    for (int i = 0; i < 28; ++i)
        ASSERT_GE(h.Set(("k" + std::to_string(i)).c_str(), "x"), 0);
    EXPECT_EQ(h.p->nBucket, 31);
    PSLIBSZHASH before = h.p;
    ASSERT_GE(h.Set("k28", "x"), 0);
    EXPECT_NE(h.p, before);
    EXPECT_EQ(h.p->nBucket, 119);
    EXPECT_EQ(h.p->nSize, 512);  // the string area had room
    EXPECT_EQ(h.p->nItem, 29);
    for (int i = 0; i < 29; ++i)
        EXPECT_STREQ(SzSLIBSzHashGetValue(h.p, ("k" + std::to_string(i)).c_str()), "x");
    // Keys enumerate in bucket order of the new table.
    auto keys = Keys(h.p);
    for (size_t i = 1; i < keys.size(); ++i)
        EXPECT_LT(SLIBSzHashFindBucket(h.p, keys[i - 1].c_str()),
                  SLIBSzHashFindBucket(h.p, keys[i].c_str()));
}

TEST(SzHash, GrowsTheStringArea) {
    Hash h;
    h.Set("a", "1");
    h.Set("b", "2");
    std::string big(600, 'v');
    ASSERT_GE(h.Set("c", big.c_str()), 0);
    EXPECT_EQ(h.p->nBucket, 31);
    // 512 + avg (512 / 2) x free buckets (31 - 2) + need (1 + 600 + 2).
    EXPECT_EQ(h.p->nSize, 512 + 256 * 29 + 603);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "c"), big);
    EXPECT_EQ(h.p->nFree, h.p->nSize - 4 - 4 - 603);
}

TEST(SzHash, TombstonesAreProbedAndReused) {
    Hash h;
    // "a" (97) and "#" (35) share home bucket 4; so does "B" (66).
    EXPECT_EQ(h.Set("a", "1"), 4);
    EXPECT_EQ(h.Set("#", "2"), 5);
    EXPECT_STREQ(SzSLIBSzHashRemoveKey(h.p, "a"), "1");
    EXPECT_EQ(h.p->nItem, 1);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h.p, "#"), "2");  // probe passes the tombstone
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "a"), nullptr);
    // A tombstone in the home bucket is not reused.
    EXPECT_EQ(h.Set("a", "3"), 6);
    EXPECT_STREQ(SzSLIBSzHashRemoveKey(h.p, "#"), "2");
    EXPECT_EQ(h.Set("B", "4"), 5);  // the first tombstone after home
    EXPECT_EQ(h.Set("a", "5"), 6);  // the existing key past two tombstones
    EXPECT_EQ(Keys(h.p), (std::vector<std::string>{"B", "a"}));
    EXPECT_EQ(SzSLIBSzHashRemoveKey(h.p, "zz"), nullptr);
}

TEST(SzHash, ValuesReplacedInPlaceOrAppended) {
    Hash h;
    int slot = h.Set("key", "long value");
    const char *v = SzSLIBSzHashGetValue(h.p, "key");
    char *next = h.p->pszNext;
    EXPECT_EQ(h.Set("key", "short"), slot);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "key"), v);
    EXPECT_EQ(h.p->pszNext, next);
    EXPECT_EQ(h.Set("key", "a longer value"), slot);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "key"), next);
    EXPECT_EQ(h.p->nItem, 1);
    EXPECT_EQ(h.p->nFree, 512 - 15 - 15);
}

TEST(SzHash, ArgumentsFromTheSameBlockSurviveGrowth) {
    Hash h;
    std::string big(400, 'x');
    h.Set("big", big.c_str());
    // A new key whose value is an existing value: the table must grow.
    ASSERT_GE(h.Set("copy", SzSLIBSzHashGetValue(h.p, "big")), 0);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "copy"), big);
    // Existing key set to a longer value from the same block.
    h.Set("small", "s");
    std::string bigger(3000, 'y');
    h.Set("bigger", bigger.c_str());
    ASSERT_GE(h.Set("small", SzSLIBSzHashGetValue(h.p, "bigger")), 0);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "small"), bigger);
    // An existing key, passed as the table's own key string, set to a value
    // that makes the table grow.
    const char *key = h.p->buckets[SLIBSzHashFindBucket(h.p, "big")].szKey;
    std::string huge(9000, 'z');
    ASSERT_GE(h.Set(key, huge.c_str()), 0);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "big"), huge);
    EXPECT_EQ(h.p->nItem, 4);
}

TEST(SzHash, RemoveAllLeavesTombstones) {
    Hash h;
    h.Set("one", "1");
    h.Set("two", "2");
    SLIBSzHashRemoveAll(h.p);
    EXPECT_EQ(h.p->nItem, 0);
    EXPECT_EQ(h.p->nFree, h.p->nSize);
    EXPECT_EQ(SLIBSzHashEnumKey(h.p, nullptr), 0);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "one"), nullptr);
    int tombstones = 0;
    for (int i = 0; i < h.p->nBucket; ++i)
        tombstones += h.p->buckets[i].szKey == nullptr && h.p->buckets[i].szValue != nullptr;
    EXPECT_EQ(tombstones, 2);
    h.Set("three", "3");
    EXPECT_EQ(SLIBSzHashEnumKey(h.p, nullptr), 1);
}

TEST(SzHash, NullArgumentsAndCount) {
    Hash h;
    SLIBErrSet(0);
    EXPECT_EQ(h.Set(nullptr, "v"), -1);
    EXPECT_EQ(h.Set("k", nullptr), -1);
    EXPECT_EQ(SLIBSzHashSetValue(nullptr, "k", "v"), -1);
    EXPECT_EQ(SzSLIBSzHashGetValue(nullptr, "k"), nullptr);
    EXPECT_EQ(SLIBSzHashEnumKey(nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0u);
    EXPECT_EQ(SLIBSzHashCount(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    h.Set("k", "v");
    EXPECT_EQ(SLIBSzHashCount(h.p), 1);
    SLIBSzHashFree(nullptr);
    SLIBSzHashRemoveAll(nullptr);
}

TEST(SzHash, Dump) {
    Hash h;
    h.Set("path", "/volume1/x");
    h.Set("comment", "c");
    testing::internal::CaptureStdout();
    SLIBSzHashDump(h.p);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "0th item: key=comment,value=c\n1th item: key=path,value=/volume1/x\n");
}
