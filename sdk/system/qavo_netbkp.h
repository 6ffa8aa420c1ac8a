/* Network backup server: the service switch and its daemons. */
#ifndef QAVO_NETBKP_H
#define QAVO_NETBKP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Actions of QAVONetBkpService. */
#define QAVO_NETBKP_STOP 1
#define QAVO_NETBKP_START 2

/* 1 when "runnetbkp" of "/etc/qavoinfo.conf" is "yes" (any case), else 0. */
int BlQAVONetBkpIsEnabled(void);
/* Stops (1) or starts (2) the rsync and backup daemons, and the ssh daemon
 * on appliances that run one for backups. 0, or -1 (0x0D00 other action,
 * 0x0A00 "supportssh" unreadable). */
int QAVONetBkpService(int action);

#ifdef __cplusplus
}
#endif

#endif
