#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_sysquery.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

// Programs started by a test, stopped when it ends.
class Procs {
  public:
    ~Procs() {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Starts path with argv[0] = path and one argument; streams on /dev/null.
    pid_t Start(const std::string &path, const std::string &arg = "600") {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open("/dev/null", O_RDWR);
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(path.c_str(), path.c_str(), arg.c_str(), (char *)nullptr);
            _exit(127);
        }
        pids_.push_back(pid);
        return pid;
    }
    // Waits until n processes show a command line that begins with path.
    static void AwaitCmdline(const std::string &path, int n) {
        for (int i = 0; i < 500; ++i) {
            std::string out;
            qtest::Sh("grep -lsa '^" + path + "' /proc/[0-9]*/cmdline | wc -l", &out);
            if (atoi(out.c_str()) >= n) return;
            usleep(10000);
        }
        FAIL() << "processes of " << path << " did not start";
    }

  private:
    std::vector<pid_t> pids_;
};

// Daemon look-alikes: copies of sleep at the daemons' paths.
void InstallDaemons() {
    mkdir("/usr/qavo/sbin", 0755);
    for (const char *d : {"smbd", "afpd", "ftpd"})
        ASSERT_EQ(qtest::Sh(std::string("cp /usr/bin/sleep /usr/qavo/sbin/") + d), 0);
}

void StartDaemons(Procs &procs, const char *daemon, int n) {
    std::string path = std::string("/usr/qavo/sbin/") + daemon;
    for (int i = 0; i < n; ++i)
        procs.Start(path);
}

TEST(SysQuery, CJKCodePage) {
    struct Case {
        const char *conf;  // nullptr: no smb.conf
        int want;
    } cases[] = {
        {"[global]\n\tclient code page = 932\n", 1},
        {"[global]\n\tclient code page = 936\n", 1},
        {"[global]\n\tclient code page = 949\n", 1},
        {"[global]\n\tclient code page = 950\n", 1},
        {"[global]\n\tclient code page = 437\n", 0},
        {"[global]\n\tclient code page = 9320\n", 0},
        {"[global]\n\tclient code page = 93\n", 0},
        {"[global]\n\tworkgroup = WG\n", 0},
        {nullptr, 0},
    };
    mkdir("/usr/qavo/etc", 0755);
    for (const auto &c : cases) {
        if (c.conf)
            WriteFile("/usr/qavo/etc/smb.conf", c.conf);
        else
            qtest::RemoveFile("/usr/qavo/etc/smb.conf");
        EXPECT_EQ(BlSLIBIsCJKCodePage(), c.want) << (c.conf ? c.conf : "(no file)");
    }
}

