// User lookup: one local user packed into a caller's buffer, account expiry,
// the guest and anonymous capabilities, the passwd record of any account,
// local or domain, and the domain user queries, which ask winbind's
// command-line client. Names reach its command line as single escaped shell
// words, and its answers are read as whole lines and parsed in full, so an id
// is never cut short into another one.
#include "qavo_user.h"

#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "accfile_util.h"
#include "account_snapshot.h"
#include "qavo_accfile.h"
#include "qavo_windomain.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_lock.h"
#include "slib_str.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"

using namespace accfile;

namespace {

using slib::Fail;

constexpr int kLockTimeout = 5;
constexpr size_t kShadowLine = 1024;
constexpr size_t kDecodeBuf = 1024;
constexpr int kSidBuf = 64;
constexpr size_t kMaxDomainName = 492;
constexpr int kCapBuf = 32;

// The shared passwd lock, released when the scope ends.
struct PasswdLock : slib::ScopedLock {
    PasswdLock() : ScopedLock(SLIB_LOCK_PW, SLIB_LOCK_SH, kLockTimeout) {}
};

// What QAVOUserGet packs, read under the lock.
struct UserText {
    std::string name, hash, gecos, mail;
    int32_t expiry = 0;
};

// Parses a whole decimal number in [min, max]; false for anything else.
bool ParseWhole(std::string_view text, long long min, long long max, long long &value) {
    if (text.empty() || text.size() > 18) return false;
    bool negative = text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty()) return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (negative) v = -v;
    if (v < min || v > max) return false;
    value = v;
    return true;
}

// The user's lines are looked up in the files, or in snap when there is one.
int ReadUser(const char *name, UserText &u, const sdk::AccountSnapshot *snap) {
    struct passwd *pw = snap ? snap->LocalPwNam(name) : PpwSLIBGetLocalPwNam(name);
    if (!pw) return Fail(ERR_NO_SUCH_USER);
    u.name = pw->pw_name;
    u.gecos = pw->pw_gecos;

    const std::string key = u.name + ":";
    std::string line;
    // The snapshot finds the first line of the name in any case: it is the
    // line wanted when it is spelled as passwd spells the name; otherwise
    // the file is searched as without a snapshot.
    if (!snap || snap->Line(sdk::AccountSnapshot::kShadow, u.name.c_str(), line, false) != 1 ||
        line.size() + 2 >= kShadowLine || line.compare(0, key.size(), key) != 0) {
        line.assign(kShadowLine, '\0');
        int r = SLIBFileGetLine(SZF_SHADOW, key.c_str(), line.data(), static_cast<int>(line.size()),
                                SLIB_LINE_PREFIX);
        if (r <= 0) {
            SLIBLog(LOG_ERR, "(%d) cant get line by %s(%X)\n", __LINE__, u.name.c_str(),
                    SLIBErrGet());
            return -1;
        }
        line.resize(static_cast<size_t>(r) - 1);
    }
    PSLIBSZLIST raw = PslSLIBSzListAlloc(static_cast<int>(line.size()) * 2 + 512);
    if (!raw) return Fail(ERR_OUT_OF_MEMORY);
    int n = SLIBStrSep(line.c_str(), ":", &raw);
    slib::SzListPtr fields(raw);
    if (n < 0) return -1;
    if (n != 9) {
        // The name only: the rest of the line is the password hash.
        SLIBLog(LOG_ERR, "(%d) szLine[%s] has %d entries format error\n", __LINE__,
                fields->pszItem[0], n);
        return Fail(ERR_FIELD_COUNT);
    }
    u.hash = fields->pszItem[1];
    if (*fields->pszItem[7]) {
        long long day = strtoll(fields->pszItem[7], nullptr, 10);
        if (day > INT32_MAX) day = INT32_MAX;
        if (day < INT32_MIN) day = INT32_MIN;
        u.expiry = static_cast<int32_t>(day);
    }

    int need = SLIBFileGetKeyValue(SZF_USER_MAIL, u.name.c_str(), nullptr, 0, 0);
    if (need > 0) {
        std::string mail(static_cast<size_t>(need), '\0');
        need = SLIBFileGetKeyValue(SZF_USER_MAIL, u.name.c_str(), mail.data(), need, 0);
        if (need > 0) u.mail.assign(mail.c_str());
    }
    if (need < 0) SLIBLog(LOG_ERR, "%d: get email failed. (%X)", __LINE__, SLIBErrGet());
    return 0;
}

