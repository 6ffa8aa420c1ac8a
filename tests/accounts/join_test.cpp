// Joining a workgroup or a domain end to end against the domain controller
// double: what smb.conf, the state files, winbindd, the name service switch
// and SMB look like after a join, and that a failed join puts back what was
// there before.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_windomain.h"
#include "qavo_winjoin.h"
#include "qavosim.h"
#include "samba_check.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"

namespace {

const char *const kSmbConf =
    "# appliance\n[global]\n\tworkgroup=HOMENET\n\tsecurity=user\n\tserver string=NAS\n\n"
    "[public]\n\tpath=/volume1/public\n";
const char *const kPassword = "S3cret";
const std::string kScenario =
    "domain CORP.EXAMPLE.COM\nworkgroup CORP\nldap 10.0.0.7:389\nldap 10.0.0.8:389\n"
    "dc 10.0.0.5\nrealm CORP.EXAMPLE.COM\nservertime 1767225600\nadmin administrator S3cret\n";

// The files a join backs up, and the name service switch.
const char *const kWatched[] = {SZF_SMB_CONF,         SZF_WIN_WORKGROUP, SZF_WIN_DOMAIN_USER,
                                SZF_WIN_DOMAIN_GROUP, SZF_WIN_DOMACC,    SZF_NSSWITCH};

class Join : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(qtest::Sh("mkdir -p /usr/qavo/etc/private"), 0);
        qtest::WriteFile(SZF_SMB_CONF, kSmbConf);
        qtest::WriteFile(SZF_WIN_WORKGROUP, "Workgroup: OLDWG\n");
        qtest::WriteFile(SZF_WIN_DOMAIN_USER, "OLDWG\\olduser\n");
        qtest::WriteFile(SZF_WIN_DOMAIN_GROUP, "OLDWG\\oldgroup\n");
        qtest::WriteFile(SZF_WIN_DOMACC, "olduser%oldpass", 0600);
        qtest::WriteFile(SZF_NSSWITCH, qtest::ReadFile(SZF_NSSWITCH_WORKGROUP));
        qtest::WriteFile("/sim/domain.conf", kScenario);
        qtest::WriteFile("/sim/wbinfo.conf",
                         "user CORP\\alice S-1-5-21-1-1001 10001 10000\n"
                         "group CORP\\staff S-1-5-21-1-2001 10000\n");
        ASSERT_EQ(QAVOINFOSetKeyValue("runsamba", "yes"), 0);
        ASSERT_EQ(WINISmbServiceSet(1), 1);
        ASSERT_EQ(BlSLIBProcExist("smbd"), 1);
        qtest::ClearCalls();
    }

    int Run(int type, const char *name, const char *password = kPassword, const char *kdc = nullptr,
            const char *user = "administrator") {
        QAVOWINJOIN req{type, const_cast<char *>(name), const_cast<char *>(user),
                        const_cast<char *>(password), const_cast<char *>(kdc)};
        return QAVOWinJoin1(&req);
    }

    static std::map<std::string, std::string> Snapshot() {
        std::map<std::string, std::string> m;
        for (const char *f : kWatched)
            m[f] = qtest::FileExists(f) ? qtest::ReadFile(f) : "<absent>";
        return m;
    }

    static std::string State() { return qtest::ReadFile(SZF_WIN_STATE); }

    static std::string Param(const char *name) { return qtest::TestparmParam(SZF_SMB_CONF, name); }

    // A call of the double, its arguments joined by blanks.
    static bool Called(const std::string &line) {
        for (const auto &c : qtest::Calls()) {
            std::string s;
            for (const auto &a : c)
                s += (s.empty() ? "" : " ") + a;
            if (s == line) return true;
        }
        return false;
    }

    // The domain member's state after a successful domain join.
    static void ExpectMember(const char *security, const char *realm, const char *workgroup) {
        EXPECT_EQ(State(), "QAVOWinJoin1=success\n");
        EXPECT_EQ(Param("security"), security);
        EXPECT_EQ(Param("realm"), realm);
        EXPECT_EQ(Param("workgroup"), workgroup);
        EXPECT_EQ(BlSLIBProcExist("winbindd"), 1);
        EXPECT_EQ(qtest::ReadFile(SZF_NSSWITCH), qtest::ReadFile(SZF_NSSWITCH_DOMAIN));
        EXPECT_EQ(BlSLIBProcExist("smbd"), 1);
        EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMAIN_USER), "CORP\\alice\n");
        EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMAIN_GROUP), "CORP\\staff\n");
        EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMACC), std::string("administrator%") + kPassword);
        EXPECT_FALSE(qtest::FileExists(SZF_SMB_ADS));
    }

    // A failed join: the step and message, every file as before, winbindd
    // as before, SMB running.
    static void ExpectRestored(const std::string &state,
                               const std::map<std::string, std::string> &before, bool winbindd) {
        EXPECT_EQ(State(), state);
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(BlSLIBProcExist("winbindd"), winbindd ? 1 : 0);
        EXPECT_EQ(BlSLIBProcExist("smbd"), 1);
        EXPECT_FALSE(qtest::FileExists(SZF_SMB_ADS));
    }

    qsim::Appliance hw_{"clock ok"};
};

