// SMTP client: one mail to one recipient over plain SMTP, the dialogue, the
// headers, RFC 2047 subjects, Shift_JIS to ISO-2022-JP conversion and the
// detached delivery children.
#include "qavo_smtp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

using slib::Fail;

constexpr const char *kSource = "sdk/qavosmtp";
constexpr const char *kDefaults = "/etc.defaults/qavoinfo.conf";
constexpr const char *kUnknownHost = "UnknownFilerName";
constexpr const char *kNoticeSeparator = "\n\n----------------------------------\n\n";
constexpr int kEventLevel = 3;
constexpr int kCommandSize = 1024;
constexpr int kReplySize = 1024;
constexpr int kCodePage932 = 7;
// Longest language code taken into a path.
constexpr size_t kLangMax = 32;
// Longest header line with encoded words, and longest encoded word.
constexpr size_t kWordLine = 76;
constexpr size_t kWordMax = 75;
// Longest line on the wire, CR LF not counted.
constexpr size_t kLineMax = 998;
// Base64 body lines.
constexpr size_t kBase64Line = 76;
// Result of a reply line without a code, and of a connection the server
// closed.
constexpr int kNoCode = -5;
constexpr int kTimeout = -4;
constexpr int kClosed = -6;

// The last reply line, process-wide as the dialogue reads it.
char gReply[kReplySize];
// The base64 text of the last QAVOSMTPBase64Encode call.
std::string gBase64;

void Event(uint32_t id, const char *a1 = nullptr, const char *a2 = nullptr,
           const char *a3 = nullptr) {
    QAVOLogEventWrite(QAVOLOG_CLASS_SYS, kEventLevel, id, a1, a2, a3, nullptr);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool IsJis(const char *charset) {
    return strcasecmp(charset, QAVO_SMTP_CHARSET_JIS) == 0;
}

// Sends all bytes; a socket never raises SIGPIPE, other descriptors (a pipe
// in the tests) are written plainly.
bool SendAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string Base64(const unsigned char *p, size_t n) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    for (size_t i = 0; i < n; i += 3) {
        const unsigned b0 = p[i];
        const unsigned b1 = i + 1 < n ? p[i + 1] : 0;
        const unsigned b2 = i + 2 < n ? p[i + 2] : 0;
        out += kAlphabet[b0 >> 2];
        out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += i + 1 < n ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out += i + 2 < n ? kAlphabet[b2 & 63] : '=';
    }
    return out;
}

