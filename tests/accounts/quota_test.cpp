#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_quota.h"
#include "qavosim.h"
#include "slib_errcode.h"

using qtest::ReadFile;
using qtest::WriteFile;

namespace {

const char kDev[] = "/dev/hda3";
const char kState[] = "/sim/quota/_dev_hda3";

// alice is local (uid 1030); the appliance is in domain CORP when asked,
// where CORP\bob has uid 20001.
void Accounts(bool domain) {
    WriteFile("/etc/passwd",
              "root:x:0:0:root:/root:/bin/sh\nadmin:x:1024:100::/:/bin/sh\n"
              "alice:x:1030:100::/:/bin/csh\n");
    WriteFile("/usr/qavo/etc/smb.conf", domain ? "[global]\n\tsecurity=domain\n\tworkgroup=CORP\n"
                                               : "[global]\n\tsecurity=user\n\tworkgroup=WG\n");
    WriteFile("/sim/wbinfo.conf", "user CORP\\bob S-1-5-21-1-2-3-1105 20001 20000\n");
    WriteFile(kDev, "");
    mkdir("/sim/quota", 0755);
    qtest::RemoveFile(kState);
    WriteFile("/sim/kernel.log", "");
}

void QuotaOn(const std::string &records = "") {
    mkdir("/sim/quota", 0755);
    WriteFile(kState, "on 2\n" + records);
}

// The quota calls the shim answered.
std::vector<std::string> QuotaCalls() {
    std::vector<std::string> calls;
    for (const std::string &l : qsim::KernelLog())
        if (l.rfind("quotactl ", 0) == 0) calls.push_back(l);
    return calls;
}
std::string LastQuotaCall() {
    std::vector<std::string> calls = QuotaCalls();
    return calls.empty() ? "" : calls.back();
}
bool QuotaLogged(const std::string &prefix) {
    for (const std::string &l : QuotaCalls())
        if (l.rfind(prefix, 0) == 0) return true;
    return false;
}

}  // namespace

TEST(Quota, SetAndGetThroughTheKernelRecord) {
    Accounts(false);
    QuotaOn("user 1030 0 0 123456 0 0 0 0 0\n");
    struct Case {
        float mb;
        const char *record;  // Q_SETQUOTA as the kernel got it
        float readBack;
    };
    const Case cases[] = {
        {1.5f, "bhard 1536 bsoft 1536 space 0 ihard 0 isoft 0 inodes 0 btime 0 itime 0 valid 0x35",
         1.5f},
        {0.0f, "bhard 0 bsoft 0", 0.0f},
        {2097152.0f, "bhard 2147483648 bsoft 2147483648", 2097152.0f},
        // Below one block is one block, never no limit.
        {0.0005f, "bhard 1 bsoft 1", 1.0f / 1024},
        // The largest limit whose byte count fits 64 bits (2^44 - 2^20 MB).
        {17592184995840.0f, "bhard 18014397435740160 bsoft 18014397435740160", 17592184995840.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mb);
        ASSERT_EQ(QAVOQuotaSet("alice", kDev, &c.mb), 0);
        // The set is followed by a sync of the device.
        EXPECT_EQ(LastQuotaCall(), "quotactl SYNC /dev/hda3 id 0 -> 0");
        EXPECT_TRUE(
            QuotaLogged("quotactl SETQUOTA /dev/hda3 id 1030 -> 0 " + std::string(c.record)));
        QAVOUSERQUOTA q{-1, 0};
        ASSERT_EQ(QAVOQuotaGet("alice", kDev, &q), 0);
        EXPECT_EQ(q.fHardLimitMB, c.readBack);
        EXPECT_EQ(q.u64Used, 123456u);  // the space in use is not the caller's to set
    }
}

