// md RAID arrays: status from the md driver, numbering, creation and
// destruction with mdadm, members, upgrade and repair candidates, growth and
// the system arrays; each internal disk's status as an array member, and
// its partitioning for the arrays.
#include "qavo_raid.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/major.h>
#include <linux/raid/md_u.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qavo_raiddisk.h"
#include "raiddisk_util.h"
#include "slib_errcode.h"
#include "slib_proc.h"
#include "slib_str.h"
#include "volfs_util.h"

using namespace raiddisk;

namespace {

int g_volErr = 0;

constexpr int kMaxMembers = 4;
constexpr int kDiskNumbers = 27;
constexpr const char *kMdadm = "mdadm";

int VolFail(int err) {
    g_volErr = err;
    return 1;
}

// The slot count, one when it cannot be read.
int MaxDisks(const char *fn, int line) {
    int n = QAVORaidDiskMaxNumGet();
    if (n <= 0) {
        SLIBLog(LOG_ERR, "(%s)%s(%d):Failed to get Max volume number, give default value %d",
                __FILE__, fn, line, 1);
        n = 1;
    }
    return n;
}

char MdChar(int md) {
    return static_cast<char>('0' + md);
}

std::string MdDev(int md) {
    return "/dev/md" + std::to_string(md);
}

// system() of a command line: -1 when it did not run, else the exit status
// (a command killed by a signal counts as status 255).
int Status(const std::string &cmd) {
    int st = SLIBSysSystem(cmd.c_str());
    if (st == -1) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 255;
}

void LogCmd(const std::string &cmd, int status) {
    if (status == -1)
        SLIBLog(LOG_ERR, "%s(%d)Failed to fork : status = -1", __FILE__, __LINE__);
    else
        SLIBLog(LOG_ERR,
                "%s(%d)Failed to execute cmd : %s , status = %d , WEXITSTATUS(status) = %d",
                __FILE__, __LINE__, cmd.c_str(), status << 8, status);
}

int PartIndexOf(int md) {
    return md == 0 ? 0 : md == 1 ? 1 : 2;
}

// Fills the resynchronisation words; 0, or the error code.
int SyncInfo(int fd, int *state, float *percent) {
    uint32_t words[3] = {0, 0, 0};
    if (ioctl(fd, QAVO_MD_SYNC_STATUS, words) != 0) {
        if (errno == ENODEV) return QAVO_RAID_ERR_NODEV;
        SLIBLog(LOG_ERR, "%s(%d): failed to ioctl for sync status, errno=%s", __func__, __LINE__,
                strerror(errno));
        return QAVO_RAID_ERR_CMD;
    }
    if (words[0] == 0) {
        *state = QAVO_RAID_SYNC_IDLE;
        *percent = 0;
    } else if (words[1] == 0) {
        *state = QAVO_RAID_SYNC_PENDING;
        *percent = 0;
    } else if (words[2] == 0) {
        SLIBLog(LOG_ERR, "%s(%d): bad finish sectors, finish sectors=%lu", __func__, __LINE__,
                static_cast<unsigned long>(words[2]));
        return QAVO_RAID_ERR_CMD;
    } else {
        *state = QAVO_RAID_SYNC_RUNNING;
        *percent = static_cast<float>(words[1]) * 100.0f / static_cast<float>(words[2]);
    }
    return 0;
}

int Candidates(int md, int disk, bool upgrade) {
    int max = MaxDisks(__func__, __LINE__);
    if (md < 0 || disk >= max || disk < -1) {
        SLIBLog(LOG_ERR, "%s(%d): Bad parameter.", __func__, __LINE__);
        return -3;
    }
    QAVORAIDVOLSTATUS st;
    if (QAVORaidVolStatusGet(md, &st) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)(%d):Failed to get RAID VOLUME %d status", __func__, __LINE__,
                md - 1, md - 1);
        return -3;
    }
    bool suitable = upgrade ? st.level == 1 && st.designed == 1 && st.status == QAVO_RAID_NORMAL
                            : st.status == QAVO_RAID_DEGRADED &&
                                  st.syncState == QAVO_RAID_SYNC_IDLE && st.faultyMask == 0;
    if (!suitable) return -2;
    uint64_t component = static_cast<uint64_t>(st.componentSize);
    if (disk >= 0) {
        int r = QAVORaidDiskFitCheck(disk, component);
        if (r == 1) return 1 << disk;
        if (r == -2) return -3;
        return r;
    }
    int mask = 0, inUse = 0;
    for (int d = 0; d < max; ++d) {
        int r = QAVORaidDiskFitCheck(d, component);
        if (r == -2) return -3;
        if (r == 1) mask |= 1 << d;
        if (r == -1) ++inUse;
    }
    if (inUse == max) return -1;
    return mask;
}

}  // namespace

extern "C" int QAVORaidVolErrGet(void) {
    return g_volErr;
}

extern "C" void QAVORaidVolErrSet(int err) {
    g_volErr = err;
}

extern "C" int BlQAVORaidMDIsValid(int md) {
    return md >= 0 && md <= QAVO_RAID_MD_MAX;
}

extern "C" uint32_t QAVORaidSysVolSizeGet(void) {
    return QAVO_RAID_SYSVOL_SECTORS;
}

extern "C" uint64_t QAVORaidVolSizeLimitGet(void) {
    DIR *dir = opendir("/tmp");
    if (!dir) return 0;
    uint64_t limit = 0;
    while (struct dirent *e = readdir(dir)) {
        if (strncmp(e->d_name, "volume.", 7) != 0) continue;
        const char *num = e->d_name + 7;
        char *end;
        errno = 0;
        unsigned long long gib = strtoull(num, &end, 10);
        if (end == num || *end || errno || *num == '-' || gib == 0 || gib > (1ull << 40)) continue;
        limit = static_cast<uint64_t>(gib) << 20;
        break;
    }
    closedir(dir);
    return limit;
}

