#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_share.h"
#include "qavo_sharedir.h"
#include "qavo_sharemgmt.h"
#include "samba_check.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

const char *const kGlobal = "[global]\n\tworkgroup=WORKGROUP\n\tsecurity=user\n";

void MountVolume(int n, const char *size = "16m") {
    const std::string dir = "/volume" + std::to_string(n);
    ASSERT_EQ(Sh("mkdir -p " + dir + " && mount -t tmpfs -o size=" + size + " tmpfs " + dir), 0);
}

QAVOSHARE Share(const char *name, const char *path, uint32_t type = QAVOSHARE_ACCESS_RW,
                const char *rw = nullptr, const char *ro = nullptr, const char *deny = nullptr,
                const char *comment = nullptr) {
    QAVOSHARE s{};
    s.szName = const_cast<char *>(name);
    s.szPath = const_cast<char *>(path);
    s.szRW = const_cast<char *>(rw);
    s.szRO = const_cast<char *>(ro);
    s.szDeny = const_cast<char *>(deny);
    s.szComment = const_cast<char *>(comment);
    s.fType = type;
    s.fBrowseable = 1;
    return s;
}

// testparm's value of one parameter of one section.
std::string SambaParam(const std::string &section, const std::string &param) {
    std::string out;
    qtest::Testparm(SZF_QAVO_SMB_CONF);
    qtest::Exec({"/bin/sh", "-c",
                 "/usr/bin/testparm -s --section-name=\"$0\" --parameter-name=\"$1\" \"$2\" "
                 "2>/dev/null",
                 section, param, SZF_QAVO_SMB_CONF},
                &out);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

class ShareMgmt : public ::testing::Test {
  protected:
    void SetUp() override {
        MountVolume(1);
        WriteFile(SZF_QAVO_SMB_CONF, kGlobal);
        Sh("echo 'bob:x:1030:100::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'eve:x:1031:1031::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'staff:x:1040:bob' >> /etc/group");
    }
};

TEST_F(ShareMgmt, NewShareSectionAsSambaReadsIt) {
    QAVOSHARE s = Share("docs", "/volume1/docs");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &s), 1) << std::hex << SLIBErrGet();
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), std::string(kGlobal) +
                                               "[docs]\n"
                                               "\twrite list=nobody,nobody\n"
                                               "\tcomment=\"\"\n"
                                               "\tbrowseable=yes\n"
                                               "\tread list=nobody,nobody\n"
                                               "\tvalid users=nobody,nobody\n"
                                               "\tinvalid users=nobody,nobody\n"
                                               "\twriteable=yes\n"
                                               "\tguest ok=yes\n"
                                               "\tpath=/volume1/docs\n");
    struct stat st;
    ASSERT_EQ(stat("/volume1/docs", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
    EXPECT_EQ(SambaParam("docs", "path"), "/volume1/docs");

    // Lists keep existing names once each; Samba and the record agree.
    QAVOSHARE t = Share("team", "/volume1/team", QAVOSHARE_ACCESS_RO, "bob,ghost,bob,@staff",
                        "eve,@nogroup", "guest", "Team \"files\"");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &t), 1) << std::hex << SLIBErrGet();
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
    char buf[2048];
    int needed = 0;
    ASSERT_EQ(QAVOShareGet(1, "team", buf, sizeof(buf), &needed), 1);
    auto *rec = reinterpret_cast<PQAVOSHARE>(buf);
    std::string rw = rec->szRW;
    EXPECT_TRUE(rw == "bob,@staff" || rw == "@staff,bob") << rw;
    EXPECT_STREQ(rec->szRO, "eve");
    EXPECT_STREQ(rec->szDeny, "guest");
    EXPECT_EQ(rec->fType, static_cast<uint32_t>(QAVOSHARE_ACCESS_RO));
    EXPECT_EQ(SambaParam("team", "read list"), "nobody eve nobody");
    EXPECT_EQ(SambaParam("team", "guest ok"), "Yes");
    EXPECT_EQ(SambaParam("team", "read only"), "Yes");
}

