// Process execution and process queries. Every child first closes the
// parent's named lock files, so that no program it runs holds a lock.
#include "slib_proc.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "slib_errcode.h"
#include "slib_util.h"
#include "slib_lock.h"

namespace {

constexpr int kMaxKill = 256;

// path followed by the arguments up to the first null one.
struct ArgVector {
    const char *argv[6] = {};
    ArgVector(const char *path, const char *a1, const char *a2, const char *a3, const char *a4) {
        const char *args[] = {a1, a2, a3, a4};
        int n = 0;
        argv[n++] = path;
        for (const char *a : args) {
            if (a == nullptr) break;
            argv[n++] = a;
        }
        argv[n] = nullptr;
    }
};

// In a child: standard input, output and error on /dev/null.
void StdioToDevNull() {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO) close(fd);
}

// SIGCHLD blocked and with its default action while a child runs, so that
// neither the kernel (no auto-reaping through SIG_IGN or SA_NOCLDWAIT) nor a
// handler of the caller takes the child's status away. Blocked, a SIGCHLD
// that another child raises meanwhile stays pending for the caller's own
// handler. Restore() gives the caller back its mask and action.
class ChildSignal {
  public:
    ChildSignal() {
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld, &oldmask_);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(SIGCHLD, &dfl, &oldact_);
    }
    ChildSignal(const ChildSignal &) = delete;
    ChildSignal &operator=(const ChildSignal &) = delete;
    // In the child, before exec: the caller's signal mask.
    void InChild() const { sigprocmask(SIG_SETMASK, &oldmask_, nullptr); }
    void Restore() const {
        sigaction(SIGCHLD, &oldact_, nullptr);
        sigprocmask(SIG_SETMASK, &oldmask_, nullptr);
    }

  private:
    sigset_t oldmask_;
    struct sigaction oldact_ {};
};

// Milliseconds of the monotonic clock since start.
long long MsSince(const struct timespec &start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// The input goes into a pipe before the child starts: it fits the pipe (no
// more than PIPE_BUF), so nothing can block on a program that does not read
// it, and the program sees the end of its input after it. inFd is the read
// end, or -1 without input; false (error set) when the pipe fails.
bool InputPipe(const char *input, int &inFd) {
    inFd = -1;
    if (input == nullptr) return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        SLIBErrSet(ERR_EXEC_FAILED);
        return false;
    }
    const size_t len = strlen(input);
    ssize_t w;
    do {
        w = write(fds[1], input, len);
    } while (w < 0 && errno == EINTR);
    close(fds[1]);
    if (w != static_cast<ssize_t>(len)) {
        close(fds[0]);
        SLIBErrSet(ERR_EXEC_FAILED);
        return false;
    }
    inFd = fds[0];
    return true;
}

