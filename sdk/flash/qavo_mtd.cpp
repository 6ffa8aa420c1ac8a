#include "qavo_mtd.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "flash_io.h"
#include "slib_errcode.h"

static_assert(sizeof(FISDIRENTRY) == QAVO_FIS_ENTRY_SIZE);
static_assert(sizeof(mtd_info_user) == QAVO_MTD_INFO_SIZE);
static_assert(MEMGETINFO == 0x80204D01u && MEMERASE == 0x40084D02u);
static_assert(MEMLOCK == 0x40084D05u && MEMUNLOCK == 0x40084D06u);

using qflash::Fd;
using qflash::GetLE32;
using qflash::PutLE32;

namespace {

// Decodes one 256-byte directory entry as stored on flash.
void DecodeEntry(const uint8_t *raw, FISDIRENTRY *e) {
    memcpy(e->szName, raw, sizeof e->szName);
    e->flash_base = GetLE32(raw + 16);
    e->mem_base = GetLE32(raw + 20);
    e->size = GetLE32(raw + 24);
    e->entry_point = GetLE32(raw + 28);
    e->data_length = GetLE32(raw + 32);
    memcpy(e->reserved, raw + 36, sizeof e->reserved);
    e->desc_cksum = GetLE32(raw + 248);
    e->file_cksum = GetLE32(raw + 252);
}

// Opens a device read-write and reads its geometry for a whole-device
// request; -1 (logged) on failure. func names the caller in the messages.
int OpenWithInfo(const char *func, const char *dev, mtd_info_user *info) {
    int fd = open(dev, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to open mtd device %s, errno = %d", func, __LINE__, dev,
                errno);
        return -1;
    }
    memset(info, 0, sizeof *info);
    if (ioctl(fd, MEMGETINFO, info) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): Could not get MTD device info for %s, errno = %d", func, __LINE__,
                dev, errno);
        close(fd);
        return -1;
    }
    return fd;
}

// Runs op (MEMERASE, MEMLOCK, MEMUNLOCK) over the whole device for func;
// what names the operation in the log.
int WholeDevice(const char *func, const char *szDevice, unsigned long op, const char *what) {
    mtd_info_user info;
    Fd fd(OpenWithInfo(func, szDevice, &info));
    if (!fd.ok()) return -1;
    erase_info_user req{0, info.size};
    if (ioctl(fd.fd, op, &req) < 0) {
        int e = errno;
        SLIBLog(LOG_ERR, "Could not %s MTD device: %s, errno = %d\n", what, szDevice, e);
        errno = e;
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int QAVOMTDGetDeviceInfo(const char *szDevice, void *pBuffer, int cbBuffer) {
    if (!szDevice || !pBuffer || cbBuffer < QAVO_MTD_INFO_SIZE) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): parameter error");
        return -1;
    }
    memset(pBuffer, 0, static_cast<size_t>(cbBuffer));
    Fd fd(open(szDevice, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): fail to open mtd device, errno = %d", errno);
        return -1;
    }
    if (ioctl(fd.fd, MEMGETINFO, pBuffer) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): fail to get mtd size, errno = %d", errno);
        return -1;
    }
    return 0;
}

extern "C" int QAVOMTDGetPartitionInfo(const char *szDevice, FISDIRENTRY *pBuffer, int cbBuffer,
                                       int *pcbNeeded) {
    // A null buffer asks for the size, and only with a size of 0.
    if (!szDevice || !pcbNeeded || (pBuffer ? cbBuffer <= 0 : cbBuffer != 0)) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): parameter error");
        return -1;
    }
    Fd fd(open(szDevice, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): fail to open mtd device, errno = %d", errno);
        return -1;
    }
    uint8_t raw[QAVO_FIS_ENTRY_SIZE];
    for (int count = 0;; ++count) {
        memset(raw, 0, sizeof raw);
        errno = 0;
        ssize_t n = qflash::ReadFull(fd.fd, raw, sizeof raw);
        if (n != static_cast<ssize_t>(sizeof raw)) {
            // The device ended before the end marker, or the read failed.
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d): failed to read from %s(errno = %d)", szDevice,
                          n < 0 ? errno : 0);
            return -1;
        }
        if (raw[0] == 0xFF) {
            *pcbNeeded = count * QAVO_FIS_ENTRY_SIZE;
            return count;
        }
        if (count >= INT_MAX / QAVO_FIS_ENTRY_SIZE - 1) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d): not enough memory");
            return -1;
        }
        if (pBuffer) {
            if ((count + 1) * QAVO_FIS_ENTRY_SIZE > cbBuffer) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d): not enough memory");
                return -1;
            }
            DecodeEntry(raw, &pBuffer[count]);
        }
    }
}

