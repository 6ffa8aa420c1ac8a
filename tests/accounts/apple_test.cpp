#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_apple.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"

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

namespace {

const char *const kAfpdConf = SZF_QAVO_AFPD_CONF;
const char *const kAtalkdConf = SZF_QAVO_ATALKD_CONF;
const char *const kTail = "# shares\n/volume1/public \"public\" options:usedots\n";

void SetKey(const char *key, const char *value) {
    ASSERT_GE(SLIBFileSetKeyValue("/etc/qavoinfo.conf", key, value, "%s=\"%s\"\n"), 0);
}

std::vector<std::string> CallsOf(const std::string &program) {
    std::vector<std::string> out;
    for (const auto &call : qtest::Calls()) {
        if (call[0] != program) continue;
        std::string line = call[0];
        for (size_t i = 1; i < call.size(); ++i)
            line += " " + call[i];
        out.push_back(line);
    }
    return out;
}

TEST(AppleNetwork, TransportsChangeOnlyTheServerLine) {
    struct Case {
        const char *line;
        uint32_t bits, mask;
        const char *result;  // null: refused
    } cases[] = {
        {"nas -tcp -ddp -uamlist uams_guest.so,uams_dhx.so -nouservol", 0, QAVO_APPLE_TCP,
         "nas -notcp -ddp -uamlist uams_guest.so,uams_dhx.so -nouservol\n"},
        {"nas:AFPServer@Lab\t-notcp  -noddp -uamlist x.so -nouservol -extra", QAVO_APPLE_TCP,
         QAVO_APPLE_TCP | QAVO_APPLE_DDP,
         "nas:AFPServer@Lab -tcp -noddp -uamlist x.so -nouservol\n"},
        {"nas -tcp -noddp -uamlist x.so -nouservol", QAVO_APPLE_DDP, QAVO_APPLE_DDP,
         "nas -tcp -ddp -uamlist x.so -nouservol\n"},
        {"nas -tcp -ddp -uamlist x.so -nouservol", QAVO_APPLE_TCP, 0,
         "nas -tcp -ddp -uamlist x.so -nouservol\n"},
        {"nas -tcp -ddp -uamlist", 0, QAVO_APPLE_TCP, nullptr},  // 4 tokens: no module list
        {"nas -tcp", 0, QAVO_APPLE_TCP, nullptr},
    };
    for (const Case &c : cases) {
        const std::string before = std::string(c.line) + "\n" + kTail;
        qtest::WriteFile(kAfpdConf, before);
        EXPECT_EQ(QAVOAppleNetwork(c.bits, c.mask, 0), c.result ? 0 : -1) << c.line;
        EXPECT_EQ(qtest::ReadFile(kAfpdConf), c.result ? c.result + std::string(kTail) : before)
            << c.line;
    }
}

TEST(AppleNetwork, ApplyStopsOnlyWhenBothTransportsAreOff) {
    qtest::WriteFile(kAfpdConf, "nas -tcp -ddp -uamlist x.so -nouservol\n");
    qtest::ClearCalls();
    EXPECT_EQ(QAVOAppleNetwork(0, QAVO_APPLE_TCP, 1), 0);
    EXPECT_TRUE(CallsOf("/usr/qavo/etc/rc.d/S81atalk.sh").empty());
    EXPECT_EQ(QAVOAppleNetwork(0, QAVO_APPLE_DDP, 1), 0);
    EXPECT_EQ(CallsOf("/usr/qavo/etc/rc.d/S81atalk.sh"),
              std::vector<std::string>{"/usr/qavo/etc/rc.d/S81atalk.sh stop"});
    EXPECT_EQ(QAVOAppleQueryNetwork(), 0);
}

TEST(AppleZone, ServerLineTakesTheShortHostNameAndTheZone) {
    ASSERT_EQ(sethostname("nas.example.com", strlen("nas.example.com")), 0);
    const std::string head = "# AFP\n";
    qtest::WriteFile(kAfpdConf,
                     head + "old:AFPServer@Old -tcp -ddp -uamlist x.so -nouservol\n" + kTail);
    struct Case {
        const char *zone;
        const char *first;
    } cases[] = {{"Lab", "nas:AFPServer@Lab"}, {"", "nas"}, {"*", "nas:AFPServer@*"}};
    for (const Case &c : cases) {
        EXPECT_EQ(QAVOAppleISetZoneValue(c.zone), 0) << c.zone;
        EXPECT_EQ(qtest::ReadFile(kAfpdConf),
                  head + c.first + " -tcp -ddp -uamlist x.so -nouservol\n" + kTail);
        char zone[64] = "x";
        EXPECT_EQ(QAVOAppleIGetZoneValue(zone, sizeof zone), 0);
        EXPECT_STREQ(zone, c.zone);
    }
    char small[2];
    EXPECT_EQ(QAVOAppleIGetZoneValue(small, sizeof small), 0);  // "*" needs 2 bytes: fits
    EXPECT_STREQ(small, "*");
    ASSERT_EQ(QAVOAppleISetZoneValue("Lab"), 0);
    EXPECT_EQ(QAVOAppleIGetZoneValue(small, sizeof small), 0);
    EXPECT_STREQ(small, "");  // too long for the buffer reads as none

    const std::string now = qtest::ReadFile(kAfpdConf);
    for (const char *bad : {"a b", "a\"b", "Lab\n-tcp", "tab\tzone"}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOAppleISetZoneValue(bad), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(QAVOAppleISetZoneValue(nullptr), -1);
    EXPECT_EQ(qtest::ReadFile(kAfpdConf), now);
}

TEST(AppleZone, ZoneListsOfAnInterface) {
    qtest::WriteFile(
        kAtalkdConf,
        "# interfaces\neth1 -phase 2 -zone \"Other\"\n"
        "eth0 -phase 2 -net 0-65534 -zone \" Lab \" -ZONE \"Office 2\" -zone \"Lab-B\"\n"
        "eth2 -phase 2\neth3 -zone\n");
    qtest::WriteFile(kAfpdConf, "nas -tcp -ddp -uamlist x.so -nouservol\n");
    int needed = -1;
    EXPECT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, "eth0", nullptr, 0, &needed), 3);
    const int want = static_cast<int>(4 * sizeof(char *) + strlen(" Lab ") + strlen("Office 2") +
                                      strlen("Lab-B") + 3);
    EXPECT_EQ(needed, want);
    std::vector<char *> list(static_cast<size_t>(needed) / sizeof(char *) + 1);
    const int room = static_cast<int>(list.size() * sizeof(char *));
    ASSERT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, "eth0", list.data(), room, &needed), 3);
    EXPECT_STREQ(list[0], " Lab ");
    EXPECT_STREQ(list[1], "Office 2");
    EXPECT_STREQ(list[2], "Lab-B");
    EXPECT_EQ(list[3], nullptr);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, "eth0", list.data(), want - 1, &needed),
              -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);

    // The default zone is the first, trimmed; the server's zone wins over it.
    ASSERT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_DEFAULT, 1, "eth0", list.data(), room, &needed), 1);
    EXPECT_STREQ(list[0], "Lab");
    ASSERT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_SERVER, 1, "eth0", list.data(), room, &needed), 1);
    EXPECT_STREQ(list[0], "Lab");
    qtest::WriteFile(kAfpdConf, "nas:AFPServer@Home -tcp -ddp -uamlist x.so -nouservol\n");
    ASSERT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_SERVER, 1, "eth0", list.data(), room, &needed), 1);
    EXPECT_STREQ(list[0], "Home");
    ASSERT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_DEFAULT, 1, "eth2", list.data(), room, &needed), 1);
    EXPECT_STREQ(list[0], "");
    EXPECT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, "eth2", nullptr, 0, &needed), 0);
    EXPECT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, "eth3", nullptr, 0, &needed), -1);
    EXPECT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, "eth0", list.data(), 0, &needed), -1);
    EXPECT_EQ(QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, nullptr, nullptr, 0, &needed), -1);
}

