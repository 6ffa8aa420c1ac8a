// Counting and listing users: the local users of /etc/passwd (uid 1024 and
// above; guest only while guest access is supported) and the domain users of
// the domain state files.
#include "qavo_userenum.h"

#include <pwd.h>
#include <unistd.h>
#include <syslog.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qavo_group.h"
#include "qavo_share.h"
#include "qavo_user.h"
#include "qavo_windomain.h"
#include "share_table.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_util.h"
#include "windomain_util.h"

namespace {

using slib::Fail;

constexpr uint32_t kDomainBits = QAVO_USER_ENUM_DOMAIN | QAVO_USER_ENUM_DOMAIN_USED;
constexpr uid_t kFirstLocalUid = 1024;
constexpr uid_t kGuestUid = 1025;

bool DomainJoined() {
    char value[8] = {};
    return SLIBFileGetKeyValue("/etc/qavoinfo.conf", "domainjoined", value, sizeof value, 0) > 0 &&
           strcmp(value, "yes") == 0;
}

// Asks the domain for its user (0) or group (1) list when the file is missing.
bool ListDomain(const char *path, int groups) {
    if (access(path, F_OK) == 0) return true;
    return QAVOWinGetDomainUG(groups) == 0;
}

// Names taken into a caller's list (or counted only), each once: the names
// the list held before count as taken already but not towards the number.
class Taker {
  public:
    explicit Taker(PSLIBSZLIST *list) : list_(list) {
        if (list_ && *list_)
            for (int i = 0; i < (*list_)->nItem; ++i)
                seen_.insert((*list_)->pszItem[i]);
    }
    // False when the push failed.
    bool Take(const std::string &name) {
        if (!seen_.insert(name).second) return true;
        if (list_ && *list_ && SLIBSzListPush(list_, name.c_str()) < 0) {
            SLIBLog(LOG_ERR, "%s(%d): push user into list fail", __FILE__, __LINE__);
            return false;
        }
        ++count_;
        return true;
    }
    int Count() const { return count_; }

  private:
    PSLIBSZLIST *list_;
    std::set<std::string> seen_;
    int count_ = 0;
};

struct FreeBlock {
    void operator()(void *p) const { free(p); }
};
using Block = std::unique_ptr<void, FreeBlock>;

// What a getter of the "size query, then fill" kind gives, in a new block.
template <typename Get>
Block Fetch(Get get) {
    for (int tries = 0; tries < 3; ++tries) {
        int needed = 0;
        if (get(nullptr, 0, &needed) < 0 || needed <= 0) return nullptr;
        Block block(calloc(1, static_cast<size_t>(needed)));
        if (!block) return Fail(ERR_OUT_OF_MEMORY), nullptr;
        int filled = 0;
        if (get(block.get(), needed, &filled) >= 0) return block;
        if (filled <= needed) return nullptr;  // not a list that grew meanwhile
    }
    return nullptr;
}

}  // namespace

