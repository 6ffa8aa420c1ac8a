// Local groups, their descriptions, the smmsp member list, gid allocation
// and domain group membership.
#include "qavo_group.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "account_snapshot.h"
#include "group_batch.h"
#include "qavo_user.h"
#include "sdk_listedit.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_lock.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_unicode.h"
#include "slib_util.h"
#include "slib_validate.h"
#include "windomain_util.h"

namespace {

using slib::Fail;

constexpr int kLockTimeout = 5;
constexpr uint32_t kAllGroupFlags = QAVO_GROUP_FLAG_LOCAL | QAVO_GROUP_FLAG_DOMAIN;

// Named locks held for one operation (the request's lock bits and mode);
// a failed unlock is reported as 0x0500, on every path.
struct Locks : slib::ScopedLock {
    explicit Locks(SLIBLOCKREQ req)
        : ScopedLock(req & ~static_cast<uint32_t>(SLIB_LOCK_OPMASK),
                     req & static_cast<uint32_t>(SLIB_LOCK_OPMASK), kLockTimeout) {}
    ~Locks() { Release(); }
    Locks(const Locks &) = delete;
    Locks &operator=(const Locks &) = delete;
    // 0, or -1 with 0x0500 when the release failed.
    int Release() { return ScopedLock::Release() ? 0 : Fail(ERR_UNLOCK_FAILED); }
};

template <typename F>
int Guard(const char *func, F &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "qavogrp: %s(): malloc() failed", func);
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

struct PasswdEntry {
    std::string name;
    gid_t gid;
};

// Every entry of /etc/passwd as the platform's parser reads it; false with
// 0x0900 when the file cannot be opened.
bool ReadPasswd(std::vector<PasswdEntry> &out) {
    slib::FilePtr fp(fopen(SZF_PASSWD, "re"));
    if (!fp) {
        SLIBErrSet(ERR_OPEN_FAILED);
        return false;
    }
    struct passwd *pw;
    while ((pw = fgetpwent(fp.get())) != nullptr)
        out.push_back({pw->pw_name, pw->pw_gid});
    return true;
}

bool IsNobody(std::string_view s) {
    return s.size() == 6 && strncasecmp(s.data(), "nobody", 6) == 0;
}

// Text that cannot add fields or lines to a line file: no control
// character, and none of the extra characters given.
bool PlainText(const char *s, const char *extra = "") {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p)
        if (*p < 0x20 || *p == 0x7F || strchr(extra, *p)) return false;
    return true;
}

std::vector<std::string> Split(std::string_view s, char sep) {
    std::vector<std::string> out;
    for (;;) {
        size_t pos = s.find(sep);
        out.emplace_back(s.substr(0, pos));
        if (pos == std::string_view::npos) return out;
        s.remove_prefix(pos + 1);
    }
}

// The group line in its plain or extended form.
std::string GroupLine(const std::string &name, int gid, const std::string &members) {
    std::string line = name + ":x:" + std::to_string(gid) + ":nobody,";
    if (!members.empty()) line += members + ',';
    return line + "nobody";
}

// Lays out a name list in the enumeration buffer form: pointer array closed
// by NULL, strings packed from the end. *needed is the size the layout
// takes; false (0x0100) when it exceeds size.
bool LayOut(const std::vector<std::string> &names, char **buf, int size, int *needed) {
    const size_t need = slib::PackedSize(names);
    *needed = need > INT_MAX ? INT_MAX : static_cast<int>(need);
    if (!buf) return true;
    if (need > static_cast<size_t>(size)) return false;
    slib::PackTexts(names, buf, size);
    return true;
}

// The keys' values of a hash in its enumeration order.
bool HashValues(PSLIBSZHASH hash, std::vector<std::string> &out) {
    slib::SzListPtr keys(PslSLIBSzListAlloc(1024));
    if (!keys) return false;
    PSLIBSZLIST l = keys.release();
    int n = SLIBSzHashEnumKey(hash, &l);
    keys.reset(l);
    if (n < 0) return false;
    for (int i = 0; i < keys->nItem; ++i) {
        const char *v = SzSLIBSzHashGetValue(hash, keys->pszItem[i]);
        out.emplace_back(v ? v : keys->pszItem[i]);
    }
    return true;
}

using HashPtr = slib::SzHashPtr;

// Sets key -> value in a hash owned by a HashPtr.
int HashSet(HashPtr &h, const char *key, const char *value) {
    PSLIBSZHASH p = h.release();
    int r = SLIBSzHashSetValue(&p, key, value);
    h.reset(p);
    return r;
}

// The value of a group in the domain member file, split at ','; empty
// pieces and names holding '$' are left out. -1 with 0x0D00 (no file) or
// 0x1800 (no such group).
int DomainMembers(const char *group, std::vector<std::string> &out) {
    if (access(SZF_DOMAIN_GROUP_MEMBER, F_OK) != 0) return Fail(ERR_BAD_PARAMETERS);
    int need = SLIBFileGetKeyValue(SZF_DOMAIN_GROUP_MEMBER, group, nullptr, 0, 0);
    if (need <= 0) return Fail(ERR_NO_SUCH_GROUP);
    std::string value(static_cast<size_t>(need), '\0');
    if (SLIBFileGetKeyValue(SZF_DOMAIN_GROUP_MEMBER, group, value.data(), need, 0) <= 0)
        return Fail(ERR_NO_SUCH_GROUP);
    value.resize(strlen(value.c_str()));
    for (std::string &m : Split(value, ','))
        if (!m.empty() && m.find('$') == std::string::npos) out.push_back(std::move(m));
    return 0;
}

// Replaces '@' items of the share lists by whole item: rename (to set) or
// drop (to empty). Keys are upper-cased group names.
int EditShareGroups(const std::function<std::optional<std::string>(const std::string &)> &byUpper) {
    // A share configuration without its file has no lists to edit.
    if (access(SZF_SMBCONF, F_OK) != 0 && errno == ENOENT) return 0;
    return sdk::EditListFile(SZF_SMBCONF, SZF_SMBCONF_TMP, sdk::ShareListSpan,
                             [&](std::string_view item) -> std::optional<std::string> {
                                 if (item.size() < 2 || item[0] != '@') return std::nullopt;
                                 auto up = sdk::UpperName(item.substr(1));
                                 if (!up) return std::nullopt;
                                 return byUpper(*up);
                             });
}

}  // namespace

