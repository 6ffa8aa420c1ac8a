#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "appliance.h"
#include "qavo_netbkptask.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "slib_errcode.h"
#include "slib_szhash.h"

namespace {

using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

const char *const kTasks =
    "[Photo]\n\tbkp_server=\"srv\"\n\tbkp_ip=\"10.0.0.2\"\n\tlast_bkp_time=\"2026-01-01\"\n"
    "\tlast_bkp_status=\"3\"\n"
    "[docs]\n\tbkp_server=\"srv\"\n\tbkp_module=\"Mod\"\n\tbkp_auth_user=\"admin\"\n"
    "\tssh=\"1\"\n";

std::string Crontab() {
    return qtest::FileExists("/etc/crontab") ? ReadFile("/etc/crontab") : "";
}

QAVOSCHEDULE Daily(const char *command) {
    QAVOSCHEDULE s{};
    s.ulWeekdayMask = 0x7F;
    s.nHour = 3;
    s.nLastHour = 3;
    s.nMinute = 15;
    snprintf(s.szCommand, sizeof(s.szCommand), "%s", command);
    return s;
}

class NetBkpTask : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(SZF_NETBKP_CONF, kTasks);
        WriteFile("/etc/crontab", "# jobs\n");
        WriteFile("/etc.defaults/qavoinfo.conf", "netbkp=\"yes\"\n");
    }
};

TEST_F(NetBkpTask, ReadsWithDefaultsAndKeepsHistoryUnlessTheServerChanges) {
    int needed = 0;
    ASSERT_EQ(QAVONetBackupGet("Photo", nullptr, 0, &needed, NETBKP_OPT_SKIP_SCHEDULE, nullptr), 0);
    std::vector<char> buf(static_cast<size_t>(needed));
    auto *t = reinterpret_cast<PQAVONETBKPINFO>(buf.data());
    ASSERT_EQ(QAVONetBackupGet("Photo", t, needed, &needed, NETBKP_OPT_SKIP_SCHEDULE, nullptr), 1);
    EXPECT_STREQ(t->szModule, "NetBackup");
    EXPECT_STREQ(t->szAuthUser, "root");
    EXPECT_EQ(t->nLastStatus, 3);
    EXPECT_EQ(QAVONetBackupGet("photo", nullptr, 0, &needed, 3, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_NO_SUCH_SHARE));

    QAVONETBKPINFO changed = *t;
    changed.szIP = const_cast<char *>("10.0.0.9");
    ASSERT_EQ(QAVONetBackupSet("Photo", &changed, NETBKP_OPT_SKIP_SCHEDULE, nullptr), 1);
    EXPECT_NE(ReadFile(SZF_NETBKP_CONF).find("last_bkp_time=\"2026-01-01\""), std::string::npos);
    changed.szServer = const_cast<char *>("other");
    ASSERT_EQ(QAVONetBackupSet("Photo", &changed, NETBKP_OPT_SKIP_SCHEDULE, nullptr), 1);
    const std::string conf = ReadFile(SZF_NETBKP_CONF);
    EXPECT_NE(conf.find("last_bkp_time=\"\""), std::string::npos);
    EXPECT_NE(conf.find("last_bkp_status=\"0\""), std::string::npos);
    changed.szPass = const_cast<char *>("a\"b");
    EXPECT_EQ(QAVONetBackupSet("Photo", &changed, NETBKP_OPT_SKIP_SCHEDULE, nullptr), -1);
}

TEST_F(NetBkpTask, DeleteIgnoresCaseAndDropsSchedules) {
    QAVOSCHEDULE s = Daily("/usr/qavo/bin/qavonetbkp -a \"Photo\"");
    ASSERT_EQ(QAVOScheduleSet(&s), 0);
    ASSERT_NE(Crontab().find("-a \"Photo\""), std::string::npos);
    char *names[] = {const_cast<char *>("Photo"), const_cast<char *>("photo"),
                     const_cast<char *>("none")};
    EXPECT_EQ(QAVONetBackupDelete(names, 3), 1);
    EXPECT_TRUE(qtest::SyslogHas("Duplicate share name"));
    EXPECT_EQ(ReadFile(SZF_NETBKP_CONF).find("[Photo]"), std::string::npos);
    EXPECT_NE(ReadFile(SZF_NETBKP_CONF).find("[docs]"), std::string::npos);
    EXPECT_EQ(Crontab().find("-a \"Photo\""), std::string::npos);
    EXPECT_EQ(QAVONetBackupDeleteOne("none"), 0);
    EXPECT_EQ(QAVONetBackupDeleteOne(nullptr), -1);

    // A name no crontab line can hold keeps no other task's line alive.
    s = Daily("/usr/qavo/bin/qavonetbkp -a \"docs\"");
    ASSERT_EQ(QAVOScheduleSet(&s), 0);
    char *odd[] = {const_cast<char *>("A\nB"), const_cast<char *>("docs")};
    EXPECT_EQ(QAVONetBackupDelete(odd, 2), 1);
    EXPECT_EQ(Crontab().find("-a \"docs\""), std::string::npos);
}

