// Network interface settings against a veth pair of the appliance root's own
// network namespace: "eth0" is the appliance's card, its peer the network.
// Kernel state is checked with ip(8), /proc/net/route and /sys/class/net.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <resolv.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_net.h"
#include "qavosim.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_proc.h"

namespace {

const char *const kIfcfg = "/etc/sysconfig/network-scripts/ifcfg-eth0";
const char *const kNetwork = "/etc/sysconfig/network";
const char *const kAfpd = "/usr/qavo/etc/afpd.conf";

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string Out(const std::string &cmd) {
    std::string out;
    qtest::Sh(cmd + " 2>&1", &out);
    return out;
}

void Must(const std::string &cmd) {
    ASSERT_EQ(qtest::Sh(cmd + " >/dev/null 2>&1"), 0) << cmd;
}

// "a.b.c.d/nn" of the interface's IPv4 addresses.
std::vector<std::string> Addrs(const std::string &dev) {
    std::istringstream in(Out("ip -4 -o addr show dev " + dev));
    std::vector<std::string> addrs;
    std::string word;
    while (in >> word)
        if (word == "inet" && in >> word) addrs.push_back(word);
    return addrs;
}

std::string DefaultRoute() {
    return Trim(Out("ip route show default"));
}

bool Called(const std::string &prog, const std::string &arg) {
    for (const auto &c : qtest::Calls())
        if (!c.empty() && c[0] == prog && c.size() > 1 && c[1] == arg) return true;
    return false;
}

QAVONETCARDINFO Card(const char *ip, const char *mask, const char *gw) {
    QAVONETCARDINFO c{};
    c.bStatic = 1;
    strcpy(c.szIf, "eth0");
    strcpy(c.szIP, ip);
    strcpy(c.szMask, mask);
    strcpy(c.szGateway, gw);
    return c;
}

class Net : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!qtest::FileExists("/sys/class/net")) {
            mkdir("/sys", 0755);
            ASSERT_EQ(mount("sysfs", "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr),
                      0);
        }
        Must("ip link add eth0 type veth peer name peer0");
        Must("ip link set eth0 up");
        Must("ip link set peer0 up");
        qtest::WriteFile("/usr/qavo/etc/smb.conf",
                         "[global]\n\twins server = 192.0.2.7,192.0.2.8\n");
    }
    void TearDown() override {
        qtest::Sh("ip netns del qpeer >/dev/null 2>&1");
        qtest::Sh("ip link del eth0 >/dev/null 2>&1");
    }
    // eth0 at 192.0.2.10/24 with the default route through 192.0.2.254, as
    // its static interface file says.
    void StaticEth0() {
        Must("ip addr add 192.0.2.10/24 brd 192.0.2.255 dev eth0");
        Must("ip route add default via 192.0.2.254");
        qtest::WriteFile(kIfcfg,
                         "IPADDR=192.0.2.10\nNETMASK=255.255.255.0\nBOOTPROTO=static\n"
                         "ONBOOT=yes\n");
    }
    // The peer end moves into a namespace of its own and answers at addr.
    void PeerAnswersAt(const std::string &addr) {
        Must("mkdir -p /run/netns && ip netns add qpeer");
        Must("ip link set peer0 netns qpeer");
        Must("ip -n qpeer addr add " + addr + "/24 dev peer0");
        Must("ip -n qpeer link set peer0 up");
        // The carrier comes back once both ends are up again.
        for (int i = 0; i < 50 && Trim(qtest::ReadFile("/sys/class/net/eth0/operstate")) != "up";
             ++i)
            usleep(100000);
    }
};

