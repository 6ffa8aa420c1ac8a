// The built-in services and their links in "/var/services", and the scan of
// the volumes for a service's folder.
#include "qavo_service.h"

#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "qavo_download.h"
#include "qavo_netservice.h"
#include "qavo_sharedir.h"
#include "qavo_sharelookup.h"
#include "qavo_volume.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_rewrite.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = "sdk/qavoservice";
// Longest folder path the scan builds.
constexpr size_t kScanPathMax = 4094;
constexpr const char *kPhpConf = "/usr/qavo/etc/php.ini";
constexpr int kLockTimeout = 5;
// Room for every id of the table when a whole list is asked for.
constexpr int kListCapacity = 10;

struct ServiceRow {
    const char *name;
    const char *link;
    const char *key;  // nullptr: no enable key
    int shareType;
};

// The service table, indexed by id - 1.
constexpr ServiceRow kServices[] = {
    {"web", "web", "runweb", SERVICE_SHARE_SHARE},
    {"photo", "photo", "runphoto", SERVICE_SHARE_SHARE},
    {"NetBackup", "NetBackup", "runnetbkp", SERVICE_SHARE_SHARE},
    {"download", "download", "download_enabled", SERVICE_SHARE_HIDDEN},
    {"video", "video", "runmediaservice", SERVICE_SHARE_SHARE},
    {"music", "music", "runmediaservice", SERVICE_SHARE_SHARE},
    {"mysql", "mysql", "runmysql", SERVICE_SHARE_DATABASE},
    {"spool", "printer", nullptr, SERVICE_SHARE_HIDDEN},
};

bool ValidId(int id) {
    return id >= SERVICE_ID_MIN && id <= SERVICE_ID_MAX;
}

void Copy(char (&field)[QAVO_SERVICE_TEXT_SIZE], const std::string &text) {
    snprintf(field, sizeof(field), "%s", text.c_str());
}

enum class LinkRead { kOk, kMissing, kTooLong, kError };

// Reads a link's target. A target that does not fit a record's field is
// outside what a link of this table can be; it is reported, never cut.
LinkRead ReadLink(const char *path, std::string &target) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(path, buf, sizeof(buf));
    // No link where a folder on the way is missing or no folder (a file
    // at "/var/services", which a link set replaces).
    if (n < 0) return errno == ENOENT || errno == ENOTDIR ? LinkRead::kMissing : LinkRead::kError;
    if (n >= QAVO_SERVICE_TEXT_SIZE) return LinkRead::kTooLong;
    target.assign(buf, static_cast<size_t>(n));
    return LinkRead::kOk;
}

// The record's fields from the table; nothing of the link yet.
void FillFromTable(int id, QAVOSERVICE &svc) {
    memset(&svc, 0, sizeof(svc));
    const ServiceRow &row = kServices[id - 1];
    svc.id = id;
    Copy(svc.szName, row.name);
    Copy(svc.szLink, std::string(SZD_SERVICES) + "/" + row.link);
    Copy(svc.szKey, row.key ? row.key : "");
    svc.iShareType = row.shareType;
    svc.fHasKey = row.key ? 1 : 0;
}

// Stores id in the caller's array while it has room.
bool Store(int *ids, int capacity, int &n, int id) {
    if (ids != nullptr) {
        if (n >= capacity) return false;
        ids[n] = id;
    }
    ++n;
    return true;
}

// A share or folder name that stays inside the volume's root.
bool PlainName(const char *name) {
    return name != nullptr && *name != '\0' && strchr(name, '/') == nullptr &&
           strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

bool DisableKeys(std::initializer_list<const char *> keys) {
    bool ok = true;
    for (const char *key : keys) {
        if (QAVOINFOSetKeyValue(key, "no") != 0) {
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to set %s to no", kSource, __LINE__, SLIBErrGet(),
                    key);
            ok = false;
        }
    }
    return ok;
}

