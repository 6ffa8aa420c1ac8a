#include "qavo_printer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "qavo_share.h"
#include "qavo_usbmount_util.h"
#include "qavo_usbvol.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_util.h"

namespace {

constexpr int kUsbLockTimeout = 5;
constexpr int kSmbLockTimeout = 10;
constexpr const char *kSectionFormat = "\t%s = %s\n";
constexpr const char *kDevDir = "/dev/usb/";
// "/dev/usb/" and the name fit 15 characters.
constexpr size_t kNodeMax = 15;
constexpr int kOpenAttempts = 9;
constexpr int kIdAttempts = 8;
constexpr const char *kAtalkdPid = "/var/run/atalkd.pid";
constexpr const char *kStartPapd = "/tmp/start_papd";
constexpr const char *kStartApple = "/var/tmp/startapple";
constexpr const char *kPapd = "/usr/qavo/sbin/papd";
// Seconds papd waits at most for the AppleTalk start-up to end.
constexpr int kAppleWait = 60;

// The [printers] share, key by key.
constexpr const char *kPrinterKeys[QAVO_PRINTER_SECTION_KEYS][2] = {
    {"comment", "All Printers"},
    {"path", SZF_PRINTER_SPOOL},
    {"browseable", "no"},
    {"public", "yes"},
    {"guest ok", "yes"},
    {"writable", "yes"},
    {"printable", "yes"},
    {"printer admin", "@users"},
    {"print command", "/usr/qavo/bin/lpr -P%p %s"},
    {"lpq command", "/usr/qavo/bin/lpq -P%p"},
    {"lprm command", "/usr/qavo/bin/lprm -P%p %j"},
    {"lppause command", "/usr/qavo/sbin/lpc hold %p %j"},
    {"lpresume command", "/usr/qavo/sbin/lpc release %p %j"},
    {"queuepause command", "/usr/qavo/sbin/lpc stop %p"},
    {"queueresume command", "/usr/qavo/sbin/lpc start %p"},
};

using SzHashPtr = slib::SzHashPtr;

// A printer's kernel name ("lp0"): letters and digits that keep its node
// within 15 characters, so no other node (or a path out of "/dev/usb/") is
// ever opened in its place.
bool PlainPrinter(const char *device) {
    return usbm::PlainName(device, kNodeMax - strlen(kDevDir));
}

// A kernel device name as a key of "/tmp/usbtab".
bool PlainDevice(const char *device) {
    return usbm::PlainName(device, 31);
}

// A descriptor closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// The printer's answer to the device-ID request: its text, always
// terminated inside the answer.
struct DeviceId {
    char raw[QAVO_PRINTER_ID_MAX + 1];
    const char *text;
    size_t length;  // characters of the text
};

// Opens the printer and reads its device ID (the open and the request are
// retried while the printer is busy or does not answer). 0, or -1.
int ReadDeviceId(const char *device, DeviceId *id, bool reportMaxBusy) {
    if (!PlainPrinter(device)) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) bad device name [%s]", device ? device : "(null)");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const std::string node = std::string(kDevDir) + device;
    int fd = -1;
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) break;
        const int err = errno;
        if (err != EBUSY) {
            SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) open device [%s] error:(%d) %s", node.c_str(), err,
                        strerror(err));
            return slib::Fail(ERR_OPEN_FAILED);
        }
        if (attempt < kOpenAttempts) {
            SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) %s device busy, retring...", node.c_str());
            sleep(1);
        }
    }
    if (fd < 0) {
        if (reportMaxBusy) {
            SLIBLog(LOG_ERR, "%s:%s(%d) %s device open fail reach max, abort.", __FILE__, __func__,
                    __LINE__, node.c_str());
        }
        return slib::Fail(ERR_OPEN_FAILED);
    }
    Fd holder(fd);
    // The answer is cleared first: whatever length the printer claims, the
    // text ends inside it.
    memset(id->raw, 0, sizeof id->raw);
    for (int attempt = 1;; ++attempt) {
        if (ioctl(fd, QAVO_LPIOC_GET_DEVICE_ID, id->raw) >= 0) break;
        const int err = errno;
        if (attempt >= kIdAttempts) {
            SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) ioctl LPIOC_GET_DEVICE_ID error:(%d) %s", err,
                        strerror(err));
            return slib::Fail(ERR_READ_FAILED);
        }
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) ioctl LPIOC_GET_DEVICE_ID error:(%d) %s, retry: %d", err,
                    strerror(err), attempt);
        memset(id->raw, 0, sizeof id->raw);
        sleep(1);
    }
    // Two length bytes, big-endian, counting themselves; a length below 2 or
    // beyond the answer is held to it.
    size_t length = (static_cast<size_t>(static_cast<unsigned char>(id->raw[0])) << 8) |
                    static_cast<unsigned char>(id->raw[1]);
    if (length < 2) length = 2;
    if (length > QAVO_PRINTER_ID_MAX) length = QAVO_PRINTER_ID_MAX;
    id->raw[length] = '\0';
    id->text = id->raw + 2;
    id->length = strnlen(id->text, length - 2);
    return 0;
}

