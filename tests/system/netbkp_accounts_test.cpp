#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_crypt.h"
#include "qavo_netbkp.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"

namespace {

using Calls = std::vector<std::vector<std::string>>;

const std::string kRsyncd = "/usr/qavo/etc/rc.d/S84rsyncd.sh";
const std::string kModule =
    "port = 8873\n"
    "address = 127.0.0.1\n"
    "use chroot = no\n"
    "uid = root\n"
    "gid = root\n"
    "[NetBackup]\n"
    "path = /volume1/NetBackup\n"
    "read only = no\n";

// The lines of a file that contain text.
std::vector<std::string> LinesWith(const std::string &path, const std::string &text) {
    std::vector<std::string> found;
    const std::string content = qtest::ReadFile(path);
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        if (nl == std::string::npos) nl = content.size();
        std::string line = content.substr(start, nl - start);
        if (line.find(text) != std::string::npos) found.push_back(line);
        start = nl + 1;
    }
    return found;
}

void ExpectSecretsFileMode() {
    struct stat st;
    ASSERT_EQ(stat(QAVO_NETBKP_SECRETS, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 25u);
}

std::string Secret(const char *user) {
    char out[256];
    if (QAVONetBackupGetServerPasswd(user, out, sizeof(out)) != 0) return "<none>";
    return out;
}

TEST(NetBkpAccounts, ListAndSecretsFollowEveryChange) {
    qtest::RemoveFile(QAVO_NETBKP_SECRETS);
    qtest::WriteFile(QAVO_NETBKP_RSYNCD_CONF, kModule);
    struct Step {
        const char *oldName, *newName, *secret;
        int op;
        const char *authLine, *secrets;
    } steps[] = {
        // The first account creates the secrets file.
        {nullptr, "rsync", "s1", 1, "auth users = rsync", "rsync:s1\n"},
        // Added again: the list stays, the secret is replaced.
        {nullptr, "rsync", "s2", 1, "auth users = rsync", "rsync:s2\n"},
        {nullptr, "root", "r1", 1, "auth users = rsync,root", "rsync:s2\nroot:r1\n"},
        // The same name in other letters: its entry found without regard to case.
        {"root", "Root", "r2", 2, "auth users = rsync,Root", "rsync:s2\nRoot:r2\n"},
        {"rsync", "admin", "a1", 2, "auth users = admin,Root", "admin:a1\nRoot:r2\n"},
        // An unlisted old name: the new one is added.
        {"rsync", "rsync", "s3", 2, "auth users = admin,Root,rsync",
         "admin:a1\nRoot:r2\nrsync:s3\n"},
        {"admin", nullptr, nullptr, 3, "auth users = Root,rsync", "Root:r2\nrsync:s3\n"},
        // The list is searched without regard to case, the secrets file not.
        {"ROOT", nullptr, nullptr, 3, "auth users = rsync", "Root:r2\nrsync:s3\n"},
        {"Root", nullptr, nullptr, 3, "auth users = rsync", "rsync:s3\n"},
        // The last account gone: a list nobody can log in with, never an empty one.
        {"rsync", nullptr, nullptr, 3, "auth users = nobody", ""},
        {nullptr, "admin", "a2", 1, "auth users = admin", "admin:a2\n"},
    };
    for (const Step &s : steps) {
        const std::string what = std::string(s.oldName ? s.oldName : "-") + " " +
                                 (s.newName ? s.newName : "-") + " " + std::to_string(s.op);
        qtest::ClearCalls();
        ASSERT_EQ(QAVONetBackupSetServerPasswd(s.oldName, s.newName, s.secret, s.op), 0) << what;
        EXPECT_EQ(LinesWith(QAVO_NETBKP_RSYNCD_CONF, "auth users"),
                  std::vector<std::string>{s.authLine})
            << what;
        EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_SECRETS), s.secrets) << what;
        ExpectSecretsFileMode();
        if (s.newName) {
            EXPECT_EQ(Secret(s.newName), s.secret) << what;
        }
        // No daemon ran, so none is started.
        EXPECT_EQ(qtest::Calls(), (Calls{{kRsyncd, "stop"}})) << what;
    }
    EXPECT_EQ(LinesWith(QAVO_NETBKP_RSYNCD_CONF, "secrets file"),
              std::vector<std::string>{"secrets file = /etc/rsyncd.secrets"});
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_RSYNCD_CONF),
              kModule + "auth users = admin\nsecrets file = /etc/rsyncd.secrets\n");
}

