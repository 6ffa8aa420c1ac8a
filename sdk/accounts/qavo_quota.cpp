// Disk quotas through quotactl (user quotas), and turning them on for a
// volume with the quota tools.
#include "qavo_quota.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/quota.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "qavo_accfile.h"
#include "qavo_user.h"
#include "qavo_windomain.h"
#include "qavo_raiddisk.h"
#include "qavo_volfs.h"
#include "quota_ids.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

using slib::Fail;

bool Present(const char *s) {
    return s && *s;
}

SLIBERRCODE SetErrorOf(int err) {
    switch (err) {
        case ESRCH:
            return ERR_QUOTA_NOT_ON;
        case ENOENT:
            return ERR_MISSING_FILE;
        case EINVAL:
            return ERR_QUOTA_INVALID;
        default:
            return ERR_SYSTEM_CALL;
    }
}

// The uid of a local or domain account, or -1 with the code set.
int AccountId(const char *user) {
    int kind = IsDomainUG(user);
    if (kind != QAVO_ACCOUNT_LOCAL && kind != QAVO_ACCOUNT_DOMAIN) return Fail(ERR_SYSTEM_CALL);
    int id = QAVOQuotaGetId(QAVO_QUOTA_ID_ACCOUNT | static_cast<uint32_t>(kind), user);
    if (id < 0) return Fail(ERR_NO_SUCH_USER);
    return id;
}

// The kernel's block count (KiB) of a size in MB, or false when the size is
// no size the kernel can hold. A limit below one block is one block, never
// 0 (no limit); the kernel counts the limit in bytes (blocks x 1024), which
// must fit 64 bits.
bool BlocksOf(float megabytes, uint64_t *blocks) {
    if (!std::isfinite(megabytes) || megabytes < 0) return false;
    float kib = QAVOQuotaUnitConv(4, megabytes);
    // 2^54 as a float: every block count below it fits 64 bits in bytes.
    if (!std::isfinite(kib) || kib >= 18014398509481984.0f) return false;
    *blocks = static_cast<uint64_t>(kib);
    if (*blocks == 0 && kib > 0) *blocks = 1;
    return true;
}

}  // namespace

int sdk::QuotaSetId(unsigned id, const char *device, uint64_t blocks) {
    struct dqblk q;
    memset(&q, 0, sizeof q);
    q.dqb_valid = QIF_BLIMITS | QIF_ILIMITS | QIF_BTIME | QIF_ITIME;
    q.dqb_bhardlimit = blocks;
    q.dqb_bsoftlimit = blocks;
    if (quotactl(QCMD(Q_SETQUOTA, USRQUOTA), device, static_cast<int>(id),
                 reinterpret_cast<caddr_t>(&q)) != 0 ||
        quotactl(QCMD(Q_SYNC, USRQUOTA), device, 0, nullptr) != 0) {
        int err = errno;
        SLIBLog(LOG_ERR, "%s(%d): quotactl on %s for %u failed: %s", __FILE__, __LINE__, device, id,
                strerror(err));
        return Fail(SetErrorOf(err));
    }
    return 0;
}

namespace {

// The devices of the RAID volumes that exist ("/dev/md" and the index + 2);
// false with 0x9700 when the volumes cannot be listed.
bool RaidDevices(std::vector<std::string> &devices) {
    int max = QAVORaidDiskMaxNumGet();
    if (max <= 0) {
        SLIBLog(LOG_ERR, "(%s)%s(%d):Failed to get Max volume number, give default value 1",
                __FILE__, __func__, __LINE__);
        max = 1;
    }
    uint32_t mask = 0;
    if (QAVOVolRaidEnum(&mask, nullptr, nullptr) != 0) {
        SLIBErrSet(ERR_QUOTA_LIST);
        return false;
    }
    for (int i = 0; i < max && i < 32; ++i)
        if (mask & (1u << i)) devices.push_back("/dev/md" + std::to_string(i + 2));
    return true;
}

}  // namespace

int sdk::QuotaCleanIds(const std::vector<unsigned> &ids) {
    std::vector<std::string> devices;
    if (!BlQAVORaidIsSupported())
        devices.push_back(QAVO_QUOTA_DEFAULT_DEVICE);
    else if (!RaidDevices(devices))
        return -1;
    int result = 0;
    SLIBERRCODE code = ERR_SYSTEM_CALL;
    for (const std::string &dev : devices) {
        for (unsigned id : ids) {
            if (QuotaSetId(id, dev.c_str(), 0) != 0) {
                code = static_cast<SLIBERRCODE>(SLIBErrGet());
                result = -1;
            }
        }
    }
    if (result != 0) SLIBErrSet(code);
    return result;
}

extern "C" float QAVOQuotaUnitConv(int mode, float value) {
    switch (mode) {
        case 0:
            return value * 1048576.0f;
        case 1:
            return value / 1048576.0f;
        case 2:
        case 5:
            return value / 1024.0f;
        case 3:
        case 4:
            return value * 1024.0f;
        default:
            return 0;
    }
}

extern "C" int QAVOQuotaGetId(uint32_t flags, const char *name) {
    if (!(flags & QAVO_QUOTA_ID_ACCOUNT) || !name) return Fail(ERR_BAD_PARAMETERS);
    if (flags & QAVO_QUOTA_ID_LOCAL) {
        struct passwd *pw = PpwSLIBGetLocalPwNam(name);
        return pw ? static_cast<int>(pw->pw_uid) : -1;
    }
    if (flags & QAVO_QUOTA_ID_DOMAIN) return QAVOGetDUserUid(name);
    return 0;
}

