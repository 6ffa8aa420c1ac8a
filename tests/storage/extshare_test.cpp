// Shares of external volumes: remembered rights per disk, removal of all
// external shares, and the AFP database folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../accounts/samba_check.h"
#include "appliance.h"
#include "qavo_extshare.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_usbvol.h"
#include "raid_sim.h"
#include "slib_section.h"

namespace {

using qtest::FileExists;
using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

const char *const kGlobal = "[global]\n\tworkgroup=WORKGROUP\n\tsecurity=user\n";

// The section of the rights map as its key lines, in file order.
std::string Section(const std::string &name) {
    const std::string map = ReadFile(SZF_SHARE_RIGHT_MAP);
    const size_t at = map.find("[" + name + "]\n");
    if (at == std::string::npos) return "<none>";
    const size_t from = at + name.size() + 3;
    const size_t to = map.find("\n[", from);
    return map.substr(from, to == std::string::npos ? std::string::npos : to + 1 - from);
}

bool Has(const std::string &text, const std::string &line) {
    return text.find(line) != std::string::npos;
}

// The share record's lists: deny, read-write, read-only, comment.
std::vector<std::string> Lists(const char *name) {
    int needed = 0;
    EXPECT_EQ(QAVOShareGet(1, name, nullptr, 0, &needed), 0);
    std::vector<char> buf(static_cast<size_t>(needed));
    EXPECT_EQ(QAVOShareGet(1, name, buf.data(), needed, &needed), 1);
    const auto *s = reinterpret_cast<const QAVOSHARE *>(buf.data());
    return {s->szDeny, s->szRW, s->szRO, s->szComment, s->szPath};
}

class ExtShare : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Sh("mkdir -p /volume1 /volumeUSB1 && mount -t tmpfs tmpfs /volume1 && "
                     "mount -t tmpfs tmpfs /volumeUSB1 && mkdir -p /volumeUSB1/usbshare"),
                  0);
        WriteFile(SZF_QAVO_SMB_CONF, kGlobal);
        Sh("echo 'bob:x:1030:100::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'eve:x:1031:100::/nonexist:/bin/sh' >> /etc/passwd");
        WriteFile(SZF_USBGUIDTAB, "sdb=\"G-b\"\nsdc=\"G-c\"\n");
    }
};

