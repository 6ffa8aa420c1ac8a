#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_eventlog.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

// Every fsync of the library goes through here: a test can look at a file as
// it stands at each sync. Unhooked it simply syncs.
namespace {
std::function<void(int)> gOnFsync;
}  // namespace

extern "C" int fsync(int fd) {
    if (gOnFsync) gOnFsync(fd);
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

const char kConf[] = "/etc/qavolog.conf";
const char kConn[] = "/var/log/qavoconn.log";
const char kSys[] = "/var/log/qavosys.log";

// An independent reader of the ring file: walks it from the header's start
// pointer, across the wrap marker, to the end pointer, checking every
// record's length against its parts. Prints "start end size", then one line
// per record: offset, length, level, time, id, source, user, arguments.
const char kDecoder[] = R"PY(
import struct, sys
d = open(sys.argv[1], 'rb').read()
assert d[:4] == b'QAVO', 'magic'
s, e = struct.unpack_from('<II', d, 8)
print(s, e, len(d))
segments = [(s, e)] if e >= s else [(s, None), (16, e)]
for a, b in segments:
    pos = a
    while b is None or pos < b:
        (ln,) = struct.unpack_from('<H', d, pos)
        if ln == 0:
            assert b is None, 'wrap marker inside the records at %d' % pos
            break
        ln, lvl, t, sl, ul, ev, a1, a2, a3, a4 = struct.unpack_from('<HHIHHIHHHH', d, pos)
        assert ln == 24 + sl + ul + a1 + a2 + a3 + a4, 'length at %d' % pos
        q = pos + 24
        parts = []
        for k in (sl, ul, a1, a2, a3, a4):
            parts.append(d[q:q + k].decode('latin-1'))
            q += k
        print('\x1f'.join([str(pos), str(ln), str(lvl), str(t), '%08X' % ev] + parts))
        pos += ln
    if b is not None:
        assert pos == b, 'records overrun the end pointer'
)PY";

struct Rec {
    uint32_t offset, length, level, time;
    std::string id, source, user;
    std::string arg[4];
};
struct Ring {
    uint32_t start = 0, end = 0, size = 0;
    std::vector<Rec> recs;
};

Ring Decode(const std::string &path) {
    std::string out;
    int rc = qtest::Exec({"/usr/bin/python3", "-c", kDecoder, path}, &out);
    EXPECT_EQ(rc, 0) << "decoder refused " << path;
    Ring ring;
    std::istringstream in(out);
    std::string line;
    if (!std::getline(in, line)) return ring;
    std::istringstream(line) >> ring.start >> ring.end >> ring.size;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        size_t at = 0;
        for (;;) {
            size_t sep = line.find('\x1f', at);
            f.push_back(line.substr(at, sep == std::string::npos ? sep : sep - at));
            if (sep == std::string::npos) break;
            at = sep + 1;
        }
        if (f.size() != 11) {
            ADD_FAILURE() << "decoder line: " << line;
            continue;
        }
        Rec r{static_cast<uint32_t>(std::stoul(f[0])),
              static_cast<uint32_t>(std::stoul(f[1])),
              static_cast<uint32_t>(std::stoul(f[2])),
              static_cast<uint32_t>(std::stoul(f[3])),
              f[4],
              f[5],
              f[6],
              {f[7], f[8], f[9], f[10]}};
        ring.recs.push_back(r);
    }
    return ring;
}

// The configuration with the connection log's size as given.
void WriteConf(const std::string &connSize) {
    WriteFile(kConf,
              "syslogfile\t=\t\"/var/log/qavosys.log\"\n"
              "syslogfilesize_MAX\t=\t\"65536\"\n"
              "manlogfile\t=\t\"/var/log/qavoman1.log\"\n"
              "manlogfilesize_MAX\t=\t\"65536\"\n"
              "connlogfile\t=\t\"/var/log/qavoconn.log\"\n"
              "connlogfilesize_MAX\t=\t\"" +
                  connSize +
                  "\"\n"
                  "bkplogfile\t=\t\"/var/log/qavobackup.log\"\n"
                  "bkplogfilesize_MAX\t=\t\"65536\"\n"
                  "copylogfile\t=\t\"/var/log/qavocopy.log\"\n"
                  "copylogfilesize_MAX\t=\t\"65536\"\n"
                  "netbkplogfile\t=\t\"/var/log/qavonetbkp.log\"\n"
                  "netbkplogfilesize_MAX\t=\t\"65536\"\n");
}

