// Windows domain membership: the domain state files, the [global] settings
// a join changes, winbindd and the name service switch, and the Kerberos
// configuration.
#include "qavo_windomain.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "qavo_accfile.h"
#include "qavo_group.h"
#include "qavo_netservice.h"
#include "qavo_smb.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_util.h"
#include "slib_validate.h"
#include "windomain_util.h"

namespace {

using slib::Fail;

constexpr const char *kGlobal = "global";
constexpr const char *kSectionFormat = "\t%s=%s\n";
constexpr int kSmbLockTimeout = 10;
constexpr int kServiceLockTimeout = 5;

// Named locks held exclusive for one scope.
struct ScopedLock : slib::ScopedLock {
    ScopedLock(uint32_t mask, int timeout) : slib::ScopedLock(mask, SLIB_LOCK_EX, timeout) {}
};

using HashPtr = slib::SzHashPtr;

// [global] of smb.conf without its comment keys; null (logged) on failure.
HashPtr ReadGlobal(const char *path) {
    PSLIBSZHASH raw = PshSLIBSzHashAlloc(1024);
    if (!raw) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    if (SLIBFileGetSection(path, kGlobal, &raw) < 0) {
        SLIBLog(LOG_ERR, "SLIBFileGetSection failed [%X]!!", SLIBErrGet());
        SLIBSzHashFree(raw);
        return nullptr;
    }
    SDKIHashRemoveComments(raw);
    return HashPtr(raw);
}

bool SetValue(HashPtr &hash, const char *key, const char *value) {
    PSLIBSZHASH raw = hash.release();
    const int r = SLIBSzHashSetValue(&raw, key, value);
    hash.reset(raw);
    if (r < 0) SLIBErrSet(ERR_OUT_OF_MEMORY);
    return r >= 0;
}

// Writes [global] back; the section must exist.
bool WriteGlobal(PSLIBSZHASH hash, int line) {
    const int r = ErrSLIBFileSetSection(SZF_SMB_CONF, kGlobal, nullptr, hash, kSectionFormat);
    if (r < 0) {
        SLIBLog(LOG_ERR, "(%d) ErrSLIBFileSetSection failed [%X]!!", line, SLIBErrGet());
        return false;
    }
    if (r == 0) {
        SLIBErrSet(ERR_NOT_FOUND);
        SLIBLog(LOG_ERR, "(%d) ErrSLIBFileSetSection error [no glbal section]!!", line);
        return false;
    }
    return true;
}

// The first line of a file without its line end; false when the file does
// not open (errno kept) or holds no line.
enum class LineResult { kOk, kOpenFailed, kEmpty };
LineResult FirstLine(const char *path, std::string &line) {
    line.clear();
    slib::FilePtr fp(fopen(path, "re"));
    if (!fp) return LineResult::kOpenFailed;
    char *buf = nullptr;
    size_t cap = 0;
    const ssize_t n = getline(&buf, &cap, fp.get());
    if (n > 0) line.assign(qwin::Chomp(std::string_view(buf, static_cast<size_t>(n))));
    free(buf);
    return n > 0 ? LineResult::kOk : LineResult::kEmpty;
}

// Copies text into a caller's buffer: cleared, at most size - 1 characters.
void CopyOut(char *buf, int size, std::string_view text) {
    memset(buf, 0, static_cast<size_t>(size));
    memcpy(buf, text.data(), std::min(text.size(), static_cast<size_t>(size) - 1));
}

// The valid addresses of a controller file, joined with ','. pdc: the
// domain-controller file (messages differ). 1 / -1.
int ReadAddresses(const char *path, char *buf, int size, bool pdc) {
    if (!buf || size < 1) return Fail(ERR_BAD_PARAMETERS);
    memset(buf, 0, static_cast<size_t>(size));
    slib::FilePtr fp(fopen(path, "re"));
    if (!fp) {
        SLIBLog(LOG_ERR, pdc ? "%s(%d) open %s fail" : "%s(%d) open %s failed", __func__, __LINE__,
                path);
        return Fail(ERR_OPEN_FAILED);
    }
    std::string joined;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    try {
        while ((n = getline(&line, &cap, fp.get())) > 0) {
            std::string_view l = qwin::Chomp(std::string_view(line, static_cast<size_t>(n)));
            l = l.substr(0, l.find(':'));
            // The address alone, as the lookup prints it; the validator
            // writes its decimal form back.
            std::string addr(l.substr(0, std::min<size_t>(l.size(), 255)));
            std::vector<char> text(addr.begin(), addr.end());
            text.push_back('\0');
            if (!BlSLIBIsIPAddress(text.data())) continue;
            if (!joined.empty()) joined += ',';
            joined += text.data();
        }
    } catch (const std::bad_alloc &) {
        free(line);
        SLIBLog(LOG_ERR, "%s(%d) QAVOMAlloc() failed", __func__, __LINE__);
        return Fail(ERR_OUT_OF_MEMORY);
    }
    free(line);
    if (joined.empty()) {
        if (pdc)
            SLIBLog(LOG_ERR, "%s(%d) get pdc ip fail", __func__, __LINE__);
        else
            SLIBLog(LOG_ERR, "%s(%d) got file %s but missing kdc ip", __func__, __LINE__, path);
        return Fail(ERR_NOT_FOUND);
    }
    // Only whole addresses: one that does not fit is left out, and when not
    // even the first fits there is no answer (a cut address is some other
    // host's).
    std::string_view all(joined);
    if (all.size() > static_cast<size_t>(size) - 1) {
        // The last address that ends within size - 1 characters.
        const size_t comma = all.rfind(',', static_cast<size_t>(size) - 1);
        if (comma == std::string_view::npos) {
            SLIBLog(LOG_ERR, "%s(%d) no room for the address of %s", __func__, __LINE__, path);
            return Fail(ERR_BUF_TOO_SMALL);
        }
        all = all.substr(0, comma);
    }
    CopyOut(buf, size, all);
    return 1;
}

// A security mode keyword as stored.
bool IsMode(const char *v, const char *mode) {
    return v && strcasecmp(v, mode) == 0;
}

}  // namespace

