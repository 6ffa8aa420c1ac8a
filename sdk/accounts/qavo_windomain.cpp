// Windows domain membership.
#include "qavo_windomain.h"

#include "slib_errcode.h"

extern "C" int QAVOWinWebfmCacheClear(void) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}
