// Internal disks under the md arrays: slot count, devices, sizes, model,
// the status calculation, and the partition layout read with the
// appliance's sfdisk.
#include "qavo_raiddisk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qavo_raid.h"
#include "qavo_sata.h"
#include "qavo_usbvol.h"
#include "raiddisk_util.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

int g_diskErr = 0;

// A device path the shell may take as it is: "/dev/" and [a-z0-9] only.
bool SafeDevice(const char *dev) {
    if (!dev || strncmp(dev, "/dev/", 5) != 0 || dev[5] == '\0') return false;
    for (const char *p = dev + 5; *p; ++p)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9'))) return false;
    return strlen(dev) < 64;
}

// True when the key/value table lists the kernel disk name, or exists and
// cannot be read. The SDK error code stays as it was.
bool TableNames(const char *table, const char *name) {
    const SLIBERRCODE saved = SLIBErrGet();
    const int r = SLIBFileGetKeyValue(table, name, nullptr, 0, 0);
    bool named = r != 0;
    if (r < 0) {
        struct stat st;
        if (stat(table, &st) != 0 && errno == ENOENT) named = false;
    }
    SLIBErrSet(saved);
    return named;
}

}  // namespace

namespace raiddisk {

int DiskFail(int err) {
    g_diskErr = err;
    return 1;
}

bool InternalSlot(int disk, const char *func) {
    int slots = QAVORaidDiskMaxNumGet();
    if (slots <= 0) slots = 1;
    if (!BlQAVORaidDiskIsValid(disk) || disk >= slots) {
        SLIBLog(LOG_ERR, "%s(%d): disk %d is no disk slot of this model, maxdisks=%d", func,
                __LINE__, disk + 1, slots);
        return false;
    }
    // An external disk may take the name of a slot that holds no disk.
    const char *name = kDisks[disk] + strlen("/dev/");
    for (const char *table : {SZF_USBTAB, SZF_USBGUIDTAB, SZF_SATATAB}) {
        if (TableNames(table, name)) {
            SLIBLog(LOG_ERR, "%s(%d): %s is an external disk (%s)", func, __LINE__, kDisks[disk],
                    table);
            return false;
        }
    }
    return true;
}

}  // namespace raiddisk

using namespace raiddisk;

extern "C" int QAVORaidDiskErrGet(void) {
    return g_diskErr;
}

extern "C" void QAVORaidDiskErrSet(int err) {
    g_diskErr = err;
}

extern "C" int BlQAVORaidDiskIsValid(int disk) {
    return disk >= 0 && disk < QAVO_RAID_DISK_MAX;
}

extern "C" int BlQAVORaidPartIsValid(int p) {
    return p >= 0 && p < QAVO_RAID_PART_MAX;
}

extern "C" int QAVORaidDiskMaxNumGet(void) {
    const char *cmd = "/bin/get_key_value /etc.defaults/qavoinfo.conf maxdisks";
    FILE *fp = popen(cmd, "r");
    if (!fp) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to popen cmd = '%s', errno=%s/%d.", __func__, __LINE__, cmd,
                strerror(errno), errno);
        return 0;
    }
    char line[64] = "";
    bool got = fgets(line, sizeof line, fp) != nullptr;
    pclose(fp);
    if (!got) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to fgets cmd = '%s', errno=%s/%d.", __func__, __LINE__, cmd,
                strerror(errno), errno);
        return 0;
    }
    long n = strtol(line, nullptr, 10);
    return n > 0 && n <= QAVO_RAID_DISK_MAX ? static_cast<int>(n) : 0;
}

extern "C" uint32_t QAVORaidDiskAllMaskGet(void) {
    int n = QAVORaidDiskMaxNumGet();
    if (n <= 0) n = 1;
    return (1u << n) - 1;
}

extern "C" const char *QAVORaidDiskDevGet(int disk) {
    return BlQAVORaidDiskIsValid(disk) ? kDisks[disk] : nullptr;
}

