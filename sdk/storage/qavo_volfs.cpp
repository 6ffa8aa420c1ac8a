// Volume file systems on the data arrays: mount state, making and mounting
// the file system, its progress, unmounting and array kinds.
#include "qavo_volfs.h"

#include <glob.h>
#include <mntent.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "qavo_raiddisk.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_util.h"
#include "volfs_util.h"

namespace {

struct MountTable {
    FILE *fp;
    ~MountTable() {
        if (fp) endmntent(fp);
    }
};

}  // namespace

namespace volfs {

std::string MdDev(int md) {
    return "/dev/md" + std::to_string(md);
}

// Exit status of a program run without a shell (its output on /dev/null);
// -1 when it could not be forked, 255 when it did not start.
int Run(std::initializer_list<const char *> args) {
    std::vector<const char *> argv(args);
    argv.push_back(nullptr);
    return SLIBProcExecWaitArgv(argv.data(), nullptr, nullptr);
}

namespace {

// Reads the mount table until take accepts an entry (and keeps of it what it
// needs): -1 when the table cannot be opened, 0 none taken, 1 taken.
template <typename Take>
int Scan(Take take) {
    MountTable table{setmntent(kMountTable, "re")};
    if (!table.fp) return -1;
    struct mntent ent;
    char buf[4096];
    while (getmntent_r(table.fp, &ent, buf, sizeof buf))
        if (take(ent)) return 1;
    return 0;
}

}  // namespace

// Looks up a mount: by mount point (byDevice false) or device. -1 when the
// table cannot be opened, 0 not found, 1 found (other and options filled).
int FindMount(const std::string &key, bool byDevice, std::string *other, std::string *options) {
    return Scan([&](const struct mntent &ent) {
        if (key != (byDevice ? ent.mnt_fsname : ent.mnt_dir)) return false;
        if (other) *other = byDevice ? ent.mnt_dir : ent.mnt_fsname;
        if (options) *options = ent.mnt_opts;
        return true;
    });
}

int FindDiskMount(const std::string &disk, std::string *device, std::string *point) {
    return Scan([&](const struct mntent &ent) {
        const char *name = ent.mnt_fsname;
        if (disk.empty() || strncmp(name, disk.c_str(), disk.size()) != 0) return false;
        for (const char *p = name + disk.size(); *p; ++p)
            if (*p < '0' || *p > '9') return false;
        if (device) *device = name;
        if (point) *point = ent.mnt_dir;
        return true;
    });
}

}  // namespace volfs

using namespace volfs;

namespace {

int g_err = 0;

int Fail(int err) {
    g_err = err;
    return 1;
}

std::string MountPoint(int index) {
    return QAVO_VOLUME_PREFIX + std::to_string(index + 1);
}

// Examines a volume's mount point: 0 when it is a real directory, or missing
// and (with make) made open to all; else the error code. A symbolic link or
// any other file there is refused: mount follows a link and would cover
// whatever folder it points to.
int ExamineMountPoint(const std::string &point, bool make) {
    struct stat st;
    if (lstat(point.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) %s is not a directory", point.c_str());
        return QAVO_VOLRAID_ERR_PARAM;
    }
    if (errno != ENOENT) return QAVO_VOLRAID_ERR_STAT;
    if (!make) return 0;
    if (mkdir(point.c_str(), 0777) != 0)
        return errno == ENOSPC ? QAVO_VOLRAID_ERR_NOSPACE : QAVO_VOLRAID_ERR_MKDIR;
    chmod(point.c_str(), 0777);  // whatever the umask took away
    return 0;
}

// Is a file-system maker still at work?
bool MkfsRunning() {
    return BlSLIBProcIsRunning("mkfs.ext3") || BlSLIBProcIsRunning("mke2fs");
}

}  // namespace

extern "C" int QAVOVolRaidErrGet(void) {
    return g_err;
}

extern "C" void QAVOVolRaidErrSet(int err) {
    g_err = err;
}

extern "C" int BlQAVORaidIsSupported(void) {
    char value[16];
    if (SLIBFileGetKeyValue("/etc.defaults/qavoinfo.conf", "supportraid", value, sizeof value, 0) <=
        0)
        return 0;
    return strcasecmp(value, "yes") == 0 ? 1 : 0;
}

extern "C" int BlQAVOVolRaidIDIsValid(int index) {
    return index >= QAVO_VOLRAID_MIN && index <= QAVO_VOLRAID_MAX;
}

