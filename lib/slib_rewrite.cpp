#include "slib_rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "slib_errcode.h"
#include "slib_fsbase.h"

namespace slib {

namespace {

constexpr size_t kBufferSize = 1 << 16;

// Syncs the directory that holds path, so that a rename survives a power cut.
void SyncDir(const std::string &path) {
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Flushes, syncs and closes a stream; false on the first failure.
bool Finish(FILE *fp) {
    bool ok = !ferror(fp);
    ok = fflush(fp) == 0 && ok;
    ok = fsync(fileno(fp)) == 0 && ok;
    ok = fclose(fp) == 0 && ok;
    return ok;
}

}  // namespace

std::string TempPath(const std::string &path) {
    return path + ".tmp";
}

std::string PreviousPath(const std::string &path) {
    return path + ".prev.tmp";
}

std::string FormatKeyValue(const char *format, std::string_view key, std::string_view value) {
    if (!format) format = "%s=%s\n";
    std::string out;
    out.reserve(key.size() + value.size() + 8);
    int arg = 0;
    for (const char *p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
        } else if (p[1] == '%') {
            out += '%';
            ++p;
        } else {
            out += arg++ == 0 ? key : value;
            if (p[1]) ++p;
        }
    }
    return out;
}

FILE *RewriteSet::Open(const std::string &path) {
    try {
        return Open(path, TempPath(path));
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

FILE *RewriteSet::Open(const std::string &path, const struct stat &orig) {
    try {
        return Open(path, TempPath(path), &orig);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

FILE *RewriteSet::Open(const std::string &path, const std::string &tmp) {
    return Open(path, tmp, nullptr);
}

FILE *RewriteSet::Open(const std::string &path, const std::string &tmp, const struct stat *given) {
    try {
        // Everything that can throw happens before the copy is created.
        entries_.reserve(entries_.size() + 1);
        Entry e;
        e.path = path;
        e.tmp = tmp;
        struct stat orig {};
        if (given) orig = *given;
        const bool have =
            given ? S_ISREG(orig.st_mode) : stat(path.c_str(), &orig) == 0 && S_ISREG(orig.st_mode);
        // Few large writes instead of many small ones; allocated before the
        // stream exists, so a failed allocation leaves nothing open.
        e.buffer.reset(new (std::nothrow) char[kBufferSize]);
        if (!e.buffer) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            return nullptr;
        }
        // The common case has no stale copy: try the exclusive create first.
        // The copy has the file's own mode from the start, so nobody the file
        // keeps out can open it meanwhile.
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        const mode_t mode = have ? (orig.st_mode & 0777) : 0666;
        int created = open(e.tmp.c_str(), flags, mode);
        if (created < 0 && errno == EEXIST && unlink(e.tmp.c_str()) == 0)
            created = open(e.tmp.c_str(), flags, mode);
        if (created < 0) {
            SLIBErrSet(ERR_OPEN_FAILED);
            return nullptr;
        }
        e.fp = fdopen(created, "w");
        if (!e.fp) {
            close(created);
            unlink(e.tmp.c_str());
            SLIBErrSet(ERR_OPEN_FAILED);
            return nullptr;
        }
        setvbuf(e.fp, e.buffer.get(), _IOFBF, kBufferSize);
        const int fd = fileno(e.fp);
        struct stat now {};
        bool ok = fstat(fd, &now) == 0;
        e.dev = now.st_dev;
        e.ino = now.st_ino;
        if (ok && have) {
            const bool chown = ok && (now.st_uid != orig.st_uid || now.st_gid != orig.st_gid);
            if (chown) ok = fchown(fd, orig.st_uid, orig.st_gid) == 0;
            // After the owner: a change of owner clears set-id bits.
            if (ok && (chown || (now.st_mode & 07777) != (orig.st_mode & 07777)))
                ok = fchmod(fd, orig.st_mode & 07777) == 0;
        }
        if (!ok) {
            fclose(e.fp);
            unlink(e.tmp.c_str());
            SLIBErrSet(ERR_OPEN_FAILED);
            return nullptr;
        }
        entries_.push_back(std::move(e));
        return entries_.back().fp;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

Input::Result Input::Read(const char *path) {
    text_.clear();
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kOpenFailed;
    Result result = kRead;
    if (fstat(fd, &st_) != 0) {
        result = kReadFailed;
    } else if (!S_ISDIR(st_.st_mode)) {
        // One byte more than the file holds: a regular file that comes back
        // short has been read to its end, without a read to confirm it.
        const bool regular = S_ISREG(st_.st_mode);
        size_t cap = (regular && st_.st_size > 0 ? static_cast<size_t>(st_.st_size) : 4096) + 1;
        size_t have = 0;
        try {
            for (;;) {
                text_.resize(cap);
                const ssize_t n = read(fd, text_.data() + have, cap - have);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    result = kReadFailed;
                    break;
                }
                have += static_cast<size_t>(n);
                if (n == 0 || (regular && have < cap)) break;
                if (have == cap) cap *= 2;
            }
        } catch (...) {
            close(fd);
            throw;
        }
        text_.resize(have);
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return result;
}

bool RewriteSet::Commit(SLIBERRCODE failCode) {
    renameError_ = 0;
    bool ok = true;
    for (Entry &e : entries_) {
        if (!Finish(e.fp)) ok = false;
        e.fp = nullptr;
    }
    // Another writer of a file (one that did not hold its lock) may have
    // removed a copy as stale and be writing its own under the same name:
    // that half-written file must never be moved into place, nor removed.
    for (const Entry &e : entries_)
        if (ok && !Owns(e)) {
            renameError_ = ENOENT;
            ok = false;
        }
    if (!ok) {
        Abort();
        SLIBErrSet(failCode);
        return false;
    }
    std::vector<std::pair<std::string, std::string>> copies;
    copies.reserve(entries_.size());
    for (Entry &e : entries_)
        copies.emplace_back(std::move(e.tmp), std::move(e.path));
    entries_.clear();
    return CommitKept(copies, failCode, &renameError_);
}

bool RewriteSet::Keep(SLIBERRCODE failCode) {
    bool ok = true;
    for (Entry &e : entries_) {
        if (!Finish(e.fp)) ok = false;
        e.fp = nullptr;
    }
    if (!ok) {
        Abort();
        SLIBErrSet(failCode);
        return false;
    }
    entries_.clear();
    return true;
}

bool RewriteSet::CommitKept(const std::vector<std::pair<std::string, std::string>> &copies,
                            SLIBERRCODE failCode, int *err) {
    struct Done {
        const std::string *path;
        std::string old;  // empty when the file did not exist before
    };
    std::vector<Done> done;
    done.reserve(copies.size());
    // One file needs no previous version: its rename alone is atomic.
    const bool keepOld = copies.size() > 1;
    int error = 0;
    size_t i = 0;
    for (; i < copies.size(); ++i) {
        const std::string &tmp = copies[i].first, &path = copies[i].second;
        struct stat st;
        if (lstat(tmp.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            error = errno;
            break;
        }
        Done d{&path, {}};
        if (!keepOld) {
            // Nothing to restore.
        } else if (lstat(path.c_str(), &st) == 0) {
            d.old = PreviousPath(path);
            // A stale previous version from an interrupted change goes first.
            if ((unlink(d.old.c_str()) != 0 && errno != ENOENT) ||
                link(path.c_str(), d.old.c_str()) != 0) {
                error = errno;
                break;
            }
        } else if (errno != ENOENT) {
            error = errno;
            break;
        } else {
            d.old = "";  // the file is new: restoring removes it
        }
        if (SLIBSysRename(tmp.c_str(), path.c_str()) != 0) {
            error = errno;
            if (!d.old.empty()) unlink(d.old.c_str());
            break;
        }
        done.push_back(std::move(d));
    }
    const bool ok = i == copies.size();
    if (!ok) {
        // Back to the previous versions, newest first.
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            if (it->old.empty())
                unlink(it->path->c_str());
            else
                SLIBSysRename(it->old.c_str(), it->path->c_str());
        }
        for (const auto &c : copies)
            unlink(c.first.c_str());
    } else {
        for (const Done &d : done)
            if (!d.old.empty()) unlink(d.old.c_str());
    }
    for (const Done &d : done)
        SyncDir(*d.path);
    if (err) *err = error;
    if (!ok) SLIBErrSet(failCode);
    return ok;
}

bool RewriteSet::Owns(const Entry &e) {
    struct stat st;
    return lstat(e.tmp.c_str(), &st) == 0 && st.st_dev == e.dev && st.st_ino == e.ino;
}

void RewriteSet::Abort() {
    for (Entry &e : entries_) {
        if (e.fp) fclose(e.fp);
        if (Owns(e)) unlink(e.tmp.c_str());
    }
    entries_.clear();
}

}  // namespace slib