extern "C" const char *QAVORaidDiskSysfsGet(int disk) {
    return BlQAVORaidDiskIsValid(disk) ? kSysfs[disk] : nullptr;
}

extern "C" const char *QAVORaidPartDevGet(int disk, int p) {
    return BlQAVORaidDiskIsValid(disk) && BlQAVORaidPartIsValid(p) ? kParts[disk][p] : nullptr;
}

extern "C" int QAVORaidDiskSizeGet(int disk, int p, uint32_t *sectors) {
    if (!BlQAVORaidDiskIsValid(disk) || p < -1 || p >= QAVO_RAID_PART_MAX || !sectors)
        return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    const char *dev = p == -1 ? kDisks[disk] : kParts[disk][p];
    int fd = open(dev, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d)Failed to open device = %s , errno = %d , strerrno = %s", __func__,
                __LINE__, dev, errno, strerror(errno));
        return 1;
    }
    // The size in bytes as 64 bits: a sector count that does not fit the
    // 32-bit result is refused rather than cut.
    uint64_t bytes = 0;
    int r = ioctl(fd, BLKGETSIZE64, &bytes);
    int err = errno;
    close(fd);
    if (r != 0) {
        SLIBLog(LOG_ERR, "%s(%d)Failed to get size of device : %s , errno = %d , strerrno = %s",
                __func__, __LINE__, dev, err, strerror(err));
        return 1;
    }
    if (bytes / 512 > UINT32_MAX) {
        SLIBLog(LOG_ERR, "%s(%d)Size of device %s does not fit 32 bits: %llu sectors", __func__,
                __LINE__, dev, static_cast<unsigned long long>(bytes / 512));
        return DiskFail(QAVO_RAID_DISK_ERR_SIZE);
    }
    *sectors = static_cast<uint32_t>(bytes / 512);
    return 0;
}

extern "C" uint32_t QAVORaidDataSizeOf(uint32_t s) {
    if (s <= QAVO_RAID_SYSVOL_SECTORS) return 0;
    return (s - QAVO_RAID_SYSVOL_SECTORS) / QAVO_RAID_CYLINDER * QAVO_RAID_CYLINDER;
}

extern "C" uint32_t QAVORaidUsableSizeOf(uint32_t x) {
    uint32_t cut = x & ~127u;
    return cut > 128 ? cut - 128 : 0;
}

extern "C" int QAVORaidDiskDataSizeGet(int disk, uint32_t *sectors) {
    if (!sectors) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    uint32_t s = 0;
    if (QAVORaidDiskSizeGet(disk, -1, &s) != 0) return 1;
    uint32_t usable = QAVORaidUsableSizeOf(QAVORaidDataSizeOf(s));
    if (usable == 0) return DiskFail(QAVO_RAID_DISK_ERR_SIZE);  // no room after the system area
    *sectors = usable;
    return 0;
}

extern "C" int QAVORaidPartUsableSizeGet(int disk, int p, uint32_t *sectors) {
    if (!sectors || !BlQAVORaidPartIsValid(p)) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    uint32_t s = 0;
    if (QAVORaidDiskSizeGet(disk, p, &s) != 0) return 1;
    *sectors = QAVORaidUsableSizeOf(s);
    return 0;
}

extern "C" int QAVORaidDiskMinSizeGet(uint32_t mask, uint32_t *sectors) {
    if (mask < 1 || !sectors) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    int max = QAVORaidDiskMaxNumGet();
    if (max <= 0) max = 1;
    uint32_t smallest = UINT32_MAX;
    bool any = false;
    for (int d = 0; d < max; ++d) {
        if (!(mask & (1u << d))) continue;
        uint32_t s = 0;
        if (QAVORaidDiskSizeGet(d, -1, &s) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)[%d]Failed to get disk %d 's size %lu", __func__, __LINE__,
                    d + 1, d + 1, static_cast<unsigned long>(s));
            return 1;
        }
        any = true;
        if (s < smallest) smallest = s;
    }
    if (!any) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    if (smallest <= QAVO_RAID_SYSVOL_SECTORS) return DiskFail(QAVO_RAID_DISK_ERR_SIZE);
    *sectors = QAVORaidDataSizeOf(smallest);
    return 0;
}

