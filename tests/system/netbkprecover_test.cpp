// Recovery from a backup server: a real rsync daemon holds the backed-up
// folders and a configuration backup; the mails go to a real SMTP server on
// the same address.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "appliance.h"
#include "cfgbackup.h"
#include "eventlog_read.h"
#include "mail_support.h"
#include "netbkp_server.h"
#include "qavo_group.h"
#include "qavo_mail.h"
#include "qavo_netbkprun.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "sdk_userset.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

using bkptest::BackupServer;
using mailtest::MailNet;
using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

const char *const kNetbkpLog = "/var/log/qavonetbkp.log";
const char *const kMails =
    "[NetRecoverFinished]\nSubject: %SRC_FOLDER% recovered from %SRC_SERVER%\nDone.\n"
    "[NetRecoverError]\nSubject: Recovery of %SRC_FOLDER% from %SRC_SERVER% failed\nSee the log.\n";

// A small appliance's own accounts and no shares.
void FreshAppliance() {
    mkdir("/usr/qavo/etc/private", 0700);
    WriteFile("/etc/passwd",
              "root:x:0:0:root:/root:/bin/sh\n"
              "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
              "nobody:x:99:99:nobody:/nonexist:/bin/sh\n");
    WriteFile("/etc/shadow",
              "root:$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60:14000:0:99999:7:::\n"
              "admin:$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60:14000:0:99999:7:::\n",
              0600);
    WriteFile("/usr/qavo/etc/private/smbpasswd",
              "admin:1024:01FC5A6BE7BC6929AAD3B435B51404EE:0CB6948805F797BF2A82807973B89537:"
              "[U          ]:LCT-4A5B6C7D:\n",
              0600);
    WriteFile("/etc/group",
              "root:x:0:\nusers:x:100:nobody,nobody\nadministrators:x:101:nobody,admin,nobody\n"
              "nobody:x:99:\n");
    qtest::RemoveFile("/etc/group_desc");
    qtest::RemoveFile("/etc/curUID.conf");
    WriteFile(SZF_QAVO_SMB_CONF, "[global]\n\tsecurity=user\n\tworkgroup=WG\n");
    WriteFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
    ASSERT_EQ(qtest::Sh("umount /volume1 2>/dev/null; mkdir -p /volume1 && "
                        "mount -t tmpfs -o size=16m tmpfs /volume1"),
              0);
}

std::string SharePath(const char *name) {
    char path[512] = "";
    if (QAVOSharePathGet(name, path, sizeof path) < 0) return "";
    return path;
}

int AddShare(const char *name, const char *path, const char *rw = "") {
    QAVOSHARE s{};
    s.szName = const_cast<char *>(name);
    s.szPath = const_cast<char *>(path);
    s.szRW = const_cast<char *>(rw);
    s.szRO = const_cast<char *>("");
    s.szDeny = const_cast<char *>("");
    s.szComment = const_cast<char *>("");
    s.fType = QAVOSHARE_ACCESS_RW;
    s.fBrowseable = 1;
    return QAVOShareSet(1, nullptr, &s);
}

std::string Progress(const char *key) {
    char v[256] = "";
    SLIBFileGetKeyValue(SZF_NETBKP_RECOVER_CHK, key, v, sizeof v, 0);
    return v;
}

std::vector<uint32_t> NetbkpEvents() {
    return qtest::LogEventIds(kNetbkpLog);
}

