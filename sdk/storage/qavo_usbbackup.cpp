// The USB backup disk: its label and backup ID, the result of the last
// backup and the share list kept as "usbbkpshares" in the settings.
#include "qavo_usbbackup.h"

#include <syslog.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qavo_diskprobe.h"
#include "qavo_disksector.h"
#include "qavo_usbbkpinfo.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

constexpr size_t kSlotWord = sizeof(char *) + USBBKP_SHARE_SLOT;

// The names of "usbbkpshares", empty ones skipped; false on a read error.
bool ReadShares(std::vector<std::string> *names) {
    char bound[8] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_MAXSHARES, bound, 6, 0) < 0) {
        SLIBLog(LOG_ERR, "%s: Cannot get key value of %s", "USBBKPGetBackupShares", SZK_MAXSHARES);
        return false;
    }
    // Without a bound the value is read whole.
    const long max = strtol(bound, nullptr, 10);
    int need = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_USBBKP_SHARES, nullptr, 0, 0);
    if (need < 0) {
        SLIBLog(LOG_ERR, "%s: Key %s doesn't be defined or no value is assigned to key",
                "USBBKPGetBackupShares", SZK_USBBKP_SHARES);
        return false;
    }
    if (need == 0) return true;
    if (max > 0 && max < INT_MAX / USBBKP_SHARE_SLOT && need > max * USBBKP_SHARE_SLOT) {
        need = static_cast<int>(max * USBBKP_SHARE_SLOT);
    }
    std::vector<char> value(static_cast<size_t>(need) + 1);
    const int n = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_USBBKP_SHARES, value.data(),
                                      static_cast<int>(value.size()), 0);
    if (n < 0 && SLIBErrGet() != ERR_BUF_TOO_SMALL) return false;
    const char *p = value.data();
    while (*p) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        if (len > 0) names->emplace_back(p, len < USBBKP_SHARE_SLOT ? len : USBBKP_SHARE_SLOT - 1);
        if (!comma) break;
        p = comma + 1;
    }
    return true;
}

// The index of the first non-empty name equal to wanted without regard to case.
int FindName(char **names, int count, const char *wanted) {
    for (int i = 0; i < count; ++i) {
        if (names[i] && *names[i] && SLIBUnicodeUTF8StrCaseCmp(names[i], wanted) == 0) return i;
    }
    return -1;
}

}  // namespace

