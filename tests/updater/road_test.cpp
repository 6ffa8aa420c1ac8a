// The updater program end to end: started as a process in the appliance root
// with the kernel shim preloaded, against the flash emulator (strict NOR
// writes), with the real dd, mv and rm. Each case checks the exit status, the
// progress records in the order written, the message file, the update log,
// the system log, the start scripts called and the chip byte for byte.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "appliance.h"
#include "flash_fixture.h"
#include "qavo_mtd.h"
#include "qavosim.h"
#include "slib_keyvalue.h"
#include "updt_driver.h"
#include "updt_status.h"

using namespace qtest;

namespace {

using qflashtest::Bytes;
using qflashtest::PutLE;
using qflashtest::Random;

const std::string kPkg = "/volume1/upd@te";

std::string Version(const std::string &build, const std::string &unique = "qavomark_ixp420_1hd",
                    const std::string &phase = "3") {
    return "unique=\"" + unique + "\"\nmajorversion=\"2\"\nminorversion=\"0\"\nbuildphase=\"" +
           phase + "\"\nbuildnumber=\"" + build + "\"\n";
}

// One shell word.
std::string Quote(const std::string &s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The progress records as written, one after the other ("A:0", "P:60", ...).
std::vector<std::string> Records() {
    std::vector<std::string> out;
    if (!FileExists("/sim/records.log")) return out;
    for (auto &l : Lines(ReadFile("/sim/records.log"))) {
        EXPECT_EQ(l.size() >= 6 ? l.substr(l.size() - 6) : "", "      ") << l;
        out.push_back(l.substr(0, l.find_last_of(':')));
    }
    return out;
}

// The record the progress file shows: its text up to the second colon (a
// shorter record leaves blanks of a longer one behind it).
std::string Progress() {
    std::string t = ReadFile(UPDT_PROGRESS_FILE);
    size_t c = t.find(':');
    c = c == std::string::npos ? c : t.find(':', c + 1);
    EXPECT_NE(c, std::string::npos) << t;
    EXPECT_EQ(t.find_first_not_of(' ', c + 1), std::string::npos) << t;
    return c == std::string::npos ? t : t.substr(0, c);
}

// The update log's messages without their times.
std::vector<std::string> LogMessages() {
    std::vector<std::string> out;
    if (!FileExists(UPDT_LOG_FILE)) return out;
    for (auto &l : Lines(ReadFile(UPDT_LOG_FILE))) {
        size_t tab = l.find('\t');
        EXPECT_EQ(tab, 19u) << l;
        out.push_back(tab == std::string::npos ? l : l.substr(tab + 1));
    }
    return out;
}

// Start-script calls with the given action.
int ScriptCalls(const std::string &action) {
    int n = 0;
    for (auto &c : Calls())
        if (c.size() == 2 && c[0].rfind("/usr/qavo/etc/rc.d/", 0) == 0 && c[1] == action) ++n;
    return n;
}

// The records of a complete update from the backup on: P:30 + 5 x i per
// directory entry, then P:60 up to P:100 in steps the writer chose.
void ExpectCompleteRecords(const std::vector<std::string> &r, int entries) {
    std::vector<std::string> head = {"A:0", "A:10", "A:100", "P:0", "P:10", "P:20"};
    for (int i = 0; i < entries; ++i)
        head.push_back("P:" + std::to_string(30 + 5 * i));
    head.push_back("P:60");
    ASSERT_GT(r.size(), head.size() + 6);
    EXPECT_EQ(std::vector<std::string>(r.begin(), r.begin() + head.size()), head);
    int last = 60;
    size_t i = head.size();
    for (; i < r.size() && r[i].rfind("P:", 0) == 0; ++i) {
        int v = std::stoi(r[i].substr(2));
        EXPECT_GE(v, 60) << r[i];
        EXPECT_LE(v, 100) << r[i];
        last = v;
    }
    EXPECT_EQ(last, 100);
    EXPECT_EQ(std::vector<std::string>(r.begin() + i, r.end()),
              (std::vector<std::string>{"C:0", "C:100", "R:0", "R:0"}));
}

// One simulated appliance with an installed system (2.0 phase 3 build 500)
// and data in every flash partition, and a package in the update folder.
struct Road {
    bool pomlet;
    uint32_t chipBase;
    std::unique_ptr<qsim::Appliance> hw;
    std::vector<FISDIRENTRY> dir;
    Bytes before;
    std::string pkg;
    std::map<std::string, Bytes> images;  // partition name -> image

    explicit Road(bool pom, const std::string &extra = "", const std::string &folder = kPkg)
        : pomlet(pom), chipBase(pom ? 0xFFE00000 : 0xFF800000), pkg(folder) {
        hw = std::make_unique<qsim::Appliance>(std::string("edition ") + (pom ? "pomlet" : "full") +
                                               "\nstrict on\nuptime 120\n"
                                               "record /tmp/update.progress\n" +
                                               extra);
        if (pom) WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"qavomark_ixp420_pomlet\"\n");
        ReadDir();
        Bytes chip = hw->Chip();
        for (size_t i = 0; i + 1 < dir.size(); ++i) {
            Bytes data = Random(dir[i].data_length, 100 + static_cast<uint32_t>(i));
            std::copy(data.begin(), data.end(), chip.begin() + (dir[i].flash_base - chipBase));
        }
        EXPECT_TRUE(hw->Load(chip));
        before = hw->Chip();
        EXPECT_EQ(Sh("mkdir -p " + Quote(pkg) + " && ln -sf " + BuildDir() + "/updater " +
                     Quote(pkg + "/updater")),
                  0);
        Package("520");
    }

    const char *DirDevice() const { return pomlet ? "/dev/mtd5" : "/dev/mtd7"; }

    void ReadDir() {
        int need = 0;
        int n = QAVOMTDGetPartitionInfo(DirDevice(), nullptr, 0, &need);
        ASSERT_GT(n, 0);
        dir.assign(n, FISDIRENTRY{});
        ASSERT_EQ(QAVOMTDGetPartitionInfo(DirDevice(), dir.data(), need, &need), n);
    }

    const FISDIRENTRY &Entry(const std::string &name) const {
        for (auto &e : dir)
            if (strncmp(e.szName, name.c_str(), 16) == 0) return e;
        ADD_FAILURE() << "no entry " << name;
        return dir[0];
    }

    void Package(const std::string &build, const std::string &unique = "") {
        std::string u =
            unique.empty() ? (pomlet ? "qavomark_ixp420_pomlet" : "qavomark_ixp420_1hd") : unique;
        WriteFile(pkg + "/VERSION", Version(build, u));
    }

    void Image(const std::string &part, const std::string &file, size_t n, uint32_t seed) {
        Bytes b = Random(n, seed);
        WriteFile(pkg + "/" + file, std::string(b.begin(), b.end()));
        images[part] = b;
    }

    // The usual package: a new kernel and RAM disk.
    void Images() {
        Image("zImage", "zImage", pomlet ? 200000 : 700000, 7);
        Image("rd.gz", "rd.bin", pomlet ? 300000 : 1500000, 8);
    }

    // The chip after the images were written in place.
    Bytes Expected() const {
        Bytes want = before;
        const FISDIRENTRY &d = dir.back();
        for (size_t i = 0; i < dir.size(); ++i) {
            std::string name(dir[i].szName, strnlen(dir[i].szName, 16));
            auto it = images.find(name);
            if (it == images.end()) continue;
            size_t at = dir[i].flash_base - chipBase;
            std::fill(want.begin() + at, want.begin() + at + dir[i].size, 0xFF);
            std::copy(it->second.begin(), it->second.end(), want.begin() + at);
            PutLE(want, d.flash_base - chipBase + i * 256 + 32,
                  static_cast<uint32_t>(it->second.size()));
        }
        return want;
    }

    // Runs the updater (by its path in the package unless told) with the
    // shim preloaded; prefix is a shell prefix (cd, exec -a, setpriv).
    int Run(const std::string &args = "", const std::string &prefix = "",
            std::string *out = nullptr) const {
        std::string env = "LD_PRELOAD=" + BuildDir() +
                          "/sim/libqavoshim.so ASAN_OPTIONS=verify_asan_link_order=0:" +
                          (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "");
        std::string cmd = prefix + " env " + env + " " + Quote(pkg + "/updater") + " " + args;
        if (prefix.find("exec -a") != std::string::npos)
            cmd = "export " + env + "; " + prefix + " " + Quote(pkg + "/updater") + " " + args;
        return Exec({"/bin/bash", "-c", cmd}, out);
    }
};

std::string FirstDiff(const Bytes &a, const Bytes &b) {
    if (a.size() != b.size()) return "sizes differ";
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return "first difference at chip offset " + std::to_string(i);
    return "equal";
}

}  // namespace