// ------------------------------------------------------------ reading

extern "C" int GROUPIGetLocalMembers(const char *name, PSLIBSZLIST *members,
                                     QAVOGROUPENTRY *group) {
    if (!name || !members || !*members || !group) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        std::vector<PasswdEntry> pw;
        if (!ReadPasswd(pw)) return -1;
        std::set<std::string> exact;
        for (const PasswdEntry &e : pw)
            exact.insert(e.name);
        HashPtr seen(PshSLIBSzHashAlloc(8192));
        if (!seen) return Fail(ERR_OUT_OF_MEMORY);
        if (strcasecmp(name, "users") == 0) {
            const bool guest = BlQAVOGuestSupport();
            for (const PasswdEntry &e : pw) {
                if (static_cast<int>(e.gid) != group->gid) continue;
                if (strcasecmp(e.name.c_str(), "guest") == 0 && !guest) continue;
                if (HashSet(seen, e.name.c_str(), e.name.c_str()) < 0) return -1;
            }
        }
        for (char **m = group->members; m && *m; ++m) {
            if (IsNobody(*m) || !exact.count(*m)) continue;
            if (HashSet(seen, *m, *m) < 0) return -1;
        }
        std::vector<std::string> names;
        if (!HashValues(seen.get(), names)) return Fail(ERR_OUT_OF_MEMORY);
        for (const std::string &n : names)
            if (SLIBSzListPush(members, n.c_str()) < 0) return -1;
        return static_cast<int>(names.size());
    });
}

extern "C" int QAVOGroupGet(uint32_t flags, int type, const char *name, QAVOGROUP *buf, int size,
                            int *needed) {
    if (flags > kAllGroupFlags || type != 1 || !name || !needed || (!buf && size != 0) ||
        (buf && size < 1))
        return Fail(ERR_BAD_PARAMETERS);
    if (flags == 0) flags = kAllGroupFlags;
    *needed = sizeof(char *);
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_PW | SLIB_LOCK_GR | SLIB_LOCK_SH);
        if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
        if (buf) memset(buf, 0, static_cast<size_t>(size));
        slib::SzListPtr list(PslSLIBSzListAlloc(1024));
        if (!list) return Fail(ERR_OUT_OF_MEMORY);
        PSLIBSZLIST l = list.release();
        std::string stored;
        int n = -1;
        QAVOGROUPENTRY *g = PgrpSLIBGetLocalGrName(name);
        if (g) {
            stored = g->name;
            n = GROUPIGetLocalMembers(name, &l, g);
        } else if (flags & QAVO_GROUP_FLAG_DOMAIN) {
            stored = name;
            n = QAVOPushDGroupMember(name, &l, nullptr);
        }
        list.reset(l);
        if (n < 0) {
            lock.Release();
            return Fail(ERR_NO_SUCH_GROUP);
        }
        size_t need = 2 * sizeof(char *) + stored.size() + 1;
        for (int i = 0; i < list->nItem; ++i)
            need += sizeof(char *) + strlen(list->pszItem[i]) + 1;
        *needed = need > INT_MAX ? INT_MAX : static_cast<int>(need);
        int result = 0;
        if (buf && need <= static_cast<size_t>(size)) {
            char *end = reinterpret_cast<char *>(buf) + size;
            auto put = [&](const char *s) {
                size_t len = strlen(s) + 1;
                end -= len;
                memcpy(end, s, len);
                return end;
            };
            size_t k = 0;
            buf[k++] = put(stored.c_str());
            for (int i = 0; i < list->nItem; ++i)
                if (strcmp(list->pszItem[i], "nobody") != 0) buf[k++] = put(list->pszItem[i]);
            buf[k] = nullptr;
            result = 1;
        }
        if (lock.Release() < 0) return -1;
        return result;
    });
}

// ------------------------------------------------------------ gids

namespace {

// The gid index line in the text of /etc/group: the first line holding '#'
// whose words between '#' and '$' begin with SZ_GID_INDEX. at is npos when
// there is none; value is its next gid, 0 when that is no gid of the range.
struct GidIndexLine {
    size_t at = std::string_view::npos;
    size_t length = 0;  // without the line end
    long value = 0;
};

GidIndexLine FindGidIndex(std::string_view text) {
    GidIndexLine found;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        const std::string_view full = text.substr(pos, nl - pos);
        const std::string_view l = full.substr(0, full.find('\r'));
        const size_t at = pos;
        pos = nl + 1;
        if (l.find('#') == std::string_view::npos) continue;
        std::vector<std::string> tok;
        for (const std::string &t : Split(l, '#'))
            for (std::string &u : Split(t, '$'))
                if (!u.empty()) tok.push_back(std::move(u));
        if (tok.empty() || tok[0] != SZ_GID_INDEX) continue;
        found.at = at;
        found.length = l.size();
        char *end = nullptr;
        const long v = tok.size() > 1 ? strtol(tok[1].c_str(), &end, 10) : 0;
        if (end && *end == '\0' && v >= QAVO_GID_FIRST && v <= QAVO_GID_LAST) found.value = v;
        break;
    }
    return found;
}

}  // namespace

extern "C" int GROUPISetGidIndex(int gid) {
    if (gid < 0) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        slib::Input in;
        if (in.Read(SZF_GROUP) != slib::Input::kRead || in.IsDirectory())
            return Fail(ERR_OPEN_FAILED);
        const std::string_view text = in.Text();
        const GidIndexLine index = FindGidIndex(text);
        const std::string line = "#$" SZ_GID_INDEX "$" + std::to_string(gid) + "$";
        // That one line and nothing else: the same text elsewhere (in a
        // group line, say) stays as it is.
        std::string out;
        if (index.at == std::string_view::npos) {
            out = line + "\n" + std::string(text);
        } else {
            out = std::string(text.substr(0, index.at)) + line +
                  std::string(text.substr(index.at + index.length));
        }
        slib::RewriteSet rw;
        FILE *fp = rw.Open(SZF_GROUP, in.Stat());
        if (!fp) return -1;
        if (!slib::WriteAll(fp, out)) return Fail(ERR_WRITE_FAILED);
        return rw.Commit() ? 1 : -1;
    });
}

