// External volumes: postfix numbers of USB disks, the disk size, the FAT
// superfloppy test and the information of one USB volume.
#include "qavo_usbvol.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qavo_diskprobe.h"
#include "qavo_usbbackup.h"
#include "qavo_usbmount_util.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_str.h"
#include "slib_szhash.h"
#include "slib_util.h"

extern "C" const QAVOPARTTYPE gQAVOPartType[49] = {
    {0x00, "Empty", 0},
    {0x01, "FAT12", 1},
    {0x04, "FAT16 <32M", 1},
    {0x05, "Extended", 0},
    {0x06, "FAT16", 1},
    {0x07, "HPFS/NTFS", 1},
    {0x0A, "OS/2 Boot Manager", 0},
    {0x0B, "Win95 FAT32", 1},
    {0x0C, "Win95 FAT32 (LBA)", 1},
    {0x0E, "Win95 FAT16 (LBA)", 1},
    {0x0F, "Win95 Ext'd (LBA)", 1},
    {0x11, "Hidden FAT12", 1},
    {0x12, "Compaq diagnostics", 0},
    {0x14, "Hidden FAT16 <32M", 1},
    {0x16, "Hidden FAT16", 1},
    {0x17, "Hidden HPFS/NTFS", 0},
    {0x1B, "Hidden Win95 FAT32", 1},
    {0x1C, "Hidden Win95 FAT32 (LBA)", 1},
    {0x1E, "Hidden Win95 FAT16 (LBA)", 1},
    {0x3C, "PartitionMagic recovery", 0},
    {0x41, "PPC PReP Boot", 0},
    {0x42, "SFS", 0},
    {0x63, "GNU HURD or SysV", 0},
    {0x80, "Old Minix", 0},
    {0x81, "Minix / old Linux", 0},
    {0x82, "Linux swap", 0},
    {0x83, "Linux", 0},
    {0x84, "OS/2 hidden C: drive", 0},
    {0x85, "Linux extended", 0},
    {0x86, "NTFS volume set", 0},
    {0x87, "NTFS volume set", 0},
    {0x8E, "Linux LVM", 0},
    {0x9F, "BSD/OS", 0},
    {0xA0, "IBM Thinkpad hibernation", 0},
    {0xA5, "FreeBSD", 0},
    {0xA6, "OpenBSD", 0},
    {0xA8, "Darwin UFS", 0},
    {0xA9, "NetBSD", 0},
    {0xAB, "Darwin boot", 0},
    {0xB7, "BSDI fs", 0},
    {0xB8, "BSDI swap", 0},
    {0xBE, "Solaris boot", 0},
    {0xEB, "BeOS fs", 0},
    {0xEE, "EFI GPT", 0},
    {0xEF, "EFI (FAT-12/16/32)", 0},
    {0xF0, "Linux/PA-RISC boot", 0},
    {0xF2, "DOS secondary", 0},
    {0xFD, "Linux raid autodetect", 0},
    {0, nullptr, 0},
};

namespace {

constexpr const char *kSource = "sdk/qavodisk";
constexpr SLIBLOCKREQ kNumberLock = SLIB_LOCK_USBIDMAP | SLIB_LOCK_EX;
constexpr int kLockTimeout = 5;

// A kernel disk name ("sdb"): letters and digits only, so it is safe as a
// key and inside "/dev/".
bool PlainDevice(const char *device) {
    return usbm::PlainName(device, 31);
}

// The device's GUID from "/tmp/usbguidtab"; false when it is not listed.
bool DeviceGuid(const char *device, char guid[QAVO_USB_GUID_MAX + 1]) {
    guid[0] = '\0';
    return SLIBFileGetKeyValue(SZF_USBGUIDTAB, device, guid, QAVO_USB_GUID_MAX + 1, 0) > 0 &&
           guid[0] != '\0';
}

// A postfix number in decimal, or 0 when the text is not one.
int ParseNumber(const std::string &s) {
    if (s.empty() || s.size() > 4) return 0;
    int n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

// The items of the "used" list.
std::vector<std::string> UsedItems() {
    std::vector<std::string> items;
    char used[1024] = "";
    if (SLIBFileGetKeyValue(SZF_USBDISKAPPLYING, SZK_USB_USED, used, sizeof used, 0) <= 0)
        return items;
    const char *p = used;
    while (*p) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        if (len > 0) items.emplace_back(p, len);
        if (!comma) break;
        p = comma + 1;
    }
    return items;
}

// Holds the number lock for one scope.
class NumberLock {
  public:
    NumberLock() : held_(ErrSLIBFileLock(kNumberLock, kLockTimeout) == 0) {}
    ~NumberLock() {
        if (held_) SLIBErrSLIBFileUnlock(SLIB_LOCK_USBIDMAP);
    }
    NumberLock(const NumberLock &) = delete;
    NumberLock &operator=(const NumberLock &) = delete;
    bool Held() const { return held_; }
    // Releases now; false when the release failed.
    bool Release() {
        held_ = false;
        return SLIBErrSLIBFileUnlock(SLIB_LOCK_USBIDMAP) == 0;
    }

