// USB copy: the destination share of the front port's copy button, kept
// valid when shares disappear, and the signals to the front-panel daemon.
#include "qavo_usbcopy.h"

#include <signal.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "qavo_share.h"
#include "slib_eventlog.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = "gpl/qavousbcopy";
constexpr const char *kDefaults = "/etc.defaults/qavoinfo.conf";
constexpr int kNameSize = 492;

// The value of a key, or "" when absent or unreadable.
std::string KeyValue(const char *path, const char *key) {
    char value[64] = "";
    if (SLIBFileGetKeyValue(path, key, value, sizeof(value), 0) < 0) return "";
    return value;
}

// Data on a file system and the room on another: (used, available) bytes.
bool FsUsed(const char *path, unsigned long long *used) {
    struct statfs st;
    if (statfs(path, &st) != 0) return false;
    *used = static_cast<unsigned long long>(st.f_blocks - st.f_bavail) * st.f_bsize;
    return true;
}
bool FsFree(const char *path, unsigned long long *avail) {
    struct statfs st;
    if (statfs(path, &st) != 0) return false;
    *avail = static_cast<unsigned long long>(st.f_bavail) * st.f_bsize;
    return true;
}

}  // namespace

extern "C" int USBCOPYSignalPaneld(int sig) {
    if (KeyValue(kDefaults, SZK_USBCOPY) != "yes") return 0;
    if (sig != USBCOPY_SIG_CAN_START && sig != USBCOPY_SIG_CANNOT_START) return -1;
    // No valid id (0 would signal the caller's own group, 1 is init) or a
    // stale file naming another process: nobody to tell.
    const int pid = slib::SignallablePid(SZF_PANELD_PID);
    if (pid == 0) return 0;
    return kill(pid, sig) == 0 ? 0 : -1;
}

extern "C" int CheckUsbDefaultFolderExist(char *buf, unsigned int size) {
    if (!buf || size < 8) {
        SLIB_LOG(LOG_ERR, "%s(%d) bad parameter");
        return -1;
    }
    int needed = 0;
    if (QAVOShareEnum(nullptr, 0, &needed) < 0) {
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to QAVOShareEnum");
        return -1;
    }
    std::unique_ptr<char *[], void (*)(char **)> list(
        static_cast<char **>(calloc(1, static_cast<size_t>(needed))), [](char **p) { free(p); });
    if (!list) {
        SLIB_LOG(LOG_ERR, "%s(%d) Failed to QAVOMAlloc");
        return -1;
    }
    if (QAVOShareEnum(list.get(), needed, &needed) < 0) {
        SLIBErrSet(ERR_QUOTA_LIST);
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to QAVOShareEnum");
        return -1;
    }
    for (char **p = list.get(); *p; ++p) {
        if (SLIBUnicodeUTF8StrCaseCmp(*p, SZK_USBCOPY_FOLDER_DEFAULT) == 0) {
            snprintf(buf, size, "%s", *p);
            return 1;
        }
    }
    return 0;
}

extern "C" int USBCopySetDestFolder(const char *folder) {
    if (!folder) return slib::Fail(ERR_BAD_PARAMETERS);
    char path[128] = "";
    if (*folder && QAVOSharePathGet(folder, path, sizeof(path)) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) QAVOSharePathGet(szUSBCopyFolder=[%s]) Error", kSource, __LINE__,
                folder);
        return -1;
    }
    if (QAVOINFOSetKeyValue(SZK_USBCOPY_FOLDER, folder) < 0) return -1;
    if (!*folder) {
        USBCOPYSignalPaneld(USBCOPY_SIG_CANNOT_START);
        return 0;
    }
    if (!KeyValue(SZF_USBDISK_APPLYING, "usbcopydev").empty()) {
        const std::string source = KeyValue(SZF_USBDISK_APPLYING, "usbcopypath").substr(0, 31);
        if (source.empty()) return 0;
        unsigned long long data = 0, room = 0;
        if (!FsFree(path, &room) || !FsUsed(source.c_str(), &data)) return 0;
        USBCOPYSignalPaneld(data < room ? USBCOPY_SIG_CAN_START : USBCOPY_SIG_CANNOT_START);
        return 0;
    }
    // No pending disk: whether a camera waits is the camera tool's answer;
    // "paneld" knows no signal for it, so nothing is sent either way.
    SLIBSysSystem("/usr/qavo/bin/qavousbcam --detect >/dev/null 2>&1");
    return 0;
}

