// The kernel shim: the appliance kernel's system calls, the uptime, the
// M-Systems module requests and the redirected kernel files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "appliance.h"
#include "mtd_abi.h"
#include "qavosim.h"

using namespace qtest;

namespace {

// syscall() result and errno.
std::pair<long, int> Call(long nr, long arg) {
    errno = 0;
    long r = syscall(nr, arg);
    return {r, r < 0 ? errno : 0};
}

struct Pair {
    uint32_t size, datalen;
};

int MsysGetParts(Pair (&parts)[8]) {
    int fd = open("/dev/mtd0", O_RDWR);
    if (fd < 0) return errno;
    int r = ioctl(fd, QSIM_MEMMSYSGETPARTS, parts);
    int e = r < 0 ? errno : 0;
    close(fd);
    return e;
}

int MsysFormat(unsigned long units, const uint32_t *sizes) {
    int fd = open("/dev/mtd0", O_RDWR);
    if (fd < 0) return errno;
    int e = 0;
    if (ioctl(fd, QSIM_MEMMSYSFORMAT, units) < 0)
        e = errno;
    else if (sizes && ioctl(fd, QSIM_MEMMSYSPARTITION, sizes) < 0)
        e = errno;
    close(fd);
    return e;
}

}  // namespace

TEST(KernelShim, WithoutSettingsTheAppliancesCallsAreAbsent) {
    uint32_t flags = 0x55;
    EXPECT_EQ(Call(QSIM_SYS_HWFLAGS, reinterpret_cast<long>(&flags)),
              (std::pair<long, int>{-1, ENOSYS}));
    EXPECT_EQ(flags, 0x55u);
    EXPECT_EQ(Call(QSIM_SYS_MTDBUFFER, 1), (std::pair<long, int>{-1, 38}));
    EXPECT_EQ(syscall(SYS_getpid), getpid());  // other numbers pass through
    struct sysinfo si;
    ASSERT_EQ(sysinfo(&si), 0);
}

TEST(KernelShim, ScriptedSystemCallsAndUptime) {
    struct Case {
        const char *desc;
        std::pair<long, int> hw, alloc, release;
        uint32_t flags;
    } cases[] = {
        {"hwflags 0x1\nsyscall405 ok", {0, 0}, {0, 0}, {0, 0}, 1},
        {"hwflags 0x6\nsyscall405 alloc errno 12", {0, 0}, {-1, 12}, {-1, 38}, 6},
        {"hwflags absent\nsyscall405 release errno 22\nsyscall405 alloc absent",
         {-1, ENOSYS},
         {-1, 38},
         {-1, 22},
         0},
    };
    for (auto &c : cases) {
        qsim::Appliance hw(c.desc);
        uint32_t flags = 0;
        EXPECT_EQ(Call(QSIM_SYS_HWFLAGS, reinterpret_cast<long>(&flags)), c.hw) << c.desc;
        EXPECT_EQ(flags, c.flags) << c.desc;
        EXPECT_EQ(Call(QSIM_SYS_MTDBUFFER, 1), c.alloc) << c.desc;
        EXPECT_EQ(Call(QSIM_SYS_MTDBUFFER, 0), c.release) << c.desc;
        auto log = qsim::KernelLog();
        ASSERT_EQ(log.size(), 3u) << c.desc;
        EXPECT_EQ(log[1].rfind("syscall 405 1 -> ", 0), 0u) << log[1];
    }

    struct sysinfo si;
    {
        qsim::Appliance hw("uptime 301");
        ASSERT_EQ(sysinfo(&si), 0);
        EXPECT_EQ(si.uptime, 301);
    }
    {
        qsim::Appliance hw("uptime fail");
        EXPECT_EQ(sysinfo(&si), -1);
    }
}

TEST(KernelShim, KernelFilesComeFromTheApplianceRoot) {
    WriteFile("/sim/proc/mdstat", "Personalities : [raid1]\n");
    EXPECT_EQ(ReadFile("/proc/mdstat"), "Personalities : [raid1]\n");
    FILE *f = fopen("/proc/mdstat", "r");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(access("/proc/bus/usb/devices", F_OK), -1);  // not laid: absent
    EXPECT_EQ(access("/proc/self/status", F_OK), 0);       // others untouched
    // The preloadable shim does the same in any program of the appliance root.
    std::string out;
    ASSERT_EQ(Exec({"/usr/bin/env", "LD_PRELOAD=" + BuildDir() + "/sim/libqavoshim.so", "/bin/cat",
                    "/proc/mdstat"},
                   &out),
              0);
    EXPECT_EQ(out, "Personalities : [raid1]\n");
}

