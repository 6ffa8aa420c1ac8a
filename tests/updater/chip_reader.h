// What a unit does with a chip at its next power-up, judged from the chip's
// bytes alone: this reader parses the flash directory and the partitions as
// the boot loader does and shares no code with the updater, so a fault in the
// updater's own reader cannot hide a fault of its writer.
//
// Each partition of the installed directory is found in the chip's directory
// by its name and is in one of three forms:
//   old     its entry (flash_base, size, data_length) and its data bytes are
//           those of the installed chip;
//   new     its entry and data bytes are those of the updated chip;
//   broken  anything else (a data byte or an entry word of neither form, or
//           the entry missing).
// A partition whose image the update does not change is old and new at once.
//
// The outcome of a chip, checked in this order:
//   restored     byte for byte the installed chip;
//   updated      byte for byte the updated chip;
//   bricked      the boot loader ("RedBoot"), its configuration ("RedBoot
//                Config") or its flash directory is broken: the unit does
//                not reach a boot loader that can load anything, and only a
//                repair over the serial console or JTAG brings it back;
//   unbootable   the boot loader and its directory are sound, but the kernel
//                ("zImage") or the RAM disk ("rd.gz") is broken: the boot
//                loader starts and cannot boot the system;
//   broken part  the kernel and RAM disk boot, but another partition (library
//                archive, vendor data, saved configuration) is broken;
//   mixed        every partition holds a whole image that its entry
//                describes, old or new, but the chip is neither the installed
//                nor the updated one (old and new images side by side).
// The directory is sound when it holds, entry for entry, the installed
// directory's entries or the updated directory's entries (each entry whole in
// one form or the other) and ends with an erased entry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace chipread {

using Bytes = std::vector<uint8_t>;

constexpr size_t kEntrySize = 256;

struct Entry {
    std::string name;
    uint32_t base = 0, size = 0, datalen = 0;
    Bytes raw;  // the 256 bytes
};

inline uint32_t Le32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The chip's directory: the entries of its last erase block up to the first
// whose first byte is 0xFF. False when no such end lies in the block.
inline bool ReadDirectory(const Bytes &chip, uint32_t block, std::vector<Entry> *out) {
    out->clear();
    if (chip.size() < block) return false;
    const size_t first = chip.size() - block;
    for (size_t at = first; at + kEntrySize <= chip.size(); at += kEntrySize) {
        const uint8_t *e = &chip[at];
        if (e[0] == 0xFF) return true;
        Entry x;
        size_t n = 0;
        while (n < 16 && e[n])
            ++n;
        x.name.assign(reinterpret_cast<const char *>(e), n);
        x.base = Le32(e + 16);
        x.size = Le32(e + 24);
        x.datalen = Le32(e + 32);
        x.raw.assign(e, e + kEntrySize);
        out->push_back(x);
    }
    return false;
}

enum class Outcome { kRestored, kUpdated, kMixed, kBrokenPart, kUnbootable, kBricked };

inline const char *Name(Outcome o) {
    switch (o) {
        case Outcome::kRestored:
            return "restored";
        case Outcome::kUpdated:
            return "updated";
        case Outcome::kMixed:
            return "mixed";
        case Outcome::kBrokenPart:
            return "broken part";
        case Outcome::kUnbootable:
            return "unbootable";
        case Outcome::kBricked:
            return "bricked";
    }
    return "?";
}

// Judges chips against the installed chip and the updated one.
class Judge {
  public:
    Judge(Bytes installed, Bytes updated, uint32_t chipBase, uint32_t block)
        : old_(std::move(installed)), new_(std::move(updated)), chipBase_(chipBase), block_(block) {
        okOld_ = ReadDirectory(old_, block_, &oldDir_);
        okNew_ = ReadDirectory(new_, block_, &newDir_);
    }

    // Both reference chips have a directory of the same names.
    bool Sound() const {
        if (!okOld_ || !okNew_ || oldDir_.size() != newDir_.size()) return false;
        for (size_t i = 0; i < oldDir_.size(); ++i)
            if (oldDir_[i].name != newDir_[i].name) return false;
        return true;
    }

    // old, new or broken ("same" when both).
    std::string Form(const Bytes &chip, const std::vector<Entry> &dir,
                     const std::string &name) const {
        const Entry *e = Find(dir, name);
        if (!e) return "broken";
        const bool o = Holds(chip, *e, old_, *Find(oldDir_, name));
        const bool n = Holds(chip, *e, new_, *Find(newDir_, name));
        return o && n ? "same" : o ? "old" : n ? "new" : "broken";
    }

    Outcome Of(const Bytes &chip, std::string *why = nullptr) const {
        if (chip == old_) return Outcome::kRestored;
        if (chip == new_) return Outcome::kUpdated;
        std::vector<Entry> dir;
        auto note = [&](const std::string &s) {
            if (why) *why = s;
        };
        if (!ReadDirectory(chip, block_, &dir) || dir.size() != oldDir_.size()) {
            note("directory unreadable");
            return Outcome::kBricked;
        }
        for (size_t i = 0; i < dir.size(); ++i) {
            if (dir[i].raw != oldDir_[i].raw && dir[i].raw != newDir_[i].raw) {
                note("directory entry " + std::to_string(i) + " of neither form");
                return Outcome::kBricked;
            }
        }
        Outcome worst = Outcome::kMixed;
        for (auto &e : oldDir_) {
            if (e.name == "FIS Directory") continue;
            if (Form(chip, dir, e.name) != "broken") continue;
            Outcome o = Outcome::kBrokenPart;
            if (e.name == "RedBoot" || e.name == "RedBoot Config") o = Outcome::kBricked;
            if (e.name == "zImage" || e.name == "rd.gz") o = Outcome::kUnbootable;
            if (o > worst) {
                worst = o;
                note(e.name + " broken");
            }
        }
        return worst;
    }

  private:
    static const Entry *Find(const std::vector<Entry> &dir, const std::string &name) {
        for (auto &e : dir)
            if (e.name == name) return &e;
        return nullptr;
    }

    // The chip's entry and data are the reference's.
    bool Holds(const Bytes &chip, const Entry &e, const Bytes &ref, const Entry &r) const {
        if (e.base != r.base || e.size != r.size || e.datalen != r.datalen) return false;
        if (e.base < chipBase_) return false;
        const uint64_t at = e.base - chipBase_;
        if (at + e.datalen > chip.size()) return false;
        return std::equal(chip.begin() + at, chip.begin() + at + e.datalen, ref.begin() + at);
    }

    Bytes old_, new_;
    uint32_t chipBase_, block_;
    std::vector<Entry> oldDir_, newDir_;
    bool okOld_ = false, okNew_ = false;
};

}  // namespace chipread
