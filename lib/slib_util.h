// Small helpers shared by the library's sources. Internal to the library.
#pragma once

#include <cstdio>
#include <memory>

#include "slib_errcode.h"
#include "slib_szlist.h"

namespace slib {

// Records the code and gives the usual failure result.
inline int Fail(SLIBERRCODE code) {
    SLIBErrSet(code);
    return -1;
}

struct FileCloser {
    void operator()(FILE *fp) const { fclose(fp); }
};
// A stream closed when it goes out of scope.
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct SzListFree {
    void operator()(PSLIBSZLIST l) const { SLIBSzListFree(l); }
};
// A string list freed when it goes out of scope.
using SzListPtr = std::unique_ptr<SLIBSZLIST, SzListFree>;

}  // namespace slib
