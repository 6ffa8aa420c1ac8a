// Moving the built-in services' data between volumes.
#include "qavo_servicemove.h"

#include "slib_errcode.h"

extern "C" int CheckTargetFolderSize(const char *, const char *, int, int) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}
