// The simulated disks and arrays: loop devices at the appliance's names,
// partitions laid from the MBR, the md requests answered from state files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/major.h>
#include <linux/raid/md_u.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "appliance.h"

namespace {

int Disk(const std::string &cmd) {
    return qtest::Sh("/sim/bin/qavo-disk " + cmd);
}

TEST(SimDisks, PartitionsFollowTheTableAndTheRealToolReadsIt) {
    ASSERT_EQ(Disk("add sdb 8388608 'MODEL B'"), 0);
    ASSERT_EQ(qtest::Sh("sfdisk -N1 -uS -q -f -j63 -z1574307 -tfd -F /dev/sdb"), 0);
    ASSERT_EQ(qtest::Sh("sfdisk -N3 -uS -q -f -j100 -z-1 -tfd -F /dev/sdb"), 0);
    std::string out;
    ASSERT_EQ(qtest::Sh("/sim/real/sbin/sfdisk -d /dev/sdb | grep start=", &out), 0);
    EXPECT_NE(out.find("/dev/sdb1 : start=          63, size=     1574307, type=fd"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("/dev/sdb3 : start=     1574470, size=     6814138, type=fd"),
              std::string::npos)
        << out;
    EXPECT_TRUE(qtest::FileExists("/dev/sdb3"));
    EXPECT_FALSE(qtest::FileExists("/dev/sdb2"));
    ASSERT_EQ(qtest::Sh("blockdev --getsz /dev/sdb3", &out), 0);
    EXPECT_EQ(out, "6814138\n");
    // Disks carry the numbers of SCSI disks.
    struct stat st;
    ASSERT_EQ(stat("/dev/sdb3", &st), 0);
    EXPECT_EQ(major(st.st_rdev), 8u);
    EXPECT_EQ(minor(st.st_rdev), 19u);
    EXPECT_EQ(qtest::ReadFile("/sys/block/sdb/device/model"), "MODEL B\n");
    // Clearing an entry removes its device.
    ASSERT_EQ(qtest::Sh("sfdisk -N1 -q -f --no-reread -o0 -z0 -t0 -F -D /dev/sdb"), 0);
    EXPECT_FALSE(qtest::FileExists("/dev/sdb1"));
    EXPECT_TRUE(qtest::FileExists("/dev/sdb3"));
}

TEST(SimDisks, ArrayRequestsComeFromTheStateFile) {
    qtest::WriteFile("/sim/md/md3",
                     "level 5\nraid_disks 3\ncomponent 1000\nsync 1 40 80\n"
                     "disk 0 8 3 6\ndisk 2 8 35 65\nfail disk 5 5\n");
    ASSERT_EQ(Disk("refresh"), 0);
    int fd = open("/dev/md3", O_RDONLY);
    ASSERT_GE(fd, 0);
    mdu_array_info_t info{};
    ASSERT_EQ(ioctl(fd, GET_ARRAY_INFO, &info), 0);
    EXPECT_EQ(info.level, 5);
    EXPECT_EQ(info.raid_disks, 3);
    EXPECT_EQ(info.size, 1000);
    mdu_disk_info_t disk{};
    disk.number = 2;
    ASSERT_EQ(ioctl(fd, GET_DISK_INFO, &disk), 0);
    EXPECT_EQ(disk.major, 8);
    EXPECT_EQ(disk.minor, 35);
    EXPECT_EQ(disk.state, 65);
    disk.number = 1;
    ASSERT_EQ(ioctl(fd, GET_DISK_INFO, &disk), 0);
    EXPECT_EQ(disk.major, 0);
    disk.number = 5;
    EXPECT_EQ(ioctl(fd, GET_DISK_INFO, &disk), -1);
    EXPECT_EQ(errno, EIO);
    uint32_t sync[3] = {};
    ASSERT_EQ(ioctl(fd, 0x800C0960u, sync), 0);
    EXPECT_EQ(sync[1], 40u);
    uint64_t bytes = 0;
    ASSERT_EQ(ioctl(fd, 0x80081272u, &bytes), 0);  // BLKGETSIZE64
    EXPECT_EQ(bytes, 2u * 1000 * 1024);
    EXPECT_NE(qtest::ReadFile("/proc/mdstat").find("md3 : active raid5"), std::string::npos);
    EXPECT_EQ(qtest::ReadFile("/sys/block/md3/md/level"), "raid5\n");
    // Inactive: every request fails with ENODEV.
    qtest::WriteFile("/sim/md/md3", "state inactive\n");
    EXPECT_EQ(ioctl(fd, GET_ARRAY_INFO, &info), -1);
    EXPECT_EQ(errno, ENODEV);
    close(fd);
}

TEST(SimDisks, CreatedArrayIsADeviceWithAFileSystem) {
    ASSERT_EQ(Disk("add sda 4194304"), 0);
    ASSERT_EQ(qtest::Sh("sfdisk -N3 -uS -q -f -j2634660 -z-1 -tfd -F /dev/sda"), 0);
    ASSERT_EQ(qtest::Sh("mdadm -C /dev/md2 -amd -R -l1 -f -n1 /dev/sda3 -z 1000"), 0);
    EXPECT_NE(qtest::ReadFile("/sim/md/md2").find("disk 0 8 3 6"), std::string::npos);
    std::string out;
    ASSERT_EQ(qtest::Sh("blockdev --getsz /dev/md2", &out), 0);
    EXPECT_EQ(out, "2000\n");
    ASSERT_EQ(qtest::Sh("mkfs.ext3 -P volume1 -q /dev/md2 && e2fsck -fn /dev/md2 >/dev/null"), 0);
    EXPECT_EQ(qtest::ReadFile("/tmp/mkfs.progress.md2"), "0/100\n100/100\n");
    ASSERT_EQ(qtest::Sh("mdadm -S /dev/md2"), 0);
    EXPECT_FALSE(qtest::FileExists("/dev/md2"));
    EXPECT_FALSE(qtest::FileExists("/sim/md/md2"));
}

}  // namespace
