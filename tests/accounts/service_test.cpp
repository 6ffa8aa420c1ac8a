#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_netservice.h"
#include "qavo_service.h"
#include "qavo_share.h"
#include "services_support.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"

namespace {

using svctest::SetKey;
using Ids = std::vector<int>;
using Strings = std::vector<std::string>;

std::string Key(const char *key) {
    char value[64];
    int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, value, sizeof(value), 0);
    return r > 0 ? value : "<absent>";
}

std::string LinkOf(const std::string &path) {
    char buf[256];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf));
    return n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n));
}

void Link(const std::string &target, const std::string &link) {
    mkdir(SZD_SERVICES, 0755);
    unlink(link.c_str());
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

void MakeDir(const std::string &dir) {
    ASSERT_EQ(qtest::Sh("mkdir -p '" + dir + "'"), 0) << dir;
}

// Mounts a small tmpfs as a data volume, read-only when asked.
void MountVolume(int n, bool readOnly = false) {
    const std::string dir = "/volume" + std::to_string(n);
    std::string cmd = "mkdir -p " + dir + " && mount -t tmpfs -o size=1m tmpfs " + dir;
    if (readOnly) cmd += " && mount -o remount,ro " + dir;
    ASSERT_EQ(qtest::Sh(cmd), 0) << cmd;
}

Ids List(int mode, int capacity = 10) {
    int ids[10];
    int count = capacity;
    EXPECT_EQ(QAVOServiceGetAll(ids, &count, mode), 0) << mode;
    return Ids(ids, ids + count);
}

Ids OnVolume(int volume) {
    int ids[10];
    int count = 10;
    EXPECT_EQ(QAVOServiceGetByVolume(ids, &count, volume), 0) << volume;
    return Ids(ids, ids + count);
}

const char kShares[] =
    "[global]\n"
    "\tworkgroup=WORKGROUP\n"
    "[Web]\n"
    "\tpath=/volume2/Web\n"
    "\tguest ok=no\n"
    "\twriteable=no\n"
    "[photo]\n"
    "\tpath=/volume1/photo\n"
    "\tguest ok=no\n"
    "\twriteable=no\n"
    "[music]\n"
    "\tpath=/share/music\n"
    "\tguest ok=no\n"
    "\twriteable=no\n";

TEST(ServiceInfo, RecordsComeFromTheServiceTable) {
    struct Case {
        int id;
        const char *name, *link, *key;
        int shareType;
    } cases[] = {
        {1, "web", "/var/services/web", "runweb", SERVICE_SHARE_SHARE},
        {2, "photo", "/var/services/photo", "runphoto", SERVICE_SHARE_SHARE},
        {3, "NetBackup", "/var/services/NetBackup", "runnetbkp", SERVICE_SHARE_SHARE},
        {4, "download", "/var/services/download", "download_enabled", SERVICE_SHARE_HIDDEN},
        {5, "video", "/var/services/video", "runmediaservice", SERVICE_SHARE_SHARE},
        {6, "music", "/var/services/music", "runmediaservice", SERVICE_SHARE_SHARE},
        {7, "mysql", "/var/services/mysql", "runmysql", SERVICE_SHARE_DATABASE},
        {8, "spool", "/var/services/printer", "", SERVICE_SHARE_HIDDEN},
    };
    for (const Case &c : cases) {
        QAVOSERVICE svc;
        memset(&svc, 0x5A, sizeof(svc));
        EXPECT_EQ(QAVOServiceInfoGet(c.id, &svc), 0) << c.id;
        EXPECT_EQ(svc.id, c.id);
        EXPECT_EQ(svc.volume, 0);
        EXPECT_STREQ(svc.szName, c.name);
        EXPECT_STREQ(svc.szLink, c.link);
        EXPECT_STREQ(svc.szKey, c.key);
        EXPECT_STREQ(svc.szTarget, "");
        EXPECT_EQ(svc.iShareType, c.shareType);
        EXPECT_EQ(svc.fHasKey, c.key[0] ? 1 : 0);
    }
    QAVOSERVICE svc;
    for (int bad : {0, 9, -1}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOServiceInfoGet(bad, &svc), -1) << bad;
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    }
    EXPECT_TRUE(qtest::SyslogHas("NO Service found", LOG_ERR));
    EXPECT_EQ(QAVOServiceInfoGet(1, nullptr), -1);
}

