// Power off and reboot: the notice to the hardware, the reboot flag in the
// vendor partition, the flash reads and the power program, in that order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_hw.h"
#include "qavo_sys.h"
#include "qavobios.h"
#include "qavosim.h"
#include "slib_errcode.h"

namespace {

using Calls = std::vector<std::vector<std::string>>;

// The devices and kinds of the flash operations after the power-off began,
// leaving out what the reading of the flash edition itself does.
std::vector<std::string> FlashSteps(const qsim::Appliance &hw) {
    std::vector<std::string> steps;
    for (const auto &j : hw.Journal()) {
        std::string step = j.dev + " " + j.kind;
        if (j.kind == "write")
            step += " " + std::to_string(j.offset) + "+" + std::to_string(j.length);
        if (steps.empty() || steps.back() != step) steps.push_back(step);
    }
    return steps;
}

// The power programs are called only where the launcher put the recording
// stand-in over them (--standin; a host without them has none to call).
bool Standin(const std::string &path) {
    return qtest::FileExists(path) &&
           qtest::ReadFile(path) == qtest::ReadFile(qtest::SourceDir() + "/sim/standin");
}

bool NoticeSent(const qsim::Bios &bios) {
    auto journal = bios.Journal();
    if (journal.size() != 1 || journal[0].request != QAVO_BIOS_EXTCTRL) return false;
    const std::vector<uint8_t> head{0x03, 0x40, 0, 0, 0, 0, 0, 0};
    return std::equal(head.begin(), head.end(), journal[0].in.begin());
}

}  // namespace

TEST(SysPowerOff, RebootLeavesTheFlagThenReadsFlashThenReboots) {
    if (!Standin("/sbin/reboot")) GTEST_SKIP() << "/sbin/reboot is no stand-in here";
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"qavomark_ixp420_1hd\"\n");
    qsim::Appliance hw("edition full\nstrict on");
    qsim::Bios bios;
    hw.ClearJournal();
    qtest::ClearCalls();
    QAVOSysPowerOff(QAVO_POWER_REBOOT);
    EXPECT_TRUE(NoticeSent(bios));
    // The chip powered up locked: the vendor partition is unlocked first.
    const std::vector<std::string> steps = {"mtd_vender getinfo", "mtd_vender unlock",
                                            "mtd_vender write 65536+4", "mtd4 read", "mtd5 read"};
    EXPECT_EQ(FlashSteps(hw), steps);
    // The vendor partition of the full edition starts at chip offset 0x740000.
    const auto chip = hw.Chip();
    EXPECT_EQ(std::vector<uint8_t>(chip.begin() + 0x750000, chip.begin() + 0x750004),
              std::vector<uint8_t>(4, 0x01));
    EXPECT_EQ(qtest::Calls(), (Calls{{"/sbin/reboot"}}));

    // A flag that cannot be written does not stop the reboot.
    hw.Fault("fault write mtd_vender 1");
    hw.ClearJournal();
    qtest::ClearCalls();
    SLIBErrSet(0);
    QAVOSysPowerOff(QAVO_POWER_REBOOT);
    EXPECT_EQ(SLIBErrGet(), ERR_WRITE_FAILED);
    EXPECT_EQ(FlashSteps(hw), steps);
    EXPECT_EQ(qtest::Calls(), (Calls{{"/sbin/reboot"}}));

    // Nor does an unlock the kernel refuses; a flag on blocks still locked
    // is not written.
    ASSERT_TRUE(hw.Fault("lock mtd_vender"));
    ASSERT_TRUE(hw.Fault("fault unlock mtd_vender 1"));
    hw.ClearJournal();
    qtest::ClearCalls();
    SLIBErrSet(0);
    QAVOSysPowerOff(QAVO_POWER_REBOOT);
    EXPECT_EQ(SLIBErrGet(), ERR_WRITE_FAILED);
    EXPECT_EQ(FlashSteps(hw), steps);
    EXPECT_EQ(qtest::Calls(), (Calls{{"/sbin/reboot"}}));
}

TEST(SysPowerOff, PowerOffAndMSystemsLeaveNoFlag) {
    if (!Standin("/sbin/poweroff") || !Standin("/sbin/reboot"))
        GTEST_SKIP() << "/sbin/poweroff is no stand-in here";
    qsim::Bios bios;
    {
        qsim::Appliance hw("edition full\nstrict on");
        hw.ClearJournal();
        qtest::ClearCalls();
        QAVOSysPowerOff(QAVO_POWER_OFF);
        EXPECT_TRUE(NoticeSent(bios));
        EXPECT_EQ(FlashSteps(hw), (std::vector<std::string>{"mtd4 read", "mtd5 read"}));
        EXPECT_EQ(qtest::Calls(), (Calls{{"/sbin/poweroff"}}));
    }
    bios.Control("clearjournal");
    qsim::Appliance msys("msys on");
    msys.ClearJournal();
    qtest::ClearCalls();
    QAVOSysPowerOff(QAVO_POWER_REBOOT);
    EXPECT_TRUE(NoticeSent(bios));
    for (const auto &j : msys.Journal())
        EXPECT_NE(j.kind, "write") << j.dev;
    EXPECT_EQ(qtest::Calls(), (Calls{{"/sbin/reboot"}}));
}

TEST(SysPowerOff, OtherActionsDoNothing) {
    qsim::Bios bios;
    qtest::ClearCalls();
    for (int action : {2, -1}) {
        SLIBErrSet(0);
        QAVOSysPowerOff(action);
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_TRUE(bios.Journal().empty());
    EXPECT_TRUE(qtest::Calls().empty());
}

TEST(SysNoRoot, TouchesTheMarker) {
    EXPECT_FALSE(qtest::FileExists("/.noroot"));
    EXPECT_EQ(QAVOSysNoRoot(), 0);
    EXPECT_TRUE(qtest::FileExists("/.noroot"));
}
