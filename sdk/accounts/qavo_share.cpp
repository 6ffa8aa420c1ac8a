// Share records: share sections of smb.conf read into QAVOSHARE records and
// listed by name, under the smb.conf lock held shared.
#include "qavo_share.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qavo_accfile.h"
#include "qavo_group.h"
#include "qavo_user.h"
#include "qavo_windomain.h"
#include "share_table.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

constexpr int kLockTimeout = 5;
constexpr int kSectionListSize = 8192;
constexpr int kSectionHashSize = 8192;
constexpr const char *kSource = "gpl/qavoshare";

// The smb.conf lock held shared for the lifetime of the guard; a failed
// release sets 0x0500.
struct SmbConfReadLock : slib::CheckedLock {
    SmbConfReadLock() : CheckedLock(SLIB_LOCK_SMB, SLIB_LOCK_SH, kLockTimeout) {}
};

using SzHashPtr = slib::SzHashPtr;

// Section names that are never shares.
bool IsReserved(const char *name) {
    static const char *const kReserved[] = {"global", "homes", "home", "printers"};
    for (const char *r : kReserved) {
        if (strcasecmp(name, r) == 0) return true;
    }
    return false;
}

// The class bit of a share name for QAVOShareEnum1's flags.
uint32_t ShareClass(const char *name) {
    if (BlQAVOShareIsUSB(name)) return QAVOSHARE_CLASS_USB;
    if (BlQAVOShareIsSATA(name)) return QAVOSHARE_CLASS_SATA;
    return QAVOSHARE_CLASS_ORDINARY;
}

// True when QAVOShareEnum1 lists a section of that name for flags.
bool Listed(const char *name, uint32_t flags) {
    return name[0] != '\0' && !IsReserved(name) && (ShareClass(name) & flags) != 0;
}

// A buffer and size pair that is a size query (NULL, 0) or a buffer.
bool ValidBuffer(const void *buf, int size) {
    return buf ? size > 0 : size == 0;
}

// The arguments of a share's record lookup: true, or false with the code set
// and the refusal logged.
bool GetArgsValid(bool typeOk, const char *name, const void *buf, int size, const int *needed) {
    if (!typeOk || !name || !needed || !ValidBuffer(buf, size)) {
        SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: bad parameters!");
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return false;
    }
    if (name[0] == '\0' || IsReserved(name)) {
        SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: no such share; szName=%s!", name);
        SLIBErrSet(ERR_NO_SUCH_SHARE);
        return false;
    }
    return true;
}

// An access list as read back: the comma entries without "nobody" and
// without empty entries, joined by ','.
std::string CleanList(const char *list) {
    std::string out;
    const char *p = list;
    while (true) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        std::string entry(p, len);
        if (!entry.empty() && strcasecmp(entry.c_str(), "nobody") != 0) {
            if (!out.empty()) out += ',';
            out += entry;
        }
        if (!comma) break;
        p = comma + 1;
    }
    return out;
}

// True when a comma list names the group of all local users.
bool HoldsAllUsers(const std::string &list) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (strncasecmp(list.c_str() + start, "@users", 6) == 0 && comma - start == 6) return true;
        start = comma + 1;
    }
    return false;
}

// The access of everyone from "guest ok" and "writeable", or 0 when the pair
// is none of the known ones.
uint32_t AccessFromKeys(const char *guest, const char *writeable) {
    if (!guest || !writeable) return 0;
    if (strcmp(guest, "yes") == 0 && strcmp(writeable, "yes") == 0) return QAVOSHARE_ACCESS_RW;
    if (strcmp(guest, "yes") == 0 && strcmp(writeable, "no") == 0) return QAVOSHARE_ACCESS_RO;
    if (strcmp(guest, "no") == 0 && strcmp(writeable, "no") == 0) return QAVOSHARE_ACCESS_NONE;
    return 0;
}

// Lays out a record in buf (size bytes, cleared by the caller): the strings
// packed downwards from the end, the empty ones pointing at the last byte.
void FillRecord(void *buf, int size, const std::array<std::string, 6> &fields, uint32_t type,
                uint32_t browseable) {
    auto *share = static_cast<PQAVOSHARE>(buf);
    char *const base = static_cast<char *>(buf);
    char *const last = base + size - 1;
    char *end = base + size;
    char **slots[] = {&share->szName, &share->szComment, &share->szPath,
                      &share->szDeny, &share->szRW,      &share->szRO};
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string &s = fields[i];
        if (s.empty()) {
            *slots[i] = last;
            continue;
        }
        end -= s.size() + 1;
        memcpy(end, s.c_str(), s.size() + 1);
        *slots[i] = end;
    }
    share->fType = type;
    share->fBrowseable = browseable;
}

