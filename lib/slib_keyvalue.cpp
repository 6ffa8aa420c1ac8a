// Key/value files. A line's key is its first non-empty "="-piece, trimmed of
// blanks and one pair of double quotes; its value is the rest of the line
// after that piece's "=", trimmed the same way. Lines starting with "#" or
// ";" are comments. Every change goes through slib::RewriteSet except the
// append of an absent key, which is made in place.
#include "slib_keyvalue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>

#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_util.h"

namespace {

constexpr int kQavoinfoLockTimeout = 5;

using slib::Fail;

using slib::FilePtr;

using ListPtr = slib::SzListPtr;

// Reads a stream line by line (newline included, no length limit) in large
// blocks; false at end of file or on a failure, which ReadToEnd tells apart.
// A line stays valid until the next call.
class LineReader {
  public:
    explicit LineReader(FILE *fp) : fp_(fp) {}
    ~LineReader() { free(buf_); }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    bool Next(std::string_view &line) {
        for (;;) {
            const char *start = buf_ + pos_;
            const size_t avail = len_ - pos_;
            const void *nl = avail ? memchr(start, '\n', avail) : nullptr;
            if (nl) {
                const size_t n = static_cast<size_t>(static_cast<const char *>(nl) - start) + 1;
                line = std::string_view(start, n);
                pos_ += n;
                return true;
            }
            if (done_) {
                if (avail == 0) return false;
                line = std::string_view(start, avail);  // a last line without newline
                pos_ = len_;
                return true;
            }
            if (!Fill()) return false;
        }
    }

  private:
    static constexpr size_t kBlock = 16384;

    // Keeps the unread rest and appends the next block of the stream.
    bool Fill() {
        if (pos_ > 0) {
            memmove(buf_, buf_ + pos_, len_ - pos_);
            len_ -= pos_;
            pos_ = 0;
        }
        if (cap_ - len_ < kBlock) {
            size_t cap = cap_ ? cap_ * 2 : kBlock;
            while (cap - len_ < kBlock)
                cap *= 2;
            char *grown = static_cast<char *>(realloc(buf_, cap));
            if (!grown) {
                SLIBErrSet(ERR_OUT_OF_MEMORY);
                return false;
            }
            buf_ = grown;
            cap_ = cap;
        }
        const size_t got = fread(buf_ + len_, 1, cap_ - len_, fp_);
        len_ += got;
        if (got == 0) done_ = true;  // end of file, or a failure ferror() reports
        return true;
    }

    FILE *fp_;
    char *buf_ = nullptr;
    size_t cap_ = 0, len_ = 0, pos_ = 0;
    bool done_ = false;
};

// True when the line reader stopped at the end of the file rather than on a
// read or allocation failure; a writer must never take a half-read file for
// the whole one.
bool ReadToEnd(FILE *fp) {
    if (ferror(fp)) {
        SLIBErrSet(ERR_WRITE_FAILED);
        return false;
    }
    return feof(fp) != 0;  // otherwise the line reader ran out of memory (0x0200)
}

using slib::WriteAll;

using slib::IsComment;

// Where a line's key lies: the first non-empty piece of the line split at
// "=" (the whole line, newline included, when it has no "=").
struct Piece {
    bool found = false;
    size_t begin = 0, end = 0;  // untrimmed piece [begin, end)
    bool hasEq = false;         // the piece is ended by an "="
};

Piece KeyPiece(std::string_view line) {
    Piece p;
    size_t i = line.find_first_not_of('=');
    if (i == std::string_view::npos) return p;
    size_t eq = line.find('=', i);
    p.found = true;
    p.begin = i;
    p.hasEq = eq != std::string_view::npos;
    p.end = p.hasEq ? eq : line.size();
    return p;
}

// text trimmed by the library's one trimming rule, into out.
void Trimmed(std::string_view text, std::string &out) {
    out.assign(text);
    out.resize(static_cast<size_t>(SLIBStrTrimSpace(out.data(), nullptr)));
}

bool LineKey(std::string_view line, const Piece &p, std::string &key) {
    if (!p.found) return false;
    Trimmed(line.substr(p.begin, p.end - p.begin), key);
    return true;
}

// Values in double quotes are shell text: the scripts source the files
// written "%s=\"%s\"\n". Inside the quotes a backslash makes the next
// character literal when it is one the shell would read otherwise; before
// any other character it is itself, so lines without such pairs read as they
// always have.
bool ShellSpecial(char c) {
    return c == '"' || c == '$' || c == '`' || c == '\\';
}

// A value trimmed by the library's one trimming rule; a value that was inside
// one pair of double quotes also loses the backslashes the writer added.
void TrimmedValue(std::string_view text, std::string &out) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t start = 0, end = text.size();
    while (start < end && blank(text[start]))
        ++start;
    while (end > start && blank(text[end - 1]))
        --end;
    const bool quoted = end - start >= 2 && text[start] == '"' && text[end - 1] == '"';
    out.assign(text);
    out.resize(static_cast<size_t>(SLIBStrTrimSpace(out.data(), nullptr)));
    if (!quoted || out.find('\\') == std::string::npos) return;
    size_t w = 0;
    for (size_t r = 0; r < out.size(); ++r) {
        if (out[r] == '\\' && r + 1 < out.size() && ShellSpecial(out[r + 1])) ++r;
        out[w++] = out[r];
    }
    out.resize(w);
}

