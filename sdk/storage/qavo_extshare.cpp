// Shares of external volumes, their remembered rights and AFP databases.
#include "qavo_extshare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <string>
#include <vector>

#include "qavo_diskprobe.h"
#include "qavo_netservice.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_usbdev.h"
#include "qavo_usbvol.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_section.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = "sdk/qavodisk";
constexpr const char *kAfpDb = "@pplepriv@te";
constexpr const char *kVolume1Db = "/volume1/@pplepriv@te";

// The manufacturer of the device's USB record, or "USB Disk".
std::string UsbComment(const char *device) {
    QAVOUSB rec;
    if (device && QAVOUSBDevGetInfo(device, &rec) == 0 && rec.manufacturer[0])
        return std::string(rec.manufacturer, strnlen(rec.manufacturer, sizeof rec.manufacturer));
    SLIBLog(LOG_ERR, "%d:QAVOUSBDevGetInfo(%s) failed.(0X%X)", __LINE__, device ? device : "",
            SLIBErrGet());
    return "USB Disk";
}

std::string Value(PSLIBSZHASH hash, const char *key) {
    const char *v = hash ? SzSLIBSzHashGetValue(hash, key) : nullptr;
    return v ? v : "";
}

// The list with the users and groups that no longer exist dropped.
std::string ValidUsers(const std::string &list, size_t work) {
    std::vector<char> out(work > list.size() + 1 ? work : list.size() + 1, '\0');
    if (SHAREIGetValidUserList(list.c_str(), out.data()) < 0) return list;
    return out.data();
}

// The volume root of a path: the path up to its second slash, or "".
std::string VolumeRoot(const char *path) {
    if (!path || path[0] == '\0') return "";
    const char *slash = strchr(path + 1, '/');
    return slash ? std::string(path, static_cast<size_t>(slash - path)) : "";
}

// The AFP database folder of a vfat USB volume below "/volume1/@pplepriv@te":
// "USB" and the disk's whole number ("/volumeUSB12" is "USB12", never the
// "USB2" of disk 2); a root of another form keeps its last character.
std::string UsbDbFolder(std::string_view root) {
    constexpr std::string_view kUsbRoot = "/volumeUSB";
    if (root.size() > kUsbRoot.size() && root.substr(0, kUsbRoot.size()) == kUsbRoot)
        return "USB" + std::string(root.substr(kUsbRoot.size()));
    return "USB" + std::string(root.substr(root.size() - 1));
}

bool Exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

extern "C" int QAVOIUSBVolExportEx(const char *device, const char *shareName, const char *path,
                                   int type, const char *writeList, const char *readList,
                                   const char *denyList, const char *comment) {
    if (!device || !shareName || !path) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        const std::string text = comment ? comment : UsbComment(device);
        QAVOSHARE share{};
        share.szName = const_cast<char *>(shareName);
        share.szComment = const_cast<char *>(text.c_str());
        share.szPath = const_cast<char *>(path);
        share.szDeny = const_cast<char *>(denyList);
        share.szRW = const_cast<char *>(writeList);
        share.szRO = const_cast<char *>(readList);
        share.fType = static_cast<uint32_t>(type);
        share.fBrowseable = 1;
        if (QAVOShareSet(1, nullptr, &share) < 1) {
            SLIBLog(LOG_ERR, "(%d)Failed to create the usb share, error number:0x%x", __LINE__,
                    SLIBErrGet());
            return -1;
        }
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    if (ErrServiceHup() < 0) {
        SLIBLog(LOG_ERR, "%s(%d): ErrServiceHup failed", "QAVOIUSBVolExportEx", __LINE__);
        return -1;
    }
    return 0;
}

