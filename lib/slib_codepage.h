/* The configured code pages: the "codepage" settings of /etc/qavoinfo.conf
 * as code-page indexes of the Unicode layer. They are read and written
 * through the key/value files, so they sit above both. */
#ifndef SLIB_CODEPAGE_H
#define SLIB_CODEPAGE_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Which code-page setting of /etc/qavoinfo.conf: "codepage",
 * "codepage_apple" and (read only) "codepage_mediaservice". */
#define SLIB_CODEPAGE_WIN 1
#define SLIB_CODEPAGE_APPLE 4
#define SLIB_CODEPAGE_MEDIASERVICE 32

/* The code-page index of a setting of "/etc/qavoinfo.conf" (which: one of
 * the SLIB_CODEPAGE_ keys): 1, -1 (0x0D00 for another which or a NULL
 * index; 0x2000 for an absent, empty or unknown value; the key/value
 * reader's code when the file cannot be read). */
int SLIBUnicodeGetCodePage(int which, int *index);
/* Stores the setting (which "codepage" or "codepage_apple", index below
 * 33) without the qavoinfo lock: 1, -1 (0x0D00, or the writer's code). */
int SLIBUnicodeSetCodePage(int which, int index);
/* 1 when value is the setting text of a code page ("8", "437", ... "2950"),
 * else 0 (also for NULL); sets no code. */
int BlSLIBIsCodePageNumber(const char *value);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