// Rewrites php.ini without comment and empty lines and with the
// register_globals line set. False on any failure (the file stays as it was).
bool RewritePhpIni(bool on) {
    slib::FilePtr in(fopen(kPhpConf, "re"));
    if (!in) {
        SLIBErrSet(ERR_OPEN_FAILED);
        SLIBLog(LOG_ERR, "%s(%d): fopen(SZF_QAVO_PHP_CONF, \"r\") failed", kSource, __LINE__);
        return false;
    }
    slib::RewriteSet rw;
    FILE *out = rw.Open(kPhpConf);
    if (out == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): fopen(SZF_QAVO_PHP_CONF.tmp, \"w\") failed", kSource, __LINE__);
        return false;
    }
    static constexpr char kKey[] = "register_globals";
    const std::string setting = std::string(kKey) + " = " + (on ? "On" : "Off") + "\n";
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    bool ok = true;
    // Whole lines: a long line is never judged piece by piece.
    while (ok && (len = getline(&line, &cap, in.get())) > 0) {
        const char first = line[0];
        if (first == ';' || first == '#' || first == '\r' || first == '\n') continue;
        if (strncmp(line, kKey, sizeof(kKey) - 1) == 0) {
            ok = slib::WriteAll(out, setting);
        } else {
            ok = slib::WriteAll(out, std::string_view(line, static_cast<size_t>(len)));
        }
    }
    free(line);
    if (!ok) {
        SLIBErrSet(ERR_WRITE_FAILED);
        return false;
    }
    if (ferror(in.get())) {
        SLIBErrSet(ERR_READ_FAILED);
        return false;
    }
    if (!rw.Commit()) {
        SLIBLog(LOG_ERR, "%s(%d): rename to SZF_QAVO_PHP_CONF failed", kSource, __LINE__);
        return false;
    }
    return true;
}

}  // namespace