// QAVOShareGet's answer from the pairs read for the share's section
// (pairs their count); *complete is set when it got to the end, where the
// caller's lock release still counts.
int RecordFromSection(const char *name, PSLIBSZHASH h, int pairs, void *buf, int size, int *needed,
                      bool *complete) {
    *complete = false;
    if (pairs <= 0) {
        if (SLIBErrGet() == ERR_OUT_OF_MEMORY) {
            SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: out of memory!");
            return -1;
        }
        SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: SLIBFileGetSection() failed, szName=%s", name);
        return slib::Fail(ERR_NO_SUCH_SHARE);
    }
    *needed = 0;
    if (buf) memset(buf, 0, static_cast<size_t>(size));

    // Fields in record order: name, comment, path, deny, read-write, read-only.
    std::array<std::string, 6> fields;
    fields[0] = name;
    auto value = [&](const char *key) { return SzSLIBSzHashGetValue(h, key); };
    if (const char *v = value("comment")) fields[1] = v;
    if (const char *v = value("path")) fields[2] = v;
    // The first list naming @users fixes everyone's access.
    const char *listKeys[] = {"invalid users", "write list", "read list"};
    const uint32_t listAccess[] = {QAVOSHARE_ACCESS_NONE, QAVOSHARE_ACCESS_RW, QAVOSHARE_ACCESS_RO};
    uint32_t access = 0;
    for (int i = 0; i < 3; ++i) {
        const char *v = value(listKeys[i]);
        if (!v) continue;
        fields[3 + i] = CleanList(v);
        if (access == 0 && HoldsAllUsers(fields[3 + i])) access = listAccess[i];
    }
    if (access == 0) {
        const char *guest = value("guest ok");
        const char *writeable = value("writeable");
        access = AccessFromKeys(guest, writeable);
        if (access == 0) {
            SLIBLog(LOG_ERR, "%s (%d) unknown error!, szTempName:%s szTempName2:%s", kSource,
                    __LINE__, guest ? guest : "NULL", writeable ? writeable : "NULL");
            return slib::Fail(ERR_UNICODE);
        }
    }
    const char *browseable = value("browseable");
    const uint32_t visible = browseable && strcmp(browseable, "no") == 0 ? 0 : 1;

    size_t total = sizeof(QAVOSHARE);
    for (const std::string &s : fields) {
        if (!s.empty()) total += s.size() + 1;
    }
    if (total > static_cast<size_t>(INT_MAX)) return slib::Fail(ERR_BUF_TOO_SMALL);
    *needed = static_cast<int>(total);
    int result = 0;
    if (buf) {
        if (total > static_cast<size_t>(size)) {
            result = -1;  // too small: the caller asks again with *needed
        } else {
            FillRecord(buf, size, fields, access, visible);
            result = 1;
        }
    }
    *complete = true;
    return result;
}

}  // namespace

extern "C" int BlQAVOShareIsUSB(const char *name) {
    if (!name) return 0;
    if (strcmp(name, "usbbackup") == 0) return 1;
    if (strncasecmp(name, "usbshare", 8) != 0) return 0;
    for (const char *p = name + 8; *p; ++p) {
        if (!isdigit(static_cast<unsigned char>(*p))) return 0;
    }
    return 1;
}

extern "C" int BlQAVOShareIsSATA(const char *name) {
    if (!name) return 0;
    return strcmp(name, "satashare") == 0 || strcmp(name, "satabackup") == 0;
}

