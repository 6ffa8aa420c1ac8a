// Mail settings and event mails, delivered to a real SMTP server (aiosmtpd)
// on 192.0.2.2:25, the address of the appliance's card "eth0" in the
// appliance root's own network namespace.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "mail_support.h"
#include "qavo_mail.h"
#include "qavo_smtp.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

namespace {

using mailtest::MailNet;

const char *const kTexts = "/usr/qavo/qavoman/texts/";

const char *const kEnuMails =
    "[TestMail]\n"
    "Subject: Test mail from %HOSTNAME%  \t\n"
    "This is a test mail from %HOSTNAME% (%IP_ADDR%).   \n"
    "Web: %HTTP_URL%\n"
    "Company: %COMPANY_NAME%\n"
    "On %DATE% at %TIME%\n"
    ".\n"
    "..\n"
    ". x\n"
    "QUIT\n"
    "[DiskFull]\n"
    "Subject: Disk 100% full on %HOSTNAME%\n"
    "Volume %VOLUME% is full.\n"
    "[NoSubject]\n"
    "First line is no subject\n"
    "[\n"
    "second line\n"
    "[Plain] and a comment\n"
    "Subject: plain only\n"
    "from the plain file\n";

const char *const kResourceMails =
    "[DiskFull]\n"
    "Subject: Model disk full\n"
    "The model's own text for %VOLUME%.\n";

std::string Field(const char *key) {
    char v[1024] = "";
    SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, v, sizeof v, 0);
    return v;
}

QAVOMAILSETTING Setting(const char *smtp, const char *mail1, const char *mail2, int test = 0) {
    QAVOMAILSETTING s{};
    s.szSmtp = const_cast<char *>(smtp);
    s.szMail1 = const_cast<char *>(mail1);
    s.szMail2 = const_cast<char *>(mail2);
    s.blTest = test;
    return s;
}

class Mail : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sethostname("qnas.example.com", 16), 0);
        ASSERT_EQ(qtest::Sh("mkdir -p /usr/qavo/qavoman/texts/enu /usr/qavo/qavoman/texts/jpn "
                            "/usr/qavo/qavosdk/texts/ger"),
                  0);
        qtest::WriteFile(std::string(kTexts) + "enu/mails", kEnuMails);
        qtest::WriteFile("/etc.defaults/qavoinfo.conf",
                         "unique=\"x\"\nmailfrom=\"Company\"\nsupportweb=\"yes\"\n");
        qtest::WriteFile(SLIB_QAVOINFO_PATH, "");
    }
    void Configure(const char *mail2 = "two@example.com") {
        QAVOMAILSETTING s = Setting("192.0.2.2", "one@example.com", mail2);
        ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1);
    }
    // Sends tag to one recipient and returns what arrived.
    mailtest::Mail SendOne(const char *tag, PSLIBSZHASH *placeholders = nullptr) {
        const size_t n = MailNet::MailCount();
        SendEventMailEx(tag, placeholders, "rcpt@example.com");
        EXPECT_TRUE(MailNet::WaitMails(n + 1));
        auto mails = MailNet::Mails();
        return mails.empty() ? mailtest::Mail{} : mails.back();
    }
    MailNet net{"eth0"};
};