std::string Base64(std::string_view s) {
    return Base64(reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

// The conversion state of one ISO-2022-JP line or encoded word.
enum class Mode { kAscii, kKanji };

void Enter(std::string &out, Mode &mode, Mode want) {
    if (mode == want) return;
    out += want == Mode::kAscii ? "\x1b(B" : "\x1b$B";
    mode = want;
}

// Full-width Shift_JIS forms of the half-width katakana 0xA1-0xDF
// (ISO-2022-JP has no half-width katakana).
constexpr uint16_t kFullWidthKana[] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342, 0x8344, 0x8346, 0x8348,
    0x8383, 0x8385, 0x8387, 0x8362, 0x815B, 0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A,
    0x834C, 0x834E, 0x8350, 0x8352, 0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E, 0x8360,
    0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B, 0x836C, 0x836D, 0x836E, 0x8371, 0x8374,
    0x8377, 0x837A, 0x837D, 0x837E, 0x8380, 0x8381, 0x8382, 0x8384, 0x8386, 0x8388, 0x8389,
    0x838A, 0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B};
constexpr unsigned char kVoicedMark = 0xDE, kSemiVoicedMark = 0xDF;

// The full-width form of the half-width katakana at s[i], a voiced or
// semi-voiced mark after it joined where the full-width set has the
// combined letter; *used is 1 or 2.
uint16_t FullWidthKana(const unsigned char *s, size_t i, size_t n, size_t *used) {
    const unsigned char c = s[i];
    const unsigned char next = i + 1 < n ? s[i + 1] : 0;
    uint16_t code = kFullWidthKana[c - 0xA1];
    *used = 1;
    if (next == kVoicedMark) {
        if (c == 0xB3) {  // U with the voiced mark: VU
            *used = 2;
            return 0x8394;
        }
        if ((c >= 0xB6 && c <= 0xC4) || (c >= 0xCA && c <= 0xCE)) {
            *used = 2;
            return static_cast<uint16_t>(code + 1);
        }
    } else if (next == kSemiVoicedMark && c >= 0xCA && c <= 0xCE) {
        *used = 2;
        return static_cast<uint16_t>(code + 2);
    }
    return code;
}

void Substitute(std::string &out, Mode &mode) {
    Enter(out, mode, Mode::kAscii);
    out += '?';
}

// Converts the Shift_JIS character at s[i] (of n bytes) into out; the number
// of bytes it took (at least 1). What ISO-2022-JP cannot carry (the
// user-defined and extension rows, the converter's substitute for characters
// outside code page 932, broken pairs) becomes a visible "?".
size_t JisChar(const unsigned char *s, size_t i, size_t n, std::string &out, Mode &mode) {
    const unsigned char c = s[i];
    if (c < 0x80) {
        // Printable ASCII and the control bytes (a tab) alike.
        Enter(out, mode, Mode::kAscii);
        out += static_cast<char>(c);
        return 1;
    }
    size_t used = 1;
    unsigned char lead = c, trail = 0;
    if (c >= 0xA1 && c <= 0xDF) {
        const uint16_t full = FullWidthKana(s, i, n, &used);
        lead = static_cast<unsigned char>(full >> 8);
        trail = static_cast<unsigned char>(full & 0xFF);
    } else if (c == 0x80 || c == 0xA0 || c >= 0xFD) {
        Substitute(out, mode);
        return 1;
    } else if (c >= 0xF0) {
        Substitute(out, mode);
        const unsigned char next = i + 1 < n ? s[i + 1] : 0;
        return next >= 0x40 && next <= 0xFC && next != 0x7F ? 2 : 1;
    } else {
        if (i + 1 >= n) {
            Substitute(out, mode);
            return 1;
        }
        trail = s[i + 1];
        used = 2;
    }
    const unsigned char sjisLead = lead, sjisTrail = trail;
    QAVOSMTPSjisToJis(&lead, &trail);
    if (lead == sjisLead && trail == sjisTrail) {
        // Not a pair: the lead byte alone is replaced, the byte after it
        // is read again.
        Substitute(out, mode);
        return 1;
    }
    Enter(out, mode, Mode::kKanji);
    out += static_cast<char>(lead);
    out += static_cast<char>(trail);
    return used;
}

// One line (without its LF) in ISO-2022-JP, back in ASCII mode at its end.
std::string JisLine(std::string_view line) {
    const auto *s = reinterpret_cast<const unsigned char *>(line.data());
    std::string out;
    Mode mode = Mode::kAscii;
    for (size_t i = 0; i < line.size();)
        i += JisChar(s, i, line.size(), out, mode);
    Enter(out, mode, Mode::kAscii);
    return out;
}

// Where a subject line's text starts ("Subject:" and blanks), or npos.
size_t SubjectStart(std::string_view text) {
    if (!StartsWith(text, "Subject:")) return std::string_view::npos;
    size_t at = 8;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    return at;
}

// Bytes one encoded word of the charset may carry on a line whose first
// used characters are taken: the word ("=?charset?B?...?=") ends the line
// within kWordLine characters and is itself at most kWordMax long.
size_t WordBytes(const std::string &open, size_t used) {
    const size_t room = std::min(kWordLine - used, kWordMax) - open.size() - 2;
    return room / 4 * 3;
}

// The text as RFC 2047 encoded words of the charset, folded onto lines of
// at most kWordLine characters (the first one starts after used others).
// ISO-2022-JP text is Shift_JIS (code page 932) bytes; each of its words
// starts in ASCII and closes its own mode. A character never spans two
// words.
std::string EncodedWords(std::string_view text, const char *charset, size_t used) {
    const std::string open = std::string("=?") + charset + "?B?";
    std::string out;
    std::string chunk;
    size_t limit = WordBytes(open, used);
    auto flush = [&] {
        if (!out.empty()) out += "\n\t";
        out += open + Base64(chunk) + "?=";
        chunk.clear();
        limit = WordBytes(open, 1);
    };
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    if (IsJis(charset)) {
        Mode mode = Mode::kAscii;
        for (size_t i = 0; i < n;) {
            std::string next = chunk;
            Mode nextMode = mode;
            const size_t took = JisChar(s, i, n, next, nextMode);
            if (next.size() + (nextMode == Mode::kAscii ? 0 : 3) > limit && !chunk.empty()) {
                Enter(chunk, mode, Mode::kAscii);
                flush();
                mode = Mode::kAscii;
                continue;
            }
            chunk = std::move(next);
            mode = nextMode;
            i += took;
        }
        Enter(chunk, mode, Mode::kAscii);
    } else {
        for (size_t i = 0; i < n;) {
            size_t end = i + 1;
            while (end < n && end - i < 4 && (s[end] & 0xC0) == 0x80)
                ++end;
            if (chunk.size() + (end - i) > limit && !chunk.empty()) flush();
            chunk.append(text.substr(i, end - i));
            i = end;
        }
    }
    flush();
    return out;
}

// The subject of a text that starts with "Subject:", without its line end.
std::string_view SubjectText(std::string_view text) {
    const size_t start = SubjectStart(text);
    if (start == std::string_view::npos) return {};
    std::string_view subject = text.substr(start);
    subject = subject.substr(0, subject.find('\n'));
    if (!subject.empty() && subject.back() == '\r') subject.remove_suffix(1);
    return subject;
}

std::string EncodeSubject(std::string_view text, const char *charset) {
    if (SubjectStart(text) == std::string_view::npos) return {};
    const std::string_view subject = SubjectText(text);
    if (subject.empty()) return "Subject: \n";
    return "Subject: " + EncodedWords(subject, charset, 9) + "\n";
}

// Text that may stand in a header as it is: printable ASCII and blanks, and
// short enough for one line.
bool PlainHeaderText(std::string_view text, size_t used) {
    if (used + text.size() > kLineMax) return false;
    for (const unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c > 0x7E) return false;
    }
    return true;
}

