// The disk on the eSATA port: volume information, mount and unmount under
// "/volumeSATA", formats, on and off line.
#include "qavo_sata.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qavo_diskprobe.h"
#include "qavo_extshare.h"
#include "qavo_netservice.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpdisk.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbmount.h"
#include "qavo_sata_util.h"
#include "qavo_usbmount_util.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_util.h"

using namespace satam;

namespace {

constexpr const char *kFatOpts = "utf8,umask=000,shortname=mixed";
constexpr const char *kNtfsOpts = "ro,nls=utf8,fmask=000,dmask=000";

void Copy(char *dst, size_t size, const std::string &src) {
    snprintf(dst, size, "%s", src.c_str());
}

// The eSATA share whose path begins with the mount point.
void FindShare(const std::string &point, QAVOUSBVOLINFO *info) {
    int needed = 0;
    if (QAVOShareEnum1(nullptr, 0, &needed, QAVOSHARE_CLASS_SATA) < 0 || needed <= 0) return;
    std::vector<char *> area((static_cast<size_t>(needed) + sizeof(char *) - 1) / sizeof(char *));
    const int n = QAVOShareEnum1(area.data(), needed, &needed, QAVOSHARE_CLASS_SATA);
    for (int i = 0; i < n; ++i) {
        const char *name = area[static_cast<size_t>(i)];
        int size = 0;
        if (QAVOShareGet(1, name, nullptr, 0, &size) != 0) {
            SLIBLog(LOG_ERR, "%d:QAVOShareGet(%s) ask size failed.(%X)", __LINE__, name,
                    SLIBErrGet());
            continue;
        }
        std::vector<char> buf(static_cast<size_t>(size));
        if (QAVOShareGet(1, name, buf.data(), size, &size) != 1) {
            SLIBLog(LOG_ERR, "%d:QAVOShareGet(%s) failed.(%X)", __LINE__, name, SLIBErrGet());
            continue;
        }
        const auto *s = reinterpret_cast<const QAVOSHARE *>(buf.data());
        if (s->szPath && strncmp(s->szPath, point.c_str(), point.size()) == 0) {
            Copy(info->szShareName, sizeof info->szShareName, s->szName);
            Copy(info->szSharePath, sizeof info->szSharePath, s->szPath);
            return;
        }
    }
}

// The attached eSATA disk that may be repartitioned.
bool Formattable(const char *device) {
    if (!usbm::MayFormat(device) || usbm::EsataName() != device) {
        SLIBLog(LOG_ERR, "%s(%d): %s is no eSATA disk; not formatted", kSource, __LINE__,
                device ? device : "NULL");
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return false;
    }
    return true;
}

int RunLogged(const std::vector<std::string> &cmd, const char *func) {
    if (usbm::Run(cmd) == 0) return 0;
    SLIBLog(LOG_ERR, "%s(%d): %s failed(Error Code:%s)", func, __LINE__, usbm::Line(cmd).c_str(),
            strerror(errno));
    return -1;
}

// The status of the shared record, or -1.
int OtherBackupOnline(const char *device, bool *other) {
    QAVOUSBBACKUPINFO r;
    if (QAVOUSBGetBackupInfo(&r) != 0) return -1;
    *other = (r.status & USB_BKP_STATUS_ONLINE) && strncmp(r.device, device, sizeof r.device) != 0;
    return 0;
}

}  // namespace

namespace satam {

bool SetTab(const char *device) {
    SLIBFileSetOrAddKeyValue(SZF_USBDISKAPPLYING, device, SZV_USB_APPLY_INIT,
                             SLIB_KEYVALUE_FMT_QUOTED);
    if (SLIBFileSetOrAddKeyValue(SZF_SATATAB, device, "", SLIB_KEYVALUE_FMT_QUOTED) >= 0)
        return true;
    SLIBLog(LOG_ERR, "%s(%d): set %s [%s=%s] failed(0X%X).", kSource, __LINE__, SZF_SATATAB, device,
            "", SLIBErrGet());
    return false;
}

void Success(const char *device) {
    SLIBFileSetOrAddKeyValue(SZF_USBDISKAPPLYING, device, SZV_USB_APPLY_SUCCESS,
                             SLIB_KEYVALUE_FMT_QUOTED);
}

}  // namespace satam