// Packs the user behind the record; the buffer holds needed bytes or more.
void Pack(const UserText &u, QAVOUSER *buf, int size) {
    auto *base = reinterpret_cast<char *>(buf);
    memset(base, 0, static_cast<size_t>(size));
    char *at = base + sizeof(QAVOUSER);
    auto put = [&at](const std::string &s) {
        char *start = at;
        memcpy(at, s.c_str(), s.size() + 1);
        at += s.size() + 1;
        return start;
    };
    buf->name = put(u.name);
    buf->password = put(u.hash);
    // Decoding never lengthens the text, so it fits where the raw text would.
    char decoded[kDecodeBuf];
    if (SLIBStrDecodeColon(u.gecos.c_str(), decoded, sizeof decoded) >= 0) {
        buf->description = at;
        size_t len = strlen(decoded);
        memcpy(at, decoded, len + 1);
        at += u.gecos.size() + 1;
    } else {
        SLIBLog(LOG_ERR, "%d: SLIBStrDecodeColon failed.(%X)", __LINE__, SLIBErrGet());
        buf->description = put(u.gecos);
    }
    buf->expiry = u.expiry;
    buf->mail = put(u.mail);
}

// ---------------------------------------------------------------- winbind

// Runs the winbind client with one option and one argument, the argument
// escaped into a single shell word, and collects the lines of its output
// (without line ends). False when the pipe cannot be opened or the client
// fails.
bool Wbinfo(const char *func, const char *option, const std::string &argument,
            std::vector<std::string> &lines) {
    std::string word(argument.size() * 3 + 3, '\0');
    if (SLIBStrEncodeParam(argument.c_str(), word.data(), static_cast<int>(word.size())) != 0)
        return false;
    const std::string cmd = std::string(SZ_WBINFO) + " " + option + " " + word.c_str();
    FILE *fp = popen(cmd.c_str(), "re");
    if (!fp) {
        SLIBLog(LOG_ERR, "%s(%d) :%s fail\n", func, __LINE__, cmd.c_str());
        return false;
    }
    char *text = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&text, &cap, fp)) >= 0) {
        std::string_view l(text, static_cast<size_t>(n));
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.remove_suffix(1);
        lines.emplace_back(l);
    }
    free(text);
    int status = pclose(fp);
    return status == 0;
}

// An id answer: the whole first line, a number from 1 on.
int ParseId(const std::vector<std::string> &lines) {
    std::string line = lines.front();
    SLIBStrTrimSpace(line.data(), nullptr);
    long long id;
    if (!ParseWhole(line.c_str(), 1, INT_MAX, id)) return -1;
    return static_cast<int>(id);
}

// Splits DOMAIN\user: the domain is the first non-empty piece between
// backslashes, the user what follows the first backslash.
bool SplitDomainName(const char *name, std::string &domain, std::string &user) {
    std::string_view n(name);
    size_t slash = n.find('\\');
    if (n.size() > kMaxDomainName || slash == std::string_view::npos) return false;
    std::string_view rest = n;
    while (!rest.empty()) {
        size_t cut = rest.find('\\');
        std::string_view piece = rest.substr(0, cut);
        if (!piece.empty()) {
            domain.assign(piece);
            break;
        }
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    if (domain.empty()) return false;
    user.assign(n.substr(slash + 1));
    return true;
}

}  // namespace