bool WriteText(int sock, std::string_view s) {
    return QAVOSMTPWriteCRLF(sock, s.data(), static_cast<int>(s.size())) ==
           static_cast<int>(s.size());
}

bool HasLineBreak(const char *s) {
    return !slib::OneLine(s);
}

// The host name, whole; empty when it cannot be read.
std::string FullHostName() {
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) != 0) return "";
    name[sizeof(name) - 1] = '\0';
    return name;
}

// The host name up to its first dot.
std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) != 0) return kUnknownHost;
    name[sizeof(name) - 1] = '\0';
    std::string host(name);
    return host.substr(0, host.find('.'));
}

bool ProductNameFirst() {
    char value[1024] = "";
    return SLIBFileGetKeyValue(kDefaults, "productnamefirst", value, sizeof(value), 0) > 0 &&
           strcasecmp(value, "yes") == 0;
}

// "Date: " in RFC 5322 form, local time with its zone.
std::string DateHeader(time_t now) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm local{};
    if (localtime_r(&now, &local) == nullptr) gmtime_r(&now, &local);
    const long offset = local.tm_gmtoff / 60;
    const long minutes = offset < 0 ? -offset : offset;
    char line[96];
    snprintf(line, sizeof line, "Date: %s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld\n",
             kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
             local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
             offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return line;
}

// "Message-ID: ", unique per mail: time, process, a count and 64 random
// bits, under the appliance's full host name, else the sender's mail
// domain.
std::string MessageIdHeader(time_t now, const char *fromAddr) {
    static unsigned count = 0;
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        random =
            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
            (static_cast<uint64_t>(getpid()) << 32);
    }
    std::string domain = FullHostName();
    const bool hostOk = slib::IsHostName(domain.c_str());
    if (!hostOk || domain.find('.') == std::string::npos) {
        const char *at = strrchr(fromAddr, '@');
        if (at != nullptr && slib::IsHostName(at + 1)) {
            domain = at + 1;
        } else if (!hostOk) {
            domain = "localhost";
        }
    }
    tm utc{};
    gmtime_r(&now, &utc);
    char id[96];
    snprintf(id, sizeof id, "%04d%02d%02d%02d%02d%02d.%d.%u.%016llx", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
             static_cast<int>(getpid()), ++count, static_cast<unsigned long long>(random));
    return std::string("Message-ID: <") + id + "@" + domain + ">\n";
}

