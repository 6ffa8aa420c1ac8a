// Small helpers shared by the library's sources. Internal to the library.
#pragma once

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

namespace slib {

// Records the code and gives the usual failure result.
inline int Fail(SLIBERRCODE code) {
    SLIBErrSet(code);
    return -1;
}

struct FileCloser {
    void operator()(FILE *fp) const { fclose(fp); }
};
// A stream closed when it goes out of scope.
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A descriptor closed when it goes out of scope (-1: none).
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    bool ok() const { return fd >= 0; }
};

struct SzListFree {
    void operator()(PSLIBSZLIST l) const { SLIBSzListFree(l); }
};
// A string list freed when it goes out of scope.
using SzListPtr = std::unique_ptr<SLIBSZLIST, SzListFree>;

struct SzHashFree {
    void operator()(PSLIBSZHASH h) const { SLIBSzHashFree(h); }
};
// A hash freed on every path.
using SzHashPtr = std::unique_ptr<SLIBSZHASH, SzHashFree>;

// True when path names a directory (following links).
inline bool IsDirectory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// A comment line of the configuration files: "#" or ";" in the first column.
inline bool IsComment(std::string_view line) {
    return !line.empty() && (line[0] == '#' || line[0] == ';');
}

// True when a text (or no text) holds no line break, so writing it cannot
// add lines to a file.
inline bool OneLine(const char *s) {
    return s == nullptr || strpbrk(s, "\r\n") == nullptr;
}

// A plain code (a language code naming a folder): 1 to max characters of
// ASCII letters, digits, "_" and "-", so it is safe inside a path.
inline bool IsPlainCode(const char *s, size_t max) {
    if (s == nullptr || *s == '\0') return false;
    size_t n = 0;
    for (const char *p = s; *p; ++p, ++n) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok || n >= max) return false;
    }
    return true;
}

// Writes all of s to a stream that belongs to the calling operation alone
// (a rewrite's temporary copy), so no stream locking is needed.
inline bool WriteAll(FILE *fp, std::string_view s) {
    return fwrite_unlocked(s.data(), 1, s.size(), fp) == s.size();
}

// A temporary copy's stream that remembers whether its last line ended, so
// that a line added after a last line without its newline ends that first.
class LineOut {
  public:
    explicit LineOut(FILE *fp) : fp_(fp) {}
    bool Put(std::string_view s) {
        if (s.empty()) return true;
        atLineStart_ = s.back() == '\n';
        return WriteAll(fp_, s);
    }
    bool NewLine(std::string_view s) { return (atLineStart_ || Put("\n")) && Put(s); }

  private:
    FILE *fp_;
    bool atLineStart_ = true;
};

// Named locks held for one scope, released on every path; Release() tells
// whether the unlock worked.
class ScopedLock {
  public:
    ScopedLock(uint32_t mask, SLIBLOCKREQ op, int timeout)
        : mask_(mask), held_(ErrSLIBFileLock(mask | op, timeout) == 0) {}
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;
    ~ScopedLock() { Release(); }
    bool Held() const { return held_; }
    bool Release() {
        if (!held_) return true;
        held_ = false;
        return SLIBErrSLIBFileUnlock(mask_) == 0;
    }

  private:
    uint32_t mask_;
    bool held_;
};

// A ScopedLock whose failed release, by Release() or at the end of the
// scope, sets ERR_UNLOCK_FAILED.
class CheckedLock : public ScopedLock {
  public:
    using ScopedLock::ScopedLock;
    ~CheckedLock() { Release(); }
    bool Release() {
        if (ScopedLock::Release()) return true;
        SLIBErrSet(ERR_UNLOCK_FAILED);
        return false;
    }
};

// True for a process id a signal may go to: never a process group (0, -1
// ...), init, or the caller itself, which a stale or damaged pid file may
// name.
inline bool MaySignal(int pid) {
    return pid > 1 && pid != getpid();
}

// True when process pid is the program name stands for: its own name
// (command name, argv[0] or argv[0]'s last component) is the first word of
// name exactly, and further words of name are its first arguments. The
// process searches by name match the same way.
bool ProcessIsNamed(int pid, std::string_view name);

// False when pid is a live process other than the daemon the pid file path
// belongs to ("/var/run/<daemon>.pid" is the daemon <daemon>'s): a stale
// file whose number names another process now. A process that has gone is
// left to kill(), which reports it.
inline bool PidFileMayName(const char *path, int pid) {
    std::string_view daemon(path);
    daemon.remove_prefix(std::min(daemon.size(), daemon.rfind('/') + 1));
    if (daemon.size() > 4 && daemon.substr(daemon.size() - 4) == ".pid") daemon.remove_suffix(4);
    return ProcessIsNamed(pid, daemon) || !BlSLIBProcIsAlive(pid);
}

// The process a daemon's pid file names when it may be signalled, else 0:
// never init, a process group or the caller, and never a live process of
// another name (see PidFileMayName). The number is parsed, never handed to a
// shell or kill(1).
inline int SignallablePid(const char *path) {
    const int pid = SLIBProcReadPidFile(path);
    return MaySignal(pid) && PidFileMayName(path, pid) ? pid : 0;
}

// The model's capability file.
inline constexpr const char *kQavoinfoDefaults = "/etc.defaults/qavoinfo.conf";

// True when a key of the model's capability file reads "yes" (in any case
// with anyCase). The value is read into size bytes (at most 512): a longer
// one is not "yes".
inline bool DefaultIsYes(const char *key, int size, bool anyCase = false) {
    char value[512] = "";
    if (size > static_cast<int>(sizeof(value))) size = sizeof(value);
    if (SLIBFileGetKeyValue(kQavoinfoDefaults, key, value, size, 0) <= 0) return false;
    return (anyCase ? strcasecmp(value, "yes") : strcmp(value, "yes")) == 0;
}

// Bytes a list of texts takes in a caller's buffer: a pointer for each and
// a closing null pointer at the front, the texts with their zeros.
inline size_t PackedSize(const std::vector<std::string> &texts) {
    size_t need = sizeof(char *);
    for (const std::string &t : texts)
        need += sizeof(char *) + t.size() + 1;
    return need;
}

// Lays the texts out in buf (size bytes, at least PackedSize()): the pointer
// array closed by NULL, the texts packed from the end.
inline void PackTexts(const std::vector<std::string> &texts, char **buf, int size) {
    char *end = reinterpret_cast<char *>(buf) + size;
    for (size_t i = 0; i < texts.size(); ++i) {
        end -= texts[i].size() + 1;
        memcpy(end, texts[i].c_str(), texts[i].size() + 1);
        buf[i] = end;
    }
    buf[texts.size()] = nullptr;
}

// A host name after RFC 1123: labels of 1 to 63 letters, digits and inner
// hyphens, separated by single dots, 253 bytes at most (dotted IPv4
// addresses are of that form too).
inline bool IsHostName(const char *s) {
    if (s == nullptr) return false;
    const size_t len = strlen(s);
    if (len == 0 || len > 253) return false;
    size_t label = 0;
    for (size_t i = 0; i <= len; ++i) {
        const char c = s[i];
        if (c == '.' || c == '\0') {
            if (label == 0 || label > 63 || s[i - 1] == '-') return false;
            label = 0;
            continue;
        }
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && !(c == '-' && label > 0)) return false;
        ++label;
    }
    return true;
}

}  // namespace slib
