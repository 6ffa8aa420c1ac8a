// Settings of the network services that are not shares: keys of
// "/etc/qavoinfo.conf", the PPPoE account files, the daemons' start scripts
// and pid files, and the SMB connections smbstatus lists.
#include "qavo_servsetting.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "service_util.h"
#include "slib_codepage.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_szhash.h"
#include "slib_util.h"

namespace {

using slib::Fail;

constexpr const char *kSource = "sdk/qavonetserv";
constexpr const char *kPapSecrets = "/etc/ppp/pap-secrets";
constexpr const char *kPapSecretsTmp = "/etc/ppp/pap-secrets.tmp";
constexpr const char *kPppoeConf = "/etc/ppp/pppoe.conf";
constexpr const char *kAdslStart = "/usr/sbin/adsl-start";
constexpr const char *kAdslStop = "/usr/sbin/adsl-stop";
constexpr const char *kAdslConnect = "adsl-connect";
constexpr const char *kInetdPid = "/var/run/inetd.pid";
constexpr const char *kSmbstatus = "/usr/qavo/bin/smbstatus";
constexpr int kLockTimeout = 5;
constexpr int kMaxPids = 256;

const char *YesNo(int on) {
    return on ? "yes" : "no";
}

// A switch value: 0 or 1.
bool IsSwitch(int on) {
    return on == 0 || on == 1;
}

// The qavoinfo lock held for one scope; Release() reports the unlock.
struct InfoLock : slib::ScopedLock {
    explicit InfoLock(SLIBLOCKREQ op) : ScopedLock(SLIB_LOCK_QAVOINFO, op, kLockTimeout) {}
};

// A key read under the shared qavoinfo lock: 1 when it is "yes" (any case),
// 0 when not or absent, -1 when the lock cannot be taken or released.
int YesUnderLock(const char *key) {
    InfoLock lock(SLIB_LOCK_SH);
    if (!lock.Held()) return -1;
    char value[64] = "";
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, value, sizeof value, 0);
    const int yes = r > 0 && strcasecmp(value, "yes") == 0 ? 1 : 0;
    return lock.Release() ? yes : -1;
}

// A switch key: "yes" (1) or "no" (0); other values are refused.
int SetSwitch(const char *key, int on) {
    if (!IsSwitch(on)) return Fail(ERR_BAD_PARAMETERS);
    return QAVOINFOSetKeyValue(key, YesNo(on));
}

// A whole decimal number from lo to hi.
bool ParseNumber(std::string_view text, long lo, long hi, long &out) {
    if (text.empty() || text.size() > 9) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

// The service switches that run a start script: the key, then the script's
// start or stop; only a script that exits 0 did its job.
int ScriptService(const char *key, const char *script, int on) {
    if (!IsSwitch(on)) return Fail(ERR_BAD_PARAMETERS);
    if (QAVOINFOSetKeyValue(key, YesNo(on)) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): set %s failed [%X]", kSource, __LINE__, key, SLIBErrGet());
        return -1;
    }
    const char *word = on ? "start" : "stop";
    const int status = qsvc::RunRcScript(kSource, __LINE__, script, word);
    if (status != 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s%s %s returned %d", kSource, __LINE__, qsvc::kRcDir, script,
                word, status);
        return Fail(ERR_EXEC_FAILED);
    }
    return 0;
}

// ------------------------------------------------------------------ FTP

// Reads one key into buf; false when the read fails (absent reads empty).
bool ReadKey(const char *key, char *buf, int size) {
    buf[0] = '\0';
    return SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, buf, size, 0) >= 0;
}

bool ReadFlag(const char *key, int &out) {
    char v[16];
    if (!ReadKey(key, v, sizeof v)) return false;
    out = strcmp(v, "yes") == 0 ? 1 : 0;
    return true;
}

bool ReadInt(const char *key, int &out) {
    char v[16];
    if (!ReadKey(key, v, sizeof v)) return false;
    out = atoi(v);
    return true;
}

