// qavo-biosd: the appliance's BIOS driver as a FUSE file system inside the
// appliance root:
//   qavobios   the device, bound over /dev/qavobios: its requests travel as
//              FUSE ioctls (the size is in each request number); it polls
//              readable while a hardware event waits
//   journal    every request, one line each (snapshot at open):
//              "REQUEST IN-HEX -> RESULT OUT-HEX" ("-" for no bytes)
//   control    write setting lines here (see sim/README.md)
// Usage: qavo-biosd MOUNTPOINT READY-FD [SETTING-LINE...]
#define FUSE_USE_VERSION 35
#include <fuse.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuse_serve.h"

namespace {

constexpr uint32_t kExtCtrl = 0xc0884b01;
constexpr uint32_t kGetEvent = 0xc0044b02;
constexpr uint32_t kRtc = 0xc0084b06;
constexpr uint32_t kCapability = 0xc0044b0f;
constexpr uint32_t kTemperature = 0xc0044b10;

struct Fault {
    int left = 1;  // failures still to give; -1: always
    int err = EIO;
};

struct State {
    int32_t temperature = 80;  // twice the degrees, as the driver reports it
    bool capability_set = false;
    int32_t capability = 0;
    std::map<uint32_t, int> results;   // request number -> result of a success
    std::map<uint32_t, Fault> faults;  // request number (low byte) -> failure
    std::deque<int32_t> events;
    std::string journal;
    std::vector<fuse_pollhandle *> pollers;
} gState;

std::string Hex(const void *p, size_t n) {
    if (n == 0) return "-";
    static const char digits[] = "0123456789abcdef";
    std::string s;
    auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

void WakePollers() {
    for (auto *ph : gState.pollers) {
        fuse_notify_poll(ph);
        fuse_pollhandle_destroy(ph);
    }
    gState.pollers.clear();
}

// One setting line; 0 or a negative errno.
int Apply(const std::string &line) {
    std::istringstream in(line);
    std::string k;
    if (!(in >> k) || k[0] == '#') return 0;
    auto number = [&](long long *v) {
        std::string w;
        if (!(in >> w)) return false;
        char *end;
        errno = 0;
        *v = strtoll(w.c_str(), &end, 0);
        return errno == 0 && *end == 0;
    };
    long long v, nr;
    if (k == "temperature" && number(&v)) {
        gState.temperature = static_cast<int32_t>(v);
    } else if (k == "capability" && number(&v)) {
        gState.capability_set = true;
        gState.capability = static_cast<int32_t>(v);
    } else if (k == "event" && number(&v)) {
        gState.events.push_back(static_cast<int32_t>(v));
        WakePollers();
    } else if (k == "result" && number(&nr) && number(&v)) {
        gState.results[static_cast<uint32_t>(nr)] = static_cast<int>(v);
    } else if (k == "fail" && number(&nr)) {
        // fail NR [COUNT|always] [errno E]
        Fault f;
        std::string w;
        while (in >> w) {
            if (w == "always") {
                f.left = -1;
            } else if (w == "errno") {
                if (!number(&v) || v <= 0) return -EINVAL;
                f.err = static_cast<int>(v);
            } else {
                f.left = atoi(w.c_str());
                if (f.left <= 0) return -EINVAL;
            }
        }
        gState.faults[static_cast<uint32_t>(nr)] = f;
    } else if (k == "clearjournal") {
        gState.journal.clear();
    } else {
        return -EINVAL;
    }
    return 0;
}

// A failure scripted for the request, as a negative errno; 0 when none.
int Failure(uint32_t cmd) {
    auto it = gState.faults.find(cmd & 0xff);
    if (it == gState.faults.end()) return 0;
    int err = it->second.err;
    if (it->second.left > 0 && --it->second.left == 0) gState.faults.erase(it);
    return -err;
}

int Request(uint32_t cmd, void *data, size_t size) {
    if (int e = Failure(cmd)) return e;
    int result = 0;
    if (auto it = gState.results.find(cmd & 0xff); it != gState.results.end()) result = it->second;
    auto put = [&](int32_t v) { memcpy(data, &v, sizeof v); };
    switch (cmd) {
        case kExtCtrl:
        case kRtc:
            return result;
        case kGetEvent:
            if (gState.events.empty()) return -EAGAIN;
            put(gState.events.front());
            gState.events.pop_front();
            return result;
        case kCapability:
            if (gState.capability_set) put(gState.capability);
            return result;
        case kTemperature:
            put(gState.temperature);
            return result;
        default:
            (void)size;
            return -ENOTTY;
    }
}

enum Kind { kNone, kRoot, kDevice, kJournal, kControl };

Kind Classify(const char *path) {
    if (strcmp(path, "/") == 0) return kRoot;
    if (strcmp(path, "/qavobios") == 0) return kDevice;
    if (strcmp(path, "/journal") == 0) return kJournal;
    if (strcmp(path, "/control") == 0) return kControl;
    return kNone;
}

int FsGetattr(const char *path, struct stat *st, fuse_file_info *) {
    memset(st, 0, sizeof *st);
    switch (Classify(path)) {
        case kRoot:
            st->st_mode = S_IFDIR | 0755;
            st->st_nlink = 2;
            return 0;
        case kNone:
            return -ENOENT;
        default:
            st->st_mode = S_IFREG | 0600;
            st->st_nlink = 1;
            return 0;
    }
}

int FsReaddir(const char *, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *,
              fuse_readdir_flags) {
    for (const char *n : {".", "..", "qavobios", "journal", "control"})
        fill(buf, n, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int FsOpen(const char *path, fuse_file_info *fi) {
    Kind k = Classify(path);
    if (k == kNone || k == kRoot) return -ENOENT;
    fi->direct_io = 1;
    fi->fh = 0;
    if (k == kJournal) return qsim::OpenSnapshot(fi, gState.journal);
    return 0;
}

int FsRead(const char *path, char *buf, size_t size, off_t off, fuse_file_info *fi) {
    if (Classify(path) != kJournal) return 0;
    return qsim::ReadSnapshot(fi, buf, size, off);
}

int FsWrite(const char *path, const char *buf, size_t size, off_t, fuse_file_info *) {
    if (Classify(path) != kControl) return -EACCES;
    std::istringstream in(std::string(buf, size));
    std::string line;
    while (std::getline(in, line))
        if (int r = Apply(line)) return r;
    return static_cast<int>(size);
}

int FsTruncate(const char *path, off_t, fuse_file_info *) {
    return Classify(path) == kNone ? -ENOENT : 0;
}

int FsIoctl(const char *path, unsigned int cmd, void *, fuse_file_info *, unsigned int flags,
            void *data) {
    if (Classify(path) != kDevice) return -ENOTTY;
    if (flags & FUSE_IOCTL_COMPAT) return -ENOSYS;
    size_t sz = _IOC_SIZE(cmd);
    std::vector<uint8_t> in;
    if (_IOC_DIR(cmd) & _IOC_WRITE)
        in.assign(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + sz);
    int r = sz >= 4 || sz == 0 ? Request(cmd, data, sz) : -ENOTTY;
    bool out = r >= 0 && (_IOC_DIR(cmd) & _IOC_READ);
    char head[64];
    snprintf(head, sizeof head, "0x%08x ", cmd);
    gState.journal += head + Hex(in.data(), in.size()) + " -> " + std::to_string(r) + " " +
                      (out ? Hex(data, sz) : std::string("-")) + "\n";
    return r;
}

int FsPoll(const char *path, fuse_file_info *, fuse_pollhandle *ph, unsigned *revents) {
    if (Classify(path) != kDevice) {
        if (ph) fuse_pollhandle_destroy(ph);
        *revents = POLLIN | POLLOUT;
        return 0;
    }
    *revents = POLLOUT | POLLWRNORM;
    if (!gState.events.empty()) *revents |= POLLIN | POLLRDNORM;
    if (ph) {
        if (*revents & POLLIN)
            fuse_pollhandle_destroy(ph);
        else
            gState.pollers.push_back(ph);
    }
    return 0;
}

void *FsInit(fuse_conn_info *, fuse_config *cfg) {
    qsim::Uncached(cfg);
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: qavo-biosd MOUNTPOINT READY-FD [SETTING-LINE...]\n");
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        if (Apply(argv[i]) != 0) {
            fprintf(stderr, "qavo-biosd: cannot read \"%s\"\n", argv[i]);
            return 1;
        }
    }
    int ready = atoi(argv[2]);
    fuse_operations ops{};
    ops.getattr = FsGetattr;
    ops.readdir = FsReaddir;
    ops.open = FsOpen;
    ops.release = qsim::FsReleaseSnapshot;
    ops.read = FsRead;
    ops.write = FsWrite;
    ops.truncate = FsTruncate;
    ops.ioctl = FsIoctl;
    ops.poll = FsPoll;
    ops.init = FsInit;
    int loop = 0;
    // The loop ends when the test stops the driver.
    return qsim::Serve("qavo-biosd", "qavobios", ops, argv[1], ready, &loop) ? 0 : 1;
}
