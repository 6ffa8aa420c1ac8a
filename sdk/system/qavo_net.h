/* Network interface settings: DHCP or a static IPv4 address, netmask and
 * default gateway, name servers and search domains, the host name (with
 * "/etc/hosts" and the AFP server name), the address-conflict test, the DHCP
 * trial run and the MTU of "eth0". The network files are guarded by the host
 * lock (lock_host): readers shared, writers exclusive, 5 seconds. */
#ifndef QAVO_NET_H
#define QAVO_NET_H

#include <stdint.h>

#include "slib_netif.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_NET_SEARCH_MAX 6
#define QAVO_NET_DNS_MAX 3
#define QAVO_NET_CARD_MAX 8

/* The settings of one interface (caller's storage; every reader clears it). */
typedef struct {
    int bStatic;                          /* 1 static address, 0 DHCP */
    int blLink;                           /* 1 when the interface is running */
    char szIf[16];                        /* interface name, such as "eth0" */
    uint8_t mac[6];                       /* hardware address */
    char szIP[20];                        /* IPv4 address, dotted quad */
    char szMask[20];                      /* netmask, dotted quad */
    char szGateway[20];                   /* default gateway; empty = none */
    char search[QAVO_NET_SEARCH_MAX][96]; /* search domains; empty slot = none */
    char dns[QAVO_NET_DNS_MAX][16];       /* name servers; empty slot = none */
    char wins[16];                        /* first WINS server of smb.conf */
} QAVONETCARDINFO;

/* The link of "eth0". */
typedef struct {
    int32_t nSpeed;  /* Mb/s: 10, 100, or 1000 and above; -1 unknown; left
                        as the caller set it when the driver has no link query */
    int32_t nDuplex; /* 0 half, 1 full, -1 other */
    int32_t nMTU;    /* bytes; -1 when unreadable */
} QAVOETHINFO;

/* 1 when the interface file says BOOTPROTO=dhcp, else 0 (also on failure:
 * 0x0D00, 0x0200). A file without BOOTPROTO gains BOOTPROTO=static. */
int BlQAVOLnxIsDHCP(const char *szIf);
/* IPADDR of the DHCP info file or of the interface file. 0; -1 (buffer
 * emptied) when absent or on failure (0x0D00, 0x0200). */
int QAVOILnxGetIP(const char *szIf, char *szBuf, int cbBuf);
/* The default gateway of the routing table; an empty text without one. 0 / -1 (0x0D00, 0x0900,
 * 0x0A00, 0x0100 too small). */
int QAVOILnxGetGateway(char *szBuf, int cbBuf);
/* Name servers and search domains of "/etc/resolv.conf". 0 / -1 (0x0D00, 0x0900, 0x0A00, 0x0200).
 */
int QAVONetGetDNSDomain(QAVONETCARDINFO *pCard);
/* The host name up to its first dot into a buffer of at least 64 bytes:
 * 1 copied, 0 empty, -1 (0x0D00, 0x0400 the host lock, 0x8100). */
int QAVOLnxGetHostname(char *szBuf);
/* Puts the previous address, netmask and gateway back on the interface
 * after a failed DHCP change. 0 (also with nothing to put back) / -1 (0x0D00, 0x1000 a bad address,
 * 0x2A00 a command fails). */
int QAVOIRecoverIPSetting(const char *szIf, const QAVONETCARDINFO *pPrev);
/* 1 when another host answers at the address, 0 no conflict, -1 (0x0D00, 0x2A00 the test cannot
 * run). */
int QAVOIIpConflict(const char *szIf, const char *szAddress);
/* Removes GATEWAY of "/etc/sysconfig/network" and the default route: the
 * lines removed, 0 when none, -1. */
int QAVOILnxRemoveGateway(void);
/* Leaves an empty "/etc/resolv.conf". 0 / -1 (0x0E00, 0x2A00). */
int QAVOILnxRenewResolvConf(void);
/* The first item (up to the separator) of a key's value. The reader's count
 * (> 0), 0 when the key is absent (output untouched), -1 (0x0D00, 0x0200). */
int QAVOIGetKeyValueFirstItem(const char *szFile, const char *szKey, char chSep, char *szOut,
                              int cbOut);
/* The settings of a listed interface. 0 / -1 (0x0D00, 0x0200). */
int QAVOINetGetCardInfo(QAVONETCARDINFO *pCard, const SLIBNETIFINFO *pIf);
/* A DHCP trial lease for pCard->szIf, without configuring it. 0 / -1 (0x0D00, 0x0200, 0x2A00 the
 * DHCP client fails). */
int QAVOIGetDHCPTestNetInfo(QAVONETCARDINFO *pCard);
/* Interfaces that are up (at most 8), or -1. */
int QAVONetEnumCard(void);
/* The interface "eth<index>", or the one whose address is szAddress:
 * 1 found and filled, 0 not found, -1 (0x0D00, 0x0400). */
int QAVONetGetCard1(int index, const char *szAddress, QAVONETCARDINFO *pCard);
/* Host name (RFC 1123, at most 63 characters), "/etc/hosts" and the AFP
 * server name. 0 / -1 (0x0D00, 0x0400, 0x0200; the file writers' codes). */
int QAVOLnxSetHostname(const char *szName);
/* Writes "/etc/resolv.conf" from the name servers and search domains. 0 / -1 (0x0D00, 0x0B00,
 * 0x0200). */
int QAVONetSetDNSDomain(const QAVONETCARDINFO *pCard);
/* Applies new settings (DHCP or static); pPrev is what was in place, or
 * NULL. 0; -1 (0x0D00, 0x0400, 0x0200; the steps' codes); -2 (DHCP taken
 * but the interface file not written). */
int QAVONetSetCard1(const QAVONETCARDINFO *pNew, const QAVONETCARDINFO *pPrev);
/* MTU of "eth0" through ifconfig. 0 / -1 (0x0D00, 0x2A00). */
int QAVOISetIfMTU(const char *szMTU);
/* Stores MTUValue in "/etc/qavoinfo.conf". 0 / -1 (0x0D00; the key writer's code). */
int QAVOISaveMTUValue(const char *szMTU);
/* MTU of "eth0"; 0 when the query fails, -1 without a socket. */
int QAVOIGetIfMTU(void);
/* Speed, duplex and MTU of "eth0". 0 / -1 (0x0D00, 0x8100). */
int QAVOIGetEthInfo(QAVOETHINFO *pInfo);
/* Sets the MTU of "eth0" when its link runs at 1000 Mb/s or more and stores
 * it as MTUValue; at lower speeds only stores it. 0 / -1 (0x0D00; the steps' codes). */
int QAVONetSetMTUValue(const char *szMTU);
/* Puts the host name into the server line of "/usr/qavo/etc/afpd.conf";
 * nothing to do without the file or such a line. 0 / -1 (0x0D00, 0x0900, 0x0A00, 0x0B00, 0x2A00,
 * 0x0200). */
int APPLEISetServName(const char *szHostname);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
