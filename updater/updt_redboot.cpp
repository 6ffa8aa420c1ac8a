#include "updt_redboot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "flash_io.h"
#include "slib_errcode.h"
#include "slib_str.h"
#include "updt_patchinfo.h"
#include "updt_status.h"
#include "updt_util.h"

using qflash::Fd;
using qflash::PReadFull;
using qflash::PWriteFull;
using qflash::ReadFull;
using qflash::WriteFull;

namespace {

using updt::BackupDir;
using updt::BackupFile;
using updt::EntryName;
using updt::Word;

constexpr int kWriteChunk = 16384;
constexpr int kVerifyChunk = 8192;
constexpr int kRestoreVerifyChunk = 65536;
// Bytes read back from a device at once by the verification.
constexpr uint64_t kVerifySpan = 1 << 20;

// Progress of the writing: bytes to write and read back, bytes done so far,
// and the last percentage written (the file is rewritten only on a change).
int64_t gTotal = 0;
int64_t gDone = 0;
int gLastPercent = -1;

// What the last patch did, for the roll-back. Per row: its window was moved,
// its directory entry was sent (and taken), its image was verified in place.
// And the flash ranges (CPU addresses) that an erase or a write may have
// changed: a request the kernel refused up front changed nothing.
struct RowState {
    bool moved = false;
    bool entrySent = false;
    bool entryNew = false;
    bool completed = false;
};
bool gBackupDone = false;
bool gBackupMade = false;
RowState gRow[UPDT_ROWS_MAX];
std::vector<std::pair<uint64_t, uint64_t>> gChanged;
// Partitions are unlocked once, before the first change. The flash unlocked
// since (CPU address ranges), and each row's window as last set: a window
// moved or grown may take blocks that no window held when they were unlocked.
bool gUnlocked = false;
std::vector<std::pair<uint64_t, uint64_t>> gOpen;
struct Window {
    uint64_t start = 0, size = 0;  // size 0: not known
};
Window gWindow[UPDT_ROWS_MAX];

void Progress(bool force) {
    if (gTotal <= 0) return;
    int percent = static_cast<int>(60 + 40 * gDone / gTotal);
    if (!force && percent == gLastPercent) return;
    gLastPercent = percent;
    UPDTSetProgress('P', percent);
}

// Size of a regular file, or -1.
int64_t RegularFileSize(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

bool Readable(const std::string &path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.ok();
}

void SendEntry(QAVOMTDFISENTRY *req, const char *name, uint32_t base, uint32_t size,
               uint32_t datalen) {
    memset(req, 0, sizeof *req);
    strncpy(req->szName, name, sizeof req->szName - 1);
    req->flash_base = base;
    req->size = size;
    req->data_length = datalen;
}

bool SameEntry(const FISDIRENTRY &e, uint32_t base, uint32_t size, uint32_t datalen) {
    return e.flash_base == base && e.size == size && e.data_length == datalen;
}

// A request the kernel refused before touching the flash.
bool Refused(int e) {
    return e == EROFS || e == EPERM || e == EACCES || e == EINVAL || e == ENOTTY || e == ENODEV ||
           e == EBADF || e == ENOSPC || e == EOPNOTSUPP;
}

void NoteChange(uint64_t start, uint64_t len) {
    gChanged.emplace_back(start, len);
}

bool Overlaps(uint64_t start, uint64_t size, uint64_t s2, uint64_t len2) {
    return start < s2 + len2 && s2 < start + size;
}

bool Changed(uint64_t start, uint64_t size) {
    for (auto &[s, len] : gChanged)
        if (Overlaps(start, size, s, len)) return true;
    return false;
}

// The errors of a copy or a comparison, logged as fn's at the line given,
// with the error e: "FILE:LINE(fn) what [path] error: (e) text.".
void LogFileError(int line, const char *fn, const char *what, const char *path, int e) {
    SLIBLog(LOG_ERR, "%s:%d(%s) %s [%s] error: (%d) %s.", __FILE__, line, fn, what, path, e,
            strerror(e));
}

void LogNoBuffer(int line, const char *fn, int size, int e) {
    SLIBLog(LOG_ERR, "%s:%d(%s) malloc [%d] fail: (%d) %s.", __FILE__, line, fn, size, e,
            strerror(e));
}

// path gave only got of the length bytes needed.
void LogShortRead(int line, const char *fn, const char *path, uint64_t got, uint64_t length,
                  int e) {
    SLIBLog(LOG_ERR, "%s:%d(%s) read file [%s] only %llu bytes, %llu bytes needed: (%d) %s.",
            __FILE__, line, fn, path, static_cast<unsigned long long>(got),
            static_cast<unsigned long long>(length), e, strerror(e));
}

// Compares the first length bytes of a file and a device, in chunks of
// chunk bytes. With report, a difference or a short read is logged and the
// bytes count as progress.
int Compare(const char *szFile, const char *szDevice, uint64_t length, int nBufSize, bool report) {
    if (!szFile || !szDevice || length == 0 || nBufSize <= 0) return -1;
    Fd file(open(szFile, O_RDONLY | O_CLOEXEC));
    if (!file.ok()) {
        LogFileError(__LINE__, "UPDTVerifyFile", "open", szFile, errno);
        return -1;
    }
    Fd dev(open(szDevice, O_RDONLY | O_CLOEXEC));
    if (!dev.ok()) {
        LogFileError(__LINE__, "UPDTVerifyFile", "open", szDevice, errno);
        return -1;
    }
    // The device is read back in spans of many chunks (one request each
    // instead of one per chunk) and compared chunk by chunk, so a difference
    // is still reported at the start of its chunk.
    const uint64_t chunk = static_cast<uint64_t>(nBufSize);
    const uint64_t span = std::max<uint64_t>(chunk, kVerifySpan / chunk * chunk);
    const size_t bufLen = static_cast<size_t>(std::min<uint64_t>(span, length));
    std::unique_ptr<uint8_t[]> a(new (std::nothrow) uint8_t[bufLen]);
    std::unique_ptr<uint8_t[]> b(new (std::nothrow) uint8_t[bufLen]);
    if (!a || !b) {
        LogNoBuffer(__LINE__, "UPDTVerifyFile", nBufSize, errno);
        return -1;
    }
    uint64_t verified = 0;
    while (verified < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(bufLen, length - verified));
        errno = 0;
        ssize_t got = ReadFull(file.fd, a.get(), want);
        if (got < 0) {
            LogFileError(__LINE__, "UPDTVerifyFile", "read file", szFile, errno);
            return -1;
        }
        if (got == 0) break;
        ssize_t back = ReadFull(dev.fd, b.get(), static_cast<size_t>(got));
        if (back != got) {
            LogFileError(__LINE__, "UPDTVerifyFile", "read file", szDevice, errno);
            return -1;
        }
        for (size_t off = 0; off < static_cast<size_t>(got); off += static_cast<size_t>(chunk)) {
            size_t len =
                std::min<size_t>(static_cast<size_t>(chunk), static_cast<size_t>(got) - off);
            if (memcmp(a.get() + off, b.get() + off, len) != 0) {
                if (report)
                    SLIBLog(LOG_ERR, "%s:%d(%s) compare file [%s] vs [%s] error at offset 0x%llX",
                            __FILE__, __LINE__, "UPDTVerifyFile", szFile, szDevice,
                            static_cast<unsigned long long>(verified));
                return -1;
            }
            verified += len;
            if (report) {
                gDone += static_cast<int64_t>(len);
                Progress(false);
            }
        }
        if (static_cast<size_t>(got) < want) break;
    }
    if (verified != length) {
        if (report) LogShortRead(__LINE__, "UPDTVerifyFile", szFile, verified, length, errno);
        return -1;
    }
    return 0;
}

enum class Step { kDone, kRetry, kAbort };

bool NeverWrittenDevice(const char *dev) {
    for (const PARTDEVMAP *row = gPartDevMap; row->szDevice; ++row)
        if (strcmp(row->szDevice, dev) == 0) return BlUPDTIsNeverWritten(row->szPart) != 0;
    return false;
}

// Makes the bytes [at, at + len) of the device, whose window starts at the
// CPU address cpu and holds size bytes, writable before they first change.
// The first change of a run unlocks every updatable partition; a block that
// no window held then (a moved or grown partition took it over) gets its
// device unlocked over its present window.
bool Unlock(const char *fn, const char *dev, uint64_t cpu, uint64_t size, uint64_t at,
            uint64_t len) {
    if (!gUnlocked) {
        if (UPDTUnlockAllPartition() != 0) {
            SLIBLog(LOG_ERR, "%s: UPDTUnlockAllPartition() fail", fn);
            return false;
        }
        gUnlocked = true;
        for (int r = 0; r < std::min(nPatchRows, UPDT_ROWS_MAX); ++r)
            if (gWindow[r].size && !BlUPDTIsNeverWritten(gPatchInfo[r].szPart))
                gOpen.emplace_back(gWindow[r].start, gWindow[r].size);
    }
    for (auto &[s, n] : gOpen)
        if (s <= at && at + len <= s + n) return true;
    if (NeverWrittenDevice(dev)) {
        SLIBLog(LOG_ERR, "%s: %s is never unlocked by an update", fn, dev);
        return false;
    }
    if (QAVOMTDUnlockPartition(dev) != 0) {
        SLIBLog(LOG_ERR, "%s: QAVOMTDUnlockPartition(%s) fail", fn, dev);
        return false;
    }
    gOpen.emplace_back(cpu, size);
    return true;
}

// Notes where the kernel now lays a row's partition (size 0: not known).
void SetWindow(int row, uint64_t start, uint64_t size) {
    if (row >= 0 && row < UPDT_ROWS_MAX) gWindow[row] = {start, size};
}

// Brings the device (whose window starts at the CPU address cpu and holds
// size bytes) to len bytes of src followed by erased flash, erase block by
// erase block: a block that already holds its target is left alone, one
// whose target only clears bits is programmed where it differs, any other
// (one that cannot be read among them) is erased and programmed. Bytes count
// as progress as each block is done.
Step Converge(const char *fn, const char *dev, uint64_t cpu, const std::string &src, uint64_t len,
              uint64_t size) {
    const uint64_t block = gEraseBlockSize ? gEraseBlockSize : size;
    Fd in;
    if (len > 0) {
        in.fd = open(src.c_str(), O_RDONLY | O_CLOEXEC);
        if (!in.ok()) {
            LogFileError(__LINE__, fn, "open", src.c_str(), errno);
            return Step::kRetry;
        }
    }
    Fd out(open(dev, O_RDWR | O_CLOEXEC));
    if (!out.ok()) {
        LogFileError(__LINE__, fn, "open", dev, errno);
        return Step::kRetry;
    }
    std::vector<uint8_t> want(static_cast<size_t>(block)), have(static_cast<size_t>(block));
    for (uint64_t off = 0; off < size; off += block) {
        const size_t n = static_cast<size_t>(std::min(block, size - off));
        const size_t data = off < len ? static_cast<size_t>(std::min<uint64_t>(n, len - off)) : 0;
        std::fill(want.begin(), want.begin() + static_cast<long>(n), 0xFF);
        if (data > 0 && PReadFull(in.fd, want.data(), data, static_cast<off_t>(off)) !=
                            static_cast<ssize_t>(data)) {
            LogFileError(__LINE__, fn, "read file", src.c_str(), errno);
            return Step::kRetry;
        }
        // A block that cannot be read may hold anything: it is erased and
        // programmed whole, and the read back after the row judges it.
        const bool readable =
            PReadFull(out.fd, have.data(), n, static_cast<off_t>(off)) == static_cast<ssize_t>(n);
        if (!readable) LogFileError(__LINE__, fn, "read file", dev, errno);
        if (!readable || memcmp(want.data(), have.data(), n) != 0) {
            bool erase = !readable;
            for (size_t i = 0; i < n && !erase; ++i)
                erase = (want[i] & ~have[i]) != 0;
            if (!Unlock(fn, dev, cpu, size, cpu + off, n)) return Step::kAbort;
            if (erase) {
                if (QAVOMTDEraseRange(dev, static_cast<uint32_t>(off), static_cast<uint32_t>(n)) !=
                    0) {
                    int e = errno;
                    if (!Refused(e)) NoteChange(cpu + off, n);
                    SLIBLog(LOG_ERR, "%s: QAVOMTDErasePartition() fail", fn);
                    return Step::kRetry;
                }
                NoteChange(cpu + off, n);
                std::fill(have.begin(), have.begin() + static_cast<long>(n), 0xFF);
            }
            // Program each chunk from its first to its last differing byte.
            for (size_t c = 0; c < n; c += kWriteChunk) {
                const size_t end = std::min<size_t>(n, c + kWriteChunk);
                size_t lo = c, hi = end;
                while (lo < hi && want[lo] == have[lo])
                    ++lo;
                while (hi > lo && want[hi - 1] == have[hi - 1])
                    --hi;
                if (lo == hi) continue;
                if (!PWriteFull(out.fd, want.data() + lo, hi - lo, static_cast<off_t>(off + lo))) {
                    int e = errno;
                    if (!Refused(e)) NoteChange(cpu + off + lo, hi - lo);
                    LogFileError(__LINE__, fn, "write file", dev, e);
                    return Step::kRetry;
                }
                NoteChange(cpu + off + lo, hi - lo);
            }
        }
        gDone += static_cast<int64_t>(data);
        Progress(false);
    }
    return Step::kDone;
}

// Up to three attempts of bringing a partition to its target and reading
// its data back.
Step WriteRow(const char *fn, const char *dev, uint64_t cpu, const std::string &src, uint64_t len,
              uint64_t size, int64_t rowStart) {
    for (int attempt = 0; attempt < UPDT_PATCH_TRIES; ++attempt) {
        gDone = rowStart;
        Progress(true);
        SLIBLog(LOG_ERR, "%s:%d(%s) Try to Erase MTD Partition(%s), [%d/%d]...", __FILE__, __LINE__,
                fn, dev, attempt, UPDT_PATCH_TRIES);
        SLIBLog(LOG_ERR, "%s:%d(%s) Try to Write MTD Partition(%s), [%d/%d]...", __FILE__, __LINE__,
                fn, dev, attempt, UPDT_PATCH_TRIES);
        Step s = Converge(fn, dev, cpu, src, len, size);
        if (s == Step::kAbort) return s;
        if (s == Step::kRetry) continue;
        if (len == 0) return Step::kDone;
        SLIBLog(LOG_ERR, "%s:%d(%s) Try to Verify MTD Partition(%s), [%d/%d]...", __FILE__,
                __LINE__, fn, dev, attempt, UPDT_PATCH_TRIES);
        if (Compare(src.c_str(), dev, len, kVerifyChunk, true) == 0) return Step::kDone;
    }
    return Step::kRetry;
}

// The place a row is written from: its image, or for a row the resizing moved
// without an image of its own, its backup copy; and its old directory entry.
struct Source {
    const char *device = nullptr;
    std::string path;
    int entry = -1;
};

// Checks, before anything is unlocked, that every row to write has a device
// and a complete source that fits where it goes, and that the backup of each
// holds its whole old partition.
bool CheckSources(const FISDIRENTRY *entries, int n, std::vector<Source> *out) {
    out->assign(nPatchRows, Source{});
    for (int r = 0; r < nPatchRows; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        if (!row.fneedupdate) continue;
        Source &s = (*out)[r];
        s.device = SzUPDTGetDeviceByName(row.szPart);
        if (!s.device) {
            SLIBLog(LOG_ERR, "%s(%d): fail to get device path", __func__, __LINE__);
            return false;
        }
        int idx = GetIdxByName(row.szPart, entries, n);
        if (idx < 0) {
            SLIBLog(LOG_ERR, "%s(%d): get idx of partition %d [%s] fail", __func__, __LINE__, r,
                    row.szPart);
            return false;
        }
        s.entry = idx;
        if (BlUPDTIsNeverWritten(row.szPart)) {
            SLIBLog(LOG_ERR, "%s(%d): partition [%s] is never written by an update", __func__,
                    __LINE__, row.szPart);
            return false;
        }
        if (row.datalen > row.size) {
            SLIBLog(LOG_ERR, "%s(%d): %u bytes for [%s] do not fit its %u bytes", __func__,
                    __LINE__, row.datalen, row.szPart, row.size);
            return false;
        }
        const std::string backup = BackupFile(EntryName(entries[idx]));
        if (gBackupDone && RegularFileSize(backup) != entries[idx].size) {
            SLIBLog(LOG_ERR, "%s(%d): backup [%s] does not hold the whole partition (%u bytes)",
                    __func__, __LINE__, backup.c_str(), entries[idx].size);
            return false;
        }
        if (row.fhasimage) {
            s.path = std::string(szUpdateDir) + "/" + row.szFile;
        } else if (gBackupDone) {
            s.path = backup;
        } else {
            SLIBLog(LOG_ERR, "%s(%d): [%s] must move but has neither an image nor a backup",
                    __func__, __LINE__, row.szPart);
            return false;
        }
        // An image must still be the one the records were made from (a
        // prefix of a grown file is no image); a backup holds more than the
        // data it gives.
        int64_t size = RegularFileSize(s.path);
        bool fits = row.fhasimage ? size == int64_t{row.datalen} : size >= int64_t{row.datalen};
        if (size < 0 || !fits || !Readable(s.path)) {
            SLIBLog(LOG_ERR, "%s(%d): source [%s] of [%s] is missing, unreadable or changed",
                    __func__, __LINE__, s.path.c_str(), row.szPart);
            return false;
        }
    }
    return true;
}

// Moves a backup folder left by an earlier run (after a failed roll-back or
// an interrupted update it is the only copy of the flash as it was) to the
// first free name "b@ckup.N"; false when it cannot be moved.
bool MoveKeptBackup(const std::string &dir) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return errno == ENOENT;
    for (int k = 1; k < 10000; ++k) {
        const std::string to = dir + "." + std::to_string(k);
        if (lstat(to.c_str(), &st) == 0) continue;
        if (errno != ENOENT) break;
        if (rename(dir.c_str(), to.c_str()) != 0) break;
        const std::string line = "The backup of an earlier update was moved to " + to;
        SLIBLog(LOG_ERR, "%s(%d): %s", "UPDTBackupOldPartition", __LINE__, line.c_str());
        UPDTLog(line.c_str());
        return true;
    }
    SLIBLog(LOG_ERR, "%s(%d): cannot move the earlier backup [%s] aside, errno = %d",
            "UPDTBackupOldPartition", __LINE__, dir.c_str(), errno);
    return false;
}

}  // namespace

