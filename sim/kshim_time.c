/* Kernel shim, time that passes: with "time fast" in /sim/kernel.conf a
 * process does not wait out its sleeps and time-outs. sleep, usleep,
 * nanosleep and relative clock_nanosleep return at once; a poll with a
 * time-out waits for at most one real second and, when nothing came, returns
 * as if its whole time-out had gone. The time skipped is added to the
 * process's clocks (clock_gettime, gettimeofday, time), so that a deadline
 * taken before the wait has passed after it, as on the appliance. Without
 * the setting every call is the real one. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "kshim.h"

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);
typedef int (*gettimeofday_fn)(struct timeval *, void *);
typedef time_t (*time_fn)(time_t *);
typedef unsigned (*sleep_fn)(unsigned);
typedef int (*usleep_fn)(useconds_t);
typedef int (*nanosleep_fn)(const struct timespec *, struct timespec *);
typedef int (*clock_nanosleep_fn)(clockid_t, int, const struct timespec *, struct timespec *);
typedef int (*poll_fn)(struct pollfd *, nfds_t, int);

#define NS_PER_S 1000000000LL

/* Nanoseconds the process's clocks are ahead of the kernel's. */
static long long gSkipped;

static long long Skipped(void) {
    return __atomic_load_n(&gSkipped, __ATOMIC_RELAXED);
}

static void Skip(long long ns) {
    if (ns > 0) __atomic_add_fetch(&gSkipped, ns, __ATOMIC_RELAXED);
}

static int Fast(void) {
    char val[32];
    return QsimShimSetting("time", val, sizeof val) && strcmp(val, "fast") == 0;
}

static void Advance(struct timespec *ts, long long ns) {
    long long total = (long long)ts->tv_nsec + ns % NS_PER_S;
    ts->tv_sec += (time_t)(ns / NS_PER_S + total / NS_PER_S);
    ts->tv_nsec = (long)(total % NS_PER_S);
}

/* The clocks that run with the wall or the uptime; CPU-time clocks do not. */
static int Moves(clockid_t id) {
    return id == CLOCK_REALTIME || id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW ||
           id == CLOCK_REALTIME_COARSE || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_BOOTTIME;
}

/* The libc declarations say never null: checked here all the same. */
static int ClockGettime(clockid_t id, struct timespec *ts) {
    static void *cache;
    clock_gettime_fn real = (clock_gettime_fn)QsimShimNext(&cache, "clock_gettime");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    int r = real(id, ts);
    long long s = Skipped();
    if (r == 0 && s != 0 && ts && Moves(id)) Advance(ts, s);
    return r;
}

int clock_gettime(clockid_t id, struct timespec *ts) {
    return ClockGettime(id, ts);
}

static int Gettimeofday(struct timeval *tv, void *tz) {
    static void *cache;
    gettimeofday_fn real = (gettimeofday_fn)QsimShimNext(&cache, "gettimeofday");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    int r = real(tv, tz);
    long long s = Skipped();
    if (r == 0 && s != 0 && tv) {
        struct timespec ts = {tv->tv_sec, tv->tv_usec * 1000L};
        Advance(&ts, s);
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000L;
    }
    return r;
}

int gettimeofday(struct timeval *tv, void *tz) {
    return Gettimeofday(tv, tz);
}

time_t time(time_t *out) {
    static void *cache;
    time_fn real = (time_fn)QsimShimNext(&cache, "time");
    if (!real) {
        errno = ENOSYS;
        return (time_t)-1;
    }
    time_t t = real(NULL);
    if (t != (time_t)-1) t += (time_t)(Skipped() / NS_PER_S);
    if (out) *out = t;
    return t;
}

unsigned sleep(unsigned seconds) {
    if (Fast()) {
        Skip((long long)seconds * NS_PER_S);
        return 0;
    }
    static void *cache;
    sleep_fn real = (sleep_fn)QsimShimNext(&cache, "sleep");
    return real ? real(seconds) : seconds;
}

int usleep(useconds_t usec) {
    if (Fast()) {
        Skip((long long)usec * 1000LL);
        return 0;
    }
    static void *cache;
    usleep_fn real = (usleep_fn)QsimShimNext(&cache, "usleep");
    return real ? real(usec) : -1;
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
    if (req && req->tv_sec >= 0 && req->tv_nsec >= 0 && req->tv_nsec < NS_PER_S && Fast()) {
        Skip((long long)req->tv_sec * NS_PER_S + req->tv_nsec);
        if (rem) rem->tv_sec = 0, rem->tv_nsec = 0;
        return 0;
    }
    static void *cache;
    nanosleep_fn real = (nanosleep_fn)QsimShimNext(&cache, "nanosleep");
    return real ? real(req, rem) : -1;
}

int clock_nanosleep(clockid_t id, int flags, const struct timespec *req, struct timespec *rem) {
    if (!(flags & TIMER_ABSTIME) && Moves(id) && req && req->tv_sec >= 0 && req->tv_nsec >= 0 &&
        req->tv_nsec < NS_PER_S && Fast()) {
        Skip((long long)req->tv_sec * NS_PER_S + req->tv_nsec);
        if (rem) rem->tv_sec = 0, rem->tv_nsec = 0;
        return 0;
    }
    static void *cache;
    clock_nanosleep_fn real = (clock_nanosleep_fn)QsimShimNext(&cache, "clock_nanosleep");
    return real ? real(id, flags, req, rem) : ENOSYS;
}

int poll(struct pollfd *fds, nfds_t nfds, int timeout) {
    static void *cache;
    poll_fn real = (poll_fn)QsimShimNext(&cache, "poll");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    if (timeout <= 1000 || !Fast()) return real(fds, nfds, timeout);
    int r = real(fds, nfds, 1000);
    if (r == 0) Skip((long long)(timeout - 1000) * 1000000LL);
    return r;
}
