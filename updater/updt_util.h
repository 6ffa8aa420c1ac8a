// Helpers the updater's flash writers share: shell words and the backup
// files of the flash directory's entries. Internal to the updater.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "slib_str.h"
#include "updt_patchinfo.h"
#include "updt_redboot.h"

namespace updt {

// One literal shell word, as a person would type it: the text itself when
// the shell takes every character of it literally, else the text in single
// quotes (a quote inside as '\''). The command runs and is logged in this form.
inline std::string Word(const std::string &text) {
    static constexpr char kPlain[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_@%+=:,./-";
    if (!text.empty() && text.find_first_not_of(kPlain) == std::string::npos) return text;
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The name of a flash directory entry (its field need not end in a NUL).
inline std::string EntryName(const FISDIRENTRY &e) {
    return std::string(e.szName, strnlen(e.szName, sizeof e.szName));
}

// The folder that keeps the partitions as they were before the update.
inline std::string BackupDir() {
    return std::string(szUpdateDir) + "/" + UPDT_BACKUP_DIR;
}

// The backup file of the partition name.
inline std::string BackupFile(const std::string &name) {
    return BackupDir() + "/" + UPDT_BACKUP_PREFIX + name;
}

// True when the first len bytes of the file and of the device are the same;
// nothing is logged and no progress is counted (len 0: true).
bool SameBytes(const std::string &file, const char *device, uint64_t len);

// Fills row from its image in the package or, without one, from the
// partition e as it stands: data length, update and image flags, start, size
// and balance in blocks of blockSize. label names the row in the log
// ("partition", "part"), func the caller. The row's blocks, or -1 when its
// image cannot be used.
int64_t FillPatchRow(const char *func, const char *label, PATCHINFO &row, const FISDIRENTRY &e,
                     uint32_t blockSize);

// After "the binary size exceeds flash size limit": names each image larger
// than its partition and by how many bytes it would have to shrink for the
// rows to fit (total and room in erase blocks).
void LogTooLarge(const char *func, const PATCHINFO *rows, int n, uint32_t blockSize, int64_t total,
                 int64_t room);

}  // namespace updt
