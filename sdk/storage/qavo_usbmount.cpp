// USB disks on line and off line: mount under the disk's number and share,
// unmount and forget, format.
#include "qavo_usbmount.h"

#include <dirent.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "qavo_diskprobe.h"
#include "qavo_extshare.h"
#include "qavo_netservice.h"
#include "qavo_printer.h"
#include "qavo_sata.h"
#include "qavo_sharemgmt.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpdisk.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbcopy.h"
#include "qavo_usbdev.h"
#include "qavo_usbmount_util.h"
#include "qavo_usbvol.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = usbm::kMountSource;
constexpr const char *kIpodDir = "/usr/qavo/etc/audio/ipod";
constexpr const char *kFatOpts = "utf8,umask=000,shortname=mixed";
constexpr const char *kNtfsOpts = "ro,nls=utf8,fmask=000,dmask=000";

std::string Root(int n) {
    return SZD_USB_MOUNT_ROOT + std::to_string(n);
}

// The number in a description "USB Disk N", 0 when there is none.
int NumberOf(const char *description) {
    if (strncmp(description, "USB Disk ", 9) != 0) return 0;
    return atoi(description + 9);
}

// Empties the iPod folder without a shell.
void ClearIpodDir() {
    DIR *d = opendir(kIpodDir);
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        unlink((std::string(kIpodDir) + "/" + e->d_name).c_str());
    }
    closedir(d);
}

// The mount point is refused while it, a path below it, or the mount root
// above it holds a file system.
bool MayMountAt(const std::string &point, const std::string &root) {
    if (BlQAVOIsMountPoint(point.c_str()) != 0 || usbm::Busy(point) ||
        (root != point && BlQAVOIsMountPoint(root.c_str()) != 0)) {
        SLIBLog(LOG_ERR, "(%d)Failed: The Path cannot be mounted: %s", __LINE__, point.c_str());
        return false;
    }
    return true;
}

// Gives the number map back its old GUID. The number leaves the used list
// only when the registration being undone put it there: a preset number that
// a mounted volume holds stays that volume's.
int RollBack(int n, const char *oldGuid, bool taken) {
    if (usbm::RollBackNumber(n, oldGuid, taken) != 0)
        SLIBLog(LOG_ERR, "%s(%d): QAVOUSBRollBackPostFixNumberMap(%d, %s) failed", kSource,
                __LINE__, n, oldGuid);
    return -1;
}