TEST(UpdaterRoad, CompleteUpdateOnEachEditionWithAndWithoutTheSystemArchive) {
    for (bool pomlet : {false, true}) {
        for (bool archive : {true, false}) {
            SCOPED_TRACE(std::string(pomlet ? "pomlet" : "full") + (archive ? " archive" : ""));
            ClearCalls();
            ClearSyslog();
            RemoveFile(UPDT_LOG_FILE);
            RemoveFile("/sim/records.log");
            RemoveFile("/volume1/QavoUpgrade.tar.gz");
            Road r(pomlet);
            r.Images();
            if (archive) WriteFile(kPkg + "/hda1.tgz", "the system archive");
            ASSERT_EQ(r.Run(), 0);

            ExpectCompleteRecords(Records(), static_cast<int>(r.dir.size()));
            EXPECT_EQ(Progress(), "R:0");
            EXPECT_FALSE(FileExists(UPDT_MESSAGE_FILE));
            EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                         "Start of the update...",
                                         "Upgrade from version 2.0.3.500 to version 2.0.3.520",
                                         "Congratulation!! The update has been completed!!"}));
            const Bytes after = r.hw->Chip();
            const Bytes want = r.Expected();
            EXPECT_TRUE(after == want) << FirstDiff(after, want);
            // Services stopped and left stopped; the backup is gone, the
            // archive on the volume.
            EXPECT_GT(ScriptCalls("stop"), 0);
            EXPECT_EQ(ScriptCalls("start"), 0);
            EXPECT_FALSE(FileExists(kPkg + "/b@ckup"));
            EXPECT_EQ(FileExists("/volume1/QavoUpgrade.tar.gz"), archive);
            EXPECT_FALSE(FileExists(kPkg + "/hda1.tgz"));
            if (archive) {
                EXPECT_EQ(ReadFile("/volume1/QavoUpgrade.tar.gz"), "the system archive");
            }
            EXPECT_TRUE(SyslogHas("Start of the updater..."));
            EXPECT_TRUE(SyslogHas(pomlet ? "This is pomlet, gszDevMtdPartition=[/dev/mtd5]"
                                         : "This is not pomlet, gszDevMtdPartition=[/dev/mtd7]"));
            EXPECT_TRUE(SyslogHas("number of partitions = [" + std::to_string(r.dir.size()) + "]"));
            EXPECT_TRUE(SyslogHas("Turn on the reinstall library flag...!!"));
            EXPECT_TRUE(SyslogHas("Congratulation!! The update has been completed!!"));
            // Commands are logged as they ran, each word once and readable.
            EXPECT_TRUE(SyslogHas("szCmd=[/bin/rm -rf /volume1/upd@te/b@ckup]"));
            EXPECT_TRUE(SyslogHas(std::string("command=[/bin/dd if=/dev/mtd1 ") +
                                  "of=/volume1/upd@te/b@ckup/mtd_zImage bs=16384]"));
            // The kernel buffer was asked for (absent here: errno 38) and,
            // not given, is not released.
            auto klog = qsim::KernelLog();
            int alloc = 0, release = 0;
            for (auto &l : klog) {
                alloc += l.rfind("syscall 405 1 ", 0) == 0;
                release += l.rfind("syscall 405 0 ", 0) == 0;
            }
            EXPECT_EQ(alloc, 1);
            EXPECT_EQ(release, 0);
            EXPECT_TRUE(SyslogHas("fail to malloc mtd driver buffer, error = 38"));
        }
    }
}

