#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_netservice.h"
#include "services_support.h"
#include "slib_errcode.h"
#include "slib_lock.h"

namespace {

using svctest::RunningPid;
using svctest::ServiceCalls;
using svctest::SetKey;
using svctest::SignalsOf;
using Strings = std::vector<std::string>;

// Every service enabled that the switch asks about.
void EnableAll() {
    for (const char *key : {"runsamba", "runftpd", "runnetbkp", "runmysql", "runmediaservice",
                            "runweb", "runphoto", "download_enabled"}) {
        SetKey(key, "yes");
    }
}

bool Exists(const std::string &path) {
    return qtest::FileExists(path);
}

TEST(NetService, AllBitsStartAndStopRunEveryServiceOnceInOrder) {
    EnableAll();
    const int started = QAVONetService(NETSERV_ALL, NETSERV_START);
    EXPECT_EQ(ServiceCalls(),
              (Strings{"S81atalk.sh start", "smbd -D", "nmbd -D", "S99ftpd.sh start",
                       "S20pgsql.sh start", "S21mysql.sh start", "S25download.sh start",
                       "S66qavoindexd.sh start", "S86qavodms.sh start", "S99iTunes.sh start",
                       "S84rsyncd.sh start", "S85qavonetbkpd.sh start", "S97apache-user.sh start",
                       "S55lpd.sh start", "S04crond.sh start", "S77qavomkthumbd.sh start"}));
    EXPECT_EQ(started, 0xFBFD);  // every result bit
    for (const char *name : {"smbd", "nmbd", "afpd", "papd", "ftpd", "httpd-user", "scheduler"})
        EXPECT_NE(RunningPid(name), 0) << name;

    qtest::ClearCalls();
    const int stopped = QAVONetService(NETSERV_ALL, NETSERV_STOP);
    EXPECT_EQ(ServiceCalls(),
              (Strings{"S81atalk.sh stop", "S99iTunes.sh stop", "S86qavodms.sh stop",
                       "S66qavoindexd.sh stop", "S25download.sh stop", "S20pgsql.sh stop",
                       "S21mysql.sh stop", "S84rsyncd.sh stop", "S85qavonetbkpd.sh stop",
                       "S97apache-user.sh stop", "S55lpd.sh stop", "S04crond.sh stop",
                       "S77qavomkthumbd.sh stop"}));
    EXPECT_EQ(stopped, 0xFBFD);
    for (const char *name : {"smbd", "nmbd", "afpd", "ftpd", "httpd-user", "scheduler"})
        EXPECT_FALSE(BlSLIBProcExist((std::string("/usr/qavo/sbin/") + name).c_str())) << name;
    // smbd and ftpd get SIGKILL at once: nothing they could record.
    EXPECT_TRUE(SignalsOf("smbd").empty());
    EXPECT_TRUE(SignalsOf("ftpd").empty());
}

TEST(NetService, DisabledServicesStartNothingAndSmbStillResetsTheShareCache) {
    SetKey("runsamba", "no");
    SetKey("runftpd", "no");
    SetKey("runnetbkp", "no");
    for (int action : {NETSERV_START, NETSERV_RESTART, NETSERV_RELOAD}) {
        mkdir("/tmp/webfm", 0755);
        qtest::WriteFile("/tmp/webfm/admin.webfm.domain.validshare", "x");
        qtest::WriteFile("/tmp/webfm/admin.webfm.other", "x");
        qtest::ClearCalls();
        EXPECT_EQ(QAVONetService(NETSERV_SMB | NETSERV_FTP | NETSERV_NETBKP, action), 0) << action;
        EXPECT_TRUE(ServiceCalls().empty()) << action;
        EXPECT_FALSE(Exists("/tmp/webfm/admin.webfm.domain.validshare")) << action;
        EXPECT_TRUE(Exists("/tmp/webfm/admin.webfm.other")) << action;
    }
}

TEST(NetService, ReloadOfPrinterCronAndThumbnailsRunsNothing) {
    for (uint32_t bit : {NETSERV_LPD, NETSERV_CROND, NETSERV_THUMB}) {
        EXPECT_EQ(QAVONetService(bit, NETSERV_RELOAD), 0) << bit;
    }
    // An action outside 1-4 matches nothing either.
    EXPECT_EQ(QAVONetService(NETSERV_ALL & ~NETSERV_SMB, 7), 0);
    EXPECT_TRUE(ServiceCalls().empty());
}

TEST(NetService, PrinterCronAndThumbnailRowsStopStartAndRestart) {
    struct Case {
        uint32_t bit;
        const char *script;
        int done;
    } cases[] = {{NETSERV_LPD, "S55lpd.sh", NETSERV_DONE_LPD},
                 {NETSERV_CROND, "S04crond.sh", NETSERV_DONE_CROND},
                 {NETSERV_THUMB, "S77qavomkthumbd.sh", NETSERV_DONE_THUMB}};
    for (const Case &c : cases) {
        qtest::ClearCalls();
        EXPECT_EQ(QAVONetService(c.bit, NETSERV_RESTART), c.done);
        // A script's failure status still counts: it ran.
        qtest::SetStandinStatus(c.script, 3);
        EXPECT_EQ(QAVONetService(c.bit, NETSERV_STOP), c.done);
        const std::string s = c.script;
        EXPECT_EQ(ServiceCalls(), (Strings{s + " stop", s + " start", s + " stop"}));
    }
}

TEST(NetService, AfpCountsOnlyAStartScriptThatSucceeded) {
    struct Case {
        const char *what;
        int status;  // -1: the script is missing
        int action;
        int expected;
    } cases[] = {
        {"success", 0, NETSERV_START, NETSERV_DONE_AFP},
        {"failure", 1, NETSERV_START, 0},
        {"cannot run", 255, NETSERV_START, 0},
        {"missing", -1, NETSERV_START, 0},
        {"restart success", 0, NETSERV_RESTART, NETSERV_DONE_AFP},
        {"restart missing", -1, NETSERV_RESTART, 0},
        {"stop failure", 2, NETSERV_STOP, 0},
    };
    const std::string script = "/usr/qavo/etc/rc.d/S81atalk.sh";
    const std::string body = qtest::ReadFile(script);
    for (const Case &c : cases) {
        qtest::WriteFile(script, body, 0755);
        qtest::SetStandinStatus("S81atalk.sh", c.status < 0 ? 0 : c.status);
        if (c.status < 0) qtest::RemoveFile(script);
        EXPECT_EQ(QAVONetService(NETSERV_AFP, c.action), c.expected) << c.what;
    }
}

TEST(NetService, ReloadSignalsTheRunningDaemons) {
    SetKey("runsamba", "yes");
    SetKey("runftpd", "yes");
    SetKey("runafp", "yes");
    qtest::WriteFile("/usr/qavo/etc/afpd.conf",
                     "appliance -tcp -noddp -uamlist uams_guest.so -nouservol\n");
    for (const char *name : {"smbd", "ftpd", "atalkd", "afpd", "papd", "httpd-user"})
        ASSERT_EQ(svctest::StartDaemon(name), 0) << name;

    EXPECT_EQ(ErrServiceHup(), NETSERV_DONE_AFP | NETSERV_DONE_SMB | NETSERV_DONE_FTP);
    EXPECT_EQ(QAVONetService(NETSERV_USERWEB, NETSERV_RELOAD), NETSERV_DONE_USERWEB);
    for (const char *name : {"smbd", "ftpd", "afpd", "papd", "httpd-user"})
        EXPECT_EQ(SignalsOf(name), Strings{"SIGHUP"}) << name;
    EXPECT_TRUE(SignalsOf("atalkd").empty());

    // Mask bit 0x4 reloads FTP, 0x10 AFP; nothing else.
    EXPECT_EQ(ErrServiceHupByMask(0x4), NETSERV_DONE_FTP);
    EXPECT_EQ(ErrServiceHupByMask(0x10), NETSERV_DONE_AFP);
    EXPECT_EQ(SignalsOf("ftpd"), (Strings{"SIGHUP", "SIGHUP"}));
    EXPECT_EQ(SignalsOf("smbd"), Strings{"SIGHUP"});

    // With no AFP transport configured AFP is not reloaded.
    qtest::WriteFile("/usr/qavo/etc/afpd.conf",
                     "appliance -notcp -noddp -uamlist uams_guest.so -nouservol\n");
    EXPECT_EQ(ErrServiceHupByMask(0x10), 0);
    EXPECT_EQ(SignalsOf("afpd").size(), 2u);
}

// A pid file that names no daemon must not become a signal to every process
// (-1), the caller's group (0), init or the caller.
TEST(NetService, ReloadThroughADamagedPidFileSignalsNothing) {
    SetKey("runsamba", "yes");
    ASSERT_EQ(svctest::StartDaemon("smbd"), 0);
    ASSERT_EQ(svctest::StartDaemon("httpd-user"), 0);
    const std::string self = std::to_string(getpid());
    for (const std::string &content : {std::string("-1"), std::string("0"), std::string("1"), self,
                                       std::string(""), std::string("999999")}) {
        qtest::WriteFile("/var/run/smbd.pid", content + "\n");
        qtest::WriteFile("/var/run/httpd-user.pid", content + "\n");
        EXPECT_EQ(QAVONetService(NETSERV_SMB | NETSERV_USERWEB, NETSERV_RELOAD), 0) << content;
    }
    EXPECT_TRUE(SignalsOf("smbd").empty());
    EXPECT_TRUE(SignalsOf("httpd-user").empty());
}

// A process started with argv, once it runs under that command line.
pid_t Started(const std::vector<std::string> &argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    std::string want;
    for (const auto &a : argv)
        want += a + '\0';
    for (int i = 0; i < 500 && qtest::ReadFile("/proc/" + std::to_string(pid) + "/cmdline") != want;
         ++i)
        usleep(2000);
    return pid;
}

TEST(NetService, StoppingSmbAndFtpSparesProcessesThatOnlyMentionThem) {
    SetKey("runsamba", "yes");
    SetKey("runftpd", "yes");
    for (const char *name : {"smbd", "nmbd", "ftpd"})
        ASSERT_EQ(svctest::StartDaemon(name), 0);
    const int smbd = RunningPid("smbd"), ftpd = RunningPid("ftpd");
    qtest::WriteFile("/var/log/smbd.log", "");
    const std::vector<pid_t> bystanders = {
        Started({"tail", "-f", "/var/log/smbd.log"}),
        Started({"/bin/sh", "-c", "sleep 60; :", "smbd"}),
        Started({"/bin/sh", "-c", "sleep 60; : ftpd"}),
    };
    const pid_t rotator = svctest::SleepingAs("ftpd-log-rotator");
    EXPECT_EQ(QAVONetService(NETSERV_SMB | NETSERV_FTP, NETSERV_STOP),
              NETSERV_DONE_SMB | NETSERV_DONE_FTP);
    EXPECT_FALSE(svctest::ProcessRuns(smbd));
    EXPECT_FALSE(svctest::ProcessRuns(ftpd));
    for (pid_t p : bystanders)
        EXPECT_EQ(waitpid(p, nullptr, WNOHANG), 0) << p;
    EXPECT_EQ(waitpid(rotator, nullptr, WNOHANG), 0);
    for (pid_t p : bystanders) {
        kill(-p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    kill(rotator, SIGKILL);
    waitpid(rotator, nullptr, 0);
}

// A stale pid file naming another process: that process gets no signal.
TEST(NetService, ReloadThroughAStalePidFileSignalsNoOtherProcess) {
    SetKey("runsamba", "yes");
    ASSERT_EQ(svctest::StartDaemon("smbd"), 0);
    ASSERT_EQ(svctest::StartDaemon("nmbd"), 0);
    const pid_t other = Started({"/bin/sleep", "60"});
    for (const int pid : {static_cast<int>(other), RunningPid("nmbd")}) {
        qtest::WriteFile("/var/run/smbd.pid", std::to_string(pid) + "\n");
        QAVONetService(NETSERV_SMB, NETSERV_RELOAD);
    }
    EXPECT_TRUE(SignalsOf("smbd").empty());
    EXPECT_TRUE(SignalsOf("nmbd").empty());
    usleep(100000);
    EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0) << "the process got a signal";
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
}

TEST(NetService, RestartReplacesTheSmbAndFtpDaemons) {
    SetKey("runsamba", "yes");
    SetKey("runftpd", "yes");
    for (const char *name : {"smbd", "nmbd", "ftpd"})
        ASSERT_EQ(svctest::StartDaemon(name), 0);
    const int smbd = RunningPid("smbd"), nmbd = RunningPid("nmbd"), ftpd = RunningPid("ftpd");
    qtest::ClearCalls();
    EXPECT_EQ(QAVONetService(NETSERV_SMB | NETSERV_FTP, NETSERV_RESTART),
              NETSERV_DONE_SMB | NETSERV_DONE_FTP);
    EXPECT_EQ(ServiceCalls(), (Strings{"smbd -D", "nmbd -D", "S99ftpd.sh start"}));
    // The old daemons are gone (SIGTERM, then SIGKILL for what is left),
    // new ones run.
    for (int old : {smbd, nmbd, ftpd})
        EXPECT_FALSE(svctest::ProcessRuns(old)) << old;
    for (const char *name : {"smbd", "nmbd", "ftpd"})
        EXPECT_NE(RunningPid(name), 0) << name;
}

TEST(NetService, PackageRowsRestartAroundTheDatabasesAndSingleBitsActAlone) {
    EXPECT_EQ(QAVONetService(NETSERV_PACKAGES | NETSERV_MEDIA, NETSERV_RESTART), 0);
    EXPECT_EQ(ServiceCalls(),
              (Strings{"S99iTunes.sh stop", "S86qavodms.sh stop", "S66qavoindexd.sh stop",
                       "S25download.sh stop", "S20pgsql.sh restart", "S21mysql.sh restart",
                       "S25download.sh start", "S66qavoindexd.sh start", "S86qavodms.sh start",
                       "S99iTunes.sh start"}));
    qtest::ClearCalls();
    EXPECT_EQ(QAVONetService(NETSERV_MEDIA | NETSERV_ITUNES | NETSERV_INDEX | NETSERV_DOWNLOAD,
                             NETSERV_RELOAD),
              NETSERV_DONE_MEDIA | NETSERV_DONE_ITUNES | NETSERV_DONE_INDEX);
    EXPECT_EQ(ServiceCalls(), (Strings{"S86qavodms.sh restart", "S99iTunes.sh restart",
                                       "S66qavoindexd.sh restart"}));
}

TEST(NetService, EmptyMaskAndBadReloadMasksAreRefused) {
    EXPECT_EQ(QAVONetService(0, NETSERV_START), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    EXPECT_TRUE(qtest::SyslogHas("QAVONetService", LOG_ERR));
    for (int mask : {0, -1, 0x8}) {
        SLIBErrSet(0);
        EXPECT_EQ(ErrServiceHupByMask(mask), -1) << mask;
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS)) << mask;
    }
    EXPECT_TRUE(qtest::SyslogHas(" bad parameter", LOG_ERR));
    EXPECT_TRUE(ServiceCalls().empty());
}

TEST(NetService, CallerHoldingALockSharedFailsAtOnceAndAnExclusiveHoldNests) {
    for (uint32_t lock : {SLIB_LOCK_QAVOINFO, SLIB_LOCK_APPLE, SLIB_LOCK_SMB}) {
        ASSERT_EQ(ErrSLIBFileLock(lock | SLIB_LOCK_SH, 0), 0);
        SLIBErrSet(0);
        EXPECT_EQ(QAVONetService(NETSERV_CROND, NETSERV_START), -1) << lock;
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_LOCK_FAILED)) << lock;
        ASSERT_EQ(SLIBErrSLIBFileUnlock(lock), 0);

