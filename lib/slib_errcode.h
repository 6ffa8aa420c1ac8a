/* Process-wide error code of the system library and the library's log helper. */
#ifndef SLIB_ERRCODE_H
#define SLIB_ERRCODE_H

#include <stdint.h>
#include <syslog.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

typedef uint32_t SLIBERRCODE;

/* The catalogue of codes (form 0xNN00). */
enum {
    ERR_BUF_TOO_SMALL = 0x0100,     /* result longer than the caller's buffer */
    ERR_OUT_OF_MEMORY = 0x0200,     /* out of memory */
    ERR_DOMAIN_GID_LIST = 0x0300,   /* group ids of a domain user cannot be listed */
    ERR_LOCK_FAILED = 0x0400,       /* named file lock cannot be taken */
    ERR_UNLOCK_FAILED = 0x0500,     /* named file lock cannot be released */
    ERR_SHARE_PATH = 0x0600,        /* share path missing, no directory or on no volume */
    ERR_MISSING_FILE = 0x0700,      /* file, link or device missing, or copying it failed */
    ERR_OPEN_FAILED = 0x0900,       /* a file cannot be opened */
    ERR_READ_FAILED = 0x0A00,       /* read failure */
    ERR_WRITE_FAILED = 0x0B00,      /* write, flush, sync, close or rename failure */
    ERR_CREATE_FAILED = 0x0C00,     /* required file or directory cannot be created */
    ERR_BAD_PARAMETERS = 0x0D00,    /* bad parameter */
    ERR_MOVE_FAILED = 0x0E00,       /* a move command failed */
    ERR_BAD_IP_ADDRESS = 0x1000,    /* bad dotted-quad address or netmask */
    ERR_DOMAIN_QUERY = 0x1100,      /* no PDC address, or domain listing failed */
    ERR_BAD_SHARE_NAME = 0x1200,    /* bad share name; disk label without signature */
    ERR_SHARE_EXISTS = 0x1300,      /* share already exists */
    ERR_NO_SUCH_SHARE = 0x1400,     /* no such share or backup task */
    ERR_BAD_GROUP_NAME = 0x1600,    /* bad group name */
    ERR_GROUP_EXISTS = 0x1700,      /* group already exists */
    ERR_NO_SUCH_GROUP = 0x1800,     /* no such group */
    ERR_NO_FREE_GID = 0x1900,       /* no free group id; domain group listing exit 2 */
    ERR_BAD_USER = 0x1A00,          /* bad or duplicate user name or record */
    ERR_USER_EXISTS = 0x1C00,       /* user already exists */
    ERR_NO_SUCH_USER = 0x1D00,      /* no such user; domain credentials refused */
    ERR_NO_FREE_UID = 0x1F00,       /* no free uid; account limit; domain listing exit 2 */
    ERR_NOT_FOUND = 0x2000,         /* key, line, section, entry, setting or value not found */
    ERR_KEY_EXISTS = 0x2100,        /* key already present */
    ERR_VOLUME_SPACE = 0x2500,      /* free-space check failed or too little space */
    ERR_VENDOR_DATA = 0x2600,       /* vendor flash data unreadable or invalid */
    ERR_SOURCE_DIR = 0x2700,        /* source directory missing or cannot be examined */
    ERR_RENAME_FAILED = 0x2800,     /* renaming a temporary file over its file failed */
    ERR_NO_SPACE = 0x2900,          /* no space left on the target */
    ERR_EXEC_FAILED = 0x2A00,       /* program cannot start or fails; connection limit */
    ERR_NO_SUCH_USB_DISK = 0x2B00,  /* the kernel lists no such USB disk */
    ERR_MOUNT_FAILED = 0x2C00,      /* mount failed */
    ERR_NAME_CLASH = 0x2F00,        /* a name clashes inside a batch of new users */
    ERR_DISK_OPEN = 0x3400,         /* a disk device cannot be opened */
    ERR_SHARE_RMDIR = 0x3900,       /* a share directory cannot be removed */
    ERR_SHARE_MOVE = 0x3A00,        /* a share directory cannot be moved */
    ERR_SHARE_COPY = 0x3B00,        /* share data cannot be copied */
    ERR_MKDIR_FAILED = 0x3C00,      /* a directory cannot be created */
    ERR_FIELD_COUNT = 0x4000,       /* account-file line with the wrong number of fields */
    ERR_NO_VOLUME_NUMBER = 0x6000,  /* no volume number can be derived from a path */
    ERR_NO_SUCH_DISK = 0x6100,      /* the kernel lists no such disk */
    ERR_DEVICE_IO = 0x6C00,         /* device open, seek, read or write failed */
    ERR_UNICODE = 0x8000,           /* Unicode conversion failed; unknown error */
    ERR_SYSTEM_CALL = 0x8100,       /* a system call or system command failed */
    ERR_VOLUME_CRASHED = 0x8300,    /* target volume health 0 */
    ERR_VOLUME_READONLY = 0x8400,   /* target volume health 1 */
    ERR_QUOTA_NOT_ON = 0x9100,      /* quotas not turned on for the device */
    ERR_QUOTA_INVALID = 0x9200,     /* invalid quota request */
    ERR_QUOTA_REMOUNT = 0x9300,     /* remount with quota options failed */
    ERR_QUOTA_CHECK = 0x9400,       /* quota check failed */
    ERR_QUOTA_ON = 0x9500,          /* quota switch-on failed */
    ERR_QUOTA_COMMAND = 0x9600,     /* a quota command cannot be run */
    ERR_QUOTA_LIST = 0x9700,        /* volume or share list cannot be read */
    ERR_NOT_VOLUME_PATH = 0x9900,   /* path is not a volume mount point and a path */
    ERR_SHARE_DATA_MISSING = 0xA300 /* a share's data folder is missing */
};

/* Stores the code; the last call wins. */
void SLIBErrSet(SLIBERRCODE code);
/* Returns the stored code; success never clears it. */
SLIBERRCODE SLIBErrGet(void);

/* The library's one log helper: a syslog line at the given priority. */
void SLIBLog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

/*
 * Message shapes. The format is written exactly as the message reads, with
 * its location conversions first; the macros supply them:
 *   SLIB_LOG(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.")          file, line
 *   SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) bad key [%s]", key)           file, line, function
 *   SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to ... = %s", name) file, line, error code
 *   SLIB_LOG_FUNC(LOG_ERR, "%s(%d): fail to chdir, errno = %d", e) function, line
 */
#define SLIB_LOG(prio, fmt, ...) SLIBLog((prio), fmt, __FILE__, __LINE__, ##__VA_ARGS__)
#define SLIB_LOG_FN(prio, fmt, ...) \
    SLIBLog((prio), fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
#define SLIB_LOG_CODE(prio, fmt, ...) \
    SLIBLog((prio), fmt, __FILE__, __LINE__, SLIBErrGet(), ##__VA_ARGS__)
#define SLIB_LOG_FUNC(prio, fmt, ...) SLIBLog((prio), fmt, __func__, __LINE__, ##__VA_ARGS__)
#define SLIB_LOG_FUNC_CODE(prio, fmt, ...) \
    SLIBLog((prio), fmt, __func__, __LINE__, SLIBErrGet(), ##__VA_ARGS__)

#endif
