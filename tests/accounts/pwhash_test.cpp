#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "appliance.h"
#include "sdk_pwhash.h"
#include "slib_errcode.h"

using qtest::Exec;
using qtest::WriteFile;

namespace {

std::string Hex(const unsigned char *p, size_t n, bool upper = true) {
    static const char *const digits[] = {"0123456789abcdef", "0123456789ABCDEF"};
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[upper][p[i] >> 4];
        s += digits[upper][p[i] & 0xf];
    }
    return s;
}

std::string Upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The first hexadecimal word of a tool's output ("MD4(stdin)= ..." or "... *stdin").
std::string ToolDigest(const std::string &out) {
    size_t eq = out.find("= ");
    std::string s = eq == std::string::npos ? out : out.substr(eq + 2);
    return Upper(s.substr(0, s.find_first_of(" \n")));
}

// NT hash computed by the system's tools: UTF-16LE by iconv, MD4 by openssl.
std::string ToolNT(const std::string &utf8) {
    std::string utf16, out;
    EXPECT_EQ(0, Exec({"iconv", "-f", "UTF-8", "-t", "UTF-16LE"}, &utf16, utf8));
    EXPECT_EQ(0, Exec({"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default"},
                      &out, utf16));
    return ToolDigest(out);
}

std::string ToolMD4(const std::string &data) {
    std::string out;
    EXPECT_EQ(0, Exec({"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default"},
                      &out, data));
    return ToolDigest(out);
}

// DES encryption of whole blocks by openssl under an 8-byte key (hex).
std::string ToolDES(const std::string &key8hex, const std::string &data) {
    std::string out;
    EXPECT_EQ(0, Exec({"openssl", "enc", "-des-ecb", "-provider", "legacy", "-provider", "default",
                       "-nopad", "-K", key8hex},
                      &out, data));
    return Hex(reinterpret_cast<const unsigned char *>(out.data()), out.size());
}

// The 8-byte DES key (hex, parity bits 0) that carries 7 key bytes.
std::string SpreadKey(const unsigned char *k7) {
    unsigned char k8[8];
    uint64_t bits = 0;
    for (int i = 0; i < 7; ++i)
        bits = bits << 8 | k7[i];
    for (int i = 0; i < 8; ++i)
        k8[i] = static_cast<unsigned char>(((bits >> (49 - 7 * i)) & 0x7f) << 1);
    return Hex(k8, 8);
}

// LM hash computed by the system's tools: the upper-cased password in the
// code page by iconv, DES by openssl.
std::string ToolLM(const std::string &upperUtf8, const char *charset) {
    std::string cp;
    EXPECT_EQ(0, Exec({"iconv", "-f", "UTF-8", "-t", charset}, &cp, upperUtf8));
    unsigned char key[14] = {};
    memcpy(key, cp.data(), std::min(cp.size(), sizeof key));
    return ToolDES(SpreadKey(key), "KGS!@#$%") + ToolDES(SpreadKey(key + 7), "KGS!@#$%");
}

std::string NT(const std::string &pw) {
    char hex[SDKI_PWHASH_HEX_SIZE] = "unfilled";
    EXPECT_EQ(0, SDKINTPwdEncrypt(pw.c_str(), hex)) << pw;
    return hex;
}

std::string LM(const std::string &pw, int *result = nullptr) {
    char hex[SDKI_PWHASH_HEX_SIZE] = "unfilled";
    int r = SDKILMPwdEncrypt(pw.c_str(), hex);
    if (result)
        *result = r;
    else
        EXPECT_EQ(0, r) << pw;
    return hex;
}

void SetCodePage(const char *value) {
    WriteFile("/etc/qavoinfo.conf", std::string("codepage=\"") + value + "\"\n");
}

TEST(PwHash, KnownVectorsAgreeWithTools) {
    SetCodePage("437");
    EXPECT_EQ("8846F7EAEE8FB117AD06BDD830B7586C", NT("password"));
    EXPECT_EQ("31D6CFE0D16AE931B73C59D7E0C089C0", NT(""));
    EXPECT_EQ("E52CAC67419A9A224A3B108F3FA6CB6D", LM("password"));
    EXPECT_EQ("AAD3B435B51404EEAAD3B435B51404EE", LM(""));
    EXPECT_EQ(ToolNT("password"), NT("password"));
    EXPECT_EQ(ToolNT(""), NT(""));
    EXPECT_EQ(ToolLM("PASSWORD", "CP437"), LM("password"));
    EXPECT_EQ(ToolLM("", "CP437"), LM(""));

    unsigned char md[16];
    SDKIMD4Hash(reinterpret_cast<const unsigned char *>("abc"), 3, md);
    EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", Hex(md, 16, false));

    // Key 133457799BBCDFF1 carries these 56 bits; the parity bits do not count.
    const unsigned char key7[7] = {0x12, 0x69, 0x5b, 0xc9, 0xb7, 0xb7, 0xf8};
    const unsigned char plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    unsigned char cipher[8], back[8];
    SDKIDESHash(cipher, plain, key7, 1);
    EXPECT_EQ("85E813540F0AB405", Hex(cipher, 8));
    EXPECT_EQ(ToolDES("133457799BBCDFF1", std::string(plain, plain + 8)), Hex(cipher, 8));
    SDKIDESHash(back, cipher, key7, 0);
    EXPECT_EQ(Hex(plain, 8), Hex(back, 8));
}

