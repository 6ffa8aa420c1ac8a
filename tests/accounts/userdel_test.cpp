#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_group.h"
#include "qavo_netbkp.h"
#include "qavo_userdel.h"
#include "samba_check.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "services_support.h"
#include "slib_errcode.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

namespace {

using svctest::EndedBy;

const char kHash[] = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
const char kNt[] = "0CB6948805F797BF2A82807973B89537";
const char kLm[] = "01FC5A6BE7BC6929AAD3B435B51404EE";
const char kQuota[] = "/sim/quota/_dev_hda3";

// name, uid: system accounts, the defaults, and the users alice, bob, rsync.
const std::vector<std::pair<std::string, int>> kUsers = {
    {"root", 0},     {"nobody", 99},  {"daemon5", 500}, {"admin", 1024},
    {"guest", 1025}, {"alice", 1030}, {"bob", 1031},    {"rsync", 1032}};

std::string Passwd(const std::string &without = "", const std::string &without2 = "") {
    std::string s;
    for (const auto &[n, uid] : kUsers)
        if (n != without && n != without2)
            s += n + ":x:" + std::to_string(uid) + ":100:" + n + ":/:/bin/sh\n";
    return s;
}
std::string Shadow(const std::string &without = "") {
    std::string s;
    for (const auto &[n, uid] : kUsers)
        if (n != without) s += n + ":" + kHash + ":14000:0:99999:7:::\n";
    return s;
}
std::string Smbpasswd(const std::string &without = "") {
    std::string s;
    for (const auto &[n, uid] : kUsers)
        if (uid >= 1024 && n != without)
            s += n + ":" + std::to_string(uid) + ":" + kLm + ":" + kNt +
                 ":[U          ]:LCT-4A5B6C7D:\n";
    return s;
}
const char kGroup[] =
    "root:x:0:\n"
    "users:x:100:nobody,nobody\n"
    "administrators:x:101:nobody,admin,nobody\n"
    "staff:x:65536:nobody,alice,bob,nobody\n"
    "crew:x:65537:nobody,ALICE,nobody\n"
    "nobody:x:99:\n";
const char kSmb[] =
    "[global]\n"
    "\tworkgroup=WG\n"
    "[docs]\n"
    "\twrite list=nobody,alice,@alice,bob,nobody\n"
    "\tread list=nobody,Alice,nobody\n"
    "\tvalid users=nobody,alice,bob,nobody\n"
    "\tinvalid users=nobody,alice,nobody\n"
    "\tguest ok=no\n"
    "\twriteable=no\n"
    "\tpath=/volume1/docs\n";
const char kMail[] = "admin=\"admin@example.org\"\nalice=\"alice@example.org\"\n";

const std::vector<std::string> kFiles = {
    "/etc/passwd", "/etc/shadow",       SZF_SMBPASSWD,           "/etc/group", SZF_SMBCONF,
    "/etc/mail",   QAVO_NETBKP_SECRETS, QAVO_NETBKP_RSYNCD_CONF, kQuota};

void Accounts() {
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile("/etc/passwd", Passwd());
    WriteFile("/etc/shadow", Shadow(), 0600);
    WriteFile(SZF_SMBPASSWD, Smbpasswd(), 0600);
    WriteFile("/etc/group", kGroup);
    WriteFile(SZF_SMBCONF, kSmb);
    WriteFile("/etc/mail", kMail);
    WriteFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
    WriteFile("/etc.defaults/qavoinfo.conf", "supportquota=\"yes\"\n");
    WriteFile(QAVO_NETBKP_RSYNCD_CONF,
              "[NetBackup]\npath = /volume1/NetBackup\nauth users = rsync\n");
    WriteFile(QAVO_NETBKP_SECRETS, "rsync:secret\n", 0640);
    WriteFile("/dev/hda3", "");
    mkdir("/sim/quota", 0755);
    WriteFile(kQuota, "on 2\nuser 1030 2048 2048 77 0 0 0 0 0\nuser 1031 1024 1024 0 0 0 0 0 0\n");
    WriteFile("/sim/smbstatus.conf", "");
}

std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> m;
    for (const std::string &f : kFiles)
        m[f] = FileExists(f) ? ReadFile(f) : "<missing>";
    return m;
}

int Delete(std::vector<const char *> names) {
    return QAVOUserDelete(names.data(), static_cast<int>(names.size()));
}

std::string Shell(const std::string &cmd) {
    std::string out;
    qtest::Exec({"/bin/sh", "-c", cmd + " 2>&1"}, &out);
    return out;
}

pid_t FakeSmbd() {
    return svctest::SleepingAs("smbd");
}

void Reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

