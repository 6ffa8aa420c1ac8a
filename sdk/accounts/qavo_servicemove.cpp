// Moving the built-in services' data between volumes.
#include "qavo_servicemove.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "qavo_netservice.h"
#include "qavo_service.h"
#include "qavo_sharedir.h"
#include "qavo_sharelookup.h"
#include "qavo_sharemgmt.h"
#include "qavo_volume.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = "sdk/qavoservice";
constexpr const char *kDatabase = "database";
constexpr const char *kMysqlScript = "/usr/qavo/etc/rc.d/S21mysql.sh";
// How long a stopped daemon may take to go.
constexpr int kStopWaitRounds = 200;
constexpr useconds_t kStopWaitPause = 50000;

enum class Folder { kEmpty, kHoldsData, kMissing, kUnreadable };

// Whether a folder holds anything; a folder that cannot be listed is
// unreadable, never taken for empty.
Folder Examine(const char *path) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(path), closedir);
    if (!dir) return errno == ENOENT || errno == ENOTDIR ? Folder::kMissing : Folder::kUnreadable;
    errno = 0;
    while (struct dirent *e = readdir(dir.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) return Folder::kHoldsData;
        errno = 0;
    }
    return errno == 0 ? Folder::kEmpty : Folder::kUnreadable;
}

// The daemon that works on a service's data while it runs.
struct Daemon {
    const char *pidFile = nullptr;  // nullptr: none
    uint32_t netServ = 0;           // request bit of QAVONetService, or 0
    uint32_t done = 0;              // its result bit
    const char *script = nullptr;   // start script run directly
};

Daemon DaemonOf(int id) {
    switch (id) {
        case SERVICE_DOWNLOAD:
            return {"/var/run/scheduler.pid", NETSERV_DOWNLOAD, NETSERV_DONE_DOWNLOAD, nullptr};
        case SERVICE_SPOOL:
            return {"/var/run/lpd.pid", NETSERV_LPD, NETSERV_DONE_LPD, nullptr};
        case SERVICE_MYSQL:
            return {"/var/run/mysqld.pid", 0, 0, kMysqlScript};
        default:
            return {};
    }
}

bool RunDaemon(const Daemon &d, bool start) {
    if (d.script) {
        SLIBLog(LOG_INFO, "%s(%d) %s %s", kSource, __LINE__, d.script, start ? "start" : "stop");
        return SLIBProcExecWait(d.script, start ? "start" : "stop", nullptr, nullptr, nullptr) == 0;
    }
    const int r = QAVONetService(d.netServ, start ? NETSERV_START : NETSERV_STOP);
    return r >= 0 && (static_cast<uint32_t>(r) & d.done) != 0;
}

// Stops the daemon for the copy when it runs: a live database copied would
// be torn. *ran tells whether it must be started again. False when it runs
// on after the stop.
bool StopDaemon(const Daemon &d, bool *ran) {
    *ran = false;
    if (!d.pidFile || !BlSLIBProcIsPidFileAlive(d.pidFile)) return true;
    *ran = true;
    if (!RunDaemon(d, false)) {
        SLIBLog(LOG_ERR, "%s(%d) stop of the daemon of %s reported failure", kSource, __LINE__,
                d.pidFile);
    }
    for (int i = 0; i < kStopWaitRounds && BlSLIBProcIsPidFileAlive(d.pidFile); ++i)
        usleep(kStopWaitPause);
    if (!BlSLIBProcIsPidFileAlive(d.pidFile)) return true;
    SLIBErrSet(ERR_SYSTEM_CALL);
    SLIBLog(LOG_ERR, "%s(%d)[%X] the daemon of %s does not stop", kSource, __LINE__, SLIBErrGet(),
            d.pidFile);
    return false;
}

void StartDaemon(const Daemon &d, bool ran) {
    if (!ran) return;
    const SLIBERRCODE code = SLIBErrGet();
    if (!RunDaemon(d, true)) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to start the daemon of %s again", kSource, __LINE__,
                d.pidFile);
    }
    SLIBErrSet(code);
}

std::string VolumeRoot(int volume) {
    return std::string(QAVO_VOLUME_PREFIX) + std::to_string(volume);
}

// "/volumeN/[parent/]folder".
std::string DataPath(int volume, const char *parent, const char *folder) {
    std::string p = VolumeRoot(volume) + "/";
    if (parent) p += std::string(parent) + "/";
    return p + folder;
}

