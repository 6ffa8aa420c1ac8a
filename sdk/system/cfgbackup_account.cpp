// Configuration backup sections of the local accounts: users with their
// password hashes, groups with their members and descriptions, and the
// clean-up section that ends a restore of accounts.
#include <ctype.h>
#include <pwd.h>
#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string_view>
#include <string>
#include <unordered_map>
#include <vector>

#include "account_snapshot.h"
#include "cfgbackup.h"
#include "cfgbackup_util.h"
#include "group_batch.h"
#include "qavo_accfile.h"
#include "qavo_group.h"
#include "qavo_netbkp.h"
#include "qavo_user.h"
#include "qavo_userenum.h"
#include "sdk_userset.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_lock.h"
#include "slib_rewrite.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"
#include "stored_hashes.h"

using cfgbkp::BadFd;
using cfgbkp::Event;
using cfgbkp::Failed;
using cfgbkp::ReadStr;
using cfgbkp::Section;
using cfgbkp::Str;

namespace {

constexpr uint32_t kUserEx = 0x12100011, kUserIm = 0x12100012, kUserFull = 0x12100052;
constexpr uint32_t kGroupEx = 0x12100013, kGroupIm = 0x12100014, kGroupFull = 0x12100053;
constexpr const char *kShadow = "/etc/shadow";
constexpr const char *kSmbpasswd = "/usr/qavo/etc/private/smbpasswd";
constexpr size_t kLineMax = 1023;
constexpr size_t kHashLen = 32;
constexpr int kAdminGid = 100;
// Local users have uids from here on (the users the export lists); below
// are the system's own accounts.
constexpr uid_t kFirstLocalUid = 1024;

// Names the last user import created, consulted by the user-quota import
// of the same restore; released as each import ends.
std::set<std::string> gCreatedUsers;

// The local users' names; false on failure.
bool LocalUsers(std::vector<std::string> &names) {
    names.clear();
    PSLIBSZLIST list = PslSLIBSzListAlloc(1024);
    if (list == nullptr) return false;
    const int r = SDKIUserListGet(QAVO_USER_ENUM_LOCAL, &list);
    slib::SzListPtr hold(list);  // the push may have moved the list
    if (r < 0) return false;
    for (int i = 0; i < list->nItem; ++i)
        names.emplace_back(list->pszItem[i]);
    return true;
}

std::vector<std::string> Split(const std::string &line, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t end = line.find(sep, start);
        out.push_back(
            line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

std::string Join(const std::vector<std::string> &fields, char sep) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += sep;
        out += fields[i];
    }
    return out;
}

// The line of path that begins with "name:", without its line break; false
// when absent, unreadable or longer than kLineMax.
bool UserLine(const char *path, const std::string &name, std::string &line) {
    char buf[kLineMax + 2];
    const std::string key = name + ":";
    const int r = SLIBFileGetLine(path, key.c_str(), buf, sizeof buf, SLIB_LINE_PREFIX);
    if (r <= 0) {
        SLIBLog(LOG_ERR, "%s(%d), file get line with key [%s] error", __func__, __LINE__,
                key.c_str());
        return false;
    }
    line = buf;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return true;
}

bool SetUserLine(const char *path, const std::string &name, const std::string &line) {
    const std::string key = name + ":";
    if (SLIBFileSetLine(path, key.c_str(), line.c_str(), SLIB_LINE_PREFIX) < 0) {
        SLIBLog(LOG_ERR, "(%d) SLIBFileSetLine %s failed.\n", __LINE__, path);
        return false;
    }
    return true;
}

// A shadow hash that cannot add fields or lines to "/etc/shadow": printable
// ASCII, as every crypt form and lock mark is. Other bytes would also hide
// the user's line from the account readers, which go through the Unicode
// layer.
bool SafeShadowHash(const char *h) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(h); *p; ++p)
        if (*p == ':' || *p < 0x20 || *p >= 0x7F) return false;
    return true;
}

// An smbpasswd hash: 32 hexadecimal digits, 32 "X" (no hash) or
// "NO PASSWORD" filled up with "X" to 32 characters.
bool SafeSmbHash(const char *h) {
    if (strlen(h) != kHashLen) return false;
    bool hex = true, xs = true;
    for (size_t i = 0; i < kHashLen; ++i) {
        hex = hex && isxdigit(static_cast<unsigned char>(h[i]));
        xs = xs && h[i] == 'X';
    }
    if (hex || xs) return true;
    constexpr const char *kNoPass = "NO PASSWORD";
    if (strncmp(h, kNoPass, strlen(kNoPass)) != 0) return false;
    for (size_t i = strlen(kNoPass); i < kHashLen; ++i)
        if (h[i] != 'X') return false;
    return true;
}

