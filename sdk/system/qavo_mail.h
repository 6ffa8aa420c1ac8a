/* Mail notification: the settings (SMTP server, two recipients, AUTH LOGIN
 * account, test flag) in "/etc/qavoinfo.conf", and event mails composed from
 * the localized templates and handed to the SMTP client. */
#ifndef QAVO_MAIL_H
#define QAVO_MAIL_H

#include "slib_szhash.h"
#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Templates: QAVO_MAIL_TEXTS_DIR + language + "/mails", or that path with
 * "-" and the factory key "resource" appended when that file exists. */
#define QAVO_MAIL_TEXTS_DIR "/usr/qavo/qavoman/texts/"
/* Folder of the "strings" files QAVOMailGetCharset reads. */
#define QAVO_MAIL_STRINGS_DIR "/usr/qavo/qavosdk/texts/"
/* Sender name (and company name when the factory file is unreadable). */
#define QAVO_MAIL_DEFAULT_FROM "Ostrel"
#define QAVO_MAIL_DEFAULT_DOMAIN "ostrel.com"
/* The event mail QAVOMailSet sends as a test, and its event (level 1). */
#define QAVO_MAIL_TEST_TAG "TestMail"
#define QAVO_MAIL_EVENT_TEST 0x11100805u
/* The only settings type. */
#define QAVO_MAIL_TYPE 1
/* Longest server, address, account or password the settings keep: what
 * the readers take back. */
#define QAVO_MAIL_VALUE_MAX 127

/* The settings in one block: the record, then the strings it points to. */
typedef struct {
    char *szSmtp;  /* SMTP server: host name or dotted address */
    char *szMail1; /* first recipient, also the sender of every event mail */
    char *szMail2; /* second recipient */
    int blTest;    /* send a test mail (set) / test flag (get) */
    char *szUser;  /* AUTH LOGIN account; not filled by QAVOMailGet */
    char *szPass;
    int blAuth; /* the server wants AUTH LOGIN; not filled by QAVOMailGet */
} QAVOMAILSETTING;

/*
 * Server and recipients into buf (size bytes); *needed is the size the block
 * takes. buf NULL with size 0 asks for the size only. 1, or -1 (0x0D00 type
 * other than 1, needed NULL, buf NULL with size other than 0, or buf with
 * size below 1; 0x0100 buf too small; lock failures).
 */
int QAVOMailGet(int type, QAVOMAILSETTING *buf, int size, int *needed);
/*
 * Writes the settings; a NULL string leaves its key as it is. A non-empty
 * server must be a host name or an IPv4 host address, a non-empty recipient
 * a mail address, and no value longer than QAVO_MAIL_VALUE_MAX (0x0D00).
 * With blTest, sends the test mail when this call gives a server and a first
 * recipient. 1, or -1.
 */
int QAVOMailSet(int type, const QAVOMAILSETTING *setting);
/* Composes the mail of tag, with the caller's placeholders (keys such as
 * "%SRC_FOLDER%") when given, and has it delivered to both recipients. */
void SendEventMail(const char *tag, PSLIBSZHASH *placeholders);
/* The same, to recipient instead when it is not empty (the second
 * recipient is then left out). Nothing is done for a NULL recipient. */
void SendEventMailEx(const char *tag, PSLIBSZHASH *placeholders, const char *recipient);
/* Logs the text at error priority with every '%' turned into '#' in place. */
void QAVOMAN_SYSLOG(char *text);
/* Pushes the tag of every section of the configured language's template
 * file onto *list. 0, or -1 (0x0D00, or the file does not open). */
int QAVOMailEnumTags(PSLIBSZLIST *list);
/* The mail charset of the configured language ("iso-8859-1" by default,
 * "ISO-2022-JP" for "shift_jis"). 0, or -1 (0x0D00, 0x0100). */
int QAVOMailGetCharset(char *out, int size);
/* The factory "vendordomain", or QAVO_MAIL_DEFAULT_DOMAIN. 0, or -1. */
int QAVOMailGetVendorDomain(char *out, int size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
