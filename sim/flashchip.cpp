#include "flashchip.h"

#include <signal.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "mtd_abi.h"

static_assert(sizeof(qsim_mtd_info_user) == 32);
static_assert(sizeof(qsim_erase_info_user) == 8);
static_assert(sizeof(qsim_fis_entry_req) == 28);
static_assert(QSIM_MEMGETINFO == 0x80204D01u);
static_assert(QSIM_MEMERASE == 0x40084D02u);
static_assert(QSIM_MEMLOCK == 0x40084D05u);
static_assert(QSIM_MEMUNLOCK == 0x40084D06u);

namespace qsim {

namespace {

// Power-up layouts of the two editions. The pomlet one is the layout of the
// built-in directory the updater can restore; the full one is an 8 MiB chip
// with 128 KiB blocks.
const PartDesc kPomletParts[] = {
    {"RedBoot", 0xFFF00000, 0x40000, 0x3A448},        {"zImage", 0xFFE00000, 0xD0000, 0xC5EDA},
    {"rd.gz", 0xFFF40000, 0xB0000, 0xAEE2C},          {"vendor", 0xFFED0000, 0x10000, 0x10000},
    {"RedBoot Config", 0xFFEE0000, 0x10000, 0x10000}, {"FIS Directory", 0xFFFF0000, 0x10000, 0x600},
};
const PartDesc kFullParts[] = {
    {"RedBoot", 0xFF800000, 0x40000, 0x3A448},       {"zImage", 0xFF840000, 0x200000, 0x1C0000},
    {"rd.gz", 0xFFA40000, 0x300000, 0x2C0000},       {"AllLib.tgz", 0xFFD40000, 0x200000, 0x1A0000},
    {"vendor", 0xFFF40000, 0x20000, 0x20000},        {"qavocfg", 0xFFF60000, 0x60000, 0x60000},
    {"RedBoot Config", 0xFFFC0000, 0x20000, 0x1000}, {"FIS Directory", 0xFFFE0000, 0x20000, 0x800},
};
// M-Systems module: the full edition's rows, sizes in units of 16 KiB.
const std::array<uint32_t, 8> kMsysUnits = {16, 128, 192, 512, 8, 16, 4, 4};
const char *const kFullNames[] = {"RedBoot", "zImage",  "rd.gz",          "AllLib.tgz",
                                  "vendor",  "qavocfg", "RedBoot Config", "FIS Directory"};

bool ParseU32(const std::string &s, uint32_t *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(s.c_str(), &end, 0);
    if (errno || *end || x > 0xFFFFFFFFull) return false;
    *v = static_cast<uint32_t>(x);
    return true;
}

bool ParseU64(const std::string &s, uint64_t *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(s.c_str(), &end, 0);
    if (errno || *end) return false;
    *v = x;
    return true;
}

// Splits a line into words; a word in double quotes may hold blanks.
std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string w;
        if (line[i] == '"') {
            size_t j = line.find('"', i + 1);
            if (j == std::string::npos) j = line.size();
            w = line.substr(i + 1, j - i - 1);
            i = j + 1;
        } else {
            size_t j = i;
            while (j < line.size() && line[j] != ' ' && line[j] != '\t')
                ++j;
            w = line.substr(i, j - i);
            i = j;
        }
        out.push_back(w);
    }
    return out;
}

std::string Resolve(const std::string &dir, const std::string &path) {
    if (path.empty() || path[0] == '/' || dir.empty()) return path;
    return dir + "/" + path;
}

void Put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool IsIoctlKind(const std::string &k) {
    return k != "read" && k != "write" && k != "truncate";
}

bool ValidResult(const std::string &r) {
    if (r == "ok" || r == "absent") return true;
    return false;
}

}  // namespace

std::vector<uint8_t> FisEntry(const std::string &name, uint32_t flash_base, uint32_t size,
                              uint32_t data_length, uint32_t mem_base) {
    std::vector<uint8_t> e(QSIM_FIS_ENTRY_SIZE, 0);
    memcpy(e.data(), name.data(), std::min<size_t>(name.size(), 15));
    Put32(&e[16], flash_base);
    Put32(&e[20], mem_base);
    Put32(&e[24], size);
    Put32(&e[32], data_length);
    return e;
}

