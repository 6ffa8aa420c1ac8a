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

// What the last patch did, for the roll-back: the rows whose partition it
// moved, erased or wrote, and the flash ranges (CPU addresses) it erased.
bool gBackupDone = false;
bool gTouched[UPDT_ROWS_MAX];
std::vector<std::pair<uint64_t, uint64_t>> gErased;

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

// The place a row is written from: its image, or for a row the resizing moved
// without an image of its own, its backup copy.
struct Source {
    const char *device = nullptr;
    std::string path;
};

// Checks, before anything is unlocked, that every row to write has a device
// and a complete source, and that the backup of each holds its whole old
// partition.
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

bool Overlaps(uint64_t start, uint64_t size) {
    for (auto &[s, len] : gErased)
        if (start < s + len && s < start + size) return true;
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
        std::string cmd = "/bin/rm -rf " + Word(dir) + "; /bin/mkdir -p " + Word(dir);
        SLIBLog(LOG_ERR, "szCmd=[%s]", cmd.c_str());
        if (UPDTExecute(cmd.c_str()) != 0) return -1;
        for (int i = 0; i < n; ++i) {
            const std::string name = EntryName(pEntries[i]);
            const char *dev = SzUPDTGetDeviceByName(name.c_str());
            if (!dev) {
                SLIBLog(LOG_ERR, "%s(%d): fail to get device path", __func__, __LINE__);
                return -1;
            }
            const std::string file = BackupFile(name);
            cmd = "/bin/dd if=" + Word(dev) + " of=" + Word(file) + " bs=16384";
            SLIBLog(LOG_ERR, "%s(%d): command=[%s]", __func__, __LINE__, cmd.c_str());
            if (UPDTExecute(cmd.c_str()) != 0) return -1;
            // A copy cut short must not be the only one left of a partition.
            int64_t got = RegularFileSize(file);
            if (got != pEntries[i].size) {
                SLIBLog(LOG_ERR, "%s(%d): backup of [%s] holds %lld bytes, %u expected", __func__,
                        __LINE__, name.c_str(), static_cast<long long>(got), pEntries[i].size);
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

extern "C" int UPDTCopyFile(const char *szSource, const char *szDevice, uint64_t length,
                            int nBufSize) {
    if (!szSource || !szDevice || length == 0 || nBufSize <= 0) return -1;
    Fd in(open(szSource, O_RDONLY | O_CLOEXEC));
    if (!in.ok()) {
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) open [%s] error: (%d) %s.", __FILE__, __LINE__, __func__,
                szSource, e, strerror(e));
        return -1;
    }
    Fd out(open(szDevice, O_WRONLY | O_CLOEXEC));
    if (!out.ok()) {
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) open [%s] error: (%d) %s.", __FILE__, __LINE__, __func__,
                szDevice, e, strerror(e));
        return -1;
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[nBufSize]);
    if (!buf) {
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) malloc [%d] fail: (%d) %s.", __FILE__, __LINE__, __func__,
                nBufSize, e, strerror(e));
        return -1;
    }
    uint64_t copied = 0;
    while (copied < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(nBufSize, length - copied));
        errno = 0;
        ssize_t got = ReadFull(in.fd, buf.get(), want);
        if (got < 0) {
            int e = errno;
            SLIBLog(LOG_ERR, "%s:%d(%s) read file [%s] error: (%d) %s.", __FILE__, __LINE__,
                    __func__, szSource, e, strerror(e));
            return -1;
        }
        if (got == 0) break;
        if (!WriteFull(out.fd, buf.get(), static_cast<size_t>(got))) {
            int e = errno;
            SLIBLog(LOG_ERR, "%s:%d(%s) write file [%s] error: (%d) %s.", __FILE__, __LINE__,
                    __func__, szDevice, e, strerror(e));
            return -1;
        }
        copied += static_cast<uint64_t>(got);
        gDone += got;
        Progress(false);
        if (static_cast<size_t>(got) < want) break;
    }
    if (copied != length) {
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) read file [%s] only %llu bytes, %llu bytes needed: (%d) %s.",
                __FILE__, __LINE__, __func__, szSource, static_cast<unsigned long long>(copied),
                static_cast<unsigned long long>(length), e, strerror(e));
        return -1;
    }
    return 0;
}

