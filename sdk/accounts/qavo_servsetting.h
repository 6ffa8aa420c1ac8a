/* Settings of the network services that are not shares: the FTP server's
 * options, the PPPoE account and connection, the UPnP port-mapping and
 * dynamic-DNS daemons, telnet, the web server's ports and HTTPS switches,
 * the photo, web and media services' switches, and a user's (or share's)
 * open SMB connections. */
#ifndef QAVO_SERVSETTING_H
#define QAVO_SERVSETTING_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Actions on a daemon. */
enum {
    QAVO_SERV_STOP = 1,    /* only a running daemon */
    QAVO_SERV_START = 2,   /* the script's "restart" */
    QAVO_SERV_RESTART = 3, /* the script's "restart" */
    QAVO_SERV_RELOAD = 4   /* SIGHUP, only a running daemon */
};

/* The FTP server's options, keys of "/etc/qavoinfo.conf". */
typedef struct _tag_QAVOFTPCONF {
    char szPort[8];       /* "ftpport": control port as text; "21" when empty */
    int fExtIP;           /* "ftp_trans_ext_ip": external address in passive mode */
    int fFlowControl;     /* "ftpflowcontrol": rate limits on */
    int nMaxUploadRate;   /* "ftpmaxuploadrate" */
    int nMaxDownloadRate; /* "ftpmaxdownloadrate" */
    int fAnonymousLogin;  /* "ftpanonymouslogin" */
    int fIPAutoDeny;      /* "ftpipautodeny" */
    int nLowPort;         /* "ftplowport": first passive port */
    int nHighPort;        /* "ftphighport": last passive port */
    int fOnlySSL;         /* "ftponlyssl" */
} QAVOFTPCONF;

/* The PPPoE account: "/etc/ppp/pap-secrets" and USER of "/etc/ppp/pppoe.conf". */
typedef struct _tag_QAVOPPPOECONF {
    char szUser[256];
    char szPassword[32]; /* at most 31 characters */
} QAVOPPPOECONF;

/* Exit status of the PPPoE start script that QAVOPPPoEService hands back
 * as a raw wait status (19 x 256). */
#define QAVO_PPPOE_START_STATUS 19

/* 0, or -1 (0x0D00 NULL; a key that cannot be read). Absent keys read as
 * 0, "no" or empty; flags are 1 only for "yes" exactly. */
int QAVOFTPConfGet(QAVOFTPCONF *pConf);
/* Writes every FTP key in one rewrite. 0, or -1 (0x0D00: a port that is
 * not a number from 1 to 65535, passive ports above 65535 or low above
 * high, a negative rate; 0x0400 lock). */
int QAVOFTPConfSet(QAVOFTPCONF conf);
/* 1 "yes" and the script's start, 0 "no" and its stop: 0, or -1 (0x0D00
 * for another value; a failed write; a script that does not exit 0). */
int QAVOFTPIService(int on);
int QAVOMySQLIService(int on);
int QAVOMediaService(int on);
/* 1 when FTP is on and an ftpd runs, 0 when not, -1 on failure. */
int QAVOFTPTestRunning(void);
/* 1 when "runtelnet" is "yes" (any case), 0 when not, -1 (lock). */
int QAVOTelnetIsEnabled(void);
/* Switches telnet (1 on, 0 off) and hangs up inetd. 0, or -1. */
int QAVOTelnetService(int on);
/* 1 when "httpredirect" is "yes" (any case), 0 when not, -1 (lock). */
int QAVOHttpRedirectGet(void);
/* Switches (1 "yes", 0 "no"). 0, or -1 (0x0D00 for another value). */
int QAVOHttpRedirectSet(int on);
int QAVOHttpsService(int on);
int QAVOHttpsRedirectSet(int on);
int QAVOPhotoService(int on);
int QAVOAlbumDefRightSet(int fPublic);
int QAVOWebService(int on);
/* A code-page setting number ("8", "437", ... "2950"). 0, or -1 (0x0D00). */
int QAVOMediaCodepageSet(const char *szValue);
/* A language code of the appliance ("enu", "ger", "jpn", ...). 0, or -1
 * (0x0D00). */
int QAVOMediaLanguageSet(const char *szValue);
/* A decimal port from 1 to 65535. 0, or -1 (0x0D00). */
int QAVOHttpPortSet(const char *szPort);
/* "addport": "yes" when on is not 0. 0, or -1. */
int QAVOHttpConfigSet(int on);
/* The account (empty without one); the password is read as pppd reads its
 * word. 0, or -1. */
int QAVOPPPoEConfGet(QAVOPPPOECONF *pConf);
/* Stores the account; an empty user with an empty password clears it. The
 * password is written as one pppd word (in double quotes, " and \ escaped,
 * when it holds a blank, a quote, a backslash or "#"). The secrets are
 * replaced first and the user after them; when the user cannot be written
 * the old secrets are put back. 0, or -1 (0x0D00: a control character or
 * '*', in the user also a blank or a shell metacharacter, a password over 31
 * characters, with a blank at either end or starting with "@", a user
 * without a password or the reverse; 0x0B00 a failed write), nothing
 * changed then. */
int QAVOPPPoEConfSet(QAVOPPPOECONF conf);
/* 1 connected, 0 not (a stale "pppoe_enable" is set to "no"), -1. */
int QAVOPPPoEStatusGet(void);
/* 1 connects, 0 disconnects: 0; the raw status 19 x 256 when the start
 * script exits 19; -1. */
int QAVOPPPoEService(int on);

/* 1 done (or an action outside 1-4), 0 the daemon does not run, -1 failed. */
int QAVOUPnPService(int action);
int QAVODDNSService(int action);

/* The process ids of the SMB connections of a user (byShare 0) or a share
 * (1), comma-separated. 0, or -1 (0x0D00; 0x0100 when the next id does not
 * fit: buf holds the whole ids before it). */
int QAVOGetUserConnOfSmb(const char *szName, int byShare, char *szBuf, int cbBuf);
/* Ends the connections of a comma-separated list of ids: each id that is a
 * whole decimal above 1 naming a running smbd gets SIGTERM. The number of
 * entries, or -1. */
int QAVOKillSmbConn(char *szPidList);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
