// One-sector read and write on a disk device.
#include "qavo_disksector.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "slib_errcode.h"

namespace {

// The node of a kernel device name ("sdb", "sdb1"), given alone or after
// "/dev/": letters and digits only, so that no name reaches another path.
// False for anything else, or when the path would not fit.
bool DevicePath(const char *device, std::string &path) {
    if (!device) return false;
    const char *name = strncmp(device, "/dev/", 5) == 0 ? device + 5 : device;
    if (!*name) return false;
    for (const char *p = name; *p; ++p)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')))
            return false;
    path = std::string("/dev/") + name;
    return path.size() <= QAVO_SECTOR_DEV_MAX;
}

int Transfer(const char *func, const char *device, uint32_t sector, void *buf, bool write) {
    std::string path;
    if (!buf || !DevicePath(device, path)) {
        SLIBLog(LOG_ERR, "%s(%d): bad parameters", func, __LINE__);
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    int fd = open(path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d): failed to open device [%s] (errno = %d)", func, __LINE__,
                path.c_str(), errno);
        SLIBErrSet(ERR_OPEN_FAILED);
        return -1;
    }
    int result = 0;
    // 64-bit offset: every sector of a disk larger than 4 GiB is reachable.
    off_t offset = static_cast<off_t>(sector) * QAVO_SECTOR_SIZE;
    if (sector != 0 && lseek(fd, offset, SEEK_SET) != offset) {
        SLIBLog(LOG_ERR, "%s(%d): failed to seek device [%s] (errno = %d)", func, __LINE__,
                path.c_str(), errno);
        result = -1;
    } else {
        ssize_t n = write ? ::write(fd, buf, QAVO_SECTOR_SIZE) : read(fd, buf, QAVO_SECTOR_SIZE);
        if (n != QAVO_SECTOR_SIZE) {
            SLIBLog(LOG_ERR,
                    write ? "%s(%d): failed to write device [%s] (errno = %d)"
                          : "%s(%d): failed to read device [%s] (errno = %d)",
                    func, __LINE__, path.c_str(), errno);
            SLIBErrSet(ERR_DEVICE_IO);
            result = -1;
        }
    }
    close(fd);
    return result;
}

}  // namespace

extern "C" int QAVOReadOneSectorFromDev(const char *device, uint32_t sector, uint8_t buffer[512]) {
    return Transfer(__func__, device, sector, buffer, false);
}

extern "C" int QAVOWriteOneSectorToDev(const char *device, uint32_t sector,
                                       const uint8_t buffer[512]) {
    return Transfer(__func__, device, sector, const_cast<uint8_t *>(buffer), true);
}