bool ParseDescription(const std::string &text, const std::string &dir, Config *cfg,
                      std::string *err) {
    Config c;
    bool custom_parts = false;
    std::string vender_line;
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    auto fail = [&](const std::string &why) {
        *err = "description line " + std::to_string(lineno) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineno;
        auto w = Words(line);
        if (w.empty()) continue;
        const std::string &k = w[0];
        if (k == "edition" && w.size() == 2 && (w[1] == "full" || w[1] == "pomlet")) {
            c.edition = w[1];
            c.flash = true;
        } else if (k == "chip" && w.size() == 4) {
            if (!ParseU32(w[1], &c.base) || !ParseU32(w[2], &c.size) || !ParseU32(w[3], &c.erase))
                return fail("bad chip geometry");
            c.flash = true;
        } else if (k == "part" && (w.size() == 4 || w.size() == 5)) {
            PartDesc p;
            p.name = w[1];
            if (p.name.empty() || p.name.size() > 15) return fail("bad partition name");
            if (!ParseU32(w[2], &p.base) || !ParseU32(w[3], &p.size)) return fail("bad part");
            p.datalen = p.size;
            if (w.size() == 5 && !ParseU32(w[4], &p.datalen)) return fail("bad data length");
            if (!custom_parts) c.parts.clear();
            custom_parts = true;
            c.flash = true;
            c.parts.push_back(p);
        } else if (k == "vender" && w.size() == 2) {
            c.vendor_part = w[1];
        } else if (k == "image" && w.size() == 2) {
            c.image = Resolve(dir, w[1]);
        } else if (k == "file" && w.size() == 3) {
            c.files.emplace_back(w[1], Resolve(dir, w[2]));
        } else if (k == "lock" && w.size() == 2 && w[1] == "none") {
            c.locked.clear();
            c.lock_given = true;
        } else if (k == "lock" && w.size() >= 2) {
            c.locked.insert(c.locked.end(), w.begin() + 1, w.end());
            c.lock_given = true;
        } else if (k == "strict" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
            c.strict = w[1] == "on";
        } else if (k == "msys" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
            c.msys = w[1] == "on";
            if (c.msys) c.flash = true;
        } else if (k == "msys-parts" && w.size() == 9) {
            for (int i = 0; i < 8; ++i)
                if (!ParseU32(w[i + 1], &c.msys_units[i])) return fail("bad unit count");
        } else if (k == "fault" || k == "flip" || k == "powercut" || k == "cut" || k == "kill") {
            c.controls.push_back(line);
        } else if (k == "uptime" && w.size() == 2) {
            uint32_t v;
            if (w[1] != "fail" && !ParseU32(w[1], &v)) return fail("bad uptime");
            c.kernel.push_back("uptime " + w[1]);
        } else if (k == "hwflags" && w.size() == 2) {
            uint32_t v;
            if (w[1] != "absent" && !ParseU32(w[1], &v)) return fail("bad hardware flags");
            c.kernel.push_back("hwflags " + w[1]);
        } else if (k == "syscall405" && w.size() >= 2) {
            // syscall405 [alloc|release] ok|absent|errno N
            size_t i = 1;
            std::string which = "both";
            if (w[1] == "alloc" || w[1] == "release") which = w[i++];
            if (i >= w.size()) return fail("syscall405 needs a result");
            std::string res = w[i];
            uint32_t e;
            if (res == "errno") {
                if (i + 1 >= w.size() || !ParseU32(w[i + 1], &e) || e == 0)
                    return fail("bad errno");
                res = "errno " + w[i + 1];
                ++i;
            } else if (!ValidResult(res)) {
                return fail("bad syscall405 result");
            }
            if (i + 1 != w.size()) return fail("extra words");
            if (which != "release") c.kernel.push_back("405alloc " + res);
            if (which != "alloc") c.kernel.push_back("405release " + res);
        } else if (k == "ethtool" && w.size() >= 2 && w.size() <= 3) {
            // ethtool SPEED [full|half] | ethtool unsupported | ethtool errno N
            uint32_t v;
            const bool speed =
                ParseU32(w[1], &v) && (w.size() == 2 || w[2] == "full" || w[2] == "half");
            const bool unsupported = w[1] == "unsupported" && w.size() == 2;
            const bool err = w[1] == "errno" && w.size() == 3 && ParseU32(w[2], &v) && v != 0;
            if (!speed && !unsupported && !err) return fail("bad ethtool answer");
            c.kernel.push_back("ethtool " + w[1] + (w.size() == 3 ? " " + w[2] : ""));
        } else if (k == "clock" && (w.size() == 2 || w.size() == 3)) {
            // clock ok|errno N: the shim answers the clock-setting calls
            uint32_t e;
            if (w.size() == 2 && w[1] == "ok") {
                c.kernel.push_back("clock ok");
            } else if (w.size() == 3 && w[1] == "errno" && ParseU32(w[2], &e) && e) {
                c.kernel.push_back("clock errno " + w[2]);
            } else {
                return fail("bad clock line");
            }
        } else if (k == "record" && w.size() == 2 && w[1].size() < 256 && w[1][0] == '/') {
            // record PATH: the shim logs every positioned write to PATH
            c.kernel.push_back("record " + w[1]);
        } else if (k == "fchdir" && w.size() == 3 && w[1] == "errno") {
            // fchdir errno N: the shim refuses the return to a directory
            uint32_t e;
            if (!ParseU32(w[2], &e) || e == 0) return fail("bad errno");
            c.kernel.push_back("fchdir errno " + w[2]);
        } else if (k == "hwversion" && w.size() == 2) {
            c.hw_version_set = true;
            c.hw_version = w[1];
        } else if (k == "serial" && w.size() == 2) {
            c.serial_set = true;
            c.serial = w[1];
        } else {
            static const char *const kKeywords[] = {
                "edition", "chip",   "part",       "vender",    "image",   "file",       "lock",
                "strict",  "msys",   "msys-parts", "uptime",    "hwflags", "syscall405", "ethtool",
                "clock",   "record", "fchdir",     "hwversion", "serial"};
            for (const char *known : kKeywords)
                if (k == known) return fail("cannot read \"" + line + "\"");
            return fail("unknown keyword \"" + k + "\" (sim/README.md lists the lines)");
        }
    }
    if (c.msys) {
        if (c.edition == "pomlet") {
            lineno = 0;
            return fail("the M-Systems module carries the full edition's 8 partitions");
        }
        if (c.msys_units == std::array<uint32_t, 8>{}) c.msys_units = kMsysUnits;
        uint64_t total = 0;
        for (auto u : c.msys_units)
            total += u;
        if (total > QSIM_MSYS_UNITS) return fail("msys-parts exceed 967 units");
        c.base = 0;
        c.erase = QSIM_MSYS_UNIT_SIZE;
        c.size = QSIM_MSYS_UNITS * QSIM_MSYS_UNIT_SIZE;
        if (c.edition.empty()) c.edition = "full";
        c.parts.clear();
        for (int i = 0; i < 8; ++i)
            c.parts.push_back({kFullNames[i], 0, 0, 0});
    } else if (c.flash && !custom_parts) {
        if (c.edition.empty()) return fail("name an edition or give part lines");
        if (c.edition == "pomlet")
            c.parts.assign(std::begin(kPomletParts), std::end(kPomletParts));
        else
            c.parts.assign(std::begin(kFullParts), std::end(kFullParts));
        if (c.size == 0) {
            c.erase = c.edition == "pomlet" ? 0x10000 : 0x20000;
            c.base = c.edition == "pomlet" ? 0xFFE00000 : 0xFF800000;
            c.size = c.edition == "pomlet" ? 0x200000 : 0x800000;
        }
    }
    if (c.flash) {
        if (c.size == 0 || c.erase == 0 || c.size % c.erase) return fail("bad chip geometry");
        if (uint64_t(c.base) + c.size > 0x100000000ull) return fail("chip beyond 4 GiB");
        if (c.parts.empty()) return fail("no partitions");
        if (!c.msys) {
            for (auto &p : c.parts) {
                if (p.base < c.base || uint64_t(p.base) + p.size > uint64_t(c.base) + c.size ||
                    (p.base - c.base) % c.erase || p.size % c.erase)
                    return fail("partition " + p.name + " outside the chip or not block aligned");
            }
        }
        if (c.vendor_part.empty()) c.vendor_part = "vendor";
    } else if (!c.controls.empty() || !c.image.empty() || !c.files.empty() || c.lock_given) {
        lineno = 0;
        return fail("flash settings without an edition, chip or msys line");
    }
    // A NOR chip powers up with every block locked; the module has no
    // block locks.
    if (c.flash && !c.msys && !c.lock_given) c.locked = {"all"};
    if (c.flash && !c.hw_version_set) {
        // The kernel's hardware-version line names the edition.
        c.hw_version_set = true;
        c.hw_version = c.edition == "pomlet" ? "QAVO-P1-y" : "QAVO-F1-n";
    }
    if (c.flash && c.msys) {
        bool has_flags = false;
        for (auto &l : c.kernel)
            has_flags |= l.rfind("hwflags ", 0) == 0;
        if (!has_flags) c.kernel.push_back("hwflags 1");
    }
    *cfg = std::move(c);
    return true;
}

