// Event log ring files and their writer.
//
// The ring: records run from start to end; when end < start the ring has
// wrapped and they run from start up to the wrap marker, then from 16 up to
// end. A record only goes into a free stretch strictly longer than itself,
// so end = start means empty, and nothing is written past max - 2 (room for
// a wrap marker). Every move of the start pointer is synced; the end pointer
// is written last, after a sync, so a crash at any point leaves a header
// that names only complete records.
#include "slib_eventlog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "slib_errcode.h"
#include "slib_fsbase.h"
#include "slib_keyvalue.h"
#include "slib_logfile.h"
#include "slib_rewrite.h"
#include "slib_util.h"

namespace {

constexpr uint32_t kHeader = QAVOLOG_HEADER_SIZE;
constexpr uint32_t kMarker = QAVOLOG_WRAP_MARKER_SIZE;
constexpr uint32_t kFixed = QAVOLOG_RECORD_FIXED_SIZE;
constexpr int kRetries = 10;

struct LogClass {
    const char *pathKey;
    const char *sizeKey;
    const char *defaultFile;
    long defaultMax;
};

// Indexed by class; class 4 has no log.
constexpr LogClass kClasses[8] = {
    {nullptr, nullptr, nullptr, 0},
    {"syslogfile", "syslogfilesize_MAX", "/var/log/qavosys.log", 131072},
    {"manlogfile", "manlogfilesize_MAX", "/var/log/qavoman1.log", 131072},
    {"connlogfile", "connlogfilesize_MAX", "/var/log/qavoconn.log", 65536},
    {nullptr, nullptr, nullptr, 0},
    {"bkplogfile", "bkplogfilesize_MAX", "/var/log/qavobackup.log", 65536},
    {"copylogfile", "copylogfilesize_MAX", "/var/log/qavocopy.log", 65536},
    {"netbkplogfile", "netbkplogfilesize_MAX", "/var/log/qavonetbkp.log", 65536},
};

// The classes in the order of a new configuration file.
constexpr int kConfOrder[] = {1, 2, 3, 5, 6, 7};

const LogClass *ClassOf(int logClass) {
    if (logClass < 1 || logClass > 7 || !kClasses[logClass].pathKey) return nullptr;
    return &kClasses[logClass];
}

void PutU16(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void PutU32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint16_t GetU16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t GetU32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool WriteAt(int fd, uint64_t offset, const void *buf, uint32_t count) {
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) return false;
    return QAVOLogWriteByte(fd, buf, static_cast<int>(count)) == static_cast<int>(count);
}
bool ReadAt(int fd, uint64_t offset, void *buf, uint32_t count) {
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) return false;
    return QAVOLogReadByte(fd, buf, static_cast<int>(count)) == static_cast<int>(count);
}

// Runs a step, retrying up to ten times one second apart.
template <class Step>
bool Retried(Step step) {
    if (step()) return true;
    for (int i = 0; i < kRetries; ++i) {
        sleep(1);
        if (step()) return true;
    }
    return false;
}

// A log file descriptor, closed (and so unlocked) at the end of its scope.
using slib::Fd;

enum class Len { kOk, kMarker, kUnread, kBad };

// The length of the record at offset, which must end at or before limit.
Len ReadLength(int fd, uint64_t offset, uint64_t limit, uint32_t *length) {
    unsigned char b[2];
    if (!ReadAt(fd, offset, b, 2)) return Len::kUnread;
    uint32_t v = GetU16(b);
    if (v == 0) return Len::kMarker;
    if (v < kFixed || offset > limit || v > limit - offset) return Len::kBad;
    *length = v;
    return Len::kOk;
}

// Start and end as read from the header; false when either is unreadable or
// outside the file.
bool ReadPointers(int fd, uint64_t fileSize, uint32_t *start, uint32_t *end) {
    if (QAVOLogGetStart(fd, start) < 0 || QAVOLogGetEnd(fd, end) < 0) return false;
    return *start >= kHeader && *end >= kHeader && *start <= fileSize && *end <= fileSize;
}