  private:
    bool held_;
};

// The number that follows a prefix at the start of text, or 0.
int NumberAfter(const char *text, size_t skip) {
    if (strlen(text) <= skip) return 0;
    return static_cast<int>(strtol(text + skip, nullptr, 10));
}

void Copy(char *dst, size_t size, const std::string &src) {
    snprintf(dst, size, "%s", src.c_str());
}

}  // namespace

extern "C" int QAVOUSBIGetPostFixNumberByGUID(const char *guid, int *number) {
    if (!guid || !number) return slib::Fail(ERR_BAD_PARAMETERS);
    *number = -1;
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(1024);
    if (!hash) return slib::Fail(ERR_OUT_OF_MEMORY);
    int found = -1;
    if (SLIBFileGetKeys(SZF_USBNO_GUID_MAP, &hash) >= 0) {
        PSLIBSZLIST keys = PslSLIBSzListAlloc(64);
        if (!keys) {
            SLIBSzHashFree(hash);
            return slib::Fail(ERR_OUT_OF_MEMORY);
        }
        if (SLIBSzHashEnumKey(hash, &keys) >= 0) {
            // Of several numbers once given to the same GUID the lowest wins.
            for (int i = 0; i < keys->nItem; ++i) {
                const char *key = keys->pszItem[i];
                const char *value = SzSLIBSzHashGetValue(hash, key);
                const int n = ParseNumber(key);
                if (!value || strcmp(value, guid) != 0) continue;
                if (n < QAVO_USB_POSTFIX_MIN || n > QAVO_USB_POSTFIX_MAX) continue;
                if (found < 0 || n < found) found = n;
            }
        }
        SLIBSzListFree(keys);
    }
    SLIBSzHashFree(hash);
    if (found < 0) return -1;
    *number = found;
    return 0;
}

extern "C" int QAVOUSBIGetPostFixNumberByDev(const char *device, int *number) {
    if (!device || !number) return slib::Fail(ERR_BAD_PARAMETERS);
    *number = -1;
    char guid[QAVO_USB_GUID_MAX + 1];
    if (!DeviceGuid(device, guid)) return slib::Fail(ERR_NOT_FOUND);
    return QAVOUSBIGetPostFixNumberByGUID(guid, number);
}

