// Network backup server: the "runnetbkp" switch and the start and stop of
// the rsync, backup and ssh daemons.
#include "qavo_netbkp.h"

#include <strings.h>

#include <cstring>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"

namespace {

constexpr const char *kSource = "sdk/qavonetbkp";
constexpr const char *kDefaults = "/etc.defaults/qavoinfo.conf";
constexpr const char *kRsyncd = "/usr/qavo/etc/rc.d/S84rsyncd.sh";
constexpr const char *kNetBkpd = "/usr/qavo/etc/rc.d/S85qavonetbkpd.sh";
constexpr const char *kSshd = "/usr/qavo/etc/rc.d/S95sshd.sh";

// Runs a start script with the word; true when it exits 0.
bool RunScript(const char *script, const char *word) {
    const int status = SLIBProcExecWait(script, word, nullptr, nullptr, nullptr);
    if (status == 0) return true;
    SLIBLog(LOG_ERR, "%s %s(%d): %s %s failed, status %d", kSource, "QAVONetBkpService", __LINE__,
            script, word, status);
    return false;
}

}  // namespace

extern "C" int BlQAVONetBkpIsEnabled(void) {
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH, 3) != 0) return 0;
    char value[20] = "";
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "runnetbkp", value, sizeof(value), 0);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    return r > 0 && strcasecmp(value, "yes") == 0 ? 1 : 0;
}

extern "C" int QAVONetBkpService(int action) {
    if (action != QAVO_NETBKP_STOP && action != QAVO_NETBKP_START) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    const char *word = action == QAVO_NETBKP_STOP ? "stop" : "start";
    // Both daemons are always asked, so a failing one does not leave the
    // other running after a stop.
    bool ok = RunScript(kRsyncd, word);
    ok = RunScript(kNetBkpd, word) && ok;
    char ssh[64] = "";
    if (SLIBFileGetKeyValue(kDefaults, "supportssh", ssh, sizeof(ssh), 0) <= 0) {
        SLIBErrSet(ERR_READ_FAILED);
        SLIBLog(LOG_ERR, "%s %s(%d): cannot read supportssh", kSource, __func__, __LINE__);
        return -1;
    }
    if (strcmp(ssh, "yes") == 0) ok = RunScript(kSshd, word) && ok;
    return ok ? 0 : -1;
}
