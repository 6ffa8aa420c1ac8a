#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_raid.h"
#include "qavo_raiddisk.h"
#include "raid_sim.h"

namespace {

using Args = std::vector<std::string>;

// Four partitioned disks, maxdisks 4.
class RaidArrays : public ::testing::Test {
  protected:
    void SetUp() override {
        rsim::SetMaxDisks(4);
        for (const char *d : {"sda", "sdb", "sdc", "sdd"}) {
            rsim::AddDisk(d);
            rsim::Partition(d);
        }
        qtest::ClearCalls();
    }
    void TearDown() override { qtest::Sh("/sim/bin/qavo-disk down"); }
};

const std::string kRaid1Of2 = "level 1\nraid_disks 2\ncomponent 1000\n";

TEST(RaidStatusCalc, Levels) {
    struct Case {
        int level, designed, working;
        uint32_t mask;
        int status;
    } cases[] = {
        {1, 2, 2, 0x3, QAVO_RAID_NORMAL},   {1, 2, 1, 0x3, QAVO_RAID_DEGRADED},
        {1, 4, 2, 0xF, QAVO_RAID_DEGRADED},  // every mirror member holds all data
        {1, 4, 1, 0xF, QAVO_RAID_DEGRADED}, {1, 2, 0, 0x3, QAVO_RAID_CRASHED},
        {5, 3, 2, 0x7, QAVO_RAID_DEGRADED}, {5, 3, 1, 0x7, QAVO_RAID_CRASHED},
        {5, 4, 2, 0xF, QAVO_RAID_CRASHED},  {0, 2, 1, 0x3, QAVO_RAID_CRASHED},
        {1, 2, 1, 0, QAVO_RAID_CRASHED},   // no member at all
        {1, 2, 3, 0x7, QAVO_RAID_NORMAL},  // more than designed: logged, not judged
        {6, 4, 1, 0xF, QAVO_RAID_NORMAL},  // unjudged level
    };
    for (const Case &c : cases)
        EXPECT_EQ(QAVORaidVolStatusCalc(c.level, c.designed, c.working, c.mask), c.status)
            << c.level << "/" << c.designed << "/" << c.working;
}

TEST_F(RaidArrays, StatusFromTheDriver) {
    struct Case {
        const char *name;
        std::string state;
        int status, syncState;
        float percent;
        int designed, counted, working;
        uint32_t member, faulty, flagged, workingMask;
    } cases[] = {
        {"clean mirror", kRaid1Of2 + rsim::Member(0, 0, 3, 6) + rsim::Member(1, 1, 3, 6),
         QAVO_RAID_NORMAL, 0, 0, 2, 2, 2, 0x3, 0, 0, 0x3},
        {"four-way mirror, two working",
         "level 1\nraid_disks 4\ncomponent 1000\n" + rsim::Member(0, 0, 3, 6) +
             rsim::Member(1, 1, 3, 6) + rsim::Member(2, 2, 3, 1) + rsim::Member(3, 3, 3, 1),
         QAVO_RAID_DEGRADED, 0, 0, 4, 2, 2, 0xF, 0xC, 0, 0x3},
        {"flagged member counts but does not work",
         kRaid1Of2 + rsim::Member(0, 0, 3, 6) + rsim::Member(1, 2, 3, 0x46), QAVO_RAID_DEGRADED, 0,
         0, 2, 2, 1, 0x5, 0, 0x4, 0x1},
        {"resync half done",
         kRaid1Of2 + "sync 1 40 80\n" + rsim::Member(0, 0, 3, 6) +
             rsim::Member(3, 1, 3, 0),  // a spare works
         QAVO_RAID_NORMAL, 1, 50.0f, 2, 2, 2, 0x3, 0, 0, 0x3},
        {"resync flagged, nothing done", kRaid1Of2 + "sync 1 0 0\n" + rsim::Member(0, 0, 3, 6),
         QAVO_RAID_DEGRADED, 2, 0, 2, 1, 1, 0x1, 0, 0, 0x1},
        {"raid5 of three, one working",
         "level 5\nraid_disks 3\ncomponent 1000\n" + rsim::Member(0, 0, 3, 6) +
             rsim::Member(1, 1, 3, 1),
         QAVO_RAID_CRASHED, 0, 0, 3, 1, 1, 0x3, 0x2, 0, 0x1},
        {"removed and empty slots skipped",
         kRaid1Of2 + rsim::Member(0, 0, 3, 6) + "disk 1 8 19 8\ndisk 2 0 0 0\n", QAVO_RAID_DEGRADED,
         0, 0, 2, 1, 1, 0x1, 0, 0, 0x1},
    };
    for (const Case &c : cases) {
        rsim::SetMd(2, c.state);
        QAVORAIDVOLSTATUS st{};
        ASSERT_EQ(QAVORaidVolStatusGet(2, &st), 0) << c.name;
        EXPECT_EQ(st.md, 2) << c.name;
        EXPECT_EQ(st.valid, 1) << c.name;
        EXPECT_EQ(st.status, c.status) << c.name;
        EXPECT_EQ(st.syncState, c.syncState) << c.name;
        EXPECT_FLOAT_EQ(st.syncPercent, c.percent) << c.name;
        EXPECT_EQ(st.designed, c.designed) << c.name;
        EXPECT_EQ(st.counted, c.counted) << c.name;
        EXPECT_EQ(st.working, c.working) << c.name;
        EXPECT_EQ(st.memberMask, c.member) << c.name;
        EXPECT_EQ(st.faultyMask, c.faulty) << c.name;
        EXPECT_EQ(st.flaggedMask, c.flagged) << c.name;
        EXPECT_EQ(st.workingMask, c.workingMask) << c.name;
        EXPECT_STREQ(st.device, "/dev/md2") << c.name;
        EXPECT_EQ(st.componentSize, 1000) << c.name;
    }
}

TEST_F(RaidArrays, StatusFailures) {
    struct Case {
        const char *name;
        std::string state;
        int err;
    } cases[] = {
        {"in sync without active", kRaid1Of2 + rsim::Member(0, 0, 3, 4), QAVO_RAID_ERR_CMD},
        {"member on no disk", kRaid1Of2 + "disk 0 8 99 6\n", QAVO_RAID_ERR_CMD},
        {"five members",
         "level 1\nraid_disks 5\ncomponent 1000\n" + rsim::Member(0, 0, 3, 6) +
             rsim::Member(1, 1, 3, 6) + rsim::Member(2, 2, 3, 6) + rsim::Member(3, 3, 3, 6) +
             rsim::Member(4, 0, 3, 6),
         QAVO_RAID_ERR_CMD},
        {"sync total zero", kRaid1Of2 + "sync 1 5 0\n", QAVO_RAID_ERR_CMD},
        {"sync request fails", kRaid1Of2 + "fail sync 5\n", QAVO_RAID_ERR_CMD},
        {"array request fails", kRaid1Of2 + "fail info 5\n", QAVO_RAID_ERR_CMD},
        {"size request fails", kRaid1Of2 + "fail size 5\n", QAVO_RAID_ERR_CMD},
        {"inactive", "state inactive\n", QAVO_RAID_ERR_NODEV},
    };
    for (const Case &c : cases) {
        rsim::SetMd(2, c.state);
        QAVORAIDVOLSTATUS st{};
        QAVORaidVolErrSet(0);
        EXPECT_EQ(QAVORaidVolStatusGet(2, &st), 1) << c.name;
        EXPECT_EQ(QAVORaidVolErrGet(), c.err) << c.name;
    }
    QAVORAIDVOLSTATUS st{};
    EXPECT_EQ(QAVORaidVolStatusGet(6, &st), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_PARAM);
    // An absent node sets the code itself, never leaving an older one.
    QAVORaidVolErrSet(QAVO_RAID_ERR_STOP);
    EXPECT_EQ(QAVORaidVolStatusGet(3, &st), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_NODEV);
}

TEST_F(RaidArrays, MountPointIsThatOfTheDevice) {
    rsim::SetMd(2, kRaid1Of2 + rsim::Member(0, 0, 3, 6));
    // A file system whose source merely contains the device name comes first.
    ASSERT_EQ(qtest::Sh("mkdir -p /volume9 && mount -t tmpfs /dev/md22 /volume9 && "
                        "mount -t tmpfs /dev/md2 /volume1"),
              0);
    QAVORAIDVOLSTATUS st{};
    ASSERT_EQ(QAVORaidVolStatusGet(2, &st), 0);
    EXPECT_EQ(st.mounted, 1);
    EXPECT_STREQ(st.mountPoint, "/volume1");
}

TEST_F(RaidArrays, FreeNumbersAndEnumeration) {
    rsim::SetMd(0, kRaid1Of2 + rsim::Member(0, 0, 1, 6));
    rsim::SetMd(1, kRaid1Of2 + rsim::Member(0, 0, 2, 6));
    rsim::SetMd(2, kRaid1Of2 + rsim::Member(0, 0, 3, 6));
    int md = -1;
    ASSERT_EQ(QAVORaidVolFindUnusedID(&md), 0);
    EXPECT_EQ(md, 3);
    rsim::SetMd(4, kRaid1Of2 + rsim::Member(0, 1, 3, 6));
    uint32_t mask = 0;
    int first = -1, count = -1;
    ASSERT_EQ(QAVORaidDevEnum(&mask, &first, &count), 0);
    EXPECT_EQ(mask, 0x5u);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(QAVORaidDevEnum(nullptr, nullptr, nullptr), 1);

    // A node that does not open for another reason is no free number.
    ASSERT_EQ(qtest::Sh("ln -s md3 /dev/md3x && rm -f /dev/md3 && ln -s md3x /dev/md3"), 0);
    QAVORaidVolErrSet(QAVO_RAID_ERR_NODEV);
    ASSERT_EQ(QAVORaidVolFindUnusedID(&md), 0);
    EXPECT_EQ(md, 5);

    rsim::PreloadShim();
    ASSERT_EQ(QAVORaidVolCount(&count), 0);
    EXPECT_EQ(count, 4);  // md0, md1, md2, md4
}

TEST_F(RaidArrays, CreateCommands) {
    rsim::SetMd(0, kRaid1Of2 + rsim::Member(0, 0, 1, 6));
    rsim::SetMd(1, kRaid1Of2 + rsim::Member(0, 0, 2, 6));
    int md = -1;
    ASSERT_EQ(QAVORaidDataDevCreate(0x1, 1, 2, &md), 0);
    EXPECT_EQ(md, 2);
    auto calls = rsim::CallsOf("mdadm");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0],
              (Args{"-C", "/dev/md2", "-amd", "-R", "-l1", "-n2", "/dev/sda3", "missing"}));
    QAVORAIDVOLSTATUS st{};
    ASSERT_EQ(QAVORaidVolStatusGet(2, &st), 0);
    EXPECT_EQ(st.status, QAVO_RAID_DEGRADED);
    EXPECT_EQ(st.memberMask, 0x1u);

    // One disk forced, under a size limit.
    qtest::WriteFile("/tmp/volume.500", "");
    qtest::ClearCalls();
    ASSERT_EQ(QAVORaidDataDevCreate(0x2, 1, 1, &md), 0);
    EXPECT_EQ(md, 3);
    calls = rsim::CallsOf("mdadm");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (Args{"-C", "/dev/md3", "-amd", "-R", "-l1", "-f", "-n1", "/dev/sdb3", "-z",
                              "524288000"}));
    EXPECT_EQ(QAVORaidVolSizeLimitGet(), 524288000u);

    // A failed creation stops what was started.
    qtest::WriteFile("/sim/standin/mdadm.-C.status", "1\n");
    qtest::ClearCalls();
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidDataDevCreate(0xC, 5, 3, &md), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_CMD);
    calls = rsim::CallsOf("mdadm");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (Args{"-C", "/dev/md4", "-amd", "-R", "-l5", "-n3", "/dev/sdc3",
                              "/dev/sdd3", "missing", "-z", "524288000"}));
    EXPECT_EQ(calls[1], (Args{"-S", "/dev/md4"}));

    struct Bad {
        uint32_t mask;
        int level;
    } bad[] = {{0, 1}, {0x1, 4}, {0x1, 6}};
    for (const Bad &b : bad) {
        QAVORaidVolErrSet(0);
        EXPECT_EQ(QAVORaidDataDevCreate(b.mask, b.level, 1, &md), 1);
        EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_PARAM);
    }
}

