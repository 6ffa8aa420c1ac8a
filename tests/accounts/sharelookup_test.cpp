#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_share.h"
#include "qavo_sharelookup.h"
#include "qavo_sharemgmt.h"
#include "samba_check.h"
#include "slib_errcode.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

// Shares on volumes 1 and 2, USB, eSATA and reserved sections.
constexpr const char *kConf =
    "[global]\n\tsecurity=user\n"
    "[homes]\n\tpath=/volume1/homes\n\tguest ok=no\n\twriteable=no\n"
    "[printers]\n\tpath=/var/spool\n\tguest ok=no\n\twriteable=no\n"
    "[Docs]\n\tpath=/volume1/docs\n\twrite list=nobody,bob,nobody\n\tguest ok=no\n"
    "\twriteable=no\n"
    "[team]\n\tpath=/volume1/team\n\twrite list=nobody,@staff,nobody\n\tguest ok=no\n"
    "\twriteable=no\n"
    "[gone]\n\tpath=/volume1/gone\n\twrite list=nobody,bob,nobody\n\tguest ok=no\n"
    "\twriteable=no\n"
    "[read]\n\tpath=/volume1/read\n\tread list=nobody,bob,nobody\n\tguest ok=no\n"
    "\twriteable=no\n"
    "[MediaFiles]\n\tpath=/volume2/media\n\twrite list=nobody,Bob,nobody\n\tguest ok=no\n"
    "\twriteable=no\n"
    "[usbshare1]\n\tpath=/volume1/usb\n\tguest ok=yes\n\twriteable=yes\n"
    "[satashare]\n\tpath=/volume1/sata\n\tguest ok=yes\n\twriteable=yes\n";

class ShareLookup : public ::testing::Test {
  protected:
    void SetUp() override {
        Sh("echo 'bob:x:1030:100::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'carl:x:1032:1032::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'staff:x:1040:carl' >> /etc/group");
        ASSERT_EQ(Sh("mkdir -p /volume1/docs /volume1/team /volume1/read /volume2/media"), 0);
        WriteFile(SZF_QAVO_SMB_CONF, kConf);
    }
};

TEST_F(ShareLookup, CaseLessFindsTheSectionsOwnSpelling) {
    PQAVOSHARE s = QAVOShareGetCaseLess("mediafiles");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->szName, "MediaFiles");
    EXPECT_STREQ(s->szPath, "/volume2/media");
    QAVOShareFree(s);
    QAVOShareFree(nullptr);

    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareGetCaseLess("nosuch"), nullptr);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_NO_SUCH_SHARE));
    EXPECT_EQ(QAVOShareGetCaseLess(""), nullptr);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST_F(ShareLookup, EnumByVolumeSizesFillsExactlyAndRefusesOneByteShort) {
    struct Case {
        int volume;
        std::vector<std::string> names;
    } cases[] = {{1, {"Docs", "team", "gone", "read"}}, {2, {"MediaFiles"}}, {3, {}}};
    for (const Case &c : cases) {
        int needed = -1;
        ASSERT_EQ(QAVOShareEnumByVolume(c.volume, nullptr, 0, &needed),
                  static_cast<int>(c.names.size()));
        size_t expect = sizeof(char *);  // the closing NULL
        for (const std::string &n : c.names)
            expect += sizeof(char *) + n.size() + 1;
        ASSERT_EQ(needed, static_cast<int>(expect)) << c.volume;

        // Blocks of exactly that size: ASan sees any write past the end.
        char **exact = static_cast<char **>(malloc(expect));
        int again = 0;
        ASSERT_EQ(QAVOShareEnumByVolume(c.volume, exact, needed, &again),
                  static_cast<int>(c.names.size()));
        for (size_t i = 0; i < c.names.size(); ++i)
            EXPECT_STREQ(exact[i], c.names[i].c_str());
        EXPECT_EQ(exact[c.names.size()], nullptr);
        free(exact);

        char **shorter = static_cast<char **>(malloc(expect - 1));
        SLIBErrSet(0);
        EXPECT_EQ(QAVOShareEnumByVolume(c.volume, shorter, needed - 1, nullptr), -1);
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BUF_TOO_SMALL));
        free(shorter);
    }
    for (int bad : {0, 5, -1}) {
        int needed = 0;
        EXPECT_EQ(QAVOShareEnumByVolume(bad, nullptr, 0, &needed), -1) << bad;
    }
    char *buf[4];
    EXPECT_EQ(QAVOShareEnumByVolume(1, buf, 0, nullptr), -1);
    EXPECT_EQ(QAVOShareEnumByVolume(1, nullptr, 0, nullptr), -1);
}

TEST_F(ShareLookup, WriteableSharesOfLocalUsers) {
    struct Case {
        const char *user;
        int count;
        const char *text;
    } cases[] = {
        {"bob", 2, ":Docs:MediaFiles"},  // gone has no folder; read is read-only
        {"BOB", 2, ":Docs:MediaFiles"},
        {"carl", 1, ":team"},  // through @staff
        {"nobody2", 0, ""},
    };
    for (const Case &c : cases) {
        char *out = nullptr;
        EXPECT_EQ(QAVOShareWriteableGet(c.user, &out), c.count) << c.user;
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.text) << c.user;
        free(out);
    }
    char *out = nullptr;
    EXPECT_EQ(QAVOShareWriteableGet(nullptr, &out), -1);
    EXPECT_EQ(QAVOShareWriteableGet("bob", nullptr), -1);
}

