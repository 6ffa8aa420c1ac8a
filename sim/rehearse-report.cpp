// qavo-rehearse-report: the report of a rehearsed update (sim/qavo-rehearse),
// on the host.
//   qavo-rehearse-report dir CHIP            the flash directory of a chip image
//   qavo-rehearse-report changed BEFORE AFTER   each directory entry of AFTER:
//                                            "changed" or "same" against BEFORE
//   qavo-rehearse-report key CODE            the message key of an exit code
// A chip image holds the raw bytes of the whole chip, byte 0 at the chip's
// lowest CPU address; the chip ends at the top of the 32-bit address space
// and its last erase block holds the directory (8 MiB: 128 KiB blocks,
// 2 MiB: 64 KiB blocks).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "updt_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Entry {
    std::string name;
    uint32_t base = 0, size = 0, datalen = 0;
};

bool Load(const char *path, Bytes *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

uint32_t LE(const Bytes &b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

uint64_t ChipBase(const Bytes &chip) {
    return (uint64_t{1} << 32) - chip.size();
}

// The entries of the directory up to the first erased one.
bool Directory(const Bytes &chip, std::vector<Entry> *out) {
    uint32_t block;
    if (chip.size() == 0x800000)
        block = 0x20000;
    else if (chip.size() == 0x200000)
        block = 0x10000;
    else
        return false;
    out->clear();
    for (size_t at = chip.size() - block; at + 256 <= chip.size(); at += 256) {
        if (chip[at] == 0xFF) break;
        Entry e;
        e.name.assign(reinterpret_cast<const char *>(&chip[at]),
                      strnlen(reinterpret_cast<const char *>(&chip[at]), 16));
        e.base = LE(chip, at + 16);
        e.size = LE(chip, at + 24);
        e.datalen = LE(chip, at + 32);
        out->push_back(e);
    }
    return true;
}

// The bytes of a partition, or nothing when it lies outside the chip.
Bytes Part(const Bytes &chip, const Entry &e) {
    const uint64_t base = ChipBase(chip);
    if (e.base < base || e.base - base + e.size > chip.size()) return {};
    const size_t at = static_cast<size_t>(e.base - base);
    return Bytes(chip.begin() + at, chip.begin() + at + e.size);
}

int Usage() {
    fprintf(stderr, "usage: qavo-rehearse-report dir CHIP | changed BEFORE AFTER | key CODE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "key" && argc == 3) {
        char *end = nullptr;
        long code = strtol(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0') return Usage();
        puts(code >= 0 && code < UPDT_ERR_COUNT ? UPDT_ERR_TABLE[code] : "(bad option)");
        return 0;
    }
    if (cmd == "dir" && argc == 3) {
        Bytes chip;
        std::vector<Entry> dir;
        if (!Load(argv[2], &chip) || !Directory(chip, &dir)) {
            fprintf(stderr, "qavo-rehearse-report: %s is no chip image of either edition\n",
                    argv[2]);
            return 1;
        }
        printf("%-16s %-10s %-10s %-10s\n", "partition", "base", "size", "data");
        for (auto &e : dir)
            printf("%-16s 0x%08X 0x%08X 0x%08X\n", e.name.c_str(), e.base, e.size, e.datalen);
        return 0;
    }
    if (cmd == "changed" && argc == 4) {
        Bytes before, after;
        std::vector<Entry> oldDir, newDir;
        if (!Load(argv[2], &before) || !Load(argv[3], &after) || before.size() != after.size() ||
            !Directory(before, &oldDir) || !Directory(after, &newDir)) {
            fprintf(stderr, "qavo-rehearse-report: two chip images of one edition needed\n");
            return 1;
        }
        for (auto &n : newDir) {
            const Entry *o = nullptr;
            for (auto &e : oldDir)
                if (e.name == n.name) o = &e;
            const bool same = o && o->base == n.base && o->size == n.size &&
                              o->datalen == n.datalen && Part(before, *o) == Part(after, n);
            printf("%-16s %s\n", n.name.c_str(), same ? "same" : "changed");
        }
        return 0;
    }
    return Usage();
}
