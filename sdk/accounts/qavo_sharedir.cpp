// Share folders on the data volumes.
#include "qavo_sharedir.h"

#include <sys/stat.h>

#include <cstring>

#include "slib_errcode.h"

extern "C" int QAVOShareIsDir(const char *path) {
    if (!path || strnlen(path, 2) < 2 || path[0] != '/') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}
