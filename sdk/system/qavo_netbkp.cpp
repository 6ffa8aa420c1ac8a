// Network backup server switch.
#include "qavo_netbkp.h"

#include "slib_errcode.h"

extern "C" int BlQAVONetBkpIsEnabled(void) {
    return 0;
}

extern "C" int QAVONetBkpService(int) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}
