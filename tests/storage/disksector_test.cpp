#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "appliance.h"
#include "qavo_disksector.h"
#include "qavo_usbbackup.h"
#include "raid_sim.h"
#include "slib_errcode.h"

namespace {

// What reached the disk's image (the device's buffers written out first).
std::string ImageAt(const std::string &disk, off_t offset) {
    int dev = open(("/dev/" + disk).c_str(), O_RDONLY);
    EXPECT_GE(dev, 0);
    if (dev >= 0) {
        EXPECT_EQ(fsync(dev), 0);
        close(dev);
    }
    std::string buf(512, '\0');
    int fd = open(("/sim/disks/" + disk + ".img").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pread(fd, buf.data(), buf.size(), offset), 512);
    close(fd);
    return buf;
}

std::string Pattern(char seed) {
    std::string s(512, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(seed + i * 7);
    return s;
}

TEST(DiskSector, ByNameOrPath) {
    rsim::AddDisk("sdb", 4096);
    const std::string p = Pattern('a');
    ASSERT_EQ(QAVOWriteOneSectorToDev("sdb", 0, reinterpret_cast<const uint8_t *>(p.data())), 0);
    EXPECT_EQ(ImageAt("sdb", 0), p);
    uint8_t buf[512];
    for (const char *dev : {"sdb", "/dev/sdb"}) {
        ASSERT_EQ(QAVOReadOneSectorFromDev(dev, 0, buf), 0) << dev;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 512), p) << dev;
    }
    const std::string q = Pattern('q');
    ASSERT_EQ(QAVOWriteOneSectorToDev("/dev/sdb", 7, reinterpret_cast<const uint8_t *>(q.data())),
              0);
    EXPECT_EQ(ImageAt("sdb", 7 * 512), q);
    EXPECT_EQ(ImageAt("sdb", 0), p);
}

TEST(DiskSector, SectorsPastFourGiB) {
    rsim::AddDisk("sdb", 10485760);  // 5 GiB, sparse
    const std::string first = Pattern('0');
    ASSERT_EQ(QAVOWriteOneSectorToDev("sdb", 0, reinterpret_cast<const uint8_t *>(first.data())),
              0);
    const std::string far = Pattern('z');
    ASSERT_EQ(
        QAVOWriteOneSectorToDev("sdb", 8388608, reinterpret_cast<const uint8_t *>(far.data())), 0);
    EXPECT_EQ(ImageAt("sdb", 4294967296LL), far);
    EXPECT_EQ(ImageAt("sdb", 0), first);  // the disk's start is untouched
    uint8_t buf[512];
    ASSERT_EQ(QAVOReadOneSectorFromDev("/dev/sdb", 8388608, buf), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 512), far);
}

TEST(DiskSector, Failures) {
    rsim::AddDisk("sdb", 4096);
    uint8_t buf[512] = {0};
    SLIBErrSet(0);
    EXPECT_EQ(QAVOReadOneSectorFromDev("sdz", 0, buf), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_OPEN_FAILED);
    EXPECT_TRUE(qtest::SyslogHas("failed to open device [/dev/sdz]"));
    // Past the end: the transfer comes up short.
    EXPECT_EQ(QAVOReadOneSectorFromDev("sdb", 4096, buf), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_DEVICE_IO);
    EXPECT_EQ(QAVOWriteOneSectorToDev("sdb", 4096, buf), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_DEVICE_IO);
    // A path too long is refused, not cut to another device's name.
    const std::string longPath = "/dev/sdb" + std::string(120, '/');
    EXPECT_EQ(QAVOReadOneSectorFromDev(longPath.c_str(), 0, buf), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOReadOneSectorFromDev(nullptr, 0, buf), -1);
    EXPECT_EQ(QAVOReadOneSectorFromDev("sdb", 0, nullptr), -1);
}

TEST(DiskSector, OnlyKernelDeviceNamesAreTaken) {
    // A file the writers must never reach through a device name.
    const std::string victim(512, 'v');
    qtest::WriteFile("/tmp/victim", victim);
    uint8_t buf[512];
    memset(buf, 'X', sizeof buf);
    for (const char *name : {"../tmp/victim", "/dev/../tmp/victim", "/tmp/victim",
                             "sdb/../../tmp/victim", "", "/dev/", "sd b", "sdb\n"}) {
        SCOPED_TRACE(name);
        SLIBErrSet(0);
        EXPECT_EQ(QAVOWriteOneSectorToDev(name, 0, buf), -1);
        EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
        EXPECT_EQ(QAVOReadOneSectorFromDev(name, 0, buf), -1);
        EXPECT_EQ(USBBKPSetUBDIToDev(name, buf), -1);
        EXPECT_EQ(USBBKPInitUBDIToDev(name), -1);
    }
    EXPECT_EQ(qtest::ReadFile("/tmp/victim"), victim);
}

}  // namespace
