#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "appliance.h"
#include "qavo_volume.h"
#include "raid_sim.h"
#include "slib_errcode.h"

namespace {

void MountTmpfs(const std::string &dir, bool readOnly = false) {
    const std::string cmd = "mkdir -p " + dir + " && mount -t tmpfs -o size=1m" +
                            (readOnly ? ",ro" : "") + " tmpfs " + dir;
    ASSERT_EQ(qtest::Sh(cmd), 0) << cmd;
}

TEST(VolHealth, FromTheMountTable) {
    EXPECT_EQ(BlQAVOVolAllReadOnly(), 1);  // none mounted
    EXPECT_EQ(QAVOVolFirstWritableGet(), 0);
    MountTmpfs("/volume12", true);  // not volume 1 to the health query
    MountTmpfs("/volume2", true);
    EXPECT_EQ(BlQAVOVolAllReadOnly(), 1);
    EXPECT_EQ(QAVOVolFirstWritableGet(), 0);
    MountTmpfs("/volume3");

    struct Case {
        int volume, health;
    } cases[] = {{1, QAVO_VOLUME_NOT_MOUNTED},
                 {2, QAVO_VOLUME_READONLY},
                 {3, QAVO_VOLUME_WRITABLE},
                 {4, QAVO_VOLUME_NOT_MOUNTED}};
    for (const Case &c : cases) {
        int health = -1;
        ASSERT_EQ(QAVOVolHealthCheck(c.volume, &health), 0) << c.volume;
        EXPECT_EQ(health, c.health) << c.volume;
    }
    QAVOVOLINFO info{};
    ASSERT_EQ(QAVOVolInfoGet(1, &info), 0);
    EXPECT_EQ(info.svi_number, 1);
    EXPECT_EQ(info.svi_mounted, 0);
    EXPECT_EQ(BlQAVOVolAllReadOnly(), 0);
    EXPECT_EQ(QAVOVolFirstWritableGet(), 3);
    int health = 0;
    SLIBErrSet(0);
    EXPECT_EQ(QAVOVolHealthCheck(5, &health), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(VolDevSize, SectorsOfABlockDevice) {
    rsim::AddDisk("sda", 123456);
    uint64_t sectors = 0;
    ASSERT_EQ(QAVOVolDevSizeGet("/dev/sda", &sectors), 0);
    EXPECT_EQ(sectors, 123456u);
    // Beyond 32 bits of bytes.
    rsim::AddDisk("sdb", 6442450944ull / 512);
    ASSERT_EQ(QAVOVolDevSizeGet("/dev/sdb", &sectors), 0);
    EXPECT_EQ(sectors, 6442450944ull / 512);

    sectors = 7;
    EXPECT_EQ(QAVOVolDevSizeGet("/dev/sdz", &sectors), -1);
    EXPECT_EQ(sectors, 0u);
    EXPECT_TRUE(qtest::SyslogHas("Failed to open device = /dev/sdz"));
    sectors = 7;
    EXPECT_EQ(QAVOVolDevSizeGet("/etc/hostname", &sectors), -1);  // no block device
    EXPECT_EQ(sectors, 0u);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOVolDevSizeGet(nullptr, &sectors), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(VolExpansible, ByTheToolsExitStatus) {
    struct Case {
        int status, result;
        bool logged;
    } cases[] = {{0, 0, false}, {1, -1, false}, {2, -1, true}};
    for (const Case &c : cases) {
        qtest::ClearSyslog();
        qtest::SetStandinStatus("resize2fs", c.status);
        EXPECT_EQ(QAVOVolExpansible("/dev/md2"), c.result) << c.status;
        EXPECT_EQ(qtest::SyslogHas("Failed to '/sbin/resize2fs -M /dev/md2"), c.logged) << c.status;
    }
    qtest::SetStandinStatus("resize2fs", 3);
    EXPECT_EQ(QAVOVolExpand("/dev/md2"), -1);
    EXPECT_TRUE(qtest::SyslogHas("WEXITSTATUS(r) = 3"));

    // Never an option or an empty device.
    qtest::ClearCalls();
    for (const char *bad : {"", "-M", static_cast<const char *>(nullptr)}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOVolExpand(bad), -1);
        EXPECT_EQ(QAVOVolExpansible(bad), -1);
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_TRUE(rsim::CallsOf("resize2fs").empty());
}

TEST(VolExpandProgress, OneFileAndTheCombinedPercent) {
    struct Case {
        const char *text;
        int result, percent;
    } cases[] = {
        {"40\n", 0, 40}, {"100", 0, 100}, {"", 0, 0}, {"-5\n", -1, 0}, {"12345678\n", 0, 1234567},
    };
    for (const Case &c : cases) {
        qtest::WriteFile("/tmp/p", c.text);
        int percent = 99;
        EXPECT_EQ(QAVOVolExpandProgressByPass("/tmp/p", &percent), c.result) << c.text;
        EXPECT_EQ(percent, c.percent) << c.text;
    }
    int percent = 99;
    EXPECT_EQ(QAVOVolExpandProgressByPass("/tmp/none", &percent), -1);
    EXPECT_EQ(percent, 0);

    qtest::WriteFile("/tmp/resize2fs.progress.scan.md2", "40\n");
    qtest::WriteFile("/tmp/resize2fs.progress.extend.md2", "61\n");
    ASSERT_EQ(QAVOVolExpandProgress("md2", &percent), 0);
    EXPECT_EQ(percent, 50);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOVolExpandProgress(std::string(64, 'a').c_str(), &percent), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(VolExpandProgress, GivesUpWhenNoResizeRuns) {
    qtest::WriteFile("/tmp/resize2fs.progress.extend.x", "10\n");
    int percent = 0;
    EXPECT_EQ(QAVOVolExpandProgress("x", &percent), -1);
    EXPECT_TRUE(qtest::SyslogHas("Retry 5 times to access /tmp/resize2fs.progress.scan.x"));
}

const std::string kRaid1Of2 = "level 1\nraid_disks 2\ncomponent 1000\n";

TEST(MDSyncProgress, FromTheArraysSyncState) {
    rsim::SetMaxDisks(4);
    for (const char *d : {"sda", "sdb"}) {
        rsim::AddDisk(d);
        rsim::Partition(d);
    }
    const std::string both = rsim::Member(0, 0, 3, 6) + rsim::Member(1, 1, 3, 6);
    struct Case {
        std::string state;
        float percent;
    } cases[] = {
        {kRaid1Of2 + "sync 1 250 1000\n" + both, 25.0f},
        {kRaid1Of2 + "sync 0 0 0\n" + both, 100.0f},
        {kRaid1Of2 + "sync 1 0 1000\n" + both, -1.0f},  // flagged, nothing done yet
        {kRaid1Of2 + "sync 0 0 0\n" + rsim::Member(0, 0, 3, 6), -2.0f},  // idle, degraded
    };
    for (const Case &c : cases) {
        rsim::SetMd(2, c.state);
        float percent = 1234;
        ASSERT_EQ(MDSyncProgress(2, &percent), 0) << c.state;
        EXPECT_FLOAT_EQ(percent, c.percent) << c.state;
    }
    EXPECT_EQ(MDSyncProgress(2, nullptr), -1);
}

TEST(MDSyncProgress, AnArrayNoQueryReachesFails) {
    float percent = 1234;
    EXPECT_EQ(MDSyncProgress(3, &percent), -1);
    EXPECT_FLOAT_EQ(percent, 1234);
}

void Progress(const std::string &text) {
    qtest::WriteFile(QAVO_VOLUME_ADD_PROGRESS, text);
}

TEST(VolInitStatus, EachStep) {
    VOLINITSTATUS st{};
    EXPECT_EQ(VolInitStatusGet(&st), -2);
    EXPECT_EQ(VolInitStatusGet(nullptr), -1);

    rsim::SetMaxDisks(4);
    rsim::AddDisk("sda");
    rsim::Partition("sda");
    rsim::SetMd(2, kRaid1Of2 + "sync 1 400 1000\n" + rsim::Member(0, 0, 3, 6));
    qtest::WriteFile("/tmp/mkfs.progress.md3", "500/1000\n");
    struct Case {
        std::string text;
        int result;
        VOLINITSTATUS want;
    } cases[] = {
        {"STEP=\"START\"\n", 0, {0, 0, 0, 0, 0}},
        {"STEP=\"FINISH\"\n", 0, {1, 0, 0, 0, 0}},
        {"STEP=\"ERROR\"\n", 0, {2, 0, 0, 0, 0}},
        {"STEP=\"DISKINIT\"\nPERCENT=\"30\"\n", 0, {3, 30, 0, 0, 0}},
        {"STEP=\"DISKINIT\"\n", -1, {0, 0, 0, 0, 0}},
        {"STEP=\"MDSYNC\"\nVOLUME=\"1\"\n", 0, {4, 100, 40.0f, 0, 0}},  // volume 1 is md2
        {"STEP=\"VOLINIT\"\nVOLUME=\"2\"\n", 0, {5, 100, 100.0f, 50, 0}},
        {"STEP=\"DEFINIT\"\nPERCENT=\"70\"\n", 0, {6, 100, 100.0f, 100, 70}},
        {"STEP=\"DEFINIT\"\nPERCENT=\"1000\"\n", -1, {6, 100, 100.0f, 100, 0}},  // 3 digits
        {"STEP=\"\"\n", -1, {0, 0, 0, 0, 0}},
        {"PERCENT=\"5\"\n", -1, {0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        Progress(c.text);
        VOLINITSTATUS got{};
        EXPECT_EQ(VolInitStatusGet(&got), c.result) << c.text;
        EXPECT_EQ(got.step, c.want.step) << c.text;
        EXPECT_EQ(got.diskPercent, c.want.diskPercent) << c.text;
        EXPECT_FLOAT_EQ(got.syncPercent, c.want.syncPercent) << c.text;
        EXPECT_EQ(got.fsPercent, c.want.fsPercent) << c.text;
        EXPECT_EQ(got.defPercent, c.want.defPercent) << c.text;
    }
    // A volume number that names no data array (VOLUME 0 would be md1).
    for (const char *volume : {"0", "5", "-1", "x"}) {
        Progress(std::string("STEP=\"MDSYNC\"\nVOLUME=\"") + volume + "\"\n");
        VOLINITSTATUS got{};
        EXPECT_EQ(VolInitStatusGet(&got), -1) << volume;
        Progress(std::string("STEP=\"VOLINIT\"\nVOLUME=\"") + volume + "\"\n");
        EXPECT_EQ(VolInitStatusGet(&got), -1) << volume;
    }
    // A progress file that cannot be examined is no progress.
    ASSERT_EQ(qtest::Sh(std::string("rm -f ") + QAVO_VOLUME_ADD_PROGRESS + " && ln -s " +
                        QAVO_VOLUME_ADD_PROGRESS + " " + QAVO_VOLUME_ADD_PROGRESS),
              0);
    EXPECT_EQ(VolInitStatusGet(&st), -1);
}

TEST(VolOperationRunning, ByStepAndProgram) {
    EXPECT_EQ(BlQAVOVolOperationRunning(), 0);  // no progress files at all

    qtest::WriteFile(QAVO_VOLUME_EXPAND_PROGRESS, "STEP=\"START\"\n");
    EXPECT_EQ(BlQAVOVolExpandRunning(nullptr), 1);
    EXPECT_EQ(BlQAVOVolExpandRunning("volume_expand_apply.cgi"), 0);
    EXPECT_EQ(BlQAVOVolOperationRunning(), 0);
    // A program of that name at work.
    ASSERT_EQ(
        qtest::Sh("cp /bin/sleep /tmp/volume_expand_apply.cgi && "
                  "{ /tmp/volume_expand_apply.cgi 30 >/dev/null 2>&1 & echo $! >/tmp/cgi.pid; }"),
        0);
    EXPECT_EQ(BlQAVOVolExpandRunning("volume_expand_apply.cgi"), 1);
    EXPECT_EQ(BlQAVOVolOperationRunning(), 1);
    for (const char *step : {"FINISH", "ERROR", ""}) {
        qtest::WriteFile(QAVO_VOLUME_EXPAND_PROGRESS, std::string("STEP=\"") + step + "\"\n");
        EXPECT_EQ(BlQAVOVolExpandRunning("volume_expand_apply.cgi"), 0) << step;
    }
    EXPECT_EQ(BlQAVOVolOperationRunning(), 0);
    qtest::Sh("kill $(cat /tmp/cgi.pid)");

    Progress("STEP=\"DISKINIT\"\nPERCENT=\"10\"\n");
    EXPECT_EQ(BlQAVOVolAddInitRunning(nullptr), 1);
    Progress("STEP=\"FINISH\"\n");
    EXPECT_EQ(BlQAVOVolAddInitRunning(nullptr), 0);
    Progress("STEP=\"DISKINIT\"\n");  // the status query fails
    EXPECT_EQ(BlQAVOVolAddInitRunning(nullptr), 0);

    qtest::WriteFile(QAVO_VOLUME_REPAIR_PROGRESS, "STEP=\"MDSYNC\"\n");
    EXPECT_EQ(BlQAVOVolRepairRunning(nullptr), 1);
    qtest::WriteFile(QAVO_VOLUME_ADDDISK_PROGRESS, "STEP=\"VOLINIT\"\n");
    EXPECT_EQ(BlQAVOVolAddDiskRunning(nullptr), 1);
}

}  // namespace
