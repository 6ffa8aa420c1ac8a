// USB printer: the [printers] share and its "/tmp/usbtab" line, the device ID
// and what the printer claims about its length, the PostScript test, the
// check for a different printer, the spool, and the AppleTalk printer start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../accounts/samba_check.h"
#include "appliance.h"
#include "qavo_printer.h"
#include "qavosim.h"
#include "signal_recorder.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_section.h"

namespace {

using qtest::ReadFile;
using qtest::WriteFile;

constexpr const char *kSmbConf = "/usr/qavo/etc/smb.conf";
constexpr const char *kUsbPath = "/proc/bus/usb/001/003";
constexpr const char *kPsId = "MFG:Acme;CMD:PCL,POSTSCRIPT;MDL:Laser 9;";

// Attaches printer lp0 answering the ID text, with state lines for the shim.
void Attach(const std::string &id, const std::string &state = "") {
    ASSERT_EQ(qtest::Exec({"/bin/mkdir", "-p", "/dev/usb", "/sim/printer"}), 0);
    WriteFile("/dev/usb/lp0", "");
    WriteFile("/sim/printer/lp0.id", id);
    WriteFile("/sim/printer/lp0.state", state);
}

// The node is gone: no ID can be read.
void Unplug() {
    qtest::RemoveFile("/dev/usb/lp0");
}

int Count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

int CallsOf(const std::string &program) {
    int n = 0;
    for (const auto &call : qtest::Calls())
        if (!call.empty() && call[0] == program) ++n;
    return n;
}

// True when another process could take the USB number lock now.
bool UsbLockFree() {
    return qtest::Exec({"/usr/bin/flock", "-n", "/tmp/lock/lock_usbidmap", "/bin/true"}) == 0;
}

double SecondsOf(const std::function<void()> &f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int CountLog(const std::string &text) {
    int n = 0;
    for (const auto &m : qtest::Syslog())
        if (m.message.find(text) != std::string::npos) ++n;
    return n;
}

std::string StoredId() {
    char buf[QAVO_PRINTER_ID_MAX + 1] = "";
    if (SLIBFileGetKeyValue(SZF_USB_INFO, SZK_PRINTER_ID, buf, sizeof buf, 0) <= 0) return "-";
    return buf;
}

TEST(PrinterShare, EnableTwiceThenDisable) {
    Attach(kPsId);
    WriteFile("/tmp/usbtab", "sdb=\"/proc/bus/usb/001/002\"\n");
    EXPECT_EQ(QAVOPrinterEnableExt(1, "lp0", kUsbPath), 1);
    EXPECT_EQ(QAVOPrinterEnableExt(1, "lp0", kUsbPath), 0);
    EXPECT_TRUE(qtest::SyslogHas("ErrSLIBFileAddSection failed.(section already exists.)"));
    const std::string conf = ReadFile(kSmbConf);
    EXPECT_EQ(Count(conf, "[printers]"), 1);
    EXPECT_NE(conf.find("\tprint command = /usr/qavo/bin/lpr -P%p %s\n"), std::string::npos);
    EXPECT_EQ(BlQAVOPrinterSectionIsValid(), 1);
    std::string report;
    EXPECT_EQ(qtest::Testparm(kSmbConf, &report), 0) << report;
    EXPECT_EQ(ReadFile("/tmp/usbtab"),
              "sdb=\"/proc/bus/usb/001/002\"\nlp0=\"/proc/bus/usb/001/003\"\n");
    // Enabling tells the kernel the printer is in use, disabling that it is not.
    const auto log = qsim::KernelLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "lp0 0x40005008 arg 0 -> 0"), 2);
    EXPECT_TRUE(UsbLockFree());

    EXPECT_EQ(QAVOPrinterEnableExt(0, "lp0", nullptr), 1);
    EXPECT_EQ(ReadFile(kSmbConf).find("[printers]"), std::string::npos);
    EXPECT_EQ(ReadFile("/tmp/usbtab"), "sdb=\"/proc/bus/usb/001/002\"\n");
    const auto after = qsim::KernelLog();
    EXPECT_EQ(std::count(after.begin(), after.end(), "lp0 0x40005007 arg 1 -> 0"), 1);
    EXPECT_EQ(QAVOPrinterEnableExt(0, nullptr, nullptr), 0);
    EXPECT_TRUE(qtest::SyslogHas("ErrSLIBFileRemoveSection failed.(section can't remove.)"));
    EXPECT_EQ(BlQAVOPrinterSectionIsValid(), 0);
}

