/* Key/value files: lines of key=value, read one key at a time or all at once
 * into a string hash, and rewritten through a temporary copy that is renamed
 * over the file. "/etc/qavoinfo.conf" has a writer of its own that holds the
 * file's named lock. */
#ifndef SLIB_KEYVALUE_H
#define SLIB_KEYVALUE_H

#include <stdio.h>

#include "slib_szhash.h"
#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Flag of SLIBFileGetKeyValue: the last matching line with a value wins. */
#define SLIB_KEYVALUE_LAST_MATCH 0x1

/* The live settings and the lock request that guards them. */
#define SLIB_QAVOINFO_PATH "/etc/qavoinfo.conf"

/* The usual write formats: key then value. */
#define SLIB_KEYVALUE_FMT_QUOTED "%s=\"%s\"\n"
#define SLIB_KEYVALUE_FMT_PLAIN "%s=%s\n"

/* Values are shell text where the format puts them in double quotes (the
 * scripts source "/etc/qavoinfo.conf" and other settings files): the writers
 * put a backslash before each ", $, ` and \ of such a value, and the readers
 * (SLIBFileGetKeyValue, SLIBFileGetKeys) take those backslashes away again
 * inside a pair of enclosing double quotes, so that the shell and the
 * library read exactly the value written. A backslash before any other
 * character is kept. QAVOINFOSetKeyValue takes only keys that are shell
 * names (letters, digits and "_", not starting with a digit). */

/* Error codes (SLIBErrGet): 0x0D00 bad arguments, 0x0900 a file that
 * cannot be opened, 0x0A00 a read error, 0x0B00 a write error, 0x0200 out
 * of memory, 0x0100 a value longer than the buffer, 0x2000 an absent key.
 * Files are rewritten through "<path>.tmp" and left as they were on failure. */

/* 1 when the line is no comment and its key is key, else 0 (0x0D00 for a
 * NULL key, 0x0200). Cuts the line at its "=" in place. */
int BlSLIBFileMatchKey(char *line, const char *key);
/* Copies key's value: its length plus one, 0 when absent (0x2000), -1 on
 * failure (0x0100 when it does not fit). A NULL buffer with size 0 asks for
 * the length plus one. */
int SLIBFileGetKeyValue(const char *path, const char *key, char *buffer, int size, int flags);
/* Sets key (the first matching line; added at the end when absent; a
 * missing file is created): 1, -1 on failure. */
int SLIBFileSetKeyValue(const char *path, const char *key, const char *value, const char *format);
/* Sets key in "/etc/qavoinfo.conf" under its exclusive lock (5 s): 0, -1
 * on failure (0x0D00 for a key that is no shell name, 0x0400 when the lock
 * is not obtained, else the writer's code). */
int QAVOINFOSetKeyValue(const char *key, const char *value);
/* Reads every key=value line into *pphash (which may move; comment lines
 * are not skipped): the number of keys afterwards, -1 on failure. */
int SLIBFileGetKeys(const char *path, PSLIBSZHASH *pphash);
/* Pushes the trimmed key and value of "key=value" onto *pplist: 0, -1
 * (0x0D00 for an empty key or text without "=", 0x0200). */
int SLIBStrSplitKeyValue(const char *text, PSLIBSZLIST *pplist);
/* 1 when format is null or has "%s", "=", "%s" and a newline in that order
 * (the writers' check, shared with the section files). */
int BlSLIBIsKeyValueFormat(const char *format);
/* Sets every key of the hash in one rewrite (the keys found are removed
 * from the hash, the rest appended): the number of lines written, -1. */
int SLIBFileSetKeys(const char *path, PSLIBSZHASH hash, const char *format);
/* One line of that rewrite: 1 written from the hash, 0 not a key of the
 * hash (the caller copies it), -1 (0x0B00). */
int SLIBILineKeyMoveHash2File(FILE *fp, const char *line, PSLIBSZHASH hash, const char *format);
/* SLIBFileSetKeyValue for each key of the hash in turn: 0, -1 (0x2A00 for
 * a hash without keys, 0x0B00 when setting a key fails, 0x0D00, 0x0200). */
int SLIBFileSetKeysEach(const char *path, PSLIBSZHASH hash, const char *format);
/* Drops every line of key: the number removed, 0 when none (0x2000), -1. */
int SLIBFileRemoveKey(const char *path, const char *key);
/* Appends key=value in place (a missing file is created): 1 added, 0 the
 * key exists already (0x2100, file unchanged), -1 on failure. */
int SLIBFileAddKeyValue(const char *path, const char *key, const char *value, const char *format);
/* As SLIBFileSetKeyValue. */
int SLIBFileSetOrAddKeyValue(const char *path, const char *key, const char *value,
                             const char *format);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
