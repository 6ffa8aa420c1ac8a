// The USB backup status record in System V shared memory (the sandbox's own
// IPC namespace) and the backup ID.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "appliance.h"
#include "qavo_usbbkpinfo.h"

namespace {

QAVOUSBBACKUPINFO Record(uint32_t seed, const char *device) {
    QAVOUSBBACKUPINFO r;
    memset(&r, 0, sizeof r);
    r.status = seed;
    r.word1 = seed + 1;
    r.word2 = seed + 2;
    r.word3 = seed + 3;
    snprintf(r.device, sizeof r.device, "%s", device);
    r.word6 = seed + 6;
    return r;
}

// The whole record as the segment holds it, through the read operation.
QAVOUSBBACKUPINFO Read() {
    QAVOUSBBACKUPINFO r;
    memset(&r, 0xAB, sizeof r);
    EXPECT_EQ(QAVOUSBGetBackupInfo(&r), 0);
    return r;
}

bool Same(const QAVOUSBBACKUPINFO &a, const QAVOUSBBACKUPINFO &b) {
    return a.status == b.status && a.word1 == b.word1 && a.word2 == b.word2 && a.word3 == b.word3 &&
           memcmp(a.device, b.device, sizeof a.device) == 0 && a.word6 == b.word6 &&
           memcmp(a.rest, b.rest, sizeof a.rest) == 0;
}

int SemValue() {
    const int id = semget(QAVO_USBBKP_SEM_KEY, 1, 0);
    return id < 0 ? -1 : semctl(id, 0, GETVAL);
}

TEST(UsbBkpInfo, FirstReadCreatesBothObjectsAndReadsZero) {
    std::string out;
    ASSERT_EQ(qtest::Sh("ipcs -s; ipcs -m", &out), 0);
    EXPECT_EQ(out.find("0x00004e1e"), std::string::npos);
    const QAVOUSBBACKUPINFO r = Read();
    QAVOUSBBACKUPINFO zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_TRUE(Same(r, zero));
    // key, semid, owner, perms, nsems / key, shmid, owner, perms, bytes, nattch.
    ASSERT_EQ(qtest::Sh("ipcs -s | awk '$1==\"0x00004e1e\"{print $4, $5}'", &out), 0);
    EXPECT_EQ(out, "0 1\n");
    ASSERT_EQ(qtest::Sh("ipcs -m | awk '$1==\"0x0000270e\"{print $4, $5, $6}'", &out), 0);
    EXPECT_EQ(out, "600 64 0\n");
    EXPECT_EQ(SemValue(), 1);
}

TEST(UsbBkpInfo, MaskedWritesClearAndStatusUpdates) {
    const QAVOUSBBACKUPINFO a = Record(0x100, "sdb");
    ASSERT_EQ(QAVOUSBSetBackupInfo(const_cast<QAVOUSBBACKUPINFO *>(&a)), 0);
    EXPECT_TRUE(Same(Read(), a));

    // Device only: a name of 8 characters keeps 7 and the NUL.
    QAVOUSBBACKUPINFO b = Record(0x900, "");
    memcpy(b.device, "sdzzzzzz", 8);
    ASSERT_EQ(QAVOUSBSetBackupInfoEx(&b, USB_BKP_MASK_DEVICE), 0);
    QAVOUSBBACKUPINFO want = a;
    memcpy(want.device, "sdzzzzz", 8);
    EXPECT_TRUE(Same(Read(), want));

    // 0x3F replaces every field but leaves bytes 28-63 (nothing writes them).
    const QAVOUSBBACKUPINFO c = Record(0x200, "sdc");
    ASSERT_EQ(QAVOUSBSetBackupInfoEx(const_cast<QAVOUSBBACKUPINFO *>(&c), 0x3F), 0);
    EXPECT_TRUE(Same(Read(), c));

    // Clear keeps status and device.
    ASSERT_EQ(QAVOUSBClearBackupInfo(), 0);
    QAVOUSBBACKUPINFO cleared = Record(0, "sdc");
    cleared.status = c.status;
    cleared.word1 = cleared.word2 = cleared.word3 = cleared.word6 = 0;
    EXPECT_TRUE(Same(Read(), cleared));

    struct {
        uint32_t before, bits;
        int how, result;
        uint32_t after;
    } cases[] = {
        {0x3, 0x2, 1, 0, 0x1},  {0x1, 0x40, 0, 0, 0x41}, {0x43, 0x20, 2, 0, 0x20},
        {0x3, 0x2, 3, -1, 0x3}, {0x3, 0x2, -1, -1, 0x3},
    };
    for (const auto &k : cases) {
        QAVOUSBBACKUPINFO s = Record(k.before, "sdd");
        ASSERT_EQ(QAVOUSBSetBackupInfo(&s), 0);
        EXPECT_EQ(QAVOUSBSetBackupInfoStatus(k.bits, k.how), k.result) << k.how;
        const QAVOUSBBACKUPINFO r = Read();
        EXPECT_EQ(r.status, k.after) << k.how;
        EXPECT_STREQ(r.device, "sdd");
        EXPECT_EQ(r.word1, k.before + 1);
    }
    EXPECT_EQ(QAVOUSBIProcessSharedInfo(nullptr, USB_BKP_OP_READ, 0), -1);
    EXPECT_EQ(QAVOUSBIProcessSharedInfo(&b, 4, 0), -1);
    EXPECT_EQ(SemValue(), 1);
}

TEST(UsbBkpInfo, HolderThatDiedWithTheLockDoesNotBlockTheNext) {
    Read();
    // An old-style holder: takes the lock without the kernel's undo and dies.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int id = semget(QAVO_USBBKP_SEM_KEY, 1, 0);
        struct sembuf op = {0, -1, IPC_NOWAIT};
        _exit(semop(id, &op, 1) == 0 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    ASSERT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(SemValue(), 0);
    QAVOUSBBACKUPINFO r;
    EXPECT_EQ(QAVOUSBGetBackupInfo(&r), 0);
    EXPECT_EQ(SemValue(), 1);

    // A holder killed while it holds the lock through this library.
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        for (;;) {
            QAVOUSBBACKUPINFO x = Record(7, "sde");
            QAVOUSBSetBackupInfo(&x);
        }
    }
    usleep(50000);
    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, &st, 0), holder);
    EXPECT_EQ(QAVOUSBGetBackupInfo(&r), 0);
    EXPECT_EQ(SemValue(), 1);
}

