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
int BlSLIBFileMatchKey(char *line, const char *key);
int SLIBFileGetKeyValue(const char *path, const char *key, char *buffer, int size, int flags);
int SLIBFileSetKeyValue(const char *path, const char *key, const char *value, const char *format);
int QAVOINFOSetKeyValue(const char *key, const char *value);
int SLIBFileGetKeys(const char *path, PSLIBSZHASH *pphash);
int SLIBStrSplitKeyValue(const char *text, PSLIBSZLIST *pplist);
/* 1 when format is null or has "%s", "=", "%s" and a newline in that order
 * (the writers' check, shared with the section files). */
int BlSLIBIsKeyValueFormat(const char *format);
int SLIBFileSetKeys(const char *path, PSLIBSZHASH hash, const char *format);
int SLIBILineKeyMoveHash2File(FILE *fp, const char *line, PSLIBSZHASH hash, const char *format);
int SLIBFileSetKeysEach(const char *path, PSLIBSZHASH hash, const char *format);
int SLIBFileRemoveKey(const char *path, const char *key);
int SLIBFileAddKeyValue(const char *path, const char *key, const char *value, const char *format);
int SLIBFileSetOrAddKeyValue(const char *path, const char *key, const char *value,
                             const char *format);

#ifdef __cplusplus
}
#endif

#endif