// Bytes of a record with the given first argument and no others.
uint32_t RecordSize(size_t argLength) {
    return 24 + static_cast<uint32_t>(strlen(program_invocation_short_name)) +
           static_cast<uint32_t>(strlen("tester")) + static_cast<uint32_t>(argLength);
}

// Writes a connection event whose record is exactly n bytes.
int WriteSized(uint32_t id, uint32_t n, char fill = 'a') {
    std::string arg(n - RecordSize(0), fill);
    return QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, id, arg.c_str(), nullptr, nullptr, nullptr);
}

std::string Id(uint32_t id) {
    char b[16];
    snprintf(b, sizeof b, "%08X", id);
    return b;
}

void PutU32(std::string &s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

class EventLog : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir("/var/log", 0755);
        unlink(kConf);
        unlink(kConn);
        unlink(kSys);
        setenv("USERNAME", "tester", 1);
    }
};

TEST_F(EventLog, FirstWriteCreatesTheConfigurationAndManagementEventsGoToTheSystemLog) {
    const uint32_t before = static_cast<uint32_t>(time(nullptr));
    ASSERT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_MAN, 2, 0x11800005, nullptr, "", "share1", "a b"), 0);
    const uint32_t after = static_cast<uint32_t>(time(nullptr));
    EXPECT_EQ(ReadFile(kConf),
              "syslogfile\t=\t\"/var/log/qavosys.log\"\n"
              "syslogfilesize_MAX\t=\t\"65536\"\n"
              "manlogfile\t=\t\"/var/log/qavoman1.log\"\n"
              "manlogfilesize_MAX\t=\t\"65536\"\n"
              "connlogfile\t=\t\"/var/log/qavoconn.log\"\n"
              "connlogfilesize_MAX\t=\t\"65536\"\n"
              "bkplogfile\t=\t\"/var/log/qavobackup.log\"\n"
              "bkplogfilesize_MAX\t=\t\"65536\"\n"
              "copylogfile\t=\t\"/var/log/qavocopy.log\"\n"
              "copylogfilesize_MAX\t=\t\"65536\"\n"
              "netbkplogfile\t=\t\"/var/log/qavonetbkp.log\"\n"
              "netbkplogfilesize_MAX\t=\t\"65536\"\n");
    EXPECT_FALSE(FileExists("/var/log/qavoman1.log"));
    Ring ring = Decode(kSys);
    ASSERT_EQ(ring.recs.size(), 1u);
    const Rec &r = ring.recs[0];
    EXPECT_EQ(ring.start, 16u);
    EXPECT_EQ(ring.end, 16u + r.length);
    EXPECT_EQ(r.offset, 16u);
    EXPECT_EQ(r.level, 2u);
    EXPECT_EQ(r.id, "11800005");
    EXPECT_GE(r.time, before);
    EXPECT_LE(r.time, after);
    EXPECT_EQ(r.source, program_invocation_short_name);
    EXPECT_EQ(r.user, "tester");
    EXPECT_EQ(r.arg[0], "");   // NULL
    EXPECT_EQ(r.arg[1], " ");  // empty
    EXPECT_EQ(r.arg[2], "share1");
    EXPECT_EQ(r.arg[3], "a b");
    struct stat st;
    ASSERT_EQ(stat(kSys, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // The bytes themselves, little-endian, for the record's fixed part.
    std::string bytes = ReadFile(kSys);
    EXPECT_EQ(bytes.substr(0, 4), "QAVO");
    EXPECT_EQ(bytes.substr(16 + 12, 4), std::string("\x05\x00\x80\x11", 4));
    EXPECT_EQ(bytes.substr(16 + 2, 2), std::string("\x02\x00", 2));
}

TEST_F(EventLog, RingKeepsTheNewestRecordsAcrossWraps) {
    WriteConf("4096");
    std::vector<std::string> written;
    bool sawWrap = false;
    for (uint32_t i = 0; i < 240; ++i) {
        std::string arg(7 + (i * 37) % 180, static_cast<char>('a' + i % 26));
        ASSERT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, i, arg.c_str(), "x", nullptr, nullptr),
                  0)
            << i;
        written.push_back(arg);
        if (i % 12 != 11) continue;
        Ring ring = Decode(kConn);
        ASSERT_FALSE(ring.recs.empty());
        sawWrap = sawWrap || ring.end < ring.start;
        EXPECT_LE(ring.size, 4096u);
        // The records are the newest ones, oldest first, none missing.
        const size_t first = written.size() - ring.recs.size();
        uint64_t kept = 0;
        for (size_t k = 0; k < ring.recs.size(); ++k) {
            EXPECT_EQ(ring.recs[k].id, Id(static_cast<uint32_t>(first + k))) << i;
            EXPECT_EQ(ring.recs[k].arg[0], written[first + k]);
            EXPECT_EQ(ring.recs[k].arg[1], "x");
            kept += ring.recs[k].length;
        }
        if (i > 60) {
            EXPECT_GT(kept, 2048u) << "ring drops more than it needs to";
        }
    }
    EXPECT_TRUE(sawWrap);
}

