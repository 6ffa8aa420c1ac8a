#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_raid.h"
#include "qavo_raiddisk.h"
#include "raid_sim.h"

namespace {

// Bytes of a device or image region.
std::string ReadAt(const std::string &path, off_t offset, size_t n) {
    std::string buf(n, '\0');
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) return {};
    EXPECT_EQ(pread(fd, buf.data(), n, offset), static_cast<ssize_t>(n));
    close(fd);
    return buf;
}

// The sfdisk calls that change a table (listings left out).
std::vector<std::vector<std::string>> Changes() {
    std::vector<std::vector<std::string>> out;
    for (auto &c : rsim::CallsOf("sfdisk"))
        if (c.empty() || c[0] != "-l") out.push_back(c);
    return out;
}

TEST(RaidDiskSizes, DataAndUsableSizes) {
    struct Case {
        uint32_t disk, data, usable;
    } cases[] = {
        {312581808u, 309942045u, 309941888u},  // 19293 whole cylinders
        {2634597u + 16064u, 0, 0},             // less than one cylinder after the system area
        {1000u, 0, 0},                         // smaller than the system area: no wrap
    };
    for (const Case &c : cases) {
        EXPECT_EQ(QAVORaidDataSizeOf(c.disk), c.data) << c.disk;
        EXPECT_EQ(QAVORaidUsableSizeOf(c.data), c.usable) << c.disk;
    }
}

TEST(RaidDiskSizes, MeasuredOnDisks) {
    rsim::SetMaxDisks(4);
    rsim::AddDisk("sda", 312581808);
    rsim::AddDisk("sdb", 6442450944ull);  // 3 TiB: more sectors than 32 bits hold
    rsim::AddDisk("sdc", 2000000);        // smaller than the system area
    uint32_t s = 0;
    ASSERT_EQ(QAVORaidDiskSizeGet(0, -1, &s), 0);
    EXPECT_EQ(s, 312581808u);
    ASSERT_EQ(QAVORaidDiskDataSizeGet(0, &s), 0);
    EXPECT_EQ(s, 309941888u);
    ASSERT_EQ(QAVORaidDiskMinSizeGet(0x1, &s), 0);
    EXPECT_EQ(s, 309942045u);

    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskSizeGet(1, -1, &s), 1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_SIZE);
    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskDataSizeGet(2, &s), 1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_SIZE);
    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskMinSizeGet(0x5, &s), 1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_SIZE);

    // Absent partition, bad arguments.
    EXPECT_EQ(QAVORaidDiskSizeGet(0, 2, &s), 1);
    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskSizeGet(4, -1, &s), 1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_PARAM);
    EXPECT_EQ(QAVORaidDiskSizeGet(0, -2, &s), 1);
    EXPECT_EQ(QAVORaidDiskMinSizeGet(0, &s), 1);
}

TEST(RaidDiskInit, AllThenDataKeepsTheSystemPartitions) {
    rsim::SetMaxDisks(2);
    rsim::AddDisk("sda");
    ASSERT_EQ(QAVORaidDiskInit(0, RAID_DISK_INIT_ALL), 0);
    std::string out;
    ASSERT_EQ(qtest::Sh("/sim/real/sbin/sfdisk -d /dev/sda | grep start=", &out), 0);
    EXPECT_EQ(out,
              "/dev/sda1 : start=          63, size=     1574307, type=fd\n"
              "/dev/sda2 : start=     1574370, size=      787185, type=fd\n"
              "/dev/sda3 : start=     2634660, size=     5753948, type=fd\n");
    EXPECT_EQ(BlQAVORaidDiskCheckPartitions("/dev/sda"), 1);

    // Data on every partition, then the data partition alone is laid again.
    ASSERT_EQ(qtest::Sh("for p in 1 2 3; do head -c 20480 /dev/zero | tr '\\0' x | "
                        "dd of=/dev/sda$p conv=fsync status=none; done"),
              0);
    qtest::ClearCalls();
    ASSERT_EQ(QAVORaidDiskInit(0, RAID_DISK_INIT_DATA), 0);
    ASSERT_EQ(qtest::Sh("/sim/real/sbin/sfdisk -d /dev/sda | grep start=", &out), 0);
    EXPECT_NE(out.find("/dev/sda3 : start=     2634660, size=     5753948, type=fd"),
              std::string::npos);
    EXPECT_EQ(ReadAt("/dev/sda1", 0, 512), std::string(512, 'x'));
    EXPECT_EQ(ReadAt("/dev/sda2", 0, 512), std::string(512, 'x'));
    EXPECT_EQ(ReadAt("/dev/sda3", 0, 16 * 512), std::string(16 * 512, '\0'));
    EXPECT_EQ(ReadAt("/dev/sda3", 16 * 512, 512), std::string(512, 'x'));
    // Type 2 neither resets the table nor touches partitions 1 and 2.
    for (const auto &c : rsim::CallsOf("sfdisk")) {
        EXPECT_NE(c[0], "-M1");
        EXPECT_NE(c[0], "-N1");
        EXPECT_NE(c[0], "-N2");
    }
}

