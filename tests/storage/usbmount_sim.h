// USB and eSATA disks for the mount tests: loop disks with a file system,
// the kernel's USB device list, the hot-plug side's state files.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "../accounts/samba_check.h"
#include "appliance.h"
#include "eventlog_read.h"
#include "signal_recorder.h"
#include "disk_sim.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_usbvol.h"
#include "raid_sim.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"

namespace usim {

constexpr uint64_t kSectors = 262144;  // 128 MiB

// A storage device of the kernel's USB list at bus 1, device number dev and
// the port.
inline std::string UsbStorage(int dev, int port = 1, const char *ids = "0781 ProdID=5567") {
    return "T:  Bus=01 Lev=01 Prnt=01 Port=" + std::to_string(port) +
           " Cnt=01 Dev#=" + std::to_string(dev) +
           " Spd=480 MxCh= 0\n"
           "P:  Vendor=" +
           std::string(ids) +
           " Rev= 1.26\n"
           "S:  Product=Stick\n"
           "I:* If#= 0 Alt= 0 #EPs= 2 Cls=08(stor.) Sub=06 Prot=50 Driver=usb-storage\n\n";
}

inline std::string UsbPath(int dev) {
    char b[64];
    snprintf(b, sizeof b, "/proc/bus/usb/001/%03d", dev);
    return b;
}

enum class Fs { Bare, None, Ext3, Vfat, VfatFloppy, Ntfs, Reiserfs, Legacy, Ipod };

// A disk with partition 1 from sector 2048 (type 83, or b for FAT) and the
// file system on it.
inline void Disk(const std::string &dev, Fs fs, uint64_t sectors = kSectors) {
    rsim::AddDisk(dev, fs == Fs::Legacy ? 2097152 : sectors);
    const std::string d = "/dev/" + dev;
    if (fs == Fs::Bare) return;
    switch (fs) {
        case Fs::VfatFloppy:
            ASSERT_EQ(qtest::Sh("mkfs.vfat -F 32 " + d + " >/dev/null 2>&1"), 0);
            return;
        case Fs::Legacy:
            // The internal disks' old layout: system, swap, data.
            ASSERT_EQ(qtest::Sh("sfdisk -N1 -uS -q -f -o63 -z273042 -t83 -F " + d +
                                " >/dev/null && sfdisk -N2 -uS -q -f -o273105 -z787185 -t82 -F " +
                                d + " >/dev/null && sfdisk -N3 -uS -q -f -o1060290 -z-1 -t83 -F " +
                                d + " >/dev/null && mkfs.ext3 -q " + d + "3 >/dev/null 2>&1"),
                      0);
            return;
        case Fs::Ipod:
            // A small first partition, the music data on partition 2.
            ASSERT_EQ(qtest::Sh("sfdisk -N1 -uS -q -f -o63 -z16002 -t0 -F " + d +
                                " >/dev/null && sfdisk -N2 -uS -q -f -o16065 -z-1 -tb -F " + d +
                                " >/dev/null && mkfs.vfat -F 32 " + d + "2 >/dev/null 2>&1"),
                      0);
            return;
        default:
            break;
    }
    const char *type = (fs == Fs::Vfat) ? "b" : (fs == Fs::Ntfs ? "7" : "83");
    ASSERT_EQ(qtest::Sh(std::string("sfdisk -N1 -uS -q -f -j2048 -z-1 -t") + type + " -F " + d +
                        " >/dev/null"),
              0);
    const std::string p = d + "1";
    std::string cmd;
    if (fs == Fs::Ext3) cmd = "mkfs.ext3 -q " + p;
    if (fs == Fs::Vfat) cmd = "mkfs.vfat -F 32 " + p;
    if (fs == Fs::Ntfs) cmd = "mkntfs -Q -F " + p;
    if (fs == Fs::Reiserfs) cmd = "printf QaVoRs2Fs | dd of=" + p + " bs=1 seek=65588 conv=notrunc";
    if (!cmd.empty()) {
        ASSERT_EQ(qtest::Sh(cmd + " >/dev/null 2>&1"), 0);
    }
}

// The mount point, type and options of every mount of /proc/mounts read by
// this process, as "POINT TYPE OPTIONS" lines; only /volume* points.
inline std::vector<std::string> Mounts() {
    std::vector<std::string> out;
    std::istringstream in(qtest::ReadFile("/proc/mounts"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        std::string dev, point, type, opts;
        l >> dev >> point >> type >> opts;
        if (point.rfind("/volume", 0) == 0) out.push_back(dev + " " + point + " " + type);
    }
    return out;
}

// The options of the mount at point, as this process sees them.
inline std::string Options(const std::string &point) {
    std::istringstream in(qtest::ReadFile("/proc/mounts"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        std::string dev, p, type, opts;
        l >> dev >> p >> type >> opts;
        if (p == point) return opts;
    }
    return "";
}

inline bool Mounted(const std::string &point) {
    for (const auto &m : Mounts()) {
        std::istringstream l(m);
        std::string dev, p;
        l >> dev >> p;
        if (p == point) return true;
    }
    return false;
}

// The runs since the last ClearCalls of the programs that change a disk's
// layout or file system (sfdisk other than a listing, every mkfs), as lines.
inline std::vector<std::string> DiskWrites() {
    std::vector<std::string> out;
    for (const char *tool : {"sfdisk", "mkfs.ext3", "mkfs.vfat", "mkfs.reiserfs"})
        for (const auto &args : rsim::CallsOf(tool)) {
            if (!args.empty() && (args[0] == "-l" || args[0] == "-d")) continue;
            std::string line = tool;
            for (const auto &a : args)
                line += " " + a;
            out.push_back(line);
        }
    return out;
}

// True when smb.conf holds a section of name.
inline bool HasShare(const std::string &name) {
    return qtest::ReadFile(SZF_QAVO_SMB_CONF).find("[" + name + "]") != std::string::npos;
}

inline std::string Key(const char *path, const char *key) {
    char v[1024] = "";
    if (SLIBFileGetKeyValue(path, key, v, sizeof v, 0) <= 0) return "<none>";
    return v;
}

// Event ids and first arguments of the system log, oldest first.
inline std::vector<std::pair<uint32_t, std::string>> Events() {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (const qtest::LogEvent &e : qtest::LogEvents("/var/log/qavosys.log")) {
        std::string a1 = e.args[0];
        while (!a1.empty() && a1.back() == '\0')
            a1.pop_back();
        out.emplace_back(e.id, a1);
    }
    return out;
}

// Common set-up: smb.conf, the stand-in tools, no USB devices yet.
inline void Base() {
    qtest::WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tworkgroup=WORKGROUP\n\tsecurity=user\n");
    qtest::InstallStandin("/usr/qavo/bin/qavoitunesdb");
    qtest::WriteFile("/usr/qavo/etc/usb.map",
                     "0781  Maker\n\t5567  Stick\n05ac  Player maker\n\t1201  Player\n");
}

}  // namespace usim
