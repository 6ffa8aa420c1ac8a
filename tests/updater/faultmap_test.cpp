// The fault map: what a power cut, or a kill of the updater, at each flash
// operation of a complete update leaves on the chip, judged by a reader that
// shares no code with the updater (chip_reader.h, which defines the
// outcomes), and what one transient fault at each operation leaves.
//
// A package brings every image (as a unit's firmware does); only the kernel
// and the RAM disk differ from what is installed. Each run starts on a chip
// just powered up, every block locked, as a unit's. Three updates: on the full
// edition, on the pomlet edition, and on a full-edition layout where the new
// RAM disk needs one erase block more than its partition has (the library
// archive gives it and moves).
//
// A first run without faults gives the reference: its operations that change
// the chip (writes, erases, directory-entry rewrites), numbered 1.. in the
// order the emulator saw them. Then, for each number N, a fresh unit:
//   cut N   the power goes in the middle of operation N (half a write
//           programmed, half an erase done; an entry rewrite, which is the
//           kernel's, not done), the chip frozen from then on;
//   kill N  the updater (with dd, when dd is the caller) is killed just
//           before operation N.
// The test asserts the outcome of every cut and every kill (the table at the
// end), and every run must repeat the reference's operations up to N: the map
// is deterministic. It prints each point with the bytes of its operation
// (bytes programmed, bytes erased, 12 for an entry rewrite), the bytes of
// flash work exposed to each outcome that doc/update-fault-map.md publishes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "appliance.h"
#include "chip_bytes.h"
#include "chip_reader.h"
#include "qavosim.h"

using namespace qtest;
using chipbytes::PutLE;
using chipbytes::Random;
using chipread::Bytes;
using chipread::Outcome;

namespace {

const std::string kPkg = "/volume1/upd@te";

// One partition of a scenario: what is installed and what the package brings.
struct Part {
    const char *name;
    const char *file;           // image file of the package; null: the package has none
    uint32_t installed;         // installed data length (0: keep the layout's)
    uint32_t image;             // length of a new image; 0: the installed bytes
    uint32_t newBase, newSize;  // after the resizing (0: unchanged)
};

struct Scenario {
    const char *name;
    bool pomlet;
    std::string layout;  // description lines of the chip
    uint32_t chipBase, block;
    std::vector<Part> parts;
};

// The resizing runs on a layout of 64 KiB blocks with the full edition's
// eight partitions, so that an image one block too large stays small.
const std::string kResizeLayout = R"(chip 0xFFE00000 0x200000 0x10000
part RedBoot 0xFFE00000 0x40000
part zImage 0xFFE40000 0x10000
part rd.gz 0xFFE50000 0x10000
part AllLib.tgz 0xFFE60000 0x30000
part vendor 0xFFF80000 0x10000
part qavocfg 0xFFF90000 0x30000
part "RedBoot Config" 0xFFFE0000 0x10000 0x1000
part "FIS Directory" 0xFFFF0000 0x10000 0x800
)";

// Small images keep the map to a few dozen operations: each image is one
// chunk of the writer, but the grown RAM disk of the resizing.
const Scenario kFull{"full",
                     false,
                     "edition full\n",
                     0xFF800000,
                     0x20000,
                     {{"RedBoot", "RedBoot.msys", 0x4000, 0, 0, 0},
                      {"zImage", "zImage", 0x3000, 0x4000, 0, 0},
                      {"rd.gz", "rd.bin", 0x3000, 0x3800, 0, 0},
                      {"AllLib.tgz", "AllLib.tgz", 0x2000, 0, 0, 0},
                      {"vendor", "vendor", 0x1000, 0, 0, 0},
                      {"qavocfg", "qavocfg", 0x2000, 0, 0, 0},
                      {"RedBoot Config", nullptr, 0, 0, 0, 0}}};

const Scenario kPomlet{"pomlet",
                       true,
                       "edition pomlet\n",
                       0xFFE00000,
                       0x10000,
                       {{"RedBoot", "RedBoot.msys", 0x4000, 0, 0, 0},
                        {"zImage", "zImage", 0x3000, 0x4000, 0, 0},
                        {"rd.gz", "rd.bin", 0x3000, 0x3800, 0, 0},
                        {"vendor", "vendor", 0x1000, 0, 0, 0},
                        {"RedBoot Config", nullptr, 0, 0, 0, 0}}};

