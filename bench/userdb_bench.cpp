// The user transaction on account files of 1,000 and 10,000 users: adding
// one user, and changing one user's password. bench/scripts/userdb_vs_shadow.sh
// sets them against the shadow suite's useradd and usermod on the same files.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "sdk_userset.h"

namespace {

void Write(const char *path, const std::string &text, mode_t mode) {
    FILE *fp = fopen(path, "w");
    if (!fp) return;
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
    chmod(path, mode);
}

// The account files with users u3000 ... (uids from 3000, outside the range
// new users are given), every one in group staff and in a share's list.
void Fixture(int users) {
    std::string passwd = "root:x:0:0:root:/root:/bin/sh\n", shadow, smb, members;
    const std::string hash = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
    shadow = "root:" + hash + ":14000:0:99999:7:::\n";
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
    Write("/etc.defaults/qavoinfo.conf", "maxaccounts=\"100000\"\n", 0644);
    Write("/etc/qavoinfo.conf", "codepage=\"437\"\n", 0644);
    Write("/etc/nsswitch.conf", "passwd: files\ngroup: files\n", 0644);
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