// Every way out of the enable leaves the USB number lock free.
TEST(PrinterShare, RefusalsReleaseTheLock) {
    Attach(kPsId);
    ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_USBIDMAP | SLIB_LOCK_EX, 0), 0);
    ASSERT_FALSE(UsbLockFree());  // the probe sees a held lock
    ASSERT_EQ(SLIBErrSLIBFileUnlock(SLIB_LOCK_USBIDMAP), 0);
    struct Case {
        int on;
        const char *device;
        const char *usbPath;
        SLIBERRCODE code;
    } cases[] = {
        {0, "lp0", nullptr, 0},              // no "/tmp/usbtab" line to remove
        {1, "lp0", "", ERR_BAD_PARAMETERS},  // no USB path
        {1, "lp0", nullptr, ERR_BAD_PARAMETERS},
        {1, "lp0\nsda", kUsbPath, ERR_BAD_PARAMETERS},
        {2, "lp0", kUsbPath, ERR_BAD_PARAMETERS},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOPrinterEnableExt(c.on, c.device, c.usbPath), -1) << c.on << " " << c.device;
        if (c.code) {
            EXPECT_EQ(SLIBErrGet(), c.code);
        }
        EXPECT_TRUE(UsbLockFree());
    }
    EXPECT_FALSE(qtest::FileExists("/tmp/usbtab") &&
                 ReadFile("/tmp/usbtab").find("lp0") != std::string::npos);
    EXPECT_EQ(ReadFile(kSmbConf).find("[printers]"), std::string::npos);
}

TEST(PrinterShare, IncompleteSectionIsNotValid) {
    std::string conf = ReadFile(kSmbConf);
    WriteFile(kSmbConf, conf + "[printers]\n\tpath = /volume1/@spool\n\tprintable = yes\n");
    EXPECT_EQ(BlQAVOPrinterSectionIsValid(), 0);
    EXPECT_TRUE(qtest::SyslogHas("Section [Printers] should contain 15 entries.[2]"));
}

// The stored ID says whether the printer is the one whose Windows drivers
// are kept.
TEST(PrinterChange, DriversDroppedOnlyForAnotherPrinter) {
    const std::string clear = "/usr/qavo/bin/QAVOClearTdb";
    struct Step {
        const char *id;  // nullptr: the printer answers no ID
        bool cleared;
        bool mismatch;       // logged as another printer
        const char *stored;  // "-": no value
    } steps[] = {
        {kPsId, true, false, kPsId},   // first printer ever
        {kPsId, false, false, kPsId},  // the same one again
        {"MFG:Acme;CMD:PCL;MDL:Ink 2;  \r\n", true, true, "MFG:Acme;CMD:PCL;MDL:Ink 2;"},
        {"MFG:Acme;CMD:PCL;MDL:Ink 2;  \r\n", false, false, "MFG:Acme;CMD:PCL;MDL:Ink 2;"},
        {nullptr, true, true, "-"},  // unreadable: cleared, an empty ID kept
        {nullptr, true, false, "-"},
        {kPsId, true, false, kPsId},
    };
    Attach(kPsId);
    for (const Step &s : steps) {
        if (s.id)
            Attach(s.id);
        else
            Unplug();
        qtest::ClearCalls();
        qtest::ClearSyslog();
        EXPECT_EQ(QAVOPrinterEnableExt(1, "lp0", kUsbPath), 1);
        EXPECT_EQ(CallsOf(clear), s.cleared ? 1 : 0) << (s.id ? s.id : "(none)");
        EXPECT_EQ(qtest::SyslogHas("printer driver infomation cleared."), s.cleared);
        EXPECT_EQ(qtest::SyslogHas("printer id not match with previous"), s.mismatch);
        EXPECT_EQ(StoredId(), s.stored);
        if (!s.id) {
            EXPECT_NE(ReadFile(SZF_USB_INFO).find("printer_id=\n"), std::string::npos);
        }
        EXPECT_EQ(QAVOPrinterEnableExt(0, "lp0", nullptr), 1);
    }
    for (const auto &call : qtest::Calls()) {
        if (call[0] == clear) {
            EXPECT_EQ(call, (std::vector<std::string>{clear, "/var/run/ntprinters.tdb"}));
        }
    }
}

