// Helpers shared by the USB and eSATA mount code, and the mount-point test.
#include "qavo_usbmount_util.h"

#include <sys/statfs.h>
#include <syslog.h>

#include <cstring>
#include <new>

#include "qavo_usbmount.h"
#include "raid/qavo_raiddisk.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_file.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_str.h"
#include "slib_szlist.h"
#include "slib_util.h"
#include "volfs_util.h"

namespace usbm {

bool PlainName(const char *name, size_t max) {
    if (!name || !*name || strlen(name) > max) return false;
    for (const char *p = name; *p; ++p)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9'))) return false;
    return true;
}

bool PlainDevice(const char *device) {
    return PlainName(device, 7);
}

namespace {
const char *const kFsNames[] = {"reiserfs", "vfat", "ext3", "ntfs"};
}  // namespace

const char *FsName(int code) {
    return code >= 0 && code <= 3 ? kFsNames[code] : nullptr;
}

int FsCode(const char *name) {
    if (!name) return -1;
    for (int i = 0; i < 4; ++i)
        if (strcmp(name, kFsNames[i]) == 0) return i;
    return -1;
}

int Run(const std::vector<std::string> &argv) {
    try {
        std::vector<const char *> v;
        v.reserve(argv.size() + 1);
        for (const auto &a : argv)
            v.push_back(a.c_str());
        v.push_back(nullptr);
        return SLIBProcExecWaitIO(v.data(), nullptr, -1, -1, 0);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

std::string Line(const std::vector<std::string> &argv) {
    std::string s;
    for (const auto &a : argv) {
        if (!s.empty()) s += ' ';
        s += a;
    }
    return s;
}

bool Mounts(std::vector<Mount> *out) {
    out->clear();
    PSLIBSZLIST lines = PslSLIBSzListAlloc(64);
    if (!lines) return false;
    const int read = SLIBFileReadLines("/proc/mounts", &lines);
    slib::SzListPtr hold(lines);
    if (read < 0) return false;
    for (int i = 0; i < lines->nItem; ++i) {
        PSLIBSZLIST tok = PslSLIBSzListAlloc(8);
        if (!tok) return false;
        const int split = SLIBStrSepNonEmpty(lines->pszItem[i], " \t\n", &tok);
        slib::SzListPtr holdTok(tok);
        if (split < 0 || tok->nItem != 6) continue;
        out->push_back({tok->pszItem[0], tok->pszItem[1], tok->pszItem[2], tok->pszItem[3]});
    }
    return true;
}

bool Busy(const std::string &path) {
    std::vector<Mount> m;
    try {
        if (!Mounts(&m)) return true;
        for (const auto &e : m)
            if (e.point == path || e.point.compare(0, path.size() + 1, path + "/") == 0)
                return true;
    } catch (const std::bad_alloc &) {
        return true;
    }
    return false;
}

bool SafeRemove(const std::string &path) {
    if (path.empty() || path == "/") return false;
    if (Busy(path)) {
        SLIBLog(LOG_ERR, "%s(%d): %s is in use; not removed", __func__, __LINE__, path.c_str());
        return false;
    }
    return Run({"/bin/rm", "-rf", "--one-file-system", "--", path}) == 0;
}

bool MakeDir(const std::string &path) {
    return Run({"/bin/mkdir", "-m", "777", "-p", "--", path}) == 0;
}

bool Unmount(const std::string &point, const std::vector<std::vector<std::string>> &attempts,
             const char *func) {
    for (size_t i = 0; i < attempts.size(); ++i) {
        Run(attempts[i]);
        // umount may report a failure for a second name after the first one
        // went: only the mount table tells.
        std::vector<Mount> m;
        bool listed = true;
        try {
            if (Mounts(&m)) {
                listed = false;
                for (const auto &e : m)
                    if (e.point == point) listed = true;
            }
        } catch (const std::bad_alloc &) {
        }
        if (!listed) return true;
        const std::string line = Line(attempts[i]);
        if (i + 1 < attempts.size())
            SLIBLog(LOG_ERR,
                    "%s(%d): %s failed(Error Code:%s) will try to unmount the whole disk "
                    "later.",
                    func, __LINE__, line.c_str(), strerror(errno));
        else
            SLIBLog(LOG_ERR, "%s(%d): %s failed(Error Code:%s)", func, __LINE__, line.c_str(),
                    strerror(errno));
    }
    return false;
}

bool DiskReleased(const char *device, const char *func) {
    try {
        std::string dev, point;
        const int found = volfs::FindDiskMount(std::string("/dev/") + device, &dev, &point);
        if (found == 0) return true;
        if (found < 0)
            SLIBLog(LOG_ERR, "%s(%d): %s cannot be read; %s may still be mounted", func, __LINE__,
                    volfs::kMountTable, device);
        else
            SLIBLog(LOG_ERR, "%s(%d): %s is still mounted at %s", func, __LINE__, dev.c_str(),
                    point.c_str());
    } catch (const std::bad_alloc &) {
    }
    return false;
}

std::string EsataName() {
    char v[16] = "";
    if (SLIBFileGetKeyValue(slib::kQavoinfoDefaults, "esatadiskname", v, sizeof v, 0) <= 0)
        return "";
    if (strlen(v) > 3 || !PlainDevice(v)) return "";
    return v;
}

void Event(unsigned id, const char *a1, const char *a2) {
    QAVOLogEventWrite(QAVOLOG_CLASS_SYS, 1, id, a1, a2, nullptr, nullptr);
}

bool MayFormat(const char *device) {
    if (!PlainDevice(device)) return false;
    const std::string dev = std::string("/dev/") + device;
    const int slots = QAVORaidDiskMaxNumGet();
    for (int i = 0; i < slots; ++i) {
        const char *d = QAVORaidDiskDevGet(i);
        if (d && dev == d) return false;
    }
    // A member partition is listed in "/proc/mdstat" as <device><n>[<role>].
    try {
        PSLIBSZLIST lines = PslSLIBSzListAlloc(16);
        if (!lines) return false;
        const int read = SLIBFileReadLines("/proc/mdstat", &lines);
        slib::SzListPtr hold(lines);
        if (read < 0) return true;  // no arrays at all
        const size_t n = strlen(device);
        for (int i = 0; i < lines->nItem; ++i) {
            const char *l = lines->pszItem[i];
            for (const char *p = strstr(l, device); p; p = strstr(p + 1, device)) {
                if (p != l && p[-1] != ' ') continue;
                const char *q = p + n;
                while (*q >= '0' && *q <= '9')
                    ++q;
                if (*q == '[') return false;
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void FillSpace(const std::string &point, QAVOUSBVOLINFO *info) {
    auto roundUpMiB = [](uint64_t bytes) { return (bytes + 1048575) / 1048576; };
    struct statfs st;
    if (statfs(point.c_str(), &st) != 0) {
        info->total = info->used = 0;
        info->status = QAVO_USBVOL_ERROR;
        return;
    }
    const uint64_t bsize = static_cast<uint64_t>(st.f_bsize);
    info->total = roundUpMiB(bsize * st.f_blocks);
    const uint64_t avail = roundUpMiB(bsize * st.f_bavail);
    info->used = info->total > avail ? info->total - avail : 0;
}

}  // namespace usbm

extern "C" int BlQAVOIsMountPoint(const char *path) {
    if (!path) return slib::Fail(ERR_BAD_PARAMETERS);
    std::vector<usbm::Mount> m;
    try {
        if (!usbm::Mounts(&m)) return -1;
        for (const auto &e : m)
            if (e.point == path) return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    return 0;
}