TEST_F(Net, InterfaceFileDecidesDhcpAndAMissingProtocolReadsStatic) {
    struct Case {
        const char *file;  // nullptr: no file
        int dhcp;
        const char *after;
    } cases[] = {
        {"BOOTPROTO=dhcp\nONBOOT=yes\n", 1, "BOOTPROTO=dhcp\nONBOOT=yes\n"},
        {"BOOTPROTO=static\n", 0, "BOOTPROTO=static\n"},
        {"IPADDR=192.0.2.10\n", 0, "IPADDR=192.0.2.10\nBOOTPROTO=static\n"},
        {nullptr, 0, "BOOTPROTO=static\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file ? c.file : "(none)");
        qtest::RemoveFile(kIfcfg);
        if (c.file) qtest::WriteFile(kIfcfg, c.file);
        EXPECT_EQ(BlQAVOLnxIsDHCP("eth0"), c.dhcp);
        EXPECT_EQ(qtest::ReadFile(kIfcfg), c.after);
    }
    // A name that is no plain interface name never becomes a path.
    for (const char *bad : {"../../../tmp/x", "", "eth0\n", "a/b", "abcdefghijklmnop"}) {
        EXPECT_EQ(BlQAVOLnxIsDHCP(bad), 0) << bad;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_FALSE(qtest::FileExists("/tmp/x"));
    EXPECT_EQ(BlQAVOLnxIsDHCP(nullptr), 0);
}

TEST_F(Net, MissingProtocolIsWrittenOnlyUnderTheExclusiveLock) {
    qtest::WriteFile(kIfcfg, "ONBOOT=yes\n");
    ASSERT_EQ(SLIBFileLockInit(), 0);
    // Another process reads the network files: the host lock is held shared.
    const pid_t reader = fork();
    if (reader == 0) {
        execl("/usr/bin/flock", "flock", "-s", "-o", "/tmp/lock/lock_host", "/bin/sleep", "60",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    const int fd = open("/tmp/lock/lock_host", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    while (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        usleep(20000);
    }
    close(fd);
    EXPECT_EQ(BlQAVOLnxIsDHCP("eth0"), 0);
    EXPECT_EQ(qtest::ReadFile(kIfcfg), "ONBOOT=yes\n");
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    EXPECT_EQ(BlQAVOLnxIsDHCP("eth0"), 0);
    EXPECT_EQ(qtest::ReadFile(kIfcfg), "ONBOOT=yes\nBOOTPROTO=static\n");
}

TEST_F(Net, GatewayComesFromTheRoutingTable) {
    char gw[20] = "x";
    EXPECT_EQ(QAVOILnxGetGateway(gw, sizeof gw), 0);
    EXPECT_STREQ(gw, "");

    StaticEth0();
    ASSERT_NE(qtest::ReadFile("/proc/net/route").find("FE0200C0"), std::string::npos);
    EXPECT_EQ(QAVOILnxGetGateway(gw, sizeof gw), 0);
    EXPECT_STREQ(gw, "192.0.2.254");
    EXPECT_EQ(QAVOILnxGetGateway(gw, 8), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_EQ(QAVOILnxGetGateway(nullptr, 20), -1);
}

TEST_F(Net, ResolvConfFillsNameServerAndSearchSlots) {
    QAVONETCARDINFO card{};
    strcpy(card.dns[2], "stale");
    qtest::WriteFile("/etc/resolv.conf",
                     "# comment\nnameserver 192.0.2.1\nnameserver\t192.0.2.2\n"
                     "nameserver 192.0.2.3\nnameserver 192.0.2.4\n"
                     "search a b c\ndomain d\n");
    ASSERT_EQ(QAVONetGetDNSDomain(&card), 0);
    EXPECT_STREQ(card.dns[0], "192.0.2.1");
    EXPECT_STREQ(card.dns[1], "192.0.2.2");
    EXPECT_STREQ(card.dns[2], "192.0.2.3");
    EXPECT_STREQ(card.search[0], "d");
    EXPECT_STREQ(card.search[1], "");
    EXPECT_STREQ(card.search[2], "c");

    // Words longer than their slots are left out rather than cut.
    card = {};
    qtest::WriteFile("/etc/resolv.conf",
                     "nameserver 2001:db8:ffff:ffff::53\nnameserver 192.0.2.9\n"
                     "search " +
                         std::string(100, 'x') + " ok\n");
    ASSERT_EQ(QAVONetGetDNSDomain(&card), 0);
    EXPECT_STREQ(card.dns[0], "192.0.2.9");
    EXPECT_STREQ(card.search[0], "");
    EXPECT_STREQ(card.search[1], "ok");

    qtest::RemoveFile("/etc/resolv.conf");
    EXPECT_EQ(QAVONetGetDNSDomain(&card), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
}

TEST_F(Net, StaticCardIsReadWithGatewayNameServersAndWins) {
    StaticEth0();
    qtest::WriteFile("/etc/resolv.conf", "nameserver 192.0.2.53\nsearch example.org\n");
    QAVONETCARDINFO card;
    memset(&card, 'z', sizeof card);
    ASSERT_EQ(QAVONetGetCard1(0, nullptr, &card), 1);
    EXPECT_EQ(card.bStatic, 1);
    EXPECT_EQ(card.blLink, 1);
    EXPECT_STREQ(card.szIf, "eth0");
    EXPECT_STREQ(card.szIP, "192.0.2.10");
    EXPECT_STREQ(card.szMask, "255.255.255.0");
    EXPECT_STREQ(card.szGateway, "192.0.2.254");
    EXPECT_STREQ(card.dns[0], "192.0.2.53");
    EXPECT_STREQ(card.dns[1], "");
    EXPECT_STREQ(card.search[0], "example.org");
    EXPECT_STREQ(card.wins, "192.0.2.7");
    char mac[18];
    snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", card.mac[0], card.mac[1],
             card.mac[2], card.mac[3], card.mac[4], card.mac[5]);
    EXPECT_EQ(mac, Trim(qtest::ReadFile("/sys/class/net/eth0/address")));

    // Without a default route the read still succeeds.
    Must("ip route del default");
    ASSERT_EQ(QAVONetGetCard1(0, nullptr, &card), 1);
    EXPECT_STREQ(card.szGateway, "");

    // Index 8 is only good for a search by address.
    EXPECT_EQ(QAVONetGetCard1(8, nullptr, &card), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    EXPECT_EQ(QAVONetGetCard1(8, "192.0.2.10", &card), 1);
    EXPECT_STREQ(card.szIf, "eth0");
    EXPECT_EQ(QAVONetGetCard1(8, "192.0.2.11", &card), 0);
    EXPECT_EQ(QAVONetGetCard1(1, nullptr, &card), 0);
    EXPECT_EQ(QAVONetEnumCard(), 2);

    // A static file without an address fails the read.
    qtest::WriteFile(kIfcfg, "BOOTPROTO=static\n");
    EXPECT_EQ(QAVONetGetCard1(0, nullptr, &card), -1);
}

TEST_F(Net, DhcpCardIsReadFromTheClientsInfoFile) {
    qtest::WriteFile(kIfcfg, "BOOTPROTO=dhcp\nONBOOT=yes\n");
    qtest::WriteFile("/etc/dhcpc/dhcpcd-eth0.info",
                     "IPADDR=192.0.2.100\nNETMASK=255.255.255.128\nGATEWAY=192.0.2.1,192.0.2.2\n");
    QAVONETCARDINFO card{};
    ASSERT_EQ(QAVONetGetCard1(0, nullptr, &card), 1);
    EXPECT_EQ(card.bStatic, 0);
    EXPECT_STREQ(card.szIP, "192.0.2.100");
    EXPECT_STREQ(card.szMask, "255.255.255.128");
    char ip[20];
    EXPECT_EQ(QAVOILnxGetIP("eth0", ip, sizeof ip), 0);
    EXPECT_STREQ(ip, "192.0.2.100");

    // No info file: the reader looks three times, a second apart, then fails.
    qtest::RemoveFile("/etc/dhcpc/dhcpcd-eth0.info");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QAVONetGetCard1(0, nullptr, &card), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(QAVOILnxGetIP("eth0", ip, sizeof ip), -1);
    EXPECT_STREQ(ip, "");
}

TEST_F(Net, FirstItemOfAKeysValue) {
    qtest::WriteFile("/tmp/kv", "LIST=one,two\nONE=solo\n");
    char out[8] = "keep";
    EXPECT_EQ(QAVOIGetKeyValueFirstItem("/tmp/kv", "ABSENT", ',', out, sizeof out), 0);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(QAVOIGetKeyValueFirstItem("/tmp/kv", "LIST", ',', out, sizeof out), 8);
    EXPECT_STREQ(out, "one");
    EXPECT_EQ(QAVOIGetKeyValueFirstItem("/tmp/kv", "ONE", ',', out, 3), 5);
    EXPECT_STREQ(out, "so");
    EXPECT_EQ(QAVOIGetKeyValueFirstItem("/tmp/none", "LIST", ',', out, sizeof out), -1);
    EXPECT_EQ(QAVOIGetKeyValueFirstItem("/tmp/kv", "LIST", ',', out, 0), -1);
}

TEST_F(Net, StaticChangeReachesKernelFilesAndDaemons) {
    StaticEth0();
    qtest::WriteFile(kIfcfg, "BOOTPROTO=dhcp\nDHCP_HOSTNAME=x\n");
    QAVONETCARDINFO prev{};
    QAVONETCARDINFO card = Card("192.0.2.20", "255.255.255.0", "192.0.2.1");
    strcpy(card.dns[0], "192.0.2.53");
    strcpy(card.dns[1], "not-an-address");
    strcpy(card.dns[2], "192.0.2.54");
    strcpy(card.search[0], "example.org");
    strcpy(card.search[3], "lab.example.org");
    qtest::ClearCalls();
    ASSERT_EQ(QAVONetSetCard1(&card, nullptr), 0) << std::hex << SLIBErrGet();

    EXPECT_EQ(Addrs("eth0"), std::vector<std::string>{"192.0.2.20/24"});
    EXPECT_NE(Out("ip -4 -o addr show dev eth0").find("brd 192.0.2.255"), std::string::npos);
    EXPECT_EQ(DefaultRoute(), "default via 192.0.2.1 dev eth0");
    EXPECT_EQ(qtest::ReadFile(kIfcfg),
              "IPADDR=192.0.2.20\nNETMASK=255.255.255.0\nBOOTPROTO=static\nONBOOT=yes\n");
    EXPECT_EQ(qtest::ReadFile(kNetwork), "HOSTNAME=appliance\nGATEWAY=192.0.2.1\n");
    EXPECT_EQ(qtest::ReadFile("/etc/resolv.conf"),
              "nameserver\t192.0.2.53\nnameserver\t192.0.2.54\n"
              "search\t\texample.org lab.example.org\n");
    EXPECT_EQ(qtest::ReadFile("/etc/hosts"), "127.0.0.1\tlocalhost\n192.0.2.20\tappliance\n");
    // Neither daemon runs: no reload; DDNS is restarted for new name servers.
    EXPECT_TRUE(Called("/usr/qavo/etc/rc.d/S09DDNS.sh", "restart"));
    EXPECT_FALSE(Called("/usr/qavo/etc/rc.d/S10UPnPportmap.sh", "restart"));
    EXPECT_TRUE(qtest::SyslogHas("HUP upnpd result: no such service", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("RESTART ddnsd result: success", LOG_ERR));

    // Same name servers again, an empty gateway: GATEWAY and the default route go.
    ASSERT_EQ(QAVONetGetCard1(0, nullptr, &prev), 1);
    card = prev;
    card.szGateway[0] = '\0';
    qtest::ClearCalls();
    ASSERT_EQ(QAVONetSetCard1(&card, &prev), 0);
    EXPECT_EQ(qtest::ReadFile(kNetwork), "HOSTNAME=appliance\n");
    EXPECT_EQ(qtest::ReadFile("/etc/resolv.conf"),
              "nameserver\t192.0.2.53\nnameserver\t192.0.2.54\n"
              "search\t\texample.org lab.example.org\n");
    EXPECT_EQ(DefaultRoute(), "");
    EXPECT_FALSE(Called("/usr/qavo/etc/rc.d/S09DDNS.sh", "restart"));
}

TEST_F(Net, StaticChangeRefusesBadSettingsAndUnlistedInterfaces) {
    StaticEth0();
    const std::string before = qtest::ReadFile(kIfcfg);
    struct Case {
        QAVONETCARDINFO card;
        unsigned code;
    } cases[] = {
        {Card("127.0.0.5", "255.255.255.0", ""), 0x1000},
        {Card("192.0.2.20", "255.0.255.0", ""), 0x1000},
        {Card("192.0.2.20", "255.255.255.0", "192.0.2.999"), 0x1000},
        {Card("", "255.255.255.0", ""), 0x0D00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.card.szIP);
        EXPECT_EQ(QAVONetSetCard1(&c.card, nullptr), -1);
        EXPECT_EQ(SLIBErrGet(), c.code);
    }
    for (const char *dev : {"eth9", "eth0;reboot", ""}) {
        QAVONETCARDINFO c = Card("192.0.2.20", "255.255.255.0", "");
        strcpy(c.szIf, dev);
        EXPECT_EQ(QAVONetSetCard1(&c, nullptr), -1) << dev;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        c.bStatic = 0;
        EXPECT_EQ(QAVONetSetCard1(&c, nullptr), -1) << dev;
    }
    EXPECT_EQ(QAVONetSetCard1(nullptr, nullptr), -1);
    EXPECT_EQ(qtest::ReadFile(kIfcfg), before);
    EXPECT_EQ(Addrs("eth0"), std::vector<std::string>{"192.0.2.10/24"});
}

TEST_F(Net, FailedStaticChangeKeepsThePreviousInterfaceFile) {
    StaticEth0();
    const std::string before = qtest::ReadFile(kIfcfg);
    // The host name cannot be set again: "/etc/hosts" is a directory.
    Must("rm -f /etc/hosts && mkdir /etc/hosts");
    QAVONETCARDINFO card = Card("192.0.2.20", "255.255.255.0", "");
    EXPECT_EQ(QAVONetSetCard1(&card, nullptr), -1);
    EXPECT_EQ(qtest::ReadFile(kIfcfg), before);
    // A card that had no interface file has none after the failure.
    qtest::RemoveFile(kIfcfg);
    EXPECT_EQ(QAVONetSetCard1(&card, nullptr), -1);
    EXPECT_FALSE(qtest::FileExists(kIfcfg));
}

TEST_F(Net, DhcpChangeTakesALeaseAndEndsOnlyThisInterfacesClient) {
    StaticEth0();
    Must(
        "ip link add eth1 type veth peer name peer1 && ip link set eth1 up && ip link set peer1 "
        "up");
    // Clients of both interfaces run; the one of eth0 ignores SIGTERM.
    qtest::WriteFile("/sim/standin/dhcpcd.lease", "IPADDR=192.0.2.77\nNETMASK=255.255.255.0\n");
    ASSERT_EQ(qtest::Exec({"/sbin/dhcpcd", "-n", "eth1", "-t", "30"}), 0);
    qtest::WriteFile("/sim/standin/dhcpcd.stubborn", "");
    ASSERT_EQ(qtest::Exec({"/sbin/dhcpcd", "-n", "eth0", "-t", "30"}), 0);
    const int old0 = SLIBProcReadPidFile("/etc/dhcpc/dhcpcd-eth0.pid");
    const int old1 = SLIBProcReadPidFile("/etc/dhcpc/dhcpcd-eth1.pid");
    ASSERT_GT(old0, 1);
    ASSERT_GT(old1, 1);
    qtest::RemoveFile("/sim/standin/dhcpcd.stubborn");

    qtest::WriteFile("/sim/standin/dhcpcd.lease",
                     "IPADDR=192.0.2.100\nNETMASK=255.255.255.0\nGATEWAY=192.0.2.1\n");
    QAVONETCARDINFO card{};
    strcpy(card.szIf, "eth0");
    qtest::ClearCalls();
    ASSERT_EQ(QAVONetSetCard1(&card, nullptr), 0) << std::hex << SLIBErrGet();
    EXPECT_EQ(qtest::ReadFile(kIfcfg), "BOOTPROTO=dhcp\nONBOOT=yes\n");
    EXPECT_EQ(Addrs("eth0"), std::vector<std::string>{"192.0.2.100/24"});
    EXPECT_TRUE(Called("/sbin/dhcpcd", "-n"));
    // The stubborn client was killed after the bounded wait; eth1's lives on.
    EXPECT_FALSE(BlSLIBProcIsAlive(old0) &&
                 Out("cat /proc/" + std::to_string(old0) + "/cmdline").find("dhcpcd") !=
                     std::string::npos);
    EXPECT_TRUE(BlSLIBProcIsAlive(old1));
    EXPECT_TRUE(qtest::SyslogHas("still exists, wait 1 second.", LOG_ERR));
    const int now0 = SLIBProcReadPidFile("/etc/dhcpc/dhcpcd-eth0.pid");
    EXPECT_GT(now0, 1);
    EXPECT_NE(now0, old0);
    // The DHCP road leaves the daemons alone.
    EXPECT_FALSE(Called("/usr/qavo/etc/rc.d/S09DDNS.sh", "restart"));
}

TEST_F(Net, FailedDhcpChangePutsThePreviousSettingsBack) {
    StaticEth0();
    const std::string before = qtest::ReadFile(kIfcfg);
    qtest::SetStandinStatus("dhcpcd", 1);
    QAVONETCARDINFO prev{};
    ASSERT_EQ(QAVONetGetCard1(0, nullptr, &prev), 1);
    const QAVONETCARDINFO *const choices[] = {&prev, nullptr};
    for (const QAVONETCARDINFO *given : choices) {
        QAVONETCARDINFO card{};
        strcpy(card.szIf, "eth0");
        EXPECT_EQ(QAVONetSetCard1(&card, given), -1);
        EXPECT_EQ(SLIBErrGet(), 0x2A00u);
        EXPECT_EQ(Addrs("eth0"), std::vector<std::string>{"192.0.2.10/24"});
        EXPECT_EQ(DefaultRoute(), "default via 192.0.2.254 dev eth0");
        EXPECT_EQ(qtest::ReadFile(kIfcfg), before);
    }
}

TEST_F(Net, DhcpTrialReadsTheLeaseWithoutTouchingTheInterface) {
    StaticEth0();
    qtest::WriteFile("/sim/standin/dhcpcd.lease",
                     "IPADDR=192.0.2.100\nNETMASK=255.255.255.0\nGATEWAY=192.0.2.1,192.0.2.2\n"
                     "DNS=192.0.2.53,192.0.2.54\n");
    QAVONETCARDINFO card;
    memset(&card, 'z', sizeof card);
    strcpy(card.szIf, "eth0");
    ASSERT_EQ(QAVOIGetDHCPTestNetInfo(&card), 0);
    EXPECT_STREQ(card.szIf, "eth0");
    EXPECT_STREQ(card.szIP, "192.0.2.100");
    EXPECT_STREQ(card.szMask, "255.255.255.0");
    EXPECT_STREQ(card.szGateway, "192.0.2.1");
    EXPECT_STREQ(card.dns[0], "192.0.2.53");
    EXPECT_STREQ(card.dns[1], "");
    EXPECT_EQ(Addrs("eth0"), std::vector<std::string>{"192.0.2.10/24"});
    EXPECT_TRUE(Called("/sbin/dhcpcd", "-T"));

    qtest::SetStandinStatus("dhcpcd", 1);
    EXPECT_EQ(QAVOIGetDHCPTestNetInfo(&card), -1);
    EXPECT_EQ(SLIBErrGet(), 0x2A00u);
    strcpy(card.szIf, "eth0 -x");
    EXPECT_EQ(QAVOIGetDHCPTestNetInfo(&card), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST_F(Net, AddressConflictIsAPeerThatAnswers) {
    StaticEth0();
    PeerAnswersAt("192.0.2.20");
    EXPECT_EQ(QAVOIIpConflict("eth0", "192.0.2.20"), 1);
    EXPECT_EQ(QAVOIIpConflict("eth0", "192.0.2.30"), 0);
    // The interface's own address is no conflict, and is not pinged.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QAVOIIpConflict("eth0", "192.0.2.10"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    for (const char *bad : {"192.0.2.20; touch /tmp/owned", "-f", "", "192.0.2"}) {
        EXPECT_EQ(QAVOIIpConflict("eth0", bad), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_EQ(QAVOIIpConflict("eth7", "192.0.2.20"), -1);
    EXPECT_FALSE(qtest::FileExists("/tmp/owned"));
}

TEST_F(Net, HostNameGoesToKernelFilesAndTheAfpServerLine) {
    StaticEth0();
    qtest::WriteFile(kAfpd,
                     "# AFP server\n"
                     "oldname:AFPServer@Lab  -tcp -ddp -uamlist uams_guest.so -nouservol\n"
                     "- -noddp\n");
    ASSERT_EQ(QAVOLnxSetHostname("nas-2.example.org"), 0) << std::hex << SLIBErrGet();
    char host[64];
    EXPECT_EQ(QAVOLnxGetHostname(host), 1);
    EXPECT_STREQ(host, "nas-2");
    EXPECT_EQ(Trim(Out("hostname")), "nas-2.example.org");
    EXPECT_EQ(qtest::ReadFile(kNetwork), "HOSTNAME=nas-2.example.org\n");
    EXPECT_EQ(qtest::ReadFile("/etc/hosts"),
              "127.0.0.1\tlocalhost\n192.0.2.10\tnas-2.example.org\n");
    EXPECT_EQ(qtest::ReadFile(kAfpd),
              "# AFP server\n"
              "nas-2.example.org:AFPServer@Lab  -tcp -ddp -uamlist uams_guest.so -nouservol\n"
              "- -noddp\n");

    // Without the file, or without a server line, there is nothing to name.
    qtest::WriteFile(kAfpd, "# only a comment\n\n");
    EXPECT_EQ(QAVOLnxSetHostname("nas3"), 0);
    EXPECT_EQ(qtest::ReadFile(kAfpd), "# only a comment\n\n");
    qtest::RemoveFile(kAfpd);
    EXPECT_EQ(QAVOLnxSetHostname("nas4"), 0);
    EXPECT_FALSE(qtest::FileExists(kAfpd));
    EXPECT_EQ(QAVOLnxGetHostname(host), 1);
    EXPECT_STREQ(host, "nas4");

    // Names that are no RFC 1123 host names change nothing.
    const std::string hosts = qtest::ReadFile("/etc/hosts");
    for (const std::string &bad :
         {std::string("nas\n10.0.0.1 evil"), std::string("-nas"), std::string("nas-"),
          std::string("a..b"), std::string("nas_1"), std::string(64, 'a'), std::string("")}) {
        EXPECT_EQ(QAVOLnxSetHostname(bad.c_str()), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_EQ(QAVOLnxSetHostname(std::string(63, 'a').c_str()), 0);
    EXPECT_EQ(QAVOLnxSetHostname("nas4"), 0);
    EXPECT_EQ(qtest::ReadFile("/etc/hosts"), hosts);
    EXPECT_EQ(QAVOLnxSetHostname(nullptr), -1);
}

// The search list of the C library's resolver, read from /etc/resolv.conf.
std::vector<std::string> ResolverSearch() {
    struct __res_state st {};
    EXPECT_EQ(res_ninit(&st), 0);
    std::vector<std::string> out;
    for (int i = 0; i <= MAXDNSRCH && st.dnsrch[i]; ++i)
        out.emplace_back(st.dnsrch[i]);
    res_nclose(&st);
    return out;
}

TEST_F(Net, SearchDomainsAllCountAndComeBackInTheirSlots) {
    QAVONETCARDINFO card{};
    strcpy(card.dns[0], "192.0.2.53");
    strcpy(card.search[0], "a.example");
    strcpy(card.search[1], "b.example");
    strcpy(card.search[2], "c.example");
    ASSERT_EQ(QAVONetSetDNSDomain(&card), 0);
    const std::string written = "nameserver\t192.0.2.53\nsearch\t\ta.example b.example c.example\n";
    EXPECT_EQ(qtest::ReadFile("/etc/resolv.conf"), written);
    EXPECT_EQ(ResolverSearch(), (std::vector<std::string>{"a.example", "b.example", "c.example"}));
    QAVONETCARDINFO back{};
    ASSERT_EQ(QAVONetGetDNSDomain(&back), 0);
    for (int i = 0; i < QAVO_NET_SEARCH_MAX; ++i)
        EXPECT_STREQ(back.search[i], card.search[i]) << i;
    ASSERT_EQ(QAVONetSetDNSDomain(&back), 0);
    EXPECT_EQ(qtest::ReadFile("/etc/resolv.conf"), written);
}

TEST_F(Net, NameServersAndSearchDomainsAreWritten) {
    QAVONETCARDINFO card{};
    strcpy(card.dns[1], "192.0.2.053");
    strcpy(card.search[5], "example.org");
    ASSERT_EQ(QAVONetSetDNSDomain(&card), 0);
    EXPECT_EQ(qtest::ReadFile("/etc/resolv.conf"),
              "nameserver\t192.0.2.43\nsearch\t\texample.org\n");
    // A search domain with a line break or a blank would add lines: refused.
    for (const char *bad : {"a\nnameserver 6.6.6.6", "a b"}) {
        strcpy(card.search[0], bad);
        EXPECT_EQ(QAVONetSetDNSDomain(&card), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_EQ(qtest::ReadFile("/etc/resolv.conf"),
              "nameserver\t192.0.2.43\nsearch\t\texample.org\n");

    EXPECT_EQ(QAVOILnxRenewResolvConf(), 0);
    EXPECT_EQ(qtest::ReadFile("/etc/resolv.conf"), "");
    EXPECT_FALSE(qtest::FileExists("/etc/resolv.conf.tmp"));
    qtest::RemoveFile("/etc/resolv.conf");
    EXPECT_EQ(QAVOILnxRenewResolvConf(), -1);

    qtest::WriteFile(kNetwork, "HOSTNAME=a\nGATEWAY=192.0.2.1\n");
    EXPECT_EQ(QAVOILnxRemoveGateway(), 1);
    EXPECT_EQ(QAVOILnxRemoveGateway(), 0);
    EXPECT_EQ(qtest::ReadFile(kNetwork), "HOSTNAME=a\n");
}

// MTU changes at each link speed the driver may report.
struct MtuCase {
    const char *ethtool;  // shim answer; nullptr: the veth driver's own (10000)
    const char *mtu;
    int result;
    bool changes;  // the interface takes it
    bool stored;
};

void PrintTo(const MtuCase &c, std::ostream *os) {
    *os << (c.ethtool ? c.ethtool : "veth") << " mtu " << c.mtu;
}

class NetMtu : public Net, public ::testing::WithParamInterface<MtuCase> {};

TEST_P(NetMtu, SetsWhereTheLinkAllowsAndStoresOnlyWhatHolds) {
    const MtuCase &c = GetParam();
    std::unique_ptr<qsim::Appliance> hw;
    if (c.ethtool) hw = std::make_unique<qsim::Appliance>(std::string("ethtool ") + c.ethtool);
    qtest::WriteFile("/etc/qavoinfo.conf", "MTUValue=\"1500\"\n");
    EXPECT_EQ(QAVONetSetMTUValue(c.mtu), c.result) << std::hex << SLIBErrGet();
    EXPECT_EQ(Trim(qtest::ReadFile("/sys/class/net/eth0/mtu")), c.changes ? c.mtu : "1500");
    EXPECT_EQ(qtest::ReadFile("/etc/qavoinfo.conf"),
              std::string("MTUValue=\"") + (c.stored ? c.mtu : "1500") + "\"\n");
}

INSTANTIATE_TEST_SUITE_P(Speeds, NetMtu,
                         ::testing::Values(MtuCase{"100", "1400", 0, false, true},
                                           MtuCase{"10 half", "1400", 0, false, true},
                                           MtuCase{"unsupported", "1400", 0, false, true},
                                           MtuCase{"1000", "1400", 0, true, true},
                                           MtuCase{nullptr, "9000", 0, true, true},
                                           MtuCase{"1000", "70000", -1, false, false},
                                           MtuCase{"2", "1400", -1, false, false},
                                           MtuCase{"errno 5", "1400", -1, false, false},
                                           MtuCase{"100", "1400;x", -1, false, false}),
                         [](const ::testing::TestParamInfo<MtuCase> &info) {
                             std::string name =
                                 std::string(info.param.ethtool ? info.param.ethtool : "veth") +
                                 "_" + info.param.mtu;
                             for (char &c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST_F(Net, LinkRecordOfEth0) {
    qsim::Appliance hw("ethtool 100 half");
    QAVOETHINFO info{7, 7, 7};
    ASSERT_EQ(QAVOIGetEthInfo(&info), 0);
    EXPECT_EQ(info.nSpeed, 100);
    EXPECT_EQ(info.nDuplex, 0);
    EXPECT_EQ(info.nMTU, 1500);
    EXPECT_EQ(QAVOIGetIfMTU(), 1500);

    // The shim reads its settings afresh on each call.
    qtest::WriteFile("/sim/kernel.conf", "ethtool unsupported\n");
    info = {7, 7, 7};
    ASSERT_EQ(QAVOIGetEthInfo(&info), 0);
    EXPECT_EQ(info.nSpeed, 7);
    EXPECT_EQ(info.nDuplex, 7);

    Must("ip link del eth0");
    info = {7, 7, 7};
    EXPECT_EQ(QAVOIGetEthInfo(&info), -1);
    EXPECT_EQ(info.nMTU, -1);
    EXPECT_EQ(QAVOIGetIfMTU(), 0);
    EXPECT_EQ(QAVONetSetMTUValue("1500"), -1);
}

}  // namespace
