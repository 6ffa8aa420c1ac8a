// The flash emulator against the MTD semantics the updater relies on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "appliance.h"
#include "mtd_abi.h"
#include "qavosim.h"

using namespace qtest;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kBase = 0xFFE00000, kChip = 0x200000;

// Result of a request: 0 or the errno.
int Req(const char *dev, unsigned long cmd, const void *arg) {
    int fd = open(dev, O_RDWR);
    if (fd < 0) return errno;
    int r = ioctl(fd, cmd, arg);
    int e = r < 0 ? errno : 0;
    close(fd);
    return e;
}
int Erase(const char *dev, uint32_t start, uint32_t len) {
    qsim_erase_info_user ei{start, len};
    return Req(dev, QSIM_MEMERASE, &ei);
}
int Lock(const char *dev, bool lock, uint32_t start, uint32_t len) {
    qsim_erase_info_user ei{start, len};
    return Req(dev, lock ? QSIM_MEMLOCK : QSIM_MEMUNLOCK, &ei);
}
// Writes at an offset; returns bytes written or -errno.
long WriteAt(const char *dev, off_t off, const Bytes &data) {
    int fd = open(dev, O_WRONLY);
    if (fd < 0) return -errno;
    ssize_t n = pwrite(fd, data.data(), data.size(), off);
    long r = n < 0 ? -errno : n;
    close(fd);
    return r;
}
Bytes ReadAt(const char *dev, off_t off, size_t len, long *res = nullptr) {
    Bytes b(len);
    int fd = open(dev, O_RDONLY);
    ssize_t n = fd < 0 ? -1 : pread(fd, b.data(), len, off);
    if (res) *res = n < 0 ? -errno : n;
    if (fd >= 0) close(fd);
    b.resize(n < 0 ? 0 : n);
    return b;
}
off_t DevSize(const char *dev) {
    struct stat st;
    return stat(dev, &st) == 0 ? st.st_size : -1;
}
Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return b;
}
void Put(Bytes &chip, uint32_t cpu, const Bytes &data) {
    std::copy(data.begin(), data.end(), chip.begin() + (cpu - kBase));
}
void Put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Part {
    const char *name;
    uint32_t base, size, datalen;
};
// The pomlet layout: devices mtd0..mtd5 in this order.
const Part kPomlet[] = {
    {"RedBoot", 0xFFF00000, 0x40000, 0x3A448},        {"zImage", 0xFFE00000, 0xD0000, 0xC5EDA},
    {"rd.gz", 0xFFF40000, 0xB0000, 0xAEE2C},          {"vendor", 0xFFED0000, 0x10000, 0x10000},
    {"RedBoot Config", 0xFFEE0000, 0x10000, 0x10000}, {"FIS Directory", 0xFFFF0000, 0x10000, 0x600},
};

// A pomlet chip with an installed system: the directory and a pattern in
// every partition's data.
Bytes InstalledPomlet() {
    Bytes chip(kChip, 0xFF);
    uint8_t seed = 1;
    for (auto &p : kPomlet) {
        if (std::string(p.name) != "FIS Directory") Put(chip, p.base, Pattern(p.datalen, seed++));
    }
    Bytes dir;
    for (auto &p : kPomlet) {
        auto e = qsim::FisEntry(p.name, p.base, p.size, p.datalen, p.base);
        dir.insert(dir.end(), e.begin(), e.end());
    }
    Put(chip, 0xFFFF0000, dir);
    return chip;
}

std::string SaveImage(const Bytes &b, const std::string &name) {
    std::string path = "/tmp/" + name;
    WriteFile(path, std::string(b.begin(), b.end()));
    return path;
}

// Journal lines of one kind on one device, in order.
std::vector<qsim::JournalRec> Ops(const std::string &dev, const std::string &kind) {
    std::vector<qsim::JournalRec> out;
    for (auto &j : qsim::Journal())
        if (j.dev == dev && j.kind == kind) out.push_back(j);
    return out;
}

}  // namespace

