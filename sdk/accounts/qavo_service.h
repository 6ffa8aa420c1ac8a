/* The built-in services (web server, photo album, network-backup target,
 * download manager, video and music servers, MySQL, printer spool): the
 * links in "/var/services" that place their data on a volume, their enable
 * keys, disabling them, the all-services stop and start, and PHP's
 * "register_globals". */
#ifndef QAVO_SERVICE_H
#define QAVO_SERVICE_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Operations that return -1 on failure also set 0x0200 when memory runs
 * out. */

/* The service numbers. */
typedef int SERVICE_ID;
#define SERVICE_WEB 1
#define SERVICE_PHOTO 2
#define SERVICE_NETBACKUP 3
#define SERVICE_DOWNLOAD 4
#define SERVICE_VIDEO 5
#define SERVICE_MUSIC 6
#define SERVICE_MYSQL 7
#define SERVICE_SPOOL 8
#define SERVICE_ID_MIN SERVICE_WEB
#define SERVICE_ID_MAX SERVICE_SPOOL

/* Where a service's data lives on volume N. */
#define SERVICE_SHARE_HIDDEN 0   /* "/volumeN/@<name>" */
#define SERVICE_SHARE_SHARE 1    /* the share "<name>": "/volumeN/<name>" */
#define SERVICE_SHARE_DATABASE 2 /* "/volumeN/@database/<name>" */

/* The folder of the links, and the size of a record's text fields (a link
 * target holds at most 51 characters). */
#define SZD_SERVICES "/var/services"
#define QAVO_SERVICE_TEXT_SIZE 52

/* Actions of QAVOServiceNetStatusSet. */
#define QAVO_SERVICE_NET_STOP 1
#define QAVO_SERVICE_NET_START 2

/* Modes of QAVOServiceGetAll. */
#define QAVO_SERVICE_LIST_ENABLED 0
#define QAVO_SERVICE_LIST_ALL 1

typedef struct {
    SERVICE_ID id;
    int volume;                            /* volume of the link's target; 0: no usable link */
    char szName[QAVO_SERVICE_TEXT_SIZE];   /* service name */
    char szLink[QAVO_SERVICE_TEXT_SIZE];   /* "/var/services/<link name>" */
    char szKey[QAVO_SERVICE_TEXT_SIZE];    /* enable key; empty for the printer spool */
    char szTarget[QAVO_SERVICE_TEXT_SIZE]; /* the link's target when it is a directory */
    int iShareType;                        /* SERVICE_SHARE_... */
    int fHasKey;                           /* 1 when the service has an enable key */
} QAVOSERVICE;

/* Fills the record from the service table and the link: 1 linked to a
 * directory, 0 not (volume 0), -1 (0x0D00 bad id or NULL record; the link
 * unreadable). */
int QAVOServiceInfoGet(int id, QAVOSERVICE *pService);
/* The volume of a link's target: N, 0 when there is no link (or one
 * outside a volume or too long for a record), -1 (0x0D00 NULL or empty path,
 * 0x8000 unreadable link). */
int QAVOServiceLinkVolumeGet(const char *szLinkPath);
/* 1 when the service's enable key is "yes" (any case), else 0. */
int QAVOServiceIsEnabled(int id);
/* The service ids, in order: mode 1 all, mode 0 the enabled ones (photo
 * also when video is on). *pCount holds the capacity of pIds on entry and
 * the number of ids on return; with pIds NULL (capacity 0) only the number
 * is made. 0, or -1 (0x0D00; ids beyond the capacity). */
int QAVOServiceGetAll(int *pIds, int *pCount, int mode);
/* The volume N of a share's folder, 0 when there is no such share, -1
 * (0x0D00 NULL or empty name, 0x6000 a folder outside the volumes). */
int QAVOServiceVolumeGetbyShare(const char *szShare);
/* The volume on which the service's data folder exists: N, 0 none, or -1
 * (0x0D00 for NULL or a record the service table does not know). */
int QAVOServiceVolumeFind(const QAVOSERVICE *pService);
/* QAVOServiceVolumeFind; when that finds none, the first writable volume,
 * else 0; -1 on failure. */
int QAVOServiceVolumeGetDefault(const QAVOSERVICE *pService);
/* The services whose data lies on the volume, as QAVOServiceGetAll lists
 * them. 0, or -1 (0x0D00). */
int QAVOServiceGetByVolume(int *pIds, int *pCount, int volume);
/* The id of a share-type service by name without regard to case ("web",
 * "photo", "NetBackup", "video", "music"); 0 for any other (0x0D00 for
 * NULL or empty). */
int QAVOServiceIdGetByShare(const char *szName);
/* Switches the service off (its enable keys "no"; the download manager an
 * all-zero record). 0, or -1 when a key cannot be written. */
int QAVOServiceDisable(int id);
/* Removes the service's link. 0, or -1 (0x0D00 bad id; 0x0700 when there
 * was no link, 0x8100 when it cannot be removed). */
int QAVOServiceLinkRemove(int id);
/* Disables and unlinks every service on the volume. 0 when each one is
 * disabled and has no link left, else -1 (0x0D00 bad volume; the failing
 * step's code; a link already gone is no failure). */
int QAVOServiceDisableByVolume(int volume);
/* Disables and unlinks all services. 0, or -1 when one cannot be disabled
 * (the later ones are left as they are; the failing step's code). */
int QAVOServiceDisableAll(void);
/* Links the service to its data on the volume: the share (type 1) or the
 * folder named share (types 0 and 2). 0, or -1 (0x0D00 bad volume or share
 * name, or a target longer than 51 characters; 0x2900 or 0x3C00 when
 * "/var/services" cannot be made; 0x0C00 when the link cannot be made). */
int QAVOServiceLinkSet(int id, const char *szShare, int volume);
/* Stops (1) or starts (2) every network service; any other op does nothing.
 * 0, or -1 (the network-service switch's code). */
int QAVOServiceNetStatusSet(int op);
/* Restarts the printer spool (action 3 only). 0, or -1 (0x0D00 another
 * action; the start script's code). */
int QAVOServiceRestartfromVolumeNone(int action);
/* Stores PHP's "register_globals" ("phpregisterglobal") and rewrites
 * "/usr/qavo/etc/php.ini" with it, without its comment and empty lines.
 * 0, or -1. */
int QAVOSetPHPConf(int on);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
