#include "updt_status.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "qavo_mtd.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_proc.h"
#include "updt_patchinfo.h"

namespace {

// Retries of the progress writer's lock after the first try, and the pause
// after each failed retry.
constexpr int kLockRetries = 20;
constexpr useconds_t kLockPauseUs = 337;

bool WriteAt0(int fd, const char *text) {
    size_t len = strlen(text), done = 0;
    while (done < len) {
        ssize_t w = pwrite(fd, text + done, len - done, static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

extern "C" int UPDTWriteStatusFile(const char *szPath, const char *szText, int blRetry) {
    if (!szPath || !szText) return -1;
    // The files live in a folder everyone may write to: a link planted at
    // the name is never followed, and only a regular file is written.
    int fd = open(szPath, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        fd = open(szPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool locked = false;
        for (int i = 0; blRetry && i < kLockRetries && !locked; ++i) {
            locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
            if (!locked) usleep(kLockPauseUs);
        }
        if (!locked) {
            close(fd);
            return -2;
        }
    }
    int result = WriteAt0(fd, szText) ? 0 : -3;
    if (result == 0 && fdatasync(fd) != 0) result = -3;
    flock(fd, LOCK_UN);
    close(fd);
    return result;
}

extern "C" void UPDTSetProgress(char chStage, int value) {
    char rec[16];
    snprintf(rec, sizeof rec, "%c:%d:      ", chStage, value);
    UPDTWriteStatusFile(UPDT_PROGRESS_FILE, rec, 1);
}

extern "C" void UPDTSetMessage(const char *szKey, const char *szValue) {
    if (!szKey || !szValue) return;
    char rec[1024];
    snprintf(rec, sizeof rec, "%s=\"%s\"", szKey, szValue);
    UPDTWriteStatusFile(UPDT_MESSAGE_FILE, rec, 1);
}

extern "C" void UPDTLog(const char *szMsg) {
    if (!szMsg) return;
    char when[64] = {};
    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm)) strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S", &tm);
    std::string line;
    try {
        line = std::string(when) + "\t" + szMsg;
    } catch (...) {
        return;
    }
    SLIBFileAppendLine(UPDT_LOG_FILE, line.c_str());
}

extern "C" void UPDTTruncateLog(void) {
    struct stat st;
    if (stat(UPDT_LOG_FILE, &st) == 0 && st.st_size > UPDT_LOG_MAX_SIZE)
        SLIBFileTruncate(UPDT_LOG_FILE);
}

extern "C" int UPDTExecute(const char *szCmd) {
    if (!szCmd) return -1;
    int status = SLIBSysSystem(szCmd);
    if (status == -1) {
        SLIBLog(LOG_ERR, "%s(%d): failed to execute cmd=[%s], ret = %d", __func__, __LINE__, szCmd,
                -1);
        return -1;
    }
    // Only a normal end with status 0 is success: a shell killed by a signal
    // (or whose command was) is a failure too, reported as 128 + the signal.
    int code = WIFEXITED(status)     ? WEXITSTATUS(status)
               : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                     : -1;
    if (code != 0) {
        SLIBLog(LOG_ERR, "%s(%d): failed to execute cmd=[%s], ret = %d", __func__, __LINE__, szCmd,
                code);
        return -1;
    }
    return 0;
}

extern "C" int UPDTLockAll(int lock) {
    for (const PARTDEVMAP *row = gPartDevMap; row->szDevice; ++row) {
        if (BlUPDTIsNeverWritten(row->szPart)) continue;
        if (lock == 1) {
            if (QAVOMTDLockPartition(row->szDevice) != 0) {
                SLIBLog(LOG_ERR, "%s: QAVOMTDLockPartition(%s) fail", __func__, row->szDevice);
                return -1;
            }
        } else if (QAVOMTDUnlockPartition(row->szDevice) != 0) {
            SLIBLog(LOG_ERR, "%s: QAVOMTDUnlockPartition(%s) fail", __func__, row->szDevice);
            return -1;
        }
    }
    return 0;
}

extern "C" int UPDTLockAllPartition(void) {
    return UPDTLockAll(1);
}

extern "C" int UPDTUnlockAllPartition(void) {
    return UPDTLockAll(0);
}
