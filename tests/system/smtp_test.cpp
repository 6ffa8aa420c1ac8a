// SMTP client against a real SMTP server (aiosmtpd) and a scripted peer on
// 192.0.2.2:25 of the appliance root's own network namespace.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "appliance.h"
#include "mail_support.h"
#include "qavo_smtp.h"
#include "slib_errcode.h"

namespace {

using mailtest::MailNet;

struct Request {
    std::string server = "192.0.2.2", to = "admin@example.com", from = "nas@example.com",
                text = "Subject: Hello\n\nBody line\n", name = "Company", lang = "enu";
    int auth = 0;
    std::string user, pass;
    QAVOSMTPREQUEST req{};
    QAVOSMTPREQUEST *Get() {
        req.szServer = server.data();
        req.szTo = to.data();
        req.szFromAddr = from.data();
        req.szText = text.data();
        req.szFromName = name.data();
        req.szLang = lang.data();
        req.blAuth = auth;
        req.szUser = user.data();
        req.szPass = pass.data();
        return &req;
    }
};

// Event ids recorded after the first skip records.
std::vector<uint32_t> EventsSince(size_t skip) {
    std::vector<uint32_t> ids = mailtest::SystemEventIds();
    return std::vector<uint32_t>(ids.begin() + static_cast<long>(std::min(skip, ids.size())),
                                 ids.end());
}

std::string Unbase64(const std::string &in) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0, value = 0;
    for (char c : in) {
        const size_t v = kAlphabet.find(c);
        if (v == std::string::npos) continue;
        value = value << 6 | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

// A number the mail parser reported; none is more than any limit.
unsigned long Count(const std::string &text) {
    return text.empty() ? ~0ul : strtoul(text.c_str(), nullptr, 10);
}

// What the body writer sends for the bytes, read back through a pipe.
std::string BodyBytes(const std::string &body, const char *charset) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(QAVOSMTPWriteBody(fds[1], body.c_str(), charset), 0);
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    return out;
}

class Smtp : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sethostname("qnas.example.com", 16), 0); }
    MailNet net;
};

TEST(SmtpCodec, Base64ShiftJisAndAsciiChecks) {
    struct B64 {
        std::string in;
        const char *out;
    } b64[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foobar", "Zm9vYmFy"},
               {std::string("ab\0cd", 5), "YWIAY2Q="},
               {std::string("abc\0de", 6), "YWJj"}};
    for (const B64 &c : b64) {
        EXPECT_STREQ(QAVOSMTPBase64Encode(reinterpret_cast<const unsigned char *>(c.in.data()),
                                          static_cast<int>(c.in.size())),
                     c.out)
            << c.in;
    }
    // An input far beyond any fixed buffer is encoded whole.
    const std::string big(3000, 'x');
    EXPECT_EQ(strlen(QAVOSMTPBase64Encode(reinterpret_cast<const unsigned char *>(big.data()),
                                          static_cast<int>(big.size()))),
              4000u);

    struct Pair {
        unsigned in, out;
    } pairs[] = {{0x8140, 0x2121}, {0x889F, 0x3021}, {0x9FFC, 0x5E7E}, {0xE040, 0x5F21},
                 {0xEAA4, 0x7426}, {0x817F, 0x817F}, {0xF040, 0xF040}, {0x8130, 0x8130}};
    for (const Pair &p : pairs) {
        unsigned char lead = static_cast<unsigned char>(p.in >> 8);
        unsigned char trail = static_cast<unsigned char>(p.in);
        QAVOSMTPSjisToJis(&lead, &trail);
        EXPECT_EQ(static_cast<unsigned>(lead << 8 | trail), p.out) << std::hex << p.in;
    }
    EXPECT_EQ(BlQAVOSMTPIsAscii("plain text\t~"), 1);
    EXPECT_EQ(BlQAVOSMTPIsAscii("caf\xc3\xa9"), 0);
}