namespace {

// Free gids handed out one after another as GROUPIGetFreeGid gives them:
// from the index line's gid on, skipping those in use and wrapping within
// the range. Store() writes the index after the last one handed out.
class GidPool {
  public:
    // The index line and every gid in use; false with the code set.
    bool Load() {
        slib::Input in;
        if (in.Read(SZF_GROUP) != slib::Input::kRead || in.IsDirectory())
            return Fail(ERR_OPEN_FAILED), false;
        const GidIndexLine index = FindGidIndex(in.Text());
        next_ = index.value ? index.value : QAVO_GID_FIRST;
        QAVOGROUPENTRY *g;
        SLIBIGrClose();
        while ((g = PgrpSLIBGetLocalGrEnt()) != nullptr)
            used_.insert(g->gid);
        SLIBIGrClose();
        return true;
    }
    // The next free gid, or -1 with 0x1F00-like ERR_NO_FREE_GID.
    long Take() {
        const long start = next_;
        long gid = start;
        while (used_.count(gid)) {
            gid = gid >= QAVO_GID_LAST ? QAVO_GID_FIRST : gid + 1;
            if (gid == start) return Fail(ERR_NO_FREE_GID);
        }
        used_.insert(gid);
        next_ = gid >= QAVO_GID_LAST ? QAVO_GID_FIRST : gid + 1;
        return gid;
    }
    bool Store() const { return GROUPISetGidIndex(static_cast<int>(next_)) == 1; }

  private:
    long next_ = QAVO_GID_FIRST;
    std::set<long> used_;
};

}  // namespace

extern "C" int GROUPIGetFreeGid(void) {
    return Guard(__func__, [&]() -> int {
        GidPool pool;
        if (!pool.Load()) return -1;
        const long gid = pool.Take();
        if (gid < 0 || !pool.Store()) return -1;
        return static_cast<int>(gid);
    });
}

// ------------------------------------------------------------ writing

namespace {

// The given names that are local users (with a shadow line), joined with
// ',': each as the passwd file spells it, once; empty names are skipped.
std::string FilterLocalUsers(const char *const *names, const sdk::AccountSnapshot *snap = nullptr) {
    std::string joined;
    std::set<std::string> seen;
    for (const char *const *n = names; *n; ++n) {
        if (!**n) continue;
        struct passwd *pw = snap ? snap->LocalSpNam(*n) : PpwSLIBGetLocalSpNam(*n);
        if (!pw || !seen.insert(pw->pw_name).second) continue;
        if (!joined.empty()) joined += ',';
        joined += pw->pw_name;
    }
    return joined;
}

// Adds new local groups, each {name, member, ..., NULL}, the caller holding
// the account locks: each one checked and given its gid and members as
// QAVOGroupSet adds one, then the gid index stored and the lines appended
// once for all of them. results[i] is 1 for an added group, -1 (logged,
// with the code set) for one that was not.
void AddGroups(const char *const *const *groups, int count, int *results) {
    std::fill(results, results + count, -1);
    GidPool pool;
    bool loaded = false;
    std::set<std::string> added;  // upper-cased names of the groups taken
    std::string lines;
    std::vector<int> taken;
    // The account files as they are now: nothing below writes them before
    // the lines of all the groups are appended.
    sdk::AccountSnapshot snap;
    const sdk::AccountSnapshot *files = snap.Load() ? &snap : nullptr;
    for (int i = 0; i < count; ++i) {
        const char *const *group = groups[i];
        const char *newName = group[0];
        if (!BlSLIBIsGroupName(newName)) {
            SLIBLog(
                LOG_ERR,
                "qavogrp: QAVOGroupSet(): BlSLIBIsGroupName(szNewName) failed\t\t\t   szNewName=%s",
                newName);
            Fail(ERR_BAD_GROUP_NAME);
            continue;
        }
        auto upper = sdk::UpperName(newName);
        if ((files ? files->LocalGrName(newName) : PgrpSLIBGetLocalGrName(newName)) || !upper ||
            added.count(*upper)) {
            SLIBLog(LOG_ERR,
                    "qavogrp: QAVOGroupSet(): group exists!! or\t\t\t    "
                    "PgrpSLIBGetLocalGrName(szName) failed, szName=%s",
                    newName);
            Fail(ERR_GROUP_EXISTS);
            continue;
        }
        // Members: every given name that is a local user, each once.
        std::string members;
        if (group[1]) members = FilterLocalUsers(group + 1, files);
        if (!loaded && !pool.Load()) {
            SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): GROUPIGetFreeGid() failed");
            Fail(ERR_NO_FREE_GID);
            return;
        }
        loaded = true;
        const long gid = pool.Take();
        if (gid < 0) {
            SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): GROUPIGetFreeGid() failed");
            Fail(ERR_NO_FREE_GID);
            continue;
        }
        added.insert(*upper);
        if (!lines.empty()) lines += '\n';
        lines += GroupLine(newName, static_cast<int>(gid), members);
        taken.push_back(i);
    }
    if (taken.empty()) return;
    if (!pool.Store()) {
        SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): GROUPIGetFreeGid() failed");
        Fail(ERR_NO_FREE_GID);
        return;
    }
    if (SLIBFileAddLine(SZF_GROUP, nullptr, lines.c_str(), SLIB_LINE_INSERT_AFTER) < 0) {
        SLIBLog(LOG_ERR,
                "qavogrp: QAVOGroupSet(): SLIBFileAddLine() failed \t\t\t\t   szFullStr=%s",
                lines.c_str());
        Fail(ERR_WRITE_FAILED);
        return;
    }
    for (int i : taken)
        results[i] = 1;
}

}  // namespace

extern "C" int GROUPIAddLocalGroups(const char *const *const *groups, int count, int *results) {
    if (!groups || count < 0 || (count > 0 && !results)) return Fail(ERR_BAD_PARAMETERS);
    for (int i = 0; i < count; ++i)
        if (!groups[i] || !groups[i][0]) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_PW | SLIB_LOCK_GR | SLIB_LOCK_SMB | SLIB_LOCK_EX);
        if (!lock.Held()) {
            SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): ErrSLIBFileLock() failed");
            return Fail(ERR_LOCK_FAILED);
        }
        AddGroups(groups, count, results);
        int n = 0;
        for (int i = 0; i < count; ++i)
            n += results[i] == 1;
        return lock.Release() < 0 ? -1 : n;
    });
}