// The RAM disk needs two erase blocks more than its partition has; the kernel
// and the library archive have three to spare each. The kernel gives the
// first block and shrinks, the RAM disk moves down one block and grows by
// two, the archive (no image in the package: it moves with its old data)
// moves up one block and shrinks. A unit's chip powers up with every block
// locked, so each block written must be unlocked first, also the ones that
// change hands.
TEST(UpdaterRoad, ResizingUpdateOnLockedAndUnlockedChips) {
    constexpr uint32_t kBlock = 0x20000;
    struct Case {
        const char *what;
        const char *sim;
        bool migrationFails;
        int code;
    } cases[] = {
        {"locked at power-up", "lock all\n", false, 0},
        {"unlocked at power-up", "lock none\n", false, 0},
        {"locked, rolled back after a failed migration", "lock all\n", true, 17},
        {"locked, the moved RAM disk cannot be written: rolled back",
         "lock all\nfault write mtd2 1 once\nfault write mtd2 2 once\nfault write mtd2 3 once\n",
         false, 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Sh("rm -rf " + kPkg + " /usr/qavo/etc/manutil.conf /sim/records.log");
        Road r(false, c.sim);
        r.Image("zImage", "zImage", 13 * kBlock - 0x777, 21);
        r.Image("rd.gz", "rd.bin", 26 * kBlock - 0x1234, 22);
        if (c.migrationFails) Sh("mkdir -p /usr/qavo/etc/manutil.conf/x");
        r.hw->ClearJournal();
        ASSERT_EQ(r.Run(), c.code);

        Bytes want = r.before;
        if (c.code == 0) {
            // Where each of the three rows lies afterwards, and what it holds.
            struct Row {
                const char *name;
                int32_t move, grow;  // in blocks
                Bytes data;
            } rows[] = {
                {"zImage", 0, -1, r.images["zImage"]},
                {"rd.gz", -1, 2, r.images["rd.gz"]},
                {"AllLib.tgz", 1, -1, {}},
            };
            const FISDIRENTRY &old3 = r.Entry("AllLib.tgz");
            const size_t at3 = old3.flash_base - r.chipBase;
            rows[2].data.assign(r.before.begin() + at3, r.before.begin() + at3 + old3.data_length);
            const size_t dirAt = r.dir.back().flash_base - r.chipBase;
            for (const Row &row : rows) {
                for (size_t i = 0; i < r.dir.size(); ++i) {
                    if (strncmp(r.dir[i].szName, row.name, 16) != 0) continue;
                    const uint32_t base = r.dir[i].flash_base + row.move * kBlock;
                    const uint32_t size = r.dir[i].size + row.grow * kBlock;
                    const size_t at = base - r.chipBase;
                    std::fill(want.begin() + at, want.begin() + at + size, 0xFF);
                    std::copy(row.data.begin(), row.data.end(), want.begin() + at);
                    PutLE(want, dirAt + i * 256 + 16, base);
                    PutLE(want, dirAt + i * 256 + 24, size);
                    PutLE(want, dirAt + i * 256 + 32, static_cast<uint32_t>(row.data.size()));
                }
            }
        }
        const Bytes after = r.hw->Chip();
        EXPECT_TRUE(after == want) << FirstDiff(after, want);
        // Nothing was refused for a lock, and the boot loader's configuration
        // and the directory were never unlocked.
        for (auto &j : r.hw->Journal()) {
            if (j.kind == "write" || j.kind == "erase") {
                EXPECT_NE(j.result, -EROFS) << j.dev << " " << j.kind << " " << j.offset;
            }
            if (j.kind == "unlock") {
                EXPECT_TRUE(j.dev != "mtd6" && j.dev != "mtd7") << j.dev;
            }
        }
    }
}

namespace {

// One refusal or failure of the road: how to cause it, the exit status, the
// final record, whether the chip must be what it was and whether the
// services were stopped (and so are started again).
struct Failure {
    const char *name;
    const char *sim;  // extra description lines
    std::function<void(Road &)> setup;
    std::string prefix;  // shell prefix of the run
    int code;
    const char *record;
    bool stopped;
};

const std::string kNoDac =
    "setpriv --inh-caps -dac_override,-dac_read_search --bounding-set "
    "-dac_override,-dac_read_search";

const std::vector<Failure> &Failures() {
    static const std::vector<Failure> table = {
        // The starting directory cannot be opened (no read permission, and a
        // run without the capability to pass over it).
        {"start dir unreadable", "", [](Road &) { Sh("mkdir -m 0111 /tmp/start"); },
         "cd /tmp/start && " + kNoDac, 1, "A:-1", false},
        // ... or not entered again at the end.
        {"start dir not entered again", "fchdir errno 13\n", [](Road &r) { r.Images(); }, "", 2,
         "R:-2", true},
        {"started by /updater", "", [](Road &) {}, "exec -a /updater", 3, "A:-3", false},
        {"installed build unreadable", "",
         [](Road &) {
             WriteFile("/etc.defaults/VERSION",
                       "majorversion=\"2\"\nminorversion=\"0\"\nbuildphase=\"3\"\n");
         },
         "", 6, "A:-6", false},
        {"no package VERSION", "", [](Road &r) { RemoveFile(r.pkg + "/VERSION"); }, "", 7, "A:-7",
         false},
        {"installed model unreadable", "",
         [](Road &) { WriteFile("/etc.defaults/qavoinfo.conf", "supportMTU=\"yes\"\n"); }, "", 8,
         "A:-8", false},
        {"package model unreadable", "",
         [](Road &r) {
             WriteFile(r.pkg + "/VERSION",
                       "majorversion=\"2\"\nminorversion=\"0\"\nbuildphase=\"3\"\n"
                       "buildnumber=\"520\"\n");
         },
         "", 9, "A:-9", false},
        {"older build", "", [](Road &r) { r.Package("499"); }, "", 10, "A:-10", false},
        {"other model", "", [](Road &r) { r.Package("520", "qavomark_other_1hd"); }, "", 12,
         "A:-12", false},
        {"small patch list", "", [](Road &r) { WriteFile(r.pkg + "/UPDATELIST", "zImage\n"); }, "",
         13, "A:-13", false},
        {"backup read fault", "",
         [](Road &r) {
             r.Images();
             r.hw->Fault("fault read mtd3 1 always");
         },
         "", 15, "P:-15", true},
        {"directory unreadable", "",
         [](Road &r) {
             r.Images();
             r.hw->Fault("fault read mtd7 1 always");
         },
         "", 18, "P:-18", true},
        {"image is a folder", "",
         [](Road &r) {
             r.Images();
             RemoveFile(r.pkg + "/zImage");
             Sh("mkdir " + Quote(r.pkg + "/zImage"));
         },
         "", 19, "P:-19", true},
        // Every write attempt of the kernel fails; the roll-back's writes go
        // through.
        {"write fault", "",
         [](Road &r) {
             r.Images();
             for (const char *n : {"1", "2", "3"})
                 r.hw->Fault(std::string("fault write mtd1 ") + n + " once");
         },
         "", 20, "P:-20", true},
        // The oldest systems of one model family: "/writeable" must keep
        // 2 MiB free, and the default file system is stored first.
        {"less than 2 MiB on /writeable", "",
         [](Road &) {
             WriteFile("/etc.defaults/VERSION", Version("250"));
             Sh("mount -t tmpfs -o size=1m tmpfs /writeable");
         },
         "", 16, "A:-16", false},
        {"default file system cannot be stored", "",
         [](Road &) {
             WriteFile("/etc.defaults/VERSION", Version("250"));
             Sh("mount --bind /etc/qavoinfo.conf /etc/qavoinfo.conf");
         },
         "", 22, "A:-22", false},
        // The FTP range fix cannot store its new bound: the settings file
        // is a mount point here, which no rename replaces.
        {"FTP port range fix fails", "",
         [](Road &r) {
             r.Images();
             WriteFile("/etc.defaults/VERSION", Version("400"));
             WriteFile("/etc/qavoinfo.conf",
                       "unique=\"qavomark_ixp420_1hd\"\nftplowport=\"1000\"\n"
                       "ftphighport=\"5000\"\n");
             Sh("mount --bind /etc/qavoinfo.conf /etc/qavoinfo.conf");
         },
         "", 21, "A:-21", true},
        // A migration step fails after the images were written: rolled back.
        {"migration fails", "",
         [](Road &r) {
             r.Images();
             Sh("mkdir -p /usr/qavo/etc/manutil.conf/x");
         },
         "", 17, "C:-17", true},
        {"kernel refuses the buffer", "syscall405 alloc errno 12\n", [](Road &) {}, "", 23, "A:-23",
         true},
        {"reboot needed", "uptime 301\n",
         [](Road &) {
             WriteFile("/etc.defaults/VERSION", Version("300"));
             WriteFile("/initrd", "");
         },
         "", 24, "A:-24", true},
    };
    return table;
}

// Each row is a case of its own: every one is a complete updater run.
class Exit : public ::testing::TestWithParam<size_t> {};

}  // namespace

TEST_P(Exit, EveryExitCodeWithItsFinalRecord) {
    const Failure &row = Failures()[GetParam()];
    SCOPED_TRACE(row.name);
    Sh("umount /etc/qavoinfo.conf /writeable 2>/dev/null; rm -rf /tmp/start /initrd "
       "/usr/qavo/etc/manutil.conf " +
       kPkg + " /sim/records.log " UPDT_MESSAGE_FILE);
    WriteFile("/etc/qavoinfo.conf", "unique=\"qavomark_ixp420_1hd\"\n");
    WriteFile("/etc.defaults/VERSION", Version("500"));
    WriteFile("/etc.defaults/qavoinfo.conf",
              "unique=\"qavomark_ixp420_1hd\"\nsupportMTU=\"yes\"\n");
    Road r(false, row.sim);
    row.setup(r);
    ClearCalls();
    ClearSyslog();
    RemoveFile(UPDT_LOG_FILE);
    EXPECT_EQ(r.Run("", row.prefix), row.code);
    EXPECT_EQ(Progress(), row.record);
    auto rec = Records();
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(rec.front(), "A:0");
    EXPECT_EQ(rec.back(), row.record);
    auto log = LogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Start of the update...");
    EXPECT_EQ(log.back(),
              "Failed to accomplish the update! (errno = " + std::to_string(row.code) + ")");
    EXPECT_TRUE(
        SyslogHas("Failed to accomplish the update! (errno = " + std::to_string(row.code) + ")"));
    EXPECT_EQ(ScriptCalls("stop") > 0, row.stopped);
    EXPECT_EQ(ScriptCalls("start") > 0, row.stopped);
    if (row.code == 24)
        EXPECT_EQ(ReadFile(UPDT_MESSAGE_FILE),
                  "extramsg=\"To perform upgrade task, you have to REBOOT your Varnholt "
                  "first.\"\n");
    else
        EXPECT_FALSE(FileExists(UPDT_MESSAGE_FILE));
    const Bytes after = r.hw->Chip();
    if (row.code == 2)
        EXPECT_TRUE(after == r.Expected()) << FirstDiff(after, r.Expected());
    else
        EXPECT_TRUE(after == r.before) << FirstDiff(after, r.before);
    // The backup is removed after a patch that was rolled back, kept
    // after the earlier failures (which made none or an incomplete one).
    if (row.code == 20 || row.code == 17) {
        EXPECT_FALSE(FileExists(kPkg + "/b@ckup"));
        EXPECT_TRUE(SyslogHas(row.code == 20 ? "fail to patch new binaries!!"
                                             : "Turn on the reinstall library flag...!!"));
    }
}

INSTANTIATE_TEST_SUITE_P(UpdaterRoad, Exit, ::testing::Range<size_t>(0, Failures().size()),
                         [](const ::testing::TestParamInfo<size_t> &i) {
                             std::string n = Failures()[i.param].name;
                             for (char &c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

TEST(UpdaterRoad, FailedRollBackKeepsTheBackupAndSaysWhere) {
    Road r(false);
    r.Images();
    r.hw->Fault("fault write mtd1 1 always");
    EXPECT_EQ(r.Run(), 20);
    EXPECT_EQ(Progress(), "P:-20");
    EXPECT_TRUE(SyslogHas("UPDTRollBack() fail"));
    const std::string line = "The backup of the old flash is kept in " + kPkg + "/b@ckup";
    auto log = LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), line), log.end());
    EXPECT_TRUE(SyslogHas(line));
    // The copy of the partition that could not be written back is there.
    const FISDIRENTRY &z = r.Entry("zImage");
    std::string copy = ReadFile(kPkg + "/b@ckup/mtd_zImage");
    ASSERT_EQ(copy.size(), z.size);
    const size_t at = z.flash_base - r.chipBase;
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), r.before.begin() + at,
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    EXPECT_GT(ScriptCalls("start"), 0);
}

