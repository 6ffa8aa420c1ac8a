/* Kernel shim, the drives behind the simulated disks (sim/README.md, "Disk
 * drives"): the ATA commands of HDIO_DRIVE_CMD, drive reset and DMA, the
 * SATA host's pass-through request (SCSI request 1), the caching page over
 * SG_IO and the appliance kernel's block request 0x128B, answered for a disk
 * /dev/sdX that has a state file /sim/disks/sdX.state:
 *   model TEXT          model words of IDENTIFY (else /sim/disks/sdX.ata)
 *   smart none          the drive has no SMART (the SMART commands fail)
 *   attr ID RAWHEX      a SMART attribute: id and its six raw bytes in hex
 *   wce 0|1             write cache (IDENTIFY word 85 bit 5, caching page)
 *   power active|standby|sleep
 *   sgio nodata         MODE SENSE succeeds without data
 *   fail WHAT [ERRNO]   WHAT: an ATA command ("0xe6"), "reset", "dma", "sgio",
 *                       "pass" (every pass-through request), "node"
 *   node VALUE          the answer of request 0x128B
 * The drive's own changes (wce, power) are written back to the file. Every
 * request answered is logged to /sim/kernel.log, starting with the disk. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <scsi/sg.h>

#include "kshim.h"

#define REQ_DRIVE_CMD 0x031fu
#define REQ_DRIVE_RESET 0x031cu
#define REQ_SET_DMA 0x0326u
#define REQ_SG_IO 0x2285u
#define REQ_SCSI_SEND 0x1u
#define REQ_DEV_NODE 0x128Bu

#define PASS_AREA 540

typedef int (*open_fn)(const char *, int, ...);

struct Drive {
    char disk[8];
    char text[4096]; /* the state file */
};

static open_fn RealOpen(void) {
    static void *cache;
    return (open_fn)QsimShimNext(&cache, "open");
}

static void DriveNote(const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    QsimShimNote(line);
}

/* 1 when fd is a simulated disk with a state file (loaded into *d). */
static int DriveOf(int fd, struct Drive *d) {
    char link[64], path[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n != 8 || strncmp(path, "/dev/sd", 7) != 0) return 0;
    path[n] = 0;
    memcpy(d->disk, path + 5, 4); /* "sdX" and its terminator */
    char file[64];
    snprintf(file, sizeof file, "/sim/disks/%s.state", d->disk);
    open_fn ro = RealOpen();
    int in = ro ? ro(file, O_RDONLY | O_CLOEXEC) : -1;
    if (in < 0) return 0;
    ssize_t got = read(in, d->text, sizeof d->text - 1);
    close(in);
    d->text[got > 0 ? got : 0] = 0;
    return 1;
}

/* The rest of the first line "key ..." (after the key and a blank), or NULL. */
static const char *Value(const struct Drive *d, const char *key, char *out, size_t size) {
    size_t klen = strlen(key);
    for (const char *line = d->text; line && *line;) {
        const char *nl = strchr(line, '\n');
        size_t len = nl ? (size_t)(nl - line) : strlen(line);
        if (len > klen && strncmp(line, key, klen) == 0 && line[klen] == ' ') {
            size_t vlen = len - klen - 1;
            if (vlen >= size) vlen = size - 1;
            memcpy(out, line + klen + 1, vlen);
            out[vlen] = 0;
            return out;
        }
        line = nl ? nl + 1 : NULL;
    }
    return NULL;
}

/* The errno a "fail WHAT" line chooses (EIO when none given), or 0. */
static int Failing(const struct Drive *d, const char *what) {
    size_t wlen = strlen(what);
    for (const char *line = d->text; line && *line;) {
        const char *nl = strchr(line, '\n');
        if (strncmp(line, "fail ", 5) == 0 && strncasecmp(line + 5, what, wlen) == 0 &&
            (line[5 + wlen] == ' ' || line[5 + wlen] == '\n' || line[5 + wlen] == 0)) {
            int e = line[5 + wlen] == ' ' ? atoi(line + 6 + wlen) : 0;
            return e > 0 ? e : EIO;
        }
        line = nl ? nl + 1 : NULL;
    }
    return 0;
}

static int Wce(const struct Drive *d) {
    char v[16];
    return Value(d, "wce", v, sizeof v) && atoi(v) != 0;
}

