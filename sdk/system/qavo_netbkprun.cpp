// Network backup runs: the backup server's address and port, its login and
// folder listing, the state of a task and the recovery from a server.
#include "qavo_netbkprun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cfgbackup.h"
#include "qavo_netbkpmail.h"
#include "qavo_netbkptask.h"
#include "qavo_netservice.h"
#include "qavo_share.h"
#include "qavo_sharelookup.h"
#include "qavo_sharemgmt.h"
#include "qavo_volume.h"
#include "service_util.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_proc.h"
#include "slib_section.h"
#include "slib_str.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"
#include "slib_validate.h"

namespace {

constexpr const char *kRsync = "/usr/bin/rsync";
constexpr const char *kNslookup = "/usr/bin/nslookup";
constexpr const char *kNmblookup = "/usr/qavo/bin/nmblookup";
constexpr const char *kSsh = "/usr/qavo/bin/ssh";
constexpr int kNameMax = 493;  // a folder name read from a listing, with its NUL
constexpr int kLookupTimeout = 60;
constexpr int kListTimeout = 300;
constexpr int kLoginTimeout = 300;
constexpr int kCopyTimeout = 0;  // a restore takes as long as the data does

// Events of a recovery.
constexpr uint32_t kEventConfigFetchFailed = 0x12900016;
constexpr uint32_t kEventConfigImportFailed = 0x11600021;
constexpr uint32_t kEventShareCreated = 0x11800d01;
constexpr uint32_t kEventShareCreateFailed = 0x11800d07;
constexpr uint32_t kEventFolderFailed = 0x12900015;
constexpr uint32_t kEventRecovered = 0x12900014;
// Sections of the configuration backup a recovery restores: shares, users,
// groups, user quotas and the clean-up.
constexpr uint32_t kRecoverSections = QAVOSYSBKP_ID_SHARE | QAVOSYSBKP_ID_USER |
                                      QAVOSYSBKP_ID_GROUP | QAVOSYSBKP_ID_USER_QUOTA |
                                      QAVOSYSBKP_ID_CLEANUP;

// Result codes this file gives itself.
constexpr int kCodeSignal = 40;
constexpr int kCodeSshLogin = 43;
constexpr int kCodeNoService = 49;

// A dotted IPv4 host address, as the address check takes it.
bool IsAddress(const char *text, std::string *normal = nullptr) {
    if (text == nullptr || strlen(text) > SLIB_NETADDR_TEXT_MAX) return false;
    char copy[SLIB_NETADDR_TEXT_MAX + 1];
    snprintf(copy, sizeof copy, "%s", text);
    if (!BlSLIBIsIPAddress(copy)) return false;
    if (normal) *normal = copy;
    return true;
}

// The server text without the leading "*" some entries carry.
const char *ServerHost(const char *server) {
    return server != nullptr && server[0] == '*' ? server + 1 : server;
}

// A server rsync may be pointed at: a host name or a dotted address (never
// an option, an account or a path), as a task holds it.
bool ServerOk(const char *server) {
    return BlQAVOINetBkpIsServer(server) == 1;
}

// An account or module name that goes into "user@server::module": no
// leading "-", no "/", "@", ":" or control character.
bool RsyncNameOk(const char *name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '-') return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || *p == '/' || *p == '@' || *p == ':') return false;
    }
    return true;
}

// A module path: a module, optionally followed by "/" and a folder that is a
// share name.
bool ModulePathOk(const char *path) {
    if (path == nullptr) return false;
    const char *slash = strchr(path, '/');
    if (slash == nullptr) return RsyncNameOk(path);
    const std::string module(path, static_cast<size_t>(slash - path));
    return RsyncNameOk(module.c_str()) && BlSLIBIsShareName(slash + 1);
}

// A password file path: absolute, one line without blanks or quotes (it is
// also a word of the ssh command that rsync splits).
bool PassFileOk(const char *file) {
    if (file == nullptr || file[0] != '/') return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(file); *p; ++p) {
        if (*p <= 0x20 || *p == 0x7F || *p == '"' || *p == '\'' || *p == '\\') return false;
    }
    return true;
}

