// Media indexing and the thumbnail and video-preview queues.
//
// A queue writer opens the queue (creating it when absent), takes its
// exclusive lock, and only then looks for the path and appends it: two
// writers of the same path never both append it. The daemons take the same
// lock while they consume the queue.
#include "slib_media.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

constexpr const char kSource[] = "gpl/qavomisc";
constexpr int kQueueAttempts = 17;

// -1 not read yet, else 0 or 1.
int gMediaService = -1;
int gPhoto = -1;
int gVideo = -1;

void LoadFlag(int *flag, const char *key) {
    if (*flag != -1) return;
    *flag = slib::DefaultIsYes(key, 16, true) ? 1 : 0;
}

constexpr const char *kShares[] = {"photo", "video", "music"};
constexpr const char *kImages[] = {"bmp", "jpg", "jpeg", "jpe", "png"};
constexpr const char *kVideos[] = {"avi", "mpg", "mpeg", "wmv", "mov", "asf"};

// "/volume" and one digit and "/": the mount point of a data volume.
bool OnVolume(const char *path) {
    return strncmp(path, "/volume", 7) == 0 && path[7] >= '0' && path[7] <= '9' && path[8] == '/';
}

bool InMediaShare(const char *rest) {
    for (const char *share : kShares) {
        const size_t n = strlen(share);
        if (strncasecmp(rest, share, n) == 0 && rest[n] == '/') return true;
    }
    return false;
}

// The queue's contents as read through the locked descriptor.
bool ReadAll(int fd, std::string &out) {
    out.clear();
    char buf[8192];
    off_t at = 0;
    for (;;) {
        ssize_t r = pread(fd, buf, sizeof buf, at);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) return true;
        out.append(buf, static_cast<size_t>(r));
        at += r;
    }
}

// True when a line of the queue is the path, letter case aside.
bool Queued(const std::string &queue, const char *path) {
    const size_t len = strlen(path);
    size_t at = 0;
    std::string line;
    while (at < queue.size()) {
        size_t nl = queue.find('\n', at);
        if (nl == std::string::npos) nl = queue.size();
        if (nl - at == len) {
            line.assign(queue, at, nl - at);
            if (BlSLIBFileMatchLine(line.c_str(), path, SLIB_LINE_SUFFIX | SLIB_LINE_CASELESS))
                return true;
        }
        at = nl + 1;
    }
    return false;
}

// Opens the queue, creating it when absent, and takes its lock: a
// descriptor of the file that stands at the path, locked, or -1.
int OpenQueueLocked(const char *queue) {
    for (int attempt = 1;; ++attempt) {
        const int flags = O_RDWR | O_CREAT | O_APPEND | O_SYNC | O_CLOEXEC;
        int fd = open(queue, flags, QAVO_QUEUE_MODE);
        if (fd < 0) {
            const int e = errno;
            SLIBLog(LOG_ERR, "(%s, %d) open(%s, %d) failed, reason=%s\n", kSource, __LINE__, queue,
                    flags, strerror(e));
            if (e == EACCES && attempt < kQueueAttempts) {
                sleep(1);
                continue;
            }
            return -1;
        }
        int r;
        do {
            r = flock(fd, LOCK_EX);
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            SLIBLog(LOG_ERR, "%s: %s(%d) - failed to lock file descriptor of %s, reason=%s",
                    kSource, "QAVOWriteThumbQueue", __LINE__, queue, strerror(errno));
            close(fd);
            return -1;
        }
        // A daemon that took the queue away while we waited: open it anew.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(queue, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        close(fd);
        if (attempt >= kQueueAttempts) return -1;
    }
}

int WriteQueue(const char *path, const char *queue) {
    const int fd = OpenQueueLocked(queue);
    if (fd < 0) return -1;
    struct Closer {
        int fd;
        ~Closer() {
            flock(fd, LOCK_UN);
            close(fd);
        }
    } closer{fd};

    std::string contents;
    if (!ReadAll(fd, contents)) {
        SLIBLog(LOG_ERR, "%s: %s(%d) - failed to read %s, reason=%s", kSource,
                "QAVOWriteThumbQueue", __LINE__, queue, strerror(errno));
        return -1;
    }
    if (Queued(contents, path)) return 0;
    // A last line cut short by a failed writer is ended first, so the path
    // stands on a line of its own.
    std::string line;
    if (!contents.empty() && contents.back() != '\n') line = "\n";
    line.append(path).append("\n");
    ssize_t w;
    do {
        w = write(fd, line.data(), line.size());
    } while (w < 0 && errno == EINTR);
    if (w != static_cast<ssize_t>(line.size())) {
        SLIBLog(LOG_ERR, "%s: %s(%d) - failed to write (%s, %d) into %s, reason=%s", kSource,
                "QAVOWriteThumbQueue", __LINE__, path, static_cast<int>(line.size()), queue,
                w < 0 ? strerror(errno) : "short write");
        // No half line is left for the daemon.
        if (w > 0 && ftruncate(fd, static_cast<off_t>(contents.size())) != 0) {
            SLIBLog(LOG_ERR, "%s: %s(%d) - failed to cut %s back", kSource, "QAVOWriteThumbQueue",
                    __LINE__, queue);
        }
        return -1;
    }
    return 0;
}

