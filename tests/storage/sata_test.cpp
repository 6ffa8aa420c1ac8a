// The eSATA disk: mount layout per file system, off line, formats, backup
// hot plug, and the support switch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qavo_sata.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbmount.h"
#include "slib_errcode.h"
#include "usbmount_sim.h"

namespace {

using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;
using usim::Fs;
using usim::HasShare;

class Sata : public ::testing::Test {
  protected:
    void SetUp() override {
        usim::Base();
        ASSERT_EQ(Sh("echo 'esatadiskname=\"sdf\"' >> /etc.defaults/qavoinfo.conf"), 0);
        ASSERT_EQ(QAVOUSBClearBackupInfo(), 0);
        QAVOUSBBACKUPINFO r;
        memset(&r, 0, sizeof r);
        ASSERT_EQ(QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_ALL), 0);
    }
};

TEST_F(Sata, DataDiskLayoutPerFileSystem) {
    struct Case {
        Fs fs;
        const char *device, *point, *type;
        bool readOnly;
    } cases[] = {
        {Fs::Reiserfs, "/dev/sdf1", "/volumeSATA", "reiserfs", false},
        {Fs::Vfat, "/dev/sdf1", "/volumeSATA/satashare", "vfat", false},
        {Fs::Ntfs, "/dev/sdf1", "/volumeSATA/satashare", "ntfs", true},
        {Fs::Legacy, "/dev/sdf3", "/volumeSATA/satashare", "ext3", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type);
        usim::Disk("sdf", c.fs);
        EXPECT_EQ(BlQAVOSATAIsDevPresent(), 1);
        ASSERT_EQ(QAVOSATAMount("sdf"), 0);
        EXPECT_EQ(BlQAVOSATAIsInTab(), 1);
        EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "sdf"), "success");
        std::string line;
        for (const auto &m : usim::Mounts())
            if (m.find(c.point + std::string(" ")) != std::string::npos) line = m;
        EXPECT_EQ(line, std::string(c.device) + " " + c.point + " " + c.type);
        EXPECT_EQ(usim::Options(c.point).rfind("ro", 0) == 0, c.readOnly);
        QAVOUSBVOLINFO v;
        ASSERT_EQ(QAVOSATAGetVolInfo("sdf", &v), 0);
        EXPECT_STREQ(v.szDescription, "External SATA Disk");
        EXPECT_STREQ(v.szShareName, "satashare");
        EXPECT_STREQ(v.szMountPoint, c.point);
        EXPECT_EQ(ReadFile(SZF_SHARE_RIGHT_MAP).find("guid=HAKULAMATATA") != std::string::npos,
                  true);
        EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
        EXPECT_EQ(usim::Events().back().first, 0x12300001u);
        EXPECT_EQ(usim::Events().back().second, "External SATA Disk");

        ASSERT_EQ(QAVOSATAUnMount("sdf"), 0);
        EXPECT_FALSE(usim::Mounted(c.point));
        EXPECT_FALSE(HasShare("satashare"));
        EXPECT_EQ(BlQAVOSATAIsInTab(), 0);
        EXPECT_EQ(usim::Events().back().first, 0x12300002u);
        ASSERT_EQ(Sh("/sim/bin/qavo-disk remove sdf"), 0);
    }
    EXPECT_EQ(BlQAVOSATAIsDevPresent(), 0);
}

