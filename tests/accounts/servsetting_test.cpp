// Service settings: keys of /etc/qavoinfo.conf, the FTP options, the PPPoE
// account and connection, the UPnP port-mapping and dynamic-DNS daemons and
// the SMB connections. Start scripts are recording stand-ins, daemons
// sleeping processes that carry the daemons' names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "appliance.h"
#include "qavo_servsetting.h"
#include "services_support.h"
#include "slib_errcode.h"

namespace {

using svctest::EndedBy;

const char *const kUPnPScript = "/usr/qavo/etc/rc.d/S10UPnPportmap.sh";
const char *const kDDNSScript = "/usr/qavo/etc/rc.d/S09DDNS.sh";

// A process whose command line reads "name 60", its id in the pid file.
pid_t FakeDaemon(const char *name, const char *pidFile) {
    const pid_t pid = svctest::SleepingAs(name);
    qtest::WriteFile(pidFile, std::to_string(pid) + "\n");
    return pid;
}

using Action = int (*)(int);

struct Daemon {
    Action act;
    const char *name, *pidFile, *script, *scriptName;
};
const Daemon kDaemons[] = {
    {QAVOUPnPService, "upnpd", "/var/run/upnpd.pid", kUPnPScript, "S10UPnPportmap.sh"},
    {QAVODDNSService, "/usr/qavo/sbin/ddnsd", "/var/run/ddnsd.pid", kDDNSScript, "S09DDNS.sh"},
};

TEST(ServiceDaemons, StoppedDaemonsAreOnlyStartedAndUnknownActionsDoNothing) {
    for (const Daemon &d : kDaemons) {
        SCOPED_TRACE(d.script);
        qtest::ClearCalls();
        EXPECT_EQ(d.act(0), 1);
        EXPECT_EQ(d.act(5), 1);
        EXPECT_EQ(d.act(1), 0);
        EXPECT_EQ(d.act(4), 0);
        EXPECT_TRUE(qtest::Calls().empty());
        EXPECT_EQ(d.act(2), 1);
        EXPECT_EQ(d.act(3), 1);
        const std::vector<std::vector<std::string>> restart = {{d.script, "restart"},
                                                               {d.script, "restart"}};
        EXPECT_EQ(qtest::Calls(), restart);

        qtest::SetStandinStatus(d.scriptName, 3);
        EXPECT_EQ(d.act(3), -1);
        qtest::SetStandinStatus(d.scriptName, 0);
    }
    EXPECT_TRUE(qtest::SyslogHas("sdk/qavonetserv(", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("Failed to do action 3 to upnpd, return=3", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("Failed to do action 3 on DDNS daemon, return value=3", LOG_ERR));
}

TEST(ServiceDaemons, RunningDaemonsAreReloadedWithHangupAndStoppedByScript) {
    for (const Daemon &d : kDaemons) {
        SCOPED_TRACE(d.script);
        const pid_t pid = FakeDaemon(d.name, d.pidFile);
        qtest::ClearCalls();
        EXPECT_EQ(d.act(4), 1);
        EXPECT_EQ(EndedBy(pid), SIGHUP);
        EXPECT_TRUE(qtest::Calls().empty());

        const pid_t again = FakeDaemon(d.name, d.pidFile);
        EXPECT_EQ(d.act(1), 1);
        const std::vector<std::vector<std::string>> stop = {{d.script, "stop"}};
        EXPECT_EQ(qtest::Calls(), stop);
        kill(again, SIGKILL);
        waitpid(again, nullptr, 0);
    }
}

TEST(ServiceDaemons, ADamagedPidFileHangsUpNobody) {
    for (const Daemon &d : kDaemons) {
        SCOPED_TRACE(d.script);
        const pid_t pid = FakeDaemon(d.name, d.pidFile);
        for (const char *bad : {"-1\n", "0\n", "1\n", "abc\n"}) {
            qtest::WriteFile(d.pidFile, bad);
            EXPECT_EQ(d.act(4), -1) << bad;  // we are still here to see it
        }
        EXPECT_EQ(EndedBy(pid), 0);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

const char *const kInfo = "/etc/qavoinfo.conf";

std::string Info() {
    return qtest::ReadFile(kInfo);
}

std::string InfoKey(const char *key) {
    char v[256] = "";
    if (SLIBFileGetKeyValue(kInfo, key, v, sizeof v, 0) <= 0) return "<absent>";
    return v;
}

TEST(ServiceSettings, SwitchesRoundTripAndRefusalsLeaveTheFileAlone) {
    struct Case {
        const char *key;
        std::function<int(int)> set;
        std::function<int()> get;  // null: no reader
    } cases[] = {
        {"httpredirect", QAVOHttpRedirectSet, QAVOHttpRedirectGet},
        {"runtelnet", QAVOTelnetService, QAVOTelnetIsEnabled},
        {"runHTTPS", QAVOHttpsService, nullptr},
        {"redirectHTTPS", QAVOHttpsRedirectSet, nullptr},
        {"runphoto", QAVOPhotoService, nullptr},
        {"albumdefpublic", QAVOAlbumDefRightSet, nullptr},
        {"runweb", QAVOWebService, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        auto reads = [&](int expected) {
            if (c.get) {
                EXPECT_EQ(c.get(), expected);
            }
        };
        EXPECT_EQ(c.set(1), 0);
        EXPECT_EQ(InfoKey(c.key), "yes");
        reads(1);
        EXPECT_EQ(c.set(0), 0);
        EXPECT_EQ(InfoKey(c.key), "no");
        reads(0);
        svctest::SetKey(c.key, "YES");  // the readers ignore case
        reads(1);
        const std::string before = Info();
        for (int bad : {2, -1}) {
            SLIBErrSet(0);
            EXPECT_EQ(c.set(bad), -1) << bad;
            EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
        }
        EXPECT_EQ(Info(), before);
    }

    // Texts and ports.
    EXPECT_EQ(QAVOMediaCodepageSet("8"), 0);
    EXPECT_EQ(InfoKey("codepage_mediaservice"), "8");
    EXPECT_EQ(QAVOMediaLanguageSet("enu"), 0);
    EXPECT_EQ(InfoKey("language_mediaservice"), "enu");
    EXPECT_EQ(QAVOHttpPortSet("8080"), 0);
    EXPECT_EQ(InfoKey("httpport"), "8080");
    EXPECT_EQ(QAVOHttpConfigSet(5), 0);
    EXPECT_EQ(InfoKey("addport"), "yes");
    EXPECT_EQ(QAVOHttpConfigSet(0), 0);
    EXPECT_EQ(InfoKey("addport"), "no");
    const std::string before = Info();
    EXPECT_EQ(QAVOMediaCodepageSet(nullptr), -1);
    EXPECT_EQ(QAVOMediaLanguageSet("enu\nrunsamba=yes"), -1);
    for (const char *port : {"", "80a", "0", "65536", "-80", " 80", "99999999999"})
        EXPECT_EQ(QAVOHttpPortSet(port), -1) << port;
    EXPECT_EQ(QAVOHttpPortSet(nullptr), -1);
    EXPECT_EQ(Info(), before);
}

TEST(ServiceSettings, TextSettingsStayWhatTheShellAndTheLibraryRead) {
    // The scripts source the settings file: after every setter of a text,
    // good or hostile, the file sources cleanly, runs nothing, and the shell
    // and the library read the same value.
    const char *const hostile[] = {
        "$(touch /tmp/ran)", "x\"; touch /tmp/ran; \"", "`touch /tmp/ran`", "a\\", "936 ", "ENU"};
    const struct {
        const char *key;
        std::function<int(const char *)> set;
        std::vector<const char *> good;
    } setters[] = {
        {"codepage_mediaservice", QAVOMediaCodepageSet, {"8", "932", "2950", "11253"}},
        {"language_mediaservice", QAVOMediaLanguageSet, {"enu", "jpn", "cht"}},
        {"httpport", QAVOHttpPortSet, {"5000"}},
        {"ftpport",
         [](const char *port) {
             QAVOFTPCONF c{};
             snprintf(c.szPort, sizeof c.szPort, "%s", port);
             return QAVOFTPConfSet(c);
         },
         {"2121"}},
    };
    for (const auto &s : setters) {
        for (const char *v : s.good) {
            EXPECT_EQ(s.set(v), 0) << s.key << " " << v;
            EXPECT_EQ(qtest::SourcedKey("/etc/qavoinfo.conf", s.key), v);
            EXPECT_EQ(InfoKey(s.key), v);
        }
        for (const char *v : hostile) {
            const std::string before = Info();
            SLIBErrSet(0);
            EXPECT_EQ(s.set(v), -1) << s.key << " " << v;
            EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS) << s.key << " " << v;
            EXPECT_EQ(Info(), before) << s.key << " " << v;
        }
        EXPECT_EQ(qtest::SourcedKey("/etc/qavoinfo.conf", s.key), InfoKey(s.key));
    }
    EXPECT_EQ(qtest::Exec({"sh", "-ec", ". /etc/qavoinfo.conf"}), 0);
    EXPECT_FALSE(qtest::FileExists("/tmp/ran"));
}

TEST(ServiceSettings, InetdIsHungUpThroughItsPidFileOnly) {
    const pid_t inetd = FakeDaemon("inetd", "/var/run/inetd.pid");
    EXPECT_EQ(QAVOTelnetService(1), 0);
    EXPECT_EQ(EndedBy(inetd), SIGHUP);
    const pid_t bystander = FakeDaemon("inetd", "/var/run/other.pid");
    qtest::WriteFile("/var/run/inetd.pid", "-1\n");
    EXPECT_EQ(QAVOTelnetService(0), 0);
    EXPECT_EQ(InfoKey("runtelnet"), "no");
    EXPECT_EQ(EndedBy(bystander), 0);
    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
}

QAVOFTPCONF FtpConf(const char *port, int low, int high) {
    QAVOFTPCONF c{};
    snprintf(c.szPort, sizeof c.szPort, "%s", port);
    c.fExtIP = 1;
    c.fFlowControl = 0;
    c.nMaxUploadRate = 300;
    c.nMaxDownloadRate = 500;
    c.fAnonymousLogin = 1;
    c.fIPAutoDeny = 0;
    c.nLowPort = low;
    c.nHighPort = high;
    c.fOnlySSL = 1;
    return c;
}

TEST(FtpSettings, RoundTripPassiveRangeAndRefusals) {
    ASSERT_EQ(QAVOFTPConfSet(FtpConf("2121", 55536, 56559)), 0);
    QAVOFTPCONF got;
    ASSERT_EQ(QAVOFTPConfGet(&got), 0);
    EXPECT_STREQ(got.szPort, "2121");
    EXPECT_EQ(got.fExtIP, 1);
    EXPECT_EQ(got.fFlowControl, 0);
    EXPECT_EQ(got.nMaxUploadRate, 300);
    EXPECT_EQ(got.nMaxDownloadRate, 500);
    EXPECT_EQ(got.fAnonymousLogin, 1);
    EXPECT_EQ(got.fIPAutoDeny, 0);
    EXPECT_EQ(got.nLowPort, 55536);
    EXPECT_EQ(got.nHighPort, 56559);
    EXPECT_EQ(got.fOnlySSL, 1);
    EXPECT_EQ(InfoKey("ftpflowcontrol"), "no");

    // A range reaching below 1025 turns the range off; an empty port is 21.
    ASSERT_EQ(QAVOFTPConfSet(FtpConf("", 1024, 2000)), 0);
    EXPECT_EQ(InfoKey("ftplowport"), "0");
    EXPECT_EQ(InfoKey("ftphighport"), "0");
    EXPECT_EQ(InfoKey("ftpport"), "21");

    // Only exactly "yes" is on for the FTP reader.
    svctest::SetKey("ftpanonymouslogin", "YES");
    ASSERT_EQ(QAVOFTPConfGet(&got), 0);
    EXPECT_EQ(got.fAnonymousLogin, 0);

    const std::string before = Info();
    const QAVOFTPCONF bad[] = {FtpConf("abc", 0, 0),        FtpConf("70000", 0, 0),
                               FtpConf("0", 0, 0),          FtpConf("21", 5000, 4000),
                               FtpConf("21", 60000, 70000), FtpConf("21", 70000, 80)};
    for (const QAVOFTPCONF &c : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOFTPConfSet(c), -1) << c.szPort << " " << c.nLowPort << "-" << c.nHighPort;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    QAVOFTPCONF full = FtpConf("", 0, 0);
    memset(full.szPort, '2', sizeof full.szPort);  // no terminator
    EXPECT_EQ(QAVOFTPConfSet(full), -1);
    EXPECT_EQ(Info(), before);

    qtest::RemoveFile(kInfo);
    EXPECT_EQ(QAVOFTPConfGet(&got), -1);
}

TEST(FtpSettings, ServiceSwitchesNeedTheScriptToSucceed) {
    struct Case {
        int (*set)(int);
        const char *key, *script;
    } cases[] = {
        {QAVOFTPIService, "runftpd", "S99ftpd.sh"},
        {QAVOMySQLIService, "runmysql", "S21mysql.sh"},
        {QAVOMediaService, "runmediaservice", "S86qavodms.sh"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        qtest::ClearCalls();
        EXPECT_EQ(c.set(1), 0);
        EXPECT_EQ(InfoKey(c.key), "yes");
        EXPECT_EQ(c.set(0), 0);
        EXPECT_EQ(InfoKey(c.key), "no");
        EXPECT_EQ(svctest::ServiceCalls(),
                  (std::vector<std::string>{std::string(c.script) + " start",
                                            std::string(c.script) + " stop"}));
        qtest::SetStandinStatus(c.script, 1);
        EXPECT_EQ(c.set(1), -1);
        qtest::SetStandinStatus(c.script, 0);
        qtest::ClearCalls();
        EXPECT_EQ(c.set(2), -1);
        EXPECT_TRUE(qtest::Calls().empty());
    }
}

TEST(FtpSettings, RunningTestFollowsTheSwitchInAnyCase) {
    svctest::SetKey("runftpd", "YES");
    EXPECT_EQ(QAVOFTPTestRunning(), 0);
    const pid_t pid = FakeDaemon("/usr/qavo/sbin/ftpd", "/var/run/ftpd.pid");
    EXPECT_EQ(QAVOFTPTestRunning(), 1);
    svctest::SetKey("runftpd", "no");
    EXPECT_EQ(QAVOFTPTestRunning(), 0);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// ---------------------------------------------------------------- PPPoE

const char *const kSecrets = "/etc/ppp/pap-secrets";
const char *const kPppoeConf = "/etc/ppp/pppoe.conf";

QAVOPPPOECONF Account(const char *user, const char *password) {
    QAVOPPPOECONF c{};
    snprintf(c.szUser, sizeof c.szUser, "%s", user);
    snprintf(c.szPassword, sizeof c.szPassword, "%s", password);
    return c;
}

// Records the mode of every file created in a folder while it runs, read
// as soon as the file appears.
class CreatedModes {
  public:
    explicit CreatedModes(const char *dir) : dir_(dir) {
        fd_ = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(fd_, dir, IN_CREATE);
        thread_ = std::thread([this] { Run(); });
    }
    ~CreatedModes() {
        stop_ = true;
        qtest::WriteFile(dir_ + "/.stop", "");
        thread_.join();
        close(fd_);
        unlink((dir_ + "/.stop").c_str());
    }
    std::vector<std::pair<std::string, mode_t>> seen;

  private:
    void Run() {
        alignas(struct inotify_event) char buf[4096];
        while (!stop_) {
            ssize_t n = read(fd_, buf, sizeof buf);
            for (ssize_t at = 0; at < n;) {
                auto *e = reinterpret_cast<struct inotify_event *>(buf + at);
                struct stat st;
                if (e->len && stat((dir_ + "/" + e->name).c_str(), &st) == 0 &&
                    std::string(e->name) != ".stop")
                    seen.emplace_back(e->name, st.st_mode & 0777);
                at += static_cast<ssize_t>(sizeof *e + e->len);
            }
        }
    }
    std::string dir_;
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(PPPoE, AccountRoundTripsAndTheUserIsOneShellWord) {
    qtest::Sh("mkdir -p /etc/ppp");
    qtest::WriteFile(kSecrets, "old\t*\tsecret\n", 0644);
    qtest::WriteFile(kPppoeConf, "ETH=eth0\nUSER=old\nDEMAND=no\n");
    const mode_t old = umask(0);
    {
        CreatedModes watch("/etc/ppp");
        EXPECT_EQ(QAVOPPPoEConfSet(Account("jo@isp.example", "p4ss word")), 0);
        usleep(100000);
        for (const auto &[name, mode] : watch.seen) {
            if (name.rfind("pap-secrets", 0) != 0) continue;  // pppoe.conf is no secret
            if (name == "pap-secrets.prev.tmp") continue;     // the old file itself, kept
            EXPECT_EQ(mode & 077, 0u) << name;
        }
    }
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(kSecrets, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(qtest::ReadFile(kSecrets), "jo@isp.example\t*\t\"p4ss word\"\n");
    EXPECT_EQ(qtest::ReadFile(kPppoeConf), "ETH=eth0\nUSER=jo@isp.example\nDEMAND=no\n");
    std::string user;
    qtest::Exec({"/bin/sh", "-c", ". /etc/ppp/pppoe.conf; printf %s \"$USER\""}, &user);
    EXPECT_EQ(user, "jo@isp.example");
    QAVOPPPOECONF got;
    ASSERT_EQ(QAVOPPPoEConfGet(&got), 0);
    EXPECT_STREQ(got.szUser, "jo@isp.example");
    EXPECT_STREQ(got.szPassword, "p4ss word");

    const std::string secrets = qtest::ReadFile(kSecrets), conf = qtest::ReadFile(kPppoeConf);
    const QAVOPPPOECONF bad[] = {
        Account("$(touch /tmp/p)", "x"), Account("a b", "x"),  Account("a;b", "x"),
        Account("a`id`", "x"),           Account("a\nb", "x"), Account("a*", "x"),
        Account("ok", "x\nevil * y"),    Account("ok", "a*b"), Account("ok", "tab\there"),
    };
    for (const QAVOPPPOECONF &c : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOPPPoEConfSet(c), -1) << c.szUser << " / " << c.szPassword;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    QAVOPPPOECONF longPass = Account("ok", "");
    memset(longPass.szPassword, 'p', sizeof longPass.szPassword);  // 32 characters, no end
    EXPECT_EQ(QAVOPPPoEConfSet(longPass), -1);
    EXPECT_EQ(qtest::ReadFile(kSecrets), secrets);
    EXPECT_EQ(qtest::ReadFile(kPppoeConf), conf);
    EXPECT_FALSE(qtest::FileExists("/tmp/p"));
    EXPECT_FALSE(qtest::FileExists("/etc/ppp/pap-secrets.tmp"));
}

// Only an account that reads back as written is stored: half an account
// reads as none, and the reader trims the password's edges.
TEST(PPPoE, AccountThatWouldNotReadBackIsRefused) {
    qtest::Sh("mkdir -p /etc/ppp");
    qtest::WriteFile(kSecrets, "old\t*\tsecret\n", 0600);
    qtest::WriteFile(kPppoeConf, "USER=old\n");
    const QAVOPPPOECONF bad[] = {
        Account("jo", ""),    Account("", "pw"),  Account("jo", " pw"),
        Account("jo", "pw "), Account("jo", " "), Account("", " "),
    };
    for (const QAVOPPPOECONF &c : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOPPPoEConfSet(c), -1) << "[" << c.szUser << "] [" << c.szPassword << "]";
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(qtest::ReadFile(kSecrets), "old\t*\tsecret\n");
    EXPECT_EQ(qtest::ReadFile(kPppoeConf), "USER=old\n");
    EXPECT_FALSE(qtest::FileExists("/etc/ppp/pap-secrets.tmp"));

    // Both empty clears the account.
    ASSERT_EQ(QAVOPPPoEConfSet(Account("", "")), 0);
    QAVOPPPOECONF got;
    ASSERT_EQ(QAVOPPPoEConfGet(&got), 0);
    EXPECT_STREQ(got.szUser, "");
    EXPECT_STREQ(got.szPassword, "");
}

// The words of a secrets line as pppd reads them: blanks separate words, a
// "#" outside quotes ends the line's words, " and ' quote, and a backslash
// makes the next character plain (pppd's letter escapes aside).
std::vector<std::string> PppdWords(const std::string &line) {
    std::vector<std::string> words;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size() || line[i] == '#') return words;
        std::string w;
        char quote = 0;
        if (line[i] == '"' || line[i] == '\'') quote = line[i++];
        for (; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                w += line[++i];
                continue;
            }
            if (quote && line[i] == quote) {
                ++i;
                break;
            }
            if (!quote && (isspace(static_cast<unsigned char>(line[i])) || line[i] == '#')) break;
            w += line[i];
        }
        words.push_back(w);
    }
}

TEST(PPPoE, SecretsAreOnePppdWordAndNeverAFileName) {
    qtest::Sh("mkdir -p /etc/ppp");
    qtest::WriteFile(kPppoeConf, "USER=old\n");
    for (const char *pw : {"plain", "ab#cd", "a\"b", "a\\b", "ab cd", "it's", "\\\"#' x", "#lead",
                           "x@/etc/shadow", "'q'"}) {
        ASSERT_EQ(QAVOPPPoEConfSet(Account("jo", pw)), 0) << pw;
        EXPECT_EQ(PppdWords(qtest::ReadFile(kSecrets)), (std::vector<std::string>{"jo", "*", pw}))
            << qtest::ReadFile(kSecrets);
        QAVOPPPOECONF got;
        ASSERT_EQ(QAVOPPPoEConfGet(&got), 0);
        EXPECT_STREQ(got.szPassword, pw);
    }
    // A plain secret is written as it is.
    ASSERT_EQ(QAVOPPPoEConfSet(Account("jo", "s3cret")), 0);
    EXPECT_EQ(qtest::ReadFile(kSecrets), "jo\t*\ts3cret\n");
    // pppd reads the secret from the file a leading "@" names: refused.
    for (const char *pw : {"@/etc/shadow", "@x"}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOPPPoEConfSet(Account("jo", pw)), -1) << pw;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(qtest::ReadFile(kSecrets), "jo\t*\ts3cret\n");
    EXPECT_FALSE(qtest::FileExists("/etc/ppp/pap-secrets.tmp"));
}

TEST(PPPoE, AFailedChangeLeavesBothFilesNamingTheOldAccount) {
    qtest::Sh("mkdir -p /etc/ppp");
    qtest::WriteFile(kSecrets, "old\t*\tsecret\n", 0600);
    qtest::WriteFile(kPppoeConf, "USER=old\n");
    // The secrets cannot be replaced (a folder holds their name).
    qtest::RemoveFile(kSecrets);
    qtest::Sh("mkdir -p /etc/ppp/pap-secrets/x");
    EXPECT_EQ(QAVOPPPoEConfSet(Account("new", "pw")), -1);
    EXPECT_EQ(qtest::ReadFile(kPppoeConf), "USER=old\n");
    qtest::Sh("rm -r /etc/ppp/pap-secrets");
    // The user cannot be written: the old secrets come back.
    qtest::WriteFile(kSecrets, "old\t*\tsecret\n", 0600);
    qtest::RemoveFile(kPppoeConf);
    qtest::Sh("mkdir -p /etc/ppp/pppoe.conf");
    EXPECT_EQ(QAVOPPPoEConfSet(Account("new", "pw")), -1);
    EXPECT_EQ(qtest::ReadFile(kSecrets), "old\t*\tsecret\n");
    struct stat st;
    ASSERT_EQ(stat(kSecrets, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(qtest::Sh("ls -A /etc/ppp | grep -q tmp"), 1);
}

TEST(PPPoE, SecretsReader) {
    qtest::Sh("mkdir -p /etc/ppp");
    struct Case {
        const char *file, *user, *password;
    } cases[] = {
        {"no star here\n", "", ""},
        {"# c * d\n  bob  *  pw  \nalice * x\n", "bob", "pw"},
        {"*\tpw\nbob\t*\t\n", "", ""},  // a side missing is no account
    };
    for (const Case &c : cases) {
        qtest::WriteFile(kSecrets, c.file, 0600);
        QAVOPPPOECONF got;
        memset(&got, 'x', sizeof got);
        EXPECT_EQ(QAVOPPPoEConfGet(&got), 0) << c.file;
        EXPECT_STREQ(got.szUser, c.user) << c.file;
        EXPECT_STREQ(got.szPassword, c.password) << c.file;
    }
    qtest::RemoveFile(kSecrets);
    QAVOPPPOECONF got;
    EXPECT_EQ(QAVOPPPoEConfGet(&got), -1);
    EXPECT_EQ(QAVOPPPoEConfGet(nullptr), -1);
}

TEST(PPPoE, SecretsLineEndsAtANulByte) {
    qtest::Sh("mkdir -p /etc/ppp");
    // Nothing after the '*' but NUL bytes is a side missing; the account is
    // the first whole one after it.
    const char file[] = "bob\0\0 *\0pw\nalice * x\0y\n";
    qtest::WriteFile(kSecrets, std::string(file, sizeof file - 1), 0600);
    QAVOPPPOECONF got;
    memset(&got, 'x', sizeof got);
    EXPECT_EQ(QAVOPPPoEConfGet(&got), 0);
    EXPECT_STREQ(got.szUser, "alice");
    EXPECT_STREQ(got.szPassword, "x");
}

TEST(PPPoE, ConnectAndDisconnect) {
    svctest::SetKey("pppoe_enable", "no");
    qtest::SetStandinStatus("adsl-start", 19);
    EXPECT_EQ(QAVOPPPoEService(1), 19 * 256);
    EXPECT_EQ(InfoKey("pppoe_enable"), "no");
    qtest::SetStandinStatus("adsl-start", 1);
    EXPECT_EQ(QAVOPPPoEService(1), -1);
    EXPECT_EQ(InfoKey("pppoe_enable"), "no");
    qtest::SetStandinStatus("adsl-start", 0);
    EXPECT_EQ(QAVOPPPoEService(1), 0);
    EXPECT_EQ(InfoKey("pppoe_enable"), "yes");
    qtest::ClearCalls();
    EXPECT_EQ(QAVOPPPoEService(0), 0);
    EXPECT_EQ(InfoKey("pppoe_enable"), "no");
    EXPECT_EQ(qtest::Calls(), (std::vector<std::vector<std::string>>{{"/usr/sbin/adsl-stop"}}));
    EXPECT_EQ(QAVOPPPoEService(2), -1);
}

TEST(PPPoE, StatusFollowsTheConnection) {
    EXPECT_EQ(QAVOPPPoEStatusGet(), 0);  // key absent
    svctest::SetKey("pppoe_enable", "YES");
    EXPECT_EQ(QAVOPPPoEStatusGet(), 0);  // no connection: the switch is stale
    EXPECT_EQ(InfoKey("pppoe_enable"), "no");

    const pid_t conn = FakeDaemon("adsl-connect", "/var/run/adsl.pid");
    svctest::SetKey("pppoe_enable", "yes");
    qtest::ClearCalls();
    EXPECT_EQ(QAVOPPPoEStatusGet(), 1);
    EXPECT_TRUE(qtest::Calls().empty());
    svctest::SetKey("pppoe_enable", "no");
    EXPECT_EQ(QAVOPPPoEStatusGet(), 0);  // switched off but connected: hang up
    EXPECT_EQ(qtest::Calls(), (std::vector<std::vector<std::string>>{{"/usr/sbin/adsl-stop"}}));
    kill(conn, SIGKILL);
    waitpid(conn, nullptr, 0);
}

// ------------------------------------------------------- SMB connections

TEST(SmbConnections, ListedByUserAndShareAndEndedByWholeIds) {
    const pid_t b1 = FakeDaemon("smbd", "/var/run/c1.pid");
    const pid_t b2 = FakeDaemon("/usr/qavo/sbin/smbd", "/var/run/c2.pid");
    const pid_t b3 = FakeDaemon("smbd", "/var/run/c3.pid");
    const pid_t a1 = FakeDaemon("smbd", "/var/run/c4.pid");
    const pid_t other = FakeDaemon("bob-helper", "/var/run/c5.pid");
    auto s = [](pid_t p) { return std::to_string(p); };
    qtest::WriteFile("/sim/smbstatus.conf", s(b1) + " bob public\n" + s(a1) + " alice public\n" +
                                                s(b2) + " bob bob\n" + s(other) + " bob home\n" +
                                                "999999 bob public\n" + s(b3) + " bob media\n" +
                                                s(a1) + " bobby media\n");
    char buf[256];
    EXPECT_EQ(QAVOGetUserConnOfSmb("bob", 0, buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), s(b1) + "," + s(b2) + "," + s(b3));
    EXPECT_EQ(QAVOGetUserConnOfSmb("public", 1, buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), s(b1) + "," + s(a1));
    EXPECT_EQ(QAVOGetUserConnOfSmb("nobody", 0, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");

    // Too small for all: the whole ids that fit, and 0x0100.
    const size_t two = s(b1).size() + 1 + s(b2).size() + 1;
    SLIBErrSet(0);
    EXPECT_EQ(QAVOGetUserConnOfSmb("bob", 0, buf, static_cast<int>(two + 2)), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    EXPECT_EQ(std::string(buf), s(b1) + "," + s(b2));

    EXPECT_EQ(QAVOGetUserConnOfSmb("x;touch /tmp/p", 0, buf, sizeof buf), 0);
    EXPECT_FALSE(qtest::FileExists("/tmp/p"));
    EXPECT_EQ(QAVOGetUserConnOfSmb("bob", 2, buf, sizeof buf), -1);
    EXPECT_EQ(QAVOGetUserConnOfSmb(nullptr, 0, buf, sizeof buf), -1);

    std::string list = s(b1) + "," + s(b2) + "," + s(b3) + ",-1,0,abc,1," + s(other) + ",";
    EXPECT_EQ(QAVOKillSmbConn(list.data()), 9);
    for (pid_t p : {b1, b2, b3})
        EXPECT_EQ(EndedBy(p), SIGTERM);
    EXPECT_EQ(EndedBy(a1), 0);
    EXPECT_EQ(EndedBy(other), 0);
    EXPECT_EQ(QAVOKillSmbConn(nullptr), -1);
    for (pid_t p : {a1, other}) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
}

}  // namespace
