#include <gtest/gtest.h>
#include <pwd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_accfile.h"
#include "qavo_user.h"
#include "qavo_windomain.h"
#include "slib_errcode.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

using qtest::WriteFile;

namespace {

const char kWbinfo[] = "/usr/qavo/bin/wbinfo";

void Scenario(const std::string &lines) {
    WriteFile("/sim/wbinfo.conf", lines);
}

const char kCorp[] =
    "user  CORP\\alice  S-1-5-21-7-8-9-1104  10001       10513,10520\n"
    "user  CORP\\big    S-1-5-21-7-8-9-1105  1234567890  2147483647,1000012345,10513\n"
    "user  CORP\\root0  S-1-5-21-7-8-9-1106  0           0\n"
    "user  CORP\\nomap  S-1-5-21-7-8-9-1107  -           -\n"
    "user  CORP\\word   S-1-5-21-7-8-9-1108  12abc       12abc\n"
    "user  CORP\\huge   S-1-5-21-7-8-9-1109  2147483648  4294967295\n"
    "group CORP\\staff  S-1-5-21-7-8-9-2001  10520\n";

// The arguments of every wbinfo call since the last ClearCalls.
std::vector<std::vector<std::string>> WbinfoCalls() {
    std::vector<std::vector<std::string>> out;
    for (auto &c : qtest::Calls())
        if (!c.empty() && c[0] == kWbinfo) out.emplace_back(c.begin() + 1, c.end());
    return out;
}

std::vector<std::string> Keys(PSLIBSZHASH h) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(512);
    SLIBSzHashEnumKey(h, &l);
    std::vector<std::string> keys = qtest::Items(l);
    SLIBSzListFree(l);
    std::sort(keys.begin(), keys.end());
    return keys;
}

void SmbConf(const std::string &global) {
    WriteFile("/usr/qavo/etc/smb.conf", "[global]\n" + global + "[homes]\n\tsecurity=ads\n");
}

}  // namespace

TEST(DomainUser, SidUidAndGidFromWinbind) {
    Scenario(kCorp);
    char sid[64];
    ASSERT_EQ(QAVOGetDUserSid("CORP\\alice", sid, sizeof sid), 0);
    EXPECT_STREQ(sid, "S-1-5-21-7-8-9-1104");
    // Ids of ten digits come back whole.
    struct Case {
        const char *name;
        int uid, gid;
    } cases[] = {
        {"CORP\\alice", 10001, 10513}, {"corp\\BIG", 1234567890, 2147483647},
        {"CORP\\root0", -1, -1},   // id 0 is refused
        {"CORP\\nomap", -1, -1},   // no answer
        {"CORP\\word", -1, -1},    // no number
        {"CORP\\huge", -1, -1},    // beyond an int
        {"CORP\\nobody", -1, -1},  // unknown to winbind
    };
    for (const Case &c : cases) {
        EXPECT_EQ(QAVOGetDUserUid(c.name), c.uid) << c.name;
        EXPECT_EQ(QAVOGetDUserGid(c.name), c.gid) << c.name;
    }
    // The domain is left out of the name query, kept in the group query.
    qtest::ClearCalls();
    QAVOGetDUserUid("CORP\\alice");
    QAVOGetDUserGid("CORP\\alice");
    EXPECT_EQ(WbinfoCalls(), (std::vector<std::vector<std::string>>{
                                 {"-n", "alice"},
                                 {"-S", "S-1-5-21-7-8-9-1104"},
                                 {"-r", "CORP\\alice"},
                             }));
}