TEST(SysQuery, PDCAddress) {
    struct Case {
        const char *file;  // nullptr: no file
        int want;
        const char *address;
        SLIBERRCODE err;
    } cases[] = {
        {"10.0.0.5:pdc.corp.example\n", 1, "10.0.0.5", 0},
        {"192.168.100.200\nsecond line\n", 1, "192.168.100.200", 0},
        {"10.1.1.1", 1, "10.1.1.1", 0},
        {"192.168.100.2001\n", -1, nullptr, ERR_DOMAIN_QUERY},
        {"", -1, nullptr, ERR_READ_FAILED},
        {nullptr, -1, nullptr, ERR_OPEN_FAILED},
    };
    mkdir("/usr/qavo/etc", 0755);
    mkdir("/usr/qavo/etc/private", 0700);
    for (const auto &c : cases) {
        if (c.file)
            WriteFile(SLIB_PDC_IP_PATH, c.file);
        else
            qtest::RemoveFile(SLIB_PDC_IP_PATH);
        char out[SLIB_PDC_ADDRESS_SIZE] = "untouched";
        SLIBErrSet(0);
        EXPECT_EQ(SLIBGetPDCAddress(out), c.want) << (c.file ? c.file : "(no file)");
        if (c.want == 1) {
            EXPECT_STREQ(out, c.address);
        } else {
            EXPECT_EQ(SLIBErrGet(), c.err) << (c.file ? c.file : "(no file)");
        }
    }
    SLIBErrSet(0);
    EXPECT_EQ(SLIBGetPDCAddress(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

// A domain tool that writes down how it was called: its arguments, the
// password variables it sees and what it reads from PASSWD_FD, then exits
// with the status of /tmp/net.status.
class DomainCredential : public ::testing::Test {
  protected:
    void SetUp() override {
        // /usr/local is the host's, read-only: lay a scratch directory over
        // its bin in this sandbox's own mount namespace.
        ASSERT_EQ(mount("tmpfs", "/usr/local/bin", "tmpfs", 0, "mode=0755"), 0) << errno;
        WriteFile(SLIB_DOMAIN_NET_TOOL,
                  "#!/bin/bash\n"
                  "printf '%s\\0' \"$@\" > /tmp/net.args\n"
                  "printf '%s' \"${PASSWD-unset}|${PASSWD_FILE-unset}|${PASSWD_FD-unset}\" "
                  "> /tmp/net.env\n"
                  "if [ -n \"${PASSWD_FD:-}\" ]; then cat <&\"$PASSWD_FD\" > /tmp/net.secret; fi\n"
                  "exit \"$(cat /tmp/net.status 2>/dev/null || echo 0)\"\n",
                  0755);
        mkdir("/usr/qavo/etc", 0755);
        mkdir("/usr/qavo/etc/private", 0700);
        WriteFile(SLIB_PDC_IP_PATH, "10.0.0.5:pdc\n");
    }
    static std::vector<std::string> Args() {
        std::vector<std::string> args;
        std::string raw = ReadFile("/tmp/net.args"), cur;
        for (char ch : raw) {
            if (ch == '\0') {
                args.push_back(cur);
                cur.clear();
            } else {
                cur += ch;
            }
        }
        return args;
    }
};

TEST_F(DomainCredential, PasswordArrivesOnAPipeNeverOnTheCommandLine) {
    // Quotes, $() and backticks that a shell would run.
    const std::string password = "p\"w$(touch /tmp/pwned)`touch /tmp/pwned2`'%x";
    setenv("PASSWD", "inherited", 1);  // would override the pipe if passed on
    setenv("PASSWD_FILE", "/etc/shadow", 1);
    EXPECT_EQ(BlSLIBCheckDomainCredential("alice", password.c_str()), 1);
    unsetenv("PASSWD");
    unsetenv("PASSWD_FILE");

    EXPECT_EQ(Args(), (std::vector<std::string>{"rpc", "user", "info", "-Ualice", "-I10.0.0.5",
                                                "--", "alice"}));
    EXPECT_EQ(ReadFile("/tmp/net.secret"), password);
    EXPECT_EQ(ReadFile("/tmp/net.env"), "unset|unset|0");
    EXPECT_FALSE(FileExists("/tmp/pwned"));
    EXPECT_FALSE(FileExists("/tmp/pwned2"));
}

TEST_F(DomainCredential, HostileUserNamesStayOneArgument) {
    for (const std::string user : {"a\"; touch /tmp/pwned; \"", "-bob", "CORP\\$(id)"}) {
        ASSERT_EQ(BlSLIBCheckDomainCredential(user.c_str(), "pw"), 1) << user;
        EXPECT_EQ(Args(), (std::vector<std::string>{"rpc", "user", "info", "-U" + user,
                                                    "-I10.0.0.5", "--", user}));
    }
    EXPECT_FALSE(FileExists("/tmp/pwned"));
}

TEST_F(DomainCredential, EmptyPasswordIsGivenWithTheUser) {
    EXPECT_EQ(BlSLIBCheckDomainCredential("alice", ""), 1);
    EXPECT_EQ(Args()[3], "-Ualice%");
    EXPECT_EQ(ReadFile("/tmp/net.env"), "unset|unset|unset");
    EXPECT_FALSE(FileExists("/tmp/net.secret"));
}

TEST_F(DomainCredential, RefusedWhenTheToolFails) {
    for (const char *status : {"1", "255"}) {
        WriteFile("/tmp/net.status", status);
        SLIBErrSet(0);
        EXPECT_EQ(BlSLIBCheckDomainCredential("alice", "wrong"), 0) << status;
        EXPECT_EQ(SLIBErrGet(), ERR_NO_SUCH_USER);
    }
    // A tool that is missing is a refusal too.
    qtest::RemoveFile(SLIB_DOMAIN_NET_TOOL);
    qtest::RemoveFile("/tmp/net.status");
    SLIBErrSet(0);
    EXPECT_EQ(BlSLIBCheckDomainCredential("alice", "pw"), 0);
    EXPECT_EQ(SLIBErrGet(), ERR_NO_SUCH_USER);
}

TEST_F(DomainCredential, BadArgumentsAndNoControllerRunNothing) {
    const std::string longPassword(4097, 'x');
    struct Case {
        const char *user, *password;
        SLIBERRCODE err;
    } cases[] = {
        {nullptr, "pw", ERR_BAD_PARAMETERS},
        {"", "pw", ERR_BAD_PARAMETERS},
        {"alice", nullptr, ERR_BAD_PARAMETERS},
        // "%" would start a password of its own, a newline ends the one read.
        {"alice%secret", "pw", ERR_BAD_PARAMETERS},
        {"alice", "secret\nrest", ERR_BAD_PARAMETERS},
        {"alice", longPassword.c_str(), ERR_BAD_PARAMETERS},
    };
    for (const auto &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(BlSLIBCheckDomainCredential(c.user, c.password), 0);
        EXPECT_EQ(SLIBErrGet(), c.err) << (c.user ? c.user : "(null)");
    }
    for (const char *pdc : {static_cast<const char *>(nullptr), "", "100.100.100.1000:x\n"}) {
        if (pdc)
            WriteFile(SLIB_PDC_IP_PATH, pdc);
        else
            qtest::RemoveFile(SLIB_PDC_IP_PATH);
        SLIBErrSet(0);
        EXPECT_EQ(BlSLIBCheckDomainCredential("alice", "pw"), 0);
        EXPECT_EQ(SLIBErrGet(), ERR_NOT_FOUND);
    }
    EXPECT_FALSE(FileExists("/tmp/net.args"));
}

TEST(SysQuery, ConnectionCountLeavesOutTheMasters) {
    InstallDaemons();
    uint32_t count = 99;
    ASSERT_EQ(SLIBGetConnectionCount(&count), 0);
    EXPECT_EQ(count, 0u);  // no daemon at all counts none, not below zero

    Procs procs;
    StartDaemons(procs, "smbd", 3);
    StartDaemons(procs, "afpd", 1);
    StartDaemons(procs, "ftpd", 2);
    Procs::AwaitCmdline("/usr/qavo/sbin/", 6);
    ASSERT_EQ(SLIBGetConnectionCount(&count), 0);
    EXPECT_EQ(count, 2u);

    SLIBErrSet(0);
    EXPECT_EQ(SLIBGetConnectionCount(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(SysQuery, ConnectionLimitDefaultsTo32) {
    // The seed model has no "maxservices".
    ASSERT_EQ(ReadFile("/etc.defaults/qavoinfo.conf").find("maxservices"), std::string::npos);
    InstallDaemons();
    Procs procs;
    StartDaemons(procs, "smbd", 2 + 32);
    Procs::AwaitCmdline("/usr/qavo/sbin/smbd", 34);
    EXPECT_EQ(SLIBCheckConnectionLimit(5, 0), 32);
    SLIBErrSet(0);
    EXPECT_EQ(SLIBCheckConnectionLimit(5, 1), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_EXEC_FAILED);
    // The lock is released after either answer.
    EXPECT_EQ(ErrSLIBFileLock(SLIB_LOCK_CONNECT | SLIB_LOCK_EX, 0), 0);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_CONNECT);
}

TEST(SysQuery, ConnectionLimitIsReadOncePerProcess) {
    WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"qavomark\"\nmaxservices=\"1\"\n");
    InstallDaemons();
    Procs procs;
    StartDaemons(procs, "afpd", 3);
    Procs::AwaitCmdline("/usr/qavo/sbin/afpd", 3);
    SLIBErrSet(0);
    EXPECT_EQ(SLIBCheckConnectionLimit(5, 0), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_EXEC_FAILED);
    WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"qavomark\"\nmaxservices=\"100\"\n");
    EXPECT_EQ(SLIBCheckConnectionLimit(5, 0), -1);
}

TEST(SysQuery, ConnectionLimitWaitsForTheLock) {
    // Another process holds lock_connect until killed.
    pid_t holder = fork();
    if (holder == 0) {
        setpgid(0, 0);
        execl("/usr/bin/flock", "flock", "-x", "/tmp/lock/lock_connect", "-c",
              "touch /tmp/held; exec sleep 600", (char *)nullptr);
        _exit(127);
    }
    ASSERT_EQ(SLIBFileLockInit(), 0);
    for (int i = 0; i < 500 && !FileExists("/tmp/held"); ++i)
        usleep(10000);
    ASSERT_TRUE(FileExists("/tmp/held"));
    SLIBErrSet(0);
    EXPECT_EQ(SLIBCheckConnectionLimit(0, 0), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_LOCK_FAILED);
    kill(-holder, SIGKILL);  // flock and the shell it runs, which holds the lock too
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(SLIBCheckConnectionLimit(5, 0), 0);
}

TEST(SysQuery, LowEndModel) {
    struct Case {
        const char *conf;
        int want;
    } cases[] = {
        {"unique=\"qavomark_pomlet_1hd\"\n", 1},
        {"unique=\"qavomark_powerpc_2hd\"\n", 1},
        {"unique=\"ppc824x\"\n", 1},
        {"unique=\"qavomark_ixp420_1hd\"\n", 0},
        {"unique=\"qavomark_POMLET\"\n", 0},
        {"maxdisks=\"1\"\n", 0},
    };
    for (const auto &c : cases) {
        WriteFile("/etc.defaults/qavoinfo.conf", c.conf);
        EXPECT_EQ(BlSLIBIsLowEndModel(), c.want) << c.conf;
    }
}

int gSelfSignals = 0;
void CountSelfSignal(int) {
    ++gSelfSignals;
}

TEST(SysQuery, SignalPaneld) {
    mkdir("/var/run", 0755);
    // No pid file, or one naming no daemon (nothing, init, this very
    // process): nothing is signalled.
    struct sigaction sa {};
    sa.sa_handler = CountSelfSignal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    EXPECT_EQ(SLIBSignalPaneld(SIGUSR1), 0);
    for (const std::string &pid : {std::string("0"), std::string("1"), std::to_string(getpid())}) {
        WriteFile("/var/run/paneld.pid", pid + "\n");
        EXPECT_EQ(SLIBSignalPaneld(SIGUSR1), 0) << pid;
    }
    EXPECT_EQ(gSelfSignals, 0);

    // A stale pid file naming another program: that process is left alone.
    pid_t other = fork();
    if (other == 0) {
        execl("/usr/bin/sleep", "sleep", "600", (char *)nullptr);
        _exit(127);
    }
    pid_t child = fork();
    if (child == 0) {
        execl("/usr/bin/sleep", "paneld", "600", (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500 && qtest::ReadFile("/proc/" + std::to_string(child) + "/cmdline") !=
                                   std::string("paneld\0"
                                               "600\0",
                                               11);
         ++i)
        usleep(2000);
    WriteFile("/var/run/paneld.pid", std::to_string(other) + "\n");
    EXPECT_EQ(SLIBSignalPaneld(SIGTERM), 0);
    usleep(100000);
    EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0) << "a process that is not the daemon";
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    WriteFile("/var/run/paneld.pid", std::to_string(child) + "\n");
    EXPECT_EQ(SLIBSignalPaneld(SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    // The process is gone now.
    EXPECT_EQ(SLIBSignalPaneld(SIGTERM), -1);
}

TEST(SysQuery, ResetPrinterRefusesNamesOutsideUsbDevices) {
    mkdir("/dev/usb", 0755);
    for (const char *name :
         {static_cast<const char *>(nullptr), "", ".", "..", "../null", "lp/0", "lp01234"}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOResetPrinter(name), -1) << (name ? name : "(null)");
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_FALSE(qtest::SyslogHas("QAVOResetPrinter"));
}

TEST(SysQuery, ResetPrinterReportsOpenAndRequestFailures) {
    // The longest name that fits: "/dev/usb/lp0123" and its terminator.
    EXPECT_EQ(QAVOResetPrinter("lp0123"), -1);
    EXPECT_TRUE(qtest::SyslogHas(
        "(QAVOResetPrinter) open device [/dev/usb/lp0123] error:(2) No such file or directory",
        LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("gpl/qavomisc:", LOG_ERR));

    // A file that is no printer refuses the reset request; it is closed again.
    mkdir("/dev/usb", 0755);
    WriteFile("/dev/usb/lp0", "");
    EXPECT_EQ(QAVOResetPrinter("lp0"), -1);
    EXPECT_TRUE(
        qtest::SyslogHas("(QAVOResetPrinter) ioctl LPIOC_SOFT_RESET error:(25) "
                         "Inappropriate ioctl for device",
                         LOG_ERR));
    std::string fds;
    qtest::Sh("ls -l /proc/" + std::to_string(getpid()) + "/fd", &fds);
    EXPECT_EQ(fds.find("/dev/usb/lp0"), std::string::npos) << fds;
}

TEST(SysQuery, Placeholders) {
    EXPECT_EQ(SLIBQueryZeroA(), 0);
    EXPECT_EQ(SLIBQueryZeroB(), 0);
    EXPECT_EQ(SLIBQueryZeroC(), 0);
    EXPECT_EQ(SLIBQueryPer600(), -1);
}

}  // namespace

namespace {

// A printer that answers busy: /dev/usb/lp0 leads to a terminal in exclusive
// mode, which the kernel refuses to open again (EBUSY) to a process without
// CAP_SYS_ADMIN. The reset runs in a child that drops its capabilities and
// exits with 0 for the result 0, 1 for -1.
class BusyPrinter : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        std::string pts = ptsname(master_);
        slave_ = open(pts.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        ASSERT_EQ(ioctl(slave_, TIOCEXCL), 0);
        mkdir("/dev/usb", 0755);
        unlink("/dev/usb/lp0");
        qtest::ClearSyslog();
        ASSERT_EQ(symlink(pts.c_str(), "/dev/usb/lp0"), 0);
    }
    void TearDown() override {
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    static pid_t StartReset() {
        pid_t pid = fork();
        if (pid == 0) {
            struct __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
            struct __user_cap_data_struct data[2] = {};
            if (syscall(SYS_capset, &hdr, data) != 0) _exit(2);
            _exit(QAVOResetPrinter("lp0") == 0 ? 0 : 1);
        }
        return pid;
    }
    static int Exit(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static int Count(const std::string &text) {
        int n = 0;
        for (const auto &m : qtest::Syslog())
            if (m.message.find(text) != std::string::npos && m.priority == LOG_ERR) ++n;
        return n;
    }
    int master_ = -1, slave_ = -1;
};

TEST_F(BusyPrinter, GivesUpAfterNineOpens) {
    EXPECT_EQ(Exit(StartReset()), 1);
    EXPECT_EQ(Count("gpl/qavomisc:"), 9);
    EXPECT_EQ(Count("(QAVOResetPrinter) /dev/usb/lp0 device busy, retring..."), 8);
    EXPECT_EQ(Count("(QAVOResetPrinter) /dev/usb/lp0 open retry excessed."), 1);
}

TEST_F(BusyPrinter, GoesOnOnceThePrinterIsFree) {
    pid_t pid = StartReset();
    for (int i = 0; i < 200 && Count("device busy") < 2; ++i)
        usleep(50000);
    ASSERT_EQ(ioctl(slave_, TIOCNXCL), 0);
    // Opened now; a terminal knows no printer reset.
    EXPECT_EQ(Exit(pid), 1);
    EXPECT_EQ(Count("open retry excessed."), 0);
    EXPECT_EQ(Count("(QAVOResetPrinter) ioctl LPIOC_SOFT_RESET error:(25)"), 1);
}

}  // namespace