TEST(ServiceInfo, LinkStatesGiveTheVolume) {
    const std::string longTarget = "/volume3/" + std::string(43, 'd');  // 52 characters
    MakeDir("/volume2/web");
    MakeDir(longTarget);
    MakeDir("/volume1/@database/mysql");
    struct Case {
        const char *what;
        const char *target;  // nullptr: no link
        int result, volume;
        const char *recorded;
    } cases[] = {
        {"no link", nullptr, 0, 0, ""},
        {"a directory", "/volume2/web", 1, 2, "/volume2/web"},
        {"a database folder", "/volume1/@database/mysql", 1, 1, "/volume1/@database/mysql"},
        {"a folder that is gone", "/volume4/web", 0, 0, ""},
        {"outside the volumes", "/tmp", 0, 0, ""},
        {"too long for the record", longTarget.c_str(), 0, 0, ""},
    };
    for (const Case &c : cases) {
        unlink("/var/services/web");
        if (c.target) Link(c.target, "/var/services/web");
        QAVOSERVICE svc;
        EXPECT_EQ(QAVOServiceInfoGet(SERVICE_WEB, &svc), c.result) << c.what;
        EXPECT_EQ(svc.volume, c.volume) << c.what;
        EXPECT_STREQ(svc.szTarget, c.recorded) << c.what;
    }

    // Something at the link's place that is no link cannot be read as one.
    unlink("/var/services/web");
    MakeDir("/var/services/web");
    QAVOSERVICE svc;
    EXPECT_EQ(QAVOServiceInfoGet(SERVICE_WEB, &svc), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_UNICODE));
    EXPECT_EQ(QAVOServiceLinkVolumeGet(""), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST(ServiceLink, EachServiceLinksToItsFolderOnEachVolume) {
    struct Case {
        int id;
        const char *folder;
        const char *form;  // the target with %d for the volume
    } cases[] = {
        {SERVICE_WEB, "web", "/volume%d/web"},
        {SERVICE_PHOTO, "photo", "/volume%d/photo"},
        {SERVICE_NETBACKUP, "NetBackup", "/volume%d/NetBackup"},
        {SERVICE_DOWNLOAD, "download", "/volume%d/@download"},
        {SERVICE_VIDEO, "video", "/volume%d/video"},
        {SERVICE_MUSIC, "music", "/volume%d/music"},
        {SERVICE_MYSQL, "mysql", "/volume%d/@database/mysql"},
        {SERVICE_SPOOL, "spool", "/volume%d/@spool"},
    };
    rmdir(SZD_SERVICES);
    for (int volume = 1; volume <= 4; ++volume) {
        for (const Case &c : cases) {
            ASSERT_EQ(QAVOServiceLinkSet(c.id, c.folder, volume), 0) << c.folder << volume;
            QAVOSERVICE svc;
            QAVOServiceInfoGet(c.id, &svc);
            char expected[64];
            snprintf(expected, sizeof(expected), c.form, volume);
            EXPECT_EQ(LinkOf(svc.szLink), expected);
            EXPECT_EQ(QAVOServiceLinkVolumeGet(svc.szLink), volume) << expected;
        }
    }
    struct stat st;
    ASSERT_EQ(stat(SZD_SERVICES, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 022, 0u) << "others may not plant links";
}

TEST(ServiceLink, BadRequestsLeaveTheLinkAlone) {
    ASSERT_EQ(QAVOServiceLinkSet(SERVICE_WEB, "web", 1), 0);
    struct Case {
        int id;
        const char *share;
        int volume;
    } cases[] = {
        {SERVICE_WEB, "web", 0},
        {SERVICE_WEB, "web", 5},
        {SERVICE_WEB, "", 2},
        {SERVICE_WEB, nullptr, 2},
        {SERVICE_WEB, "../../etc", 2},
        {SERVICE_WEB, "..", 2},
        // A 54-character target: cut to 51 it would name another folder.
        {SERVICE_WEB, "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrs", 2},
        {9, "web", 2},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOServiceLinkSet(c.id, c.share, c.volume), -1) << (c.share ? c.share : "-");
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    }
    EXPECT_EQ(LinkOf("/var/services/web"), "/volume1/web");
    // A 51-character target is the longest that fits.
    const std::string longest(51 - strlen("/volume2/"), 'x');
    EXPECT_EQ(QAVOServiceLinkSet(SERVICE_WEB, longest.c_str(), 2), 0);
    EXPECT_EQ(LinkOf("/var/services/web"), "/volume2/" + longest);
}

TEST(ServiceLink, WhatStandsInsteadOfTheLinkFolderIsReplaced) {
    ASSERT_EQ(qtest::Sh("rm -rf /var/services"), 0);
    qtest::WriteFile(SZD_SERVICES, "not a folder");
    EXPECT_EQ(QAVOServiceLinkSet(SERVICE_MYSQL, "mysql", 3), 0);
    EXPECT_EQ(LinkOf("/var/services/mysql"), "/volume3/@database/mysql");
}

TEST(ServiceList, CapacityAndModes) {
    EXPECT_EQ(List(QAVO_SERVICE_LIST_ALL, 8), (Ids{1, 2, 3, 4, 5, 6, 7, 8}));
    int ids[8] = {};
    int count = 7;
    EXPECT_EQ(QAVOServiceGetAll(ids, &count, QAVO_SERVICE_LIST_ALL), -1);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(Ids(ids, ids + 8), (Ids{1, 2, 3, 4, 5, 6, 7, 0}));
    EXPECT_TRUE(qtest::SyslogHas("iCount exceeds the size of pID array", LOG_ERR));

    count = 0;
    EXPECT_EQ(QAVOServiceGetAll(nullptr, &count, QAVO_SERVICE_LIST_ALL), 0);
    EXPECT_EQ(count, 8);
    count = 3;
    EXPECT_EQ(QAVOServiceGetAll(nullptr, &count, QAVO_SERVICE_LIST_ALL), -1);
    EXPECT_EQ(QAVOServiceGetAll(ids, nullptr, QAVO_SERVICE_LIST_ALL), -1);
    EXPECT_EQ(List(5), Ids{});

    EXPECT_EQ(List(QAVO_SERVICE_LIST_ENABLED), Ids{});
    SetKey("runmediaservice", "yes");
    EXPECT_EQ(List(QAVO_SERVICE_LIST_ENABLED), (Ids{2, 5, 6}));
    SetKey("runmediaservice", "no");
    SetKey("runweb", "YES");
    SetKey("runmysql", "yes");
    SetKey("download_enabled", "yes");
    EXPECT_EQ(List(QAVO_SERVICE_LIST_ENABLED), (Ids{1, 4, 7}));
    EXPECT_EQ(QAVOServiceIsEnabled(SERVICE_SPOOL), 0);
    SetKey("download_enabled", "Yes");  // the download manager reads exactly "yes"
    EXPECT_EQ(QAVOServiceIsEnabled(SERVICE_DOWNLOAD), 0);
}

TEST(ServiceList, ShareNamesAndVolumesOfShares) {
    struct Case {
        const char *name;
        int id;
    } cases[] = {{"web", 1},      {"PHOTO", 2}, {"netbackup", 3}, {"Video", 5},  {"music", 6},
                 {"download", 0}, {"mysql", 0}, {"spool", 0},     {"printer", 0}};
    for (const Case &c : cases)
        EXPECT_EQ(QAVOServiceIdGetByShare(c.name), c.id) << c.name;
    SLIBErrSet(0);
    EXPECT_EQ(QAVOServiceIdGetByShare(""), 0);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));

    qtest::WriteFile(SZF_QAVO_SMB_CONF, kShares);
    EXPECT_EQ(QAVOServiceVolumeGetbyShare("web"), 2);
    EXPECT_EQ(QAVOServiceVolumeGetbyShare("photo"), 1);
    EXPECT_EQ(QAVOServiceVolumeGetbyShare("video"), 0);
    EXPECT_EQ(QAVOServiceVolumeGetbyShare("music"), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_NO_VOLUME_NUMBER));
    EXPECT_EQ(QAVOServiceVolumeGetbyShare(nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST(ServiceVolume, DataFoldersAreFoundAndTheDefaultIsTheFirstWritableVolume) {
    MountVolume(1, true);
    MountVolume(2);
    MountVolume(3);
    MakeDir("/volume3/@download");
    MakeDir("/volume2/@database/mysql");
    qtest::WriteFile(SZF_QAVO_SMB_CONF, kShares);
    QAVOSERVICE svc;
    struct Case {
        int id;
        int found, byDefault;
    } cases[] = {
        {SERVICE_DOWNLOAD, 3, 3}, {SERVICE_MYSQL, 2, 2}, {SERVICE_SPOOL, 0, 2},
        {SERVICE_WEB, 2, 2},      {SERVICE_VIDEO, 0, 2},
    };
    for (const Case &c : cases) {
        QAVOServiceInfoGet(c.id, &svc);
        EXPECT_EQ(QAVOServiceVolumeFind(&svc), c.found) << c.id;
        EXPECT_EQ(QAVOServiceVolumeGetDefault(&svc), c.byDefault) << c.id;
    }
    QAVOServiceInfoGet(SERVICE_MUSIC, &svc);
    EXPECT_EQ(QAVOServiceVolumeFind(&svc), -1);
    EXPECT_TRUE(qtest::SyslogHas("Failed to Get Volume by Share path for service", LOG_ERR));
    svc.iShareType = 7;
    EXPECT_EQ(QAVOServiceVolumeFind(&svc), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST(ServiceVolume, ServicesOnAVolume) {
    qtest::WriteFile(SZF_QAVO_SMB_CONF, kShares);
    // Shares count by their folder, the others by their link.
    Link("/volume2/@download", "/var/services/download");
    Link("/volume1/@database/mysql", "/var/services/mysql");
    Link("/volume2/web", "/var/services/photo");  // not what places a share
    EXPECT_EQ(OnVolume(2), (Ids{1, 4}));
    EXPECT_EQ(OnVolume(1), (Ids{2, 7}));
    EXPECT_EQ(OnVolume(4), Ids{});
    EXPECT_TRUE(qtest::SyslogHas("Failed to check if service 6 is on volume", LOG_ERR));

    int ids[2];
    int count = 1;
    EXPECT_EQ(QAVOServiceGetByVolume(ids, &count, 2), -1);
    EXPECT_TRUE(qtest::SyslogHas("service count is not enough", LOG_ERR));
    for (int bad : {0, 5}) {
        count = 2;
        EXPECT_EQ(QAVOServiceGetByVolume(ids, &count, bad), -1);
        EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
    }
}

TEST(ServiceDisable, EachServiceWritesItsKeys) {
    const char *keys[] = {"runweb",    "runphoto", "runmediaservice", "runnetbkp",
                          "runitunes", "runmysql", "download_enabled"};
    struct Case {
        int id;
        Strings off;
    } cases[] = {
        {SERVICE_WEB, {"runweb"}},
        {SERVICE_PHOTO, {"runphoto", "runmediaservice"}},
        {SERVICE_NETBACKUP, {"runnetbkp"}},
        {SERVICE_DOWNLOAD, {"download_enabled"}},
        {SERVICE_VIDEO, {"runmediaservice"}},
        {SERVICE_MUSIC, {"runitunes", "runmediaservice"}},
        {SERVICE_MYSQL, {"runmysql"}},
        {SERVICE_SPOOL, {}},
        {0, {}},
    };
    for (const Case &c : cases) {
        for (const char *k : keys)
            SetKey(k, "yes");
        EXPECT_EQ(QAVOServiceDisable(c.id), 0) << c.id;
        for (const char *k : keys) {
            const bool off = std::find(c.off.begin(), c.off.end(), k) != c.off.end();
            EXPECT_EQ(Key(k), off ? "no" : "yes") << c.id << " " << k;
        }
    }
    EXPECT_TRUE(qtest::SyslogHas("printer has no disable option", LOG_ERR));
    EXPECT_EQ(Key("download_order"), "request");

    // A key that cannot be written is a failure, not a silent success.
    ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH, 0), 0);
    EXPECT_EQ(QAVOServiceDisable(SERVICE_MUSIC), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_LOCK_FAILED));
    EXPECT_EQ(QAVOServiceDisable(SERVICE_DOWNLOAD), -1);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    EXPECT_TRUE(qtest::SyslogHas("Failed to disable fetchmora", LOG_ERR));
    EXPECT_EQ(Key("runitunes"), "yes");
}

TEST(ServiceDisable, RemovingLinks) {
    Link("/volume1/web", "/var/services/web");
    EXPECT_EQ(QAVOServiceLinkRemove(SERVICE_WEB), 0);
    EXPECT_FALSE(qtest::FileExists("/var/services/web"));
    EXPECT_EQ(QAVOServiceLinkRemove(SERVICE_WEB), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_MISSING_FILE));
    EXPECT_EQ(QAVOServiceLinkRemove(0), -1);
}

