#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_service.h"
#include "qavo_servicemove.h"
#include "qavo_share.h"
#include "qavo_sharelookup.h"
#include "qavo_sharemgmt.h"
#include "services_support.h"
#include "slib_errcode.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;
using Strings = std::vector<std::string>;

void MountVolume(int n, const std::string &options = "size=32m") {
    const std::string dir = "/volume" + std::to_string(n);
    ASSERT_EQ(Sh("mkdir -p " + dir + " && mount -t tmpfs -o " + options + " tmpfs " + dir), 0);
}

std::string LinkOf(const char *link) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(link, buf, sizeof(buf));
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// rsync's itemized list of what differs between two trees (empty: none).
std::string Differences(const std::string &a, const std::string &b) {
    std::string out;
    qtest::Exec({"/usr/bin/rsync", "-aHXni", "-c", "--delete", a + "/", b + "/"}, &out);
    return out;
}

// A small tree with owners, modes, links and a database-like file.
void MakeData(const std::string &dir) {
    ASSERT_EQ(Sh("mkdir -p " + dir + "/sub && cd " + dir +
                 " && head -c 200000 /dev/urandom > table.db && echo cfg > sub/conf && "
                 "chown 1024:100 table.db && chmod 0600 table.db && ln -s sub/conf link && "
                 "ln table.db hard && touch -d '2003-04-05 06:07:08' sub/conf"),
              0);
}

struct Service {
    int id;
    const char *folder;  // below the volume root
    const char *link;
    const char *daemon;
    const char *script;
};

constexpr Service kMoved[] = {
    {SERVICE_DOWNLOAD, "@download", "/var/services/download", "scheduler", "S25download.sh"},
    {SERVICE_MYSQL, "@database/mysql", "/var/services/mysql", "mysqld", "S21mysql.sh"},
    {SERVICE_SPOOL, "@spool", "/var/services/printer", "lpd", "S55lpd.sh"},
};

class ServiceMove : public ::testing::Test {
  protected:
    void SetUp() override {
        MountVolume(1);
        MountVolume(4);  // the pristine copies
        WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tsecurity=user\n");
    }
    // The service's data on volume 1 with its link, a pristine copy on
    // volume 4 and, when asked, its daemon running.
    void Place(const Service &s, bool running) {
        const std::string dir = std::string("/volume1/") + s.folder;
        MakeData(dir);
        ASSERT_EQ(Sh("cp -a " + dir + " /volume4/pristine"), 0);
        const char *leaf = strrchr(s.folder, '/') ? strrchr(s.folder, '/') + 1 : s.folder + 1;
        ASSERT_EQ(QAVOServiceLinkSet(s.id, leaf, 1), 0);
        if (running) {
            ASSERT_EQ(svctest::StartDaemon(s.daemon), 0);
            ASSERT_NE(svctest::RunningPid(s.daemon), 0);
        }
        qtest::ClearCalls();
    }
    // Everything as Place left it.
    void ExpectUnchanged(const Service &s, int pid) {
        const std::string dir = std::string("/volume1/") + s.folder;
        EXPECT_EQ(Differences("/volume4/pristine", dir), "") << s.folder;
        EXPECT_EQ(LinkOf(s.link), dir);
        EXPECT_FALSE(FileExists(std::string("/volume2/") + s.folder)) << s.folder;
        EXPECT_EQ(Sh("[ -z \"$(ls -A /volume2/@tmp 2>/dev/null)\" ]"), 0);
        if (pid != 0) {
            EXPECT_NE(svctest::RunningPid(s.daemon), 0) << s.daemon;
        }
    }
};

TEST_F(ServiceMove, DataMovesWithItsDaemonStoppedAroundTheCopy) {
    MountVolume(2);
    for (const Service &s : kMoved) {
        Place(s, true);
        const int before = svctest::RunningPid(s.daemon);
        ASSERT_EQ(QAVOServiceVolumeSet(s.id, 2), 0) << s.folder;
        const std::string moved = std::string("/volume2/") + s.folder;
        EXPECT_EQ(Differences("/volume4/pristine", moved), "") << s.folder;
        EXPECT_EQ(LinkOf(s.link), moved);
        EXPECT_FALSE(FileExists(std::string("/volume1/") + s.folder)) << s.folder;
        EXPECT_EQ(svctest::ServiceCalls(),
                  (Strings{std::string(s.script) + " stop", std::string(s.script) + " start"}));
        const int after = svctest::RunningPid(s.daemon);
        EXPECT_NE(after, 0) << s.daemon;
        EXPECT_NE(after, before) << s.daemon;
        Strings events;
        for (const auto &e : svctest::DaemonEvents())
            if (e.name == s.daemon) events.push_back(e.event);
        EXPECT_EQ(events, (Strings{"start", "SIGTERM", "start"})) << s.daemon;
        ASSERT_EQ(Sh("rm -rf /volume4/pristine"), 0);
    }
    std::string owner;
    qtest::Exec({"/usr/bin/stat", "-c", "%U", "/volume2/@database"}, &owner);
    EXPECT_EQ(owner, "admin\n");
}

