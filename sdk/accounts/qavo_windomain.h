/* Windows domain membership. */
#ifndef QAVO_WINDOMAIN_H
#define QAVO_WINDOMAIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* The Samba configuration of the appliance. */
#define SZF_SMB_CONF "/usr/qavo/etc/smb.conf"

/* Account kinds of IsDomainUG. */
#define QAVO_ACCOUNT_LOCAL 1
#define QAVO_ACCOUNT_DOMAIN 2

/* The realm (security "ads") or the workgroup of smb.conf's [global] section
 * into buf (cut to size - 1 characters), and whether the appliance is in a
 * domain (security "domain" or "ads"). 0 / -1. */
int WINIQuery1(char *buf, int size, int *isDomain);
/* 1 a local account, 2 a domain account, -1 when the mode cannot be read. */
int IsDomainUG(const char *name);

/* Removes the file manager's cached share lists of domain users (the entries
 * of "/tmp/webfm" whose name holds "webfm.domain.validshare"). 0, or -1 when
 * the folder cannot be opened. */
int QAVOWinWebfmCacheClear(void);

#ifdef __cplusplus
}
#endif

#endif
