#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_sharemgmt.h"
#include "qavo_volfs.h"
#include "raid_sim.h"
#include "slib_errcode.h"

namespace {

// One partitioned disk, maxdisks 4.
class VolFs : public ::testing::Test {
  protected:
    void SetUp() override {
        rsim::SetMaxDisks(4);
        rsim::AddDisk("sda");
        rsim::Partition("sda");
        qtest::ClearCalls();
    }
    void TearDown() override {
        qtest::Sh("umount -l /volume1 /volume2 /volume3 2>/dev/null; true");
    }

    // A RAID1 of one member on sda3 as /dev/mdN, of KiB per member.
    static void MakeArray(int md, int kib) {
        const std::string cmd = "mdadm -C /dev/md" + std::to_string(md) + " -l1 -n1 -z " +
                                std::to_string(kib) + " /dev/sda3 >/dev/null";
        ASSERT_EQ(qtest::Sh(cmd), 0);
    }
};

std::string Out(const std::string &cmd) {
    std::string out;
    EXPECT_EQ(qtest::Sh(cmd, &out), 0) << cmd;
    return out;
}

uint64_t Number(const std::string &cmd) {
    return std::stoull(Out(cmd));
}

void MountTmpfs(const std::string &source, const std::string &dir, const std::string &opts = "") {
    const std::string cmd = "mkdir -p " + dir + " && mount -t tmpfs -o size=1m" +
                            (opts.empty() ? "" : "," + opts) + " " + source + " " + dir;
    ASSERT_EQ(qtest::Sh(cmd), 0) << cmd;
}

TEST(VolRaidInfo, MapsIndexToArrayAndMountPoint) {
    QAVOVOLINFO info{};
    ASSERT_EQ(QAVOVolRaidInfoGet(3, &info), 0);
    EXPECT_EQ(info.svi_number, 3);
    EXPECT_STREQ(info.svi_device, "/dev/md5");
    EXPECT_STREQ(info.svi_mountpoint, "/volume4");
    EXPECT_EQ(info.svi_mounted, 0);

    for (int bad : {-1, 4}) {
        QAVOVolRaidErrSet(0);
        EXPECT_EQ(QAVOVolRaidInfoGet(bad, &info), 1) << bad;
        EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_PARAM) << bad;
    }
    EXPECT_EQ(QAVOVolRaidInfoGet(0, nullptr), 1);
}