extern "C" int QAVORaidDiskMaskCount(uint32_t mask) {
    return __builtin_popcount(mask & 0xF);
}

extern "C" int QAVORaidVolMaxNumGet(void) {
    return MaxDisks(__func__, __LINE__);
}

extern "C" int QAVORaidVolMaxMDGet(void) {
    return MaxDisks(__func__, __LINE__) + 1;
}

extern "C" int QAVORaidMDCountGet(void) {
    return MaxDisks(__func__, __LINE__) + 2;
}

extern "C" int QAVORaidVolStatusCalc(int level, int designed, int working, uint32_t memberMask) {
    if (level != 0 && level != 1 && level != 5) {
        SLIBLog(LOG_ERR, "%s(%d)bad param", __func__, __LINE__);
        return QAVO_RAID_NORMAL;
    }
    if (designed == working) return QAVO_RAID_NORMAL;
    if (working > designed) {
        SLIBLog(LOG_ERR, "%s(%d)unknown volume status = -1", __func__, __LINE__);
        return QAVO_RAID_NORMAL;
    }
    if (level == 0 || memberMask == 0 || working <= 0) return QAVO_RAID_CRASHED;
    // Every member of a mirror holds all the data: one working is enough.
    if (level == 1) return QAVO_RAID_DEGRADED;
    if (working < designed - 1) return QAVO_RAID_CRASHED;
    return QAVO_RAID_DEGRADED;
}

extern "C" int GetRAIDVolRebuildInfo(int fd, int *state, float *percent) {
    if (fd < 0 || !state || !percent) return -1;
    int r = SyncInfo(fd, state, percent);
    if (r != 0) {
        g_volErr = r;
        return -1;
    }
    return 0;
}

namespace {

// The status record of an array. A member whose driver query fails is left
// out of the record, and *unsure tells that one was: the disk under it is
// unknown.
int ReadStatus(int md, PQAVORAIDVOLSTATUS out, bool *unsure) {
    // Logged under the public operation's name.
    static constexpr const char *kStatusFn = "QAVORaidVolStatusGet";
    *unsure = false;
    if (!BlQAVORaidMDIsValid(md) || !out) return VolFail(QAVO_RAID_ERR_PARAM);
    const std::string dev = MdDev(md);
    int fd = open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // An array whose node is missing or stands for no device is absent.
        int e = errno;
        fprintf(stderr, ": failed to open %s: %s\n", dev.c_str(), strerror(e));
        return VolFail(e == ENOENT || e == ENXIO || e == ENODEV ? QAVO_RAID_ERR_NODEV
                                                                : QAVO_RAID_ERR_CMD);
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};

    int syncState = 0;
    float percent = 0;
    int r = SyncInfo(fd, &syncState, &percent);
    if (r != 0) {
        if (r != QAVO_RAID_ERR_NODEV)
            SLIBLog(LOG_ERR, "%s(%d) cannot get sync info of /dev/md%d\n", kStatusFn, __LINE__, md);
        return VolFail(r);
    }

    mdu_array_info_t info{};
    uint64_t bytes = 0;
    if (ioctl(fd, GET_ARRAY_INFO, &info) != 0) {
        int e = errno;
        if (e == ENODEV) return VolFail(QAVO_RAID_ERR_NODEV);
        SLIBLog(LOG_ERR, "%s(%d): failed to ioctl for raid status, errno=%s", kStatusFn, __LINE__,
                strerror(e));
        SLIBLog(LOG_ERR, "%s(%d) cannot get array detail for /dev/md%d, errno=%s\n", kStatusFn,
                __LINE__, md, strerror(e));
        return VolFail(QAVO_RAID_ERR_CMD);
    }
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
        int e = errno;
        if (e == ENODEV) return VolFail(QAVO_RAID_ERR_NODEV);
        SLIBLog(LOG_ERR, "%s(%d): failed to ioctl for raid total size, errno=%s", kStatusFn,
                __LINE__, strerror(e));
        SLIBLog(LOG_ERR, "%s(%d) cannot get array detail for /dev/md%d, errno=%s\n", kStatusFn,
                __LINE__, md, strerror(e));
        return VolFail(QAVO_RAID_ERR_CMD);
    }

    mdu_disk_info_t members[kMaxMembers];
    int count = 0;
    for (int n = 0; n < kDiskNumbers; ++n) {
        mdu_disk_info_t d{};
        d.number = n;
        if (ioctl(fd, GET_DISK_INFO, &d) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)failed to get RAID disk %d, errno=%s", kStatusFn, __LINE__, n,
                    strerror(errno));
            *unsure = true;
            continue;
        }
        if ((d.major == 0 && d.minor == 0) || (d.state & QAVO_MD_DISK_REMOVED)) continue;
        if (count == kMaxMembers) {
            SLIBLog(LOG_ERR, "%s(%d)The RAID volume has too much disks: %d disks, MAX disk = %d",
                    kStatusFn, __LINE__, count + 1, kMaxMembers);
            SLIBLog(LOG_ERR, "%s(%d) failed to get disk info for /dev/md%d\n", kStatusFn, __LINE__,
                    md);
            return VolFail(QAVO_RAID_ERR_CMD);
        }
        members[count++] = d;
    }

    // The device's first mount in the table; the record keeps at most 15
    // characters of its mount point.
    std::string point;
    const bool mounted = volfs::FindMount(dev, true, &point, nullptr) == 1;
    char mountPoint[16] = "";
    if (mounted) snprintf(mountPoint, sizeof mountPoint, "%s", point.c_str());

    uint32_t memberMask = 0, faultyMask = 0, flaggedMask = 0, workingMask = 0;
    int working = 0, flagged = 0;
    for (int i = 0; i < count; ++i) {
        const mdu_disk_info_t &d = members[i];
        int id = QAVORaidDiskIdGetByDevNum(md, d.major, d.minor);
        if (id < 1) {
            SLIBLog(LOG_ERR, "%s(%d) failed to get disk device name for major=%d, minor=%d\n",
                    kStatusFn, __LINE__, d.major, d.minor);
            return VolFail(QAVO_RAID_ERR_CMD);
        }
        uint32_t bit = 1u << (id - 1);
        if (d.state & QAVO_MD_DISK_FAULTY) {
            memberMask |= bit;
            faultyMask |= bit;
        } else if (d.state & QAVO_MD_DISK_FLAGGED) {
            memberMask |= bit;
            flaggedMask |= bit;
            ++flagged;
        } else if (!(d.state & QAVO_MD_DISK_ACTIVE) &&
                   (d.state & (QAVO_MD_DISK_SYNC | QAVO_MD_DISK_REMOVED))) {
            SLIBLog(LOG_ERR, "%s(%d) unknown status: disk %d, status=%d\n", kStatusFn, __LINE__,
                    id - 1, d.state);
            return VolFail(QAVO_RAID_ERR_CMD);
        } else {
            memberMask |= bit;
            workingMask |= bit;
            ++working;
        }
    }

    memset(out, 0, sizeof *out);
    out->md = md;
    out->level = info.level;
    out->valid = 1;
    out->status = QAVORaidVolStatusCalc(info.level, info.raid_disks, working, memberMask);
    out->syncState = syncState;
    out->syncPercent = syncState == QAVO_RAID_SYNC_RUNNING ? percent : 0;
    out->designed = info.raid_disks;
    out->counted = working + flagged;
    out->working = working;
    out->memberMask = memberMask;
    out->faultyMask = faultyMask;
    out->flaggedMask = flaggedMask;
    out->workingMask = workingMask;
    snprintf(out->device, sizeof out->device, "%s", dev.c_str());
    out->mounted = mounted ? 1 : 0;
    if (mounted) snprintf(out->mountPoint, sizeof out->mountPoint, "%s", mountPoint);
    out->size = bytes;
    out->componentSize = static_cast<uint32_t>(info.size);
    return 0;
}

}  // namespace