extern "C" int BlWINIIsADS(void) {
    HashPtr global = ReadGlobal(SZF_SMB_CONF);
    if (!global) return 0;
    return IsMode(SzSLIBSzHashGetValue(global.get(), "security"), "ads") ? 1 : 0;
}

extern "C" int WINIReadADSWorkgroup(char *buf, int size) {
    if (!buf || size < 2) return Fail(ERR_BAD_PARAMETERS);
    std::string line;
    switch (FirstLine(SZF_WIN_WORKGROUP, line)) {
        case LineResult::kOpenFailed:
            SLIBLog(LOG_ERR, "can't open workgroup file (2)\n");
            return Fail(ERR_UNICODE);
        case LineResult::kEmpty:
            memset(buf, 0, static_cast<size_t>(size));
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) can't get workgroup information\n");
            return Fail(ERR_UNICODE);
        case LineResult::kOk:
            break;
    }
    memset(buf, 0, static_cast<size_t>(size));
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get workgroup fail\n");
        return Fail(ERR_UNICODE);
    }
    // The name is a text: a NUL byte ends it.
    std::string_view name = std::string_view(line).substr(blank + 1);
    name = name.substr(0, name.find('\0'));
    if (name.empty()) {
        SLIBLog(LOG_ERR, "can't get workgroup name from file (1)\n");
        return Fail(ERR_UNICODE);
    }
    CopyOut(buf, size, name);
    return 0;
}

extern "C" int WINITestJoin(int ads) {
    char joined[16] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "domainjoined", joined, sizeof joined, 0) <= 0 ||
        strcmp(joined, "yes") != 0)
        return -1;
    const char *argv[] = {"/usr/qavo/bin/net", ads ? "ads" : "rpc", "testjoin", nullptr};
    return qwin::Run(argv, nullptr, qwin::Stream::kOut, nullptr) == 0 ? 0 : -1;
}