TEST_F(ShareMgmt, AccessBitsAndCommentAreCheckedBeforeAnythingIsMade) {
    const std::string before = ReadFile(SZF_QAVO_SMB_CONF);
    struct Case {
        uint32_t type;
        const char *comment;
        int result;
    } cases[] = {
        {0, nullptr, -1},       // no access bit
        {0x8, nullptr, -1},     // none of the three
        {2, "two\nlines", -1},  // a comment would add lines
        {2, "bell\a", -1},      // control character
        {6, nullptr, 1},        // none wins over read-write
    };
    for (const Case &c : cases) {
        QAVOSHARE s = Share("x", "/volume1/x", c.type, nullptr, nullptr, nullptr, c.comment);
        SLIBErrSet(0);
        EXPECT_EQ(QAVOShareSet(1, nullptr, &s), c.result) << c.type;
        if (c.result < 0) {
            EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
            EXPECT_FALSE(FileExists("/volume1/x")) << c.type;
            EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), before);
        }
    }
    EXPECT_EQ(SambaParam("x", "guest ok"), "No");
}

TEST_F(ShareMgmt, LongCommentIsCutAtACharacterBoundary) {
    const std::string comment = std::string(1021, 'a') + "\xC3\xA9";  // 1023 bytes
    QAVOSHARE s = Share("c", "/volume1/c", 2, nullptr, nullptr, nullptr, comment.c_str());
    ASSERT_EQ(QAVOShareSet(1, nullptr, &s), 1);
    EXPECT_NE(ReadFile(SZF_QAVO_SMB_CONF).find("\tcomment=\"" + std::string(1021, 'a') + "\"\n"),
              std::string::npos);
}

TEST_F(ShareMgmt, HostilePathsAreRefusedAndNothingIsTouched) {
    ASSERT_EQ(Sh("mkdir -p /volume1/real && ln -s /etc /volume1/x && ln -s /volume1/real "
                 "/volume1/inside && echo data > /volume1/file"),
              0);
    const std::string shadow = ReadFile("/etc/shadow");
    struct stat etc;
    ASSERT_EQ(stat("/etc", &etc), 0);
    const std::string smb = ReadFile(SZF_QAVO_SMB_CONF);
    for (const char *path :
         {"/etc/shadow", "/etc", "/volume1", "/volume1/", "/volume1/../etc", "/volume1/./a",
          "/volume1//a", "/volume1/x", "/volume1/x/newdir", "/volume9/x", "volume1/x",
          "/volume1/a\nb", "/volumeX/a", "/volume1/file"}) {
        QAVOSHARE s = Share("evil", path);
        SLIBErrSet(0);
        EXPECT_EQ(QAVOShareSet(1, nullptr, &s), -1) << path;
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS)) << path;
    }
    EXPECT_EQ(ReadFile("/etc/shadow"), shadow);
    struct stat after;
    ASSERT_EQ(stat("/etc", &after), 0);
    EXPECT_EQ(after.st_mode, etc.st_mode);
    EXPECT_FALSE(FileExists("/etc/newdir"));
    EXPECT_EQ(ReadFile("/volume1/file"), "data\n");
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), smb);
    // A link that stays inside the volume is fine.
    QAVOSHARE ok = Share("inside", "/volume1/inside/sub");
    EXPECT_EQ(QAVOShareSet(1, nullptr, &ok), 1) << std::hex << SLIBErrGet();

    for (const char *name : {".", ".."}) {
        QAVOSHARE s = Share(name, "/volume1/dots");
        SLIBErrSet(0);
        EXPECT_EQ(QAVOShareSet(1, nullptr, &s), -1);
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_SHARE_NAME));
    }
}

TEST_F(ShareMgmt, NamesDifferingInCaseOnlyAreOneName) {
    QAVOSHARE docs = Share("Docs", "/volume1/Docs");
    QAVOSHARE other = Share("other", "/volume1/other");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &docs), 1);
    ASSERT_EQ(QAVOShareSet(1, nullptr, &other), 1);
    QAVOSHARE clash = Share("DOCS", "/volume1/DOCS");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareSet(1, nullptr, &clash), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_EXISTS));
    EXPECT_FALSE(FileExists("/volume1/DOCS"));
    QAVOSHARE renameClash = Share("docs", "/volume1/other");
    EXPECT_EQ(QAVOShareSet(1, "other", &renameClash), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_EXISTS));
    // The share itself may change the case of its name.
    QAVOSHARE self = Share("docs", "/volume1/Docs");
    EXPECT_EQ(QAVOShareSet(1, "Docs", &self), 1) << std::hex << SLIBErrGet();
    EXPECT_EQ(SambaParam("docs", "path"), "/volume1/Docs");
}