TEST(ServiceDisable, ByVolumeDisablesAndUnlinksOnlyThatVolumesServices) {
    qtest::WriteFile(SZF_QAVO_SMB_CONF, kShares);
    for (const char *k : {"runweb", "runphoto", "runmysql", "download_enabled"})
        SetKey(k, "yes");
    Link("/volume2/@download", "/var/services/download");
    Link("/volume1/@database/mysql", "/var/services/mysql");
    // The web share lies on volume 2 without a link: nothing to remove is
    // no failure.
    EXPECT_EQ(QAVOServiceDisableByVolume(2), 0);
    EXPECT_EQ(Key("runweb"), "no");
    EXPECT_EQ(Key("download_enabled"), "no");
    EXPECT_FALSE(qtest::FileExists("/var/services/download"));
    EXPECT_EQ(Key("runphoto"), "yes");
    EXPECT_EQ(Key("runmysql"), "yes");
    EXPECT_EQ(LinkOf("/var/services/mysql"), "/volume1/@database/mysql");

    // A service that cannot be disabled fails the call; its link still goes.
    ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH, 0), 0);
    EXPECT_EQ(QAVOServiceDisableByVolume(1), -1);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    EXPECT_FALSE(qtest::FileExists("/var/services/mysql"));
    EXPECT_EQ(Key("runmysql"), "yes");
    EXPECT_EQ(QAVOServiceDisableByVolume(0), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));
}