extern "C" int QAVOMTDModifyPartitionSize(const char *szDevice, uint32_t start, uint32_t size) {
    if (!szDevice) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): parameter error");
        return -1;
    }
    Fd fd(open(szDevice, O_RDWR | O_CLOEXEC));
    if (!fd.ok()) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): fail to open mtd device %s, errno = %d", szDevice, errno);
        return -1;
    }
    erase_info_user req{start, size};
    if (ioctl(fd.fd, QAVO_MEMSETPARTINFO, &req) < 0) {
        SLIBLog(LOG_ERR, "Failed to set the mtd info of %s by ioctl, errno = %d\n", szDevice,
                errno);
        return -1;
    }
    return 0;
}

extern "C" int QAVOMTDModifyFISEntry(const char *szDirDevice, const QAVOMTDFISENTRY *pEntry) {
    if (!szDirDevice || !pEntry) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): parameter error");
        return -1;
    }
    // The request as the kernel reads it: at most 15 name characters, then
    // zeros, then the three words.
    uint8_t req[28] = {};
    memcpy(req, pEntry->szName, strnlen(pEntry->szName, sizeof pEntry->szName - 1));
    PutLE32(req + 16, pEntry->flash_base);
    PutLE32(req + 20, pEntry->size);
    PutLE32(req + 24, pEntry->data_length);
    Fd fd(open(szDirDevice, O_RDWR | O_CLOEXEC));
    if (!fd.ok()) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): fail to open mtd device %s, errno = %d", szDirDevice,
                      errno);
        return -1;
    }
    if (ioctl(fd.fd, QAVO_MEMSETFISENTRY, req) < 0) {
        SLIBLog(LOG_ERR, "%s: Failed to set the mtd info of %s by ioctl, errno = %d\n", __func__,
                szDirDevice, errno);
        return -1;
    }
    return 0;
}

extern "C" int QAVOMTDErasePartition(const char *szDevice) {
    if (!szDevice) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): parameter error");
        return -1;
    }
    return WholeDevice(__func__, szDevice, MEMERASE, "erase");
}

extern "C" int QAVOMTDEraseRange(const char *szDevice, uint32_t start, uint32_t length) {
    if (!szDevice || length == 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): parameter error");
        errno = EINVAL;
        return -1;
    }
    Fd fd(open(szDevice, O_RDWR | O_CLOEXEC));
    if (!fd.ok()) {
        int e = errno;
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): fail to open mtd device %s, errno = %d", szDevice, e);
        errno = e;
        return -1;
    }
    erase_info_user req{start, length};
    if (ioctl(fd.fd, MEMERASE, &req) < 0) {
        int e = errno;
        SLIBLog(LOG_ERR, "Could not erase MTD device: %s at 0x%X length 0x%X, errno = %d\n",
                szDevice, start, length, e);
        errno = e;
        return -1;
    }
    return 0;
}

extern "C" int QAVOMTDILock(const char *szDevice, int lock) {
    if (!szDevice) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): parameter error");
        return -1;
    }
    return WholeDevice(__func__, szDevice, lock == 1 ? MEMLOCK : MEMUNLOCK, "lock/unlock");
}

extern "C" int QAVOMTDLockPartition(const char *szDevice) {
    return QAVOMTDILock(szDevice, 1);
}

extern "C" int QAVOMTDUnlockPartition(const char *szDevice) {
    return QAVOMTDILock(szDevice, 0);
}

extern "C" int BlQAVOIsMSysFlash(void) {
    uint32_t flags = 0;
    if (syscall(QAVO_SYSCALL_HWFLAGS, &flags) != 0) return 0;
    return (flags & QAVO_HWFLAG_MSYS) ? 1 : 0;
}