// Whether a format writes the value between double quotes.
bool QuotesValue(const char *format) {
    if (!format) return false;
    int arg = 0;
    for (const char *p = format; *p; ++p) {
        if (*p != '%') continue;
        if (p[1] == '%') {
            ++p;
            continue;
        }
        if (arg++ == 1) return p > format && p[-1] == '"' && p[1] == 's' && p[2] == '"';
        ++p;
    }
    return false;
}

// One key/value line of a file. A value between double quotes gets a
// backslash before each character the shell reads specially there, so that
// sourcing the file and the reader above both give back exactly the value.
std::string FormatLine(const char *format, std::string_view key, std::string_view value) {
    if (!QuotesValue(format) || value.find_first_of("\"$`\\") == std::string_view::npos)
        return slib::FormatKeyValue(format, key, value);
    std::string escaped;
    escaped.reserve(value.size() + 8);
    for (char c : value) {
        if (ShellSpecial(c)) escaped += '\\';
        escaped += c;
    }
    return slib::FormatKeyValue(format, key, escaped);
}

// The line's value; false when nothing at all follows the "=" (or there is
// no "="): such a line has no value, while blanks alone are the empty value.
bool LineValue(std::string_view line, const Piece &p, std::string &value) {
    if (!p.hasEq) return false;
    std::string_view raw = line.substr(p.end + 1);
    if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
    if (raw.empty()) return false;
    TrimmedValue(raw, value);
    return true;
}

// Whether a writer treats the line as one of key. Comment lines match only
// keys that begin with a comment marker themselves: SLIBFileGetKeys reports
// the line "#a=1" as the key "#a", and writing that key back must find the
// same line again instead of adding another each round.
bool WriterMatches(std::string_view line, const char *key, std::string &scratch, Piece *piece) {
    if (IsComment(line) && key[0] != '#' && key[0] != ';') return false;
    if (line.find(key) == std::string_view::npos) return false;  // cheap pre-check
    Piece p = KeyPiece(line);
    if (!LineKey(line, p, scratch) || scratch != key) return false;
    if (piece) *piece = p;
    return true;
}

using slib::OneLine;

// A key that can be written and found again: not empty, no "=" or line
// break, and nothing that reading trims away. A value holds no line break.
bool WritableKey(const char *key) {
    if (key[0] == '\0' || strpbrk(key, "=\r\n")) return false;
    std::string t;
    Trimmed(key, t);
    return t == key;
}

bool WritablePair(const char *key, const char *value) {
    return WritableKey(key) && OneLine(value);
}

// The key text of a replacement line: the caller's key with the default
// format; with a caller's format the line's own spelling up to the "=" that
// ends its key (blanks and quotes kept), or the bare line without its line
// end.
std::string KeyText(std::string_view line, const Piece &p, const char *format, const char *key) {
    if (!format) return key;
    std::string_view text = line.substr(0, p.end);
    if (!p.hasEq) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.remove_suffix(1);
    }
    return std::string(text);
}

using slib::IsDirectory;

