#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "appliance.h"
#include "qavo_user.h"
#include "slib_errcode.h"
#include "slib_lock.h"

using qtest::WriteFile;

namespace {

void Accounts(const std::string &shadowOfAdmin) {
    WriteFile("/etc/passwd",
              "root:x:0:0:root:/root:/bin/sh\n"
              "admin:x:1024:100:a;,b;;c:/var/services/homes/admin:/bin/sh\n"
              "plain:x:1025:100::/h:/bin/sh\n"
              "noshadow:x:1026:100::/h:/bin/sh\n"
              "short:x:1027:100::/h:/bin/sh\n");
    WriteFile("/etc/shadow",
              "root:*:14000:0:99999:7:::\n"
              "admin:" +
                  shadowOfAdmin +
                  "\n"
                  "plain:$1$s$plainhash:14000:0:99999:7:::\n"
                  "short:$1$s$x:14000\n",
              0600);
    WriteFile("/etc/mail", "admin=\"admin@example.com\"\nother=\"x@example.com\"\n");
}

// The local day number of now in the current zone.
long LocalToday() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return static_cast<long>((now + local.tm_gmtoff) / 86400);
}

// Sets a zone of a fixed offset (seconds east of UTC) for one test.
class Zone {
  public:
    explicit Zone(long east) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        long west = -east;
        char sign = west < 0 ? '-' : '+';
        long a = west < 0 ? -west : west;
        char tz[64];
        snprintf(tz, sizeof tz, "<QZ>%c%02ld:%02ld:%02ld", sign, a / 3600, a / 60 % 60, a % 60);
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool had_;
    std::string old_;
};

// An offset east of UTC under which the local clock now reads secondOfDay.
long OffsetShowing(long secondOfDay) {
    long utc = static_cast<long>(time(nullptr) % 86400);
    long east = ((secondOfDay - utc) % 86400 + 86400) % 86400;
    if (east >= 43200) east -= 86400;
    return east;
}

}  // namespace

TEST(UserGet, SizeQueryThenExactAndShortFill) {
    Accounts("$1$s$adminhash:14000:0:99999:7::20000:");
    int needed = -1;
    ASSERT_EQ(QAVOUserGet(0, 1, "ADMIN", nullptr, 0, &needed), 0);
    const size_t strings = sizeof("admin") + sizeof("$1$s$adminhash") + sizeof("a;,b;;c") +
                           sizeof("admin@example.com");
    EXPECT_EQ(needed, static_cast<int>(sizeof(QAVOUSER) + strings));

    // A heap block of exactly the size: a write past it stops the test.
    std::unique_ptr<char[]> exact(new char[static_cast<size_t>(needed)]);
    auto *u = reinterpret_cast<QAVOUSER *>(exact.get());
    int again = 0;
    ASSERT_EQ(QAVOUserGet(0, 1, "admin", u, needed, &again), 1);
    EXPECT_EQ(again, needed);
    EXPECT_STREQ(u->name, "admin");
    EXPECT_STREQ(u->password, "$1$s$adminhash");
    EXPECT_STREQ(u->description, "a:b;c");
    EXPECT_EQ(u->expiry, 20000);
    EXPECT_STREQ(u->mail, "admin@example.com");

    std::unique_ptr<char[]> shorter(new char[static_cast<size_t>(needed - 1)]);
    SLIBErrSet(0);
    EXPECT_EQ(
        QAVOUserGet(0, 1, "admin", reinterpret_cast<QAVOUSER *>(shorter.get()), needed - 1, &again),
        -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
}

TEST(UserGet, NoExpiryNoMailAndNoMailFile) {
    Accounts("h:14000:0:99999:7:::");
    char buf[512];
    auto *u = reinterpret_cast<QAVOUSER *>(buf);
    int needed;
    ASSERT_EQ(QAVOUserGet(0, 1, "plain", u, sizeof buf, &needed), 1);
    EXPECT_EQ(u->expiry, 0);
    EXPECT_STREQ(u->mail, "");
    EXPECT_STREQ(u->description, "");

    qtest::RemoveFile("/etc/mail");
    qtest::ClearSyslog();
    ASSERT_EQ(QAVOUserGet(0, 1, "admin", u, sizeof buf, &needed), 1);
    EXPECT_STREQ(u->mail, "");
    EXPECT_TRUE(qtest::SyslogHas("get email failed", LOG_ERR));
}

TEST(UserGet, Errors) {
    Accounts("h:14000:0:99999:7:::");
    char buf[256];
    auto *u = reinterpret_cast<QAVOUSER *>(buf);
    int needed;
    struct Case {
        int type;
        const char *name;
        QAVOUSER *buf;
        int size;
        int *needed;
        SLIBERRCODE code;
    } cases[] = {
        {1, "nosuch", nullptr, 0, &needed, ERR_NO_SUCH_USER},
        {1, "noshadow", nullptr, 0, &needed, ERR_NOT_FOUND},  // the line reader's code
        {1, "short", nullptr, 0, &needed, ERR_FIELD_COUNT},
        {2, "admin", nullptr, 0, &needed, ERR_BAD_PARAMETERS},
        {1, nullptr, nullptr, 0, &needed, ERR_BAD_PARAMETERS},
        {1, "admin", nullptr, 0, nullptr, ERR_BAD_PARAMETERS},
        {1, "admin", nullptr, 16, &needed, ERR_BAD_PARAMETERS},
        {1, "admin", u, 0, &needed, ERR_BAD_PARAMETERS},
    };
    qtest::ClearSyslog();
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOUserGet(0, c.type, c.name, c.buf, c.size, c.needed), -1)
            << (c.name ? c.name : "NULL") << " " << c.size;
        EXPECT_EQ(SLIBErrGet(), c.code) << (c.name ? c.name : "NULL") << " " << c.size;
    }
    EXPECT_TRUE(qtest::SyslogHas("cant get line by noshadow"));
    EXPECT_TRUE(qtest::SyslogHas("szLine[short] has 3 entries format error"));
    // Only the name of a damaged line is logged, never its password hash.
    EXPECT_FALSE(qtest::SyslogHas("$1$s$x"));
}

