#include "updt_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "flash_io.h"
#include "qavo_accfile.h"
#include "qavo_group.h"
#include "qavo_user.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "updt_analyze.h"
#include "updt_patchinfo.h"
#include "updt_redboot.h"

using qflash::Fd;
using qflash::ReadFull;
using qflash::WriteFull;

namespace {

constexpr const char kRcAtalk[] = "/usr/qavo/etc/rc.atalk";
constexpr const char kPapdConf[] = "/usr/qavo/etc/papd.conf";
constexpr const char kProfile[] = "/etc/profile";
constexpr const char kRcDir[] = "/usr/qavo/etc/rc.d";
constexpr const char kJumboFrame[] = "/usr/qavo/etc/rc.d/S78JumboFrame.sh";
constexpr const char kManutilConf[] = "/usr/qavo/etc/manutil.conf";
constexpr const char kEtcRc[] = "/etc/rc";
constexpr const char kFstab[] = "/etc/fstab";
constexpr const char kPhpIni[] = "/usr/qavo/etc/php.ini";
constexpr const char kCrontab[] = "/etc/crontab";
constexpr const char kWriteableConfigs[] = "/writeable/configs";
constexpr const char kWriteableLogs[] = "/writeable/logs";
constexpr const char kMtuKey[] = "MTUValue";

// Files that the account fix changes, itself or through the account
// database's transaction.
constexpr const char *kAccountFiles[] = {
    SZF_GROUP,     SZF_PASSWD,   SZF_SHADOW,    SZF_SMBPASSWD, SZF_SMBCONF,
    SZF_USER_MAIL, SZF_HTPASSWD, SZF_AFPD_CONF, SZF_CUR_UID,   SZF_GROUP_DESC,
};

// System accounts that the fix creates when they are missing.
constexpr const char kFtpGroupLine[] = "ftp:x:21:nobody,ftp,nobody";
constexpr const char kAnonPasswdLine[] =
    "anonymous:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin";
constexpr const char kAnonShadowLine[] = "anonymous:*:10933:0:99999:7:::";
constexpr const char kFtpPasswdLine[] = "ftp:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin";
constexpr const char kFtpShadowLine[] = "ftp:*:10933:0:99999:7:::";

// Local accounts above this id clash with the system's ftp accounts.
constexpr unsigned kSystemIdLimit = 1024;
constexpr int kEventLevel = 1;
// Flags of the account queries: local accounts only.
constexpr uint32_t kLocalOnly = 1;

// One file as it was before the migration touched it.
struct Saved {
    std::string path;
    enum Kind { kAbsent, kFile, kLink } kind = kAbsent;
    std::string copy;    // the saved bytes' file, for kFile
    std::string target;  // for kLink
    struct stat st {};
};
std::vector<Saved> gSaved;

std::string SaveDir() {
    return std::string(szUpdateDir) + "/" + UPDT_BACKUP_DIR + "/" + UPDT_CONFIG_BACKUP_DIR;
}

bool ReadWhole(const std::string &path, std::string *out) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.ok()) return false;
    out->clear();
    char buf[65536];
    for (;;) {
        ssize_t r = ReadFull(fd.fd, buf, sizeof buf);
        if (r < 0) return false;
        out->append(buf, static_cast<size_t>(r));
        if (r < static_cast<ssize_t>(sizeof buf)) return true;
    }
}

bool WriteNew(const std::string &path, const std::string &data) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    return fd.ok() && WriteFull(fd.fd, data.data(), data.size()) && fsync(fd.fd) == 0;
}