std::string Remote(const char *user, const char *server, const std::string &path) {
    return std::string(user) + "@" + ServerHost(server) + "::" + path;
}

// The value of a line after its label, blanks and tabs trimmed.
std::string TrimmedAfter(std::string_view line, size_t from) {
    std::string_view v = line.substr(from);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r'))
        v.remove_suffix(1);
    return std::string(v);
}

// The answer of the name server: the first IPv4 address of an answer
// ("Name:" then "Address:" lines); the server's own "Address:" line comes
// before any "Name:" and is never taken.
std::string NslookupAnswer(const std::string &out) {
    bool inAnswer = false;
    for (const std::string &line : qsvc::Lines(out)) {
        if (line.rfind("Name:", 0) == 0) {
            inAnswer = true;
            continue;
        }
        if (!inAnswer || line.rfind("Address:", 0) != 0) continue;
        const std::string value = TrimmedAfter(line, strlen("Address:"));
        if (IsAddress(value.c_str())) return value;
    }
    return "";
}

// The answer of NetBIOS: the first line holding "<name>#", up to its first
// blank or tab.
std::string NmblookupAnswer(const std::string &out, const char *name) {
    const std::string mark = std::string(name) + "#";
    for (const std::string &line : qsvc::Lines(out)) {
        if (line.find(mark) == std::string::npos) continue;
        return line.substr(0, line.find_first_of(" \t"));
    }
    return "";
}

// Decodes rsync's escapes of a listed name: "\#ooo" (rsync) and "\ooo" (the
// appliance's rsync). False for the byte 0, raw or escaped: the name would
// end there and be taken for another.
bool DecodeName(std::string_view in, std::string &out) {
    out.clear();
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\0') return false;
        if (in[i] == '\\') {
            size_t at = i + 1;
            if (at < in.size() && in[at] == '#') ++at;
            if (at + 3 <= in.size() && octal(in[at]) && octal(in[at + 1]) && octal(in[at + 2])) {
                const int v = (in[at] - '0') * 64 + (in[at + 1] - '0') * 8 + (in[at + 2] - '0');
                if (v == 0 || v > 0xFF) return false;
                out.push_back(static_cast<char>(v));
                i = at + 2;
                continue;
            }
        }
        out.push_back(in[i]);
    }
    return true;
}

// Adds the folders of a listing read from fp to *list.
int ParseList(FILE *fp, PSLIBSZLIST *list) {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    int ret = 0;
    std::string name;
    while ((len = getline(&line, &cap, fp)) > 0) {
        std::string_view l(line, static_cast<size_t>(len));
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.remove_suffix(1);
        if (l.empty() || l[0] != 'd') continue;
        const size_t colon = l.find(':');
        const size_t blank = colon == std::string_view::npos ? colon : l.find(' ', colon);
        if (blank == std::string_view::npos) {
            SLIBLog(LOG_ERR, "%s(%d): format error!!", __func__, __LINE__);
            continue;
        }
        const std::string_view raw = l.substr(blank + 1);
        if (raw == "." || raw == ".." || raw == "@eaMeta") continue;
        if (raw.size() >= kNameMax || !DecodeName(raw, name) || !BlSLIBIsShareName(name.c_str())) {
            SLIBLog(LOG_ERR, "%s(%d): skipped a listed folder that is no share name [%.*s]",
                    __func__, __LINE__, static_cast<int>(std::min<size_t>(raw.size(), 64)),
                    raw.data());
            continue;
        }
        if (SLIBSzListPush(list, name.c_str()) < 0) {
            ret = -1;
            break;
        }
    }
    if (ret == 0 && ferror(fp)) ret = slib::Fail(ERR_READ_FAILED);
    free(line);
    return ret;
}

bool EnsureList(PSLIBSZLIST *list) {
    if (*list != nullptr) return true;
    *list = PslSLIBSzListAlloc(1024);
    if (*list == nullptr) SLIBErrSet(ERR_OUT_OF_MEMORY);
    return *list != nullptr;
}

