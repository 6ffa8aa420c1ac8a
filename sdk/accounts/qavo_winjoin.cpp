// Joining a workgroup or a Windows domain: the backups, the controller
// lookups, the domain's workgroup and realm, the clock, the Kerberos login,
// net's join, the switch of smb.conf, winbindd and SMB, and the restore
// after a failure.
#include "qavo_winjoin.h"

#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "qavo_net.h"
#include "qavo_time.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_unicode.h"
#include "slib_util.h"
#include "slib_validate.h"
#include "windomain_util.h"

namespace {

using slib::Fail;

constexpr const char *kNet = "/usr/qavo/bin/net";
constexpr const char *kStepJoin = "QAVOWinJoin1";
constexpr const char *kStepRealm = "WINIGetRealm";
constexpr const char *kStepKrb5 = "WINIDoKrb5Login";
constexpr const char *kStepCheck = "WINICheckAndJoinDomain";
constexpr const char *kStepWorkgroup = "WINIWorkgroup";
constexpr const char *kErrSystem = "Error System.";
constexpr const char *kWorkgroupRefused = ";=\"><*+:\\|?,";
// The earliest domain time taken for the clock: 2000-01-01 00:00:00 UTC.
constexpr long long kEarliestTime = 946684800LL;

// A file and its backup.
struct Backup {
    const char *file;
    const char *backup;
    bool restore;  // put back after a failure
};
constexpr Backup kBackups[] = {
    {SZF_SMB_CONF, "/usr/qavo/etc/smb.conf.bak", true},
    {SZF_WIN_WORKGROUP, "/usr/qavo/etc/private/workgroup.bak", true},
    {SZF_WIN_DOMAIN_USER, "/usr/qavo/etc/private/domain_user.bak", true},
    {SZF_WIN_DOMAIN_GROUP, "/usr/qavo/etc/private/domain_group.bak", true},
    {SZF_WIN_DOMAIN_GROUP_MEMBER, "/usr/qavo/etc/private/domain_group_member.bak", false},
    {SZF_WIN_DOMACC, "/usr/qavo/etc/private/domaccbak.dat", true},
};

bool Exists(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

// Writes a whole small file anew through a temporary copy.
bool WriteFileAnew(const char *path, const std::string &text) {
    slib::RewriteSet rw;
    FILE *fp = rw.Open(path);
    return fp && slib::WriteAll(fp, text) && rw.Commit();
}

// The temporary Samba configuration of one join or listing.
bool WriteSmbAds(bool ads, const char *workgroup, const char *realm) {
    std::string text = "[global]\n";
    text += ads ? "security=ads\n" : "security=domain\n";
    text += "workgroup=" + std::string(workgroup) + "\n";
    text += "realm=" + std::string(ads ? realm : "*") + "\n";
    return WriteFileAnew(SZF_SMB_ADS, text);
}

// The lines of a tool's output (a last line without a line end included),
// each without its line end; hadEnd tells whether it had one.
struct Line {
    std::string text;
    bool hadEnd;
};
std::vector<Line> SplitLines(const std::string &out) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < out.size()) {
        const size_t nl = out.find('\n', start);
        const bool end = nl != std::string::npos;
        std::string_view l(out.data() + start, (end ? nl : out.size()) - start);
        lines.push_back({std::string(qwin::Chomp(l)), end});
        start = end ? nl + 1 : out.size();
    }
    return lines;
}

// What the join changes beyond the backed-up files, taken before it starts.
struct Before {
    bool winbindd = false;
    bool haveNsswitch = false;
    std::string nsswitch;
};

class Join {
  public:
    explicit Join(const QAVOWINJOIN &req) : req_(req) {}
    int Run();

  private:
    int Fail(const char *step, const char *message);
    bool MakeBackups();
    void Restore();
    int Domain();
    int RpcOrAdsJoin(bool ads, bool workgroupKnown, const std::string &workgroup);
    int Complete();

