#include <crypt.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_crypt.h"
#include "qavo_group.h"
#include "qavo_netbkp.h"
#include "qavo_user.h"
#include "qavo_userenum.h"
#include "samba_check.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "slib_errcode.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

namespace {

const char kHash[] = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
const char kNt[] = "0CB6948805F797BF2A82807973B89537";
const char kLm[] = "01FC5A6BE7BC6929AAD3B435B51404EE";

const char kPasswd[] =
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
    "guest:x:1025:100:Guest:/nonexist:/bin/csh\n"
    "ftp:x:1026:100:File transfer:/var/services/homes/ftp:/bin/csh\n"
    "alice:x:1027:100::/:/bin/csh\n"
    "nobody:x:99:99:nobody:/nonexist:/bin/sh\n";
std::string Shadow() {
    std::string s;
    for (const char *n : {"root", "admin", "guest", "ftp", "alice", "nobody"})
        s += std::string(n) + ":" + kHash + ":14000:0:99999:7:::\n";
    return s;
}
std::string Smbpasswd() {
    std::string s;
    int uid = 1024;
    for (const char *n : {"admin", "guest", "ftp", "alice"})
        s += std::string(n) + ":" + std::to_string(uid++) + ":" + kLm + ":" + kNt +
             ":[U          ]:LCT-4A5B6C7D:\n";
    return s;
}
const char kGroup[] =
    "root:x:0:\n"
    "smmsp:x:25:nobody,admin,nobody\n"
    "users:x:100:nobody,nobody\n"
    "administrators:x:101:nobody,admin,nobody\n"
    "staff:x:65536:nobody,FTP,alice,nobody\n"
    "nobody:x:99:\n";
const char kSmb[] =
    "[global]\n"
    "\tworkgroup=WG\n"
    "[docs]\n"
    "\tcomment=ftp share\n"
    "\twrite list=nobody,ftp,@ftp,ftpx,nobody\n"
    "\tread list=nobody,Ftp,nobody\n"
    "\tvalid users=nobody,alice,ftp\n"
    "\tinvalid users=nobody,nobody\n"
    "\tpath=/volume1/docs";
const char kMail[] = "admin=\"admin@example.org\"\nftp=\"ftp@example.org\"\n";
const char kHtpasswd[] =
    "administrator:$1$zz$notadminnotadminnotadm.\nadmin:$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60\n";

// Every file the transaction may touch, and its content.
const std::vector<std::string> kFiles = {"/etc/passwd", "/etc/shadow", SZF_SMBPASSWD,
                                         "/etc/group",  SZF_SMBCONF,   "/etc/mail",
                                         SZF_HTPASSWD,  SZF_AFPD_CONF, QAVO_NETBKP_SECRETS};

void Accounts() {
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile("/etc/passwd", kPasswd);
    WriteFile("/etc/shadow", Shadow(), 0600);
    WriteFile(SZF_SMBPASSWD, Smbpasswd(), 0600);
    WriteFile("/etc/group", kGroup);
    WriteFile(SZF_SMBCONF, kSmb);
    WriteFile("/etc/mail", kMail);
    WriteFile(SZF_HTPASSWD, kHtpasswd);
    WriteFile(SZF_AFPD_CONF, "- -transall -uamlist uams_noguest.so,uams_clrtxt.so\n");
    WriteFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
    WriteFile("/etc/qavoinfo.conf", "codepage=\"437\"\n");
    WriteFile("/etc.defaults/qavoinfo.conf", "maxaccounts=\"500\"\n");
    WriteFile(QAVO_NETBKP_RSYNCD_CONF, "[NetBackup]\npath = /volume1/NetBackup\n");
    qtest::RemoveFile(QAVO_NETBKP_SECRETS);
}

// The backup server's secret of an account: the crypt of the password with
// the server's salt, '|', and the password enciphered in its stored form.
std::string BackupSecret(const std::string &password) {
    char crypted[64] = {}, hex[256] = {};
    EXPECT_EQ(0, QAVONetBkpCryptPass(password.c_str(), crypted, sizeof crypted));
    EXPECT_EQ(0, QAVOStrCryptHex(password.c_str(), hex, sizeof hex));
    return std::string(crypted) + "|" + hex;
}

std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> m;
    for (const std::string &f : kFiles)
        m[f] = FileExists(f) ? ReadFile(f) : "<missing>";
    return m;
}