TEST_F(ShareMgmt, RenameMovesTheFolderOnItsVolumeAndReferencesFollow) {
    QAVOSHARE a = Share("a", "/volume1/a");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &a), 1);
    WriteFile("/volume1/a/f", "x");
    ASSERT_EQ(QAVOINFOSetKeyValue("defshare", "a"), 0);
    ASSERT_EQ(QAVOINFOSetKeyValue("usbbkpshares", "z,A,y"), 0);

    // Into a folder holding data: refused, nothing moved or written.
    ASSERT_EQ(Sh("mkdir -p /volume1/busy && echo keep > /volume1/busy/k"), 0);
    const std::string smb = ReadFile(SZF_QAVO_SMB_CONF);
    QAVOSHARE busy = Share("b", "/volume1/busy");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareSet(1, "a", &busy), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_MOVE));
    EXPECT_EQ(ReadFile("/volume1/a/f"), "x");
    EXPECT_FALSE(FileExists("/volume1/busy/a"));
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), smb);

    ASSERT_EQ(Sh("mkdir -p /volume1/empty"), 0);
    QAVOSHARE b = Share("b", "/volume1/empty");
    ASSERT_EQ(QAVOShareSet(1, "a", &b), 1) << std::hex << SLIBErrGet();
    EXPECT_EQ(ReadFile("/volume1/empty/f"), "x");
    EXPECT_FALSE(FileExists("/volume1/a"));
    EXPECT_EQ(SambaParam("b", "path"), "/volume1/empty");
    char value[64];
    ASSERT_GT(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "defshare", value, sizeof(value), 0), 0);
    EXPECT_STREQ(value, "b");
    ASSERT_GT(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "usbbkpshares", value, sizeof(value), 0),
              0);
    EXPECT_STREQ(value, "z,b,y");
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);

    // No such share.
    QAVOSHARE c = Share("c", "/volume1/c");
    EXPECT_EQ(QAVOShareSet(1, "nosuch", &c), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_NO_SUCH_SHARE));
}

TEST_F(ShareMgmt, UsbShareChangesReachItsRightsMap) {
    ASSERT_EQ(Sh("mkdir -p /volumeUSB1 && mount -t tmpfs tmpfs /volumeUSB1 && "
                 "mkdir -p /volumeUSB1/usbshare"),
              0);
    WriteFile(SZF_QAVO_SMB_CONF, std::string(kGlobal) +
                                     "[usbshare1]\n\tpath=/volumeUSB1/usbshare\n\tguest ok=yes\n"
                                     "\twriteable=yes\n");
    WriteFile(SZF_SHARE_RIGHT_MAP,
              "[usbshare1]\n\tcomment=\"\"\n\twrite list=\n\tread list=\n\tinvalid users=\n"
              "\tfstype=vfat\n");
    QAVOSHARE s = Share("usbshare1", "/volumeUSB1/usbshare", QAVOSHARE_ACCESS_RO, "bob", nullptr,
                        "eve", "Stick");
    ASSERT_EQ(QAVOShareSet(1, "usbshare1", &s), 1) << std::hex << SLIBErrGet();
    const std::string map = ReadFile(SZF_SHARE_RIGHT_MAP);
    for (const char *line : {"\tcomment=\"Stick\"\n", "\twrite list=bob\n", "\tread list=\n",
                             "\tinvalid users=eve\n", "\tfstype=vfat\n"}) {
        EXPECT_NE(map.find(line), std::string::npos) << line << map;
    }
}

