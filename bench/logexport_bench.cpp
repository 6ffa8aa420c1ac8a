// Export of a 100,000-record event log (walk, text lookup, level name, time
// text and one output line per record), through the public export.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "slib_eventlog.h"
#include "slib_logtext.h"

namespace {

const char kLog[] = "/var/log/qavosys.log";
const char kOut[] = "/tmp/export.out";
constexpr int kRecords = 100000;

bool WriteFileText(const char *path, const std::string &text) {
    FILE *fp = fopen(path, "w");
    if (!fp) return false;
    const bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    return fclose(fp) == 0 && ok;
}

// The events file and a log of kRecords records that has not wrapped.
bool MakeLog() {
    if (system("mkdir -p /usr/qavo/qavosdk/texts/enu /var/log") != 0) return false;
    if (!WriteFileText("/usr/qavo/qavosdk/texts/enu/events",
                       "[11000000]\n11000001=Info\n11000002=Warning\n11000003=Error\n"
                       "[11100000]\n11100001=User @1 logged in from @2 via @3\n"
                       "11100002=User @1 logged out\n"
                       "[11800000]\n11800001=Share @1 created on @2\n"
                       "11800002=Backup task @1 finished: @2 files, @3 bytes\n"))
        return false;
    setenv("USERNAME", "admin", 1);
    const char *args[][3] = {{"alice", "192.168.1.20", "SMB"},
                             {"bob", nullptr, nullptr},
                             {"share1", "/volume1", nullptr},
                             {"nightly", "12345", "987654321"}};
    const unsigned ids[] = {0x11100001, 0x11100002, 0x11800001, 0x11800002};
    std::string body;
    for (int i = 0; i < kRecords; ++i) {
        int n = 0;
        const int k = i % 4;
        unsigned char *rec =
            QAVOLogRecordBuild(1 + i % 3, ids[k], args[k][0], args[k][1], args[k][2], nullptr, &n);
        if (!rec) return false;
        body.append(reinterpret_cast<char *>(rec), static_cast<size_t>(n));
        free(rec);
    }
    std::string file(16, '\0');
    memcpy(file.data(), "QAVO", 4);
    const uint32_t start = 16, end = static_cast<uint32_t>(16 + body.size());
    for (int i = 0; i < 4; ++i) {
        file[8 + i] = static_cast<char>(start >> (8 * i));
        file[12 + i] = static_cast<char>(end >> (8 * i));
    }
    unlink(QAVOLOG_CONF_PATH);
    return WriteFileText(kLog, file + body);
}

}  // namespace

static void BM_LogExport(benchmark::State &state) {
    static const bool ready = MakeLog();
    if (!ready) {
        state.SkipWithError("log cannot be written");
        return;
    }
    for (auto _ : state) {
        if (QAVOLogExport(QAVOLOG_CLASS_SYS, kOut, "enu") != 0) {
            state.SkipWithError("export failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_LogExport)->Unit(benchmark::kMillisecond)->UseRealTime();