    const QAVOWINJOIN &req_;
    QAVOWINJOIN work_{};
    std::string name_;  // the upper-cased (and later resolved) name
    std::string kdc_;   // the chosen KDC address
    bool backedUp_ = false;
    bool smbStopped_ = false;
    Before before_;
};

int Join::Fail(const char *step, const char *message) {
    ErrWINIState1Set(step, message);
    if (backedUp_) Restore();
    unlink(SZF_SMB_ADS);
    return -1;
}

bool Join::MakeBackups() {
    for (const Backup &b : kBackups)
        if (b.restore && Exists(b.backup)) unlink(b.backup);
    for (const Backup &b : kBackups) {
        if (b.file != std::string_view(SZF_SMB_CONF) && !Exists(b.file)) continue;
        const char *argv[] = {"/bin/cp", "-f", b.file, b.backup, nullptr};
        const int r = SLIBProcExecWaitArgv(argv, nullptr, nullptr);
        if (r != 0) {
            SLIBLog(LOG_ERR, "run system [/bin/cp -f \"%s\" \"%s\"] failed! return value is [%d]\n",
                    b.file, b.backup, r);
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) backup files failed\n");
            return false;
        }
    }
    // The daemon and the name service switch as they are now.
    before_.winbindd = BlSLIBProcExist("winbindd") == 1;
    slib::Input in;
    if (in.Read(SZF_NSSWITCH) == slib::Input::kRead && !in.IsDirectory()) {
        before_.haveNsswitch = true;
        before_.nsswitch = in.Release();
    }
    return true;
}

void Join::Restore() {
    SLIB_LOG_FUNC(LOG_ERR, "%s(%d), Restore");
    for (const Backup &b : kBackups) {
        if (!b.restore) continue;
        if (Exists(b.backup)) {
            if (rename(b.backup, b.file) != 0)
                SLIBLog(LOG_ERR, "%s(%d) restore %s failed", __func__, __LINE__, b.file);
        } else if (b.file != std::string_view(SZF_SMB_CONF)) {
            unlink(b.file);
        }
    }
    // winbindd and the name service switch as they were before the join.
    const bool running = BlSLIBProcExist("winbindd") == 1;
    if (before_.winbindd && !running) {
        const char *argv[] = {"/usr/qavo/sbin/winbindd", "-D", nullptr};
        if (SLIBProcExecWaitArgv(argv, nullptr, nullptr) != 0)
            SLIBLog(LOG_ERR, "%s(%d) start winbindd failed", __func__, __LINE__);
    } else if (!before_.winbindd && running) {
        SLIBProcKillByName("winbindd", 1);
    }
    if (!before_.haveNsswitch)
        unlink(SZF_NSSWITCH);
    else if (!WriteFileAnew(SZF_NSSWITCH, before_.nsswitch))
        SLIBLog(LOG_ERR, "%s(%d) restore %s failed", __func__, __LINE__, SZF_NSSWITCH);
    if (smbStopped_ && WINISmbServiceSet(1) != 1)
        SLIBLog(LOG_ERR, "%s(%d) start samba service failed", __func__, __LINE__);
}

