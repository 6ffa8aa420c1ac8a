/* Kernel shim of the simulated appliance: the appliance kernel's system
 * calls 401 and 405, a chosen uptime, the M-Systems module requests that a
 * FUSE file cannot carry, and the kernel files that cannot be placed under
 * /proc here. Linked into test binaries, preloaded into programs started in
 * the appliance root (libqavoshim.so). Settings are read from /sim/kernel.conf
 * on each call; without it every call passes through. Calls it answers are
 * appended to /sim/kernel.log. The link query of network drivers (SIOCETHTOOL)
 * answers with the speed a test chose. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>

#include "kshim.h"
#include "mtd_abi.h"

#define CONF_PATH "/sim/kernel.conf"
#define LOG_PATH "/sim/kernel.log"
#define PROC_ROOT "/sim/proc"

/* Kernel files redirected to PROC_ROOT + path. */
static const char *const kProcFiles[] = {
    "/proc/mdstat", "/proc/bus/usb/devices", "/proc/scsi/scsi", "/proc/partitions", NULL,
};

typedef long (*syscall_fn)(long, ...);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*sysinfo_fn)(struct sysinfo *);
typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef FILE *(*fopen_fn)(const char *, const char *);
typedef int (*stat_fn)(const char *, struct stat *);
typedef int (*access_fn)(const char *, int);

static void *Lookup(void **cache, const char *name) {
    void *p = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (!p) {
        p = dlsym(RTLD_NEXT, name);
        if (!p) {
            errno = ENOSYS;
            return NULL;
        }
        __atomic_store_n(cache, p, __ATOMIC_RELEASE);
    }
    return p;
}
/* The next definition of a function, looked up once. */
#define Next(name)                  \
    ({                              \
        static void *next_cache_;   \
        Lookup(&next_cache_, name); \
    })

/* Reads the value of "key" from the settings; 1 when found. */
static int Setting(const char *key, char *val, size_t size) {
    /* The real open: the settings file is no kernel file. */
    open_fn real_open = (open_fn)Next("open");
    if (!real_open) return 0;
    int saved = errno;
    int fd = real_open(CONF_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = saved;
        return 0;
    }
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    errno = saved;
    if (n <= 0) return 0;
    buf[n] = 0;
    size_t klen = strlen(key);
    int found = 0;
    for (char *line = buf; line && *line;) {
        char *nl = strchr(line, '\n');
        if (nl) *nl = 0;
        if (strncmp(line, key, klen) == 0 && line[klen] == ' ') {
            snprintf(val, size, "%s", line + klen + 1);
            found = 1; /* the last line of a key wins */
        }
        line = nl ? nl + 1 : NULL;
    }
    return found;
}

static void Note(const char *fmt, ...) {
    open_fn real_open = (open_fn)Next("open");
    if (!real_open) return;
    int saved = errno;
    int fd = real_open(LOG_PATH, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char buf[256];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        if (n > 0) (void)!write(fd, buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1);
        close(fd);
    }
    errno = saved;
}

/* A scripted result: "ok", "absent" or "errno N". Returns 0 or -1 with errno. */
static long Scripted(const char *res) {
    if (strcmp(res, "ok") == 0) return 0;
    if (strncmp(res, "errno ", 6) == 0) {
        errno = atoi(res + 6);
        return -1;
    }
    errno = ENOSYS;
    return -1;
}

/* Six argument words are taken whatever the call passes, as the C library's
 * syscall does; the words past the caller's arguments are not its objects. */
__attribute__((no_sanitize("address"))) long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(ap, long);
    va_end(ap);
    char val[64];
    if (number == QSIM_SYS_HWFLAGS && Setting("hwflags", val, sizeof val)) {
        if (strcmp(val, "absent") == 0) {
            Note("syscall 401 -> -1 errno %d\n", ENOSYS);
            errno = ENOSYS;
            return -1;
        }
        uint32_t flags = (uint32_t)strtoul(val, NULL, 0);
        uint32_t *word = (uint32_t *)a[0];
        if (!word) {
            errno = EFAULT;
            return -1;
        }
        *word = flags;
        Note("syscall 401 -> 0 flags 0x%x\n", flags);
        return 0;
    }
    if (number == QSIM_SYS_MTDBUFFER) {
        const char *key = a[0] ? "405alloc" : "405release";
        long r;
        if (Setting(key, val, sizeof val)) {
            r = Scripted(val);
        } else {
            errno = ENOSYS; /* the call of the appliance kernel only */
            r = -1;
        }
        Note("syscall 405 %ld -> %ld errno %d\n", a[0], r, r ? errno : 0);
        return r;
    }
    syscall_fn real = (syscall_fn)Next("syscall");
    if (!real) return -1;
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int sysinfo(struct sysinfo *info) {
    char val[64];
    sysinfo_fn real = (sysinfo_fn)Next("sysinfo");
    if (Setting("uptime", val, sizeof val)) {
        if (strcmp(val, "fail") == 0) {
            errno = EFAULT;
            return -1;
        }
        int r = real ? real(info) : -1;
        if (r == 0) info->uptime = strtol(val, NULL, 0);
        return r;
    }
    return real ? real(info) : -1;
}