extern "C" int SetUSBCopyFolderToDefault(void) {
    char name[kNameSize] = "";
    const int found = CheckUsbDefaultFolderExist(name, sizeof(name));
    if (found < 0) {
        SLIB_LOG(LOG_ERR, "%s(%d) Failed to CheckUsbDefaultFolderExist");
        return -1;
    }
    if (found == 1) {
        if (USBCopySetDestFolder(name) != 0) {
            SLIBLog(
                LOG_ERR,
                "qavoshare: QAVOIShareDelete(): USBCopySetDestFolder(SZK_USBCOPY_FOLDER_DEFAULT) "
                "fail");
            return -1;
        }
        return 0;
    }
    if (USBCopySetDestFolder("") != 0) {
        SLIBLog(
            LOG_ERR,
            "qavoshare: QAVOIShareDelete(): USBCopySetDestFolder(SZK_EMPTY_FOLDER_DEFAULT) fail");
        return -1;
    }
    return 0;
}

extern "C" int USBCopyGetDestFolder(char *buf, int size) {
    if (!buf || size <= 0) return slib::Fail(ERR_BAD_PARAMETERS);
    auto read = [&]() {
        buf[0] = '\0';
        if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_USBCOPY_FOLDER, buf, size, 0) < 0) {
            SLIB_LOG(LOG_ERR,
                     "%s(%d) Failed to call SLIBFileGetKeyValue to get USBCopy destination folder");
            return false;
        }
        return true;
    };
    if (!read()) return -1;
    if (!*buf) {
        if (SetUSBCopyFolderToDefault() != 0) {
            SLIB_LOG(LOG_ERR,
                     "%s(%d) Failed to call SetUSBCopyFolderToDefault to set USBCopy destination "
                     "folder");
            return -1;
        }
        return read() ? 0 : -1;
    }
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(1024);
    if (!hash) {
        SLIBLog(LOG_ERR, "share:  out of memory!");
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    const int pairs = SLIBFileGetSection(SZF_QAVO_SMB_CONF, buf, &hash);
    SLIBSzHashFree(hash);
    if (pairs <= 0) {
        if (SetUSBCopyFolderToDefault() != 0) {
            SLIB_LOG(LOG_ERR,
                     "%s(%d) Failed to call SetUSBCopyFolderToDefaultr to set USBCopy destination "
                     "folder");
            return -1;
        }
        return read() ? 0 : -1;
    }
    return 0;
}

extern "C" int USBCopyResetShareFolder(const char *current, const char *deleted) {
    if (!current || !deleted) {
        SLIBLog(LOG_ERR, "%s: %s(%d): parameter error", kSource, __func__, __LINE__);
        return -1;
    }
    if (strcmp(current, deleted) != 0) return 0;
    if (strcmp(deleted, SZK_USBCOPY_FOLDER_DEFAULT) == 0) {
        if (USBCopySetDestFolder("") != 0) {
            SLIBLog(LOG_ERR,
                    "qavoshare: QAVOIShareDelete(): USBCopySetDestFolder(SZK_EMPTY_FOLDER_DEFAULT) "
                    "fail");
            return -1;
        }
        return 1;
    }
    return SetUSBCopyFolderToDefault() == 0 ? 1 : -1;
}

