/* Share folders on the data volumes: testing, preparing and removing them,
 * and moving them to another volume through its staging folder "@tmp". */
#ifndef QAVO_SHAREDIR_H
#define QAVO_SHAREDIR_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Every operation below may also set 0x0200 when memory runs out. */

/* The staging folder of a volume, where a move to it lands first. */
#define QAVO_SHARE_STAGING "@tmp"
/* Key of the counting copy's status file: bytes copied so far. */
#define QAVO_COPY_FILE_SIZE_KEY "COPY_FILE_SIZE"

/* 1 when path names a directory, 0 when it is missing or no directory, -1
 * (0x0D00) for NULL, a path shorter than 2 characters or a relative path. */
int QAVOShareIsDir(const char *path);
/* Removes a share folder with everything in it unless type bit 0 is set.
 * Only a checked folder below a volume root (see QAVOShareIsSafePath) that
 * is no mount point is removed. 1 when removed or nothing was to be
 * removed; -1 for NULL or a negative type, a path that is not such a folder
 * (0x0D00), a mount point (0x3900) or a failed removal (0x0B00). */
int SHAREIRemoveDir(const char *path, int type);
/* Makes the directory path with mode; an existing directory stays when keep
 * is not 0, else it is removed first. 0, or -1 (0x0D00, 0x3900, 0x2900 disk
 * full, 0x3C00). */
int QAVOShareSetDestFolder(const char *path, int keep, unsigned int mode);
/* Copies /volume<src>/[<sub>/]<name> to /volume<dst>/@tmp/<newName> as
 * "cp -a" does. 0, or -1 (0x0D00, 0x0600 no source folder, 0x8300 target not
 * mounted, 0x8400 target read-only, 0x3B00 copy failed; nothing is left at
 * the staging path). */
int QAVOShareCopy2Tmp(int srcVolume, int dstVolume, const char *sub, const char *name,
                      const char *newName);
/* Moves /volume<N>/@tmp/<name> to /volume<N>/[<sub>/]<name>; an existing
 * empty destination folder is replaced, a non-empty one is left alone.
 * 0, or -1 (0x0D00, 0x0600 nothing staged, 0x3A00 the move failed or the
 * destination holds data; the staged copy is removed). */
int QAVOShareTmp2New(int volume, const char *sub, const char *name);
/* Copies the tree srcDir into dstDir (which is replaced) keeping links,
 * modes, owners, times and extended attributes, and counts the bytes of
 * regular files into the key COPY_FILE_SIZE of statusFile. 0, or -1 (0x0D00,
 * 0x0600 no source, 0x2900 no space, 0x2700 an entry cannot be examined,
 * 0x0A00/0x0B00 read or write failure); a failed copy is removed. */
int ShareDirCopy(const char *srcDir, const char *dstDir, const char *statusFile);
/* Counting copy of /volume<src>/<srcName> into /volume<dst>/@tmp/<dstName>;
 * the staging path goes into outPath. 0, or -1 (0x0D00 bad names or
 * volumes, 0x0100 outPath too small, 0x0200; ShareDirCopy's code, else
 * 0x3B00). */
int DirCp2NewVolTmp(int dstVolume, int srcVolume, const char *srcName, const char *dstName,
                    char *outPath, unsigned int outSize, const char *statusFile);
#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