TEST(VolRaidInfo, OnlyTheExactMountPointCounts) {
    rsim::SetMaxDisks(4);
    MountTmpfs("/dev/md2", "/volume12");
    MountTmpfs("tmpfs", "/volume3/sub");
    uint32_t mask = 0xFF;
    int first = 7, count = 7;
    ASSERT_EQ(QAVOVolRaidEnum(&mask, &first, &count), 0);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(count, 0);

    MountTmpfs("/dev/md2", "/volume1");
    MountTmpfs("/dev/md4", "/volume3");
    ASSERT_EQ(QAVOVolRaidEnum(&mask, &first, &count), 0);
    EXPECT_EQ(mask, 0x5u);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 2);
    count = 0;
    EXPECT_EQ(QAVOVolRaidEnum(nullptr, nullptr, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(QAVOVolRaidEnum(nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_PARAM);

    QAVOVOLINFO info{};
    ASSERT_EQ(QAVOVolRaidInfoGet(2, &info), 0);
    EXPECT_EQ(info.svi_mounted, 1);
    EXPECT_EQ(info.svi_total, 1024u * 1024u);

    struct statfs st {};
    EXPECT_EQ(QAVOVolRaidStatfs(2, &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_bsize, 1024u * 1024u);
    EXPECT_EQ(QAVOVolRaidStatfs(1, &st), 1);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_NOTMOUNT);
}

TEST(VolRaidSupport, ReadsTheModelsKeyIgnoringCase) {
    const char *kConf = "/etc.defaults/qavoinfo.conf";
    for (auto [value, want] : {std::pair{"yes", 1}, {"YeS", 1}, {"no", 0}, {"", 0}}) {
        ASSERT_EQ(qtest::Sh(std::string("sed -i '/^supportraid=/d' ") + kConf +
                            " && echo 'supportraid=\"" + value + "\"' >> " + kConf),
                  0);
        EXPECT_EQ(BlQAVORaidIsSupported(), want) << value;
    }
    ASSERT_EQ(qtest::Sh(std::string("sed -i '/^supportraid=/d' ") + kConf), 0);
    EXPECT_EQ(BlQAVORaidIsSupported(), 0);
}

TEST_F(VolFs, Ext2MadeAndMountedWithTheProgressTextAsOneArgument) {
    MakeArray(2, 262144);
    ASSERT_EQ(qtest::Sh("rmdir /volume1 2>/dev/null; true"), 0);  // made by the call
    const std::string text = "x;touch /tmp/pwned";
    ASSERT_EQ(QAVOVolRaidFsCreate(0, QAVO_VOLRAID_FS_EXT2, text.c_str()), 0) << QAVOVolRaidErrGet();
    EXPECT_FALSE(qtest::FileExists("/tmp/pwned"));
    auto calls = rsim::CallsOf("mke2fs");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"-P", text, "/dev/md2"}));
    EXPECT_EQ(QAVOVolRaidMkfsProgress(0), 100);

    // Mounted at /volume1; sizes as statfs.
    QAVOVOLINFO info{};
    ASSERT_EQ(QAVOVolRaidInfoGet(0, &info), 0);
    ASSERT_EQ(info.svi_mounted, 1);
    EXPECT_EQ(info.svi_total, Number("echo $(( $(stat -f -c '%b*%S' /volume1) ))"));
    EXPECT_EQ(info.svi_free, Number("echo $(( $(stat -f -c '%a*%S' /volume1) ))"));

    // A mounted volume is not made again.
    EXPECT_EQ(QAVOVolRaidFsCreate(0, QAVO_VOLRAID_FS_EXT2, "p"), 1);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_MOUNTED);

    ASSERT_EQ(QAVOVolRaidUmount(0), 0);
    struct stat st {};  // the mount point stays, open to all
    ASSERT_EQ(stat("/volume1", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_EQ(QAVOVolRaidUmount(0), 1);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_CMD);
    EXPECT_EQ(qtest::Sh("e2fsck -fn /dev/md2 >/dev/null 2>&1"), 0);
    EXPECT_EQ(Out("dumpe2fs -h /dev/md2 2>/dev/null | grep -c has_journal || true"), "0\n");
}

TEST_F(VolFs, Ext3MadeThenGrownToTheArray) {
    MakeArray(2, 131072);
    ASSERT_EQ(QAVOVolRaidFsCreate(0, QAVO_VOLRAID_FS_EXT3, "p"), 0) << QAVOVolRaidErrGet();
    EXPECT_EQ(rsim::CallsOf("mkfs.ext3").size(), 1u);
    ASSERT_EQ(QAVOVolRaidUmount(0), 0);
    EXPECT_EQ(qtest::Sh("e2fsck -fn /dev/md2 >/dev/null 2>&1"), 0);
    EXPECT_EQ(Out("dumpe2fs -h /dev/md2 2>/dev/null | grep -c has_journal"), "1\n");

    ASSERT_EQ(qtest::Sh("mdadm --grow /dev/md2 -z 262144 >/dev/null"), 0);
    uint64_t sectors = 0;
    ASSERT_EQ(QAVOVolDevSizeGet("/dev/md2", &sectors), 0);
    EXPECT_EQ(sectors, Number("blockdev --getsz /dev/md2"));
    EXPECT_EQ(sectors, 262144u * 2);
    EXPECT_EQ(QAVOVolExpansible("/dev/md2"), 0);
    ASSERT_EQ(QAVOVolExpand("/dev/md2"), 0);
    EXPECT_EQ(Number("dumpe2fs -h /dev/md2 2>/dev/null | awk -F: '/^Block count/{c=$2} "
                     "/^Block size/{s=$2} END{print c*s/512}'"),
              sectors);
    EXPECT_EQ(qtest::Sh("e2fsck -fn /dev/md2 >/dev/null 2>&1"), 0);
}

