// String hash and list against the standard containers; reading every
// section of a large smb.conf against a plain getline pass (the floor).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <fstream>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

namespace {

constexpr int kKeys = 10000;

const std::vector<std::string> &Keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> v;
        for (int i = 0; i < kKeys; ++i)
            v.push_back("user" + std::to_string(i * 7919 % 100003));
        return v;
    }();
    return keys;
}

// The tables, not the allocator: with glibc's default thresholds the large
// blocks of a growing table are mapped and unmapped, and the heap trimmed,
// every round, so page faults would dominate what is measured. Raised
// thresholds keep the memory in the process for both contenders.
void KeepMemory() {
    static const bool once = [] {
        mallopt(M_TRIM_THRESHOLD, 256 << 20);
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        return true;
    }();
    (void)once;
}

void BM_SzHashSetGet(benchmark::State &state) {
    KeepMemory();
    for (auto _ : state) {
        PSLIBSZHASH h = PshSLIBSzHashAlloc(0);
        for (const auto &k : Keys())
            SLIBSzHashSetValue(&h, k.c_str(), "/volume1/homes");
        for (const auto &k : Keys())
            benchmark::DoNotOptimize(SzSLIBSzHashGetValue(h, k.c_str()));
        SLIBSzHashFree(h);
    }
}
BENCHMARK(BM_SzHashSetGet);

void BM_UnorderedMapSetGet(benchmark::State &state) {
    KeepMemory();
    for (auto _ : state) {
        std::unordered_map<std::string, std::string> m;
        for (const auto &k : Keys())
            m[k] = "/volume1/homes";
        for (const auto &k : Keys())
            benchmark::DoNotOptimize(m.find(k));
    }
}
BENCHMARK(BM_UnorderedMapSetGet);

void BM_SzListSortedInsert(benchmark::State &state) {
    for (auto _ : state) {
        PSLIBSZLIST l = PslSLIBSzListAlloc(0);
        SLIBSzListSetMode(l, SLIB_SZLIST_SORTED);
        for (const auto &k : Keys())
            SLIBSzListPush(&l, k.c_str());
        SLIBSzListFree(l);
    }
}
BENCHMARK(BM_SzListSortedInsert);

void BM_SetInsert(benchmark::State &state) {
    for (auto _ : state) {
        std::set<std::string> s;
        for (const auto &k : Keys())
            s.insert(k);
        benchmark::DoNotOptimize(s.size());
    }
}
BENCHMARK(BM_SetInsert);

// Case-insensitive order goes through the collator: shown for scale.
void BM_SzListCaselessInsert(benchmark::State &state) {
    for (auto _ : state) {
        PSLIBSZLIST l = PslSLIBSzListAlloc(0);
        SLIBSzListSetMode(l, SLIB_SZLIST_SORTED_CASELESS);
        for (const auto &k : Keys())
            SLIBSzListPush(&l, k.c_str());
        SLIBSzListFree(l);
    }
}
BENCHMARK(BM_SzListCaselessInsert);

const std::string &SmbConf() {
    static const std::string path = [] {
        std::string p = "/tmp/bench_smb.conf";
        std::ofstream f(p);
        f << "[global]\n\tworkgroup = WORKGROUP\n";
        for (int i = 0; i < 1000; ++i) {
            f << "[share" << i << "]\n"
              << "\twrite list=nobody,nobody\n\tcomment=\"\"\n\tbrowseable=yes\n"
              << "\tread list=nobody,nobody\n\tvalid users=nobody,nobody\n"
              << "\tinvalid users=nobody,nobody\n\twriteable=yes\n\tguest ok=yes\n"
              << "\tpath=/volume1/share" << i << "\n";
        }
        return p;
    }();
    return path;
}

void BM_SectionReadAll(benchmark::State &state) {
    const std::string &path = SmbConf();
    PSLIBSZLIST names = PslSLIBSzListAlloc(0);
    SLIBFileEnumSection(path.c_str(), &names);
    for (auto _ : state) {
        for (int i = 0; i < names->nItem; ++i) {
            PSLIBSZHASH h = PshSLIBSzHashAlloc(0);
            SLIBFileGetSection(path.c_str(), names->pszItem[i], &h);
            SLIBSzHashFree(h);
        }
    }
    SLIBSzListFree(names);
}
BENCHMARK(BM_SectionReadAll)->Unit(benchmark::kMillisecond);

// The floor: one plain getline pass over the same file.
void BM_GetlineFloor(benchmark::State &state) {
    const std::string &path = SmbConf();
    for (auto _ : state) {
        std::ifstream f(path);
        std::string line;
        size_t n = 0;
        while (std::getline(f, line))
            n += line.size();
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_GetlineFloor)->Unit(benchmark::kMillisecond);

}  // namespace
