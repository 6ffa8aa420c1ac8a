// Event texts and the event-log export.
//
// The export holds the log file's exclusive lock from the header read to the
// end-pointer repair, so a writer never appends between the walk and the
// repair. Each record body is decoded within the bytes read for it: string
// lengths that claim more than the record holds print nothing.
#include "slib_logtext.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_logfile.h"
#include "slib_section.h"
#include "slib_str.h"
#include "slib_szhash.h"
#include "slib_util.h"

namespace {

constexpr uint32_t kHeader = QAVOLOG_HEADER_SIZE;
constexpr uint32_t kFixed = QAVOLOG_RECORD_FIXED_SIZE;
constexpr int kCacheArea = 2048;
constexpr int kLevelArea = 512;

// The process-wide event-text cache; an empty value marks a missing text.
PSLIBSZHASH gCache = nullptr;
char gLevelName[QAVOLOG_LEVEL_NAME_SIZE];
char gTime[QAVOLOG_TIME_SIZE];

using HashPtr = slib::SzHashPtr;

// A plain language code names a folder under the texts directory and fits
// the file name's buffer: letters, digits, "_" and "-" only.
bool PlainLang(const char *lang) {
    return slib::IsPlainCode(lang, QAVOLOG_LANG_MAX);
}

std::string TextsPath(const char *lang) {
    return std::string(QAVOLOG_TEXTS_DIR) + lang + QAVOLOG_TEXTS_FILE;
}

std::string Hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "%X", v);
    return b;
}

// Reads a section of the events file into a fresh hash; null when the
// section is missing, empty or cannot be read.
HashPtr ReadTextSection(const std::string &path, const std::string &section, int area) {
    HashPtr h(PshSLIBSzHashAlloc(area));
    if (!h) return nullptr;
    PSLIBSZHASH raw = h.release();
    const int n = SLIBFileGetSection(path.c_str(), section.c_str(), &raw);
    h.reset(raw);
    if (n < 1) return nullptr;
    return h;
}

// The cached text of key: null when not cached, "" when cached as missing.
const char *Cached(const std::string &key) {
    return gCache ? SzSLIBSzHashGetValue(gCache, key.c_str()) : nullptr;
}

// Looks key up, reading its section into the cache when needed. Null when
// there is no text.
const char *LookupText(uint32_t eventId, const char *lang) {
    const std::string key = Hex(eventId);
    const std::string section = Hex(eventId & 0xFFF00000u);
    const std::string path = TextsPath(lang);
    if (!gCache) {
        gCache = PshSLIBSzHashAlloc(kCacheArea);
        if (!gCache) {
            SLIBLog(LOG_ERR, "malloc event hash failed");
            return nullptr;
        }
    }
    if (const char *v = Cached(key)) return *v ? v : nullptr;

    HashPtr sec = ReadTextSection(path, section, kCacheArea);
    if (!sec) {
        SLIBLog(LOG_ERR, "section %s not found in %s", section.c_str(), path.c_str());
        return nullptr;
    }
    // Keys cached before keep their texts: the cache holds until released.
    for (int i = 0; i < sec->nBucket; ++i) {
        const SLIBSZHASH_BUCKET &b = sec->buckets[i];
        if (!b.szKey || SzSLIBSzHashGetValue(gCache, b.szKey)) continue;
        if (SLIBSzHashSetValue(&gCache, b.szKey, b.szValue) < 0) return nullptr;
    }
    if (const char *v = Cached(key)) return *v ? v : nullptr;
    SLIBSzHashSetValue(&gCache, key.c_str(), "");
    SLIBLog(LOG_ERR, "event %s not found in %s", key.c_str(), section.c_str());
    return nullptr;
}

void ReleaseCache() {
    if (gCache) SLIBSzHashFree(gCache);
    gCache = nullptr;
}

uint16_t U16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Level names met during one export, so that the events file is read once
// per level rather than once per record.
using LevelNames = std::unordered_map<uint16_t, std::string>;

