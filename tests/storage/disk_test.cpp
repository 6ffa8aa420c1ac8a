#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "appliance.h"
#include "disk_sim.h"
#include "qavo_disk.h"
#include "qavo_diskprobe.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

std::string Info(const char *key) {
    char buf[64] = "";
    if (SLIBFileGetKeyValue("/etc/qavoinfo.conf", key, buf, sizeof buf, 0) <= 0) return "<absent>";
    return buf;
}

// A SMART table whose attribute 194 has the raw bytes 2d 00 14 00 32 00.
constexpr const char *kSmart45 = "attr 1 000000000000\nattr 194 2d0014003200\n";

TEST(DiskStandby, MinutesToCountOnBothPaths) {
    dsim::AddDrive("sda", "");
    dsim::AddDrive("sdb", "");
    dsim::SetHost("sdb", "platform");
    struct Case {
        int minutes, count;
    } cases[] = {{0, 0}, {20, 240}, {21, 252}, {30, 241}, {330, 251}, {480, 253}, {1, 12}};
    for (const Case &c : cases) {
        dsim::ClearLog();
        ASSERT_EQ(QAVOHDSleepTimeSet(c.minutes), 0) << c.minutes;
        char count[8];
        snprintf(count, sizeof count, "0x%02x", c.count);
        EXPECT_EQ(dsim::Log("sda"),
                  std::vector<std::string>{"ata 0xe3 " + std::string(count) + " 0x00 0x00 -> 0"});
        EXPECT_EQ(dsim::Log("sdb"),
                  std::vector<std::string>{"pass 0xe3 0x00 0x00 " + std::string(count) + " -> 0"});
        EXPECT_EQ(Info("standbytimer"), std::to_string(c.minutes));
        int m = -1;
        EXPECT_EQ(QAVOHDSleepTimeGet(&m), 0);
        EXPECT_EQ(m, c.minutes);
        EXPECT_EQ(QAVOHDSleepTimeConfGet(), c.minutes);
    }
    const std::string before = qtest::ReadFile("/etc/qavoinfo.conf");
    dsim::ClearLog();
    for (int bad : {25, 360, 500, -1, 19 * 60}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOHDSleepTimeSet(bad), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    // Seconds: whole 5-second units, a remainder counting as one more.
    ASSERT_EQ(QAVOHDSleepTimeSecSet(7), 0);
    EXPECT_EQ(dsim::Log("sda"), std::vector<std::string>{"ata 0xe3 0x02 0x00 0x00 -> 0"});
    for (int bad : {1201, 0, -5})
        EXPECT_EQ(QAVOHDSleepTimeSecSet(bad), -1) << bad;
    for (int bad : {256, -1})
        EXPECT_EQ(QAVODiskStandbySet("/dev/sda", bad), -1) << bad;
    EXPECT_EQ(dsim::Log("sda").size(), 1u);
    EXPECT_EQ(qtest::ReadFile("/etc/qavoinfo.conf"), before);
}

TEST(DiskStandby, FailingDiskStoresNothingAndNoDiskStores) {
    ASSERT_EQ(QAVOHDSleepTimeSet(30), 0);  // no disk at all
    EXPECT_EQ(Info("standbytimer"), "30");
    EXPECT_EQ(BlQAVODCacheIsWriteEnabled(), 1);

    dsim::AddDrive("sda", "");
    dsim::AddDrive("sdb", "fail 0xe3\n");
    const std::string before = qtest::ReadFile("/etc/qavoinfo.conf");
    EXPECT_EQ(QAVOHDSleepTimeSet(60), -1);
    EXPECT_EQ(qtest::ReadFile("/etc/qavoinfo.conf"), before);
    // The other disk still got it.
    EXPECT_EQ(dsim::Log("sda").back(), "ata 0xe3 0xf2 0x00 0x00 -> 0");
}

TEST(DiskStandby, StoredNegativeAndUsbSetting) {
    ASSERT_EQ(QAVOINFOSetKeyValue("standbytimer", "-3"), 0);
    int m = 0;
    EXPECT_EQ(QAVOHDSleepTimeGet(&m), -1);

    for (int bad : {-1, 1441}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOUSBHDSleepTimeSet(bad), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(Info("usb_standbytimer"), "<absent>");
    ASSERT_EQ(QAVOUSBHDSleepTimeSet(1440), 0);
    EXPECT_EQ(Info("usb_standbytimer"), "1440");
    EXPECT_EQ(qtest::ReadFile("/tmp/standbytime"), "time=1440\n");
    EXPECT_EQ(QAVOUSBHDSleepTimeGet(&m), 0);
    EXPECT_EQ(m, 1440);
}

TEST(DiskSleep, SleepFallsBackAndWakeResets) {
    dsim::AddDrive("sda", "fail 0xe6\n");
    ASSERT_EQ(QAVOHDSleepSet(1), 0);
    EXPECT_EQ(dsim::Log("sda"), (std::vector<std::string>{"ata 0xe7 0x00 0x00 0x00 -> 0",
                                                          "ata 0xe6 0x00 0x00 0x00 -> -1",
                                                          "ata 0x99 0x00 0x00 0x00 -> 0"}));
    EXPECT_NE(dsim::State("sda").find("power sleep"), std::string::npos);
    dsim::ClearLog();
    ASSERT_EQ(QAVOHDSleepSet(0), 0);
    EXPECT_EQ(dsim::Log("sda"), (std::vector<std::string>{"reset -> 0", "dma 1 -> 0"}));
    EXPECT_NE(dsim::State("sda").find("power active"), std::string::npos);

    qtest::WriteFile("/sim/disks/sda.state", "fail 0xe6\nfail 0x99\n");
    EXPECT_EQ(QAVOHDSleepSet(1), -1);
}

TEST(DiskCache, ReadAndSwitchedOnBothPaths) {
    dsim::AddDrive("sda", "wce 1\n");
    dsim::AddDrive("sdb", "wce 0\n");
    dsim::SetHost("sdb", "pci:0x7042");
    EXPECT_EQ(BlQAVODiskWriteCacheGet("/dev/sda"), 1);
    EXPECT_EQ(BlQAVODiskWriteCacheGet("/dev/sdb"), 0);
    EXPECT_EQ(BlQAVODCacheIsWriteEnabled(), 0);
    dsim::ClearLog();

    ASSERT_EQ(QAVODCacheEnableWrite(1), 0);
    EXPECT_EQ(dsim::Log("sda"), std::vector<std::string>{"ata 0xef 0x00 0x02 0x00 -> 0"});
    // The page is sensed, its header cleared, WCE set, and sent back whole.
    EXPECT_EQ(dsim::Log("sdb"),
              (std::vector<std::string>{"sgio 0x1a len 24 flags 0x10000 -> 0",
                                        "sgio 0x15 len 24 header 00000000 byte6 0x04 -> 0"}));
    EXPECT_EQ(BlQAVODCacheIsWriteEnabled(), 1);
    EXPECT_EQ(Info("diskcache"), "on");
    EXPECT_EQ(BlQAVODCacheConfigGet(), 1);

    ASSERT_EQ(QAVODCacheEnableWrite(0), 0);
    EXPECT_EQ(BlQAVODiskWriteCacheGet("/dev/sda"), 0);
    EXPECT_EQ(BlQAVODiskWriteCacheGet("/dev/sdb"), 0);
    EXPECT_EQ(Info("diskcache"), "off");
    EXPECT_EQ(BlQAVODCacheConfigGet(), 0);

    // One disk refusing: the setting is not stored.
    qtest::WriteFile("/sim/disks/sda.state", "wce 0\nfail 0xef\n");
    EXPECT_EQ(QAVODCacheEnableWrite(1), -1);
    EXPECT_EQ(Info("diskcache"), "off");
}

TEST(DiskCache, AnswersWithoutDataReadAsOff) {
    // A drive that answers without data must not leave stack bytes to be
    // read as the write-cache bit.
    dsim::AddDrive("sda", "wce 1\nsgio nodata\n");
    dsim::SetHost("sda", "platform");
    EXPECT_EQ(BlQAVODiskWriteCacheGet("/dev/sda"), 0);
    dsim::AddDrive("sdb", "wce 1\nfail 0xec\nfail 0xa1\n");
    EXPECT_EQ(BlQAVODiskWriteCacheGet("/dev/sdb"), 0);
    EXPECT_TRUE(qtest::SyslogHas("/dev/sdb HDIO_DRIVE_CMD(identify) failed"));
    qtest::WriteFile("/sim/disks/sdb.state", "wce 1\nfail 0xec\n");  // IDENTIFY PACKET answers
    EXPECT_EQ(BlQAVODiskWriteCacheGet("/dev/sdb"), 1);
}

TEST(DiskHost, SataHostByLink) {
    struct Case {
        const char *host;
        int want;
    } cases[] = {{"platform", 1}, {"pci:0x7042", 1}, {"pci:0x3114", 0}, {"ide", 0}};
    rsim::AddDisk("sda");
    for (const Case &c : cases) {
        dsim::SetHost("sda", c.host);
        EXPECT_EQ(BlQAVODiskIsSATAHost("/dev/sda"), c.want) << c.host;
        EXPECT_EQ(BlQAVODiskIsSATAHost("sda"), c.want) << c.host;
    }
    EXPECT_EQ(BlQAVODiskIsSATAHost("/dev/sdz"), -1);
    EXPECT_EQ(BlQAVODiskIsSATAHost(nullptr), -1);
}

TEST(DiskTemperature, SmartOnBothPaths) {
    dsim::AddDrive("sda", kSmart45);
    dsim::AddDrive("sdb", kSmart45);
    dsim::SetHost("sdb", "platform");
    EXPECT_EQ(QAVODiskTemperatureGet("/dev/sda"), 45);
    EXPECT_EQ(QAVODiskTemperatureGet("/dev/sdb"), 45);
    EXPECT_EQ(dsim::Log("sdb"), (std::vector<std::string>{"pass 0xb0 0x01 0xd8 0x00 -> 0",
                                                          "pass 0xb0 0x00 0xd0 0x01 -> 0"}));
    EXPECT_EQ(QAVORaidDiskTemperatureGet("/dev/sda"), 45);

    // Readings no drive can give are no temperature.
    for (auto [raw, want] : std::vector<std::pair<const char *, int>>{{"ffff00000000", -1},
                                                                      {"008000000000", -1},
                                                                      {"f6ff00000000", -1},
                                                                      {"7e0000000000", -1},
                                                                      {"7d0000000000", 125},
                                                                      {"000000000000", 0}}) {
        qtest::WriteFile("/sim/disks/sda.state", std::string("attr 194 ") + raw + "\n");
        EXPECT_EQ(QAVODiskTemperatureGet("/dev/sda"), want) << raw;
    }
    qtest::WriteFile("/sim/disks/sda.state", "attr 1 2d0000000000\n");  // no attribute 194
    EXPECT_EQ(QAVODiskTemperatureGet("/dev/sda"), -1);
    qtest::WriteFile("/sim/disks/sda.state", "smart none\n");
    EXPECT_EQ(QAVODiskTemperatureGet("/dev/sda"), -1);
    EXPECT_EQ(QAVORaidDiskTemperatureGet("/dev/sda"), -1);
    EXPECT_TRUE(qtest::SyslogHas("Failed to get status of RAID Temperature"));
    EXPECT_EQ(QAVODiskTemperatureGet("/dev/sdz"), -1);
}

TEST(DiskList, WholeDisksAndSizes) {
    rsim::AddDisk("sda", 4194304);
    rsim::AddDisk("sdb", 2097152);
    rsim::Partition("sda");
    uint32_t *nums = nullptr;
    ASSERT_EQ(QAVODiskDevNumEnum(1, &nums), 2);
    EXPECT_EQ(nums[0], 0x800u);
    EXPECT_EQ(nums[1], 0x810u);
    free(nums);

    QAVODISKDEVINFO *info = nullptr;
    ASSERT_EQ(QAVODiskInfoGetByDevNum(1, 0x810, &info), 0);
    EXPECT_STREQ(info->name, "sdb");
    EXPECT_EQ(info->kind, 7);
    EXPECT_EQ(info->sizeMB, 1024u);
    free(info);
    SLIBErrSet(0);
    EXPECT_EQ(QAVODiskInfoGetByDevNum(1, 0x801, &info), -1);  // a partition
    EXPECT_EQ(SLIBErrGet(), ERR_NO_SUCH_DISK);
    EXPECT_EQ(QAVODiskInfoGetByDevNum(2, 0x800, &info), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVODiskDevNumEnum(2, &nums), -1);
}

TEST(DiskList, NoDiskGivesNone) {
    qtest::WriteFile("/sim/proc/partitions", "major minor  #blocks  name\n\n   9  0  100 md0\n");
    uint32_t *nums = reinterpret_cast<uint32_t *>(8);
    EXPECT_EQ(QAVODiskDevNumEnum(1, &nums), 0);
    EXPECT_EQ(nums, nullptr);
}

TEST(DiskSpace, RawCapacityWithoutVolumeAndFullModel) {
    const std::string model = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789WXYZ";  // 40 characters
    dsim::AddDrive("sda", "model " + model + "\n" + kSmart45, 4194304);
    rsim::AddDisk("sdb", 2097152);
    QAVODISKSPACEINFO rec{};
    snprintf(rec.device, sizeof rec.device, "/dev/sda");
    EXPECT_EQ(QAVODiskSpaceInfoGet(&rec), -1);
    EXPECT_EQ(rec.model, model);
    EXPECT_FLOAT_EQ(rec.totalGB, 3.0f);
    EXPECT_FLOAT_EQ(rec.usedGB, 3.0f);
    EXPECT_EQ(rec.temperature, 45);

    QAVODISKSPACEINFO empty{};
    EXPECT_EQ(QAVODiskSpaceInfoGet(&empty), -1);
    EXPECT_EQ(QAVODiskSpaceInfoGet(nullptr), -1);
}

TEST(DiskOpen, AcceptedMajorsOnly) {
    rsim::AddDisk("sda");
    int fd = QAVODiskOpen("/dev/sda");
    ASSERT_GE(fd, 0);
    close(fd);
    SLIBErrSet(0);
    EXPECT_EQ(QAVODiskOpen("/dev/null"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(0x16));
    EXPECT_EQ(QAVODiskOpen("/dev/sdz"), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_DISK_OPEN);
}

TEST(DiskHealth, FlagsReadAndSet) {
    qtest::WriteFile("/tmp/hdhealth", "hda3mount=\"ro\"\nskipui=\"yes\"\nhda=\"FAIL\"\n");
    EXPECT_EQ(QAVOHDHealthGet(), 0x801);
    ASSERT_EQ(QAVOHDHealthFlagSet(0x2, 1), 0);
    ASSERT_EQ(QAVOHDHealthFlagSet(0x400, 1), 0);
    ASSERT_EQ(QAVOHDHealthFlagSet(0x800, 0), 0);
    EXPECT_EQ(QAVOHDHealthGet(), 0x402);
    const std::string before = qtest::ReadFile("/tmp/hdhealth");
    EXPECT_EQ(QAVOHDHealthFlagSet(0x20, 1), -1);
    EXPECT_EQ(QAVOHDHealthFlagSet(0x3, 1), -1);
    EXPECT_EQ(qtest::ReadFile("/tmp/hdhealth"), before);
}

TEST(DiskPower, RecoverySetting) {
    ASSERT_EQ(QAVOSetRCPowerConfig(1), 0);
    EXPECT_EQ(Info("enableRCPower"), "yes");
    ASSERT_EQ(QAVOSetRCPowerConfig(0), 0);
    EXPECT_EQ(Info("enableRCPower"), "no");
    for (int bad : {2, -1})
        EXPECT_EQ(QAVOSetRCPowerConfig(bad), -1) << bad;
    EXPECT_EQ(Info("enableRCPower"), "no");
}

TEST(DiskFstab, AddRemoveAndRefuseInjection) {
    qtest::WriteFile("/etc/fstab",
                     "# static file systems\n/dev/md0 / ext3 defaults 1 1\n"
                     "/volumeUSB1/usbshare /mnt/x ext3 defaults 0 0");
    ASSERT_EQ(QAVOFstabAdd("/dev/sdb1", "/volumeUSB1/usbshare", "vfat"), 0);
    ASSERT_EQ(QAVOFstabAdd("/dev/sdc1", "/volumeUSB2/usbshare", "ext3"), 0);
    std::string out;
    // Every line ends, the last one too: a shell reading the file line by
    // line sees each, and a line appended with ">>" stands on its own.
    ASSERT_EQ(qtest::Sh("n=0; while read -r l; do n=$((n+1)); done </etc/fstab; echo $n", &out), 0);
    EXPECT_EQ(out, "5\n");
    ASSERT_EQ(qtest::Sh("echo '/dev/sdd1 /volumeUSB3/usbshare vfat defaults 0 0' >>/etc/fstab"), 0);
    ASSERT_EQ(QAVOFstabRemove("/volumeUSB3/usbshare"), 0);
    ASSERT_EQ(qtest::Sh("findmnt --tab-file /etc/fstab -n -o SOURCE,TARGET,FSTYPE -l", &out), 0);
    EXPECT_EQ(out,
              "/dev/md0             /                    ext3\n"
              "/volumeUSB1/usbshare /mnt/x               ext3\n"
              "/dev/sdb1            /volumeUSB1/usbshare vfat\n"
              "/dev/sdc1            /volumeUSB2/usbshare ext3\n");

    ASSERT_EQ(QAVOFstabRemove("/volumeUSB1/usbshare"), 0);
    ASSERT_EQ(qtest::Sh("findmnt --tab-file /etc/fstab -n -o SOURCE,TARGET -l", &out), 0);
    EXPECT_EQ(out,
              "/dev/md0             /\n"
              "/volumeUSB1/usbshare /mnt/x\n"
              "/dev/sdc1            /volumeUSB2/usbshare\n");

    const std::string before = qtest::ReadFile("/etc/fstab");
    const std::string longName(240, 'a');
    struct Bad {
        const char *dev, *mp, *fs;
    } bad[] = {
        {"/dev/sdd1", "/x\n/dev/sda1 / ext3", "vfat"},
        {"/dev/sdd1 /etc", "/x", "vfat"},
        {"/dev/sdd1", "/x", "vfat\tdefaults,exec"},
        {"", "/x", "vfat"},
        {"/dev/sdd1", "/x", ""},
        {"/dev/sdd1", "/x\r", "vfat"},
        {"/dev/sdd1", longName.c_str(), "vfat"},
        {nullptr, "/x", "vfat"},
    };
    for (const Bad &b : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOFstabAdd(b.dev, b.mp, b.fs), -1) << (b.mp ? b.mp : "");
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(QAVOFstabRemove(nullptr), -1);
    EXPECT_EQ(QAVOFstabRemove(""), -1);  // would match every line
    EXPECT_EQ(qtest::ReadFile("/etc/fstab"), before);
}

}  // namespace