extern "C" int ErrWINISmbConfModify1(const QAVOWINJOIN *req, int ads) {
    if (!req || !req->szName) return Fail(ERR_BAD_PARAMETERS);
    ScopedLock lock(SLIB_LOCK_SMB, kSmbLockTimeout);
    if (!lock.Held()) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) lock file failed\n");
        return -1;
    }
    char current[1024];
    int isDomain = 0;
    if (WINIQuery1(current, sizeof current, &isDomain) < 0) return -1;
    HashPtr global = ReadGlobal(SZF_SMB_CONF);
    if (!global) return -1;
    const bool wasAds = IsMode(SzSLIBSzHashGetValue(global.get(), "security"), "ads");
    if (req->type == QAVO_WINJOIN_DOMAIN) {
        if (!SetValue(global, "realm", ads ? req->szName : "*") ||
            !SetValue(global, "security", ads ? "ads" : "domain"))
            return -1;
    } else if (isDomain) {
        if (wasAds && !SetValue(global, "realm", "*")) return -1;
        if (!SetValue(global, "security", "user")) return -1;
    }
    char workgroup[64] = "";
    if (ads) {
        // Without the domain's workgroup the section cannot be written right.
        if (WINIReadADSWorkgroup(workgroup, sizeof workgroup) < 0) return -1;
    } else {
        snprintf(workgroup, sizeof workgroup, "%s", req->szName);
    }
    if (!qwin::SafeDomainText(workgroup)) return Fail(ERR_BAD_PARAMETERS);
    SLIBLog(LOG_ERR, "%s(%d) set hash workgroup to %s", __func__, __LINE__, workgroup);
    if (!SetValue(global, "workgroup", workgroup)) return -1;
    const bool written = WriteGlobal(global.get(), __LINE__);
    if (!lock.Release()) return Fail(ERR_UNLOCK_FAILED);
    return written ? 0 : -1;
}

extern "C" int WINISmbConfSet(int doIt, const char *saved) {
    if (!doIt) return 0;
    if (!saved) return Fail(ERR_BAD_PARAMETERS);
    auto field = [&](int at, int end) {
        return std::string(saved + at, strnlen(saved + at, static_cast<size_t>(end - at)));
    };
    try {
        const std::string security = field(QAVO_WINSAVED_SECURITY, QAVO_WINSAVED_REALM);
        const std::string realm = field(QAVO_WINSAVED_REALM, QAVO_WINSAVED_WORKGROUP);
        const std::string workgroup = field(QAVO_WINSAVED_WORKGROUP, QAVO_WINSAVED_SIZE);
        for (const std::string *v : {&security, &realm, &workgroup})
            if (!slib::OneLine(v->c_str())) return Fail(ERR_BAD_PARAMETERS);
        ScopedLock lock(SLIB_LOCK_SMB, kSmbLockTimeout);
        if (!lock.Held()) return -1;
        HashPtr global = ReadGlobal(SZF_SMB_CONF);
        if (!global) return -1;
        if (!SetValue(global, "security", security.c_str()) ||
            !SetValue(global, "realm", realm.c_str()) ||
            !SetValue(global, "workgroup", workgroup.c_str()))
            return -1;
        const int r =
            ErrSLIBFileSetSection(SZF_SMB_CONF, kGlobal, nullptr, global.get(), kSectionFormat);
        if (r < 1) {
            SLIBLog(LOG_ERR, "(%d) ErrSLIBFileSetSection() failed! (returned value = %d) [%X]!!",
                    __LINE__, r, SLIBErrGet());
            return -1;
        }
        if (!lock.Release()) return Fail(ERR_UNLOCK_FAILED);
        return 1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOWinWinbindd(int start) {
    int result = 0;
    if (start) {
        const char *argv[] = {"/usr/qavo/sbin/winbindd", "-D", nullptr};
        if (SLIBProcExecWaitArgv(argv, nullptr, nullptr) != 0) {
            SLIBLog(LOG_ERR, "%s(%d) %s fail\n", __func__, __LINE__, argv[0]);
            return Fail(ERR_EXEC_FAILED);
        }
    } else {
        result = SLIBProcKillByName("winbindd", 1);
        if (result < 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) stop winbindd fail\n");
            return result;
        }
    }
    // The name service follows the daemon: a switch that cannot be laid is
    // a failure, not a silent mismatch.
    const char *argv[] = {"/bin/cp", start ? SZF_NSSWITCH_DOMAIN : SZF_NSSWITCH_WORKGROUP,
                          SZF_NSSWITCH, nullptr};
    if (SLIBProcExecWaitArgv(argv, nullptr, nullptr) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) copy %s fail", __func__, __LINE__, argv[1]);
        return Fail(ERR_EXEC_FAILED);
    }
    return result;
}

