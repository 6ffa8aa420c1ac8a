#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_media.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

namespace {

const char kThumbQ[] = "/var/spool/thumb_create.queue";
const char kFlvQ[] = "/var/spool/flv_create.queue";

void MakeDirs(const std::string &path) {
    ASSERT_EQ(qtest::Exec({"/bin/mkdir", "-p", path}), 0) << path;
}

std::vector<std::string> QueueLines(const std::string &queue) {
    std::vector<std::string> lines;
    if (!FileExists(queue)) return lines;
    std::string text = ReadFile(queue), line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    EXPECT_EQ(line, "") << "the queue ends with a whole line";
    return lines;
}

// The model supports every media feature.
void SupportMedia() {
    WriteFile("/etc.defaults/qavoinfo.conf",
              ReadFile("/etc.defaults/qavoinfo.conf") +
                  "supportmediaservice=\"yes\"\nsupportphoto=\"YES\"\nsupportviewmora=\"yes\"\n");
}

// A daemon of the test: keeps running until stopped and counts the SIGUSR1
// it receives (SIGUSR1 is blocked in the test process, so it queues there
// too and is looked for with Pending). It bears the name given: a pid file
// counts only when it names a process of its daemon's name.
class Daemon {
  public:
    explicit Daemon(const char *name) {
        EXPECT_EQ(pipe2(pipe_, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            if (prctl(PR_SET_NAME, name) != 0 || write(pipe_[1], "n", 1) != 1) _exit(1);
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGUSR1);
            sigaddset(&set, SIGTERM);
            sigprocmask(SIG_BLOCK, &set, nullptr);
            for (;;) {
                int sig = 0;
                if (sigwait(&set, &sig) != 0) continue;
                if (sig == SIGTERM) _exit(0);
                if (write(pipe_[1], "u", 1) != 1) _exit(1);
            }
        }
        close(pipe_[1]);
        // Named before it is used.
        char c;
        EXPECT_EQ(read(pipe_[0], &c, 1), 1);
    }
    ~Daemon() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        close(pipe_[0]);
    }
    pid_t Pid() const { return pid_; }
    // Signals received within the time given (in milliseconds, after the
    // first one a short grace for more).
    int Received(int waitMs) {
        int n = 0;
        pollfd p{pipe_[0], POLLIN, 0};
        while (poll(&p, 1, n ? 100 : waitMs) > 0) {
            char c;
            if (read(pipe_[0], &c, 1) != 1) break;
            ++n;
        }
        return n;
    }

  private:
    int pipe_[2] = {-1, -1};
    pid_t pid_ = -1;
};

// True when a SIGUSR1 is pending for the test process (and takes it).
bool Pending() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    timespec zero{0, 0};
    return sigtimedwait(&set, nullptr, &zero) == SIGUSR1;
}

class Media : public ::testing::Test {
  protected:
    void SetUp() override {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        MakeDirs("/var/spool");
        MakeDirs("/volume1/photo/trip");
        MakeDirs("/volume1/video");
    }
};

TEST_F(Media, QueueHoldsEachPathOnceWhateverItsCaseAndWhoeverWritesIt) {
    const int kWriters = 8, kPaths = 200;
    std::vector<std::string> paths;
    for (int i = 0; i < kPaths; ++i)
        paths.push_back("/volume1/photo/album" + std::to_string(i) + "/pics");
    std::vector<pid_t> kids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            int failed = 0;
            for (int k = 0; k < kPaths; ++k) {
                // Each writer starts elsewhere and spells the paths its own way.
                std::string p = paths[(k + w * 25) % kPaths];
                for (size_t c = 0; c < p.size(); ++c)
                    if ((c + w) % 3 == 0) p[c] = static_cast<char>(toupper(p[c]));
                failed += QAVOWriteThumbQueue(p.c_str(), kThumbQ) != 0;
            }
            _exit(failed ? 1 : 0);
        }
        ASSERT_GT(pid, 0);
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::map<std::string, int> count;
    for (std::string line : QueueLines(kThumbQ)) {
        std::transform(line.begin(), line.end(), line.begin(), ::tolower);
        ++count[line];
    }
    EXPECT_EQ(count.size(), static_cast<size_t>(kPaths));
    for (const std::string &p : paths)
        EXPECT_EQ(count[p], 1) << p;
}

