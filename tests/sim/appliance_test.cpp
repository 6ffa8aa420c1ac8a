// The appliance root itself: private files, read-only host trees, stand-ins
// and the syslog capture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

#include "appliance.h"

using namespace qtest;

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