// Saves every file of paths into the backup folder; false (logged) when one
// cannot be saved, and then nothing may be changed.
bool SaveFiles(const std::vector<std::string> &paths) {
    gSaved.clear();
    const std::string dir = SaveDir();
    const std::string top = std::string(szUpdateDir) + "/" + UPDT_BACKUP_DIR;
    if (!szUpdateDir[0] || (mkdir(top.c_str(), 0700) != 0 && errno != EEXIST) ||
        (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)) {
        SLIBLog(LOG_ERR, "%s:%d(%s) cannot create [%s], errno=(%d)[%s]", __FILE__, __LINE__,
                __func__, dir.c_str(), errno, strerror(errno));
        return false;
    }
    for (const std::string &p : paths) {
        Saved s;
        s.path = p;
        if (lstat(p.c_str(), &s.st) != 0) {
            if (errno != ENOENT) {
                SLIBLog(LOG_ERR, "%s:%d(%s) cannot examine [%s], errno=(%d)[%s]", __FILE__,
                        __LINE__, __func__, p.c_str(), errno, strerror(errno));
                return false;
            }
        } else if (S_ISLNK(s.st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(p.c_str(), target, sizeof target);
            if (n < 0 || n == static_cast<ssize_t>(sizeof target)) return false;
            s.kind = Saved::kLink;
            s.target.assign(target, static_cast<size_t>(n));
        } else if (S_ISREG(s.st.st_mode)) {
            std::string data;
            s.kind = Saved::kFile;
            s.copy = dir + "/" + std::to_string(gSaved.size());
            if (!ReadWhole(p, &data) || !WriteNew(s.copy, data)) {
                SLIBLog(LOG_ERR, "%s:%d(%s) cannot save [%s] as [%s], errno=(%d)[%s]", __FILE__,
                        __LINE__, __func__, p.c_str(), s.copy.c_str(), errno, strerror(errno));
                return false;
            }
        } else {
            SLIBLog(LOG_ERR, "%s:%d(%s) [%s] is not a file", __FILE__, __LINE__, __func__,
                    p.c_str());
            return false;
        }
        gSaved.push_back(std::move(s));
    }
    return true;
}

bool RestoreOne(const Saved &s) {
    struct stat now;
    const bool exists = lstat(s.path.c_str(), &now) == 0;
    if (s.kind == Saved::kAbsent) {
        if (!exists) return true;
        return unlink(s.path.c_str()) == 0;
    }
    if (s.kind == Saved::kLink) {
        char target[4096];
        if (exists && S_ISLNK(now.st_mode)) {
            ssize_t n = readlink(s.path.c_str(), target, sizeof target);
            if (n >= 0 && std::string(target, static_cast<size_t>(n)) == s.target) return true;
        }
        if (exists && unlink(s.path.c_str()) != 0) return false;
        return symlink(s.target.c_str(), s.path.c_str()) == 0;
    }
    std::string data, current;
    if (!ReadWhole(s.copy, &data)) return false;
    if (exists && S_ISREG(now.st_mode) && ReadWhole(s.path, &current) && current == data &&
        (now.st_mode & 07777) == (s.st.st_mode & 07777) && now.st_uid == s.st.st_uid &&
        now.st_gid == s.st.st_gid)
        return true;
    if (exists && !S_ISREG(now.st_mode) && unlink(s.path.c_str()) != 0) return false;
    slib::RewriteSet rw;
    FILE *fp = rw.Open(s.path, s.st);
    if (!fp) return false;
    if (fwrite(data.data(), 1, data.size(), fp) != data.size()) return false;
    return rw.Commit();
}

void LogRemoveFailure(int line, const char *path) {
    int e = errno;
    SLIBLog(LOG_ERR, "%s:%d(%s) Failed to update [%s], errno=(%d)[%s]", __FILE__, line,
            "UPDTUpdateConfig", path, e, strerror(e));
}

// Removes a file; a missing file counts as removed. false with errno set.
bool RemoveFile(const char *path) {
    return remove(path) == 0 || errno == ENOENT;
}

// The entries a shell's "dir/*" would give: names not starting with ".".
bool ListEntries(const char *dir, std::vector<std::string> *out) {
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir), closedir);
    if (!d) return errno == ENOENT;
    std::vector<std::string> names;
    while (dirent *e = readdir(d.get()))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    std::sort(names.begin(), names.end());
    for (auto &n : names)
        out->push_back(std::string(dir) + "/" + n);
    return true;
}

