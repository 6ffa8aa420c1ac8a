/* Event texts and event-log export: the localized text of an event id from
 * "/usr/qavo/qavosdk/texts/<lang>/events" with the record's arguments filled
 * in, level names, time texts, and a whole log file exported as tab-separated
 * lines, oldest record first. */
#ifndef SLIB_LOGTEXT_H
#define SLIB_LOGTEXT_H

#include <stdint.h>
#include <stdio.h>

#include "slib_eventlog.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The events text file of a language is this prefix, the code and this suffix. */
#define QAVOLOG_TEXTS_DIR "/usr/qavo/qavosdk/texts/"
#define QAVOLOG_TEXTS_FILE "/events"
/* The longest language code: the file's name fits 128 bytes. */
#define QAVOLOG_LANG_MAX 96
/* Section and keys of the level names. */
#define QAVOLOG_LEVEL_SECTION "11000000"
/* Room of the level name, terminator included: longer names are cut. */
#define QAVOLOG_LEVEL_NAME_SIZE 11
#define QAVOLOG_TIME_SIZE 100
#define QAVOLOG_EXPORT_DEFAULT_OUT "./output"
#define QAVOLOG_EXPORT_DEFAULT_LANG "enu"

/* Error codes: these operations set none of their own; failures are NULL or
 * -1 and a syslog line (the section reader's codes may be left behind). */

/* The text of an event with the first "@1" to "@4" replaced by the non-empty
 * arguments: a new heap string (free()), or NULL when the language code is
 * not a plain code, the text is missing or empty, or memory runs out. Texts
 * are cached by id for the whole process until an export ends. */
char *QAVOLogGetEventText(QAVOLOGEVENTID eventId, const char *lang, const char *arg1,
                          const char *arg2, const char *arg3, const char *arg4);
/* The level's display name ("Unknown" when there is none), in a process-wide
 * buffer of QAVOLOG_LEVEL_NAME_SIZE bytes. */
const char *QAVOLogGetLevelName(int level, const char *lang);
/* "%Y/%m/%d %H:%M:%S" of the local time, in a process-wide buffer. */
const char *QAVOLogTimeString(uint32_t time);
/* Prints the export line of one record body (the record without its length
 * field) of length bytes; prints nothing for a body that runs short or an
 * event without text. Always 0. */
int QAVOLogRecordToText(FILE *out, const unsigned char *body, const char *lang, int length);
/* Exports a log file into outPath: 0, -1 (NULL arguments, a log or output
 * that cannot be opened, locked or read, a malformed header). A malformed
 * record ends the export (the lines before it stay) and the log's end
 * pointer is moved to it. */
int QAVOLogExportFile(const char *logPath, const char *outPath, const char *lang);
/* Exports the class's log: 0, -1 (also for class 4 and unknown classes);
 * NULL outPath is "./output", NULL lang "enu". Releases the event-text cache
 * afterwards. */
int QAVOLogExport(QAVOLOGCLASS logClass, const char *outPath, const char *lang);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
