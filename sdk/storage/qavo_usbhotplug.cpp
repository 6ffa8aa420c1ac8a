// USB disks arriving and leaving: a share disk's arrival, the batch mount
// of what is attached after start-up (backup disk, share disks, printer,
// UPS, camera), and the departure of disks the kernel no longer lists.
#include <sys/stat.h>
#include <unistd.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "qavo_printer.h"
#include "qavo_usbcopy.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpdisk.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbdev.h"
#include "qavo_usbmount.h"
#include "qavo_usbmount_util.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = usbm::kMountSource;

// Holds lock_usbidmap for a scope; released once, and only when taken.
using IdMapLock = slib::ScopedLock;

bool SetTab(const char *path, const char *device, const char *value, bool guidTab) {
    if (SLIBFileSetOrAddKeyValue(path, device, value, SLIB_KEYVALUE_FMT_QUOTED) >= 0) return true;
    if (guidTab)
        SLIBLog(LOG_ERR, "CM: set %s [%s=%s] failed(0X%X).", path, device, value, SLIBErrGet());
    else
        SLIBLog(LOG_ERR, "%s(%d): set %s [%s=%s] failed(0X%X).", kSource, __LINE__, path, device,
                value, SLIBErrGet());
    return false;
}

}  // namespace

extern "C" int QAVOUSBMount(const char *device, const char *usbPath, const char *guid) {
    return QAVOUSBMountEx(device, usbPath, guid, 0);
}