/* Replaces (or adds) the line of key and writes the file back. */
static void Store(struct Drive *d, const char *key, const char *value) {
    char out[sizeof d->text + 64];
    size_t o = 0, klen = strlen(key);
    int done = 0;
    for (const char *line = d->text; line && *line;) {
        const char *nl = strchr(line, '\n');
        size_t len = nl ? (size_t)(nl - line) : strlen(line);
        if (len > klen && strncmp(line, key, klen) == 0 && line[klen] == ' ') {
            if (!done) o += (size_t)snprintf(out + o, sizeof out - o, "%s %s\n", key, value);
            done = 1;
        } else if (o + len + 1 < sizeof out) {
            memcpy(out + o, line, len);
            o += len;
            out[o++] = '\n';
        }
        line = nl ? nl + 1 : NULL;
    }
    if (!done && o < sizeof out)
        o += (size_t)snprintf(out + o, sizeof out - o, "%s %s\n", key, value);
    if (o >= sizeof d->text) o = sizeof d->text - 1;
    memcpy(d->text, out, o);
    d->text[o] = 0;
    char file[64];
    snprintf(file, sizeof file, "/sim/disks/%s.state", d->disk);
    open_fn ro = RealOpen();
    int fd = ro ? ro(file, O_WRONLY | O_TRUNC | O_CLOEXEC) : -1;
    if (fd >= 0) {
        (void)!write(fd, d->text, o);
        close(fd);
    }
}

/* IDENTIFY DEVICE: model words 27..46 (first character in the high byte)
 * and word 85 with the write cache in bit 5. */
static void Identify(const struct Drive *d, uint8_t *ans) {
    char model[41];
    memset(model, ' ', sizeof model);
    char v[64];
    if (Value(d, "model", v, sizeof v)) {
        memcpy(model, v, strlen(v) < 40 ? strlen(v) : 40);
    } else {
        char file[64];
        snprintf(file, sizeof file, "/sim/disks/%s.ata", d->disk);
        open_fn ro = RealOpen();
        int in = ro ? ro(file, O_RDONLY | O_CLOEXEC) : -1;
        if (in >= 0) {
            (void)!read(in, model, 40);
            close(in);
        }
    }
    memset(ans, 0, 512);
    for (int w = 0; w < 20; ++w) {
        ans[2 * (27 + w) + 1] = (uint8_t)model[2 * w];
        ans[2 * (27 + w)] = (uint8_t)model[2 * w + 1];
    }
    ans[2 * 82] = 0x20; /* write cache supported */
    ans[2 * 85] = Wce(d) ? 0x20 : 0;
}

/* SMART READ DATA: revision 16 and the attribute lines in order. */
static void SmartTable(const struct Drive *d, uint8_t *ans) {
    memset(ans, 0, 512);
    ans[0] = 16;
    int n = 0;
    for (const char *line = d->text; line && *line && n < 30;) {
        const char *nl = strchr(line, '\n');
        unsigned id;
        char hex[32];
        if (sscanf(line, "attr %u %31s", &id, hex) == 2) {
            uint8_t *e = ans + 2 + 12 * n++;
            e[0] = (uint8_t)id;
            e[1] = 0x22; /* flags */
            e[3] = e[4] = 100;
            for (int i = 0; i < 6 && hex[2 * i] && hex[2 * i + 1]; ++i) {
                char b[3] = {hex[2 * i], hex[2 * i + 1], 0};
                e[5 + i] = (uint8_t)strtoul(b, NULL, 16);
            }
        }
        line = nl ? nl + 1 : NULL;
    }
}

static int Refuse(int *result, int err) {
    errno = err;
    *result = -1;
    return 1;
}

/* One ATA command {command, sector, feature, count}; ans receives 512 bytes
 * for the commands that read. 0 or an errno. */
static int Ata(struct Drive *d, const uint8_t *cmd, uint8_t *ans, uint8_t *countOut) {
    char what[8], v[16];
    snprintf(what, sizeof what, "0x%02x", cmd[0]);
    int err = Failing(d, what);
    if (err) return err;
    switch (cmd[0]) {
        case 0xEC:
        case 0xA1:
            if (!ans) return EINVAL;
            Identify(d, ans);
            return 0;
        case 0xB0:
            if (Value(d, "smart", v, sizeof v) && strcmp(v, "none") == 0) return EIO;
            if (cmd[2] == 0xD8) return 0;
            if (cmd[2] == 0xD0 && ans) {
                SmartTable(d, ans);
                return 0;
            }
            return EINVAL;
        case 0xE5:
            if (countOut)
                *countOut =
                    Value(d, "power", v, sizeof v) && strcmp(v, "active") != 0 ? 0x00 : 0xFF;
            return 0;
        case 0xE3:
            Store(d, "power", "active");
            return 0;
        case 0xE7:
            return 0;
        case 0xE6:
        case 0x99:
            Store(d, "power", "sleep");
            return 0;
        case 0xEF:
            if (cmd[2] == 0x02)
                Store(d, "wce", "1");
            else if (cmd[2] == 0x82)
                Store(d, "wce", "0");
            else
                return EINVAL;
            return 0;
        default:
            return EINVAL;
    }
}