TEST(NetBkpAccounts, MendsWhatOlderVersionsLeft) {
    // An empty list, a second secrets line of one user, a world-readable file.
    qtest::WriteFile(QAVO_NETBKP_RSYNCD_CONF,
                     kModule + "auth users =\nsecrets file = /etc/rsyncd.secrets\n");
    qtest::WriteFile(QAVO_NETBKP_SECRETS, "rsync:old\nadmin:a\nrsync:older", 0644);
    ASSERT_EQ(QAVONetBackupSetServerPasswd(nullptr, "rsync", "new", 1), 0);
    EXPECT_EQ(LinesWith(QAVO_NETBKP_RSYNCD_CONF, "auth users"),
              std::vector<std::string>{"auth users = rsync"});
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_SECRETS), "rsync:new\nadmin:a\n");
    ExpectSecretsFileMode();

    // Deleting from an empty list writes the placeholder.
    qtest::WriteFile(QAVO_NETBKP_RSYNCD_CONF, kModule + "auth users =\n");
    ASSERT_EQ(QAVONetBackupSetServerPasswd("rsync", nullptr, nullptr, 3), 0);
    EXPECT_EQ(LinesWith(QAVO_NETBKP_RSYNCD_CONF, "auth users"),
              std::vector<std::string>{"auth users = nobody"});
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_SECRETS), "admin:a\n");

    // Without an account list a deletion adds none.
    qtest::WriteFile(QAVO_NETBKP_RSYNCD_CONF, kModule);
    ASSERT_EQ(QAVONetBackupSetServerPasswd("admin", nullptr, nullptr, 3), 0);
    EXPECT_TRUE(LinesWith(QAVO_NETBKP_RSYNCD_CONF, "auth users").empty());
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_SECRETS), "");
}

TEST(NetBkpAccounts, BadRequestsChangeNothing) {
    qtest::RemoveFile(QAVO_NETBKP_SECRETS);
    qtest::WriteFile(QAVO_NETBKP_RSYNCD_CONF, kModule);
    struct {
        const char *oldName, *newName, *secret;
        int op;
    } bad[] = {
        {nullptr, "rsync", "s", 0},         {nullptr, "rsync", "s", 4},
        {nullptr, nullptr, "s", 1},         {nullptr, "rsync", nullptr, 1},
        {nullptr, "rsync", "s", 2},         {"rsync", nullptr, "s", 2},
        {nullptr, nullptr, nullptr, 3},     {nullptr, "", "s", 1},
        {nullptr, "rs:ync", "s", 1},        {nullptr, "a,b", "s", 1},
        {nullptr, "a b", "s", 1},           {nullptr, "#root", "s", 1},
        {nullptr, "rsync", "s\nroot:x", 1}, {"rsync", "root", "s\r", 2},
    };
    qtest::ClearCalls();
    for (const auto &b : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVONetBackupSetServerPasswd(b.oldName, b.newName, b.secret, b.op), -1)
            << (b.newName ? b.newName : "-") << " " << b.op;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_TRUE(qtest::SyslogHas("sdk/qavonetbkp QAVONetBackupSetServerPasswd(", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas(": bad parameters", LOG_ERR));
    EXPECT_TRUE(qtest::Calls().empty());
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_RSYNCD_CONF), kModule);
    EXPECT_FALSE(qtest::FileExists(QAVO_NETBKP_SECRETS));

    // A missing configuration fails the change.
    qtest::RemoveFile(QAVO_NETBKP_RSYNCD_CONF);
    EXPECT_EQ(QAVONetBackupSetServerPasswd(nullptr, "rsync", "s", 1), -1);
    EXPECT_FALSE(qtest::FileExists(QAVO_NETBKP_SECRETS));
}

