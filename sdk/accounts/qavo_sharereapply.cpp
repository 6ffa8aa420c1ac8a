// Re-application of shares: each share (or one) is written again from its
// record, its folder made when it is missing.
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

#include "qavo_share.h"
#include "qavo_sharedir.h"
#include "qavo_sharelookup.h"
#include "qavo_sharemgmt.h"
#include "share_path.h"
#include "share_table.h"
#include "sharelookup_util.h"
#include "slib_errcode.h"
#include "slib_util.h"

using namespace shlookup;

namespace {

// The record of the share named exactly, in a block of its own (at least
// extra bytes above what the share needs); null when it cannot be read.
// *alloc is set when the failure was an allocation.
PQAVOSHARE ReadRecord(const char *name, int first, int extra, bool *alloc) {
    *alloc = false;
    int size = first;
    for (int tries = 0; tries < 4; ++tries) {
        BlockPtr block(calloc(1, static_cast<size_t>(size)));
        if (!block) {
            *alloc = true;
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            return nullptr;
        }
        int needed = 0;
        const int r = QAVOShareGet(1, name, block.get(), size, &needed);
        if (r == 1) return static_cast<PQAVOSHARE>(block.release());
        if (r != -1 || needed <= size || needed > INT_MAX - extra) return nullptr;
        size = needed + extra;
    }
    return nullptr;
}

// Rewrites one share from its record as the table holds it (smb.conf
// itself without one); its folder is made when missing.
int Reapply(const char *name, const shareint::ShareTable *table = nullptr) {
    int needed = 0;
    const int sized =
        table ? table->Get(name, nullptr, 0, &needed) : QAVOShareGet(1, name, nullptr, 0, &needed);
    if (sized != 0 || needed <= 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIB_LOG(LOG_ERR, "%s(%d) Failed to get share [%s]", name);
        return -1;
    }
    bool alloc = false;
    std::unique_ptr<QAVOSHARE, FreeBlock> share(table ? table->Record(name, 128, &alloc).release()
                                                      : ReadRecord(name, needed, 128, &alloc));
    if (!share) {
        if (!alloc) SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIB_LOG(LOG_ERR, "%s(%d) Failed to get share [%s]", name);
        return -1;
    }
    const char *path = share->szPath;
    // A stored path is made a 0777 folder only where a share may live: a
    // hand-edited or imported path may name any folder of the system.
    if (!shareint::IsSafeSharePath(path)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIB_LOG(LOG_ERR, "%s(%d) share [%s] has a bad path [%s]", name, path);
        return -1;
    }
    const int dir = QAVOShareIsDir(path);
    if (dir < 0) return -1;
    if (dir == 0) {
        if (mkdir(path, 0777) != 0) {
            SLIBErrSet(ERR_WRITE_FAILED);
            SLIB_LOG(LOG_ERR, "%s(%d) Failed to mkdir [%s], errno=%s", path, strerror(errno));
            return -1;
        }
        chmod(path, 0777);
    }
    return QAVOShareSet(1, name, share.get()) < 0 ? -1 : 1;
}

}  // namespace

extern "C" int QAVOShareReapply(const char *name) {
    try {
        if (name) return Reapply(name);
        shareint::ShareTable table;
        if (!table.Load()) return -1;
        // A share rewrites only its own section: the table holds its record
        // until the share is met again under a repeated section name.
        std::set<std::string> done;
        for (const std::string &n : table.Names(kAllClasses)) {
            const bool again = !done.insert(n).second;
            if (Reapply(n.c_str(), again ? nullptr : &table) < 0) return -1;
        }
        return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
