// The network-service switch and the events of the all-services start and
// stop.
#include "qavo_netservice.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qavo_apple.h"
#include "qavo_download.h"
#include "qavo_netbkp.h"
#include "qavo_smb.h"
#include "qavo_windomain.h"
#include "service_util.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"

namespace {

constexpr uint32_t kLocks = SLIB_LOCK_QAVOINFO | SLIB_LOCK_APPLE | SLIB_LOCK_SMB;
constexpr int kLockTimeout = 5;
constexpr const char *kKillall = "/usr/bin/killall";
constexpr const char *kSmbd = "/usr/qavo/sbin/smbd";
constexpr const char *kNmbd = "/usr/qavo/sbin/nmbd";
constexpr const char *kSmbdPid = "/var/run/smbd.pid";
constexpr const char *kUserWebPid = "/var/run/httpd-user.pid";

// The start scripts.
constexpr const char *kAtalk = "S81atalk.sh";
constexpr const char *kFtpd = "S99ftpd.sh";
constexpr const char *kMedia = "S86qavodms.sh";
constexpr const char *kITunes = "S99iTunes.sh";
constexpr const char *kIndex = "S66qavoindexd.sh";
constexpr const char *kDownload = "S25download.sh";
constexpr const char *kPgsql = "S20pgsql.sh";
constexpr const char *kMysql = "S21mysql.sh";
constexpr const char *kUserWeb = "S97apache-user.sh";
constexpr const char *kLpd = "S55lpd.sh";
constexpr const char *kCrond = "S04crond.sh";
constexpr const char *kThumb = "S77qavomkthumbd.sh";

// How long SDKIProcKillAll keeps looking for processes that outlive SIGKILL.
constexpr int kKillRounds = 30;
constexpr useconds_t kKillPause = 100000;
constexpr int kMaxPids = 256;

// The management log's class and the level of the switch's events.
constexpr int kEventLevel = 1;

// Runs a start script with one word; its exit status (255 when it cannot be
// run) or -1.
int RunScript(const char *script, const char *word) {
    return qsvc::RunRcScript("QAVONetService", __LINE__, script, word);
}

int Killall(const char *signal, const char *name) {
    SLIBLog(LOG_INFO, "%s(%d): %s %s %s", "QAVONetService", __LINE__, kKillall, signal, name);
    return SLIBProcExecWait(kKillall, signal, name, nullptr, nullptr);
}

const char *ScriptWord(int action) {
    switch (action) {
        case NETSERV_STOP:
            return "stop";
        case NETSERV_START:
            return "start";
        default:
            return "restart";
    }
}

bool KnownAction(int action) {
    return action >= NETSERV_STOP && action <= NETSERV_RELOAD;
}

// A single script row: the action's word (reload restarts), the result bit
// when the script ran (exit status >= 0).
uint32_t SingleScript(const char *script, int action, uint32_t bit) {
    if (!KnownAction(action)) return 0;
    return RunScript(script, ScriptWord(action)) >= 0 ? bit : 0;
}

// Printer, cron and thumbnails: stop, start, or stop then start; nothing on
// reload. The bit when the last script run ran.
uint32_t StopStartScript(const char *script, int action, uint32_t bit) {
    int r;
    switch (action) {
        case NETSERV_STOP:
            r = RunScript(script, "stop");
            break;
        case NETSERV_START:
            r = RunScript(script, "start");
            break;
        case NETSERV_RESTART:
            r = RunScript(script, "stop");
            if (r >= 0) r = RunScript(script, "start");
            break;
        default:
            return 0;
    }
    return r >= 0 ? bit : 0;
}

uint32_t Afp(int action) {
    switch (action) {
        case NETSERV_STOP:
            return RunScript(kAtalk, "stop") == 0 ? NETSERV_DONE_AFP : 0;
        case NETSERV_START:
            // Only a script that ran and succeeded started the service.
            return RunScript(kAtalk, "start") == 0 ? NETSERV_DONE_AFP : 0;
        case NETSERV_RESTART:
            RunScript(kAtalk, "stop");
            return RunScript(kAtalk, "start") == 0 ? NETSERV_DONE_AFP : 0;
        case NETSERV_RELOAD:
            if (QAVOAppleQueryNetwork() > 0 && QAVOAppleTestAppleRunning() == 1 &&
                Killall("-HUP", "afpd") == 0 && Killall("-HUP", "papd") == 0) {
                return NETSERV_DONE_AFP;
            }
            return 0;
        default:
            return 0;
    }
}

uint32_t SmbStart() {
    if (!BlQAVOSambaIsEnabled()) return 0;
    SLIBLog(LOG_INFO, "%s(%d): %s -D", "QAVONetService", __LINE__, kSmbd);
    if (SLIBProcExecWait(kSmbd, "-D", nullptr, nullptr, nullptr) == -1) return 0;
    SLIBLog(LOG_INFO, "%s(%d): %s -D", "QAVONetService", __LINE__, kNmbd);
    if (SLIBProcExecWait(kNmbd, "-D", nullptr, nullptr, nullptr) == -1) return 0;
    return NETSERV_DONE_SMB;
}

uint32_t Smb(int action) {
    uint32_t done = 0;
    switch (action) {
        case NETSERV_STOP:
            if (SDKIProcKillAll("smbd") == 0 && SLIBProcKillByName("nmbd", 0) != -1) {
                done = NETSERV_DONE_SMB;
            }
            return done;
        case NETSERV_START:
            done = SmbStart();
            break;
        case NETSERV_RESTART:
            if (SLIBProcKillByName("smbd", 0) != -1 && SLIBProcKillByName("nmbd", 0) != -1 &&
                BlQAVOSambaIsEnabled()) {
                sleep(1);
                done = SmbStart();
            }
            break;
        case NETSERV_RELOAD:
            if (BlQAVOSambaIsEnabled() &&
                qsvc::SignalPidFile(kSmbdPid, SIGHUP) == qsvc::PidSignal::kSent) {
                done = NETSERV_DONE_SMB;
            }
            break;
        default:
            return 0;
    }
    // Domain users' share lists may have changed with the daemons.
    QAVOWinWebfmCacheClear();
    return done;
}

uint32_t Ftp(int action) {
    switch (action) {
        case NETSERV_STOP:
            return SDKIProcKillAll("ftpd") == 0 ? NETSERV_DONE_FTP : 0;
        case NETSERV_START:
            if (BlQAVOFTPIsEnabled() && RunScript(kFtpd, "start") != -1) return NETSERV_DONE_FTP;
            return 0;
        case NETSERV_RESTART:
            if (SLIBProcKillByName("ftpd", 0) == -1 || !BlQAVOFTPIsEnabled()) return 0;
            sleep(1);
            return RunScript(kFtpd, "start") != -1 ? NETSERV_DONE_FTP : 0;
        case NETSERV_RELOAD:
            if (BlQAVOFTPIsEnabled() && Killall("-HUP", "ftpd") == 0) return NETSERV_DONE_FTP;
            return 0;
        default:
            return 0;
    }
}

uint32_t Packages(int action) {
    struct Script {
        const char *name;
        uint32_t bit;
    };
    static constexpr Script kStopOrder[] = {
        {kITunes, NETSERV_DONE_ITUNES}, {kMedia, NETSERV_DONE_MEDIA},
        {kIndex, NETSERV_DONE_INDEX},   {kDownload, NETSERV_DONE_DOWNLOAD},
        {kPgsql, NETSERV_DONE_PGSQL},   {kMysql, NETSERV_DONE_MYSQL}};
    static constexpr Script kStartOrder[] = {
        {kPgsql, NETSERV_DONE_PGSQL},       {kMysql, NETSERV_DONE_MYSQL},
        {kDownload, NETSERV_DONE_DOWNLOAD}, {kIndex, NETSERV_DONE_INDEX},
        {kMedia, NETSERV_DONE_MEDIA},       {kITunes, NETSERV_DONE_ITUNES}};
    uint32_t done = 0;
    switch (action) {
        case NETSERV_STOP:
            for (const Script &s : kStopOrder)
                if (RunScript(s.name, "stop") >= 0) done |= s.bit;
            return done;
        case NETSERV_START:
            for (const Script &s : kStartOrder)
                if (RunScript(s.name, "start") >= 0) done |= s.bit;
            return done;
        case NETSERV_RESTART:
        case NETSERV_RELOAD:
            // The databases restart in place; what stands on them stops
            // before and starts after.
            for (const char *s : {kITunes, kMedia, kIndex, kDownload})
                RunScript(s, "stop");
            for (const char *s : {kPgsql, kMysql})
                RunScript(s, "restart");
            for (const char *s : {kDownload, kIndex, kMedia, kITunes})
                RunScript(s, "start");
            return 0;
        default:
            return 0;
    }
}

uint32_t NetBackup(int action) {
    if (action != NETSERV_STOP && action != NETSERV_START) return 0;
    if (!BlQAVONetBkpIsEnabled()) return 0;
    return QAVONetBkpService(action == NETSERV_STOP ? QAVO_NETBKP_STOP : QAVO_NETBKP_START) == 0
               ? NETSERV_DONE_NETBKP
               : 0;
}

uint32_t UserWeb(int action) {
    if (action == NETSERV_RELOAD) {
        return qsvc::SignalPidFile(kUserWebPid, SIGHUP) == qsvc::PidSignal::kSent
                   ? NETSERV_DONE_USERWEB
                   : 0;
    }
    return SingleScript(kUserWeb, action, NETSERV_DONE_USERWEB);
}

uint32_t Download(int action) {
    if (action != NETSERV_STOP && action != NETSERV_START) return 0;
    return SingleScript(kDownload, action, NETSERV_DONE_DOWNLOAD);
}

// The state letter of /proc/<pid>/stat; '\0' when the process has gone.
char ProcessState(int pid) {
    char path[32];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return '\0';
    char buf[512];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return '\0';
    buf[n] = '\0';
    // The command name in parentheses may itself hold ") ".
    const char *close = strrchr(buf, ')');
    if (close == nullptr || close[1] != ' ') return '\0';
    return close[2];
}

}  // namespace