extern "C" int QAVORaidDiskModelGet(const char *device, char *buf, int size) {
    if (!device || !buf || size < 1) {
        SLIBLog(LOG_ERR, "%s (%d) Bad parameters.", __func__, __LINE__);
        g_diskErr = QAVO_RAID_DISK_ERR_PARAM;
        return -1;
    }
    int fd = open(device, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to open %s. %d (%s)", __func__, __LINE__, device, errno,
                strerror(errno));
        g_diskErr = QAVO_RAID_DISK_ERR_MODEL;
        return -1;
    }
    unsigned char cmd[4 + 512] = {0xEC, 0, 0, 1};
    int r = ioctl(fd, HDIO_DRIVE_CMD, cmd);
    close(fd);
    if (r == 0) {
        const unsigned char *w = cmd + 4 + 27 * 2;  // words 27..46
        int i = 0;
        while (i < 20 && w[2 * i + 1] == ' ' && w[2 * i] == ' ')
            ++i;
        std::string model;
        if (i < 20 && w[2 * i + 1] == ' ') {  // the high byte (stored second) is a blank
            if (w[2 * i]) model += static_cast<char>(w[2 * i]);
            ++i;
        }
        for (; i < 20; ++i) {
            unsigned char hi = w[2 * i + 1], lo = w[2 * i];
            if (!hi && !lo) break;
            model += static_cast<char>(hi);
            model += static_cast<char>(lo);
        }
        snprintf(buf, static_cast<size_t>(size), "%s", model.c_str());
        return 0;
    }
    const char *base = strrchr(device, '/');
    base = base ? base + 1 : device;
    char path[256];
    if (snprintf(path, sizeof path, "/sys/block/%s/device/model", base) >= (int)sizeof path) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to open %s", __func__, __LINE__, device);
        return -1;
    }
    slib::FilePtr fp(fopen(path, "r"));
    if (!fp) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to open %s", __func__, __LINE__, path);
        return -1;
    }
    if (!fgets(buf, size, fp.get())) {
        SLIBLog(LOG_ERR, "%s (%d) Failed get disk model", __func__, __LINE__);
        return -1;
    }
    return 0;
}

extern "C" int QAVORaidDiskStatusCalc(int sys, int data, int *status) {
    if (!status) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    int s = -1;
    if (data == 2)
        s = QAVO_RAID_DISK_FAILING;
    else if (sys == 0 && data == 0)
        s = QAVO_RAID_DISK_NORMAL;
    else if (sys == 0 && data == 1)
        s = QAVO_RAID_DISK_SYSONLY;
    else if (sys == 1 && data == 1)
        s = QAVO_RAID_DISK_FREE;
    else if (sys == 2 && data == 1)
        s = QAVO_RAID_DISK_SYSDAMAGED;
    else if ((sys == 1 || sys == 2) && data == 0)
        s = QAVO_RAID_DISK_NOSYS;
    if (s < 0) return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
    *status = s;
    return 0;
}

extern "C" int QAVORaidDiskIdGetByDevNum(int md, int maj, int min) {
    if (md > QAVO_RAID_MD_MAX || maj < 1 || min < 1) {
        SLIBLog(LOG_ERR, "%s(%d)Bad parameter", __func__, __LINE__);
        return -1;
    }
    int p = md == 0 ? 0 : md == 1 ? 1 : 2;
    for (int d = 0; d < QAVO_RAID_DISK_MAX; ++d) {
        struct stat st;
        if (stat(kParts[d][p], &st) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)failed to stat %s, errno=%s", __func__, __LINE__, kParts[d][p],
                    strerror(errno));
            continue;
        }
        if (static_cast<int>(major(st.st_rdev)) == maj &&
            static_cast<int>(minor(st.st_rdev)) == min)
            return d + 1;
    }
    return -1;
}

