// Domain state: the state file readers, smb.conf's [global] for a join,
// the join account, the join state, krb5.conf, the domain lists, winbindd
// and the name service switch, the clock from the domain's time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_windomain.h"
#include "qavo_winjoin.h"
#include "qavosim.h"
#include "slib_errcode.h"
#include "samba_check.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_szhash.h"

namespace {

const char *const kConf =
    "# appliance\n[global]\n\tworkgroup=HOMENET\n\tsecurity=ads\n\trealm=CORP.EXAMPLE.COM\n"
    "\tserver string=NAS\n\n[public]\n\tpath=/volume1/public\n";

void Private() {
    ASSERT_EQ(qtest::Sh("mkdir -p /usr/qavo/etc/private"), 0);
}

std::string Param(const char *name) {
    return qtest::TestparmParam(SZF_SMB_CONF, name);
}

TEST(DomainStateFiles, ReadersTakeWholeLinesWithOrWithoutTheirEnd) {
    Private();
    struct {
        const char *text;
        int result;
        const char *workgroup;
    } wg[] = {
        {"Workgroup: CORP\n", 0, "CORP"},
        {"Workgroup: CORP", 0, "CORP"},
        {"Workgroup: CORP\r\n", 0, "CORP"},
        {"Workgroup: MY GROUP\n", 0, "MY GROUP"},
        {"WorkgroupCORP\n", -1, ""},
        {"Workgroup: \n", -1, ""},
        {"", -1, ""},
    };
    for (const auto &c : wg) {
        qtest::WriteFile(SZF_WIN_WORKGROUP, c.text);
        char buf[64] = "x";
        EXPECT_EQ(WINIReadADSWorkgroup(buf, sizeof buf), c.result) << c.text;
        EXPECT_STREQ(buf, c.workgroup) << c.text;
    }
    char small[3];
    qtest::WriteFile(SZF_WIN_WORKGROUP, "Workgroup: CORP\n");
    EXPECT_EQ(WINIReadADSWorkgroup(small, sizeof small), 0);
    EXPECT_STREQ(small, "CO");
    qtest::RemoveFile(SZF_WIN_WORKGROUP);
    EXPECT_EQ(WINIReadADSWorkgroup(small, sizeof small), -1);

    struct {
        const char *path;
        const char *text;
        int result;
        const char *list;
    } ips[] = {
        {SZF_WIN_PDC_IP, "10.0.0.5\n10.0.0.6\n", 1, "10.0.0.5,10.0.0.6"},
        {SZF_WIN_PDC_IP, "10.0.0.16", 1, "10.0.0.16"},
        {SZF_WIN_PDC_IP, "10.0.0.16\r\nnonsense\n127.0.0.1\n", 1, "10.0.0.16"},
        {SZF_WIN_KDC_IP, "10.0.0.7:389\n", 1, "10.0.0.7"},
        {SZF_WIN_KDC_IP, "10.0.0.7:389\n10.0.0.8", 1, "10.0.0.7,10.0.0.8"},
        {SZF_WIN_KDC_IP, "dc1.corp:389\n", -1, ""},
        {SZF_WIN_PDC_IP, "", -1, ""},
    };
    for (const auto &c : ips) {
        qtest::WriteFile(c.path, c.text);
        char buf[64] = "x";
        const int r = std::string(c.path) == SZF_WIN_PDC_IP ? QAVOWinIGetPDCIP(buf, sizeof buf)
                                                            : QAVOWinIGetKDCIP(buf, sizeof buf);
        EXPECT_EQ(r, c.result) << c.text;
        EXPECT_STREQ(buf, c.list) << c.text;
    }
    // Only whole addresses fit a short buffer.
    qtest::WriteFile(SZF_WIN_PDC_IP, "10.0.0.5\n10.0.0.6\n");
    char buf[12];
    EXPECT_EQ(QAVOWinIGetPDCIP(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "10.0.0.5");
    qtest::RemoveFile(SZF_WIN_PDC_IP);
    EXPECT_EQ(QAVOWinIGetPDCIP(buf, sizeof buf), -1);
}

TEST(DomainStateFiles, WorkgroupEndsAtANulByte) {
    Private();
    // Nothing before the NUL byte is no workgroup, not an empty one.
    const char none[] = "Workgroup: \0CORP\n", cut[] = "Workgroup: AB\0CD\n";
    char buf[64] = "x";
    qtest::WriteFile(SZF_WIN_WORKGROUP, std::string(none, sizeof none - 1));
    SLIBErrSet(0);
    EXPECT_EQ(WINIReadADSWorkgroup(buf, sizeof buf), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_UNICODE);
    EXPECT_STREQ(buf, "");
    qtest::WriteFile(SZF_WIN_WORKGROUP, std::string(cut, sizeof cut - 1));
    EXPECT_EQ(WINIReadADSWorkgroup(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "AB");
}

TEST(DomainStateFiles, AddressCutByTheBufferIsNoAnswer) {
    Private();
    // A cut address names some other host: the list ends at the last whole
    // address, and without one there is no answer.
    struct {
        const char *text;
        int size;
        int result;
        const char *list;
    } cases[] = {
        {"192.168.1.100\n", 13, -1, ""},
        {"10.0.0.5\n10.0.0.6\n", 8, -1, ""},
        {"10.0.0.5\n10.0.0.6\n", 9, 1, "10.0.0.5"},
        {"10.0.0.5\n10.0.0.6\n", 17, 1, "10.0.0.5"},
        {"10.0.0.5\n10.0.0.6\n", 18, 1, "10.0.0.5,10.0.0.6"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        for (const char *path : {SZF_WIN_PDC_IP, SZF_WIN_KDC_IP}) {
            qtest::WriteFile(path, c.text);
            std::vector<char> buf(static_cast<size_t>(c.size), 'x');
            SLIBErrSet(0);
            const int r = path == std::string(SZF_WIN_PDC_IP)
                              ? QAVOWinIGetPDCIP(buf.data(), c.size)
                              : QAVOWinIGetKDCIP(buf.data(), c.size);
            EXPECT_EQ(r, c.result) << c.text;
            EXPECT_STREQ(buf.data(), c.list) << c.text;
            if (r < 0) {
                EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
            }
        }
    }
}

TEST(DomainSmbConf, GlobalFollowsTheRequest) {
    Private();
    QAVOWINJOIN req{QAVO_WINJOIN_WORKGROUP, const_cast<char *>("NEWGROUP"), nullptr, nullptr,
                    nullptr};
    // Leaving ADS for a workgroup.
    qtest::WriteFile(SZF_SMB_CONF, kConf);
    ASSERT_EQ(ErrWINISmbConfModify1(&req, 0), 0);
    EXPECT_EQ(Param("security"), "USER");
    EXPECT_EQ(Param("realm"), "*");
    EXPECT_EQ(Param("workgroup"), "NEWGROUP");
    EXPECT_NE(qtest::ReadFile(SZF_SMB_CONF).find("[public]\n\tpath=/volume1/public"),
              std::string::npos);
    // Outside a domain only the workgroup changes.
    std::string user = kConf;
    user.replace(user.find("security=ads"), 12, "security=user");
    qtest::WriteFile(SZF_SMB_CONF, user);
    ASSERT_EQ(ErrWINISmbConfModify1(&req, 0), 0);
    EXPECT_EQ(Param("security"), "USER");
    EXPECT_EQ(Param("realm"), "CORP.EXAMPLE.COM");
    EXPECT_EQ(Param("workgroup"), "NEWGROUP");
    // An ADS join takes the domain's workgroup from its file; without the
    // file nothing is written and the call fails.
    req = {QAVO_WINJOIN_DOMAIN, const_cast<char *>("AD.EXAMPLE.COM"), nullptr, nullptr, nullptr};
    qtest::WriteFile(SZF_SMB_CONF, user);
    qtest::RemoveFile(SZF_WIN_WORKGROUP);
    EXPECT_EQ(ErrWINISmbConfModify1(&req, 1), -1);
    EXPECT_EQ(qtest::ReadFile(SZF_SMB_CONF), user);
    qtest::WriteFile(SZF_WIN_WORKGROUP, "Workgroup: ADGROUP");
    ASSERT_EQ(ErrWINISmbConfModify1(&req, 1), 0);
    EXPECT_EQ(Param("security"), "ADS");
    EXPECT_EQ(Param("realm"), "AD.EXAMPLE.COM");
    EXPECT_EQ(Param("workgroup"), "ADGROUP");
    // The saved record puts the three keys back.
    char saved[QAVO_WINSAVED_SIZE] = {};
    strcpy(saved + QAVO_WINSAVED_SECURITY, "user");
    strcpy(saved + QAVO_WINSAVED_REALM, "*");
    strcpy(saved + QAVO_WINSAVED_WORKGROUP, "HOMENET");
    EXPECT_EQ(WINISmbConfSet(0, saved), 0);
    EXPECT_EQ(BlWINIIsADS(), 1);
    EXPECT_EQ(WINISmbConfSet(1, saved), 1);
    EXPECT_EQ(BlWINIIsADS(), 0);
    EXPECT_EQ(Param("workgroup"), "HOMENET");
}

TEST(DomainAccount, StoredOwnerOnlyAndReadBack) {
    Private();
    const mode_t old = umask(0);
    QAVOWINJOIN req{QAVO_WINJOIN_DOMAIN, const_cast<char *>("CORP"),
                    const_cast<char *>("administrator"), const_cast<char *>("p%ss w;rd"), nullptr};
    EXPECT_EQ(WINISetAccount(&req), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(SZF_WIN_DOMACC, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMACC), "administrator%p%ss w;rd");
    QAVOWINJOIN back{};
    ASSERT_EQ(WINIGetAccount(&back), 0);
    EXPECT_STREQ(back.szUser, "administrator");
    EXPECT_STREQ(back.szPassword, "p%ss w;rd");

    // Refused: the stored line would read back as another account.
    for (auto [user, pass] : std::vector<std::pair<const char *, const char *>>{
             {"ad%min", "pw"}, {"admin\nroot", "pw"}, {"admin", "pw\nx"}, {"", "pw"}}) {
        QAVOWINJOIN bad{1, const_cast<char *>("CORP"), const_cast<char *>(user),
                        const_cast<char *>(pass), nullptr};
        EXPECT_EQ(WINISetAccount(&bad), -1) << user;
    }
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMACC), "administrator%p%ss w;rd");
    qtest::WriteFile(SZF_WIN_DOMACC, "administrator", 0600);
    EXPECT_EQ(WINIGetAccount(&back), -1);
}

TEST(DomainJoinState, OneLineStepAndMessage) {
    EXPECT_EQ(ErrWINIState1Set("WINIDoKrb5Login", "kinit: bad\nsecond=line"), 0);
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_STATE), "WINIDoKrb5Login=kinit: bad second=line\n");
    char step[32], msg[64];
    ASSERT_EQ(ErrWINIState1Get(step, sizeof step, msg, sizeof msg), 0);
    EXPECT_STREQ(step, "WINIDoKrb5Login");
    EXPECT_STREQ(msg, "kinit: bad second=line\n");
    char tiny[6];
    ASSERT_EQ(ErrWINIState1Get(tiny, sizeof tiny, msg, sizeof msg), 0);
    EXPECT_STREQ(tiny, "WINI");
    qtest::WriteFile(SZF_WIN_STATE, "=start\n");
    EXPECT_EQ(ErrWINIState1Get(step, sizeof step, msg, sizeof msg), -1);
}