// ---------------------------------------------------------------------------

bool Chip::Init(const Config &cfg, std::string *err) {
    base_ = cfg.base;
    erase_ = cfg.erase;
    strict_ = cfg.strict;
    msys_ = cfg.msys;
    bytes_.assign(cfg.size, 0xFF);
    locked_.assign(cfg.size / cfg.erase, 0);
    windows_.clear();
    if (msys_) {
        msys_units_ = cfg.msys_units;
        msys_datalen_ = {};
        LayMsysWindows();
        // A fresh module holds its partitions' data in full.
        for (int i = 0; i < 8; ++i)
            msys_datalen_[i] = msys_units_[i] * QSIM_MSYS_UNIT_SIZE;
    } else {
        for (size_t i = 0; i < cfg.parts.size(); ++i)
            windows_.push_back(
                {"mtd" + std::to_string(i), cfg.parts[i].base - base_, cfg.parts[i].size});
        // The flash directory: one entry per partition, then erased flash.
        const Window *dir = &windows_.back();
        uint64_t off = dir->start;
        for (auto &p : cfg.parts) {
            if (off + QSIM_FIS_ENTRY_SIZE > dir->start + dir->size) break;
            auto e = FisEntry(p.name, p.base, p.size, p.datalen, p.base);
            memcpy(&bytes_[off], e.data(), e.size());
            off += QSIM_FIS_ENTRY_SIZE;
        }
    }
    // /dev/mtd_vender: the window of the vendor partition.
    vendor_of_.clear();
    for (size_t i = 0; i < cfg.parts.size(); ++i) {
        if (cfg.parts[i].name == cfg.vendor_part) {
            Window w = windows_[i];
            w.dev = "mtd_vender";
            vendor_of_ = windows_[i].dev;
            windows_.push_back(w);
            break;
        }
    }
    if (!cfg.image.empty()) {
        std::ifstream f(cfg.image, std::ios::binary);
        if (!f) {
            *err = "cannot read the image " + cfg.image;
            return false;
        }
        std::vector<uint8_t> img((std::istreambuf_iterator<char>(f)),
                                 std::istreambuf_iterator<char>());
        if (img.size() != bytes_.size()) {
            *err = "the image " + cfg.image + " is not the chip's size";
            return false;
        }
        bytes_ = std::move(img);
    }
    for (auto &[dev, path] : cfg.files) {
        Window *w = Find(dev);
        std::ifstream f(path, std::ios::binary);
        if (!w || !f) {
            *err = "cannot place " + path + " on " + dev;
            return false;
        }
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)),
                                  std::istreambuf_iterator<char>());
        if (data.size() > w->size) {
            *err = path + " does not fit " + dev;
            return false;
        }
        memcpy(&bytes_[w->start], data.data(), data.size());
        if (msys_ && dev.size() == 4 && dev[3] >= '0' && dev[3] <= '7')
            msys_datalen_[dev[3] - '0'] = static_cast<uint32_t>(data.size());
    }
    for (auto &l : cfg.locked) {
        if (Control("lock " + l) != 0) {
            *err = "cannot lock " + l;
            return false;
        }
    }
    for (auto &l : cfg.controls) {
        if (Control(l) != 0) {
            *err = "bad fault line: " + l;
            return false;
        }
    }
    journal_.clear();
    power_windows_ = windows_;
    power_locked_ = locked_;
    power_units_ = msys_units_;
    power_datalen_ = msys_datalen_;
    return true;
}