// Copies the configuration and logs of "/writeable" to the volume; the
// folders may be missing or empty.
int MigrateWriteable() {
    int result = 0;
    const std::string dest = std::string(szVolume) + "/" + UPDT_SAVED_CONFIG_DIR;
    const char *mkdirArgv[] = {"/bin/mkdir", "-p", dest.c_str(), nullptr};
    SLIBLog(LOG_ERR, "szCmd=[/bin/mkdir -p %s]", dest.c_str());
    if (SLIBProcExecWaitArgv(mkdirArgv, nullptr, nullptr) != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) Failed to execute szCmd=[/bin/mkdir -p %s], errno=(%d)[%s]",
                __FILE__, __LINE__, __func__, dest.c_str(), errno, strerror(errno));
        result = -1;
    }
    std::vector<std::string> items;
    if (!ListEntries(kWriteableConfigs, &items) || !ListEntries(kWriteableLogs, &items)) {
        SLIBLog(LOG_ERR, "%s:%d(%s) Failed to list %s and %s, errno=(%d)[%s]", __FILE__, __LINE__,
                __func__, kWriteableConfigs, kWriteableLogs, errno, strerror(errno));
        return -1;
    }
    if (items.empty()) return result;  // nothing to copy
    std::vector<const char *> argv = {"/bin/cp", "-a"};
    std::string shown = "/bin/cp -a";
    for (auto &i : items) {
        argv.push_back(i.c_str());
        shown += " " + i;
    }
    argv.push_back(dest.c_str());
    argv.push_back(nullptr);
    shown += " " + dest;
    SLIBLog(LOG_ERR, "szCmd=[%s]", shown.c_str());
    if (SLIBProcExecWaitArgv(argv.data(), nullptr, nullptr) != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) Failed to execute szCmd=[%s], errno=(%d)[%s]", __FILE__,
                __LINE__, __func__, shown.c_str(), errno, strerror(errno));
        result = -1;
    }
    return result;
}

// Removes every uncommented crontab line holding text; false on a failure.
bool DropCrontabLines(const char *text) {
    if (access(kCrontab, F_OK) != 0) return true;  // no crontab, no job
    for (;;) {
        int r = SLIBFileSetLine(kCrontab, text, nullptr, 0);
        if (r == 0) return true;
        if (r < 0) return false;
    }
}

// The first of base1 .. baseMax that exists not, in a buffer of size bytes.
template <typename Known>
bool FreeName(const char *base, int max, size_t size, Known known, std::string *out) {
    std::vector<char> buf(size);
    for (int i = 1; i <= max; ++i) {
        int n = snprintf(buf.data(), size, "%s%d", base, i);
        if (n < 0 || static_cast<size_t>(n) >= size) return false;
        if (!known(buf.data())) {
            *out = buf.data();
            return true;
        }
    }
    return false;
}

bool GroupKnown(const char *name) {
    return getgrnam(name) != nullptr;
}
bool UserKnown(const char *name) {
    return getpwnam(name) != nullptr;
}

// Gives a local group "ftp" the first free name ftp1 .. ftp63.
bool RenameFtpGroup() {
    struct group *gr = getgrnam("ftp");
    if (!gr || gr->gr_gid <= kSystemIdLimit) return true;
    std::string newName;
    if (!FreeName("ftp", 63, 8, GroupKnown, &newName)) {
        SLIBLog(LOG_ERR, "%s (%d) No free name for the group [ftp].", __FILE__, __LINE__);
        return false;
    }
    int needed = 0;
    if (QAVOGroupGet(kLocalOnly, 1, "ftp", nullptr, 0, &needed) < 0 || needed <= 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to QAVOGroupGet() group [ftp].", __FILE__, __LINE__);
        return false;
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[static_cast<size_t>(needed)]);
    if (!buf) {
        SLIBLog(LOG_ERR, "%s (%d) Failed QAVOMalloc(%d).", __FILE__, __LINE__, needed);
        return false;
    }
    auto *group = reinterpret_cast<QAVOGROUP *>(buf.get());
    if (QAVOGroupGet(kLocalOnly, 1, "ftp", group, needed, &needed) < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to QAVOGroupGet() group [ftp].", __FILE__, __LINE__);
        return false;
    }
    group[0] = newName.data();
    if (QAVOGroupSet(kLocalOnly, 1, "ftp", const_cast<const char **>(group)) <= 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to rename the group [ftp] to [%s].", __FILE__, __LINE__,
                newName.c_str());
        return false;
    }
    QAVOLogEventWrite(QAVOLOG_CLASS_MAN, kEventLevel, UPDT_EVENT_GROUP_RENAMED, "ftp",
                      newName.c_str(), "", "");
    return true;
}