TEST(PrinterId, PostScriptIsReadFromTheCommandField) {
    struct Case {
        const char *id;
        int expected;
    } cases[] = {
        {"MFG:Acme;CMD:PCL,POSTSCRIPT;MDL:Laser 9;", 1},
        {"MFG:Acme;CMD:PCL;DES:Laser with POSTSCRIPT option;", 0},
        {"MFG:Acme;CMD:PCL,postscript;", 0},
        {"MFG:Acme;MDL:Ink 2;", 0},
        {"CMD:POSTSCRIPT", 1},
    };
    for (const Case &c : cases) {
        Attach(c.id);
        EXPECT_EQ(QAVOPrinterSupportPostScript("lp0"), c.expected) << c.id;
    }
    EXPECT_TRUE(qtest::SyslogHas("USB DEVICE_ID does not contain [CMD:]: [MFG:Acme;MDL:Ink 2;]"));
    EXPECT_TRUE(qtest::SyslogHas("/dev/usb/lp0 support commands: PCL,POSTSCRIPT [1]") ||
                qtest::SyslogHas("lp0 support commands: PCL,POSTSCRIPT [1]"));
    Unplug();
    EXPECT_EQ(QAVOPrinterSupportPostScript("lp0"), -1);
    EXPECT_EQ(QAVOPrinterSupportPostScript(nullptr), -1);
    EXPECT_EQ(QAVOPrinterSupportPostScript("lp1"), -1);  // no such node
}

// What the printer claims about its ID's length never takes the copy out of
// the answer or the caller's buffer (ASan watches both).
TEST(PrinterId, LengthsTheDeviceClaims) {
    const std::string long300(300, 'x');
    const std::string long5000 = "MFG:Acme;" + std::string(4991, 'y');
    struct Case {
        std::string id;
        std::string state;
        int size;
        int expected;
        std::string text;
    } cases[] = {
        {kPsId, "", 4095, 0, kPsId},
        {kPsId, "length 0\n", 64, 0, ""},
        {kPsId, "length 1\n", 64, 0, ""},
        {kPsId, "length 5\n", 64, 0, "MFG"},
        {"MFG:Acme;", "length 5000\n", 64, 0, "MFG:Acme;"},
        {long300, "", 100, 302, long300.substr(0, 99)},
        {long300.substr(0, 99), "", 100, 0, long300.substr(0, 99)},
        {long300, "", 1, 302, ""},
        // Longer than the 4095-byte answer: what arrived, 4093 characters.
        {long5000, "", 4095, 0, long5000.substr(0, 4093)},
        {long5000, "", 100, 4095, long5000.substr(0, 99)},
    };
    for (const Case &c : cases) {
        Attach(c.id, c.state);
        std::vector<char> buf(static_cast<size_t>(c.size), '#');
        EXPECT_EQ(QAVOPrinterGetID("lp0", buf.data(), c.size), c.expected) << c.state << c.size;
        EXPECT_EQ(std::string(buf.data()), c.text) << c.state << c.size;
    }
    char one[8];
    SLIBErrSet(0);
    EXPECT_EQ(QAVOPrinterGetID("lp0", one, 0), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOPrinterGetID("lp0", nullptr, 8), -1);
    EXPECT_EQ(QAVOPrinterGetID(nullptr, one, 8), -1);
    EXPECT_TRUE(qtest::SyslogHas("parameter is NULL"));
    // A name is never cut or walked out of /dev/usb into another node.
    for (const char *bad : {"../sda", "lp0/x", "lp00000", ""}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOPrinterGetID(bad, one, 8), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS) << bad;
    }
}

TEST(PrinterId, BusyPrinterIsRetried) {
    Attach(kPsId, "busy 2\nidfail 1\n");
    char buf[128];
    const double twice = SecondsOf([&] { EXPECT_EQ(QAVOPrinterGetID("lp0", buf, sizeof buf), 0); });
    EXPECT_STREQ(buf, kPsId);
    EXPECT_GE(twice, 2.5);  // two busy opens, one failed request
    EXPECT_LT(twice, 6.0);
    EXPECT_TRUE(qtest::SyslogHas("/dev/usb/lp0 device busy, retring..."));
    EXPECT_TRUE(
        qtest::SyslogHas("ioctl LPIOC_GET_DEVICE_ID error:(5) Input/output error, retry: 1"));

    Attach(kPsId, "busy 9\n");
    qtest::ClearSyslog();
    const double nine = SecondsOf([&] { EXPECT_EQ(QAVOPrinterGetID("lp0", buf, sizeof buf), -1); });
    EXPECT_GE(nine, 7.5);
    EXPECT_LT(nine, 10.0);
    EXPECT_TRUE(qtest::SyslogHas("/dev/usb/lp0 device open fail reach max, abort."));
    const auto log = qsim::KernelLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "lp0 open -> -1 errno 16"), 11);
    EXPECT_EQ(CountLog("device busy, retring..."), 8);  // none after the last
}

