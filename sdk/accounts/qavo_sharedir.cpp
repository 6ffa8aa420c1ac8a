// Share folders.
#include "qavo_sharedir.h"

#include "slib_errcode.h"

extern "C" int QAVOShareIsDir(const char *) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}
