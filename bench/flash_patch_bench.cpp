// The patch stage (erase, write and verify of every image, with the
// directory entries) on the full edition's emulated 8 MiB chip, against dd
// writing the same images to the same devices. Each iteration runs both;
// "vs_dd" is dd's time over the patch stage's (1.0: as fast as dd).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qavo_mtd.h"
#include "qavosim.h"
#include "updt_patchinfo.h"
#include "updt_redboot.h"

namespace {

struct Image {
    const char *file, *device;
    size_t size;
};
// Every movable partition of the full edition filled to its end: 7 MiB.
const Image kImages[] = {
    {"zImage", "/dev/mtd1", 0x200000},
    {"rd.bin", "/dev/mtd2", 0x300000},
    {"AllLib.tgz", "/dev/mtd3", 0x200000},
};

void WriteImage(const std::string &path, size_t n, uint32_t seed) {
    std::vector<char> b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    std::ofstream(path, std::ios::binary).write(b.data(), static_cast<std::streamsize>(n));
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

static void BM_PatchStageVsDd(benchmark::State &state) {
    std::unique_ptr<qsim::Appliance> hw;
    try {
        hw = std::make_unique<qsim::Appliance>("edition full\n");
    } catch (const std::exception &e) {
        state.SkipWithError(e.what());
        return;
    }
    UPDTSelectEdition(0);
    mkdir("/tmp/upd", 0755);
    snprintf(szUpdateDir, sizeof szUpdateDir, "%s", "/tmp/upd");
    if (chdir("/tmp/upd") != 0) {
        state.SkipWithError("no update folder");
        return;
    }
    uint64_t bytes = 0;
    for (size_t i = 0; i < std::size(kImages); ++i) {
        WriteImage(kImages[i].file, kImages[i].size, static_cast<uint32_t>(i + 1));
        bytes += kImages[i].size;
    }
    int need = 0;
    int n = QAVOMTDGetPartitionInfo(gszDevMtdPartition, nullptr, 0, &need);
    std::vector<FISDIRENTRY> dir(n > 0 ? n : 1);
    if (n <= 0 || QAVOMTDGetPartitionInfo(gszDevMtdPartition, dir.data(), need, &need) != n) {
        state.SkipWithError("no flash directory");
        return;
    }
    double patch = 0, dd = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (UPDTInitPatchInfo(dir.data(), n) != 0 || UPDTDoPatch(dir.data(), n) != 0) {
            state.SkipWithError("patch failed");
            break;
        }
        patch += Seconds(t0);
        t0 = std::chrono::steady_clock::now();
        for (auto &img : kImages) {
            std::string cmd = std::string("/bin/dd if=/tmp/upd/") + img.file + " of=" + img.device +
                              " bs=16384 conv=notrunc status=none";
            if (system(cmd.c_str()) != 0) {
                state.SkipWithError("dd failed");
                break;
            }
        }
        dd += Seconds(t0);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["patch_MiBps"] = patch > 0 ? bytes * state.iterations() / patch / 1048576 : 0;
    state.counters["dd_MiBps"] = dd > 0 ? bytes * state.iterations() / dd / 1048576 : 0;
    state.counters["vs_dd"] = patch > 0 ? dd / patch : 0;
    (void)chdir("/");
}
BENCHMARK(BM_PatchStageVsDd)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