// Temporary and previous-version files left beside the account files.
std::vector<std::string> Leftovers() {
    std::vector<std::string> left;
    for (const std::string &f : kFiles)
        for (const char *suffix : {".tmp", ".prev.tmp"})
            if (FileExists(f + suffix)) left.push_back(f + suffix);
    return left;
}

struct Rec {
    std::string oldName, name, password;
    const char *desc = nullptr;
    const char *mail = nullptr;
    int expiry = 0;
};

// Runs one batch; the failure list is returned through failed.
int Apply(std::vector<Rec> recs, std::vector<std::string> *failed = nullptr) {
    std::vector<QAVOUSERSET> set;
    for (Rec &r : recs)
        set.push_back({1, r.oldName.data(), r.name.data(), r.password.data(),
                       const_cast<char *>(r.desc), r.expiry, const_cast<char *>(r.mail)});
    PSLIBSZLIST list = PslSLIBSzListAlloc(1024);
    int res = QAVOUserSetLocal(set.data(), static_cast<int>(set.size()), &list);
    if (failed) *failed = qtest::Items(list);
    SLIBSzListFree(list);
    return res;
}

std::string Shell(const std::string &cmd) {
    std::string out;
    qtest::Exec({"/bin/sh", "-c", cmd + " 2>&1"}, &out);
    return out;
}

// grpck's complaints, less those about the gid index line.
std::string Grpck() {
    std::string kept, line;
    std::istringstream in(Shell("/usr/sbin/grpck -r /etc/group"));
    while (std::getline(in, line))
        if (line.find("GID__INDEX") == std::string::npos && line != "invalid group file entry" &&
            line != "grpck: no changes")
            kept += line + "\n";
    return kept;
}

// The users and hashes of the SMB password file as Samba's password
// database reads them, and as the file itself holds them: "name LM NT" lines.
std::string SambaUsers() {
    return Shell("python3 " + qtest::SourceDir() + "/tests/accounts/tools/smbpasswd_list.py " +
                 SZF_SMBCONF + " " + SZF_SMBPASSWD);
}
std::string FileUsers() {
    std::istringstream in(ReadFile(SZF_SMBPASSWD));
    std::vector<std::string> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, ':'))
            f.push_back(field);
        if (f.size() < 4) continue;
        rows.push_back(f[0] + " " + (f[2][0] == 'X' ? "-" : f[2]) + " " + f[3] + "\n");
    }
    std::sort(rows.begin(), rows.end());
    std::string out;
    for (const std::string &r : rows)
        out += r;
    return out;
}

long Today() {
    return static_cast<long>(time(nullptr) / 86400);
}

}  // namespace

TEST(UserSet, RenameKeepsEveryOtherByte) {
    Accounts();
    ASSERT_EQ(0, Apply({{"ftp", "ftp1", kHash}}));
    std::string passwd = kPasswd;
    passwd.replace(passwd.find("ftp:x:1026:100:File transfer:"), 29, "ftp1:x:1026:100::");
    EXPECT_EQ(passwd, ReadFile("/etc/passwd"));
    std::string shadow = Shadow();
    const std::string oldLine = std::string("ftp:") + kHash + ":14000:";
    shadow.replace(shadow.find(oldLine), oldLine.size(),
                   std::string("ftp1:") + kHash + ":" + std::to_string(Today()) + ":");
    EXPECT_EQ(shadow, ReadFile("/etc/shadow"));
    // The stored hashes stay; only the last-change stamp is renewed.
    std::string smb = ReadFile(SZF_SMBPASSWD), want = Smbpasswd();
    const size_t at = want.find("ftp:1026:");
    const std::string head = std::string("ftp1:1026:") + kLm + ":" + kNt + ":[U          ]:LCT-";
    ASSERT_EQ(head, smb.substr(at, head.size()));
    EXPECT_EQ(want.substr(0, at), smb.substr(0, at));
    EXPECT_EQ(want.substr(want.find("alice:")), smb.substr(smb.find("alice:")));
    EXPECT_EQ(
        "root:x:0:\n"
        "smmsp:x:25:nobody,admin,nobody\n"
        "users:x:100:nobody,nobody\n"
        "administrators:x:101:nobody,admin,nobody\n"
        "staff:x:65536:nobody,ftp1,alice,nobody\n"
        "nobody:x:99:\n",
        ReadFile("/etc/group"));
    EXPECT_EQ(
        "[global]\n"
        "\tworkgroup=WG\n"
        "[docs]\n"
        "\tcomment=ftp share\n"
        "\twrite list=nobody,ftp1,@ftp,ftpx,nobody\n"
        "\tread list=nobody,ftp1,nobody\n"
        "\tvalid users=nobody,alice,ftp1\n"
        "\tinvalid users=nobody,nobody\n"
        "\tpath=/volume1/docs",
        ReadFile(SZF_SMBCONF));
    EXPECT_EQ("admin=\"admin@example.org\"\n", ReadFile("/etc/mail"));
    EXPECT_EQ(kHtpasswd, ReadFile(SZF_HTPASSWD));
    EXPECT_TRUE(Leftovers().empty());

    // What the platform's own readers make of it.
    EXPECT_EQ("", Shell("/usr/sbin/pwck -r -q /etc/passwd /etc/shadow"));
    EXPECT_EQ("", Grpck());
    EXPECT_EQ("uid=1026(ftp1) gid=100(users) groups=100(users),65536(staff)\n", Shell("id ftp1"));
    EXPECT_EQ("", Shell("getent passwd ftp"));
    EXPECT_EQ(FileUsers(), SambaUsers());
    EXPECT_NE(std::string::npos, SambaUsers().find("ftp1 "));
    EXPECT_EQ(0, qtest::Testparm(SZF_SMBCONF));
}