TEST_F(Join, Workgroup) {
    ASSERT_EQ(QAVOWinWinbindd(1), 0);
    ASSERT_EQ(Run(QAVO_WINJOIN_WORKGROUP, "newgroup"), 0);
    EXPECT_EQ(State(), "QAVOWinJoin1=success\n");
    EXPECT_EQ(Param("security"), "USER");
    EXPECT_EQ(Param("workgroup"), "NEWGROUP");
    EXPECT_EQ(BlSLIBProcExist("winbindd"), 0);
    EXPECT_EQ(qtest::ReadFile(SZF_NSSWITCH), qtest::ReadFile(SZF_NSSWITCH_WORKGROUP));
    EXPECT_EQ(BlSLIBProcExist("smbd"), 1);
    EXPECT_EQ(qtest::ReadFile("/usr/qavo/etc/smb.conf.bak"), kSmbConf);

    // A refused workgroup changes nothing.
    const auto before = Snapshot();
    EXPECT_EQ(Run(QAVO_WINJOIN_WORKGROUP, "A,B"), -1);
    ExpectRestored("QAVOWinJoin1=Invalid workgroup name.\n", before, false);
}

TEST_F(Join, FailedWorkgroupJoinStartsWinbinddAgain) {
    // winbindd runs; the join stops it and then cannot rewrite smb.conf.
    ASSERT_EQ(QAVOWinWinbindd(1), 0);
    const std::string noGlobal = "[public]\n\tpath=/volume1/public\n";
    qtest::WriteFile(SZF_SMB_CONF, noGlobal);
    qtest::WriteFile(SZF_NSSWITCH, qtest::ReadFile(SZF_NSSWITCH_DOMAIN));
    const auto before = Snapshot();
    EXPECT_EQ(Run(QAVO_WINJOIN_WORKGROUP, "NEWGROUP"), -1);
    ExpectRestored("QAVOWinJoin1=Error System.\n", before, true);
}

TEST_F(Join, Rpc) {
    // No LDAP server: an NT-style domain by its name.
    qtest::WriteFile("/sim/domain.conf",
                     "workgroup CORP\ndc 10.0.0.5\nadmin administrator S3cret\n");
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp"), 0);
    ExpectMember("DOMAIN", "*", "CORP");
    EXPECT_TRUE(Called("/usr/qavo/bin/net lookup ldap CORP"));
    EXPECT_TRUE(Called("/usr/qavo/bin/net lookup dc CORP"));
    EXPECT_TRUE(Called("/usr/qavo/bin/net rpc join -U administrator -s /usr/qavo/etc/smb.ads"));
    EXPECT_EQ(qtest::ReadFile("/sim/domain-input.log"), "net\tS3cret\n");
}

TEST_F(Join, AdsWithTheKdcGiven) {
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com", kPassword, "10.0.0.7"), 0);
    ExpectMember("ADS", "CORP.EXAMPLE.COM", "CORP");
    EXPECT_TRUE(Called("/usr/qavo/bin/nmblookup -A 10.0.0.7"));
    EXPECT_TRUE(Called("/usr/qavo/bin/net ads info -w CORP"));
    EXPECT_TRUE(Called("/usr/qavo/sbin/kinit -- administrator@CORP.EXAMPLE.COM"));
    EXPECT_TRUE(Called("/usr/qavo/bin/net ads join -s /usr/qavo/etc/smb.ads"));
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_WORKGROUP), "Workgroup: CORP\n");
    EXPECT_EQ(qtest::ReadFile(SZF_KRB5_CONF),
              "[libdefaults]\n\tdefault_realm = CORP.EXAMPLE.COM\n\n[realms]\n"
              "\tCORP.EXAMPLE.COM = {\n\tkdc = 10.0.0.7\n\t}\n");
    bool clock = false;
    for (const auto &l : qsim::KernelLog())
        clock = clock || l.rfind("settimeofday 1767225600.0", 0) == 0;
    EXPECT_TRUE(clock);
}

