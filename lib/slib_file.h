/* File and file-system utilities: file-system and directory sizes, small
 * file operations, temporary names, directory listing and the thin system-
 * call wrappers the rewriting code goes through. */
#ifndef SLIB_FILE_H
#define SLIB_FILE_H

#include <stdint.h>
#include <stdio.h>

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* System-call wrappers: the call's own result, no error code set. */
int SLIBSysRename(const char *oldPath, const char *newPath);
int SLIBSysUnlink(const char *path);
int SLIBSysRemove(const char *path);
int SLIBSysRmdir(const char *path);

#ifdef __cplusplus
}
#endif

#endif