void Chip::LayMsysWindows() {
    // Keep mtd_vender (if present) following row 4.
    bool had_vender = Find("mtd_vender") != nullptr;
    windows_.clear();
    uint64_t off = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t sz = uint64_t(msys_units_[i]) * QSIM_MSYS_UNIT_SIZE;
        windows_.push_back({"mtd" + std::to_string(i), off, sz});
        off += sz;
    }
    if (had_vender) {
        Window w = windows_[4];
        w.dev = "mtd_vender";
        windows_.push_back(w);
    }
}

Chip::Window *Chip::Find(const std::string &dev) {
    for (auto &w : windows_)
        if (w.dev == dev) return &w;
    return nullptr;
}
const Chip::Window *Chip::Find(const std::string &dev) const {
    for (auto &w : windows_)
        if (w.dev == dev) return &w;
    return nullptr;
}

bool Chip::HasDevice(const std::string &dev) const {
    return Find(dev) != nullptr;
}

uint64_t Chip::DeviceSize(const std::string &dev) const {
    const Window *w = Find(dev);
    return w ? w->size : 0;
}

std::vector<std::string> Chip::Devices() const {
    std::vector<std::string> out;
    for (auto &w : windows_)
        out.push_back(w.dev);
    return out;
}

void Chip::Log(const std::string &dev, const std::string &kind, uint64_t off, uint64_t len,
               int64_t res) {
    journal_.push_back({dev, kind, off, len, res});
}