TEST_F(VolFs, FsCreateFailures) {
    struct Case {
        int index, fsType;
        const char *progress;
        int err;
    } cases[] = {
        {-1, 3, "p", QAVO_VOLRAID_ERR_PARAM}, {4, 3, "p", QAVO_VOLRAID_ERR_PARAM},
        {0, 5, "p", QAVO_VOLRAID_ERR_PARAM},  {0, 3, nullptr, QAVO_VOLRAID_ERR_PARAM},
        {0, 3, "p", QAVO_VOLRAID_ERR_MKFS},  // no array /dev/md2
    };
    for (const Case &c : cases) {
        QAVOVolRaidErrSet(0);
        EXPECT_EQ(QAVOVolRaidFsCreate(c.index, c.fsType, c.progress), 1) << c.index << c.fsType;
        EXPECT_EQ(QAVOVolRaidErrGet(), c.err) << c.index << "/" << c.fsType;
    }
    // A file system that does not mount.
    MakeArray(2, 65536);
    qtest::SetStandinStatus("mount", 32);
    EXPECT_EQ(QAVOVolRaidFsCreate(0, 4, "p"), 1);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_MOUNT);
    EXPECT_TRUE(
        qtest::SyslogHas("Failed to do the cmd mount /dev/md2 /volume1, fork error, "
                         "WEXITSTATUS(r)=32"));
}

TEST(VolRaidMkfsProgress, ReadsTheLatestCountAsAPercentage) {
    struct Case {
        const char *text;
        int percent;
    } cases[] = {
        {"1000/1001\n", 99},
        {"500/1000\n", 50},
        {"0/0\n", 0},
        {"0/100\n100/100\n", 100},  // the latest line counts
        {"40/61\n", 65},
        {"junk\n7/10\n", 70},
        // Counts that are no progress stay within 0..100, without overflow.
        {"50/10\n", 100},
        {"2000000000/1\n", 100},
        {"-1/100\n", 0},
        {"-2147483648/2147483647\n", 0},
        {"5/-10\n", 0},
    };
    for (const Case &c : cases) {
        qtest::WriteFile("/tmp/mkfs.progress.md3", c.text);
        EXPECT_EQ(QAVOVolRaidMkfsProgress(1), c.percent) << c.text;
    }
    QAVOVolRaidErrSet(0);
    EXPECT_EQ(QAVOVolRaidMkfsProgress(4), -1);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_PARAM);
}

TEST(VolRaidMkfsProgress, NoFileAndNoToolRunningGivesUp) {
    EXPECT_EQ(QAVOVolRaidMkfsProgress(0), -1);
    EXPECT_TRUE(qtest::SyslogHas("mkfs.ext3 is not alive , return error"));
}

TEST(VolRaidType, Kinds) {
    qtest::WriteFile("/etc/qavoinfo.conf", "md2_level=\"99\"\nmd3_level=\"5\"\n");
    struct Case {
        int md, level, designed, status, kind;
    } cases[] = {
        {2, 0, 1, QAVO_RAID_NORMAL, QAVO_VOLRAID_KIND_STRIPE1},
        {2, 0, 2, QAVO_RAID_NORMAL, QAVO_VOLRAID_KIND_OTHER},
        {2, 1, 1, QAVO_RAID_NORMAL, QAVO_VOLRAID_KIND_MIRROR1},
        {2, 5, 3, QAVO_RAID_DEGRADED, QAVO_VOLRAID_KIND_OTHER},
        {2, 1, 2, QAVO_RAID_NORMAL, QAVO_VOLRAID_KIND_OTHER},
        {2, 1, 2, QAVO_RAID_DEGRADED, QAVO_VOLRAID_KIND_99},
        {3, 1, 2, QAVO_RAID_DEGRADED, QAVO_VOLRAID_KIND_OTHER},  // key not 99
        {4, 1, 2, QAVO_RAID_CRASHED, QAVO_VOLRAID_KIND_OTHER},   // no key
    };
    for (const Case &c : cases) {
        QAVORAIDVOLSTATUS rec{};
        rec.md = c.md;
        rec.level = c.level;
        rec.designed = c.designed;
        rec.status = c.status;
        EXPECT_EQ(QAVOVolRaidTypeGet(&rec), c.kind) << c.md << "/" << c.level << "/" << c.designed;
    }
    QAVOVolRaidErrSet(0);
    EXPECT_EQ(QAVOVolRaidTypeGet(nullptr), 0);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_PARAM);
}

}  // namespace

