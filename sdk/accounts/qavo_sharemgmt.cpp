// Share management: share sections of smb.conf written, renamed and removed
// under the smb.conf lock held exclusive, with the share folders, service
// links, USB-backup list, USB-copy destination and default share in step.
#include "qavo_sharemgmt.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "account_snapshot.h"
#include "qavo_accfile.h"
#include "qavo_netbkptask.h"
#include "qavo_service.h"
#include "qavo_sharedir.h"
#include "qavo_usbbackup.h"
#include "qavo_usbcopy.h"
#include "qavo_volume.h"
#include "qavo_windomain.h"
#include "share_batch.h"
#include "share_path.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_rewrite.h"
#include "slib_section.h"
#include "slib_sectionindex.h"
#include "slib_str.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"
#include "slib_validate.h"

namespace {

constexpr const char *kSource = "sdk/qavoshare";
constexpr const char *kFormat = "\t%s=%s\n";
constexpr const char *kDefaults = "/etc.defaults/qavoinfo.conf";
constexpr int kLockTimeout = 5;
constexpr size_t kCommentMax = 1022;
constexpr int kNameSize = 492;

// The smb.conf lock held exclusive for the lifetime of the guard; a failed
// release sets 0x0500.
struct SmbConfWriteLock : slib::CheckedLock {
    SmbConfWriteLock() : CheckedLock(SLIB_LOCK_SMB, SLIB_LOCK_EX, kLockTimeout) {}
};

using SzHashPtr = slib::SzHashPtr;

bool IsReserved(const char *name) {
    for (const char *r : {"global", "homes", "printers", "home"}) {
        if (strcasecmp(name, r) == 0) return true;
    }
    return false;
}

bool HasControl(const char *s) {
    for (; *s; ++s) {
        if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F) return true;
    }
    return false;
}

// The comment as written: quoted, its text cut to at most 1022 bytes at a
// character boundary.
std::string QuotedComment(const char *comment) {
    std::string text = comment ? comment : "";
    if (text.size() > kCommentMax) {
        size_t cut = kCommentMax;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    return "\"" + text + "\"";
}

// A section read into a hash; null when it has no pairs.
SzHashPtr ReadSection(const char *path, const char *name, int size = 8192) {
    SzHashPtr hash(PshSLIBSzHashAlloc(size));
    if (!hash) return nullptr;
    PSLIBSZHASH h = hash.release();
    const int pairs = SLIBFileGetSection(path, name, &h);
    hash.reset(h);
    if (pairs <= 0) return nullptr;
    return hash;
}

// The section names of smb.conf.
bool SectionNames(std::vector<std::string> *out) {
    slib::SzListPtr list(PslSLIBSzListAlloc(8192));
    if (!list) return false;
    PSLIBSZLIST l = list.release();
    const int r = SLIBFileEnumSection(SZF_QAVO_SMB_CONF, &l);
    list.reset(l);
    if (r < 0) return false;
    for (int i = 0; i < l->nItem; ++i)
        out->emplace_back(l->pszItem[i]);
    return true;
}

int ValidUserList(const char *list, char *out, const sdk::AccountSnapshot *accounts);

// The valid, de-duplicated names of a caller's list, or false on failure;
// the accounts are looked up in a snapshot of the account files when one is
// given.
bool FilteredList(const char *list, std::string *out, bool keepOnDedupFailure,
                  const sdk::AccountSnapshot *accounts) {
    const std::string in = list ? list : "";
    std::vector<char> buf(in.size() + 1, '\0');
    if (ValidUserList(list, buf.data(), accounts) < 0) return false;
    if (RemoveSameUsers(buf.data()) < 0 && !keepOnDedupFailure) return false;
    *out = buf.data();
    while (!out->empty() && out->back() == ',')
        out->pop_back();
    return true;
}

std::string Framed(const std::string &names) {
    return names.empty() ? "nobody,nobody" : "nobody," + names + ",nobody";
}

// "/volumeN/<sub>/<leaf>" split into the part between the root and the
// leaf (may be empty) and the leaf.
void SplitSharePath(const std::string &path, std::string *sub, std::string *leaf) {
    const size_t rootEnd = path.find('/', 1);
    const size_t last = path.rfind('/');
    *leaf = path.substr(last + 1);
    *sub = last > rootEnd ? path.substr(rootEnd + 1, last - rootEnd - 1) : "";
}

// True when the path is a directory holding nothing.
bool IsEmptyDir(const char *path) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(path), closedir);
    if (!dir) return false;
    while (struct dirent *e = readdir(dir.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) return false;
    }
    return true;
}

// The "path" of every share section but the ones named in skip.
std::vector<std::string> OtherSharePaths(const std::set<std::string> &skip) {
    std::vector<std::string> names, paths;
    if (!SectionNames(&names)) return paths;
    for (const std::string &n : names) {
        if (skip.count(n)) continue;
        SzHashPtr h = ReadSection(SZF_QAVO_SMB_CONF, n.c_str(), 1024);
        if (!h) continue;
        if (const char *p = SzSLIBSzHashGetValue(h.get(), "path")) paths.emplace_back(p);
    }
    return paths;
}

bool UsedByOthers(const std::string &path, const std::vector<std::string> &others) {
    for (const std::string &o : others) {
        if (shareint::PathsOverlap(path, o)) return true;
    }
    return false;
}

