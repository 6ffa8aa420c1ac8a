#include "updt_patchinfo.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "slib_errcode.h"
#include "updt_util.h"

extern "C" {

const PATCHINFO gPatchInfoFull[UPDT_ROWS_FULL] = {
    {"RedBoot", "RedBoot.msys", 0, 0, 0, 0, 0, 0, 0},
    {"zImage", "zImage", 0, 0, 0, 0, 0, 0, 0},
    {"rd.gz", "rd.bin", 0, 0, 0, 0, 0, 0, 0},
    {"AllLib.tgz", "AllLib.tgz", 0, 0, 0, 0, 0, 0, 0},
    {"vendor", "vendor", 0, 0, 0, 0, 0, 0, 0},
    {"qavocfg", "qavocfg", 0, 0, 0, 0, 0, 0, 0},
    {"RedBoot Config", "RedBoot Config", 0, 0, 0, 0, 0, 0, 0},
    {"FIS Directory", "FIS Directory", 0, 0, 0, 0, 0, 0, 0},
};
const PATCHINFO gPatchInfoPomlet[UPDT_ROWS_POMLET] = {
    {"RedBoot", "RedBoot.msys", 0, 0, 0, 0, 0, 0, 0},
    {"zImage", "zImage", 0, 0, 0, 0, 0, 0, 0},
    {"rd.gz", "rd.bin", 0, 0, 0, 0, 0, 0, 0},
    {"vendor", "vendor", 0, 0, 0, 0, 0, 0, 0},
    {"RedBoot Config", "RedBoot Config", 0, 0, 0, 0, 0, 0, 0},
    {"FIS Directory", "FIS Directory", 0, 0, 0, 0, 0, 0, 0},
};
const PARTDEVMAP gPartDevMapFull[UPDT_ROWS_FULL + 1] = {
    {"RedBoot", "/dev/mtd0"},        {"zImage", "/dev/mtd1"},        {"rd.gz", "/dev/mtd2"},
    {"AllLib.tgz", "/dev/mtd3"},     {"vendor", "/dev/mtd4"},        {"qavocfg", "/dev/mtd5"},
    {"RedBoot Config", "/dev/mtd6"}, {"FIS Directory", "/dev/mtd7"}, {nullptr, nullptr},
};
const PARTDEVMAP gPartDevMapPomlet[UPDT_ROWS_POMLET + 1] = {
    {"RedBoot", "/dev/mtd0"}, {"zImage", "/dev/mtd1"},         {"rd.gz", "/dev/mtd2"},
    {"vendor", "/dev/mtd3"},  {"RedBoot Config", "/dev/mtd4"}, {"FIS Directory", "/dev/mtd5"},
    {nullptr, nullptr},
};

PATCHINFO gPatchInfo[UPDT_ROWS_MAX + 1];
PARTDEVMAP gPartDevMap[UPDT_ROWS_MAX + 1];
int nPatchRows;
int blPomlet;
char gszDevMtdPartition[10];
char szUpdateDir[256];
char szVolume[32] = "/volume1";
int blGroupUpdate;
uint32_t gEraseBlockSize;

}  // extern "C"

