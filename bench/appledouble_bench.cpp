// Conversion of 2,000 companions of the thirteen-entry form with 16 KiB
// resource forks into the compact form, and one cp of the same files as the
// reference (bench/scripts/appledouble_vs_cp.sh prints the ratio).
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qavo_appledouble.h"
#include "slib_proc.h"

namespace {

constexpr int kFiles = 2000;
constexpr size_t kFork = 16384;
const char kSrc[] = "/tmp/adbench/src";

void Put32(std::string &s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// The thirteen-entry form: Finder information at 653, the fork at 741.
std::string Companion(int seed) {
    std::string s(741 + kFork, '\0');
    Put32(s, 0, 0x00051607);
    Put32(s, 4, 0x00020000);
    s[25] = 13;
    const uint32_t entries[13][3] = {{3, 182, 255},  {4, 437, 200}, {7, 637, 16}, {9, 653, 32},
                                     {10, 685, 7},   {11, 692, 7},  {12, 699, 7}, {13, 706, 7},
                                     {14, 713, 7},   {15, 720, 7},  {16, 727, 7}, {17, 734, 7},
                                     {2, 741, kFork}};
    for (int i = 0; i < 13; ++i)
        for (int f = 0; f < 3; ++f)
            Put32(s, 26 + 12 * i + 4 * f, entries[i][f]);
    for (size_t i = 182; i < s.size(); ++i)
        s[i] = static_cast<char>(i * 31 + seed);
    return s;
}

std::string Name(int i) {
    return "._file" + std::to_string(i);
}

bool MakeFiles() {
    if (system("rm -rf /tmp/adbench && mkdir -p /tmp/adbench/src /tmp/adbench/conv "
               "/tmp/adbench/cp") != 0)
        return false;
    for (int i = 0; i < kFiles; ++i) {
        const std::string data = Companion(i);
        FILE *fp = fopen((std::string(kSrc) + "/" + Name(i)).c_str(), "w");
        if (!fp) return false;
        const bool ok = fwrite(data.data(), 1, data.size(), fp) == data.size();
        if (fclose(fp) != 0 || !ok) return false;
    }
    return true;
}

}  // namespace

static void BM_AppleDoubleConvert(benchmark::State &state) {
    static const bool ready = MakeFiles();
    if (!ready) {
        state.SkipWithError("companions cannot be written");
        return;
    }
    std::vector<std::string> src, dst;
    for (int i = 0; i < kFiles; ++i) {
        src.push_back(std::string(kSrc) + "/" + Name(i));
        dst.push_back("/tmp/adbench/conv/" + Name(i));
    }
    for (auto _ : state) {
        for (int i = 0; i < kFiles; ++i) {
            if (QAVOAppleDoubleCopy(src[i].c_str(), dst[i].c_str(), QAVO_AD_MODE_CONVERT) != 0) {
                state.SkipWithError("conversion failed");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_AppleDoubleConvert)->UseRealTime()->Unit(benchmark::kMillisecond);

// One cp process copying the same files into a folder.
static void BM_AppleDoubleCpReference(benchmark::State &state) {
    static const bool ready = MakeFiles();
    if (!ready) {
        state.SkipWithError("companions cannot be written");
        return;
    }
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; ++i)
        paths.push_back(std::string(kSrc) + "/" + Name(i));
    std::vector<const char *> argv = {"/bin/cp", "-f", "--"};
    for (const std::string &p : paths)
        argv.push_back(p.c_str());
    argv.push_back("/tmp/adbench/cp");
    argv.push_back(nullptr);
    for (auto _ : state) {
        if (SLIBProcExecWaitArgv(argv.data(), nullptr, nullptr) != 0) {
            state.SkipWithError("cp failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_AppleDoubleCpReference)->UseRealTime()->Unit(benchmark::kMillisecond);
