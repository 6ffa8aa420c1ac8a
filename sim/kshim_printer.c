/* Kernel shim, the USB printer (sim/README.md, "USB printer"). A printer
 * node /dev/usb/lpN is a plain file of the sandbox's /dev; the shim answers
 * the printer class requests on it from two files a test writes:
 *   /sim/printer/lpN.id     the IEEE 1284 device ID text (raw bytes)
 *   /sim/printer/lpN.state  lines:
 *     busy N            the next N opens fail with EBUSY
 *     idfail N [ERRNO]  the next N device-ID requests fail (EIO)
 *     length N          the length the answer claims (else the text's + 2)
 *     statefail ERRNO   the appliance's state requests fail
 * The device-ID request (0x8FFF5001, a 4095-byte answer) gives two length
 * bytes, big-endian, counting themselves, then as much of the text as fits;
 * without an id file it fails with ENODEV. The appliance kernel's requests
 * 0x40005007 and 0x40005008 (a 4-byte argument) answer 0. The busy and
 * idfail counts are written back as they run down. Every answer is logged to
 * /sim/kernel.log: "lpN open -> -1 errno 16", "lpN id length L -> 0",
 * "lpN 0x40005007 arg V -> 0". */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kshim.h"

#define REQ_GET_DEVICE_ID 0x8FFF5001u
#define REQ_STATE_ON 0x40005007u
#define REQ_STATE_OFF 0x40005008u
#define ID_ANSWER 4095
#define NODE_PREFIX "/dev/usb/"

typedef int (*open_fn)(const char *, int, ...);

static open_fn RealOpen(void) {
    static void *cache;
    return (open_fn)QsimShimNext(&cache, "open");
}

static void PrinterNote(const char *fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    int saved = errno;
    QsimShimNote(line);
    errno = saved;
}

/* The printer's name ("lp0") of a node path, or 0. */
static int PrinterName(const char *path, char *name, size_t size) {
    size_t plen = strlen(NODE_PREFIX);
    if (!path || strncmp(path, NODE_PREFIX "lp", plen + 2) != 0) return 0;
    const char *n = path + plen;
    if (strlen(n) >= size || strchr(n, '/')) return 0;
    snprintf(name, size, "%s", n);
    return 1;
}