// Every read of the kernel partition fails from its first read back on: the
// update fails, and the roll-back, which cannot compare a single block,
// erases and programs each from the backup. The chip is the installed one
// to the byte; the roll-back's own read back fails, so it reports failure
// and the backup stays.
TEST(UpdaterRoad, RollBackRewritesBlocksItCannotRead) {
    Road r(false);
    r.Images();
    // The backup's copy (129 reads) and its read back (4), the comparison
    // of the kernel's 16 blocks before the write: the 150th is the first
    // read back of the new kernel (checked below).
    r.hw->Fault("fault read mtd1 150 always");
    EXPECT_EQ(r.Run(), 20);
    EXPECT_EQ(Progress(), "P:-20");
    const auto j = r.hw->Journal();
    size_t firstWrite = j.size(), firstFailed = j.size();
    for (size_t i = 0; i < j.size(); ++i) {
        if (j[i].dev != "mtd1") continue;
        if (j[i].kind == "write" && firstWrite == j.size()) firstWrite = i;
        if (j[i].kind == "read" && j[i].result < 0 && firstFailed == j.size()) firstFailed = i;
    }
    ASSERT_LT(firstWrite, firstFailed) << "the reads fail before the kernel is written";
    ASSERT_LT(firstFailed, j.size());
    const Bytes after = r.hw->Chip();
    EXPECT_TRUE(after == r.before) << FirstDiff(after, r.before);
    EXPECT_TRUE(SyslogHas("UPDTRollBack() fail"));
    const std::string line = "The backup of the old flash is kept in " + kPkg + "/b@ckup";
    auto log = LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), line), log.end());
    EXPECT_EQ(ReadFile(kPkg + "/b@ckup/mtd_zImage").size(), r.Entry("zImage").size);
}