TEST(UserSet, AddsAndChangesWithTheirSideFiles) {
    Accounts();
    WriteFile("/etc/curUID.conf", "UID=2048\n");
    // Two new users: the uid counter wraps at 2048 and skips taken uids.
    ASSERT_EQ(0, Apply({{"", "bob", "pw-bob", "Desk: 4; floor 2", "bob@example.org", 20000},
                        {"", "carol", "pw-carol"}}));
    std::string passwd = ReadFile("/etc/passwd");
    std::set<std::string> added;
    for (const char *l :
         {"bob:x:1028:100:Desk;, 4;; floor 2:/:/bin/csh\n", "carol:x:1029:100::/:/bin/csh\n",
          "bob:x:1029:100:Desk;, 4;; floor 2:/:/bin/csh\n", "carol:x:1028:100::/:/bin/csh\n"})
        if (passwd.find(l) != std::string::npos) added.insert(l);
    EXPECT_EQ(2u, added.size()) << passwd;
    EXPECT_EQ(0u, passwd.find(kPasswd));
    EXPECT_EQ("", Shell("/usr/sbin/pwck -r -q /etc/passwd /etc/shadow"));
    EXPECT_EQ("bob:x:" + Shell("id -u bob").substr(0, 4) + ":100:Desk;, 4;; floor 2:/:/bin/csh\n",
              Shell("getent passwd bob"));
    EXPECT_NE(std::string::npos, ReadFile("/etc/shadow").find(":20000:\n"));
    EXPECT_EQ(std::string(kMail) + "bob=\"bob@example.org\"\n", ReadFile("/etc/mail"));
    const std::string smb = ReadFile(SZF_SMBPASSWD);
    EXPECT_NE(std::string::npos, smb.find("bob:" + Shell("id -u bob").substr(0, 4) + ":"));
    EXPECT_EQ(0u, smb.find(Smbpasswd()));
    EXPECT_EQ(FileUsers(), SambaUsers());
    // The user database reads its own result back.
    EXPECT_EQ(6, QAVOUserTotalNum(7));

    // admin's new password reaches the web password file, and only admin's line.
    ASSERT_EQ(0, Apply({{"admin", "admin", "n3w-secret"}, {"Alice", "alice", kHash, "Ms A"}}));
    EXPECT_EQ(0, qtest::Exec({"/usr/bin/htpasswd", "-vb", SZF_HTPASSWD, "admin", "n3w-secret"}));
    EXPECT_EQ(
        0u, ReadFile(SZF_HTPASSWD).find("administrator:$1$zz$notadminnotadminnotadm.\nadmin:$1$"));
    EXPECT_NE(std::string::npos,
              ReadFile("/etc/passwd").find("\nalice:x:1027:100:Ms A:/:/bin/csh\n"));

    // guest given an empty password turns AFP guest login on; a password turns it off.
    ASSERT_EQ(0, Apply({{"guest", "guest", ""}}));
    EXPECT_EQ("- -transall -uamlist uams_guest.so,uams_clrtxt.so\n", ReadFile(SZF_AFPD_CONF));
    ASSERT_EQ(0, Apply({{"guest", "guest", "g"}}));
    EXPECT_EQ("- -transall -uamlist uams_noguest.so,uams_clrtxt.so\n", ReadFile(SZF_AFPD_CONF));

    // A network-backup account joins group smmsp; renaming it away leaves.
    ASSERT_EQ(0, Apply({{"", "rsync", "r"}}));
    EXPECT_NE(std::string::npos,
              ReadFile("/etc/group").find("smmsp:x:25:nobody,admin,rsync,nobody\n"));
    EXPECT_NE(std::string::npos, ReadFile("/etc/passwd").find(":/:/bin/sh\n"));
    EXPECT_EQ("root:" + BackupSecret("n3w-secret") + "\nrsync:" + BackupSecret("r") + "\n",
              ReadFile(QAVO_NETBKP_SECRETS));
    ASSERT_EQ(0, Apply({{"rsync", "mirror", "r"}}));
    EXPECT_EQ("root:" + BackupSecret("n3w-secret") + "\n", ReadFile(QAVO_NETBKP_SECRETS));
    EXPECT_NE(std::string::npos, ReadFile("/etc/group").find("smmsp:x:25:nobody,admin,nobody\n"));
    // Only the fixture's own member in the wrong case is not a user.
    EXPECT_EQ("group staff: no user FTP\ndelete member 'FTP'? No\n", Grpck());
    EXPECT_TRUE(Leftovers().empty());
}