// The USB-backup share list with its names, empty when it cannot be read.
struct BackupShares {
    std::unique_ptr<char *[], void (*)(char **)> buf { nullptr, [](char **p) { free(p); } };
    int count = 0;
    explicit BackupShares(const char *tag) {
        int needed = 0;
        const int n = USBBKPGetBackupShares(nullptr, 0, &needed);
        if (n <= 0) {
            if (n < 0) SLIBLog(LOG_ERR, "qavoshare: %s(): USBBKPGetBackupShares() failed\n", tag);
            return;
        }
        buf.reset(static_cast<char **>(calloc(1, static_cast<size_t>(needed))));
        if (!buf) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            SLIBLog(LOG_ERR, "qavoshare: %s(): QAVOMAlloc() failed\n", tag);
            return;
        }
        count = USBBKPGetBackupShares(buf.get(), needed, &needed);
        if (count < 0) {
            SLIBLog(LOG_ERR, "qavoshare: %s(): USBBKPGetBackupShares() failed\n", tag);
            count = 0;
        }
    }
};

// Keeps the rights map of a USB or eSATA share in step with its record.
void UpdateRightsMap(const char *name, const char *comment, const std::string &deny,
                     const std::string &rw, const std::string &ro) {
    SzHashPtr hash(PshSLIBSzHashAlloc(512));
    if (!hash) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to allocate memory for hash. errno:%d", kSource, __LINE__,
                errno);
        return;
    }
    PSLIBSZHASH h = hash.release();
    const int pairs = SLIBFileGetSection(SZF_SHARE_RIGHT_MAP, name, &h);
    hash.reset(h);
    if (pairs < 5) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to get section [%s] from %s", kSource, __LINE__, name,
                SZF_SHARE_RIGHT_MAP);
        return;
    }
    const std::pair<const char *, std::string> keys[] = {{"comment", QuotedComment(comment)},
                                                         {"write list", rw},
                                                         {"read list", ro},
                                                         {"invalid users", deny}};
    h = hash.release();
    bool ok = true;
    for (const auto &[key, value] : keys) {
        if (SLIBSzHashSetValue(&h, key, value.c_str()) < 0) ok = false;
    }
    hash.reset(h);
    if (!ok) return;
    ErrSLIBFileSetSection(SZF_SHARE_RIGHT_MAP, name, nullptr, h, kFormat);
}

bool NetBkpSupported() {
    char value[16] = "";
    return SLIBFileGetKeyValue(kDefaults, "netbkp", value, sizeof(value), 0) > 0 &&
           strcasecmp(value, "yes") == 0;
}

// The default share follows a rename; written as "public" when unset.
void UpdateDefaultShare(const char *oldName, const char *newName) {
    char value[32] = "";
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_DEFSHARE, value, sizeof(value), 0);
    const char *write = nullptr;
    if (r > 0 && strcmp(value, oldName) == 0) write = newName;
    if (r == 0) write = "public";
    if (write && QAVOINFOSetKeyValue(SZK_DEFSHARE, write) < 0) {
        SLIBLog(LOG_ERR, "(%d): SLIBFileSetKeyValue (%s=\"%s\") failed.(%X)", __LINE__,
                SZK_DEFSHARE, write, SLIBErrGet());
    }
}

// Moves the folder of a share changing its path; false with the code set.
// *undo is set to what puts the data back when the section write fails.
bool MoveFolder(const std::string &oldPath, const std::string &newPath, bool *crossVolume) {
    const int oldVol = QAVOVolIDGetByPath(oldPath.c_str());
    const int newVol = QAVOVolIDGetByPath(newPath.c_str());
    if (oldVol < 0 || newVol < 0 || !shareint::IsSafeSharePath(oldPath.c_str())) {
        SLIBErrSet(ERR_SHARE_PATH);
        SLIB_LOG_FUNC_CODE(LOG_ERR,
                           "%s(%d)[%X]failed to get volume ID , old path : %s , szNewPath : %s",
                           oldPath.c_str(), newPath.c_str());
        return false;
    }
    struct stat oldSt, newSt;
    if (lstat(oldPath.c_str(), &oldSt) != 0 || !S_ISDIR(oldSt.st_mode) ||
        shareint::IsMountPoint(oldPath.c_str())) {
        SLIBErrSet(ERR_SHARE_PATH);
        return false;
    }
    const bool sameFolder = lstat(newPath.c_str(), &newSt) == 0 && newSt.st_dev == oldSt.st_dev &&
                            newSt.st_ino == oldSt.st_ino;
    if (!sameFolder) {
        // Never into itself, never over a folder that holds data.
        if (shareint::PathsOverlap(oldPath, newPath) ||
            (lstat(newPath.c_str(), &newSt) == 0 && !IsEmptyDir(newPath.c_str()))) {
            SLIBErrSet(ERR_SHARE_MOVE);
            SLIBLog(LOG_ERR, "%s(%d) destination %s is in use", kSource, __LINE__, newPath.c_str());
            return false;
        }
    }
    *crossVolume = oldVol != newVol;
    if (!*crossVolume) {
        bool ok;
        if (sameFolder) {
            // A case-insensitive file system: through a name of its own.
            const std::string tmp = oldPath + "@@";
            ok = rename(oldPath.c_str(), tmp.c_str()) == 0;
            if (ok && rename(tmp.c_str(), newPath.c_str()) != 0) {
                rename(tmp.c_str(), oldPath.c_str());
                ok = false;
            }
        } else {
            ok = rename(oldPath.c_str(), newPath.c_str()) == 0;
        }
        if (!ok) {
            SLIBErrSet(ERR_SHARE_MOVE);
            SLIB_LOG_FUNC_CODE(LOG_ERR, "%s(%d)[%X] /bin/mv -f szTmpPath=%s ,szTmpNewPath=%s",
                               oldPath.c_str(), newPath.c_str());
        }
        return ok;
    }
    std::string oldSub, oldLeaf, newSub, newLeaf;
    SplitSharePath(oldPath, &oldSub, &oldLeaf);
    SplitSharePath(newPath, &newSub, &newLeaf);
    if (QAVOShareCopy2Tmp(oldVol, newVol, oldSub.c_str(), oldLeaf.c_str(), newLeaf.c_str()) != 0) {
        SLIB_LOG_FUNC_CODE(LOG_ERR,
                           "%s(%d)[%X] Failed to Copy share's data to @tmp: oldvolume = %d , "
                           "newvolume = %d , oldshare=%s, newshare=%s",
                           oldVol, newVol, oldPath.c_str(), newPath.c_str());
        return false;
    }
    if (QAVOShareTmp2New(newVol, newSub.c_str(), newLeaf.c_str()) != 0) {
        SLIB_LOG_FUNC_CODE(LOG_ERR,
                           "%s(%d)[%X] Failed to Move tmp data to new share: volume = %d, "
                           "newshare=%s",
                           newVol, newPath.c_str());
        return false;
    }
    return true;
}

