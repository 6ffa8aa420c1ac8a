#include "slib_unicode.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "slib_errcode.h"

namespace {

// Converter name of each code-page index.
const char *const CODEPAGE_CHARSET_TABLE[SLIB_CODEPAGE_MAX] = {
    "UTF-8",
    "qavo_win_english",
    "qavo_win_greek",
    "qavo_win_westeuro",
    "qavo_win_latin2",
    "qavo_win_icelandic",
    "qavo_win_cyrillic",
    "qavo_win_japanese",
    "qavo_win_chinsimp",
    "qavo_win_korean",
    "qavo_win_chintrad",
    "qavo_win_easteuro_1250",
    "qavo_win_cyrillic_1251",
    "qavo_win_westeuro_1252",
    "qavo_win_greek_1253",
    "qavo_mac_eng_euro",
    "qavo_mac_greek",
    "qavo_mac_eng_euro",
    "qavo_mac_eng_euro",
    "qavo_mac_eng_euro",
    "qavo_mac_cyrillic",
    "qavo_mac_japanese",
    "qavo_mac_chinsimp",
    "qavo_mac_korean",
    "qavo_mac_chintrad",
    "qavo_mac_eng_euro",
    "qavo_mac_cyrillic",
    "qavo_mac_eng_euro",
    "qavo_mac_greek",
    "qavo_euc_japanese",
    "qavo_euc_chinsimp",
    "qavo_euc_korean",
    "qavo_euc_chintrad",
    "UTF-16",
};

// The appliance's own conversion tables are not part of this system: each
// name opens ICU's converter for the same code page. ICU has no Mac
// Japanese, Mac Simplified Chinese, Mac Korean or Mac Traditional Chinese;
// those open the encoding each of them extends (Shift_JIS, EUC-CN, EUC-KR,
// Big5), which agrees on everything but the Mac additions.
struct Alias {
    const char *own;
    const char *icu;
};
const Alias kAliases[] = {
    {"qavo_win_english", "ibm-437"},
    {"qavo_win_greek", "ibm-737"},
    {"qavo_win_westeuro", "ibm-850"},
    {"qavo_win_latin2", "ibm-852"},
    {"qavo_win_icelandic", "ibm-861"},
    {"qavo_win_cyrillic", "ibm-866"},
    {"qavo_win_japanese", "windows-31j"},
    {"qavo_win_chinsimp", "windows-936"},
    {"qavo_win_korean", "windows-949"},
    {"qavo_win_chintrad", "windows-950"},
    {"qavo_win_easteuro_1250", "windows-1250"},
    {"qavo_win_cyrillic_1251", "windows-1251"},
    {"qavo_win_westeuro_1252", "windows-1252"},
    {"qavo_win_greek_1253", "windows-1253"},
    {"qavo_mac_eng_euro", "macintosh"},
    {"qavo_mac_greek", "x-mac-greek"},
    {"qavo_mac_cyrillic", "x-mac-cyrillic"},
    {"qavo_mac_japanese", "Shift_JIS"},
    {"qavo_mac_chinsimp", "EUC-CN"},
    {"qavo_mac_korean", "EUC-KR"},
    {"qavo_mac_chintrad", "Big5"},
    {"qavo_euc_japanese", "EUC-JP"},
    {"qavo_euc_chinsimp", "EUC-CN"},
    {"qavo_euc_korean", "EUC-KR"},
    {"qavo_euc_chintrad", "EUC-TW"},
};

const char *IcuName(const char *name) {
    for (const Alias &a : kAliases) {
        if (strcmp(a.own, name) == 0) return a.icu;
    }
    return name;
}

const char *const COLLATION_LOCALE_TABLE[] = {"",      "de_DE",      "en_US",       "es_ES",
                                              "fr_FR", "it_IT",      "ja_JP",       "ko_KR",
                                              "pt_BR", "zh__PINYIN", "zh_TW_STROKE"};

UConverter *CODEPAGE_CONVERTER_CACHE[SLIB_CODEPAGE_MAX];
UCollator *g_collator = nullptr;
char g_locale[32] = "";
bool g_localeChecked = false;

// Largest source we convert: keeps every worst-case buffer within int32_t.
constexpr size_t kMaxSource = INT32_MAX / 8;

// Destination convention of the converters: copy when the result fits
// below size, else an empty destination; the length is returned either way.
int Deliver(const char *result, size_t len, char *dst, int size) {
    if (size > 0) {
        if (len < static_cast<size_t>(size)) {
            memcpy(dst, result, len);
            dst[len] = '\0';
        } else {
            dst[0] = '\0';
        }
    }
    return static_cast<int>(len);
}

bool BadDest(const void *src, const char *dst, int size) {
    return !src || size < 0 || (size > 0 && !dst);
}

// UTF-8 to UTF-16; false with the error code set.
bool FromUTF8(const char *src, std::vector<UChar> &out) {
    size_t len = strlen(src);
    if (len > kMaxSource) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return false;
    }
    out.resize(2 * len + 1);
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = 0;
    u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &n, src, static_cast<int32_t>(len),
                  &err);
    if (U_FAILURE(err)) {
        SLIBErrSet(ERR_UNICODE);
        return false;
    }
    out.resize(static_cast<size_t>(n));
    return true;
}

