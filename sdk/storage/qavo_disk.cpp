// Internal disks: listing, space, standby, sleep, write cache, health flags,
// power recovery and fstab lines.
#include "qavo_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <mntent.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qavo_diskprobe.h"
#include "raid/qavo_raiddisk.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

constexpr const char *kProcPartitions = "/proc/partitions";
constexpr const char *kQavoinfo = "/etc/qavoinfo.conf";
constexpr const char *kMountTable = "/proc/mounts";
constexpr int kLockTimeout = 5;

constexpr int kIdeMajors[] = {3, 22, 33, 34, 56, 57, 88, 89, 90, 91};
constexpr int kOpenMajors[] = {3, 8, 22, 33, 34, 56, 57, 88, 89, 90, 91};

bool IsIdeMajor(int major) {
    for (int m : kIdeMajors)
        if (m == major) return true;
    return false;
}
bool IsScsiMajor(int major) {
    return major == 8 || (major >= 65 && major <= 135);
}
bool IdeWholeDisk(int major, int minor) {
    return IsIdeMajor(major) && (minor == 0 || minor == 64);
}
bool ScsiWholeDisk(int major, int minor) {
    return IsScsiMajor(major) && minor % 16 == 0;
}

using slib::Fd;

// The lines of /proc/partitions, each split at blanks and tabs.
bool PartitionLines(std::vector<std::vector<std::string>> &out) {
    PSLIBSZLIST raw = PslSLIBSzListAlloc(1024);
    if (!raw) return false;
    int read = SLIBFileReadLines(kProcPartitions, &raw);  // the list may have moved
    slib::SzListPtr lines(raw);
    if (read < 0) return false;
    for (int i = 0; i < raw->nItem; ++i) {
        std::vector<std::string> fields;
        const char *p = raw->pszItem[i];
        while (*p) {
            while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
                ++p;
            const char *b = p;
            while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
                ++p;
            if (p > b) fields.emplace_back(b, p);
        }
        out.push_back(std::move(fields));
    }
    return true;
}

// The ten disk devices scanned by the multi-disk operations.
std::vector<std::string> DiskDevices() {
    std::vector<std::string> out;
    for (char c = 'a'; c <= 'j'; ++c) {
        std::string path = std::string("/dev/sd") + c;
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        close(fd);
        out.push_back(path);
    }
    return out;
}

// The IDLE count of a standby time in minutes, or -1 when not allowed.
int StandbyCount(int minutes) {
    if (minutes == 0) return 0;
    if (minutes >= 1 && minutes <= 20) return minutes * 12;
    if (minutes == 21) return 252;
    if (minutes >= 30 && minutes <= 330 && minutes % 30 == 0) return 240 + minutes / 30;
    if (minutes == 480) return 253;
    return -1;
}

