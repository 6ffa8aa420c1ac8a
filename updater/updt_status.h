/* The updater's reports and small helpers: the progress file and the message
 * file that the management interface reads while an update runs, the update
 * log, the shell-command runner, and locking or unlocking every updatable
 * flash partition at once. */
#ifndef UPDT_STATUS_H
#define UPDT_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

#define UPDT_PROGRESS_FILE "/tmp/update.progress"
#define UPDT_MESSAGE_FILE "/tmp/update.message"
#define UPDT_LOG_FILE "/var/log/qavoupdate.log"
/* The update log is emptied at start when it is larger than this. */
#define UPDT_LOG_MAX_SIZE 10000

/* Writes text at offset 0 of the file (created when missing, never truncated)
 * under an exclusive non-blocking lock; with retry the lock is tried 21 times
 * in all. 0, -1 the file cannot be opened, -2 no lock, -3 the write failed. */
int UPDTWriteStatusFile(const char *szPath, const char *szText, int blRetry);
/* Writes the record "%c:%d:" and six blanks to the progress file; failures
 * are dropped. */
void UPDTSetProgress(char chStage, int value);
/* Writes "key=\"value\"" (no newline) to the message file. */
void UPDTSetMessage(const char *szKey, const char *szValue);
/* Appends "time<TAB>message" to the update log; a null message does nothing. */
void UPDTLog(const char *szMsg);
/* Empties the update log when it is larger than UPDT_LOG_MAX_SIZE bytes. */
void UPDTTruncateLog(void);
/* Runs a shell command; 0 when it ended normally with exit status 0, else -1
 * (a null command, a shell that did not run, a nonzero status, a signal). */
int UPDTExecute(const char *szCmd);
/* lock = 1 locks, any other value unlocks every partition of the partition
 * map except "RedBoot Config" and "FIS Directory"; -1 at the first failure. */
int UPDTLockAll(int lock);
int UPDTLockAllPartition(void);
int UPDTUnlockAllPartition(void);

#ifdef __cplusplus
}
#endif

#endif