namespace {

// The options of the mount at dir, or "" when nothing is mounted there.
std::string OptionsAt(const std::string &dir) {
    std::string out;
    qtest::Sh("findmnt -n -o OPTIONS --mountpoint " + dir + " || true", &out);
    return out;
}

bool ReadOnlyAt(const std::string &dir) {
    const std::string o = "," + OptionsAt(dir);
    return o.find(",ro,") != std::string::npos || o.find(",ro\n") != std::string::npos;
}

size_t SyslogCount(const std::string &text) {
    size_t n = 0;
    for (const auto &m : qtest::Syslog())
        if (m.message.find(text) != std::string::npos) ++n;
    return n;
}

// A data array mdN of one member on sda3 with an ext2 file system, mounted
// at dir with the given options.
void MountedArray(int md, const std::string &dir, const std::string &opts = "defaults") {
    const std::string dev = "/dev/md" + std::to_string(md);
    ASSERT_EQ(
        qtest::Sh("mdadm -C " + dev +
                  " -l1 -n1 -z 65536 /dev/sda3 >/dev/null && "
                  "mke2fs -q " +
                  dev + " && mkdir -p " + dir + " && mount -o " + opts + " " + dev + " " + dir),
        0);
}

// Takes every member out of an array's state, as when all its disks are gone.
void LoseAllMembers(int md) {
    ASSERT_EQ(qtest::Sh("sed -i '/^disk /d' /sim/md/md" + std::to_string(md) +
                        " && /sim/bin/qavo-disk refresh"),
              0);
}

}  // namespace

TEST_F(VolFs, RemountReadOnlyTakesOnlyTheExactOption) {
    // "errors=remount-ro" is no read-only mount.
    MountedArray(2, "/volume1", "errors=remount-ro");
    ASSERT_FALSE(ReadOnlyAt("/volume1"));
    EXPECT_EQ(QAVORemountCrashRaidRo("/dev/md2"), 0);
    EXPECT_TRUE(ReadOnlyAt("/volume1"));
    EXPECT_TRUE(qtest::SyslogHas("mount -o remount,ro /dev/md2 /volume1"));
    // Already read-only, or not mounted: nothing done.
    EXPECT_EQ(QAVORemountCrashRaidRo("/dev/md2"), -1);
    EXPECT_EQ(QAVORemountCrashRaidRo("/dev/md3"), -1);
    EXPECT_EQ(QAVORemountCrashRaidRo(nullptr), -1);
}

TEST(VolRaidRemount, JudgedByTheDevicesOwnMount) {
    // Another file system mounted over the volume takes the remount.
    MountTmpfs("/dev/md2", "/volume1");
    MountTmpfs("other", "/volume1");
    EXPECT_EQ(QAVORemountCrashRaidRo("/dev/md2"), -1);
    EXPECT_TRUE(qtest::SyslogHas("/dev/md2 is still not read-only"));
}