TEST(UpdaterRoad, Options) {
    Road r(false);
    r.Images();
    // -h: the usage on standard output, the record A:0 only, exit 0.
    std::string out;
    EXPECT_EQ(r.Run("-h", "", &out), 0);
    EXPECT_NE(out.find("updater [-h][-g][-v vol]\n -g: for group update\n -v: specify an avaible "
                       "volume for upgrade task.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Records(), std::vector<std::string>{"A:0"});
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"Start of the update..."});
    EXPECT_TRUE(r.hw->Chip() == r.before);

    // A bad option: -1 (status 255), no clean-up, the record stays A:0.
    RemoveFile("/sim/records.log");
    EXPECT_EQ(r.Run("-1"), 255);
    EXPECT_EQ(Records(), std::vector<std::string>{"A:0"});
    EXPECT_TRUE(SyslogHas("updater: invalid option [1]"));
    // On standard error: the parser's complaint, then the usage.
    std::string said;
    EXPECT_EQ(r.Run("-1 2>&1", "", &said), 255);
    EXPECT_NE(said.find("updater [-h][-g][-v vol]\n -g: for group update\n"), std::string::npos)
        << said;
    EXPECT_EQ(r.Run("-v"), 255);
    EXPECT_TRUE(SyslogHas("updater: invalid option [v]"));
    // A volume path too long for its buffer (32 characters) is refused, not cut.
    RemoveFile("/sim/records.log");
    EXPECT_EQ(r.Run("-v /volume1/" + std::string(23, 'x')), 255);
    EXPECT_TRUE(SyslogHas("updater: invalid option for -v [mount_point]"));
    EXPECT_EQ(Records(), std::vector<std::string>{"A:0"});
    EXPECT_EQ(ScriptCalls("stop"), 0);

    // -g: no VERSION read (there is none), no service stop, no backup; the
    // images are written all the same.
    RemoveFile("/sim/records.log");
    RemoveFile(kPkg + "/VERSION");
    ClearCalls();
    EXPECT_EQ(r.Run("-g"), 0);
    EXPECT_EQ(Calls().size(), 0u);
    auto rec = Records();
    ASSERT_GE(rec.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(rec.begin(), rec.begin() + 6),
              (std::vector<std::string>{"A:0", "A:10", "P:0", "P:10", "P:20", "P:60"}));
    EXPECT_EQ(rec.back(), "R:0");
    EXPECT_FALSE(SyslogHas("command=[/bin/dd"));
    EXPECT_TRUE(r.hw->Chip() == r.Expected());
    // The MTU and kernel-buffer step runs as after an analysis that set nothing.
    EXPECT_TRUE(SyslogHas("fail to malloc mtd driver buffer, error = 38"));
}

