// Share lookups over the share sections of smb.conf.
#include "qavo_sharelookup.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "qavo_sharedir.h"
#include "qavo_user.h"
#include "qavo_volume.h"
#include "qavo_windomain.h"
#include "share_path.h"
#include "sharelookup_util.h"
#include "share_table.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"

using namespace shlookup;

namespace {

// Tries of the size query and the fill when the share grows in between.
constexpr int kReadTries = 3;

constexpr int kLockTimeout = 5;
// Room of the writeable-share string at first.
constexpr size_t kWriteableStart = 493;

struct SzHashFree {
    void operator()(PSLIBSZHASH h) const { SLIBSzHashFree(h); }
};
using SzHashPtr = std::unique_ptr<SLIBSZHASH, SzHashFree>;

// The share named exactly, in a new block; NULL on failure.
PQAVOSHARE ReadShare(const char *wanted, const char *name) {
    for (int i = 0; i < kReadTries; ++i) {
        int needed = 0;
        if (QAVOShareGet(1, name, nullptr, 0, &needed) != 0 || needed <= 0) break;
        void *block = calloc(1, static_cast<size_t>(needed));
        if (!block) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to allocate memory, errno=%s",
                          strerror(errno));
            return nullptr;
        }
        int filled = 0;
        const int r = QAVOShareGet(1, name, block, needed, &filled);
        if (r == 1) return static_cast<PQAVOSHARE>(block);
        free(block);
        if (r != -1 || filled <= needed) break;  // a real failure, not a grown share
    }
    SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to QAVOShareGet : Original name = %s, Case Name = %s",
                  wanted, name);
    return nullptr;
}

// QAVOShareEnumByVolume's walk, under the smb.conf lock.
int EnumByVolume(int volume, char **buf, int size, int *needed, bool counting) {
    try {
        std::vector<std::string> found;
        shareint::ShareTable table;
        if (!table.Load() || table.Sections() == 0) {
            SLIB_LOG(LOG_ERR, "%s (%d) Failed to enum section");
            return -1;
        }
        const std::vector<std::string> shares = table.Names(QAVOSHARE_CLASS_ORDINARY);
        for (const std::string &name : shares) {
            const char *n = name.c_str();
            bool alloc = false;
            shareint::RecordPtr share = table.Record(n, 128, &alloc);
            if (!share) {
                if (alloc) {
                    SLIB_LOG(LOG_ERR, "%s (%d) Failed to malloc(%d) for share data.", 512);
                    return -1;
                }
                SLIB_LOG(LOG_ERR, "%s (%d) Failed to get share [%s]", n);
                continue;
            }
            if (QAVOVolIDGetByPath(share->szPath) == volume) found.push_back(name);
        }
        // A pointer, the name and its NUL per share, and the closing NULL.
        size_t total = sizeof(char *);
        for (const std::string &n : found)
            total += sizeof(char *) + n.size() + 1;
        if (total > static_cast<size_t>(INT_MAX)) return slib::Fail(ERR_BUF_TOO_SMALL);
        if (needed) *needed = static_cast<int>(total);
        if (!counting) {
            if (total > static_cast<size_t>(size)) {
                // A partial list would read as every share of the volume.
                SLIBErrSet(ERR_BUF_TOO_SMALL);
                SLIB_LOG(LOG_ERR, "%s (%d) Buffer not enough.");
                return -1;
            }
            char *end = reinterpret_cast<char *>(buf) + size;
            for (size_t i = 0; i < found.size(); ++i) {
                end -= found[i].size() + 1;
                memcpy(end, found[i].c_str(), found[i].size() + 1);
                buf[i] = end;
            }
            buf[found.size()] = nullptr;
        }
        return static_cast<int>(found.size());
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        SLIB_LOG(LOG_ERR, "%s (%d) Failed to malloc %d", 0);
        return -1;
    }
}

}  // namespace

extern "C" PQAVOSHARE QAVOShareGetCaseLess(const char *name) {
    if (!name || name[0] == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    int needed = 0;
    if (QAVOShareEnum(nullptr, 0, &needed) != 0 || needed <= 0) {
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to QAVOShareEnum");
        return nullptr;
    }
    std::unique_ptr<void, FreeBlock> block(calloc(1, static_cast<size_t>(needed)));
    if (!block) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to allocate memory, errno=%s", strerror(errno));
        return nullptr;
    }
    char **names = static_cast<char **>(block.get());
    const int count = QAVOShareEnum(names, needed, &needed);
    if (count <= 0) {
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] No shares or failed to enum shares : %d", count);
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        if (SLIBUnicodeUTF8StrCaseCmp(names[i], name) == 0) return ReadShare(name, names[i]);
    }
    SLIBErrSet(ERR_NO_SUCH_SHARE);
    return nullptr;
}

