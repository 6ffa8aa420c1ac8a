// Manufacturing data and the hardware edition on the flash emulator (both
// editions, strict writes) and the kernel shim.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_manutil.h"
#include "qavosim.h"
#include "slib_errcode.h"
#include "slib_szlist.h"

using namespace qtest;
using Bytes = std::vector<uint8_t>;

namespace {

const char *const kHwVersion = "/proc/sys/kernel/qavo_hw_version";

void SetModel(const std::string &unique) {
    WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"" + unique + "\"\n");
}

struct Edition {
    const char *name;
    const char *macDev;  // journal name of the device holding MAC and serial
    uint32_t chipBase;
    size_t vendorSize;  // one erase block on both
};
const Edition kEditions[] = {
    {"pomlet", "mtd3", 0xFFE00000, 0x10000},
    {"full", "mtd_vender", 0xFF800000, 0x20000},
};

// Chip offset of the vendor partition.
size_t VendorAt(const Edition &e) {
    uint32_t start = 0;
    EXPECT_TRUE(qsim::Window("mtd_vender", &start, nullptr, nullptr));
    return start - e.chipBase;
}

uint8_t Sum(const Bytes &b, size_t at, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i)
        s += b[at + i];
    return static_cast<uint8_t>(s);
}

// A vendor partition as manufacturing leaves it: both MACs and the serial
// with their checksums, other data further on in the block, and (where the
// partition reaches) the reboot flag and the id string.
Bytes VendorData(size_t size) {
    Bytes v(size, 0xFF);
    const uint8_t mac1[6] = {0x00, 0x11, 0x32, 0x0A, 0x0B, 0x0C};
    const uint8_t mac2[6] = {0x00, 0x11, 0x32, 0x0A, 0x0B, 0x0D};
    std::copy(mac1, mac1 + 6, v.begin());
    v[6] = Sum(v, 0, 6);
    std::copy(mac2, mac2 + 6, v.begin() + 7);
    v[13] = Sum(v, 7, 6);
    std::fill(v.begin() + 14, v.begin() + 32, 0);
    memcpy(&v[32], "A1B2C3D4E5", 10);
    v[42] = Sum(v, 32, 10);
    for (size_t i = 0x8000; i < 0x8100; ++i)
        v[i] = static_cast<uint8_t>(i * 13);
    if (size > 0x12000 + 39) {
        std::fill(v.begin() + 0x10000, v.begin() + 0x10004, 0x01);
        memcpy(&v[0x12000], "FLASH-ID 0123", 14);
    }
    return v;
}

// Starts an edition with the vendor partition of VendorData; returns the chip.
Bytes StartWithVendor(qsim::Appliance &hw, const Edition &ed, const Bytes &vendor) {
    Bytes chip = hw.Chip();
    std::copy(vendor.begin(), vendor.end(), chip.begin() + VendorAt(ed));
    EXPECT_TRUE(hw.Load(chip));
    hw.ClearJournal();
    return chip;
}

int ReadsOn(const qsim::Appliance &hw, const std::string &dev) {
    int n = 0;
    for (auto &j : hw.Journal())
        n += j.dev == dev && j.kind == "read";
    return n;
}

}  // namespace

TEST(Edition, ModelStringAndHardwareVersionLine) {
    struct Case {
        const char *model;  // nullptr: no "unique" key
        const char *hw;     // the hardware-version file, nullptr: none
        int expect;
    } cases[] = {
        {"sdkdebugX", "QAVO-F1-n\n", 1},  // without the hardware line
        {"sdkdebug", nullptr, 1},
        {"DS101_pomlet", "QAVO-F1-n\n", 1},
        {"_pomlet", nullptr, 1},
        {"x_Pomlet", "n\n", 0},
        {"abcde", "QAVO-P1-y\n", 0},  // too short: the line is not read
        {nullptr, "QAVO-P1-y\n", 0},
        {"qavomark_ixp420_1hd", "QAVO-P1-y\n", 1},
        {"qavomark_ixp420_1hd", "-y\n", 1},
        {"qavomark_ixp420_1hd", "QAVO-P1-y", 1},  // last character kept without a newline
        {"qavomark_ixp420_1hd", "y\n", 0},
        {"qavomark_ixp420_1hd", "-y \n", 0},
        {"qavomark_ixp420_1hd", "QAVO-F1-n\n", 0},
        {"qavomark_ixp420_1hd", "", 0},
        {"qavomark_ixp420_1hd", nullptr, 0},
    };
    for (auto &c : cases) {
        if (c.model)
            SetModel(c.model);
        else
            WriteFile("/etc.defaults/qavoinfo.conf", "other=\"1\"\n");
        RemoveFile(kHwVersion);
        if (c.hw) WriteFile(kHwVersion, c.hw);
        EXPECT_EQ(BlQAVOIsPomletModel(), c.expect)
            << (c.model ? c.model : "(none)") << " / " << (c.hw ? c.hw : "(none)");
    }
}

