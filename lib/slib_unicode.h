/* Unicode layer: conversions between UTF-8 and the appliance's code pages,
 * upper-casing, character counting and case-insensitive collation. */
#ifndef SLIB_UNICODE_H
#define SLIB_UNICODE_H

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/utypes.h>

/* The configured code pages (they live above this layer, in the key/value
 * files). */
#include "slib_codepage.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Code-page indexes: 0 UTF-8 ... 32, and 33 UTF-16 (no setting value). */
#define SLIB_CODEPAGE_MAX 34
#define SLIB_CODEPAGE_UTF16 33

/* The cached converter of a code page, NULL (0x0D00 for an index below 0 or
 * at SLIB_CODEPAGE_MAX and above, 0x0900 when it cannot be opened). */
UConverter *SLIBUnicodeGetConverter(int index);
/* Converters: the full length of the result in bytes without its zero,
 * whatever size is; the result is copied only when it is below size, else
 * dst receives the empty string and the length is still returned (size 0
 * measures). -1 on failure: 0x0D00 a NULL source, a negative size, a NULL
 * dst with a positive size or a bad index; 0x0200 out of memory; 0x8000 a
 * conversion failure; the converter's code (0x0900). */
/* Converts between UTF-8 and code page index (0 copies). */
int SLIBUnicodeStrUTF8ToCP(int index, const char *src, char *dst, int size);
int SLIBUnicodeStrCPToUTF8(int index, const char *src, char *dst, int size);
/* The source is UTF-16 bytes (big-endian unless a byte-order mark says
 * otherwise), taken up to its first zero byte: a text whose units hold a
 * zero byte (any ASCII character) ends there. */
int SLIBUnicodeStrUTF16ToUTF8(const char *src, char *dst, int size);
/* The number of characters of a UTF-8 text, -1 (0x0D00, 0x0200, 0x8000). */
int SLIBUnicodeUTF8StrCountChar(const char *text);
/* *buffer is a malloc'ed block of capacity units; it is reallocated when
 * the upper-cased text needs more. The result's length in units, -1 (0x0D00
 * NULL arguments or capacity below 1, 0x2000 a locale not accepted, 0x0200,
 * 0x8000). */
int SLIBUnicodeUStrUpper(const UChar *src, UChar **buffer, int capacity);
/* Upper-cases a UTF-8 text by the converters' rules: the length, -1 (0x0D00,
 * 0x2000 a locale not accepted, 0x0200, 0x8000). */
int SLIBUnicodeUTF8StrUpper(const char *src, char *dst, int size);
/* Compares the upper-cased texts by collation: -1, 0 or 1; -2 on failure
 * (0x0D00 NULL, 0x2000 locale, 0x0200, 0x8000, 0x0900 no collator). */
int SLIBUnicodeUTF8StrCaseCmp(const char *a, const char *b);
/* Kept for callers: always 1. */
int SLIBUnicodeOpenCollator(void);
int SLIBUnicodeCloseCollator(void);
/* The process's collator, opened once; NULL (0x2000 a locale not accepted,
 * 0x0900 it cannot be opened). */
UCollator *SLIBUnicodeGetCollator(void);
/* Checks the collation locale once (force: again) and hands it out: 1, -1
 * (0x2000 not an accepted locale). */
int SLIBUnicodeCheckLocale(int force, char **locale);
/* Closes the collator and forgets the locale check: 1. */
int SLIBUnicodeResetCollator(void);
/* The text after its first n UTF-8 characters (the end when shorter), NULL
 * (0x0D00 for NULL text or n below 1). */
const char *SzSLIBUnicodeUTF8Skip(const char *text, int n);
/* The first n characters of name followed by suffix into dst: 1 shortened,
 * 0 name has at most n characters (dst untouched), -1 (NULL arguments or
 * size below 6 x n + length of suffix + 1, no code; the counter's code). */
int SLIBUnicodeShortenName(const char *name, int n, const char *suffix, char *dst, int size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
