// qavo-rehearse-report: the report of a rehearsed update (sim/qavo-rehearse),
// on the host.
//   qavo-rehearse-report dir CHIP            the partitions of a chip image
//   qavo-rehearse-report changed BEFORE AFTER [TABLE-BEFORE TABLE-AFTER]
//                                            each partition of AFTER: "same",
//                                            "moved" (its data intact at
//                                            another place or size) or
//                                            "changed" against BEFORE; a
//                                            module's partition tables as the
//                                            emulator's status lists them
//                                            ("msyspart I UNITS DATALEN"),
//                                            when they are not its power-up
//                                            table
//   qavo-rehearse-report key CODE            the message key and the meaning
//                                            of an exit status
//   qavo-rehearse-report layout CHIP         the description lines (sim/README.md)
//                                            of the chip and the partitions its
//                                            own flash directory lays out
// A NOR chip image holds the raw bytes of the whole chip, byte 0 at the
// chip's lowest CPU address; the chip ends at the top of the 32-bit address
// space and its last erase block holds the directory (8 MiB: 128 KiB blocks,
// 2 MiB: 64 KiB blocks). An M-Systems module image holds the module's 967
// units of 16 KiB; its partition table is not among them, so its rows are
// the module's power-up table unless a table is given.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "flashchip.h"
#include "mtd_abi.h"
#include "updt_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kFullSize = 0x800000, kPomletSize = 0x200000;
constexpr size_t kMsysSize = size_t{QSIM_MSYS_UNITS} * QSIM_MSYS_UNIT_SIZE;

struct Entry {
    std::string name;
    uint32_t base = 0, size = 0, datalen = 0;
};

// A chip image, or the reason it cannot be read ("no such file", ...).
bool Load(const char *path, Bytes *out, std::string *why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = errno == ENOENT ? "no such file" : strerror(errno);
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *why = "cannot be read (is it a directory?)";
        return false;
    }
    return true;
}