TEST(NetBkpAccounts, SecretLookupAndReset) {
    qtest::RemoveFile(QAVO_NETBKP_SECRETS);
    char out[16];
    SLIBErrSet(0);
    EXPECT_EQ(QAVONetBackupGetServerPasswd("rsync", out, sizeof(out)), -1);  // no file
    EXPECT_EQ(NetBackupDelSecret("rsync"), -1);
    EXPECT_TRUE(qtest::SyslogHas("NetBackupDelSecret(", LOG_ERR));

    // The user's own line: not a longer name's, not a secret that holds "name:".
    qtest::WriteFile(QAVO_NETBKP_SECRETS,
                     "#root:commented\nxroot:x1\nadmin:has root:inside\nroot:a:b|c\n", 0640);
    EXPECT_EQ(Secret("root"), "a:b|c");
    EXPECT_EQ(Secret("admin"), "has root:inside");
    qtest::ClearSyslog();
    EXPECT_EQ(Secret("rsync"), "<none>");
    EXPECT_EQ(SLIBErrGet(), ERR_NOT_FOUND);
    EXPECT_TRUE(qtest::SyslogHas("can not get rsync server password!", LOG_ERR));
    SLIBErrSet(0);
    EXPECT_EQ(QAVONetBackupGetServerPasswd("root", out, 5), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    EXPECT_EQ(QAVONetBackupGetServerPasswd("root", out, 6), 0);

    EXPECT_EQ(NetBackupDelSecret("root"), 0);
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_SECRETS),
              "#root:commented\nxroot:x1\nadmin:has root:inside\n");

    ASSERT_EQ(chmod(QAVO_NETBKP_SECRETS, 0666), 0);
    EXPECT_EQ(QAVONetBackupRsyncdSecretsReset("rsync", "fresh"), 0);
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_SECRETS), "rsync:fresh\n");
    ExpectSecretsFileMode();
    EXPECT_EQ(QAVONetBackupRsyncdSecretsReset("rsync", "two\nlines"), -1);
    EXPECT_EQ(QAVONetBackupRsyncdSecretsReset("", "x"), -1);
    EXPECT_EQ(qtest::ReadFile(QAVO_NETBKP_SECRETS), "rsync:fresh\n");
}

TEST(NetBkpAccounts, AuthUsersAndPasswordHash) {
    for (const char *name : {"root", "admin", "rsync", "ADMIN", "RSync"})
        EXPECT_EQ(BlQAVONetBkpIsAuthUser(name), 1) << name;
    for (const char *name : {"guest", "", "rsync2", "roo", "nobody"})
        EXPECT_EQ(BlQAVONetBkpIsAuthUser(name), 0) << name;
    EXPECT_EQ(BlQAVONetBkpIsAuthUser(nullptr), 0);

    char hash[14];
    memset(hash, 'x', sizeof(hash));
    ASSERT_EQ(QAVONetBkpCryptPass("password", hash, sizeof(hash)), 0);
    EXPECT_STREQ(hash, "vaIfwXyNOS5qo");
    SLIBErrSet(0);
    EXPECT_EQ(QAVONetBkpCryptPass("password", hash, 13), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    EXPECT_EQ(QAVONetBkpCryptPass(nullptr, hash, 14), -1);
    EXPECT_EQ(QAVONetBkpCryptPass("password", nullptr, 14), -1);
    EXPECT_EQ(QAVONetBkpCryptPass("password", hash, -1), -1);
}

TEST(NetBkpEnable, SwitchesAndRunsTheDaemons) {
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "supportssh=\"yes\"\n");
    const std::string rc = "/usr/qavo/etc/rc.d/";
    auto start = Calls{{rc + "S84rsyncd.sh", "start"},
                       {rc + "S85qavonetbkpd.sh", "start"},
                       {rc + "S95sshd.sh", "start"}};
    auto stop = Calls{{rc + "S84rsyncd.sh", "stop"},
                      {rc + "S85qavonetbkpd.sh", "stop"},
                      {rc + "S95sshd.sh", "stop"}};
    qtest::ClearCalls();
    ASSERT_EQ(QAVONetBkpEnable(1), 0);
    EXPECT_EQ(BlQAVONetBkpIsEnabled(), 1);
    EXPECT_EQ(qtest::Calls(), start);
    // Already on: nothing to do.
    qtest::ClearCalls();
    ASSERT_EQ(QAVONetBkpEnable(1), 0);
    EXPECT_TRUE(qtest::Calls().empty());

    // A failing daemon fails the call; the others are still asked.
    qtest::SetStandinStatus("S85qavonetbkpd.sh", 1);
    EXPECT_EQ(QAVONetBkpEnable(0), -1);
    EXPECT_EQ(qtest::Calls(), stop);
    EXPECT_EQ(BlQAVONetBkpIsEnabled(), 0);
    qtest::SetStandinStatus("S85qavonetbkpd.sh", 0);

    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "supportssh=\"no\"\n");
    qtest::ClearCalls();
    ASSERT_EQ(QAVONetBkpEnable(1), 0);
    EXPECT_EQ(qtest::Calls(), (Calls{start[0], start[1]}));

    for (int bad : {-1, 2}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVONetBkpEnable(bad), -1);
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
}

