// Line files. Every operation reads whole lines, however long, and keeps
// each line's bytes as they are; only the last line of a file may lack its
// newline, and a writer that puts text after such a line ends it first so
// that two lines never run together. Rewrites go through slib::RewriteSet.
#include "slib_line.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "slib_errcode.h"
#include "slib_fsbase.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

using slib::Fail;

using slib::FilePtr;

using slib::IsDirectory;

using slib::IsComment;

bool HasNewline(std::string_view line) {
    return !line.empty() && line.back() == '\n';
}

std::string_view WithoutNewline(std::string_view line) {
    if (HasNewline(line)) line.remove_suffix(1);
    return line;
}

using slib::WriteAll;

// A whole file split into its lines; each view holds its newline except,
// possibly, the last one. st is the file's status when it was read whole by
// Load (a rewrite's copy takes its mode and owner from it).
struct Lines {
    std::string text;
    std::vector<std::string_view> lines;
    struct stat st {};

    // Where a line starts in text.
    size_t Offset(size_t i) const { return static_cast<size_t>(lines[i].data() - text.data()); }
};

void Split(Lines &out) {
    std::string_view all = out.text;
    while (!all.empty()) {
        size_t nl = all.find('\n');
        size_t len = nl == std::string_view::npos ? all.size() : nl + 1;
        out.lines.push_back(all.substr(0, len));
        all.remove_prefix(len);
    }
}

// Reads the rest of a stream; false with 0x0A00 on a read error.
bool ReadLines(FILE *fp, Lines &out) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
        out.text.append(buf, n);
    if (ferror(fp)) {
        SLIBErrSet(ERR_READ_FAILED);
        return false;
    }
    Split(out);
    return true;
}

// Takes in the lines of a file read whole; false with 0x0A00 when it could
// not be read (a directory cannot).
bool TakeLines(slib::Input &input, slib::Input::Result got, Lines &out) {
    if (got == slib::Input::kReadFailed || input.IsDirectory()) {
        SLIBErrSet(ERR_READ_FAILED);
        return false;
    }
    out.st = input.Stat();
    out.text = input.Release();
    Split(out);
    return true;
}

// Reads all the lines of path through one descriptor; -1 with openCode when
// it cannot be opened, with 0x0A00 on a read error, else 0.
int Load(const char *path, Lines &out, SLIBERRCODE openCode) {
    slib::Input input;
    const slib::Input::Result got = input.Read(path);
    if (got == slib::Input::kOpenFailed) return Fail(openCode);
    return TakeLines(input, got, out) ? 0 : -1;
}

// Ends the text written so far with a newline when its last line lacks one.
bool EndLine(FILE *out, std::string_view lastWritten) {
    if (lastWritten.empty() || HasNewline(lastWritten)) return true;
    return fputc('\n', out) != EOF;
}

// Upper-cases a text through the Unicode layer; false when it cannot be
// converted.
bool Upper(const std::string &in, std::string &out) {
    int n = SLIBUnicodeUTF8StrUpper(in.c_str(), nullptr, 0);
    if (n < 0) return false;
    out.assign(static_cast<size_t>(n) + 1, '\0');
    if (SLIBUnicodeUTF8StrUpper(in.c_str(), out.data(), n + 1) != n) return false;
    out.resize(static_cast<size_t>(n));
    return true;
}

// The key test of the key-based operations, with the key prepared once.
class KeyMatcher {
  public:
    KeyMatcher(const char *key, int flags) : flags_(flags) {
        if (!key || flags < 0) return;
        if (flags & SLIB_LINE_CASELESS) {
            usable_ = Upper(key, key_);
            keyChars_ = CountChars(key_);
        } else {
            key_ = key;
            usable_ = true;
        }
    }

    bool Matches(std::string_view line) {
        if (!usable_ || IsComment(line)) return false;
        if (flags_ & SLIB_LINE_CASELESS) {
            // A prefix is compared with the line's start only, as many
            // characters as the upper-cased key holds (each character
            // upper-cases to one or more): what follows, such as an account
            // line's description in another encoding, cannot hide the line.
            scratch_.assign((flags_ & SLIB_LINE_PREFIX) ? LeadingChars(line, keyChars_) : line);
            if (!Upper(scratch_, upper_)) return false;
            line = upper_;
        }
        if (flags_ & SLIB_LINE_PREFIX) return line.starts_with(key_);
        if (flags_ & SLIB_LINE_SUFFIX) return WithoutNewline(line).ends_with(key_);
        return line.find(key_) != std::string_view::npos;
    }