int Join::Run() {
    // Every name reaches smb.conf, smb.ads and krb5.conf as one value.
    if (!qwin::SafeDomainText(req_.szName)) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameters\n");
        return Fail(kStepJoin, "Invalid workgroup name.");
    }
    if (req_.szKDC) {
        std::string kdc(req_.szKDC);
        if (kdc.size() > SLIB_NETADDR_TEXT_MAX || !BlSLIBIsIPAddress(kdc.data())) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad kdc ip");
            return Fail(kStepJoin, "Invalid KDC ip.");
        }
        kdc_ = kdc.c_str();
    }
    char upper[256];
    if (SLIBUnicodeUTF8StrUpper(req_.szName, upper, sizeof upper) < 0) {
        SLIBLog(LOG_ERR, "%s(%d) SLIBUnicodeUTF8StrUpper error:%x\n", __func__, __LINE__,
                SLIBErrGet());
        return Fail(kStepJoin, kErrSystem);
    }
    name_ = upper;
    work_ = req_;
    work_.szName = name_.data();
    work_.szKDC = req_.szKDC ? kdc_.data() : nullptr;
    if (!MakeBackups()) return Fail(kStepJoin, kErrSystem);
    backedUp_ = true;

    if (req_.type != QAVO_WINJOIN_DOMAIN) {
        if (strpbrk(name_.c_str(), kWorkgroupRefused)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameters\n");
            return Fail(kStepJoin, "Invalid workgroup name.");
        }
        if (WINISmbServiceSet(0) != 1) {
            SLIBLog(LOG_ERR, "%s(%d) win network error:%x", __func__, __LINE__, SLIBErrGet());
            smbStopped_ = true;  // whatever was stopped starts again
            return Fail(kStepJoin, kErrSystem);
        }
        smbStopped_ = true;
        if (QAVOWinWinbindd(0) < 0 || ErrWINISmbConfModify1(&work_, 0) < 0) {
            SLIBLog(LOG_ERR, "%s(%d) modify smb failed:%x", __func__, __LINE__, SLIBErrGet());
            return Fail(kStepJoin, kErrSystem);
        }
        return Complete();
    }
    return Domain();
}

int Join::Domain() {
    bool ads = false;
    bool workgroupKnown = false;
    std::string kdcAddress = kdc_;
    if (!req_.szKDC) {
        if (QAVOWinISearchLDAP(name_.c_str()) == 1) {
            char list[256] = "";
            if (QAVOWinIGetKDCIP(list, sizeof list) < 0) {
                SLIBLog(LOG_ERR, "%s(%d) can't get kdc ip %s", __func__, __LINE__, SZF_WIN_KDC_IP);
                return Fail(kStepJoin, kErrSystem);
            }
            kdcAddress.assign(list, strcspn(list, ","));
            ads = true;
        }
    } else {
        ads = true;
    }
    char workgroup[64] = "";
    if (ads) {
        if (WINIWorkgroup(workgroup, sizeof workgroup, kdcAddress.c_str()) < 0) {
            // WINIWorkgroup recorded its own message.
            if (backedUp_) Restore();
            unlink(SZF_SMB_ADS);
            return -1;
        }
        workgroupKnown = true;

        // The realm the domain names for itself.
        const char *argv[] = {
            kNet,   "ads", "info", req_.szKDC ? "-w" : "-S", req_.szKDC ? workgroup : name_.c_str(),
            nullptr};
        char wg[64] = "";
        if (req_.szKDC && WINIReadADSWorkgroup(wg, sizeof wg) < 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) Failed to read workgroup");
            return Fail(kStepRealm, kErrSystem);
        }
        if (req_.szKDC) argv[4] = wg;
        bool realmFound = false;
        const int status = qwin::RunToFile(argv, SZF_WIN_ADSINFO);
        if (status == 0) {
            char realm[1024] = "";
            const int r = SLIBFileGetKeyValue(SZF_WIN_ADSINFO, "Realm", realm, sizeof realm, 0);
            if (r > 0 && realm[0]) {
                if (!qwin::SafeDomainText(realm)) {
                    SLIBLog(LOG_ERR, "%s(%d) refused realm [%s]", __func__, __LINE__, realm);
                    return Fail(kStepRealm, kErrSystem);
                }
                if (SLIBUnicodeUTF8StrCaseCmp(realm, name_.c_str()) != 0) name_ = realm;
                work_.szName = name_.data();
                SLIBLog(LOG_ERR, "write realm = %s", name_.c_str());
                realmFound = true;
            } else {
                SLIBLog(LOG_ERR, "%s(%d) can't open file adsinfo, error is [%d]", __func__,
                        __LINE__, errno);
            }
        } else {
            SLIBLog(LOG_ERR, "%s(%d) can't get ads info, error is [%d]", __func__, __LINE__,
                    status);
        }
        unlink(SZF_SMB_ADS);
        if (!realmFound) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) change to rpc join");
            ads = false;
        }
    }
    if (ads) {
        if (QAVOWinICreateKrb5Conf(&work_) != 1) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) can't create krb5 conf");
            return Fail(kStepKrb5, kErrSystem);
        }
        if (WinIAdjustTime() < 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) can't adjust system time\n");
            return Fail(kStepKrb5, kErrSystem);
        }
        // The password on kinit's standard input only.
        const std::string principal = std::string(req_.szUser) + "@" + name_;
        const std::string input = std::string(req_.szPassword) + "\n";
        const char *argv[] = {"/usr/qavo/sbin/kinit", "--", principal.c_str(), nullptr};
        std::string out;
        const int status = qwin::Run(argv, input.c_str(), qwin::Stream::kErr, &out);
        if (status < 0 && out.empty()) {
            SLIBLog(LOG_ERR, "%s(%d) :%s fail", __func__, __LINE__, argv[0]);
            return Fail(kStepKrb5, kErrSystem);
        }
        if (status != 0 || !out.empty()) {
            const std::vector<Line> lines = SplitLines(out);
            const std::string msg = lines.empty() ? kErrSystem : lines.front().text;
            SLIBLog(LOG_ERR, "%s(%d) kinit failed %s", __func__, __LINE__, msg.c_str());
            return Fail(kStepKrb5, msg.c_str());
        }
        SLIBLog(LOG_ERR, "kinit success");
    }
    return RpcOrAdsJoin(ads, workgroupKnown, workgroup);
}