static int FdPrinterName(int fd, char *name, size_t size) {
    char link[64], path[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    int saved = errno;
    ssize_t n = readlink(link, path, sizeof path - 1);
    errno = saved;
    if (n <= 0) return 0;
    path[n] = 0;
    return PrinterName(path, name, size);
}

/* Reads /sim/printer/NAME.SUFFIX into buf (size - 1 bytes at most, then
 * terminated); the byte count, or -1. */
static ssize_t ReadSimFile(const char *name, const char *suffix, char *buf, size_t size) {
    char file[96];
    snprintf(file, sizeof file, "/sim/printer/%s.%s", name, suffix);
    open_fn ro = RealOpen();
    int fd = ro ? ro(file, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < size - 1) {
        ssize_t r = read(fd, buf + got, size - 1 - got);
        if (r <= 0) break;
        got += (size_t)r;
    }
    close(fd);
    buf[got] = 0;
    return (ssize_t)got;
}

/* The numbers after "key " in the state text (up to two); 1 when found. */
static int StateValue(const char *text, const char *key, long *a, long *b) {
    size_t klen = strlen(key);
    for (const char *line = text; line && *line;) {
        const char *nl = strchr(line, '\n');
        if (strncmp(line, key, klen) == 0 && line[klen] == ' ') {
            char *end = NULL;
            *a = strtol(line + klen + 1, &end, 0);
            if (b) *b = (end && *end == ' ') ? strtol(end + 1, NULL, 0) : 0;
            return 1;
        }
        line = nl ? nl + 1 : NULL;
    }
    return 0;
}

/* Writes the state text back with key's first number replaced. */
static void StoreCount(const char *name, const char *text, const char *key, long count) {
    char out[2048];
    size_t o = 0, klen = strlen(key);
    for (const char *line = text; line && *line;) {
        const char *nl = strchr(line, '\n');
        size_t len = nl ? (size_t)(nl - line) : strlen(line);
        if (strncmp(line, key, klen) == 0 && line[klen] == ' ') {
            const char *rest = line + klen + 1;
            while (rest < line + len && *rest != ' ')
                ++rest; /* keeps an errno after the count */
            int n = snprintf(out + o, sizeof out - o, "%s %ld%.*s\n", key, count,
                             (int)(line + len - rest), rest);
            if (n > 0) o += (size_t)n;
        } else if (o + len + 1 < sizeof out) {
            memcpy(out + o, line, len);
            o += len;
            out[o++] = '\n';
        }
        if (o >= sizeof out) o = sizeof out - 1;
        line = nl ? nl + 1 : NULL;
    }
    char file[96];
    snprintf(file, sizeof file, "/sim/printer/%s.state", name);
    open_fn rw = RealOpen();
    int fd = rw ? rw(file, O_WRONLY | O_TRUNC | O_CLOEXEC) : -1;
    if (fd < 0) return;
    (void)!write(fd, out, o);
    close(fd);
}

/* Takes one from a running count of the state file; 1 when it was above 0
 * (the second number, or 0, in *extra). */
static int TakeOne(const char *name, const char *key, long *extra) {
    char text[2048];
    long count = 0, second = 0;
    if (ReadSimFile(name, "state", text, sizeof text) < 0) return 0;
    if (!StateValue(text, key, &count, &second) || count <= 0) return 0;
    StoreCount(name, text, key, count - 1);
    if (extra) *extra = second;
    return 1;
}

int QsimPrinterOpenBusy(const char *path) {
    char name[16];
    if (!PrinterName(path, name, sizeof name)) return 0;
    int saved = errno;
    int busy = TakeOne(name, "busy", NULL);
    errno = saved;
    if (!busy) return 0;
    PrinterNote("%s open -> -1 errno %d\n", name, EBUSY);
    errno = EBUSY;
    return 1;
}

static int DeviceId(const char *name, unsigned char *answer) {
    long err = 0;
    if (TakeOne(name, "idfail", &err)) {
        errno = err > 0 ? (int)err : EIO;
        PrinterNote("%s id -> -1 errno %d\n", name, errno);
        return -1;
    }
    static char text[65536];
    ssize_t n = ReadSimFile(name, "id", text, sizeof text);
    if (n < 0) {
        PrinterNote("%s id -> -1 errno %d\n", name, ENODEV);
        errno = ENODEV;
        return -1;
    }
    char state[2048];
    long length = n + 2;
    if (ReadSimFile(name, "state", state, sizeof state) >= 0)
        StateValue(state, "length", &length, NULL);
    if (length < 0) length = 0;
    if (length > 0xFFFF) length = 0xFFFF;
    memset(answer, 0, ID_ANSWER);
    answer[0] = (unsigned char)(length >> 8);
    answer[1] = (unsigned char)(length & 0xFF);
    size_t copy = (size_t)n < ID_ANSWER - 2 ? (size_t)n : ID_ANSWER - 2;
    memcpy(answer + 2, text, copy);
    PrinterNote("%s id length %ld -> 0\n", name, length);
    return 0;
}

int QsimPrinterIoctl(int fd, uint32_t request, void *arg, int *result) {
    if (request != REQ_GET_DEVICE_ID && request != REQ_STATE_ON && request != REQ_STATE_OFF)
        return 0;
    char name[16];
    if (!FdPrinterName(fd, name, sizeof name)) return 0;
    if (!arg) {
        errno = EFAULT;
        *result = -1;
        return 1;
    }
    if (request == REQ_GET_DEVICE_ID) {
        *result = DeviceId(name, (unsigned char *)arg);
        return 1;
    }
    int32_t value;
    memcpy(&value, arg, sizeof value);
    char state[2048];
    long err = 0;
    *result = 0;
    if (ReadSimFile(name, "state", state, sizeof state) >= 0 &&
        StateValue(state, "statefail", &err, NULL)) {
        errno = err > 0 ? (int)err : EIO;
        *result = -1;
        PrinterNote("%s 0x%08x arg %d -> -1 errno %d\n", name, request, value, errno);
        return 1;
    }
    PrinterNote("%s 0x%08x arg %d -> 0\n", name, request, value);
    return 1;
}
