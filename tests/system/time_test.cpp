// Date and time: date checks, the hardware clock's bytes, day numbers, the
// NTP crontab line, zones and code pages.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_hw.h"
#include "qavo_time.h"
#include "qavobios.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

using qtest::Lines;

const char *kCrontab = "/etc/crontab";

void SetTZ(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
}

std::string Key(const char *path, const char *key) {
    char value[256] = "";
    SLIBFileGetKeyValue(path, key, value, sizeof(value), 0);
    return value;
}

// The first n runs after 2027-01-05 00:00 of a crontab line's time fields.
std::vector<std::string> CroniterRuns(const std::string &line, int n) {
    const char *script = R"(
import sys, datetime
from croniter import croniter
it = croniter(" ".join(sys.argv[1].split("\t")[:5]), datetime.datetime(2027, 1, 5))
for _ in range(int(sys.argv[2])):
    print(it.get_next(datetime.datetime).strftime("%Y-%m-%d %H:%M %a"))
)";
    std::string out;
    EXPECT_EQ(qtest::Exec({"/usr/bin/python3", "-c", script, line, std::to_string(n)}, &out), 0);
    return Lines(out);
}

std::string NtpLine() {
    for (auto &l : Lines(qtest::ReadFile(kCrontab)))
        if (l.find("/usr/sbin/ntpdate") != std::string::npos) return l;
    return {};
}

QAVONTPINFO Ntp(int enabled, const char *period, const char *server, const char *backup) {
    QAVONTPINFO n{};
    n.fEnabled = enabled;
    snprintf(n.szPeriod, sizeof(n.szPeriod), "%s", period);
    snprintf(n.szServer, sizeof(n.szServer), "%s", server);
    snprintf(n.szServerBackup, sizeof(n.szServerBackup), "%s", backup);
    return n;
}

}  // namespace

TEST(TimeSet, RefusesBadDates) {
    const int bad[][6] = {
        {2100, 2, 29, 0, 0, 0}, {2023, 2, 29, 0, 0, 0},     {2000, 4, 31, 0, 0, 0},
        {2001, 6, 31, 0, 0, 0}, {1999, 12, 31, 23, 59, 59}, {10000, 1, 1, 0, 0, 0},
        {2001, 0, 1, 0, 0, 0},  {2001, 13, 1, 0, 0, 0},     {2001, 1, 0, 0, 0, 0},
        {2001, 1, 32, 0, 0, 0}, {2001, 1, 1, 24, 0, 0},     {2001, 1, 1, -1, 0, 0},
        {2001, 1, 1, 0, 60, 0}, {2001, 1, 1, 0, 0, 60},
    };
    for (const auto &t : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOTimeSet(t), -1) << t[0] << "-" << t[1] << "-" << t[2];
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(QAVOTimeSet(nullptr), -1);
}

TEST(HWSetRTCTime, ClockBytes) {
    EXPECT_EQ(QAVOHWSetRTCTime(1000), 0);  // no driver: nothing to write
    qsim::Bios bios;
    SetTZ("UTC0");
    const struct {
        const char *when;  // UTC
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"2027-01-03 00:30:05", {0x05, 0x30, 0x12, 0x00, 0x03, 0x01, 0x27, 0}},
        {"2027-01-03 12:30:00", {0x00, 0x30, 0x32, 0x00, 0x03, 0x01, 0x27, 0}},
        {"2027-01-03 13:00:00", {0x00, 0x00, 0x21, 0x00, 0x03, 0x01, 0x27, 0}},
        {"2027-12-16 23:59:59", {0x59, 0x59, 0x31, 0x04, 0x16, 0x12, 0x27, 0}},
        {"2000-02-29 01:02:03", {0x03, 0x02, 0x01, 0x02, 0x29, 0x02, 0x00, 0}},
        {"2099-12-31 23:59:59", {0x59, 0x59, 0x31, 0x04, 0x31, 0x12, 0x99, 0}},
        {"2100-01-01 00:00:00", {}},  // two digits of year: nothing written
    };
    for (const auto &c : cases) {
        struct tm tm {};
        ASSERT_NE(strptime(c.when, "%Y-%m-%d %H:%M:%S", &tm), nullptr);
        bios.Control("clearjournal");
        EXPECT_EQ(QAVOHWSetRTCTime(timegm(&tm)), c.bytes.empty() ? -1 : 0) << c.when;
        auto journal = bios.Journal();
        if (c.bytes.empty()) {
            EXPECT_TRUE(journal.empty()) << c.when;
            continue;
        }
        ASSERT_EQ(journal.size(), 1u) << c.when;
        EXPECT_EQ(journal[0].request, QAVO_BIOS_RTC);
        EXPECT_EQ(journal[0].in, c.bytes) << c.when;
    }
    // The local time goes into the clock: half an hour past midnight UTC is
    // six in the morning in India.
    SetTZ(":Asia/Kolkata");
    bios.Control("clearjournal");
    EXPECT_EQ(QAVOHWSetRTCTime(1798504200), 0);  // 2026-12-29 00:30 UTC
    ASSERT_EQ(bios.Journal().size(), 1u);
    EXPECT_EQ(bios.Journal()[0].in[2], 0x06);
}

