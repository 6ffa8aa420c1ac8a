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
 * disk: 0, -1 (failures are logged; 0x0D00 for bad arguments, 0x0400 /
 * 0x0500 the USB map lock; the mount's or status writer's code). */
int USBBKPHotPlugIn(const char *device, const char *usbPath, const char *guid,
                    const uint8_t label[512], int fsCode, int preset);
int USBBKPHotPullOutEx(const char *device, int isSata);
int USBBKPHotPullOut(const char *device);
int USBBKPSetAlternativeBkpDisk(const char *leaving);
/* The small status operations set no code of their own but 0x0D00 where
 * named; -1 passes on the shared backup record's code (QAVOUSBGetBackupInfo,
 * QAVOUSBSetBackupInfoEx). */
/* Sends the backup program SIGUSR1 when flag is not 0, else SIGUSR2; with
 * no program running the backing-up bit is cleared instead: 0, -1 (an
 * unreadable or bad pid file, a failed kill). */
int USBBKPCancelTask(int flag);
/* Clears bits of the status: 0, -1. */
int USBBKPIClearStatus(uint32_t bits);
/* Puts the labelled device on line (on) or off line: 0 (also when there
 * is nothing to change), -1 (0x0D00 for NULL). */
int USBBKPChangeStatus(const char *device, int on);
/* Takes the device off line: 0, -1. */
int USBBKPCleanStatus(const char *device);
/* 1 when the device is the on-line backup disk and backing up, else 0; -1
 * when the record cannot be read. */
int USBBKPIsBackingUp(const char *device);
/* Sets (on) or clears the formatting bit of the on-line device: 0 (also
 * when it is not on line, or backing up), -1. */
int USBBKPSetFormatting(const char *device, int on);
/* 1 and the device name (size >= 8) when a disk is on line, 0, -1 (0x0D00,
 * 0x2A00 the record cannot be read). */
int USBBKPIsAnyBackupDiskOnLine(char *buf, int size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