// An integer key of /etc/qavoinfo.conf; false when absent or not a number.
bool InfoInt(const char *key, int *value) {
    char buf[64] = "";
    if (SLIBFileGetKeyValue(kQavoinfo, key, buf, sizeof buf, 0) <= 0) return false;
    char *end;
    errno = 0;
    long v = strtol(buf, &end, 10);
    if (end == buf || errno || v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

int SendStandby(int count) {
    int result = 0;
    for (const std::string &dev : DiskDevices())
        result |= QAVODiskStandbySet(dev.c_str(), count);
    return result;
}

// HDIO_DRIVE_CMD without an answer.
int DriveCmd(int fd, uint8_t cmd, uint8_t sector, uint8_t feature, uint8_t count) {
    uint8_t args[4] = {cmd, sector, feature, count};
    return ioctl(fd, HDIO_DRIVE_CMD, args);
}

constexpr int kCachePageLen = 24;

// MODE SENSE (to == false) or MODE SELECT of the caching page.
int CachePage(int fd, uint8_t *page, bool select) {
    uint8_t sense[6] = {0x1A, 0x00, 0x08, 0x00, 0x00, 0x00};
    uint8_t set[6] = {0x15, 0x10, 0x00, 0x00, 0x24, 0x00};
    uint8_t senseBuf[32];
    memset(senseBuf, 0, sizeof senseBuf);
    sg_io_hdr_t io;
    memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.dxfer_direction = select ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
    io.cmd_len = 6;
    io.cmdp = select ? set : sense;
    io.mx_sb_len = sizeof senseBuf;
    io.sbp = senseBuf;
    // The transfer is the buffer, whatever length the command byte names.
    io.dxfer_len = kCachePageLen;
    io.dxferp = page;
    io.timeout = 60000;
    io.flags = 0x10000;
    return ioctl(fd, SG_IO, &io);
}

// MODE SENSE of the caching page into a cleared buffer.
int SenseCache(int fd, uint8_t *page) {
    memset(page, 0, kCachePageLen);
    return CachePage(fd, page, false);
}

bool IsSataHost(const std::string &dev) {
    return BlQAVODiskIsSATAHost(dev.c_str()) == 1;
}

// A field of an fstab line: not empty, no blank and no control character.
bool FstabField(const char *s) {
    if (!s || !*s) return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p)
        if (isspace(*p) || iscntrl(*p)) return false;
    return true;
}

// Holds the fstab lock for one edit.
class FstabLock {
  public:
    FstabLock() : held_(ErrSLIBFileLock(SLIB_LOCK_FSTAB | SLIB_LOCK_EX, kLockTimeout) == 0) {
        if (!held_) SLIBErrSet(ERR_LOCK_FAILED);
    }
    bool Held() const { return held_; }
    // False (with 0x0500) when the release fails.
    bool Release() {
        held_ = false;
        if (SLIBErrSLIBFileUnlock(SLIB_LOCK_FSTAB) != 0) {
            SLIBErrSet(ERR_UNLOCK_FAILED);
            return false;
        }
        return true;
    }
    ~FstabLock() {
        if (held_) SLIBErrSLIBFileUnlock(SLIB_LOCK_FSTAB);
    }

  private:
    bool held_;
};

// Runs apply(dev, fd) on every internal disk, opened in turn. 0, or -1 when a
// disk could not be opened or an apply returned false; every disk is tried.
template <typename Apply>
int ForEachDisk(Apply apply) {
    int result = 0;
    for (const std::string &dev : DiskDevices()) {
        int fd = QAVODiskOpen(dev.c_str());
        if (fd < 0) {
            result = -1;
            continue;
        }
        Fd closer(fd);
        if (!apply(dev, fd)) result = -1;
    }
    return result;
}

}  // namespace