TEST(PwHash, MD4AcrossPaddingBoundaries) {
    // RFC 1320's suite, then lengths around the one- and two-block padding.
    const std::vector<std::pair<std::string, const char *>> vectors = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {std::string(80, '0').replace(0, 80,
                                      "1234567890123456789012345678901234567890"
                                      "1234567890123456789012345678901234567890"),
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    unsigned char md[16];
    for (const auto &[text, digest] : vectors) {
        SDKIMD4Hash(reinterpret_cast<const unsigned char *>(text.data()), text.size(), md);
        EXPECT_EQ(digest, Hex(md, 16, false)) << text;
    }
    for (size_t len : {55, 56, 63, 64, 65, 119, 120, 128, 1000}) {
        std::string data;
        for (size_t i = 0; i < len; ++i)
            data += static_cast<char>(i * 7 + 3);
        SDKIMD4Hash(reinterpret_cast<const unsigned char *>(data.data()), len, md);
        EXPECT_EQ(ToolMD4(data), Hex(md, 16)) << len;
    }
}

TEST(PwHash, DESMatchesOpensslForManyKeysAndBlocks) {
    // Eight blocks under each key reach every S-box entry often enough for
    // a wrong table value to show.
    unsigned seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245 + 12345;
        return static_cast<unsigned char>(seed >> 16);
    };
    for (int k = 0; k < 6; ++k) {
        unsigned char key7[7];
        for (auto &b : key7)
            b = next();
        std::string data;
        for (int i = 0; i < 64; ++i)
            data += static_cast<char>(next());
        std::string mine;
        for (int blk = 0; blk < 8; ++blk) {
            unsigned char out[8], back[8];
            const auto *in = reinterpret_cast<const unsigned char *>(data.data()) + 8 * blk;
            SDKIDESHash(out, in, key7, 1);
            SDKIDESHash(back, out, key7, 0);
            EXPECT_EQ(Hex(in, 8), Hex(back, 8));
            mine += Hex(out, 8);
        }
        EXPECT_EQ(ToolDES(SpreadKey(key7), data), mine) << k;
    }
}

TEST(PwHash, NTHashIsOverUTF16) {
    // Non-ASCII text is hashed as UTF-16LE (surrogate pairs included), as
    // SMB clients hash it.
    for (const char *pw : {"pässwörd", "Пароль", "密码", "pw\xF0\x9F\x94\x91key"})
        EXPECT_EQ(ToolNT(pw), NT(pw)) << pw;
    // Three ASCII letters are six bytes: each letter and a zero byte.
    unsigned char md[16];
    SDKIMD4Hash(reinterpret_cast<const unsigned char *>("a\0b\0c\0"), 6, md);
    EXPECT_EQ(Hex(md, 16), NT("abc"));
    // Bytes that are not UTF-8 are taken as Latin-1.
    EXPECT_EQ(NT("p\xC3\xA4ss"), NT("p\xE4ss"));
    // Only the first 128 characters count.
    std::string longpw;
    for (int i = 0; i < 200; ++i)
        longpw += static_cast<char>('a' + i % 26);
    EXPECT_EQ(NT(longpw.substr(0, 128)), NT(longpw));
    EXPECT_NE(NT(longpw.substr(0, 127)), NT(longpw));
    // A pair cut at the limit is dropped whole, never half written.
    std::string cut = std::string(127, 'x') + "\xF0\x9F\x94\x91";
    EXPECT_EQ(NT(std::string(127, 'x')), NT(cut));
}

