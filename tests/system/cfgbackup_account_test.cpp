// Configuration backup: local users with their hashes and groups with
// their members and descriptions, restored onto a fresh set of accounts.
#include <arpa/inet.h>
#include <crypt.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "appliance.h"
#include "cfgbackup_support.h"
#include "cfgbackup.h"
#include "qavo_group.h"
#include "qavo_quota.h"
#include "qavo_userenum.h"
#include "sdk_userset.h"
#include "slib_keyvalue.h"

namespace {

using cfgtest::Bytes;
using cfgtest::HasEvent;
using cfgtest::kFile;
using cfgtest::kLm;
using cfgtest::kNt;

const char *const kSmbpasswd = "/usr/qavo/etc/private/smbpasswd";
const char kHash[] = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";

const std::vector<std::string> kFiles = {"/etc/passwd", "/etc/shadow", kSmbpasswd, "/etc/group",
                                         "/etc/group_desc"};

// A small appliance's own accounts: root, admin and guest.
void FreshAccounts() {
    mkdir("/usr/qavo/etc/private", 0700);
    qtest::WriteFile("/etc/passwd",
                     "root:x:0:0:root:/root:/bin/sh\n"
                     "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
                     "guest:x:1025:100:Guest:/nonexist:/bin/csh\n"
                     "nobody:x:99:99:nobody:/nonexist:/bin/sh\n");
    std::string shadow;
    for (const char *n : {"root", "admin", "guest", "nobody"})
        shadow += std::string(n) + ":" + kHash + ":14000:0:99999:7:::\n";
    qtest::WriteFile("/etc/shadow", shadow, 0600);
    qtest::WriteFile(kSmbpasswd,
                     std::string("admin:1024:") + kLm + ":" + kNt +
                         ":[U          ]:LCT-4A5B6C7D:\n" + "guest:1025:" + kLm + ":" + kNt +
                         ":[U          ]:LCT-4A5B6C7D:\n",
                     0600);
    qtest::WriteFile("/etc/group",
                     "root:x:0:\n"
                     "users:x:100:nobody,nobody\n"
                     "administrators:x:101:nobody,admin,nobody\n"
                     "nobody:x:99:\n");
    qtest::RemoveFile("/etc/group_desc");
    qtest::RemoveFile("/etc/curUID.conf");
    qtest::WriteFile("/usr/qavo/etc/smb.conf", "[global]\n\tsecurity=user\n\tworkgroup=WG\n");
    qtest::WriteFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
}

std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> m;
    for (const std::string &f : kFiles)
        m[f] = qtest::FileExists(f) ? qtest::ReadFile(f) : "<missing>";
    // The last-change stamps of smbpasswd and shadow tell when a hash was
    // set: the day of the restore for every user it writes.
    std::string &smb = m[kSmbpasswd];
    for (size_t at = smb.find("LCT-"); at != std::string::npos; at = smb.find("LCT-", at + 4))
        smb.replace(at + 4, 8, "........");
    std::string out;
    const std::string &shadow = m["/etc/shadow"];
    for (size_t start = 0; start < shadow.size();) {
        size_t end = shadow.find('\n', start);
        if (end == std::string::npos) end = shadow.size();
        std::string line = shadow.substr(start, end - start);
        const size_t a = line.find(':', line.find(':') + 1);
        if (a != std::string::npos) line.replace(a + 1, line.find(':', a + 1) - a - 1, "day");
        out += line + "\n";
        start = end + 1;
    }
    m["/etc/shadow"] = out;
    return m;
}

int AddUser(const char *name, const char *password, const char *desc = "", int expiry = 0,
            const char *mail = "") {
    QAVOUSERSET u{1,
                  nullptr,
                  const_cast<char *>(name),
                  const_cast<char *>(password),
                  const_cast<char *>(desc),
                  expiry,
                  const_cast<char *>(mail)};
    return QAVOUserSet(1, &u, 1);
}