/* ---- network link query ----
 * "ethtool SPEED [full|half]" answers ETHTOOL_GSET of every interface with
 * that speed in Mb/s (full duplex unless told); "ethtool unsupported" answers
 * as a driver without the query (EOPNOTSUPP); "ethtool errno N" fails with N.
 * Other ethtool commands pass through. 1 when answered, with *result set. */
static int EthtoolAnswer(void *arg, int *result) {
    char val[64];
    struct ifreq *ifr = (struct ifreq *)arg;
    if (!ifr || !Setting("ethtool", val, sizeof val)) return 0;
    struct ethtool_cmd *cmd = (struct ethtool_cmd *)ifr->ifr_data;
    if (!cmd || cmd->cmd != ETHTOOL_GSET) return 0;
    if (strcmp(val, "unsupported") == 0 || strncmp(val, "errno ", 6) == 0) {
        *result = -1;
        errno = val[0] == 'u' ? EOPNOTSUPP : atoi(val + 6);
        Note("ethtool gset %.16s -> -1 errno %d\n", ifr->ifr_name, errno);
        return 1;
    }
    char *end = NULL;
    unsigned long speed = strtoul(val, &end, 10);
    memset(cmd, 0, sizeof *cmd);
    cmd->cmd = ETHTOOL_GSET;
    ethtool_cmd_speed_set(cmd, (uint32_t)speed);
    cmd->duplex = strstr(end, "half") ? DUPLEX_HALF : DUPLEX_FULL;
    *result = 0;
    Note("ethtool gset %.16s -> speed %lu duplex %d\n", ifr->ifr_name, speed, cmd->duplex);
    return 1;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    ioctl_fn real = (ioctl_fn)Next("ioctl");
    if (!real) return -1;
    int answered;
    if ((uint32_t)request == SIOCETHTOOL && EthtoolAnswer(arg, &answered)) return answered;
    if (QsimDiskIoctl(fd, (uint32_t)request, arg, &answered)) return answered;
    if (QsimPrinterIoctl(fd, (uint32_t)request, arg, &answered)) return answered;
    switch ((uint32_t)request) {
        case QSIM_MEMMSYSGETPARTS:
            return real(fd, QSIM_PRIV_MSYSGETPARTS, arg);
        case QSIM_MEMMSYSPARTITION:
            return real(fd, QSIM_PRIV_MSYSPARTITION, arg);
        case QSIM_MEMMSYSFORMAT: {
            uint32_t units = (uint32_t)(uintptr_t)arg; /* the value itself */
            return real(fd, QSIM_PRIV_MSYSFORMAT, &units);
        }
        default:
            return real(fd, request, arg);
    }
}

/* ---- kernel files ---- */

static const char *Redirect(const char *path, char *buf, size_t size) {
    if (!path || strncmp(path, "/proc/", 6) != 0) return path;
    for (int i = 0; kProcFiles[i]; ++i) {
        if (strcmp(path, kProcFiles[i]) == 0) {
            snprintf(buf, size, "%s%s", PROC_ROOT, path + 5); /* after "/proc" */
            return buf;
        }
    }
    return path;
}

/* /proc/mounts as read: with the simulated file systems (QsimMountsFd). */
static int IsMountTable(const char *path) {
    return path && (strcmp(path, "/proc/mounts") == 0 || strcmp(path, "/proc/self/mounts") == 0);
}

/* "mounts errno N": the mount table cannot be opened (errno N), however it is
 * opened; the programs that unmount read the kernel's mountinfo, not this. */