// Signals a daemon's pid, never init, a process group or the caller.
void Wake(int pid) {
    if (!slib::MaySignal(pid)) return;
    kill(pid, SIGUSR1);
}

// The pid a conversion daemon's pid file gives when the daemon may run:
// at least 1 and no live process of another name (a stale file whose
// number was reused), else 0. The daemon itself queueing a path gets it
// queued; it is never woken by its own call (Wake).
int DaemonPid(const char *pidFile) {
    const int pid = SLIBProcReadPidFile(pidFile);
    return pid >= 1 && slib::PidFileMayName(pidFile, pid) ? pid : 0;
}

}  // namespace

extern "C" void SLIBLoadMediaCapabilities(void) {
    LoadFlag(&gMediaService, "supportmediaservice");
    LoadFlag(&gPhoto, "supportphoto");
    LoadFlag(&gVideo, "supportviewmora");
}

extern "C" int BlSLIBIsMediaFileType(const char *path, int kind) {
    if (!path) return 0;
    const char *dot = strrchr(path, '.');
    if (!dot) return 0;
    const char *ext = dot + 1;
    auto in = [ext](const auto &table) {
        for (const char *e : table)
            if (strcasecmp(ext, e) == 0) return 1;
        return 0;
    };
    if (kind == SLIB_MEDIA_IMAGE) return in(kImages);
    if (kind == SLIB_MEDIA_VIDEO) return in(kVideos);
    return 0;
}

extern "C" void SLIBMediaIndexPath(const char *path, int mode) {
    if (!path) return;
    SLIBLoadMediaCapabilities();
    if (gMediaService == 0 && gPhoto == 0 && gVideo == 0) return;
    if (strlen(path) <= 9 || !OnVolume(path) || !InMediaShare(path + 9)) return;
    const char *option = mode == SLIB_MEDIA_INDEX_ADD       ? "-a"
                         : mode == SLIB_MEDIA_INDEX_DELETE  ? "-D"
                         : mode == SLIB_MEDIA_INDEX_ADD_DIR ? "-A"
                                                            : nullptr;
    if (!option) {
        SLIBLog(LOG_ERR, "%s (%d) unknow index mode. (%d)", kSource, __LINE__, mode);
        return;
    }
    if (access(QAVO_MEDIA_INDEXER, X_OK) != 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to run qavoindex, mode=%d. reason = %s", kSource, __LINE__,
                mode, strerror(errno));
        return;
    }
    // The runner waits for the program with SIGCHLD's default action and
    // puts /dev/null on its standard streams.
    const char *const argv[] = {QAVO_MEDIA_INDEXER, option, path, nullptr};
    if (SLIBProcExecWaitArgv(argv, nullptr, nullptr) < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to run qavoindex, mode=%d. reason = %s", kSource, __LINE__,
                mode, "cannot be started");
    }
}

extern "C" int QAVOWriteThumbQueue(const char *path, const char *queue) {
    if (!path || !queue) return -1;
    // A line break would write two queue lines; the line must fit its
    // buffer.
    if (!*path || !slib::OneLine(path) || strlen(path) > QAVO_QUEUE_PATH_MAX) return -1;
    try {
        return WriteQueue(path, queue);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

extern "C" void SLIBQueueMediaConversion(const char *path, int flags) {
    if (!path) return;
    SLIBLoadMediaCapabilities();
    struct stat st;
    if (stat(path, &st) != 0) return;
    const bool dir = S_ISDIR(st.st_mode);
    if (!dir && !S_ISREG(st.st_mode)) return;

    int thumbGot = 0, previewGot = 0;
    if ((flags & SLIB_MEDIA_THUMB) && gPhoto == 1) {
        std::string target;
        try {
            if (dir) {
                target = path;
            } else if (BlSLIBIsMediaFileType(path, SLIB_MEDIA_IMAGE)) {
                std::string copy(path);
                target = dirname(copy.data());
            }
        } catch (const std::bad_alloc &) {
            SLIBLog(LOG_ERR, "%s(%d) failed to strdup %s, reason=%s\n", kSource, __LINE__, path,
                    strerror(ENOMEM));
            target.clear();
        }
        if (!target.empty()) {
            const int pid = DaemonPid(QAVO_THUMB_PIDFILE);
            if (pid >= 1) {
                if (QAVOWriteThumbQueue(target.c_str(), QAVO_THUMB_QUEUE) == 0) thumbGot = pid;
            } else {
                SLIBLog(LOG_ERR, "%s(%d) Thumb daemon is not running .....\n", kSource, __LINE__);
            }
        }
    }
    if ((flags & SLIB_MEDIA_PREVIEW) && gPhoto == 1 && gVideo == 1 &&
        (dir || BlSLIBIsMediaFileType(path, SLIB_MEDIA_VIDEO))) {
        const int pid = DaemonPid(QAVO_FLV_PIDFILE);
        if (pid >= 1) {
            if (QAVOWriteThumbQueue(path, QAVO_FLV_QUEUE) == 0) previewGot = pid;
        } else {
            SLIBLog(LOG_ERR, "%s(%d) FLV daemon is not running .....\n", kSource, __LINE__);
        }
    }
    // The daemon whose queue got the path: the preview daemon first.
    Wake(previewGot ? previewGot : thumbGot);
}