std::string Field(const std::string &file, const std::string &name, size_t index) {
    const std::string text = qtest::ReadFile(file);
    const size_t at = text.find("\n" + name + ":");
    const size_t start = text.rfind(name + ":", 0) == 0 ? 0 : at == std::string::npos ? at : at + 1;
    if (start == std::string::npos) return "<none>";
    const std::string line = text.substr(start, text.find('\n', start) - start);
    size_t pos = 0;
    for (size_t i = 0; i < index; ++i)
        pos = line.find(':', pos) + 1;
    return line.substr(pos, line.find(':', pos) - pos);
}

class CfgBackupAccounts : public ::testing::Test {
  protected:
    void SetUp() override {
        FreshAccounts();
        qtest::WriteFile("/etc.defaults/qavoinfo.conf", "maxaccounts=\"50\"\nmaxgroups=\"50\"\n");
    }
};

TEST_F(CfgBackupAccounts, UsersAndGroupsComeBackByteForByte) {
    ASSERT_EQ(AddUser("carol", "password", "Carol C", 20000, "carol@example.org"), 1);
    ASSERT_EQ(AddUser("bob", "secret"), 1);
    // A traditional hash, as an older system left it.
    const std::string line = qtest::ReadFile("/etc/shadow");
    const size_t at = line.find("carol:") + 6;
    qtest::WriteFile("/etc/shadow",
                     line.substr(0, at) + "vaIfwXyNOS5qo" + line.substr(line.find(':', at)), 0600);
    const char *staff[] = {"staff", "bob", "carol", nullptr};
    ASSERT_EQ(QAVOGroupSet(QAVO_GROUP_FLAG_LOCAL, 1, nullptr, staff), 1);
    ASSERT_EQ(QAVOGroupSetDesc("staff", "The staff"), 0);
    const char *empty[] = {"empty", nullptr};
    ASSERT_EQ(QAVOGroupSet(QAVO_GROUP_FLAG_LOCAL, 1, nullptr, empty), 1);
    const auto before = Snapshot();
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_USER | QAVOSYSBKP_ID_GROUP), 0);

    FreshAccounts();
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    const auto after = Snapshot();
    for (const std::string &f : kFiles)
        EXPECT_EQ(after.at(f), before.at(f)) << f;
    const std::string hash = Field("/etc/shadow", "carol", 1);
    EXPECT_STREQ(crypt("password", hash.c_str()), "vaIfwXyNOS5qo");
}

// The export reads the account files once; each user's record is the one
// QAVOSysbkpIWriteUserData writes from the files, also when the shadow file
// holds a line of the name in other letter case before the user's own.
TEST_F(CfgBackupAccounts, ExportedUsersAreTheirOneByOneRecords) {
    ASSERT_EQ(AddUser("carol", "password", "Carol C", 20000, "carol@example.org"), 1);
    ASSERT_EQ(AddUser("bob", "secret"), 1);
    const std::string bobHash = Field("/etc/shadow", "bob", 1);
    qtest::WriteFile(
        "/etc/shadow",
        "BOB:$1$xx$notbobsnotbobsnotbobs:14000:0:99999:7:::\n" + qtest::ReadFile("/etc/shadow"),
        0600);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_USER), 0);
    const std::string exported = qtest::ReadFile(kFile);
    for (const char *name : {"admin", "guest", "bob", "carol"}) {
        const char *one = "/tmp/one-user";
        const int fd = open(one, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(QAVOSysbkpIWriteUserData(name, fd), 0) << name;
        close(fd);
        const std::string record = qtest::ReadFile(one);
        EXPECT_NE(exported.find(record), std::string::npos) << name;
        if (std::string(name) == "bob") {
            EXPECT_NE(record.find(bobHash), std::string::npos);
        }
    }
}

