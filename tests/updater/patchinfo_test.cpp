// Patch records and partition sizing on both editions' layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "flash_fixture.h"
#include "updt_patchinfo.h"

using namespace qtest;
using namespace qflashtest;

namespace {

const PATCHINFO &Row(const char *name) {
    for (int r = 0; r < nPatchRows; ++r)
        if (strcmp(gPatchInfo[r].szPart, name) == 0) return gPatchInfo[r];
    ADD_FAILURE() << name;
    return gPatchInfo[0];
}

}  // namespace

TEST(PatchInfo, LookupsByName) {
    UPDTSelectEdition(1);
    EXPECT_STREQ(gszDevMtdPartition, "/dev/mtd5");
    EXPECT_EQ(nPatchRows, 6);
    EXPECT_STREQ(SzUPDTGetDeviceByName("redboot config"), "/dev/mtd4");
    EXPECT_EQ(SzUPDTGetDeviceByName("qavocfg"), nullptr);  // not on pomlet
    EXPECT_EQ(SzUPDTGetDeviceByName(nullptr), nullptr);
    UPDTSelectEdition(0);
    EXPECT_STREQ(SzUPDTGetDeviceByName("QAVOCFG"), "/dev/mtd5");
    EXPECT_EQ(BlUPDTIsFixedPartition("Vendor"), 1);
    EXPECT_EQ(BlUPDTIsFixedPartition("RedBoot"), 0);

    FISDIRENTRY e[2] = {};
    memcpy(e[0].szName, "zImage", 6);
    memcpy(e[1].szName, "0123456789abcdef", 16);  // 16 bytes, no terminator
    EXPECT_EQ(GetIdxByName("ZIMAGE", e, 2), 0);
    EXPECT_EQ(GetIdxByName("0123456789ABCDEF", e, 2), 1);
    EXPECT_EQ(GetIdxByName("0123456789abcdefg", e, 2), -1);
    EXPECT_EQ(GetIdxByName("rd.gz", e, 2), -1);
}

TEST(PatchInfo, RecordsFromDirectoryAndImages) {
    Flash f(false);
    const uint32_t blk = f.block;
    f.Image("zImage", blk, 1);      // exactly one block
    f.Image("rd.bin", blk + 1, 2);  // one byte more: two blocks
    ASSERT_EQ(f.Init(), 0);
    EXPECT_EQ(gEraseBlockSize, blk);
    const PATCHINFO &z = Row("zImage"), &rd = Row("rd.gz"), &lib = Row("AllLib.tgz");
    EXPECT_EQ(z.datalen, blk);
    EXPECT_EQ(z.balance, static_cast<int32_t>(z.size / blk) - 1);
    EXPECT_EQ(z.fneedupdate, 1);
    EXPECT_EQ(rd.datalen, blk + 1);
    EXPECT_EQ(rd.balance, static_cast<int32_t>(rd.size / blk) - 2);
    // Without an image: the present data length, not written.
    EXPECT_EQ(lib.datalen, f.Entry("AllLib.tgz").data_length);
    EXPECT_EQ(lib.start, f.Entry("AllLib.tgz").flash_base);
    EXPECT_EQ(lib.fneedupdate, 0);
    EXPECT_EQ(BlUPDTNegativeBalance(gPatchInfo, nPatchRows), 0);
}

TEST(PatchInfo, UnusableImagesAreRefused) {
    Flash f(true);
    f.Image("zImage", 100, 1);
    WriteFile("/tmp/upd/rd.bin", "");
    EXPECT_EQ(f.Init(), -1);  // empty
    RemoveFile("/tmp/upd/rd.bin");
    mkdir("/tmp/upd/rd.bin", 0755);
    EXPECT_EQ(f.Init(), -1);  // a directory
    rmdir("/tmp/upd/rd.bin");
    EXPECT_EQ(f.Init(), 0);
    // More data than the flash holds.
    f.Image("rd.bin", 0x200000, 3);
    EXPECT_EQ(f.Init(), -1);
    EXPECT_TRUE(SyslogHas("the binary size exceeds flash size limit"));
}

