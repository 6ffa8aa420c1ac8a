#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_userenum.h"
#include "qavo_windomain.h"
#include "slib_errcode.h"

using qtest::WriteFile;

namespace {

using Names = std::vector<std::string>;

const Names kLocal = {"admin", "guest", "alice", "bob"};

// Local users alice and bob beside the system accounts; domain CORP with
// dave (listed twice, once with a CR line end), erin, frank (last line
// without its end), a machine account and the groups staff (dave, gina) and
// "domain users".
void Appliance(const std::string &writeLists) {
    WriteFile("/etc/passwd",
              "root:x:0:0:root:/root:/bin/sh\n"
              "nobody:x:99:99:nobody:/nonexist:/bin/sh\n"
              "admin:x:1024:100::/:/bin/sh\n"
              "guest:x:1025:100::/:/bin/csh\n"
              "alice:x:1030:100::/:/bin/csh\n"
              "bob:x:1031:100::/:/bin/csh\n");
    WriteFile("/etc/qavoinfo.conf", "domainjoined=\"yes\"\n");
    WriteFile("/etc.defaults/qavoinfo.conf", "");
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile(SZF_WIN_DOMAIN_USER,
              "CORP\\dave\r\nCORP\\erin \nHOST1$\nCORP\\dave\nCORP\\gina\nCORP\\frank");
    WriteFile(SZF_WIN_DOMAIN_GROUP, "CORP\\staff\nCORP\\domain users\n");
    WriteFile(SZF_WIN_DOMAIN_GROUP_MEMBER,
              "CORP\\staff=CORP\\dave,CORP\\gina\n"
              "CORP\\domain users=CORP\\dave,CORP\\erin,CORP\\gina,CORP\\frank\n");
    WriteFile("/usr/qavo/etc/smb.conf",
              "[global]\n\tworkgroup=CORP\n\tsecurity=domain\n" + writeLists);
}

Names Enum(uint32_t flags) {
    int needed = 0;
    EXPECT_EQ(QAVOUserEnum(flags, nullptr, 0, &needed), 0);
    // A block of exactly the size asked: an overrun is caught.
    char **buf = static_cast<char **>(malloc(static_cast<size_t>(needed)));
    int n = QAVOUserEnum(flags, buf, needed, &needed);
    Names names;
    for (int i = 0; i < n; ++i)
        names.emplace_back(buf[i]);
    if (n >= 0) {
        EXPECT_EQ(buf[n], nullptr);
    }
    free(buf);
    return names;
}

Names Concat(Names a, const Names &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(UserEnum, FlagsChooseLocalAndDomainUsers) {
    Appliance(
        "[docs]\n\tpath=/volume1/docs\n\twrite list=CORP\\erin,alice,CORP\\erin,@CORP\\staff\n"
        "\tguest ok=no\n\twriteable=no\n"
        "[media]\n\tpath=/volume1/media\n\twrite list=CORP\\gina,CORP\\nobody,@CORP\\none\n"
        "\tguest ok=no\n\twriteable=no\n");
    const Names all = {"CORP\\dave", "CORP\\erin", "CORP\\gina", "CORP\\frank"};
    const Names used = {"CORP\\erin", "CORP\\dave", "CORP\\gina"};
    struct Case {
        uint32_t flags;
        Names want;
    };
    const Case cases[] = {
        {0, Concat(kLocal, all)},
        {0x1, kLocal},
        {0x10, all},
        {0x20, used},
        {0x30, all},
        {0x11, Concat(kLocal, all)},
        {0x21, Concat(kLocal, used)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(Enum(c.flags), c.want);
    }
    // Not joined: the domain lists are not read at all.
    WriteFile("/etc/qavoinfo.conf", "domainjoined=\"no\"\n");
    EXPECT_EQ(Enum(0), kLocal);
    EXPECT_EQ(Enum(0x20), Names{});
}

TEST(UserEnum, GroupOfAllDomainUsersMakesEveryoneUsed) {
    Appliance(
        "[docs]\n\tpath=/volume1/docs\n\twrite list=CORP\\erin,@CORP\\domain users\n"
        "\tguest ok=no\n\twriteable=no\n");
    EXPECT_EQ(Enum(0x20), (Names{"CORP\\erin", "CORP\\dave", "CORP\\gina", "CORP\\frank"}));
}

TEST(UserEnum, CountsAndErrors) {
    Appliance("");
    EXPECT_EQ(QAVOUserTotalNum(2), 0);
    EXPECT_EQ(QAVOUserTotalNum(4), 0);
    EXPECT_EQ(QAVOUserTotalNum(7), 4);  // local users only
    EXPECT_EQ(QAVOUserTotalNum(0), 8);
    EXPECT_EQ(QAVOUserTotalNum(0x8), -1);
    EXPECT_EQ(QAVOUserTotalNum(0x10), -1);  // counting takes 0, or the local bits

    // A domain list that cannot be had fails the count and the listing.
    // A missing list is asked for; wbinfo failing leaves none.
    qtest::RemoveFile(SZF_WIN_DOMAIN_USER);
    WriteFile("/sim/wbinfo.conf", "user CORP\\henk S-1-5-21-1-2-3-1107 20007 20000\n");
    EXPECT_EQ(QAVOUserTotalNum(0), 5);
    qtest::RemoveFile(SZF_WIN_DOMAIN_USER);
    WriteFile("/sim/domain.conf", "fail wbinfo-u 1 no domain controller\n");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOUserTotalNum(0), -1);
    int needed = 0;
    EXPECT_EQ(QAVOUserEnum(0x10, nullptr, 0, &needed), -1);
    EXPECT_EQ(QAVOUserTotalNum(1), 4);

    // Root and admin only, with guest support: a damaged passwd file.
    WriteFile("/etc/passwd", "root:x:0:0::/:/bin/sh\nadmin:x:1024:100::/:/bin/sh\n");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOUserEnum(1, nullptr, 0, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_SYSTEM_CALL);
    WriteFile("/etc.defaults/qavoinfo.conf", "guestsupport=\"no\"\n");
    EXPECT_EQ(QAVOUserEnum(1, nullptr, 0, &needed), 0);
    EXPECT_EQ(needed, static_cast<int>(2 * sizeof(char *) + 6));  // admin
}

TEST(UserEnum, BufferSizes) {
    Appliance("");
    WriteFile("/etc/qavoinfo.conf", "");
    int needed = 0;
    ASSERT_EQ(QAVOUserEnum(1, nullptr, 0, &needed), 0);
    // admin, guest, alice, bob: a pointer each, the closing one, the names.
    EXPECT_EQ(needed, static_cast<int>(5 * sizeof(char *) + 6 + 6 + 6 + 4));
    char **shortBuf = static_cast<char **>(malloc(static_cast<size_t>(needed - 1)));
    SLIBErrSet(0);
    EXPECT_EQ(QAVOUserEnum(1, shortBuf, needed - 1, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    free(shortBuf);
    EXPECT_EQ(Enum(1), kLocal);

    char *small[1];
    const struct {
        uint32_t flags;
        char **buf;
        int size;
        int *needed;
    } bad[] = {{0x2, nullptr, 0, &needed},
               {0x1, nullptr, 0, nullptr},
               {0x1, small, 3, &needed},
               {0x1, nullptr, 8, &needed},
               {0x1, small, 0, &needed}};
    for (const auto &b : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOUserEnum(b.flags, b.buf, b.size, b.needed), -1);
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
}

TEST(UserEnum, DomainNameEndsAtANulByte) {
    Appliance("");
    // A name is the text before a NUL byte: the same name twice is one user.
    const char list[] = "CORP\\dave\nCORP\\dave\0junk\nCORP\\erin \0x\n";
    WriteFile(SZF_WIN_DOMAIN_USER, std::string(list, sizeof list - 1));
    EXPECT_EQ(Enum(0x10), (Names{"CORP\\dave", "CORP\\erin"}));
    EXPECT_EQ(QAVOUserTotalNum(0), 6);
}