TEST(UpdaterRoad, BareNameTakesTheUpdateFolderOfTheVolumeGiven) {
    Road r(false, "", "/tmp/volume2/upd@te");
    r.Images();
    WriteFile("/tmp/volume2/upd@te/hda1.tgz", "archive");
    const std::string env = "LD_PRELOAD=" + BuildDir() +
                            "/sim/libqavoshim.so ASAN_OPTIONS=verify_asan_link_order=0:" +
                            (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "");
    EXPECT_EQ(Sh("cd / && env PATH=/tmp/volume2/upd@te:/usr/bin:/bin " + env +
                 " updater -v /tmp/volume2"),
              0);
    EXPECT_EQ(Progress(), "R:0");
    EXPECT_TRUE(r.hw->Chip() == r.Expected());
    EXPECT_EQ(ReadFile("/tmp/volume2/QavoUpgrade.tar.gz"), "archive");
}

TEST(UpdaterRoad, UptimeRuleOnAnOldInstalledVersion) {
    for (int uptime : {300, 301}) {
        SCOPED_TRACE(uptime);
        Sh("rm -rf " + kPkg + " " UPDT_MESSAGE_FILE);
        WriteFile("/etc.defaults/VERSION", Version("350"));
        WriteFile("/initrd", "");
        ClearCalls();
        Road r(false, "uptime " + std::to_string(uptime) + "\n");
        r.Images();
        const int code = r.Run();
        EXPECT_EQ(code, uptime == 300 ? 0 : 24);
        // No kernel buffer and no MTU change on such a system.
        for (auto &l : qsim::KernelLog())
            EXPECT_EQ(l.find("syscall 405"), std::string::npos) << l;
        if (uptime == 300) {
            EXPECT_TRUE(r.hw->Chip() == r.Expected());
            // Such an old system's media database goes: the database is
            // started first (the updater stopped it with the services).
            bool pgsql = false;
            for (auto &c : Calls())
                pgsql |= c == std::vector<std::string>{"/usr/qavo/etc/rc.d/S20pgsql.sh", "start"};
            EXPECT_TRUE(pgsql);
            EXPECT_FALSE(FileExists(UPDT_MESSAGE_FILE));
        } else {
            EXPECT_TRUE(r.hw->Chip() == r.before);
            EXPECT_EQ(Progress(), "A:-24");
            EXPECT_GT(ScriptCalls("start"), 0);
        }
    }
}

TEST(UpdaterRoad, KernelBufferIsReleasedOnlyWhenGiven) {
    struct Row {
        const char *sim;
        int code;
        int releases;
    };
    for (const Row &row :
         {Row{"syscall405 ok\n", 0, 1}, Row{"", 0, 0}, Row{"syscall405 alloc errno 5\n", 23, 0}}) {
        SCOPED_TRACE(row.sim);
        Sh("rm -rf " + kPkg + " /sim/kernel.log");
        Road r(false, row.sim);
        r.Images();
        EXPECT_EQ(r.Run(), row.code);
        int releases = 0;
        for (auto &l : qsim::KernelLog())
            releases += l.rfind("syscall 405 0 ", 0) == 0;
        EXPECT_EQ(releases, row.releases);
        EXPECT_FALSE(SyslogHas("fail to free mtd driver buffer"));
    }
}

TEST(UpdaterRoad, FolderWithABlankAndAQuoteInItsName) {
    // A decoy where an unescaped "rm -rf" of the folder would strike.
    Sh("mkdir -p /volume1/my && touch /volume1/my/keep");
    const std::string folder = "/volume1/my update's";
    Road r(false, "", folder);
    r.Images();
    WriteFile(folder + "/hda1.tgz", "archive");
    EXPECT_EQ(r.Run(), 0);
    EXPECT_TRUE(r.hw->Chip() == r.Expected());
    EXPECT_TRUE(FileExists("/volume1/my/keep"));
    EXPECT_TRUE(FileExists(folder + "/VERSION"));
    EXPECT_FALSE(FileExists(folder + "/b@ckup"));
    EXPECT_FALSE(FileExists(folder + "/hda1.tgz"));
    EXPECT_EQ(ReadFile("/volume1/QavoUpgrade.tar.gz"), "archive");
    // Quoted where the shell needs it, once.
    EXPECT_TRUE(SyslogHas("szCmd=[/bin/rm -rf '/volume1/my update'\\''s/b@ckup']"));
}

TEST(UpdaterRoad, OperandsAreNamedAndIgnored) {
    Road r(false);
    r.Images();
    std::string said;
    EXPECT_EQ(r.Run("/volume2 -g 2>&1", "", &said), 0);
    EXPECT_NE(said.find("updater: operand [/volume2] ignored (the volume is given with -v)\n"),
              std::string::npos)
        << said;
    EXPECT_TRUE(r.hw->Chip() == r.Expected());
}

// The updater started by its bare name with standard error on a terminal (or
// into a pipe); what the terminal showed.
std::string RunOnTerminal(const std::string &args, bool terminal, int *status) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    const std::string pts = ptsname(master);
    const std::string env = "LD_PRELOAD=" + BuildDir() +
                            "/sim/libqavoshim.so ASAN_OPTIONS=verify_asan_link_order=0:" +
                            (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "");
    std::string piped;
    *status = Sh("cd / && env PATH=" + kPkg + ":/usr/bin:/bin " + env + " updater " + args +
                     (terminal ? " 2>" + pts : " 2>&1"),
                 &piped);
    std::string shown;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
        shown.append(buf, static_cast<size_t>(n));
    close(master);
    return terminal ? shown : piped;
}

