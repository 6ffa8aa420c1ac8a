// Disks and arrays of the simulated appliance for the storage tests
// (sim/README.md, "Disks and arrays").
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "appliance.h"

namespace rsim {

// Sectors of a small disk that still has a data partition.
constexpr uint64_t kDiskSectors = 8388608;  // 4 GiB

inline void SetMaxDisks(int n) {
    ASSERT_EQ(qtest::Sh("sed -i 's/^maxdisks=.*/maxdisks=\"" + std::to_string(n) +
                        "\"/' /etc.defaults/qavoinfo.conf"),
              0);
}

// A disk /dev/<name> of the given size (sparse), with its sysfs entry.
inline void AddDisk(const std::string &name, uint64_t sectors = kDiskSectors,
                    const std::string &model = "SIM DISK") {
    ASSERT_EQ(qtest::Sh("/sim/bin/qavo-disk add " + name + " " + std::to_string(sectors) + " '" +
                        model + "'"),
              0);
}

// Lays the appliance's three partitions with the sfdisk stand-in.
inline void Partition(const std::string &name) {
    const std::string dev = " -F /dev/" + name + " >/dev/null";
    ASSERT_EQ(qtest::Sh("sfdisk -N1 -uS -q -f -j63 -z1574307 -tfd" + dev +
                        " && sfdisk -N2 -uS -q -f -j0 -z787185 -tfd" + dev +
                        " && sfdisk -N3 -uS -q -f -j273105 -z-1 -tfd" + dev),
              0);
}

// Writes the state of array md (see sim/README.md) and lays its files.
inline void SetMd(int md, const std::string &state) {
    qtest::WriteFile("/sim/md/md" + std::to_string(md), state);
    ASSERT_EQ(qtest::Sh("/sim/bin/qavo-disk refresh"), 0);
}

// A state line of member disk d's partition p (1-based) as md number n.
inline std::string Member(int n, int disk, int part, int state) {
    return "disk " + std::to_string(n) + " 8 " + std::to_string(16 * disk + part) + " " +
           std::to_string(state) + "\n";
}

// Programs the library runs through the shell read /proc/mdstat through the shim.
inline void PreloadShim() {
    setenv("LD_PRELOAD", (qtest::BuildDir() + "/sim/libqavoshim.so").c_str(), 1);
}

// The stand-in calls of one program (base name), each as its arguments.
inline std::vector<std::vector<std::string>> CallsOf(const std::string &name) {
    std::vector<std::vector<std::string>> out;
    for (auto &c : qtest::Calls()) {
        const std::string &p = c[0];
        if (p.size() >= name.size() && p.compare(p.size() - name.size(), name.size(), name) == 0 &&
            (p.size() == name.size() || p[p.size() - name.size() - 1] == '/'))
            out.emplace_back(c.begin() + 1, c.end());
    }
    return out;
}

}  // namespace rsim