TEST_F(ExtShare, ReturningDiskGetsItsListsBackWithoutDeletedUsers) {
    WriteFile(SZF_SHARE_RIGHT_MAP,
              "[usbshare1]\n\tguid=G-b\n\tcomment=Stick\n\tinvalid users=eve,gone\n"
              "\twrite list=bob,@users,nobodyhere\n\tread list=\n"
              "[usbshare2]\n\tguid=G-x\n\tcomment=Other\n\tinvalid users=\n"
              "\twrite list=@users\n\tread list=\n");
    ASSERT_EQ(QAVOIUSBVolExport("sdb", "usbshare1", "/volumeUSB1/usbshare", 0), 0);
    EXPECT_EQ(Lists("usbshare1"),
              (std::vector<std::string>{"eve", "bob,@users", "", "Stick", "/volumeUSB1/usbshare"}));
    const std::string s = Section("usbshare1");
    EXPECT_TRUE(Has(s, "\tguid=G-b\n")) << s;
    EXPECT_TRUE(Has(s, "\tinvalid users=eve\n")) << s;
    EXPECT_TRUE(Has(s, "\twrite list=bob,@users\n")) << s;
    EXPECT_TRUE(Has(Section("usbshare2"), "\tguid=G-x\n"));
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);

    // Another disk takes number 1: the defaults, and the section is its own.
    ASSERT_EQ(QAVOIUSBShareRemoveAll(), 1);
    ASSERT_EQ(QAVOIUSBVolExport("sdc", "usbshare1", "/volumeUSB1/usbshare", 0), 0);
    EXPECT_EQ(Lists("usbshare1"),
              (std::vector<std::string>{"", "@users", "", "USB Disk", "/volumeUSB1/usbshare"}));
    const std::string t = Section("usbshare1");
    for (const char *line : {"\tguid=G-c\n", "\tcomment=USB Disk\n", "\tinvalid users=\n",
                             "\twrite list=@users\n", "\tread list=\n"})
        EXPECT_TRUE(Has(t, line)) << line << t;
    EXPECT_FALSE(Has(t, "eve")) << t;
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
    struct stat st;
    ASSERT_EQ(stat(SZF_SHARE_RIGHT_MAP, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // A disk without a GUID: the export goes on with the defaults.
    ASSERT_EQ(QAVOIUSBShareRemoveAll(), 1);
    ASSERT_EQ(QAVOIUSBVolExport("sdq", "usbshare1", "/volumeUSB1/usbshare", 0), 0);
    EXPECT_EQ(Lists("usbshare1")[1], "@users");
}

TEST_F(ExtShare, SataAndNtfsRights) {
    qtest::RemoveFile(SZF_SHARE_RIGHT_MAP);
    ASSERT_EQ(Sh("mkdir -p /volumeSATA/satashare"), 0);
    ASSERT_EQ(QAVOIUSBVolExport("sdz", "satashare", "/volumeSATA/satashare", 1), 0);
    const std::string s = Section("satashare");
    EXPECT_TRUE(Has(s, "\tguid=HAKULAMATATA\n")) << s;
    EXPECT_TRUE(Has(s, "\tcomment=SATA Disk\n")) << s;
    EXPECT_EQ(Lists("satashare")[3], "SATA Disk");

    // An NTFS volume is read-only for everyone, whatever its section says.
    rsim::AddDisk("sdd", 65536);
    ASSERT_EQ(Sh("sfdisk -N1 -uS -q -f -j2048 -z-1 -t7 -F /dev/sdd >/dev/null && "
                 "mkntfs -Q -F /dev/sdd1 >/dev/null 2>&1 && mkdir -p /volumeUSB3 && "
                 "mount -t ntfs /dev/sdd1 /volumeUSB3"),
              0);
    WriteFile(SZF_USBGUIDTAB, "sdd=\"G-d\"\n");
    ASSERT_EQ(Sh("printf '[usbshare3]\\n\\tguid=G-d\\n\\tcomment=N\\n\\tinvalid users=eve\\n"
                 "\\twrite list=bob\\n\\tread list=\\n' >> " SZF_SHARE_RIGHT_MAP),
              0);
    PSLIBSZHASH h = PshSLIBSzHashAlloc(64);
    ASSERT_EQ(QAVOIUSBShareRightGet("sdd", "usbshare3", "/volumeUSB3", &h, 0), 0);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "write list"), "");
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "read list"), "@users");
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "invalid users"), "");
    SLIBSzHashFree(h);
    const std::string n = Section("usbshare3");
    EXPECT_TRUE(Has(n, "\twrite list=\n") && Has(n, "\tread list=@users\n")) << n;
    // A new NTFS disk too.
    WriteFile(SZF_USBGUIDTAB, "sdd=\"G-new\"\n");
    h = PshSLIBSzHashAlloc(64);
    ASSERT_EQ(QAVOIUSBShareRightGet("sdd", "usbshare3", "/volumeUSB3", &h, 0), 0);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "read list"), "@users");
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "guid"), "G-new");
    SLIBSzHashFree(h);
    EXPECT_TRUE(Has(Section("usbshare3"), "\tguid=G-new\n"));
    EXPECT_TRUE(Has(Section("satashare"), "\tguid=HAKULAMATATA\n"));
    EXPECT_EQ(qtest::Testparm(SZF_QAVO_SMB_CONF), 0);
}

TEST_F(ExtShare, RemoveAllKeepsOrdinarySharesAndFolders) {
    EXPECT_EQ(QAVOIUSBShareRemoveAll(), 0);  // none yet
    ASSERT_EQ(Sh("mkdir -p /volume1/docs /volumeSATA/satashare"), 0);
    QAVOSHARE d{};
    d.szName = const_cast<char *>("docs");
    d.szPath = const_cast<char *>("/volume1/docs");
    d.fType = QAVOSHARE_ACCESS_RW;
    d.fBrowseable = 1;
    ASSERT_EQ(QAVOShareSet(1, nullptr, &d), 1);
    ASSERT_EQ(
        QAVOIUSBVolExportEx("sdb", "usbshare1", "/volumeUSB1/usbshare", 2, "@users", "", "", "Cam"),
        0);
    ASSERT_EQ(QAVOIUSBVolExportEx("sdz", "satashare", "/volumeSATA/satashare", 2, "@users", "", "",
                                  nullptr),
              0);
    EXPECT_EQ(Lists("usbshare1")[3], "Cam");
    EXPECT_EQ(QAVOIUSBShareRemoveAll(), 2);
    int needed = 0;
    EXPECT_EQ(QAVOShareGet(1, "usbshare1", nullptr, 0, &needed), -1);
    EXPECT_EQ(Lists("docs")[4], "/volume1/docs");
    EXPECT_TRUE(FileExists("/volumeUSB1/usbshare"));
    EXPECT_TRUE(FileExists("/volumeSATA/satashare"));
    EXPECT_EQ(QAVOIUSBVolExportEx(nullptr, "x", "/volume1/x", 2, "", "", "", ""), -1);
}

