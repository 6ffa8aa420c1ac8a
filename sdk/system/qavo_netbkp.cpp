// Network backup server: the rsync daemon's backup accounts ("auth users" of
// its configuration and the secrets file), the "runnetbkp" switch and the
// start and stop of the rsync, backup and ssh daemons.
#include "qavo_netbkp.h"

#include <crypt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_util.h"

namespace {

using slib::Fail;

constexpr const char *kSource = "sdk/qavonetbkp";
constexpr const char *kRsyncd = "/usr/qavo/etc/rc.d/S84rsyncd.sh";
constexpr const char *kNetBkpd = "/usr/qavo/etc/rc.d/S85qavonetbkpd.sh";
constexpr const char *kSshd = "/usr/qavo/etc/rc.d/S95sshd.sh";
constexpr const char *kConf = QAVO_NETBKP_RSYNCD_CONF;
constexpr const char *kSecrets = QAVO_NETBKP_SECRETS;
constexpr const char *kAuthKey = "auth users =";
constexpr const char *kSecretsLine = "secrets file = " QAVO_NETBKP_SECRETS;
// What the rsync daemon's process line holds, however its script starts it.
constexpr const char *kDaemonLine = "rsync --daemon";
constexpr const char *kCryptSalt = "vamt";
constexpr const char *const kAuthUsers[] = {"root", "admin", "rsync", nullptr};

// Runs a start script with the word; true when it exits 0.
bool RunScript(const char *script, const char *word, const char *fn) {
    const int status = SLIBProcExecWait(script, word, nullptr, nullptr, nullptr);
    if (status == 0) return true;
    SLIBLog(LOG_ERR, "%s %s(%d): %s %s failed, status %d", kSource, fn, __LINE__, script, word,
            status);
    return false;
}

bool SupportsSsh() {
    return slib::DefaultIsYes("supportssh", 64);
}

// An account name as both files hold it: not empty, no separator of either
// file (':' of a secrets line, ',' and blanks of the account list), no
// control character, and not read as a comment.
bool IsAccountName(const char *name) {
    if (name == nullptr || *name == '\0' || *name == '#' || *name == ';') return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || *p == ':' || *p == ',' || *p == ' ') return false;
    }
    return true;
}

// A secret fits on its line: no line break.
bool IsSecret(const char *secret) {
    return secret != nullptr && slib::OneLine(secret);
}