extern "C" int QAVONetService(uint32_t mask, int action) {
    if (mask == 0) {
        SLIBLog(LOG_ERR, "%s(%d):  bad parameter", "QAVONetService", __LINE__);
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (ErrSLIBFileLock(kLocks | SLIB_LOCK_EX, kLockTimeout) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): lock failed", "QAVONetService", __LINE__);
        return -1;
    }
    const bool packages = (mask & NETSERV_PACKAGES) != 0;
    uint32_t done = 0;
    if (mask & NETSERV_AFP) done |= Afp(action);
    if (mask & NETSERV_SMB) done |= Smb(action);
    if (mask & NETSERV_FTP) done |= Ftp(action);
    // The package group acts on the media, iTunes, indexing and download
    // daemons itself.
    if ((mask & NETSERV_MEDIA) && !packages)
        done |= SingleScript(kMedia, action, NETSERV_DONE_MEDIA);
    if ((mask & NETSERV_ITUNES) && !packages)
        done |= SingleScript(kITunes, action, NETSERV_DONE_ITUNES);
    if ((mask & NETSERV_INDEX) && !packages)
        done |= SingleScript(kIndex, action, NETSERV_DONE_INDEX);
    if (packages) done |= Packages(action);
    if (mask & NETSERV_NETBKP) done |= NetBackup(action);
    if (mask & NETSERV_USERWEB) done |= UserWeb(action);
    if ((mask & NETSERV_DOWNLOAD) && !packages) done |= Download(action);
    if (mask & NETSERV_LPD) done |= StopStartScript(kLpd, action, NETSERV_DONE_LPD);
    if (mask & NETSERV_CROND) done |= StopStartScript(kCrond, action, NETSERV_DONE_CROND);
    if (mask & NETSERV_THUMB) done |= StopStartScript(kThumb, action, NETSERV_DONE_THUMB);

    const SLIBERRCODE code = SLIBErrGet();
    if (SLIBErrSLIBFileUnlock(kLocks) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): unlock failed", "QAVONetService", __LINE__);
    }
    SLIBErrSet(code);
    return static_cast<int>(done);
}

