#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "appliance.h"
#include "qavo_download.h"
#include "services_support.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

std::string Key(const char *key) {
    char value[64];
    int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, value, sizeof(value), 0);
    return r > 0 ? value : "<absent>";
}

TEST(DownloadInfo, AllZeroRecordStoresOffValuesAndReadsBackTheEmptyWindow) {
    QAVODOWNLOADINFO zero{};
    ASSERT_EQ(QAVODownloadInfoSet(&zero), 0);
    const std::string conf = qtest::ReadFile(SLIB_QAVOINFO_PATH);
    for (const char *line :
         {"download_enabled=\"no\"\n", "download_order=\"request\"\n", "download_when=\"\"\n",
          "download_ul_rate=\"0\"\n", "download_dl_rate=\"0\"\n", "download_start_port=\"0\"\n",
          "download_end_port=\"0\"\n", "download_port_map_enabled=\"no\"\n"}) {
        EXPECT_NE(conf.find(line), std::string::npos) << line;
    }
    QAVODOWNLOADINFO back;
    memset(&back, 0x5A, sizeof(back));
    ASSERT_EQ(QAVODownloadInfoGet(&back), 0);
    EXPECT_STREQ(back.szDLTime, "00:00-00:00");
    EXPECT_EQ(back.fDLEnabled, 0);
    EXPECT_EQ(back.iDLOrder, 0);
    EXPECT_EQ(back.iULRate, 0);
    EXPECT_EQ(back.iEndPort, 0);
    EXPECT_EQ(back.fDLPortMapEnabled, 0);
}

TEST(DownloadInfo, RecordRoundTripsAndTheRunningSchedulerReloadsOnce) {
    ASSERT_EQ(svctest::StartDaemon("scheduler"), 0);
    QAVODOWNLOADINFO in{1, "01:30-06:45", 1, 40, 250, 6881, 6889, 1};
    ASSERT_EQ(QAVODownloadInfoSet(&in), 0);
    EXPECT_EQ(svctest::SignalsOf("scheduler"), std::vector<std::string>{"SIGHUP"});
    QAVODOWNLOADINFO out{};
    ASSERT_EQ(QAVODownloadInfoGet(&out), 0);
    EXPECT_EQ(memcmp(&in, &out, sizeof(in)), 0);
    EXPECT_EQ(Key("download_order"), "user");
    EXPECT_EQ(Key("download_ul_rate"), "40");
}

TEST(DownloadInfo, OnlyExactLowerCaseWordsReadAsOn) {
    svctest::SetKey("download_enabled", "YES");
    svctest::SetKey("download_order", "User");
    svctest::SetKey("download_port_map_enabled", "yes");
    svctest::SetKey("download_dl_rate", "12kb");
    QAVODOWNLOADINFO info{};
    ASSERT_EQ(QAVODownloadInfoGet(&info), 0);
    EXPECT_EQ(info.fDLEnabled, 0);
    EXPECT_EQ(info.iDLOrder, 0);
    EXPECT_EQ(info.fDLPortMapEnabled, 1);
    EXPECT_EQ(info.iDLRate, 12);
}

TEST(DownloadInfo, WindowTooLongForItsFieldFailsTheReadAfterTheFieldsBeforeIt) {
    svctest::SetKey("download_enabled", "yes");
    svctest::SetKey("download_when", "01:30-06:45x");
    QAVODOWNLOADINFO info{};
    EXPECT_EQ(QAVODownloadInfoGet(&info), -1);
    EXPECT_EQ(info.fDLEnabled, 1);
    EXPECT_TRUE(qtest::SyslogHas("sdk/qavofetchmora", LOG_ERR));
}

TEST(DownloadInfo, WindowFillingItsFieldIsWrittenWithoutReadingPastIt) {
    QAVODOWNLOADINFO in{};
    memcpy(in.szDLTime, "0123456789AB", sizeof(in.szDLTime));  // no terminator
    ASSERT_EQ(QAVODownloadInfoSet(&in), 0);
    EXPECT_EQ(Key("download_when"), "0123456789AB");
}

// No scheduler to tell: restoring defaults, or none running, or a pid file
// that names no daemon (the caller, init, every process). The write still
// succeeds and no process is signalled.
TEST(DownloadInfo, WriteSucceedsWithoutSignalWhenThereIsNoSchedulerToTell) {
    ASSERT_EQ(svctest::StartDaemon("scheduler"), 0);
    const std::string live = qtest::ReadFile("/var/run/scheduler.pid");
    qtest::WriteFile("/tmp/doingdefault.chk", "");
    QAVODOWNLOADINFO info{};
    info.fDLEnabled = 1;
    EXPECT_EQ(QAVODownloadInfoSet(&info), 0);
    EXPECT_TRUE(svctest::SignalsOf("scheduler").empty());
    qtest::RemoveFile("/tmp/doingdefault.chk");

    const std::string self = std::to_string(getpid()) + "\n";
    for (const std::string &pidFile : {std::string("-1\n"), std::string("0\n"), std::string("1\n"),
                                       self, std::string("junk\n"), std::string("999999\n")}) {
        qtest::WriteFile("/var/run/scheduler.pid", pidFile);
        EXPECT_EQ(QAVODownloadInfoSet(&info), 0) << pidFile;
    }
    qtest::RemoveFile("/var/run/scheduler.pid");
    EXPECT_EQ(QAVODownloadInfoSet(&info), 0);
    EXPECT_TRUE(svctest::SignalsOf("scheduler").empty());
    qtest::WriteFile("/var/run/scheduler.pid", live);
    EXPECT_NE(svctest::RunningPid("scheduler"), 0) << "the scheduler was killed";
    EXPECT_EQ(Key("download_enabled"), "yes");
}

TEST(DownloadInfo, NullRecordsAreRefused) {
    EXPECT_EQ(QAVODownloadInfoGet(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    EXPECT_EQ(QAVODownloadInfoSet(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

}  // namespace
