// Event records written into a ring that keeps wrapping (each record: open,
// lock, header, record, two syncs, close), through the public writer; on
// ext4 too, beside the durable floor there: one write and one fsync of the
// same record bytes into an open file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "slib_eventlog.h"
#include "slib_keyvalue.h"

namespace {

// Sets up the connection log at path (empty: its default file) and writes
// events into it.
void WriteEvents(benchmark::State &state, const std::string &path) {
    mkdir("/var/log", 0755);
    unlink(QAVOLOG_CONF_PATH);
    unlink(path.empty() ? "/var/log/qavoconn.log" : path.c_str());
    if (QAVOLogSetSize(65536, QAVOLOG_CLASS_CONN) != 0 ||
        (!path.empty() && SLIBFileSetKeyValue(QAVOLOG_CONF_PATH, "connlogfile", path.c_str(),
                                              QAVOLOG_CONF_FMT) != 1)) {
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

void BM_EventLogWrite(benchmark::State &state) {
    WriteEvents(state, "");
}
BENCHMARK(BM_EventLogWrite);

// The ext4 directory the launcher bound (QAVO_BENCH_EXT4); empty when none.
std::string Ext4() {
    const char *dir = getenv("QAVO_BENCH_EXT4");
    return dir ? dir : "";
}

void BM_EventLogWrite_ext4(benchmark::State &state) {
    WriteEvents(state, Ext4() + "/qavoconn.log");
}

// The durable floor: the same record's bytes written and synced, one record
// after the other through a 64 KiB ring of an open file.
void BM_RecordWriteFsyncFloor_ext4(benchmark::State &state) {
    int n = 0;
    unsigned char *rec = QAVOLogRecordBuild(1, 0x11100001, "192.168.1.20", "share1", "SMB", "", &n);
    const std::string path = Ext4() + "/floor.log";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (!rec || fd < 0) {
        free(rec);
        if (fd >= 0) close(fd);
        state.SkipWithError("floor file cannot be opened");
        return;
    }
    off_t at = 16;
    for (auto _ : state) {
        if (at + n > 65536) at = 16;
        benchmark::DoNotOptimize(pwrite(fd, rec, static_cast<size_t>(n), at));
        fsync(fd);
        at += n;
    }
    close(fd);
    free(rec);
    state.SetItemsProcessed(state.iterations());
}
// The ext4 cases exist only where the launcher bound an ext4 directory
// (bench/scripts/eventlog_vs_logger.sh does).
const bool kRegistered = [] {
    if (Ext4().empty()) return false;
    benchmark::RegisterBenchmark("BM_EventLogWrite_ext4", BM_EventLogWrite_ext4);
    benchmark::RegisterBenchmark("BM_RecordWriteFsyncFloor_ext4", BM_RecordWriteFsyncFloor_ext4);
    return true;
}();

}  // namespace
