// USB disks on line and off line: the mount table per file system, refused
// mount points, unmounting, the formats and the batch mount.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "qavo_extshare.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbmount.h"
#include "slib_errcode.h"
#include "usbmount_sim.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;
using usim::Fs;

bool HasShare(const std::string &name) {
    return ReadFile(SZF_QAVO_SMB_CONF).find("[" + name + "]") != std::string::npos;
}

class UsbMount : public ::testing::Test {
  protected:
    void SetUp() override { usim::Base(); }
    // Attaches disks sdb, sdc, ... as USB devices 3, 4, ... with GUIDs G-b, ...
    static void Attach(const std::vector<std::pair<std::string, Fs>> &disks, int port = 1) {
        std::string list;
        int dev = 3;
        for (const auto &d : disks) {
            usim::Disk(d.first, d.second);
            list += usim::UsbStorage(dev++, port);
        }
        dsim::UsbDevices(list);
    }
    static int Plug(const std::string &dev, int n, int preset = 0) {
        return QAVOUSBMountEx(dev.c_str(), usim::UsbPath(n).c_str(), ("G-" + dev).c_str(), preset);
    }
};

TEST_F(UsbMount, MountTablePerFileSystem) {
    struct Case {
        Fs fs;
        const char *device, *point, *type;
        bool readOnly;
    } cases[] = {
        {Fs::Ext3, "/dev/sdb1", "/volumeUSB1", "ext3", false},
        {Fs::Vfat, "/dev/sdb1", "/volumeUSB1/usbshare", "vfat", false},
        {Fs::VfatFloppy, "/dev/sdb", "/volumeUSB1/usbshare", "vfat", false},
        {Fs::Ntfs, "/dev/sdb1", "/volumeUSB1/usbshare", "ntfs", true},
        {Fs::Reiserfs, "/dev/sdb1", "/volumeUSB1", "reiserfs", false},
        {Fs::Legacy, "/dev/sdb3", "/volumeUSB1/usbshare", "ext3", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.point + std::string(" ") + c.type);
        Attach({{"sdb", c.fs}});
        ASSERT_EQ(Plug("sdb", 3), 0);
        std::string line;
        for (const auto &m : usim::Mounts())
            if (m.find(c.point + std::string(" ")) != std::string::npos) line = m;
        EXPECT_EQ(line, std::string(c.device) + " " + c.point + " " + c.type);
        EXPECT_EQ(Sh("test -d /volumeUSB1/usbshare"), 0);
        EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "sdb"), "success");
        EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1");
        EXPECT_EQ(usim::Key(SZF_USBTAB, "sdb"), usim::UsbPath(3));
        ASSERT_TRUE(HasShare("usbshare1"));
        EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
        // Read-only volumes are mounted so and shared so.
        const std::string opts = usim::Options(c.point);
        EXPECT_EQ(opts.rfind("ro", 0) == 0, c.readOnly) << opts;
        const auto ev = usim::Events();
        ASSERT_FALSE(ev.empty());
        EXPECT_EQ(ev.back().first, 0x12300001u);
        EXPECT_EQ(ev.back().second, "USB Disk 1");

        ASSERT_EQ(QAVOUSBUnMount("sdb"), 0);
        EXPECT_FALSE(usim::Mounted(c.point));
        EXPECT_FALSE(HasShare("usbshare1"));
        EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "");
        EXPECT_EQ(usim::Key(SZF_USBTAB, "sdb"), "<none>");
        EXPECT_FALSE(FileExists("/volumeUSB1/usbshare"));
        EXPECT_EQ(usim::Events().back().first, 0x12300002u);
        EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
        ASSERT_EQ(Sh("/sim/bin/qavo-disk remove sdb"), 0);
    }
}

}  // namespace
