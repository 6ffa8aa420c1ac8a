/* Windows domain membership: the domain settings of smb.conf and
 * "/etc/qavoinfo.conf", the join account and state files, winbindd and the
 * domain user and group lists. */
#ifndef QAVO_WINDOMAIN_H
#define QAVO_WINDOMAIN_H

#include <stdint.h>

#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The Samba configuration of the appliance. */
#define SZF_SMB_CONF "/usr/qavo/etc/smb.conf"

/* Domain state files. */
#define SZF_WIN_WORKGROUP "/usr/qavo/etc/private/workgroup"
#define SZF_WIN_DOMACC "/usr/qavo/etc/private/domacc.dat"
#define SZF_WIN_PDC_IP "/usr/qavo/etc/private/pdc_ip"
#define SZF_WIN_KDC_IP "/usr/qavo/etc/private/kdc_ip"
#define SZF_WIN_ADSINFO "/usr/qavo/etc/private/adsinfo"
#define SZF_WIN_DOMAIN_USER "/usr/qavo/etc/private/domain_user"
#define SZF_WIN_DOMAIN_GROUP "/usr/qavo/etc/private/domain_group"
#define SZF_WIN_DOMAIN_GROUP_MEMBER "/usr/qavo/etc/private/domain_group_member"
#define SZF_WIN_STATE "/var/log/winlock.state"
#define SZF_KRB5_CONF "/etc/krb5.conf"
#define SZF_NSSWITCH "/etc/nsswitch.conf"
#define SZF_NSSWITCH_DOMAIN "/etc/nsswitch.conf.domain"
#define SZF_NSSWITCH_WORKGROUP "/etc/nsswitch.conf.workgroup"

/* Join types of QAVOWINJOIN. */
#define QAVO_WINJOIN_WORKGROUP 0
#define QAVO_WINJOIN_DOMAIN 1

/* A join request. */
typedef struct _tag_QAVOWINJOIN {
    int32_t type;     /* QAVO_WINJOIN_WORKGROUP or QAVO_WINJOIN_DOMAIN */
    char *szName;     /* workgroup, domain or realm */
    char *szUser;     /* the join account */
    char *szPassword; /* its password */
    char *szKDC;      /* KDC address, NULL when the controllers are to be looked up */
} QAVOWINJOIN;

/* The saved [global] record of WINISmbConfSet: "security" at byte 0,
 * "realm" at byte 32, "workgroup" at byte 560, each NUL-terminated within
 * its field. */
#define QAVO_WINSAVED_SECURITY 0
#define QAVO_WINSAVED_REALM 32
#define QAVO_WINSAVED_WORKGROUP 560
#define QAVO_WINSAVED_SIZE 624

/* Account kinds of IsDomainUG. */
#define QAVO_ACCOUNT_LOCAL 1
#define QAVO_ACCOUNT_DOMAIN 2

/* The realm (security "ads") or the workgroup of smb.conf's [global] section
 * into buf (cut to size - 1 characters), and whether the appliance is in a
 * domain (security "domain" or "ads"). 0 / -1 (0x0D00, 0x0200; the section
 * reader's code). */
int WINIQuery1(char *buf, int size, int *isDomain);
/* 1 a local account, 2 a domain account, -1 when the mode cannot be read
 * (0x0D00 for NULL; WINIQuery1's code). */
int IsDomainUG(const char *name);

/* 1 when smb.conf's "security" is "ads", else 0. */
int BlWINIIsADS(void);
/* The workgroup of the workgroup file into buf (at most size - 1
 * characters). 0, or -1 (0x0D00, 0x8000 missing or empty). */
int WINIReadADSWorkgroup(char *buf, int size);
/* Tests the membership with net's testjoin when "domainjoined" is "yes".
 * 0 a member, -1 not joined or the test fails. */