extern "C" int QAVOServiceLinkVolumeGet(const char *szLinkPath) {
    if (szLinkPath == nullptr || *szLinkPath == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    try {
        std::string target;
        switch (ReadLink(szLinkPath, target)) {
            case LinkRead::kMissing:
                return 0;
            case LinkRead::kTooLong:
                SLIBLog(LOG_ERR, "%s(%d)szLinkPath = %s , link value too long", kSource, __LINE__,
                        szLinkPath);
                return 0;
            case LinkRead::kError: {
                const int err = errno;
                SLIBLog(LOG_ERR, "%s(%d)szLinkPath = %s ,link value = %s , errno=%s", kSource,
                        __LINE__, szLinkPath, "", strerror(err));
                SLIBErrSet(ERR_UNICODE);
                return -1;
            }
            case LinkRead::kOk:
                break;
        }
        const int volume = QAVOVolIDGetByPath(target.c_str());
        return volume < 0 ? 0 : volume;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOServiceInfoGet(int id, QAVOSERVICE *pService) {
    if (pService == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    if (!ValidId(id)) {
        SLIBLog(LOG_ERR, "%s(%d)NO Service found", kSource, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        FillFromTable(id, *pService);
        const int volume = QAVOServiceLinkVolumeGet(pService->szLink);
        if (volume < 0) {
            SLIBLog(LOG_ERR,
                    "%s(%d)[%X] Failed to get volume : iShareType=%d, linkpath = %s , volume=%d",
                    kSource, __LINE__, SLIBErrGet(), pService->iShareType, pService->szLink,
                    volume);
            return -1;
        }
        if (volume == 0) return 0;
        std::string target;
        if (ReadLink(pService->szLink, target) != LinkRead::kOk ||
            QAVOShareIsDir(target.c_str()) != 1) {
            return 0;
        }
        Copy(pService->szTarget, target);
        pService->volume = volume;
        return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOServiceIsEnabled(int id) {
    if (id == SERVICE_DOWNLOAD) {
        QAVODOWNLOADINFO info;
        if (QAVODownloadInfoGet(&info) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to get info of fetchmora", kSource, __LINE__,
                    SLIBErrGet());
            return 0;
        }
        return info.fDLEnabled ? 1 : 0;
    }
    QAVOSERVICE svc;
    if (QAVOServiceInfoGet(id, &svc) < 0 || !svc.fHasKey) return 0;
    char value[5];
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, svc.szKey, value, sizeof(value), 0) <= 0) return 0;
    return strcasecmp(value, "yes") == 0 ? 1 : 0;
}

extern "C" int QAVOServiceGetAll(int *pIds, int *pCount, int mode) {
    if (pCount == nullptr || (pIds == nullptr && *pCount != 0)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const int capacity = *pCount;
    int n = 0;
    for (int id = SERVICE_ID_MIN; id <= SERVICE_ID_MAX; ++id) {
        bool take = false;
        if (mode == QAVO_SERVICE_LIST_ALL) {
            take = true;
        } else if (mode == QAVO_SERVICE_LIST_ENABLED) {
            // The photo album also serves the media server's pictures.
            take = QAVOServiceIsEnabled(id) == 1 ||
                   (id == SERVICE_PHOTO && QAVOServiceIsEnabled(SERVICE_VIDEO) == 1);
        }
        if (take && !Store(pIds, capacity, n, id)) {
            SLIBLog(LOG_ERR, "%s(%d): iCount exceeds the size of pID array", kSource, __LINE__);
            return slib::Fail(ERR_BAD_PARAMETERS);
        }
    }
    *pCount = n;
    return 0;
}

extern "C" int QAVOServiceVolumeGetbyShare(const char *szShare) {
    if (szShare == nullptr || *szShare == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIBLog(LOG_ERR, "%s(%d)szShareName = %s", kSource, __LINE__, szShare ? szShare : "(null)");
        return -1;
    }
    PQAVOSHARE share = QAVOShareGetCaseLess(szShare);
    if (share == nullptr) return 0;
    const char *path = share->szPath ? share->szPath : "";
    int volume = QAVOVolIDGetByPath(path);
    if (volume < 0) {
        SLIBErrSet(ERR_NO_VOLUME_NUMBER);
        SLIBLog(LOG_ERR, "%s(%d)[%X]failed to parse volume ID , path : %s", kSource, __LINE__,
                SLIBErrGet(), path);
    }
    QAVOShareFree(share);
    return volume;
}

extern "C" int QAVOServiceVolumeFind(const QAVOSERVICE *pService) {
    if (pService == nullptr) return slib::Fail(ERR_BAD_PARAMETERS);
    int volume;
    char folder[2 * QAVO_SERVICE_TEXT_SIZE];
    switch (pService->iShareType) {
        case SERVICE_SHARE_SHARE:
            volume = QAVOServiceVolumeGetbyShare(pService->szName);
            if (volume < 0) {
                SLIBLog(LOG_ERR,
                        "%s(%d)[%X] Failed to Get Volume by Share path for service: share name = "
                        "%s",
                        kSource, __LINE__, SLIBErrGet(), pService->szName);
            }
            return volume;
        case SERVICE_SHARE_HIDDEN:
        case SERVICE_SHARE_DATABASE:
            snprintf(folder, sizeof(folder),
                     pService->iShareType == SERVICE_SHARE_HIDDEN ? "/@%.51s" : "/@database/%.51s",
                     pService->szName);
            volume = QAVOVolAllVolumeScan(folder);
            if (volume < 0) {
                SLIBLog(LOG_ERR,
                        "%s(%d)[%X] Failed to Get Volume by Scan all volumes for service: share "
                        "name = %s",
                        kSource, __LINE__, SLIBErrGet(), pService->szName);
            }
            return volume;
        default:
            SLIBErrSet(ERR_BAD_PARAMETERS);
            SLIBLog(LOG_ERR, "%s(%d)[%X] Bad Share type %d for service: share name = %s", kSource,
                    __LINE__, SLIBErrGet(), pService->iShareType, pService->szName);
            return -1;
    }
}

extern "C" int QAVOServiceVolumeGetDefault(const QAVOSERVICE *pService) {
    const int found = QAVOServiceVolumeFind(pService);
    if (found != 0) return found;
    PQAVOVOLINFOLIST list = QAVOVolInfoListGet(0);
    int volume = 0;
    for (PQAVOVOLINFOLIST v = list; v != nullptr; v = v->next) {
        if (v->svi_writeable) {
            volume = v->svi_number;
            break;
        }
    }
    QAVOVolInfoListFree(list);
    return volume;
}

extern "C" int QAVOServiceGetByVolume(int *pIds, int *pCount, int volume) {
    if (!BlQAVOVolIDIsValid(volume) || pCount == nullptr || (pIds == nullptr && *pCount != 0)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    int all[kListCapacity];
    int total = kListCapacity;
    if (QAVOServiceGetAll(all, &total, QAVO_SERVICE_LIST_ALL) != 0) return -1;
    const int capacity = *pCount;
    int n = 0;
    for (int i = 0; i < total; ++i) {
        const int id = all[i];
        QAVOSERVICE svc;
        int on = -1;
        if (QAVOServiceInfoGet(id, &svc) < 0) {
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to get service info : id=%d", kSource, __LINE__,
                    SLIBErrGet(), id);
        } else if (svc.iShareType == SERVICE_SHARE_SHARE) {
            on = QAVOServiceVolumeGetbyShare(svc.szName);
        } else if (svc.iShareType == SERVICE_SHARE_HIDDEN ||
                   svc.iShareType == SERVICE_SHARE_DATABASE) {
            on = QAVOServiceLinkVolumeGet(svc.szLink);
        } else {
            SLIBErrSet(ERR_BAD_PARAMETERS);
            SLIBLog(LOG_ERR, "%s(%d)[%X] Bad Share type %d for service: share name = %s", kSource,
                    __LINE__, SLIBErrGet(), svc.iShareType, svc.szName);
        }
        if (on < 0) {
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to check if service %d is on volume : id=%d",
                    kSource, __LINE__, SLIBErrGet(), id, id);
            continue;
        }
        if (on != volume) continue;
        if (!Store(pIds, capacity, n, id)) {
            SLIBLog(LOG_ERR, "%s(%d)service count is not enough when count service %d : %d",
                    kSource, __LINE__, id, capacity);
            return slib::Fail(ERR_BAD_PARAMETERS);
        }
    }
    *pCount = n;
    return 0;
}

extern "C" int QAVOServiceIdGetByShare(const char *szName) {
    if (szName == nullptr || *szName == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    for (int id = SERVICE_ID_MIN; id <= SERVICE_ID_MAX; ++id) {
        const ServiceRow &row = kServices[id - 1];
        if (row.shareType == SERVICE_SHARE_SHARE && strcasecmp(szName, row.name) == 0) return id;
    }
    return 0;
}

extern "C" int QAVOServiceDisable(int id) {
    bool ok = true;
    switch (id) {
        case SERVICE_WEB:
            ok = DisableKeys({"runweb"});
            break;
        case SERVICE_PHOTO:
            ok = DisableKeys({"runphoto", "runmediaservice"});
            break;
        case SERVICE_NETBACKUP:
            ok = DisableKeys({"runnetbkp"});
            break;
        case SERVICE_DOWNLOAD: {
            const QAVODOWNLOADINFO off{};
            if (QAVODownloadInfoSet(&off) != 0) {
                SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to disable fetchmora", kSource, __LINE__,
                        SLIBErrGet());
                return -1;
            }
            break;
        }
        case SERVICE_VIDEO:
            ok = DisableKeys({"runmediaservice"});
            break;
        case SERVICE_MUSIC:
            ok = DisableKeys({"runitunes", "runmediaservice"});
            break;
        case SERVICE_MYSQL:
            ok = DisableKeys({"runmysql"});
            break;
        case SERVICE_SPOOL:
            SLIBLog(LOG_ERR, "%s(%d)printer has no disable option", kSource, __LINE__);
            break;
        default:
            SLIBLog(LOG_ERR, "%s(%d)Not defined date : id=%d", kSource, __LINE__, id);
            break;
    }
    return ok ? 0 : -1;
}

extern "C" int QAVOServiceLinkRemove(int id) {
    QAVOSERVICE svc;
    if (QAVOServiceInfoGet(id, &svc) < 0) {
        SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to get service info : id = %d", kSource, __LINE__,
                SLIBErrGet(), id);
        return -1;
    }
    if (unlink(svc.szLink) != 0) {
        SLIBErrSet(errno == ENOENT || errno == ENOTDIR ? ERR_MISSING_FILE : ERR_SYSTEM_CALL);
        SLIBLog(LOG_ERR, "%s(%d)[%X] unlink : %s", kSource, __LINE__, SLIBErrGet(), svc.szLink);
        return -1;
    }
    return 0;
}

extern "C" int QAVOServiceDisableByVolume(int volume) {
    if (!BlQAVOVolIDIsValid(volume)) return slib::Fail(ERR_BAD_PARAMETERS);
    int ids[kListCapacity];
    int count = kListCapacity;
    if (QAVOServiceGetByVolume(ids, &count, volume) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to search services on volume %d : service count = %d",
                kSource, __LINE__, SLIBErrGet(), volume, count);
        return -1;
    }
    int done = 0;
    SLIBERRCODE failure = 0;
    for (int i = 0; i < count; ++i) {
        bool ok = true;
        if (QAVOServiceDisable(ids[i]) != 0) {
            failure = SLIBErrGet();
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to Disable services : ID=%d", kSource, __LINE__,
                    failure, ids[i]);
            ok = false;
        }
        // A link that is not there is as good as removed.
        if (QAVOServiceLinkRemove(ids[i]) != 0 && SLIBErrGet() != ERR_MISSING_FILE) {
            failure = SLIBErrGet();
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to remove link : id = %d, maybe link not found",
                    kSource, __LINE__, failure, ids[i]);
            ok = false;
        }
        if (ok) ++done;
    }
    if (done == count) return 0;
    SLIBErrSet(failure);
    return -1;
}