// The filtered lists of a share's section.
struct SectionLists {
    std::string deny, rw, ro;
};

// The smb.conf section of a share at path, in the insertion order that gives
// its key order; false with the code set.
bool BuildSection(const QAVOSHARE *share, const char *path, const sdk::AccountSnapshot *accounts,
                  SzHashPtr &hash, SectionLists &lists) {
    std::string &deny = lists.deny, &rw = lists.rw, &ro = lists.ro, valid;
    if (!FilteredList(share->szDeny, &deny, false, accounts) ||
        !FilteredList(share->szRW, &rw, true, accounts) ||
        !FilteredList(share->szRO, &ro, false, accounts)) {
        return false;
    }
    valid = rw + "," + ro;
    std::vector<char> v(valid.begin(), valid.end());
    v.push_back('\0');
    if (RemoveSameUsers(v.data()) < 0) return false;
    valid = v.data();
    while (!valid.empty() && valid.back() == ',')
        valid.pop_back();
    while (!valid.empty() && valid.front() == ',')
        valid.erase(0, 1);
    const size_t listBytes = (share->szDeny ? strlen(share->szDeny) : 0) +
                             (share->szRW ? strlen(share->szRW) : 0) +
                             (share->szRO ? strlen(share->szRO) : 0);
    hash.reset(PshSLIBSzHashAlloc(listBytes < 512 ? 512 : static_cast<int>(listBytes)));
    if (!hash) return false;
    PSLIBSZHASH h = hash.release();
    const uint32_t access = (share->fType & QAVOSHARE_ACCESS_NONE) ? QAVOSHARE_ACCESS_NONE
                            : (share->fType & QAVOSHARE_ACCESS_RW) ? QAVOSHARE_ACCESS_RW
                                                                   : QAVOSHARE_ACCESS_RO;
    std::vector<std::pair<const char *, std::string>> keys = {
        {"comment", QuotedComment(share->szComment)},
        {"path", path},
        {"browseable", share->fBrowseable ? "yes" : "no"},
        {"invalid users", Framed(deny)},
        {"write list", Framed(rw)},
        {"read list", Framed(ro)}};
    if (access == QAVOSHARE_ACCESS_NONE) {
        keys.insert(keys.end(),
                    {{"guest ok", "no"}, {"valid users", Framed(valid)}, {"writeable", "no"}});
    } else {
        keys.insert(keys.end(), {{"valid users", Framed(valid)},
                                 {"guest ok", "yes"},
                                 {"writeable", access == QAVOSHARE_ACCESS_RW ? "yes" : "no"}});
    }
    bool ok = true;
    for (const auto &[key, value] : keys) {
        if (SLIBSzHashSetValue(&h, key, value.c_str()) < 0) ok = false;
    }
    hash.reset(h);
    return ok;
}

