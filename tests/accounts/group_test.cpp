#include "qavo_group.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_windomain.h"
#include "samba_check.h"
#include "slib_errcode.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

using qtest::ReadFile;
using qtest::WriteFile;

namespace {

const char kPasswd[] =
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
    "guest:x:1025:100:Guest:/nonexist:/bin/csh\n"
    "alice:x:1026:100::/:/bin/csh\n"
    "bob:x:1027:100::/:/bin/csh\n"
    "nobody:x:99:99:nobody:/nonexist:/bin/sh\n";
const char kShadow[] =
    "root:*:14000:0:99999:7:::\n"
    "admin:*:14000:0:99999:7:::\n"
    "guest::14000:0:99999:7:::\n"
    "alice:*:14000:0:99999:7:::\n"
    "bob:*:14000:0:99999:7:::\n"
    "nobody:*:14000:0:99999:7:::\n";
const char kGroupBase[] =
    "root:x:0:\n"
    "smmsp:x:25:nobody,nobody\n"
    "users:x:100:nobody,nobody\n"
    "administrators:x:101:nobody,admin,nobody\n"
    "nobody:x:99:\n";

void Accounts(const std::string &group = kGroupBase) {
    WriteFile("/etc/passwd", kPasswd);
    WriteFile("/etc/shadow", kShadow, 0600);
    WriteFile("/etc/group", group);
    WriteFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
}

// grpck's complaints, less the two line forms it does not know: the gid
// index line and the extended group lines.
std::string GrpckComplaints() {
    std::string out;
    qtest::Exec({"/bin/sh", "-c", "/usr/sbin/grpck -r /etc/group 2>&1"}, &out);
    std::string kept, line;
    for (char c : out + "\n") {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (!line.empty() && line.find(SZ_GID_INDEX) == std::string::npos &&
            line.find("invalid group file entry") == std::string::npos &&
            line.find("delete line") == std::string::npos &&
            line.find("no changes") == std::string::npos)
            kept += line + "\n";
        line.clear();
    }
    return kept;
}

int Set(const char *oldName, std::vector<const char *> group) {
    group.push_back(nullptr);
    return QAVOGroupSet(0, 1, oldName, group.data());
}

std::vector<std::string> Get(const char *name) {
    int needed = 0;
    EXPECT_EQ(0, QAVOGroupGet(1, 1, name, nullptr, 0, &needed));
    std::vector<char *> mem(static_cast<size_t>(needed) / sizeof(char *) + 1);
    QAVOGROUP *buf = mem.data();
    std::vector<std::string> out;
    EXPECT_EQ(1, QAVOGroupGet(1, 1, name, buf, needed, &needed));
    for (char **p = buf; *p; ++p)
        out.emplace_back(*p);
    return out;
}

const char kSmb[] =
    "[global]\n"
    "\tworkgroup=WG\n"
    "[docs]\n"
    "\twrite list=nobody,@staff,@staffX,alice,nobody\n"
    "\tread list=nobody,@STAFF,nobody\n"
    "\tvalid users=nobody,@staff\n"
    "\tinvalid users=nobody,@other,@staff,nobody\n"
    "\tcomment=@staff room\n"
    "\tpath=/volume1/docs\n";

}  // namespace

