// Configuration backup: the disk, USB and power settings carried by a file.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "cfgbackup_support.h"
#include "cfgbackup.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_sys.h"
#include "qavobios.h"
#include "qavosim.h"
#include "slib_keyvalue.h"

namespace {

using cfgtest::Bytes;
using cfgtest::kFile;

const char *const kDefaults = "/etc.defaults/qavoinfo.conf";
const char *const kUsbBkp = "/usr/qavo/bin/qavousbbkp";

void SetKey(const char *path, const char *key, const char *value) {
    ASSERT_GE(SLIBFileSetOrAddKeyValue(path, key, value, SLIB_KEYVALUE_FMT_QUOTED), 0) << key;
}

std::string Key(const char *key) {
    char v[1024] = "";
    SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, v, sizeof v, 0);
    return v;
}

std::string Walk() {
    std::string out;
    qtest::Exec(
        {"/usr/bin/python3", qtest::SourceDir() + "/tests/system/cfgbackup_reader.py", kFile},
        &out);
    return out;
}

TEST(CfgBackupStorage, UsbBackupScheduleFollowsTheFile) {
    QAVOSCHEDULE s{};
    s.ulWeekdayMask = 0x3E;
    s.nHour = 2;
    s.nLastHour = 20;
    s.nInterval = 6;
    s.nMinute = 15;
    strcpy(s.szCommand, kUsbBkp);
    ASSERT_EQ(QAVOScheduleSet(&s), 0);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_USBBKP_SCHEDULE), 0);
    EXPECT_NE(Walk().find("\"items\": [1, 15, 2, 20, 62, 6]"), std::string::npos) << Walk();
    const std::string crontab = qtest::ReadFile("/etc/crontab");

    ASSERT_EQ(QAVOScheduleRemove(kUsbBkp), 0);
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);  // kept without overwrite
    QAVOSCHEDULE got{};
    EXPECT_EQ(QAVOScheduleGet(kUsbBkp, &got), 0);
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(qtest::ReadFile("/etc/crontab"), crontab);

    // A file without a schedule removes the line.
    Bytes none;
    none.Long(0).Long(-1).Long(-1).Long(-1).Long(-1).Long(-1);
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_USBBKP_SCHEDULE, none).data());
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(QAVOScheduleGet(kUsbBkp, &got), 0);
}

TEST(CfgBackupStorage, UsbBackupShareListKeepsExistingSharesOnly) {
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1 && mount -t tmpfs -o size=8m tmpfs /volume1"), 0);
    qtest::WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tworkgroup=WORKGROUP\n");
    for (const char *name : {"docs", "Media"}) {
        QAVOSHARE s{};
        const std::string path = std::string("/volume1/") + name;
        s.szName = const_cast<char *>(name);
        s.szPath = const_cast<char *>(path.c_str());
        s.fType = QAVOSHARE_ACCESS_RW;
        s.fBrowseable = 1;
        ASSERT_EQ(QAVOShareSet(1, nullptr, &s), 1);
    }
    // The list is read whole, without a share limit key in the settings.
    const std::string longList = "docs," + std::string(600, 'x') + ",media";
    SetKey(SLIB_QAVOINFO_PATH, "usbbkpshares", longList.c_str());
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_USBBKP_SHARELIST), 0);
    EXPECT_NE(Walk().find(longList), std::string::npos);

    const struct {
        const char *stored, *expected;
    } cases[] = {
        {"docs,gone,MEDIA", "docs,MEDIA"},
        {"gone,lost", ""},
        {"", ""},
        {longList.c_str(), "docs,media"},
    };
    for (const auto &c : cases) {
        SetKey(SLIB_QAVOINFO_PATH, "usbbkpshares", "before");
        qtest::WriteFile(
            kFile,
            Bytes::File().Section(QAVOSYSBKP_ID_USBBKP_SHARELIST, Bytes().Str(c.stored)).data());
        ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0) << c.stored;
        EXPECT_EQ(Key("usbbkpshares"), c.expected) << c.stored;
    }
}

TEST(CfgBackupStorage, PowerRecoveryGoesToThePanel) {
    SetKey(kDefaults, "supportrcpower", "yes");
    SetKey(SLIB_QAVOINFO_PATH, "enableRCPower", "no");
    qsim::Bios bios;
    const std::string file =
        Bytes::File().Section(QAVOSYSBKP_ID_RCPOWER, Bytes().Str("yes")).data();
    qtest::WriteFile(kFile, file);
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);
    EXPECT_EQ(Key("enableRCPower"), "no");
    EXPECT_TRUE(bios.Journal().empty());

    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(Key("enableRCPower"), "yes");
    const auto journal = bios.Journal();
    ASSERT_EQ(journal.size(), 1u);
    int32_t command = 0;
    memcpy(&command, journal[0].in.data(), 4);
    EXPECT_EQ(command, 0x5500);

    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_RCPOWER), 0);
    EXPECT_NE(Walk().find("\"items\": [\"yes\"]"), std::string::npos);
}

TEST(CfgBackupStorage, GatedSectionsNeitherWrittenNorRead) {
    SetKey(kDefaults, "usbcopy", "no");
    SetKey(SLIB_QAVOINFO_PATH, "usbcopyfolder", "public");
    ASSERT_EQ(QAVOSysbkpExport(
                  kFile, QAVOSYSBKP_ID_USBCOPYSET | QAVOSYSBKP_ID_DCACHE | QAVOSYSBKP_ID_RCPOWER),
              0);
    EXPECT_EQ(qtest::ReadFile(kFile).size(), 12u);
    // A section in the file is not read: even a damaged one does no harm.
    qtest::WriteFile(
        kFile, Bytes::File().Section(QAVOSYSBKP_ID_USBCOPYSET, Bytes().Word(1).Word(0)).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(Key("usbcopyfolder"), "public");
}

}  // namespace
