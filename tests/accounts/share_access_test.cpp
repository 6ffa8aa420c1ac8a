#include <gtest/gtest.h>

#include <string>

#include "appliance.h"
#include "qavo_share.h"
#include "slib_errcode.h"

namespace {

using qtest::Sh;
using qtest::WriteFile;

TEST(ShareText, ParsesTheOneLineForm) {
    struct Case {
        const char *text;
        int result;
        SLIBERRCODE code;
        uint32_t type, browse;
        const char *name, *path, *rw;
    } cases[] = {
        {"docs::/volume1/docs::admin::SHARE_RW:1", 1, 0, 2, 1, "docs", "/volume1/docs", "admin"},
        {"d:c:/volume1/d:::bob:X_ro:0", 1, 0, 1, 0, "d", "/volume1/d", ""},
        {"d:c:/volume1/d::::RW:1", 1, 0, 4, 1, "d", "/volume1/d", ""},  // no '_'
        {"d:c:/volume1/d::::_RX:1", 1, 0, 4, 1, "d", "/volume1/d", ""},
        {"d:c:/volume1/d:::", -1, ERR_BAD_PARAMETERS, 0, 0, nullptr, nullptr, nullptr},
        {"d:c:/volume1/d::::SHARE_RW", -1, ERR_BAD_PARAMETERS, 0, 0, nullptr, nullptr, nullptr},
        {"d:c:/volume1/d::::AVERYVERYLONGACCESSWORDFORSHARE_RW:1", -1, ERR_BAD_PARAMETERS, 0, 0,
         nullptr, nullptr, nullptr},
        {"no colon", -1, 0, 0, 0, nullptr, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        alignas(QAVOSHARE) char buf[512];
        SLIBErrSet(0);
        EXPECT_EQ(ParseShareParam(c.text, buf, sizeof(buf)), c.result) << c.text;
        EXPECT_EQ(SLIBErrGet(), c.code) << c.text;
        if (c.result != 1) continue;
        auto *s = reinterpret_cast<PQAVOSHARE>(buf);
        EXPECT_STREQ(s->szName, c.name);
        EXPECT_STREQ(s->szPath, c.path);
        EXPECT_STREQ(s->szRW, c.rw);
        EXPECT_EQ(s->fType, c.type) << c.text;
        EXPECT_EQ(s->fBrowseable, c.browse) << c.text;
    }
    // Room for the record and its strings, counted from sizeof.
    const char *text = "ab::/v::::_RW:1";
    const int need = static_cast<int>(sizeof(QAVOSHARE) + 3 + 3);
    alignas(QAVOSHARE) char small[64];
    EXPECT_EQ(ParseShareParam(text, small, need - 1), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BUF_TOO_SMALL));
    EXPECT_EQ(ParseShareParam(text, small, need), 1);
}

class ShareAccess : public ::testing::Test {
  protected:
    void SetUp() override {
        Sh("echo 'bob:x:1030:100::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'eve:x:1031:1031::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'carl:x:1032:1032::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'staff:x:1040:carl' >> /etc/group");
        ASSERT_EQ(Sh("mkdir -p /volume1/pub/sub /volume1/team /volume1/homes/bob "
                     "/volume1/docs.snap/GMT2026-01/x /volume1/.snapshot/GMT2026-01/docs"),
                  0);
        WriteFile(SZF_QAVO_SMB_CONF,
                  "[global]\n\tsecurity=user\n"
                  "[pub]\n\tpath=/volume1/pub\n\twrite list=nobody,@users,nobody\n"
                  "\tinvalid users=nobody,eve,nobody\n\tguest ok=yes\n\twriteable=yes\n"
                  "[team]\n\tpath=/volume1/team\n\tread list=nobody,@staff,nobody\n"
                  "\tguest ok=no\n\twriteable=no\n"
                  "[snap]\n\tpath=/volume1/docs.snap/GMT2026-01\n\tread list=nobody,eve,nobody\n"
                  "\tguest ok=no\n\twriteable=no\n");
    }
};

TEST_F(ShareAccess, WhoReachesWhichPath) {
    struct Case {
        const char *user, *path;
        int result;
    } cases[] = {
        {"bob", "/volume1/pub/sub", 1},  // @users: primary group 100
        {"eve", "/volume1/pub/sub", 0},  // denied before read-write
        {"carl", "/volume1/pub", 0},     // not in users (group 1032)
        {"carl", "/volume1/team", 1},    // @staff
        {"bob", "/volume1/team", 0},
        {"root", "/volume1/homes/bob", 1},
        {"BOB", "/volume1/homes/bob", 1},
        {"eve", "/volume1/homes/bob", 0},
        {"bob", "/volume1/homes", 0},
        {"eve", "/volume1/.snapshot/GMT2026-01/docs", 1},
        {"bob", "/volume1/.snapshot/GMT2026-01/docs", 0},
        {"bob", "/volume1/nosuch", 0},
        {"bob", "/volume1/pubx", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(QAVOShareIsUnderValidPath(c.user, c.path), c.result) << c.user << " " << c.path;
    }
    EXPECT_EQ(QAVOShareIsUnderValidPath(nullptr, "/volume1"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));

    EXPECT_EQ(SHAREIIsLocalUserInList("Carl", "x,@nogroup,@staff"), 1);
    EXPECT_EQ(SHAREIIsLocalUserInList("ghost", "@users,ghost"), 0);  // unknown user stops
    EXPECT_EQ(SHAREIIsLocalUserInList(nullptr, "bob"), 0);

    char path[16];
    EXPECT_EQ(QAVOSharePathGet("team", path, sizeof(path)), 0);
    EXPECT_STREQ(path, "/volume1/team");
    EXPECT_EQ(QAVOSharePathGet("snap", path, 8), 0);
    EXPECT_STREQ(path, "/volume");
    EXPECT_EQ(QAVOSharePathGet("nosuch", path, sizeof(path)), -1);
}

}  // namespace

namespace {

TEST(ShareAccessDomain, DomainUsersByNameAndDomainGroup) {
    WriteFile("/sim/wbinfo.conf",
              "user  CORP\\alice  S-1-5-21-7-8-9-1104  10001  10513\n"
              "user  CORP\\carol  S-1-5-21-7-8-9-1110  10002  10513,10520\n"
              "user  CORP\\dan    S-1-5-21-7-8-9-1111  10003  10513,10520\n"
              "group CORP\\staff  S-1-5-21-7-8-9-2001  10520\n");
    ASSERT_EQ(Sh("mkdir -p /volume1/corp"), 0);
    WriteFile(SZF_QAVO_SMB_CONF,
              "[global]\n\tsecurity=ads\n\trealm=CORP.EXAMPLE\n"
              "[corp]\n\tpath=/volume1/corp\n\twrite list=nobody,CORP\\alice,nobody\n"
              "\tread list=nobody,@CORP\\staff,nobody\n\tinvalid users=nobody,CORP\\dan,nobody\n"
              "\tguest ok=no\n\twriteable=no\n");
    EXPECT_EQ(QAVOShareIsUnderValidPath("CORP\\alice", "/volume1/corp"), 1);
    EXPECT_EQ(QAVOShareIsUnderValidPath("CORP\\carol", "/volume1/corp"), 1);  // @CORP\staff
    EXPECT_EQ(QAVOShareIsUnderValidPath("CORP\\dan", "/volume1/corp"), 0);    // denied first
}

}  // namespace