TEST(KernelShim, MSystemsModule) {
    qsim::Appliance hw("msys on\nmsys-parts 16 128 192 512 8 16 4 4\n");
    uint32_t flags = 0;
    EXPECT_EQ(Call(QSIM_SYS_HWFLAGS, reinterpret_cast<long>(&flags)).first, 0);
    EXPECT_EQ(flags & 1, 1u);

    Pair parts[8];
    ASSERT_EQ(MsysGetParts(parts), 0);
    EXPECT_EQ(parts[1].size, 128u * 16384);
    EXPECT_EQ(parts[3].size, 512u * 16384);
    EXPECT_EQ(parts[7].datalen, 4u * 16384);

    // Format takes the unit count itself; anything else is refused.
    EXPECT_EQ(MsysFormat(968, nullptr), EINVAL);
    uint32_t too_many[8] = {900, 62, 1, 1, 1, 1, 1, 1};  // 968
    EXPECT_EQ(MsysFormat(QSIM_MSYS_UNITS, too_many), ENOSPC);
    uint32_t sizes[8] = {16, 200, 192, 520, 8, 16, 4, 4};
    ASSERT_EQ(MsysFormat(QSIM_MSYS_UNITS, sizes), 0);
    ASSERT_EQ(MsysGetParts(parts), 0);
    EXPECT_EQ(parts[1].size, 200u * 16384);
    EXPECT_EQ(parts[1].datalen, 0u);

    // dd writes a partition device; the module records the data length.
    WriteFile("/tmp/rd.bin", std::string(40000, 'r'));
    ASSERT_EQ(Exec({"/bin/dd", "if=/tmp/rd.bin", "of=/dev/mtd2", "bs=16384"}), 0);
    ASSERT_EQ(MsysGetParts(parts), 0);
    EXPECT_EQ(parts[2].datalen, 40000u);
    auto chip = hw.Chip();
    size_t at2 = (16 + 200) * 16384;
    EXPECT_EQ(std::string(chip.begin() + at2, chip.begin() + at2 + 40000), std::string(40000, 'r'));
    EXPECT_EQ(chip[at2 + 40000], 0xFF);

    std::vector<std::string> kinds;
    for (auto &j : hw.Journal())
        if (j.dev == "mtd0") kinds.push_back(j.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"msysgetparts", "msysformat", "msysformat",
                                               "msyspartition", "msysformat", "msyspartition",
                                               "msysgetparts", "msysgetparts"}));

    // Without the shim the request cannot reach the module: the kernel takes
    // the unit count for an address.
    int fd = open("/dev/mtd0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::syscall(SYS_ioctl, fd, QSIM_MEMMSYSFORMAT, 967L), -1);
    close(fd);
}

namespace {

// True when the capability is in both the effective and the bounding set.
bool HasCapability(int cap) {
    std::string status = ReadFile("/proc/self/status");
    bool eff = false, bnd = false;
    for (const char *key : {"CapEff:", "CapBnd:"}) {
        size_t at = status.find(key);
        if (at == std::string::npos) return true;  // cannot tell: assume the worst
        unsigned long long set = strtoull(status.c_str() + at + strlen(key), nullptr, 16);
        (key[3] == 'E' ? eff : bnd) = (set >> cap) & 1;
    }
    return eff || bnd;
}

}  // namespace

extern "C" int stime(const time_t *when);

TEST(KernelShim, ClockCallsAreAnsweredWhenAskedAndNeverReachTheHostClock) {
    // Nothing below may run where the kernel would take a clock setting.
    ASSERT_FALSE(HasCapability(25)) << "CAP_SYS_TIME inside the appliance root";
    EXPECT_FALSE(HasCapability(16)) << "CAP_SYS_MODULE";
    EXPECT_FALSE(HasCapability(22)) << "CAP_SYS_BOOT";
    // The kernel refuses: a request without a time or zone changes nothing
    // even where it is allowed, and here it is not.
    EXPECT_EQ(Call(SYS_settimeofday, 0), (std::pair<long, int>{-1, EPERM}));
    const time_t now = time(nullptr);
    timespec ts{now, 0};
    errno = 0;
    EXPECT_EQ(clock_settime(CLOCK_REALTIME, &ts), -1);  // passed through
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(stime(&now), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(qsim::KernelLog().empty());

    {
        qsim::Appliance hw("clock ok");
        timeval tv{1000000000, 5};
        struct timezone tz {
            - 480, 0
        };
        EXPECT_EQ(settimeofday(&tv, nullptr), 0);
        EXPECT_EQ(settimeofday(nullptr, &tz), 0);  // the zone only
        timespec set{1234567890, 42};
        EXPECT_EQ(clock_settime(CLOCK_REALTIME, &set), 0);
        const time_t when = 2000000000;
        EXPECT_EQ(stime(&when), 0);
        errno = 0;
        EXPECT_EQ(clock_settime(CLOCK_MONOTONIC, &set), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(qsim::KernelLog(),
                  (std::vector<std::string>{
                      "settimeofday 1000000000.000005 tz - -> 0", "settimeofday - tz -480 0 -> 0",
                      "clock_settime 0 1234567890.000000042 -> 0", "stime 2000000000 -> 0",
                      "clock_settime 1 1234567890.000000042 -> -1 errno 22"}));
    }
    {
        qsim::Appliance hw("clock errno 1");
        timeval tv{1000000000, 0};
        errno = 0;
        EXPECT_EQ(settimeofday(&tv, nullptr), -1);
        EXPECT_EQ(errno, EPERM);
        EXPECT_EQ(qsim::KernelLog(),
                  (std::vector<std::string>{"settimeofday 1000000000.000000 tz - -> -1 errno 1"}));
    }
    // The clock never moved.
    EXPECT_GE(time(nullptr), now);
    EXPECT_LT(time(nullptr), now + 60);
    std::string err;
    EXPECT_FALSE(qsim::Up("clock later", "/tmp", &err));
}