uint32_t LE(const Bytes &b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

bool Msys(const Bytes &chip) {
    return chip.size() == kMsysSize;
}

uint64_t ChipBase(const Bytes &chip) {
    return Msys(chip) ? 0 : (uint64_t{1} << 32) - chip.size();
}

uint32_t EraseBlock(const Bytes &chip) {
    return chip.size() == kFullSize ? 0x20000 : chip.size() == kPomletSize ? 0x10000 : 0;
}

// A module's partition table from the emulator's status lines
// ("msyspart I UNITS DATALEN"), named as the power-up rows are; false when
// the file cannot be read or lists no row.
bool MsysTable(const char *path, std::vector<Entry> *out, std::string *why) {
    std::ifstream in(path);
    if (!in) {
        *why = errno == ENOENT ? "no such file" : strerror(errno);
        return false;
    }
    qsim::Config cfg;
    std::string err;
    if (!qsim::ParseDescription("msys on\n", ".", &cfg, &err)) {
        *why = err;
        return false;
    }
    out->assign(cfg.parts.size(), Entry{});
    std::vector<bool> seen(cfg.parts.size());
    std::string line;
    while (std::getline(in, line)) {
        unsigned idx = 0, units = 0, datalen = 0;
        char tail = 0;
        if (sscanf(line.c_str(), "msyspart %u %u %u %c", &idx, &units, &datalen, &tail) != 3 ||
            idx >= out->size() || units > QSIM_MSYS_UNITS)
            continue;
        (*out)[idx] = {cfg.parts[idx].name, 0, units * QSIM_MSYS_UNIT_SIZE, datalen};
        seen[idx] = true;
    }
    for (size_t i = 0; i < seen.size(); ++i)
        if (!seen[i]) {
            *why = "no module partition table (msyspart lines) in it";
            return false;
        }
    uint32_t at = 0;
    for (auto &e : *out) {
        e.base = at;
        at += e.size;
        if (at > kMsysSize) {
            *why = "its partitions exceed the module";
            return false;
        }
    }
    return true;
}

// The partitions of a chip: the NOR chip's directory entries up to the first
// erased one, or the module's power-up rows.
bool Partitions(const Bytes &chip, std::vector<Entry> *out) {
    out->clear();
    if (Msys(chip)) {
        qsim::Config cfg;
        std::string err;
        if (!qsim::ParseDescription("msys on\n", ".", &cfg, &err)) return false;
        uint32_t at = 0;
        for (size_t i = 0; i < cfg.parts.size(); ++i) {
            const uint32_t size = cfg.msys_units[i] * QSIM_MSYS_UNIT_SIZE;
            out->push_back({cfg.parts[i].name, at, size, size});
            at += size;
        }
        return true;
    }
    const uint32_t block = EraseBlock(chip);
    if (block == 0) return false;
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

// The bytes of a partition (its first n bytes), or nothing when they lie
// outside the chip.
Bytes Part(const Bytes &chip, const Entry &e, uint32_t n) {
    const uint64_t base = ChipBase(chip);
    if (e.base < base || e.base - base + n > chip.size()) return {};
    const size_t at = static_cast<size_t>(e.base - base);
    return Bytes(chip.begin() + at, chip.begin() + at + n);
}

// Why the directory cannot lay out the chip's devices, or "" when it can:
// every entry named, block-aligned inside the chip, its data inside itself,
// no two overlapping, and the directory itself last (the kernel numbers the
// devices in directory order and the updater reads the directory from the
// edition's last device).
std::string LayoutFault(const Bytes &chip, const std::vector<Entry> &dir) {
    const uint64_t base = ChipBase(chip), end = base + chip.size();
    const uint32_t block = EraseBlock(chip);
    const size_t rows = chip.size() == kFullSize ? 8 : 6;
    if (dir.size() != rows)
        return "the directory holds " + std::to_string(dir.size()) + " entries, the " +
               (rows == 8 ? "full" : "pomlet") + " edition's kernel lays out " +
               std::to_string(rows);
    for (size_t i = 0; i < dir.size(); ++i) {
        const Entry &e = dir[i];
        const std::string at = "entry " + std::to_string(i) + " [" + e.name + "]: ";
        if (e.name.empty() || e.name.size() > 15 || e.name.find('"') != std::string::npos)
            return at + "no usable name";
        for (char c : e.name)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
                return at + "no usable name";
        if (e.size == 0 || e.base < base || uint64_t{e.base} + e.size > end)
            return at + "lies outside the chip";
        if ((e.base - base) % block || e.size % block)
            return at + "is not aligned to the " + std::to_string(block / 1024) +
                   " KiB erase blocks";
        if (e.datalen > e.size) return at + "holds more data than its size";
        for (size_t j = 0; j < i; ++j)
            if (e.base < uint64_t{dir[j].base} + dir[j].size &&
                dir[j].base < uint64_t{e.base} + e.size)
                return at + "overlaps entry " + std::to_string(j) + " [" + dir[j].name + "]";
    }
    const Entry &last = dir.back();
    if (last.base != end - block)
        return "entry " + std::to_string(dir.size() - 1) + " [" + last.name +
               "]: the last entry must be the directory in the chip's last erase block";
    return "";
}

// The meaning of an exit status of the updater as a shell reports it: 0 to
// 24 its codes, 255 its -1, 128 + N a run ended by signal N.
std::string Meaning(long code) {
    if (code >= 0 && code < UPDT_ERR_COUNT)
        return std::string(UPDT_ERR_TABLE[code]) + ": " + UPDT_ERR_MEANING[code];
    if (code == 255 || code == -1) return "(bad option): the command line was refused";
    if (code > 128 && code < 128 + NSIG) {
        const int sig = static_cast<int>(code - 128);
        const char *name = sigabbrev_np(sig);
        return std::string("(killed): ended by signal ") + std::to_string(sig) +
               (name ? std::string(" (SIG") + name + ")" : "");
    }
    if (code == 125)
        return "(rehearsal): the rehearsal itself could not run (the status of qavo-rehearse, "
               "not of the updater)";
    return "(unknown): not an exit status of the updater";
}

const char *kUsage =
    "usage: qavo-rehearse-report dir CHIP | changed BEFORE AFTER [TABLE-BEFORE TABLE-AFTER] | "
    "key CODE | layout CHIP\n";

int Usage() {
    fputs(kUsage, stderr);
    return 2;
}

int Refuse(const char *path, const std::string &why) {
    fprintf(stderr, "qavo-rehearse-report: %s: %s\n", path, why.c_str());
    return 1;
}

const char *kSizes =
    "no chip image: a whole chip is 8388608 bytes (full), 2097152 (pomlet) or "
    "15843328 (M-Systems module)";

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 3) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "key" && argc == 3) {
        char *end = nullptr;
        errno = 0;
        long code = strtol(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0' || errno) return Usage();
        puts(Meaning(code).c_str());
        return 0;
    }
    if ((cmd == "dir" || cmd == "layout") && argc == 3) {
        Bytes chip;
        std::vector<Entry> dir;
        std::string why;
        if (!Load(argv[2], &chip, &why)) return Refuse(argv[2], why);
        if (!Partitions(chip, &dir)) return Refuse(argv[2], kSizes);
        if (cmd == "dir") {
            printf("%-16s %-10s %-10s %-10s\n", "partition", "base", "size", "data");
            for (auto &e : dir)
                printf("%-16s 0x%08X 0x%08X 0x%08X\n", e.name.c_str(), e.base, e.size, e.datalen);
            return 0;
        }
        if (Msys(chip)) {
            puts("msys on");
            return 0;
        }
        if (std::string fault = LayoutFault(chip, dir); !fault.empty())
            return Refuse(argv[2], "its flash directory cannot describe the chip: " + fault);
        printf("chip 0x%08X 0x%zX 0x%X\n", static_cast<uint32_t>(ChipBase(chip)), chip.size(),
               EraseBlock(chip));
        for (auto &e : dir)
            printf("part \"%s\" 0x%08X 0x%X 0x%X\n", e.name.c_str(), e.base, e.size, e.datalen);
        return 0;
    }
    if (cmd == "changed" && (argc == 4 || argc == 6)) {
        Bytes before, after;
        std::vector<Entry> oldDir, newDir;
        std::string why;
        if (!Load(argv[2], &before, &why)) return Refuse(argv[2], why);
        if (!Load(argv[3], &after, &why)) return Refuse(argv[3], why);
        if (!Partitions(before, &oldDir)) return Refuse(argv[2], kSizes);
        if (!Partitions(after, &newDir)) return Refuse(argv[3], kSizes);
        if (before.size() != after.size()) {
            fprintf(stderr, "qavo-rehearse-report: two chip images of one edition needed\n");
            return 1;
        }
        if (argc == 6) {
            // The tables the module had before and after, not its power-up one.
            if (!Msys(before)) {
                fprintf(stderr,
                        "qavo-rehearse-report: partition tables go with module images "
                        "only\n");
                return 1;
            }
            if (!MsysTable(argv[4], &oldDir, &why)) return Refuse(argv[4], why);
            if (!MsysTable(argv[5], &newDir, &why)) return Refuse(argv[5], why);
        }
        for (auto &n : newDir) {
            const Entry *o = nullptr;
            for (auto &e : oldDir)
                if (e.name == n.name) o = &e;
            const char *verdict = "changed";
            if (o && o->base == n.base && o->size == n.size && o->datalen == n.datalen &&
                Part(before, *o, o->size) == Part(after, n, n.size))
                verdict = "same";
            else if (o && o->datalen == n.datalen && (o->base != n.base || o->size != n.size) &&
                     Part(before, *o, o->datalen) == Part(after, n, n.datalen) &&
                     !Part(after, n, n.datalen).empty())
                verdict = "moved";
            printf("%-16s %s\n", n.name.c_str(), verdict);
        }
        return 0;
    }
    return Usage();
}