int MountVolume(const char *device, const char *fs, int doExport, int *number, int preset,
                bool backup) {
    const char *func = backup ? "QAVOUSBBackupVolMount" : "QAVOUSBVolMountEx";
    const int code = usbm::FsCode(fs);
    if (!usbm::PlainDevice(device) || code < 0 || (backup && code == 3))
        return slib::Fail(ERR_BAD_PARAMETERS);
    QAVOUSBVolUnMount(device, 0);

    int n = 0;
    char oldGuid[64] = "";
    bool taken = false;
    if (usbm::RegisterNumber(device, &n, oldGuid, sizeof oldGuid, preset, &taken) != 0) {
        SLIBLog(LOG_ERR, "%s(%d):QAVOUSBRegisterPostFixNumber failed. (0X%X)", func, __LINE__,
                SLIBErrGet());
        return -1;
    }
    if (number) *number = n;
    try {
        const std::string dev = std::string("/dev/") + device;
        const std::string root = Root(n);
        const std::string share =
            root + "/" + (backup ? SZ_USB_BACKUP_FOLDER : SZ_USB_SHARE_FOLDER);
        const bool legacy = !backup && BlQAVODiskIsLegacyLayout(device) == 1;
        int ipod = -1;
        if (!backup && !legacy) {
            ipod = QAVOIPodDataPartGet(device);
            SLIBLog(LOG_ERR, "%s(%d): noPartSpecialDevice=%d", kSource, __LINE__, ipod);
        }
        std::string point = root;
        if (code == 1 || code == 3 || ipod >= 0 || legacy) point = share;

        if (!MayMountAt(point, root)) return RollBack(n, oldGuid, taken);
        usbm::SafeRemove(point);
        if (!usbm::MakeDir(point)) {
            SLIBLog(LOG_ERR, "%s(%d): /bin/mkdir -m 777 -p %s failed(Error Code:%s)", func,
                    __LINE__, point.c_str(), strerror(errno));
            return RollBack(n, oldGuid, taken);
        }
        std::vector<std::string> cmd;
        if (backup) {
            cmd = {"/bin/mount"};
            if (code == 1) cmd.insert(cmd.end(), {"-o", kFatOpts});
            cmd.insert(cmd.end(), {"-t", fs, dev + "1", point});
        } else if (ipod >= 1) {
            cmd = {"/bin/mount", "-o", kFatOpts, "-t", fs, dev + std::to_string(ipod), point};
        } else if (ipod == 0 || (code == 1 && BlQAVOUSBIsFATSuperFloppy(device) == 1)) {
            cmd = {"/bin/mount", "-o", kFatOpts, "-t", fs, dev, point};
        } else if (code == 1) {
            cmd = {"/bin/mount", "-o", kFatOpts, "-t", fs, dev + "1", point};
        } else if (code == 3) {
            cmd = {"/bin/mount", "-o", kNtfsOpts, "-t", fs, dev + "1", point};
        } else {
            cmd = {"/bin/mount", "-t", fs};
            if (legacy) cmd.insert(cmd.end(), {"-o", "ro"});
            cmd.insert(cmd.end(), {dev + (legacy ? "3" : "1"), point});
            SLIBLog(LOG_ERR, "%s(%d): %s", func, __LINE__, usbm::Line(cmd).c_str());
        }
        if (usbm::Run(cmd) != 0) {
            SLIBErrSet(ERR_MOUNT_FAILED);
            SLIBLog(LOG_ERR, "%s(%d): %s failed(Error Code:%s)", func, __LINE__,
                    usbm::Line(cmd).c_str(), strerror(errno));
            return RollBack(n, oldGuid, taken);
        }
        // On a volume mounted at the root the share folder lies inside it.
        if (point != share && !legacy && access(share.c_str(), F_OK) != 0) usbm::MakeDir(share);

        int result = 0;
        if (doExport) {
            if (backup) {
                result = QAVOIUSBVolExportEx(device, SZ_USB_BACKUP_FOLDER, share.c_str(), 2,
                                             nullptr, "admin", nullptr, nullptr);
                if (result != 0)
                    SLIBLog(LOG_ERR, "%s(%d): QAVOIUSBVolExportEx failed", func, __LINE__);
            } else {
                const std::string name = SZ_USB_SHARE_FOLDER + std::to_string(n);
                result = QAVOIUSBVolExport(device, name.c_str(), share.c_str(), 0);
                if (result != 0)
                    SLIBLog(LOG_ERR, "%s(%d): QAVOIUSBVolExport failed", func, __LINE__);
            }
            if (result != 0) return -1;
        }
        QAVOIMacRemoveDb(share.c_str(), code, 0);
        if (!backup) {
            ClearIpodDir();
            usbm::Run({"/usr/qavo/bin/qavoitunesdb", "-i", point + "/iPod_Control/iTunes/iTunesDB",
                       "-o", kIpodDir});
        }
        return 0;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return RollBack(n, oldGuid, taken);
    }
}

// Holds lock_usbidmap for a scope; released once, and only when taken.
using IdMapLock = slib::ScopedLock;

