// The configuration backup of N users, N groups and N shares: the export,
// the import onto fresh accounts (overwrite 1) and one user transaction
// adding the same N users; and, since the range of new uids holds only
// about a thousand users, at 1,000 and 10,000 the import onto accounts that
// hold the users already (their groups and shares new) and one user
// transaction changing the same users. bench/scripts/cfgbackup_vs_userset.sh
// sets each import against its transaction.
#include <benchmark/benchmark.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "account_files.h"
#include "cfgbackup.h"
#include "sdk_userset.h"

namespace {

using bench::Write;

const char *const kFile = "/tmp/cfgbackup-bench.cbk";
const std::string kHash = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
const std::string kSmbHashes = "01FC5A6BE7BC6929AAD3B435B51404EE:0CB6948805F797BF2A82807973B89537";

std::string Name(const char *prefix, int i) {
    return prefix + std::to_string(i);
}

// The accounts and settings of a fresh appliance, with room for the
// restored ones, and volume 1 mounted (Unmount() takes it away again, so
// that the benchmarks after these find the volumes as they were).
void Fresh() {
    mkdir("/usr/qavo/etc/private", 0700);
    mkdir("/volume1", 0755);
    umount("/volume1");
    mount("tmpfs", "/volume1", "tmpfs", 0, "size=64m");
    Write("/etc/passwd",
          "root:x:0:0:root:/root:/bin/sh\nadmin:x:1024:100::/:/bin/sh\nnobody:x:99:99::/:/bin/sh\n",
          0644);
    Write("/etc/shadow",
          "root:" + kHash + ":14000:0:99999:7:::\nadmin:" + kHash + ":14000:0:99999:7:::\n", 0600);
    Write("/usr/qavo/etc/private/smbpasswd",
          "admin:1024:" + kSmbHashes + ":[U          ]:LCT-4A5B6C7D:\n", 0600);
    Write("/etc/group", "root:x:0:\nusers:x:100:nobody,nobody\nnobody:x:99:\n", 0644);
    remove("/etc/group_desc");
    remove("/etc/curUID.conf");
    Write("/usr/qavo/etc/smb.conf", "[global]\n\tworkgroup=WG\n", 0644);
    Write("/etc.defaults/qavoinfo.conf",
          "maxaccounts=\"100000\"\nmaxgroups=\"100000\"\nmaxshares=\"100000\"\n", 0644);
    Write("/etc/qavoinfo.conf", "codepage=\"437\"\n", 0644);
    Write("/etc/nsswitch.conf", "passwd: files\ngroup: files\n", 0644);
}

void Unmount() {
    umount("/volume1");
}

// The fresh appliance with the users of Populated() already there (uids
// from 3000), without their groups and shares.
void FreshWithUsers(int count) {
    Fresh();
    std::string passwd = "root:x:0:0:root:/root:/bin/sh\nadmin:x:1024:100::/:/bin/sh\n",
                shadow = "root:" + kHash + ":14000:0:99999:7:::\nadmin:" + kHash +
                         ":14000:0:99999:7:::\n",
                smb = "admin:1024:" + kSmbHashes + ":[U          ]:LCT-4A5B6C7D:\n";
    for (int i = 0; i < count; ++i) {
        const std::string u = Name("u", i), uid = std::to_string(3000 + i);
        passwd += u + ":x:" + uid + ":100::/:/bin/csh\n";
        shadow += u + ":" + kHash + ":14000:0:99999:7:::\n";
        smb += u + ":" + uid + ":" + kSmbHashes + ":[U          ]:LCT-4A5B6C7D:\n";
    }
    Write("/etc/passwd", passwd + "nobody:x:99:99::/:/bin/sh\n", 0644);
    Write("/etc/shadow", shadow, 0600);
    Write("/usr/qavo/etc/private/smbpasswd", smb, 0600);
}

// The appliance the export reads: u0 ... with their hashes, group gN with
// user uN, share sN whose write list is uN.

void Populated(int count) {
    Fresh();
    std::string passwd = "root:x:0:0:root:/root:/bin/sh\nadmin:x:1024:100::/:/bin/sh\n",
                shadow = "root:" + kHash + ":14000:0:99999:7:::\nadmin:" + kHash +
                         ":14000:0:99999:7:::\n",
                smb = "admin:1024:" + kSmbHashes + ":[U          ]:LCT-4A5B6C7D:\n",
                group = "root:x:0:\nusers:x:100:nobody,nobody\n",
                conf = "[global]\n\tworkgroup=WG\n";
    for (int i = 0; i < count; ++i) {
        const std::string u = Name("u", i), uid = std::to_string(3000 + i), s = Name("s", i);
        passwd += u + ":x:" + uid + ":100::/:/bin/sh\n";
        shadow += u + ":" + kHash + ":14000:0:99999:7:::\n";
        smb += u + ":" + uid + ":" + kSmbHashes + ":[U          ]:LCT-4A5B6C7D:\n";
        group += Name("g", i) + ":x:" + std::to_string(65536 + i) + ":nobody," + u + ",nobody\n";
        conf += "[" + s + "]\n\twrite list=nobody," + u +
                ",nobody\n\tcomment=\"\"\n\tbrowseable=yes\n\tread list=nobody,nobody\n"
                "\tvalid users=nobody,nobody\n\tinvalid users=nobody,nobody\n\twriteable=yes\n"
                "\tguest ok=yes\n\tpath=/volume1/" +
                s + "\n";
        mkdir(("/volume1/" + s).c_str(), 0777);
    }
    group += "nobody:x:99:\n";
    Write("/etc/passwd", passwd + "nobody:x:99:99::/:/bin/sh\n", 0644);
    Write("/etc/shadow", shadow, 0600);
    Write("/usr/qavo/etc/private/smbpasswd", smb, 0600);
    Write("/etc/group", "#$_@GID__INDEX@_$" + std::to_string(65536 + count) + "$\n" + group, 0644);
    Write("/usr/qavo/etc/smb.conf", conf, 0644);
}

constexpr uint32_t kMask = QAVOSYSBKP_ID_USER | QAVOSYSBKP_ID_GROUP | QAVOSYSBKP_ID_SHARE;

void BM_CfgBackupExport(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        Populated(static_cast<int>(state.range(0)));
        state.ResumeTiming();
        if (QAVOSysbkpExport(kFile, kMask) != 0) state.SkipWithError("export failed");
    }
    Unmount();
}
BENCHMARK(BM_CfgBackupExport)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