TEST(TimeDays, CalendarDaysInEveryZone) {
    // Days as calendar.timegm(date) // 86400 gives them.
    const struct {
        int date[3];
        int days;
    } cases[] = {
        {{1970, 1, 1}, 0},      {{1999, 12, 31}, 10956}, {{2000, 2, 29}, 11016},
        {{2027, 1, 15}, 20833}, {{2027, 7, 15}, 21014},  {{2038, 1, 19}, 24855},
        {{2100, 3, 1}, 47541},
    };
    for (const char *tz : {"UTC0", ":America/New_York", ":Asia/Tokyo", ":Australia/Sydney",
                           ":Asia/Kolkata", ":America/St_Johns", ":Pacific/Kiritimati"}) {
        SetTZ(tz);
        for (const auto &c : cases) {
            int days = -1;
            EXPECT_EQ(QAVOTimeDateToDays(&days, c.date), 0);
            EXPECT_EQ(days, c.days) << tz << " " << c.date[0] << "-" << c.date[1];
            int date[3] = {};
            EXPECT_EQ(QAVOTimeDaysToDate(c.days, date), 0);
            EXPECT_EQ(std::vector<int>(date, date + 3), std::vector<int>(c.date, c.date + 3))
                << tz << " " << c.days;
        }
    }
    int date[3];
    SLIBErrSet(0);
    EXPECT_EQ(QAVOTimeDaysToDate(-1, date), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOTimeDaysToDate(1, nullptr), -1);

    int t[6];
    SetTZ("UTC0");
    const time_t before = time(nullptr);
    ASSERT_EQ(QAVOTimeGetLocal(t), 0);
    struct tm tm {};
    tm.tm_year = t[0] - 1900, tm.tm_mon = t[1] - 1, tm.tm_mday = t[2];
    tm.tm_hour = t[3], tm.tm_min = t[4], tm.tm_sec = t[5];
    const time_t got = timegm(&tm);
    EXPECT_GE(got, before);
    EXPECT_LE(got, before + 2);
}

