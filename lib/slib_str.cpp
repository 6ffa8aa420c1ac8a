#include "slib_str.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "slib_errcode.h"
#include "slib_util.h"

namespace {

bool IsTrimmed(char c) {
    return c == '\t' || c == ' ' || c == '\r' || c == '\n';
}

// Copies a finished result to output, or over text when output is null.
void Emit(const std::string &result, char *text, char *output) {
    char *dst = output ? output : text;
    memcpy(dst, result.c_str(), result.size() + 1);
}

using slib::Fail;

// Runs of the Shift JIS pairs: first codes lo..hi map onto second codes
// counting up together from second.
struct Run {
    uint16_t lo, hi, second;
};
constexpr Run kRuns[] = {
    {0x8740, 0x8753, 0x8540}, {0x8754, 0x875D, 0x859F}, {0x875F, 0x875F, 0x879F},
    {0x8760, 0x8760, 0x87A2}, {0x8761, 0x8762, 0x87A0}, {0x8763, 0x8763, 0x87A9},
    {0x8764, 0x8764, 0x87AB}, {0x8765, 0x8766, 0x87A7}, {0x8767, 0x8767, 0x87AC},
    {0x8768, 0x8769, 0x87AF}, {0x876A, 0x876A, 0x87B3}, {0x876B, 0x876B, 0x87B2},
    {0x876C, 0x876C, 0x87B5}, {0x876D, 0x876D, 0x87AD}, {0x876E, 0x876E, 0x87B4},
    {0x876F, 0x876F, 0x8640}, {0x8770, 0x8770, 0x8642}, {0x8771, 0x8771, 0x8648},
    {0x8772, 0x8772, 0x864A}, {0x8773, 0x8774, 0x864C}, {0x8775, 0x8775, 0x8646},
    {0x877E, 0x877E, 0x87E8}, {0x8780, 0x8781, 0xF0FA}, {0x8782, 0x8784, 0x869B},
    {0x8785, 0x8789, 0x8793}, {0x878A, 0x878A, 0x874D}, {0x878B, 0x878B, 0x8750},
    {0x878C, 0x878C, 0x874B}, {0x878D, 0x878F, 0x87E5}, {0x8793, 0x8793, 0x8840},
    {0x8794, 0x8794, 0xF0FC}, {0x8798, 0x8799, 0x8841}, {0xF040, 0xF053, 0x855E},
    {0xF054, 0xF056, 0x857C}, {0xF058, 0xF05D, 0x8580}, {0xF05E, 0xF067, 0x8591},
    {0xF068, 0xF06C, 0x85A9}, {0xF06D, 0xF071, 0x85BD}, {0xF072, 0xF07E, 0x85DB},
    {0xF080, 0xF08C, 0x85E8}, {0xF08D, 0xF08D, 0x8641}, {0xF08E, 0xF090, 0x8643},
    {0xF091, 0xF091, 0x8647}, {0xF092, 0xF092, 0x8649}, {0xF093, 0xF093, 0x864B},
    {0xF094, 0xF0A3, 0x864E}, {0xF0A4, 0xF0AC, 0x869E}, {0xF0AD, 0xF0AF, 0x86B3},
    {0xF0B0, 0xF0BF, 0x86C7}, {0xF0C0, 0xF0CA, 0x8740}, {0xF0CB, 0xF0CB, 0x874C},
    {0xF0CC, 0xF0CD, 0x874E}, {0xF0CE, 0xF0D5, 0x8751}, {0xF0D6, 0xF0D7, 0x8791},
    {0xF0D8, 0xF0DE, 0x8798}, {0xF0DF, 0xF0E2, 0x87A3}, {0xF0E3, 0xF0E3, 0x87AA},
    {0xF0E4, 0xF0E4, 0x87AE}, {0xF0E5, 0xF0E5, 0x87B1}, {0xF0E6, 0xF0EA, 0x87BD},
    {0xF0EB, 0xF0ED, 0x87FA}, {0xF0EE, 0xF0EF, 0x8854}, {0xF0F0, 0xF0F0, 0x8868},
    {0xF0F1, 0xF0F4, 0x886A}, {0xF140, 0xF141, 0xEB41}, {0xF142, 0xF143, 0xEB50},
    {0xF144, 0xF146, 0xEB5B}, {0xF147, 0xF14B, 0xEB60}, {0xF14C, 0xF14F, 0xEB69},
    {0xF150, 0xF150, 0xEB6E}, {0xF151, 0xF151, 0xEB6D}, {0xF152, 0xF15D, 0xEB6F},
    {0xF15E, 0xF15E, 0xEB81}, {0xF15F, 0xF15F, 0xEC9F}, {0xF160, 0xF160, 0xECA1},
    {0xF161, 0xF161, 0xECA3}, {0xF162, 0xF162, 0xECA5}, {0xF163, 0xF163, 0xECA7},
    {0xF164, 0xF164, 0xECC1}, {0xF165, 0xF165, 0xECE1}, {0xF166, 0xF166, 0xECE3},
    {0xF167, 0xF167, 0xECE5}, {0xF168, 0xF168, 0xECEC}, {0xF169, 0xF169, 0xED40},
    {0xF16A, 0xF16A, 0xED42}, {0xF16B, 0xF16B, 0xED44}, {0xF16C, 0xF16C, 0xED46},
    {0xF16D, 0xF16D, 0xED48}, {0xF16E, 0xF16E, 0xED62}, {0xF16F, 0xF16F, 0xED83},
    {0xF170, 0xF170, 0xED85}, {0xF171, 0xF171, 0xED87}, {0xF172, 0xF172, 0xED8E},
    {0xF173, 0xF174, 0xED95}, {0xFA40, 0xFA49, 0x85B3},
};

constexpr size_t CountPairs() {
    size_t n = 0;
    for (const Run &r : kRuns)
        n += static_cast<size_t>(r.hi - r.lo + 1);
    return n;
}
static_assert(CountPairs() == 316);

constexpr std::array<SLIBCP932PAIRS, 316> BuildPairs() {
    std::array<SLIBCP932PAIRS, 316> t{};
    size_t n = 0;
    for (const Run &r : kRuns) {
        for (uint32_t c = r.lo; c <= r.hi; ++c)
            t[n++] = {c, r.second + (c - r.lo)};
    }
    return t;
}

// Stored in this order (first codes ascending) and searched linearly.
constexpr std::array<SLIBCP932PAIRS, 316> SLIBCP932Table = BuildPairs();

// HTML character entities of ISO 8859-1 0xA0 to 0xFF, in code order.
const char *const kEntities[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a copy of text and pushes the tokens; skipEmpty drops empty ones.
int Split(const char *text, const char *delimiters, PSLIBSZLIST *pplist, bool skipEmpty) {
    if (!text || !delimiters || !pplist || !*pplist) return Fail(ERR_BAD_PARAMETERS);
    char *copy = strdup(text);
    if (!copy) return Fail(ERR_OUT_OF_MEMORY);
    char *cursor = copy;
    int count = 0;
    for (;;) {
        char *token =
            skipEmpty ? SzSLIBStrSepNonEmpty(&cursor, delimiters) : strsep(&cursor, delimiters);
        if (!token) break;
        if (SLIBSzListPush(pplist, token) < 0) {
            free(copy);
            return -1;
        }
        ++count;
    }
    free(copy);
    return count;
}

using CodeMap = unsigned int (*)(unsigned int);

// Walks a Shift JIS text, mapping the two-byte characters whose lead byte
// the filter accepts.
char *MapCP932(char *text, char *output, bool (*lead)(unsigned char), CodeMap map) {
    if (!text) return nullptr;
    char *out = output ? output : text;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    auto *o = reinterpret_cast<unsigned char *>(out);
    size_t i = 0;
    while (p[i]) {
        unsigned char c = p[i];
        if (c <= 0x7F || (c >= 0xA1 && c <= 0xDF) || p[i + 1] == 0) {
            o[i] = c;
            ++i;
            continue;
        }
        unsigned int code = static_cast<unsigned int>(c) << 8 | p[i + 1];
        if (lead(c)) code = map(code);
        o[i] = static_cast<unsigned char>(code >> 8);
        o[i + 1] = static_cast<unsigned char>(code & 0xFF);
        i += 2;
    }
    o[i] = 0;
    return out;
}

char *g_lineBuf = nullptr;
size_t g_lineCap = 0;

}  // namespace

extern "C" int SLIBStrTrimSpace(char *text, char *output) {
    if (!text) return Fail(ERR_BAD_PARAMETERS);
    size_t start = 0, end = strlen(text);
    while (start < end && IsTrimmed(text[start]))
        ++start;
    while (end > start && IsTrimmed(text[end - 1]))
        --end;
    if (end - start >= 2 && text[start] == '"' && text[end - 1] == '"') {
        ++start;
        --end;
    }
    size_t len = end - start;
    char *dst = output ? output : text;
    memmove(dst, text + start, len);
    dst[len] = '\0';
    return static_cast<int>(len);
}

extern "C" char *SzSLIBStrSepNonEmpty(char **cursor, const char *delimiters) {
    if (!cursor || !*cursor || !delimiters) return nullptr;
    char *token;
    do {
        token = strsep(cursor, delimiters);
    } while (token && *token == '\0');
    return token;
}

extern "C" int SLIBStrSep(const char *text, const char *delimiters, PSLIBSZLIST *pplist) {
    return Split(text, delimiters, pplist, false);
}

extern "C" int SLIBStrSepNonEmpty(const char *text, const char *delimiters, PSLIBSZLIST *pplist) {
    return Split(text, delimiters, pplist, true);
}

extern "C" int SLIBStrReplace(char *text, const char *oldText, const char *newText, char *output,
                              int size) {
    if (!text || !oldText || !newText) return Fail(ERR_BAD_PARAMETERS);
    try {
        std::string_view t(text), o(oldText), n(newText);
        if (size < 0 || static_cast<long long>(size) < static_cast<long long>(t.size()) -
                                                           static_cast<long long>(o.size()) +
                                                           static_cast<long long>(n.size())) {
            return Fail(ERR_BUF_TOO_SMALL);
        }
        size_t at = t.find(o);
        if (at == std::string_view::npos) {
            if (output && output != text) {
                // The unchanged text is copied out: it must fit too.
                if (t.size() > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
                Emit(std::string(t), text, output);
            }
            return 0;
        }
        std::string r;
        r.reserve(t.size() - o.size() + n.size());
        r.append(t.substr(0, at)).append(n).append(t.substr(at + o.size()));
        Emit(r, text, output);
        return 1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBStrRemove(char *text, const char *oldText, char *output, int size) {
    return SLIBStrReplace(text, oldText, "", output, size);
}

extern "C" int SLIBStrInsert(char *text, char *position, const char *insertion, char *output,
                             int size) {
    if (!text || !position || !insertion) return Fail(ERR_BAD_PARAMETERS);
    size_t len = strlen(text);
    if (position < text || position > text + len) return Fail(ERR_BAD_PARAMETERS);
    size_t ins = strlen(insertion);
    if (size < 0 || static_cast<size_t>(size) < len + ins) return Fail(ERR_BUF_TOO_SMALL);
    try {
        size_t at = static_cast<size_t>(position - text);
        std::string r(text, at);
        r.append(insertion).append(text + at);
        Emit(r, text, output);
        return 1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBStrInsertBefore(char *text, const char *mark, const char *insertion,
                                   char *output, int size) {
    if (!text || !mark || !insertion) return Fail(ERR_BAD_PARAMETERS);
    char *at = strstr(text, mark);
    if (!at) return 0;
    return SLIBStrInsert(text, at, insertion, output, size);
}

extern "C" int SLIBStrInsertAfter(char *text, const char *mark, const char *insertion, char *output,
                                  int size) {
    if (!text || !mark || !insertion) return Fail(ERR_BAD_PARAMETERS);
    char *at = strstr(text, mark);
    if (!at) return 0;
    return SLIBStrInsert(text, at + strlen(mark), insertion, output, size);
}

extern "C" char *SzSLIBStrToLower(char *text, int /*ignored*/, char *output, int size) {
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    size_t len = strlen(text);
    if (size < 0 ||
        (output ? len + 1 > static_cast<size_t>(size) : len > static_cast<size_t>(size))) {
        SLIBErrSet(ERR_BUF_TOO_SMALL);
        return nullptr;
    }
    char *dst = output ? output : text;
    for (size_t i = 0; i <= len; ++i)
        dst[i] = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
    return dst;
}

extern "C" int SLIBStrEncodeParam(const char *source, char *destination, int size) {
    if (!source || !destination || size < 1) return -1;
    size_t pos = 0;
    const size_t cap = static_cast<size_t>(size);
    // Appends one piece when it fits with the terminating zero.
    auto put = [&](const char *piece, size_t n) {
        if (cap - pos < n + 1) return false;
        memcpy(destination + pos, piece, n);
        pos += n;
        return true;
    };
    // The shell drops a backslash-newline pair as a line continuation, so a
    // newline is quoted instead; an empty text stays one (empty) word.
    bool ok = *source ? true : put("''", 2);
    for (const char *p = source; ok && *p; ++p) {
        const char pair[2] = {'\\', *p};
        ok = *p == '\n' ? put("'\n'", 3) : put(pair, 2);
    }
    destination[pos] = '\0';
    return ok ? 0 : -1;
}

extern "C" int SLIBStrEncodeColon(const char *input, char *output, int size) {
    if (!input || !output || input == output || size < 0) return Fail(ERR_BAD_PARAMETERS);
    size_t need = 0;
    for (const char *p = input; *p; ++p)
        need += (*p == ':' || *p == ';') ? 2 : 1;
    if (need + 1 > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    char *o = output;
    for (const char *p = input; *p; ++p) {
        if (*p == ':') {
            *o++ = ';';
            *o++ = ',';
        } else if (*p == ';') {
            *o++ = ';';
            *o++ = ';';
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return static_cast<int>(need);
}

extern "C" int SLIBStrDecodeColon(const char *input, char *output, int size) {
    if (!input || !output || input == output || size < 0) return Fail(ERR_BAD_PARAMETERS);
    // First pass measures, second writes.
    for (int pass = 0; pass < 2; ++pass) {
        size_t n = 0;
        for (const char *p = input; *p; ++p) {
            char c = *p;
            if (c == ';') {
                if (p[1] == ',') {
                    c = ':';
                } else if (p[1] == ';') {
                    c = ';';
                } else {
                    break;
                }
                ++p;
            }
            if (pass == 1) output[n] = c;
            ++n;
        }
        if (pass == 0 && n + 1 > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
        if (pass == 1) {
            output[n] = '\0';
            return static_cast<int>(n);
        }
    }
    return -1;
}

extern "C" int SLIBStrHexEncode(const char *source, char *destination, int size) {
    if (!source || !destination || source == destination || size < 0)
        return Fail(ERR_BAD_PARAMETERS);
    static const char kDigits[] = "0123456789ABCDEF";
    size_t len = strlen(source);
    if (2 * len + 1 > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    for (size_t i = 0; i < len; ++i) {
        auto c = static_cast<unsigned char>(source[i]);
        destination[2 * i] = kDigits[c >> 4];
        destination[2 * i + 1] = kDigits[c & 0xF];
    }
    destination[2 * len] = '\0';
    return static_cast<int>(2 * len);
}

extern "C" int SLIBStrHexDecode(const char *source, char *destination, int size) {
    if (!source || !destination || source == destination || size < 0)
        return Fail(ERR_BAD_PARAMETERS);
    for (int pass = 0; pass < 2; ++pass) {
        size_t n = 0;
        const char *p = source;
        for (;;) {
            if (*p == 'x') ++p;
            int hi = HexDigit(p[0]);
            if (hi < 0) break;
            int lo = HexDigit(p[1]);
            if (lo < 0) break;
            if (pass == 1) destination[n] = static_cast<char>(hi << 4 | lo);
            ++n;
            p += 2;
        }
        if (pass == 0 && n + 1 > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
        if (pass == 1) {
            destination[n] = '\0';
            return static_cast<int>(n);
        }
    }
    return -1;
}

extern "C" int SLIBStrDecodeEntities(char *text) {
    if (!text) return -1;
    char *w = text;
    for (const char *r = text; *r;) {
        if (*r == '&') {
            const char *semi = strchr(r + 1, ';');
            size_t n = semi ? static_cast<size_t>(semi - r - 1) : 0;
            if (n >= 1 && n <= 6) {
                int found = -1;
                for (int i = 0; i < 96; ++i) {
                    if (strlen(kEntities[i]) == n && memcmp(kEntities[i], r + 1, n) == 0) {
                        found = i;
                        break;
                    }
                }
                if (found >= 0) {
                    *w++ = static_cast<char>(0xA0 + found);
                    r = semi + 1;
                    continue;
                }
            }
        }
        *w++ = *r++;
    }
    *w = '\0';
    return 0;
}

extern "C" unsigned int SLIBCP932SecondToFirst(unsigned int code) {
    for (const SLIBCP932PAIRS &p : SLIBCP932Table) {
        if (p.second == code) return p.first;
    }
    return code;
}

extern "C" unsigned int SLIBCP932FirstToSecond(unsigned int code) {
    if (!((code >= 0x8740 && code <= 0x8799) || (code >= 0xF040 && code <= 0xF174) ||
          (code >= 0xFA40 && code <= 0xFA49))) {
        return code;
    }
    for (const SLIBCP932PAIRS &p : SLIBCP932Table) {
        if (p.first == code) return p.second;
    }
    return code;
}

extern "C" char *SzSLIBCP932StrToFirst(char *text, char *output) {
    return MapCP932(
        text, output,
        [](unsigned char c) {
            return (c >= 0x85 && c <= 0x88) || (c >= 0xEB && c <= 0xED) || c == 0xF0;
        },
        SLIBCP932SecondToFirst);
}

extern "C" char *SzSLIBCP932StrToSecond(char *text, char *output) {
    return MapCP932(
        text, output,
        [](unsigned char c) { return c == 0x87 || c == 0xF0 || c == 0xF1 || c == 0xFA; },
        SLIBCP932FirstToSecond);
}

extern "C" char *fgetln(FILE *stream, size_t *length) {
    if (!stream || !length) return nullptr;
    if (feof(stream) || ferror(stream)) return nullptr;
    size_t n = 0;
    flockfile(stream);
    for (;;) {
        int c = getc_unlocked(stream);
        if (c == EOF) break;
        if (n == g_lineCap) {
            auto *grown = static_cast<char *>(realloc(g_lineBuf, g_lineCap + 256));
            if (!grown) {
                free(g_lineBuf);
                g_lineBuf = nullptr;
                g_lineCap = 0;
                funlockfile(stream);
                SLIBErrSet(ERR_OUT_OF_MEMORY);
                return nullptr;
            }
            g_lineBuf = grown;
            g_lineCap += 256;
        }
        g_lineBuf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    funlockfile(stream);
    if (n == 0) return nullptr;
    *length = n;
    return g_lineBuf;
}

extern "C" void *QAVOReallocf(void *pointer, size_t size) {
    if (size == 0) {
        free(pointer);
        return nullptr;
    }
    void *n = realloc(pointer, size);
    if (!n) free(pointer);
    return n;
}
