// Drives behind the simulated disks, their sysfs links and the kernel shim's
// log of the commands they got (sim/README.md, "Disk drives").
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "raid_sim.h"

namespace dsim {

// A disk /dev/<name> with a drive answering from the given state lines.
inline void AddDrive(const std::string &name, const std::string &state,
                     uint64_t sectors = 2097152) {
    rsim::AddDisk(name, sectors);
    qtest::WriteFile("/sim/disks/" + name + ".state", state);
}

inline std::string State(const std::string &name) {
    return qtest::ReadFile("/sim/disks/" + name + ".state");
}

// How the disk hangs on its host: "platform" (a SATA host taking SCSI
// requests), "pci:<device id>" (a PCI controller) or "ide" (no host element).
inline void SetHost(const std::string &name, const std::string &how) {
    std::string target;
    if (how == "platform") {
        target = "devices/platform/host0/target0:0:0/0:0:0:0";
    } else if (how.rfind("pci:", 0) == 0) {
        target = "devices/pci0000:00/0000:00:0c.0/host1/target1:0:0/1:0:0:0";
        ASSERT_EQ(qtest::Sh("mkdir -p /sys/devices/pci0000:00/0000:00:0c.0"), 0);
        qtest::WriteFile("/sys/devices/pci0000:00/0000:00:0c.0/device", how.substr(4) + "\n");
    } else {
        target = "devices/pci0000:00/0000:00:1f.1/ide0/0.0";
    }
    ASSERT_EQ(qtest::Sh("mkdir -p /sys/" + target + " && rm -rf /sys/block/" + name +
                        "/device && ln -s ../../" + target + " /sys/block/" + name + "/device"),
              0);
}

// The kernel's list of USB devices (through the kernel shim).
inline void UsbDevices(const std::string &text) {
    ASSERT_EQ(qtest::Sh("mkdir -p /sim/proc/bus/usb"), 0);
    qtest::WriteFile("/sim/proc/bus/usb/devices", text);
}

// Lines of the kernel shim's log about one disk, without the disk's name.
inline std::vector<std::string> Log(const std::string &name) {
    std::vector<std::string> out;
    std::istringstream in(qtest::FileExists("/sim/kernel.log") ? qtest::ReadFile("/sim/kernel.log")
                                                               : "");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + " ", 0) == 0) out.push_back(line.substr(name.size() + 1));
    return out;
}

inline void ClearLog() {
    qtest::WriteFile("/sim/kernel.log", "");
}

}  // namespace dsim
