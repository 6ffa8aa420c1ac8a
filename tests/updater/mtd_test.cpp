// The flash access layer on the flash emulator (both editions, strict writes)
// and the kernel shim.
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>

#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_mtd.h"
#include "qavosim.h"

using namespace qtest;
using Bytes = std::vector<uint8_t>;

namespace {

struct Edition {
    const char *name;
    const char *dirDev;  // the flash-directory device
    int parts;
    uint32_t chipBase, block;
};
const Edition kEditions[] = {
    {"pomlet", "/dev/mtd5", 6, 0xFFE00000, 0x10000},
    {"full", "/dev/mtd7", 8, 0xFF800000, 0x20000},
};

std::string Desc(const Edition &e) {
    return std::string("edition ") + e.name + "\nstrict on\n";
}

// Chip offset and size of a device's window.
std::pair<size_t, size_t> Where(const Edition &e, const std::string &dev) {
    uint32_t start = 0;
    uint64_t size = 0;
    EXPECT_TRUE(qsim::Window(dev, &start, &size, nullptr)) << dev;
    return {start - e.chipBase, size};
}

uint64_t LockedBlocks(const std::string &dev) {
    uint64_t locked = 0;
    EXPECT_TRUE(qsim::Window(dev, nullptr, nullptr, &locked));
    return locked;
}

std::vector<qsim::JournalRec> Ops(const std::string &kind) {
    std::vector<qsim::JournalRec> out;
    for (auto &j : qsim::Journal())
        if (j.kind == kind) out.push_back(j);
    return out;
}

}  // namespace

TEST(MtdLayer, GeometryAndDirectoryOnBothEditions) {
    for (auto &ed : kEditions) {
        SCOPED_TRACE(ed.name);
        qsim::Appliance hw(Desc(ed));
        mtd_info_user info;
        ASSERT_EQ(QAVOMTDGetDeviceInfo(ed.dirDev, &info, sizeof info), 0);
        EXPECT_EQ(info.erasesize, ed.block);
        EXPECT_EQ(info.size, Where(ed, std::string(ed.dirDev + 5)).second);

        int need = -1;
        ASSERT_EQ(QAVOMTDGetPartitionInfo(ed.dirDev, nullptr, 0, &need), ed.parts);
        ASSERT_EQ(need, ed.parts * 256);
        std::vector<FISDIRENTRY> dir(ed.parts);
        ASSERT_EQ(QAVOMTDGetPartitionInfo(ed.dirDev, dir.data(), need, &need), ed.parts);
        for (int i = 0; i < ed.parts; ++i) {
            std::string dev = "mtd" + std::to_string(i);
            uint32_t start = 0;
            uint64_t size = 0;
            ASSERT_TRUE(qsim::Window(dev, &start, &size, nullptr));
            EXPECT_EQ(dir[i].flash_base, start) << i;
            EXPECT_EQ(dir[i].mem_base, start) << i;
            EXPECT_EQ(dir[i].size, size) << i;
        }
        EXPECT_EQ(strncmp(dir[0].szName, "RedBoot", 16), 0);
        EXPECT_EQ(strncmp(dir[ed.parts - 1].szName, "FIS Directory", 16), 0);
        EXPECT_TRUE(Ops("write").empty() && Ops("erase").empty());
    }
}

