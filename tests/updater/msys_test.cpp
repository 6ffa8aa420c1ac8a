// The flash stage on an M-Systems module: the module's table, dd to the
// partition devices, re-partitioning when an image no longer fits, and the
// roll-back; on the kernel shim's model of the module with real dd.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "appliance.h"
#include "flash_fixture.h"
#include "qavosim.h"
#include "updt_analyze.h"
#include "updt_config.h"
#include "updt_msys.h"
#include "updt_patchinfo.h"
#include "updt_status.h"

using namespace qtest;
using qflashtest::Bytes;
using qflashtest::Count;
using qflashtest::FirstDiff;
using qflashtest::Random;

namespace {

constexpr uint32_t kUnit = 16384;
// The model's partitions in units: RedBoot, zImage, rd.gz, AllLib.tgz,
// vendor, qavocfg, RedBoot Config, FIS Directory (880 of 967 units).
constexpr std::array<uint32_t, 8> kUnits = {16, 128, 192, 512, 8, 16, 4, 4};

// A module whose partitions hold data of their own (erased flash behind the
// last one), the full edition's tables, and the package folder /tmp/upd.
struct Module {
    std::unique_ptr<qsim::Appliance> hw;
    Bytes before;

    explicit Module(const std::string &extra = "") {
        hw = std::make_unique<qsim::Appliance>("msys on\n" + extra);
        UPDTSelectEdition(0);
        Bytes chip = hw->Chip();
        size_t at = 0;
        for (size_t i = 0; i < kUnits.size(); ++i) {
            Bytes d = Random(kUnits[i] * kUnit, 300 + static_cast<uint32_t>(i));
            std::copy(d.begin(), d.end(), chip.begin() + static_cast<long>(at));
            at += d.size();
        }
        EXPECT_TRUE(hw->Load(chip));
        before = chip;
        Sh("rm -rf /tmp/upd /tmp/vol");
        mkdir("/tmp/upd", 0755);
        mkdir("/tmp/vol", 0755);
        snprintf(szUpdateDir, sizeof szUpdateDir, "%s", "/tmp/upd");
        snprintf(szVolume, sizeof szVolume, "%s", "/tmp/vol");
        blGroupUpdate = 0;
        EXPECT_EQ(chdir("/tmp/upd"), 0);
    }
    ~Module() {
        blGroupUpdate = 0;
        EXPECT_EQ(chdir("/"), 0);
    }

    Bytes Image(const std::string &file, size_t n, uint32_t seed) const {
        Bytes b = Random(n, seed);
        WriteFile("/tmp/upd/" + file, std::string(b.begin(), b.end()));
        return b;
    }

    // Offset of partition i on a module laid out in units.
    static size_t Offset(const std::array<uint32_t, 8> &units, int i) {
        size_t at = 0;
        for (int k = 0; k < i; ++k)
            at += units[k] * kUnit;
        return at;
    }
    Bytes Old(int i) const {
        size_t at = Offset(kUnits, i);
        return Bytes(before.begin() + static_cast<long>(at),
                     before.begin() + static_cast<long>(at + kUnits[i] * kUnit));
    }
};

std::string Progress() {
    return ReadFile(UPDT_PROGRESS_FILE);
}

}  // namespace

TEST(MSysFlash, UpdatesInPlaceMovesTheArchiveAndRemovesTheBackup) {
    Module m;
    Bytes z = m.Image("zImage", 100 * kUnit + 123, 1);
    Bytes rd = m.Image("rd.bin", 150 * kUnit, 2);
    WriteFile("/tmp/upd/hda1.tgz", "system archive");
    char stage = 'A';
    EXPECT_EQ(UPDTMSysUpdate(&stage), 0);
    EXPECT_EQ(stage, 'R');
    EXPECT_EQ(Progress().substr(0, 4), "R:0:");

    // dd writes the images over the start of their partitions; the rest of
    // the module is as before.
    Bytes want = m.before;
    std::copy(z.begin(), z.end(), want.begin() + static_cast<long>(Module::Offset(kUnits, 1)));
    std::copy(rd.begin(), rd.end(), want.begin() + static_cast<long>(Module::Offset(kUnits, 2)));
    Bytes got = m.hw->Chip();
    EXPECT_TRUE(got == want) << FirstDiff(got, want);
    EXPECT_EQ(Count(m.hw->Journal(), "msysformat"), 0);
    EXPECT_EQ(ReadFile("/tmp/vol/QavoUpgrade.tar.gz"), "system archive");
    EXPECT_FALSE(FileExists("/tmp/upd/hda1.tgz"));
    EXPECT_FALSE(FileExists("/tmp/upd/b@ckup"));
    EXPECT_TRUE(SyslogHas("skip updating [AllLib.tgz]"));
    EXPECT_NE(ReadFile(UPDT_LOG_FILE).find("Congratulation!! The update has been completed!!"),
              std::string::npos);
}