TEST(SmtpCodec, JapaneseBodyLinesStayWholeAndInMode) {
    const char *jis = QAVO_SMTP_CHARSET_JIS;
    struct Case {
        std::string in, out;
    } cases[] = {
        // Control bytes are ASCII: the tab does not swallow the kanji after it.
        {"A\t\x88\x9f\tB\n", "A\t\x1b$B0!\x1b(B\tB\r\n"},
        // Half-width katakana in their full-width forms, a voiced or
        // semi-voiced mark joined to the letter where the full-width set
        // has the joined letter (not after NA).
        {"\xb1\xb2x\n", "\x1b$B%\"%$\x1b(Bx\r\n"},
        {"\xa1\xa4\n", "\x1b$B!#!\"\x1b(B\r\n"},
        {"\xb6\xde\xca\xdf\xb3\xde\xc5\xde\xb0\n", "\x1b$B%,%Q%t%J!+!<\x1b(B\r\n"},
        // What ISO-2022-JP cannot carry is a visible "?": a user-defined or
        // extension character (the converter's substitute for characters
        // outside code page 932 among them), a lead byte at the line's end
        // or before a byte that is no trail byte; the next line is still
        // written.
        {"a\xf0\x40\xfc\xfc\nb\n", "a??\r\nb\r\n"},
        {"a\x88\nb", "a?\r\nb\r\n"},
        {"\x88\x30\x80\n", "?0?\r\n"},
        // A bare CR ends a line like LF and CR LF.
        {"a\rb\r\nc\n", "a\r\nb\r\nc\r\n"},
        // A line starting with a dot is doubled, so the data does not end.
        {".\n..\n", "..\r\n...\r\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(BodyBytes(c.in, jis), c.out) << c.in;
    // Other charsets: the body as it is, with CR LF and the dots doubled.
    EXPECT_EQ(BodyBytes("caf\xc3\xa9\n.x\r\n\ry\r.z", "utf-8"),
              "caf\xc3\xa9\r\n..x\r\n\r\ny\r\n..z\r\n");
    // A line far longer than 1024 bytes is converted whole.
    std::string longLine;
    for (int i = 0; i < 800; ++i)
        longLine += "\x88\x9f";
    const std::string out = BodyBytes(longLine + "\n", jis);
    EXPECT_EQ(out.size(), 3 + 1600 + 3 + 2u);
}

TEST(SmtpCodec, SubjectWordsCloseTheirModeAndKeepCharactersWhole) {
    // Nothing for a text without a subject line.
    char *none = QAVOSMTPEncodeSubject("Hello\n", "utf-8");
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none, "");
    free(none);

    std::string sjis = "Subject: ";
    for (int i = 0; i < 60; ++i)
        sjis += "\x88\x9f";
    sjis += "\nbody\n";
    char *h = QAVOSMTPEncodeSubject(sjis.c_str(), QAVO_SMTP_CHARSET_JIS);
    ASSERT_NE(h, nullptr);
    const std::string header = h;
    free(h);
    EXPECT_EQ(header.rfind("Subject: =?ISO-2022-JP?B?", 0), 0u);
    // Each word decodes alone: it enters kanji mode and leaves it.
    size_t words = 0;
    for (size_t at = 0; (at = header.find("=?ISO-2022-JP?B?", at)) != std::string::npos; ++words) {
        at += 16;
        const std::string word = Unbase64(header.substr(at, header.find("?=", at) - at));
        EXPECT_EQ(word.substr(0, 3), "\x1b$B");
        EXPECT_EQ(word.substr(word.size() - 3), "\x1b(B");
        EXPECT_EQ(word.size() % 2, 0u);  // whole two-byte characters
        EXPECT_LE(word.size(), 48u);
    }
    EXPECT_GT(words, 2u);
    // No word over 75 characters, no line over 76, "Subject: " included.
    for (size_t at = 0; at < header.size();) {
        const size_t lf = header.find('\n', at);
        EXPECT_LE(lf - at, 76u) << header.substr(at, lf - at);
        const size_t open = header.find("=?", at);
        EXPECT_LE(header.find("?=", open) + 2 - open, 75u);
        at = lf + 1;
    }
    EXPECT_EQ(header.back(), '\n');
    EXPECT_EQ(header.find("body"), std::string::npos);
}

TEST_F(Smtp, MailArrivesWithHeadersAndEveryLineIntact) {
    net.StartServer();
    const std::string body = "Hello %from%\n.\n..\n. x\nQUIT\n.\nlast line\n";
    struct Case {
        const char *nameFirst;
        const char *fromName;
    } cases[] = {{nullptr, "qnas-Company"}, {"yes", "Company-qnas"}, {"no", "qnas-Company"}};
    size_t n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fromName);
        qtest::WriteFile("/etc.defaults/qavoinfo.conf",
                         c.nameFirst ? std::string("productnamefirst=\"") + c.nameFirst + "\"\n"
                                     : std::string("unique=\"x\"\n"));
        Request r;
        r.text = "Subject: Disk full\n" + body;
        ASSERT_EQ(QAVOSMTPDeliver(r.Get()), 0);
        ASSERT_TRUE(MailNet::WaitMails(++n));
        auto m = MailNet::Mails().back();
        EXPECT_EQ(m.mailFrom, "nas@example.com");
        EXPECT_EQ(m.rcpt, std::vector<std::string>{"admin@example.com"});
        EXPECT_EQ(m.f["from_name"], c.fromName);
        EXPECT_EQ(m.f["from_addr"], "nas@example.com");
        EXPECT_EQ(m.f["to"], "admin@example.com");
        EXPECT_EQ(m.f["subject"], "Disk full");
        EXPECT_EQ(m.f["content_type"], "text/plain; charset=utf-8");
        EXPECT_EQ(m.f["body"], "Hello %from%\r\n.\r\n..\r\n. x\r\nQUIT\r\n.\r\nlast line\r\n\r\n");
        EXPECT_EQ(m.f["defects"], "0");
    }
    // A text without a subject line keeps its first line in the body.
    Request r;
    r.text = "Just a line\nand another\n";
    ASSERT_EQ(QAVOSMTPDeliver(r.Get()), 0);
    ASSERT_TRUE(MailNet::WaitMails(++n));
    auto m = MailNet::Mails().back();
    EXPECT_EQ(m.f["has_subject"], "0");
    EXPECT_EQ(m.f["headers"],
              "From,To,Date,Message-ID,MIME-Version,Content-Type,Content-Transfer-Encoding");
    EXPECT_EQ(m.f["body"], "Just a line\r\nand another\r\n\r\n");
}