  private:
    // The characters of a UTF-8 text: the bytes that do not continue one.
    static size_t CountChars(std::string_view text) {
        size_t n = 0;
        for (const char c : text)
            n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return n;
    }
    // The first count characters of text (all of it when it holds fewer).
    static std::string_view LeadingChars(std::string_view text, size_t count) {
        size_t seen = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
            if (seen++ == count) return text.substr(0, i);
        }
        return text;
    }

    int flags_;
    bool usable_ = false;
    size_t keyChars_ = 0;
    std::string key_, scratch_, upper_;
};

// Index of the first (SLIB_LINE_LAST: last) matching line, or -1.
long FindMatch(const Lines &in, const char *key, int flags) {
    KeyMatcher m(key, flags);
    long found = -1;
    for (size_t i = 0; i < in.lines.size(); ++i) {
        if (!m.Matches(in.lines[i])) continue;
        found = static_cast<long>(i);
        if (!(flags & SLIB_LINE_LAST)) break;
    }
    return found;
}

// The field test: 1, 0, or -1 when the copy cannot be made.
int FieldsMatch(std::string_view line, PSLIBSZLIST patterns, const char *delimiters) {
    if (!patterns || patterns->nItem == 0) return 1;
    if (IsComment(line)) return 0;
    std::string copy;
    try {
        copy.assign(line);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return -1;
    }
    char *cursor = copy.data();
    for (int i = 0; i < patterns->nItem; ++i) {
        const char *token = SzSLIBStrSepNonEmpty(&cursor, delimiters);
        if (!token) return 0;
        const char *pattern = patterns->pszItem[i];
        if (pattern && *pattern && strcmp(pattern, token) != 0) return 0;
    }
    return 1;
}

// A missing file created holding text; it appears complete or not at all.
int CreateWith(const char *path, std::string_view text) {
    slib::RewriteSet rw;
    FILE *out = rw.Open(path);
    if (!out) return Fail(ERR_BAD_PARAMETERS);
    if (!WriteAll(out, text)) return Fail(ERR_WRITE_FAILED);
    return rw.Commit() ? 1 : -1;
}

// Appends text in place, ending the file's last line first when it lacks its
// newline; any failure is 0x0B00.
bool AppendInPlace(FILE *fp, std::string_view text) {
    if (fseek(fp, 0, SEEK_END) != 0) return false;
    long end = ftell(fp);
    if (end < 0) return false;
    bool endLine = false;
    if (end > 0) {
        if (fseek(fp, -1, SEEK_END) != 0) return false;
        int c = fgetc(fp);
        if (c == EOF) return false;
        endLine = c != '\n';
        if (fseek(fp, 0, SEEK_END) != 0) return false;
    }
    if (endLine && fputc('\n', fp) == EOF) return false;
    return WriteAll(fp, text) && fflush(fp) == 0 && fsync(fileno(fp)) == 0;
}

template <typename F>
int Guard(F body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

std::string WithNewline(const char *line) {
    std::string s = line;
    if (s.empty() || s.back() != '\n') s += '\n';
    return s;
}

// Comment-operation match: the key anywhere in the line, or with prefix set
// the key's text after its leading blanks at the start of the line's text
// after its ";" and leading blanks.
bool CommentMatches(std::string_view line, std::string_view key, bool prefix) {
    if (!prefix) return line.find(key) != std::string_view::npos;
    if (!line.empty() && line[0] == ';') line.remove_prefix(1);
    size_t i = line.find_first_not_of(" \t");
    line.remove_prefix(i == std::string_view::npos ? line.size() : i);
    return line.starts_with(key);
}

}  // namespace

extern "C" int BlSLIBFileMatchLine(const char *line, const char *key, int flags) {
    if (!line || !key || flags < 0 || line[0] == '#' || line[0] == ';') return 0;
    try {
        KeyMatcher m(key, flags);
        return m.Matches(line) ? 1 : 0;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return 0;
    }
}

extern "C" int BlSLIBFileMatchFields(const char *line, PSLIBSZLIST patterns,
                                     const char *delimiters) {
    if (!patterns || patterns->nItem == 0) return 1;
    if (!line || !delimiters) return 0;
    return FieldsMatch(line, patterns, delimiters);
}

