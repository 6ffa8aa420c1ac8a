// File and file-system utilities.
#include "slib_file.h"

#include <unistd.h>

#include <cstdio>

extern "C" int SLIBSysRename(const char *oldPath, const char *newPath) {
    return rename(oldPath, newPath);
}

extern "C" int SLIBSysUnlink(const char *path) {
    return unlink(path);
}

extern "C" int SLIBSysRemove(const char *path) {
    return remove(path);
}

extern "C" int SLIBSysRmdir(const char *path) {
    return rmdir(path);
}
