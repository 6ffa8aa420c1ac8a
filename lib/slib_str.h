/* String utilities: trimming, splitting, replacement, escaping, Japanese
 * double-byte code pairs and the line reader every file reader uses. */
#ifndef SLIB_STR_H
#define SLIB_STR_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Trimming, splitting and lists. */
int SLIBStrTrimSpace(char *text, char *output);
char *SzSLIBStrSepNonEmpty(char **cursor, const char *delimiters);
int SLIBStrSep(const char *text, const char *delimiters, PSLIBSZLIST *pplist);
int SLIBStrSepNonEmpty(const char *text, const char *delimiters, PSLIBSZLIST *pplist);

/* Replacement and insertion; size is the room of the result without its
 * terminating zero; a null output works in place. */
int SLIBStrReplace(char *text, const char *oldText, const char *newText, char *output, int size);
int SLIBStrRemove(char *text, const char *oldText, char *output, int size);
int SLIBStrInsert(char *text, char *position, const char *insertion, char *output, int size);
int SLIBStrInsertBefore(char *text, const char *mark, const char *insertion, char *output,
                        int size);
int SLIBStrInsertAfter(char *text, const char *mark, const char *insertion, char *output, int size);
char *SzSLIBStrToLower(char *text, int ignored, char *output, int size);

/* Escaping; size is the destination's capacity including the terminating zero. */
/* One literal shell word: a backslash before every byte, a newline as '\n'
 * in single quotes (3 bytes) and the empty text as ''. */
int SLIBStrEncodeParam(const char *source, char *destination, int size);
int SLIBStrEncodeColon(const char *input, char *output, int size);
int SLIBStrDecodeColon(const char *input, char *output, int size);
int SLIBStrHexEncode(const char *source, char *destination, int size);
int SLIBStrHexDecode(const char *source, char *destination, int size);
int SLIBStrDecodeEntities(char *text);

/* Pairs of Shift JIS codes (lead byte in bits 8 to 15, trail byte in 0 to 7). */
typedef struct _tag_SLIBCP932PAIRS {
    uint32_t first;
    uint32_t second;
} SLIBCP932PAIRS;

/* The other code of the CP932 pair code belongs to, or code itself when it
 * has none. */
unsigned int SLIBCP932SecondToFirst(unsigned int code);
unsigned int SLIBCP932FirstToSecond(unsigned int code);
/* The Shift JIS text with every paired character turned into its other
 * code, written to output (or in place when NULL): output (or text), NULL
 * for a NULL text. */
char *SzSLIBCP932StrToFirst(char *text, char *output);
char *SzSLIBCP932StrToSecond(char *text, char *output);

/* Reads one line (newline included, no terminating zero) into a buffer
 * shared by the whole process; null at end of file. Linked under a name of
 * its own so that it never clashes with other libraries' line readers. */
char *fgetln(FILE *stream, size_t *length) __asm__("SLIBfgetln");
void *QAVOReallocf(void *pointer, size_t size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
