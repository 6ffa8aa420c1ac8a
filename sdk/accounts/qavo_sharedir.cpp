// Share folders on the data volumes: tests, preparation, removal and moves
// to another volume through its staging folder "@tmp".
#include "qavo_sharedir.h"

#include <dirent.h>
#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qavo_volume.h"
#include "share_path.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = "sdk/qavoshare";
constexpr size_t kPathMax = 4096;
constexpr size_t kCopyBlock = 64 * 1024;
constexpr size_t kKernelChunk = 1024 * 1024;
// The counting copy writes its status whenever it has grown by more than this.
constexpr uint64_t kStatusStep = 0xA00000;

// Sets the file-creation mask for the life of the guard and restores it.
struct UmaskGuard {
    mode_t old;
    explicit UmaskGuard(mode_t mask) : old(umask(mask)) {}
    ~UmaskGuard() { umask(old); }
};

bool VolumeRoot(const std::string &path, std::string *root) {
    static const char kPrefix[] = "/volume";
    if (path.compare(0, 7, kPrefix) != 0) return false;
    size_t end = path.find('/', 7);
    if (end == std::string::npos) end = path.size();
    const std::string tail = path.substr(7, end - 7);
    bool ok = false;
    if (tail.size() == 1 && tail[0] >= '1' && tail[0] <= '4') {
        ok = true;
    } else if (tail == "SATA") {
        ok = true;
    } else if (tail.compare(0, 3, "USB") == 0 && tail.size() > 3) {
        ok = true;
        for (size_t i = 3; i < tail.size(); ++i) {
            if (!isdigit(static_cast<unsigned char>(tail[i]))) ok = false;
        }
    }
    if (ok && root) *root = path.substr(0, end);
    return ok;
}

// Status file of the counting copy.
struct CountState {
    const char *statusFile;
    uint64_t count = 0;
    uint64_t written = 0;
    void Write() {
        char value[32];
        snprintf(value, sizeof(value), "%lld", static_cast<long long>(count));
        if (SLIBFileSetKeyValue(statusFile, QAVO_COPY_FILE_SIZE_KEY, value,
                                SLIB_KEYVALUE_FMT_QUOTED) < 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) SLIBFileSetKeyValue error,file=%s,key='%s'!", statusFile,
                          QAVO_COPY_FILE_SIZE_KEY);
        }
        written = count;
    }
};

// Fails the copy with the code of the errno of a write.
int WriteFailure(int err) {
    if (err == ENOSPC || err == EDQUOT) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): write error,not enough space");
        return slib::Fail(ERR_NO_SPACE);
    }
    SLIB_LOG_FUNC(LOG_ERR, "%s(%d): write error");
    return slib::Fail(ERR_WRITE_FAILED);
}

// Copies the extended attributes of src to dst (links themselves with l*).
bool CopyXattrs(const char *src, const char *dst) {
    ssize_t len = llistxattr(src, nullptr, 0);
    if (len < 0) return errno == ENOTSUP;
    if (len == 0) return true;
    std::vector<char> names(static_cast<size_t>(len));
    len = llistxattr(src, names.data(), names.size());
    if (len < 0) return false;
    for (ssize_t i = 0; i < len; i += static_cast<ssize_t>(strlen(&names[i])) + 1) {
        const char *name = &names[i];
        ssize_t vlen = lgetxattr(src, name, nullptr, 0);
        if (vlen < 0) return false;
        std::vector<char> value(static_cast<size_t>(vlen) + 1);
        vlen = lgetxattr(src, name, value.data(), value.size());
        if (vlen < 0) return false;
        if (lsetxattr(dst, name, value.data(), static_cast<size_t>(vlen), 0) != 0) return false;
    }
    return true;
}

// Owner, mode and times of src given to dst (mode not for links).
bool CopyAttributes(const char *dst, const struct stat &st, bool link) {
    if (lchown(dst, st.st_uid, st.st_gid) != 0) return false;
    if (!link && chmod(dst, st.st_mode & 07777) != 0) return false;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return utimensat(AT_FDCWD, dst, times, AT_SYMLINK_NOFOLLOW) == 0;
}