extern "C" int QAVOShareEnum1(char **buf, int size, int *needed, uint32_t flags) {
    if (!needed || !ValidBuffer(buf, size)) return slib::Fail(ERR_BAD_PARAMETERS);
    *needed = 0;
    try {
        SmbConfReadLock lock;
        if (!lock.Held()) return slib::Fail(ERR_LOCK_FAILED);
        slib::SzListPtr sections(PslSLIBSzListAlloc(kSectionListSize));
        if (!sections) return -1;
        PSLIBSZLIST list = sections.release();
        const int r = SLIBFileEnumSection(SZF_QAVO_SMB_CONF, &list);
        sections.reset(list);
        if (r < 0) return -1;
        std::vector<const char *> names;
        size_t total = sizeof(char *);  // the closing NULL pointer
        for (int i = 0; i < list->nItem; ++i) {
            const char *name = list->pszItem[i];
            if (!Listed(name, flags)) continue;
            names.push_back(name);
            total += strlen(name) + 1 + sizeof(char *);
        }
        if (total > static_cast<size_t>(INT_MAX)) return slib::Fail(ERR_BUF_TOO_SMALL);
        *needed = static_cast<int>(total);
        if (buf) {
            if (total > static_cast<size_t>(size)) return slib::Fail(ERR_BUF_TOO_SMALL);
            char *end = reinterpret_cast<char *>(buf) + size;
            for (size_t i = 0; i < names.size(); ++i) {
                const size_t len = strlen(names[i]) + 1;
                end -= len;
                memcpy(end, names[i], len);
                buf[i] = end;
            }
            buf[names.size()] = nullptr;
        }
        if (!lock.Release()) return -1;
        return buf ? static_cast<int>(names.size()) : 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOShareEnum(char **buf, int size, int *needed) {
    return QAVOShareEnum1(buf, size, needed,
                          QAVOSHARE_CLASS_ORDINARY | QAVOSHARE_CLASS_USB | QAVOSHARE_CLASS_SATA);
}

extern "C" int QAVOShareGet(int type, const char *name, void *buf, int size, int *needed) {
    if (!GetArgsValid(type == 1, name, buf, size, needed)) return -1;
    try {
        SmbConfReadLock lock;
        if (!lock.Held()) {
            SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: lock smb.conf failed!");
            return slib::Fail(ERR_LOCK_FAILED);
        }
        SzHashPtr hash(PshSLIBSzHashAlloc(kSectionHashSize));
        if (!hash) {
            SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: out of memory!");
            return slib::Fail(ERR_OUT_OF_MEMORY);
        }
        PSLIBSZHASH h = hash.release();
        const int pairs = SLIBFileGetSection(SZF_QAVO_SMB_CONF, name, &h);
        hash.reset(h);
        bool complete = false;
        const int result = RecordFromSection(name, h, pairs, buf, size, needed, &complete);
        if (!complete) return result;
        if (!lock.Release()) return -1;
        return result;
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: out of memory!");
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

namespace shareint {

bool ShareTable::Load() {
    SmbConfReadLock lock;
    if (!lock.Held()) {
        SLIBErrSet(ERR_LOCK_FAILED);
        return false;
    }
    if (index_.Read(SZF_QAVO_SMB_CONF) < 0) return false;
    return lock.Release();
}

std::vector<std::string> ShareTable::Names(uint32_t flags) const {
    std::vector<std::string> out;
    for (const std::string &n : index_.Names()) {
        if (Listed(n.c_str(), flags)) out.push_back(n);
    }
    return out;
}

int ShareTable::Get(const char *name, void *buf, int size, int *needed) const {
    if (!GetArgsValid(true, name, buf, size, needed)) return -1;
    try {
        PSLIBSZHASH h = index_.Find(name);
        const int pairs = h ? SLIBSzHashCount(h) : 0;
        bool complete = false;
        return RecordFromSection(name, h, pairs, buf, size, needed, &complete);
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "qavoshare: QAVOShareGet: out of memory!");
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

RecordPtr ShareTable::Record(const char *name, int extra, bool *alloc) const {
    *alloc = false;
    int needed = 0;
    if (Get(name, nullptr, 0, &needed) != 0 || needed <= 0 || needed > INT_MAX - extra)
        return nullptr;
    const int size = needed + extra;
    RecordPtr rec(static_cast<PQAVOSHARE>(calloc(1, static_cast<size_t>(size))));
    if (!rec) {
        *alloc = true;
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    if (Get(name, rec.get(), size, &needed) != 1) return nullptr;
    return rec;
}

}  // namespace shareint

namespace {

// The comma entries of a list, empty ones kept out.
std::vector<std::string> Entries(const char *list) {
    std::vector<std::string> out;
    const char *p = list;
    while (true) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        if (len > 0) out.emplace_back(p, len);
        if (!comma) break;
        p = comma + 1;
    }
    return out;
}

// A buffer freed with free().
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

}  // namespace

extern "C" int ParseShareParam(const char *text, void *buf, int size) {
    if (!text || !buf || size < 1) return -1;
    if (!strchr(text, ':')) return -1;
    try {
        const std::string copy(text);
        memset(buf, 0, static_cast<size_t>(size));
        std::array<std::string, 6> fields;
        size_t pos = 0;
        size_t needed = 0;
        bool ranOut = false;
        auto next = [&](std::string *out) {
            if (ranOut || pos > copy.size()) {
                ranOut = true;
                return false;
            }
            size_t colon = copy.find(':', pos);
            const bool last = colon == std::string::npos;
            if (last) colon = copy.size();
            *out = copy.substr(pos, colon - pos);
            pos = last ? copy.size() + 1 : colon + 1;
            return true;
        };
        for (std::string &f : fields) {
            if (!next(&f)) return slib::Fail(ERR_BAD_PARAMETERS);
            needed += sizeof(char *) + (f.empty() ? 0 : f.size() + 1);
        }
        std::string access, browse;
        needed += 2 * sizeof(uint32_t);
        if (needed > static_cast<size_t>(size)) return slib::Fail(ERR_BUF_TOO_SMALL);
        if (!next(&access) || !next(&browse)) return slib::Fail(ERR_BAD_PARAMETERS);
        if (access.size() > 31) return slib::Fail(ERR_BAD_PARAMETERS);
        uint32_t type = QAVOSHARE_ACCESS_NONE;
        const size_t us = access.find('_');
        if (us != std::string::npos) {
            const char *level = access.c_str() + us + 1;
            if (strcasecmp(level, "RW") == 0) type = QAVOSHARE_ACCESS_RW;
            if (strcasecmp(level, "RO") == 0) type = QAVOSHARE_ACCESS_RO;
        }
        const uint32_t browseable = static_cast<uint32_t>(strtoul(browse.c_str(), nullptr, 10));
        FillRecord(buf, size, fields, type, browseable);
        return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOSharePathGet(const char *name, char *buf, int size) {
    if (!name || !buf || size <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): Bad parameters!", "QAVOSharePathGet", __LINE__);
        return -1;
    }
    SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    if (!hash) return slib::Fail(ERR_OUT_OF_MEMORY);
    PSLIBSZHASH h = hash.release();
    const int pairs = SLIBFileGetSection(SZF_QAVO_SMB_CONF, name, &h);
    hash.reset(h);
    if (pairs <= 0) {
        SLIBLog(LOG_ERR, "SLIBFileGetSection failed [%X]!!", SLIBErrGet());
        return -1;
    }
    const char *path = SzSLIBSzHashGetValue(h, "path");
    if (!path) {
        SLIBLog(LOG_ERR, "key [path] not found or error!!");
        return -1;
    }
    snprintf(buf, static_cast<size_t>(size), "%s", path);
    return 0;
}

extern "C" int SHAREIIsLocalUserInList(const char *user, const char *list) {
    if (!user || !list) return 0;
    try {
        for (const std::string &e : Entries(list)) {
            if (strcasecmp(e.c_str(), "@users") == 0) {
                const struct passwd *pw = PpwSLIBGetLocalPwNam(user);
                if (!pw) return 0;
                if (pw->pw_gid == 0 || pw->pw_gid == 100) return 1;
            } else if (e[0] == '@') {
                const QAVOGROUPENTRY *gr = PgrpSLIBGetLocalGrName(e.c_str() + 1);
                if (!gr || !gr->members) continue;
                for (char **m = gr->members; *m; ++m) {
                    if (SLIBUnicodeUTF8StrCaseCmp(*m, user) == 0) return 1;
                }
            } else if (SLIBUnicodeUTF8StrCaseCmp(e.c_str(), user) == 0) {
                return 1;
            }
        }
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
    }
    return 0;
}

extern "C" int SHAREIIsDomainUserInList(const char *user, PSLIBSZHASH gids, const char *list) {
    if (!user || !gids || !list) return 0;
    try {
        for (const std::string &e : Entries(list)) {
            if (e[0] == '@') {
                const char *group = e.c_str() + 1;
                if (IsDomainUG(group) == QAVO_ACCOUNT_DOMAIN &&
                    QAVOIsDGRPMemByDC(gids, group) >= 1) {
                    return 1;
                }
            } else if (SLIBUnicodeUTF8StrCaseCmp(e.c_str(), user) == 0) {
                return 1;
            }
        }
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
    }
    return 0;
}

extern "C" int QAVOShareIsUnderValidPath(const char *user, const char *path) {
    if (!user || !path) return slib::Fail(ERR_BAD_PARAMETERS);
    static const char kTag[] = "qavoshare: QAVOShareIsUnderValidPath:";
    try {
        char resolvedBuf[PATH_MAX + 1];
        if (!realpath(path, resolvedBuf)) return 0;
        std::string resolved(resolvedBuf);
        if (resolved.size() < 2) return 0;
        const size_t second = resolved.find('/', 1);
        if (second == std::string::npos) return 0;
        const std::string root = resolved.substr(0, second);
        const std::string below = resolved.substr(second);
        // Snapshots: "/.snapshot/<10 characters>/<share>..." is the share's
        // snapshot folder "<root>/<share>.snap/<snapshot>/".
        static const char kSnap[] = "/.snapshot/";
        if (below.compare(0, strlen(kSnap), kSnap) == 0) {
            const std::string rest = below.substr(strlen(kSnap));
            if (rest.size() < 12 || rest[10] != '/') return 0;
            const std::string snap = rest.substr(0, 10);
            std::string share = rest.substr(11);
            share = share.substr(0, share.find('/'));
            if (share.empty() || snap.find('/') != std::string::npos) return 0;
            resolved = root + "/" + share + ".snap/" + snap + "/";
        }
        // Home folders: each user reaches his own; root reaches all.
        for (const char *home : {"/home", "/homes"}) {
            const size_t n = strlen(home);
            if (below.compare(0, n, home) != 0 || (below.size() > n && below[n] != '/')) continue;
            if (strcmp(user, "root") == 0) return 1;
            std::string next = below.size() > n + 1 ? below.substr(n + 1) : "";
            next = next.substr(0, next.find('/'));
            if (next.empty()) return 0;
            return SLIBUnicodeUTF8StrCaseCmp(next.c_str(), user) == 0 ? 1 : 0;
        }
        shareint::ShareTable table;
        if (!table.Load()) {
            SLIBLog(LOG_ERR, "%s failed to enumerate shares!", kTag);
            return slib::Fail(ERR_UNICODE);
        }
        const std::vector<std::string> names =
            table.Names(QAVOSHARE_CLASS_ORDINARY | QAVOSHARE_CLASS_USB | QAVOSHARE_CLASS_SATA);
        if (names.empty()) return 0;
        const bool domain = IsDomainUG(user) == QAVO_ACCOUNT_DOMAIN;
        SzHashPtr gids;
        if (domain) {
            gids.reset(PshSLIBSzHashAlloc(8192));
            if (!gids) return slib::Fail(ERR_OUT_OF_MEMORY);
            PSLIBSZHASH g = gids.release();
            const int r = QAVOGetDUserGidList(user, &g);
            gids.reset(g);
            if (r < 0) {
                SLIBLog(LOG_ERR, "%s(%s)(%d) get domain user gid list fail", kSource, __func__,
                        __LINE__);
                return slib::Fail(ERR_DOMAIN_GID_LIST);
            }
        }
        auto inList = [&](const char *list) {
            return domain ? SHAREIIsDomainUserInList(user, gids.get(), list) == 1
                          : SHAREIIsLocalUserInList(user, list) == 1;
        };
        for (const std::string &n : names) {
            const char *name = n.c_str();
            int size = 0;
            if (table.Get(name, nullptr, 0, &size) != 0) {
                SLIBLog(LOG_ERR, "%s failed to get share [%s]!", kTag, name);
                return slib::Fail(ERR_UNICODE);
            }
            std::unique_ptr<QAVOSHARE, FreeDeleter> share(
                static_cast<PQAVOSHARE>(calloc(1, static_cast<size_t>(size) + 128)));
            if (!share) {
                SLIBLog(LOG_ERR, "%s failed to realloc memory for share [%s]!", kTag, name);
                return slib::Fail(ERR_OUT_OF_MEMORY);
            }
            if (table.Get(name, share.get(), size + 128, &size) != 1) {
                SLIBLog(LOG_ERR, "%s failed to get share [%s] in details!", kTag, name);
                return slib::Fail(ERR_UNICODE);
            }
            const std::string sharePath = share->szPath;
            if (sharePath.empty() || resolved.compare(0, sharePath.size(), sharePath) != 0 ||
                (resolved.size() > sharePath.size() && resolved[sharePath.size()] != '/')) {
                continue;
            }
            if (inList(share->szDeny)) return 0;
            if (inList(share->szRW) || inList(share->szRO)) return 1;
            return 0;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
