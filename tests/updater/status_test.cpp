// The updater's command runner, progress records and partition unlocking.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "appliance.h"
#include "qavosim.h"
#include "updt_patchinfo.h"
#include "updt_status.h"

using namespace qtest;

TEST(UpdtExecute, OnlyANormalExitZeroSucceeds) {
    EXPECT_EQ(UPDTExecute(nullptr), -1);
    EXPECT_EQ(UPDTExecute("true"), 0);
    ClearSyslog();
    EXPECT_EQ(UPDTExecute("exit 1"), -1);
    EXPECT_TRUE(SyslogHas("failed to execute cmd=[exit 1], ret = 1", LOG_ERR));
    // Killed by a signal: the shell, or the command it runs.
    EXPECT_EQ(UPDTExecute("kill -9 $$"), -1);
    EXPECT_EQ(UPDTExecute("/bin/sh -c 'kill -TERM $$'"), -1);
    EXPECT_TRUE(SyslogHas("ret = 137"));
}

TEST(UpdtProgress, RecordsOverwriteInPlace) {
    UPDTSetProgress('A', 100);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:100:      ");
    UPDTSetProgress('P', 0);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:0:        ");
    UPDTSetProgress('P', -20);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "P:-20:      ");
}

TEST(UpdtProgress, NeitherALinkNorAnythingButARegularFileIsWritten) {
    WriteFile("/tmp/victim", "keep");
    ASSERT_EQ(symlink("/tmp/victim", UPDT_PROGRESS_FILE), 0);
    EXPECT_EQ(UPDTWriteStatusFile(UPDT_PROGRESS_FILE, "A:0:      ", 1), -1);
    EXPECT_EQ(ReadFile("/tmp/victim"), "keep");
    // A dangling link is not followed to create its target either.
    RemoveFile(UPDT_PROGRESS_FILE);
    ASSERT_EQ(symlink("/tmp/absent", UPDT_PROGRESS_FILE), 0);
    EXPECT_EQ(UPDTWriteStatusFile(UPDT_PROGRESS_FILE, "A:0:      ", 1), -1);
    EXPECT_FALSE(FileExists("/tmp/absent"));
    RemoveFile(UPDT_PROGRESS_FILE);
    ASSERT_EQ(mkfifo(UPDT_PROGRESS_FILE, 0644), 0);
    EXPECT_EQ(UPDTWriteStatusFile(UPDT_PROGRESS_FILE, "A:0:      ", 1), -1);
    RemoveFile(UPDT_PROGRESS_FILE);
    EXPECT_EQ(UPDTWriteStatusFile(UPDT_PROGRESS_FILE, "A:0:      ", 1), 0);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:0:      ");
}

TEST(UpdtLockAll, PomletUnlocksTheFourWritablePartitions) {
    qsim::Appliance hw("edition pomlet\nlock all\n");
    UPDTSelectEdition(1);
    hw.ClearJournal();
    ASSERT_EQ(UPDTUnlockAllPartition(), 0);
    std::vector<std::string> devs;
    for (auto &j : hw.Journal())
        if (j.kind == "unlock") devs.push_back(j.dev);
    EXPECT_EQ(devs, (std::vector<std::string>{"mtd0", "mtd1", "mtd2", "mtd3"}));
}

TEST(UpdtProgress, ALockedFileDropsTheRecord) {
    UPDTSetProgress('A', 0);
    int fd = open(UPDT_PROGRESS_FILE, O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_SH), 0);
    EXPECT_EQ(UPDTWriteStatusFile(UPDT_PROGRESS_FILE, "P:5:      ", 1), -2);
    EXPECT_EQ(UPDTWriteStatusFile(UPDT_PROGRESS_FILE, "P:5:      ", 0), -2);
    close(fd);
    EXPECT_EQ(ReadFile(UPDT_PROGRESS_FILE), "A:0:      ");
    EXPECT_EQ(UPDTWriteStatusFile("/nonexistent/x", "x", 1), -1);
}

TEST(UpdtLog, TruncatedOnlyAboveTheLimit) {
    WriteFile(UPDT_LOG_FILE, std::string(10000, 'x'));
    UPDTTruncateLog();
    UPDTLog("100% done");
    std::string log = ReadFile(UPDT_LOG_FILE);
    EXPECT_EQ(log.size(), 10000u + 19 + 1 + 9 + 2);  // a newline ends the old text first
    EXPECT_EQ(log.substr(log.size() - 11), "\t100% done\n");
    WriteFile(UPDT_LOG_FILE, std::string(10001, 'x'));
    UPDTTruncateLog();
    UPDTLog("Start of the update...");
    EXPECT_EQ(ReadFile(UPDT_LOG_FILE).size(), 19u + 1 + 22 + 1);
}
