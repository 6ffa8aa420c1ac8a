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
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

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
// Subject bytes per encoded word: more closes the word before the next
// character.
constexpr size_t kJisWordBytes = 39;
constexpr size_t kUtf8WordBytes = 45;
// Result of a reply line without a code.
constexpr int kNoCode = -5;
constexpr int kTimeout = -4;

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
enum class Mode { kAscii, kKanji, kRoman };

void Enter(std::string &out, Mode &mode, Mode want) {
    if (mode == want) return;
    out += want == Mode::kAscii ? "\x1b(B" : want == Mode::kKanji ? "\x1b$B" : "\x1b(J";
    mode = want;
}

// Converts the Shift_JIS character at s[i] (of n bytes) into out; the number
// of bytes it took, 0 when the text ends inside a two-byte character.
size_t JisChar(const unsigned char *s, size_t i, size_t n, std::string &out, Mode &mode) {
    const unsigned char c = s[i];
    if (c < 0x80) {
        // Printable ASCII and the control bytes (a tab) alike.
        Enter(out, mode, Mode::kAscii);
        out += static_cast<char>(c);
        return 1;
    }
    if (c == 0xA1 || c == 0xA4) {
        // Half-width ideographic full stop and comma: their full-width forms.
        unsigned char lead = 0x81, trail = c == 0xA1 ? 0x42 : 0x41;
        QAVOSMTPSjisToJis(&lead, &trail);
        Enter(out, mode, Mode::kKanji);
        out += static_cast<char>(lead);
        out += static_cast<char>(trail);
        return 1;
    }
    if (c >= 0xA1 && c <= 0xDF) {
        Enter(out, mode, Mode::kRoman);
        out += static_cast<char>(c);
        return 1;
    }
    if (c >= 0xF0) return i + 1 < n ? 2 : 1;  // user-defined area: dropped
    if (i + 1 >= n) return 0;
    unsigned char lead = c, trail = s[i + 1];
    QAVOSMTPSjisToJis(&lead, &trail);
    Enter(out, mode, Mode::kKanji);
    out += static_cast<char>(lead);
    out += static_cast<char>(trail);
    return 2;
}

