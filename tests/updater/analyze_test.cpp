// Package analysis: version and model rules, migration flags, the package
// files that count as present, and the dotted version comparison.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "appliance.h"
#include "updt_analyze.h"
#include "updt_patchinfo.h"

using namespace qtest;

namespace {

struct Ver {
    const char *unique, *major, *minor, *phase, *build;
};

std::string VersionText(const Ver &v, bool withUnique) {
    std::string s;
    if (withUnique) s += std::string("unique=\"") + v.unique + "\"\n";
    s += std::string("majorversion=\"") + v.major + "\"\nminorversion=\"" + v.minor +
         "\"\nbuildphase=\"" + v.phase + "\"\nbuildnumber=\"" + v.build + "\"\n";
    return s;
}

// Installs the system described by org and the package pkg in /tmp/upd, and
// runs the analysis there.
int Analyze(const Ver &org, const Ver &pkg) {
    WriteFile("/etc.defaults/qavoinfo.conf", std::string("unique=\"") + org.unique + "\"\n");
    WriteFile("/etc.defaults/VERSION", VersionText(org, false));
    mkdir("/tmp/upd", 0755);
    WriteFile("/tmp/upd/VERSION", VersionText(pkg, true));
    char cwd[256];
    EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(chdir("/tmp/upd"), 0);
    int code = ErrUPDTIAnalyze();
    EXPECT_EQ(chdir(cwd), 0);
    return code;
}

struct Flags {
    int rcAtalk, useMtd, ftpRange, photo, dropMedia, rsyncd, recoverFis;
};
Flags Current() {
    return {blRemoveRcAtalk,     blUseMTDBuffer,  blFixFtpPortRange, nPhotoDBFix,
            blDropMediaServerDB, blFixRsyncdConf, blRecoverFISDir};
}

constexpr const char *kModel = "qavomark_ixp420_1hd";
constexpr const char *kPowerpc = "qavomark_powerpc_m4t7+_1hd";

}  // namespace