bool Has(const std::vector<uint32_t> &ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Bytes of every value, so that a copy that changes one shows.
std::string Binary() {
    std::string b;
    for (int i = 0; i < 70000; ++i)
        b.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    return b;
}

class NetBkpRecover : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sethostname("qnas", 4), 0);
        FreshAppliance();
        WriteFile("/etc.defaults/qavoinfo.conf",
                  "maxaccounts=\"50\"\nmaxgroups=\"50\"\nmaxshares=\"16\"\n");
        ASSERT_EQ(qtest::Sh("mkdir -p /usr/qavo/qavoman/texts/enu"), 0);
        WriteFile("/usr/qavo/qavoman/texts/enu/mails", kMails);
        QAVOMAILSETTING s{};
        s.szSmtp = const_cast<char *>("192.0.2.2");
        s.szMail1 = const_cast<char *>("one@example.com");
        s.szMail2 = const_cast<char *>("");
        ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1);
        // The daemons of the backup server start before this process
        // becomes the reaper of orphans: they are not delivery children.
        server = std::make_unique<BackupServer>();
        net.StartServer();
        mailtest::AdoptOrphans();
    }
    // The subjects of the first n mails (the AFP restart leaves daemons
    // behind, so the mails are waited for rather than the delivery children).
    static std::vector<std::string> Subjects(size_t n) {
        EXPECT_TRUE(MailNet::WaitMails(n, 60));
        std::vector<std::string> s;
        for (auto &m : MailNet::Mails())
            s.push_back(m.f["subject"]);
        return s;
    }
    MailNet net{"eth0"};
    std::unique_ptr<BackupServer> server;
};

TEST_F(NetBkpRecover, FreshApplianceGetsAccountsSharesAndEveryFileBack) {
    QAVOUSERSET u{1,
                  nullptr,
                  const_cast<char *>("alice"),
                  const_cast<char *>("pw"),
                  const_cast<char *>(""),
                  0,
                  const_cast<char *>("")};
    ASSERT_EQ(QAVOUserSet(1, &u, 1), 1);
    const char *team[] = {"team", "alice", nullptr};
    ASSERT_EQ(QAVOGroupSet(QAVO_GROUP_FLAG_LOCAL, 1, nullptr, team), 1);
    ASSERT_EQ(AddShare("Photo", "/volume1/Photo", "alice"), 1);
    ASSERT_EQ(AddShare("a b", "/volume1/a b"), 1);
    ASSERT_EQ(QAVOSysbkpExport("/tmp/saved.cbk",
                               QAVOSYSBKP_ID_USER | QAVOSYSBKP_ID_GROUP | QAVOSYSBKP_ID_SHARE),
              0);
    const std::string smbconf = ReadFile(SZF_QAVO_SMB_CONF);

    const std::string bin = Binary();
    BackupServer::Put("host/configbackup.cbk", ReadFile("/tmp/saved.cbk"));
    BackupServer::Put("host/Photo/pic.raw", bin);
    BackupServer::Put("host/Photo/sub/deep.txt", "deep\n");
    BackupServer::Put("host/a b/note.txt", "note\n");
    BackupServer::Put("host/Fotos-\xc3\xa4/x.txt", "x\n");
    BackupServer::Put("host/@eaMeta/junk", "junk\n");
    BackupServer::Put("host/$(touch x)/y", "y\n");

    FreshAppliance();
    ASSERT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "root", "Secret-1", "host", 1, 1, 1), 0);

    EXPECT_NE(ReadFile("/etc/passwd").find("\nalice:"), std::string::npos);
    EXPECT_NE(ReadFile("/etc/group").find("\nteam:"), std::string::npos);
    EXPECT_NE(ReadFile(SZF_QAVO_SMB_CONF).find(smbconf.substr(smbconf.find("[Photo]"))),
              std::string::npos);
    EXPECT_EQ(SharePath("Photo"), "/volume1/Photo");
    EXPECT_EQ(SharePath("Fotos-\xc3\xa4"), "/volume1/Fotos-\xc3\xa4");  // made for the folder
    EXPECT_EQ(ReadFile("/volume1/Photo/pic.raw"), bin);
    EXPECT_EQ(ReadFile("/volume1/Photo/sub/deep.txt"), "deep\n");
    EXPECT_EQ(ReadFile("/volume1/a b/note.txt"), "note\n");
    EXPECT_EQ(ReadFile("/volume1/Fotos-\xc3\xa4/x.txt"), "x\n");
    EXPECT_FALSE(FileExists("/volume1/Photo/Photo"));
    EXPECT_FALSE(FileExists("/volume1/@eaMeta"));
    EXPECT_FALSE(FileExists("/x"));

    EXPECT_EQ(Progress("stage"), "share");
    EXPECT_EQ(Progress("done"), "1");
    EXPECT_EQ(Progress("error"), "0");
    const std::string chk = ReadFile(SZF_NETBKP_RECOVER_CHK);
    for (const char *line : {"\tPHOTO=Photo\n", "\tA B=a b\n", "\tFOTOS-\xc3\x84=Fotos-\xc3\xa4\n"})
        EXPECT_NE(chk.find(line), std::string::npos) << line << chk;
    EXPECT_NE(chk.find("[share_list]"), std::string::npos);
    EXPECT_FALSE(FileExists(SZF_NETBKP_RESTORE_PASS));
    EXPECT_FALSE(FileExists("/tmp/configbackup.cbk"));
    EXPECT_TRUE(Has(NetbkpEvents(), 0x12900014));
    EXPECT_EQ(Subjects(1), std::vector<std::string>{"host recovered from 192.0.2.2"});
}

