/* Network backup runs: what the library contributes to a running backup. */
#ifndef QAVO_NETBKPRUN_H
#define QAVO_NETBKPRUN_H

#ifdef __cplusplus
extern "C" {
#endif

/* The command line of the rsync a backup run starts. */
#define QAVO_NETBKP_RSYNC_MARK "rsync -a -W --delete --timeout=600"

/* Stops (SIGTERM) the rsync of the backup that runs now, the last one
 * listed. 0, or -1 when none runs or the signal fails. */
int QAVONetBkpCancelCurrRsync(void);

#ifdef __cplusplus
}
#endif

#endif
