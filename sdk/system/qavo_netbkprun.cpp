// Network backup runs: stopping the rsync of the running backup.
#include "qavo_netbkprun.h"

#include <signal.h>

#include <cerrno>

#include "slib_errcode.h"
#include "slib_proc.h"

extern "C" int QAVONetBkpCancelCurrRsync(void) {
    int pids[256];
    const int found = SLIBProcGetPidsByName(QAVO_NETBKP_RSYNC_MARK, pids, 256);
    if (found <= 0) return -1;
    const int pid = pids[(found < 256 ? found : 256) - 1];  // the last one listed
    if (pid <= 0) return -1;
    if (kill(pid, SIGTERM) != 0 && errno != ESRCH) {
        SLIBLog(LOG_ERR, "%s(%d): system[/bin/kill -15 %d] failed!", __func__, __LINE__, pid);
        return -1;
    }
    return 0;
}