TEST_F(CfgBackupAccounts, RulesOfTheRestore) {
    ASSERT_EQ(AddUser("dave", "password"), 1);
    const std::string daveHash = Field("/etc/shadow", "dave", 1);
    const struct {
        const char *what;
        Bytes users;
        int overwrite;
        int result;
    } cases[] = {
        {"admin is never restored", Bytes().Long(1).User("admin", "$1$xx$changedchangedchanged"), 1,
         0},
        {"overwrite 2 changes no user", Bytes().Long(1).User("dave", "$1$xx$changedchangedchanged"),
         2, 0},
        {"a shadow hash adding fields", Bytes().Long(1).User("mallory", "x:0:0::"), 1, -1},
        {"a shadow hash adding a line", Bytes().Long(1).User("mallory", "x\nroot2::0:0:99999:7:::"),
         1, -1},
        {"an NT hash adding fields", Bytes().Long(1).User("mallory", kHash, kLm, "AA:BB"), 1, -1},
        {"a short LM hash", Bytes().Long(1).User("mallory", kHash, "ABCD"), 1, -1},
        // Bytes the account readers cannot read would hide the user's line:
        // it could no longer be read, changed or backed up.
        {"a shadow hash that is not ASCII",
         Bytes().Long(1).User("dave", "$1$GQ$Je.hjy4CnuO7gZ1\xf2mO5W01"), 1, -1},
        {"the system's own accounts are never restored",
         Bytes().Long(2).User("root", kHash).User("nobody", kHash), 1, 0},
        {"a full name that is not UTF-8",
         Bytes()
             .Long(1)
             .Str("dave")
             .Str(kHash)
             .Str("\x8d\x90\x92\x97one")
             .Str(kLm)
             .Str(kNt)
             .Long(0)
             .Str(""),
         1, -1},
    };
    for (const auto &c : cases) {
        const auto before = Snapshot();
        qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_USER, c.users).data());
        EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, c.overwrite), c.result) << c.what;
        EXPECT_EQ(Snapshot(), before) << c.what;
    }
    EXPECT_EQ(Field("/etc/shadow", "dave", 1), daveHash);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_USER), 0);

    // A user whose shadow hash is the file's gets the file's SMB hashes, and
    // its line keeps its flags and last-change stamp.
    ASSERT_EQ(qtest::Sh(std::string("sed -i 's/^\\(dave:[^:]*:[^:]*:[^:]*\\):[^:]*:[^:]*:/"
                                    "\\1:[UX         ]:LCT-00000001:/' ") +
                        kSmbpasswd),
              0);
    ASSERT_EQ(Field(kSmbpasswd, "dave", 5), "LCT-00000001");
    qtest::WriteFile(
        kFile,
        Bytes::File().Section(QAVOSYSBKP_ID_USER, Bytes().Long(1).User("dave", daveHash)).data());
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(Field("/etc/shadow", "dave", 1), daveHash);
    EXPECT_EQ(Field(kSmbpasswd, "dave", 2) + ":" + Field(kSmbpasswd, "dave", 3) + ":" +
                  Field(kSmbpasswd, "dave", 4) + ":" + Field(kSmbpasswd, "dave", 5),
              std::string(kLm) + ":" + kNt + ":[UX         ]:LCT-00000001");

    // A user whose hashes cannot be put back (it has no SMB line) is locked:
    // the account database took the hash's text, which is in the file, as
    // its password.
    ASSERT_EQ(AddUser("gina", "password"), 1);
    ASSERT_EQ(qtest::Sh(std::string("sed -i '/^gina:/d' ") + kSmbpasswd), 0);
    qtest::WriteFile(
        kFile,
        Bytes::File().Section(QAVOSYSBKP_ID_USER, Bytes().Long(1).User("gina", kHash)).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(Field("/etc/shadow", "gina", 1), "!");

    // The "X" and "NO PASSWORD" forms are hashes too.
    const std::string noPass = "NO PASSWORD" + std::string(21, 'X');
    qtest::WriteFile(kFile,
                     Bytes::File()
                         .Section(QAVOSYSBKP_ID_USER,
                                  Bytes().Long(1).User("erin", kHash, std::string(32, 'X'), noPass))
                         .data());
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(Field(kSmbpasswd, "erin", 3), noPass);
    EXPECT_EQ(Field("/etc/shadow", "erin", 1), kHash);

    // Without room for accounts only existing users come back.
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "maxgroups=\"50\"\n");
    qtest::WriteFile(kFile, Bytes::File()
                                .Section(QAVOSYSBKP_ID_USER,
                                         Bytes().Long(2).User("dave", kHash).User("frank", kHash))
                                .data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(Field("/etc/shadow", "dave", 1), kHash);
    EXPECT_EQ(Field("/etc/passwd", "frank", 0), "<none>");
    EXPECT_TRUE(HasEvent(0x12100052));
}

