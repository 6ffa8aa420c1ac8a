/* Windows domain membership. */
#ifndef QAVO_WINDOMAIN_H
#define QAVO_WINDOMAIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Removes the file manager's cached share lists of domain users (the entries
 * of "/tmp/webfm" whose name holds "webfm.domain.validshare"). 0, or -1 when
 * the folder cannot be opened. */
int QAVOWinWebfmCacheClear(void);

#ifdef __cplusplus
}
#endif

#endif
