// Share lookups over an smb.conf of 1,000 and of 10,000 shares: the shares of one volume,
// the shares a user may write, and one share found without regard to case.
// bench/scripts/sharelookup_vs_testparm.sh sets them against Samba's
// testparm loading the same file.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qavo_sharelookup.h"

namespace {

void Write(const char *path, const std::string &text) {
    FILE *fp = fopen(path, "w");
    if (!fp) return;
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
}

// Shares s0000 ... on volumes 1 and 2 by turns, every third writable by
// bob, each with its folder; left in place for the comparison script.
void Fixture(int shares) {
    static int done = 0;
    if (done == shares) return;
    done = shares;
    std::string conf = "[global]\n\tworkgroup=WG\n\tsecurity=user\n";
    mkdir("/volume1", 0755);
    mkdir("/volume2", 0755);
    for (int i = 0; i < shares; ++i) {
        char name[16];
        snprintf(name, sizeof(name), shares > 1000 ? "s%05d" : "s%04d", i);
        const std::string path = "/volume" + std::to_string(1 + i % 2) + "/" + name;
        mkdir(path.c_str(), 0777);
        conf += std::string("[") + name + "]\n\tcomment=\"share " + name + "\"\n\tpath=" + path +
                "\n\tbrowseable=yes\n\tinvalid users=nobody,nobody\n\twrite list=nobody," +
                (i % 3 == 0 ? "bob,admin" : "admin") +
                ",nobody\n\tread list=nobody,nobody\n\tvalid users=nobody,nobody\n"
                "\tguest ok=no\n\twriteable=no\n";
    }
    Write("/usr/qavo/etc/smb.conf", conf);
    Write("/etc/passwd",
          "root:x:0:0:root:/root:/bin/sh\nadmin:x:1024:100::/:/bin/sh\n"
          "bob:x:1030:100::/:/bin/sh\nnobody:x:99:99::/:/bin/sh\n");
}

void BM_ShareEnumByVolume(benchmark::State &state) {
    const int shares = static_cast<int>(state.range(0));
    Fixture(shares);
    for (auto _ : state) {
        int needed = 0;
        if (QAVOShareEnumByVolume(1, nullptr, 0, &needed) < 0) state.SkipWithError("count");
        char **buf = static_cast<char **>(malloc(static_cast<size_t>(needed)));
        if (QAVOShareEnumByVolume(1, buf, needed, &needed) != shares / 2)
            state.SkipWithError("fill");
        free(buf);
    }
}
BENCHMARK(BM_ShareEnumByVolume)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Arg(1000)
    ->Arg(10000);

void BM_ShareWriteableGet(benchmark::State &state) {
    const int shares = static_cast<int>(state.range(0));
    Fixture(shares);
    for (auto _ : state) {
        char *out = nullptr;
        if (QAVOShareWriteableGet("bob", &out) != (shares + 2) / 3) state.SkipWithError("list");
        free(out);
    }
}
BENCHMARK(BM_ShareWriteableGet)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Arg(1000)
    ->Arg(10000);

void BM_ShareGetCaseLess(benchmark::State &state) {
    const int shares = static_cast<int>(state.range(0));
    Fixture(shares);
    const char *last = shares > 1000 ? "S09999" : "S0999";
    for (auto _ : state) {
        PQAVOSHARE s = QAVOShareGetCaseLess(last);
        if (!s) state.SkipWithError("lookup");
        QAVOShareFree(s);
    }
}
BENCHMARK(BM_ShareGetCaseLess)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Arg(1000)
    ->Arg(10000);

}  // namespace