TEST(UserSet, RefusalsLeaveEveryFileAlone) {
    struct Case {
        const char *what;
        std::vector<Rec> recs;
        int result;
        SLIBERRCODE code;
        std::vector<std::string> failed;
    };
    const std::vector<Case> cases = {
        {"bad name first", {{"", "-x", "p"}, {"", "alice", "p"}}, -2, ERR_BAD_USER, {"-x"}},
        {"existing name first",
         {{"", "ALICE", "p"}, {"", "-x", "p"}},
         -3,
         ERR_USER_EXISTS,
         {"ALICE"}},
        {"no such user", {{"ghost", "ghost2", "p"}}, -4, ERR_NO_SUCH_USER, {"ghost"}},
        {"renamed onto an added name",
         {{"alice", "bob", "p"}, {"", "BOB", "p"}},
         -5,
         ERR_NAME_CLASH,
         {"ALICE"}},
        {"two renamed onto one name",
         {{"alice", "zed", "p"}, {"ftp", "Zed", "p"}},
         -5,
         ERR_NAME_CLASH,
         {"ALICE", "FTP"}},
        {"duplicate new users", {{"", "dan", "p"}, {"", "DAN", "p"}}, -1, ERR_BAD_USER, {}},
        {"nobody to set", {{"", "", "p"}}, -1, 0, {}},
        {"line break in a description",
         {{"", "dan", "p", "x\nroot2:x:0:0::/:/bin/sh"}},
         -1,
         ERR_BAD_PARAMETERS,
         {}},
        {"quote in a mail address",
         {{"", "dan", "p", nullptr, "a\"@b\nroot=\"x"}},
         -1,
         ERR_BAD_PARAMETERS,
         {}},
        // The account readers could no longer find such a user's line.
        {"description that is not UTF-8",
         {{"alice", "alice", "p", "\x8d\x90\x92\x97one"}},
         -1,
         ERR_BAD_PARAMETERS,
         {}},
        // The file server would read "dan smith" in a share list as two users.
        {"blank in a new user's name", {{"", "dan smith", "p"}}, -2, ERR_BAD_USER, {"dan smith"}},
        {"blank in a new name", {{"alice", "alice smith", "p"}}, -2, ERR_BAD_USER, {"alice smith"}},
        {"mail address that is not UTF-8",
         {{"", "dan", "p", nullptr, "d\xf2@example.org"}},
         -1,
         ERR_BAD_PARAMETERS,
         {}},
    };
    for (const Case &c : cases) {
        Accounts();
        const auto before = Snapshot();
        std::vector<std::string> failed;
        SLIBErrSet(0);
        EXPECT_EQ(c.result, Apply(c.recs, &failed)) << c.what;
        if (c.code) {
            EXPECT_EQ(c.code, SLIBErrGet()) << c.what;
        }
        if (c.result != -1) {
            std::sort(failed.begin(), failed.end());
            EXPECT_EQ(c.failed, failed) << c.what;
        }
        EXPECT_EQ(before, Snapshot()) << c.what;
        EXPECT_TRUE(Leftovers().empty()) << c.what;
    }
    // A user whose name has a blank already keeps it through a change.
    Accounts();
    WriteFile("/etc/passwd", std::string(kPasswd) + "old timer:x:1028:100::/:/bin/csh\n");
    WriteFile("/etc/shadow", Shadow() + "old timer:" + kHash + ":14000:0:99999:7:::\n", 0600);
    WriteFile(SZF_SMBPASSWD,
              Smbpasswd() + "old timer:1028:" + kLm + ":" + kNt + ":[U          ]:LCT-4A5B6C7D:\n",
              0600);
    EXPECT_EQ(0, Apply({{"old timer", "Old Timer", "n3w"}}));
    EXPECT_EQ(std::string(kPasswd) + "Old Timer:x:1028:100::/:/bin/csh\n", ReadFile("/etc/passwd"));
    // A record without a password.
    Accounts();
    char name[] = "dan", empty[] = "";
    QAVOUSERSET rec = {1, empty, name, nullptr, nullptr, 0, nullptr};
    EXPECT_EQ(-1, QAVOUserSet(1, &rec, 1));
    EXPECT_EQ(ERR_BAD_PARAMETERS, SLIBErrGet());
}