TEST(UserGet, WaitsForThePasswdLock) {
    Accounts("h:14000:0:99999:7:::");
    ASSERT_EQ(SLIBFileLockInit(), 0);
    // A writer elsewhere holds the lock: a lock of its own open file.
    int fd = open("/tmp/lock/lock_pw", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    int needed;
    SLIBErrSet(0);
    EXPECT_EQ(QAVOUserGet(0, 1, "admin", nullptr, 0, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_LOCK_FAILED);
    close(fd);
    EXPECT_EQ(QAVOUserGet(0, 1, "admin", nullptr, 0, &needed), 0);
}

TEST(UserExpiry, DayBoundaryInLocalTime) {
    // Local clocks a few seconds after midnight and before it, in zones east
    // and west of UTC (and at UTC when the clock happens to allow it).
    for (long second : {5L, 86395L}) {
        Zone zone(OffsetShowing(second));
        const long today = LocalToday();
        SCOPED_TRACE("local second " + std::to_string(second) + " TZ " + getenv("TZ"));
        EXPECT_EQ(BlQAVOIsExpiredDay(static_cast<int>(today)), 0);  // valid all day
        EXPECT_EQ(BlQAVOIsExpiredDay(static_cast<int>(today - 1)), 1);
        EXPECT_EQ(BlQAVOIsExpiredDay(static_cast<int>(today + 1)), 0);
    }
    // Thirteen hours east, the local day is not the UTC day for half the time:
    // whichever it is, only the local day decides.
    for (long east : {13L * 3600, -11L * 3600}) {
        Zone zone(east);
        const long today = LocalToday();
        EXPECT_EQ(BlQAVOIsExpiredDay(static_cast<int>(today)), 0) << east;
        EXPECT_EQ(BlQAVOIsExpiredDay(static_cast<int>(today - 1)), 1) << east;
    }
    Zone utc(0);
    EXPECT_EQ(BlQAVOIsExpiredDay(20000), 1);  // 2024-10-04, long gone
    EXPECT_EQ(BlQAVOIsExpiredDay(200000), 0);
}

TEST(UserExpiry, CheckExpired) {
    Zone utc(0);
    const long today = LocalToday();
    struct Case {
        std::string expiry;
        int result;
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"-1", 0},
        {std::to_string(today), 0},
        {std::to_string(today - 1), 1},
        {"20000", 1},
    };
    for (const Case &c : cases) {
        Accounts("h:14000:0:99999:7::" + c.expiry + ":");
        EXPECT_EQ(QAVOUserCheckExpired("admin"), c.result) << "expiry [" << c.expiry << "]";
    }
    qtest::ClearSyslog();
    EXPECT_EQ(QAVOUserCheckExpired("nosuch"), -1);
    EXPECT_FALSE(qtest::SyslogHas("ask size error"));  // no such user is no error
    EXPECT_EQ(QAVOUserCheckExpired("noshadow"), -1);
    EXPECT_TRUE(qtest::SyslogHas("QAVOUserCheckExpired: noshadow ask size error"));
    EXPECT_EQ(QAVOUserCheckExpired(nullptr), -1);
}

TEST(Capabilities, GuestAndAnonymous) {
    struct Case {
        const char *lines;
        int guest, anonymous;
    } cases[] = {
        {"unique=\"m\"\n", 1, 0},
        {"guestsupport=\"no\"\nallowanonymous=\"yes\"\n", 0, 1},
        {"guestsupport=\"No\"\nallowanonymous=\"Yes\"\n", 1, 0},
        {"guestsupport=\"yes\"\nallowanonymous=\"no\"\n", 1, 0},
        {"guestsupport=no\nallowanonymous=yes\n", 0, 1},
    };
    for (const Case &c : cases) {
        WriteFile("/etc.defaults/qavoinfo.conf", c.lines);
        EXPECT_EQ(BlQAVOGuestSupport(), c.guest) << c.lines;
        EXPECT_EQ(BlQAVOAllowAnonymous(), c.anonymous) << c.lines;
    }
    qtest::RemoveFile("/etc.defaults/qavoinfo.conf");
    EXPECT_EQ(BlQAVOGuestSupport(), 1);
    EXPECT_EQ(BlQAVOAllowAnonymous(), 0);
}
