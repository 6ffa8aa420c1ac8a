// Internal: descriptor and byte helpers of the flash access code.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "slib_util.h"

namespace qflash {

// A descriptor closed when it goes out of scope.
using Fd = slib::Fd;

// Reads until len bytes or the end; the bytes read, or -1 on an error.
inline ssize_t ReadFull(int fd, void *buf, size_t len) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t r = read(fd, p + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// Writes all len bytes, repeating short writes; false on an error (or a
// device that takes nothing more).
inline bool WriteFull(int fd, const void *buf, size_t len) {
    auto *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(fd, p + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// Reads len bytes at off, or fewer at the end; the bytes read, or -1.
inline ssize_t PReadFull(int fd, void *buf, size_t len, off_t off) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t r = pread(fd, p + done, len - done, off + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// Writes all len bytes at off; false on an error.
inline bool PWriteFull(int fd, const void *buf, size_t len, off_t off) {
    auto *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t w = pwrite(fd, p + done, len - done, off + static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

inline uint32_t GetLE32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void PutLE32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace qflash
