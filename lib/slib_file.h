/* File and file-system utilities: file-system and directory sizes, small
 * file operations, directory listing and stream openers; temporary names
 * and the thin system-call wrappers come from slib_fsbase.h. */
#ifndef SLIB_FILE_H
#define SLIB_FILE_H

#include <stdint.h>
#include <stdio.h>

#include "slib_fsbase.h"
#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* File-system sizes in bytes of the file system holding path; 0 on failure
 * (logged, no code set). */
uint64_t SLIBGetFsFreeSize(const char *path);
uint64_t SLIBGetFsAvailSize(const char *path);
uint64_t SLIBGetFsUsedSize(const char *path);

/* Bytes of the regular files in a directory tree (names starting with "."
 * skipped, symlinked directories never entered), or -1 (no code set). */
int64_t SLIBGetDirSize(const char *directory);
/* The tree's size as du reports it, in bytes; 0 on failure (0x0200 when
 * out of memory, otherwise logged with no code set). */
uint64_t SLIBGetDirSizeByDu(const char *path);

/* Small file operations: 0, -1 (0x0D00 NULL arguments, 0x0900 the file
 * cannot be opened, 0x0B00 a write, sync or close error). Truncate empties
 * or creates the file; AppendLine adds text and a newline, first ending an
 * unterminated last line. */
int SLIBFileTruncate(const char *path);
int SLIBFileAppendLine(const char *path, const char *text);
/* 1 when path names a regular file (symlinks followed), else 0; no code. */
int BlSLIBIsRegularFile(const char *path);
/* Pushes each whole line (newline kept) onto *pplist: 0, -1 (0x0D00, 0x0900,
 * 0x0A00 a read error, 0x0200 out of memory). */
int SLIBFileReadLines(const char *path, PSLIBSZLIST *pplist);

/* Flags of SLIBDirEnum. */
#define SLIB_DIRENUM_DIRS 0x40
#define SLIB_DIRENUM_FILES 0x80
/* Pushes the names of the folder's sub-folders (with a key, only those the
 * line matcher accepts under flags) onto *pplist: the number of items of
 * the list, -1 on failure (0x0D00, 0x0900 folder not opened, 0x0200). */
int SLIBDirEnum(const char *directory, const char *key, PSLIBSZLIST *pplist, int flags);

/* Stream openers over fopen, fdopen and freopen: the stream, or NULL with
 * errno set (EINVAL for a NULL path or mode, a NULL stream, or a mode the C
 * library would refuse); they set no library code. */
FILE *SLIBFileOpen(const char *path, const char *mode);
FILE *SLIBFileDescOpen(int fd, const char *mode);
FILE *SLIBFileReopen(const char *path, const char *mode, FILE *stream);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