extern "C" int GROUPIFilterLocalUsers(const char **names, char *buf, int size) {
    if (!names || (!buf && size != 0) || size < 0) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        if (buf) memset(buf, 0, static_cast<size_t>(size));
        const std::string joined = FilterLocalUsers(names);
        const int len = static_cast<int>(joined.size());
        if (len >= size) return -(len + 1);
        memcpy(buf, joined.c_str(), joined.size() + 1);
        return len;
    });
}

extern "C" int QAVOGroupSet(uint32_t flags, int op, const char *oldName, const char **group) {
    if (flags > kAllGroupFlags || op != 1 || !group || !group[0]) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_PW | SLIB_LOCK_GR | SLIB_LOCK_SMB | SLIB_LOCK_EX);
        if (!lock.Held()) {
            SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): ErrSLIBFileLock() failed");
            return Fail(ERR_LOCK_FAILED);
        }
        const char *newName = group[0];
        auto fail = [&](SLIBERRCODE code) {
            lock.Release();
            return Fail(code);
        };
        if (!oldName) {
            int result = -1;
            AddGroups(&group, 1, &result);
            if (result != 1) return fail(SLIBErrGet());
            return lock.Release() < 0 ? -1 : 1;
        }
        if (!BlSLIBIsGroupName(newName)) {
            SLIBLog(
                LOG_ERR,
                "qavogrp: QAVOGroupSet(): BlSLIBIsGroupName(szNewName) failed\t\t\t   szNewName=%s",
                newName);
            return fail(ERR_BAD_GROUP_NAME);
        }
        bool sameName = false;
        if (oldName) {
            int c = SLIBUnicodeUTF8StrCaseCmp(oldName, newName);
            if (c == -2) {
                SLIBLog(LOG_ERR,
                        "qavogrp: QAVOGroupSet(): SLIBUnicodeUTF8StrCaseCmp(szName, szNewName) "
                        "failed\t\t\t    szName=%s, szNewName=%s",
                        oldName, newName);
                return fail(ERR_BAD_PARAMETERS);
            }
            sameName = c == 0;
        }
        if (!sameName && PgrpSLIBGetLocalGrName(newName)) {
            SLIBLog(LOG_ERR,
                    "qavogrp: QAVOGroupSet(): group exists!! or\t\t\t    "
                    "PgrpSLIBGetLocalGrName(szName) failed, szName=%s",
                    newName);
            return fail(ERR_GROUP_EXISTS);
        }
        // Members: every given name that is a local user, each once.
        std::string members;
        if (group[1]) members = FilterLocalUsers(group + 1);
        QAVOGROUPENTRY *old = PgrpSLIBGetLocalGrName(oldName);
        if (!old) {
            SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): no such group!!");
            return fail(ERR_NO_SUCH_GROUP);
        }
        const int gid = old->gid;
        const uint32_t type = old->type;
        const std::string oldStored = old->name;
        const bool linked = old->linked && (type & QAVO_GROUP_TYPE_LINKED);
        const std::string linkedName = linked ? old->linked : "";
        const unsigned long number = old->number;
        if (gid == 100) return lock.Release() < 0 ? -1 : 1;
        std::string line = GroupLine(newName, gid, members);
        if (sameName && linked)
            line += ':' + std::to_string(type | QAVO_GROUP_TYPE_LOCAL) + ':' + linkedName + ':' +
                    std::to_string(number);
        const std::string key = oldStored + ":x:" + std::to_string(gid) + ":";
        if (SLIBFileSetLine(SZF_GROUP, key.c_str(), line.c_str(),
                            SLIB_LINE_PREFIX | SLIB_LINE_CASELESS) != 1) {
            SLIBLog(LOG_ERR,
                    "qavogrp: QAVOGroupSet(): SLIBFileSetLine() failed!! \t\t\t\t\t   "
                    "szKeyword=%s, szFullStr=%s",
                    key.c_str(), line.c_str());
            return fail(ERR_WRITE_FAILED);
        }
        if (!sameName && linked) {
            int newGid = GROUPIGetFreeGid();
            if (newGid < 0) {
                SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): GROUPIGetFreeGid() failed");
                return fail(ERR_NO_FREE_GID);
            }
            const std::string l2 =
                linkedName + ":x:" + std::to_string(newGid) + ":nobody,nobody:" +
                std::to_string(type & ~static_cast<uint32_t>(QAVO_GROUP_TYPE_LOCAL)) + ':' +
                linkedName + ':' + std::to_string(number);
            if (SLIBFileAddLine(SZF_GROUP, nullptr, l2.c_str(), SLIB_LINE_INSERT_AFTER) < 0) {
                SLIBLog(
                    LOG_ERR,
                    "qavogrp: QAVOGroupSet(): SLIBFileAddLine() failed!! \t\t\t\t\t   szFullStr=%s",
                    l2.c_str());
                return fail(ERR_WRITE_FAILED);
            }
        }
        if (!sameName || oldStored != newName) {
            // "@old" items of the share lists, whole items only.
            auto oldUpper = sdk::UpperName(oldName);
            if (!oldUpper) return fail(ERR_UNICODE);
            const std::string to = std::string("@") + newName;
            int r = EditShareGroups([&](const std::string &up) -> std::optional<std::string> {
                if (up == *oldUpper) return to;
                return std::nullopt;
            });
            if (r == 1 && !slib::RewriteSet::CommitKept({{SZF_SMBCONF_TMP, SZF_SMBCONF}})) r = -1;
            if (r < 0) {
                SLIBLog(LOG_ERR,
                        "qavogrp: QAVOGroupSet(): SLIBFileReplaceSubStr() failed!! \t\t\t\t\t   "
                        "szOldGroup=%s, szNewGroup=%s",
                        oldName, newName);
                lock.Release();
                return -1;
            }
        }
        if (lock.Release() < 0) {
            SLIBLog(LOG_ERR, "qavogrp: QAVOGroupSet(): SLIBErrSLIBFileUnlock() failed!!");
            return -1;
        }
        return 1;
    });
}

