#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "appliance.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "slib_errcode.h"
#include "slib_szhash.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

namespace {

struct HashFree {
    void operator()(PSLIBSZHASH h) const { SLIBSzHashFree(h); }
};
using HashPtr = std::unique_ptr<SLIBSZHASH, HashFree>;

const char kStoredHash[] = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
const char kLct[] = "LCT-4A5B6C7D";

// One transaction's hashes and the records they point at.
struct Batch {
    HashPtr changed{PshSLIBSzHashAlloc(1024)}, added{PshSLIBSzHashAlloc(1024)},
        passwords{PshSLIBSzHashAlloc(1024)}, existing{PshSLIBSzHashAlloc(1024)};
    std::vector<std::unique_ptr<QAVOUSERSET>> records;
    std::vector<std::unique_ptr<std::string>> texts;

    char *Text(const std::string &s) {
        texts.push_back(std::make_unique<std::string>(s));
        return texts.back()->data();
    }
    QAVOUSERSET *Record(const std::string &oldName, const std::string &name, const std::string &pw,
                        int expiry) {
        records.push_back(std::make_unique<QAVOUSERSET>());
        QAVOUSERSET *r = records.back().get();
        r->nType = 1;
        r->szOldName = Text(oldName);
        r->szName = Text(name);
        r->szPasswd = Text(pw);
        r->nExpire = expiry;
        return r;
    }
    void Change(const std::string &oldName, const std::string &name, const std::string &pw,
                int expiry = 0) {
        PSLIBSZHASH h = changed.release();
        EXPECT_EQ(0, SDKISetUserPtr(&h, oldName.c_str(), Record(oldName, name, pw, expiry)));
        changed.reset(h);
    }
    void Add(const std::string &name, const std::string &pw, int expiry = 0, int uid = -1) {
        PSLIBSZHASH h = added.release();
        EXPECT_EQ(0, SDKISetUserPtr(&h, name.c_str(), Record("", name, pw, expiry)));
        added.reset(h);
        if (uid >= 0) SetExisting(name, uid);
    }
    void SetExisting(const std::string &name, int uid) {
        PSLIBSZHASH h = existing.release();
        EXPECT_GE(SDKIUserHashSet(&h, name.c_str(), std::to_string(uid).c_str()), 0);
        existing.reset(h);
    }
    int Shadow() {
        PSLIBSZHASH h = passwords.release();
        int r = SDKIModifyShadow(changed.get(), added.get(), &h);
        passwords.reset(h);
        return r;
    }
    int Smbpasswd() {
        return SDKIModifySmbpasswd(changed.get(), added.get(), passwords.get(), existing.get());
    }
    const char *NewPassword(const std::string &name) {
        return SDKIUserHashGet(passwords.get(), name.c_str());
    }
};

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size() - 1;
        out.push_back(text.substr(start, nl - start + 1));
        start = nl + 1;
    }
    return out;
}

std::vector<std::string> Split(const std::string &line) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t colon = line.find(':', start);
        f.push_back(line.substr(start, colon - start));
        if (colon == std::string::npos) return f;
        start = colon + 1;
    }
}

// Today's day number may move on during the call: either side of it is fine.
bool IsToday(const std::string &field, long before) {
    const long after = static_cast<long>(time(nullptr)) / 86400;
    return field == std::to_string(before) || field == std::to_string(after);
}

std::string NT(const char *pw) {
    char hex[SDKI_PWHASH_HEX_SIZE];
    EXPECT_EQ(0, SDKINTPwdEncrypt(pw, hex));
    return hex;
}

std::string LM(const char *pw) {
    char hex[SDKI_PWHASH_HEX_SIZE];
    EXPECT_EQ(0, SDKILMPwdEncrypt(pw, hex));
    return hex;
}

bool IsLct(const std::string &field) {
    return field.size() == 12 && field.rfind("LCT-", 0) == 0 &&
           field.find_first_not_of("0123456789ABCDEF", 4) == std::string::npos;
}

class PwFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile("/etc/qavoinfo.conf", "codepage=\"437\"\n");
        WriteFile("/etc/shadow",
                  std::string("# local accounts\n") + "root:" + kStoredHash +
                      ":14000:0:99999:7:::\n" + "\n" + "ftp:" + kStoredHash +
                      ":14001:1:200:9:30:20000:rsv\n" + "guest::14002:0:99999:7:::",
                  0600);
        ASSERT_EQ(0, qtest::Exec({"mkdir", "-p", "/usr/qavo/etc/private"}));
        WriteFile(SZF_SMBPASSWD,
                  std::string("# smb\n") + "root:0:" + LM("root") + ":" + NT("root") +
                      ":[U          ]:" + kLct + ":\n" + "ftp:1030:" + LM("old") + ":" + NT("old") +
                      ":[UX         ]:" + kLct + ":trailing\n" + "guest:1025:" + SDKI_LM_NO_HASH +
                      ":" + NT("") + ":[U          ]:" + kLct + ":",
                  0600);
    }
};