TEST_F(NetBkpTask, RenameMovesTaskAndScheduleButNotHistory) {
    QAVOSCHEDULE s = Daily("/usr/qavo/bin/qavonetbkp -a \"Photo\"");
    ASSERT_EQ(QAVOScheduleSet(&s), 0);
    EXPECT_EQ(QAVONetBkpRename("Photo", "Pics"), 0);
    const std::string conf = ReadFile(SZF_NETBKP_CONF);
    EXPECT_EQ(conf.find("[Photo]"), std::string::npos);
    EXPECT_NE(conf.find("[Pics]"), std::string::npos);
    EXPECT_NE(conf.find("bkp_ip=\"10.0.0.2\""), std::string::npos);
    EXPECT_EQ(conf.find("2026-01-01"), std::string::npos);
    EXPECT_EQ(Crontab().find("-a \"Photo\""), std::string::npos);
    QAVOSCHEDULE moved{};
    ASSERT_EQ(QAVOScheduleGet("/usr/qavo/bin/qavonetbkp -a \"Pics\"", &moved), 1);
    EXPECT_EQ(moved.nHour, 3);
    EXPECT_EQ(moved.nMinute, 15);
    EXPECT_NE(Crontab().find("-a \"Pics\""), std::string::npos);
    EXPECT_EQ(QAVONetBkpRename("nosuch", "x"), 0);
    // Another task under the new name is never shadowed.
    const std::string before = ReadFile(SZF_NETBKP_CONF);
    EXPECT_EQ(QAVONetBkpRename("Pics", "docs"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_EXISTS));
    EXPECT_EQ(ReadFile(SZF_NETBKP_CONF), before);
    EXPECT_NE(Crontab().find("-a \"Pics\""), std::string::npos);
    WriteFile("/etc.defaults/qavoinfo.conf", "netbkp=\"no\"\n");
    EXPECT_EQ(QAVONetBkpRename("docs", "d2"), 0);
    EXPECT_NE(ReadFile(SZF_NETBKP_CONF).find("[docs]"), std::string::npos);
}

TEST_F(NetBkpTask, SharesTakeTheirTasksAlong) {
    ASSERT_EQ(Sh("mkdir -p /volume1 && mount -t tmpfs tmpfs /volume1"), 0);
    WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tsecurity=user\n");
    QAVOSHARE s{};
    s.szName = const_cast<char *>("Photo");
    s.szPath = const_cast<char *>("/volume1/Photo");
    s.fType = QAVOSHARE_ACCESS_RW;
    ASSERT_EQ(QAVOShareSet(1, nullptr, &s), 1);
    s.szName = const_cast<char *>("Pics");
    ASSERT_EQ(QAVOShareSet(1, "Photo", &s), 1);
    EXPECT_NE(ReadFile(SZF_NETBKP_CONF).find("[Pics]"), std::string::npos);
    EXPECT_EQ(QAVOIShareDeleteOne("pics"), 1);
    EXPECT_EQ(ReadFile(SZF_NETBKP_CONF).find("[Pics]"), std::string::npos);
    EXPECT_NE(ReadFile(SZF_NETBKP_CONF).find("[docs]"), std::string::npos);
}

// A task record of literal texts.
QAVONETBKPINFO Task(const char *share, const char *server = "backup.example.com",
                    const char *user = "root", const char *module = "NetBackup") {
    QAVONETBKPINFO t{};
    t.szShare = const_cast<char *>(share);
    t.szServer = const_cast<char *>(server);
    t.szIP = const_cast<char *>("192.0.2.2");
    t.szAuthUser = const_cast<char *>(user);
    t.szPass = const_cast<char *>("secret");
    t.szModule = const_cast<char *>(module);
    return t;
}

mode_t Mode(const char *path) {
    struct stat st {};
    EXPECT_EQ(stat(path, &st), 0) << path;
    return st.st_mode & 07777;
}

