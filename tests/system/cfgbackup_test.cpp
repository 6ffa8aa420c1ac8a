// The configuration backup file: its container (header, section table,
// items, framing), damaged files, and the system and network sections
// carried from one appliance state to another.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "cfgbackup_support.h"
#include "cfgbackup.h"
#include "qavo_mail.h"
#include "qavo_net.h"
#include "qavo_time.h"
#include "slib_keyvalue.h"

namespace {

using cfgtest::Bytes;
using cfgtest::HasEvent;
using cfgtest::kFile;

std::string Key(const char *key, const char *path = SLIB_QAVOINFO_PATH) {
    char v[1024] = "";
    SLIBFileGetKeyValue(path, key, v, sizeof v, 0);
    return v;
}

void SetKey(const char *key, const char *value, const char *path = SLIB_QAVOINFO_PATH) {
    ASSERT_GE(SLIBFileSetOrAddKeyValue(path, key, value, SLIB_KEYVALUE_FMT_QUOTED), 0) << key;
}

std::string Hostname() {
    char name[64] = "";
    QAVOLnxGetHostname(name);
    return name;
}

// A call that must give 0; when it does not, what it logged is shown.
#define ExpectDone(call)                          \
    do {                                          \
        qtest::ClearSyslog();                     \
        if ((call) != 0)                          \
            for (const auto &m : qtest::Syslog()) \
                ADD_FAILURE() << m.message;       \
    } while (0)

// The stop and start calls of the cron daemon, which the network-service
// switch always stops and starts.
std::vector<std::string> CronCalls() {
    std::vector<std::string> out;
    for (const std::string &c : svctest::ServiceCalls())
        if (c.rfind("S04crond.sh", 0) == 0) out.push_back(c);
    return out;
}

bool ScratchLeft() {
    std::string out;
    qtest::Sh("ls /tmp | grep -c importprocess", &out);
    return out.rfind("0", 0) != 0;
}

// What the host-name and code-page setters work on.
class CfgBackup : public ::testing::Test {
  protected:
    void SetUp() override {
        qtest::WriteFile("/etc/sysconfig/network", "HOSTNAME=nas\n");
        qtest::WriteFile("/etc/sysconfig/network-scripts/ifcfg-eth0",
                         "IPADDR=192.0.2.10\nNETMASK=255.255.255.0\nBOOTPROTO=static\n"
                         "ONBOOT=yes\n");
        SetKey("codepage", "437");
        SetKey("timezone", "Amsterdam");
        // Every local user of the seed has its SMB password line.
        ASSERT_EQ(
            qtest::Sh("mkdir -p /usr/qavo/etc/private && awk -F: '$3 >= 1024 {print $1 \":\" "
                      "$3 \":XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:"
                      "[U          ]:LCT-4A5B6C7D:\"}' /etc/passwd > "
                      "/usr/qavo/etc/private/smbpasswd"),
            0);
        qtest::WriteFile("/etc/sysconfig/clock", "UTC=false\n");
        if (!qtest::FileExists("/sys/class/net")) {
            mkdir("/sys", 0755);
            ASSERT_EQ(mount("sysfs", "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr),
                      0);
        }
        ASSERT_EQ(qtest::Sh("ip link add eth0 type veth peer name peer0 && ip link set eth0 up && "
                            "ip link set peer0 up"),
                  0);
        qtest::Sh("mkdir -p /etc/ppp");
        qtest::WriteFile("/etc/ppp/pap-secrets", "", 0600);
        qtest::WriteFile("/etc/ppp/pppoe.conf", "USER=''\n");
        qtest::WriteFile("/usr/qavo/etc/smb.conf", "[global]\n\tworkgroup = LAB\n");
        qtest::WriteFile("/usr/qavo/etc/afpd.conf",
                         "nas:AFPServer@Lab -tcp -noddp -uamlist uams_guest.so -nouservol\n");
    }
};

// The file walked by the item reader of tests/ ("" when it refuses it).
std::string Walk(const std::string &path) {
    std::string out;
    const int rc = qtest::Exec(
        {"/usr/bin/python3", qtest::SourceDir() + "/tests/system/cfgbackup_reader.py", path}, &out);
    return rc == 0 ? out : "";
}

TEST(CfgBackupItems, WordsAreBigEndianAndStringsCarryTheirZero) {
    const int fd = open(kFile, O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(QAVOSysbkpIWriteString(fd, "ab"), 0);
    ASSERT_EQ(QAVOSysbkpIWriteLong(fd, -2), 0);
    ASSERT_EQ(QAVOSysbkpIWriteLong(fd, 0x7fffffffL + 1), -1);  // beyond 32 bits
    ASSERT_EQ(QAVOSysbkpIWriteString(fd, nullptr), -1);
    EXPECT_EQ(qtest::ReadFile(kFile), Bytes().Str("ab").Long(-2).data());
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    char *s = nullptr;
    long v = 0;
    ASSERT_EQ(QAVOSysbkpIReadString(fd, &s), 0);
    EXPECT_STREQ(s, "ab");
    free(s);
    ASSERT_EQ(QAVOSysbkpIReadLong(fd, &v), 0);
    EXPECT_EQ(v, -2);
    uint32_t w = 0;
    EXPECT_EQ(QAVOSysbkpRawIntRead(fd, &w, 4), 0);  // end of file
    EXPECT_EQ(QAVOSysbkpRawIntRead(fd, &w, 3), -1);
    close(fd);
    EXPECT_EQ(QAVOSysbkpIGetIdx(QAVOSYSBKP_ID_SHARE), 8);
    EXPECT_EQ(QAVOSysbkpIGetIdx(QAVOSYSBKP_ID_CLEANUP), 24);
    EXPECT_EQ(QAVOSysbkpIGetIdx(QAVOSYSBKP_ID_NETIF), -1);
}

TEST(CfgBackupItems, StringReadsStayWithinTheFileAndEndInZero) {
    struct Case {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"length 0", Bytes().Word(1).Word(0).data()},
        {"no final zero", Bytes().Word(1).Word(2).Raw("ab").data()},
        {"beyond the file",
         Bytes().Word(1).Word(0x7fff0000).Raw("ab").Raw(std::string(1, '\0')).data()},
        {"negative length", Bytes().Word(1).Word(0xffffffff).data()},
        {"a long item", Bytes().Long(3).data()},
        {"cut head", Bytes().Word(1).data()},
    };
    for (const Case &c : cases) {
        qtest::WriteFile(kFile, c.bytes);
        const int fd = open(kFile, O_RDONLY);
        char *s = reinterpret_cast<char *>(1);
        EXPECT_EQ(QAVOSysbkpIReadString(fd, &s), -1) << c.what;
        EXPECT_EQ(s, nullptr) << c.what;
        close(fd);
    }
}

// What an import of a hand-made file must give, and whether it got as far
// as the sections.
struct BadFile {
    const char *what;
    std::string bytes;
    uint32_t mask;
    int result;
};

TEST_F(CfgBackup, DamagedFilesFailAndServicesComeBack) {
    const std::string name = Hostname();
    const Bytes other = Bytes().Str("restored");
    Bytes big;  // a hostname body of exactly 1024 bytes
    big.Str(std::string(1024 - 9, 'h'));
    Bytes bigger;
    bigger.Str(std::string(2048 - 9, 'h'));
    const BadFile cases[] = {
        {"header only", Bytes().Header().data(), QAVOSYSBKP_ID_ALL, 0},
        {"wrong magic", Bytes().Raw("QAVX").Word(1).Word(0).data(), QAVOSYSBKP_ID_ALL, -1},
        {"category 2", Bytes().Header(2).data(), QAVOSYSBKP_ID_ALL, -1},
        {"file header cut", Bytes().Raw("QAVO").Word(1).data(), QAVOSYSBKP_ID_ALL, -1},
        {"id 0x4 selected", Bytes().Header().Section(0x4, other).data(), QAVOSYSBKP_ID_ALL | 4, -1},
        {"id 0x4 not selected", Bytes().Header().Section(0x4, other).data(), 0, -1},
        {"selection 0 skips", Bytes().Header().Section(2, other).data(), 0, 0},
        {"section header cut", Bytes().Header().Section(2, Bytes().Str(name)).Word(2).data(),
         QAVOSYSBKP_ID_ALL, -1},
        {"body cut", Bytes().Header().Word(2).Word(1).Word(100).Str(name).data(), QAVOSYSBKP_ID_ALL,
         -1},
        {"negative size", Bytes().Header().Word(2).Word(1).Word(0xfffffff0).Str(name).data(),
         QAVOSYSBKP_ID_ALL, -1},
        {"string without zero",
         Bytes().Header().Section(2, Bytes().Word(1).Word(2).Raw("ab")).data(), QAVOSYSBKP_ID_ALL,
         -1},
        {"string of length 0", Bytes().Header().Section(2, Bytes().Word(1).Word(0)).data(),
         QAVOSYSBKP_ID_ALL, -1},
        {"huge length",
         Bytes().Header().Section(2, Bytes().Word(1).Word(0x40000000).Raw("a")).data(),
         QAVOSYSBKP_ID_ALL, -1},
        // A body shorter than the one before must not read the earlier
        // section's bytes left in the scratch copy.
        {"short body after a long one",
         Bytes().Header().Section(2, Bytes().Str(name)).Section(2, Bytes().Word(1)).data(),
         QAVOSYSBKP_ID_ALL, -1},
        {"body of 1024 bytes", Bytes().Header().Section(2, big).data(), QAVOSYSBKP_ID_ALL, 0},
        {"body of 2048 bytes", Bytes().Header().Section(2, bigger).data(), QAVOSYSBKP_ID_ALL, 0},
    };
    for (const BadFile &c : cases) {
        qtest::WriteFile(kFile, c.bytes);
        qtest::ClearCalls();
        EXPECT_EQ(QAVOSysbkpImport(kFile, c.mask, 0), c.result) << c.what;
        EXPECT_EQ(Hostname(), name) << c.what;  // overwrite 0 never renames
        const bool opened = c.bytes.size() >= 4;
        if (opened) {
            EXPECT_EQ(CronCalls(),
                      (std::vector<std::string>{"S04crond.sh stop", "S04crond.sh start"}))
                << c.what;
        }
        EXPECT_FALSE(ScratchLeft()) << c.what;
    }
    // A clean run writes its event; overwrite picks the second one.
    qtest::WriteFile(kFile, Bytes().Header().data());
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), 0);
    EXPECT_TRUE(HasEvent(0x12100043));
}