TEST_F(ServiceMove, ADaemonThatDidNotRunIsNotStarted) {
    MountVolume(2);
    Place(kMoved[0], false);
    ASSERT_EQ(QAVOServiceVolumeSet(SERVICE_DOWNLOAD, 2), 0);
    EXPECT_TRUE(svctest::ServiceCalls().empty());
    EXPECT_EQ(svctest::RunningPid("scheduler"), 0);
    EXPECT_EQ(LinkOf("/var/services/download"), "/volume2/@download");
}

TEST_F(ServiceMove, FailuresLeaveDataLinkAndDaemonAsTheyWere) {
    struct Case {
        const char *name, *options;
        bool readOnly;
        SLIBERRCODE code;
    } cases[] = {
        {"too small", "size=128k", false, ERR_VOLUME_SPACE},
        {"read-only", "size=32m", true, ERR_VOLUME_READONLY},
        // Room for the bytes but not for the files: the copy itself fails.
        {"copy fails", "size=32m,nr_inodes=4", false, ERR_SHARE_COPY},
    };
    for (const Case &c : cases) {
        for (const Service &s : {kMoved[0], kMoved[1]}) {
            SCOPED_TRACE(std::string(c.name) + " " + s.folder);
            MountVolume(2, c.options);
            if (c.readOnly) {
                ASSERT_EQ(Sh("mount -o remount,ro /volume2"), 0);
            }
            Place(s, true);
            const int pid = svctest::RunningPid(s.daemon);
            SLIBErrSet(0);
            EXPECT_EQ(QAVOServiceVolumeSet(s.id, 2), -1);
            EXPECT_EQ(SLIBErrGet(), c.code);
            ExpectUnchanged(s, pid);
            EXPECT_FALSE(FileExists("/volume2/@database"));
            ASSERT_EQ(Sh("umount /volume2 && rm -rf /volume4/pristine /volume1/@*"), 0);
            qtest::Exec({"/usr/qavo/etc/rc.d/" + std::string(s.script), "stop"});
        }
    }
}

TEST_F(ServiceMove, SameVolumeCopiesNothingAndNoLinkIsPreparedAndLinked) {
    MountVolume(2);
    Place(kMoved[0], true);
    EXPECT_EQ(QAVOServiceVolumeSet(SERVICE_DOWNLOAD, 1), 0);
    EXPECT_TRUE(svctest::ServiceCalls().empty());
    ExpectUnchanged(kMoved[0], 1);

    // No usable link (volume 0): the folder is made and linked, nothing copied.
    ASSERT_EQ(unlink("/var/services/download"), 0);
    EXPECT_EQ(QAVOServiceVolumeSet(SERVICE_DOWNLOAD, 2), 0);
    EXPECT_EQ(LinkOf("/var/services/download"), "/volume2/@download");
    struct stat st;
    ASSERT_EQ(stat("/volume2/@download", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(Sh("[ -z \"$(ls -A /volume2/@download)\" ]"), 0);
    EXPECT_EQ(Differences("/volume4/pristine", "/volume1/@download"), "");
    EXPECT_TRUE(svctest::ServiceCalls().empty());

    // A missing folder on the linked volume is made again.
    ASSERT_EQ(rmdir("/volume2/@download"), 0);
    EXPECT_EQ(QAVOServiceVolumeSet(SERVICE_DOWNLOAD, 2), 0);
    EXPECT_EQ(Sh("[ -d /volume2/@download ]"), 0);

    for (int bad : {0, 5})
        EXPECT_EQ(QAVOServiceVolumeSet(SERVICE_DOWNLOAD, bad), -1);
    EXPECT_EQ(QAVOServiceVolumeSet(0, 1), -1);
}

QAVOSHARE ShareOf(const char *name, const char *path) {
    QAVOSHARE s{};
    s.szName = const_cast<char *>(name);
    s.szComment = const_cast<char *>("");
    s.szPath = const_cast<char *>(path);
    s.szDeny = const_cast<char *>("");
    s.szRW = const_cast<char *>("admin");
    s.szRO = const_cast<char *>("");
    s.fType = QAVOSHARE_ACCESS_RW;
    s.fBrowseable = 1;
    return s;
}

TEST_F(ServiceMove, AShareServiceNeverMovesHere) {
    MountVolume(2);
    QAVOSHARE photo = ShareOf("photo", "/volume1/photo");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &photo), 1);
    ASSERT_EQ(LinkOf("/var/services/photo"), "/volume1/photo");
    WriteFile("/volume1/photo/a.jpg", "jpg");
    const std::string conf = ReadFile(SZF_QAVO_SMB_CONF);

    SLIBErrSet(0);
    EXPECT_EQ(QAVOServiceVolumeSet(SERVICE_PHOTO, 2), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    EXPECT_EQ(LinkOf("/var/services/photo"), "/volume1/photo");
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), conf);
    EXPECT_EQ(ReadFile("/volume1/photo/a.jpg"), "jpg");
    EXPECT_FALSE(FileExists("/volume2/photo"));

    // Linked where its share lies: nothing to do. Without a share one is made.
    EXPECT_EQ(QAVOServiceVolumeSet(SERVICE_PHOTO, 1), 0);
    EXPECT_EQ(QAVOServiceVolumeSet(SERVICE_MUSIC, 2), 0);
    PQAVOSHARE music = QAVOShareGetCaseLess("music");
    ASSERT_NE(music, nullptr);
    EXPECT_STREQ(music->szPath, "/volume2/music");
    EXPECT_STREQ(music->szRW, "admin");
    QAVOShareFree(music);
    EXPECT_EQ(LinkOf("/var/services/music"), "/volume2/music");
}