bool ToUTF8(const UChar *src, int32_t len, std::string &out) {
    out.resize(static_cast<size_t>(len) * 6 + 1);
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = 0;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &n, src, len, &err);
    if (U_FAILURE(err)) {
        SLIBErrSet(ERR_UNICODE);
        return false;
    }
    out.resize(static_cast<size_t>(n));
    return true;
}

// Upper-cases a UTF-16 text with the collation locale; false with the code set.
bool Upper(const std::vector<UChar> &src, std::vector<UChar> &out) {
    char *locale = nullptr;
    if (SLIBUnicodeCheckLocale(0, &locale) < 0) return false;
    // Upper-casing can triple a unit (U+0390) or double it (U+00DF); the
    // first try is sized generously and a second one takes the exact size.
    out.resize(2 * src.size() + 1);
    for (int tries = 0; tries < 2; ++tries) {
        UErrorCode err = U_ZERO_ERROR;
        int32_t n = u_strToUpper(out.data(), static_cast<int32_t>(out.size()), src.data(),
                                 static_cast<int32_t>(src.size()), locale, &err);
        if (err == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<size_t>(n) + 1);
            continue;
        }
        if (U_FAILURE(err)) break;
        out.resize(static_cast<size_t>(n));
        return true;
    }
    SLIBErrSet(ERR_UNICODE);
    return false;
}

}  // namespace

extern "C" UConverter *SLIBUnicodeGetConverter(int index) {
    if (index < 0 || index >= SLIB_CODEPAGE_MAX) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    if (!CODEPAGE_CONVERTER_CACHE[index]) {
        UErrorCode err = U_ZERO_ERROR;
        UConverter *c = ucnv_open(IcuName(CODEPAGE_CHARSET_TABLE[index]), &err);
        if (U_FAILURE(err) || !c) {
            SLIBErrSet(ERR_OPEN_FAILED);
            return nullptr;
        }
        CODEPAGE_CONVERTER_CACHE[index] = c;
    }
    return CODEPAGE_CONVERTER_CACHE[index];
}

