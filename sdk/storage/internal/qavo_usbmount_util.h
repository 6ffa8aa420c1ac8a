// Helpers shared by the USB and eSATA mount code. Internal to the library.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qavo_usbvol.h"

namespace usbm {

// The USB mount code's name in the log.
inline constexpr const char *kMountSource = "sdk/qavodisk";

// A kernel device name of 1 to max lowercase letters and digits ("sdb",
// "lp0"): safe as a key of the device tables and inside a path of "/dev/".
bool PlainName(const char *name, size_t max);
// A kernel disk name of letters and digits only ("sdb"), short enough for
// the backup record's device field.
bool PlainDevice(const char *device);
// The file-system name of a code 0..3 ("reiserfs", "vfat", "ext3", "ntfs"),
// nullptr for another code; the code of a name, -1 for another.
const char *FsName(int code);
int FsCode(const char *name);
// Runs the program without a shell, its output discarded: the exit status,
// or -1.
int Run(const std::vector<std::string> &argv);
// The command as one line for the log.
std::string Line(const std::vector<std::string> &argv);

struct Mount {
    std::string device, point, fs, options;
};
// The mounts of "/proc/mounts" (lines of six fields); false when unreadable.
bool Mounts(std::vector<Mount> *out);
// True when "/proc/mounts" lists path or a path below it, or cannot be read.
bool Busy(const std::string &path);
// Removes path (never crossing into another file system) unless something is
// mounted at or below it. False when it was kept or the removal failed.
bool SafeRemove(const std::string &path);
// Makes the directory with mode 777 (and its parents); false on failure.
bool MakeDir(const std::string &path);
// Unmounts the volume at point: the attempts in order until "/proc/mounts"
// no longer lists point. True when it is gone.
bool Unmount(const std::string &point, const std::vector<std::vector<std::string>> &attempts,
             const char *func);
// True when nothing of the disk is mounted any more: neither the disk nor
// one of its partitions, at any mount point (a share folder bound elsewhere
// outlives the unmount of the volume). A mount table that cannot be read
// counts as a mount left. What is left is logged under func's name.
bool DiskReleased(const char *device, const char *func);
// "esatadiskname" of the model's capability file (at most 3 characters), or "".
std::string EsataName();
// Records a storage event (system class, level 1).
void Event(unsigned id, const char *a1, const char *a2);
// True when the device may be repartitioned: a plain name that is no internal
// slot and stands under no array.
bool MayFormat(const char *device);
// The size and use of the volume mounted at point, in MiB rounded up, into
// info; an unreadable volume gives 0 and 0 and the error status.
void FillSpace(const std::string &point, QAVOUSBVOLINFO *info);

// QAVOUSBRegisterPostFixNumberEx that also tells, through taken, whether
// the number was free in the used list before this registration added it.
int RegisterNumber(const char *device, int *number, char *oldGuid, int oldGuidSize, int preset,
                   bool *taken);
// QAVOUSBRollBackPostFixNumberMap that frees the number in the used list only
// when freeNumber is set (the registration being undone took it).
int RollBackNumber(int number, const char *oldGuid, bool freeNumber);

// The backup disk's arrival, USB or eSATA. The take-over record: the whole
// backup record, status on line and initiating, for device.
int WriteBackupTakeOver(const char *device);
// Erases the backup ID in the disk's label so that it no longer claims the
// set (a fresh label when the old one cannot be read).
void EraseBackupLabelId(const char *device);
// Unmounts a replaced USB backup disk that is still mounted and frees its
// number in the used list; 0 when nothing was mounted.
int UnmountReplacedUsb(const std::string &replaced);
// Clears the initiating bit once the disk is mounted; false (logged under
// func's name) when that fails.
bool EndInitiating(const char *func, const char *device);

}  // namespace usbm
