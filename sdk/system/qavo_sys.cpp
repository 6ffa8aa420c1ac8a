// Crontab schedules, power off and reboot.
#include "qavo_sys.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qavo_hw.h"
#include "qavo_manutil.h"
#include "qavo_mtd.h"
#include "slib_errcode.h"
#include "slib_line.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = "sdk/qavosys";
constexpr size_t kLineMax = 1024;  // a schedule line with its terminator
// White space of the C locale: a word of a schedule's command ends at any of
// these, as a "%s" read takes it (a vertical tab or form feed too).
constexpr const char *kBlank = " \t\v\f\r\n";

// Whether the crontab has a line containing key: 1 yes, 0 no, -1 read error.
// A missing crontab has no lines.
int HasLine(const char *key) {
    if (access(QAVO_CRONTAB_PATH, F_OK) != 0 && errno == ENOENT) return 0;
    char probe[2];
    const int r = SLIBFileGetLine(QAVO_CRONTAB_PATH, key, probe, sizeof(probe), 0);
    if (r > 0 || (r < 0 && SLIBErrGet() == ERR_BUF_TOO_SMALL)) return 1;
    return r == 0 ? 0 : -1;
}

// Asks the cron daemon to reread the crontab (see slib::SignallablePid).
void HupCrond() {
    const int pid = slib::SignallablePid(QAVO_CROND_PID_PATH);
    if (pid == 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to hup crond", kSource, __LINE__);
        return;
    }
    if (kill(pid, SIGHUP) != 0) SLIBLog(LOG_ERR, "%s (%d) Failed to hup crond", kSource, __LINE__);
}

// The weekday field of a mask: "*" or the days joined by ",".
std::string WeekdayField(uint32_t mask) {
    if ((mask & 0x7F) == 0x7F) return "*";
    std::string field;
    for (int d = 0; d < 7; ++d) {
        if (!(mask & (1u << d))) continue;
        if (!field.empty()) field += ',';
        field += static_cast<char>('0' + d);
    }
    return field;
}

