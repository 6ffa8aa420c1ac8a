// A stand-in daemon for the storage tests: a process that writes down the
// signals it is sent.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "appliance.h"

namespace usim {

// A process that records every SIGUSR1/SIGUSR2 it gets, one number a line.
inline pid_t Recorder(const std::string &log) {
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
    return pid;
}

inline void Stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The signals recorded so far, waiting up to two seconds for count of them.
inline std::string Signals(const std::string &log, size_t count) {
    std::string s;
    for (int i = 0; i < 200; ++i) {
        s = qtest::FileExists(log) ? qtest::ReadFile(log) : "";
        if (static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) >= count) break;
        usleep(10000);
    }
    return s;
}

}  // namespace usim