extern "C" int UPDTVerifyFile(const char *szFile, const char *szDevice, uint64_t length,
                              int nBufSize) {
    if (!szFile || !szDevice || length == 0 || nBufSize <= 0) return -1;
    Fd file(open(szFile, O_RDONLY | O_CLOEXEC));
    if (!file.ok()) {
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) open [%s] error: (%d) %s.", __FILE__, __LINE__, __func__,
                szFile, e, strerror(e));
        return -1;
    }
    Fd dev(open(szDevice, O_RDONLY | O_CLOEXEC));
    if (!dev.ok()) {
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) open [%s] error: (%d) %s.", __FILE__, __LINE__, __func__,
                szDevice, e, strerror(e));
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
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) malloc [%d] fail: (%d) %s.", __FILE__, __LINE__, __func__,
                nBufSize, e, strerror(e));
        return -1;
    }
    uint64_t verified = 0;
    while (verified < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(bufLen, length - verified));
        errno = 0;
        ssize_t got = ReadFull(file.fd, a.get(), want);
        if (got < 0) {
            int e = errno;
            SLIBLog(LOG_ERR, "%s:%d(%s) read file [%s] error: (%d) %s.", __FILE__, __LINE__,
                    __func__, szFile, e, strerror(e));
            return -1;
        }
        if (got == 0) break;
        ssize_t back = ReadFull(dev.fd, b.get(), static_cast<size_t>(got));
        if (back != got) {
            int e = errno;
            SLIBLog(LOG_ERR, "%s:%d(%s) read file [%s] error: (%d) %s.", __FILE__, __LINE__,
                    __func__, szDevice, e, strerror(e));
            return -1;
        }
        for (size_t off = 0; off < static_cast<size_t>(got); off += static_cast<size_t>(chunk)) {
            size_t len =
                std::min<size_t>(static_cast<size_t>(chunk), static_cast<size_t>(got) - off);
            if (memcmp(a.get() + off, b.get() + off, len) != 0) {
                SLIBLog(LOG_ERR, "%s:%d(%s) compare file [%s] vs [%s] error at offset 0x%llX",
                        __FILE__, __LINE__, __func__, szFile, szDevice,
                        static_cast<unsigned long long>(verified));
                return -1;
            }
            verified += len;
            gDone += static_cast<int64_t>(len);
            Progress(false);
        }
        if (static_cast<size_t>(got) < want) break;
    }
    if (verified != length) {
        int e = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) read file [%s] only %llu bytes, %llu bytes needed: (%d) %s.",
                __FILE__, __LINE__, __func__, szFile, static_cast<unsigned long long>(verified),
                static_cast<unsigned long long>(length), e, strerror(e));
        return -1;
    }
    return 0;
}

static int DoPatch(const FISDIRENTRY *pEntries, int n) {
    static constexpr const char kFn[] = "UPDTDoPatch";
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", kFn, __LINE__);
        return -1;
    }
    std::fill(std::begin(gTouched), std::end(gTouched), false);
    gErased.clear();
    if (BlUPDTNegativeBalance(gPatchInfo, nPatchRows)) {
        SLIBLog(LOG_ERR, "%s(%d): NEED RESIZE THE PARTITION", kFn, __LINE__);
        if (ErrUPDTAdjustPartitionSize(gPatchInfo, nPatchRows) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): fail to resize", kFn, __LINE__);
            return -1;
        }
    }
    std::vector<Source> sources;
    if (!CheckSources(pEntries, n, &sources)) return -1;
    if (UPDTUnlockAllPartition() != 0) {
        SLIBLog(LOG_ERR, "%s: UPDTUnlockAllPartition() fail", kFn);
        return -1;
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
        const char *src = sources[r].path.c_str();
        gTouched[r] = true;
        if (QAVOMTDModifyPartitionSize(dev, row.start, row.size) != 0) {
            SLIBLog(LOG_ERR, "%s: QAVOMTDModifyPartitionSize() fail", kFn);
            return -1;
        }
        gErased.emplace_back(row.start, row.size);
        bool done = false;
        for (int attempt = 0; attempt < UPDT_PATCH_TRIES && !done; ++attempt) {
            gDone = rowStart;
            Progress(true);
            SLIBLog(LOG_ERR, "%s:%d(%s) Try to Erase MTD Partition(%s), [%d/%d]...", __FILE__,
                    __LINE__, kFn, dev, attempt, UPDT_PATCH_TRIES);
            if (QAVOMTDErasePartition(dev) != 0) {
                SLIBLog(LOG_ERR, "%s: QAVOMTDErasePartition() fail", kFn);
                continue;
            }
            // A row without data (moved, never written) only needs its erase.
            if (row.datalen == 0) {
                done = true;
                break;
            }
            SLIBLog(LOG_ERR, "%s:%d(%s) Try to Write MTD Partition(%s), [%d/%d]...", __FILE__,
                    __LINE__, kFn, dev, attempt, UPDT_PATCH_TRIES);
            if (UPDTCopyFile(src, dev, row.datalen, kWriteChunk) != 0) continue;
            SLIBLog(LOG_ERR, "%s:%d(%s) Try to Verify MTD Partition(%s), [%d/%d]...", __FILE__,
                    __LINE__, kFn, dev, attempt, UPDT_PATCH_TRIES);
            if (UPDTVerifyFile(src, dev, row.datalen, kVerifyChunk) != 0) continue;
            done = true;
        }
        if (!done) {
            SLIBLog(LOG_ERR, "%s:%d(%s) Try to Update [%s] %d counts failed ...", __FILE__,
                    __LINE__, kFn, dev, UPDT_PATCH_TRIES);
            return -1;
        }
        QAVOMTDFISENTRY req;
        SendEntry(&req, row.szPart, row.start, row.size, row.datalen);
        if (QAVOMTDModifyFISEntry(gszDevMtdPartition, &req) != 0) {
            SLIBLog(LOG_ERR, "%s: QAVOMTDModifyFISEntry() fail", kFn);
            return -1;
        }
        SLIBLog(LOG_ERR, "%s: Finish updating [%s]", kFn, row.szPart);
        rowStart += 2 * int64_t{row.datalen};
    }
    return 0;
}