TEST(RaidDiskInit, RefusesPartitionsOfWorkingMembersAndUndefinedTypes) {
    rsim::SetMaxDisks(2);
    rsim::AddDisk("sda");
    rsim::AddDisk("sdb");
    rsim::Partition("sda");
    rsim::Partition("sdb");
    // sda3 works in md2; sdb1 is a faulty member of md0 (may be laid again).
    rsim::SetMd(2, "level 1\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 0, 3, 6));
    rsim::SetMd(0, "level 1\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 0, 1, 6) +
                       rsim::Member(1, 1, 1, 1));
    const std::string before = ReadAt("/sim/disks/sda.img", 0, 512);
    qtest::ClearCalls();
    struct Case {
        int disk, type, result;
    } cases[] = {
        {0, RAID_DISK_INIT_DATA, 1},  // md2 works on sda3
        {0, RAID_DISK_INIT_SYS, 1},   // md0 works on sda1
        {0, RAID_DISK_INIT_ALL, 1},
        {1, 0, 1},  // clears partition 1 and lays none
        {1, 4, 1},
    };
    for (const Case &c : cases) {
        QAVORaidDiskErrSet(0);
        EXPECT_EQ(QAVORaidDiskInit(c.disk, c.type), c.result) << c.disk << " " << c.type;
        EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_STATUS) << c.disk << " " << c.type;
    }
    // The clearing on its own is held back all the same.
    for (int type : {RAID_DISK_INIT_DATA, RAID_DISK_INIT_SYS, RAID_DISK_INIT_ALL, 0}) {
        QAVORaidDiskErrSet(0);
        EXPECT_EQ(QAVORaidDiskPartClean(0, type), 1) << type;
        EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_STATUS) << type;
    }
    EXPECT_TRUE(Changes().empty());
    EXPECT_TRUE(rsim::CallsOf("mdadm").empty());
    EXPECT_EQ(ReadAt("/sim/disks/sda.img", 0, 512), before);
    // The data partition of sdb is in no array.
    EXPECT_EQ(QAVORaidDiskInit(1, RAID_DISK_INIT_DATA), 0);
}