namespace {

int UserGet(int type, const char *name, QAVOUSER *buf, int size, int *needed,
            const sdk::AccountSnapshot *snap) {
    if (!name || type != QAVO_USER_LOCAL || !needed || (buf ? size < 1 : size != 0))
        return Fail(ERR_BAD_PARAMETERS);
    try {
        UserText u;
        {
            PasswdLock lock;
            if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
            if (ReadUser(name, u, snap) < 0) return -1;
        }
        const size_t total = sizeof(QAVOUSER) + u.name.size() + 1 + u.hash.size() + 1 +
                             u.gecos.size() + 1 + u.mail.size() + 1;
        if (total > INT_MAX) return Fail(ERR_OUT_OF_MEMORY);
        *needed = static_cast<int>(total);
        if (!buf) return 0;
        if (static_cast<size_t>(size) < total) return Fail(ERR_BUF_TOO_SMALL);
        Pack(u, buf, size);
        return 1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

}  // namespace

extern "C" int QAVOUserGet(uint32_t, int type, const char *name, QAVOUSER *buf, int size,
                           int *needed) {
    return UserGet(type, name, buf, size, needed, nullptr);
}

int sdk::AccountSnapshot::UserGet(const char *name, QAVOUSER *buf, int size, int *needed) const {
    return ::UserGet(QAVO_USER_LOCAL, name, buf, size, needed, this);
}

extern "C" int QAVOUserCheckExpired(const char *name) {
    if (!name) return -1;
    int needed = 0;
    if (QAVOUserGet(1, QAVO_USER_LOCAL, name, nullptr, 0, &needed) < 0) {
        if (SLIBErrGet() != ERR_NO_SUCH_USER)
            SLIBLog(LOG_ERR, "(%d) QAVOUserCheckExpired: %s ask size error.(%X)", __LINE__, name,
                    SLIBErrGet());
        return -1;
    }
    auto *user = static_cast<QAVOUSER *>(malloc(static_cast<size_t>(needed)));
    if (!user) {
        SLIBLog(LOG_ERR, "(%d):QAVOMAlloc %d failed.", __LINE__, needed);
        return -1;
    }
    std::unique_ptr<QAVOUSER, decltype(&free)> hold(user, &free);
    if (QAVOUserGet(1, QAVO_USER_LOCAL, name, user, needed, &needed) != 1) {
        SLIBLog(LOG_ERR, "(%d):QAVOMAlloc %d failed.", __LINE__, needed);
        return -1;
    }
    if (user->expiry <= 0) return 0;
    return BlQAVOIsExpiredDay(user->expiry);
}

extern "C" int BlQAVOIsExpiredDay(int day) {
    const time_t now = time(nullptr);
    tzset();
    // The account is valid through its whole expiry day in local time: it
    // expires at the local midnight that starts the next day.
    const time_t nextDayUtc = (static_cast<time_t>(day) + 1) * 86400;
    struct tm civil {};
    if (!gmtime_r(&nextDayUtc, &civil)) return 0;
    civil.tm_isdst = -1;
    const time_t midnight = mktime(&civil);
    if (midnight == static_cast<time_t>(-1)) {
        // Out of what the zone can convert: the offset in force now stands.
        struct tm local {};
        localtime_r(&now, &local);
        return nextDayUtc - local.tm_gmtoff <= now ? 1 : 0;
    }
    return midnight <= now ? 1 : 0;
}

extern "C" int BlQAVOGuestSupport(void) {
    char value[kCapBuf] = {};
    if (SLIBFileGetKeyValue(SZF_QAVOINFO_DEFAULTS, "guestsupport", value, sizeof value, 0) > 0 &&
        strcmp(value, "no") == 0)
        return 0;
    return 1;
}

extern "C" int BlQAVOAllowAnonymous(void) {
    return slib::DefaultIsYes("allowanonymous", kCapBuf) ? 1 : 0;
}

extern "C" int QAVOGetDUserSid(const char *name, char *buf, int size) {
    const char *slash = name ? strchr(name, '\\') : nullptr;
    if (!slash || !slash[1] || !buf || size < 2) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter\n");
        return -1;
    }
    try {
        std::vector<std::string> lines;
        if (!Wbinfo(__func__, "-n", slash + 1, lines) || lines.empty()) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get sid fail\n");
            return -1;
        }
        const std::string &line = lines.front();
        size_t start = line.find_first_not_of(" \t");
        size_t end = start == std::string::npos ? start : line.find_first_of(" \t", start);
        std::string sid = start == std::string::npos ? "" : line.substr(start, end - start);
        // A SID cut short would name another account.
        if (sid.empty() || sid.size() > static_cast<size_t>(size) - 2) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get sid fail\n");
            return -1;
        }
        memset(buf, 0, static_cast<size_t>(size));
        memcpy(buf, sid.data(), sid.size());
        return 0;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" int QAVOGetDUserUid(const char *name) {
    if (!name) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter\n");
        return -1;
    }
    char sid[kSidBuf];
    if (QAVOGetDUserSid(name, sid, sizeof sid) < 0) return -1;
    try {
        std::vector<std::string> lines;
        if (!Wbinfo(__func__, "-S", sid, lines) || lines.empty()) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get uid fail");
            return -1;
        }
        int uid = ParseId(lines);
        if (uid < 1) SLIB_LOG_FUNC(LOG_ERR, "%s(%d) error uid\n");
        return uid;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" int QAVOGetDUserGid(const char *name) {
    try {
        std::string domain, user;
        if (!name || !SplitDomainName(name, domain, user)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter\n");
            return -1;
        }
        std::vector<std::string> lines;
        bool ok = Wbinfo(__func__, "-r", domain + "\\" + user, lines);
        int gid = ok && !lines.empty() ? ParseId(lines) : -1;
        if (gid < 1) SLIB_LOG_FUNC(LOG_ERR, "%s(%d) error gid\n");
        return gid;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" int QAVOGetDUserGidList(const char *name, PSLIBSZHASH *gids) {
    try {
        std::string domain, user;
        if (!name || !gids || !*gids || !SplitDomainName(name, domain, user)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter\n");
            return -1;
        }
        std::vector<std::string> lines;
        if (!Wbinfo(__func__, "-r", domain + "\\" + user, lines)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) get gid list fail\n");
            return -1;
        }
        for (std::string &line : lines) {
            SLIBStrTrimSpace(line.data(), nullptr);
            const char *gid = line.c_str();
            if (!*gid) continue;
            if (SLIBSzHashSetValue(gids, gid, gid) < 0) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d) SLIBSzListPush fail");
                return -1;
            }
        }
        return 0;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