// ------------------------------------------------------------ deletion

extern "C" int SDKIModifyGroupFile(PSLIBSZHASH *names) {
    if (!names || !*names) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        slib::FilePtr in(fopen(SZF_GROUP, "re"));
        if (!in) {
            SLIBLog(LOG_ERR, "qavogroup: SDKIModifyGroupFile(): fopen(SZF_GROUP, \"r\") failed\n");
            return Fail(ERR_OPEN_FAILED);
        }
        slib::RewriteSet set;
        FILE *out = set.Open(SZF_GROUP, SZF_GROUP_TMP);
        if (!out) {
            SLIBLog(LOG_ERR,
                    "qavogroup: SDKIModifyGroupFile(): fopen(SZF_GROUP_TMP, \"w\") failed\n");
            return Fail(ERR_OPEN_FAILED);
        }
        int count = 0;
        size_t len;
        char *p;
        std::string line;
        while ((p = fgetln(in.get(), &len)) != nullptr) {
            line.assign(p, len);
            std::string_view text(line);
            std::string_view eol;
            if (!text.empty() && text.back() == '\n') {
                text.remove_suffix(1);
                eol = "\n";
            }
            auto copy = [&]() { return slib::WriteAll(out, line); };
            if (text.empty() || text[0] == '+' || text[0] == '#' ||
                text.find(':') == std::string_view::npos) {
                if (!copy()) return Fail(ERR_WRITE_FAILED);
                continue;
            }
            // Up to seven fields, the last holding the rest of the line.
            std::vector<std::string> f;
            std::string_view rest = text;
            while (f.size() < 6) {
                size_t c = rest.find(':');
                if (c == std::string_view::npos) break;
                f.emplace_back(rest.substr(0, c));
                rest.remove_prefix(c + 1);
            }
            f.emplace_back(rest);
            auto up = sdk::UpperName(f[0]);
            const char *value = up ? SzSLIBSzHashGetValue(*names, up->c_str()) : nullptr;
            if (!value) {
                if (!copy()) return Fail(ERR_WRITE_FAILED);
                continue;
            }
            // Lines this pass cannot read are kept as they are.
            if (f.size() < 4) {
                SLIBLog(LOG_ERR,
                        "qavogroup: SDKIModifyGroupFile(): format error; [szBuf] == [%s]\n",
                        line.c_str());
                if (!copy()) return Fail(ERR_WRITE_FAILED);
                continue;
            }
            char *end = nullptr;
            const long gid = strtol(f[2].c_str(), &end, 10);
            bool hasLinked = false;
            long type = 0;
            if (f.size() >= 5) {
                type = strtol(f[4].c_str(), &end, 10);
                if (!(type & QAVO_GROUP_TYPE_LINKED)) {
                    SLIBLog(LOG_ERR,
                            "qavogroup: SDKIModifyGroupFile(): format error; [szType] == [%s]\n",
                            f[4].c_str());
                    if (!copy()) return Fail(ERR_WRITE_FAILED);
                    continue;
                }
                if (f.size() < 7 || f[5].empty()) {
                    SLIBLog(LOG_ERR,
                            "qavogroup: SDKIModifyGroupFile(): format error; [szNameN] == [%s]\n",
                            line.c_str());
                    if (!copy()) return Fail(ERR_WRITE_FAILED);
                    continue;
                }
                hasLinked = true;
            }
            if (!hasLinked) {
                if (gid >= QAVO_GID_FIRST) {
                    PSLIBSZHASH h = *names;
                    if (SLIBSzHashSetValue(&h, up->c_str(), "L") < 0) return -1;
                    *names = h;
                    ++count;
                    continue;
                }
                SLIBLog(LOG_ERR,
                        "qavogroup: SDKIModifyGroupFile(): Can't delete domain group; [szName] == "
                        "[%s]\n",
                        f[0].c_str());
                if (!copy()) return Fail(ERR_WRITE_FAILED);
                continue;
            }
            PSLIBSZHASH h = *names;
            if (SLIBSzHashSetValue(&h, up->c_str(), "N") < 0) return -1;
            *names = h;
            if (type & QAVO_GROUP_TYPE_LOCAL) {
                std::string nl = f[5] + ":x:" + f[2] + ':' + f[3] + ':' +
                                 std::to_string(type & ~static_cast<long>(QAVO_GROUP_TYPE_LOCAL)) +
                                 ':' + f[5] + ':' + f[6];
                nl += eol;
                if (!slib::WriteAll(out, nl)) return Fail(ERR_WRITE_FAILED);
                ++count;
            } else if (!copy()) {
                return Fail(ERR_WRITE_FAILED);
            }
        }
        if (ferror(in.get())) return Fail(ERR_READ_FAILED);
        if (count < 1) return 0;
        if (!set.Keep()) {
            SLIBLog(LOG_ERR, "qavogroup: SDKIModifyGroupFile(): QAVOFClose(pfStreamOut) failed!\n");
            return -1;
        }
        return count;
    });
}

