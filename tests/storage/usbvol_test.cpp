// External volumes: postfix numbers, the superfloppy test and the volume
// information of USB disks mounted through the simulated file systems.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "appliance.h"
#include "qavo_usbbackup.h"
#include "qavo_usbvol.h"
#include "raid_sim.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"

namespace {

using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

std::string Used() {
    char v[1024] = "?";
    if (SLIBFileGetKeyValue(SZF_USBDISKAPPLYING, "used", v, sizeof v, 0) <= 0) return "<absent>";
    return v;
}

void SetUsed(const std::string &v) {
    WriteFile(SZF_USBDISKAPPLYING, "sdz=\"success\"\nused=\"" + v + "\"\n");
}

TEST(UsbVolNumber, LowestFreeOrTheDisksOwn) {
    WriteFile(SZF_USBNO_GUID_MAP, "1=\"G-one\"\n4=\"G-four\"\n");
    WriteFile(SZF_USBGUIDTAB, "sdb=\"G-four\"\nsdc=\"G-new\"\n");
    struct {
        const char *used;  // nullptr: no "used" key
        const char *dev;
        int number;
    } cases[] = {
        {"1,2,4", "sdb", 4},  // its own number, though in use
        {"1,2,4", "sdc", 3},     {nullptr, "sdc", 1},
        {"", "sdc", 1},          {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15", "sdc", -1},
        {"0,1,16,,2", "sdc", 3}, {"2", "sdx", 1},  // not attached: no GUID
    };
    for (const auto &c : cases) {
        if (c.used)
            SetUsed(c.used);
        else
            qtest::RemoveFile(SZF_USBDISKAPPLYING);
        EXPECT_EQ(QAVOUSBIFindPostFixNumber(c.dev), c.number) << (c.used ? c.used : "-");
    }
    EXPECT_TRUE(qtest::SyslogHas("Find an unreasonable share number 16"));
    EXPECT_TRUE(qtest::SyslogHas("Find an unreasonable share number 0"));
    int n = 0;
    EXPECT_EQ(QAVOUSBIGetPostFixNumberByGUID("G-one", &n), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(QAVOUSBIGetPostFixNumberByGUID("G-on", &n), -1);
    EXPECT_EQ(n, -1);
}

TEST(UsbVolNumber, RegisterRollBackAndUsedList) {
    const std::string map = "1=\"G-one\"\n# kept\n2=\"G-two\"\n";
    WriteFile(SZF_USBNO_GUID_MAP, map);
    WriteFile(SZF_USBGUIDTAB, "sdb=\"G-new\"\n");
    SetUsed("1");
    int n = 0;
    char old[64] = "x";
    ASSERT_EQ(QAVOUSBRegisterPostFixNumber("sdb", &n, old, sizeof old), 0);
    EXPECT_EQ(n, 2);  // 2 is free, though the map keeps it for G-two
    EXPECT_STREQ(old, "G-two");
    EXPECT_EQ(Used(), "1,2");
    int again = 0;
    EXPECT_EQ(QAVOUSBIGetPostFixNumberByDev("sdb", &again), 0);
    EXPECT_EQ(again, 2);

    // The mount failed: the map is back as it was, byte for byte.
    ASSERT_EQ(QAVOUSBRollBackPostFixNumberMap(n, old), 0);
    EXPECT_EQ(ReadFile(SZF_USBNO_GUID_MAP), map);
    EXPECT_EQ(Used(), "1");

    // A preset number that the map did not know: an empty old GUID.
    ASSERT_EQ(QAVOUSBRegisterPostFixNumberEx("sdb", &n, old, sizeof old, 7), 0);
    EXPECT_EQ(n, 7);
    EXPECT_STREQ(old, "");
    EXPECT_EQ(Used(), "1,7");
    ASSERT_EQ(QAVOIModifyUSBUsedList(1, 1), 0);
    ASSERT_EQ(QAVOIModifyUSBUsedList(7, 1), 0);
    EXPECT_EQ(Used(), "");
    EXPECT_NE(ReadFile(SZF_USBDISKAPPLYING).find("sdz=\"success\""), std::string::npos);

    // A device that is not in the GUID table fails and leaves the lock free.
    EXPECT_EQ(QAVOUSBRegisterPostFixNumber("sdq", &n, nullptr, 0), -1);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(ErrSLIBFileLock(SLIB_LOCK_USBIDMAP | SLIB_LOCK_EX, 0) == 0 ? 0 : 1);
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(QAVOUSBRollBackPostFixNumberMap(3, nullptr), -1);
}

TEST(UsbVolNumber, ConcurrentRegistrationsGetDistinctNumbers) {
    std::string tab;
    const int kDisks = 6;
    for (int i = 0; i < kDisks; ++i)
        tab += std::string("sd") + static_cast<char>('b' + i) + "=\"G" + std::to_string(i) + "\"\n";
    WriteFile(SZF_USBGUIDTAB, tab);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    for (int i = 0; i < kDisks; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string dev = std::string("sd") + static_cast<char>('b' + i);
            int n = -1;
            if (QAVOUSBRegisterPostFixNumber(dev.c_str(), &n, nullptr, 0) != 0) n = -1;
            const char b = static_cast<char>(n);
            _exit(write(fds[1], &b, 1) == 1 ? 0 : 1);
        }
    }
    close(fds[1]);
    std::set<int> got;
    char b;
    while (read(fds[0], &b, 1) == 1)
        got.insert(b);
    close(fds[0]);
    while (wait(nullptr) > 0) {
    }
    EXPECT_EQ(got, (std::set<int>{1, 2, 3, 4, 5, 6}));
    std::set<std::string> used;
    const std::string u = Used();
    for (size_t p = 0; p <= u.size();) {
        const size_t c = u.find(',', p);
        used.insert(u.substr(p, c == std::string::npos ? std::string::npos : c - p));
        if (c == std::string::npos) break;
        p = c + 1;
    }
    EXPECT_EQ(used.size(), 6u) << u;
}

// Writes sector 0 of the disk.
void Sector0(const std::string &dev, const std::string &bytes) {
    std::string s(512, '\0');
    s.replace(0, bytes.size(), bytes);
    WriteFile("/tmp/s0", s);
    ASSERT_EQ(Sh("dd if=/tmp/s0 of=/dev/" + dev + " conv=notrunc 2>/dev/null"), 0);
}

TEST(UsbVolSuperFloppy, BootSectorWithoutFatPartition) {
    rsim::AddDisk("sdb", 8192);
    struct {
        const char *jump;
        int textAt;
        const char *text;
        unsigned char type;
        bool signature;
        int want;
    } cases[] = {
        {"\xEB\x58\x90", 82, "FAT32", 0x00, true, 1},
        {"\xEB\x58\x90", 82, "FAT32", 0x0C, true, 0},  // a FAT partition table
        {"\xEB\x58\x90", 82, "FAT32", 0x83, true, 1},
        {"\xEB\x3C\x90", 54, "FAT16", 0x00, true, 1},
        {"\xEB\x3C\x90", 82, "FAT32", 0x00, true, 0},  // jump and text disagree
        {"\xEB\x58\x90", 82, "FAT32", 0x00, false, 0},
        {"\x00\x00\x00", 82, "FAT32", 0x00, true, 0},
    };
    for (const auto &c : cases) {
        std::string s(512, '\0');
        s.replace(0, 3, c.jump, 3);
        s.replace(static_cast<size_t>(c.textAt), 5, c.text);
        s[450] = static_cast<char>(c.type);
        if (c.signature) {
            s[510] = '\x55';
            s[511] = '\xAA';
        }
        Sector0("sdb", s);
        EXPECT_EQ(BlQAVOUSBIsFATSuperFloppy("sdb"), c.want) << c.text << " " << int(c.type);
        EXPECT_EQ(BlQAVOUSBIsFATSuperFloppy("/dev/sdb"), c.want);
    }
    EXPECT_EQ(BlQAVOUSBIsFATSuperFloppy("sdq"), 0);
    int rows = 0;
    for (const QAVOPARTTYPE *t = gQAVOPartType; t->name; ++t)
        ++rows;
    EXPECT_EQ(rows, 48);
}

class UsbVolInfo : public ::testing::Test {
  protected:
    // A disk with partition 1 from start, of the type.
    static void Disk(const std::string &dev, int start, const std::string &type) {
        rsim::AddDisk(dev, 65536);
        ASSERT_EQ(Sh("sfdisk -N1 -uS -q -f -j" + std::to_string(start) + " -z-1 -t" + type +
                     " -F /dev/" + dev + " >/dev/null"),
                  0);
    }
    static void Reiserfs(const std::string &part) {
        ASSERT_EQ(Sh("printf QaVoRs2Fs | dd of=/dev/" + part +
                     " bs=1 seek=65588 conv=notrunc 2>/dev/null"),
                  0);
    }
    static QAVOUSBVOLINFO Info(const char *dev) {
        QAVOUSBVOLINFO info;
        memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(QAVODiskUSBDevGetVolInfo(dev, &info), 0);
        return info;
    }
};

TEST_F(UsbVolInfo, MountedVolumes) {
    Disk("sdb", 2048, "c");
    ASSERT_EQ(Sh("mkfs.vfat /dev/sdb1 >/dev/null 2>&1 && mkdir -p /volumeUSB12/usbshare && "
                 "mount -t vfat /dev/sdb1 /volumeUSB12/usbshare"),
              0);
    QAVOUSBVOLINFO v = Info("sdb");
    EXPECT_STREQ(v.szShareName, "usbshare12");
    EXPECT_STREQ(v.szSharePath, "/volumeUSB12/usbshare");
    EXPECT_STREQ(v.szMountPoint, "/volumeUSB12/usbshare");
    EXPECT_STREQ(v.szFileSystem, "vfat");
    EXPECT_STREQ(v.szDescription, "USB Disk 12");
    EXPECT_EQ(v.status, 0);
    std::string out;
    ASSERT_EQ(Sh("stat -f -c '%S %b %a' /volumeUSB12/usbshare", &out), 0);
    unsigned long long bs = 0, blocks = 0, avail = 0;
    ASSERT_EQ(sscanf(out.c_str(), "%llu %llu %llu", &bs, &blocks, &avail), 3);
    EXPECT_EQ(v.total, (bs * blocks + 1048575) / 1048576);
    EXPECT_EQ(v.used, v.total - (bs * avail + 1048575) / 1048576);
    EXPECT_GT(v.total, 0u);

    // The mount table says "corrupt".
    ASSERT_EQ(Sh("sed -i 's/ rw$/ rw,corrupt/' /sim/fsmounts"), 0);
    EXPECT_EQ(Info("sdb").status, 1);

    // reiserfs on the mount root, without and with a backup label.
    Disk("sdc", 16065, "83");
    Reiserfs("sdc1");
    ASSERT_EQ(Sh("mkdir -p /volumeUSB2 && mount -t reiserfs /dev/sdc1 /volumeUSB2"), 0);
    v = Info("sdc");
    EXPECT_STREQ(v.szShareName, "usbshare2");
    EXPECT_STREQ(v.szSharePath, "/volumeUSB2/usbshare");
    EXPECT_STREQ(v.szMountPoint, "/volumeUSB2");
    EXPECT_STREQ(v.szFileSystem, "reiserfs");
    EXPECT_STREQ(v.szDescription, "USB Disk 2");
    ASSERT_EQ(USBBKPInitUBDIToDev("sdc"), 0);
    v = Info("sdc");
    EXPECT_STREQ(v.szShareName, "usbbackup");
    EXPECT_STREQ(v.szSharePath, "/volumeUSB2/usbbackup");

    // 1000 blocks of 1 KiB: one MiB rounded up.
    Disk("sdd", 2048, "83");
    ASSERT_EQ(Sh("mke2fs -q -F -b 1024 /dev/sdd1 1000 && mkdir -p /volumeUSB1 && "
                 "mount -t ext2 /dev/sdd1 /volumeUSB1"),
              0);
    v = Info("sdd");
    EXPECT_STREQ(v.szShareName, "usbshare1");
    EXPECT_STREQ(v.szSharePath, "/volumeUSB1/usbshare");
    EXPECT_EQ(v.total, 1u);
    ASSERT_EQ(Sh("stat -f -c '%S %b %a' /volumeUSB1", &out), 0);
    ASSERT_EQ(sscanf(out.c_str(), "%llu %llu %llu", &bs, &blocks, &avail), 3);
    EXPECT_EQ(bs, 1024u);
    EXPECT_EQ(v.used, v.total - (bs * avail + 1048575) / 1048576);
    ASSERT_EQ(Sh("umount /volumeUSB1"), 0);
}

TEST_F(UsbVolInfo, UnmountedDisks) {
    Disk("sdb", 2048, "c");
    WriteFile(SZF_USBGUIDTAB, "sdb=\"G-b\"\nsdc=\"G-c\"\n");
    WriteFile(SZF_USBNO_GUID_MAP, "5=\"G-b\"\n");
    QAVOUSBVOLINFO v = Info("sdb");
    EXPECT_STREQ(v.szDescription, "USB Disk 5");
    EXPECT_EQ(v.status, 0);
    EXPECT_STREQ(v.szMountPoint, "");
    EXPECT_EQ(v.total, 0u);

    Disk("sdc", 2048, "c");
    v = Info("sdc");
    EXPECT_STREQ(v.szDescription, "USB Crashed disk");
    EXPECT_EQ(v.status, 2);
    // No such disk at all: unreadable, and no number.
    v = Info("sdq");
    EXPECT_EQ(v.status, 2);
    EXPECT_EQ(QAVODiskUSBDevGetVolInfo("../sdb", &v), -1);
    EXPECT_EQ(QAVODiskUSBDevGetVolInfo("sdb", nullptr), -1);
    uint64_t mb = 1;
    EXPECT_EQ(QAVOUSBIGetDiskSizeMB("sdb", &mb), 0);
    EXPECT_EQ(mb, 32u);
    EXPECT_EQ(QAVOUSBIGetDiskSizeMB("sdq", &mb), -1);
    EXPECT_EQ(mb, 0u);
}

}  // namespace
