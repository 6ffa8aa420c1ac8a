#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_share.h"
#include "qavo_sharelookup.h"
#include "slib_errcode.h"
#include "slib_lock.h"

namespace {

const char *const kSmbConf =
    "[global]\n"
    "\tworkgroup=WORKGROUP\n"
    "\tsecurity=user\n"
    "[Public]\n"
    "\twrite list=nobody,@users,bob,nobody\n"
    "\tcomment=\"Everyone's files\"\n"
    "\tbrowseable=yes\n"
    "\tread list=nobody,nobody\n"
    "\tinvalid users=nobody,eve,nobody\n"
    "\twriteable=no\n"
    "\tguest ok=no\n"
    "\tpath=/volume1/Public\n"
    "[docs]\n"
    "\tread list=nobody,alice,@staff,nobody\n"
    "\tbrowseable=no\n"
    "\twriteable=no\n"
    "\tguest ok=yes\n"
    "\tpath=/volume2/docs\n"
    "[odd]\n"
    "\twriteable=yes\n"
    "\tguest ok=no\n"
    "\tpath=/volume1/odd\n"
    "[homes]\n"
    "\tpath=/volume1/homes\n"
    "[usbshare1]\n"
    "\twriteable=yes\n"
    "\tguest ok=yes\n"
    "\tpath=/volumeUSB1/usbshare\n"
    "[usbshareA]\n"
    "\twriteable=yes\n"
    "\tguest ok=yes\n"
    "\tpath=/volume1/usbshareA\n"
    "[usbbackup]\n"
    "\tpath=/volumeUSB2/usbshare\n"
    "[satashare]\n"
    "\tpath=/volumeSATA/satashare\n"
    "[printers]\n"
    "\tpath=/var/spool\n";

class ShareRecord : public ::testing::Test {
  protected:
    void SetUp() override { qtest::WriteFile(SZF_QAVO_SMB_CONF, kSmbConf); }
};

// Reads a share into a buffer of exactly the size asked for.
std::vector<char> Get(const char *name) {
    int needed = -1;
    EXPECT_EQ(QAVOShareGet(1, name, nullptr, 0, &needed), 0) << name;
    std::vector<char> buf(needed > 0 ? needed : 1);
    EXPECT_EQ(QAVOShareGet(1, name, buf.data(), static_cast<int>(buf.size()), &needed), 1);
    return buf;
}

std::vector<std::string> Enum(uint32_t flags) {
    int needed = 0;
    EXPECT_EQ(QAVOShareEnum1(nullptr, 0, &needed, flags), 0);
    std::vector<char *> buf(needed / sizeof(char *) + 1);
    int n = QAVOShareEnum1(buf.data(), needed, &needed, flags);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
        out.push_back(buf[i]);
    EXPECT_EQ(buf[n > 0 ? n : 0], nullptr);
    return out;
}

TEST_F(ShareRecord, ReadsListsWithoutPlaceholdersAndUsersFixesAccess) {
    std::vector<char> buf = Get("Public");
    auto *s = reinterpret_cast<PQAVOSHARE>(buf.data());
    EXPECT_STREQ(s->szName, "Public");
    EXPECT_STREQ(s->szComment, "Everyone's files");
    EXPECT_STREQ(s->szPath, "/volume1/Public");
    EXPECT_STREQ(s->szDeny, "eve");
    EXPECT_STREQ(s->szRW, "@users,bob");
    EXPECT_STREQ(s->szRO, "");
    // "@users" in the write list wins over guest ok=no, writeable=no.
    EXPECT_EQ(s->fType, static_cast<uint32_t>(QAVOSHARE_ACCESS_RW));
    EXPECT_EQ(s->fBrowseable, 1u);
    // Every string lies inside the buffer; the empty one is its last byte.
    const char *begin = buf.data() + sizeof(QAVOSHARE), *end = buf.data() + buf.size();
    for (const char *p : {s->szName, s->szComment, s->szPath, s->szDeny, s->szRW}) {
        EXPECT_GE(p, begin);
        EXPECT_LT(p + strlen(p), end);
    }
    EXPECT_EQ(s->szRO, end - 1);
    // The first string ends at the buffer's end: no byte is wasted.
    EXPECT_EQ(s->szName + strlen(s->szName), end - 1);
}

TEST_F(ShareRecord, AccessFromGuestAndWriteable) {
    std::vector<char> buf = Get("docs");
    auto *s = reinterpret_cast<PQAVOSHARE>(buf.data());
    EXPECT_STREQ(s->szRO, "alice,@staff");
    EXPECT_STREQ(s->szComment, "");
    EXPECT_EQ(s->fType, static_cast<uint32_t>(QAVOSHARE_ACCESS_RO));
    EXPECT_EQ(s->fBrowseable, 0u);

    // guest ok=no with writeable=yes is no known pair.
    int needed = 0;
    qtest::ClearSyslog();
    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareGet(1, "odd", nullptr, 0, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_UNICODE);
    EXPECT_TRUE(qtest::SyslogHas("unknown error!, szTempName:no szTempName2:yes", LOG_ERR));
    // Neither key: the same failure.
    EXPECT_EQ(QAVOShareGet(1, "satashare", nullptr, 0, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_UNICODE);
}

TEST_F(ShareRecord, RefusesBadCallsAndUnknownNames) {
    char buf[512];
    int needed = 0;
    struct Case {
        int type;
        const char *name;
        void *buf;
        int size;
        int *needed;
        SLIBERRCODE code;
    } cases[] = {
        {2, "docs", nullptr, 0, &needed, ERR_BAD_PARAMETERS},
        {1, nullptr, nullptr, 0, &needed, ERR_BAD_PARAMETERS},
        {1, "docs", nullptr, 0, nullptr, ERR_BAD_PARAMETERS},
        {1, "docs", nullptr, 10, &needed, ERR_BAD_PARAMETERS},
        {1, "docs", buf, 0, &needed, ERR_BAD_PARAMETERS},
        {1, "", nullptr, 0, &needed, ERR_NO_SUCH_SHARE},
        {1, "Printers", nullptr, 0, &needed, ERR_NO_SUCH_SHARE},
        {1, "public", nullptr, 0, &needed, ERR_NO_SUCH_SHARE},  // section names are exact
        {1, "nothere", nullptr, 0, &needed, ERR_NO_SUCH_SHARE},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOShareGet(c.type, c.name, c.buf, c.size, c.needed), -1)
            << (c.name ? c.name : "NULL");
        EXPECT_EQ(SLIBErrGet(), c.code) << (c.name ? c.name : "NULL");
    }
    // A buffer one byte short: -1 without an error code, the size stays told.
    EXPECT_EQ(QAVOShareGet(1, "docs", nullptr, 0, &needed), 0);
    std::vector<char> small(needed - 1);
    SLIBErrSet(0);
    int again = 0;
    EXPECT_EQ(QAVOShareGet(1, "docs", small.data(), needed - 1, &again), -1);
    EXPECT_EQ(SLIBErrGet(), 0u);
    EXPECT_EQ(again, needed);
}

TEST_F(ShareRecord, FailsWhileAWriterHoldsTheLock) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        char c = ErrSLIBFileLock(SLIB_LOCK_SMB | SLIB_LOCK_EX, 0) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    int needed = 0;
    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareGet(1, "docs", nullptr, 0, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_LOCK_FAILED);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(ShareRecord, EnumListsByClassInFileOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Enum(QAVOSHARE_CLASS_ORDINARY), (V{"Public", "docs", "odd", "usbshareA"}));
    EXPECT_EQ(Enum(QAVOSHARE_CLASS_USB), (V{"usbshare1", "usbbackup"}));
    EXPECT_EQ(Enum(QAVOSHARE_CLASS_SATA), (V{"satashare"}));
    EXPECT_EQ(Enum(7).size(), 7u);