extern "C" int QAVORaidVolStatusGet(int md, PQAVORAIDVOLSTATUS out) {
    bool unsure = false;
    return ReadStatus(md, out, &unsure);
}

extern "C" int QAVORaidDevEnum(uint32_t *mask, int *first, int *count) {
    if (!mask && !first && !count) return VolFail(QAVO_RAID_ERR_PARAM);
    int max = MaxDisks(__func__, __LINE__);
    uint32_t m = 0;
    int f = 0, c = 0;
    for (int i = 0; i < max; ++i) {
        QAVORAIDVOLSTATUS st;
        if (QAVORaidVolStatusGet(i + 2, &st) != 0) continue;
        if (c == 0) f = i;
        m |= 1u << i;
        ++c;
    }
    if (mask) *mask = m;
    if (first) *first = f;
    if (count) *count = c;
    return 0;
}

extern "C" int QAVORaidVolFindUnusedID(int *md) {
    if (!md) return VolFail(QAVO_RAID_ERR_PARAM);
    int max = MaxDisks(__func__, __LINE__);
    for (int n = 0; n <= max + 1; ++n) {
        QAVORAIDVOLSTATUS st;
        if (QAVORaidVolStatusGet(n, &st) != 0 && g_volErr == QAVO_RAID_ERR_NODEV) {
            *md = n;
            return 0;
        }
    }
    return VolFail(QAVO_RAID_ERR_NOID);
}

extern "C" int QAVORaidDevCreate(uint32_t diskMask, int partIndex, int level, int diskCount,
                                 int *md) {
    if (diskMask < 1 || (level != 0 && level != 1 && level != 5) || !md ||
        !BlQAVORaidPartIsValid(partIndex) || diskCount < 1 || diskCount > kMaxMembers)
        return VolFail(QAVO_RAID_ERR_PARAM);
    int max = MaxDisks(__func__, __LINE__);
    std::string members;
    int listed = 0;
    for (int d = 0; d < max; ++d) {
        if (!(diskMask & (1u << d))) continue;
        const char *part = QAVORaidPartDevGet(d, partIndex);
        if (!InternalSlot(d, __func__) || access(part, F_OK) != 0)
            return VolFail(QAVO_RAID_ERR_PARAM);
        uint32_t sectors = 0;
        if (QAVORaidDiskSizeGet(d, partIndex, &sectors) != 0) return VolFail(QAVO_RAID_ERR_SIZE);
        members += part;
        members += ' ';
        ++listed;
    }
    for (int i = listed; i < diskCount; ++i)
        members += "missing ";
    int id = -1;
    if (QAVORaidVolFindUnusedID(&id) != 0) {
        SLIBLog(LOG_ERR, "(%s)%s(%d):Failed to get unused volume number, maxMDId=%d", __FILE__,
                __func__, __LINE__, max + 1);
        return 1;
    }
    uint64_t limit = partIndex == 2 ? QAVORaidVolSizeLimitGet() : 0;
    char cmd[512];
    snprintf(cmd, sizeof cmd, "%s -C /dev/md%c -amd -R -l%d %s -n%d %s", kMdadm, MdChar(id), level,
             diskCount == 1 ? "-f" : "", diskCount, members.c_str());
    std::string line = cmd;
    if (limit) line += " -z " + std::to_string(limit) + " ";
    line += "> /dev/null";
    int st = Status(line);
    if (st == -1) return VolFail(QAVO_RAID_ERR_CMD);
    if (st != 0) {
        LogCmd(line, st);
        Status(std::string(kMdadm) + " -S /dev/md" + MdChar(id));
        return VolFail(QAVO_RAID_ERR_CMD);
    }
    *md = id;
    return 0;
}