TEST(PrinterSpool, CleanEmptiesQueueAndSpool) {
    ASSERT_EQ(qtest::Exec({"/bin/mkdir", "-p", SZF_PRINTER_SPOOL}), 0);
    WriteFile(SZF_PRINTER_SPOOL "/job1.ps", "%!PS\n");
    WriteFile(SZF_PRINTER_SPOOL "/job2.pcl", "x");
    EXPECT_EQ(QAVOPrinterCleanSpool(), 0);
    EXPECT_FALSE(qtest::FileExists(SZF_PRINTER_SPOOL "/job1.ps"));
    EXPECT_FALSE(qtest::FileExists(SZF_PRINTER_SPOOL "/job2.pcl"));
    EXPECT_EQ(CallsOf("/usr/qavo/bin/lprm"), 1);
    // A failing queue tool is reported; the spool is still emptied.
    qtest::SetStandinStatus("lprm", 1);
    WriteFile(SZF_PRINTER_SPOOL "/job3.ps", "%!PS\n");
    EXPECT_EQ(QAVOPrinterCleanSpool(), 0);
    EXPECT_TRUE(qtest::SyslogHas("lprm all failed."));
    EXPECT_FALSE(qtest::FileExists(SZF_PRINTER_SPOOL "/job3.ps"));
}

// ---- the AppleTalk printer daemon ----

constexpr const char *kStartApple = "/var/tmp/startapple";

bool PrinterDaemonStarted() {
    for (const auto &call : qtest::Calls()) {
        if (call[0] != "/usr/qavo/sbin/papd") continue;
        EXPECT_EQ(call,
                  (std::vector<std::string>{"/usr/qavo/sbin/papd", "-f", "/usr/qavo/etc/papd.conf",
                                            "-p", "/usr/qavo/etc/printcap"}));
        return true;
    }
    return false;
}

void StartAppleTalk() {
    ASSERT_EQ(qtest::Exec({"/bin/mkdir", "-p", "/var/tmp"}), 0);
    ASSERT_EQ(qtest::Exec({"/usr/qavo/sbin/atalkd"}), 0);
    ASSERT_TRUE(qtest::FileExists("/var/run/atalkd.pid"));
}

TEST(ApplePrinterStart, WithoutAppleTalkLeavesTheMarker) {
    Attach(kPsId);
    // A stale pid file whose number now names a live process of another name.
    const pid_t other = usim::Recorder("/tmp/other.sigs", "smbd");
    ASSERT_GT(other, 0);
    struct Case {
        std::string pidFile;  // "-": none
    } cases[] = {{"-"}, {"999999\n"}, {"1\n"}, {"junk\n"}, {std::to_string(other) + "\n"}};
    const mode_t old = umask(077);
    for (const Case &c : cases) {
        qtest::RemoveFile("/tmp/start_papd");
        if (c.pidFile != "-")
            WriteFile("/var/run/atalkd.pid", c.pidFile);
        else
            qtest::RemoveFile("/var/run/atalkd.pid");
        QAVOStartupPapd("lp0");
        struct stat st {};
        ASSERT_EQ(stat("/tmp/start_papd", &st), 0) << c.pidFile;
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(st.st_size, 0);
    }
    umask(old);
    usim::Stop(other);
    EXPECT_FALSE(PrinterDaemonStarted());
}

TEST(ApplePrinterStart, NotForPrintersWithoutPostScript) {
    Attach("MFG:Acme;CMD:PCL;");
    StartAppleTalk();
    QAVOStartupPapd("lp0");
    EXPECT_FALSE(qtest::FileExists("/tmp/start_papd"));
    EXPECT_FALSE(PrinterDaemonStarted());
}

TEST(ApplePrinterStart, WaitsForTheAppleTalkStartup) {
    Attach(kPsId);
    StartAppleTalk();
    WriteFile(kStartApple, "");
    std::thread done([] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        qtest::RemoveFile(kStartApple);
    });
    const double waited = SecondsOf([] { QAVOStartupPapd("lp0"); });
    done.join();
    EXPECT_GE(waited, 2.0);
    EXPECT_LT(waited, 6.0);
    EXPECT_TRUE(PrinterDaemonStarted());
    EXPECT_TRUE(qtest::FileExists("/var/run/papd.pid"));
    EXPECT_FALSE(qtest::FileExists("/tmp/start_papd"));
}

// A marker the AppleTalk start-up left behind holds papd's start (and the
// batch mount, which calls it under the USB number lock) for a bounded time.
TEST(ApplePrinterStart, StaleStartupMarkerEndsAtTheBound) {
    Attach(kPsId);
    StartAppleTalk();
    WriteFile(kStartApple, "");
    qtest::FastTime();
    const double waited = SecondsOf([] { QAVOStartupPapd("lp0"); });
    EXPECT_GE(waited, 55.0);
    EXPECT_LT(waited, 90.0);
    EXPECT_FALSE(PrinterDaemonStarted());
    EXPECT_TRUE(qtest::SyslogHas("/var/tmp/startapple still there after 60 s, papd not started"));
    EXPECT_TRUE(UsbLockFree());
}

}  // namespace
