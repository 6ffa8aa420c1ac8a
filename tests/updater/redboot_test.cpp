// Backup, erase-write-verify and roll-back of the flash partitions on the
// flash emulator (strict NOR writes), checked byte for byte against the chip.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iostream>
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

int64_t FileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Journal records from index from on.
std::vector<qsim::JournalRec> Since(const qsim::Appliance &hw, size_t from) {
    auto j = hw.Journal();
    return std::vector<qsim::JournalRec>(j.begin() + std::min(from, j.size()), j.end());
}

}  // namespace

TEST(RedBootPatch, WritesImagesByteForByteOnBothEditions) {
    for (bool pomlet : {true, false}) {
        SCOPED_TRACE(pomlet ? "pomlet" : "full");
        Flash f(pomlet);
        // An image of exactly one block and one of a block and a byte.
        Bytes z = f.Image("zImage", f.block, 7);
        Bytes rd = f.Image("rd.bin", f.block + 1, 8);
        const Bytes before = f.hw->Chip();
        ASSERT_EQ(f.Init(), 0);
        ASSERT_EQ(f.Backup(), 0);
        for (auto &e : f.dir) {
            std::string name(e.szName, strnlen(e.szName, 16));
            EXPECT_EQ(FileSize("/tmp/upd/b@ckup/mtd_" + name), e.size) << name;
        }
        ASSERT_EQ(f.Patch(), 0);
        const Bytes after = f.hw->Chip();
        const Bytes want = f.Expected(before, {{"zImage", z}, {"rd.gz", rd}});
        EXPECT_TRUE(after == want) << FirstDiff(after, want);
        EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:100:      ");
        // The directory as the kernel reads it again.
        f.ReadDir();
        EXPECT_EQ(f.Entry("zImage").data_length, f.block);
        EXPECT_EQ(f.Entry("rd.gz").data_length, f.block + 1);
    }
}

TEST(RedBootPatch, MovedPartitionsKeepTheirDataAndRollBackRestoresTheChip) {
    // rd.bin needs two blocks more than rd.gz has: zImage and AllLib.tgz give
    // one each and move or shrink, though the package has no image for them.
    Flash f(false);
    const uint32_t rdSize = f.Entry("rd.gz").size;
    Bytes rd = f.Image("rd.bin", rdSize + f.block + 10, 9);
    const Bytes before = f.hw->Chip();
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    ASSERT_EQ(f.Patch(), 0);
    EXPECT_EQ(gPatchInfo[3].start, f.Entry("AllLib.tgz").flash_base + f.block);
    const Bytes after = f.hw->Chip();
    const Bytes want = f.Expected(before, {{"rd.gz", rd},
                                           {"zImage", f.Old(before, "zImage")},
                                           {"AllLib.tgz", f.Old(before, "AllLib.tgz")}});
    EXPECT_TRUE(after == want) << FirstDiff(after, want);

    // A failed migration later: every written partition goes back.
    const size_t mark = f.hw->Journal().size();
    ASSERT_EQ(f.RollBack(), 0);
    const Bytes restored = f.hw->Chip();
    EXPECT_TRUE(restored == before) << FirstDiff(restored, before);
    auto j = Since(*f.hw, mark);
    for (const char *dev : {"mtd0", "mtd4", "mtd5", "mtd6", "mtd7"})
        EXPECT_EQ(Count(j, "erase", dev), 0) << dev;
}