TEST(DomainKrb5Conf, WrittenForTheRealmWithAddressesOnly) {
    Private();
    QAVOWINJOIN req{1, const_cast<char *>("CORP.EXAMPLE.COM"), nullptr, nullptr,
                    const_cast<char *>("10.0.0.7")};
    ASSERT_EQ(QAVOWinICreateKrb5Conf(&req), 1);
    const std::string expect =
        "[libdefaults]\n\tdefault_realm = CORP.EXAMPLE.COM\n\n[realms]\n"
        "\tCORP.EXAMPLE.COM = {\n\tkdc = 10.0.0.7\n\t}\n";
    EXPECT_EQ(qtest::ReadFile(SZF_KRB5_CONF), expect);
    req.szKDC = nullptr;
    qtest::WriteFile(SZF_WIN_KDC_IP, "10.0.0.7:389\n10.0.0.8:389\n");
    ASSERT_EQ(QAVOWinICreateKrb5Conf(&req), 1);
    EXPECT_NE(qtest::ReadFile(SZF_KRB5_CONF).find("\tkdc = 10.0.0.7\n\tkdc = 10.0.0.8\n"),
              std::string::npos);
    // Nothing that could open a setting or a section gets in.
    qtest::RemoveFile(SZF_KRB5_CONF);
    for (auto [realm, kdc] : std::vector<std::pair<const char *, const char *>>{
             {"CORP.EXAMPLE.COM", "10.0.0.7\n[realms]"},
             {"CORP.EXAMPLE.COM", "kdc.corp"},
             {"CORP}", "10.0.0.7"},
             {"CORP\n[x]", "10.0.0.7"},
             {"CORP EXAMPLE", "10.0.0.7"},
             {"#CORP.EXAMPLE.COM", "10.0.0.7"},
             {"-CORP.EXAMPLE.COM", "10.0.0.7"}}) {
        QAVOWINJOIN bad{1, const_cast<char *>(realm), nullptr, nullptr, const_cast<char *>(kdc)};
        EXPECT_EQ(QAVOWinICreateKrb5Conf(&bad), -1) << realm << " " << kdc;
        EXPECT_FALSE(qtest::FileExists(SZF_KRB5_CONF));
    }
}