TEST_F(CfgBackupAccounts, GroupRulesAndDamagedBlocks) {
    ASSERT_EQ(AddUser("bob", "password"), 1);
    const auto before = Snapshot();
    // A block cut inside, then bytes that would read as a group: nothing
    // is made of them.
    Bytes bad;
    bad.Long(2).Long(1).Str("broken").Word(2).Word(4).Group("stray", 70000, {"bob"});
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_GROUP, bad).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(Snapshot(), before);

    // Only local groups come back, existing ones only with overwrite. A
    // system group is never made, changed or given members, whatever gid
    // the file claims for it; the groups after it are restored all the same.
    qtest::WriteFile("/etc/group",
                     qtest::ReadFile("/etc/group") + "smmsp:x:25:nobody,admin,nobody\n");
    const char *crew[] = {"crew", nullptr};
    ASSERT_EQ(QAVOGroupSet(QAVO_GROUP_FLAG_LOCAL, 1, nullptr, crew), 1);
    const std::string group = qtest::ReadFile("/etc/group");
    Bytes groups;
    groups.Long(7)
        .Group("users", 100, {"bob"})
        .Group("administrators", 101, {"bob"})
        .Group("ROOT", 70000, {"bob"})
        .Group("smmsp", 25, {"bob"})
        .Group("wheel", 10, {"bob"})
        .Group("crew", 65536, {"bob"})
        .Group("band", 65537, {"bob"});
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_GROUP, groups).data());
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);
    EXPECT_EQ(Field("/etc/group", "crew", 3), "nobody,nobody");
    EXPECT_EQ(Field("/etc/group", "band", 3), "nobody,bob,nobody");
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(Field("/etc/group", "crew", 3), "nobody,bob,nobody");
    std::string want = group;
    want.replace(want.find("crew:x:65536:nobody,nobody"), 26, "crew:x:65536:nobody,bob,nobody");
    want.replace(want.find("#$_@GID__INDEX@_$65537$"), 23, "#$_@GID__INDEX@_$65538$");
    EXPECT_EQ(qtest::ReadFile("/etc/group"), want + "band:x:65537:nobody,bob,nobody\n");
    // Without a local one the mail group is not made either.
    qtest::WriteFile("/etc/group", group.substr(0, group.find("smmsp:")));
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(Field("/etc/group", "smmsp", 3), "<none>");
    EXPECT_EQ(Field("/etc/group", "wheel", 3), "<none>");
    std::string grpck;
    qtest::Sh(
        "/usr/sbin/grpck -r /etc/group 2>&1 | grep -v 'GID__INDEX\\|invalid group file "
        "entry\\|delete line\\|no changes'",
        &grpck);
    EXPECT_EQ(grpck, "");
}