extern "C" int QAVORaidDataDevCreate(uint32_t diskMask, int level, int diskCount, int *md) {
    return QAVORaidDevCreate(diskMask, 2, level, diskCount, md);
}

extern "C" int QAVORaidVolDestroy(int md) {
    // The system and swap arrays are never taken apart here.
    if (md == 0 || md == 1) {
        SLIBLog(LOG_ERR, "%s(%d) refused to destroy system array md%d", __func__, __LINE__, md);
        return VolFail(QAVO_RAID_ERR_PARAM);
    }
    QAVORAIDVOLSTATUS st;
    if (QAVORaidVolStatusGet(md, &st) != 0) return VolFail(QAVO_RAID_ERR_PARAM);
    if (st.mounted) {
        // The mount point comes from the mount table: quote it for the shell.
        char quoted[64];
        if (SLIBStrEncodeParam(st.mountPoint, quoted, sizeof quoted) < 0)
            return VolFail(QAVO_RAID_ERR_UMOUNT);
        int r = Status(std::string("/bin/umount -f ") + quoted + " > /dev/null 2>&1");
        if (r == -1) return VolFail(QAVO_RAID_ERR_CMD);
        if (r != 0) return VolFail(QAVO_RAID_ERR_UMOUNT);
    }
    // umount takes the one mount it names and exits 0 while the file system
    // stays mounted elsewhere (a share folder bound to another place): only
    // the table tells, and a table that cannot be read confirms nothing.
    const std::string dev = MdDev(md);
    if (volfs::FindMount(dev, true, nullptr, nullptr) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) %s is still mounted", __func__, __LINE__, dev.c_str());
        return VolFail(QAVO_RAID_ERR_UMOUNT);
    }
    int r = Status(std::string(kMdadm) + " -S /dev/md" + MdChar(md) + " > /dev/null 2>&1");
    if (r != 0) return VolFail(QAVO_RAID_ERR_STOP);
    int max = MaxDisks(__func__, __LINE__);
    bool failed = false;
    for (int d = 0; d < max; ++d) {
        if (!(st.memberMask & (1u << d))) continue;
        int z = Status(std::string("mdadm --zero-superblock ") +
                       QAVORaidPartDevGet(d, PartIndexOf(md)) + " > /dev/null 2>&1");
        if (z == 0) continue;
        failed = true;
        g_volErr = z == -1                        ? QAVO_RAID_ERR_CMD
                   : (z == 1 || z == 5 || z == 6) ? QAVO_RAID_ERR_ZERO
                                                  : QAVO_RAID_ERR_CMD;
    }
    return failed ? 1 : 0;
}

extern "C" int QAVORaidVolPartAdd(int md, int disk, int partIndex) {
    if (!BlQAVORaidMDIsValid(md) || !InternalSlot(disk, __func__))
        return VolFail(QAVO_RAID_ERR_PARAM);
    const char *part = QAVORaidPartDevGet(disk, partIndex);
    if (!part || access(part, F_OK) != 0) return VolFail(QAVO_RAID_ERR_PARAM);
    uint32_t want = 0;
    if (partIndex == 0) {
        want = QAVO_RAID_PART1_SIZE;
    } else if (partIndex == 1) {
        want = QAVO_RAID_PART2_SIZE;
    } else if (partIndex != 2) {
        SLIBLog(LOG_ERR, "%s(%d) unknown part number = %d", __func__, __LINE__, partIndex);
        return 1;
    }
    uint32_t size = 0;
    if (QAVORaidDiskSizeGet(disk, partIndex, &size) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)Failed to get part size of disk %d ,part number = %d, error : %d",
                __func__, __LINE__, disk + 1, partIndex + 1, QAVORaidDiskErrGet());
        return 1;
    }
    if (want && size != want) {
        g_volErr = QAVO_RAID_ERR_PARTSIZE;
        SLIBLog(LOG_ERR,
                "%s(%d)Partition size not equals : volume number = %d, part size=%lu; disk number "
                "%d ,part number = %d, size=%lu, error : %d",
                __func__, __LINE__, md, static_cast<unsigned long>(want), disk + 1, partIndex + 1,
                static_cast<unsigned long>(size), g_volErr);
        return 1;
    }
    std::string cmd =
        std::string(kMdadm) + " /dev/md" + MdChar(md) + " -a " + part + " > /dev/null 2>&1";
    int r = Status(cmd);
    if (r == 0) return 0;
    LogCmd(cmd, r);
    return 1;
}

extern "C" int QAVORaidSysPartAdd(int disk) {
    return QAVORaidVolPartAdd(0, disk, 0);
}

extern "C" int QAVORaidSwapPartAdd(int disk) {
    return QAVORaidVolPartAdd(1, disk, 1);
}

extern "C" int QAVORaidVolDataPartAdd(int md, int disk) {
    return QAVORaidVolPartAdd(md, disk, 2);
}

extern "C" int QAVORaidVolPartRemove(int md, int disk, int partIndex) {
    if (!BlQAVORaidMDIsValid(md) || !InternalSlot(disk, __func__))
        return VolFail(QAVO_RAID_ERR_PARAM);
    const char *part = QAVORaidPartDevGet(disk, partIndex);
    if (!part || access(part, F_OK) != 0) return VolFail(QAVO_RAID_ERR_PARAM);
    std::string cmd = std::string(kMdadm) + " /dev/md" + MdChar(md) + " -f " + part + " -r " +
                      part + " > /dev/null 2>&1";
    if (Status(cmd) != 0) return VolFail(QAVO_RAID_ERR_CMD);
    return 0;
}