TEST(DomainUser, GidList) {
    Scenario(kCorp);
    PSLIBSZHASH h = PshSLIBSzHashAlloc(8192);
    ASSERT_EQ(QAVOGetDUserGidList("CORP\\big", &h), 0);
    ASSERT_EQ(QAVOGetDUserGidList("CORP\\alice", &h), 0);
    EXPECT_EQ(Keys(h), (std::vector<std::string>{"1000012345", "10513", "10520", "2147483647"}));
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "1000012345"), "1000012345");
    // A failing query is a failure, not an empty list.
    EXPECT_EQ(QAVOGetDUserGidList("CORP\\nomap", &h), -1);
    EXPECT_EQ(QAVOGetDUserGidList("CORP\\nobody", &h), -1);
    EXPECT_EQ(QAVOGetDUserGidList("nodomain", &h), -1);
    EXPECT_EQ(QAVOGetDUserGidList(nullptr, &h), -1);
    EXPECT_EQ(QAVOGetDUserGidList("CORP\\alice", nullptr), -1);
    SLIBSzHashFree(h);
}

TEST(DomainUser, NamesReachWinbindAsOneWordUntouched) {
    Scenario(kCorp);
    const std::vector<std::string> names = {"a$(touch /tmp/pwned)b",
                                            "a`touch /tmp/pwned`b",
                                            "a\"b'c d",
                                            "x;touch /tmp/pwned",
                                            "$HOME",
                                            "back\\slash"};
    char sid[64];
    for (const std::string &user : names) {
        const std::string name = "CORP\\" + user;
        qtest::ClearCalls();
        EXPECT_EQ(QAVOGetDUserSid(name.c_str(), sid, sizeof sid), -1);
        EXPECT_EQ(QAVOGetDUserGid(name.c_str()), -1);
        EXPECT_EQ(WbinfoCalls(),
                  (std::vector<std::vector<std::string>>{{"-n", user}, {"-r", name}}))
            << user;
    }
    EXPECT_FALSE(qtest::FileExists("/tmp/pwned"));
}

