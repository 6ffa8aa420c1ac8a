/* Network backup runs: what the library contributes around a backup run:
 * resolving and probing the backup server, testing its login, listing and
 * restoring its folders, the state of a task, and stopping the running
 * copy. */
#ifndef QAVO_NETBKPRUN_H
#define QAVO_NETBKPRUN_H

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The command line of the rsync a backup run starts. */
#define QAVO_NETBKP_RSYNC_MARK "rsync -a -W --delete --timeout=600"
/* The password file of a recovery (and of the caller's login tests). */
#define SZF_NETBKP_RESTORE_PASS "/etc/rsync_restore.pass"
/* Recovery progress: stage, share, done, error and section "share_list". */
#define SZF_NETBKP_RECOVER_CHK "/tmp/do_recover.chk"
/* The backup daemon's queue of folders, one a line. */
#define SZF_NETBKP_QUEUE_WAIT "/tmp/netbkp_create.queue"
/* The configuration backup a server may hold beside the folders. */
#define QAVO_NETBKP_CONFIG_FILE "configbackup.cbk"
/* The rsync daemon's port. */
#define QAVO_NETBKP_RSYNC_PORT 873

/* States of QAVONetBkpGetUiStatus. */
#define NETBKP_UI_IDLE 1
#define NETBKP_UI_UNREACHABLE 2
#define NETBKP_UI_RUNNING 3
#define NETBKP_UI_QUEUED 4

/* The IPv4 address of a server name into out (size at least 16): a name
 * with a dot through the name server, others through NetBIOS. A dotted
 * address is its own answer. 0, or -1 (0x0D00 bad arguments or a text that
 * is no host name, 0x2000 not found). */
int QAVONetBkpLookupIP(const char *name, char *out, int size);
/* 1 when the rsync port of the server (name or address; a leading "*" is
 * skipped) accepts a connection within 10 seconds, else 0. */
int BlQAVONetBkpIsServerReachable(const char *server);
/* The state of a folder's task: NETBKP_UI_..., or -1. */
int QAVONetBkpGetUiStatus(const char *share);
/* Writes a password file for rsync: created anew (never through an existing
 * file or link), mode 0600, the password and a newline. 0, or -1 (0x0D00 for
 * NULL or a password with a line break). */
int QAVONetBkpGenPassfile(const char *password, const char *file);
/* Adds the folders of an rsync listing (lines of directories) to *list
 * (allocated when NULL): rsync's "\#ooo" and "\ooo" escapes decoded, ".",
 * ".." and "@eaMeta" left out, and a name that cannot be a share name
 * logged and skipped. 0, or -1. */
int QAVONetBkpParseListFile(const char *file, PSLIBSZLIST *list);
/* The folders of path ("module" or "module/folder") on the server, listed
 * with the password file SZF_NETBKP_RESTORE_PASS, added to *list. 0, or -1
 * (0x0D00 bad arguments, 0x2A00 the listing failed). */
int QAVONetBkpListDir(const char *user, const char *server, const char *path, PSLIBSZLIST *list);
/* Logs in to the module (writing the password file first; removed after).
 * With trySsh, and ssh support on this model, a failed login is tried over
 * ssh too. rsync's exit code (40 when it died by a signal, 49 for an ssh
 * login that ended with 43), or -1. */
int QAVONetBkpTestRsyncServer(const char *server, const char *user, const char *password,
                              const char *passwordFile, const char *module, int trySsh);
/* 42 when the server's rsync port does not answer, else the login test's
 * result. */
int QAVONetBkpCheckSetting(const char *server, const char *user, const char *password,
                           const char *passwordFile, const char *module, int trySsh);
/* Stops (SIGTERM) the rsync of the backup that runs now, the last one
 * listed. 0, or -1 when none runs or the signal fails. */
int QAVONetBkpCancelCurrRsync(void);
/* Brings the folders of folder (a folder of the module) back from the
 * server: with restoreConfig first the configuration backup it holds
 * (shares, users, groups, quotas; overwriteConfig as the import's
 * overwrite), then each folder into its share, creating missing shares on
 * the first writable volume; shares that exist here only with
 * overwriteData. Progress in SZF_NETBKP_RECOVER_CHK, the end by event and
 * mail. 0, or -1. */
int QAVONetBkpRecovery(const char *server, const char *module, const char *user,
                       const char *password, const char *folder, int overwriteData,
                       int restoreConfig, int overwriteConfig);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
