#include "appliance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace qtest {

namespace {
constexpr const char *kSyslogFile = "/sim/syslog";
constexpr const char *kCallLog = "/sim/calls.log";

std::string Slurp(const std::string &path, bool *ok) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *ok = false;
        return {};
    }
    *ok = true;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Parses "<PRI>Mon dd hh:mm:ss ident[pid]: message" as glibc sends it.
SyslogMsg ParseSyslog(const std::string &raw) {
    SyslogMsg m{-1, {}, raw};
    size_t p = 0;
    if (raw.size() > 2 && raw[0] == '<') {
        size_t close = raw.find('>');
        if (close != std::string::npos) {
            m.priority = atoi(raw.substr(1, close - 1).c_str()) & 7;
            p = close + 1;
        }
    }
    // The time stamp is 15 characters and a blank.
    if (raw.size() >= p + 16 && raw[p + 3] == ' ' && raw[p + 15] == ' ') p += 16;
    std::string rest = raw.substr(p);
    size_t colon = rest.find(": ");
    if (colon != std::string::npos && rest.find(' ') >= colon) {
        std::string ident = rest.substr(0, colon);
        size_t br = ident.find('[');
        m.ident = br == std::string::npos ? ident : ident.substr(0, br);
        rest = rest.substr(colon + 2);
    }
    // Undo the capture's escaping of newlines and backslashes.
    std::string msg;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '\\' && i + 1 < rest.size()) {
            char n = rest[++i];
            msg += n == 'n' ? '\n' : n;
        } else {
            msg += rest[i];
        }
    }
    m.message = msg;
    return m;
}

// How long the capture may take to answer: it answers as soon as it runs,
// so this only bounds a capture that is gone or stuck.
constexpr int kSyslogAnswerSeconds = 30;

// Sends a marker through /dev/log from a socket with an address of its own
// and waits, in real time, for the capture's answer: it answers once the
// marker is in the file, and everything logged before is then there too.
std::string SyncSyslog() {
    static int seq = 0;
    std::string marker = "<15>qtest-sync-" + std::to_string(getpid()) + "-" + std::to_string(++seq);
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        ADD_FAILURE() << "no socket for the syslog capture: " << strerror(errno);
        return marker;
    }
    // A bare family asks the kernel for an address (an abstract name).
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    const timeval bound{kSyslogAnswerSeconds, 0};
    if (bind(s, reinterpret_cast<sockaddr *>(&self), sizeof(sa_family_t)) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound)) != 0) {
        ADD_FAILURE() << "cannot prepare the syslog socket: " << strerror(errno);
        close(s);
        return marker;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (sendto(s, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr *>(&addr),
               sizeof(addr)) != static_cast<ssize_t>(marker.size())) {
        ADD_FAILURE() << "cannot reach the syslog capture: " << strerror(errno);
        close(s);
        return marker;
    }
    const auto end = RealClock() + std::chrono::seconds(kSyslogAnswerSeconds);
    std::string answer(marker.size() + 1, '\0');
    bool answered = false;
    while (!answered) {
        const ssize_t n = recv(s, answer.data(), answer.size(), 0);
        if (n < 0 && (errno != EINTR || RealClock() >= end)) break;
        answered = n == static_cast<ssize_t>(marker.size()) &&
                   answer.compare(0, marker.size(), marker) == 0;
    }
    close(s);
    bool ok;
    if (!answered)
        ADD_FAILURE() << "syslog capture did not answer";
    else if (Slurp(kSyslogFile, &ok).find(marker) == std::string::npos)
        ADD_FAILURE() << "syslog capture answered but did not write " << marker;
    return marker;
}
}  // namespace

bool InAppliance() {
    const char *env = getenv("QAVO_APPLIANCE");
    struct stat st;
    return env && strcmp(env, "1") == 0 && stat("/sim/appliance-root", &st) == 0 &&
           S_ISREG(st.st_mode);
}

std::string ReadFile(const std::string &path) {
    bool ok;
    std::string s = Slurp(path, &ok);
    if (!ok) ADD_FAILURE() << "cannot read " << path;
    return s;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

bool FileExists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.good()) << "cannot write " << path;
    out << content;
    out.close();
    chmod(path.c_str(), mode);
}