TEST_F(Sata, RefusalsAndSupportSwitch) {
    usim::Disk("sdf", Fs::Ntfs);
    qtest::ClearCalls();
    EXPECT_EQ(QAVOSATAVolMount("sdf", 3, 0, 1), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_TRUE(qtest::Calls().empty());
    EXPECT_EQ(QAVOSATAVolMount("sdf", 4, 1, 1), -1);
    EXPECT_EQ(QAVOSATAVolMount("sdf", 1, 2, 1), -1);
    EXPECT_EQ(QAVOSATAVolMount("../sdf", 1, 1, 1), -1);
    EXPECT_EQ(QAVOSATAUnMount(nullptr), -1);
    // Only the eSATA disk is formatted here.
    rsim::AddDisk("sdb", usim::kSectors);
    qtest::ClearCalls();
    EXPECT_EQ(QAVOSATAVolInit("sdb", 2, 1), -1);
    EXPECT_TRUE(rsim::CallsOf("sfdisk").empty());
    EXPECT_TRUE(rsim::CallsOf("mkfs.ext3").empty());

    struct {
        const char *value;  // nullptr: no key
        int want;
    } cases[] = {{"yes", 0}, {"yes ", 1}, {"Yes", 1}, {"no", 1}, {"", 1}, {nullptr, 1}};
    for (const auto &c : cases) {
        ASSERT_EQ(Sh("sed -i '/^supportSATA=/d' /etc/qavoinfo.conf"), 0);
        if (c.value) {
            ASSERT_EQ(
                Sh(std::string("echo 'supportSATA=\"") + c.value + "\"' >> /etc/qavoinfo.conf"), 0);
        }
        EXPECT_EQ(QAVOSATACheckSupport(), c.want) << (c.value ? c.value : "(none)");
    }
}

TEST_F(Sata, FormatsAndBackupHotPlug) {
    usim::Disk("sdf", Fs::Vfat);
    // A data disk: ext3 after the first track, mounted at the root.
    ASSERT_EQ(QAVOSATAVolInit("sdf", 2, 1), 0);
    std::string out;
    Sh("/sim/real/sbin/sfdisk -d /dev/sdf | grep '^/dev/sdf1 '", &out);
    EXPECT_NE(out.find("start=          63"), std::string::npos) << out;
    EXPECT_EQ(Sh("e2fsck -fn /dev/sdf1 >/dev/null 2>&1"), 0);
    EXPECT_TRUE(usim::Mounted("/volumeSATA"));
    EXPECT_TRUE(HasShare("satashare"));

    // A backup disk: from sector 16065, labelled, shared read-only to admin.
    ASSERT_EQ(QAVOSATAVolInit("sdf", 1, 0), 0);
    Sh("/sim/real/sbin/sfdisk -d /dev/sdf | grep '^/dev/sdf1 '", &out);
    EXPECT_NE(out.find("start=       16065"), std::string::npos) << out;
    EXPECT_NE(out.find("type=b"), std::string::npos) << out;
    EXPECT_EQ(Sh("fsck.fat -n /dev/sdf1 >/dev/null 2>&1"), 0);
    uint8_t label[512];
    int fs = -1;
    ASSERT_EQ(USBBKPIsDevBkpDisk("sdf", label, &fs), 0);
    EXPECT_EQ(fs, 1);
    EXPECT_TRUE(usim::Mounted("/volumeSATA/satabackup"));
    EXPECT_FALSE(HasShare("satashare"));
    EXPECT_TRUE(HasShare("satabackup"));
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);

    // Hot plug of the labelled disk with nothing on line: it takes the role.
    ASSERT_EQ(QAVOSATAVolUnMount("sdf", 0), 0);
    ASSERT_EQ(QAVOSATAHotPlugIn("sdf", label, fs), 0);
    QAVOUSBBACKUPINFO r;
    ASSERT_EQ(QAVOUSBGetBackupInfo(&r), 0);
    EXPECT_EQ(r.status, static_cast<uint32_t>(USB_BKP_STATUS_ONLINE));
    EXPECT_STREQ(r.device, "sdf");
    EXPECT_TRUE(usim::Mounted("/volumeSATA/satabackup"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "sdf"), "success");
}

// A share folder of the disk bound at two more places: the unmount drops the
// volume's mount point and one of them, the disk stays mounted at the other,
// so no format may repartition it or make a file system on it.
TEST_F(Sata, FormatRefusesADiskStillMountedElsewhere) {
    usim::Disk("sdf", Fs::Ext3);
    struct {
        int fsCode, isShare;
    } cases[] = {{2, 1}, {1, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.isShare ? "data" : "backup");
        ASSERT_EQ(QAVOSATAMount("sdf"), 0);
        WriteFile("/volumeSATA/satashare/f", "data");
        ASSERT_EQ(Sh("mkdir -p /mnt/a /mnt/b && mount --bind /volumeSATA/satashare /mnt/a && "
                     "mount --bind /volumeSATA/satashare /mnt/b"),
                  0);
        qtest::ClearCalls();
        qtest::ClearSyslog();
        EXPECT_EQ(QAVOSATAVolInit("sdf", c.fsCode, c.isShare), -1);
        EXPECT_EQ(usim::DiskWrites(), std::vector<std::string>{});
        EXPECT_TRUE(qtest::SyslogHas("/dev/sdf1 is still mounted at /mnt/"));
        std::string data;
        Sh("cat /mnt/a/f /mnt/b/f 2>/dev/null", &data);
        EXPECT_NE(data.find("data"), std::string::npos);
        std::string out;
        Sh("/sim/real/sbin/sfdisk -d /dev/sdf | grep '^/dev/sdf1 '", &out);
        EXPECT_NE(out.find("start=        2048"), std::string::npos) << out;
        ASSERT_EQ(Sh("/sim/real/bin/umount -A /dev/sdf1"), 0);
        ASSERT_EQ(QAVOSATAUnMount("sdf"), 0);
        EXPECT_EQ(Sh("e2fsck -fn /dev/sdf1 >/dev/null 2>&1"), 0);
    }
}

}  // namespace
