#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_str.h"

namespace {

using qtest::Items;

// A destination with guard bytes after its capacity.
struct Buf {
    std::string mem;
    int cap;
    explicit Buf(int c) : mem(static_cast<size_t>(c) + 8, '@'), cap(c) {}
    char *p() { return mem.data(); }
    bool GuardIntact() const { return mem.substr(static_cast<size_t>(cap)) == "@@@@@@@@"; }
};

}  // namespace

TEST(Str, TrimSpace) {
    struct Case {
        const char *in, *out;
    };
    const Case cases[] = {
        {" \"x\" ", "x"}, {"\"", "\""},     {"\"\"", ""},         {" \t\r\n", ""},
        {"\"a", "\"a"},   {"a b\n", "a b"}, {"\"a\"b\"", "a\"b"}, {"", ""},
    };
    for (const Case &c : cases) {
        std::string s = c.in;
        EXPECT_EQ(SLIBStrTrimSpace(s.data(), nullptr), static_cast<int>(strlen(c.out)));
        EXPECT_STREQ(s.c_str(), c.out) << c.in;
        char out[32];
        std::string t = c.in;
        SLIBStrTrimSpace(t.data(), out);
        EXPECT_STREQ(out, c.out);
        EXPECT_EQ(t, c.in);
    }
    EXPECT_EQ(SLIBStrTrimSpace(nullptr, nullptr), -1);
}

TEST(Str, SplitKeepsOrDropsEmptyTokens) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    EXPECT_EQ(SLIBStrSep("a,,b;c", ",;", &l), 4);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"a", "", "b", "c"}));
    SLIBSzListRemoveAll(l);
    EXPECT_EQ(SLIBStrSepNonEmpty(",a,,b,", ",", &l), 2);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"a", "b"}));
    SLIBErrSet(0);
    EXPECT_EQ(SLIBStrSep(nullptr, ",", &l), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    SLIBSzListFree(l);

    char text[] = "::x:y";
    char *cur = text;
    EXPECT_STREQ(SzSLIBStrSepNonEmpty(&cur, ":"), "x");
    EXPECT_STREQ(SzSLIBStrSepNonEmpty(&cur, ":"), "y");
    EXPECT_EQ(SzSLIBStrSepNonEmpty(&cur, ":"), nullptr);
}