// Each mail, as a strict reader takes it: the headers it should have and
// no others, only CR LF line ends, no line over 998 octets, no 8-bit byte
// in a header, encoded words of at most 75 characters, the date with its
// zone and a Message-ID of its own.
TEST_F(Smtp, EveryReaderTakesTheMailAsSent) {
    net.StartServer();
    std::string longSubject;
    for (int i = 0; i < 30; ++i)
        longSubject += "通知";
    const std::string longLine(3000, 'x');
    struct Case {
        const char *what, *lang, *name;
        std::string text;
        const char *fromName, *subject;
        std::string body;
        const char *cte;
    } cases[] = {
        {"CR in an English subject", "enu", "Company",
         "Subject: Hello\rBcc: victim@evil.test\rX-Injected: yes\nline\n", "qnas-Company",
         "Hello\rBcc: victim@evil.test\rX-Injected: yes", "line\r\n\r\n", "8bit"},
        {"LF in an English subject", "enu", "Company", "Subject: Hello\nBcc: victim@evil.test\n",
         "qnas-Company", "Hello", "Bcc: victim@evil.test\r\n\r\n", "8bit"},
        {"bare CR in the body", "enu", "Company", "Subject: CR\none\rtwo\r\n\rthree\n",
         "qnas-Company", "CR", "one\r\ntwo\r\n\r\nthree\r\n\r\n", "8bit"},
        {"line over 998 octets", "enu", "Company", "Subject: Long\n" + longLine + "\nend\n",
         "qnas-Company", "Long", longLine + "\r\nend\r\n", "base64"},
        {"non-ASCII English subject and sender name", "enu", "Société Générale",
         "Subject: Backup of Fotos-ä failed\nShare Fotos-ä\n", "qnas-Société Générale",
         "Backup of Fotos-ä failed", "Share Fotos-ä\r\n\r\n", "8bit"},
        {"sender name with a quote", "ger", "Firma \"Ost\"", "Subject: Prüfung\nÄnderung\n",
         "qnas-Firma \"Ost\"", "Prüfung", "Änderung\r\n\r\n", "8bit"},
        {"half-width katakana and characters outside code page 932", "jpn", "Société",
         "Subject: ｶﾞｰﾄﾞ｡ﾃｽﾄ Größe\nﾊﾟｽ Größe 😀 ｳﾞ\n", "qnas-Société", "ガード。テスト Gr??e",
         "パス Gr??e ? ヴ\r\n\r\n", "7bit"},
        {"long Japanese subject", "jpn", "Company", "Subject: " + longSubject + "\n本文\n",
         "qnas-Company", longSubject.c_str(), "本文\r\n\r\n", "7bit"},
    };
    std::vector<std::string> ids;
    size_t n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Request r;
        r.lang = c.lang;
        r.name = c.name;
        r.text = c.text;
        ASSERT_EQ(QAVOSMTPDeliver(r.Get()), 0);
        ASSERT_TRUE(MailNet::WaitMails(++n));
        auto m = MailNet::Mails().back();
        EXPECT_EQ(m.rcpt, std::vector<std::string>{"admin@example.com"});
        EXPECT_EQ(m.f["headers"],
                  "From,To,Subject,Date,Message-ID,MIME-Version,Content-Type,"
                  "Content-Transfer-Encoding");
        EXPECT_EQ(m.f["from_name"], c.fromName);
        EXPECT_EQ(m.f["from_addr"], "nas@example.com");
        EXPECT_EQ(m.f["subject"], c.subject);
        EXPECT_EQ(m.f["body"], c.body);
        EXPECT_EQ(m.f["cte"], c.cte);
        EXPECT_EQ(m.f["mime_version"], "1.0");
        EXPECT_EQ(m.f["defects"], "0");
        EXPECT_EQ(m.f["bare_line_ends"], "0");
        EXPECT_LE(Count(m.f["max_line"]), 998u);
        EXPECT_EQ(m.f["header_8bit"], "0");
        EXPECT_LE(Count(m.f["max_word"]), 75u);
        EXPECT_LE(Count(m.f["max_header_line"]), 998u);
        const std::string &when = m.f["date_epoch"];
        EXPECT_LE(std::labs(atol(when.c_str()) - static_cast<long>(time(nullptr))), 60)
            << m.f["date"];
        const std::string id = m.f["message_id"];
        EXPECT_EQ(id.substr(0, 1), "<");
        EXPECT_NE(id.find("@qnas.example.com>"), std::string::npos) << id;
        EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 0) << id;
        ids.push_back(id);
    }
    // Without a domain in the host name, the Message-ID is under the
    // sender's mail domain.
    ASSERT_EQ(sethostname("qnas", 4), 0);
    Request r;
    ASSERT_EQ(QAVOSMTPDeliver(r.Get()), 0);
    ASSERT_TRUE(MailNet::WaitMails(++n));
    const std::string id = MailNet::Mails().back().f["message_id"];
    EXPECT_NE(id.find("@example.com>"), std::string::npos) << id;
}

