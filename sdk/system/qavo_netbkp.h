/* Network backup server: the rsync daemon's backup accounts and secrets, the
 * service switch and its daemons. */
#ifndef QAVO_NETBKP_H
#define QAVO_NETBKP_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Actions of QAVONetBkpService. */
#define QAVO_NETBKP_STOP 1
#define QAVO_NETBKP_START 2

/* The rsync daemon's configuration and its secrets file ("name:secret" lines,
 * mode 0640, owner 0, group QAVO_NETBKP_SECRETS_GID). */
#define QAVO_NETBKP_RSYNCD_CONF "/etc/rsyncd.conf"
#define QAVO_NETBKP_SECRETS "/etc/rsyncd.secrets"
#define QAVO_NETBKP_SECRETS_GID 25

/* Operations of QAVONetBackupSetServerPasswd. */
#define QAVO_NETBKP_ACCOUNT_ADD 1    /* add newName with secret */
#define QAVO_NETBKP_ACCOUNT_SET 2    /* rename oldName to newName, or give it a new secret */
#define QAVO_NETBKP_ACCOUNT_DELETE 3 /* delete oldName */

/* The name the account list holds when no account is left: it has no secret,
 * so nobody logs in, while an empty list would let everyone in. */
#define QAVO_NETBKP_NO_ACCOUNT "nobody"

/* 1 for a backup account ("root", "admin", "rsync" in any case), else 0. */
int BlQAVONetBkpIsAuthUser(const char *user);
/* The crypt hash of an account password (salt "vamt") into out (size bytes,
 * zero-filled first). 0, or -1 (0x0D00, 0x0100 out too small, 0x8100) (0x0200). */
int QAVONetBkpCryptPass(const char *password, char *out, int size);
/* The secret of user in the secrets file. 0, or -1 (0x2000 no such account,
 * 0x0100 out too small) (0x0D00, 0x0200). */
int QAVONetBackupGetServerPasswd(const char *user, char *out, int size);
/* Removes the secret of user. 0, or -1 (0x0D00, 0x2000 no secrets file, 0x0900, 0x0200; the line
 * writer's code). */
int NetBackupDelSecret(const char *user);
/*
 * Keeps the daemon's account list and secrets in step with a backup account
 * (op: QAVO_NETBKP_ACCOUNT_...). The daemon is stopped while both files
 * change and started again afterwards when it ran before, also after a
 * failure. Names hold no ':', ',', blank or control character; the secret no
 * line break. 0, or -1.
 (0x0D00 a bad name or secret, 0x0200; the list and secret writers' codes) */
int QAVONetBackupSetServerPasswd(const char *oldName, const char *newName, const char *secret,
                                 int op);
/* Replaces the secrets file by the single line of user. 0, or -1 (0x0D00, 0x0900, 0x0B00, 0x0200).
 */
int QAVONetBackupRsyncdSecretsReset(const char *user, const char *secret);

/* 1 when "runnetbkp" of "/etc/qavoinfo.conf" is "yes" (any case), else 0. */
int BlQAVONetBkpIsEnabled(void);
/* Stops (1) or starts (2) the rsync and backup daemons, and the ssh daemon
 * on appliances that run one for backups. 0, or -1 (0x0D00 other action,
 * 0x0A00 "supportssh" unreadable). */
int QAVONetBkpService(int action);
/* Turns the service on (1) or off (0): the switch, then the daemons. 0, or
 * -1 (0x0D00 other values). */
int QAVONetBkpEnable(int enable);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
