#include "slib_section.h"

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_sectionindex.h"
#include "slib_util.h"

namespace {

constexpr size_t kMaxHeader = 1024;

using slib::Fail;

// Closes a stream when the scope ends.
struct File {
    FILE *fp;
    explicit File(FILE *f) : fp(f) {}
    ~File() {
        if (fp) fclose(fp);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
};

// The next line of a stream (newline included); false at end of file.
bool NextLine(FILE *fp, std::string_view &line) {
    size_t len = 0;
    char *p = fgetln(fp, &len);
    if (!p) return false;
    line = std::string_view(p, len);
    return true;
}

// A text written into a section file must not hold a line break: it would
// start a line, or a whole section, of its own.
using slib::OneLine;

// Checks the format and that no text of the section breaks a line.
bool Writable(const char *section, PSLIBSZHASH hash, const char *format) {
    if (!BlSLIBIsKeyValueFormat(format) || !OneLine(section)) return false;
    if (!hash) return true;
    for (int i = 0; i < hash->nBucket; ++i) {
        const SLIBSZHASH_BUCKET &b = hash->buckets[i];
        if (b.szKey && (!OneLine(b.szKey) || !OneLine(b.szValue))) return false;
    }
    return true;
}

// Splits body lines into their trimmed key and value through the key/value
// splitter.
class PairSplitter {
  public:
    PairSplitter() : list_(PslSLIBSzListAlloc(1024)) {}
    ~PairSplitter() { SLIBSzListFree(list_); }
    PairSplitter(const PairSplitter &) = delete;
    PairSplitter &operator=(const PairSplitter &) = delete;
    // false when the list cannot be had (error set).
    bool ok() const { return list_ != nullptr; }
    // false for lines without "=" or with an empty key.
    bool Split(std::string_view line) {
        text_.assign(line);
        SLIBSzListRemoveAll(list_);
        const SLIBERRCODE before = SLIBErrGet();
        if (SLIBStrSplitKeyValue(text_.c_str(), &list_) == 0) return true;
        if (SLIBErrGet() != ERR_BAD_PARAMETERS) throw std::bad_alloc();
        SLIBErrSet(before);  // a line that is no key=value pair is no failure
        return false;
    }
    const char *key() const { return list_->pszItem[0]; }
    const char *value() const { return list_->pszItem[1]; }