static int DriveCmd(struct Drive *d, uint8_t *buf, int *result) {
    uint8_t *ans = buf[3] ? buf + 4 : NULL; /* an answer area follows when a sector is read */
    int err = Ata(d, buf, ans, NULL);
    DriveNote("%s ata 0x%02x 0x%02x 0x%02x 0x%02x -> %d\n", d->disk, buf[0], buf[1], buf[2], buf[3],
              err ? -1 : 0);
    if (err) return Refuse(result, err);
    *result = 0;
    return 1;
}

static int PassThrough(struct Drive *d, uint8_t *req, int *result) {
    uint8_t *area = req + 8;
    uint8_t cmd[4] = {area[6], area[7], area[8], area[9]};
    uint8_t count = 0;
    uint8_t ans[512];
    int err = Failing(d, "pass");
    if (!err) err = Ata(d, cmd, ans, &count);
    DriveNote("%s pass 0x%02x 0x%02x 0x%02x 0x%02x -> %d\n", d->disk, cmd[0], cmd[1], cmd[2],
              cmd[3], err ? -1 : 0);
    if (err) return Refuse(result, err);
    if (cmd[0] == 0xB0 && cmd[2] == 0xD0) memcpy(area + 6, ans, 512);
    if (cmd[0] == 0xE5) area[9] = count;
    *result = 0;
    return 1;
}

static int CachingPage(struct Drive *d, sg_io_hdr_t *io, int *result) {
    if (io->interface_id != 'S' || !io->cmdp) return Refuse(result, EINVAL);
    uint8_t *data = (uint8_t *)io->dxferp;
    unsigned len = io->dxfer_len;
    int err = Failing(d, "sgio");
    char v[16];
    if (!err && io->cmdp[0] == 0x1A) {
        if (!(Value(d, "sgio", v, sizeof v) && strcmp(v, "nodata") == 0) && data && len > 6) {
            memset(data, 0, len);
            data[0] = (uint8_t)(len - 1);
            data[4] = 0x08; /* caching page */
            data[5] = 0x12;
            data[6] = Wce(d) ? 0x04 : 0;
        }
        DriveNote("%s sgio 0x1a len %u flags 0x%x -> 0\n", d->disk, len, io->flags);
    } else if (!err && io->cmdp[0] == 0x15) {
        if (!data || len < 7) {
            err = EINVAL;
        } else {
            Store(d, "wce", (data[6] & 0x04) ? "1" : "0");
            DriveNote("%s sgio 0x15 len %u header %02x%02x%02x%02x byte6 0x%02x -> 0\n", d->disk,
                      len, data[0], data[1], data[2], data[3], data[6]);
        }
    } else if (!err) {
        err = EINVAL;
    }
    if (err) {
        DriveNote("%s sgio 0x%02x -> -1\n", d->disk, io->cmdp[0]);
        return Refuse(result, err);
    }
    *result = 0;
    return 1;
}

int QsimDriveIoctl(int fd, uint32_t request, void *arg, int *result) {
    if (request != REQ_DRIVE_CMD && request != REQ_DRIVE_RESET && request != REQ_SET_DMA &&
        request != REQ_SG_IO && request != REQ_SCSI_SEND && request != REQ_DEV_NODE)
        return 0;
    int saved = errno;
    struct Drive d;
    int known = DriveOf(fd, &d);
    errno = saved;
    if (!known) return 0;
    int err;
    char v[32];
    switch (request) {
        case REQ_DRIVE_CMD:
            if (!arg) return Refuse(result, EINVAL);
            return DriveCmd(&d, (uint8_t *)arg, result);
        case REQ_SCSI_SEND:
            if (!arg) return Refuse(result, EINVAL);
            return PassThrough(&d, (uint8_t *)arg, result);
        case REQ_SG_IO:
            if (!arg) return Refuse(result, EINVAL);
            return CachingPage(&d, (sg_io_hdr_t *)arg, result);
        case REQ_DRIVE_RESET:
            err = Failing(&d, "reset");
            if (!err) Store(&d, "power", "active");
            DriveNote("%s reset -> %d\n", d.disk, err ? -1 : 0);
            break;
        case REQ_SET_DMA:
            err = Failing(&d, "dma");
            DriveNote("%s dma %lu -> %d\n", d.disk, (unsigned long)(uintptr_t)arg, err ? -1 : 0);
            break;
        default: /* REQ_DEV_NODE */
            err = Failing(&d, "node");
            if (!err) {
                *result = Value(&d, "node", v, sizeof v) ? (int)strtol(v, NULL, 0) : 0;
                DriveNote("%s node -> %d\n", d.disk, *result);
                errno = saved;
                return 1;
            }
            DriveNote("%s node -> -1\n", d.disk);
            break;
    }
    if (err) return Refuse(result, err);
    *result = 0;
    errno = saved;
    return 1;
}