TEST_F(ShareMgmt, ServiceSharesKeepTheirLinks) {
    QAVOSHARE s = Share("photo", "/volume1/photo");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &s), 1);
    std::string target;
    ASSERT_EQ(qtest::Exec({"/bin/readlink", "/var/services/photo"}, &target), 0);
    EXPECT_EQ(target, "/volume1/photo\n");
    // Renamed to a name of no service: the link goes.
    QAVOSHARE r = Share("pics", "/volume1/photo");
    ASSERT_EQ(QAVOShareSet(1, "photo", &r), 1);
    EXPECT_NE(qtest::Exec({"/bin/readlink", "/var/services/photo"}, &target), 0);
    // Back again, then deleted: linked, then unlinked.
    QAVOSHARE back = Share("Photo", "/volume1/photo");
    ASSERT_EQ(QAVOShareSet(1, "pics", &back), 1);
    EXPECT_EQ(qtest::Exec({"/bin/readlink", "/var/services/photo"}, &target), 0);
    EXPECT_EQ(QAVOIShareDeleteOne("photo"), 1);
    EXPECT_NE(qtest::Exec({"/bin/readlink", "/var/services/photo"}, &target), 0);
    EXPECT_FALSE(FileExists("/volume1/photo"));
}

TEST_F(ShareMgmt, DeleteDropsEachSectionAndOnlyFoldersNoShareUses) {
    WriteFile(SZF_QAVO_SMB_CONF, std::string(kGlobal) +
                                     "[Photo]\n\tpath=/volume1/photo\n"
                                     "[photo2]\n\tpath=/volume1/photo\n"
                                     "[outer]\n\tpath=/volume1/outer\n"
                                     "[inner]\n\tpath=/volume1/outer/inner\n"
                                     "[solo]\n\tpath=/volume1/solo\n"
                                     "[homes]\n\tpath=/volume1/homes\n");
    ASSERT_EQ(Sh("mkdir -p /volume1/photo /volume1/outer/inner /volume1/solo /volume1/homes"), 0);
    ASSERT_EQ(QAVOINFOSetKeyValue("usbbkpshares", "solo,photo,outer"), 0);
    const char *names[] = {"PHOTO", "outer", "Solo", "homes", "missing", "solo"};
    EXPECT_EQ(QAVOShareDelete(names, 6), 3);
    const std::string smb = ReadFile(SZF_QAVO_SMB_CONF);
    EXPECT_EQ(smb, std::string(kGlobal) +
                       "[photo2]\n\tpath=/volume1/photo\n"
                       "[inner]\n\tpath=/volume1/outer/inner\n"
                       "[homes]\n\tpath=/volume1/homes\n");
    EXPECT_TRUE(FileExists("/volume1/photo"));        // photo2 still uses it
    EXPECT_TRUE(FileExists("/volume1/outer/inner"));  // inner lies below outer
    EXPECT_FALSE(FileExists("/volume1/solo"));
    EXPECT_TRUE(FileExists("/volume1/homes"));
    EXPECT_TRUE(qtest::SyslogHas("can not delete private groups"));
    char value[64] = "";
    ASSERT_GE(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "usbbkpshares", value, sizeof(value), 0),
              0);
    EXPECT_STREQ(value, "");
    EXPECT_FALSE(FileExists("/usr/qavo/etc/smb.conf.tmp"));

    // Keeping folders, and nothing matched.
    const char *keep[] = {"photo2"};
    EXPECT_EQ(QAVOIShareDelete(keep, 1, QAVOSHARE_DELETE_KEEP_DIR), 1);
    EXPECT_TRUE(FileExists("/volume1/photo"));
    EXPECT_EQ(QAVOIShareDeleteOne("nothing"), 0);
    EXPECT_EQ(QAVOIShareDeleteOne(nullptr), -1);
}