// Rewrites the user's two smbpasswd hashes.
bool SetSmbHashes(const char *name, const char *lm, const char *nt) {
    std::string line;
    if (!UserLine(kSmbpasswd, name, line)) return false;
    std::vector<std::string> f = Split(line, ':');
    if (f.size() != 7) {
        SLIBLog(LOG_ERR, "%s(%d), SLIBStrSep failed", __func__, __LINE__);
        return false;
    }
    f[2] = lm;
    f[3] = nt;
    return SetUserLine(kSmbpasswd, name, Join(f, ':'));
}

// Rewrites the user's shadow hash.
bool SetShadowHash(const char *name, const char *hash) {
    std::string line;
    if (!UserLine(kShadow, name, line)) return false;
    std::vector<std::string> f = Split(line, ':');
    if (f.size() != 9) {
        SLIBLog(LOG_ERR, "%s(%d), SLIBStrSep failed", __func__, __LINE__);
        return false;
    }
    f[1] = hash;
    return SetUserLine(kShadow, name, Join(f, ':'));
}

// Rewrites the user's smbpasswd hashes and shadow hash.
bool ResetPasswd(const char *name, const char *shadow, const char *lm, const char *nt) {
    if (!name || !shadow || !lm || !nt) {
        BKP_LOG("parameter failed");
        return false;
    }
    return SetSmbHashes(name, lm, nt) && SetShadowHash(name, shadow);
}

// Leaves a user written from a file whose hashes could not all be put in
// place without a working password, rather than with a password that is
// not the one the file holds. Each file on its own, so that a user without
// an SMB line is still locked in "/etc/shadow".
void LockUser(const char *name) {
    const std::string none(kHashLen, 'X');
    SetSmbHashes(name, none.c_str(), none.c_str());
    if (!SetShadowHash(name, "!")) BKP_LOG("cannot lock user [%s]", name);
}

// remaining = limit - current, the limit being the key's decimal number or
// the current number when the key is empty; false when unreadable.
bool Remaining(const char *key, int current, int *remaining) {
    char value[32] = "";
    if (SLIBFileGetKeyValue(slib::kQavoinfoDefaults, key, value, sizeof value, 0) < 0) return false;
    const int limit = value[0] ? atoi(value) : current;
    *remaining = limit > current ? limit - current : 0;
    return true;
}

}  // namespace

namespace cfgbkp {

void ReleaseCreatedUsers() {
    gCreatedUsers.clear();
}

bool IsCreatedUser(const char *name) {
    return gCreatedUsers.count(name) != 0;
}

}  // namespace cfgbkp