// Inserts the account's lines at the top of their files.
bool AddAccountLine(const char *path, const char *line) {
    if (SLIBFileAddLine(path, nullptr, line, 0) > 0) return true;
    SLIBLog(LOG_ERR, "%s (%d) Failed to SLIBFileAddLine in to %s.", __FILE__, __LINE__, path);
    return false;
}

bool FixFtpAccounts() {
    if (!RenameFtpGroup()) return false;
    if (UPDTRenameSystemUser("ftp") < 0 || UPDTRenameSystemUser("anonymous") < 0) return false;
    if (!GroupKnown("ftp") && !AddAccountLine(SZF_GROUP, kFtpGroupLine)) return false;
    if (!UserKnown("anonymous") && !(AddAccountLine(SZF_PASSWD, kAnonPasswdLine) &&
                                     AddAccountLine(SZF_SHADOW, kAnonShadowLine)))
        return false;
    if (!UserKnown("ftp") &&
        !(AddAccountLine(SZF_PASSWD, kFtpPasswdLine) && AddAccountLine(SZF_SHADOW, kFtpShadowLine)))
        return false;
    return true;
}

// The files the chosen steps may remove or edit.
std::vector<std::string> FilesToSave() {
    std::vector<std::string> p;
    if (blRemoveRcAtalk) p.push_back(kRcAtalk);
    if (blRemovePapdConf) p.push_back(kPapdConf);
    if (blFixFtpAccounts) p.insert(p.end(), std::begin(kAccountFiles), std::end(kAccountFiles));
    if (blRemoveProfile) p.push_back(kProfile);
    if (blRemoveJumboFrame) p.push_back(kJumboFrame);
    p.push_back(kManutilConf);
    if (blMigrateWriteable) {
        p.push_back(kEtcRc);
        p.push_back(kFstab);
    }
    p.push_back(kPhpIni);
    p.push_back(kCrontab);
    if (blFixMTUValue) p.push_back(SLIB_QAVOINFO_PATH);
    return p;
}

int Migrate() {
    int result = 0;
    auto removeStep = [&](const char *path, int line) {
        if (!RemoveFile(path)) {
            LogRemoveFailure(line, path);
            result = -1;
        }
    };
    if (blRemoveRcAtalk) removeStep(kRcAtalk, __LINE__);
    if (blRemovePapdConf) removeStep(kPapdConf, __LINE__);
    if (blFixFtpAccounts && !FixFtpAccounts()) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to add ftp user/group.", __FILE__, __LINE__);
        result = -1;
    }
    if (blRemoveProfile && !RemoveFile(kProfile)) {
        SLIBLog(LOG_ERR, "%s:%d(%s) Failed to remove /etc/profile, errno=(%d)[%s]", __FILE__,
                __LINE__, __func__, errno, strerror(errno));
        result = -1;
    }
    if (blRemoveJumboFrame && !RemoveFile(kJumboFrame)) {
        SLIBLog(LOG_ERR, "%s:%d(%s) Failed to remove S78JumboFrame.sh in %s, errno=(%d)[%s]",
                __FILE__, __LINE__, __func__, kRcDir, errno, strerror(errno));
        result = -1;
    }
    removeStep(kManutilConf, __LINE__);
    if (blMigrateWriteable) {
        // The copy goes first: what it takes is on the volume before anything
        // of the old system is removed.
        if (MigrateWriteable() != 0) result = -1;
        for (const char *path : {kEtcRc, kFstab}) {
            if (!RemoveFile(path)) {
                SLIBLog(LOG_ERR, "%s:%d(%s) Failed to remove %s, errno=(%d)[%s]", __FILE__,
                        __LINE__, __func__, path, errno, strerror(errno));
                result = -1;
            }
        }
    }
    if (!RemoveFile(kPhpIni))
        SLIBLog(LOG_ERR, "%s:%d(%s) Failed to remove /usr/qavo/etc/php.ini, errno=(%d)[%s]",
                __FILE__, __LINE__, __func__, errno, strerror(errno));
    if (!DropCrontabLines("vacuumdb"))
        SLIBLog(LOG_ERR, "%s(%d) Failed to remove vacuumdb from crontab.", __FILE__, __LINE__);
    if (!DropCrontabLines("/bin/rm -f /var/log/*.html"))
        SLIBLog(LOG_ERR, "%s(%d) Failed to remove \"rm -f /var/log/*.html\" from crontab.",
                __FILE__, __LINE__);
    if (blFixMTUValue) {
        char mtu[32] = {};
        const char *to = nullptr;
        if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, kMtuKey, mtu, sizeof mtu, 0) > 0) {
            if (strcmp(mtu, "4074") == 0) to = "4000";
            if (strcmp(mtu, "9000") == 0) to = "8000";
        }
        if (to &&
            SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, kMtuKey, to, SLIB_KEYVALUE_FMT_QUOTED) < 0)
            SLIBLog(LOG_ERR, "%s(%d) Failed to update MTUValue in /etc/qavoinfo.conf.", __FILE__,
                    __LINE__);
    }
    return result;
}

}  // namespace

