/* Kernel shim, the simulated disks and md arrays (sim/README.md, "Disks and
 * arrays"): device numbers of the disks and the md requests on /dev/mdN. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "kshim.h"

typedef int (*open_fn)(const char *, int, ...);

static void DiskNote(const char *fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    QsimShimNote(line);
}

/* The appliance's disks are loop devices at /dev/sda.. (sim/qavo-storage);
 * stat gives them the numbers of SCSI disks, (8, 16 d + p), as the product
 * maps array members to disks by these numbers. */
void QsimDiskStat(const char *path, struct stat *st) {
    if (!path || strncmp(path, "/dev/sd", 7) != 0 || !S_ISBLK(st->st_mode)) return;
    if (major(st->st_rdev) != 7) return; /* only the simulated ones */
    const char *p = path + 7;
    if (*p < 'a' || *p > 'p') return;
    unsigned disk = (unsigned)(*p - 'a'), part = 0;
    ++p;
    if (*p) {
        char *end;
        unsigned long v = strtoul(p, &end, 10);
        if (*end || v > 15) return;
        part = (unsigned)v;
    }
    st->st_rdev = makedev(8, 16 * disk + part);
}

/* Requests on /dev/mdN are answered from the state file /sim/md/mdN:
 *   state active|inactive     level L     raid_disks N     component KIB
 *   size BYTES (else the device's own, else from level and component)
 *   sync FLAG DONE TOTAL      disk NUMBER MAJOR MINOR STATE
 *   fail info|size|sync ERRNO fail disk NUMBER ERRNO
 * An array without a state file, or inactive, answers ENODEV. */
#define MD_STATE_DIR "/sim/md"
#define MD_REQ_SYNC 0x800C0960u
#define MD_REQ_ARRAY 0x80480911u /* GET_ARRAY_INFO */
#define MD_REQ_DISK 0x80140912u  /* GET_DISK_INFO */
#define BLK_REQ_SIZE 0x1260u     /* BLKGETSIZE */
#define BLK_REQ_SIZE64 0x80081272u

struct MdState {
    int active, level, raid_disks;
    long long component, size;
    unsigned sync[3];
    int ndisks;
    int disk[27][4]; /* number, major, minor, state */
    int fail_info, fail_size, fail_sync;
    int fail_disk[27];
};

/* The array number of an open /dev/mdN, or -1. */
static int MdOfFd(int fd) {
    char link[64], path[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 7) return -1;
    path[n] = 0;
    if (strncmp(path, "/dev/md", 7) != 0) return -1;
    char *end;
    long md = strtol(path + 7, &end, 10);
    if (end == path + 7 || *end || md < 0 || md > 255) return -1;
    return (int)md;
}

static int MdLoad(int md, struct MdState *s) {
    memset(s, 0, sizeof *s);
    s->active = 1;
    s->level = 1;
    s->size = -1;
    static void *open_cache;
    open_fn real_open = (open_fn)QsimShimNext(&open_cache, "open");
    if (!real_open) return 0;
    char path[64];
    snprintf(path, sizeof path, "%s/md%d", MD_STATE_DIR, md);
    int fd = real_open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[8192];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n < 0) return 0;
    buf[n] = 0;
    for (char *line = buf; line && *line;) {
        char *nl = strchr(line, '\n');
        if (nl) *nl = 0;
        char key[16] = "", word[16] = "";
        long long a = 0, b = 0, c = 0, d = 0;
        if (sscanf(line, "%15s", key) == 1) {
            if (strcmp(key, "state") == 0 && sscanf(line, "%*s %15s", word) == 1) {
                s->active = strcmp(word, "active") == 0;
            } else if (strcmp(key, "level") == 0) {
                s->level = atoi(line + 5);
            } else if (strcmp(key, "raid_disks") == 0) {
                s->raid_disks = atoi(line + 10);
            } else if (strcmp(key, "component") == 0) {
                s->component = strtoll(line + 9, NULL, 10);
            } else if (strcmp(key, "size") == 0) {
                s->size = strtoll(line + 4, NULL, 10);
            } else if (strcmp(key, "sync") == 0 &&
                       sscanf(line, "%*s %lli %lli %lli", &a, &b, &c) == 3) {
                s->sync[0] = (unsigned)a;
                s->sync[1] = (unsigned)b;
                s->sync[2] = (unsigned)c;
            } else if (strcmp(key, "disk") == 0 &&
                       sscanf(line, "%*s %lli %lli %lli %lli", &a, &b, &c, &d) == 4 &&
                       s->ndisks < 27) {
                int *e = s->disk[s->ndisks++];
                e[0] = (int)a, e[1] = (int)b, e[2] = (int)c, e[3] = (int)d;
            } else if (strcmp(key, "fail") == 0 &&
                       sscanf(line, "%*s %15s %lli %lli", word, &a, &b) >= 2) {
                if (strcmp(word, "info") == 0) s->fail_info = (int)a;
                if (strcmp(word, "size") == 0) s->fail_size = (int)a;
                if (strcmp(word, "sync") == 0) s->fail_sync = (int)a;
                if (strcmp(word, "disk") == 0 && a >= 0 && a < 27) s->fail_disk[a] = (int)b;
            }
        }
        line = nl ? nl + 1 : NULL;
    }
    return 1;
}