// rd.bin needs 2 blocks where rd.gz has 1: the library archive, the only
// movable partition with blocks to spare, gives one and moves up behind it.
const Scenario kResize{"resize",
                       false,
                       kResizeLayout,
                       0xFFE00000,
                       0x10000,
                       {{"RedBoot", "RedBoot.msys", 0x4000, 0, 0, 0},
                        {"zImage", "zImage", 0x3000, 0x4000, 0, 0},
                        {"rd.gz", "rd.bin", 0x3000, 0x14000, 0xFFE50000, 0x20000},
                        {"AllLib.tgz", "AllLib.tgz", 0x2000, 0, 0xFFE70000, 0x20000},
                        {"vendor", "vendor", 0x1000, 0, 0, 0},
                        {"qavocfg", "qavocfg", 0x2000, 0, 0, 0},
                        {"RedBoot Config", nullptr, 0, 0, 0, 0}}};

// One chip-changing operation of the reference run.
struct Op {
    std::string dev, kind;
    uint64_t offset = 0, length = 0;
    uint64_t Weight() const { return kind == "setfisentry" ? 12 : length; }
    std::string Text() const { return dev + " " + kind; }
    bool operator==(const Op &o) const {
        return dev == o.dev && kind == o.kind && offset == o.offset && length == o.length;
    }
};

bool Changes(const qsim::JournalRec &r) {
    return r.kind == "write" || r.kind == "erase" || r.kind == "setfisentry";
}

std::vector<Op> ChangingOps(const std::vector<qsim::JournalRec> &j) {
    std::vector<Op> out;
    for (auto &r : j)
        if (Changes(r)) out.push_back({r.dev, r.kind, r.offset, r.length});
    return out;
}

// The installed chip, the package and the updated chip of a scenario, and
// runs of the updater on fresh units.
class Unit {
  public:
    explicit Unit(const Scenario &s)
        : s_(s), hw_(std::make_unique<qsim::Appliance>(s.layout + "strict on\nuptime 120\n")) {
        // The services do not matter here: start scripts that only answer
        // keep each run to its flash work.
        EXPECT_EQ(Sh("for f in /usr/qavo/etc/rc.d/*; do rm -f \"$f\" && "
                     "printf '#!/bin/sh\\nexit 0\\n' > \"$f\" && chmod 755 \"$f\"; done"),
                  0);
        Bytes chip = hw_->Chip();
        std::vector<chipread::Entry> dir;
        EXPECT_TRUE(chipread::ReadDirectory(chip, s.block, &dir));
        const size_t dirAt = chip.size() - s.block;
        after_ = chip;  // filled below
        for (size_t i = 0; i < dir.size(); ++i) {
            const Part *p = Find(dir[i].name);
            if (!p) continue;  // the directory itself
            // Installed: the data then erased flash to the partition's end.
            const uint32_t len = p->installed ? p->installed : dir[i].datalen;
            Bytes data = Random(len, 100 + static_cast<uint32_t>(i));
            const size_t at = dir[i].base - s.chipBase;
            std::fill(chip.begin() + at, chip.begin() + at + dir[i].size, 0xFF);
            std::copy(data.begin(), data.end(), chip.begin() + at);
            PutLE(chip, dirAt + i * 256 + 32, len);
            Bytes image = p->image ? Random(p->image, 500 + static_cast<uint32_t>(i)) : data;
            if (p->file) images_[p->file] = image;
            data_[p->name] = image;
        }
        before_ = chip;
        // Updated: each row the update changes or moves holds its image then
        // erased flash, and its entry says where and how long.
        after_ = chip;
        for (size_t i = 0; i < dir.size(); ++i) {
            const Part *p = Find(dir[i].name);
            if (!p || (!p->image && !p->newBase)) continue;
            const uint32_t base = p->newBase ? p->newBase : dir[i].base;
            const uint32_t size = p->newSize ? p->newSize : dir[i].size;
            const Bytes &image = data_[p->name];
            const size_t at = base - s.chipBase;
            std::fill(after_.begin() + at, after_.begin() + at + size, 0xFF);
            std::copy(image.begin(), image.end(), after_.begin() + at);
            PutLE(after_, dirAt + i * 256 + 16, base);
            PutLE(after_, dirAt + i * 256 + 24, size);
            PutLE(after_, dirAt + i * 256 + 32, static_cast<uint32_t>(image.size()));
        }
        EXPECT_EQ(
            Sh("mkdir -p " + kPkg + " && ln -sf " + BuildDir() + "/updater " + kPkg + "/updater"),
            0);
        WriteFile(kPkg + "/VERSION",
                  std::string("unique=\"") +
                      (s.pomlet ? "qavomark_ixp420_pomlet" : "qavomark_ixp420_1hd") +
                      "\"\nmajorversion=\"2\"\nminorversion=\"0\"\nbuildphase=\"3\"\n"
                      "buildnumber=\"520\"\n");
        if (s.pomlet)
            WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"qavomark_ixp420_pomlet\"\n");
        for (auto &[file, b] : images_)
            WriteFile(kPkg + "/" + file, std::string(b.begin(), b.end()));
    }

    const Bytes &Before() const { return before_; }
    const Bytes &After() const { return after_; }
    chipread::Judge Judge() const {
        return chipread::Judge(before_, after_, s_.chipBase, s_.block);
    }

    // One run on a fresh unit with the installed chip and the given control
    // lines; returns the exit status, fills the chip and the journal.
    int Run(const std::string &controls, Bytes *chip, std::vector<qsim::JournalRec> *journal) {
        Sh("rm -rf " + kPkg +
           "/b@ckup /tmp/update.progress /tmp/update.message "
           "/var/log/qavoupdate.log /volume1/QavoUpgrade.tar.gz");
        // The installed chip on a unit just powered up.
        EXPECT_TRUE(hw_->Load(before_));
        EXPECT_TRUE(hw_->Fault("powerup"));
        uint64_t size = 0, locked = 0;
        EXPECT_TRUE(qsim::Window("mtd2", nullptr, &size, &locked));
        EXPECT_EQ(locked * s_.block, size) << "the unit powers up locked";
        if (!controls.empty()) {
            EXPECT_TRUE(hw_->Fault(controls)) << controls;
        }
        const std::string env = "LD_PRELOAD=" + BuildDir() +
                                "/sim/libqavoshim.so ASAN_OPTIONS=verify_asan_link_order=0:" +
                                (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "");
        const int code = Exec({"/bin/bash", "-c", "env " + env + " " + kPkg + "/updater"});
        *chip = hw_->Chip();
        *journal = hw_->Journal();
        return code;
    }

  private:
    const Part *Find(const std::string &name) const {
        for (auto &p : s_.parts)
            if (name == p.name) return &p;
        return nullptr;
    }

    const Scenario &s_;
    std::unique_ptr<qsim::Appliance> hw_;
    Bytes before_, after_;
    std::map<std::string, Bytes> images_;  // file -> bytes
    std::map<std::string, Bytes> data_;    // partition -> image after the update
};