void RemoveFile(const std::string &path) {
    unlink(path.c_str());
}

std::vector<SyslogMsg> Syslog() {
    std::string marker = SyncSyslog();
    bool ok;
    std::vector<SyslogMsg> msgs;
    for (const auto &line : SplitLines(Slurp(kSyslogFile, &ok))) {
        if (line.find("qtest-sync-") != std::string::npos) continue;
        msgs.push_back(ParseSyslog(line));
    }
    return msgs;
}

void ClearSyslog() {
    SyncSyslog();
    truncate(kSyslogFile, 0);
}

bool SyslogHas(const std::string &text, int priority) {
    for (const auto &m : Syslog())
        if (m.message.find(text) != std::string::npos && (priority < 0 || m.priority == priority))
            return true;
    return false;
}

std::vector<std::vector<std::string>> Calls() {
    bool ok;
    std::vector<std::vector<std::string>> calls;
    for (const auto &line : SplitLines(Slurp(kCallLog, &ok))) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        calls.push_back(fields);
    }
    return calls;
}

void ClearCalls() {
    truncate(kCallLog, 0);
}

void SetStandinStatus(const std::string &name, int status) {
    WriteFile("/sim/standin/" + name + ".status", std::to_string(status) + "\n");
}

void SetStandinOutput(const std::string &name, const std::string &out) {
    WriteFile("/sim/standin/" + name + ".out", out);
}

void FastTime() {
    const std::string conf = "/sim/kernel.conf";
    WriteFile(conf, (FileExists(conf) ? ReadFile(conf) : std::string()) + "time fast\n");
}

std::chrono::nanoseconds RealClock() {
    timespec ts{};
    if (syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts) != 0) abort();
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

void RealSleep(std::chrono::nanoseconds time) {
    const auto end = RealClock() + time;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(end);
    const timespec until{static_cast<time_t>(secs.count()),
                         static_cast<long>((end - secs).count())};
    // Until the absolute time: a signal's interruption resumes where it left.
    while (syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0 &&
           errno == EINTR) {
    }
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step) {
    const auto end = RealClock() + limit;
    for (;;) {
        if (done()) return true;
        const auto now = RealClock();
        if (now >= end) return false;
        RealSleep(std::min<std::chrono::nanoseconds>(step, end - now));
    }
}

void InstallStandin(const std::string &path) {
    WriteFile(path, ReadFile(SourceDir() + "/sim/standin"), 0755);
}

int Exec(const std::vector<std::string> &argv, std::string *out, const std::string &input) {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int outp[2], inp[2];
    if (pipe2(outp, O_CLOEXEC) != 0 || pipe2(inp, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, inp[0], 0);
    posix_spawn_file_actions_adddup2(&fa, outp[1], 1);
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(outp[1]);
    close(inp[0]);
    if (rc != 0) {
        close(outp[0]);
        close(inp[1]);
        return -1;
    }
    if (!input.empty() && write(inp[1], input.data(), input.size()) < 0) {
    }
    close(inp[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(outp[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text.append(buf, static_cast<size_t>(n));
    close(outp[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (out) *out = text;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int Sh(const std::string &cmd, std::string *out) {
    return Exec({"/bin/sh", "-c", cmd}, out);
}

std::vector<std::string> Items(PSLIBSZLIST list) {
    std::vector<std::string> items;
    for (int i = 0; i < list->nItem; ++i)
        items.emplace_back(list->pszItem[i]);
    return items;
}

std::string SourceDir() {
    const char *s = getenv("QAVO_SRC");
    return s ? s : "";
}

std::string BuildDir() {
    const char *s = getenv("QAVO_BUILD");
    return s ? s : "";
}

std::string SourcedKey(const std::string &path, const std::string &key) {
    std::string out;
    const int rc =
        Exec({"sh", "-c", ". \"$0\" || exit 3; printf %s \"${" + key + "-<unset>}\"", path}, &out);
    return rc == 0 ? out : "<failed>";
}

}  // namespace qtest
