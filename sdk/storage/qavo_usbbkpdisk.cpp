// The on-line USB backup disk: arrivals and departures of labelled disks,
// the hand-over of the role (to another USB disk or the eSATA disk),
// stopping the backup program.
#include "qavo_usbbkpdisk.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qavo_sata.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbdev.h"
#include "qavo_usbmount.h"
#include "qavo_usbmount_util.h"
#include "qavo_usbvol.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_util.h"

namespace {

constexpr uint32_t kInitOnline = USB_BKP_STATUS_ONLINE | USB_BKP_STATUS_INITIATING;
constexpr uint32_t kFailedBits =
    USB_BKP_STATUS_ONLINE | USB_BKP_STATUS_BACKING_UP | USB_BKP_STATUS_INITIATING;
constexpr uint32_t kPulledBits = kFailedBits | USB_BKP_STATUS_FORMATTING;

bool IsOnline(const QAVOUSBBACKUPINFO &r, const char *device) {
    return (r.status & USB_BKP_STATUS_ONLINE) && device &&
           strncmp(r.device, device, sizeof r.device) == 0 && r.device[0];
}

// Status with bits cleared, written alone.
int ClearBits(uint32_t bits) {
    QAVOUSBBACKUPINFO r;
    if (QAVOUSBGetBackupInfo(&r) != 0) return -1;
    r.status &= ~bits;
    return QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_STATUS);
}

void SetDevice(QAVOUSBBACKUPINFO *r, const char *device) {
    memset(r->device, 0, sizeof r->device);
    if (device) snprintf(r->device, sizeof r->device, "%s", device);
}

// Unmounts a replaced disk that is still attached; a USB disk keeps its number.
int UnmountReplaced(const std::string &replaced) {
    if (replaced.empty()) return 0;
    QAVOUSBVOLINFO info;
    if (replaced == usbm::EsataName()) {
        if (QAVOSATAGetVolInfo(replaced.c_str(), &info) == 0 && info.szMountPoint[0])
            return QAVOSATAVolUnMount(replaced.c_str(), 0);
        return 0;
    }
    return usbm::UnmountReplacedUsb(replaced);
}

// Takes device off line when r names it as the on-line backup disk, and
// hands the set to another attached disk; func names the caller in the log.
int GoOffline(QAVOUSBBACKUPINFO &r, const char *device, const char *func) {
    if (!IsOnline(r, device)) return 0;
    r.status &= ~static_cast<uint32_t>(USB_BKP_STATUS_ONLINE | USB_BKP_STATUS_BACKING_UP);
    SetDevice(&r, nullptr);
    if (QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_STATUS | USB_BKP_MASK_DEVICE) != 0) return -1;
    if (USBBKPSetAlternativeBkpDisk(device) != 0)
        SLIBLog(LOG_ERR, "%s: failed to set alternative backup disk.", func);
    return 0;
}

}  // namespace

int usbm::WriteBackupTakeOver(const char *device) {
    QAVOUSBBACKUPINFO r;
    memset(&r, 0, sizeof r);
    r.status = kInitOnline;
    SetDevice(&r, device);
    return QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_ALL);
}

void usbm::EraseBackupLabelId(const char *device) {
    uint8_t label[512];
    if (USBBKPGetUBDIFromDev(device, label) != 0 &&
        (USBBKPInitUBDIToDev(device) != 0 || USBBKPGetUBDIFromDev(device, label) != 0))
        return;
    label[USBBKP_UBDI_ID_OFFSET] = 0;
    USBBKPSetUBDIToDev(device, label);
}

bool usbm::EndInitiating(const char *func, const char *device) {
    if (QAVOUSBSetBackupInfoStatus(USB_BKP_STATUS_INITIATING, 1) == 0) return true;
    SLIBLog(LOG_ERR,
            "%s: failed to QAVOUSBSetBackupInfoStatus. clear the USB_BKP_STATUS_INITIATING bit "
            "of %s.",
            func, device);
    return false;
}

int usbm::UnmountReplacedUsb(const std::string &replaced) {
    QAVOUSBVOLINFO info;
    if (QAVODiskUSBDevGetVolInfo(replaced.c_str(), &info) != 0 || !info.szMountPoint[0]) return 0;
    if (QAVOUSBVolUnMount(replaced.c_str(), 0) != 0) return -1;
    int n = 0;
    if (QAVOUSBIGetPostFixNumberByDev(replaced.c_str(), &n) == 0 && n >= 1)
        return QAVOIModifyUSBUsedList(n, 0);
    return 0;
}

