// Mail servers for the SMTP and event-mail tests, inside the appliance
// root's own network namespace: a veth end holds 192.0.2.2, where a real
// SMTP server (aiosmtpd) or a scripted peer listens on port 25. Received
// mails are parsed with Python's email package.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "appliance.h"
#include "eventlog_read.h"
#include "slib_eventlog.h"

namespace mailtest {

inline const char *const kServerAddr = "192.0.2.2";
inline const char *const kPython = "/usr/bin/python3";
inline const char *const kSpool = "/tmp/smtp-spool";
inline const char *const kPeerLog = "/tmp/smtp-peer.log";

inline std::string Script(const std::string &name) {
    return qtest::SourceDir() + "/tests/system/mail/" + name;
}

// Seconds of real time, also after qtest::FastTime().
inline bool WaitFor(const std::function<bool()> &done, int seconds) {
    return qtest::WaitUntil(done, std::chrono::seconds(seconds), std::chrono::milliseconds(50));
}

// One received message: its envelope and what the parser made of it.
struct Mail {
    std::string mailFrom;
    std::vector<std::string> rcpt;
    std::map<std::string, std::string> f;  // parse_mail.py's fields
};

// The address, the server process and the spool of one test.
class MailNet {
  public:
    // dev holds the server's address (the appliance's own card "eth0" when
    // the mail should name the address).
    explicit MailNet(const std::string &dev = "smtp0") : dev_(dev) {
        EXPECT_EQ(qtest::Sh("ip link add " + dev +
                            " type veth peer name smtp1 && "
                            "ip addr add 192.0.2.2/24 dev " +
                            dev + " && ip link set " + dev + " up && ip link set smtp1 up"),
                  0);
        qtest::Sh(std::string("rm -rf ") + kSpool + " && mkdir -p " + kSpool);
    }
    ~MailNet() {
        Stop();
        qtest::Sh("ip link del " + dev_ + " >/dev/null 2>&1");
    }

    // The real server; with a user it wants AUTH LOGIN with that account.
    void StartServer(const std::string &user = {}, const std::string &pass = {}) {
        std::vector<std::string> argv = {kPython,     "-W", "ignore", Script("smtp_server.py"),
                                         kServerAddr, "25", kSpool};
        if (!user.empty()) {
            argv.push_back(user);
            argv.push_back(pass);
        }
        Start(argv, std::string(kSpool) + "/ready");
    }
    // The scripted peer with these replies (see smtp_script.py).
    void StartPeer(const std::vector<std::string> &replies) {
        std::string text;
        for (const auto &r : replies)
            text += r + "\n";
        qtest::WriteFile("/tmp/smtp-peer.script", text);
        qtest::RemoveFile(kPeerLog);
        qtest::RemoveFile(std::string(kPeerLog) + ".ready");
        Start({kPython, Script("smtp_script.py"), kServerAddr, "25", "/tmp/smtp-peer.script",
               kPeerLog},
              std::string(kPeerLog) + ".ready");
    }
    void Stop() {
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
            server_ = -1;
        }
    }
    pid_t ServerPid() const { return server_; }