// Runs rsync without a shell, its output to /dev/null: its exit code, or -1
// when it died by a signal, ran out of time or could not be run.
int RunRsync(const std::vector<std::string> &args, int timeout) {
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return SLIBProcExecWaitIO(argv.data(), nullptr, -1, -1, timeout);
}

// RunRsync with kCodeSignal for -1.
int RunQuiet(const std::vector<std::string> &args, int timeout) {
    const int r = RunRsync(args, timeout);
    return r < 0 ? kCodeSignal : r;
}

// One key of the recovery's progress file.
void Progress(const char *key, const std::string &value) {
    if (SLIBFileSetKeyValue(SZF_NETBKP_RECOVER_CHK, key, value.c_str(), SLIB_KEYVALUE_FMT_QUOTED) <
        0) {
        SLIBLog(LOG_ERR, "%s(%d): cannot set %s in %s [%X]", __func__, __LINE__, key,
                SZF_NETBKP_RECOVER_CHK, SLIBErrGet());
    }
}

std::string Upper(const std::string &name) {
    char up[kNameMax] = "";
    if (SLIBUnicodeUTF8StrUpper(name.c_str(), up, sizeof up) < 0) return "";
    return up;
}

// The names of the shares here, upper-cased; false on failure.
bool ShareNamesUpper(std::vector<std::string> &out) {
    int need = 0;
    if (QAVOShareEnum(nullptr, 0, &need) < 0 || need <= 0) return false;
    std::vector<char *> buf((static_cast<size_t>(need) + sizeof(char *) - 1) / sizeof(char *));
    const int n = QAVOShareEnum(buf.data(), need, &need);
    if (n < 0) return false;
    for (int i = 0; i < n && buf[static_cast<size_t>(i)] != nullptr; ++i)
        out.push_back(Upper(buf[static_cast<size_t>(i)]));
    return true;
}

// The folders to restore, by upper-cased name (the map's order is the
// order of the restore), written as section "share_list" of the progress
// file.
bool WriteShareList(const std::map<std::string, std::string> &folders) {
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(1024);
    if (hash == nullptr) return false;
    bool ok = true;
    for (const auto &[upper, name] : folders) {
        if (SLIBSzHashSetValue(&hash, upper.c_str(), name.c_str()) < 0) ok = false;
    }
    if (ok && ErrSLIBFileAddSection(SZF_NETBKP_RECOVER_CHK, "share_list", hash, "\t%s=%s\n") < 0)
        ok = false;
    SLIBSzHashFree(hash);
    return ok;
}

// The configuration backup of the server's folder, fetched into a private
// folder and imported.
bool RestoreConfig(const char *server, const char *module, const char *user, const char *folder,
                   int overwriteConfig) {
    Progress("stage", "config");
    char dir[] = "/tmp/.netbkp-configXXXXXX";  // 0700, this call's alone
    if (mkdtemp(dir) == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): mkdtemp failed: %m", __func__, __LINE__);
        return false;
    }
    const std::string file = std::string(dir) + "/" + QAVO_NETBKP_CONFIG_FILE;
    const std::string remote =
        Remote(user, server, std::string(module) + "/" + folder + "/" + QAVO_NETBKP_CONFIG_FILE);
    bool ok = RunRsync({kRsync, "-a", "-W", "--timeout=600",
                        std::string("--password-file=") + SZF_NETBKP_RESTORE_PASS, remote,
                        std::string(dir) + "/"},
                       kCopyTimeout) == 0;
    struct stat st;
    if (ok && (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))) ok = false;
    if (!ok) {
        SLIBLog(LOG_ERR, "%s(%d): fetching %s failed", __func__, __LINE__, remote.c_str());
        QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 3, kEventConfigFetchFailed, QAVO_NETBKP_CONFIG_FILE,
                          nullptr, nullptr, nullptr);
    } else if (QAVOSysbkpImport(file.c_str(), kRecoverSections, overwriteConfig) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOSysbkpImport(%s) failed", __func__, __LINE__, file.c_str());
        QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 1, kEventConfigImportFailed, nullptr, nullptr,
                          nullptr, nullptr);
        ok = false;
    }
    // Whatever the server sent goes with the folder (it may have been a
    // folder itself rather than the file).
    if (SLIBProcExecWait("/bin/rm", "-Rf", "--one-file-system", "--", dir) != 0)
        SLIBLog(LOG_ERR, "%s(%d): cannot remove %s", __func__, __LINE__, dir);
    return ok;
}

