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

TEST(UsbCopyTask, PidFileMustNameTheDaemonAboveOne) {
    SetModel("yes");
    const std::string copyLog = "/tmp/copy.sigs", panelLog = "/tmp/panel.sigs",
                      otherLog = "/tmp/other.sigs";
    const pid_t copier = Recorder(copyLog, "qavousbcopy");
    const pid_t paneld = Recorder(panelLog, "paneld");
    // A live process of another name, as a stale pid file's number may name.
    const pid_t other = Recorder(otherLog, "smbd");
    ASSERT_GT(copier, 0);
    ASSERT_GT(paneld, 0);
    ASSERT_GT(other, 0);
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    struct {
        std::string content;  // "-": no file; "daemon": each file names its own daemon
        int running, cancel, signal;
    } cases[] = {
        {"-", -1, 0, 0},
        {"", -1, 0, 0},
        {"0\n", -1, 0, 0},
        {"-1\n", -1, 0, 0},
        {"1\n", -1, 0, 0},
        {"junk", -1, 0, 0},
        {std::to_string(gone) + "\n", 0, 0, -1},  // gone: the send fails
        {std::to_string(other) + "\n", 0, 0, 0},  // not the daemon: nobody is told
        {std::to_string(getpid()) + "\n", 0, 0, 0},
        {"daemon", 1, 0, 0},
    };
    auto place = [](const char *file, const std::string &content, pid_t daemon) {
        if (content == "-")
            qtest::RemoveFile(file);
        else
            WriteFile(file, content == "daemon" ? std::to_string(daemon) + "\n" : content);
    };
    for (const auto &c : cases) {
        place(SZF_USBCOPY_PID, c.content, copier);
        EXPECT_EQ(USBCOPYIsTaskRunning(), c.running) << c.content;
        EXPECT_EQ(USBCOPYCancelTask(), c.cancel) << c.content;
        // The same pid file contents at the front-panel daemon's place.
        place(SZF_PANELD_PID, c.content, paneld);
        EXPECT_EQ(USBCOPYSignalPaneld(USBCOPY_SIG_CAN_START), c.signal) << c.content;
    }
    // Only the daemons got anything: the copier SIGUSR2, paneld SIGUSR1.
    EXPECT_EQ(Signals(copyLog, 1), "12\n");
    EXPECT_EQ(Signals(panelLog, 1), "10\n");
    EXPECT_EQ(Signals(otherLog, 1), "");
    EXPECT_EQ(USBCOPYSignalPaneld(40), -1);
    Stop(copier);
    Stop(paneld);
    Stop(other);
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
        paneld_ = Recorder(kLog, "paneld");
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
