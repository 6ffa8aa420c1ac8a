#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_unicode.h"

namespace {

std::string ToCP(int index, const std::string &utf8) {
    int n = SLIBUnicodeStrUTF8ToCP(index, utf8.c_str(), nullptr, 0);
    EXPECT_GE(n, 0) << index;
    if (n < 0) return "";
    std::string out(static_cast<size_t>(n) + 1, '\0');
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(index, utf8.c_str(), out.data(), n + 1), n);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string FromCP(int index, const std::string &bytes) {
    int n = SLIBUnicodeStrCPToUTF8(index, bytes.c_str(), nullptr, 0);
    EXPECT_GE(n, 0) << index;
    if (n < 0) return "";
    std::string out(static_cast<size_t>(n) + 1, '\0');
    EXPECT_EQ(SLIBUnicodeStrCPToUTF8(index, bytes.c_str(), out.data(), n + 1), n);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Upper(const std::string &s) {
    char out[512];
    int n = SLIBUnicodeUTF8StrUpper(s.c_str(), out, sizeof out);
    EXPECT_GE(n, 0);
    return n < 0 ? "" : std::string(out, static_cast<size_t>(n));
}

// A peer program converting standard input.
std::string Peer(const std::vector<std::string> &argv, const std::string &input) {
    std::string out;
    EXPECT_EQ(qtest::Exec(argv, &out, input), 0) << argv[0] << " " << argv.back();
    return out;
}

}  // namespace

TEST(Unicode, CodePagesAgreeWithIconv) {
    struct Case {
        int index;
        const char *peer;  // iconv's name; null: ICU's own converter tool
        const char *text;
    };
    const Case cases[] = {
        {1, "CP437", "Grüße, café ½"},
        {2, "CP737", "Καλημέρα κόσμε"},
        {3, "CP850", "Grüße, ÆØÅ ¤"},
        {4, "CP852", "Příliš žluťoučký kůň"},
        {5, "CP861", "Þórður Ðóra"},
        {6, "CP866", "Привет, мир"},
        {7, "CP932", "日本語のテキスト ｶﾅ"},
        {8, "CP936", "简体中文"},
        {9, "CP949", "한국어 텍스트"},
        {10, "CP950", "繁體中文"},
        {11, "CP1250", "Zażółć gęślą jaźń"},
        {12, "CP1251", "Съешь же ещё"},
        {13, "CP1252", "Œuvre € café"},
        {14, "CP1253", "Ελληνικά"},
        {15, "MACINTOSH", "café €"},
        {16, nullptr, "Καλημέρα"},
        {20, "MAC-CYRILLIC", "Привет"},
        {29, "EUC-JP", "日本語"},
        {30, "EUC-CN", "简体中文"},
        {31, "EUC-KR", "한국어"},
        {32, "EUC-TW", "繁體"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        std::string expect =
            c.peer ? Peer({"/usr/bin/iconv", "-f", "UTF-8", "-t", c.peer}, c.text)
                   : Peer({"/usr/bin/uconv", "-f", "UTF-8", "-t", "x-mac-greek"}, c.text);
        std::string got = ToCP(c.index, c.text);
        EXPECT_EQ(got, expect);
        EXPECT_EQ(FromCP(c.index, got), c.text);
    }
    // Every index opens a converter and keeps it.
    for (int i = 0; i < SLIB_CODEPAGE_MAX; ++i) {
        UConverter *c = SLIBUnicodeGetConverter(i);
        ASSERT_NE(c, nullptr) << i;
        EXPECT_EQ(SLIBUnicodeGetConverter(i), c);
    }
}

TEST(Unicode, BadIndexesAndDestinations) {
    for (int index : {-1, SLIB_CODEPAGE_MAX}) {
        SLIBErrSet(0);
        EXPECT_EQ(SLIBUnicodeGetConverter(index), nullptr);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        char out[8];
        SLIBErrSet(0);
        EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(index, "a", out, sizeof out), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        EXPECT_EQ(SLIBUnicodeStrCPToUTF8(index, "a", out, sizeof out), -1);
    }
    char out[8] = "junk";
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(0, "abc", out, 3), 3);  // does not fit: emptied
    EXPECT_STREQ(out, "");
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(0, "abc", out, 4), 3);
    EXPECT_STREQ(out, "abc");
    strcpy(out, "junk");
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(13, "€", out, 1), 1);
    EXPECT_STREQ(out, "");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(13, "a", nullptr, 4), -1);
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(13, "a", out, -1), -1);
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(13, nullptr, out, 4), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST(Unicode, InvalidUTF8IsRefused) {
    const char *bad[] = {"\xC3\x28", "a\xFF", "\xED\xA0\x80", "\xE6\x97"};
    for (const char *s : bad) {
        char out[32];
        SLIBErrSet(0);
        EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(13, s, out, sizeof out), -1);
        EXPECT_EQ(SLIBErrGet(), 0x8000u);
        EXPECT_EQ(SLIBUnicodeUTF8StrCountChar(s), -1);
        EXPECT_EQ(SLIBUnicodeUTF8StrUpper(s, out, sizeof out), -1);
        EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(s, "a"), -2);
    }
}