TEST(UserDelete, RemovesTheUserFromEveryFileAndEndsItsConnections) {
    Accounts();
    const pid_t a1 = FakeSmbd(), a2 = FakeSmbd(), b1 = FakeSmbd();
    WriteFile("/sim/smbstatus.conf", std::to_string(a1) + " alice docs\n" + std::to_string(b1) +
                                         " bob docs\n" + std::to_string(a2) + " alice docs\n");
    ASSERT_EQ(Delete({"ALICE"}), 1);

    EXPECT_EQ(ReadFile("/etc/passwd"), Passwd("alice"));
    EXPECT_EQ(ReadFile("/etc/shadow"), Shadow("alice"));
    EXPECT_EQ(ReadFile(SZF_SMBPASSWD), Smbpasswd("alice"));
    EXPECT_EQ(ReadFile("/etc/group"),
              "root:x:0:\n"
              "users:x:100:nobody,nobody\n"
              "administrators:x:101:nobody,admin,nobody\n"
              "staff:x:65536:nobody,bob,nobody\n"
              "crew:x:65537:nobody,nobody\n"
              "nobody:x:99:\n");
    std::string smb = kSmb;
    for (const auto &[from, to] : std::vector<std::pair<std::string, std::string>>{
             {"nobody,alice,@alice,bob,nobody", "nobody,@alice,bob,nobody"},
             {"nobody,Alice,nobody", "nobody,nobody"},
             {"nobody,alice,bob,nobody", "nobody,bob,nobody"},
             {"invalid users=nobody,alice,nobody", "invalid users=nobody,nobody"}})
        smb.replace(smb.find(from), from.size(), to);
    EXPECT_EQ(ReadFile(SZF_SMBCONF), smb);
    EXPECT_EQ(ReadFile("/etc/mail"), "admin=\"admin@example.org\"\n");
    // The quota of uid 1030 is gone; bob's stays.
    EXPECT_EQ(ReadFile(kQuota),
              "on 2\nuser 1030 0 0 77 0 0 0 0 0\nuser 1031 1024 1024 0 0 0 0 0 0\n");
    struct stat st;
    ASSERT_EQ(stat("/etc/shadow", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // The account files as their own tools read them.
    EXPECT_EQ(Shell("/usr/sbin/pwck -r -q /etc/passwd /etc/shadow"), "");
    std::string grpck = Shell("/usr/sbin/grpck -r /etc/group");
    EXPECT_TRUE(grpck.empty() || grpck == "grpck: no changes\n") << grpck;
    std::string out;
    qtest::Exec({"/usr/bin/getent", "passwd", "alice"}, &out);
    EXPECT_EQ(out, "");
    qtest::Exec({"/usr/bin/getent", "group", "staff"}, &out);
    EXPECT_EQ(out, "staff:x:65536:nobody,bob,nobody\n");
    EXPECT_EQ(qtest::Testparm(SZF_SMBCONF), 0);
    EXPECT_EQ(Shell("python3 " + qtest::SourceDir() + "/tests/accounts/tools/smbpasswd_list.py " +
                    SZF_SMBCONF + " " + SZF_SMBPASSWD),
              std::string("admin ") + kLm + " " + kNt + "\nbob " + kLm + " " + kNt + "\nguest " +
                  kLm + " " + kNt + "\nrsync " + kLm + " " + kNt + "\n");

    // Both of alice's connections end; bob's stays.
    EXPECT_EQ(EndedBy(a1), SIGTERM);
    EXPECT_EQ(EndedBy(a2), SIGTERM);
    EXPECT_EQ(EndedBy(b1), 0);
    Reap(b1);
    for (const std::string &f : kFiles)
        EXPECT_FALSE(FileExists(f + ".tmp")) << f;
}

TEST(UserDelete, FailedReplacementChangesNothing) {
    Accounts();
    const pid_t a1 = FakeSmbd();
    WriteFile("/sim/smbstatus.conf", std::to_string(a1) + " alice docs\n");
    const auto before = Snapshot();
    // The previous version of passwd cannot be kept: the replacement fails
    // after the other files were replaced, and they are put back.
    ASSERT_EQ(mkdir("/etc/passwd.prev.tmp", 0755), 0);
    SLIBErrSet(0);
    EXPECT_EQ(Delete({"alice", "rsync"}), -2);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(EndedBy(a1), 0);
    Reap(a1);
    rmdir("/etc/passwd.prev.tmp");
    for (const std::string &f : kFiles)
        EXPECT_FALSE(FileExists(f + ".tmp")) << f;
}

TEST(UserDelete, QuotasGoOnEveryRaidVolume) {
    Accounts();
    WriteFile("/etc.defaults/qavoinfo.conf", "supportquota=\"yes\"\nsupportraid=\"yes\"\n");
    WriteFile("/dev/md2", "");
    WriteFile("/sim/quota/_dev_md2", "on 2\nuser 1031 1024 1024 9 0 0 0 0 0\n");
    const std::string single = ReadFile(kQuota);
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1 && mount -t tmpfs tmpfs /volume1"), 0);
    EXPECT_EQ(Delete({"bob"}), 1);
    EXPECT_EQ(ReadFile("/sim/quota/_dev_md2"), "on 2\nuser 1031 0 0 9 0 0 0 0 0\n");
    EXPECT_EQ(ReadFile(kQuota), single);  // the single volume's device is not the RAID one
    qtest::Sh("umount /volume1");
}

TEST(UserDelete, ProtectedAccountsAreKept) {
    Accounts();
    const auto before = Snapshot();
    SLIBErrSet(0);
    EXPECT_EQ(Delete({"nobody", "daemon5", "Admin", "ROOT", "guest", "carol", nullptr}), 0);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_USER);
    EXPECT_EQ(Snapshot(), before);

    // Without guest support guest is an ordinary user.
    WriteFile("/etc.defaults/qavoinfo.conf", "guestsupport=\"no\"\n");
    EXPECT_EQ(Delete({"ROOT", "guest", "guest"}), 1);
    EXPECT_EQ(ReadFile("/etc/passwd"), Passwd("guest"));

    SLIBErrSet(0);
    EXPECT_EQ(QAVOUserDelete(nullptr, 1), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    const char *one[] = {"bob"};
    EXPECT_EQ(QAVOUserDelete(one, 0), -1);
    EXPECT_EQ(QAVOUserDelete(one, -1), -1);
}

TEST(UserDelete, RsyncLosesItsBackupLogin) {
    Accounts();
    WriteFile("/etc.defaults/qavoinfo.conf", "");  // quotas not supported: left alone
    const std::string quotas = ReadFile(kQuota);
    EXPECT_EQ(Delete({"rsync", "bob"}), 2);
    EXPECT_EQ(ReadFile("/etc/passwd"), Passwd("rsync", "bob"));
    EXPECT_EQ(ReadFile(QAVO_NETBKP_SECRETS).find("rsync:"), std::string::npos);
    EXPECT_NE(ReadFile(QAVO_NETBKP_RSYNCD_CONF).find("auth users = nobody"), std::string::npos);
    EXPECT_EQ(ReadFile(kQuota), quotas);
}

TEST(UserDelete, RemoveUserEntryKeepsCommentsAndUnendedLines) {
    WriteFile("/tmp/in", "# alice:x\n\nalice:x:1\nbob:x:2\nALICE:x:3\ncarol:x:4");
    PSLIBSZHASH names = PshSLIBSzHashAlloc(1024);
    SLIBSzHashSetValue(&names, "ALICE", "");
    EXPECT_EQ(SDKIRemoveUserEntry(names, "/tmp/in", "/tmp/out"), 1);
    EXPECT_EQ(ReadFile("/tmp/out"), "# alice:x\n\nbob:x:2\ncarol:x:4");
    SLIBSzHashSetValue(&names, "ALICE", "");
    EXPECT_EQ(SDKIRemoveUserEntry(names, "/tmp/out", "/tmp/out2"), 0);
    EXPECT_EQ(SDKIRemoveUserEntry(names, "/tmp/missing", "/tmp/out3"), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_OPEN_FAILED);
    EXPECT_EQ(SDKIRemoveUserEntry(nullptr, "/tmp/in", "/tmp/out"), -1);
    SLIBSzHashFree(names);
}

TEST(UserDelete, ListsOfTheOneUserNeitherKeepNorOpenUp) {
    Accounts();
    WriteFile("/etc/group",
              "root:x:0:\nusers:x:100:nobody,nobody\nnobody:x:99:\nsolo:x:65540:bob\n");
    WriteFile(SZF_SMBCONF, std::string(kSmb) +
                               "[private]\n"
                               "\tvalid users=bob\n"
                               "\twrite list=bob\n"
                               "\tread list=BOB,\n"
                               "\tinvalid users=bob\n"
                               "\tpath=/volume1/private\n");
    ASSERT_EQ(Delete({"bob"}), 1);
    EXPECT_EQ(ReadFile("/etc/group"),
              "root:x:0:\nusers:x:100:nobody,nobody\nnobody:x:99:\nsolo:x:65540:\n");
    EXPECT_NE(ReadFile(SZF_SMBCONF)
                  .find("[private]\n"
                        "\tvalid users=nobody,nobody\n"
                        "\twrite list=nobody,nobody\n"
                        "\tread list=nobody,nobody\n"
                        "\tinvalid users=nobody,nobody\n"),
              std::string::npos);
    // Samba still lets nobody but "nobody" in.
    std::string out;
    EXPECT_EQ(qtest::Testparm(SZF_SMBCONF), 0);
    qtest::Exec({"/usr/bin/testparm", "-s", "--section-name=private",
                 "--parameter-name=valid users", SZF_SMBCONF},
                &out);
    EXPECT_EQ(out, "nobody nobody\n");
    // A new user of the same name belongs to no group of the old one.
    char name[] = "bob", pass[] = "pw", empty[] = "";
    QAVOUSERSET rec = {1, empty, name, pass, nullptr, 0, nullptr};
    WriteFile("/etc.defaults/qavoinfo.conf", "maxaccounts=\"50\"\n");
    ASSERT_EQ(QAVOUserSet(1, &rec, 1), 1);
    EXPECT_EQ(Shell("id -Gn bob"), "users\n");
    std::string grpck = Shell("/usr/sbin/grpck -r /etc/group");
    EXPECT_TRUE(grpck.empty() || grpck == "grpck: no changes\n") << grpck;
}
