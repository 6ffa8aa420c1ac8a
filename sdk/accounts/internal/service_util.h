// Helpers shared by the service switch, the built-in services and the
// download-manager settings. Internal to the library.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace qsvc {

// The AppleTalk and AFP settings' name in the log.
inline constexpr const char *kAppleSource = "sdk/qavoatnet";

enum class PidSignal {
    kSent,        // the daemon got the signal
    kNotRunning,  // no daemon to signal: no or damaged pid file, or a stale one
    kFailed       // the daemon runs but kill(2) refused
};

// The result of a writer after its locks are released: an unlock failure
// turns it into -1 (0x0500).
inline int Finish(slib::ScopedLock &locks, int result) {
    if (!locks.Release()) {
        SLIBErrSet(ERR_UNLOCK_FAILED);
        return -1;
    }
    return result;
}

// Where the services' start scripts are.
inline constexpr const char *kRcDir = "/usr/qavo/etc/rc.d/";

// Runs a start script of kRcDir with one word, logged as source(line); its
// exit status (255 when it cannot be run) or -1.
inline int RunRcScript(const char *source, int line, const char *script, const char *word) {
    const std::string path = std::string(kRcDir) + script;
    SLIBLog(LOG_INFO, "%s(%d): %s %s", source, line, path.c_str(), word);
    return SLIBProcExecWait(path.c_str(), word, nullptr, nullptr, nullptr);
}

// Signals the daemon a pid file names (see slib::SignallablePid).
inline PidSignal SignalPidFile(const char *path, int sig) {
    const int pid = slib::SignallablePid(path);
    if (pid == 0) return PidSignal::kNotRunning;
    if (kill(pid, sig) == 0) return PidSignal::kSent;
    return errno == ESRCH ? PidSignal::kNotRunning : PidSignal::kFailed;
}

// True when a key of "/etc/qavoinfo.conf" reads "yes" without regard to
// case, read under the qavoinfo lock held shared; false also when the lock
// cannot be taken within 10 s.
inline bool QavoinfoKeyIsYes(const char *key) {
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH, 10) != 0) return false;
    char value[20];
    const bool yes = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, value, sizeof(value), 0) > 0 &&
                     strcasecmp(value, "yes") == 0;
    SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    return yes;
}

}  // namespace qsvc

namespace qsvc {

// Runs a program without a shell and collects what it prints, through an
// unnamed temporary file (so that nobody else can read or replace it).
// Waits at most timeout seconds (0: until it ends). The exit status, or -1
// when it could not run, died, or was killed at the time-out.
inline int CaptureOutput(const char *const *argv, int timeout, std::string &out) {
    out.clear();
    char name[] = "/tmp/.qavo-outXXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0) {
        SLIBErrSet(ERR_CREATE_FAILED);
        return -1;
    }
    unlink(name);
    const int status = SLIBProcExecWaitOutput(argv, fd, timeout);
    if (lseek(fd, 0, SEEK_SET) == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) out.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return status;
}

// The lines of a text, without their line ends.
inline std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        lines.emplace_back(text, at, nl - at);
        at = nl + 1;
    }
    return lines;
}

}  // namespace qsvc