TEST_F(Mail, SettingsRoundTripInABlockOfTheRecordsRealSize) {
    QAVOMAILSETTING s = Setting("mail.example.com", "one@example.com", "two@example.com");
    s.szUser = const_cast<char *>("mailer");
    s.szPass = const_cast<char *>("pw");
    s.blAuth = 1;
    ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1);
    EXPECT_EQ(Field("eventsmtp"), "mail.example.com");
    EXPECT_EQ(Field("eventauth"), "yes");
    EXPECT_EQ(Field("eventuser"), "mailer");
    EXPECT_EQ(Field("eventpass"), "pw");
    EXPECT_EQ(Field("eventtest"), "no");

    int needed = 0;
    ASSERT_EQ(QAVOMailGet(QAVO_MAIL_TYPE, nullptr, 0, &needed), 1);
    EXPECT_EQ(needed, static_cast<int>(sizeof(QAVOMAILSETTING) + 16 + 15 + 15 + 3));
    std::vector<char> small(static_cast<size_t>(needed) - 1);
    EXPECT_EQ(QAVOMailGet(QAVO_MAIL_TYPE, reinterpret_cast<QAVOMAILSETTING *>(small.data()),
                          needed - 1, &needed),
              -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    std::vector<char> block(static_cast<size_t>(needed));
    auto *got = reinterpret_cast<QAVOMAILSETTING *>(block.data());
    ASSERT_EQ(QAVOMailGet(QAVO_MAIL_TYPE, got, needed, &needed), 1);
    EXPECT_STREQ(got->szSmtp, "mail.example.com");
    EXPECT_STREQ(got->szMail1, "one@example.com");
    EXPECT_STREQ(got->szMail2, "two@example.com");
    EXPECT_EQ(got->blTest, 0);  // "no" reads clear
    EXPECT_EQ(got->szUser, nullptr);
    EXPECT_EQ(got->blAuth, 0);

    // NULL strings leave their keys; the test flag as the file spells it.
    QAVOMAILSETTING keep{};
    ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &keep), 1);
    EXPECT_EQ(Field("eventsmtp"), "mail.example.com");
    EXPECT_EQ(Field("eventuser"), "mailer");
    EXPECT_EQ(Field("eventauth"), "no");
    for (auto [value, flag] : {std::pair{"yes", 1}, {"off", 0}, {"no", 0}, {"", 0}}) {
        SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "eventtest", value, SLIB_KEYVALUE_FMT_QUOTED);
        ASSERT_EQ(QAVOMailGet(QAVO_MAIL_TYPE, got, needed, &needed), 1);
        EXPECT_EQ(got->blTest, flag) << value;
    }

    struct Bad {
        int type;
        bool withBuf;
        int size;
        bool withNeeded;
    } bads[] = {{2, false, 0, true}, {1, false, 0, false}, {1, false, 8, true}, {1, true, 0, true}};
    for (const Bad &b : bads) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOMailGet(b.type, b.withBuf ? got : nullptr, b.size,
                              b.withNeeded ? &needed : nullptr),
                  -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_EQ(QAVOMailSet(2, &keep), -1);
    EXPECT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, nullptr), -1);
}

TEST_F(Mail, ServersAndAddressesMustBeWhatTheyClaim) {
    Configure();
    const std::string before = qtest::ReadFile(SLIB_QAVOINFO_PATH);
    const std::string longName = std::string(120, 'a') + "@example.com";
    struct Case {
        const char *smtp, *mail1, *mail2;
    } bads[] = {
        {"mail.example.com\r\nX", nullptr, nullptr},
        {"bad host", nullptr, nullptr},
        {"-mail.example.com", nullptr, nullptr},
        {"127.0.0.1", nullptr, nullptr},
        {"192.0.2", nullptr, nullptr},
        {nullptr, "one@example.com>\r\nRCPT To: <evil@example.com", nullptr},
        {nullptr, nullptr, "not an address"},
        {nullptr, longName.c_str(), nullptr},
    };
    for (const Case &c : bads) {
        QAVOMAILSETTING s = Setting(c.smtp, c.mail1, c.mail2);
        SLIBErrSet(0);
        EXPECT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), -1) << (c.smtp    ? c.smtp
                                                           : c.mail1 ? c.mail1
                                                                     : c.mail2);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_EQ(qtest::ReadFile(SLIB_QAVOINFO_PATH), before);
    // Empty recipients and server clear the settings.
    QAVOMAILSETTING clear = Setting("", "", "");
    EXPECT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &clear), 1);
    EXPECT_EQ(Field("eventmail1"), "");
}

