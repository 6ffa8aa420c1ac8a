/* The on-line USB backup disk: which labelled disk holds the role when
 * disks arrive and leave, stopping a backup whose disk is pulled, and the
 * small status operations of the backup program and the web pages. */
#ifndef QAVO_USBBKPDISK_H
#define QAVO_USBBKPDISK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The backup program's process id (decimal text). */
#define SZF_USBBKP_PID "/var/run/qavousbbkp.pid"

/* A disk with a valid backup label arrived / a disk was pulled (isSata: the
 * eSATA disk) / the leaving disk hands the backup role to another labelled
 * disk: 0, -1 (failures are logged; 0x0D00 for bad arguments). */
int USBBKPHotPlugIn(const char *device, const char *usbPath, const char *guid,
                    const uint8_t label[512], int fsCode, int preset);
int USBBKPHotPullOutEx(const char *device, int isSata);
int USBBKPHotPullOut(const char *device);
int USBBKPSetAlternativeBkpDisk(const char *leaving);
/* SIGUSR1 when flag is not 0, else SIGUSR2. */
int USBBKPCancelTask(int flag);
int USBBKPIClearStatus(uint32_t bits);
int USBBKPChangeStatus(const char *device, int on);
int USBBKPCleanStatus(const char *device);
/* 1 / 0 / -1. */
int USBBKPIsBackingUp(const char *device);
int USBBKPSetFormatting(const char *device, int on);
/* 1 and the device name (size >= 8) when a disk is on line, 0, -1. */
int USBBKPIsAnyBackupDiskOnLine(char *buf, int size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