// The first five fields of a crontab line parse as croniter reads them.
bool CroniterParses(const std::string &line) {
    const char *script = R"(
import sys
from croniter import croniter
sys.exit(0 if croniter.is_valid(" ".join(sys.argv[1].split("\t")[:5])) else 1)
)";
    return qtest::Exec({"/usr/bin/python3", "-c", script, line}) == 0;
}

TEST_F(NetBkpTask, FirstTaskCreatesAPrivateFileAndItsScheduleRunsTheTask) {
    qtest::RemoveFile(SZF_NETBKP_CONF);
    QAVONETBKPINFO t = Task("Photo Album");
    // A schedule read back from another task's line names only the program.
    QAVOSCHEDULE other = Daily("/usr/qavo/bin/qavonetbkp -a \"docs\"");
    ASSERT_EQ(QAVOScheduleSet(&other), 0);
    QAVOSCHEDULE s{};
    ASSERT_EQ(QAVOScheduleGet("/usr/qavo/bin/qavonetbkp -a \"docs\"", &s), 1);
    EXPECT_STREQ(s.szCommand, "/usr/qavo/bin/qavonetbkp");
    s.nHour = 4;
    s.nLastHour = 4;
    ASSERT_EQ(QAVONetBackupSet(nullptr, &t, NETBKP_OPT_SET_SCHEDULE, &s), 1);
    EXPECT_EQ(Mode(SZF_NETBKP_CONF), 0600u);

    int needed = 0;
    ASSERT_EQ(QAVONetBackupGet("Photo Album", nullptr, 0, &needed, NETBKP_OPT_GET_SCHEDULE, &s), 0);
    std::vector<char> buf(static_cast<size_t>(needed));
    auto *got = reinterpret_cast<PQAVONETBKPINFO>(buf.data());
    ASSERT_EQ(QAVONetBackupGet("Photo Album", got, needed, &needed, NETBKP_OPT_GET_SCHEDULE, &s),
              1);
    EXPECT_STREQ(got->szServer, "backup.example.com");
    EXPECT_STREQ(got->szPass, "secret");
    EXPECT_EQ(s.nHour, 4);
    // The other task's line is untouched.
    QAVOSCHEDULE docs{};
    ASSERT_EQ(QAVOScheduleGet("/usr/qavo/bin/qavonetbkp -a \"docs\"", &docs), 1);
    EXPECT_EQ(docs.nHour, 3);

    // Every line parses, and cron's shell hands the program the folder whole.
    qtest::InstallStandin(SZF_NETBKP_PROGRAM);
    qtest::ClearCalls();
    int lines = 0;
    for (const std::string &line : qtest::Lines(Crontab())) {
        if (line.empty() || line[0] == '#') continue;
        ++lines;
        EXPECT_TRUE(CroniterParses(line)) << line;
        const size_t cmd = line.find(SZF_NETBKP_PROGRAM);
        ASSERT_NE(cmd, std::string::npos) << line;
        EXPECT_EQ(qtest::Exec({"/bin/sh", "-c", line.substr(cmd)}), 0);
    }
    EXPECT_EQ(lines, 2);
    const auto calls = qtest::Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], (std::vector<std::string>{SZF_NETBKP_PROGRAM, "-a", "Photo Album"}));

    // A second create of the same task is refused; an older file readable
    // by all is made private by the next write.
    EXPECT_EQ(QAVONetBackupSet(nullptr, &t, NETBKP_OPT_SKIP_SCHEDULE, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_EXISTS));
    ASSERT_EQ(chmod(SZF_NETBKP_CONF, 0644), 0);
    ASSERT_EQ(QAVONetBackupSet("Photo Album", &t, NETBKP_OPT_SKIP_SCHEDULE, nullptr), 1);
    EXPECT_EQ(Mode(SZF_NETBKP_CONF), 0600u);
}