TEST(Manutil, ReadMacAndSerialCheckingTheirSums) {
    for (auto &ed : kEditions) {
        SCOPED_TRACE(ed.name);
        qsim::Appliance hw(std::string("edition ") + ed.name + "\nstrict on");
        Bytes v = VendorData(ed.vendorSize);
        v[13] ^= 1;  // second MAC's checksum broken
        StartWithVendor(hw, ed, v);

        unsigned char mac[14];
        ASSERT_EQ(QAVOManutilGetMacAddr(mac), 0);
        EXPECT_EQ(Bytes(mac, mac + 7), Bytes(v.begin(), v.begin() + 7));
        EXPECT_EQ(Bytes(mac + 7, mac + 13), Bytes(6, 0));
        EXPECT_EQ(mac[13], v[13]);  // the checksum byte stays
        unsigned char sn[11];
        ASSERT_EQ(QAVOManutilGetSN(sn), 0);
        EXPECT_EQ(Bytes(sn, sn + 11), Bytes(v.begin() + 32, v.begin() + 43));
        EXPECT_EQ(ReadsOn(hw, ed.macDev), 2);

        Bytes chip = hw.Chip();
        chip[VendorAt(ed) + 35] ^= 0x40;  // serial broken
        ASSERT_TRUE(hw.Load(chip));
        ASSERT_EQ(QAVOManutilGetSN(sn), 0);
        EXPECT_EQ(Bytes(sn, sn + 10), Bytes(10, 0));
        EXPECT_EQ(sn[10], v[42]);

        SLIBErrSet(0);
        EXPECT_EQ(QAVOManutilGetMacAddr(nullptr), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        EXPECT_EQ(QAVOManutilGetSN(nullptr), -1);
        ASSERT_TRUE(hw.Fault(std::string("fault read ") + ed.macDev + " 1"));
        EXPECT_EQ(QAVOManutilGetSN(sn), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0A00u);
    }
}

// A serial that cannot be reached (a vendor device shorter than its offset)
// is a failed seek, not a serial of zeros.
TEST(Manutil, SerialBeyondTheDeviceIsASeekFailure) {
    qsim::Appliance hw(
        "chip 0xFFFF0000 0x200 0x10\npart vendor 0xFFFF0000 0x10\n"
        "part FISdir 0xFFFF0100 0x100");
    unsigned char sn[11], mac[14];
    SLIBErrSet(0);
    EXPECT_EQ(QAVOManutilGetSN(sn), -1);
    EXPECT_EQ(SLIBErrGet(), 0x2600u);
    EXPECT_EQ(QAVOManutilGetMacAddr(mac), 0);  // a short read: what there is
    testing::internal::CaptureStdout();
    EXPECT_EQ(QAVOManutilSetMacAddr(mac), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "get serial number error\n");
}

// MAC and serial written on flash: the block is erased and rewritten with the
// other block and the rest of the erase block as they were.
TEST(Manutil, SetMacAndSerialKeepTheRestOfTheBlock) {
    // Bits that go from 0 to 1 against the stored MAC and serial need the erase.
    unsigned char newMac[14] = {0x00, 0x11, 0x32, 0xFF, 0xEE, 0xDD, 0,
                                0x00, 0x11, 0x32, 0xFF, 0xEE, 0xDE, 0};
    unsigned char newSn[11] = {'Z', 'Y', 'X', 'W', 'V', '9', '8', '7', '6', '5', 0};
    for (int m = 0; m < 2; ++m)
        for (int i = 0; i < 6; ++i)
            newMac[7 * m + 6] = static_cast<uint8_t>(newMac[7 * m + 6] + newMac[7 * m + i]);
    for (int i = 0; i < 10; ++i)
        newSn[10] = static_cast<uint8_t>(newSn[10] + newSn[i]);
    for (auto &ed : kEditions) {
        for (bool brokenSerial : {false, true}) {
            SCOPED_TRACE(std::string(ed.name) + (brokenSerial ? " broken serial" : ""));
            qsim::Appliance hw(std::string("edition ") + ed.name + "\nstrict on");
            Bytes v = VendorData(ed.vendorSize);
            v[14] = 0x77;  // a stray byte in the gap, written as zero
            if (brokenSerial) v[42] ^= 1;
            Bytes chip = StartWithVendor(hw, ed, v);
            size_t at = VendorAt(ed);

            ASSERT_EQ(QAVOManutilSetMacAddr(newMac), 0);
            std::copy(newMac, newMac + 14, chip.begin() + at);
            chip[at + 14] = 0;
            if (brokenSerial) std::fill(chip.begin() + at + 32, chip.begin() + at + 42, 0);
            EXPECT_EQ(hw.Chip(), chip);  // every other byte of the chip as it was
            unsigned char mac[14];
            ASSERT_EQ(QAVOManutilGetMacAddr(mac), 0);
            EXPECT_EQ(Bytes(mac, mac + 14), Bytes(newMac, newMac + 14));
            int erases = 0;
            for (auto &j : hw.Journal())
                erases += j.kind == "erase" && j.dev == ed.macDev;
            EXPECT_EQ(erases, 1);

            if (brokenSerial) continue;
            ASSERT_EQ(QAVOManutilSetSN(newSn), 0);
            std::copy(newSn, newSn + 11, chip.begin() + at + 32);
            EXPECT_EQ(hw.Chip(), chip);
            unsigned char sn[11];
            ASSERT_EQ(QAVOManutilGetSN(sn), 0);
            EXPECT_EQ(Bytes(sn, sn + 11), Bytes(newSn, newSn + 11));
        }
    }
}

// A write or erase failing half-way leaves the vendor data as it was.
TEST(Manutil, FailedRewriteLeavesTheVendorData) {
    const unsigned char newMac[14] = {1, 2, 3, 4, 5, 6, 21, 6, 5, 4, 3, 2, 1, 21};
    const unsigned char newSn[11] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '1', 0x81};
    struct Case {
        const char *fault;  // %s: the device
        bool serial;
        SLIBERRCODE code;
    } cases[] = {
        {"fault write %s 2", false, 0x0A00},
        {"fault write %s 1", true, 0x0B00},
        {"fault erase %s 1", false, 0x0A00},
        // The chip powers up locked on both editions.
        {"fault unlock %s 1", true, 0x0B00},
    };
    for (auto &ed : kEditions) {
        for (auto &c : cases) {
            char fault[64];
            snprintf(fault, sizeof fault, c.fault, ed.macDev);
            SCOPED_TRACE(std::string(ed.name) + ": " + fault);
            qsim::Appliance hw(std::string("edition ") + ed.name + "\nstrict on");
            Bytes chip = StartWithVendor(hw, ed, VendorData(ed.vendorSize));
            ASSERT_TRUE(hw.Fault(fault));
            SLIBErrSet(0);
            EXPECT_EQ(c.serial ? QAVOManutilSetSN(newSn) : QAVOManutilSetMacAddr(newMac), -1);
            EXPECT_EQ(SLIBErrGet(), c.code);
            EXPECT_EQ(hw.Chip(), chip);
        }
    }
}