TEST_F(Smtp, AuthLoginWithTheRightAccountOnly) {
    net.StartServer("mailer", "s3cret pass");
    Request ok;
    ok.auth = 1;
    ok.user = "mailer";
    ok.pass = "s3cret pass";
    EXPECT_EQ(QAVOSMTPDeliver(ok.Get()), 0);
    ASSERT_TRUE(MailNet::WaitMails(1));

    const size_t before = mailtest::SystemEventIds().size();
    Request bad = ok;
    bad.pass = "wrong";
    EXPECT_EQ(QAVOSMTPDeliver(bad.Get()), QAVO_SMTP_ERR_REFUSED);
    EXPECT_EQ(EventsSince(before), std::vector<uint32_t>{QAVO_SMTP_EVENT_REPLY});
    EXPECT_EQ(mailtest::SystemEvents().back().args[0].substr(0, 3), "535");
    // Without the account the server wants authentication.
    Request none = ok;
    none.auth = 0;
    EXPECT_EQ(QAVOSMTPDeliver(none.Get()), QAVO_SMTP_ERR_REFUSED);
    sleep(1);
    EXPECT_EQ(MailNet::MailCount(), 1u);
}

TEST_F(Smtp, ScriptedDialogues) {
    const std::string ok = "250 ok", bye = "221 bye";
    struct Case {
        const char *what;
        int auth;
        std::vector<std::string> replies;
        int result;
        std::vector<uint32_t> events;
        const char *lastLine;  // last line the peer got
    } cases[] = {
        {"multi-line EHLO",
         1,
         {"220 peer", "250-peer\\n250-AUTH LOGIN\\n250-8BITMIME\\n250 HELP", "334 VXNlcm5hbWU6",
          "334 UGFzc3dvcmQ6", "235 fine", ok, ok, "354 go", "250 queued", bye},
         0,
         {},
         "Quit"},
        {"late 220",
         0,
         {"220-peer\\n220 peer", "220 again\\n250 hello", ok, ok, "354 go", ok, bye},
         0,
         {},
         "Quit"},
        {"greeting with another code",
         0,
         {"421 busy", "250 hello", ok, ok, "354 go", ok, bye},
         0,
         {QAVO_SMTP_EVENT_REPLY},
         "Quit"},
        // A busy server that closes after its greeting refused the mail; it
        // did not keep silent.
        {"421 greeting and close",
         0,
         {"421 busy|close"},
         QAVO_SMTP_ERR_REFUSED,
         {QAVO_SMTP_EVENT_REPLY},
         nullptr},
        // Any positive completion accepts a recipient; the reply to QUIT is
        // waited for.
        {"recipient to be forwarded",
         0,
         {"220 peer", "250 hello", ok, "251 will forward", "354 go", ok, "~" + bye},
         0,
         {},
         "<client open>"},
        // A refused step ends with QUIT, not with a reset.
        {"recipient refused",
         0,
         {"220 peer", "250 hello", ok, "550 no such user", "~" + bye},
         QAVO_SMTP_ERR_REFUSED,
         {QAVO_SMTP_EVENT_REPLY},
         "<client open>"},
        // The refusal in the last line of a multi-line answer counts, and is
        // not left over for the next step.
        {"multi-line refusal",
         0,
         {"220 peer", "250 hello", "250-fine\\n250 fine", "550-no\\n550 such user", bye},
         QAVO_SMTP_ERR_REFUSED,
         {QAVO_SMTP_EVENT_REPLY},
         "Quit"},
        {"reply without a code",
         0,
         {"220 peer", "hello there", bye},
         QAVO_SMTP_ERR_REFUSED,
         {QAVO_SMTP_EVENT_REPLY},
         "Quit"},
        {"data refused",
         0,
         {"220 peer", "250 hello", ok, ok, "354 go", "554 spam", bye},
         QAVO_SMTP_ERR_REFUSED,
         {QAVO_SMTP_EVENT_REPLY},
         "Quit"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        net.StartPeer(c.replies);
        const size_t before = mailtest::SystemEventIds().size();
        Request r;
        r.auth = c.auth;
        r.user = "mailer";
        r.pass = "pw";
        EXPECT_EQ(QAVOSMTPDeliver(r.Get()), c.result);
        EXPECT_EQ(EventsSince(before), c.events);
        std::vector<std::string> lines;
        if (c.lastLine == nullptr) continue;
        EXPECT_TRUE(mailtest::WaitFor(
            [&] {
                lines = MailNet::PeerLines();
                return !lines.empty() && lines.back() == c.lastLine;
            },
            5))
            << (lines.empty() ? "" : lines.back());
        if (c.auth) {
            ASSERT_GE(lines.size(), 4u);
            EXPECT_EQ(lines[0], "EHLO NAS");
            EXPECT_EQ(lines[1], "AUTH LOGIN");
            EXPECT_EQ(lines[2], "bWFpbGVy");
            EXPECT_EQ(lines[3], "cHc=");
        }
    }
    EXPECT_EQ(mailtest::SystemEvents().back().args[0], "554 spam");
    EXPECT_FALSE(qtest::SyslogHas("QAVOMSG: Mail server connection timeout."));
}

TEST_F(Smtp, ConnectionAndRequestFailures) {
    // Nobody listens: refused.
    size_t before = mailtest::SystemEventIds().size();
    Request r;
    EXPECT_EQ(QAVOSMTPDeliver(r.Get()), QAVO_SMTP_ERR_CONNECT);
    ASSERT_EQ(EventsSince(before), std::vector<uint32_t>{QAVO_SMTP_EVENT_CONNECT});
    EXPECT_EQ(mailtest::SystemEvents().back().args[1], "192.0.2.2");

    before = mailtest::SystemEventIds().size();
    r.server = "nosuch.invalid";
    EXPECT_EQ(QAVOSMTPDeliver(r.Get()), QAVO_SMTP_ERR_RESOLVE);
    ASSERT_EQ(EventsSince(before), std::vector<uint32_t>{QAVO_SMTP_EVENT_RESOLVE});
    EXPECT_EQ(mailtest::SystemEvents().back().args[0], "nosuch.invalid");

    // A host name resolves.
    qtest::WriteFile("/etc/hosts", "127.0.0.1\tlocalhost\n192.0.2.2\tmail.example.com\n");
    net.StartServer();
    r.server = "mail.example.com";
    EXPECT_EQ(QAVOSMTPDeliver(r.Get()), 0);
    EXPECT_TRUE(MailNet::WaitMails(1));

    // Missing parts and line breaks in what goes into commands and headers.
    struct Bad {
        const char *what;
        void (*spoil)(Request &);
    } bads[] = {
        {"no server", [](Request &q) { q.server = ""; }},
        {"no recipient", [](Request &q) { q.to = ""; }},
        {"CR LF in recipient", [](Request &q) { q.to = "a@b.c>\r\nRCPT To: <evil@x.y"; }},
        {"LF in sender", [](Request &q) { q.from = "a@b.c\nBcc: evil@x.y"; }},
        {"CR in sender name", [](Request &q) { q.name = "Co\rBcc: evil@x.y"; }},
    };
    for (const Bad &b : bads) {
        Request q;
        b.spoil(q);
        SLIBErrSet(0);
        EXPECT_EQ(QAVOSMTPDeliver(q.Get()), -1) << b.what;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u) << b.what;
    }
    Request q;
    QAVOSMTPREQUEST *req = q.Get();
    req->szText = nullptr;
    EXPECT_EQ(QAVOSMTPDeliver(req), -1);
    EXPECT_EQ(QAVOSMTPDeliver(nullptr), -1);
    sleep(1);
    EXPECT_EQ(MailNet::MailCount(), 1u);
}