TEST(PatchInfo, MissingPartitionNamesItsRow) {
    // A full-edition chip whose directory has no "vendor".
    qsim::Appliance hw(
        "chip 0xFF800000 0x800000 0x20000\n"
        "part RedBoot 0xFF800000 0x40000\npart zImage 0xFF840000 0x200000\n"
        "part rd.gz 0xFFA40000 0x300000\npart AllLib.tgz 0xFFD40000 0x200000\n"
        "part vendorx 0xFFF40000 0x20000\npart qavocfg 0xFFF60000 0x60000\n"
        "part \"RedBoot Config\" 0xFFFC0000 0x20000\npart \"FIS Directory\" 0xFFFE0000 0x20000\n");
    UPDTSelectEdition(0);
    std::vector<FISDIRENTRY> dir(8);
    int need = 0;
    ASSERT_EQ(QAVOMTDGetPartitionInfo("/dev/mtd7", dir.data(), 8 * 256, &need), 8);
    ClearSyslog();
    EXPECT_EQ(UPDTInitPatchInfo(dir.data(), 8), -1);
    EXPECT_TRUE(SyslogHas("get idx of partition 4 [vendor] fail"));
}

TEST(PatchInfo, ResizingMovesBlocksInFlashOrder) {
    UPDTSelectEdition(0);
    const uint32_t B = 0x20000;
    gEraseBlockSize = B;
    auto reset = [&] {
        const uint32_t starts[] = {0xFF800000, 0xFF840000, 0xFFA40000, 0xFFD40000,
                                   0xFFF40000, 0xFFF60000, 0xFFFC0000, 0xFFFE0000};
        const uint32_t sizes[] = {0x40000, 0x200000, 0x300000, 0x200000,
                                  0x20000, 0x60000,  0x20000,  0x20000};
        for (int i = 0; i < 8; ++i) {
            gPatchInfo[i].start = starts[i];
            gPatchInfo[i].size = sizes[i];
            gPatchInfo[i].balance = 0;
            gPatchInfo[i].delta = 0;
            gPatchInfo[i].fneedupdate = 0;
        }
    };
    // rd.gz needs two blocks more, zImage and AllLib.tgz have three to spare:
    // the first from zImage (the earlier of equal balances), the second from
    // AllLib.tgz (now 3 against 2).
    reset();
    gPatchInfo[1].balance = 3;
    gPatchInfo[2].balance = -2;
    gPatchInfo[3].balance = 3;
    gPatchInfo[4].balance = 5;  // fixed: never a donor
    ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, 8), 0);
    EXPECT_EQ(gPatchInfo[1].delta, -1);
    EXPECT_EQ(gPatchInfo[1].start, 0xFF840000u);
    EXPECT_EQ(gPatchInfo[1].size, 0x200000u - B);
    EXPECT_EQ(gPatchInfo[2].start, 0xFFA40000u - B);
    EXPECT_EQ(gPatchInfo[2].size, 0x300000u + 2 * B);
    EXPECT_EQ(gPatchInfo[3].start, 0xFFD40000u + B);
    EXPECT_EQ(gPatchInfo[3].size, 0x200000u - B);
    EXPECT_EQ(gPatchInfo[0].fneedupdate, 0);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(gPatchInfo[i].fneedupdate, 1) << i;
    for (int i = 4; i < 8; ++i)
        EXPECT_EQ(gPatchInfo[i].fneedupdate, 0) << i;

    // Row 1 grows by two blocks taken from row 3: row 2 and row 3 move up.
    reset();
    gPatchInfo[1].balance = -2;
    gPatchInfo[3].balance = 4;
    ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, 8), 0);
    EXPECT_EQ(gPatchInfo[1].size, 0x200000u + 2 * B);
    EXPECT_EQ(gPatchInfo[2].start, 0xFFA40000u + 2 * B);
    EXPECT_EQ(gPatchInfo[2].size, 0x300000u);
    EXPECT_EQ(gPatchInfo[3].start, 0xFFD40000u + 2 * B);
    EXPECT_EQ(gPatchInfo[3].size, 0x200000u - 2 * B);
    EXPECT_EQ(gPatchInfo[4].start, 0xFFF40000u);

    // Only the boot loader and fixed partitions have blocks to spare.
    reset();
    gPatchInfo[0].balance = 4;
    gPatchInfo[1].balance = -1;
    gPatchInfo[5].balance = 4;
    ClearSyslog();
    EXPECT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, 8), -1);
    EXPECT_TRUE(SyslogHas("negative balance"));
}

