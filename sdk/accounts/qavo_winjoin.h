/* Joining a Windows workgroup, an NT-style domain or an Active Directory
 * domain. Each step reports in the join state file (ErrWINIState1Set). */
#ifndef QAVO_WINJOIN_H
#define QAVO_WINJOIN_H

#include "qavo_windomain.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The temporary Samba configuration of one join or listing. */
#define SZF_SMB_ADS "/usr/qavo/etc/smb.ads"

/* The whole join: 0, or -1 with the files of before the join back in place
 * (0x0D00, 0x0200; the failing step's code). */
int QAVOWinJoin1(const QAVOWINJOIN *req);
/* Net's join command and the check of its output. 0 / -1 (0x0D00, 0x0200;
 * a refused join sets no code and is reported in the state file). */
int WINICheckAndJoinDomain(const QAVOWINJOIN *req, int ads);
/* Looks up the domain's LDAP servers into "kdc_ip". 1 found, 0 not. */
int QAVOWinISearchLDAP(const char *domain);
/* Looks up the domain controllers into "pdc_ip". 1 found, 0 not. */
int QAVOWinISearchDC(const char *name);
/* The domain's workgroup from a controller's name table into buf and the
 * workgroup file. 0 / -1 (0x0D00, 0x0200; no workgroup found sets no code). */
int WINIWorkgroup(char *buf, int size, const char *address);
/* Sets the system and hardware clocks from the domain's "Server_time".
 * 0 / -1 (0x0D00 no time or one before 2000, 0x2A00 the system clock
 * cannot be set; the hardware clock's code). */
int WinIAdjustTime(void);
/* Writes the domain user and group lists. The second argument is not read.
 * 0 / -1 (0x0D00, 0x0200; a listing that fails: 0x8000 for ADS, else by
 * net's status: 1 0x1100, 2 0x1F00 users or 0x1900 groups, other 0x8000). */
int WINIGetNTData(const QAVOWINJOIN *req, int reserved, int ads);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