// Waits until the path is gone (the background deletion).
bool Gone(const std::string &path) {
    for (int i = 0; i < 200 && FileExists(path); ++i)
        usleep(10000);
    return !FileExists(path);
}

TEST(ExtShareAfp, DatabaseFolders) {
    ASSERT_EQ(Sh("mkdir -p /volume1 /volumeUSB3 /volumeUSB12 && mount -t tmpfs tmpfs /volume1 && "
                 "mount -t tmpfs tmpfs /volumeUSB3 && "
                 "mkdir -p /volume1/@pplepriv@te/USB2/x /volume1/@pplepriv@te/SATA "
                 "/volume1/@pplepriv@te/USB3 /volumeUSB3/@pplepriv@te/y"),
              0);
    // vfat databases live on the first volume, by the disk's whole number:
    // disk 12's removal leaves disk 2's database alone.
    ASSERT_EQ(Sh("mkdir -p /volume1/@pplepriv@te/USB12/z"), 0);
    ASSERT_EQ(QAVOIMacRemoveDb("/volumeUSB12/usbshare", 1, 0), 0);
    EXPECT_TRUE(Gone("/volume1/@pplepriv@te/USB12"));
    EXPECT_TRUE(FileExists("/volume1/@pplepriv@te/USB2/x"));
    ASSERT_EQ(QAVOIMacRemoveDb("/volumeUSB2/usbshare", 1, 0), 0);
    EXPECT_TRUE(Gone("/volume1/@pplepriv@te/USB2"));
    EXPECT_TRUE(FileExists("/volume1/@pplepriv@te/USB3"));
    ASSERT_EQ(QAVOIMacRemoveDb("/volumeSATA/satashare", 1, 1), 0);
    EXPECT_TRUE(Gone("/volume1/@pplepriv@te/SATA"));
    // Others on the volume itself: renamed aside there, nothing reaches /volume1.
    ASSERT_EQ(QAVOIMacRemoveDb("/volumeUSB3/usbshare", 0, 0), 0);
    EXPECT_TRUE(Gone("/volumeUSB3/@pplepriv@te"));
    std::string left;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Sh("ls -A /volume1/@pplepriv@te /volumeUSB3", &left), 0);
        if (left.find("DEVTMP") == std::string::npos) break;
        usleep(10000);
    }
    EXPECT_EQ(left, "/volume1/@pplepriv@te:\nUSB3\n\n/volumeUSB3:\n") << left;
    // Nothing to remove: success without a command.
    qtest::ClearCalls();
    EXPECT_EQ(QAVOIMacRemoveDb("/volumeUSB3/usbshare", 2, 0), 0);
    EXPECT_EQ(QAVOIMacRemoveDb("/volumeUSB3", 2, 0), -1);
    EXPECT_EQ(QAVOIMacRemoveDb(nullptr, 2, 0), -1);
    // A root with blanks and quotes is a path, not shell words.
    const std::string odd = "/v 'x\"; ls";
    ASSERT_EQ(qtest::Exec({"/bin/mkdir", "-p", odd + "/@pplepriv@te/z"}), 0);
    ASSERT_EQ(QAVOIMacRemoveDb((odd + "/share").c_str(), 2, 0), 0);
    EXPECT_TRUE(Gone(odd + "/@pplepriv@te"));
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(qtest::Exec({"/bin/ls", "-A", odd}, &left), 0);
        if (left.empty()) break;
        usleep(10000);
    }
    EXPECT_EQ(left, "");
}

TEST(ExtShareAfp, DatabasePathOfAnItem) {
    struct {
        const char *path;
        int vfat;
        const char *want;
        const char *cut;
    } cases[] = {
        {"/volumeUSB12/usbshare/a/b", 1, "/volume1/@pplepriv@te/USB12/usbshare/a/b",
         "/volumeUSB12"},
        {"/volumeUSB2/usbshare/a", 1, "/volume1/@pplepriv@te/USB2/usbshare/a", "/volumeUSB2"},
        {"/volumeUSB3/usbshare/a", 0, "/volumeUSB3/@pplepriv@te/usbshare/a", "/volumeUSB3"},
        {"/volumeSATA/x", 0, "/volumeSATA/@pplepriv@te/x", "/volumeSATA"},
        {"/volumeUSB3", 0, nullptr, "/volumeUSB3"},
        {"/", 1, nullptr, "/"},
    };
    for (const auto &c : cases) {
        char buf[128];
        snprintf(buf, sizeof buf, "%s", c.path);
        const char *got = QAVOIMacDbPathGet(buf, c.vfat);
        if (c.want)
            EXPECT_STREQ(got, c.want) << c.path;
        else
            EXPECT_EQ(got, nullptr) << c.path;
        EXPECT_STREQ(buf, c.cut);
    }
}

}  // namespace