extern "C" int WINISmbServiceSet(int on) {
    ScopedLock lock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_RC, kServiceLockTimeout);
    if (!lock.Held()) return -1;
    if (SLIBFileSetOrAddKeyValue(SLIB_QAVOINFO_PATH, "runsamba", on == 1 ? "yes" : "no",
                                 SLIB_KEYVALUE_FMT_QUOTED) < 0)
        return -1;
    const int r = QAVONetService(NETSERV_SMB, on == 1 ? NETSERV_START : NETSERV_STOP);
    if (!lock.Release()) return Fail(ERR_UNLOCK_FAILED);
    return r >= 0 && (r & NETSERV_DONE_SMB) ? 1 : -1;
}

extern "C" int WINISetAccount(const QAVOWINJOIN *req) {
    if (!req || !req->szUser || !req->szPassword || !*req->szUser) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter");
        return Fail(ERR_BAD_PARAMETERS);
    }
    // One line "user%password": a line break or a '%' in the user would
    // read back as another account.
    if (!slib::OneLine(req->szUser) || !slib::OneLine(req->szPassword) ||
        strchr(req->szUser, '%')) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter");
        return Fail(ERR_BAD_PARAMETERS);
    }
    // The password file is the owner's alone from its first byte: a fresh
    // copy made 0600 whatever the umask, renamed over the old file.
    const std::string tmp = slib::TempPath(SZF_WIN_DOMACC);
    unlink(tmp.c_str());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d) open %s fail", __func__, __LINE__, SZF_WIN_DOMACC);
        return Fail(ERR_OPEN_FAILED);
    }
    bool ok = fchmod(fd, 0600) == 0;
    try {
        const std::string line = std::string(req->szUser) + "%" + req->szPassword;
        size_t off = 0;
        while (ok && off < line.size()) {
            const ssize_t w = write(fd, line.data() + off, line.size() - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0)
                ok = false;
            else
                off += static_cast<size_t>(w);
        }
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), SZF_WIN_DOMACC) != 0) {
        unlink(tmp.c_str());
        SLIBLog(LOG_ERR, "%s(%d) write account to %s fail", __func__, __LINE__, SZF_WIN_DOMACC);
        return Fail(ERR_WRITE_FAILED);
    }
    return 0;
}

extern "C" int WINIGetAccount(QAVOWINJOIN *req) {
    static char account[1024];
    if (!req) return Fail(ERR_BAD_PARAMETERS);
    std::string line;
    const LineResult r = FirstLine(SZF_WIN_DOMACC, line);
    if (r == LineResult::kOpenFailed) {
        SLIBLog(LOG_ERR, "%s(%d) open %s fail", __func__, __LINE__, SZF_WIN_DOMACC);
        return Fail(ERR_OPEN_FAILED);
    }
    // A line without '%' holds no account.
    const size_t pct = line.find('%');
    if (r == LineResult::kEmpty || pct == std::string::npos || line.size() >= sizeof account) {
        SLIBLog(LOG_ERR, "%s(%d) get account fail", __func__, __LINE__);
        return Fail(ERR_READ_FAILED);
    }
    memset(account, 0, sizeof account);
    memcpy(account, line.data(), line.size());
    account[pct] = '\0';
    req->szUser = account;
    req->szPassword = account + pct + 1;
    return 0;
}

extern "C" int QAVOWinIGetPDCIP(char *buf, int size) {
    return ReadAddresses(SZF_WIN_PDC_IP, buf, size, true);
}

extern "C" int QAVOWinIGetKDCIP(char *buf, int size) {
    return ReadAddresses(SZF_WIN_KDC_IP, buf, size, false);
}

