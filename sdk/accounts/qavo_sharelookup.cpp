// Share lookups over the share sections of smb.conf.
#include "qavo_sharelookup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "slib_errcode.h"
#include "slib_unicode.h"

namespace {

// Tries of the size query and the fill when the share grows in between.
constexpr int kReadTries = 3;

struct FreeBlock {
    void operator()(void *p) const { free(p); }
};

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
