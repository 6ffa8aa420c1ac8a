// Name and address validators.
#include "slib_validate.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "slib_errcode.h"
#include "slib_unicode.h"

namespace {

bool IsAsciiAlnum(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The rule shared by user, group and share names, with the longest length in
// UTF-8 characters.
int IsAccountName(const char *name, int maxChars) {
    if (!name) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    std::string_view s(name);
    // A UTF-8 character takes at most four bytes: longer texts cannot fit.
    if (s.empty() || s.size() > static_cast<size_t>(maxChars) * 4) return 0;
    if (s.front() == '-' || s.front() == ' ' || s.back() == ' ') return 0;
    bool onlyDots = true;
    for (unsigned char c : s) {
        if (!(IsAsciiAlnum(c) || c == '.' || c == '-' || c == '_' || c == ' ' || c >= 0x80)) {
            return 0;
        }
        if (c != '.') onlyDots = false;
    }
    // "." and ".." name the folder itself and its parent wherever a name
    // becomes a path (home folders, share folders).
    if (onlyDots) return 0;
    int n = SLIBUnicodeUTF8StrCountChar(name);
    return n >= 1 && n <= maxChars ? 1 : 0;
}

bool IsMailSpecial(unsigned char c) {
    return std::string_view("\"(),.:;<>[\\]@").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsAtom(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s) {
        if (c >= 0x7F) continue;
        if (c < 0x21 || IsMailSpecial(c)) return false;
    }
    return true;
}

bool IsDotAtom(std::string_view s) {
    for (;;) {
        size_t dot = s.find('.');
        if (!IsAtom(s.substr(0, dot))) return false;
        if (dot == std::string_view::npos) return true;
        s.remove_prefix(dot + 1);
    }
}

// Reads one part with strtol base 0. The value is range-checked as a long
// before it is narrowed, and a part must hold at least one digit.
bool ReadPart(const char *p, char **end, int *value) {
    errno = 0;
    long v = strtol(p, end, 0);
    if (*end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

bool InByteRange(const int parts[4], int low, int high) {
    for (int i = 0; i < 4; ++i) {
        if (parts[i] < low || parts[i] > high) return false;
    }
    return true;
}

uint32_t Pack(const int parts[4]) {
    return static_cast<uint32_t>(parts[0]) << 24 | static_cast<uint32_t>(parts[1]) << 16 |
           static_cast<uint32_t>(parts[2]) << 8 | static_cast<uint32_t>(parts[3]);
}

// Writes the decimal form over text; the form is never longer than a text
// that parses to the same parts (octal and hexadecimal spell every value at
// least as long, and signs and blanks only add), which the check confirms.
void RewriteQuad(char *text, const int parts[4]) {
    char buf[16];
    int n = snprintf(buf, sizeof buf, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
    if (n > 0 && static_cast<size_t>(n) <= strlen(text))
        memcpy(text, buf, static_cast<size_t>(n) + 1);
}

int BadAddress() {
    SLIBErrSet(ERR_BAD_IP_ADDRESS);
    return 0;
}

// Copies "address/rest" into copy and splits it at the "/"; *rest points
// into copy. The address must be four parts each 0 to 254.
int SplitAddress(const char *text, char (&copy)[SLIB_NETADDR_TEXT_MAX + 1], int parts[4],
                 char **rest) {
    if (!text || !strchr(text, '/') || strlen(text) > SLIB_NETADDR_TEXT_MAX) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    strcpy(copy, text);
    char *slash = strchr(copy, '/');
    *slash = '\0';
    *rest = slash + 1;
    if (SLIBParseDottedQuad(copy, parts) != 4 || !InByteRange(parts, 0, 254)) {
        SLIBErrSet(ERR_BAD_IP_ADDRESS);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int SLIBParseDottedQuad(const char *text, int parts[4]) {
    if (!text || !parts) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    const char *p = text;
    for (int i = 0; i < 4; ++i) {
        char *end = nullptr;
        if (!ReadPart(p, &end, &parts[i]) || *end != (i < 3 ? '.' : '\0')) {
            SLIBErrSet(ERR_BAD_IP_ADDRESS);
            return i;
        }
        p = end + 1;
    }
    return 4;
}

extern "C" int SLIBNetmaskPrefix(const int parts[4]) {
    if (!parts) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    for (int i = 0; i < 4; ++i) {
        if (static_cast<unsigned>(parts[i]) > 255) return BadAddress();
    }
    uint32_t mask = Pack(parts);
    // Contiguous from the top: the complement is a run of low one-bits.
    uint32_t host = ~mask;
    if ((host & (host + 1)) != 0) return BadAddress();
    int n = 0;
    while (n < 32 && (mask & (0x80000000u >> n)))
        ++n;
    return n;
}

extern "C" int BlSLIBIsUserName(const char *name) {
    return IsAccountName(name, 64);
}

extern "C" int BlSLIBIsGroupName(const char *name) {
    return IsAccountName(name, 15);
}

extern "C" int BlSLIBIsShareName(const char *name) {
    return IsAccountName(name, 32);
}

extern "C" int BlSLIBIsWorkGroupName(const char *name) {
    if (!name) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    std::string_view s(name);
    if (s.empty() || s.front() == ' ' || s.back() == ' ') return 0;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) return 0;
        if (std::string_view("\"*+,/:;<=>?[\\]|").find(static_cast<char>(c)) !=
            std::string_view::npos) {
            return 0;
        }
    }
    return 1;
}

extern "C" int BlSLIBIsIdentifier(const char *text) {
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    std::string_view s(text);
    if (s.size() > 15) return 0;
    if (s.empty()) return 1;
    auto first = static_cast<unsigned char>(s.front());
    if (!isalpha(first) && first != '_') return 0;
    for (unsigned char c : s) {
        if (!isalnum(c) && c != '-' && c != '_') return 0;
    }
    return 1;
}

extern "C" int BlSLIBIsMailAtom(const char *text) {
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    return IsAtom(text) ? 1 : 0;
}

extern "C" int BlSLIBIsMailDotAtom(const char *text) {
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    std::string_view s(text);
    if (s.size() > SLIB_MAIL_TEXT_MAX) return 0;
    return IsDotAtom(s) ? 1 : 0;
}

extern "C" int BlSLIBIsMailAddress(const char *text) {
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    std::string_view s(text);
    size_t at = s.find('@');
    if (s.size() > SLIB_MAIL_TEXT_MAX || at == std::string_view::npos) return 0;
    return IsDotAtom(s.substr(0, at)) && IsDotAtom(s.substr(at + 1)) ? 1 : 0;
}

extern "C" int BlSLIBIsIPAddress(char *text) {
    int p[4];
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    if (SLIBParseDottedQuad(text, p) != 4) return 0;
    if (p[0] < 1 || p[0] > 223 || p[0] == 127 || p[1] < 0 || p[1] > 255 || p[2] < 0 || p[2] > 255 ||
        p[3] < 1 || p[3] > 254) {
        return BadAddress();
    }
    RewriteQuad(text, p);
    return 1;
}

extern "C" int BlSLIBIsNetmask(char *text) {
    int p[4];
    if (!text) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    if (SLIBParseDottedQuad(text, p) != 4) return 0;
    if (SLIBNetmaskPrefix(p) == 0) return BadAddress();
    RewriteQuad(text, p);
    return 1;
}

extern "C" int BlSLIBIsNetworkAddress(char *address, const char *netmask) {
    int a[4], m[4];
    if (!address || !netmask) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    if (SLIBParseDottedQuad(address, a) != 4 || SLIBParseDottedQuad(netmask, m) != 4) return 0;
    if (!InByteRange(a, 0, 255) || !InByteRange(m, 0, 255)) return BadAddress();
    if (a[0] == 0 && a[1] == 0 && a[2] == 0 && m[0] == 0 && m[1] == 0 && m[2] == 0) return 1;
    int n = SLIBNetmaskPrefix(m);
    if (n == 0 || a[0] == 0) return BadAddress();
    // All host bits zero; a /32 has none.
    uint32_t hostMask = n == 32 ? 0 : 0xFFFFFFFFu >> n;
    if ((Pack(a) & hostMask) != 0) return BadAddress();
    RewriteQuad(address, a);
    return 1;
}

extern "C" int SLIBNetAddrMaskToPrefix(char *text, char *output) {
    char copy[SLIB_NETADDR_TEXT_MAX + 1];
    int a[4], m[4];
    char *maskText = nullptr;
    if (SplitAddress(text, copy, a, &maskText) < 0) return -1;
    if (SLIBParseDottedQuad(maskText, m) != 4) return -1;
    int n = SLIBNetmaskPrefix(m);
    if (n == 0) {
        SLIBErrSet(ERR_BAD_IP_ADDRESS);
        return -1;
    }
    // Without an output the text takes the result; it is shorter than the
    // text, whose netmask alone is longer than "/32".
    char *dst = output ? output : text;
    snprintf(dst, SLIB_NETADDR_PREFIX_SIZE, "%d.%d.%d.%d/%d", a[0] & m[0], a[1] & m[1], a[2] & m[2],
             a[3] & m[3], n);
    return 0;
}

extern "C" int SLIBNetAddrPrefixToMask(const char *text, char *output) {
    char copy[SLIB_NETADDR_TEXT_MAX + 1];
    int a[4];
    char *prefixText = nullptr;
    // The result may be longer than the text: it needs a buffer of its own.
    if (!output) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (SplitAddress(text, copy, a, &prefixText) < 0) return -1;
    char *end = nullptr;
    errno = 0;
    long n = strtol(prefixText, &end, 0);
    if (end == prefixText || *end != '\0' || errno == ERANGE || n < 1 || n > 32) {
        SLIBErrSet(ERR_BAD_IP_ADDRESS);
        return -1;
    }
    uint32_t mask = 0xFFFFFFFFu << (32 - n);
    uint32_t net = Pack(a) & mask;
    snprintf(output, SLIB_NETADDR_MASK_SIZE, "%u.%u.%u.%u/%u.%u.%u.%u", net >> 24,
             (net >> 16) & 0xFF, (net >> 8) & 0xFF, net & 0xFF, mask >> 24, (mask >> 16) & 0xFF,
             (mask >> 8) & 0xFF, mask & 0xFF);
    return 0;
}