TEST(DomainLists, RefreshedOnlyByASuccessfulListing) {
    Private();
    qtest::WriteFile("/sim/wbinfo.conf",
                     "user CORP\\alice S-1-5-21-1-1001 10001 10000\n"
                     "group CORP\\staff S-1-5-21-1-2001 10000\n");
    ASSERT_EQ(QAVOWinGetDomainUG(0), 0);
    ASSERT_EQ(QAVOWinGetDomainUG(1), 0);
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMAIN_USER), "CORP\\alice\n");
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMAIN_GROUP), "CORP\\staff\n");
    qtest::WriteFile("/sim/domain.conf", "fail wbinfo-u 1 partial\nfail wbinfo-g 1\n");
    EXPECT_EQ(QAVOWinGetDomainUG(0), -1);
    EXPECT_EQ(QAVOWinGetDomainUG(1), -1);
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMAIN_USER), "CORP\\alice\n");
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMAIN_GROUP), "CORP\\staff\n");
    EXPECT_FALSE(qtest::FileExists(SZF_WIN_DOMAIN_USER ".tmp"));
    EXPECT_EQ(QAVOWinGetDomainUG(2), -1);
}

TEST(DomainNames, MapListAndGidIndex) {
    PSLIBSZHASH users = PshSLIBSzHashAlloc(64), groups = PshSLIBSzHashAlloc(64);
    SLIBSzHashSetValue(&users, "alice", "DOM\\alice");
    SLIBSzHashSetValue(&groups, "@staff", "@DOM\\staff");
    struct {
        const char *in, *out;
    } cases[] = {{"alice,@staff,bob", "DOM\\alice,@DOM\\staff,bob"},
                 {"bob,carol", "bob,carol"},
                 {"", ""},
                 {"alice,,@staff", "DOM\\alice,,@DOM\\staff"},
                 {"@alice,staff", "@alice,staff"}};
    for (const auto &c : cases) {
        char *r = WINIMapNameList(c.in, users, groups);
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r, c.out) << c.in;
        free(r);
    }
    EXPECT_EQ(WINIMapNameList(nullptr, users, groups), nullptr);
    SLIBSzHashFree(users);
    SLIBSzHashFree(groups);

    const std::string group = qtest::ReadFile("/etc/group");
    qtest::WriteFile("/etc/group", group + "#$_@GID__INDEX@_$100007$\nlast:x:100009:\n");
    ASSERT_EQ(WINISetGidIndex(100042), 1);
    EXPECT_EQ(qtest::ReadFile("/etc/group"), group + "#$_@GID__INDEX@_$100042$\nlast:x:100009:\n");
}