int Chip::CheckFault(const std::string &dev, const std::string &kind) {
    if (frozen_) return -EIO;
    // Every line counts every operation it matches; the first line that
    // fires gives the error.
    int result = 0;
    for (auto &f : faults_) {
        if (f.spent) continue;
        if (f.dev != "any" && f.dev != dev) continue;
        if (f.kind != kind && !(f.kind == "ioctl" && IsIoctlKind(kind))) continue;
        ++f.seen;
        if (f.seen == f.nth || (f.always && f.seen > f.nth)) {
            if (!f.always) f.spent = true;
            if (result == 0) result = -f.err;
        }
    }
    return result;
}

int64_t Chip::Read(const std::string &dev, uint64_t off, uint8_t *buf, size_t len) {
    Window *w = Find(dev);
    if (!w) return -ENODEV;
    int64_t r = CheckFault(dev, "read");
    if (r == 0) {
        size_t n = off >= w->size ? 0 : std::min<uint64_t>(len, w->size - off);
        memcpy(buf, &bytes_[w->start + off], n);
        for (auto &f : flips_) {
            if (f.spent || f.dev != dev || f.offset < off || f.offset >= off + n) continue;
            buf[f.offset - off] ^= 0xFF;
            if (!f.always) f.spent = true;
        }
        r = static_cast<int64_t>(n);
    }
    Log(dev, "read", off, len, r);
    return r;
}

int64_t Chip::Write(const std::string &dev, uint64_t off, const uint8_t *buf, size_t len) {
    Window *w = Find(dev);
    if (!w) return -ENODEV;
    auto done = [&](int64_t r) {
        Log(dev, "write", off, len, r);
        return r;
    };
    if (frozen_) return done(-EIO);
    // The request counts against `cut` and `kill` as it arrives, whatever
    // becomes of it.
    const int64_t fault = CheckFault(dev, "write");
    const int torn = Interrupt();
    if (torn < 0) return done(torn);
    // A request that programs nothing: torn, the power is gone all the same.
    auto refuse = [&](int64_t e) {
        if (torn) {
            frozen_ = true;
            powercut_armed_ = false;
            e = -EIO;
        }
        return done(e);
    };
    if (fault) return refuse(fault);
    if (len == 0) return refuse(0);
    // As mtdchar: nothing at or past the end, a write across it is cut short.
    if (off >= w->size) return refuse(-ENOSPC);
    size_t n = std::min<uint64_t>(len, w->size - off);
    uint64_t at = w->start + off;
    if (!msys_) {
        for (uint64_t b = at / erase_; b <= (at + n - 1) / erase_; ++b)
            if (locked_[b]) return refuse(-EROFS);
        if (strict_) {
            for (size_t i = 0; i < n; ++i)
                if (buf[i] & ~bytes_[at + i]) return refuse(-EIO);
        }
    }
    bool cut = false;
    if (powercut_armed_ && n >= powercut_left_) {
        n = powercut_left_;
        cut = true;
    }
    if (torn) {
        n /= 2;
        cut = true;
    }
    for (size_t i = 0; i < n; ++i)
        bytes_[at + i] = msys_ ? buf[i] : (bytes_[at + i] & buf[i]);
    if (msys_ && dev.size() == 4 && dev[3] >= '0' && dev[3] <= '7') {
        uint32_t &dl = msys_datalen_[dev[3] - '0'];
        dl = std::max<uint32_t>(dl, static_cast<uint32_t>(off + n));
    }
    if (cut) {
        frozen_ = true;
        powercut_armed_ = false;
        return done(-EIO);
    }
    if (powercut_armed_) powercut_left_ -= n;
    return done(static_cast<int64_t>(n));
}

void Chip::NoteTruncate(const std::string &dev) {
    Log(dev, "truncate", 0, 0, 0);
}

