// Network backup results: codes, texts and result lines, and the events and
// mails of runs and recoveries, delivered to a real SMTP server (aiosmtpd)
// on 192.0.2.2:25 in the appliance root's own network namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "appliance.h"
#include "mail_support.h"
#include "qavo_mail.h"
#include "qavo_netbkpmail.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

using mailtest::MailNet;

const char *const kNetbkpLog = "/var/log/qavonetbkp.log";

const char *const kMails =
    "[NetBkpError]\n"
    "Subject: Backup of %BKP_SHARE% on %HOSTNAME% failed\n"
    "Server %BKP_SERVER% at %BKP_TIME%:\n"
    "%ERR_STRING%\n"
    "[NetRecoverFinished]\n"
    "Subject: %SRC_FOLDER% recovered from %SRC_SERVER% on %HOSTNAME%\n"
    "Done.\n"
    "[NetRecoverError]\n"
    "Subject: Recovery of %SRC_FOLDER% from %SRC_SERVER% failed\n"
    "See the log.\n";

// "error_unknown_desc" has no text; "netbkp_e_malloc" an empty one.
const char *const kEnuStrings =
    "netbkp_e_disconnect=\"Connection lost.<BR>Check %s<br>then retry\"\n"
    "netbkp_e_pass=\"Wrong password\"\n"
    "netbkp_e_malloc=\"\"\n";

void WriteTexts() {
    ASSERT_EQ(qtest::Sh("mkdir -p /usr/qavo/qavoman/texts/enu /usr/qavo/qavoman/texts/ger"), 0);
    qtest::WriteFile("/usr/qavo/qavoman/texts/enu/mails", kMails);
    qtest::WriteFile("/usr/qavo/qavoman/texts/enu/strings", kEnuStrings);
    qtest::WriteFile("/usr/qavo/qavoman/texts/ger/strings",
                     "netbkp_e_pass=\"Falsches Kennwort\"\n");
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"x\"\nmailfrom=\"Company\"\n");
    qtest::WriteFile(SLIB_QAVOINFO_PATH, "");
}

std::string Line(int status) {
    char out[1100] = "?";
    EXPECT_EQ(QAVOINetBkpResultLine(status, out, sizeof out), 0) << status;
    return out;
}

TEST(NetBkpResult, TableKeysLevelsAndLines) {
    WriteTexts();
    std::set<int> codes;
    int rows = 0;
    for (const NETBKP_ERR_ENTRY *e = NETBKP_ERR_TABLE; e->szKey; ++e, ++rows)
        EXPECT_TRUE(codes.insert(e->nCode).second) << e->nCode;
    EXPECT_EQ(rows, 30);

    char key[64];
    struct KeyCase {
        int code;
        const char *key;  // nullptr: not in the table
    } keys[] = {{5, "error_unknown_desc"},
                {49, "netbkp_e_no_service2"},
                {23, ""},
                {48, "netbkp_e_rsync_bad_option"},
                {0, nullptr},
                {40, nullptr},
                {-1, nullptr}};
    for (const KeyCase &c : keys) {
        SLIBErrSet(0);
        if (c.key) {
            EXPECT_EQ(NetBkpLookupErrKey(c.code, key, sizeof key), 0) << c.code;
            EXPECT_STREQ(key, c.key);
        } else {
            EXPECT_EQ(NetBkpLookupErrKey(c.code, key, sizeof key), -1) << c.code;
            EXPECT_EQ(SLIBErrGet(), 0x2000u);
        }
    }
    EXPECT_EQ(NetBkpLookupErrKey(44, key, 13), -1);  // "netbkp_e_pass" needs 14
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    EXPECT_EQ(NetBkpLookupErrKey(44, nullptr, 0), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);

    for (auto [code, level] :
         {std::pair{0, 1}, {23, 2}, {24, 2}, {46, 2}, {40, 3}, {5, 3}, {47, 3}, {999, 3}, {-1, 3}})
        EXPECT_EQ(NetBkpErrLevel(code), level) << code;

    struct LineCase {
        int status;
        const char *line;
    } lines[] = {
        {0, "[0] Success"},
        {9, "[9] System error"},  // a signal: the raw status
        {255, "[255] System error"},
        {-1, "[-1] System error"},
        {5888, "[23] Unknown error"},      // empty key
        {256, "[1] Unknown error"},        // key without a text
        {22 * 256, "[22] Unknown error"},  // empty text
        {99 * 256, "[99] Unknown error code"},
        {44 * 256, "[44] Wrong password"},
        {30 * 256, "[30] Connection lost.<BR>Check %s<br>then retry"},
    };
    for (const LineCase &c : lines)
        EXPECT_EQ(Line(c.status), c.line) << c.status;
    for (auto [status, code] : {std::pair{0, 0}, {9, 40}, {5888, 23}, {49 * 256, 49}})
        EXPECT_EQ(QAVOINetBkpResultCode(status), code) << status;

    char small[8];
    EXPECT_EQ(QAVOINetBkpResultLine(44 * 256, small, sizeof small), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);

    // The mail language chooses the strings file; a code that is no plain
    // name falls back to "enu".
    SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "maillang", "ger", SLIB_KEYVALUE_FMT_QUOTED);
    EXPECT_EQ(Line(44 * 256), "[44] Falsches Kennwort");
    EXPECT_EQ(Line(30 * 256), "[30] Unknown error");
    SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "maillang", "../ger", SLIB_KEYVALUE_FMT_QUOTED);
    EXPECT_EQ(Line(44 * 256), "[44] Wrong password");

    char text[1024];
    SLIBErrSet(0);
    EXPECT_EQ(NetBkpGetErrString("netbkp_e_streamio", text, sizeof text), -1);
    EXPECT_EQ(SLIBErrGet(), 0x2000u);
    EXPECT_EQ(NetBkpGetErrString(nullptr, text, sizeof text), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    EXPECT_EQ(NetBkpGetErrString("netbkp_e_pass", text, 14), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    ASSERT_EQ(NetBkpGetErrString("netbkp_e_pass", text, 15), 0);
    EXPECT_STREQ(text, "Wrong password");
}

class NetBkpMail : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sethostname("qnas.example.com", 16), 0);
        WriteTexts();
        QAVOMAILSETTING s{};
        s.szSmtp = const_cast<char *>("192.0.2.2");
        s.szMail1 = const_cast<char *>("one@example.com");
        s.szMail2 = const_cast<char *>("");
        ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1);
        net.StartServer();
        mailtest::AdoptOrphans();
    }
    MailNet net{"eth0"};
};