// A vendor device without flash geometry (and so without block locks) is
// written in place.
TEST(Manutil, DeviceWithoutGeometryIsWrittenInPlace) {
    qsim::Appliance hw("edition full\nstrict on\nlock none");
    const Edition &ed = kEditions[1];
    Bytes v(ed.vendorSize, 0xFF);
    memcpy(&v[32], "A1B2C3D4E5", 10);
    v[42] = Sum(v, 32, 10);
    Bytes chip = StartWithVendor(hw, ed, v);
    ASSERT_TRUE(hw.Fault("fault getinfo mtd_vender 1 always"));
    const unsigned char mac[14] = {1, 1, 1, 1, 1, 1, 6, 2, 2, 2, 2, 2, 2, 12};
    ASSERT_EQ(QAVOManutilSetMacAddr(mac), 0);
    size_t at = VendorAt(ed);
    std::copy(mac, mac + 14, chip.begin() + at);
    std::fill(chip.begin() + at + 14, chip.begin() + at + 32, 0);
    EXPECT_EQ(hw.Chip(), chip);
    for (auto &j : hw.Journal())
        EXPECT_NE(j.kind, "erase");
}

TEST(Manutil, IdString) {
    struct Case {
        const char *desc;
        int result;
        SLIBERRCODE code;
        const char *text;
    } cases[] = {
        {"edition full", 0, 0, "FLASH-ID 0123"},
        {"edition pomlet", -1, 0x2600, nullptr},  // 0x12000 lies past its vendor partition
        {"edition full\nhwflags 1", 0, 0, "M-Sys Ver 1.1"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.desc);
        qsim::Appliance hw(c.desc);
        const Edition &ed =
            std::string(c.desc).find("pomlet") != std::string::npos ? kEditions[0] : kEditions[1];
        StartWithVendor(hw, ed, VendorData(ed.vendorSize));
        char buf[40];
        SLIBErrSet(0);
        EXPECT_EQ(QAVOManutilGetIDString(buf, 39), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        EXPECT_EQ(QAVOManutilGetIDString(nullptr, 40), -1);
        EXPECT_EQ(QAVOManutilGetIDString(buf, sizeof buf), c.result);
        if (c.result == 0) {
            EXPECT_STREQ(buf, c.text);
        } else {
            EXPECT_EQ(SLIBErrGet(), c.code);
        }
        if (std::string(c.desc).find("hwflags") != std::string::npos) {
            EXPECT_EQ(ReadsOn(hw, "mtd_vender"), 0);
        }
    }

    // A full 39-byte id string is terminated after its last byte.
    qsim::Appliance hw("edition full");
    Bytes v = VendorData(0x20000);
    memset(&v[0x12000], 'I', 40);
    StartWithVendor(hw, kEditions[1], v);
    char buf[64];
    memset(buf, 'x', sizeof buf);
    ASSERT_EQ(QAVOManutilGetIDString(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), std::string(39, 'I'));
}

TEST(Manutil, StressRecordOnBothEditions) {
    Bytes rec(652);
    for (size_t i = 0; i < rec.size(); ++i)
        rec[i] = static_cast<uint8_t>(i * 7 + 3);
    // Full edition: on the device, at 544.
    {
        qsim::Appliance hw("edition full\nstrict on");
        Bytes buf = rec;
        ASSERT_EQ(QAVOManutilBurnIn(buf.data(), 0), 0);
        EXPECT_EQ(buf, rec);
        uint32_t start = 0;
        ASSERT_TRUE(qsim::Window("mtd5", &start, nullptr, nullptr));
        Bytes chip = hw.Chip();
        size_t at = start - 0xFF800000u + 544;
        EXPECT_EQ(Bytes(chip.begin() + at, chip.begin() + at + 652), rec);
        Bytes back(652, 0);
        ASSERT_EQ(QAVOManutilBurnIn(back.data(), 1), 0);
        EXPECT_EQ(back, rec);
        SLIBErrSet(0);
        EXPECT_EQ(QAVOManutilBurnIn(back.data(), 2), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        EXPECT_EQ(QAVOManutilBurnInRead(nullptr), -1);
        for (const char *fault : {"fault write mtd5 1", "fault unlock mtd5 1"}) {
            ASSERT_TRUE(hw.Fault(fault));
            SLIBErrSet(0);
            EXPECT_EQ(QAVOManutilBurnInWrite(buf.data()), -1) << fault;
            EXPECT_EQ(SLIBErrGet(), 0x0B00u) << fault;
        }
    }
    // Pomlet edition: in a file, created when missing.
    qsim::Appliance hw("edition pomlet\nstrict on");
    Bytes back(652, 0xEE);
    ASSERT_EQ(QAVOManutilBurnInRead(back.data()), 0);
    EXPECT_EQ(back, Bytes(652, 0xEE));  // nothing stored yet
    EXPECT_EQ(ReadFile("/var/log/stress.data"), "");
    Bytes buf = rec;
    ASSERT_EQ(QAVOManutilBurnInWrite(buf.data()), 0);
    std::string file = ReadFile("/var/log/stress.data");
    EXPECT_EQ(file, std::string(544, '\0') + std::string(rec.begin(), rec.end()));
    ASSERT_EQ(QAVOManutilBurnInRead(back.data()), 0);
    EXPECT_EQ(back, rec);
}

TEST(Manutil, ConfList) {
    mkdir("/usr/qavo/etc", 0755);
    WriteFile("/usr/qavo/etc/manutil.conf",
              "# manufacturing settings\n\n  key=1 \t\n   \n\"quoted value\"\r\n" +
                  std::string(1500, 'L') + "\nlast");
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    ASSERT_NE(list, nullptr);
    ASSERT_GE(SLIBSzListPush(&list, "before"), 0);
    ASSERT_EQ(QAVOManutilGetConfList(&list), 0);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"before", "key=1", "quoted value",
                                                     std::string(1023, 'L'), "last"}));
    RemoveFile("/usr/qavo/etc/manutil.conf");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOManutilGetConfList(&list), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_EQ(list->nItem, 5);
    SLIBSzListFree(list);
}
