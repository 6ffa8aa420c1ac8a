// Configuration backup: shares and the service switches carried by a file.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "cfgbackup_support.h"
#include "cfgbackup.h"
#include "qavo_download.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

using cfgtest::Bytes;
using cfgtest::HasEvent;
using cfgtest::kFile;

const char *const kDefaults = "/etc.defaults/qavoinfo.conf";
const char *const kGlobal = "[global]\n\tworkgroup=WORKGROUP\n\tsecurity=user\n";

void SetKey(const char *path, const char *key, const char *value) {
    ASSERT_GE(SLIBFileSetOrAddKeyValue(path, key, value, SLIB_KEYVALUE_FMT_QUOTED), 0) << key;
}

std::string Key(const char *key) {
    char v[512] = "";
    SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, v, sizeof v, 0);
    return v;
}

std::string SharePath(const char *name) {
    char path[512] = "";
    if (QAVOSharePathGet(name, path, sizeof path) < 0) return "";
    return path;
}

QAVOSHARE Rec(const char *name, const char *path, const char *rw = "", const char *ro = "",
              const char *deny = "", const char *comment = "") {
    QAVOSHARE s{};
    s.szName = const_cast<char *>(name);
    s.szPath = const_cast<char *>(path);
    s.szRW = const_cast<char *>(rw);
    s.szRO = const_cast<char *>(ro);
    s.szDeny = const_cast<char *>(deny);
    s.szComment = const_cast<char *>(comment);
    s.fType = QAVOSHARE_ACCESS_RW;
    s.fBrowseable = 1;
    return s;
}

class CfgBackupShare : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(qtest::Sh("mkdir -p /volume1 && mount -t tmpfs -o size=16m tmpfs /volume1"), 0);
        qtest::WriteFile(SZF_QAVO_SMB_CONF, kGlobal);
        qtest::Sh("echo 'bob:x:1030:100::/nonexist:/bin/sh' >> /etc/passwd");
        SetKey(kDefaults, "maxshares", "16");
    }
};

TEST_F(CfgBackupShare, SharesComeBackAsTheyWere) {
    QAVOSHARE docs = Rec("docs", "/volume1/docs", "bob", "", "", "papers");
    QAVOSHARE media = Rec("Media", "/volume1/Media", "", "bob");
    media.fBrowseable = 0;
    ASSERT_EQ(QAVOShareSet(1, nullptr, &docs), 1) << std::hex << SLIBErrGet();
    ASSERT_EQ(QAVOShareSet(1, nullptr, &media), 1) << std::hex << SLIBErrGet();
    const std::string conf = qtest::ReadFile(SZF_QAVO_SMB_CONF);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_SHARE), 0);

    // Only the header and the share section.
    std::string walked;
    ASSERT_EQ(qtest::Exec({"/usr/bin/python3",
                           qtest::SourceDir() + "/tests/system/cfgbackup_reader.py", kFile},
                          &walked),
              0);
    EXPECT_NE(walked.find("\"mask\": 32, \"sections\": [{\"id\": 32,"), std::string::npos)
        << walked;
    EXPECT_EQ(walked.find("\"id\"", walked.find("\"id\": 32") + 1), std::string::npos);

    qtest::WriteFile(SZF_QAVO_SMB_CONF, kGlobal);
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(qtest::ReadFile(SZF_QAVO_SMB_CONF), conf);
}

TEST_F(CfgBackupShare, StoredPathsStayOnAUsableVolume) {
    const struct {
        const char *name, *path, *expected;
    } cases[] = {
        {"up", "/volume1/../etc", "/volume1/up"},
        {"deep", "/volume1/a/b", "/volume1/deep"},
        {"dot", "/volume1/.", "/volume1/dot"},
        {"far", "/volume3/far", "/volume1/far"},
        {"plain", "/volume1/elsewhere", "/volume1/elsewhere"},
    };
    Bytes body;
    body.Long(static_cast<int32_t>(std::size(cases)));
    for (const auto &c : cases)
        body.Share(c.name, c.path);
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_SHARE, body).data());
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);
    for (const auto &c : cases)
        EXPECT_EQ(SharePath(c.name), c.expected) << c.name;
}