// One line (without its LF) in ISO-2022-JP, back in ASCII mode at its end.
std::string JisLine(std::string_view line) {
    const auto *s = reinterpret_cast<const unsigned char *>(line.data());
    std::string out;
    Mode mode = Mode::kAscii;
    for (size_t i = 0; i < line.size();) {
        const size_t used = JisChar(s, i, line.size(), out, mode);
        if (used == 0) break;
        i += used;
    }
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

std::string EncodeSubject(std::string_view text, const char *charset) {
    const size_t start = SubjectStart(text);
    if (start == std::string_view::npos) return {};
    std::string_view subject = text.substr(start);
    subject = subject.substr(0, subject.find('\n'));
    if (!subject.empty() && subject.back() == '\r') subject.remove_suffix(1);
    if (subject.empty()) return "Subject: \n";
    const std::string open = std::string("=?") + charset + "?B?";
    std::string header = "Subject: " + open;
    const auto *s = reinterpret_cast<const unsigned char *>(subject.data());
    const size_t n = subject.size();
    if (IsJis(charset)) {
        // Each word starts in ASCII and closes its own mode, and a character
        // never spans two words.
        std::string chunk;
        Mode mode = Mode::kAscii;
        for (size_t i = 0; i < n;) {
            if (chunk.size() > kJisWordBytes) {
                Enter(chunk, mode, Mode::kAscii);
                header += Base64(chunk) + "?=\n\t" + open;
                chunk.clear();
            }
            const size_t used = JisChar(s, i, n, chunk, mode);
            if (used == 0) break;
            i += used;
        }
        Enter(chunk, mode, Mode::kAscii);
        header += Base64(chunk) + "?=\n";
        return header;
    }
    // UTF-8: words of whole characters.
    for (size_t i = 0; i < n;) {
        size_t end = i + kUtf8WordBytes < n ? i + kUtf8WordBytes : n;
        while (end < n && end > i + 1 && (s[end] & 0xC0) == 0x80)
            --end;
        if (i > 0) header += "?=\n\t" + open;
        header += Base64(s + i, end - i);
        i = end;
    }
    header += "?=\n";
    return header;
}

bool WriteText(int sock, std::string_view s) {
    return QAVOSMTPWriteCRLF(sock, s.data(), static_cast<int>(s.size())) ==
           static_cast<int>(s.size());
}

bool HasLineBreak(const char *s) {
    return !slib::OneLine(s);
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

// The text as the mail carries it: the subject line, a blank line that ends
// the headers, and the body. Japanese text is converted to code page 932
// into a copy; the caller's text stays as it is.
struct Parts {
    std::string subjectLine;  // "Subject: ...\n", or empty
    std::string body;
};

Parts SplitText(std::string_view text) {
    Parts p;
    if (SubjectStart(text) != std::string_view::npos) {
        const size_t lf = text.find('\n');
        p.subjectLine = std::string(text.substr(0, lf)) + "\n";
        text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    }
    p.body = text;
    return p;
}

// A body that does not begin with an empty line gets one, so that its first
// line is not taken for a header.
std::string HeaderEnd(const std::string &body) {
    return StartsWith(body, "\n") || StartsWith(body, "\r\n") ? "" : "\n";
}

// Writes the text part of the mail: 0, or 3 when a write falls short.
int WriteMailText(int sock, const char *text, const char *lang, const char *charset) {
    std::string converted;
    const char *mailText = text;
    const bool english = strcmp(lang, "enu") == 0;
    if (!english && IsJis(charset)) {
        const int need = SLIBUnicodeStrUTF8ToCP(kCodePage932, text, nullptr, 0);
        bool ok = need >= 0;
        if (ok) {
            converted.assign(static_cast<size_t>(need) + 1, '\0');
            ok = SLIBUnicodeStrUTF8ToCP(kCodePage932, text, converted.data(), need + 1) == need;
            converted.resize(static_cast<size_t>(need));
        }
        if (ok) {
            mailText = converted.c_str();
        } else {
            SLIBLog(LOG_ERR, "%s(%d):SLIBUnicodeStrUTF8ToCP error, errno=0x%x", kSource, __LINE__,
                    SLIBErrGet());
        }
    }
    const Parts parts = SplitText(mailText);
    if (english || BlQAVOSMTPIsAscii(mailText)) {
        return WriteText(sock, parts.subjectLine + HeaderEnd(parts.body) + parts.body) ? 0 : 3;
    }
    // The body of a non-Japanese mail is UTF-8 as its Content-Type says; its
    // subject is labelled the same.
    const char *wordCharset = IsJis(charset) ? QAVO_SMTP_CHARSET_JIS : "utf-8";
    const std::string header = EncodeSubject(mailText, wordCharset) + HeaderEnd(parts.body);
    if (!WriteText(sock, header)) return 3;
    QAVOSMTPWriteBody(sock, parts.body.c_str(), charset);
    return 0;
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
    if (r == kTimeout) return QAVO_SMTP_ERR_TIMEOUT;
    if (r != 0) {
        SLIBLog(LOG_ERR, "SMTP failed:%s", gReply);
        return QAVO_SMTP_ERR_REFUSED;
    }

    const std::string host = HostName();
    const bool nameFirst = ProductNameFirst();
    std::string from = "From: \"";
    from += nameFirst ? req->szFromName : host;
    from += "-";
    from += nameFirst ? host : req->szFromName;
    from += std::string("\" <") + req->szFromAddr + ">\n";
    const std::string to = std::string("To: ") + req->szTo + "\n";
    const char *type = IsJis(charset) ? "Content-Type: text/plain; charset=ISO-2022-JP\n"
                                      : "Content-Type: text/plain; charset=utf-8\n"
                                        "Content-Transfer-Encoding: 8bit\n";
    if (!WriteText(sock, from) || !WriteText(sock, to) || !WriteText(sock, type))
        return QAVO_SMTP_ERR_CONNECT;
    if (WriteMailText(sock, req->szText, lang, charset) != 0) return QAVO_SMTP_ERR_CONNECT;

    r = QAVOSMTPCommand(250, sock, "\r\n.\r\n");
    if (r == kTimeout) return QAVO_SMTP_ERR_TIMEOUT;
    if (r != 0) {
        SLIBLog(LOG_ERR, "SMTP failed:%s", gReply);
        return QAVO_SMTP_ERR_REFUSED;
    }
    QAVOSMTPCommand(0, sock, "Quit\r\n");
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
        char prev = '\n';
        for (int i = 0; i < length; ++i) {
            const char c = bytes[i];
            // A line that starts with a dot would end the data early.
            if (prev == '\n' && c == '.') out += '.';
            if (c == '\n' && prev != '\r') out += '\r';
            out += c;
            prev = c;
        }
        if (!SendAll(sock, out.data(), out.size())) return Fail(ERR_WRITE_FAILED);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
    return length;
}

extern "C" int QAVOSMTPReadReply(int expected, int sock) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(QAVO_SMTP_REPLY_TIMEOUT);
    for (;;) {
        size_t len = 0;
        gReply[0] = '\0';
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd{sock, POLLIN, 0};
            int ready = 0;
            if (left.count() > 0) {
                ready = poll(&pfd, 1, static_cast<int>(left.count()));
                if (ready < 0 && errno == EINTR) continue;
            }
            char c = 0;
            ssize_t got = 0;
            if (ready > 0) {
                do {
                    got = read(sock, &c, 1);
                } while (got < 0 && errno == EINTR);
            }
            if (got <= 0) {
                Event(QAVO_SMTP_EVENT_TIMEOUT);
                SLIBLog(LOG_ERR, "QAVOMSG: Mail server connection timeout.");
                return kTimeout;
            }
            if (c == '\0') continue;
            if (c == '\r' || c == '\n') {
                if (len == 0) continue;
                break;
            }
            if (len < sizeof(gReply) - 1) gReply[len++] = c;
            gReply[len] = '\0';
        }
        const std::string_view line(gReply, len);
        int code = 0;
        const bool numbered = sscanf(gReply, "%d", &code) == 1 && code > 0;
        // A continuation line ("250-...") never ends a reply: the reply's
        // last line must be read before the next command, or every later
        // step would take the rest of this reply for its own.
        if (numbered && line.size() > 3 && line[3] == '-') continue;
        if (numbered && expected != 0 && code == expected) return 0;
        if (StartsWith(line, "220")) continue;
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
    if (strcmp(command, "Quit\r\n") == 0) return 0;
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
        if (!IsJis(charset)) return WriteText(sock, body) ? 0 : -1;
        std::string_view rest(body);
        while (!rest.empty()) {
            const size_t lf = rest.find('\n');
            if (!WriteText(sock, JisLine(rest.substr(0, lf)) + "\n")) return -1;
            if (lf == std::string_view::npos) break;
            rest.remove_prefix(lf + 1);
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