// Changes the share oldName (new shares are added by AddShares).
int ShareSet(const char *oldName, const QAVOSHARE *share) {
    const char *name = share->szName;
    const char *path = share->szPath;
    const bool renamed = strcmp(oldName, name) != 0;

    SmbConfWriteLock lock;
    if (!lock.Held()) return slib::Fail(ERR_LOCK_FAILED);

    // A name taken, also in other letter case: deletion (which ignores case)
    // would remove both.
    if (renamed) {
        std::vector<std::string> sections;
        if (!SectionNames(&sections)) return -1;
        for (const std::string &s : sections) {
            if (strcmp(s.c_str(), oldName) == 0) continue;
            if (strcmp(s.c_str(), name) == 0 ? ReadSection(SZF_QAVO_SMB_CONF, name) != nullptr
                                             : SLIBUnicodeUTF8StrCaseCmp(s.c_str(), name) == 0) {
                SLIBLog(LOG_ERR, "%s(%d) share %s exists", kSource, __LINE__, name);
                return slib::Fail(ERR_SHARE_EXISTS);
            }
        }
    }

    std::string oldPath;
    bool moved = false, crossVolume = false;
    {
        SzHashPtr old = ReadSection(SZF_QAVO_SMB_CONF, oldName);
        if (!old) return slib::Fail(ERR_NO_SUCH_SHARE);
        const char *p = SzSLIBSzHashGetValue(old.get(), "path");
        if (!p) return slib::Fail(ERR_SHARE_PATH);
        oldPath = p;
        if (oldPath != path) {
            if (!shareint::IsSafeSharePath(path)) {
                SLIBLog(LOG_ERR, "%s(%d) bad share path %s", kSource, __LINE__, path);
                return slib::Fail(ERR_BAD_PARAMETERS);
            }
            if (!MoveFolder(oldPath, path, &crossVolume)) return -1;
            moved = true;
        }
    }
    // Puts the folder back where the section still says it is.
    auto undo = [&]() {
        const SLIBERRCODE code = SLIBErrGet();
        if (moved && !crossVolume) rename(path, oldPath.c_str());
        if (moved && crossVolume) SHAREIRemoveDir(path, 0);
        SLIBErrSet(code);
        return -1;
    };

    SectionLists lists;
    SzHashPtr hash;
    if (!BuildSection(share, path, nullptr, hash, lists)) return undo();
    const std::string &deny = lists.deny, &rw = lists.rw, &ro = lists.ro;
    PSLIBSZHASH h = hash.get();

    BackupShares backup("QAVOShareSet");
    if (ErrSLIBFileSetSection(SZF_QAVO_SMB_CONF, oldName, name, h, kFormat) != 1) {
        SLIBLog(LOG_ERR, "%s(%d)Failed to set smb.conf with name=%s ,new name=%s", kSource,
                __LINE__, oldName, name);
        return undo();
    }
    // The section names the new folder: the old one can go unless another
    // share still uses it.
    if (moved && crossVolume) {
        if (UsedByOthers(oldPath, OtherSharePaths({name}))) {
            SLIBLog(LOG_ERR, "%s(%d) %s kept: another share uses it", kSource, __LINE__,
                    oldPath.c_str());
        } else if (SHAREIRemoveDir(oldPath.c_str(), 0) != 1) {
            SLIB_LOG_FUNC_CODE(LOG_ERR,
                               "%s(%d)[%X]SHAREIRemoveDir() failed, szPath == [%s], type == [0]\n",
                               oldPath.c_str());
        }
    }
    if (backup.count > 0 &&
        USBBKPRenameBackupShare(backup.buf.get(), oldName, name, backup.count) != 0) {
        SLIBLog(LOG_ERR,
                "qavoshare: QAVOShareSet(): USBBKPRenameBackupShare() failed; \t\t\t\t   while Set "
                "%s to %s \n",
                oldName, name);
    }
    // The share is where its section says: a failed task rename fails the
    // change, but undoes nothing of it.
    int result = 1;
    if (QAVONetBkpRename(oldName, name) != 0) {
        SLIBLog(LOG_ERR,
                "qavoshare: QAVOShareSet(): QAVONetBkpRename() failed; \t\t\t\t   while Set %s "
                "to %s \n",
                oldName, name);
        result = -1;
    }
    UpdateDefaultShare(oldName, name);
    if (strncmp(oldName, "usbshare", 8) == 0 || strcmp(oldName, "satashare") == 0) {
        UpdateRightsMap(oldName, share->szComment, deny, rw, ro);
    }
    if (renamed) {
        const int oldId = QAVOServiceIdGetByShare(oldName);
        if (oldId > 0 && QAVOServiceLinkRemove(oldId) != 0) {
            SLIBLog(LOG_ERR,
                    "%s %s(%d) : Failed to execute QAVOServiceLinkRemove , SERVICE_ID : %d",
                    kSource, __func__, __LINE__, oldId);
        }
        const int id = QAVOServiceIdGetByShare(name);
        if (id > 0) {
            const int vol = QAVOVolIDGetByPath(path);
            if (QAVOServiceLinkSet(id, name, vol) != 0) {
                SLIBLog(LOG_ERR,
                        "%s %s(%d) : Failed to execute QAVOServiceLinkSet , SERVICE_ID : %d, share "
                        "name : %s, volume NO : %d",
                        kSource, __func__, __LINE__, id, name, vol);
            }
        }
    }
    return lock.Release() ? result : -1;
}

// The section of a share as SLIBFileWriteSection writes it; false with the
// code set when it cannot be written.
bool SectionText(const char *name, PSLIBSZHASH hash, std::string *out) {
    char *buf = nullptr;
    size_t size = 0;
    FILE *mem = open_memstream(&buf, &size);
    if (!mem) return slib::Fail(ERR_OUT_OF_MEMORY), false;
    const bool ok = SLIBFileWriteSection(mem, name, hash, kFormat) >= 0;
    const bool closed = fclose(mem) == 0;
    std::unique_ptr<char, void (*)(void *)> text(buf, free);
    if (!ok) return false;
    if (!closed) return slib::Fail(ERR_OUT_OF_MEMORY), false;
    out->assign(buf, size);
    return true;
}

