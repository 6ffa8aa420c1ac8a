// Seeks on the flash devices: refused outside the device as the kernel's MTD
// character device refuses them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "appliance.h"
#include "qavosim.h"

using namespace qtest;

namespace {

// lseek's result, or -errno.
off_t Seek(int fd, off_t off, int whence) {
    errno = 0;
    off_t r = lseek(fd, off, whence);
    return r < 0 ? -errno : r;
}

}  // namespace

TEST(FlashSeek, PositionsOutsideTheDeviceAreRefused) {
    {
        qsim::Appliance hw("edition pomlet");
        int fd = open("/dev/mtd_vender", O_RDONLY);
        ASSERT_GE(fd, 0);
        const off_t size = 0x10000;
        struct Case {
            off_t off;
            int whence;
            off_t expect;  // new position or -errno
        } cases[] = {
            {0x2000, SEEK_SET, 0x2000},     {size, SEEK_SET, size},
            {size + 1, SEEK_SET, -EINVAL},  {0x12000, SEEK_SET, -EINVAL},
            {-1, SEEK_SET, -EINVAL},        {0, SEEK_END, size},
            {1, SEEK_END, -EINVAL},         {-size, SEEK_END, 0},
            {-size - 1, SEEK_END, -EINVAL}, {0x100, SEEK_SET, 0x100},
            {size - 0x100, SEEK_CUR, size}, {1, SEEK_CUR, -EINVAL},
            {0, SEEK_DATA, -EINVAL},
        };
        for (auto &c : cases)
            EXPECT_EQ(Seek(fd, c.off, c.whence), c.expect) << c.off << " whence " << c.whence;
        EXPECT_EQ(Seek(fd, 0, SEEK_CUR), size);  // a refused seek leaves the position
        char b;
        EXPECT_EQ(read(fd, &b, 1), 0);
        close(fd);
    }

    // The full edition's vendor partition holds the offset; files are not devices.
    qsim::Appliance full("edition full");
    int fd = open("/dev/mtd_vender", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Seek(fd, 0x12000, SEEK_SET), 0x12000);
    close(fd);
    WriteFile("/tmp/plain", "abc");
    fd = open("/tmp/plain", O_RDONLY);
    EXPECT_EQ(Seek(fd, 0x12000, SEEK_SET), 0x12000);
    close(fd);
}