// The directory's end marker, a directory without one, a buffer too small,
// a name of 16 characters and the refused arguments.
TEST(MtdLayer, DirectoryEdgesAndBadArguments) {
    const Edition &ed = kEditions[0];
    qsim::Appliance hw(Desc(ed));
    auto [dir, dirSize] = Where(ed, "mtd5");
    Bytes chip = hw.Chip();

    // Second entry: a 16-character name without a terminator, fields after it
    // decoded little-endian.
    auto e = qsim::FisEntry("", 0x12345678, 0x10000, 0xABCDEF01, 0x0A0B0C0D);
    memcpy(e.data(), "ABCDEFGHIJKLMNOP", 16);
    std::copy(e.begin(), e.end(), chip.begin() + dir + 256);
    ASSERT_TRUE(hw.Load(chip));
    std::vector<FISDIRENTRY> out(6);
    int need = 0;
    ASSERT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd5", out.data(), 6 * 256, &need), 6);
    EXPECT_EQ(std::string(out[1].szName, 16), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(out[1].flash_base, 0x12345678u);
    EXPECT_EQ(out[1].mem_base, 0x0A0B0C0Du);
    EXPECT_EQ(out[1].data_length, 0xABCDEF01u);
    EXPECT_EQ(strncmp(out[2].szName, "rd.gz", 16), 0);

    // One entry too small: refused although the count is known.
    ClearSyslog();
    EXPECT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd5", out.data(), 5 * 256 + 255, &need), -1);
    EXPECT_TRUE(SyslogHas("QAVOMTDGetPartitionInfo", 3) && SyslogHas("not enough memory", 3));

    // First entry erased: an empty directory.
    chip[dir] = 0xFF;
    ASSERT_TRUE(hw.Load(chip));
    need = -1;
    EXPECT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd5", nullptr, 0, &need), 0);
    EXPECT_EQ(need, 0);

    // No end marker at all: the read at the device's end is short.
    std::fill(chip.begin() + dir, chip.begin() + dir + dirSize, 0x00);
    ASSERT_TRUE(hw.Load(chip));
    ClearSyslog();
    EXPECT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd5", nullptr, 0, &need), -1);
    EXPECT_TRUE(SyslogHas("failed to read from /dev/mtd5", 3));

    // Refused arguments, and nothing is opened for them.
    hw.ClearJournal();
    ClearSyslog();
    EXPECT_EQ(QAVOMTDGetPartitionInfo(nullptr, nullptr, 0, &need), -1);
    EXPECT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd5", nullptr, 0, nullptr), -1);
    EXPECT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd5", out.data(), 0, &need), -1);
    EXPECT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd5", nullptr, 256, &need), -1);
    mtd_info_user info;
    EXPECT_EQ(QAVOMTDGetDeviceInfo("/dev/mtd5", &info, 31), -1);
    EXPECT_EQ(QAVOMTDGetDeviceInfo("/dev/mtd5", nullptr, 32), -1);
    EXPECT_EQ(QAVOMTDModifyPartitionSize(nullptr, 0, 0), -1);
    EXPECT_EQ(QAVOMTDModifyFISEntry("/dev/mtd5", nullptr), -1);
    EXPECT_EQ(QAVOMTDErasePartition(nullptr), -1);
    EXPECT_EQ(QAVOMTDILock(nullptr, 1), -1);
    int params = 0;
    for (auto &m : Syslog())
        params += m.priority == 3 && m.message.find("parameter error") != std::string::npos;
    EXPECT_EQ(params, 10);
    EXPECT_TRUE(hw.Journal().empty());

    // A device that does not exist.
    ClearSyslog();
    EXPECT_EQ(QAVOMTDGetDeviceInfo("/dev/mtd9", &info, sizeof info), -1);
    EXPECT_EQ(QAVOMTDErasePartition("/dev/mtd9"), -1);
    EXPECT_TRUE(SyslogHas("fail to open mtd device, errno = 2", 3));
    EXPECT_TRUE(SyslogHas("fail to open mtd device /dev/mtd9, errno = 2", 3));
}

TEST(MtdLayer, LockUnlockAndEraseWholeDevices) {
    for (auto &ed : kEditions) {
        SCOPED_TRACE(ed.name);
        qsim::Appliance hw(Desc(ed));
        auto [off, size] = Where(ed, "mtd1");
        uint64_t blocks = size / ed.block;

        ASSERT_EQ(QAVOMTDLockPartition("/dev/mtd1"), 0);
        EXPECT_EQ(LockedBlocks("mtd1"), blocks);
        ClearSyslog();
        EXPECT_EQ(QAVOMTDErasePartition("/dev/mtd1"), -1);
        EXPECT_TRUE(SyslogHas("Could not erase MTD device: /dev/mtd1, errno = 30", 3));
        EXPECT_EQ(QAVOMTDILock("/dev/mtd1", 2), 0);  // any value but 1 unlocks
        EXPECT_EQ(LockedBlocks("mtd1"), 0u);

        // Some data in the partition; the erase clears all of it and nothing else.
        Bytes chip = hw.Chip();
        std::fill(chip.begin() + off, chip.begin() + off + size, 0x5A);
        ASSERT_TRUE(hw.Load(chip));
        hw.ClearJournal();
        ASSERT_EQ(QAVOMTDErasePartition("/dev/mtd1"), 0);
        std::fill(chip.begin() + off, chip.begin() + off + size, 0xFF);
        EXPECT_EQ(hw.Chip(), chip);
        auto erases = Ops("erase");
        ASSERT_EQ(erases.size(), 1u);
        EXPECT_EQ(erases[0].offset, 0u);
        EXPECT_EQ(erases[0].length, size);

        ASSERT_EQ(QAVOMTDLockPartition("/dev/mtd1"), 0);
        ASSERT_EQ(QAVOMTDUnlockPartition("/dev/mtd1"), 0);
        EXPECT_EQ(LockedBlocks("mtd1"), 0u);

        // Failures of the kernel's requests are reported.
        ASSERT_TRUE(hw.Fault("fault unlock mtd1 1"));
        ClearSyslog();
        EXPECT_EQ(QAVOMTDUnlockPartition("/dev/mtd1"), -1);
        EXPECT_TRUE(SyslogHas("Could not lock/unlock MTD device: /dev/mtd1, errno = 5", 3));
        ASSERT_TRUE(hw.Fault("fault getinfo mtd1 1"));
        EXPECT_EQ(QAVOMTDLockPartition("/dev/mtd1"), -1);
        EXPECT_TRUE(SyslogHas("Could not get MTD device info for /dev/mtd1, errno = 5", 3));
    }
}

TEST(MtdLayer, MovePartitionAndRewriteItsEntry) {
    for (auto &ed : kEditions) {
        SCOPED_TRACE(ed.name);
        qsim::Appliance hw(Desc(ed));
        std::string dirDev(ed.dirDev);
        // rd.gz (mtd2) grows by one block over the start of its neighbour.
        uint32_t start = 0;
        uint64_t size = 0;
        ASSERT_TRUE(qsim::Window("mtd2", &start, &size, nullptr));
        uint32_t newSize = static_cast<uint32_t>(size) + ed.block;
        uint32_t newStart = ed.name == std::string("pomlet") ? start - ed.block : start;
        ASSERT_EQ(QAVOMTDModifyPartitionSize("/dev/mtd2", newStart, newSize), 0);
        uint32_t gotStart = 0;
        ASSERT_TRUE(qsim::Window("mtd2", &gotStart, &size, nullptr));
        EXPECT_EQ(gotStart, newStart);
        EXPECT_EQ(size, newSize);

        // The name is sent cut to 15 characters; the directory shows the change.
        QAVOMTDFISENTRY req;
        memset(&req, 'X', sizeof req.szName);
        memcpy(req.szName, "rd.gz", 6);
        req.flash_base = newStart;
        req.size = newSize;
        req.data_length = 0x12345;
        ASSERT_EQ(QAVOMTDLockPartition(ed.dirDev), 0);  // the kernel rewrites it anyway
        ASSERT_EQ(QAVOMTDModifyFISEntry(ed.dirDev, &req), 0);
        std::vector<FISDIRENTRY> dir(ed.parts);
        int need = 0;
        ASSERT_EQ(QAVOMTDGetPartitionInfo(ed.dirDev, dir.data(), ed.parts * 256, &need), ed.parts);
        EXPECT_EQ(dir[2].flash_base, newStart);
        EXPECT_EQ(dir[2].size, newSize);
        EXPECT_EQ(dir[2].data_length, 0x12345u);

        memcpy(req.szName, "RedBoot ConfigXY", 16);  // 16 characters: no such entry
        ClearSyslog();
        EXPECT_EQ(QAVOMTDModifyFISEntry(ed.dirDev, &req), -1);
        EXPECT_TRUE(SyslogHas("QAVOMTDModifyFISEntry: Failed to set the mtd info of " + dirDev +
                                  " by ioctl, errno = 2",
                              3));
        EXPECT_EQ(QAVOMTDModifyPartitionSize("/dev/mtd2", newStart + 1, newSize), -1);
        EXPECT_TRUE(SyslogHas("Failed to set the mtd info of /dev/mtd2 by ioctl, errno = 22", 3));
    }
}

TEST(MtdLayer, MSysFlashFromTheHardwareFlags) {
    struct Case {
        const char *flags;
        int expect;
    } cases[] = {{"1", 1}, {"7", 1}, {"6", 0}, {"0", 0}, {"absent", 0}};
    for (auto &c : cases) {
        qsim::Appliance hw(std::string("hwflags ") + c.flags);
        EXPECT_EQ(BlQAVOIsMSysFlash(), c.expect) << c.flags;
    }
}
