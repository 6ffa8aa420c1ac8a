#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <cstring>

#include "appliance.h"
#include "qavo_share.h"
#include "qavo_sharedir.h"
#include "qavo_sharemgmt.h"
#include "qavo_volume.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

void MountVolume(int n, const char *size = "16m") {
    const std::string dir = "/volume" + std::to_string(n);
    ASSERT_EQ(Sh("mkdir -p " + dir + " && mount -t tmpfs -o size=" + size + " tmpfs " + dir), 0);
}

// A tree with owners, modes, times, extended attributes, hard and symbolic
// links (one to its own parent, one to /).
void MakeTree(const std::string &dir) {
    ASSERT_EQ(Sh("mkdir -p " + dir + "/sub/deep && cd " + dir +
                 " && echo one > a && head -c 300000 /dev/urandom > sub/big && "
                 "echo two > sub/deep/c && chown 1030:100 a && chown 1031:1031 sub && "
                 "chmod 0640 a && chmod 2750 sub && ln a hard && ln -s .. sub/up && "
                 "ln -s / root && mkfifo pipe && touch -d '2001-02-03 04:05:06' a sub/deep && "
                 "touch -h -d '2002-01-01' root"),
              0);
    ASSERT_EQ(setxattr((dir + "/a").c_str(), "user.tag", "v1", 2, 0), 0);
    ASSERT_EQ(setxattr((dir + "/sub").c_str(), "user.dir", "v2", 2, 0), 0);
}

// rsync's itemized list of what differs between two trees (empty: none).
std::string Differences(const std::string &a, const std::string &b) {
    std::string out;
    qtest::Exec({"/usr/bin/rsync", "-aHXni", "-c", "--delete", a + "/", b + "/"}, &out);
    return out;
}

class ShareMove : public ::testing::Test {
  protected:
    void SetUp() override {
        MountVolume(1);
        MountVolume(2);
        MountVolume(4);  // the pristine copy
        WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tsecurity=user\n");
        QAVOSHARE s{};
        s.szName = const_cast<char *>("data");
        s.szPath = const_cast<char *>("/volume1/data");
        s.fType = QAVOSHARE_ACCESS_RW;
        s.fBrowseable = 1;
        ASSERT_EQ(QAVOShareSet(1, nullptr, &s), 1);
        MakeTree("/volume1/data");
        ASSERT_EQ(Sh("cp -a /volume1/data /volume4/pristine"), 0);
        smb_ = ReadFile(SZF_QAVO_SMB_CONF);
    }
    // Changes the share's path; the result and the SDK error code.
    int MoveTo(const char *path, SLIBERRCODE *code) {
        QAVOSHARE s{};
        s.szName = const_cast<char *>("data");
        s.szPath = const_cast<char *>(path);
        s.fType = QAVOSHARE_ACCESS_RW;
        s.fBrowseable = 1;
        SLIBErrSet(0);
        const int r = QAVOShareSet(1, "data", &s);
        *code = SLIBErrGet();
        return r;
    }
    std::string smb_;
};

TEST_F(ShareMove, MoveToAnotherVolumeKeepsEverythingAndRemovesTheSource) {
    const mode_t mask = umask(022);
    SLIBERRCODE code;
    ASSERT_EQ(MoveTo("/volume2/data", &code), 1) << std::hex << code;
    EXPECT_EQ(umask(mask), 022u);
    EXPECT_EQ(Differences("/volume4/pristine", "/volume2/data"), "");
    EXPECT_FALSE(FileExists("/volume1/data"));
    EXPECT_FALSE(FileExists("/volume2/@tmp/data"));
    EXPECT_NE(ReadFile(SZF_QAVO_SMB_CONF).find("\tpath=/volume2/data\n"), std::string::npos);
    // The recorded and requested paths are used, not /volume<N>/<name>.
    ASSERT_EQ(Sh("mkdir -p /volume1/nest"), 0);
    ASSERT_EQ(MoveTo("/volume1/nest/inner", &code), 1) << std::hex << code;
    EXPECT_EQ(Differences("/volume4/pristine", "/volume1/nest/inner"), "");
    EXPECT_FALSE(FileExists("/volume2/data"));
}