static int RollBack(const FISDIRENTRY *pEntries, int n) {
    static constexpr const char kFn[] = "UPDTRollBack";
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", kFn, __LINE__);
        return -1;
    }
    bool failed = false;
    // A partition that stays locked fails its own erase below; the others are
    // still restored.
    if (UPDTUnlockAllPartition() != 0) {
        SLIBLog(LOG_ERR, "%s: UPDTUnlockAllPartition() fail", kFn);
        failed = true;
    }
    gTotal = 0;  // the roll-back writes no percentages
    for (int r = 0; r < nPatchRows; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        int idx = GetIdxByName(row.szPart, pEntries, n);
        if (idx < 0) {
            SLIBLog(LOG_ERR, "%s(%d): get idx of partition %d [%s] fail", kFn, __LINE__, r,
                    row.szPart);
            if (r < UPDT_ROWS_MAX && gTouched[r]) failed = true;
            continue;
        }
        const FISDIRENTRY &old = pEntries[idx];
        if (!(r < UPDT_ROWS_MAX && gTouched[r]) && !Overlaps(old.flash_base, old.size)) {
            SLIBLog(LOG_ERR, "%s: skip recoverying [%s]", kFn, row.szPart);
            continue;
        }
        const char *dev = SzUPDTGetDeviceByName(row.szPart);
        if (!dev) {
            SLIBLog(LOG_ERR, "%s(%d): fail to get device path", kFn, __LINE__);
            failed = true;
            continue;
        }
        if (QAVOMTDModifyPartitionSize(dev, old.flash_base, old.size) != 0) {
            SLIBLog(LOG_ERR, "%s: QAVOMTDModifyPartitionSize() fail", kFn);
            failed = true;
            continue;
        }
        const std::string name = EntryName(old);
        const std::string backup = BackupFile(name);
        const std::string cmd = "/bin/dd if=" + Word(backup) + " of=" + Word(dev) + " bs=131072";
        bool done = false;
        for (int attempt = 0; attempt < UPDT_PATCH_TRIES && !done; ++attempt) {
            SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDErasePartition(%s)...", __FILE__, __LINE__, kFn,
                    dev);
            if (QAVOMTDErasePartition(dev) != 0) {
                SLIBLog(LOG_ERR, "%s: QAVOMTDErasePartition() fail", kFn);
                continue;
            }
            SLIBLog(LOG_ERR, "%s(%d): command=[%s]", kFn, __LINE__, cmd.c_str());
            if (UPDTExecute(cmd.c_str()) != 0) continue;
            if (UPDTVerifyFile(backup.c_str(), dev, old.size, kRestoreVerifyChunk) != 0) continue;
            done = true;
        }
        if (!done) {
            SLIBLog(LOG_ERR, "%s:%d(%s) Try to restore [%s] %d counts failed ...", __FILE__,
                    __LINE__, kFn, dev, UPDT_PATCH_TRIES);
            failed = true;
            continue;
        }
        QAVOMTDFISENTRY req;
        SendEntry(&req, name.c_str(), old.flash_base, old.size, old.data_length);
        if (QAVOMTDModifyFISEntry(gszDevMtdPartition, &req) != 0) {
            SLIBLog(LOG_ERR, "%s: QAVOMTDModifyFISEntry() fail", kFn);
            failed = true;
            continue;
        }
    }
    return failed ? -1 : 0;
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
