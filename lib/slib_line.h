/* Line files: lists of whole lines (account files, the crontab, the file-
 * system table, daemon configurations). Lines are chosen by a key and a flag
 * word, or by their delimiter-separated fields, and added, replaced, removed,
 * commented or uncommented; a few operations rewrite the whole file. Lines
 * are always read whole, whatever their length. Writers rewrite the file
 * through a temporary copy renamed over it; no lock is taken here, callers
 * hold the file's named lock. */
#ifndef SLIB_LINE_H
#define SLIB_LINE_H

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The flag word of the key-based line operations. Without SLIB_LINE_PREFIX
 * and SLIB_LINE_SUFFIX the key may occur anywhere in the line; the prefix
 * test wins over the suffix test. A line starting with "#" or ";" never
 * matches. */
typedef enum _tag_SLIBLINEOPFLAGS {
    SLIB_LINE_LAST = 0x1,           /* the last matching line instead of the first */
    SLIB_LINE_PREFIX = 0x2,         /* the line begins with the key */
    SLIB_LINE_SUFFIX = 0x4,         /* the line's text before its newline ends with the key */
    SLIB_LINE_INSERT_AFTER = 0x200, /* SLIBFileAddLine: after the match; null key: append */
    SLIB_LINE_CASELESS = 0x400      /* compare the upper-cased texts */
} SLIBLINEOPFLAGS;

/* Flags of ErrSLIBFileComment. */
#define SLIB_COMMENT_LAST 0x1   /* comment out the last match only */
#define SLIB_COMMENT_PREFIX 0x2 /* the line begins with the key, leading blanks ignored */
#define SLIB_COMMENT_OUT 0x100  /* comment out (else uncomment) */

/* The fixed temporary file of ErrSLIBFileComment. */
#define SLIB_COMMENT_TEMP_DIR "/etc/skel"
#define SLIB_COMMENT_TEMP_NAME "tempErrSLIBFileComment"

/* Error codes (SLIBErrGet) of the file operations: 0x0D00 bad arguments,
 * 0x0900 a file that cannot be opened, 0x0A00 a read error, 0x0B00 a write
 * error, 0x0200 out of memory, 0x2000 nothing matched. A file is rewritten
 * through "<path>.tmp"; on failure it is left as it was. */

/* 1 when the line (newline kept) matches key under flags, else 0 (0x0200
 * when out of memory). */
int BlSLIBFileMatchLine(const char *line, const char *key, int flags);
/* 1 when every pattern equals the line's field of its place (fields split at
 * any of delimiters; an empty pattern matches any field; no patterns match
 * every line), 0 when not, -1 on failure (0x0200). */
int BlSLIBFileMatchFields(const char *line, PSLIBSZLIST patterns, const char *delimiters);
/* Adds line before (SLIB_LINE_INSERT_AFTER: after) the matching line; a
 * NULL key puts it at the top (with SLIB_LINE_INSERT_AFTER appends it).
 * 1 added, 0 no line matched (0x2000, file unchanged), -1 on failure. */
int SLIBFileAddLine(const char *path, const char *key, const char *line, int flags);
/* Replaces the one matching line by line, or drops it for a NULL line; a
 * missing file is created holding line. 1 done, 0 no line matched
 * (0x2000), -1 on failure. */
int SLIBFileSetLine(const char *path, const char *key, const char *line, int flags);
/* Copies the matching line without its newline: its length plus one, 0
 * when none matched (0x2000), -1 on failure (0x0100 when it does not fit;
 * there is no size query). */
int SLIBFileGetLine(const char *path, const char *key, char *buffer, int size, int flags);
/* Pushes every line the field matcher accepts onto *out: the number of
 * items of *out, -1 on failure. */
int SLIBFileGetLinesByField(const char *path, PSLIBSZLIST patterns, PSLIBSZLIST *out,
                            const char *delimiters);
/* Inserts line by the field matcher: 1 inserted, 0 not, -1 on failure. */
int SLIBFileAddLineByField(const char *path, PSLIBSZLIST patterns, const char *line, int flags,
                           const char *delimiters);
/* Replaces (NULL line: drops) every line the field matcher accepts: the
 * number of lines replaced, -1 on failure. */
int SLIBFileSetLineByField(const char *path, PSLIBSZLIST patterns, const char *line,
                           const char *delimiters);
/* Replaces every occurrence of oldText: the number replaced, -1 on failure. */
int SLIBFileReplaceSubStr(const char *path, const char *oldText, const char *newText);
/* Comments out (SLIB_COMMENT_OUT) or uncomments the matching lines: 1
 * changed, 0 nothing to change (0x2000), -1 on failure (0x0D00 an empty
 * key, 0x0C00 the temporary file cannot be created, 0x0A00 the file cannot
 * be read or uncommenting the last match is asked for, 0x2800 the rename
 * fails). */
int ErrSLIBFileComment(const char *path, const char *key, int flags);
/* Rewrites the file with its lines in reverse order: 0, -1 on failure. */
int SLIBFileReverseLines(const char *path);
/* The 1-based number of the first line equal to text, 0 when none, -1 on
 * failure. */
int SLIBFileFindLine(const char *path, const char *text);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