/* ---- file systems this kernel lacks ----
 * The mount stand-in (sim/qavo-storage) mounts a tmpfs in place of a vfat,
 * ntfs or reiserfs volume and lists it in /sim/fsmounts as
 * "MOUNTPOINT TYPE DEVICE OPTIONS"; statfs below it gives the type's word. */
#define FS_MOUNTS "/sim/fsmounts"

long QsimFsType(const char *path) {
    if (!path) return 0;
    int saved = errno;
    char real[4096];
    if (!realpath(path, real)) {
        errno = saved;
        return 0;
    }
    open_fn ro = RealOpen();
    int in = ro ? ro(FS_MOUNTS, O_RDONLY | O_CLOEXEC) : -1;
    if (in < 0) {
        errno = saved;
        return 0;
    }
    char text[8192];
    ssize_t got = read(in, text, sizeof text - 1);
    close(in);
    text[got > 0 ? got : 0] = 0;
    long word = 0;
    size_t best = 0;
    for (char *line = text; line && *line;) {
        char *nl = strchr(line, '\n');
        if (nl) *nl = 0;
        char mp[4096], type[32];
        if (sscanf(line, "%4095s %31s", mp, type) == 2) {
            size_t len = strlen(mp);
            if (strncmp(real, mp, len) == 0 && (real[len] == 0 || real[len] == '/') && len > best) {
                best = len;
                word = strcmp(type, "vfat") == 0       ? 0x4D44
                       : strcmp(type, "ntfs") == 0     ? 0x5346544EL
                       : strcmp(type, "reiserfs") == 0 ? 0x25521814L
                                                       : 0;
            }
        }
        line = nl ? nl + 1 : NULL;
    }
    errno = saved;
    return word;
}

/* The mount table with the simulated mounts shown as what they stand for:
 * a memory file holding /proc/self/mounts where each tmpfs line of a mount
 * point in /sim/fsmounts reads "DEVICE MOUNTPOINT TYPE OPTIONS 0 0" (a test
 * may add option words such as "corrupt" there). -1 when nothing is
 * simulated: the caller opens the kernel's own table. */
int QsimMountsFd(void) {
    int saved = errno;
    open_fn ro = RealOpen();
    int in = ro ? ro(FS_MOUNTS, O_RDONLY | O_CLOEXEC) : -1;
    if (in < 0) {
        errno = saved;
        return -1;
    }
    const size_t simSize = 8192, tableSize = 262144;
    char *sim = malloc(simSize), *table = malloc(tableSize);
    ssize_t got = sim ? read(in, sim, simSize - 1) : -1;
    close(in);
    in = got > 0 && table ? ro("/proc/self/mounts", O_RDONLY | O_CLOEXEC) : -1;
    if (in < 0) {
        free(sim);
        free(table);
        errno = saved;
        return -1;
    }
    sim[got] = 0;
    size_t n = 0;
    while (n < tableSize - 1) {
        ssize_t r = read(in, table + n, tableSize - 1 - n);
        if (r <= 0) break;
        n += (size_t)r;
    }
    close(in);
    table[n] = 0;
    int out = memfd_create("mounts", MFD_CLOEXEC);
    if (out < 0) {
        free(sim);
        free(table);
        errno = saved;
        return -1;
    }
    for (char *line = table; line && *line;) {
        char *nl = strchr(line, '\n');
        if (nl) *nl = 0;
        char dev[256], mp[1024], type[64];
        const char *text = line;
        char repl[2048];
        if (sscanf(line, "%255s %1023s %63s", dev, mp, type) == 3 && strcmp(type, "tmpfs") == 0) {
            for (char *s = sim; s && *s;) {
                char *snl = strchr(s, '\n');
                char smp[1024], stype[32], sdev[256], sopts[512];
                if (sscanf(s, "%1023s %31s %255s %511s", smp, stype, sdev, sopts) == 4 &&
                    strcmp(smp, mp) == 0) {
                    snprintf(repl, sizeof repl, "%s %s %s %s 0 0", sdev, smp, stype, sopts);
                    text = repl;
                }
                s = snl ? snl + 1 : NULL;
            }
        }
        (void)!write(out, text, strlen(text));
        (void)!write(out, "\n", 1);
        line = nl ? nl + 1 : NULL;
    }
    free(sim);
    free(table);
    lseek(out, 0, SEEK_SET);
    errno = saved;
    return out;
}
