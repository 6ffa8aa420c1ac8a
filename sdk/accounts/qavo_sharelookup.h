/* Share lookups over the share sections of smb.conf. */
#ifndef QAVO_SHARELOOKUP_H
#define QAVO_SHARELOOKUP_H

#include "qavo_share.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The share whose name equals name without regard to case, read under the
 * name as its section writes it, in a newly allocated block; NULL when there
 * is no such share or on failure (0x0D00 for a NULL or empty name). Release
 * it with QAVOShareFree. */
PQAVOSHARE QAVOShareGetCaseLess(const char *name);
/* Releases a record of QAVOShareGetCaseLess; NULL is allowed. */
void QAVOShareFree(PQAVOSHARE share);

#ifdef __cplusplus
}
#endif

#endif