namespace {

// The user's record written to fd, its lines looked up in the files or in
// accounts when there is a snapshot.
int WriteUserData(const char *name, int fd, const sdk::AccountSnapshot *accounts) {
    if (name == nullptr || BadFd(fd)) return -1;
    auto get = [&](QAVOUSER *buf, int size, int *need) {
        return accounts ? accounts->UserGet(name, buf, size, need)
                        : QAVOUserGet(0, 1, name, buf, size, need);
    };
    int need = 0;
    if (get(nullptr, 0, &need) != 0 || need <= 0) {
        BKP_LOG("fail to get size of user data");
        return -1;
    }
    std::vector<char *> buf((static_cast<size_t>(need) + sizeof(char *) - 1) / sizeof(char *));
    auto *u = reinterpret_cast<QAVOUSER *>(buf.data());
    if (get(u, need, &need) != 1) {
        BKP_LOG("fail to get user data");
        return -1;
    }
    std::string line;
    if (!UserLine(kSmbpasswd, name, line)) return -1;
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() != 7) {
        SLIBLog(LOG_ERR, "%s(%d), SLIBStrSep failed", __func__, __LINE__);
        return -1;
    }
    if (QAVOSysbkpIWriteString(fd, u->name) != 0 || QAVOSysbkpIWriteString(fd, u->password) != 0 ||
        QAVOSysbkpIWriteString(fd, u->description) != 0 ||
        QAVOSysbkpIWriteString(fd, f[2].c_str()) != 0 ||
        QAVOSysbkpIWriteString(fd, f[3].c_str()) != 0 || QAVOSysbkpIWriteLong(fd, u->expiry) != 0 ||
        QAVOSysbkpIWriteString(fd, u->mail) != 0) {
        BKP_LOG("fail to write user data");
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int QAVOSysbkpIWriteUserData(const char *name, int fd) {
    return WriteUserData(name, fd, nullptr);
}

extern "C" int QAVOSysbkpUserExport(int fd) {
    if (BadFd(fd)) return -1;
    std::vector<std::string> users;
    if (!LocalUsers(users)) return BKP_LOG("fail to enumerate all users"), Failed(kUserEx);
    Section sec(fd, QAVOSYSBKP_ID_USER);
    if (!sec.Ok()) return Failed(kUserEx);
    if (QAVOSysbkpIWriteLong(fd, static_cast<long>(users.size())) != 0) {
        BKP_LOG("fail to write total number of user[%ld]", static_cast<long>(users.size()));
        return Failed(kUserEx);
    }
    // The users are looked up in the account files read once.
    sdk::AccountSnapshot accounts;
    const sdk::AccountSnapshot *read = accounts.Load() ? &accounts : nullptr;
    for (const std::string &u : users)
        if (WriteUserData(u.c_str(), fd, read) != 0) return Failed(kUserEx);
    return sec.Finish() ? 0 : Failed(kUserEx);
}

extern "C" int QAVOSysbkpIGetUserSetting(int fd, QAVOUSERSET *out, char **lm, char **nt) {
    if (out == nullptr || lm == nullptr || nt == nullptr || BadFd(fd)) return -1;
    *out = QAVOUSERSET{};
    *lm = *nt = nullptr;
    Str name, pass, full, h1, h2, mail;
    long expire = 0;
    if (!ReadStr(fd, name)) return BKP_LOG("fail to read user name"), -1;
    if (!ReadStr(fd, pass)) return BKP_LOG("fail to read user password"), -1;
    if (!ReadStr(fd, full)) return BKP_LOG("fail to read user fullname"), -1;
    if (!ReadStr(fd, h1)) return BKP_LOG("fail to read smb pass1"), -1;
    if (!ReadStr(fd, h2)) return BKP_LOG("fail to read smb pass2"), -1;
    if (QAVOSysbkpIReadLong(fd, &expire) != 0) return BKP_LOG("fail to read user expire info"), -1;
    if (!ReadStr(fd, mail)) return BKP_LOG("fail to read user mail"), -1;
    char *oldName = strdup(name.get());
    if (oldName == nullptr) return -1;
    out->nType = 1;
    out->szOldName = oldName;
    out->szName = name.release();
    out->szPasswd = pass.release();
    out->szDesc = full.release();
    out->nExpire = static_cast<int>(expire);
    out->szMail = mail.release();
    *lm = h1.release();
    *nt = h2.release();
    return 0;
}

namespace {

void FreeUserSetting(QAVOUSERSET &u, char *lm, char *nt) {
    free(u.szOldName);
    free(u.szName);
    free(u.szPasswd);
    free(u.szDesc);
    free(u.szMail);
    free(lm);
    free(nt);
    u = QAVOUSERSET{};
}

}  // namespace

namespace {

// Users decided on but not yet written: the import writes them as one user
// transaction, so that the account files are rewritten once per batch
// instead of once per user. The transaction gives the new users their uids
// in the batch's order, which is the file's, as writing them one by one
// does: the files on the volumes are owned by those uids. A batch is
// bounded, and it is written before a decision that depends on what it
// does: a name it already holds, or the capacity once its new users would
// use the rest of it.
constexpr size_t kBatch = 10000;

struct PendingUser {
    QAVOUSERSET u{};
    char *lm = nullptr, *nt = nullptr;
    bool created = false;
    PendingUser() = default;
    PendingUser(const PendingUser &) = delete;
    PendingUser &operator=(const PendingUser &) = delete;
    PendingUser(PendingUser &&o) noexcept : u(o.u), lm(o.lm), nt(o.nt), created(o.created) {
        o.u = QAVOUSERSET{};
        o.lm = o.nt = nullptr;
    }
    ~PendingUser() { FreeUserSetting(u, lm, nt); }
};

// The lines of a text by the name before their first ':', the first line of
// each name only, for finding a user's line as a search from the top for
// "name:" would.
class LineIndex {
  public:
    explicit LineIndex(std::string_view text) : text_(text) {
        for (size_t pos = 0; pos < text.size();) {
            const size_t nl = text.find('\n', pos);
            if (nl == std::string_view::npos) break;  // a last line without its break
            const size_t colon = text.substr(pos, nl - pos).find(':');
            if (colon != std::string_view::npos)
                first_.emplace(text.substr(pos, colon), Line{pos, nl - pos});
            pos = nl + 1;
        }
    }

    // The line of text that begins with key ("name:") and the offset of its
    // start; false when there is none or it is not one the batch may rewrite
    // itself (too long for the single-user path's buffer, without its line
    // break, or holding a carriage return): such a user keeps the single-user
    // path and its messages.
    bool PlainLineAt(const std::string &key, size_t &at, size_t &len) const {
        const std::string_view name(key.data(), key.size() - 1);
        if (name.find(':') != std::string_view::npos) return false;  // no field's name
        auto it = first_.find(name);
        if (it == first_.end()) return false;
        at = it->second.at;
        len = it->second.len;
        return len <= kLineMax && text_.substr(at, len).find('\r') == std::string_view::npos;
    }

  private:
    struct Line {
        size_t at, len;
    };
    std::string_view text_;
    std::unordered_map<std::string_view, Line> first_;
};

// Makes sure the users just written hold their stored hashes (each user's
// smbpasswd fields 3 and 4 and shadow field 2, as ResetPasswd sets them):
// the transaction wrote them, so the files are read and only rewritten,
// once each, when a line still differs. A user whose two lines are not
// plain, and all of them when the files cannot be rewritten, go through
// ResetPasswd one at a time. ok[i] tells whether user i has its hashes.
void RestoreHashes(const std::vector<PendingUser *> &users, std::vector<bool> &ok) {
    ok.assign(users.size(), false);
    std::vector<bool> single(users.size(), true);
    {
        slib::CheckedLock lock(SLIB_LOCK_PW | SLIB_LOCK_SMB, SLIB_LOCK_EX, 5);
        slib::Input smb, shadow;
        if (lock.Held() && smb.Read(kSmbpasswd) == slib::Input::kRead && !smb.IsDirectory() &&
            shadow.Read(kShadow) == slib::Input::kRead && !shadow.IsDirectory()) {
            // Offset of a line -> its new text, for each file.
            std::map<size_t, std::pair<size_t, std::string>> smbEdits, shadowEdits;
            std::vector<size_t> batch;
            std::set<size_t> smbSeen, shadowSeen;
            const LineIndex smbLines(smb.Text()), shadowLines(shadow.Text());
            for (size_t i = 0; i < users.size(); ++i) {
                const QAVOUSERSET &u = users[i]->u;
                const std::string key = std::string(u.szName) + ":";
                size_t sa = 0, sl = 0, ha = 0, hl = 0;
                if (key[0] == '#' || key[0] == ';' || !smbLines.PlainLineAt(key, sa, sl) ||
                    !shadowLines.PlainLineAt(key, ha, hl) || smbSeen.count(sa) ||
                    shadowSeen.count(ha))
                    continue;
                std::vector<std::string> sf = Split(std::string(smb.Text().substr(sa, sl)), ':');
                std::vector<std::string> hf = Split(std::string(shadow.Text().substr(ha, hl)), ':');
                if (sf.size() != 7 || hf.size() != 9) continue;
                smbSeen.insert(sa);
                shadowSeen.insert(ha);
                batch.push_back(i);
                if (sf[2] == users[i]->lm && sf[3] == users[i]->nt && hf[1] == u.szPasswd) continue;
                sf[2] = users[i]->lm;
                sf[3] = users[i]->nt;
                hf[1] = u.szPasswd;
                smbEdits[sa] = {sl, Join(sf, ':')};
                shadowEdits[ha] = {hl, Join(hf, ':')};
            }
            auto edited = [](std::string_view text,
                             const std::map<size_t, std::pair<size_t, std::string>> &edits) {
                std::string out;
                out.reserve(text.size() + 64 * edits.size());
                size_t pos = 0;
                for (const auto &[at, e] : edits) {
                    out.append(text.substr(pos, at - pos));
                    out += e.second;
                    pos = at + e.first;
                }
                out.append(text.substr(pos));
                return out;
            };
            slib::RewriteSet set;
            const bool same = smbEdits.empty();
            FILE *smbOut = batch.empty() || same ? nullptr : set.Open(kSmbpasswd, smb.Stat());
            FILE *shadowOut = smbOut ? set.Open(kShadow, shadow.Stat()) : nullptr;
            if ((same && !batch.empty()) ||
                (shadowOut && slib::WriteAll(smbOut, edited(smb.Text(), smbEdits)) &&
                 slib::WriteAll(shadowOut, edited(shadow.Text(), shadowEdits)) && set.Commit())) {
                for (size_t i : batch) {
                    single[i] = false;
                    ok[i] = true;
                }
            }
        }
    }
    for (size_t i = 0; i < users.size(); ++i)
        if (single[i])
            ok[i] =
                ResetPasswd(users[i]->u.szName, users[i]->u.szPasswd, users[i]->lm, users[i]->nt);
}

// Writes users through the user transaction with their stored hashes: all
// of them at once, and when the transaction refuses that, each half on its
// own, down to the single user, whose refusal costs only itself. written[i]
// tells whether user i was written.
void WriteUsers(PendingUser *users, size_t n, std::vector<bool>::iterator written,
                const sdk::StoredHashes &hashes) {
    if (n == 0) return;
    if (n > 1) {
        std::vector<QAVOUSERSET> recs;
        recs.reserve(n);
        for (size_t i = 0; i < n; ++i)
            recs.push_back(users[i].u);
        if (sdk::UserSetWithHashes(recs.data(), static_cast<int>(n), hashes) ==
            static_cast<int>(n)) {
            std::fill(written, written + static_cast<long>(n), true);
            return;
        }
        WriteUsers(users, n / 2, written, hashes);
        WriteUsers(users + n / 2, n - n / 2, written + static_cast<long>(n / 2), hashes);
        return;
    }
    if (sdk::UserSetWithHashes(&users->u, 1, hashes) < 0) {
        BKP_LOG("QAVOUserSet() failed");
        return;
    }
    *written = true;
}

// Writes a batch of users and puts their hashes in place, with the results,
// messages and capacity count of writing them one by one: remaining drops by
// one for each user created and given its hashes.
void ApplyUsers(std::vector<PendingUser> &batch, int &remaining, bool &failed) {
    std::vector<bool> written(batch.size(), false);
    sdk::StoredHashes hashes;
    for (const PendingUser &p : batch)
        hashes[p.u.szName] = {p.u.szPasswd, p.lm, p.nt};
    // The backup server's accounts follow a change of such a user after the
    // transaction has replaced the files, so a failure there reports a batch
    // as failed that was written: those users go alone.
    size_t from = 0;
    for (size_t i = 0; i <= batch.size(); ++i) {
        if (i < batch.size() && !BlQAVONetBkpIsAuthUser(batch[i].u.szName)) continue;
        WriteUsers(batch.data() + from, i - from, written.begin() + static_cast<long>(from),
                   hashes);
        if (i < batch.size())
            WriteUsers(&batch[i], 1, written.begin() + static_cast<long>(i), hashes);
        from = i + 1;
    }
    std::vector<PendingUser *> done;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (written[i])
            done.push_back(&batch[i]);
        else
            failed = true;
    }
    std::vector<bool> ok;
    RestoreHashes(done, ok);
    for (size_t i = 0; i < done.size(); ++i) {
        PendingUser &p = *done[i];
        if (!ok[i]) {
            BKP_LOG("QAVOImportUserResetPasswd for user [%s] failed", p.u.szName);
            // The user's lines do not hold the file's hashes: lock it.
            LockUser(p.u.szName);
            failed = true;
        } else if (p.created) {
            gCreatedUsers.insert(p.u.szName);
            --remaining;
        }
    }
    batch.clear();
}

// A name as the account code tells names apart: upper-cased; empty when it
// cannot be.
std::string NameKey(const char *name) {
    char key[SDKI_USER_KEY_SIZE];
    const int n = SLIBUnicodeUTF8StrUpper(name, key, sizeof key);
    if (n < 0 || n >= static_cast<int>(sizeof key)) return "";
    return key;
}

}  // namespace

extern "C" int QAVOSysbkpUserImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    std::vector<std::string> users;
    int remaining = 0;
    if (!LocalUsers(users) ||
        !Remaining("maxaccounts", static_cast<int>(users.size()), &remaining)) {
        BKP_LOG("fail to get maxaccount");
        return Failed(kUserIm);
    }
    long count = 0;
    if (QAVOSysbkpIReadLong(fd, &count) != 0)
        return BKP_LOG("fail to read number of user"), Failed(kUserIm);
    gCreatedUsers.clear();
    bool failed = false;
    std::vector<PendingUser> batch;
    std::set<std::string> batchKeys;
    // The capacity left once the batch is written, as long as all of it is
    // written; a failure in it only leaves more.
    int left = remaining;
    // The decisions look the users up in the account files read once, read
    // again after each batch is written.
    sdk::AccountSnapshot accounts;
    bool current = false;
    auto lookUp = [&](const char *n) {
        if (!current) current = accounts.Load();
        return current ? accounts.LocalPwNam(n) : PpwSLIBGetLocalPwNam(n);
    };
    auto flush = [&]() {
        if (!batch.empty()) current = false;
        ApplyUsers(batch, remaining, failed);
        batchKeys.clear();
        left = remaining;
    };
    for (long i = 0; i < count; ++i) {
        PendingUser p;
        if (QAVOSysbkpIGetUserSetting(fd, &p.u, &p.lm, &p.nt) != 0) {
            flush();
            return Failed(kUserIm);
        }
        QAVOUSERSET &u = p.u;
        const std::string name = u.szName;
        if (name == "admin") continue;  // the administrator is never restored
        if (!SafeShadowHash(u.szPasswd) || !SafeSmbHash(p.lm) || !SafeSmbHash(p.nt)) {
            BKP_LOG("refuse the hashes of user [%s]", name.c_str());
            failed = true;
            continue;
        }
        // A name the batch holds already is looked up after it is written.
        const std::string key = NameKey(name.c_str());
        if (key.empty() || batchKeys.count(key) || batch.size() >= kBatch) flush();
        bool write = false;
        const struct passwd *pw = lookUp(name.c_str());
        if (pw == nullptr) {
            if (left <= 0 && !batch.empty()) {
                flush();
                pw = lookUp(name.c_str());
            }
        }
        if (pw == nullptr) {
            if (left > 0) {
                free(u.szOldName);
                u.szOldName = nullptr;
                write = p.created = true;
                --left;
            } else {
                BKP_LOG("encounter the condition that user capacity limit = 0");
                Event(kUserFull, name.c_str());
                failed = true;
            }
        } else if (pw->pw_uid < kFirstLocalUid) {
            // The system's own accounts (root and the like) are no users of
            // a backup: never restored, like the administrator.
            BKP_LOG("skip the system account [%s]", name.c_str());
        } else if (overwrite == 1) {
            write = true;
        }
        if (write) {
            if (!key.empty()) batchKeys.insert(key);
            batch.push_back(std::move(p));
        }
    }
    flush();
    return failed ? Failed(kUserIm) : 0;
}