// The import of the file Populated(count) exports, onto the accounts
// prepare(count) lays.
void Import(benchmark::State &state, void (*prepare)(int)) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        Populated(count);
        if (QAVOSysbkpExport(kFile, kMask) != 0) state.SkipWithError("export failed");
        prepare(count);
        state.ResumeTiming();
        if (QAVOSysbkpImport(kFile, kMask, 1) != 0) state.SkipWithError("import failed");
    }
    Unmount();
}

void BM_CfgBackupImport(benchmark::State &state) {
    Import(state, [](int) { Fresh(); });
}
BENCHMARK(BM_CfgBackupImport)->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CfgBackupImportOver(benchmark::State &state) {
    Import(state, FreshWithUsers);
}
BENCHMARK(BM_CfgBackupImportOver)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One user transaction over users u0 ...: adding them (no old names) or
// changing them.
void UserSet(benchmark::State &state, bool change) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        if (change)
            FreshWithUsers(count);
        else
            Fresh();
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i)
            names.push_back(Name("u", i));
        std::string pw = "secret";
        std::vector<QAVOUSERSET> recs;
        for (std::string &n : names)
            recs.push_back(
                {1, change ? n.data() : nullptr, n.data(), pw.data(), nullptr, 0, nullptr});
        state.ResumeTiming();
        if (QAVOUserSet(1, recs.data(), count) != count) state.SkipWithError("QAVOUserSet failed");
    }
    Unmount();
}

void BM_CfgBackupUserSetBatch(benchmark::State &state) {
    UserSet(state, false);
}
BENCHMARK(BM_CfgBackupUserSetBatch)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CfgBackupUserSetChange(benchmark::State &state) {
    UserSet(state, true);
}
BENCHMARK(BM_CfgBackupUserSetChange)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