TEST_F(VolFs, SweepUnmountsEmptyArraysAndProtectsCrashedOnes) {
    MountedArray(3, "/volume2");
    LoseAllMembers(3);
    // md0 without members: a system array, only logged.
    rsim::SetMd(0, "level 1\nraid_disks 2\ncomponent 1000\n");
    // md2: RAID1 of two with one member left still holds all data.
    rsim::SetMd(2, "level 1\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 0, 1, 6));
    MountTmpfs("/dev/md2", "/volume1");
    // md4: RAID5 of four with two members left is crashed: read-only.
    rsim::SetMd(4, "level 5\nraid_disks 4\ncomponent 1000\n" + rsim::Member(0, 0, 1, 6) +
                       rsim::Member(1, 0, 2, 6));
    MountTmpfs("/dev/md4", "/volume3");
    ASSERT_EQ(qtest::ReadFile("/sys/block/md4/md/level"), "raid5\n");
    qtest::ClearCalls();

    EXPECT_EQ(QAVOVolRaidCrashCheck(), 1);
    EXPECT_EQ(OptionsAt("/volume2"), "");
    EXPECT_FALSE(ReadOnlyAt("/volume1"));
    EXPECT_TRUE(ReadOnlyAt("/volume3"));
    EXPECT_TRUE(qtest::SyslogHas("System partition(0) removed? Do nothing."));
    EXPECT_TRUE(qtest::SyslogHas("Unmounting /dev/md3"));
    EXPECT_EQ(SyslogCount("Stopping services."), 1u);
    EXPECT_EQ(SyslogCount("Starting services."), 1u);
    auto detail = rsim::CallsOf("mdadm");
    ASSERT_EQ(detail.size(), 1u);
    EXPECT_EQ(detail[0], (std::vector<std::string>{"-D", "/dev/md3"}));
}

TEST_F(VolFs, SweepStopsServicesOnceForSeveralArrays) {
    MountTmpfs("/dev/md3", "/volume2");
    MountTmpfs("/dev/md5", "/volume4");
    rsim::SetMd(3, "level 1\nraid_disks 1\ncomponent 1000\n");
    rsim::SetMd(5, "level 1\nraid_disks 1\ncomponent 1000\n");
    // md4 has no members but mdadm knows no such array: left alone.
    ASSERT_EQ(qtest::Sh("mkdir -p /sys/block/md4/md"), 0);
    EXPECT_EQ(QAVOVolRaidCrashCheck(), 2);
    EXPECT_EQ(OptionsAt("/volume2"), "");
    EXPECT_EQ(OptionsAt("/volume4"), "");
    EXPECT_EQ(SyslogCount("Stopping services."), 1u);
    EXPECT_EQ(SyslogCount("Starting services."), 1u);
    EXPECT_FALSE(qtest::SyslogHas("Unmounting /dev/md4"));
}

TEST(VolRaidMkfsProgress, WaitsWhileMke2fsRuns) {
    // The progress file shows up only after the first five tries.
    ASSERT_EQ(qtest::Sh("cp /bin/sleep /tmp/mke2fs && { /tmp/mke2fs 12 >/dev/null 2>&1 & echo $! "
                        ">/tmp/mke2fs.pid; } && "
                        "((sleep 6; echo 5/10 > /tmp/mkfs.progress.md2) >/dev/null 2>&1 &)"),
              0);
    EXPECT_EQ(QAVOVolRaidMkfsProgress(0), 50);
    EXPECT_TRUE(qtest::SyslogHas("cmd mkfs.ext3 is alive, continue"));
    qtest::Sh("kill $(cat /tmp/mke2fs.pid)");
}

namespace {

QAVOSHARE ShareAt(const char *name, const char *path) {
    QAVOSHARE s{};
    s.szName = const_cast<char *>(name);
    s.szPath = const_cast<char *>(path);
    s.fType = QAVOSHARE_ACCESS_RW;
    s.fBrowseable = 1;
    return s;
}

// Shares "gone" on volume 2 (the array md3) and "kept" on volume 1.
void TwoShares() {
    qtest::WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tworkgroup=WORKGROUP\n\tsecurity=user\n");
    MountTmpfs("tmpfs", "/volume1");
    QAVOSHARE gone = ShareAt("gone", "/volume2/gone");
    QAVOSHARE kept = ShareAt("kept", "/volume1/kept");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &gone), 1) << std::hex << SLIBErrGet();
    ASSERT_EQ(QAVOShareSet(1, nullptr, &kept), 1) << std::hex << SLIBErrGet();
}

}  // namespace

TEST_F(VolFs, SweepDeletesTheSharesOfAnUnmountedVolume) {
    MountedArray(3, "/volume2");
    TwoShares();
    LoseAllMembers(3);
    EXPECT_EQ(QAVOVolRaidCrashCheck(), 1);
    const std::string conf = qtest::ReadFile(SZF_QAVO_SMB_CONF);
    EXPECT_EQ(conf.find("[gone]"), std::string::npos) << conf;
    EXPECT_NE(conf.find("[kept]"), std::string::npos) << conf;
    EXPECT_TRUE(qtest::FileExists("/volume1/kept"));
}

