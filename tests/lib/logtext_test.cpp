#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_eventlog.h"
#include "slib_logtext.h"

using qtest::ReadFile;
using qtest::WriteFile;

// Every flock of the library goes through here, so a test can look at a log
// file at the moment its lock is released. Unhooked it simply locks.
namespace {
std::function<void(int, int)> gOnFlock;
}  // namespace

extern "C" int flock(int fd, int operation) {
    if (gOnFlock) gOnFlock(fd, operation);
    return static_cast<int>(syscall(SYS_flock, fd, operation));
}

namespace {

const char kEvents[] =
    "[11000000]\n"
    "11000001=Info\n"
    "11000002=Warning\n"
    "11000003=Error\n"
    "11000000=Other\n"
    "[11100000]\n"
    "11100001=User @1 logged in from @2\n"
    "11100002=@1 and @1\n"
    "11100003=\n"
    "11100004=@4 @3 @2 @1\n"
    "[11200000]\n"
    "11200001=Share @1 created\n";

const char kConn[] = "/var/log/qavoconn.log";
const char kOut[] = "/tmp/export.txt";

void MakeDirs(const std::string &path) {
    ASSERT_EQ(qtest::Exec({"/bin/mkdir", "-p", path}), 0) << path;
}

void WriteTexts(const std::string &lang, const std::string &content) {
    const std::string dir = "/usr/qavo/qavosdk/texts/" + lang;
    MakeDirs(dir);
    WriteFile(dir + "/events", content);
}

// Takes the heap string of QAVOLogGetEventText; "(null)" for NULL.
std::string Take(char *s) {
    std::string r = s ? s : "(null)";
    free(s);
    return r;
}

std::string Text(uint32_t id, const char *lang, const char *a1 = nullptr, const char *a2 = nullptr,
                 const char *a3 = nullptr, const char *a4 = nullptr) {
    return Take(QAVOLogGetEventText(id, lang, a1, a2, a3, a4));
}

uint16_t U16(const std::string &s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 (static_cast<unsigned char>(s[at + 1]) << 8));
}
uint32_t U32(const std::string &s, size_t at) {
    return U16(s, at) | (static_cast<uint32_t>(U16(s, at + 2)) << 16);
}
void PutU16(std::string &s, size_t at, uint32_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}
void PutU32(std::string &s, size_t at, uint32_t v) {
    PutU16(s, at, v & 0xffff);
    PutU16(s, at + 2, v >> 16);
}

// The plain reader's export lines of a log file.
std::string PlainExport(const std::string &log) {
    std::string out;
    EXPECT_EQ(qtest::Exec({"/usr/bin/python3", qtest::SourceDir() + "/tests/support/logexport.py",
                           log, "enu"},
                          &out),
              0);
    return out;
}

size_t Lines(const std::string &s) {
    size_t n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

// Offsets of the records of a log that has not wrapped.
std::vector<uint32_t> Offsets(const std::string &log) {
    std::vector<uint32_t> at;
    for (uint32_t pos = U32(log, 8); pos < U32(log, 12); pos += U16(log, pos))
        at.push_back(pos);
    return at;
}

class LogText : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteTexts("enu", kEvents);
        mkdir("/var/log", 0755);
        unlink(QAVOLOG_CONF_PATH);
        setenv("USERNAME", "tester", 1);
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { gOnFlock = nullptr; }

    // A connection log of at most max bytes holding count events.
    static void WriteConnLog(int max, int count) {
        ASSERT_EQ(QAVOLogSetSize(max, QAVOLOG_CLASS_CONN), 0);
        for (int i = 0; i < count; ++i) {
            const std::string user = "user" + std::to_string(i) + std::string(i % 7, 'x');
            // Every fifth event has no text and is left out of the export.
            const uint32_t id = i % 5 == 4 ? 0x11100077 : (i % 2 ? 0x11100001 : 0x11200001);
            ASSERT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1 + i % 4, id, user.c_str(), "10.0.0.1",
                                        nullptr, nullptr),
                      0);
        }
    }
};