extern "C" int QAVORaidVolDataPartRemove(int md, int disk) {
    return QAVORaidVolPartRemove(md, disk, 2);
}

extern "C" int QAVORaidVolUpgradable(int md, int disk) {
    return Candidates(md, disk, true);
}

extern "C" int QAVORaidVolRepairable(int md, int disk) {
    return Candidates(md, disk, false);
}

extern "C" int QAVORaidDiskFitCheck(int disk, uint64_t componentKiB) {
    QAVORAIDDISKSTATUS st{};
    if (QAVORaidDiskStatus(disk, &st) != 0) return -2;
    if (st.status != QAVO_RAID_DISK_FREE && st.status != QAVO_RAID_DISK_SYSONLY) return -1;
    if (componentKiB > UINT32_MAX) return 0;
    // The member goes on the data partition: measure what it will hold.
    uint32_t usable = 0;
    if (QAVORaidDiskDataSizeGet(disk, &usable) != 0) return 0;
    return usable < componentKiB * 2 ? 0 : 1;
}

extern "C" int QAVORaidVolMemberDiskSizeGet(const QAVORAIDVOLSTATUS *rec, uint64_t *sectors) {
    if (!rec || !sectors) return VolFail(QAVO_RAID_ERR_PARAM);
    *sectors = QAVO_RAID_MEMBER_BASE_SECTORS;
    if (rec->level != 1 && rec->level != 5) return 1;
    *sectors += 2 * static_cast<uint64_t>(rec->componentSize);
    return 0;
}

extern "C" int QAVORaidComponentSize(int md, uint32_t *kib) {
    if (!BlQAVORaidMDIsValid(md) || !kib) {
        SLIBLog(LOG_ERR, "%s(%s:%d): parameter error\n", __func__, __FILE__, __LINE__);
        return 1;
    }
    const std::string dev = MdDev(md);
    int fd = open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%s:%d): failed to open md device %s, errno=%s(%d)\n", __func__,
                __FILE__, __LINE__, dev.c_str(), strerror(errno), errno);
        return 1;
    }
    mdu_array_info_t info{};
    int r = ioctl(fd, GET_ARRAY_INFO, &info);
    int e = errno;
    close(fd);
    if (r != 0) {
        if (e == ENODEV)
            SLIBLog(LOG_ERR, "(%s:%d): md device %s does not appear to be active.\n", __FILE__,
                    __LINE__, dev.c_str());
        else
            SLIBLog(LOG_ERR, "(%s:%d): cannot get array detail for %s: %s\n", __FILE__, __LINE__,
                    dev.c_str(), strerror(e));
        return 1;
    }
    *kib = static_cast<uint32_t>(info.size);
    return 0;
}

extern "C" int QAVORaidVolExpansible(int md, uint32_t *kib) {
    if (!kib) return VolFail(QAVO_RAID_ERR_PARAM);
    QAVORAIDVOLSTATUS st;
    if (QAVORaidVolStatusGet(md, &st) != 0) return 1;
    if (st.level != 1 && st.level != 5) {
        SLIBLog(LOG_ERR, "%s(%s:%d): volume %d is not RAID1/5\n", __func__, __FILE__, __LINE__,
                md - 1);
        return VolFail(QAVO_RAID_ERR_NOID);
    }
    uint32_t inUse = 0;
    if (QAVORaidComponentSize(md, &inUse) != 0) {
        SLIBLog(LOG_ERR, "%s(%s:%d): cannot get disk %d size in use\n", __func__, __FILE__,
                __LINE__, md - 1);
        return VolFail(QAVO_RAID_ERR_CMD);
    }
    int max = MaxDisks(__func__, __LINE__);
    uint64_t possible = UINT64_MAX;
    for (int d = 0; d < max; ++d) {
        if (!(st.memberMask & (1u << d))) continue;
        uint32_t usable = 0;
        if (QAVORaidPartUsableSizeGet(d, 2, &usable) != 0) {
            SLIBLog(LOG_ERR, "%s(%s:%d): cannot get disk %d max usable size\n", __func__, __FILE__,
                    __LINE__, d + 1);
            continue;
        }
        if (usable / 2 < possible) possible = usable / 2;
    }
    if (possible == UINT64_MAX) possible = 0;
    uint64_t limit = QAVORaidVolSizeLimitGet();
    if (limit && limit < possible) possible = limit;
    *kib = possible > inUse ? static_cast<uint32_t>(possible) : 0;
    return 0;
}

extern "C" int QAVORaidVolExpand(int md) {
    uint32_t kib = 0;
    if (QAVORaidVolExpansible(md, &kib) != 0) {
        SLIBLog(LOG_ERR, "%s(%s:%d): precondition check failed\n", __func__, __FILE__, __LINE__);
        return 1;
    }
    if (kib == 0) {
        SLIBLog(LOG_ERR, "%s(%s:%d): Volume %d is not expansible\n", __func__, __FILE__, __LINE__,
                md - 1);
        return 1;
    }
    int r = Status(std::string(kMdadm) + " --grow /dev/md" + std::to_string(md) + " -z " +
                   std::to_string(kib) + " >/dev/null 2>&1\n");
    if (r == 0) return 0;
    if (r == -1) {
        SLIBLog(LOG_ERR, "%s(%s:%d): fork failed\n", __func__, __FILE__, __LINE__);
        return VolFail(QAVO_RAID_ERR_FORK);
    }
    SLIBLog(LOG_ERR, "%s(%s:%d): mdadm failed to grow volume %d\n", __func__, __FILE__, __LINE__,
            md - 1);
    return VolFail(QAVO_RAID_ERR_CMD);
}

