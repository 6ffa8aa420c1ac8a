#include "slib_fsbase.h"

#include <unistd.h>

#include <cstdio>

extern "C" int SLIBFileGetTempName(const char *base, char *output, int size) {
    static int counter = 0;
    if (!base || !output || size < 0) return -1;
    const int n = snprintf(output, static_cast<size_t>(size), "%s%d-%d", base,
                           static_cast<int>(getpid()), counter++);
    if (n < 0 || n >= size) {
        if (size > 0) output[0] = '\0';
        return -1;
    }
    return 0;
}

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
