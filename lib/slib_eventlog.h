/* Event log: one binary ring file per log class, named with its maximum size
 * in "/etc/qavolog.conf". A record holds a level, the time, the program, the
 * user, an event id and up to four argument strings; the texts shown to
 * users come from the event id later. Log files are excluded between
 * processes by flock on the log file itself. */
#ifndef SLIB_EVENTLOG_H
#define SLIB_EVENTLOG_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

typedef int QAVOLOGCLASS;
typedef int QAVOLOGLEVEL;
typedef uint32_t QAVOLOGEVENTID;

enum {
    QAVOLOG_CLASS_SYS = 1,
    QAVOLOG_CLASS_MAN = 2, /* written into the system log */
    QAVOLOG_CLASS_CONN = 3,
    QAVOLOG_CLASS_NONE = 4, /* refused */
    QAVOLOG_CLASS_BKP = 5,
    QAVOLOG_CLASS_COPY = 6,
    QAVOLOG_CLASS_NETBKP = 7
};

#define QAVOLOG_CONF_PATH "/etc/qavolog.conf"
/* Line format of the configuration file's values. */
#define QAVOLOG_CONF_FMT "%s=\t\"%s\"\n"

/* File layout, all integers little-endian:
 *   0 "QAVO", 4 unused, 8 u32 start (oldest record), 12 u32 end (next record),
 *   16 records. A u16 0 where a record's length would stand is the wrap
 *   marker: the ring went back to offset 16 there. */
#define QAVOLOG_MAGIC "QAVO"
#define QAVOLOG_HEADER_SIZE 16
#define QAVOLOG_WRAP_MARKER_SIZE 2

/* Record layout: u16 total length, u16 level, u32 time, u16 source length,
 * u16 user length, u32 event id, u16 lengths of arguments 1 to 4, then
 * source, user and the four arguments back to back, without terminators. */
#define QAVOLOG_RECORD_FIXED_SIZE 24
#define QAVOLOG_RECORD_MAX_SIZE 65535

/* Bounds of a maximum log size (configuration value or setter argument):
 * a smaller or unreadable setting would empty the log at every write, a
 * larger one let it grow past what a 32-bit offset and the setter's int
 * hold. */
#define QAVOLOG_SIZE_MIN 1024
#define QAVOLOG_SIZE_MAX 2147483647L

/* The fixed part of a record, as read or built (never cast onto file bytes). */
typedef struct {
    uint16_t uLength;
    uint16_t uLevel;
    uint32_t ulTime;
    uint16_t uSourceLength;
    uint16_t uUserLength;
    QAVOLOGEVENTID ulEventId;
    uint16_t uArgLength[4];
} QAVOLOGRECORD;

/* The header's fields (serialised field by field as well). */
typedef struct {
    char szMagic[4];
    uint32_t ulUnused;
    uint32_t ulStart;
    uint32_t ulEnd;
} QAVOLOGHEADER;

/* Error codes: the event log reports failures as -1 and a syslog line; of
 * its own it sets a code (SLIBErrGet) only when the configuration cannot be
 * created (0x0900). Reading and storing settings go through the key/value
 * files, whose codes (0x2000 for an absent key, ...) may be left behind. */

/* Records an event in the class's log: 0, -1 (class 4 or outside 1-7, the
 * configuration cannot be created, the record is too long for the log, or
 * the log file cannot be opened, locked or written). NULL arguments are
 * stored empty, empty ones as a single blank. */
int QAVOLogEventWrite(QAVOLOGCLASS logClass, QAVOLOGLEVEL level, QAVOLOGEVENTID eventId,
                      const char *arg1, const char *arg2, const char *arg3, const char *arg4);
/* Shrinks the class's default log file to newMax bytes when it is larger:
 * 0 (also for an unknown class or a missing file), -1 for newMax out of
 * bounds or a failed shrink. */
int QAVOLogChangeSize(long newMax, QAVOLOGCLASS logClass);
/* Stores the class's maximum in the configuration and shrinks its file: 0,
 * -1 (newMax out of bounds, unknown class, the configuration cannot be
 * created (0x0900) or written (the key/value writer's code), failed shrink). */
int QAVOLogSetSize(int newMax, QAVOLOGCLASS logClass);
/* Whole writes and reads at the descriptor's position: count, or -1 when
 * fewer bytes moved (no code). */
int QAVOLogWriteByte(int fd, const void *buf, int count);
int QAVOLogReadByte(int fd, void *buf, int count);
/* Appends "%ld\n" to the file "wasting" in the working directory: 0, -1
 * when the file does not open (no code). */
int QAVOLogAppendWasting(long value);

/* Creates "/etc/qavolog.conf" with every class's file and size 65536: 0,
 * -1 (0x0900 when it cannot be written). */
int QAVOLogConfCreate(void);
/* The user an event is recorded for: $USERNAME, else the passwd name of the
 * effective uid; "root" reads "admin". Process-wide buffer, not reentrant. */
const char *QAVOLogGetUser(void);
/* The name of uid in "/etc/passwd" into buf; 0 found, -1 otherwise (buf
 * then holds the empty string when size allows). */
int QAVOLogGetPwName(uid_t uid, char *buf, int size);

/* Internal steps, exported for the export code and the tests. */
/* Builds a record in one heap block of exactly *pLength bytes (free()), or
 * NULL when it cannot be stored (too long) or memory runs out (no code). */
unsigned char *QAVOLogRecordBuild(QAVOLOGLEVEL level, QAVOLOGEVENTID eventId, const char *arg1,
                                  const char *arg2, const char *arg3, const char *arg4,
                                  int *pLength);
/* Writes one record into the ring file at path of at most max bytes: 0, -1
 * (no code). */
int QAVOLogRecordWrite(const char *path, QAVOLOGLEVEL level, QAVOLOGEVENTID eventId,
                       const char *arg1, const char *arg2, const char *arg3, const char *arg4,
                       long max);
/* Rewrites the log without its oldest records, at least excess bytes of
 * them: 0, -1 (no code). */
int QAVOLogDropOldest(long excess, const char *path);
/* Takes a file without the magic over as an empty log: 0, -1 (no code). */
int QAVOLogCheckHeader(int fd);
/* Pointer access: start is written then synced, end is written after a
 * sync. 0, -1 on a failed read, write or sync (no code). */
int QAVOLogSetStart(int fd, uint32_t start);
int QAVOLogSetEnd(int fd, uint32_t end);
int QAVOLogGetStart(int fd, uint32_t *pStart);
int QAVOLogGetEnd(int fd, uint32_t *pEnd);
/* Decodes the fixed part of a record from 24 bytes. */
void QAVOLogRecordDecode(const unsigned char *bytes, QAVOLOGRECORD *record);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