extern "C" int BlQAVOSATAIsInTab(void) {
    FILE *fp = fopen(SZF_SATATAB, "re");
    if (!fp) return 0;
    char line[256];
    int found = 0;
    while (!found && fgets(line, sizeof line, fp))
        if (strcspn(line, " =\t\n") > 1) found = 1;
    fclose(fp);
    return found;
}

extern "C" int BlQAVOSATAIsDevPresent(void) {
    const std::string name = usbm::EsataName();
    if (name.empty()) return 0;
    const int fd = open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    close(fd);
    return 1;
}

extern "C" int QAVOSATACheckSupport(void) {
    char v[16] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "supportSATA", v, sizeof v, 0) <= 0) return 1;
    return strcmp(v, "yes") == 0 ? 0 : 1;
}

extern "C" int QAVOSATAGetVolInfo(const char *device, QAVOUSBVOLINFO *info) {
    if (!info || !usbm::PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    memset(info, 0, sizeof *info);
    try {
        const std::string disk = std::string("/dev/") + device;
        const std::string part = disk + (BlQAVODiskIsLegacyLayout(device) == 1 ? "3" : "1");
        uint64_t size = 0;
        uint8_t sector[QAVO_SECTOR_SIZE];
        if (QAVOUSBIGetDiskSizeMB(device, &size) != 0 ||
            QAVOReadOneSectorFromDev(device, 0, sector) != 0)
            info->status = QAVO_USBVOL_ERROR;
        Copy(info->szDescription, sizeof info->szDescription, SZ_SATA_DESCRIPTION);
        std::vector<usbm::Mount> m;
        if (!usbm::Mounts(&m)) {
            SLIBLog(LOG_ERR, "%s(%d): Failed to open %s. (errno = %d)\n", __func__, __LINE__,
                    "/proc/mounts", errno);
            return slib::Fail(ERR_OPEN_FAILED);
        }
        for (const auto &e : m) {
            if (e.device != part && e.device != disk) continue;
            Copy(info->szMountPoint, sizeof info->szMountPoint, e.point);
            Copy(info->szFileSystem, sizeof info->szFileSystem, e.fs);
            FindShare(e.point, info);
            if (e.options.find("corrupt") != std::string::npos &&
                info->status == QAVO_USBVOL_NORMAL)
                info->status = QAVO_USBVOL_CORRUPT;
            usbm::FillSpace(e.point, info);
            break;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOSATAVolMount(const char *device, int fsCode, int isShare, int doExport) {
    if (!usbm::PlainDevice(device) || fsCode < 0 || fsCode > 3 || isShare < 0 || isShare > 1)
        return slib::Fail(ERR_BAD_PARAMETERS);
    if (fsCode == 3 && isShare == 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) We don't support USBBackup disk that formatted by NTFS.",
                kSource, __LINE__, __func__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        const std::string root = SZD_SATA_MOUNT_ROOT;
        const std::string share = root + (isShare ? "/satashare" : "/satabackup");
        const std::string dev = std::string("/dev/") + device;
        const bool legacy = fsCode != 1 && fsCode != 3 && BlQAVODiskIsLegacyLayout(device) == 1;
        const std::string point =
            (fsCode == 1 || fsCode == 3 || legacy) ? (legacy ? root + "/satashare" : share) : root;
        QAVOSATAVolUnMount(device, 0);
        if (BlQAVOIsMountPoint(point.c_str()) != 0 || usbm::Busy(point) ||
            (point != root && BlQAVOIsMountPoint(root.c_str()) != 0)) {
            SLIBLog(LOG_ERR, "%s(%d)Failed: The Path cannot be mounted: %s", __func__, __LINE__,
                    point.c_str());
            return -1;
        }
        usbm::SafeRemove(point);
        if (!usbm::MakeDir(point)) {
            SLIBLog(LOG_ERR, "%s(%d): /bin/mkdir -m 777 -p %s failed(Error Code:%s)", __func__,
                    __LINE__, point.c_str(), strerror(errno));
            return -1;
        }
        const char *fs = usbm::FsName(fsCode);
        std::vector<std::string> cmd;
        if (fsCode == 1)
            cmd = {"/bin/mount", "-o", kFatOpts,
                   "-t",         fs,   BlQAVOUSBIsFATSuperFloppy(device) == 1 ? dev : dev + "1",
                   point};
        else if (fsCode == 3)
            cmd = {"/bin/mount", "-o", kNtfsOpts, "-t", fs, dev + "1", point};
        else if (legacy)
            cmd = {"/bin/mount", "-t", fs, "-o", "ro", dev + "3", point};
        else
            cmd = {"/bin/mount", "-t", fs, dev + "1", point};
        if (usbm::Run(cmd) != 0) {
            SLIBErrSet(ERR_MOUNT_FAILED);
            SLIBLog(LOG_ERR, "%s(%d): %s failed(Error Code:%s)", __func__, __LINE__,
                    usbm::Line(cmd).c_str(), strerror(errno));
            return -1;
        }
        if (point != share && !legacy && access(share.c_str(), F_OK) != 0) usbm::MakeDir(share);
        const std::string exported = legacy ? point : share;
        if (doExport) {
            if (isShare) {
                if (QAVOIUSBVolExport(device, "satashare", exported.c_str(), 1) != 0) {
                    SLIBLog(LOG_ERR, "%s(%d): QAVOIUSBVolExport failed", __func__, __LINE__);
                    return -1;
                }
            } else if (QAVOIUSBVolExportEx(device, "satabackup", exported.c_str(), 2, nullptr,
                                           "admin", nullptr, "SATA Backup Disk") != 0) {
                SLIBLog(LOG_ERR, "%s(%d): QAVOIUSBVolExportEx failed", __func__, __LINE__);
                return -1;
            }
        }
        QAVOIMacRemoveDb(exported.c_str(), fsCode, 1);
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOSATAVolUnMount(const char *device, int flag) {
    if (!usbm::PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        QAVOUSBVOLINFO info;
        const bool esata = usbm::EsataName() == device;
        if ((esata ? QAVOSATAGetVolInfo(device, &info) : QAVODiskUSBDevGetVolInfo(device, &info)) !=
            0) {
            SLIBLog(LOG_ERR, "%s(%d): volume information of %s failed", kSource, __LINE__, device);
            return -1;
        }
        if (!info.szMountPoint[0]) return 0;
        const std::string point = info.szMountPoint;
        const char *names[] = {info.szShareName};
        if (info.szShareName[0] && QAVOIShareDelete(names, 1, 1) == 1 && ErrServiceHup() < 0) {
            SLIBLog(LOG_ERR, "%s(%d): ErrServiceHup failed", kSource, __LINE__);
            return -1;
        }
        if (flag == 1 && strcmp(info.szFileSystem, "vfat") == 0)
            QAVOIMacRemoveDb(info.szSharePath, 1, 1);
        const std::string dev = std::string("/dev/") + device;
        const std::string part = dev + (BlQAVODiskIsLegacyLayout(device) == 1 ? "3" : "1");
        if (!usbm::Unmount(point, {{"/bin/umount", "-f", part, point}, {"/bin/umount", "-f", dev}},
                           __func__))
            return -1;
        if (info.szSharePath[0] && !usbm::Busy(info.szSharePath)) rmdir(info.szSharePath);
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOSATAVolInit(const char *device, int fsCode, int isShare) {
    const char *func = __func__;
    if (fsCode < 0 || fsCode > 2 || isShare < 0 || isShare > 1)
        return slib::Fail(ERR_BAD_PARAMETERS);
    if (!Formattable(device)) return -1;
    bool other = false;
    if (!isShare && OtherBackupOnline(device, &other) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOUSBGetBackupInfo failed", func, __LINE__);
        return -1;
    }
    slib::ScopedLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, 5);
    if (!lock.Held()) return slib::Fail(ERR_LOCK_FAILED);
    QAVOUSBVOLINFO info;
    if (QAVOSATAGetVolInfo(device, &info) != 0) return -1;
    // The unmount judges the volume's mount point; the disk is repartitioned
    // only once nothing of it is mounted anywhere.
    if ((info.szMountPoint[0] && QAVOSATAVolUnMount(device, 0) != 0) ||
        !usbm::DiskReleased(device, func)) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOSATAVolUnMount failed", func, __LINE__);
        return -1;
    }
    const std::string dev = std::string("/dev/") + device;
    if (RunLogged({"/sbin/sfdisk", "-M0", dev}, func) != 0) return -1;
    for (int k = 2; k <= 4; ++k)
        usbm::Run({"/sbin/sfdisk", "-N" + std::to_string(k), "-uS", "-q", "-f", "--no-reread",
                   "-o0", "-z0", "-t0", "-F", dev});
    if (RunLogged({"/sbin/sfdisk", "-N1", "-uS", "-q", "-f", "--no-reread",
                   // A data disk's table survives the file system only
                   // after the first track (FAT32 mounts whole).
                   isShare ? (fsCode == 1 ? "-o0" : "-o63") : "-o16065", "-z-1",
                   fsCode == 1 ? "-tb" : "-t83", "-F", dev},
                  func) != 0)
        return -1;
    const std::string part = dev + "1";
    std::vector<std::string> mk;
    if (fsCode == 0)
        mk = {"/sbin/mkfs.reiserfs", "-f", part};
    else if (fsCode == 1)
        mk = {"/sbin/mkfs.vfat", "-F", "32", part};
    else
        mk = {"/sbin/mkfs.ext3", part};
    if (RunLogged(mk, func) != 0) return -1;
    if (!isShare) {
        if (USBBKPInitUBDIToDev(device) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): Init usbbackup mark failed", func, __LINE__);
            return -1;
        }
        if (other) return 0;
    }
    if (QAVOSATAVolMount(device, fsCode, isShare, 1) != 0) {
        SLIBLog(LOG_ERR, "(%d)Failed to mount the device: %s", __LINE__, device);
        return -1;
    }
    return 0;
}

extern "C" int QAVOSATAMount(const char *device) {
    if (!usbm::PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    // The eSATA disk's state files are shared with the USB hot plug, whose
    // arrivals wait about as long.
    slib::ScopedLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, kLockWait);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", kSource, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    if (!SetTab(device)) {
        Success(device);
        return -1;
    }
    int result = -1;
    for (int code = 0; code <= 3 && result != 0; ++code)
        result = QAVOSATAVolMount(device, code, 1, 1);
    if (result == 0)
        usbm::Event(QAVO_EVENT_USB_MOUNTED, SZ_SATA_DESCRIPTION, "satashare");
    else
        SLIBLog(LOG_ERR, "%s:#%d: mount SATA disk %s failed. (0X%X)", kSource, __LINE__, device,
                SLIBErrGet());
    Success(device);
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

extern "C" int QAVOSATAUnMount(const char *device) {
    if (!device) {
        SLIBLog(LOG_ERR, "QAVOSATAUnMount: Bad Parameters.");
        return -1;
    }
    if (!usbm::PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    slib::ScopedLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, 510);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", kSource, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    int result = 0;
    if (QAVOSATAVolUnMount(device, 1) == 0) {
        usbm::Event(QAVO_EVENT_USB_UNMOUNTED, SZ_SATA_DESCRIPTION, nullptr);
    } else {
        usbm::Event(QAVO_EVENT_USB_UNMOUNT_FAILED, SZ_SATA_DESCRIPTION, nullptr);
        SLIBLog(LOG_ERR, "%s:#%d: unmount SATA disk %s failed. (0X%X)", kSource, __LINE__, device,
                SLIBErrGet());
        result = -1;
    }
    if (SLIBFileRemoveKey(SZF_SATATAB, device) != 1) {
        SLIBLog(LOG_ERR, "Remove %s [%s] failed. (0x%X)", SZF_SATATAB, device, SLIBErrGet());
        result = -1;
    }
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}
