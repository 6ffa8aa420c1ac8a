/* The bottom of the file utilities: temporary names and the thin system-
 * call wrappers the rewriting code goes through. Nothing below it in the
 * library; slib_file.h carries it. */
#ifndef SLIB_FSBASE_H
#define SLIB_FSBASE_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* base followed by the process id and a process-wide counter ("%d-%d"):
 * 0, -1 for NULL arguments or a name longer than size (output emptied);
 * sets no code. */
int SLIBFileGetTempName(const char *base, char *output, int size);

/* System-call wrappers: the call's own result, no error code set. */
int SLIBSysRename(const char *oldPath, const char *newPath);
int SLIBSysUnlink(const char *path);
int SLIBSysRemove(const char *path);
int SLIBSysRmdir(const char *path);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
