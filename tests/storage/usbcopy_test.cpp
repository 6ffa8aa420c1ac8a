// USB copy: the front port, the copy program's pid file, and the signals the
// front-panel daemon gets after a mount and when the destination changes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "eventlog_read.h"
#include "qavo_share.h"
#include "qavo_usbcopy.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "signal_recorder.h"

namespace {

using usim::Recorder;
using usim::Signals;
using usim::Stop;

using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

void SetModel(const char *usbcopy) {
    ASSERT_EQ(Sh("sed -i '/^usbcopy=/d' /etc.defaults/qavoinfo.conf"), 0);
    if (!usbcopy) return;
    ASSERT_EQ(Sh(std::string("echo 'usbcopy=\"") + usbcopy + "\"' >> /etc.defaults/qavoinfo.conf"),
              0);
}

// Event ids of the copy log, oldest first.
std::vector<uint32_t> CopyEvents() {
    return qtest::LogEventIds("/var/log/qavocopy.log");
}

TEST(UsbCopyPort, FrontPortByModel) {
    struct {
        const char *usbcopy;
        int port, want;
    } cases[] = {
        {"yes", 99, 1}, {"yes", 3, 0}, {"no", 99, 0}, {nullptr, 99, 1}, {"", 99, 1},
    };
    for (const auto &c : cases) {
        SetModel(c.usbcopy);
        QAVOUSB dev;
        memset(&dev, 0, sizeof dev);
        dev.port = c.port;
        EXPECT_EQ(USBCOPYIsDeviceAtFrontPort(&dev), c.want) << (c.usbcopy ? c.usbcopy : "-");
    }
    EXPECT_EQ(USBCOPYIsDeviceAtFrontPort(nullptr), -1);
}

TEST(UsbCopyTask, PidFileMustNameAProcessAboveOne) {
    SetModel("yes");
    const std::string log = "/tmp/copy.sigs";
    const pid_t copier = Recorder(log);
    ASSERT_GT(copier, 0);
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    struct {
        std::string content;  // "-": no file
        int running, cancel, signal;
    } cases[] = {
        {"-", -1, 0, 0},
        {"", -1, 0, 0},
        {"0\n", -1, 0, 0},
        {"-1\n", -1, 0, 0},
        {"1\n", -1, 0, 0},
        {"junk", -1, 0, 0},
        {std::to_string(gone) + "\n", 0, 0, -1},  // gone: the send fails
        {std::to_string(copier) + "\n", 1, 0, 0},
    };
    for (const auto &c : cases) {
        if (c.content == "-")
            qtest::RemoveFile(SZF_USBCOPY_PID);
        else
            WriteFile(SZF_USBCOPY_PID, c.content);
        EXPECT_EQ(USBCOPYIsTaskRunning(), c.running) << c.content;
        EXPECT_EQ(USBCOPYCancelTask(), c.cancel) << c.content;
        // The same pid file contents at the front-panel daemon's place.
        if (c.content == "-")
            qtest::RemoveFile(SZF_PANELD_PID);
        else
            WriteFile(SZF_PANELD_PID, c.content);
        EXPECT_EQ(USBCOPYSignalPaneld(USBCOPY_SIG_CAN_START), c.signal) << c.content;
    }
    // Only the live copier got anything: SIGUSR2, then SIGUSR1 as "paneld".
    // (Both may be pending at once; the order of delivery is the kernel's.)
    const std::string got = Signals(log, 2);
    EXPECT_TRUE(got == "12\n10\n" || got == "10\n12\n") << got;
    EXPECT_EQ(USBCOPYSignalPaneld(40), -1);
    Stop(copier);
}

class UsbCopyTrigger : public ::testing::Test {
  protected:
    void SetUp() override {
        SetModel("yes");
        ASSERT_EQ(Sh("mkdir -p /volume1/public /volumeUSB1/usbshare && "
                     "mount -t tmpfs -o size=1M tmpfs /volume1/public && "
                     "mount -t tmpfs -o size=4M tmpfs /volumeUSB1/usbshare"),
                  0);
        WriteFile(SZF_QAVO_SMB_CONF,
                  "[global]\n\tsecurity=user\n"
                  "[public]\n\tpath=/volume1/public\n\tguest ok=yes\n\twriteable=yes\n");
        ASSERT_EQ(QAVOINFOSetKeyValue("usbcopyfolder", "public"), 0);
        paneld_ = Recorder(kLog);
        ASSERT_GT(paneld_, 0);
        WriteFile(SZF_PANELD_PID, std::to_string(paneld_) + "\n");
        memset(&vol_, 0, sizeof vol_);
        strcpy(vol_.szMountPoint, "/volumeUSB1/usbshare");
        strcpy(vol_.szSharePath, "/volumeUSB1/usbshare");
        strcpy(vol_.szFileSystem, "vfat");
    }
    void TearDown() override { Stop(paneld_); }
    // Data on the source volume, in KiB.
    static void SourceData(int kib) {
        ASSERT_EQ(Sh("rm -f /volumeUSB1/usbshare/d && dd if=/dev/zero "
                     "of=/volumeUSB1/usbshare/d bs=1K count=" +
                     std::to_string(kib) + " 2>/dev/null"),
                  0);
    }
    const std::string kLog = "/tmp/paneld.sigs";
    pid_t paneld_ = 0;
    QAVOUSBVOLINFO vol_;
};

TEST_F(UsbCopyTrigger, EqualSizesStartAfterAMountButNotOnAChange) {
    SourceData(1024);  // exactly the destination's free space
    ASSERT_EQ(USBCOPYStartIfFits("sdb", &vol_), 0);
    EXPECT_EQ(Signals(kLog, 1), "10\n");
    char v[64] = "";
    SLIBFileGetKeyValue("/tmp/usbdiskapplying", "usbcopydev", v, sizeof v, 0);
    EXPECT_STREQ(v, "sdb");
    SLIBFileGetKeyValue("/tmp/usbdiskapplying", "usbcopypath", v, sizeof v, 0);
    EXPECT_STREQ(v, "/volumeUSB1/usbshare");

    // The same equality when the destination is set again: 12.
    ASSERT_EQ(USBCopySetDestFolder("public"), 0);
    EXPECT_EQ(Signals(kLog, 2), "10\n12\n");
    SourceData(512);
    ASSERT_EQ(USBCopySetDestFolder("public"), 0);
    EXPECT_EQ(Signals(kLog, 3), "10\n12\n10\n");

    // One page more than fits: an event and no signal.
    SourceData(1028);
    EXPECT_EQ(USBCOPYStartIfFits("sdb", &vol_), -1);
    EXPECT_EQ(CopyEvents(), (std::vector<uint32_t>{USBCOPY_EVENT_NO_SPACE}));
    usleep(100000);
    EXPECT_EQ(Signals(kLog, 3), "10\n12\n10\n");

    // No destination share at all.
    WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tsecurity=user\n");
    EXPECT_EQ(USBCOPYStartIfFits("sdb", &vol_), -1);
    EXPECT_EQ(CopyEvents().back(), static_cast<uint32_t>(USBCOPY_EVENT_DEST_UNREADABLE));
    EXPECT_EQ(USBCOPYStartIfFits(nullptr, &vol_), -1);
}

TEST_F(UsbCopyTrigger, NoSignalWithoutTheModelsYes) {
    SetModel(nullptr);
    SourceData(4);
    ASSERT_EQ(USBCOPYStartIfFits("sdb", &vol_), 0);
    ASSERT_EQ(USBCopySetDestFolder(""), 0);
    usleep(100000);
    EXPECT_FALSE(qtest::FileExists(kLog));
}

TEST_F(UsbCopyTrigger, WithoutAPendingDiskTheCameraToolIsAsked) {
    qtest::InstallStandin("/usr/qavo/bin/qavousbcam");
    qtest::ClearCalls();
    ASSERT_EQ(USBCopySetDestFolder("public"), 0);
    const auto calls = qtest::Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"/usr/qavo/bin/qavousbcam", "--detect"}));
    // Whatever the tool answers, "paneld" gets nothing.
    usleep(100000);
    EXPECT_FALSE(qtest::FileExists(kLog));
}

}  // namespace