// ---------------------------------------------------------------- PPPoE

// Bytes no account text may hold: control bytes and the secrets file's
// wildcard.
bool HasControlOrStar(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F || c == '*') return true;
    }
    return false;
}

// The user also goes into a file the start script sources as shell: no
// blanks, quotes or shell metacharacters.
bool IsSafeUser(std::string_view s) {
    if (HasControlOrStar(s)) return false;
    return s.find_first_of(" \t\"'`$\\;&|<>(){}[]?~!#") == std::string_view::npos;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// The secrets file is read by pppd word by word: a word is ended by a blank
// or a "#" unless it is quoted with " or ', and a backslash makes the next
// character plain. A secret that holds any of them is written in double
// quotes with a backslash before " and \, so that it is one word holding
// exactly the secret.
std::string SecretWord(std::string_view secret) {
    if (!secret.empty() && secret.find_first_of(" \t\"'\\#") == std::string_view::npos)
        return std::string(secret);
    std::string word = "\"";
    for (char c : secret) {
        if (c == '"' || c == '\\') word += '\\';
        word += c;
    }
    return word + '"';
}

// The first word of text by the same rules (pppd's escapes of control
// characters included), cut to room - 1 bytes.
std::string ReadSecretWord(std::string_view text) {
    std::string word;
    size_t i = 0;
    char quote = 0;
    if (i < text.size() && (text[i] == '"' || text[i] == '\'')) quote = text[i++];
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
            switch (c) {
                case 'a':
                    c = '\a';
                    break;
                case 'b':
                    c = '\b';
                    break;
                case 'f':
                    c = '\f';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case 's':
                    c = ' ';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'v':
                    c = '\v';
                    break;
                default:
                    break;
            }
            word += c;
            continue;
        }
        if (quote ? c == quote : (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '#'))
            break;
        word += c;
    }
    return word;
}

void CopyCut(char *dst, size_t room, std::string_view s) {
    const size_t n = s.size() < room - 1 ? s.size() : room - 1;
    memcpy(dst, s.data(), n);
    dst[n] = '\0';
}

// Writes the secrets line to the temporary file, created 0600 from the
// start, flushed and synced. False (logged, file removed) on failure.
bool WriteSecretsTmp(const std::string &line) {
    unlink(kPapSecretsTmp);
    const int fd = open(kPapSecretsTmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to open tmp file to write PPPoE setting (%s)", kSource,
                __LINE__, strerror(errno));
        SLIBErrSet(ERR_OPEN_FAILED);
        return false;
    }
    FILE *fp = fdopen(fd, "w");
    if (!fp) {
        close(fd);
        unlink(kPapSecretsTmp);
        SLIBErrSet(ERR_OPEN_FAILED);
        return false;
    }
    bool ok = true;
    if (fchmod(fd, S_IRUSR | S_IWUSR) != 0 || !slib::WriteAll(fp, line)) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to write PPPoE setting (%s)", kSource, __LINE__,
                strerror(errno));
        ok = false;
    } else if (fflush(fp) != 0 || fsync(fd) != 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to fflush PPPoE setting.(%s)", kSource, __LINE__,
                strerror(errno));
        ok = false;
    }
    if (fclose(fp) != 0) ok = false;
    if (!ok) {
        unlink(kPapSecretsTmp);
        SLIBErrSet(ERR_WRITE_FAILED);
    }
    return ok;
}

// ------------------------------------------------------------ daemons

struct Daemon {
    const char *running;  // what the running test looks for
    const char *script;
    const char *pidFile;  // the reload's SIGHUP goes to the pid it names
    const char *failure;
};

constexpr Daemon kUPnP = {"upnpd", "/usr/qavo/etc/rc.d/S10UPnPportmap.sh", "/var/run/upnpd.pid",
                          "%s(%d) : Failed to do action %d to upnpd, return=%d"};