int Join::RpcOrAdsJoin(bool ads, bool workgroupKnown, const std::string &workgroup) {
    if (!ads) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) use domain mode");
        bool found;
        if (workgroupKnown) {
            SLIBLog(LOG_ERR, "%s(%d) use domain workgroup %s to join", __func__, __LINE__,
                    workgroup.c_str());
            found = QAVOWinISearchDC(workgroup.c_str()) == 1;
            if (found) name_ = workgroup;
        } else {
            const size_t dot = name_.find('.');
            if (dot != std::string::npos) {
                name_ = name_.substr(0, std::min<size_t>(dot, 15));
                SLIBLog(LOG_ERR, "%s(%d) use short name %s to join", __func__, __LINE__,
                        name_.c_str());
            }
            found = QAVOWinISearchDC(name_.c_str()) == 1;
        }
        work_.szName = name_.data();
        if (!found) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) search pdc fail");
            return Fail(kStepJoin, "Neither LDAP server nor PDC can be found.");
        }
    }
    const int r = WINICheckAndJoinDomain(&work_, ads ? 1 : 0);
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s(%d) check and join failed (%d)\n", __func__, __LINE__, r);
        if (backedUp_) Restore();
        unlink(SZF_SMB_ADS);
        return -1;
    }
    smbStopped_ = true;
    if (WINISmbServiceSet(0) != 1) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) stop samba service failed\n");
        return Fail(kStepJoin, kErrSystem);
    }
    QAVOWinWinbindd(0);
    sleep(1);
    if (ErrWINISmbConfModify1(&work_, ads ? 1 : 0) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) modify configuration failed\n");
        return Fail(kStepJoin, kErrSystem);
    }
    if (QAVOWinWinbindd(1) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) start winbindd failed\n");
        return Fail(kStepJoin, kErrSystem);
    }
    return Complete();
}

int Join::Complete() {
    if (WINISmbServiceSet(1) != 1) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) QavoWinNetwork fail");
        return Fail(kStepJoin, kErrSystem);
    }
    smbStopped_ = false;
    if (WINISetAccount(&req_) < 0) {
        smbStopped_ = true;
        return Fail(kStepJoin, kErrSystem);
    }
    if (req_.type == QAVO_WINJOIN_DOMAIN &&
        (QAVOWinGetDomainUG(0) < 0 || QAVOWinGetDomainUG(1) < 0)) {
        smbStopped_ = true;  // SMB runs again over the restored smb.conf
        return Fail(kStepJoin, "Wbinfo fail. It might be domain name error.");
    }
    if (req_.type == QAVO_WINJOIN_DOMAIN) SLIBLog(LOG_ERR, "joined domain");
    ErrWINIState1Set(kStepJoin, "success");
    unlink(SZF_SMB_ADS);
    return 0;
}

}  // namespace

