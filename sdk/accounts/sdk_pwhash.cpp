// Password hashes: MD5-crypt through the platform's crypt, and the SMB
// hashes, whose MD4 (RFC 1320) and DES (FIPS 46-3) are written here.
#include "sdk_pwhash.h"

#include <crypt.h>
#include <syslog.h>
#include <unicode/ustring.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "slib_errcode.h"
#include "slib_unicode.h"

namespace {

// ---- MD4 ----

struct Md4 {
    uint32_t a = 0x67452301, b = 0xefcdab89, c = 0x98badcfe, d = 0x10325476;
};

inline uint32_t Rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

void Md4Block(Md4 &st, const unsigned char *p) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = uint32_t{p[4 * i]} | uint32_t{p[4 * i + 1]} << 8 | uint32_t{p[4 * i + 2]} << 16 |
               uint32_t{p[4 * i + 3]} << 24;
    uint32_t a = st.a, b = st.b, c = st.c, d = st.d;
    auto f = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); };
    auto g = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); };
    auto h = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };
    // Round 1: words in order, shifts 3 7 11 19.
    static const int s1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; i += 4) {
        a = Rotl(a + f(b, c, d) + x[i], s1[0]);
        d = Rotl(d + f(a, b, c) + x[i + 1], s1[1]);
        c = Rotl(c + f(d, a, b) + x[i + 2], s1[2]);
        b = Rotl(b + f(c, d, a) + x[i + 3], s1[3]);
    }
    // Round 2: words by columns, shifts 3 5 9 13.
    static const int s2[4] = {3, 5, 9, 13};
    for (int i = 0; i < 4; ++i) {
        a = Rotl(a + g(b, c, d) + x[i] + 0x5a827999, s2[0]);
        d = Rotl(d + g(a, b, c) + x[i + 4] + 0x5a827999, s2[1]);
        c = Rotl(c + g(d, a, b) + x[i + 8] + 0x5a827999, s2[2]);
        b = Rotl(b + g(c, d, a) + x[i + 12] + 0x5a827999, s2[3]);
    }
    // Round 3: words in bit-reversed order, shifts 3 9 11 15.
    static const int s3[4] = {3, 9, 11, 15};
    static const int order[4] = {0, 2, 1, 3};
    for (int i : order) {
        a = Rotl(a + h(b, c, d) + x[i] + 0x6ed9eba1, s3[0]);
        d = Rotl(d + h(a, b, c) + x[i + 8] + 0x6ed9eba1, s3[1]);
        c = Rotl(c + h(d, a, b) + x[i + 4] + 0x6ed9eba1, s3[2]);
        b = Rotl(b + h(c, d, a) + x[i + 12] + 0x6ed9eba1, s3[3]);
    }
    st.a += a;
    st.b += b;
    st.c += c;
    st.d += d;
}

// ---- DES ----

// Bit positions count from 1 at the most significant bit, as in the standard.
const uint8_t kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                         62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                         57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                         61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
const uint8_t kFP[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                         38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                         36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                         34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};
const uint8_t kE[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                        12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                        22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};
const uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                        2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
const uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
const uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                          26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                          51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
const uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
const uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// The n-bit result whose bit i (from the top) is bit table[i] of the
// width-bit input.
uint64_t Permute(uint64_t in, int width, const uint8_t *table, int n) {
    uint64_t out = 0;
    for (int i = 0; i < n; ++i)
        out = (out << 1) | ((in >> (width - table[i])) & 1);
    return out;
}

uint32_t Feistel(uint32_t r, uint64_t subkey) {
    uint64_t e = Permute(r, 32, kE, 48) ^ subkey;
    uint32_t s = 0;
    for (int i = 0; i < 8; ++i) {
        unsigned six = static_cast<unsigned>((e >> (42 - 6 * i)) & 0x3f);
        unsigned row = ((six & 0x20) >> 4) | (six & 1);
        unsigned col = (six >> 1) & 0xf;
        s = (s << 4) | kS[i][row * 16 + col];
    }
    return static_cast<uint32_t>(Permute(s, 32, kP, 32));
}

uint64_t DesBlock(uint64_t block, uint64_t key, bool forward) {
    uint64_t cd = Permute(key, 64, kPC1, 56);
    uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0fffffff;
    uint32_t d = static_cast<uint32_t>(cd) & 0x0fffffff;
    uint64_t subkeys[16];
    for (int i = 0; i < 16; ++i) {
        c = ((c << kShifts[i]) | (c >> (28 - kShifts[i]))) & 0x0fffffff;
        d = ((d << kShifts[i]) | (d >> (28 - kShifts[i]))) & 0x0fffffff;
        subkeys[i] = Permute((uint64_t{c} << 28) | d, 56, kPC2, 48);
    }
    uint64_t ip = Permute(block, 64, kIP, 64);
    uint32_t l = static_cast<uint32_t>(ip >> 32), r = static_cast<uint32_t>(ip);
    for (int i = 0; i < 16; ++i) {
        uint32_t next = l ^ Feistel(r, subkeys[forward ? i : 15 - i]);
        l = r;
        r = next;
    }
    return Permute((uint64_t{r} << 32) | l, 64, kFP, 64);
}