// The section names of smb.conf by the collation key of their upper-cased
// names: the names a new share may not take in other letter case.
class TakenNames {
  public:
    void Add(const std::string &name) {
        std::string key;
        if (sdk::CaseKey(name.c_str(), key)) byKey_[key].push_back(name);
    }
    // A section named so in other letter case (SLIBUnicodeUTF8StrCaseCmp).
    bool OtherCase(const char *name) const {
        std::string key;
        if (!sdk::CaseKey(name, key)) return false;
        const auto it = byKey_.find(key);
        if (it == byKey_.end()) return false;
        for (const std::string &s : it->second) {
            if (strcmp(s.c_str(), name) != 0 && SLIBUnicodeUTF8StrCaseCmp(s.c_str(), name) == 0)
                return true;
        }
        return false;
    }

  private:
    std::unordered_map<std::string, std::vector<std::string>> byKey_;
};

// A new share whose folder is ready and whose section is built.
struct NewShare {
    int index;
    bool created;  // its folder was made for it
    std::string section;
};

// Makes the folder of a new share (an existing folder is taken as it is);
// false with the code set. *created tells whether it was made.
bool PrepareFolder(const char *path, bool *created) {
    *created = false;
    const int dir = QAVOShareIsDir(path);
    if (dir < 0) return false;
    if (dir == 0) {
        struct stat st;
        if (lstat(path, &st) == 0) {
            SLIBLog(LOG_ERR, "%s(%d) %s exists and is no folder", kSource, __LINE__, path);
            return slib::Fail(ERR_BAD_PARAMETERS), false;
        }
        if (mkdir(path, 0777) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)Failed to mkdir , path=%s, errno=%s", kSource, __LINE__, path,
                    strerror(errno));
            return slib::Fail(ERR_WRITE_FAILED), false;
        }
        *created = true;
    }
    chmod(path, 0777);
    return true;
}

int CheckShare(const char *oldName, const QAVOSHARE *share);

// AddShares under the smb.conf lock.
int AddSharesLocked(const QAVOSHARE *const *shares, int count, int *results, int *codes) {
    auto fail = [&](int i) {
        results[i] = -1;
        if (codes) codes[i] = static_cast<int>(SLIBErrGet());
    };
    slib::SectionIndex index;
    if (index.Read(SZF_QAVO_SMB_CONF) < 0) return -1;
    TakenNames taken;
    for (const std::string &n : index.Names())
        taken.Add(n);
    std::set<std::string> batch;  // the names of the sections this call adds
    // The account files read once for the access lists of all the shares.
    sdk::AccountSnapshot snapshot;
    const sdk::AccountSnapshot *accounts = snapshot.Load() ? &snapshot : nullptr;
    std::vector<NewShare> ready;
    for (int i = 0; i < count; ++i) {
        const QAVOSHARE *share = shares[i];
        if (CheckShare(nullptr, share) < 0) {
            fail(i);
            continue;
        }
        const char *name = share->szName;
        const char *path = share->szPath;
        // A name taken, also in other letter case: deletion (which ignores
        // case) would remove both.
        PSLIBSZHASH same = index.Find(name);
        if ((same && SLIBSzHashCount(same) > 0) || batch.count(name) || taken.OtherCase(name)) {
            SLIBLog(LOG_ERR, "%s(%d) share %s exists", kSource, __LINE__, name);
            SLIBErrSet(ERR_SHARE_EXISTS);
            fail(i);
            continue;
        }
        NewShare add{i, false, ""};
        if (!PrepareFolder(path, &add.created)) {
            fail(i);
            continue;
        }
        SectionLists lists;
        SzHashPtr hash;
        bool ok = BuildSection(share, path, accounts, hash, lists) &&
                  SectionText(name, hash.get(), &add.section);
        if (ok && same) {
            // An empty header of that name: the section cannot be added.
            SLIBErrSet(ERR_SHARE_EXISTS);
            ok = false;
        }
        if (!ok) {
            const SLIBERRCODE code = SLIBErrGet();
            if (add.created) rmdir(path);
            SLIBErrSet(code);
            fail(i);
            continue;
        }
        batch.insert(name);
        taken.Add(name);
        ready.push_back(std::move(add));
    }
    if (ready.empty()) return 0;

    // One rewrite of smb.conf with the new sections at its end.
    auto undoAll = [&]() {
        const SLIBERRCODE code = SLIBErrGet();
        for (const NewShare &a : ready) {
            if (a.created) rmdir(shares[a.index]->szPath);
            SLIBErrSet(code);
            fail(a.index);
        }
        return -1;
    };
    slib::Input input;
    const slib::Input::Result r = input.Read(SZF_QAVO_SMB_CONF);
    if (r != slib::Input::kRead || input.IsDirectory()) {
        SLIBErrSet(r == slib::Input::kOpenFailed ? ERR_OPEN_FAILED : ERR_READ_FAILED);
        return undoAll();
    }
    slib::RewriteSet rewrite;
    FILE *out = rewrite.Open(SZF_QAVO_SMB_CONF, input.Stat());
    if (!out) return undoAll();
    const std::string_view text = input.Text();
    bool written = slib::WriteAll(out, text);
    if (written && !text.empty() && text.back() != '\n') written = fputc('\n', out) != EOF;
    for (const NewShare &a : ready)
        written = written && slib::WriteAll(out, a.section);
    if (!written) {
        SLIBErrSet(ERR_WRITE_FAILED);
        return undoAll();
    }
    if (!rewrite.Commit()) return undoAll();

    for (const NewShare &a : ready) {
        results[a.index] = 1;
        const char *name = shares[a.index]->szName;
        const char *path = shares[a.index]->szPath;
        const int id = QAVOServiceIdGetByShare(name);
        if (id > 0) {
            const int vol = QAVOVolIDGetByPath(path);
            if (QAVOServiceLinkSet(id, name, vol) != 0) {
                SLIBLog(LOG_ERR,
                        "%s %s(%d) : Failed to execute QAVOServiceLinkSet , SERVICE_ID : %d,  "
                        "share name : %s, volume NO : %d",
                        kSource, __func__, __LINE__, id, name, vol);
            }
        }
    }
    return static_cast<int>(ready.size());
}