TEST(Analyze, VersionRulesAndFlags) {
    constexpr int X = -1;  // flag not checked (package refused)
    struct Case {
        const char *what;
        int pomlet;
        Ver org, pkg;
        int code;
        Flags flags;
    } cases[] = {
        // A higher development level is accepted, then checked like any other.
        {"beta1 to rc1",
         0,
         {kModel, "2", "0", "beta1", "300"},
         {kModel, "2", "0", "rc1", "10"},
         0,
         {1, 0, 1, 0, 1, 1, 0}},
        {"beta1 to rc1 of another model",
         0,
         {kModel, "2", "0", "beta1", "300"},
         {"tolvane_ixp420_1hd", "2", "0", "rc1", "10"},
         12,
         {X, X, X, X, X, X, X}},
        {"rc2 to rc1",
         0,
         {kModel, "2", "0", "rc2", "10"},
         {kModel, "2", "0", "rc1", "900"},
         10,
         {X, X, X, X, X, X, X}},
        {"rc1 to beta9",
         0,
         {kModel, "2", "0", "rc1", "10"},
         {kModel, "2", "0", "beta9", "900"},
         10,
         {X, X, X, X, X, X, X}},
        {"rc1 equal builds",
         0,
         {kModel, "2", "0", "rc1", "500"},
         {kModel, "2", "0", "rc1", "500"},
         10,
         {X, X, X, X, X, X, X}},
        {"rc1 higher build",
         0,
         {kModel, "2", "0", "rc1", "500"},
         {kModel, "2", "0", "RC1", "501"},
         0,
         {1, 0, 0, 0, 0, 0, 0}},
        {"text phase without level",
         0,
         {kModel, "2", "0", "gamma", "5"},
         {kModel, "2", "0", "rc1", "6"},
         10,
         {X, X, X, X, X, X, X}},
        {"numeric equal builds",
         0,
         {kModel, "2", "0", "3", "600"},
         {kModel, "2", "0", "3", "600"},
         10,
         {X, X, X, X, X, X, X}},
        {"numeric lower phase",
         0,
         {kModel, "2", "0", "4", "600"},
         {kModel, "2", "0", "3", "900"},
         10,
         {X, X, X, X, X, X, X}},
        {"other model",
         0,
         {"qavomark_ixp420_1hd", "2", "0", "3", "284"},
         {"tolvane_ixp420_1hd", "2", "0", "4", "300"},
         12,
         {X, X, X, X, X, X, X}},
        {"model in other case",
         0,
         {"qavomark_ixp420_1hd", "2", "0", "3", "284"},
         {"QAVOMARK_IXP420_1HD", "2", "0", "4", "300"},
         0,
         {0, 0, 1, 0, 1, 1, 0}},
        {"minor differs",
         0,
         {kModel, "2", "0", "3", "600"},
         {kModel, "2", "1", "3", "900"},
         10,
         {X, X, X, X, X, X, X}},
        {"major 1",
         0,
         {kModel, "1", "0", "3", "600"},
         {kModel, "2", "0", "3", "900"},
         13,
         {X, X, X, X, X, X, X}},
        {"wex, old build, other model",
         0,
         {"WEX_1hd", "1", "9", "0", "42"},
         {"tolvane_ixp420_1hd", "2", "7", "beta", "1"},
         0,
         {1, 1, 0, 0, 0, 0, 0}},
        {"wex, newer build, other model",
         0,
         {"wex_1hd", "1", "9", "0", "43"},
         {"tolvane_ixp420_1hd", "2", "7", "0", "1"},
         12,
         {X, X, X, X, X, X, X}},
        {"build 350",
         0,
         {kModel, "2", "0", "3", "350"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 0, 1, 0, 1, 1, 0}},
        {"build 351",
         0,
         {kModel, "2", "0", "3", "351"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 1, 0, 1, 1, 0}},
        {"build 400",
         0,
         {kModel, "2", "0", "3", "400"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 1, 0, 1, 1, 0}},
        {"build 401",
         0,
         {kModel, "2", "0", "3", "401"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 1, 0x3, 1, 1, 0}},
        {"build 421",
         0,
         {kModel, "2", "0", "3", "421"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 1, 0x3, 1, 1, 0}},
        {"build 422",
         0,
         {kModel, "2", "0", "3", "422"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0x3, 1, 1, 0}},
        {"build 424",
         0,
         {kModel, "2", "0", "3", "424"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0x3, 1, 1, 0}},
        {"build 425",
         0,
         {kModel, "2", "0", "3", "425"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0x2, 1, 1, 0}},
        {"build 481",
         0,
         {kModel, "2", "0", "3", "481"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0x2, 1, 1, 0}},
        {"build 482",
         0,
         {kModel, "2", "0", "3", "482"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0, 1, 1, 0}},
        {"build 483",
         0,
         {kModel, "2", "0", "3", "483"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0, 1, 1, 0}},
        {"build 484",
         0,
         {kModel, "2", "0", "3", "484"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0, 1, 0, 0}},
        {"build 489",
         0,
         {kModel, "2", "0", "3", "489"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0, 1, 0, 0}},
        {"build 490",
         0,
         {kModel, "2", "0", "3", "490"},
         {kModel, "2", "0", "3", "999"},
         0,
         {0, 1, 0, 0, 0, 0, 0}},
        {"284 on pomlet",
         1,
         {kPowerpc, "2", "0", "3", "284"},
         {kPowerpc, "2", "0", "3", "999"},
         0,
         {0, 0, 1, 0, 1, 1, 1}},
        {"284 not pomlet",
         0,
         {kPowerpc, "2", "0", "3", "284"},
         {kPowerpc, "2", "0", "3", "999"},
         0,
         {0, 0, 1, 0, 1, 1, 0}},
        {"installed build 0",
         0,
         {kModel, "2", "0", "3", "0"},
         {kModel, "2", "0", "3", "9"},
         6,
         {X, X, X, X, X, X, X}},
        {"package major 0",
         0,
         {kModel, "2", "0", "3", "5"},
         {kModel, "0", "0", "3", "9"},
         7,
         {X, X, X, X, X, X, X}},
        {"package phase too long",
         0,
         {kModel, "2", "0", "3", "5"},
         {kModel, "2", "0", "rc12345678901234567", "9"},
         7,
         {X, X, X, X, X, X, X}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        blPomlet = c.pomlet;
        ASSERT_EQ(Analyze(c.org, c.pkg), c.code);
        if (c.code != 0) continue;
        Flags f = Current();
        EXPECT_EQ(f.rcAtalk, c.flags.rcAtalk);
        EXPECT_EQ(f.useMtd, c.flags.useMtd);
        EXPECT_EQ(f.ftpRange, c.flags.ftpRange);
        EXPECT_EQ(f.photo, c.flags.photo);
        EXPECT_EQ(f.dropMedia, c.flags.dropMedia);
        EXPECT_EQ(f.rsyncd, c.flags.rsyncd);
        EXPECT_EQ(f.recoverFis, c.flags.recoverFis);
    }
    // Every accepted package is written to the update log.
    EXPECT_NE(ReadFile("/var/log/qavoupdate.log")
                  .find("\tUpgrade from version 2.0.beta1.300 to "
                        "version 2.0.rc1.10\n"),
              std::string::npos);
}

TEST(Analyze, PackageFilesThatCount) {
    const Ver org{kModel, "2", "0", "3", "500"}, pkg{kModel, "2", "0", "3", "501"};
    ASSERT_EQ(Analyze(org, pkg), 0);
    // Empty, unreadable by its owner, or a directory: the package's VERSION is missing.
    ASSERT_EQ(chdir("/tmp/upd"), 0);
    WriteFile("VERSION", "");
    EXPECT_EQ(ErrUPDTIAnalyze_WholeSystem(), 7);
    RemoveFile("VERSION");
    WriteFile("VERSION", VersionText(pkg, true), 0200);
    EXPECT_EQ(ErrUPDTIAnalyze(), 7);
    RemoveFile("VERSION");
    mkdir("VERSION", 0755);
    EXPECT_EQ(ErrUPDTIAnalyze(), 7);
    rmdir("VERSION");
    WriteFile("VERSION", VersionText(pkg, true));
    // An empty UPDATELIST is no small patch; a non-empty one needs DEPENDENCY.
    WriteFile("UPDATELIST", "");
    EXPECT_EQ(ErrUPDTIAnalyze(), 0);
    WriteFile("UPDATELIST", "x\n");
    EXPECT_EQ(ErrUPDTIAnalyze(), 13);
    WriteFile("DEPENDENCY", "y\n");
    EXPECT_EQ(ErrUPDTIAnalyze(), 6);
    EXPECT_EQ(chdir("/"), 0);
}

TEST(Analyze, WriteableMigrationStoresDefaultFs) {
    // An installed 2.0 build up to 261 of a listed model, with "/writeable":
    // "defaultfs" is taken from the defaults, else "reiserfs".
    const Ver org{kModel, "2", "0", "3", "261"}, pkg{kModel, "2", "0", "3", "600"};
    WriteFile("/etc/qavoinfo.conf", "unique=\"qavomark_ixp420_1hd\"\n");
    ASSERT_EQ(Analyze(org, pkg), 0);
    EXPECT_EQ(blMigrateWriteable, 1);
    EXPECT_NE(ReadFile("/etc/qavoinfo.conf").find("defaultfs=\"reiserfs\"\n"), std::string::npos);

    WriteFile("/etc/qavoinfo.conf", "unique=\"qavomark_ixp420_1hd\"\ndefaultfs=\"ext3\"\n");
    ASSERT_EQ(Analyze(org, pkg), 0);
    EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"),
              "unique=\"qavomark_ixp420_1hd\"\ndefaultfs=\"ext3\"\n");

    const Ver newer{kModel, "2", "0", "3", "262"};
    WriteFile("/etc/qavoinfo.conf", "unique=\"qavomark_ixp420_1hd\"\n");
    ASSERT_EQ(Analyze(newer, pkg), 0);
    EXPECT_EQ(blMigrateWriteable, 0);
    EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"), "unique=\"qavomark_ixp420_1hd\"\n");
}

TEST(Analyze, CompareVersion) {
    struct {
        const char *a, *b;
        int want;
    } cases[] = {
        {"2.0.rc", "2.0.1", -1},
        {"2.0", "2.0", 0},
        {"", "", 0},
        {"", "1", -1},
        {"1", "", 1},
        {"1.2", "1.2.0", -1},
        {"1.2.", "1.2.0", 0},
        {"1.2.", "1.2.1", -1},
        {"1.2.", "1.2", 0},
        {"2.0.beta", "2.0.alpha", 1},
        {"2.0.RC", "2.0.beta", 1},
        {"10.1", "9.9", 1},
        {"2.x", "2.0", 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(UPDTCompareVersion(c.a, c.b), c.want) << c.a << " vs " << c.b;
        EXPECT_EQ(UPDTCompareVersion(c.b, c.a), -c.want) << c.b << " vs " << c.a;
    }
    EXPECT_EQ(UPDTCompareVersion(nullptr, "1"), 0);
}