TEST(GroupSet, CreateAllocatesGidsAndKeepsMembersAsPasswdSpellsThem) {
    Accounts();
    // An empty first member, a name in the wrong case, a duplicate and an
    // unknown user: only alice and bob remain, once, spelled as in passwd.
    ASSERT_EQ(1, Set(nullptr, {"staff", "", "ALICE", "ghost", "bob", "alice"}));
    ASSERT_EQ(1, Set(nullptr, {"empty"}));
    const std::string g = ReadFile("/etc/group");
    EXPECT_EQ("#$_@GID__INDEX@_$65538$\n" + std::string(kGroupBase) +
                  "staff:x:65536:nobody,alice,bob,nobody\n"
                  "empty:x:65537:nobody,nobody\n",
              g);
    EXPECT_EQ("", GrpckComplaints());
    std::string out;
    EXPECT_EQ(0, qtest::Exec({"/usr/bin/getent", "group", "staff"}, &out));
    EXPECT_EQ("staff:x:65536:nobody,alice,bob,nobody\n", out);
    EXPECT_EQ((std::vector<std::string>{"staff", "alice", "bob"}), Get("STAFF"));
    EXPECT_EQ(std::vector<std::string>{"empty"}, Get("empty"));

    // The index line is followed past taken gids and wraps at the top.
    WriteFile("/etc/group",
              "#$_@GID__INDEX@_$196607$\nx:x:196607:nobody,nobody\n"
              "y:x:65536:nobody,nobody\nz:x:65537:");
    ASSERT_EQ(1, Set(nullptr, {"w"}));
    EXPECT_EQ(
        "#$_@GID__INDEX@_$65539$\nx:x:196607:nobody,nobody\ny:x:65536:nobody,nobody\n"
        "z:x:65537:\nw:x:65538:nobody,nobody\n",
        ReadFile("/etc/group"));

    // Refusals: bad name, existing name (any case), no gid left.
    Accounts();
    ASSERT_EQ(1, Set(nullptr, {"staff"}));
    EXPECT_EQ(-1, Set(nullptr, {"Staff"}));
    EXPECT_EQ(ERR_GROUP_EXISTS, SLIBErrGet());
    EXPECT_EQ(-1, Set(nullptr, {"bad:name"}));
    EXPECT_EQ(ERR_BAD_GROUP_NAME, SLIBErrGet());
    EXPECT_EQ(-1, Set(nullptr, {"sixteen_chars_xx"}));
    EXPECT_EQ(ERR_BAD_GROUP_NAME, SLIBErrGet());
    EXPECT_EQ(-1, Set("nosuch", {"other"}));
    EXPECT_EQ(ERR_NO_SUCH_GROUP, SLIBErrGet());
}

TEST(GroupSet, NoGidLeftFails) {
    std::string g = kGroupBase;
    for (int gid = QAVO_GID_FIRST; gid <= QAVO_GID_LAST; ++gid)
        g += "g" + std::to_string(gid) + ":x:" + std::to_string(gid) + ":\n";
    Accounts(g);
    EXPECT_EQ(-1, Set(nullptr, {"late"}));
    EXPECT_EQ(ERR_NO_FREE_GID, SLIBErrGet());
    EXPECT_EQ(g, ReadFile("/etc/group"));
}

TEST(GroupGid, IndexLineIsTheOnlyLineRewritten) {
    // The index line's text also stands inside a group line, and the index
    // line goes on past a NUL byte: the index is one whole line.
    const std::string index = "#$_@GID__INDEX@_$65540$";
    const std::string rest =
        "users:x:100:nobody,nobody\nodd:x:70000:nobody," + index + ",nobody\n" + index + "\n";
    WriteFile("/etc/group", index + std::string("\0junk", 5) + "\n" + rest);
    EXPECT_EQ(65540, GROUPIGetFreeGid());
    EXPECT_EQ("#$_@GID__INDEX@_$65541$\n" + rest, ReadFile("/etc/group"));
    ASSERT_EQ(1, WINISetGidIndex(65600));
    EXPECT_EQ("#$_@GID__INDEX@_$65600$\n" + rest, ReadFile("/etc/group"));
    EXPECT_EQ(65600, GROUPIGetFreeGid());

    // No index line: one is put first.
    WriteFile("/etc/group", "users:x:100:nobody,nobody\n");
    EXPECT_EQ(65536, GROUPIGetFreeGid());
    EXPECT_EQ("#$_@GID__INDEX@_$65537$\nusers:x:100:nobody,nobody\n", ReadFile("/etc/group"));
}

