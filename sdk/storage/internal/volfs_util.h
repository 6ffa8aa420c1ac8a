// Helpers of the volume file-system code that the sweep for crashed arrays
// and the array layer share. Internal to the library.
#pragma once

#include <initializer_list>
#include <string>

namespace volfs {

inline constexpr const char *kMountTable = "/proc/mounts";

std::string MdDev(int md);
// Exit status of a program run without a shell (its output on /dev/null);
// -1 when it could not be forked, 255 when it did not start.
int Run(std::initializer_list<const char *> args);
// Looks up a mount: by mount point (byDevice false) or device. -1 when the
// table cannot be opened, 0 not found, 1 found (other and options filled).
int FindMount(const std::string &key, bool byDevice, std::string *other, std::string *options);
// Looks up a mount of the disk (as "/dev/sdb") or of one of its partitions
// ("/dev/sdb1"): -1 when the table cannot be opened, 0 none, 1 found (device
// and point filled).
int FindDiskMount(const std::string &disk, std::string *device, std::string *point);

}  // namespace volfs
