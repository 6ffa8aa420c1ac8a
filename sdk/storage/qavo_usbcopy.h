/* USB copy: the destination share of the front port's copy button, the
 * disk at the front port, the copy trigger after a mount and the running
 * copy program. */
#ifndef QAVO_USBCOPY_H
#define QAVO_USBCOPY_H

#include "qavo_usbdev.h"
#include "qavo_usbvol.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Keys: the model's front copy port (defaults file) and the destination. */
#define SZK_USBCOPY "usbcopy"
#define SZK_USBCOPY_FOLDER "usbcopyfolder"
/* The default destination share. */
#define SZK_USBCOPY_FOLDER_DEFAULT "public"
/* Pending copy disk and its share path. */
#define SZF_USBDISK_APPLYING "/tmp/usbdiskapplying"
/* The front-panel daemon's pid file and its two signals. */
#define SZF_PANELD_PID "/var/run/paneld.pid"
#define USBCOPY_SIG_CAN_START 10
#define USBCOPY_SIG_CANNOT_START 12
/* The USB copy program's pid file (SIGUSR2 cancels its copy). */
#define SZF_USBCOPY_PID "/var/run/qavousbcopy.pid"
/* Keys of the pending copy in "/tmp/usbdiskapplying". */
#define SZK_USBCOPY_DEV "usbcopydev"
#define SZK_USBCOPY_PATH "usbcopypath"
/* Event-log entries of the copy class. */
#define USBCOPY_EVENT_NO_DEST 0x12600001
#define USBCOPY_EVENT_DEST_UNREADABLE 0x1260001B
#define USBCOPY_EVENT_NO_SPACE 0x1250001A

/* 1 when the device sits at the front copy port (port 99) of a model that
 * has one, 0 when not, -1 for NULL. */
int USBCOPYIsDeviceAtFrontPort(const QAVOUSB *dev);
/* 1 while the copy program runs, 0 when it has gone, -1 without a valid
 * process id (a pid file must name a process above 1) or on error. */
int USBCOPYIsTaskRunning(void);
/* Sends SIGUSR2 to the running copy program. 0 (also when none runs), -1. */
int USBCOPYCancelTask(void);
/* After a front-port disk was mounted: records it as the pending copy and
 * tells "paneld" (10) when its data fits the destination. 0, or -1. */
int USBCOPYStartIfFits(const char *device, const QAVOUSBVOLINFO *vol);

/* Sends sig (10 or 12) to "paneld" when "usbcopy" is "yes". 0, or -1. */
int USBCOPYSignalPaneld(int sig);
/* 1 and the name (as the share list spells it) in buf when a share "public"
 * exists without regard to case, 0 when none, -1 (0x9700 the share list
 * cannot be read). */
int CheckUsbDefaultFolderExist(char *buf, unsigned int size);
/* Stores the destination (an existing share, or empty for none) and tells
 * "paneld" whether a pending copy can start. 0, or -1 (0x0D00). */
int USBCopySetDestFolder(const char *folder);
/* Sets the destination to "public" when it exists, else to none. 0, or -1. */
int SetUSBCopyFolderToDefault(void);
/* The destination share, repaired first when empty or no longer a share.
 * 0, or -1 (0x0D00, 0x0200). */
int USBCopyGetDestFolder(char *buf, int size);
/* After the share deleted was removed: resets the destination current when
 * it named that share. 1 reset, 0 not affected, -1. */
int USBCopyResetShareFolder(const char *current, const char *deleted);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