TEST_F(Join, AdsFoundByTheLdapLookup) {
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), 0);
    ExpectMember("ADS", "CORP.EXAMPLE.COM", "CORP");
    EXPECT_TRUE(Called("/usr/qavo/bin/net lookup ldap CORP.EXAMPLE.COM"));
    EXPECT_TRUE(Called("/usr/qavo/bin/net ads info -S CORP.EXAMPLE.COM"));
    EXPECT_EQ(qtest::ReadFile(SZF_KRB5_CONF),
              "[libdefaults]\n\tdefault_realm = CORP.EXAMPLE.COM\n\n[realms]\n"
              "\tCORP.EXAMPLE.COM = {\n\tkdc = 10.0.0.7\n\tkdc = 10.0.0.8\n\t}\n");
}

TEST_F(Join, WithoutARealmTheJoinTurnsRpc) {
    // LDAP servers but no realm: RPC with the domain's workgroup.
    std::string noRealm = kScenario;
    noRealm.erase(noRealm.find("realm "), std::string("realm CORP.EXAMPLE.COM\n").size());
    qtest::WriteFile("/sim/domain.conf", noRealm);
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), 0);
    ExpectMember("DOMAIN", "*", "CORP");
    EXPECT_TRUE(Called("/usr/qavo/bin/net lookup dc CORP"));
    EXPECT_FALSE(qtest::FileExists(SZF_KRB5_CONF));

    // Nothing found at all: the short name, cut to 15 characters.
    qtest::WriteFile("/sim/domain.conf",
                     "domain averyverylongname.example.com\ndc 10.0.0.5\n"
                     "admin administrator S3cret\n");
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "averyverylongname.example.com"), 0);
    EXPECT_TRUE(Called("/usr/qavo/bin/net lookup dc AVERYVERYLONGNA"));
    EXPECT_EQ(Param("workgroup"), "AVERYVERYLONGNA");
    EXPECT_EQ(Param("security"), "DOMAIN");

    qtest::WriteFile("/sim/domain.conf", "admin administrator S3cret\n");
    const auto before = Snapshot();
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "nowhere.example.com"), -1);
    ExpectRestored("QAVOWinJoin1=Neither LDAP server nor PDC can be found.\n", before, true);
}

TEST_F(Join, KinitRefused) {
    const auto before = Snapshot();
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com", "wrong"), -1);
    ExpectRestored("WINIDoKrb5Login=kinit: Password incorrect while getting initial credentials\n",
                   before, false);
    EXPECT_FALSE(Called("/usr/qavo/bin/net ads join -s /usr/qavo/etc/smb.ads"));
}

TEST_F(Join, RealmReadAsACommentIsRefused) {
    std::string scenario = kScenario;
    scenario.replace(scenario.find("realm "), 6, "realm #");
    qtest::WriteFile("/sim/domain.conf", scenario);
    const auto before = Snapshot();
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), -1);
    ExpectRestored("WINIGetRealm=Error System.\n", before, false);
    EXPECT_FALSE(qtest::FileExists(SZF_KRB5_CONF));
}

