// The internal disks' device tables and the error setter, which the array
// code shares with the disk code. Internal to the library.
#pragma once

#include "qavo_raiddisk.h"

namespace raiddisk {

inline constexpr const char *kDisks[QAVO_RAID_DISK_MAX] = {"/dev/sda", "/dev/sdb", "/dev/sdc",
                                                           "/dev/sdd"};
inline constexpr const char *kSysfs[QAVO_RAID_DISK_MAX] = {"/sys/block/sda", "/sys/block/sdb",
                                                           "/sys/block/sdc", "/sys/block/sdd"};
inline constexpr const char *kParts[QAVO_RAID_DISK_MAX][QAVO_RAID_PART_MAX] = {
    {"/dev/sda1", "/dev/sda2", "/dev/sda3", "/dev/sda4"},
    {"/dev/sdb1", "/dev/sdb2", "/dev/sdb3", "/dev/sdb4"},
    {"/dev/sdc1", "/dev/sdc2", "/dev/sdc3", "/dev/sdc4"},
    {"/dev/sdd1", "/dev/sdd2", "/dev/sdd3", "/dev/sdd4"},
};
inline constexpr const char *kSfdisk = "/sbin/sfdisk";

// Sets the disk error code; returns 1.
int DiskFail(int err);

// True when the slot may be written as an internal disk: one of the model's
// slots ("maxdisks", one when unreadable) whose device no table of attached
// external disks names (a table that cannot be read may name it). A refusal
// is logged under func.
bool InternalSlot(int disk, const char *func);

}  // namespace raiddisk
