/* AppleTalk and AFP settings. */
#ifndef QAVO_APPLE_H
#define QAVO_APPLE_H

#ifdef __cplusplus
extern "C" {
#endif

/* The AFP daemon's configuration; its first line is the server line. */
#define SZF_QAVO_AFPD_CONF "/usr/qavo/etc/afpd.conf"

/* AFP transports. */
#define QAVO_APPLE_TCP 0x1
#define QAVO_APPLE_DDP 0x2

/* The transports the server line enables (QAVO_APPLE_TCP, QAVO_APPLE_DDP),
 * or -1 (0x0400, 0x0900, 0x0500, or a server line of fewer than 3 tokens). */
int QAVOAppleQueryNetwork(void);
/* 1 when AFP runs, 0 when it is off or not running, -1 when "runafp"
 * cannot be read. */
int QAVOAppleTestAppleRunning(void);

#ifdef __cplusplus
}
#endif

#endif
