// Crontab schedules: lines written from records, read back, replaced and
// removed, and the cron daemon's reread signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_sys.h"
#include "slib_errcode.h"

namespace {

using qtest::Lines;

const char *kCrontab = "/etc/crontab";
const std::string kHead = "SHELL=/bin/sh\n# m h dom mon dow user command\n";

QAVOSCHEDULE Schedule(uint32_t mask, int hour, int interval, int last, int minute,
                      const std::string &cmd) {
    QAVOSCHEDULE s{};
    s.ulWeekdayMask = mask;
    s.nHour = hour;
    s.nInterval = interval;
    s.nLastHour = last;
    s.nMinute = minute;
    snprintf(s.szCommand, sizeof(s.szCommand), "%s", cmd.c_str());
    return s;
}

// Runs of the first five fields of a crontab line over 14 days from
// 2027-01-03 00:00 (a Sunday), as croniter computes them: "YYYY-mm-dd HH:MM w".
std::vector<std::string> CroniterRuns(const std::string &line) {
    const char *script = R"(
import sys, datetime
from croniter import croniter
expr = " ".join(sys.argv[1].split("\t")[:5])
start = datetime.datetime(2027, 1, 3) - datetime.timedelta(seconds=1)
it = croniter(expr, start)
end = datetime.datetime(2027, 1, 17)
while True:
    t = it.get_next(datetime.datetime)
    if t >= end:
        break
    print(t.strftime("%Y-%m-%d %H:%M %w"))
)";
    std::string out;
    EXPECT_EQ(qtest::Exec({"/usr/bin/python3", "-c", script, line}, &out), 0) << line;
    return Lines(out);
}

// The same runs computed from the record.
std::vector<std::string> RecordRuns(const QAVOSCHEDULE &s) {
    std::vector<std::string> out;
    for (int day = 0; day < 14; ++day) {
        if (!(s.ulWeekdayMask & (1u << (day % 7)))) continue;
        const int step = s.nInterval ? s.nInterval : 24;
        for (int h = s.nHour; h <= (s.nInterval ? s.nLastHour : s.nHour); h += step) {
            char buf[32];
            snprintf(buf, sizeof(buf), "2027-01-%02d %02d:%02d %d", 3 + day, h, s.nMinute, day % 7);
            out.push_back(buf);
        }
    }
    return out;
}

// A stand-in cron daemon: a process that counts the SIGHUPs it gets in
// /tmp/crond.hups and writes its pid file.
struct Crond {
    pid_t pid = -1;
    Crond() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGHUP);
        sigaddset(&set, SIGTERM);
        unlink("/tmp/crond.hups");
        unlink("/tmp/crond.ready");
        pid = fork();
        if (pid == 0) {
            sigprocmask(SIG_BLOCK, &set, nullptr);
            prctl(PR_SET_NAME, "crond");  // the daemon its pid file belongs to
            FILE *ready = fopen("/tmp/crond.ready", "w");
            if (ready) fclose(ready);
            for (;;) {
                int sig = 0;
                sigwait(&set, &sig);
                if (sig != SIGHUP) _exit(0);
                FILE *f = fopen("/tmp/crond.hups", "a");
                if (f) fputs("HUP\n", f), fclose(f);
            }
        }
        while (!qtest::FileExists("/tmp/crond.ready"))
            usleep(1000);
        qtest::WriteFile("/var/run/crond.pid", std::to_string(pid) + "\n");
    }
    ~Crond() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    size_t Count() const {
        return qtest::FileExists("/tmp/crond.hups")
                   ? Lines(qtest::ReadFile("/tmp/crond.hups")).size()
                   : 0;
    }
    // SIGHUPs received so far: waits up to 3 s for the expected count, then
    // a little longer for any surplus.
    size_t Hups(size_t expected) const {
        for (int i = 0; i < 300 && Count() < expected; ++i)
            usleep(10 * 1000);
        usleep(100 * 1000);
        return Count();
    }
};

}  // namespace