TEST(PwHash, LMHashInTheCodePage) {
    SetCodePage("850");
    // Upper-cased, then in code page 850: both tools agree.
    EXPECT_EQ(ToolLM("PÄSSWÖRD", "CP850"), LM("pässwörd"));
    // Only the first 14 bytes make the key.
    EXPECT_EQ(LM("abcdefghijklmn"), LM("abcdefghijklmnopq"));

    struct Case {
        const char *codepage;
        std::string password;
        SLIBERRCODE code;  // what the hash leaves for SLIBErrGet
    };
    // Nothing that could stand for another password: "no hash".
    const Case none[] = {
        {"437", "密码", ERR_UNICODE},                       // the code page lacks the characters
        {"850", "Пароль", ERR_UNICODE},                     // likewise
        {"437", std::string(200, 'a'), ERR_BUF_TOO_SMALL},  // too long to upper-case into 128 bytes
        {"437", std::string(128, 'a'), ERR_BUF_TOO_SMALL},  // one byte too long
        {"enu", "password", ERR_NOT_FOUND},                 // no valid code-page setting
    };
    for (const Case &c : none) {
        SetCodePage(c.codepage);
        int result = 0;
        SLIBErrSet(0);
        EXPECT_EQ(SDKI_LM_NO_HASH, LM(c.password, &result)) << c.codepage << " " << c.password;
        EXPECT_EQ(-1, result);
        EXPECT_EQ(c.code, SLIBErrGet()) << c.codepage << " " << c.password;
    }
    // 127 bytes are the longest that fit.
    SetCodePage("437");
    EXPECT_NE(SDKI_LM_NO_HASH, LM(std::string(127, 'a')));
    SetCodePage("866");
    EXPECT_EQ(ToolLM("ПАРОЛЬ", "CP866"), LM("Пароль"));
}

TEST(PwHash, ArgumentErrors) {
    unsigned char out[16];
    struct Case {
        int result;
        SLIBERRCODE code;
    };
    auto call = [](auto f) {
        SLIBErrSet(0);
        int r = f();
        return Case{r, SLIBErrGet()};
    };
    for (auto *f : {SDKINTHash, SDKILMHash}) {
        Case c = call([&] { return f("pw", out, 15); });
        EXPECT_EQ(-1, c.result);
        EXPECT_EQ(ERR_BUF_TOO_SMALL, c.code);
        c = call([&] { return f(nullptr, out, 16); });
        EXPECT_EQ(ERR_BAD_PARAMETERS, c.code);
    }
    char hex[SDKI_PWHASH_HEX_SIZE];
    qtest::ClearSyslog();
    Case c = call([&] { return SDKINTPwdEncrypt(nullptr, hex); });
    EXPECT_EQ(-1, c.result);
    EXPECT_EQ(ERR_BAD_PARAMETERS, c.code);
    EXPECT_TRUE(qtest::SyslogHas("SDKIAPPLEPwdEncrypt(): Bad arguments: [szPlain] == ["));
    EXPECT_TRUE(qtest::SyslogHas("[szNTPasswd] == ["));
    c = call([&] { return SDKILMPwdEncrypt("pw", nullptr); });
    EXPECT_EQ(ERR_BAD_PARAMETERS, c.code);
    EXPECT_TRUE(qtest::SyslogHas("[szLMPasswd] == ["));
}

TEST(PwHash, CryptSaltsAndMD5Detection) {
    std::string tool;
    ASSERT_EQ(0, Exec({"openssl", "passwd", "-1", "-salt", "ab", "password"}, &tool));
    tool.erase(tool.find_last_not_of('\n') + 1);
    const char *mine = SDKIPwdCrypt("password", "ab");
    ASSERT_NE(nullptr, mine);
    EXPECT_EQ(tool, mine);
    // A stored hash as salt checks a password against it.
    EXPECT_STREQ(tool.c_str(), SDKIPwdCrypt("password", tool.c_str()));
    EXPECT_STRNE(tool.c_str(), SDKIPwdCrypt("Password", tool.c_str()));

    // The empty salt: two characters picked by the current second.
    const long before = static_cast<long>(time(nullptr));
    std::string made = SDKIPwdCrypt("password", "");
    const long after = static_cast<long>(time(nullptr));
    bool matched = false;
    for (long t = before; t <= after; ++t) {
        std::string salt = {SDKISaltChar(t), SDKISaltChar(t + 10)};
        matched = matched || made == SDKIPwdCrypt("password", salt.c_str());
    }
    EXPECT_TRUE(matched) << made;
    EXPECT_EQ(1, IsPasswdMD5Encrypt(made.c_str()));

    const std::pair<long, char> salts[] = {{0, '0'},  {9, '9'},  {10, 'A'},  {35, 'Z'},
                                           {36, 'a'}, {61, 'z'}, {62, '.'},  {63, '/'},
                                           {64, '0'}, {-1, '1'}, {-63, '/'}, {LONG_MIN, '0'}};
    for (const auto &[n, ch] : salts)
        EXPECT_EQ(ch, SDKISaltChar(n)) << n;

    const std::pair<const char *, int> md5[] = {{"$1$abc", 0},         {"$1$abcdefghi", 0},
                                                {"$1$abcdefghij", 1},  {"xx$1$abcdefghij", 1},
                                                {"abcdefghijklmn", 0}, {"", 0}};
    for (const auto &[s, want] : md5)
        EXPECT_EQ(want, IsPasswdMD5Encrypt(s)) << s;
    qtest::ClearSyslog();
    EXPECT_EQ(0, IsPasswdMD5Encrypt(nullptr));
    EXPECT_TRUE(qtest::SyslogHas("bad parameter"));
}

}  // namespace
