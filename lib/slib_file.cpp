// File and file-system utilities.
#include "slib_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "slib_errcode.h"
#include "slib_line.h"
#include "slib_str.h"
#include "slib_util.h"

namespace {

// Source name of the messages of these operations.
constexpr const char *kSource = "lib/qavomisc";
// Flags of the line matcher that apply to names: prefix, suffix, caseless.
constexpr int kMatchFlags = 0x2 | 0x4 | 0x400;

using slib::Fail;

bool FsStat(const char *path, int line, struct statfs64 &st) {
    if (!path) {
        SLIBLog(LOG_ERR, "%s(%d)bad parameter", kSource, line);
        return false;
    }
    return statfs64(path, &st) == 0;
}

// Sum of the regular files under the open directory dirfd (which it
// closes). Directories are entered only as real directories, by descriptor,
// so a symlink loop or a symlinked tree is never walked and the process's
// working directory is never touched.
int64_t DirSize(int dirfd) {
    DIR *dir = fdopendir(dirfd);
    if (!dir) {
        close(dirfd);
        return -1;
    }
    int64_t total = 0;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;  // hidden names, "." and ".."
        SLIBLog(LOG_ERR, "%s (%d) filename: %s", kSource, 1092, e->d_name);
        struct stat st;
        // Files are counted through symlinks.
        if (fstatat(dirfd, e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) total += st.st_size;
        if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
            continue;
        int sub = openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) continue;  // unreadable: not counted
        int64_t size = DirSize(sub);
        if (size != -1) total += size;
    }
    closedir(dir);
    return total;
}

// A stream mode that fopen and its kin take: "r", "w" or "a" first.
bool ValidMode(const char *mode) {
    return mode && (mode[0] == 'r' || mode[0] == 'w' || mode[0] == 'a');
}

}  // namespace

extern "C" uint64_t SLIBGetFsFreeSize(const char *path) {
    struct statfs64 st;
    if (!FsStat(path, 949, st)) return 0;
    return static_cast<uint64_t>(st.f_bfree) * static_cast<uint64_t>(st.f_bsize);
}

extern "C" uint64_t SLIBGetFsAvailSize(const char *path) {
    struct statfs64 st;
    if (!FsStat(path, 917, st)) return 0;
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_bsize);
}

extern "C" uint64_t SLIBGetFsUsedSize(const char *path) {
    struct statfs64 st;
    if (!FsStat(path, 979, st)) return 0;
    return static_cast<uint64_t>(st.f_blocks - st.f_bfree) * static_cast<uint64_t>(st.f_bsize);
}

extern "C" int64_t SLIBGetDirSize(const char *directory) {
    if (!directory || !*directory) {
        SLIBLog(LOG_ERR, "%s (%d) Bad parameter.", kSource, 1074);
        return -1;
    }
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    return DirSize(fd);
}

extern "C" uint64_t SLIBGetDirSizeByDu(const char *path) {
    if (!path) {
        SLIBLog(LOG_ERR, "%s(%d)bad parameter", kSource, __LINE__);
        return 0;
    }
    try {
        std::string escaped(8192, '\0');
        if (SLIBStrEncodeParam(path, escaped.data(), static_cast<int>(escaped.size())) != 0) {
            SLIBLog(LOG_ERR, "%s(%d)Failed to encode param for /usr/bin/du -sk %s", kSource,
                    __LINE__, path);
            return 0;
        }
        escaped.resize(strlen(escaped.c_str()));
        const std::string cmd = "/usr/bin/du -slk " + escaped;
        FILE *fp = popen(cmd.c_str(), "re");
        if (!fp) {
            SLIBLog(LOG_ERR, "%s(%d)Cannot allocate memory for 'popen'", kSource, __LINE__);
            return 0;
        }
        char line[4128];
        uint64_t size = 0;
        if (!fgets(line, sizeof line, fp)) {
            SLIBLog(LOG_ERR, "%s(%d)failed to get string from popen(%s)", kSource, __LINE__,
                    cmd.c_str());
        } else if (!isdigit(static_cast<unsigned char>(line[0]))) {
            SLIBLog(LOG_ERR,
                    "%s(%d)failed to get size by popen(%s), maybe error occurred, result=%s",
                    kSource, __LINE__, cmd.c_str(), line);
        } else {
            size = strtoull(line, nullptr, 10) * 1024;
        }
        while (fgets(line, sizeof line, fp)) {
        }
        if (pclose(fp) == -1) SLIBLog(LOG_ERR, "Cannot close file stream");
        return size;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return 0;
    }
}

