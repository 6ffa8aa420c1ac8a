/* The disk on the eSATA port: mounted under "/volumeSATA" as a data disk
 * ("satashare") or a backup disk ("satabackup"), formatted, brought on and
 * off line, and taking over the backup role. */
#ifndef QAVO_SATA_H
#define QAVO_SATA_H

#include <stdint.h>

#include "qavo_usbvol.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define SZF_SATATAB "/tmp/satatab"
#define SZD_SATA_MOUNT_ROOT "/volumeSATA"
#define SZK_ESATA_DISK_NAME "esatadiskname"
#define SZ_SATA_DESCRIPTION "External SATA Disk"

/* 1 when "/tmp/satatab" lists a disk, else 0. */
int BlQAVOSATAIsInTab(void);
/* 1 when "esatadiskname" is set and that device can be opened, else 0. */
int BlQAVOSATAIsDevPresent(void);
/* Error codes (SLIBErrGet): 0x0D00 a NULL or bad device name (not a plain
 * name of /dev) or another bad argument, 0x0200 out of memory; the others
 * are named below. Failures of the programs run (mount, sfdisk, mkfs) give
 * -1 with a syslog line. */

/* Fills the volume record of the eSATA disk: 0, -1 (0x0D00, 0x0900 the
 * device cannot be read, 0x0200). */
int QAVOSATAGetVolInfo(const char *device, QAVOUSBVOLINFO *info);
/* fsCode 0..3; isShare 1 data disk, 0 backup disk. 0, -1 (0x0D00, 0x2C00
 * the mount fails, 0x0200; the share export's code). */
int QAVOSATAVolMount(const char *device, int fsCode, int isShare, int doExport);
/* Unmounts the disk (flag 1 also removes a vfat volume's AFP database) and
 * drops its share: 0 (also when it was not mounted), -1 (0x0D00, 0x0200; the
 * share removal's or service reload's code). */
int QAVOSATAVolUnMount(const char *device, int flag);
/* Repartitions, formats (fsCode 0..2) and mounts the disk as a data (1) or
 * backup (0) disk: 0, -1 (0x0D00, 0x0400 the USB map lock; the steps'
 * codes). */
int QAVOSATAVolInit(const char *device, int fsCode, int isShare);
/* Brings the disk on line as a data disk (the first file system that
 * mounts), takes it off line, or brings a labelled disk on line as a
 * backup disk: 0, -1 (0x0D00, 0x0400 / 0x0500 the USB map lock; the mount's
 * or unmount's code). */
int QAVOSATAMount(const char *device);
int QAVOSATAUnMount(const char *device);
int QAVOSATAHotPlugIn(const char *device, const uint8_t label[512], int fsCode);
/* Lets the eSATA disk take over the backup role from leaving: the result of
 * unmounting leaving (0 when it was not mounted, or nothing was done); the
 * take-over itself shows only in the log and the shared backup status. */
int QAVOSATASetAlternativeBkpDisk(const char *leaving);
/* 0 when "supportSATA" is exactly "yes", else 1. */
int QAVOSATACheckSupport(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
