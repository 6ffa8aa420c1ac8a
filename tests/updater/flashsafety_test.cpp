// The flash stage touches only what must change and trusts nothing it has
// not checked: unchanged rows and blocks are left alone, backups are read
// back, refusals come before the first change, and the roll-back leaves
// every row's image and directory entry in agreement.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "appliance.h"
#include "flash_fixture.h"
#include "updt_patchinfo.h"
#include "updt_redboot.h"
#include "updt_status.h"

using namespace qtest;
using namespace qflashtest;

namespace {

std::vector<qsim::JournalRec> Since(const qsim::Appliance &hw, size_t from) {
    auto j = hw.Journal();
    return std::vector<qsim::JournalRec>(j.begin() + std::min(from, j.size()), j.end());
}

// Operations that change the chip or the kernel's view of it.
int Changes(const std::vector<qsim::JournalRec> &j) {
    return Count(j, "unlock") + Count(j, "erase") + Count(j, "write") + Count(j, "setpartinfo") +
           Count(j, "setfisentry");
}

uint32_t LE(const Bytes &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

TEST(FlashSafety, UnchangedImagesAndBlocksAreNeitherErasedNorWritten) {
    Flash f(false);
    const Bytes before = f.hw->Chip();
    // The boot loader and the library archive as installed; the kernel with
    // one erase block changed; a new RAM disk.
    Bytes boot = f.Old(before, "RedBoot");
    qtest::WriteFile("/tmp/upd/RedBoot.msys", std::string(boot.begin(), boot.end()));
    Bytes lib = f.Old(before, "AllLib.tgz");
    qtest::WriteFile("/tmp/upd/AllLib.tgz", std::string(lib.begin(), lib.end()));
    Bytes z = f.Old(before, "zImage");
    for (size_t i = 3 * f.block + 5; i < 3 * f.block + 900; ++i)
        z[i] ^= 0x5A;
    qtest::WriteFile("/tmp/upd/zImage", std::string(z.begin(), z.end()));
    Bytes rd = f.Image("rd.bin", 0x250000, 21);
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    const size_t mark = f.hw->Journal().size();
    ASSERT_EQ(f.Patch(), 0);
    auto j = Since(*f.hw, mark);
    for (const char *dev : {"mtd0", "mtd3"}) {
        EXPECT_EQ(Count(j, "erase", dev), 0) << dev;
        EXPECT_EQ(Count(j, "write", dev), 0) << dev;
    }
    // The kernel: its one changed block only.
    ASSERT_EQ(Count(j, "erase", "mtd1"), 1);
    int outside = 0;
    for (auto &r : j)
        if (r.dev == "mtd1" && (r.kind == "erase" || r.kind == "write") &&
            (r.offset < 3u * f.block || r.offset + r.length > 4u * f.block))
            ++outside;
    EXPECT_EQ(outside, 0);
    // Only the RAM disk's entry changes.
    EXPECT_EQ(Count(j, "setfisentry"), 1);
    const Bytes after = f.hw->Chip();
    const Bytes want =
        f.Expected(before, {{"RedBoot", boot}, {"zImage", z}, {"AllLib.tgz", lib}, {"rd.gz", rd}});
    EXPECT_TRUE(after == want) << FirstDiff(after, want);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:100:      ");

    // The same package again: nothing to do, still verified and reported.
    f.ReadDir();
    ASSERT_EQ(f.Init(), 0);
    const size_t again = f.hw->Journal().size();
    ClearSyslog();
    ASSERT_EQ(f.Patch(), 0);
    EXPECT_EQ(Changes(Since(*f.hw, again)), 0);
    EXPECT_GT(Count(Since(*f.hw, again), "read", "mtd2"), 0);
    EXPECT_TRUE(SyslogHas("Finish updating [rd.gz]"));
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:100:      ");
    EXPECT_TRUE(f.hw->Chip() == want);
}

TEST(FlashSafety, BackupIsReadBackBeforeItIsTrusted) {
    // One misread while the kernel partition is copied, then its directory
    // entry cannot be written: the roll-back must put back the kernel as it
    // was, not as it was misread.
    Flash f(true);
    f.Image("zImage", 0x23456, 31);
    const Bytes before = f.hw->Chip();
    ASSERT_EQ(f.Init(), 0);
    ASSERT_TRUE(f.hw->Fault("flip mtd1 0x1234 once"));
    ASSERT_EQ(f.Backup(), 0);
    ASSERT_TRUE(f.hw->Fault("fault setfisentry mtd5 1 always"));
    EXPECT_EQ(f.Patch(), -1);
    ASSERT_TRUE(f.hw->Fault("clearfaults"));
    EXPECT_EQ(f.RollBack(), 0);
    const Bytes after = f.hw->Chip();
    EXPECT_TRUE(after == before) << FirstDiff(after, before);
}

TEST(FlashSafety, PackagesThatCannotFitAreRefusedBeforeAnyChange) {
    struct Case {
        const char *what;
        const char *file;
        size_t size;
    } cases[] = {
        {"a vendor image larger than its fixed partition", "vendor", 200000},
        {"a configuration image larger than its fixed partition", "qavocfg", 0x60001},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Flash f(false);
        f.Image("zImage", 0x100000, 41);
        f.Image("rd.bin", 0x200000, 42);
        f.Image("AllLib.tgz", 0x150000, 43);
        f.Image(c.file, c.size, 44);
        const Bytes before = f.hw->Chip();
        ASSERT_EQ(f.Init(), 0);
        ASSERT_EQ(f.Backup(), 0);
        const size_t mark = f.hw->Journal().size();
        EXPECT_EQ(f.Patch(), -1);
        EXPECT_EQ(Changes(Since(*f.hw, mark)), 0);
        EXPECT_EQ(f.RollBack(), 0);
        EXPECT_TRUE(f.hw->Chip() == before);
    }
}

TEST(FlashSafety, BootLoaderConfigurationAndDirectoryImagesAreRefused) {
    for (bool pomlet : {true, false}) {
        for (const char *file : {"RedBoot Config", "FIS Directory"}) {
            SCOPED_TRACE(std::string(pomlet ? "pomlet " : "full ") + file);
            Flash f(pomlet);
            f.Image("zImage", 0x10000, 51);
            f.Image(file, 0x800, 52);
            ClearSyslog();
            EXPECT_EQ(f.Init(), -1);
            EXPECT_TRUE(SyslogHas(std::string("image [") + file + "]"));
        }
    }
}

TEST(FlashSafety, PackageNamesThatAreNoReadableFileAreRefused) {
    struct Case {
        const char *what;
        const char *target;  // of the link "zImage"
        int result;
    } cases[] = {
        {"dangling link", "/nonexistent", -1},
        {"link loop", "zImage", -1},
        {"link to a folder", "/tmp", -1},
        {"link to a regular file", "/tmp/upd/kernel.img", 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Flash f(true);
        f.Image("kernel.img", 0x1000, 61);
        ASSERT_EQ(symlink(c.target, "/tmp/upd/zImage"), 0);
        EXPECT_EQ(f.Init(), c.result);
        if (c.result == 0) {
            EXPECT_EQ(gPatchInfo[1].datalen, 0x1000u);
            EXPECT_EQ(gPatchInfo[1].fneedupdate, 1);
        }
    }
}

TEST(FlashSafety, KeptBackupIsMovedAsideAndNamedInTheLog) {
    Flash f(true);
    mkdir("/tmp/upd/b@ckup", 0755);
    WriteFile("/tmp/upd/b@ckup/mtd_zImage", "the only copy");
    mkdir("/tmp/upd/b@ckup.1", 0755);  // a name already taken
    RemoveFile(UPDT_LOG_FILE);
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    EXPECT_EQ(ReadFile("/tmp/upd/b@ckup.2/mtd_zImage"), "the only copy");
    EXPECT_EQ(ReadFile("/tmp/upd/b@ckup/mtd_zImage").size(), f.Entry("zImage").size);
    EXPECT_NE(ReadFile(UPDT_LOG_FILE).find("/tmp/upd/b@ckup.2"), std::string::npos);
    EXPECT_TRUE(SyslogHas("/tmp/upd/b@ckup.2"));
}

TEST(FlashSafety, RollBackOfRowsNeverChangedSucceeds) {
    struct Case {
        const char *what;
        const char *extra;  // appliance description
        const char *fault;  // before the patch
    } cases[] = {
        {"the kernel's erase always fails", "strict on\n", "fault erase mtd1 1 always"},
        {"the kernel partition is locked and stays so", "strict on\nlock mtd1\n",
         "fault unlock mtd1 1 always"},
        {"the kernel refuses to move the RAM disk", "strict on\n",
         "fault setpartinfo mtd2 1 always"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Flash f(false, c.extra);
        f.Image("zImage", 0x100000, 71);
        f.Image("rd.bin", f.Entry("rd.gz").size + 10, 72);  // rd.gz must grow
        const Bytes before = f.hw->Chip();
        ASSERT_EQ(f.Init(), 0);
        ASSERT_EQ(f.Backup(), 0);
        ASSERT_TRUE(f.hw->Fault(c.fault));
        EXPECT_EQ(f.Patch(), -1);
        ClearSyslog();
        EXPECT_EQ(f.RollBack(), 0);
        const Bytes after = f.hw->Chip();
        EXPECT_TRUE(after == before) << FirstDiff(after, before);
    }
}

TEST(FlashSafety, RowWhoseEntryCannotBePutBackKeepsTheImageItsEntryDescribes) {
    // Directory-entry writes fail from the second on: the kernel was written
    // and its entry rewritten, the RAM disk written but its entry not.
    Flash f(false);
    Bytes z = f.Image("zImage", 0x150000, 81);
    f.Image("rd.bin", 0x230000, 82);
    const Bytes before = f.hw->Chip();
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    ASSERT_TRUE(f.hw->Fault("fault setfisentry mtd7 2 always"));
    EXPECT_EQ(f.Patch(), -1);
    ClearSyslog();
    EXPECT_EQ(f.RollBack(), -1);
    EXPECT_TRUE(SyslogHas("[zImage] keeps its new image"));
    const Bytes after = f.hw->Chip();
    // The kernel stays new under its new entry; the RAM disk is back, under
    // its old entry.
    Bytes want = before;
    const FISDIRENTRY &k = f.Entry("zImage");
    const size_t at = k.flash_base - f.chipBase;
    std::fill(want.begin() + at, want.begin() + at + k.size, 0xFF);
    std::copy(z.begin(), z.end(), want.begin() + at);
    const size_t dir = f.dir.back().flash_base - f.chipBase;
    PutLE(want, dir + 256 * 1 + 32, static_cast<uint32_t>(z.size()));
    EXPECT_TRUE(after == want) << FirstDiff(after, want);
    EXPECT_EQ(LE(after, dir + 256 * 2 + 32), f.Entry("rd.gz").data_length);
}