extern "C" int QAVOGroupDelete(const char **names, int count) {
    if (!names || count <= 0) {
        SLIBLog(LOG_ERR,
                "qavogroup: QAVOGroupDelete(): Bad arguments; nItem = [%d], pszList = [%p]\n",
                count, static_cast<const void *>(names));
        return Fail(ERR_BAD_PARAMETERS);
    }
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_GR | SLIB_LOCK_SMB | SLIB_LOCK_EX);
        if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
        auto removeTmp = [] {
            unlink(SZF_GROUP_TMP);
            unlink(SZF_SMBCONF_TMP);
        };
        HashPtr del(PshSLIBSzHashAlloc(1024));
        if (!del) return Fail(ERR_OUT_OF_MEMORY);
        int n = 0;
        for (int i = 0; i < count; ++i) {
            if (!names[i]) continue;
            auto up = sdk::UpperName(names[i]);
            if (!up) {
                SLIBLog(LOG_ERR,
                        "qavogroup: SDKIGroupDelete(): SLIBUnicodeUTF8StrUpper() failed; "
                        "[pszList[%d]] = [%s]\n",
                        i, names[i]);
                return -1;
            }
            if (SzSLIBSzHashGetValue(del.get(), up->c_str())) {
                SLIBLog(LOG_ERR,
                        "qavogroup: QAVOGroupDelete(): SzSLIBSzHashGetValue(*pslhashDel, "
                        "szNameUpper); \t\t\t\t   Duplicate group names; szNameUpper = [%s]\n",
                        up->c_str());
                continue;
            }
            if (HashSet(del, up->c_str(), "") < 0) return -1;
            ++n;
        }
        SLIBLog(LOG_INFO, "qavogroup: iNumDel = [%d]\n", n);
        PSLIBSZHASH h = del.release();
        int done = SDKIModifyGroupFile(&h);
        del.reset(h);
        if (done < 0) {
            SLIBLog(LOG_ERR, "qavogroup: QAVOGroupDelete(): SDKIModifyGroupFile() returned -1!\n");
            removeTmp();
            return -1;
        }
        if (done > 0) {
            int r = EditShareGroups([&](const std::string &up) -> std::optional<std::string> {
                const char *v = SzSLIBSzHashGetValue(del.get(), up.c_str());
                if (v && (strcmp(v, "L") == 0 || strcmp(v, "N") == 0)) return std::string();
                return std::nullopt;
            });
            if (r < 0) {
                SLIBLog(LOG_ERR,
                        "qavogroup: QAVOGroupDelete(): SDKIDelGrpInSmbConf() returned -1!\n");
                removeTmp();
                return -1;
            }
            if (!slib::RewriteSet::CommitKept(
                    {{SZF_GROUP_TMP, SZF_GROUP}, {SZF_SMBCONF_TMP, SZF_SMBCONF}},
                    ERR_SYSTEM_CALL)) {
                SLIBLog(LOG_ERR,
                        "qavgroup: QAVOGroupDelete(): SDKIDelRenameTmpFile() returned -1!\n");
                return -1;
            }
        }
        if (lock.Release() < 0) return -1;
        return done;
    });
}

// ------------------------------------------------------------ enumeration

extern "C" int GROUPIEnum(PSLIBSZHASH *out, uint32_t flags) {
    if (!out || !*out) return Fail(ERR_BAD_PARAMETERS);
    if (flags != 0 && !(flags & kAllGroupFlags)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    return Guard(__func__, [&]() -> int {
        int n = 0;
        if (flags & QAVO_GROUP_FLAG_LOCAL) {
            SLIBIGrClose();
            QAVOGROUPENTRY *g;
            while ((g = PgrpSLIBGetLocalGrEnt()) != nullptr) {
                if (g->gid < QAVO_GID_FIRST && strcmp(g->name, "users") != 0) continue;
                auto up = sdk::UpperName(g->name);
                if (!up) continue;
                std::string value = g->name;
                if (SLIBSzHashSetValue(out, up->c_str(), value.c_str()) < 0) {
                    SLIBIGrClose();
                    return -1;
                }
                ++n;
            }
            SLIBIGrClose();
        }
        if (flags & QAVO_GROUP_FLAG_DOMAIN) {
            int d = QAVOPushDGroup(out);
            if (d < 0) return -1;
            n += d;
        }
        return n;
    });
}

namespace {

// The groups of flags enumerated into a new hash, n what GROUPIEnum gives;
// false when the hash cannot be had.
bool EnumInto(uint32_t flags, HashPtr &h, int &n) {
    h.reset(PshSLIBSzHashAlloc(1024));
    if (!h) return false;
    PSLIBSZHASH p = h.release();
    n = GROUPIEnum(&p, flags);
    h.reset(p);
    return true;
}

}  // namespace

extern "C" int QAVOGroupEnum(uint32_t flags, int ignored, char **buf, int size, int *needed) {
    (void)ignored;
    if (flags > kAllGroupFlags || !needed || (!buf && size != 0) || (buf && size < 1))
        return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_PW | SLIB_LOCK_GR | SLIB_LOCK_SH);
        if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
        HashPtr h;
        int n = 0;
        if (!EnumInto(flags, h, n)) return Fail(ERR_OUT_OF_MEMORY);
        if (n < 0) return -1;
        std::vector<std::string> names;
        if (!HashValues(h.get(), names)) return Fail(ERR_OUT_OF_MEMORY);
        const bool fits = LayOut(names, buf, size, needed);
        if (lock.Release() < 0) return -1;
        if (!buf) return 0;
        if (!fits) return Fail(ERR_BUF_TOO_SMALL);
        return static_cast<int>(names.size());
    });
}

extern "C" int QAVOGroupTotalNum(uint32_t flags) {
    if (flags > kAllGroupFlags) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_PW | SLIB_LOCK_GR | SLIB_LOCK_SH);
        if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
        HashPtr h;
        int n = 0;
        if (!EnumInto(flags, h, n)) return Fail(ERR_OUT_OF_MEMORY);
        int total = n < 0 ? 0 : SLIBSzHashCount(h.get());
        if (lock.Release() < 0) return -1;
        return total;
    });
}

// ------------------------------------------------------------ domain groups

extern "C" int QAVOPushDGroup(PSLIBSZHASH *out) {
    return Guard(__func__, [&, fn = __func__]() -> int {
        if (access(SZF_DOMAIN_GROUP, F_OK) != 0) {
            // The domain listing that creates the file is not part of this
            // library yet.
            SLIBLog(LOG_ERR, "%s(%d) get domain user list fail\n", fn, __LINE__);
            return Fail(ERR_OPEN_FAILED);
        }
        std::vector<std::string> names;
        if (!qwin::ReadNameList(SZF_DOMAIN_GROUP, names)) return -1;
        for (const std::string &n : names) {
            if (!out) continue;
            auto up = sdk::UpperName(n);
            if (!up || SLIBSzHashSetValue(out, up->c_str(), n.c_str()) < 0) return -1;
        }
        return static_cast<int>(names.size());
    });
}

extern "C" int QAVOMakeDGroupMember(void) {
    return Guard(__func__, [&]() -> int {
        slib::RewriteSet set;
        FILE *out = set.Open(SZF_DOMAIN_GROUP_MEMBER);
        if (!out) return Fail(ERR_OPEN_FAILED);
        setgrent();
        struct group *g;
        bool ok = true;
        while (ok && (g = getgrent()) != nullptr) {
            std::string line = std::string(g->gr_name) + " = \"";
            for (char **m = g->gr_mem; m && *m; ++m) {
                if (m != g->gr_mem) line += ',';
                line += *m;
            }
            line += "\"\n";
            ok = slib::WriteAll(out, line);
        }
        endgrent();
        if (!ok) return Fail(ERR_WRITE_FAILED);
        return set.Commit() ? 0 : -1;
    });
}