        ASSERT_EQ(ErrSLIBFileLock(lock | SLIB_LOCK_EX, 0), 0);
        EXPECT_EQ(QAVONetService(NETSERV_CROND, NETSERV_START), NETSERV_DONE_CROND) << lock;
        ASSERT_EQ(SLIBErrSLIBFileUnlock(lock), 0);
    }
    EXPECT_EQ(ServiceCalls(), (Strings(3, "S04crond.sh start")));
    // Every hold was given back: another process takes the locks at once.
    EXPECT_EQ(qtest::Sh("flock -n -x /tmp/lock/lock_smb true && flock -n -x /tmp/lock/lock_apple "
                        "true && flock -n -x /tmp/lock/lock_qavoinfo true"),
              0);
}

TEST(NetService, RunKeysAndFtpSwitch) {
    struct Case {
        const char *key;
        const char *value;  // nullptr: absent
        int expected;
    } cases[] = {
        {"runx", "yes", 1}, {"runx", "NO", 0},     {"runx", "Yes", 1},  {"runx", "maybe", -1},
        {"runx", "", -1},   {"runx", nullptr, -1}, {"xrun", "yes", -1}, {"", "yes", -1},
    };
    for (const Case &c : cases) {
        SLIBFileRemoveKey(SLIB_QAVOINFO_PATH, "runx");
        if (c.value) SetKey(c.key[0] ? c.key : "runx", c.value);
        EXPECT_EQ(QAVOINFORunKeyGet(c.key), c.expected)
            << c.key << "=" << (c.value ? c.value : "-");
    }
    EXPECT_EQ(QAVOINFORunKeyGet(nullptr), -1);
    SetKey("runftpd", "YES");
    EXPECT_EQ(BlQAVOFTPIsEnabled(), 1);
    SetKey("runftpd", "yes please");
    EXPECT_EQ(BlQAVOFTPIsEnabled(), 0);
}

