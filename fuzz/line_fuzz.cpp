// Line files: lines matched by key and flags and by fields, a file of any
// bytes searched, read by field, commented out and in, and reversed twice.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "slib_line.h"
#include "slib_str.h"

namespace {

const char kFile[] = "/tmp/fuzz.lines";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int bits = data[0];
    int flags = 0;
    if (bits & 1) flags |= SLIB_LINE_LAST;
    if (bits & 2) flags |= SLIB_LINE_PREFIX;
    if (bits & 4) flags |= SLIB_LINE_SUFFIX;
    if (bits & 8) flags |= SLIB_LINE_CASELESS;
    auto parts = qfuzz::Parts(data + 1, size - 1, 3);
    const std::string key = qfuzz::CText(parts[0]);
    std::string delimiters = qfuzz::CText(parts[1]);
    if (delimiters.empty()) delimiters = ":\n";
    const std::string &file = parts[2];
    qfuzz::Put(kFile, file);

    PSLIBSZLIST patterns = PslSLIBSzListAlloc(64);
    SLIBStrSep(key.c_str(), ",", &patterns);
    for (const std::string &line : qfuzz::Lines(file)) {
        const std::string l = qfuzz::CText(line) + "\n";
        BlSLIBFileMatchLine(l.c_str(), key.c_str(), flags);
        BlSLIBFileMatchFields(l.c_str(), patterns, delimiters.c_str());
    }
    for (size_t cap : {size_t{3}, file.size() + 2}) {
        auto buf = std::make_unique<char[]>(cap);
        int r = SLIBFileGetLine(kFile, key.c_str(), buf.get(), static_cast<int>(cap), flags);
        if (r > 0) QFUZZ_CHECK(strlen(buf.get()) < cap);
    }
    PSLIBSZLIST out = PslSLIBSzListAlloc(64);
    SLIBFileGetLinesByField(kFile, patterns, &out, delimiters.c_str());
    SLIBSzListFree(out);
    SLIBSzListFree(patterns);
    SLIBFileFindLine(kFile, key.c_str());

    if (!key.empty()) {
        ErrSLIBFileComment(kFile, key.c_str(), SLIB_COMMENT_OUT | (bits & 0x3));
        ErrSLIBFileComment(kFile, key.c_str(), bits & 0x3);
    }
    qfuzz::Put(kFile, file);
    if (file.find('\0') == std::string::npos && SLIBFileReverseLines(kFile) == 0 &&
        SLIBFileReverseLines(kFile) == 0) {
        // Reversed twice: the same lines; a last line without its newline
        // gains one when it was not the only line.
        FILE *fp = fopen(kFile, "re");
        QFUZZ_CHECK(fp);
        std::string back;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0)
            back.append(chunk, n);
        fclose(fp);
        std::string expect = file;
        if (!expect.empty() && expect.back() != '\n' && expect.find('\n') != std::string::npos)
            expect += '\n';
        QFUZZ_CHECK(back == expect);
    }
    return 0;
}
