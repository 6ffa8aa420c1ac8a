// qavo-flashd: the flash emulator. Serves the chip of an appliance
// description as a FUSE file system inside the appliance root:
//   mtd0.. mtd_vender  the MTD devices (windows onto the chip), bound onto /dev
//   chip               the whole chip, raw (image load and dump)
//   journal            every device operation, one line each (snapshot at open)
//   status             geometry, windows, lock and power state (snapshot at open)
//   control            write fault and state lines here
// Usage: qavo-flashd DESCRIPTION-FILE DIR MOUNTPOINT READY-FD
#define FUSE_USE_VERSION 35
#include <fuse.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "flashchip.h"
#include "fuse_serve.h"

namespace {

qsim::Chip gChip;

enum Kind { kNone, kRoot, kDevice, kChipFile, kJournal, kStatus, kControl };

Kind Classify(const char *path, std::string *dev) {
    if (strcmp(path, "/") == 0) return kRoot;
    if (path[0] != '/') return kNone;
    std::string name(path + 1);
    if (name == "chip") return kChipFile;
    if (name == "journal") return kJournal;
    if (name == "status") return kStatus;
    if (name == "control") return kControl;
    if (gChip.HasDevice(name)) {
        *dev = name;
        return kDevice;
    }
    return kNone;
}

int FsGetattr(const char *path, struct stat *st, fuse_file_info *) {
    std::string dev;
    memset(st, 0, sizeof *st);
    switch (Classify(path, &dev)) {
        case kRoot:
            st->st_mode = S_IFDIR | 0755;
            st->st_nlink = 2;
            return 0;
        case kDevice:
            st->st_size = static_cast<off_t>(gChip.DeviceSize(dev));
            break;
        case kChipFile:
            st->st_size = static_cast<off_t>(gChip.Bytes().size());
            break;
        case kJournal:
        case kStatus:
        case kControl:
            break;
        case kNone:
            return -ENOENT;
    }
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    return 0;
}

int FsReaddir(const char *, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *,
              fuse_readdir_flags) {
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (auto &d : gChip.Devices())
        fill(buf, d.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const char *n : {"chip", "journal", "status", "control"})
        fill(buf, n, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int FsOpen(const char *path, fuse_file_info *fi) {
    std::string dev;
    Kind k = Classify(path, &dev);
    if (k == kNone || k == kRoot) return -ENOENT;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fi->fh = 0;
    if (k == kJournal || k == kStatus) {
        const int r =
            qsim::OpenSnapshot(fi, k == kJournal ? gChip.JournalText() : gChip.StatusText());
        if (r != 0) return r;
    }
    if (k == kDevice && (fi->flags & O_TRUNC)) gChip.NoteTruncate(dev);
    return 0;
}

int FsRead(const char *path, char *buf, size_t size, off_t off, fuse_file_info *fi) {
    std::string dev;
    auto *ubuf = reinterpret_cast<uint8_t *>(buf);
    switch (Classify(path, &dev)) {
        case kDevice:
            return static_cast<int>(gChip.Read(dev, off, ubuf, size));
        case kChipFile: {
            const auto &b = gChip.Bytes();
            return qsim::ReadBytes(b.data(), b.size(), buf, size, off);
        }
        case kJournal:
        case kStatus:
            return qsim::ReadSnapshot(fi, buf, size, off);
        case kControl:
            return 0;
        default:
            return -ENOENT;
    }
}

int FsWrite(const char *path, const char *buf, size_t size, off_t off, fuse_file_info *) {
    std::string dev;
    auto *ubuf = reinterpret_cast<const uint8_t *>(buf);
    switch (Classify(path, &dev)) {
        case kDevice:
            gChip.SetCaller(fuse_get_context()->pid);
            return static_cast<int>(gChip.Write(dev, off, ubuf, size));
        case kChipFile: {
            // Raw write, as a programmer would: no NOR rules, no journal.
            auto &b = gChip.Bytes();
            if (static_cast<uint64_t>(off) >= b.size()) return -ENOSPC;
            size_t n = std::min<uint64_t>(size, b.size() - off);
            memcpy(&b[off], buf, n);
            return static_cast<int>(n);
        }
        case kControl: {
            std::istringstream in(std::string(buf, size));
            std::string line;
            while (std::getline(in, line))
                if (int r = gChip.Control(line)) return r;
            return static_cast<int>(size);
        }
        case kJournal:
        case kStatus:
            return -EACCES;
        default:
            return -ENOENT;
    }
}

int FsTruncate(const char *path, off_t, fuse_file_info *) {
    // Device sizes are the kernel's: truncation (dd's O_TRUNC) changes nothing.
    std::string dev;
    Kind k = Classify(path, &dev);
    if (k == kNone || k == kRoot) return -ENOENT;
    if (k == kDevice) gChip.NoteTruncate(dev);
    return 0;
}

int FsIoctl(const char *path, unsigned int cmd, void *, fuse_file_info *, unsigned int flags,
            void *data) {
    std::string dev;
    if (Classify(path, &dev) != kDevice) return -ENOTTY;
    if (flags & FUSE_IOCTL_COMPAT) return -ENOSYS;
    size_t sz = _IOC_SIZE(cmd);
    const void *in = (_IOC_DIR(cmd) & _IOC_WRITE) ? data : nullptr;
    void *out = (_IOC_DIR(cmd) & _IOC_READ) ? data : nullptr;
    gChip.SetCaller(fuse_get_context()->pid);
    return gChip.Ioctl(dev, cmd, in, in ? sz : 0, out, out ? sz : 0);
}

void *FsInit(fuse_conn_info *, fuse_config *cfg) {
    qsim::Uncached(cfg);
    cfg->use_ino = 0;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: qavo-flashd DESCRIPTION DIR MOUNTPOINT READY-FD\n");
        return 2;
    }
    int ready = atoi(argv[4]);
    std::ifstream f(argv[1]);
    std::stringstream ss;
    ss << f.rdbuf();
    qsim::Config cfg;
    std::string err;
    if (!f || !qsim::ParseDescription(ss.str(), argv[2], &cfg, &err) || !gChip.Init(cfg, &err)) {
        if (err.empty()) err = std::string("cannot read ") + argv[1];
        fprintf(stderr, "qavo-flashd: %s\n", err.c_str());
        return 1;
    }
    fuse_operations ops{};
    ops.getattr = FsGetattr;
    ops.readdir = FsReaddir;
    ops.open = FsOpen;
    ops.release = qsim::FsReleaseSnapshot;
    ops.read = FsRead;
    ops.write = FsWrite;
    ops.truncate = FsTruncate;
    ops.ioctl = FsIoctl;
    ops.init = FsInit;
    int loop = 0;
    if (!qsim::Serve("qavo-flashd", "qavoflash", ops, argv[3], ready, &loop)) return 1;
    // A positive result is the signal that asked it to stop: a clean end.
    return loop >= 0 ? 0 : 1;
}
