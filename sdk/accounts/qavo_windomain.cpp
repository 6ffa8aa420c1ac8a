// Windows domain membership.
#include "qavo_windomain.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "slib_errcode.h"

namespace {

constexpr const char *kWebfmDir = "/tmp/webfm";
constexpr const char *kValidShareCache = "webfm.domain.validshare";

}  // namespace

extern "C" int QAVOWinWebfmCacheClear(void) {
    DIR *dir = opendir(kWebfmDir);
    if (!dir) {
        SLIBErrSet(ERR_OPEN_FAILED);
        return -1;
    }
    // Entries are removed by their whole name relative to the open folder,
    // so a long name is never cut into the name of some other file.
    const int fd = dirfd(dir);
    while (struct dirent *e = readdir(dir)) {
        if (strstr(e->d_name, kValidShareCache)) unlinkat(fd, e->d_name, 0);
    }
    closedir(dir);
    return 0;
}
