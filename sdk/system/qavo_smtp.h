/* SMTP client: delivers one composed notification mail to one recipient over
 * plain SMTP on TCP port 25, optionally after AUTH LOGIN, with the mail
 * headers, an RFC 2047 subject and Japanese text in ISO-2022-JP. Delivery
 * runs in a detached child; failures go to the event log and syslog. */
#ifndef QAVO_SMTP_H
#define QAVO_SMTP_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The server's port. */
#define QAVO_SMTP_PORT 25
/* Folder of the per-language "strings" file that names the mail charset. */
#define QAVO_SMTP_TEXTS_DIR "/usr/qavo/qavoman/texts/"
#define QAVO_SMTP_CHARSET_JIS "ISO-2022-JP"
#define QAVO_SMTP_CHARSET_DEFAULT "iso-8859-1"
/* Seconds one reply may take, all its lines together. */
#define QAVO_SMTP_REPLY_TIMEOUT 30

/* Event ids (system log, level 3). */
#define QAVO_SMTP_EVENT_RESOLVE 0x11100800u /* server, resolver error number, text */
#define QAVO_SMTP_EVENT_CONNECT 0x11100801u /* server, dotted address */
#define QAVO_SMTP_EVENT_REPLY 0x11100802u   /* the reply line */
#define QAVO_SMTP_EVENT_SOCKET 0x11100803u  /* none */
#define QAVO_SMTP_EVENT_TIMEOUT 0x11100804u /* none */
#define QAVO_SMTP_EVENT_FAILED 0x11100806u  /* recipient */

/* Results of QAVOSMTPDeliver. */
#define QAVO_SMTP_OK 0
#define QAVO_SMTP_ERR_RESOLVE 1
#define QAVO_SMTP_ERR_SOCKET 2
#define QAVO_SMTP_ERR_CONNECT 3 /* also a header or text write that fell short */
#define QAVO_SMTP_ERR_TIMEOUT 4
/* The server refused a step or closed the connection, or a command write
 * failed. */
#define QAVO_SMTP_ERR_REFUSED 5

/* One mail to deliver. The caller's strings are not changed. Server,
 * recipient, sender address and sender name hold no CR or LF. */
typedef struct {
    char *szServer;   /* dotted IPv4 address or host name */
    char *szTo;       /* recipient address */
    char *szFromAddr; /* envelope sender and From address */
    char *szText;     /* "Subject: ..." line, then the body lines, LF-separated, UTF-8 */
    char *szFromName; /* sender display name */
    char *szLang;     /* language code; NULL or not a plain code means "enu" */
    int blAuth;       /* use AUTH LOGIN (with a non-empty user and password) */
    char *szUser;
    char *szPass;
} QAVOSMTPREQUEST;

/* Runs the whole dialogue in the calling process. 0 delivered, else one of
 * QAVO_SMTP_ERR_...; -1 with 0x0D00 when req, server, recipient (NULL or
 * empty), sender address, text or sender name is missing, or server,
 * recipient, sender address, sender name or host name holds CR or LF.
 * The mail carries Date, Message-ID and MIME-Version headers; a subject or
 * sender name other than plain ASCII goes as RFC 2047 encoded words (a CR
 * inside a subject too), and a body with a line over 998 bytes in
 * base64. Memory running out mid-dialogue gives QAVO_SMTP_ERR_CONNECT with
 * 0x0200. */
int QAVOSMTPDeliver(QAVOSMTPREQUEST *req);
/* Delivers to req->szTo, then to secondTo (when not empty), in a detached
 * child; returns 0 at once (also when the fork fails), -1 with 0x0D00 for a
 * NULL request. When the first delivery failed or did not take place, the
 * second is sent with secondTo as sender address. */
int QAVOSMTPSendMail(QAVOSMTPREQUEST *req, const char *secondTo);
/* Delivers in a detached child; on failure tries altFromAddr as sender, then
 * sends the notice (with the mail appended) to fromAddr and altFromAddr.
 * 0, or -1 with 0x0D00 when server, recipient, text, fromName or fromAddr
 * is NULL. */
int QAVOSMTPSendMailFallback(const char *server, const char *recipient, const char *text,
                             const char *fromName, const char *fromAddr, const char *altFromAddr,
                             const char *notice, const char *failureMessage, const char *language);

/* The charset of a language's mails into out: "ISO-2022-JP" for "jpn" (any
 * case), else the "charset" key of the language's strings file, else
 * "iso-8859-1". 0, or -1 (0x0D00, 0x0100 out too small). */
int QAVOSMTPGetCharset(const char *lang, char *out, int size);

/* Internal steps, exported for the tests. */
/* Reads one reply within QAVO_SMTP_REPLY_TIMEOUT seconds, up to its last
 * line (continuation lines "NNN-" are read past, as are "220" lines after
 * the greeting). expected 0 stands for the answer to HELO or EHLO; where a
 * 2xx code is expected, any 2xx code will do. 0 when the reply is the
 * expected one, -4 on time-out, -6 when the server closed the connection,
 * the reply's code when it is another, -5 for a reply line without a
 * code. */
int QAVOSMTPReadReply(int expected, int sock);
/* Sends a command and reads its reply; the reply to "Quit\r\n" is read but
 * not judged (0). The command must fit 1024 bytes. The reply's result, or
 * -1 when it cannot be sent (0x0D00 a command that does not fit, 0x0B00 a failed send). */
int QAVOSMTPCommand(int expected, int sock, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* Writes the bytes with every line end (LF, CR LF, a bare CR) as CR LF and
 * a "." that starts a line doubled; the bytes start a line. length, or -1 (0x0D00, 0x0B00, 0x0200).
 */
int QAVOSMTPWriteCRLF(int sock, const char *bytes, int length);
/* The Subject header of a text that starts with "Subject:" as encoded words
 * of the charset ("Subject: =?...?B?...?=\n", folded so that no line is
 * over 76 characters and no word over 75), in a new heap string (free());
 * "" when the text has no subject line; NULL with 0x0D00 or 0x0200.
 * Japanese subjects are Shift_JIS (code page 932) bytes. */
char *QAVOSMTPEncodeSubject(const char *text, const char *charset);
/* Writes the body lines: converted from Shift_JIS to ISO-2022-JP for the
 * charset "ISO-2022-JP" (half-width katakana as their full-width forms,
 * what ISO-2022-JP cannot carry as "?"), else unchanged. Every line ends
 * with CR LF. 0, or -1 when a write falls short (the rest of the body is
 * not written) (0x0D00, 0x0200). */
int QAVOSMTPWriteBody(int sock, const char *body, const char *charset);
/* Base64 (RFC 4648, padded, no line breaks) of length bytes, stopping early
 * at a zero byte that starts a three-byte group. Process-wide text, valid
 * until the next call; the empty text when memory runs out (0x0200). */
const char *QAVOSMTPBase64Encode(const unsigned char *bytes, int length);
/* A Shift_JIS pair (lead 0x81-0x9F or 0xE0-0xEF, trail 0x40-0xFC but not
 * 0x7F) to JIS X 0208, in place; any other pair stays as it is. */
void QAVOSMTPSjisToJis(unsigned char *lead, unsigned char *trail);
/* 1 when every byte of the text is below 128, else 0. */
int BlQAVOSMTPIsAscii(const char *text);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
