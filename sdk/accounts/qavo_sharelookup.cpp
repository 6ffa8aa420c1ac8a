// Share lookups.
#include "qavo_sharelookup.h"

#include <cstdlib>

#include "slib_errcode.h"

extern "C" PQAVOSHARE QAVOShareGetCaseLess(const char *) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return nullptr;
}

extern "C" void QAVOShareFree(PQAVOSHARE share) {
    free(share);
}