TEST_F(ServiceMove, FolderSizeAgainstFreeSpace) {
    MountVolume(2, "size=1m");
    const long free = 1024 * 1024;  // an empty tmpfs of 1 MiB
    ASSERT_EQ(Sh("mkdir -p /volume1/@x/@y && head -c " + std::to_string(free - 10) +
                 " /dev/zero > /volume1/@x/@y/f && head -c 10 /dev/zero > /volume1/@x/@y/g"),
              0);
    EXPECT_EQ(CheckTargetFolderSize("@y", "@x", 1, 2), 0);  // exactly as much
    EXPECT_EQ(CheckTargetFolderSize("@x", nullptr, 1, 2), 0);
    ASSERT_EQ(Sh("echo -n z >> /volume1/@x/@y/g"), 0);
    EXPECT_EQ(CheckTargetFolderSize("@y", "@x", 1, 2), 1);  // one byte more
    EXPECT_EQ(CheckTargetFolderSize("@nosuch", nullptr, 1, 2), -1);
    EXPECT_EQ(CheckTargetFolderSize(nullptr, nullptr, 1, 2), -1);
    EXPECT_EQ(CheckTargetFolderSize("@x", nullptr, 0, 2), -1);
    EXPECT_EQ(CheckTargetFolderSize("@x", nullptr, 1, 0), -1);
}

TEST_F(ServiceMove, RemoveTakesOnlyEmptyFolders) {
    // One file: nothing goes.
    ASSERT_EQ(Sh("mkdir -p /volume1/@download && echo x > /volume1/@download/f"), 0);
    ASSERT_EQ(QAVOServiceLinkSet(SERVICE_DOWNLOAD, "download", 1), 0);
    EXPECT_EQ(QAVOServiceShareRemove(SERVICE_DOWNLOAD), 0);
    EXPECT_EQ(ReadFile("/volume1/@download/f"), "x\n");
    EXPECT_EQ(LinkOf("/var/services/download"), "/volume1/@download");
    // Empty: the folder and the link go.
    ASSERT_EQ(unlink("/volume1/@download/f"), 0);
    EXPECT_EQ(QAVOServiceShareRemove(SERVICE_DOWNLOAD), 1);
    EXPECT_FALSE(FileExists("/volume1/@download"));
    EXPECT_EQ(LinkOf("/var/services/download"), "");
    EXPECT_EQ(QAVOServiceShareRemove(SERVICE_DOWNLOAD), 0);  // no link: nothing to do

    // A share service: the share goes with its empty folder.
    QAVOSHARE web = ShareOf("web", "/volume1/web");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &web), 1);
    EXPECT_EQ(QAVOServiceShareRemove(SERVICE_WEB), 1);
    EXPECT_EQ(QAVOShareGetCaseLess("web"), nullptr);
    EXPECT_FALSE(FileExists("/volume1/web"));
    EXPECT_EQ(LinkOf("/var/services/web"), "");

    // The link names an empty folder, but the share's own folder holds data.
    QAVOSHARE photo = ShareOf("photo", "/volume1/pictures");
    ASSERT_EQ(QAVOShareSet(1, nullptr, &photo), 1);
    WriteFile("/volume1/pictures/a.jpg", "jpg");
    ASSERT_EQ(Sh("mkdir -p /volume1/photo"), 0);
    ASSERT_EQ(QAVOServiceLinkSet(SERVICE_PHOTO, "photo", 1), 0);
    const std::string conf = ReadFile(SZF_QAVO_SMB_CONF);
    EXPECT_EQ(QAVOServiceShareRemove(SERVICE_PHOTO), 0);
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), conf);
    EXPECT_EQ(ReadFile("/volume1/pictures/a.jpg"), "jpg");
    EXPECT_EQ(LinkOf("/var/services/photo"), "/volume1/photo");
}

TEST_F(ServiceMove, AFolderThatCannotBeReadRemovesNothing) {
    ASSERT_EQ(Sh("mkdir -p /volume1/@download"), 0);
    ASSERT_EQ(QAVOServiceLinkSet(SERVICE_DOWNLOAD, "download", 1), 0);
    // No descriptor left for opening the folder: its emptiness is unknown.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int lowest = dup(0);
        close(lowest);
        const rlimit limit = {static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
        setrlimit(RLIMIT_NOFILE, &limit);
        const int r = QAVOServiceShareRemove(SERVICE_DOWNLOAD);
        _exit(r == -1 && SLIBErrGet() == ERR_UNICODE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Sh("[ -d /volume1/@download ]"), 0);
    EXPECT_EQ(LinkOf("/var/services/download"), "/volume1/@download");
}

}  // namespace