TEST_F(CfgBackup, SectionFailureClearsItsBitButOthersApply) {
    // A hostname section the setter refuses, then a good one: the second is
    // applied, the import reports the failure.
    qtest::WriteFile(
        kFile,
        Bytes().Header().Section(2, Bytes().Str("bad name!")).Section(8, Bytes().Long(3)).data());
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
    int cp = 0;
    ASSERT_EQ(QAVOCodePageGet(1, &cp), 1);
    EXPECT_EQ(cp, 3);
    EXPECT_TRUE(HasEvent(0x12100004));  // the hostname import failed
}

TEST_F(CfgBackup, MaskSelectsSectionsInTableOrder) {
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_HOSTNAME | QAVOSYSBKP_ID_LANG), 0);
    struct stat st;
    ASSERT_EQ(stat(kFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string walked = Walk(kFile);
    ASSERT_FALSE(walked.empty());
    EXPECT_NE(walked.find("\"mask\": 10,"), std::string::npos) << walked;
    EXPECT_NE(walked.find("{\"id\": 2, \"version\": 1, \"size\": " +
                          std::to_string(8 + ((Hostname().size() + 1))) + ", \"items\": [\"" +
                          Hostname() + "\"]}, {\"id\": 8,"),
              std::string::npos)
        << walked;

    SetKey("supportmysql", "yes", "/etc.defaults/qavoinfo.conf");
    ExpectDone(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_ALL));
    const std::string all = Walk(kFile);
    ASSERT_FALSE(all.empty());
    EXPECT_NE(all.find("\"mask\": 58720251,"), std::string::npos) << all;  // 0x37ffffb
    // Table order: time, hostname, language, mail, apple, windows, ...,
    // pppoe, httpport, MTU, and runmysql although the value leaves its bit
    // out.
    std::vector<size_t> at;
    for (const char *id : {"\"id\": 1,", "\"id\": 2,", "\"id\": 8,", "\"id\": 16,", "\"id\": 128,",
                           "\"id\": 1048576,", "\"id\": 131072,", "\"id\": 8388608,"})
        at.push_back(all.find(id));
    for (size_t i = 0; i < at.size(); ++i) {
        ASSERT_NE(at[i], std::string::npos) << i << all;
        if (i) {
            EXPECT_LT(at[i - 1], at[i]) << i;
        }
    }
}