TEST_F(Join, ToolFailuresAreJudgedByStatusAndOutput) {
    qtest::WriteFile("/sim/domain.conf", kScenario + "fail ads-join 1\n");
    const auto before = Snapshot();
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), -1);
    ExpectRestored("WINICheckAndJoinDomain=Error System.\n", before, false);
    qtest::WriteFile("/sim/domain.conf", kScenario + "fail ads-join 1 Failed to join domain: x\n");
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), -1);
    ExpectRestored("WINICheckAndJoinDomain=Failed to join domain: x\n", before, false);
    // No workgroup in the controller's name table.
    qtest::WriteFile("/sim/domain.conf", kScenario + "fail nmblookup 1 No reply from 10.0.0.7\n");
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), -1);
    ExpectRestored("WINIWorkgroup=Can't get domain workgroup.\n", before, false);
    // kinit failing without a word is a failure too.
    qtest::WriteFile("/sim/domain.conf", kScenario + "fail kinit 1\n");
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), -1);
    ExpectRestored("WINIDoKrb5Login=Error System.\n", before, false);
    // A refused RPC join: net's lines, each ended by a '.', nothing cut.
    qtest::WriteFile("/sim/domain.conf", "workgroup CORP\ndc 10.0.0.5\nadmin administrator x\n");
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp"), -1);
    ExpectRestored(
        "WINICheckAndJoinDomain=Could not connect to server CORP."
        "Connection failed: NT_STATUS_LOGON_FAILURE.\n",
        before, false);
}

TEST_F(Join, UserListFailingAfterTheJoinRestores) {
    for (bool winbindd : {false, true}) {
        SCOPED_TRACE(winbindd ? "winbindd running before" : "winbindd stopped before");
        if (winbindd) {
            ASSERT_EQ(QAVOWinWinbindd(1), 0);
        }
        qtest::WriteFile(SZF_NSSWITCH,
                         winbindd ? "passwd: files winbind # mine\n" : "passwd: files # mine\n");
        qtest::WriteFile("/sim/domain.conf", kScenario + "fail wbinfo-u 1\n");
        const auto before = Snapshot();
        EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), -1);
        ExpectRestored("QAVOWinJoin1=Wbinfo fail. It might be domain name error.\n", before,
                       winbindd);
        EXPECT_EQ(Param("security"), "USER");
        EXPECT_EQ(Param("workgroup"), "HOMENET");
    }
}

TEST_F(Join, HostileInputIsRefusedOrInert) {
    const auto before = Snapshot();
    struct {
        int type;
        const char *name, *user, *password;
    } refused[] = {
        {1, "CORP;touch /tmp/p", "administrator", kPassword},
        {1, "$(touch /tmp/p)", "administrator", kPassword},
        {1, "CORP\n[x]", "administrator", kPassword},
        {1, "CORP}", "administrator", kPassword},
        {0, "WG\tX", "administrator", kPassword},
        {1, "corp", "admin%x", kPassword},
        {1, "corp", "admin\nroot", kPassword},
        {1, "corp", "administrator", "S3cret\ntouch /tmp/p"},
        // Names the tools would read as options, a realm krb5.conf reads as
        // a comment.
        {1, "corp.example.com", "-c/tmp/cc", kPassword},
        {1, "-corp.example.com", "administrator", kPassword},
        {0, "-WG", "administrator", kPassword},
        {1, "#CORP.EXAMPLE.COM", "administrator", kPassword},
    };
    for (const auto &c : refused) {
        EXPECT_EQ(Run(c.type, c.name, c.password, nullptr, c.user), -1) << c.name << c.user;
        EXPECT_EQ(Snapshot(), before) << c.name;
    }
    EXPECT_EQ(Run(1, "corp.example.com", kPassword, "10.0.0.7;touch /tmp/p"), -1);
    EXPECT_EQ(State(), "QAVOWinJoin1=Invalid KDC ip.\n");
    EXPECT_TRUE(qtest::Calls().empty());

    // Shell text in a password is only a password, and it is never seen
    // on a command line.
    const std::string hostile = "p;touch /tmp/p $(id) `id` ' \" %x";
    qtest::WriteFile("/sim/domain.conf",
                     "workgroup CORP\ndc 10.0.0.5\nadmin administrator " + hostile + "\n");
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp", hostile.c_str()), 0);
    EXPECT_EQ(qtest::ReadFile(SZF_WIN_DOMACC), "administrator%" + hostile);
    qtest::WriteFile("/sim/domain.conf", kScenario.substr(0, kScenario.find("admin")) +
                                             "admin administrator " + hostile + "\n");
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com", hostile.c_str()), 0);
    EXPECT_FALSE(qtest::FileExists("/tmp/p"));
    EXPECT_EQ(qtest::ReadFile("/sim/domain-input.log"),
              "net\t" + hostile + "\nkinit\t" + hostile + "\n");
    EXPECT_EQ(qtest::ReadFile("/sim/calls.log").find("p;touch"), std::string::npos);
    EXPECT_EQ(qtest::ReadFile("/sim/domain-ps.log").find("p;touch"), std::string::npos);
}

