#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "disk_sim.h"
#include "qavo_diskprobe.h"
#include "raid_sim.h"
#include "slib_file.h"

namespace {

// Runs a command in a directory and comes back.
struct Cwd {
    std::string old;
    explicit Cwd(const std::string &dir) {
        char buf[4096];
        old = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~Cwd() { EXPECT_EQ(chdir(old.c_str()), 0); }
};

TEST(ProbeFsType, RealAndSimulatedFileSystems) {
    rsim::AddDisk("sdb", 262144);
    rsim::AddDisk("sdc", 262144);
    rsim::AddDisk("sdd", 262144);
    ASSERT_EQ(
        qtest::Sh("mkfs.ext3 -q /dev/sdb && mkdir -p /mnt/e && mount -t ext3 /dev/sdb /mnt/e"), 0);
    ASSERT_EQ(qtest::Sh("mkfs.vfat /dev/sdc >/dev/null && mkdir -p /mnt/v && "
                        "/bin/mount -o utf8,umask=000 -t vfat /dev/sdc /mnt/v"),
              0);
    EXPECT_EQ(QAVOGetFSType("/mnt/e", 0), QAVO_FS_EXT3);
    EXPECT_EQ(QAVOGetFSType("/mnt/v", 0), QAVO_FS_VFAT);
    ASSERT_EQ(qtest::Sh("mkdir /mnt/v/sub"), 0);
    EXPECT_EQ(QAVOGetFSType("/mnt/v/sub", 0), QAVO_FS_VFAT);
    EXPECT_EQ(QAVOGetFSType("/tmp", 0), QAVO_FS_NONE);
    // The mount table shows the volume as the file system it stands for.
    PSLIBSZLIST lines = PslSLIBSzListAlloc(1024);
    ASSERT_GE(SLIBFileReadLines("/proc/mounts", &lines), 0);
    const std::vector<std::string> table = qtest::Items(lines);
    SLIBSzListFree(lines);
    EXPECT_NE(std::find(table.begin(), table.end(), "/dev/sdc /mnt/v vfat utf8,umask=000 0 0\n"),
              table.end());

    // A missing path: the working directory's type, or nothing.
    {
        Cwd in("/mnt/v/sub");
        EXPECT_EQ(QAVOGetFSType("/mnt/missing", 1), QAVO_FS_VFAT);
        EXPECT_EQ(QAVOGetFSType(nullptr, 1), QAVO_FS_VFAT);
        EXPECT_EQ(QAVOGetFSType("/mnt/missing", 0), -1);
        EXPECT_EQ(QAVOGetFSType(nullptr, 0), -1);
    }
    // A file system the device does not hold is refused as the kernel does.
    ASSERT_EQ(qtest::Sh("mkdir -p /mnt/n && /bin/mount -t ntfs /dev/sdc /mnt/n"), 32);
    ASSERT_EQ(qtest::Sh("/bin/mount -t vfat /dev/sdd /mnt/n"), 32);
    ASSERT_EQ(
        qtest::Sh("mkntfs -Q -F /dev/sdd >/dev/null 2>&1 && /bin/mount -t ntfs /dev/sdd /mnt/n"),
        0);
    EXPECT_EQ(QAVOGetFSType("/mnt/n", 0), QAVO_FS_NTFS);
    ASSERT_EQ(qtest::Sh("/bin/umount /mnt/n && /bin/umount /dev/sdc && umount /mnt/e"), 0);
    EXPECT_EQ(QAVOGetFSType("/mnt/v", 0), QAVO_FS_NONE);
    EXPECT_EQ(QAVOGetFSType("/mnt/n", 0), QAVO_FS_NONE);
    EXPECT_EQ(qtest::ReadFile("/sim/fsmounts"), "");
}

TEST(ProbeFsType, ReiserfsMarker) {
    rsim::AddDisk("sdb", 262144);
    EXPECT_EQ(BlQAVODiskIsQaVoRs2Fs("sdb"), 0);
    ASSERT_EQ(qtest::Sh("mkdir -p /mnt/r && /bin/mount -t reiserfs /dev/sdb /mnt/r"), 32);
    ASSERT_EQ(qtest::Sh("printf QaVoRs2Fs | dd of=/dev/sdb bs=1 seek=65588 conv=notrunc "
                        "status=none"),
              0);
    EXPECT_EQ(BlQAVODiskIsQaVoRs2Fs("sdb"), 1);
    EXPECT_EQ(BlQAVODiskIsQaVoRs2Fs("/dev/sdb"), 1);
    ASSERT_EQ(qtest::Sh("/bin/mount -t reiserfs /dev/sdb /mnt/r"), 0);
    EXPECT_EQ(QAVOGetFSType("/mnt/r", 0), QAVO_FS_REISERFS);
    EXPECT_EQ(BlQAVODiskIsQaVoRs2Fs(nullptr), 0);
    EXPECT_EQ(BlQAVODiskIsQaVoRs2Fs("sdz"), 0);
}

TEST(ProbeExt2, SuperBlockMagic) {
    rsim::AddDisk("sdb", 65536);
    rsim::AddDisk("sdc", 65536);
    ASSERT_EQ(qtest::Sh("mkfs.ext3 -q /dev/sdb"), 0);
    EXPECT_EQ(BlQAVODiskIsExt2("sdb"), 1);
    EXPECT_EQ(BlQAVODiskIsExt2("/dev/sdc"), 0);
    EXPECT_EQ(BlQAVODiskIsExt2(nullptr), 0);
}

TEST(ProbeLayout, LegacyFromARealTable) {
    rsim::AddDisk("sdb");
    auto lay = [](const std::string &third) {
        ASSERT_EQ(qtest::Sh("printf '63,273042,83\\n273105,787185,82\\n1060290,,%s\\n' " + third +
                            " | /sim/real/sbin/sfdisk -q --no-reread -f /dev/sdb >/dev/null 2>&1"),
                  0);
    };
    lay("83");
    uint32_t start = 0, type = 0;
    EXPECT_EQ(QAVOPartInfoGet(2, "/dev/sdb", &start, &type), 787185u);
    EXPECT_EQ(start, 273105u);
    EXPECT_EQ(type, 0x82u);
    EXPECT_EQ(BlQAVODiskIsLegacyLayout("sdb"), 1);
    lay("fd");
    EXPECT_EQ(BlQAVODiskIsLegacyLayout("/dev/sdb"), 0);
    EXPECT_EQ(BlQAVODiskIsLegacyLayout(nullptr), 0);
    rsim::Partition("sdb");  // the appliance's own layout is no legacy one
    EXPECT_EQ(BlQAVODiskIsLegacyLayout("sdb"), 0);
}

TEST(ProbePartInfo, DeviceNamesNeverReachTheShell) {
    rsim::AddDisk("sdb");
    rsim::Partition("sdb");
    for (const char *bad : {"sdb;touch /tmp/owned", "sdb$(touch /tmp/owned)", "../sdb", "sd b"})
        EXPECT_EQ(QAVOPartInfoGet(1, bad, nullptr, nullptr), UINT32_MAX) << bad;
    EXPECT_FALSE(qtest::FileExists("/tmp/owned"));
    EXPECT_EQ(QAVOPartInfoGet(0, "sdb", nullptr, nullptr), UINT32_MAX);
    EXPECT_EQ(QAVOPartInfoGet(1, nullptr, nullptr, nullptr), UINT32_MAX);
    uint32_t type = 0;
    EXPECT_EQ(QAVOPartInfoGet(2, "sdb", nullptr, &type), 787185u);
    EXPECT_EQ(type, 0xFDu);
}

TEST(ProbeIPod, DataPartitionByProduct) {
    qtest::WriteFile("/tmp/usbtab", "sdb=\"/proc/bus/usb/001/002\"\n");
    struct Case {
        const char *vendor, *product;
        int want;
    } cases[] = {
        {"05ac", "1300", 0}, {"05ac", "1209", 2}, {"05ac", "1261", -1}, {"0781", "1300", -1}};
    for (const Case &c : cases) {
        dsim::UsbDevices(std::string("T:  Bus=01 Lev=01 Prnt=01 Port=00 Cnt=01 Dev#=  2 Spd=480 "
                                     "MxCh= 0\nP:  Vendor=") +
                         c.vendor + " ProdID=" + c.product +
                         " Rev= 0.01\nI:* If#= 0 Alt= 0 #EPs= 2 Cls=08(stor.) Sub=06 "
                         "Prot=50 Driver=usb-storage\n");
        EXPECT_EQ(QAVOIPodDataPartGet("sdb"), c.want) << c.vendor << ":" << c.product;
    }
    EXPECT_EQ(QAVOIPodDataPartGet("sdc"), -1);
    EXPECT_EQ(QAVOIPodDataPartGet(nullptr), -1);
}

TEST(ProbeCommands, OpsOutsideTheTableAreRefused) {
    dsim::AddDrive("sdb", "attr 194 1e0000000000\n");
    int fd = open("/dev/sdb", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    uint8_t data[512] = {0};
    for (int op : {-1, -100, 4})
        EXPECT_EQ(sata_command_interface(fd, op, data), -1) << op;
    for (int op : {-1, 2, 3})
        EXPECT_EQ(ata_command_interface(fd, op, data), -1) << op;
    EXPECT_TRUE(dsim::Log("sdb").empty());
    // Power mode through the pass-through: the count byte comes back.
    ASSERT_EQ(sata_command_interface(fd, QAVO_ATA_OP_CHECK_POWER, data), 0);
    EXPECT_EQ(data[0], 0xFF);
    ASSERT_EQ(ata_command_interface(fd, QAVO_ATA_OP_SMART_READ, data), 0);
    EXPECT_EQ(data[2], 194);
    close(fd);
    uint16_t w = 0x1234;
    swap2bytes(&w);
    EXPECT_EQ(w, 0x3412);
}

}  // namespace