TEST(UserSet, AccountLimitCountsAdditionsOnly) {
    Accounts();
    // Local users: admin, guest, ftp, alice.
    WriteFile("/etc.defaults/qavoinfo.conf", "maxaccounts=\"4\"\n");
    const auto before = Snapshot();
    EXPECT_EQ(-6, Apply({{"", "dan", "p"}}));
    EXPECT_EQ(ERR_NO_FREE_UID, SLIBErrGet());
    EXPECT_EQ(before, Snapshot());
    WriteFile("/etc.defaults/qavoinfo.conf", "maxaccounts=\"3\"\n");
    EXPECT_EQ(0, Apply({{"alice", "alice", "new"}}));
    char oldName[] = "", name[] = "dan", pw[] = "p";
    QAVOUSERSET rec = {1, oldName, name, pw, nullptr, 0, nullptr};
    WriteFile("/etc.defaults/qavoinfo.conf", "maxaccounts=\"5\"\nsupport_download=\"no\"\n");
    EXPECT_EQ(1, QAVOUserSet(1, &rec, 1));
}

TEST(UserSet, StaleEntriesOfANameNeverOutliveItsNewUser) {
    Accounts();
    // Shadow and SMB lines of accounts that are gone, named (in some letter
    // case) like a user added and like the new name of a renamed one.
    const char *const kStale = "$1$zz$notadminnotadminnotadm.";
    WriteFile("/etc/shadow",
              std::string("Dan:") + kStale + ":14000:0:99999:7:::\n" + Shadow() + "eve:" + kStale +
                  ":14000:0:99999:7:::\n",
              0600);
    WriteFile(SZF_SMBPASSWD,
              std::string("dan:1099:") + kLm + ":" + kNt + ":[U          ]:LCT-4A5B6C7D:\n" +
                  Smbpasswd() + "EVE:1098:" + kLm + ":" + kNt + ":[U          ]:LCT-4A5B6C7D:\n",
              0600);
    ASSERT_EQ(0, Apply({{"", "dan", "pw-dan"}, {"alice", "eve", "pw-eve"}}));

    for (const char *name : {"dan", "eve"}) {
        SCOPED_TRACE(name);
        const std::string user = std::string(name) + ":";
        std::string shadow, smb;
        for (const std::string &l : qtest::Lines(ReadFile("/etc/shadow")))
            if (strncasecmp(l.c_str(), user.c_str(), user.size()) == 0) shadow += l + "\n";
        for (const std::string &l : qtest::Lines(ReadFile(SZF_SMBPASSWD)))
            if (strncasecmp(l.c_str(), user.c_str(), user.size()) == 0) smb += l + "\n";
        // One line each, and the new password is the one that counts.
        EXPECT_EQ(1, std::count(shadow.begin(), shadow.end(), '\n')) << shadow;
        EXPECT_EQ(std::string::npos, shadow.find(kStale));
        EXPECT_EQ(1, std::count(smb.begin(), smb.end(), '\n')) << smb;
        EXPECT_EQ(std::string::npos, smb.find(kNt));
        int needed = 0;
        ASSERT_EQ(0, QAVOUserGet(1, 1, name, nullptr, 0, &needed));
        std::vector<char> buf(static_cast<size_t>(needed));
        auto *rec = reinterpret_cast<QAVOUSER *>(buf.data());
        ASSERT_EQ(1, QAVOUserGet(1, 1, name, rec, needed, &needed));
        const std::string password = std::string("pw-") + name;
        EXPECT_STREQ(rec->password, crypt(password.c_str(), rec->password));
    }
    EXPECT_EQ("", Shell("/usr/sbin/pwck -r -q /etc/passwd /etc/shadow"));
    EXPECT_EQ(FileUsers(), SambaUsers());
}

