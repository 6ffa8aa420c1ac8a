// Configuration backup sections of the disk, USB and power settings: disk
// standby time, the disks' write cache, the USB backup schedule and share
// list, the USB copy destination and the power-recovery setting.
#include <strings.h>
#include <syslog.h>

#include <cstring>
#include <string>
#include <vector>

#include "cfgbackup.h"
#include "cfgbackup_util.h"
#include "qavo_disk.h"
#include "qavo_hw.h"
#include "qavo_share.h"
#include "qavo_sys.h"
#include "qavo_usbcopy.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_unicode.h"
#include "slib_util.h"

using cfgbkp::BadFd;
using cfgbkp::Event;
using cfgbkp::Failed;
using cfgbkp::ReadStr;
using cfgbkp::Section;
using cfgbkp::Str;

namespace {

constexpr uint32_t kSleepEx = 0x12100015, kSleepIm = 0x12100016;
constexpr uint32_t kSchedEx = 0x12100019, kSchedIm = 0x1210001a;
constexpr uint32_t kListEx = 0x1210001d, kListIm = 0x1210001e;
constexpr uint32_t kRcEx = 0x12100105, kRcIm = 0x12100106;
constexpr uint32_t kCopyEx = 0x12100107, kCopyIm = 0x12100108;
constexpr uint32_t kCacheEx = 0x1210010b, kCacheIm = 0x1210010c;
constexpr const char *kUsbBkp = "/usr/qavo/bin/qavousbbkp";
constexpr size_t kFolderMax = 491;
constexpr size_t kRcMax = 11;

// A key of "/etc/qavoinfo.conf" read at its own size ("" when absent);
// false when the file cannot be read.
bool WholeKey(const char *key, std::string &out) {
    out.clear();
    const int need = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, nullptr, 0, 0);
    if (need < 0) return false;
    if (need == 0) return true;
    std::vector<char> buf(static_cast<size_t>(need) + 1, '\0');
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, buf.data(), static_cast<int>(buf.size()), 0) <
        0)
        return false;
    out = buf.data();
    return true;
}

}  // namespace

extern "C" int QAVOSysbkpHDSleepTimeExport(int fd) {
    if (BadFd(fd)) return -1;
    int minutes = 0;
    if (QAVOHDSleepTimeGet(&minutes) != 0)
        return BKP_LOG("fail to get hd idle time"), Failed(kSleepEx);
    Section sec(fd, QAVOSYSBKP_ID_HDSLEEP);
    if (!sec.Ok()) return Failed(kSleepEx);
    if (QAVOSysbkpIWriteLong(fd, minutes) != 0)
        return BKP_LOG("fail to write idleTime[%d]", minutes), Failed(kSleepEx);
    return sec.Finish() ? 0 : Failed(kSleepEx);
}

extern "C" int QAVOSysbkpHDSleepTimeImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    long minutes = 0;
    int current = 0;
    if (QAVOSysbkpIReadLong(fd, &minutes) != 0)
        return BKP_LOG("fail to read hd sleep time"), Failed(kSleepIm);
    if (QAVOHDSleepTimeGet(&current) != 0)
        return BKP_LOG("fail to get old hd idle time"), Failed(kSleepIm);
    if (!overwrite || minutes == current) return 0;
    if (QAVOHDSleepTimeSet(static_cast<int>(minutes)) != 0)
        return BKP_LOG("fail to set hd sleep time"), Failed(kSleepIm);
    return 0;
}

extern "C" int QAVOSysbkpDCacheExport(int fd) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportdcacheui")) return 0;
    const int on = BlQAVODCacheIsWriteEnabled() ? 1 : 0;
    Section sec(fd, QAVOSYSBKP_ID_DCACHE);
    if (!sec.Ok()) return Failed(kCacheEx);
    if (QAVOSysbkpIWriteLong(fd, on) != 0)
        return BKP_LOG("fail to write dcache config [%d]", on), Failed(kCacheEx);
    return sec.Finish() ? 0 : Failed(kCacheEx);
}

extern "C" int QAVOSysbkpDCacheImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportdcacheui")) return 0;
    long on = 0;
    if (QAVOSysbkpIReadLong(fd, &on) != 0)
        return BKP_LOG("fail to read dcache config"), Failed(kCacheIm);
    const int current = BlQAVODCacheIsWriteEnabled() ? 1 : 0;
    if (!overwrite || (on != 0) == (current != 0)) return 0;
    if (QAVODCacheEnableWrite(on ? 1 : 0) != 0)
        return BKP_LOG("call QAVODCacheEnableWrite to set dcache failed"), Failed(kCacheIm);
    return 0;
}