// Volume N must be mounted and writable before anything is made on it.
bool Writable(int volume) {
    int health = 0;
    if (QAVOVolHealthCheck(volume, &health) != 0) return false;
    if (health == QAVO_VOLUME_WRITABLE) return true;
    SLIBErrSet(health == QAVO_VOLUME_NOT_MOUNTED ? ERR_VOLUME_CRASHED : ERR_VOLUME_READONLY);
    SLIBLog(LOG_ERR, "%s(%d)[%X] volume %d is not writable (health %d)", kSource, __LINE__,
            SLIBErrGet(), volume, health);
    return false;
}

int PrepareFailed(int volume) {
    SLIBLog(LOG_ERR, "%s(%d)[%X] Failed to QAVOServiceVolumeSet : iVolID = %d , szVol=%s", kSource,
            __LINE__, SLIBErrGet(), volume, VolumeRoot(volume).c_str());
    return -1;
}

}  // namespace

extern "C" int CheckTargetFolderSize(const char *folder, const char *parent, int srcVolume,
                                     int dstVolume) {
    if (!folder || srcVolume <= 0 || dstVolume < 1) {
        SLIBLog(LOG_ERR, "%s(%d) Bad parameters.", kSource, __LINE__);
        return -1;
    }
    char source[1024];
    const int n =
        parent ? snprintf(source, sizeof(source), "%s%d/%s/%s", QAVO_VOLUME_PREFIX, srcVolume,
                          parent, folder)
               : snprintf(source, sizeof(source), "%s%d/%s", QAVO_VOLUME_PREFIX, srcVolume, folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(source)) {
        // A cut path would measure some other folder.
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIBLog(LOG_ERR, "%s(%d) Bad parameters.", kSource, __LINE__);
        return -1;
    }
    const int64_t size = SLIBGetDirSize(source);
    if (size == -1) {
        SLIBLog(LOG_ERR, "%s(%d) function SLIBGetDirSize error", kSource, __LINE__);
        return -1;
    }
    char target[32];
    snprintf(target, sizeof(target), "%s%d", QAVO_VOLUME_PREFIX, dstVolume);
    const uint64_t free = SLIBGetFsFreeSize(target);
    if (free == 0) {
        SLIBLog(LOG_ERR, "%s(%d) function SLIBGetFsFreeSize error", kSource, __LINE__);
        return -1;
    }
    SLIBLog(LOG_INFO, "%lld %lld", static_cast<long long>(size), static_cast<long long>(free));
    return static_cast<uint64_t>(size) > free ? 1 : 0;
}

extern "C" int QAVOServiceShareRemove(int id) {
    QAVOSERVICE svc;
    const int linked = QAVOServiceInfoGet(id, &svc);
    if (linked < 0) {
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to get volume path  : id = %d , sharename = %s",
                      id, "");
        return -1;
    }
    if (linked == 0) return 0;
    if (svc.szTarget[0] == '\0') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    auto failed = [&]() {
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to QAVOServiceShareRemove : share name= %s ",
                      svc.szName);
        return -1;
    };
    // Only what is empty goes; emptiness that cannot be told removes nothing.
    const Folder target = Examine(svc.szTarget);
    switch (target) {
        case Folder::kHoldsData:
            return 0;
        case Folder::kUnreadable:
            SLIBErrSet(ERR_UNICODE);
            SLIBLog(LOG_ERR, "%s(%d)[%X] cannot read %s", kSource, __LINE__, SLIBErrGet(),
                    svc.szTarget);
            return failed();
        case Folder::kMissing:
            SLIBErrSet(ERR_SHARE_DATA_MISSING);
            break;
        case Folder::kEmpty:
            break;
    }
    if (svc.iShareType == SERVICE_SHARE_SHARE) {
        PQAVOSHARE share = QAVOShareGetCaseLess(svc.szName);
        if (!share) {
            SLIBErrSet(ERR_NO_SUCH_SHARE);
            SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X]QAVOShareGetCaseLess , ShareName=%s", svc.szName);
        } else {
            std::string name, path;
            try {
                name = share->szName;
                path = share->szPath;
            } catch (const std::bad_alloc &) {
                QAVOShareFree(share);
                SLIBErrSet(ERR_OUT_OF_MEMORY);
                return failed();
            }
            QAVOShareFree(share);
            // The share's own folder goes with it: it must be empty too.
            const Folder own = path.empty() ? Folder::kMissing : Examine(path.c_str());
            if (own == Folder::kHoldsData) return 0;
            if (own == Folder::kUnreadable) {
                SLIBErrSet(ERR_UNICODE);
                return failed();
            }
            const char *names[] = {name.c_str()};
            if (QAVOShareDelete(names, 1) < 0) {
                SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to remove share %s", name.c_str());
                return failed();
            }
            ErrServiceHup();
        }
    } else if (target == Folder::kEmpty) {
        // Empty when looked at: rmdir(2) removes it only while it still is.
        if (rmdir(svc.szTarget) != 0) {
            if (errno == ENOTEMPTY || errno == EEXIST) return 0;
            SLIBErrSet(ERR_SHARE_RMDIR);
            SLIBLog(LOG_ERR, "%s(%d)Failed to rmdir : %s", kSource, __LINE__, svc.szTarget);
            return failed();
        }
    }
    if (QAVOServiceLinkRemove(id) == 0 || SLIBErrGet() == ERR_MISSING_FILE) return 1;
    SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to remove link : id = %d , sharename = %s", id,
                  svc.szName);
    return -1;
}