// QAVOUserSet appends the new users of a batch, and gives out their uids,
// in the enumeration order of the hash of their upper-cased names, whatever
// the order of the records; passwd, shadow and smbpasswd list them alike.
TEST(UserSet, NewUsersOfABatchComeInTheOrderOfTheirHash) {
    const std::vector<std::string> names = {"bob", "carol", "dave", "erin"};
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(1024);
    ASSERT_NE(nullptr, hash);
    for (const std::string &n : names)
        ASSERT_LE(0, SDKIUserHashSet(&hash, n.c_str(), ""));
    PSLIBSZLIST keys = PslSLIBSzListAlloc(1024);
    ASSERT_EQ(4, SLIBSzHashEnumKey(hash, &keys));
    std::vector<std::string> order;
    for (const std::string &k : qtest::Items(keys)) {
        std::string lower = k;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        order.push_back(lower);
    }
    SLIBSzListFree(keys);
    SLIBSzHashFree(hash);
    ASSERT_NE(names, order);  // else the records' order would pass as well

    std::string passwd = kPasswd, shadow, smb;
    int uid = 1028;  // the first free one after admin, guest, ftp and alice
    for (const std::string &n : order) {
        passwd += n + ":x:" + std::to_string(uid) + ":100::/:/bin/csh\n";
        shadow += n + ":\n";
        smb += n + ":" + std::to_string(uid++) + ":\n";
    }
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed);
        Accounts();
        qtest::RemoveFile("/etc/curUID.conf");
        std::vector<std::string> recNames = names, pws(names.size(), "pw");
        if (reversed) std::reverse(recNames.begin(), recNames.end());
        std::vector<QAVOUSERSET> recs;
        for (size_t i = 0; i < names.size(); ++i)
            recs.push_back({1, nullptr, recNames[i].data(), pws[i].data(), nullptr, 0, nullptr});
        ASSERT_EQ(4, QAVOUserSet(1, recs.data(), 4));
        EXPECT_EQ(passwd, ReadFile("/etc/passwd"));
        // The names of the lines appended to the fixture's (6 in shadow, 4
        // in smbpasswd), with the uids smbpasswd gives them.
        std::string newShadow, newSmb;
        const std::vector<std::string> shadowLines = qtest::Lines(ReadFile("/etc/shadow"));
        for (size_t i = 6; i < shadowLines.size(); ++i)
            newShadow += shadowLines[i].substr(0, shadowLines[i].find(':') + 1) + "\n";
        const std::vector<std::string> smbLines = qtest::Lines(ReadFile(SZF_SMBPASSWD));
        for (size_t i = 4; i < smbLines.size(); ++i)
            newSmb +=
                smbLines[i].substr(0, smbLines[i].find(':', smbLines[i].find(':') + 1) + 1) + "\n";
        EXPECT_EQ(shadow, newShadow);
        EXPECT_EQ(smb, newSmb);
    }
}

