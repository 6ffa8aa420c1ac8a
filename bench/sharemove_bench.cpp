// A share of 10,000 small files and three 100 MiB files moved to another
// volume, against "cp -a" + "rm -rf" and "rsync -a --remove-source-files" on
// the same data; the counting tree copy against "cp -a"
// (bench/scripts/sharemove_vs_cp.sh prints the ratios).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "qavo_share.h"
#include "qavo_sharedir.h"
#include "qavo_sharemgmt.h"
#include "qavo_volume.h"

namespace {

bool Run(const std::string &cmd) {
    return system(cmd.c_str()) == 0;
}

// Volumes 1 and 2 (and 3 for the pristine data) as file systems of their own,
// each an 800 MiB tmpfs mounted here (whatever another benchmark left there
// is covered, never used), and taken away when the program ends.
std::string gWhy;  // why the volumes or the data cannot be prepared

void UnmountVolumes() {
    for (int v = 3; v >= 1; --v)
        Run("umount /volume" + std::to_string(v));
}

bool Ready() {
    static bool ready = false;
    if (ready) return true;
    if (!gWhy.empty()) return false;
    for (int v = 1; v <= 3; ++v) {
        const std::string dir = "/volume" + std::to_string(v);
        if (!Run("mkdir -p " + dir + " && mount -t tmpfs -o size=800m tmpfs " + dir)) {
            gWhy = "an 800 MiB tmpfs cannot be mounted on " + dir;
            return false;
        }
        if (v == 1) atexit(UnmountVolumes);
        int health = 0;
        if (QAVOVolHealthCheck(v, &health) != 0 || health != QAVO_VOLUME_WRITABLE) {
            gWhy = dir + " is not a writable volume after mounting";
            return false;
        }
    }
    ready =
        Run("test -d /volume3/pristine || (mkdir -p /volume3/pristine && cd /volume3/pristine && "
            "for d in $(seq 0 99); do mkdir d$d; done && "
            "python3 -c 'import os\n"
            "for i in range(10000):\n"
            "    open(\"d%d/f%d\" % (i % 100, i), \"wb\").write(os.urandom(512 + i % 3000))' && "
            "for i in 1 2 3; do head -c 104857600 /dev/urandom > big$i; done)");
    if (!ready) gWhy = "the data cannot be made on /volume3 (python3, 400 MiB of room)";
    return ready;
}

// The share "data" on volume 1 with a fresh copy of the data.
bool Prepare() {
    FILE *fp = fopen(SZF_QAVO_SMB_CONF, "w");
    if (!fp) return false;
    fputs(
        "[global]\n\tsecurity=user\n[data]\n\tpath=/volume1/data\n\tguest ok=yes\n"
        "\twriteable=yes\n",
        fp);
    fclose(fp);
    return Run(
        "rm -rf /volume1/data /volume2/data /volume2/copy /volume2/@tmp && "
        "cp -a /volume3/pristine /volume1/data && sync");
}

template <typename Move>
void Measure(benchmark::State &state, Move move) {
    if (!Ready()) {
        state.SkipWithError(gWhy.c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        if (!Prepare()) {
            state.SkipWithError("data cannot be laid out");
            return;
        }
        state.ResumeTiming();
        if (!move()) {
            state.SkipWithError("the move failed");
            return;
        }
    }
}

void BM_ShareMoveQavo(benchmark::State &state) {
    Measure(state, [] {
        QAVOSHARE s{};
        s.szName = const_cast<char *>("data");
        s.szPath = const_cast<char *>("/volume2/data");
        s.fType = QAVOSHARE_ACCESS_RW;
        s.fBrowseable = 1;
        return QAVOShareSet(1, "data", &s) == 1;
    });
}
void BM_ShareMoveCpRm(benchmark::State &state) {
    Measure(state, [] { return Run("cp -a /volume1/data /volume2/data && rm -rf /volume1/data"); });
}
void BM_ShareMoveRsync(benchmark::State &state) {
    Measure(state,
            [] { return Run("rsync -a --remove-source-files /volume1/data/ /volume2/data/"); });
}
void BM_ShareDirCopy(benchmark::State &state) {
    Measure(state, [] { return ShareDirCopy("/volume1/data", "/volume2/copy", "/tmp/st") == 0; });
}
void BM_ShareDirCopyCpA(benchmark::State &state) {
    Measure(state, [] { return Run("cp -a /volume1/data /volume2/copy"); });
}

}  // namespace

BENCHMARK(BM_ShareMoveQavo)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShareMoveCpRm)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShareMoveRsync)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShareDirCopy)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShareDirCopyCpA)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
