// The library's log helper against a bare syslog call (the floor).
#include <benchmark/benchmark.h>
#include <syslog.h>

#include "slib_errcode.h"

static void BM_SyslogBare(benchmark::State &state) {
    for (auto _ : state)
        syslog(LOG_INFO, "%s(%d) bench message %d", __FILE__, __LINE__, 1);
}
BENCHMARK(BM_SyslogBare);

static void BM_SLIBLog(benchmark::State &state) {
    for (auto _ : state)
        SLIB_LOG(LOG_INFO, "%s(%d) bench message %d", 1);
}
BENCHMARK(BM_SLIBLog);
