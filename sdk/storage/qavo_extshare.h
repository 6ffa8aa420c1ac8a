/* Shares of external volumes: the one share of a mounted USB or eSATA
 * volume, created with the access lists remembered per disk in
 * "/usr/qavo/etc/share_right.map"; removal of all external shares; and the
 * AFP database folder of an external volume. */
#ifndef QAVO_EXTSHARE_H
#define QAVO_EXTSHARE_H

#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Failures below also set 0x0200 when memory runs out. */

/* The GUID that owns the eSATA disk's rights section. */
#define SZV_SATA_GUID "HAKULAMATATA"
/* Format of the rights map's key lines. */
#define SZF_SHARE_RIGHT_FORMAT "\t%s=%s\n"

/* Creates the share from exactly these values; comment NULL: the disk's
 * manufacturer, or "USB Disk". 0, or -1 (0x0D00). */
int QAVOIUSBVolExportEx(const char *device, const char *shareName, const char *path, int type,
                        const char *writeList, const char *readList, const char *denyList,
                        const char *comment);
/* Creates the share with the rights remembered for the disk. 0, or -1 (the
 * rights map's or QAVOIUSBVolExportEx's code). */
int QAVOIUSBVolExport(const char *device, const char *shareName, const char *path, int isSata);
/* Finds the disk's rights section (or writes a fresh one) and leaves its keys
 * in *rights. 0, or -1 (0x0D00; the rights map's reader's or writer's
 * code). */
int QAVOIUSBShareRightGet(const char *device, const char *shareName, const char *sharePath,
                          PSLIBSZHASH *rights, int isSata);
/* Deletes every USB and eSATA share (their folders stay). The deletion's
 * result, 0 without external shares, -1 (the share listing's or the
 * deletion's code). */
int QAVOIUSBShareRemoveAll(void);
/* Removes the AFP database folder of the volume that holds sharePath
 * (fsCode: QAVOFSTYPE). 0, or -1 (no code of its own). */
int QAVOIMacRemoveDb(const char *sharePath, int fsCode, int isSata);
/* The AFP database path of an item inside an external volume, in a static
 * buffer the next call overwrites; NULL when path has no second slash.
 * Cuts path at its second slash. */
const char *QAVOIMacDbPathGet(char *path, int isUSBvfat);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