extern "C" int QAVOServiceDisableAll(void) {
    int ids[kListCapacity];
    int count = kListCapacity;
    if (QAVOServiceGetAll(ids, &count, QAVO_SERVICE_LIST_ALL) != 0) {
        SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to Get all services", kSource, __LINE__, SLIBErrGet());
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (QAVOServiceDisable(ids[i]) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to Disable services : ID=%d", kSource, __LINE__,
                    SLIBErrGet(), ids[i]);
            return -1;
        }
        if (QAVOServiceLinkRemove(ids[i]) != 0 && SLIBErrGet() != ERR_MISSING_FILE) {
            SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to remove link : id = %d, maybe link not found",
                    kSource, __LINE__, SLIBErrGet(), ids[i]);
        }
    }
    return 0;
}

extern "C" int QAVOServiceLinkSet(int id, const char *szShare, int volume) {
    if (!BlQAVOVolIDIsValid(volume) || !PlainName(szShare)) return slib::Fail(ERR_BAD_PARAMETERS);
    QAVOSERVICE svc;
    if (QAVOServiceInfoGet(id, &svc) < 0) {
        SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to get service info : id = %d", kSource, __LINE__,
                SLIBErrGet(), id);
        return -1;
    }
    if (!slib::IsDirectory(SZD_SERVICES)) {
        // Whatever stands at the name is no directory: a file or a link.
        unlink(SZD_SERVICES);
        if (mkdir(SZD_SERVICES, 0755) != 0) {
            SLIBErrSet(errno == ENOSPC ? ERR_NO_SPACE : ERR_MKDIR_FAILED);
            SLIBLog(LOG_ERR, "%s(%d)Failed to mkdir : %s", kSource, __LINE__, SZD_SERVICES);
            return -1;
        }
    }
    char target[QAVO_SERVICE_TEXT_SIZE];
    int len;
    switch (svc.iShareType) {
        case SERVICE_SHARE_DATABASE:
            len = snprintf(target, sizeof(target), "%s%d/@%s/%s", QAVO_VOLUME_PREFIX, volume,
                           "database", szShare);
            break;
        case SERVICE_SHARE_HIDDEN:
            len = snprintf(target, sizeof(target), "%s%d/@%s", QAVO_VOLUME_PREFIX, volume, szShare);
            break;
        default:
            len = snprintf(target, sizeof(target), "%s%d/%s", QAVO_VOLUME_PREFIX, volume, szShare);
            break;
    }
    // A cut target would point at another folder.
    if (len < 0 || len >= static_cast<int>(sizeof(target))) {
        SLIBLog(LOG_ERR, "%s(%d)link target too long for share=%s", kSource, __LINE__, szShare);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    unlink(svc.szLink);
    if (symlink(target, svc.szLink) != 0) {
        SLIBErrSet(ERR_CREATE_FAILED);
        SLIBLog(LOG_ERR, "%s(%d)Failed to create link of %s for share=%s", kSource, __LINE__,
                svc.szLink, target);
        return -1;
    }
    return 0;
}