TEST(NTPSet, CrontabLineAndKeys) {
    qtest::WriteFile(kCrontab, "SHELL=/bin/sh\n");
    QAVONTPINFO got{};
    ASSERT_EQ(QAVONTPGet(&got), 1);  // nothing stored: off
    EXPECT_EQ(got.fEnabled, 0);
    EXPECT_STREQ(got.szServer, "");

    const struct {
        const char *period;
        std::vector<std::string> runs;
    } periods[] = {
        {"weekly", {"2027-01-10 00:00 Sun", "2027-01-17 00:00 Sun"}},
        {"monthly", {"2027-02-01 00:00 Mon", "2027-03-01 00:00 Mon"}},
        {"hourly", {"2027-01-06 00:00 Wed", "2027-01-07 00:00 Thu"}},
        {"daily", {"2027-01-06 00:00 Wed", "2027-01-07 00:00 Thu"}},
    };
    for (const auto &p : periods) {
        const QAVONTPINFO n = Ntp(1, p.period, "pool.ntp.example", "10.0.0.1");
        ASSERT_EQ(QAVONTPSet(&n), 1) << p.period;
        const std::string line = NtpLine();
        EXPECT_NE(line.find("\troot\t/usr/sbin/ntpdate -b pool.ntp.example 10.0.0.1"),
                  std::string::npos)
            << line;
        EXPECT_EQ(CroniterRuns(line, 2), p.runs) << p.period;
        ASSERT_EQ(QAVONTPGet(&got), 1);
        EXPECT_EQ(got.fEnabled, 1);
        EXPECT_STREQ(got.szPeriod, p.period);
        EXPECT_STREQ(got.szServer, "pool.ntp.example");
        EXPECT_STREQ(got.szServerBackup, "10.0.0.1");
    }
    EXPECT_EQ(Lines(qtest::ReadFile(kCrontab)).size(), 2u);  // one line, replaced

    // Two long names make a line far over 127 characters; it stays whole.
    const std::string a = std::string(50, 'a') + ".example", b = std::string(50, 'b') + ".example";
    const QAVONTPINFO lng = Ntp(1, "daily", a.c_str(), b.c_str());
    ASSERT_EQ(QAVONTPSet(&lng), 1);
    EXPECT_EQ(NtpLine(), "0\t0\t*\t*\t*\troot\t/usr/sbin/ntpdate -b " + a + " " + b);

    // Servers that are no host names change nothing.
    const std::string before = qtest::ReadFile(kCrontab);
    const std::string conf = qtest::ReadFile("/etc/qavoinfo.conf");
    for (const auto &n :
         {Ntp(1, "daily", "x; rm -rf /", ""), Ntp(1, "daily", "a.example", "$(reboot)"),
          Ntp(1, "daily", "", ""), Ntp(1, "daily", "-bad.example", ""), Ntp(0, "daily", "a b", ""),
          Ntp(1, "daily\n", "a.example", "")}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVONTPSet(&n), -1) << n.szServer;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(qtest::ReadFile(kCrontab), before);
    EXPECT_EQ(qtest::ReadFile("/etc/qavoinfo.conf"), conf);

    // The period is free text: the sourced settings file keeps it text.
    for (const char *period : {"$(reboot)", "\"`reboot`", "a\\\"$"}) {
        const QAVONTPINFO n = Ntp(1, period, "a.example", "");
        ASSERT_EQ(QAVONTPSet(&n), 1) << period;
        EXPECT_EQ(qtest::SourcedKey("/etc/qavoinfo.conf", "ntpdate_period"), period);
        ASSERT_EQ(QAVONTPGet(&got), 1);
        EXPECT_STREQ(got.szPeriod, period);
    }
    for (const auto &call : qtest::Calls())
        EXPECT_EQ(call.at(0).find("reboot"), std::string::npos);

    // NULL: everything off.
    ASSERT_EQ(QAVONTPSet(nullptr), 1);
    EXPECT_EQ(NtpLine(), "");
    EXPECT_EQ(Key("/etc/qavoinfo.conf", "run_ntpdate"), "no");
    EXPECT_EQ(Key("/etc/qavoinfo.conf", "ntpdate_server"), "");
    EXPECT_EQ(Key("/etc/qavoinfo.conf", "ntpdate_server_backup"), "");
    EXPECT_EQ(QAVONTPGet(nullptr), -1);
}

TEST(ZoneSet, RefusesNamesOutsideTheTable) {
    qtest::RemoveFile("/etc/TZ");
    qtest::RemoveFile("/etc/localtime");
    qtest::WriteFile("/etc/localtime", "old zone");
    const std::string conf = qtest::ReadFile("/etc/qavoinfo.conf");
    for (const char *zone : {"../../etc/shadow", "Europe/../../../etc/shadow", "./Europe/Paris",
                             "Europe//Paris", "/etc/shadow", "tztable", "Mars/Olympus", ""}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOZoneSet(zone, 0), -1) << zone;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS) << zone;
    }
    EXPECT_EQ(QAVOZoneSet(nullptr, 0), -1);
    EXPECT_EQ(qtest::ReadFile("/etc/localtime"), "old zone");
    EXPECT_FALSE(qtest::FileExists("/etc/TZ"));
    EXPECT_EQ(qtest::ReadFile("/etc/qavoinfo.conf"), conf);
}