// The lines of the format commands that lay partition 1.
int Partition(const char *device, const std::vector<int> &clear, const char *offset,
              const char *type, const char *func) {
    const std::string dev = std::string("/dev/") + device;
    std::vector<std::string> cmd = {"/sbin/sfdisk", "-M0", dev};
    if (usbm::Run(cmd) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s failed(Error Code:%s)", func, __LINE__,
                usbm::Line(cmd).c_str(), strerror(errno));
        return -1;
    }
    for (int k : clear)
        usbm::Run({"/sbin/sfdisk", "-N" + std::to_string(k), "-uS", "-q", "-f", "--no-reread",
                   "-o0", "-z0", "-t0", "-F", dev});
    cmd = {"/sbin/sfdisk",
           "-N1",
           "-uS",
           "-q",
           "-f",
           "--no-reread",
           std::string("-o") + offset,
           "-z-1",
           std::string("-t") + type,
           "-F",
           dev};
    if (usbm::Run(cmd) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s failed(Error Code:%s)", func, __LINE__,
                usbm::Line(cmd).c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

int MakeFs(const char *device, int code, const char *func) {
    const std::string part = std::string("/dev/") + device + "1";
    std::vector<std::string> cmd;
    if (code == 0)
        cmd = {"/sbin/mkfs.reiserfs", "-f", part};
    else if (code == 1)
        cmd = {"/sbin/mkfs.vfat", "-F", "32", part};
    else
        cmd = {"/sbin/mkfs.ext3", part};
    if (usbm::Run(cmd) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s failed(Error Code:%s)", func, __LINE__,
                usbm::Line(cmd).c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

// An attached USB disk that may be repartitioned.
bool FormattableUsb(const char *device) {
    char path[256] = "";
    if (!usbm::MayFormat(device) || device == usbm::EsataName() ||
        SLIBFileGetKeyValue(SZF_USBTAB, device, path, sizeof path, 0) <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s is no attached USB disk; not formatted", kSource, __LINE__,
                device ? device : "NULL");
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return false;
    }
    return true;
}

// What a format knows of its disk when it begins: the hot-plug side's
// records of it and its size. A disk pulled meanwhile leaves the kernel's USB
// list; one that arrived in its place under the same name has other records,
// another USB address or another size.
struct DiskIdentity {
    std::string usbPath, guid;
    uint64_t sizeMB = 0;
};

bool ReadIdentity(const char *device, DiskIdentity *id) {
    char path[128] = "", guid[QAVO_USB_GUID_MAX + 1] = "";
    QAVOUSB rec;
    if (SLIBFileGetKeyValue(SZF_USBTAB, device, path, sizeof path, 0) <= 0 ||
        (SLIBFileGetKeyValue(SZF_USBGUIDTAB, device, guid, sizeof guid, 0) < 0 &&
         SLIBErrGet() != ERR_NOT_FOUND && SLIBErrGet() != ERR_OPEN_FAILED) ||
        QAVOUSBDevGetInfo(device, &rec) != 0 || QAVOUSBIGetDiskSizeMB(device, &id->sizeMB) != 0)
        return false;
    id->usbPath = path;
    id->guid = guid;
    return true;
}

// True while the device is still the disk the format began on; what cannot
// be read counts as another disk.
bool SameDisk(const char *device, const DiskIdentity &begun, const char *func) {
    DiskIdentity now;
    try {
        if (ReadIdentity(device, &now) && now.usbPath == begun.usbPath && now.guid == begun.guid &&
            now.sizeMB == begun.sizeMB)
            return true;
    } catch (const std::bad_alloc &) {
    }
    SLIBLog(LOG_ERR, "%s(%d): %s is no longer the disk the format began on; stopped", func,
            __LINE__, device);
    SLIBErrSet(ERR_NO_SUCH_USB_DISK);
    return false;
}

// A format holds lock_usbidmap twice: from before it unmounts the disk to
// after the partition table is written, and from after the file system is
// made to after the share is exported. Meanwhile the hot-plug side cannot
// take the disk off line, or give its name or number to another. The lock is
// not held while the file system is made (minutes for a big disk), so that
// other disks come and go meanwhile.
struct FormatLock {
    // The first hold waits as the renumbering always has; the second as long
    // as a pull-out does, as giving up would leave a made disk unmounted.
    static constexpr int kFirstWait = 5, kSecondWait = 510;
    IdMapLock lock;
    explicit FormatLock(int wait) : lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, wait) {}
    bool Held() {
        if (lock.Held()) return true;
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", kSource, __LINE__);
        SLIBErrSet(ERR_LOCK_FAILED);
        return false;
    }
    // The format's result once the lock is given back.
    int End(int result) {
        if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
        return result;
    }
};

// Unmounts the disk for a format and gives it its number back, under the
// caller's hold of lock_usbidmap. The number, 0 for none, or -1; taken tells
// whether the number was free in the used list before (the unmount frees it).
int PrepareFormat(const char *device, bool keepNumber, bool *taken) {
    QAVOUSBVOLINFO info;
    if (QAVODiskUSBDevGetVolInfo(device, &info) != 0) return -1;
    int n = NumberOf(info.szDescription);
    // The unmount judges the volume's mount point; the disk is repartitioned
    // only once nothing of it is mounted anywhere.
    if ((info.szMountPoint[0] != '\0' && QAVOUSBVolUnMount(device, 0) != 0) ||
        !usbm::DiskReleased(device, kSource)) {
        SLIBLog(LOG_ERR, "%s(%d): %s is still mounted; not formatted", kSource, __LINE__, device);
        return -1;
    }
    if (n >= 1 || keepNumber) {
        int got = 0;
        char old[64];
        if (usbm::RegisterNumber(device, &got, old, sizeof old, n, taken) != 0) return -1;
        n = got;
    }
    return n;
}

// A failed format's end under its hold of lock_usbidmap, while the number is
// still the format's: the hot-plug side has not taken the disk off line
// since the number was registered (that frees it, and another disk may hold
// it by now). The number leaves the used list only when the format put it
// there and no volume is mounted under it (a volume whose export failed
// keeps it until it is taken off line).
int FailFormat(FormatLock &lock, int n, bool taken) {
    if (n >= 1 && taken && !usbm::Busy(Root(n))) QAVOIModifyUSBUsedList(n, 1);
    return lock.End(-1);
}

// Makes the file system without the lock, once more confirming the disk
// right before. Once mkfs has the partition open, the kernel keeps the name
// of a disk pulled meanwhile until mkfs closes it, so a disk arriving then
// gets another name and mkfs writes at most to the gone one. What remains is
// the moment between this check and mkfs opening the partition: the disk
// would have to be pulled and another one found by the kernel under the
// freed name within it.
bool MakeFsOnSameDisk(const char *device, const DiskIdentity &disk, int code, const char *func) {
    return SameDisk(device, disk, func) && MakeFs(device, code, func) == 0;
}

// A format past its destructive half: the disk it began on, its number,
// whether the format took that number, and the second hold of the lock.
struct MadeDisk {
    DiskIdentity disk;
    int n = 0;
    bool taken = false;
    std::optional<FormatLock> lock;
};

// The destructive half of a format, shared by both kinds: the disk noted,
// then under the first hold of the lock unmounted, renumbered and given its
// new partition table (partitions clear dropped, the new one at offset of
// the given type), the file system made without the lock, and the second
// hold taken with the disk confirmed once more. The format's result when it
// ends here, else 0 with the second hold in made->lock.
int WipeAndMakeFs(const char *device, bool keepNumber, const std::vector<int> &clear,
                  const char *offset, const char *type, int code, const char *func,
                  MadeDisk *made) {
    if (!ReadIdentity(device, &made->disk)) {
        SLIBLog(LOG_ERR, "%s(%d) USB storage device %s is not in kernel.\n", kSource, __LINE__,
                device);
        return slib::Fail(ERR_NO_SUCH_USB_DISK);
    }
    {
        FormatLock first(FormatLock::kFirstWait);
        if (!first.Held()) return -1;
        if (!SameDisk(device, made->disk, func)) return first.End(-1);
        made->n = PrepareFormat(device, keepNumber, &made->taken);
        if (made->n < 0) return first.End(-1);
        if (!SameDisk(device, made->disk, func) ||
            Partition(device, clear, offset, type, func) != 0)
            return FailFormat(first, made->n, made->taken);
        if (first.End(0) != 0) return -1;
    }
    const bool fsMade = MakeFsOnSameDisk(device, made->disk, code, func);
    FormatLock &lock = made->lock.emplace(FormatLock::kSecondWait);
    if (!lock.Held()) return -1;
    // A disk gone meanwhile, and its number, are the hot-plug side's.
    if (!SameDisk(device, made->disk, func)) return lock.End(-1);
    if (!fsMade) return FailFormat(lock, made->n, made->taken);
    return 0;
}

int FormatData(const char *device, bool fat) {
    const char *func = fat ? "QAVOUSBVolInitFAT" : "QAVOUSBVolInit";
    char deffs[32] = "reiserfs";
    int code = 1;
    if (!fat) {
        if (SLIBFileGetKeyValue(slib::kQavoinfoDefaults, "defaultfs", deffs, sizeof deffs, 0) <= 0)
            strcpy(deffs, "reiserfs");
        code = usbm::FsCode(deffs);
        if (code != 0 && code != 2) {
            SLIBLog(LOG_ERR, "%s:%d(%s) UNKNOWN FSTYPE, not reiserfs, ext3.", kSource, __LINE__,
                    func);
            return -1;
        }
    }
    if (!FormattableUsb(device)) return -1;
    // FAT32 over the whole disk replaces the partition table with its boot
    // sector (the disk is then mounted whole); the other file systems start
    // after the first track, so that making them keeps the table.
    MadeDisk made;
    if (int r = WipeAndMakeFs(device, false,
                              fat ? std::vector<int>{1, 2, 3, 4} : std::vector<int>{2, 3, 4},
                              fat ? "0" : "63", fat ? "b" : "83", code, func, &made);
        r != 0)
        return r;
    FormatLock &lock = *made.lock;
    const DiskIdentity &disk = made.disk;
    int n = made.n;
    const bool taken = made.taken;
    if (fat) {
        if (QAVOUSBVolMountEx(device, "vfat", 1, &n, n) != 0) {
            SLIBLog(LOG_ERR, "(%d)QAVOUSBVolMount(%s, \"vfat\")failed. (0X%X)", __LINE__, device,
                    SLIBErrGet());
            return FailFormat(lock, n, taken);
        }
        return lock.End(0);
    }
    if (QAVOUSBVolMountEx(device, deffs, 0, &n, n) != 0) {
        SLIBLog(LOG_ERR, "(%d)Failed to mount the device: %s", __LINE__, device);
        return FailFormat(lock, n, taken);
    }
    // A disk gone since its mount gets no share; the volume stays mounted and
    // numbered until the hot-plug side takes it off line.
    if (!SameDisk(device, disk, func)) return lock.End(-1);
    const std::string name = SZ_USB_SHARE_FOLDER + std::to_string(n);
    const std::string share = Root(n) + "/" + SZ_USB_SHARE_FOLDER;
    if (QAVOIUSBVolExport(device, name.c_str(), share.c_str(), 0) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOIUSBVolExport failed", func, __LINE__);
        return lock.End(-1);
    }
    return lock.End(0);
}

}  // namespace