extern "C" int USBBKPIClearStatus(uint32_t bits) {
    return ClearBits(bits);
}

extern "C" int USBBKPCancelTask(int flag) {
    if (access(SZF_USBBKP_PID, R_OK) != 0) return ClearBits(USB_BKP_STATUS_BACKING_UP);
    FILE *fp = fopen(SZF_USBBKP_PID, "re");
    if (!fp) {
        SLIBLog(LOG_ERR, "%s(%d): failed to open pid file(errno=%d)", __func__, __LINE__, errno);
        return -1;
    }
    long pid = 0;
    if (fscanf(fp, "%ld", &pid) != 1) pid = 0;
    fclose(fp);
    // Never a process group, init or ourselves.
    if (!slib::MaySignal(static_cast<int>(pid)) || pid > INT32_MAX) {
        SLIBLog(LOG_ERR, "%s(%d): pid <= 0!!", __func__, __LINE__);
        return -1;
    }
    // A process that has gone, or a stale file whose number now names
    // another process: no backup runs.
    if ((kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) ||
        !slib::PidFileMayName(SZF_USBBKP_PID, static_cast<int>(pid)))
        return ClearBits(USB_BKP_STATUS_BACKING_UP);
    if (kill(static_cast<pid_t>(pid), flag ? SIGUSR1 : SIGUSR2) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): kill failed (errno=%d)", __func__, __LINE__, errno);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPIsBackingUp(const char *device) {
    QAVOUSBBACKUPINFO r;
    if (QAVOUSBGetBackupInfo(&r) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOUSBGetBackupInfo() failed. szDevName=[%s]", __func__,
                __LINE__, device ? device : "");
        return -1;
    }
    return IsOnline(r, device) && (r.status & USB_BKP_STATUS_BACKING_UP) ? 1 : 0;
}