// A deleted section and the folder it named.
struct Deleted {
    std::string section;
    std::string path;
};

// Copies smb.conf without the sections whose upper-cased names are in
// names; fills deleted and the paths of the sections left. The number of
// sections removed, or -1 (nothing changed).
int RewriteSmbConf(const std::set<std::string> &names, std::vector<Deleted> *deleted,
                   std::vector<std::string> *remaining) {
    slib::Input input;
    const slib::Input::Result r = input.Read(SZF_QAVO_SMB_CONF);
    if (r != slib::Input::kRead || input.IsDirectory()) {
        SLIBLog(LOG_ERR, "qavoshare: SDKIModifySmbConf(): fopen(SZF_SMBCONF, \"r\") failed\n");
        return slib::Fail(r == slib::Input::kReadFailed ? ERR_READ_FAILED : ERR_OPEN_FAILED);
    }
    slib::RewriteSet rewrite;
    FILE *out = rewrite.Open(SZF_QAVO_SMB_CONF, input.Stat());
    if (!out) {
        SLIBLog(LOG_ERR, "qavoshare: SDKIModifySmbConf(): fopen(SZF_SMBCONF_TMP, \"w\") failed\n");
        return -1;
    }
    const std::string_view text = input.Text();
    bool inDeleted = false;
    int count = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        const std::string_view line = text.substr(pos, end - pos);
        pos = end;
        std::string trimmed(line);
        std::vector<char> t(trimmed.begin(), trimmed.end());
        t.push_back('\0');
        SLIBStrTrimSpace(t.data(), nullptr);
        trimmed = t.data();
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            std::vector<char> n(trimmed.begin() + 1, trimmed.end() - 1);
            n.push_back('\0');
            SLIBStrTrimSpace(n.data(), nullptr);
            char upper[kNameSize * 4];
            if (SLIBUnicodeUTF8StrUpper(n.data(), upper, sizeof(upper)) < 0) return -1;
            inDeleted = names.count(upper) > 0;
            if (inDeleted) {
                ++count;
                deleted->push_back({n.data(), ""});
                SLIBLog(LOG_ERR, "qavoshare: delete share %s ......\n", n.data());
                continue;
            }
        } else {
            const size_t eq = trimmed.find('=');
            if (eq != std::string::npos && !slib::IsComment(trimmed)) {
                std::vector<char> k(trimmed.begin(), trimmed.begin() + static_cast<long>(eq));
                k.push_back('\0');
                SLIBStrTrimSpace(k.data(), nullptr);
                if (strcmp(k.data(), "path") == 0) {
                    std::vector<char> val(trimmed.begin() + static_cast<long>(eq) + 1,
                                          trimmed.end());
                    val.push_back('\0');
                    SLIBStrTrimSpace(val.data(), nullptr);
                    if (inDeleted) {
                        deleted->back().path = val.data();
                    } else {
                        remaining->emplace_back(val.data());
                    }
                }
            }
            if (inDeleted) continue;
        }
        if (!slib::WriteAll(out, line)) return slib::Fail(ERR_WRITE_FAILED);
    }
    if (count > 0 && !rewrite.Commit(ERR_SYSTEM_CALL)) {
        SLIBLog(LOG_ERR, "qavoshare: QAVODeleteShare(): rename failed\n");
        return -1;
    }
    return count;
}

