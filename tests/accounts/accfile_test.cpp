#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_accfile.h"
#include "qavo_group.h"
#include "slib_errcode.h"

using qtest::WriteFile;

namespace {

// A group entry as one comparable text: name:password:gid:members
// (comma-joined) followed by |type|linked|number.
std::string Text(const QAVOGROUPENTRY *g) {
    if (!g) return "(none)";
    std::string s = std::string(g->name) + ":" + g->password + ":" + std::to_string(g->gid) + ":";
    for (char **m = g->members; *m; ++m)
        s += std::string(m == g->members ? "" : ",") + *m;
    s += "|" + std::to_string(g->type) + "|" + (g->linked ? g->linked : "-") + "|" +
         std::to_string(g->number);
    return s;
}

// Every entry the enumeration returns, in file order.
std::vector<std::string> Enumerate() {
    std::vector<std::string> all;
    while (QAVOGROUPENTRY *g = PgrpSLIBGetLocalGrEnt())
        all.push_back(Text(g));
    SLIBIGrClose();
    return all;
}

std::string Members(const std::string &prefix, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += (i ? "," : "") + prefix + std::to_string(i);
    return s;
}

std::string GetentLines(const std::string &db) {
    std::string out;
    EXPECT_EQ(qtest::Exec({"/usr/bin/getent", db}, &out), 0);
    return out;
}

void GlibcReadsFilesOnly() {
    WriteFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
}

}  // namespace

TEST(GroupScan, LineForms) {
    struct Case {
        const char *line, *expect;
    } cases[] = {
        {"users:x:100:nobody,a,,b,nobody", "users:x:100:nobody,a,b,nobody|1|-|0"},
        {"staff:x:50:", "staff:x:50:|0|-|0"},
        {"wheel:x:0:root", "wheel:x:0:root|0|-|0"},
        {"root:x:0:root", "root:x:0:root|1|-|0"},
        {"g:x:70000", "g:x:70000:|1|-|0"},  // three fields: no members
        {"adm:x:31:", "adm:x:31:|1|-|0"},
        {"top:x:65534:", "top:x:65534:|0|-|0"},
        {"over:x:65535:", "over:x:65535:|1|-|0"},
        {"empty:x::", "empty:x:0:|1|-|0"},  // an empty gid reads as 0
        {"m:x:9:,a,b,", "m:x:9:a,b|0|-|0"},
        {"e:x:70001:a:3:CORP:0x10", "e:x:70001:a|3|CORP|16"},
        {"e:x:70001:a:2:CORP:017:tail", "e:x:70001:a|2|CORP|15"},
        {"e:x:70001:a:0::", "e:x:70001:a|0||0"},
        // Passed over: comments, "+" lines, a name with or without its
        // password, an unreadable gid, an extended line short of a field or
        // with a bad type or number.
        {"#c:x:1:", "(none)"},
        {" \t#c:x:1:", "(none)"},
        {"+nis:x:1:", "(none)"},
        {"only", "(none)"},
        {"np:x", "(none)"},
        {"bad:x:12ab:", "(none)"},
        {"neg:x:-1:", "(none)"},
        {"huge:x:4294967296:", "(none)"},
        {"e:x:1:a:4:CORP:1", "(none)"},
        {"e:x:1:a:3:CORP", "(none)"},
        {"e:x:1:a:3", "(none)"},
        {"e:x:1:a:x:CORP:1", "(none)"},
        {"e:x:1:a:3:CORP:1z", "(none)"},
        {"", "(none)"},
    };
    for (const Case &c : cases) {
        for (const char *end : {"\n", ""}) {
            WriteFile("/etc/group", std::string(c.line) + end);
            EXPECT_EQ(Enumerate(), c.expect == std::string("(none)")
                                       ? std::vector<std::string>{}
                                       : std::vector<std::string>{c.expect})
                << "[" << c.line << "] newline: " << (*end ? "yes" : "no");
        }
    }
}

TEST(GroupScan, DamagedLinesHideNothingAfterThem) {
    WriteFile("/etc/group",
              "#$_@GID__INDEX@_$65540$\n"
              "a:x:65536:\n"
              "np:x\n"
              "only\n"
              "b:x:65537:\n"
              "e:x:65538::9:L:1\n"
              "c:x:65539:u1");
    EXPECT_EQ(Enumerate(), (std::vector<std::string>{"a:x:65536:|1|-|0", "b:x:65537:|1|-|0",
                                                     "c:x:65539:u1|1|-|0"}));
    // Every lookup reaches the lines past the damaged ones, the last one too.
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrGid(65539)), "c:x:65539:u1|1|-|0");
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrName("B")), "b:x:65537:|1|-|0");
    EXPECT_EQ(PgrpSLIBGetLocalGrGid(0), nullptr);  // "np:x" reads as no gid 0
    EXPECT_EQ(PgrpSLIBGetLocalGrName("np"), nullptr);
    EXPECT_EQ(PgrpSLIBGetLocalGrGid(65538), nullptr);
}