// The counting copy of one regular file.
int CpFileWithCount(const char *src, const char *dst, CountState &state) {
    const int in = open(src, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): open file failed");
        return slib::Fail(ERR_READ_FAILED);
    }
    const int out = open(dst, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        const int err = errno;
        close(in);
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): open file failed");
        return err == ENOSPC ? slib::Fail(ERR_NO_SPACE) : slib::Fail(ERR_WRITE_FAILED);
    }
    int rc = 0;
    // In the kernel while it can; by blocks where it cannot (or stops).
    bool kernel = true;
    while (kernel) {
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr, kKernelChunk, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
                kernel = false;  // not for these files: the blocks below do it
                break;
            }
            rc = errno == ENOSPC || errno == EDQUOT ? WriteFailure(errno)
                                                    : slib::Fail(ERR_READ_FAILED);
            break;
        }
        state.count += static_cast<uint64_t>(n);
        if (state.count - state.written > kStatusStep) state.Write();
    }
    std::unique_ptr<char[]> buf(kernel ? nullptr : new char[kCopyBlock]);
    while (!kernel && rc == 0) {
        const ssize_t n = read(in, buf.get(), kCopyBlock);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d): read error");
            rc = slib::Fail(ERR_READ_FAILED);
            break;
        }
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = write(out, buf.get() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                rc = WriteFailure(w < 0 ? errno : ENOSPC);
                break;
            }
            done += w;
        }
        if (rc != 0) break;
        state.count += static_cast<uint64_t>(n);
        if (state.count - state.written > kStatusStep) state.Write();
    }
    close(in);
    if (close(out) != 0 && rc == 0) rc = WriteFailure(errno);
    if (rc == 0) state.Write();
    return rc;
}

// Hard links already copied: source (device, inode) to the copy's path.
using LinkMap = std::map<std::pair<dev_t, ino_t>, std::string>;

// Copies the entries of src into the existing folder dst.
int CopyTree(const std::string &src, const std::string &dst, CountState &state, LinkMap &links) {
    DIR *dir = opendir(src.c_str());
    if (!dir) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)open src dir failed,dir=%s", src.c_str());
        return slib::Fail(ERR_READ_FAILED);
    }
    std::unique_ptr<DIR, int (*)(DIR *)> closer(dir, closedir);
    while (true) {
        errno = 0;
        struct dirent *e = readdir(dir);
        if (!e) {
            if (errno != 0) return slib::Fail(ERR_READ_FAILED);
            break;
        }
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        const std::string from = src + "/" + e->d_name;
        const std::string to = dst + "/" + e->d_name;
        if (from.size() >= kPathMax || to.size() >= kPathMax) return slib::Fail(ERR_BAD_PARAMETERS);
        struct stat st;
        if (lstat(from.c_str(), &st) != 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) stat dir=%s get error=%d", from.c_str(), errno);
            return slib::Fail(ERR_SOURCE_DIR);
        }
        const bool isLink = S_ISLNK(st.st_mode);
        if (S_ISDIR(st.st_mode)) {
            if (mkdir(to.c_str(), 0700) != 0) return WriteFailure(errno);
            if (CopyTree(from, to, state, links) != 0) {
                if (SLIBErrGet() == ERR_NO_SPACE || SLIBErrGet() == ERR_VOLUME_SPACE) {
                    SLIB_LOG_FUNC(LOG_ERR, "%s(%d)Not enough space ");
                }
                return -1;
            }
        } else {
            if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
                auto it = links.find({st.st_dev, st.st_ino});
                if (it != links.end()) {
                    if (link(it->second.c_str(), to.c_str()) != 0) return WriteFailure(errno);
                    continue;
                }
            }
            if (S_ISREG(st.st_mode)) {
                if (CpFileWithCount(from.c_str(), to.c_str(), state) != 0) {
                    SLIB_LOG_FUNC(LOG_ERR, "%s(%d) cp -af %s %s error!", from.c_str(), to.c_str());
                    if (SLIBErrGet() == ERR_NO_SPACE) {
                        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) error is not enough space");
                    }
                    return -1;
                }
            } else if (isLink) {
                std::vector<char> target(static_cast<size_t>(st.st_size) + 1 > kPathMax
                                             ? static_cast<size_t>(st.st_size) + 1
                                             : kPathMax);
                const ssize_t n = readlink(from.c_str(), target.data(), target.size() - 1);
                if (n < 0) return slib::Fail(ERR_READ_FAILED);
                target[static_cast<size_t>(n)] = '\0';
                if (symlink(target.data(), to.c_str()) != 0) return WriteFailure(errno);
            } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
                if (mknod(to.c_str(), st.st_mode, st.st_rdev) != 0) return WriteFailure(errno);
            } else {
                continue;  // sockets belong to a running program, not to the data
            }
            if (st.st_nlink > 1) links[{st.st_dev, st.st_ino}] = to;
        }
        if (!CopyXattrs(from.c_str(), to.c_str()) || !CopyAttributes(to.c_str(), st, isLink)) {
            return WriteFailure(errno);
        }
    }
    return 0;
}

