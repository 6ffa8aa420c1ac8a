// Account-file readers. The group scanner keeps one line buffer, one member
// array and one open stream for the whole process; the passwd readers fill
// static records. A line the scanner cannot make sense of is passed over, so
// one damaged line never hides the groups after it.
#include "qavo_accfile.h"

#include <syslog.h>
#include <unicode/ustring.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "accfile_util.h"
#include "account_snapshot.h"
#include "slib_errcode.h"
#include "slib_line.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace accfile {

void CopyCut(char *buffer, size_t size, const char *text) {
    memset(buffer, 0, size);
    strncpy(buffer, text, size - 1);
}

}  // namespace accfile

using namespace accfile;

namespace {

using slib::Fail;

// ---------------------------------------------------------------- group scan

constexpr size_t kLineStep = 256;       // the line buffer grows in these steps
constexpr size_t kLineMax = 262143;     // longer lines are passed over
constexpr size_t kMemberStep = 64;      // the member array grows in these steps
constexpr int kMaxGroupNameChars = 15;  // the longest group name there can be

struct GroupScanner {
    FILE *fp = nullptr;
    char *line = nullptr;  // the current line, its fields cut in place
    size_t lineCap = 0;
    char **members = nullptr;
    size_t memberCap = 0;
};

GroupScanner g_scan;
QAVOGROUPENTRY g_group;

enum class Read { kLine, kTooLong, kEnd, kNoMemory };

// Reads the next line without its newline into the line buffer. A last line
// without a newline is a line like any other.
Read ReadGroupLine(size_t &length) {
    size_t n = 0;
    bool any = false, tooLong = false;
    int c;
    while ((c = getc_unlocked(g_scan.fp)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (tooLong) continue;
        if (n + 1 >= g_scan.lineCap) {
            if (g_scan.lineCap > kLineMax) {
                tooLong = true;  // read on to the end of the line, keep nothing
                continue;
            }
            auto *grown = static_cast<char *>(realloc(g_scan.line, g_scan.lineCap + kLineStep));
            if (!grown) return Read::kNoMemory;
            g_scan.line = grown;
            g_scan.lineCap += kLineStep;
        }
        g_scan.line[n++] = static_cast<char>(c);
    }
    if (!any) return Read::kEnd;
    if (tooLong) return Read::kTooLong;
    g_scan.line[n] = '\0';
    length = n;
    return Read::kLine;
}

// Parses a whole field of decimal digits (the empty field reads as 0).
bool ParseDecimal(const char *text, unsigned long max, unsigned long &value) {
    value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// The type of a four-field line, from its gid.
uint32_t DefaultType(int gid, const char *name) {
    if (gid == 0) return strcmp(name, "wheel") == 0 ? 0 : 1;
    if (gid < 1 || gid > 65534 || gid == 31 || gid == 100) return 1;
    return 0;
}

// Cuts the member field at ',' into the member array (empty names dropped),
// closed by NULL.
bool SplitMembers(char *field, size_t &count) {
    count = 0;
    char *cursor = field;
    while (char *name = strsep(&cursor, ",")) {
        if (*name == '\0') continue;
        // Room for this name and the closing NULL.
        if (count + 2 > g_scan.memberCap) {
            size_t cap = g_scan.memberCap + kMemberStep;
            auto *grown = static_cast<char **>(realloc(g_scan.members, cap * sizeof(char *)));
            if (!grown) return false;
            g_scan.members = grown;
            g_scan.memberCap = cap;
        }
        g_scan.members[count++] = name;
    }
    g_scan.members[count] = nullptr;
    return true;
}

enum class Match { kFound, kSkip, kNoMemory };

// Judges one line against the search; fills the record when it is taken.
Match TakeLine(size_t length, int search, int gid, const char *wanted) {
    char *text = g_scan.line;
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '#') return Match::kSkip;

    // Up to seven fields; the seventh ends at the next ':' as well.
    char *field[7] = {};
    int count = 0;
    char *cursor = text;
    char *const end = text + length;
    while (count < 7) {
        field[count++] = cursor;
        auto *colon = static_cast<char *>(memchr(cursor, ':', static_cast<size_t>(end - cursor)));
        if (!colon) break;
        *colon = '\0';
        cursor = colon + 1;
    }
    const char *name = field[0];
    if (name[0] == '+') return Match::kSkip;
    if (search == QAVO_GRSCAN_FIND && wanted && SLIBUnicodeUTF8StrCaseCmp(name, wanted) != 0)
        return Match::kSkip;
    // A name alone, or a name and a password, is no group.
    if (count < 3) return Match::kSkip;
    unsigned long value;
    if (!ParseDecimal(field[2], UINT32_MAX, value)) return Match::kSkip;
    const int lineGid = static_cast<int>(static_cast<uint32_t>(value));
    if (search == QAVO_GRSCAN_FIND && !wanted && lineGid != gid) return Match::kSkip;

    uint32_t type;
    char *linked = nullptr;
    unsigned long number = 0;
    if (count <= 4) {
        type = DefaultType(lineGid, name);
    } else {
        // An extended line needs its type, linked name and number.
        if (count < 7 || !ParseDecimal(field[4], UINT32_MAX, value)) return Match::kSkip;
        if (value & ~static_cast<unsigned long>(QAVO_GROUP_TYPE_LOCAL | QAVO_GROUP_TYPE_LINKED))
            return Match::kSkip;
        type = static_cast<uint32_t>(value);
        linked = field[5];
        if (*field[6]) {
            char *stop;
            errno = 0;
            number = strtoul(field[6], &stop, 0);
            if (*stop || errno || field[6][0] == '-' || field[6][0] == '+' || field[6][0] == ' ' ||
                field[6][0] == '\t')
                return Match::kSkip;
        }
    }
    // Without a member field, the empty text at the line's end stands for it.
    size_t members;
    if (!SplitMembers(count >= 4 ? field[3] : end, members)) return Match::kNoMemory;

    g_group.name = field[0];
    g_group.password = field[1];
    g_group.gid = lineGid;
    g_group.members = g_scan.members;
    g_group.type = type;
    g_group.linked = linked;
    g_group.number = number;
    return Match::kFound;
}

// Judges a line of text read before as the scan would judge it in the file,
// looking for the group of that name; the record points into the scanner's
// line buffer as the scan's does.
QAVOGROUPENTRY *TakeGroupText(const std::string &text, const char *name) {
    if (text.size() > kLineMax) return nullptr;  // the scan passes it over
    if (text.size() + 1 > g_scan.lineCap) {
        const size_t cap = (text.size() / kLineStep + 1) * kLineStep;
        auto *grown = static_cast<char *>(realloc(g_scan.line, cap));
        if (!grown) return nullptr;
        g_scan.line = grown;
        g_scan.lineCap = cap;
    }
    if (!g_scan.members) {
        g_scan.members = static_cast<char **>(calloc(kMemberStep, sizeof(char *)));
        if (!g_scan.members) return nullptr;
        g_scan.memberCap = kMemberStep;
    }
    memcpy(g_scan.line, text.data(), text.size());
    g_scan.line[text.size()] = '\0';
    g_group.type = 1;
    g_group.linked = nullptr;
    g_group.number = 0;
    return TakeLine(text.size(), QAVO_GRSCAN_FIND, 0, name) == Match::kFound ? &g_group : nullptr;
}

QAVOGROUPENTRY *LookUpGroup(int gid, const char *name) {
    if (!SLIBIGrOpen(SZF_GROUP)) return nullptr;
    int found = SLIBIGrScan(QAVO_GRSCAN_FIND, gid, name);
    SLIBIGrClose();
    return found ? &g_group : nullptr;
}

// ---------------------------------------------------------------- passwd

constexpr size_t kLineBuf = 1024;  // account lines are read into this much
constexpr size_t kPasswordBuf = 1024;
constexpr size_t kGecosBuf = 1024;
constexpr size_t kHomeBuf = 1024;
constexpr size_t kShellBuf = 256;

struct LocalPw {
    struct passwd pw;
    char name[kNameBuf];
    char password[kPasswordBuf];
    char gecos[kGecosBuf];
    char home[kHomeBuf];
    char shell[kShellBuf];
};
LocalPw g_localPw;

// A name that can be a field of an account file: no field or line break.
bool FieldName(const char *name) {
    return strpbrk(name, ":\n") == nullptr;
}

// The first line of an account file that begins with name and ':' (without
// regard to case) into line. 1 found, 0 none (0x2000), -1 (the reader's code).
int AccountLine(const char *path, const char *name, std::string &line, bool grow) {
    const std::string key = std::string(name) + ":";
    line.assign(kLineBuf, '\0');
    for (;;) {
        int r = SLIBFileGetLine(path, key.c_str(), line.data(), static_cast<int>(line.size()),
                                SLIB_LINE_PREFIX | SLIB_LINE_CASELESS);
        if (r > 0) {
            line.resize(static_cast<size_t>(r) - 1);
            return 1;
        }
        if (r == 0) return 0;
        if (!grow || SLIBErrGet() != ERR_BUF_TOO_SMALL || line.size() > INT_MAX / 2) return -1;
        line.assign(line.size() * 2, '\0');
    }
}

// The line AccountLine finds, from a snapshot when there is one.
int FindLine(const sdk::AccountSnapshot *snap, sdk::AccountSnapshot::FileId file, const char *path,
             const char *name, std::string &line, bool grow) {
    return snap ? snap->Line(file, name, line, grow) : AccountLine(path, name, line, grow);
}

// Splits a line at ':' keeping empty fields.
int SplitFields(const std::string &line, const char *delimiters, slib::SzListPtr &list) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(static_cast<int>(line.size()) * 2 + 512);
    if (!l) return Fail(ERR_OUT_OF_MEMORY);
    int n = SLIBStrSep(line.c_str(), delimiters, &l);
    list.reset(l);
    return n;
}

uid_t ParseId(const char *text) {
    return static_cast<uid_t>(strtoul(text, nullptr, 10));
}

struct passwd *LocalPwNam(const char *name, const sdk::AccountSnapshot *snap = nullptr) {
    if (!name || !*name) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    int chars = SLIBUnicodeUTF8StrCountChar(name);
    if (chars < 0 || chars > kMaxUserNameChars) return nullptr;
    if (!FieldName(name)) {
        SLIBErrSet(ERR_NO_SUCH_USER);
        return nullptr;
    }
    std::string line;
    int r = FindLine(snap, sdk::AccountSnapshot::kPasswd, SZF_PASSWD, name, line, false);
    if (r <= 0) {
        // A line too long for the reader counts as missing as well.
        if (r == 0 || SLIBErrGet() == ERR_BUF_TOO_SMALL) SLIBErrSet(ERR_NO_SUCH_USER);
        return nullptr;
    }
    slib::SzListPtr fields;
    int n = SplitFields(line, ":", fields);
    if (n < 0) return nullptr;
    if (n != 7) {
        SLIBErrSet(ERR_FIELD_COUNT);
        return nullptr;
    }
    char **f = fields->pszItem;
    LocalPw &rec = g_localPw;
    CopyCut(rec.name, sizeof rec.name, f[0]);
    CopyCut(rec.password, sizeof rec.password, f[1]);
    CopyCut(rec.gecos, sizeof rec.gecos, f[4]);
    CopyCut(rec.home, sizeof rec.home, f[5]);
    CopyCut(rec.shell, sizeof rec.shell, f[6]);
    rec.pw.pw_name = rec.name;
    rec.pw.pw_passwd = rec.password;
    rec.pw.pw_uid = ParseId(f[2]);
    rec.pw.pw_gid = static_cast<gid_t>(ParseId(f[3]));
    rec.pw.pw_gecos = rec.gecos;
    rec.pw.pw_dir = rec.home;
    rec.pw.pw_shell = rec.shell;
    return &rec.pw;
}

int GrNamBuf(const char *name, struct group *buf, int size, int *needed,
             const sdk::AccountSnapshot *snap) {
    if (!name || !*name || !needed || size < 0 || (!buf && size != 0))
        return Fail(ERR_BAD_PARAMETERS);
    int chars = SLIBUnicodeUTF8StrCountChar(name);
    if (chars < 0 || chars > kMaxGroupNameChars) return -1;
    if (!FieldName(name)) return Fail(ERR_NO_SUCH_USER);
    try {
        // The whole line, however many members the group has.
        std::string line;
        int r = FindLine(snap, sdk::AccountSnapshot::kGroup, SZF_GROUP, name, line, true);
        if (r == 0) return Fail(ERR_NO_SUCH_USER);
        if (r < 0) return -1;
        slib::SzListPtr fields;
        int n = SplitFields(line, ":", fields);
        if (n < 0) return -1;
        if (n != 4) return Fail(ERR_FIELD_COUNT);
        char **f = fields->pszItem;
        // Names between commas count even when empty; an empty field holds none.
        std::vector<std::string_view> members;
        if (*f[3]) {
            std::string_view rest = f[3];
            for (;;) {
                size_t comma = rest.find(',');
                members.push_back(rest.substr(0, comma));
                if (comma == std::string_view::npos) break;
                rest.remove_prefix(comma + 1);
            }
        }
        const size_t nameLen = strlen(f[0]), pwLen = strlen(f[1]);
        size_t arrayAt = sizeof(struct group) + nameLen + 1 + pwLen + 1;
        arrayAt = (arrayAt + alignof(char *) - 1) / alignof(char *) * alignof(char *);
        size_t stringsAt = arrayAt + (members.size() + 1) * sizeof(char *);
        size_t total = stringsAt;
        for (std::string_view m : members)
            total += m.size() + 1;
        if (total > INT_MAX) return Fail(ERR_OUT_OF_MEMORY);
        *needed = static_cast<int>(total);
        if (!buf && size == 0) return 0;
        if (total > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);

        auto *base = reinterpret_cast<char *>(buf);
        memset(base, 0, static_cast<size_t>(size));
        char *at = base + sizeof(struct group);
        buf->gr_name = at;
        memcpy(at, f[0], nameLen);
        at += nameLen + 1;
        buf->gr_passwd = at;
        memcpy(at, f[1], pwLen);
        buf->gr_gid = static_cast<gid_t>(strtoul(f[2], nullptr, 10));
        auto **array = reinterpret_cast<char **>(base + arrayAt);
        buf->gr_mem = array;
        at = base + stringsAt;
        for (size_t i = 0; i < members.size(); ++i) {
            array[i] = at;
            memcpy(at, members[i].data(), members[i].size());
            at += members[i].size() + 1;
        }
        array[members.size()] = nullptr;
        return static_cast<int>(members.size());
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

struct passwd *LocalSpNam(const char *name, const sdk::AccountSnapshot *snap) {
    if (!name) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    try {
        struct passwd *pw = LocalPwNam(name, snap);
        if (!pw) {
            SLIBErrSet(ERR_NO_SUCH_USER);
            return nullptr;
        }
        std::string line;
        if (FindLine(snap, sdk::AccountSnapshot::kShadow, SZF_SHADOW, pw->pw_name, line, false) <=
            0) {
            SLIBLog(LOG_ERR, "(%d) cant get line by %s(%X)\n", __LINE__, pw->pw_name, SLIBErrGet());
            return nullptr;
        }
        slib::SzListPtr fields;
        int n = SplitFields(line, ":", fields);
        if (n < 0) return nullptr;
        if (n != 9) {
            // Only the name: the rest of the line holds the password hash.
            SLIBLog(LOG_ERR, "(%d) szLine[%s] has %d entries format error\n", __LINE__,
                    fields->pszItem[0], n);
            SLIBErrSet(ERR_FIELD_COUNT);
            return nullptr;
        }
        CopyCut(g_localPw.password, sizeof g_localPw.password, fields->pszItem[1]);
        return pw;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

}  // namespace

// ---------------------------------------------------------------- group API

extern "C" int SLIBIGrOpen(const char *path) {
    SLIBIGrClose();
    if (!path) return 0;
    if (!g_scan.line) {
        g_scan.line = static_cast<char *>(malloc(kLineStep));
        if (!g_scan.line) return 0;
        g_scan.lineCap = kLineStep;
    }
    if (!g_scan.members) {
        g_scan.members = static_cast<char **>(calloc(kMemberStep, sizeof(char *)));
        if (!g_scan.members) return 0;
        g_scan.memberCap = kMemberStep;
    }
    g_scan.fp = fopen(path, "re");
    return g_scan.fp ? 1 : 0;
}

extern "C" int SLIBIGrScan(int search, int gid, const char *name) {
    g_group.type = 1;
    g_group.linked = nullptr;
    g_group.number = 0;
    if (!g_scan.fp) return 0;
    for (;;) {
        size_t length = 0;
        switch (ReadGroupLine(length)) {
            case Read::kEnd:
            case Read::kNoMemory:
                return 0;
            case Read::kTooLong:
                SLIB_LOG(LOG_ERR, "%s(%d) group line longer than %zu bytes passed over", kLineMax);
                continue;
            case Read::kLine:
                break;
        }
        switch (TakeLine(length, search, gid, name)) {
            case Match::kFound:
                return 1;
            case Match::kNoMemory:
                return 0;
            case Match::kSkip:
                break;
        }
    }
}

extern "C" void SLIBIGrClose(void) {
    if (g_scan.fp) fclose(g_scan.fp);
    g_scan.fp = nullptr;
}

extern "C" QAVOGROUPENTRY *PgrpSLIBGetLocalGrGid(int gid) {
    return LookUpGroup(gid, nullptr);
}

extern "C" QAVOGROUPENTRY *PgrpSLIBGetLocalGrName(const char *name) {
    if (!name) return nullptr;
    return LookUpGroup(0, name);
}

extern "C" QAVOGROUPENTRY *PgrpSLIBGetLocalGrEnt(void) {
    if (!g_scan.fp && !SLIBIGrOpen(SZF_GROUP)) return nullptr;
    return SLIBIGrScan(QAVO_GRSCAN_NEXT, 0, nullptr) ? &g_group : nullptr;
}

extern "C" int SLIBGetLocalGrNamBuf(const char *name, struct group *buf, int size, int *needed) {
    return GrNamBuf(name, buf, size, needed, nullptr);
}

// ---------------------------------------------------------------- passwd API

extern "C" struct passwd *PpwSLIBGetLocalPwNam(const char *name) {
    try {
        return LocalPwNam(name);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

extern "C" struct passwd *PpwSLIBGetLocalSpNam(const char *name) {
    return LocalSpNam(name, nullptr);
}

// ---------------------------------------------------------------- snapshot

namespace sdk {

bool CaseKey(const char *name, std::string &key) {
    const int n = SLIBUnicodeUTF8StrUpper(name, nullptr, 0);
    if (n < 0) return false;
    std::string upper(static_cast<size_t>(n) + 1, '\0');
    if (SLIBUnicodeUTF8StrUpper(name, upper.data(), n + 1) != n) return false;
    UCollator *coll = SLIBUnicodeGetCollator();
    if (!coll) return false;
    UErrorCode err = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8(nullptr, 0, &units, upper.c_str(), n, &err);
    if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) return false;
    std::vector<UChar> u16(static_cast<size_t>(units) + 1);
    err = U_ZERO_ERROR;
    u_strFromUTF8(u16.data(), units + 1, nullptr, upper.c_str(), n, &err);
    if (U_FAILURE(err)) return false;
    key.assign(64, '\0');
    for (;;) {
        const int32_t len =
            ucol_getSortKey(coll, u16.data(), units, reinterpret_cast<uint8_t *>(key.data()),
                            static_cast<int32_t>(key.size()));
        if (len <= 0) return false;
        if (static_cast<size_t>(len) <= key.size()) {
            key.resize(static_cast<size_t>(len));
            return true;
        }
        key.assign(static_cast<size_t>(len), '\0');
    }
}

bool AccountSnapshot::Load() {
    loaded_ = false;
    try {
        const char *paths[kFiles] = {SZF_PASSWD, SZF_SHADOW, SZF_GROUP};
        for (int i = 0; i < kFiles; ++i) {
            File &f = files_[i];
            f = File{};
            slib::Input input;
            const slib::Input::Result r = input.Read(paths[i]);
            if (r == slib::Input::kOpenFailed) {
                f.error = ERR_OPEN_FAILED;
                continue;
            }
            if (r == slib::Input::kReadFailed || input.IsDirectory()) {
                f.error = ERR_READ_FAILED;
                continue;
            }
            std::string_view all = input.Text();
            while (!all.empty()) {
                const size_t nl = all.find('\n');
                f.lines.emplace_back(all.substr(0, nl));
                all.remove_prefix(nl == std::string_view::npos ? all.size() : nl + 1);
            }
            // A line is found by the name before its first ':' (upper-cased,
            // as the readers compare it); the first such line wins.
            std::string upper;
            for (size_t k = 0; k < f.lines.size(); ++k) {
                const std::string &l = f.lines[k];
                const size_t colon = l.find(':');
                if (colon == std::string::npos || slib::IsComment(l)) continue;
                const std::string name = l.substr(0, colon);
                const int n = SLIBUnicodeUTF8StrUpper(name.c_str(), nullptr, 0);
                if (n < 0 || name.find('\0') != std::string::npos) continue;
                upper.assign(static_cast<size_t>(n) + 1, '\0');
                if (SLIBUnicodeUTF8StrUpper(name.c_str(), upper.data(), n + 1) != n) continue;
                upper.resize(static_cast<size_t>(n));
                f.first.try_emplace(upper, k);
            }
        }
        groupsByKey_.clear();
        std::string key;
        const File &g = files_[kGroup];
        for (size_t k = 0; k < g.lines.size(); ++k) {
            const std::string &l = g.lines[k];
            const std::string name = l.substr(0, l.find(':'));
            if (CaseKey(name.c_str(), key)) groupsByKey_[key].push_back(k);
        }
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return false;
    }
    loaded_ = true;
    return true;
}

int AccountSnapshot::Line(FileId file, const char *name, std::string &line, bool grow) const {
    const File &f = files_[file];
    if (f.error != 0) return Fail(f.error);
    const int n = SLIBUnicodeUTF8StrUpper(name, nullptr, 0);
    std::string upper(n < 0 ? 0 : static_cast<size_t>(n) + 1, '\0');
    if (n < 0 || SLIBUnicodeUTF8StrUpper(name, upper.data(), n + 1) != n) {
        SLIBErrSet(ERR_NOT_FOUND);
        return 0;
    }
    upper.resize(static_cast<size_t>(n));
    const auto it = f.first.find(upper);
    if (it == f.first.end()) {
        SLIBErrSet(ERR_NOT_FOUND);
        return 0;
    }
    const std::string &l = f.lines[it->second];
    if (!grow && l.size() >= kLineBuf) return Fail(ERR_BUF_TOO_SMALL);
    line = l;
    return 1;
}

struct passwd *AccountSnapshot::LocalPwNam(const char *name) const {
    try {
        return ::LocalPwNam(name, this);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

struct passwd *AccountSnapshot::LocalSpNam(const char *name) const {
    if (!name) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    return ::LocalSpNam(name, this);
}

int AccountSnapshot::LocalGrNamBuf(const char *name, struct group *buf, int size,
                                   int *needed) const {
    return GrNamBuf(name, buf, size, needed, this);
}

QAVOGROUPENTRY *AccountSnapshot::LocalGrName(const char *name) const {
    if (!name) return nullptr;
    if (files_[kGroup].error != 0) return nullptr;
    try {
        std::string key;
        if (!CaseKey(name, key)) return nullptr;
        const auto it = groupsByKey_.find(key);
        if (it == groupsByKey_.end()) return nullptr;
        for (size_t k : it->second) {
            if (QAVOGROUPENTRY *g = TakeGroupText(files_[kGroup].lines[k], name)) return g;
        }
        return nullptr;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

}  // namespace sdk