extern "C" int QAVORaidVolDiskCountChange(int md, int count) {
    if (!BlQAVORaidMDIsValid(md) || count < 1) return VolFail(QAVO_RAID_ERR_PARAM);
    int st = SLIBSysSystem(("mdadm --grow /dev/md" + std::to_string(md) +
                            " --raid-disk=" + std::to_string(count) + " >/dev/null 2>&1\n")
                               .c_str());
    if (st == -1) {
        SLIBLog(LOG_ERR, "%s(%s:%d): fork failed\n", __func__, __FILE__, __LINE__);
        return 1;
    }
    int code = WIFEXITED(st) ? WEXITSTATUS(st) : 255;
    if (code == 0) return 0;
    SLIBLog(LOG_ERR, "%s(%s:%d): mdadm failed to grow volume %d, disk count=%d, errno=%d\n",
            __func__, __FILE__, __LINE__, md - 1, count, st);
    return code;
}

extern "C" int QAVORaidVolDiskAddCheck(int md, int disk) {
    (void)md;
    (void)disk;
    return -2;
}

extern "C" int QAVORaidVolRaid5Reshape(int md, int disk) {
    QAVORAIDVOLSTATUS st;
    if (QAVORaidVolStatusGet(md, &st) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)(%d):Failed to get RAID VOLUME %d status", __func__, __LINE__,
                md - 1, md - 1);
        return 1;
    }
    if (QAVORaidVolDiskAddCheck(md, disk) < 1) {
        SLIBLog(LOG_ERR, "%s(%d)(%d): Can not add Disk %d to RAID VOLUME %d", __func__, __LINE__,
                md - 1, disk + 1, md - 1);
        return 1;
    }
    return 1;
}

extern "C" int QAVORaidVolCount(int *count) {
    if (!count) return VolFail(QAVO_RAID_ERR_PARAM);
    int max = MaxDisks(__func__, __LINE__);
    int n = 0;
    for (int md = 0; md <= max + 1; ++md) {
        int r = Status(std::string("grep md") + MdChar(md) + " /proc/mdstat > /dev/null 2>&1");
        if (r == -1) return VolFail(QAVO_RAID_ERR_CMD);
        if (r == 0) ++n;
    }
    *count = n;
    return 0;
}

extern "C" int QAVORaidSystemInit(void) {
    int max = MaxDisks(__func__, __LINE__);
    uint32_t mask = 0;
    for (int d = 0; d < max; ++d) {
        struct stat sb;
        if (stat(QAVORaidDiskSysfsGet(d), &sb) != 0) continue;
        if (QAVORaidDiskInit(d, RAID_DISK_INIT_SYS) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)[%d]: Failed to init RAID disk %d \n", __func__, __LINE__,
                    d + 1, d + 1);
            return 1;
        }
        mask |= 1u << d;
    }
    if (!mask) {
        SLIBLog(LOG_ERR, "%s(%d): No disk exist \n", __func__, __LINE__);
        return 1;
    }
    int id = -1;
    if (QAVORaidDevCreate(mask, 0, 1, max, &id) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)[%d]: Failed to create system partition: diskmask = %d \n",
                __func__, __LINE__, 0, mask);
        return 1;
    }
    // Any other number than md0 and md1 leaves the appliance without its
    // system arrays: reported as a failure, after both were tried.
    bool wrong = false;
    if (id != 0) {
        g_volErr = QAVO_RAID_ERR_CMD;
        wrong = true;
        SLIBLog(LOG_ERR,
                "%s(%d)[%d]: Failed to create system partition: diskmask = %d, volid = %d \n",
                __func__, __LINE__, 0, mask, id);
    }
    id = -1;
    if (QAVORaidDevCreate(mask, 1, 1, max, &id) != 0 || id != 1) {
        g_volErr = QAVO_RAID_ERR_CMD;
        wrong = true;
        SLIBLog(LOG_ERR,
                "%s(%d)[%d]: Failed to create swap partition: diskmask = %d, volid = %d \n",
                __func__, __LINE__, 1, mask, id);
    }
    return wrong ? 1 : 0;
}

extern "C" int BlQAVORaidSystemSyncing(void) {
    for (int md = 0; md <= 1; ++md) {
        QAVORAIDVOLSTATUS st;
        if (QAVORaidVolStatusGet(md, &st) == 0 && st.syncState != QAVO_RAID_SYNC_IDLE) return 1;
    }
    return 0;
}