TEST(Quota, RefusesSizesThatAreNoSizes) {
    Accounts(false);
    QuotaOn();
    // Sizes whose byte count (blocks x 1024) would not fit 64 bits are
    // refused, never wrapped: 2^44 MB and above.
    const float bad[] = {-1.0f, std::nanf(""), std::numeric_limits<float>::infinity(),
                         1e30f, -0.5f,         17592186044416.0f,
                         1e16f};
    for (float mb : bad) {
        SCOPED_TRACE(mb);
        SLIBErrSet(0);
        EXPECT_EQ(QAVOQuotaSet("alice", kDev, &mb), -1);
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    const float one = 1;
    EXPECT_EQ(QAVOQuotaSet("alice", kDev, nullptr), -1);
    EXPECT_EQ(QAVOQuotaSet("", kDev, &one), -1);
    EXPECT_EQ(QAVOQuotaSet("alice", "", &one), -1);
    EXPECT_TRUE(QuotaCalls().empty());
}

TEST(Quota, ErrorsOfAccountsAndDevices) {
    struct Case {
        const char *name;
        bool domain, on, smbconf;
        const char *device;
        int getCode, setCode;  // 0: success
    };
    const Case cases[] = {
        {"alice", false, false, true, kDev, ERR_QUOTA_NOT_ON, ERR_QUOTA_NOT_ON},
        {"alice", false, true, true, "/dev/nodisk", ERR_SYSTEM_CALL, ERR_MISSING_FILE},
        {"alice", false, true, false, kDev, ERR_SYSTEM_CALL, ERR_SYSTEM_CALL},  // no account kind
        {"carol", false, true, true, kDev, ERR_NO_SUCH_USER, ERR_NO_SUCH_USER},
        {"CORP\\bob", true, true, true, kDev, 0, 0},
        {"CORP\\nobody", true, true, true, kDev, ERR_NO_SUCH_USER, ERR_NO_SUCH_USER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + std::string(" ") + c.device);
        Accounts(c.domain);
        if (c.on) QuotaOn();
        if (!c.smbconf) qtest::RemoveFile("/usr/qavo/etc/smb.conf");
        const float mb = 2;
        SLIBErrSet(0);
        EXPECT_EQ(QAVOQuotaSet(c.name, c.device, &mb), c.setCode ? -1 : 0);
        if (c.setCode) {
            EXPECT_EQ(SLIBErrGet(), static_cast<uint32_t>(c.setCode));
        }
        QAVOUSERQUOTA q{};
        SLIBErrSet(0);
        EXPECT_EQ(QAVOQuotaGet(c.name, c.device, &q), c.getCode ? -1 : 0);
        if (c.getCode) {
            EXPECT_EQ(SLIBErrGet(), static_cast<uint32_t>(c.getCode));
        } else {
            EXPECT_EQ(q.fHardLimitMB, 2.0f);
            // Kept under the account's uid (a domain user's from winbind).
            EXPECT_NE(ReadFile(kState).find(c.domain ? "user 20001 2048 2048 " : "user 1030 "),
                      std::string::npos);
        }
    }
    EXPECT_EQ(QAVOQuotaGetId(0x1, "alice"), -1);
    EXPECT_EQ(QAVOQuotaGetId(0x11, "alice"), 1030);
    EXPECT_EQ(QAVOQuotaGetId(0x10, "alice"), 0);
}

TEST(Quota, FormatOfTheDevice) {
    Accounts(false);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOQuotaGetFormat(kDev), 0);
    EXPECT_EQ(SLIBErrGet(), ERR_QUOTA_NOT_ON);
    EXPECT_EQ(QAVOQuotaGetFormat("/dev/nodisk"), 0);
    EXPECT_EQ(SLIBErrGet(), ERR_MISSING_FILE);
    QuotaOn();
    EXPECT_EQ(QAVOQuotaGetFormat(kDev), 2);  // vfsv0
    EXPECT_EQ(LastQuotaCall(), "quotactl GETFMT /dev/hda3 id 0 -> 0 format 2");
}

TEST(Quota, CleanTriesEveryUser) {
    Accounts(false);
    QuotaOn("user 1030 4096 4096 10 0 0 0 0 0\nuser 1024 100 100 0 0 0 0 0 0\n");
    PSLIBSZLIST users = PslSLIBSzListAlloc(512);
    for (const char *n : {"carol", "alice", "admin"})
        SLIBSzListPush(&users, n);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOQuotaClean(users), -1);  // carol has no account...
    EXPECT_EQ(SLIBErrGet(), ERR_NO_SUCH_USER);
    // ...and the others are cleared all the same.
    EXPECT_NE(ReadFile(kState).find("user 1030 0 0 10 "), std::string::npos);
    EXPECT_NE(ReadFile(kState).find("user 1024 0 0 0 "), std::string::npos);
    EXPECT_EQ(QAVOQuotaCleanDev(nullptr, kDev), -1);
    EXPECT_EQ(QAVOQuotaCleanDev(users, nullptr), -1);
    SLIBSzListFree(users);
}

