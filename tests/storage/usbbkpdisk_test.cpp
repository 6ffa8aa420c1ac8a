// The on-line backup disk: arrivals of labelled disks, pulling the backup
// disk during a backup, the hand-over to another USB disk or the eSATA
// disk, and the status operations.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qavo_sata.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpdisk.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbmount.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "usbmount_sim.h"

namespace {

using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

// An ext3 backup disk (partition 1 from sector 16065) labelled with the ID.
void BackupDisk(const std::string &dev, const std::string &id) {
    rsim::AddDisk(dev, usim::kSectors);
    ASSERT_EQ(Sh("sfdisk -N1 -uS -q -f -o16065 -z-1 -t83 -F /dev/" + dev +
                 " >/dev/null && mkfs.ext3 -q /dev/" + dev + "1 >/dev/null 2>&1"),
              0);
    ASSERT_EQ(USBBKPInitUBDIToDev(dev.c_str()), 0);
    uint8_t label[512];
    ASSERT_EQ(USBBKPGetUBDIFromDev(dev.c_str(), label), 0);
    memset(label + USBBKP_UBDI_ID_OFFSET, 0, USBBKP_UBDI_ID_LEN);
    memcpy(label + USBBKP_UBDI_ID_OFFSET, id.data(), id.size());
    ASSERT_EQ(USBBKPSetUBDIToDev(dev.c_str(), label), 0);
}

QAVOUSBBACKUPINFO Record() {
    QAVOUSBBACKUPINFO r;
    memset(&r, 0, sizeof r);
    EXPECT_EQ(QAVOUSBGetBackupInfo(&r), 0);
    return r;
}

void SetRecord(uint32_t status, const char *device) {
    QAVOUSBBACKUPINFO r;
    memset(&r, 0, sizeof r);
    r.status = status;
    snprintf(r.device, sizeof r.device, "%s", device);
    ASSERT_EQ(QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_ALL), 0);
}

std::string LabelId(const std::string &dev) {
    uint8_t label[512];
    if (USBBKPGetUBDIFromDev(dev.c_str(), label) != 0) return "<none>";
    return std::string(
        reinterpret_cast<char *>(label) + USBBKP_UBDI_ID_OFFSET,
        strnlen(reinterpret_cast<char *>(label) + USBBKP_UBDI_ID_OFFSET, USBBKP_UBDI_ID_LEN));
}

class UsbBkpDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        usim::Base();
        ASSERT_EQ(QAVOUSBClearBackupInfo(), 0);
        SetRecord(0, "");
        ASSERT_EQ(USBBKPSetBkpIDToLocal("ID-A"), 0);
        std::string list;
        for (int i = 0; i < 5; ++i)
            list += usim::UsbStorage(3 + i);
        dsim::UsbDevices(list);
    }
    static int Arrive(const std::string &dev, int n) {
        uint8_t label[512];
        int fs = -1;
        EXPECT_EQ(USBBKPIsDevBkpDisk(dev.c_str(), label, &fs), 0);
        EXPECT_EQ(fs, 2);
        return USBBKPHotPlugIn(dev.c_str(), usim::UsbPath(n).c_str(), ("G-" + dev).c_str(), label,
                               fs, 0);
    }
};

TEST_F(UsbBkpDisk, ArrivalsDecideTheOnlineDisk) {
    BackupDisk("sdb", "ID-X");
    BackupDisk("sdc", "ID-A");
    BackupDisk("sdd", "ID-A");
    BackupDisk("sde", "ID-B");
    struct Case {
        const char *what, *dev;
        int usb;
        uint32_t statusBefore;  // bits set before the arrival (backing up)
        const char *online;     // the record's device afterwards
        std::vector<std::string> mounted, unmounted;
        const char *labelAfter;
    } cases[] = {
        {"first labelled disk, any ID", "sdb", 3, 0, "sdb", {"/volumeUSB1"}, {}, "ID-X"},
        {"same ID, no backup: replaces",
         "sdc",
         4,
         0,
         "sdc",
         {"/volumeUSB2"},
         {"/volumeUSB1"},
         "ID-A"},
        {"same ID during a backup: ID erased",
         "sdd",
         5,
         USB_BKP_STATUS_BACKING_UP,
         "sdc",
         {"/volumeUSB2"},
         {"/volumeUSB3"},
         ""},
        {"another ID: left alone", "sde", 6, 0, "sdc", {"/volumeUSB2"}, {"/volumeUSB4"}, "ID-B"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(QAVOUSBSetBackupInfoStatus(c.statusBefore, 0), 0);
        ASSERT_EQ(Arrive(c.dev, c.usb), 0);
        ASSERT_EQ(QAVOUSBSetBackupInfoStatus(c.statusBefore, 1), 0);
        const QAVOUSBBACKUPINFO r = Record();
        EXPECT_EQ(r.status, static_cast<uint32_t>(USB_BKP_STATUS_ONLINE));
        EXPECT_STREQ(r.device, c.online);
        for (const auto &m : c.mounted)
            EXPECT_TRUE(usim::Mounted(m)) << m;
        for (const auto &m : c.unmounted)
            EXPECT_FALSE(usim::Mounted(m)) << m;
        EXPECT_EQ(LabelId(c.dev), c.labelAfter);
        EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, c.dev), "success");
        EXPECT_EQ(usim::Key(SZF_USBTAB, c.dev), usim::UsbPath(c.usb));
        EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
    }
    // The replaced disk stays attached with its number.
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "1"), "G-sdb");
    const std::string used = usim::Key(SZF_USBDISKAPPLYING, "used");
    EXPECT_NE(("," + used + ",").find(",1,"), std::string::npos) << used;
    EXPECT_NE(ReadFile(SZF_QAVO_SMB_CONF).find("[usbbackup]"), std::string::npos);
}

