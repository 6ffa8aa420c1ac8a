// Shared set-up of the flash patching tests: an emulated chip with data in
// every partition, a package in /tmp/upd, and the chip expected afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "appliance.h"
#include "chip_bytes.h"
#include "qavo_mtd.h"
#include "qavosim.h"
#include "updt_patchinfo.h"
#include "updt_redboot.h"

namespace qflashtest {

using chipbytes::Bytes;
using chipbytes::PutLE;
using chipbytes::Random;

// One edition's chip with every partition holding data_length bytes of its
// own, the working tables selected and the package folder /tmp/upd entered.
struct Flash {
    bool pomlet;
    uint32_t chipBase, block;
    std::unique_ptr<qsim::Appliance> hw;
    std::vector<FISDIRENTRY> dir;  // the old flash directory

    explicit Flash(bool pom, const std::string &extra = "strict on\n")
        : pomlet(pom), chipBase(pom ? 0xFFE00000 : 0xFF800000), block(pom ? 0x10000 : 0x20000) {
        hw = std::make_unique<qsim::Appliance>(std::string("edition ") + (pom ? "pomlet" : "full") +
                                               "\n" + extra);
        UPDTSelectEdition(pom ? 1 : 0);
        ReadDir();
        Bytes chip = hw->Chip();
        for (size_t i = 0; i + 1 < dir.size(); ++i) {  // all but the directory itself
            Bytes data = Random(dir[i].data_length, 100 + static_cast<uint32_t>(i));
            size_t at = dir[i].flash_base - chipBase;
            std::copy(data.begin(), data.end(), chip.begin() + at);
        }
        EXPECT_TRUE(hw->Load(chip));
        qtest::Sh("rm -rf /tmp/upd");  // a fresh package for each chip
        mkdir("/tmp/upd", 0755);
        snprintf(szUpdateDir, sizeof szUpdateDir, "%s", "/tmp/upd");
        EXPECT_EQ(chdir("/tmp/upd"), 0);
    }
    ~Flash() { EXPECT_EQ(chdir("/"), 0); }

    void ReadDir() {
        int need = 0;
        int n = QAVOMTDGetPartitionInfo(gszDevMtdPartition, nullptr, 0, &need);
        ASSERT_GT(n, 0);
        dir.assign(n, FISDIRENTRY{});
        ASSERT_EQ(QAVOMTDGetPartitionInfo(gszDevMtdPartition, dir.data(), need, &need), n);
    }

    const FISDIRENTRY &Entry(const std::string &name) const {
        for (auto &e : dir)
            if (strncmp(e.szName, name.c_str(), 16) == 0) return e;
        ADD_FAILURE() << "no entry " << name;
        return dir[0];
    }

    // Writes an image of the package.
    Bytes Image(const std::string &file, size_t n, uint32_t seed) {
        Bytes b = Random(n, seed);
        qtest::WriteFile("/tmp/upd/" + file, std::string(b.begin(), b.end()));
        return b;
    }

    int Init() { return UPDTInitPatchInfo(dir.data(), static_cast<int>(dir.size())); }
    int Backup() { return UPDTBackupOldPartition(dir.data(), static_cast<int>(dir.size())); }
    int Patch() { return UPDTDoPatch(dir.data(), static_cast<int>(dir.size())); }
    int RollBack() { return UPDTRollBack(dir.data(), static_cast<int>(dir.size())); }

    // The chip expected after the working rows were written: each row to
    // update holds its data then 0xFF to its end and its directory entry
    // describes it; every other byte is as in before. data maps a partition
    // name to what it must hold.
    Bytes Expected(const Bytes &before, const std::map<std::string, Bytes> &data) const {
        Bytes want = before;
        const FISDIRENTRY &d = dir.back();
        for (int r = 0; r < nPatchRows; ++r) {
            const PATCHINFO &row = gPatchInfo[r];
            if (!row.fneedupdate) continue;
            size_t at = row.start - chipBase;
            std::fill(want.begin() + at, want.begin() + at + row.size, 0xFF);
            auto it = data.find(row.szPart);
            EXPECT_NE(it, data.end()) << row.szPart;
            if (it == data.end()) continue;
            std::copy(it->second.begin(), it->second.end(), want.begin() + at);
            for (size_t i = 0; i < dir.size(); ++i) {
                if (strncmp(dir[i].szName, row.szPart, 16) != 0) continue;
                size_t e = d.flash_base - chipBase + i * 256;
                PutLE(want, e + 16, row.start);
                PutLE(want, e + 24, row.size);
                PutLE(want, e + 32, row.datalen);
            }
        }
        return want;
    }

    // The old data of a partition (its data_length bytes).
    Bytes Old(const Bytes &chip, const std::string &name) const {
        const FISDIRENTRY &e = Entry(name);
        size_t at = e.flash_base - chipBase;
        return Bytes(chip.begin() + at, chip.begin() + at + e.data_length);
    }
};

// First differing offset of two chips, for messages.
inline std::string FirstDiff(const Bytes &a, const Bytes &b) {
    if (a.size() != b.size()) return "sizes differ";
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) {
            char buf[64];
            snprintf(buf, sizeof buf, "first difference at chip offset 0x%zX", i);
            return buf;
        }
    return "equal";
}

inline int Count(const std::vector<qsim::JournalRec> &j, const std::string &kind,
                 const std::string &dev = "") {
    int n = 0;
    for (auto &r : j)
        if (r.kind == kind && (dev.empty() || r.dev == dev)) ++n;
    return n;
}

}  // namespace qflashtest
