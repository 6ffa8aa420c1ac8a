// Configuration migration: removed files, the copy of "/writeable" to the
// volume, the account fix on the seed appliance's account files, the crontab
// jobs, the MTU values, and putting everything back after a failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../accounts/services_support.h"
#include "appliance.h"
#include "flash_fixture.h"
#include "updt_analyze.h"
#include "updt_config.h"
#include "updt_patchinfo.h"

using namespace qtest;

namespace {

// The update folder and the volume of a migration, with every flag clear.
struct Migration {
    Migration() {
        Sh("rm -rf /tmp/upd /tmp/vol");
        mkdir("/tmp/upd", 0755);
        mkdir("/tmp/vol", 0755);
        snprintf(szUpdateDir, sizeof szUpdateDir, "%s", "/tmp/upd");
        snprintf(szVolume, sizeof szVolume, "%s", "/tmp/vol");
        Clear();
    }
    ~Migration() { Clear(); }
    static void Clear() {
        blRemoveRcAtalk = blRemovePapdConf = blFixFtpAccounts = blRemoveProfile = 0;
        blRemoveJumboFrame = blMigrateWriteable = blFixMTUValue = 0;
    }
};

}  // namespace

// A local group "ftp" and a local user "ftp" of the seed appliance get new
// names (the user keeps its password, groups and mail); the system's ftp
// group and the ftp and anonymous users are added at the top of their files.
TEST(ConfigMigration, AccountFixOnTheSeedAppliance) {
    Migration m;
    const std::string group = ReadFile("/etc/group");
    const std::string passwd = ReadFile("/etc/passwd");
    const std::string shadow = ReadFile("/etc/shadow");
    WriteFile(
        "/etc/group", "ftp:x:1025:admin\n" + [&] {
            std::string g = group;
            g.replace(g.find("users:x:100:nobody,nobody"), 25, "users:x:100:nobody,ftp,nobody");
            return g;
        }());
    WriteFile("/etc/passwd", passwd + "ftp:x:1026:100:Mirror keeper:/nonexist:/bin/sh\n");
    WriteFile("/etc/shadow", shadow + "ftp:$1$saltsalt$0123456789abcdefghijkl:14000:0:99999:7:::\n",
              0600);
    const std::string smbpasswd =
        "ftp:1026:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:"
        "[U          ]:LCT-4A000000:\n";
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile("/usr/qavo/etc/private/smbpasswd", smbpasswd, 0600);
    blFixFtpAccounts = 1;
    ASSERT_EQ(UPDTUpdateConfig(), 0);
    // The hashes stay; the account database stamps the change.
    const std::string smb = ReadFile("/usr/qavo/etc/private/smbpasswd");
    EXPECT_EQ(smb.substr(0, 92), "ftp1" + smbpasswd.substr(3, 88)) << smb;

    std::string wantGroup = group;
    wantGroup.replace(wantGroup.find("users:x:100:nobody,nobody"), 25,
                      "users:x:100:nobody,ftp1,nobody");
    EXPECT_EQ(ReadFile("/etc/group"),
              "ftp:x:21:nobody,ftp,nobody\nftp1:x:1025:nobody,admin,nobody\n" + wantGroup);
    EXPECT_EQ(ReadFile("/etc/passwd"),
              "ftp:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n"
              "anonymous:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n" +
                  passwd + "ftp1:x:1026:100:Mirror keeper:/nonexist:/bin/csh\n");
    EXPECT_EQ(ReadFile("/etc/shadow"),
              "ftp:*:10933:0:99999:7:::\nanonymous:*:10933:0:99999:7:::\n" + shadow +
                  "ftp1:$1$saltsalt$0123456789abcdefghijkl:" +
                  std::to_string(time(nullptr) / 86400) + ":0:99999:7:::\n");
    const std::vector<uint32_t> events = svctest::SystemLogEvents();
    EXPECT_EQ(events, (std::vector<uint32_t>{UPDT_EVENT_GROUP_RENAMED, UPDT_EVENT_USER_RENAMED}));

    // Run again: the system accounts are there, nothing changes.
    const std::string g2 = ReadFile("/etc/group"), p2 = ReadFile("/etc/passwd");
    ASSERT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_EQ(ReadFile("/etc/group"), g2);
    EXPECT_EQ(ReadFile("/etc/passwd"), p2);
}

