// Key/value files: a file of any bytes read one key at a time (first and
// last match, into a small and a sufficient buffer), all at once, and line
// by line; then a plain key set in it reads back with its value.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "slib_keyvalue.h"

namespace {

const char kFile[] = "/tmp/fuzz.conf";

bool Plain(const std::string &s, bool allowEmpty) {
    if (s.empty()) return allowEmpty;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-')
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto parts = qfuzz::Parts(data, size, 3);
    const std::string key = qfuzz::CText(parts[0]), value = qfuzz::CText(parts[1]);
    const std::string &file = parts[2];
    qfuzz::Put(kFile, file);

    for (int flags : {0, SLIB_KEYVALUE_LAST_MATCH}) {
        for (size_t cap : {size_t{4}, file.size() + 1}) {
            auto buf = std::make_unique<char[]>(cap);
            int r =
                SLIBFileGetKeyValue(kFile, key.c_str(), buf.get(), static_cast<int>(cap), flags);
            if (r > 0) QFUZZ_CHECK(strlen(buf.get()) < cap);
        }
    }
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(64);
    SLIBFileGetKeys(kFile, &hash);
    SLIBSzHashFree(hash);
    PSLIBSZLIST list = PslSLIBSzListAlloc(64);
    SLIBStrSplitKeyValue(qfuzz::CText(file).c_str(), &list);
    SLIBSzListFree(list);
    for (std::string &line : qfuzz::Lines(file)) {
        line = qfuzz::CText(line);
        BlSLIBFileMatchKey(line.data(), key.c_str());
    }

    // Any one-line value set in double quotes reads back exactly, shell
    // characters and backslashes included.
    if (Plain(key, false) && value.find_first_of("\r\n") == std::string::npos &&
        SLIBFileSetKeyValue(kFile, key.c_str(), value.c_str(), SLIB_KEYVALUE_FMT_QUOTED) == 1) {
        std::string back(value.size() + 1, '\0');
        int r =
            SLIBFileGetKeyValue(kFile, key.c_str(), back.data(), static_cast<int>(back.size()), 0);
        QFUZZ_CHECK(r > 0 && value == back.c_str());
    }
    return 0;
}