TEST_F(EventLog, RecordOfExactlyTheGapDropsOneMoreRecord) {
    WriteConf("1024");
    // Records of 100 bytes: ten fill 16..1016, the eleventh wraps (dropping
    // two, since it must be strictly smaller than what was freed), and the
    // twelfth meets a gap of exactly 100 bytes.
    for (uint32_t i = 1; i <= 11; ++i)
        ASSERT_EQ(WriteSized(i, 100), 0) << i;
    Ring ring = Decode(kConn);
    EXPECT_EQ(ring.start, 216u);
    EXPECT_EQ(ring.end, 116u);
    EXPECT_EQ(ring.size, 1018u);  // the wrap marker at 1016
    ASSERT_EQ(WriteSized(12, 100), 0);
    ring = Decode(kConn);
    EXPECT_EQ(ring.start, 316u);
    EXPECT_EQ(ring.end, 216u);
    ASSERT_EQ(ring.recs.size(), 9u);
    for (uint32_t k = 0; k < 9; ++k)
        EXPECT_EQ(ring.recs[k].id, Id(4 + k));
    EXPECT_EQ(ring.recs[7].offset, 16u);
    EXPECT_EQ(ring.recs[8].offset, 116u);
    // A gap one byte larger takes the record without dropping.
    ASSERT_EQ(WriteSized(13, 99), 0);
    ring = Decode(kConn);
    EXPECT_EQ(ring.start, 316u);
    EXPECT_EQ(ring.end, 315u);
}

// What a crash can leave: each move of the start pointer is synced before
// anything else is written, and the end pointer is written only after the
// record's bytes are synced, so every synced state names whole records.
TEST_F(EventLog, StartIsSyncedAtEachMoveAndEndWrittenOnlyAfterTheRecord) {
    WriteConf("1024");
    for (uint32_t i = 1; i <= 10; ++i)
        ASSERT_EQ(WriteSized(i, 100), 0) << i;  // 16..1016, the next one wraps
    struct Synced {
        uint32_t start, end;
        bool marker;  // the wrap marker at 1016
        std::string idAt16;
    };
    std::vector<Synced> synced;
    gOnFsync = [&](int fd) {
        char link[64] = {};
        if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1) <= 0 ||
            std::string(link) != kConn)
            return;
        unsigned char b[1018] = {};
        if (pread(fd, b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) {
            ADD_FAILURE() << "short log at a sync";
            return;
        }
        auto u32 = [&](size_t at) {
            return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
                   (static_cast<uint32_t>(b[at + 3]) << 24);
        };
        synced.push_back({u32(8), u32(12), b[1016] == 0 && b[1017] == 0, Id(u32(16 + 12))});
    };
    ASSERT_EQ(WriteSized(11, 100), 0);
    gOnFsync = nullptr;
    // Two records dropped, one sync each; then the sync before the end pointer,
    // with the new record already in place and the old end still in force.
    ASSERT_EQ(synced.size(), 3u);
    EXPECT_EQ(synced[0].start, 116u);
    EXPECT_EQ(synced[1].start, 216u);
    EXPECT_EQ(synced[2].start, 216u);
    for (const Synced &s : synced) {
        EXPECT_EQ(s.end, 1016u);
        EXPECT_TRUE(s.marker);
    }
    EXPECT_EQ(synced[0].idAt16, Id(1));
    EXPECT_EQ(synced[2].idAt16, Id(11));
    Ring ring = Decode(kConn);
    EXPECT_EQ(ring.start, 216u);
    EXPECT_EQ(ring.end, 116u);
}

