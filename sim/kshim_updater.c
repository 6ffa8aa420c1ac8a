/* Pieces of the kernel shim for watching and steering a program's road:
 * - "record PATH": every positioned write (pwrite) to the file PATH is
 *   appended, as one line, to /sim/records.log, so that a test or a rehearsal
 *   sees each record a program wrote over the previous one (the updater's
 *   progress file), not only the last. Other writes pass through untouched.
 * - "fchdir errno N": fchdir fails with errno N (a starting directory that
 *   cannot be entered again), noted in /sim/kernel.log. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "kshim.h"

#define RECORDS_PATH "/sim/records.log"

typedef ssize_t (*pwrite_fn)(int, const void *, size_t, off_t);
typedef int (*open_fn)(const char *, int, ...);

static void Record(int fd, const void *buf, ssize_t n) {
    char path[256], link[64], self[256];
    if (n <= 0 || !QsimShimSetting("record", path, sizeof path)) return;
    int saved = errno;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t len = readlink(link, self, sizeof self - 1);
    if (len > 0) {
        self[len] = 0;
        if (strcmp(self, path) == 0) {
            static void *open_cache;
            open_fn real_open = (open_fn)QsimShimNext(&open_cache, "open");
            int out = real_open
                          ? real_open(RECORDS_PATH, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)
                          : -1;
            if (out >= 0) {
                char line[512];
                size_t take = (size_t)n < sizeof line - 1 ? (size_t)n : sizeof line - 1;
                memcpy(line, buf, take);
                line[take] = '\n';
                (void)!write(out, line, take + 1);
                close(out);
            }
        }
    }
    errno = saved;
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset) {
    static void *cache;
    pwrite_fn real = (pwrite_fn)QsimShimNext(&cache, "pwrite");
    if (!real) return -1;
    ssize_t n = real(fd, buf, count, offset);
    Record(fd, buf, n);
    return n;
}

ssize_t pwrite64(int fd, const void *buf, size_t count, off_t offset) {
    static void *cache;
    pwrite_fn real = (pwrite_fn)QsimShimNext(&cache, "pwrite64");
    if (!real) return -1;
    ssize_t n = real(fd, buf, count, offset);
    Record(fd, buf, n);
    return n;
}

typedef int (*fchdir_fn)(int);

int fchdir(int fd) {
    char val[64];
    if (QsimShimSetting("fchdir", val, sizeof val)) {
        long r = QsimShimScripted(val);
        if (r != 0) {
            char line[64];
            snprintf(line, sizeof line, "fchdir %d -> -1 errno %d\n", fd, errno);
            int saved = errno;
            QsimShimNote(line);
            errno = saved;
            return -1;
        }
    }
    static void *cache;
    fchdir_fn real = (fchdir_fn)QsimShimNext(&cache, "fchdir");
    return real ? real(fd) : -1;
}