extern "C" int QAVOSysbkpGroupExport(int fd) {
    if (BadFd(fd)) return -1;
    const int total = QAVOGroupTotalNum(QAVO_GROUP_FLAG_LOCAL);
    if (total < 1)
        return BKP_LOG("QAVOGroupTotalNum return err, errno =%d", SLIBErrGet()), Failed(kGroupEx);
    int need = 0;
    if (QAVOGroupEnum(QAVO_GROUP_FLAG_LOCAL, 0, nullptr, 0, &need) < 0 || need <= 0)
        return BKP_LOG("get no group?  cbAlloc is 0"), Failed(kGroupEx);
    std::vector<char *> buf((static_cast<size_t>(need) + sizeof(char *) - 1) / sizeof(char *));
    const int n = QAVOGroupEnum(QAVO_GROUP_FLAG_LOCAL, 0, buf.data(), need, &need);
    if (n < 0) return BKP_LOG("QAVOGroupEnum return failed"), Failed(kGroupEx);
    Section sec(fd, QAVOSYSBKP_ID_GROUP);
    if (!sec.Ok()) return Failed(kGroupEx);
    if (QAVOSysbkpIWriteLong(fd, n) != 0)
        return BKP_LOG("fail to write group number count[%d]", n), Failed(kGroupEx);
    struct Group {
        std::string name;
        int gid;
        std::vector<std::string> members;
    };
    std::vector<Group> groups;
    // The groups are looked up in the group file read once.
    sdk::AccountSnapshot accounts;
    const bool loaded = accounts.Load();
    for (int i = 0; i < n; ++i) {
        Group grp{buf[static_cast<size_t>(i)], 0, {}};
        QAVOGROUPENTRY *g = loaded ? accounts.LocalGrName(grp.name.c_str())
                                   : PgrpSLIBGetLocalGrName(grp.name.c_str());
        if (g == nullptr) return BKP_LOG("call IMSIWriteGroup return non 0"), Failed(kGroupEx);
        grp.gid = g->gid;
        std::vector<std::string> all;
        for (char **m = g->members; m && *m; ++m)
            all.emplace_back(*m);
        // The first and the last entry are the "nobody" frame.
        for (size_t k = 1; k + 1 < all.size(); ++k)
            grp.members.push_back(all[k]);
        groups.push_back(std::move(grp));
    }
    // In the order of their gids, so that a restore creates them in the
    // order they were made.
    std::sort(groups.begin(), groups.end(),
              [](const Group &a, const Group &b) { return a.gid < b.gid; });
    for (const Group &grp : groups) {
        const std::string &name = grp.name;
        const int gid = grp.gid;
        const std::vector<std::string> &members = grp.members;
        char desc[492] = "";
        int dneed = 0;
        if (QAVOGroupGetDesc(name.c_str(), desc, sizeof desc, &dneed) != 1) {
            BKP_LOG("QAVOGroupGetDesc failed for [%s].(%X)", name.c_str(), SLIBErrGet());
            desc[0] = '\0';
        }
        bool ok = QAVOSysbkpIWriteLong(fd, 1) == 0 &&
                  QAVOSysbkpIWriteString(fd, name.c_str()) == 0 &&
                  QAVOSysbkpIWriteLong(fd, gid) == 0 && QAVOSysbkpIWriteString(fd, desc) == 0 &&
                  QAVOSysbkpIWriteLong(fd, static_cast<long>(members.size())) == 0;
        for (size_t k = 0; ok && k < members.size(); ++k)
            ok = QAVOSysbkpIWriteString(fd, members[k].c_str()) == 0;
        if (!ok) return BKP_LOG("call IMSIWriteGroup return non 0"), Failed(kGroupEx);
    }
    return sec.Finish() ? 0 : Failed(kGroupEx);
}

