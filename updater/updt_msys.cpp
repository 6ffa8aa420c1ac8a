#include "updt_msys.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "flash_io.h"
#include "slib_errcode.h"
#include "slib_str.h"
#include "updt_config.h"
#include "updt_patchinfo.h"
#include "updt_redboot.h"
#include "updt_status.h"
#include "updt_util.h"

using qflash::Fd;

namespace {

using updt::BackupDir;
using updt::BackupFile;
using updt::EntryName;
using updt::Word;

constexpr uint32_t kUnit = UPDT_MSYS_UNIT_SIZE;
constexpr const char kArchive[] = "hda1.tgz";
constexpr const char kArchiveOnVolume[] = "QavoUpgrade.tar.gz";
constexpr const char kDone[] = "Congratulation!! The update has been completed!!";

std::string ImagePath(const PATCHINFO &row) {
    return std::string(szUpdateDir) + "/" + row.szFile;
}

int64_t RegularFileSize(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

uint32_t Units(uint64_t bytes) {
    return static_cast<uint32_t>((bytes + kUnit - 1) / kUnit);
}

// The module counts eight rows; the working table must have them.
bool FullTable(const char *func) {
    if (nPatchRows == UPDT_MSYS_PARTS) return true;
    SLIBLog(LOG_ERR, "%s(%d): the flash module needs %d partition rows, this edition has %d", func,
            __LINE__, UPDT_MSYS_PARTS, nPatchRows);
    return false;
}

// Where row i is written from: its image, or the backup of its partition.
struct Source {
    std::string path;
    bool backup = false;
};

// The rows the last patch wrote (or began to write), for the roll-back.
bool gWritten[UPDT_MSYS_PARTS];

// Checks every row that will be written before anything changes: an image
// must still be the one the records were made from and fit its partition, a
// backup must hold the whole old partition.
bool CheckSources(const FISDIRENTRY *entries, bool all, std::vector<Source> *out) {
    out->assign(UPDT_MSYS_PARTS, Source{});
    for (int i = 0; i < UPDT_MSYS_PARTS; ++i) {
        const PATCHINFO &row = gPatchInfo[i];
        if (!all && !row.fneedupdate) continue;
        Source &s = (*out)[i];
        if (row.fhasimage) {
            s.path = ImagePath(row);
            if (RegularFileSize(s.path) != row.datalen) {
                SLIBLog(LOG_ERR, "%s(%d): image [%s] changed since the patch records were made",
                        __func__, __LINE__, s.path.c_str());
                return false;
            }
            if (row.datalen > row.size) {
                SLIBLog(LOG_ERR, "%s(%d): %u bytes for [%s] do not fit its %u bytes", __func__,
                        __LINE__, row.datalen, row.szPart, row.size);
                return false;
            }
            continue;
        }
        s.path = BackupFile(EntryName(entries[i]));
        s.backup = true;
        if (RegularFileSize(s.path) != entries[i].size) {
            SLIBLog(LOG_ERR, "%s(%d): failed to update. [%s] does not exist", __func__, __LINE__,
                    blGroupUpdate ? ImagePath(row).c_str() : s.path.c_str());
            return false;
        }
    }
    return true;
}

int Update(char *stage, std::vector<FISDIRENTRY> &entries, bool *keepBackup) {
    int repartitioned = 0;
    *stage = 'P';
    UPDTSetProgress(*stage, 0);
    int n = UPDTMSysGetPartitionInfo(entries.data());
    if (n < 0) return 18;
    SLIBLog(LOG_ERR, "number of partitions = [%d]", n);
    for (int i = 0; i < n; ++i)
        SLIBLog(LOG_ERR, "[%s]  0x%08lX  0x%08lX  0x%08lX\n", EntryName(entries[i]).c_str(),
                static_cast<unsigned long>(entries[i].flash_base),
                static_cast<unsigned long>(entries[i].size),
                static_cast<unsigned long>(entries[i].data_length));
    UPDTSetProgress(*stage, 10);
    if (UPDTMSysInitPatchInfo(entries.data(), n) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to initialize patch info ", __func__, __LINE__);
        return 19;
    }
    UPDTSetProgress(*stage, 20);
    if (!blGroupUpdate && UPDTBackupOldPartition(entries.data(), n) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to backup old patch info ", __func__, __LINE__);
        return 15;
    }
    UPDTSetProgress(*stage, 60);
    int code = 0;
    if (UPDTMSysDoPatch(entries.data(), n, &repartitioned) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to patch new binaries!!", __func__, __LINE__);
        code = 20;
    } else {
        SLIBLog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", __func__, __LINE__);
        UPDTSetProgress(*stage, 100);
        *stage = 'C';
        UPDTSetProgress(*stage, 0);
        if (!blGroupUpdate && UPDTUpdateConfig() == -1) code = 17;
    }
    if (code != 0) {
        if (!blGroupUpdate) {
            // The configuration first: the old images expect the old files.
            if (code == 17 && UPDTRestoreConfig() < 0) *keepBackup = true;
            if (UPDTMSysRollBack(entries.data(), n, repartitioned) < 0) {
                SLIBLog(LOG_ERR, "%s: UPDTRollBack() fail", __func__);
                *keepBackup = true;
            }
            SLIBLog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", __func__, __LINE__);
        }
        return code;
    }
    UPDTSetProgress(*stage, 100);
    *stage = 'R';
    UPDTSetProgress(*stage, 0);
    SLIBLog(LOG_ERR, "%s", kDone);
    UPDTLog(kDone);
    // The system archive goes to the volume only with a system that runs it.
    const std::string archive = std::string(szUpdateDir) + "/" + kArchive;
    if (access(archive.c_str(), F_OK) == 0) {
        const std::string target = std::string(szVolume) + "/" + kArchiveOnVolume;
        const std::string cmd = "/bin/mv -f " + Word(archive) + " " + Word(target);
        if (UPDTExecute(cmd.c_str()) != 0) {
            char msg[512];
            snprintf(msg, sizeof msg, "%s(%d): mv %s to %s/%s fail.", __func__, __LINE__,
                     archive.c_str(), szVolume, kArchiveOnVolume);
            SLIBLog(LOG_ERR, "%s", msg);
            UPDTLog(msg);
        }
    }
    return 0;
}

}  // namespace

extern "C" int UPDTMSysGetPartitionInfo(FISDIRENTRY *pEntries) {
    if (!pEntries || !FullTable(__func__)) return -1;
    Fd fd(open(UPDT_MSYS_DEVICE, O_RDWR | O_CLOEXEC));
    if (!fd.ok()) {
        SLIBLog(LOG_ERR, "%s(%d): fail to open /dev/mtd0, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    uint32_t pairs[2 * UPDT_MSYS_PARTS] = {};
    if (ioctl(fd.fd, MEMMSYSGETPARTS, pairs) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get partition information, errno = %d", __func__,
                __LINE__, errno);
        return -1;
    }
    uint32_t base = 0;
    for (int i = 0; i < UPDT_MSYS_PARTS; ++i) {
        FISDIRENTRY &e = pEntries[i];
        memset(&e, 0, sizeof e);
        strncpy(e.szName, gPatchInfo[i].szPart, sizeof e.szName);
        e.size = pairs[2 * i];
        e.data_length = pairs[2 * i + 1];
        e.flash_base = base;
        base += e.size;
    }
    return UPDT_MSYS_PARTS;
}

extern "C" int UPDTMSysInitPatchInfo(const FISDIRENTRY *pEntries, int n) {
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    if (!FullTable(__func__) || n < UPDT_MSYS_PARTS) return -1;
    gEraseBlockSize = kUnit;
    SLIBLog(LOG_ERR, "Available flash units = %d blocks, eraseblock = %d bytes", UPDT_MSYS_UNITS,
            UPDT_MSYS_UNIT_SIZE);
    int64_t total = 0;
    for (int i = 0; i < UPDT_MSYS_PARTS; ++i) {
        PATCHINFO &row = gPatchInfo[i];
        const FISDIRENTRY &e = pEntries[i];
        const int64_t nblock = updt::FillPatchRow(__func__, "partition", row, e, kUnit);
        if (nblock < 0) return -1;
        total += nblock;
    }
    if (total > UPDT_MSYS_UNITS) {
        SLIBLog(LOG_ERR, "%s(%d): the binary size exceeds flash size limit(total = %d blocks)",
                __func__, __LINE__, static_cast<int>(total));
        updt::LogTooLarge(__func__, gPatchInfo, UPDT_MSYS_PARTS, kUnit, total, UPDT_MSYS_UNITS);
        return -1;
    }
    return 0;
}

extern "C" int UPDTMSysFormat(const uint32_t *pSizes, int count) {
    if (!pSizes || count != UPDT_MSYS_PARTS) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    Fd fd(open(UPDT_MSYS_DEVICE, O_RDWR | O_CLOEXEC));
    if (!fd.ok()) {
        SLIBLog(LOG_ERR, "%s(%d): failed to open /dev/mtd0, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    if (ioctl(fd.fd, MEMMSYSFORMAT, static_cast<unsigned long>(UPDT_MSYS_UNITS)) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): failed to format, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    uint32_t sizes[UPDT_MSYS_PARTS];
    std::copy(pSizes, pSizes + UPDT_MSYS_PARTS, sizes);
    if (ioctl(fd.fd, MEMMSYSPARTITION, sizes) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): failed to partition, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    return 0;
}

extern "C" int UPDTMSysDoPatch(const FISDIRENTRY *pEntries, int n, int *pRepartitioned) {
    if (!pEntries || n <= 0 || !pRepartitioned) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    if (!FullTable(__func__) || n < UPDT_MSYS_PARTS) return -1;
    std::fill(std::begin(gWritten), std::end(gWritten), false);
    try {
        const bool resize = BlUPDTNegativeBalance(gPatchInfo, UPDT_MSYS_PARTS) != 0;
        if (resize) {
            SLIBLog(LOG_ERR, "%s(%d): NEED RE-PARTITION!!", __func__, __LINE__);
            // The new layout first (nothing changes yet), so that every
            // source is checked against where it will go.
            if (ErrUPDTAdjustPartitionSize(gPatchInfo, UPDT_MSYS_PARTS) != 0) {
                SLIBLog(LOG_ERR, "%s(%d): fail to resize", __func__, __LINE__);
                return -1;
            }
        }
        std::vector<Source> sources;
        if (!CheckSources(pEntries, resize, &sources)) return -1;
        if (resize) {
            uint32_t sizes[UPDT_MSYS_PARTS];
            for (int i = 0; i < UPDT_MSYS_PARTS; ++i)
                sizes[i] = Units(gPatchInfo[i].size);
            if (UPDTMSysFormat(sizes, UPDT_MSYS_PARTS) != 0) {
                SLIBLog(LOG_ERR, "%s(%d): fail to resize", __func__, __LINE__);
                *pRepartitioned = 1;  // the format may have begun
                return -1;
            }
            *pRepartitioned = 1;
        }
        for (int i = 0; i < UPDT_MSYS_PARTS; ++i) {
            const PATCHINFO &row = gPatchInfo[i];
            if (!*pRepartitioned && !row.fneedupdate) {
                SLIBLog(LOG_ERR, "%s: skip updating [%s]", __func__, row.szPart);
                continue;
            }
            const Source &s = sources[i];
            const std::string dev = "/dev/mtd" + std::to_string(i);
            std::string cmd =
                "/bin/dd if=" + Word(s.path) + " of=" + dev + " bs=" + std::to_string(kUnit);
            uint64_t bytes = row.datalen;
            // A partition that gave units away holds only the start of its
            // old contents, which is all of its data.
            if (s.backup) {
                const uint32_t count = std::min(pEntries[i].size, row.size) / kUnit;
                cmd += " count=" + std::to_string(count);
                bytes = uint64_t{count} * kUnit;
            }
            // A partition that already holds its image is not written again.
            if (!*pRepartitioned && updt::SameBytes(s.path, dev.c_str(), bytes)) {
                SLIBLog(LOG_ERR, "%s: [%s] already holds its image", __func__, row.szPart);
            } else {
                gWritten[i] = true;
                bool done = false;
                for (int attempt = 0; attempt < UPDT_PATCH_TRIES && !done; ++attempt) {
                    SLIBLog(LOG_ERR, "szCmd=[%s]", cmd.c_str());
                    if (UPDTExecute(cmd.c_str()) != 0) continue;
                    done = updt::SameBytes(s.path, dev.c_str(), bytes);
                    if (!done)
                        SLIBLog(LOG_ERR, "%s(%d): [%s] does not read back as written, [%d/%d]",
                                __func__, __LINE__, dev.c_str(), attempt, UPDT_PATCH_TRIES);
                }
                if (!done) {
                    SLIBLog(LOG_ERR, "%s:%d(%s) Try to Update [%s] %d counts failed ...", __FILE__,
                            __LINE__, __func__, dev.c_str(), UPDT_PATCH_TRIES);
                    return -1;
                }
            }
            UPDTSetProgress('P', 65 + 5 * i);
            SLIBLog(LOG_ERR, "%s: Finish updating [%s]", __func__, row.szPart);
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

extern "C" int UPDTMSysRollBack(const FISDIRENTRY *pEntries, int n, int repartitioned) {
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    if (n < UPDT_MSYS_PARTS) return -1;
    if (repartitioned == 1) {
        uint32_t sizes[UPDT_MSYS_PARTS];
        for (int i = 0; i < UPDT_MSYS_PARTS; ++i)
            sizes[i] = Units(pEntries[i].size);
        if (UPDTMSysFormat(sizes, UPDT_MSYS_PARTS) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): fail to resize", __func__, __LINE__);
            return -1;
        }
    }
    int result = 0;
    try {
        // The rows the patch wrote (every row after a re-partition); one that
        // fails does not stop the others.
        for (int i = 0; i < UPDT_MSYS_PARTS; ++i) {
            const std::string name = EntryName(pEntries[i]);
            if (repartitioned != 1 && !gWritten[i]) {
                SLIBLog(LOG_ERR, "%s: skip recoverying [%s]", __func__, name.c_str());
                continue;
            }
            const std::string backup = BackupFile(name);
            const std::string dev = "/dev/mtd" + std::to_string(i);
            bool done =
                repartitioned != 1 && updt::SameBytes(backup, dev.c_str(), pEntries[i].size);
            const std::string cmd =
                "/bin/dd if=" + Word(backup) + " of=" + dev + " bs=" + std::to_string(kUnit);
            for (int attempt = 0; attempt < UPDT_PATCH_TRIES && !done; ++attempt) {
                SLIBLog(LOG_ERR, "%s(%d): command=[%s]", __func__, __LINE__, cmd.c_str());
                if (UPDTExecute(cmd.c_str()) != 0) continue;
                done = updt::SameBytes(backup, dev.c_str(), pEntries[i].size);
            }
            if (!done) {
                SLIBLog(LOG_ERR, "%s:%d(%s) Try to restore [%s] %d counts failed ...", __FILE__,
                        __LINE__, __func__, dev.c_str(), UPDT_PATCH_TRIES);
                result = -1;
                continue;
            }
            UPDTSetProgress('P', 65 + 5 * i);
            SLIBLog(LOG_ERR, "%s: Finish updating [%s]", __func__, name.c_str());
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return result;
}

extern "C" int UPDTMSysUpdate(char *stage) {
    if (!stage) return 18;
    bool keepBackup = false;
    int code;
    try {
        // Room for the module's 8 entries in a cleared array.
        std::vector<FISDIRENTRY> entries(UPDT_MSYS_PARTS);
        code = Update(stage, entries, &keepBackup);
    } catch (const std::bad_alloc &) {
        return 18;
    }
    // The records, the analysis of the flash and the backup leave the
    // update folder untouched when they fail.
    if (code == 18 || code == 19 || code == 15) return code;
    const std::string backup = BackupDir();
    // A group update makes no backup: a folder there is an earlier run's.
    if (!BlUPDTBackupMade()) return code;
    if (keepBackup) {
        char msg[512];
        snprintf(msg, sizeof msg, "The backup of the old flash is kept in %s", backup.c_str());
        SLIBLog(LOG_ERR, "%s", msg);
        UPDTLog(msg);
        return code;
    }
    const std::string cmd = "/bin/rm -rf " + Word(backup);
    SLIBLog(LOG_ERR, "szCmd=[%s]", cmd.c_str());
    UPDTExecute(cmd.c_str());
    return code;
}
