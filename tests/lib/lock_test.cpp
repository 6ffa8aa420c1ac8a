#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_proc.h"

// The lock's retry sleep goes through here: the tests count the retries and
// act between two attempts. Unhooked it simply sleeps.
namespace {
int gSleeps = 0;
std::function<void()> gOnSleep;
}  // namespace

extern "C" int usleep(useconds_t us) {
    ++gSleeps;
    if (gOnSleep) gOnSleep();
    struct timespec ts {
        static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000
    };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return 0;
}

namespace {

const char kQavoinfo[] = "/tmp/lock/lock_qavoinfo";
const char kGr[] = "/tmp/lock/lock_gr";
const char kSmb[] = "/tmp/lock/lock_smb";

const char *const kAllLockFiles[] = {
    "/tmp/lock/lock_qavoinfo", "/tmp/lock/lock_pw",       "/tmp/lock/lock_gr",
    "/tmp/lock/lock_rc",       "/tmp/lock/lock_host",     "/tmp/lock/lock_smb",
    "/tmp/lock/lock_exports",  "/tmp/lock/lock_nw",       "/tmp/lock/lock_apple",
    "/tmp/lock/lock_snmp",     "/tmp/lock/lock_win",      "/tmp/lock/lock_tapebkp",
    "/tmp/lock/lock_connect",  "/tmp/lock/lock_usbidmap", "/tmp/lock/lock_duseruid",
    "/tmp/lock/lock_dusergid", "/tmp/lock/lock_fstab",    "/tmp/lock/lock_hotswap",
};

// Whether another process could take the lock file now (util-linux flock).
bool FreeForOthers(const char *path, bool exclusive = true) {
    return qtest::Exec({"flock", "-n", exclusive ? "-x" : "-s", path, "true"}) == 0;
}

// The same question asked from this process through a description of its own.
bool FreeHere(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return ok;
}

// Another process holding a lock file through util-linux flock.
class FlockHolder {
  public:
    FlockHolder(const char *path, bool exclusive) {
        int p[2];
        if (pipe(p) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(p[1], STDOUT_FILENO);
            close(p[0]);
            execlp("flock", "flock", exclusive ? "-x" : "-s", path, "sh", "-c",
                   "echo held; exec sleep 1000", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(p[1]);
        char c = 0;
        std::string got;
        while (read(p[0], &c, 1) == 1 && c != '\n')
            got += c;
        close(p[0]);
        held_ = got == "held";
    }
    ~FlockHolder() { Release(); }
    bool held() const { return held_; }
    void Release() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    bool held_ = false;
};

class LockTest : public testing::Test {
  protected:
    void SetUp() override {
        gSleeps = 0;
        gOnSleep = nullptr;
    }
    void TearDown() override {
        gOnSleep = nullptr;
        SLIBFileLockCloseAll();
    }
};

TEST_F(LockTest, FirstRequestMakesTheDirectoryAndEveryLockFile) {
    ASSERT_EQ(qtest::Sh("rm -rf /tmp/lock"), 0);
    ASSERT_EQ(ErrSLIBFileLock(0x806, 0), 0);
    struct stat st;
    ASSERT_EQ(stat("/tmp/lock", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    for (const char *path : kAllLockFiles) {
        ASSERT_EQ(stat(path, &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    }
    EXPECT_FALSE(FreeForOthers(kQavoinfo));
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x800), 0);
    EXPECT_TRUE(FreeForOthers(kQavoinfo));
}

TEST_F(LockTest, InitFailures) {
    // A planted link is never followed to create its target.
    ASSERT_EQ(SLIBFileLockInit(), 0);
    qtest::RemoveFile("/tmp/lock/lock_pw");
    ASSERT_EQ(symlink("/etc/planted", "/tmp/lock/lock_pw"), 0);
    EXPECT_EQ(ErrSLIBFileLock(0x16, 0), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_FALSE(qtest::FileExists("/etc/planted"));

    // A lock directory that cannot be made.
    ASSERT_EQ(qtest::Sh("rm -rf /tmp/lock && echo x > /tmp/lock"), 0);
    EXPECT_EQ(SLIBFileLockInit(), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0C00u);
}

TEST_F(LockTest, NestedHoldsReleaseOnTheLastUnlock) {
    ASSERT_EQ(ErrSLIBFileLock(0x806, 0), 0);
    ASSERT_EQ(ErrSLIBFileLock(0x805, 0), 0);        // an exclusive hold satisfies a shared request
    EXPECT_FALSE(FreeForOthers(kQavoinfo, false));  // still exclusive
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x800), 0);
    EXPECT_FALSE(FreeForOthers(kQavoinfo));
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x800), 0);
    EXPECT_TRUE(FreeForOthers(kQavoinfo));
    // Rows not held are ignored.
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x3FFFF0), 0);
}