uint64_t FileSize(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

const unsigned char kWrap[kMarker] = {0, 0};

// An empty ring whose pointers stand at pos goes back to 16: a wrap marker
// at pos first, so that the header is consistent between the two pointer
// writes.
bool ResetEmpty(int fd, uint32_t pos) {
    return WriteAt(fd, pos, kWrap, kMarker) && QAVOLogSetEnd(fd, kHeader) == 0 &&
           QAVOLogSetStart(fd, kHeader) == 0;
}

// A ring that cannot be walked (a record length that cannot be read or
// names no record) starts over rather than cost every later event: it is
// emptied where it ends, then put back at 16 as an empty ring is.
bool Restart(int fd, uint32_t start, uint32_t end) {
    SLIB_LOG(LOG_ERR, "%s(%d) unreadable record in the ring at start %u end %u, starting it over",
             start, end);
    return QAVOLogSetStart(fd, end) == 0 && ResetEmpty(fd, end);
}

#define EVLOG_FAIL(what)                                                     \
    do {                                                                     \
        SLIB_LOG(LOG_ERR, "%s(%d) " what " at start %u end %u", start, end); \
        return -1;                                                           \
    } while (0)

// Puts a record of n bytes into the locked ring file (steps of the writer
// from the header check to the end pointer).
int RingWrite(int fd, const unsigned char *rec, uint32_t n, long max) {
    if (QAVOLogCheckHeader(fd) < 0) return -1;
    const uint64_t fileSize = FileSize(fd);
    uint32_t start, end;
    if (!ReadPointers(fd, fileSize, &start, &end)) {
        start = end = kHeader;
        if (QAVOLogSetStart(fd, start) < 0 || QAVOLogSetEnd(fd, end) < 0) return -1;
    }
    auto fits = [&](uint32_t at) { return int64_t{at} + kMarker + n <= int64_t{max}; };
    const uint32_t headerEnd = end;  // the end pointer as the file holds it

    if (end >= start) {
        if (!fits(end)) {
            if (!WriteAt(fd, end, kWrap, kMarker)) EVLOG_FAIL("wrap marker write failed");
            uint64_t freed = 0;
            while (!(n < freed)) {
                // Everything dropped (or the ring was empty with its pointers
                // further in): it starts over at 16, where the record fits.
                if (start == end) {
                    if (!ResetEmpty(fd, end)) EVLOG_FAIL("reset of an empty ring failed");
                    start = kHeader;
                    break;
                }
                uint32_t length;
                if (ReadLength(fd, start, end, &length) != Len::kOk) {
                    if (!Restart(fd, start, headerEnd)) EVLOG_FAIL("restart of the ring failed");
                    start = kHeader;
                    break;
                }
                start += length;
                freed += length;
                if (QAVOLogSetStart(fd, start) < 0) EVLOG_FAIL("start pointer write failed");
            }
            end = kHeader;
        }
    } else {
        uint64_t gap = end < start ? start - end : 0;
        const uint64_t fileEnd = fileSize;
        bool wrapTaken = false;
        uint32_t regionEnd = end;  // where the records at start stop once wrapped
        bool unreadable = false;
        while (!(n < gap)) {
            uint32_t length = 0;
            if (!wrapTaken) {
                Len r = ReadLength(fd, start, fileEnd, &length);
                if (r == Len::kOk) {
                    gap += length;
                    start += length;
                } else if (r == Len::kBad) {
                    unreadable = true;
                    break;
                } else {
                    wrapTaken = true;
                    if (end == kHeader) {  // nothing below the wrap either
                        if (!ResetEmpty(fd, start)) EVLOG_FAIL("reset of an empty ring failed");
                        start = end = kHeader;
                        break;
                    }
                    if (ReadLength(fd, kHeader, end, &length) != Len::kOk) {
                        unreadable = true;
                        break;
                    }
                    start = kHeader;
                    regionEnd = end;
                    if (fits(end)) {
                        gap = static_cast<uint64_t>(max) - end - kMarker;
                    } else {
                        if (!WriteAt(fd, end, kWrap, kMarker))
                            EVLOG_FAIL("wrap marker write failed");
                        end = kHeader;
                        start = kHeader + length;
                        gap = length;
                    }
                }
            } else {
                if (start == regionEnd) {  // everything dropped
                    if (!ResetEmpty(fd, start)) EVLOG_FAIL("reset of an empty ring failed");
                    start = end = kHeader;
                    break;
                }
                if (ReadLength(fd, start, regionEnd, &length) != Len::kOk) {
                    unreadable = true;
                    break;
                }
                gap += length;
                start += length;
            }
            if (QAVOLogSetStart(fd, start) < 0) EVLOG_FAIL("start pointer write failed");
        }
        if (unreadable) {
            if (!Restart(fd, start, headerEnd)) EVLOG_FAIL("restart of the ring failed");
            start = end = kHeader;
        }
    }
    if (!WriteAt(fd, end, rec, n)) EVLOG_FAIL("record write failed");
    if (QAVOLogSetEnd(fd, end + n) < 0) EVLOG_FAIL("end pointer write failed");
    return 0;
}

// A size setting: decimal digits only, within the bounds of a log size.
bool ParseSize(const char *text, long *value) {
    if (!*text) return false;
    long v = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > QAVOLOG_SIZE_MAX) return false;
    }
    if (v < QAVOLOG_SIZE_MIN) return false;
    *value = v;
    return true;
}