extern "C" int QAVOIUSBVolExport(const char *device, const char *shareName, const char *path,
                                 int isSata) {
    try {
        std::string comment = isSata == 1 ? "SATA Disk" : "USB Disk";
        std::string rw = "@users", ro, deny;
        PSLIBSZHASH hash = PshSLIBSzHashAlloc(512);
        if (!hash) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            SLIBLog(LOG_ERR, "%s (%d) Failed to allocate memory for hash. errno:%d", kSource,
                    __LINE__, errno);
        } else {
            if (QAVOIUSBShareRightGet(device, shareName, path, &hash, isSata) == 0) {
                comment = Value(hash, "comment");
                rw = Value(hash, "write list");
                ro = Value(hash, "read list");
                deny = Value(hash, "invalid users");
            }
            SLIBSzHashFree(hash);
        }
        return QAVOIUSBVolExportEx(device, shareName, path, QAVOSHARE_ACCESS_RW, rw.c_str(),
                                   ro.c_str(), deny.c_str(), comment.c_str());
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOIUSBShareRightGet(const char *device, const char *shareName,
                                     const char *sharePath, PSLIBSZHASH *rights, int isSata) {
    if (!shareName || !sharePath || !rights || !*rights || (!isSata && !device) ||
        !slib::OneLine(shareName) || strchr(shareName, ']'))
        return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        char guid[QAVO_USB_GUID_MAX + 1] = "";
        if (isSata) {
            snprintf(guid, sizeof guid, "%s", SZV_SATA_GUID);
        } else if (SLIBFileGetKeyValue(SZF_USBGUIDTAB, device, guid, sizeof guid, 0) <= 0 ||
                   !guid[0]) {
            return -1;
        }
        const bool ntfs = QAVOGetFSType(sharePath, 0) == QAVO_FS_NTFS;
        // NTFS volumes are mounted read-only: everyone may read, nobody write.
        const char *const ntfsRw = "", *const ntfsRo = "@users";

        const int keys = SLIBFileGetSection(SZF_SHARE_RIGHT_MAP, shareName, rights);
        if (keys >= 5 && Value(*rights, "guid") == guid) {
            const std::string rw = ntfs ? ntfsRw : Value(*rights, "write list");
            const std::string ro = ntfs ? ntfsRo : Value(*rights, "read list");
            const std::string deny = ntfs ? "" : Value(*rights, "invalid users");
            size_t longest = std::max(rw.size(), std::max(ro.size(), deny.size()));
            const size_t work = longest > 512 ? longest + 512 : 512;
            const std::string frw = ValidUsers(rw, work), fro = ValidUsers(ro, work),
                              fdeny = ValidUsers(deny, work);
            if (ntfs || frw != Value(*rights, "write list") || fro != Value(*rights, "read list") ||
                fdeny != Value(*rights, "invalid users")) {
                if (SLIBSzHashSetValue(rights, "write list", frw.c_str()) < 0 ||
                    SLIBSzHashSetValue(rights, "read list", fro.c_str()) < 0 ||
                    SLIBSzHashSetValue(rights, "invalid users", fdeny.c_str()) < 0)
                    return -1;
                ErrSLIBFileSetSection(SZF_SHARE_RIGHT_MAP, shareName, nullptr, *rights,
                                      SZF_SHARE_RIGHT_FORMAT);
            }
            return 0;
        }

        if (!BlSLIBIsRegularFile(SZF_SHARE_RIGHT_MAP)) {
            bool made = false;
            // Whatever has the name (a link, an empty folder) goes first.
            if (!Exists(SZF_SHARE_RIGHT_MAP) || unlink(SZF_SHARE_RIGHT_MAP) == 0 ||
                rmdir(SZF_SHARE_RIGHT_MAP) == 0) {
                const int fd =
                    open(SZF_SHARE_RIGHT_MAP, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    made = fchmod(fd, 0644) == 0;
                    close(fd);
                }
            }
            if (!made) {
                SLIBLog(LOG_ERR, "%s (%d) Failed to create %s", kSource, __LINE__,
                        SZF_SHARE_RIGHT_MAP);
                return -1;
            }
        }
        // A fresh section: nothing of another disk's section stays.
        SLIBSzHashRemoveAll(*rights);
        const std::string comment = isSata ? "SATA Disk" : UsbComment(device);
        if (SLIBSzHashSetValue(rights, "guid", guid) < 0 ||
            SLIBSzHashSetValue(rights, "invalid users", "") < 0 ||
            SLIBSzHashSetValue(rights, "write list", ntfs ? ntfsRw : "@users") < 0 ||
            SLIBSzHashSetValue(rights, "read list", ntfs ? ntfsRo : "") < 0 ||
            SLIBSzHashSetValue(rights, "comment", comment.c_str()) < 0)
            return -1;
        const int added =
            ErrSLIBFileAddSection(SZF_SHARE_RIGHT_MAP, shareName, *rights, SZF_SHARE_RIGHT_FORMAT);
        if (added < 0) return -1;
        if (added == 0 && ErrSLIBFileSetSection(SZF_SHARE_RIGHT_MAP, shareName, nullptr, *rights,
                                                SZF_SHARE_RIGHT_FORMAT) < 0)
            return -1;
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOIUSBShareRemoveAll(void) {
    const uint32_t kinds = QAVOSHARE_CLASS_USB | QAVOSHARE_CLASS_SATA;
    int needed = 0;
    if (QAVOShareEnum1(nullptr, 0, &needed, kinds) < 0) {
        SLIBLog(LOG_ERR, "(%d)QAVOShareEnum1 failed. ", __LINE__);
        return -1;
    }
    if (needed <= 0) return 0;
    std::vector<char> buf;
    try {
        buf.assign(static_cast<size_t>(needed), '\0');
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    char **names = reinterpret_cast<char **>(buf.data());
    const int count = QAVOShareEnum1(names, needed, &needed, kinds);
    if (count < 0) {
        SLIBLog(LOG_ERR, "(%d)QAVOShareEnum1 failed. ", __LINE__);
        return -1;
    }
    if (count == 0) return 0;
    const int rc =
        QAVOIShareDelete(const_cast<const char **>(names), count, QAVOSHARE_DELETE_KEEP_DIR);
    if (rc < 0) {
        SLIBLog(LOG_ERR, "(%d)QAVOIShareDelete() failed. Err Code: 0x%X", __LINE__, SLIBErrGet());
        return -1;
    }
    return rc;
}

extern "C" int QAVOIMacRemoveDb(const char *sharePath, int fsCode, int isSata) {
    if (!sharePath || strlen(sharePath) > 620) return -1;
    try {
        const std::string root = VolumeRoot(sharePath);
        if (root.empty()) return -1;
        std::string folder, parent;
        if (fsCode == QAVO_FS_VFAT) {
            parent = kVolume1Db;
            folder = parent + "/" + (isSata ? std::string("SATA") : UsbDbFolder(root));
        } else {
            parent = root;
            folder = root + "/" + kAfpDb;
        }
        struct stat st;
        if (stat(folder.c_str(), &st) != 0 && errno == ENOENT) return 0;
        // Aside within the folder's own file system (a rename, never a copy
        // to another volume), then deleted in the background.
        std::string target = parent + "/DEVTMP" + std::to_string(getpid());
        for (int k = 1; Exists(target) && k < 100; ++k)
            target = parent + "/DEVTMP" + std::to_string(getpid()) + "_" + std::to_string(k);
        if (rename(folder.c_str(), target.c_str()) != 0) {
            SLIBLog(LOG_ERR, "%s(%d) MV %s to %s fail", "QAVOIMacRemoveDb", __LINE__,
                    folder.c_str(), target.c_str());
            return -1;
        }
        if (!Exists(target) ||
            SLIBProcExecBackground("/bin/rm", "-r", "--", target.c_str(), nullptr) < 0) {
            SLIBLog(LOG_ERR, "%s(%d) DEL %s fail", "QAVOIMacRemoveDb", __LINE__, target.c_str());
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

extern "C" const char *QAVOIMacDbPathGet(char *path, int isUSBvfat) {
    static char result[4096];
    if (!path || !path[0]) return nullptr;
    char *slash = strchr(path + 1, '/');
    if (!slash) return nullptr;
    *slash = '\0';
    const char *rest = slash + 1;
    int n;
    try {
        n = isUSBvfat == 1 ? snprintf(result, sizeof result, "/volume1/@pplepriv@te/%s/%s",
                                      UsbDbFolder(path).c_str(), rest)
                           : snprintf(result, sizeof result, "%s/@pplepriv@te/%s", path, rest);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof result) return nullptr;
    return result;
}