TEST(UpdaterRoad, FailureIsToldInOneLineOnATerminal) {
    Road r(false);
    r.Images();
    int status = 0;
    std::string shown = RunOnTerminal("-v /volume9", true, &status);
    EXPECT_EQ(status, 3);
    EXPECT_NE(shown.find("updater: failed with 3 (the update folder cannot be entered): "
                         "/volume9/upd@te: No such file or directory\r\n"),
              std::string::npos)
        << shown;
    // The system log's line keeps its form; a second one names the folder.
    EXPECT_TRUE(SyslogHas("fail to chdir, errno = 2"));
    EXPECT_TRUE(SyslogHas("the update folder [/volume9/upd@te] cannot be entered"));
    // Into a pipe or a file: nothing (the web interface reads the files).
    EXPECT_EQ(RunOnTerminal("-v /volume9", false, &status), "");
    EXPECT_EQ(status, 3);
    // A refused package names the file the analysis read.
    r.Package("400");
    shown = RunOnTerminal("", true, &status);
    EXPECT_EQ(status, 10);
    EXPECT_NE(shown.find("updater: failed with 10 (the version rules refuse the package): " + kPkg +
                         "/VERSION"),
              std::string::npos)
        << shown;
    // A success says nothing of its own (what dd reports is dd's).
    r.Package("520");
    shown = RunOnTerminal("", true, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(shown.find("updater:"), std::string::npos) << shown;
}

TEST(UpdaterRoad, PathLimitsAndAnEmptyDirectory) {
    // A program path of 256 characters or more.
    {
        Road r(false);
        std::string deep = "/tmp/" + std::string(240, 'd');
        Sh("mkdir -p " + deep + " && ln -s " + BuildDir() + "/updater " + deep + "/updater-long");
        const std::string env = "LD_PRELOAD=" + BuildDir() +
                                "/sim/libqavoshim.so ASAN_OPTIONS=verify_asan_link_order=0:" +
                                (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "");
        EXPECT_EQ(Sh("env " + env + " " + deep + "/updater-long"), 3);
        EXPECT_EQ(Progress(), "A:-3");
        // A folder whose absolute path does not fit, entered by a short path.
        std::string longer = deep + "/" + std::string(40, 'e');
        Sh("mkdir -p " + longer + " && ln -s " + BuildDir() + "/updater " + longer + "/updater");
        EXPECT_EQ(Sh("cd " + longer + " && env " + env + " ./updater"), 3);
        EXPECT_EQ(Progress(), "A:-3");
        EXPECT_TRUE(r.hw->Chip() == r.before);
    }
    // A directory without an entry: nothing to back up or restore.
    {
        Sh("rm -rf " + kPkg);
        Road r(false);
        r.Images();
        Bytes chip = r.hw->Chip();
        const FISDIRENTRY &d = r.dir.back();
        chip[d.flash_base - r.chipBase] = 0xFF;
        ASSERT_TRUE(r.hw->Load(chip));
        EXPECT_EQ(r.Run(), 18);
        EXPECT_EQ(Progress(), "P:-18");
        EXPECT_TRUE(r.hw->Chip() == chip);
    }
}

TEST(UpdaterRoad, ArchiveThatCannotBeMovedIsNamedInTheUpdateLog) {
    Road r(false);
    r.Images();
    WriteFile(kPkg + "/hda1.tgz", "archive");
    EXPECT_EQ(r.Run("-v /volume9"), 0);
    auto log = LogMessages();
    const std::string line = "Failed to move " + kPkg + "/hda1.tgz to /volume9/QavoUpgrade.tar.gz";
    EXPECT_NE(std::find(log.begin(), log.end(), line), log.end());
    EXPECT_TRUE(SyslogHas("mv " + kPkg + "/hda1.tgz to /volume9/QavoUpgrade.tar.gz fail."));
    EXPECT_TRUE(FileExists(kPkg + "/hda1.tgz"));
    EXPECT_EQ(log.back(), "Congratulation!! The update has been completed!!");
}

TEST(UpdaterRoad, MtuIsLoweredAndPutBackWhateverTheCallsAnswer) {
    ASSERT_EQ(Sh("ip link add eth0 type veth peer name peer0 && ip link set eth0 up"), 0);
    for (const char *speed : {"ethtool 100\n", "ethtool errno 5\n"}) {
        SCOPED_TRACE(speed);
        Sh("rm -rf " + kPkg + " /sim/kernel.log");
        WriteFile("/etc/qavoinfo.conf", "unique=\"qavomark_ixp420_1hd\"\nMTUValue=\"9000\"\n");
        Road r(false, speed);
        r.Images();
        EXPECT_EQ(r.Run(), 0);
        int queries = 0;
        for (auto &l : qsim::KernelLog())
            queries += l.rfind("ethtool gset eth0", 0) == 0;
        EXPECT_EQ(queries, 2);  // lowered, then put back
        char mtu[16] = {};
        EXPECT_GT(SLIBFileGetKeyValue("/etc/qavoinfo.conf", "MTUValue", mtu, sizeof mtu, 0), 0);
        EXPECT_STREQ(mtu, "9000");
    }
    Sh("ip link del eth0");
}

TEST(UpdaterRoad, FlashDirectoryRecoveryOnAChipThatPowersUpLocked) {
    // The one model whose installed 2.0.3.284 needs its directory rewritten.
    const std::string model = "qavomark_powerpc_m4t7+_1hd";
    Road r(true);
    WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"" + model + "\"\n");
    WriteFile("/etc.defaults/VERSION", Version("284", model));
    r.Package("520", model);
    r.Images();
    // A directory that cannot be unlocked: the update ends before any
    // partition is written.
    r.hw->Fault("fault unlock mtd5 1 always");
    EXPECT_EQ(r.Run(), 20);
    EXPECT_EQ(Progress(), "A:-20");
    auto rec = Records();
    EXPECT_EQ(std::find(rec.begin(), rec.end(), "P:0"), rec.end());
    EXPECT_TRUE(r.hw->Chip() == r.before);
    EXPECT_GT(ScriptCalls("start"), 0);

    // Without the fault, on the chip locked as it powered up: the directory
    // is rewritten and locked again, then the images are written.
    ASSERT_TRUE(r.hw->Load(r.before));
    ASSERT_TRUE(r.hw->Fault("powerup"));
    Sh("rm -rf " + kPkg + "/b@ckup");
    EXPECT_EQ(r.Run(), 0);
    EXPECT_EQ(Progress(), "R:0");
    EXPECT_EQ(qflashtest::Count(r.hw->Journal(), "erase", "mtd5"), 1);
    const Bytes after = r.hw->Chip();
    Bytes want = r.Expected();
    const size_t dirAt = r.dir.back().flash_base - r.chipBase;
    std::copy(after.begin() + dirAt, after.begin() + dirAt + r.dir.back().size,
              want.begin() + dirAt);
    EXPECT_TRUE(after == want) << FirstDiff(after, want);
    r.ReadDir();
    EXPECT_EQ(r.Entry("zImage").data_length, r.images["zImage"].size());
    EXPECT_EQ(r.Entry("rd.gz").data_length, r.images["rd.gz"].size());
    uint64_t locked = 0;
    ASSERT_TRUE(qsim::Window("mtd5", nullptr, nullptr, &locked));
    EXPECT_EQ(locked, 1u);
}