// "From: " with the display name quoted when it is plain ASCII, else as
// UTF-8 encoded words.
std::string FromHeader(const QAVOSMTPREQUEST *req) {
    const std::string host = HostName();
    const std::string name = req->szFromName;
    const std::string display = ProductNameFirst() ? name + "-" + host : host + "-" + name;
    const std::string addr = std::string(" <") + req->szFromAddr + ">\n";
    if (display.find_first_of("\"\\") == std::string::npos &&
        PlainHeaderText(display, 8 + addr.size()))
        return "From: \"" + display + "\"" + addr;
    return "From: " + EncodedWords(display, "utf-8", 6) + addr;
}

// The text as the mail carries it: the subject, and the body after the
// blank line that ends the headers.
struct Parts {
    bool hasSubject = false;
    std::string_view subject;
    std::string_view body;
};

Parts SplitText(std::string_view text) {
    Parts p;
    if (SubjectStart(text) != std::string_view::npos) {
        p.hasSubject = true;
        p.subject = SubjectText(text);
        const size_t lf = text.find('\n');
        text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    }
    // A body that begins with an empty line has its own end of the headers;
    // any other gets one, so that its first line is not taken for a header.
    if (StartsWith(text, "\r\n")) {
        text.remove_prefix(2);
    } else if (StartsWith(text, "\n") || StartsWith(text, "\r")) {
        text.remove_prefix(1);
    }
    p.body = text;
    return p;
}