TEST_F(EventLog, RecordLongerThanTheLogIsRefusedAndTheLogKept) {
    WriteConf("1024");
    for (uint32_t i = 1; i <= 5; ++i)
        ASSERT_EQ(WriteSized(i, 150), 0);
    const std::string before = ReadFile(kConn);
    // max - 18 is the largest record a ring of max bytes holds.
    EXPECT_EQ(WriteSized(6, 1024 - 17), -1);
    EXPECT_EQ(ReadFile(kConn), before);
    std::string huge(70000, 'h');
    EXPECT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, 7, huge.c_str(), nullptr, nullptr, nullptr),
              -1);
    EXPECT_EQ(ReadFile(kConn), before);
    // The largest record fits: everything else goes.
    ASSERT_EQ(WriteSized(8, 1024 - 18), 0);
    Ring ring = Decode(kConn);
    ASSERT_EQ(ring.recs.size(), 1u);
    EXPECT_EQ(ring.recs[0].id, Id(8));
    EXPECT_EQ(ring.recs[0].offset, 16u);
    EXPECT_LE(ring.size, 1024u);
    // And the ring goes on after it.
    ASSERT_EQ(WriteSized(9, 300), 0);
    ring = Decode(kConn);
    ASSERT_EQ(ring.recs.size(), 1u);
    EXPECT_EQ(ring.recs[0].id, Id(9));
}

TEST_F(EventLog, DamagedHeadersAreTakenOverAndEmptyRingsStartAgainAt16) {
    struct Case {
        const char *what;
        const char *magic;
        uint32_t start, end;
    } cases[] = {
        {"empty ring far from the start", "QAVO", 900, 900},
        {"pointers past the file", "QAVO", 5000, 16},
        {"pointers inside the header", "QAVO", 8, 4},
        {"no magic", "JUNK", 300, 200},
    };
    WriteConf("1024");
    for (const Case &c : cases) {
        std::string file(1018, '\x5a');
        memcpy(&file[0], c.magic, 4);
        PutU32(file, 8, c.start);
        PutU32(file, 12, c.end);
        WriteFile(kConn, file);
        ASSERT_EQ(WriteSized(1, 200), 0) << c.what;
        Ring ring = Decode(kConn);
        EXPECT_EQ(ring.start, 16u) << c.what;
        EXPECT_EQ(ring.end, 216u) << c.what;
        ASSERT_EQ(ring.recs.size(), 1u) << c.what;
        EXPECT_EQ(ring.recs[0].offset, 16u) << c.what;
    }
}

