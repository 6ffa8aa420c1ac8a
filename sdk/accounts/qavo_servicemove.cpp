// Moving the built-in services' data between volumes.
#include "qavo_servicemove.h"

#include <cinttypes>
#include <cstdio>

#include "qavo_volume.h"
#include "slib_errcode.h"
#include "slib_file.h"

namespace {

constexpr const char *kSource = "sdk/qavoservice";

}  // namespace

extern "C" int CheckTargetFolderSize(const char *folder, const char *parent, int srcVolume,
                                     int dstVolume) {
    if (!folder || srcVolume <= 0 || dstVolume < 1) {
        SLIBLog(LOG_ERR, "%s(%d) Bad parameters.", kSource, __LINE__);
        return -1;
    }
    char source[1024];
    const int n =
        parent ? snprintf(source, sizeof(source), "%s%d/%s/%s", QAVO_VOLUME_PREFIX, srcVolume,
                          parent, folder)
               : snprintf(source, sizeof(source), "%s%d/%s", QAVO_VOLUME_PREFIX, srcVolume, folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(source)) {
        // A cut path would measure some other folder.
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIBLog(LOG_ERR, "%s(%d) Bad parameters.", kSource, __LINE__);
        return -1;
    }
    const int64_t size = SLIBGetDirSize(source);
    if (size == -1) {
        SLIBLog(LOG_ERR, "%s(%d) function SLIBGetDirSize error", kSource, __LINE__);
        return -1;
    }
    char target[32];
    snprintf(target, sizeof(target), "%s%d", QAVO_VOLUME_PREFIX, dstVolume);
    const uint64_t free = SLIBGetFsFreeSize(target);
    if (free == 0) {
        SLIBLog(LOG_ERR, "%s(%d) function SLIBGetFsFreeSize error", kSource, __LINE__);
        return -1;
    }
    SLIBLog(LOG_INFO, "%lld %lld", static_cast<long long>(size), static_cast<long long>(free));
    return static_cast<uint64_t>(size) > free ? 1 : 0;
}
