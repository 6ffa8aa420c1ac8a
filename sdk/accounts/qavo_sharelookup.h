/* Share lookups over the share sections of smb.conf: a share by name
 * without regard to case, the shares of one volume, the shares a user may
 * write, re-writing shares from their records, and one key of a section of
 * an smb.conf-like file. */
#ifndef QAVO_SHARELOOKUP_H
#define QAVO_SHARELOOKUP_H

#include "qavo_share.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The share whose name equals name without regard to case, read under the
 * name as its section writes it, in a newly allocated block; NULL when there
 * is no such share or on failure (0x0D00 for a NULL or empty name, 0x1400
 * no such share, 0x0200; the share reader's code). Release
 * it with QAVOShareFree. */
PQAVOSHARE QAVOShareGetCaseLess(const char *name);
/* Releases a record of QAVOShareGetCaseLess; NULL is allowed. */
void QAVOShareFree(PQAVOSHARE share);
/* Rewrites the share named (every share with NULL) from its own record,
 * making its folder (mode 0777) when it is missing. Only a folder that
 * passes the share-path check is made. 1, or -1 (0x0D00 no such share or a
 * refused path, 0x0B00 the folder cannot be made, 0x0200, QAVOShareSet's
 * codes); with NULL the first failure ends the walk. */
int QAVOShareReapply(const char *name);
/* Names of the ordinary shares whose folder lies on volume (1..4): a
 * NULL-ended array of pointers at the start of buf, the names packed from its
 * end. buf NULL with size 0 counts: *needed = sizeof(char *) + length + 1 per
 * name and one sizeof(char *) for the closing NULL. The number of shares, or
 * -1 (0x0D00, 0x0400, 0x0100 buffer too small; *needed, when given, holds
 * the size in both modes). */
int QAVOShareEnumByVolume(int volume, char **buf, int size, int *needed);
/* The shares whose read-write list names user (directly, through a group,
 * or as a domain user through a domain group) and whose folder exists, as
 * ":name" one after the other in *out (allocated, at least 493 bytes; free
 * it with free()). The number of names, or -1 (0x0D00, 0x0200, 0x0300). */
int QAVOShareWriteableGet(const char *user, char **out);
/* Sets key to value inside section of an smb.conf-like file, rewriting the
 * section with format (default "\t%s=%s\n"). 0, or -1 (0x0D00 a NULL
 * argument, a line break in key or value, an empty key or one holding '=';
 * the section has no key lines; the rewrite failed). */
int ModifySmbLikeConf(const char *file, const char *section, const char *key, const char *value,
                      const char *format);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
