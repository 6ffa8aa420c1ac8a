/* Network backup results: the result codes of a run and their message keys,
 * the texts of the configured language, the event and the mail of a run's
 * result, and the mails of a recovery. */
#ifndef QAVO_NETBKPMAIL_H
#define QAVO_NETBKPMAIL_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Message texts: QAVO_NETBKP_TEXTS_DIR + language + "/strings". */
#define QAVO_NETBKP_TEXTS_DIR "/usr/qavo/qavoman/texts"
/* Longest message text read (without its terminator). */
#define QAVO_NETBKP_TEXT_MAX 1023

/* Result codes this library gives itself. */
#define NETBKP_CODE_SIGNAL 40     /* a command ended by a signal */
#define NETBKP_CODE_NO_SERVER 42  /* the server's rsync port does not answer */
#define NETBKP_CODE_SSH_LOGIN 43  /* a login over ssh failed ... */
#define NETBKP_CODE_NO_SERVICE 49 /* ... reported as this code */

/* Events of a run's result and of a recovery. */
#define QAVO_NETBKP_EVENT_RESULT 0x12900005u
/* Mails of a run's error and of the end of a recovery. */
#define QAVO_NETBKP_MAIL_ERROR "NetBkpError"
#define QAVO_NETBKP_MAIL_RECOVER_DONE "NetRecoverFinished"
#define QAVO_NETBKP_MAIL_RECOVER_ERROR "NetRecoverError"

/* One row of the result table: a code and the key of its message text
 * ("" for codes without a text). The table ends with code -1, key NULL. */
typedef struct {
    int nCode;
    const char *szKey;
} NETBKP_ERR_ENTRY;

extern const NETBKP_ERR_ENTRY NETBKP_ERR_TABLE[];

/* The message key of a code into out. 0, or -1 (0x2000 code not in the
 * table, 0x0D00 out NULL or size below 1, 0x0100 out too small). */
int NetBkpLookupErrKey(int code, char *out, int size);
/* The level of a code's event: 1 (0, success), 2 (23, 24, 46), else 3. */
int NetBkpErrLevel(int code);
/* The text of a message key in the mail language ("maillang", "enu" when
 * unset) into out. 0, or -1 (0x0D00, 0x2000 no such text or an empty one,
 * 0x0100, and the reader's codes) (0x0200). */
int NetBkpGetErrString(const char *key, char *out, int size);

/* The code of a wait status: 0 for 0, NETBKP_CODE_SIGNAL below 256, else
 * the exit code (status / 256). */
int QAVOINetBkpResultCode(int waitStatus);
/* The result line of a wait status into out: "[code] text" ("[status]
 * System error" below 256, "[0] Success" for 0; a code without key gives
 * "Unknown error code", a key without text "Unknown error"). 0, or -1
 * (0x0D00 out NULL or size below 1, 0x0100 out too small) (0x0200). */
int QAVOINetBkpResultLine(int waitStatus, char *out, int size);

/* Records a run's result (event QAVO_NETBKP_EVENT_RESULT, class 7, the
 * code's level, with share, server and result line) and, for an error,
 * sends the mail "NetBkpError". 0, or -1 (0x0D00, 0x0200; the mail's or event log's code). */
int QAVONetBkpMailandLog(const char *share, const char *server, const char *time, int waitStatus);
/* Sends the recovery mail tag with the folder and server filled in. 0, or
 * -1 (0x0D00, 0x0200; the mail's code). */
int QAVONetRecoveryMail(const char *folder, const char *server, const char *tag);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