namespace {

struct DomainPw {
    struct passwd pw;
    char name[kNameBuf];
    char gecos[kNameBuf];
    char home[2];
    char shell[9];
};
DomainPw g_domainPw;

}  // namespace

extern "C" struct passwd *PpwGetDomainPwNam(const char *name) {
    if (!name || !*name) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) bad parameter");
        return nullptr;
    }
    int chars = SLIBUnicodeUTF8StrCountChar(name);
    if (chars < 0 || chars > kMaxUserNameChars) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) SLIBUnicodeUTF8StrCountChar fail");
        return nullptr;
    }
    DomainPw &rec = g_domainPw;
    CopyCut(rec.name, sizeof rec.name, name);
    CopyCut(rec.gecos, sizeof rec.gecos, name);
    strcpy(rec.home, "/");
    strcpy(rec.shell, "/bin/csh");
    rec.pw.pw_name = rec.name;
    rec.pw.pw_passwd = nullptr;
    // -1 (not found) is kept as it comes.
    rec.pw.pw_uid = static_cast<uid_t>(QAVOGetDUserUid(name));
    rec.pw.pw_gid = static_cast<gid_t>(QAVOGetDUserGid(name));
    rec.pw.pw_gecos = rec.gecos;
    rec.pw.pw_dir = rec.home;
    rec.pw.pw_shell = rec.shell;
    return &rec.pw;
}

extern "C" struct passwd *PpwSLIBGetPwNam(const char *name) {
    if (!name) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    switch (IsDomainUG(name)) {
        case 1:
            return PpwSLIBGetLocalSpNam(name);
        case 2:
            return PpwGetDomainPwNam(name);
        default:
            return nullptr;
    }
}