TEST(GroupSet, RenameEditsWholeShareItemsAndSplitsLinkedGroups) {
    Accounts(std::string(kGroupBase) +
             "staff:x:65536:nobody,alice,nobody\n"
             "win:x:70000:nobody,bob,nobody:3:DOM\\Win:7\n");
    WriteFile("/usr/qavo/etc/smb.conf", kSmb);
    ASSERT_EQ(1, Set("staff", {"crew", "bob"}));
    EXPECT_EQ(
        "[global]\n"
        "\tworkgroup=WG\n"
        "[docs]\n"
        "\twrite list=nobody,@crew,@staffX,alice,nobody\n"
        "\tread list=nobody,@crew,nobody\n"
        "\tvalid users=nobody,@crew\n"
        "\tinvalid users=nobody,@other,@crew,nobody\n"
        "\tcomment=@staff room\n"
        "\tpath=/volume1/docs\n",
        ReadFile("/usr/qavo/etc/smb.conf"));
    EXPECT_FALSE(qtest::FileExists("/usr/qavo/etc/smb.conf.tmp"));
    EXPECT_EQ(0, qtest::Testparm("/usr/qavo/etc/smb.conf"));

    // A linked group keeps its extended line only under its own name; a new
    // name makes it local and the link moves to a line of its own.
    ASSERT_EQ(1, Set("WIN", {"win", "alice"}));
    ASSERT_EQ(1, Set("win", {"local"}));
    EXPECT_EQ("#$_@GID__INDEX@_$65538$\n" + std::string(kGroupBase) +
                  "crew:x:65536:nobody,bob,nobody\n"
                  "local:x:70000:nobody,nobody\n"
                  "DOM\\Win:x:65537:nobody,nobody:2:DOM\\Win:7\n",
              ReadFile("/etc/group"));
}

TEST(GroupSet, UsersGroupIsNeverRewritten) {
    Accounts();
    ASSERT_EQ(1, Set("users", {"users", "alice"}));
    EXPECT_EQ(kGroupBase, ReadFile("/etc/group"));
    // Its members are the users whose primary group it is; guest only while
    // guest access is supported.
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin() + 1, v.end());
        return v;
    };
    EXPECT_EQ((std::vector<std::string>{"users", "admin", "alice", "bob", "guest"}),
              sorted(Get("users")));
    WriteFile("/etc.defaults/qavoinfo.conf", "guestsupport=\"no\"\n");
    EXPECT_EQ((std::vector<std::string>{"users", "admin", "alice", "bob"}), sorted(Get("users")));
}

TEST(GroupGet, BufferSizes) {
    Accounts(std::string(kGroupBase) + "staff:x:65536:nobody,alice,nobody\n");
    int needed = 0;
    ASSERT_EQ(0, QAVOGroupGet(0, 1, "staff", nullptr, 0, &needed));
    const int want = static_cast<int>(3 * sizeof(char *)) + 6 + 6;
    EXPECT_EQ(want, needed);
    std::vector<char> exact(static_cast<size_t>(want));
    auto *buf = reinterpret_cast<QAVOGROUP *>(exact.data());
    EXPECT_EQ(0, QAVOGroupGet(0, 1, "staff", buf, want - 1, &needed));
    ASSERT_EQ(1, QAVOGroupGet(0, 1, "staff", buf, want, &needed));
    EXPECT_STREQ("staff", buf[0]);
    EXPECT_STREQ("alice", buf[1]);
    EXPECT_EQ(nullptr, buf[2]);
    EXPECT_EQ(exact.data() + want - 6, buf[0]);
    EXPECT_EQ(-1, QAVOGroupGet(1, 1, "nosuch", nullptr, 0, &needed));
    EXPECT_EQ(ERR_NO_SUCH_GROUP, SLIBErrGet());
    EXPECT_EQ(-1, QAVOGroupGet(1, 2, "staff", nullptr, 0, &needed));
    EXPECT_EQ(ERR_BAD_PARAMETERS, SLIBErrGet());
}

TEST(GroupDelete, LocalLinkedDomainAndDamagedLines) {
    const std::string before = std::string(kGroupBase) +
                               "staff:x:65536:nobody,alice,nobody\n"
                               "win:x:70000:nobody,bob,nobody:3:DOM\\Win:7\n"
                               "dom:x:3000:nobody,nobody\n"
                               "broken:x\n"
                               "odd:x:65540:nobody,nobody:1\n";
    Accounts(before);
    WriteFile("/usr/qavo/etc/smb.conf", kSmb);
    const char *names[] = {"staff", "WIN", "dom", "broken", "odd", "Staff"};
    EXPECT_EQ(2, QAVOGroupDelete(names, 6));
    EXPECT_EQ(std::string(kGroupBase) +
                  "DOM\\Win:x:70000:nobody,bob,nobody:2:DOM\\Win:7\n"
                  "dom:x:3000:nobody,nobody\n"
                  "broken:x\n"
                  "odd:x:65540:nobody,nobody:1\n",
              ReadFile("/etc/group"));
    EXPECT_TRUE(qtest::SyslogHas("Can't delete domain group"));
    EXPECT_EQ(
        "[global]\n"
        "\tworkgroup=WG\n"
        "[docs]\n"
        "\twrite list=nobody,@staffX,alice,nobody\n"
        "\tread list=nobody,nobody\n"
        "\tvalid users=nobody\n"
        "\tinvalid users=nobody,@other,nobody\n"
        "\tcomment=@staff room\n"
        "\tpath=/volume1/docs\n",
        ReadFile("/usr/qavo/etc/smb.conf"));
    EXPECT_EQ(0, qtest::Testparm("/usr/qavo/etc/smb.conf"));
    EXPECT_EQ(-1, QAVOGroupDelete(names, 0));
    EXPECT_EQ(ERR_BAD_PARAMETERS, SLIBErrGet());
}

