#include "qavosim.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fuse_launch.h"

namespace qsim {

namespace {

constexpr const char *kMount = "/sim/flash";
constexpr const char *kDescFile = "/sim/appliance.desc";
constexpr const char *kPidFile = "/sim/flash.pid";
constexpr const char *kDaemonLog = "/sim/flashd.log";
constexpr const char *kDevList = "/sim/flash.devices";
constexpr const char *kKernelConf = "/sim/kernel.conf";
constexpr const char *kKernelLog = "/sim/kernel.log";
constexpr const char *kHwVersion = "/proc/sys/kernel/qavo_hw_version";
constexpr const char *kSerial = "/proc/sys/kernel/qavo_serial";

bool Slurp(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

bool Spit(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    out.close();
    return static_cast<bool>(out);
}

bool StartDaemon(const std::string &dir, std::string *err) {
    mkdir(kMount, 0755);
    const pid_t pid =
        StartFuseDaemon(QSIM_FLASHD, {"qavo-flashd", kDescFile, dir, kMount}, 4, kDaemonLog, err);
    if (pid < 0) {
        if (!err->empty()) return false;
        std::string msg;
        Slurp(kDaemonLog, &msg);
        while (!msg.empty() && msg.back() == '\n')
            msg.pop_back();
        *err = "the flash emulator did not start: " + msg;
        return false;
    }
    Spit(kPidFile, std::to_string(pid) + "\n");
    return true;
}

void StopDaemon() {
    std::string s;
    if (!Slurp(kPidFile, &s)) return;
    pid_t pid = static_cast<pid_t>(atol(s.c_str()));
    umount2(kMount, MNT_DETACH);
    StopFuseDaemon(pid);
    unlink(kPidFile);
}

void RemoveDevices() {
    std::string list;
    if (!Slurp(kDevList, &list)) return;
    std::istringstream in(list);
    std::string dev;
    while (std::getline(in, dev)) {
        if (dev.empty()) continue;
        std::string path = "/dev/" + dev;
        umount2(path.c_str(), MNT_DETACH);
        unlink(path.c_str());
    }
    unlink(kDevList);
}

}  // namespace

bool Up(const std::string &description, const std::string &dir, std::string *err) {
    Config cfg;
    if (!ParseDescription(description, dir, &cfg, err)) return false;
    Down();
    if (!cfg.kernel.empty()) {
        std::string conf;
        for (auto &l : cfg.kernel)
            conf += l + "\n";
        if (!Spit(kKernelConf, conf)) {
            *err = "cannot write the kernel settings";
            return false;
        }
    }
    mkdir("/sim/proc", 0755);
    if (cfg.hw_version_set && !Spit(kHwVersion, cfg.hw_version + "\n")) {
        *err = "cannot write the hardware-version line";
        return false;
    }
    if (cfg.serial_set && !Spit(kSerial, cfg.serial + "\n")) {
        *err = "cannot write the serial number";
        return false;
    }
    if (!cfg.flash) return true;
    if (!Spit(kDescFile, description) || !StartDaemon(dir, err)) return false;
    // Device files: each a bind of the emulator's file over a /dev entry.
    Chip probe;
    std::string e2;
    if (!probe.Init(cfg, &e2)) {
        *err = e2;
        Down();
        return false;
    }
    std::string list;
    for (auto &dev : probe.Devices()) {
        std::string path = "/dev/" + dev, src = std::string(kMount) + "/" + dev;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) close(fd);
        list += dev + "\n";
        if (fd < 0 || mount(src.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            *err = "cannot bind " + src + " to " + path + ": " + strerror(errno);
            Spit(kDevList, list);
            Down();
            return false;
        }
    }
    Spit(kDevList, list);
    return true;
}

void Down() {
    RemoveDevices();
    StopDaemon();
    unlink(kDescFile);
    unlink(kKernelConf);
    unlink(kKernelLog);
}

std::vector<uint8_t> ReadChip() {
    std::string s;
    if (!Slurp(std::string(kMount) + "/chip", &s)) return {};
    return std::vector<uint8_t>(s.begin(), s.end());
}

uint64_t ChipSize() {
    struct stat st;
    if (stat((std::string(kMount) + "/chip").c_str(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

bool WriteChip(const std::vector<uint8_t> &bytes) {
    int fd = open((std::string(kMount) + "/chip").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // The whole chip or nothing.
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != bytes.size()) {
        close(fd);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, done);
        if (n <= 0) break;
        done += n;
    }
    close(fd);
    return done == bytes.size();
}

bool Control(const std::string &line) {
    return WriteControl(kMount, line);
}

std::vector<JournalRec> Journal() {
    std::string s;
    std::vector<JournalRec> out;
    if (!Slurp(std::string(kMount) + "/journal", &s)) return out;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        JournalRec r;
        std::string off, len;
        ls >> r.dev >> r.kind >> off >> len >> r.result;
        r.offset = strtoull(off.c_str(), nullptr, 0);
        r.length = strtoull(len.c_str(), nullptr, 0);
        out.push_back(r);
    }
    return out;
}

std::string Status() {
    std::string s;
    Slurp(std::string(kMount) + "/status", &s);
    return s;
}

bool Window(const std::string &dev, uint32_t *start, uint64_t *size, uint64_t *locked_blocks) {
    std::istringstream in(Status());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string w, d, st, sz;
        uint64_t nl = 0;
        ls >> w >> d >> st >> sz >> nl;
        if (w != "window" || d != dev) continue;
        if (start) *start = static_cast<uint32_t>(strtoul(st.c_str(), nullptr, 0));
        if (size) *size = strtoull(sz.c_str(), nullptr, 0);
        if (locked_blocks) *locked_blocks = nl;
        return true;
    }
    return false;
}

std::vector<std::string> KernelLog() {
    std::string s;
    std::vector<std::string> out;
    if (!Slurp(kKernelLog, &s)) return out;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

Appliance::Appliance(const std::string &description, const std::string &dir) {
    std::string err;
    if (!Up(description, dir, &err)) throw std::runtime_error("simulated appliance: " + err);
}

Appliance::~Appliance() {
    Down();
}

bool Appliance::Dump(const std::string &path) const {
    auto b = ReadChip();
    return !b.empty() && Spit(path, std::string(b.begin(), b.end()));
}

}  // namespace qsim
