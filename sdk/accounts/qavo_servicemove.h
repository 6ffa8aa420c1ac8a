/* Moving the built-in services' data between volumes. Failures also set
 * 0x0200 when memory runs out. */
#ifndef QAVO_SERVICEMOVE_H
#define QAVO_SERVICEMOVE_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Whether the folder "/volume<src>/[<parent>/]<folder>" fits into the free
 * space of "/volume<dst>": 1 it does not fit, 0 it fits, -1 on bad
 * parameters (0x0D00) or when a size cannot be read (no code). */
int CheckTargetFolderSize(const char *folder, const char *parent, int srcVolume, int dstVolume);
/* Removes the service's data folder when it is empty (a share-type
 * service's share goes with it when the share's own folder is empty or
 * missing too) and then its link. 1 removed, 0 nothing to do or the folder
 * holds data (nothing removed), -1 (0x8000 a folder cannot be read, nothing
 * removed; 0x0D00 bad id; 0x3900 removal failed; a share or link that cannot
 * be removed). 0xA300 (folder), 0x1400 (share) or 0x0700 (link) is left
 * when it was missing already. */
int QAVOServiceShareRemove(int id);
/* Puts the service's data on volume (1..4) and links it there: a hidden
 * folder or database folder is copied through the target's "@tmp", then
 * linked, then the old folder removed; the daemon using it (download
 * manager, MySQL, printer spool) is stopped around the copy when it ran.
 * A missing folder or share on the volume is prepared. 0, or -1 (0x0D00 bad
 * volume, id, or a share-type service asked to leave its share's volume;
 * 0x2500 size check failed or too little space; 0x3B00 copy failed; 0x2800
 * move from "@tmp" failed; 0x8300/0x8400 target not mounted or read-only;
 * 0x8100 the daemon would not stop; 0x3900 a stale target folder cannot be
 * cleared; the share writer's code). A failure leaves data, link and daemon
 * as they were. */
int QAVOServiceVolumeSet(int id, int volume);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
