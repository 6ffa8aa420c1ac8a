// A mount table that cannot be read confirms no unmount: the array is not
// stopped, the crash sweep keeps what a mounted volume keeps, the external
// disk is not repartitioned.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "qavo_raid.h"
#include "qavo_sata.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbmount.h"
#include "qavo_volfs.h"
#include "usbmount_sim.h"

namespace {

void MountTable(const std::string &setting) {
    const std::string conf = "/sim/kernel.conf";
    qtest::WriteFile(conf, (qtest::FileExists(conf) ? qtest::ReadFile(conf) : std::string()) +
                               "mounts " + setting + "\n");
}

TEST(UnreadableMountTable, ConfirmsNoUnmount) {
    // md2, a mirror of sda3 and sdb3 mounted at /volume1; the eSATA disk sdf
    // mounted and shared.
    rsim::SetMaxDisks(4);
    for (const char *d : {"sda", "sdb", "sdc", "sdd"}) {
        rsim::AddDisk(d);
        rsim::Partition(d);
    }
    const std::string mirror = "level 1\nraid_disks 2\ncomponent 1000\n";
    rsim::SetMd(0, mirror + rsim::Member(0, 0, 1, 6));
    rsim::SetMd(1, mirror + rsim::Member(0, 0, 2, 6));
    int md = -1;
    ASSERT_EQ(QAVORaidDataDevCreate(0x3, 1, 2, &md), 0);
    ASSERT_EQ(md, 2);
    ASSERT_EQ(qtest::Sh("mkfs.ext3 -q /dev/md2 && mount /dev/md2 /volume1"), 0);
    qtest::WriteFile("/volume1/f", "data");
    usim::Base();
    ASSERT_EQ(qtest::Sh("echo 'esatadiskname=\"sdf\"' >> /etc.defaults/qavoinfo.conf"), 0);
    ASSERT_EQ(QAVOUSBClearBackupInfo(), 0);
    usim::Disk("sdf", usim::Fs::Ext3);
    ASSERT_EQ(QAVOSATAMount("sdf"), 0);
    qtest::WriteFile("/volumeSATA/satashare/f", "data");

    struct Case {
        const char *what;
        std::function<void()> act;
        const char *log;
    } cases[] = {
        {"array removal",
         [] {
             QAVORaidVolErrSet(0);
             EXPECT_EQ(QAVORaidVolDestroy(2), 1);
             EXPECT_EQ(QAVORaidVolErrGet(), QAVO_RAID_ERR_UMOUNT);
             EXPECT_TRUE(rsim::CallsOf("mdadm").empty());
             EXPECT_EQ(qtest::ReadFile("/volume1/f"), "data");
         },
         "/dev/md2 is still mounted"},
        {"crash sweep",
         [] {
             // Every member gone: the sweep unmounts the volume but cannot
             // confirm it.
             ASSERT_EQ(qtest::Sh("sed -i '/^disk /d' /sim/md/md2 && /sim/bin/qavo-disk refresh"),
                       0);
             EXPECT_EQ(QAVOVolRaidCrashCheck(), 0);
         },
         "/dev/md2 is still mounted"},
        {"external-disk format",
         [] {
             EXPECT_EQ(QAVOSATAVolInit("sdf", 2, 1), -1);
             EXPECT_EQ(usim::DiskWrites(), std::vector<std::string>{});
             EXPECT_EQ(qtest::ReadFile("/volumeSATA/satashare/f"), "data");
         },
         "/proc/mounts"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qtest::ClearCalls();
        qtest::ClearSyslog();
        MountTable("errno 5");
        c.act();
        MountTable("ok");
        EXPECT_TRUE(qtest::SyslogHas(c.log));
    }
    EXPECT_NE(qtest::ReadFile("/sim/kernel.log").find("mounts open /proc/mounts -> -1 errno 5"),
              std::string::npos);
}

}  // namespace