extern "C" int SLIBFileAddLine(const char *path, const char *key, const char *line, int flags) {
    if (!path || !line || flags < 0 || IsDirectory(path)) return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        const std::string text = std::string(line) + '\n';
        FilePtr f(fopen(path, "r+e"));
        if (!f) {
            // Only a missing file is created: anything else that keeps it
            // from being opened must not replace an existing file.
            if (errno != ENOENT) return Fail(ERR_BAD_PARAMETERS);
            return CreateWith(path, text);
        }
        if (!key && (flags & SLIB_LINE_INSERT_AFTER)) {
            if (!AppendInPlace(f.get(), text)) return Fail(ERR_WRITE_FAILED);
            if (fclose(f.release()) != 0) return Fail(ERR_WRITE_FAILED);
            return 1;
        }
        Lines in;
        if (!ReadLines(f.get(), in)) return -1;
        f.reset();
        size_t target = 0;  // index of the line the new one goes before
        if (key) {
            long found = FindMatch(in, key, flags);
            if (found < 0) {
                SLIBErrSet(ERR_NOT_FOUND);
                return 0;
            }
            target = static_cast<size_t>(found) + ((flags & SLIB_LINE_INSERT_AFTER) ? 1 : 0);
        }
        slib::RewriteSet rw;
        FILE *out = rw.Open(path);
        if (!out) return -1;
        bool ok = true;
        for (size_t i = 0; i < in.lines.size() && ok; ++i) {
            if (i == target) ok = WriteAll(out, text);
            ok = ok && WriteAll(out, in.lines[i]);
        }
        if (ok && target >= in.lines.size()) {
            ok = (in.lines.empty() || EndLine(out, in.lines.back())) && WriteAll(out, text);
        }
        if (!ok) return Fail(ERR_WRITE_FAILED);
        return rw.Commit() ? 1 : -1;
    });
}

extern "C" int SLIBFileSetLine(const char *path, const char *key, const char *line, int flags) {
    if (!path || !key || flags < 0) return Fail(ERR_BAD_PARAMETERS);
    if (strstr(key, "defaultfs"))
        SLIBLog(LOG_ERR, "szKey=%s, szLine=%s", key, line ? line : "(null)");
    return Guard([&]() -> int {
        // One descriptor: its status tells a directory and gives the copy
        // its mode and owner.
        slib::Input input;
        const slib::Input::Result got = input.Read(path);
        if (got == slib::Input::kOpenFailed) {
            if (errno != ENOENT || IsDirectory(path)) return Fail(ERR_BAD_PARAMETERS);
            return CreateWith(path, line ? std::string(line) + '\n' : std::string());
        }
        if (input.IsDirectory()) return Fail(ERR_BAD_PARAMETERS);
        Lines in;
        if (!TakeLines(input, got, in)) return -1;
        long found = FindMatch(in, key, flags);
        if (found < 0) {
            SLIBErrSet(ERR_NOT_FOUND);
            return 0;
        }
        slib::RewriteSet rw;
        FILE *out = rw.Open(path, in.st);
        if (!out) return -1;
        // The lines before and after the one replaced go out in one piece each.
        const std::string_view all = in.text;
        const size_t at = in.Offset(static_cast<size_t>(found));
        const size_t after = at + in.lines[static_cast<size_t>(found)].size();
        bool ok = WriteAll(out, all.substr(0, at));
        if (ok && line) ok = WriteAll(out, line) && fputc('\n', out) != EOF;
        ok = ok && WriteAll(out, all.substr(after));
        if (!ok) return Fail(ERR_WRITE_FAILED);
        return rw.Commit() ? 1 : -1;
    });
}

extern "C" int SLIBFileGetLine(const char *path, const char *key, char *buffer, int size,
                               int flags) {
    if (!path || !key || !buffer || size <= 0 || flags < 0) return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        Lines in;
        if (Load(path, in, ERR_OPEN_FAILED) < 0) return -1;
        long found = FindMatch(in, key, flags);
        if (found < 0) {
            SLIBErrSet(ERR_NOT_FOUND);
            return 0;
        }
        std::string_view l = WithoutNewline(in.lines[static_cast<size_t>(found)]);
        memset(buffer, 0, static_cast<size_t>(size));
        if (l.size() >= static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
        memcpy(buffer, l.data(), l.size());
        return static_cast<int>(l.size()) + 1;
    });
}