TEST_F(Mail, TestMailGoesToBothRecipientsWithEverythingFilledIn) {
    net.StartServer();
    mailtest::AdoptOrphans();
    struct Case {
        const char *defaults;
        const char *fromName, *url;
    } cases[] = {
        {"mailfrom=\"Company\"\nsupportweb=\"yes\"\n", "qnas-Company", "http://192.0.2.2:5000/"},
        {"mailfrom=\"Company\"\nsupportweb=\"no\"\nproductnamefirst=\"yes\"\n", "Company-qnas",
         "http://192.0.2.2/"},
    };
    size_t n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fromName);
        qtest::WriteFile("/etc.defaults/qavoinfo.conf", c.defaults);
        const size_t events = mailtest::SystemEventIds().size();
        QAVOMAILSETTING s = Setting("192.0.2.2", "one@example.com", "two@example.com", 1);
        ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1);
        EXPECT_EQ(Field("eventtest"), "yes");
        mailtest::WaitDeliveries(net.ServerPid());
        const time_t now = time(nullptr);
        auto mails = MailNet::Mails();
        ASSERT_EQ(mails.size(), n + 2);
        const std::string to[] = {"one@example.com", "two@example.com"};
        for (int i = 0; i < 2; ++i) {
            auto &m = mails[n + static_cast<size_t>(i)];
            EXPECT_EQ(m.mailFrom, "one@example.com");
            EXPECT_EQ(m.rcpt, std::vector<std::string>{to[i]});
            EXPECT_EQ(m.f["from_name"], c.fromName);
            EXPECT_EQ(m.f["from_addr"], "one@example.com");
            EXPECT_EQ(m.f["to"], to[i]);
            EXPECT_EQ(m.f["subject"], "Test mail from qnas");
            EXPECT_EQ(m.f["content_type"], "text/plain; charset=utf-8");
            // Date and time of the composition, a moment before now.
            std::string body = m.f["body"];
            const size_t on = body.find("On ");
            ASSERT_NE(on, std::string::npos);
            struct tm tm {};
            const char *end = strptime(body.c_str() + on, "On %Y/%m/%d at %H:%M:%S", &tm);
            ASSERT_NE(end, nullptr) << body;
            tm.tm_isdst = -1;
            EXPECT_LE(now - mktime(&tm), 30);
            EXPECT_GE(now - mktime(&tm), 0);
            char expect[64];
            snprintf(expect, sizeof expect, "On %d/%02d/%02d at %02d:%02d:%02d", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            EXPECT_EQ(body.substr(on, strlen(expect)), expect);
            body.replace(on, static_cast<size_t>(end - (body.c_str() + on)), "On D at T");
            EXPECT_EQ(body, std::string("This is a test mail from qnas (192.0.2.2).\r\nWeb: ") +
                                c.url +
                                "\r\nCompany: Company\r\nOn D at T\r\n.\r\n..\r\n. x\r\n"
                                "QUIT\r\n\r\n");
        }
        n += 2;
        auto ids = mailtest::SystemEventIds();
        EXPECT_EQ(std::vector<uint32_t>(ids.begin() + static_cast<long>(events), ids.end()),
                  std::vector<uint32_t>{QAVO_MAIL_EVENT_TEST});
    }
}

TEST_F(Mail, TestMailOnlyWhenThisCallGivesServerAndFirstRecipient) {
    net.StartServer();
    mailtest::AdoptOrphans();
    Configure();
    const size_t before = mailtest::SystemEventIds().size();
    const char *none = nullptr;
    struct Case {
        const char *smtp, *mail1;
    } cases[] = {{none, "one@example.com"}, {"192.0.2.2", none}, {"192.0.2.2", ""}, {"", ""}};
    for (const Case &c : cases) {
        QAVOMAILSETTING s = Setting(c.smtp, c.mail1, nullptr, 1);
        EXPECT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1);
    }
    mailtest::WaitDeliveries(net.ServerPid());
    EXPECT_EQ(MailNet::MailCount(), 0u);
    EXPECT_EQ(mailtest::SystemEventIds().size(), before);
}

TEST_F(Mail, AuthLoginAccountFromTheSettings) {
    net.StartServer("mailer", "s3cret");
    mailtest::AdoptOrphans();
    size_t before = 0;
    for (const char *pass : {"s3cret", "wrong"}) {
        before = mailtest::SystemEvents().size();
        QAVOMAILSETTING s = Setting("192.0.2.2", "one@example.com", "", 1);
        s.blAuth = 1;
        s.szUser = const_cast<char *>("mailer");
        s.szPass = const_cast<char *>(pass);
        ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1);
        mailtest::WaitDeliveries(net.ServerPid());
    }
    EXPECT_EQ(MailNet::MailCount(), 1u);
    // The test mail's event and the failed delivery's, in either order.
    auto events = mailtest::SystemEvents();
    std::vector<uint32_t> ids;
    for (size_t i = before; i < events.size(); ++i) {
        ids.push_back(events[i].id);
        if (events[i].id == QAVO_SMTP_EVENT_FAILED) {
            EXPECT_EQ(events[i].args[0], "one@example.com");
        }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{QAVO_SMTP_EVENT_REPLY, QAVO_MAIL_EVENT_TEST,
                                          QAVO_SMTP_EVENT_FAILED}));
}