TEST(CfgBackupExport, FailureKeepsTheEarlierBackup) {
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_HOSTNAME), 0);
    const std::string before = qtest::ReadFile(kFile);
    // The httpport export cannot read "/etc/qavoinfo.conf".
    ASSERT_EQ(rename(SLIB_QAVOINFO_PATH, "/tmp/qavoinfo.saved"), 0);
    EXPECT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_HOSTNAME | QAVOSYSBKP_ID_HTTPPORT), -1);
    ASSERT_EQ(rename("/tmp/qavoinfo.saved", SLIB_QAVOINFO_PATH), 0);
    EXPECT_EQ(qtest::ReadFile(kFile), before);
    EXPECT_FALSE(qtest::FileExists(std::string(kFile) + ".tmp"));
    EXPECT_EQ(QAVOSysbkpExport(nullptr, 1), -1);
}

TEST(CfgBackupExport, CopyIsANewFileOfRootsOwn) {
    // Names planted at the copy's place: a hard link and a symbolic link to
    // another file, which keeps its content and mode; an earlier backup
    // handed to another user with wider rights.
    const std::string tmp = std::string(kFile) + ".tmp";
    for (int planted = 0; planted < 2; ++planted) {
        qtest::WriteFile("/tmp/victim", "keep\n", 0644);
        qtest::WriteFile(kFile, "earlier", 0644);
        ASSERT_EQ(chown(kFile, 1030, 100), 0);
        ASSERT_EQ(planted ? symlink("/tmp/victim", tmp.c_str()) : link("/tmp/victim", tmp.c_str()),
                  0);
        ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_HOSTNAME), 0) << planted;
        EXPECT_EQ(qtest::ReadFile("/tmp/victim"), "keep\n") << planted;
        struct stat st {};
        ASSERT_EQ(stat("/tmp/victim", &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u) << planted;
        ASSERT_EQ(lstat(kFile, &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u) << planted;
        EXPECT_EQ(st.st_uid, 0u) << planted;
        EXPECT_EQ(qtest::ReadFile(kFile).substr(0, 4), QAVOSYSBKP_MAGIC) << planted;
        EXPECT_FALSE(qtest::FileExists(tmp)) << planted;
    }
}