// The body's lines without their ends (LF, CR LF or a bare CR), converted
// from Shift_JIS to ISO-2022-JP when jis is set.
std::vector<std::string> BodyLines(std::string_view body, bool jis) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < body.size()) {
        const size_t end = body.find_first_of("\r\n", at);
        const std::string_view line = body.substr(at, end - at);
        lines.push_back(jis ? JisLine(line) : std::string(line));
        if (end == std::string_view::npos) break;
        at = end + (body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

// The text in the charset the mail declares: Japanese text converted to
// code page 932 (the caller's text stays as it is).
std::string MailText(const char *text, bool jis) {
    if (!jis) return text;
    const int need = SLIBUnicodeStrUTF8ToCP(kCodePage932, text, nullptr, 0);
    if (need >= 0) {
        std::string converted(static_cast<size_t>(need) + 1, '\0');
        if (SLIBUnicodeStrUTF8ToCP(kCodePage932, text, converted.data(), need + 1) == need) {
            converted.resize(static_cast<size_t>(need));
            return converted;
        }
    }
    SLIBLog(LOG_ERR, "%s(%d):SLIBUnicodeStrUTF8ToCP error, errno=0x%x", kSource, __LINE__,
            SLIBErrGet());
    return text;
}

// The mail after DATA, with LF line ends: the headers, a blank line and the
// body. Header texts other than plain ASCII are encoded words; a body with a
// line over the wire's limit (or, in ISO-2022-JP, an 8-bit byte) is sent in
// base64.
std::string MailData(const QAVOSMTPREQUEST *req, const char *lang, const char *charset) {
    const bool jis = IsJis(charset) && strcmp(lang, "enu") != 0;
    const std::string text = MailText(req->szText, jis);
    const Parts parts = SplitText(text);
    const time_t now = time(nullptr);
    std::string out = FromHeader(req) + "To: " + req->szTo + "\n";
    if (parts.hasSubject) {
        if (PlainHeaderText(parts.subject, 9)) {
            out += "Subject: " + std::string(parts.subject) + "\n";
        } else {
            out += "Subject: " +
                   EncodedWords(parts.subject, jis ? QAVO_SMTP_CHARSET_JIS : "utf-8", 9) + "\n";
        }
    }
    out += DateHeader(now) + MessageIdHeader(now, req->szFromAddr) + "MIME-Version: 1.0\n";
    out += jis ? "Content-Type: text/plain; charset=ISO-2022-JP\n"
               : "Content-Type: text/plain; charset=utf-8\n";
    const std::vector<std::string> lines = BodyLines(parts.body, jis);
    bool base64 = false;
    for (const std::string &line : lines) {
        if (line.size() > kLineMax || (jis && !BlQAVOSMTPIsAscii(line.c_str()))) base64 = true;
    }
    out += base64 ? "Content-Transfer-Encoding: base64\n\n"
           : jis  ? "Content-Transfer-Encoding: 7bit\n\n"
                  : "Content-Transfer-Encoding: 8bit\n\n";
    if (!base64) {
        for (const std::string &line : lines)
            out += line + "\n";
        return out;
    }
    std::string canonical;
    for (const std::string &line : lines)
        canonical += line + "\r\n";
    const std::string encoded = Base64(canonical);
    for (size_t at = 0; at < encoded.size(); at += kBase64Line)
        out += encoded.substr(at, kBase64Line) + "\n";
    return out;
}

// Resolves the server: 0 with the address, or the dialogue's result 1.
int Resolve(const char *server, in_addr *addr) {
    if (inet_aton(server, addr) != 0) return 0;
    const hostent *he = gethostbyname(server);
    if (he != nullptr && he->h_addrtype == AF_INET && he->h_addr_list[0] != nullptr) {
        memcpy(addr, he->h_addr_list[0], sizeof(*addr));
        return 0;
    }
    const int err = he == nullptr ? h_errno : NO_ADDRESS;
    char num[16];
    snprintf(num, sizeof(num), "%d", err);
    const char *text = err == NO_RECOVERY ? "Unknown DNS server error" : hstrerror(err);
    Event(QAVO_SMTP_EVENT_RESOLVE, server, num, text);
    SLIBLog(LOG_ERR, "QAVOMSG: Cannot resolve the host address:%s, errcode:%s(%s).", server, num,
            text);
    return QAVO_SMTP_ERR_RESOLVE;
}

using Clock = std::chrono::steady_clock;

// Reads one non-empty line of a reply into gReply by the deadline: 0,
// kTimeout, or kClosed when the connection ended. gReply keeps the last
// whole line.
int ReadLine(int sock, Clock::time_point deadline) {
    char line[kReplySize];
    size_t len = 0;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return kTimeout;
        pollfd pfd{sock, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return kTimeout;
        if (ready < 0) return kClosed;
        char c = 0;
        ssize_t got;
        do {
            got = read(sock, &c, 1);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return kClosed;
        if (c == '\0') continue;
        if (c == '\r' || c == '\n') {
            if (len == 0) continue;
            memcpy(gReply, line, len);
            gReply[len] = '\0';
            return 0;
        }
        if (len < sizeof(line) - 1) line[len++] = c;
    }
}

bool Continued(std::string_view line) {
    return line.size() > 3 && line[3] == '-' && line[0] >= '0' && line[0] <= '9';
}

// Reads the reply to QUIT: waited for, never judged.
void ReadQuitReply(int sock) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(QAVO_SMTP_REPLY_TIMEOUT);
    while (ReadLine(sock, deadline) == 0 && Continued(gReply)) {
    }
}

// Ends the session; the reply is read unless the server is silent.
void Quit(int sock, bool wait) {
    static const char kQuit[] = "Quit\r\n";
    if (SendAll(sock, kQuit, sizeof(kQuit) - 1) && wait) ReadQuitReply(sock);
}

// The dialogue's result for a step that failed with r; a server that still
// listens is told QUIT.
int Failed(int sock, int r) {
    if (r == kTimeout) {
        Quit(sock, false);
        return QAVO_SMTP_ERR_TIMEOUT;
    }
    SLIBLog(LOG_ERR, "SMTP failed:%s", gReply);
    if (r != kClosed) Quit(sock, true);
    return QAVO_SMTP_ERR_REFUSED;
}

// The dialogue after the connection: 0, or the failing step's result.
int Dialogue(int sock, const QAVOSMTPREQUEST *req, const char *lang, const char *charset) {
    // A greeting with another code, or none, does not stop the dialogue.
    QAVOSMTPReadReply(220, sock);
    int r;
    if (req->blAuth && req->szUser && *req->szUser && req->szPass && *req->szPass) {
        r = QAVOSMTPCommand(0, sock, "EHLO NAS\r\n");
        if (r == 0) r = QAVOSMTPCommand(334, sock, "AUTH LOGIN\r\n");
        if (r == 0) r = QAVOSMTPCommand(334, sock, "%s\r\n", Base64(req->szUser).c_str());
        if (r == 0) r = QAVOSMTPCommand(235, sock, "%s\r\n", Base64(req->szPass).c_str());
    } else {
        r = QAVOSMTPCommand(0, sock, "HELO NAS\r\n");
    }
    if (r == 0) r = QAVOSMTPCommand(250, sock, "MAIL From: <%s>\r\n", req->szFromAddr);
    if (r == 0) r = QAVOSMTPCommand(250, sock, "RCPT To: <%s>\r\n", req->szTo);
    if (r == 0) r = QAVOSMTPCommand(354, sock, "DATA\r\n");
    if (r != 0) return Failed(sock, r);
    if (!WriteText(sock, MailData(req, lang, charset))) return QAVO_SMTP_ERR_CONNECT;
    r = QAVOSMTPCommand(250, sock, "\r\n.\r\n");
    if (r != 0) return Failed(sock, r);
    Quit(sock, true);
    return QAVO_SMTP_OK;
}

// The body of a delivery child: locks dropped, standard streams on
// /dev/null.
void PrepareChild() {
    SLIBFileLockCloseAll();
    const int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO) close(fd);
    }
}