TEST(UsbBkpInfo, ReadersSeeWholeRecordsOnly) {
    const QAVOUSBBACKUPINFO a = Record(0x11111111, "sda");
    const QAVOUSBBACKUPINFO b = Record(0x22222222, "sdbbbbb");
    ASSERT_EQ(QAVOUSBSetBackupInfo(const_cast<QAVOUSBBACKUPINFO *>(&a)), 0);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        close(pipefd[1]);
        char c;
        int fails = 0;
        for (int i = 0; read(pipefd[0], &c, 0) == 0 && i < 4000; ++i) {
            QAVOUSBBACKUPINFO r = (i % 2) ? b : a;
            if (QAVOUSBSetBackupInfo(&r) != 0) ++fails;
        }
        _exit(fails == 0 ? 0 : 1);
    }
    close(pipefd[0]);
    int mixed = 0, failed = 0;
    for (int i = 0; i < 2000; ++i) {
        QAVOUSBBACKUPINFO r;
        if (QAVOUSBGetBackupInfo(&r) != 0) {
            ++failed;
            continue;
        }
        if (!Same(r, a) && !Same(r, b)) ++mixed;
    }
    close(pipefd[1]);
    int st = 0;
    ASSERT_EQ(waitpid(writer, &st, 0), writer);
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(SemValue(), 1);
}

class UsbBkpId : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(qtest::Sh("ip link add eth0 type veth peer name peer0 && "
                            "ip link set eth0 address 00:11:32:c0:ff:ee && ip link set eth0 up"),
                  0);
        // The card's settings as its interface file keeps them.
        qtest::WriteFile("/etc/sysconfig/network-scripts/ifcfg-eth0",
                         "IPADDR=192.0.2.10\nNETMASK=255.255.255.0\nBOOTPROTO=static\n");
        qtest::WriteFile("/usr/qavo/etc/smb.conf", "[global]\n\twins server = 192.0.2.7\n");
    }
    void TearDown() override { qtest::Sh("ip link del eth0 >/dev/null 2>&1"); }
};

TEST_F(UsbBkpId, MacAndLocalTimeIn28Bytes) {
    char small[27];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(USBBKPGenBkpID(small, sizeof small), -1);
    EXPECT_EQ(USBBKPGenBkpID(nullptr, 28), -1);

    setenv("TZ", "UTC+5", 1);
    tzset();
    char id[29];
    memset(id, 'x', sizeof id);
    const time_t before = time(nullptr);
    ASSERT_EQ(USBBKPGenBkpID(id, 28), 0);
    const time_t after = time(nullptr);
    EXPECT_EQ(id[27], '\0');
    EXPECT_EQ(id[28], 'x');
    const std::string s(id);
    ASSERT_TRUE(std::regex_match(s, std::regex("[0-9]{14}-001132C0FFEE"))) << s;
    bool matches = false;
    for (time_t t = before; t <= after; ++t) {
        struct tm tm;
        localtime_r(&t, &tm);
        char want[16];
        strftime(want, sizeof want, "%Y%m%d%H%M%S", &tm);
        matches = matches || s.compare(0, 14, want) == 0;
    }
    EXPECT_TRUE(matches) << s;
    unsetenv("TZ");
    tzset();
}

}  // namespace
