#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "appliance.h"
#include "qavo_apple.h"
#include "slib_errcode.h"

namespace {

TEST(AppleQueryNetwork, TransportsOfTheServerLine) {
    struct Case {
        const char *conf;
        int result;
    } cases[] = {
        {"nas -tcp -ddp -uamlist uams_guest.so -nouservol\n", QAVO_APPLE_TCP | QAVO_APPLE_DDP},
        {"nas:AFPServer@Lab -tcp -noddp -uamlist uams_guest.so -nouservol\n", QAVO_APPLE_TCP},
        {"nas\t-notcp  -ddp -uamlist x -nouservol\n# -tcp\n", QAVO_APPLE_DDP},
        {"nas -notcp -noddp -uamlist x -nouservol\n", 0},
        {"nas -TCP -ddp\n", QAVO_APPLE_DDP},  // exact tokens only
        {"nas -tcp\n-ddp x y\n", -1},         // the first line only
        {"", -1},
    };
    for (const Case &c : cases) {
        qtest::WriteFile(SZF_QAVO_AFPD_CONF, c.conf);
        EXPECT_EQ(QAVOAppleQueryNetwork(), c.result) << c.conf;
    }
    qtest::RemoveFile(SZF_QAVO_AFPD_CONF);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOAppleQueryNetwork(), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_OPEN_FAILED);
}

// A live process for pid files; killed and reaped at the end of the test.
struct Sleeper {
    pid_t pid = fork();
    Sleeper() {
        if (pid == 0) {
            pause();
            _exit(0);
        }
    }
    ~Sleeper() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

TEST(AppleTestRunning, FollowsTheSwitchAndTheDaemons) {
    Sleeper live;
    const std::string alive = std::to_string(live.pid) + "\n";
    const std::string dead = "999999\n";
    struct Case {
        const char *runafp;  // NULL: key absent
        const std::string *atalkd;
        bool startapple;
        const std::string *afpd;
        int result;
    } cases[] = {
        {"no", &alive, true, &alive, 0},     {"yes", &alive, false, &alive, 1},
        {"yes", &alive, false, &dead, 0},    {"yes", &alive, true, nullptr, 1},
        {nullptr, &alive, true, nullptr, 1},  // absent switch: the daemons decide
        {"yes", &dead, true, &alive, 0},     {"yes", nullptr, true, &alive, 0},
        {"No", &alive, false, &alive, 1},  // only "no" exactly switches it off
    };
    for (const Case &c : cases) {
        std::string conf = "hostname=\"appliance\"\n";
        if (c.runafp) conf += std::string("runafp=\"") + c.runafp + "\"\n";
        qtest::WriteFile("/etc/qavoinfo.conf", conf);
        qtest::Sh(
            "rm -f /var/run/atalkd.pid /var/run/afpd.pid /var/tmp/startapple; "
            "mkdir -p /var/tmp");
        if (c.atalkd) qtest::WriteFile("/var/run/atalkd.pid", *c.atalkd);
        if (c.afpd) qtest::WriteFile("/var/run/afpd.pid", *c.afpd);
        if (c.startapple) qtest::WriteFile("/var/tmp/startapple", "");
        EXPECT_EQ(QAVOAppleTestAppleRunning(), c.result)
            << (c.runafp ? c.runafp : "absent") << " " << (c.atalkd == &alive) << c.startapple
            << (c.afpd == &alive);
    }
    qtest::RemoveFile("/etc/qavoinfo.conf");
    qtest::ClearSyslog();
    EXPECT_EQ(QAVOAppleTestAppleRunning(), -1);
    EXPECT_TRUE(qtest::SyslogHas("sdk/qavoatnet:", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("Can't read key SZK_RUNAFP.", LOG_ERR));
}

}  // namespace
