/* Kernel shim, the clock: settimeofday, clock_settime and stime. The clock
 * has no namespace and the appliance root runs without CAP_SYS_TIME, so a
 * call that reaches the kernel fails with EPERM. With "clock ok" (or
 * "clock errno N") in /sim/kernel.conf the shim answers instead: nothing
 * reaches the kernel, and each call is appended to /sim/kernel.log:
 *   settimeofday SEC.USEC|- tz MINWEST DST|- -> R [errno E]
 *   clock_settime CLOCKID SEC.NSEC -> R [errno E]
 *   stime SEC -> R [errno E]
 * Answer() is the one place that decides a call's result. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>

#include "kshim.h"

typedef int (*settimeofday_fn)(const struct timeval *, const void *);
typedef int (*clock_settime_fn)(clockid_t, const struct timespec *);

/* glibc no longer declares it; the appliance's programs call it. */
int stime(const time_t *when);

static settimeofday_fn NextSettimeofday(void) {
    static void *cache;
    return (settimeofday_fn)QsimShimNext(&cache, "settimeofday");
}

static clock_settime_fn NextClockSettime(void) {
    static void *cache;
    return (clock_settime_fn)QsimShimNext(&cache, "clock_settime");
}

/* 1 when the shim answers the clock calls; *result is then the call's
 * result (errno set on -1), given valid arguments (valid = 1). */
static int Answer(int valid, int *result) {
    char val[64];
    if (!QsimShimSetting("clock", val, sizeof val)) return 0;
    if (!valid) {
        errno = EINVAL;
        *result = -1;
    } else {
        *result = (int)QsimShimScripted(val);
    }
    return 1;
}

static void Record(const char *call, int result) {
    char line[200];
    if (result == 0)
        snprintf(line, sizeof line, "%s -> 0\n", call);
    else
        snprintf(line, sizeof line, "%s -> %d errno %d\n", call, result, errno);
    int saved = errno;
    QsimShimNote(line);
    errno = saved;
}

int settimeofday(const struct timeval *tv, const struct timezone *tz) {
    int r;
    int valid = (tv || tz) && (!tv || (tv->tv_usec >= 0 && tv->tv_usec < 1000000));
    if (Answer(valid, &r)) {
        char call[160], when[48] = "-", zone[48] = "-";
        if (tv) snprintf(when, sizeof when, "%lld.%06ld", (long long)tv->tv_sec, (long)tv->tv_usec);
        if (tz) snprintf(zone, sizeof zone, "%d %d", tz->tz_minuteswest, tz->tz_dsttime);
        snprintf(call, sizeof call, "settimeofday %s tz %s", when, zone);
        Record(call, r);
        return r;
    }
    settimeofday_fn real = NextSettimeofday();
    return real ? real(tv, tz) : -1;
}

/* clock_settime's argument is declared never null: checked here all the
 * same, as the kernel does. */
static int ClockSettime(clockid_t id, const struct timespec *ts) {
    int r;
    int valid = id == CLOCK_REALTIME && ts && ts->tv_nsec >= 0 && ts->tv_nsec < 1000000000;
    if (Answer(valid, &r)) {
        char call[160];
        if (ts)
            snprintf(call, sizeof call, "clock_settime %d %lld.%09ld", (int)id,
                     (long long)ts->tv_sec, (long)ts->tv_nsec);
        else
            snprintf(call, sizeof call, "clock_settime %d -", (int)id);
        Record(call, r);
        return r;
    }
    clock_settime_fn real = NextClockSettime();
    return real ? real(id, ts) : -1;
}

int clock_settime(clockid_t id, const struct timespec *ts) {
    return ClockSettime(id, ts);
}

int stime(const time_t *when) {
    int r;
    if (Answer(when != NULL, &r)) {
        char call[64];
        if (when)
            snprintf(call, sizeof call, "stime %lld", (long long)*when);
        else
            snprintf(call, sizeof call, "stime -");
        Record(call, r);
        return r;
    }
    if (!when) {
        errno = EFAULT;
        return -1;
    }
    /* What the kernel's stime did: set the realtime clock to the second. */
    struct timespec ts = {*when, 0};
    clock_settime_fn real = NextClockSettime();
    return real ? real(CLOCK_REALTIME, &ts) : -1;
}