namespace {

constexpr const char kBootLoaderFile[] = "RedBoot.msys";

bool IsBootLoader(const PATCHINFO &row) {
    return row.szFile && strcmp(row.szFile, kBootLoaderFile) == 0;
}

bool IsMovable(const PATCHINFO &row) {
    return !BlUPDTIsFixedPartition(row.szPart);
}

// An entry's name, which may fill its 16 bytes without a terminator.
bool NameIs(const FISDIRENTRY &e, const char *name) {
    return strncasecmp(e.szName, name, sizeof e.szName) == 0 && strlen(name) <= sizeof e.szName;
}

// Status of an image of the package. 1: a usable image (size in *size);
// 0: absent; -1: present but unusable (logged).
int ImageStatus(const char *file, uint64_t *size) {
    struct stat st;
    // Absent only when the name itself is absent: a link that leads nowhere
    // (or round in a loop) is a bad image, never a missing one.
    if (lstat(file, &st) != 0) {
        if (errno == ENOENT) return 0;
        SLIBLog(LOG_ERR, "%s(%d): cannot examine image [%s], errno = %d", __func__, __LINE__, file,
                errno);
        return -1;
    }
    if (stat(file, &st) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): image [%s] cannot be followed to a file, errno = %d", __func__,
                __LINE__, file, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        SLIBLog(LOG_ERR, "%s(%d): image [%s] is not a regular file", __func__, __LINE__, file);
        return -1;
    }
    if (st.st_size == 0) {
        SLIBLog(LOG_ERR, "%s(%d): image [%s] is empty", __func__, __LINE__, file);
        return -1;
    }
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d): cannot open image [%s], errno = %d", __func__, __LINE__, file,
                errno);
        return -1;
    }
    close(fd);
    *size = static_cast<uint64_t>(st.st_size);
    return 1;
}

}  // namespace

int64_t updt::FillPatchRow(const char *func, const char *label, PATCHINFO &row,
                           const FISDIRENTRY &e, uint32_t blockSize) {
    uint64_t imageSize = 0;
    const int st = row.szFile ? ImageStatus(row.szFile, &imageSize) : -1;
    if (st < 0) return -1;
    // The boot loader's configuration and the flash directory are never
    // written by an update, whatever the chip's lock state.
    if (st > 0 && BlUPDTIsNeverWritten(row.szPart)) {
        SLIBLog(LOG_ERR, "%s(%d): image [%s] refused: partition [%s] is never written by an update",
                func, __LINE__, row.szFile, row.szPart);
        return -1;
    }
    if (st > 0) {
        if (imageSize > UINT32_MAX) {
            SLIBLog(LOG_ERR, "%s(%d): image [%s] is too large", func, __LINE__, row.szFile);
            return -1;
        }
        row.datalen = static_cast<uint32_t>(imageSize);
        row.fneedupdate = 1;
        row.fhasimage = 1;
    } else {
        SLIBLog(LOG_ERR, "%s(%d): file [%s] not included in the patch package ", func, __LINE__,
                row.szFile);
        row.datalen = e.data_length;
        row.fneedupdate = 0;
        row.fhasimage = 0;
    }
    const int64_t block = blockSize;
    const int64_t nblock = (static_cast<int64_t>(row.datalen) + block - 1) / block;
    row.size = e.size;
    row.start = e.flash_base;
    row.balance = static_cast<int32_t>(e.size / blockSize - nblock);
    row.delta = 0;
    SLIBLog(LOG_ERR,
            "PATCHINFO: %s[%s] file[%s] start = [0x%08X] size[0x%d] datalen=[0x%08X] "
            "nblock[%d] balance[%d] fneedupdate[%d]",
            label, row.szPart, row.szFile, row.start, static_cast<int>(row.size), row.datalen,
            static_cast<int>(nblock), row.balance, row.fneedupdate);
    return nblock;
}

void updt::LogTooLarge(const char *func, const PATCHINFO *rows, int n, uint32_t blockSize,
                       int64_t total, int64_t room) {
    const int64_t over = total - room, block = blockSize;
    bool named = false;
    for (int i = 0; i < n && rows[i].szPart; ++i) {
        const PATCHINFO &row = rows[i];
        if (!row.fhasimage || row.balance >= 0) continue;
        // The image's blocks less the excess, the rest of the rows as they are.
        const int64_t nblock = (int64_t{row.datalen} + block - 1) / block;
        const int64_t fit = std::max<int64_t>(nblock - over, 0) * block;
        SLIBLog(LOG_ERR,
                "%s(%d): image [%s] of partition [%s] is %lld bytes too large: %lld bytes "
                "of it fit beside the other partitions",
                func, __LINE__, row.szFile, row.szPart, static_cast<long long>(row.datalen - fit),
                static_cast<long long>(fit));
        named = true;
    }
    if (!named)
        SLIBLog(LOG_ERR, "%s(%d): the partitions need %lld bytes more than the flash holds", func,
                __LINE__, static_cast<long long>(over * block));
}