extern "C" int SLIBFileGetLinesByField(const char *path, PSLIBSZLIST patterns, PSLIBSZLIST *out,
                                       const char *delimiters) {
    if (!path || !out || !*out || !delimiters) return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        Lines in;
        if (Load(path, in, ERR_OPEN_FAILED) < 0) return -1;
        std::string item;
        for (std::string_view l : in.lines) {
            int m = FieldsMatch(l, patterns, delimiters);
            if (m < 0) return -1;
            if (m == 0) continue;
            item.assign(l);
            if (SLIBSzListPush(out, item.c_str()) < 0) return -1;
        }
        return (*out)->nItem;
    });
}

extern "C" int SLIBFileAddLineByField(const char *path, PSLIBSZLIST patterns, const char *line,
                                      int flags, const char *delimiters) {
    if (!delimiters) return Fail(ERR_BAD_PARAMETERS);
    if (!line) return 1;
    if (!path) return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        if ((!patterns || patterns->nItem == 0) && flags != 0) {
            FilePtr f(fopen(path, "a+e"));
            if (!f) return Fail(ERR_OPEN_FAILED);
            if (!AppendInPlace(f.get(), line)) return Fail(ERR_WRITE_FAILED);
            if (fclose(f.release()) != 0) return Fail(ERR_WRITE_FAILED);
            return 0;
        }
        Lines in;
        if (Load(path, in, ERR_OPEN_FAILED) < 0) return -1;
        const std::string text = WithNewline(line);
        slib::RewriteSet rw;
        FILE *out = rw.Open(path, in.st);
        if (!out) return -1;
        bool inserted = false, ok = true;
        for (size_t i = 0; i < in.lines.size() && ok; ++i) {
            std::string_view l = in.lines[i];
            int m = inserted ? 0 : FieldsMatch(l, patterns, delimiters);
            if (m < 0) return -1;
            if (m == 0) {
                ok = WriteAll(out, l);
            } else if (flags & SLIB_LINE_INSERT_AFTER) {
                ok = WriteAll(out, l) && EndLine(out, l) && WriteAll(out, text);
            } else {
                ok = WriteAll(out, text) && WriteAll(out, l);
            }
            inserted = inserted || m > 0;
        }
        if (!ok) return Fail(ERR_WRITE_FAILED);
        if (!rw.Commit()) return -1;
        return inserted ? 1 : 0;
    });
}

extern "C" int SLIBFileSetLineByField(const char *path, PSLIBSZLIST patterns, const char *line,
                                      const char *delimiters) {
    if (!path || !patterns || patterns->nItem == 0 || !delimiters) return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        Lines in;
        if (Load(path, in, ERR_OPEN_FAILED) < 0) return -1;
        const std::string text = line ? WithNewline(line) : std::string();
        slib::RewriteSet rw;
        FILE *out = rw.Open(path, in.st);
        if (!out) return -1;
        int count = 0;
        bool ok = true;
        for (size_t i = 0; i < in.lines.size() && ok; ++i) {
            int m = FieldsMatch(in.lines[i], patterns, delimiters);
            if (m < 0) return -1;
            if (m == 0) {
                ok = WriteAll(out, in.lines[i]);
            } else {
                ++count;
                ok = WriteAll(out, text);
            }
        }
        if (!ok) return Fail(ERR_WRITE_FAILED);
        return rw.Commit() ? count : -1;
    });
}

extern "C" int SLIBFileReplaceSubStr(const char *path, const char *oldText, const char *newText) {
    if (!path || !oldText || !newText || oldText[0] == '\0') return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        Lines in;
        if (Load(path, in, ERR_OPEN_FAILED) < 0) return -1;
        const std::string_view from = oldText, to = newText;
        slib::RewriteSet rw;
        FILE *out = rw.Open(path, in.st);
        if (!out) return -1;
        int count = 0;
        bool ok = true;
        for (size_t i = 0; i < in.lines.size() && ok; ++i) {
            std::string_view l = in.lines[i];
            size_t pos;
            while (ok && (pos = l.find(from)) != std::string_view::npos) {
                ok = WriteAll(out, l.substr(0, pos)) && WriteAll(out, to);
                l.remove_prefix(pos + from.size());
                if (count < INT_MAX) ++count;
            }
            ok = ok && WriteAll(out, l);
        }
        if (!ok) return Fail(ERR_WRITE_FAILED);
        return rw.Commit() ? count : -1;
    });
}