// The rsync daemon's start script, for real: it runs the daemon on the
// sandbox's own loopback and stops it again.
const char kDaemonScript[] = R"(#!/bin/bash
printf '%s\t%s\n' "$0" "$1" >> /sim/calls.log
pidf=/var/run/rsyncd.test.pid
case "$1" in
start)
    rsync --daemon --no-detach --config=/etc/rsyncd.conf </dev/null >/dev/null 2>&1 &
    echo $! > $pidf
    for i in $(seq 200); do
        (echo > /dev/tcp/127.0.0.1/8873) 2>/dev/null && exit 0
        sleep 0.05
    done
    exit 1 ;;
stop)
    [ -f $pidf ] || exit 0
    pid=$(cat $pidf)
    kill $pid 2>/dev/null
    for i in $(seq 200); do
        kill -0 $pid 2>/dev/null || { rm -f $pidf; exit 0; }
        sleep 0.05
    done
    exit 1 ;;
esac
exit 2
)";

// Lists the module as a client: 0 when the daemon lets the login in.
int List(const std::string &user, const std::string &password) {
    return qtest::Sh(
        "RSYNC_PASSWORD='" + password + "' rsync --contimeout=5 --timeout=10 rsync://" +
        (user.empty() ? "" : user + "@") + "127.0.0.1:8873/NetBackup/ </dev/null >/dev/null 2>&1");
}

TEST(NetBkpDaemon, ClientLoginsFollowTheAccounts) {
    if (qtest::Sh("command -v rsync >/dev/null") != 0) GTEST_SKIP() << "rsync is not installed";
    qtest::Sh("mkdir -p /volume1/NetBackup /var/run && echo data > /volume1/NetBackup/file");
    qtest::WriteFile(kRsyncd, kDaemonScript, 0755);
    qtest::WriteFile(QAVO_NETBKP_RSYNCD_CONF, kModule);
    ASSERT_EQ(qtest::Exec({kRsyncd, "start"}), 0);
    ASSERT_EQ(BlSLIBProcIsRunning("rsync --daemon"), 1);
    // Without accounts the module is open to anyone.
    EXPECT_EQ(List("", ""), 0);

    // The secret as the account code stores it: the password's hash and its
    // enciphered stored form.
    char hash[64], hex[64];
    ASSERT_EQ(QAVONetBkpCryptPass("Pa55word", hash, sizeof(hash)), 0);
    ASSERT_EQ(QAVOStrCryptHex("Pa55word", hex, sizeof(hex)), 0);
    const std::string secret = std::string(hash) + "|" + hex;

    qtest::ClearCalls();
    ASSERT_EQ(QAVONetBackupSetServerPasswd(nullptr, "rsync", secret.c_str(), 1), 0);
    EXPECT_EQ(qtest::Calls(), (Calls{{kRsyncd, "stop"}, {kRsyncd, "start"}}));
    EXPECT_EQ(List("rsync", secret), 0);
    EXPECT_NE(List("rsync", secret + "x"), 0);
    EXPECT_NE(List("rsync", "Pa55word"), 0);
    EXPECT_NE(List("", ""), 0);

    // The last account deleted: nobody gets in, anonymous listings neither.
    ASSERT_EQ(QAVONetBackupSetServerPasswd("rsync", nullptr, nullptr, 3), 0);
    ASSERT_EQ(BlSLIBProcIsRunning("rsync --daemon"), 1);
    EXPECT_NE(List("", ""), 0);
    EXPECT_NE(List("rsync", secret), 0);
    EXPECT_NE(List("nobody", ""), 0);
    EXPECT_EQ(qtest::Exec({"rsync", "--contimeout=5", "rsync://127.0.0.1:8873/"}), 0)
        << "the daemon answers";

    // A failed change starts the daemon again all the same.
    qtest::RemoveFile(QAVO_NETBKP_SECRETS);
    ASSERT_EQ(mkdir(QAVO_NETBKP_SECRETS, 0700), 0);
    qtest::ClearCalls();
    EXPECT_EQ(QAVONetBackupSetServerPasswd(nullptr, "rsync", secret.c_str(), 1), -1);
    EXPECT_EQ(qtest::Calls(), (Calls{{kRsyncd, "stop"}, {kRsyncd, "start"}}));
    EXPECT_EQ(BlSLIBProcIsRunning("rsync --daemon"), 1);
    EXPECT_EQ(qtest::Exec({kRsyncd, "stop"}), 0);
}

}  // namespace