namespace {

// The checks, the pass-through of code page 0 (the text as it is), the
// converter and the memory guard of a conversion; body converts with conv.
template <typename F>
int ConvertWith(int index, const char *src, char *dst, int size, F &&body) {
    if (BadDest(src, dst, size) || index < 0 || index >= SLIB_CODEPAGE_MAX) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (index == 0) return Deliver(src, strlen(src), dst, size);
    try {
        UConverter *conv = SLIBUnicodeGetConverter(index);
        if (!conv) return -1;
        return body(conv);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

}  // namespace

extern "C" int SLIBUnicodeStrUTF8ToCP(int index, const char *src, char *dst, int size) {
    return ConvertWith(index, src, dst, size, [&](UConverter *conv) -> int {
        std::vector<UChar> u16;
        if (!FromUTF8(src, u16)) return -1;
        // Room for a byte-order mark or shift state as well ("UTF-16" writes a
        // mark before the text).
        const size_t room = (u16.size() + 10) * static_cast<size_t>(ucnv_getMaxCharSize(conv)) + 1;
        std::string out(std::min<size_t>(room, INT32_MAX), '\0');
        UErrorCode err = U_ZERO_ERROR;
        int32_t n = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()), u16.data(),
                                    static_cast<int32_t>(u16.size()), &err);
        if (U_FAILURE(err)) {
            SLIBErrSet(ERR_UNICODE);
            return -1;
        }
        return Deliver(out.data(), static_cast<size_t>(n), dst, size);
    });
}

extern "C" int SLIBUnicodeStrCPToUTF8(int index, const char *src, char *dst, int size) {
    return ConvertWith(index, src, dst, size, [&](UConverter *conv) -> int {
        // Every source, UTF-16 too, ends at its first zero byte.
        size_t len = strlen(src);
        if (len > kMaxSource) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            return -1;
        }
        std::vector<UChar> u16(2 * len + 1);
        UErrorCode err = U_ZERO_ERROR;
        int32_t n = ucnv_toUChars(conv, u16.data(), static_cast<int32_t>(u16.size()), src,
                                  static_cast<int32_t>(len), &err);
        if (U_FAILURE(err)) {
            SLIBErrSet(ERR_UNICODE);
            return -1;
        }
        std::string out;
        if (!ToUTF8(u16.data(), n, out)) return -1;
        return Deliver(out.data(), out.size(), dst, size);
    });
}

extern "C" int SLIBUnicodeStrUTF16ToUTF8(const char *src, char *dst, int size) {
    return SLIBUnicodeStrCPToUTF8(SLIB_CODEPAGE_UTF16, src, dst, size);
}

