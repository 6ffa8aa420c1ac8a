#include "slib_errcode.h"

#include <cstdarg>

namespace {
// One word for the whole process; the system runs a single thread.
SLIBERRCODE g_errcode = 0;
}  // namespace

extern "C" void SLIBErrSet(SLIBERRCODE code) {
    g_errcode = code;
}

extern "C" SLIBERRCODE SLIBErrGet(void) {
    return g_errcode;
}

extern "C" void SLIBLog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}