int ShareDelete(const char **names, int count, int type) {
    // The USB-copy destination, read before the lock (its repair lists shares).
    char usbCopy[kNameSize] = "";
    char flag[16] = "";
    SLIBFileGetKeyValue(kDefaults, SZK_USBCOPY, flag, sizeof(flag), 0);
    if (strcmp(flag, "no") != 0 && USBCopyGetDestFolder(usbCopy, sizeof(usbCopy)) != 0) {
        SLIBLog(LOG_ERR, "qavoshare: QAVOIShareDelete(): get USBCopy destination folder fail");
        return -1;
    }
    int removed = 0;
    std::vector<std::string> gone;  // the sections removed
    {
        SmbConfWriteLock lock;
        if (!lock.Held()) return slib::Fail(ERR_LOCK_FAILED);
        std::set<std::string> upperNames;
        for (int i = 0; i < count; ++i) {
            const char *n = names[i];
            if (!n) continue;
            if (IsReserved(n)) {
                SLIBLog(LOG_ERR,
                        "qavoshare: QAVOIShareDelete(): can not delete private groups! "
                        "pszList[%d] = [%s]\n",
                        i, n);
                continue;
            }
            char upper[kNameSize];
            if (SLIBUnicodeUTF8StrUpper(n, upper, sizeof(upper)) < 0) {
                SLIBLog(LOG_ERR,
                        "qavoshare: QAVOIShareDelete(): SLIBUnicodeUTF8StrUpper() failed; "
                        "[pszList[%d]] = [%s]\n",
                        i, n);
                return -1;
            }
            if (!upperNames.insert(upper).second) {
                SLIBLog(LOG_ERR,
                        "qavoshare: QAVOIShareDelete(): SzSLIBSzHashGetValue(*pshHashDel, "
                        "szNameUpper); \t\t\t\t   Duplicate share name; szNameUpper = [%s]\n",
                        upper);
                continue;
            }
        }
        std::vector<Deleted> deleted;
        std::vector<std::string> remaining;
        removed = RewriteSmbConf(upperNames, &deleted, &remaining);
        if (removed < 0) {
            SLIBLog(LOG_ERR,
                    "qavoshare: QAVOIDeleteShare(): SDKIModifySmbConf(&pshHashDel) failed");
            return -1;
        }
        // Each section's own folder, unless a share left uses it.
        for (const Deleted &d : deleted) {
            if (!d.path.empty()) {
                if (UsedByOthers(d.path, remaining)) {
                    SLIBLog(LOG_ERR, "%s(%d) %s kept: another share uses it", kSource, __LINE__,
                            d.path.c_str());
                } else if (SHAREIRemoveDir(d.path.c_str(), type) != 1) {
                    SLIBLog(LOG_ERR,
                            "qavoshare: QAVOIShareDelete(): SHAREIRemoveDir() failed; "
                            "\t\t\t\t   szPath == [%s], type == [%d]\n",
                            d.path.c_str(), type);
                    continue;
                }
            }
            const int id = QAVOServiceIdGetByShare(d.section.c_str());
            if (id > 0 && QAVOServiceLinkRemove(id) != 0) {
                SLIBLog(LOG_ERR,
                        "%s %s(%d) : Failed to execute QAVOServiceLinkRemove , SERVICE_ID : %d",
                        kSource, __func__, __LINE__, id);
            }
        }
        // The references of the shares that went, now that they are gone,
        // by the names their sections had.
        for (const Deleted &d : deleted)
            gone.push_back(d.section);
        int result = removed;
        if (!gone.empty() && NetBkpSupported()) {
            std::vector<char *> list;
            for (std::string &n : gone)
                list.push_back(n.data());
            if (QAVONetBackupDelete(list.data(), static_cast<int>(list.size())) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): QAVONetBackupDelete(pszList, nItem=[%d]) fail",
                        "SHAREIDelNetBkpSetting", __LINE__, static_cast<int>(list.size()));
                SLIBLog(LOG_ERR,
                        "qavoshare: QAVOIDeleteShare(): SHAREIDelNetBkpSetting(pszList, "
                        "nItem=[%d], type=[%d]) failed",
                        static_cast<int>(list.size()), type);
                result = -1;
            }
        }
        if (!gone.empty()) {
            BackupShares backup("QAVOIShareDelete");
            for (const std::string &n : gone) {
                if (backup.count > 0 &&
                    USBBKPDeleteBackupShare(backup.buf.get(), n.c_str(), backup.count) != 0) {
                    SLIBLog(
                        LOG_ERR,
                        "qavoshare: QAVOIShareDelete(): USBBKPDeleteBackupShare(pszBackupShares, "
                        "pszList[i]) failed; \t\t\t\t   [i] == [%d], [pszList[i]] == [%s]\n",
                        0, n.c_str());
                }
            }
        }
        if (!lock.Release()) return -1;
        removed = result;
    }
    // The USB-copy destination is reset once the lock is free: its repair
    // reads the share list.
    for (const std::string &n : gone) {
        if (usbCopy[0] && strcmp(n.c_str(), usbCopy) == 0 &&
            USBCopyResetShareFolder(usbCopy, n.c_str()) < 1) {
            SLIBLog(LOG_ERR, "qavoshare: RmUSBCopyShareFolder failed");
        }
    }
    return removed;
}

