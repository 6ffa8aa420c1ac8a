/* USB copy: the destination share of the front port's copy button. */
#ifndef QAVO_USBCOPY_H
#define QAVO_USBCOPY_H

#ifdef __cplusplus
extern "C" {
#endif

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

/* Sends sig (10 or 12) to "paneld" when "usbcopy" is "yes". 0, or -1. */
int USBCOPYSignalPaneld(int sig);
/* 1 and the name (as the share list spells it) in buf when a share "public"
 * exists without regard to case, 0 when none, -1. */
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

#ifdef __cplusplus
}
#endif

#endif