extern "C" int QAVOSysbkpUSBBkpScheduleExport(int fd) {
    if (BadFd(fd)) return -1;
    QAVOSCHEDULE s{};
    const int found = QAVOScheduleGet(kUsbBkp, &s);
    if (found < 0) return BKP_LOG("failed to get usb backup schedule."), Failed(kSchedEx);
    const long v[6] = {found == 1 ? 1 : 0,
                       found == 1 ? s.nMinute : -1,
                       found == 1 ? s.nHour : -1,
                       found == 1 ? s.nLastHour : -1,
                       found == 1 ? static_cast<long>(s.ulWeekdayMask) : -1,
                       found == 1 ? s.nInterval : -1};
    Section sec(fd, QAVOSYSBKP_ID_USBBKP_SCHEDULE);
    if (!sec.Ok()) return Failed(kSchedEx);
    for (long x : v) {
        if (QAVOSysbkpIWriteLong(fd, x) != 0)
            return BKP_LOG("fail to write USB backup schedule [%ld]", x), Failed(kSchedEx);
    }
    return sec.Finish() ? 0 : Failed(kSchedEx);
}

extern "C" int QAVOSysbkpUSBBkpScheduleImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    static const char *const kWhat[6] = {"enable/disable", "min",         "Start hour",
                                         "Last hour",      "day of week", "Interval"};
    long v[6] = {};
    for (int i = 0; i < 6; ++i) {
        if (QAVOSysbkpIReadLong(fd, &v[i]) != 0) {
            BKP_LOG("fail to read USB backup schedule setting (%s)", kWhat[i]);
            return Failed(kSchedIm);
        }
    }
    QAVOSCHEDULE cur{};
    const int found = QAVOScheduleGet(kUsbBkp, &cur);
    if (found < 0) return BKP_LOG("check USB backup schedule setting failed"), Failed(kSchedIm);
    if (!overwrite) return 0;
    const bool stored = v[0] != 0;
    if (!stored && found != 1) return 0;
    if (stored && found == 1 && v[1] == cur.nMinute && v[2] == cur.nHour && v[3] == cur.nLastHour &&
        v[4] == static_cast<long>(cur.ulWeekdayMask) && v[5] == cur.nInterval)
        return 0;
    if (!stored) {
        if (QAVOScheduleRemove(kUsbBkp) != 0) {
            BKP_LOG("call QAVOScheduleRemove() to disable USB backup schedule failed");
            return Failed(kSchedIm);
        }
        return 0;
    }
    QAVOSCHEDULE s = cur;
    s.nMinute = static_cast<int>(v[1]);
    s.nHour = static_cast<int>(v[2]);
    s.nLastHour = static_cast<int>(v[3]);
    s.ulWeekdayMask = static_cast<uint32_t>(v[4]);
    s.nInterval = static_cast<int>(v[5]);
    memset(s.szCommand, 0, sizeof s.szCommand);
    memcpy(s.szCommand, kUsbBkp, strlen(kUsbBkp));
    if (QAVOScheduleSet(&s) != 0) {
        BKP_LOG("call QAVOScheduleSet() to disable USB backup schedule failed");
        return Failed(kSchedIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpUSBBkpShareListExport(int fd) {
    if (BadFd(fd)) return -1;
    // The list is read at its own size: it does not depend on a share
    // limit key, which the live settings need not hold.
    std::string list;
    if (!WholeKey("usbbkpshares", list)) {
        BKP_LOG("Cannot get key value of %s", "usbbkpshares");
        return Failed(kListEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_USBBKP_SHARELIST);
    if (!sec.Ok()) return Failed(kListEx);
    if (QAVOSysbkpIWriteString(fd, list.c_str()) != 0)
        return BKP_LOG("fail to write share list"), Failed(kListEx);
    return sec.Finish() ? 0 : Failed(kListEx);
}

extern "C" int QAVOSysbkpUSBBkpShareListImport(int fd, int, int) {
    if (BadFd(fd)) return -1;
    Str list;
    if (!ReadStr(fd, list)) return BKP_LOG("fail to read share list"), Failed(kListIm);
    std::string kept;
    if (list.get()[0] != '\0') {
        int need = 0;
        if (QAVOShareEnum1(nullptr, 0, &need, QAVOSHARE_CLASS_ORDINARY) < 0 || need <= 0)
            return BKP_LOG("QAVOShareEnum() failed"), Failed(kListIm);
        std::vector<char *> buf((static_cast<size_t>(need) + sizeof(char *) - 1) / sizeof(char *));
        const int n = QAVOShareEnum1(buf.data(), need, &need, QAVOSHARE_CLASS_ORDINARY);
        if (n < 0) return BKP_LOG("QAVOShareEnum() failed"), Failed(kListIm);
        std::string text = list.get();
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(',', start);
            if (end == std::string::npos) end = text.size();
            const std::string entry = text.substr(start, end - start);
            for (int i = 0; i < n && buf[static_cast<size_t>(i)]; ++i) {
                if (!entry.empty() &&
                    SLIBUnicodeUTF8StrCaseCmp(entry.c_str(), buf[static_cast<size_t>(i)]) == 0) {
                    if (!kept.empty()) kept += ",";
                    kept += entry;
                    break;
                }
            }
            start = end + 1;
        }
    }
    slib::ScopedLock lock(SLIB_LOCK_QAVOINFO, SLIB_LOCK_EX, 5);
    if (!lock.Held() || SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "usbbkpshares", kept.c_str(),
                                            SLIB_KEYVALUE_FMT_QUOTED) < 0) {
        BKP_LOG("SLIBFileGetKeyValue() failed");
        return Failed(kListIm);
    }
    return lock.Release() ? 0 : Failed(kListIm);
}

extern "C" int QAVOSysbkpUSBCopySetExport(int fd) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("usbcopy")) return 0;
    std::string folder;
    if (!cfgbkp::InfoKey("usbcopyfolder", folder, kFolderMax)) folder.clear();
    Section sec(fd, QAVOSYSBKP_ID_USBCOPYSET);
    if (!sec.Ok()) return Failed(kCopyEx);
    if (QAVOSysbkpIWriteString(fd, folder.c_str()) != 0)
        return BKP_LOG("fail to write szUSBCopyFolder [%s]", folder.c_str()), Failed(kCopyEx);
    return sec.Finish() ? 0 : Failed(kCopyEx);
}

