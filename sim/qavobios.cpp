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

#include "fuse_launch.h"

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
    StopFuseDaemon(gDaemon);
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
    // The setting lines follow the ready descriptor.
    std::vector<std::string> args{"qavo-biosd", kMount};
    std::istringstream in(settings);
    for (std::string l; std::getline(in, l);)
        if (l.find_first_not_of(" \t") != std::string::npos) args.push_back(l);
    std::string err;
    const pid_t pid = StartFuseDaemon(QSIM_BIOSD, std::move(args), 2, kLog, &err);
    if (pid < 0) {
        if (!err.empty()) throw std::runtime_error(err);
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
    return WriteControl(kMount, line);
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