extern "C" int USBBKPSetFormatting(const char *device, int on) {
    QAVOUSBBACKUPINFO r;
    if (QAVOUSBGetBackupInfo(&r) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOUSBGetBackupInfo() failed. szDevName=[%s]", __func__,
                __LINE__, device ? device : "");
        return -1;
    }
    if (!IsOnline(r, device)) return 0;
    if (on) {
        if (r.status & USB_BKP_STATUS_BACKING_UP) return 0;
        r.status |= USB_BKP_STATUS_FORMATTING;
    } else {
        r.status &= ~static_cast<uint32_t>(USB_BKP_STATUS_FORMATTING);
    }
    if (QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_STATUS) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOUSBSetBackupInfoEx() failed. szDevName=[%s]", __func__,
                __LINE__, device);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPIsAnyBackupDiskOnLine(char *buf, int size) {
    if (!buf || size < 8) {
        SLIBLog(LOG_ERR, "%s(%d): Wrong usage. len = %d", __func__, __LINE__, size);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    QAVOUSBBACKUPINFO r;
    if (QAVOUSBGetBackupInfo(&r) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOUSBGetBackupInfo() failed.", __func__, __LINE__);
        return slib::Fail(ERR_EXEC_FAILED);
    }
    if (!(r.status & USB_BKP_STATUS_ONLINE)) return 0;
    snprintf(buf, static_cast<size_t>(size), "%.*s", static_cast<int>(sizeof r.device), r.device);
    return 1;
}

extern "C" int USBBKPCleanStatus(const char *device) {
    QAVOUSBBACKUPINFO r;
    if (QAVOUSBGetBackupInfo(&r) != 0) return -1;
    return GoOffline(r, device, __func__);
}

extern "C" int USBBKPChangeStatus(const char *device, int on) {
    if (!device) return slib::Fail(ERR_BAD_PARAMETERS);
    uint8_t label[512];
    int fs = 0;
    const bool labelled = USBBKPIsDevBkpDisk(device, label, &fs) == 0;
    if ((on && labelled) || (!on && !labelled)) return 0;
    QAVOUSBBACKUPINFO r;
    if (QAVOUSBGetBackupInfo(&r) != 0) return -1;
    if (on) {
        if (r.status & USB_BKP_STATUS_ONLINE) return 0;
        r.status |= USB_BKP_STATUS_ONLINE;
        r.status &= ~static_cast<uint32_t>(USB_BKP_STATUS_BACKING_UP);
        SetDevice(&r, device);
        return QAVOUSBSetBackupInfoEx(&r, USB_BKP_MASK_STATUS | USB_BKP_MASK_DEVICE) == 0 ? 0 : -1;
    }
    return GoOffline(r, device, __func__);
}

extern "C" int USBBKPHotPlugIn(const char *device, const char *usbPath, const char *guid,
                               const uint8_t label[512], int fsCode, int preset) {
    if (!device || !usbPath || !guid || !label) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (!usbm::PlainDevice(device) || !usbm::FsName(fsCode)) return slib::Fail(ERR_BAD_PARAMETERS);
    slib::ScopedLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, 5);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", __func__, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    int result = 0;
    [&, fn = __func__]() {
        const struct {
            const char *path, *value;
        } tabs[] = {{SZF_USBDISKAPPLYING, SZV_USB_APPLY_INIT},
                    {SZF_USBTAB, usbPath},
                    {SZF_USBGUIDTAB, guid}};
        for (const auto &t : tabs)
            if (SLIBFileSetOrAddKeyValue(t.path, device, t.value, SLIB_KEYVALUE_FMT_QUOTED) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): set %s [%s=%s] failed(0X%X).", fn, __LINE__, t.path,
                        device, t.value, SLIBErrGet());
                result = -1;
                return;
            }
        QAVOUSBBACKUPINFO r;
        if (QAVOUSBGetBackupInfo(&r) != 0) {
            SLIBLog(LOG_ERR, "%s: QAVOUSBGetBackupInfo() failed", fn);
            result = -1;
            return;
        }
        std::string replaced;
        if (r.status & USB_BKP_STATUS_ONLINE) {
            char local[USB_BKP_ID_SIZE + 1] = "";
            if (USBBKPGetBkpIDFromLocal(local, sizeof local) < 0) {
                result = -1;
                return;
            }
            char mine[USBBKP_UBDI_ID_LEN + 1] = "";
            memcpy(mine, label + USBBKP_UBDI_ID_OFFSET, USBBKP_UBDI_ID_LEN);
            bool takeOver = false;
            if (local[0] && strncmp(local, mine, USBBKP_UBDI_ID_LEN) == 0) {
                if (!(r.status & USB_BKP_STATUS_BACKING_UP)) {
                    takeOver = true;
                    replaced.assign(r.device, strnlen(r.device, sizeof r.device));
                    if (replaced == device) replaced.clear();
                } else {
                    usbm::EraseBackupLabelId(device);
                }
            }
            if (!takeOver) {
                QAVOUSBVOLINFO info;
                if (QAVODiskUSBDevGetVolInfo(device, &info) != 0) {
                    int n = 0;
                    char old[64];
                    if (QAVOUSBRegisterPostFixNumberEx(device, &n, old, sizeof old, 0) != 0)
                        SLIBLog(LOG_ERR, "%s: failed to QAVOUSBRegisterPostFixNumberEx for %s.", fn,
                                device);
                }
                return;
            }
        }
        if (usbm::WriteBackupTakeOver(device) != 0) {
            result = -1;
            return;
        }
        UnmountReplaced(replaced);
        int n = 0;
        if (QAVOUSBBackupVolMount(device, usbm::FsName(fsCode), 1, &n, preset) != 0) {
            SLIBLog(LOG_ERR, "%s: failed to QAVOUSBBackupVolMount. Set %s off-line.", fn, device);
            ClearBits(kFailedBits);
            if (!replaced.empty()) USBBKPSetAlternativeBkpDisk(device);
            result = -1;
            return;
        }
        if (!usbm::EndInitiating(fn, device)) {
            result = -1;
        }
    }();
    SLIBFileSetOrAddKeyValue(SZF_USBDISKAPPLYING, device, SZV_USB_APPLY_SUCCESS,
                             SLIB_KEYVALUE_FMT_QUOTED);
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

extern "C" int USBBKPHotPullOutEx(const char *device, int isSata) {
    if (!device) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    // The record is read and the decision made under the map lock, as long
    // as the unmount waits for it: an arrival of the same disk still
    // mounting finishes first, and its record is the one decided on.
    slib::ScopedLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, 510);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", __func__, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    const int result = [&] {
        QAVOUSBBACKUPINFO r;
        bool isBackup = false, running = false;
        if (QAVOUSBGetBackupInfo(&r) != 0) {
            SLIBLog(LOG_ERR, "%s: QAVOUSBGetBackupInfo() failed", __func__);
        } else if (IsOnline(r, device)) {
            isBackup = true;
            running = (r.status & USB_BKP_STATUS_BACKING_UP) != 0;
            if (running) USBBKPCancelTask(1);
        }
        const int unmounted =
            (isSata ? QAVOSATAUnMount(device) : QAVOUSBUnMount(device)) == 0 ? 0 : -1;
        if (!isBackup) {
            SLIBLog(LOG_ERR, "USB disk is polled out.");
            return unmounted;
        }
        SLIBLog(LOG_ERR, "USB backup disk is polled out.");
        if (ClearBits(kPulledBits) != 0) return -1;
        if (USBBKPSetAlternativeBkpDisk(device) != 0)
            SLIBLog(LOG_ERR, "%s: failed to set alternative backup disk.", __func__);
        return unmounted;
    }();
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}

