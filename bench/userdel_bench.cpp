// Deleting one user of 10,000, and listing 10,000 local users.
// bench/scripts/userdel_vs_shadow.sh sets them against the shadow suite's
// userdel --prefix and getent passwd on the same files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "account_files.h"
#include "qavo_userdel.h"
#include "qavo_userenum.h"

namespace {

// The account files, with empty capability files and no open SMB sessions.
void Fixture(int users) {
    bench::WriteAccountFiles(users);
    bench::Write("/etc.defaults/qavoinfo.conf", "", 0644);
    bench::Write("/etc/qavoinfo.conf", "", 0644);
    bench::Write("/sim/smbstatus.conf", "", 0644);
}

void BM_UserDelete(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        Fixture(static_cast<int>(state.range(0)));
        const char *names[] = {"u3500"};
        state.ResumeTiming();
        if (QAVOUserDelete(names, 1) != 1) state.SkipWithError("QAVOUserDelete failed");
    }
}
BENCHMARK(BM_UserDelete)->Arg(10000)->Iterations(5)->Unit(benchmark::kMillisecond);

// A caller's listing: the size query, then the fill.
void BM_UserEnum(benchmark::State &state) {
    Fixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        int needed = 0;
        if (QAVOUserEnum(1, nullptr, 0, &needed) != 0) state.SkipWithError("size query failed");
        char **buf = static_cast<char **>(malloc(static_cast<size_t>(needed)));
        if (QAVOUserEnum(1, buf, needed, &needed) != state.range(0))
            state.SkipWithError("QAVOUserEnum failed");
        benchmark::DoNotOptimize(buf[0]);
        free(buf);
    }
}
BENCHMARK(BM_UserEnum)->Arg(10000)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