extern "C" int USBBKPGetBackupShares(char **buf, int size, int *needed) {
    if (!needed || (buf && size <= 0) || (!buf && size != 0)) return slib::Fail(ERR_BAD_PARAMETERS);
    *needed = 0;
    try {
        std::vector<std::string> names;
        if (!ReadShares(&names)) return -1;
        if (names.size() > static_cast<size_t>(INT_MAX) / kSlotWord) {
            return slib::Fail(ERR_BUF_TOO_SMALL);
        }
        if (!buf) {
            *needed = static_cast<int>(kSlotWord * names.size());
            return static_cast<int>(names.size());
        }
        char *const end = reinterpret_cast<char *>(buf) + size;
        for (size_t i = 0; i < names.size(); ++i) {
            *needed += static_cast<int>(kSlotWord);
            if (*needed > size) return slib::Fail(ERR_BUF_TOO_SMALL);
            char *slot = end - USBBKP_SHARE_SLOT * (i + 1);
            memset(slot, 0, USBBKP_SHARE_SLOT);
            memcpy(slot, names[i].c_str(), names[i].size());
            buf[i] = slot;
        }
        return static_cast<int>(names.size());
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int USBBKPSetBackupShares(char **names, int count) {
    if (!names) {
        SLIBLog(LOG_ERR, "%s: pszList shouldn't be NULL", __func__);
        return -1;
    }
    try {
        std::string value;
        for (int i = 0; i < count; ++i) {
            if (!names[i] || !*names[i]) continue;
            if (!slib::OneLine(names[i]) || strchr(names[i], '"')) return -1;
            if (!value.empty()) value += ',';
            value += names[i];
        }
        if (QAVOINFOSetKeyValue(SZK_USBBKP_SHARES, value.c_str()) < 0) {
            SLIBLog(LOG_ERR, "%s: SLIBFileSetKeyValue() failed", __func__);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s: malloc() failed", __func__);
        return -1;
    }
}

extern "C" int USBBKPDeleteBackupShare(char **names, const char *share, int count) {
    if (!names) {
        SLIBLog(LOG_ERR, "%s: pszList shouldn't be NULL", __func__);
        return -1;
    }
    if (!share) {
        SLIBLog(LOG_ERR, "%s: szDeleteShare shouldn't be NULL", __func__);
        return -1;
    }
    if (count <= 0) {
        SLIBLog(LOG_ERR, "%s: cbElements should be greater than 0", __func__);
        return -1;
    }
    const int i = FindName(names, count, share);
    if (i < 0) return 0;
    names[i][0] = '\0';
    if (USBBKPSetBackupShares(names, count) != 0) {
        SLIBLog(LOG_ERR, "USBBKPSetBackupShares() failed cbElement = %d", count);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPRenameBackupShare(char **names, const char *oldName, const char *newName,
                                       int count) {
    if (!names) {
        SLIBLog(LOG_ERR, "%s: pszList shouldn't be NULL", __func__);
        return -1;
    }
    if (!oldName || !newName) {
        SLIBLog(LOG_ERR, "%s: szOldShare shouldn't be NULL", __func__);
        return -1;
    }
    if (count < 0) {
        SLIBLog(LOG_ERR, "%s: cbElements should be grater than 0", __func__);
        return -1;
    }
    const int i = FindName(names, count, oldName);
    if (i < 0) return 0;
    char *const kept = names[i];
    names[i] = const_cast<char *>(newName);
    const int rc = USBBKPSetBackupShares(names, count);
    names[i] = kept;
    return rc;
}

namespace {

constexpr const char *kDefaults = "/etc.defaults/qavoinfo.conf";

bool MagicOk(const uint8_t *label) {
    return memcmp(label, USBBKP_UBDI_MAGIC, USBBKP_UBDI_MAGIC_LEN) == 0;
}

void FreshLabel(uint8_t *label) {
    memset(label, 0, USBBKP_UBDI_SIZE);
    memcpy(label, USBBKP_UBDI_MAGIC, USBBKP_UBDI_MAGIC_LEN);
}

// The code of a Linux partition's file system: the appliance's reiserfs,
// ext2/ext3, else the model's default file system.
int LinuxFsCode(const char *device) {
    const std::string part = std::string(device) + "1";
    if (BlQAVODiskIsQaVoRs2Fs(part.c_str())) return 0;
    if (BlQAVODiskIsExt2(part.c_str())) return 2;
    char fs[32] = "";
    if (SLIBFileGetKeyValue(kDefaults, "defaultfs", fs, sizeof fs, 0) <= 0) return 0;
    return strcmp(fs, "ext3") == 0 ? 2 : 0;
}

// The backup disk's device into dev for a label read or write by func, which
// the log names; false when the caller gave no buffer or no disk is found.
bool LabelDevice(const char *func, const void *buf, char (&dev)[64]) {
    if (!buf) {
        SLIBLog(LOG_ERR, "%s: parameter error", func);
        return false;
    }
    if (USBBKPIGetDevPath(dev, sizeof dev) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPIGetDevPath() failed", func);
        return false;
    }
    return true;
}

}  // namespace

extern "C" int USBBKPIGetDevPath(char *buf, int size) {
    if (!buf || size < 0) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    QAVOUSBBACKUPINFO info;
    if (QAVOUSBGetBackupInfo(&info) < 0) {
        SLIBLog(LOG_ERR, "%s: QAVOUSBGetBackupInfo() failed", __func__);
        return -1;
    }
    char device[sizeof info.device + 1] = {};
    memcpy(device, info.device, sizeof info.device);
    if (!(info.status & USB_BKP_STATUS_ONLINE) || !device[0]) {
        SLIBLog(LOG_ERR, "%s: The disk [%s] is not on-line", __func__, device);
        return -1;
    }
    const int n = snprintf(buf, static_cast<size_t>(size), "/dev/%s", device);
    return n >= 0 && n < size ? 0 : -1;
}

extern "C" int USBBKPGetUBDIFromDev(const char *device, uint8_t buf[512]) {
    if (!device || !buf) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    if (QAVOReadOneSectorFromDev(device, USBBKP_UBDI_SECTOR, buf) != 0) return -1;
    if (!MagicOk(buf)) {
        SLIBLog(LOG_ERR, "%s(%d): magic not matched ", __func__, __LINE__);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPSetUBDIToDev(const char *device, const uint8_t buf[512]) {
    if (!device || !buf) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    return QAVOWriteOneSectorToDev(device, USBBKP_UBDI_SECTOR, buf) == 0 ? 0 : -1;
}

extern "C" int USBBKPInitUBDIToDev(const char *device) {
    if (!device) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    uint8_t label[USBBKP_UBDI_SIZE];
    FreshLabel(label);
    return USBBKPSetUBDIToDev(device, label);
}

extern "C" int USBBKPGetUBDI(uint8_t buf[512]) {
    char dev[64];
    if (!LabelDevice(__func__, buf, dev)) return -1;
    return USBBKPGetUBDIFromDev(dev, buf);
}

extern "C" int USBBKPSetUBDI(const uint8_t buf[512]) {
    char dev[64];
    if (!LabelDevice(__func__, buf, dev)) return -1;
    return USBBKPSetUBDIToDev(dev, buf);
}

extern "C" int USBBKPGetBkpIDFromUSB(char *buf, int size) {
    if (!buf || size < USBBKP_UBDI_ID_LEN) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    uint8_t label[USBBKP_UBDI_SIZE];
    if (USBBKPGetUBDI(label) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPGetUBDI() failed", __func__);
        return -1;
    }
    // The field has no NUL when the ID fills it: the copy is terminated here.
    memset(buf, 0, static_cast<size_t>(size));
    const int n = size - 1 < USBBKP_UBDI_ID_LEN ? size - 1 : USBBKP_UBDI_ID_LEN;
    memcpy(buf, label + USBBKP_UBDI_ID_OFFSET, static_cast<size_t>(n));
    return 0;
}

extern "C" int USBBKPSetBkpIDToUSB(const char *id) {
    if (!id) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    uint8_t label[USBBKP_UBDI_SIZE];
    if (USBBKPGetUBDI(label) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPGetUBDI() failed", __func__);
        FreshLabel(label);
    }
    // Up to the ID's NUL, never past it; the rest of the field zero.
    memset(label + USBBKP_UBDI_ID_OFFSET, 0, USBBKP_UBDI_ID_LEN);
    memcpy(label + USBBKP_UBDI_ID_OFFSET, id, strnlen(id, USBBKP_UBDI_ID_LEN));
    if (USBBKPSetUBDI(label) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPSetUBDI() failed", __func__);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPGetBkpIDFromLocal(char *buf, int size) {
    if (!buf || size < USBBKP_UBDI_ID_LEN) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    memset(buf, 0, static_cast<size_t>(size));
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_USBBKP_ID, buf, size, 0) < 0) {
        SLIBLog(LOG_ERR, "%s: SLIBFileGetKeyValue() failed", __func__);
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

extern "C" int USBBKPSetBkpIDToLocal(const char *id) {
    if (!id) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    if (QAVOINFOSetKeyValue(SZK_USBBKP_ID, id) < 0) {
        SLIBLog(LOG_ERR, "%s: SLIBFileSetKeyValue() failed", __func__);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPSetBkpID(const char *id) {
    if (!id) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    if (USBBKPSetBkpIDToLocal(id) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPSetBkpIDToLocal() failed", __func__);
        return -1;
    }
    if (USBBKPSetBkpIDToUSB(id) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPSetBkpIDToUSB() failed", __func__);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPIsSameBkpID(void) {
    // One byte beyond the field: an ID of 28 characters is compared whole.
    char local[USBBKP_UBDI_ID_LEN + 1], usb[USBBKP_UBDI_ID_LEN + 1];
    if (USBBKPGetBkpIDFromLocal(local, sizeof local) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPGetBkpIDFromLocal() failed", __func__);
        return -1;
    }
    if (USBBKPGetBkpIDFromUSB(usb, sizeof usb) != 0) {
        SLIBLog(LOG_ERR, "%s: USBBKPGetBkpIDFromUSB() failed", __func__);
        return -1;
    }
    if (usb[0] && strncmp(local, usb, USBBKP_UBDI_ID_LEN) == 0) return 0;
    SLIBLog(LOG_ERR, "%s: magic un-matched! local=[%s], usb = [%s]", __func__, local, usb);
    return -1;
}

extern "C" int USBBKPSetBkpResult(long code) {
    char value[64];
    snprintf(value, sizeof value, "0x%lX", static_cast<unsigned long>(code));
    if (QAVOINFOSetKeyValue(SZK_USBBKP_RESULT, value) < 0) {
        SLIBLog(LOG_ERR, "%s: SLIBFileSetKeyValue() failed", __func__);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPIsDevBkpDisk(const char *device, uint8_t label[512], int *fsCode) {
    if (!device || !label || !fsCode) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return -1;
    }
    uint8_t mbr[512];
    if (QAVOReadOneSectorFromDev(device, 0, mbr) != 0) {
        SLIBLog(LOG_ERR, "%s: QAVOReadOneSectorFromDev failed.", __func__);
        return -1;
    }
    if (mbr[510] != 0x55 || mbr[511] != 0xAA) {
        SLIBLog(LOG_ERR, "No DOS signature.");
        return -1;
    }
    const uint8_t type = mbr[450];
    if (type != 0x07 && type != 0x0B && type != 0x83) {
        SLIBLog(LOG_ERR, "partition type is neither NTFS, FAT nor Linux.");
        return -1;
    }
    const uint32_t start = static_cast<uint32_t>(mbr[454]) | static_cast<uint32_t>(mbr[455]) << 8 |
                           static_cast<uint32_t>(mbr[456]) << 16 |
                           static_cast<uint32_t>(mbr[457]) << 24;
    if (start != USBBKP_PART_START) return -1;
    *fsCode = type == 0x07 ? 3 : type == 0x0B ? 1 : LinuxFsCode(device);
    return USBBKPGetUBDIFromDev(device, label);
}
