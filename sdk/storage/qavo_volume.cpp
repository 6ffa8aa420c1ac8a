// Data volumes: the list of mounted volumes from the mount table, volume
// numbers of paths, the search for a folder over the volumes, growing a
// volume's file system and the progress files of volume operations.
#include "qavo_volume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "qavo_raid.h"
#include "qavo_sharedir.h"
#include "qavo_volfs.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

constexpr const char *kMountTable = "/proc/mounts";
// Bounds of a path QAVOVolIDGetByPath accepts.
constexpr size_t kPathMin = 8;
constexpr size_t kPathMax = 485;

struct MountTable {
    FILE *fp;
    ~MountTable() {
        if (fp) endmntent(fp);
    }
};

// The first option of a mount's option string is "ro".
bool ReadOnly(const char *options) {
    return strncmp(options, "ro", 2) == 0 && (options[2] == '\0' || options[2] == ',');
}

// Fills the sizes of a record or node from statfs of its mount point.
template <typename Rec>
bool FillSizes(Rec *node) {
    struct statfs64 st;
    if (statfs64(node->svi_mountpoint, &st) != 0) {
        node->svi_free = 0;
        node->svi_total = 0;
        SLIBErrSet(ERR_READ_FAILED);
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X]Failed to statfs mount point : %s", node->svi_mountpoint);
        return false;
    }
    const uint64_t block = static_cast<uint64_t>(st.f_bsize);
    node->svi_free = static_cast<uint64_t>(st.f_bavail) * block;
    node->svi_total = static_cast<uint64_t>(st.f_blocks) * block;
    return true;
}

// Exit status of a program run without a shell; -1 when it did not run.
int Run(std::initializer_list<const char *> args) {
    std::vector<const char *> argv(args);
    argv.push_back(nullptr);
    return SLIBProcExecWaitArgv(argv.data(), nullptr, nullptr);
}

// A device argument for the file-system tools: a path, never an option.
bool DeviceArg(const char *device) {
    if (!device || device[0] == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return false;
    }
    if (device[0] != '/') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIB_LOG(LOG_ERR, "%s(%d) bad device %s", device);
        return false;
    }
    return true;
}

// Runs resize2fs with one option on the device; its exit status, -1 when it did not run.
int Resize2fs(const char *option, const char *device, const char *fn, int line) {
    const int r = Run({"/sbin/resize2fs", option, device});
    if (r != 0 && !(r == 1 && strcmp(option, "-M") == 0)) {
        const std::string cmd =
            std::string("/sbin/resize2fs ") + option + " " + device + " > /dev/null 2>&1";
        SLIBLog(LOG_ERR, "(%s)%s(%d):Failed to '%s', WEXITSTATUS(r) = %d", __FILE__, fn, line,
                cmd.c_str(), r);
    }
    return r;
}

// One progress file read until it succeeds, while the program runs or for
// five tries 1 second apart.
bool ReadWhileRunning(const std::string &path, const char *program, int *percent) {
    int failed = 0;
    while (QAVOVolExpandProgressByPass(path.c_str(), percent) != 0) {
        if (BlSLIBProcIsRunning(program)) {
            failed = 0;
        } else if (++failed >= 5) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) : Retry 5 times to access %s. Give up!!", path.c_str());
            return false;
        }
        sleep(1);
    }
    return true;
}

// "STEP" of a progress file into step (empty when absent or unreadable).
void ReadStep(const char *file, char *step, int size) {
    step[0] = '\0';
    if (SLIBFileGetKeyValue(file, "STEP", step, size, 0) <= 0) step[0] = '\0';
}

// A decimal key of the creation progress file of at most digits digits;
// false when it is absent, empty, too long or not a number.
bool ReadNumber(const char *key, int digits, int *value) {
    char text[16];
    if (digits >= static_cast<int>(sizeof(text))) return false;
    if (SLIBFileGetKeyValue(QAVO_VOLUME_ADD_PROGRESS, key, text, digits + 1, 0) <= 1) return false;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

// 1 while the operation of a progress file is in progress.
int OperationRunning(const char *file, const char *program) {
    char step[64];
    ReadStep(file, step, sizeof(step));
    if (step[0] == '\0' || strcmp(step, "FINISH") == 0 || strcmp(step, "ERROR") == 0) return 0;
    if (!program) return 1;
    return BlSLIBProcIsRunning(program) ? 1 : 0;
}

}  // namespace