TEST(ServiceDisable, AllServicesGoOffEvenWithoutARunningScheduler) {
    for (const char *k : {"runweb", "runphoto", "runnetbkp", "runmediaservice", "runitunes",
                          "runmysql", "download_enabled"}) {
        SetKey(k, "yes");
    }
    for (const char *l : {"web", "download", "mysql", "printer"})
        Link("/volume1/x", std::string("/var/services/") + l);
    // A stale pid file: the scheduler is not running.
    qtest::WriteFile("/var/run/scheduler.pid", "-1\n");
    EXPECT_EQ(QAVOServiceDisableAll(), 0);
    for (const char *k :
         {"runweb", "runphoto", "runnetbkp", "runmediaservice", "runitunes", "runmysql"}) {
        EXPECT_EQ(Key(k), "no") << k;
    }
    EXPECT_EQ(Key("download_enabled"), "no");
    EXPECT_EQ(qtest::Sh("[ -z \"$(ls -A /var/services)\" ]"), 0);

    // A service that cannot be disabled ends the call there.
    SetKey("runweb", "yes");
    Link("/volume1/web", "/var/services/web");
    ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH, 0), 0);
    EXPECT_EQ(QAVOServiceDisableAll(), -1);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    EXPECT_EQ(LinkOf("/var/services/web"), "/volume1/web");
}

