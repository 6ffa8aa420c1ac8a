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

int BlSLIBFileMatchLine(const char *line, const char *key, int flags);
int BlSLIBFileMatchFields(const char *line, PSLIBSZLIST patterns, const char *delimiters);

int SLIBFileAddLine(const char *path, const char *key, const char *line, int flags);
int SLIBFileSetLine(const char *path, const char *key, const char *line, int flags);
int SLIBFileGetLine(const char *path, const char *key, char *buffer, int size, int flags);

int SLIBFileGetLinesByField(const char *path, PSLIBSZLIST patterns, PSLIBSZLIST *out,
                            const char *delimiters);
int SLIBFileAddLineByField(const char *path, PSLIBSZLIST patterns, const char *line, int flags,
                           const char *delimiters);
int SLIBFileSetLineByField(const char *path, PSLIBSZLIST patterns, const char *line,
                           const char *delimiters);

int SLIBFileReplaceSubStr(const char *path, const char *oldText, const char *newText);
int ErrSLIBFileComment(const char *path, const char *key, int flags);
int SLIBFileReverseLines(const char *path);
int SLIBFileFindLine(const char *path, const char *text);

#ifdef __cplusplus
}
#endif

#endif