// Runs argv (with envp when not null) in its own session with the standard
// descriptors on /dev/null, except those given (-1: none): inFd as input
// (closed here afterwards), outFd as output, errFd as error. Waits for it; with
// a timeout above 0, kills its group after so many seconds. Returns its exit
// status, or -1 (ERR_EXEC_FAILED) when it could not run, was killed by a
// signal or timed out.
int RunAndWait(const char *const *argv, const char *const *envp, int inFd, int outFd, int errFd,
               int timeout) {
    // Nobody else reaps the child while it runs.
    ChildSignal sigchld;

    int ret = -1;
    pid_t pid = fork();
    if (pid == 0) {
        sigchld.InChild();
        // Every descriptor to keep goes above the standard ones first (one of
        // them may be a standard descriptor of a caller that had it closed),
        // so that laying /dev/null over those cannot close one of them.
        auto lift = [](int fd) {
            return fd >= 0 && fd <= STDERR_FILENO ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : fd;
        };
        inFd = lift(inFd);
        outFd = lift(outFd);
        errFd = lift(errFd);
        StdioToDevNull();
        // dup2 clears close-on-exec
        if (inFd >= 0) dup2(inFd, STDIN_FILENO);
        if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
        if (errFd >= 0) dup2(errFd, STDERR_FILENO);
        SLIBFileLockCloseAll();
        setsid();  // its own group, so that a time-out ends its children too
        int cd = chdir("/");
        (void)cd;
        char *const *args = const_cast<char *const *>(argv);
        if (envp != nullptr) {
            execve(argv[0], args, const_cast<char *const *>(envp));
        } else {
            execv(argv[0], args);
        }
        // Not exit(): that would flush the parent's stdio buffers a second time.
        _exit(255);
    }
    if (inFd >= 0) close(inFd);
    if (pid > 0) {
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            int status = 0;
            pid_t w = waitpid(pid, &status, timeout > 0 ? WNOHANG : 0);
            if (w < 0 && errno == EINTR) continue;
            if (w == pid) {
                // A child killed by a signal, or a status nobody can tell, is a failure.
                if (WIFEXITED(status)) ret = WEXITSTATUS(status);
                break;
            }
            if (w < 0) break;
            if (MsSince(start) >= timeout * 1000LL) {
                kill(-pid, SIGKILL);
                kill(pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            usleep(10000);
        }
    }

    sigchld.Restore();
    if (ret == -1) SLIBErrSet(ERR_EXEC_FAILED);
    return ret;
}

// RunAndWait with an input text of no more than SLIB_PROC_INPUT_MAX bytes
// (nullptr: none), after checking the arguments.
int RunWithInput(const char *const *argv, const char *const *envp, const char *input, int outFd,
                 int errFd, int timeout) {
    if (argv == nullptr || argv[0] == nullptr ||
        (input != nullptr && strlen(input) > SLIB_PROC_INPUT_MAX)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    int inFd = -1;
    if (!InputPipe(input, inFd)) return -1;
    return RunAndWait(argv, envp, inFd, outFd, errFd, timeout);
}

// Reads a whole small file of /proc; false when it cannot be read.
bool ReadProcFile(const std::string &path, std::string &out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// A process as a search sees it: its command name as the kernel keeps it
// (cut to 15 bytes) and its arguments.
struct Process {
    std::string comm;
    std::vector<std::string> argv;
};

// Reads pid's command name and arguments; false when the process has gone.
bool ReadProcess(const std::string &pid, Process &p) {
    const std::string dir = "/proc/" + pid;
    std::string stat;
    if (!ReadProcFile(dir + "/stat", stat)) return false;
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    p.comm.assign(stat, open + 1, close - open - 1);
    std::string cmd;
    if (!ReadProcFile(dir + "/cmdline", cmd)) return false;
    p.argv.clear();
    size_t at = 0;
    while (at < cmd.size()) {
        size_t zero = cmd.find('\0', at);
        if (zero == std::string::npos) zero = cmd.size();
        p.argv.emplace_back(cmd, at, zero - at);
        at = zero + 1;
    }
    return true;
}

// The last component of a path.
std::string_view LastComponent(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The kernel's command name for a program of that name (cut to 15 bytes).
std::string_view CommOf(std::string_view name) {
    return LastComponent(name).substr(0, 15);
}

// True when name is program followed by none or more of the arguments
// argv[first + 1]..., separated by single blanks, each argument whole.
bool CommandIs(std::string_view program, const std::vector<std::string> &argv, size_t first,
               std::string_view name) {
    if (name.substr(0, program.size()) != program) return false;
    std::string line(program);
    for (size_t i = first + 1;; ++i) {
        if (line == name) return true;
        if (line.size() >= name.size() || i >= argv.size()) return false;
        line += ' ';
        line += argv[i];
    }
}

// True when the process is the one name stands for: name is its own name
// exactly (its command name, its argv[0] or argv[0]'s last component),
// optionally followed by its first arguments, separated by blanks. A name
// merely mentioned in an argument, a path or a longer name is another
// process. A script started through its "#!" line runs as its interpreter
// with the script's path first; the kernel names it after the script, and
// the script's path counts as its argv[0].
bool IsNamed(const Process &p, std::string_view name) {
    if (name.empty()) return false;
    if (name == p.comm) return true;
    size_t first = 0;
    if (p.argv.size() >= 2 && CommOf(p.argv[0]) != p.comm && CommOf(p.argv[1]) == p.comm) first = 1;
    if (first >= p.argv.size()) return false;
    const std::string &program = p.argv[first];
    return CommandIs(program, p.argv, first, name) ||
           CommandIs(LastComponent(program), p.argv, first, name);
}

// Calls visit(pid, process) for every process; false when /proc cannot be
// read.
template <typename Visit>
bool ForEachProcess(Visit visit) {
    DIR *dir = opendir("/proc");
    if (dir == nullptr) return false;
    Process p;
    while (struct dirent *e = readdir(dir)) {
        const char *name = e->d_name;
        if (*name == '\0' || strspn(name, "0123456789") != strlen(name)) continue;
        char *end = nullptr;
        long pid = strtol(name, &end, 10);
        if (pid <= 0 || pid > INT_MAX) continue;
        if (!ReadProcess(name, p)) continue;
        visit(static_cast<int>(pid), p);
    }
    closedir(dir);
    return true;
}

int SearchByName(const char *name, int *pids, int max) {
    if (name == nullptr || (pids == nullptr && max > 0)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    int found = 0;
    bool ok = ForEachProcess([&](int pid, const Process &p) {
        if (!IsNamed(p, name)) return;
        if (found < max) pids[found] = pid;
        ++found;
    });
    if (!ok) {
        SLIBErrSet(ERR_READ_FAILED);
        return -1;
    }
    return found;
}

// Waits, for at most kEndWait, until every process of the list other than
// the caller and init has gone: reaped, or a zombie of the caller's own,
// which only the caller can reap.
constexpr auto kEndWait = std::chrono::seconds(5);

bool Gone(int pid) {
    std::string stat;
    if (!ReadProcFile("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return false;
    const char state = stat[close + 2];
    if (state != 'Z' && state != 'X') return false;
    return atol(stat.c_str() + close + 3) == static_cast<long>(getpid());
}

void WaitGone(const int *pids, int n, std::chrono::steady_clock::time_point deadline) {
    const pid_t self = getpid();
    for (int i = 0; i < n; ++i) {
        if (pids[i] <= 1 || pids[i] == self) continue;
        while (!Gone(pids[i]) && std::chrono::steady_clock::now() < deadline)
            usleep(5000);
    }
}

// Signals every pid of the list but never the caller itself nor init.
// Returns the number of processes signalled.
int SignalAll(const int *pids, int n, int sig) {
    const pid_t self = getpid();
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (pids[i] <= 1 || pids[i] == self) continue;
        kill(pids[i], sig);
        ++count;
    }
    return count;
}

}  // namespace

bool slib::ProcessIsNamed(int pid, std::string_view name) {
    if (pid <= 0) return false;
    try {
        Process p;
        return ReadProcess(std::to_string(pid), p) && IsNamed(p, name);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

extern "C" int SLIBProcExecWait(const char *path, const char *a1, const char *a2, const char *a3,
                                const char *a4) {
    ArgVector args(path, a1, a2, a3, a4);
    return SLIBProcExecWaitArgv(args.argv, nullptr, nullptr);
}

extern "C" int SLIBProcExecWaitArgv(const char *const *argv, const char *const *envp,
                                    const char *input) {
    return RunWithInput(argv, envp, input, -1, -1, 0);
}

extern "C" int SLIBProcExecWaitOutput(const char *const *argv, int fd, int timeout) {
    if (fd < 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    return RunWithInput(argv, nullptr, nullptr, fd, -1, timeout);
}

extern "C" int SLIBProcExecWaitIO(const char *const *argv, const char *input, int outFd, int errFd,
                                  int timeout) {
    return RunWithInput(argv, nullptr, input, outFd, errFd, timeout);
}

extern "C" pid_t SLIBProcExecBackground(const char *path, const char *a1, const char *a2,
                                        const char *a3, const char *a4) {
    ArgVector args(path, a1, a2, a3, a4);
    pid_t pid = fork();
    if (pid == 0) {
        StdioToDevNull();
        SLIBFileLockCloseAll();
        execv(path, const_cast<char *const *>(args.argv));
        abort();
    }
    if (pid < 0) {
        SLIBErrSet(ERR_EXEC_FAILED);
        return -1;
    }
    return pid;
}

extern "C" int SLIBSysSystem(const char *command) {
    if (command == nullptr) return 0;
    return system(command);
}

extern "C" int SLIBProcGetPidsByName(const char *name, int *pids, int max) {
    try {
        return SearchByName(name, pids, std::max(max, 0));
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
}

extern "C" int SLIBProcKillByName(const char *name, int force) {
    // An empty name is in every process line: it would signal everything.
    if (name == nullptr || *name == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    int pids[kMaxKill];
    int n = SLIBProcGetPidsByName(name, pids, kMaxKill);
    if (n < 0) return -1;
    int count = SignalAll(pids, std::min(n, kMaxKill), force ? SIGKILL : SIGTERM);
    if (!force) usleep(100000);
    int again[kMaxKill];
    const int m = SLIBProcGetPidsByName(name, again, kMaxKill);
    if (m < 0) return -1;
    SignalAll(again, std::min(m, kMaxKill), SIGKILL);
    // A killed process takes a moment to end and be reaped: the caller's
    // next look for the name (a daemon to start again) must not find it.
    const auto deadline = std::chrono::steady_clock::now() + kEndWait;
    WaitGone(pids, std::min(n, kMaxKill), deadline);
    WaitGone(again, std::min(m, kMaxKill), deadline);
    return count;
}

extern "C" int BlSLIBProcExist(const char *name) {
    if (name == nullptr) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    int pids[kMaxKill];
    return SLIBProcGetPidsByName(name, pids, kMaxKill) > 0 ? 1 : 0;
}

extern "C" int BlSLIBProcIsRunning(const char *name) {
    if (name == nullptr) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    try {
        bool running = false;
        bool ok = ForEachProcess([&](int pid, const Process &p) {
            // The process's line as ps shows it: its id and its command
            // line, or its command name in brackets when it has none.
            std::string line = std::to_string(pid);
            for (const std::string &a : p.argv)
                line += " " + a;
            if (p.argv.empty()) line += " [" + p.comm + "]";
            if (line.find(name) != std::string::npos && line.find("grep") == std::string::npos) {
                running = true;
            }
        });
        return ok && running ? 1 : 0;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return 0;
    }
}

extern "C" int BlSLIBProcIsAlive(pid_t pid) {
    // 0 and negative numbers name process groups, not a process.
    if (pid <= 0) return 0;
    return kill(pid, 0) == 0 || errno == EPERM ? 1 : 0;
}

extern "C" int SLIBProcReadPidFile(const char *path) {
    if (path == nullptr) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[64];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof(buf) - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    const char *p = buf;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    if (*p == '+') ++p;
    // A number that is no process id (negative, too large) does not parse.
    long long pid = 0;
    const char *digits = p;
    while (*p >= '0' && *p <= '9') {
        pid = pid * 10 + (*p - '0');
        if (pid > INT_MAX) return 0;
        ++p;
    }
    return p == digits ? 0 : static_cast<int>(pid);
}

extern "C" int BlSLIBProcIsPidFileAlive(const char *path) {
    if (path == nullptr) return 0;
    int pid = SLIBProcReadPidFile(path);
    return pid > 0 && kill(pid, 0) == 0 ? 1 : 0;
}

extern "C" int BlSLIBIsTCPPortReachable(const char *address, int port, int timeout) {
    if (address == nullptr || port < 0 || port > 65535) return 0;
    in_addr_t addr = inet_addr(address);
    if (addr == INADDR_NONE) return 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    int ret = 0;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = addr;
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0) {
            ret = 1;
        } else if (errno == EINPROGRESS) {
            // poll, not select: the descriptor may be 1024 or above.
            struct timespec start;
            clock_gettime(CLOCK_MONOTONIC, &start);
            const long long total = static_cast<long long>(std::max(timeout, 0)) * 1000;
            struct pollfd pfd {
                fd, POLLIN | POLLOUT | POLLPRI, 0
            };
            int r;
            for (;;) {
                long long left =
                    std::clamp(total - MsSince(start), 0LL, static_cast<long long>(INT_MAX));
                r = poll(&pfd, 1, static_cast<int>(left));
                if (r >= 0 || errno != EINTR) break;
            }
            int err = 1;
            socklen_t len = sizeof(err);
            if (r > 0 && (pfd.revents & (POLLIN | POLLOUT)) != 0 &&
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
                // The peer gets one zero byte; a peer that has reset must not
                // raise SIGPIPE in the caller.
                const char zero = 0;
                ssize_t sent = send(fd, &zero, 1, MSG_NOSIGNAL);
                (void)sent;
                ret = 1;
            }
        }
    }
    close(fd);
    return ret;
}
