// One-off repairs of the update: the built-in flash directory written with
// read-back and restore, the FTP passive port range, the rsync daemon's files
// and the photo-database commands.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavosim.h"
#include "slib_errcode.h"
#include "updt_analyze.h"
#include "updt_fixup.h"
#include "updt_patchinfo.h"

using namespace qtest;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPomletBase = 0xFFE00000;

// The directory the recovery writes: six entries, then erased flash.
Bytes FixedDirectory(size_t partSize) {
    struct E {
        const char *name;
        uint32_t base, size, len;
    };
    const E es[] = {{"RedBoot", 0xFFF00000, 0x40000, 0x3A448},
                    {"zImage", 0xFFE00000, 0xD0000, 0xC5EDA},
                    {"rd.gz", 0xFFF40000, 0xB0000, 0xAEE2C},
                    {"vendor", 0xFFED0000, 0x10000, 0x10000},
                    {"RedBoot Config", 0xFFEE0000, 0x10000, 0x10000},
                    {"FIS Directory", 0xFFFF0000, 0x10000, 0x600}};
    Bytes b(partSize, 0xFF);
    std::fill(b.begin(), b.begin() + 1536, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    for (size_t i = 0; i < 6; ++i) {
        size_t e = i * 256;
        std::copy(es[i].name, es[i].name + strlen(es[i].name), b.begin() + e);
        put(e + 16, es[i].base);
        put(e + 20, es[i].base);
        put(e + 24, es[i].size);
        put(e + 32, es[i].len);
    }
    return b;
}

Bytes Part(const Bytes &chip, uint32_t start, uint64_t size) {
    auto at = chip.begin() + (start - kPomletBase);
    return Bytes(at, at + static_cast<long>(size));
}

}  // namespace