int DeliverLogged(QAVOSMTPREQUEST *req) {
    const int r = QAVOSMTPDeliver(req);
    if (r != 0) {
        const char *to = req->szTo ? req->szTo : "";
        Event(QAVO_SMTP_EVENT_FAILED, to);
        SLIBLog(LOG_ERR, "QAVOMSG: Failed to send e-mail to %s.", to);
    }
    return r;
}

// Runs work in a grandchild, so that nobody has to wait for it: the child
// in between ends at once and is reaped here. false when no child started.
template <typename Work>
bool Detach(Work work) {
    const pid_t pid = fork();
    if (pid < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fork failed, errno=%d", kSource, __LINE__, errno);
        return false;
    }
    if (pid == 0) {
        const pid_t worker = fork();
        if (worker == 0) {
            PrepareChild();
            _exit(work());
        }
        _exit(worker < 0 ? 1 : 0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): fork of the delivery failed", kSource, __LINE__);
        return false;
    }
    return true;
}

}  // namespace

extern "C" int BlQAVOSMTPIsAscii(const char *text) {
    if (text == nullptr) return 1;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p >= 0x80) return 0;
    }
    return 1;
}

extern "C" void QAVOSMTPSjisToJis(unsigned char *lead, unsigned char *trail) {
    if (lead == nullptr || trail == nullptr) return;
    const unsigned c1 = *lead, c2 = *trail;
    const bool leadOk = (c1 >= 0x81 && c1 <= 0x9F) || (c1 >= 0xE0 && c1 <= 0xEF);
    if (!leadOk || c2 < 0x40 || c2 > 0xFC || c2 == 0x7F) return;
    const unsigned rowBase = c1 <= 0x9F ? 0x70 : 0xB0;
    if (c2 < 0x9F) {
        *lead = static_cast<unsigned char>(((c1 - rowBase) << 1) - 1);
        *trail = static_cast<unsigned char>(c2 - (c2 > 0x7F ? 0x20 : 0x1F));
    } else {
        *lead = static_cast<unsigned char>((c1 - rowBase) << 1);
        *trail = static_cast<unsigned char>(c2 - 0x7E);
    }
}

extern "C" const char *QAVOSMTPBase64Encode(const unsigned char *bytes, int length) {
    size_t n = 0;
    if (bytes != nullptr && length > 0) {
        // A zero byte that starts a group ends the input.
        const size_t len = static_cast<size_t>(length);
        while (n < len && bytes[n] != 0)
            n = n + 3 < len ? n + 3 : len;
    }
    try {
        gBase64 = Base64(bytes, n);
    } catch (const std::bad_alloc &) {
        gBase64.clear();
        SLIBErrSet(ERR_OUT_OF_MEMORY);
    }
    return gBase64.c_str();
}