extern "C" int BlQAVOVolIDIsValid(int volume) {
    return volume >= QAVO_VOLUME_MIN && volume <= QAVO_VOLUME_MAX;
}

extern "C" int QAVOVolIDGetByPath(const char *path) {
    const size_t prefix = strlen(QAVO_VOLUME_PREFIX);
    if (!path) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    const size_t len = strnlen(path, kPathMax + 1);
    if (len < kPathMin || len > kPathMax || strncmp(path, QAVO_VOLUME_PREFIX, prefix) != 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    // "/volume<digits>/<something>": plain digits only, so a sign or a blank
    // never makes a negative number pass for a volume.
    const char *p = path + prefix;
    long number = 0;
    const char *digits = p;
    while (isdigit(static_cast<unsigned char>(*p))) {
        number = number * 10 + (*p - '0');
        if (number > INT_MAX) break;
        ++p;
    }
    const char *rest = *p == '/' ? p + 1 : p;
    while (*rest != '\0' && isspace(static_cast<unsigned char>(*rest)))
        ++rest;
    if (p == digits || number > INT_MAX || *p != '/' || *rest == '\0') {
        SLIBErrSet(ERR_NOT_VOLUME_PATH);
        return -1;
    }
    return static_cast<int>(number);
}

extern "C" PQAVOVOLINFOLIST QAVOVolInfoListGet(int firstOnly) {
    MountTable table{setmntent(kMountTable, "re")};
    if (!table.fp) {
        SLIBErrSet(ERR_OPEN_FAILED);
        SLIB_LOG(LOG_ERR, "%s(%d) open %s error", kMountTable);
        return nullptr;
    }
    const size_t prefix = strlen(QAVO_VOLUME_PREFIX);
    PQAVOVOLINFOLIST head = nullptr;
    struct mntent entry;
    char text[4096];
    while (getmntent_r(table.fp, &entry, text, sizeof(text))) {
        const char *dir = entry.mnt_dir;
        if (strncmp(dir, QAVO_VOLUME_PREFIX, prefix) != 0 ||
            !isdigit(static_cast<unsigned char>(dir[prefix])))
            continue;
        auto node = static_cast<PQAVOVOLINFOLIST>(calloc(1, sizeof(QAVOVOLINFOLIST)));
        if (!node) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            SLIB_LOG(LOG_ERR, "%s(%d) Failed to malloc QAVOVOLINFOLIST");
            QAVOVolInfoListFree(head);
            return nullptr;
        }
        node->next = head;
        head = node;
        node->svi_number = dir[prefix] - '0';
        node->svi_mounted = 1;
        if (strlen(entry.mnt_fsname) >= sizeof(node->svi_device) ||
            strlen(dir) >= sizeof(node->svi_mountpoint)) {
            SLIBErrSet(ERR_BUF_TOO_SMALL);
            SLIB_LOG(LOG_ERR, "%s(%d) Buffer too small. ");
            QAVOVolInfoListFree(head);
            return nullptr;
        }
        strcpy(node->svi_device, entry.mnt_fsname);
        strcpy(node->svi_mountpoint, dir);
        node->svi_writeable = ReadOnly(entry.mnt_opts) ? 0 : 1;
        if (!FillSizes(node)) {
            QAVOVolInfoListFree(head);
            return nullptr;
        }
        if (firstOnly) break;
    }
    return QAVOVolInfoListSort(head);
}

extern "C" PQAVOVOLINFOLIST QAVOVolInfoListSort(PQAVOVOLINFOLIST list) {
    // Insertion sort, stable: equal numbers keep their order.
    PQAVOVOLINFOLIST sorted = nullptr;
    while (list) {
        PQAVOVOLINFOLIST node = list;
        list = list->next;
        PQAVOVOLINFOLIST *at = &sorted;
        while (*at && (*at)->svi_number <= node->svi_number)
            at = &(*at)->next;
        node->next = *at;
        *at = node;
    }
    return sorted;
}