extern "C" int QAVOVolRaidInfoGet(int index, PQAVOVOLINFO out) {
    if (!BlQAVOVolRaidIDIsValid(index) || !out) return Fail(QAVO_VOLRAID_ERR_PARAM);
    const std::string point = MountPoint(index);
    out->svi_number = index;
    snprintf(out->svi_mountpoint, sizeof out->svi_mountpoint, "%s", point.c_str());
    snprintf(out->svi_device, sizeof out->svi_device, "%s", MdDev(index + 2).c_str());
    // Mounted when something is mounted at exactly the volume's mount point.
    const int found = FindMount(point, false, nullptr, nullptr);
    if (found < 0) return Fail(QAVO_VOLRAID_ERR_CMD);
    out->svi_mounted = found;
    if (!found) return 0;
    struct statfs64 st;
    if (statfs64(point.c_str(), &st) != 0) {
        out->svi_free = 0;
        out->svi_total = 0;
        return Fail(QAVO_VOLRAID_ERR_STATFS);
    }
    const uint64_t block = static_cast<uint64_t>(st.f_bsize);
    out->svi_free = static_cast<uint64_t>(st.f_bavail) * block;
    out->svi_total = static_cast<uint64_t>(st.f_blocks) * block;
    return 0;
}

extern "C" int QAVOVolRaidStatfs(int index, struct statfs *out) {
    if (!BlQAVOVolRaidIDIsValid(index) || !out) return Fail(QAVO_VOLRAID_ERR_PARAM);
    QAVOVOLINFO info{};
    if (QAVOVolRaidInfoGet(index, &info) != 0) return 1;
    if (!info.svi_mounted) return Fail(QAVO_VOLRAID_ERR_NOTMOUNT);
    if (statfs(info.svi_mountpoint, out) != 0) return Fail(QAVO_VOLRAID_ERR_STATFS);
    return 0;
}

extern "C" int QAVOVolRaidEnum(uint32_t *mask, int *first, int *count) {
    if (!mask && !first && !count) return Fail(QAVO_VOLRAID_ERR_PARAM);
    int max = QAVORaidDiskMaxNumGet();
    if (max <= 0) {
        SLIBLog(LOG_ERR, "(%s)%s(%d):Failed to get Max volume number, give default value 1",
                __FILE__, __func__, __LINE__);
        max = 1;
    }
    uint32_t bits = 0;
    int n = 0;
    int firstIndex = -1;
    for (int i = 0; i < max && i <= QAVO_VOLRAID_MAX; ++i) {
        QAVOVOLINFO info{};
        if (QAVOVolRaidInfoGet(i, &info) != 0) return Fail(QAVO_VOLRAID_ERR_CMD);
        if (!info.svi_mounted) continue;
        bits |= 1u << i;
        if (n++ == 0) firstIndex = i;
    }
    if (mask) *mask = bits;
    if (first) *first = firstIndex;
    if (count) *count = n;
    return 0;
}

extern "C" int QAVOVolRaidFsCreate(int index, int fsType, const char *progress) {
    if (!BlQAVOVolRaidIDIsValid(index) || !progress) return Fail(QAVO_VOLRAID_ERR_PARAM);
    QAVOVOLINFO info{};
    if (QAVOVolRaidInfoGet(index, &info) != 0) return 1;
    if (info.svi_mounted) return Fail(QAVO_VOLRAID_ERR_MOUNTED);
    const char *tool = fsType == QAVO_VOLRAID_FS_EXT2   ? "/sbin/mke2fs"
                       : fsType == QAVO_VOLRAID_FS_EXT3 ? "/sbin/mkfs.ext3"
                                                        : nullptr;
    if (!tool) return Fail(QAVO_VOLRAID_ERR_PARAM);
    const std::string dev = MdDev(index + 2);
    const std::string point = MountPoint(index);
    // A mount point the volume cannot take is refused before the array is
    // formatted, and examined again once the file system is made.
    if (const int err = ExamineMountPoint(point, false)) return Fail(err);
    // The progress text is one argument of the tool, never shell text.
    const int made = Run({tool, "-P", progress, dev.c_str()});
    if (made < 0) return Fail(QAVO_VOLRAID_ERR_CMD);
    if (made != 0) return Fail(QAVO_VOLRAID_ERR_MKFS);

    if (const int err = ExamineMountPoint(point, true)) return Fail(err);
    const int r = Run({"/bin/mount", dev.c_str(), point.c_str()});
    const std::string cmd = "mount " + dev + " " + point;
    if (r < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) Failed to do the cmd %s, fork error", cmd.c_str());
        return Fail(QAVO_VOLRAID_ERR_CMD);
    }
    if (r != 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) Failed to do the cmd %s, fork error, WEXITSTATUS(r)=%d",
                      cmd.c_str(), r);
        return Fail(QAVO_VOLRAID_ERR_MOUNT);
    }
    return 0;
}