TEST_F(NetBkpTask, HostileTextsNeverReachTheFileOrTheCrontab) {
    const std::string conf = ReadFile(SZF_NETBKP_CONF), cron = Crontab();
    struct Case {
        const char *share, *server, *user, *module;
    } bads[] = {
        {"a\"; touch /tmp/x; \"", "srv", "root", "NetBackup"},
        {"$(touch /tmp/x)", "srv", "root", "NetBackup"},
        {"`touch /tmp/x`", "srv", "root", "NetBackup"},
        {"x;y", "srv", "root", "NetBackup"},
        {"Photo", "srv;touch /tmp/x", "root", "NetBackup"},
        {"Photo", "$(touch /tmp/x)", "root", "NetBackup"},
        {"Photo", "-oProxyCommand=x", "root", "NetBackup"},
        {"Photo", "", "root", "NetBackup"},
        {"Photo", "srv", "-e sh", "NetBackup"},
        {"Photo", "srv", "a@b", "NetBackup"},
        {"Photo", "srv", "a:b", "NetBackup"},
        {"Photo", "srv", "", "NetBackup"},
        {"Photo", "srv", "root", "../etc"},
        {"Photo", "srv", "root", "Net\tBackup"},
        {"Photo", "srv", "root", "--server"},
    };
    QAVOSCHEDULE s = Daily(SZF_NETBKP_PROGRAM);
    for (const Case &c : bads) {
        QAVONETBKPINFO t = Task(c.share, c.server, c.user, c.module);
        SLIBErrSet(0);
        EXPECT_EQ(QAVONetBackupSet(nullptr, &t, NETBKP_OPT_SET_SCHEDULE, &s), -1)
            << c.share << " " << c.server << " " << c.user << " " << c.module;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_EQ(ReadFile(SZF_NETBKP_CONF), conf);
    EXPECT_EQ(Crontab(), cron);
    EXPECT_FALSE(qtest::FileExists("/tmp/x"));
    // Host names, addresses and "*" before them are servers.
    for (const char *server : {"srv", "*srv", "192.0.2.2", "*backup.example.com"})
        EXPECT_EQ(BlQAVOINetBkpIsServer(server), 1) << server;
    EXPECT_EQ(QAVONetBkpRename("Photo", "$(touch /tmp/x)"), -1);
    EXPECT_EQ(ReadFile(SZF_NETBKP_CONF), conf);
}

TEST_F(NetBkpTask, TaskStringsOfElevenFields) {
    const char *full = "Photo:srv:192.0.2.2:admin::2026/12/10:Mod::3:1:0";
    int size = 0;
    ASSERT_EQ(QAVONetBackupSetParam(full, nullptr, &size), 0);
    // The record, then "Photo", "srv", "192.0.2.2", "admin", "2026/12/10", "Mod".
    EXPECT_EQ(size, static_cast<int>(sizeof(QAVONETBKPINFO)) + 6 + 4 + 10 + 6 + 11 + 4);
    std::vector<char> buf(static_cast<size_t>(size));
    auto *t = reinterpret_cast<PQAVONETBKPINFO>(buf.data());
    int small = size - 1;
    EXPECT_EQ(QAVONetBackupSetParam(full, t, &small), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    ASSERT_EQ(QAVONetBackupSetParam(full, t, &size), 1);
    EXPECT_STREQ(t->szShare, "Photo");
    EXPECT_STREQ(t->szAuthUser, "admin");
    EXPECT_EQ(t->szPass, nullptr);
    EXPECT_STREQ(t->szLastTime, "2026/12/10");
    EXPECT_STREQ(t->szModule, "Mod");
    EXPECT_EQ(t->szPass2, nullptr);
    EXPECT_EQ(t->nLastStatus, 3);
    EXPECT_EQ(t->fSSH, 1);
    EXPECT_EQ(t->nServerType, 0);

    for (const char *bad :
         {"Photo:srv:192.0.2.2:admin::2026/12/10:Mod::3:1",  // ten fields
          "Photo:srv:ip:u:p:t:m:p2:x:0:0", "Photo:srv:ip:u:p:t:m:p2:0:0:99999999999"}) {
        int n = 0;
        SLIBErrSet(0);
        EXPECT_EQ(QAVONetBackupSetParam(bad, nullptr, &n), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u) << bad;
    }
    EXPECT_TRUE(qtest::SyslogHas("field number = [10] < 11"));
    int n = 8;
    EXPECT_EQ(QAVONetBackupSetParam(full, nullptr, &n), -1);
    EXPECT_EQ(QAVONetBackupSetParam(nullptr, nullptr, &size), -1);
}

TEST_F(NetBkpTask, EnumeratesTasksIntoOneBlock) {
    int needed = 0;
    ASSERT_EQ(QAVONetBackupEnum(nullptr, 0, &needed), 0);
    EXPECT_EQ(needed, static_cast<int>(3 * sizeof(char *) + 6 + 5));
    std::vector<char *> buf(static_cast<size_t>(needed) / sizeof(char *) + 1);
    const int size = needed;
    EXPECT_EQ(QAVONetBackupEnum(buf.data(), size - 1, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    ASSERT_EQ(QAVONetBackupEnum(buf.data(), size, &needed), 2);
    EXPECT_STREQ(buf[0], "Photo");
    EXPECT_STREQ(buf[1], "docs");
    EXPECT_EQ(buf[2], nullptr);
    EXPECT_EQ(QAVONetBackupEnum(buf.data(), size, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    qtest::RemoveFile(SZF_NETBKP_CONF);
    EXPECT_EQ(QAVONetBackupEnum(buf.data(), size, &needed), 0);
    EXPECT_EQ(buf[0], nullptr);
}

TEST_F(NetBkpTask, EnumByKeyTakesEachSectionsKeyLine) {
    // A password that holds "bkp_server=" names no server.
    WriteFile("/tmp/tasks.conf",
              "bkp_server=\"before any section\"\n"
              "[ Photo ]\n\tserver_pass=\"x bkp_server=\"evil\"\"\n\tbkp_server = \"srv\"\n"
              "\tbkp_server=\"second\"\n"
              "[docs]\n\tbkp_ip=\"1\"\n"
              "[Music] comment\n\tbkp_server=plain\n");
    PSLIBSZHASH h = PshSLIBSzHashAlloc(1024);
    ASSERT_NE(h, nullptr);
    ASSERT_GE(SLIBSzHashSetValue(&h, "Kept", "k"), 0);
    EXPECT_EQ(QAVONetBackupEnumByKey("/tmp/tasks.conf", "bkp_server", &h), 3);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "Photo"), "srv");
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "Music"), "plain");
    EXPECT_EQ(SzSLIBSzHashGetValue(h, "docs"), nullptr);

    WriteFile("/tmp/tasks.conf", std::string("[a]\n\0\nbkp_server=x\n", 19));
    EXPECT_EQ(QAVONetBackupEnumByKey("/tmp/tasks.conf", "bkp_server", &h), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0A00u);
    EXPECT_EQ(QAVONetBackupEnumByKey("/tmp/none.conf", "bkp_server", &h), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_EQ(QAVONetBackupEnumByKey("/tmp/tasks.conf", "", &h), -1);
    SLIBSzHashFree(h);
}

TEST_F(NetBkpTask, SharePathOfAShare) {
    WriteFile(SZF_QAVO_SMB_CONF,
              "[global]\n\tsecurity=user\n[Photo]\n\tpath=/volume1/Photo\n\twrite list=@users\n");
    char path[64];
    ASSERT_EQ(QAVONetBkpGetSharePath("Photo", path, sizeof path), 0);
    EXPECT_STREQ(path, "/volume1/Photo");
    EXPECT_EQ(QAVONetBkpGetSharePath("Photo", path, 14), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_TRUE(qtest::SyslogHas("Bad parameter! iSize too small"));
    EXPECT_EQ(QAVONetBkpGetSharePath("none", path, sizeof path), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_NO_SUCH_SHARE));
}

TEST_F(NetBkpTask, DeletingTheRunningTaskStopsItsCopyAndItsOwnScheduleLine) {
    QAVOSCHEDULE s = Daily("/usr/qavo/bin/qavonetbkp -a \"Photo\"");
    ASSERT_EQ(QAVOScheduleSet(&s), 0);
    ASSERT_EQ(Sh("mkdir -p /tmp/src /tmp/dst && head -c 20000000 /dev/zero > /tmp/src/big"), 0);
    WriteFile(SZF_NETBKP_QUEUE, "Photo\ndocs\n");
    const pid_t run = fork();
    if (run == 0) {
        execl("/usr/bin/rsync", "rsync", "-a", "-W", "--delete", "--timeout=600", "--bwlimit=100",
              "/tmp/src/", "/tmp/dst/", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(run, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    char *names[] = {const_cast<char *>("photo")};
    EXPECT_EQ(QAVONetBackupDelete(names, 1), 1);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 100 && ended == 0; ++i) {
        ended = waitpid(run, &status, WNOHANG);
        if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (ended == 0) {
        kill(run, SIGKILL);
        waitpid(run, &status, 0);
    }
    EXPECT_EQ(ended, run) << "the running copy was not stopped";
    EXPECT_EQ(ReadFile(SZF_NETBKP_CONF).find("[Photo]"), std::string::npos);
    EXPECT_EQ(Crontab().find("-a \"Photo\""), std::string::npos);
}

}  // namespace