namespace {

// Runs a command line through the shell; true on exit status 0. Failures are
// logged as the array layer logs its commands.
bool Run(const std::string &cmd) {
    int status = SLIBSysSystem(cmd.c_str());
    if (status == -1) {
        SLIBLog(LOG_ERR, "%s(%d)Failed to fork : status = -1", __FILE__, __LINE__);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        SLIBLog(
            LOG_ERR, "%s(%d)Failed to execute cmd : %s , status = %d , WEXITSTATUS(status) = %d",
            __FILE__, __LINE__, cmd.c_str(), status, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return false;
    }
    return true;
}

// Whether a working member of array md (md0, md1, or a data array) may stand
// on the disk's partition. An absent array uses none; an array whose state
// cannot be read, or one of whose members could not be read, may use it.
bool MayUse(int md, int disk) {
    QAVORAIDVOLSTATUS st;
    bool unsure = false;
    int saved = QAVORaidVolErrGet();
    int r = ReadStatus(md, &st, &unsure);
    int err = QAVORaidVolErrGet();
    QAVORaidVolErrSet(saved);
    if (r != 0) return err != QAVO_RAID_ERR_NODEV;
    uint32_t bit = 1u << disk;
    if (!(st.memberMask & bit)) return unsure;
    return !(st.faultyMask & bit);
}

// True when a working member of an assembled array stands, or may stand, on
// one of the partitions (bit p for partition index p) of the disk.
bool PartitionsInUse(int disk, uint32_t parts) {
    if ((parts & 1u) && MayUse(0, disk)) return true;
    if ((parts & 2u) && MayUse(1, disk)) return true;
    if (parts & 4u) {
        for (int md = 2; md <= QAVO_RAID_MD_MAX; ++md)
            if (MayUse(md, disk)) return true;
    }
    return false;
}

// Logs that a member of the array could not be read, so that the disk's
// role in it is unknown; sets the disk error code and returns 1.
int MemberUnknown(const char *func, int md, int disk) {
    SLIBLog(LOG_ERR, "%s(%d): a member of /dev/md%d could not be read: disk %d may be one", func,
            __LINE__, md, disk + 1);
    return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
}

}  // namespace

extern "C" int QAVORAIDStatusGetSYS(int *state, int disk) {
    if (!state || !BlQAVORaidDiskIsValid(disk)) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    int count = 0;
    bool faulty = false;
    for (int md = 0; md <= 1; ++md) {
        QAVORAIDVOLSTATUS st;
        bool unsure = false;
        if (ReadStatus(md, &st, &unsure) != 0) {
            if (QAVORaidVolErrGet() == QAVO_RAID_ERR_NODEV) continue;
            return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
        }
        if (unsure && !(st.memberMask & (1u << disk))) return MemberUnknown(__func__, md, disk);
        if (st.memberMask & (1u << disk)) ++count;
        if (st.faultyMask & (1u << disk)) faulty = true;
    }
    *state = count == 0 ? 1 : (count == 1 || faulty) ? 2 : 0;
    return 0;
}

extern "C" int QAVORAIDStatusGetDATA(int *state, uint32_t *mdMask, int disk) {
    if (!state || !mdMask || !BlQAVORaidDiskIsValid(disk))
        return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    *state = 1;
    int max = QAVORaidDiskMaxNumGet();
    if (max <= 0) max = 1;
    int unknownIn = -1;  // an array with a member that could not be read
    for (int md = 2; md <= max + 1; ++md) {
        QAVORAIDVOLSTATUS st;
        bool unsure = false;
        if (ReadStatus(md, &st, &unsure) != 0) {
            if (QAVORaidVolErrGet() == QAVO_RAID_ERR_NODEV) continue;
            return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
        }
        uint32_t bit = 1u << disk;
        if (!(st.memberMask & bit)) {
            if (unsure && unknownIn < 0) unknownIn = md;
            continue;
        }
        *mdMask |= 1u << (md - 2);
        *state = (st.faultyMask & bit) || (st.flaggedMask & bit) ? 2 : 0;
        return 0;
    }
    // In no array for certain: free only when every member could be read.
    if (unknownIn >= 0) return MemberUnknown(__func__, unknownIn, disk);
    return 0;
}

extern "C" int QAVORaidDiskStatus(int disk, PQAVORAIDDISKSTATUS out) {
    if (!BlQAVORaidDiskIsValid(disk) || !out) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    int present = 0;
    if (QAVORaidDiskExistCheck(kSysfs[disk], &present) != 0) return 1;
    if (!present) {
        out->status = QAVO_RAID_DISK_NONE;
        return 0;
    }
    snprintf(out->device, sizeof out->device, "%s", kDisks[disk]);
    uint32_t sectors = 0;
    if (QAVORaidDiskSizeGet(disk, -1, &sectors) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)[%d]Failed to get device's size : %s", __func__, __LINE__, disk + 1,
                kDisks[disk]);
        return DiskFail(QAVO_RAID_DISK_ERR_SIZE);
    }
    out->size = static_cast<float>(sectors) / 2097152.0f;
    // The model field holds 40 characters; one more byte for the end.
    char model[QAVO_RAID_DISK_MODEL_LEN + 1] = "";
    if (QAVORaidDiskModelGet(kDisks[disk], model, sizeof model) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)[%d]Failed to open device's model : %s", __func__, __LINE__,
                disk + 1, kDisks[disk]);
        return DiskFail(QAVO_RAID_DISK_ERR_MODEL);
    }
    snprintf(out->model, sizeof out->model, "%s", model);
    int sys = -1, data = -1;
    uint32_t mask = 0;
    if (QAVORAIDStatusGetSYS(&sys, disk) != 0 || QAVORAIDStatusGetDATA(&data, &mask, disk) != 0) {
        SLIBLog(LOG_ERR,
                "%s(%d)[%d]Failed to get status of RAID : %s , disknum = %d , system status = %d, "
                "data vol status = %d",
                __func__, __LINE__, disk + 1, kDisks[disk], disk + 1, sys, data);
        return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
    }
    out->dataMask = mask;
    int status = 0;
    if (QAVORaidDiskStatusCalc(sys, data, &status) != 0) {
        SLIBLog(LOG_ERR,
                "%s(%d)[%d]Failed to get status of RAID  : %s , disknum = %d , system status = %d, "
                "data vol status = %d",
                __func__, __LINE__, disk + 1, kDisks[disk], disk + 1, sys, data);
        return 1;
    }
    out->status = status;
    return 0;
}

extern "C" int QAVORaidDiskUnusedIdFirst(void) {
    int max = QAVORaidDiskMaxNumGet();
    if (max <= 0) max = 1;
    for (int d = 0; d < max; ++d) {
        QAVORAIDDISKSTATUS st{};
        if (QAVORaidDiskStatus(d, &st) == 0 &&
            (st.status == QAVO_RAID_DISK_FREE || st.status == QAVO_RAID_DISK_SYSONLY))
            return d;
    }
    return -1;
}

