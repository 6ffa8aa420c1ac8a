// Setting the clock and the zone: what reaches the kernel (answered and
// recorded by the kernel shim, never the machine's clock), the hardware
// clock and the zone files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_hw.h"
#include "qavo_time.h"
#include "qavobios.h"
#include "qavosim.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

void SetTZ(const char *tz) {
    if (tz)
        setenv("TZ", tz, 1);
    else
        unsetenv("TZ");
    tzset();
}

std::string Python(const std::string &script, const std::vector<std::string> &args) {
    std::vector<std::string> argv{"/usr/bin/python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    EXPECT_EQ(qtest::Exec(argv, &out), 0) << script;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// The clock calls the shim recorded since the last look.
std::vector<std::string> ClockCalls() {
    std::vector<std::string> out;
    for (auto &l : qsim::KernelLog())
        if (l.rfind("settimeofday", 0) == 0 || l.rfind("clock_settime", 0) == 0 ||
            l.rfind("stime", 0) == 0)
            out.push_back(l);
    qtest::RemoveFile("/sim/kernel.log");
    return out;
}

}  // namespace

TEST(TimeSet, SetsTheClockInTheLocalZone) {
    qsim::Appliance hw("clock ok");
    qsim::Bios bios;
    const struct {
        const char *zone;
        int t[6];
    } cases[] = {
        {"Europe/Paris", {2027, 7, 15, 12, 30, 0}},
        {"Europe/Paris", {2027, 1, 15, 0, 30, 0}},
        {"Asia/Kolkata", {2000, 2, 29, 23, 59, 59}},
        {"America/New_York", {2027, 3, 14, 3, 30, 0}},
        {"Australia/Adelaide", {2027, 10, 3, 1, 5, 9}},
        {"America/St_Johns", {2099, 12, 31, 23, 0, 0}},
    };
    const char *convert = R"(
import sys, datetime, zoneinfo
y, mo, d, h, mi, s = map(int, sys.argv[2:8])
print(int(datetime.datetime(y, mo, d, h, mi, s, tzinfo=zoneinfo.ZoneInfo(sys.argv[1])).timestamp()))
)";
    for (const auto &c : cases) {
        SetTZ((std::string(":") + c.zone).c_str());
        ClockCalls();
        bios.Control("clearjournal");
        ASSERT_EQ(QAVOTimeSet(c.t), 0) << c.zone;
        std::vector<std::string> args{c.zone};
        for (int v : c.t)
            args.push_back(std::to_string(v));
        const std::string when = Python(convert, args);
        EXPECT_EQ(ClockCalls(),
                  std::vector<std::string>{"settimeofday " + when + ".000000 tz - -> 0"})
            << c.zone;
        // The hardware clock gets the same local time.
        auto journal = bios.Journal();
        ASSERT_EQ(journal.size(), 1u) << c.zone;
        const int h12 = c.t[3] % 12 == 0 ? 12 : c.t[3] % 12;
        const auto bcd = [](int v) { return static_cast<uint8_t>((v / 10) << 4 | (v % 10)); };
        EXPECT_EQ(journal[0].in[2], bcd(h12) + (c.t[3] >= 12 ? 0x20 : 0)) << c.zone;
        EXPECT_EQ(journal[0].in[4], bcd(c.t[2]));
        EXPECT_EQ(journal[0].in[5], bcd(c.t[1]));
        EXPECT_EQ(journal[0].in[6], bcd(c.t[0] - 2000));
    }

    // A year after 2099 sets the system clock but writes no hardware clock.
    SetTZ("UTC0");
    bios.Control("clearjournal");
    const int y2100[6] = {2100, 1, 1, 0, 0, 0};
    EXPECT_EQ(QAVOTimeSet(y2100), 0);
    EXPECT_EQ(ClockCalls(), std::vector<std::string>{"settimeofday 4102444800.000000 tz - -> 0"});
    EXPECT_TRUE(bios.Journal().empty());
}

TEST(TimeSet, RefusedClockIsReported) {
    qsim::Appliance hw("clock errno 1");
    qsim::Bios bios;
    SetTZ("UTC0");
    const int t[6] = {2027, 1, 1, 0, 0, 0};
    SLIBErrSet(0);
    EXPECT_EQ(QAVOTimeSet(t), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_EXEC_FAILED);
    EXPECT_TRUE(bios.Journal().empty());
}

TEST(ZoneSet, CopiesTheZoneAndTellsTheKernel) {
    qsim::Appliance hw("clock ok");
    mkdir("/etc/sysconfig", 0755);
    SetTZ(nullptr);
    // A link left at /etc/localtime is replaced, never written through.
    qtest::WriteFile("/etc/zone.target", "keep me");
    ASSERT_EQ(symlink("/etc/zone.target", "/etc/localtime"), 0);
    const char *west = R"(
import os, sys, time
os.environ["TZ"] = ":" + sys.argv[1]
time.tzset()
print(time.timezone // 60)
)";
    const struct {
        const char *zone;
        int daylight;
    } cases[] = {{"Asia/Kolkata", 0},
                 {"America/New_York", 1},
                 {"Australia/Adelaide", 1},
                 {"America/St_Johns", 0}};
    for (const auto &c : cases) {
        ClockCalls();
        const std::string file = std::string(QAVO_ZONE_DIR) + c.zone;
        ASSERT_EQ(QAVOZoneSet(c.zone, c.daylight), 1) << c.zone;
        EXPECT_EQ(qtest::ReadFile("/etc/localtime"), qtest::ReadFile(file)) << c.zone;
        char tz[80] = "";
        SLIBFileGetKeyValue(QAVO_ZONE_LIST, c.zone, tz, sizeof(tz), 0);
        EXPECT_EQ(qtest::ReadFile("/etc/TZ"), std::string(tz) + "\n");
        EXPECT_EQ(qtest::ReadFile("/etc/sysconfig/clock"),
                  std::string("ZONE=Timezone/") + c.zone +
                      "\nUTC=" + (c.daylight ? "true" : "false") + "\nARC=false\n");
        int flag = -1;
        EXPECT_EQ(QAVOZoneIsDayLightSaving(&flag), 0);
        EXPECT_EQ(flag, c.daylight);
        char zone[64];
        int needed;
        EXPECT_EQ(QAVOZoneGet(zone, sizeof(zone), &needed), 0);
        EXPECT_STREQ(zone, c.zone);
        EXPECT_EQ(ClockCalls(),
                  std::vector<std::string>{"settimeofday - tz " + Python(west, {file}) + " 0 -> 0"})
            << c.zone;
        // The process's own zone is the new one, its TZ setting untouched.
        EXPECT_EQ(getenv("TZ"), nullptr);
        EXPECT_EQ(timezone / 60, std::stol(Python(west, {file}))) << c.zone;
    }
    struct stat st;
    ASSERT_EQ(lstat("/etc/localtime", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(qtest::ReadFile("/etc/zone.target"), "keep me");

    // Without the folder of the clock file the change is reported.
    qtest::Sh("rm -rf /etc/sysconfig");
    EXPECT_EQ(QAVOZoneSet("Asia/Tokyo", 0), -1);
}