TEST_F(UsbBkpDisk, PullDuringBackupStopsItAndHandsOver) {
    BackupDisk("sdb", "ID-A");
    BackupDisk("sdc", "ID-B");
    ASSERT_EQ(Arrive("sdb", 3), 0);
    ASSERT_EQ(Arrive("sdc", 4), 0);  // another ID: attached, off line
    const std::string log = "/tmp/bkp.sigs";
    const pid_t bkp = usim::Recorder(log, "qavousbbkp");
    WriteFile(SZF_USBBKP_PID, std::to_string(bkp) + "\n");
    ASSERT_EQ(
        QAVOUSBSetBackupInfoStatus(
            USB_BKP_STATUS_BACKING_UP | USB_BKP_STATUS_FORMATTING | USB_BKP_STATUS_INITIATING, 0),
        0);
    EXPECT_EQ(USBBKPIsBackingUp("sdb"), 1);
    // The kernel no longer lists sdb.
    dsim::UsbDevices(usim::UsbStorage(4));
    EXPECT_EQ(QAVOUSBICheckRemovedDev(), 1);
    EXPECT_EQ(usim::Signals(log, 1), "10\n");
    usim::Stop(bkp);
    // The role went to sdc, the other labelled disk.
    const QAVOUSBBACKUPINFO r = Record();
    EXPECT_EQ(r.status, static_cast<uint32_t>(USB_BKP_STATUS_ONLINE));
    EXPECT_STREQ(r.device, "sdc");
    QAVOUSBVOLINFO v;
    ASSERT_EQ(QAVODiskUSBDevGetVolInfo("sdc", &v), 0);
    EXPECT_STREQ(v.szShareName, "usbbackup");
    EXPECT_NE(v.szMountPoint[0], '\0');
    ASSERT_EQ(QAVODiskUSBDevGetVolInfo("sdb", &v), 0);
    EXPECT_STREQ(v.szMountPoint, "");
    EXPECT_EQ(usim::Key(SZF_USBTAB, "sdb"), "<none>");

    // sdc leaves too: no other USB disk, the eSATA disk takes the role.
    BackupDisk("sdf", "ID-C");
    ASSERT_EQ(Sh("echo 'esatadiskname=\"sdf\"' >> /etc.defaults/qavoinfo.conf"), 0);
    dsim::UsbDevices("");
    EXPECT_EQ(QAVOUSBICheckRemovedDev(), 1);
    const QAVOUSBBACKUPINFO s = Record();
    EXPECT_EQ(s.status, static_cast<uint32_t>(USB_BKP_STATUS_ONLINE));
    EXPECT_STREQ(s.device, "sdf");
    EXPECT_TRUE(usim::Mounted("/volumeSATA"));
    EXPECT_NE(ReadFile(SZF_QAVO_SMB_CONF).find("[satabackup]"), std::string::npos);
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF).find("[usbbackup]"), std::string::npos);
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
}

