/* Moving the built-in services' data between volumes. */
#ifndef QAVO_SERVICEMOVE_H
#define QAVO_SERVICEMOVE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Whether the folder "/volume<src>/[<parent>/]<folder>" fits into the free
 * space of "/volume<dst>": 1 it does not fit, 0 it fits, -1 on bad
 * parameters or when a size cannot be read. */
int CheckTargetFolderSize(const char *folder, const char *parent, int srcVolume, int dstVolume);

#ifdef __cplusplus
}
#endif

#endif