extern "C" int ErrServiceHup(void) {
    return QAVONetService(NETSERV_AFP | NETSERV_SMB | NETSERV_FTP, NETSERV_RELOAD);
}

extern "C" int ErrServiceHupByMask(int mask) {
    if (mask < 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    uint32_t request = 0;
    if (mask & 0x4) request |= NETSERV_FTP;
    if (mask & 0x10) request |= NETSERV_AFP;
    return QAVONetService(request, NETSERV_RELOAD);
}

extern "C" int ErrNetServiceStart(void) {
    const int done = QAVONetService(NETSERV_ALL, NETSERV_START);
    if (done == -1) {
        SLIBLog(LOG_ERR, "%s(%d): QAVONetService return -1", "ErrNetServiceStart", __LINE__);
        return -1;
    }
    SDKINetServEventLog(NETSERV_START, static_cast<uint32_t>(done));
    return 0;
}

extern "C" int ErrNetServiceStop(void) {
    const int done = QAVONetService(NETSERV_ALL, NETSERV_STOP);
    if (done == -1) {
        SLIBLog(LOG_ERR, "%s(%d): QAVONetService return -1", "ErrNetServiceStop", __LINE__);
        return -1;
    }
    SDKINetServEventLog(NETSERV_STOP, static_cast<uint32_t>(done));
    return 0;
}

extern "C" int SDKIProcKillAll(const char *name) {
    // An empty name is in every process line.
    if (name == nullptr || *name == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    const pid_t self = getpid();
    int pids[kMaxPids];
    for (int round = 0; round < kKillRounds; ++round) {
        const int found = SLIBProcGetPidsByName(name, pids, kMaxPids);
        if (found < 0) return -1;
        int alive = 0;
        for (int i = 0; i < std::min(found, kMaxPids); ++i) {
            // A zombie is dead already; only its parent can take it away.
            const char state = ProcessState(pids[i]);
            if (state == '\0' || state == 'Z' || state == 'X') continue;
            ++alive;
            // Init and the caller itself are never killed: they stay found,
            // and the call fails after the last round.
            if (pids[i] <= 1 || pids[i] == self) continue;
            kill(pids[i], SIGKILL);
        }
        if (alive == 0 && found <= kMaxPids) return 0;
        usleep(kKillPause);
    }
    SLIBErrSet(ERR_SYSTEM_CALL);
    SLIBLog(LOG_ERR, "%s(%d): processes of %s outlive SIGKILL", "SDKIProcKillAll", __LINE__, name);
    return -1;
}

extern "C" int BlQAVOFTPIsEnabled(void) {
    return qsvc::QavoinfoKeyIsYes("runftpd") ? 1 : 0;
}

extern "C" int QAVOINFORunKeyGet(const char *key) {
    if (key == nullptr || strncmp(key, "run", 3) != 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    char value[5];
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, value, sizeof(value), 0) <= 0) return -1;
    if (strcasecmp(value, "yes") == 0) return 1;
    if (strcasecmp(value, "no") == 0) return 0;
    return -1;
}

extern "C" int SDKINetServEventWrite(uint32_t eventId) {
    return QAVOLogEventWrite(QAVOLOG_CLASS_MAN, kEventLevel, eventId, "", "", "", "");
}

extern "C" int SDKINetServEventLog(int action, uint32_t result) {
    if (action != NETSERV_STOP && action != NETSERV_START) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    const bool start = action == NETSERV_START;
    QAVODOWNLOADINFO download;
    const bool downloadOn = QAVODownloadInfoGet(&download) == 0 && download.fDLEnabled != 0;
    struct Service {
        bool enabled;
        uint32_t bits;                 // all must be in the result for "done"
        uint32_t doneStart, doneStop;  // event ids
        uint32_t failStart, failStop;
    };
    const Service services[] = {
        {QAVOINFORunKeyGet("runftpd") == 1, NETSERV_DONE_FTP, 0x11B00002, 0x11B00006, 0x11B00000,
         0x11B00014},
        {QAVOINFORunKeyGet("runmysql") == 1, NETSERV_DONE_MYSQL, 0x11B00400, 0x11B00401, 0x11B00402,
         0x11B00403},
        {QAVOINFORunKeyGet("runmediaservice") == 1, NETSERV_DONE_MEDIA | NETSERV_DONE_PGSQL,
         0x11B00500, 0x11B00501, 0x11B00503, 0x11B00504},
        {downloadOn, NETSERV_DONE_DOWNLOAD | NETSERV_DONE_PGSQL, 0x12100111, 0x12100112, 0x12100113,
         0x12100114},
        {BlQAVONetBkpIsEnabled() == 1, NETSERV_DONE_NETBKP, 0x12900001, 0x12900002, 0x12900021,
         0x12900022},
        {QAVOINFORunKeyGet("runweb") == 1, NETSERV_DONE_USERWEB, 0x11B00300, 0x11B00301, 0x11B00303,
         0x11B00304},
        {QAVOINFORunKeyGet("runphoto") == 1, NETSERV_DONE_PGSQL | NETSERV_DONE_USERWEB, 0x11B00200,
         0x11B00201, 0x11B00204, 0x11B00205},
    };
    for (const Service &s : services) {
        if (!s.enabled) continue;
        const bool done = (result & s.bits) == s.bits;
        SDKINetServEventWrite(done ? (start ? s.doneStart : s.doneStop)
                                   : (start ? s.failStart : s.failStop));
    }
    return 0;
}