TEST_F(RaidArrays, Destroy) {
    rsim::SetMd(0, kRaid1Of2 + rsim::Member(0, 0, 1, 6));
    rsim::SetMd(1, kRaid1Of2 + rsim::Member(0, 0, 2, 6));
    int md = -1;
    ASSERT_EQ(QAVORaidDataDevCreate(0x3, 1, 2, &md), 0);
    ASSERT_EQ(qtest::Sh("mkfs.ext3 -q /dev/md2 && mount /dev/md2 /volume1"), 0);
    qtest::WriteFile("/sim/standin/mdadm.--zero-superblock.status", "5\n");
    qtest::ClearCalls();
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidVolDestroy(2), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_ZERO);
    EXPECT_EQ(rsim::CallsOf("mdadm"), (std::vector<Args>{{"-S", "/dev/md2"},
                                                         {"--zero-superblock", "/dev/sda3"},
                                                         {"--zero-superblock", "/dev/sdb3"}}));
    std::string mounts = qtest::ReadFile("/proc/mounts");
    EXPECT_EQ(mounts.find("/volume1"), std::string::npos);
    EXPECT_FALSE(qtest::FileExists("/dev/md2"));

    // The system arrays stay.
    qtest::ClearCalls();
    for (int sys : {0, 1}) {
        QAVORaidVolErrSet(0);
        EXPECT_EQ(QAVORaidVolDestroy(sys), 1);
        EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_PARAM);
    }
    EXPECT_TRUE(rsim::CallsOf("mdadm").empty());
    // Absent array; a stop that fails.
    EXPECT_EQ(QAVORaidVolDestroy(3), 1);
    rsim::SetMd(3, kRaid1Of2 + rsim::Member(0, 2, 3, 6));
    qtest::WriteFile("/sim/standin/mdadm.-S.status", "1\n");
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidVolDestroy(3), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_STOP);
}