// The first line of a file that matches key under flags, whatever its
// length: 1 found, 0 not found (0x2000), -1 failure.
int GetWholeLine(const char *path, const char *key, int flags, std::string &line) {
    struct stat st;
    if (stat(path, &st) != 0) return Fail(ERR_OPEN_FAILED);
    std::vector<char> buf(static_cast<size_t>(st.st_size) + 2);
    const int r = SLIBFileGetLine(path, key, buf.data(), static_cast<int>(buf.size()), flags);
    if (r <= 0) return r;
    line.assign(buf.data());
    return 1;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The names of an "auth users =" line: after the "=", split at commas and
// blanks.
std::vector<std::string> SplitAccounts(const std::string &line) {
    std::vector<std::string> names;
    const std::string::size_type eq = line.find('=');
    if (eq == std::string::npos) return names;
    std::string_view rest(line);
    rest.remove_prefix(eq + 1);
    while (!rest.empty()) {
        const std::string_view::size_type end = rest.find_first_of(", \t\r");
        if (end != 0) names.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return names;
}

std::string JoinAccounts(const std::vector<std::string> &names) {
    std::string line = "auth users = ";
    for (const std::string &n : names)
        line += n + ",";
    line.pop_back();
    return line;
}

// The account list after the operation; changed tells whether it differs.
std::vector<std::string> EditAccountList(std::vector<std::string> names, const char *oldName,
                                         const char *newName, int op, bool &changed) {
    const std::vector<std::string> before = names;
    // The placeholder of an empty list goes as soon as a real name is there.
    std::erase_if(names, [](const std::string &n) { return SameName(n, QAVO_NETBKP_NO_ACCOUNT); });
    auto listed = [&](const char *name) {
        for (size_t i = 0; i < names.size(); ++i) {
            if (SameName(names[i], name)) return static_cast<long>(i);
        }
        return -1L;
    };
    if (op == QAVO_NETBKP_ACCOUNT_ADD) {
        if (listed(newName) < 0) names.emplace_back(newName);
    } else if (op == QAVO_NETBKP_ACCOUNT_SET) {
        const long o = listed(oldName);
        if (o < 0) {
            if (listed(newName) < 0) names.emplace_back(newName);
        } else {
            names[static_cast<size_t>(o)] = newName;
            // A rename onto a name already listed leaves it listed once.
            for (size_t i = names.size(); i-- > 0;) {
                if (static_cast<long>(i) != o && SameName(names[i], newName))
                    names.erase(names.begin() + static_cast<long>(i));
            }
        }
    } else {
        const size_t n = names.size();
        std::erase_if(names, [&](const std::string &s) { return SameName(s, oldName); });
        if (names.size() == n) {
            SLIBLog(LOG_ERR, "%s %s(%d): SzSLIBSzListRemove() failed!! szOldName=%s", kSource,
                    "QAVONetBackupSetServerPasswd", __LINE__, oldName);
        }
    }
    if (names.empty()) names.emplace_back(QAVO_NETBKP_NO_ACCOUNT);
    changed = names != before;
    return names;
}

// Rewrites the secrets file: every line of the names in drop goes; line,
// when given, takes the place of the first of them or is appended. The
// copy is 0640, owner 0 and group 25 before it holds a byte, so the secrets
// are never readable by others. A missing file is created. 0, or -1.
int RewriteSecrets(const std::vector<const char *> &drop, const std::string *line, const char *fn) {
    slib::FilePtr in(fopen(kSecrets, "re"));
    if (!in && errno != ENOENT) {
        const int e = errno;
        SLIBLog(LOG_ERR, "%s %s(%d): fopen(%s) failed! error_code[%d]=[%s]", kSource, fn, __LINE__,
                kSecrets, e, strerror(e));
        return Fail(ERR_OPEN_FAILED);
    }
    slib::RewriteSet rw;
    FILE *out = rw.Open(kSecrets);
    if (out == nullptr || fchown(fileno(out), 0, QAVO_NETBKP_SECRETS_GID) != 0 ||
        fchmod(fileno(out), 0640) != 0) {
        const int e = errno;
        SLIBLog(LOG_ERR, "%s %s(%d): QAVOFOpen(%s, \"w\") failed! error_code[%d]=[%s]", kSource, fn,
                __LINE__, kSecrets, e, strerror(e));
        return Fail(ERR_OPEN_FAILED);
    }
    std::vector<std::string> keys;
    for (const char *name : drop)
        keys.push_back(std::string(name) + ":");
    bool placed = line == nullptr;
    bool ok = true;
    bool endsWithNewline = true;
    if (in) {
        char *buf = nullptr;
        size_t cap = 0;
        ssize_t n;
        while (ok && (n = getline(&buf, &cap, in.get())) > 0) {
            const std::string_view text(buf, static_cast<size_t>(n));
            bool match = false;
            for (const std::string &k : keys) {
                if (text.starts_with(k)) match = true;
            }
            if (!match) {
                ok = slib::WriteAll(out, text);
                endsWithNewline = text.back() == '\n';
            } else if (!placed) {
                ok = slib::WriteAll(out, *line + "\n");
                placed = true;
            }
        }
        free(buf);
        if (ferror(in.get())) {
            SLIBLog(LOG_ERR, "%s %s(%d): reading %s failed", kSource, fn, __LINE__, kSecrets);
            return Fail(ERR_READ_FAILED);
        }
    }
    if (ok && !placed) ok = slib::WriteAll(out, (endsWithNewline ? "" : "\n") + *line + "\n");
    if (!ok || !rw.Commit()) {
        const int e = errno;
        SLIBLog(LOG_ERR, "%s: %s(%d) - writing %s failed! error_code[%d]=[%s]", kSource, fn,
                __LINE__, kSecrets, e, strerror(e));
        return Fail(ERR_WRITE_FAILED);
    }
    return 0;
}

// Steps of an account change between the daemon's stop and its restart.
int EditAccounts(const char *oldName, const char *newName, const char *secret, int op) {
    static const char *const fn = "QAVONetBackupSetServerPasswd";
    std::string line;
    const int found = GetWholeLine(kConf, kAuthKey, 0, line);
    if (found < 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): cannot read the account list of %s", kSource, fn, __LINE__,
                kConf);
        return -1;
    }
    if (found == 0) {
        if (op != QAVO_NETBKP_ACCOUNT_DELETE &&
            SLIBFileAddLine(kConf, nullptr, ("auth users = " + std::string(newName)).c_str(),
                            SLIB_LINE_INSERT_AFTER) != 1) {
            SLIBLog(LOG_ERR, "%s %s(%d): cannot add the account list to %s", kSource, fn, __LINE__,
                    kConf);
            return -1;
        }
    } else {
        bool changed = false;
        const std::vector<std::string> names =
            EditAccountList(SplitAccounts(line), oldName, newName, op, changed);
        // The line is replaced as it was found.
        if (changed && SLIBFileSetLine(kConf, kAuthKey, JoinAccounts(names).c_str(), 0) != 1) {
            SLIBLog(LOG_ERR, "%s %s(%d): cannot write the account list of %s", kSource, fn,
                    __LINE__, kConf);
            return -1;
        }
    }

    const int hasSecrets = GetWholeLine(kConf, kSecretsLine, 0, line);
    if (hasSecrets < 0 || (hasSecrets == 0 && SLIBFileAddLine(kConf, nullptr, kSecretsLine,
                                                              SLIB_LINE_INSERT_AFTER) != 1)) {
        SLIBLog(LOG_ERR, "%s %s(%d): cannot name the secrets file in %s", kSource, fn, __LINE__,
                kConf);
        return -1;
    }

    struct stat st;
    if (op == QAVO_NETBKP_ACCOUNT_DELETE) {
        // Without a secrets file there is no secret left to remove.
        if (stat(kSecrets, &st) != 0 && errno == ENOENT) return 0;
        return NetBackupDelSecret(oldName);
    }
    if (stat(kSecrets, &st) != 0 && errno != ENOENT) {
        const int e = errno;
        SLIBLog(LOG_ERR, "%s %s(%d): stat(%s) failed! error_code[%d]=[%s]", kSource, fn, __LINE__,
                kSecrets, e, strerror(e));
        return Fail(ERR_OPEN_FAILED);
    }
    const std::string entry = std::string(newName) + ":" + secret;
    // A user has one line: a new secret replaces the old one, and a rename
    // takes the place of the old name's line.
    std::vector<const char *> drop{newName};
    if (op == QAVO_NETBKP_ACCOUNT_SET) drop.push_back(oldName);
    if (RewriteSecrets(drop, &entry, fn) != 0) {
        SLIBLog(LOG_ERR,
                op == QAVO_NETBKP_ACCOUNT_SET ? "%s %s(%d):can not set %s's password"
                                              : "%s %s(%d):can not add %s's password",
                kSource, fn, __LINE__, newName);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int BlQAVONetBkpIsAuthUser(const char *user) {
    if (user == nullptr) return 0;
    for (const char *const *p = kAuthUsers; *p; ++p) {
        if (strcasecmp(user, *p) == 0) return 1;
    }
    return 0;
}

extern "C" int QAVONetBkpCryptPass(const char *password, char *out, int size) {
    if (password == nullptr || out == nullptr || size < 0) return Fail(ERR_BAD_PARAMETERS);
    memset(out, 0, static_cast<size_t>(size));
    std::unique_ptr<crypt_data> data(new (std::nothrow) crypt_data());
    if (!data) return Fail(ERR_OUT_OF_MEMORY);
    const char *hash = crypt_r(password, kCryptSalt, data.get());
    if (hash == nullptr || *hash == '*') {
        SLIBLog(LOG_ERR, "%s(%d): crypt() failed!!", __func__, __LINE__);
        return Fail(ERR_SYSTEM_CALL);
    }
    if (strlen(hash) >= static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    strcpy(out, hash);
    return 0;
}

extern "C" int QAVONetBackupGetServerPasswd(const char *user, char *out, int size) {
    if (user == nullptr || out == nullptr || size <= 0) return Fail(ERR_BAD_PARAMETERS);
    memset(out, 0, static_cast<size_t>(size));
    try {
        // The line begins with the name: a longer name or a secret that
        // happens to hold "name:" is another account's line.
        std::string line;
        const int found =
            GetWholeLine(kSecrets, (std::string(user) + ":").c_str(), SLIB_LINE_PREFIX, line);
        if (found <= 0) {
            SLIBLog(LOG_ERR, "%s(%d):can not get rsync server password! ", __func__, __LINE__);
            return -1;
        }
        const std::string_view secret = std::string_view(line).substr(line.find(':') + 1);
        if (secret.size() >= static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
        memcpy(out, secret.data(), secret.size());
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int NetBackupDelSecret(const char *user) {
    if (user == nullptr) return Fail(ERR_BAD_PARAMETERS);
    struct stat st;
    if (stat(kSecrets, &st) != 0) {
        const int e = errno;
        SLIBLog(LOG_ERR, "%s %s(%d): stat(%s) failed! error_code[%d]=[%s]\n", kSource, __func__,
                __LINE__, kSecrets, e, strerror(e));
        return Fail(e == ENOENT ? ERR_NOT_FOUND : ERR_OPEN_FAILED);
    }
    try {
        // Every line of the user goes, also a second one an older version left.
        if (RewriteSecrets({user}, nullptr, __func__) != 0) {
            SLIBLog(LOG_ERR,
                    "%s %s(%d): SLIBFileSetLine(szFile=[%s], szKey=[%s:]) failed (Delete Failed)",
                    kSource, __func__, __LINE__, kSecrets, user);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetBackupSetServerPasswd(const char *oldName, const char *newName,
                                            const char *secret, int op) {
    bool ok = false;
    if (op == QAVO_NETBKP_ACCOUNT_ADD) {
        ok = IsAccountName(newName) && IsSecret(secret);
    } else if (op == QAVO_NETBKP_ACCOUNT_SET) {
        ok = IsAccountName(oldName) && IsAccountName(newName) && IsSecret(secret);
    } else if (op == QAVO_NETBKP_ACCOUNT_DELETE) {
        ok = IsAccountName(oldName);
    }
    if (!ok) {
        SLIBLog(LOG_ERR, "%s %s(%d) : bad parameters", kSource, __func__, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    // The daemon is started again only when it ran: a change of accounts
    // must not start a service that is switched off.
    const bool ran = BlSLIBProcIsRunning(kDaemonLine) == 1;
    if (SLIBProcExecWait(kRsyncd, "stop", nullptr, nullptr, nullptr) != 0)
        SLIBLog(LOG_ERR, "%s %s(%d): failed to stop S84rsyncd.sh.", kSource, __func__, __LINE__);
    int result;
    try {
        result = EditAccounts(oldName, newName, secret, op);
    } catch (const std::bad_alloc &) {
        result = Fail(ERR_OUT_OF_MEMORY);
    }
    // Also after a failure: the files are either changed whole or not at all.
    if (ran) {
        const SLIBERRCODE code = SLIBErrGet();
        sleep(2);
        if (SLIBProcExecWait(kRsyncd, "start", nullptr, nullptr, nullptr) != 0) {
            SLIBLog(LOG_ERR, "%s:%d(%s): failed to start S84rsyncd.sh.", kSource, __LINE__,
                    __func__);
        }
        SLIBErrSet(code);
    }
    return result;
}

extern "C" int QAVONetBackupRsyncdSecretsReset(const char *user, const char *secret) {
    if (!IsAccountName(user) || !IsSecret(secret)) {
        SLIBLog(LOG_ERR, "%s %s(%d) : bad parameters", kSource, __func__, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    try {
        // The new file replaces the old one whole, so no moment is without one.
        slib::RewriteSet rw;
        FILE *out = rw.Open(kSecrets);
        if (out == nullptr || fchown(fileno(out), 0, QAVO_NETBKP_SECRETS_GID) != 0 ||
            fchmod(fileno(out), 0640) != 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): cannot create %s", kSource, __func__, __LINE__, kSecrets);
            return Fail(ERR_OPEN_FAILED);
        }
        if (!slib::WriteAll(out, std::string(user) + ":" + secret + "\n") || !rw.Commit()) {
            SLIBLog(LOG_ERR, "%s %s(%d): writing %s failed", kSource, __func__, __LINE__, kSecrets);
            return Fail(ERR_WRITE_FAILED);
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int BlQAVONetBkpIsEnabled(void) {
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH, 3) != 0) return 0;
    char value[20] = "";
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "runnetbkp", value, sizeof(value), 0);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    return r > 0 && strcasecmp(value, "yes") == 0 ? 1 : 0;
}

extern "C" int QAVONetBkpService(int action) {
    if (action != QAVO_NETBKP_STOP && action != QAVO_NETBKP_START) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    const char *word = action == QAVO_NETBKP_STOP ? "stop" : "start";
    // Both daemons are always asked, so a failing one does not leave the
    // other running after a stop.
    bool ok = RunScript(kRsyncd, word, __func__);
    ok = RunScript(kNetBkpd, word, __func__) && ok;
    char ssh[64] = "";
    if (SLIBFileGetKeyValue(slib::kQavoinfoDefaults, "supportssh", ssh, sizeof(ssh), 0) <= 0) {
        SLIBErrSet(ERR_READ_FAILED);
        SLIBLog(LOG_ERR, "%s %s(%d): cannot read supportssh", kSource, __func__, __LINE__);
        return -1;
    }
    if (strcmp(ssh, "yes") == 0) ok = RunScript(kSshd, word, __func__) && ok;
    return ok ? 0 : -1;
}

extern "C" int QAVONetBkpEnable(int enable) {
    if (enable != 0 && enable != 1) return Fail(ERR_BAD_PARAMETERS);
    const bool on = BlQAVONetBkpIsEnabled() == 1;
    if ((enable == 1) == on) return 0;
    const char *word = enable ? "start" : "stop";
    if (QAVOINFOSetKeyValue("runnetbkp", enable ? "yes" : "no") != 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): cannot set runnetbkp", kSource, __func__, __LINE__);
        return -1;
    }
    // Every daemon is asked even when one fails, as the service switch does.
    bool ok = RunScript(kRsyncd, word, __func__);
    ok = RunScript(kNetBkpd, word, __func__) && ok;
    if (SupportsSsh()) ok = RunScript(kSshd, word, __func__) && ok;
    return ok ? 0 : -1;
}