TEST(GroupScan, LookupsByNameAndGid) {
    WriteFile("/etc/group",
              "users:x:100:nobody,nobody\n"
              "Straße:x:65536:\n"
              "dup:x:100:\n");
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrName("USERS")), "users:x:100:nobody,nobody|1|-|0");
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrName("STRASSE")), "Straße:x:65536:|1|-|0");
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrGid(100)), "users:x:100:nobody,nobody|1|-|0");
    EXPECT_EQ(PgrpSLIBGetLocalGrName("user"), nullptr);
    EXPECT_EQ(PgrpSLIBGetLocalGrName(nullptr), nullptr);
    EXPECT_EQ(PgrpSLIBGetLocalGrGid(7), nullptr);

    // The scanner finds the next match from where it stands.
    ASSERT_EQ(SLIBIGrOpen("/etc/group"), 1);
    EXPECT_EQ(SLIBIGrScan(1, 100, nullptr), 1);
    EXPECT_EQ(SLIBIGrScan(1, 100, nullptr), 1);
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrEnt()), "(none)");  // the stream is at its end
    SLIBIGrClose();
    EXPECT_EQ(SLIBIGrScan(0, 0, nullptr), 0);  // no stream
    EXPECT_EQ(SLIBIGrOpen("/etc/nonexistent"), 0);

    // A lookup in the middle of an enumeration starts it again.
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrEnt()), "users:x:100:nobody,nobody|1|-|0");
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrEnt()), "Straße:x:65536:|1|-|0");
    ASSERT_NE(PgrpSLIBGetLocalGrGid(100), nullptr);
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrEnt()), "users:x:100:nobody,nobody|1|-|0");
    SLIBIGrClose();

    qtest::RemoveFile("/etc/group");
    EXPECT_EQ(PgrpSLIBGetLocalGrName("users"), nullptr);
    EXPECT_EQ(PgrpSLIBGetLocalGrEnt(), nullptr);
}

TEST(GroupScan, MemberArrayAndLineBufferGrow) {
    std::string file;
    for (int n : {0, 1, 63, 64, 65, 127, 128, 129, 300})
        file += "n" + std::to_string(n) + ":x:" + std::to_string(70000 + n) + ":" +
                Members("member", n) + "\n";
    WriteFile("/etc/group", file);
    for (int n : {0, 1, 63, 64, 65, 127, 128, 129, 300}) {
        QAVOGROUPENTRY *g = PgrpSLIBGetLocalGrGid(70000 + n);
        ASSERT_NE(g, nullptr) << n;
        int count = 0;
        while (g->members[count])
            ++count;
        EXPECT_EQ(count, n);
        if (n) {
            EXPECT_EQ(std::string(g->members[n - 1]), "member" + std::to_string(n - 1));
        }
    }
    // A later, shorter line after a long one is read whole as well.
    EXPECT_EQ(Text(PgrpSLIBGetLocalGrName("n1")), "n1:x:70001:member0|1|-|0");
}

TEST(GroupScan, OverlongLineIsPassedOver) {
    WriteFile("/etc/group", "a:x:70000:\nhuge:x:70001:" + Members("u", 40000) + "\nb:x:70002:\n");
    EXPECT_EQ(Enumerate(), (std::vector<std::string>{"a:x:70000:|1|-|0", "b:x:70002:|1|-|0"}));
}

TEST(GroupScan, AgreesWithGlibc) {
    GlibcReadsFilesOnly();
    WriteFile("/etc/group",
              "root:x:0:\n"
              "# comment:x:5:\n"
              "users:x:100:nobody,a,,b,nobody\n"
              "g3:x:70000\n"
              "only\n"
              "np:x\n"
              "bad:x:12ab:\n"
              "m65:x:70065:" +
                  Members("someone", 65) +
                  "\n"
                  "last:x:70004:bob,carol");
    std::string ours;
    while (QAVOGROUPENTRY *g = PgrpSLIBGetLocalGrEnt()) {
        std::string t = Text(g);
        ours += t.substr(0, t.find('|')) + "\n";
    }
    SLIBIGrClose();
    EXPECT_EQ(ours, GetentLines("group"));
}