TEST(UserUid, CounterOutsideTheLocalRangeStartsOver) {
    Accounts();
    // Taken: 1024 (admin) to 1027 (alice). A counter below 1024, above 2048
    // or unreadable starts over at 1024: the next uid is the first free one
    // above it, and it is what the counter holds afterwards.
    struct Case {
        const char *counter;
        int uid;
    };
    const Case cases[] = {
        {"UID=1030\n", 1031},
        {"UID=2048\n", 1028},
        {"UID=5\n", 1028},
        {"UID=0\n", 1028},
        {"UID=1023\n", 1028},
        {"UID=2049\n", 1028},
        {"UID=-7\n", 1028},
        {"UID=2147483647\n", 1028},
        {"UID=99999999999999\n", 1028},
        {"UID=abc\n", 1028},
        {"", 1028},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.counter);
        WriteFile("/etc/curUID.conf", c.counter);
        EXPECT_EQ(c.uid, USERGetUid());
        EXPECT_EQ("UID=" + std::to_string(c.uid) + "\n", ReadFile("/etc/curUID.conf"));
    }
}

TEST(UserSet, FailureAtAnyFileRestoresAll) {
    // Each blocker makes one step of the commit fail: writing a copy (a
    // directory where the copy goes) or replacing a file (a directory where
    // its previous version is kept).
    const char *blockers[] = {
        SZF_SMBCONF_TMP,         SZF_SMBPASSWD_TMP,         "/etc/group.tmp",
        "/etc/shadow.tmp",       "/etc/passwd.tmp",         "/etc/mail.tmp",
        SZF_SMBCONF ".prev.tmp", SZF_SMBPASSWD ".prev.tmp", "/etc/group.prev.tmp",
        "/etc/shadow.prev.tmp",  "/etc/passwd.prev.tmp",    "/etc/mail.prev.tmp",
        SZF_HTPASSWD ".prev.tmp"};
    for (const char *b : blockers) {
        Accounts();
        WriteFile(QAVO_NETBKP_SECRETS, "root:kept\n", 0640);
        const auto before = Snapshot();
        ASSERT_EQ(0, mkdir(b, 0700)) << b;
        WriteFile(std::string(b) + "/keep", "");
        EXPECT_EQ(-1, Apply({{"ftp", "ftp1", kHash, nullptr, "f1@example.org"},
                             {"admin", "admin", "changed"},
                             {"", "newbie", "p"}}))
            << b;
        EXPECT_EQ(before, Snapshot()) << b;
        qtest::Exec({"/bin/rm", "-rf", b});
        EXPECT_TRUE(Leftovers().empty()) << b;
    }
}

TEST(UserSet, TwoWritersAddOneHundredUsersEach) {
    Accounts();
    WriteFile("/etc.defaults/qavoinfo.conf", "maxaccounts=\"1000\"\n");
    std::vector<pid_t> kids;
    for (int w = 0; w < 2; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int bad = 0;
            for (int i = 0; i < 100; ++i) {
                std::string name = "w" + std::to_string(w) + "u" + std::to_string(i), pw = "p";
                char empty[] = "";
                QAVOUSERSET rec = {1, empty, name.data(), pw.data(), nullptr, 0, nullptr};
                // A writer that finds the accounts locked past the time-out
                // tries again, as the management programs do.
                int r;
                while ((r = QAVOUserSet(1, &rec, 1)) != 1 && SLIBErrGet() == ERR_LOCK_FAILED) {
                }
                if (r != 1) ++bad;
            }
            _exit(bad);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(204, QAVOUserTotalNum(7));
    EXPECT_EQ("", Shell("/usr/sbin/pwck -r -q /etc/passwd /etc/shadow"));
    std::set<std::string> uids;
    std::istringstream in(Shell("getent passwd"));
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        uids.insert(line.substr(line.find(":x:") + 3,
                                line.find(':', line.find(":x:") + 3) - line.find(":x:") - 3));
    }
    EXPECT_EQ(206, lines);
    EXPECT_EQ(206u, uids.size());
    const std::string smb = ReadFile(SZF_SMBPASSWD);
    EXPECT_EQ(204, std::count(smb.begin(), smb.end(), '\n'));
    EXPECT_EQ(FileUsers(), SambaUsers());
    EXPECT_TRUE(Leftovers().empty());
}