TEST_F(LogText, SectionIsReadOnceThenServedFromTheCache) {
    EXPECT_EQ(Text(0x11100001, "enu", "bob", "10.0.0.1"), "User bob logged in from 10.0.0.1");
    unlink("/usr/qavo/qavosdk/texts/enu/events");
    // The rest of the section came with the first lookup.
    EXPECT_EQ(Text(0x11100002, "enu", "x"), "x and @1");
    EXPECT_EQ(Text(0x11100004, "enu", "1", "2", "3", "4"), "4 3 2 1");
    // An empty argument, or none, leaves its placeholder.
    EXPECT_EQ(Text(0x11100001, "enu", "", "host"), "User @1 logged in from host");
    EXPECT_EQ(Text(0x11100001, "enu", nullptr, nullptr), "User @1 logged in from @2");
    // Another section was never read.
    EXPECT_EQ(Text(0x11200001, "enu", "s"), "(null)");
    EXPECT_TRUE(
        qtest::SyslogHas("section 11200000 not found in "
                         "/usr/qavo/qavosdk/texts/enu/events"));
}

TEST_F(LogText, MissingAndEmptyTextsGiveNullAndMissingKeysStayMissing) {
    EXPECT_EQ(Text(0x11100003, "enu"), "(null)");
    EXPECT_EQ(Text(0x11100009, "enu"), "(null)");
    EXPECT_TRUE(qtest::SyslogHas("event 11100009 not found in 11100000"));
    std::string events = kEvents;
    events.insert(events.find("[11200000]"), "11100009=late\n");
    WriteTexts("enu", events);
    qtest::ClearSyslog();
    EXPECT_EQ(Text(0x11100009, "enu"), "(null)");
    EXPECT_FALSE(qtest::SyslogHas("not found"));
    // An export ends the cache's life: the text is found now.
    QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu");
    EXPECT_EQ(Text(0x11100009, "enu"), "late");
}

TEST_F(LogText, OnlyPlainLanguageCodesNameATextFile) {
    // Files a crafted code would reach, each with texts of its own.
    const std::string longCode(200, 'e');
    WriteTexts(longCode, kEvents);
    MakeDirs("/usr/qavo/etc");
    WriteFile("/usr/qavo/etc/events", kEvents);
    WriteTexts("en_GB-x", "[11000000]\n11000002=Caution\n[11100000]\n11100002=plain\n");
    EXPECT_EQ(Text(0x11100002, "en_GB-x"), "plain");
    EXPECT_STREQ(QAVOLogGetLevelName(2, "en_GB-x"), "Caution");
    for (const std::string &lang : {std::string("../../etc"), longCode, std::string("en u"),
                                    std::string("enu/"), std::string("")}) {
        EXPECT_EQ(Text(0x11200001, lang.c_str(), "s"), "(null)") << lang;
        EXPECT_STREQ(QAVOLogGetLevelName(1, lang.c_str()), "Unknown") << lang;
    }
    EXPECT_EQ(Text(0x11200001, nullptr, "s"), "(null)");
}

TEST_F(LogText, LevelNames) {
    WriteTexts("long", "[11000000]\n11000001=Informational notice\n");
    struct Case {
        int level;
        const char *lang, *name;
    } cases[] = {
        {1, "enu", "Info"},    {2, "enu", "Warning"},     {3, "enu", "Error"},
        {0, "enu", "Other"},   {9, "enu", "Other"},       {1, "fra", "Unknown"},
        {3, "fra", "Unknown"}, {1, "long", "Informatio"}, {2, "long", "Unknown"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(QAVOLogGetLevelName(c.level, c.lang), c.name) << c.level << " " << c.lang;
}

TEST_F(LogText, TimeText) {
    EXPECT_STREQ(QAVOLogTimeString(0), "1970/01/01 00:00:00");
    EXPECT_STREQ(QAVOLogTimeString(1700000000), "2023/11/14 22:13:20");
}

TEST_F(LogText, RecordBodyIsDecodedWithinItsLength) {
    int n = 0;
    unsigned char *rec = QAVOLogRecordBuild(1, 0x11100001, "bob", "host", "", "", &n);
    ASSERT_NE(rec, nullptr);
    struct Case {
        int length;
        bool printed;
    } cases[] = {{n - 2, true}, {n - 3, false}, {20, false}, {1, false}, {0, false}};
    for (const Case &c : cases) {
        // An exact copy of the bytes given, so that reading past them is caught.
        std::vector<unsigned char> body(rec + 2, rec + 2 + std::max(c.length, 1));
        char *text = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&text, &size);
        EXPECT_EQ(QAVOLogRecordToText(out, body.data(), "enu", c.length), 0);
        fclose(out);
        EXPECT_EQ(size > 0, c.printed) << c.length << ": " << text;
        if (c.printed) {
            EXPECT_NE(std::string(text).find("\tUser bob logged in from host\n"),
                      std::string::npos);
        }
        free(text);
    }
    free(rec);
}

TEST_F(LogText, ExportAgreesWithAPlainReader) {
    // Not wrapped.
    WriteConnLog(65536, 12);
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, nullptr), 0);
    std::string plain = PlainExport(kConn);
    EXPECT_EQ(Lines(plain), 10u);
    EXPECT_EQ(ReadFile(kOut), plain);
    EXPECT_NE(plain.find("2\tWarning\t"), std::string::npos);
    EXPECT_NE(plain.find("\ttester\tUser user1x logged in from 10.0.0.1\n"), std::string::npos);

    // Wrapped, several times over.
    unlink(kConn);
    WriteConnLog(2048, 90);
    const std::string log = ReadFile(kConn);
    ASSERT_LT(U32(log, 12), U32(log, 8)) << "the ring should have wrapped";
    ASSERT_GT(U32(log, 12), 16u);
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu"), 0);
    plain = PlainExport(kConn);
    EXPECT_GT(Lines(plain), 10u);
    EXPECT_EQ(ReadFile(kOut), plain);
    // Oldest first: the newest event is the last line.
    EXPECT_NE(plain.rfind("Share user88xxxx created\n"), std::string::npos);
    EXPECT_EQ(plain.size(), plain.rfind("Share user88xxxx created\n") + 25);
    EXPECT_GT(plain.rfind("user88"), plain.rfind("user87"));
    EXPECT_EQ(ReadFile(kConn), log) << "a sound log is left as it was";
}

