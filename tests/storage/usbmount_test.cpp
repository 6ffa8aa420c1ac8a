// USB disks on line and off line: the mount table per file system, refused
// mount points, unmounting, the formats and the batch mount.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qavo_extshare.h"
#include "qavo_sata.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpdisk.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbmount.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "usbmount_sim.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;
using usim::Fs;
using usim::HasShare;

class UsbMount : public ::testing::Test {
  protected:
    void SetUp() override { usim::Base(); }
    // Attaches disks sdb, sdc, ... as USB devices 3, 4, ... with GUIDs G-b, ...
    static void Attach(const std::vector<std::pair<std::string, Fs>> &disks, int port = 1) {
        std::string list;
        int dev = 3;
        for (const auto &d : disks) {
            usim::Disk(d.first, d.second);
            list += usim::UsbStorage(
                dev++, port, d.second == Fs::Ipod ? "05ac ProdID=1201" : "0781 ProdID=5567");
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
        {Fs::Ipod, "/dev/sdb2", "/volumeUSB1/usbshare", "vfat", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.point + std::string(" ") + c.type);
        Attach({{"sdb", c.fs}});
        qtest::ClearCalls();
        ASSERT_EQ(Plug("sdb", 3), 0);
        // The music database is read from every mounted data volume.
        EXPECT_EQ(rsim::CallsOf("qavoitunesdb"),
                  (std::vector<std::vector<std::string>>{
                      {"-i", std::string(c.point) + "/iPod_Control/iTunes/iTunesDB", "-o",
                       "/usr/qavo/etc/audio/ipod"}}));
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

namespace {

TEST_F(UsbMount, NoFileSystemFitsStillNumbered) {
    Attach({{"sdb", Fs::None}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "sdb"), "success");
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1");
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "1"), "G-sdb");
    EXPECT_TRUE(usim::Mounts().empty());
    // Taken off line: the number is free, the tables forget the disk.
    ASSERT_EQ(QAVOUSBUnMount("sdb"), 0);
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "");
    EXPECT_EQ(usim::Key(SZF_USBGUIDTAB, "sdb"), "<none>");
    EXPECT_EQ(usim::Events().back().first, 0x12300002u);
    EXPECT_EQ(QAVOUSBMountEx(nullptr, "x", "y", 0), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOUSBMount("sdq", usim::UsbPath(9).c_str(), "G"), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_NO_SUCH_USB_DISK);
}

TEST_F(UsbMount, OccupiedMountPointRefusedAndRolledBack) {
    Attach({{"sdb", Fs::Vfat}, {"sdc", Fs::Ext3}});
    WriteFile(SZF_USBGUIDTAB, "sdb=\"G-sdb\"\nsdc=\"G-sdc\"\n");
    WriteFile(SZF_USBNO_GUID_MAP, "1=\"G-old\"\n");
    // Something already sits at the share path of number 1.
    ASSERT_EQ(Sh("mkdir -p /volumeUSB1/usbshare && mount -t tmpfs tmpfs /volumeUSB1/usbshare && "
                 "touch /volumeUSB1/usbshare/keep"),
              0);
    const std::string map = ReadFile(SZF_USBNO_GUID_MAP);
    int n = 0;
    EXPECT_EQ(QAVOUSBVolMountEx("sdb", "vfat", 1, &n, 1), -1);
    EXPECT_TRUE(qtest::SyslogHas("Failed: The Path cannot be mounted: /volumeUSB1/usbshare"));
    EXPECT_EQ(ReadFile(SZF_USBNO_GUID_MAP), map);
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "");
    EXPECT_TRUE(FileExists("/volumeUSB1/usbshare/keep"));
    // The ext3 disk would mount on the root above it: refused too.
    EXPECT_EQ(QAVOUSBVolMountEx("sdc", "ext3", 1, &n, 1), -1);
    EXPECT_TRUE(FileExists("/volumeUSB1/usbshare/keep"));
    EXPECT_EQ(QAVOUSBVolMountEx("sdb", "ntfsx", 1, &n, 0), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOUSBBackupVolMount("sdb", "ntfs", 1, &n, 0), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    ASSERT_EQ(Sh("umount /volumeUSB1/usbshare"), 0);
}

// A mount refused on the preset number of a mounted disk leaves that number
// to its holder: the next arrival gets another one and mounts.
TEST_F(UsbMount, RefusedPresetNumberStaysWithItsHolder) {
    Attach({{"sdb", Fs::Vfat}, {"sdc", Fs::Vfat}, {"sdd", Fs::Vfat}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    WriteFile(SZF_USBGUIDTAB, ReadFile(SZF_USBGUIDTAB) + "sdc=\"G-sdc\"\n");
    int n = 0;
    EXPECT_EQ(QAVOUSBVolMountEx("sdc", "vfat", 1, &n, 1), -1);
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1");
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "1"), "G-sdb");
    ASSERT_EQ(Plug("sdd", 5), 0);
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1,2");
    EXPECT_TRUE(usim::Mounted("/volumeUSB1/usbshare"));
    EXPECT_TRUE(usim::Mounted("/volumeUSB2/usbshare"));
    EXPECT_TRUE(HasShare("usbshare2"));
}

// A stale ext3 mount at /volumeUSB1 (its number since freed) keeps its
// share folder when a vfat disk gets number 1.
TEST_F(UsbMount, StaleRootMountKeepsItsFiles) {
    Attach({{"sdb", Fs::Vfat}, {"sdc", Fs::Ext3}});
    ASSERT_EQ(Sh("mkdir -p /volumeUSB1 && mount -t ext3 /dev/sdc1 /volumeUSB1 && "
                 "mkdir /volumeUSB1/usbshare && echo data > /volumeUSB1/usbshare/f"),
              0);
    EXPECT_EQ(Plug("sdb", 3), 0);
    EXPECT_EQ(ReadFile("/volumeUSB1/usbshare/f"), "data\n");
    EXPECT_FALSE(HasShare("usbshare1"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "sdb"), "success");
    ASSERT_EQ(Sh("umount /volumeUSB1"), 0);
}

TEST_F(UsbMount, BusyVolumeKeepsNumberAndData) {
    Attach({{"sdb", Fs::Ext3}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    WriteFile("/volumeUSB1/usbshare/f", "data");
    qtest::ClearCalls();
    FILE *held = fopen("/volumeUSB1/usbshare/f", "r");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(QAVOUSBVolUnMount("sdb", 0), -1);
    EXPECT_TRUE(usim::Mounted("/volumeUSB1"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1");
    EXPECT_EQ(ReadFile("/volumeUSB1/usbshare/f"), "data");
    // Three attempts, each judged by the mount table.
    EXPECT_EQ(rsim::CallsOf("umount").size(), 3u);
    fclose(held);
    qtest::ClearCalls();
    // umount of "/dev/sdb1 /volumeUSB1" reports the second name as not
    // mounted after unmounting the first: still a success.
    EXPECT_EQ(QAVOUSBVolUnMount("sdb", 0), 0);
    EXPECT_FALSE(usim::Mounted("/volumeUSB1"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "");
    EXPECT_EQ(rsim::CallsOf("umount").size(), 1u);
}

TEST_F(UsbMount, FrontPortStartsCopyForVfatOnly) {
    ASSERT_EQ(Sh("sed -i '/^usbcopy=/d' /etc.defaults/qavoinfo.conf && "
                 "echo 'usbcopy=\"yes\"' >> /etc.defaults/qavoinfo.conf"),
              0);
    ASSERT_EQ(Sh("mkdir -p /volume1/public && mount -t tmpfs -o size=1M tmpfs /volume1/public"), 0);
    WriteFile(SZF_QAVO_SMB_CONF,
              "[global]\n\tsecurity=user\n"
              "[public]\n\tpath=/volume1/public\n\tguest ok=yes\n\twriteable=yes\n");
    ASSERT_EQ(QAVOINFOSetKeyValue("usbcopyfolder", "public"), 0);
    const std::string log = "/tmp/paneld.sigs";
    const pid_t paneld = usim::Recorder(log, "paneld");
    WriteFile("/var/run/paneld.pid", std::to_string(paneld) + "\n");
    Attach({{"sdb", Fs::Ext3}, {"sdc", Fs::Vfat}}, 99);
    ASSERT_EQ(Plug("sdb", 3), 0);
    ASSERT_EQ(Plug("sdc", 4), 0);
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "usbcopydev"), "sdc");
    EXPECT_EQ(usim::Signals(log, 1), "10\n");
    // Ejecting the pending copy disk cancels it and tells the daemon.
    ASSERT_EQ(QAVOUSBUnMount("sdc"), 0);
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "usbcopydev"), "");

    EXPECT_EQ(usim::Signals(log, 2), "10\n12\n");
    usim::Stop(paneld);
    ASSERT_EQ(Sh("umount /volume1/public"), 0);
}

}  // namespace

namespace {

// sfdisk's dump line of partition 1: start, type.
std::pair<std::string, std::string> Part1(const std::string &dev) {
    std::string out;
    Sh("/sim/real/sbin/sfdisk -d /dev/" + dev + " 2>/dev/null | grep '^/dev/" + dev + "1 '", &out);
    std::string start, type;
    const size_t s = out.find("start=");
    if (s != std::string::npos) start = out.substr(s + 6, out.find(',', s) - s - 6);
    const size_t t = out.find("type=");
    if (t != std::string::npos) type = out.substr(t + 5, out.find_first_of(",\n", t) - t - 5);
    auto trim = [](std::string v) {
        v.erase(0, v.find_first_not_of(' '));
        return v;
    };
    return {trim(start), trim(type)};
}

std::string Blkid(const std::string &node) {
    std::string out;
    Sh("blkid -p -o value -s TYPE " + node, &out);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

TEST_F(UsbMount, DataFormats) {
    Attach({{"sdb", Fs::Vfat}, {"sdc", Fs::Ext3}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    ASSERT_EQ(Plug("sdc", 4), 0);
    ASSERT_EQ(Sh("sed -i '/^defaultfs=/d' /etc.defaults/qavoinfo.conf && "
                 "echo 'defaultfs=\"ext3\"' >> /etc.defaults/qavoinfo.conf"),
              0);
    // The vfat disk becomes ext3 under its number 1; the partition table
    // survives the file system.
    ASSERT_EQ(QAVOUSBVolInit("sdb"), 0);
    EXPECT_EQ(Part1("sdb"), std::make_pair(std::string("63"), std::string("83")));
    EXPECT_EQ(Sh("e2fsck -fn /dev/sdb1 >/dev/null 2>&1"), 0);
    EXPECT_TRUE(usim::Mounted("/volumeUSB1"));
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "1"), "G-sdb");
    EXPECT_TRUE(HasShare("usbshare1"));
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);

    // The ext3 disk becomes FAT32 on the whole disk under its number 2.
    ASSERT_EQ(QAVOUSBVolInitFAT("sdc"), 0);
    EXPECT_EQ(Blkid("/dev/sdc"), "vfat");
    EXPECT_EQ(Sh("fsck.fat -n /dev/sdc >/dev/null 2>&1"), 0);
    EXPECT_TRUE(usim::Mounted("/volumeUSB2/usbshare"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1,2");
    EXPECT_TRUE(HasShare("usbshare2"));

    // The default file system must be one of the two.
    ASSERT_EQ(Sh("sed -i 's/^defaultfs=.*/defaultfs=\"vfat\"/' /etc.defaults/qavoinfo.conf"), 0);
    EXPECT_EQ(QAVOUSBVolInit("sdb"), -1);
    EXPECT_TRUE(usim::Mounted("/volumeUSB1"));
    qtest::RemoveFile("/sim/md/md2");
    ASSERT_EQ(Sh("/sim/bin/qavo-disk refresh"), 0);
}

// A share folder of the disk bound at two more places: the unmount drops the
// volume's mount point and one of them, the disk stays mounted at the other,
// so no format may repartition it or make a file system on it.
TEST_F(UsbMount, FormatRefusesADiskStillMountedElsewhere) {
    Attach({{"sdb", Fs::Ext3}});
    ASSERT_EQ(QAVOUSBClearBackupInfo(), 0);
    QAVOUSBBACKUPINFO r;
    memset(&r, 0, sizeof r);
    ASSERT_EQ(QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_ALL), 0);
    struct {
        const char *name;
        int (*format)();
    } cases[] = {
        {"data", [] { return QAVOUSBVolInit("sdb"); }},
        {"FAT32", [] { return QAVOUSBVolInitFAT("sdb"); }},
        {"backup", [] { return QAVOUSBBackupVolInit("sdb", 2); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Plug("sdb", 3), 0);
        WriteFile("/volumeUSB1/usbshare/f", "data");
        ASSERT_EQ(Sh("mkdir -p /mnt/a /mnt/b && mount --bind /volumeUSB1/usbshare /mnt/a && "
                     "mount --bind /volumeUSB1/usbshare /mnt/b"),
                  0);
        qtest::ClearCalls();
        qtest::ClearSyslog();
        EXPECT_EQ(c.format(), -1);
        EXPECT_EQ(usim::DiskWrites(), std::vector<std::string>{});
        EXPECT_TRUE(qtest::SyslogHas("/dev/sdb1 is still mounted at /mnt/"));
        std::string data;
        Sh("cat /mnt/a/f /mnt/b/f 2>/dev/null", &data);
        EXPECT_NE(data.find("data"), std::string::npos);
        EXPECT_EQ(Part1("sdb"), std::make_pair(std::string("2048"), std::string("83")));
        ASSERT_EQ(Sh("/sim/real/bin/umount -A /dev/sdb1"), 0);
        QAVOUSBVolUnMount("sdb", 0);
        EXPECT_EQ(Sh("e2fsck -fn /dev/sdb1 >/dev/null 2>&1"), 0);
    }
}

// sdb, a mounted ext3 disk, is pulled and another ext3 disk with data
// arrives as sdb while a format of sdb waits for the hot-plug side: the
// newcomer is neither repartitioned nor made anew, whether the hot-plug side
// has recorded it already or not yet.
TEST_F(UsbMount, FormatLeavesADiskThatTookTheNameAlone) {
    ASSERT_EQ(Sh("sed -i '/^defaultfs=/d' /etc.defaults/qavoinfo.conf && "
                 "echo 'defaultfs=\"ext3\"' >> /etc.defaults/qavoinfo.conf"),
              0);
    // The newcomer's image, laid out aside.
    usim::Disk("sdc", Fs::Ext3);
    ASSERT_EQ(Sh("mkdir -p /tmp/nc && mount -t ext3 /dev/sdc1 /tmp/nc && mkdir /tmp/nc/usbshare && "
                 "echo data > /tmp/nc/usbshare/keep && umount /tmp/nc && "
                 "cp --sparse=always /sim/disks/sdc.img /tmp/newcomer.img && "
                 "/sim/bin/qavo-disk remove sdc"),
              0);
    for (const bool recorded : {true, false}) {
        SCOPED_TRACE(recorded ? "arrival recorded" : "arrival not yet recorded");
        Attach({{"sdb", Fs::Ext3}});
        ASSERT_EQ(Plug("sdb", 3), 0);
        // The format starts while the hot-plug side holds the map lock; once
        // it asks for the lock it is held still until the disks have changed.
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        const pid_t format = fork();
        ASSERT_GE(format, 0);
        if (format == 0) {
            char c = 0;
            if (read(go[0], &c, 1) != 1) _exit(3);
            const int rc = QAVOUSBVolInit("sdb");
            _exit(rc == 0 ? 0 : SLIBErrGet() == ERR_NO_SUCH_USB_DISK ? 1 : 2);
        }
        ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_USBIDMAP | SLIB_LOCK_EX, 5), 0);
        const int asked = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(asked, 0);
        ASSERT_GE(inotify_add_watch(asked, "/tmp/lock/lock_usbidmap", IN_OPEN), 0);
        qtest::ClearCalls();
        ASSERT_EQ(write(go[1], "g", 1), 1);
        char ev[256];
        ASSERT_GT(read(asked, ev, sizeof ev), 0);
        ASSERT_EQ(kill(format, SIGSTOP), 0);
        int status = -1;
        ASSERT_EQ(waitpid(format, &status, WUNTRACED), format);
        ASSERT_TRUE(WIFSTOPPED(status)) << status;
        ASSERT_EQ(Sh("/sim/bin/qavo-disk remove sdb && /sim/bin/qavo-disk add sdb " +
                     std::to_string(usim::kSectors) +
                     " && cp --sparse=always /tmp/newcomer.img /sim/disks/sdb.img && "
                     "/sim/bin/qavo-disk relay sdb"),
                  0);
        dsim::UsbDevices(usim::UsbStorage(5));
        const auto arrive = [] {
            return QAVOUSBMountEx("sdb", usim::UsbPath(5).c_str(), "G-new", 0);
        };
        if (recorded) {
            ASSERT_EQ(arrive(), 0);
        }
        ASSERT_EQ(SLIBErrSLIBFileUnlock(SLIB_LOCK_USBIDMAP), 0);
        ASSERT_EQ(kill(format, SIGCONT), 0);
        ASSERT_EQ(waitpid(format, &status, 0), format);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        for (int fd : {asked, go[0], go[1]})
            close(fd);
        // Partition tables were only listed, none written.
        for (const auto &call : rsim::CallsOf("sfdisk"))
            EXPECT_NE(std::find(call.begin(), call.end(), "-l"), call.end()) << call.back();
        EXPECT_TRUE(rsim::CallsOf("mkfs.ext3").empty());
        EXPECT_EQ(Part1("sdb"), std::make_pair(std::string("2048"), std::string("83")));
        // The hot-plug side brings the newcomer on line with its data.
        if (!recorded) {
            ASSERT_EQ(arrive(), 0);
        }
        EXPECT_EQ(ReadFile("/volumeUSB1/usbshare/keep"), "data\n");
        EXPECT_TRUE(HasShare("usbshare1"));
        EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "1"), "G-new");
        EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1");
        ASSERT_EQ(QAVOUSBUnMount("sdb"), 0);
        ASSERT_EQ(Sh("/sim/bin/qavo-disk remove sdb"), 0);
    }
}

