// Section files: a file of any bytes listed by section and each section read
// into a hash; header tests on every line; a key set in a plain section
// reads back.
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "slib_section.h"

namespace {

const char kFile[] = "/tmp/fuzz.sections";

bool Plain(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto parts = qfuzz::Parts(data, size, 2);
    const std::string section = qfuzz::CText(parts[0]);
    const std::string &file = parts[1];
    qfuzz::Put(kFile, file);

    for (const std::string &line : qfuzz::Lines(file)) {
        // The exact bytes of the line, so that a read past it is caught.
        std::vector<char> bytes(line.begin(), line.end());
        if (bytes.empty()) continue;
        BlSLIBFileIsSectionHeader(bytes.data(), bytes.size());
        BlSLIBFileIsSectionNamed(bytes.data(), bytes.size(), section.c_str());
    }
    PSLIBSZLIST names = PslSLIBSzListAlloc(64);
    int n = SLIBFileEnumSection(kFile, &names);
    for (int i = 0; i < n && i < 64; ++i) {
        PSLIBSZHASH hash = PshSLIBSzHashAlloc(64);
        SLIBFileGetSection(kFile, SzSLIBSzListGet(names, i), &hash);
        SLIBSzHashFree(hash);
    }
    SLIBSzListFree(names);
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(64);
    SLIBFileGetSection(kFile, section.c_str(), &hash);
    SLIBSzHashFree(hash);

    if (Plain(section) && file.find('\0') == std::string::npos &&
        ErrSLIBFileSetSectionKey(kFile, section.c_str(), "fuzzkey", "fuzzvalue", "%s=%s\n") == 0) {
        PSLIBSZHASH back = PshSLIBSzHashAlloc(64);
        QFUZZ_CHECK(SLIBFileGetSection(kFile, section.c_str(), &back) >= 0);
        const char *v = SzSLIBSzHashGetValue(back, "fuzzkey");
        QFUZZ_CHECK(v && strcmp(v, "fuzzvalue") == 0);
        SLIBSzHashFree(back);
    }
    return 0;
}
