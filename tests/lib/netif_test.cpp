// Network interface utilities against real interfaces of the appliance root's
// own network namespace (veth pairs), checked with ip(8) and /sys/class/net.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_netif.h"

namespace {

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

int Ip(const std::string &args) {
    std::string out;
    return qtest::Sh("ip " + args + " 2>&1", &out);
}

std::string SysNet(const std::string &dev, const std::string &attr) {
    return Trim(qtest::ReadFile("/sys/class/net/" + dev + "/" + attr));
}

unsigned SysFlags(const std::string &dev) {
    return std::stoul(SysNet(dev, "flags"), nullptr, 16);
}

// "a.b.c.d/nn" of the interface's IPv4 addresses, as ip(8) shows them.
std::vector<std::string> IpAddrs(const std::string &dev) {
    std::string out;
    qtest::Sh("ip -4 -o addr show dev " + dev, &out);
    std::vector<std::string> addrs;
    std::istringstream in(out);
    std::string word;
    while (in >> word) {
        if (word == "inet" && in >> word) addrs.push_back(word);
    }
    return addrs;
}

std::string Mac(const uint8_t *mac) {
    char text[18];
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

uint32_t Addr(const char *dotted) {
    in_addr in{};
    inet_pton(AF_INET, dotted, &in);
    return in.s_addr;
}

// Interface names of "/proc/net/dev" in its order, lo left out.
std::vector<std::string> ProcNames() {
    std::istringstream in(qtest::ReadFile("/proc/net/dev"));
    std::string line;
    std::vector<std::string> names;
    for (int n = 0; std::getline(in, line); ++n) {
        if (n < 2) continue;
        std::string name = line.substr(0, line.find(':'));
        name.erase(0, name.find_first_not_of(" \t"));
        if (name != "lo") names.push_back(name);
    }
    return names;
}

// The name cache lives for the life of a process: enumeration checks run in a
// child so that they see the interfaces made for them, whatever ran before.
void InFreshProcess(const std::function<void()> &body) {
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "child failed (its failures are printed above), status " << status;
}

class Netif : public ::testing::Test {
  protected:
    void SetUp() override {
        // The appliance root has no /sys; a read-only sysfs of its own
        // network namespace shows the interfaces.
        if (!qtest::FileExists("/sys/class/net")) {
            mkdir("/sys", 0755);
            ASSERT_EQ(mount("sysfs", "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                            nullptr),
                      0)
                << strerror(errno);
        }
    }
    void TearDown() override {
        for (const auto &dev : pairs_)
            Ip("link del " + dev);
    }
    // A veth pair; both ends up unless told otherwise.
    void Pair(const std::string &a, const std::string &b, bool up = true) {
        ASSERT_EQ(Ip("link add " + a + " type veth peer name " + b), 0) << a;
        pairs_.push_back(a);
        if (up) {
            ASSERT_EQ(Ip("link set " + a + " up"), 0);
            ASSERT_EQ(Ip("link set " + b + " up"), 0);
        }
    }
    std::vector<std::string> pairs_;
};

SLIBNETIFINFO Filled(char c) {
    SLIBNETIFINFO info;
    memset(&info, c, sizeof(info));
    info.address[sizeof(info.address) - 1] = '\0';
    return info;
}

TEST_F(Netif, EnumListsUpInterfacesAsTheKernelShowsThem) {
    Pair("qa", "qb");
    Pair("qc", "qd");
    ASSERT_EQ(Ip("link set qd down"), 0);  // qc stays up without a carrier
    ASSERT_EQ(Ip("addr add 10.9.8.7/24 dev qa"), 0);

    InFreshProcess([] {
        EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), 3);
        EXPECT_EQ(SLIBNetEnumIf(nullptr, 2), 2);
        EXPECT_EQ(SLIBNetEnumIf(nullptr, -1), -1);

        std::vector<SLIBNETIFINFO> arr(5, Filled('k'));
        EXPECT_EQ(SLIBNetEnumIf(arr.data(), 0), 0);
        EXPECT_EQ(arr[0].name[0], 'k');

        ASSERT_EQ(SLIBNetEnumIf(arr.data(), 5), 3);
        std::map<std::string, const SLIBNETIFINFO *> got;
        for (int i = 0; i < 3; ++i)
            got[arr[i].name] = &arr[i];
        ASSERT_EQ(got.size(), 3u);
        for (const char *dev : {"qa", "qb", "qc"}) {
            ASSERT_TRUE(got.count(dev)) << dev;
            const SLIBNETIFINFO &info = *got[dev];
            const bool running = SysNet(dev, "operstate") == "up";
            EXPECT_EQ(info.flags & ~IFF_RUNNING, static_cast<int>(SysFlags(dev))) << dev;
            EXPECT_EQ(info.link, running ? 2u : 0u) << dev;
            EXPECT_EQ((info.flags & IFF_RUNNING) != 0, running) << dev;
            EXPECT_EQ(Mac(info.mac), SysNet(dev, "address")) << dev;
        }
        EXPECT_FALSE(SysNet("qc", "operstate") == "up");
        EXPECT_STREQ(got["qa"]->address, "10.9.8.7");
        // No IPv4 address: the caller's text stays.
        EXPECT_EQ(std::string(got["qb"]->address), std::string(65, 'k'));
        // Elements past the count are not touched.
        EXPECT_EQ(arr[3].name[0], 'k');
    });
}

TEST_F(Netif, EnumKeepsTheNamesOfItsFirstCall) {
    Pair("qa", "qb");
    pairs_.push_back("qc");  // made by the child, removed here
    InFreshProcess([] {
        EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), 2);
        ASSERT_EQ(Ip("link add qc type veth peer name qd"), 0);
        ASSERT_EQ(Ip("link set qc up"), 0);
        ASSERT_EQ(Ip("link set qd up"), 0);
        EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), 2);
    });
}