constexpr Daemon kDDNS = {"/usr/qavo/sbin/ddnsd", "/usr/qavo/etc/rc.d/S09DDNS.sh",
                          "/var/run/ddnsd.pid",
                          "%s(%d) : Failed to do action %d on DDNS daemon, return value=%d"};

int Act(const Daemon &d, int action, int line) {
    if (action < QAVO_SERV_STOP || action > QAVO_SERV_RELOAD) return 1;
    int status;
    switch (action) {
        case QAVO_SERV_STOP:
            if (!BlSLIBProcIsRunning(d.running)) return 0;
            status = SLIBProcExecWait(d.script, "stop", nullptr, nullptr, nullptr);
            break;
        case QAVO_SERV_RELOAD:
            if (!BlSLIBProcIsRunning(d.running)) return 0;
            // A pid file holding -1 or 0 must never reach kill: it would hang
            // up every process.
            status = qsvc::SignalPidFile(d.pidFile, SIGHUP) == qsvc::PidSignal::kSent ? 0 : 1;
            break;
        default:
            status = SLIBProcExecWait(d.script, "restart", nullptr, nullptr, nullptr);
            break;
    }
    if (status == 0) return 1;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    SLIBLog(LOG_ERR, d.failure, kSource, line, action, status);
#pragma GCC diagnostic pop
    return -1;
}

// ------------------------------------------------------- SMB connections

// The fields of a line split at tabs, empty ones included.
std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> f;
    size_t at = 0;
    for (;;) {
        size_t tab = line.find('\t', at);
        if (tab == std::string_view::npos) {
            f.push_back(line.substr(at));
            return f;
        }
        f.push_back(line.substr(at, tab - at));
        at = tab + 1;
    }
}

// True when pid is a running process whose program is smbd.
bool IsSmbd(long pid) {
    int pids[kMaxPids];
    const int n = SLIBProcGetPidsByName("smbd", pids, kMaxPids);
    bool listed = false;
    for (int i = 0; i < n && i < kMaxPids; ++i)
        listed = listed || pids[i] == pid;
    if (!listed) return false;
    // The search matches anywhere in a command line; only the program counts.
    std::string cmd;
    slib::FilePtr fp(fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "re"));
    if (!fp) return false;
    int c;
    while ((c = fgetc(fp.get())) != EOF && c != '\0')
        cmd.push_back(static_cast<char>(c));
    const size_t slash = cmd.rfind('/');
    return cmd.substr(slash == std::string::npos ? 0 : slash + 1) == "smbd";
}

}  // namespace

// ------------------------------------------------------------------ FTP

extern "C" int QAVOFTPConfGet(QAVOFTPCONF *pConf) {
    if (!pConf) return Fail(ERR_BAD_PARAMETERS);
    memset(pConf, 0, sizeof *pConf);
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "ftpport", pConf->szPort, sizeof pConf->szPort, 0) <
        0) {
        pConf->szPort[0] = '\0';
        return -1;
    }
    if (pConf->szPort[0] == '\0') strcpy(pConf->szPort, "21");
    const bool ok =
        ReadFlag("ftp_trans_ext_ip", pConf->fExtIP) &&
        ReadFlag("ftpflowcontrol", pConf->fFlowControl) &&
        ReadInt("ftpmaxuploadrate", pConf->nMaxUploadRate) &&
        ReadInt("ftpmaxdownloadrate", pConf->nMaxDownloadRate) &&
        ReadFlag("ftpanonymouslogin", pConf->fAnonymousLogin) &&
        ReadFlag("ftpipautodeny", pConf->fIPAutoDeny) && ReadInt("ftplowport", pConf->nLowPort) &&
        ReadInt("ftphighport", pConf->nHighPort) && ReadFlag("ftponlyssl", pConf->fOnlySSL);
    return ok ? 0 : -1;
}