// ---- helpers ----

void ToHex(const unsigned char *bytes, char *hex) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < SDKI_PWHASH_SIZE; ++i) {
        hex[2 * i] = digits[bytes[i] >> 4];
        hex[2 * i + 1] = digits[bytes[i] & 0xf];
    }
    hex[2 * SDKI_PWHASH_SIZE] = '\0';
}

// The password as UTF-16 units. Text that is not valid UTF-8 was set in a
// single-byte character set: its bytes are taken as Latin-1, each widened
// to one unit, as the hash was always computed for such text.
bool PasswordUnits(const char *password, std::vector<UChar> &units) {
    const int32_t len = static_cast<int32_t>(strnlen(password, INT32_MAX / 2));
    units.assign(static_cast<size_t>(len) + 1, 0);
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = 0;
    u_strFromUTF8(units.data(), static_cast<int32_t>(units.size()), &n, password, len, &err);
    if (err == U_INVALID_CHAR_FOUND || err == U_ILLEGAL_CHAR_FOUND) {
        for (int32_t i = 0; i < len; ++i)
            units[static_cast<size_t>(i)] = static_cast<unsigned char>(password[i]);
        n = len;
    } else if (U_FAILURE(err)) {
        SLIBErrSet(ERR_UNICODE);
        return false;
    }
    units.resize(static_cast<size_t>(n));
    return true;
}

// Longest text an upper-cased or converted password may have (it must fit
// a 128-byte buffer with its terminating zero).
constexpr int kLmTextSize = 128;
const unsigned char kLmMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};

// The password upper-cased in the code page of the "codepage" setting, or
// false (with the error code) when it cannot be put there whole.
bool LmText(const char *password, std::string &text) {
    // A text that does not fit its buffer comes back empty, its length
    // reported: too long for an LM hash.
    auto fits = [](int len, bool empty_input) {
        if (len < kLmTextSize && (len > 0 || empty_input)) return true;
        SLIBErrSet(ERR_BUF_TOO_SMALL);
        return false;
    };
    char upper[kLmTextSize];
    int n = SLIBUnicodeUTF8StrUpper(password, upper, sizeof upper);
    if (n < 0 || !fits(n, *password == '\0')) return false;
    int index = 0;
    if (SLIBUnicodeGetCodePage(SLIB_CODEPAGE_WIN, &index) < 0) return false;
    char cp[kLmTextSize];
    int m = SLIBUnicodeStrUTF8ToCP(index, upper, cp, sizeof cp);
    if (m < 0 || !fits(m, n == 0)) return false;
    // A character the code page lacks is replaced by a substitute, which
    // would make different passwords share one hash: the text must come
    // back unchanged.
    char back[kLmTextSize * 6];
    int k = SLIBUnicodeStrCPToUTF8(index, cp, back, sizeof back);
    if (k != n || strcmp(back, upper) != 0) {
        SLIBErrSet(ERR_UNICODE);
        return false;
    }
    text.assign(cp, static_cast<size_t>(m));
    return true;
}