TEST(ShareLookupDomain, WriteableSharesOfADomainUser) {
    WriteFile("/sim/wbinfo.conf",
              "user  CORP\\alice  S-1-5-21-7-8-9-1104  10001  10513\n"
              "user  CORP\\carol  S-1-5-21-7-8-9-1110  10002  10513,10520\n"
              "group CORP\\staff  S-1-5-21-7-8-9-2001  10520\n");
    ASSERT_EQ(Sh("mkdir -p /volume1/corp /volume1/staff"), 0);
    WriteFile(SZF_QAVO_SMB_CONF,
              "[global]\n\tsecurity=ads\n\trealm=CORP.EXAMPLE\n"
              "[corp]\n\tpath=/volume1/corp\n\twrite list=nobody,CORP\\alice,nobody\n"
              "\tguest ok=no\n\twriteable=no\n"
              "[staff]\n\tpath=/volume1/staff\n\twrite list=nobody,@CORP\\staff,nobody\n"
              "\tguest ok=no\n\twriteable=no\n");
    struct Case {
        const char *user;
        int count;
        const char *text;
    } cases[] = {{"CORP\\alice", 1, ":corp"}, {"CORP\\carol", 1, ":staff"}};
    for (const Case &c : cases) {
        char *out = nullptr;
        EXPECT_EQ(QAVOShareWriteableGet(c.user, &out), c.count) << c.user;
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.text);
        free(out);
    }
}

TEST(ShareReapply, RemakesMissingFoldersAndKeepsTheSections) {
    ASSERT_EQ(Sh("mkdir -p /volume1 /volume2"), 0);
    WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tsecurity=user\n");
    struct {
        const char *name, *path, *rw;
        uint32_t type;
    } shares[] = {{"docs", "/volume1/docs", "admin,bob", QAVOSHARE_ACCESS_NONE},
                  {"pub", "/volume2/pub", "", QAVOSHARE_ACCESS_RW}};
    for (const auto &d : shares) {
        QAVOSHARE s{};
        s.szName = const_cast<char *>(d.name);
        s.szComment = const_cast<char *>("c");
        s.szPath = const_cast<char *>(d.path);
        s.szDeny = const_cast<char *>("");
        s.szRW = const_cast<char *>(d.rw);
        s.szRO = const_cast<char *>("");
        s.fType = d.type;
        s.fBrowseable = 1;
        ASSERT_EQ(QAVOShareSet(1, nullptr, &s), 1) << d.name;
    }
    std::string before;
    ASSERT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF, &before), 0) << before;
    ASSERT_EQ(rmdir("/volume1/docs"), 0);
    ASSERT_EQ(rmdir("/volume2/pub"), 0);

    EXPECT_EQ(QAVOShareReapply("docs"), 1);
    struct stat st;
    ASSERT_EQ(stat("/volume1/docs", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_FALSE(FileExists("/volume2/pub"));
    EXPECT_EQ(QAVOShareReapply(nullptr), 1);
    ASSERT_EQ(stat("/volume2/pub", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);

    std::string after;
    ASSERT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF, &after), 0) << after;
    EXPECT_EQ(after, before);

    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareReapply("nosuch"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST(ShareReapply, APathOutsideTheVolumesIsNeverMade) {
    const std::string conf = std::string("[global]\n\tsecurity=user\n") +
                             "[sys]\n\tpath=/etc/qavo-planted\n\tguest ok=yes\n\twriteable=yes\n";
    WriteFile(SZF_QAVO_SMB_CONF, conf);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareReapply("sys"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    EXPECT_EQ(QAVOShareReapply(nullptr), -1);
    EXPECT_FALSE(FileExists("/etc/qavo-planted"));
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), conf);
}

TEST(SmbLikeConf, ChangesOneKeyAndRefusesLineBreaks) {
    const std::string path = "/tmp/like.conf";
    const std::string text = "[a]\n\tx=1\n\ty=2\n[empty]\n# note\n[b]\n\tz=3\n";
    WriteFile(path, text);
    EXPECT_EQ(ModifySmbLikeConf(path.c_str(), "a", "x", "9", nullptr), 0);
    std::string now = ReadFile(path);
    EXPECT_NE(now.find("\tx=9\n"), std::string::npos) << now;
    EXPECT_NE(now.find("\ty=2\n"), std::string::npos) << now;
    EXPECT_NE(now.find("[b]\n\tz=3\n"), std::string::npos) << now;
    EXPECT_EQ(ModifySmbLikeConf(path.c_str(), "a", "w", "new", "%s = %s\n"), 0);
    now = ReadFile(path);
    EXPECT_NE(now.find("w = new\n"), std::string::npos) << now;

    struct Case {
        const char *section, *key, *value;
        SLIBERRCODE code;
    } refused[] = {
        {"a", "x", "1\n[evil]\n\tpath=/", ERR_BAD_PARAMETERS},
        {"a", "x\ny", "1", ERR_BAD_PARAMETERS},
        {"a", "x", "1\r", ERR_BAD_PARAMETERS},
        {"a", "x=y", "1", ERR_BAD_PARAMETERS},
        {"a", "", "1", ERR_BAD_PARAMETERS},
        {"empty", "k", "v", 0},  // a section without key lines
        {"nosuch", "k", "v", 0},
    };
    for (const Case &c : refused) {
        SLIBErrSet(0);
        EXPECT_EQ(ModifySmbLikeConf(path.c_str(), c.section, c.key, c.value, nullptr), -1) << c.key;
        if (c.code) {
            EXPECT_EQ(SLIBErrGet(), c.code) << c.key;
        }
        EXPECT_EQ(ReadFile(path), now) << c.key;
    }
    EXPECT_EQ(ModifySmbLikeConf(nullptr, "a", "x", "1", nullptr), -1);
    EXPECT_EQ(ModifySmbLikeConf(path.c_str(), "a", "x", nullptr, nullptr), -1);
}

}  // namespace