extern "C" int QAVOSMTPWriteCRLF(int sock, const char *bytes, int length) {
    if (bytes == nullptr || length < 0) return Fail(ERR_BAD_PARAMETERS);
    try {
        std::string out;
        out.reserve(static_cast<size_t>(length) + static_cast<size_t>(length) / 16 + 2);
        // A bare CR ends a line as CR LF does: a receiver may take either
        // for a line end, so the two never differ on the wire.
        bool lineStart = true, afterCR = false;
        for (int i = 0; i < length; ++i) {
            const char c = bytes[i];
            if (c == '\n' || c == '\r') {
                if (c == '\r' || !afterCR) out += "\r\n";
                lineStart = true;
                afterCR = c == '\r';
                continue;
            }
            // A line that starts with a dot would end the data early.
            if (lineStart && c == '.') out += '.';
            out += c;
            lineStart = afterCR = false;
        }
        if (!SendAll(sock, out.data(), out.size())) return Fail(ERR_WRITE_FAILED);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
    return length;
}

extern "C" int QAVOSMTPReadReply(int expected, int sock) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(QAVO_SMTP_REPLY_TIMEOUT);
    for (;;) {
        const int got = ReadLine(sock, deadline);
        if (got == kTimeout) {
            Event(QAVO_SMTP_EVENT_TIMEOUT);
            SLIBLog(LOG_ERR, "QAVOMSG: Mail server connection timeout.");
            return kTimeout;
        }
        if (got == kClosed) {
            SLIBLog(LOG_ERR, "QAVOMSG: Mail server closed the connection.");
            return kClosed;
        }
        const std::string_view line(gReply);
        int code = 0;
        const bool numbered = sscanf(gReply, "%d", &code) == 1 && code > 0;
        // A continuation line ("250-...") never ends a reply: the reply's
        // last line must be read before the next command, or every later
        // step would take the rest of this reply for its own.
        if (numbered && Continued(line)) continue;
        if (numbered && expected != 0 && code == expected) return 0;
        if (StartsWith(line, "220")) continue;
        // Any positive completion where one is awaited ("251 will forward").
        if (numbered && expected >= 200 && expected < 300 && code >= 200 && code < 300) return 0;
        if (expected == 0 &&
            (line.find("250 HELP") != std::string_view::npos || (numbered && code == 250)))
            return 0;
        Event(QAVO_SMTP_EVENT_REPLY, gReply);
        SLIBLog(LOG_ERR,
                "QAVOMSG: Error occured while sending e-mail. The mail server responded error "
                "message: %s.",
                gReply);
        return numbered ? code : kNoCode;
    }
}

extern "C" int QAVOSMTPCommand(int expected, int sock, const char *format, ...) {
    if (format == nullptr) return Fail(ERR_BAD_PARAMETERS);
    char command[kCommandSize];
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(command, sizeof(command), format, ap);
    va_end(ap);
    // A cut command would lose its line end and leave the server waiting.
    if (n < 0 || n >= static_cast<int>(sizeof(command))) return Fail(ERR_BAD_PARAMETERS);
    if (!SendAll(sock, command, static_cast<size_t>(n))) return Fail(ERR_WRITE_FAILED);
    if (strcmp(command, "Quit\r\n") == 0) {
        ReadQuitReply(sock);
        return 0;
    }
    return QAVOSMTPReadReply(expected, sock);
}

