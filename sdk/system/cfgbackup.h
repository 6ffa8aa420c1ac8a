/* Configuration backup file: selected groups of settings packed into one
 * binary file and restored from it. Every integer of the file is a 32-bit
 * big-endian word; strings carry their terminating zero. A file is a
 * 12-byte header ("QAVO", category 1, content mask) and sections, each a
 * 12-byte header (id, version, body size) and a body of items.
 *
 * Every operation here gives 0 on success and -1 on failure unless said
 * otherwise. The backup sets no error code of its own: a failure is logged,
 * and a section passes on (SLIBErrGet) the code of the setting operation
 * it called (file, share, user, group, quota, network ...); a failure of
 * the backup file itself leaves whatever code its step left. */
#ifndef CFGBACKUP_H
#define CFGBACKUP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVOSYSBKP_MAGIC "QAVO"
#define QAVOSYSBKP_CATEGORY 1
#define QAVOSYSBKP_SCRATCH_DIR "/tmp"

#define QAVOSYSBKP_ID_TIME 0x1u
#define QAVOSYSBKP_ID_HOSTNAME 0x2u
#define QAVOSYSBKP_ID_NETIF 0x4u /* no row: a file holding it is refused */
#define QAVOSYSBKP_ID_LANG 0x8u
#define QAVOSYSBKP_ID_MAIL 0x10u
#define QAVOSYSBKP_ID_SHARE 0x20u
#define QAVOSYSBKP_ID_APPLE 0x40u
#define QAVOSYSBKP_ID_WINDOWS 0x80u
#define QAVOSYSBKP_ID_USER 0x100u
#define QAVOSYSBKP_ID_GROUP 0x200u
#define QAVOSYSBKP_ID_HDSLEEP 0x400u
#define QAVOSYSBKP_ID_RUNFTPD 0x800u
#define QAVOSYSBKP_ID_USBBKP_SCHEDULE 0x1000u
#define QAVOSYSBKP_ID_PPPOE 0x2000u
#define QAVOSYSBKP_ID_USBBKP_SHARELIST 0x4000u
#define QAVOSYSBKP_ID_PHOTO 0x8000u
#define QAVOSYSBKP_ID_WEB 0x10000u
#define QAVOSYSBKP_ID_MTU 0x20000u
#define QAVOSYSBKP_ID_RCPOWER 0x40000u
#define QAVOSYSBKP_ID_USBCOPYSET 0x80000u
#define QAVOSYSBKP_ID_HTTPPORT 0x100000u
#define QAVOSYSBKP_ID_DCACHE 0x200000u
#define QAVOSYSBKP_ID_FETCHMORA 0x400000u
#define QAVOSYSBKP_ID_MYSQL 0x800000u
#define QAVOSYSBKP_ID_USER_QUOTA 0x1000000u
#define QAVOSYSBKP_ID_CLEANUP 0x2000000u
/* Every row but runmysql; an export with exactly this value writes every
 * row, runmysql included. */
#define QAVOSYSBKP_ID_ALL 0x37ffffbu

/* Item types. */
#define QAVOSYSBKP_ITEM_STRING 1
#define QAVOSYSBKP_ITEM_LONG 2

typedef int (*QAVOSYSBKPEXPORTFN)(int fd);
typedef int (*QAVOSYSBKPIMPORTFN)(int fd, int version, int overwrite);

/* One row of the section table; the table ends with a row of null
 * operations. */
typedef struct _tag_QAVOSYSBKPSECTION {
    QAVOSYSBKPEXPORTFN pfnExport;
    QAVOSYSBKPIMPORTFN pfnImport;
    const char *szDesc;
    uint32_t ulId;
    uint32_t ulVersion;
} QAVOSYSBKPSECTION;

/* The section table, in file order. */
extern const QAVOSYSBKPSECTION QAVOSysbkpSections[];

/* Writes the sections of mask to path (through "<path>.tmp", mode 0600,
 * renamed over path on success: a failure leaves an earlier file as it
 * was). 0, or -1. */
int QAVOSysbkpExport(const char *path, uint32_t mask);
/* Restores the sections of the file that mask selects; overwrite 0 keeps
 * settings that exist. Network services are stopped for the time of the
 * import. 0 when every selected section was restored, else -1. */
int QAVOSysbkpImport(const char *path, uint32_t mask, int overwrite);

/* count bytes (a non-zero multiple of 4) of 32-bit words: read from
 * big-endian into host order (count, 0 at end of file, -1 also for a short
 * read), or written from host order as big-endian (count / -1). */
int QAVOSysbkpRawIntRead(int fd, void *buf, int count);
int QAVOSysbkpRawIntWrite(int fd, const void *buf, int count);
/* The table row of id, or -1. */
int QAVOSysbkpIGetIdx(uint32_t id);
/* Section header with a size word 0, patched by QAVOSysbkpIWriteBlkSize. */
int QAVOSysbkpIWriteHeader(int fd, uint32_t id);
int QAVOSysbkpIWriteBlkSize(int fd, int64_t start, int64_t end);
/* Items: 0, -1. A string read is newly allocated (the caller frees it); its
 * length must be 1 to the bytes left in the file and its last byte a zero.
 * A long item holds a signed 32-bit value. */