extern "C" int ErrSLIBFileComment(const char *path, const char *key, int flags) {
    if (!path || !key || key[0] == '\0') return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        const std::string temp = SLIB_COMMENT_TEMP_DIR "/" SLIB_COMMENT_TEMP_NAME;
        slib::RewriteSet rw;
        FILE *out = rw.Open(path, temp);
        if (!out) return Fail(ERR_CREATE_FAILED);
        Lines in;
        if (Load(path, in, ERR_READ_FAILED) < 0) return -1;

        const bool prefix = flags & SLIB_COMMENT_PREFIX;
        std::string_view k = key;
        if (prefix) {
            size_t i = k.find_first_not_of(" \t");
            k.remove_prefix(i == std::string_view::npos ? k.size() : i);
        }
        const bool commentOut = flags & SLIB_COMMENT_OUT;
        if (!commentOut && (flags & SLIB_COMMENT_LAST)) {
            if (in.lines.empty()) {
                SLIBErrSet(ERR_NOT_FOUND);
                return 0;
            }
            return Fail(ERR_READ_FAILED);  // uncommenting the last match is not offered
        }
        long target = -1;
        for (size_t i = 0; i < in.lines.size(); ++i) {
            std::string_view l = in.lines[i];
            bool eligible = commentOut ? !IsComment(l) : (!l.empty() && l[0] == ';');
            if (!eligible || !CommentMatches(l, k, prefix)) continue;
            target = static_cast<long>(i);
            if (!(flags & SLIB_COMMENT_LAST)) break;
        }
        if (target < 0) {
            SLIBErrSet(ERR_NOT_FOUND);
            return 0;  // the temporary file goes with rw
        }
        std::string content;
        content.reserve(in.text.size() + 1);
        for (size_t i = 0; i < in.lines.size(); ++i) {
            std::string_view l = in.lines[i];
            if (static_cast<long>(i) == target) {
                if (commentOut)
                    content += ';';
                else
                    l.remove_prefix(1);
            }
            content += l;
        }
        if (!WriteAll(out, content)) return Fail(ERR_WRITE_FAILED);
        if (rw.Commit()) return 1;
        if (rw.RenameError() == 0) return -1;  // flush, sync or close: 0x0B00
        if (rw.RenameError() != EXDEV) return Fail(ERR_RENAME_FAILED);
        // The file lies on another file system than the temporary one: copy
        // the new content beside it and rename it there.
        slib::RewriteSet near;
        FILE *copy = near.Open(path);
        if (!copy || !WriteAll(copy, content) || !near.Commit(ERR_RENAME_FAILED))
            return Fail(ERR_RENAME_FAILED);
        return 1;
    });
}

extern "C" int SLIBFileReverseLines(const char *path) {
    if (!path) return Fail(ERR_BAD_PARAMETERS);
    struct stat st;
    if (stat(path, &st) != 0) return Fail(ERR_OPEN_FAILED);
    return Guard([&]() -> int {
        char tempName[4096];
        if (SLIBFileGetTempName(path, tempName, sizeof tempName) != 0)
            return Fail(ERR_BAD_PARAMETERS);
        Lines in;
        if (Load(path, in, ERR_OPEN_FAILED) < 0) return -1;
        slib::RewriteSet rw;
        FILE *out = rw.Open(path, tempName);
        if (!out) return -1;
        bool ok = true;
        for (size_t i = in.lines.size(); i-- > 0 && ok;) {
            std::string_view l = in.lines[i];
            // The old last line may lack its newline; it ends one now.
            ok = WriteAll(out, l) && (i == 0 || EndLine(out, l));
        }
        if (!ok) return Fail(ERR_WRITE_FAILED);
        if (rw.Commit()) return 0;
        if (rw.RenameError() != 0)
            SLIBLog(LOG_ERR, "%s line %d: fail to rename errno=%d", "lib/qavofile", 1400,
                    rw.RenameError());
        return -1;
    });
}

extern "C" int SLIBFileFindLine(const char *path, const char *text) {
    if (!path || !text) return Fail(ERR_BAD_PARAMETERS);
    return Guard([&]() -> int {
        FilePtr f(fopen(path, "re"));
        if (!f) return Fail(ERR_OPEN_FAILED);
        const std::string_view want = text;
        size_t len = 0;
        int number = 0;
        while (const char *p = fgetln(f.get(), &len)) {
            ++number;
            if (WithoutNewline(std::string_view(p, len)) == want) return number;
            if (number == INT_MAX) break;
        }
        if (ferror(f.get())) return Fail(ERR_READ_FAILED);
        if (!feof(f.get()) && number != INT_MAX) return -1;  // out of memory: 0x0200
        return 0;
    });
}
