/* SMB service settings: the workgroup and the WINS server of the [global]
 * section of smb.conf, kept in step with "runsamba" and "wins" of
 * "/etc/qavoinfo.conf". */
#ifndef QAVO_SMB_H
#define QAVO_SMB_H

#include <stdint.h>

#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The only record type of QAVOWinGetConf and QAVOWinSetConf. */
#define QAVO_WINCONF_TYPE 1

/* The workgroup and WINS server in a caller's buffer: the record, then the
 * workgroup string right behind it. The size needed is
 * sizeof(QAVOWINCONF) + the workgroup's length + 1. */
typedef struct _tag_QAVOWINCONF {
    char *szWorkgroup; /* the string behind the record ("" when smb.conf has none) */
    uint32_t ulWins;   /* WINS server, network byte order; 0 = none */
} QAVOWINCONF;

/* 1 when "runsamba" of "/etc/qavoinfo.conf" is "yes" (any case), else 0
 * (also when the qavoinfo lock cannot be taken). */
int BlQAVOSambaIsEnabled(void);
/* Fills buf with the record when size allows; *pNeeded is the size needed.
 * 1 filled, 0 a size query or a buffer too small, -1 (0x0D00; lock, read). */
int QAVOWinGetConf(int type, void *buf, int size, int *pNeeded);
/* Sets the workgroup (when given and different ignoring case) and the WINS
 * server; switches SMB on and restarts it after a change. 1, or -1 (0x0D00:
 * a workgroup the validator refuses, WINS 255.255.255.255; 0x0200; the
 * lock's, the settings writer's or the restart's code). */
int QAVOWinSetConf(int type, const QAVOWINCONF *pConf);
/* Chooses the WINS server: newWins by hand, empty for DHCP's or none.
 * 3 set by hand, 2 set from DHCP, 1 cleared, 0 unchanged, -1 (0x0D00: a
 * new server that is no dotted quad; "runsamba" or "wins" absent; 0x0400,
 * 0x0200). */
int QAVOWinSetWINS(const char *szCurrentWins, const char *szNewWins, int restart);
/* QAVOWinSetWINS with the present server as both values (0x0400 when the
 * settings cannot be locked for reading). */
int QAVOWinRefreshWINS(int restart);
/* The WINS servers of eth0's DHCP lease. 1 found, 0 none (or a static
 * address), -1 (0x0D00, 0x0A00). */
int QAVOWinGetDHCPWins(char *szBuf, int cbBuf);
/* Drops every key that begins with ';' or '#'. 0, or -1 (0x0D00, 0x0200). */
int SDKIHashRemoveComments(PSLIBSZHASH pshSection);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