extern "C" int QAVOWinJoin1(const QAVOWINJOIN *req) {
    ErrWINIState1Set(kStepJoin, "start");
    if (!req || !req->szName || !req->szUser || !req->szPassword) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameters");
        ErrWINIState1Set(kStepJoin, kErrSystem);
        return Fail(ERR_BAD_PARAMETERS);
    }
    // The account is stored as one line "user%password" and handed to
    // the tools whole: no line break anywhere, no '%' in the user, and no
    // user the tools would take for an option.
    if (!*req->szUser || !slib::OneLine(req->szUser) || !slib::OneLine(req->szPassword) ||
        strchr(req->szUser, '%') || qwin::OptionLike(req->szUser) ||
        strlen(req->szPassword) >= SLIB_PROC_INPUT_MAX) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameters");
        ErrWINIState1Set(kStepJoin, kErrSystem);
        return Fail(ERR_BAD_PARAMETERS);
    }
    try {
        Join join(*req);
        return join.Run();
    } catch (const std::bad_alloc &) {
        ErrWINIState1Set(kStepJoin, kErrSystem);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int WINICheckAndJoinDomain(const QAVOWINJOIN *req, int ads) {
    if (!req || !req->szName || !req->szUser || !req->szPassword) {
        ErrWINIState1Set(kStepCheck, kErrSystem);
        return Fail(ERR_BAD_PARAMETERS);
    }
    try {
        std::string message;
        bool joined = false;
        if (!ads) {
            if (!WriteSmbAds(false, req->szName, "*")) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) can't open smb.ads\n");
                ErrWINIState1Set(kStepCheck, kErrSystem);
                unlink(SZF_SMB_ADS);
                return -1;
            }
            // The password goes on standard input, never on the command line.
            const std::string input = std::string(req->szPassword) + "\n";
            const char *argv[] = {kNet,        "rpc", "join",      "-U",
                                  req->szUser, "-s",  SZF_SMB_ADS, nullptr};
            std::string out;
            const int status = qwin::Run(argv, input.c_str(), qwin::Stream::kBoth, &out);
            unlink(SZF_SMB_ADS);
            if (status < 0 && out.empty()) {
                SLIBLog(LOG_ERR, "%s(%d) %s failed", __func__, __LINE__, kNet);
                ErrWINIState1Set(kStepCheck, kErrSystem);
                return -1;
            }
            const std::string want = std::string("Joined domain ") + req->szName;
            for (const Line &l : SplitLines(out)) {
                if (l.text.find(want) != std::string::npos) {
                    joined = true;
                    break;
                }
                // Each line ends with a '.' in the message, its own line end
                // dropped whatever it is.
                message += l.text;
                if (!l.text.empty() && l.text.back() != '.') message += '.';
            }
            if (!joined || status != 0) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) rpc join failed");
                ErrWINIState1Set(kStepCheck, message.empty() ? kErrSystem : message.c_str());
                return -1;
            }
        } else {
            char workgroup[64] = "";
            if (WINIReadADSWorkgroup(workgroup, sizeof workgroup) < 0) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) Failed to read workgroup");
                ErrWINIState1Set(kStepCheck, kErrSystem);
                return -1;
            }
            if (!WriteSmbAds(true, workgroup, req->szName)) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) write smb.ads fail");
                ErrWINIState1Set(kStepCheck, kErrSystem);
                unlink(SZF_SMB_ADS);
                return -1;
            }
            char host[64] = "";
            char upper[256] = "";
            if (QAVOLnxGetHostname(host) < 0) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get host name fail");
                ErrWINIState1Set(kStepCheck, kErrSystem);
                unlink(SZF_SMB_ADS);
                return -1;
            }
            if (SLIBUnicodeUTF8StrUpper(host, upper, sizeof upper) < 0) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) string upper hostname fail");
                ErrWINIState1Set(kStepCheck, kErrSystem);
                unlink(SZF_SMB_ADS);
                return -1;
            }
            const char *argv[] = {kNet, "ads", "join", "-s", SZF_SMB_ADS, nullptr};
            std::string out;
            const int status = qwin::Run(argv, nullptr, qwin::Stream::kOut, &out);
            unlink(SZF_SMB_ADS);
            if (status < 0 && out.empty()) {
                SLIBLog(LOG_ERR, "%s(%d) :%s fail", __func__, __LINE__, kNet);
                ErrWINIState1Set(kStepCheck, kErrSystem);
                return -1;
            }
            const std::string want =
                std::string("Joined '") + upper + "' to realm '" + req->szName + "'";
            for (const Line &l : SplitLines(out)) {
                if (l.text.find("Using short domain name") != std::string::npos) continue;
                if (l.text.find(want) == std::string::npos) message = l.text;
                break;
            }
            // Net's own status counts too: silence is no success.
            joined = message.empty() && status == 0;
            if (!joined) {
                if (message.empty()) message = kErrSystem;
                SLIBLog(LOG_ERR, "%s(%d) ads join failed (%d)", __func__, __LINE__, status);
                ErrWINIState1Set(kStepCheck, message.c_str());
                return -1;
            }
        }
        SLIBLog(LOG_ERR, "joined domain");
        return 0;
    } catch (const std::bad_alloc &) {
        unlink(SZF_SMB_ADS);
        ErrWINIState1Set(kStepCheck, kErrSystem);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOWinISearchLDAP(const char *domain) {
    if (!domain || qwin::OptionLike(domain)) return 0;
    const char *argv[] = {kNet, "lookup", "ldap", domain, nullptr};
    const int status = qwin::RunToFile(argv, SZF_WIN_KDC_IP);
    SLIBLog(LOG_ERR, "%d /usr/qavo/bin/net lookup ldap %s 1>%s", status, domain, SZF_WIN_KDC_IP);
    if (status == 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) net lookup ldap success.");
        return 1;
    }
    SLIB_LOG_FUNC(LOG_ERR, "%s(%d) net lookup ldap fail.");
    return 0;
}