TEST(Quota, CleanRaidClearsTheVolumesThatExist) {
    Accounts(false);
    const std::string limited = "on 2\nuser 1030 100 100 5 0 0 0 0 0\n",
                      cleared = "on 2\nuser 1030 0 0 5 0 0 0 0 0\n";
    for (const char *md : {"md2", "md3", "md4"}) {
        WriteFile(std::string("/dev/") + md, "");
        WriteFile(std::string("/sim/quota/_dev_") + md, limited);
    }
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1 /volume2 /volume3 && mount -t tmpfs tmpfs /volume1 && "
                        "mount -t tmpfs tmpfs /volume3"),
              0);
    PSLIBSZLIST users = PslSLIBSzListAlloc(512);
    SLIBSzListPush(&users, "alice");
    // maxdisks unreadable: only the first volume is looked at.
    WriteFile("/etc.defaults/qavoinfo.conf", "supportraid=\"yes\"\n");
    EXPECT_EQ(QAVOQuotaCleanRAID(users), 0);
    EXPECT_EQ(ReadFile("/sim/quota/_dev_md2"), cleared);
    EXPECT_EQ(ReadFile("/sim/quota/_dev_md4"), limited);
    // Three slots: volumes 1 and 3 exist, volume 2 does not.
    WriteFile("/etc.defaults/qavoinfo.conf", "supportraid=\"yes\"\nmaxdisks=\"3\"\n");
    EXPECT_EQ(QAVOQuotaCleanRAID(users), 0);
    EXPECT_EQ(ReadFile("/sim/quota/_dev_md3"), limited);
    EXPECT_EQ(ReadFile("/sim/quota/_dev_md4"), cleared);
    EXPECT_EQ(QAVOQuotaCleanRAID(nullptr), -1);
    SLIBSzListFree(users);
    qtest::Sh("umount /volume1 /volume3");
}

TEST(Quota, SupportedByTheModelSetting) {
    const std::pair<const char *, int> cases[] = {{"supportquota=\"YES\"\n", 1},
                                                  {"supportquota=\"yes\"\n", 1},
                                                  {"supportquota=\"no\"\n", 0},
                                                  {"supportquota=\"yesyes\"\n", 0},
                                                  {"supportraid=\"yes\"\n", 0}};
    for (const auto &[text, want] : cases) {
        WriteFile("/etc.defaults/qavoinfo.conf", text);
        EXPECT_EQ(BlQAVOQuotaIsSupported(), want) << text;
    }
    qtest::RemoveFile("/etc.defaults/qavoinfo.conf");
    EXPECT_EQ(BlQAVOQuotaIsSupported(), 0);
}

TEST(QuotaEnable, TurnsQuotasOnForAnExt4Volume) {
    ASSERT_EQ(qtest::Sh("/sim/bin/qavo-disk add sdd 131072 >/dev/null"), 0);
    ASSERT_EQ(qtest::Sh("/sim/real/sbin/mkfs.ext4 -q -F /dev/sdd"), 0);
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1 /volume12 /volume2 && "
                        "mount -t tmpfs tmpfs /volume12 && mount -t tmpfs tmpfs /volume2"),
              0);
    // Only /volume12 is mounted: volume 1 is no volume.
    SLIBErrSet(0);
    EXPECT_EQ(QAVOQuotaEnable(1), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    for (int bad : {0, 5, -1, 12}) {
        EXPECT_EQ(QAVOQuotaEnable(bad), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    ASSERT_EQ(qtest::Sh("mount -t ext4 /dev/sdd /volume1"), 0);
    qtest::ClearCalls();
    ASSERT_EQ(QAVOQuotaEnable(1), 0);
    std::string mounts = ReadFile("/proc/mounts");
    size_t line = mounts.find(" /volume1 ");
    ASSERT_NE(line, std::string::npos);
    std::string entry = mounts.substr(line, mounts.find('\n', line) - line);
    EXPECT_NE(entry.find("usrquota"), std::string::npos) << entry;
    EXPECT_NE(entry.find("grpquota"), std::string::npos) << entry;
    std::vector<std::vector<std::string>> calls;
    for (const auto &c : qtest::Calls())
        if (c[0].find("quota") != std::string::npos) calls.push_back(c);
    const std::vector<std::vector<std::string>> want = {
        {"/sbin/quotacheck", "-c", "-g", "-u", "-F", "vfsv0", "/volume1"},
        {"/sbin/quotaon", "-F", "vfsv0", "/volume1"}};
    EXPECT_EQ(calls, want);
    EXPECT_EQ(QAVOQuotaGetFormat("/dev/sdd"), 2);

    // tmpfs takes no quota options: the remount fails and nothing else runs.
    qtest::ClearCalls();
    EXPECT_EQ(QAVOQuotaEnable(2), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_QUOTA_REMOUNT);
    for (const auto &c : qtest::Calls())
        EXPECT_EQ(c[0].find("quota"), std::string::npos);

    // A failing quota check or quota switch has its own code.
    qtest::SetStandinStatus("quotacheck", 1);
    EXPECT_EQ(QAVOQuotaEnable(1), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_QUOTA_CHECK);
    qtest::SetStandinStatus("quotacheck", 0);
    qtest::SetStandinStatus("quotaon", 1);
    EXPECT_EQ(QAVOQuotaEnable(1), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_QUOTA_ON);
    qtest::Sh("umount /volume1 /volume2 /volume12");
}