    // Messages received so far, in order of arrival.
    static std::vector<Mail> Mails() {
        std::vector<Mail> mails;
        for (int n = 0;; ++n) {
            char base[64];
            snprintf(base, sizeof base, "%s/%03d", kSpool, n);
            const std::string env = std::string(base) + ".env";
            if (!qtest::FileExists(env)) break;
            Mail m;
            std::string text = qtest::ReadFile(env);
            size_t at = 0;
            for (bool first = true; at < text.size(); first = false) {
                const size_t lf = text.find('\n', at);
                const std::string line = text.substr(at, lf - at);
                if (first) {
                    m.mailFrom = line;
                } else {
                    m.rcpt.push_back(line);
                }
                at = lf == std::string::npos ? text.size() : lf + 1;
            }
            std::string out;
            EXPECT_EQ(
                qtest::Exec({kPython, Script("parse_mail.py"), std::string(base) + ".eml"}, &out),
                0);
            for (size_t p = 0; p < out.size();) {
                const size_t a = out.find('\0', p);
                const size_t b = out.find('\0', a + 1);
                if (a == std::string::npos || b == std::string::npos) break;
                m.f[out.substr(p, a - p)] = out.substr(a + 1, b - a - 1);
                p = b + 1;
            }
            mails.push_back(std::move(m));
        }
        return mails;
    }
    static size_t MailCount() {
        size_t n = 0;
        char base[64];
        for (;; ++n) {
            snprintf(base, sizeof base, "%s/%03zu.env", kSpool, n);
            if (!qtest::FileExists(base)) return n;
        }
    }
    static bool WaitMails(size_t n, int seconds = 20) {
        return WaitFor([n] { return MailCount() >= n; }, seconds);
    }
    // The lines the scripted peer received.
    static std::vector<std::string> PeerLines() {
        std::vector<std::string> lines;
        if (!qtest::FileExists(kPeerLog)) return lines;
        const std::string text = qtest::ReadFile(kPeerLog);
        size_t at = 0;
        while (at < text.size()) {
            const size_t lf = text.find('\n', at);
            lines.push_back(text.substr(at, lf - at));
            at = lf == std::string::npos ? text.size() : lf + 1;
        }
        return lines;
    }

  private:
    void Start(const std::vector<std::string> &argv, const std::string &ready) {
        Stop();
        server_ = fork();
        if (server_ == 0) {
            std::vector<char *> args;
            for (const auto &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            freopen("/tmp/smtp-server.err", "a", stderr);
            execv(args[0], args.data());
            _exit(127);
        }
        ASSERT_GT(server_, 0);
        ASSERT_TRUE(WaitFor([&] { return qtest::FileExists(ready); }, 30))
            << qtest::ReadFile("/tmp/smtp-server.err");
    }
    std::string dev_;
    pid_t server_ = -1;
};

// Event records of the system log (or another class's log file), oldest
// first: id, arguments and level.
using LoggedEvent = qtest::LogEvent;

inline std::vector<LoggedEvent> SystemEvents(const std::string &path = "/var/log/qavosys.log") {
    return qtest::LogEvents(path);
}

inline std::vector<uint32_t> SystemEventIds() {
    return qtest::LogEventIds("/var/log/qavosys.log");
}

// Makes this process the reaper of orphaned descendants, so that the
// detached delivery children can be waited for.
inline void AdoptOrphans() {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
}

// The children of this process (by /proc), other than except.
inline std::vector<pid_t> Children(pid_t except = -1) {
    std::vector<pid_t> kids;
    DIR *d = opendir("/proc");
    if (!d) return kids;
    const pid_t self = getpid();
    while (dirent *e = readdir(d)) {
        const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0 || pid == except) continue;
        std::string stat;
        FILE *fp = fopen(("/proc/" + std::string(e->d_name) + "/stat").c_str(), "r");
        if (!fp) continue;
        char buf[512];
        const size_t n = fread(buf, 1, sizeof buf - 1, fp);
        fclose(fp);
        buf[n] = '\0';
        const char *close = strrchr(buf, ')');
        char state = 0;
        int ppid = 0;
        if (close && sscanf(close + 1, " %c %d", &state, &ppid) == 2 && ppid == self)
            kids.push_back(pid);
    }
    closedir(d);
    return kids;
}

// Waits (adopted orphans included) until every delivery child has ended.
inline void WaitDeliveries(pid_t server, int seconds = 150) {
    const bool done = WaitFor(
        [&] {
            for (pid_t p : Children(server))
                waitpid(p, nullptr, WNOHANG);
            return Children(server).empty();
        },
        seconds);
    ASSERT_TRUE(done) << "delivery children still running";
}

}  // namespace mailtest