TEST_F(Netif, EnumWithMoreInterfacesThanTheCacheHolds) {
    // 80 interfaces: far more than 8, and more than the cache keeps.
    for (int i = 0; i < 40; ++i) {
        Pair("qa" + std::to_string(i), "qb" + std::to_string(i));
        if (HasFatalFailure()) return;
    }
    const std::vector<std::string> names = ProcNames();
    ASSERT_EQ(names.size(), 80u);

    InFreshProcess([&names] {
        EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), 8);
        std::vector<SLIBNETIFINFO> arr(100, Filled(0));
        // lo takes one of the cached names.
        const int n = SLIBNetEnumIf(arr.data(), 100);
        ASSERT_EQ(n, SLIBNET_IF_CACHE_MAX - 1);
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(arr[i].name, names[i]) << i;
    });
}

TEST_F(Netif, FifteenCharacterNameWorksAndALongerOneIsRefused) {
    const std::string name = "abcdefghijklmno";
    ASSERT_EQ(name.size(), 15u);
    Pair(name, "qb");
    InFreshProcess([&name] {
        SLIBNETIFINFO arr[2];
        ASSERT_EQ(SLIBNetEnumIf(arr, 2), 2);
        EXPECT_TRUE(arr[0].name == name || arr[1].name == name);
    });

    const uint32_t addr = Addr("172.16.5.9"), mask = Addr("255.255.0.0");
    EXPECT_EQ(SLIBNetSetIfAddr(name.c_str(), &addr, &mask), 1);
    EXPECT_EQ(IpAddrs(name), std::vector<std::string>{"172.16.5.9/16"});

    // One character more must not reach the 15-character interface.
    const std::string longer = name + "X";
    const uint32_t other = Addr("192.168.3.3");
    uint32_t a = 0, m = 0;
    EXPECT_EQ(SLIBNetSetIfAddr(longer.c_str(), &other, &mask), 0);
    EXPECT_EQ(SLIBNetGetIfAddr(longer.c_str(), &a, &m), 0);
    EXPECT_EQ(SLIBNetSetIfFlags(longer.c_str(), -IFF_UP), 0);
    EXPECT_EQ(SLIBNetRestartIf(longer.c_str()), 0);
    EXPECT_EQ(IpAddrs(name), std::vector<std::string>{"172.16.5.9/16"});
    EXPECT_TRUE(SysFlags(name) & IFF_UP);
}