int QAVOSysbkpIWriteString(int fd, const char *s);
int QAVOSysbkpIWriteLong(int fd, long value);
int QAVOSysbkpIReadString(int fd, char **out);
int QAVOSysbkpIReadLong(int fd, long *out);

/* System and network sections: exports (fd), imports (fd, version,
 * overwrite); 0 or -1. */
int QAVOSysbkpTimeExport(int fd);
int QAVOSysbkpTimeImport(int fd, int version, int overwrite);
int QAVOSysbkpHostnameExport(int fd);
int QAVOSysbkpHostnameImport(int fd, int version, int overwrite);
int QAVOSysbkpLangExport(int fd);
int QAVOSysbkpLangImport(int fd, int version, int overwrite);
int QAVOSysbkpMailExport(int fd);
int QAVOSysbkpMailImport(int fd, int version, int overwrite);
int QAVOSysbkpAppleExport(int fd);
int QAVOSysbkpAppleImport(int fd, int version, int overwrite);
int QAVOSysbkpWindowsExport(int fd);
int QAVOSysbkpWindowsImport(int fd, int version, int overwrite);
int QAVOSysbkpPPPoEExport(int fd);
int QAVOSysbkpPPPoEImport(int fd, int version, int overwrite);
int QAVOSysbkpHttpPortExport(int fd);
int QAVOSysbkpHttpPortImport(int fd, int version, int overwrite);
int QAVOSysbkpMTUExport(int fd);
int QAVOSysbkpMTUImport(int fd, int version, int overwrite);

/* Share and service sections: 0, -1. */
struct _tag_QAVOSHARE;
int QAVOSysbkpShareExport(int fd);
int QAVOSysbkpShareImport(int fd, int version, int overwrite);
/* One share's block; the read record's strings are newly allocated and
 * released with QAVOSysbkpIFreeShare. */
int QAVOSysbkpIWriteShare(const char *name, int fd);
int QAVOSysbkpIReadShare(int fd, struct _tag_QAVOSHARE *out);
void QAVOSysbkpIFreeShare(struct _tag_QAVOSHARE *share);
int QAVOSysbkpRunFtpdExport(int fd);
int QAVOSysbkpRunFtpdImport(int fd, int version, int overwrite);
int QAVOSysbkpPhotoExport(int fd);
int QAVOSysbkpPhotoImport(int fd, int version, int overwrite);
int QAVOSysbkpWebExport(int fd);
int QAVOSysbkpWebImport(int fd, int version, int overwrite);
int QAVOSysbkpMySQLExport(int fd);
int QAVOSysbkpMySQLImport(int fd, int version, int overwrite);
int QAVOSysbkpFetchmoraExport(int fd);
int QAVOSysbkpFetchmoraImport(int fd, int version, int overwrite);

/* Storage and device sections. */
int QAVOSysbkpHDSleepTimeExport(int fd);
int QAVOSysbkpHDSleepTimeImport(int fd, int version, int overwrite);
int QAVOSysbkpDCacheExport(int fd);
int QAVOSysbkpDCacheImport(int fd, int version, int overwrite);
int QAVOSysbkpUSBBkpScheduleExport(int fd);
int QAVOSysbkpUSBBkpScheduleImport(int fd, int version, int overwrite);
int QAVOSysbkpUSBBkpShareListExport(int fd);
int QAVOSysbkpUSBBkpShareListImport(int fd, int version, int overwrite);
int QAVOSysbkpUSBCopySetExport(int fd);
int QAVOSysbkpUSBCopySetImport(int fd, int version, int overwrite);
int QAVOSysbkpRCPowerExport(int fd);
int QAVOSysbkpRCPowerImport(int fd, int version, int overwrite);

/* Account sections. The user import keeps the names it creates for the
 * user-quota section of the same import; the clean-up section (and the end
 * of every import) releases them. 0, -1 (the clean-up section always 0). */
struct _tag_QAVOUSERSET;
int QAVOSysbkpUserExport(int fd);
int QAVOSysbkpUserImport(int fd, int version, int overwrite);
int QAVOSysbkpIWriteUserData(const char *name, int fd);
/* One user block: the record's strings and both hashes newly allocated. */
int QAVOSysbkpIGetUserSetting(int fd, struct _tag_QAVOUSERSET *out, char **lm, char **nt);
int QAVOSysbkpGroupExport(int fd);
int QAVOSysbkpGroupImport(int fd, int version, int overwrite);
/* User quotas: with raid, the entries of the count volumes of mask (bit i:
 * /dev/md(i+2)), else the one of /dev/hda3. */
int QAVOSysbkpUserQuotaExport(int fd);
int QAVOSysbkpUserQuotaImport(int fd, int version, int overwrite);
int QAVOSysbkpIWriteUserQuota(const char *user, int fd, int raid, uint32_t mask, int count);
int QAVOSysbkpCleanupExport(int fd);
int QAVOSysbkpCleanupImport(int fd, int version, int overwrite);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
