// What the service tests read back: start-script calls, the daemon
// stand-ins' records and the management event log.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "eventlog_read.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"

namespace svctest {

constexpr const char *kRcDir = "/usr/qavo/etc/rc.d/";
constexpr const char *kSbin = "/usr/qavo/sbin/";

// The calls of start scripts and of the SMB daemons the library starts
// itself, as "S81atalk.sh start" or "smbd -D", in order. Daemons that the
// scripts start are left out.
inline std::vector<std::string> ServiceCalls() {
    std::vector<std::string> out;
    for (const auto &call : qtest::Calls()) {
        const std::string &path = call[0];
        std::string name;
        if (path.rfind(kRcDir, 0) == 0) {
            name = path.substr(strlen(kRcDir));
        } else if (path == std::string(kSbin) + "smbd" || path == std::string(kSbin) + "nmbd") {
            name = path.substr(strlen(kSbin));
        } else {
            continue;
        }
        for (size_t i = 1; i < call.size(); ++i)
            name += " " + call[i];
        out.push_back(name);
    }
    return out;
}

// One line of /sim/daemons.log.
struct DaemonEvent {
    std::string name;
    int pid;
    std::string event;  // "start", "SIGHUP", "SIGTERM", ...
};

inline std::vector<DaemonEvent> DaemonEvents() {
    std::vector<DaemonEvent> out;
    if (!qtest::FileExists("/sim/daemons.log")) return out;
    std::string text = qtest::ReadFile("/sim/daemons.log");
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos) continue;
        out.push_back(
            {line.substr(0, t1), std::stoi(line.substr(t1 + 1, t2 - t1 - 1)), line.substr(t2 + 1)});
    }
    return out;
}

// True when the process runs; a killed one its parent has not yet reaped
// (a zombie) does not.
inline bool ProcessRuns(int pid) {
    if (pid <= 1 || kill(pid, 0) != 0) return false;
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    if (!qtest::FileExists(path)) return false;
    const std::string stat = qtest::ReadFile(path);
    const size_t close = stat.rfind(") ");
    return close != std::string::npos && stat.compare(close + 2, 1, "Z") != 0;
}

// The pid of a running daemon stand-in from its pid file, else 0.
inline int RunningPid(const std::string &name) {
    int pid = SLIBProcReadPidFile(("/var/run/" + name + ".pid").c_str());
    return ProcessRuns(pid) ? pid : 0;
}

// The signals a daemon got (every instance of that name), in order. Signals
// arrive after kill(2) has returned: when the daemon runs, a marker signal
// (SIGWINCH, delivered after every lower-numbered one already pending) is
// sent and waited for first, so whatever was sent before is recorded.
inline std::vector<std::string> SignalsOf(const std::string &name) {
    auto markers = [&] {
        size_t n = 0;
        for (const auto &e : DaemonEvents())
            n += e.name == name && e.event == "SIGWINCH";
        return n;
    };
    if (int pid = RunningPid(name)) {
        const size_t before = markers();
        if (kill(pid, SIGWINCH) == 0)
            qtest::WaitUntil([&] { return markers() != before; }, std::chrono::seconds(5));
    }
    std::vector<std::string> out;
    for (const auto &e : DaemonEvents())
        if (e.name == name && e.event != "start" && e.event != "SIGWINCH") out.push_back(e.event);
    return out;
}

// A process whose command line reads "name 60" (it sleeps a minute), given
// the time to show that name.
inline pid_t SleepingAs(const char *name) {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", name, "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Until its command line shows the name: before the exec it still
    // shows the test's own.
    const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    qtest::WaitUntil(
        [&] {
            std::ifstream in(path, std::ios::binary);
            std::string argv0;
            return std::getline(in, argv0, '\0') && argv0 == name;
        },
        std::chrono::seconds(10));
    return pid;
}

// How a child ended: the signal that killed it, -1 for an exit, or 0 while
// it still runs after a second.
inline int EndedBy(pid_t pid) {
    int status = 0;
    if (!qtest::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                          std::chrono::seconds(1), std::chrono::milliseconds(20)))
        return 0;
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

// Starts a daemon stand-in as its start script would.
inline int StartDaemon(const std::string &name) {
    return qtest::Exec({std::string(kSbin) + name, "-D"});
}

inline void SetKey(const char *key, const char *value) {
    ASSERT_GE(SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, key, value, SLIB_KEYVALUE_FMT_QUOTED), 0)
        << key;
}

// The event ids of the system log (where management events go), oldest
// first, from a log that has not wrapped.
inline std::vector<uint32_t> SystemLogEvents() {
    bool wrapped = false;
    std::vector<uint32_t> ids = qtest::LogEventIds("/var/log/qavosys.log", &wrapped);
    EXPECT_FALSE(wrapped) << "the system log wrapped";
    return ids;
}

}  // namespace svctest
