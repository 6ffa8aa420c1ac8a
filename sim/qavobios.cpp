#include "qavobios.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qsim {

namespace {

constexpr const char *kMount = "/sim/bios";
constexpr const char *kDevice = "/dev/qavobios";
constexpr const char *kSerial = "/dev/ttyS1";
constexpr const char *kLog = "/sim/biosd.log";

pid_t gDaemon = -1;

void Stop() {
    umount2(kDevice, MNT_DETACH);
    unlink(kDevice);
    umount2(kMount, MNT_DETACH);
    if (gDaemon > 0) {
        kill(gDaemon, SIGTERM);
        for (int i = 0; i < 400; ++i) {
            int st;
            if (waitpid(gDaemon, &st, WNOHANG) == gDaemon) break;
            if (i == 300) kill(gDaemon, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    gDaemon = -1;
}

std::vector<uint8_t> Unhex(const std::string &s) {
    std::vector<uint8_t> b;
    if (s == "-") return b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
    return b;
}

}  // namespace

Bios::Bios(const std::string &settings) {
    if (gDaemon > 0) throw std::runtime_error("the BIOS driver runs already");
    mkdir(kMount, 0755);
    std::vector<std::string> lines;
    std::istringstream in(settings);
    for (std::string l; std::getline(in, l);)
        if (l.find_first_not_of(" \t") != std::string::npos) lines.push_back(l);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        int log = open(kLog, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null >= 0) dup2(null, 0), dup2(null, 1);
        if (log >= 0) dup2(log, 2);
        std::string rfd = std::to_string(dup(fds[1]));
        std::vector<char *> argv{const_cast<char *>("qavo-biosd"), const_cast<char *>(kMount),
                                 rfd.data()};
        for (auto &l : lines)
            argv.push_back(l.data());
        argv.push_back(nullptr);
        execv(QSIM_BIOSD, argv.data());
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
        throw std::runtime_error("the BIOS driver did not start (see /sim/biosd.log)");
    }
    gDaemon = pid;
    int fd = open(kDevice, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    std::string src = std::string(kMount) + "/qavobios";
    if (fd < 0 || mount(src.c_str(), kDevice, nullptr, MS_BIND, nullptr) != 0) {
        Stop();
        throw std::runtime_error("cannot bind the BIOS driver over /dev/qavobios");
    }
}

Bios::~Bios() {
    Stop();
}

bool Bios::Control(const std::string &line) const {
    int fd = open((std::string(kMount) + "/control").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = write(fd, line.data(), line.size());
    close(fd);
    return n == static_cast<ssize_t>(line.size());
}

std::vector<BiosRequest> Bios::Journal() const {
    std::vector<BiosRequest> out;
    std::ifstream f(std::string(kMount) + "/journal");
    for (std::string line; std::getline(f, line);) {
        std::istringstream ls(line);
        std::string req, in, arrow, out_hex;
        BiosRequest r{};
        ls >> req >> in >> arrow >> r.result >> out_hex;
        r.request = static_cast<uint32_t>(strtoul(req.c_str(), nullptr, 0));
        r.in = Unhex(in);
        r.out = Unhex(out_hex);
        out.push_back(std::move(r));
    }
    return out;
}

SerialPort::SerialPort() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pty");
    const char *slave = ptsname(master_);
    int fd = open(kSerial, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    if (!slave || fd < 0 || mount(slave, kSerial, nullptr, MS_BIND, nullptr) != 0) {
        close(master_);
        throw std::runtime_error("cannot bind the pty over /dev/ttyS1");
    }
}

SerialPort::~SerialPort() {
    umount2(kSerial, MNT_DETACH);
    unlink(kSerial);
    close(master_);
}

std::string SerialPort::Read(int wait_ms) const {
    std::string got;
    pollfd p{master_, POLLIN, 0};
    int timeout = wait_ms;
    while (poll(&p, 1, timeout) > 0 && (p.revents & POLLIN)) {
        char buf[256];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        timeout = 20;  // the rest of what is on its way
    }
    return got;
}

termios SerialPort::Settings() const {
    termios t{};
    int fd = open(kSerial, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        tcgetattr(fd, &t);
        close(fd);
    }
    return t;
}

}  // namespace qsim