  private:
    PSLIBSZLIST list_;  // moves when it grows
    std::string text_;
};

// The name of a section header line: 1 with the name, 0 for a line that is
// no header, -1 (error set) for a header too long.
int HeaderName(std::string_view line, std::string &name) {
    if (!BlSLIBFileIsSectionHeader(line.data(), line.size())) return 0;
    if (line.size() >= kMaxHeader) return Fail(ERR_BUF_TOO_SMALL);
    name.assign(line.substr(1, line.rfind(']') - 1));
    return 1;
}

using slib::WriteAll;

// After NextLine() gave no line: 0 at the end of the file; otherwise the line
// could not be read (a read error, or no memory for it), which is a failure
// and never the end of the file.
int InputEnd(FILE *fp) {
    if (feof(fp)) return 0;
    return Fail(ferror(fp) ? ERR_READ_FAILED : ERR_OUT_OF_MEMORY);
}

using slib::IsComment;

// SLIBFileGetSection; with skipComments the body's comment lines are left
// out, as a rewrite of the section keeps them in the file by themselves.
int ReadSection(const char *path, const char *section, PSLIBSZHASH *pphash, bool skipComments) {
    if (!path || !section || !pphash || !*pphash) return Fail(ERR_BAD_PARAMETERS);
    File in(fopen(path, "r"));
    if (!in.fp) return Fail(ERR_OPEN_FAILED);
    try {
        std::string_view line;
        bool inside = false;
        PairSplitter pair;
        if (!pair.ok()) return -1;
        while (NextLine(in.fp, line)) {
            if (!inside) {
                inside = BlSLIBFileIsSectionNamed(line.data(), line.size(), section) == 1;
                continue;
            }
            if (line[0] == '[') return SLIBSzHashCount(*pphash);
            if (skipComments && IsComment(line)) continue;
            if (!pair.Split(line)) continue;
            if (SLIBSzHashSetValue(pphash, pair.key(), pair.value()) < 0) return -1;
        }
        if (InputEnd(in.fp) < 0) return -1;
        return SLIBSzHashCount(*pphash);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

}  // namespace

extern "C" int BlSLIBFileIsSectionHeader(const char *line, size_t length) {
    if (!line || length == 0 || line[0] != '[') return 0;
    size_t end = length;
    while (end > 0 && isspace(static_cast<unsigned char>(line[end - 1])))
        --end;
    return end > 0 && line[end - 1] == ']';
}

extern "C" int BlSLIBFileIsSectionNamed(const char *line, size_t length, const char *name) {
    if (!line || !name) return Fail(ERR_BAD_PARAMETERS);
    size_t n = strlen(name);
    if (length < n + 2 || line[0] != '[' || memcmp(line + 1, name, n) != 0 || line[n + 1] != ']')
        return 0;
    for (size_t i = n + 2; i < length; ++i) {
        if (!isspace(static_cast<unsigned char>(line[i]))) return 0;
    }
    return 1;
}

extern "C" int SLIBFileGetSection(const char *path, const char *section, PSLIBSZHASH *pphash) {
    return ReadSection(path, section, pphash, false);
}

extern "C" int SLIBFileEnumSection(const char *path, PSLIBSZLIST *pplist) {
    if (!path || !pplist || !*pplist) return Fail(ERR_BAD_PARAMETERS);
    File in(fopen(path, "r"));
    if (!in.fp) return Fail(ERR_OPEN_FAILED);
    try {
        std::string_view line;
        std::string name;
        while (NextLine(in.fp, line)) {
            const int header = HeaderName(line, name);
            if (header < 0) return -1;
            if (header == 0) continue;
            if (SLIBSzListPush(pplist, name.c_str()) < 0) return -1;
        }
        if (InputEnd(in.fp) < 0) return -1;
        return (*pplist)->nItem;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

namespace slib {

PSLIBSZHASH SectionIndex::Find(const char *name) const {
    const auto it = first_.find(name);
    return it == first_.end() ? nullptr : it->second.get();
}

int SectionIndex::Read(const char *path) {
    names_.clear();
    first_.clear();
    if (!path) return Fail(ERR_BAD_PARAMETERS);
    File in(fopen(path, "r"));
    if (!in.fp) return Fail(ERR_OPEN_FAILED);
    try {
        PairSplitter pair;
        if (!pair.ok()) return -1;
        std::string_view line;
        std::string name;
        // The section whose pairs are being read; null after a line that
        // starts with '[' but opens no first section of its name.
        SzHashPtr *body = nullptr;
        while (NextLine(in.fp, line)) {
            if (line[0] == '[') {
                body = nullptr;
                const int header = HeaderName(line, name);
                if (header < 0) return -1;
                if (header == 0) continue;
                // A name is listed up to a NUL byte; a header holding one is
                // never the section of any name.
                names_.emplace_back(name.c_str());
                auto [it, fresh] = first_.try_emplace(std::move(name));
                if (!fresh) continue;
                it->second.reset(PshSLIBSzHashAlloc(256));
                if (!it->second) return -1;
                body = &it->second;
                continue;
            }
            if (!body || !pair.Split(line)) continue;
            PSLIBSZHASH h = body->release();
            const int r = SLIBSzHashSetValue(&h, pair.key(), pair.value());
            body->reset(h);
            if (r < 0) return -1;
        }
        if (InputEnd(in.fp) < 0) return -1;
        return static_cast<int>(names_.size());
    } catch (const std::bad_alloc &) {
        names_.clear();
        first_.clear();
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

}  // namespace slib

extern "C" int SLIBFileWriteSection(FILE *fp, const char *section, PSLIBSZHASH hash,
                                    const char *format) {
    if (!fp || !Writable(section, hash, format)) return Fail(ERR_BAD_PARAMETERS);
    try {
        if (section) {
            std::string header = std::string("[") + section + "]\n";
            if (!WriteAll(fp, header)) return Fail(ERR_WRITE_FAILED);
        }
        if (!hash) return 0;
        for (int i = 0; i < hash->nBucket; ++i) {
            const SLIBSZHASH_BUCKET &b = hash->buckets[i];
            if (!b.szKey) continue;
            if (!WriteAll(fp, slib::FormatKeyValue(format, b.szKey, b.szValue)))
                return Fail(ERR_WRITE_FAILED);
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int ErrSLIBFileAddSection(const char *path, const char *section, PSLIBSZHASH hash,
                                     const char *format) {
    if (!path || !section || !Writable(section, hash, format)) return Fail(ERR_BAD_PARAMETERS);
    File f(fopen(path, "r+"));
    if (!f.fp) return Fail(ERR_OPEN_FAILED);
    std::string_view line;
    bool endsWithNewline = false;
    while (NextLine(f.fp, line)) {
        if (BlSLIBFileIsSectionNamed(line.data(), line.size(), section) == 1) return 0;
        endsWithNewline = line.back() == '\n';
    }
    if (InputEnd(f.fp) < 0) return -1;
    if (fseek(f.fp, 0, SEEK_END) != 0) return Fail(ERR_WRITE_FAILED);
    if (!endsWithNewline && fputc('\n', f.fp) == EOF) return Fail(ERR_WRITE_FAILED);
    if (SLIBFileWriteSection(f.fp, section, hash, format) < 0) return -1;
    if (fflush(f.fp) != 0 || fsync(fileno(f.fp)) != 0) return Fail(ERR_WRITE_FAILED);
    FILE *fp = f.fp;
    f.fp = nullptr;
    if (fclose(fp) != 0) return Fail(ERR_WRITE_FAILED);
    return 1;
}

extern "C" int ErrSLIBIFileModifySection(const char *path, const char *section, const char *newName,
                                         PSLIBSZHASH hash, int flags, const char *format) {
    if (!path || !section) return Fail(ERR_BAD_PARAMETERS);
    const bool replace = (flags & SLIB_SECTION_REPLACE) != 0;
    const char *header = newName ? newName : section;
    if (replace && !Writable(header, hash, format)) return Fail(ERR_BAD_PARAMETERS);
    File in(fopen(path, "r"));
    if (!in.fp) return Fail(ERR_OPEN_FAILED);
    try {
        slib::RewriteSet rewrite;
        FILE *out = rewrite.Open(path);
        if (!out) return -1;
        std::string_view line;
        bool inside = false, found = false;
        while (NextLine(in.fp, line)) {
            if (BlSLIBFileIsSectionNamed(line.data(), line.size(), section) == 1) {
                inside = found = true;
                if (replace && SLIBFileWriteSection(out, header, hash, format) < 0) return -1;
                continue;
            }
            if (BlSLIBFileIsSectionHeader(line.data(), line.size())) {
                inside = false;
            } else if (inside && !IsComment(line)) {
                continue;
            }
            if (!WriteAll(out, line)) return Fail(ERR_WRITE_FAILED);
        }
        if (InputEnd(in.fp) < 0) return -1;
        if (!rewrite.Commit()) return -1;
        return found ? 1 : 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int ErrSLIBFileRemoveSection(const char *path, const char *section) {
    return ErrSLIBIFileModifySection(path, section, nullptr, nullptr, 0, nullptr);
}

extern "C" int ErrSLIBFileSetSection(const char *path, const char *section, const char *newName,
                                     PSLIBSZHASH hash, const char *format) {
    if (!hash) return Fail(ERR_BAD_PARAMETERS);
    return ErrSLIBIFileModifySection(path, section, newName, hash, SLIB_SECTION_REPLACE, format);
}

extern "C" int ErrSLIBFileSetSectionKey(const char *path, const char *section, const char *key,
                                        const char *value, const char *format) {
    if (!path || !section || !key || !value || !OneLine(key) || !OneLine(value) ||
        !BlSLIBIsKeyValueFormat(format)) {
        return Fail(ERR_BAD_PARAMETERS);
    }
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(1024);
    if (!hash) return -1;
    int r = ErrSLIBFileAddSection(path, section, hash, format);
    // The section's comment lines stay in the file through the rewrite; read
    // into the hash as well, they would be written once more each time.
    if (r == 0) r = ReadSection(path, section, &hash, true);
    if (r >= 0) r = SLIBSzHashSetValue(&hash, key, value);
    if (r >= 0) r = ErrSLIBFileSetSection(path, section, nullptr, hash, format);
    SLIBSzHashFree(hash);
    return r;
}

extern "C" int SLIBFileWriteHash(const char *path, PSLIBSZHASH hash, const char *format) {
    if (!path || !hash) return Fail(ERR_BAD_PARAMETERS);
    if (!Writable(nullptr, hash, format)) return Fail(ERR_BAD_PARAMETERS);
    try {
        slib::RewriteSet rewrite;
        FILE *out = rewrite.Open(path);
        if (!out) return -1;
        if (SLIBFileWriteSection(out, nullptr, hash, format) < 0) return -1;
        return rewrite.Commit() ? 0 : -1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}