TEST_F(LockTest, SharedHoldIsNeverUpgraded) {
    ASSERT_EQ(ErrSLIBFileLock(0x805, 10), 0);
    EXPECT_TRUE(FreeForOthers(kQavoinfo, false));
    EXPECT_EQ(ErrSLIBFileLock(0x806, 10), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0400u);
    EXPECT_EQ(gSleeps, 0);  // failed at once, no retry
    // The failed request left the count at 1: one unlock releases.
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x800), 0);
    EXPECT_TRUE(FreeForOthers(kQavoinfo));
}

TEST_F(LockTest, FailedUpgradeGivesBackWhatTheRequestTook) {
    ASSERT_EQ(ErrSLIBFileLock(0x45, 0), 0);  // lock_smb shared
    // lock_qavoinfo and lock_gr come first in table order and are taken,
    // then lock_smb refuses the upgrade.
    EXPECT_EQ(ErrSLIBFileLock(0x866, 10), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0400u);
    EXPECT_EQ(gSleeps, 0);
    EXPECT_TRUE(FreeForOthers(kQavoinfo));
    EXPECT_TRUE(FreeForOthers(kGr));
    EXPECT_TRUE(FreeForOthers(kSmb, false));
    EXPECT_FALSE(FreeForOthers(kSmb));
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x40), 0);
    EXPECT_TRUE(FreeForOthers(kSmb));
}

TEST_F(LockTest, AttemptsFollowTheTimeout) {
    FlockHolder other(kQavoinfo, true);
    ASSERT_TRUE(other.held());
    struct Case {
        int timeout;
        int sleeps;  // attempts - 1
    } cases[] = {{-1, 0}, {0, 0}, {1, 20}};
    for (const Case &c : cases) {
        gSleeps = 0;
        SLIBErrSet(0);
        EXPECT_EQ(ErrSLIBFileLock(0x806, c.timeout), -1) << c.timeout;
        EXPECT_EQ(SLIBErrGet(), 0x0400u) << c.timeout;
        EXPECT_EQ(gSleeps, c.sleeps) << c.timeout;
    }
    // A shared request is compatible with another process's shared hold.
    other.Release();
    FlockHolder reader(kQavoinfo, false);
    ASSERT_TRUE(reader.held());
    EXPECT_EQ(ErrSLIBFileLock(0x805, 0), 0);
    EXPECT_EQ(ErrSLIBFileLock(0x806, 0), -1);  // upgrade refused
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x800), 0);
}

TEST_F(LockTest, WaitsUntilTheOtherProcessLetsGo) {
    FlockHolder other(kQavoinfo, true);
    ASSERT_TRUE(other.held());
    gOnSleep = [&] {
        if (gSleeps == 10) other.Release();
    };
    EXPECT_EQ(ErrSLIBFileLock(0x806, 5), 0);
    EXPECT_EQ(gSleeps, 10);
    EXPECT_FALSE(FreeForOthers(kQavoinfo));
}

TEST_F(LockTest, NothingOfTheSetIsHeldWhileWaiting) {
    FlockHolder other(kSmb, true);
    ASSERT_TRUE(other.held());
    int grFree = 0;
    gOnSleep = [&] { grFree += FreeHere(kGr) ? 1 : 0; };
    EXPECT_EQ(ErrSLIBFileLock(0x66, 1), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0400u);
    EXPECT_EQ(gSleeps, 20);
    EXPECT_EQ(grFree, 20);
    EXPECT_TRUE(FreeHere(kGr));
}

TEST_F(LockTest, LocksHeldBeforeAFailedRequestKeepTheirCounts) {
    ASSERT_EQ(ErrSLIBFileLock(0x26, 0), 0);  // lock_gr
    FlockHolder other(kSmb, true);
    ASSERT_TRUE(other.held());
    EXPECT_EQ(ErrSLIBFileLock(0x66, 0), -1);
    EXPECT_FALSE(FreeHere(kGr));
    EXPECT_EQ(SLIBErrSLIBFileUnlock(0x20), 0);  // count back to 1, so this releases
    EXPECT_TRUE(FreeHere(kGr));
}