TEST_F(Media, QueueIsCreatedWithItsModeAndRefusesLineBreaks) {
    const mode_t old = umask(0);
    EXPECT_EQ(QAVOWriteThumbQueue("/volume1/photo/a", kThumbQ), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(kThumbQ, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(QAVO_QUEUE_MODE));

    EXPECT_EQ(QAVOWriteThumbQueue("/volume1/photo/A", kThumbQ), 0);
    for (const char *bad : {"/volume1/photo/b\n/etc/shadow", "/volume1/photo/c\r", ""})
        EXPECT_EQ(QAVOWriteThumbQueue(bad, kThumbQ), -1) << bad;
    EXPECT_EQ(QAVOWriteThumbQueue(std::string(QAVO_QUEUE_PATH_MAX + 1, 'x').c_str(), kThumbQ), -1);
    EXPECT_EQ(QAVOWriteThumbQueue(nullptr, kThumbQ), -1);
    EXPECT_EQ(QAVOWriteThumbQueue("/volume1/photo/a", nullptr), -1);
    // A path that ends another queued one is a path of its own.
    EXPECT_EQ(QAVOWriteThumbQueue("/photo/a", kThumbQ), 0);
    EXPECT_EQ(QueueLines(kThumbQ), (std::vector<std::string>{"/volume1/photo/a", "/photo/a"}));
}

TEST_F(Media, FileKinds) {
    struct Case {
        const char *path;
        int kind, expected;
    } cases[] = {
        {"/v/a.jpg", 1, 1}, {"/v/a.JPEG", 1, 1},    {"/v/a.jpe", 1, 1}, {"/v/a.bmp", 1, 1},
        {"/v/a.Png", 1, 1}, {"/v/a.gif", 1, 0},     {"/v/a.jpg", 2, 0}, {"/v/a.avi", 2, 1},
        {"/v/a.MPG", 2, 1}, {"/v/a.mpeg", 2, 1},    {"/v/a.wmv", 2, 1}, {"/v/a.mov", 2, 1},
        {"/v/a.asf", 2, 1}, {"/v/a.mp4", 2, 0},     {"/v/a.avi", 3, 0}, {"/v/jpg", 1, 0},
        {"/v.jpg/a", 1, 0}, {"/v/a.tar.png", 1, 1}, {"/v/a.", 1, 0},    {nullptr, 1, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(BlSLIBIsMediaFileType(c.path, c.kind), c.expected)
            << (c.path ? c.path : "(null)") << " " << c.kind;
}

TEST_F(Media, ConversionQueuesTheRightPathsAndWakesOneDaemon) {
    SupportMedia();
    WriteFile("/volume1/photo/trip/a.jpg", "x");
    WriteFile("/volume1/photo/trip/notes.txt", "x");
    WriteFile("/volume1/video/clip.avi", "x");
    Daemon thumb("qavomkthumbd"), flv("qavomkflvd"), bystander("smbd");
    WriteFile(QAVO_THUMB_PIDFILE, std::to_string(thumb.Pid()) + "\n");
    WriteFile(QAVO_FLV_PIDFILE, std::to_string(flv.Pid()) + "\n");

    // An image queues its folder for thumbnails, a folder itself.
    SLIBQueueMediaConversion("/volume1/photo/trip/a.jpg", SLIB_MEDIA_THUMB);
    EXPECT_EQ(QueueLines(kThumbQ), std::vector<std::string>{"/volume1/photo/trip"});
    EXPECT_EQ(thumb.Received(2000), 1);
    SLIBQueueMediaConversion("/volume1/photo/trip/notes.txt", SLIB_MEDIA_THUMB | 0x2);
    SLIBQueueMediaConversion("/volume1/photo/missing.jpg", SLIB_MEDIA_THUMB);
    EXPECT_EQ(QueueLines(kThumbQ).size(), 1u);
    EXPECT_FALSE(FileExists(kFlvQ));

    // Both queues get a folder; only the preview daemon is woken.
    SLIBQueueMediaConversion("/volume1/video", SLIB_MEDIA_THUMB | SLIB_MEDIA_PREVIEW);
    EXPECT_EQ(QueueLines(kThumbQ),
              (std::vector<std::string>{"/volume1/photo/trip", "/volume1/video"}));
    EXPECT_EQ(QueueLines(kFlvQ), std::vector<std::string>{"/volume1/video"});
    EXPECT_EQ(flv.Received(2000), 1);
    // A video file goes to the preview queue unchanged.
    SLIBQueueMediaConversion("/volume1/video/clip.avi", SLIB_MEDIA_PREVIEW);
    EXPECT_EQ(QueueLines(kFlvQ),
              (std::vector<std::string>{"/volume1/video", "/volume1/video/clip.avi"}));
    EXPECT_EQ(flv.Received(2000), 1);

    EXPECT_EQ(thumb.Received(300), 0);
    EXPECT_EQ(bystander.Received(0), 0);
    EXPECT_FALSE(Pending());
}

TEST_F(Media, PidFilesThatNameNoDaemonSignalNobody) {
    SupportMedia();
    Daemon thumb("qavomkthumbd"), bystander("smbd");
    const std::string live = std::to_string(thumb.Pid());
    // A stale pid file whose number now names another live process.
    const std::string other = std::to_string(bystander.Pid());
    struct Case {
        // "self": the caller's own pid; the caller bears the preview
        // daemon's name, as the daemon itself queueing a path would.
        std::string thumbPid, flvPid;
        bool thumbQueued, flvQueued;
        int thumbWoken;
    } cases[] = {
        {live, "0", true, false, 1},       {live, "-1\n", true, false, 1},
        {live, "garbage", true, false, 1}, {live, other, true, false, 1},
        {other, other, false, false, 0},   {"1", "1", false, false, 0},
        {"self", "self", false, true, 0},  {"0", "-1", false, false, 0},
        {"garbage", "", false, false, 0},
    };
    for (const Case &c : cases) {
        unlink(kThumbQ);
        unlink(kFlvQ);
        // The caller runs in a process group of its own, so that a signal
        // to "the caller's group" reaches nobody but the caller.
        pid_t caller = fork();
        if (caller == 0) {
            setpgid(0, 0);
            if (prctl(PR_SET_NAME, "qavomkflvd") != 0) _exit(4);
            const std::string self = std::to_string(getpid());
            WriteFile(QAVO_THUMB_PIDFILE, c.thumbPid == "self" ? self : c.thumbPid);
            WriteFile(QAVO_FLV_PIDFILE, c.flvPid == "self" ? self : c.flvPid);
            SLIBQueueMediaConversion("/volume1/video", SLIB_MEDIA_THUMB | SLIB_MEDIA_PREVIEW);
            _exit(Pending() ? 3 : 0);
        }
        ASSERT_GT(caller, 0);
        int status = 0;
        ASSERT_EQ(waitpid(caller, &status, 0), caller);
        const std::string what = c.thumbPid + " / " + c.flvPid;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << what << ": the caller signalled itself";
        EXPECT_EQ(FileExists(kThumbQ), c.thumbQueued) << what;
        EXPECT_EQ(FileExists(kFlvQ), c.flvQueued) << what;
        EXPECT_EQ(thumb.Received(c.thumbWoken ? 2000 : 200), c.thumbWoken) << what;
        EXPECT_EQ(bystander.Received(0), 0) << what;
        EXPECT_FALSE(Pending()) << what;
    }
    EXPECT_TRUE(qtest::SyslogHas("FLV daemon is not running", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("Thumb daemon is not running", LOG_ERR));
}

TEST_F(Media, IndexingRunsTheIndexerDetachedForMediaSharesOnly) {
    SupportMedia();
    struct Case {
        const char *path;
        int mode;
        const char *option;  // null: nothing runs
    } cases[] = {
        {"/volume1/photo/trip/a.jpg", 1, "-a"},
        {"/volume1/Video/clip.avi", 2, "-D"},
        {"/volume2/MUSIC/album", 3, "-A"},
        {"/volume1/public/a.jpg", 1, nullptr},
        {"/volume1/photos/a.jpg", 1, nullptr},
        {"/volume1/photo", 1, nullptr},
        {"/volume1/", 1, nullptr},
        {"/tmp/abc/photo/a.jpg", 1, nullptr},
        {"/volume1/photo/a.jpg", 4, nullptr},
        {"/volume1/photo/a.jpg", 0, nullptr},
        {nullptr, 1, nullptr},
    };
    for (const Case &c : cases) {
        qtest::ClearCalls();
        unlink("/sim/standin/qavoindex.streams");
        SLIBMediaIndexPath(c.path, c.mode);
        const auto calls = qtest::Calls();
        const std::string what =
            std::string(c.path ? c.path : "(null)") + " " + std::to_string(c.mode);
        if (!c.option) {
            EXPECT_TRUE(calls.empty()) << what;
            continue;
        }
        ASSERT_EQ(calls.size(), 1u) << what;
        EXPECT_EQ(calls[0], (std::vector<std::string>{QAVO_MEDIA_INDEXER, c.option, c.path}));
        EXPECT_EQ(ReadFile("/sim/standin/qavoindex.streams"), "/dev/null\n/dev/null\n/dev/null\n");
    }
    EXPECT_TRUE(qtest::SyslogHas("gpl/qavomisc", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("unknow index mode. (4)", LOG_ERR));

    // A missing indexer is reported, not run.
    unlink(QAVO_MEDIA_INDEXER);
    SLIBMediaIndexPath("/volume1/photo/a.jpg", 1);
    EXPECT_TRUE(qtest::SyslogHas("Failed to run qavoindex, mode=1. reason = ", LOG_ERR));
}

TEST_F(Media, NothingHappensWithoutMediaSupport) {
    Daemon thumb("qavomkthumbd");
    WriteFile(QAVO_THUMB_PIDFILE, std::to_string(thumb.Pid()));
    SLIBMediaIndexPath("/volume1/photo/a.jpg", 1);
    SLIBQueueMediaConversion("/volume1/photo/trip", SLIB_MEDIA_THUMB);
    EXPECT_TRUE(qtest::Calls().empty());
    EXPECT_FALSE(FileExists(kThumbQ));
    EXPECT_EQ(thumb.Received(200), 0);
}

}  // namespace