TEST(Unicode, UTF16SourceEndsAtItsFirstZeroByte) {
    // Each source in a heap block of exactly its bytes and the terminator:
    // a read past the terminator is caught.
    auto convert = [](const std::string &src, std::string *out) {
        std::unique_ptr<char[]> heap(new char[src.size() + 1]);
        memcpy(heap.get(), src.c_str(), src.size() + 1);
        char buf[64] = "untouched";
        int n = SLIBUnicodeStrUTF16ToUTF8(heap.get(), buf, sizeof buf);
        *out = buf;
        return n;
    };
    std::string out;
    EXPECT_EQ(convert("", &out), 0);
    EXPECT_EQ(out, "");
    // Units without a zero byte; big-endian unless a byte-order mark says
    // otherwise.
    const std::string be("\x30\x42\xD8\x34\xDD\x1E"), le("\xFF\xFE\x42\x30\x34\xD8\x1E\xDD");
    for (const auto &[src, peerName] : {std::pair{be, "UTF-16BE"}, std::pair{le, "UTF-16"}}) {
        std::string peer = Peer({"/usr/bin/iconv", "-f", peerName, "-t", "UTF-8"}, src);
        EXPECT_EQ(peer, "あ𝄞");
        EXPECT_EQ(convert(src, &out), static_cast<int>(peer.size()));
        EXPECT_EQ(out, peer);
    }
    // A unit with a zero byte ends the text: "AB" big-endian is empty, and
    // little-endian only a lone byte is left after the mark.
    EXPECT_EQ(convert(std::string("\x00"
                                  "A\x00"
                                  "B",
                                  4),
                      &out),
              0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(convert(std::string("\xFF\xFE"
                                  "A\x00"
                                  "B\x00",
                                  6),
                      &out),
              3);
    EXPECT_EQ(out, "\uFFFD");  // the lone byte is no character
    // Into UTF-16 and back: the output has room for the byte-order mark.
    for (const char *text : {"あ", "あ𝄞ꙮ"}) {
        std::string u16 = ToCP(SLIB_CODEPAGE_UTF16, text);
        EXPECT_EQ(Peer({"/usr/bin/iconv", "-f", "UTF-16", "-t", "UTF-8"}, u16), text);
        EXPECT_EQ(FromCP(SLIB_CODEPAGE_UTF16, u16), text);
    }
}

TEST(Unicode, UpperCasingCanGrowTheText) {
    const char *cases[] = {"straße", "ǅemal", "ΐ", "ŉ", "ﬃ", "abc ÿ"};
    for (const char *s : cases) {
        std::string peer = Peer({"/usr/bin/uconv", "-x", "Any-Upper"}, s);
        EXPECT_EQ(Upper(s), peer) << s;
    }
    EXPECT_EQ(Upper("ß"), "SS");
    EXPECT_EQ(Upper("ΐ"), "\u0399\u0308\u0301");  // one unit becomes three
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "ΐ";
    EXPECT_EQ(Upper(many).size(), 40u * 6);
    char none[4] = "x";
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("", none, sizeof none), 0);
    EXPECT_STREQ(none, "");

    // The UTF-16 form reallocates the caller's buffer to fit.
    UChar src[8];
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(src, 8, nullptr, "ßΐ", -1, &err);
    ASSERT_TRUE(U_SUCCESS(err));
    auto *buf = static_cast<UChar *>(malloc(sizeof(UChar)));
    int n = SLIBUnicodeUStrUpper(src, &buf, 1);
    EXPECT_EQ(n, 5);
    char back[32];
    u_strToUTF8(back, sizeof back, nullptr, buf, n, &err);
    EXPECT_STREQ(back, "SS\u0399\u0308\u0301");
    free(buf);
    EXPECT_EQ(SLIBUnicodeUStrUpper(src, nullptr, 1), -1);
    // A result exactly the capacity still gets its terminating zero.
    const UChar ab[] = {'a', 'b', 0};
    buf = static_cast<UChar *>(malloc(2 * sizeof(UChar)));
    EXPECT_EQ(SLIBUnicodeUStrUpper(ab, &buf, 2), 2);
    EXPECT_EQ(std::u16string(buf, buf + 3), std::u16string(u"AB", 3));
    free(buf);
}