// A field of an export line as it is printed: a control character (a line
// break, a tab that would split the field, an escape) never reaches the
// file itself but its visible form, "\\n", "\\r", "\\t" or "\\xHH".
std::string ExportField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (const char c : field) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0xF]);
        }
    }
    return out;
}

// Prints the export line of one body of exactly length bytes: one line of
// tab-separated fields whatever the record holds.
void RecordLine(FILE *out, const unsigned char *body, size_t length, const char *lang,
                LevelNames *levels) {
    size_t at = 0;
    auto need = [&](size_t n) { return n <= length - at; };
    // level, time, source and user lengths, event id, four argument lengths
    if (!need(kFixed - 2)) return;
    const uint16_t level = U16(body);
    const uint32_t time = U32(body + 2);
    std::array<uint16_t, 6> lens{};
    lens[0] = U16(body + 6);
    lens[1] = U16(body + 8);
    const uint32_t id = U32(body + 10);
    for (int i = 0; i < 4; ++i)
        lens[2 + i] = U16(body + 14 + 2 * i);
    at = kFixed - 2;
    std::array<std::string, 6> s;
    for (size_t i = 0; i < s.size(); ++i) {
        if (!need(lens[i])) return;
        s[i].assign(reinterpret_cast<const char *>(body + at), lens[i]);
        s[i].resize(strlen(s[i].c_str()));
        at += lens[i];
    }
    const std::string &source = s[0], &user = s[1];
    std::unique_ptr<char, decltype(&free)> text(
        QAVOLogGetEventText(id, lang, s[2].c_str(), s[3].c_str(), s[4].c_str(), s[5].c_str()),
        &free);
    if (!text || !*text) {
        SLIBLog(LOG_ERR,
                "Can not get the log szEvent id = %s, szLang = %s, szArg1 = [%s], szArg2 = "
                "[%s], szArg3 = [%s], szArg4 = [%s], szSource = %s",
                Hex(id).c_str(), lang ? lang : "(null)", s[2].c_str(), s[3].c_str(), s[4].c_str(),
                s[5].c_str(), source.c_str());
        return;
    }
    const char *levelName;
    if (levels) {
        auto it = levels->find(level);
        if (it == levels->end())
            it = levels->emplace(level, QAVOLogGetLevelName(level, lang)).first;
        levelName = it->second.c_str();
    } else {
        levelName = QAVOLogGetLevelName(level, lang);
    }
    fprintf(out, "%d\t%s\t%s\t%s\t%s\t%s\n", level, ExportField(levelName).c_str(),
            QAVOLogTimeString(time), ExportField(source).c_str(), ExportField(user).c_str(),
            ExportField(text.get()).c_str());
}

// Buffered positional reads of the locked log file.
class LogReader {
  public:
    explicit LogReader(int fd) : fd_(fd), buf_(kChunk) {}

    bool Read(uint64_t offset, size_t n, unsigned char *dst) {
        if (offset >= base_ && offset - base_ <= have_ && n <= have_ - (offset - base_)) {
            memcpy(dst, buf_.data() + (offset - base_), n);
            return true;
        }
        if (n > kChunk) return Fill(offset, dst, n) == n;
        base_ = offset;
        have_ = Fill(offset, buf_.data(), kChunk);
        if (n > have_) return false;
        memcpy(dst, buf_.data(), n);
        return true;
    }

  private:
    static constexpr size_t kChunk = 65536;

    size_t Fill(uint64_t offset, unsigned char *dst, size_t n) {
        size_t done = 0;
        while (done < n) {
            ssize_t r = pread(fd_, dst + done, n - done, static_cast<off_t>(offset + done));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        return done;
    }

    int fd_;
    std::vector<unsigned char> buf_;
    uint64_t base_ = 0;
    size_t have_ = 0;
};

// Why a walk over one stretch of the ring stopped.
enum class Stop { kLimit, kMarker, kUnread, kFormat };

struct Walker {
    LogReader &in;
    FILE *out;
    const char *lang;
    LevelNames levels;
    std::vector<unsigned char> body;
    int line = 0;

