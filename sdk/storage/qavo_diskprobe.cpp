// Disk probes and the two ATA command interfaces.
#include "qavo_diskprobe.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qavo_disk.h"
#include "qavo_disksector.h"
#include "qavo_usbdev.h"
#include "raid/qavo_raiddisk.h"
#include "slib_errcode.h"
#include "slib_util.h"

extern "C" const char gszQAVOFSTypeName[4][QAVO_FS_NAME_LEN] = {"reiserfs", "vfat", "ext3", "ntfs"};

namespace {

// The highest temperature a drive reports, in degrees Celsius (the raw
// word is unsigned: nothing below 0 can be told from a wrapped value).
constexpr int kMaxDiskDegrees = 125;

struct AtaOp {
    uint8_t command, sector, feature, count;
};
// By op: SMART ENABLE OPERATIONS, SMART READ DATA, CHECK POWER MODE, IDLE.
constexpr AtaOp kOps[4] = {
    {0xB0, 1, 0xD8, 0},
    {0xB0, 0, 0xD0, 1},
    {0xE5, 0, 0, 0},
    {0xE3, 0, 0, 0},
};

// The interface of the disk being asked (renewed on every temperature query).
int (*g_command)(int, int, uint8_t *) = ata_command_interface;

}  // namespace

extern "C" void swap2bytes(uint16_t *value) {
    if (value) *value = static_cast<uint16_t>((*value >> 8) | (*value << 8));
}

extern "C" int ata_command_interface(int fd, int op, uint8_t *data) {
    if (op != QAVO_ATA_OP_SMART_ENABLE && op != QAVO_ATA_OP_SMART_READ) return -1;
    // Header and answer area cleared: a request that brings no data leaves zeros.
    uint8_t buf[4 + 512];
    memset(buf, 0, sizeof buf);
    buf[0] = kOps[op].command;
    buf[1] = kOps[op].sector;
    buf[2] = kOps[op].feature;
    buf[3] = kOps[op].count;
    if (ioctl(fd, HDIO_DRIVE_CMD, buf) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) ioctl fail", "ata_command_interface", __LINE__);
        return -1;
    }
    if (op == QAVO_ATA_OP_SMART_READ && data) memcpy(data, buf + 4, 512);
    return 0;
}

extern "C" int sata_command_interface(int fd, int op, uint8_t *data) {
    // Ops 0 to 3 only: a negative op would index before the table.
    if (op < 0 || op > QAVO_ATA_OP_IDLE) return -1;
    if (op != QAVO_ATA_OP_SMART_ENABLE && !data) return -1;
    uint8_t req[8 + QAVO_SATA_AREA_LEN];
    memset(req, 0, sizeof req);
    const uint32_t len = QAVO_SATA_AREA_LEN;
    memcpy(req, &len, 4);      // input length
    memcpy(req + 4, &len, 4);  // output length
    uint8_t *area = req + 8;
    area[0] = 0x0C;
    area[4] = 6;
    area[6] = kOps[op].command;
    area[7] = kOps[op].sector;
    area[8] = kOps[op].feature;
    area[9] = op == QAVO_ATA_OP_IDLE ? data[0] : kOps[op].count;
    if (ioctl(fd, QAVO_SCSI_IOCTL_SEND_COMMAND, req) != 0) return -1;
    if (op == QAVO_ATA_OP_SMART_READ) memcpy(data, area + 6, 512);
    if (op == QAVO_ATA_OP_CHECK_POWER) data[0] = area[9];
    return 0;
}

extern "C" int BlQAVODiskIsSATAHost(const char *device) {
    if (!device) {
        SLIBLog(LOG_ERR, "%s (%d) Bad parameter", __func__, __LINE__);
        return -1;
    }
    const char *base = strrchr(device, '/');
    base = base ? base + 1 : device;
    std::string sys = std::string("/sys/block/") + base + "/device";
    char link[4096];
    ssize_t n = readlink(sys.c_str(), link, sizeof link - 1);
    if (n < 0) {
        SLIBLog(LOG_ERR, "readlink() from %s failed. (%s)", sys.c_str(), strerror(errno));
        return -1;
    }
    link[n] = '\0';
    if (strstr(link, "devices/platform/host")) return 1;
    // The link up to its first "host" element names the host controller.
    const char *host = nullptr;
    for (const char *p = link; (p = strstr(p, "host")) != nullptr; ++p) {
        if (p == link || p[-1] == '/') {
            host = p;
            break;
        }
    }
    if (!host) return 0;
    std::string pci = std::string("/sys/block/") + base + "/" +
                      std::string(link, static_cast<size_t>(host - link)) + "/device";
    slib::FilePtr fp(fopen(pci.c_str(), "re"));
    char line[64];
    if (!fp || !fgets(line, sizeof line, fp.get())) return -1;
    return strcmp(line, "0x7042\n") == 0 ? 1 : 0;
}

