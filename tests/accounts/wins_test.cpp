// The SMB workgroup and WINS server: smb.conf's [global] section, "runsamba"
// and "wins" of /etc/qavoinfo.conf, and the WINS servers of eth0's lease.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_share.h"
#include "qavo_smb.h"
#include "services_support.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"

namespace {

const char *const kSmbConf = SZF_QAVO_SMB_CONF;
const char *const kLease = "/etc/dhcpc/dhcpcd-eth0.info";
const char *const kIfcfg = "/etc/sysconfig/network-scripts/ifcfg-eth0";

void WriteSmbConf(const std::string &wins) {
    std::string conf =
        "# Samba configuration\n[global]\n; kept comment\n\tworkgroup=HOMENET\n"
        "\tserver string=NAS\n";
    if (!wins.empty()) conf += "\twins server=" + wins + "\n";
    conf += "\n[public]\n\tpath=/volume1/public\n\twriteable=yes\n";
    qtest::WriteFile(kSmbConf, conf);
}

void Prepare(const char *runsamba, const char *wins, const std::string &server) {
    if (runsamba) svctest::SetKey("runsamba", runsamba);
    if (wins) svctest::SetKey("wins", wins);
    WriteSmbConf(server);
}

std::string Key(const char *path, const char *key) {
    char v[256] = "";
    if (SLIBFileGetKeyValue(path, key, v, sizeof v, 0) <= 0) return "<absent>";
    return v;
}

// The [global] testparm reads back, "key = value" lines.
std::string Testparm() {
    // The folders testparm insists on (the sandbox starts without them).
    qtest::Sh("mkdir -p /run/samba /var/lib/samba /var/cache/samba");
    std::string out;
    EXPECT_EQ(qtest::Exec({"/usr/bin/testparm", "-s", kSmbConf}, &out), 0);
    return out;
}

// How many times SMB was started (each restart starts smbd once).
int SmbStarts() {
    int n = 0;
    for (const auto &call : svctest::ServiceCalls())
        n += call == "smbd -D";
    return n;
}

// True when another process can take the writers' locks at once.
bool LocksAreFree() {
    pid_t pid = fork();
    if (pid == 0) {
        SLIBFileLockCloseAll();
        _exit(ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_RC | SLIB_LOCK_SMB | SLIB_LOCK_EX,
                              0) == 0
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(WinsSetting, ManualDhcpAndNone) {
    struct Case {
        const char *name;
        const char *mode;    // "wins" before
        const char *server;  // "wins server" before ("" none)
        const char *current, *next;
        const char *lease;  // WINSSERVERS of the lease; null: none
        bool staticAddress;
        int result;
        const char *serverAfter;  // "" none
        const char *modeAfter;
    } cases[] = {
        {"by hand", "none", "", "", "10.0.0.9", nullptr, false, 3, "10.0.0.9", "manual"},
        {"same by hand", "manual", "10.0.0.9", "10.0.0.9", "10.0.0.9", nullptr, false, 0,
         "10.0.0.9", "manual"},
        {"cleared, no lease", "manual", "10.0.0.9", "10.0.0.9", "", nullptr, false, 1, "", "none"},
        {"cleared, static", "manual", "10.0.0.9", "10.0.0.9", "", "10.0.0.7", true, 1, "", "none"},
        {"taken from the lease", "none", "", "", "", "10.0.0.7 10.0.0.8", false, 2, "10.0.0.7",
         "dhcp"},
        {"none stays none", "none", "", "", "", nullptr, false, 0, "", "none"},
        {"dhcp follows the lease", "dhcp", "10.0.0.7", "10.0.0.7", "10.0.0.7", "10.0.0.6", false, 2,
         "10.0.0.6", "dhcp"},
        {"dhcp, same lease", "dhcp", "10.0.0.7", "10.0.0.7", "10.0.0.7", "10.0.0.7", false, 0,
         "10.0.0.7", "dhcp"},
        {"dhcp, lease without WINS", "dhcp", "10.0.0.7", "10.0.0.7", "10.0.0.7", nullptr, false, 1,
         "", "none"},
        {"a lease that is no address", "none", "", "", "", "1.2.3.4;touch", false, 0, "", "none"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Prepare("yes", c.mode, c.server);
        qtest::WriteFile(kIfcfg, c.staticAddress ? "BOOTPROTO=static\n" : "BOOTPROTO=dhcp\n");
        qtest::RemoveFile(kLease);
        if (c.lease) qtest::WriteFile(kLease, std::string("WINSSERVERS=\"") + c.lease + "\"\n");
        qtest::ClearCalls();
        EXPECT_EQ(QAVOWinSetWINS(c.current, c.next, 1), c.result);
        EXPECT_EQ(Key(kSmbConf, "wins server"), *c.serverAfter ? c.serverAfter : "<absent>");
        EXPECT_EQ(Key(SLIB_QAVOINFO_PATH, "wins"), c.modeAfter);
        EXPECT_EQ(SmbStarts(), c.result ? 1 : 0);
        const std::string parsed = Testparm();
        EXPECT_NE(parsed.find("workgroup = HOMENET"), std::string::npos);
        const std::string shown = std::string("wins server = ") + c.serverAfter;
        EXPECT_EQ(parsed.find(shown) != std::string::npos, *c.serverAfter != '\0');
        EXPECT_NE(parsed.find("[public]"), std::string::npos);
        EXPECT_NE(qtest::ReadFile(kSmbConf).find("; kept comment"), std::string::npos);
    }
}

TEST(WinsSetting, RefreshFollowsTheLeaseAndRestartNeedsSambaOn) {
    Prepare("no", "dhcp", "10.0.0.7");
    qtest::WriteFile(kLease, "WINSSERVERS=10.0.0.6\n");
    qtest::ClearCalls();
    EXPECT_EQ(QAVOWinRefreshWINS(1), 2);
    EXPECT_EQ(Key(kSmbConf, "wins server"), "10.0.0.6");
    EXPECT_EQ(SmbStarts(), 0);  // SMB is off: nothing to restart
    qtest::RemoveFile(kLease);
    EXPECT_EQ(QAVOWinRefreshWINS(0), 1);
    EXPECT_EQ(Key(kSmbConf, "wins server"), "<absent>");
    EXPECT_EQ(Key(SLIB_QAVOINFO_PATH, "wins"), "none");
}

TEST(WinsSetting, FailuresChangeNothingAndReleaseTheLocks) {
    Prepare("yes", "none", "");
    const std::string conf = qtest::ReadFile(kSmbConf);
    for (const char *bad : {"10.0.0.9\n[evil]", "10.0.0", "255.255.255.255", "0.0.0.0", "a.b.c.d",
                            "010.0.0.1", " 10.0.0.9"}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOWinSetWINS("", bad, 1), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS) << bad;
    }
    EXPECT_EQ(QAVOWinSetWINS(nullptr, "", 0), -1);
    EXPECT_EQ(qtest::ReadFile(kSmbConf), conf);

    // "runsamba" or "wins" absent, a type other than 1.
    qtest::WriteFile(SLIB_QAVOINFO_PATH, "wins=\"none\"\n");
    EXPECT_EQ(QAVOWinSetWINS("", "10.0.0.9", 1), -1);
    EXPECT_TRUE(LocksAreFree());
    qtest::WriteFile(SLIB_QAVOINFO_PATH, "runsamba=\"yes\"\n");
    EXPECT_EQ(QAVOWinSetWINS("", "10.0.0.9", 1), -1);
    EXPECT_TRUE(LocksAreFree());
    QAVOWINCONF rec{};
    int needed = 0;
    EXPECT_EQ(QAVOWinGetConf(2, nullptr, 0, &needed), -1);
    EXPECT_TRUE(LocksAreFree());
    EXPECT_EQ(QAVOWinSetConf(2, &rec), -1);
    EXPECT_TRUE(LocksAreFree());
    EXPECT_EQ(qtest::ReadFile(kSmbConf), conf);
}

TEST(WinsSetting, RecordSizeAndStrictAddress) {
    Prepare("yes", "manual", "10.1.2.3,10.1.2.4");
    int needed = 0;
    EXPECT_EQ(QAVOWinGetConf(1, nullptr, 0, &needed), 0);
    EXPECT_EQ(needed, static_cast<int>(sizeof(QAVOWINCONF) + strlen("HOMENET") + 1));
    std::vector<char> buf(static_cast<size_t>(needed));
    EXPECT_EQ(QAVOWinGetConf(1, buf.data(), needed - 1, &needed), 0);
    ASSERT_EQ(QAVOWinGetConf(1, buf.data(), needed, &needed), 1);
    auto *rec = reinterpret_cast<QAVOWINCONF *>(buf.data());
    EXPECT_STREQ(rec->szWorkgroup, "HOMENET");
    EXPECT_EQ(rec->szWorkgroup, buf.data() + sizeof(QAVOWINCONF));
    EXPECT_EQ(rec->ulWins, inet_addr("10.1.2.3"));

    for (const char *server : {"bogus", "255.255.255.255", "10.1.2"}) {
        WriteSmbConf(server);
        qtest::ClearSyslog();
        ASSERT_EQ(QAVOWinGetConf(1, buf.data(), needed, &needed), 1) << server;
        EXPECT_EQ(rec->ulWins, 0u) << server;
        EXPECT_TRUE(qtest::SyslogHas("is no address", LOG_ERR)) << server;
    }
    WriteSmbConf("");
    ASSERT_EQ(QAVOWinGetConf(1, buf.data(), needed, &needed), 1);
    EXPECT_EQ(rec->ulWins, 0u);
}

TEST(WorkgroupSetting, ChangesRestartSambaOnceAndSwitchItOn) {
    Prepare("no", "none", "");
    const std::string conf = qtest::ReadFile(kSmbConf);
    QAVOWINCONF rec{};
    char same[] = "homenet";  // other letter case: no change
    rec.szWorkgroup = same;
    qtest::ClearCalls();
    EXPECT_EQ(QAVOWinSetConf(1, &rec), 1);
    EXPECT_EQ(qtest::ReadFile(kSmbConf), conf);
    EXPECT_EQ(SmbStarts(), 0);
    EXPECT_EQ(Key(SLIB_QAVOINFO_PATH, "runsamba"), "no");

    char office[] = "OFFICE";
    rec.szWorkgroup = office;
    EXPECT_EQ(QAVOWinSetConf(1, &rec), 1);
    EXPECT_EQ(Key(SLIB_QAVOINFO_PATH, "runsamba"), "yes");
    EXPECT_EQ(SmbStarts(), 1);
    EXPECT_NE(Testparm().find("workgroup = OFFICE"), std::string::npos);

    // Workgroup and WINS together: one restart.
    char lab[] = "LAB";
    rec.szWorkgroup = lab;
    rec.ulWins = inet_addr("192.168.1.20");
    qtest::ClearCalls();
    EXPECT_EQ(QAVOWinSetConf(1, &rec), 1);
    EXPECT_EQ(SmbStarts(), 1);
    std::string parsed = Testparm();
    EXPECT_NE(parsed.find("workgroup = LAB"), std::string::npos);
    EXPECT_NE(parsed.find("wins server = 192.168.1.20"), std::string::npos);
    EXPECT_EQ(Key(SLIB_QAVOINFO_PATH, "wins"), "manual");

    // The same again changes nothing.
    qtest::ClearCalls();
    EXPECT_EQ(QAVOWinSetConf(1, &rec), 1);
    EXPECT_EQ(SmbStarts(), 0);

    const std::string now = qtest::ReadFile(kSmbConf);
    char evil[] = "LAB\n[evil]";
    char blank[] = " LAB";
    char star[] = "L*B";
    for (char *bad : {evil, blank, star}) {
        rec.szWorkgroup = bad;
        SLIBErrSet(0);
        EXPECT_EQ(QAVOWinSetConf(1, &rec), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    rec.szWorkgroup = lab;
    rec.ulWins = 0xFFFFFFFFu;
    EXPECT_EQ(QAVOWinSetConf(1, &rec), -1);
    EXPECT_EQ(qtest::ReadFile(kSmbConf), now);
    EXPECT_TRUE(LocksAreFree());
}

TEST(WinsSetting, DhcpWinsReader) {
    char buf[64];
    qtest::WriteFile(kIfcfg, "BOOTPROTO=dhcp\n");
    qtest::WriteFile(kLease, "IPADDR=10.0.0.2\nWINSSERVERS=10.0.0.7\n");
    EXPECT_EQ(QAVOWinGetDHCPWins(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "10.0.0.7");
    qtest::WriteFile(kLease, "IPADDR=10.0.0.2\n");
    EXPECT_EQ(QAVOWinGetDHCPWins(buf, sizeof buf), 0);
    qtest::WriteFile(kIfcfg, "BOOTPROTO=static\n");
    EXPECT_EQ(QAVOWinGetDHCPWins(buf, sizeof buf), 0);
    qtest::WriteFile(kIfcfg, "ONBOOT=yes\n");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOWinGetDHCPWins(buf, sizeof buf), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_READ_FAILED);
    EXPECT_EQ(QAVOWinGetDHCPWins(nullptr, 4), -1);
}

}  // namespace
