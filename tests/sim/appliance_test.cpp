// The appliance root itself: private files, read-only host trees, stand-ins
// and the syslog capture.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "appliance.h"

using namespace qtest;
using namespace std::chrono_literals;

namespace {

// The syslog capture's process, or 0.
pid_t CapturePid() {
    DIR *d = opendir("/proc");
    if (!d) return 0;
    pid_t found = 0;
    while (dirent *e = readdir(d)) {
        const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        std::ifstream comm("/proc/" + std::string(e->d_name) + "/comm");
        std::string name;
        if (pid > 0 && std::getline(comm, name) && name == "qavo-syslogcap") found = pid;
    }
    closedir(d);
    return found;
}

// Nanoseconds of the clock of a program the kernel shim is not in.
long long OutsideClock() {
    std::string out;
    EXPECT_EQ(Exec({"/bin/date", "+%s%N"}, &out), 0);
    return std::atoll(out.c_str());
}

}  // namespace

TEST(Appliance, SeedIsInPlace) {
    EXPECT_NE(ReadFile("/etc/passwd").find("admin:x:1024:"), std::string::npos);
    EXPECT_NE(ReadFile("/etc.defaults/qavoinfo.conf").find("unique="), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat("/tmp/lock", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(stat("/etc/shadow", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Appliance, PrivateTreesAreWritable) {
    for (const char *p : {"/etc/passwd", "/tmp/lock/lock_pw", "/usr/qavo/etc/x", "/var/log/x",
                          "/etc.defaults/x", "/writeable/x", "/volume1/x"}) {
        WriteFile(p, "written\n");
        EXPECT_EQ(ReadFile(p), "written\n") << p;
    }
}

TEST(Appliance, HostTreesAreReadOnly) {
    for (const char *p : {"/usr/qavo-not-here", "/usr/bin/qavo-x", "/proc/sys/vm/qavo-x",
                          "/etc/alternatives/qavo-x"}) {
        int fd = open(p, O_WRONLY | O_CREAT, 0644);
        EXPECT_LT(fd, 0) << p;
        if (fd >= 0) close(fd);
    }
    // /proc/sys/kernel takes the hardware-version file.
    WriteFile("/proc/sys/kernel/qavo_hw_version", "QAVO-1\n");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/qavo_hw_version"), "QAVO-1\n");
}

TEST(Appliance, OwnNamespaces) {
    utsname u;
    ASSERT_EQ(uname(&u), 0);
    EXPECT_STREQ(u.nodename, "appliance");
    // Only the sandbox's processes are visible.
    std::string out;
    ASSERT_EQ(Sh("ls /proc | grep -c '^[0-9]'", &out), 0);
    EXPECT_LT(std::stoi(out), 10);
    // No network but loopback.
    ASSERT_EQ(Sh("ls /sys/class/net 2>/dev/null || cat /proc/net/dev", &out), 0);
    EXPECT_EQ(out.find("eth"), std::string::npos);
}

TEST(Appliance, StandinRecordsCallsAndExitsAsTold) {
    EXPECT_EQ(Exec({"/usr/qavo/etc/rc.d/S04crond.sh", "restart", "a b"}), 0);
    SetStandinStatus("S80samba.sh", 3);
    SetStandinOutput("S80samba.sh", "hello\n");
    std::string out;
    EXPECT_EQ(Exec({"/usr/qavo/etc/rc.d/S80samba.sh", "stop"}, &out), 3);
    EXPECT_EQ(out, "hello\n");
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0],
              (std::vector<std::string>{"/usr/qavo/etc/rc.d/S04crond.sh", "restart", "a b"}));
    EXPECT_EQ(calls[1], (std::vector<std::string>{"/usr/qavo/etc/rc.d/S80samba.sh", "stop"}));
    ClearCalls();
    EXPECT_TRUE(Calls().empty());
}

TEST(Appliance, SyslogIsCaptured) {
    openlog("qtest", 0, LOG_USER);
    syslog(LOG_ERR, "first %d", 1);
    syslog(LOG_INFO, "two\nlines");
    auto msgs = Syslog();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].ident, "qtest");
    EXPECT_EQ(msgs[0].priority, LOG_ERR);
    EXPECT_EQ(msgs[0].message, "first 1");
    EXPECT_EQ(msgs[1].priority, LOG_INFO);
    EXPECT_EQ(msgs[1].message, "two\nlines");
    ClearSyslog();
    EXPECT_TRUE(Syslog().empty());
    closelog();
}

// Fast time makes the process's own sleeps return at once: the barrier still
// waits for a capture that is held up for a while.
TEST(Appliance, SyslogBarrierWaitsForTheCaptureUnderFastTime) {
    const pid_t capture = CapturePid();
    ASSERT_GT(capture, 0);
    FastTime();
    openlog("qtest", 0, LOG_USER);
    ASSERT_EQ(kill(capture, SIGSTOP), 0);
    syslog(LOG_ERR, "logged while the capture was held");
    std::thread resume([capture] {
        RealSleep(300ms);
        kill(capture, SIGCONT);
    });
    const bool captured = SyslogHas("logged while the capture was held", LOG_ERR);
    resume.join();
    EXPECT_TRUE(captured);
    closelog();
}

TEST(Appliance, WaitsLastRealTimeUnderFastTime) {
    FastTime();
    const long long start = OutsideClock();
    int asked = 0;
    EXPECT_FALSE(WaitUntil([&] { return ++asked < 0; }, 400ms, 100ms));
    EXPECT_GE(OutsideClock() - start, 400'000'000);
    // Asked a step apart: at 0, 100, 200, 300 and 400 ms at the most.
    EXPECT_GE(asked, 2);
    EXPECT_LE(asked, 5);
    const long long slept = OutsideClock();
    RealSleep(200ms);
    EXPECT_GE(OutsideClock() - slept, 200'000'000);
}
