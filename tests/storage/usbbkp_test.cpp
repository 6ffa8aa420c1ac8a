// The backup disk's label and backup ID, on disks whose partition table the
// real sfdisk wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "appliance.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpinfo.h"
#include "raid_sim.h"
#include "slib_keyvalue.h"

namespace {

using qtest::Sh;

// Bytes of the disk as od shows them: hexadecimal, separated by blanks.
std::string Od(const std::string &dev, long offset, int count) {
    std::string out;
    EXPECT_EQ(Sh("od -An -v -tx1 -j" + std::to_string(offset) + " -N" + std::to_string(count) +
                     " /dev/" + dev + " | tr -s ' \\n' ' '",
                 &out),
              0);
    return out;
}

std::string Hex(const std::string &bytes) {
    std::string out = " ";
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02x ", c);
        out += b;
    }
    return out;
}

// A disk with one partition from start, of the type (hexadecimal).
void Disk(const std::string &dev, int start, const std::string &type) {
    rsim::AddDisk(dev, 40000);
    ASSERT_EQ(Sh("printf 'start=" + std::to_string(start) + ", type=" + type +
                 "\\n' | sfdisk -q /dev/" + dev + " 2>/dev/null"),
              0);
}

void Online(const char *dev) {
    QAVOUSBBACKUPINFO r;
    memset(&r, 0, sizeof r);
    r.status = USB_BKP_STATUS_ONLINE;
    strncpy(r.device, dev, sizeof r.device - 1);
    ASSERT_EQ(QAVOUSBSetBackupInfo(&r), 0);
}

std::string Local() {
    char v[64] = "";
    SLIBFileGetKeyValue("/etc/qavoinfo.conf", "usbbkpid", v, sizeof v, 0);
    return v;
}

TEST(UsbBkpLabel, WhichDisksAreBackupDisks) {
    struct {
        const char *dev;
        int start;
        const char *type;
        bool label;
        const char *defaultfs;
        int result, fs;
    } cases[] = {
        {"sdb", 16065, "b", true, nullptr, 0, 1},   {"sdc", 16065, "7", true, nullptr, 0, 3},
        {"sdd", 16065, "83", true, nullptr, 0, 0},  {"sde", 16065, "83", true, "ext3", 0, 2},
        {"sdf", 63, "b", true, nullptr, -1, -1},  // the label sector, but no backup layout
        {"sdg", 16065, "5", true, nullptr, -1, -1}, {"sdh", 16065, "b", false, nullptr, -1, 1},
    };
    for (const auto &c : cases) {
        Disk(c.dev, c.start, c.type);
        if (c.defaultfs) {
            ASSERT_EQ(Sh(std::string("echo 'defaultfs=\"") + c.defaultfs +
                         "\"' >> /etc.defaults/qavoinfo.conf"),
                      0);
        }
        if (c.label) {
            ASSERT_EQ(USBBKPInitUBDIToDev(c.dev), 0);
        }
        uint8_t label[512];
        int fs = -1;
        EXPECT_EQ(USBBKPIsDevBkpDisk(c.dev, label, &fs), c.result) << c.dev;
        EXPECT_EQ(fs, c.fs) << c.dev;
        if (c.result == 0) {
            EXPECT_EQ(memcmp(label, "U6S5B4B3K2P1M0G", 16), 0);
        }
        if (c.defaultfs) {
            ASSERT_EQ(Sh("sed -i '/^defaultfs=/d' /etc.defaults/qavoinfo.conf"), 0);
        }
    }
    // The table as sfdisk laid it: type at 450, start (little-endian) at 454.
    EXPECT_EQ(Od("sdb", 450, 1), " 0b ");
    EXPECT_EQ(Od("sdb", 454, 4), " c1 3e 00 00 ");
    EXPECT_EQ(Od("sdf", 454, 4), " 3f 00 00 00 ");
    EXPECT_EQ(Od("sdb", 510, 2), " 55 aa ");
    // A fresh label: the magic and zeros.
    EXPECT_EQ(Od("sdb", 16064 * 512, 512),
              Hex(std::string("U6S5B4B3K2P1M0G") + std::string(497, '\0')));

    rsim::AddDisk("sdi", 40000);  // no table at all
    uint8_t label[512];
    int fs = -1;
    EXPECT_EQ(USBBKPIsDevBkpDisk("sdi", label, &fs), -1);
    EXPECT_TRUE(qtest::SyslogHas("No DOS signature."));
    EXPECT_EQ(USBBKPIsDevBkpDisk("sdi", label, nullptr), -1);
}