// "/proc/net/dev" replaced by the given text for this child process only.
void FakeProcNetDev(const std::string &text) {
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mount("none", "/proc", "tmpfs", 0, nullptr), 0) << strerror(errno);
    mkdir("/proc/net", 0755);
    qtest::WriteFile("/proc/net/dev", text);
}

TEST_F(Netif, EnumRefusesAnUnexpectedListingAndReadsItAgainLater) {
    Pair("qa", "qb");
    const std::string head = "Inter-|   Receive\n face |bytes    packets\n";
    const std::string good = head + "    lo: 0 0\n    qa: 1 2\n  qb: 3 4\n";
    struct Case {
        const char *what;
        std::string text;
    };
    const Case cases[] = {
        {"line without a colon", head + "    lo: 0 0\ngarbage\n    qa: 1 2\n"},
        {"empty name", head + "    : 0 0\n"},
        {"name of 16 characters", head + "abcdefghijklmnop: 0 0\n"},
        {"empty line", head + "    qa: 1 2\n\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qtest::ClearSyslog();
        InFreshProcess([&c, &good] {
            FakeProcNetDev(c.text);
            // The caller lives on and gets -1.
            EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), -1);
            EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), -1);
            // Nothing half-read was kept: a sound listing is read afresh.
            qtest::WriteFile("/proc/net/dev", good);
            EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), 2);
        });
        EXPECT_TRUE(qtest::SyslogHas("lib/qavonetif(", LOG_ERR));
        EXPECT_TRUE(qtest::SyslogHas("assert NULL != pch", LOG_ERR));
    }
    // A listing of headers only, and one without them, list nothing.
    InFreshProcess([&head] {
        FakeProcNetDev(head);
        EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), 0);
    });
    InFreshProcess([] {
        FakeProcNetDev("");
        EXPECT_EQ(SLIBNetEnumIf(nullptr, 8), 0);
    });
}

TEST_F(Netif, SetAndGetAddressAgreeWithIp) {
    Pair("qa", "qb");
    const uint32_t addr = Addr("192.168.77.5"), mask24 = Addr("255.255.255.0");
    EXPECT_EQ(SLIBNetSetIfAddr("qa", &addr, &mask24), 1);
    EXPECT_EQ(IpAddrs("qa"), std::vector<std::string>{"192.168.77.5/24"});
    // Same address again, then only the netmask changes.
    EXPECT_EQ(SLIBNetSetIfAddr("qa", &addr, &mask24), 1);
    const uint32_t mask16 = Addr("255.255.0.0");
    EXPECT_EQ(SLIBNetSetIfAddr("qa", &addr, &mask16), 1);
    EXPECT_EQ(IpAddrs("qa"), std::vector<std::string>{"192.168.77.5/16"});

    // An address that ip(8) set is read back.
    ASSERT_EQ(Ip("addr add 10.1.2.3/20 dev qb"), 0);
    uint32_t a = 0, m = 0;
    EXPECT_EQ(SLIBNetGetIfAddr("qb", &a, &m), 1);
    EXPECT_EQ(a, Addr("10.1.2.3"));
    EXPECT_EQ(m, Addr("255.255.240.0"));

    // Failures: no address, no such interface, missing arguments.
    ASSERT_EQ(Ip("addr flush dev qb"), 0);
    EXPECT_EQ(SLIBNetGetIfAddr("qb", &a, &m), 0);
    EXPECT_EQ(SLIBNetGetIfAddr("nosuch0", &a, &m), 0);
    EXPECT_EQ(SLIBNetSetIfAddr("nosuch0", &addr, &mask24), 0);
    EXPECT_EQ(SLIBNetGetIfAddr(nullptr, &a, &m), 0);
    EXPECT_EQ(SLIBNetGetIfAddr("qa", nullptr, &m), 0);
    EXPECT_EQ(SLIBNetSetIfAddr("qa", &addr, nullptr), 0);
    EXPECT_EQ(SLIBNetSetIfAddr("", &addr, &mask24), 0);
    EXPECT_EQ(IpAddrs("qa"), std::vector<std::string>{"192.168.77.5/16"});
}