TEST_F(LockTest, RequestWithoutANonBlockingOperationIsRefused) {
    // LOCK_EX alone (2) would block without a time-out.
    for (SLIBLOCKREQ req : {0x802u, 0x801u, 0x800u, 0x808u}) {
        EXPECT_EQ(ErrSLIBFileLock(req, 0), -1) << std::hex << req;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_TRUE(FreeForOthers(kQavoinfo));
}

// Names of the lock files among a process's open descriptors.
std::vector<std::string> OpenLockFiles(pid_t pid) {
    std::string out;
    qtest::Sh("ls -l /proc/" + std::to_string(pid) + "/fd | grep -o '/tmp/lock/[a-z_]*' | sort",
              &out);
    std::vector<std::string> names;
    size_t pos = 0, nl;
    while ((nl = out.find('\n', pos)) != std::string::npos) {
        names.push_back(out.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return names;
}

TEST_F(LockTest, ChildClosesLockFilesWithoutUnlocking) {
    ASSERT_EQ(ErrSLIBFileLock(0x806, 0), 0);
    ASSERT_EQ(ErrSLIBFileLock(0x26, 0), 0);
    ASSERT_EQ(ErrSLIBFileLock(0x26, 0), 0);
    struct Case {
        bool keepOnly;
        std::vector<std::string> left;
    } cases[] = {{false, {}}, {true, {"/tmp/lock/lock_gr"}}};
    for (const Case &c : cases) {
        int p[2], q[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(pipe(q), 0);
        pid_t pid = fork();
        if (pid == 0) {
            int r = c.keepOnly ? SLIBFileLockKeepOnly(0x20) : SLIBFileLockCloseAll();
            char ready = r == 0 ? 'y' : 'n';
            if (write(p[1], &ready, 1) != 1) _exit(2);
            char go;
            if (read(q[0], &go, 1) != 1) _exit(2);
            _exit(0);
        }
        close(p[1]);
        close(q[0]);
        char ready = 0;
        ASSERT_EQ(read(p[0], &ready, 1), 1);
        EXPECT_EQ(ready, 'y');
        EXPECT_EQ(OpenLockFiles(pid), c.left);
        EXPECT_EQ(write(q[1], "g", 1), 1);
        close(p[0]);
        close(q[1]);
        waitpid(pid, nullptr, 0);
        // The parent's locks stay in force.
        EXPECT_FALSE(FreeForOthers(kQavoinfo));
        EXPECT_FALSE(FreeForOthers(kGr));
    }
}

// A holder killed while programs it started still run leaves no lock behind:
// neither a daemon started through the shell nor a program started by a
// plain fork and exec inherits a lock file.
TEST_F(LockTest, NoLockOutlivesAKilledHolder) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t holder = fork();
    if (holder == 0) {
        setpgid(0, 0);
        close(p[0]);
        if (ErrSLIBFileLock(0x806, 0) != 0 || ErrSLIBFileLock(0x20006, 0) != 0) _exit(1);
        SLIBSysSystem("sleep 1000 </dev/null >/dev/null 2>&1 &");
        if (fork() == 0) {
            execl("/bin/sleep", "sleep", "1000", static_cast<char *>(nullptr));
            _exit(127);
        }
        SLIBProcExecBackground("/bin/sleep", "1000", nullptr, nullptr, nullptr);
        if (write(p[1], "y", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(p[1]);
    char ready = 0;
    ASSERT_EQ(read(p[0], &ready, 1), 1);
    close(p[0]);
    ASSERT_FALSE(FreeForOthers(kQavoinfo));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    // A child forked by hand holds the descriptions until its exec closes
    // them; on a loaded machine that can come a moment after the holder died.
    auto eventuallyFree = [](const char *path) {
        for (int i = 0; i < 100; ++i) {
            if (FreeForOthers(path)) return true;
            usleep(20000);
        }
        return false;
    };
    EXPECT_TRUE(eventuallyFree(kQavoinfo));
    EXPECT_TRUE(eventuallyFree("/tmp/lock/lock_usbidmap"));
    kill(-holder, SIGKILL);
}

}  // namespace