extern "C" int QAVOPushDUser(PSLIBSZLIST *list) {
    std::vector<std::string> names;
    if (!ListDomain(SZF_WIN_DOMAIN_USER, 0) || !qwin::ReadNameList(SZF_WIN_DOMAIN_USER, names)) {
        SLIBLog(LOG_ERR, "%s(%d) get domain user list fail\n", __FILE__, __LINE__);
        return -1;
    }
    try {
        Taker taker(list);
        for (const std::string &n : names)
            if (!taker.Take(n)) return -1;
        return taker.Count();
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOPushDUserUsed(PSLIBSZLIST *list) {
    if (access(SZF_WIN_DOMAIN_GROUP_MEMBER, F_OK) != 0 && QAVOMakeDGroupMember() < 0) {
        SLIBLog(LOG_ERR, "%s(%d) make domain group member list fail\n", __FILE__, __LINE__);
        return -1;
    }
    std::vector<std::string> userNames, groupNames;
    if (!ListDomain(SZF_WIN_DOMAIN_USER, 0) ||
        !qwin::ReadNameList(SZF_WIN_DOMAIN_USER, userNames)) {
        SLIBLog(LOG_ERR, "%s(%d) get domain user list fail\n", __FILE__, __LINE__);
        return -1;
    }
    if (!ListDomain(SZF_WIN_DOMAIN_GROUP, 1) ||
        !qwin::ReadNameList(SZF_WIN_DOMAIN_GROUP, groupNames)) {
        SLIBLog(LOG_ERR, "%s(%d) get domain group list fail\n", __FILE__, __LINE__);
        return -1;
    }
    try {
        const std::set<std::string> users(userNames.begin(), userNames.end());
        const std::set<std::string> groups(groupNames.begin(), groupNames.end());
        Taker taker(list);

        shareint::ShareTable table;
        if (!table.Load()) {
            SLIBLog(LOG_ERR, "%s(%d): QAVOShareEnum fail\n", __FILE__, __LINE__);
            return -1;
        }
        for (const std::string &share :
             table.Names(QAVOSHARE_CLASS_ORDINARY | QAVOSHARE_CLASS_USB | QAVOSHARE_CLASS_SATA)) {
            const char *shareName = share.c_str();
            Block rec = Fetch([&table, shareName](void *b, int s, int *n) {
                return table.Get(shareName, b, s, n);
            });
            if (!rec) {
                SLIBLog(LOG_ERR, "%s(%d): QAVOShareGet fail\n", __FILE__, __LINE__);
                return -1;
            }
            const char *rw = static_cast<PQAVOSHARE>(rec.get())->szRW;
            std::string items = rw ? rw : "";
            size_t pos = 0;
            while (pos <= items.size()) {
                size_t comma = items.find(',', pos);
                if (comma == std::string::npos) comma = items.size();
                const std::string item = items.substr(pos, comma - pos);
                pos = comma + 1;
                if (item.size() > 1 && item[0] == '@' && groups.count(item.substr(1))) {
                    const std::string group = item.substr(1);
                    if (group.find("\\domain users") != std::string::npos) {
                        // Every domain user may write there: all of them count.
                        for (const std::string &u : userNames)
                            if (!taker.Take(u)) return -1;
                        return taker.Count();
                    }
                    // The members come through the group's own push; mark
                    // them as taken for the names that follow.
                    std::vector<std::string> members;
                    {
                        slib::SzListPtr tmp(PslSLIBSzListAlloc(1024));
                        if (!tmp) return Fail(ERR_OUT_OF_MEMORY);
                        PSLIBSZLIST t = tmp.release();
                        int n = QAVOPushDGroupMember(group.c_str(), &t, nullptr);
                        tmp.reset(t);
                        if (n < 0) return -1;
                        for (int i = 0; i < t->nItem; ++i)
                            members.emplace_back(t->pszItem[i]);
                    }
                    for (const std::string &m : members)
                        if (!taker.Take(m)) return -1;
                } else if (users.count(item)) {
                    if (!taker.Take(item)) return -1;
                }
            }
        }
        return taker.Count();
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SDKIUserListGet(uint32_t flags, PSLIBSZLIST *list) {
    if (list && !*list) return Fail(ERR_BAD_PARAMETERS);
    if (flags == 0) flags = QAVO_USER_ENUM_LOCAL | QAVO_USER_ENUM_DOMAIN;
    if (flags & QAVO_USER_ENUM_DOMAIN) flags &= ~static_cast<uint32_t>(QAVO_USER_ENUM_DOMAIN_USED);
    int count = 0;
    if (flags & QAVO_USER_ENUM_LOCAL) {
        slib::FilePtr fp(fopen("/etc/passwd", "re"));
        if (!fp) return Fail(ERR_OPEN_FAILED);
        const bool guest = BlQAVOGuestSupport();
        int entries = 0;
        struct passwd *pw;
        while ((pw = fgetpwent(fp.get())) != nullptr) {
            ++entries;
            if (pw->pw_uid < kFirstLocalUid || (pw->pw_uid == kGuestUid && !guest)) continue;
            ++count;
            if (list && SLIBSzListPush(list, pw->pw_name) < 0) return -1;
        }
        // Fewer entries than root, admin (and guest) means a damaged file.
        if (entries < (guest ? 3 : 2)) return Fail(ERR_SYSTEM_CALL);
    }
    if ((flags & kDomainBits) && DomainJoined()) {
        int n = (flags & QAVO_USER_ENUM_DOMAIN) ? QAVOPushDUser(list) : QAVOPushDUserUsed(list);
        // A domain list that cannot be read fails the whole: no success
        // with users missing.
        if (n < 0) {
            SLIBLog(LOG_ERR, "%s(%d): domain user list failed", __FILE__, __LINE__);
            return -1;
        }
        count += n;
    }
    return count;
}

extern "C" int QAVOUserTotalNum(uint32_t flags) {
    if (flags != 0 && !(flags & 0x7)) return Fail(ERR_BAD_PARAMETERS);
    if (ErrSLIBFileLock(SLIB_LOCK_PW | SLIB_LOCK_SH, 5) != 0) return Fail(ERR_LOCK_FAILED);
    int n = SDKIUserListGet(flags, nullptr);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_PW);
    return n;
}

extern "C" int QAVOUserEnum(uint32_t flags, char **buf, int size, int *needed) {
    const bool query = !buf && size == 0;
    if ((flags != 0 && !(flags & (QAVO_USER_ENUM_LOCAL | kDomainBits))) || !needed ||
        !(query || (buf && size > 3)))
        return Fail(ERR_BAD_PARAMETERS);
    slib::ScopedLock lock(SLIB_LOCK_PW, SLIB_LOCK_SH, 5);
    if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
    // The list grows as it fills: its first block need not be the caller's.
    slib::SzListPtr names(
        PslSLIBSzListAlloc(query ? 1024 : (size > (1 << 19) ? 1 << 20 : 2 * size)));
    if (!names) return Fail(ERR_OUT_OF_MEMORY);
    PSLIBSZLIST l = names.release();
    int n = SDKIUserListGet(flags, &l);
    names.reset(l);
    if (n < 0) return -1;
    const std::vector<std::string> texts(l->pszItem, l->pszItem + l->nItem);
    const size_t need = slib::PackedSize(texts);
    *needed = need > INT_MAX ? INT_MAX : static_cast<int>(need);
    if (query) return 0;
    if (need > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    slib::PackTexts(texts, buf, size);
    return l->nItem;
}