// Creates a missing share on volume vol; its folder, or "" on failure.
std::string CreateShare(const std::string &name, int vol) {
    const std::string path = "/volume" + std::to_string(vol) + "/" + name;
    const std::string text = name + "::" + path + "::admin::SHARE_RW:1";
    std::vector<char *> buf(4096 / sizeof(char *));
    if (ParseShareParam(text.c_str(), buf.data(), static_cast<int>(buf.size() * sizeof(char *))) ==
            1 &&
        QAVOShareSet(1, nullptr, reinterpret_cast<const QAVOSHARE *>(buf.data())) == 1) {
        QAVOLogEventWrite(QAVOLOG_CLASS_MAN, 1, kEventShareCreated, name.c_str(), nullptr, nullptr,
                          nullptr);
        return path;
    }
    SLIBLog(LOG_ERR, "%s(%d): creating share [%s] failed [%X]", __func__, __LINE__, name.c_str(),
            SLIBErrGet());
    QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 1, kEventShareCreateFailed, name.c_str(), nullptr,
                      nullptr, nullptr);
    return "";
}

// Restores the folders into their shares. False when a folder failed or
// the recovery could not go on.
bool RestoreFolders(const char *server, const char *module, const char *user, const char *folder,
                    const std::map<std::string, std::string> &folders) {
    Progress("stage", "share");
    const int vol = QAVOVolFirstWritableGet();
    if (vol <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): No good volume for restore.\n", __func__, __LINE__);
        return false;
    }
    bool ok = true;
    for (const auto &[upper, name] : folders) {
        std::string dest;
        if (PQAVOSHARE share = QAVOShareGetCaseLess(name.c_str())) {
            dest = share->szPath ? share->szPath : "";
            QAVOShareFree(share);
            if (dest.find('/') == std::string::npos) {
                SLIBLog(LOG_ERR, "%s(%d): bad path [%s] of share [%s]", __func__, __LINE__,
                        dest.c_str(), name.c_str());
                return false;
            }
        } else {
            dest = CreateShare(name, vol);
            if (dest.empty()) {
                ok = false;
                continue;
            }
        }
        Progress("share", name);
        // The folder's contents go into the share's own folder, hard links
        // as links and holes as holes (a sparse disk image written out in
        // full could fill the volume).
        const std::string remote =
            Remote(user, server, std::string(module) + "/" + folder + "/" + name + "/");
        const int r = RunRsync(
            {kRsync, "-a", "-W", "--timeout=600", "-H", "-S",
             std::string("--password-file=") + SZF_NETBKP_RESTORE_PASS, remote, dest + "/"},
            kCopyTimeout);
        if (r == 0) continue;
        ok = false;
        SLIBLog(LOG_ERR, "%s(%d): exec [%s %s %s] fail! return [%d]", __func__, __LINE__, kRsync,
                remote.c_str(), dest.c_str(), r);
        // A death by a signal is a system error; its signal is not known here.
        const int code = r < 0 ? NETBKP_CODE_SIGNAL : r;
        char line[QAVO_NETBKP_TEXT_MAX + 32] = "";
        if (r < 0) {
            snprintf(line, sizeof line, "[%d] System error", NETBKP_CODE_SIGNAL);
        } else if (QAVOINetBkpResultLine(r << 8, line, sizeof line) != 0) {
            snprintf(line, sizeof line, "[%d]", r);
        }
        QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, NetBkpErrLevel(code), kEventFolderFailed,
                          name.c_str(), line, nullptr, nullptr);
    }
    ErrServiceHup();
    return ok;
}

