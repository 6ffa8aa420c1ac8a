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
/* Fills the volume record of the eSATA disk: 0, -1. */
int QAVOSATAGetVolInfo(const char *device, QAVOUSBVOLINFO *info);
/* fsCode 0..3; isShare 1 data disk, 0 backup disk. */
int QAVOSATAVolMount(const char *device, int fsCode, int isShare, int doExport);
int QAVOSATAVolUnMount(const char *device, int flag);
int QAVOSATAVolInit(const char *device, int fsCode, int isShare);
int QAVOSATAMount(const char *device);
int QAVOSATAUnMount(const char *device);
int QAVOSATAHotPlugIn(const char *device, const uint8_t label[512], int fsCode);
int QAVOSATASetAlternativeBkpDisk(const char *leaving);
/* 0 when "supportSATA" is exactly "yes", else 1. */
int QAVOSATACheckSupport(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
