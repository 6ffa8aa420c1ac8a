#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_szlist.h"

namespace {

constexpr int kHeader = static_cast<int>(offsetof(SLIBSZLIST, pszItem));
constexpr int kSlot = static_cast<int>(sizeof(char *));

using qtest::Items;

// nFree always equals the gap between the pointer array and the strings.
void ExpectInvariant(PSLIBSZLIST l) {
    auto *slotsEnd = reinterpret_cast<char *>(&l->pszItem[l->nItem]);
    EXPECT_EQ(l->nFree, l->EndofFree - slotsEnd);
    EXPECT_EQ(l->pszEmpty, reinterpret_cast<char *>(l) + l->nSize - 1);
    EXPECT_EQ(*l->pszEmpty, '\0');
}

struct List {
    PSLIBSZLIST p;
    explicit List(int size = 0, int mode = 0) : p(PslSLIBSzListAlloc(size)) {
        SLIBSzListSetMode(p, mode);
    }
    ~List() { SLIBSzListFree(p); }
    void Push(std::initializer_list<const char *> v) {
        for (const char *s : v)
            ASSERT_GE(SLIBSzListPush(&p, s), 0);
    }
};

}  // namespace

TEST(SzList, FreshBlockAndPacking) {
    List l;
    EXPECT_EQ(l.p->nSize, 512);
    EXPECT_EQ(l.p->nFree, 512 - kHeader);
    EXPECT_EQ(l.p->EndofFree, reinterpret_cast<char *>(l.p) + 512);
    ASSERT_EQ(SLIBSzListPush(&l.p, "abc"), 0);
    // The first string's zero byte lands on the block's last byte.
    EXPECT_EQ(l.p->pszItem[0], reinterpret_cast<char *>(l.p) + 512 - 4);
    EXPECT_EQ(l.p->nFree, 512 - kHeader - 4 - kSlot);
    ExpectInvariant(l.p);
    List big(2000);
    EXPECT_EQ(big.p->nSize, 2000);
}

TEST(SzList, InsertPastTheEndMakesFillers) {
    List l;
    ASSERT_EQ(SLIBSzListInsert(&l.p, 5, "x"), 5);
    EXPECT_EQ(l.p->nItem, 6);
    EXPECT_EQ(l.p->nFree, 512 - kHeader - 2 - 6 * kSlot);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(l.p->pszItem[i], l.p->pszEmpty);
        EXPECT_STREQ(SzSLIBSzListGet(l.p, i), "");
    }
    // Fillers are skipped by the search; a pushed empty string is no filler.
    EXPECT_EQ(SLIBSzListFind(l.p, ""), -1);
    ASSERT_EQ(SLIBSzListPush(&l.p, ""), 6);
    EXPECT_EQ(SLIBSzListFind(l.p, ""), 6);
    SLIBSzListCompact(l.p);
    EXPECT_EQ(Items(l.p), (std::vector<std::string>{"x", ""}));
    ExpectInvariant(l.p);
}

TEST(SzList, EmptyStringPackedFirstIsNoFiller) {
    // The first string packed sits right below the block's end; an empty one
    // must still not share pszEmpty's address, whatever the block's history.
    for (int mode : {SLIB_SZLIST_UNSORTED, SLIB_SZLIST_SORTED}) {
        List l(0, mode);
        ASSERT_EQ(SLIBSzListPush(&l.p, ""), 0);
        EXPECT_NE(l.p->pszItem[0], l.p->pszEmpty);
        ExpectInvariant(l.p);
        std::string big(300, 'x');
        l.Push({big.c_str(), big.c_str()});  // grows: "" is copied first
        EXPECT_GT(l.p->nSize, 512);
        SLIBSzListCompact(l.p);
        EXPECT_EQ(Items(l.p), (std::vector<std::string>{"", big, big}));
        EXPECT_EQ(SLIBSzListFind(l.p, ""), 0);
        ExpectInvariant(l.p);
        SLIBSzListRemoveAll(l.p);
        ASSERT_EQ(SLIBSzListInsert(&l.p, 0, ""), 0);
        EXPECT_EQ(SLIBSzListFind(l.p, ""), 0);
        ExpectInvariant(l.p);
    }
}