bool SizeInBounds(long v) {
    return v >= QAVOLOG_SIZE_MIN && v <= QAVOLOG_SIZE_MAX;
}

char gUser[256];

}  // namespace

extern "C" int QAVOLogWriteByte(int fd, const void *buf, int count) {
    if (count < 0 || (count > 0 && !buf)) {
        SLIBLog(LOG_ERR, "QAVOLogWriteByte(): write() error!, input count is [%d]", count);
        return -1;
    }
    const char *p = static_cast<const char *>(buf);
    int done = 0;
    while (done < count) {
        ssize_t w = write(fd, p + done, static_cast<size_t>(count - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            SLIBLog(LOG_ERR, "QAVOLogWriteByte(): write() error!, input count is [%d]", count);
            return -1;
        }
        done += static_cast<int>(w);
    }
    return done;
}

extern "C" int QAVOLogReadByte(int fd, void *buf, int count) {
    if (count < 0 || (count > 0 && !buf)) return -1;
    char *p = static_cast<char *>(buf);
    int done = 0;
    while (done < count) {
        ssize_t r = read(fd, p + done, static_cast<size_t>(count - done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        done += static_cast<int>(r);
    }
    return done;
}

extern "C" int QAVOLogSetStart(int fd, uint32_t start) {
    unsigned char b[4];
    PutU32(b, start);
    if (!WriteAt(fd, 8, b, 4)) return -1;
    return fsync(fd) == 0 ? 0 : -1;
}

extern "C" int QAVOLogSetEnd(int fd, uint32_t end) {
    if (fsync(fd) != 0) return -1;
    unsigned char b[4];
    PutU32(b, end);
    return WriteAt(fd, 12, b, 4) ? 0 : -1;
}

extern "C" int QAVOLogGetStart(int fd, uint32_t *pStart) {
    unsigned char b[4];
    if (!pStart || !ReadAt(fd, 8, b, 4)) return -1;
    *pStart = GetU32(b);
    return 0;
}

extern "C" int QAVOLogGetEnd(int fd, uint32_t *pEnd) {
    unsigned char b[4];
    if (!pEnd || !ReadAt(fd, 12, b, 4)) return -1;
    *pEnd = GetU32(b);
    return 0;
}

extern "C" int QAVOLogCheckHeader(int fd) {
    char magic[4];
    if (ReadAt(fd, 0, magic, 4) && memcmp(magic, QAVOLOG_MAGIC, 4) == 0) return 0;
    // Pointers first, the magic last: a take-over cut short is taken over
    // again next time.
    if (QAVOLogSetStart(fd, kHeader) < 0 || QAVOLogSetEnd(fd, kHeader) < 0) return -1;
    return WriteAt(fd, 0, QAVOLOG_MAGIC, 4) ? 0 : -1;
}

extern "C" void QAVOLogRecordDecode(const unsigned char *bytes, QAVOLOGRECORD *record) {
    record->uLength = GetU16(bytes);
    record->uLevel = GetU16(bytes + 2);
    record->ulTime = GetU32(bytes + 4);
    record->uSourceLength = GetU16(bytes + 8);
    record->uUserLength = GetU16(bytes + 10);
    record->ulEventId = GetU32(bytes + 12);
    for (int i = 0; i < 4; ++i)
        record->uArgLength[i] = GetU16(bytes + 16 + 2 * i);
}

extern "C" int QAVOLogGetPwName(uid_t uid, char *buf, int size) {
    if (!buf || size <= 0) return -1;
    buf[0] = '\0';
    FILE *fp = fopen("/etc/passwd", "re");
    if (!fp) return -1;
    char *line = nullptr;
    size_t cap = 0;
    int result = -1;
    while (getline(&line, &cap, fp) >= 0) {
        // name:password:uid:... — the uid is the whole third field.
        std::string_view l(line);
        size_t c1 = l.find(':');
        if (c1 == std::string_view::npos) continue;
        size_t c2 = l.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        size_t c3 = l.find_first_of(":\n", c2 + 1);
        std::string_view field =
            l.substr(c2 + 1, c3 == std::string_view::npos ? l.npos : c3 - c2 - 1);
        if (field.empty() || field.size() > 10) continue;
        uint64_t v = 0;
        bool digits = true;
        for (char ch : field) {
            if (ch < '0' || ch > '9') {
                digits = false;
                break;
            }
            v = v * 10 + static_cast<uint64_t>(ch - '0');
        }
        if (!digits || v != uid) continue;
        if (c1 < static_cast<size_t>(size)) {
            memcpy(buf, line, c1);
            buf[c1] = '\0';
            result = 0;
        }
        break;
    }
    free(line);
    fclose(fp);
    return result;
}

extern "C" const char *QAVOLogGetUser(void) {
    const char *env = getenv("USERNAME");
    if (env) {
        size_t len = strnlen(env, sizeof gUser - 1);
        memcpy(gUser, env, len);
        gUser[len] = '\0';
    } else {
        QAVOLogGetPwName(geteuid(), gUser, sizeof gUser);
    }
    if (strcmp(gUser, "root") == 0) strcpy(gUser, "admin");
    return gUser;
}

extern "C" unsigned char *QAVOLogRecordBuild(QAVOLOGLEVEL level, QAVOLOGEVENTID eventId,
                                             const char *arg1, const char *arg2, const char *arg3,
                                             const char *arg4, int *pLength) {
    if (!pLength) return nullptr;
    const char *user = QAVOLogGetUser();
    const std::array<const char *, 6> parts = {
        program_invocation_short_name, user, arg1, arg2, arg3, arg4};
    std::array<size_t, 6> lens{};
    size_t total = kFixed;
    for (size_t i = 0; i < parts.size(); ++i) {
        lens[i] = parts[i] ? strlen(parts[i]) : 0;
        total += lens[i];
        if (lens[i] > QAVOLOG_RECORD_MAX_SIZE || total > QAVOLOG_RECORD_MAX_SIZE) {
            SLIBLog(LOG_ERR, "%s(%d) event %08X too long for a log record", __FILE__, __LINE__,
                    eventId);
            return nullptr;
        }
    }
    auto *rec = static_cast<unsigned char *>(malloc(total));
    if (!rec) return nullptr;
    PutU16(rec, static_cast<uint32_t>(total));
    PutU16(rec + 2, static_cast<uint16_t>(level));
    PutU32(rec + 4, static_cast<uint32_t>(time(nullptr)));
    PutU16(rec + 8, static_cast<uint32_t>(lens[0]));
    PutU16(rec + 10, static_cast<uint32_t>(lens[1]));
    PutU32(rec + 12, eventId);
    for (int i = 0; i < 4; ++i)
        PutU16(rec + 16 + 2 * i, static_cast<uint32_t>(lens[2 + i]));
    size_t at = kFixed;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (lens[i]) memcpy(rec + at, parts[i], lens[i]);
        at += lens[i];
    }
    *pLength = static_cast<int>(total);
    return rec;
}

extern "C" int QAVOLogRecordWrite(const char *path, QAVOLOGLEVEL level, QAVOLOGEVENTID eventId,
                                  const char *arg1, const char *arg2, const char *arg3,
                                  const char *arg4, long max) {
    if (!path) return -1;
    Fd file;
    file.fd = slib::LogOpenLocked(path, O_RDWR | O_CREAT, slib::kLogOpenNoteFailure);
    if (file.fd < 0) return -1;
    int n = 0;
    std::unique_ptr<unsigned char, decltype(&free)> rec(
        QAVOLogRecordBuild(level, eventId, arg1, arg2, arg3, arg4, &n), &free);
    if (!rec) return -1;
    // A record that cannot fit even an empty ring would drop every record
    // before failing: refuse it with the log untouched.
    if (int64_t{n} + kHeader + kMarker > int64_t{max}) {
        SLIBLog(LOG_ERR, "%s(%d) record of %d bytes exceeds the log size %ld of %s", __FILE__,
                __LINE__, n, max, path);
        return -1;
    }
    if (RingWrite(file.fd, rec.get(), static_cast<uint32_t>(n), max) < 0) return -1;
    fchmod(file.fd, 0600);
    return 0;
}

extern "C" int QAVOLogDropOldest(long excess, const char *path) {
    if (!path) return -1;
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    Fd src;
    src.fd = slib::LogOpenLocked(path, O_RDONLY, 0);
    if (src.fd < 0) return -1;
    const uint64_t fileSize = FileSize(src.fd);
    uint32_t start, end;
    if (!ReadPointers(src.fd, fileSize, &start, &end)) start = end = kHeader;

    // Skip the oldest records, at least excess bytes of them.
    const bool wrapped = end < start;
    bool taken = false;
    long dropped = 0;
    while (dropped < excess) {
        const bool upper = wrapped && !taken;
        if (!upper && start >= end) break;
        uint32_t length = 0;
        if (ReadLength(src.fd, start, upper ? fileSize : end, &length) == Len::kOk) {
            start += length;
        } else if (upper) {
            taken = true;
            if (end == kHeader || ReadLength(src.fd, kHeader, end, &length) != Len::kOk) {
                start = kHeader;
                break;
            }
            start = kHeader + length;
        } else {
            break;
        }
        dropped += length;
    }

    char tmp[4096];
    if (SLIBFileGetTempName(path, tmp, sizeof tmp) != 0) return -1;
    Fd out;
    if (!Retried([&] {
            // A stale file or a planted link at the name is removed, never
            // written through.
            unlink(tmp);
            out.fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            return out.fd >= 0;
        }))
        return -1;
    auto fail = [&](int line) {
        SLIBLog(LOG_ERR, "%s(%d) shrink of %s failed", __FILE__, line, path);
        close(out.fd);
        out.fd = -1;
        unlink(tmp);
        return -1;
    };
    unsigned char header[kHeader] = {};
    memcpy(header, QAVOLOG_MAGIC, 4);
    PutU32(header + 8, kHeader);
    PutU32(header + 12, kHeader);
    if (!WriteAt(out.fd, 0, header, kHeader)) return fail(__LINE__);

    // Copy what remains, in ring order.
    uint64_t pos = kHeader;
    const bool wrapNow = end < start;
    bool takenCopy = false;
    uint32_t at = start;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[65536]);
    if (!buf) return fail(__LINE__);
    for (;;) {
        const bool upper = wrapNow && !takenCopy;
        if (!upper && at >= end) break;
        uint32_t length = 0;
        if (ReadLength(src.fd, at, upper ? fileSize : end, &length) != Len::kOk) {
            if (!upper) break;
            takenCopy = true;
            at = kHeader;
            continue;
        }
        if (ReadAt(src.fd, at, buf.get(), length)) {
            if (!WriteAt(out.fd, pos, buf.get(), length)) return fail(__LINE__);
            pos += length;
        }
        at += length;
    }
    if (QAVOLogSetEnd(out.fd, static_cast<uint32_t>(pos)) < 0 || fsync(out.fd) != 0 ||
        fchmod(out.fd, 0600) != 0)
        return fail(__LINE__);
    int fd = out.fd;
    out.fd = -1;
    if (close(fd) != 0) {
        unlink(tmp);
        return -1;
    }
    // The source's lock is held until the new file stands at path.
    if (rename(tmp, path) != 0) return -1;
    return 0;
}

extern "C" int QAVOLogChangeSize(long newMax, QAVOLOGCLASS logClass) {
    const LogClass *c = ClassOf(logClass);
    if (!c) return 0;
    if (!SizeInBounds(newMax)) {
        SLIBLog(LOG_ERR, "QAVOLogChangeSize : size %ld out of range for %s", newMax,
                c->defaultFile);
        return -1;
    }
    struct stat st;
    if (stat(c->defaultFile, &st) != 0) {
        SLIBLog(LOG_ERR, "QAVOLogChangeSize : logfile %s not existed", c->defaultFile);
        return 0;
    }
    if (st.st_size > newMax) return QAVOLogDropOldest(st.st_size - newMax, c->defaultFile);
    return 0;
}

extern "C" int QAVOLogConfCreate(void) {
    try {
        slib::RewriteSet rw;
        FILE *fp = rw.Open(QAVOLOG_CONF_PATH);
        bool ok = fp != nullptr;
        for (int cls : kConfOrder) {
            if (!ok) break;
            const LogClass &c = kClasses[cls];
            ok = fprintf(fp, "%s\t=\t\"%s\"\n", c.pathKey, c.defaultFile) > 0 &&
                 fprintf(fp, "%s\t=\t\"%s\"\n", c.sizeKey, "65536") > 0;
        }
        if (ok && rw.Commit()) return 0;
    } catch (const std::bad_alloc &) {
    }
    SLIBErrSet(ERR_OPEN_FAILED);
    return -1;
}

extern "C" int QAVOLogEventWrite(QAVOLOGCLASS logClass, QAVOLOGLEVEL level, QAVOLOGEVENTID eventId,
                                 const char *arg1, const char *arg2, const char *arg3,
                                 const char *arg4) {
    if (logClass == QAVOLOG_CLASS_NONE) return -1;
    if (logClass < 1 || logClass > 7) {
        SLIBLog(LOG_ERR, "logclass error!");
        return -1;
    }
    const int cls = logClass == QAVOLOG_CLASS_MAN ? QAVOLOG_CLASS_SYS : logClass;
    const LogClass &c = kClasses[cls];
    long max = c.defaultMax;

    struct stat st;
    if (stat(QAVOLOG_CONF_PATH, &st) != 0) {
        if (QAVOLogConfCreate() < 0) return -1;
        QAVOLogChangeSize(max, cls);
    } else {
        if (cls != QAVOLOG_CLASS_SYS)
            SLIBLog(LOG_INFO, "QAVO : log file %s opened", QAVOLOG_CONF_PATH);
        char value[11];
        if (SLIBFileGetKeyValue(QAVOLOG_CONF_PATH, c.sizeKey, value, sizeof value, 0) > 0) {
            long configured;
            if (ParseSize(value, &configured)) {
                max = configured;
                QAVOLogChangeSize(max, cls);
            } else {
                SLIBLog(LOG_ERR, "%s(%d) bad %s [%s] in %s, using %ld", __FILE__, __LINE__,
                        c.sizeKey, value, QAVOLOG_CONF_PATH, max);
            }
        }
    }
    char path[32];
    const char *file = c.defaultFile;
    if (SLIBFileGetKeyValue(QAVOLOG_CONF_PATH, c.pathKey, path, sizeof path, 0) > 1) file = path;

    auto fix = [](const char *arg) { return !arg ? "" : (*arg ? arg : " "); };
    int r;
    try {
        r = QAVOLogRecordWrite(file, level, eventId, fix(arg1), fix(arg2), fix(arg3), fix(arg4),
                               max);
    } catch (const std::bad_alloc &) {
        r = -1;
    }
    return r == -1 ? -1 : 0;
}

extern "C" int QAVOLogSetSize(int newMax, QAVOLOGCLASS logClass) {
    if (!SizeInBounds(newMax)) {
        SLIBLog(LOG_ERR, "QAVOLogSetSize : size %d out of range", newMax);
        return -1;
    }
    struct stat st;
    if (stat(QAVOLOG_CONF_PATH, &st) != 0) {
        if (QAVOLogConfCreate() < 0) {
            SLIBLog(LOG_ERR,
                    "logconf file created error while set size coz the logconf not exist!");
            return -1;
        }
        SLIBLog(LOG_INFO, "logconf file not exist! created one!");
    }
    const LogClass *c = ClassOf(logClass);
    if (!c) return -1;
    char value[16];
    snprintf(value, sizeof value, "%d", newMax);
    if (SLIBFileSetKeyValue(QAVOLOG_CONF_PATH, c->sizeKey, value, QAVOLOG_CONF_FMT) != 1) {
        SLIBLog(LOG_ERR, "error occured in setkeyvalue in %s.", QAVOLOG_CONF_PATH);
        return -1;
    }
    return QAVOLogChangeSize(newMax, logClass) != 0 ? -1 : 0;
}

extern "C" int QAVOLogAppendWasting(long value) {
    FILE *fp = fopen("wasting", "a+e");
    if (!fp) return -1;
    fprintf(fp, "%ld\n", value);
    fclose(fp);
    return 0;
}

namespace slib {

int LogOpenLocked(const char *path, int flags, unsigned options, bool *writable) {
    for (int round = 0; round < kRetries; ++round) {
        int fd = -1;
        if (!Retried([&] {
                fd = open(path, flags | O_CLOEXEC, 0600);
                if (writable) *writable = fd >= 0;
                if (fd < 0 && errno == EACCES && (options & kLogOpenReadOnlyFallback))
                    fd = open(path, (flags & ~(O_ACCMODE | O_CREAT)) | O_RDONLY | O_CLOEXEC);
                return fd >= 0;
            })) {
            if (options & kLogOpenNoteFailure)
                SLIBLog(LOG_ERR, "logfile %s open error while writing!", path);
            return -1;
        }
        if (!Retried([&] { return flock(fd, LOCK_EX | LOCK_NB) == 0; })) {
            if (options & kLogOpenNoteLock) SLIBLog(LOG_ERR, "log file lock failed");
            close(fd);
            return -1;
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        close(fd);
    }
    return -1;
}

}  // namespace slib