extern "C" int QAVOSysbkpUSBCopySetImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("usbcopy")) return 0;
    Str folder;
    if (!ReadStr(fd, folder)) return BKP_LOG("fail to read backup usbcopy folder"), Failed(kCopyIm);
    char current[492] = "";
    if (USBCopyGetDestFolder(current, sizeof current) != 0)
        return BKP_LOG("fail to get current usbcopy folder"), Failed(kCopyIm);
    if (!overwrite || strcmp(current, folder.get()) == 0) return 0;
    if (USBCopySetDestFolder(folder.get()) != 0) {
        SLIBLog(LOG_ERR,
                "%s(%d) Failed to call USBCopySetDestFolder to set USBCopy destination folder",
                __func__, __LINE__);
        return Failed(kCopyIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpRCPowerExport(int fd) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportrcpower")) return 0;
    std::string value;
    if (!cfgbkp::InfoKey("enableRCPower", value, kRcMax)) value.clear();
    Section sec(fd, QAVOSYSBKP_ID_RCPOWER);
    if (!sec.Ok()) return Failed(kRcEx);
    if (QAVOSysbkpIWriteString(fd, value.c_str()) != 0)
        return BKP_LOG("fail to write RCPowerConfig [%s]", value.c_str()), Failed(kRcEx);
    return sec.Finish() ? 0 : Failed(kRcEx);
}

extern "C" int QAVOSysbkpRCPowerImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportrcpower")) return 0;
    Str value;
    if (!ReadStr(fd, value)) return BKP_LOG("fail to read RCPower config"), Failed(kRcIm);
    std::string current;
    if (!cfgbkp::InfoKey("enableRCPower", current, kRcMax)) current.clear();
    if (!overwrite || current == value.get()) return 0;
    const bool on = strcmp(value.get(), "yes") == 0;
    if (QAVOHWExternalControl(on ? QAVO_HWCMD_RCPOWER_ON : QAVO_HWCMD_RCPOWER_OFF, 0, nullptr) <
        0) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to call QAVOHWExternalControl to set Power Recovery",
                cfgbkp::kSource, __LINE__);
        return Failed(kRcIm);
    }
    if (QAVOSetRCPowerConfig(on ? 1 : 0) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to call QAVOSetRCPowerConfig to set Power Recovery Config",
                cfgbkp::kSource, __LINE__);
        return Failed(kRcIm);
    }
    return 0;
}
