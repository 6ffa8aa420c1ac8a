// Package analysis: the installed and the package's "VERSION" files and the
// model defaults of any bytes analysed; dotted versions compared, which must
// be an order (equal to itself, the opposite answer with the sides swapped).
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "updt_analyze.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    mkdir("/tmp/fuzzpkg", 0755);
    if (chdir("/tmp/fuzzpkg") != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto parts = qfuzz::Parts(data, size, 5);
    const std::string a = qfuzz::CText(parts[0]), b = qfuzz::CText(parts[1]);
    const int ab = UPDTCompareVersion(a.c_str(), b.c_str());
    QFUZZ_CHECK(ab >= -1 && ab <= 1);
    QFUZZ_CHECK(UPDTCompareVersion(b.c_str(), a.c_str()) == -ab);
    QFUZZ_CHECK(UPDTCompareVersion(a.c_str(), a.c_str()) == 0);

    qfuzz::Put(UPDT_INSTALLED_VERSION, parts[2]);
    qfuzz::Put("VERSION", parts[3]);
    qfuzz::Put(UPDT_DEFAULTS_INFO, parts[4]);
    const int r = ErrUPDTIAnalyze_WholeSystem();
    QFUZZ_CHECK(r >= 0 && r <= 22);
    return 0;
}