TEST(ServiceSwitch, AllServicesStopAndStartAsTheUpdaterCallsThem) {
    SetKey("runsamba", "yes");
    SetKey("runftpd", "yes");
    ASSERT_EQ(QAVOServiceNetStatusSet(QAVO_SERVICE_NET_START), 0);
    EXPECT_NE(svctest::RunningPid("smbd"), 0);
    EXPECT_NE(svctest::RunningPid("ftpd"), 0);
    const Strings started = svctest::ServiceCalls();
    ASSERT_FALSE(started.empty());
    EXPECT_EQ(started.front(), "S81atalk.sh start");
    EXPECT_EQ(started.back(), "S77qavomkthumbd.sh start");

    qtest::ClearCalls();
    ASSERT_EQ(QAVOServiceNetStatusSet(QAVO_SERVICE_NET_STOP), 0);
    EXPECT_EQ(svctest::RunningPid("smbd"), 0);
    EXPECT_EQ(svctest::RunningPid("ftpd"), 0);
    EXPECT_EQ(svctest::RunningPid("afpd"), 0);
    const Strings stopped = svctest::ServiceCalls();
    ASSERT_FALSE(stopped.empty());
    EXPECT_EQ(stopped.front(), "S81atalk.sh stop");
    EXPECT_EQ(stopped.back(), "S77qavomkthumbd.sh stop");
    // The events of the enabled FTP service.
    EXPECT_EQ(svctest::SystemLogEvents(), (std::vector<uint32_t>{0x11B00002, 0x11B00006}));

    qtest::ClearCalls();
    EXPECT_EQ(QAVOServiceNetStatusSet(3), 0);
    EXPECT_EQ(QAVOServiceNetStatusSet(0), 0);
    EXPECT_TRUE(svctest::ServiceCalls().empty());

    ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_APPLE | SLIB_LOCK_SH, 0), 0);
    EXPECT_EQ(QAVOServiceNetStatusSet(QAVO_SERVICE_NET_STOP), -1);
    EXPECT_EQ(QAVOServiceNetStatusSet(QAVO_SERVICE_NET_START), -1);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_APPLE);
    EXPECT_TRUE(qtest::SyslogHas("Failed to stop net  error=1024", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("Failed to start net  error=1024", LOG_ERR));
    EXPECT_TRUE(svctest::ServiceCalls().empty());
}