TEST_F(ShareMgmt, FolderAnotherShareUsesIsKeptHoweverItsPathIsWritten) {
    // The remaining shares name the deleted shares' folders, or folders
    // around them, with a trailing slash, doubled slashes or "." and "..".
    WriteFile(SZF_QAVO_SMB_CONF, std::string(kGlobal) +
                                     "[all]\n\tpath=/volume1/\n"
                                     "[a]\n\tpath=/volume1/a\n"
                                     "[b]\n\tpath=/volume1/b\n"
                                     "[b2]\n\tpath=/volume1//b/.\n"
                                     "[c]\n\tpath=/volume1/c\n"
                                     "[c2]\n\tpath=/volume1/x/../c/\n");
    ASSERT_EQ(Sh("mkdir -p /volume1/a /volume1/b /volume1/c && touch /volume1/a/data"), 0);
    const char *names[] = {"a", "b", "c"};
    EXPECT_EQ(QAVOShareDelete(names, 3), 3);
    EXPECT_TRUE(FileExists("/volume1/a/data"));  // below the folder of "all"
    EXPECT_TRUE(FileExists("/volume1/b"));
    EXPECT_TRUE(FileExists("/volume1/c"));

    // Alone, the folder goes with its share.
    WriteFile(SZF_QAVO_SMB_CONF, std::string(kGlobal) + "[a]\n\tpath=/volume1/a\n");
    const char *one[] = {"a"};
    EXPECT_EQ(QAVOShareDelete(one, 1), 1);
    EXPECT_FALSE(FileExists("/volume1/a"));
}

TEST_F(ShareMgmt, DeleteOfAFailedRewriteLeavesEverything) {
    WriteFile(SZF_QAVO_SMB_CONF, std::string(kGlobal) + "[solo]\n\tpath=/volume1/solo\n");
    ASSERT_EQ(Sh("mkdir -p /volume1/solo && mkdir -p /usr/qavo/etc/smb.conf.tmp/block"), 0);
    ASSERT_EQ(QAVOINFOSetKeyValue("usbbkpshares", "solo"), 0);
    EXPECT_EQ(QAVOIShareDeleteOne("solo"), -1);
    EXPECT_TRUE(FileExists("/volume1/solo"));
    char value[64] = "";
    ASSERT_GT(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "usbbkpshares", value, sizeof(value), 0),
              0);
    EXPECT_STREQ(value, "solo");
}

TEST_F(ShareMgmt, RemoveDirRemovesOnlyCheckedFolders) {
    ASSERT_EQ(Sh("mkdir -p /volume1/d/sub /volume1/m && touch /volume1/d/sub/f && "
                 "mount -t tmpfs tmpfs /volume1/m && touch /volume1/m/f"),
              0);
    struct Case {
        const char *path;
        int type, result;
        SLIBERRCODE code;
    } cases[] = {
        {"/volume1/d", 1, 1, 0},                         // kept by type
        {"/volume1", 0, -1, ERR_BAD_PARAMETERS},         // a volume root
        {"/volume1/../etc", 0, -1, ERR_BAD_PARAMETERS},  // leaves the volume
        {"/etc", 0, -1, ERR_BAD_PARAMETERS},             // no volume
        {"/volume1/m", 0, -1, ERR_SHARE_RMDIR},          // a mount point
        {"/volume1/none", 0, 1, 0},                      // nothing to remove
        {"/volume1/d", 0, 1, 0},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(SHAREIRemoveDir(c.path, c.type), c.result) << c.path;
        EXPECT_EQ(SLIBErrGet(), c.code) << c.path;
    }
    EXPECT_FALSE(FileExists("/volume1/d"));
    EXPECT_TRUE(FileExists("/volume1/m/f"));
    EXPECT_TRUE(FileExists("/etc/passwd"));
}

TEST_F(ShareMgmt, ValidUserListsAndDeduplication) {
    char out[128];
    EXPECT_EQ(SHAREIGetValidUserList("bob,ghost,@staff,@ghosts,,admin,@", out), 1);
    EXPECT_STREQ(out, "bob,@staff,admin");
    EXPECT_EQ(SHAREIGetValidUserList(nullptr, out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(SHAREIGetValidUserList("bob", nullptr), -1);

    char list[] = "bob,,alice,bob,Bob";
    EXPECT_EQ(RemoveSameUsers(list), 1);
    std::vector<std::string> got;
    for (char *p = strtok(list, ","); p; p = strtok(nullptr, ","))
        got.emplace_back(p);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"Bob", "alice", "bob"}));
    char empty[] = "";
    EXPECT_EQ(RemoveSameUsers(empty), 0);
    EXPECT_EQ(RemoveSameUsers(nullptr), -1);
}

}  // namespace