extern "C" int QAVOWinISearchDC(const char *name) {
    if (!name || qwin::OptionLike(name)) return 0;
    const char *argv[] = {kNet, "lookup", "dc", name, nullptr};
    return qwin::RunToFile(argv, SZF_WIN_PDC_IP) == 0 ? 1 : 0;
}

extern "C" int WINIWorkgroup(char *buf, int size, const char *address) {
    if (!buf || size < 2 || !address || qwin::OptionLike(address)) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter");
        ErrWINIState1Set(kStepWorkgroup, kErrSystem);
        return Fail(ERR_BAD_PARAMETERS);
    }
    try {
        const char *argv[] = {"/usr/qavo/bin/nmblookup", "-A", address, nullptr};
        std::string out;
        const int status = qwin::Run(argv, nullptr, qwin::Stream::kOut, &out);
        if (status < 0 && out.empty()) {
            SLIBLog(LOG_ERR, "%s(%d): %s fail", __func__, __LINE__, argv[0]);
            ErrWINIState1Set(kStepWorkgroup, kErrSystem);
            return -1;
        }
        std::string workgroup;
        for (const Line &l : SplitLines(out)) {
            if (l.text.find("#1c$ - #GROUP$") == std::string::npos || l.text.size() < 2) continue;
            const size_t end = l.text.find_first_of(" \t", 1);
            std::string word = l.text.substr(1, end == std::string::npos ? end : end - 1);
            if (word.size() > static_cast<size_t>(size) - 1) word.resize(size - 1);
            if (word.empty() || word == "INet~Services") continue;
            // It becomes smb.conf's workgroup: one safe value only.
            if (!qwin::SafeDomainText(word.c_str())) continue;
            workgroup = word;
            break;
        }
        if (workgroup.empty()) {
            SLIBLog(LOG_ERR, "didn't find real workgroup!! cmd:/usr/qavo/bin/nmblookup -A %s",
                    address);
            ErrWINIState1Set(kStepWorkgroup, "Can't get domain workgroup.");
            return -1;
        }
        if (!WriteFileAnew(SZF_WIN_WORKGROUP, "Workgroup: " + workgroup + "\n")) {
            SLIBLog(LOG_ERR, "%s(%d) failed to write %s", __func__, __LINE__, SZF_WIN_WORKGROUP);
            ErrWINIState1Set(kStepWorkgroup, kErrSystem);
            return -1;
        }
        memset(buf, 0, static_cast<size_t>(size));
        memcpy(buf, workgroup.data(), workgroup.size());
        SLIBLog(LOG_ERR, "get domain workgroup:%s", workgroup.c_str());
        return 0;
    } catch (const std::bad_alloc &) {
        ErrWINIState1Set(kStepWorkgroup, kErrSystem);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int WinIAdjustTime(void) {
    char text[32] = "";
    // Decimal seconds, digits only, from 2000 on: an empty or broken answer
    // never sets the clock back to 1970.
    const int r = SLIBFileGetKeyValue(SZF_WIN_ADSINFO, "Server_time", text, sizeof text, 0);
    char *end = nullptr;
    errno = 0;
    const long long t = r > 0 && text[0] >= '0' && text[0] <= '9' ? strtoll(text, &end, 10) : -1;
    if (t < kEarliestTime || errno != 0 || !end || *end != '\0' ||
        static_cast<long long>(static_cast<time_t>(t)) != t) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get Server_time fail\n");
        return Fail(ERR_BAD_PARAMETERS);
    }
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(t);
    if (settimeofday(&tv, nullptr) != 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) set time fail\n");
        return Fail(ERR_EXEC_FAILED);
    }
    if (QAVOHWSetRTCTime(static_cast<time_t>(t)) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) set rtc time fail\n");
        return -1;
    }
    return 0;
}

