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

/* Error codes (SLIBErrGet): 0x0D00 NULL (or identical) buffers, 0x0100 a
 * result that does not fit, 0x0200 out of memory. */

/* Trimming, splitting and lists. */
/* Trims blanks, tabs and line ends at both ends, then one pair of enclosing
 * double quotes, into output or in place: the new length, -1 (0x0D00). */
int SLIBStrTrimSpace(char *text, char *output);
/* strsep skipping empty tokens: the next non-empty token, NULL at the end
 * or for NULL arguments; no code. */
char *SzSLIBStrSepNonEmpty(char **cursor, const char *delimiters);
/* Pushes the tokens of text (SepNonEmpty: the non-empty ones) onto *pplist:
 * their number, -1 (0x0D00, 0x0200; a failed push). */
int SLIBStrSep(const char *text, const char *delimiters, PSLIBSZLIST *pplist);
int SLIBStrSepNonEmpty(const char *text, const char *delimiters, PSLIBSZLIST *pplist);

/* Replacement and insertion; size is the room of the result without its
 * terminating zero; a null output works in place. 1 done, 0 the old text or
 * the mark not found (nothing changed), -1 (0x0D00 NULL arguments or a
 * position outside text, 0x0100 when size is too small, tested before the
 * search, 0x0200). */
int SLIBStrReplace(char *text, const char *oldText, const char *newText, char *output, int size);
int SLIBStrRemove(char *text, const char *oldText, char *output, int size);
int SLIBStrInsert(char *text, char *position, const char *insertion, char *output, int size);
int SLIBStrInsertBefore(char *text, const char *mark, const char *insertion, char *output,
                        int size);
int SLIBStrInsertAfter(char *text, const char *mark, const char *insertion, char *output, int size);
/* Lower-cased text into output (size bytes with the zero) or in place
 * (length at most size): output or text, NULL (0x0D00, 0x0100). */
char *SzSLIBStrToLower(char *text, int ignored, char *output, int size);

/* Escaping; size is the destination's capacity including the terminating zero. */
/* One literal shell word: a backslash before every byte, a newline as '\n'
 * in single quotes (3 bytes) and the empty text as ''. 0, -1 for NULL
 * arguments or a destination too small (cut where it stopped); no code. */
int SLIBStrEncodeParam(const char *source, char *destination, int size);
/* ":" <-> ";," and ";" <-> ";;" (decoding stops at any other ";"
 * sequence); hexadecimal with upper-case digits (decoding skips an "x"
 * before a pair and stops at the first non-digit). The output's length, -1
 * (0x0D00 NULL or identical buffers, 0x0100). */
int SLIBStrEncodeColon(const char *input, char *output, int size);
int SLIBStrDecodeColon(const char *input, char *output, int size);
int SLIBStrHexEncode(const char *source, char *destination, int size);
int SLIBStrHexDecode(const char *source, char *destination, int size);
/* Replaces the Latin-1 character entities ("&nbsp;" ...) by their bytes in
 * place: 0, -1 for NULL (no code). */
int SLIBStrDecodeEntities(char *text);

/* Pairs of Shift JIS codes (lead byte in bits 8 to 15, trail byte in 0 to 7). */
typedef struct _tag_SLIBCP932PAIRS {
    uint32_t first;
    uint32_t second;
} SLIBCP932PAIRS;

/* The other code of the CP932 pair code belongs to, or code itself when it
 * has none. No code set. */
unsigned int SLIBCP932SecondToFirst(unsigned int code);
unsigned int SLIBCP932FirstToSecond(unsigned int code);
/* The Shift JIS text with every paired character turned into its other
 * code, written to output (or in place when NULL): output (or text), NULL
 * for a NULL text. */
char *SzSLIBCP932StrToFirst(char *text, char *output);
char *SzSLIBCP932StrToSecond(char *text, char *output);

/* Reads one line (newline included, no terminating zero) into a buffer
 * shared by the whole process; null at end of file, on a read error or
 * NULL arguments, and with 0x0200 when the buffer cannot grow. Linked under
 * a name of its own so that it never clashes with other libraries' line
 * readers. */
char *fgetln(FILE *stream, size_t *length) __asm__("SLIBfgetln");
/* realloc that frees the old block when it fails (and for size 0): the new
 * block or NULL; no code. */
void *QAVOReallocf(void *pointer, size_t size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