TEST(RaidDiskInit, ArraysOrMembersThatCannotBeReadMayUseTheDisk) {
    rsim::SetMaxDisks(2);
    for (const char *d : {"sda", "sdb"}) {
        rsim::AddDisk(d);
        rsim::Partition(d);
    }
    // Both disks in md0, md1 and md2.
    const std::string raid1 = "level 1\nraid_disks 2\ncomponent 1000\n";
    auto both = [&](int part) {
        return raid1 + rsim::Member(0, 0, part, 6) + rsim::Member(1, 1, part, 6);
    };
    rsim::SetMd(0, both(1));
    rsim::SetMd(1, both(2));
    ASSERT_EQ(qtest::Sh("head -c 8192 /dev/zero | tr '\\0' x | "
                        "dd of=/dev/sda3 conv=fsync status=none"),
              0);
    const std::string data = ReadAt("/dev/sda3", 0, 8192);
    const std::string table = ReadAt("/sim/disks/sda.img", 0, 512);
    auto untouched = [&](const std::string &what) {
        EXPECT_TRUE(Changes().empty()) << what;
        EXPECT_TRUE(rsim::CallsOf("mdadm").empty()) << what;
        EXPECT_TRUE(ReadAt("/sim/disks/sda.img", 0, 512) == table) << what;
        EXPECT_TRUE(ReadAt("/dev/sda3", 0, 8192) == data) << what;
    };

    // md2 on sda3 whose state cannot be read.
    for (const char *fail : {"fail info 5\n", "fail size 5\n", "fail sync 5\n"}) {
        rsim::SetMd(2, both(3) + fail);
        qtest::ClearCalls();
        QAVORaidDiskErrSet(0);
        EXPECT_EQ(QAVORaidDiskPartClean(0, RAID_DISK_INIT_DATA), 1) << fail;
        EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_STATUS) << fail;
        EXPECT_EQ(QAVORaidDiskInit(0, RAID_DISK_INIT_DATA), 1) << fail;
        untouched(fail);
    }

    // The query of md2's member 0 (sda3) fails: the array's record leaves it
    // out, but no guard takes sda for free.
    rsim::SetMd(2, both(3) + "fail disk 0 5\n");
    qtest::ClearCalls();
    QAVORAIDVOLSTATUS vol{};
    ASSERT_EQ(QAVORaidVolStatusGet(2, &vol), 0);
    EXPECT_EQ(vol.memberMask, 0x2u);
    EXPECT_EQ(vol.status, QAVO_RAID_DEGRADED);
    QAVORAIDDISKSTATUS st{};
    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskStatus(0, &st), 1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_STATUS);
    EXPECT_EQ(QAVORaidDiskUnusedIdFirst(), -1);
    EXPECT_EQ(QAVORaidDiskUnused(), 0);
    EXPECT_EQ(QAVORaidVolRepairable(2, 0), -3);
    EXPECT_EQ(QAVORaidVolRepairable(2, -1), -3);
    EXPECT_EQ(QAVORaidDiskInit(0, RAID_DISK_INIT_DATA), 1);
    EXPECT_EQ(QAVORaidDiskPartClean(0, RAID_DISK_INIT_DATA), 1);
    untouched("member query");
    // sdb, whose member answered, keeps its status.
    ASSERT_EQ(QAVORaidDiskStatus(1, &st), 0);
    EXPECT_EQ(st.status, QAVO_RAID_DISK_NORMAL);

    // The same in a system array: sda's system state is unknown.
    rsim::SetMd(2, both(3));
    rsim::SetMd(0, both(1) + "fail disk 0 5\n");
    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskStatus(0, &st), 1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_STATUS);
    ASSERT_EQ(QAVORaidDiskStatus(1, &st), 0);
    EXPECT_EQ(st.status, QAVO_RAID_DISK_NORMAL);
}

TEST(RaidDiskInit, BadLayoutIsClearedWhole) {
    rsim::SetMaxDisks(1);
    rsim::AddDisk("sda");
    ASSERT_EQ(qtest::Sh("sfdisk -N1 -uS -q -f -j63 -z1574307 -t83 -F /dev/sda"), 0);
    qtest::ClearSyslog();
    qtest::ClearCalls();
    ASSERT_EQ(QAVORaidDiskInit(0, RAID_DISK_INIT_SYS), 0);
    EXPECT_TRUE(qtest::SyslogHas("/dev/sda1: ulFsType=[0x83] not match [0xFD]"));
    auto sf = Changes();
    ASSERT_GE(sf.size(), 1u);
    EXPECT_EQ(sf[0], (std::vector<std::string>{"-M1", "/dev/sda"}));
    int cleared = 0;
    for (const auto &c : sf)
        if (c.size() > 3 && c[3] == "--no-reread") ++cleared;
    EXPECT_EQ(cleared, 4);
    EXPECT_EQ(BlQAVORaidDiskCheckPartitions("/dev/sda"), 0);  // no partition 3 yet
    uint32_t start = 0, type = 0;
    EXPECT_EQ(QAVORaidPartInfoGet(2, "/dev/sda", &start, &type), 787185u);
    EXPECT_EQ(start, 1574370u);
    EXPECT_EQ(type, 0xfdu);
}

TEST(RaidDiskLayout, FirstMismatchIsReported) {
    rsim::AddDisk("sda");
    rsim::Partition("sda");
    // Partition 2 starting 63 sectors late.
    ASSERT_EQ(qtest::Sh("sfdisk -N2 -uS -q -f -o1574433 -z787185 -tfd -F /dev/sda"), 0);
    qtest::ClearSyslog();
    EXPECT_EQ(BlQAVORaidDiskCheckPartitions("/dev/sda"), 0);
    EXPECT_TRUE(qtest::SyslogHas("/dev/sda2: ulStartOffset=[1574433] not match [1574370]"));
    EXPECT_EQ(BlQAVORaidDiskCheckPartitions(nullptr), 0);

    uint32_t start = 0, type = 0;
    EXPECT_EQ(QAVORaidPartInfoGet(4, "/dev/sda", &start, &type), UINT32_MAX);
    EXPECT_EQ(QAVORaidPartInfoGet(0, "/dev/sda", &start, &type), UINT32_MAX);
    EXPECT_EQ(QAVORaidPartInfoGet(3, "sda", &start, &type), 5753948u);
    // Device names are never handed to the shell as they are.
    EXPECT_EQ(QAVORaidPartInfoGet(1, "/dev/sda;touch /tmp/owned", &start, &type), UINT32_MAX);
    EXPECT_EQ(QAVORaidPartInfoGet(1, "/dev/sda$(touch /tmp/owned)", &start, &type), UINT32_MAX);
    EXPECT_FALSE(qtest::FileExists("/tmp/owned"));
}