namespace {

constexpr const char *kCopySource = "sdk/qavousbcopy";

void CopyEvent(QAVOLOGEVENTID id, const char *arg) {
    QAVOLogEventWrite(QAVOLOG_CLASS_COPY, 3, id, arg, nullptr, nullptr, nullptr);
}

// The copy program's process id; 0 when the pid file holds none above 1.
int CopyPid() {
    const int pid = SLIBProcReadPidFile(SZF_USBCOPY_PID);
    return pid > 1 ? pid : 0;
}

}  // namespace

extern "C" int USBCOPYIsDeviceAtFrontPort(const QAVOUSB *dev) {
    if (!dev) {
        SLIBLog(LOG_ERR, "%s:%d(%s) Null parameter pqavousb", kCopySource, __LINE__, __func__);
        return -1;
    }
    if (KeyValue(kDefaults, SZK_USBCOPY) == "no") return 0;
    return QAVOUSBGetPort(dev) == QAVO_USB_FRONT_PORT ? 1 : 0;
}

extern "C" int USBCOPYIsTaskRunning(void) {
    const int pid = CopyPid();
    if (pid == 0) return -1;
    // A stale file whose number now names another process: no copy runs.
    if (kill(pid, 0) == 0) return slib::PidFileMayName(SZF_USBCOPY_PID, pid) ? 1 : 0;
    return errno == ESRCH ? 0 : -1;
}

extern "C" int USBCOPYCancelTask(void) {
    // Never a process that a stale pid file's number now names.
    const int pid = slib::SignallablePid(SZF_USBCOPY_PID);
    SLIBLog(LOG_ERR, "%s:%d(%s) Sending SIGUSR2(pid=%d)", kCopySource, __LINE__, __func__, pid);
    if (pid == 0) return 0;
    if (kill(pid, 0) != 0) return errno == ESRCH ? 0 : -1;
    if (kill(pid, SIGUSR2) != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) failed to send SIGUSR2(err=%d)", kCopySource, __LINE__,
                __func__, errno);
        return -1;
    }
    return 0;
}

extern "C" int USBCOPYStartIfFits(const char *device, const QAVOUSBVOLINFO *vol) {
    if (!device || !*device || !vol || !slib::OneLine(device) || strchr(device, '"'))
        return slib::Fail(ERR_BAD_PARAMETERS);
    if (SLIBFileSetOrAddKeyValue(SZF_USBDISK_APPLYING, SZK_USBCOPY_DEV, device,
                                 SLIB_KEYVALUE_FMT_QUOTED) < 0 ||
        SLIBFileSetOrAddKeyValue(SZF_USBDISK_APPLYING, SZK_USBCOPY_PATH, vol->szSharePath,
                                 SLIB_KEYVALUE_FMT_QUOTED) < 0)
        return -1;
    char dest[kNameSize] = "";
    if (USBCopyGetDestFolder(dest, sizeof dest) != 0) {
        CopyEvent(USBCOPY_EVENT_NO_DEST, nullptr);
        return -1;
    }
    int needed = 0;
    std::vector<char> buf;
    bool read = QAVOShareGet(1, dest, nullptr, 0, &needed) == 0 && needed > 0;
    if (read) {
        try {
            buf.assign(static_cast<size_t>(needed), '\0');
        } catch (const std::bad_alloc &) {
            read = false;
        }
    }
    read = read && QAVOShareGet(1, dest, buf.data(), needed, &needed) == 1;
    if (!read) {
        CopyEvent(USBCOPY_EVENT_DEST_UNREADABLE, dest);
        return -1;
    }
    const auto *share = reinterpret_cast<const QAVOSHARE *>(buf.data());
    unsigned long long room = 0, data = 0;
    if (!FsFree(share->szPath, &room) || !FsUsed(vol->szMountPoint, &data)) return -1;
    if (data <= room) {
        USBCOPYSignalPaneld(USBCOPY_SIG_CAN_START);
        return 0;
    }
    CopyEvent(USBCOPY_EVENT_NO_SPACE, nullptr);
    return -1;
}