    // Exports the records from pos up to limit (or up to the wrap marker when
    // limit is 0); pos ends where the walk stopped.
    Stop Run(uint64_t &pos, uint64_t limit, uint64_t fileSize) {
        const uint64_t bound = limit ? limit : fileSize;
        for (;;) {
            if (limit && pos >= limit) return Stop::kLimit;
            unsigned char b[2];
            if (!in.Read(pos, 2, b)) return Stop::kUnread;
            const uint32_t len = U16(b);
            if (len == 0) return Stop::kMarker;
            ++line;
            if (len < kFixed || pos > bound || len > bound - pos) {
                SLIBLog(LOG_ERR, "Log format error line%d", line);
                return Stop::kFormat;
            }
            body.resize(len - 2);
            if (!in.Read(pos + 2, body.size(), body.data())) return Stop::kUnread;
            RecordLine(out, body.data(), body.size(), lang, &levels);
            pos += len;
        }
    }
};

int ExportLocked(int fd, bool writable, FILE *out, const char *lang) {
    uint32_t start, end;
    if (QAVOLogGetStart(fd, &start) < 0 || QAVOLogGetEnd(fd, &end) < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (start == end) return 0;  // an empty ring exports nothing

    LogReader in(fd);
    Walker w{in, out, lang, {}, {}};
    uint64_t pos = start;
    bool fault = false;
    if (start < end) {
        unsigned char b[2];
        if (!in.Read(start, 2, b) || U16(b) == 0) return -1;
        fault = w.Run(pos, end, fileSize) != Stop::kLimit;
    } else {
        // Wrapped: from start up to the wrap marker, then from 16 up to end.
        const Stop upper = w.Run(pos, 0, fileSize);
        if (end != kHeader) {
            pos = kHeader;
            fault = w.Run(pos, end, fileSize) != Stop::kLimit;
        } else {
            fault = upper != Stop::kMarker;
        }
    }
    // The ring ends where its records stop being readable; moved under the
    // lock, so that no record appended meanwhile is cut off.
    if (fault && pos != end && pos >= kHeader && pos <= fileSize) {
        if (!writable || QAVOLogSetEnd(fd, static_cast<uint32_t>(pos)) < 0)
            SLIBLog(LOG_ERR, "%s(%d) end pointer of the log cannot be moved to %llu", __FILE__,
                    __LINE__, static_cast<unsigned long long>(pos));
    }
    return 0;
}

struct LogClassFile {
    const char *pathKey;
    const char *defaultFile;
};

// The log each class exports; class 2 has its own management log here.
constexpr LogClassFile kExportFiles[8] = {
    {nullptr, nullptr},
    {"syslogfile", "/var/log/qavosys.log"},
    {"manlogfile", "/var/log/qavoman1.log"},
    {"connlogfile", "/var/log/qavoconn.log"},
    {nullptr, nullptr},
    {"bkplogfile", "/var/log/qavobackup.log"},
    {"copylogfile", "/var/log/qavocopy.log"},
    {"netbkplogfile", "/var/log/qavonetbkp.log"},
};

}  // namespace

extern "C" char *QAVOLogGetEventText(QAVOLOGEVENTID eventId, const char *lang, const char *arg1,
                                     const char *arg2, const char *arg3, const char *arg4) {
    if (!PlainLang(lang)) {
        SLIBLog(LOG_ERR, "%s(%d) language code refused for event %X", __FILE__, __LINE__, eventId);
        return nullptr;
    }
    try {
        const char *text = LookupText(eventId, lang);
        if (!text) return nullptr;
        const std::array<const char *, 4> args = {arg1, arg2, arg3, arg4};
        size_t size = strlen(text) + 1;
        for (const char *a : args)
            size += a ? strlen(a) : 0;
        if (size > INT32_MAX) return nullptr;
        char *result = static_cast<char *>(calloc(size, 1));
        if (!result) return nullptr;
        memcpy(result, text, strlen(text));
        char placeholder[3] = {'@', '1', '\0'};
        for (const char *a : args) {
            if (a && *a)
                SLIBStrReplace(result, placeholder, a, nullptr, static_cast<int>(size - 1));
            ++placeholder[1];
        }
        return result;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

extern "C" const char *QAVOLogGetLevelName(int level, const char *lang) {
    snprintf(gLevelName, sizeof gLevelName, "%s", "Unknown");
    if (!PlainLang(lang)) return gLevelName;
    const char *key = level == 1   ? "11000001"
                      : level == 2 ? "11000002"
                      : level == 3 ? "11000003"
                                   : "11000000";
    try {
        HashPtr sec = ReadTextSection(TextsPath(lang), QAVOLOG_LEVEL_SECTION, kLevelArea);
        if (!sec) return gLevelName;
        if (const char *v = SzSLIBSzHashGetValue(sec.get(), key)) {
            // Names longer than the buffer are cut.
            snprintf(gLevelName, sizeof gLevelName, "%s", v);
        }
    } catch (const std::bad_alloc &) {
    }
    return gLevelName;
}

extern "C" const char *QAVOLogTimeString(uint32_t time) {
    const time_t t = static_cast<time_t>(time);
    struct tm tm;
    if (!localtime_r(&t, &tm) || strftime(gTime, sizeof gTime, "%Y/%m/%d %H:%M:%S", &tm) == 0)
        gTime[0] = '\0';
    return gTime;
}

extern "C" int QAVOLogRecordToText(FILE *out, const unsigned char *body, const char *lang,
                                   int length) {
    if (!out || !body || length <= 0) return 0;
    try {
        RecordLine(out, body, static_cast<size_t>(length), lang, nullptr);
    } catch (const std::bad_alloc &) {
    }
    return 0;
}

extern "C" int QAVOLogExportFile(const char *logPath, const char *outPath, const char *lang) {
    struct stat st;
    if (!logPath || !outPath || stat(logPath, &st) != 0) {
        SLIBLog(LOG_ERR, "Qavomark log file %s not exist", logPath ? logPath : "");
        return -1;
    }
    FILE *out = fopen(outPath, "w+e");
    if (!out) {
        SLIBLog(LOG_ERR, "output log file open failed [%d].\n", errno);
        return -1;
    }
    bool writable = false;
    const int fd = slib::LogOpenLocked(
        logPath, O_RDWR, slib::kLogOpenNoteLock | slib::kLogOpenReadOnlyFallback, &writable);
    if (fd < 0) {
        fclose(out);
        return -1;
    }
    int r;
    try {
        r = ExportLocked(fd, writable, out, lang);
    } catch (const std::bad_alloc &) {
        r = -1;
    }
    // Lines that never reached the file are a failed export.
    if (fflush(out) != 0 || ferror(out)) r = -1;
    if (fclose(out) != 0) r = -1;
    flock(fd, LOCK_UN);
    close(fd);
    return r;
}

extern "C" int QAVOLogExport(QAVOLOGCLASS logClass, const char *outPath, const char *lang) {
    // Class 4 and unknown classes have no file: the empty path fails.
    char value[32] = "";
    const char *path = value;
    if (logClass >= 1 && logClass <= 7 && kExportFiles[logClass].pathKey) {
        const LogClassFile &c = kExportFiles[logClass];
        if (SLIBFileGetKeyValue(QAVOLOG_CONF_PATH, c.pathKey, value, sizeof value, 0) <= 1)
            path = c.defaultFile;
    }
    const int r = QAVOLogExportFile(path, outPath ? outPath : QAVOLOG_EXPORT_DEFAULT_OUT,
                                    lang ? lang : QAVOLOG_EXPORT_DEFAULT_LANG);
    ReleaseCache();
    return r == 0 ? 0 : -1;
}