extern "C" void QAVOVolInfoListFree(PQAVOVOLINFOLIST list) {
    while (list) {
        PQAVOVOLINFOLIST next = list->next;
        free(list);
        list = next;
    }
}

extern "C" int QAVOVolInfoGet(int volume, PQAVOVOLINFO info) {
    if (!BlQAVOVolIDIsValid(volume) || !info) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    char mountpoint[32];
    snprintf(mountpoint, sizeof(mountpoint), "%s%d", QAVO_VOLUME_PREFIX, volume);
    MountTable table{setmntent(kMountTable, "r")};
    if (!table.fp) {
        SLIBErrSet(ERR_OPEN_FAILED);
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X]Failed to open /proc/mounts");
        return -1;
    }
    memset(info, 0, sizeof(*info));
    info->svi_number = volume;
    // The mount point must match whole ("/volume1" is not "/volume12"); of
    // stacked mounts the last one is the one in use.
    bool found = false;
    while (struct mntent *m = getmntent(table.fp)) {
        if (strcmp(m->mnt_dir, mountpoint) != 0) continue;
        found = true;
        snprintf(info->svi_device, sizeof(info->svi_device), "%s", m->mnt_fsname);
        info->svi_writeable = ReadOnly(m->mnt_opts) ? 0 : 1;
    }
    if (!found) return 0;
    info->svi_mounted = 1;
    snprintf(info->svi_mountpoint, sizeof(info->svi_mountpoint), "%s", mountpoint);
    struct statfs64 st;
    if (statfs64(mountpoint, &st) != 0) {
        SLIBErrSet(ERR_READ_FAILED);
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X]Failed to statfs mount point : %s", mountpoint);
        return -1;
    }
    const uint64_t block = static_cast<uint64_t>(st.f_bsize);
    info->svi_free = static_cast<uint64_t>(st.f_bavail) * block;
    info->svi_total = static_cast<uint64_t>(st.f_blocks) * block;
    return 0;
}

extern "C" int QAVOVolHealthCheck(int volume, int *health) {
    if (!BlQAVOVolIDIsValid(volume) || !health) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    QAVOVOLINFO info;
    if (QAVOVolInfoGet(volume, &info) != 0) {
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] : failed to get volume %d 's info", volume);
        return -1;
    }
    if (!info.svi_mounted) {
        *health = QAVO_VOLUME_NOT_MOUNTED;
    } else if (info.svi_writeable == 0 || info.svi_writeable == 1) {
        *health = info.svi_writeable ? QAVO_VOLUME_WRITABLE : QAVO_VOLUME_READONLY;
    } else {
        SLIB_LOG(LOG_ERR, "%s(%d) : volume %d svi_writeable is out of range", volume);
        return -1;
    }
    return 0;
}

extern "C" int QAVOVolFirstWritableGet(void) {
    for (int n = QAVO_VOLUME_MIN; n <= QAVO_VOLUME_MAX; ++n) {
        int health = 0;
        if (QAVOVolHealthCheck(n, &health) == 0 && health == QAVO_VOLUME_WRITABLE) return n;
    }
    return 0;
}

extern "C" int BlQAVOVolAllReadOnly(void) {
    PQAVOVOLINFOLIST list = QAVOVolInfoListGet(0);
    int readOnly = 1;
    for (PQAVOVOLINFOLIST v = list; v; v = v->next)
        if (v->svi_writeable) readOnly = 0;
    QAVOVolInfoListFree(list);
    return readOnly;
}

extern "C" int QAVOVolDevSizeGet(const char *device, uint64_t *sectors) {
    if (!device || !sectors) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        if (sectors) *sectors = 0;
        return -1;
    }
    *sectors = 0;
    const int fd = open(device, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)Failed to open device = %s , errno = %d , strerrno = %s",
                      device, e, strerror(e));
        return -1;
    }
    uint64_t bytes = 0;
    const int r = ioctl(fd, BLKGETSIZE64, &bytes);
    const int e = errno;
    close(fd);
    if (r != 0) {
        SLIB_LOG_FUNC(LOG_ERR,
                      "%s(%d)Failed to get size of device : %s , errno = %d , strerrno = %s",
                      device, e, strerror(e));
        return -1;
    }
    *sectors = bytes / 512;
    return 0;
}

