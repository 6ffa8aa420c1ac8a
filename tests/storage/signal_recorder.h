// A stand-in daemon for the storage tests: a process that writes down the
// signals it is sent.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "appliance.h"

namespace usim {

// A process that records every SIGUSR1/SIGUSR2 it gets, one number a line.
// With a name it plays that daemon: the library signals a pid file's process
// only when it is named like the daemon the file belongs to. The name is set
// before this returns.
inline pid_t Recorder(const std::string &log, const char *name = nullptr) {
    int named[2];
    if (pipe2(named, O_CLOEXEC) != 0) return -1;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    // Blocked before the fork: a signal sent at once waits for the child.
    sigset_t old;
    sigprocmask(SIG_BLOCK, &set, &old);
    const pid_t pid = fork();
    if (pid != 0) sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid == 0) {
        close(named[0]);
        if (name && prctl(PR_SET_NAME, name) != 0) _exit(1);
        if (write(named[1], "n", 1) != 1) _exit(1);
        close(named[1]);
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) _exit(1);
            FILE *f = fopen(log.c_str(), "a");
            if (f) {
                fprintf(f, "%d\n", sig);
                fclose(f);
            }
        }
    }
    close(named[1]);
    char c;
    const bool ready = pid > 0 && read(named[0], &c, 1) == 1;
    close(named[0]);
    if (pid > 0 && !ready) {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

inline void Stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The signals recorded so far, waiting up to two seconds for count of them.
inline std::string Signals(const std::string &log, size_t count) {
    std::string s;
    qtest::WaitUntil(
        [&] {
            s = qtest::FileExists(log) ? qtest::ReadFile(log) : "";
            return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) >= count;
        },
        std::chrono::seconds(2));
    return s;
}

}  // namespace usim