TEST(GroupDelete, FailureLeavesBothFilesAlone) {
    const std::string group = std::string(kGroupBase) + "staff:x:65536:nobody,alice,nobody\n";
    for (const char *blocker : {"/usr/qavo/etc/smb.conf.tmp", "/usr/qavo/etc/smb.conf.prev.tmp"}) {
        Accounts(group);
        WriteFile("/usr/qavo/etc/smb.conf", kSmb);
        ASSERT_EQ(0, mkdir(blocker, 0755));
        WriteFile(std::string(blocker) + "/x", "");
        const char *names[] = {"staff"};
        EXPECT_EQ(-1, QAVOGroupDelete(names, 1)) << blocker;
        EXPECT_EQ(group, ReadFile("/etc/group")) << blocker;
        EXPECT_EQ(kSmb, ReadFile("/usr/qavo/etc/smb.conf")) << blocker;
        EXPECT_FALSE(qtest::FileExists("/etc/group.tmp"));
        qtest::Exec({"/bin/rm", "-rf", blocker});
    }
}

TEST(GroupEnum, FlagsChooseLocalGroups) {
    Accounts(std::string(kGroupBase) + "staff:x:65536:nobody,nobody\ncrew:x:65537:\n");
    int needed = 0;
    ASSERT_EQ(0, QAVOGroupEnum(0, 0, nullptr, 0, &needed));
    EXPECT_EQ(static_cast<int>(sizeof(char *)), needed);
    ASSERT_EQ(0, QAVOGroupEnum(1, 0, nullptr, 0, &needed));
    std::vector<char> mem(static_cast<size_t>(needed));
    auto *buf = reinterpret_cast<char **>(mem.data());
    EXPECT_EQ(-1, QAVOGroupEnum(1, 0, buf, needed - 1, &needed));
    EXPECT_EQ(ERR_BUF_TOO_SMALL, SLIBErrGet());
    ASSERT_EQ(3, QAVOGroupEnum(1, 0, buf, needed, &needed));
    std::vector<std::string> names(buf, buf + 3);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"crew", "staff", "users"}), names);
    EXPECT_EQ(nullptr, buf[3]);
    EXPECT_EQ(3, QAVOGroupTotalNum(1));
    EXPECT_EQ(-1, QAVOGroupTotalNum(4));
}

TEST(GroupSmmsp, MembersStayFramedByNobody) {
    struct Case {
        const char *line, *old, *add;
        int op;
        const char *expect;
    };
    const Case cases[] = {
        {"smmsp:x:25:", nullptr, "admin", QAVO_SMMSP_ADD, "smmsp:x:25:nobody,admin,nobody"},
        {"smmsp:x:25:nobody,nobody", nullptr, "rsync", QAVO_SMMSP_ADD,
         "smmsp:x:25:nobody,rsync,nobody"},
        {"smmsp:x:25:nobody,root,nobody", nullptr, "ROOT", QAVO_SMMSP_ADD,
         "smmsp:x:25:nobody,root,nobody"},
        {"smmsp:x:25:nobody,root,admin,nobody", "Admin", "rsync", QAVO_SMMSP_RENAME,
         "smmsp:x:25:nobody,root,rsync,nobody"},
        {"smmsp:x:25:nobody,root,admin,nobody", "root", nullptr, QAVO_SMMSP_REMOVE,
         "smmsp:x:25:nobody,admin,nobody"},
    };
    for (const Case &c : cases) {
        // The smmsp line last and without its newline.
        Accounts(std::string("root:x:0:\nusers:x:100:nobody,nobody\n") + c.line);
        ASSERT_EQ(0, QAVOSmmspGroupSet(c.old, c.add, c.op)) << c.line;
        EXPECT_EQ(std::string("root:x:0:\nusers:x:100:nobody,nobody\n") + c.expect + "\n",
                  ReadFile("/etc/group"))
            << c.line;
    }
    EXPECT_EQ(-1, QAVOSmmspGroupSet("ghost", "x", QAVO_SMMSP_RENAME));
    EXPECT_EQ(-1, QAVOSmmspGroupSet(nullptr, "x", QAVO_SMMSP_RENAME));
    EXPECT_EQ(-1, QAVOSmmspGroupSet(nullptr, "a,b", QAVO_SMMSP_ADD));
    Accounts("root:x:0:\n");
    EXPECT_EQ(-1, QAVOSmmspGroupSet(nullptr, "admin", QAVO_SMMSP_ADD));
}