extern "C" char *QAVOSMTPEncodeSubject(const char *text, const char *charset) {
    if (text == nullptr || charset == nullptr) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    try {
        const std::string header = EncodeSubject(text, charset);
        char *out = strdup(header.c_str());
        if (out == nullptr) SLIBErrSet(ERR_OUT_OF_MEMORY);
        return out;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

extern "C" int QAVOSMTPWriteBody(int sock, const char *body, const char *charset) {
    if (body == nullptr || charset == nullptr) return Fail(ERR_BAD_PARAMETERS);
    try {
        for (const std::string &line : BodyLines(body, IsJis(charset))) {
            if (!WriteText(sock, line + "\n")) return -1;
        }
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
    return 0;
}

extern "C" int QAVOSMTPGetCharset(const char *lang, char *out, int size) {
    if (out == nullptr || size <= 0) return Fail(ERR_BAD_PARAMETERS);
    if (!slib::IsPlainCode(lang, kLangMax)) lang = "enu";
    char value[64] = "";
    const char *charset = QAVO_SMTP_CHARSET_DEFAULT;
    if (strcasecmp(lang, "jpn") == 0) {
        charset = QAVO_SMTP_CHARSET_JIS;
    } else {
        const std::string path = std::string(QAVO_SMTP_TEXTS_DIR) + lang + "/strings";
        if (SLIBFileGetKeyValue(path.c_str(), "charset", value, sizeof(value), 0) > 0 &&
            value[0] != '\0')
            charset = value;
    }
    if (strlen(charset) >= static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    strcpy(out, charset);
    return 0;
}

extern "C" int QAVOSMTPDeliver(QAVOSMTPREQUEST *req) {
    if (req == nullptr || req->szServer == nullptr || req->szServer[0] == '\0' ||
        req->szTo == nullptr || req->szTo[0] == '\0' || req->szFromAddr == nullptr ||
        req->szText == nullptr || req->szFromName == nullptr)
        return Fail(ERR_BAD_PARAMETERS);
    // Nothing that goes into a command or a header may hold a line break.
    if (HasLineBreak(req->szServer) || HasLineBreak(req->szTo) || HasLineBreak(req->szFromAddr) ||
        HasLineBreak(req->szFromName) || HasLineBreak(HostName().c_str())) {
        SLIBLog(LOG_ERR, "%s(%d): line break in an address or name refused", kSource, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    const char *lang = slib::IsPlainCode(req->szLang, kLangMax) ? req->szLang : "enu";
    char charset[64];
    if (QAVOSMTPGetCharset(lang, charset, sizeof(charset)) != 0)
        strcpy(charset, QAVO_SMTP_CHARSET_DEFAULT);

    in_addr addr{};
    if (Resolve(req->szServer, &addr) != 0) return QAVO_SMTP_ERR_RESOLVE;
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        Event(QAVO_SMTP_EVENT_SOCKET);
        SLIBLog(LOG_ERR, "QAVOMSG: Cannot create socket resource.");
        return QAVO_SMTP_ERR_SOCKET;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(QAVO_SMTP_PORT);
    sa.sin_addr = addr;
    int c;
    do {
        c = connect(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa));
    } while (c < 0 && errno == EINTR);
    if (c < 0) {
        close(sock);
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &addr, dotted, sizeof(dotted));
        Event(QAVO_SMTP_EVENT_CONNECT, req->szServer, dotted);
        SLIBLog(LOG_ERR, "QAVOMSG: Cannot connect to mail server:%s(%s).", req->szServer, dotted);
        return QAVO_SMTP_ERR_CONNECT;
    }
    int r;
    try {
        r = Dialogue(sock, req, lang, charset);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        r = QAVO_SMTP_ERR_CONNECT;
    }
    close(sock);
    return r;
}

extern "C" int QAVOSMTPSendMail(QAVOSMTPREQUEST *req, const char *secondTo) {
    if (req == nullptr) return Fail(ERR_BAD_PARAMETERS);
    Detach([req, secondTo]() {
        bool firstSent = false;
        if (req->szTo != nullptr && req->szTo[0] != '\0') firstSent = DeliverLogged(req) == 0;
        if (secondTo != nullptr && secondTo[0] != '\0') {
            QAVOSMTPREQUEST second = *req;
            char *to = const_cast<char *>(secondTo);
            if (!firstSent) second.szFromAddr = to;
            second.szTo = to;
            DeliverLogged(&second);
        }
        return 0;
    });
    return 0;
}

extern "C" int QAVOSMTPSendMailFallback(const char *server, const char *recipient, const char *text,
                                        const char *fromName, const char *fromAddr,
                                        const char *altFromAddr, const char *notice,
                                        const char *failureMessage, const char *language) {
    if (server == nullptr || recipient == nullptr || text == nullptr || fromName == nullptr ||
        fromAddr == nullptr)
        return Fail(ERR_BAD_PARAMETERS);
    Detach([=]() {
        QAVOSMTPREQUEST req{};
        req.szServer = const_cast<char *>(server);
        req.szTo = const_cast<char *>(recipient);
        req.szFromAddr = const_cast<char *>(fromAddr);
        req.szText = const_cast<char *>(text);
        req.szFromName = const_cast<char *>(fromName);
        req.szLang = const_cast<char *>(language);
        if (QAVOSMTPDeliver(&req) == 0) return 0;
        req.szFromAddr = const_cast<char *>(altFromAddr);
        if (QAVOSMTPDeliver(&req) == 0) return 0;
        if (failureMessage != nullptr) SLIBLog(LOG_ERR, "%s", failureMessage);
        if (notice == nullptr) return -1;
        std::string mail;
        try {
            mail = std::string(notice) + kNoticeSeparator + text + kNoticeSeparator;
        } catch (const std::bad_alloc &) {
            return -1;
        }
        req.szText = mail.data();
        req.szFromAddr = const_cast<char *>(fromAddr);
        bool failed = true;
        if (fromAddr[0] != '\0') {
            req.szTo = const_cast<char *>(fromAddr);
            failed = QAVOSMTPDeliver(&req) != 0;
        }
        if (altFromAddr != nullptr && altFromAddr[0] != '\0') {
            req.szTo = const_cast<char *>(altFromAddr);
            if (failed) req.szFromAddr = const_cast<char *>(altFromAddr);
            QAVOSMTPDeliver(&req);
        }
        return 0;
    });
    return 0;
}
