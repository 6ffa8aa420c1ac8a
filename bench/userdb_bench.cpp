// The user transaction on account files of 1,000 and 10,000 users: adding
// one user, and changing one user's password. bench/scripts/userdb_vs_shadow.sh
// sets them against the shadow suite's useradd and usermod on the same files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "account_files.h"
#include "sdk_userset.h"

namespace {

// The account files, with room for more accounts and a code page.
void Fixture(int users) {
    bench::WriteAccountFiles(users);
    bench::Write("/etc.defaults/qavoinfo.conf", "maxaccounts=\"100000\"\n", 0644);
    bench::Write("/etc/qavoinfo.conf", "codepage=\"437\"\n", 0644);
    bench::Write("/etc/nsswitch.conf", "passwd: files\ngroup: files\n", 0644);
    remove("/etc/curUID.conf");
}

void Apply(benchmark::State &state, const char *oldName, const char *name) {
    std::string o = oldName, n = name, pw = "secret";
    QAVOUSERSET rec = {1, o.data(), n.data(), pw.data(), nullptr, 0, nullptr};
    if (QAVOUserSet(1, &rec, 1) != 1) state.SkipWithError("QAVOUserSet failed");
}

void BM_UserDbAdd(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        Fixture(static_cast<int>(state.range(0)));
        state.ResumeTiming();
        Apply(state, "", "newbie");
    }
}
BENCHMARK(BM_UserDbAdd)->Arg(1000)->Arg(10000)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_UserDbPassword(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        Fixture(static_cast<int>(state.range(0)));
        state.ResumeTiming();
        Apply(state, "u3500", "u3500");
    }
}
BENCHMARK(BM_UserDbPassword)->Arg(1000)->Arg(10000)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
