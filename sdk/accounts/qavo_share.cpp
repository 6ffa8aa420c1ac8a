// Share records.
#include "qavo_share.h"

#include "slib_errcode.h"

extern "C" int QAVOShareEnum1(char **, int, int *, uint32_t) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}

extern "C" int QAVOShareEnum(char **buf, int size, int *needed) {
    return QAVOShareEnum1(buf, size, needed, 7);
}

extern "C" int QAVOShareGet(int, const char *, void *, int, int *) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}

extern "C" int BlQAVOShareIsUSB(const char *) {
    return 0;
}

extern "C" int BlQAVOShareIsSATA(const char *) {
    return 0;
}