TEST_F(EventLog, ARingThatCannotBeWalkedStartsOverAndWritingResumesAtOnce) {
    // Rings whose record lengths name no record: tiny lengths (0 reads as a
    // wrap marker, the others are shorter than a record's fixed part), too
    // long a length, and files of random bytes with random pointers.
    struct Case {
        std::string what;
        std::string file;
    };
    std::vector<Case> cases;
    WriteConf("1024");
    for (uint16_t length : {0, 1, 5, 23, 60000}) {
        unlink(kConn);
        for (uint32_t i = 1; i <= 9; ++i)
            ASSERT_EQ(WriteSized(i, 100), 0);
        std::string file = ReadFile(kConn);
        for (size_t at = 16; at + 100 <= file.size(); at += 100) {
            file[at] = static_cast<char>(length & 0xff);
            file[at + 1] = static_cast<char>(length >> 8);
        }
        cases.push_back({"every length " + std::to_string(length), file});
    }
    std::mt19937 rng(19);
    for (int i = 0; i < 12; ++i) {
        std::string file(24 + rng() % 1000, '\0');
        for (char &c : file)
            c = static_cast<char>(rng());
        memcpy(&file[0], "QAVO", 4);
        PutU32(file, 8, 16 + static_cast<uint32_t>(rng() % (file.size() - 15)));
        PutU32(file, 12, 16 + static_cast<uint32_t>(rng() % (file.size() - 15)));
        cases.push_back({"random ring " + std::to_string(i), file});
    }
    for (const Case &c : cases) {
        WriteFile(kConn, c.file);
        qtest::ClearSyslog();
        // Every write succeeds at once, and three turns of the ring later it
        // holds only new records.
        for (uint32_t id = 100; id < 130; ++id)
            ASSERT_EQ(WriteSized(id, 100 + id % 7 * 10), 0) << c.what << " write " << id;
        Ring ring = Decode(kConn);
        ASSERT_FALSE(ring.recs.empty()) << c.what;
        EXPECT_EQ(ring.recs.back().id, Id(129)) << c.what;
        for (size_t k = 0; k < ring.recs.size(); ++k)
            EXPECT_EQ(ring.recs[k].id, Id(129 - static_cast<uint32_t>(ring.recs.size() - 1 - k)))
                << c.what;
        EXPECT_LE(ring.size, 1024u) << c.what;
    }
    // The tiny lengths: the first write starts the ring over with one line.
    WriteFile(kConn, cases[2].file);
    qtest::ClearSyslog();
    ASSERT_EQ(WriteSized(200, 150), 0);
    Ring ring = Decode(kConn);
    EXPECT_EQ(ring.start, 16u);
    EXPECT_EQ(ring.end, 166u);
    ASSERT_EQ(ring.recs.size(), 1u);
    EXPECT_EQ(ring.recs[0].id, Id(200));
    int lines = 0;
    for (const auto &m : qtest::Syslog())
        lines += m.message.find("starting it over") != std::string::npos;
    EXPECT_EQ(lines, 1);
}

TEST_F(EventLog, UserIsUsernameOrThePasswdNameAndRootReadsAdmin) {
    const std::string uid = std::to_string(geteuid());
    struct Case {
        const char *username;  // null: unset
        std::string passwd;
        std::string user;
    } cases[] = {
        {"alice", "", "alice"},
        {"root", "", "admin"},
        {"", "", ""},
        {nullptr, "root:x:" + uid + ":0::/root:/bin/sh\n", "admin"},
        {nullptr, "daemon:x:1:1::/:/bin/sh\nboss:x:" + uid + ":0::/:/bin/sh\n", "boss"},
        {nullptr, "daemon:x:1:1::/:/bin/sh\n", ""},
        // The uid is the whole third field, whatever the password field holds.
        {nullptr, "eve:ab" + uid + ":77:0::/:/bin/sh\nnobody::" + uid + ":0::/:\n", "nobody"},
        {nullptr, "x:x:1" + uid + ":0::/:\n", ""},
    };
    for (const Case &c : cases) {
        if (c.username)
            setenv("USERNAME", c.username, 1);
        else
            unsetenv("USERNAME");
        if (!c.passwd.empty()) WriteFile("/etc/passwd", c.passwd);
        unlink(kSys);
        ASSERT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_SYS, 1, 1, "a", nullptr, nullptr, nullptr), 0);
        Ring ring = Decode(kSys);
        ASSERT_EQ(ring.recs.size(), 1u);
        EXPECT_EQ(ring.recs[0].user, c.user)
            << (c.username ? c.username : "unset") << " " << c.passwd;
    }
    setenv("USERNAME", std::string(300, 'u').c_str(), 1);
    EXPECT_EQ(std::string(QAVOLogGetUser()), std::string(255, 'u'));
}

TEST_F(EventLog, SizeSettingsThatAreNoSizeLeaveTheLogAlone) {
    for (const char *bad : {"0", "abc", "-5", "12", "", "1000", "99999999999"}) {
        unlink(kConn);
        WriteConf("65536");
        for (uint32_t i = 0; i < 30; ++i)
            ASSERT_EQ(WriteSized(i, 100), 0);
        WriteConf(bad);
        ASSERT_EQ(WriteSized(30, 100), 0) << bad;
        Ring ring = Decode(kConn);
        EXPECT_EQ(ring.recs.size(), 31u) << bad;
        EXPECT_EQ(ring.start, 16u) << bad;
    }
    // A valid smaller size shrinks the default file to it.
    WriteConf("2048");
    ASSERT_EQ(WriteSized(31, 100), 0);
    Ring ring = Decode(kConn);
    EXPECT_LE(ring.size, 2048u);
    EXPECT_EQ(ring.recs.back().id, Id(31));
}

