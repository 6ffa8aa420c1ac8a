/* Share folders on the data volumes. */
#ifndef QAVO_SHAREDIR_H
#define QAVO_SHAREDIR_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when path names a directory, 0 when it is missing or no directory, -1
 * (0x0D00) for NULL, a path shorter than 2 characters or a relative path. */
int QAVOShareIsDir(const char *path);

#ifdef __cplusplus
}
#endif

#endif
