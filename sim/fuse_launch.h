// Starting and stopping the FUSE daemons of the simulated appliance (the
// flash emulator, the BIOS driver) from the tests' side.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qsim {

// Starts the daemon at path, detached in its own session, with its standard
// error on log, and waits until it says "ready" on the descriptor whose number
// is inserted into args at readyAt. Returns its pid; -1 with *err set when no
// pipe or process could be had, -1 with *err empty when the daemon ended
// without saying ready (its log tells why).
inline pid_t StartFuseDaemon(const char *path, std::vector<std::string> args, size_t readyAt,
                             const char *log, std::string *err) {
    err->clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *err = "pipe failed";
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        *err = "fork failed";
        return -1;
    }
    if (pid == 0) {
        // The daemon outlives its caller: it holds none of its caller's pipes,
        // and its messages go to a log of its own.
        setsid();
        int null = open("/dev/null", O_RDWR);
        int logFd = open(log, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null >= 0) dup2(null, 0), dup2(null, 1);
        if (logFd >= 0) dup2(logFd, 2);
        args.insert(args.begin() + static_cast<long>(readyAt),
                    std::to_string(dup(fds[1])));  // without close-on-exec
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(path, argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buf[16] = {};
    ssize_t n;
    do {
        n = read(fds[0], buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    if (n <= 0 || strncmp(buf, "ready", 5) != 0) {
        int st;
        waitpid(pid, &st, 0);
        return -1;
    }
    return pid;
}

// Ends a daemon: SIGTERM, SIGKILL after about 1.5 seconds, waiting up to 2
// seconds in all; done early once it has gone.
inline void StopFuseDaemon(pid_t pid) {
    if (pid <= 1) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 400; ++i) {
        int st;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && kill(pid, 0) != 0)) break;
        if (i == 300) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Writes a line to the control file of the daemon mounted at mount.
inline bool WriteControl(const char *mount, const std::string &line) {
    int fd = open((std::string(mount) + "/control").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = write(fd, line.data(), line.size());
    close(fd);
    return n == static_cast<ssize_t>(line.size());
}

}  // namespace qsim