TEST(ScheduleSet, LinesRunAsTheRecordSays) {
    qtest::WriteFile(kCrontab, kHead);
    const QAVOSCHEDULE cases[] = {
        Schedule(0x41, 3, 0, 3, 15, "/usr/bin/weekend"),
        Schedule(0x7F, 8, 3, 20, 0, "/usr/bin/every3"),
        Schedule(0x0A, 8, 3, 8, 30, "/usr/bin/plain"),
        Schedule(0xFF, 23, 0, 23, 59, "/usr/bin/late"),  // bit 7 ignored
    };
    const char *expected[] = {
        "15\t3\t*\t*\t0,6\troot\t/usr/bin/weekend",
        "0\t8-20/3\t*\t*\t*\troot\t/usr/bin/every3",
        "30\t8\t*\t*\t1,3\troot\t/usr/bin/plain",
        "59\t23\t*\t*\t*\troot\t/usr/bin/late",
    };
    for (const auto &s : cases)
        ASSERT_EQ(QAVOScheduleSet(&s), 0) << s.szCommand;
    auto lines = Lines(qtest::ReadFile(kCrontab));
    ASSERT_EQ(lines.size(), 6u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[2 + i], expected[i]);
        EXPECT_EQ(CroniterRuns(lines[2 + i]), RecordRuns(cases[i])) << expected[i];
    }
    EXPECT_EQ(CroniterRuns(lines[3]).size(), 14u * 5);  // 8, 11, 14, 17, 20

    QAVOSCHEDULE back{};
    ASSERT_EQ(QAVOScheduleGet("/usr/bin/every3", &back), 1);
    EXPECT_EQ(back.nRunCount, 5);
    EXPECT_EQ(back.ulWeekdayMask, 0x7Fu);
}