extern "C" int UPDTRenameSystemUser(const char *name) {
    if (!name) return -1;
    struct passwd *pw = getpwnam(name);
    if (!pw || pw->pw_uid <= kSystemIdLimit) return 0;
    std::string newName;
    if (!FreeName(name, 127, 64, UserKnown, &newName)) return -1;
    int needed = 0;
    if (QAVOUserGet(kLocalOnly, QAVO_USER_LOCAL, name, nullptr, 0, &needed) < 0 || needed <= 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to run QAVOUserGet() for user %s", __FILE__, __LINE__,
                name);
        return -1;
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[static_cast<size_t>(needed)]);
    if (!buf) {
        SLIBLog(LOG_ERR, "%s (%d) Failed QAVOMalloc(%d).", __FILE__, __LINE__, needed);
        return -1;
    }
    auto *user = reinterpret_cast<QAVOUSER *>(buf.get());
    if (QAVOUserGet(kLocalOnly, QAVO_USER_LOCAL, name, user, needed, &needed) <= 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to QAVOUserGet() user [%s].", __FILE__, __LINE__, name);
        return -1;
    }
    std::string oldName = name;  // name may point into the platform's buffer
    QAVOUSERSET rec{};
    rec.nType = QAVO_USER_LOCAL;
    rec.szOldName = oldName.data();
    rec.szName = newName.data();
    rec.szPasswd = user->password;  // the stored hash: the password stays
    rec.szDesc = user->description;
    rec.nExpire = user->expiry;
    // The mail address moves with the user.
    rec.szMail = user->mail && user->mail[0] ? user->mail : nullptr;
    if (QAVOUserSet(QAVO_USER_LOCAL, &rec, 1) <= 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to rename the user [%s] to [%s].", __FILE__, __LINE__,
                oldName.c_str(), newName.c_str());
        return -1;
    }
    QAVOLogEventWrite(QAVOLOG_CLASS_MAN, kEventLevel, UPDT_EVENT_USER_RENAMED, oldName.c_str(),
                      newName.c_str(), "", "");
    return 0;
}

extern "C" int UPDTUpdateConfig(void) {
    try {
        if (!SaveFiles(FilesToSave())) {
            SLIBLog(LOG_ERR, "%s:%d(%s) the configuration cannot be saved; nothing was changed",
                    __FILE__, __LINE__, __func__);
            gSaved.clear();
            return -1;
        }
        return Migrate();
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s:%d(%s) out of memory", __FILE__, __LINE__, __func__);
        return -1;
    }
}

extern "C" int UPDTRestoreConfig(void) {
    int result = 0;
    try {
        for (auto it = gSaved.rbegin(); it != gSaved.rend(); ++it) {
            if (RestoreOne(*it)) continue;
            SLIBLog(LOG_ERR, "%s:%d(%s) Failed to put back [%s], errno=(%d)[%s]", __FILE__,
                    __LINE__, __func__, it->path.c_str(), errno, strerror(errno));
            result = -1;
        }
    } catch (const std::bad_alloc &) {
        result = -1;
    }
    gSaved.clear();
    return result;
}