TEST_F(LogText, EachRecordExportsAsOneLineWithControlsVisible) {
    ASSERT_EQ(QAVOLogSetSize(65536, QAVOLOG_CLASS_CONN), 0);
    // File and share names reach the log as given.
    ASSERT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, 0x11100001, "a\n3\tError\tforged",
                                "b\tc\r\x1b[2J\x7f", nullptr, nullptr),
              0);
    ASSERT_EQ(
        QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, 0x11200001, "plain", nullptr, nullptr, nullptr),
        0);
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu"), 0);
    const std::string out = ReadFile(kOut);
    EXPECT_EQ(Lines(out), 2u) << out;
    EXPECT_NE(out.find("\tUser a\\n3\\tError\\tforged logged in from b\\tc\\r\\x1B[2J\\x7F\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\tShare plain created\n"), std::string::npos);
    // Six fields a line, whatever the record held.
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_EQ(std::count(out.begin() + at, out.begin() + end, '\t'), 5);
}

TEST_F(LogText, ExportOfAWrappedRingWithEndAt16AndOfAnEmptyOne) {
    WriteConnLog(65536, 6);
    std::string log = ReadFile(kConn);
    // The records run from start up to a wrap marker, nothing below it.
    log += std::string(2, '\0');
    PutU32(log, 12, 16);
    // The free stretch below start is garbage.
    log.replace(16, 40, std::string(40, '\x7f'));
    PutU32(log, 8, Offsets(ReadFile(kConn))[2]);
    ASSERT_LT(16u, U32(log, 8));
    WriteFile(kConn, log, 0600);
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu"), 0);
    const std::string plain = PlainExport(kConn);
    EXPECT_EQ(Lines(plain), 3u);
    EXPECT_EQ(ReadFile(kOut), plain);
    EXPECT_EQ(ReadFile(kConn), log);

    // Header only: nothing to export, and no failure.
    std::string empty(16, '\0');
    memcpy(empty.data(), "QAVO", 4);
    PutU32(empty, 8, 16);
    PutU32(empty, 12, 16);
    WriteFile(kConn, empty, 0600);
    WriteFile(kOut, "stale\n");
    EXPECT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu"), 0);
    EXPECT_EQ(ReadFile(kOut), "");
}