extern "C" int QAVODiskDevNumEnum(int type, uint32_t **numbers) {
    if (type != QAVO_DISK_TYPE_INTERNAL || !numbers) return slib::Fail(ERR_BAD_PARAMETERS);
    *numbers = nullptr;
    std::vector<uint32_t> found;
    try {
        std::vector<std::vector<std::string>> lines;
        if (!PartitionLines(lines)) return -1;
        for (int pass = 0; pass < 2; ++pass) {
            for (auto &f : lines) {
                if (f.size() < 2) continue;
                int major = atoi(f[0].c_str()), minor = atoi(f[1].c_str());
                bool whole = pass == 0 ? IdeWholeDisk(major, minor) : ScsiWholeDisk(major, minor);
                if (whole) found.push_back(static_cast<uint32_t>((major << 8) | minor));
            }
        }
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    if (found.empty()) return 0;
    auto *out = static_cast<uint32_t *>(malloc(found.size() * sizeof(uint32_t)));
    if (!out) return slib::Fail(ERR_OUT_OF_MEMORY);
    memcpy(out, found.data(), found.size() * sizeof(uint32_t));
    *numbers = out;
    return static_cast<int>(found.size());
}

extern "C" int QAVODiskInfoGetByDevNum(int type, uint32_t devNum, QAVODISKDEVINFO **out) {
    if (type != QAVO_DISK_TYPE_INTERNAL || !out) return slib::Fail(ERR_BAD_PARAMETERS);
    *out = nullptr;
    std::string name;
    try {
        std::vector<std::vector<std::string>> lines;
        if (!PartitionLines(lines)) return -1;
        for (auto &f : lines) {
            if (f.size() < 4) continue;
            int major = atoi(f[0].c_str()), minor = atoi(f[1].c_str());
            if (static_cast<uint32_t>((major << 8) | minor) != devNum) continue;
            if (!IdeWholeDisk(major, minor) && !ScsiWholeDisk(major, minor)) continue;
            name = f[3];
            break;
        }
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    if (name.empty() || name.size() >= QAVO_DISK_NAME_LEN) return slib::Fail(ERR_NO_SUCH_DISK);
    Fd fd(open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    unsigned long sectors = 0;
    if (fd.fd < 0 || ioctl(fd.fd, BLKGETSIZE, &sectors) != 0) return slib::Fail(ERR_DEVICE_IO);
    auto *rec = static_cast<QAVODISKDEVINFO *>(calloc(1, sizeof(QAVODISKDEVINFO)));
    if (!rec) return slib::Fail(ERR_OUT_OF_MEMORY);
    rec->devNum = devNum;
    snprintf(rec->name, sizeof rec->name, "%s", name.c_str());
    rec->kind = QAVO_DISK_KIND;
    rec->sizeMB = static_cast<uint64_t>(sectors) >> 11;
    *out = rec;
    return 0;
}

extern "C" int QAVODiskSpaceInfoGet(QAVODISKSPACEINFO *rec) {
    if (!rec || !rec->device[0]) {
        SLIBLog(LOG_ERR, "%s (%d) Bad parameters.", __func__, __LINE__);
        return -1;
    }
    // The model field holds 40 characters and its end.
    char model[QAVO_RAID_DISK_MODEL_LEN + 1] = "";
    if (QAVORaidDiskModelGet(rec->device, model, sizeof model) != 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to get disk model.", __func__, __LINE__);
        return -1;
    }
    snprintf(rec->model, sizeof rec->model, "%s", model);
    FILE *mt = setmntent(kMountTable, "re");
    if (!mt) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to setmntent().", __func__, __LINE__);
        return -1;
    }
    uint64_t total = 0, avail = 0;
    bool found = false;
    while (struct mntent *m = getmntent(mt)) {
        const char *dir = m->mnt_dir;
        if (strncmp(dir, "/volume", 7) != 0 || !isdigit(static_cast<unsigned char>(dir[7])))
            continue;
        struct statfs fs;
        if (statfs(dir, &fs) != 0) continue;
        total += static_cast<uint64_t>(fs.f_blocks) * static_cast<uint64_t>(fs.f_bsize);
        avail += static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_bsize);
        found = true;
    }
    endmntent(mt);
    int result = 0;
    if (!found) {
        result = -1;
        uint32_t *nums = nullptr;
        int n = QAVODiskDevNumEnum(QAVO_DISK_TYPE_INTERNAL, &nums);
        uint64_t mb = 0;
        for (int i = 0; i < n; ++i) {
            QAVODISKDEVINFO *info = nullptr;
            if (QAVODiskInfoGetByDevNum(QAVO_DISK_TYPE_INTERNAL, nums[i], &info) == 0) {
                mb += info->sizeMB;
                free(info);
            }
        }
        free(nums);
        total = mb << 20;
        avail = 0;
    }
    const double gib = 1073741824.0;
    rec->totalGB = static_cast<float>(static_cast<double>(total) / gib);
    rec->usedGB = static_cast<float>(static_cast<double>(total - avail) / gib);
    rec->temperature = QAVODiskTemperatureGet(rec->device);
    return result;
}

extern "C" int QAVODiskOpen(const char *device) {
    if (!device) return slib::Fail(ERR_BAD_PARAMETERS);
    int fd = open(device, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return slib::Fail(ERR_DISK_OPEN);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return slib::Fail(ERR_SOURCE_DIR);
    }
    int major = static_cast<int>(major(st.st_rdev));
    for (int m : kOpenMajors)
        if (m == major) return fd;
    close(fd);
    SLIBErrSet(static_cast<SLIBERRCODE>(QAVO_ERR_NOT_DISK));
    return -1;
}

extern "C" int QAVODiskStandbySet(const char *device, int count) {
    // One byte of count: a larger one would be cut to another timer.
    if (count < 0 || count > 255) return slib::Fail(ERR_BAD_PARAMETERS);
    int fd = QAVODiskOpen(device);
    if (fd < 0) return -1;
    Fd closer(fd);
    if (BlQAVODiskIsSATAHost(device) == 1) {
        uint8_t data[1] = {static_cast<uint8_t>(count)};
        return sata_command_interface(fd, QAVO_ATA_OP_IDLE, data);
    }
    return DriveCmd(fd, 0xE3, static_cast<uint8_t>(count), 0, 0);
}

extern "C" int QAVOHDSleepTimeSet(int minutes) {
    int count = StandbyCount(minutes);
    if (count < 0) return slib::Fail(ERR_BAD_PARAMETERS);
    if (SendStandby(count) != 0) return -1;
    int stored = 0;
    if (InfoInt("standbytimer", &stored) && stored == minutes) return 0;
    return QAVOINFOSetKeyValue("standbytimer", std::to_string(minutes).c_str()) < 0 ? -1 : 0;
}

extern "C" int QAVOHDSleepTimeSecSet(int seconds) {
    if (seconds < 1 || seconds > 1200) return slib::Fail(ERR_BAD_PARAMETERS);
    int count = (seconds + 4) / 5;
    return SendStandby(count) != 0 ? -1 : 0;
}

extern "C" int QAVOHDSleepTimeGet(int *minutes) {
    if (!minutes) return slib::Fail(ERR_BAD_PARAMETERS);
    int v = 0;
    if (!InfoInt("standbytimer", &v)) v = 0;
    *minutes = v;
    return v < 0 ? -1 : 0;
}

extern "C" int QAVOHDSleepTimeConfGet(void) {
    int v = 0;
    return InfoInt("standbytimer", &v) ? v : 0;
}

extern "C" int QAVOUSBHDSleepTimeSet(int minutes) {
    if (minutes < 0 || minutes > QAVO_USB_STANDBY_MAX) return slib::Fail(ERR_BAD_PARAMETERS);
    int result = 0;
    if (QAVOINFOSetKeyValue("usb_standbytimer", std::to_string(minutes).c_str()) < 0) result = -1;
    char cmd[128];
    snprintf(cmd, sizeof cmd, "/bin/echo time=%d > %s", minutes, QAVO_STANDBY_TIME_FILE);
    if (SLIBSysSystem(cmd) != 0) {
        SLIBLog(LOG_ERR, "system(%s) error", cmd);
        result = -1;
    }
    return result;
}

extern "C" int QAVOUSBHDSleepTimeGet(int *minutes) {
    if (!minutes) return slib::Fail(ERR_BAD_PARAMETERS);
    int v = 0;
    if (!InfoInt("usb_standbytimer", &v)) v = 0;
    *minutes = v;
    return 0;
}

extern "C" int QAVOHDSleepSet(int sleep) {
    return ForEachDisk([&](const std::string &, int fd) {
        if (sleep) {
            DriveCmd(fd, 0xE7, 0, 0, 0);  // flush the cache; its result is not judged
            return DriveCmd(fd, 0xE6, 0, 0, 0) == 0 || DriveCmd(fd, 0x99, 0, 0, 0) == 0;
        }
        bool ok = ioctl(fd, HDIO_DRIVE_RESET, nullptr) == 0;
        ::sleep(10);
        if (ioctl(fd, HDIO_SET_DMA, 1UL) != 0) ok = false;
        return ok;
    });
}

extern "C" int BlQAVODiskWriteCacheGet(const char *device) {
    int fd = QAVODiskOpen(device);
    if (fd < 0) return 0;
    Fd closer(fd);
    if (BlQAVODiskIsSATAHost(device) == 1) {
        uint8_t page[kCachePageLen];
        if (SenseCache(fd, page) != 0) {
            printf("%s (%d) Failed to run ioctl SG_IO\n", __func__, __LINE__);
            return 0;
        }
        return (page[6] >> 2) & 1;
    }
    uint8_t id[4 + 512];
    memset(id, 0, sizeof id);
    id[0] = 0xEC;
    id[3] = 1;
    if (ioctl(fd, HDIO_DRIVE_CMD, id) != 0) {
        memset(id, 0, sizeof id);
        id[0] = 0xA1;
        id[3] = 1;
        if (ioctl(fd, HDIO_DRIVE_CMD, id) != 0) {
            SLIBLog(LOG_ERR, "%s HDIO_DRIVE_CMD(identify) failed", device);
            return 0;
        }
    }
    const uint8_t *word85 = id + 4 + 2 * 85;  // little-endian words
    return (word85[0] >> 5) & 1;
}

extern "C" int BlQAVODCacheIsWriteEnabled(void) {
    for (const std::string &dev : DiskDevices())
        if (!BlQAVODiskWriteCacheGet(dev.c_str())) return 0;
    return 1;
}

extern "C" int QAVODCacheEnableWrite(int on) {
    const char *func = __func__;
    const int result = ForEachDisk([&](const std::string &dev, int fd) {
        if (!IsSataHost(dev)) return DriveCmd(fd, 0xEF, 0, on ? 0x02 : 0x82, 0) == 0;
        uint8_t page[kCachePageLen];
        if (SenseCache(fd, page) != 0) {
            SLIBLog(LOG_ERR, "%s (%d) Failed to get write cache setting.", func, __LINE__);
            return false;
        }
        bool wce = (page[6] >> 2) & 1;
        if (wce == (on != 0)) return true;
        memset(page, 0, 4);
        page[6] = static_cast<uint8_t>(on ? page[6] | 0x04 : page[6] & ~0x04);
        if (CachePage(fd, page, true) != 0) {
            SLIBLog(LOG_ERR, "%s (%d) Failed to set write cache setting.", func, __LINE__);
            return false;
        }
        return true;
    });
    if (result != 0) return -1;
    if (BlQAVODCacheConfigGet() != (on != 0))
        return QAVOINFOSetKeyValue("diskcache", on ? "on" : "off") < 0 ? -1 : 0;
    return 0;
}

extern "C" int BlQAVODCacheConfigGet(void) {
    char buf[16] = "";
    if (SLIBFileGetKeyValue(kQavoinfo, "diskcache", buf, sizeof buf, 0) <= 0) return 0;
    return strcmp(buf, "off") == 0 ? 0 : 1;
}

extern "C" int QAVOHDHealthGet(void) {
    struct Row {
        int bit;
        const char *key, *value;
    } rows[] = {
        {QAVO_HD_HEALTH_SKIPUI, "skipui", "yes"},
        {QAVO_HD_HEALTH_HDA, "hda", "fail"},
        {QAVO_HD_HEALTH_HDA1_PART, "hda1partition", "fail"},
        {QAVO_HD_HEALTH_HDA3_PART, "hda3partition", "fail"},
        {QAVO_HD_HEALTH_HDA1_MOUNT, "hda1mount", "fail"},
        {QAVO_HD_HEALTH_HDA3_MOUNT, "hda3mount", "fail"},
        {QAVO_HD_HEALTH_HDA3_RO, "hda3mount", "ro"},
    };
    int flags = 0;
    for (const Row &r : rows) {
        char buf[1024] = "";
        if (SLIBFileGetKeyValue(QAVO_HD_HEALTH_FILE, r.key, buf, sizeof buf, 0) > 0 &&
            strcmp(buf, r.value) == 0)
            flags |= r.bit;
    }
    return flags;
}

extern "C" int QAVOHDHealthFlagSet(int flag, int on) {
    const char *key, *value = "fail";
    switch (flag) {
        case QAVO_HD_HEALTH_HDA3_RO:
            key = "hda3mount";
            value = "ro";
            break;
        case QAVO_HD_HEALTH_HDA3_MOUNT:
            key = "hda3mount";
            break;
        case QAVO_HD_HEALTH_HDA1_MOUNT:
            key = "hda1mount";
            break;
        case QAVO_HD_HEALTH_HDA3_PART:
            key = "hda3partition";
            break;
        case QAVO_HD_HEALTH_HDA1_PART:
            key = "hda1partition";
            break;
        case QAVO_HD_HEALTH_HDA:
            key = "hda";
            break;
        case QAVO_HD_HEALTH_SKIPUI:
            key = "skipui";
            value = "yes";
            break;
        default:
            return -1;
    }
    return SLIBFileSetKeyValue(QAVO_HD_HEALTH_FILE, key, on ? value : "",
                               SLIB_KEYVALUE_FMT_QUOTED) < 0
               ? -1
               : 0;
}

extern "C" int QAVOSetRCPowerConfig(int on) {
    if (on < 0 || on > 1) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOSetRCPower error param.", __func__, __LINE__);
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_EX, kLockTimeout) != 0) return -1;
    int stored = SLIBFileSetKeyValue(kQavoinfo, "enableRCPower", on ? "yes" : "no",
                                     SLIB_KEYVALUE_FMT_QUOTED);
    int unlocked = SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    return stored < 0 || unlocked != 0 ? -1 : 0;
}