extern "C" int WINIGetNTData(const QAVOWINJOIN *req, int reserved, int ads) {
    (void)reserved;
    if (!req || !req->szName) return Fail(ERR_BAD_PARAMETERS);
    try {
        if (ads) {
            char workgroup[64] = "";
            if (!qwin::SafeDomainText(req->szName) ||
                WINIReadADSWorkgroup(workgroup, sizeof workgroup) < 0 ||
                !WriteSmbAds(true, workgroup, req->szName)) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) can't open smb.ads\n");
                unlink(SZF_SMB_ADS);
                return -1;
            }
        }
        int result = 0;
        for (int groups = 0; groups <= 1 && result == 0; ++groups) {
            const char *list = groups ? SZF_WIN_DOMAIN_GROUP : SZF_WIN_DOMAIN_USER;
            const std::string tmp = std::string(list) + ".tmp";
            const char *argv[] = {"/usr/qavo/bin/wbinfo", groups ? "-g" : "-u", nullptr};
            const int status = qwin::RunToFile(argv, tmp.c_str());
            if (status == 0 && rename(tmp.c_str(), list) == 0) continue;
            unlink(tmp.c_str());
            result = -1;
            if (ads) {
                SLIBErrSet(ERR_UNICODE);
                SLIBLog(LOG_ERR, "%s(%d) %s failed\n", __func__, __LINE__, argv[0]);
            } else if (status == 1) {
                SLIBErrSet(ERR_DOMAIN_QUERY);
            } else if (status == 2) {
                SLIBErrSet(groups ? ERR_NO_FREE_GID : ERR_NO_FREE_UID);
            } else {
                SLIBErrSet(ERR_UNICODE);
            }
            if (!ads)
                SLIBLog(LOG_ERR,
                        groups ? "%s(%d) net rpc group failed (%d)\n"
                               : "%s(%d) net rpc user failed (%d)\n",
                        __func__, __LINE__, status);
        }
        unlink(SZF_SMB_ADS);
        return result;
    } catch (const std::bad_alloc &) {
        unlink(SZF_SMB_ADS);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}