extern "C" int QAVOVolRaidMkfsProgress(int index) {
    if (!BlQAVOVolRaidIDIsValid(index)) {
        Fail(QAVO_VOLRAID_ERR_PARAM);
        return -1;
    }
    const std::string path = std::string(QAVO_MKFS_PROGRESS) + ".md" + std::to_string(index + 2);
    for (;;) {
        slib::FilePtr in;
        for (int tries = 0; tries < 5 && !in; ++tries) {
            if (tries > 0) sleep(1);
            in.reset(fopen(path.c_str(), "re"));
        }
        if (!in) {
            const int e = errno;
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d)  file path = %s , errno : %d, strerrno : %s",
                          path.c_str(), e, strerror(e));
            if (!MkfsRunning()) {
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d)  %s is not alive , return error", "mkfs.ext3");
                return -1;
            }
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d)  cmd %s is alive, continue", "mkfs.ext3");
            continue;
        }
        // The last line that parses is the latest count the tool wrote.
        for (int tries = 0; tries < 5; ++tries) {
            if (tries > 0) {
                sleep(1);
                clearerr(in.get());
            }
            char line[128];
            bool parsed = false;
            int done = 0, total = 0;
            while (fgets(line, sizeof line, in.get())) {
                int d = 0, t = 0;
                if (sscanf(line, "%d/%d", &d, &t) == 2) {
                    done = d;
                    total = t;
                    parsed = true;
                }
            }
            if (!parsed) continue;
            if (total == 0) return 0;
            if (static_cast<long long>(total) - done == 1) return 99;
            // A count past its total, or a negative one, is held to 0..100:
            // never more than done, never the failure -1.
            const float share = static_cast<float>(done) / static_cast<float>(total) * 100.0f;
            if (!(share > 0.0f)) return 0;
            return share >= 100.0f ? 100 : static_cast<int>(share);
        }
        const int e = errno;
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)  file path = %s , errno : %d, strerrno : %s", path.c_str(),
                      e, strerror(e));
        if (!MkfsRunning()) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d)  %s is not alive , but can't get progress, return error",
                          "mkfs.ext3");
            return -1;
        }
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)  cmd %s is alive, continue", "mkfs.ext3");
    }
}

extern "C" int QAVOVolRaidUmount(int index) {
    if (!BlQAVOVolRaidIDIsValid(index)) return Fail(QAVO_VOLRAID_ERR_PARAM);
    const std::string point = MountPoint(index);
    // umount follows a link at the mount point: what is mounted at its
    // target is no volume of this array.
    if (const int err = ExamineMountPoint(point, false)) return Fail(err);
    return Run({"/bin/umount", point.c_str()}) == 0 ? 0 : Fail(QAVO_VOLRAID_ERR_CMD);
}

extern "C" int QAVOVolRaidTypeGet(const QAVORAIDVOLSTATUS *rec) {
    if (!rec) {
        Fail(QAVO_VOLRAID_ERR_PARAM);
        return QAVO_VOLRAID_KIND_OTHER;
    }
    if (rec->level == 5) return QAVO_VOLRAID_KIND_OTHER;
    if (rec->level == 0)
        return rec->designed <= 1 ? QAVO_VOLRAID_KIND_STRIPE1 : QAVO_VOLRAID_KIND_OTHER;
    if (rec->level == 1 && rec->designed == 1) return QAVO_VOLRAID_KIND_MIRROR1;
    if (rec->status == QAVO_RAID_NORMAL) return QAVO_VOLRAID_KIND_OTHER;
    const std::string key = "md" + std::to_string(rec->md) + "_level";
    char value[4];
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key.c_str(), value, sizeof value, 0);
    if (r < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)  Failed to get %s from %s", key.c_str(), SLIB_QAVOINFO_PATH);
        return QAVO_VOLRAID_KIND_OTHER;
    }
    if (r == 0) return QAVO_VOLRAID_KIND_OTHER;
    return strcmp(value, "99") == 0 ? QAVO_VOLRAID_KIND_99 : QAVO_VOLRAID_KIND_OTHER;
}