TEST_F(Mail, AddressesPlantedInTheFileReachNoCommandOrHeader) {
    net.StartServer();
    mailtest::AdoptOrphans();
    // A carriage return inside a value survives the key/value reader.
    qtest::WriteFile(SLIB_QAVOINFO_PATH,
                     "eventsmtp=\"192.0.2.2\"\neventmail1=\"one@example.com\"\n"
                     "eventmail2=\"two@example.com>\rRCPT To: <evil@example.com\"\n");
    SendEventMail("TestMail", nullptr);
    mailtest::WaitDeliveries(net.ServerPid());
    auto mails = MailNet::Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt, std::vector<std::string>{"one@example.com"});
    EXPECT_EQ(mails[0].f["headers"],
              "From,To,Subject,Date,Message-ID,MIME-Version,Content-Type,"
              "Content-Transfer-Encoding");
    EXPECT_EQ(mailtest::SystemEventIds().back(), QAVO_SMTP_EVENT_FAILED);
}

TEST_F(Mail, CompositionFromTemplatesAndPlaceholders) {
    net.StartServer();
    Configure();
    qtest::ClearSyslog();

    // The caller's placeholders; '%' in the logged English subject is '#'.
    PSLIBSZHASH hash = PshSLIBSzHashAlloc(256);
    EXPECT_GE(SLIBSzHashSetValue(&hash, "%VOLUME%", "volume1"), 0);
    auto m = SendOne("DiskFull", &hash);
    SLIBSzHashFree(hash);
    EXPECT_EQ(m.rcpt, std::vector<std::string>{"rcpt@example.com"});
    EXPECT_EQ(m.f["subject"], "Disk 100% full on qnas");
    EXPECT_EQ(m.f["body"], "Volume volume1 is full.\r\n\r\n");
    EXPECT_TRUE(qtest::SyslogHas("qavomail: QAVOMAN_SYSLOG:  Disk 100# full on qnas"));

    // A model's resource file, falling back to the plain file for the tags it
    // lacks.
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "mailfrom=\"Company\"\nresource=\"r1\"\n");
    qtest::WriteFile(std::string(kTexts) + "enu/mails-r1", kResourceMails);
    m = SendOne("DiskFull");
    EXPECT_EQ(m.f["subject"], "Model disk full");
    EXPECT_EQ(m.f["body"], "The model's own text for %VOLUME%.\r\n\r\n");
    m = SendOne("Plain");
    EXPECT_EQ(m.f["subject"], "plain only");

    // No subject line: the first line stays in the body, which ends at the
    // next section line of three characters or more.
    m = SendOne("NoSubject");
    EXPECT_EQ(m.f["has_subject"], "0");
    EXPECT_EQ(m.f["body"], "First line is no subject\r\n[\r\nsecond line\r\n\r\n");

    // Without mailfrom: no company name, the default sender name.
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "supportweb=\"yes\"\n");
    m = SendOne("TestMail");
    EXPECT_EQ(m.f["from_name"], "qnas-Ostrel");
    EXPECT_NE(m.f["body"].find("\r\nCompany: \r\n"), std::string::npos);

    // A language code that is no plain code reads as English; an unknown tag
    // sends nothing and says so.
    SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "maillang", "../enu", SLIB_KEYVALUE_FMT_QUOTED);
    m = SendOne("TestMail");
    EXPECT_EQ(m.f["subject"], "Test mail from qnas");
    const size_t n = MailNet::MailCount();
    SendEventMailEx("NoSuchTag", nullptr, "rcpt@example.com");
    EXPECT_TRUE(qtest::SyslogHas("SendEventMail tag:NoSuchTag"));
    sleep(1);
    EXPECT_EQ(MailNet::MailCount(), n);
    EXPECT_FALSE(qtest::FileExists("/tmp/tmpMail"));
}