bool Recover(const char *server, const char *module, const char *user, const char *password,
             const char *folder, int overwriteData, int restoreConfig, int overwriteConfig) {
    if (QAVONetBkpGenPassfile(password, SZF_NETBKP_RESTORE_PASS) != 0) return false;
    PSLIBSZLIST listed = nullptr;
    const int listing =
        QAVONetBkpListDir(user, server, (std::string(module) + "/" + folder).c_str(), &listed);
    slib::SzListPtr owner(listed);
    if (listing != 0) return false;
    std::map<std::string, std::string> folders;
    for (int i = 0; i < listed->nItem; ++i) {
        const std::string name = SzSLIBSzListGet(listed, i);
        const std::string upper = Upper(name);
        if (!upper.empty()) folders[upper] = name;
    }
    if (!overwriteData) {
        std::vector<std::string> here;
        if (!ShareNamesUpper(here)) {
            SLIBLog(LOG_ERR, "%s(%d): cannot list the shares", __func__, __LINE__);
            return false;
        }
        for (const std::string &u : here)
            folders.erase(u);
    }
    if (!WriteShareList(folders)) {
        SLIBLog(LOG_ERR, "%s(%d): cannot write share_list", __func__, __LINE__);
        return false;
    }
    if (restoreConfig && !RestoreConfig(server, module, user, folder, overwriteConfig))
        return false;
    return RestoreFolders(server, module, user, folder, folders);
}

}  // namespace

extern "C" int QAVONetBkpLookupIP(const char *name, char *out, int size) {
    if (name == nullptr || out == nullptr || size < 16) return slib::Fail(ERR_BAD_PARAMETERS);
    std::string ip;
    if (IsAddress(name, &ip)) {
        snprintf(out, static_cast<size_t>(size), "%s", ip.c_str());
        return 0;
    }
    if (!slib::IsHostName(name)) {
        SLIBLog(LOG_ERR, "%s(%d): bad host name", __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    std::string text;
    if (strchr(name, '.') != nullptr) {
        const char *argv[] = {kNslookup, name, nullptr};
        if (qsvc::CaptureOutput(argv, kLookupTimeout, text) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): can't find host[%s]", __func__, __LINE__, name);
            return slib::Fail(ERR_NOT_FOUND);
        }
        ip = NslookupAnswer(text);
    } else {
        const char *argv[] = {kNmblookup, name, nullptr};
        qsvc::CaptureOutput(argv, kLookupTimeout, text);
        ip = NmblookupAnswer(text, name);
    }
    if (!IsAddress(ip.c_str(), &ip)) {
        SLIBLog(LOG_ERR,
                "%s(%d): can't get ip from SZF_NETBKP_LOOKUP_IP: ip format error, szIP=[%.64s]",
                __func__, __LINE__, ip.c_str());
        return slib::Fail(ERR_NOT_FOUND);
    }
    snprintf(out, static_cast<size_t>(size), "%s", ip.c_str());
    return 0;
}

extern "C" int BlQAVONetBkpIsServerReachable(const char *server) {
    if (server == nullptr) return 0;
    const char *host = ServerHost(server);
    std::string ip;
    if (!IsAddress(host, &ip)) {
        char found[16];
        if (QAVONetBkpLookupIP(host, found, sizeof found) != 0) return 0;
        ip = found;
    }
    return BlSLIBIsTCPPortReachable(ip.c_str(), QAVO_NETBKP_RSYNC_PORT, 10) ? 1 : 0;
}

extern "C" int QAVONetBkpGetUiStatus(const char *share) {
    if (share == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): %s: wrong parameter!", __FILE__, __LINE__, __func__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    int needed = 0;
    if (QAVONetBackupGet(share, nullptr, 0, &needed, NETBKP_OPT_SKIP_SCHEDULE, nullptr) < 0 ||
        needed <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVONetBackupGet(%s) failed", __func__, __LINE__, share);
        return -1;
    }
    std::vector<char> buf(static_cast<size_t>(needed));
    auto *task = reinterpret_cast<PQAVONETBKPINFO>(buf.data());
    if (QAVONetBackupGet(share, task, needed, &needed, NETBKP_OPT_SKIP_SCHEDULE, nullptr) != 1) {
        SLIBLog(LOG_ERR, "%s(%d): QAVONetBackupGet(%s) failed", __func__, __LINE__, share);
        return -1;
    }
    if (!BlQAVONetBkpIsServerReachable(task->szServer)) return NETBKP_UI_UNREACHABLE;
    const int line = SLIBFileFindLine(SZF_NETBKP_QUEUE, share);
    if (line == 1) return NETBKP_UI_RUNNING;
    if (line > 1) return NETBKP_UI_QUEUED;
    return SLIBFileFindLine(SZF_NETBKP_QUEUE_WAIT, share) > 0 ? NETBKP_UI_QUEUED : NETBKP_UI_IDLE;
}

extern "C" int QAVONetBkpGenPassfile(const char *password, const char *file) {
    if (password == nullptr || file == nullptr || !slib::OneLine(password))
        return slib::Fail(ERR_BAD_PARAMETERS);
    // Whatever was there (a file, or a link planted there) goes; the new
    // file is created by this open alone.
    if (unlink(file) != 0 && errno != ENOENT && errno != EISDIR) {
        SLIBLog(LOG_ERR, "%s(%d): unlink(%s) failed: %m", __func__, __LINE__, file);
    }
    const int fd =
        open(file, O_CREAT | O_EXCL | O_TRUNC | O_SYNC | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int err = errno;
        SLIBLog(LOG_ERR,
                "open(%s, O_CREAT | O_EXCL | O_TRUNC | O_SYNC | O_RDWR) failed! "
                "error_code[%d]=[%s]\n",
                file, err, strerror(err));
        return slib::Fail(ERR_OPEN_FAILED);
    }
    const std::string text = std::string(password) + "\n";
    size_t done = 0;
    bool ok = fchmod(fd, 0600) == 0;
    while (ok && done < text.size()) {
        const ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0)
            ok = false;
        else
            done += static_cast<size_t>(w);
    }
    if (close(fd) != 0) ok = false;
    if (!ok) {
        unlink(file);
        SLIBLog(LOG_ERR, "%s(%d): writing %s failed", __func__, __LINE__, file);
        return slib::Fail(ERR_WRITE_FAILED);
    }
    return 0;
}