TEST_F(CfgBackupShare, LimitsVolumesAndDamagedBlocks) {
    QAVOSHARE docs = Rec("docs", "/volume1/docs");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &docs), 1);
    // The share limit is reached: existing shares are still taken, new ones
    // are reported.
    SetKey(kDefaults, "maxshares", "1");
    Bytes two;
    two.Long(2).Share("DOCS", "/volume1/docs").Share("new", "/volume1/new");
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_SHARE, two).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(SharePath("new"), "");
    EXPECT_TRUE(HasEvent(0x12100051));
    SetKey(kDefaults, "maxshares", "16");

    // A damaged block ends the section: the plausible bytes that follow it
    // make no share.
    Bytes bad;
    bad.Long(2).Str("broken").Word(1).Word(0).Share("stray", "/volume1/stray");
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_SHARE, bad).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_EQ(SharePath("stray"), "");
    EXPECT_EQ(SharePath("broken"), "");

    // No volume at all.
    ASSERT_EQ(qtest::Sh("umount /volume1"), 0);
    Bytes one;
    one.Long(1).Share("lost", "/volume1/lost");
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_SHARE, one).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    EXPECT_TRUE(HasEvent(0x11502008));
    EXPECT_EQ(SharePath("lost"), "");
}

// New shares are written together, but one refused among good ones costs
// only itself, and leaves its place under the share limit to the next.
TEST_F(CfgBackupShare, ARefusedShareCostsOnlyItself) {
    SetKey(kDefaults, "maxshares", "3");
    qtest::WriteFile("/volume1/blocked", "data");  // a file where the folder would go
    Bytes body;
    body.Long(6)
        .Share("ann", "/volume1/ann")
        .Share("blocked", "/volume1/blocked")
        .Share("bad:name", "/volume1/badname")
        .Str("cat")
        .Str("/volume1/cat")
        .Str("")
        .Str("bob,nobodyknown,bob")
        .Str("")
        .Str("")
        .Long(QAVOSHARE_ACCESS_RW)
        .Long(1)
        .Share("dog", "/volume1/dog")
        .Share("emu", "/volume1/emu");
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_SHARE, body).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    for (const char *n : {"ann", "cat", "dog"})
        EXPECT_EQ(SharePath(n), std::string("/volume1/") + n) << n;
    for (const char *n : {"blocked", "bad:name", "emu"})
        EXPECT_EQ(SharePath(n), "") << n;
    EXPECT_EQ(qtest::ReadFile("/volume1/blocked"), "data");
    EXPECT_TRUE(HasEvent(0x12100051));  // emu found no room
    const std::string conf = qtest::ReadFile(SZF_QAVO_SMB_CONF);
    EXPECT_EQ(conf.rfind(kGlobal, 0), 0u) << conf;
    EXPECT_NE(conf.find("[cat]\n\twrite list=nobody,bob,nobody\n"), std::string::npos) << conf;

    // A name held in other letter case, in the file or earlier in the same
    // section, is the existing share: changed (and renamed to the stored
    // name) with overwrite, never added twice.
    SetKey(kDefaults, "maxshares", "16");
    Bytes again;
    again.Long(3)
        .Share("ANN", "/volume1/ANN")
        .Share("fox", "/volume1/fox")
        .Share("FOX", "/volume1/FOX");
    qtest::WriteFile(kFile, Bytes::File().Section(QAVOSYSBKP_ID_SHARE, again).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_EQ(SharePath("ANN"), "/volume1/ann");
    EXPECT_EQ(SharePath("FOX"), "/volume1/fox");
    const std::string after = qtest::ReadFile(SZF_QAVO_SMB_CONF);
    EXPECT_EQ(std::count(after.begin(), after.end(), '['), 5) << after;  // global and 4 shares
}

TEST_F(CfgBackupShare, ServiceSwitchesAndDownloadSettings) {
    SetKey(kDefaults, "supportmysql", "yes");
    SetKey(SLIB_QAVOINFO_PATH, "runmysql", "yes");
    QAVODOWNLOADINFO d{1, "01:00-05:00", 1, 20, 30, 6000, 6010, 1};
    ASSERT_EQ(QAVODownloadInfoSet(&d), 0);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_FETCHMORA | QAVOSYSBKP_ID_MYSQL), 0);
    std::string walked;
    qtest::Exec(
        {"/usr/bin/python3", qtest::SourceDir() + "/tests/system/cfgbackup_reader.py", kFile},
        &walked);
    EXPECT_NE(walked.find("{\"id\": 8388608, \"version\": 1, \"size\": 12, \"items\": [1]}"),
              std::string::npos)
        << walked;

    QAVODOWNLOADINFO other{0, "", 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(QAVODownloadInfoSet(&other), 0);
    SetKey(SLIB_QAVOINFO_PATH, "runmysql", "no");
    // The all-sections selection leaves runmysql out; the download manager
    // is applied also without overwrite.
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);
    QAVODOWNLOADINFO got{};
    ASSERT_EQ(QAVODownloadInfoGet(&got), 0);
    EXPECT_STREQ(got.szDLTime, "01:00-05:00");
    EXPECT_EQ(got.iEndPort, 6010);
    EXPECT_EQ(Key("runmysql"), "no");
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_MYSQL, 1), 0);
    EXPECT_EQ(Key("runmysql"), "yes");
}

}  // namespace
