// The UPnP port-mapping and dynamic-DNS daemons: stopped and (re)started
// through their start scripts, told to reload with SIGHUP through their pid
// files.
#include "qavo_servsetting.h"

#include <syslog.h>

#include "slib_errcode.h"
#include "slib_proc.h"

namespace {

constexpr const char *kSource = "sdk/qavonetserv";

struct Daemon {
    const char *running;  // what the running test looks for
    const char *script;
    const char *reload;  // shell command; its text is fixed
    const char *failure;
};

constexpr Daemon kUPnP = {"upnpd", "/usr/qavo/etc/rc.d/S10UPnPportmap.sh",
                          "/bin/kill -HUP `cat /var/run/upnpd.pid`",
                          "%s(%d) : Failed to do action %d to upnpd, return=%d"};
constexpr Daemon kDDNS = {"/usr/qavo/sbin/ddnsd", "/usr/qavo/etc/rc.d/S09DDNS.sh",
                          "/bin/kill -HUP `cat /var/run/ddnsd.pid`",
                          "%s(%d) : Failed to do action %d on DDNS daemon, return value=%d"};

int Act(const Daemon &d, int action, int line) {
    if (action < QAVO_SERV_STOP || action > QAVO_SERV_RELOAD) return 1;
    int status;
    switch (action) {
        case QAVO_SERV_STOP:
            if (!BlSLIBProcIsRunning(d.running)) return 0;
            status = SLIBProcExecWait(d.script, "stop", nullptr, nullptr, nullptr);
            break;
        case QAVO_SERV_RELOAD:
            if (!BlSLIBProcIsRunning(d.running)) return 0;
            status = SLIBSysSystem(d.reload);
            break;
        default:
            status = SLIBProcExecWait(d.script, "restart", nullptr, nullptr, nullptr);
            break;
    }
    if (status == 0) return 1;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    SLIBLog(LOG_ERR, d.failure, kSource, line, action, status);
#pragma GCC diagnostic pop
    return -1;
}

}  // namespace

extern "C" int QAVOUPnPService(int action) {
    return Act(kUPnP, action, __LINE__);
}

extern "C" int QAVODDNSService(int action) {
    return Act(kDDNS, action, __LINE__);
}