// The stored form of an ID in "usb.info": one line, as the key/value reader
// gives it back (control characters as blanks, no blanks at either end).
std::string StoredForm(const char *text) {
    std::string s(text);
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// Step 3 of the enable: a different printer (or one whose ID cannot be read)
// is recorded and the printer drivers stored for the old one are dropped.
void ComparePrinters() {
    auto id = std::make_unique<DeviceId>();
    const bool readable = ReadDeviceId(SZ_PRINTER_NAME, id.get(), true) == 0;
    const std::string current = readable ? StoredForm(id->text) : std::string();
    auto previous = std::make_unique<char[]>(QAVO_PRINTER_ID_MAX + 1);
    const int got = SLIBFileGetKeyValue(SZF_USB_INFO, SZK_PRINTER_ID, previous.get(),
                                        QAVO_PRINTER_ID_MAX + 1, 0);
    if (got < 0) {
        SLIBLog(LOG_ERR, "%s:%s(%d) get previous printer id fail", __FILE__, __func__, __LINE__);
    } else if (got > 0) {
        if (readable && current == previous.get()) return;
        SLIBLog(LOG_ERR, "%s:%s(%d) printer id not match with previous", __FILE__, __func__,
                __LINE__);
    }
    if (SLIBFileSetKeyValue(SZF_USB_INFO, SZK_PRINTER_ID, current.c_str(),
                            SLIB_KEYVALUE_FMT_PLAIN) < 0) {
        SLIB_LOG_FUNC_CODE(LOG_ERR, "%s(%d)[%X] set %s failed", SZF_USB_INFO);
    }
    QAVOPrinterClearDriverTdb();
    SLIBLog(LOG_ERR, "printer driver infomation cleared.");
}

// The smb.conf lock held exclusive for one scope.
struct SmbConfLock {
    slib::ScopedLock lock{SLIB_LOCK_SMB, SLIB_LOCK_EX, kSmbLockTimeout};
};

int RemoveShare() {
    SmbConfLock smb;
    if (!smb.lock.Held()) {
        SLIB_LOG(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.");
        return slib::Fail(ERR_LOCK_FAILED);
    }
    const int r = ErrSLIBFileRemoveSection(SZF_QAVO_SMB_CONF, SZ_PRINTER_SECTION);
    if (r == 0) {
        SLIBLog(LOG_ERR, "%d: ErrSLIBFileRemoveSection failed.(section can't remove.)", __LINE__);
    } else if (r < 0) {
        SLIBLog(LOG_ERR, "%d: ErrSLIBFileRemoveSection failed.(0x%X)", __LINE__, SLIBErrGet());
        return -1;
    }
    if (!smb.lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return r > 0 ? 1 : 0;
}

int AddShare() {
    SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    if (!hash) return slib::Fail(ERR_OUT_OF_MEMORY);
    PSLIBSZHASH h = hash.release();
    bool ok = true;
    for (const auto &kv : kPrinterKeys)
        if (SLIBSzHashSetValue(&h, kv[0], kv[1]) < 0) ok = false;
    hash.reset(h);
    if (!ok) return -1;
    SmbConfLock smb;
    if (!smb.lock.Held()) {
        SLIB_LOG(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.");
        return slib::Fail(ERR_LOCK_FAILED);
    }
    const int r = ErrSLIBFileAddSection(SZF_QAVO_SMB_CONF, SZ_PRINTER_SECTION, h, kSectionFormat);
    if (r == 0) {
        SLIBLog(LOG_ERR, "%d: ErrSLIBFileAddSection failed.(section already exists.)", __LINE__);
    } else if (r < 0) {
        SLIBLog(LOG_ERR, "%d: ErrSLIBFileAddSection failed.(0x%X)", __LINE__, SLIBErrGet());
        return -1;
    }
    if (!smb.lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return r > 0 ? 1 : 0;
}

// The AppleTalk daemon's state as papd's start sees it.
enum class Atalkd { kNone, kAlive };

Atalkd ProbeAtalkd() {
    // A pid file naming no single other process (damaged, 0, 1 or below:
    // kill() would probe a process group instead) or a live process of
    // another name (a stale file) names no daemon.
    const int pid = slib::SignallablePid(kAtalkdPid);
    if (pid == 0) return Atalkd::kNone;
    if (kill(pid, 0) == 0) return Atalkd::kAlive;
    const int err = errno;
    if (err == ESRCH) return Atalkd::kNone;
    SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) kill atalkd returns %d", err);
    return Atalkd::kAlive;
}

}  // namespace

extern "C" int BlQAVOPrinterSectionIsValid(void) {
    SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    if (!hash) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return 0;
    }
    PSLIBSZHASH h = hash.release();
    const int count = SLIBFileGetSection(SZF_QAVO_SMB_CONF, SZ_PRINTER_SECTION, &h);
    hash.reset(h);
    if (count == QAVO_PRINTER_SECTION_KEYS) return 1;
    if (count > 0) {
        SLIBLog(LOG_ERR, "Section [Printers] should contain %d entries.[%d]",
                QAVO_PRINTER_SECTION_KEYS, count);
    }
    return 0;
}

extern "C" int QAVOPrinterISetDevState(int flag) {
    Fd fd(open(SZF_PRINTER_DEV, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) open device [%s] error:(%d) %s", SZF_PRINTER_DEV, err,
                    strerror(err));
        return slib::Fail(ERR_OPEN_FAILED);
    }
    int32_t arg = flag ? 1 : 0;
    const int r = ioctl(fd.get(), flag ? QAVO_LPIOC_DEVSTATE_ON : QAVO_LPIOC_DEVSTATE_OFF, &arg);
    if (r < 0) {
        const int err = errno;
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) ioctl 0x%X error:(%d) %s",
                    flag ? QAVO_LPIOC_DEVSTATE_ON : QAVO_LPIOC_DEVSTATE_OFF, err, strerror(err));
        SLIBErrSet(ERR_SYSTEM_CALL);
    }
    return r;
}

