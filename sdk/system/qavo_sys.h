/* Crontab schedules, power off and reboot: schedule records as lines of the
 * system crontab and back, single crontab lines, the power-off and reboot
 * operation and the "/.noroot" marker. */
#ifndef QAVO_SYS_H
#define QAVO_SYS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_CRONTAB_PATH "/etc/crontab"
#define QAVO_CROND_PID_PATH "/var/run/crond.pid"

#define QAVO_SCHEDULE_COMMAND 1024

/* A periodic job: on the weekdays of the mask, at nMinute of nHour and then
 * every nInterval hours up to nLastHour (nInterval 0: once a day). */
typedef struct _tag_QAVOSCHEDULE {
    uint32_t ulWeekdayMask; /* bit d: weekday d (0 Sunday .. 6 Saturday); 0x7F every day */
    int nHour;              /* 0-23 */
    int nInterval;          /* 0-23 */
    int nLastHour;          /* nHour-23 */
    int nMinute;            /* 0-59 */
    int nRunCount;          /* runs per day, filled by QAVOScheduleGet */
    char szCommand[QAVO_SCHEDULE_COMMAND]; /* the command; identifies the line */
} QAVOSCHEDULE, *PQAVOSCHEDULE;

/* Actions of QAVOSysPowerOff. */
#define QAVO_POWER_OFF 0
#define QAVO_POWER_REBOOT 1

/* Sets the schedule's line (replacing the one of its command). 0, or -1
 * (0x0D00: bad record, or a command that cannot stand in a crontab line). */
int QAVOScheduleSet(const QAVOSCHEDULE *schedule);
/* Reads the schedule of a command's line; szCommand gets the command's first
 * word. 1 found, 0 no line (0x2000), -1 error (0x0D00 for NULL). */
int QAVOScheduleGet(const char *command, QAVOSCHEDULE *schedule);
/* Removes the command's line (none is no error). 0, or -1 (0x0D00; the line writer's code). */
int QAVOScheduleRemove(const char *command);
/* Sets (replaces or appends) or, with line NULL, removes the crontab line
 * containing key, then makes the cron daemon reread the file. 0, or -1
 * (0x0D00 for a NULL or empty key or a line with a line break). */
int QAVOSysSetCrontabLine(const char *key, const char *line);
/* 0 powers off, 1 reboots (leaving the reboot flag in the vendor partition);
 * anything else sets 0x0D00 and does nothing. */
void QAVOSysPowerOff(int action);
/* Creates "/.noroot". 0, or -1 (0x0C00). */
int QAVOSysNoRoot(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