extern "C" int QAVOFTPConfSet(QAVOFTPCONF conf) {
    // Checked before anything is written: a bad value never half-applies.
    const std::string_view port(conf.szPort, strnlen(conf.szPort, sizeof conf.szPort));
    long unused;
    if (port.size() == sizeof conf.szPort ||
        (!port.empty() && !ParseNumber(port, 1, 65535, unused)))
        return Fail(ERR_BAD_PARAMETERS);
    if (conf.nMaxUploadRate < 0 || conf.nMaxDownloadRate < 0 || conf.nLowPort > 65535 ||
        conf.nHighPort > 65535)
        return Fail(ERR_BAD_PARAMETERS);
    const bool noRange = conf.nLowPort < 1025 || conf.nHighPort < 1025;
    if (!noRange && conf.nLowPort > conf.nHighPort) return Fail(ERR_BAD_PARAMETERS);

    InfoLock lock(SLIB_LOCK_EX);
    if (!lock.Held()) return -1;
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(1024);
    if (!hash) return Fail(ERR_OUT_OF_MEMORY);
    const std::string low = noRange ? "0" : std::to_string(conf.nLowPort);
    const std::string high = noRange ? "0" : std::to_string(conf.nHighPort);
    const std::string up = std::to_string(conf.nMaxUploadRate);
    const std::string down = std::to_string(conf.nMaxDownloadRate);
    const std::string portText = port.empty() ? "21" : std::string(port);
    const std::pair<const char *, const char *> keys[] = {
        {"ftpport", portText.c_str()},
        {"ftp_trans_ext_ip", YesNo(conf.fExtIP)},
        {"ftpflowcontrol", YesNo(conf.fFlowControl)},
        {"ftpmaxuploadrate", up.c_str()},
        {"ftpmaxdownloadrate", down.c_str()},
        {"ftpanonymouslogin", YesNo(conf.fAnonymousLogin)},
        {"ftpipautodeny", YesNo(conf.fIPAutoDeny)},
        {"ftplowport", low.c_str()},
        {"ftphighport", high.c_str()},
        {"ftponlyssl", YesNo(conf.fOnlySSL)},
    };
    int r = 0;
    for (const auto &[k, v] : keys) {
        if (SLIBSzHashSetValue(&hash, k, v) < 0) {
            r = -1;
            break;
        }
    }
    // One rewrite: a failure leaves the file as it was.
    if (r == 0 && SLIBFileSetKeys(SLIB_QAVOINFO_PATH, hash, SLIB_KEYVALUE_FMT_QUOTED) < 0) r = -1;
    SLIBSzHashFree(hash);
    if (!lock.Release()) return -1;
    return r;
}

extern "C" int QAVOFTPIService(int on) {
    return ScriptService("runftpd", "S99ftpd.sh", on);
}

extern "C" int QAVOMySQLIService(int on) {
    return ScriptService("runmysql", "S21mysql.sh", on);
}

extern "C" int QAVOMediaService(int on) {
    return ScriptService("runmediaservice", "S86qavodms.sh", on);
}

extern "C" int QAVOFTPTestRunning(void) {
    InfoLock lock(SLIB_LOCK_SH);
    if (!lock.Held()) return -1;
    char value[64] = "";
    int result = 0;
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "runftpd", value, sizeof value, 0) > 0 &&
        strcasecmp(value, "yes") == 0) {
        int pids[kMaxPids];
        const int n = SLIBProcGetPidsByName("ftpd", pids, kMaxPids);
        result = n < 0 ? -1 : n > 0 ? 1 : 0;
    }
    return lock.Release() ? result : -1;
}

// --------------------------------------------------------- other switches

extern "C" int QAVOTelnetIsEnabled(void) {
    return YesUnderLock("runtelnet");
}

extern "C" int QAVOTelnetService(int on) {
    if (!IsSwitch(on)) return Fail(ERR_BAD_PARAMETERS);
    if (QAVOINFOSetKeyValue("runtelnet", YesNo(on)) < 0) return -1;
    // inetd rereads its configuration; one that does not run has nothing to
    // reread.
    qsvc::SignalPidFile(kInetdPid, SIGHUP);
    return 0;
}