int WINITestJoin(int ads);
/* Rewrites smb.conf's [global] for a join request (security, realm,
 * workgroup) under the smb.conf lock. 0 / -1 (0x0D00, the lock's code,
 * 0x2000 no [global] section, 0x0500; the section writer's code). */
int ErrWINISmbConfModify1(const QAVOWINJOIN *req, int ads);
/* Puts security, realm and workgroup of a saved record back into smb.conf.
 * 1 done, 0 nothing asked (doIt 0), -1 (as ErrWINISmbConfModify1, 0x0200). */
int WINISmbConfSet(int doIt, const char *saved);
/* Starts (1) or stops (0) winbindd and lays the matching nsswitch.conf
 * template over "/etc/nsswitch.conf". 0 after a start, the number of
 * processes stopped after a stop, -1 (0x2A00 the template or the daemon's
 * start fails; the process search's code). */
int QAVOWinWinbindd(int start);
/* Sets "runsamba" and starts (1) or stops (0) the SMB service. 1 / -1 (the
 * lock's or the key writer's code, 0x0500; the service switch's code). */
int WINISmbServiceSet(int on);
/* Stores the join account of a request (mode 0600). 0 / -1 (0x0D00,
 * 0x0900, 0x0B00). */
int WINISetAccount(const QAVOWINJOIN *req);
/* Points the request's user and password at the stored account (one
 * buffer of the process, overwritten by the next call). 0 / -1 (0x0D00,
 * 0x0900, 0x0A00). */
int WINIGetAccount(QAVOWINJOIN *req);
/* The valid addresses of "pdc_ip" / "kdc_ip" joined with ",", as many whole
 * ones as fit. 1 / -1 (0x0D00, 0x0900, 0x2000 none, 0x0100 when not even
 * the first fits, 0x0200). */
int QAVOWinIGetPDCIP(char *buf, int size);
int QAVOWinIGetKDCIP(char *buf, int size);
/* Writes "/etc/krb5.conf" for the request's realm. 1 / -1 (0x0D00, 0x1000
 * a KDC that is no address, 0x0900, 0x0200; the address reader's code). */
int QAVOWinICreateKrb5Conf(const QAVOWINJOIN *req);
/* Refreshes the domain user (0) or group (1) list. 0 / -1 (0x0D00, 0x2A00
 * the listing fails, 0x0B00 it cannot be stored; the old list stays). */
int QAVOWinGetDomainUG(int groups);
/* Leaves the ADS domain of the configuration file smbConf. 1 left, 0 not in
 * a domain, -1 (0x0D00, 0x0200, 0x2A00 the leave command fails). */
int QAVOWinDelMachineAcc(const QAVOWINJOIN *req, const char *smbConf);
/* The join state file: the last step and its message. 0 / -1 (0x0D00,
 * 0x0900, 0x0A00 (Get), 0x0200 (Set)). */
int ErrWINIState1Set(const char *step, const char *message);
int ErrWINIState1Get(char *step, int stepSize, char *message, int messageSize);
/* Key "kdc_ip" of "/etc/qavoinfo.conf". 0 / -1 (0x0D00; the key/value
 * reader's or writer's code). */
int QAVOWinConfKDCGet(char *buf, int size);
int QAVOWinConfKDCSet(const char *kdc);
/* Key "domainjoined": "yes" or "no". The key writer's result. */
int QAVOWinDomainJoinedSet(int joined);
/* Renames the names of a comma list through the user hash (plain names) and
 * the group hash (names beginning with '@'). A new string the caller frees,
 * or NULL. */
char *WINIMapNameList(const char *list, PSLIBSZHASH users, PSLIBSZHASH groups);
/* Rewrites the gid index line of "/etc/group" to gid. 1 / -1. */
int WINISetGidIndex(int gid);

/* Removes the file manager's cached share lists of domain users (the entries
 * of "/tmp/webfm" whose name holds "webfm.domain.validshare"). 0, or -1 when
 * the folder cannot be opened (0x0900). */
int QAVOWinWebfmCacheClear(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