TEST_F(Smtp, NonEnglishMailsDecodeWordByWordAndLineByLine) {
    net.StartServer();
    std::string subject;
    for (int i = 0; i < 30; ++i)
        subject += "漢字";
    std::string longLine;
    for (int i = 0; i < 700; ++i)
        longLine += "長";
    const std::string body = "\tタブ\tと漢字\nmixed ASCII 漢字 text\n" + longLine + "\n.\n";
    Request r;
    r.lang = "jpn";
    r.text = "Subject: " + subject + "\n" + body;
    ASSERT_EQ(QAVOSMTPDeliver(r.Get()), 0);
    // All-ASCII Japanese text goes unencoded.
    Request plain;
    plain.lang = "jpn";
    plain.text = "Subject: Plain\nascii only\n";
    ASSERT_EQ(QAVOSMTPDeliver(plain.Get()), 0);
    // Other languages: UTF-8, the subject as encoded words saying so.
    Request ger;
    ger.lang = "ger";
    ger.text = "Subject: Prüfung über " + std::string(40, 'x') + " Größe\nÄnderung\n";
    ASSERT_EQ(QAVOSMTPDeliver(ger.Get()), 0);
    ASSERT_TRUE(MailNet::WaitMails(3));
    auto mails = MailNet::Mails();
    EXPECT_EQ(mails[2].f["content_type"], "text/plain; charset=utf-8");
    EXPECT_EQ(mails[2].f["subject_by_word"], "Prüfung über " + std::string(40, 'x') + " Größe");
    EXPECT_GT(std::stoi(mails[2].f["subject_words"]), 1);
    EXPECT_EQ(mails[2].f["body"], "Änderung\r\n\r\n");
    auto &m = mails[0];
    EXPECT_EQ(m.f["content_type"], "text/plain; charset=ISO-2022-JP");
    EXPECT_GT(std::stoi(m.f["subject_words"]), 2);
    EXPECT_EQ(m.f["subject_by_word"], subject);
    EXPECT_EQ(m.f["subject"], subject);
    std::string crlf;
    for (char ch : body) {
        if (ch == '\n') crlf += '\r';
        crlf += ch;
    }
    // The long line would pass the wire's 998 octets: the body goes in
    // base64, and ends where the text ends.
    EXPECT_EQ(m.f["cte"], "base64");
    EXPECT_EQ(m.f["body"], crlf);
    // The caller's text is left as it was.
    EXPECT_EQ(r.text, "Subject: " + subject + "\n" + body);

    EXPECT_EQ(mails[1].f["content_type"], "text/plain; charset=ISO-2022-JP");
    EXPECT_EQ(mails[1].f["subject"], "Plain");
    EXPECT_EQ(mails[1].f["body"], "ascii only\r\n\r\n");
}