extern "C" int QAVOHttpRedirectGet(void) {
    return YesUnderLock("httpredirect");
}

extern "C" int QAVOHttpRedirectSet(int on) {
    return SetSwitch("httpredirect", on);
}

// The media service's code page is one of the code-page setting numbers its
// reader knows.
extern "C" int QAVOMediaCodepageSet(const char *szValue) {
    if (!BlSLIBIsCodePageNumber(szValue)) return Fail(ERR_BAD_PARAMETERS);
    return QAVOINFOSetKeyValue("codepage_mediaservice", szValue);
}

// The media service's language is one of the appliance's language codes.
extern "C" int QAVOMediaLanguageSet(const char *szValue) {
    static const char *const kLanguages[] = {"enu", "fre", "ger", "ita", "spn", "dan", "nor",
                                             "sve", "nld", "rus", "plk", "ptb", "ptg", "hun",
                                             "trk", "csy", "jpn", "krn", "chs", "cht"};
    bool known = false;
    for (const char *lang : kLanguages)
        known = known || (szValue && strcmp(szValue, lang) == 0);
    if (!known) return Fail(ERR_BAD_PARAMETERS);
    return QAVOINFOSetKeyValue("language_mediaservice", szValue);
}

extern "C" int QAVOHttpsService(int on) {
    return SetSwitch("runHTTPS", on);
}

extern "C" int QAVOHttpsRedirectSet(int on) {
    return SetSwitch("redirectHTTPS", on);
}

extern "C" int QAVOPhotoService(int on) {
    return SetSwitch("runphoto", on);
}

extern "C" int QAVOAlbumDefRightSet(int fPublic) {
    return SetSwitch("albumdefpublic", fPublic);
}

extern "C" int QAVOWebService(int on) {
    return SetSwitch("runweb", on) < 0 ? -1 : 0;
}

extern "C" int QAVOHttpPortSet(const char *szPort) {
    long unused;
    if (!szPort || !ParseNumber(szPort, 1, 65535, unused)) return Fail(ERR_BAD_PARAMETERS);
    if (QAVOINFOSetKeyValue("httpport", szPort) < 0) {
        SLIBLog(LOG_ERR, "%s (%d) set /etc/qavoinfo.conf failed", kSource, __LINE__);
        return -1;
    }
    return 0;
}