extern "C" int QAVOVolExpand(const char *device) {
    if (!DeviceArg(device)) return -1;
    return Resize2fs("-fpF", device, __func__, __LINE__) == 0 ? 0 : -1;
}

extern "C" int QAVOVolExpansible(const char *device) {
    if (!DeviceArg(device)) return -1;
    return Resize2fs("-M", device, __func__, __LINE__) == 0 ? 0 : -1;
}

extern "C" int QAVOVolExpandProgressByPass(const char *file, int *percent) {
    if (!file || !percent) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        if (percent) *percent = 0;
        return -1;
    }
    slib::FilePtr in(fopen(file, "re"));
    if (!in) {
        const int e = errno;
        *percent = 0;
        SLIBLog(LOG_ERR, "(%s)%s(%d):Failed to open progress file %s, errno=%s/%d", __FILE__,
                __func__, __LINE__, file, strerror(e), e);
        return -1;
    }
    char line[8];
    // An empty file counts as nothing done yet.
    const int value = fgets(line, sizeof(line), in.get()) ? atoi(line) : 0;
    if (value < 0) {
        const int e = errno;
        SLIBLog(LOG_ERR,
                "(%s)%s(%d):percent is illegal after fget and atoi, progress file %s, "
                "percent=%d, errno=%s/%d",
                __FILE__, __func__, __LINE__, file, value, strerror(e), e);
        *percent = 0;
        return -1;
    }
    *percent = value;
    return 0;
}

extern "C" int QAVOVolExpandProgress(const char *suffix, int *percent) {
    constexpr size_t kSuffixMax = 63;
    if (!suffix || !percent || strnlen(suffix, kSuffixMax + 1) > kSuffixMax) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    int extend = 0;
    int scan = 0;
    if (!ReadWhileRunning(std::string(QAVO_RESIZE_PROGRESS_EXTEND) + "." + suffix, "resize2fs",
                          &extend) ||
        !ReadWhileRunning(std::string(QAVO_RESIZE_PROGRESS_SCAN) + "." + suffix, "resize2fs",
                          &scan))
        return -1;
    *percent = static_cast<int>(scan * 0.5 + extend * 0.5);
    return 0;
}

extern "C" int MDSyncProgress(int md, float *percent) {
    if (!percent) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d):parameter error");
        return -1;
    }
    QAVORAIDVOLSTATUS rec;
    bool filled = false;
    for (int tries = 0; tries < 5 && BlQAVORaidMDIsValid(md); ++tries) {
        if (tries > 0) sleep(1);
        memset(&rec, 0, sizeof(rec));
        if (QAVORaidVolStatusGet(md, &rec) == 0) {
            filled = true;
            break;
        }
    }
    // An array no query reached has no progress to tell: never "100 %".
    if (!filled) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d):failed to get status of /dev/md%d", md);
        return -1;
    }
    switch (rec.syncState) {
        case QAVO_RAID_SYNC_RUNNING:
            *percent = rec.syncPercent;
            break;
        case QAVO_RAID_SYNC_PENDING:
            *percent = -1.0f;
            break;
        default:
            *percent = rec.status == QAVO_RAID_NORMAL ? 100.0f : -2.0f;
            break;
    }
    return 0;
}

