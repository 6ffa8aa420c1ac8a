// The string codecs: hexadecimal, the colon escape and HTML entities decode
// any text within the buffer they are given, and each encoder's output
// decodes back to its input. The shell escaper's word is taken apart by a
// shell-word reader of its own and must give the text back.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "slib_str.h"

namespace {

// A heap block of exactly size bytes, so that a write past it is caught.
std::unique_ptr<char[]> Block(size_t size) {
    return std::make_unique<char[]>(size ? size : 1);
}

// One shell word of backslash escapes and single-quoted pieces.
bool ShellWord(const char *word, std::string &out) {
    out.clear();
    for (const char *p = word; *p;) {
        if (*p == '\\') {
            if (!p[1]) return false;
            out += p[1];
            p += 2;
        } else if (*p == '\'') {
            const char *end = strchr(p + 1, '\'');
            if (!end) return false;
            out.append(p + 1, end);
            p = end + 1;
        } else {
            return false;  // an unquoted byte the shell might take apart
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t room = data[0];  // a small output buffer chosen by the input
    const std::string text =
        qfuzz::CText(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
    const size_t n = text.size();

    // Decoders of arbitrary text, into a small and a sufficient buffer.
    for (size_t cap : {room, n + 1}) {
        auto out = Block(cap);
        int r = SLIBStrHexDecode(text.c_str(), out.get(), static_cast<int>(cap));
        QFUZZ_CHECK(r < 0 || static_cast<size_t>(r) < cap);
        r = SLIBStrDecodeColon(text.c_str(), out.get(), static_cast<int>(cap));
        QFUZZ_CHECK(r < 0 || (static_cast<size_t>(r) < cap && strlen(out.get()) <= n));
    }
    {
        auto copy = Block(n + 1);
        memcpy(copy.get(), text.c_str(), n + 1);
        QFUZZ_CHECK(SLIBStrDecodeEntities(copy.get()) == 0);
        QFUZZ_CHECK(strlen(copy.get()) <= n);
    }

    // Round trips.
    {
        auto hex = Block(2 * n + 1);
        QFUZZ_CHECK(SLIBStrHexEncode(text.c_str(), hex.get(), static_cast<int>(2 * n + 1)) ==
                    static_cast<int>(2 * n));
        auto back = Block(n + 1);
        QFUZZ_CHECK(SLIBStrHexDecode(hex.get(), back.get(), static_cast<int>(n + 1)) ==
                    static_cast<int>(n));
        QFUZZ_CHECK(text == back.get());
        auto small = Block(room);
        int r = SLIBStrHexEncode(text.c_str(), small.get(), static_cast<int>(room));
        QFUZZ_CHECK(r < 0 || static_cast<size_t>(r) < room);
    }
    {
        auto enc = Block(2 * n + 1);
        int r = SLIBStrEncodeColon(text.c_str(), enc.get(), static_cast<int>(2 * n + 1));
        QFUZZ_CHECK(r >= 0 && strchr(enc.get(), ':') == nullptr);
        auto back = Block(n + 1);
        QFUZZ_CHECK(SLIBStrDecodeColon(enc.get(), back.get(), static_cast<int>(n + 1)) ==
                    static_cast<int>(n));
        QFUZZ_CHECK(text == back.get());
        auto small = Block(room);
        r = SLIBStrEncodeColon(text.c_str(), small.get(), static_cast<int>(room));
        QFUZZ_CHECK(r < 0 || static_cast<size_t>(r) < room);
    }
    {
        const size_t cap = 3 * n + 3;
        auto word = Block(cap);
        QFUZZ_CHECK(SLIBStrEncodeParam(text.c_str(), word.get(), static_cast<int>(cap)) == 0);
        std::string back;
        QFUZZ_CHECK(ShellWord(word.get(), back));
        QFUZZ_CHECK(back == text);
        if (room > 0) {
            auto small = Block(room);
            if (SLIBStrEncodeParam(text.c_str(), small.get(), static_cast<int>(room)) == 0)
                QFUZZ_CHECK(strcmp(small.get(), word.get()) == 0);
            else
                QFUZZ_CHECK(strlen(small.get()) < room);
        }
    }
    return 0;
}