    int needed = 0;
    EXPECT_EQ(QAVOShareEnum(nullptr, 0, &needed), 0);
    size_t want = sizeof(char *);
    for (const std::string &n : Enum(7))
        want += n.size() + 1 + sizeof(char *);
    EXPECT_EQ(needed, static_cast<int>(want));
    std::vector<char> small(needed - 1);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareEnum(reinterpret_cast<char **>(small.data()), needed - 1, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    EXPECT_EQ(QAVOShareEnum(nullptr, 0, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(ShareClass, UsbAndSataNames) {
    struct Case {
        const char *name;
        int usb, sata;
    } cases[] = {
        {"usbshare", 1, 0},   {"usbshare1", 1, 0},  {"USBShare12", 1, 0}, {"usbshare1a", 0, 0},
        {"usbshareX", 0, 0},  {"usbbackup", 1, 0},  {"USBbackup", 0, 0},  {"satashare", 0, 1},
        {"satabackup", 0, 1}, {"satashare1", 0, 0}, {"Public", 0, 0},     {nullptr, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(BlQAVOShareIsUSB(c.name), c.usb) << (c.name ? c.name : "NULL");
        EXPECT_EQ(BlQAVOShareIsSATA(c.name), c.sata) << (c.name ? c.name : "NULL");
    }
}

TEST_F(ShareRecord, GetCaseLessFindsTheSectionsOwnName) {
    PQAVOSHARE s = QAVOShareGetCaseLess("PUBLIC");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->szName, "Public");
    EXPECT_STREQ(s->szPath, "/volume1/Public");
    EXPECT_STREQ(s->szRW, "@users,bob");
    QAVOShareFree(s);

    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareGetCaseLess("nothere"), nullptr);
    EXPECT_EQ(QAVOShareGetCaseLess("global"), nullptr);  // no share
    EXPECT_EQ(QAVOShareGetCaseLess(""), nullptr);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOShareGetCaseLess(nullptr), nullptr);
    QAVOShareFree(nullptr);
}

TEST(ShareCaseLess, NoSmbConfGivesNull) {
    qtest::RemoveFile(SZF_QAVO_SMB_CONF);
    EXPECT_EQ(QAVOShareGetCaseLess("docs"), nullptr);
}

}  // namespace