extern "C" int QAVORaidDiskExistCheck(const char *path, int *status) {
    if (!path || !status) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    struct stat st;
    if (stat(path, &st) == 0) {
        *status = 1;
        return 0;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        *status = 0;
        return 0;
    }
    return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
}

extern "C" uint32_t QAVORaidPartInfoGet(int partNo, const char *device, uint32_t *start,
                                        uint32_t *type) {
    if (partNo <= 0 || partNo > 9 || !device) return UINT32_MAX;
    const char *name = strncmp(device, "/dev/", 5) == 0 ? device + 5 : device;
    std::string full = std::string("/dev/") + name;
    if (!SafeDevice(full.c_str())) return UINT32_MAX;
    std::string cmd = std::string(kSfdisk) + " -l -uS -N" + std::to_string(partNo) + " " + full;
    FILE *fp = popen(cmd.c_str(), "r");
    if (!fp) return UINT32_MAX;
    char line[64] = "";
    bool got = fgets(line, sizeof line, fp) != nullptr;
    pclose(fp);
    if (!got) return UINT32_MAX;
    // "device start end size type name": fields two, four and five.
    char *fields[5];
    char *p = line;
    for (int i = 0; i < 5; ++i) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p || *p == '\n') return UINT32_MAX;
        fields[i] = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\n')
            ++p;
        if (i == 4 && *p != ' ' && *p != '\t') return UINT32_MAX;
        if (*p) *p++ = '\0';
    }
    auto number = [](const char *s, int base, uint32_t *v) {
        char *end;
        errno = 0;
        unsigned long x = strtoul(s, &end, base);
        if (*end || end == s || errno || x > UINT32_MAX || *s == '-') return false;
        *v = static_cast<uint32_t>(x);
        return true;
    };
    uint32_t st = 0, size = 0, ty = 0;
    if (!number(fields[1], 10, &st) || !number(fields[3], 10, &size) || !number(fields[4], 16, &ty))
        return UINT32_MAX;
    if (start) *start = st;
    if (type) *type = ty;
    return size;
}

extern "C" int BlQAVORaidDiskCheckPartitions(const char *device) {
    if (!device) return 0;
    struct Want {
        bool judgeExtent;
        uint32_t start, size;
    } want[3] = {{true, QAVO_RAID_PART1_START, QAVO_RAID_PART1_SIZE},
                 {true, QAVO_RAID_PART2_START, QAVO_RAID_PART2_SIZE},
                 {false, 0, 0}};
    for (int k = 1; k <= 3; ++k) {
        uint32_t start = 0, type = 0;
        uint32_t size = QAVORaidPartInfoGet(k, device, &start, &type);
        if (size == UINT32_MAX) {
            SLIBLog(LOG_ERR, "%s:%d(%s) %s: dont contain partition [%d]\n", __FILE__, __LINE__,
                    __func__, device, k);
            return 0;
        }
        if (type != QAVO_RAID_PART_TYPE) {
            SLIBLog(LOG_ERR, "%s:%d(%s) %s%d: ulFsType=[0x%lX] not match [0x%X]\n", __FILE__,
                    __LINE__, __func__, device, k, static_cast<unsigned long>(type),
                    QAVO_RAID_PART_TYPE);
            return 0;
        }
        if (!want[k - 1].judgeExtent) continue;
        if (start != want[k - 1].start) {
            SLIBLog(LOG_ERR, "%s:%d(%s) %s%d: ulStartOffset=[%lu] not match [%u]\n", __FILE__,
                    __LINE__, __func__, device, k, static_cast<unsigned long>(start),
                    want[k - 1].start);
            return 0;
        }
        if (size != want[k - 1].size) {
            SLIBLog(LOG_ERR, "%s:%d(%s) %s%d: ulSize=[%lu] not match [%u]\n", __FILE__, __LINE__,
                    __func__, device, k, static_cast<unsigned long>(size), want[k - 1].size);
            return 0;
        }
    }
    return 1;
}
