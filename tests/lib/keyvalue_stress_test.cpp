// Several processes writing /etc/qavoinfo.conf at once, and writers killed
// in the middle of a rewrite.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

using qtest::ReadFile;
using qtest::WriteFile;

namespace {

const char kConf[] = "/etc/qavoinfo.conf";

std::string Key(int proc, int n) {
    return "p" + std::to_string(proc) + "_k" + std::to_string(n);
}

// The appliance's own settings, ended by a newline.
std::string FileExistsOrEmpty() {
    if (!qtest::FileExists(kConf)) return {};
    std::string text = ReadFile(kConf);
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
        WriteFile(kConf, text);
    }
    return text;
}

bool LockIsFree() {
    int fd = open("/tmp/lock/lock_qavoinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;  // killed before the first lock
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

// On a loaded machine a writer may wait longer than the lock's time-out; that
// is a refusal, not a lost update, so the writer asks again.
bool SetRetryingOnLockTimeOut(const std::string &key, const std::string &value) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (QAVOINFOSetKeyValue(key.c_str(), value.c_str()) == 0) return true;
        if (SLIBErrGet() != ERR_LOCK_FAILED) return false;
    }
    return false;
}

TEST(KeyValueStress, EightProcessesSetTheirKeysAtOnce) {
    constexpr int kProcs = 8, kKeys = 200, kRewritten = 20;
    const std::string seed = FileExistsOrEmpty();
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int k = 0; k < kKeys; ++k) {
                std::string v = "first" + std::to_string(k);
                if (!SetRetryingOnLockTimeOut(Key(p, k), v)) ++failures;
            }
            for (int k = 0; k < kRewritten; ++k) {
                std::string v = "last" + std::to_string(k);
                if (!SetRetryingOnLockTimeOut(Key(p, k), v)) ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << pid;
    }

    // Every key is there once, with its last value, after the seed's lines.
    const std::string text = ReadFile(kConf);
    ASSERT_EQ(text.compare(0, seed.size(), seed), 0);
    std::istringstream rest(text.substr(seed.size()));
    const std::regex shape(R"re(p(\d+)_k(\d+)="(first|last)(\d+)")re");
    std::set<std::string> seen;
    std::string line;
    while (std::getline(rest, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_TRUE(seen.insert(m[1].str() + "_" + m[2].str()).second) << "twice: " << line;
        const int k = std::stoi(m[2].str());
        EXPECT_EQ(m[3].str(), k < kRewritten ? "last" : "first") << line;
        EXPECT_EQ(m[4].str(), m[2].str()) << line;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcs * kKeys));
    char value[32];
    EXPECT_EQ(SLIBFileGetKeyValue(kConf, "p7_k199", value, sizeof value, 0), 9);
    EXPECT_STREQ(value, "first199");
    // The shell can read the whole file.
    EXPECT_EQ(qtest::Exec({"sh", "-c", ". /etc/qavoinfo.conf && [ \"$p3_k5\" = last5 ]"}), 0);
    EXPECT_TRUE(LockIsFree());
}

TEST(KeyValueStress, AKilledWriterLeavesOldOrNewContentAndNoLock) {
    // A file large enough that a rewrite takes a while.
    std::string base = FileExistsOrEmpty();
    for (int i = 0; i < 400; ++i)
        base += "filler" + std::to_string(i) + "=\"" + std::string(40, 'f') + "\"\n";
    const std::string a(300, 'A'), b(300, 'B');
    const std::string stateA = base + "flip=\"" + a + "\"\n" + "tail=\"end\"\n";
    const std::string stateB = base + "flip=\"" + b + "\"\n" + "tail=\"end\"\n";
    WriteFile(kConf, stateA);

    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> delay(0, 25000);
    int sawA = 0, sawB = 0, stale = 0;
    for (int round = 0; round < 200; ++round) {
        // The writer reports each finished rewrite; every other round waits
        // for one before the random delay, so that on a slow or loaded machine
        // kills still come after finished rewrites as well as inside them.
        int done[2];
        ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(done[0]);
            for (unsigned n = 0;; ++n) {
                QAVOINFOSetKeyValue("flip", (n & 1) ? a.c_str() : b.c_str());
                if (n == 0 && write(done[1], "x", 1) < 0) _exit(1);
            }
        }
        close(done[1]);
        if (round % 2 == 1) {
            pollfd p{done[0], POLLIN, 0};
            poll(&p, 1, 10000);
        }
        close(done[0]);
        usleep(static_cast<useconds_t>(delay(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        const std::string now = ReadFile(kConf);
        if (now == stateA) {
            ++sawA;
        } else if (now == stateB) {
            ++sawB;
        } else {
            FAIL() << "round " << round << ": partial file of " << now.size() << " bytes";
        }
        ASSERT_TRUE(LockIsFree()) << "round " << round;
        if (qtest::FileExists(std::string(kConf) + ".tmp")) ++stale;
    }
    // A stale copy of a killed writer does not stand in the next one's way.
    EXPECT_EQ(QAVOINFOSetKeyValue("flip", "done"), 0);
    EXPECT_GT(sawA, 0);
    EXPECT_GT(sawB, 0) << "no kill came after a finished rewrite";
    printf("killed writers: old content %d, new content %d, stale copy left %d\n", sawA, sawB,
           stale);
}

}  // namespace