extern "C" int USBBKPHotPullOut(const char *device) {
    return USBBKPHotPullOutEx(device, 0);
}

extern "C" int USBBKPSetAlternativeBkpDisk(const char *leaving) {
    const char *func = __func__;
    int needed = 0;
    if (QAVOUSBDevEnum(QAVO_USB_TYPE_STORAGE, nullptr, 0, &needed) < 0) {
        SLIBLog(LOG_ERR, "%s: failed to QAVOUSBDevEnum(0X%X)[1].", func, SLIBErrGet());
        return -1;
    }
    std::vector<std::string> names;
    try {
        if (needed > 0) {
            std::vector<char *> area((static_cast<size_t>(needed) + sizeof(char *) - 1) /
                                     sizeof(char *));
            int got = 0;
            const int n = QAVOUSBDevEnum(QAVO_USB_TYPE_STORAGE, area.data(), needed, &got);
            if (n < 0)
                SLIBLog(LOG_ERR, "%s: failed to QAVOUSBDevEnum(0X%X)[2].", func, SLIBErrGet());
            for (int i = 0; i < n; ++i)
                names.emplace_back(area[static_cast<size_t>(i)]);
        }
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s: out of memory.", func);
        return -1;
    }
    for (const auto &name : names) {
        if (leaving && name == leaving) continue;
        uint8_t label[512];
        int fs = 0;
        if (USBBKPIsDevBkpDisk(name.c_str(), label, &fs) != 0 || fs == 3) continue;
        const char *dev = name.c_str();
        QAVOUSBVOLINFO info;
        if (QAVODiskUSBDevGetVolInfo(dev, &info) == 0 && info.szMountPoint[0]) {
            if (QAVOUSBVolUnMount(dev, 0) != 0) break;
            int n = 0;
            if (QAVOUSBIGetPostFixNumberByDev(dev, &n) != 0 || QAVOIModifyUSBUsedList(n, 0) != 0)
                break;
        }
        if (usbm::WriteBackupTakeOver(dev) != 0) break;
        int n = 0;
        if (QAVOUSBBackupVolMount(dev, usbm::FsName(fs), 1, &n, 0) != 0) {
            SLIBLog(LOG_ERR, "%s: failed to QAVOUSBBackupVolMount. Set %s off-line.", func, dev);
            ClearBits(kFailedBits);
            break;
        }
        if (!usbm::EndInitiating(func, dev)) {
            break;
        }
        return 0;
    }
    return QAVOSATASetAlternativeBkpDisk(leaving);
}

extern "C" int QAVOSATASetAlternativeBkpDisk(const char *leaving) {
    std::string disk = usbm::EsataName();
    if (disk.empty()) disk = "hdc";
    if (!BlQAVOSATAIsDevPresent() || (leaving && disk == leaving)) return 0;
    uint8_t label[512];
    int fs = 0;
    if (USBBKPIsDevBkpDisk(disk.c_str(), label, &fs) != 0 || fs < 0 || fs > 2) return 0;
    int result = 0;
    QAVOUSBVOLINFO info;
    if (leaving && usbm::PlainDevice(leaving) && QAVOSATAGetVolInfo(leaving, &info) == 0 &&
        info.szMountPoint[0]) {
        result = QAVOSATAVolUnMount(leaving, 0);
        if (result != 0) return result;
    }
    if (usbm::WriteBackupTakeOver(disk.c_str()) != 0) return result;
    if (QAVOSATAVolMount(disk.c_str(), fs, 0, 1) != 0) {
        SLIBLog(LOG_ERR, "%s: failed to QAVOSATAVolMount. Set %s off-line.", __func__,
                disk.c_str());
        QAVOUSBSetBackupInfoStatus(kFailedBits, 1);
    } else {
        usbm::EndInitiating(__func__, disk.c_str());
    }
    return result;
}