// The whole road of an update on the pomlet layout, checked to the byte.
TEST(Flash, PomletInstallWriteEraseLockMoveAndRewrite) {
    Bytes expect = InstalledPomlet();
    qsim::Appliance hw("edition pomlet\nstrict on\nlock none\nimage " +
                       SaveImage(expect, "pomlet.bin"));
    ASSERT_EQ(hw.Chip(), expect);

    // The flash directory reads as 256-byte entries ended by erased flash.
    Bytes dir = ReadAt("/dev/mtd5", 0, 7 * 256);
    ASSERT_EQ(dir.size(), 7u * 256);
    EXPECT_STREQ(reinterpret_cast<const char *>(&dir[2 * 256]), "rd.gz");
    EXPECT_EQ(dir[6 * 256], 0xFF);

    // A new kernel image through dd after an erase; a read-back is identical.
    Bytes kernel = Pattern(0x9000 + 123, 0x40);
    WriteFile("/tmp/zImage", std::string(kernel.begin(), kernel.end()));
    ASSERT_EQ(Erase("/dev/mtd1", 0, 0xD0000), 0);
    ASSERT_EQ(Exec({"/bin/dd", "if=/tmp/zImage", "of=/dev/mtd1", "bs=16384"}), 0);
    ASSERT_EQ(Exec({"/bin/dd", "if=/dev/mtd1", "of=/tmp/back", "bs=8192"}), 0);
    std::string back = ReadFile("/tmp/back");
    ASSERT_EQ(back.size(), 0xD0000u);  // reads stop at the window's end
    EXPECT_EQ(back.substr(0, kernel.size()), std::string(kernel.begin(), kernel.end()));
    std::fill(expect.begin() + (0xFFE00000 - kBase), expect.begin() + (0xFFED0000 - kBase), 0xFF);
    Put(expect, 0xFFE00000, kernel);

    // Locked blocks refuse erase and write with EROFS until unlocked.
    ASSERT_EQ(Lock("/dev/mtd3", true, 0, 0x10000), 0);
    EXPECT_EQ(Erase("/dev/mtd3", 0, 0x10000), EROFS);
    EXPECT_EQ(WriteAt("/dev/mtd3", 0, Bytes{0}), -EROFS);
    uint64_t locked = 0;
    ASSERT_TRUE(qsim::Window("mtd3", nullptr, nullptr, &locked));
    EXPECT_EQ(locked, 1u);
    ASSERT_EQ(Lock("/dev/mtd3", false, 0, 0x10000), 0);
    ASSERT_EQ(Erase("/dev/mtd3", 0, 0x10000), 0);
    ASSERT_EQ(WriteAt("/dev/mtd3", 0, Bytes{1, 2, 3}), 3);
    std::fill(expect.begin() + (0xFFED0000 - kBase), expect.begin() + (0xFFEE0000 - kBase), 0xFF);
    Put(expect, 0xFFED0000, Bytes{1, 2, 3});

    // rd.gz moves one block down and grows by one: the device is the new window.
    qsim_erase_info_user move{0xFFF30000, 0xC0000};
    ASSERT_EQ(Req("/dev/mtd2", QSIM_MEMSETPARTINFO, &move), 0);
    EXPECT_EQ(DevSize("/dev/mtd2"), 0xC0000);
    ASSERT_EQ(Erase("/dev/mtd2", 0, 0xC0000), 0);
    ASSERT_EQ(WriteAt("/dev/mtd2", 0xBFFFE, Bytes{0xAB, 0xCD}), 2);
    std::fill(expect.begin() + (0xFFF30000 - kBase), expect.begin() + (0xFFFF0000 - kBase), 0xFF);
    Put(expect, 0xFFFEFFFE, Bytes{0xAB, 0xCD});

    // Its directory entry is rewritten on the (locked) directory device.
    ASSERT_EQ(Lock("/dev/mtd5", true, 0, 0x10000), 0);
    qsim_fis_entry_req fis{};
    strcpy(fis.name, "rd.gz");
    fis.flash_base = 0xFFF30000;
    fis.size = 0xC0000;
    fis.data_length = 0xBFFFF;
    ASSERT_EQ(Req("/dev/mtd5", QSIM_MEMSETFISENTRY, &fis), 0);
    size_t e = 0xFFFF0000 - kBase + 2 * 256;
    Put32(expect, e + 16, 0xFFF30000);
    Put32(expect, e + 24, 0xC0000);
    Put32(expect, e + 32, 0xBFFFF);

    EXPECT_EQ(hw.Chip(), expect);  // every byte of the chip

    // The journal keeps the order of the work on rd.gz.
    std::vector<std::string> kinds;
    for (auto &j : hw.Journal())
        if (j.dev == "mtd2") kinds.push_back(j.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"setpartinfo", "erase", "write"}));
    auto set = Ops("mtd5", "setfisentry");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].offset, 0xFFF30000u);
    EXPECT_EQ(set[0].length, 0xC0000u);
    EXPECT_EQ(set[0].result, 0);

    // Dump and reload through the command-line tool.
    ASSERT_EQ(Exec({BuildDir() + "/sim/qavo-sim", "dump", "/tmp/dump.bin"}), 0);
    EXPECT_EQ(ReadFile("/tmp/dump.bin"), std::string(expect.begin(), expect.end()));
}

