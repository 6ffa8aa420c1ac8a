/* Download-manager settings: the download_ keys of "/etc/qavoinfo.conf",
 * read into a record and written back (the scheduler daemon is then told to
 * reload). */
#ifndef QAVO_DOWNLOAD_H
#define QAVO_DOWNLOAD_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The schedule window when none is stored: start and end "hh:mm". */
#define QAVO_DOWNLOAD_WHEN_NONE "00:00-00:00"

typedef struct {
    int fDLEnabled;        /* "download_enabled": "yes" / "no" */
    char szDLTime[12];     /* "download_when": "hh:mm-hh:mm" */
    int iDLOrder;          /* "download_order": 1 "user", 0 "request" */
    int iULRate;           /* "download_ul_rate" */
    int iDLRate;           /* "download_dl_rate" */
    int iStartPort;        /* "download_start_port" */
    int iEndPort;          /* "download_end_port" */
    int fDLPortMapEnabled; /* "download_port_map_enabled": "yes" / "no" */
} QAVODOWNLOADINFO;

/* Fills the record from "/etc/qavoinfo.conf" (no lock). 0, or -1 (0x0D00
 * for NULL; the key/value reader's code; the fields read before the
 * failing key stay filled). */
int QAVODownloadInfoGet(QAVODOWNLOADINFO *pInfo);
/* Stores the record under the qavoinfo lock and, unless defaults are being
 * restored ("/tmp/doingdefault.chk"), tells a running scheduler to reload.
 * 0, or -1 (0x0D00 for NULL, the lock's code, the key/value writer's code,
 * 0x8100 the scheduler cannot be signalled; a failed unlock gives 0x0500). */
int QAVODownloadInfoSet(const QAVODOWNLOADINFO *pInfo);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