// The expected map of one scenario: the outcome after a cut in, or a kill
// before, each chip-changing operation of the reference run, in order.
struct Expect {
    const Scenario *s;
    bool kill;
    std::vector<std::string> outcomes;
};

const std::vector<Expect> &Table();

// The runs are spread over shards (each its own ctest case) to keep each
// case short; every shard makes its own reference run.
constexpr int kShards = 6;

class FaultMap : public ::testing::TestWithParam<int> {};

TEST_P(FaultMap, EachCutAndKillOfACompleteUpdate) {
    const Expect &e = Table()[GetParam() / kShards];
    const int shard = GetParam() % kShards;
    const Scenario &s = *e.s;
    Unit u(s);
    Bytes chip;
    std::vector<qsim::JournalRec> journal;
    ASSERT_EQ(u.Run("", &chip, &journal), 0);
    ASSERT_TRUE(chip == u.After()) << "the reference run does not give the updated chip";
    const chipread::Judge judge = u.Judge();
    ASSERT_TRUE(judge.Sound());
    const std::vector<Op> ref = ChangingOps(journal);
    EXPECT_EQ(ref.size(), e.outcomes.size());
    for (size_t n = 1 + shard; n <= ref.size(); n += kShards) {
        const Op &op = ref[n - 1];
        const std::string line =
            e.kill ? "kill " + std::to_string(n) + " updater" : "cut " + std::to_string(n);
        const int code = u.Run(line, &chip, &journal);
        if (e.kill) {
            EXPECT_EQ(code, 128 + 9) << line;
        }
        // The same operations as the reference up to N.
        std::vector<Op> seen = ChangingOps(journal);
        EXPECT_GE(seen.size(), n) << line;
        if (seen.size() >= n) {
            seen.resize(n);
            EXPECT_TRUE(std::equal(seen.begin(), seen.end(), ref.begin())) << line;
        }
        std::string why;
        const std::string name = chipread::Name(judge.Of(chip, &why));
        if (n <= e.outcomes.size()) {
            EXPECT_EQ(name, e.outcomes[n - 1]) << line << ": " << why;
        }
        char buf[200];
        snprintf(buf, sizeof buf, "%s %s %3zu %-6s %-11s %8llu bytes  %-11s %s\n", s.name,
                 e.kill ? "kill" : "cut", n, op.dev.c_str(), op.kind.c_str(),
                 static_cast<unsigned long long>(op.Weight()), name.c_str(), why.c_str());
        std::cout << buf << std::flush;
    }
}