TEST_F(RaidArrays, DestroyKeepsAnArrayWhoseFileSystemIsStillMountedElsewhere) {
    // A share folder of the volume also bound elsewhere: umount of the volume's
    // mount point exits 0 and the file system stays mounted there.
    rsim::SetMd(0, kRaid1Of2 + rsim::Member(0, 0, 1, 6));
    rsim::SetMd(1, kRaid1Of2 + rsim::Member(0, 0, 2, 6));
    int md = -1;
    ASSERT_EQ(QAVORaidDataDevCreate(0x3, 1, 2, &md), 0);
    ASSERT_EQ(md, 2);
    ASSERT_EQ(qtest::Sh("mkfs.ext3 -q /dev/md2 && mount /dev/md2 /volume1 && "
                        "mkdir -p /volume1/public /mnt/public && "
                        "mount --bind /volume1/public /mnt/public"),
              0);
    qtest::WriteFile("/volume1/public/f", "data");
    qtest::ClearCalls();
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidVolDestroy(2), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_UMOUNT);
    EXPECT_TRUE(qtest::SyslogHas("/dev/md2 is still mounted"));
    // Nothing stopped or wiped: the array answers with both members and the
    // data still reads where it is mounted.
    EXPECT_TRUE(rsim::CallsOf("mdadm").empty());
    QAVORAIDVOLSTATUS st;
    ASSERT_EQ(QAVORaidVolStatusGet(2, &st), 0);
    EXPECT_EQ(st.memberMask, 0x3u);
    EXPECT_EQ(qtest::ReadFile("/mnt/public/f"), "data");
}