extern "C" int QAVORaidDiskUnused(void) {
    int max = QAVORaidDiskMaxNumGet();
    if (max <= 0) max = 1;
    int n = 0;
    for (int d = 0; d < max; ++d) {
        QAVORAIDDISKSTATUS st{};
        if (QAVORaidDiskStatus(d, &st) == 0 &&
            (st.status == QAVO_RAID_DISK_FREE || st.status == QAVO_RAID_DISK_SYSONLY))
            ++n;
    }
    return n;
}

extern "C" int QAVORaidDiskPartClean(int disk, int type) {
    if (!InternalSlot(disk, __func__)) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    // Partitions carrying working members of assembled arrays are never
    // cleared: that would destroy the member under a running array.
    const uint32_t touched = type == RAID_DISK_INIT_ALL    ? 7u
                             : type == RAID_DISK_INIT_SYS  ? 3u
                             : type == RAID_DISK_INIT_DATA ? 4u
                                                           : 1u;
    if (PartitionsInUse(disk, touched)) {
        SLIBLog(LOG_ERR, "%s(%d): Partitions of disk %d are in use by arrays, type=%d \n", __func__,
                __LINE__, disk + 1, type);
        return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
    }
    const std::string dev = kDisks[disk];
    if (type == RAID_DISK_INIT_ALL || type == RAID_DISK_INIT_SYS) {
        if (!Run(std::string(kSfdisk) + " -M1 " + dev)) return DiskFail(QAVO_RAID_DISK_ERR_RESET);
    }
    int first = 1, last = 1;
    if (type == RAID_DISK_INIT_ALL) {
        last = 4;
    } else if (type == RAID_DISK_INIT_SYS) {
        last = 2;
    } else if (type == RAID_DISK_INIT_DATA) {
        first = last = 3;
    }
    for (int k = first; k <= last; ++k) {
        SLIBSysSystem(
            ("mdadm --zero-superblock " + std::string(kParts[disk][k - 1]) + " > /dev/null 2>&1")
                .c_str());
        SLIBSysSystem((std::string(kSfdisk) + " -N" + std::to_string(k) +
                       " -q -f --no-reread -o0 -z0 -t0 -F -D " + dev + " > /dev/null 2>&1")
                          .c_str());
    }
    return 0;
}

extern "C" int QAVORaidDiskInit(int disk, int type) {
    if (!InternalSlot(disk, __func__)) return DiskFail(QAVO_RAID_DISK_ERR_PARAM);
    QAVORAIDDISKSTATUS st{};
    if (QAVORaidDiskStatus(disk, &st) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): Failed to get RAID disk status : disk %d \n", __func__, __LINE__,
                disk + 1);
        return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
    }
    // Only the defined types: any other clears a partition and lays none.
    if (type < RAID_DISK_INIT_SYS || type > RAID_DISK_INIT_ALL) {
        SLIBLog(LOG_ERR, "%s(%d): Parameter error : disk %d ,status = %d, init_type=%d \n",
                __func__, __LINE__, disk + 1, st.status, type);
        return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
    }
    const bool sys = type & RAID_DISK_INIT_SYS, data = type & RAID_DISK_INIT_DATA;
    const bool layoutOk = !sys || BlQAVORaidDiskCheckPartitions(kDisks[disk]);
    const int cleanType = layoutOk ? type : RAID_DISK_INIT_ALL;
    // Partitions the clearing touches must not carry working members of
    // assembled arrays.
    uint32_t touched = cleanType == RAID_DISK_INIT_ALL ? 7u : sys ? 3u : 4u;
    if (PartitionsInUse(disk, touched)) {
        SLIBLog(LOG_ERR, "%s(%d): Partitions of disk %d are in use by arrays, init_type=%d \n",
                __func__, __LINE__, disk + 1, type);
        return DiskFail(QAVO_RAID_DISK_ERR_STATUS);
    }
    if (!layoutOk) {
        if (QAVORaidDiskPartClean(disk, RAID_DISK_INIT_ALL) != 0) {
            SLIBLog(LOG_ERR,
                    "%s(%d): Failed to clean partition of disk %d : type = RAID_DISK_INIT_ALL\n",
                    __func__, __LINE__, disk + 1);
            return 1;
        }
    } else {
        SLIBLog(LOG_INFO, "%s(%d): Clean partition of disk %d : type = %d\n", __func__, __LINE__,
                disk + 1, type);
        if (QAVORaidDiskPartClean(disk, type) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): Failed to clean partition of disk %d : type = %d\n", __func__,
                    __LINE__, disk + 1, type);
            return 1;
        }
    }
    const std::string dev = kDisks[disk];
    if (sys) {
        if (!Run(std::string(kSfdisk) + " -N1 -uS -q -f -j63 -z" +
                 std::to_string(QAVO_RAID_PART1_SIZE) + " -tfd -F " + dev + " > /dev/null 2>&1"))
            return 1;
        if (!Run(std::string(kSfdisk) + " -N2 -uS -q -f -j0 -z" +
                 std::to_string(QAVO_RAID_PART2_SIZE) + " -tfd -F " + dev + " > /dev/null 2>&1"))
            return 1;
    }
    if (data) {
        if (!Run(std::string(kSfdisk) + " -N3 -uS -q -f -j" + std::to_string(QAVO_RAID_PART3_GAP) +
                 " -z-1 -tfd -F " + dev + " >/dev/null 2>&1"))
            return 1;
        if (!Run(std::string("dd if=/dev/zero of=") + kParts[disk][2] +
                 " count=16 > /dev/null 2>&1"))
            return 1;
    }
    return 0;
}