TEST_F(ShareMove, FailedMovesLeaveSourceAndSectionAlone) {
    struct Case {
        const char *name;
        const char *prepare;  // shell set-up of the target volume
        const char *path;
        SLIBERRCODE code;
    } cases[] = {
        {"full target", "mount -o remount,size=200k /volume2", "/volume2/data", ERR_SHARE_COPY},
        {"read-only target", "mount -o remount,ro /volume2", "/volume2/data", ERR_VOLUME_READONLY},
        {"unmounted target", "umount /volume2 && mkdir -p /volume2", "/volume2/data",
         ERR_VOLUME_CRASHED},
        {"busy destination", "mkdir -p /volume2/data && touch /volume2/data/x", "/volume2/data",
         ERR_SHARE_MOVE},
        {"missing parent", "true", "/volume2/no/such/data", ERR_SHARE_MOVE},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(Sh(std::string("umount /volume2 2>/dev/null; mkdir -p /volume2 && mount -t tmpfs "
                                 "-o size=16m tmpfs /volume2 && ") +
                     c.prepare),
                  0)
            << c.name;
        SLIBERRCODE code;
        EXPECT_EQ(MoveTo(c.path, &code), -1) << c.name;
        EXPECT_EQ(code, c.code) << c.name << std::hex << " " << code;
        EXPECT_EQ(Differences("/volume4/pristine", "/volume1/data"), "") << c.name;
        EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), smb_) << c.name;
        EXPECT_FALSE(FileExists("/volume2/@tmp/data")) << c.name;
        EXPECT_FALSE(FileExists("/volume2/no")) << c.name;
    }
}

TEST_F(ShareMove, AFailedSectionWriteMovesTheFolderBack) {
    ASSERT_EQ(Sh("mkdir -p /usr/qavo/etc/smb.conf.tmp/block"), 0);
    SLIBERRCODE code;
    EXPECT_EQ(MoveTo("/volume1/moved", &code), -1);
    EXPECT_EQ(MoveTo("/volume2/data", &code), -1);
    EXPECT_EQ(Differences("/volume4/pristine", "/volume1/data"), "");
    EXPECT_FALSE(FileExists("/volume1/moved"));
    EXPECT_FALSE(FileExists("/volume2/data"));
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), smb_);
}