// Creates a missing file holding one line; it appears complete or not at all.
int CreateWithLine(const char *path, const std::string &text) {
    slib::RewriteSet rw;
    FILE *out = rw.Open(path);
    if (!out) return Fail(ERR_BAD_PARAMETERS);
    if (!WriteAll(out, text)) return Fail(ERR_WRITE_FAILED);
    return rw.Commit() ? 1 : -1;
}

enum SplitResult { kSplitOk, kSplitNoEquals, kSplitEmptyKey };

// Cuts text at its first "=" and trims both sides; a key/value file's value
// also loses the backslashes of its quotes (not so a section file's).
SplitResult SplitKeyValue(std::string_view text, std::string &key, std::string &value,
                          bool keyValueFile) {
    size_t eq = text.find('=');
    Trimmed(text.substr(0, eq), key);
    if (key.empty()) return kSplitEmptyKey;
    if (eq == std::string_view::npos) return kSplitNoEquals;
    if (keyValueFile)
        TrimmedValue(text.substr(eq + 1), value);
    else
        Trimmed(text.substr(eq + 1), value);
    return kSplitOk;
}

// Every key and value of a hash can be written as a line of its own.
bool WritableHash(PSLIBSZHASH hash) {
    for (int i = 0; i < hash->nBucket; ++i) {
        const SLIBSZHASH_BUCKET &b = hash->buckets[i];
        if (!b.szKey) continue;
        if (b.szKey[0] != '\0' && !WritableKey(b.szKey)) return false;
        if (b.szValue && !OneLine(b.szValue)) return false;
    }
    return true;
}

constexpr int kDuplicate = 2;

// SLIBILineKeyMoveHash2File; with done given, a later line of a key already
// rewritten is reported as kDuplicate so that the caller drops it.
int MoveLine(FILE *fp, std::string_view line, PSLIBSZHASH hash, const char *format,
             std::unordered_set<std::string> *done) {
    std::string t;
    Trimmed(line, t);
    if (t.empty()) return 0;
    Piece p = KeyPiece(t);
    std::string key;
    if (!LineKey(t, p, key) || key.empty()) return 0;
    if (done && done->count(key)) return kDuplicate;
    // A trimmed comment line only matches a key that carries its marker.
    const char *value = SzSLIBSzHashGetValue(hash, key.c_str());
    if (!value) return 0;
    if (!OneLine(value)) return Fail(ERR_BAD_PARAMETERS);
    if (!WriteAll(fp, FormatLine(format, key, value))) return Fail(ERR_WRITE_FAILED);
    if (!SzSLIBSzHashRemoveKey(hash, key.c_str())) {
        SLIBLog(LOG_ERR,
                "SLIBILineKeyMoveHash2File(): SzSLIBSzHashRemoveKey(pshHash, szKey) \t\t\t   "
                "szKey=%s",
                key.c_str());
        return -1;
    }
    if (done) done->insert(std::move(key));
    return 1;
}

}  // namespace

extern "C" int BlSLIBFileMatchKey(char *line, const char *key) {
    if (!key || !line) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    try {
        std::string_view l(line);
        if (IsComment(l)) return 0;
        Piece p = KeyPiece(l);
        std::string k;
        if (!LineKey(l, p, k)) return 0;
        if (p.hasEq) line[p.end] = '\0';
        return k == key ? 1 : 0;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return 0;
    }
}