// The folder path "/volume<N>/[<sub>/]<name>".
std::string VolumePath(int volume, const char *sub, const char *name) {
    std::string p = QAVO_VOLUME_PREFIX + std::to_string(volume) + "/";
    if (sub && *sub) p += std::string(sub) + "/";
    return p + name;
}

// A single path component: not empty, no '/', not "." or "..".
bool IsComponent(const char *name) {
    return name && *name && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

}  // namespace

namespace shareint {

bool IsSafeSharePath(const char *path, std::string *rootOut) {
    if (!path || path[0] != '/') return false;
    const size_t len = strnlen(path, kPathMax);
    if (len >= kPathMax) return false;
    for (const char *p = path; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) return false;
    }
    const std::string s(path);
    std::string root;
    if (!VolumeRoot(s, &root) || s.size() <= root.size() + 1) return false;
    // Every component below the root a real name.
    size_t pos = root.size();
    while (pos < s.size()) {
        size_t next = s.find('/', pos + 1);
        if (next == std::string::npos) next = s.size();
        const std::string comp = s.substr(pos + 1, next - pos - 1);
        if (comp.empty() || comp == "." || comp == "..") return false;
        pos = next;
    }
    // The existing part must not lead outside the root through a link.
    char resolvedRoot[PATH_MAX];
    if (!realpath(root.c_str(), resolvedRoot)) return false;
    std::string existing = s;
    char resolved[PATH_MAX];
    while (!realpath(existing.c_str(), resolved)) {
        if (errno != ENOENT) return false;
        const size_t slash = existing.rfind('/');
        if (slash == std::string::npos || slash < root.size()) return false;
        existing.resize(slash);
    }
    const std::string r(resolved), rr(resolvedRoot);
    if (existing == root) {
        if (r != rr) return false;
    } else if (r.compare(0, rr.size(), rr) != 0 || r.size() <= rr.size() || r[rr.size()] != '/') {
        return false;
    }
    if (rootOut) *rootOut = root;
    return true;
}

bool IsMountPoint(const char *path) {
    struct stat st, parent;
    if (lstat(path, &st) != 0) return false;
    const std::string p(path);
    const size_t slash = p.rfind('/');
    const std::string up = slash == 0 ? "/" : p.substr(0, slash);
    if (stat(up.c_str(), &parent) == 0 && parent.st_dev != st.st_dev) return true;
    FILE *fp = setmntent("/proc/mounts", "r");
    if (!fp) return true;  // cannot tell: treat it as one
    bool found = false;
    while (struct mntent *m = getmntent(fp)) {
        if (strcmp(m->mnt_dir, path) == 0) found = true;
    }
    endmntent(fp);
    return found;
}

namespace {

// The components of a path read as text: repeated and trailing slashes,
// "." and ".." resolved without looking at the disk.
std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    return parts;
}

}  // namespace

bool PathsOverlap(const std::string &a, const std::string &b) {
    // "/volume1/" and "/volume1//docs/." name the folders that "/volume1"
    // and "/volume1/docs" do.
    const std::vector<std::string_view> ca = Components(a), cb = Components(b);
    const size_t common = std::min(ca.size(), cb.size());
    return std::equal(ca.begin(), ca.begin() + static_cast<std::ptrdiff_t>(common), cb.begin());
}

}  // namespace shareint

