#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_netbkp.h"
#include "slib_errcode.h"

namespace {

using Calls = std::vector<std::vector<std::string>>;

const std::string kRc = "/usr/qavo/etc/rc.d/";

void SetSupportSsh(const char *value) {
    std::string conf = "unique=\"qavomark_ixp420_1hd\"\n";
    if (value) conf += std::string("supportssh=\"") + value + "\"\n";
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", conf);
}

TEST(NetBkpIsEnabled, ReadsTheSwitch) {
    struct Case {
        const char *line;
        int result;
    } cases[] = {
        {"runnetbkp=\"yes\"\n", 1}, {"runnetbkp=\"YES\"\n", 1}, {"runnetbkp=yes\n", 1},
        {"runnetbkp=\"no\"\n", 0},  {"runnetbkp=\"\"\n", 0},    {"", 0},
    };
    for (const Case &c : cases) {
        qtest::WriteFile("/etc/qavoinfo.conf", std::string("hostname=\"appliance\"\n") + c.line);
        EXPECT_EQ(BlQAVONetBkpIsEnabled(), c.result) << c.line;
    }
}

TEST(NetBkpService, RunsTheDaemonScriptsInOrder) {
    SetSupportSsh("no");
    qtest::ClearCalls();
    EXPECT_EQ(QAVONetBkpService(QAVO_NETBKP_START), 0);
    EXPECT_EQ(qtest::Calls(),
              (Calls{{kRc + "S84rsyncd.sh", "start"}, {kRc + "S85qavonetbkpd.sh", "start"}}));

    SetSupportSsh("yes");
    qtest::ClearCalls();
    EXPECT_EQ(QAVONetBkpService(QAVO_NETBKP_STOP), 0);
    EXPECT_EQ(qtest::Calls(), (Calls{{kRc + "S84rsyncd.sh", "stop"},
                                     {kRc + "S85qavonetbkpd.sh", "stop"},
                                     {kRc + "S95sshd.sh", "stop"}}));
}

TEST(NetBkpService, FailuresAndBadActions) {
    SetSupportSsh("yes");
    qtest::ClearCalls();
    for (int action : {0, 3, -1}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVONetBkpService(action), -1);
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_TRUE(qtest::Calls().empty());

    // A failing rsync script fails the call, but the other daemons are still stopped.
    qtest::SetStandinStatus("S84rsyncd.sh", 1);
    EXPECT_EQ(QAVONetBkpService(QAVO_NETBKP_STOP), -1);
    EXPECT_EQ(qtest::Calls().size(), 3u);
    qtest::SetStandinStatus("S84rsyncd.sh", 0);
    qtest::SetStandinStatus("S95sshd.sh", 2);
    EXPECT_EQ(QAVONetBkpService(QAVO_NETBKP_START), -1);
    qtest::SetStandinStatus("S95sshd.sh", 0);

    // Without "supportssh" the appliance's ssh use is unknown.
    SetSupportSsh(nullptr);
    SLIBErrSet(0);
    EXPECT_EQ(QAVONetBkpService(QAVO_NETBKP_START), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_READ_FAILED);
}

}  // namespace
