// Data volumes: the list of mounted volumes from the mount table, volume
// numbers of paths and the search for a folder over the volumes.
#include "qavo_volume.h"

#include <mntent.h>
#include <sys/statfs.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qavo_sharedir.h"
#include "slib_errcode.h"

namespace {

constexpr const char *kMountTable = "/proc/mounts";
// Bounds of a path QAVOVolIDGetByPath accepts.
constexpr size_t kPathMin = 8;
constexpr size_t kPathMax = 485;
// Longest folder path the scan builds.
constexpr size_t kScanPathMax = 4094;

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

// Fills the sizes of a node from statfs of its mount point.
bool FillSizes(PQAVOVOLINFOLIST node) {
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

extern "C" int QAVOVolAllVolumeScan(const char *path) {
    if (!path || path[0] != '/') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    PQAVOVOLINFOLIST list = QAVOVolInfoListGet(0);
    if (!list) {
        SLIB_LOG(LOG_ERR, "%s(%d) : no volume exist");
        return 0;
    }
    int found = 0;
    char folder[kScanPathMax + 1];
    for (PQAVOVOLINFOLIST v = list; v && !found; v = v->next) {
        if (v->svi_writeable == 0) continue;
        const int n =
            snprintf(folder, sizeof(folder), "%s%d%s", QAVO_VOLUME_PREFIX, v->svi_number, path);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(folder)) continue;  // no such folder
        if (QAVOShareIsDir(folder) == 1) found = v->svi_number;
    }
    QAVOVolInfoListFree(list);
    return found;
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