// The disk is pulled while its format mounts it: the hot-plug side cannot
// take it off line before the export, and the format exports no share for a
// disk that has gone but reports the failure.
TEST_F(UsbMount, FormatOfADiskPulledBeforeItsExport) {
    Attach({{"sdb", Fs::Ext3}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    ASSERT_EQ(Sh("sed -i '/^defaultfs=/d' /etc.defaults/qavoinfo.conf && "
                 "echo 'defaultfs=\"ext3\"' >> /etc.defaults/qavoinfo.conf && "
                 "mkfifo /tmp/itunes.ready /tmp/itunes.go"),
              0);
    // The music database is read right after the format's mount: it waits.
    WriteFile("/usr/qavo/bin/qavoitunesdb",
              "#!/bin/sh\necho r > /tmp/itunes.ready\nread x < /tmp/itunes.go\n", 0755);
    const pid_t format = fork();
    ASSERT_GE(format, 0);
    if (format == 0) _exit(QAVOUSBVolInit("sdb") == 0 ? 0 : 1);
    EXPECT_EQ(ReadFile("/tmp/itunes.ready"), "r\n");
    EXPECT_TRUE(usim::Mounted("/volumeUSB1"));
    const bool locked = ErrSLIBFileLock(SLIB_LOCK_USBIDMAP | SLIB_LOCK_EX, 0) == 0;
    EXPECT_FALSE(locked);
    if (locked) SLIBErrSLIBFileUnlock(SLIB_LOCK_USBIDMAP);
    ASSERT_EQ(Sh("/sim/bin/qavo-disk remove sdb"), 0);
    dsim::UsbDevices("");
    WriteFile("/tmp/itunes.go", "g\n");
    int status = -1;
    ASSERT_EQ(waitpid(format, &status, 0), format);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_FALSE(HasShare("usbshare1"));
    // The hot-plug side then takes the gone disk off line.
    EXPECT_EQ(USBBKPHotPullOut("sdb"), 0);
    EXPECT_FALSE(usim::Mounted("/volumeUSB1"));
    EXPECT_FALSE(HasShare("usbshare1"));
    EXPECT_FALSE(FileExists("/volumeUSB1/usbshare"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "");
    EXPECT_EQ(usim::Key(SZF_USBTAB, "sdb"), "<none>");
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
}

// A second disk arrives while a format makes the file system of the first:
// it comes on line at once, and the format then ends as it would alone.
TEST_F(UsbMount, ArrivalWhileAFormatMakesItsFileSystem) {
    Attach({{"sdb", Fs::Vfat}, {"sdc", Fs::Vfat}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    ASSERT_EQ(Sh("sed -i '/^defaultfs=/d' /etc.defaults/qavoinfo.conf && "
                 "echo 'defaultfs=\"ext3\"' >> /etc.defaults/qavoinfo.conf && "
                 "mkfifo /tmp/mkfs.ready /tmp/mkfs.go"),
              0);
    // The file system is made once the test lets it.
    WriteFile("/tmp/mkfs-waits",
              "#!/bin/sh\necho r > /tmp/mkfs.ready\nread x < /tmp/mkfs.go\n"
              "exec /sim/real/sbin/mkfs.ext3 -q \"$@\"\n",
              0755);
    ASSERT_EQ(Sh("mount --bind /tmp/mkfs-waits /sbin/mkfs.ext3"), 0);
    struct Unbind {
        ~Unbind() { Sh("/sim/real/bin/umount /sbin/mkfs.ext3"); }
    } unbind;
    const pid_t format = fork();
    ASSERT_GE(format, 0);
    if (format == 0) _exit(QAVOUSBVolInit("sdb") == 0 ? 0 : 1);
    EXPECT_EQ(ReadFile("/tmp/mkfs.ready"), "r\n");
    // An arrival waits minutes for a held map lock before it gives up.
    const bool free = ErrSLIBFileLock(SLIB_LOCK_USBIDMAP | SLIB_LOCK_EX, 0) == 0;
    EXPECT_TRUE(free);
    if (free) {
        EXPECT_EQ(SLIBErrSLIBFileUnlock(SLIB_LOCK_USBIDMAP), 0);
        EXPECT_EQ(Plug("sdc", 4), 0);
        EXPECT_TRUE(usim::Mounted("/volumeUSB2/usbshare"));
        EXPECT_TRUE(HasShare("usbshare2"));
    }
    WriteFile("/tmp/mkfs.go", "g\n");
    int status = -1;
    ASSERT_EQ(waitpid(format, &status, 0), format);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Part1("sdb"), std::make_pair(std::string("63"), std::string("83")));
    EXPECT_EQ(Sh("e2fsck -fn /dev/sdb1 >/dev/null 2>&1"), 0);
    EXPECT_TRUE(usim::Mounted("/volumeUSB1"));
    EXPECT_TRUE(HasShare("usbshare1"));
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "1"), "G-sdb");
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1,2");
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
}

// A FAT32 format whose export fails leaves the volume mounted under its
// number: the number stays used, and the next disk gets another one.
TEST_F(UsbMount, FatFormatWhoseExportFailsKeepsTheNumber) {
    Attach({{"sdb", Fs::Ext3}, {"sdc", Fs::Vfat}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    const std::string conf = ReadFile(SZF_QAVO_SMB_CONF);
    // No share can be written.
    ASSERT_EQ(Sh(std::string("rm ") + SZF_QAVO_SMB_CONF + " && mkdir " + SZF_QAVO_SMB_CONF), 0);
    EXPECT_EQ(QAVOUSBVolInitFAT("sdb"), -1);
    EXPECT_EQ(Blkid("/dev/sdb"), "vfat");
    EXPECT_TRUE(usim::Mounted("/volumeUSB1/usbshare"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1");
    ASSERT_EQ(Sh(std::string("rmdir ") + SZF_QAVO_SMB_CONF), 0);
    WriteFile(SZF_QAVO_SMB_CONF, conf);
    ASSERT_EQ(Plug("sdc", 4), 0);
    EXPECT_TRUE(usim::Mounted("/volumeUSB2/usbshare"));
    EXPECT_TRUE(HasShare("usbshare2"));
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "used"), "1,2");
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "1"), "G-sdb");
}

TEST_F(UsbMount, FormatRefusesDisksThatAreNoAttachedUsbDisk) {
    rsim::AddDisk("sda", usim::kSectors);
    ASSERT_EQ(Sh("sfdisk -N1 -uS -q -f -j2048 -z-1 -tfd -F /dev/sda >/dev/null && "
                 "mkfs.ext3 -q /dev/sda1 >/dev/null 2>&1"),
              0);
    Attach({{"sdb", Fs::Ext3}});
    ASSERT_EQ(Plug("sdb", 3), 0);
    // The internal disk pretends to be attached: still refused.
    WriteFile(SZF_USBTAB, ReadFile(SZF_USBTAB) + "sda=\"/proc/bus/usb/001/003\"\n");
    std::string before;
    ASSERT_EQ(Sh("md5sum < /sim/disks/sda.img", &before), 0);
    qtest::ClearCalls();
    EXPECT_EQ(QAVOUSBVolInit("sda"), -1);
    EXPECT_EQ(QAVOUSBVolInitFAT("sda"), -1);
    EXPECT_EQ(QAVOUSBBackupVolInit("sda", 2), -1);
    EXPECT_EQ(QAVOUSBVolInit("sd b"), -1);
    EXPECT_EQ(QAVOUSBVolInit("sdz"), -1);  // not attached
    EXPECT_EQ(QAVOUSBBackupVolInit("sdb", 3), -1);
    EXPECT_TRUE(rsim::CallsOf("sfdisk").empty());
    std::string after;
    ASSERT_EQ(Sh("md5sum < /sim/disks/sda.img", &after), 0);
    EXPECT_EQ(before, after);
    // A member of an array is refused as well.
    qtest::WriteFile("/sim/md/md2",
                     "state active\nlevel 1\nraid_disks 1\n" + rsim::Member(0, 1, 1, 6));
    ASSERT_EQ(Sh("/sim/bin/qavo-disk refresh"), 0);
    EXPECT_EQ(QAVOUSBVolInit("sdb"), -1);
    EXPECT_TRUE(usim::Mounted("/volumeUSB1"));
    qtest::RemoveFile("/sim/md/md2");
    ASSERT_EQ(Sh("/sim/bin/qavo-disk refresh"), 0);
}

TEST_F(UsbMount, BackupFormats) {
    Attach({{"sdb", Fs::Vfat}, {"sdc", Fs::Ext3}, {"sdd", Fs::Ext3}});
    ASSERT_EQ(QAVOUSBClearBackupInfo(), 0);
    QAVOUSBBACKUPINFO r;
    memset(&r, 0, sizeof r);
    ASSERT_EQ(QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_ALL), 0);
    ASSERT_EQ(Plug("sdb", 3), 0);
    ASSERT_EQ(Plug("sdc", 4), 0);
    ASSERT_EQ(Plug("sdd", 5), 0);
    struct Case {
        const char *dev;
        int code;
        const char *type, *fs, *point;
    } cases[] = {
        {"sdb", 1, "b", "vfat", "/volumeUSB1/usbbackup"},
        {"sdc", 0, "83", "reiserfs", "/volumeUSB2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dev);
        memset(&r, 0, sizeof r);
        ASSERT_EQ(QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_ALL), 0);
        ASSERT_EQ(QAVOUSBBackupVolInit(c.dev, c.code), 0);
        EXPECT_EQ(Part1(c.dev), std::make_pair(std::string("16065"), std::string(c.type)));
        uint8_t label[512];
        int fs = -1;
        EXPECT_EQ(USBBKPIsDevBkpDisk(c.dev, label, &fs), 0);
        EXPECT_EQ(fs, c.code);
        EXPECT_EQ(label[USBBKP_UBDI_ID_OFFSET], 0);
        EXPECT_NE(usim::Options(c.point), "");
        EXPECT_TRUE(HasShare("usbbackup"));
        EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
        if (c.code == 1) {
            EXPECT_EQ(Sh("fsck.fat -n /dev/sdb1 >/dev/null 2>&1"), 0);
        }
        // One backup share at a time.
        ASSERT_EQ(QAVOUSBVolUnMount(c.dev, 0), 0);
        EXPECT_FALSE(HasShare("usbbackup"));
    }

    // Another disk is the on-line backup disk: formatted, labelled, not mounted.
    memset(&r, 0, sizeof r);
    r.status = USB_BKP_STATUS_ONLINE;
    strcpy(r.device, "sdc");
    ASSERT_EQ(QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_ALL), 0);
    ASSERT_EQ(QAVOUSBBackupVolInit("sdd", 2), 0);
    EXPECT_EQ(Sh("e2fsck -fn /dev/sdd1 >/dev/null 2>&1"), 0);
    uint8_t label[512];
    int fs = -1;
    EXPECT_EQ(USBBKPIsDevBkpDisk("sdd", label, &fs), 0);
    EXPECT_FALSE(usim::Mounted("/volumeUSB3"));
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "3"), "G-sdd");
}

}  // namespace