TEST(GroupDesc, SetGetDelete) {
    Accounts();
    ASSERT_EQ(0, QAVOGroupSetDesc("staff", "Room 1: upstairs"));
    ASSERT_EQ(0, QAVOGroupSetDesc("crew", "deck"));
    ASSERT_EQ(0, QAVOGroupSetDesc("staff", "Room 2: downstairs"));
    const std::string file = ReadFile("/etc/group_desc");
    EXPECT_EQ(2u, std::count(file.begin(), file.end(), '\n'));
    int needed = 0;
    ASSERT_EQ(0, QAVOGroupGetDesc("STAFF", nullptr, 0, &needed));
    EXPECT_EQ(19, needed);
    std::vector<char> buf(static_cast<size_t>(needed));
    EXPECT_EQ(-1, QAVOGroupGetDesc("staff", buf.data(), needed - 1, &needed));
    EXPECT_EQ(ERR_BUF_TOO_SMALL, SLIBErrGet());
    ASSERT_EQ(1, QAVOGroupGetDesc("staff", buf.data(), needed, &needed));
    EXPECT_STREQ("Room 2: downstairs", buf.data());
    // Texts that would add lines are refused.
    EXPECT_EQ(-1, QAVOGroupSetDesc("staff", "one\nevil:injected"));
    EXPECT_EQ(ERR_BAD_PARAMETERS, SLIBErrGet());
    EXPECT_EQ(file, ReadFile("/etc/group_desc"));
    ASSERT_EQ(0, QAVOGroupSetDesc("staff", nullptr));
    EXPECT_EQ(-1, QAVOGroupGetDesc("staff", nullptr, 0, &needed));
    EXPECT_EQ(ERR_NOT_FOUND, SLIBErrGet());
    EXPECT_EQ(-1, QAVOGroupSetDesc("staff", nullptr));
}

TEST(GroupParse, CreateText) {
    const int want = static_cast<int>(4 * sizeof(char *)) + 6 + 2 + 1;
    EXPECT_EQ(-want, GROUPParseCreateParam("staff:a,", nullptr, 0));
    std::vector<char *> mem(static_cast<size_t>(want) / sizeof(char *) + 1);
    char **buf = mem.data();
    EXPECT_EQ(-want, GROUPParseCreateParam("staff:a,", buf, want - 1));
    ASSERT_EQ(1, GROUPParseCreateParam("staff:a,", buf, want));
    EXPECT_STREQ("staff", buf[0]);
    EXPECT_STREQ("a", buf[1]);
    EXPECT_STREQ("", buf[2]);
    EXPECT_EQ(nullptr, buf[3]);
    EXPECT_EQ(-1, GROUPParseCreateParam("nocolon", buf, want));
}