TEST(ServiceSwitch, PrinterRestartWhenAVolumeIsGone) {
    EXPECT_EQ(QAVOServiceRestartfromVolumeNone(NETSERV_RESTART), 0);
    EXPECT_EQ(svctest::ServiceCalls(), (Strings{"S55lpd.sh stop", "S55lpd.sh start"}));
    qtest::ClearCalls();
    for (int action : {1, 2, 4})
        EXPECT_EQ(QAVOServiceRestartfromVolumeNone(action), -1) << action;
    EXPECT_TRUE(svctest::ServiceCalls().empty());
}

TEST(PhpConf, RegisterGlobalsIsSetAndCommentsAndEmptyLinesDropped) {
    const std::string ini =
        "[PHP]\n"
        "; a comment\n"
        "\n"
        "# another\n"
        "\r\n"
        "engine = On\n"
        "register_globals = Off\n"
        "memory_limit = 8M ; trailing\n" +
        std::string(1500, 'x') + ";\n" + "last = 1";
    qtest::WriteFile("/usr/qavo/etc/php.ini", ini, 0640);
    ASSERT_EQ(QAVOSetPHPConf(1), 0);
    EXPECT_EQ(qtest::ReadFile("/usr/qavo/etc/php.ini"),
              "[PHP]\nengine = On\nregister_globals = On\nmemory_limit = 8M ; trailing\n" +
                  std::string(1500, 'x') + ";\nlast = 1");
    EXPECT_EQ(Key("phpregisterglobal"), "yes");
    struct stat st;
    ASSERT_EQ(stat("/usr/qavo/etc/php.ini", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_EQ(QAVOSetPHPConf(0), 0);
    EXPECT_NE(qtest::ReadFile("/usr/qavo/etc/php.ini").find("register_globals = Off\n"),
              std::string::npos);
    EXPECT_EQ(Key("phpregisterglobal"), "no");
}

TEST(PhpConf, FailuresKeepTheFileAndReleaseTheLock) {
    qtest::RemoveFile("/usr/qavo/etc/php.ini");
    EXPECT_EQ(QAVOSetPHPConf(1), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_OPEN_FAILED));
    EXPECT_FALSE(qtest::FileExists("/usr/qavo/etc/php.ini.tmp"));
    // The lock was given back: this process can take it shared.
    ASSERT_EQ(ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_SH, 0), 0);
    qtest::WriteFile("/usr/qavo/etc/php.ini", "register_globals = Off\n");
    EXPECT_EQ(QAVOSetPHPConf(1), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_LOCK_FAILED));
    SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    EXPECT_EQ(qtest::ReadFile("/usr/qavo/etc/php.ini"), "register_globals = Off\n");
    EXPECT_TRUE(qtest::SyslogHas("Failed to lock QAVOINFO", LOG_ERR));
}

}  // namespace
