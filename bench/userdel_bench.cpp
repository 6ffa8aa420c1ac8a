// Deleting one user of 10,000, and listing 10,000 local users.
// bench/scripts/userdel_vs_shadow.sh sets them against the shadow suite's
// userdel --prefix and getent passwd on the same files.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qavo_userdel.h"
#include "qavo_userenum.h"

namespace {

void Write(const char *path, const std::string &text, mode_t mode) {
    FILE *fp = fopen(path, "w");
    if (!fp) return;
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
    chmod(path, mode);
}

// Users u3000 ... with their shadow and SMB lines, all in group staff and in
// a share's list (the same files the script gives the shadow tools).
void Fixture(int users) {
    const std::string hash = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
    std::string passwd = "root:x:0:0:root:/root:/bin/sh\n",
                shadow = "root:" + hash + ":14000:0:99999:7:::\n", smb, members;
    for (int i = 0; i < users; ++i) {
        const std::string name = "u" + std::to_string(3000 + i), uid = std::to_string(3000 + i);
        passwd += name + ":x:" + uid + ":100::/:/bin/csh\n";
        shadow += name + ":" + hash + ":14000:0:99999:7:::\n";
        smb += name + ":" + uid +
               ":01FC5A6BE7BC6929AAD3B435B51404EE:0CB6948805F797BF2A82807973B89537:[U          ]:"
               "LCT-4A5B6C7D:\n";
        members += name + ",";
    }
    mkdir("/usr/qavo/etc/private", 0700);
    Write("/etc/passwd", passwd, 0644);
    Write("/etc/shadow", shadow, 0600);
    Write("/usr/qavo/etc/private/smbpasswd", smb, 0600);
    Write("/etc/group",
          "root:x:0:\nusers:x:100:nobody,nobody\nstaff:x:65536:nobody," + members + "nobody\n",
          0644);
    Write("/usr/qavo/etc/smb.conf",
          "[global]\n\tworkgroup=WG\n[docs]\n\tvalid users=nobody," + members + "nobody\n", 0644);
    Write("/etc.defaults/qavoinfo.conf", "", 0644);
    Write("/etc/qavoinfo.conf", "", 0644);
    Write("/sim/smbstatus.conf", "", 0644);
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