TEST(Str, ReplaceAndInsert) {
    char buf[32] = "nobody,joe,nobody";
    EXPECT_EQ(SLIBStrReplace(buf, "joe", "annabel", nullptr, 31), 1);
    EXPECT_STREQ(buf, "nobody,annabel,nobody");
    // The room is tested before the search, also when nothing matches.
    SLIBErrSet(0);
    EXPECT_EQ(SLIBStrReplace(buf, "zz", "z", nullptr, 19), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_EQ(SLIBStrReplace(buf, "zz", "z", nullptr, 21), 0);
    // Nothing to replace: the unchanged text copied out must fit as well.
    Buf small(15);
    EXPECT_EQ(SLIBStrReplace(buf, "nobody,", "", small.p(), small.cap - 1), 1);
    EXPECT_STREQ(small.p(), "annabel,nobody");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBStrReplace(buf, "nobody;", "", small.p(), small.cap - 1), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_TRUE(small.GuardIntact());
    char copy[32];
    EXPECT_EQ(SLIBStrReplace(buf, "nobody;", "", copy, 21), 0);
    EXPECT_STREQ(copy, buf);
    char out[32];
    EXPECT_EQ(SLIBStrRemove(buf, ",nobody", out, 31), 1);
    EXPECT_STREQ(out, "nobody,annabel");
    EXPECT_STREQ(buf, "nobody,annabel,nobody");
    // The result needs length 21 - 6 + 7 = 22 without its zero.
    EXPECT_EQ(SLIBStrReplace(buf, "nobody", "someone", out, 21), -1);
    EXPECT_EQ(SLIBStrReplace(buf, "nobody", "someone", out, 22), 1);
    EXPECT_STREQ(out, "someone,annabel,nobody");

    char t[32] = "path=/x";
    EXPECT_EQ(SLIBStrInsertAfter(t, "=", "/volume1", nullptr, 15), 1);
    EXPECT_STREQ(t, "path=/volume1/x");
    EXPECT_EQ(SLIBStrInsertBefore(t, "path", "\t", nullptr, 16), 1);
    EXPECT_STREQ(t, "\tpath=/volume1/x");
    EXPECT_EQ(SLIBStrInsertBefore(t, "none", "x", nullptr, 31), 0);
    EXPECT_EQ(SLIBStrInsert(t, t + 1, "xy", nullptr, 17), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_EQ(SLIBStrInsert(t, t + 1, "xy", out, 18), 1);
    EXPECT_STREQ(out, "\txypath=/volume1/x");
    char elsewhere[4] = "abc";
    EXPECT_EQ(SLIBStrInsert(t, elsewhere + 1, "x", nullptr, 31), -1);
}

TEST(Str, ToLower) {
    char s[] = "YES No";
    EXPECT_EQ(SzSLIBStrToLower(s, 0, nullptr, 6), s);
    EXPECT_STREQ(s, "yes no");
    char out[7];
    char u[] = "ABCDEF";
    EXPECT_EQ(SzSLIBStrToLower(u, 0, out, 6), nullptr);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_EQ(SzSLIBStrToLower(u, 0, out, 7), out);
    EXPECT_STREQ(out, "abcdef");
}

TEST(Str, EncodeParamMakesOneShellWord) {
    const char *hostile[] = {
        "plain", "a b", "$(touch /tmp/pwned)", "`id`;rm -rf x", "'\"\\*?", "-n", "a\nb",
        "\n",    "",    "\xC3\xA9\t"};
    for (const char *s : hostile) {
        char enc[128];
        ASSERT_EQ(SLIBStrEncodeParam(s, enc, sizeof enc), 0);
        std::string out;
        ASSERT_EQ(qtest::Exec({"/bin/sh", "-c",
                               std::string("set -- ") + enc + "; printf '%s|%s' \"$#\" \"$1\""},
                              &out),
                  0);
        EXPECT_EQ(out, std::string("1|") + s);
    }
    // A newline takes three bytes, the empty word two.
    Buf nl7(7);
    EXPECT_EQ(SLIBStrEncodeParam("a\nb", nl7.p(), nl7.cap), -1);
    EXPECT_TRUE(nl7.GuardIntact());
    Buf nl(8);
    EXPECT_EQ(SLIBStrEncodeParam("a\nb", nl.p(), nl.cap), 0);
    EXPECT_TRUE(nl.GuardIntact());
    Buf empty(2);
    EXPECT_EQ(SLIBStrEncodeParam("", empty.p(), empty.cap), -1);
    EXPECT_STREQ(empty.p(), "");
    EXPECT_FALSE(qtest::FileExists("/tmp/pwned"));
    Buf b(6);  // room for two characters only
    EXPECT_EQ(SLIBStrEncodeParam("abc", b.p(), b.cap), -1);
    EXPECT_STREQ(b.p(), "\\a\\b");
    EXPECT_TRUE(b.GuardIntact());
    char ok[7];
    EXPECT_EQ(SLIBStrEncodeParam("abc", ok, 7), 0);
    EXPECT_EQ(SLIBStrEncodeParam(nullptr, ok, 7), -1);
}

TEST(Str, ColonEscapesFitTheDestination) {
    char out[16];
    EXPECT_EQ(SLIBStrEncodeColon("a:b;c", out, sizeof out), 7);
    EXPECT_STREQ(out, "a;,b;;c");
    char dec[16];
    EXPECT_EQ(SLIBStrDecodeColon(out, dec, sizeof dec), 5);
    EXPECT_STREQ(dec, "a:b;c");
    EXPECT_EQ(SLIBStrDecodeColon("ab;", dec, sizeof dec), 2);
    EXPECT_STREQ(dec, "ab");
    EXPECT_EQ(SLIBStrDecodeColon("a;zb", dec, sizeof dec), 1);
    EXPECT_STREQ(dec, "a");
    // Every size is the capacity, the terminating zero included.
    Buf e(7);
    SLIBErrSet(0);
    EXPECT_EQ(SLIBStrEncodeColon("a:b;c", e.p(), e.cap), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_TRUE(e.GuardIntact());
    Buf e8(8);
    EXPECT_EQ(SLIBStrEncodeColon("a:b;c", e8.p(), e8.cap), 7);
    EXPECT_TRUE(e8.GuardIntact());
    Buf d(2);
    EXPECT_EQ(SLIBStrDecodeColon("a;,", d.p(), d.cap), -1);
    EXPECT_TRUE(d.GuardIntact());
    EXPECT_EQ(SLIBStrEncodeColon(out, out, sizeof out), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST(Str, HexFitsTheDestination) {
    Buf b(5);
    EXPECT_EQ(SLIBStrHexEncode("\x01\xAB", b.p(), b.cap), 4);
    EXPECT_STREQ(b.p(), "01AB");
    Buf small(4);
    SLIBErrSet(0);
    EXPECT_EQ(SLIBStrHexEncode("\x01\xAB", small.p(), small.cap), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_TRUE(small.GuardIntact());
    struct Case {
        const char *in, *out;
    };
    const Case cases[] = {{"414243", "ABC"}, {"x41x42", "AB"}, {"41a2", "A"},
                          {"414", "A"},      {"", ""},         {"4G", ""}};
    for (const Case &c : cases) {
        char out[16];
        EXPECT_EQ(SLIBStrHexDecode(c.in, out, sizeof out), static_cast<int>(strlen(c.out)));
        EXPECT_STREQ(out, c.out) << c.in;
    }
    Buf z(0);
    EXPECT_EQ(SLIBStrHexDecode("", z.p(), 0), -1);  // no room even for the zero
    EXPECT_TRUE(z.GuardIntact());
}

TEST(Str, DecodeEntities) {
    char s[] = "a&nbsp;b&yuml;&Agrave;&amp;&frac14;&unknown;&abcdefg;&szlig";
    EXPECT_EQ(SLIBStrDecodeEntities(s), 0);
    EXPECT_STREQ(s,
                 "a\xA0"
                 "b\xFF\xC0&amp;\xBC&unknown;&abcdefg;&szlig");
    EXPECT_EQ(SLIBStrDecodeEntities(nullptr), -1);
}

TEST(Str, CP932PairsAreAOneToOneTable) {
    std::map<unsigned, int> firstLeads, secondLeads;
    int pairs = 0;
    for (unsigned c = 0x8000; c <= 0xFFFF; ++c) {
        unsigned s = SLIBCP932FirstToSecond(c);
        if (s == c) continue;
        ++pairs;
        ++firstLeads[c >> 8];
        ++secondLeads[s >> 8];
        EXPECT_EQ(SLIBCP932SecondToFirst(s), c);
    }
    EXPECT_EQ(pairs, 316);
    EXPECT_EQ(firstLeads,
              (std::map<unsigned, int>{{0x87, 74}, {0xF0, 179}, {0xF1, 53}, {0xFA, 10}}));
    EXPECT_EQ(secondLeads, (std::map<unsigned, int>{{0x85, 115},
                                                    {0x86, 61},
                                                    {0x87, 74},
                                                    {0x88, 10},
                                                    {0xEB, 31},
                                                    {0xEC, 10},
                                                    {0xED, 12},
                                                    {0xF0, 3}}));
    EXPECT_EQ(SLIBCP932FirstToSecond(0x8740), 0x8540u);
    EXPECT_EQ(SLIBCP932FirstToSecond(0xFA49), 0x85BCu);
    EXPECT_EQ(SLIBCP932SecondToFirst(0x4141), 0x4141u);

    char text[] = "a\x87\x40\xB1\xFA\x40\x82\xA0\x87";
    char second[16];
    ASSERT_EQ(SzSLIBCP932StrToSecond(text, second), second);
    EXPECT_STREQ(second, "a\x85\x40\xB1\x85\xB3\x82\xA0\x87");
    ASSERT_EQ(SzSLIBCP932StrToFirst(second, nullptr), second);
    EXPECT_STREQ(second, text);
}

TEST(Str, LineReader) {
    qtest::WriteFile("/tmp/lines", "a\n" + std::string(1000, 'b') + "\n\nlast");
    FILE *fp = fopen("/tmp/lines", "r");
    ASSERT_NE(fp, nullptr);
    size_t len = 0;
    std::vector<std::string> lines;
    while (char *p = fgetln(fp, &len))
        lines.emplace_back(p, len);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"a\n", std::string(1000, 'b') + "\n", "\n", "last"}));
    EXPECT_EQ(fgetln(fp, &len), nullptr);
    fclose(fp);

    void *p = QAVOReallocf(nullptr, 16);
    ASSERT_NE(p, nullptr);
    p = QAVOReallocf(p, 64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(QAVOReallocf(p, 0), nullptr);
}
