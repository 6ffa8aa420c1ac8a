// Helpers shared by the service switch, the built-in services and the
// download-manager settings. Internal to the library.
#pragma once

#include <errno.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"

namespace qsvc {

enum class PidSignal {
    kSent,        // the daemon got the signal
    kNotRunning,  // no daemon to signal: no or damaged pid file, or a stale one
    kFailed       // the daemon runs but kill(2) refused
};

// Signals the daemon a pid file names. The number is parsed, never handed
// to a shell or kill(1): a damaged file holding -1 or 0 would name every
// process or the caller's group. Init and the caller are never signalled.
inline PidSignal SignalPidFile(const char *path, int sig) {
    const int pid = SLIBProcReadPidFile(path);
    if (pid <= 1 || pid == getpid()) return PidSignal::kNotRunning;
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