extern "C" int SLIBUnicodeUTF8StrCountChar(const char *text) {
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    try {
        std::vector<UChar> u16;
        if (!FromUTF8(text, u16)) return -1;
        return u_countChar32(u16.data(), static_cast<int32_t>(u16.size()));
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" int SLIBUnicodeUStrUpper(const UChar *src, UChar **buffer, int capacity) {
    if (!src || !buffer || !*buffer || capacity < 1) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    char *locale = nullptr;
    if (SLIBUnicodeCheckLocale(0, &locale) < 0) return -1;
    for (int tries = 0; tries < 2; ++tries) {
        UErrorCode err = U_ZERO_ERROR;
        int32_t n = u_strToUpper(*buffer, capacity, src, -1, locale, &err);
        // The result is always handed back with its terminating zero.
        if (err == U_BUFFER_OVERFLOW_ERROR || err == U_STRING_NOT_TERMINATED_WARNING) {
            auto *grown = static_cast<UChar *>(
                realloc(*buffer, (static_cast<size_t>(n) + 1) * sizeof(UChar)));
            if (!grown) {
                SLIBErrSet(ERR_OUT_OF_MEMORY);
                return -1;
            }
            *buffer = grown;
            capacity = n + 1;
            continue;
        }
        if (U_FAILURE(err)) break;
        return n;
    }
    SLIBErrSet(ERR_UNICODE);
    return -1;
}

extern "C" int SLIBUnicodeUTF8StrUpper(const char *src, char *dst, int size) {
    if (BadDest(src, dst, size)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (*src == '\0') return Deliver("", 0, dst, size);
    try {
        std::vector<UChar> u16, upper;
        std::string out;
        if (!FromUTF8(src, u16) || !Upper(u16, upper) ||
            !ToUTF8(upper.data(), static_cast<int32_t>(upper.size()), out)) {
            return -1;
        }
        return Deliver(out.data(), out.size(), dst, size);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" int SLIBUnicodeUTF8StrCaseCmp(const char *a, const char *b) {
    if (!a || !b) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -2;
    }
    try {
        // Scratch buffers reused across calls: sorting calls this often.
        static std::vector<UChar> ua, ub, upA, upB;
        if (!FromUTF8(a, ua) || !FromUTF8(b, ub) || !Upper(ua, upA) || !Upper(ub, upB)) return -2;
        UCollator *coll = SLIBUnicodeGetCollator();
        if (!coll) return -2;
        UCollationResult r = ucol_strcoll(coll, upA.data(), static_cast<int32_t>(upA.size()),
                                          upB.data(), static_cast<int32_t>(upB.size()));
        return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -2;
    }
}

extern "C" int SLIBUnicodeOpenCollator(void) {
    return 1;
}

extern "C" int SLIBUnicodeCloseCollator(void) {
    return 1;
}

extern "C" UCollator *SLIBUnicodeGetCollator(void) {
    if (g_collator) return g_collator;
    char *locale = nullptr;
    if (SLIBUnicodeCheckLocale(0, &locale) < 0) return nullptr;
    UErrorCode err = U_ZERO_ERROR;
    UCollator *c = ucol_open(locale, &err);
    if (U_FAILURE(err) || !c) {
        SLIBErrSet(ERR_OPEN_FAILED);
        return nullptr;
    }
    g_collator = c;
    return g_collator;
}

extern "C" int SLIBUnicodeCheckLocale(int force, char **locale) {
    if (locale) *locale = g_locale;
    if (g_localeChecked && !force) return 1;
    for (const char *name : COLLATION_LOCALE_TABLE) {
        if (strcmp(name, g_locale) == 0) {
            g_localeChecked = true;
            return 1;
        }
    }
    SLIBErrSet(ERR_NOT_FOUND);
    return -1;
}

extern "C" int SLIBUnicodeResetCollator(void) {
    g_localeChecked = false;
    if (g_collator) {
        ucol_close(g_collator);
        g_collator = nullptr;
    }
    return 1;
}

extern "C" const char *SzSLIBUnicodeUTF8Skip(const char *text, int n) {
    if (!text || n <= 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    for (int i = 0; i < n && *p; ++i) {
        unsigned char c = *p++;
        int follow = 0;
        if (c >= 0xC0 && c <= 0xDF) {
            follow = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
        } else if (c >= 0xF0 && c <= 0xF7) {
            follow = 3;
        } else if (c >= 0xF8 && c <= 0xFB) {
            follow = 4;
        } else if (c == 0xFC || c == 0xFD) {
            follow = 5;
        }
        for (; follow > 0 && (*p & 0xC0) == 0x80; --follow)
            ++p;
    }
    return reinterpret_cast<const char *>(p);
}

extern "C" int SLIBUnicodeShortenName(const char *name, int n, const char *suffix, char *dst,
                                      int size) {
    if (!name || !suffix || !dst) return -1;
    const int64_t need = 6 * static_cast<int64_t>(n) + static_cast<int64_t>(strlen(suffix)) + 1;
    if (size < need) {
        SLIBLog(LOG_ERR, "%s(%d): buffer size %d is smaller than max_utf8_size %d",
                "lib/qavounicode", 96, size, n);
        return -1;
    }
    int count = SLIBUnicodeUTF8StrCountChar(name);
    if (count < 0) return -1;
    if (count <= n) return 0;
    const char *end = SzSLIBUnicodeUTF8Skip(name, n);
    if (!end) {
        SLIBLog(LOG_ERR, "%s(%d): failed to shorten name = %s, errno=[%X]", "lib/qavounicode", 105,
                name, SLIBErrGet());
        return -1;
    }
    size_t keep = static_cast<size_t>(end - name);
    memcpy(dst, name, keep);
    strcpy(dst + keep, suffix);
    return 1;
}
