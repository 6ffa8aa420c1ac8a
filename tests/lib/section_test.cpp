#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_section.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

namespace {

const std::string kConf = "/etc/smb.conf";

struct Hash {
    PSLIBSZHASH p = PshSLIBSzHashAlloc(0);
    ~Hash() { SLIBSzHashFree(p); }
    Hash &Set(const char *k, const char *v) {
        EXPECT_GE(SLIBSzHashSetValue(&p, k, v), 0);
        return *this;
    }
};

std::vector<std::string> Enum(const std::string &path) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    int n = SLIBFileEnumSection(path.c_str(), &l);
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i)
        v.emplace_back(SzSLIBSzListGet(l, i));
    SLIBSzListFree(l);
    return v;
}

// A share section as the share code builds it (keys in its insertion order).
void ShareHash(Hash &h, const char *path) {
    h.Set("comment", "\"\"")
        .Set("path", path)
        .Set("browseable", "yes")
        .Set("invalid users", "nobody,nobody")
        .Set("write list", "nobody,nobody")
        .Set("read list", "nobody,nobody")
        .Set("valid users", "nobody,nobody")
        .Set("guest ok", "yes")
        .Set("writeable", "yes");
}

std::string Crudini(const std::string &file, const std::string &section, const std::string &key) {
    std::string out;
    EXPECT_EQ(qtest::Exec({"/usr/bin/crudini", "--get", file, section, key}, &out), 0)
        << section << " " << key;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace

TEST(Section, HeaderLines) {
    struct Case {
        const char *line;
        int header;
        int named;  // named "homes"
    };
    const Case cases[] = {
        {"[homes]\n", 1, 1},
        {"[homes]  \n", 1, 1},
        {"[homes] x\n", 0, 0},
        {"[Homes]\n", 1, 0},
        {"[homes\n", 0, 0},
        {" [homes]\n", 0, 0},
        {"[homes]]\n", 1, 0},
        {"[home]\n", 1, 0},
        {"[homes]\r\n", 1, 1},
        {"[ homes ]\n", 1, 0},
        {"", 0, 0},
    };
    for (const Case &c : cases) {
        std::string s = c.line;
        EXPECT_EQ(BlSLIBFileIsSectionHeader(s.data(), s.size()), c.header) << s;
        EXPECT_EQ(BlSLIBFileIsSectionNamed(s.data(), s.size(), "homes"), c.named) << s;
    }
    // Only the given length counts.
    EXPECT_EQ(BlSLIBFileIsSectionNamed("[homes]x", 7, "homes"), 1);
    SLIBErrSet(0);
    EXPECT_EQ(BlSLIBFileIsSectionNamed(nullptr, 0, "homes"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST(Section, FormatCheck) {
    struct Case {
        const char *format;
        int ok;
    };
    const Case cases[] = {
        {nullptr, 1},         {"%s=%s\n", 1},   {"%s=\"%s\"\n", 1}, {"\t%s=%s\n", 1},
        {"%s=\t\"%s\"\n", 1}, {"%s %s\n", 0},   {"%s=%s", 0},       {"=%s%s\n", 0},
        {"%s=%d\n", 0},       {"%s=%s\n%s", 0}, {"%n%s=%s\n", 0},   {"%s=%s%%\n", 1},
        {"%s\n=%s\n", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(BlSLIBIsKeyValueFormat(c.format), c.ok) << (c.format ? c.format : "null");
}

TEST(Section, ReadsTheFirstSectionOfThatName) {
    WriteFile(kConf,
              "[global]\nworkgroup = WG\n"
              "[homes]  \n"
              " path = \"/volume1/homes\" \n"
              "#comment=1\n"
              "no equals sign\n"
              "=empty key\n"
              "browseable = no\n"
              "browseable = yes\n"
              "[unclosed\n"
              "after = unclosed\n"
              "[homes]\nsecond = copy\n");
    Hash h;
    ASSERT_EQ(SLIBFileGetSection(kConf.c_str(), "homes", &h.p), 3);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h.p, "path"), "/volume1/homes");
    EXPECT_STREQ(SzSLIBSzHashGetValue(h.p, "#comment"), "1");
    EXPECT_STREQ(SzSLIBSzHashGetValue(h.p, "browseable"), "yes");
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "after"), nullptr);
    EXPECT_EQ(SzSLIBSzHashGetValue(h.p, "second"), nullptr);
    // An absent section is no failure: the hash stays as it was.
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileGetSection(kConf.c_str(), "none", &h.p), 3);
    EXPECT_EQ(SLIBErrGet(), 0u);
    EXPECT_EQ(SLIBFileGetSection("/etc/missing.conf", "homes", &h.p), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_EQ(SLIBFileGetSection(kConf.c_str(), nullptr, &h.p), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    EXPECT_EQ(Enum(kConf), (std::vector<std::string>{"global", "homes", "homes"}));
}

TEST(Section, EnumeratesNamesAsWritten) {
    WriteFile(kConf, "[ a b ]\nk=v\n[a]x\n[dup]\n[dup] \n[]\n");
    EXPECT_EQ(Enum(kConf), (std::vector<std::string>{" a b ", "dup", "dup", ""}));
    WriteFile(kConf, "[" + std::string(1100, 'n') + "]\n");
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    EXPECT_EQ(SLIBFileEnumSection(kConf.c_str(), &l), -1);
    SLIBSzListFree(l);
}

TEST(Section, SetWritesBucketOrderThatSambaReads) {
    WriteFile(kConf,
              "[global]\n\tworkgroup = WG\n"
              "[share]\n\tpath=/volume1/old\n# keep me\n[unclosed\n\tcomment=old\n"
              "[other]\n\tpath=/volume1/other\n",
              0640);
    Hash h;
    ShareHash(h, "/volume1/share");
    ASSERT_EQ(ErrSLIBFileSetSection(kConf.c_str(), "share", nullptr, h.p, "\t%s=%s\n"), 1);
    EXPECT_EQ(ReadFile(kConf),
              "[global]\n\tworkgroup = WG\n"
              "[share]\n\twrite list=nobody,nobody\n\tcomment=\"\"\n\tbrowseable=yes\n"
              "\tread list=nobody,nobody\n\tvalid users=nobody,nobody\n"
              "\tinvalid users=nobody,nobody\n\twriteable=yes\n\tguest ok=yes\n"
              "\tpath=/volume1/share\n"
              "# keep me\n"
              "[other]\n\tpath=/volume1/other\n");
    EXPECT_FALSE(FileExists(kConf + ".tmp"));
    struct stat st;
    ASSERT_EQ(stat(kConf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // testparm wants the state and cache directories of a Samba install.
    ASSERT_EQ(qtest::Sh("mkdir -p /var/lib/samba /var/cache/samba"), 0);
    std::string out;
    ASSERT_EQ(qtest::Exec({"/usr/bin/testparm", "-s", kConf}, &out), 0) << out;
    EXPECT_NE(out.find("[share]\n\tcomment = \"\"\n\tguest ok = Yes\n"
                       "\tinvalid users = nobody nobody\n\tpath = /volume1/share\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[other]\n\tpath = /volume1/other\n"), std::string::npos) << out;
}

TEST(Section, RenameKeepsThePlaceAndDuplicatesAllChange) {
    WriteFile(kConf, "[a]\nk=1\n[s]\nk=2\n[b]\nk=3\n[s]\nk=4\n");
    Hash h;
    h.Set("k", "new");
    ASSERT_EQ(ErrSLIBFileSetSection(kConf.c_str(), "s", "t", h.p, nullptr), 1);
    EXPECT_EQ(ReadFile(kConf), "[a]\nk=1\n[t]\nk=new\n[b]\nk=3\n[t]\nk=new\n");
    EXPECT_EQ(Crudini(kConf, "b", "k"), "3");
    // Absent: 0, the file rewritten unchanged.
    EXPECT_EQ(ErrSLIBFileSetSection(kConf.c_str(), "zz", nullptr, h.p, nullptr), 0);
    EXPECT_EQ(ReadFile(kConf), "[a]\nk=1\n[t]\nk=new\n[b]\nk=3\n[t]\nk=new\n");
    SLIBErrSet(0);
    EXPECT_EQ(ErrSLIBFileSetSection(kConf.c_str(), "a", nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST(Section, RemoveKeepsCommentLines) {
    WriteFile(kConf, "[a]\nk=1\n[gone]\n;note\nk=2\n#other\n[b]\nk=3");
    ASSERT_EQ(ErrSLIBFileRemoveSection(kConf.c_str(), "gone"), 1);
    EXPECT_EQ(ReadFile(kConf), "[a]\nk=1\n;note\n#other\n[b]\nk=3");
    EXPECT_EQ(ErrSLIBFileRemoveSection(kConf.c_str(), "gone"), 0);
    SLIBErrSet(0);
    EXPECT_EQ(ErrSLIBFileRemoveSection("/etc/missing.conf", "gone"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_FALSE(FileExists("/etc/missing.conf"));
}

TEST(Section, AddAppendsInPlace) {
    WriteFile(kConf, "[a]\nk=1");  // last line without newline
    Hash h;
    h.Set("path", "/volume1/x");
    ASSERT_EQ(ErrSLIBFileAddSection(kConf.c_str(), "new", h.p, "%s=\"%s\"\n"), 1);
    EXPECT_EQ(ReadFile(kConf), "[a]\nk=1\n[new]\npath=\"/volume1/x\"\n");
    EXPECT_EQ(Crudini(kConf, "new", "path"), "\"/volume1/x\"");  // crudini keeps quotes
    EXPECT_EQ(Crudini(kConf, "a", "k"), "1");
    EXPECT_EQ(ErrSLIBFileAddSection(kConf.c_str(), "a", h.p, nullptr), 0);
    EXPECT_EQ(ReadFile(kConf), "[a]\nk=1\n[new]\npath=\"/volume1/x\"\n");
    WriteFile(kConf, "");
    ASSERT_EQ(ErrSLIBFileAddSection(kConf.c_str(), "e", nullptr, nullptr), 1);
    EXPECT_EQ(ReadFile(kConf), "\n[e]\n");
    SLIBErrSet(0);
    EXPECT_EQ(ErrSLIBFileAddSection("/etc/missing.conf", "a", h.p, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_FALSE(FileExists("/etc/missing.conf"));
}

TEST(Section, LineBreaksInTextsAreRefused) {
    const std::string before = "[global]\nworkgroup=WG\n[s]\npath=/volume1/s\n";
    WriteFile(kConf, before);
    struct Case {
        const char *section, *key, *value;
        bool badPair;
    };
    const Case cases[] = {
        {"s", "comment", "x\n[global]\nroot preexec = /bin/sh", true},
        {"s", "comment", "x\r", true},
        {"s", "a\nb", "v", true},
        {"new\n[global]", "k", "v", false},
    };
    for (const Case &c : cases) {
        Hash h;
        h.Set(c.key, c.value);
        SLIBErrSet(0);
        EXPECT_EQ(ErrSLIBFileSetSection(kConf.c_str(), "s", c.section, h.p, nullptr), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        EXPECT_EQ(ErrSLIBFileAddSection(kConf.c_str(), c.section, h.p, nullptr), -1);
        EXPECT_EQ(ErrSLIBFileSetSectionKey(kConf.c_str(), c.section, c.key, c.value, nullptr), -1);
        if (c.badPair) {
            EXPECT_EQ(SLIBFileWriteHash(kConf.c_str(), h.p, nullptr), -1);
        }
        EXPECT_EQ(SLIBFileWriteSection(stdout, c.section, h.p, nullptr), -1);
        EXPECT_EQ(ReadFile(kConf), before);
        EXPECT_FALSE(FileExists(kConf + ".tmp"));
    }
    Hash h;
    h.Set("k", "v");
    EXPECT_EQ(ErrSLIBFileSetSection(kConf.c_str(), "s", nullptr, h.p, "%s=%d\n"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST(Section, FailedWriteLeavesTheFileIntact) {
    std::string before = "[global]\nworkgroup=WG\n[s]\npath=/volume1/s\n" + std::string(200, '#');
    before += "\n";
    WriteFile(kConf, before);
    Hash h;
    std::string big(4096, 'v');
    h.Set("comment", big.c_str());
    // Files may grow to 300 bytes only: the new section cannot be written.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit old, lim = {300, 300};
    getrlimit(RLIMIT_FSIZE, &old);
    lim.rlim_max = old.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    SLIBErrSet(0);
    int r = ErrSLIBFileSetSection(kConf.c_str(), "s", nullptr, h.p, nullptr);
    SLIBERRCODE code = SLIBErrGet();
    int w = SLIBFileWriteHash(kConf.c_str(), h.p, nullptr);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(code, 0x0B00u);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(ReadFile(kConf), before);
    EXPECT_FALSE(FileExists(kConf + ".tmp"));
}

TEST(Section, SetKeyAddsTheSectionWhenMissing) {
    WriteFile(kConf, "[task1]\nname=a\nsrc=/x\n");
    ASSERT_GE(ErrSLIBFileSetSectionKey(kConf.c_str(), "task2", "name", "b", nullptr), 0);
    ASSERT_GE(ErrSLIBFileSetSectionKey(kConf.c_str(), "task1", "src", "/volume1/y", nullptr), 0);
    EXPECT_EQ(Crudini(kConf, "task2", "name"), "b");
    EXPECT_EQ(Crudini(kConf, "task1", "src"), "/volume1/y");
    EXPECT_EQ(Crudini(kConf, "task1", "name"), "a");
    EXPECT_EQ(Enum(kConf), (std::vector<std::string>{"task1", "task2"}));
}

TEST(Section, SetKeyKeepsEachCommentLineOnce) {
    WriteFile(kConf, "[s]\n; guest ok = no\n#x=1\nk=v\n[t]\nk=1\n");
    for (const char *value : {"w", "longer value"})
        ASSERT_EQ(ErrSLIBFileSetSectionKey(kConf.c_str(), "s", "k", value, nullptr), 1);
    EXPECT_EQ(ReadFile(kConf), "[s]\nk=longer value\n; guest ok = no\n#x=1\n[t]\nk=1\n");
}

TEST(Section, ReadErrorIsNoEndOfFile) {
    // A directory opens for reading, but no line can be read from it.
    ASSERT_EQ(qtest::Sh("mkdir -p /etc/conf.d"), 0);
    Hash h;
    h.Set("kept", "1");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileGetSection("/etc/conf.d", "s", &h.p), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0A00u);
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileEnumSection("/etc/conf.d", &l), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0A00u);
    SLIBSzListFree(l);
}

TEST(Section, WriteHashReplacesTheWholeFile) {
    WriteFile(kConf, "old=1\n", 0600);
    Hash h;
    h.Set("a", "1").Set("b", "two words");
    ASSERT_EQ(SLIBFileWriteHash(kConf.c_str(), h.p, "%s=\"%s\"\n"), 0);
    EXPECT_EQ(ReadFile(kConf), "a=\"1\"\nb=\"two words\"\n");
    struct stat st;
    ASSERT_EQ(stat(kConf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(SLIBFileWriteHash("/etc/created.conf", h.p, nullptr), 0);
    EXPECT_EQ(ReadFile("/etc/created.conf"), "a=1\nb=two words\n");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileWriteHash("/nonexistent/dir/x.conf", h.p, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
}
