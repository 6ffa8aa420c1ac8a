#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_group.h"
#include "qavo_shareprivilege.h"
#include "slib_errcode.h"
#include "slib_szlist.h"

namespace {

using qtest::Sh;

class SharePrivilege : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *u : {"bob", "alice", "carl"}) {
            ASSERT_EQ(Sh(std::string("echo '") + u + ":x:" + std::to_string(1030 + uid_++) +
                         ":100::/nonexist:/bin/sh' >> /etc/passwd && echo '" + u +
                         ":*:19000:0:99999:7:::' >> /etc/shadow"),
                      0);
        }
        std::vector<const char *> staff = {"staff", "bob", "carl", nullptr};
        ASSERT_EQ(QAVOGroupSet(0, 1, nullptr, staff.data()), 1);
    }
    int uid_ = 0;
};

TEST_F(SharePrivilege, SplitsSortsAndFindsRepeatsAndConflicts) {
    const std::string longName(995, 'x');
    struct Case {
        std::string text;
        int result;
        std::string na, rw, ro;
    } cases[] = {
        {"bob - RW,alice - RO", 0, "", "bob,", "alice,"},
        {"bob - RW,bob - RO", 1, "", "bob,", "bob,"},          // two levels
        {"Bob - RW,bob - RO", 1, "", "Bob,", "bob,"},          // case only
        {"bob - RW,BOB - RW", 1, "", "BOB,bob,", ""},          // same level
        {"@staff - RW,bob - RW", 1, "", "@staff,bob,", ""},    // a member repeated
        {"@staff - RW,carl - NA", 1, "carl,", "@staff,", ""},  // a member at two levels
        {"@staff - RO,alice - RW", 0, "", "alice,", "@staff,"},
        {"@nogroup - RW,bob - RO", 0, "", "@nogroup,", "bob,"},  // unknown group skipped
        {"bob-RW,alice -RO,eve - rw,x", 0, "", "", ""},          // no level the client writes
        {"Zed - NA,adam - NA", 0, "adam,Zed,", "", ""},
        {"bob - RW,", 0, "", "bob,", ""},
        {"bob - RW,,alice - RO", 0, "", "bob,", "alice,"},
        {"", 0, "", "", ""},
        {" - RW", 0, "", ",", ""},
        {longName + " - RW,bob - RO", 0, "", longName + ",", "bob,"},
    };
    for (const Case &c : cases) {
        std::string text = c.text;
        char *na = nullptr, *rw = nullptr, *ro = nullptr;
        EXPECT_EQ(QAVOSharePrivilegeSplit(text.data(), &na, &rw, &ro), c.result) << c.text;
        ASSERT_TRUE(na && rw && ro) << c.text;
        EXPECT_EQ(std::string(na), c.na) << c.text;
        EXPECT_EQ(std::string(rw), c.rw) << c.text;
        EXPECT_EQ(std::string(ro), c.ro) << c.text;
        free(na);
        free(rw);
        free(ro);
    }
    char *na, *rw, *ro;
    EXPECT_EQ(QAVOSharePrivilegeSplit(nullptr, &na, &rw, &ro), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST_F(SharePrivilege, CheckTellsRepeatFromConflictAndLeavesTheListsAlone) {
    auto list = [](std::vector<const char *> names) {
        PSLIBSZLIST l = PslSLIBSzListAlloc(512);
        for (const char *n : names)
            SLIBSzListPush(&l, n);
        return l;
    };
    struct Case {
        std::vector<const char *> na, rw, ro;
        int result;
    } cases[] = {
        {{}, {"bob"}, {"alice"}, 0},
        {{}, {"@staff", "carl"}, {}, 1},
        {{"CARL"}, {"@staff"}, {}, 2},
        {{}, {"bob", "bob"}, {"bob"}, 2},
    };
    for (const Case &c : cases) {
        PSLIBSZLIST na = list(c.na), rw = list(c.rw), ro = list(c.ro);
        const PSLIBSZLIST before = rw;
        EXPECT_EQ(SHAREIPrivilegeCheck(&na, &rw, &ro), c.result);
        EXPECT_EQ(rw, before);
        EXPECT_EQ(rw->nItem, static_cast<int>(c.rw.size()));
        SLIBSzListFree(na);
        SLIBSzListFree(rw);
        SLIBSzListFree(ro);
    }
    PSLIBSZLIST none = nullptr;
    EXPECT_EQ(SHAREIPrivilegeCheck(&none, &none, &none), -1);
}

TEST(SharePrivilegeDup, CopiesSizeModeAndOrder) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(2048);
    SLIBSzListSetMode(l, SLIB_SZLIST_SORTED_CASELESS);
    for (const char *n : {"zed", "Adam", "bob"})
        SLIBSzListPush(&l, n);
    PSLIBSZLIST d = SHAREISzListDup(l);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->nSize, l->nSize);
    EXPECT_EQ(d->fMode, l->fMode);
    ASSERT_EQ(d->nItem, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(d->pszItem[i], l->pszItem[i]);
    EXPECT_NE(d->pszItem[0], l->pszItem[0]);
    SLIBSzListFree(l);
    SLIBSzListFree(d);
    EXPECT_EQ(SHAREISzListDup(nullptr), nullptr);
}

}  // namespace