extern "C" int QAVOPushDGroupMember(const char *group, PSLIBSZLIST *list, PSLIBSZHASH *seen) {
    if (!group) return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        std::vector<std::string> members;
        if (DomainMembers(group, members) < 0) return -1;
        int n = 0;
        for (const std::string &m : members) {
            if (list && *list) {
                if (seen && *seen && SzSLIBSzHashGetValue(*seen, m.c_str())) continue;
                if (seen && *seen && SLIBSzHashSetValue(seen, m.c_str(), "") < 0) return -1;
                if (SLIBSzListPush(list, m.c_str()) < 0) return -1;
            }
            ++n;
        }
        return n;
    });
}

extern "C" int QAVOIsDGroupMember(const char *user, const char *group) {
    if (!user || !group) return Fail(ERR_BAD_PARAMETERS);
    if (strstr(group, "\\domain users")) return 1;
    return Guard(__func__, [&]() -> int {
        std::vector<std::string> members;
        if (DomainMembers(group, members) < 0) return -1;
        for (const std::string &m : members)
            if (SLIBUnicodeUTF8StrCaseCmp(m.c_str(), user) == 0) return 1;
        return 0;
    });
}

extern "C" int QAVOConvertGpName2Gid(const char *group) {
    if (!group) {
        SLIBLog(LOG_ERR, "%s(%d) bad parameter", __func__, __LINE__);
        return -1;
    }
    return Guard(__func__, [&, fn = __func__]() -> int {
        char sid[128];
        if (QAVOGetDUserSid(group, sid, sizeof sid) < 0) return -1;
        std::string word(strlen(sid) * 3 + 3, '\0');
        if (SLIBStrEncodeParam(sid, word.data(), static_cast<int>(word.size())) != 0) return -1;
        const std::string cmd = std::string(SZ_WBINFO) + " -Y " + word.c_str();
        FILE *fp = popen(cmd.c_str(), "re");
        if (!fp) {
            SLIBLog(LOG_ERR, "%s(%d) :%s fail", fn, __LINE__, cmd.c_str());
            return -1;
        }
        char *text = nullptr;
        size_t cap = 0;
        ssize_t got = getline(&text, &cap, fp);
        std::string first = got > 0 ? std::string(text, static_cast<size_t>(got)) : "";
        free(text);
        // A failing query gives no gid, whatever it printed.
        if (pclose(fp) != 0) got = -1;
        if (got <= 0) {
            SLIBLog(LOG_ERR, "%s(%d) get uid fail, group:%s, sid:%s", fn, __LINE__, group, sid);
            return -1;
        }
        while (!first.empty() && (first.back() == '\n' || first.back() == '\r'))
            first.pop_back();
        char *end = nullptr;
        errno = 0;
        long gid = strtol(first.c_str(), &end, 10);
        if (errno || end == first.c_str() || *end || gid < 1 || gid > INT_MAX) {
            SLIBLog(LOG_ERR, "%s(%d) error gid, group:%s, sid:%s, gid:%s", fn, __LINE__, group, sid,
                    first.c_str());
            return -1;
        }
        return static_cast<int>(gid);
    });
}

extern "C" int QAVOIsDGRPMemByDC(PSLIBSZHASH gids, const char *group) {
    if (!gids || !group) {
        SLIBLog(LOG_ERR, "%s(%d) bad parameter", __func__, __LINE__);
        return -1;
    }
    int gid = QAVOConvertGpName2Gid(group);
    if (gid < 0) return -1;
    char key[16];
    snprintf(key, sizeof key, "%d", gid);
    return SzSLIBSzHashGetValue(gids, key) ? 1 : 0;
}

// ------------------------------------------------------------ smmsp