TEST_F(ShareMove, StagingClearsOnlyItsOwnPath) {
    ASSERT_EQ(Sh("mkdir -p /volume2/@tmp/other && touch /volume2/@tmp/other/f && "
                 "mkdir -p /volume2/@tmp/copy && touch /volume2/@tmp/copy/stale"),
              0);
    const mode_t mask = umask(027);
    EXPECT_EQ(QAVOShareCopy2Tmp(1, 2, nullptr, "data", "copy"), 0) << std::hex << SLIBErrGet();
    EXPECT_EQ(umask(mask), 027u);
    EXPECT_TRUE(FileExists("/volume2/@tmp/other/f"));
    EXPECT_FALSE(FileExists("/volume2/@tmp/copy/stale"));
    EXPECT_EQ(Differences("/volume4/pristine", "/volume2/@tmp/copy"), "");
    EXPECT_EQ(QAVOShareTmp2New(2, nullptr, "copy"), 0);
    EXPECT_EQ(Differences("/volume4/pristine", "/volume2/copy"), "");
    EXPECT_EQ(QAVOShareTmp2New(2, nullptr, "copy"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_PATH));
    EXPECT_EQ(QAVOShareCopy2Tmp(1, 2, nullptr, "nosuch", "x"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_PATH));
    EXPECT_EQ(QAVOShareCopy2Tmp(1, 5, nullptr, "data", "x"), -1);
    EXPECT_EQ(QAVOShareCopy2Tmp(1, 2, nullptr, "..", "x"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST_F(ShareMove, CountingCopyKeepsTheTreeAndFailsWhole) {
    const mode_t mask = umask(022);
    const char *status = "/tmp/copy.status";
    ASSERT_EQ(ShareDirCopy("/volume1/data", "/volume2/copy", status), 0)
        << std::hex << SLIBErrGet();
    EXPECT_EQ(Differences("/volume4/pristine", "/volume2/copy"), "");
    char value[32];
    ASSERT_GT(SLIBFileGetKeyValue(status, "COPY_FILE_SIZE", value, sizeof(value), 0), 0);
    EXPECT_STREQ(value, "300008");  // a, sub/big, sub/deep/c; the hard link once
    EXPECT_EQ(DirCp2NewVolTmp(2, 1, "data", "staged", value, 21, status), 0);
    EXPECT_STREQ(value, "/volume2/@tmp/staged");
    EXPECT_EQ(umask(mask), 022u);

    // No room: the partial copy is removed and the failure named.
    ASSERT_EQ(Sh("rm -rf /volume2/copy /volume2/@tmp"), 0);
    ASSERT_EQ(Sh("mount -o remount,size=100k /volume2"), 0);
    EXPECT_EQ(ShareDirCopy("/volume1/data", "/volume2/copy", status), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_NO_SPACE));
    EXPECT_FALSE(FileExists("/volume2/copy"));
    EXPECT_EQ(DirCp2NewVolTmp(2, 2, "data", "x", value, sizeof(value), status), -1);
    EXPECT_EQ(DirCp2NewVolTmp(2, 1, "data", "x", value, 10, status), -1);

    // A staging folder that cannot be made is a failed copy, whatever code
    // an earlier call left behind.
    WriteFile("/volume2/@tmp", "not a folder\n");
    SLIBErrSet(ERR_NOT_FOUND);
    EXPECT_EQ(DirCp2NewVolTmp(2, 1, "data", "x", value, sizeof(value), status), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_SHARE_COPY));
}

TEST(ShareCopyCount, A25MiBFileWritesTheCountThreeTimes) {
    MountVolume(1, "64m");
    MountVolume(2, "64m");
    ASSERT_EQ(Sh("mkdir -p /volume1/big && head -c 26214400 /dev/zero > /volume1/big/f && "
                 "mkdir -p /tmp/status"),
              0);
    const int fd = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_GE(inotify_add_watch(fd, "/tmp/status", IN_MOVED_TO | IN_CLOSE_WRITE), 0);
    ASSERT_EQ(ShareDirCopy("/volume1/big", "/volume2/big", "/tmp/status/s"), 0);
    int writes = 0;
    alignas(struct inotify_event) char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        for (char *p = buf; p < buf + n;) {
            auto *e = reinterpret_cast<struct inotify_event *>(p);
            if (e->len && strcmp(e->name, "s") == 0) ++writes;
            p += sizeof(struct inotify_event) + e->len;
        }
    }
    close(fd);
    EXPECT_EQ(writes, 3);
    char value[32];
    ASSERT_GT(SLIBFileGetKeyValue("/tmp/status/s", "COPY_FILE_SIZE", value, sizeof(value), 0), 0);
    EXPECT_STREQ(value, "26214400");
}

TEST(VolumeHealth, FromTheMountTableByWholeMountPoint) {
    ASSERT_EQ(Sh("mkdir -p /volume12 /volume1 /volume3 && mount -t tmpfs tmpfs /volume12 && "
                 "mount -t tmpfs tmpfs /volume3 && mount -o remount,ro /volume3"),
              0);
    MountVolume(2);
    int health = -1;
    EXPECT_EQ(QAVOVolHealthCheck(1, &health), 0);
    EXPECT_EQ(health, QAVO_VOLUME_NOT_MOUNTED);
    EXPECT_EQ(QAVOVolHealthCheck(2, &health), 0);
    EXPECT_EQ(health, QAVO_VOLUME_WRITABLE);
    EXPECT_EQ(QAVOVolHealthCheck(3, &health), 0);
    EXPECT_EQ(health, QAVO_VOLUME_READONLY);
    EXPECT_EQ(QAVOVolHealthCheck(5, &health), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    QAVOVOLINFO info;
    ASSERT_EQ(QAVOVolInfoGet(2, &info), 0);
    EXPECT_STREQ(info.svi_mountpoint, "/volume2");
    EXPECT_EQ(info.svi_total, 16u << 20);
    EXPECT_GT(info.svi_free, 0u);
    ASSERT_EQ(QAVOVolInfoGet(1, &info), 0);
    EXPECT_EQ(info.svi_mounted, 0);
    EXPECT_EQ(info.svi_number, 1);
}

}  // namespace