TEST_F(VolFs, SweepLeavesABusyVolumeWithItsShares) {
    MountedArray(3, "/volume2");
    TwoShares();
    const int fd = open("/volume2/gone/open", O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    LoseAllMembers(3);
    EXPECT_EQ(QAVOVolRaidCrashCheck(), 0);
    close(fd);
    EXPECT_NE(OptionsAt("/volume2"), "");
    EXPECT_NE(qtest::ReadFile(SZF_QAVO_SMB_CONF).find("[gone]"), std::string::npos);
    EXPECT_TRUE(qtest::FileExists("/volume2/gone/open"));
    EXPECT_TRUE(qtest::SyslogHas("Failed to run [/bin/umount -f /dev/md3]"));
}

TEST_F(VolFs, SweepKeepsTheSharesWhileAnyMountOfTheArrayIsLeft) {
    // A share folder of the array also bound elsewhere: umount of the device
    // takes only that newest mount, and exits 0.
    MountedArray(3, "/volume2");
    TwoShares();
    qtest::WriteFile("/volume2/gone/f", "data");
    ASSERT_EQ(qtest::Sh("mkdir -p /mnt/gone && mount --bind /volume2/gone /mnt/gone"), 0);
    LoseAllMembers(3);
    EXPECT_EQ(QAVOVolRaidCrashCheck(), 0);
    EXPECT_EQ(OptionsAt("/mnt/gone"), "");
    EXPECT_NE(OptionsAt("/volume2"), "");
    EXPECT_NE(qtest::ReadFile(SZF_QAVO_SMB_CONF).find("[gone]"), std::string::npos);
    EXPECT_EQ(qtest::ReadFile("/volume2/gone/f"), "data");
    EXPECT_TRUE(qtest::SyslogHas("/dev/md3 is still mounted"));
}

TEST_F(VolFs, FsCreateRefusesAMountPointThatIsNoDirectory) {
    MakeArray(3, 65536);
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1/public && echo data > /volume1/public/f"), 0);
    struct Case {
        const char *what, *make;
    } cases[] = {
        {"link to a share folder", "ln -s /volume1/public /volume2"},
        {"link to nowhere", "ln -s /volume1/none /volume2"},
        {"file", "echo x > /volume2"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(qtest::Sh("rm -rf /volume2 && " + std::string(c.make)), 0) << c.what;
        const std::string before = Out("ls -l /volume2");
        qtest::ClearCalls();
        QAVOVolRaidErrSet(0);
        EXPECT_EQ(QAVOVolRaidFsCreate(1, QAVO_VOLRAID_FS_EXT2, "p"), 1) << c.what;
        EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_PARAM) << c.what;
        // Nothing made, nothing mounted, the share folder still shows its data.
        EXPECT_TRUE(rsim::CallsOf("mke2fs").empty()) << c.what;
        EXPECT_TRUE(rsim::CallsOf("mount").empty()) << c.what;
        EXPECT_EQ(OptionsAt("/volume1/public"), "") << c.what;
        EXPECT_EQ(qtest::ReadFile("/volume1/public/f"), "data\n") << c.what;
        EXPECT_EQ(Out("ls -l /volume2"), before) << c.what;
        EXPECT_TRUE(qtest::SyslogHas("/volume2 is not a directory")) << c.what;
    }
    QAVOVOLINFO info{};
    ASSERT_EQ(QAVOVolRaidInfoGet(1, &info), 0);
    EXPECT_EQ(info.svi_mounted, 0);
}

// A link at /volume2 to another mounted folder: the unmount is refused and
// that folder's file system stays.
TEST_F(VolFs, UmountRefusesALinkAtTheMountPoint) {
    MountTmpfs("other", "/mnt/other");
    ASSERT_EQ(qtest::Sh("echo data > /mnt/other/f && rm -rf /volume2 && ln -s /mnt/other /volume2"),
              0);
    qtest::ClearCalls();
    QAVOVolRaidErrSet(0);
    EXPECT_EQ(QAVOVolRaidUmount(1), 1);
    EXPECT_EQ(QAVOVolRaidErrGet(), QAVO_VOLRAID_ERR_PARAM);
    EXPECT_TRUE(rsim::CallsOf("umount").empty());
    EXPECT_NE(OptionsAt("/mnt/other"), "");
    EXPECT_EQ(qtest::ReadFile("/mnt/other/f"), "data\n");
    ASSERT_EQ(qtest::Sh("rm /volume2 && umount /mnt/other"), 0);
}