TEST_F(EventLog, SetSizeStoresTheSettingAndShrinksAWrappedLog) {
    const char kNetbkp[] = "/var/log/qavonetbkp.log";
    unlink(kNetbkp);
    ASSERT_EQ(QAVOLogSetSize(4096, QAVOLOG_CLASS_NETBKP), 0);
    EXPECT_NE(ReadFile(kConf).find("netbkplogfilesize_MAX\t=\t\"4096\"\n"), std::string::npos);
    EXPECT_NE(ReadFile(kConf).find("connlogfilesize_MAX\t=\t\"65536\"\n"), std::string::npos);
    // Write until the ring has wrapped and stands wrapped.
    uint32_t next = 0;
    for (; next < 400; ++next) {
        std::string arg(20 + (next * 13) % 90, 'n');
        ASSERT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 1, next, arg.c_str(), nullptr, nullptr,
                                    nullptr),
                  0);
        std::string h = ReadFile(kNetbkp).substr(8, 8);
        uint32_t s = 0, e = 0;
        for (int i = 3; i >= 0; --i) {
            s = (s << 8) | static_cast<unsigned char>(h[i]);
            e = (e << 8) | static_cast<unsigned char>(h[4 + i]);
        }
        if (next > 60 && e < s) break;
    }
    Ring before = Decode(kNetbkp);
    ASSERT_LT(before.end, before.start) << "set-up should leave the ring wrapped";

    ASSERT_EQ(QAVOLogSetSize(1500, QAVOLOG_CLASS_NETBKP), 0);
    EXPECT_NE(ReadFile(kConf).find("netbkplogfilesize_MAX\t=\t\"1500\"\n"), std::string::npos);
    Ring after = Decode(kNetbkp);
    EXPECT_LE(after.size, 1500u);
    EXPECT_EQ(after.start, 16u);
    ASSERT_FALSE(after.recs.empty());
    // The newest records, in order, back to back from 16.
    const size_t skip = before.recs.size() - after.recs.size();
    uint32_t at = 16;
    for (size_t k = 0; k < after.recs.size(); ++k) {
        EXPECT_EQ(after.recs[k].id, before.recs[skip + k].id);
        EXPECT_EQ(after.recs[k].arg[0], before.recs[skip + k].arg[0]);
        EXPECT_EQ(after.recs[k].offset, at);
        at += after.recs[k].length;
    }
    EXPECT_EQ(after.end, at);
    struct stat st;
    ASSERT_EQ(stat(kNetbkp, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // And it goes on being a ring of the new size.
    for (uint32_t i = 1; i <= 30; ++i)
        ASSERT_EQ(
            QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 1, next + i, "more", nullptr, nullptr, nullptr),
            0);
    Ring later = Decode(kNetbkp);
    EXPECT_LE(later.size, 1500u);
    EXPECT_EQ(later.recs.back().id, Id(next + 30));

    // Refused: sizes that are none, and classes without a log.
    const std::string conf = ReadFile(kConf);
    EXPECT_EQ(QAVOLogSetSize(0, QAVOLOG_CLASS_NETBKP), -1);
    EXPECT_EQ(QAVOLogSetSize(-4096, QAVOLOG_CLASS_NETBKP), -1);
    EXPECT_EQ(QAVOLogSetSize(4096, QAVOLOG_CLASS_NONE), -1);
    EXPECT_EQ(QAVOLogSetSize(4096, 9), -1);
    EXPECT_EQ(ReadFile(kConf), conf);
}

