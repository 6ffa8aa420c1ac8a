/* The USB printer: the [printers] share of smb.conf, the printer's IEEE 1284
 * device ID and its PostScript test, the stored printer drivers and spool,
 * and the start of the AppleTalk printer daemon for a PostScript printer. */
#ifndef QAVO_PRINTER_H
#define QAVO_PRINTER_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The share's printer node. */
#define SZF_PRINTER_DEV "/dev/usb/lp0"
#define SZ_PRINTER_NAME "lp0"
/* Where the device ID of the last printer seen is kept ("printer_id"). */
#define SZF_USB_INFO "/usr/qavo/etc/usb.info"
#define SZK_PRINTER_ID "printer_id"
#define SZ_PRINTER_SECTION "printers"
#define SZF_PRINTER_SPOOL "/volume1/@spool"
/* The printer class request reading the device ID, and the size of its
 * answer (two length bytes, then the text). */
#define QAVO_LPIOC_GET_DEVICE_ID 0x8FFF5001u
#define QAVO_PRINTER_ID_MAX 4095
/* The appliance kernel's printer requests (4-byte argument). */
#define QAVO_LPIOC_DEVSTATE_ON 0x40005007u
#define QAVO_LPIOC_DEVSTATE_OFF 0x40005008u
/* Entries of a complete [printers] section. */
#define QAVO_PRINTER_SECTION_KEYS 15

/* on 1 adds the printer share (device = usbPath recorded in "/tmp/usbtab"
 * when a device is given), on 0 removes it. 1 changed, 0 unchanged, -1
 * (0x0D00 bad arguments or a device not in "/tmp/usbtab", 0x0400 / 0x0500
 * the smb.conf lock; the section writer's code). */
int QAVOPrinterEnableExt(int on, const char *device, const char *usbPath);
/* 1 when [printers] holds exactly 15 entries, else 0 (0x0200 when out of
 * memory). */
int BlQAVOPrinterSectionIsValid(void);
/* The appliance kernel's printer state request on "/dev/usb/lp0": the
 * request's result, or -1 (0x0900 the node cannot be opened, 0x8100 the
 * request fails). */
int QAVOPrinterISetDevState(int flag);
/* Drops the Windows printer drivers stored for the previous printer. 0. */
int QAVOPrinterClearDriverTdb(void);
/* Empties the print queue and the spool folder. 0, or -1 (0x8100). */
int QAVOPrinterCleanSpool(void);
/* The device ID text of a printer ("lp0"), cut to size - 1 characters and
 * terminated: 0, the ID's length as the printer gives it (the text's length
 * + 2) when it does not fit, or -1 (0x0D00 bad arguments; the ID cannot be
 * read: the device query's code). */
int QAVOPrinterGetID(const char *device, char *buf, int size);
/* 1 when the printer's command languages name PostScript, 0 when not, -1
 * (0x0D00 for NULL; the ID cannot be read). */
int QAVOPrinterSupportPostScript(const char *device);
/* Starts the AppleTalk printer daemon for a PostScript printer, or leaves a
 * marker for the AppleTalk start-up to do it. */
void QAVOStartupPapd(const char *device);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