// rd.bin outgrows rd.gz: zImage (whose image leaves it room) gives units
// away, the module is re-partitioned and every partition written, from the
// package or from its backup. A write fault afterwards, or a failed
// migration, rolls the module back to its old table and bytes.
TEST(MSysFlash, RepartitionsAndRollsBack) {
    struct Case {
        const char *what;
        const char *fault;  // nullptr: the update succeeds
        int code;
    };
    const Case cases[] = {
        {"re-partitioned", nullptr, 0},
        {"every dd into rd.gz fails", "fault write mtd2 1 once", 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Module m;
        Bytes z = m.Image("zImage", 100 * kUnit, 3);
        Bytes rd = m.Image("rd.bin", 200 * kUnit - 5, 4);
        WriteFile("/tmp/upd/hda1.tgz", "system archive");
        if (c.fault) {
            // One failing write in each of the three attempts.
            for (const char *n : {"1", "2", "3"})
                ASSERT_TRUE(m.hw->Fault(std::string("fault write mtd2 ") + n + " once"));
        }
        char stage = 'A';
        EXPECT_EQ(UPDTMSysUpdate(&stage), c.code);
        EXPECT_TRUE(SyslogHas("NEED RE-PARTITION!!"));
        Bytes got = m.hw->Chip();
        if (c.code == 0) {
            // zImage gave 8 units to rd.gz; the format erased everything.
            const std::array<uint32_t, 8> units = {16, 120, 200, 512, 8, 16, 4, 4};
            Bytes want(m.before.size(), 0xFF);
            for (int i = 0; i < 8; ++i) {
                Bytes d = i == 1 ? z : i == 2 ? rd : m.Old(i);
                std::copy(d.begin(), d.end(),
                          want.begin() + static_cast<long>(Module::Offset(units, i)));
            }
            EXPECT_TRUE(got == want) << FirstDiff(got, want);
            EXPECT_TRUE(FileExists("/tmp/vol/QavoUpgrade.tar.gz"));
            EXPECT_EQ(stage, 'R');
        } else {
            EXPECT_TRUE(got == m.before) << FirstDiff(got, m.before);
            EXPECT_EQ(Count(m.hw->Journal(), "msysformat"), 2);
            // The archive stays with the package that was not installed.
            EXPECT_FALSE(FileExists("/tmp/vol/QavoUpgrade.tar.gz"));
            EXPECT_TRUE(FileExists("/tmp/upd/hda1.tgz"));
            EXPECT_EQ(stage, 'P');
        }
        FISDIRENTRY e[8];
        ASSERT_EQ(UPDTMSysGetPartitionInfo(e), 8);
        EXPECT_EQ(e[2].size, (c.code == 0 ? 200u : 192u) * kUnit);
        EXPECT_FALSE(FileExists("/tmp/upd/b@ckup"));
    }
}

TEST(MSysFlash, FailedMigrationRollsBackFlashAndFiles) {
    Module m;
    m.Image("zImage", 64 * kUnit, 5);
    WriteFile("/tmp/upd/hda1.tgz", "system archive");
    // The account fix cannot rename a local "ftp": ftp1 .. ftp127 are taken.
    std::string passwd = ReadFile("/etc/passwd") + "ftp:x:1026:100::/nonexist:/bin/sh\n";
    std::string shadow = ReadFile("/etc/shadow") + "ftp:$1$ab$c:14000:0:99999:7:::\n";
    for (int i = 1; i <= 127; ++i) {
        passwd += "ftp" + std::to_string(i) + ":x:" + std::to_string(1100 + i) +
                  ":100::/nonexist:/bin/sh\n";
        shadow += "ftp" + std::to_string(i) + ":*:14000:0:99999:7:::\n";
    }
    WriteFile("/etc/passwd", passwd);
    WriteFile("/etc/shadow", shadow, 0600);
    WriteFile("/usr/qavo/etc/manutil.conf", "burnin=1\n");
    WriteFile("/etc/crontab",
              "0\t3\t*\t*\t*\troot\t/usr/bin/vacuumdb -a\n1\t1\t*\t*\t*\troot\tx\n");
    blFixFtpAccounts = 1;
    char stage = 'A';
    EXPECT_EQ(UPDTMSysUpdate(&stage), 17);
    blFixFtpAccounts = 0;
    EXPECT_EQ(stage, 'C');
    Bytes got = m.hw->Chip();
    EXPECT_TRUE(got == m.before) << FirstDiff(got, m.before);
    EXPECT_EQ(ReadFile("/usr/qavo/etc/manutil.conf"), "burnin=1\n");
    EXPECT_EQ(ReadFile("/etc/crontab"),
              "0\t3\t*\t*\t*\troot\t/usr/bin/vacuumdb -a\n1\t1\t*\t*\t*\troot\tx\n");
    EXPECT_EQ(ReadFile("/etc/passwd"), passwd);
    EXPECT_FALSE(FileExists("/tmp/vol/QavoUpgrade.tar.gz"));
    EXPECT_FALSE(FileExists("/tmp/upd/b@ckup"));
}

TEST(MSysFlash, RefusalsBeforeTheModuleChanges) {
    {
        SCOPED_TRACE("967 units fit, 968 do not");
        Module m;
        FISDIRENTRY e[8];
        ASSERT_EQ(UPDTMSysGetPartitionInfo(e), 8);
        // Without images the rows count their 880 units of data.
        m.Image("AllLib.tgz", (512 + 87) * kUnit, 6);
        EXPECT_EQ(UPDTMSysInitPatchInfo(e, 8), 0);
        m.Image("AllLib.tgz", (512 + 88) * kUnit, 6);
        EXPECT_EQ(UPDTMSysInitPatchInfo(e, 8), -1);
        char stage = 'A';
        EXPECT_EQ(UPDTMSysUpdate(&stage), 19);
        EXPECT_EQ(m.hw->Chip(), m.before);
    }
    {
        SCOPED_TRACE("group update that needs a re-partition without rd.bin");
        Module m;
        // Every image an update may bring but rd.bin; zImage no longer fits.
        for (const char *f : {"RedBoot.msys", "AllLib.tgz", "vendor", "qavocfg"})
            m.Image(f, kUnit, 8);
        m.Image("zImage", 130 * kUnit, 7);
        blGroupUpdate = 1;
        m.hw->ClearJournal();
        char stage = 'A';
        EXPECT_EQ(UPDTMSysUpdate(&stage), 20);
        EXPECT_TRUE(SyslogHas("failed to update. [/tmp/upd/rd.bin] does not exist"));
        EXPECT_EQ(Count(m.hw->Journal(), "msysformat"), 0);
        EXPECT_EQ(m.hw->Chip(), m.before);
    }
    {
        SCOPED_TRACE("the module's table cannot be read");
        Module m("fault msysgetparts mtd0 1 once\n");
        char stage = 'A';
        EXPECT_EQ(UPDTMSysUpdate(&stage), 18);
    }
    {
        SCOPED_TRACE("the six-row edition has no rows for the module's eight partitions");
        Module m;
        UPDTSelectEdition(1);
        char stage = 'A';
        EXPECT_EQ(UPDTMSysUpdate(&stage), 18);
        UPDTSelectEdition(0);
    }
}

TEST(MSysFlash, RetriesAFailedWriteAndRollsBackOnlyTheRowsItChanged) {
    for (int failures : {1, 3}) {
        SCOPED_TRACE(std::to_string(failures) + " failing writes into rd.gz");
        Module m;
        Bytes z = m.Image("zImage", 100 * kUnit + 7, 91);
        Bytes rd = m.Image("rd.bin", 150 * kUnit, 92);
        // The boot loader as installed: nothing to write there.
        Bytes boot = m.Old(0);
        WriteFile("/tmp/upd/RedBoot.msys", std::string(boot.begin(), boot.end()));
        for (int n = 1; n <= failures; ++n)
            ASSERT_TRUE(m.hw->Fault("fault write mtd2 " + std::to_string(n) + " once"));
        m.hw->ClearJournal();
        char stage = 'A';
        EXPECT_EQ(UPDTMSysUpdate(&stage), failures < 3 ? 0 : 20);
        auto j = m.hw->Journal();
        for (const char *dev : {"mtd0", "mtd3", "mtd4", "mtd5", "mtd6", "mtd7"})
            EXPECT_EQ(Count(j, "write", dev), 0) << dev;
        Bytes want = m.before;
        if (failures < 3) {
            std::copy(z.begin(), z.end(),
                      want.begin() + static_cast<long>(Module::Offset(kUnits, 1)));
            std::copy(rd.begin(), rd.end(),
                      want.begin() + static_cast<long>(Module::Offset(kUnits, 2)));
        }
        Bytes got = m.hw->Chip();
        EXPECT_TRUE(got == want) << FirstDiff(got, want);
        EXPECT_FALSE(FileExists("/tmp/upd/b@ckup"));
    }
}

TEST(MSysFlash, ImageLargerThanItsFixedPartitionIsRefusedBeforeTheFormat) {
    Module m;
    m.Image("zImage", 100 * kUnit, 93);
    m.Image("vendor", 200000, 94);  // 8 units hold 131072 bytes
    m.hw->ClearJournal();
    char stage = 'A';
    EXPECT_EQ(UPDTMSysUpdate(&stage), 20);
    auto j = m.hw->Journal();
    EXPECT_EQ(Count(j, "msysformat"), 0);
    EXPECT_EQ(Count(j, "write"), 0);
    EXPECT_EQ(m.hw->Chip(), m.before);
}