// A zone check scenario: AppleTalk on eth0 with two zones in atalkd.conf.
void ZoneScenario(const std::string &announced) {
    SetKey("AppleTalk", "eth0");
    qtest::WriteFile(kAtalkdConf, "eth0 -phase 2 -zone \"Lab\" -zone \"Office\"\n");
    qtest::WriteFile(kAfpdConf, "nas:AFPServer@Lab -tcp -ddp -uamlist x.so -nouservol\n");
    qtest::SetStandinOutput("getzones", announced);
    qtest::ClearCalls();
}

TEST(AppleZone, CheckAgainstTheNetworksZones) {
    ASSERT_EQ(sethostname("nas", 3), 0);
    ZoneScenario("Office\n\nLab\n");  // empty lines are no zones
    const std::string conf = qtest::ReadFile(kAfpdConf);
    EXPECT_EQ(QAVOAppleZoneCheck(), 1);
    EXPECT_EQ(qtest::ReadFile(kAfpdConf), conf);
    EXPECT_EQ(CallsOf("/usr/qavo/bin/getzones"),
              std::vector<std::string>{"/usr/qavo/bin/getzones -l"});

    // A zone the network no longer announces: back to "*" and AppleTalk restarts.
    ZoneScenario("Lab\nGarden\n");
    EXPECT_EQ(QAVOAppleZoneCheck(), 0);
    EXPECT_EQ(qtest::ReadFile(kAfpdConf), "nas:AFPServer@* -tcp -ddp -uamlist x.so -nouservol\n");
    bool restarted = false;
    for (int i = 0; i < 200 && !restarted; ++i) {
        restarted = !CallsOf("/usr/qavo/etc/rc.atalk").empty();
        usleep(10000);
    }
    EXPECT_TRUE(restarted);

    ZoneScenario("Lab\n");  // fewer zones
    EXPECT_EQ(QAVOAppleZoneCheck(), 0);
}