TEST_F(Smtp, DetachedDeliveryToBothRecipients) {
    net.StartServer();
    mailtest::AdoptOrphans();
    struct Case {
        const char *first, *second;
        std::vector<std::pair<std::string, std::string>> mails;  // sender, recipient
        std::vector<uint32_t> events;
    } cases[] = {
        {"one@example.com",
         "two@example.com",
         {{"nas@example.com", "one@example.com"}, {"nas@example.com", "two@example.com"}},
         {}},
        {"", "two@example.com", {{"two@example.com", "two@example.com"}}, {}},
        {"bad\r\n@example.com",
         "two@example.com",
         {{"two@example.com", "two@example.com"}},
         {QAVO_SMTP_EVENT_FAILED}},
        {"one@example.com", "", {{"nas@example.com", "one@example.com"}}, {}},
    };
    size_t n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.first) + " / " + c.second);
        const size_t before = mailtest::SystemEventIds().size();
        Request r;
        r.to = c.first;
        EXPECT_EQ(QAVOSMTPSendMail(r.Get(), c.second), 0);
        mailtest::WaitDeliveries(net.ServerPid());
        ASSERT_TRUE(MailNet::WaitMails(n + c.mails.size()));
        auto mails = MailNet::Mails();
        ASSERT_EQ(mails.size(), n + c.mails.size());
        for (size_t i = 0; i < c.mails.size(); ++i) {
            EXPECT_EQ(mails[n + i].mailFrom, c.mails[i].first);
            EXPECT_EQ(mails[n + i].rcpt, std::vector<std::string>{c.mails[i].second});
        }
        n = mails.size();
        EXPECT_EQ(EventsSince(before), c.events);
    }
    EXPECT_EQ(QAVOSMTPSendMail(nullptr, "x@example.com"), -1);
}