extern "C" void QAVOShareFree(PQAVOSHARE share) {
    free(share);
}

extern "C" int QAVOShareEnumByVolume(int volume, char **buf, int size, int *needed) {
    if (!BlQAVOVolIDIsValid(volume)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIB_LOG(LOG_ERR, "%s (%d) Bad parameter. ");
        return -1;
    }
    const bool counting = !buf && size == 0 && needed;
    if (!counting && (!buf || size <= 0)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIB_LOG(LOG_ERR, "%s (%d) Bad parameter. ");
        return -1;
    }
    if (ErrSLIBFileLock(SLIB_LOCK_SMB | SLIB_LOCK_SH, kLockTimeout) != 0) {
        SLIB_LOG(LOG_ERR, "%s (%d) Failed to lock LOCK_SMB");
        return -1;
    }
    const int result = EnumByVolume(volume, buf, size, needed, counting);
    const SLIBERRCODE code = SLIBErrGet();
    SLIBErrSLIBFileUnlock(SLIB_LOCK_SMB);
    SLIBErrSet(code);
    return result;
}

extern "C" int QAVOShareWriteableGet(const char *user, char **out) {
    if (!user || !out) return slib::Fail(ERR_BAD_PARAMETERS);
    *out = nullptr;
    try {
        shareint::ShareTable table;
        if (!table.Load()) return -1;
        const std::vector<std::string> names = table.Names(kAllClasses);
        const bool domain = IsDomainUG(user) == QAVO_ACCOUNT_DOMAIN;
        SzHashPtr gids;
        if (domain) {
            gids.reset(PshSLIBSzHashAlloc(1024));
            if (!gids) return slib::Fail(ERR_OUT_OF_MEMORY);
            PSLIBSZHASH g = gids.release();
            const int r = QAVOGetDUserGidList(user, &g);
            gids.reset(g);
            if (r < 0) {
                SLIBErrSet(ERR_DOMAIN_GID_LIST);
                SLIBLog(LOG_ERR, "%s(%s)(%d) get domain user gid list fail", __FILE__, __func__,
                        __LINE__);
                return -1;
            }
        }
        std::string text;
        int count = 0;
        for (const std::string &name : names) {
            bool alloc = false;
            shareint::RecordPtr share = table.Record(name.c_str(), 128, &alloc);
            if (!share) {
                if (alloc) return -1;
                continue;
            }
            if (share->szPath[0] == '\0') continue;
            const bool writer = domain
                                    ? SHAREIIsDomainUserInList(user, gids.get(), share->szRW) == 1
                                    : SHAREIIsLocalUserInList(user, share->szRW) == 1;
            if (!writer || QAVOShareIsDir(share->szPath) != 1) continue;
            text += ':';
            text += name;
            ++count;
        }
        const size_t bytes = text.size() + 1 > kWriteableStart ? text.size() + 1 : kWriteableStart;
        char *result = static_cast<char *>(calloc(1, bytes));
        if (!result) return slib::Fail(ERR_OUT_OF_MEMORY);
        memcpy(result, text.c_str(), text.size() + 1);
        *out = result;
        return count;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int ModifySmbLikeConf(const char *file, const char *section, const char *key,
                                 const char *value, const char *format) {
    if (!file || !section || !key || !value) {
        SLIBLog(LOG_ERR, "return -1");
        return -1;
    }
    // Written as "key=value" on one line: a line break would add lines (or
    // whole sections) of its own, an "=" in the key another key.
    if (!slib::OneLine(key) || !slib::OneLine(value) || !slib::OneLine(section) || key[0] == '\0' ||
        strchr(key, '=') != nullptr) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIB_LOG(LOG_ERR, "%s(%d) bad key or value for section=%s", section);
        return -1;
    }
    SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    if (!hash) {
        SLIB_LOG(LOG_ERR, "%s(%d):  PshSLIBSzHashAlloc failed");
        return -1;
    }
    PSLIBSZHASH h = hash.release();
    const int pairs = SLIBFileGetSection(file, section, &h);
    hash.reset(h);
    if (pairs <= 0) {
        SLIB_LOG(LOG_ERR, "%s(%d) SLIBFileGetSection error,section=%s", section);
        return -1;
    }
    h = hash.release();
    const int set = SLIBSzHashSetValue(&h, key, value);
    hash.reset(h);
    if (set < 0) {
        SLIB_LOG(LOG_ERR, "%s(%d) SLIBSzHashSetValue error!");
        return -1;
    }
    if (ErrSLIBIFileModifySection(file, section, nullptr, h, SLIB_SECTION_REPLACE,
                                  format ? format : "\t%s=%s\n") != 1) {
        SLIB_LOG(LOG_ERR, "%s(%d) ErrSLIBIFileModifySection error");
        return -1;
    }
    return 0;
}