extern "C" int QAVOPrinterClearDriverTdb(void) {
    SLIBSysSystem("/usr/qavo/bin/QAVOClearTdb /var/run/ntprinters.tdb > /dev/null 2>&1");
    return 0;
}

extern "C" int QAVOPrinterCleanSpool(void) {
    int r = SLIBSysSystem("/usr/qavo/bin/lprm all > /dev/null 2>&1");
    if (r != 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): lprm all failed.(strerror=%s)",
                      r < 0 ? strerror(errno) : "exit status");
    }
    r = SLIBSysSystem("/bin/rm -rf " SZF_PRINTER_SPOOL "/*.* > /dev/null 2>&1");
    if (r != 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): remove %s failed.(strerror=%s)", SZF_PRINTER_SPOOL "/*.*",
                      r < 0 ? strerror(errno) : "exit status");
        return slib::Fail(ERR_SYSTEM_CALL);
    }
    return 0;
}

extern "C" int QAVOPrinterGetID(const char *device, char *buf, int size) {
    if (!device) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) parameter is NULL");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (!buf || size < 1) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) bad buffer (size %d)", size);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    auto id = std::make_unique<DeviceId>();
    if (ReadDeviceId(device, id.get(), true) != 0) return -1;
    const size_t room = static_cast<size_t>(size) - 1;
    const size_t n = id->length < room ? id->length : room;
    memcpy(buf, id->text, n);
    buf[n] = '\0';
    // The length counts the two length bytes, as the printer gives it.
    return id->length <= room ? 0 : static_cast<int>(id->length + 2);
}

extern "C" int QAVOPrinterSupportPostScript(const char *device) {
    if (!device) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) parameter is NULL");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    auto id = std::make_unique<DeviceId>();
    if (ReadDeviceId(device, id.get(), false) != 0) return -1;
    constexpr const char *kCmd = "CMD:";
    const char *cmd = strstr(id->text, kCmd);
    if (!cmd) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) USB DEVICE_ID does not contain [%s]: [%s]", kCmd, id->text);
        return 0;
    }
    std::string field(cmd + strlen(kCmd));
    const size_t end = field.find(';');
    if (end != std::string::npos) field.resize(end);
    const int ps = field.find("POSTSCRIPT") != std::string::npos ? 1 : 0;
    SLIB_LOG_FN(LOG_INFO, "%s:%d(%s) %s support commands: %s [%d]\n", device, field.c_str(), ps);
    return ps;
}

extern "C" void QAVOStartupPapd(const char *device) {
    if (QAVOPrinterSupportPostScript(device) == 0) return;
    bool seenAlive = false;
    for (int waited = 0;; ++waited) {
        if (ProbeAtalkd() == Atalkd::kAlive) seenAlive = true;
        if (!seenAlive) {
            // AppleTalk is not up: its start-up starts papd when it finds
            // the marker.
            int fd = open(kStartPapd, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 || fchmod(fd, 0644) != 0) {
                const int err = errno;
                SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) create %s failed:(%d) %s", kStartPapd, err,
                            strerror(err));
            }
            if (fd >= 0) close(fd);
            return;
        }
        struct stat st;
        if (stat(kStartApple, &st) == 0) {
            // A start-up that never ends (a marker left behind) must not
            // hold the caller for ever: the batch mount waits under the USB
            // number lock.
            if (waited >= kAppleWait) {
                SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) %s still there after %d s, papd not started",
                            kStartApple, kAppleWait);
                return;
            }
            sleep(1);
            continue;
        }
        const char *const argv[] = {
            kPapd, "-f", "/usr/qavo/etc/papd.conf", "-p", "/usr/qavo/etc/printcap", nullptr};
        if (SLIBProcExecWaitArgv(argv, nullptr, nullptr) < 0)
            SLIBLog(LOG_ERR, "%s:%d failed to papd", __FILE__, __LINE__);
        return;
    }
}

extern "C" int QAVOPrinterEnableExt(int on, const char *device, const char *usbPath) {
    if (on != 0 && on != 1) {
        SLIB_LOG(LOG_ERR, "%s(%d): bad parameter(on = %d).", on);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    slib::ScopedLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, kUsbLockTimeout);
    if (!lock.Held()) {
        SLIB_LOG(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.");
        return slib::Fail(ERR_LOCK_FAILED);
    }
    if (device) {
        if (!PlainDevice(device)) {
            SLIB_LOG(LOG_ERR, "%s(%d): %s bad parameter(szDevice).", SZF_USBTAB);
            return slib::Fail(ERR_BAD_PARAMETERS);
        }
        if (on == 0) {
            if (SLIBFileRemoveKey(SZF_USBTAB, device) != 1) {
                SLIB_LOG(LOG_ERR, "%s(%d): %s Remove entry %s failed.(%X)", SZF_USBTAB, device,
                         SLIBErrGet());
                return -1;
            }
        } else {
            if (!usbPath || !*usbPath) {
                SLIB_LOG(LOG_ERR, "%s(%d): %s bad parameter(szDevice).", SZF_USBTAB);
                return slib::Fail(ERR_BAD_PARAMETERS);
            }
            if (SLIBFileSetKeyValue(SZF_USBTAB, device, usbPath, SLIB_KEYVALUE_FMT_QUOTED) < 0) {
                SLIB_LOG(LOG_ERR, "%s(%d): %s Set entry %s=%s failed.(%X)", SZF_USBTAB, device,
                         usbPath, SLIBErrGet());
                return -1;
            }
        }
    }
    int r;
    if (on == 1) {
        ComparePrinters();
        QAVOPrinterISetDevState(0);
        r = AddShare();
    } else {
        QAVOPrinterISetDevState(1);
        r = RemoveShare();
    }
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return r;
}