TEST(SzList, SortedInsertIgnoresIndex) {
    List l(0, SLIB_SZLIST_SORTED);
    l.Push({"b"});
    EXPECT_EQ(SLIBSzListInsert(&l.p, 7, "a"), 0);
    EXPECT_EQ(SLIBSzListPush(&l.p, "c"), 2);
    const char *firstB = l.p->pszItem[1];
    EXPECT_EQ(SLIBSzListPush(&l.p, "b"), 1);  // before the equal item
    EXPECT_EQ(l.p->pszItem[2], firstB);
    EXPECT_EQ(Items(l.p), (std::vector<std::string>{"a", "b", "b", "c"}));
    EXPECT_EQ(SLIBSzListFind(l.p, "c"), 3);
    EXPECT_EQ(SLIBSzListFind(l.p, "bb"), -1);
}

TEST(SzList, CaselessModeSortsAndFindsThroughCollation) {
    List l(0, SLIB_SZLIST_SORTED_CASELESS);
    l.Push({"delta", "Bravo", "alpha", "CHARLIE"});
    EXPECT_EQ(Items(l.p), (std::vector<std::string>{"alpha", "Bravo", "CHARLIE", "delta"}));
    EXPECT_EQ(SLIBSzListFindCaseless(l.p, "ALPHA"), 0);
    EXPECT_EQ(SLIBSzListFindCaseless(l.p, "charlie"), 2);
    // Each mode refuses the other mode's search.
    SLIBErrSet(0);
    EXPECT_EQ(SLIBSzListFind(l.p, "alpha"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    List s(0, SLIB_SZLIST_SORTED);
    SLIBErrSet(0);
    EXPECT_EQ(SLIBSzListFindCaseless(s.p, "a"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    // Unsorted lists search linearly either way.
    List u;
    u.Push({"One", "two"});
    EXPECT_EQ(SLIBSzListFindCaseless(u.p, "TWO"), 1);
    EXPECT_EQ(SLIBSzListFind(u.p, "one"), -1);
}

TEST(SzList, GrowDoublesAndMovesTheBlock) {
    List l;
    SLIBSzListPush(&l.p, "gone");
    const char *removed = SzSLIBSzListRemove(l.p, 0);
    EXPECT_STREQ(removed, "gone");  // still readable until the block grows
    EXPECT_EQ(l.p->nFree, 512 - kHeader - 5);
    PSLIBSZLIST first = l.p;
    std::string s(100, 'a');
    int sizes[] = {512, 1024, 2048};
    int seen = 0;
    for (int i = 0; i < 15; ++i) {
        s[0] = static_cast<char>('A' + i);
        ASSERT_EQ(SLIBSzListPush(&l.p, s.c_str()), i);
        if (l.p->nSize != sizes[seen]) {
            ++seen;
            ASSERT_LT(seen, 3);
            EXPECT_EQ(l.p->nSize, sizes[seen]);
        }
        ExpectInvariant(l.p);
    }
    EXPECT_EQ(seen, 2);
    EXPECT_NE(l.p, first);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(l.p->pszItem[i][0], 'A' + i);
    // The removed string's bytes were not carried over.
    EXPECT_EQ(l.p->nSize - l.p->nFree, kHeader + 15 * (101 + kSlot));
}

TEST(SzList, StringFromTheSameBlockSurvivesGrowth) {
    List l;
    std::string s(150, 'q');
    l.Push({s.c_str(), s.c_str()});
    // The third copy of an item does not fit: the block grows while the
    // argument still points into the old one.
    for (int i = 0; i < 4; ++i)
        ASSERT_GE(SLIBSzListPush(&l.p, l.p->pszItem[0]), 0);
    ASSERT_GE(SLIBSzListInsert(&l.p, 0, l.p->pszItem[1]), 0);
    for (int i = 0; i < l.p->nItem; ++i)
        EXPECT_EQ(l.p->pszItem[i], s);
    std::string longer(300, 'r');
    ASSERT_EQ(SLIBSzListPush(&l.p, longer.c_str()), 7);
    // Set an item to a longer string taken from the same block.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(SLIBSzListSet(&l.p, i, l.p->pszItem[7]), i);
    EXPECT_EQ(l.p->pszItem[2], longer);
    ExpectInvariant(l.p);
}

TEST(SzList, SetInPlaceOrBelowAndSortedPositions) {
    List u;
    u.Push({"long-string", "b"});
    const char *p0 = u.p->pszItem[0];
    EXPECT_EQ(SLIBSzListSet(&u.p, 0, "short"), 0);
    EXPECT_EQ(u.p->pszItem[0], p0);  // shorter: overwritten in place
    int before = u.p->nFree;
    EXPECT_EQ(SLIBSzListSet(&u.p, 1, "longer"), 1);
    EXPECT_EQ(u.p->nFree, before - 7);
    EXPECT_EQ(Items(u.p), (std::vector<std::string>{"short", "longer"}));
    EXPECT_EQ(SLIBSzListSet(&u.p, 2, "x"), -1);

    List s(0, SLIB_SZLIST_SORTED);
    s.Push({"a", "m", "z"});
    EXPECT_EQ(SLIBSzListSet(&s.p, 0, "zz"), 2);
    EXPECT_EQ(Items(s.p), (std::vector<std::string>{"m", "z", "zz"}));
    // Caseless lists report the new position as well.
    List c(0, SLIB_SZLIST_SORTED_CASELESS);
    c.Push({"Apple", "banana", "Cherry"});
    EXPECT_EQ(SLIBSzListSet(&c.p, 0, "damson"), 2);
    EXPECT_EQ(Items(c.p), (std::vector<std::string>{"banana", "Cherry", "damson"}));
}

TEST(SzList, RemovePopShiftAndRemoveAll) {
    List l;
    l.Push({"a", "b", "c", "d"});
    EXPECT_STREQ(SzSLIBSzListShift(l.p), "a");
    EXPECT_STREQ(SzSLIBSzListPop(l.p), "d");
    EXPECT_STREQ(SzSLIBSzListRemove(l.p, 1), "c");
    EXPECT_EQ(Items(l.p), (std::vector<std::string>{"b"}));
    SLIBErrSet(0);
    EXPECT_EQ(SzSLIBSzListRemove(l.p, 1), nullptr);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    ExpectInvariant(l.p);
    SLIBSzListSetMode(l.p, SLIB_SZLIST_SORTED);
    SLIBSzListRemoveAll(l.p);
    EXPECT_EQ(l.p->nItem, 0);
    EXPECT_EQ(l.p->nFree, 512 - kHeader);
    EXPECT_EQ(l.p->fMode, SLIB_SZLIST_SORTED);
    EXPECT_EQ(SzSLIBSzListPop(l.p), nullptr);
}

TEST(SzList, BadArguments) {
    List l;
    SLIBErrSet(0);
    EXPECT_EQ(SLIBSzListInsert(&l.p, -1, "x"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    SLIBErrSet(0);
    EXPECT_EQ(SLIBSzListPush(&l.p, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    PSLIBSZLIST none = nullptr;
    EXPECT_EQ(SLIBSzListPush(&none, "x"), -1);
    EXPECT_EQ(SLIBSzListPush(nullptr, "x"), -1);
    EXPECT_EQ(SzSLIBSzListGet(l.p, 0), nullptr);
    EXPECT_EQ(SzSLIBSzListGet(nullptr, 0), nullptr);
    EXPECT_EQ(SLIBSzListGetMode(nullptr), -1);
    SLIBSzListFree(nullptr);
    SLIBSzListRemoveAll(nullptr);
    SLIBSzListSetMode(nullptr, 1);
    EXPECT_EQ(l.p->nItem, 0);
}

TEST(SzList, SetModeSortsOnlyUnsortedLists) {
    List l;
    SLIBSzListInsert(&l.p, 2, "beta");
    l.Push({"Alpha", "gamma"});
    SLIBSzListSetMode(l.p, SLIB_SZLIST_SORTED_CASELESS);
    EXPECT_EQ(Items(l.p), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    List s(0, SLIB_SZLIST_SORTED);
    s.Push({"b", "B"});
    SLIBSzListSetMode(s.p, SLIB_SZLIST_SORTED_CASELESS);
    EXPECT_EQ(s.p->fMode, SLIB_SZLIST_SORTED_CASELESS);
    EXPECT_EQ(Items(s.p), (std::vector<std::string>{"B", "b"}));  // not re-sorted
}

TEST(SzList, SetOperations) {
    using V = std::vector<std::string>;
    struct Case {
        const char *name;
        int modeA, modeB;
        V a, b;
        V uni, uniNew, inter, sub;
    };
    const Case cases[] = {
        {"both sorted",
         1,
         1,
         {"a", "c", "e"},
         {"b", "c", "d"},
         {"a", "b", "c", "d", "e"},
         {"a", "b", "c", "d", "e"},
         {"c"},
         {"a", "e"}},
        {"sorted, unsorted",
         1,
         0,
         {"b", "d"},
         {"e", "a", "d"},
         {"a", "b", "d", "e"},
         {"a", "b", "d", "e"},
         {"d"},
         {"b"}},
        // In place, b's strings that a holds are skipped, not appended twice.
        {"unsorted, sorted",
         0,
         1,
         {"z", "c"},
         {"a", "c"},
         {"z", "c", "a"},
         {"a", "c", "z"},
         {"c"},
         {"z"}},
        {"both unsorted",
         0,
         0,
         {"x", "y"},
         {"y", "w", "w"},
         {"x", "y", "w"},
         {"x", "y", "w", "w"},
         {"y"},
         {"x"}},
        {"caseless",
         16,
         0,
         {"Alpha", "beta"},
         {"ALPHA", "Gamma"},
         {"Alpha", "beta", "Gamma"},
         {"Alpha", "beta", "Gamma"},
         {"Alpha"},
         {"beta"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto make = [](int mode, const V &v) {
            PSLIBSZLIST l = PslSLIBSzListAlloc(0);
            for (const auto &s : v)
                SLIBSzListPush(&l, s.c_str());
            SLIBSzListSetMode(l, mode);
            return l;
        };
        PSLIBSZLIST a = make(c.modeA, c.a), b = make(c.modeB, c.b);
        PSLIBSZLIST n = PslSLIBSzListUnion(&a, b, SLIB_SZLIST_NEW);
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(Items(n), c.uniNew);
        EXPECT_EQ(n->fMode, c.modeA);
        EXPECT_EQ(Items(a), c.a);  // unchanged
        SLIBSzListFree(n);
        n = PslSLIBSzListIntersect(a, b, SLIB_SZLIST_NEW);
        EXPECT_EQ(Items(n), c.inter);
        SLIBSzListFree(n);
        n = PslSLIBSzListSubtract(a, b, SLIB_SZLIST_NEW);
        EXPECT_EQ(Items(n), c.sub);
        SLIBSzListFree(n);
        ASSERT_EQ(PslSLIBSzListUnion(&a, b, 0), a);
        EXPECT_EQ(Items(a), c.uni);
        SLIBSzListFree(a);
        a = make(c.modeA, c.a);
        ASSERT_EQ(PslSLIBSzListIntersect(a, b, 0), a);
        EXPECT_EQ(Items(a), c.inter);
        ExpectInvariant(a);
        SLIBSzListFree(a);
        a = make(c.modeA, c.a);
        ASSERT_EQ(PslSLIBSzListSubtract(a, b, 0), a);
        EXPECT_EQ(Items(a), c.sub);
        SLIBSzListFree(a);
        SLIBSzListFree(b);
    }
    // Two differently sorted lists are refused.
    List a(0, 1), b(0, 16);
    SLIBErrSet(0);
    EXPECT_EQ(PslSLIBSzListUnion(&a.p, b.p, SLIB_SZLIST_NEW), nullptr);
    EXPECT_EQ(PslSLIBSzListSubtract(a.p, b.p, 0), nullptr);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST(SzList, InPlaceUnionFollowsTheMovingBlock) {
    List a, b;
    std::string s(60, 'k');
    for (int i = 0; i < 20; ++i) {
        s[0] = static_cast<char>('a' + i);
        SLIBSzListPush(&b.p, s.c_str());
    }
    PSLIBSZLIST before = a.p;
    PSLIBSZLIST r = PslSLIBSzListUnion(&a.p, b.p, 0);
    EXPECT_EQ(r, a.p);
    EXPECT_NE(a.p, before);
    EXPECT_EQ(a.p->nItem, 20);
}

TEST(SzList, Dump) {
    List l;
    l.Push({"one"});
    testing::internal::CaptureStdout();
    SLIBSzListDump(l.p);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" start address \n"), std::string::npos);
    EXPECT_NE(out.find(" pszItem[0]=one\n"), std::string::npos);
    EXPECT_NE(out.find("nSize =512 \t nItem =1 \t nFree =" + std::to_string(l.p->nFree) +
                       " \t fMode =0 \t EndofFree="),
              std::string::npos);
}
