// The sweep for crashed arrays: a data array left without members has its
// services stopped, its volume unmounted and its shares deleted; a RAID 5 or
// RAID 0 array missing members is remounted read-only.
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

#include "qavo_service.h"
#include "qavo_sharelookup.h"
#include "qavo_sharemgmt.h"
#include "qavo_volfs.h"
#include "slib_errcode.h"
#include "slib_util.h"
#include "volfs_util.h"

using namespace volfs;

namespace {

constexpr const char *kMdadm = "/usr/qavo/bin/mdadm";

// The option list holds exactly "ro" (not "errors=remount-ro").
bool HasRo(const char *options) {
    std::string opts(options);
    size_t start = 0;
    while (start <= opts.size()) {
        size_t end = opts.find(',', start);
        if (end == std::string::npos) end = opts.size();
        if (opts.compare(start, end - start, "ro") == 0) return true;
        start = end + 1;
    }
    return false;
}

// First line of a sysfs file as a number; "raidN" (as the kernel writes an
// array's level) gives N. False when unreadable or not a number.
bool ReadSysNumber(const std::string &path, int *value) {
    slib::FilePtr in(fopen(path.c_str(), "re"));
    char line[64];
    if (!in || !fgets(line, sizeof line, in.get())) return false;
    const char *p = strncmp(line, "raid", 4) == 0 ? line + 4 : line;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(p, &end, 10);
    if (errno != 0 || end == p || (*end != '\0' && *end != '\n') || v < 0 || v > 1000) return false;
    *value = static_cast<int>(v);
    return true;
}

std::vector<std::string> Glob(const std::string &pattern) {
    std::vector<std::string> out;
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t k = 0; k < g.gl_pathc; ++k)
            out.emplace_back(g.gl_pathv[k]);
    globfree(&g);
    return out;
}

// Deletes the shares of a volume with their folders.
void DropShares(int volume) {
    int needed = 0;
    if (QAVOShareEnumByVolume(volume, nullptr, 0, &needed) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s (%d) Failed to enum shares on volume%d.", volume);
        return;
    }
    if (needed <= 0) return;
    char **names = static_cast<char **>(malloc(static_cast<size_t>(needed)));
    if (!names) {
        SLIB_LOG_FUNC(LOG_ERR, "%s (%d) Failed to malloc(%d)", needed);
        return;
    }
    const int count = QAVOShareEnumByVolume(volume, names, needed, &needed);
    if (count < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s (%d) Failed to enum shares on volume%d.", volume);
    } else if (count > 0 && QAVOShareDelete(const_cast<const char **>(names), count) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): Failed to delete %d shares in volume %d (%x)", count,
                      volume, static_cast<unsigned>(SLIBErrGet()));
    }
    free(names);
}

}  // namespace

extern "C" int QAVORemountCrashRaidRo(const char *device) {
    if (!device) return -1;
    std::string point, options;
    const int found = FindMount(device, true, &point, &options);
    if (found < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) open %s error", kMountTable);
        return -1;
    }
    if (found == 0 || HasRo(options.c_str())) return -1;
    QAVOServiceNetStatusSet(QAVO_SERVICE_NET_STOP);
    Run({"/bin/mount", "-o", "remount,ro", device, point.c_str()});
    QAVOServiceNetStatusSet(QAVO_SERVICE_NET_START);
    SLIB_LOG_FUNC(LOG_ERR, "%s(%d) mount -o remount,ro %s %s", device, point.c_str());
    // Judge the remount by what the table says now.
    if (FindMount(device, true, nullptr, &options) != 1 || !HasRo(options.c_str())) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) %s is still not read-only", device);
        return -1;
    }
    return 0;
}

extern "C" int QAVOVolRaidCrashCheck(void) {
    const std::string base = "/sys/block/md";
    bool stopped = false;
    int unmounted = 0;
    for (const std::string &entry : Glob(base + "?")) {
        const int md = atoi(entry.c_str() + base.size());
        const size_t members = Glob(entry + "/md/dev-sd??").size();
        if (members == 0) {
            if (md < 2) {
                SLIB_LOG_FUNC(LOG_ERR, "%s (%d) System partition(%d) removed? Do nothing.", md);
                continue;
            }
            const std::string dev = MdDev(md);
            if (Run({kMdadm, "-D", dev.c_str()}) != 0) continue;
            if (!stopped) {
                SLIB_LOG_FUNC(LOG_ERR, "%s (%d) Stopping services.");
                QAVOServiceNetStatusSet(QAVO_SERVICE_NET_STOP);
                stopped = true;
                sleep(1);
            }
            SLIB_LOG_FUNC(LOG_ERR, "%s (%d) Unmounting /dev/md%d", md);
            bool gone = Run({"/bin/umount", "-f", dev.c_str()}) == 0;
            if (!gone) {
                const std::string cmd = "/bin/umount -f " + dev;
                SLIB_LOG_FUNC(LOG_ERR, "%s (%d) Failed to run [%s]", cmd.c_str());
            } else if (FindMount(dev, true, nullptr, nullptr) != 0) {
                // umount takes one mount of the device (the newest) and exits 0
                // with the volume still mounted under another: only the table
                // tells, and a table that cannot be read confirms nothing.
                SLIB_LOG_FUNC(LOG_ERR, "%s (%d) %s is still mounted", dev.c_str());
                gone = false;
            }
            if (gone) ++unmounted;
            const int volume = md - 1;
            if (QAVOServiceDisableByVolume(volume) != 0)
                SLIB_LOG_FUNC(LOG_ERR, "%s(%d): Failed to disable services on volume %d (%X)",
                              volume, static_cast<unsigned>(SLIBErrGet()));
            // A volume still mounted keeps its shares and their data.
            if (gone) DropShares(volume);
            continue;
        }
        int level = 0;
        int designed = 0;
        if (!ReadSysNumber(entry + "/md/level", &level) ||
            !ReadSysNumber(entry + "/md/raid_disks", &designed))
            continue;
        const int missing = designed - static_cast<int>(members);
        if ((level == 5 && missing >= 2) || (level == 0 && missing >= 1))
            QAVORemountCrashRaidRo(MdDev(md).c_str());
    }
    if (stopped) {
        SLIB_LOG_FUNC(LOG_ERR, "%s (%d) Starting services.");
        QAVOServiceNetStatusSet(QAVO_SERVICE_NET_START);
    }
    return unmounted;
}