extern "C" int QAVOUSBMountEx(const char *device, const char *usbPath, const char *guid,
                              int preset) {
    if (!device || !usbPath || !guid) {
        SLIBLog(LOG_ERR, "QAVOUSBMount: Bad Parameters: %s,%s,%s.", device ? device : "NULL",
                usbPath ? usbPath : "NULL", guid ? guid : "NULL");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (!usbm::PlainDevice(device)) return slib::Fail(ERR_BAD_PARAMETERS);
    QAVOUSB rec;
    auto readRecord = [&]() {
        char path[128];
        snprintf(path, sizeof path, "%s", usbPath);
        memset(&rec, 0, sizeof rec);
        if (QAVOUSBDevBusnoGetInfo(path, &rec) == 0) return true;
        SLIBLog(LOG_ERR, "%s(%d) USB storage device %s is not in kernel.\n", kSource, __LINE__,
                device);
        SLIBErrSet(ERR_NO_SUCH_USB_DISK);
        return false;
    };
    if (!readRecord()) return -1;
    // A pull-out that cannot finish must not keep the arrival waiting forever.
    for (int round = 0;; ++round) {
        const int r = QAVOUSBICheckRemovedDev();
        if (r < 0) return slib::Fail(ERR_BUF_TOO_SMALL);
        if (r == 0 || round >= 15) break;
        sleep(1);
    }
    std::optional<IdMapLock> lock;
    for (int attempt = 0; attempt <= 100; ++attempt) {
        if (!readRecord()) return -1;
        lock.emplace(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, 5);
        if (lock->Held()) break;
    }
    if (!lock->Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", kSource, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    int result = 0;
    if (!SetTab(SZF_USBDISKAPPLYING, device, SZV_USB_APPLY_INIT, false) ||
        !SetTab(SZF_USBTAB, device, usbPath, false) ||
        !SetTab(SZF_USBGUIDTAB, device, guid, true)) {
        result = -1;
    } else {
        bool mounted = false;
        for (const char *fs : {"ext3", "reiserfs", "ntfs", "vfat"}) {
            int n = 0;
            if (QAVOUSBVolMountEx(device, fs, 1, &n, preset) != 0) continue;
            mounted = true;
            QAVOUSBVOLINFO info;
            const bool fat = strcmp(fs, "vfat") == 0 || strcmp(fs, "ntfs") == 0;
            if (QAVODiskUSBDevGetVolInfo(device, &info) != 0 || (fat && info.total == 0)) {
                SLIBLog(LOG_ERR, "%s:#%d: QAVODiskUSBDevGetVolInfo after mounted %s failed. (0X%X)",
                        kSource, __LINE__, device, SLIBErrGet());
                break;
            }
            usbm::Event(QAVO_EVENT_USB_MOUNTED, info.szDescription, info.szShareName);
            if (fat && USBCOPYIsDeviceAtFrontPort(&rec) == 1) USBCOPYStartIfFits(device, &info);
            break;
        }
        if (!mounted) {
            SLIBLog(LOG_ERR, "%s:#%d: mount usb disk %s failed. (0X%X)", kSource, __LINE__, device,
                    SLIBErrGet());
            QAVOUSB again;
            if (QAVOUSBDevGetInfo(device, &again) != 0) {
                SLIBLog(LOG_ERR,
                        "%s:#%d:QAVOUSBDevGetInfo(%s) failed. The device may be removed. (0X%X)",
                        kSource, __LINE__, device, SLIBErrGet());
            } else if (QAVOUSBRegisterPostFixNumber(device, nullptr, nullptr, 0) != 0) {
                SLIBLog(LOG_ERR, "%s:#%d: QAVOUSBRegisterPostFixNumber after cannot mount failed",
                        kSource, __LINE__);
            }
        }
    }
    SLIBFileSetOrAddKeyValue(SZF_USBDISKAPPLYING, device, SZV_USB_APPLY_SUCCESS,
                             SLIB_KEYVALUE_FMT_QUOTED);
    if (!lock->Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

extern "C" int QAVOUSBICheckRemovedDev(void) {
    int needed = 0;
    if (QAVOUSBDevEnum(QAVO_USB_TYPE_STORAGE, nullptr, 0, &needed) < 0) return -1;
    if (needed <= 0) return 0;
    std::vector<char *> area;
    std::vector<std::string> names;
    try {
        area.resize((static_cast<size_t>(needed) + sizeof(char *) - 1) / sizeof(char *));
        int got = needed;
        const int n = QAVOUSBDevEnum(QAVO_USB_TYPE_STORAGE, area.data(), needed, &got);
        for (int i = 0; i < n; ++i)
            names.emplace_back(area[static_cast<size_t>(i)]);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_BUF_TOO_SMALL);
    }
    int gone = 0;
    for (const auto &name : names) {
        QAVOUSB rec;
        if (QAVOUSBDevGetInfo(name.c_str(), &rec) == 0) continue;
        SLIBLog(LOG_ERR, "%s(%d) device %s is not in kernel.\n", kSource, __LINE__, name.c_str());
        USBBKPHotPullOut(name.c_str());
        gone = 1;
    }
    return gone;
}

extern "C" int QAVOUSBBatchMount(void) {
    IdMapLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, 5);
    if (!lock.Held()) return slib::Fail(ERR_LOCK_FAILED);
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(64);
    if (!hash) return slib::Fail(ERR_BAD_PARAMETERS);
    slib::SzHashPtr holdHash(hash);
    PSLIBSZLIST keys = PslSLIBSzListAlloc(64);
    if (!keys) return slib::Fail(ERR_BAD_PARAMETERS);
    slib::SzListPtr holdKeys(keys);
    try {
        struct stat st;
        if (stat(SZF_USBINFOALL, &st) == 0 && S_ISREG(st.st_mode) &&
            SLIBFileGetKeys(SZF_USBINFOALL, &hash) > 0) {
            (void)holdHash.release();
            holdHash.reset(hash);
            if (SLIBSzHashEnumKey(hash, &keys) < 0) return -1;
            (void)holdKeys.release();
            holdKeys.reset(keys);
            std::vector<std::string> fresh;
            int mounted = 0;
            bool printerSeen = false, startPapd = false;
            for (int i = 0; i < keys->nItem; ++i) {
                const std::string key = keys->pszItem[i];
                const char *got = SzSLIBSzHashGetValue(hash, key.c_str());
                const std::string value = got ? got : "";
                if (key.compare(0, 2, "sd") == 0) {
                    if (mounted >= 21) continue;
                    const size_t comma = value.find(',');
                    const std::string path = value.substr(0, comma);
                    const std::string guid =
                        comma == std::string::npos ? "" : value.substr(comma + 1);
                    int n = 0;
                    if (QAVOUSBIGetPostFixNumberByGUID(guid.c_str(), &n) != 0 || n < 1) {
                        fresh.push_back(key);
                        continue;
                    }
                    uint8_t label[512];
                    int fs = 0;
                    int r;
                    if (USBBKPIsDevBkpDisk(key.c_str(), label, &fs) == 0) {
                        SLIBLog(LOG_ERR, "USB backup disk is pluged in.(batch mount %d)", n);
                        r = USBBKPHotPlugIn(key.c_str(), path.c_str(), guid.c_str(), label, fs, n);
                    } else {
                        SLIBLog(LOG_ERR, "USB share disk is pluged in.(batch mount %d)", n);
                        r = QAVOUSBMountEx(key.c_str(), path.c_str(), guid.c_str(), n);
                    }
                    if (r == 0)
                        ++mounted;
                    else
                        SLIBLog(LOG_ERR,
                                "%s(%d): QAVOUSBMountEx(%s, %s, %s, %d) failed. (Error Code: %d)",
                                kSource, __LINE__, key.c_str(), path.c_str(), guid.c_str(), n,
                                SLIBErrGet());
                } else if (key.compare(0, 2, "lp") == 0) {
                    if (printerSeen) continue;
                    printerSeen = true;
                    const int r = QAVOPrinterEnableExt(1, key.c_str(), value.c_str());
                    QAVOStartupPapd(key.c_str());
                    if (r != 1)
                        SLIBLog(LOG_ERR, "%s(%d): QAVOPrinterEnableExt(%s) failed (0X%X).", kSource,
                                __LINE__, key.c_str(), SLIBErrGet());
                    else
                        startPapd = true;
                } else if (key.compare(0, 6, "hiddev") == 0) {
                    const int r = usbm::Run({"/usr/qavo/bin/ups.sh", "restart"});
                    if (r < 0)
                        SLIBLog(LOG_ERR,
                                "%s:%d(%s): [/usr/qavo/bin/ups.sh restart] failed (ret=%d).",
                                kSource, __LINE__, __func__, r);
                } else if (key.compare(0, 6, "usbcam") == 0) {
                    const int r = SLIBProcExecWait("/bin/sh", "-c",
                                                   "/usr/qavo/bin/qavousbcam --detect >> "
                                                   "/tmp/usbdebug 2>&1",
                                                   nullptr, nullptr);
                    if (r != 0)
                        SLIBLog(LOG_ERR,
                                "%s:%d(%s): [/usr/qavo/bin/qavousbcam --detect] failed (ret=%d).",
                                kSource, __LINE__, __func__, r);
                }
            }
            for (const auto &key : fresh) {
                if (mounted > 20) break;
                const char *value = SzSLIBSzHashGetValue(hash, key.c_str());
                const std::string v = value ? value : "";
                const size_t comma = v.find(',');
                const std::string path = v.substr(0, comma);
                const std::string guid = comma == std::string::npos ? "" : v.substr(comma + 1);
                uint8_t label[512];
                int fs = 0;
                int r;
                if (USBBKPIsDevBkpDisk(key.c_str(), label, &fs) == 0) {
                    SLIBLog(LOG_ERR, "USB backup disk is pluged in.(batch mount)");
                    r = USBBKPHotPlugIn(key.c_str(), path.c_str(), guid.c_str(), label, fs, 0);
                } else {
                    SLIBLog(LOG_ERR, "USB share disk is pluged in.(batch mount)");
                    r = QAVOUSBMount(key.c_str(), path.c_str(), guid.c_str());
                }
                if (r == 0)
                    ++mounted;
                else
                    SLIBLog(LOG_ERR, "%s(%d): QAVOUSBMount(%s, %s, %s) failed. (Error Code: %d)",
                            kSource, __LINE__, key.c_str(), path.c_str(), guid.c_str(),
                            SLIBErrGet());
            }
            if (startPapd) {
                const int r = usbm::Run({"/usr/qavo/sbin/papd", "-f", "/usr/qavo/etc/papd.conf",
                                         "-p", "/usr/qavo/etc/printcap"});
                if (r < 0)
                    SLIBLog(LOG_ERR, "%s:%d(%s): [/usr/qavo/sbin/papd] failed (ret=%d).", kSource,
                            __LINE__, __func__, r);
            }
        }
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return 0;
}