static long long MdBytes(const struct MdState *s) {
    long long n = s->raid_disks > 0 ? s->raid_disks : 1, data = 1;
    if (s->level == 0) data = n;
    if (s->level == 5) data = n > 1 ? n - 1 : 1;
    return data * s->component * 1024;
}

static int MdFail(int *result, int err) {
    errno = err;
    *result = -1;
    return 1;
}

/* 1 when the request was answered (result in *result). */
static int MdRequest(int fd, uint32_t request, void *arg, int *result) {
    if (request != MD_REQ_SYNC && request != MD_REQ_ARRAY && request != MD_REQ_DISK &&
        request != BLK_REQ_SIZE && request != BLK_REQ_SIZE64)
        return 0;
    int saved = errno;
    int md = MdOfFd(fd);
    errno = saved;
    if (md < 0) return 0;
    struct MdState s;
    int known = MdLoad(md, &s);
    errno = saved;
    struct stat st;
    int isblk = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
    if (!known || !s.active) {
        if ((request == BLK_REQ_SIZE || request == BLK_REQ_SIZE64) && isblk) return 0;
        DiskNote("md%d request 0x%x -> ENODEV\n", md, request);
        return MdFail(result, ENODEV);
    }
    *result = 0;
    switch (request) {
        case MD_REQ_SYNC: {
            if (s.fail_sync) return MdFail(result, s.fail_sync);
            memcpy(arg, s.sync, sizeof s.sync);
            break;
        }
        case MD_REQ_ARRAY: {
            if (s.fail_info) return MdFail(result, s.fail_info);
            int info[18] = {0};
            info[0] = 0;                /* major_version */
            info[1] = 90;               /* minor_version */
            info[4] = s.level;          /* level */
            info[5] = (int)s.component; /* size (KiB) */
            info[6] = s.ndisks;         /* nr_disks */
            info[7] = s.raid_disks;     /* raid_disks */
            info[8] = md;               /* md_minor */
            memcpy(arg, info, sizeof info);
            break;
        }
        case MD_REQ_DISK: {
            int *d = (int *)arg; /* number, major, minor, raid_disk, state */
            int number = d[0];
            if (number >= 0 && number < 27 && s.fail_disk[number])
                return MdFail(result, s.fail_disk[number]);
            d[1] = d[2] = 0;
            d[3] = -1;
            d[4] = 8; /* removed: an empty slot */
            for (int i = 0; i < s.ndisks; ++i) {
                if (s.disk[i][0] != number) continue;
                d[1] = s.disk[i][1];
                d[2] = s.disk[i][2];
                d[3] = number;
                d[4] = s.disk[i][3];
            }
            break;
        }
        default: { /* sizes */
            if (s.fail_size) return MdFail(result, s.fail_size);
            if (s.size < 0 && isblk) return 0;
            long long bytes = s.size >= 0 ? s.size : MdBytes(&s);
            if (request == BLK_REQ_SIZE64) {
                uint64_t v = (uint64_t)bytes;
                memcpy(arg, &v, sizeof v);
            } else {
                unsigned long v = (unsigned long)(bytes / 512);
                memcpy(arg, &v, sizeof v);
            }
            break;
        }
    }
    DiskNote("md%d request 0x%x -> 0\n", md, request);
    errno = saved;
    return 1;
}

/* ATA IDENTIFY DEVICE (HDIO_DRIVE_CMD 0xEC) on a simulated disk /dev/sdX:
 * answered when /sim/disks/sdX.ata holds the model field's text (up to 40
 * characters, blank-padded as a drive stores it); otherwise the loop
 * device's own answer (none). */
#define ATA_REQ_DRIVE_CMD 0x031fu

static int AtaRequest(int fd, uint32_t request, void *arg, int *result) {
    if (request != ATA_REQ_DRIVE_CMD || !arg) return 0;
    unsigned char *buf = (unsigned char *)arg;
    if (buf[0] != 0xEC) return 0;
    int saved = errno;
    char link[64], path[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    errno = saved;
    if (n != 8 || strncmp(path, "/dev/sd", 7) != 0) return 0;
    path[n] = 0;
    char file[160];
    snprintf(file, sizeof file, "/sim/disks/%s.ata", path + 5);
    static void *open_cache;
    open_fn real_open = (open_fn)QsimShimNext(&open_cache, "open");
    int in = real_open ? real_open(file, O_RDONLY | O_CLOEXEC) : -1;
    if (in < 0) {
        errno = saved;
        return 0;
    }
    char text[41];
    memset(text, ' ', sizeof text);
    ssize_t got = read(in, text, 40);
    close(in);
    if (got < 0) got = 0;
    for (ssize_t i = got; i < 40; ++i)
        text[i] = ' ';
    memset(buf + 4, 0, 512);
    for (int w = 0; w < 20; ++w) { /* first character in the high byte */
        buf[4 + 2 * (27 + w) + 1] = (unsigned char)text[2 * w];
        buf[4 + 2 * (27 + w)] = (unsigned char)text[2 * w + 1];
    }
    DiskNote("%s identify -> 0\n", path);
    errno = saved;
    *result = 0;
    return 1;
}

int QsimDiskIoctl(int fd, uint32_t request, void *arg, int *result) {
    return MdRequest(fd, request, arg, result) || QsimDriveIoctl(fd, request, arg, result) ||
           AtaRequest(fd, request, arg, result);
}