TEST(Unicode, CaselessComparisonCollatesUpperCase) {
    struct Case {
        const char *a, *b;
        int r;
    };
    const Case cases[] = {
        {"share", "SHARE", 0},   {"straße", "STRASSE", 0}, {"a", "B", -1}, {"b", "A", 1},
        {"é", "f", -1},          {"Zoe", "émile", 1},      {"", "", 0},    {"", "a", -1},
        {"user10", "user9", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(c.a, c.b), c.r) << c.a << " " << c.b;
    SLIBErrSet(0);
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(nullptr, "a"), -2);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    char *locale = nullptr;
    EXPECT_EQ(SLIBUnicodeCheckLocale(1, &locale), 1);
    EXPECT_STREQ(locale, "");
    UCollator *c = SLIBUnicodeGetCollator();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(SLIBUnicodeResetCollator(), 1);
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("x", "X"), 0);
    EXPECT_EQ(SLIBUnicodeOpenCollator(), 1);
    EXPECT_EQ(SLIBUnicodeCloseCollator(), 1);
}

TEST(Unicode, CountSkipAndShorten) {
    EXPECT_EQ(SLIBUnicodeUTF8StrCountChar("aé日𝄞"), 4);
    EXPECT_STREQ(SzSLIBUnicodeUTF8Skip("aé日x", 3), "x");
    const char cut[] = "a\xE6\x97";
    EXPECT_EQ(SzSLIBUnicodeUTF8Skip(cut, 5), cut + 3);
    EXPECT_STREQ(SzSLIBUnicodeUTF8Skip("", 2), "");
    EXPECT_EQ(SzSLIBUnicodeUTF8Skip("abc", 0), nullptr);

    char dst[64] = "untouched";
    EXPECT_EQ(SLIBUnicodeShortenName("abcdefghij", 4, "~1", dst, sizeof dst), 1);
    EXPECT_STREQ(dst, "abcd~1");
    EXPECT_EQ(SLIBUnicodeShortenName("日本語のテキスト", 3, "..", dst, sizeof dst), 1);
    EXPECT_STREQ(dst, "日本語..");
    strcpy(dst, "untouched");
    EXPECT_EQ(SLIBUnicodeShortenName("abcd", 4, "~1", dst, sizeof dst), 0);
    EXPECT_STREQ(dst, "untouched");
    qtest::ClearSyslog();
    EXPECT_EQ(SLIBUnicodeShortenName("abcdefghij", 4, "~1", dst, 26), -1);
    EXPECT_TRUE(
        qtest::SyslogHas("lib/qavounicode(96): buffer size 26 is smaller than max_utf8_size 4"));
    EXPECT_EQ(SLIBUnicodeShortenName("abcdefghij", 4, "~1", dst, 27), 1);
}