TEST(Flash, GeometryRangesAndTruncation) {
    qsim::Appliance hw("edition full\nlock none");
    qsim_mtd_info_user info{};
    ASSERT_EQ(Req("/dev/mtd7", QSIM_MEMGETINFO, &info), 0);
    EXPECT_EQ(info.type, QSIM_MTD_NORFLASH);
    EXPECT_EQ(info.flags, 0xC00u);
    EXPECT_EQ(info.size, 0x20000u);
    EXPECT_EQ(info.erasesize, 0x20000u);
    EXPECT_EQ(info.writesize, 1u);
    EXPECT_EQ(DevSize("/dev/mtd_vender"), 0x20000);
    // The full edition's directory: 8 entries on /dev/mtd7.
    Bytes dir = ReadAt("/dev/mtd7", 0, 9 * 256);
    EXPECT_STREQ(reinterpret_cast<const char *>(&dir[3 * 256]), "AllLib.tgz");
    EXPECT_STREQ(reinterpret_cast<const char *>(&dir[7 * 256]), "FIS Directory");
    EXPECT_EQ(dir[8 * 256], 0xFF);

    struct {
        uint32_t start, len;
        int err;
    } erases[] = {
        {0, 0x20000, 0},      {0x1000, 0x20000, EINVAL},  {0, 0x1000, EINVAL},
        {0, 0x40000, EINVAL}, {0x20000, 0x20000, EINVAL}, {0, 0, EINVAL},
    };
    for (auto &c : erases)
        EXPECT_EQ(Erase("/dev/mtd7", c.start, c.len), c.err) << c.start << "+" << c.len;
    EXPECT_EQ(Lock("/dev/mtd7", true, 0x100, 0x20000), EINVAL);

    // Reads stop at the end, writes at the end are refused, across it cut short.
    long r;
    EXPECT_EQ(ReadAt("/dev/mtd7", 0x1FFF0, 64, &r).size(), 16u);
    EXPECT_EQ(r, 16);
    ReadAt("/dev/mtd7", 0x20000, 64, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(WriteAt("/dev/mtd7", 0x20000, Bytes(4, 0)), -ENOSPC);
    EXPECT_EQ(WriteAt("/dev/mtd7", 0x1FFFE, Bytes(4, 0)), 2);

    // O_TRUNC (dd's default) neither fails nor shortens the device.
    WriteAt("/dev/mtd6", 0, Bytes{0x12});
    int fd = open("/dev/mtd6", O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(DevSize("/dev/mtd6"), 0x20000);
    EXPECT_EQ(ReadAt("/dev/mtd6", 0, 1), Bytes{0x12});
    EXPECT_EQ(Ops("mtd6", "truncate").size(), 1u);
}

TEST(Flash, WritesOnlyClearBitsAndStrictModeCatchesMissingErase) {
    qsim::Appliance hw("edition pomlet\nlock none");
    ASSERT_EQ(WriteAt("/dev/mtd4", 0, Bytes{0xF0, 0x3C}), 2);
    ASSERT_EQ(WriteAt("/dev/mtd4", 0, Bytes{0x0F, 0xFF}), 2);  // new = old AND data
    EXPECT_EQ(ReadAt("/dev/mtd4", 0, 2), (Bytes{0x00, 0x3C}));

    ASSERT_TRUE(qsim::Control("strict on"));
    EXPECT_EQ(WriteAt("/dev/mtd4", 0, Bytes{0x00, 0x30}), 2);  // clears bits only
    EXPECT_EQ(WriteAt("/dev/mtd4", 0, Bytes{0x00, 0x01}), -EIO);
    EXPECT_EQ(ReadAt("/dev/mtd4", 0, 2), (Bytes{0x00, 0x30}));  // unchanged
    ASSERT_EQ(Erase("/dev/mtd4", 0, 0x10000), 0);
    EXPECT_EQ(WriteAt("/dev/mtd4", 0, Bytes{0x00, 0x01}), 2);
}

TEST(Flash, PowerUpLocksWindowAndEntryRefusals) {
    // Locked blocks of mtd0 (4 blocks) and mtd1 (13) at power-up: a NOR
    // chip powers up locked unless its description says otherwise, and a
    // power cycle locks again what was unlocked.
    struct Case {
        const char *lines;
        uint64_t mtd0, mtd1;
    } cases[] = {
        {"", 4, 13},
        {"lock none\n", 0, 0},
        {"lock all\n", 4, 13},
        {"lock none\nlock mtd1\n", 0, 13},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        qsim::Appliance unit(std::string("edition pomlet\n") + c.lines);
        uint64_t n0 = 0, n1 = 0;
        ASSERT_TRUE(qsim::Window("mtd0", nullptr, nullptr, &n0));
        ASSERT_TRUE(qsim::Window("mtd1", nullptr, nullptr, &n1));
        EXPECT_EQ(n0, c.mtd0);
        EXPECT_EQ(n1, c.mtd1);
        EXPECT_EQ(WriteAt("/dev/mtd1", 0, Bytes{0}), c.mtd1 ? -EROFS : 1);
        ASSERT_EQ(Lock("/dev/mtd1", false, 0, 0xD0000), 0);
        EXPECT_EQ(Erase("/dev/mtd1", 0, 0x10000), 0);
        ASSERT_TRUE(unit.Fault("powerup"));
        ASSERT_TRUE(qsim::Window("mtd1", nullptr, nullptr, &n1));
        EXPECT_EQ(n1, c.mtd1);
    }
    // The module has no block locks.
    {
        qsim::Appliance module("msys on\n");
        uint64_t n = 0;
        ASSERT_TRUE(qsim::Window("mtd1", nullptr, nullptr, &n));
        EXPECT_EQ(n, 0u);
    }

    qsim::Appliance hw("edition pomlet\nlock mtd0 mtd5");
    uint64_t n = 0;
    ASSERT_TRUE(qsim::Window("mtd0", nullptr, nullptr, &n));
    EXPECT_EQ(n, 4u);
    ASSERT_TRUE(qsim::Window("mtd1", nullptr, nullptr, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(WriteAt("/dev/mtd0", 0, Bytes{0}), -EROFS);

    struct {
        uint32_t start, size;
        int err;
    } moves[] = {
        {0xFFDF0000, 0x10000, EINVAL},  // before the chip
        {0xFFFF0000, 0x20000, EINVAL},  // past its end
        {0xFFE08000, 0x10000, EINVAL},  // not on a block
        {0xFFE00000, 0x18000, EINVAL},  // not whole blocks
        {0xFFE00000, 0, EINVAL},       {0xFFE00000, 0xE0000, 0},
    };
    for (auto &m : moves) {
        qsim_erase_info_user a{m.start, m.size};
        EXPECT_EQ(Req("/dev/mtd1", QSIM_MEMSETPARTINFO, &a), m.err) << std::hex << m.start;
    }
    uint32_t start = 0;
    uint64_t size = 0;
    ASSERT_TRUE(qsim::Window("mtd1", &start, &size, nullptr));
    EXPECT_EQ(start, 0xFFE00000u);
    EXPECT_EQ(size, 0xE0000u);

    qsim_fis_entry_req fis{};
    strcpy(fis.name, "rd.g");  // names match whole
    EXPECT_EQ(Req("/dev/mtd5", QSIM_MEMSETFISENTRY, &fis), ENOENT);
    strcpy(fis.name, "rd.gz");  // the directory is not on mtd1
    EXPECT_EQ(Req("/dev/mtd1", QSIM_MEMSETFISENTRY, &fis), ENOENT);
    EXPECT_EQ(Req("/dev/mtd1", _IOW('M', 99, uint32_t), &fis), ENOTTY);
}

// Each fault kind, stated as the test would state it.
TEST(Flash, InjectedFaults) {
    struct Case {
        const char *fault;
        const char *dev;
        std::vector<int> errs;  // results of four erases in a row
    } cases[] = {
        {"fault erase mtd1 2", "/dev/mtd1", {0, EIO, 0, 0}},
        {"fault erase mtd1 2 always errno 12", "/dev/mtd1", {0, ENOMEM, ENOMEM, ENOMEM}},
        {"fault erase mtd2 1", "/dev/mtd1", {0, 0, 0, 0}},  // another device
        {"fault ioctl any 3", "/dev/mtd1", {0, 0, EIO, 0}},
        // Every line counts every operation it matches, whichever fires.
        {"fault erase mtd1 1\nfault erase mtd1 2", "/dev/mtd1", {EIO, EIO, 0, 0}},
        {"fault erase mtd1 1\nfault ioctl any 2 errno 12", "/dev/mtd1", {EIO, ENOMEM, 0, 0}},
    };
    for (auto &c : cases) {
        qsim::Appliance hw(std::string("edition pomlet\nlock none\n") + c.fault);
        std::vector<int> got;
        for (int i = 0; i < 4; ++i)
            got.push_back(Erase(c.dev, 0, 0xD0000));
        EXPECT_EQ(got, c.errs) << c.fault;
        auto erases = Ops(c.dev + 5, "erase");
        ASSERT_EQ(erases.size(), 4u);
        EXPECT_EQ(erases[1].result, c.errs[1] ? -c.errs[1] : 0) << c.fault;
    }

    {
        qsim::Appliance hw("edition pomlet\nlock none\nfault write mtd1 3");
        std::vector<long> got;
        for (int i = 0; i < 4; ++i)
            got.push_back(WriteAt("/dev/mtd1", i * 4, Bytes(4, 0)));
        EXPECT_EQ(got, (std::vector<long>{4, 4, -EIO, 4}));
        // A read-back flipped once at 0x4010: a verify sees the difference once.
        ASSERT_TRUE(hw.Fault("flip mtd1 0x4010"));
        Bytes first = ReadAt("/dev/mtd1", 0x4000, 0x2000);
        Bytes second = ReadAt("/dev/mtd1", 0x4000, 0x2000);
        EXPECT_EQ(first[0x10], 0x00);
        EXPECT_EQ(second[0x10], 0xFF);
        EXPECT_FALSE(hw.Fault("fault nonsense mtd1 1"));
        EXPECT_FALSE(hw.Fault("fault erase mtd9 1"));
    }
}

TEST(Flash, EmulatorStopsCleanlyOnSigterm) {
    // The emulator is this process's child; asked to stop, it exits 0 and
    // the sanitizers' exit checks (leaks) find nothing.
    qsim::Appliance hw("edition pomlet");
    pid_t pid = static_cast<pid_t>(atol(ReadFile("/sim/flash.pid").c_str()));
    ASSERT_GT(pid, 1);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ(ReadFile("/sim/flashd.log"), "");
}

TEST(Flash, PowerCutFreezesTheChip) {
    qsim::Appliance hw("edition pomlet\nlock none\npowercut 40000");
    WriteFile("/tmp/img", std::string(0x10000, '\0'));
    ASSERT_EQ(Erase("/dev/mtd1", 0, 0xD0000), 0);
    EXPECT_NE(Exec({"/bin/dd", "if=/tmp/img", "of=/dev/mtd1", "bs=16384"}), 0);
    Bytes chip = hw.Chip();
    // Exactly 40000 bytes reached the chip.
    EXPECT_EQ(std::count(chip.begin(), chip.begin() + 0xD0000, 0x00), 40000);
    EXPECT_EQ(chip[39999], 0x00);
    EXPECT_EQ(chip[40000], 0xFF);
    // Everything fails from then on; the chip stays as it was.
    long r;
    ReadAt("/dev/mtd3", 0, 16, &r);
    EXPECT_EQ(r, -EIO);
    EXPECT_EQ(Erase("/dev/mtd2", 0, 0xB0000), EIO);
    EXPECT_EQ(WriteAt("/dev/mtd0", 0, Bytes{0}), -EIO);
    EXPECT_EQ(hw.Chip(), chip);
    EXPECT_NE(qsim::Status().find("frozen 1"), std::string::npos);
}

// A cut tears the Nth chip-changing request (half a write, half an erase,
// no entry rewrite) and freezes the chip; a kill ends the caller before the
// Nth and changes nothing; a power-up brings the unit back with its bytes.
TEST(Flash, CutKillAndPowerUp) {
    qsim::Appliance hw("edition pomlet\nlock none");
    const Bytes chip0 = hw.Chip();
    // Reads and other requests do not count: the third changing one is cut.
    ASSERT_TRUE(hw.Fault("cut 3"));
    ReadAt("/dev/mtd1", 0, 16);
    ASSERT_EQ(WriteAt("/dev/mtd1", 0, Bytes(0x100, 0x00)), 0x100);
    ASSERT_EQ(Erase("/dev/mtd1", 0, 0x10000), 0);
    EXPECT_EQ(WriteAt("/dev/mtd1", 0, Bytes(0x1000, 0x00)), -EIO);
    Bytes chip = hw.Chip();
    EXPECT_EQ(std::count(chip.begin(), chip.begin() + 0x10000, 0x00), 0x800);
    EXPECT_NE(qsim::Status().find("frozen 1"), std::string::npos);
    EXPECT_EQ(Erase("/dev/mtd2", 0, 0x10000), EIO);

    // A power-up: unfrozen, windows and journal as at start, bytes kept.
    ASSERT_TRUE(hw.Fault("powerup"));
    EXPECT_EQ(hw.Chip(), chip);
    EXPECT_TRUE(qsim::Journal().empty());
    uint32_t moved[2] = {0xFFE10000, 0x20000};
    ASSERT_EQ(Req("/dev/mtd1", QSIM_MEMSETPARTINFO, moved), 0);
    ASSERT_TRUE(hw.Fault("powerup"));
    EXPECT_EQ(DevSize("/dev/mtd1"), 0xD0000);

    // A cut in an erase of two blocks clears the first block only; a cut at
    // an entry rewrite leaves the entry.
    ASSERT_TRUE(hw.Load(chip0));
    ASSERT_TRUE(hw.Fault("cut 1"));
    EXPECT_EQ(WriteAt("/dev/mtd2", 0, Bytes{}), 0);  // nothing to write still counts
    ASSERT_TRUE(hw.Fault("powerup"));
    ASSERT_EQ(WriteAt("/dev/mtd1", 0, Bytes(0x20000, 0x00)), 0x20000);
    ASSERT_TRUE(hw.Fault("cut 1"));
    EXPECT_EQ(Erase("/dev/mtd1", 0, 0x20000), EIO);
    chip = hw.Chip();
    EXPECT_EQ(std::count(chip.begin(), chip.begin() + 0x20000, 0xFF), 0x10000);
    EXPECT_EQ(chip[0xFFFF], 0xFF);
    EXPECT_EQ(chip[0x10000], 0x00);
    ASSERT_TRUE(hw.Fault("powerup"));
    ASSERT_TRUE(hw.Fault("cut 1"));
    qsim_fis_entry_req e{};
    strcpy(e.name, "zImage");
    e.flash_base = 0xFFE00000;
    e.size = 0xD0000;
    e.data_length = 0x1234;
    const Bytes before = hw.Chip();
    EXPECT_EQ(Req("/dev/mtd5", QSIM_MEMSETFISENTRY, &e), EIO);
    EXPECT_EQ(hw.Chip(), before);

    // A kill before the second changing request: the writer dies by SIGKILL
    // after its first write, and its second never reaches the chip.
    ASSERT_TRUE(hw.Fault("powerup"));
    ASSERT_TRUE(hw.Load(chip0));
    ASSERT_TRUE(hw.Fault("kill 2 dd"));
    WriteFile("/tmp/img", std::string(0x8000, '\0'));
    EXPECT_EQ(Exec({"/bin/dd", "if=/tmp/img", "of=/dev/mtd1", "bs=16384"}), 128 + SIGKILL);
    chip = hw.Chip();
    EXPECT_EQ(std::count(chip.begin(), chip.begin() + 0x10000, 0x00), 0x4000);
    EXPECT_EQ(qsim::Status().find("frozen 1"), std::string::npos);
    EXPECT_EQ(WriteAt("/dev/mtd1", 0x4000, Bytes(0x10, 0x00)), 0x10);
}

// A cut falls on the request it counts to, whatever the chip would answer:
// one the chip refuses, or a fault line fails, changes nothing, fails with
// EIO and leaves the chip frozen, so that nothing after it runs.
TEST(Flash, CutOnARefusedRequestFreezesTheChip) {
    qsim::Appliance hw("edition pomlet\nstrict on");
    ASSERT_TRUE(hw.Fault("unlock all"));
    ASSERT_EQ(WriteAt("/dev/mtd1", 0, Bytes(0x10, 0x00)), 0x10);
    const Bytes chip0 = hw.Chip();
    // Each request's errno (0 when it went through).
    auto write = [](const char *dev, off_t off, const Bytes &b) {
        long r = WriteAt(dev, off, b);
        return r < 0 ? static_cast<int>(-r) : 0;
    };
    struct Case {
        const char *what;
        const char *line;  // given before the cut
        std::function<int()> request;
    } cases[] = {
        {"write to a locked block", "lock mtd1",
         [&] { return write("/dev/mtd1", 0x20, Bytes(0x100, 0x00)); }},
        {"erase of a locked block", "lock mtd1", [] { return Erase("/dev/mtd1", 0, 0x10000); }},
        {"write at the end", "", [&] { return write("/dev/mtd3", 0x10000, Bytes(0x10, 0x00)); }},
        {"write that needs a 0 to 1 change", "",
         [&] { return write("/dev/mtd1", 0, Bytes(0x10, 0xFF)); }},
        {"write a fault line fails", "fault write mtd1 1 once errno 30",
         [&] { return write("/dev/mtd1", 0x20, Bytes(0x100, 0x00)); }},
        {"erase a fault line fails", "fault erase mtd1 1 once",
         [] { return Erase("/dev/mtd1", 0, 0x10000); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(hw.Fault("powerup"));
        ASSERT_TRUE(hw.Fault("unlock all"));
        if (*c.line) {
            ASSERT_TRUE(hw.Fault(c.line));
        }
        ASSERT_TRUE(hw.Fault("cut 1"));
        EXPECT_EQ(c.request(), EIO);
        EXPECT_NE(qsim::Status().find("frozen 1"), std::string::npos);
        EXPECT_EQ(write("/dev/mtd2", 0, Bytes(0x10, 0x00)), EIO);
        EXPECT_EQ(Erase("/dev/mtd2", 0, 0x10000), EIO);
        EXPECT_TRUE(hw.Chip() == chip0);
    }
}

TEST(Flash, LauncherToolAndBadDescriptions) {
    // The set-up tool the launcher runs, with a description file.
    WriteFile("/tmp/hw.desc", "# pomlet unit\nedition pomlet\nfile mtd3 vendor.bin\n");
    WriteFile("/tmp/vendor.bin", "MAC");
    ASSERT_EQ(Exec({BuildDir() + "/sim/qavo-sim", "up", "/tmp/hw.desc"}), 0);
    EXPECT_EQ(ReadAt("/dev/mtd_vender", 0, 3), (Bytes{'M', 'A', 'C'}));
    EXPECT_EQ(ReadFile("/proc/sys/kernel/qavo_hw_version"), "QAVO-P1-y\n");
    std::string out;
    ASSERT_EQ(Exec({BuildDir() + "/sim/qavo-sim", "status"}, &out), 0);
    EXPECT_NE(out.find("window mtd5 0xFFFF0000 0x10000"), std::string::npos);
    // load takes a whole chip or nothing: a missing, short or long file is
    // refused with a message and the chip left as it was.
    const Bytes before = qsim::ReadChip();
    ASSERT_EQ(before.size(), kChip);
    Bytes image = InstalledPomlet();
    struct Load {
        const char *what;
        std::string file;  // empty: no file
    } loads[] = {{"missing", ""},
                 {"short", std::string(image.begin(), image.begin() + 0x1000)},
                 {"long", std::string(image.begin(), image.end()) + "x"}};
    for (const Load &l : loads) {
        RemoveFile("/tmp/chip.bin");
        if (!l.file.empty()) WriteFile("/tmp/chip.bin", l.file);
        std::string msg;
        EXPECT_NE(Sh(BuildDir() + "/sim/qavo-sim load /tmp/chip.bin 2>&1", &msg), 0) << l.what;
        EXPECT_NE(msg.find("nothing loaded"), std::string::npos) << l.what << ": " << msg;
        EXPECT_TRUE(qsim::ReadChip() == before) << l.what;
    }
    SaveImage(image, "chip.bin");
    ASSERT_EQ(Exec({BuildDir() + "/sim/qavo-sim", "load", "/tmp/chip.bin"}), 0);
    EXPECT_TRUE(qsim::ReadChip() == image);
    ASSERT_EQ(Exec({BuildDir() + "/sim/qavo-sim", "down"}), 0);
    EXPECT_FALSE(FileExists("/dev/mtd0"));
    EXPECT_NE(Exec({BuildDir() + "/sim/qavo-sim", "load", "/tmp/chip.bin"}), 0);

    std::string err;
    for (const char *bad : {"edition medium", "part zImage 0xFFE00000 0xD0000",
                            "chip 0xFFE00000 0x200000 0x10000\npart x 0xFFE08000 0x10000",
                            "fault erase mtd1 1", "edition pomlet\nmsys on", "uptime soon",
                            "syscall405 errno 0", "edition full\nimage /tmp/none.bin"}) {
        EXPECT_FALSE(qsim::Up(bad, "/tmp", &err)) << bad;
        qsim::Down();
    }
    EXPECT_THROW(qsim::Appliance("edition pomlet\nfault erase mtd1 0"), std::runtime_error);
}
