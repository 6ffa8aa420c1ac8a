// Download-manager settings in "/etc/qavoinfo.conf".
#include "qavo_download.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service_util.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"

namespace {

constexpr const char *kSource = "sdk/qavofetchmora";
constexpr const char *kDoingDefault = "/tmp/doingdefault.chk";
constexpr const char *kSchedulerPid = "/var/run/scheduler.pid";
constexpr int kLockTimeout = 5;
constexpr int kValueSize = 16;

constexpr const char *kKeyEnabled = "download_enabled";
constexpr const char *kKeyWhen = "download_when";
constexpr const char *kKeyOrder = "download_order";
constexpr const char *kKeyUlRate = "download_ul_rate";
constexpr const char *kKeyDlRate = "download_dl_rate";
constexpr const char *kKeyStartPort = "download_start_port";
constexpr const char *kKeyEndPort = "download_end_port";
constexpr const char *kKeyPortMap = "download_port_map_enabled";

void LogError(int line) {
    SLIBLog(LOG_ERR, "%s (%d) There is an error here.", kSource, line);
}

// Reads one key into buf; an absent key leaves it empty. False when the
// read fails.
bool ReadKey(const char *key, char *buf, int size) {
    buf[0] = '\0';
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, buf, size, 0);
    if (r == 0) buf[0] = '\0';
    return r >= 0;
}

// A decimal number; an empty or unparsable text is 0, one out of range the
// nearest int.
int ToInt(const char *text) {
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

bool WriteKey(const char *key, const char *value) {
    return SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, key, value, SLIB_KEYVALUE_FMT_QUOTED) >= 0;
}

// Everything a set writes, in the order it is written.
int WriteAll(const QAVODOWNLOADINFO &info) {
    // The window field may fill its 12 bytes without a terminator.
    const std::string when(info.szDLTime, strnlen(info.szDLTime, sizeof(info.szDLTime)));
    if (!WriteKey(kKeyEnabled, info.fDLEnabled ? "yes" : "no") ||
        !WriteKey(kKeyOrder, info.iDLOrder == 1 ? "user" : "request") ||
        !WriteKey(kKeyWhen, when.c_str())) {
        return -1;
    }
    const struct {
        const char *key;
        int value;
    } numbers[] = {{kKeyUlRate, info.iULRate},
                   {kKeyDlRate, info.iDLRate},
                   {kKeyStartPort, info.iStartPort},
                   {kKeyEndPort, info.iEndPort}};
    for (const auto &n : numbers) {
        char text[kValueSize];
        snprintf(text, sizeof(text), "%i", n.value);
        if (!WriteKey(n.key, text)) return -1;
    }
    return WriteKey(kKeyPortMap, info.fDLPortMapEnabled ? "yes" : "no") ? 0 : -1;
}

}  // namespace

extern "C" int QAVODownloadInfoGet(QAVODOWNLOADINFO *pInfo) {
    if (pInfo == nullptr) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        LogError(__LINE__);
        return -1;
    }
    memset(pInfo, 0, sizeof(*pInfo));
    char value[kValueSize];
    if (!ReadKey(kKeyEnabled, value, sizeof(value))) {
        LogError(__LINE__);
        return -1;
    }
    pInfo->fDLEnabled = strcmp(value, "yes") == 0 ? 1 : 0;
    if (!ReadKey(kKeyWhen, pInfo->szDLTime, sizeof(pInfo->szDLTime))) {
        LogError(__LINE__);
        return -1;
    }
    if (pInfo->szDLTime[0] == '\0') {
        snprintf(pInfo->szDLTime, sizeof(pInfo->szDLTime), "%s", QAVO_DOWNLOAD_WHEN_NONE);
    }
    if (!ReadKey(kKeyOrder, value, sizeof(value))) {
        LogError(__LINE__);
        return -1;
    }
    pInfo->iDLOrder = strcmp(value, "user") == 0 ? 1 : 0;
    const struct {
        const char *key;
        int *field;
    } numbers[] = {{kKeyUlRate, &pInfo->iULRate},
                   {kKeyDlRate, &pInfo->iDLRate},
                   {kKeyStartPort, &pInfo->iStartPort},
                   {kKeyEndPort, &pInfo->iEndPort}};
    for (const auto &n : numbers) {
        if (!ReadKey(n.key, value, sizeof(value))) {
            LogError(__LINE__);
            return -1;
        }
        *n.field = ToInt(value);
    }
    if (!ReadKey(kKeyPortMap, value, sizeof(value))) {
        LogError(__LINE__);
        return -1;
    }
    pInfo->fDLPortMapEnabled = strcmp(value, "yes") == 0 ? 1 : 0;
    return 0;
}

extern "C" int QAVODownloadInfoSet(const QAVODOWNLOADINFO *pInfo) {
    if (pInfo == nullptr) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        LogError(__LINE__);
        return -1;
    }
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_EX, kLockTimeout) != 0) {
        LogError(__LINE__);
        return -1;
    }
    int ret = 0;
    if (WriteAll(*pInfo) != 0) {
        LogError(__LINE__);
        ret = -1;
    } else {
        struct stat st;
        const bool restoringDefaults = stat(kDoingDefault, &st) == 0;
        // A scheduler that does not run reads the settings when it starts.
        if (!restoringDefaults &&
            qsvc::SignalPidFile(kSchedulerPid, SIGHUP) == qsvc::PidSignal::kFailed) {
            SLIBErrSet(ERR_SYSTEM_CALL);
            LogError(__LINE__);
            ret = -1;
        }
    }
    const SLIBERRCODE code = SLIBErrGet();
    if (SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO) != 0 && ret == 0) return -1;
    SLIBErrSet(code);
    return ret;
}
