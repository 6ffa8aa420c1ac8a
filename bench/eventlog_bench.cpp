// Event records written into a ring that keeps wrapping (each record: open,
// lock, header, record, two syncs, close), through the public writer.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "slib_eventlog.h"

static void BM_EventLogWrite(benchmark::State &state) {
    mkdir("/var/log", 0755);
    unlink(QAVOLOG_CONF_PATH);
    unlink("/var/log/qavoconn.log");
    if (QAVOLogSetSize(65536, QAVOLOG_CLASS_CONN) != 0) {
        state.SkipWithError("event log configuration cannot be written");
        return;
    }
    uint32_t id = 0;
    for (auto _ : state) {
        if (QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, 0x11100001 + (id++ & 0xff), "192.168.1.20",
                              "share1", "SMB", nullptr) != 0) {
            state.SkipWithError("event write failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventLogWrite);
