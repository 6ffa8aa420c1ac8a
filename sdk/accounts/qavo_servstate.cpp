// What the service switch reads before it acts on the file services: the
// transports of the AFP server line, whether AppleTalk and AFP run, whether
// SMB is switched on; and the web file manager's cache of domain shares,
// which it clears when SMB restarts.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "qavo_apple.h"
#include "qavo_smb.h"
#include "qavo_windomain.h"
#include "service_util.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = qsvc::kAppleSource;
constexpr const char *kAtalkdPid = "/var/run/atalkd.pid";
constexpr const char *kAfpdPid = "/var/run/afpd.pid";
constexpr const char *kStartApple = "/var/tmp/startapple";
constexpr const char *kWebfmDir = "/tmp/webfm";
constexpr const char *kValidShareCache = "webfm.domain.validshare";

// The first line of afpd.conf split at blanks, tabs and newlines into at
// most max tokens; the number of tokens, or -1 when the file does not open.
int ServerLineTokens(char *line, int size, char **tokens, int max) {
    slib::FilePtr fp(fopen(SZF_QAVO_AFPD_CONF, "re"));
    if (!fp) return slib::Fail(ERR_OPEN_FAILED);
    if (!fgets(line, size, fp.get())) line[0] = '\0';
    int n = 0;
    char *save = nullptr;
    for (char *t = strtok_r(line, " \t\n", &save); t && n < max;
         t = strtok_r(nullptr, " \t\n", &save))
        tokens[n++] = t;
    return n;
}

}  // namespace

extern "C" int QAVOAppleQueryNetwork(void) {
    if (ErrSLIBFileLock(SLIB_LOCK_APPLE | SLIB_LOCK_SH, 5) != 0) {
        SLIBErrSet(ERR_LOCK_FAILED);
        return -1;
    }
    char line[256];
    char *tokens[3];
    const int n = ServerLineTokens(line, sizeof(line), tokens, 3);
    int result = -1;
    if (n >= 3) {
        result = 0;
        if (strcmp(tokens[1], "-tcp") == 0) result |= QAVO_APPLE_TCP;
        if (strcmp(tokens[2], "-ddp") == 0) result |= QAVO_APPLE_DDP;
    }
    if (SLIBErrSLIBFileUnlock(SLIB_LOCK_APPLE) != 0) {
        SLIBErrSet(ERR_UNLOCK_FAILED);
        return -1;
    }
    return result;
}

extern "C" int QAVOAppleTestAppleRunning(void) {
    char value[64] = "";
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "runafp", value, sizeof(value), 0);
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s:%s(%d) Can't read key SZK_RUNAFP. szValue = [%s], nRet = [%d]",
                kSource, __func__, __LINE__, value, r);
        return -1;
    }
    if (strcmp(value, "no") == 0) return 0;
    if (BlSLIBProcIsPidFileAlive(kAtalkdPid) != 1) return 0;
    if (access(kStartApple, F_OK) == 0) return 1;
    return BlSLIBProcIsPidFileAlive(kAfpdPid) == 1 ? 1 : 0;
}

extern "C" int BlQAVOSambaIsEnabled(void) {
    return qsvc::QavoinfoKeyIsYes("runsamba") ? 1 : 0;
}

extern "C" int QAVOWinWebfmCacheClear(void) {
    DIR *dir = opendir(kWebfmDir);
    if (!dir) {
        SLIBErrSet(ERR_OPEN_FAILED);
        return -1;
    }
    // Entries are removed by their whole name relative to the open folder,
    // so a long name is never cut into the name of some other file.
    const int fd = dirfd(dir);
    while (struct dirent *e = readdir(dir)) {
        if (strstr(e->d_name, kValidShareCache)) unlinkat(fd, e->d_name, 0);
    }
    closedir(dir);
    return 0;
}