TEST(RedBootPatch, RetriesAndRollBackAfterFaults) {
    struct Case {
        const char *what;
        const char *fault;    // during the patch
        int result;           // of the patch
        int attempts;         // on mtd2 during the patch
        const char *rbFault;  // during the roll-back, after the patch's faults are cleared
        const char *logged;
    } cases[] = {
        {"erase fails once", "fault erase mtd2 1 once", 0, 2, nullptr,
         "QAVOMTDErasePartition() fail"},
        {"write fails once", "fault write mtd2 2 once", 0, 2, nullptr,
         "write file [/dev/mtd2] error"},
        // The eleven reads that compare rd.gz's blocks, then the read back.
        {"read back fails once", "fault read mtd2 12 once", 0, 2, nullptr,
         "read file [/dev/mtd2] error"},
        {"erase always fails", "fault erase mtd2 1 always", -1, 3, nullptr,
         "Try to Update [/dev/mtd2] 3 counts failed"},
        {"write always fails", "fault write mtd2 1 always", -1, 3, "flip mtd1 0x100 once",
         "Try to Update [/dev/mtd2] 3 counts failed"},
        {"verify always fails", "flip mtd2 0x10 always", -1, 3, "fault erase mtd2 1 once",
         "Try to Update [/dev/mtd2] 3 counts failed"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Flash f(true);
        Bytes z = f.Image("zImage", 0x23456, 11);
        Bytes rd = f.Image("rd.bin", 0x31234, 12);
        const Bytes before = f.hw->Chip();
        ASSERT_EQ(f.Init(), 0);
        ASSERT_EQ(f.Backup(), 0);
        ASSERT_TRUE(f.hw->Fault(c.fault));
        ClearSyslog();
        ASSERT_EQ(f.Patch(), c.result);
        const std::string tries = "Try to Erase MTD Partition(/dev/mtd2), [";
        EXPECT_TRUE(SyslogHas(tries + std::to_string(c.attempts - 1) + "/3]"));
        EXPECT_FALSE(SyslogHas(tries + std::to_string(c.attempts) + "/3]"));
        EXPECT_TRUE(SyslogHas(c.logged)) << c.logged;
        if (c.result == 0) {
            const Bytes after = f.hw->Chip();
            const Bytes want = f.Expected(before, {{"zImage", z}, {"rd.gz", rd}});
            EXPECT_TRUE(after == want) << FirstDiff(after, want);
            continue;
        }
        ASSERT_TRUE(f.hw->Fault("clearfaults"));
        if (c.rbFault) {
            ASSERT_TRUE(f.hw->Fault(c.rbFault));
        }
        ASSERT_EQ(f.RollBack(), 0);
        const Bytes restored = f.hw->Chip();
        EXPECT_TRUE(restored == before) << FirstDiff(restored, before);
    }
}

// A block whose comparison read fails may hold anything: it is erased and
// programmed in the same attempt, though it may have held its target.
TEST(RedBootPatch, BlockThatCannotBeComparedIsErasedAndProgrammed) {
    Flash f(true);
    const Bytes before = f.hw->Chip();
    // rd.gz's own data with its first byte changed: only block 0 differs.
    Bytes rd = f.Old(before, "rd.gz");
    rd[0] = static_cast<uint8_t>(~rd[0]);
    qtest::WriteFile("/tmp/upd/rd.bin", std::string(rd.begin(), rd.end()));
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    // The sixth comparison read is block 5's.
    ASSERT_TRUE(f.hw->Fault("fault read mtd2 6 once"));
    ClearSyslog();
    const size_t mark = f.hw->Journal().size();
    ASSERT_EQ(f.Patch(), 0);
    EXPECT_TRUE(SyslogHas("read file [/dev/mtd2] error"));
    EXPECT_FALSE(SyslogHas("Try to Erase MTD Partition(/dev/mtd2), [1/3]"));
    std::vector<uint64_t> erased;
    for (auto &r : Since(*f.hw, mark))
        if (r.kind == "erase" && r.dev == "mtd2") erased.push_back(r.offset);
    EXPECT_EQ(erased, (std::vector<uint64_t>{0, 5 * f.block}));
    const Bytes after = f.hw->Chip();
    const Bytes want = f.Expected(before, {{"rd.gz", rd}});
    EXPECT_TRUE(after == want) << FirstDiff(after, want);
}

TEST(RedBootPatch, RollBackGoesOnAfterAFailingRowAndSkipsUntouchedOnes) {
    Flash f(true);
    f.Image("zImage", 0x20000, 1);
    f.Image("rd.bin", 0x20000, 2);
    const Bytes before = f.hw->Chip();
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    // rd.gz cannot be written; zImage was written, and then cannot be erased.
    ASSERT_TRUE(f.hw->Fault("fault write mtd2 1 always"));
    ASSERT_EQ(f.Patch(), -1);
    ASSERT_TRUE(f.hw->Fault("clearfaults"));
    ASSERT_TRUE(f.hw->Fault("fault erase mtd1 1 always"));
    const size_t mark = f.hw->Journal().size();
    EXPECT_EQ(f.RollBack(), -1);
    auto j = Since(*f.hw, mark);
    EXPECT_EQ(Count(j, "erase", "mtd1"), 3);
    EXPECT_GT(Count(j, "write", "mtd2"), 0);
    for (const char *dev : {"mtd0", "mtd3", "mtd4", "mtd5"})
        EXPECT_EQ(Count(j, "erase", dev), 0) << dev;
    // rd.gz is back although zImage before it failed.
    const Bytes after = f.hw->Chip();
    const FISDIRENTRY &rdOld = f.Entry("rd.gz");
    const size_t at = rdOld.flash_base - f.chipBase;
    EXPECT_TRUE(
        std::equal(after.begin() + at, after.begin() + at + rdOld.size, before.begin() + at));
}

TEST(RedBootPatch, SourcesAreCheckedBeforeAnythingIsUnlocked) {
    Flash f(false);
    // Without a backup (a group update), a partition the resizing moves has
    // nothing to be written from.
    f.Image("rd.bin", f.Entry("rd.gz").size + 1, 2);
    ASSERT_EQ(f.Init(), 0);
    size_t mark = f.hw->Journal().size();
    EXPECT_EQ(f.Patch(), -1);
    auto untouched = [&](size_t from) {
        auto j = Since(*f.hw, from);
        return Count(j, "unlock") + Count(j, "erase") + Count(j, "setpartinfo") + Count(j, "write");
    };
    EXPECT_EQ(untouched(mark), 0);

    // A backup cut short.
    f.Image("rd.bin", 0x1000, 2);
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    ASSERT_EQ(truncate("/tmp/upd/b@ckup/mtd_rd.gz", 0x1000), 0);
    mark = f.hw->Journal().size();
    EXPECT_EQ(f.Patch(), -1);
    EXPECT_EQ(untouched(mark), 0);

    // An image gone, or replaced by a directory, after the records were made.
    ASSERT_EQ(f.Backup(), 0);
    RemoveFile("/tmp/upd/rd.bin");
    mark = f.hw->Journal().size();
    EXPECT_EQ(f.Patch(), -1);
    EXPECT_EQ(untouched(mark), 0);
    mkdir("/tmp/upd/rd.bin", 0755);
    EXPECT_EQ(f.Patch(), -1);
    EXPECT_EQ(untouched(mark), 0);
    rmdir("/tmp/upd/rd.bin");
    // An image that grew: its first bytes are not the image.
    f.Image("rd.bin", 0x1001, 2);
    EXPECT_EQ(f.Patch(), -1);
    EXPECT_EQ(untouched(mark), 0);
}

TEST(RedBootPatch, CopyAndVerifyTakeExactlyTheLength) {
    Flash f(true);
    Bytes img = f.Image("zImage", 0x3000, 5);
    ASSERT_EQ(QAVOMTDUnlockPartition("/dev/mtd1"), 0);
    ASSERT_EQ(QAVOMTDErasePartition("/dev/mtd1"), 0);
    // A source shorter than the length is a failure, not a short success.
    EXPECT_EQ(UPDTCopyFile("/tmp/upd/zImage", "/dev/mtd1", 0x3001, 16384), -1);
    ASSERT_EQ(QAVOMTDErasePartition("/dev/mtd1"), 0);
    // A longer one: only the length is written.
    ASSERT_EQ(UPDTCopyFile("/tmp/upd/zImage", "/dev/mtd1", 0x2000, 16384), 0);
    EXPECT_EQ(UPDTVerifyFile("/tmp/upd/zImage", "/dev/mtd1", 0x2000, 8192), 0);
    EXPECT_EQ(UPDTVerifyFile("/tmp/upd/zImage", "/dev/mtd1", 0x3000, 8192), -1);
    EXPECT_EQ(UPDTVerifyFile("/tmp/upd/zImage", "/dev/mtd1", 0x3001, 8192), -1);
    // A misread in the second chunk is reported at the chunk's start.
    ASSERT_TRUE(f.hw->Fault("flip mtd1 0x2005 once"));
    ClearSyslog();
    EXPECT_EQ(UPDTVerifyFile("/tmp/upd/zImage", "/dev/mtd1", 0x2010, 8192), -1);
    EXPECT_TRUE(SyslogHas("error at offset 0x2000"));
    const Bytes chip = f.hw->Chip();
    const size_t at = f.Entry("zImage").flash_base - f.chipBase;
    EXPECT_TRUE(std::equal(img.begin(), img.begin() + 0x2000, chip.begin() + at));
    EXPECT_EQ(chip[at + 0x2000], 0xFF);
    EXPECT_EQ(UPDTCopyFile("/tmp/upd/none", "/dev/mtd1", 1, 16384), -1);
    EXPECT_EQ(UPDTCopyFile("/tmp/upd/zImage", "/dev/mtd1", 0, 16384), -1);
}

TEST(RedBootPatch, BackupCopiesAgainAfterAReadErrorAndStopsWhenItPersists) {
    Flash f(true);
    ASSERT_TRUE(f.hw->Fault("fault read mtd2 2 once"));
    EXPECT_EQ(f.Backup(), 0);
    ASSERT_TRUE(f.hw->Fault("fault read mtd2 2 always"));
    EXPECT_EQ(f.Backup(), -1);
}

// What the chip holds after a power cut at a chosen count of bytes written
// by the patch, per partition: its old data, its new data or neither, and
// whether its directory entry describes what it holds.
TEST(RedBootPatch, PowerCutTable) {
    struct Cut {
        const char *what;
        bool pomlet;
        bool grow;         // rd.bin needs more blocks than rd.gz has
        double at;         // fraction of the patch's bytes written before the cut
        const char *want;  // RedBoot zImage rd.gz [AllLib.tgz]
    } cuts[] = {
        {"start of zImage", true, false, 0.0, "old/ok neither/old old/ok"},
        {"middle of zImage", true, false, 0.25, "old/ok neither/old old/ok"},
        {"end of zImage's data", true, false, 0.4, "old/ok new/old old/ok"},
        {"middle of rd.gz", true, false, 0.7, "old/ok new/ok neither/old"},
        {"end of rd.gz's data", true, false, 1.0, "old/ok new/ok new/old"},
        // zImage only shrinks: its data stays and is not written again.
        {"start of the moved rd.gz", false, true, 0.2, "old/ok old/ok neither/old old/ok"},
        {"start of the moved AllLib.tgz", false, true, 0.6, "old/ok old/ok new/ok neither/old"},
        {"middle of the moved AllLib.tgz", false, true, 0.7, "old/ok old/ok new/ok neither/old"},
    };
    std::string table;
    for (auto &c : cuts) {
        SCOPED_TRACE(c.what);
        Flash f(c.pomlet);
        std::map<std::string, Bytes> data;
        Bytes before = f.hw->Chip();
        if (c.grow) {
            data["rd.gz"] = f.Image("rd.bin", f.Entry("rd.gz").size + f.block + 10, 9);
        } else {
            data["zImage"] = f.Image("zImage", 0x40000, 3);
            data["rd.gz"] = f.Image("rd.bin", 0x60000, 4);
        }
        ASSERT_EQ(f.Init(), 0);
        ASSERT_EQ(f.Backup(), 0);
        // Bytes the patch writes, in row order.
        uint64_t total = 0;
        std::vector<std::pair<std::string, uint64_t>> ends;
        ASSERT_EQ(ErrUPDTAdjustPartitionSize(gPatchInfo, nPatchRows), 0);
        for (int r = 0; r < nPatchRows; ++r) {
            if (!gPatchInfo[r].fneedupdate) continue;
            total += gPatchInfo[r].datalen;
            if (!data.count(gPatchInfo[r].szPart))
                data[gPatchInfo[r].szPart] = f.Old(before, gPatchInfo[r].szPart);
        }
        const uint64_t cutAt = static_cast<uint64_t>(c.at * static_cast<double>(total));
        ASSERT_TRUE(f.hw->Fault("powercut " + std::to_string(cutAt)));
        EXPECT_EQ(f.Patch(), -1);
        EXPECT_EQ(f.RollBack(), -1);  // the chip is gone
        const Bytes chip = f.hw->Chip();
        const FISDIRENTRY &d = f.dir.back();
        std::string got;
        for (int r = 0; r < nPatchRows; ++r) {
            const PATCHINFO &row = gPatchInfo[r];
            std::string name = row.szPart;
            if (name != "RedBoot" && name != "zImage" && name != "rd.gz" && name != "AllLib.tgz")
                continue;
            const FISDIRENTRY &old = f.Entry(name);
            auto same = [&](uint32_t base, const Bytes &want, const Bytes &in) {
                size_t at = base - f.chipBase;
                return std::equal(want.begin(), want.end(), in.begin() + at);
            };
            bool isOld = same(old.flash_base, f.Old(before, name), chip);
            bool isNew = data.count(name) && row.fneedupdate && same(row.start, data[name], chip);
            size_t e = d.flash_base - f.chipBase +
                       256 * GetIdxByName(row.szPart, f.dir.data(), static_cast<int>(f.dir.size()));
            uint32_t base = chip[e + 16] | chip[e + 17] << 8 | chip[e + 18] << 16 |
                            static_cast<uint32_t>(chip[e + 19]) << 24;
            uint32_t len = chip[e + 32] | chip[e + 33] << 8 | chip[e + 34] << 16 |
                           static_cast<uint32_t>(chip[e + 35]) << 24;
            bool entryNew = row.fneedupdate && base == row.start && len == row.datalen;
            bool entryOld = base == old.flash_base && len == old.data_length;
            std::string state = isOld ? "old" : isNew ? "new" : "neither";
            bool ok = (isOld && entryOld) || (isNew && entryNew);
            if (!got.empty()) got += " ";
            got += state + "/" + (ok ? "ok" : entryOld ? "old" : entryNew ? "new" : "other");
        }
        EXPECT_EQ(got, c.want);
        char line[200];
        snprintf(line, sizeof line, "%-32s %-7s cut at %8llu of %8llu: %s\n", c.what,
                 c.pomlet ? "pomlet" : "full", static_cast<unsigned long long>(cutAt),
                 static_cast<unsigned long long>(total), got.c_str());
        table += line;
    }
    std::cout << table;
}