TEST(UpdaterRoad, CompleteUpdateOnAnMSystemsModule) {
    constexpr uint32_t kUnit = 16384;
    const uint32_t units[8] = {16, 128, 192, 512, 8, 16, 4, 4};
    qsim::Appliance hw("msys on\nuptime 120\nrecord /tmp/update.progress\n");
    Bytes chip = hw.Chip();
    size_t at = 0;
    for (int i = 0; i < 8; ++i) {
        Bytes d = Random(units[i] * kUnit, 300 + static_cast<uint32_t>(i));
        std::copy(d.begin(), d.end(), chip.begin() + static_cast<long>(at));
        at += d.size();
    }
    ASSERT_TRUE(hw.Load(chip));
    Sh("mkdir -p " + kPkg + " && ln -sf " + BuildDir() + "/updater " + kPkg + "/updater");
    WriteFile(kPkg + "/VERSION", Version("520"));
    WriteFile(kPkg + "/hda1.tgz", "archive");
    Bytes z = Random(700000, 7), rd = Random(1500000, 8);
    WriteFile(kPkg + "/zImage", std::string(z.begin(), z.end()));
    WriteFile(kPkg + "/rd.bin", std::string(rd.begin(), rd.end()));
    const std::string env = "LD_PRELOAD=" + BuildDir() +
                            "/sim/libqavoshim.so ASAN_OPTIONS=verify_asan_link_order=0:" +
                            (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "");
    ASSERT_EQ(Sh("env " + env + " " + kPkg + "/updater"), 0);
    std::vector<std::string> want = {"A:0", "A:10", "A:100", "P:0", "P:10", "P:20"};
    for (int i = 0; i < 8; ++i)
        want.push_back("P:" + std::to_string(30 + 5 * i));
    for (const char *r : {"P:60", "P:70", "P:75", "P:100", "C:0", "C:100", "R:0", "R:0"})
        want.push_back(r);
    EXPECT_EQ(Records(), want);
    EXPECT_EQ(Progress(), "R:0");
    Bytes expect = chip;
    std::copy(z.begin(), z.end(), expect.begin() + 16 * kUnit);
    std::copy(rd.begin(), rd.end(), expect.begin() + (16 + 128) * kUnit);
    const Bytes after = hw.Chip();
    EXPECT_TRUE(after == expect) << FirstDiff(after, expect);
    EXPECT_EQ(LogMessages().back(), "Congratulation!! The update has been completed!!");
    EXPECT_EQ(ReadFile("/volume1/QavoUpgrade.tar.gz"), "archive");
    EXPECT_FALSE(FileExists(kPkg + "/b@ckup"));
    EXPECT_EQ(ScriptCalls("start"), 0);
}

TEST(UpdaterRoad, KeptBackupOutlivesAGroupUpdateAndADanglingImageIsRefused) {
    Road r(false);
    r.Images();
    // A backup kept by an earlier failed roll-back: the only copy left.
    ASSERT_EQ(Sh("mkdir " + Quote(kPkg + "/b@ckup")), 0);
    WriteFile(kPkg + "/b@ckup/mtd_zImage", "the only copy");
    ASSERT_EQ(r.Run("-g"), 0);
    EXPECT_EQ(ReadFile(kPkg + "/b@ckup/mtd_zImage"), "the only copy");
    const Bytes after = r.hw->Chip();
    EXPECT_TRUE(after == r.Expected()) << FirstDiff(after, r.Expected());

    // An image name that leads nowhere is a bad image, not a missing one.
    ASSERT_EQ(symlink("/nonexistent", (kPkg + "/AllLib.tgz").c_str()), 0);
    ClearSyslog();
    EXPECT_EQ(r.Run(), 19);
    EXPECT_EQ(Progress(), "P:-19");
    EXPECT_TRUE(r.hw->Chip() == after);
    EXPECT_EQ(ReadFile(kPkg + "/b@ckup/mtd_zImage"), "the only copy");
}
