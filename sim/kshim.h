/* What the pieces of the kernel shim share (kshim.c holds them): its
 * settings, its log and the next definition of an interposed function. */
#ifndef QSIM_KSHIM_H
#define QSIM_KSHIM_H

#include <stddef.h>

/* Reads the value of "key" from /sim/kernel.conf; 1 when found. */
int QsimShimSetting(const char *key, char *val, size_t size);
/* Appends a line (with its newline) to /sim/kernel.log. */
void QsimShimNote(const char *line);
/* A scripted result: "ok" 0, "errno N" -1 with errno N, else -1 ENOSYS. */
long QsimShimScripted(const char *result);
/* The next definition of name, looked up once into *cache. */
void *QsimShimNext(void **cache, const char *name);

#endif