TEST_F(CfgBackup, RoundTripRestoresTheSettings) {
    QAVONTPINFO ntp{1, "weekly", "192.0.2.10", "192.0.2.11"};
    ASSERT_EQ(QAVONTPSet(&ntp), 1);
    ASSERT_EQ(QAVOCodePageSet(1, 5), 1);
    ExpectDone(QAVOLnxSetHostname("nas-old"));
    SetKey("httpport", "8080");
    SetKey("addport", "yes");
    QAVOMAILSETTING m{};
    m.szSmtp = const_cast<char *>("smtp.example.org");
    m.szMail1 = const_cast<char *>("a@example.org");
    m.szMail2 = const_cast<char *>("b@example.org");
    ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &m), 1);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_ALL), 0);

    QAVONTPINFO off{};
    ASSERT_EQ(QAVONTPSet(&off), 1);
    ASSERT_EQ(QAVOCodePageSet(1, 2), 1);
    ASSERT_EQ(QAVOLnxSetHostname("nas-new"), 0);
    SetKey("httpport", "5000");
    SetKey("eventsmtp", "");
    SetKey("eventmail1", "");
    SetKey("eventauth", "yes");
    SetKey("eventuser", "mailer");

    // Without overwrite only what is unset here comes back: NTP (off) and
    // the mail settings (no server, no recipient).
    ExpectDone(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0));
    QAVONTPINFO got{};
    ASSERT_EQ(QAVONTPGet(&got), 1);
    EXPECT_EQ(got.fEnabled, 1);
    EXPECT_STREQ(got.szServer, "192.0.2.10");
    EXPECT_EQ(Hostname(), "nas-new");
    EXPECT_EQ(Key("httpport"), "5000");
    EXPECT_EQ(Key("eventsmtp"), "smtp.example.org");
    EXPECT_EQ(Key("eventmail2"), "b@example.org");
    EXPECT_EQ(Key("eventtest"), "off");
    // The account and its switch are not in the file and stay as they were.
    EXPECT_EQ(Key("eventauth"), "yes");
    EXPECT_EQ(Key("eventuser"), "mailer");

    ExpectDone(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1));
    EXPECT_EQ(Hostname(), "nas-old");
    int cp = 0;
    ASSERT_EQ(QAVOCodePageGet(1, &cp), 1);
    EXPECT_EQ(cp, 5);
    EXPECT_EQ(Key("httpport"), "8080");
    EXPECT_EQ(Key("eventauth"), "yes");
}

TEST(CfgBackupSystem, HttpportNeedsTheCurrentKey) {
    qtest::WriteFile(
        kFile,
        Bytes().Header().Section(QAVOSYSBKP_ID_HTTPPORT, Bytes().Str("yes").Str("8080")).data());
    SLIBFileRemoveKey(SLIB_QAVOINFO_PATH, "httpport");
    EXPECT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 1), -1);
}

}  // namespace

namespace {

TEST_F(CfgBackup, TimeWithoutOverwriteOnlyFillsAnUnsetNtp) {
    QAVONTPINFO stored{1, "daily", "192.0.2.20", ""};
    ASSERT_EQ(QAVONTPSet(&stored), 1);
    ASSERT_EQ(QAVOSysbkpExport(kFile, QAVOSYSBKP_ID_TIME), 0);
    QAVONTPINFO mine{1, "weekly", "192.0.2.30", ""};
    ASSERT_EQ(QAVONTPSet(&mine), 1);
    SetKey("timezone", "Elsewhere");
    ASSERT_EQ(QAVOSysbkpImport(kFile, QAVOSYSBKP_ID_ALL, 0), 0);
    QAVONTPINFO got{};
    ASSERT_EQ(QAVONTPGet(&got), 1);
    EXPECT_STREQ(got.szServer, "192.0.2.30");
    EXPECT_STREQ(got.szPeriod, "weekly");
    EXPECT_EQ(Key("timezone"), "Elsewhere");
}

}  // namespace