TEST(UsbBkpLabel, BackupIdOnDiskAndInSettings) {
    Disk("sdb", 16065, "b");
    ASSERT_EQ(USBBKPInitUBDIToDev("sdb"), 0);
    char id[40];
    // Not on line yet.
    EXPECT_EQ(USBBKPGetBkpIDFromUSB(id, 28), -1);
    EXPECT_EQ(USBBKPSetBkpIDToUSB("x"), -1);
    Online("sdb");

    // A disk without a backup set: a valid label, but not the same ID, even
    // with no local ID either.
    uint8_t label[512];
    int fs = 0;
    EXPECT_EQ(USBBKPIsDevBkpDisk("sdb", label, &fs), 0);
    EXPECT_EQ(USBBKPIsSameBkpID(), -1);

    const std::string full = "20261210183000-001132C0FFEE";
    ASSERT_EQ(USBBKPSetBkpID(full.c_str()), 0);
    EXPECT_EQ(Local(), full);
    EXPECT_EQ(Od("sdb", 16064 * 512 + 16, 28), Hex(full + std::string(1, '\0')));
    EXPECT_EQ(USBBKPIsSameBkpID(), 0);
    ASSERT_EQ(USBBKPGetBkpIDFromUSB(id, 28), 0);
    EXPECT_EQ(std::string(id), full);

    // A shorter ID is copied up to its NUL; the rest of the field is zero.
    ASSERT_EQ(USBBKPSetBkpIDToUSB("abc"), 0);
    EXPECT_EQ(Od("sdb", 16064 * 512 + 16, 28), Hex("abc" + std::string(25, '\0')));
    EXPECT_EQ(USBBKPIsSameBkpID(), -1);

    // 28 characters fill the field without a NUL; readers still terminate.
    const std::string longer = full + "Z";
    ASSERT_EQ(USBBKPSetBkpID(longer.c_str()), 0);
    EXPECT_EQ(Od("sdb", 16064 * 512 + 16, 29), Hex(longer + std::string(1, '\0')));
    memset(id, 'x', sizeof id);
    ASSERT_EQ(USBBKPGetBkpIDFromUSB(id, 28), 0);
    EXPECT_EQ(std::string(id), full);
    ASSERT_EQ(USBBKPGetBkpIDFromUSB(id, 29), 0);
    EXPECT_EQ(std::string(id), longer);
    EXPECT_EQ(USBBKPIsSameBkpID(), 0);
    ASSERT_EQ(QAVOINFOSetKeyValue("usbbkpid", (full + "Y").c_str()), 0);
    EXPECT_EQ(USBBKPIsSameBkpID(), -1);

    // A damaged label is replaced when an ID is written.
    ASSERT_EQ(Sh("dd if=/dev/zero of=/dev/sdb bs=512 seek=16064 count=1 conv=notrunc 2>/dev/null"),
              0);
    EXPECT_EQ(USBBKPGetBkpIDFromUSB(id, 28), -1);
    ASSERT_EQ(USBBKPSetBkpIDToUSB(full.c_str()), 0);
    EXPECT_EQ(Od("sdb", 16064 * 512, 48), Hex(std::string("U6S5B4B3K2P1M0G") +
                                              std::string(1, '\0') + full + std::string(5, '\0')));

    char small[27];
    EXPECT_EQ(USBBKPGetBkpIDFromLocal(small, sizeof small), -1);
    ASSERT_EQ(Sh("sed -i '/^usbbkpid=/d' /etc/qavoinfo.conf"), 0);
    memset(id, 'x', sizeof id);
    EXPECT_EQ(USBBKPGetBkpIDFromLocal(id, 28), 0);
    EXPECT_STREQ(id, "");

    ASSERT_EQ(USBBKPSetBkpResult(0x1F), 0);
    char v[64] = "";
    SLIBFileGetKeyValue("/etc/qavoinfo.conf", "usbbkpresult", v, sizeof v, 0);
    EXPECT_STREQ(v, "0x1F");
}

}  // namespace