TEST_F(Smtp, DeliveriesLeaveNoChildBehind) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 0), 0);  // orphans go to the root's init
    net.StartServer();
    Request r;
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(QAVOSMTPSendMail(r.Get(), ""), 0);
    // The caller has no child left at once, not even one that has ended.
    EXPECT_TRUE(mailtest::Children(net.ServerPid()).empty());
    EXPECT_TRUE(MailNet::WaitMails(20, 60));
    EXPECT_TRUE(mailtest::Children(net.ServerPid()).empty());
}

TEST_F(Smtp, FallbackTriesTheOtherSenderThenSendsTheNotice) {
    mailtest::AdoptOrphans();
    net.StartPeer({"220 peer", "250 hello", "550 sender refused", "221 bye"});
    EXPECT_EQ(QAVOSMTPSendMailFallback("192.0.2.2", "admin@example.com", "Subject: x\nbody\n",
                                       "Company", "nas@example.com", "alt@example.com",
                                       "Could not deliver", "fallback failed", "enu"),
              0);
    mailtest::WaitDeliveries(net.ServerPid());
    std::vector<std::string> mails;
    for (const auto &l : MailNet::PeerLines())
        if (l.rfind("MAIL From:", 0) == 0) mails.push_back(l);
    EXPECT_EQ(mails, (std::vector<std::string>{
                         "MAIL From: <nas@example.com>", "MAIL From: <alt@example.com>",
                         "MAIL From: <nas@example.com>", "MAIL From: <alt@example.com>"}));
    EXPECT_TRUE(qtest::SyslogHas("fallback failed"));
    EXPECT_EQ(QAVOSMTPSendMailFallback(nullptr, "a@b.c", "t", "n", "f@b.c", "", "", "", "enu"), -1);
}

TEST_F(Smtp, SilentServerCostsTwoTimeouts) {
    net.StartPeer({"-", "-"});
    const size_t before = mailtest::SystemEventIds().size();
    Request r;
    qtest::FastTime();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QAVOSMTPDeliver(r.Get()), QAVO_SMTP_ERR_TIMEOUT);
    // Each reply is waited for its whole time-out.
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(2 * QAVO_SMTP_REPLY_TIMEOUT));
    EXPECT_EQ(EventsSince(before),
              (std::vector<uint32_t>{QAVO_SMTP_EVENT_TIMEOUT, QAVO_SMTP_EVENT_TIMEOUT}));
    EXPECT_TRUE(qtest::SyslogHas("QAVOMSG: Mail server connection timeout.", LOG_ERR));
}

}  // namespace
