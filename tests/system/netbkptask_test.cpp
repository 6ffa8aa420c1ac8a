#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_netbkptask.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "slib_errcode.h"

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

}  // namespace
