// Share privilege lists: the client's text form split into the three access
// lists of a share, and the check for accounts named twice.
#include "qavo_shareprivilege.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>

#include "qavo_group.h"
#include "slib_errcode.h"
#include "slib_str.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

constexpr int kListSize = 512;
constexpr size_t kSuffix = 5;  // " - RW"

struct FreeBlock {
    void operator()(void *p) const { free(p); }
};

// Account names compare without regard to case everywhere: the key is the
// upper-cased name (its own bytes when it is no valid UTF-8).
std::string Key(const char *name) {
    const size_t len = strlen(name);
    std::string upper(len * 3 + 8, '\0');
    if (SLIBUnicodeUTF8StrUpper(name, upper.data(), static_cast<int>(upper.size())) < 0)
        return name;
    upper.resize(strlen(upper.c_str()));
    return upper;
}

enum Seen { kNone = 0, kRepeat = 1, kConflict = 2 };

class Checker {
  public:
    // Records a name at a level; false on an allocation failure.
    void Test(const char *name, char level) {
        auto [it, fresh] = levels_.emplace(Key(name), level);
        if (fresh) return;
        if (it->second == level) {
            if (seen_ < kRepeat) seen_ = kRepeat;
        } else {
            seen_ = kConflict;
        }
    }
    // Tests the members of a group; false when memory ran out.
    bool TestGroup(const char *group, char level) {
        int needed = 0;
        if (QAVOGroupGet(0, 1, group, nullptr, 0, &needed) != 0 || needed <= 0) {
            return SLIBErrGet() != ERR_OUT_OF_MEMORY;  // a group that cannot be read is skipped
        }
        std::unique_ptr<void, FreeBlock> block(calloc(1, static_cast<size_t>(needed)));
        if (!block) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            return false;
        }
        auto *g = static_cast<QAVOGROUP *>(block.get());
        if (QAVOGroupGet(0, 1, group, g, needed, &needed) != 1) {
            return SLIBErrGet() != ERR_OUT_OF_MEMORY;
        }
        for (QAVOGROUP *m = g + 1; *m; ++m)
            Test(*m, level);
        return true;
    }
    int Result() const { return seen_; }

  private:
    std::unordered_map<std::string, char> levels_;
    int seen_ = kNone;
};

// The names of a list, each followed by ',', in a new string.
char *Joined(const SLIBSZLIST *list) {
    std::string text;
    for (int i = 0; i < list->nItem; ++i) {
        text += list->pszItem[i];
        text += ',';
    }
    char *out = static_cast<char *>(calloc(1, text.size() + 4));
    if (!out) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    memcpy(out, text.c_str(), text.size());
    return out;
}

}  // namespace

extern "C" PSLIBSZLIST SHAREISzListDup(const SLIBSZLIST *list) {
    if (!list) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    PSLIBSZLIST copy = PslSLIBSzListAlloc(list->nSize);
    if (!copy) return nullptr;
    // Pushed unsorted, so the items keep their order; then the list's mode.
    for (int i = 0; i < list->nItem; ++i) {
        if (SLIBSzListPush(&copy, list->pszItem[i]) < 0) {
            SLIBSzListFree(copy);
            return nullptr;
        }
    }
    copy->fMode = list->fMode;
    return copy;
}

extern "C" int SHAREIPrivilegeCheck(SLIBSZLIST **na, SLIBSZLIST **rw, SLIBSZLIST **ro) {
    if (!na || !*na || !rw || !*rw || !ro || !*ro) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        Checker check;
        // In this order a name keeps the first level that names it.
        const std::pair<const SLIBSZLIST *, char> levels[] = {{*na, 'n'}, {*rw, 'w'}, {*ro, 'r'}};
        for (const auto &[list, level] : levels) {
            for (int i = 0; i < list->nItem; ++i) {
                const char *at = strchr(list->pszItem[i], '@');
                if (at && !check.TestGroup(at + 1, level)) return -1;
            }
            for (int i = 0; i < list->nItem; ++i) {
                if (!strchr(list->pszItem[i], '@')) check.Test(list->pszItem[i], level);
            }
        }
        return check.Result();
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOSharePrivilegeSplit(char *text, char **na, char **rw, char **ro) {
    if (!text || !na || !rw || !ro) return slib::Fail(ERR_BAD_PARAMETERS);
    *na = *rw = *ro = nullptr;
    slib::SzListPtr all(PslSLIBSzListAlloc(kListSize));
    slib::SzListPtr listNa(PslSLIBSzListAlloc(kListSize));
    slib::SzListPtr listRw(PslSLIBSzListAlloc(kListSize));
    slib::SzListPtr listRo(PslSLIBSzListAlloc(kListSize));
    if (!all || !listNa || !listRw || !listRo) return -1;
    for (auto *l : {listNa.get(), listRw.get(), listRo.get()})
        SLIBSzListSetMode(l, SLIB_SZLIST_SORTED_CASELESS);
    try {
        const size_t len = strlen(text);
        if (len > 0 && text[len - 1] == ',') text[len - 1] = '\0';
        if (text[0] != '\0') {
            PSLIBSZLIST a = all.release();
            const int r = SLIBStrSep(text, ",", &a);
            all.reset(a);
            if (r < 0) return -1;
        }
        struct Level {
            const char *suffix;
            slib::SzListPtr *list;
        };
        const Level levels[] = {{" - RO", &listRo}, {" - RW", &listRw}, {" - NA", &listNa}};
        for (int i = 0; i < all->nItem; ++i) {
            // Any length: the text comes from a client and is never copied
            // into a buffer of fixed size.
            const std::string entry = all->pszItem[i];
            if (entry.size() < kSuffix) continue;
            for (const Level &l : levels) {
                if (entry.compare(entry.size() - kSuffix, kSuffix, l.suffix) != 0) continue;
                const std::string name = entry.substr(0, entry.size() - kSuffix);
                PSLIBSZLIST p = l.list->release();
                const int r = SLIBSzListPush(&p, name.c_str());
                l.list->reset(p);
                if (r < 0) return -1;
                break;
            }
        }
        PSLIBSZLIST pn = listNa.get(), pw = listRw.get(), pr = listRo.get();
        const int check = SHAREIPrivilegeCheck(&pn, &pw, &pr);
        if (check < 0) return -1;
        std::unique_ptr<char, FreeBlock> outNa(Joined(pn)), outRw(Joined(pw)), outRo(Joined(pr));
        if (!outNa || !outRw || !outRo) return -1;
        *na = outNa.release();
        *rw = outRw.release();
        *ro = outRo.release();
        return check > 0 ? 1 : 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