extern "C" int QAVOSmmspGroupSet(const char *oldUser, const char *newUser, int op) {
    static const char kSrc[] = "qavogrp";
    if ((op == QAVO_SMMSP_ADD && !newUser) || (op == QAVO_SMMSP_RENAME && (!oldUser || !newUser)) ||
        (op == QAVO_SMMSP_REMOVE && !oldUser) || op < QAVO_SMMSP_ADD || op > QAVO_SMMSP_REMOVE ||
        (newUser && !PlainText(newUser, ",:"))) {
        SLIBLog(LOG_ERR, "%s %s(%d) : bad parameters", kSrc, __func__, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    return Guard(__func__, [&, fn = __func__]() -> int {
        Locks lock(SLIB_LOCK_GR | SLIB_LOCK_EX);
        if (!lock.Held()) {
            SLIBLog(LOG_ERR, "%s %s(%d) : ErrSLIBFileLock() failed", kSrc, fn, __LINE__);
            return -1;
        }
        const std::string key = SZ_SMMSP_GROUP ":x:" + std::to_string(QAVO_SMMSP_GID) + ":";
        std::string buf(1024, '\0');
        int r;
        while (
            (r = SLIBFileGetLine(SZF_GROUP, key.c_str(), buf.data(), static_cast<int>(buf.size()),
                                 SLIB_LINE_PREFIX | SLIB_LINE_CASELESS)) < 0 &&
            SLIBErrGet() == ERR_BUF_TOO_SMALL)
            buf.resize(buf.size() * 2);
        if (r <= 0) {
            SLIBLog(LOG_ERR, "%s %s(%d) : SLIBFileGetLine() failed", kSrc, fn, __LINE__);
            return -1;
        }
        std::string line = buf.c_str();
        // The member field, framed by "nobody" whatever it held before.
        sdk::ListSpan span = sdk::GroupMembersSpan(line);
        std::vector<std::string> members;
        for (std::string &m :
             Split(std::string_view(line).substr(span.begin, span.end - span.begin), ','))
            if (!m.empty() && !IsNobody(m)) members.push_back(std::move(m));
        auto find = [&](const char *name) -> long {
            for (size_t i = 0; i < members.size(); ++i)
                if (strcasecmp(members[i].c_str(), name) == 0) return static_cast<long>(i);
            return -1;
        };
        if (op == QAVO_SMMSP_ADD) {
            if (find(newUser) < 0) members.emplace_back(newUser);
        } else if (op == QAVO_SMMSP_RENAME) {
            long i = find(oldUser);
            if (i < 0) {
                SLIBLog(LOG_ERR, "%s %s(%d): SLIBSzListSet() failed!! szNewUserName=%s", kSrc, fn,
                        __LINE__, newUser);
                return -1;
            }
            members[static_cast<size_t>(i)] = newUser;
        } else {
            long i = find(oldUser);
            if (i < 0)
                SLIBLog(LOG_ERR, "%s %s(%d): SzSLIBSzListRemove() failed!! szOldUserName=%s", kSrc,
                        fn, __LINE__, oldUser);
            else
                members.erase(members.begin() + i);
        }
        std::string joined = "nobody,";
        for (const std::string &m : members)
            joined += m + ',';
        joined += "nobody";
        line.replace(span.begin, span.end - span.begin, joined);
        if (SLIBFileSetLine(SZF_GROUP, key.c_str(), line.c_str(),
                            SLIB_LINE_PREFIX | SLIB_LINE_CASELESS) != 1) {
            SLIBLog(LOG_ERR,
                    "%s %s(%d) : SLIBFileSetLine() failed!! \t\t\t   szKeyword=%s, pszFullStr=%s",
                    kSrc, fn, __LINE__, key.c_str(), line.c_str());
            return -1;
        }
        return lock.Release() < 0 ? -1 : 0;
    });
}

// ------------------------------------------------------------ descriptions

extern "C" int QAVOGroupGetDesc(const char *name, char *buf, int size, int *needed) {
    if (!name || !needed || (!buf && size != 0) || (buf && size < 1) || !PlainText(name, ":"))
        return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_GR | SLIB_LOCK_SH);
        if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
        const std::string key = std::string(name) + ":";
        std::string line(1024, '\0');
        int r;
        while ((r = SLIBFileGetLine(SZF_GROUP_DESC, key.c_str(), line.data(),
                                    static_cast<int>(line.size()),
                                    SLIB_LINE_PREFIX | SLIB_LINE_CASELESS)) < 0 &&
               SLIBErrGet() == ERR_BUF_TOO_SMALL)
            line.resize(line.size() * 2);
        if (r <= 0) return Fail(ERR_NOT_FOUND);
        std::vector<std::string> f = Split(line.c_str(), ':');
        if (f.size() != 2) return Fail(ERR_FIELD_COUNT);
        std::string desc(f[1].size() + 1, '\0');
        if (SLIBStrDecodeColon(f[1].c_str(), desc.data(), static_cast<int>(desc.size())) < 0) {
            SLIBLog(LOG_ERR, "%d: SLIBStrDecodeColon failed.(%X)", __LINE__, SLIBErrGet());
            desc = f[1];
        }
        desc.resize(strlen(desc.c_str()));
        *needed = static_cast<int>(desc.size()) + 1;
        if (!buf) return 0;
        if (*needed > size) return Fail(ERR_BUF_TOO_SMALL);
        memcpy(buf, desc.c_str(), desc.size() + 1);
        return lock.Release() < 0 ? -1 : 1;
    });
}

extern "C" int QAVOGroupSetDesc(const char *name, const char *description) {
    // A line break or control character would add lines to the file.
    if (!name || !*name || !PlainText(name, ":") || (description && !PlainText(description)))
        return Fail(ERR_BAD_PARAMETERS);
    return Guard(__func__, [&]() -> int {
        Locks lock(SLIB_LOCK_GR | SLIB_LOCK_EX);
        if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
        const std::string key = std::string(name) + ":";
        if (!description) {
            if (SLIBFileSetLine(SZF_GROUP_DESC, key.c_str(), nullptr, SLIB_LINE_PREFIX) != 1) {
                SLIBLog(LOG_ERR, "%d: %s can not delete line (szNameKey=%s) (%X)", __LINE__,
                        SZF_GROUP_DESC, key.c_str(), SLIBErrGet());
                return -1;
            }
            return lock.Release() < 0 ? -1 : 0;
        }
        std::string enc(strlen(description) * 3 + 1, '\0');
        if (SLIBStrEncodeColon(description, enc.data(), static_cast<int>(enc.size())) < 0) {
            SLIBLog(LOG_ERR, "(%d) SLIBStrEncodeColon failed\n", __LINE__);
            enc = description;
        }
        const std::string line = key + enc.c_str();
        int r = access(SZF_GROUP_DESC, F_OK) == 0
                    ? SLIBFileSetLine(SZF_GROUP_DESC, key.c_str(), line.c_str(), SLIB_LINE_PREFIX)
                    : 0;
        if (r == 0) r = SLIBFileAddLine(SZF_GROUP_DESC, nullptr, line.c_str(), 0);
        if (r != 1) {
            SLIBLog(LOG_ERR, "%d: %s can not add line (szLine=%s)(%X)", __LINE__, SZF_GROUP_DESC,
                    line.c_str(), SLIBErrGet());
            return -1;
        }
        return lock.Release() < 0 ? -1 : 0;
    });
}

// ------------------------------------------------------------ creation text

extern "C" int GROUPParseCreateParam(const char *text, char **buf, int size) {
    if (!text || !strchr(text, ':') || (!buf && size > 0) || size < 0) return -1;
    return Guard(__func__, [&]() -> int {
        const char *colon = strchr(text, ':');
        std::string name(text, static_cast<size_t>(colon - text));
        if (name.size() > 131) name.resize(131);
        std::vector<std::string> items{name};
        for (std::string &m : Split(colon + 1, ','))
            items.push_back(std::move(m));
        const size_t need = slib::PackedSize(items);
        if (buf) memset(buf, 0, static_cast<size_t>(size));
        if (need > static_cast<size_t>(size)) {
            if (size > 0) {
                SLIBLog(LOG_ERR, "qavogrp: GROUPParseCreateParam(): not enough memory!");
                SLIBErrSet(ERR_BUF_TOO_SMALL);
            }
            return -static_cast<int>(need > INT_MAX ? INT_MAX : need);
        }
        slib::PackTexts(items, buf, size);
        return 1;
    });
}