static int MountTableFails(const char *path) {
    char val[32];
    if (!IsMountTable(path) || !Setting("mounts", val, sizeof val)) return 0;
    if (Scripted(val) == 0) return 0;
    int err = errno;
    Note("mounts open %s -> -1 errno %d\n", path, err);
    errno = err;
    return 1;
}

static int MountTableOpen(const char *path, int flags) {
    if (!IsMountTable(path) || (flags & O_ACCMODE) != O_RDONLY) return -1;
    return QsimMountsFd();
}

static FILE *MountTableFopen(const char *path, const char *mode) {
    if (!IsMountTable(path) || !mode || mode[0] != 'r' || strchr(mode, '+')) return NULL;
    int fd = QsimMountsFd();
    if (fd < 0) return NULL;
    FILE *f = fdopen(fd, "r");
    if (!f) close(fd);
    return f;
}

static int OpenMode(int flags, va_list ap) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(ap, int);
    return 0;
}

#define OPEN_WRAPPER(NAME)                                         \
    int NAME(const char *path, int flags, ...) {                   \
        va_list ap;                                                \
        va_start(ap, flags);                                       \
        int mode = OpenMode(flags, ap);                            \
        va_end(ap);                                                \
        char buf[256];                                             \
        if (MountTableFails(path)) return -1;                      \
        int table = MountTableOpen(path, flags);                   \
        if (table >= 0) return table;                              \
        if (QsimPrinterOpenBusy(path)) return -1;                  \
        open_fn real = (open_fn)Next(#NAME);                       \
        if (!real) return -1;                                      \
        return real(Redirect(path, buf, sizeof buf), flags, mode); \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

#define OPENAT_WRAPPER(NAME)                                              \
    int NAME(int dirfd, const char *path, int flags, ...) {               \
        va_list ap;                                                       \
        va_start(ap, flags);                                              \
        int mode = OpenMode(flags, ap);                                   \
        va_end(ap);                                                       \
        char buf[256];                                                    \
        if (MountTableFails(path)) return -1;                             \
        openat_fn real = (openat_fn)Next(#NAME);                          \
        if (!real) return -1;                                             \
        return real(dirfd, Redirect(path, buf, sizeof buf), flags, mode); \
    }
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

#define FOPEN_WRAPPER(NAME)                                 \
    FILE *NAME(const char *path, const char *mode) {        \
        char buf[256];                                      \
        if (MountTableFails(path)) return NULL;             \
        FILE *table = MountTableFopen(path, mode);          \
        if (table) return table;                            \
        fopen_fn real = (fopen_fn)Next(#NAME);              \
        if (!real) return NULL;                             \
        return real(Redirect(path, buf, sizeof buf), mode); \
    }
FOPEN_WRAPPER(fopen)
FOPEN_WRAPPER(fopen64)

/* setmntent opens its file inside the C library, past the fopen above: the
 * same table here, unlocked for the caller as the C library's. */
FILE *setmntent(const char *path, const char *mode) {
    typedef FILE *(*setmntent_fn)(const char *, const char *);
    if (MountTableFails(path)) return NULL;
    FILE *table = MountTableFopen(path, mode);
    if (table) {
        __fsetlocking(table, FSETLOCKING_BYCALLER);
        return table;
    }
    setmntent_fn real = (setmntent_fn)Next("setmntent");
    if (!real) return NULL;
    return real(path, mode);
}

int stat(const char *path, struct stat *st) {
    char buf[256];
    stat_fn real = (stat_fn)Next("stat");
    if (!real) return -1;
    int r = real(Redirect(path, buf, sizeof buf), st);
    if (r == 0) QsimDiskStat(path, st);
    return r;
}

int stat64(const char *path, struct stat64 *st) {
    typedef int (*stat64_fn)(const char *, struct stat64 *);
    char buf[256];
    stat64_fn real = (stat64_fn)Next("stat64");
    if (!real) return -1;
    int r = real(Redirect(path, buf, sizeof buf), st);
    if (r == 0) QsimDiskStat(path, (struct stat *)st);
    return r;
}

int lstat(const char *path, struct stat *st) {
    stat_fn real = (stat_fn)Next("lstat");
    if (!real) return -1;
    int r = real(path, st);
    if (r == 0) QsimDiskStat(path, st);
    return r;
}

/* Disk numbers through an open descriptor too (see QsimDiskStat). */
static void FdDiskStat(int fd, struct stat *st) {
    char link[64], path[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    int saved = errno;
    ssize_t n = readlink(link, path, sizeof path - 1);
    errno = saved;
    if (n <= 0) return;
    path[n] = 0;
    QsimDiskStat(path, st);
}

int fstat(int fd, struct stat *st) {
    typedef int (*fstat_fn)(int, struct stat *);
    fstat_fn real = (fstat_fn)Next("fstat");
    if (!real) return -1;
    int r = real(fd, st);
    if (r == 0) FdDiskStat(fd, st);
    return r;
}

int fstat64(int fd, struct stat64 *st) {
    typedef int (*fstat64_fn)(int, struct stat64 *);
    fstat64_fn real = (fstat64_fn)Next("fstat64");
    if (!real) return -1;
    int r = real(fd, st);
    if (r == 0) FdDiskStat(fd, (struct stat *)st);
    return r;
}

/* The type word of the simulated file systems (see QsimFsType). */
int statfs(const char *path, struct statfs *buf) {
    typedef int (*statfs_fn)(const char *, struct statfs *);
    statfs_fn real = (statfs_fn)Next("statfs");
    if (!real) return -1;
    int r = real(path, buf);
    long word = r == 0 ? QsimFsType(path) : 0;
    if (word) buf->f_type = word;
    return r;
}

int statfs64(const char *path, struct statfs64 *buf) {
    typedef int (*statfs64_fn)(const char *, struct statfs64 *);
    statfs64_fn real = (statfs64_fn)Next("statfs64");
    if (!real) return -1;
    int r = real(path, buf);
    long word = r == 0 ? QsimFsType(path) : 0;
    if (word) buf->f_type = word;
    return r;
}

int access(const char *path, int mode) {
    char buf[256];
    access_fn real = (access_fn)Next("access");
    if (!real) return -1;
    return real(Redirect(path, buf, sizeof buf), mode);
}

/* ---- seeks on the flash devices ---- */

/* The flash devices are files of the emulator's FUSE file system, which
 * takes a seek to any position. The kernel's MTD character device refuses a
 * position outside 0 .. device size (and SEEK_DATA, SEEK_HOLE) with EINVAL. */
#define FUSE_FS_MAGIC 0x65735546

/* 1 when fd is one of the emulator's MTD devices; its size in *size. */
static int FlashDevice(int fd, off_t *size) {
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0 || fs.f_type != FUSE_FS_MAGIC) return 0;
    char link[64], path[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = 0;
    if (strncmp(path, "/dev/mtd", 8) != 0 && strncmp(path, "/sim/flash/mtd", 14) != 0) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    *size = st.st_size;
    return 1;
}

typedef off_t (*lseek_fn)(int, off_t, int);

static off_t FlashSeek(lseek_fn real, int fd, off_t off, int whence) {
    int saved = errno;
    off_t size, base = -1;
    if (!FlashDevice(fd, &size)) {
        errno = saved;
        return real(fd, off, whence);
    }
    errno = saved;
    if (whence == SEEK_SET) {
        base = 0;
    } else if (whence == SEEK_CUR) {
        base = real(fd, 0, SEEK_CUR);
        if (base < 0) return -1;
    } else if (whence == SEEK_END) {
        base = size;
    }
    if (base < 0 || base > size || off > size - base || off < -base) {
        Note("lseek fd %d %lld whence %d -> -1 errno %d\n", fd, (long long)off, whence, EINVAL);
        errno = EINVAL;
        return -1;
    }
    return real(fd, base + off, SEEK_SET);
}

off_t lseek(int fd, off_t off, int whence) {
    lseek_fn real = (lseek_fn)Next("lseek");
    return real ? FlashSeek(real, fd, off, whence) : -1;
}

off_t lseek64(int fd, off_t off, int whence) {
    lseek_fn real = (lseek_fn)Next("lseek64");
    return real ? FlashSeek(real, fd, off, whence) : -1;
}

/* ---- for the other pieces of the shim (kshim.h) ---- */

int QsimShimSetting(const char *key, char *val, size_t size) {
    return Setting(key, val, size);
}

void QsimShimNote(const char *line) {
    Note("%s", line);
}

long QsimShimScripted(const char *result) {
    return Scripted(result);
}

void *QsimShimNext(void **cache, const char *name) {
    return Lookup(cache, name);
}