TEST_F(RaidArrays, MemberPartitions) {
    rsim::SetMd(0, kRaid1Of2 + rsim::Member(0, 0, 1, 6));
    ASSERT_EQ(QAVORaidSysPartAdd(1), 0);
    ASSERT_EQ(QAVORaidVolPartRemove(0, 1, 0), 0);
    EXPECT_EQ(rsim::CallsOf("mdadm"),
              (std::vector<Args>{{"/dev/md0", "-a", "/dev/sdb1"},
                                 {"/dev/md0", "-f", "/dev/sdb1", "-r", "/dev/sdb1"}}));
    // A system partition of another size is refused.
    ASSERT_EQ(qtest::Sh("sfdisk -N2 -uS -q -f -o1574370 -z787000 -tfd -F /dev/sdc"), 0);
    qtest::ClearCalls();
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidSwapPartAdd(2), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_PARTSIZE);
    EXPECT_TRUE(rsim::CallsOf("mdadm").empty());
    // Missing partition; failing mdadm.
    ASSERT_EQ(qtest::Sh("sfdisk -N3 -q -f --no-reread -o0 -z0 -t0 -F -D /dev/sdd"), 0);
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidVolDataPartAdd(2, 3), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_PARAM);
    qtest::SetStandinStatus("mdadm", 2);
    EXPECT_EQ(QAVORaidVolDataPartAdd(2, 2), 1);
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidVolDataPartRemove(2, 2), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_CMD);
}

