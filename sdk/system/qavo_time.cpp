// Date, time, NTP, time zone and code page.
#include "qavo_time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/ioctl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qavo_hw.h"
#include "qavo_sys.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_rewrite.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

constexpr SLIBLOCKREQ kInfoEx = SLIB_LOCK_QAVOINFO | SLIB_LOCK_EX;
constexpr SLIBLOCKREQ kInfoSh = SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH;
constexpr int kLockTimeout = 5;

// Releases the named lock of mask when it goes out of scope; Release()
// earlier tells whether that worked.
class LockHold {
  public:
    explicit LockHold(uint32_t mask) : mask_(mask) {}
    ~LockHold() {
        if (mask_) SLIBErrSLIBFileUnlock(mask_);
    }
    LockHold(const LockHold &) = delete;
    LockHold &operator=(const LockHold &) = delete;
    bool Release() {
        const uint32_t m = mask_;
        mask_ = 0;
        if (SLIBErrSLIBFileUnlock(m) == 0) return true;
        SLIBErrSet(ERR_UNLOCK_FAILED);
        return false;
    }

  private:
    uint32_t mask_;
};

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

uint8_t Bcd(int v) {
    return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

// A text field of a fixed-size record: terminated inside its array.
bool Terminated(const char *s, size_t size) {
    return memchr(s, '\0', size) != nullptr;
}

// The crontab time fields of an NTP period.
const char *PeriodFields(const char *period) {
    if (strcmp(period, "weekly") == 0) return "0\t0\t*\t*\t0";
    if (strcmp(period, "monthly") == 0) return "0\t0\t1\t*\t*";
    return "0\t0\t*\t*\t*";
}

// A zone name that may be joined to the zone folder: relative, without
// empty, "." or ".." components, one line.
bool IsZoneName(const char *zone) {
    if (*zone == '\0' || !slib::OneLine(zone)) return false;
    const std::string z(zone);
    size_t start = 0;
    for (;;) {
        const size_t end = z.find('/', start);
        const std::string part = z.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// Reads a whole regular file.
bool ReadWhole(const std::string &path, std::string *out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buf[8192];
    while (ok) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

// Writes a file whole through its temporary copy.
bool Replace(const std::string &path, const std::string &content) {
    slib::RewriteSet rw;
    FILE *fp = rw.Open(path);
    if (fp == nullptr) return false;
    if (!slib::WriteAll(fp, content)) {
        SLIBErrSet(ERR_WRITE_FAILED);
        return false;
    }
    return rw.Commit();
}

// Standard-time offset west of UTC, in seconds, of the zone now in
// /etc/localtime. The C library keeps a zone it has read for as long as the
// zone's name stays the same, so it reads the file under another name of the
// same file once, then under the caller's own setting again.
long LocaltimeOffsetWest() {
    const char *tz = getenv("TZ");
    const std::string saved = tz ? tz : "";
    setenv("TZ", ":/etc/./localtime", 1);
    tzset();
    const long west = timezone;
    if (tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    return west;
}

}  // namespace

extern "C" int QAVOTimeDaysToDate(int days, int date[3]) {
    if (days < 0 || date == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    const time_t t = static_cast<time_t>(days) * 86400;
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr) return slib::Fail(ERR_SYSTEM_CALL);
    date[0] = tm.tm_year + 1900;
    date[1] = tm.tm_mon + 1;
    date[2] = tm.tm_mday;
    return 0;
}

extern "C" int QAVOTimeDateToDays(int *days, const int date[3]) {
    if (days == nullptr || date == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    struct tm tm {};
    tm.tm_year = date[0] - 1900;
    tm.tm_mon = date[1] - 1;
    tm.tm_mday = date[2];
    const time_t t = timegm(&tm);
    // Whole days, rounded down also before 1970.
    const time_t d = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
    *days = d > INT_MAX ? INT_MAX : d < INT_MIN ? INT_MIN : static_cast<int>(d);
    return 0;
}

extern "C" int QAVOTimeGetLocal(int t[6]) {
    if (t == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    const time_t now = time(nullptr);
    struct tm tm;
    if (now == static_cast<time_t>(-1) || localtime_r(&now, &tm) == nullptr)
        return slib::Fail(ERR_SYSTEM_CALL);
    t[0] = tm.tm_year + 1900;
    t[1] = tm.tm_mon + 1;
    t[2] = tm.tm_mday;
    t[3] = tm.tm_hour;
    t[4] = tm.tm_min;
    t[5] = tm.tm_sec;
    return 0;
}

extern "C" int QAVOHWSetRTCTime(time_t t) {
    if (t == 0) t = time(nullptr);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return -1;
    const int year = tm.tm_year + 1900;
    // The clock keeps two BCD digits of the year.
    if (year > 2099) {
        SLIBLog(LOG_ERR, "%s(%d): the hardware clock cannot hold the year %d", __func__, __LINE__,
                year);
        return -1;
    }
    const int fd = QAVOHWBiosOpen();
    if (fd < 0) return 0;
    const int h12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    uint8_t rec[8] = {
        Bcd(tm.tm_sec),
        Bcd(tm.tm_min),
        static_cast<uint8_t>(Bcd(h12) + (tm.tm_hour >= 12 ? 0x20 : 0)),
        Bcd(tm.tm_wday),
        Bcd(tm.tm_mday),
        Bcd(tm.tm_mon + 1),
        Bcd(year > 2000 ? year - 2000 : 0),
        0,
    };
    if (ioctl(fd, QAVO_BIOS_RTC, rec) < 0)
        SLIBLog(LOG_ERR, "%s(%d): failed to set the hardware clock (%m)", __func__, __LINE__);
    close(fd);
    return 0;
}

extern "C" int QAVOTimeSet(const int t[6]) {
    if (t == nullptr || t[0] < 2000 || t[0] > 9999 || t[1] < 1 || t[1] > 12 || t[2] < 1 ||
        t[2] > DaysInMonth(t[0], t[1]) || t[3] < 0 || t[3] > 23 || t[4] < 0 || t[4] > 59 ||
        t[5] < 0 || t[5] > 59)
        return slib::Fail(ERR_BAD_PARAMETERS);
    struct tm tm {};
    tm.tm_year = t[0] - 1900;
    tm.tm_mon = t[1] - 1;
    tm.tm_mday = t[2];
    tm.tm_hour = t[3];
    tm.tm_min = t[4];
    tm.tm_sec = t[5];
    tm.tm_isdst = -1;
    const time_t when = mktime(&tm);
    if (when == static_cast<time_t>(-1)) return slib::Fail(ERR_EXEC_FAILED);
    const timeval tv{when, 0};
    if (settimeofday(&tv, nullptr) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): settimeofday failed (%m)", __func__, __LINE__);
        return slib::Fail(ERR_EXEC_FAILED);
    }
    QAVOHWSetRTCTime(when);
    return 0;
}

extern "C" int QAVONTPGet(QAVONTPINFO *info) {
    if (info == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    if (ErrSLIBFileLock(kInfoEx, kLockTimeout) != 0) return slib::Fail(ERR_LOCK_FAILED);
    LockHold hold(SLIB_LOCK_QAVOINFO);
    char run[16] = "";
    info->fEnabled =
        SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "run_ntpdate", run, sizeof(run), 0) > 0 &&
                strcasecmp(run, "yes") == 0
            ? 1
            : 0;
    memset(info->szPeriod, 0, sizeof(info->szPeriod));
    memset(info->szServer, 0, sizeof(info->szServer));
    memset(info->szServerBackup, 0, sizeof(info->szServerBackup));
    const struct {
        const char *key;
        char *buf;
        int size;
    } keys[] = {
        {"ntpdate_period", info->szPeriod, sizeof(info->szPeriod)},
        {"ntpdate_server", info->szServer, sizeof(info->szServer)},
        {"ntpdate_server_backup", info->szServerBackup, sizeof(info->szServerBackup)},
    };
    for (const auto &k : keys)
        if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, k.key, k.buf, k.size, 0) < 0)
            memset(k.buf, 0, static_cast<size_t>(k.size));
    return hold.Release() ? 1 : -1;
}

extern "C" int QAVONTPSet(const QAVONTPINFO *info) {
    QAVONTPINFO off{};
    const QAVONTPINFO &in = info ? *info : off;
    // The servers go into a root crontab line: only host names and
    // addresses; the second server may be empty, and so may the first while
    // synchronisation is off.
    if (!Terminated(in.szPeriod, sizeof(in.szPeriod)) || !slib::OneLine(in.szPeriod) ||
        !Terminated(in.szServer, sizeof(in.szServer)) ||
        !Terminated(in.szServerBackup, sizeof(in.szServerBackup)) ||
        (!slib::IsHostName(in.szServer) && (in.fEnabled == 1 || in.szServer[0] != '\0')) ||
        (!slib::IsHostName(in.szServerBackup) && in.szServerBackup[0] != '\0')) {
        SLIBLog(LOG_ERR, "%s(%d): bad NTP settings", __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (ErrSLIBFileLock(kInfoEx, kLockTimeout) != 0) return -4;
    LockHold hold(SLIB_LOCK_QAVOINFO);
    if (in.fEnabled == 1) {
        const std::string line = std::string(PeriodFields(in.szPeriod)) + "\troot\t" +
                                 QAVO_NTPDATE + " -b " + in.szServer + " " + in.szServerBackup;
        if (QAVOSysSetCrontabLine(QAVO_NTPDATE, line.c_str()) < 0) return -1;
    } else if (QAVOSysSetCrontabLine(QAVO_NTPDATE, nullptr) < 0) {
        return -3;
    }
    bool ok = QAVOINFOSetKeyValue("run_ntpdate", in.fEnabled == 1 ? "yes" : "no") >= 0;
    ok = QAVOINFOSetKeyValue("ntpdate_period", in.szPeriod) >= 0 && ok;
    ok = QAVOINFOSetKeyValue("ntpdate_server", in.szServer) >= 0 && ok;
    ok = QAVOINFOSetKeyValue("ntpdate_server_backup", in.szServerBackup) >= 0 && ok;
    if (!ok) SLIBLog(LOG_ERR, "%s(%d): failed to store the NTP settings", __func__, __LINE__);
    return hold.Release() && ok ? 1 : -1;
}

extern "C" int QAVOZoneGet(char *buffer, int size, int *needed) {
    if (ErrSLIBFileLock(kInfoSh, kLockTimeout) != 0) return slib::Fail(ERR_LOCK_FAILED);
    LockHold hold(SLIB_LOCK_QAVOINFO);
    if ((size != 0 && buffer == nullptr) || size < 0 || needed == nullptr)
        return slib::Fail(ERR_BAD_PARAMETERS);
    char zone[256] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "timezone", zone, sizeof(zone), 0) <= 0)
        return slib::Fail(ERR_NOT_FOUND);
    *needed = static_cast<int>(strlen(zone)) + 1;
    if (buffer != nullptr) {
        if (size < *needed) return slib::Fail(ERR_BUF_TOO_SMALL);
        memcpy(buffer, zone, static_cast<size_t>(*needed));
    }
    return hold.Release() ? 0 : -1;
}

extern "C" int QAVOZoneSet(const char *zone, int daylight) {
    if (ErrSLIBFileLock(kInfoEx, kLockTimeout) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): lock file failed", __func__, __LINE__);
        return -1;
    }
    LockHold hold(SLIB_LOCK_QAVOINFO);
    if (zone == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): szZone input null", __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    // Only the zones of the table, and only names inside the zone folder.
    char desc[1024];
    const std::string file = std::string(QAVO_ZONE_DIR) + zone;
    struct stat st;
    if (!IsZoneName(zone) ||
        SLIBFileGetKeyValue(QAVO_ZONE_TABLE, zone, desc, sizeof(desc), 0) <= 0 ||
        stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        SLIBLog(LOG_ERR, "%s(%d): stat [%s] failed", __func__, __LINE__, file.c_str());
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    std::string data;
    if (!ReadWhole(file, &data) || !Replace(QAVO_LOCALTIME_FILE, data)) {
        SLIBLog(LOG_ERR, "%s(%d): copy [%s] to %s failed", __func__, __LINE__, file.c_str(),
                QAVO_LOCALTIME_FILE);
        return slib::Fail(ERR_UNICODE);
    }
    bool ok = true;
    if (QAVOINFOSetKeyValue("timezone", zone) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): set key value failed for timezone [%s]", __func__, __LINE__,
                zone);
        ok = false;
    }
    char tz[80] = "";
    if (SLIBFileGetKeyValue(QAVO_ZONE_LIST, zone, tz, sizeof(tz), 0) > 0) {
        if (!slib::OneLine(tz) || !Replace(QAVO_TZ_FILE, std::string(tz) + "\n")) {
            SLIBLog(LOG_ERR, "%s(%d): failed to write %s", __func__, __LINE__, QAVO_TZ_FILE);
            ok = false;
        }
    } else {
        SLIBLog(LOG_ERR, "%s (%d) Failed to get the short zone [%s] from [%s]", __func__, __LINE__,
                zone, QAVO_ZONE_LIST);
    }
    const std::string clock = std::string("ZONE=Timezone/") + zone +
                              "\nUTC=" + (daylight == 1 ? "true" : "false") + "\nARC=false\n";
    if (!Replace(QAVO_CLOCK_FILE, clock)) {
        SLIBLog(LOG_ERR, "%s(%d): failed to write %s", __func__, __LINE__, QAVO_CLOCK_FILE);
        return -1;
    }
    struct timezone ktz {};
    ktz.tz_minuteswest = static_cast<int>(LocaltimeOffsetWest() / 60);
    if (settimeofday(nullptr, &ktz) != 0)
        SLIBLog(LOG_ERR, "%s(%d): failed to give the kernel the zone (%m)", __func__, __LINE__);
    if (!hold.Release()) return -1;
    return ok ? 1 : -1;
}

extern "C" int QAVOZoneIsDayLightSaving(int *flag) {
    if (flag == nullptr) {
        SLIBLog(LOG_ERR, "%s: parameter error", __func__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    *flag = 0;
    char value[64] = "";
    if (SLIBFileGetKeyValue(QAVO_CLOCK_FILE, "UTC", value, sizeof(value), 0) <= 0) {
        SLIBLog(LOG_ERR, "%s: fail to get UTC", __func__);
        return -1;
    }
    if (strcasecmp(value, "true") == 0) *flag = 1;
    return 0;
}

extern "C" int QAVOZoneGetDesc(const char *zone, char *buffer, int size, int *needed) {
    if (zone == nullptr || needed == nullptr || size < 0 || (size != 0 && buffer == nullptr))
        return slib::Fail(ERR_BAD_PARAMETERS);
    char desc[1024] = "";
    const int r = SLIBFileGetKeyValue(QAVO_ZONE_TABLE, zone, desc, sizeof(desc), 0);
    if (r <= 0) {
        if (r == 0) SLIBErrSet(ERR_NOT_FOUND);
        return -1;
    }
    *needed = static_cast<int>(strlen(desc)) + 1;
    if (buffer == nullptr) return 0;
    if (size < *needed) return slib::Fail(ERR_BUF_TOO_SMALL);
    memcpy(buffer, desc, static_cast<size_t>(*needed));
    return 1;
}

extern "C" int QAVOZoneEnum(char **buffer, int size, int *needed) {
    if (needed == nullptr || size < 0 || (size != 0 && buffer == nullptr))
        return slib::Fail(ERR_BAD_PARAMETERS);
    FILE *fp = fopen(QAVO_ZONE_TABLE, "re");
    if (fp == nullptr) return slib::Fail(ERR_OPEN_FAILED);
    slib::FilePtr hold(fp);
    std::vector<std::string> names;
    size_t text = 0;
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, fp) >= 0) {
        if (strchr(line, '=') == nullptr) continue;
        const size_t n = strcspn(line, "= \t\r\n");
        if (n == 0) continue;
        names.emplace_back(line, n);
        text += n + 1;
    }
    free(line);
    if (ferror(fp)) return slib::Fail(ERR_READ_FAILED);
    const size_t total = text + sizeof(char *) * (names.size() + 1);
    if (total > INT_MAX) return slib::Fail(ERR_OUT_OF_MEMORY);
    *needed = static_cast<int>(total);
    if (buffer == nullptr) return 0;
    if (static_cast<size_t>(size) < total) return slib::Fail(ERR_BUF_TOO_SMALL);
    char *strings = reinterpret_cast<char *>(buffer) + size - text;
    for (size_t i = 0; i < names.size(); ++i) {
        memcpy(strings, names[i].c_str(), names[i].size() + 1);
        buffer[i] = strings;
        strings += names[i].size() + 1;
    }
    buffer[names.size()] = nullptr;
    return static_cast<int>(names.size());
}

extern "C" int QAVOCodePageGet(int which, int *index) {
    if (index == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    if (ErrSLIBFileLock(SLIB_LOCK_SMB | SLIB_LOCK_SH, kLockTimeout) != 0) return -1;
    LockHold hold(SLIB_LOCK_SMB);
    int setting;
    switch (which) {
        case 1:
            setting = SLIB_CODEPAGE_WIN;
            break;
        case 2:  // passed on as they stand; the reader knows no such setting
            setting = 8;
            break;
        case 4:
            setting = 16;
            break;
        case 8:
            setting = SLIB_CODEPAGE_MEDIASERVICE;
            break;
        default:
            return slib::Fail(ERR_BAD_PARAMETERS);
    }
    int value = 0;
    if (SLIBUnicodeGetCodePage(setting, &value) < 0) return -1;
    *index = value > 14 ? value - 14 : value;
    return hold.Release() ? 1 : -1;
}

extern "C" int QAVOCodePageSet(int which, int index) {
    if (index >= 19 || index < 0) return slib::Fail(ERR_BAD_PARAMETERS);
    if (ErrSLIBFileLock(SLIB_LOCK_SMB | SLIB_LOCK_EX, kLockTimeout) != 0) return -1;
    LockHold hold(SLIB_LOCK_SMB);
    if (which != 1 || index > 14) return slib::Fail(ERR_BAD_PARAMETERS);
    // The Apple counterpart of a Windows page is 14 further on; UTF-8 stays UTF-8.
    if (SLIBUnicodeSetCodePage(SLIB_CODEPAGE_WIN, index) < 0 ||
        SLIBUnicodeSetCodePage(SLIB_CODEPAGE_APPLE, index ? index + 14 : 0) < 0)
        return -1;
    return hold.Release() ? 1 : -1;
}