// Each row: faults on the directory device, the result, and whether the
// partition then holds the built-in directory or still its old bytes.
TEST(FixUp, DirectoryRecovery) {
    struct Case {
        const char *what;
        std::vector<const char *> faults;
        int result;
        SLIBERRCODE code;
        bool rewritten;
        bool erased;  // the partition was erased at some point
    };
    const Case cases[] = {
        {"clean", {}, 0, 0, true, true},
        {"one failed write is retried", {"fault write mtd5 1 once"}, 0, 0, true, true},
        {"one failed erase is retried", {"fault erase mtd5 1 once"}, 0, 0, true, true},
        {"three failed writes restore the old directory",
         {"fault write mtd5 1 once", "fault write mtd5 2 once", "fault write mtd5 3 once"},
         -1,
         ERR_WRITE_FAILED,
         false,
         true},
        {"unlock refused: nothing erased", {"fault unlock mtd5 1 once"}, -1, 0, false, false},
        {"unreadable: nothing erased",
         {"fault read mtd5 1 once"},
         -1,
         ERR_READ_FAILED,
         false,
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qsim::Appliance hw("edition pomlet\nstrict on\nlock all\n");
        UPDTSelectEdition(1);
        uint32_t start;
        uint64_t size, locked;
        ASSERT_TRUE(qsim::Window("mtd5", &start, &size, &locked));
        const Bytes before = hw.Chip();
        for (const char *f : c.faults)
            ASSERT_TRUE(hw.Fault(f));
        hw.ClearJournal();
        SLIBErrSet(static_cast<SLIBERRCODE>(0));
        EXPECT_EQ(RecoverFISDirTable_M4T7Plus_V284(), c.result);
        if (c.code) {
            EXPECT_EQ(SLIBErrGet(), c.code);
        }
        const Bytes after = hw.Chip();
        Bytes want = before;
        if (c.rewritten) {
            Bytes dir = FixedDirectory(size);
            std::copy(dir.begin(), dir.end(), want.begin() + (start - kPomletBase));
        }
        EXPECT_TRUE(after == want) << "partition differs";
        EXPECT_TRUE(Part(after, start, size) == Part(want, start, size));
        bool erased = false;
        for (auto &j : hw.Journal())
            erased |= j.dev == "mtd5" && j.kind == "erase" && j.result == 0;
        EXPECT_EQ(erased, c.erased);
        // Locked again whatever happened.
        ASSERT_TRUE(qsim::Window("mtd5", &start, &size, &locked));
        EXPECT_EQ(locked, size / 0x10000);
    }
}

TEST(FixUp, FtpPortRange) {
    struct Case {
        const char *low, *high;  // nullptr: key absent
        const char *want;        // "ftphighport" afterwards
    };
    const Case cases[] = {
        {"55536", "56559", "56559"},  // 1024 ports: unchanged
        {"55536", "56560", "56559"},  // one port too many
        {"1", "65535", "1024"},
        {nullptr, "2000", "2000"},  // no lower bound: the range is left alone
        {"2000", nullptr, nullptr},
        {"abc", "9000", "9000"},
        {"5000", "1000", "1000"},  // inverted
        {"0", "5000", "5000"},
        {"1000", "70000", "70000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.low ? c.low : "-") + ".." + (c.high ? c.high : "-"));
        std::string conf = "MTUValue=\"1500\"\n";
        if (c.low) conf += std::string("ftplowport=\"") + c.low + "\"\n";
        if (c.high) conf += std::string("ftphighport=\"") + c.high + "\"\n";
        WriteFile("/etc/qavoinfo.conf", conf);
        EXPECT_EQ(UpdateFTPPassivePortRange(), 0);
        std::string want = "MTUValue=\"1500\"\n";
        if (c.low) want += std::string("ftplowport=\"") + c.low + "\"\n";
        if (c.want) want += std::string("ftphighport=\"") + c.want + "\"\n";
        EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"), want);
    }
    RemoveFile("/etc/qavoinfo.conf");
    EXPECT_EQ(UpdateFTPPassivePortRange(), -1);
    EXPECT_TRUE(SyslogHas("SLIBFileGetKeyValue(SZF_QAVO_INFO, SZK_FTP_LOW_PORT) fail"));
}

TEST(FixUp, RsyncdFiles) {
    const std::string conf = "uid = root\nlock file = /var/run/rsyncd.lock\nlog file = x\n";
    WriteFile("/etc/rsyncd.conf", conf, 0600);
    WriteFile("/etc/rsyncd.secrets", "admin:x\n", 0666);
    UpdateRsyncdConf();
    EXPECT_EQ(ReadFile("/etc/rsyncd.conf"),
              "uid = root\nlock file = /var/run/rsyncd.lock\nuse chroot = no\nlog file = x\n");
    struct stat st;
    ASSERT_EQ(stat("/etc/rsyncd.conf", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat("/etc/rsyncd.secrets", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 25u);

    // Already there: the text stays, the mode is still set.
    const std::string done = "use chroot = no\nlock file = /x\n";
    WriteFile("/etc/rsyncd.conf", done, 0600);
    UpdateRsyncdConf();
    EXPECT_EQ(ReadFile("/etc/rsyncd.conf"), done);
    ASSERT_EQ(stat("/etc/rsyncd.conf", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(FixUp, PhotoDatabaseCommands) {
    const std::string psql = "/usr/qavo/pgsql/bin/psql photo -c '";
    struct Case {
        int fix, drop;
        std::vector<std::string> sql;  // the psql texts in order, "dropdb" for the drop
    };
    const Case cases[] = {
        {0x2,
         0,
         {"CREATE TABLE video_comment(id serial NOT NULL,path text NOT NULL,name varchar(100),"
          "email varchar(128),\"comment\" text,date timestamp,updated char(1),CONSTRAINT "
          "video_comment_pkey PRIMARY KEY (id)) WITH OIDS;ALTER TABLE video_comment OWNER TO "
          "admin;",
          "CREATE TABLE video_desc(id serial NOT NULL,path text NOT NULL, title text, description "
          "text,updated char(1),CONSTRAINT video_pkey PRIMARY KEY (id),CONSTRAINT video_path_key "
          "UNIQUE (path)) WITH OIDS;ALTER TABLE video_desc OWNER TO admin;"}},
        {0x1,
         1,
         {"ALTER TABLE photo_image ALTER timetaken TYPE varchar(64)",
          "ALTER TABLE photo_user ADD COLUMN admin bool DEFAULT false", "dropdb"}},
        {0, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fix);
        nPhotoDBFix = c.fix;
        blDropMediaServerDB = c.drop;
        ClearCalls();
        ClearSyslog();
        EXPECT_EQ(UpdatePhotoDatabase(), 0);
        std::vector<std::vector<std::string>> want;
        for (const std::string &s : c.sql) {
            // The shell hands su the text between the outer double quotes,
            // where the quotes around "comment" end and start them again.
            std::string arg =
                s == "dropdb" ? "/usr/qavo/pgsql/bin/dropdb mediaserver" : psql + s + "'";
            for (size_t p; (p = arg.find('"')) != std::string::npos;)
                arg.erase(p, 1);
            want.push_back({"/usr/sbin/su", "-l", "admin", "-c", arg});
        }
        want.push_back({"/usr/qavo/bin/qavoindex", "-R", "all"});
        EXPECT_EQ(Calls(), want);
        EXPECT_EQ(SyslogHas("Update photo db to add video tables"), (c.fix & 0x2) != 0);
    }
    nPhotoDBFix = 0;
    blDropMediaServerDB = 0;
}