TEST_F(PwFiles, ShadowChangedUserKeepsOrRenewsItsHash) {
    Batch b;
    b.Change("ftp", "ftp1", kStoredHash);  // same password: the stored hash
    b.Change("ROOT", "root", "n3w", 20500);
    const long today = static_cast<long>(time(nullptr)) / 86400;
    EXPECT_EQ(1, b.Shadow());
    std::vector<std::string> lines = Lines(ReadFile(SZF_SHADOW_TMP));
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("# local accounts\n", lines[0]);
    EXPECT_EQ("\n", lines[2]);
    EXPECT_EQ("guest::14002:0:99999:7:::", lines[4]);

    // Fields 4 to 7 and 9 of the old line stay; the day is today's; the old
    // expiry goes when the record has none.
    std::vector<std::string> ftp = Split(lines[3]);
    ASSERT_EQ(9u, ftp.size());
    EXPECT_EQ("ftp1", ftp[0]);
    EXPECT_EQ(kStoredHash, ftp[1]);
    EXPECT_TRUE(IsToday(ftp[2], today)) << ftp[2];
    EXPECT_EQ((std::vector<std::string>{"1", "200", "9", "30", "", "rsv\n"}),
              std::vector<std::string>(ftp.begin() + 3, ftp.end()));
    EXPECT_EQ(nullptr, b.NewPassword("ftp1"));

    std::vector<std::string> root = Split(lines[1]);
    ASSERT_EQ(9u, root.size());
    EXPECT_EQ(1, IsPasswdMD5Encrypt(root[1].c_str()));
    EXPECT_STREQ(root[1].c_str(), SDKIPwdCrypt("n3w", root[1].c_str()));
    EXPECT_EQ("20500", root[7]);
    ASSERT_NE(nullptr, b.NewPassword("ROOT"));
    EXPECT_EQ(root[1], b.NewPassword("root"));

    // The original is untouched; the copy keeps its restrictive mode.
    EXPECT_NE(std::string::npos, ReadFile(SZF_SHADOW).find("ftp:"));
    struct stat st {};
    ASSERT_EQ(0, stat(SZF_SHADOW_TMP, &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(PwFiles, ShadowNewUsersAfterAnUnendedLastLine) {
    Batch b;
    b.Add("alice", "pw1");
    b.Add("bob", "pw2", 21000);
    {  // a stale entry from an earlier call is dropped
        PSLIBSZHASH h = b.passwords.release();
        SDKIUserHashSet(&h, "stale", "x");
        b.passwords.reset(h);
    }
    const long today = static_cast<long>(time(nullptr)) / 86400;
    EXPECT_EQ(1, b.Shadow());
    EXPECT_EQ(0, SLIBSzHashCount(b.passwords.get()));
    std::vector<std::string> lines = Lines(ReadFile(SZF_SHADOW_TMP));
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("guest::14002:0:99999:7:::\n", lines[4]);
    for (const std::string &line : {lines[5], lines[6]}) {
        std::vector<std::string> f = Split(line);
        ASSERT_EQ(9u, f.size()) << line;
        const bool bob = f[0] == "bob";
        EXPECT_TRUE(bob || f[0] == "alice");
        EXPECT_STREQ(f[1].c_str(), SDKIPwdCrypt(bob ? "pw2" : "pw1", f[1].c_str()));
        EXPECT_TRUE(IsToday(f[2], today));
        EXPECT_EQ(bob ? "0:99999:7::21000:\n" : "0:99999:7:::\n",
                  line.substr(line.find(':', line.find(':', line.find(':') + 1) + 1) + 1));
    }
}

TEST_F(PwFiles, ShadowCopiesAsIsWithoutChangedUsersAndRefusesBrokenLines) {
    const std::string broken = "# x\nroot:abc:1:2:3\nguest::14002:0:99999:7:::\n";
    WriteFile("/etc/shadow", broken, 0600);
    Batch b;
    EXPECT_EQ(0, b.Shadow());
    EXPECT_EQ(broken, ReadFile(SZF_SHADOW_TMP));

    b.Change("guest", "guest", "");
    SLIBErrSet(0);
    EXPECT_EQ(-1, b.Shadow());
    EXPECT_EQ(ERR_FIELD_COUNT, SLIBErrGet());
    EXPECT_TRUE(qtest::SyslogHas("shadow file corrupted"));
    EXPECT_FALSE(FileExists(SZF_SHADOW_TMP));

    qtest::RemoveFile("/etc/shadow");
    SLIBErrSet(0);
    EXPECT_EQ(-1, b.Shadow());
    EXPECT_EQ(ERR_OPEN_FAILED, SLIBErrGet());

    PSLIBSZHASH none = nullptr;
    SLIBErrSet(0);
    EXPECT_EQ(-1, SDKIModifyShadow(b.changed.get(), b.added.get(), &none));
    EXPECT_EQ(ERR_BAD_PARAMETERS, SLIBErrGet());
    EXPECT_TRUE(qtest::SyslogHas("parameter error"));
}

TEST_F(PwFiles, SmbpasswdChangedUsers) {
    Batch b;
    b.Change("ftp", "ftp1", kStoredHash);  // renamed, password kept
    b.Change("guest", "guest", "");        // only the description changes
    b.Change("root", "root", "n3w");
    ASSERT_EQ(1, b.Shadow());
    ASSERT_EQ(1, b.Smbpasswd());
    std::vector<std::string> lines = Lines(ReadFile(SZF_SMBPASSWD_TMP));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("# smb\n", lines[0]);

    std::vector<std::string> root = Split(lines[1]);
    ASSERT_EQ(7u, root.size());
    EXPECT_EQ((std::vector<std::string>{"root", "0", LM("n3w"), NT("n3w"), "[U          ]"}),
              std::vector<std::string>(root.begin(), root.begin() + 5));
    EXPECT_TRUE(IsLct(root[5])) << root[5];
    EXPECT_EQ("\n", root[6]);

    // The rename keeps hashes and flags, renews the time and drops what
    // followed the sixth ':'.
    std::vector<std::string> ftp = Split(lines[2]);
    ASSERT_EQ(7u, ftp.size());
    EXPECT_EQ((std::vector<std::string>{"ftp1", "1030", LM("old"), NT("old"), "[UX         ]"}),
              std::vector<std::string>(ftp.begin(), ftp.begin() + 5));
    EXPECT_TRUE(IsLct(ftp[5]));
    EXPECT_NE(kLct, ftp[5]);
    EXPECT_EQ("\n", ftp[6]);

    // Unchanged: the same line, ended now.
    EXPECT_EQ(std::string("guest:1025:") + SDKI_LM_NO_HASH + ":" + NT("") +
                  ":[U          ]:" + kLct + ":\n",
              lines[3]);
}

TEST_F(PwFiles, SmbpasswdNewUsers) {
    Batch b;
    b.Add("carol", "secret", 0, 1031);
    b.Add("dave", "密码", 0, 1032);  // no LM hash in code page 437
    ASSERT_EQ(1, b.Smbpasswd());
    std::vector<std::string> lines = Lines(ReadFile(SZF_SMBPASSWD_TMP));
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ('\n', lines[3].back());
    for (const std::string &line : {lines[4], lines[5]}) {
        std::vector<std::string> f = Split(line);
        ASSERT_EQ(7u, f.size()) << line;
        const bool carol = f[0] == "carol";
        EXPECT_EQ(carol ? "1031" : "1032", f[1]);
        EXPECT_EQ(carol ? LM("secret") : SDKI_LM_NO_HASH, f[2]);
        EXPECT_EQ(NT(carol ? "secret" : "密码"), f[3]);
        EXPECT_EQ("[U          ]", f[4]);
        EXPECT_TRUE(IsLct(f[5]));
        EXPECT_EQ("\n", f[6]);
    }
}

TEST_F(PwFiles, SmbpasswdErrors) {
    struct Case {
        const char *name;
        std::string file;  // empty: no file
        bool changeRoot, addWithoutUid;
        SLIBERRCODE code;
        const char *log;
    };
    const Case cases[] = {
        {"format", "root:0:x:y\n", true, false, ERR_FIELD_COUNT, "smbpasswd format error"},
        {"no uid", "# empty\n", false, true, ERR_NOT_FOUND, "mismatch in smbpasswd uid"},
        {"no file", "", true, false, ERR_OPEN_FAILED, "open files failed"},
    };
    for (const Case &c : cases) {
        if (c.file.empty())
            qtest::RemoveFile(SZF_SMBPASSWD);
        else
            WriteFile(SZF_SMBPASSWD, c.file, 0600);
        Batch b;
        if (c.changeRoot) b.Change("root", "root", "pw");
        if (c.addWithoutUid) b.Add("erin", "pw");
        qtest::ClearSyslog();
        SLIBErrSet(0);
        EXPECT_EQ(-1, b.Smbpasswd()) << c.name;
        EXPECT_EQ(c.code, SLIBErrGet()) << c.name;
        EXPECT_TRUE(qtest::SyslogHas(c.log)) << c.name;
        EXPECT_FALSE(FileExists(SZF_SMBPASSWD_TMP)) << c.name;
    }
}

TEST(PwUserHash, NamesMatchWithoutRegardToCase) {
    HashPtr h(PshSLIBSzHashAlloc(1024));
    QAVOUSERSET a{}, other{};
    PSLIBSZHASH p = h.release();
    EXPECT_EQ(0, SDKISetUserPtr(&p, "Ärger", &a));
    SLIBErrSet(0);
    EXPECT_EQ(-1, SDKISetUserPtr(&p, "äRGER", &other));
    EXPECT_EQ(ERR_BAD_USER, SLIBErrGet());
    h.reset(p);
    PQAVOUSERSET found = nullptr;
    EXPECT_EQ(1, SDKIGetUserPtr(h.get(), "ärger", &found));
    EXPECT_EQ(&a, found);
    EXPECT_EQ(0, SDKIGetUserPtr(h.get(), "nobody", &found));
    // A name that cannot be upper-cased counts as absent.
    EXPECT_EQ(0, SDKIGetUserPtr(h.get(), std::string(2000, 'n').c_str(), &found));
    EXPECT_EQ(nullptr, SDKIUserHashGet(h.get(), "nobody"));
}

}  // namespace
