// Actions on the UPnP port-mapping and dynamic-DNS daemons: their start
// scripts are recording stand-ins, the daemons sleeping processes that carry
// the daemons' names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_servsetting.h"

namespace {

const char *const kUPnPScript = "/usr/qavo/etc/rc.d/S10UPnPportmap.sh";
const char *const kDDNSScript = "/usr/qavo/etc/rc.d/S09DDNS.sh";

// A process whose command line reads "name 60", its id in the pid file.
pid_t FakeDaemon(const char *name, const char *pidFile) {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", name, "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    qtest::WriteFile(pidFile, std::to_string(pid) + "\n");
    usleep(100000);  // until its command line shows the name
    return pid;
}

// How the daemon ended: the signal that killed it, or 0 while it runs.
int EndedBy(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
        usleep(20000);
    }
    return 0;
}

using Action = int (*)(int);

struct Daemon {
    Action act;
    const char *name, *pidFile, *script, *scriptName;
};
const Daemon kDaemons[] = {
    {QAVOUPnPService, "upnpd", "/var/run/upnpd.pid", kUPnPScript, "S10UPnPportmap.sh"},
    {QAVODDNSService, "/usr/qavo/sbin/ddnsd", "/var/run/ddnsd.pid", kDDNSScript, "S09DDNS.sh"},
};

TEST(ServiceDaemons, StoppedDaemonsAreOnlyStartedAndUnknownActionsDoNothing) {
    for (const Daemon &d : kDaemons) {
        SCOPED_TRACE(d.script);
        qtest::ClearCalls();
        EXPECT_EQ(d.act(0), 1);
        EXPECT_EQ(d.act(5), 1);
        EXPECT_EQ(d.act(1), 0);
        EXPECT_EQ(d.act(4), 0);
        EXPECT_TRUE(qtest::Calls().empty());
        EXPECT_EQ(d.act(2), 1);
        EXPECT_EQ(d.act(3), 1);
        const std::vector<std::vector<std::string>> restart = {{d.script, "restart"},
                                                               {d.script, "restart"}};
        EXPECT_EQ(qtest::Calls(), restart);

        qtest::SetStandinStatus(d.scriptName, 3);
        EXPECT_EQ(d.act(3), -1);
        qtest::SetStandinStatus(d.scriptName, 0);
    }
    EXPECT_TRUE(qtest::SyslogHas("sdk/qavonetserv(", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("Failed to do action 3 to upnpd, return=3", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("Failed to do action 3 on DDNS daemon, return value=3", LOG_ERR));
}

TEST(ServiceDaemons, RunningDaemonsAreReloadedWithHangupAndStoppedByScript) {
    for (const Daemon &d : kDaemons) {
        SCOPED_TRACE(d.script);
        const pid_t pid = FakeDaemon(d.name, d.pidFile);
        qtest::ClearCalls();
        EXPECT_EQ(d.act(4), 1);
        EXPECT_EQ(EndedBy(pid), SIGHUP);
        EXPECT_TRUE(qtest::Calls().empty());

        const pid_t again = FakeDaemon(d.name, d.pidFile);
        EXPECT_EQ(d.act(1), 1);
        const std::vector<std::vector<std::string>> stop = {{d.script, "stop"}};
        EXPECT_EQ(qtest::Calls(), stop);
        kill(again, SIGKILL);
        waitpid(again, nullptr, 0);
    }
}

}  // namespace