// A real Kerberos KDC for the realm, on an address of the sandbox's own
// loopback; it ends with the sandbox.
class RealKdc {
  public:
    RealKdc() {
        if (!qtest::FileExists("/usr/sbin/krb5kdc") || !qtest::FileExists("/usr/sbin/kadmin.local"))
            return;
        const std::string d = "/sim/krb5kdc";
        qtest::Sh("mkdir -p " + d);
        qtest::WriteFile(d + "/kdc.conf",
                         "[kdcdefaults]\n kdc_ports = 88\n kdc_tcp_ports = 88\n[realms]\n"
                         " CORP.EXAMPLE.COM = {\n  database_name = " +
                             d +
                             "/principal\n"
                             "  key_stash_file = " +
                             d + "/stash\n  acl_file = " + d +
                             "/kadm5.acl\n }\n"
                             "[logging]\n kdc = FILE:" +
                             d + "/kdc.log\n");
        qtest::WriteFile(d + "/krb5.conf", "[libdefaults]\n\tdefault_realm = CORP.EXAMPLE.COM\n");
        const std::string env =
            "KRB5_KDC_PROFILE=" + d + "/kdc.conf KRB5_CONFIG=" + d + "/krb5.conf ";
        ready_ =
            qtest::Sh("ip link set lo up && ip addr add 10.0.0.7/32 dev lo") == 0 &&
            qtest::Sh(env + "kdb5_util create -s -r CORP.EXAMPLE.COM -P master >/dev/null 2>&1") ==
                0 &&
            qtest::Sh(env +
                      "kadmin.local -r CORP.EXAMPLE.COM -q 'addprinc -pw S3cret "
                      "administrator' >/dev/null 2>&1") == 0 &&
            qtest::Sh(env + "krb5kdc -r CORP.EXAMPLE.COM -P " + d + "/kdc.pid") == 0;
        for (int i = 0; ready_ && i < 50 && !qtest::FileExists(d + "/kdc.pid"); ++i)
            usleep(100000);
    }
    ~RealKdc() {
        if (qtest::FileExists("/sim/krb5kdc/kdc.pid"))
            qtest::Sh("kill $(cat /sim/krb5kdc/kdc.pid)");
    }
    bool Ready() const { return ready_; }

  private:
    bool ready_ = false;
};

TEST_F(Join, AdsWithARealKdc) {
    RealKdc kdc;
    if (!kdc.Ready()) GTEST_SKIP() << "no MIT KDC here";
    qtest::WriteFile("/sim/domain.conf", kScenario + "kinit real\n");
    // A refused password: the KDC's own answer is the message.
    const auto before = Snapshot();
    EXPECT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com", "wrong", "10.0.0.7"), -1);
    ExpectRestored("WINIDoKrb5Login=kinit: Password incorrect while getting initial credentials\n",
                   before, false);

    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com", kPassword, "10.0.0.7"), 0) << State();
    ExpectMember("ADS", "CORP.EXAMPLE.COM", "CORP");
    EXPECT_EQ(qtest::ReadFile(SZF_KRB5_CONF),
              "[libdefaults]\n\tdefault_realm = CORP.EXAMPLE.COM\n\n[realms]\n"
              "\tCORP.EXAMPLE.COM = {\n\tkdc = 10.0.0.7\n\t}\n");
    std::string klist;
    EXPECT_EQ(qtest::Exec({"/usr/bin/klist"}, &klist), 0);
    EXPECT_NE(klist.find("Default principal: administrator@CORP.EXAMPLE.COM"), std::string::npos)
        << klist;
    EXPECT_NE(klist.find("krbtgt/CORP.EXAMPLE.COM@CORP.EXAMPLE.COM"), std::string::npos);
}

TEST_F(Join, MembershipTestFollowsTheJoin) {
    EXPECT_EQ(WINITestJoin(0), -1);
    ASSERT_EQ(Run(QAVO_WINJOIN_DOMAIN, "corp.example.com"), 0);
    ASSERT_EQ(QAVOWinDomainJoinedSet(1), 0);
    EXPECT_EQ(WINITestJoin(1), 0);
    qtest::RemoveFile("/sim/domain.joined");
    EXPECT_EQ(WINITestJoin(1), -1);
}

}  // namespace
