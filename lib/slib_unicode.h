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

/* The cached converter of a code page, NULL (0x0D00 for an index of
 * SLIB_CODEPAGE_MAX or above, 0x0900 when it cannot be opened). */
UConverter *SLIBUnicodeGetConverter(int index);
/* Converts between UTF-8 and code page index (0 copies): the length of
 * the result, -1 on failure (0x0D00 bad arguments, 0x0200, 0x0100 when the
 * result does not fit into size bytes with its zero). */
int SLIBUnicodeStrUTF8ToCP(int index, const char *src, char *dst, int size);
int SLIBUnicodeStrCPToUTF8(int index, const char *src, char *dst, int size);
/* The source is UTF-16 bytes (big-endian unless a byte-order mark says
 * otherwise), taken up to its first zero byte: a text whose units hold a
 * zero byte (any ASCII character) ends there. */
int SLIBUnicodeStrUTF16ToUTF8(const char *src, char *dst, int size);
int SLIBUnicodeUTF8StrCountChar(const char *text);
/* *buffer is a malloc'ed block of capacity units; it is reallocated when
 * the upper-cased text needs more. */
int SLIBUnicodeUStrUpper(const UChar *src, UChar **buffer, int capacity);
int SLIBUnicodeUTF8StrUpper(const char *src, char *dst, int size);
int SLIBUnicodeUTF8StrCaseCmp(const char *a, const char *b);
int SLIBUnicodeOpenCollator(void);
int SLIBUnicodeCloseCollator(void);
UCollator *SLIBUnicodeGetCollator(void);
int SLIBUnicodeCheckLocale(int force, char **locale);
int SLIBUnicodeResetCollator(void);
const char *SzSLIBUnicodeUTF8Skip(const char *text, int n);
int SLIBUnicodeShortenName(const char *name, int n, const char *suffix, char *dst, int size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