extern "C" int SLIBFileGetKeyValue(const char *path, const char *key, char *buffer, int size,
                                   int flags) {
    if (!path || !key || size < 0 || (size != 0 && !buffer) || flags < 0)
        return Fail(ERR_BAD_PARAMETERS);
    FilePtr in(fopen(path, "re"));
    if (!in) return Fail(ERR_OPEN_FAILED);
    try {
        const bool last = (flags & SLIB_KEYVALUE_LAST_MATCH) != 0;
        LineReader reader(in.get());
        std::string_view line;
        std::string lineKey, candidate, value;
        bool found = false;
        while (reader.Next(line)) {
            if (IsComment(line) || line.find(key) == std::string_view::npos) continue;
            Piece p = KeyPiece(line);
            if (!LineKey(line, p, lineKey) || lineKey != key) continue;
            if (LineValue(line, p, candidate)) {
                value.swap(candidate);
                found = true;
            }
            if (!last) break;
        }
        if (!found) {
            SLIBErrSet(ERR_NOT_FOUND);
            return 0;
        }
        if (value.size() >= static_cast<size_t>(INT_MAX)) return Fail(ERR_BUF_TOO_SMALL);
        const int need = static_cast<int>(value.size()) + 1;
        if (buffer) {
            if (need > size) return Fail(ERR_BUF_TOO_SMALL);
            memcpy(buffer, value.c_str(), value.size() + 1);
        }
        return need;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBFileSetKeyValue(const char *path, const char *key, const char *value,
                                   const char *format) {
    if (!path || !key || !value) return Fail(ERR_BAD_PARAMETERS);
    if (strcmp(key, "defaultfs") == 0) SLIBLog(LOG_ERR, "szKey=%s, szValue=%s", key, value);
    try {
        if (!WritablePair(key, value) || !BlSLIBIsKeyValueFormat(format))
            return Fail(ERR_BAD_PARAMETERS);
        // The file is read whole through one descriptor, whose status also
        // tells a directory and gives the copy its mode and owner.
        slib::Input in;
        const slib::Input::Result got = in.Read(path);
        if (got == slib::Input::kOpenFailed) {
            // Only a missing file is created; any other failure must not
            // replace a file that exists.
            const int err = errno;
            if (IsDirectory(path)) return Fail(ERR_BAD_PARAMETERS);
            if (err != ENOENT) return Fail(ERR_OPEN_FAILED);
            return CreateWithLine(path, FormatLine(format, key, value));
        }
        if (in.IsDirectory()) return Fail(ERR_BAD_PARAMETERS);
        if (got == slib::Input::kReadFailed) return Fail(ERR_WRITE_FAILED);
        slib::RewriteSet rw;
        FILE *out = rw.Open(path, in.Stat());
        if (!out) return -1;
        // Only lines holding the key can be its lines: they are found by
        // searching the whole text for it, and everything between them is
        // copied unchanged in one piece.
        const std::string_view text = in.Text();
        const size_t keyLength = strlen(key);
        std::string scratch;
        bool matched = false;
        size_t copied = 0;  // the text before this is written
        size_t at = 0;
        while ((at = text.find(key, at, keyLength)) != std::string_view::npos) {
            const size_t nl = text.rfind('\n', at);
            const size_t begin = nl == std::string_view::npos ? 0 : nl + 1;
            const size_t stop = text.find('\n', at);
            const size_t end = stop == std::string_view::npos ? text.size() : stop + 1;
            const std::string_view line = text.substr(begin, end - begin);
            at = end;
            Piece p;
            if (!WriterMatches(line, key, scratch, &p)) continue;
            if (!WriteAll(out, text.substr(copied, begin - copied))) return Fail(ERR_WRITE_FAILED);
            copied = end;
            if (matched) continue;  // later lines of the key are dropped
            matched = true;
            if (!WriteAll(out, FormatLine(format, KeyText(line, p, format, key), value)))
                return Fail(ERR_WRITE_FAILED);
        }
        if (!WriteAll(out, text.substr(copied))) return Fail(ERR_WRITE_FAILED);
        if (!matched) {
            // A last line without its newline must not run into the new one.
            if (!text.empty() && text.back() != '\n' && fputc('\n', out) == EOF)
                return Fail(ERR_WRITE_FAILED);
            if (!WriteAll(out, FormatLine(format, key, value))) return Fail(ERR_WRITE_FAILED);
        }
        return rw.Commit() ? 1 : -1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

namespace {

// A key of "/etc/qavoinfo.conf" is a shell variable's name: the scripts
// source the file, and any other text there would run as a command.
bool ShellName(const char *key) {
    if (!isalpha(static_cast<unsigned char>(key[0])) && key[0] != '_') return false;
    for (const char *p = key; *p; ++p)
        if (!isalnum(static_cast<unsigned char>(*p)) && *p != '_') return false;
    return true;
}

}  // namespace

extern "C" int QAVOINFOSetKeyValue(const char *key, const char *value) {
    if (!key || !value || !ShellName(key)) return Fail(ERR_BAD_PARAMETERS);
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_EX, kQavoinfoLockTimeout) != 0) return -1;
    const int written =
        SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, key, value, SLIB_KEYVALUE_FMT_QUOTED);
    const SLIBERRCODE code = SLIBErrGet();
    const int unlocked = SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    if (written < 0) {
        SLIBErrSet(code);  // the write's failure is the one to report
        return -1;
    }
    return unlocked == 0 ? 0 : -1;
}

extern "C" int BlSLIBIsKeyValueFormat(const char *format) {
    if (!format) return 1;
    // Wanted in this order: "%s", "=", "%s", a newline; no other conversion.
    int stage = 0;
    for (const char *p = format; *p; ++p) {
        if (*p == '%') {
            if (p[1] == '%') {
                ++p;
                continue;
            }
            if (p[1] != 's' || (stage != 0 && stage != 2)) return 0;
            ++stage;
            ++p;
        } else if (*p == '=' && stage == 1) {
            stage = 2;
        } else if (*p == '\n' && stage == 3) {
            stage = 4;
        }
    }
    return stage == 4;
}

extern "C" int SLIBStrSplitKeyValue(const char *text, PSLIBSZLIST *pplist) {
    if (!text || !pplist || !*pplist) return Fail(ERR_BAD_PARAMETERS);
    try {
        std::string key, value;
        SplitResult r = SplitKeyValue(text, key, value, false);
        if (r == kSplitEmptyKey) return Fail(ERR_BAD_PARAMETERS);
        if (SLIBSzListPush(pplist, key.c_str()) < 0) return -1;
        if (r == kSplitNoEquals) return Fail(ERR_BAD_PARAMETERS);
        if (SLIBSzListPush(pplist, value.c_str()) < 0) return -1;
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBFileGetKeys(const char *path, PSLIBSZHASH *pphash) {
    if (!path || !pphash || !*pphash) return Fail(ERR_BAD_PARAMETERS);
    FilePtr in(fopen(path, "re"));
    if (!in) return Fail(ERR_OPEN_FAILED);
    try {
        LineReader reader(in.get());
        std::string_view line;
        std::string key, value;
        while (reader.Next(line)) {
            if (SplitKeyValue(line, key, value, true) != kSplitOk) continue;
            if (SLIBSzHashSetValue(pphash, key.c_str(), value.c_str()) < 0) return -1;
        }
        return SLIBSzHashCount(*pphash);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBILineKeyMoveHash2File(FILE *fp, const char *line, PSLIBSZHASH hash,
                                         const char *format) {
    if (!fp || !line || !hash || !BlSLIBIsKeyValueFormat(format)) return Fail(ERR_BAD_PARAMETERS);
    try {
        return MoveLine(fp, line, hash, format, nullptr);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBFileSetKeys(const char *path, PSLIBSZHASH hash, const char *format) {
    if (!path || !hash) return Fail(ERR_BAD_PARAMETERS);
    try {
        if (!BlSLIBIsKeyValueFormat(format) || !WritableHash(hash)) return Fail(ERR_BAD_PARAMETERS);
        FilePtr in(fopen(path, "re"));
        if (!in) return Fail(ERR_OPEN_FAILED);
        slib::RewriteSet rw;
        FILE *out = rw.Open(path);
        if (!out) return -1;
        std::unordered_set<std::string> done;
        LineReader reader(in.get());
        std::string_view line;
        int count = 0;
        bool endsWithNewline = true;
        while (reader.Next(line)) {
            int r = MoveLine(out, line, hash, format, &done);
            if (r < 0) return -1;
            if (r == kDuplicate) continue;
            if (r == 1) {
                ++count;
                endsWithNewline = true;
                continue;
            }
            if (!WriteAll(out, line)) return Fail(ERR_WRITE_FAILED);
            endsWithNewline = line.back() == '\n';
        }
        if (!ReadToEnd(in.get())) return -1;
        ListPtr keys(PslSLIBSzListAlloc(1024));
        if (!keys) return Fail(ERR_OUT_OF_MEMORY);
        PSLIBSZLIST raw = keys.release();
        int enumerated = SLIBSzHashEnumKey(hash, &raw);
        keys.reset(raw);
        if (enumerated < 0) {
            SLIBLog(LOG_ERR, "SLIBFileSetKeys(): SLIBSzHashEnumKey(pshHash, &pslList) failed!");
            return -1;
        }
        for (int i = 0; i < keys->nItem; ++i) {
            const char *k = keys->pszItem[i];
            const char *v = SzSLIBSzHashGetValue(hash, k);
            if (k[0] == '\0' || !v) continue;
            if (!endsWithNewline && fputc('\n', out) == EOF) return Fail(ERR_WRITE_FAILED);
            if (!WriteAll(out, FormatLine(format, k, v))) return Fail(ERR_WRITE_FAILED);
            endsWithNewline = true;
            ++count;
        }
        if (count == 0) return 0;  // nothing to change; the copy is removed
        return rw.Commit() ? count : -1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBFileSetKeysEach(const char *path, PSLIBSZHASH hash, const char *format) {
    if (!path || !hash) return Fail(ERR_BAD_PARAMETERS);
    ListPtr keys(PslSLIBSzListAlloc(8192));
    if (!keys) return Fail(ERR_OUT_OF_MEMORY);
    PSLIBSZLIST raw = keys.release();
    int enumerated = SLIBSzHashEnumKey(hash, &raw);
    keys.reset(raw);
    if (enumerated < 0) return Fail(ERR_OUT_OF_MEMORY);
    if (keys->nItem == 0) return Fail(ERR_EXEC_FAILED);
    for (int i = 0; i < keys->nItem; ++i) {
        const char *k = keys->pszItem[i];
        const char *v = SzSLIBSzHashGetValue(hash, k);
        if (!v) return Fail(ERR_NOT_FOUND);
        if (SLIBFileSetKeyValue(path, k, v, format) < 0) return Fail(ERR_WRITE_FAILED);
    }
    return 0;
}

extern "C" int SLIBFileRemoveKey(const char *path, const char *key) {
    if (!path || !key) return Fail(ERR_BAD_PARAMETERS);
    FilePtr in(fopen(path, "re"));
    if (!in) return -1;
    try {
        slib::RewriteSet rw;
        FILE *out = rw.Open(path);
        if (!out) return -1;
        LineReader reader(in.get());
        std::string_view line;
        std::string scratch;
        int removed = 0;
        while (reader.Next(line)) {
            if (key[0] != '\0' && WriterMatches(line, key, scratch, nullptr)) {
                ++removed;
                continue;
            }
            if (!WriteAll(out, line)) return Fail(ERR_WRITE_FAILED);
        }
        if (!ReadToEnd(in.get())) return -1;
        if (removed == 0) {
            // Nothing to remove: the file stays as it is.
            SLIBErrSet(ERR_NOT_FOUND);
            return 0;
        }
        return rw.Commit() ? removed : -1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBFileAddKeyValue(const char *path, const char *key, const char *value,
                                   const char *format) {
    if (!path || !key || !value) return Fail(ERR_BAD_PARAMETERS);
    try {
        if (!WritablePair(key, value) || !BlSLIBIsKeyValueFormat(format) || IsDirectory(path))
            return Fail(ERR_BAD_PARAMETERS);
        const std::string text = FormatLine(format, key, value);
        FilePtr f(fopen(path, "r+e"));
        if (!f) {
            if (errno != ENOENT) return Fail(ERR_OPEN_FAILED);
            return CreateWithLine(path, text);
        }
        LineReader reader(f.get());
        std::string_view line;
        std::string scratch;
        bool endsWithNewline = true;
        while (reader.Next(line)) {
            if (WriterMatches(line, key, scratch, nullptr)) {
                SLIBErrSet(ERR_KEY_EXISTS);
                return 0;
            }
            endsWithNewline = line.back() == '\n';
        }
        if (ferror(f.get())) return Fail(ERR_READ_FAILED);
        if (!feof(f.get())) return -1;
        if (fseek(f.get(), 0, SEEK_END) != 0) return Fail(ERR_WRITE_FAILED);
        if (!endsWithNewline && fputc('\n', f.get()) == EOF) return Fail(ERR_WRITE_FAILED);
        if (!WriteAll(f.get(), text) || fflush(f.get()) != 0 || fsync(fileno(f.get())) != 0)
            return Fail(ERR_WRITE_FAILED);
        if (fclose(f.release()) != 0) return Fail(ERR_WRITE_FAILED);
        return 1;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SLIBFileSetOrAddKeyValue(const char *path, const char *key, const char *value,
                                        const char *format) {
    return SLIBFileSetKeyValue(path, key, value, format);
}