// A whole field as a decimal number (a sign allowed); false for an empty
// field or one with anything else in it.
bool ParseField(std::string_view text, int *value) {
    const std::string field(text);
    char *end;
    errno = 0;
    const long v = strtol(field.c_str(), &end, 10);
    if (field.empty() || end != field.c_str() + field.size() || errno != 0 || v < INT_MIN ||
        v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

extern "C" int QAVOSysSetCrontabLine(const char *key, const char *line) {
    // An empty key would match the first line of the file, whatever it is.
    if (key == nullptr || *key == '\0' || !slib::OneLine(key) || !slib::OneLine(line))
        return slib::Fail(ERR_BAD_PARAMETERS);
    if (line != nullptr) {
        const int has = HasLine(key);
        if (has < 0) {
            SLIBLog(LOG_ERR, "%s (%d) Failed to get line in crontab (0x%x)", kSource, __LINE__,
                    SLIBErrGet());
            return -1;
        }
        if (has) {
            if (SLIBFileSetLine(QAVO_CRONTAB_PATH, key, line, 0) < 0) {
                SLIBLog(LOG_ERR, "%s (%d) Failed to set line in crontab (0x%x)", kSource, __LINE__,
                        SLIBErrGet());
                return -1;
            }
        } else if (SLIBFileAddLine(QAVO_CRONTAB_PATH, nullptr, line, SLIB_LINE_INSERT_AFTER) < 0) {
            SLIBLog(LOG_ERR, "%s (%d) Failed to add line in crontab (0x%x)", kSource, __LINE__,
                    SLIBErrGet());
            return -1;
        }
    } else if (access(QAVO_CRONTAB_PATH, F_OK) == 0 || errno != ENOENT) {
        if (SLIBFileSetLine(QAVO_CRONTAB_PATH, key, nullptr, 0) < 0) {
            SLIBLog(LOG_ERR, "%s (%d) Failed to remove line in crontab (0x%x)", kSource, __LINE__,
                    SLIBErrGet());
            return -1;
        }
    }
    HupCrond();
    return 0;
}

extern "C" int QAVOScheduleSet(const QAVOSCHEDULE *s) {
    if (s == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): PQAVOSCHEDULE is NULL", __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const size_t cmdLen = strnlen(s->szCommand, sizeof(s->szCommand));
    // The command must be one crontab line that cron runs whole: a word to
    // find it by, no line break, no "%" (cron's own line break), and a line
    // that fits.
    const bool commandOk = strspn(s->szCommand, kBlank) < cmdLen && cmdLen < sizeof(s->szCommand) &&
                           strpbrk(s->szCommand, "\r\n%") == nullptr;
    if ((s->ulWeekdayMask & 0x7F) == 0 || s->nHour < 0 || s->nHour > 23 || s->nLastHour < 0 ||
        s->nLastHour > 23 || s->nHour > s->nLastHour || s->nInterval < 0 || s->nInterval > 23 ||
        s->nMinute < 0 || s->nMinute > 59 || !commandOk) {
        SLIBLog(LOG_ERR, "%s(%d): time or command error %d,%d,%d,%d,%.*s", __func__, __LINE__,
                s->nHour, s->nMinute, s->nInterval, s->nLastHour, static_cast<int>(cmdLen),
                s->szCommand);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    std::string hour = std::to_string(s->nHour);
    if (s->nInterval != 0 && s->nLastHour != s->nHour)
        hour += "-" + std::to_string(s->nLastHour) + "/" + std::to_string(s->nInterval);
    const std::string line = std::to_string(s->nMinute) + "\t" + hour + "\t*\t*\t" +
                             WeekdayField(s->ulWeekdayMask) + "\troot\t" +
                             std::string(s->szCommand, cmdLen);
    if (line.size() >= kLineMax) {
        SLIBLog(LOG_ERR, "%s(%d): time or command error %d,%d,%d,%d,%s", __func__, __LINE__,
                s->nHour, s->nMinute, s->nInterval, s->nLastHour, "(command too long)");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (QAVOSysSetCrontabLine(s->szCommand, line.c_str()) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to set the schedule to /etc/crontab", __func__, __LINE__);
        return -1;
    }
    return 0;
}

extern "C" int QAVOScheduleGet(const char *command, QAVOSCHEDULE *s) {
    if (command == nullptr || s == nullptr || *command == '\0')
        return slib::Fail(ERR_BAD_PARAMETERS);
    if (access(QAVO_CRONTAB_PATH, F_OK) != 0 && errno == ENOENT) {
        SLIBErrSet(ERR_NOT_FOUND);
        return 0;
    }
    char line[kLineMax];
    const int r = SLIBFileGetLine(QAVO_CRONTAB_PATH, command, line, sizeof(line), 0);
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get schedule line from /etc/crontab", __func__, __LINE__);
        return -1;
    }
    if (r == 0) {
        SLIBErrSet(ERR_NOT_FOUND);
        return 0;
    }
    // The fields are cut at every single tab: an empty field stays empty
    // and never lets the next one slide into its place.
    std::vector<std::string_view> f;
    std::string_view rest(line);
    while (f.size() < 6) {
        const size_t tab = rest.find('\t');
        if (tab == std::string_view::npos) break;
        f.push_back(rest.substr(0, tab));
        rest.remove_prefix(tab + 1);
    }
    f.push_back(rest);
    if (f.size() == 7 && (f[1].empty() || f[4].empty())) {
        SLIBLog(LOG_ERR, "%s(%d): wday or hours field from /etc/crontab is empty ", __func__,
                __LINE__);
        return -1;
    }
    int minute = -1;
    std::string_view cmd;
    if (f.size() == 7) {
        cmd = f[6].substr(std::min(f[6].find_first_not_of(kBlank), f[6].size()));
        cmd = cmd.substr(0, cmd.find_first_of(kBlank));
    }
    if (f.size() != 7 || !ParseField(f[0], &minute) || minute < 0 || minute > 59 || f[2] != "*" ||
        f[3] != "*" || f[5] != "root" || cmd.empty()) {
        SLIBLog(LOG_ERR, "%s(%d): schedule line format error. : %s", __func__, __LINE__, line);
        return -1;
    }
    uint32_t mask = 0;
    if (f[4] == "*") {
        mask = 0x7F;
    } else {
        std::string_view days = f[4];
        for (;;) {
            const size_t comma = days.find(',');
            int d;
            if (!ParseField(days.substr(0, comma), &d)) {
                SLIBLog(LOG_ERR, "%s(%d): wday field format error. : %.*s", __func__, __LINE__,
                        static_cast<int>(f[4].size()), f[4].data());
                return -1;
            }
            if (d >= 0 && d <= 6) {
                mask |= 1u << d;  // a day listed twice is still one day
            } else if (d != 7) {
                SLIBLog(LOG_ERR, "%s(%d): wday field exceeded. : %d", __func__, __LINE__, d);
            }
            if (comma == std::string_view::npos) break;
            days.remove_prefix(comma + 1);
        }
    }
    const std::string_view hour = f[1];
    int first = -1, last = -1, interval = 0;
    const size_t dash = hour.find('-'), slash = hour.find('/');
    if (dash != std::string_view::npos && slash != std::string_view::npos) {
        if (slash < dash || !ParseField(hour.substr(0, dash), &first) ||
            !ParseField(hour.substr(dash + 1, slash - dash - 1), &last) ||
            !ParseField(hour.substr(slash + 1), &interval))
            first = -1;
    } else if (hour.size() > 2) {
        SLIBLog(LOG_ERR, "%s(%d): hour field format error. : %.*s", __func__, __LINE__,
                static_cast<int>(hour.size()), hour.data());
        return -1;
    } else {
        if (!ParseField(hour, &first)) first = -1;
        last = first;
    }
    if (first < 0 || first > 23 || last < 0 || last > 23 || interval < 0 || interval > 23) {
        SLIBLog(LOG_ERR, "%s(%d): hour field exceeded. : ", __func__, __LINE__);
        return -1;
    }
    s->ulWeekdayMask = mask;
    s->nHour = first;
    s->nLastHour = last;
    s->nInterval = interval;
    s->nMinute = minute;
    s->nRunCount = interval != 0 && last >= first ? (last - first) / interval + 1 : 1;
    snprintf(s->szCommand, sizeof(s->szCommand), "%.*s", static_cast<int>(cmd.size()), cmd.data());
    return 1;
}

extern "C" int QAVOScheduleRemove(const char *command) {
    if (command == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    if (QAVOSysSetCrontabLine(command, nullptr) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to remove schedule to /etc/crontab", __func__, __LINE__);
        return -1;
    }
    return 0;
}

namespace {

// Leaves the reboot flag in the vendor partition, unlocked first: its blocks
// stay locked from power-up unless an update unlocked them. A refused unlock
// is only logged; the write says whether the flag is there.
void SetRebootFlag() {
    if (QAVOMTDUnlockPartition(QAVO_VENDOR_DEVICE) != 0)
        SLIBLog(LOG_ERR, "%s (%d) Failed to unlock %s", kSource, __LINE__, QAVO_VENDOR_DEVICE);
    const int fd = open(QAVO_VENDOR_DEVICE, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        SLIBErrSet(ERR_OPEN_FAILED);
        SLIBLog(LOG_ERR, "%s (%d) Failed to open %s", kSource, __LINE__, QAVO_VENDOR_DEVICE);
        return;
    }
    if (lseek(fd, QAVO_VENDOR_REBOOT_OFFSET, SEEK_SET) != QAVO_VENDOR_REBOOT_OFFSET) {
        SLIBErrSet(ERR_VENDOR_DATA);
        SLIBLog(LOG_ERR, "%s (%d) Failed to seek %s", kSource, __LINE__, QAVO_VENDOR_DEVICE);
        close(fd);
        return;
    }
    static const unsigned char kFlag[4] = {1, 1, 1, 1};
    size_t done = 0;
    while (done < sizeof(kFlag)) {
        const ssize_t n = write(fd, kFlag + done, sizeof(kFlag) - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SLIBErrSet(ERR_WRITE_FAILED);
            SLIBLog(LOG_ERR, "%s (%d) Failed to write the reboot flag", kSource, __LINE__);
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

}  // namespace

extern "C" void QAVOSysPowerOff(int action) {
    if (action != QAVO_POWER_OFF && action != QAVO_POWER_REBOOT) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return;
    }
    QAVOHWExternalControl(QAVO_HWCMD_POWEROFF_NOTICE, 0, nullptr);
    if (action == QAVO_POWER_REBOOT && !BlQAVOIsMSysFlash()) SetRebootFlag();
    SLIBSysSystem("/bin/dd if=/dev/mtd4 of=/dev/null bs=16384 > /dev/null 2>&1");
    SLIBSysSystem("/bin/dd if=/dev/mtd5 of=/dev/null bs=16384 > /dev/null 2>&1");
    SLIBSysSystem(action == QAVO_POWER_OFF ? "/sbin/poweroff > /dev/null 2>&1"
                                           : "/sbin/reboot > /dev/null 2>&1");
}

extern "C" int QAVOSysNoRoot(void) {
    if (SLIBSysSystem("touch /.noroot") != 0) return slib::Fail(ERR_CREATE_FAILED);
    return 0;
}