namespace {

// A new group read from the file, waiting to be added with the others of
// its batch.
struct PendingGroup {
    std::string name, desc;
    std::vector<std::string> members;
};

// Adds a batch of new groups with one write of the group file, then gives
// each its description, with the results and messages of adding them one
// by one: remaining drops by one for each group added.
void AddGroups(std::vector<PendingGroup> &batch, int &remaining, bool &failed) {
    if (batch.empty()) return;
    std::vector<std::vector<const char *>> arrs;
    std::vector<const char *const *> groups;
    arrs.reserve(batch.size());
    for (const PendingGroup &p : batch) {
        std::vector<const char *> arr{p.name.c_str()};
        for (const std::string &m : p.members)
            arr.push_back(m.c_str());
        arr.push_back(nullptr);
        arrs.push_back(std::move(arr));
        groups.push_back(arrs.back().data());
    }
    std::vector<int> results(batch.size(), -1);
    GROUPIAddLocalGroups(groups.data(), static_cast<int>(groups.size()), results.data());
    for (size_t i = 0; i < batch.size(); ++i) {
        const PendingGroup &p = batch[i];
        if (results[i] != 1) {
            BKP_LOG("fail from QAVOGroupSet, adding [%s]", p.name.c_str());
            failed = true;
            continue;
        }
        --remaining;
        // A new group without a description needs no entry.
        if (!p.desc.empty() && QAVOGroupSetDesc(p.name.c_str(), p.desc.c_str()) != 0) {
            BKP_LOG("fail from QAVOGroupSetDesc, setting [%s]", p.name.c_str());
            failed = true;
        }
    }
    batch.clear();
}

}  // namespace

extern "C" int QAVOSysbkpGroupImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    const int current = QAVOGroupTotalNum(QAVO_GROUP_FLAG_LOCAL);
    int remaining = 0;
    if (current < 0 || !Remaining("maxgroups", current, &remaining))
        return BKP_LOG("fail to get limit"), Failed(kGroupIm);
    long count = 0;
    if (QAVOSysbkpIReadLong(fd, &count) != 0)
        return BKP_LOG("fail to read number of group"), Failed(kGroupIm);
    bool failed = false;
    // New groups are added in batches (bounded, and added before a decision
    // that depends on them: a name the batch holds, or the capacity once its
    // groups would use the rest of it).
    std::vector<PendingGroup> batch;
    std::set<std::string> batchKeys;
    int left = remaining;
    // The decisions look the groups up in the group file read once, read
    // again after each write.
    sdk::AccountSnapshot accounts;
    bool fresh = false;
    auto lookUp = [&](const char *n) {
        if (!fresh) fresh = accounts.Load();
        return fresh ? accounts.LocalGrName(n) : PgrpSLIBGetLocalGrName(n);
    };
    auto flush = [&]() {
        if (!batch.empty()) fresh = false;
        AddGroups(batch, remaining, failed);
        batchKeys.clear();
        left = remaining;
    };
    for (long i = 0; i < count; ++i) {
        long type = 0, gid = 0, nMembers = 0;
        Str name, desc;
        std::vector<std::string> members;
        bool read = QAVOSysbkpIReadLong(fd, &type) == 0 && ReadStr(fd, name) &&
                    QAVOSysbkpIReadLong(fd, &gid) == 0 && ReadStr(fd, desc) &&
                    QAVOSysbkpIReadLong(fd, &nMembers) == 0 && nMembers >= 0;
        for (long k = 0; read && k < nMembers; ++k) {
            Str m;
            read = ReadStr(fd, m);
            if (read) members.emplace_back(m.get());
        }
        if (!read) {
            // The bytes after a failed item are no longer aligned: reading
            // on would make groups out of stray bytes.
            BKP_LOG("fail to read number of group");
            failed = true;
            break;
        }
        if (gid == kAdminGid) continue;
        const std::string key = NameKey(name.get());
        if (key.empty() || batchKeys.count(key) || batch.size() >= kBatch) flush();
        QAVOGROUPENTRY *g = lookUp(name.get());
        if (g == nullptr && left < 1 && !batch.empty()) {
            flush();
            g = lookUp(name.get());
        }
        const bool exists = g != nullptr;
        // Only what an export writes comes back: the local groups (gid
        // 65536 and above). A file never creates, changes or fills a system
        // group (root, the mail group smmsp, any low gid).
        if (gid < QAVO_GID_FIRST || (exists && g->gid < QAVO_GID_FIRST) ||
            strcasecmp(name.get(), SZ_SMMSP_GROUP) == 0) {
            SLIBLog(LOG_ERR, "%s(%d): group [%s] (gid %ld) is no local group, skipped", __func__,
                    __LINE__, name.get(), gid);
            continue;
        }
        const std::string existingName = exists ? g->name : "";
        if (exists && !overwrite) continue;
        if (!exists) {
            if (left < 1) {
                SLIBLog(LOG_ERR, "while group[%s] importing, count exceed [%d]", name.get(),
                        remaining);
                Event(kGroupFull, name.get());
                failed = true;
                continue;
            }
            --left;
            if (!key.empty()) batchKeys.insert(key);
            batch.push_back({name.get(), desc.get(), std::move(members)});
            continue;
        }
        flush();
        std::vector<const char *> arr{existingName.c_str()};
        for (const std::string &m : members)
            arr.push_back(m.c_str());
        arr.push_back(nullptr);
        fresh = false;
        if (QAVOGroupSet(QAVO_GROUP_FLAG_LOCAL, 1, existingName.c_str(), arr.data()) != 1) {
            BKP_LOG("fail from QAVOGroupSet, setting [%s]", name.get());
            failed = true;
            continue;
        }
        if (QAVOGroupSetDesc(arr[0], desc.get()) != 0) {
            BKP_LOG("fail from QAVOGroupSetDesc, setting [%s]", arr[0]);
            failed = true;
        }
    }
    flush();
    return failed ? Failed(kGroupIm) : 0;
}

extern "C" int QAVOSysbkpCleanupExport(int) {
    return 0;
}

extern "C" int QAVOSysbkpCleanupImport(int, int, int) {
    cfgbkp::ReleaseCreatedUsers();
    return 0;
}