// The checks and the memory guard of a password hash into out (size bytes);
// body computes it.
template <typename F>
int HashInto(const char *password, unsigned char *out, int size, F &&body) {
    if (!password || !out) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (size < SDKI_PWHASH_SIZE) {
        SLIBErrSet(ERR_BUF_TOO_SMALL);
        return -1;
    }
    try {
        return body();
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

}  // namespace

extern "C" void SDKIMD4Hash(const unsigned char *data, size_t len, unsigned char *out) {
    Md4 st;
    size_t i = 0;
    for (; len - i >= 64; i += 64)
        Md4Block(st, data + i);
    unsigned char tail[128] = {};
    size_t rest = len - i;
    if (rest) memcpy(tail, data + i, rest);
    tail[rest] = 0x80;
    size_t blocks = rest + 9 > 64 ? 2 : 1;
    uint64_t bits = static_cast<uint64_t>(len) * 8;
    for (int b = 0; b < 8; ++b)
        tail[blocks * 64 - 8 + b] = static_cast<unsigned char>(bits >> (8 * b));
    for (size_t b = 0; b < blocks; ++b)
        Md4Block(st, tail + 64 * b);
    const uint32_t words[4] = {st.a, st.b, st.c, st.d};
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            out[4 * w + b] = static_cast<unsigned char>(words[w] >> (8 * b));
}

extern "C" void SDKIDESHash(unsigned char *out, const unsigned char *in, const unsigned char *key7,
                            int forward) {
    // The 56 key bits, seven to a byte, above a parity bit left 0.
    uint64_t bits = 0;
    for (int i = 0; i < 7; ++i)
        bits = (bits << 8) | key7[i];
    uint64_t key = 0;
    for (int i = 0; i < 8; ++i)
        key = (key << 8) | (((bits >> (49 - 7 * i)) & 0x7f) << 1);
    uint64_t block = 0;
    for (int i = 0; i < 8; ++i)
        block = (block << 8) | in[i];
    uint64_t result = DesBlock(block, key, forward != 0);
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(result >> (56 - 8 * i));
}

extern "C" int IsPasswdMD5Encrypt(const char *s) {
    if (!s) {
        SLIBLog(LOG_ERR, "%s %s(%d): bad parameter", __FILE__, __func__, __LINE__);
        return 0;
    }
    const char *p = strstr(s, "$1$");
    return p && strlen(p) > 12 ? 1 : 0;
}

extern "C" char SDKISaltChar(long n) {
    static const char chars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz./";
    unsigned long magnitude =
        n < 0 ? 0UL - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
    return chars[magnitude % 64];
}

extern "C" char *SDKIPwdCrypt(const char *password, const char *salt) {
    if (!password || !salt) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    // The platform's crypt keeps its result here, as crypt() keeps its own.
    static thread_local crypt_data data;
    std::string setting;
    try {
        if (*salt == '\0') {
            const long t = static_cast<long>(time(nullptr));
            setting = {'$', '1', '$', SDKISaltChar(t), SDKISaltChar(t + 10)};
        } else if (IsPasswdMD5Encrypt(salt)) {
            setting = salt;
        } else {
            setting = std::string("$1$") + salt;
        }
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    char *result = crypt_r(password, setting.c_str(), &data);
    // A failed crypt gives NULL or a failure token starting with '*', which
    // must never be stored as a hash.
    if (!result || *result == '*') {
        SLIBErrSet(ERR_SYSTEM_CALL);
        return nullptr;
    }
    return result;
}

extern "C" int SDKINTHash(const char *password, unsigned char *out, int size) {
    return HashInto(password, out, size, [&]() -> int {
        std::vector<UChar> units;
        if (!PasswordUnits(password, units)) return -1;
        // At most 128 units, without half of a surrogate pair at the end.
        if (units.size() > 128) {
            units.resize(128);
            if (U16_IS_LEAD(units.back())) units.pop_back();
        }
        std::vector<unsigned char> bytes;
        bytes.reserve(units.size() * 2);
        for (UChar u : units) {
            bytes.push_back(static_cast<unsigned char>(u & 0xff));
            bytes.push_back(static_cast<unsigned char>(u >> 8));
        }
        SDKIMD4Hash(bytes.data(), bytes.size(), out);
        return 0;
    });
}

extern "C" int SDKILMHash(const char *password, unsigned char *out, int size) {
    return HashInto(password, out, size, [&]() -> int {
        std::string text;
        if (!LmText(password, text)) return -1;
        unsigned char key[14] = {};
        memcpy(key, text.data(), std::min(text.size(), sizeof key));
        SDKIDESHash(out, kLmMagic, key, 1);
        SDKIDESHash(out + 8, kLmMagic, key + 7, 1);
        return 0;
    });
}

extern "C" int SDKINTPwdEncrypt(const char *plain, char *hex) {
    if (!plain || !hex) {
        SLIBLog(LOG_ERR,
                "qavouser: SDKIAPPLEPwdEncrypt(): Bad arguments: [szPlain] == [%p], "
                "[szNTPasswd] == [%p]\n",
                static_cast<const void *>(plain), static_cast<void *>(hex));
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    unsigned char hash[64];
    if (SDKINTHash(plain, hash, sizeof hash) < 0) return -1;
    ToHex(hash, hex);
    return 0;
}

extern "C" int SDKILMPwdEncrypt(const char *plain, char *hex) {
    if (!plain || !hex) {
        SLIBLog(LOG_ERR,
                "qavouser: SDKIAPPLEPwdEncrypt(): Bad arguments: [szPlain] == [%p], "
                "[szLMPasswd] == [%p]\n",
                static_cast<const void *>(plain), static_cast<void *>(hex));
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    unsigned char hash[64];
    if (SDKILMHash(plain, hash, sizeof hash) < 0) {
        // "No LM hash" in the SMB password file, never an unfilled buffer.
        memcpy(hex, SDKI_LM_NO_HASH, sizeof SDKI_LM_NO_HASH);
        return -1;
    }
    ToHex(hash, hex);
    return 0;
}