extern "C" int QAVOWinICreateKrb5Conf(const QAVOWINJOIN *req) {
    if (!req || !qwin::SafeDomainText(req->szName)) return Fail(ERR_BAD_PARAMETERS);
    char list[256] = "";
    if (req->szKDC) {
        snprintf(list, sizeof list, "%.254s", req->szKDC);
    } else if (QAVOWinIGetKDCIP(list, sizeof list) < 0) {
        SLIBLog(LOG_ERR, "%s(%d) can't get kdc ip %s\n", __func__, __LINE__, SZF_WIN_KDC_IP);
        return -1;
    }
    try {
        std::string text = "[libdefaults]\n";
        text += "\tdefault_realm = " + std::string(req->szName) + "\n\n";
        text += "[realms]\n";
        text += "\t" + std::string(req->szName) + " = {\n";
        std::string_view rest(list);
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            std::string kdc(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            // Only host addresses: anything else could open a section.
            if (!BlSLIBIsIPAddress(kdc.data())) return Fail(ERR_BAD_IP_ADDRESS);
            text += "\tkdc = " + std::string(kdc.c_str()) + "\n";
        }
        text += "\t}\n";
        slib::RewriteSet rw;
        FILE *fp = rw.Open(SZF_KRB5_CONF);
        if (!fp) return Fail(ERR_OPEN_FAILED);
        if (!slib::WriteAll(fp, text) || !rw.Commit()) return -1;
        return 1;
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s(%d): PslSLIBSzListAlloc() failed.", __func__, __LINE__);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOWinGetDomainUG(int groups) {
    if (groups < 0 || groups > 1) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter\n");
        return Fail(ERR_BAD_PARAMETERS);
    }
    const char *list = groups ? SZF_WIN_DOMAIN_GROUP : SZF_WIN_DOMAIN_USER;
    const std::string tmp = std::string(list) + ".tmp";
    const char *argv[] = {"/usr/qavo/bin/wbinfo", groups ? "-g" : "-u", nullptr};
    unlink(tmp.c_str());
    if (qwin::RunToFile(argv, tmp.c_str()) != 0) {
        // The list of the last good run stays.
        unlink(tmp.c_str());
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get domain user or group fail\n");
        return Fail(ERR_EXEC_FAILED);
    }
    if (rename(tmp.c_str(), list) != 0) {
        unlink(tmp.c_str());
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) mv domain user/group file fail\n");
        return Fail(ERR_WRITE_FAILED);
    }
    return 0;
}

extern "C" int QAVOWinDelMachineAcc(const QAVOWINJOIN *req, const char *smbConf) {
    if (!req || !smbConf) return Fail(ERR_BAD_PARAMETERS);
    char security[16] = "";
    PSLIBSZHASH raw = PshSLIBSzHashAlloc(1024);
    if (!raw) return Fail(ERR_OUT_OF_MEMORY);
    HashPtr global;
    if (SLIBFileGetSection(smbConf, kGlobal, &raw) < 0) {
        SLIBSzHashFree(raw);
        return -1;
    }
    global.reset(raw);
    const char *sec = SzSLIBSzHashGetValue(global.get(), "security");
    if (!sec) return -1;
    snprintf(security, sizeof security, "%s", sec);
    if (strcasecmp(security, "domain") == 0) return 1;
    if (strcasecmp(security, "ads") != 0) return 0;
    if (!req->szUser || !req->szPassword || !slib::OneLine(req->szPassword) ||
        qwin::OptionLike(req->szUser))
        return Fail(ERR_BAD_PARAMETERS);
    // The password reaches net on its standard input, never its command line.
    try {
        const std::string input = std::string(req->szPassword) + "\n";
        const char *argv[] = {"/usr/qavo/bin/net", "ads", "leave", "-U",
                              req->szUser,         "-s",  smbConf, nullptr};
        if (qwin::Run(argv, input.c_str(), qwin::Stream::kOut, nullptr) != 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) ads leave fail");
            return Fail(ERR_EXEC_FAILED);
        }
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
    return 1;
}

