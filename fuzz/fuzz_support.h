// Helpers shared by the fuzz targets (see scripts/fuzz.sh).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "slib_section.h"
#include "slib_util.h"

namespace qfuzz {

// Targets that write files run only inside an appliance root started by
// sim/appliance, where /etc, /tmp and /usr/qavo are the sandbox's own.
// Logging goes nowhere there: millions of inputs would fill the capture.
inline void RequireAppliance() {
    const char *flag = getenv("QAVO_APPLIANCE");
    if (!flag || strcmp(flag, "1") != 0) {
        fprintf(stderr, "fuzz target: run it inside sim/appliance (scripts/fuzz.sh)\n");
        exit(2);
    }
    unlink("/dev/log");
}

// Writes a whole file; a failure is the harness's own and stops the run.
inline void Put(const char *path, std::string_view data) {
    FILE *fp = fopen(path, "we");
    if (!fp || fwrite(data.data(), 1, data.size(), fp) != data.size() || fclose(fp) != 0) {
        perror(path);
        abort();
    }
}

// The input cut at form feeds into count parts; missing parts are empty and
// the last one takes the rest.
inline std::vector<std::string> Parts(const uint8_t *data, size_t size, size_t count) {
    std::vector<std::string> parts(count);
    std::string_view rest(reinterpret_cast<const char *>(data), size);
    for (size_t i = 0; i < count; ++i) {
        size_t cut = i + 1 < count ? rest.find('\f') : std::string_view::npos;
        parts[i].assign(rest.substr(0, cut));
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return parts;
}

// The fields of a text between separators (an empty text is one empty
// field).
inline std::vector<std::string> Split(const std::string &s, char sep) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (;;) {
        const size_t at = s.find(sep, pos);
        out.push_back(s.substr(pos, at == std::string::npos ? std::string::npos : at - pos));
        if (at == std::string::npos) return out;
        pos = at + 1;
    }
}

// Lays a shell-script stand-in over an appliance program.
inline void StandIn(const char *path, std::string_view script) {
    unlink(path);
    Put(path, script);
    if (chmod(path, 0755) != 0) {
        perror(path);
        abort();
    }
}

// The text up to its first NUL (what a C caller would pass).
inline std::string CText(const std::string &s) {
    return std::string(s.c_str());
}

// The lines of a text, line ends dropped.
inline std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// A whole file ("" when it cannot be read).
inline std::string ReadAll(const std::string &path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

// The files, folders and links under some folders of the appliance root as
// they were taken, put back after each input so that every input starts
// from the same appliance. A file is read again only when its inode, size,
// mode, owner or times changed.
class Snapshot {
  public:
    using Listing = std::map<std::string, struct stat>;

    // skip names paths left alone (and, for a folder, all below it).
    Snapshot(std::vector<std::string> roots, std::function<bool(const std::string &)> skip)
        : roots_(std::move(roots)), skip_(std::move(skip)) {}

    // Every entry under the roots now.
    Listing Walk() const {
        namespace fs = std::filesystem;
        Listing out;
        for (const std::string &root : roots_) {
            // Only the root's own file system: folders bound in from the
            // host (the source and build trees when they live under /tmp)
            // are not the appliance's.
            struct stat top;
            if (stat(root.c_str(), &top) != 0) continue;
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(root, ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                const std::string p = it->path().string();
                struct stat st;
                if (lstat(p.c_str(), &st) != 0) continue;
                if (st.st_dev != top.st_dev || skip_(p)) {
                    if (S_ISDIR(st.st_mode)) it.disable_recursion_pending();
                    continue;
                }
                out[p] = st;
            }
        }
        return out;
    }

    void Take() {
        entries_.clear();
        for (const auto &[p, st] : Walk())
            entries_[p] = Load(p, st);
    }

    // The content of a file as it was taken ("" for others).
    const std::string &Data(const std::string &path) const {
        static const std::string none;
        auto it = entries_.find(path);
        return it == entries_.end() ? none : it->second.data;
    }

    // The paths that were not there when the snapshot was taken.
    std::vector<std::string> Added(const Listing &now) const {
        std::vector<std::string> out;
        for (const auto &[p, st] : now)
            if (!entries_.count(p)) out.push_back(p);
        return out;
    }

    // Something was added, removed or written since.
    bool Changed(const Listing &now) const {
        if (now.size() != entries_.size()) return true;
        for (const auto &[p, e] : entries_) {
            auto it = now.find(p);
            if (it == now.end() || !Same(it->second, e.st)) return true;
        }
        return false;
    }

    // The paths whose entry differs from the one taken (type, mode, owner,
    // content or link target), and those added or removed.
    std::vector<std::string> Differences(const Listing &now) const {
        std::vector<std::string> out = Added(now);
        for (const auto &[p, e] : entries_) {
            auto it = now.find(p);
            if (it == now.end() || (!Same(it->second, e.st) && !Equal(Load(p, it->second), e)))
                out.push_back(p);
        }
        return out;
    }

    // Puts everything back as it was taken.
    void Restore(const Listing &now) {
        std::error_code ec;
        for (const std::string &p : Added(now))
            std::filesystem::remove_all(p, ec);
        for (auto &[p, e] : entries_) {
            auto it = now.find(p);
            if (it != now.end()) {
                if (Same(it->second, e.st)) continue;
                if (Equal(Load(p, it->second), e)) {
                    e.st = it->second;
                    continue;
                }
            }
            WriteBack(p, e);
        }
    }

  private:
    struct Entry {
        mode_t type = 0;
        std::string data;  // a file's contents, a link's target
        struct stat st {};
    };

    static bool Same(const struct stat &a, const struct stat &b) {
        return a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
               a.st_gid == b.st_gid && a.st_size == b.st_size &&
               a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
               a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
    }

    static bool Equal(const Entry &a, const Entry &b) {
        return a.type == b.type && (a.st.st_mode & 07777) == (b.st.st_mode & 07777) &&
               a.st.st_uid == b.st.st_uid && a.st.st_gid == b.st.st_gid && a.data == b.data;
    }

    static Entry Load(const std::string &path, const struct stat &st) {
        Entry e;
        e.type = st.st_mode & S_IFMT;
        e.st = st;
        if (S_ISREG(st.st_mode)) {
            e.data = ReadAll(path);
        } else if (S_ISLNK(st.st_mode)) {
            std::error_code ec;
            e.data = std::filesystem::read_symlink(path, ec).string();
        }
        return e;
    }

    static void WriteBack(const std::string &path, Entry &e) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
        bool made = false;
        if (S_ISDIR(e.type)) {
            made = mkdir(path.c_str(), e.st.st_mode & 07777) == 0;
        } else if (S_ISLNK(e.type)) {
            made = symlink(e.data.c_str(), path.c_str()) == 0;
        } else if (S_ISREG(e.type)) {
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            made = fd >= 0 &&
                   write(fd, e.data.data(), e.data.size()) == static_cast<ssize_t>(e.data.size());
            if (fd >= 0) close(fd);
        } else {
            return;  // nothing else lives in these folders
        }
        if (!made || lchown(path.c_str(), e.st.st_uid, e.st.st_gid) != 0 ||
            (!S_ISLNK(e.type) && chmod(path.c_str(), e.st.st_mode & 07777) != 0) ||
            lstat(path.c_str(), &e.st) != 0) {
            perror(path.c_str());
            abort();
        }
    }

    std::vector<std::string> roots_;
    std::function<bool(const std::string &)> skip_;
    std::map<std::string, Entry> entries_;
};

// A harness's own check failed: print what and stop with a crash report.
#define QFUZZ_CHECK(cond)                                                            \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

// The section names of a section file, in file order (none when it cannot
// be read).
inline std::vector<std::string> Sections(const char *path) {
    std::vector<std::string> names;
    slib::SzListPtr list(PslSLIBSzListAlloc(1024));
    QFUZZ_CHECK(list);
    PSLIBSZLIST l = list.release();
    const int n = SLIBFileEnumSection(path, &l);
    list.reset(l);
    for (int i = 0; n >= 0 && i < l->nItem; ++i)
        names.emplace_back(l->pszItem[i]);
    return names;
}

}  // namespace qfuzz