TEST(DomainWinbindd, DaemonAndNameServiceSwitchTogether) {
    ASSERT_EQ(QAVOWinWinbindd(1), 0);
    EXPECT_EQ(BlSLIBProcExist("winbindd"), 1);
    EXPECT_EQ(qtest::ReadFile(SZF_NSSWITCH), qtest::ReadFile(SZF_NSSWITCH_DOMAIN));
    EXPECT_EQ(QAVOWinWinbindd(0), 1);
    EXPECT_EQ(BlSLIBProcExist("winbindd"), 0);
    EXPECT_EQ(qtest::ReadFile(SZF_NSSWITCH), qtest::ReadFile(SZF_NSSWITCH_WORKGROUP));
    // A switch that cannot be laid fails.
    qtest::RemoveFile(SZF_NSSWITCH_DOMAIN);
    EXPECT_EQ(QAVOWinWinbindd(1), -1);
    EXPECT_EQ(QAVOWinWinbindd(0), 1);
}

TEST(DomainClock, OnlyAPlausibleServerTimeSetsTheClock) {
    Private();
    qsim::Appliance hw("clock ok");
    struct {
        const char *line;
        int result;
    } cases[] = {
        {"Server_time=1767225600\n", 0}, {"Server_time=\n", -1},
        {"Server_time=abc\n", -1},       {"Server_time=0\n", -1},
        {"Server_time=12x\n", -1},       {"Realm=CORP\n", -1},
        {"Server_time=946684799\n", -1}, {"Server_time=-1767225600\n", -1},
    };
    for (const auto &c : cases) {
        qtest::RemoveFile("/sim/kernel.log");
        qtest::WriteFile(SZF_WIN_ADSINFO, c.line);
        EXPECT_EQ(WinIAdjustTime(), c.result) << c.line;
        std::string clock;
        for (const auto &l : qsim::KernelLog())
            if (l.rfind("settimeofday", 0) == 0) clock += l + "\n";
        if (c.result == 0)
            EXPECT_EQ(clock.rfind("settimeofday 1767225600.0", 0), 0u) << clock;
        else
            EXPECT_EQ(clock, "") << c.line;
    }
}

