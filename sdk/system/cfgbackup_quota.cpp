// Configuration backup section of the users' disk quotas.
#include <syslog.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cfgbackup.h"
#include "cfgbackup_util.h"
#include "qavo_accfile.h"
#include "qavo_quota.h"
#include "qavo_raid.h"
#include "qavo_userenum.h"
#include "qavo_volfs.h"
#include "qavo_volume.h"
#include "slib_errcode.h"
#include "slib_util.h"

using cfgbkp::BadFd;
using cfgbkp::Event;
using cfgbkp::Failed;
using cfgbkp::ReadStr;
using cfgbkp::Section;
using cfgbkp::Str;

namespace {

constexpr uint32_t kQuotaEx = 0x12100011, kQuotaIm = 0x12100116;
constexpr const char *kHda = "/dev/hda";
constexpr const char *kMd = "/dev/md";

bool WriteEntry(int fd, const char *user, const char *prefix, long number) {
    const std::string device = prefix + std::to_string(number);
    QAVOUSERQUOTA q{};
    if (QAVOQuotaGet(user, device.c_str(), &q) != 0) {
        BKP_LOG("fail to get user quota,user=[%s]", user);
        return false;
    }
    if (QAVOSysbkpIWriteString(fd, prefix) != 0) {
        BKP_LOG("fail to write quota device [%s]", prefix);
        return false;
    }
    if (QAVOSysbkpIWriteLong(fd, number) != 0) {
        BKP_LOG("fail to write quota device [%ld]", number);
        return false;
    }
    if (QAVOSysbkpIWriteLong(fd, static_cast<long>(q.fHardLimitMB)) != 0) {
        BKP_LOG("fail to write quota size=%f", static_cast<double>(q.fHardLimitMB));
        return false;
    }
    return true;
}

}  // namespace

extern "C" int QAVOSysbkpIWriteUserQuota(const char *user, int fd, int raid, uint32_t mask,
                                         int count) {
    if (user == nullptr || fd < 0) return -1;
    if (QAVOSysbkpIWriteString(fd, user) != 0) return -1;
    if (!raid) return WriteEntry(fd, user, kHda, 3) ? 0 : -1;
    int max = QAVORaidVolMaxNumGet();
    if (max <= 0) {
        SLIBLog(LOG_ERR, "(%s)%s(%d):Failed to get Max volume number, give default value 1",
                cfgbkp::kSource, __func__, __LINE__);
        max = 1;
    }
    int written = 0;
    for (int i = 0; i < max && written < count; ++i) {
        if (!(mask & (1u << i))) continue;
        if (!WriteEntry(fd, user, kMd, i + 2)) return -1;
        ++written;
    }
    return 0;
}

extern "C" int QAVOSysbkpUserQuotaExport(int fd) {
    if (fd < 0) return BKP_LOG("parameter error"), -1;
    if (!BlQAVOQuotaIsSupported()) return 0;
    PSLIBSZLIST list = PslSLIBSzListAlloc(1024);
    if (list == nullptr) return Failed(kQuotaEx);
    const int n = SDKIUserListGet(QAVO_USER_ENUM_LOCAL, &list);
    slib::SzListPtr hold(list);
    if (n < 0) return BKP_LOG("fail to enumerate all users"), Failed(kQuotaEx);
    const int raid = BlQAVORaidIsSupported() ? 1 : 0;
    Section sec(fd, QAVOSYSBKP_ID_USER_QUOTA);
    if (!sec.Ok()) return Failed(kQuotaEx);
    if (QAVOSysbkpIWriteLong(fd, list->nItem) != 0) return Failed(kQuotaEx);
    if (QAVOSysbkpIWriteLong(fd, raid) != 0)
        return BKP_LOG("fail to write blSupportRaid=[%d]", raid), Failed(kQuotaEx);
    uint32_t mask = 0;
    int count = 0;
    if (raid) {
        int first = 0;
        if (QAVORaidDevEnum(&mask, &first, &count) != 0) {
            if (QAVORaidVolErrGet() != QAVO_RAID_ERR_NODEV) {
                SLIBLog(LOG_ERR, "(%s)%s(%d)(%d):Failed to Enum Raid volume", cfgbkp::kSource,
                        __func__, __LINE__, QAVORaidVolErrGet());
                return Failed(kQuotaEx);
            }
            SLIBLog(LOG_ERR, "(%s)%s(%d)(%d):No Raid volume need to be backup", cfgbkp::kSource,
                    __func__, __LINE__, QAVORaidVolErrGet());
            mask = 0;
            count = 0;
        }
        if (QAVOSysbkpIWriteLong(fd, count) != 0)
            return BKP_LOG("fail to write iRaidDevNum=%d", count), Failed(kQuotaEx);
    }
    for (int i = 0; i < list->nItem; ++i) {
        if (QAVOSysbkpIWriteUserQuota(list->pszItem[i], fd, raid, mask, count) != 0) {
            BKP_LOG("fail to write user data quota");
            return Failed(kQuotaEx);
        }
    }
    return sec.Finish() ? 0 : Failed(kQuotaEx);
}

extern "C" int QAVOSysbkpUserQuotaImport(int fd, int, int overwrite) {
    if (fd < 0) return BKP_LOG("parameter error"), -1;
    long users = 0, raid = 0, devices = 1;
    if (QAVOSysbkpIReadLong(fd, &users) != 0 || QAVOSysbkpIReadLong(fd, &raid) != 0 ||
        (raid != 0 && QAVOSysbkpIReadLong(fd, &devices) != 0) || users < 0 || devices < 0)
        return BKP_LOG("fail to read quota header"), Failed(kQuotaIm);
    const bool supported = BlQAVOQuotaIsSupported() != 0;
    for (long u = 0; u < users; ++u) {
        Str name;
        if (!ReadStr(fd, name)) return BKP_LOG("fail to read user name"), Failed(kQuotaIm);
        const bool exists = PpwSLIBGetLocalPwNam(name.get()) != nullptr;
        if (!exists) SLIBLog(LOG_ERR, "%s(%d)user=%s not exist", __func__, __LINE__, name.get());
        const bool wanted = overwrite || cfgbkp::IsCreatedUser(name.get());
        for (long d = 0; d < devices; ++d) {
            Str prefix;
            long number = 0, limit = 0;
            if (!ReadStr(fd, prefix) || QAVOSysbkpIReadLong(fd, &number) != 0 ||
                QAVOSysbkpIReadLong(fd, &limit) != 0)
                return BKP_LOG("fail to read quota entry"), Failed(kQuotaIm);
            // Only the volume devices the export writes: a file must not aim
            // a quota at another device.
            const bool md = strcmp(prefix.get(), kMd) == 0;
            if ((!md && strcmp(prefix.get(), kHda) != 0) || number < 0 || limit < 0)
                return BKP_LOG("bad quota device [%s]", prefix.get()), Failed(kQuotaIm);
            const long volume = raid ? number - 1 : number - 2;
            QAVOVOLINFO vi{};
            const bool usable = volume >= QAVO_VOLUME_MIN && volume <= QAVO_VOLUME_MAX &&
                                QAVOVolInfoGet(static_cast<int>(volume), &vi) == 0 &&
                                vi.svi_mounted && vi.svi_writeable;
            if (!supported || !exists || !usable || !wanted) continue;
            const std::string device = prefix.get() + std::to_string(number);
            const float mb = static_cast<float>(limit);
            QAVOQuotaSet(name.get(), device.c_str(), &mb);
        }
    }
    return 0;
}