extern "C" int QAVONetBkpParseListFile(const char *file, PSLIBSZLIST *list) {
    if (file == nullptr || list == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    slib::FilePtr fp(fopen(file, "re"));
    if (!fp) return slib::Fail(ERR_OPEN_FAILED);
    if (!EnsureList(list)) return -1;
    return ParseList(fp.get(), list);
}

extern "C" int QAVONetBkpListDir(const char *user, const char *server, const char *path,
                                 PSLIBSZLIST *list) {
    if (list == nullptr || !RsyncNameOk(user) || !ServerOk(server) || !ModulePathOk(path)) {
        SLIBLog(LOG_ERR, "%s(%d): bad parameters", __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const std::string passFile = std::string("--password-file=") + SZF_NETBKP_RESTORE_PASS;
    const std::string remote = Remote(user, server, std::string(path) + "/");
    const char *argv[] = {kRsync,           "--list-only",  "--timeout=60",
                          passFile.c_str(), remote.c_str(), nullptr};
    // The listing goes to an unnamed file of this call alone.
    char name[] = "/tmp/.netbkp-listXXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0) return slib::Fail(ERR_CREATE_FAILED);
    unlink(name);
    const int status = SLIBProcExecWaitOutput(argv, fd, kListTimeout);
    if (status != 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): list backup host dir(s) failed!! cmd=[%s %s] errcode=[%d]",
                "sdk/qavonetbkp", __func__, __LINE__, kRsync, remote.c_str(), status);
        close(fd);
        return slib::Fail(ERR_EXEC_FAILED);
    }
    FILE *fp = lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "r") : nullptr;
    if (fp == nullptr) {
        close(fd);
        return slib::Fail(ERR_READ_FAILED);
    }
    slib::FilePtr owner(fp);
    if (!EnsureList(list)) return -1;
    return ParseList(fp, list);
}