extern "C" int QAVODiskTemperatureGet(const char *device) {
    int fd = device ? open(device, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d) open device %s fail", "QAVODiskTemperatureGet", __LINE__,
                device ? device : "(null)");
        return -1;
    }
    slib::Fd closer(fd);
    g_command = BlQAVODiskIsSATAHost(device) == 1 ? sata_command_interface : ata_command_interface;
    uint8_t smart[512];
    memset(smart, 0, sizeof smart);
    if (g_command(fd, QAVO_ATA_OP_SMART_ENABLE, smart) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) enable smart %s fail", "QAVODiskTemperatureGet", __LINE__, device);
        return -1;
    }
    if (g_command(fd, QAVO_ATA_OP_SMART_READ, smart) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) read value %s fail", "QAVODiskTemperatureGet", __LINE__, device);
        return -1;
    }
    // The table is little-endian; the reads below take it byte by byte, so
    // only the words a big-endian host reads whole need their bytes swapped.
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    {
        uint16_t w;
        memcpy(&w, smart, 2);
        swap2bytes(&w);
        memcpy(smart, &w, 2);
        for (int i = 0; i < QAVO_SMART_ATTR_COUNT; ++i) {
            uint8_t *e = smart + 2 + i * QAVO_SMART_ATTR_LEN + 1;
            memcpy(&w, e, 2);
            swap2bytes(&w);
            memcpy(e, &w, 2);
        }
    }
#endif
    for (int i = 0; i < QAVO_SMART_ATTR_COUNT; ++i) {
        const uint8_t *e = smart + 2 + i * QAVO_SMART_ATTR_LEN;
        if (e[0] != QAVO_SMART_ATTR_TEMPERATURE) continue;
        const uint8_t *raw = e + 5;
        const int degrees = raw[0] | (raw[1] << 8);
        // More than a drive can report is no reading at all.
        return degrees <= kMaxDiskDegrees ? degrees : -1;
    }
    return -1;
}

extern "C" int QAVOGetFSType(const char *path, int useCwd) {
    struct statfs fs;
    bool got = false;
    if (path) {
        if (statfs(path, &fs) == 0) {
            got = true;
        } else if (errno != ENOENT) {
            return -1;
        }
    }
    if (!got) {
        if (!useCwd) return -1;
        char cwd[4097];
        if (!getcwd(cwd, sizeof cwd)) return -1;
        if (statfs(cwd, &fs) != 0) {
            SLIBLog(LOG_ERR, "%s(%d) statfs failed", "QAVOGetFSType", __LINE__);
            return -1;
        }
    }
    switch (static_cast<uint32_t>(fs.f_type)) {
        case QAVO_FS_MAGIC_REISERFS:
            return QAVO_FS_REISERFS;
        case QAVO_FS_MAGIC_VFAT:
            return QAVO_FS_VFAT;
        case QAVO_FS_MAGIC_EXT3:
            return QAVO_FS_EXT3;
        case QAVO_FS_MAGIC_NTFS:
            return QAVO_FS_NTFS;
        default:
            return QAVO_FS_NONE;
    }
}

extern "C" uint32_t QAVOPartInfoGet(int partNo, const char *device, uint32_t *start,
                                    uint32_t *type) {
    // The same listing as the RAID disks' reader, which takes only device
    // names of letters and digits into its command line.
    return QAVORaidPartInfoGet(partNo, device, start, type);
}

extern "C" int BlQAVODiskIsLegacyLayout(const char *device) {
    if (!device) return 0;
    struct Want {
        uint32_t type;
        bool extent;
        uint32_t start, size;
    } want[3] = {{0x83, true, 63, 273042}, {0x82, true, 273105, 787185}, {0x83, false, 0, 0}};
    for (int k = 0; k < 3; ++k) {
        uint32_t start = 0, type = 0;
        uint32_t size = QAVOPartInfoGet(k + 1, device, &start, &type);
        if (size == UINT32_MAX || type != want[k].type) return 0;
        if (want[k].extent && (start != want[k].start || size != want[k].size)) return 0;
    }
    return 1;
}

extern "C" int QAVOIPodDataPartGet(const char *device) {
    if (!device) return -1;
    struct Entry {
        int product, part;
    };
    static const Entry kTable[] = {
        {0x1201, 2}, {0x1202, 2}, {0x1203, 2}, {0x1204, 2}, {0x1205, 2}, {0x1209, 2},
        {0x120A, 2}, {0x1260, 2}, {0x1300, 0}, {0x1301, 0}, {0, 0},
    };
    QAVOUSB rec;
    if (QAVOUSBDevGetInfo(device, &rec) != 0 || rec.vendorId != 0x05AC) return -1;
    for (const Entry *e = kTable; e->product >= 1; ++e)
        if (e->product == rec.productId) return e->part;
    return -1;
}

extern "C" int BlQAVODiskIsQaVoRs2Fs(const char *device) {
    uint8_t sector[512];
    if (!device || QAVOReadOneSectorFromDev(device, 128, sector) != 0) return 0;
    return memcmp(sector + 52, "QaVoRs2Fs", 9) == 0 ? 1 : 0;
}

extern "C" int BlQAVODiskIsExt2(const char *device) {
    uint8_t sector[512];
    if (!device || QAVOReadOneSectorFromDev(device, 2, sector) != 0) return 0;
    return (sector[56] | (sector[57] << 8)) == 0xEF53 ? 1 : 0;
}
