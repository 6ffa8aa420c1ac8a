#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_proc.h"

namespace {

// Starts a program with the given argument vector (argv[0] shows in its
// command line), standard streams on /dev/null, in a process group of its own.
// Starts a program; with ignoreTerm it runs with SIGTERM ignored (kept across
// exec), a process that only SIGKILL ends.
pid_t Spawn(const char *path, const std::vector<std::string> &argv, bool ignoreTerm = false) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (ignoreTerm) signal(SIGTERM, SIG_IGN);
        int fd = open("/dev/null", O_RDWR);
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(path, args.data());
        _exit(127);
    }
    // Wait until the program runs under its own command line.
    std::string want = argv[0];
    for (int i = 0; i < 500; ++i) {
        std::string cmd;
        FILE *f = fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "r");
        if (f) {
            char buf[256] = {};
            size_t n = fread(buf, 1, sizeof(buf) - 1, f);
            fclose(f);
            if (n > 0 && want == buf) break;
        }
        usleep(2000);
    }
    return pid;
}

// Reaps a child; returns its wait status.
int Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

void KillAndReap(const std::vector<pid_t> &pids) {
    for (pid_t p : pids)
        kill(p, SIGKILL);
    for (pid_t p : pids)
        Reap(p);
}

TEST(ProcExecWait, ExitCodes) {
    struct Case {
        const char *path;
        const char *script;
        int result;
    } cases[] = {
        {"/bin/sh", "exit 0", 0},      {"/bin/sh", "exit 1", 1},
        {"/bin/sh", "exit 255", 255},  {"/no/such/program", nullptr, 255},
        {"/etc/passwd", nullptr, 255},  // not executable
        {"/bin/sh", "kill -9 $$", -1}, {"/bin/sh", "kill -TERM $$", -1},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        int r = c.script ? SLIBProcExecWait(c.path, "-c", c.script, nullptr, nullptr)
                         : SLIBProcExecWait(c.path, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(r, c.result) << c.path << " " << (c.script ? c.script : "");
        EXPECT_EQ(SLIBErrGet(), c.result == -1 ? 0x2A00u : 0u) << (c.script ? c.script : "");
    }
}

TEST(ProcExecWaitOutput, OutputGoesToTheDescriptorAndATimeOutEndsEverything) {
    FILE *tmp = tmpfile();
    ASSERT_NE(tmp, nullptr);
    const char *echo[] = {"/bin/sh", "-c", "echo out; echo err >&2; exit 3", nullptr};
    EXPECT_EQ(SLIBProcExecWaitOutput(echo, fileno(tmp), 5), 3);
    rewind(tmp);
    char line[64] = "";
    ASSERT_NE(fgets(line, sizeof line, tmp), nullptr);
    EXPECT_STREQ(line, "out\n");
    EXPECT_EQ(fgets(line, sizeof line, tmp), nullptr);  // standard error is not kept
    fclose(tmp);

    // A program still running at the time-out is killed with what it started.
    const int fd = open("/dev/null", O_WRONLY);
    const char *slow[] = {"/bin/sh", "-c", "sleep 30 & echo $! > /tmp/slow.pid; sleep 30", nullptr};
    SLIBErrSet(0);
    time_t start = time(nullptr);
    EXPECT_EQ(SLIBProcExecWaitOutput(slow, fd, 1), -1);
    EXPECT_LT(time(nullptr) - start, 5);
    EXPECT_EQ(SLIBErrGet(), ERR_EXEC_FAILED);
    close(fd);
    const int grandchild = SLIBProcReadPidFile("/tmp/slow.pid");
    ASSERT_GT(grandchild, 1);
    for (int i = 0; i < 100 && kill(grandchild, 0) == 0; ++i)
        usleep(10000);
    EXPECT_NE(kill(grandchild, 0), 0);
    EXPECT_EQ(SLIBProcExecWaitOutput(nullptr, 1, 1), -1);
}

TEST(ProcExecWaitIO, InputInOutputAndErrorWhereAsked) {
    auto text = [](FILE *f) {
        std::string all;
        rewind(f);
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            all.append(buf, n);
        return all;
    };
    const char *tool[] = {"/bin/sh", "-c", "read -r pw; echo \"out:$pw\"; echo err >&2; exit 4",
                          nullptr};
    struct {
        bool out, err, same;
        const char *outText, *errText;
    } cases[] = {{true, true, false, "out:a b;$(c)\n", "err\n"},
                 {true, false, false, "out:a b;$(c)\n", ""},
                 {false, true, false, "", "err\n"},
                 {true, true, true, "out:a b;$(c)\nerr\n", nullptr}};
    for (const auto &c : cases) {
        FILE *out = tmpfile(), *err = tmpfile();
        ASSERT_TRUE(out && err);
        const int outFd = c.out ? fileno(out) : -1;
        const int errFd = c.err ? (c.same ? fileno(out) : fileno(err)) : -1;
        EXPECT_EQ(SLIBProcExecWaitIO(tool, "a b;$(c)\n", outFd, errFd, 5), 4);
        EXPECT_EQ(text(out), c.outText);
        if (c.errText) {
            EXPECT_EQ(text(err), c.errText);
        }
        fclose(out);
        fclose(err);
    }
    // Without input the program reads an empty standard input.
    EXPECT_EQ(SLIBProcExecWaitIO(tool, nullptr, -1, -1, 5), 4);
    std::string big(SLIB_PROC_INPUT_MAX + 1, 'x');
    EXPECT_EQ(SLIBProcExecWaitIO(tool, big.c_str(), -1, -1, 5), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(ProcExecWait, ArgumentsEndAtTheFirstNull) {
    struct Case {
        const char *a3, *a4;
        std::string seen;  // $# and $0 as sh -c sees them
    } cases[] = {
        {nullptr, "x", "0 /bin/sh\n"},
        {"zero", nullptr, "0 zero\n"},
        {"zero", "one", "1 zero\n"},
        {"it's \"q\"", "a b", "1 it's \"q\"\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SLIBProcExecWait("/bin/sh", "-c", "echo $# \"$0\" > /tmp/args", c.a3, c.a4), 0);
        EXPECT_EQ(qtest::ReadFile("/tmp/args"), c.seen);
    }
}

TEST(ProcExecWait, ChildRunsDetachedWithoutLockFiles) {
    ASSERT_EQ(ErrSLIBFileLock(0x806, 0), 0);
    ASSERT_EQ(chdir("/tmp"), 0);
    const char *script =
        "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2);"
        "echo \"$fds\" > /tmp/env;"
        "pwd >> /tmp/env;"
        "[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ ] && echo leader >> /tmp/env;"
        "ls -l /proc/$$/fd | grep -c /tmp/lock/ >> /tmp/env;"
        "exit 0";
    EXPECT_EQ(SLIBProcExecWait("/bin/sh", "-c", script, nullptr, nullptr), 0);
    EXPECT_EQ(qtest::ReadFile("/tmp/env"), "/dev/null\n/dev/null\n/dev/null\n/\nleader\n0\n");
    // The child closed the lock file without unlocking it.
    EXPECT_NE(qtest::Exec({"flock", "-n", "-x", "/tmp/lock/lock_qavoinfo", "true"}), 0);
    SLIBErrSLIBFileUnlock(0x800);
}

int gReaped = 0;
void ReapAll(int) {
    while (waitpid(-1, nullptr, WNOHANG) > 0)
        ++gReaped;
}

TEST(ProcExecWait, CallerIgnoringOrReapingChildren) {
    struct Case {
        const char *name;
        void (*handler)(int);
        int flags;
    } cases[] = {
        {"SIG_IGN", SIG_IGN, 0},
        {"SIG_IGN+SA_NOCLDWAIT", SIG_IGN, SA_NOCLDWAIT},
        {"SIG_DFL+SA_NOCLDWAIT", SIG_DFL, SA_NOCLDWAIT},
        {"reaping handler", ReapAll, SA_RESTART},
    };
    for (const Case &c : cases) {
        struct sigaction sa {
        }, old{}, after{};
        sa.sa_handler = c.handler;
        sa.sa_flags = c.flags;
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(sigaction(SIGCHLD, &sa, &old), 0);
        EXPECT_EQ(SLIBProcExecWait("/bin/sh", "-c", "exit 3", nullptr, nullptr), 3) << c.name;
        EXPECT_EQ(SLIBProcExecWait("/bin/sh", "-c", "kill -9 $$", nullptr, nullptr), -1) << c.name;
        ASSERT_EQ(sigaction(SIGCHLD, &old, &after), 0);
        EXPECT_EQ(after.sa_handler, c.handler) << c.name;
        EXPECT_EQ(after.sa_flags & SA_NOCLDWAIT, c.flags & SA_NOCLDWAIT) << c.name;
    }
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGCHLD));
}

void Tick(int) {}

TEST(ProcExecWait, InterruptedWaitGoesOn) {
    struct sigaction sa {};
    sa.sa_handler = Tick;  // no SA_RESTART: waitpid returns EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
    struct itimerval it {
        {0, 20000}, { 0, 20000 }
    };
    ASSERT_EQ(setitimer(ITIMER_REAL, &it, nullptr), 0);
    int r = SLIBProcExecWait("/bin/sh", "-c", "sleep 0.3; exit 7", nullptr, nullptr);
    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(r, 7);
}

TEST(ProcExecWait, FailedChildLeavesCallersBuffersAlone) {
    FILE *f = fopen("/tmp/buffered", "w");
    ASSERT_NE(f, nullptr);
    fputs("once", f);  // still in the stdio buffer
    EXPECT_EQ(SLIBProcExecWait("/no/such/program", nullptr, nullptr, nullptr, nullptr), 255);
    fclose(f);
    EXPECT_EQ(qtest::ReadFile("/tmp/buffered"), "once");
}

// The full-argv runner: every argument, the environment given (or the
// caller's), and the input on a pipe that ends after it.
TEST(ProcExecWaitArgv, ArgumentsEnvironmentAndInput) {
    const char *const argv[] = {"/bin/sh", "-c", "printf '%s|' \"$@\" > /tmp/argv; exit 6",
                                "zero",    "a",  "b c",
                                "d'e\"f",  "",   nullptr};
    EXPECT_EQ(SLIBProcExecWaitArgv(argv, nullptr, nullptr), 6);
    EXPECT_EQ(qtest::ReadFile("/tmp/argv"), "a|b c|d'e\"f||");

    const char *const envArgv[] = {
        "/bin/sh", "-c", "printf %s \"${QV_GIVEN-unset}|${QV_CALLER-unset}\" > /tmp/env", nullptr};
    setenv("QV_CALLER", "inherited", 1);
    const char *const envp[] = {"QV_GIVEN=1", nullptr};
    EXPECT_EQ(SLIBProcExecWaitArgv(envArgv, envp, nullptr), 0);
    EXPECT_EQ(qtest::ReadFile("/tmp/env"), "1|unset");
    EXPECT_EQ(SLIBProcExecWaitArgv(envArgv, nullptr, nullptr), 0);
    EXPECT_EQ(qtest::ReadFile("/tmp/env"), "unset|inherited");
    unsetenv("QV_CALLER");

    // The input, whole, then the end of it; "" is an empty pipe, not /dev/null.
    const char *const catArgv[] = {
        "/bin/sh", "-c", "cat > /tmp/in; readlink /proc/$$/fd/0 | cut -c1-5 > /tmp/fd0", nullptr};
    const std::string full(SLIB_PROC_INPUT_MAX, 'i');
    for (const std::string &input : {std::string("secret\nline two"), std::string(), full}) {
        EXPECT_EQ(SLIBProcExecWaitArgv(catArgv, nullptr, input.c_str()), 0);
        EXPECT_EQ(qtest::ReadFile("/tmp/in"), input);
        EXPECT_EQ(qtest::ReadFile("/tmp/fd0"), "pipe:\n");
    }

    // Refused without running anything.
    qtest::RemoveFile("/tmp/in");
    const std::string tooLong(SLIB_PROC_INPUT_MAX + 1, 'i');
    const char *const noProgram[] = {nullptr};
    struct Case {
        const char *const *argv;
        const char *input;
    } bad[] = {{catArgv, tooLong.c_str()}, {nullptr, nullptr}, {noProgram, nullptr}};
    for (const Case &c : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(SLIBProcExecWaitArgv(c.argv, nullptr, c.input), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_FALSE(qtest::FileExists("/tmp/in"));
}

// A caller without standard streams: the input pipe gets descriptor 0 and
// must still reach the program as its input.
TEST(ProcExecWaitArgv, InputReachesTheProgramWhenTheCallerHasNoStandardStreams) {
    pid_t pid = fork();
    if (pid == 0) {
        close(0);
        close(1);
        close(2);
        const char *const argv[] = {"/bin/sh", "-c", "cat > /tmp/in", nullptr};
        _exit(SLIBProcExecWaitArgv(argv, nullptr, "via fd 0") == 0 ? 0 : 1);
    }
    int status = Reap(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(qtest::ReadFile("/tmp/in"), "via fd 0");
}

TEST(ProcExecBackground, RunsInTheCallersGroupWithoutLockFiles) {
    ASSERT_EQ(ErrSLIBFileLock(0x806, 0), 0);
    const char *script =
        "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2);"
        "echo \"$fds\" > /tmp/bg;"
        "ls -l /proc/$$/fd | grep -c /tmp/lock/ >> /tmp/bg;"
        "exit 4";
    pid_t pid = SLIBProcExecBackground("/bin/sh", "-c", script, nullptr, "ignored");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(getpgid(pid), getpgrp());
    int status = Reap(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4);
    EXPECT_EQ(qtest::ReadFile("/tmp/bg"), "/dev/null\n/dev/null\n/dev/null\n0\n");
    EXPECT_NE(qtest::Exec({"flock", "-n", "-x", "/tmp/lock/lock_qavoinfo", "true"}), 0);

    // A program that cannot start ends the child with abort.
    pid = SLIBProcExecBackground("/no/such/program", nullptr, nullptr, nullptr, nullptr);
    ASSERT_GT(pid, 0);
    status = Reap(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
}

TEST(ProcSystem, GivesTheWaitStatus) {
    EXPECT_EQ(SLIBSysSystem(nullptr), 0);
    EXPECT_EQ(SLIBSysSystem("exit 3"), 3 << 8);
    EXPECT_EQ(SLIBSysSystem("true"), 0);
}

TEST(ProcSearch, FindsTheProcessesOfThatNameOnly) {
    std::vector<pid_t> spawned;
    for (int i = 0; i < 4; ++i)
        spawned.push_back(Spawn("/bin/sleep", {"qvmark-five", "1000"}));
    // Started by its path: argv[0]'s last component is its name.
    spawned.push_back(Spawn("/bin/sleep", {"/opt/bin/qvmark-five", "1000"}));
    spawned.push_back(Spawn("/bin/sleep", {"qvmark-other", "1000"}));
    // Processes that merely mention the name: a search, a longer name, a
    // path in an argument, a shell whose command line names it.
    spawned.push_back(Spawn("/bin/sleep", {"grep qvmark-five", "1000"}));
    spawned.push_back(Spawn("/bin/sleep", {"qvmark-five-log-rotator", "1000"}));
    spawned.push_back(Spawn("/bin/sleep", {"/var/log/qvmark-five.log", "1000"}));
    spawned.push_back(Spawn("/bin/sh", {"/bin/sh", "-c", "sleep 1000; :", "qvmark-five"}));

    int pids[12] = {};
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-five", pids, 2), 5);
    std::set<pid_t> five(spawned.begin(), spawned.begin() + 5);
    EXPECT_TRUE(five.count(pids[0]) && five.count(pids[1]) && pids[0] != pids[1]);
    EXPECT_EQ(pids[2], 0);  // nothing stored beyond max
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-five", nullptr, 0), 5);
    EXPECT_EQ(SLIBProcGetPidsByName("/opt/bin/qvmark-five", pids, 12), 1);
    EXPECT_EQ(pids[0], spawned[4]);
    // A part of a name, or a process id, is no name.
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-", pids, 12), 0);
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-fiv", pids, 12), 0);
    EXPECT_EQ(SLIBProcGetPidsByName(std::to_string(spawned[5]).c_str(), pids, 12), 0);
    // The name with its first arguments, each whole.
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-other 1000", pids, 12), 1);
    EXPECT_EQ(pids[0], spawned[5]);
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-other 100", pids, 12), 0);
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-other 1000 x", pids, 12), 0);
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-none", pids, 12), 0);
    EXPECT_EQ(BlSLIBProcExist("qvmark-five"), 1);
    EXPECT_EQ(BlSLIBProcExist("qvmark-none"), 0);
    EXPECT_EQ(BlSLIBProcIsRunning("qvmark-other"), 1);
    EXPECT_EQ(BlSLIBProcIsRunning("qvmark-none"), 0);

    // Killing by name spares every process that only mentions it.
    EXPECT_EQ(SLIBProcKillByName("qvmark-five", 1), 5);
    for (size_t i = 0; i < 5; ++i) {
        int status = Reap(spawned[i]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << i;
    }
    for (size_t i = 5; i < spawned.size(); ++i)
        EXPECT_EQ(kill(spawned[i], 0), 0) << i;
    spawned.erase(spawned.begin(), spawned.begin() + 5);

    SLIBErrSet(0);
    EXPECT_EQ(SLIBProcGetPidsByName(nullptr, pids, 8), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    EXPECT_EQ(BlSLIBProcExist(nullptr), 0);
    EXPECT_EQ(BlSLIBProcIsRunning(nullptr), 0);
    for (pid_t p : spawned)
        kill(-p, SIGKILL);  // the shell's sleep too
    KillAndReap(spawned);
}

TEST(ProcSearch, AScriptGoesByItsOwnName) {
    qtest::WriteFile("/tmp/qvmark-script", "#!/bin/sh\nsleep 1000; :\n", 0755);
    std::vector<pid_t> spawned{Spawn("/tmp/qvmark-script", {"/tmp/qvmark-script", "-n", "eth0"})};
    int pids[4] = {};
    EXPECT_EQ(SLIBProcGetPidsByName("qvmark-script", pids, 4), 1);
    EXPECT_EQ(pids[0], spawned[0]);
    EXPECT_EQ(SLIBProcGetPidsByName("/tmp/qvmark-script -n eth0", pids, 4), 1);
    EXPECT_EQ(SLIBProcGetPidsByName("/tmp/qvmark-script -n eth1", pids, 4), 0);
    EXPECT_EQ(SLIBProcGetPidsByName("sh", pids, 4), 0);
    kill(-spawned[0], SIGKILL);  // its sleep too
    KillAndReap(spawned);
}

TEST(ProcSearch, GrepLinesDoNotCountAsRunning) {
    std::vector<pid_t> spawned{Spawn("/bin/sleep", {"grep qvmark-g", "1000"})};
    EXPECT_EQ(BlSLIBProcIsRunning("qvmark-g"), 0);
    EXPECT_EQ(BlSLIBProcExist("qvmark-g"), 0);
    KillAndReap(spawned);
}

TEST(ProcSearch, NameWithQuotesAndShellCharacters) {
    const std::string odd = "qv'mark\";touch /tmp/pwned;'$(touch /tmp/pwned2)";
    std::vector<pid_t> spawned{Spawn("/bin/sleep", {odd, "1000"})};
    int pids[4] = {};
    EXPECT_EQ(SLIBProcGetPidsByName(odd.c_str(), pids, 4), 1);
    EXPECT_EQ(pids[0], spawned[0]);
    EXPECT_EQ(SLIBProcGetPidsByName("';touch /tmp/pwned3;'", pids, 4), 0);
    EXPECT_EQ(BlSLIBProcIsRunning("qv'mark\";touch /tmp/pwned;'"), 1);
    EXPECT_EQ(BlSLIBProcIsRunning("x; touch /tmp/pwned4"), 0);
    EXPECT_EQ(SLIBProcKillByName(odd.c_str(), 1), 1);
    for (const char *f : {"/tmp/pwned", "/tmp/pwned2", "/tmp/pwned3", "/tmp/pwned4"}) {
        EXPECT_FALSE(qtest::FileExists(f)) << f;
    }
    int status = Reap(spawned[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    // No scratch file is left in /tmp.
    std::string out;
    qtest::Sh("ls /tmp | grep -c tempSLIBPs", &out);
    EXPECT_EQ(out, "0\n");
}

TEST(ProcKill, TermThenKillForTheStubborn) {
    std::vector<pid_t> spawned;
    for (int i = 0; i < 3; ++i)
        spawned.push_back(Spawn("/bin/sleep", {"qvmark-kill", "1000"}));
    // One that ignores SIGTERM; it forks nothing, so no short-lived child can
    // carry the name while the search runs.
    spawned.push_back(Spawn("/bin/sleep", {"qvmark-kill", "1000"}, true));
    EXPECT_EQ(SLIBProcKillByName("qvmark-kill", 0), 4);
    for (size_t i = 0; i < spawned.size(); ++i) {
        int status = Reap(spawned[i]);
        ASSERT_TRUE(WIFSIGNALED(status)) << i;
        EXPECT_EQ(WTERMSIG(status), i < 3 ? SIGTERM : SIGKILL) << i;
    }

    spawned.clear();
    for (int i = 0; i < 2; ++i)
        spawned.push_back(Spawn("/bin/sleep", {"qvmark-force", "1000"}));
    EXPECT_EQ(SLIBProcKillByName("qvmark-force", 1), 2);
    for (pid_t p : spawned) {
        int status = Reap(p);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
    EXPECT_EQ(SLIBProcKillByName("qvmark-none", 1), 0);
    for (const char *bad : {static_cast<const char *>(nullptr), ""}) {
        SLIBErrSet(0);
        EXPECT_EQ(SLIBProcKillByName(bad, 1), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
}

// Once the kill returns, the killed processes are no longer found: a
// caller that looks for a daemon right after stopping it (to start it
// again) must not see it dying. The daemons are not the caller's children:
// here their parent reaps them a moment after they die. Like a daemon, the
// program itself carries the name, which its zombie keeps. Both the forced
// kill and the gentle one (SIGTERM first) wait for them.
TEST(ProcKill, KilledDaemonsAreGoneOnReturn) {
    ASSERT_EQ(symlink("/bin/sleep", "/tmp/qvmark-gone"), 0);
    for (const int force : {1, 0}) {
        SCOPED_TRACE(force);
        std::vector<pid_t> parents;
        for (int i = 0; i < 3; ++i) {
            pid_t parent = fork();
            if (parent == 0) {
                pid_t daemon = Spawn("/tmp/qvmark-gone", {"qvmark-gone", "1000"});
                siginfo_t info{};
                waitid(P_PID, static_cast<id_t>(daemon), &info, WEXITED | WNOWAIT);
                usleep(100000);
                Reap(daemon);
                _exit(0);
            }
            parents.push_back(parent);
        }
        while (SLIBProcGetPidsByName("qvmark-gone", nullptr, 0) < 3)
            usleep(2000);
        EXPECT_EQ(SLIBProcKillByName("qvmark-gone", force), 3);
        EXPECT_EQ(BlSLIBProcExist("qvmark-gone"), 0);
        for (pid_t p : parents)
            Reap(p);
    }
}

// The caller's own process matches the name but is never signalled. The
// test runs itself again under a name of its own to be that caller.
TEST(ProcKill, NeverSignalsTheCaller) {
    if (getenv("QV_KILL_SELF") != nullptr) {
        int r = SLIBProcKillByName("qvmark-self", 1);
        _exit(r == 0 ? 0 : 3);
    }
    pid_t pid = fork();
    if (pid == 0) {
        setenv("QV_KILL_SELF", "1", 1);
        int fd = open("/dev/null", O_RDWR);
        dup2(fd, 1);
        dup2(fd, 2);
        execl("/proc/self/exe", "qvmark-self", "--gtest_filter=ProcKill.NeverSignalsTheCaller",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = Reap(pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcAlive, ProcessIdsAndPidFiles) {
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    Reap(gone);
    EXPECT_EQ(BlSLIBProcIsAlive(getpid()), 1);
    EXPECT_EQ(BlSLIBProcIsAlive(gone), 0);
    EXPECT_EQ(BlSLIBProcIsAlive(0), 0);   // would be the caller's group
    EXPECT_EQ(BlSLIBProcIsAlive(-1), 0);  // would be every process

    const std::string self = std::to_string(getpid());
    struct Case {
        const char *content;  // nullptr: no file
        int pid;              // -2: this process
        int alive;
    } cases[] = {
        {nullptr, -1, 0},   {"", 0, 0},
        {"abc\n", 0, 0},    {"123\n", 123, -1},
        {"  456", 456, -1}, {"789 trailing", 789, -1},
        {"-5\n", 0, 0},     {"99999999999\n", 0, 0},
        {"SELF", -2, 1},    {"GONE", -3, 0},
    };
    for (const Case &c : cases) {
        qtest::RemoveFile("/var/run/x.pid");
        std::string content = c.content ? c.content : "";
        if (content == "SELF") content = self + "\n";
        if (content == "GONE") content = std::to_string(gone) + "\n";
        if (c.content) qtest::WriteFile("/var/run/x.pid", content);
        int want = c.pid == -2 ? getpid() : c.pid == -3 ? gone : c.pid;
        EXPECT_EQ(SLIBProcReadPidFile("/var/run/x.pid"), want) << content;
        if (c.alive >= 0) {
            EXPECT_EQ(BlSLIBProcIsPidFileAlive("/var/run/x.pid"), c.alive) << content;
        }
    }
    EXPECT_EQ(SLIBProcReadPidFile(nullptr), -1);
    EXPECT_EQ(BlSLIBProcIsPidFileAlive(nullptr), 0);
}

// A listening socket on a free port of the loopback interface.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(int backlog = 16) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
            listen(fd, backlog) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
            ADD_FAILURE() << "listener: " << strerror(errno);
        }
        port = ntohs(sa.sin_port);
    }
    ~Listener() { close(fd); }
};

TEST(ProcTcp, ReachableListenerGetsOneZeroByte) {
    Listener l;
    EXPECT_EQ(BlSLIBIsTCPPortReachable("127.0.0.1", l.port, 2), 1);
    int c = accept(l.fd, nullptr, nullptr);
    ASSERT_GE(c, 0);
    char buf[4] = {1, 1, 1, 1};
    EXPECT_EQ(recv(c, buf, sizeof(buf), 0), 1);
    EXPECT_EQ(buf[0], 0);
    close(c);
}

TEST(ProcTcp, UnreachableOrBadAddresses) {
    int closedPort;
    {
        Listener l;
        closedPort = l.port;
    }
    EXPECT_EQ(BlSLIBIsTCPPortReachable("127.0.0.1", closedPort, 2), 0);
    Listener l;
    for (const char *bad : {static_cast<const char *>(nullptr), "", "localhost", "1.2.3.4.5",
                            "256.0.0.1", "255.255.255.255"}) {
        EXPECT_EQ(BlSLIBIsTCPPortReachable(bad, l.port, 1), 0) << (bad ? bad : "null");
    }
    EXPECT_EQ(BlSLIBIsTCPPortReachable("127.0.0.1", l.port + 65536, 1), 0);
    EXPECT_EQ(BlSLIBIsTCPPortReachable("127.0.0.1", -1, 1), 0);
}

// A listener whose accept queue is full drops new connection requests, as
// a host that drops packets does: the test gives up after the time-out.
TEST(ProcTcp, SilentPeerTimesOut) {
    Listener l(0);
    std::vector<int> fill;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(l.port));
        connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        fill.push_back(fd);
    }
    usleep(100000);
    EXPECT_EQ(BlSLIBIsTCPPortReachable("127.0.0.1", l.port, 1), 0);
    for (int fd : fill)
        close(fd);
}

TEST(ProcTcp, DescriptorsAbove1024) {
    struct rlimit rl {
        4096, 4096
    };
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    std::vector<int> fds;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 1100)
        fds.push_back(fd);
    ASSERT_GE(fd, 1100);
    fds.push_back(fd);
    Listener l;
    EXPECT_EQ(BlSLIBIsTCPPortReachable("127.0.0.1", l.port, 2), 1);
    int closedPort;
    {
        Listener probe;
        closedPort = probe.port;
    }
    EXPECT_EQ(BlSLIBIsTCPPortReachable("127.0.0.1", closedPort, 1), 0);
    for (int f : fds)
        close(f);
}

}  // namespace