extern "C" int QAVOServiceNetStatusSet(int op) {
    if (op != QAVO_SERVICE_NET_STOP && op != QAVO_SERVICE_NET_START) return 0;
    const bool stop = op == QAVO_SERVICE_NET_STOP;
    if ((stop ? ErrNetServiceStop() : ErrNetServiceStart()) != -1) return 0;
    const int err = errno;
    SLIBLog(LOG_ERR,
            stop ? "%s(%d)Failed to stop net  error=%d ,strerr=%s"
                 : "%s(%d)Failed to start net  error=%d ,strerr=%s",
            kSource, __LINE__, static_cast<int>(SLIBErrGet()), strerror(err));
    return -1;
}

extern "C" int QAVOServiceRestartfromVolumeNone(int action) {
    if (action != NETSERV_RESTART) return slib::Fail(ERR_BAD_PARAMETERS);
    if (QAVONetService(NETSERV_LPD, NETSERV_RESTART) == -1) {
        SLIBLog(LOG_ERR, "%s(%d): QAVONetService return -1", kSource, __LINE__);
        return -1;
    }
    return 0;
}

extern "C" int QAVOSetPHPConf(int on) {
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_EX, kLockTimeout) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): Failed to lock QAVOINFO", kSource, __LINE__);
        return -1;
    }
    bool ok = true;
    SLIBERRCODE failure = 0;
    if (SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "phpregisterglobal", on ? "yes" : "no",
                            SLIB_KEYVALUE_FMT_QUOTED) < 0) {
        failure = SLIBErrGet();
        SLIBLog(LOG_ERR, "%s(%d): Failed to set key value phpregisterglobal", kSource, __LINE__);
        ok = false;
    }
    try {
        if (!RewritePhpIni(on != 0)) {
            failure = SLIBErrGet();
            ok = false;
        }
    } catch (const std::bad_alloc &) {
        failure = ERR_OUT_OF_MEMORY;
        ok = false;
    }
    if (SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO) != 0 && ok) return -1;
    if (ok) return 0;
    SLIBErrSet(failure);
    return -1;
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