// The shrink's temporary name (the log's path, the process id, a counter) is
// predictable: what stands there is replaced, never written through.
TEST_F(EventLog, ShrinkNeverWritesThroughWhatStandsAtItsTemporaryName) {
    WriteConf("65536");
    for (uint32_t i = 0; i < 30; ++i)
        ASSERT_EQ(WriteSized(i, 100), 0);
    WriteFile("/var/log/victim", "keep");
    const std::string base = std::string(kConn) + std::to_string(getpid()) + "-";
    for (int k = 0; k < 64; ++k) {
        const std::string name = base + std::to_string(k);
        ASSERT_EQ(k % 2 ? symlink("/var/log/victim", name.c_str())
                        : link("/var/log/victim", name.c_str()),
                  0);
    }
    ASSERT_EQ(QAVOLogChangeSize(2048, QAVOLOG_CLASS_CONN), 0);
    EXPECT_EQ(ReadFile("/var/log/victim"), "keep");
    Ring ring = Decode(kConn);
    EXPECT_LE(ring.size, 2048u);
    EXPECT_EQ(ring.recs.back().id, Id(29));
}

TEST_F(EventLog, ClassesAndMissingFiles) {
    qtest::ClearSyslog();
    EXPECT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_NONE, 1, 1, "a", nullptr, nullptr, nullptr), -1);
    EXPECT_FALSE(qtest::SyslogHas("logclass error!"));
    for (int bad : {0, 8, -1}) {
        qtest::ClearSyslog();
        EXPECT_EQ(QAVOLogEventWrite(bad, 1, 1, "a", nullptr, nullptr, nullptr), -1);
        EXPECT_TRUE(qtest::SyslogHas("logclass error!", LOG_ERR)) << bad;
    }
    EXPECT_FALSE(FileExists(kConf));
    EXPECT_EQ(QAVOLogChangeSize(2048, QAVOLOG_CLASS_CONN), 0);
    EXPECT_TRUE(
        qtest::SyslogHas("QAVOLogChangeSize : logfile /var/log/qavoconn.log not existed", LOG_ERR));
    EXPECT_EQ(QAVOLogChangeSize(2048, QAVOLOG_CLASS_NONE), 0);
    // A configured path too long for the reader falls back to the default.
    WriteConf("65536");
    std::string conf = ReadFile(kConf);
    const std::string path = "\"/var/log/qavoconn.log\"";
    conf.replace(conf.find(path), path.size(), "\"/var/log/a-name-well-past-31-bytes.log\"");
    WriteFile(kConf, conf);
    ASSERT_EQ(QAVOLogEventWrite(QAVOLOG_CLASS_CONN, 1, 1, "a", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Decode(kConn).recs.size(), 1u);
    EXPECT_TRUE(qtest::SyslogHas("QAVO : log file /etc/qavolog.conf opened", LOG_INFO));
}

TEST_F(EventLog, WriterWaitsForTheLockAndFollowsAFileRenamedOverTheLog) {
    WriteConf("65536");
    ASSERT_EQ(WriteSized(1, 100), 0);
    int held = open(kConn, O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    pid_t child = fork();
    if (child == 0) _exit(WriteSized(2, 100) == 0 ? 0 : 1);
    usleep(300 * 1000);
    // A shrink's way of replacing the log while it holds the old one's lock.
    const std::string copy = ReadFile(kConn);
    WriteFile("/var/log/qavoconn.log.new", copy);
    ASSERT_EQ(rename("/var/log/qavoconn.log.new", kConn), 0);
    usleep(200 * 1000);
    flock(held, LOCK_UN);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    Ring ring = Decode(kConn);
    ASSERT_EQ(ring.recs.size(), 2u);
    EXPECT_EQ(ring.recs[1].id, Id(2));
    close(held);
}

TEST(EventLogIo, WriteAndReadByteAndWasting) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(QAVOLogWriteByte(p[1], "abcd", 4), 4);
    close(p[1]);
    char buf[8];
    EXPECT_EQ(QAVOLogReadByte(p[0], buf, 8), -1);  // only 4 there
    close(p[0]);
    qtest::ClearSyslog();
    EXPECT_EQ(QAVOLogWriteByte(-1, "abcd", 4), -1);
    EXPECT_TRUE(
        qtest::SyslogHas("QAVOLogWriteByte(): write() error!, input count is [4]", LOG_ERR));
    ASSERT_EQ(chdir("/tmp"), 0);
    unlink("/tmp/wasting");
    EXPECT_EQ(QAVOLogAppendWasting(42), 0);
    EXPECT_EQ(QAVOLogAppendWasting(-7), 0);
    EXPECT_EQ(ReadFile("/tmp/wasting"), "42\n-7\n");
}

}  // namespace