extern "C" int QAVOServiceVolumeSet(int id, int volume) {
    if (!BlQAVOVolIDIsValid(volume)) return slib::Fail(ERR_BAD_PARAMETERS);
    QAVOSERVICE svc;
    if (QAVOServiceInfoGet(id, &svc) < 0) {
        SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to Get info of service id = %d: iVolID = %d", id,
                      volume);
        return -1;
    }
    try {
        const int old = svc.volume;
        const bool relink = old <= 0 || old != volume;
        const bool move = old > 0 && old != volume;
        std::string linkName = svc.szName;
        bool prepare = false;
        switch (svc.iShareType) {
            case SERVICE_SHARE_HIDDEN:
                prepare =
                    !slib::IsDirectory(DataPath(volume, nullptr, ("@" + linkName).c_str()).c_str());
                break;
            case SERVICE_SHARE_SHARE: {
                // A share moves with its share's path, never here: linking
                // another volume would point the service at nothing.
                if (move) {
                    SLIBErrSet(ERR_BAD_PARAMETERS);
                    SLIBLog(LOG_ERR, "%s(%d)[%X] share %s moves with its share, not to volume %d",
                            kSource, __LINE__, SLIBErrGet(), svc.szName, volume);
                    return -1;
                }
                PQAVOSHARE share = QAVOShareGetCaseLess(svc.szName);
                if (share) {
                    linkName = share->szName;
                    const int on = QAVOVolIDGetByPath(share->szPath);
                    QAVOShareFree(share);
                    if (on != volume) {
                        SLIBErrSet(ERR_BAD_PARAMETERS);
                        SLIBLog(LOG_ERR, "%s(%d)[%X] share %s lies on volume %d, not %d", kSource,
                                __LINE__, SLIBErrGet(), linkName.c_str(), on, volume);
                        return -1;
                    }
                } else {
                    prepare = true;
                }
                break;
            }
            case SERVICE_SHARE_DATABASE:
                break;
            default:
                SLIBErrSet(ERR_BAD_PARAMETERS);
                SLIBLog(LOG_ERR, "%s(%d)Error share type for service = %d", kSource, __LINE__, id);
                return -1;
        }
        const bool database = svc.iShareType == SERVICE_SHARE_DATABASE;
        const std::string folder = database ? svc.szName : "@" + std::string(svc.szName);
        const std::string parent = database ? "@" + std::string(kDatabase) : "";
        const char *parentArg = database ? parent.c_str() : nullptr;

        // The space first: a target too small changes nothing.
        if (move) {
            SLIBLog(LOG_INFO, "szTmpShareName: %s", folder.c_str());
            const int fits = CheckTargetFolderSize(folder.c_str(), parentArg, old, volume);
            if (fits != 0) {
                SLIBLog(LOG_ERR,
                        fits < 0 ? "%s (%d) Failed to get check free space. [Volume %d] "
                                 : "%s (%d) Not enough free space",
                        kSource, __LINE__, volume);
                SLIBErrSet(ERR_VOLUME_SPACE);
                return -1;
            }
        }
        // What this call makes on the target, removed again on failure.
        std::string madeFolder, madeDatabase;
        auto undoMade = [&]() {
            const SLIBERRCODE code = SLIBErrGet();
            if (!madeFolder.empty()) rmdir(madeFolder.c_str());
            if (!madeDatabase.empty()) rmdir(madeDatabase.c_str());
            SLIBErrSet(code);
            return -1;
        };
        if (prepare) {
            if (!Writable(volume)) return PrepareFailed(volume);
            if (svc.iShareType == SERVICE_SHARE_SHARE) {
                const std::string path = DataPath(volume, nullptr, svc.szName);
                QAVOSHARE share{};
                share.szName = svc.szName;
                share.szComment = const_cast<char *>("");
                share.szPath = const_cast<char *>(path.c_str());
                share.szDeny = const_cast<char *>("");
                share.szRW = const_cast<char *>("admin");
                share.szRO = const_cast<char *>("");
                share.fType = QAVOSHARE_ACCESS_RW;
                share.fBrowseable = 1;
                if (QAVOShareSet(1, nullptr, &share) != 1 && SLIBErrGet() != ERR_SHARE_EXISTS) {
                    SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] failed to Set share");
                    return PrepareFailed(volume);
                }
                ErrServiceHup();
            } else {
                const std::string path = DataPath(volume, nullptr, folder.c_str());
                struct stat st;
                if (lstat(path.c_str(), &st) == 0 &&
                    SLIBProcExecWait("/bin/rm", "-Rf", "--", path.c_str(), nullptr) != 0) {
                    SLIBLog(LOG_ERR, "%s(%d)Failed to rmdir : %s , err=%d", kSource, __LINE__,
                            path.c_str(), errno);
                    SLIBErrSet(ERR_SHARE_RMDIR);
                    return PrepareFailed(volume);
                }
                if (QAVOShareSetDestFolder(path.c_str(), 0, 0755) != 0) {
                    SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to prepare path = %s", path.c_str());
                    return PrepareFailed(volume);
                }
                madeFolder = path;
            }
        }
        if (move) {
            if (database) {
                const std::string dir = DataPath(volume, nullptr, parent.c_str());
                const bool existed = slib::IsDirectory(dir.c_str());
                if (!existed && !Writable(volume)) return undoMade();
                if (QAVOShareSetDestFolder(dir.c_str(), 1, 0755) != 0) {
                    SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to prepare dir = %s", dir.c_str());
                    return undoMade();
                }
                if (!existed) madeDatabase = dir;
                if (SLIBProcExecWait("/bin/chown", "admin", "--", dir.c_str(), nullptr) != 0) {
                    const int err = errno;
                    SLIBErrSet(ERR_SYSTEM_CALL);
                    SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to chown admin : %s , errno=%s",
                                  dir.c_str(), strerror(err));
                    return undoMade();
                }
            }
            struct stat source;
            const mode_t sourceMode =
                stat(DataPath(old, parentArg, folder.c_str()).c_str(), &source) == 0
                    ? source.st_mode & 07777
                    : 0;
            const Daemon daemon = DaemonOf(id);
            bool ran = false;
            if (!StopDaemon(daemon, &ran)) {
                StartDaemon(daemon, ran);
                return undoMade();
            }
            if (QAVOShareCopy2Tmp(old, volume, parentArg, folder.c_str(), folder.c_str()) != 0) {
                SLIBErrSet(ERR_SHARE_COPY);
                SLIB_LOG_CODE(LOG_ERR,
                              "%s(%d)[%X] Failed to Copy share's data to @tmp: oldvolume = %d , "
                              "newvolume = %d , oldshare=%s, newshare=%s",
                              old, volume, folder.c_str(), folder.c_str());
                StartDaemon(daemon, ran);
                return undoMade();
            }
            if (QAVOShareTmp2New(volume, parentArg, folder.c_str()) != 0) {
                SLIBErrSet(ERR_RENAME_FAILED);
                SLIB_LOG_CODE(LOG_ERR,
                              "%s(%d)[%X] Failed to Move share's data to new share: oldvolume = "
                              "%d , newvolume = %d , oldshare=%s, newshare=%s",
                              old, volume, folder.c_str(), folder.c_str());
                StartDaemon(daemon, ran);
                return undoMade();
            }
            const std::string moved = DataPath(volume, parentArg, folder.c_str());
            // The staged folder is opened up for shares; a service's data
            // keeps the mode it had (a database folder is no public one).
            if (sourceMode != 0) chmod(moved.c_str(), sourceMode);
            // The link first: until it names the copy, the old folder is the
            // service's data and stays.
            if (QAVOServiceLinkSet(id, linkName.c_str(), volume) != 0) {
                SLIB_LOG_CODE(LOG_ERR,
                              "%s(%d)[%X] Failed to Set link for sharename = %s: iVolID = %d",
                              linkName.c_str(), volume);
                const SLIBERRCODE code = SLIBErrGet();
                SHAREIRemoveDir(moved.c_str(), 0);
                SLIBErrSet(code);
                StartDaemon(daemon, ran);
                madeFolder.clear();
                return undoMade();
            }
            StartDaemon(daemon, ran);
            const std::string from = DataPath(old, parentArg, folder.c_str());
            if (SHAREIRemoveDir(from.c_str(), 0) != 1) {
                SLIB_LOG_CODE(LOG_ERR,
                              "%s(%d)[%X]SHAREIRemoveDir() failed, szPath == [%s], type == [0]\n",
                              from.c_str());
            }
            return 0;
        }
        if (relink && QAVOServiceLinkSet(id, linkName.c_str(), volume) != 0) {
            SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to Set link for sharename = %s: iVolID = %d",
                          linkName.c_str(), volume);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