namespace {

TEST_F(UsbMount, BatchMountAfterStartUp) {
    qtest::InstallStandin("/usr/qavo/bin/ups.sh");
    qtest::InstallStandin("/usr/qavo/bin/qavousbcam");
    qtest::InstallStandin("/usr/qavo/sbin/papd");
    // 23 disks sdb..sdx without a file system; three of them known by number.
    std::string devices, info;
    for (int i = 0; i < 23; ++i) {
        const std::string dev = std::string("sd") + static_cast<char>('b' + i);
        usim::Disk(dev, Fs::Bare, 2048);
        devices += usim::UsbStorage(3 + i);
        info += dev + "=\"" + usim::UsbPath(3 + i) + ",G-" + dev + "\"\n";
    }
    for (int p = 0; p < 2; ++p)
        devices += "T:  Bus=02 Lev=01 Prnt=01 Port=0" + std::to_string(p + 1) +
                   " Cnt=01 Dev#=  " + std::to_string(2 + p) +
                   " Spd=12  MxCh= 0\n"
                   "P:  Vendor=04a9 ProdID=1094 Rev= 1.00\n"
                   "I:* If#= 0 Alt= 0 #EPs= 2 Cls=07(print) Sub=01 Prot=02 Driver=usblp\n\n";
    dsim::UsbDevices(devices);
    info +=
        "lp0=\"/proc/bus/usb/002/002\"\nlp1=\"/proc/bus/usb/002/003\"\n"
        "hiddev0=\"/proc/bus/usb/003/002\"\nusbcam0=\"/proc/bus/usb/003/003\"\n";
    WriteFile(SZF_USBINFOALL, info);
    WriteFile(SZF_USBNO_GUID_MAP, "5=\"G-sdx\"\n9=\"G-sdw\"\n15=\"G-sdv\"\n");

    ASSERT_EQ(QAVOUSBBatchMount(), 0);
    // The known disks kept their numbers.
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "5"), "G-sdx");
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "9"), "G-sdw");
    EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, "15"), "G-sdv");
    int taken = 0, printers = 0;
    std::istringstream tab(ReadFile(SZF_USBTAB));
    for (std::string line; std::getline(tab, line);) {
        if (line.rfind("sd", 0) == 0) ++taken;
        if (line.rfind("lp", 0) == 0) ++printers;
    }
    EXPECT_EQ(taken, 21);
    EXPECT_EQ(printers, 1);
    const std::string used = usim::Key(SZF_USBDISKAPPLYING, "used");
    EXPECT_EQ(std::count(used.begin(), used.end(), ',') + 1, 15) << used;
    EXPECT_EQ(rsim::CallsOf("ups.sh"), (std::vector<std::vector<std::string>>{{"restart"}}));
    EXPECT_EQ(rsim::CallsOf("qavousbcam"), (std::vector<std::vector<std::string>>{{"--detect"}}));
}

}  // namespace