// Users and groups are written together, but a record refused among good
// ones costs only itself, and the capacity is counted as if each were
// written on its own: the refused ones leave room for those after them.
TEST_F(CfgBackupAccounts, ARefusedRecordCostsOnlyItself) {
    ASSERT_EQ(AddUser("dave", "password"), 1);
    const char kOther[] = "$1$Cd$Y4VrSqX5m3ZmA1kpLk6b60";
    PSLIBSZLIST local = PslSLIBSzListAlloc(64);
    ASSERT_GE(SDKIUserListGet(QAVO_USER_ENUM_LOCAL, &local), 0);
    const int users = local->nItem;
    SLIBSzListFree(local);
    // Room for three new users.
    qtest::WriteFile("/etc.defaults/qavoinfo.conf",
                     "maxaccounts=\"" + std::to_string(users + 3) + "\"\n");
    Bytes body;
    body.Long(7)
        .User("ann", kHash)
        .User("bad name", kHash)  // the user transaction refuses blanks in new names
        .User("dave", kOther)
        .Str("carl")
        .Str(kHash)
        .Str("Carl \"C\"")
        .Str(kLm)
        .Str(kNt)
        .Long(0)
        .Str("")
        .User("eve", kHash)
        .User("fay", kHash)
        .User("gus", kHash);
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_USER, body).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    for (const char *n : {"ann", "eve", "fay"}) {
        EXPECT_EQ(Field("/etc/shadow", n, 1), kHash) << n;
        EXPECT_EQ(Field(kSmbpasswd, n, 3), kNt) << n;
    }
    EXPECT_EQ(Field("/etc/shadow", "dave", 1), kOther);
    for (const char *n : {"bad name", "carl", "gus"})
        EXPECT_EQ(Field("/etc/passwd", n, 0), "<none>") << n;
    EXPECT_TRUE(HasEvent(0x12100052));

    // Room for two new groups: the one with a bad name leaves its place to
    // the next; the one whose description cannot be stored is made all the
    // same, and the last finds no room.
    const int groups = QAVOGroupTotalNum(QAVO_GROUP_FLAG_LOCAL);
    ASSERT_GE(groups, 0);
    qtest::WriteFile("/etc.defaults/qavoinfo.conf",
                     "maxgroups=\"" + std::to_string(groups + 2) + "\"\n");
    Bytes grp;
    grp.Long(4)
        .Group("crew", 65536, {"dave", "ann"})
        .Group("bad:group", 65537, {"dave"})
        .Long(1)
        .Str("band")
        .Long(65538)
        .Str("line\nbreak")
        .Long(1)
        .Str("eve")
        .Group("choir", 65539, {"dave"});
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_GROUP, grp).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(Field("/etc/group", "crew", 3), "nobody,dave,ann,nobody");
    EXPECT_EQ(Field("/etc/group", "band", 3), "nobody,eve,nobody");
    EXPECT_EQ(Field("/etc/group", "choir", 3), "<none>");
    EXPECT_EQ(qtest::ReadFile("/etc/group").find("bad:group"), std::string::npos);
    EXPECT_TRUE(HasEvent(0x12100053));
}

// The files of the data volumes are owned by uid: users restored onto a
// reinstalled unit must get back the uids they had, which they do when the
// new users take theirs in the order the file holds them, as writing them
// one by one does.
TEST_F(CfgBackupAccounts, RestoredUsersGetBackTheirUids) {
    for (const char *n : {"alice", "bob", "carol", "dave"})
        ASSERT_EQ(AddUser(n, "password"), 1) << n;
    ASSERT_EQ(Field("/etc/passwd", "alice", 2), "1026");
    ASSERT_EQ(Field("/etc/passwd", "dave", 2), "1029");
    const auto before = Snapshot();
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_USER), 0);

    FreshAccounts();
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    const auto after = Snapshot();
    for (const std::string &f : kFiles)
        EXPECT_EQ(after.at(f), before.at(f)) << f;
}

// The passwd of a fresh appliance after a restore of new users: theirs
// appended in order, with the uids from 1026 on (1024 and 1025 are admin's
// and guest's).
std::string FreshPasswdWith(const std::string &fresh, const std::vector<std::string> &names) {
    std::string out = fresh;
    int uid = 1026;
    for (const std::string &n : names)
        out += n + ":x:" + std::to_string(uid++) + ":100::/:/bin/csh\n";
    return out;
}

TEST_F(CfgBackupAccounts, NewUsersTakeUidsInFileOrder) {
    const std::vector<std::vector<std::string>> cases = {
        {"eve", "frank"},
        {"frank", "eve"},
        {"dave", "carol", "bob", "alice"},
    };
    for (const auto &names : cases) {
        FreshAccounts();
        const std::string fresh = qtest::ReadFile("/etc/passwd");
        Bytes body;
        body.Long(static_cast<int32_t>(names.size()));
        for (const std::string &n : names)
            body.User(n, kHash);
        qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_USER, body).data());
        ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0) << names[0];
        EXPECT_EQ(qtest::ReadFile("/etc/passwd"), FreshPasswdWith(fresh, names)) << names[0];
        for (const std::string &n : names)
            EXPECT_EQ(Field(kSmbpasswd, n, 1), Field("/etc/passwd", n, 2)) << n;
    }
}