TEST(RaidDiskStatus, RolesInTheArrays) {
    rsim::SetMaxDisks(4);
    for (const char *d : {"sda", "sdb", "sdc"}) {
        rsim::AddDisk(d);
        rsim::Partition(d);
    }
    // sda: md0, md1 and faulty in md2. sdb: md0 only. sdc: md2 only.
    rsim::SetMd(0, "level 1\nraid_disks 4\ncomponent 700000\n" + rsim::Member(0, 0, 1, 6) +
                       rsim::Member(1, 1, 1, 6));
    rsim::SetMd(1, "level 1\nraid_disks 4\ncomponent 300000\n" + rsim::Member(0, 0, 2, 6));
    rsim::SetMd(2, "level 1\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 0, 3, 1) +
                       rsim::Member(1, 2, 3, 6));
    struct Case {
        int disk, status;
        uint32_t dataMask;
    } cases[] = {
        {0, QAVO_RAID_DISK_FAILING, 0x1},
        {1, QAVO_RAID_DISK_SYSDAMAGED, 0},
        {2, QAVO_RAID_DISK_NOSYS, 0x1},
        {3, QAVO_RAID_DISK_NONE, 0},  // no /sys/block/sdd
    };
    for (const Case &c : cases) {
        QAVORAIDDISKSTATUS st{};
        ASSERT_EQ(QAVORaidDiskStatus(c.disk, &st), 0) << c.disk;
        EXPECT_EQ(st.status, c.status) << c.disk;
        EXPECT_EQ(st.dataMask, c.dataMask) << c.disk;
    }
    QAVORAIDDISKSTATUS st{};
    ASSERT_EQ(QAVORaidDiskStatus(0, &st), 0);
    EXPECT_STREQ(st.device, "/dev/sda");
    EXPECT_FLOAT_EQ(st.size, 4.0f);
    EXPECT_STREQ(st.model, "SIM DISK\n");

    EXPECT_EQ(QAVORaidDiskIdGetByDevNum(2, 8, 35), 3);
    EXPECT_EQ(QAVORaidDiskIdGetByDevNum(0, 8, 17), 2);
    EXPECT_EQ(QAVORaidDiskIdGetByDevNum(0, 8, 19), -1);  // sdb3 is no md0 member device
    EXPECT_EQ(QAVORaidDiskIdGetByDevNum(6, 8, 3), -1);

    // sdb and sdc leave the arrays: free, then system only.
    rsim::SetMd(2, "level 1\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 0, 3, 6));
    rsim::SetMd(0, "level 1\nraid_disks 4\ncomponent 700000\n" + rsim::Member(0, 0, 1, 6) +
                       rsim::Member(1, 2, 1, 6));
    rsim::SetMd(1, "level 1\nraid_disks 4\ncomponent 300000\n" + rsim::Member(0, 0, 2, 6) +
                       rsim::Member(1, 2, 2, 6));
    EXPECT_EQ(QAVORaidDiskUnusedIdFirst(), 1);
    EXPECT_EQ(QAVORaidDiskUnused(), 2);
    ASSERT_EQ(QAVORaidDiskStatus(0, &st), 0);
    EXPECT_EQ(st.status, QAVO_RAID_DISK_NORMAL);
    ASSERT_EQ(QAVORaidDiskStatus(2, &st), 0);
    EXPECT_EQ(st.status, QAVO_RAID_DISK_SYSONLY);
}

TEST(RaidDiskStatus, StatusCodesFromTheStates) {
    struct Case {
        int sys, data, status;
    } cases[] = {
        {0, 0, 0}, {0, 1, 3}, {1, 1, 2}, {2, 1, 5}, {0, 2, 4},
        {1, 2, 4}, {2, 2, 4}, {1, 0, 6}, {2, 0, 6},
    };
    for (const Case &c : cases) {
        int s = -1;
        ASSERT_EQ(QAVORaidDiskStatusCalc(c.sys, c.data, &s), 0) << c.sys << c.data;
        EXPECT_EQ(s, c.status) << c.sys << c.data;
    }
    int s = -1;
    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskStatusCalc(3, 1, &s), 1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_STATUS);
}