TEST(GroupBuf, SizeQueryThenExactAndShortFill) {
    WriteFile("/etc/group",
              "users:x:100:nobody,a,,b,nobody\n"
              "staff:x:50:\n"
              "ext:x:70000:a:3:CORP:1\n"
              "big:x:70001:" +
                  Members("longmembername", 90) + "\n");
    struct Case {
        const char *name;
        std::vector<std::string> members;
    } cases[] = {
        {"USERS", {"nobody", "a", "", "b", "nobody"}},  // empty names between commas count
        {"staff", {}},
        {"big", {}},
    };
    for (int i = 0; i < 90; ++i)
        cases[2].members.push_back("longmembername" + std::to_string(i));
    for (const Case &c : cases) {
        int needed = -1;
        ASSERT_EQ(SLIBGetLocalGrNamBuf(c.name, nullptr, 0, &needed), 0) << c.name;
        ASSERT_GT(needed, static_cast<int>(sizeof(struct group)));
        // Heap blocks of exactly the size: any write past them stops the test.
        std::unique_ptr<char[]> exact(new char[static_cast<size_t>(needed)]);
        auto *gr = reinterpret_cast<struct group *>(exact.get());
        int again = 0;
        ASSERT_EQ(SLIBGetLocalGrNamBuf(c.name, gr, needed, &again),
                  static_cast<int>(c.members.size()))
            << c.name;
        EXPECT_EQ(again, needed);
        EXPECT_STRCASEEQ(gr->gr_name, c.name);
        EXPECT_STREQ(gr->gr_passwd, "x");
        std::vector<std::string> got;
        for (char **m = gr->gr_mem; *m; ++m)
            got.emplace_back(*m);
        EXPECT_EQ(got, c.members);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(gr->gr_mem) % alignof(char *), 0u);

        std::unique_ptr<char[]> shorter(new char[static_cast<size_t>(needed - 1)]);
        SLIBErrSet(0);
        EXPECT_EQ(SLIBGetLocalGrNamBuf(c.name, reinterpret_cast<struct group *>(shorter.get()),
                                       needed - 1, &again),
                  -1);
        EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    }
    int needed = 0;
    ASSERT_EQ(SLIBGetLocalGrNamBuf("users", nullptr, 0, &needed), 0);
    std::unique_ptr<char[]> b(new char[static_cast<size_t>(needed)]);
    auto *gr = reinterpret_cast<struct group *>(b.get());
    ASSERT_EQ(SLIBGetLocalGrNamBuf("users", gr, needed, &needed), 5);
    EXPECT_EQ(gr->gr_gid, 100u);
}