// A batch the user transaction refuses is written again in parts; the good
// users of the parts still come in the file's order, with its uids.
TEST_F(CfgBackupAccounts, ASplitBatchKeepsTheFileOrder) {
    const std::string fresh = qtest::ReadFile("/etc/passwd");
    Bytes body;
    body.Long(5)
        .User("alice", kHash)
        .User("bob", kHash)
        .User("bad name", kHash)  // refused: a blank in a new name
        .User("carol", kHash)
        .User("dave", kHash);
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_USER, body).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(qtest::ReadFile("/etc/passwd"),
              FreshPasswdWith(fresh, {"alice", "bob", "carol", "dave"}));
    for (const char *n : {"alice", "bob", "carol", "dave"})
        EXPECT_EQ(Field("/etc/shadow", n, 1), kHash) << n;
}

}  // namespace

namespace {

// Quotas of the users on the one volume of a model without RAID; the
// kernel's quota records are the simulated appliance's state files.
void QuotaVolume() {
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1 /sim/quota && mount -t tmpfs -o size=8m tmpfs /volume1"),
              0);
    qtest::WriteFile("/dev/hda3", "");
    qtest::WriteFile("/sim/quota/_dev_hda3", "on 2\n");
}

float HardLimit(const char *user) {
    QAVOUSERQUOTA q{-1, 0};
    return QAVOQuotaGet(user, "/dev/hda3", &q) == 0 ? q.fHardLimitMB : -1;
}

Bytes QuotaBody(const std::vector<std::pair<std::string, int32_t>> &users,
                const char *prefix = "/dev/hda", int32_t number = 3) {
    Bytes b;
    b.Long(static_cast<int32_t>(users.size())).Long(0);
    for (const auto &[name, mb] : users)
        b.Str(name).Str(prefix).Long(number).Long(mb);
    return b;
}

TEST_F(CfgBackupAccounts, QuotasComeBackForTheUsersTheRestoreMade) {
    qtest::WriteFile("/etc.defaults/qavoinfo.conf",
                     "maxaccounts=\"50\"\nmaxgroups=\"50\"\nsupportquota=\"yes\"\n");
    QuotaVolume();
    ASSERT_EQ(AddUser("old", "password"), 1);
    ASSERT_EQ(AddUser("gone", "password"), 1);
    const float ten = 10, twenty = 20;
    ASSERT_EQ(QAVOQuotaSet("old", "/dev/hda3", &ten), 0);
    ASSERT_EQ(QAVOQuotaSet("gone", "/dev/hda3", &twenty), 0);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_USER | QAVOSYSBKP_ID_USER_QUOTA), 0);

    // "gone" is made again by the restore, "old" exists with another quota.
    FreshAccounts();
    ASSERT_EQ(AddUser("old", "password"), 1);
    const float five = 5;
    ASSERT_EQ(QAVOQuotaSet("old", "/dev/hda3", &five), 0);
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);
    EXPECT_EQ(HardLimit("gone"), 20);
    EXPECT_EQ(HardLimit("old"), 5);  // not made by this restore, no overwrite
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(HardLimit("old"), 10);

    // A quota section alone, after the restore that made the user: the set
    // of created users did not outlive it.
    qtest::WriteFile(
        kFile, Bytes::File().Section(QAVOSYSBKP_ID_USER_QUOTA, QuotaBody({{"gone", 30}})).data());
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);
    EXPECT_EQ(HardLimit("gone"), 20);

    // Only the volume devices.
    qtest::WriteFile(
        kFile, Bytes::File()
                   .Section(QAVOSYSBKP_ID_USER_QUOTA, QuotaBody({{"gone", 40}}, "/dev/sda", 1))
                   .data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(HardLimit("gone"), 20);
}

}  // namespace
