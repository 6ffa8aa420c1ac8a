// Key/value files: reading one key of a 1,000-key file against awk -F= on
// the same file, and setting one key against the bare floor of writing,
// syncing and renaming the same bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "slib_keyvalue.h"

extern char **environ;

namespace {

const char kReadPath[] = "/tmp/kv-bench-read.conf";
const char kWritePath[] = "/tmp/kv-bench-write.conf";
const char kFloorPath[] = "/tmp/kv-bench-floor.conf";

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

void BM_KeyValueSetOne(benchmark::State &state) {
    Put(kWritePath, Content(nullptr));
    unsigned n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SLIBFileSetKeyValue(kWritePath, "key0500",
                                                     (++n & 1) ? "value one" : "value two",
                                                     SLIB_KEYVALUE_FMT_QUOTED));
    }
}
BENCHMARK(BM_KeyValueSetOne);

// The floor of any safe rewrite: write the same bytes to a temporary file,
// fsync it and rename it over the file.
void BM_WriteFsyncRenameFloor(benchmark::State &state) {
    const std::string one = Content("value one"), two = Content("value two");
    const std::string tmp = std::string(kFloorPath) + ".tmp";
    Put(kFloorPath, one);
    unsigned n = 0;
    for (auto _ : state) {
        const std::string &text = (++n & 1) ? one : two;
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) break;
        benchmark::DoNotOptimize(write(fd, text.data(), text.size()));
        fsync(fd);
        close(fd);
        rename(tmp.c_str(), kFloorPath);
    }
}
BENCHMARK(BM_WriteFsyncRenameFloor);

}  // namespace