extern "C" int UPDTImageStatus(const char *szFile, uint64_t *pSize) {
    if (!szFile || !pSize) return -1;
    return ImageStatus(szFile, pSize);
}

extern "C" void UPDTSelectEdition(int pomlet) {
    memset(gPatchInfo, 0, sizeof gPatchInfo);
    memset(gPartDevMap, 0, sizeof gPartDevMap);
    if (pomlet) {
        std::copy(std::begin(gPatchInfoPomlet), std::end(gPatchInfoPomlet), gPatchInfo);
        std::copy(std::begin(gPartDevMapPomlet), std::end(gPartDevMapPomlet), gPartDevMap);
        nPatchRows = UPDT_ROWS_POMLET;
        snprintf(gszDevMtdPartition, sizeof gszDevMtdPartition, "%s", "/dev/mtd5");
    } else {
        std::copy(std::begin(gPatchInfoFull), std::end(gPatchInfoFull), gPatchInfo);
        std::copy(std::begin(gPartDevMapFull), std::end(gPartDevMapFull), gPartDevMap);
        nPatchRows = UPDT_ROWS_FULL;
        snprintf(gszDevMtdPartition, sizeof gszDevMtdPartition, "%s", "/dev/mtd7");
    }
    blPomlet = pomlet ? 1 : 0;
}

extern "C" const char *SzUPDTGetDeviceByName(const char *szName) {
    if (!szName) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return nullptr;
    }
    for (const PARTDEVMAP *row = gPartDevMap; row->szPart || row->szDevice; ++row)
        if (row->szPart && strcasecmp(row->szPart, szName) == 0) return row->szDevice;
    SLIBLog(LOG_ERR, "%s(%d): unknown partition name [%s]", __func__, __LINE__, szName);
    return nullptr;
}

extern "C" int GetIdxByName(const char *szName, const FISDIRENTRY *pEntries, int n) {
    if (!szName || !pEntries) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    for (int i = 0; i < n; ++i)
        if (NameIs(pEntries[i], szName)) return i;
    SLIBLog(LOG_ERR, "%s(%d): unknown partition name [%s]", __func__, __LINE__, szName);
    return -1;
}