TEST(GroupDomain, MemberFile) {
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile(SZF_DOMAIN_GROUP_MEMBER,
              "DOM\\staff = \"DOM\\alice,,DOM\\pc$,DOM\\bob\"\nDOM\\empty = \"\"\n");
    EXPECT_EQ(1, QAVOIsDGroupMember("x", "DOM\\domain users"));
    EXPECT_EQ(1, QAVOIsDGroupMember("dom\\BOB", "DOM\\staff"));
    EXPECT_EQ(0, QAVOIsDGroupMember("DOM\\pc$", "DOM\\staff"));
    EXPECT_EQ(-1, QAVOIsDGroupMember("x", "DOM\\none"));
    EXPECT_EQ(ERR_NO_SUCH_GROUP, SLIBErrGet());
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    PSLIBSZHASH seen = PshSLIBSzHashAlloc(512);
    EXPECT_EQ(2, QAVOPushDGroupMember("DOM\\staff", &list, &seen));
    EXPECT_EQ(0, QAVOPushDGroupMember("DOM\\staff", &list, &seen));
    EXPECT_EQ((std::vector<std::string>{"DOM\\alice", "DOM\\bob"}), qtest::Items(list));
    SLIBSzListFree(list);
    SLIBSzHashFree(seen);
    qtest::RemoveFile(SZF_DOMAIN_GROUP_MEMBER);
    EXPECT_EQ(-1, QAVOIsDGroupMember("x", "DOM\\staff"));
    EXPECT_EQ(ERR_BAD_PARAMETERS, SLIBErrGet());
}

TEST(GroupDomain, GidOfADomainGroupFromWinbind) {
    WriteFile("/sim/wbinfo.conf",
              "group DOM\\staff S-1-5-21-1-2-3-1001 70001\n"
              "group DOM\\nogid S-1-5-21-1-2-3-1002 -\n");
    EXPECT_EQ(70001, QAVOConvertGpName2Gid("DOM\\staff"));
    EXPECT_EQ(-1, QAVOConvertGpName2Gid("DOM\\nogid"));
    EXPECT_EQ(-1, QAVOConvertGpName2Gid("DOM\\absent"));
    EXPECT_EQ(-1, QAVOConvertGpName2Gid(nullptr));
    PSLIBSZHASH gids = PshSLIBSzHashAlloc(512);
    ASSERT_GE(SLIBSzHashSetValue(&gids, "70001", ""), 0);
    EXPECT_EQ(1, QAVOIsDGRPMemByDC(gids, "DOM\\staff"));
    SLIBSzHashFree(gids);
    gids = PshSLIBSzHashAlloc(512);
    ASSERT_GE(SLIBSzHashSetValue(&gids, "7000", ""), 0);
    EXPECT_EQ(0, QAVOIsDGRPMemByDC(gids, "DOM\\staff"));
    SLIBSzHashFree(gids);
}

TEST(GroupDomain, MemberFileFromTheGroupDatabase) {
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\n");
    WriteFile("/etc/group", "users:x:100:nobody,nobody\nstaff:x:65536:alice,bob\nempty:x:65537:\n");
    ASSERT_EQ(0, QAVOMakeDGroupMember());
    EXPECT_EQ("users = \"nobody,nobody\"\nstaff = \"alice,bob\"\nempty = \"\"\n",
              ReadFile(SZF_DOMAIN_GROUP_MEMBER));
    // The domain group list: machine accounts left out, line ends cut.
    WriteFile(SZF_DOMAIN_GROUP, "DOM\\staff \nDOM\\pc$ \nDOM\\ops \n");
    PSLIBSZHASH h = PshSLIBSzHashAlloc(512);
    EXPECT_EQ(2, QAVOPushDGroup(&h));
    EXPECT_STREQ("DOM\\staff", SzSLIBSzHashGetValue(h, "DOM\\STAFF"));
    SLIBSzHashFree(h);
}

TEST(GroupDomain, ListLinesAreWholeNamesAsWinbindPrintsThem) {
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile("/etc/group", "users:x:100:nobody,nobody\n");
    // As the winbind listing writes it: one name and its line end a line;
    // a blank line, a CR line end and a last line without its end as well.
    WriteFile(SZF_DOMAIN_GROUP, "CORP\\staff\n\nCORP\\ops\r\nCORP\\sales");
    PSLIBSZHASH h = PshSLIBSzHashAlloc(512);
    EXPECT_EQ(3, QAVOPushDGroup(&h));
    EXPECT_EQ(3, SLIBSzHashCount(h));
    EXPECT_STREQ("CORP\\staff", SzSLIBSzHashGetValue(h, "CORP\\STAFF"));
    EXPECT_STREQ("CORP\\ops", SzSLIBSzHashGetValue(h, "CORP\\OPS"));
    EXPECT_STREQ("CORP\\sales", SzSLIBSzHashGetValue(h, "CORP\\SALES"));
    SLIBSzHashFree(h);
    EXPECT_EQ(3, QAVOGroupTotalNum(QAVO_GROUP_FLAG_DOMAIN));
}