extern "C" int VolInitStatusGet(PVOLINITSTATUS out) {
    if (!out) return -1;
    struct stat st;
    if (stat(QAVO_VOLUME_ADD_PROGRESS, &st) != 0) {
        const int e = errno;
        if (e == ENOENT) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d)Failed to find progress file : errno=ENOENT");
            return -2;
        }
        // The record is not filled: the caller must not take it for progress.
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)Failed to find progress file : errno=%d , strerrno = %s", e,
                      strerror(e));
        return -1;
    }
    char step[16];
    ReadStep(QAVO_VOLUME_ADD_PROGRESS, step, sizeof(step));
    if (step[0] == '\0') return -1;
    int volume = 0;
    if (strcmp(step, "FINISH") == 0) {
        out->step = QAVO_VOLINIT_FINISH;
    } else if (strcmp(step, "ERROR") == 0) {
        out->step = QAVO_VOLINIT_ERROR;
    } else if (strcmp(step, "DISKINIT") == 0) {
        int percent = 0;
        if (!ReadNumber("PERCENT", 3, &percent)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d)(%d):failed to get diskinit percent :%s", __LINE__,
                          QAVO_VOLUME_ADD_PROGRESS);
            return -1;
        }
        out->step = QAVO_VOLINIT_DISKINIT;
        out->diskPercent = percent;
    } else if (strcmp(step, "MDSYNC") == 0) {
        out->step = QAVO_VOLINIT_MDSYNC;
        out->diskPercent = 100;
        // Volume N lives on /dev/md N+1; anything but a volume number would
        // report some other array, a system one for 0.
        if (!ReadNumber("VOLUME", 3, &volume) || !BlQAVOVolIDIsValid(volume)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d):failed to get VOLUME :%s", QAVO_VOLUME_ADD_PROGRESS);
            return -1;
        }
        if (MDSyncProgress(volume + 1, &out->syncPercent) != 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d):failed to get md sync progress :%s",
                          QAVO_VOLUME_ADD_PROGRESS);
            out->syncPercent = 0;
            return -1;
        }
    } else if (strcmp(step, "VOLINIT") == 0) {
        out->step = QAVO_VOLINIT_VOLINIT;
        out->diskPercent = 100;
        out->syncPercent = 100.0f;
        if (!ReadNumber("VOLUME", 9, &volume) || !BlQAVOVolIDIsValid(volume)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d):failed to get diskinit percent :%s",
                          QAVO_VOLUME_ADD_PROGRESS);
            return -1;
        }
        const int percent = QAVOVolRaidMkfsProgress(volume - 1);
        if (percent == -1) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d)(%d):failed to get volume init progress :%d", __LINE__,
                          QAVOVolRaidErrGet());
            return -1;
        }
        out->fsPercent = percent;
    } else if (strcmp(step, "DEFINIT") == 0) {
        out->step = QAVO_VOLINIT_DEFINIT;
        out->diskPercent = 100;
        out->syncPercent = 100.0f;
        out->fsPercent = 100;
        int percent = 0;
        if (!ReadNumber("PERCENT", 3, &percent)) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d):failed to get default init percent :%s",
                          QAVO_VOLUME_ADD_PROGRESS);
            return -1;
        }
        out->defPercent = percent;
    } else if (strcmp(step, "START") == 0) {
        out->step = QAVO_VOLINIT_START;
    }
    return 0;
}

extern "C" int BlQAVOVolAddInitRunning(const char *program) {
    if (access(QAVO_VOLUME_ADD_PROGRESS, F_OK) != 0) return 0;
    VOLINITSTATUS status{};
    if (VolInitStatusGet(&status) != 0) return 0;
    if (status.step == QAVO_VOLINIT_FINISH || status.step == QAVO_VOLINIT_ERROR) return 0;
    if (!program) return 1;
    return BlSLIBProcIsRunning(program) ? 1 : 0;
}

extern "C" int BlQAVOVolRepairRunning(const char *program) {
    return OperationRunning(QAVO_VOLUME_REPAIR_PROGRESS, program);
}

extern "C" int BlQAVOVolExpandRunning(const char *program) {
    return OperationRunning(QAVO_VOLUME_EXPAND_PROGRESS, program);
}

extern "C" int BlQAVOVolAddDiskRunning(const char *program) {
    return OperationRunning(QAVO_VOLUME_ADDDISK_PROGRESS, program);
}

extern "C" int BlQAVOVolOperationRunning(void) {
    return BlQAVOVolAddInitRunning("volume_add_apply.cgi") ||
                   BlQAVOVolAddDiskRunning("volume_adddisk_apply.cgi") ||
                   BlQAVOVolExpandRunning("volume_expand_apply.cgi") ||
                   BlQAVOVolRepairRunning("volume_repair_apply.cgi")
               ? 1
               : 0;
}