TEST_F(UsbBkpDisk, PulledWhileItsArrivalStillMountsGoesOffLine) {
    BackupDisk("sdb", "ID-A");
    // Another process holds the map lock: the disk's arrival, still mounting.
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const pid_t arrival = fork();
    ASSERT_GE(arrival, 0);
    if (arrival == 0) {
        char c = 0;
        if (ErrSLIBFileLock(SLIB_LOCK_USBIDMAP | SLIB_LOCK_EX, 5) != 0) _exit(2);
        if (write(ready[1], "r", 1) != 1 || read(go[0], &c, 1) != 1) _exit(3);
        const int rc = Arrive("sdb", 3);
        SLIBErrSLIBFileUnlock(SLIB_LOCK_USBIDMAP);
        _exit(rc == 0 ? 0 : 4);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    // The disk is pulled out meanwhile.
    int pulled = -2;
    std::thread pull([&] { pulled = USBBKPHotPullOut("sdb"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(write(go[1], "g", 1), 1);
    int status = -1;
    ASSERT_EQ(waitpid(arrival, &status, 0), arrival);
    pull.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(pulled, 0);
    const QAVOUSBBACKUPINFO r = Record();
    EXPECT_EQ(r.status & USB_BKP_STATUS_ONLINE, 0u) << r.device;
    EXPECT_FALSE(usim::Mounted("/volumeUSB1"));
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
}

TEST_F(UsbBkpDisk, StatusOperations) {
    SetRecord(USB_BKP_STATUS_ONLINE | USB_BKP_STATUS_BACKING_UP, "sdb");
    // No formatting while a backup runs; other disks change nothing.
    EXPECT_EQ(USBBKPSetFormatting("sdb", 1), 0);
    EXPECT_EQ(Record().status, 0x3u);
    EXPECT_EQ(USBBKPSetFormatting("sdc", 1), 0);
    EXPECT_EQ(Record().status, 0x3u);
    EXPECT_EQ(USBBKPIsBackingUp("sdc"), 0);
    char buf[8];
    EXPECT_EQ(USBBKPIsAnyBackupDiskOnLine(buf, 7), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(USBBKPIsAnyBackupDiskOnLine(buf, 8), 1);
    EXPECT_STREQ(buf, "sdb");

    // Pid files: init, junk and negative ones are never signalled; a
    // process that has gone clears the backing-up bit, and so does a stale
    // file naming a live process of another name, which gets nothing.
    const std::string log = "/tmp/bkp-status.sigs", otherLog = "/tmp/bkp-other.sigs";
    const pid_t bkp = usim::Recorder(log, "qavousbbkp");
    const pid_t other = usim::Recorder(otherLog, "smbd");
    ASSERT_GT(bkp, 0);
    ASSERT_GT(other, 0);
    for (const char *content : {"1\n", "0\n", "-1\n", "junk\n"}) {
        WriteFile(SZF_USBBKP_PID, content);
        EXPECT_EQ(USBBKPCancelTask(1), -1) << content;
        EXPECT_EQ(Record().status, 0x3u);
    }
    WriteFile(SZF_USBBKP_PID, std::to_string(other) + "\n");
    EXPECT_EQ(USBBKPCancelTask(1), 0);
    EXPECT_EQ(Record().status, 0x1u);
    SetRecord(0x3, "sdb");
    WriteFile(SZF_USBBKP_PID, std::to_string(bkp) + "\n");
    EXPECT_EQ(USBBKPCancelTask(0), 0);
    EXPECT_EQ(usim::Signals(log, 1), "12\n");
    EXPECT_EQ(usim::Signals(otherLog, 1), "");
    usim::Stop(other);
    usim::Stop(bkp);
    EXPECT_EQ(USBBKPCancelTask(0), 0);
    EXPECT_EQ(Record().status, 0x1u);
    qtest::RemoveFile(SZF_USBBKP_PID);
    SetRecord(0x3, "sdb");
    EXPECT_EQ(USBBKPCancelTask(1), 0);
    EXPECT_EQ(Record().status, 0x1u);
    // Formatting on and off for the idle on-line disk.
    EXPECT_EQ(USBBKPSetFormatting("sdb", 1), 0);
    EXPECT_EQ(Record().status, 0x21u);
    EXPECT_EQ(USBBKPSetFormatting("sdb", 0), 0);
    EXPECT_EQ(Record().status, 0x1u);
    EXPECT_EQ(USBBKPIClearStatus(0x1), 0);
    EXPECT_EQ(USBBKPIsAnyBackupDiskOnLine(buf, 8), 0);
}

TEST_F(UsbBkpDisk, ChangeAndCleanStatus) {
    BackupDisk("sdb", "ID-A");
    rsim::AddDisk("sdc", usim::kSectors);
    WriteFile(SZF_USBTAB, "sdb=\"" + usim::UsbPath(3) + "\"\nsdc=\"" + usim::UsbPath(4) + "\"\n");
    WriteFile(SZF_USBGUIDTAB, "sdb=\"G-sdb\"\nsdc=\"G-sdc\"\n");
    // An unlabelled disk asked to become the backup disk.
    EXPECT_EQ(USBBKPChangeStatus("sdc", 1), 0);
    EXPECT_STREQ(Record().device, "sdc");
    EXPECT_EQ(Record().status, 0x1u);
    // A labelled disk asked to be one already: nothing.
    EXPECT_EQ(USBBKPChangeStatus("sdb", 1), 0);
    EXPECT_STREQ(Record().device, "sdc");
    // The on-line disk is cleaned: the role goes to the labelled sdb.
    EXPECT_EQ(USBBKPCleanStatus("sdc"), 0);
    EXPECT_STREQ(Record().device, "sdb");
    EXPECT_EQ(Record().status, 0x1u);
    EXPECT_TRUE(usim::Mounted("/volumeUSB1"));
    // A disk that is not on line: nothing.
    EXPECT_EQ(USBBKPCleanStatus("sdc"), 0);
    EXPECT_STREQ(Record().device, "sdb");
}

}  // namespace