extern "C" int QAVOUSBIFindPostFixNumber(const char *device) {
    int number = -1;
    if (device && QAVOUSBIGetPostFixNumberByDev(device, &number) == 0) return number;
    bool taken[QAVO_USB_POSTFIX_MAX + 1] = {};
    try {
        for (const std::string &item : UsedItems()) {
            const int n = ParseNumber(item);
            if (n < QAVO_USB_POSTFIX_MIN || n > QAVO_USB_POSTFIX_MAX) {
                SLIBLog(LOG_ERR, "%d: Find an unreasonable share number %d", __LINE__,
                        atoi(item.c_str()));
                continue;
            }
            taken[n] = true;
        }
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    for (int n = QAVO_USB_POSTFIX_MIN; n <= QAVO_USB_POSTFIX_MAX; ++n)
        if (!taken[n]) return n;
    return -1;
}

extern "C" int QAVOIModifyUSBUsedList(int number, int remove) {
    NumberLock lock;
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", __func__, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    int result = 0;
    try {
        const std::string item = std::to_string(number);
        std::vector<std::string> members;
        for (const std::string &s : UsedItems())
            if (std::find(members.begin(), members.end(), s) == members.end()) members.push_back(s);
        auto at = std::find(members.begin(), members.end(), item);
        if (remove && at != members.end()) members.erase(at);
        if (!remove && at == members.end()) members.push_back(item);
        std::string value;
        for (const std::string &m : members)
            value += (value.empty() ? "" : ",") + m;
        if (SLIBFileSetOrAddKeyValue(SZF_USBDISKAPPLYING, SZK_USB_USED, value.c_str(),
                                     SLIB_KEYVALUE_FMT_QUOTED) < 0)
            result = -1;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        result = -1;
    }
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

namespace usbm {

int RegisterNumber(const char *device, int *number, char *oldGuid, int oldGuidSize, int preset,
                   bool *taken) {
    if (taken) *taken = false;
    if (!PlainDevice(device) || (oldGuid && oldGuidSize <= 0))
        return slib::Fail(ERR_BAD_PARAMETERS);
    if (oldGuid) memset(oldGuid, 0, static_cast<size_t>(oldGuidSize));
    // The lock is held on every path below and released once at the end.
    NumberLock lock;
    if (!lock.Held()) return slib::Fail(ERR_LOCK_FAILED);
    int result = 0;
    const int n = preset >= 1 ? preset : QAVOUSBIFindPostFixNumber(device);
    char guid[QAVO_USB_GUID_MAX + 1];
    if (n < QAVO_USB_POSTFIX_MIN || n > QAVO_USB_POSTFIX_MAX) {
        result = -1;
    } else {
        if (number) *number = n;
        const std::string key = std::to_string(n);
        if (!DeviceGuid(device, guid)) {
            SLIBErrSet(ERR_NOT_FOUND);
            result = -1;
        } else {
            if (taken) {
                try {
                    const std::vector<std::string> used = UsedItems();
                    *taken = std::find(used.begin(), used.end(), key) == used.end();
                } catch (const std::bad_alloc &) {
                    // Unknown: taken as another's, so that a roll-back keeps it.
                }
            }
            if (oldGuid &&
                SLIBFileGetKeyValue(SZF_USBNO_GUID_MAP, key.c_str(), oldGuid, oldGuidSize, 0) < 0)
                oldGuid[0] = '\0';
            if (SLIBFileSetOrAddKeyValue(SZF_USBNO_GUID_MAP, key.c_str(), guid,
                                         SLIB_KEYVALUE_FMT_QUOTED) < 0) {
                result = -1;
            } else if (QAVOIModifyUSBUsedList(n, 0) != 0) {
                SLIBLog(LOG_ERR, "%d:QAVOIModifyUSBUsedList add %d failed. ", __LINE__, n);
                result = -1;
            }
        }
    }
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

int RollBackNumber(int number, const char *oldGuid, bool freeNumber) {
    if (!oldGuid || number < QAVO_USB_POSTFIX_MIN || number > QAVO_USB_POSTFIX_MAX)
        return slib::Fail(ERR_BAD_PARAMETERS);
    NumberLock lock;
    if (!lock.Held()) return slib::Fail(ERR_LOCK_FAILED);
    int result = 0;
    if (SLIBFileSetOrAddKeyValue(SZF_USBNO_GUID_MAP, std::to_string(number).c_str(), oldGuid,
                                 SLIB_KEYVALUE_FMT_QUOTED) < 0)
        result = -1;
    if (freeNumber && QAVOIModifyUSBUsedList(number, 1) != 0) {
        SLIBLog(LOG_ERR, "%d:QAVOIModifyUSBUsedList remove %d failed. ", __LINE__, number);
        result = -1;
    }
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

}  // namespace usbm

extern "C" int QAVOUSBRegisterPostFixNumberEx(const char *device, int *number, char *oldGuid,
                                              int oldGuidSize, int preset) {
    return usbm::RegisterNumber(device, number, oldGuid, oldGuidSize, preset, nullptr);
}

extern "C" int QAVOUSBRegisterPostFixNumber(const char *device, int *number, char *oldGuid,
                                            int oldGuidSize) {
    return QAVOUSBRegisterPostFixNumberEx(device, number, oldGuid, oldGuidSize, 0);
}

extern "C" int QAVOUSBRollBackPostFixNumberMap(int number, const char *oldGuid) {
    return usbm::RollBackNumber(number, oldGuid, true);
}

extern "C" int QAVOUSBIGetDiskSizeMB(const char *device, uint64_t *sizeMB) {
    if (!sizeMB || !PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    *sizeMB = 0;
    const std::string path = std::string("/dev/") + device;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return slib::Fail(ERR_DEVICE_IO);
    unsigned long sectors = 0;
    const int rc = ioctl(fd, BLKGETSIZE, &sectors);
    close(fd);
    if (rc != 0) return slib::Fail(ERR_DEVICE_IO);
    *sizeMB = static_cast<uint64_t>(sectors) >> 11;
    return 0;
}

extern "C" int BlQAVOUSBIsFATSuperFloppy(const char *device) {
    uint8_t s[QAVO_SECTOR_SIZE];
    if (!device || QAVOReadOneSectorFromDev(device, 0, s) != 0) return 0;
    if (s[510] != 0x55 || s[511] != 0xAA) return 0;
    for (const QAVOPARTTYPE *t = gQAVOPartType; t->name; ++t)
        if (t->id == s[450] && t->isFatNtfs == 1) return 0;
    if (s[0] == 0xEB && s[1] == 0x3C && s[2] == 0x90 && memcmp(s + 54, "FAT16", 5) == 0) return 1;
    if (s[0] == 0xEB && s[1] == 0x58 && s[2] == 0x90 && memcmp(s + 82, "FAT32", 5) == 0) return 1;
    return 0;
}

extern "C" int QAVODiskUSBDevGetVolInfo(const char *device, QAVOUSBVOLINFO *info) {
    if (!info || !PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    memset(info, 0, sizeof *info);
    try {
        const std::string disk = std::string("/dev/") + device;
        int part = 1;
        if (BlQAVODiskIsLegacyLayout(device)) {
            part = 3;
        } else {
            const int ipod = QAVOIPodDataPartGet(device);
            part = ipod < 0 ? 1 : ipod;
        }
        const std::string chosen = part == 0 ? disk : disk + std::to_string(part);
        const std::string second = disk + "2";

        uint64_t size = 0;
        uint8_t sector[QAVO_SECTOR_SIZE];
        if (QAVOUSBIGetDiskSizeMB(device, &size) != 0 ||
            QAVOReadOneSectorFromDev(device, 0, sector) != 0)
            info->status = QAVO_USBVOL_ERROR;

        PSLIBSZLIST lines = PslSLIBSzListAlloc(64);
        if (!lines) return slib::Fail(ERR_OUT_OF_MEMORY);
        const int read = SLIBFileReadLines("/proc/mounts", &lines);
        slib::SzListPtr holdLines(lines);  // the read may have moved the list
        if (read < 0) {
            SLIBLog(LOG_ERR, "%s(%d): Failed to open %s. (errno = %d)\n", __func__, __LINE__,
                    "/proc/mounts", errno);
            return slib::Fail(ERR_OPEN_FAILED);
        }
        for (int i = 0; i < lines->nItem; ++i) {
            PSLIBSZLIST tok = PslSLIBSzListAlloc(8);
            if (!tok) return slib::Fail(ERR_OUT_OF_MEMORY);
            const int split = SLIBStrSepNonEmpty(lines->pszItem[i], " \t\n", &tok);
            slib::SzListPtr holdTok(tok);
            if (split < 0 || tok->nItem != 6) continue;
            const std::string dev = tok->pszItem[0];
            if (dev != chosen && dev != disk && dev != second) continue;
            const std::string mp = tok->pszItem[1];
            const int n = NumberAfter(mp.c_str(), strlen("/volumeUSB"));
            std::string share = "usbshare" + std::to_string(n), path = mp;
            if (mp.find("usbshare") == std::string::npos &&
                mp.find("usbbackup") != std::string::npos) {
                share = "usbbackup";
            } else if (mp.find("usbshare") == std::string::npos) {
                // A volume mounted on the mount root itself.
                uint8_t label[QAVO_SECTOR_SIZE];
                int fs = 0;
                if (USBBKPIsDevBkpDisk(device, label, &fs) == 0) {
                    share = "usbbackup";
                    path = mp + "/usbbackup";
                } else {
                    path = mp + "/usbshare";
                }
            }
            Copy(info->szMountPoint, sizeof info->szMountPoint, mp);
            Copy(info->szSharePath, sizeof info->szSharePath, path);
            Copy(info->szFileSystem, sizeof info->szFileSystem, tok->pszItem[2]);
            Copy(info->szShareName, sizeof info->szShareName, share);
            Copy(info->szDescription, sizeof info->szDescription, "USB Disk " + std::to_string(n));
            // An error found above outranks the "corrupt" mount option.
            if (strstr(tok->pszItem[3], "corrupt") && info->status == QAVO_USBVOL_NORMAL)
                info->status = QAVO_USBVOL_CORRUPT;
            if (!mp.empty()) {
                usbm::FillSpace(mp, info);
            }
            return 0;
        }
        int number = -1;
        if (QAVOUSBIGetPostFixNumberByDev(device, &number) == 0) {
            Copy(info->szDescription, sizeof info->szDescription,
                 "USB Disk " + std::to_string(number));
        } else {
            SLIBLog(LOG_ERR, "%s(%d) Dev:%s cannot find PostfixNumber.\n", kSource, __LINE__,
                    device);
            Copy(info->szDescription, sizeof info->szDescription, "USB Crashed disk");
            info->status = QAVO_USBVOL_ERROR;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