TEST_F(Netif, FlagsAreSetAndClearedOnTheInterface) {
    Pair("qa", "qb");
    const unsigned before = SysFlags("qa");
    ASSERT_TRUE(before & IFF_UP);
    ASSERT_TRUE(before & IFF_MULTICAST);

    EXPECT_EQ(SLIBNetSetIfFlags("qa", -1), 1);
    EXPECT_EQ(SysFlags("qa"), before & ~IFF_UP);
    EXPECT_EQ(SLIBNetSetIfFlags("qa", 1), 1);
    EXPECT_EQ(SysFlags("qa"), before);

    EXPECT_EQ(SLIBNetSetIfFlags("qa", -IFF_MULTICAST), 1);
    EXPECT_EQ(SysFlags("qa"), before & ~IFF_MULTICAST);
    EXPECT_EQ(SLIBNetSetIfFlags("qa", IFF_MULTICAST), 1);
    // Bits beyond the 16-bit word, and the most negative argument, change nothing.
    EXPECT_EQ(SLIBNetSetIfFlags("qa", INT_MIN), 1);
    EXPECT_EQ(SLIBNetSetIfFlags("qa", 0x10000), 1);
    EXPECT_EQ(SysFlags("qa"), before);

    EXPECT_EQ(SLIBNetSetIfFlags("nosuch0", 1), 0);
    EXPECT_EQ(SLIBNetSetIfFlags(nullptr, 1), 0);
}

TEST_F(Netif, RestartBouncesAnUpInterfaceAndRaisesADownOne) {
    Pair("qa", "qb");
    const unsigned long downs = std::stoul(SysNet("qa", "carrier_down_count"));
    EXPECT_EQ(SLIBNetRestartIf("qa"), 1);
    EXPECT_EQ(std::stoul(SysNet("qa", "carrier_down_count")), downs + 1);
    EXPECT_TRUE(SysFlags("qa") & IFF_UP);

    ASSERT_EQ(Ip("link set qb down"), 0);
    EXPECT_EQ(SLIBNetRestartIf("qb"), 1);
    EXPECT_TRUE(SysFlags("qb") & IFF_UP);

    EXPECT_EQ(SLIBNetRestartIf("nosuch0"), 0);
    EXPECT_EQ(SLIBNetRestartIf(nullptr), 0);
}

TEST_F(Netif, PhysicalInterfaceIsTheFirstWithAnAddressAndAlwaysEth0) {
    EXPECT_EQ(SLIBNetGetPsIf(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);

    // Only lo: the hardware address stays as it was, the record still says running.
    SLIBNETIFINFO info = Filled('z');
    EXPECT_EQ(SLIBNetGetPsIf(&info), 1);
    EXPECT_STREQ(info.name, "eth0");
    EXPECT_STREQ(info.address, "");
    EXPECT_EQ(Mac(info.mac), "7a:7a:7a:7a:7a:7a");
    EXPECT_EQ(info.link, 2u);
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.reserved1, 0u);
    for (uint32_t r : info.reserved2)
        EXPECT_EQ(r, 0u);
    EXPECT_TRUE(qtest::SyslogHas("SLIBNetGetPsIf: get mac addr error", LOG_ERR));

    // An interface without IPv4 address is not listed; the one with it gives its address.
    Pair("qa", "qb");
    Pair("qc", "qd");
    ASSERT_EQ(Ip("addr add 10.4.4.4/8 dev qc"), 0);
    qtest::ClearSyslog();
    info = Filled('z');
    EXPECT_EQ(SLIBNetGetPsIf(&info), 1);
    EXPECT_STREQ(info.name, "eth0");
    EXPECT_EQ(Mac(info.mac), SysNet("qc", "address"));
    EXPECT_EQ(info.link, 2u);
    EXPECT_FALSE(qtest::SyslogHas("get mac addr error"));
}

}  // namespace
