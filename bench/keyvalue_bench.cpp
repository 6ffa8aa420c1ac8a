// Key/value files: reading one key of a 1,000-key file against awk -F= on
// the same file, and setting one key (key/value and line writers) against
// the bare floor of writing, syncing and renaming the same bytes, on tmpfs
// and on ext4.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "slib_keyvalue.h"
#include "slib_line.h"

extern char **environ;

namespace {

const char kReadPath[] = "/tmp/kv-bench-read.conf";

std::string Content(const char *changedValue) {
    std::string s;
    char line[96];
    for (int i = 0; i < 1000; ++i) {
        snprintf(line, sizeof line, "key%04d=\"%s\"\n", i,
                 i == 500 && changedValue ? changedValue : "some setting value");
        s += line;
    }
    return s;
}

void Put(const char *path, const std::string &text) {
    FILE *fp = fopen(path, "w");
    if (!fp) return;
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
}

void BM_KeyValueGetOne(benchmark::State &state) {
    Put(kReadPath, Content(nullptr));
    char value[64];
    for (auto _ : state)
        benchmark::DoNotOptimize(SLIBFileGetKeyValue(kReadPath, "key0900", value, sizeof value, 0));
}
BENCHMARK(BM_KeyValueGetOne);

// The same question answered by awk, output read back through a pipe.
void BM_AwkGetOne(benchmark::State &state) {
    Put(kReadPath, Content(nullptr));
    const char *argv[] = {"awk", "-F=", "$1==\"key0900\"{print $2; exit}", kReadPath, nullptr};
    char out[128];
    for (auto _ : state) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) break;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        pid_t pid;
        if (posix_spawnp(&pid, "awk", &fa, nullptr, const_cast<char **>(argv), environ) != 0) break;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        while (read(fds[0], out, sizeof out) > 0) {
        }
        close(fds[0]);
        waitpid(pid, nullptr, 0);
    }
}
BENCHMARK(BM_AwkGetOne);

// Writers and floors run in a directory: the appliance root's /tmp (tmpfs)
// and, when the launcher binds one, a directory on ext4 named by
// QAVO_BENCH_EXT4 (the names then end in "_ext4").
std::string In(const std::string &dir, const char *name) {
    return dir + "/" + name;
}

void KeyValueSetOne(benchmark::State &state, std::string dir) {
    const std::string path = In(dir, "kv-bench-write.conf");
    Put(path.c_str(), Content(nullptr));
    unsigned n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SLIBFileSetKeyValue(path.c_str(), "key0500",
                                                     (++n & 1) ? "value one" : "value two",
                                                     SLIB_KEYVALUE_FMT_QUOTED));
    }
}

// The line writer replacing one line of the same file.
void LineSetOne(benchmark::State &state, std::string dir) {
    const std::string path = In(dir, "line-bench-write.conf");
    Put(path.c_str(), Content(nullptr));
    unsigned n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            SLIBFileSetLine(path.c_str(), "key0500",
                            (++n & 1) ? "key0500=\"value one\"" : "key0500=\"value two\"", 0));
    }
}

// The floor of any safe rewrite: write the same bytes to a temporary file,
// fsync it and rename it over the file; with dirSync, fsync the directory
// after the rename as well (what makes the rename itself durable).
void Floor(benchmark::State &state, std::string dir, bool dirSync) {
    const std::string one = Content("value one"), two = Content("value two");
    const std::string path = In(dir, "kv-bench-floor.conf"), tmp = path + ".tmp";
    Put(path.c_str(), one);
    unsigned n = 0;
    for (auto _ : state) {
        const std::string &text = (++n & 1) ? one : two;
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) break;
        benchmark::DoNotOptimize(write(fd, text.data(), text.size()));
        fsync(fd);
        close(fd);
        rename(tmp.c_str(), path.c_str());
        if (dirSync) {
            int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (d >= 0) {
                fsync(d);
                close(d);
            }
        }
    }
}

const bool kRegistered = [] {
    std::vector<std::pair<std::string, std::string>> dirs = {{"/tmp", ""}};
    const char *ext4 = getenv("QAVO_BENCH_EXT4");
    if (ext4 && *ext4) dirs.emplace_back(ext4, "_ext4");
    for (const auto &[dir, tag] : dirs) {
        benchmark::RegisterBenchmark(("BM_KeyValueSetOne" + tag).c_str(), KeyValueSetOne, dir);
        benchmark::RegisterBenchmark(("BM_LineSetOne" + tag).c_str(), LineSetOne, dir);
        benchmark::RegisterBenchmark(("BM_WriteFsyncRenameFloor" + tag).c_str(), Floor, dir, false);
        benchmark::RegisterBenchmark(("BM_WriteFsyncRenameDirSyncFloor" + tag).c_str(), Floor, dir,
                                     true);
    }
    return true;
}();

}  // namespace