TEST_F(NetBkpRecover, PresentSharesStayUnlessOverwrittenThenIntoTheirOwnFolder) {
    ASSERT_EQ(AddShare("photo", "/volume1/photo"), 1);
    WriteFile("/volume1/photo/old.txt", "old\n");
    BackupServer::Put("host/Photo/new.txt", "new\n");
    BackupServer::Put("host/Docs/d.txt", "d\n");

    ASSERT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "admin", "adm pw", "host", 0, 0, 0), 0);
    EXPECT_FALSE(FileExists("/volume1/photo/new.txt"));
    EXPECT_FALSE(FileExists("/volume1/Photo"));
    EXPECT_EQ(ReadFile("/volume1/Docs/d.txt"), "d\n");
    EXPECT_EQ(ReadFile(SZF_NETBKP_RECOVER_CHK).find("PHOTO"), std::string::npos);

    ASSERT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "admin", "adm pw", "host", 1, 0, 0), 0);
    EXPECT_EQ(ReadFile("/volume1/photo/new.txt"), "new\n");
    EXPECT_EQ(ReadFile("/volume1/photo/old.txt"), "old\n");
    EXPECT_FALSE(FileExists("/volume1/Photo"));
    EXPECT_FALSE(FileExists("/volume1/photo/Photo"));
    EXPECT_EQ(SharePath("Photo"), "");  // no second share
}

TEST_F(NetBkpRecover, HardLinksAndHolesComeBackAsTheyWere) {
    // A linked pair and a 50 MiB image with one 4 KiB block of data, on a
    // 16 MiB volume: written out in full it would not fit.
    const std::string dir = std::string(bkptest::kModuleDir) + "/host/Img";
    BackupServer::Put("host/Img/a.txt", "linked\n");
    ASSERT_EQ(qtest::Sh("cd '" + dir +
                        "' && ln a.txt b.txt && mkdir sub && ln a.txt sub/c.txt && "
                        "truncate -s 50M disk.img && "
                        "printf 'data' | dd of=disk.img bs=4096 seek=3000 conv=notrunc "
                        "status=none"),
              0);
    struct stat src = {};
    ASSERT_EQ(stat((dir + "/disk.img").c_str(), &src), 0);
    ASSERT_LE(src.st_blocks * 512, 8192);

    ASSERT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "root", "Secret-1", "host", 1, 0, 0), 0);
    struct stat a = {}, b = {}, c = {}, img = {};
    ASSERT_EQ(stat("/volume1/Img/a.txt", &a), 0);
    ASSERT_EQ(stat("/volume1/Img/b.txt", &b), 0);
    ASSERT_EQ(stat("/volume1/Img/sub/c.txt", &c), 0);
    EXPECT_EQ(a.st_nlink, 3u);
    EXPECT_EQ(b.st_ino, a.st_ino);
    EXPECT_EQ(c.st_ino, a.st_ino);
    EXPECT_EQ(ReadFile("/volume1/Img/b.txt"), "linked\n");
    ASSERT_EQ(stat("/volume1/Img/disk.img", &img), 0);
    EXPECT_EQ(img.st_size, 50 << 20);
    EXPECT_EQ(img.st_blocks, src.st_blocks);
    const std::string data = ReadFile("/volume1/Img/disk.img");
    EXPECT_EQ(data.substr(3000 * 4096, 5), std::string("data\0", 5));
    EXPECT_EQ(data.find_first_not_of('\0'), 3000u * 4096);
    EXPECT_EQ(data.find_last_not_of('\0'), 3000u * 4096 + 3);
}