TEST(ZoneGet, StoredZoneAndDaylightFlag) {
    int needed = 0;
    char buf[64];
    SLIBErrSet(0);
    EXPECT_EQ(QAVOZoneGet(nullptr, 0, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_NOT_FOUND);
    QAVOINFOSetKeyValue("timezone", "Asia/Kolkata");
    EXPECT_EQ(QAVOZoneGet(nullptr, 0, &needed), 0);
    EXPECT_EQ(needed, 13);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOZoneGet(buf, 12, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    EXPECT_EQ(QAVOZoneGet(buf, sizeof(buf), &needed), 0);
    EXPECT_STREQ(buf, "Asia/Kolkata");
    EXPECT_EQ(QAVOZoneGet(nullptr, 5, &needed), -1);
    EXPECT_EQ(QAVOZoneGet(buf, sizeof(buf), nullptr), -1);

    int flag = 7;
    EXPECT_EQ(QAVOZoneIsDayLightSaving(&flag), -1);  // no clock file
    mkdir("/etc/sysconfig", 0755);
    for (const auto &[text, expected] : std::map<std::string, int>{
             {"UTC=True\n", 1}, {"UTC=true\n", 1}, {"UTC=false\n", 0}, {"UTC=yes\n", 0}}) {
        qtest::WriteFile("/etc/sysconfig/clock", "ZONE=Timezone/Asia/Tokyo\n" + text);
        EXPECT_EQ(QAVOZoneIsDayLightSaving(&flag), 0);
        EXPECT_EQ(flag, expected) << text;
    }
    EXPECT_EQ(QAVOZoneIsDayLightSaving(nullptr), -1);
}

TEST(ZoneEnum, WholeTableAndDescriptions) {
    std::vector<std::string> keys;
    for (auto &l : Lines(qtest::ReadFile(QAVO_ZONE_TABLE)))
        keys.push_back(l.substr(0, l.find('=')));
    ASSERT_GT(keys.size(), 300u);
    int needed = 0;
    EXPECT_EQ(QAVOZoneEnum(nullptr, 0, &needed), 0);
    size_t text = 0;
    for (auto &k : keys)
        text += k.size() + 1;
    EXPECT_EQ(needed, static_cast<int>(text + sizeof(char *) * (keys.size() + 1)));
    std::vector<char *> buf(needed / sizeof(char *) + 1);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOZoneEnum(buf.data(), needed - 1, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    ASSERT_EQ(QAVOZoneEnum(buf.data(), needed, &needed), static_cast<int>(keys.size()));
    for (size_t i = 0; i < keys.size(); ++i)
        EXPECT_STREQ(buf[i], keys[i].c_str());
    EXPECT_EQ(buf[keys.size()], nullptr);

    char desc[64];
    EXPECT_EQ(QAVOZoneGetDesc("America/New_York", nullptr, 0, &needed), 0);
    EXPECT_EQ(needed, 17);
    EXPECT_EQ(QAVOZoneGetDesc("America/New_York", desc, 16, &needed), -1);
    EXPECT_EQ(QAVOZoneGetDesc("America/New_York", desc, sizeof(desc), &needed), 1);
    EXPECT_STREQ(desc, "America/New York");
    EXPECT_EQ(QAVOZoneGetDesc("Mars/Olympus", desc, sizeof(desc), &needed), -1);
    EXPECT_EQ(QAVOZoneGetDesc(nullptr, desc, sizeof(desc), &needed), -1);
}

TEST(CodePage, WindowsPageWithItsApplePage) {
    const struct {
        int index;
        const char *win, *apple;
    } sets[] = {{7, "932", "1932"}, {0, "8", "8"}, {14, "1253", "11253"}, {1, "437", "1437"}};
    for (const auto &s : sets) {
        EXPECT_EQ(QAVOCodePageSet(1, s.index), 1) << s.index;
        EXPECT_EQ(Key("/etc/qavoinfo.conf", "codepage"), s.win);
        EXPECT_EQ(Key("/etc/qavoinfo.conf", "codepage_apple"), s.apple);
        int index = -1;
        EXPECT_EQ(QAVOCodePageGet(1, &index), 1);
        EXPECT_EQ(index, s.index);
    }
    for (const auto &[which, index] :
         std::vector<std::pair<int, int>>{{1, 15}, {1, 19}, {1, -1}, {2, 1}, {8, 1}}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOCodePageSet(which, index), -1) << which << " " << index;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    }
    EXPECT_EQ(Key("/etc/qavoinfo.conf", "codepage"), "437");

    // Apple and EUC pages read as their counterparts.
    const struct {
        const char *stored;
        int index;
    } gets[] = {{"1932", 7}, {"11253", 14}, {"2932", 15}, {"950", 10}};
    for (const auto &g : gets) {
        QAVOINFOSetKeyValue("codepage_mediaservice", g.stored);
        int index = -1;
        EXPECT_EQ(QAVOCodePageGet(8, &index), 1) << g.stored;
        EXPECT_EQ(index, g.index) << g.stored;
    }
    int index = -1;
    QAVOINFOSetKeyValue("codepage", "1932");
    EXPECT_EQ(QAVOCodePageGet(1, &index), 1);
    EXPECT_EQ(index, 7);
    for (int which : {0, 3, 5, 6, 7, 9, 2}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOCodePageGet(which, &index), -1) << which;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS) << which;
    }
    EXPECT_EQ(QAVOCodePageGet(1, nullptr), -1);
}