TEST_F(RaidArrays, UpgradeAndRepairCandidates) {
    // sda, sdb in the system arrays; sdc free; sdd in md3.
    rsim::SetMd(0, "level 1\nraid_disks 4\ncomponent 700000\n" + rsim::Member(0, 0, 1, 6) +
                       rsim::Member(1, 1, 1, 6));
    rsim::SetMd(1, "level 1\nraid_disks 4\ncomponent 300000\n" + rsim::Member(0, 0, 2, 6) +
                       rsim::Member(1, 1, 2, 6));
    rsim::SetMd(2, "level 1\nraid_disks 1\ncomponent 2875000\n" + rsim::Member(0, 0, 3, 6));
    rsim::SetMd(3, kRaid1Of2 + rsim::Member(0, 3, 3, 6));
    // sdb and sdc: system only and free.
    EXPECT_EQ(QAVORaidVolUpgradable(2, -1), 0x6);
    EXPECT_EQ(QAVORaidVolUpgradable(2, 2), 0x4);
    EXPECT_EQ(QAVORaidVolUpgradable(2, 0), -1);   // in use
    EXPECT_EQ(QAVORaidVolUpgradable(3, -1), -2);  // two-disk mirror
    EXPECT_EQ(QAVORaidVolRepairable(3, -1), 0x6);
    EXPECT_EQ(QAVORaidVolRepairable(2, -1), -2);  // not degraded
    EXPECT_EQ(QAVORaidVolUpgradable(2, 4), -3);
    EXPECT_EQ(QAVORaidVolUpgradable(5, -1), -3);  // absent

    // The data area decides: 358 cylinders after the system area, 5751040
    // usable sectors, hold 2875520 KiB, no more, though the whole disk is
    // larger than twice that.
    EXPECT_EQ(QAVORaidDiskFitCheck(2, 2875520), 1);
    EXPECT_EQ(QAVORaidDiskFitCheck(2, 2875521), 0);
    EXPECT_EQ(QAVORaidDiskFitCheck(2, 1ull << 33), 0);
    rsim::SetMd(2, "level 1\nraid_disks 1\ncomponent 3000000\n" + rsim::Member(0, 0, 3, 6));
    EXPECT_EQ(QAVORaidVolUpgradable(2, -1), 0);

    QAVORAIDVOLSTATUS st{};
    ASSERT_EQ(QAVORaidVolStatusGet(2, &st), 0);
    uint64_t sectors = 0;
    ASSERT_EQ(QAVORaidVolMemberDiskSizeGet(&st, &sectors), 0);
    EXPECT_EQ(sectors, 2634916u + 6000000u);
    st.level = 0;
    EXPECT_EQ(QAVORaidVolMemberDiskSizeGet(&st, &sectors), 1);
    EXPECT_EQ(sectors, 2634916u);
}