TEST(AppleZone, ASlowOrFailedQueryChangesNothing) {
    ZoneScenario("Lab\nOffice\n");
    const std::string conf = qtest::ReadFile(kAfpdConf);
    qtest::SetStandinStatus("getzones", 1);
    EXPECT_EQ(QAVOAppleZoneCheck(), -1);
    qtest::SetStandinStatus("getzones", 0);
    qtest::WriteFile("/sim/standin/getzones.delay", "20\n");
    const time_t start = time(nullptr);
    EXPECT_EQ(QAVOAppleZoneCheck(), -1);
    EXPECT_LT(time(nullptr) - start, 15);
    EXPECT_EQ(qtest::ReadFile(kAfpdConf), conf);
    EXPECT_TRUE(CallsOf("/usr/qavo/etc/rc.atalk").empty());
    EXPECT_FALSE(BlSLIBProcExist("getzones"));  // the query was ended
}

TEST(AppleTalkSetting, InterfaceAndZone) {
    ASSERT_EQ(sethostname("nas", 3), 0);
    ASSERT_EQ(qtest::Sh("ip link add at7 type veth peer name peer7"), 0);
    qtest::WriteFile(kAfpdConf, "nas -tcp -ddp -uamlist x.so -nouservol\n");
    // The first setting (no "AppleTalk" yet) starts AppleTalk on the interface.
    qtest::ClearCalls();
    EXPECT_EQ(QAVOAppleTalkSet("lo", ""), 0);
    EXPECT_EQ(CallsOf("/usr/qavo/etc/rc.atalk"),
              std::vector<std::string>{"/usr/qavo/etc/rc.atalk"});
    qtest::ClearCalls();
    EXPECT_EQ(QAVOAppleTalkSet("lo", "Lab"), 0);
    EXPECT_EQ(CallsOf("/usr/qavo/sbin/afpd"), std::vector<std::string>{"/usr/qavo/sbin/afpd"});
    EXPECT_TRUE(CallsOf("/usr/qavo/etc/rc.atalk").empty());
    EXPECT_EQ(qtest::ReadFile(kAfpdConf), "nas:AFPServer@Lab -tcp -ddp -uamlist x.so -nouservol\n");

    qtest::ClearCalls();
    EXPECT_EQ(QAVOAppleTalkSet("at7", ""), 0);
    EXPECT_EQ(CallsOf("/usr/qavo/etc/rc.atalk"),
              std::vector<std::string>{"/usr/qavo/etc/rc.atalk"});
    char iface[16];
    ASSERT_GT(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "AppleTalk", iface, sizeof iface, 0), 0);
    EXPECT_STREQ(iface, "at7");
    EXPECT_EQ(qtest::ReadFile(kAfpdConf), "nas -tcp -ddp -uamlist x.so -nouservol\n");

    // A start that fails is a failure.
    qtest::SetStandinStatus("rc.atalk", 2);
    EXPECT_EQ(QAVOAppleTalkSet("lo", "Lab"), -1);
    qtest::SetStandinStatus("afpd", 1);
    EXPECT_EQ(QAVOAppleTalkSet("lo", "Lab"), -1);
    qtest::SetStandinStatus("afpd", 0);

    const std::string info = qtest::ReadFile("/etc/qavoinfo.conf");
    const std::string conf = qtest::ReadFile(kAfpdConf);
    struct Bad {
        const char *iface, *zone;
    } bad[] = {{"eth9", "Lab"}, {"lo;reboot", "Lab"}, {"lo", "a b"},
               {"lo", "x\"y"},  {"", "Lab"},          {"lo", "L\nab"}};
    qtest::ClearCalls();
    for (const Bad &b : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOAppleTalkSet(b.iface, b.zone), -1) << b.iface << " " << b.zone;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(QAVOAppleTalkSet(nullptr, "Lab"), -1);
    EXPECT_TRUE(qtest::Calls().empty());
    EXPECT_EQ(qtest::ReadFile("/etc/qavoinfo.conf"), info);
    EXPECT_EQ(qtest::ReadFile(kAfpdConf), conf);
}

TEST(AppleEnable, SwitchesAndActs) {
    qtest::WriteFile(kAfpdConf, "nas -tcp -ddp -uamlist x.so -nouservol\n");
    qtest::ClearCalls();
    EXPECT_EQ(QAVOAppleEnableAppleNetwork(1), 0);
    EXPECT_EQ(CallsOf("/usr/qavo/etc/rc.d/S81atalk.sh"),
              (std::vector<std::string>{"/usr/qavo/etc/rc.d/S81atalk.sh stop",
                                        "/usr/qavo/etc/rc.d/S81atalk.sh start"}));
    char v[8];
    ASSERT_GT(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "runafp", v, sizeof v, 0), 0);
    EXPECT_STREQ(v, "yes");
    qtest::ClearCalls();
    EXPECT_EQ(QAVOAppleEnableAppleNetwork(0), 0);
    EXPECT_EQ(CallsOf("/usr/qavo/etc/rc.d/S81atalk.sh"),
              std::vector<std::string>{"/usr/qavo/etc/rc.d/S81atalk.sh stop"});
    ASSERT_GT(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "runafp", v, sizeof v, 0), 0);
    EXPECT_STREQ(v, "no");
    EXPECT_EQ(QAVOAppleEnableAppleNetwork(2), -1);
}

}  // namespace