using Ids = std::vector<uint32_t>;

TEST(NetServiceEvents, AllServicesStartAndStopRecordEachEnabledService) {
    EnableAll();
    ASSERT_EQ(ErrNetServiceStart(), 0);
    ASSERT_EQ(ErrNetServiceStop(), 0);
    EXPECT_EQ(
        svctest::SystemLogEvents(),
        (Ids{0x11B00002, 0x11B00400, 0x11B00500, 0x12100111, 0x12900001, 0x11B00300, 0x11B00200,
             0x11B00006, 0x11B00401, 0x11B00501, 0x12100112, 0x12900002, 0x11B00301, 0x11B00201}));
}

TEST(NetServiceEvents, MissingResultBitsRecordNotDoneAndDisabledServicesNothing) {
    struct Case {
        const char *what;
        bool all;  // every service enabled, else only the photo service
        int action;
        uint32_t result;
        Ids expected;
    } cases[] = {
        {"photo stop without the user web server",
         false,
         NETSERV_STOP,
         NETSERV_DONE_PGSQL,
         {0x11B00205}},
        {"photo stop done",
         false,
         NETSERV_STOP,
         NETSERV_DONE_PGSQL | NETSERV_DONE_USERWEB,
         {0x11B00201}},
        {"nothing started",
         true,
         NETSERV_START,
         0,
         {0x11B00000, 0x11B00402, 0x11B00503, 0x12100113, 0x12900021, 0x11B00303, 0x11B00204}},
        {"nothing stopped",
         true,
         NETSERV_STOP,
         0,
         {0x11B00014, 0x11B00403, 0x11B00504, 0x12100114, 0x12900022, 0x11B00304, 0x11B00205}},
        {"media and user web without the database",
         true,
         NETSERV_START,
         NETSERV_DONE_MEDIA | NETSERV_DONE_USERWEB,
         {0x11B00000, 0x11B00402, 0x11B00503, 0x12100113, 0x12900021, 0x11B00300, 0x11B00204}},
    };
    EXPECT_EQ(SDKINetServEventLog(NETSERV_START, 0), 0);
    EXPECT_TRUE(svctest::SystemLogEvents().empty()) << "nothing is enabled";
    SetKey("runphoto", "yes");
    for (const Case &c : cases) {
        if (c.all) EnableAll();
        qtest::RemoveFile("/var/log/qavosys.log");
        EXPECT_EQ(SDKINetServEventLog(c.action, c.result), 0) << c.what;
        EXPECT_EQ(svctest::SystemLogEvents(), c.expected) << c.what;
    }
    EXPECT_EQ(SDKINetServEventLog(NETSERV_RESTART, 0), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST(NetServiceEvents, FailedSwitchRecordsNothingAndFails) {
    EnableAll();
    ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_SMB | SLIB_LOCK_SH, 0), 0);
    EXPECT_EQ(ErrNetServiceStart(), -1);
    EXPECT_EQ(ErrNetServiceStop(), -1);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_SMB);
    EXPECT_TRUE(qtest::SyslogHas("ErrNetServiceStart", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("ErrNetServiceStop", LOG_ERR));
    EXPECT_TRUE(svctest::SystemLogEvents().empty());
    EXPECT_TRUE(ServiceCalls().empty());
}