extern "C" int UPDTBackupOldPartition(const FISDIRENTRY *pEntries, int n) {
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    gBackupDone = false;
    try {
        const std::string dir = BackupDir();
        if (!MoveKeptBackup(dir)) return -1;
        std::string cmd = "/bin/mkdir -p " + Word(dir);
        SLIBLog(LOG_ERR, "szCmd=[%s]", cmd.c_str());
        if (UPDTExecute(cmd.c_str()) != 0) return -1;
        gBackupMade = true;
        for (int i = 0; i < n; ++i) {
            const std::string name = EntryName(pEntries[i]);
            const char *dev = SzUPDTGetDeviceByName(name.c_str());
            if (!dev) {
                SLIBLog(LOG_ERR, "%s(%d): fail to get device path", __func__, __LINE__);
                return -1;
            }
            const std::string file = BackupFile(name);
            cmd = "/bin/dd if=" + Word(dev) + " of=" + Word(file) + " bs=16384";
            // A copy is trusted only once it was read back from the device:
            // it may be the only copy of the partition left.
            bool confirmed = false;
            for (int attempt = 0; attempt < UPDT_PATCH_TRIES && !confirmed; ++attempt) {
                SLIBLog(LOG_ERR, "%s(%d): command=[%s]", __func__, __LINE__, cmd.c_str());
                if (UPDTExecute(cmd.c_str()) != 0) continue;
                int64_t got = RegularFileSize(file);
                if (got != pEntries[i].size) {
                    SLIBLog(LOG_ERR, "%s(%d): backup of [%s] holds %lld bytes, %u expected",
                            __func__, __LINE__, name.c_str(), static_cast<long long>(got),
                            pEntries[i].size);
                    continue;
                }
                confirmed = pEntries[i].size == 0 || Compare(file.c_str(), dev, pEntries[i].size,
                                                             kRestoreVerifyChunk, false) == 0;
                if (!confirmed)
                    SLIBLog(LOG_ERR, "%s(%d): backup of [%s] differs from %s, attempt [%d/%d]",
                            __func__, __LINE__, name.c_str(), dev, attempt, UPDT_PATCH_TRIES);
            }
            if (!confirmed) {
                SLIBLog(LOG_ERR, "%s(%d): the backup of [%s] cannot be confirmed", __func__,
                        __LINE__, name.c_str());
                return -1;
            }
            UPDTSetProgress('P', 30 + 5 * i);
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    gBackupDone = true;
    return 0;
}

extern "C" int BlUPDTBackupMade(void) {
    return gBackupMade ? 1 : 0;
}

extern "C" int UPDTCopyFile(const char *szSource, const char *szDevice, uint64_t length,
                            int nBufSize) {
    if (!szSource || !szDevice || length == 0 || nBufSize <= 0) return -1;
    Fd in(open(szSource, O_RDONLY | O_CLOEXEC));
    if (!in.ok()) {
        LogFileError(__LINE__, __func__, "open", szSource, errno);
        return -1;
    }
    Fd out(open(szDevice, O_WRONLY | O_CLOEXEC));
    if (!out.ok()) {
        LogFileError(__LINE__, __func__, "open", szDevice, errno);
        return -1;
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[nBufSize]);
    if (!buf) {
        LogNoBuffer(__LINE__, __func__, nBufSize, errno);
        return -1;
    }
    uint64_t copied = 0;
    while (copied < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(nBufSize, length - copied));
        errno = 0;
        ssize_t got = ReadFull(in.fd, buf.get(), want);
        if (got < 0) {
            LogFileError(__LINE__, __func__, "read file", szSource, errno);
            return -1;
        }
        if (got == 0) break;
        if (!WriteFull(out.fd, buf.get(), static_cast<size_t>(got))) {
            LogFileError(__LINE__, __func__, "write file", szDevice, errno);
            return -1;
        }
        copied += static_cast<uint64_t>(got);
        gDone += got;
        Progress(false);
        if (static_cast<size_t>(got) < want) break;
    }
    if (copied != length) {
        LogShortRead(__LINE__, __func__, szSource, copied, length, errno);
        return -1;
    }
    return 0;
}

extern "C" int UPDTVerifyFile(const char *szFile, const char *szDevice, uint64_t length,
                              int nBufSize) {
    return Compare(szFile, szDevice, length, nBufSize, true);
}

static int DoPatch(const FISDIRENTRY *pEntries, int n) {
    static constexpr const char kFn[] = "UPDTDoPatch";
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", kFn, __LINE__);
        return -1;
    }
    std::fill(std::begin(gRow), std::end(gRow), RowState{});
    gChanged.clear();
    gUnlocked = false;
    gOpen.clear();
    if (BlUPDTNegativeBalance(gPatchInfo, nPatchRows)) {
        SLIBLog(LOG_ERR, "%s(%d): NEED RESIZE THE PARTITION", kFn, __LINE__);
        if (ErrUPDTAdjustPartitionSize(gPatchInfo, nPatchRows) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): fail to resize", kFn, __LINE__);
            return -1;
        }
    }
    std::vector<Source> sources;
    if (!CheckSources(pEntries, n, &sources)) return -1;
    // The kernel lays each partition where the old directory says.
    for (int r = 0; r < std::min(nPatchRows, UPDT_ROWS_MAX); ++r) {
        int idx = GetIdxByName(gPatchInfo[r].szPart, pEntries, n);
        if (idx >= 0)
            SetWindow(r, pEntries[idx].flash_base, pEntries[idx].size);
        else
            SetWindow(r, 0, 0);
    }
    gTotal = 0;
    for (int r = 0; r < nPatchRows; ++r)
        if (gPatchInfo[r].fneedupdate) gTotal += 2 * int64_t{gPatchInfo[r].datalen};
    int64_t rowStart = 0;
    for (int r = 0; r < nPatchRows; ++r) {
        PATCHINFO &row = gPatchInfo[r];
        if (!row.fneedupdate) {
            SLIBLog(LOG_ERR, "%s: skip updating [%s]", kFn, row.szPart);
            continue;
        }
        const char *dev = sources[r].device;
        const FISDIRENTRY &old = pEntries[sources[r].entry];
        // The kernel's window of the partition, only when it changes.
        if (row.start != old.flash_base || row.size != old.size) {
            if (QAVOMTDModifyPartitionSize(dev, row.start, row.size) != 0) {
                SLIBLog(LOG_ERR, "%s: QAVOMTDModifyPartitionSize() fail", kFn);
                SetWindow(r, 0, 0);
                return -1;
            }
            gRow[r].moved = true;
            SetWindow(r, row.start, row.size);
        }
        Step s = WriteRow(kFn, dev, row.start, sources[r].path, row.datalen, row.size, rowStart);
        if (s == Step::kAbort) return -1;
        if (s != Step::kDone) {
            SLIBLog(LOG_ERR, "%s:%d(%s) Try to Update [%s] %d counts failed ...", __FILE__,
                    __LINE__, kFn, dev, UPDT_PATCH_TRIES);
            return -1;
        }
        gRow[r].completed = true;
        // The entry follows its verified image, and only when it changes.
        if (!SameEntry(old, row.start, row.size, row.datalen)) {
            QAVOMTDFISENTRY req;
            SendEntry(&req, row.szPart, row.start, row.size, row.datalen);
            gRow[r].entrySent = true;
            if (QAVOMTDModifyFISEntry(gszDevMtdPartition, &req) != 0) {
                SLIBLog(LOG_ERR, "%s: QAVOMTDModifyFISEntry() fail", kFn);
                return -1;
            }
            gRow[r].entryNew = true;
        }
        SLIBLog(LOG_ERR, "%s: Finish updating [%s]", kFn, row.szPart);
        rowStart += 2 * int64_t{row.datalen};
    }
    return 0;
}