extern "C" int QAVONetBkpTestRsyncServer(const char *server, const char *user, const char *password,
                                         const char *passwordFile, const char *module, int trySsh) {
    if (!ServerOk(server) || !RsyncNameOk(user) || password == nullptr ||
        !PassFileOk(passwordFile) || !RsyncNameOk(module)) {
        SLIBLog(LOG_ERR, "%s: %s(%d) - bad parameters", "sdk/qavonetbkp", __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (QAVONetBkpGenPassfile(password, passwordFile) != 0) {
        SLIBLog(LOG_ERR, "%s: %s(%d) - QAVONetBkpGenPassfile() failed!", "sdk/qavonetbkp", __func__,
                __LINE__);
        return -1;
    }
    const std::string passArg = std::string("--password-file=") + passwordFile;
    const std::string remote = Remote(user, server, module);
    int code = RunQuiet({kRsync, passArg, remote}, kLoginTimeout);
    if (code != 0 && code != kCodeSignal && trySsh && slib::DefaultIsYes("supportssh", 16)) {
        const std::string shell = std::string(kSsh) + " -d " + passwordFile;
        code = RunQuiet({kRsync, passArg, "-e", shell, remote}, kLoginTimeout);
        if (code == kCodeSshLogin) code = kCodeNoService;
    }
    unlink(passwordFile);
    return code;
}

extern "C" int QAVONetBkpCheckSetting(const char *server, const char *user, const char *password,
                                      const char *passwordFile, const char *module, int trySsh) {
    if (!BlQAVONetBkpIsServerReachable(server)) return 42;
    const int code =
        QAVONetBkpTestRsyncServer(server, user, password, passwordFile, module, trySsh);
    if (code != 0 && code != 44) {
        SLIBLog(LOG_ERR, "%s: %s(%d) - QAVONetBkpTestRsyncServer(szIp=[%s]) return %d",
                "sdk/qavonetbkp", __func__, __LINE__, server ? server : "", code);
    }
    return code;
}

extern "C" int QAVONetBkpRecovery(const char *server, const char *module, const char *user,
                                  const char *password, const char *folder, int overwriteData,
                                  int restoreConfig, int overwriteConfig) {
    // A fresh progress file; "done" and "error" are written first so that
    // later keys replace lines before the folder section.
    unlink(SZF_NETBKP_RECOVER_CHK);
    for (const char *key : {"stage", "share"})
        Progress(key, "");
    for (const char *key : {"done", "error"})
        Progress(key, "0");
    bool ok = false;
    if (!ServerOk(server) || !RsyncNameOk(module) || !RsyncNameOk(user) || password == nullptr ||
        folder == nullptr || !BlSLIBIsShareName(folder)) {
        SLIBLog(LOG_ERR, "%s: %s(%d) - wrong parameter\n", "sdk/qavonetbkp", __func__, __LINE__);
        SLIBErrSet(ERR_BAD_PARAMETERS);
    } else {
        ok = Recover(server, module, user, password, folder, overwriteData, restoreConfig,
                     overwriteConfig);
    }
    unlink(SZF_NETBKP_RESTORE_PASS);

    QAVONetService(NETSERV_AFP, NETSERV_RESTART);
    // "error" before "done": whoever sees the end sees its result.
    Progress("error", ok ? "0" : "1");
    if (SLIBFileSetKeyValue(SZF_NETBKP_RECOVER_CHK, "done", "1", SLIB_KEYVALUE_FMT_QUOTED) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): cannot set done in %s", __func__, __LINE__,
                SZF_NETBKP_RECOVER_CHK);
        unlink(SZF_NETBKP_RECOVER_CHK);
    }
    const char *f = folder ? folder : "";
    const char *srv = server ? server : "";
    if (ok) {
        QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 1, kEventRecovered, f, srv, nullptr, nullptr);
        QAVONetRecoveryMail(f, srv, QAVO_NETBKP_MAIL_RECOVER_DONE);
        return 0;
    }
    QAVONetRecoveryMail(f, srv, QAVO_NETBKP_MAIL_RECOVER_ERROR);
    return -1;
}
