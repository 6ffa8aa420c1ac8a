/* Date, time, NTP, time zone and code page: the system clock with the
 * hardware clock, day numbers, the NTP crontab line, the zone database
 * under "/usr/share/zoneinfo/Timezone/" and the file services' code pages. */
#ifndef QAVO_TIME_H
#define QAVO_TIME_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_ZONE_DIR "/usr/share/zoneinfo/Timezone/"
#define QAVO_ZONE_TABLE QAVO_ZONE_DIR "tztable"
#define QAVO_ZONE_LIST QAVO_ZONE_DIR "tzlist"
#define QAVO_CLOCK_FILE "/etc/sysconfig/clock"
#define QAVO_LOCALTIME_FILE "/etc/localtime"
#define QAVO_TZ_FILE "/etc/TZ"
#define QAVO_NTPDATE "/usr/sbin/ntpdate"

/* NTP synchronisation settings. */
typedef struct _tag_QAVONTPINFO {
    int fEnabled;            /* 1 when synchronisation runs */
    char szPeriod[10];       /* "daily", "weekly" or "monthly" */
    char szServer[64];       /* host name or IPv4 address */
    char szServerBackup[64]; /* second server, may be empty */
} QAVONTPINFO, *PQAVONTPINFO;

/* Day numbers: calendar days since 1970-01-01. date[3] = year, month 1-12,
 * day. QAVOTimeDaysToDate: 0, or -1 (0x0D00 negative or NULL, 0x8100). */
int QAVOTimeDaysToDate(int days, int date[3]);
/* 0, or -1 (0x0D00 for NULL). */
int QAVOTimeDateToDays(int *days, const int date[3]);
/* Local time now: year, month 1-12, day, hour, minute, second. 0 / -1 (0x8100) (0x0D00 for NULL).
 */
int QAVOTimeGetLocal(int t[6]);
/* Writes the local time of t (0: now) into the hardware clock. 0 (also when
 * the driver is absent), or -1 when the local time cannot be computed or
 * lies after 2099, which the clock cannot hold. */
int QAVOHWSetRTCTime(time_t t);
/* Sets the system clock and the hardware clock to the local time t[6].
 * 0, or -1 (0x0D00 bad date, 0x2A00 the clock cannot be set). */
int QAVOTimeSet(const int t[6]);
/* 1, or -1 (0x0D00, 0x0400; the key reader's code). */
int QAVONTPGet(QAVONTPINFO *info);
/* NULL stands for everything off. 1; -1 (also for bad servers, 0x0D00, or
 * failed key writes), -3 the line cannot be removed, -4 no lock. */
int QAVONTPSet(const QAVONTPINFO *info);
/* The zone name. 0 (also for the size query), or -1 (0x0D00, 0x0400, 0x2000 no zone set, 0x0100
 * buffer too small). */
int QAVOZoneGet(char *buffer, int size, int *needed);
/* Chooses a zone of "tztable"; daylight 1 writes UTC=true. 1, or -1 (0x0D00 an unknown zone, 0x8000
 * the zone file cannot be copied; the key writer's code). */
int QAVOZoneSet(const char *zone, int daylight);
/* *flag 1 when the clock file says UTC=true (any case), else 0: 0, -1
 * (0x0D00 for NULL; the key reader's code). */
int QAVOZoneIsDayLightSaving(int *flag);
/* The text shown for a zone. 1 filled, 0 size query, -1 (0x0D00, 0x2000 no such zone, 0x0100). */
int QAVOZoneGetDesc(const char *zone, char *buffer, int size, int *needed);
/* Every zone name of "tztable": a NULL-ended pointer array at the start of
 * buffer, the names packed at its end. The count, or -1 (0x0D00, 0x0900, 0x0A00, 0x0100, 0x0200).
 */
int QAVOZoneEnum(char **buffer, int size, int *needed);
/* which 1: the Windows code page, 8: the media service's; Apple and EUC
 * pages read as their counterparts. 1, or -1 (0x0D00; the setting reader's code). */
int QAVOCodePageGet(int which, int *index);
/* which 1 only: index 0-14 with its Apple counterpart. 1, or -1 (0x0D00; the setting writer's
 * code). */
int QAVOCodePageSet(int which, int index);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