extern "C" int ErrWINIState1Set(const char *step, const char *message) {
    if (!step || !message) return Fail(ERR_BAD_PARAMETERS);
    try {
        // One line: a tool's text may hold line ends.
        std::string msg(message);
        for (char &c : msg)
            if (c == '\n' || c == '\r') c = ' ';
        slib::RewriteSet rw;
        FILE *fp = rw.Open(SZF_WIN_STATE);
        if (!fp) return Fail(ERR_OPEN_FAILED);
        if (!slib::WriteAll(fp, slib::FormatKeyValue("%s=%s\n", step, msg)) || !rw.Commit())
            return -1;
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int ErrWINIState1Get(char *step, int stepSize, char *message, int messageSize) {
    if (!step || !message || stepSize < 2 || messageSize < 2) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter");
        return Fail(ERR_BAD_PARAMETERS);
    }
    slib::FilePtr fp(fopen(SZF_WIN_STATE, "re"));
    if (!fp) {
        SLIBLog(LOG_ERR, "%s(%d) open %s failed", __func__, __LINE__, SZF_WIN_STATE);
        return Fail(ERR_OPEN_FAILED);
    }
    char *buf = nullptr;
    size_t cap = 0;
    const ssize_t n = getline(&buf, &cap, fp.get());
    if (n <= 0) {
        free(buf);
        SLIBLog(LOG_ERR, "%s(%d) read %s failed", __func__, __LINE__, SZF_WIN_STATE);
        return Fail(ERR_READ_FAILED);
    }
    std::string line(buf, static_cast<size_t>(n));
    free(buf);
    const size_t eq = line.find('=');
    if (eq == 0 || eq == std::string::npos) {
        SLIBLog(LOG_ERR, "%s(%d) %s type error", __func__, __LINE__, SZF_WIN_STATE);
        return Fail(ERR_READ_FAILED);
    }
    memset(step, 0, static_cast<size_t>(stepSize));
    memset(message, 0, static_cast<size_t>(messageSize));
    memcpy(step, line.data(), std::min(eq, static_cast<size_t>(stepSize) - 2));
    const std::string_view rest = std::string_view(line).substr(eq + 1);
    memcpy(message, rest.data(), std::min(rest.size(), static_cast<size_t>(messageSize) - 2));
    return 0;
}

extern "C" int QAVOWinConfKDCGet(char *buf, int size) {
    if (!buf || size < 2) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter");
        return Fail(ERR_BAD_PARAMETERS);
    }
    char kdc[16] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "kdc_ip", kdc, sizeof kdc, 0) <= 0) return -1;
    memset(buf, 0, static_cast<size_t>(size));
    memcpy(buf, kdc, std::min(strlen(kdc), static_cast<size_t>(size) - 2));
    return 0;
}

extern "C" int QAVOWinConfKDCSet(const char *kdc) {
    if (!kdc || !slib::OneLine(kdc) || strchr(kdc, '"')) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter");
        return Fail(ERR_BAD_PARAMETERS);
    }
    char value[16] = "";
    snprintf(value, sizeof value, "%.15s", kdc);
    if (QAVOINFOSetKeyValue("kdc_ip", value) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) set kdc ip fail");
        return -1;
    }
    return 0;
}

extern "C" int QAVOWinDomainJoinedSet(int joined) {
    return QAVOINFOSetKeyValue("domainjoined", joined ? "yes" : "no");
}

extern "C" char *WINIMapNameList(const char *list, PSLIBSZHASH users, PSLIBSZHASH groups) {
    if (!list || !users || !groups) return nullptr;
    try {
        std::string out;
        bool replaced = false;
        std::string_view rest(list);
        bool first = true;
        for (;;) {
            const size_t comma = rest.find(',');
            const std::string name(rest.substr(0, comma));
            const char *mapped =
                SzSLIBSzHashGetValue(name[0] == '@' ? groups : users, name.c_str());
            if (!first) out += ',';
            first = false;
            if (!name.empty() && mapped) {
                out += mapped;
                replaced = true;
            } else {
                out += name;
            }
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        return strdup(replaced ? out.c_str() : list);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

extern "C" int WINISetGidIndex(int gid) {
    if (gid < 0) return Fail(ERR_BAD_PARAMETERS);
    ScopedLock lock(SLIB_LOCK_GR, kSmbLockTimeout);
    if (!lock.Held()) return -1;
    // The group writer's own index line, found and rewritten as it does.
    if (GROUPISetGidIndex(gid) != 1) return -1;
    if (!lock.Release()) return Fail(ERR_UNLOCK_FAILED);
    return 1;
}