TEST_F(NetBkpRecover, FailuresAreReportedAndOtherFoldersStillCome) {
    // A folder larger than the volume fails; the others are restored.
    ASSERT_EQ(qtest::Sh("umount /volume1 && mount -t tmpfs -o size=1m tmpfs /volume1"), 0);
    BackupServer::Put("host/Big/big.raw", std::string(3 << 20, 'b'));
    BackupServer::Put("host/Small/s.txt", "s\n");
    ASSERT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "root", "Secret-1", "host", 1, 0, 0),
              -1);
    EXPECT_EQ(ReadFile("/volume1/Small/s.txt"), "s\n");
    EXPECT_EQ(Progress("done"), "1");
    EXPECT_EQ(Progress("error"), "1");
    const auto events = mailtest::SystemEvents(kNetbkpLog);
    auto failed = std::find_if(events.begin(), events.end(),
                               [](const auto &e) { return e.id == 0x12900015u; });
    ASSERT_NE(failed, events.end());
    EXPECT_EQ(failed->args[0], "Big");
    EXPECT_EQ(failed->args[1].rfind("[", 0), 0u) << failed->args[1];
    EXPECT_TRUE(qtest::SyslogHas("fail! return ["));
    EXPECT_FALSE(Has(NetbkpEvents(), 0x12900014));

    // A refused login lists nothing and restores nothing: a failure, not an
    // empty success. So does a configuration backup that is not there.
    ASSERT_EQ(qtest::Sh("rm -rf /volume1/* && sed -i '/^\\[Small\\]/,$d' " +
                        std::string(SZF_QAVO_SMB_CONF)),
              0);
    EXPECT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "root", "wrong", "host", 1, 0, 0), -1);
    EXPECT_FALSE(FileExists("/volume1/Small"));
    EXPECT_EQ(Progress("error"), "1");
    EXPECT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "root", "Secret-1", "host", 1, 1, 0),
              -1);
    EXPECT_TRUE(Has(NetbkpEvents(), 0x12900016));
    EXPECT_EQ(Progress("stage"), "config");
    // A configuration backup that is a folder is no backup, and what came
    // of it does not stay behind in /tmp.
    BackupServer::Put("host/configbackup.cbk/inner", "i\n");
    EXPECT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "root", "Secret-1", "host", 1, 1, 0),
              -1);
    EXPECT_EQ(qtest::Sh("ls -a /tmp | grep -q '^\\.netbkp-config'"), 1);
    EXPECT_EQ(QAVONetBkpRecovery("192.0.2.2", "NetBackup", "-x", "Secret-1", "host", 1, 0, 0), -1);
    EXPECT_TRUE(qtest::SyslogHas("wrong parameter"));
    EXPECT_EQ(Progress("done"), "1");
    const std::vector<std::string> subjects = Subjects(5);
    ASSERT_EQ(subjects.size(), 5u);
    for (const std::string &s : subjects)
        EXPECT_EQ(s, "Recovery of host from 192.0.2.2 failed");
}

}  // namespace