extern "C" int QAVOQuotaGet(const char *user, const char *device, PQAVOUSERQUOTA out) {
    if (!Present(user) || !Present(device) || !out) return Fail(ERR_BAD_PARAMETERS);
    int id = AccountId(user);
    if (id < 0) return -1;
    struct dqblk q;
    memset(&q, 0, sizeof q);
    if (quotactl(QCMD(Q_GETQUOTA, USRQUOTA), device, id, reinterpret_cast<caddr_t>(&q)) != 0) {
        int err = errno;
        SLIBLog(LOG_ERR, "%s(%d): Q_GETQUOTA on %s for %s failed: %s", __FILE__, __LINE__, device,
                user, strerror(err));
        return Fail(err == ESRCH ? ERR_QUOTA_NOT_ON : ERR_SYSTEM_CALL);
    }
    out->fHardLimitMB =
        q.dqb_bhardlimit == 0 ? 0.0f : QAVOQuotaUnitConv(5, static_cast<float>(q.dqb_bhardlimit));
    out->u64Used = q.dqb_curspace;
    return 0;
}

extern "C" int QAVOQuotaSet(const char *user, const char *device, const float *megabytes) {
    uint64_t blocks = 0;
    if (!Present(user) || !Present(device) || !megabytes || !BlocksOf(*megabytes, &blocks))
        return Fail(ERR_BAD_PARAMETERS);
    int id = AccountId(user);
    if (id < 0) return -1;
    return sdk::QuotaSetId(static_cast<unsigned>(id), device, blocks);
}

extern "C" int QAVOQuotaCleanDev(PSLIBSZLIST users, const char *device) {
    if (!users || !device) return Fail(ERR_BAD_PARAMETERS);
    int result = 0;
    SLIBERRCODE code = ERR_SYSTEM_CALL;
    const float none = 0;
    for (int i = 0; i < users->nItem; ++i) {
        const char *name = SzSLIBSzListGet(users, i);
        if (name && QAVOQuotaSet(name, device, &none) != 0) {
            code = static_cast<SLIBERRCODE>(SLIBErrGet());
            result = -1;
        }
    }
    if (result != 0) SLIBErrSet(code);
    return result;
}

extern "C" int QAVOQuotaClean(PSLIBSZLIST users) {
    return QAVOQuotaCleanDev(users, QAVO_QUOTA_DEFAULT_DEVICE);
}

extern "C" int QAVOQuotaCleanRAID(PSLIBSZLIST users) {
    if (!users) return Fail(ERR_BAD_PARAMETERS);
    std::vector<std::string> devices;
    if (!RaidDevices(devices)) return -1;
    int result = 0;
    SLIBERRCODE code = ERR_SYSTEM_CALL;
    for (const std::string &dev : devices) {
        if (QAVOQuotaCleanDev(users, dev.c_str()) != 0) {
            code = static_cast<SLIBERRCODE>(SLIBErrGet());
            result = -1;
        }
    }
    if (result != 0) SLIBErrSet(code);
    return result;
}

namespace {

// Runs a quota step's tool, its output discarded: the exit status, or -1
// when it cannot be run.
int RunQuiet(const char *const *argv) {
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    int r = SLIBProcExecWaitOutput(argv, fd, 0);
    close(fd);
    return r;
}

// Whether a mount of the table sits on exactly that mount point.
bool IsMounted(const std::string &point) {
    slib::FilePtr fp(fopen("/proc/mounts", "re"));
    if (!fp) return false;
    char dev[4096], dir[4096];
    char *line = nullptr;
    size_t cap = 0;
    bool found = false;
    while (getline(&line, &cap, fp.get()) > 0) {
        if (sscanf(line, "%4095s %4095s", dev, dir) == 2 && point == dir) found = true;
    }
    free(line);
    return found;
}

}  // namespace

extern "C" int QAVOQuotaEnable(int volume) {
    if (volume < 1 || volume > 4) return Fail(ERR_BAD_PARAMETERS);
    const std::string point = "/volume" + std::to_string(volume);
    if (!IsMounted(point)) return Fail(ERR_BAD_PARAMETERS);
    struct Step {
        const char *argv[9];
        SLIBERRCODE code;
    };
    const char *p = point.c_str();
    const Step steps[] = {
        {{"/bin/mount", "-o", "remount,usrquota,grpquota", p, nullptr}, ERR_QUOTA_REMOUNT},
        {{"/sbin/quotacheck", "-c", "-g", "-u", "-F", "vfsv0", p, nullptr}, ERR_QUOTA_CHECK},
        {{"/sbin/quotaon", "-F", "vfsv0", p, nullptr}, ERR_QUOTA_ON},
    };
    for (const Step &s : steps) {
        int r = RunQuiet(s.argv);
        if (r < 0 || r == 255) {  // 255: the program cannot be started
            SLIBLog(LOG_ERR, "%s(%d): cannot run %s", __FILE__, __LINE__, s.argv[0]);
            return Fail(ERR_QUOTA_COMMAND);
        }
        if (r != 0) {
            SLIBLog(LOG_ERR, "%s(%d): %s %s failed (%d)", __FILE__, __LINE__, s.argv[0], p, r);
            return Fail(s.code);
        }
    }
    return 0;
}

extern "C" int BlQAVOQuotaIsSupported(void) {
    return slib::DefaultIsYes("supportquota", 5, true) ? 1 : 0;
}

extern "C" int QAVOQuotaGetFormat(const char *device) {
    uint32_t format = 0;
    if (quotactl(QCMD(Q_GETFMT, USRQUOTA), device, 0, reinterpret_cast<caddr_t>(&format)) != 0) {
        int err = errno;
        SLIBLog(LOG_ERR, "%s(%d): Q_GETFMT on %s failed: %s", __FILE__, __LINE__,
                device ? device : "NULL", strerror(err));
        SLIBErrSet(SetErrorOf(err));
        return 0;
    }
    return static_cast<int>(format);
}