int Chip::Interrupt() {
    if (cut_left_ && --cut_left_ == 0) return 1;
    if (kill_left_ && --kill_left_ == 0) {
        // The caller and its parents up to the named program die before the
        // operation; nothing of it happens.
        for (int pid = caller_, hops = 0; pid > 1 && hops < 16; ++hops) {
            std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(st)),
                             std::istreambuf_iterator<char>());
            size_t open = text.find('('), close = text.rfind(')');
            if (open == std::string::npos || close == std::string::npos) break;
            const std::string comm = text.substr(open + 1, close - open - 1);
            int ppid = 0;
            if (sscanf(text.c_str() + close + 1, " %*c %d", &ppid) != 1) break;
            kill(pid, SIGKILL);
            if (comm == kill_prog_) break;
            pid = ppid;
        }
        return -EIO;
    }
    return 0;
}

int Chip::Range(const Window &w, uint32_t start, uint32_t len, bool aligned) const {
    if (len == 0 || start >= w.size || len > w.size - start) return -EINVAL;
    if (aligned && ((start % erase_) || (len % erase_))) return -EINVAL;
    return 0;
}

int Chip::Ioctl(const std::string &dev, unsigned cmd, const void *in, size_t in_len, void *out,
                size_t out_len) {
    Window *w = Find(dev);
    if (!w) return -ENODEV;
    std::string kind = "ioctl";
    size_t need_in = 0, need_out = 0;
    switch (cmd) {
        case QSIM_MEMGETINFO:
            kind = "getinfo";
            need_out = 32;
            break;
        case QSIM_MEMERASE:
            kind = "erase";
            need_in = 8;
            break;
        case QSIM_MEMLOCK:
            kind = "lock";
            need_in = 8;
            break;
        case QSIM_MEMUNLOCK:
            kind = "unlock";
            need_in = 8;
            break;
        case QSIM_MEMSETPARTINFO:
            kind = "setpartinfo";
            need_in = 8;
            break;
        case QSIM_MEMSETFISENTRY:
            kind = "setfisentry";
            need_in = 28;
            break;
        case QSIM_PRIV_MSYSGETPARTS:
            kind = "msysgetparts";
            need_out = 64;
            break;
        case QSIM_PRIV_MSYSFORMAT:
            kind = "msysformat";
            need_in = 4;
            break;
        case QSIM_PRIV_MSYSPARTITION:
            kind = "msyspartition";
            need_in = 32;
            break;
        default:
            break;
    }
    uint64_t a = 0, b = 0;
    if (need_in >= 8 && in_len >= 8) {
        auto p = static_cast<const uint8_t *>(in);
        a = Get32(p + (cmd == QSIM_MEMSETFISENTRY ? 16 : 0));
        b = Get32(p + (cmd == QSIM_MEMSETFISENTRY ? 20 : 4));
    } else if (need_in == 4 && in_len >= 4) {
        a = Get32(static_cast<const uint8_t *>(in));
    }
    int r;
    if (kind == "ioctl" || in_len < need_in || out_len < need_out) {
        r = -ENOTTY;
    } else {
        // A changing request counts against `cut` and `kill` as it arrives,
        // also one that a fault line fails or the chip refuses.
        const bool frozen = frozen_;
        r = CheckFault(dev, kind);
        int torn = 0;
        if (!frozen && (kind == "erase" || kind == "setfisentry")) torn = Interrupt();
        if (torn < 0) {
            r = torn;
        } else if (torn) {
            // The power goes in the middle of it: an erase clears the first
            // half of its range (one a fault line fails, nothing), the
            // kernel's entry rewrite does not happen.
            if (r == 0 && kind == "erase" && in_len >= 8) {
                auto p = static_cast<const uint8_t *>(in);
                uint32_t start = Get32(p), len = Get32(p + 4);
                if (Range(*w, start, len, true) == 0) {
                    uint64_t b0 = (w->start + start) / erase_,
                             b1 = (w->start + start + len) / erase_;
                    bool locked = false;
                    for (uint64_t b = b0; b < b1 && !msys_; ++b)
                        locked |= locked_[b] != 0;
                    if (!locked) memset(&bytes_[w->start + start], 0xFF, len / 2);
                }
            }
            frozen_ = true;
            r = -EIO;
        } else if (r == 0) {
            r = DoIoctl(*w, kind, cmd, in, out);
        }
    }
    Log(dev, kind, kind == "ioctl" ? cmd : a, b, r);
    return r;
}