// One transient fault (the operation fails once, the flash stays sound) at
// each operation of the reference run that is not a read or a geometry query,
// and at the first read of each stretch of reads of one device (each backup
// copy, each verify, the directory): the update ends updated or restored,
// byte for byte, and says which by its exit status. The pomlet edition runs
// the same code on another layout; the full edition and the resizing cover it.
class TransientFault : public ::testing::TestWithParam<int> {};

const Scenario *const kScenarios[] = {&kFull, &kResize};

TEST_P(TransientFault, EndsUpdatedOrRestored) {
    const Scenario &s = *kScenarios[GetParam() / kShards];
    const int shard = GetParam() % kShards;
    Unit u(s);
    Bytes chip;
    std::vector<qsim::JournalRec> ref;
    ASSERT_EQ(u.Run("", &chip, &ref), 0);
    ASSERT_TRUE(chip == u.After());
    const chipread::Judge judge = u.Judge();
    std::map<std::string, int> seen;  // kind and device -> operations so far
    std::map<std::string, int> tally;
    std::string text;
    int picked = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const qsim::JournalRec &r = ref[i];
        const std::string key = r.kind + " " + r.dev;
        const int nth = ++seen[key];
        // One read of each stretch, one unlock; a failing geometry query is
        // the failure of the request it comes before (erase, lock, unlock),
        // which the map covers on its own.
        if (r.kind == "read" && i > 0 && ref[i - 1].kind == "read" && ref[i - 1].dev == r.dev)
            continue;
        if (r.kind == "truncate" || r.kind == "getinfo") continue;
        if ((r.kind == "unlock" || r.kind == "lock") && nth > 1) continue;
        if (picked++ % kShards != shard) continue;
        const std::string line = "fault " + key + " " + std::to_string(nth) + " once";
        std::vector<qsim::JournalRec> journal;
        const int code = u.Run(line, &chip, &journal);
        const Outcome o = judge.Of(chip);
        ++tally[chipread::Name(o)];
        text += "  " + line + ": exit " + std::to_string(code) + ", " + chipread::Name(o) + "\n";
        EXPECT_TRUE(o == Outcome::kRestored || o == Outcome::kUpdated)
            << line << ": " << chipread::Name(o);
        EXPECT_EQ(code == 0, o == Outcome::kUpdated) << line << ": exit " << code;
    }
    std::cout << "transient faults, " << s.name << ":\n" << text;
    for (auto &[k, v] : tally)
        std::cout << "  " << k << " " << v << "\n";
}

INSTANTIATE_TEST_SUITE_P(Updater, TransientFault, ::testing::Range(0, 2 * kShards),
                         [](const ::testing::TestParamInfo<int> &i) {
                             return std::string(kScenarios[i.param / kShards]->name) +
                                    std::to_string(i.param % kShards);
                         });

// The map. Only the rows whose image changes are touched, erase block by
// erase block (a block already right is left alone, one that only needs
// bits cleared is programmed, any other erased and programmed), each ending
// with its entry rewrite; the unchanged boot loader, library archive, vendor
// data and configuration are never erased, so no cut bricks the unit.
const char *const R = "restored", *const M = "mixed", *const P = "broken part",
                  *const X = "unbootable";

const std::vector<Expect> &Table() {
    static const std::vector<Expect> t = {
        {&kFull, false, {X, X, X, X, X, X}},
        {&kFull, true, {R, X, X, M, X, X}},
        {&kPomlet, false, {X, X, X, X, X, X}},
        {&kPomlet, true, {R, X, X, M, X, X}},
        // The RAM disk grows over the library archive's first block (its
        // second erase): from there the archive is broken until its own
        // entry is rewritten at its new place.
        {&kResize, false, {X, X, X, X, X, X, X, X, X, X, X, P, P}},
        {&kResize, true, {R, X, X, M, X, X, X, X, X, X, X, P, P}},
    };
    return t;
}

INSTANTIATE_TEST_SUITE_P(Updater, FaultMap, ::testing::Range(0, 6 * kShards),
                         [](const ::testing::TestParamInfo<int> &i) {
                             const Expect &e = Table()[i.param / kShards];
                             return std::string(e.s->name) + (e.kill ? "Kill" : "Cut") +
                                    std::to_string(i.param % kShards);
                         });

}  // namespace