extern "C" int QAVOUSBVolMountEx(const char *device, const char *fs, int doExport, int *number,
                                 int preset) {
    if (!device || !fs) return slib::Fail(ERR_BAD_PARAMETERS);
    return MountVolume(device, fs, doExport, number, preset, false);
}

extern "C" int QAVOUSBVolMount(const char *device, const char *fs, int doExport, int *number) {
    return QAVOUSBVolMountEx(device, fs, doExport, number, 0);
}

extern "C" int QAVOUSBBackupVolMount(const char *device, const char *fs, int doExport, int *number,
                                     int preset) {
    if (!device || !fs) return slib::Fail(ERR_BAD_PARAMETERS);
    return MountVolume(device, fs, doExport, number, preset, true);
}

extern "C" int QAVOUSBVolUnMount(const char *device, int flag) {
    if (!usbm::PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        char copyDev[32] = "";
        if (SLIBFileGetKeyValue(SZF_USBDISKAPPLYING, "usbcopydev", copyDev, sizeof copyDev, 0) >
                0 &&
            strcmp(copyDev, device) == 0) {
            SLIBLog(LOG_ERR, "%s:%d(%s) Calling USBCOPYCancelTask()", kSource, __LINE__, __func__);
            USBCOPYSignalPaneld(12);
            USBCOPYCancelTask();
            SLIBFileSetOrAddKeyValue(SZF_USBDISKAPPLYING, "usbcopydev", "",
                                     SLIB_KEYVALUE_FMT_QUOTED);
            SLIBFileSetOrAddKeyValue(SZF_USBDISKAPPLYING, "usbcopypath", "",
                                     SLIB_KEYVALUE_FMT_QUOTED);
        }
        QAVOUSBVOLINFO info;
        const bool esata = device == usbm::EsataName();
        if ((esata ? QAVOSATAGetVolInfo(device, &info) : QAVODiskUSBDevGetVolInfo(device, &info)) !=
            0) {
            SLIBLog(LOG_ERR, "%s(%d): volume information of %s failed", kSource, __LINE__, device);
            return -1;
        }
        if (!info.szMountPoint[0]) return -1;
        const std::string point = info.szMountPoint;

        const char *names[] = {info.szShareName};
        if (info.szShareName[0] && QAVOIShareDelete(names, 1, 1) == 1) {
            const int r = ErrServiceHup();
            if (r < 0) {
                SLIBLog(LOG_ERR, "%s(%d): ErrServiceHup failed", kSource, __LINE__);
                return r;
            }
        }
        if (flag == 1 && strcmp(info.szFileSystem, "vfat") == 0)
            QAVOIMacRemoveDb(info.szSharePath, 1, 0);

        // The data partition as the mount table names it.
        std::string part;
        std::vector<usbm::Mount> m;
        if (usbm::Mounts(&m))
            for (const auto &e : m)
                if (e.point == point) part = e.device;
        const std::string dev = std::string("/dev/") + device;
        if (part.compare(0, dev.size(), dev) != 0) part = dev + "1";
        if (!usbm::Unmount(point,
                           {{"/bin/umount", "-f", part, point},
                            {"/bin/umount", "-f", dev},
                            {"/bin/umount", "-f", dev + "2", point}},
                           __func__))
            return -1;
        // The number is free only once the disk is off it.
        const int n = NumberOf(info.szDescription);
        if (n >= 1 && QAVOIModifyUSBUsedList(n, 1) != 0) {
            SLIBLog(LOG_ERR, "%d:QAVOIModifyUSBUsedList remove %d failed. ", __LINE__, n);
            return -1;
        }
        usbm::Run({"/bin/rm", "-rf", "--one-file-system", std::string(kIpodDir) + "/"});
        const std::string root = point.substr(0, point.find('/', 1));
        if (BlQAVOIsMountPoint(root.c_str()) != 0 || !usbm::SafeRemove(info.szSharePath))
            SLIBLog(LOG_ERR, "%s(%d): /bin/rm -rf %s failed", kSource, __LINE__, info.szSharePath);
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOUSBUnMount(const char *device) {
    if (!device) {
        SLIBLog(LOG_ERR, "QAVOUSBUnMount: Bad Parameters.");
        return -1;
    }
    if (!usbm::PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    IdMapLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, 510);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", kSource, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    int result = 0;
    bool wasMounted = false;
    QAVOUSBVOLINFO info;
    if (QAVODiskUSBDevGetVolInfo(device, &info) != 0) {
        SLIBLog(LOG_ERR, "%s:#%d: QAVODiskUSBDevGetVolInfo %s failed. (0x%X)", kSource, __LINE__,
                device, SLIBErrGet());
        result = -1;
    } else if (!info.szMountPoint[0]) {
        int n = 0;
        if (QAVOUSBIGetPostFixNumberByDev(device, &n) == 0 && n >= 1 &&
            QAVOIModifyUSBUsedList(n, 1) != 0)
            SLIBLog(LOG_ERR, "%d:QAVOIModifyUSBUsedList remove %d failed. ", __LINE__, n);
    } else {
        wasMounted = true;
        if (QAVOUSBVolUnMount(device, 1) == 0) {
            usbm::Event(QAVO_EVENT_USB_UNMOUNTED, info.szDescription, nullptr);
        } else {
            usbm::Event(QAVO_EVENT_USB_UNMOUNT_FAILED, info.szDescription, nullptr);
            SLIBLog(LOG_ERR, "%s:#%d: unmount usb disk %s failed. (0X%X)", kSource, __LINE__,
                    device, SLIBErrGet());
            result = -1;
        }
    }
    if (SLIBFileRemoveKey(SZF_USBTAB, device) != 1) {
        SLIBLog(LOG_ERR, "Remove %s [%s] failed. (0x%X)", SZF_USBTAB, device, SLIBErrGet());
        result = -1;
    } else if (SLIBFileRemoveKey(SZF_USBGUIDTAB, device) != 1) {
        SLIBLog(LOG_ERR, "remove %s [%s] failed (0x%X).", SZF_USBGUIDTAB, device, SLIBErrGet());
        result = -1;
    } else if (!wasMounted && result == 0) {
        usbm::Event(QAVO_EVENT_USB_UNMOUNTED, info.szDescription, nullptr);
    }
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

extern "C" int QAVOUSBVolInit(const char *device) {
    try {
        return FormatData(device, false);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOUSBVolInitFAT(const char *device) {
    try {
        return FormatData(device, true);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

namespace {

int FormatBackup(const char *device, int fsCode) {
    const char *func = "QAVOUSBBackupVolInit";
    if (fsCode < 0 || fsCode > 2) return slib::Fail(ERR_BAD_PARAMETERS);
    if (!FormattableUsb(device)) return -1;
    QAVOUSBBACKUPINFO bk;
    if (QAVOUSBGetBackupInfo(&bk) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOUSBGetBackupInfo failed", func, __LINE__);
        return -1;
    }
    const bool other =
        (bk.status & USB_BKP_STATUS_ONLINE) && strncmp(bk.device, device, sizeof bk.device) != 0;
    MadeDisk made;
    if (int r = WipeAndMakeFs(device, other, {2, 3, 4}, "16065", fsCode == 1 ? "b" : "83", fsCode,
                              func, &made);
        r != 0)
        return r;
    FormatLock &lock = *made.lock;
    const DiskIdentity &disk = made.disk;
    int n = made.n;
    const bool taken = made.taken;
    if (USBBKPInitUBDIToDev(device) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): Init usbbackup mark failed", func, __LINE__);
        return FailFormat(lock, n, taken);
    }
    if (other) return lock.End(0);
    if (QAVOUSBBackupVolMount(device, usbm::FsName(fsCode), 0, &n, n) != 0) {
        SLIBLog(LOG_ERR, "(%d)Failed to mount the device: %s", __LINE__, device);
        return FailFormat(lock, n, taken);
    }
    if (!SameDisk(device, disk, func)) return lock.End(-1);
    const std::string share = Root(n) + "/" + SZ_USB_BACKUP_FOLDER;
    if (QAVOIUSBVolExportEx(device, SZ_USB_BACKUP_FOLDER, share.c_str(), 2, nullptr, "admin",
                            nullptr, nullptr) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOIUSBVolExportEx failed", func, __LINE__);
        return lock.End(-1);
    }
    return lock.End(0);
}

}  // namespace

extern "C" int QAVOUSBBackupVolInit(const char *device, int fsCode) {
    try {
        return FormatBackup(device, fsCode);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