TEST_F(Mail, JapaneseEventMail) {
    net.StartServer();
    Configure("");
    std::string subject;
    for (int i = 0; i < 30; ++i)
        subject += "通知";
    qtest::WriteFile(std::string(kTexts) + "jpn/mails",
                     "[TestMail]\nSubject: " + subject + "\n%HOSTNAME%\tのテスト\n");
    SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "maillang", "jpn", SLIB_KEYVALUE_FMT_QUOTED);
    auto m = SendOne("TestMail");
    EXPECT_EQ(m.f["content_type"], "text/plain; charset=ISO-2022-JP");
    EXPECT_EQ(m.f["subject_by_word"], subject);
    EXPECT_EQ(m.f["body"], "qnas\tのテスト\r\n\r\n");
}

TEST_F(Mail, ComposersInTwoProcessesKeepTheirOwnMails) {
    net.StartServer();
    Configure();
    const char *tags[] = {"DiskFull", "Plain"};
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        if (kids[k] == 0) {
            for (int i = 0; i < 10; ++i)
                SendEventMailEx(tags[k], nullptr,
                                k == 0 ? "disk@example.com" : "plain@example.com");
            _exit(0);
        }
    }
    for (pid_t k : kids)
        waitpid(k, nullptr, 0);
    ASSERT_TRUE(MailNet::WaitMails(20, 60));
    for (auto &m : MailNet::Mails()) {
        ASSERT_EQ(m.rcpt.size(), 1u);
        EXPECT_EQ(m.f["subject"],
                  m.rcpt[0] == "disk@example.com" ? "Disk 100% full on qnas" : "plain only");
    }
}

TEST_F(Mail, TagsCharsetAndVendorDomain) {
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    ASSERT_EQ(QAVOMailEnumTags(&list), 0);
    EXPECT_EQ(qtest::Items(list),
              (std::vector<std::string>{"TestMail", "DiskFull", "NoSubject", "Plain"}));
    SLIBSzListFree(list);
    SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "maillang", "ger", SLIB_KEYVALUE_FMT_QUOTED);
    list = PslSLIBSzListAlloc(512);
    EXPECT_EQ(QAVOMailEnumTags(&list), -1);
    SLIBSzListFree(list);

    struct Case {
        const char *strings;  // nullptr: no file
        const char *charset;
    } cases[] = {{nullptr, "iso-8859-1"},
                 {"charset=\"\"\n", "iso-8859-1"},
                 {"charset=\"Shift_JIS\"\n", "ISO-2022-JP"},
                 {"charset=\"utf-8\"\n", "utf-8"}};
    for (const Case &c : cases) {
        qtest::RemoveFile("/usr/qavo/qavosdk/texts/ger/strings");
        if (c.strings) qtest::WriteFile("/usr/qavo/qavosdk/texts/ger/strings", c.strings);
        char out[32];
        ASSERT_EQ(QAVOMailGetCharset(out, sizeof out), 0);
        EXPECT_STREQ(out, c.charset);
    }
    char domain[64];
    ASSERT_EQ(QAVOMailGetVendorDomain(domain, sizeof domain), 0);
    EXPECT_STREQ(domain, QAVO_MAIL_DEFAULT_DOMAIN);
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "vendordomain=\"vendor.example\"\n");
    ASSERT_EQ(QAVOMailGetVendorDomain(domain, sizeof domain), 0);
    EXPECT_STREQ(domain, "vendor.example");
    EXPECT_EQ(QAVOMailGetVendorDomain(domain, 4), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
}

}  // namespace

TEST_F(Mail, AccountTextsStayWhatTheShellAndTheLibraryRead) {
    // The settings file is sourced by the scripts: the account's texts reach
    // it as shell text that runs nothing and reads back unchanged.
    const char *const texts[] = {"$(touch /tmp/ran)", "x\"; touch /tmp/ran; \"\\",
                                 "`touch /tmp/ran` $HOME \\$"};
    for (const char *text : texts) {
        QAVOMAILSETTING s = Setting("192.0.2.2", "one@example.com", "");
        s.szUser = const_cast<char *>(text);
        s.szPass = const_cast<char *>(text);
        ASSERT_EQ(QAVOMailSet(QAVO_MAIL_TYPE, &s), 1) << text;
        for (const char *key : {"eventuser", "eventpass"}) {
            EXPECT_EQ(qtest::SourcedKey(SLIB_QAVOINFO_PATH, key), text) << key;
            char buf[128] = "";
            ASSERT_GT(SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, buf, sizeof buf, 0), 0);
            EXPECT_STREQ(buf, text) << key;
        }
    }
    EXPECT_FALSE(qtest::FileExists("/tmp/ran"));
}