int ValidUserList(const char *list, char *out, const sdk::AccountSnapshot *accounts) {
    if (!out) {
        SLIBLog(LOG_ERR,
                "qavoshare: SHAREIGetValidUserList(): Bad arguments: [szUserValid] == [NULL]\n");
        return -1;
    }
    out[0] = '\0';
    if (!list) return 0;
    try {
        char workgroup[256];
        int joined = 0;
        if (WINIQuery1(workgroup, sizeof(workgroup), &joined) != 0) joined = 0;
        std::string result;
        const char *p = list;
        while (true) {
            const char *comma = strchr(p, ',');
            const std::string e(p, comma ? static_cast<size_t>(comma - p) : strlen(p));
            if (!e.empty()) {
                const char *account = e[0] == '@' ? e.c_str() + 1 : e.c_str();
                int needed = 0;
                bool keep = false;
                if (joined && IsDomainUG(account) == QAVO_ACCOUNT_DOMAIN) {
                    keep = true;
                } else if (e[0] != '@' && (accounts ? accounts->LocalPwNam(e.c_str())
                                                    : PpwSLIBGetLocalPwNam(e.c_str()))) {
                    keep = true;
                } else if (e[0] == '@' && *account &&
                           (accounts ? accounts->LocalGrNamBuf(account, nullptr, 0, &needed)
                                     : SLIBGetLocalGrNamBuf(account, nullptr, 0, &needed)) == 0) {
                    keep = true;
                }
                if (keep) {
                    if (!result.empty()) result += ',';
                    result += e;
                }
            }
            if (!comma) break;
            p = comma + 1;
        }
        memcpy(out, result.c_str(), result.size() + 1);
        return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

// The checks of QAVOShareSet's arguments; -1 with the code set.
int CheckShare(const char *oldName, const QAVOSHARE *share) {
    if (!share || !share->szName || !share->szPath || !*share->szPath || (oldName && !*oldName)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const char *name = share->szName;
    if (!BlSLIBIsShareName(name) || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
        IsReserved(name)) {
        SLIBLog(LOG_ERR,
                "qavoshare: QAVOShareSet(): BlSLIBIsShareName() failed\t\t\t   "
                "pshareNewShare->szName=%s",
                name);
        return slib::Fail(ERR_BAD_SHARE_NAME);
    }
    // Every argument is checked before anything is touched.
    if ((share->fType & (QAVOSHARE_ACCESS_NONE | QAVOSHARE_ACCESS_RW | QAVOSHARE_ACCESS_RO)) == 0 ||
        (share->szComment && HasControl(share->szComment)) || !slib::OneLine(share->szDeny) ||
        !slib::OneLine(share->szRW) || !slib::OneLine(share->szRO)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (!oldName && !shareint::IsSafeSharePath(share->szPath)) {
        SLIBLog(LOG_ERR, "%s(%d) bad share path %s", kSource, __LINE__, share->szPath);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    return 0;
}

}  // namespace

int shareint::AddShares(const QAVOSHARE *const *shares, int count, int *results, int *codes) {
    if (!shares || count < 0 || (count > 0 && !results)) return slib::Fail(ERR_BAD_PARAMETERS);
    std::fill(results, results + count, -1);
    try {
        SmbConfWriteLock lock;
        if (!lock.Held()) {
            SLIBErrSet(ERR_LOCK_FAILED);
            for (int i = 0; codes && i < count; ++i)
                codes[i] = ERR_LOCK_FAILED;
            return -1;
        }
        const int added = AddSharesLocked(shares, count, results, codes);
        if (lock.Release()) return added;
        // As for one share: a lock that cannot be let go fails the call.
        for (int i = 0; i < count; ++i) {
            results[i] = -1;
            if (codes) codes[i] = static_cast<int>(SLIBErrGet());
        }
        return -1;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        for (int i = 0; i < count; ++i) {
            results[i] = -1;
            if (codes) codes[i] = ERR_OUT_OF_MEMORY;
        }
        return -1;
    }
}

extern "C" int SHAREIGetValidUserList(const char *list, char *out) {
    return ValidUserList(list, out, nullptr);
}

extern "C" int RemoveSameUsers(char *list) {
    if (!list) {
        SLIBLog(LOG_ERR, "qavoshare: RemoveSameUsers: szUserList is NULL!!\n");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (!*list) return 0;
    SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    if (!hash) return slib::Fail(ERR_OUT_OF_MEMORY);
    PSLIBSZHASH h = hash.release();
    bool ok = true;
    const char *p = list;
    while (true) {
        const char *comma = strchr(p, ',');
        const std::string e(p, comma ? static_cast<size_t>(comma - p) : strlen(p));
        if (!e.empty() && SLIBSzHashSetValue(&h, e.c_str(), "") < 0) ok = false;
        if (!comma) break;
        p = comma + 1;
    }
    hash.reset(h);
    if (!ok) return slib::Fail(ERR_OUT_OF_MEMORY);
    slib::SzListPtr keys(PslSLIBSzListAlloc(1024));
    if (!keys) return slib::Fail(ERR_OUT_OF_MEMORY);
    PSLIBSZLIST k = keys.release();
    const int n = SLIBSzHashEnumKey(h, &k);
    keys.reset(k);
    if (n < 0) return -1;
    std::string out;
    for (int i = 0; i < k->nItem; ++i) {
        if (!out.empty()) out += ',';
        out += k->pszItem[i];
    }
    memcpy(list, out.c_str(), out.size() + 1);  // never longer than the input
    return 1;
}

extern "C" int QAVOShareSet(int type, const char *oldName, const QAVOSHARE *share) {
    if (type != 1 || CheckShare(oldName, share) < 0) {
        if (type != 1) SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (!oldName) {
        int result = -1;
        shareint::AddShares(&share, 1, &result);
        return result == 1 ? 1 : -1;
    }
    try {
        return ShareSet(oldName, share);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOIShareDelete(const char **names, int count, int type) {
    if (!names || count < 0 || type < 0) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        SLIBLog(LOG_ERR,
                "qavoshare: QAVOIShareDelete(): Bad arguments; type = [%d], nItem = [%d], "
                "pszList = [%p]\n",
                type, count, static_cast<const void *>(names));
        return -1;
    }
    try {
        return ShareDelete(names, count, type);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOShareDelete(const char **names, int count) {
    return QAVOIShareDelete(names, count, 0);
}

extern "C" int QAVOIShareDeleteOne(const char *name) {
    if (!name) {
        SLIBLog(LOG_ERR, "qavoshare: QAVOIShareDeleteOne(): Bad arguments; szName is NULL\n");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const char *list[] = {name};
    return QAVOIShareDelete(list, 1, 0);
}