extern "C" int QAVOHttpConfigSet(int on) {
    if (QAVOINFOSetKeyValue("addport", on ? "yes" : "no") < 0) {
        SLIBLog(LOG_ERR, "%s (%d) system failed", kSource, __LINE__);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- PPPoE

extern "C" int QAVOPPPoEConfGet(QAVOPPPOECONF *pConf) {
    if (!pConf) {
        SLIBLog(LOG_ERR, "%s (%d) bad parameter PPPoEConf", kSource, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    memset(pConf, 0, sizeof *pConf);
    slib::FilePtr fp(fopen(kPapSecrets, "re"));
    if (!fp) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to open %s", kSource, __LINE__, kPapSecrets);
        return Fail(ERR_OPEN_FAILED);
    }
    char *raw = nullptr;
    size_t cap = 0;
    ssize_t got;
    while ((got = getline(&raw, &cap, fp.get())) > 0) {
        // A line is a text: a NUL byte ends it.
        const std::string_view line(raw, strnlen(raw, static_cast<size_t>(got)));
        if (line.empty() || line.front() == '#') continue;
        const size_t star = line.find('*');
        if (star == std::string_view::npos) continue;
        const std::string_view user = Trim(line.substr(0, star));
        const std::string password = ReadSecretWord(Trim(line.substr(star + 1)));
        if (user.empty() || password.empty()) continue;
        CopyCut(pConf->szUser, sizeof pConf->szUser, user);
        CopyCut(pConf->szPassword, sizeof pConf->szPassword, password);
        break;
    }
    free(raw);
    return 0;
}

extern "C" int QAVOPPPoEConfSet(QAVOPPPOECONF conf) {
    const size_t userLen = strnlen(conf.szUser, sizeof conf.szUser);
    const size_t passLen = strnlen(conf.szPassword, sizeof conf.szPassword);
    // Only what the reader gives back is stored: a user without a password
    // (or the reverse) reads as no account at all, and the reader trims the
    // password's edges. Both empty clears the account.
    const std::string_view password(conf.szPassword, passLen);
    // A secret starting with "@" would make pppd read the secret from the
    // file it names.
    if (userLen == sizeof conf.szUser || passLen == sizeof conf.szPassword ||
        !IsSafeUser({conf.szUser, userLen}) || HasControlOrStar(password) ||
        (userLen == 0) != (passLen == 0) || Trim(password).size() != passLen ||
        (passLen > 0 && password.front() == '@')) {
        SLIBLog(LOG_ERR, "%s (%d) bad parameter PPPoEConf", kSource, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    try {
        std::string line = conf.szUser;
        line += "\t*\t";
        line += passLen ? SecretWord(password) : std::string();
        line += '\n';
        if (!WriteSecretsTmp(line)) return -1;
        // The secrets go in first and the user after them; when the user
        // cannot be written the old secrets are put back, so that the two
        // files always name the same account.
        const std::string previous = slib::PreviousPath(kPapSecrets);
        unlink(previous.c_str());
        const bool hadSecrets = link(kPapSecrets, previous.c_str()) == 0;
        if (!hadSecrets && errno != ENOENT) {
            SLIBLog(LOG_ERR, "%s (%d) Failed to keep %s (%s)", kSource, __LINE__, kPapSecrets,
                    strerror(errno));
            unlink(kPapSecretsTmp);
            return Fail(ERR_WRITE_FAILED);
        }
        if (rename(kPapSecretsTmp, kPapSecrets) != 0) {
            SLIBLog(LOG_ERR, "%s (%d) Failed to write PPPoE setting (%s)", kSource, __LINE__,
                    strerror(errno));
            unlink(kPapSecretsTmp);
            unlink(previous.c_str());
            return Fail(ERR_RENAME_FAILED);
        }
        if (SLIBFileSetKeyValue(kPppoeConf, "USER", conf.szUser, SLIB_KEYVALUE_FMT_PLAIN) < 0) {
            const SLIBERRCODE code = SLIBErrGet();
            SLIBLog(LOG_ERR, "%s (%d) Failed to edit %s", kSource, __LINE__, kPppoeConf);
            const int back =
                hadSecrets ? rename(previous.c_str(), kPapSecrets) : unlink(kPapSecrets);
            if (back != 0)
                SLIBLog(LOG_ERR, "%s (%d) Failed to restore %s (%s)", kSource, __LINE__,
                        kPapSecrets, strerror(errno));
            SLIBErrSet(code);
            return -1;
        }
        unlink(previous.c_str());
        return 0;
    } catch (const std::bad_alloc &) {
        unlink(kPapSecretsTmp);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOPPPoEStatusGet(void) {
    // It may write "pppoe_enable": the lock is taken exclusive.
    InfoLock lock(SLIB_LOCK_EX);
    if (!lock.Held()) return -1;
    char value[64] = "";
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "pppoe_enable", value, sizeof value, 0);
    int result = 0;
    if (r < 0) {
        result = -1;
    } else if (r > 0) {
        int pids[kMaxPids];
        const int n = SLIBProcGetPidsByName(kAdslConnect, pids, kMaxPids);
        if (strcasecmp(value, "yes") != 0) {
            if (n > 0) SLIBProcExecWait(kAdslStop, nullptr, nullptr, nullptr, nullptr);
        } else if (n < 0) {
            result = -1;
        } else if (n > 0) {
            result = 1;
        } else if (SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "pppoe_enable", "no",
                                       SLIB_KEYVALUE_FMT_QUOTED) < 0) {
            result = -1;
        }
    }
    return lock.Release() ? result : -1;
}

extern "C" int QAVOPPPoEService(int on) {
    if (!IsSwitch(on)) return Fail(ERR_BAD_PARAMETERS);
    if (on == 1) {
        const int status = SLIBProcExecWait(kAdslStart, nullptr, nullptr, nullptr, nullptr);
        if (status == QAVO_PPPOE_START_STATUS) return status << 8;  // the raw wait status
        if (status != 0) {
            SLIBLog(LOG_ERR, "%s (%d) %s returned %d", kSource, __LINE__, kAdslStart, status);
            return Fail(ERR_EXEC_FAILED);
        }
        // Connected but not recorded would read as a stale switch later.
        return QAVOINFOSetKeyValue("pppoe_enable", "yes") < 0 ? -1 : 0;
    }
    if (QAVOINFOSetKeyValue("pppoe_enable", "no") < 0) return -1;
    SLIBProcExecWait(kAdslStop, nullptr, nullptr, nullptr, nullptr);
    return 0;
}

// ------------------------------------------------------------ daemons

extern "C" int QAVOUPnPService(int action) {
    return Act(kUPnP, action, __LINE__);
}

extern "C" int QAVODDNSService(int action) {
    return Act(kDDNS, action, __LINE__);
}

// ------------------------------------------------------- SMB connections

extern "C" int QAVOGetUserConnOfSmb(const char *szName, int byShare, char *szBuf, int cbBuf) {
    if (!szName || !szBuf || cbBuf <= 0 || byShare < 0 || byShare > 1) {
        SLIBLog(LOG_ERR, "%s(%d): Bad Parameter", kSource, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    memset(szBuf, 0, static_cast<size_t>(cbBuf));
    try {
        // The name is one argument of its own: no shell ever reads it.
        const char *argv[] = {kSmbstatus, byShare ? "-S" : "-u", szName, nullptr};
        std::string out;
        if (qsvc::CaptureOutput(argv, 0, out) < 0 && out.empty()) return 0;
        const std::string_view name(szName);
        size_t used = 0;
        for (const std::string &text : qsvc::Lines(out)) {
            if (text.empty()) break;  // the end of the connection table
            if (text.find(name) == std::string::npos) continue;
            const auto f = Fields(text);
            bool match;
            if (byShare) {
                match = f.size() > 4 && !f[4].empty() && f[4].substr(0, f[4].size() - 1) == name;
            } else {
                match = f.size() > 2 && f[2] == name;
            }
            long pid;
            if (!match || !ParseNumber(f[0], 1, INT_MAX, pid)) continue;
            const size_t need = used + (used ? 1 : 0) + f[0].size();
            if (need + 1 > static_cast<size_t>(cbBuf)) return Fail(ERR_BUF_TOO_SMALL);
            if (used) szBuf[used++] = ',';
            memcpy(szBuf + used, f[0].data(), f[0].size());
            used += f[0].size();
            szBuf[used] = '\0';
        }
        return 0;
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s(%d): memory allocation failed", kSource, __LINE__);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOKillSmbConn(char *szPidList) {
    if (!szPidList) {
        SLIBLog(LOG_ERR, "%s(%d): Bad Parameter", kSource, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    try {
        int entries = 0;
        std::string_view rest(szPidList);
        for (;;) {
            const size_t comma = rest.find(',');
            const std::string_view entry = rest.substr(0, comma);
            ++entries;
            long pid;
            // Only a whole number naming a connection: "-1" or "0" would
            // signal every process or the caller's group.
            if (ParseNumber(entry, 2, INT_MAX, pid) && IsSmbd(pid)) {
                kill(static_cast<pid_t>(pid), SIGTERM);
            } else {
                SLIBLog(LOG_ERR, "%s(%d): %.*s is no SMB connection", kSource, __LINE__,
                        static_cast<int>(entry.size()), entry.data());
            }
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        return entries;
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s(%d): memory allocation failed", kSource, __LINE__);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}