TEST(RaidDiskModel, ModelIsBoundedToItsField) {
    rsim::SetMaxDisks(1);
    const std::string forty(40, 'M');
    rsim::AddDisk("sda", rsim::kDiskSectors, forty);
    QAVORAIDDISKSTATUS st{};
    ASSERT_EQ(QAVORaidDiskStatus(0, &st), 0);
    EXPECT_EQ(std::string(st.model), forty);  // all 40 characters, the newline cut

    char small[8];
    ASSERT_EQ(QAVORaidDiskModelGet("/dev/sda", small, sizeof small), 0);
    EXPECT_EQ(std::string(small), "MMMMMMM");
    QAVORaidDiskErrSet(0);
    EXPECT_EQ(QAVORaidDiskModelGet("/dev/sdq", small, sizeof small), -1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_MODEL);
    EXPECT_EQ(QAVORaidDiskModelGet("/dev/sda", small, 0), -1);
    EXPECT_EQ(QAVORaidDiskErrGet(), QAVO_RAID_DISK_ERR_PARAM);
}

TEST(RaidDiskModel, IdentifyModelField) {
    rsim::AddDisk("sda", rsim::kDiskSectors, "FROM SYSFS");
    struct Case {
        std::string field, model;
    } cases[] = {
        {"WDC WD3200JB-00KFA0", "WDC WD3200JB-00KFA0" + std::string(21, ' ')},
        {"    HDS722516VLAT80", "HDS722516VLAT80" + std::string(21, ' ')},  // blank words skipped
        {"   ST3160812AS", "ST3160812AS" + std::string(26, ' ')},  // low byte of a half-blank word
        {std::string("AB\0\0CD", 6), "AB"},                        // up to a zero word
        {std::string(40, 'Q'), std::string(40, 'Q')},
    };
    for (const Case &c : cases) {
        qtest::WriteFile("/sim/disks/sda.ata", c.field);
        char buf[QAVO_RAID_DISK_MODEL_LEN + 1];
        ASSERT_EQ(QAVORaidDiskModelGet("/dev/sda", buf, sizeof buf), 0) << c.field;
        EXPECT_EQ(std::string(buf), c.model) << c.field;
    }
    qtest::RemoveFile("/sim/disks/sda.ata");
    char buf[64];
    ASSERT_EQ(QAVORaidDiskModelGet("/dev/sda", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "FROM SYSFS\n");
}

// Every operation that writes to the disk of a slot.
struct SlotWrite {
    const char *name;
    int (*run)(int disk);
};
const SlotWrite kSlotWrites[] = {
    {"data add", [](int d) { return QAVORaidVolDataPartAdd(2, d); }},
    {"sys add", QAVORaidSysPartAdd},
    {"swap add", QAVORaidSwapPartAdd},
    {"data remove", [](int d) { return QAVORaidVolDataPartRemove(2, d); }},
    {"init all", [](int d) { return QAVORaidDiskInit(d, RAID_DISK_INIT_ALL); }},
    {"init sys", [](int d) { return QAVORaidDiskInit(d, RAID_DISK_INIT_SYS); }},
    {"init data", [](int d) { return QAVORaidDiskInit(d, RAID_DISK_INIT_DATA); }},
    {"clean all", [](int d) { return QAVORaidDiskPartClean(d, RAID_DISK_INIT_ALL); }},
    {"clean data", [](int d) { return QAVORaidDiskPartClean(d, RAID_DISK_INIT_DATA); }},
};

TEST(RaidDiskSlots, WritesRefuseSlotsTheModelLacksAndExternalDisks) {
    // sdb holds a user's data on the old appliance layout.
    rsim::AddDisk("sda");
    rsim::AddDisk("sdb");
    rsim::Partition("sda");
    rsim::Partition("sdb");
    rsim::SetMd(2, "level 1\nraid_disks 2\ncomponent 1000\n" + rsim::Member(0, 0, 3, 6));
    ASSERT_EQ(qtest::Sh("head -c 8192 /dev/zero | tr '\\0' u | "
                        "dd of=/dev/sdb3 conv=fsync status=none"),
              0);
    const std::string table = ReadAt("/sim/disks/sdb.img", 0, 512);
    const std::string data = ReadAt("/dev/sdb3", 0, 8192);
    auto refused = [&](const std::string &why) {
        qtest::ClearCalls();
        for (const SlotWrite &w : kSlotWrites) {
            QAVORaidDiskErrSet(0);
            QAVORaidVolErrSet(0);
            EXPECT_EQ(w.run(1), 1) << why << ": " << w.name;
            EXPECT_TRUE(QAVORaidDiskErrGet() == QAVO_RAID_DISK_ERR_PARAM ||
                        QAVORaidVolErrGet() == QAVO_RAID_ERR_PARAM)
                << why << ": " << w.name;
        }
        int md = -1;
        EXPECT_EQ(QAVORaidDataDevCreate(0x3, 1, 2, &md), 1) << why;
        EXPECT_TRUE(Changes().empty()) << why;
        EXPECT_TRUE(rsim::CallsOf("mdadm").empty()) << why;
        EXPECT_TRUE(ReadAt("/sim/disks/sdb.img", 0, 512) == table) << why;
        EXPECT_TRUE(ReadAt("/dev/sdb3", 0, 8192) == data) << why;
    };

    // A one-slot model: sdb is the first USB disk.
    rsim::SetMaxDisks(1);
    for (const SlotWrite &w : kSlotWrites) {
        qtest::ClearCalls();
        EXPECT_EQ(w.run(1), 1) << w.name;
        EXPECT_TRUE(Changes().empty()) << w.name;
        EXPECT_TRUE(rsim::CallsOf("mdadm").empty()) << w.name;
    }
    EXPECT_TRUE(ReadAt("/sim/disks/sdb.img", 0, 512) == table);
    EXPECT_TRUE(ReadAt("/dev/sdb3", 0, 8192) == data);

    // A two-slot model with one disk: an external disk took the second
    // slot's name, as the tables of attached disks say.
    rsim::SetMaxDisks(2);
    struct Table {
        const char *path, *line;
    } tables[] = {
        {"/tmp/usbtab", "sdb=\"/1/2/\"\n"},
        {"/tmp/usbguidtab", "sdb=\"0123456789AB\"\n"},
        {"/tmp/satatab", "sdb=\"\"\n"},
    };
    for (const Table &t : tables) {
        qtest::WriteFile(t.path, std::string("lp0=\"/1/3/\"\n") + t.line);
        refused(t.path);
        qtest::RemoveFile(t.path);
    }
    // A table that cannot be opened may name it.
    ASSERT_EQ(qtest::Sh("ln -s usbtab /tmp/usbtab"), 0);
    refused("unreadable table");
    qtest::RemoveFile("/tmp/usbtab");

    // Tables that name other devices leave the slot alone.
    qtest::WriteFile("/tmp/usbtab", "sdc=\"/1/2/\"\nlp0=\"/1/3/\"\n");
    qtest::WriteFile("/tmp/satatab", "sde=\"\"\n");
    EXPECT_EQ(QAVORaidDiskInit(1, RAID_DISK_INIT_ALL), 0);
    EXPECT_EQ(QAVORaidVolDataPartAdd(2, 1), 0);
}

TEST(RaidDiskSlots, CountMaskAndNames) {
    rsim::SetMaxDisks(3);
    EXPECT_EQ(QAVORaidDiskMaxNumGet(), 3);
    EXPECT_EQ(QAVORaidDiskAllMaskGet(), 0x7u);
    EXPECT_STREQ(QAVORaidDiskDevGet(3), "/dev/sdd");
    EXPECT_STREQ(QAVORaidDiskSysfsGet(1), "/sys/block/sdb");
    EXPECT_STREQ(QAVORaidPartDevGet(2, 3), "/dev/sdc4");
    EXPECT_EQ(QAVORaidDiskDevGet(4), nullptr);
    EXPECT_EQ(QAVORaidPartDevGet(0, 4), nullptr);
    ASSERT_EQ(qtest::Sh("sed -i '/^maxdisks=/d' /etc.defaults/qavoinfo.conf"), 0);
    EXPECT_EQ(QAVORaidDiskMaxNumGet(), 0);
    EXPECT_EQ(QAVORaidDiskAllMaskGet(), 0x1u);  // one slot
}

}  // namespace
