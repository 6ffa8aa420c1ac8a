#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "appliance.h"
#include "netbkp_server.h"
#include "qavo_netbkprun.h"
#include "qavo_netbkptask.h"
#include "slib_errcode.h"
#include "slib_szlist.h"

namespace {

using bkptest::BackupServer;
using bkptest::CallsOf;
using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

const char *const kPass = SZF_NETBKP_RESTORE_PASS;

std::string Lookup(const char *name, int *result) {
    char ip[16] = "";
    *result = QAVONetBkpLookupIP(name, ip, sizeof ip);
    return ip;
}

TEST(NetBkpLookup, NamesResolveToTheirFirstIPv4Address) {
    BackupServer server;
    struct Case {
        const char *name;
        int result;
        const char *ip;
    } cases[] = {
        {"backup.example.test", 0, "192.0.2.2"},  // A and AAAA: the IPv4 one
        {"BACKUP.example.test", 0, "192.0.2.2"},
        {"v6only.example.test", -1, ""},   // an answer without IPv4 (not the server's line)
        {"missing.example.test", -1, ""},  // NXDOMAIN
        {"192.0.2.77", 0, "192.0.2.77"},   // an address is its own answer
        {"-debug.example.test", -1, ""},   // never an option of nslookup
        {"a;b.example.test", -1, ""},
        {"", -1, ""},
    };
    for (const Case &c : cases) {
        int r = 0;
        const std::string ip = Lookup(c.name, &r);
        EXPECT_EQ(r, c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(ip, c.ip) << c.name;
        }
    }
    EXPECT_TRUE(qtest::SyslogHas("can't find host[missing.example.test]"));
    char small[8];
    EXPECT_EQ(QAVONetBkpLookupIP("backup.example.test", small, sizeof small), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST(NetBkpLookup, NetBiosNamesGoToNmblookup) {
    qtest::SetStandinOutput("nmblookup",
                            "querying BKPHOST on 192.0.2.255\n192.0.2.5 BKPHOST#00\n"
                            "192.0.2.6 BKPHOST#00\n");
    int r = 0;
    EXPECT_EQ(Lookup("BKPHOST", &r), "192.0.2.5");
    EXPECT_EQ(r, 0);
    const auto calls = CallsOf("/usr/qavo/bin/nmblookup");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::vector<std::string>{"BKPHOST"});

    qtest::SetStandinOutput("nmblookup", "name_query failed to find name OTHER\n");
    Lookup("OTHER", &r);
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(qtest::SyslogHas("ip format error"));
}

TEST(NetBkpReach, ProbesTheRsyncPort) {
    BackupServer server;
    EXPECT_EQ(BlQAVONetBkpIsServerReachable("192.0.2.2"), 1);
    EXPECT_EQ(BlQAVONetBkpIsServerReachable("*192.0.2.2"), 1);
    EXPECT_EQ(BlQAVONetBkpIsServerReachable("*backup.example.test"), 1);
    EXPECT_EQ(BlQAVONetBkpIsServerReachable("missing.example.test"), 0);
    EXPECT_EQ(BlQAVONetBkpIsServerReachable(nullptr), 0);
    server.StopDaemon();
    EXPECT_EQ(BlQAVONetBkpIsServerReachable("192.0.2.2"), 0);
}

TEST(NetBkpUiStatus, FollowsReachabilityAndTheQueues) {
    BackupServer server;
    WriteFile(
        SZF_NETBKP_CONF,
        "[Photo]\n\tbkp_server=\"*backup.example.test\"\n[Docs]\n\tbkp_server=\"192.0.2.2\"\n");
    auto status = [] { return QAVONetBkpGetUiStatus("Photo"); };
    EXPECT_EQ(status(), NETBKP_UI_IDLE);
    WriteFile(SZF_NETBKP_QUEUE, "Photo\nDocs\n");
    EXPECT_EQ(status(), NETBKP_UI_RUNNING);
    WriteFile(SZF_NETBKP_QUEUE, "Docs\nPhoto\n");
    EXPECT_EQ(status(), NETBKP_UI_QUEUED);
    WriteFile(SZF_NETBKP_QUEUE, "Docs\n");
    WriteFile(SZF_NETBKP_QUEUE_WAIT, "Music\nPhoto\n");
    EXPECT_EQ(status(), NETBKP_UI_QUEUED);
    WriteFile(SZF_NETBKP_QUEUE_WAIT, "Photos\n");  // whole lines only
    EXPECT_EQ(status(), NETBKP_UI_IDLE);
    server.StopDaemon();
    EXPECT_EQ(status(), NETBKP_UI_UNREACHABLE);
    EXPECT_EQ(QAVONetBkpGetUiStatus("None"), -1);
    EXPECT_EQ(QAVONetBkpGetUiStatus(nullptr), -1);
    EXPECT_TRUE(qtest::SyslogHas("wrong parameter!"));
}

TEST(NetBkpPassfile, CreatedAnewPrivateAndNeverThroughALink) {
    WriteFile("/etc/victim", "keep\n");
    ASSERT_EQ(symlink("/etc/victim", kPass), 0);
    ASSERT_EQ(QAVONetBkpGenPassfile("pa ss'$(x)", kPass), 0);
    EXPECT_EQ(ReadFile("/etc/victim"), "keep\n");
    EXPECT_EQ(ReadFile(kPass), "pa ss'$(x)\n");
    struct stat st;
    ASSERT_EQ(lstat(kPass, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(QAVONetBkpGenPassfile("two\nlines", kPass), -1);
    EXPECT_EQ(QAVONetBkpGenPassfile("x", "/nonexistent/dir/pass"), -1);
    EXPECT_TRUE(qtest::SyslogHas("open(/nonexistent/dir/pass, O_CREAT"));
}

TEST(NetBkpLogin, RealDaemonCodesPassThrough) {
    BackupServer server({"root:Secret-1", "admin:p'\"; $(touch /tmp/x)"});
    auto test = [](const char *user, const char *pass, const char *module = "NetBackup") {
        return QAVONetBkpTestRsyncServer("192.0.2.2", user, pass, kPass, module, 0);
    };
    EXPECT_EQ(test("root", "Secret-1"), 0);
    EXPECT_FALSE(FileExists(kPass));  // removed after use
    EXPECT_EQ(test("admin", "p'\"; $(touch /tmp/x)"), 0);
    EXPECT_EQ(test("root", "wrong"), 5);
    EXPECT_EQ(test("root", "Secret-1", "NoSuchModule"), 5);
    EXPECT_EQ(
        QAVONetBkpCheckSetting("backup.example.test", "root", "Secret-1", kPass, "NetBackup", 0),
        0);
    EXPECT_EQ(QAVONetBkpCheckSetting("192.0.2.2", "root", "wrong", kPass, "NetBackup", 0), 5);
    EXPECT_TRUE(qtest::SyslogHas("QAVONetBkpTestRsyncServer(szIp=[192.0.2.2]) return 5"));
    server.StopDaemon();
    EXPECT_EQ(test("root", "Secret-1"), 10);
    EXPECT_EQ(QAVONetBkpCheckSetting("192.0.2.2", "root", "Secret-1", kPass, "NetBackup", 0), 42);
    EXPECT_FALSE(FileExists("/tmp/x"));
}

TEST(NetBkpLogin, HostileTextsNeverReachAShell) {
    BackupServer server;
    // Shell text is only text: the server refuses such an account or module.
    for (const char *h : {"$(touch x)", "a;touch x", "`touch x`", "\"q\"'"}) {
        EXPECT_EQ(QAVONetBkpTestRsyncServer("192.0.2.2", h, "pw", kPass, "NetBackup", 0), 5) << h;
        EXPECT_EQ(QAVONetBkpTestRsyncServer("192.0.2.2", "root", "pw", kPass, h, 0), 5) << h;
    }
    // What rsync would take for an option, an account, a host or a path is refused.
    for (const char *h : {"-e touch /tmp/x", "a/b", "a@b", "a:b", "a\nb", ""}) {
        EXPECT_EQ(QAVONetBkpTestRsyncServer("192.0.2.2", h, "pw", kPass, "NetBackup", 0), -1) << h;
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
        EXPECT_EQ(QAVONetBkpTestRsyncServer("192.0.2.2", "root", "pw", kPass, h, 0), -1) << h;
    }
    for (const char *h : {"$(touch /tmp/x)", "a;b", "-host", "a b", "root@192.0.2.2", "h:873"}) {
        EXPECT_EQ(QAVONetBkpTestRsyncServer(h, "root", "pw", kPass, "NetBackup", 0), -1) << h;
        PSLIBSZLIST list = nullptr;
        EXPECT_EQ(QAVONetBkpListDir("root", h, "NetBackup", &list), -1) << h;
        EXPECT_EQ(
            QAVONetBkpListDir("root", "192.0.2.2", (std::string("NetBackup/") + h).c_str(), &list),
            -1)
            << h;
        SLIBSzListFree(list);
    }
    EXPECT_EQ(QAVONetBkpTestRsyncServer("192.0.2.2", "root", "pw", "/tmp/a b", "NetBackup", 0), -1);
    EXPECT_FALSE(FileExists("/tmp/x"));
    EXPECT_FALSE(FileExists("/x"));
}

TEST(NetBkpLogin, SshVariantMapsItsCodes) {
    BackupServer server;
    WriteFile("/etc.defaults/qavoinfo.conf", "supportssh=\"yes\"\n");
    auto test = [](int trySsh) {
        return QAVONetBkpTestRsyncServer("192.0.2.2", "root", "wrong", kPass, "NetBackup", trySsh);
    };
    // Success needs no second try; a failure without trySsh is rsync's own.
    EXPECT_EQ(QAVONetBkpTestRsyncServer("192.0.2.2", "root", "Secret-1", kPass, "NetBackup", 1), 0);
    EXPECT_EQ(test(0), 5);
    EXPECT_TRUE(CallsOf("/usr/qavo/bin/ssh").empty());

    qtest::SetStandinStatus("ssh", 43);
    EXPECT_EQ(test(1), 49);
    const auto calls = CallsOf("/usr/qavo/bin/ssh");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"-d", kPass, "-l", "root", "192.0.2.2", "rsync",
                                                  "--server", "--daemon", "."}));
    qtest::SetStandinStatus("ssh", 44);
    EXPECT_EQ(test(1), 44);
    WriteFile("/sim/standin/ssh.signal", "TERM\n");
    EXPECT_EQ(test(1), 40);

    WriteFile("/etc.defaults/qavoinfo.conf", "supportssh=\"no\"\n");
    qtest::ClearCalls();
    EXPECT_EQ(test(1), 5);
    EXPECT_TRUE(CallsOf("/usr/qavo/bin/ssh").empty());
}

TEST(NetBkpList, ParsesListingsAndDecodesEscapes) {
    using namespace std::string_literals;
    WriteFile("/tmp/listing",
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 .\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 ..\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 @eaMeta\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 Photo\n"
              "-rw-r--r--             12 2026/12/10 20:00:00 configbackup.cbk\n"
              "lrwxrwxrwx              4 2026/12/10 20:00:00 link -> Photo\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 a b\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 Fran\\#303\\#247ais\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 \\347\\224\\260\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 bad\\347\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 $(reboot)\n"
              "drwxr-xr-x          4,096 2026/12/10 20:00:00 nul\\#000x\n"
              "drwxr-xr-x no time here\n"
              "drwxr-xr-x 2026/12/10 20:00:00\n" +
                  // a raw NUL: never taken for the folder "a b" before it
                  "drwxr-xr-x          4,096 2026/12/10 20:00:00 a b\0evil\n"s);
    PSLIBSZLIST list = nullptr;
    ASSERT_EQ(QAVONetBkpParseListFile("/tmp/listing", &list), 0);
    const std::vector<std::string> want = {"Photo", "a b",
                                           "Fran\xc3\xa7"
                                           "ais",
                                           "\xe7\x94\xb0"};
    EXPECT_EQ(qtest::Items(list), want);
    SLIBSzListFree(list);
    EXPECT_TRUE(qtest::SyslogHas("format error!!"));
    EXPECT_TRUE(qtest::SyslogHas("no share name [$(reboot)]"));
    list = nullptr;
    EXPECT_EQ(QAVONetBkpParseListFile("/tmp/none", &list), -1);
    SLIBSzListFree(list);
}

TEST(NetBkpList, ListsTheServersFoldersAndFailsOnARefusedListing) {
    BackupServer server;
    for (const char *d :
         {"host/Photo", "host/a b", "host/Fotos-\xc3\xa4", "host/@eaMeta", "host/$(reboot)"})
        BackupServer::MakeDir(d);
    BackupServer::Put("host/configbackup.cbk", "cfg");
    ASSERT_EQ(QAVONetBkpGenPassfile("Secret-1", kPass), 0);
    PSLIBSZLIST list = nullptr;
    ASSERT_EQ(QAVONetBkpListDir("root", "192.0.2.2", "NetBackup/host", &list), 0);
    EXPECT_EQ(qtest::Items(list), (std::vector<std::string>{"Fotos-\xc3\xa4", "Photo", "a b"}));
    SLIBSzListFree(list);

    ASSERT_EQ(QAVONetBkpGenPassfile("wrong", kPass), 0);
    list = nullptr;
    EXPECT_EQ(QAVONetBkpListDir("root", "192.0.2.2", "NetBackup/host", &list), -1);
    EXPECT_TRUE(qtest::SyslogHas("list backup host dir(s) failed!!"));
    SLIBSzListFree(list);
    EXPECT_FALSE(FileExists("/tmp/x"));
    EXPECT_FALSE(FileExists("/tmp/netbkphost.list"));
}

// A process whose command line is what a backup run's is.
pid_t Start(const std::vector<std::string> &argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

TEST(NetBkpCancel, StopsTheRunningRsyncOnly) {
    BackupServer server;
    EXPECT_EQ(QAVONetBkpCancelCurrRsync(), -1);
    ASSERT_EQ(
        qtest::Sh("mkdir -p /volume1/Photo && head -c 2000000 /dev/zero > /volume1/Photo/big"), 0);
    ASSERT_EQ(QAVONetBkpGenPassfile("Secret-1", kPass), 0);
    const pid_t run = Start({"/usr/bin/rsync", "-a", "-W", "--delete", "--timeout=600",
                             "--bwlimit=20", std::string("--password-file=") + kPass,
                             "/volume1/Photo/", "root@192.0.2.2::NetBackup/Photo/"});
    // A shell naming the same command line, started later: not the run.
    const pid_t decoy =
        Start({"/bin/bash", "-c", "sleep 60; :", "rsync -a -W --delete --timeout=600"});
    ASSERT_GT(run, 0);
    ASSERT_GT(decoy, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(QAVONetBkpCancelCurrRsync(), 0);
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == SIGTERM
                                    : WEXITSTATUS(status) == 20);  // rsync's own "killed"
    EXPECT_EQ(waitpid(decoy, &status, WNOHANG), 0);
    kill(decoy, SIGKILL);
    waitpid(decoy, nullptr, 0);
}

}  // namespace
