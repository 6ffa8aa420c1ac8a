/* AppleTalk and AFP settings: the server line of afpd.conf (transports,
 * authentication modules, the zone the server announces itself in), the
 * zones of atalkd.conf, and "runafp" and "AppleTalk" of "/etc/qavoinfo.conf". */
#ifndef QAVO_APPLE_H
#define QAVO_APPLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The AFP daemon's configuration; its first line is the server line. */
#define SZF_QAVO_AFPD_CONF "/usr/qavo/etc/afpd.conf"

/* AppleTalk's daemon configuration: one line per interface with its zones. */
#define SZF_QAVO_ATALKD_CONF "/usr/qavo/etc/atalkd.conf"

/* Modes of QAVOAppleGetZones. */
#define QAVO_APPLE_ZONE_SERVER 0x1  /* the server's zone (else the default) */
#define QAVO_APPLE_ZONE_ALL 0x2     /* every zone of the interface */
#define QAVO_APPLE_ZONE_DEFAULT 0x4 /* the interface's first zone */

/* AFP transports. */
#define QAVO_APPLE_TCP 0x1
#define QAVO_APPLE_DDP 0x2

/* The transports the server line enables (QAVO_APPLE_TCP, QAVO_APPLE_DDP),
 * or -1 (0x0400, 0x0900, 0x0500, or a server line of fewer than 3 tokens). */
int QAVOAppleQueryNetwork(void);
/* 1 when AFP runs, 0 when it is off or not running, -1 when "runafp"
 * cannot be read. */
int QAVOAppleTestAppleRunning(void);

/* Sets the zone of the server line ("" none); the host name (up to its
 * first dot) names the server. The caller holds lock_apple. 0, or -1
 * (0x0D00 a zone with a control character, blank or '"'). */
int QAVOAppleISetZoneValue(const char *szZone);
/* The zone of the server line, "" when it has none or it does not fit.
 * 0, or -1. */
int QAVOAppleIGetZoneValue(char *szBuf, int cbBuf);
/* Runs AppleTalk on an existing interface in a zone ("" none) and restarts
 * afpd, or AppleTalk when the interface changes. 0, or -1 (0x0D00 a bad
 * zone or no such interface; 0x0400; a start that does not exit 0). */
int QAVOAppleTalkSet(const char *szInterface, const char *szZone);
/* Zones of an interface (mode QAVO_APPLE_ZONE_*): pointers at the start of
 * buf, a null pointer after the last, the names packed from its end. Each
 * name needs its length + 1 + a pointer, the list one pointer more. The
 * number of zones, or -1 (0x0D00, 0x0400, 0x0100 buffer too small); a
 * size query (no buffer, size 0) sets *pNeeded. */
int QAVOAppleGetZones(int mode, int reserved, const char *szInterface, char **buf, int size,
                      int *pNeeded);
/* Compares the zones AppleTalk's interface is configured with to those the
 * network announces; on a difference the server's zone becomes "*" and
 * AppleTalk restarts. 1 consistent, 0 zone reset, -1 (nothing changed:
 * also when the zone query fails or takes longer than 10 s). */
int QAVOAppleZoneCheck(void);
/* Turns the transports of mask on (bits set) or off in the server line,
 * other lines kept; with apply, AFP is stopped when both are off, else
 * reloaded. 0, or -1 (0x0400, 0x0900, 0x0A00, a server line of fewer
 * than 5 tokens). */
int QAVOAppleNetwork(uint32_t bits, uint32_t mask, int apply);
/* 1 switches AFP on ("runafp" yes, restart), 0 off (no, stop). 0, or -1. */
int QAVOAppleEnableAppleNetwork(int on);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