extern "C" int UPDTInitPatchInfo(const FISDIRENTRY *pEntries, int n) {
    if (!pEntries || n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    const char *dirDev = SzUPDTGetDeviceByName("FIS Directory");
    mtd_info_user info;
    if (!dirDev || QAVOMTDGetDeviceInfo(dirDev, &info, sizeof info) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get device info", __func__, __LINE__);
        return -1;
    }
    gEraseBlockSize = info.erasesize;
    if (gEraseBlockSize == 0) {
        SLIBLog(LOG_ERR, "%s(%d): gEraseBlockSize == 0", __func__, __LINE__);
        return -1;
    }
    uint32_t dirBase = 0, dirSize = 0, kernelBase = 0;
    for (int i = 0; i < n; ++i) {
        if (NameIs(pEntries[i], "FIS Directory")) {
            dirBase = pEntries[i].flash_base;
            dirSize = pEntries[i].size;
        } else if (NameIs(pEntries[i], "zImage")) {
            kernelBase = pEntries[i].flash_base;
        }
    }
    if (dirSize == 0 || dirBase <= kernelBase) {
        SLIBLog(LOG_ERR, "%s(%d): ulAddrMtd7 = %lx, ulAddrMtd0 = %lx, ulSizeMtd7 = %lx", __func__,
                __LINE__, static_cast<unsigned long>(dirBase),
                static_cast<unsigned long>(kernelBase), static_cast<unsigned long>(dirSize));
        SLIBLog(LOG_ERR, "%s(%d): flashsize == 0", __func__, __LINE__);
        return -1;
    }
    // The flash the directory describes, from its lowest partition to the end
    // of its highest: the boot loader may lie in front of the kernel.
    uint64_t lowest = kernelBase, highest = uint64_t{dirBase} + dirSize;
    for (int i = 0; i < n; ++i) {
        if (pEntries[i].size == 0) continue;
        lowest = std::min<uint64_t>(lowest, pEntries[i].flash_base);
        highest = std::max<uint64_t>(highest, uint64_t{pEntries[i].flash_base} + pEntries[i].size);
    }
    const uint32_t flashSize =
        static_cast<uint32_t>(std::min<uint64_t>(highest - lowest, UINT32_MAX));
    if (flashSize == 0) {
        SLIBLog(LOG_ERR, "%s(%d): flashsize == 0", __func__, __LINE__);
        return -1;
    }
    SLIBLog(LOG_ERR, "flashsize = 0x%08X, eraseblock = 0x%08X", flashSize, gEraseBlockSize);

    int64_t total = 0;
    for (int r = 0; r < nPatchRows && gPatchInfo[r].szPart; ++r) {
        PATCHINFO &row = gPatchInfo[r];
        int idx = GetIdxByName(row.szPart, pEntries, n);
        if (idx < 0) {
            SLIBLog(LOG_ERR, "%s(%d): get idx of partition %d [%s] fail", __func__, __LINE__, r,
                    row.szPart);
            return -1;
        }
        const FISDIRENTRY &e = pEntries[idx];
        const int64_t nblock = updt::FillPatchRow(__func__, "part", row, e, gEraseBlockSize);
        if (nblock < 0) return -1;
        total += nblock;
    }
    if (total > flashSize / gEraseBlockSize) {
        SLIBLog(LOG_ERR, "%s(%d): the binary size exceeds flash size limit(total = %d)", __func__,
                __LINE__, static_cast<int>(total));
        updt::LogTooLarge(__func__, gPatchInfo, nPatchRows, gEraseBlockSize, total,
                          flashSize / gEraseBlockSize);
        return -1;
    }
    return 0;
}

extern "C" int BlUPDTNegativeBalance(const PATCHINFO *pRows, int n) {
    if (!pRows) return 0;
    for (int i = 0; i < n; ++i)
        if (pRows[i].balance < 0) return 1;
    return 0;
}

extern "C" int BlUPDTIsFixedPartition(const char *szName) {
    if (!szName) return 0;
    for (const char *fixed : {"qavocfg", "vendor", "RedBoot Config", "FIS Directory"})
        if (strcasecmp(szName, fixed) == 0) return 1;
    return 0;
}

extern "C" int BlUPDTIsNeverWritten(const char *szName) {
    return szName && (strcasecmp(szName, "RedBoot Config") == 0 ||
                      strcasecmp(szName, "FIS Directory") == 0)
               ? 1
               : 0;
}

extern "C" int ErrUPDTAdjustPartitionSize(PATCHINFO *pRows, int n) {
    if (!pRows || n <= 0 || gEraseBlockSize == 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    // A fixed partition never grows: data too large for it can never fit.
    for (int i = 0; i < n; ++i) {
        if (pRows[i].balance < 0 && !IsMovable(pRows[i])) {
            SLIBLog(LOG_ERR, "%s(%d): [%s] does not fit its fixed partition [%s] (%u bytes)",
                    __func__, __LINE__, pRows[i].szFile, pRows[i].szPart, pRows[i].size);
            SLIBLog(LOG_ERR, "%s(%d): negative balance", __func__, __LINE__);
            return -1;
        }
    }
    // Work on a copy: a refused layout leaves the rows as they were.
    std::vector<PATCHINFO> rows(pRows, pRows + n);
    auto movable = [](const PATCHINFO &r) { return IsMovable(r); };
    for (int cur = 0; cur < n; ++cur) {
        while (rows[cur].balance < 0) {
            int donor = -1;
            for (int j = 0; j < n; ++j) {
                if (j == cur || !movable(rows[j]) || IsBootLoader(rows[j])) continue;
                if (donor < 0 || rows[j].balance > rows[donor].balance) donor = j;
            }
            if (donor < 0 || rows[donor].balance <= 0) {
                SLIBLog(LOG_ERR, "%s(%d): negative balance", __func__, __LINE__);
                return -1;
            }
            --rows[donor].balance;
            --rows[donor].delta;
            ++rows[cur].balance;
            ++rows[cur].delta;
        }
    }

    // Shift in flash order, which is not table order on every layout: each
    // movable partition moves by the blocks gained or lost by the movable
    // partitions in front of it.
    std::vector<int> order;
    for (int i = 0; i < n; ++i)
        if (movable(rows[i])) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return pRows[a].start < pRows[b].start; });
    const int64_t block = gEraseBlockSize;
    int64_t shift = 0;
    std::vector<int64_t> start(n), size(n);
    for (int i = 0; i < n; ++i) {
        start[i] = rows[i].start;
        size[i] = rows[i].size;
    }
    for (int i : order) {
        if (shift == 0 && rows[i].delta == 0) continue;
        start[i] += shift * block;
        shift += rows[i].delta;
        size[i] += rows[i].delta * block;
        rows[i].fneedupdate = 1;
    }

    // The flash the directory describes: from the lowest partition to the end
    // of the highest one.
    int64_t lo = INT64_MAX, hi = 0;
    for (int i = 0; i < n; ++i) {
        if (pRows[i].size == 0) continue;
        lo = std::min<int64_t>(lo, pRows[i].start);
        hi = std::max<int64_t>(hi, int64_t{pRows[i].start} + pRows[i].size);
    }
    // A directory entry running past the 32-bit address space does not
    // widen the flash: a partition moved there would wrap to a low address.
    hi = std::min<int64_t>(hi, int64_t{1} << 32);
    for (int i = 0; i < n; ++i) {
        if (IsBootLoader(rows[i]) && start[i] != pRows[i].start) {
            SLIBLog(LOG_ERR, "%s(%d): the boot loader [%s] would move to 0x%llX", __func__,
                    __LINE__, rows[i].szPart, static_cast<unsigned long long>(start[i]));
            return -1;
        }
        const bool changed = start[i] != pRows[i].start || size[i] != pRows[i].size;
        if (!changed) continue;
        if (size[i] <= 0 || start[i] < lo || start[i] + size[i] > hi) {
            SLIBLog(LOG_ERR, "%s(%d): partition [%s] at 0x%llX size 0x%llX leaves the flash",
                    __func__, __LINE__, rows[i].szPart, static_cast<unsigned long long>(start[i]),
                    static_cast<unsigned long long>(size[i]));
            return -1;
        }
        for (int j = 0; j < n; ++j) {
            if (j == i || size[j] <= 0) continue;
            if (start[i] < start[j] + size[j] && start[j] < start[i] + size[i]) {
                SLIBLog(LOG_ERR, "%s(%d): partition [%s] at 0x%llX size 0x%llX overlaps [%s]",
                        __func__, __LINE__, rows[i].szPart,
                        static_cast<unsigned long long>(start[i]),
                        static_cast<unsigned long long>(size[i]), rows[j].szPart);
                return -1;
            }
        }
    }
    for (int i = 0; i < n; ++i) {
        rows[i].start = static_cast<uint32_t>(start[i]);
        rows[i].size = static_cast<uint32_t>(size[i]);
    }
    std::copy(rows.begin(), rows.end(), pRows);
    return 0;
}