TEST_F(LogText, ManagementExportReadsItsOwnLog) {
    WriteConnLog(65536, 3);
    ASSERT_EQ(qtest::Exec({"/bin/cp", kConn, "/var/log/qavoman1.log"}), 0);
    // Management events are written into the system log, which is not exported.
    ASSERT_EQ(
        QAVOLogEventWrite(QAVOLOG_CLASS_MAN, 1, 0x11200001, "sys-only", nullptr, nullptr, nullptr),
        0);
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_MAN, kOut, "enu"), 0);
    EXPECT_EQ(ReadFile(kOut), PlainExport("/var/log/qavoman1.log"));
    EXPECT_EQ(ReadFile(kOut).find("sys-only"), std::string::npos);
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_SYS, kOut, "enu"), 0);
    EXPECT_NE(ReadFile(kOut).find("Share sys-only created"), std::string::npos);

    // A configured path wins; class 4, other classes and a missing file fail.
    WriteFile(QAVOLOG_CONF_PATH, "manlogfile\t=\t\"/var/log/other.log\"\n");
    ASSERT_EQ(qtest::Exec({"/bin/cp", kConn, "/var/log/other.log"}), 0);
    EXPECT_EQ(QAVOLogExport(QAVOLOG_CLASS_MAN, kOut, "enu"), 0);
    EXPECT_EQ(ReadFile(kOut), PlainExport(kConn));
    EXPECT_EQ(QAVOLogExport(QAVOLOG_CLASS_NONE, kOut, "enu"), -1);
    EXPECT_EQ(QAVOLogExport(8, kOut, "enu"), -1);
    EXPECT_EQ(QAVOLogExport(QAVOLOG_CLASS_COPY, kOut, "enu"), -1);
    EXPECT_TRUE(qtest::SyslogHas("Qavomark log file /var/log/qavocopy.log not exist", LOG_ERR));
}

TEST_F(LogText, InflatedStringLengthsPrintNothingAndTheWalkGoesOn) {
    WriteConnLog(65536, 4);
    std::string log = ReadFile(kConn);
    const std::vector<uint32_t> at = Offsets(log);
    ASSERT_EQ(at.size(), 4u);
    // The first record's last argument claims three bytes more than the
    // record holds; the second one's user far more.
    PutU16(log, at[0] + 22, U16(log, at[0] + 22) + 3);
    PutU16(log, at[1] + 10, 3000);
    WriteFile(kConn, log, 0600);
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu"), 0);
    const std::string out = ReadFile(kOut);
    EXPECT_EQ(out.find("user0"), std::string::npos);
    EXPECT_EQ(out.find("user1"), std::string::npos);
    EXPECT_NE(out.find("user2"), std::string::npos);
    EXPECT_NE(out.find("user3"), std::string::npos);
    EXPECT_EQ(U32(ReadFile(kConn), 12), U32(log, 12));
}

TEST_F(LogText, BadRecordLengthEndsTheWalkAndMovesTheEndUnderTheLock) {
    WriteConnLog(65536, 4);
    std::string log = ReadFile(kConn);
    const std::vector<uint32_t> at = Offsets(log);
    ASSERT_EQ(at.size(), 4u);
    PutU16(log, at[2], 5);
    WriteFile(kConn, log, 0600);

    struct stat logSt;
    ASSERT_EQ(stat(kConn, &logSt), 0);
    uint32_t endAtUnlock = 0;
    pid_t writer = -1;
    gOnFlock = [&](int fd, int op) {
        struct stat st;
        if (!(op & LOCK_UN) || fstat(fd, &st) != 0 || st.st_ino != logSt.st_ino) return;
        if (writer > 0) return;
        endAtUnlock = U32(ReadFile(kConn), 12);
        // A second process's event waits for the lock the export still holds.
        writer = fork();
        if (writer == 0) {
            gOnFlock = nullptr;
            _exit(QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, 0x11200001, "late", nullptr, nullptr,
                                    nullptr) == 0
                      ? 0
                      : 1);
        }
    };
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu"), 0);
    gOnFlock = nullptr;
    EXPECT_EQ(endAtUnlock, at[2]) << "the end pointer is moved before the lock is released";
    const std::string out = ReadFile(kOut);
    EXPECT_EQ(Lines(out), 2u);
    EXPECT_NE(out.find("user1"), std::string::npos);
    EXPECT_TRUE(qtest::SyslogHas("Log format error line3", LOG_ERR));

    ASSERT_GT(writer, 0);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The late event follows the kept records and nothing cut it off.
    const std::string healed = ReadFile(kConn);
    EXPECT_EQ(U32(healed, 12), at[2] + U16(healed, at[2]));
    ASSERT_EQ(QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu"), 0);
    EXPECT_EQ(ReadFile(kOut), PlainExport(kConn));
    EXPECT_EQ(Lines(ReadFile(kOut)), 3u);
    EXPECT_NE(ReadFile(kOut).find("Share late created"), std::string::npos);
}

}  // namespace