int Chip::DoIoctl(Window &w, const std::string &kind, unsigned, const void *in, void *out) {
    auto p = static_cast<const uint8_t *>(in);
    if (kind == "getinfo") {
        qsim_mtd_info_user info{};
        info.type = QSIM_MTD_NORFLASH;
        info.flags = QSIM_MTD_CAP_NORFLASH;
        info.size = static_cast<uint32_t>(w.size);
        info.erasesize = erase_;
        info.writesize = 1;
        memcpy(out, &info, sizeof info);
        return 0;
    }
    if (kind == "erase" || kind == "lock" || kind == "unlock") {
        uint32_t start = Get32(p), len = Get32(p + 4);
        int r = Range(w, start, len, true);
        if (r) return r;
        uint64_t b0 = (w.start + start) / erase_, b1 = (w.start + start + len) / erase_;
        if (kind == "erase") {
            if (!msys_) {
                for (uint64_t b = b0; b < b1; ++b)
                    if (locked_[b]) return -EROFS;
            }
            memset(&bytes_[w.start + start], 0xFF, len);
        } else {
            for (uint64_t b = b0; b < b1; ++b)
                locked_[b] = kind == "lock";
        }
        return 0;
    }
    if (kind == "setpartinfo") {
        if (msys_) return -ENOTTY;
        uint32_t start = Get32(p), size = Get32(p + 4);
        if (start < base_ || size == 0 || (start - base_) % erase_ || size % erase_ ||
            uint64_t(start - base_) + size > bytes_.size())
            return -EINVAL;
        w.start = start - base_;
        w.size = size;
        // The vendor alias follows its partition.
        if (w.dev == vendor_of_)
            if (Window *v = Find("mtd_vender")) v->start = w.start, v->size = w.size;
        return 0;
    }
    if (kind == "setfisentry") {
        if (msys_) return -ENOTTY;
        char name[16];
        memcpy(name, p, 16);
        name[15] = 0;
        // The kernel rewrites the entry whatever the block's lock state.
        for (uint64_t off = 0; off + QSIM_FIS_ENTRY_SIZE <= w.size; off += QSIM_FIS_ENTRY_SIZE) {
            uint8_t *e = &bytes_[w.start + off];
            if (e[0] == 0xFF) break;
            if (strncmp(reinterpret_cast<char *>(e), name, 16) != 0) continue;
            memcpy(e + 16, p + 16, 4);  // flash_base
            memcpy(e + 24, p + 20, 4);  // size
            memcpy(e + 32, p + 24, 4);  // data_length
            return 0;
        }
        return -ENOENT;
    }
    // The module requests exist on /dev/mtd0 of a module only.
    if (!msys_ || w.dev != "mtd0") return -ENOTTY;
    if (kind == "msysgetparts") {
        uint8_t *o = static_cast<uint8_t *>(out);
        for (int i = 0; i < 8; ++i) {
            Put32(o + 8 * i, msys_units_[i] * QSIM_MSYS_UNIT_SIZE);
            Put32(o + 8 * i + 4, msys_datalen_[i]);
        }
        return 0;
    }
    if (kind == "msysformat") {
        if (Get32(p) != QSIM_MSYS_UNITS) return -EINVAL;
        std::fill(bytes_.begin(), bytes_.end(), 0xFF);
        msys_units_ = {};
        msys_datalen_ = {};
        LayMsysWindows();
        return 0;
    }
    if (kind == "msyspartition") {
        std::array<uint32_t, 8> units;
        uint64_t total = 0;
        for (int i = 0; i < 8; ++i)
            total += units[i] = Get32(p + 4 * i);
        if (total > QSIM_MSYS_UNITS) return -ENOSPC;
        msys_units_ = units;
        msys_datalen_ = {};
        LayMsysWindows();
        return 0;
    }
    return -ENOTTY;
}

