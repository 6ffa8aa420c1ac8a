// What the FUSE daemons of the simulated appliance (the flash emulator, the
// BIOS driver) share: read-only snapshot files, uncached attributes, and
// mounting and serving until they are told to stop.
#pragma once

#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 35
#endif
#include <fuse.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace qsim {

// A read of size bytes at off from data of len bytes: the bytes copied.
inline int ReadBytes(const void *data, size_t len, char *buf, size_t size, off_t off) {
    if (static_cast<uint64_t>(off) >= len) return 0;
    const size_t n = std::min<uint64_t>(size, len - off);
    memcpy(buf, static_cast<const char *>(data) + off, n);
    return static_cast<int>(n);
}

// A file whose text is taken when it is opened: later changes do not show
// in what an open descriptor reads.
inline int OpenSnapshot(fuse_file_info *fi, const std::string &text) {
    auto *snap = new (std::nothrow) std::string(text);
    if (!snap) return -ENOMEM;
    fi->fh = reinterpret_cast<uint64_t>(snap);
    return 0;
}

inline int ReadSnapshot(fuse_file_info *fi, char *buf, size_t size, off_t off) {
    auto *s = reinterpret_cast<std::string *>(fi->fh);
    return s ? ReadBytes(s->data(), s->size(), buf, size, off) : 0;
}

// The release of every file: frees a snapshot (fh 0 when there is none).
inline int FsReleaseSnapshot(const char *, fuse_file_info *fi) {
    delete reinterpret_cast<std::string *>(fi->fh);
    fi->fh = 0;
    return 0;
}

// Nothing cached by the kernel: every read and lookup reaches the daemon.
inline void Uncached(fuse_config *cfg) {
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
}

// Mounts ops at mountpoint as fsname (open to every user), writes "ready" to
// the descriptor ready (unless it is below 0) and serves until a signal
// stops it. False when it could not mount; else *loop is fuse_loop's result.
inline bool Serve(const char *name, const char *fsname, const fuse_operations &ops,
                  const char *mountpoint, int ready, int *loop) {
    std::string prog = name, opt = std::string("fsname=") + fsname + ",allow_other";
    char dashO[] = "-o";
    char *fargv[] = {prog.data(), dashO, opt.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fargv);
    fuse *fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (!fs) {
        fuse_opt_free_args(&args);
        return false;
    }
    if (fuse_mount(fs, mountpoint) != 0) {
        fuse_destroy(fs);
        fuse_opt_free_args(&args);
        return false;
    }
    fuse_set_signal_handlers(fuse_get_session(fs));
    if (ready >= 0) {
        (void)!write(ready, "ready\n", 6);
        close(ready);
    }
    *loop = fuse_loop(fs);
    fuse_remove_signal_handlers(fuse_get_session(fs));
    fuse_unmount(fs);
    fuse_destroy(fs);
    fuse_opt_free_args(&args);
    return true;
}

}  // namespace qsim