TEST(DomainUser, BadNames) {
    Scenario(kCorp);
    char sid[64];
    qtest::ClearCalls();
    qtest::ClearSyslog();
    for (const char *name : {"alice", "CORP\\", ""})
        EXPECT_EQ(QAVOGetDUserSid(name, sid, sizeof sid), -1) << name;
    EXPECT_EQ(QAVOGetDUserSid(nullptr, sid, sizeof sid), -1);
    EXPECT_EQ(QAVOGetDUserSid("CORP\\alice", nullptr, 64), -1);
    EXPECT_EQ(QAVOGetDUserUid(nullptr), -1);
    EXPECT_EQ(QAVOGetDUserGid(nullptr), -1);
    EXPECT_EQ(QAVOGetDUserGid("alice"), -1);
    EXPECT_EQ(QAVOGetDUserGid((std::string("CORP\\") + std::string(500, 'a')).c_str()), -1);
    EXPECT_TRUE(WbinfoCalls().empty());
    EXPECT_TRUE(qtest::SyslogHas("QAVOGetDUserSid(", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas(") bad parameter"));

    // A SID too long for the buffer is refused, never cut short.
    char small[8];
    EXPECT_EQ(QAVOGetDUserSid("CORP\\alice", small, sizeof small), -1);
    EXPECT_EQ(QAVOGetDUserSid("CORP\\staff", sid, sizeof sid), 0);  // groups have SIDs too
    EXPECT_STREQ(sid, "S-1-5-21-7-8-9-2001");
}

TEST(DomainUser, PasswdRecord) {
    Scenario(kCorp);
    struct passwd *pw = PpwGetDomainPwNam("CORP\\alice");
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(pw->pw_name, "CORP\\alice");
    EXPECT_STREQ(pw->pw_gecos, "CORP\\alice");
    EXPECT_EQ(pw->pw_passwd, nullptr);
    EXPECT_EQ(pw->pw_uid, 10001u);
    EXPECT_EQ(pw->pw_gid, 10513u);
    EXPECT_STREQ(pw->pw_dir, "/");
    EXPECT_STREQ(pw->pw_shell, "/bin/csh");

    pw = PpwGetDomainPwNam("CORP\\nomap");
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(pw->pw_uid, static_cast<uid_t>(-1));
    EXPECT_EQ(pw->pw_gid, static_cast<gid_t>(-1));

    qtest::ClearSyslog();
    EXPECT_EQ(PpwGetDomainPwNam(("CORP\\" + std::string(60, 'u')).c_str()), nullptr);
    EXPECT_TRUE(qtest::SyslogHas("SLIBUnicodeUTF8StrCountChar fail"));
    EXPECT_NE(PpwGetDomainPwNam(("CORP\\" + std::string(59, 'u')).c_str()), nullptr);
    EXPECT_EQ(PpwGetDomainPwNam(""), nullptr);
    EXPECT_EQ(PpwGetDomainPwNam(nullptr), nullptr);
}

TEST(DomainMode, SecurityModeOfSmbConf) {
    struct Case {
        const char *global;
        int result;
        const char *name;
        int isDomain;
    } cases[] = {
        {"\tsecurity=ads\n\trealm=CORP.EXAMPLE\n\tworkgroup=CORP\n", 0, "CORP.EXAMPLE", 1},
        {"\tsecurity=domain\n\trealm=*\n\tworkgroup=CORP\n", 0, "CORP", 1},
        {"\tsecurity=user\n\tworkgroup=HOME\n", 0, "HOME", 0},
        {"\tworkgroup=HOME\n", -1, "", 0},
        {"\tsecurity=ads\n\tworkgroup=CORP\n", -1, "", 0},
        {"\tsecurity=user\n", -1, "", 0},
    };
    for (const Case &c : cases) {
        SmbConf(c.global);
        char buf[64] = "unchanged";
        int isDomain = 7;
        ASSERT_EQ(WINIQuery1(buf, sizeof buf, &isDomain), c.result) << c.global;
        if (c.result == 0) {
            EXPECT_STREQ(buf, c.name);
            EXPECT_EQ(isDomain, c.isDomain);
        }
    }
    // A value longer than the buffer is cut and still ended.
    SmbConf("\tsecurity=user\n\tworkgroup=ABCDEFGH\n");
    char buf[4];
    int isDomain;
    ASSERT_EQ(WINIQuery1(buf, sizeof buf, &isDomain), 0);
    EXPECT_STREQ(buf, "ABC");
}

TEST(DomainMode, AccountKindAndPasswdByKind) {
    Scenario(kCorp);
    WriteFile("/etc/passwd", "admin:x:1024:100:Admin:/h:/bin/sh\n");
    WriteFile("/etc/shadow", "admin:$1$s$h:14000:0:99999:7:::\n", 0600);

    SmbConf("\tsecurity=user\n\tworkgroup=HOME\n");
    EXPECT_EQ(IsDomainUG("admin"), 1);
    EXPECT_EQ(IsDomainUG("CORP\\alice"), 1);  // outside a domain every name is local
    ASSERT_NE(PpwSLIBGetPwNam("admin"), nullptr);
    EXPECT_STREQ(PpwSLIBGetPwNam("admin")->pw_passwd, "$1$s$h");

    SmbConf("\tsecurity=ads\n\trealm=CORP.EXAMPLE\n");
    EXPECT_EQ(IsDomainUG("ADMIN"), 1);
    EXPECT_EQ(IsDomainUG("CORP\\alice"), 2);
    struct passwd *pw = PpwSLIBGetPwNam("CORP\\alice");
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(pw->pw_uid, 10001u);
    EXPECT_STREQ(PpwSLIBGetPwNam("admin")->pw_passwd, "$1$s$h");

    qtest::RemoveFile("/usr/qavo/etc/smb.conf");
    qtest::ClearSyslog();
    EXPECT_EQ(IsDomainUG("admin"), -1);
    EXPECT_TRUE(qtest::SyslogHas("IsDomainUG(", LOG_ERR));
    EXPECT_EQ(PpwSLIBGetPwNam("admin"), nullptr);
    SLIBErrSet(0);
    EXPECT_EQ(PpwSLIBGetPwNam(nullptr), nullptr);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}