TEST(PatchInfo, ResizingRefusesOverlapsOnThePomletLayout) {
    // On pomlet, table order is not flash order: zImage lies at the chip's
    // start, before vendor and the boot loader's configuration; the boot
    // loader and rd.gz lie behind them.
    UPDTSelectEdition(1);
    const uint32_t B = 0x10000;
    gEraseBlockSize = B;
    const uint32_t starts[] = {0xFFF00000, 0xFFE00000, 0xFFF40000,
                               0xFFED0000, 0xFFEE0000, 0xFFFF0000};
    const uint32_t sizes[] = {0x40000, 0xD0000, 0xB0000, 0x10000, 0x10000, 0x10000};
    struct {
        const char *what;
        int32_t zBalance, rdBalance;
    } cases[] = {
        {"zImage grows into vendor", -1, 2},
        {"rd.gz takes a block of zImage", 2, -1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < 6; ++i) {
            gPatchInfo[i].start = starts[i];
            gPatchInfo[i].size = sizes[i];
            gPatchInfo[i].balance = gPatchInfo[i].delta = gPatchInfo[i].fneedupdate = 0;
        }
        gPatchInfo[1].balance = c.zBalance;
        gPatchInfo[2].balance = c.rdBalance;
        std::vector<PATCHINFO> before(gPatchInfo, gPatchInfo + 6);
        EXPECT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, 6), -1);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(gPatchInfo[i].start, before[i].start) << i;
            EXPECT_EQ(gPatchInfo[i].size, before[i].size) << i;
            EXPECT_EQ(gPatchInfo[i].balance, before[i].balance) << i;
            EXPECT_EQ(gPatchInfo[i].fneedupdate, 0) << i;
        }
    }
}

TEST(PatchInfo, ResizingRefusesAMoveBeyondTheAddressSpace) {
    // A damaged entry reaching past 4 GiB: the kernel behind it would be
    // moved past the top of the address space, where its start wraps.
    UPDTSelectEdition(0);
    gEraseBlockSize = 0x20000;
    for (int i = 0; i < 8; ++i)
        gPatchInfo[i].start = gPatchInfo[i].size = gPatchInfo[i].balance = gPatchInfo[i].delta = 0;
    gPatchInfo[0].start = 0x95545454;
    gPatchInfo[0].size = 0x54545454;
    gPatchInfo[0].balance = -1;
    gPatchInfo[1].start = 0xFFFFFFFF;
    gPatchInfo[1].size = 0xFFFFFFFF;
    gPatchInfo[1].balance = 4;
    std::vector<PATCHINFO> before(gPatchInfo, gPatchInfo + 8);
    EXPECT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, 8), -1);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(gPatchInfo[i].start, before[i].start) << i;
        EXPECT_EQ(gPatchInfo[i].size, before[i].size) << i;
    }
}

TEST(PatchInfo, ImagesFillingTheirPartitionsFitTheChip) {
    // The full edition's boot loader lies in front of the kernel: it belongs
    // to the flash all the same, so images that fill their partitions fit.
    Flash f(false);
    for (const char *p : {"zImage", "AllLib.tgz"})
        f.Image(p, f.Entry(p).size, 1);
    f.Image("rd.bin", f.Entry("rd.gz").size, 2);
    EXPECT_EQ(f.Init(), 0);
    f.Image("rd.bin", f.Entry("rd.gz").size + 1, 2);
    EXPECT_EQ(f.Init(), -1);
}