extern "C" int SLIBFileTruncate(const char *path) {
    if (!path) return Fail(ERR_BAD_PARAMETERS);
    FILE *fp = fopen(path, "we");
    if (!fp) return Fail(ERR_OPEN_FAILED);
    bool ok = fflush(fp) == 0 && fsync(fileno(fp)) == 0;
    if (fclose(fp) != 0 || !ok) return Fail(ERR_WRITE_FAILED);
    return 0;
}

extern "C" int SLIBFileAppendLine(const char *path, const char *text) {
    if (!path || !text) return Fail(ERR_BAD_PARAMETERS);
    FILE *fp = fopen(path, "a+e");
    if (!fp) return Fail(ERR_OPEN_FAILED);
    // A last line without its newline must not run into the new one.
    struct stat st;
    char last = '\n';
    if (fstat(fileno(fp), &st) == 0 && st.st_size > 0 &&
        pread(fileno(fp), &last, 1, st.st_size - 1) != 1)
        last = '\n';
    bool ok = (last == '\n' || fputc('\n', fp) != EOF) && fputs(text, fp) != EOF &&
              fputc('\n', fp) != EOF && fflush(fp) == 0 && fsync(fileno(fp)) == 0;
    if (fclose(fp) != 0) ok = false;
    return ok ? 0 : Fail(ERR_WRITE_FAILED);
}

extern "C" int BlSLIBIsRegularFile(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

extern "C" int SLIBFileReadLines(const char *path, PSLIBSZLIST *pplist) {
    if (!path || !pplist || !*pplist) return Fail(ERR_BAD_PARAMETERS);
    FILE *fp = fopen(path, "re");
    if (!fp) return Fail(ERR_OPEN_FAILED);
    // Whole lines, whatever their length.
    char *buf = nullptr;
    size_t cap = 0;
    int result = 0;
    while (getline(&buf, &cap, fp) > 0) {
        if (SLIBSzListPush(pplist, buf) < 0) {
            result = -1;
            break;
        }
    }
    if (result == 0 && !feof(fp)) result = Fail(ferror(fp) ? ERR_READ_FAILED : ERR_OUT_OF_MEMORY);
    free(buf);
    fclose(fp);
    return result;
}

extern "C" int SLIBDirEnum(const char *directory, const char *key, PSLIBSZLIST *pplist, int flags) {
    if (!directory || !pplist || !*pplist || flags < 0) return Fail(ERR_BAD_PARAMETERS);
    if (!(flags & (SLIB_DIRENUM_DIRS | SLIB_DIRENUM_FILES)))
        flags |= SLIB_DIRENUM_DIRS | SLIB_DIRENUM_FILES;
    DIR *dir = opendir(directory);
    if (!dir) return Fail(ERR_OPEN_FAILED);
    int result = 0;
    try {
        std::string sub;
        while (struct dirent *e = readdir(dir)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            sub = std::string(directory) + "/" + e->d_name;
            struct stat st;
            if (stat(sub.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
            if (!(flags & SLIB_DIRENUM_DIRS)) continue;
            if (key && BlSLIBFileMatchLine(e->d_name, key, flags & kMatchFlags) != 1) continue;
            if (SLIBSzListPush(pplist, e->d_name) < 0) {
                result = -1;
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        result = Fail(ERR_OUT_OF_MEMORY);
    }
    closedir(dir);
    return result < 0 ? -1 : (*pplist)->nItem;
}

extern "C" FILE *SLIBFileOpen(const char *path, const char *mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    char m[8];
    snprintf(m, sizeof m, "%s", mode);
    return fopen(path, m);
}

// The caller's mode goes to the C library unchanged; a mode it would refuse
// is refused here before the caller's stream is touched.
extern "C" FILE *SLIBFileDescOpen(int fd, const char *mode) {
    if (!ValidMode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    return fdopen(fd, mode);
}

extern "C" FILE *SLIBFileReopen(const char *path, const char *mode, FILE *stream) {
    if (!ValidMode(mode) || !stream) {
        errno = EINVAL;
        return nullptr;
    }
    return freopen(path, mode, stream);
}