TEST_F(RaidArrays, Growth) {
    rsim::SetMd(2, "level 1\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 0, 3, 6) +
                       rsim::Member(1, 1, 3, 6));
    uint32_t kib = 0;
    ASSERT_EQ(QAVORaidComponentSize(2, &kib), 0);
    EXPECT_EQ(kib, 1000u);
    // Partition 3 holds 5753948 sectors: 5753728 usable, 2876864 KiB.
    ASSERT_EQ(QAVORaidVolExpansible(2, &kib), 0);
    EXPECT_EQ(kib, 2876864u);
    qtest::WriteFile("/tmp/volume.2", "");
    ASSERT_EQ(QAVORaidVolExpansible(2, &kib), 0);
    EXPECT_EQ(kib, 2097152u);
    ASSERT_EQ(QAVORaidVolExpand(2), 0);
    EXPECT_EQ(rsim::CallsOf("mdadm"), (std::vector<Args>{{"--grow", "/dev/md2", "-z", "2097152"}}));
    ASSERT_EQ(QAVORaidVolExpansible(2, &kib), 0);
    EXPECT_EQ(kib, 0u);
    EXPECT_EQ(QAVORaidVolExpand(2), 1);

    rsim::SetMd(3, "level 0\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 2, 3, 6));
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidVolExpansible(3, &kib), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_NOID);

    qtest::ClearCalls();
    ASSERT_EQ(QAVORaidVolDiskCountChange(2, 3), 0);
    EXPECT_EQ(rsim::CallsOf("mdadm"), (std::vector<Args>{{"--grow", "/dev/md2", "--raid-disk=3"}}));
    qtest::SetStandinStatus("mdadm", 4);
    EXPECT_EQ(QAVORaidVolDiskCountChange(2, 3), 4);
    EXPECT_EQ(QAVORaidVolDiskCountChange(2, 0), 1);
    EXPECT_EQ(QAVORaidVolRaid5Reshape(2, 3), 1);
}

TEST_F(RaidArrays, SystemArrays) {
    ASSERT_EQ(qtest::Sh("/sim/bin/qavo-disk remove sdb && /sim/bin/qavo-disk remove sdd"), 0);
    ASSERT_EQ(QAVORaidSystemInit(), 0);
    auto calls = rsim::CallsOf("mdadm");
    std::vector<Args> creates;
    for (auto &c : calls)
        if (!c.empty() && c[0] == "-C") creates.push_back(c);
    EXPECT_EQ(creates, (std::vector<Args>{{"-C", "/dev/md0", "-amd", "-R", "-l1", "-n4",
                                           "/dev/sda1", "/dev/sdc1", "missing", "missing"},
                                          {"-C", "/dev/md1", "-amd", "-R", "-l1", "-n4",
                                           "/dev/sda2", "/dev/sdc2", "missing", "missing"}}));
    QAVORAIDVOLSTATUS st{};
    ASSERT_EQ(QAVORaidVolStatusGet(0, &st), 0);
    EXPECT_EQ(st.memberMask, 0x5u);
    EXPECT_EQ(st.status, QAVO_RAID_DEGRADED);
    EXPECT_EQ(BlQAVORaidSystemSyncing(), 0);
    rsim::SetMd(1,
                "level 1\nraid_disks 4\ncomponent 1000\nsync 1 0 0\n" + rsim::Member(0, 0, 2, 6));
    EXPECT_EQ(BlQAVORaidSystemSyncing(), 1);
}

TEST_F(RaidArrays, SystemArraysElsewhereFail) {
    // md0 exists but holds none of these disks: the new arrays get other numbers.
    rsim::SetMd(0, "level 1\nraid_disks 4\ncomponent 1000\n");
    ASSERT_EQ(qtest::Sh("/sim/bin/qavo-disk remove sdb && /sim/bin/qavo-disk remove sdc && "
                        "/sim/bin/qavo-disk remove sdd"),
              0);
    QAVORaidVolErrSet(0);
    EXPECT_EQ(QAVORaidSystemInit(), 1);
    EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_CMD);
    // Disks in working arrays are not laid again.
    rsim::SetMd(0, "level 1\nraid_disks 4\ncomponent 1000\n" + rsim::Member(0, 0, 1, 6));
    qtest::ClearCalls();
    EXPECT_EQ(QAVORaidSystemInit(), 1);
    for (auto &c : rsim::CallsOf("sfdisk"))
        EXPECT_EQ(c[0], "-l");
}

}  // namespace