TEST(ScheduleSet, RefusesBadRecordsAndCommands) {
    qtest::WriteFile(kCrontab, kHead);
    const std::string lng(1000, 'x');
    const QAVOSCHEDULE bad[] = {
        Schedule(0x80, 1, 0, 1, 0, "/bin/job"),
        Schedule(0x7F, 24, 0, 24, 0, "/bin/job"),
        Schedule(0x7F, -1, 0, 1, 0, "/bin/job"),
        Schedule(0x7F, 9, 1, 8, 0, "/bin/job"),
        Schedule(0x7F, 1, 24, 23, 0, "/bin/job"),
        Schedule(0x7F, 1, -1, 2, 0, "/bin/job"),
        Schedule(0x7F, 1, 0, 1, 60, "/bin/job"),
        Schedule(0x7F, 1, 0, 1, -1, "/bin/job"),
        Schedule(0x7F, 1, 0, 1, 0, ""),
        Schedule(0x7F, 1, 0, 1, 0, " \t"),
        Schedule(0x7F, 1, 0, 1, 0, "\v\f "),
        Schedule(0x7F, 1, 0, 1, 0, "/bin/job\n* * * * * root /bin/evil"),
        Schedule(0x7F, 1, 0, 1, 0, "/bin/job\r"),
        Schedule(0x7F, 1, 0, 1, 0, "/bin/date +%s"),
        Schedule(0x7F, 1, 0, 1, 0, "/bin/" + lng + lng.substr(0, 20)),
    };
    for (const auto &s : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOScheduleSet(&s), -1) << s.szCommand;
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS) << s.szCommand;
    }
    SLIBErrSet(0);
    EXPECT_EQ(QAVOScheduleSet(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(qtest::ReadFile(kCrontab), kHead);
}

TEST(ScheduleGet, ReadsLinesBack) {
    const struct {
        const char *line;
        int result;
        uint32_t mask;
        int hour, last, interval, minute, runs;
    } cases[] = {
        {"0\t1\t*\t*\t*\troot\t/bin/job -x y", 1, 0x7F, 1, 1, 0, 0, 1},
        {"0\t1\t*\t*\t*\troot\t /bin/job", 1, 0x7F, 1, 1, 0, 0, 1},
        {"0\t1\t*\t*\t*\troot\t\v/bin/job\fx\vy", 1, 0x7F, 1, 1, 0, 0, 1},
        {"5\t2\t*\t*\t1,1\troot\t/bin/job", 1, 0x02, 2, 2, 0, 5, 1},
        {"5\t2\t*\t*\t7\troot\t/bin/job", 1, 0x00, 2, 2, 0, 5, 1},
        {"5\t2\t*\t*\t9,3,-1\troot\t/bin/job", 1, 0x08, 2, 2, 0, 5, 1},
        {"10\t8-20/3\t*\t*\t0,6\troot\t/bin/job", 1, 0x41, 8, 20, 3, 10, 5},
        {"10\t6-23/4\t*\t*\t5\troot\t/bin/job", 1, 0x20, 6, 23, 4, 10, 5},
        {"5\t123\t*\t*\t*\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t24\t*\t*\t*\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t8-25/2\t*\t*\t*\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        // Empty or malformed fields: never a schedule, never shifted fields.
        {"5\t4\t*\t*\t\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t\t*\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"\t4\t*\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t4\t*\t*\t1\t\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t4\t*\t*\t1\troot /bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t4\t1\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t*\t*\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t4x\t*\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t4-8/x\t*\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t4\t*\t*\t1,,2\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"5\t4\t*\t*\tmon\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"x\t4\t*\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
        {"75\t4\t*\t*\t1\troot\t/bin/job", -1, 0, 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        qtest::WriteFile(kCrontab, kHead + "0\t3\t*\t*\t*\troot\t/bin/other\n" + c.line + "\n");
        QAVOSCHEDULE s{};
        EXPECT_EQ(QAVOScheduleGet("/bin/job", &s), c.result) << c.line;
        if (c.result != 1) continue;
        EXPECT_EQ(s.ulWeekdayMask, c.mask) << c.line;
        EXPECT_EQ(s.nHour, c.hour) << c.line;
        EXPECT_EQ(s.nLastHour, c.last) << c.line;
        EXPECT_EQ(s.nInterval, c.interval) << c.line;
        EXPECT_EQ(s.nMinute, c.minute) << c.line;
        EXPECT_EQ(s.nRunCount, c.runs) << c.line;
        EXPECT_STREQ(s.szCommand, "/bin/job") << c.line;
    }
    EXPECT_TRUE(qtest::SyslogHas("wday field exceeded. : 9", 3));

    QAVOSCHEDULE s{};
    SLIBErrSet(0);
    EXPECT_EQ(QAVOScheduleGet("/bin/none", &s), 0);
    EXPECT_EQ(SLIBErrGet(), ERR_NOT_FOUND);
    qtest::RemoveFile(kCrontab);
    EXPECT_EQ(QAVOScheduleGet("/bin/job", &s), 0);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOScheduleGet(nullptr, &s), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOScheduleGet("/bin/job", nullptr), -1);
}

TEST(ScheduleSet, ReplacesAndRemovesLines) {
    const std::string longLine = "0\t1\t*\t*\t*\troot\t/bin/job " + std::string(3000, 'a');
    qtest::WriteFile(kCrontab, kHead + longLine + "\n0\t3\t*\t*\t*\troot\t/bin/other\n");
    Crond crond;
    const QAVOSCHEDULE s = Schedule(0x01, 4, 0, 4, 45, "/bin/job");
    EXPECT_EQ(QAVOScheduleSet(&s), 0);
    EXPECT_EQ(qtest::ReadFile(kCrontab),
              kHead + "45\t4\t*\t*\t0\troot\t/bin/job\n0\t3\t*\t*\t*\troot\t/bin/other\n");
    EXPECT_EQ(crond.Hups(1), 1u);

    // Signals do not queue: each change is counted before the next.
    EXPECT_EQ(QAVOScheduleRemove("/bin/absent"), 0);
    EXPECT_EQ(crond.Hups(2), 2u);
    EXPECT_EQ(QAVOScheduleRemove("/bin/job"), 0);
    EXPECT_EQ(qtest::ReadFile(kCrontab), kHead + "0\t3\t*\t*\t*\troot\t/bin/other\n");
    EXPECT_EQ(crond.Hups(3), 3u);

    // A missing crontab is made with the line.
    qtest::RemoveFile(kCrontab);
    EXPECT_EQ(QAVOSysSetCrontabLine("/bin/x", "1\t2\t*\t*\t*\troot\t/bin/x"), 0);
    EXPECT_EQ(qtest::ReadFile(kCrontab), "1\t2\t*\t*\t*\troot\t/bin/x\n");

    SLIBErrSet(0);
    EXPECT_EQ(QAVOSysSetCrontabLine(nullptr, "x"), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOSysSetCrontabLine("", nullptr), -1);
    EXPECT_EQ(QAVOSysSetCrontabLine("/bin/x", "a\nb"), -1);
    EXPECT_EQ(QAVOScheduleRemove(nullptr), -1);
    EXPECT_EQ(qtest::ReadFile(kCrontab), "1\t2\t*\t*\t*\troot\t/bin/x\n");
}

TEST(ScheduleSet, CronDaemonSignalIsSafe) {
    qtest::WriteFile(kCrontab, kHead);
    Crond crond;
    // Pid files naming no single other process: a group, init, ourselves,
    // nothing at all. Nobody is signalled (a signal to the group or to every
    // process would end this test) and the change stands.
    const std::string pidfiles[] = {"-1\n",      "0\n", "1\n", std::to_string(getpid()) + "\n",
                                    "garbage\n", ""};
    int n = 0;
    for (const auto &content : pidfiles) {
        qtest::WriteFile("/var/run/crond.pid", content);
        const std::string cmd = "/bin/job" + std::to_string(n++);
        EXPECT_EQ(QAVOSysSetCrontabLine(cmd.c_str(), ("0\t1\t*\t*\t*\troot\t" + cmd).c_str()), 0);
    }
    qtest::RemoveFile("/var/run/crond.pid");
    EXPECT_EQ(QAVOSysSetCrontabLine("/bin/job0", nullptr), 0);
    EXPECT_EQ(Lines(qtest::ReadFile(kCrontab)).size(), 2u + 5);
    EXPECT_EQ(crond.Hups(0), 0u);
}