int Chip::Control(const std::string &line) {
    auto w = Words(line);
    if (w.empty()) return 0;
    const std::string &k = w[0];
    auto dev_ok = [&](const std::string &d) { return d == "any" || Find(d) != nullptr; };
    if (k == "fault" && w.size() >= 4) {
        // fault KIND DEV N [once|always] [errno E]
        Fault f;
        f.kind = w[1];
        f.dev = w[2];
        static const char *const kinds[] = {
            "read",        "write",       "erase", "lock",         "unlock",     "getinfo",
            "setpartinfo", "setfisentry", "ioctl", "msysgetparts", "msysformat", "msyspartition"};
        bool known = false;
        for (auto kn : kinds)
            known |= f.kind == kn;
        if (!known || !dev_ok(f.dev) || !ParseU64(w[3], &f.nth) || f.nth == 0) return -EINVAL;
        for (size_t i = 4; i < w.size(); ++i) {
            uint32_t e;
            if (w[i] == "once") {
                f.always = false;
            } else if (w[i] == "always") {
                f.always = true;
            } else if (w[i] == "errno" && i + 1 < w.size() && ParseU32(w[i + 1], &e) && e) {
                f.err = static_cast<int>(e);
                ++i;
            } else {
                return -EINVAL;
            }
        }
        faults_.push_back(f);
        return 0;
    }
    if (k == "flip" && (w.size() == 3 || w.size() == 4)) {
        Flip f;
        f.dev = w[1];
        if (!Find(f.dev) || !ParseU64(w[2], &f.offset)) return -EINVAL;
        if (w.size() == 4) {
            if (w[3] != "once" && w[3] != "always") return -EINVAL;
            f.always = w[3] == "always";
        }
        flips_.push_back(f);
        return 0;
    }
    if (k == "powercut" && w.size() == 2) {
        if (!ParseU64(w[1], &powercut_left_)) return -EINVAL;
        powercut_armed_ = true;
        return 0;
    }
    if (k == "cut" && w.size() == 2) {
        if (!ParseU64(w[1], &cut_left_) || cut_left_ == 0) return -EINVAL;
        return 0;
    }
    if (k == "kill" && w.size() == 3) {
        if (!ParseU64(w[1], &kill_left_) || kill_left_ == 0) return -EINVAL;
        kill_prog_ = w[2];
        return 0;
    }
    if (k == "clearfaults" && w.size() == 1) {
        faults_.clear();
        flips_.clear();
        powercut_armed_ = false;
        cut_left_ = kill_left_ = 0;
        return 0;
    }
    if (k == "powerup" && w.size() == 1) {
        // A power cycle: the bytes stay, the rest is as at power-up.
        windows_ = power_windows_;
        locked_ = power_locked_;
        if (msys_) msys_units_ = power_units_, msys_datalen_ = power_datalen_;
        frozen_ = false;
        faults_.clear();
        flips_.clear();
        powercut_armed_ = false;
        cut_left_ = kill_left_ = 0;
        journal_.clear();
        return 0;
    }
    if (k == "clearjournal" && w.size() == 1) {
        journal_.clear();
        return 0;
    }
    if (k == "strict" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        strict_ = w[1] == "on";
        return 0;
    }
    if ((k == "lock" || k == "unlock") && w.size() >= 2) {
        for (size_t i = 1; i < w.size(); ++i) {
            if (w[i] == "all") {
                std::fill(locked_.begin(), locked_.end(), k == "lock");
                continue;
            }
            const Window *win = Find(w[i]);
            if (!win) return -EINVAL;
            for (uint64_t b = win->start / erase_; b < (win->start + win->size) / erase_; ++b)
                locked_[b] = k == "lock";
        }
        return 0;
    }
    return -EINVAL;
}

std::string Chip::JournalText() const {
    std::string out;
    char buf[160];
    for (auto &j : journal_) {
        snprintf(buf, sizeof buf, "%s %s 0x%" PRIx64 " 0x%" PRIx64 " %" PRId64 "\n", j.dev.c_str(),
                 j.kind.c_str(), j.offset, j.length, j.result);
        out += buf;
    }
    return out;
}

std::string Chip::StatusText() const {
    std::string out;
    char buf[160];
    snprintf(buf, sizeof buf, "chip 0x%08X 0x%zX 0x%X\nfrozen %d\nstrict %d\nmsys %d\n", base_,
             bytes_.size(), erase_, frozen_ ? 1 : 0, strict_ ? 1 : 0, msys_ ? 1 : 0);
    out += buf;
    for (auto &w : windows_) {
        // Device, CPU start, size, locked blocks among its blocks.
        uint64_t nlocked = 0;
        for (uint64_t b = w.start / erase_; b < (w.start + w.size) / erase_; ++b)
            nlocked += locked_[b];
        snprintf(buf, sizeof buf, "window %s 0x%08" PRIX64 " 0x%" PRIX64 " %" PRIu64 "\n",
                 w.dev.c_str(), base_ + w.start, w.size, nlocked);
        out += buf;
    }
    if (msys_) {
        for (int i = 0; i < 8; ++i) {
            snprintf(buf, sizeof buf, "msyspart %d %u %u\n", i, msys_units_[i], msys_datalen_[i]);
            out += buf;
        }
    }
    return out;
}

}  // namespace qsim
