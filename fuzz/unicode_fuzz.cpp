// The Unicode layer on any bytes: conversions between UTF-8, the code pages
// and UTF-16 into small and sufficient buffers, counting, upper-casing,
// caseless comparison, skipping and shortening.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "slib_unicode.h"

namespace {

std::unique_ptr<char[]> Block(size_t size) {
    return std::make_unique<char[]>(size ? size : 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int index = data[0] % SLIB_CODEPAGE_MAX;
    const size_t room = data[1];
    const std::string raw(reinterpret_cast<const char *>(data) + 2, size - 2);
    const std::string text = qfuzz::CText(raw);
    const size_t n = text.size();

    for (size_t cap : {room, 4 * n + 200}) {
        auto out = Block(cap);
        if (index != SLIB_CODEPAGE_UTF16) {
            SLIBUnicodeStrUTF8ToCP(index, text.c_str(), out.get(), static_cast<int>(cap));
            SLIBUnicodeStrCPToUTF8(index, text.c_str(), out.get(), static_cast<int>(cap));
        }
        SLIBUnicodeUTF8StrUpper(text.c_str(), out.get(), static_cast<int>(cap));
        SLIBUnicodeShortenName(text.c_str(), static_cast<int>(room % 32), "~1", out.get(),
                               static_cast<int>(cap));
    }
    {
        // UTF-16 bytes ended by a zero unit, in a block of exactly that size.
        std::string units = raw.substr(0, raw.size() & ~size_t{1});
        for (size_t i = 0; i + 1 < units.size(); i += 2)
            if (units[i] == 0 && units[i + 1] == 0) units.resize(i);
        auto src = Block(units.size() + 2);
        memcpy(src.get(), units.data(), units.size());
        src[units.size()] = src[units.size() + 1] = 0;
        for (size_t cap : {room, 2 * units.size() + 8}) {
            auto out = Block(cap);
            SLIBUnicodeStrUTF16ToUTF8(src.get(), out.get(), static_cast<int>(cap));
        }
    }
    {
        auto src = Block(n + 1);
        memcpy(src.get(), text.c_str(), n + 1);
        QFUZZ_CHECK(SLIBUnicodeUTF8StrCountChar(src.get()) <= static_cast<int>(n));
        const char *skipped = SzSLIBUnicodeUTF8Skip(src.get(), static_cast<int>(room));
        QFUZZ_CHECK(!skipped || (skipped >= src.get() && skipped <= src.get() + n));
        SLIBUnicodeUTF8StrCaseCmp(src.get(), "a");
    }
    return 0;
}