// No free name for a clashing local user: the migration fails, and putting
// the saved files back leaves every file as it was.
TEST(ConfigMigration, NoFreeNameFailsAndRestoreUndoesEverything) {
    Migration m;
    const std::string group = ReadFile("/etc/group");
    std::string passwd = ReadFile("/etc/passwd") + "ftp:x:1026:100::/nonexist:/bin/sh\n";
    for (int i = 1; i <= 127; ++i)
        passwd += "ftp" + std::to_string(i) + ":x:" + std::to_string(1100 + i) +
                  ":100::/nonexist:/bin/sh\n";
    WriteFile("/etc/passwd", passwd);
    const std::string crontab =
        "0\t3\t*\t*\t*\troot\t/usr/bin/vacuumdb -a -z\n"
        "#5\t3\t*\t*\t*\troot\t/usr/bin/vacuumdb\n"
        "0\t0\t*\t*\t*\troot\t/bin/rm -f /var/log/*.html\n"
        "0\t1\t*\t*\t*\troot\t/usr/sbin/ntpdate pool\n";
    WriteFile("/etc/crontab", crontab, 0600);
    WriteFile("/usr/qavo/etc/manutil.conf", "a=1\n");
    WriteFile("/usr/qavo/etc/php.ini", "register_globals=on\n");
    WriteFile("/usr/qavo/etc/rc.atalk", "#!/bin/sh\n", 0755);
    symlink("/writeable/configs/rc", "/etc/rc");
    WriteFile("/etc/qavoinfo.conf", "MTUValue=\"9000\"\n");
    blFixFtpAccounts = blRemoveRcAtalk = blMigrateWriteable = blFixMTUValue = 1;
    EXPECT_EQ(UPDTUpdateConfig(), -1);
    EXPECT_TRUE(SyslogHas("Failed to add ftp user/group."));
    // Every other step ran.
    EXPECT_EQ(ReadFile("/etc/crontab"),
              "#5\t3\t*\t*\t*\troot\t/usr/bin/vacuumdb\n0\t1\t*\t*\t*\troot\t/usr/sbin/ntpdate "
              "pool\n");
    EXPECT_FALSE(FileExists("/usr/qavo/etc/manutil.conf"));
    EXPECT_FALSE(FileExists("/usr/qavo/etc/php.ini"));
    EXPECT_FALSE(FileExists("/usr/qavo/etc/rc.atalk"));
    struct stat st;
    EXPECT_NE(lstat("/etc/rc", &st), 0);
    EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"), "MTUValue=\"8000\"\n");

    EXPECT_EQ(UPDTRestoreConfig(), 0);
    EXPECT_EQ(ReadFile("/etc/passwd"), passwd);
    EXPECT_EQ(ReadFile("/etc/crontab"), crontab);
    ASSERT_EQ(stat("/etc/crontab", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile("/usr/qavo/etc/manutil.conf"), "a=1\n");
    EXPECT_EQ(ReadFile("/usr/qavo/etc/php.ini"), "register_globals=on\n");
    ASSERT_EQ(stat("/usr/qavo/etc/rc.atalk", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    char target[64] = {};
    ASSERT_GT(readlink("/etc/rc", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/writeable/configs/rc");
    EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"), "MTUValue=\"9000\"\n");
    EXPECT_EQ(ReadFile("/etc/group"), group);
    // Files that did not exist before stay absent.
    EXPECT_FALSE(FileExists("/etc/fstab"));
    EXPECT_FALSE(FileExists("/usr/qavo/etc/papd.conf"));
}

TEST(ConfigMigration, WriteableCopiedToTheVolume) {
    struct Case {
        const char *what;
        std::vector<const char *> configs, logs;  // files; nullptr list entry: none
        bool volumeMissing;
        int result;
    };
    const Case cases[] = {
        {"configs and an empty logs folder", {"smb.conf", "rc"}, {}, false, 0},
        {"both empty: nothing to copy", {}, {}, false, 0},
        {"configs and logs", {"fstab"}, {"messages"}, false, 0},
        {"the volume cannot hold the folder", {"fstab"}, {}, true, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Migration m;
        Sh("rm -rf /writeable && mkdir -p /writeable/configs /writeable/logs");
        for (const char *f : c.configs)
            WriteFile(std::string("/writeable/configs/") + f, std::string(f) + "\n");
        for (const char *f : c.logs)
            WriteFile(std::string("/writeable/logs/") + f, std::string(f) + "\n");
        WriteFile("/etc/rc", "#!/bin/sh\n");
        WriteFile("/etc/fstab", "/dev/md0 / ext3\n");
        if (c.volumeMissing) snprintf(szVolume, sizeof szVolume, "%s", "/tmp/vol/file");
        if (c.volumeMissing) WriteFile("/tmp/vol/file", "");
        blMigrateWriteable = 1;
        EXPECT_EQ(UPDTUpdateConfig(), c.result);
        EXPECT_FALSE(FileExists("/etc/rc"));
        EXPECT_FALSE(FileExists("/etc/fstab"));
        if (c.volumeMissing) continue;
        std::string listing;
        Sh("cd /tmp/vol/s@vedconfig && ls -A | sort | tr '\\n' ' '", &listing);
        std::string want;
        std::vector<std::string> all(c.configs.begin(), c.configs.end());
        all.insert(all.end(), c.logs.begin(), c.logs.end());
        std::sort(all.begin(), all.end());
        for (auto &f : all)
            want += f + " ";
        EXPECT_EQ(listing, want);
        for (auto &f : all)
            EXPECT_EQ(ReadFile("/tmp/vol/s@vedconfig/" + f), f + "\n");
    }
}

TEST(ConfigMigration, MtuValuesAndMissingFiles) {
    const std::pair<const char *, const char *> cases[] = {
        {"9000", "8000"}, {"4074", "4000"}, {"1500", "1500"}, {"8000", "8000"}};
    for (auto [from, to] : cases) {
        SCOPED_TRACE(from);
        Migration m;
        WriteFile("/etc/qavoinfo.conf", std::string("MTUValue=\"") + from + "\"\nx=\"y\"\n");
        blFixMTUValue = 1;
        EXPECT_EQ(UPDTUpdateConfig(), 0);
        EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"),
                  std::string("MTUValue=\"") + to + "\"\nx=\"y\"\n");
    }
    // Nothing of what the steps remove exists, and there is no crontab: no
    // failure, and no empty crontab appears.
    Migration m;
    RemoveFile("/etc/crontab");
    blRemoveRcAtalk = blRemovePapdConf = blRemoveProfile = blRemoveJumboFrame = 1;
    EXPECT_EQ(UPDTUpdateConfig(), 0);
    EXPECT_FALSE(FileExists("/etc/crontab"));
}

TEST(ConfigMigration, RenameSystemUser) {
    Migration m;
    const std::string passwd = ReadFile("/etc/passwd");
    // A system user keeps its name; an absent one is nothing to do.
    WriteFile("/etc/passwd", "ftp:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n" + passwd);
    EXPECT_EQ(UPDTRenameSystemUser("ftp"), 0);
    EXPECT_EQ(UPDTRenameSystemUser("anonymous"), 0);
    EXPECT_EQ(ReadFile("/etc/passwd"),
              "ftp:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n" + passwd);
    // A local user whose record cannot be read (no shadow line) is a failure.
    WriteFile("/etc/passwd", passwd + "anonymous:x:1030:100::/nonexist:/bin/sh\n");
    EXPECT_EQ(UPDTRenameSystemUser("anonymous"), -1);
}

// A local group "ftp" with ftp1 .. ftp63 all taken has no new name.
TEST(ConfigMigration, NoFreeGroupNameFails) {
    Migration m;
    std::string group = ReadFile("/etc/group") + "ftp:x:1100:\n";
    for (int i = 1; i <= 63; ++i)
        group += "ftp" + std::to_string(i) + ":x:" + std::to_string(1100 + i) + ":\n";
    WriteFile("/etc/group", group);
    const std::string passwd = ReadFile("/etc/passwd");
    blFixFtpAccounts = 1;
    EXPECT_EQ(UPDTUpdateConfig(), -1);
    // The fix stopped at its first failure: no system account was added.
    EXPECT_EQ(ReadFile("/etc/group"), group);
    EXPECT_EQ(ReadFile("/etc/passwd"), passwd);
}

// The boot loader's road: a migration that fails after the images were
// written; the flash roll-back and the saved files leave the appliance as it
// was before the update.
TEST(ConfigMigration, FailureAfterARedBootFlashIsUndone) {
    qflashtest::Flash f(true);
    f.Image("zImage", f.block, 11);
    const qflashtest::Bytes before = f.hw->Chip();
    snprintf(szVolume, sizeof szVolume, "%s", "/tmp");
    WriteFile("/usr/qavo/etc/manutil.conf", "a=1\n");
    std::string passwd = ReadFile("/etc/passwd") + "anonymous:x:1026:100::/nonexist:/bin/sh\n";
    for (int i = 1; i <= 127; ++i)
        passwd += "anonymous" + std::to_string(i) + ":x:" + std::to_string(1100 + i) +
                  ":100::/nonexist:/bin/sh\n";
    WriteFile("/etc/passwd", passwd);
    ASSERT_EQ(f.Init(), 0);
    ASSERT_EQ(f.Backup(), 0);
    ASSERT_EQ(f.Patch(), 0);
    blFixFtpAccounts = 1;
    EXPECT_EQ(UPDTUpdateConfig(), -1);
    blFixFtpAccounts = 0;
    EXPECT_EQ(UPDTRestoreConfig(), 0);
    ASSERT_EQ(f.RollBack(), 0);
    const qflashtest::Bytes after = f.hw->Chip();
    EXPECT_TRUE(after == before) << qflashtest::FirstDiff(after, before);
    EXPECT_EQ(ReadFile("/usr/qavo/etc/manutil.conf"), "a=1\n");
    EXPECT_EQ(ReadFile("/etc/passwd"), passwd);
}