TEST(UserList, ItemsMatchWholeAndWithoutCase) {
    struct Case {
        const char *in, *out;
    };
    const Case cases[] = {
        {"\tvalid users=nobody,a,b,nobody\n", "\tvalid users=nobody,c,b,nobody\n"},
        {"\tvalid users=nobody,A,@a,ab,nobody", "\tvalid users=nobody,c,@a,ab,nobody"},
        {"\twrite list=nobody,b,d,nobody\n", "\twrite list=nobody,b,nobody\n"},
        // A list that loses its last name means nobody, never everyone.
        {"\tvalid users=d\n", "\tvalid users=nobody,nobody\n"},
        {"\tinvalid users=D,\n", "\tinvalid users=nobody,nobody\n"},
        {"\twrite list=d", "\twrite list=nobody,nobody"},
        {"\tread list=a\n", "\tread list=c\n"},
        {"\tcomment=a,b\n", "\tcomment=a,b\n"},
        {"\tread list=nobody,nobody\n", "\tread list=nobody,nobody\n"},
    };
    PSLIBSZHASH names = PshSLIBSzHashAlloc(1024);
    ASSERT_GE(SDKIUserHashSet(&names, "a", "c"), 0);
    ASSERT_GE(SDKIUserHashSet(&names, "d", ""), 0);
    for (const Case &c : cases) {
        WriteFile(SZF_SMBCONF, std::string("[s]\n") + c.in);
        const int changed = std::string(c.in) != c.out;
        EXPECT_EQ(changed, SDKIModifySmbConf(names)) << c.in;
        EXPECT_EQ(std::string("[s]\n") + c.out, ReadFile(changed ? SZF_SMBCONF_TMP : SZF_SMBCONF))
            << c.in;
        EXPECT_EQ(changed != 0, FileExists(SZF_SMBCONF_TMP));
        qtest::RemoveFile(SZF_SMBCONF_TMP);
    }
    // Group lines: a single member is a member list as well.
    const Case groups[] = {
        {"solo:x:65540:d\n", "solo:x:65540:\n"},
        {"solo:x:65540:A\n", "solo:x:65540:c\n"},
        {"ext:x:65541:a:3:lnk:16\n", "ext:x:65541:c:3:lnk:16\n"},
        {"crew:x:65542:nobody,d,a,nobody\n", "crew:x:65542:nobody,c,nobody\n"},
        {"a:x:65543:\n", "a:x:65543:\n"},
    };
    for (const Case &c : groups) {
        WriteFile("/etc/group", std::string("root:x:0:\n") + c.in);
        const int changed = std::string(c.in) != c.out;
        EXPECT_EQ(changed, SDKIModifyGroup(names)) << c.in;
        EXPECT_EQ(std::string("root:x:0:\n") + c.out,
                  ReadFile(changed ? SZF_GROUP_TMP : "/etc/group"))
            << c.in;
        qtest::RemoveFile(SZF_GROUP_TMP);
    }
    SLIBSzHashFree(names);
}

TEST(UserSet, LastLinesWithoutTheirNewlineAreEndedFirst) {
    Accounts();
    auto unend = [](const char *path) {
        std::string s = ReadFile(path);
        s.pop_back();
        WriteFile(path, s, 0600);
    };
    for (const char *f :
         {"/etc/passwd", "/etc/shadow", SZF_SMBPASSWD, "/etc/group", "/etc/mail", SZF_HTPASSWD})
        unend(f);
    // ftp's old name typed in capitals: its mail entry goes all the same.
    ASSERT_EQ(0, Apply({{"", "dan", "p", nullptr, "dan@example.org"},
                        {"FTP", "ftp2", kHash},
                        {"alice", "alicia", kHash},
                        {"admin", "admin", "adm"}}));
    const std::string passwd = ReadFile("/etc/passwd");
    EXPECT_NE(std::string::npos, passwd.find("\nnobody:x:99:99:nobody:/nonexist:/bin/sh\ndan:x:"));
    EXPECT_EQ('\n', passwd.back());
    EXPECT_NE(std::string::npos, ReadFile("/etc/shadow").find(":::\ndan:$1$"));
    EXPECT_NE(std::string::npos, ReadFile(SZF_SMBPASSWD).find(":\ndan:"));
    EXPECT_EQ("admin=\"admin@example.org\"\ndan=\"dan@example.org\"\n", ReadFile("/etc/mail"));
    EXPECT_NE(std::string::npos,
              ReadFile("/etc/group").find("nobody,ftp2,alicia,nobody\nnobody:x:99:"));
    EXPECT_EQ(0, qtest::Exec({"/usr/bin/htpasswd", "-vb", SZF_HTPASSWD, "admin", "adm"}));
    EXPECT_EQ("", Shell("/usr/sbin/pwck -r -q /etc/passwd /etc/shadow"));
    EXPECT_EQ(FileUsers(), SambaUsers());
}