TEST_F(NetBkpMail, RunResultIsLoggedAtItsLevelAndErrorsAreMailed) {
    struct Case {
        int status;
        const char *line;
        int level;
        const char *mailBody;  // nullptr: no mail
    } cases[] = {
        {0, "[0] Success", 1, nullptr},
        {5888, "[23] Unknown error", 2, nullptr},
        {9, "[9] System error", 3,
         "Server backup.example.com at 2026/12/10 03:00:\nSystem error\n"},
        {99 * 256, "[99] Unknown error code", 3,
         "Server backup.example.com at 2026/12/10 03:00:\nUnknown error code\n"},
        {30 * 256, "[30] Connection lost.<BR>Check %s<br>then retry", 3,
         "Server backup.example.com at 2026/12/10 03:00:\nConnection lost.\nCheck %s\nthen "
         "retry\n"},
    };
    size_t events = 0, mails = 0;
    for (const Case &c : cases) {
        EXPECT_EQ(
            QAVONetBkpMailandLog("Photo Album", "backup.example.com", "2026/12/10 03:00", c.status),
            0)
            << c.status;
        mailtest::WaitDeliveries(net.ServerPid());
        const auto logged = mailtest::SystemEvents(kNetbkpLog);
        ASSERT_EQ(logged.size(), ++events) << c.status;
        const mailtest::LoggedEvent &e = logged.back();
        EXPECT_EQ(e.id, 0x12900005u);
        EXPECT_EQ(e.level, c.level) << c.status;
        EXPECT_EQ(e.args,
                  (std::vector<std::string>{"Photo Album", "backup.example.com", c.line, " "}));
        if (c.mailBody) ++mails;
        ASSERT_EQ(MailNet::MailCount(), mails) << c.status;
        if (!c.mailBody) continue;
        mailtest::Mail m = MailNet::Mails().back();
        EXPECT_EQ(m.f["subject"], "Backup of Photo Album on qnas failed");
        EXPECT_EQ(m.rcpt, std::vector<std::string>{"one@example.com"});
        std::string body = m.f["body"];
        std::erase(body, '\r');
        EXPECT_NE(body.find(c.mailBody), std::string::npos) << body;
    }

    EXPECT_EQ(QAVONetBkpMailandLog(nullptr, "s", "t", 0), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

// An English error mail for a share with a non-ASCII name and an error
// text longer than a mail line may be: the subject as encoded words, the
// body in base64, both as they were.
TEST_F(NetBkpMail, ErrorMailOfANonAsciiShareWithALongText) {
    const std::string text(1010, 'e');
    SLIBFileSetKeyValue("/usr/qavo/qavoman/texts/enu/strings", "netbkp_e_diskfull", text.c_str(),
                        SLIB_KEYVALUE_FMT_QUOTED);
    ASSERT_EQ(
        QAVONetBkpMailandLog("Fotos-\xc3\xa4", "backup.example.com", "2026/12/10 03:00", 41 * 256),
        0);
    ASSERT_TRUE(MailNet::WaitMails(1));
    mailtest::Mail m = MailNet::Mails().back();
    EXPECT_EQ(m.f["subject"], "Backup of Fotos-\xc3\xa4 on qnas failed");
    EXPECT_EQ(m.f["header_8bit"], "0");
    EXPECT_EQ(m.f["cte"], "base64");
    EXPECT_LE(std::stoul(m.f["max_line"]), 998u);
    EXPECT_EQ(m.f["body"], "Server backup.example.com at 2026/12/10 03:00:\r\n" + text + "\r\n");
}

TEST_F(NetBkpMail, RecoveryMailNamesFolderAndServer) {
    ASSERT_EQ(QAVONetRecoveryMail("Photo", "192.0.2.2", "NetRecoverFinished"), 0);
    ASSERT_EQ(QAVONetRecoveryMail("a b", "backup.example.com", "NetRecoverError"), 0);
    ASSERT_TRUE(MailNet::WaitMails(2));
    mailtest::WaitDeliveries(net.ServerPid());
    std::set<std::string> subjects;
    for (auto &m : MailNet::Mails())
        subjects.insert(m.f["subject"]);
    EXPECT_EQ(subjects, (std::set<std::string>{"Photo recovered from 192.0.2.2 on qnas",
                                               "Recovery of a b from backup.example.com failed"}));
    EXPECT_EQ(QAVONetRecoveryMail("Photo", "192.0.2.2", nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

}  // namespace