extern "C" int QAVOFstabAdd(const char *device, const char *mountPoint, const char *fsType) {
    if (!device || !mountPoint || !fsType) return slib::Fail(ERR_BAD_PARAMETERS);
    // Every field one word: a blank or line end would add fields or lines
    // that the boot mounts.
    if (!FstabField(device) || !FstabField(mountPoint) || !FstabField(fsType))
        return slib::Fail(ERR_BAD_PARAMETERS);
    char line[256];
    int n = snprintf(line, sizeof line, "%s %s %s defaults 0 0\n", device, mountPoint, fsType);
    if (n < 0 || n >= static_cast<int>(sizeof line)) return slib::Fail(ERR_BAD_PARAMETERS);
    FstabLock lock;
    if (!lock.Held()) return -1;
    PSLIBSZLIST none = nullptr;
    if (SLIBFileAddLineByField(QAVO_FSTAB, none, line, SLIB_LINE_INSERT_AFTER, " \t") < 0) {
        SLIBErrSet(ERR_WRITE_FAILED);
        return -1;
    }
    return lock.Release() ? 0 : -1;
}

extern "C" int QAVOFstabRemove(const char *mountPoint) {
    // An empty mount point would be the field pattern that matches every line.
    if (!mountPoint || !*mountPoint) return slib::Fail(ERR_BAD_PARAMETERS);
    PSLIBSZLIST patterns = PslSLIBSzListAlloc(512);
    if (!patterns) return slib::Fail(ERR_OUT_OF_MEMORY);
    // Field patterns: any device, then the mount point.
    bool pushed = SLIBSzListPush(&patterns, "") >= 0 && SLIBSzListPush(&patterns, mountPoint) >= 0;
    slib::SzListPtr holder(patterns);
    if (!pushed) return slib::Fail(ERR_OUT_OF_MEMORY);
    FstabLock lock;
    if (!lock.Held()) return -1;
    if (SLIBFileSetLineByField(QAVO_FSTAB, patterns, nullptr, " \t") < 0) {
        SLIBErrSet(ERR_WRITE_FAILED);
        return -1;
    }
    return lock.Release() ? 0 : -1;
}

extern "C" int QAVORaidDiskTemperatureGet(const char *device) {
    int t = QAVODiskTemperatureGet(device);
    if (t < 0)
        SLIBLog(LOG_ERR, "%s(%d)Failed to get status of RAID Temperature", __func__, __LINE__);
    return t;
}