TEST(GroupBuf, Errors) {
    WriteFile("/etc/group", "ext:x:70000:a:3:CORP:1\nusers:x:100:\n");
    struct Case {
        const char *name;
        SLIBERRCODE code;
    } cases[] = {
        {"ext", ERR_FIELD_COUNT},       // extended lines are refused
        {"nosuch", ERR_NO_SUCH_USER},   // the code the account readers give
        {"users:x", ERR_NO_SUCH_USER},  // a name with a field separator
        {"", ERR_BAD_PARAMETERS},      {nullptr, ERR_BAD_PARAMETERS},
        {"sixteencharacter", 0x4242},  // longer than a group name: no new code
    };
    for (const Case &c : cases) {
        int needed = 0;
        SLIBErrSet(0x4242);
        EXPECT_EQ(SLIBGetLocalGrNamBuf(c.name, nullptr, 0, &needed), -1) << c.name;
        EXPECT_EQ(SLIBErrGet(), c.code) << (c.name ? c.name : "NULL");
    }
    int needed;
    SLIBErrSet(0);
    EXPECT_EQ(SLIBGetLocalGrNamBuf("users", nullptr, 16, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(Passwd, LocalLookupAgreesWithGlibc) {
    GlibcReadsFilesOnly();
    const std::string home = "/var/services/homes/a-rather-long-user-name-indeed";
    WriteFile("/etc/passwd",
              "root:x:0:0:root:/root:/bin/sh\n"
              "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
              "a-rather-long-user-name-indeed:x:1030:100:Long; name:" +
                  home + ":/bin/sh\n");
    for (const char *name : {"root", "admin", "a-rather-long-user-name-indeed"}) {
        struct passwd *pw = PpwSLIBGetLocalPwNam(name);
        ASSERT_NE(pw, nullptr) << name;
        std::string ours = std::string(pw->pw_name) + ":" + pw->pw_passwd + ":" +
                           std::to_string(pw->pw_uid) + ":" + std::to_string(pw->pw_gid) + ":" +
                           pw->pw_gecos + ":" + pw->pw_dir + ":" + pw->pw_shell + "\n";
        std::string theirs;
        EXPECT_EQ(qtest::Exec({"/usr/bin/getent", "passwd", name}, &theirs), 0);
        EXPECT_EQ(ours, theirs);
    }
    EXPECT_STREQ(PpwSLIBGetLocalPwNam("ADMIN")->pw_name, "admin");
}

TEST(Passwd, LocalLookupErrors) {
    WriteFile("/etc/passwd",
              "root:x:0:0:root:/root:/bin/sh\n"
              "eight:x:1:1:g:/h:/bin/sh:extra\n"
              "six:x:1:1:g:/h\n");
    struct Case {
        const char *name;
        SLIBERRCODE code;
    } cases[] = {
        {"eight", ERR_FIELD_COUNT},     {"six", ERR_FIELD_COUNT},      {"nosuch", ERR_NO_SUCH_USER},
        {"root:x:0", ERR_NO_SUCH_USER},  // never the line of another user
        {"", ERR_BAD_PARAMETERS},       {nullptr, ERR_BAD_PARAMETERS},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(PpwSLIBGetLocalPwNam(c.name), nullptr) << (c.name ? c.name : "NULL");
        EXPECT_EQ(SLIBErrGet(), c.code) << (c.name ? c.name : "NULL");
    }
    // 64 characters are a name, 65 are not (no new code).
    const std::string n64(64, 'u'), n65(65, 'u');
    WriteFile("/etc/passwd", n64 + ":x:5:5::/h:/bin/sh\n" + n65 + ":x:6:6::/h:/bin/sh\n");
    ASSERT_NE(PpwSLIBGetLocalPwNam(n64.c_str()), nullptr);
    SLIBErrSet(0x4242);
    EXPECT_EQ(PpwSLIBGetLocalPwNam(n65.c_str()), nullptr);
    EXPECT_EQ(SLIBErrGet(), 0x4242u);
    // A line longer than the reader takes counts as no such user.
    WriteFile("/etc/passwd", "big:x:1:1:" + std::string(1100, 'g') + ":/h:/bin/sh\n");
    SLIBErrSet(0);
    EXPECT_EQ(PpwSLIBGetLocalPwNam("big"), nullptr);
    EXPECT_EQ(SLIBErrGet(), ERR_NO_SUCH_USER);
}

TEST(Passwd, ShadowBackedLookup) {
    WriteFile("/etc/passwd",
              "admin:x:1024:100:Admin:/h:/bin/sh\n"
              "noshadow:x:1025:100::/h:/bin/sh\n"
              "short:x:1026:100::/h:/bin/sh\n");
    WriteFile("/etc/shadow",
              "admin:$1$salt$hash:14000:0:99999:7:::\n"
              "short:$1$salt$secret:14000\n",
              0600);
    struct passwd *pw = PpwSLIBGetLocalSpNam("Admin");
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(pw->pw_passwd, "$1$salt$hash");
    EXPECT_EQ(pw->pw_uid, 1024u);
    // The plain lookup gives the passwd file's field again.
    EXPECT_STREQ(PpwSLIBGetLocalPwNam("admin")->pw_passwd, "x");

    qtest::ClearSyslog();
    SLIBErrSet(0);
    EXPECT_EQ(PpwSLIBGetLocalSpNam("noshadow"), nullptr);
    EXPECT_EQ(SLIBErrGet(), ERR_NOT_FOUND);
    EXPECT_TRUE(qtest::SyslogHas("cant get line by noshadow", LOG_ERR));

    SLIBErrSet(0);
    EXPECT_EQ(PpwSLIBGetLocalSpNam("short"), nullptr);
    EXPECT_EQ(SLIBErrGet(), ERR_FIELD_COUNT);
    EXPECT_TRUE(qtest::SyslogHas("szLine[short] has 3 entries format error"));
    EXPECT_FALSE(qtest::SyslogHas("secret"));  // hashes stay out of the log

    SLIBErrSet(0);
    EXPECT_EQ(PpwSLIBGetLocalSpNam("nosuch"), nullptr);
    EXPECT_EQ(SLIBErrGet(), ERR_NO_SUCH_USER);
    SLIBErrSet(0);
    EXPECT_EQ(PpwSLIBGetLocalSpNam(nullptr), nullptr);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(Passwd, ADescriptionInAnotherEncodingHidesNoAccount) {
    // Descriptions are not names: Latin-1 bytes in one must not hide the
    // account from a lookup by name, in any case.
    WriteFile("/etc/passwd",
              "admin:x:1024:100:Admin:/h:/bin/sh\n"
              "alice:x:1026:100:Alice M\xfcller, Caf\xe9:/h:/bin/sh\n");
    WriteFile("/etc/shadow",
              "admin:$1$salt$hash:14000:0:99999:7:::\n"
              "alice:$1$salt$other:14000:0:99999:7:::\n",
              0600);
    struct passwd *pw = PpwSLIBGetLocalPwNam("ALICE");
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(pw->pw_name, "alice");
    EXPECT_STREQ(pw->pw_gecos, "Alice M\xfcller, Caf\xe9");
    pw = PpwSLIBGetLocalSpNam("Alice");
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(pw->pw_passwd, "$1$salt$other");
    // The group writer keeps her among the members.
    const char *names[] = {"Alice", "admin", "nosuch", nullptr};
    char buf[64];
    ASSERT_GE(GROUPIFilterLocalUsers(names, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "alice,admin");
}
