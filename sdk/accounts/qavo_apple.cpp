// AppleTalk and AFP settings.
#include "qavo_apple.h"

#include "slib_errcode.h"

extern "C" int QAVOAppleQueryNetwork(void) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}

extern "C" int QAVOAppleTestAppleRunning(void) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}