// Children of the test: a process named by its argv[0], reaped by the test.
pid_t SpawnNamed(const char *name, uid_t uid = 0) {
    pid_t pid = fork();
    if (pid == 0) {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                         setresuid(uid, uid, uid) != 0)) {
            _exit(127);
        }
        execl("/bin/sleep", name, "100", static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

TEST(ProcKillAll, KillsEveryProcessOfTheNameAndSkipsZombies) {
    std::vector<pid_t> kids;
    for (int i = 0; i < 3; ++i)
        kids.push_back(SpawnNamed("qkill-target"));
    // A zombie of the name: dead, only its parent (the test) can reap it.
    pid_t zombie = fork();
    if (zombie == 0) {
        prctl(PR_SET_NAME, "qkill-target");
        _exit(0);
    }
    while (SLIBProcGetPidsByName("qkill-target", nullptr, 0) < 4)
        usleep(10000);
    usleep(50000);
    EXPECT_EQ(SDKIProcKillAll("qkill-target"), 0);
    for (pid_t k : kids) {
        int status = 0;
        EXPECT_EQ(waitpid(k, &status, 0), k);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
    waitpid(zombie, nullptr, 0);
    EXPECT_EQ(SDKIProcKillAll("qkill-target"), 0);
}

TEST(ProcKillAll, EmptyNameIsRefusedAndAProcessThatCannotBeKilledFailsTheCall) {
    EXPECT_EQ(SDKIProcKillAll(""), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    EXPECT_EQ(SDKIProcKillAll(nullptr), -1);

    // The target belongs to another user; the killer, an ordinary user,
    // gets EPERM for ever.
    pid_t target = SpawnNamed("qkill-guarded", 4001);
    while (SLIBProcGetPidsByName("qkill-guarded", nullptr, 0) < 1)
        usleep(10000);
    pid_t killer = fork();
    if (killer == 0) {
        if (setresuid(4002, 4002, 4002) != 0) _exit(3);
        const int r = SDKIProcKillAll("qkill-guarded");
        _exit(r == -1 && SLIBErrGet() == ERR_SYSTEM_CALL ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(killer, &status, 0), killer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(kill(target, 0), 0) << "the target was killed";
    kill(target, SIGKILL);
    waitpid(target, nullptr, 0);
}

}  // namespace
