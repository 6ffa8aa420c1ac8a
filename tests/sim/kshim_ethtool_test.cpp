// The kernel shim's answer to the network drivers' link query.
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "qavosim.h"

namespace {

struct Answer {
    int result, error;
    uint32_t speed;
    int duplex;
};

// ETHTOOL_GSET (or another command) on the loopback interface.
Answer Query(uint32_t command = ETHTOOL_GSET) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    ethtool_cmd cmd{};
    cmd.cmd = command;
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    ifr.ifr_data = reinterpret_cast<char *>(&cmd);
    errno = 0;
    Answer a{ioctl(fd, SIOCETHTOOL, &ifr), 0, ethtool_cmd_speed(&cmd), cmd.duplex};
    a.error = a.result < 0 ? errno : 0;
    close(fd);
    return a;
}

TEST(KernelShimLink, AnswersTheLinkQueryAsChosen) {
    // Without a setting the driver answers: the loopback has no link query.
    EXPECT_EQ(Query().error, EOPNOTSUPP);
    struct Case {
        const char *desc;
        int result, error;
        uint32_t speed;
        int duplex;
    } cases[] = {
        {"ethtool 1000", 0, 0, 1000, DUPLEX_FULL},
        {"ethtool 100 half", 0, 0, 100, DUPLEX_HALF},
        {"ethtool 10000 full", 0, 0, 10000, DUPLEX_FULL},
        {"ethtool unsupported", -1, EOPNOTSUPP, 0, 0},
        {"ethtool errno 19", -1, 19, 0, 0},
    };
    for (const Case &c : cases) {
        qsim::Appliance hw(c.desc);
        const Answer a = Query();
        EXPECT_EQ(a.result, c.result) << c.desc;
        EXPECT_EQ(a.error, c.error) << c.desc;
        if (c.result == 0) {
            EXPECT_EQ(a.speed, c.speed) << c.desc;
            EXPECT_EQ(a.duplex, c.duplex) << c.desc;
        }
        // Other ethtool commands still reach the driver.
        EXPECT_EQ(Query(ETHTOOL_GDRVINFO).error, EOPNOTSUPP) << c.desc;
        ASSERT_EQ(qsim::KernelLog().size(), 1u) << c.desc;
        EXPECT_EQ(qsim::KernelLog()[0].rfind("ethtool gset lo -> ", 0), 0u);
    }
    for (const char *bad : {"ethtool", "ethtool fast", "ethtool 100 quarter", "ethtool errno 0",
                            "ethtool unsupported 1", "ethtool 100 full 1"}) {
        std::string err;
        EXPECT_FALSE(qsim::Up(bad, "/tmp", &err)) << bad;
    }
}

}  // namespace