namespace {

// Two hot-plug handlers bring seven disks each while a third brings the
// eSATA disk: every disk gets its own number and the state files agree.
TEST_F(UsbMount, ConcurrentHotPlugs) {
    ASSERT_EQ(Sh("echo 'esatadiskname=\"sdq\"' >> /etc.defaults/qavoinfo.conf"), 0);
    std::string list;
    std::vector<std::string> devs;
    for (int i = 0; i < 14; ++i) {
        devs.push_back(std::string("sd") + static_cast<char>('b' + i));
        usim::Disk(devs.back(), Fs::Vfat);
        list += usim::UsbStorage(3 + i);
    }
    dsim::UsbDevices(list);
    usim::Disk("sdq", Fs::Vfat);
    std::vector<pid_t> kids;
    for (int k = 0; k < 3; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            int bad = 0;
            if (k == 2) {
                bad = QAVOSATAMount("sdq") != 0;
            } else {
                for (int i = k; i < 14; i += 2)
                    bad += Plug(devs[static_cast<size_t>(i)], 3 + i) != 0;
            }
            _exit(bad);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::vector<int> numbers;
    for (const auto &d : devs) {
        SCOPED_TRACE(d);
        int n = 0;
        ASSERT_EQ(QAVOUSBIGetPostFixNumberByDev(d.c_str(), &n), 0);
        numbers.push_back(n);
        EXPECT_EQ(usim::Key(SZF_USBNO_GUID_MAP, std::to_string(n).c_str()), "G-" + d);
        EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, d.c_str()), "success");
        EXPECT_TRUE(usim::Mounted("/volumeUSB" + std::to_string(n) + "/usbshare"));
        EXPECT_TRUE(HasShare("usbshare" + std::to_string(n)));
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(std::unique(numbers.begin(), numbers.end()), numbers.end());
    EXPECT_EQ(numbers.front(), 1);
    EXPECT_EQ(numbers.back(), 14);
    const std::string used = usim::Key(SZF_USBDISKAPPLYING, "used");
    EXPECT_EQ(std::count(used.begin(), used.end(), ',') + 1, 14) << used;
    EXPECT_EQ(usim::Key(SZF_USBDISKAPPLYING, "sdq"), "success");
    EXPECT_EQ(usim::Key(SZF_SATATAB, "sdq"), "");
    EXPECT_TRUE(usim::Mounted("/volumeSATA/satashare"));
    EXPECT_TRUE(HasShare("satashare"));
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
}

}  // namespace