TEST(DomainLeave, ByModeWithThePasswordOnInput) {
    Private();
    qtest::WriteFile("/sim/domain.conf", "admin administrator S3cret;$(id)\n");
    qtest::WriteFile("/sim/domain.joined", "ads CORP.EXAMPLE.COM\n");
    qtest::WriteFile(SZF_SMB_CONF, kConf);
    QAVOWINJOIN req{1, const_cast<char *>("CORP.EXAMPLE.COM"), const_cast<char *>("administrator"),
                    const_cast<char *>("S3cret;$(id)"), nullptr};
    EXPECT_EQ(QAVOWinDelMachineAcc(&req, SZF_SMB_CONF), 1);
    EXPECT_FALSE(qtest::FileExists("/sim/domain.joined"));
    EXPECT_EQ(qtest::ReadFile("/sim/domain-input.log"), "net\tS3cret;$(id)\n");
    const auto calls = qtest::Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), (std::vector<std::string>{"/usr/qavo/bin/net", "ads", "leave", "-U",
                                                      "administrator", "-s", SZF_SMB_CONF}));
    // A user net would read as an option never reaches it.
    qtest::ClearCalls();
    req.szUser = const_cast<char *>("-d10");
    EXPECT_EQ(QAVOWinDelMachineAcc(&req, SZF_SMB_CONF), -1);
    EXPECT_TRUE(qtest::Calls().empty());
    req.szUser = const_cast<char *>("administrator");
    req.szPassword = const_cast<char *>("wrong");
    EXPECT_EQ(QAVOWinDelMachineAcc(&req, SZF_SMB_CONF), -1);
    std::string conf = kConf;
    conf.replace(conf.find("security=ads"), 12, "security=domain");
    qtest::WriteFile(SZF_SMB_CONF, conf);
    EXPECT_EQ(QAVOWinDelMachineAcc(&req, SZF_SMB_CONF), 1);
    conf.replace(conf.find("security=domain"), 15, "security=user");
    qtest::WriteFile(SZF_SMB_CONF, conf);
    EXPECT_EQ(QAVOWinDelMachineAcc(&req, SZF_SMB_CONF), 0);
    EXPECT_EQ(QAVOWinDelMachineAcc(&req, "/usr/qavo/etc/none.conf"), -1);
}

}  // namespace