extern "C" int QAVOShareIsDir(const char *path) {
    if (!path || strnlen(path, 2) < 2 || path[0] != '/') {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

extern "C" int SHAREIRemoveDir(const char *path, int type) {
    if (!path || type < 0) {
        SLIBLog(LOG_ERR,
                "qavoshare: SHAREIRemoveDir(): Bad arguments; type = [%d], szPath = [%s]\n", type,
                path ? path : "(null)");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (type & 1) return 1;
    if (!shareint::IsSafeSharePath(path)) {
        SLIBLog(LOG_ERR, "%s(%d)Refused to remove %s", kSource, __LINE__, path);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return 1;  // nothing to remove
    if (shareint::IsMountPoint(path)) {
        SLIBLog(LOG_ERR, "%s(%d)Refused to remove the mount point %s", kSource, __LINE__, path);
        return slib::Fail(ERR_SHARE_RMDIR);
    }
    const int rc = SLIBProcExecWait("/bin/rm", "-Rf", "--one-file-system", "--", path);
    if (rc != 0 || lstat(path, &st) == 0) {
        SLIBLog(LOG_ERR, "%s(%d)Failed to remove %s", kSource, __LINE__, path);
        return slib::Fail(ERR_WRITE_FAILED);
    }
    return 1;
}

extern "C" int QAVOShareSetDestFolder(const char *path, int keep, unsigned int mode) {
    if (!path || !*path) return slib::Fail(ERR_BAD_PARAMETERS);
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (keep) return 0;
        if (SLIBProcExecWait("/bin/rm", "-Rf", "--one-file-system", "--", path) < 0) {
            SLIBLog(LOG_ERR, "%s(%d)Failed to rmdir : %s", kSource, __LINE__, path);
            return slib::Fail(ERR_SHARE_RMDIR);
        }
    }
    if (mkdir(path, static_cast<mode_t>(mode)) != 0 || chmod(path, mode & 07777) != 0) {
        const int err = errno;
        SLIBLog(LOG_ERR, "%s(%d)Failed to mkdir : %s , reason=%s", kSource, __LINE__, path,
                strerror(err));
        return slib::Fail(err == ENOSPC ? ERR_NO_SPACE : ERR_MKDIR_FAILED);
    }
    return 0;
}

extern "C" int QAVOShareCopy2Tmp(int srcVolume, int dstVolume, const char *sub, const char *name,
                                 const char *newName) {
    if (!BlQAVOVolIDIsValid(srcVolume) || !BlQAVOVolIDIsValid(dstVolume) || !IsComponent(name) ||
        !IsComponent(newName)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        const std::string source = VolumePath(srcVolume, sub, name);
        if (QAVOShareIsDir(source.c_str()) != 1) return slib::Fail(ERR_SHARE_PATH);
        int health = 0;
        if (QAVOVolHealthCheck(dstVolume, &health) != 0) {
            SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to check volume health, volID = %d",
                          dstVolume);
            return -1;
        }
        if (health != QAVO_VOLUME_WRITABLE) {
            SLIBErrSet(health == QAVO_VOLUME_NOT_MOUNTED ? ERR_VOLUME_CRASHED
                                                         : ERR_VOLUME_READONLY);
            SLIB_LOG(LOG_ERR, "%s(%d)illegal volume health, volID = %d, VolHealth=%d", dstVolume,
                     health);
            SLIB_LOG(LOG_ERR, "%s(%d)volume health has problem, volID = %d, VolHealth=%d",
                     dstVolume, health);
            return -1;
        }
        // The staging folder is shared by every move to this volume: make it
        // when missing and clear only this move's own path in it.
        const std::string staging = VolumePath(dstVolume, nullptr, QAVO_SHARE_STAGING);
        if (QAVOShareSetDestFolder(staging.c_str(), 1, 0777) != 0) {
            SLIBErrSet(ERR_SHARE_COPY);
            SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to mkdir = %s", staging.c_str());
            return -1;
        }
        const std::string dest = staging + "/" + newName;
        SLIB_LOG(LOG_ERR, "%s(%d)path %s --> tmp %s ", source.c_str(), dest.c_str());
        if (SHAREIRemoveDir(dest.c_str(), 0) < 0) {
            SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X]failed to clean share at path : %s", dest.c_str());
            return slib::Fail(ERR_SHARE_COPY);
        }
        int rc;
        {
            UmaskGuard mask(0);
            rc = SLIBProcExecWait("/bin/cp", "-af", source.c_str(), dest.c_str(), nullptr);
        }
        if (rc == 0) {
            // On disk before the caller drops the source.
            const int fd = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0 && syncfs(fd) == 0) {
                close(fd);
                return 0;
            }
            if (fd >= 0) close(fd);
        }
        SHAREIRemoveDir(dest.c_str(), 0);
        SLIBErrSet(ERR_SHARE_COPY);
        SLIB_LOG_CODE(LOG_ERR,
                      "%s(%d)[%X]failed to copy share to other volume : %s , szDestPath : %s",
                      source.c_str(), dest.c_str());
        return -1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOShareTmp2New(int volume, const char *sub, const char *name) {
    if (!BlQAVOVolIDIsValid(volume) || !IsComponent(name)) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        const std::string staged =
            VolumePath(volume, nullptr, QAVO_SHARE_STAGING) + "/" + std::string(name);
        struct stat st;
        if (lstat(staged.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return slib::Fail(ERR_SHARE_PATH);
        }
        const std::string dest = VolumePath(volume, sub, name);
        // rename(2) replaces an empty folder and refuses one holding data, so
        // the staged tree never lands inside an existing folder.
        if (rename(staged.c_str(), dest.c_str()) != 0) {
            SHAREIRemoveDir(staged.c_str(), 0);
            SLIBErrSet(ERR_SHARE_MOVE);
            SLIB_LOG_CODE(LOG_ERR,
                          "%s(%d)[%X]failed to change share to other volume : %s , szDestPath : %s",
                          staged.c_str(), dest.c_str());
            return -1;
        }
        chmod(dest.c_str(), 0777);
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int ShareDirCopy(const char *srcDir, const char *dstDir, const char *statusFile) {
    if (!srcDir || !dstDir || !statusFile) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)bad NULL parameter");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    struct stat st;
    if (lstat(srcDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d)source dir=%s not exist", srcDir);
        return slib::Fail(ERR_SHARE_PATH);
    }
    if (shareint::PathsOverlap(srcDir, dstDir)) return slib::Fail(ERR_BAD_PARAMETERS);
    if (QAVOShareSetDestFolder(dstDir, 0, 0700) != 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) Failed to QAVOShareSetDestFolder dir=%s", dstDir);
        return -1;
    }
    try {
        CountState state{statusFile};
        char value[32] = "";
        if (SLIBFileGetKeyValue(statusFile, QAVO_COPY_FILE_SIZE_KEY, value, sizeof(value), 0) < 0) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) SLIBFileGetKeyValue error,file='%s',key='%s'!",
                          statusFile, QAVO_COPY_FILE_SIZE_KEY);
        }
        state.count = state.written = strtoull(value, nullptr, 10);
        LinkMap links;
        int rc = CopyTree(srcDir, dstDir, state, links);
        if (rc == 0 && (!CopyXattrs(srcDir, dstDir) || !CopyAttributes(dstDir, st, false))) {
            rc = WriteFailure(errno);
        }
        // The copy is on disk before a caller drops the source.
        if (rc == 0) {
            const int fd = open(dstDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0 || syncfs(fd) != 0) rc = WriteFailure(errno);
            if (fd >= 0) close(fd);
        }
        if (rc != 0) {
            const SLIBERRCODE code = SLIBErrGet();
            SLIBProcExecWait("/bin/rm", "-Rf", "--one-file-system", "--", dstDir);
            SLIBErrSet(code);
        }
        return rc;
    } catch (const std::bad_alloc &) {
        SLIBProcExecWait("/bin/rm", "-Rf", "--one-file-system", "--", dstDir);
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int DirCp2NewVolTmp(int dstVolume, int srcVolume, const char *srcName,
                               const char *dstName, char *outPath, unsigned int outSize,
                               const char *statusFile) {
    if (!srcName || !dstName || !outPath || !statusFile || !IsComponent(srcName) ||
        !IsComponent(dstName)) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): bad parameter");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (dstVolume == srcVolume) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d): volume id is the same,id=%d", dstVolume);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (!BlQAVOVolIDIsValid(dstVolume) || !BlQAVOVolIDIsValid(srcVolume)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        const std::string source = VolumePath(srcVolume, nullptr, srcName);
        const std::string staging = VolumePath(dstVolume, nullptr, QAVO_SHARE_STAGING);
        const std::string dest = staging + "/" + dstName;
        if (dest.size() + 1 > outSize) {
            SLIB_LOG_FUNC(LOG_ERR, "%s(%d) not enough buffer size to put new path=%s",
                          dest.c_str());
            return slib::Fail(ERR_BUF_TOO_SMALL);
        }
        int rc;
        {
            UmaskGuard mask(0);
            SLIB_LOG(LOG_ERR, "%s(%d)path %s --> tmp %s ", source.c_str(), dest.c_str());
            rc = SLIBProcExecWait("/bin/mkdir", "-p", staging.c_str(), nullptr, nullptr);
        }
        // A staging folder that cannot be made sets no code of its own: the
        // code left by an earlier call must not stand for it.
        const bool staged = rc == 0;
        if (staged) rc = ShareDirCopy(source.c_str(), dest.c_str(), statusFile);
        if (rc != 0) {
            if (!staged || SLIBErrGet() == 0) SLIBErrSet(ERR_SHARE_COPY);
            SLIB_LOG_CODE(LOG_ERR,
                          "%s(%d)[%X]failed to copy share to other volume : %s , szDestPath : %s",
                          source.c_str(), dest.c_str());
            return -1;
        }
        memset(outPath, 0, outSize);
        memcpy(outPath, dest.c_str(), dest.size());
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