// Sends a directory entry, up to three times.
static bool PutEntry(const char *name, uint32_t base, uint32_t size, uint32_t datalen) {
    QAVOMTDFISENTRY req;
    SendEntry(&req, name, base, size, datalen);
    for (int attempt = 0; attempt < UPDT_PATCH_TRIES; ++attempt)
        if (QAVOMTDModifyFISEntry(gszDevMtdPartition, &req) == 0) return true;
    return false;
}

static int RollBack(const FISDIRENTRY *pEntries, int n) {
    static constexpr const char kFn[] = "UPDTRollBack";
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", kFn, __LINE__);
        return -1;
    }
    gTotal = 0;  // the roll-back writes no percentages
    bool failed = false;
    // The rows the patch may have changed: a moved window, a directory entry
    // sent, or flash of its old place erased or written.
    const int rows = std::min(nPatchRows, UPDT_ROWS_MAX);
    std::vector<int> idx(rows, -1);
    std::vector<bool> todo(rows, false);
    bool any = false;
    for (int r = 0; r < rows; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        idx[r] = GetIdxByName(row.szPart, pEntries, n);
        if (idx[r] < 0) {
            SLIBLog(LOG_ERR, "%s(%d): get idx of partition %d [%s] fail", kFn, __LINE__, r,
                    row.szPart);
            if (gRow[r].moved || gRow[r].entrySent) failed = true;
            continue;
        }
        const FISDIRENTRY &old = pEntries[idx[r]];
        todo[r] = gRow[r].moved || gRow[r].entrySent || Changed(old.flash_base, old.size);
        if (!todo[r]) SLIBLog(LOG_ERR, "%s: skip recoverying [%s]", kFn, row.szPart);
        any = any || todo[r];
    }
    if (!any) return failed ? -1 : 0;

    // The directory as it stands now says which entries must go back.
    std::vector<FISDIRENTRY> now;
    int need = 0;
    int count = QAVOMTDGetPartitionInfo(gszDevMtdPartition, nullptr, 0, &need);
    if (count > 0) {
        now.resize(static_cast<size_t>(count));
        if (QAVOMTDGetPartitionInfo(gszDevMtdPartition, now.data(), need, &need) != count)
            now.clear();
    }
    // Entries first: a row whose entry cannot be put back keeps the new
    // image that its entry describes.
    std::vector<bool> keepNew(rows, false), entryBack(rows, false);
    for (int r = 0; r < rows; ++r) {
        if (!todo[r]) continue;
        const FISDIRENTRY &old = pEntries[idx[r]];
        int cur = now.empty() ? -1
                              : GetIdxByName(gPatchInfo[r].szPart, now.data(),
                                             static_cast<int>(now.size()));
        bool isOld = cur >= 0 ? SameEntry(now[cur], old.flash_base, old.size, old.data_length)
                              : !gRow[r].entrySent;
        if (isOld) continue;
        if (PutEntry(EntryName(old).c_str(), old.flash_base, old.size, old.data_length)) {
            entryBack[r] = true;
            continue;
        }
        SLIBLog(LOG_ERR, "%s: QAVOMTDModifyFISEntry() fail", kFn);
        failed = true;
        if (gRow[r].completed && gRow[r].entryNew) keepNew[r] = true;
    }
    // A row whose old place lies under a row kept new stays new as well.
    for (bool grew = true; grew;) {
        grew = false;
        for (int r = 0; r < rows; ++r) {
            if (!todo[r] || keepNew[r]) continue;
            const FISDIRENTRY &old = pEntries[idx[r]];
            for (int x = 0; x < rows; ++x) {
                if (!keepNew[x] || x == r) continue;
                if (!Overlaps(old.flash_base, old.size, gPatchInfo[x].start, gPatchInfo[x].size))
                    continue;
                const PATCHINFO &row = gPatchInfo[r];
                if (gRow[r].completed &&
                    (!entryBack[r] || PutEntry(row.szPart, row.start, row.size, row.datalen)))
                    keepNew[r] = true;
                else
                    SLIBLog(LOG_ERR, "%s: [%s] cannot be restored under [%s] kept new", kFn,
                            row.szPart, gPatchInfo[x].szPart);
                todo[r] = false;
                failed = true;
                grew = true;
                break;
            }
        }
    }
    for (int r = 0; r < rows; ++r) {
        if (keepNew[r]) {
            SLIBLog(LOG_ERR, "%s: [%s] keeps its new image: its directory entry cannot be put back",
                    kFn, gPatchInfo[r].szPart);
            todo[r] = false;
        }
        if (!todo[r]) continue;
        const PATCHINFO &row = gPatchInfo[r];
        const FISDIRENTRY &old = pEntries[idx[r]];
        const char *dev = SzUPDTGetDeviceByName(row.szPart);
        if (!dev) {
            SLIBLog(LOG_ERR, "%s(%d): fail to get device path", kFn, __LINE__);
            failed = true;
            continue;
        }
        if (gRow[r].moved || old.flash_base != row.start || old.size != row.size) {
            if (QAVOMTDModifyPartitionSize(dev, old.flash_base, old.size) != 0) {
                SLIBLog(LOG_ERR, "%s: QAVOMTDModifyPartitionSize() fail", kFn);
                SetWindow(r, 0, 0);
                failed = true;
                continue;
            }
            SetWindow(r, old.flash_base, old.size);
        }
        const std::string backup = BackupFile(EntryName(old));
        SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDErasePartition(%s)...", __FILE__, __LINE__, kFn, dev);
        Step s = WriteRow(kFn, dev, old.flash_base, backup, old.size, old.size, 0);
        if (s != Step::kDone) {
            SLIBLog(LOG_ERR, "%s:%d(%s) Try to restore [%s] %d counts failed ...", __FILE__,
                    __LINE__, kFn, dev, UPDT_PATCH_TRIES);
            failed = true;
        }
    }
    return failed ? -1 : 0;
}

bool updt::SameBytes(const std::string &file, const char *device, uint64_t len) {
    return len == 0 || Compare(file.c_str(), device, len, kRestoreVerifyChunk, false) == 0;
}

extern "C" int UPDTDoPatch(const FISDIRENTRY *pEntries, int n) {
    try {
        return DoPatch(pEntries, n);
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s(%d): out of memory", __func__, __LINE__);
        return -1;
    }
}

extern "C" int UPDTRollBack(const FISDIRENTRY *pEntries, int n) {
    try {
        return RollBack(pEntries, n);
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s(%d): out of memory", __func__, __LINE__);
        return -1;
    }
}
