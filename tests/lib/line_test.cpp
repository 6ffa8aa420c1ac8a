#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_line.h"
#include "slib_szlist.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

namespace {

const char kFile[] = "/etc/line.test";
const char kCommentTemp[] = "/etc/skel/tempErrSLIBFileComment";

struct Result {
    int result;
    SLIBERRCODE code;
};

template <typename F>
Result Call(F f) {
    SLIBErrSet(0);
    int r = f();
    return {r, SLIBErrGet()};
}

ino_t Inode(const char *path) {
    struct stat st {};
    stat(path, &st);
    return st.st_ino;
}

// A line of n bytes (newline not counted) that differs from its neighbours.
std::string Long(size_t n, char c) {
    std::string s(n, c);
    s[0] = '<';
    s[n - 1] = '>';
    return s;
}

// A mount a test makes; it is undone again when the test ends.
class TestMount {
  public:
    TestMount(const char *source, const char *target, const char *type, unsigned long flags)
        : target_(target), ok_(mount(source, target, type, flags, nullptr) == 0) {}
    ~TestMount() {
        if (ok_) umount2(target_.c_str(), MNT_DETACH);
    }
    bool ok() const { return ok_; }

  private:
    std::string target_;
    bool ok_;
};

struct ListFree {
    void operator()(PSLIBSZLIST l) const { SLIBSzListFree(l); }
};
using ListPtr = std::unique_ptr<SLIBSZLIST, ListFree>;

ListPtr List(std::vector<const char *> items) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(512);
    for (const char *s : items)
        SLIBSzListPush(&l, s);
    return ListPtr(l);
}

TEST(LineMatch, KeyTestsByFlags) {
    struct Case {
        const char *line, *key;
        int flags, match;
    } cases[] = {
        {"root:x:0:0\n", "root", 0x2, 1},
        {"xroot:x\n", "root", 0x2, 0},
        {"xroot:x\n", "root", 0, 1},
        {"a b /bin/sh\n", "/bin/sh", 0x4, 1},  // tested before the newline
        {"a b /bin/sh", "/bin/sh", 0x4, 1},    // a last line without one
        {"sh\n", "/bin/sh", 0x4, 0},           // shorter than the key
        {"a /bin/sh x\n", "/bin/sh", 0x4, 0},
        {"root:x\n", "root", 0x6, 1},  // prefix wins over suffix
        {"#root:x\n", "root", 0, 0},   // comment lines never match
        {";root:x\n", "root", 0x402, 0},
        {"Root:x\n", "root", 0x2, 0},
        {"Root:x\n", "rOOT", 0x402, 1},
        {"Straße 1\n", "STRASSE", 0x402, 1},    // upper-cased through the Unicode layer
        {"\xff\xfe root\n", "root", 0x400, 0},  // cannot be converted: no match
        // A prefix is compared with the line's start only: bytes that cannot
        // be converted after it hide nothing, before it they do.
        {"alice:x:1:1:Caf\xe9:/h:/bin/sh\n", "ALICE:", 0x402, 1},
        {"Caf\xe9:x\n", "CAF", 0x402, 1},
        {"\xe9lice:x\n", "LICE:", 0x402, 0},
        {"al\xe9:x\n", "ALE:", 0x402, 0},
        {"root\n", "root", -1, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(BlSLIBFileMatchLine(c.line, c.key, c.flags), c.match)
            << c.line << " / " << c.key << " / " << c.flags;
    EXPECT_EQ(BlSLIBFileMatchLine(nullptr, "a", 0), 0);
    EXPECT_EQ(BlSLIBFileMatchLine("a", nullptr, 0), 0);
}

TEST(LineMatch, FieldTests) {
    struct Case {
        const char *line;
        std::vector<const char *> patterns;
        const char *delimiters;
        int match;
    } cases[] = {
        {"a:b:c\n", {"a", "", "c\n"}, ":", 1},  // the last token keeps the newline
        {"a:b:c\n", {"a", "", "c"}, ":", 0},
        {"a:b:c\n", {"a", "", "c"}, ":\n", 1},
        {"a::b\n", {"a", "b\n"}, ":", 1},      // empty tokens are skipped
        {"a:b\n", {"a", "b", "c"}, ":\n", 0},  // fewer tokens than patterns
        {"#a:b\n", {"#a"}, ":", 0},
        {"#a:b\n", {}, ":", 1},  // no patterns: every line
        {"x y\tz\n", {"x", "y"}, " \t", 1},
    };
    for (const Case &c : cases) {
        ListPtr l = List(c.patterns);
        EXPECT_EQ(BlSLIBFileMatchFields(c.line, l.get(), c.delimiters), c.match) << c.line;
    }
    EXPECT_EQ(BlSLIBFileMatchFields(";a", nullptr, ":"), 1);
}

TEST(LineFile, AddLine) {
    struct Case {
        const char *before, *key, *line;
        int flags, result;
        const char *after;
    } cases[] = {
        {"a\nb\n", nullptr, "top", 0, 1, "top\na\nb\n"},
        {"a\nb\n", nullptr, "end", 0x200, 1, "a\nb\nend\n"},
        {"a\nb", nullptr, "end", 0x200, 1, "a\nb\nend\n"},  // never joins the last line
        {"", nullptr, "end", 0x200, 1, "end\n"},
        {"", nullptr, "top", 0, 1, "top\n"},
        {"k1\nx\nk2\n", "k", "new", 0, 1, "new\nk1\nx\nk2\n"},
        {"k1\nx\nk2\n", "k", "new", 0x1, 1, "k1\nx\nnew\nk2\n"},
        {"k1\nx\nk2\n", "k", "new", 0x200, 1, "k1\nnew\nx\nk2\n"},
        {"k1\nx\nk2\n", "k", "new", 0x201, 1, "k1\nx\nk2\nnew\n"},
        {"k1\nx\nk2", "k", "new", 0x201, 1, "k1\nx\nk2\nnew\n"},  // after a last line w/o newline
        {"a x\nb\n", "X", "new", 0x600, 1, "a x\nnew\nb\n"},
        {"#k\n", "k", "new", 0, 0, "#k\n"},
        {"a\n", "k", "new", 0, 0, "a\n"},
    };
    for (const Case &c : cases) {
        WriteFile(kFile, c.before);
        Result r = Call([&] { return SLIBFileAddLine(kFile, c.key, c.line, c.flags); });
        EXPECT_EQ(r.result, c.result) << c.before << " + " << c.line;
        if (c.result == 0) {
            EXPECT_EQ(r.code, ERR_NOT_FOUND);
        }
        EXPECT_EQ(ReadFile(kFile), c.after) << c.before << " + " << c.line;
        EXPECT_FALSE(FileExists(std::string(kFile) + ".tmp"));
    }
}

TEST(LineFile, AddLineAppendsInPlaceAndCreatesMissingFiles) {
    WriteFile(kFile, "a\n", 0640);
    ino_t ino = Inode(kFile);
    EXPECT_EQ(SLIBFileAddLine(kFile, nullptr, "b", 0x200), 1);
    EXPECT_EQ(Inode(kFile), ino);  // appended, not rewritten
    EXPECT_EQ(SLIBFileAddLine(kFile, "b", "c", 0x200), 1);
    EXPECT_EQ(ReadFile(kFile), "a\nb\nc\n");
    struct stat st {};
    ASSERT_EQ(stat(kFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // the rewrite keeps the mode

    // A missing file is created holding the line; the key is not looked for.
    EXPECT_EQ(SLIBFileAddLine("/etc/new.list", "absent", "first", 0), 1);
    EXPECT_EQ(ReadFile("/etc/new.list"), "first\n");

    mkdir("/etc/dir", 0755);
    for (Result r : {Call([] { return SLIBFileAddLine("/etc/dir", nullptr, "x", 0); }),
                     Call([] { return SLIBFileAddLine(kFile, nullptr, "x", -1); }),
                     Call([] { return SLIBFileAddLine(kFile, nullptr, nullptr, 0); }),
                     Call([] { return SLIBFileAddLine("/nodir/f", nullptr, "x", 0); })}) {
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.code, ERR_BAD_PARAMETERS);
    }
}

TEST(LineFile, SetLineChangesExactlyOneLine) {
    struct Case {
        const char *key, *line;
        int flags, result;
        const char *after;
    } cases[] = {
        {"k", "new", 0, 1, "new\nx\nk2\nk3"},
        {"k", "new", 0x1, 1, "k1\nx\nk2\nnew\n"},  // the last line gets its newline
        {"k", nullptr, 0, 1, "x\nk2\nk3"},         // deletes one of several
        {"k", nullptr, 0x1, 1, "k1\nx\nk2\n"},
        {"K3", nullptr, 0x404, 1, "k1\nx\nk2\n"},
        {"zz", "new", 0, 0, "k1\nx\nk2\nk3"},
    };
    for (const Case &c : cases) {
        WriteFile(kFile, "k1\nx\nk2\nk3");
        Result r = Call([&] { return SLIBFileSetLine(kFile, c.key, c.line, c.flags); });
        EXPECT_EQ(r.result, c.result) << c.key << " " << c.flags;
        if (c.result == 0) {
            EXPECT_EQ(r.code, ERR_NOT_FOUND);
        }
        EXPECT_EQ(ReadFile(kFile), c.after) << c.key << " " << c.flags;
    }
    EXPECT_EQ(SLIBFileSetLine("/etc/created", "k", "line", 0), 1);
    EXPECT_EQ(ReadFile("/etc/created"), "line\n");
    EXPECT_EQ(SLIBFileSetLine("/etc/empty", "k", nullptr, 0), 1);
    EXPECT_EQ(ReadFile("/etc/empty"), "");

    qtest::ClearSyslog();
    WriteFile(kFile, "/dev/md2 /volume1 defaultfs\n");
    EXPECT_EQ(SLIBFileSetLine(kFile, "defaultfs", nullptr, 0), 1);
    EXPECT_TRUE(qtest::SyslogHas("szKey=defaultfs, szLine=(null)", 3));
}

TEST(LineFile, GetLine) {
    const std::string big = Long(8193, 'g');
    WriteFile(kFile, "k1 one\nk2 two\n" + big + "\nk3 three");
    char buf[16];
    struct Case {
        const char *key;
        int flags, size, result;
        SLIBERRCODE code;
        const char *value;
    } cases[] = {
        {"k", 0, 16, 7, 0, "k1 one"},
        {"k", 0x1, 16, 9, 0, "k3 three"},               // a last line without newline
        {"k2 two", 0x2, 7, 7, 0, "k2 two"},             // exact fit
        {"k2 two", 0x2, 6, -1, ERR_BUF_TOO_SMALL, ""},  // one byte short: cleared
        {"zz", 0, 16, 0, ERR_NOT_FOUND, nullptr},
        {"k", -1, 16, -1, ERR_BAD_PARAMETERS, nullptr},
        {"k", 0, 0, -1, ERR_BAD_PARAMETERS, nullptr},
    };
    for (const Case &c : cases) {
        memset(buf, 'z', sizeof buf);
        Result r = Call([&] { return SLIBFileGetLine(kFile, c.key, buf, c.size, c.flags); });
        EXPECT_EQ(r.result, c.result) << c.key << " " << c.flags;
        if (c.code) {
            EXPECT_EQ(r.code, c.code) << c.key;
        }
        if (c.value) {
            EXPECT_STREQ(buf, c.value);
        }
    }
    std::vector<char> large(9000);
    EXPECT_EQ(SLIBFileGetLine(kFile, ">", large.data(), 9000, 0x4), 8194);
    EXPECT_EQ(std::string(large.data()), big);
    Result r = Call([&] { return SLIBFileGetLine("/etc/none", "k", buf, 16, 0); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_OPEN_FAILED);
}

TEST(LineFile, ByField) {
    const char kTab[] = "root:x:0\nadm:x:4\n#bin:x:1\nadm2:x:4";
    WriteFile(kFile, kTab);
    ListPtr adm = List({"", "", "4"}), none = List({"nobody"}), any = List({});
    PSLIBSZLIST out = PslSLIBSzListAlloc(512);
    EXPECT_EQ(SLIBFileGetLinesByField(kFile, adm.get(), &out, ":\n"), 2);
    EXPECT_STREQ(SzSLIBSzListGet(out, 0), "adm:x:4\n");
    EXPECT_STREQ(SzSLIBSzListGet(out, 1), "adm2:x:4");
    SLIBSzListFree(out);

    struct Add {
        SLIBSZLIST *patterns;
        const char *line;
        int flags, result;
        const char *after;
    } adds[] = {
        {adm.get(), "new:x:9", 0, 1, "root:x:0\nnew:x:9\nadm:x:4\n#bin:x:1\nadm2:x:4"},
        {adm.get(), "new:x:9\n", 0x200, 1, "root:x:0\nadm:x:4\nnew:x:9\n#bin:x:1\nadm2:x:4"},
        {none.get(), "new:x:9", 0, 0, kTab},
        {any.get(), "new:x:9", 0, 1, "new:x:9\nroot:x:0\nadm:x:4\n#bin:x:1\nadm2:x:4"},
        // Appended unchanged, but never joined to a last line without newline.
        {any.get(), "new:x:9", 0x200, 0, "root:x:0\nadm:x:4\n#bin:x:1\nadm2:x:4\nnew:x:9"},
        {nullptr, nullptr, 0, 1, kTab},
    };
    for (const Add &a : adds) {
        WriteFile(kFile, kTab);
        EXPECT_EQ(SLIBFileAddLineByField(kFile, a.patterns, a.line, a.flags, ":\n"), a.result)
            << a.line;
        EXPECT_EQ(ReadFile(kFile), a.after);
    }
    ListPtr last = List({"adm2"});
    WriteFile(kFile, kTab);
    EXPECT_EQ(SLIBFileAddLineByField(kFile, last.get(), "z", 0x200, ":"), 1);
    EXPECT_EQ(ReadFile(kFile), "root:x:0\nadm:x:4\n#bin:x:1\nadm2:x:4\nz\n");

    struct Set {
        SLIBSZLIST *patterns;
        const char *line;
        int result;
        const char *after;
    } sets[] = {
        {adm.get(), "g:x:5", 2, "root:x:0\ng:x:5\n#bin:x:1\ng:x:5\n"},
        {adm.get(), nullptr, 2, "root:x:0\n#bin:x:1\n"},
        {none.get(), "g", 0, kTab},
    };
    for (const Set &s : sets) {
        WriteFile(kFile, kTab);
        EXPECT_EQ(SLIBFileSetLineByField(kFile, s.patterns, s.line, ":\n"), s.result);
        EXPECT_EQ(ReadFile(kFile), s.after);
    }
    Result r = Call([&] { return SLIBFileSetLineByField(kFile, any.get(), "x", ":"); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_BAD_PARAMETERS);
    r = Call([&] { return SLIBFileSetLineByField("/etc/none", adm.get(), "x", ":"); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_OPEN_FAILED);
    EXPECT_FALSE(FileExists("/etc/none.tmp"));
}

TEST(LineFile, ReplaceSubStr) {
    const std::string big = Long(2048, 'a');
    WriteFile(kFile, "a-a\n" + big + "\nxa");
    // Replacement text is not scanned again; long lines are whole.
    EXPECT_EQ(SLIBFileReplaceSubStr(kFile, "a", "aa"), 2 + 2046 + 1);
    std::string doubled(2046 * 2, 'a');
    EXPECT_EQ(ReadFile(kFile), "aa-aa\n<" + doubled + ">\nxaa");
    EXPECT_EQ(SLIBFileReplaceSubStr(kFile, "zz", "y"), 0);
    Result r = Call([] { return SLIBFileReplaceSubStr(kFile, "", "y"); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_BAD_PARAMETERS);
    r = Call([] { return SLIBFileReplaceSubStr("/etc/none", "a", "y"); });
    EXPECT_EQ(r.code, ERR_OPEN_FAILED);
}

class Comment : public ::testing::Test {
  protected:
    void SetUp() override { mkdir("/etc/skel", 0755); }
    void TearDown() override { EXPECT_FALSE(FileExists(kCommentTemp)); }
};

TEST_F(Comment, CommentsAndUncomments) {
    struct Case {
        const char *before, *key;
        int flags, result;
        const char *after;
    } cases[] = {
        {"a key\nb key\nc key\n", "key", 0x100, 1, ";a key\nb key\nc key\n"},
        {"a key\nb key\nc key\n", "key", 0x101, 1, "a key\nb key\n;c key\n"},
        {"a key\nb key\nc key", "key", 0x101, 1, "a key\nb key\n;c key"},
        {"a key\n#b key\n;c key\nd\n", "key", 0x101, 1, ";a key\n#b key\n;c key\nd\n"},
        {";a key\n", "key", 0x100, 0, ";a key\n"},             // already commented
        {"#x key\n;y key\n", "key", 0, 1, "#x key\ny key\n"},  // "#" lines stay
        {";y key\n;z key\n", "key", 0, 1, "y key\n;z key\n"},
        {"  afpd -x\nafpd\n", "\t afpd -", 0x102, 1, ";  afpd -x\nafpd\n"},
        {"x afpd -\n; \tafpd -y\n", " afpd", 0x2, 1, "x afpd -\n \tafpd -y\n"},
        {"key\n", "nokey", 0x100, 0, "key\n"},
    };
    for (const Case &c : cases) {
        WriteFile(kFile, c.before, 0600);
        Result r = Call([&] { return ErrSLIBFileComment(kFile, c.key, c.flags); });
        EXPECT_EQ(r.result, c.result) << c.before << c.flags;
        if (c.result == 0) {
            EXPECT_EQ(r.code, ERR_NOT_FOUND);
        }
        EXPECT_EQ(ReadFile(kFile), c.after) << c.before << c.flags;
        EXPECT_FALSE(FileExists(kCommentTemp));
        struct stat st {};
        ASSERT_EQ(stat(kFile, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);  // an account file stays private
    }
}

TEST_F(Comment, Failures) {
    WriteFile(kFile, ";a key\n");
    struct Case {
        const char *path, *key;
        int flags;
        SLIBERRCODE code;
    } cases[] = {
        {kFile, "", 0x100, ERR_BAD_PARAMETERS},
        {kFile, "key", 0x1, ERR_READ_FAILED},  // uncommenting the last match
        {"/etc/none", "key", 0x100, ERR_READ_FAILED},
    };
    for (const Case &c : cases) {
        Result r = Call([&] { return ErrSLIBFileComment(c.path, c.key, c.flags); });
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.code, c.code);
    }
    WriteFile(kFile, "");
    Result r = Call([] { return ErrSLIBFileComment(kFile, "key", 0x1); });
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.code, ERR_NOT_FOUND);

    rmdir("/etc/skel");
    WriteFile(kFile, "key\n");
    r = Call([] { return ErrSLIBFileComment(kFile, "key", 0x100); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_CREATE_FAILED);
    EXPECT_EQ(ReadFile(kFile), "key\n");
}

// A file on another file system than /etc/skel is copied over in-process,
// whatever its name holds; a rename that fails otherwise is a failure.
TEST_F(Comment, AcrossFileSystemsAndFailedRenames) {
    mkdir("/tmp/other", 0755);
    TestMount other("none", "/tmp/other", "tmpfs", 0);
    ASSERT_TRUE(other.ok()) << strerror(errno);
    const std::string odd = "/tmp/other/a b;touch pwned;'\"$(touch pwned)";
    WriteFile(odd, "a key\n", 0640);
    EXPECT_EQ(ErrSLIBFileComment(odd.c_str(), "key", 0x100), 1);
    EXPECT_EQ(ReadFile(odd), ";a key\n");
    EXPECT_FALSE(FileExists("/pwned"));
    EXPECT_FALSE(FileExists(odd + ".tmp"));
    struct stat st {};
    ASSERT_EQ(stat(odd.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // The copy cannot be placed on a read-only file system.
    ASSERT_EQ(mount("none", "/tmp/other", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << strerror(errno);
    Result r = Call([&] { return ErrSLIBFileComment(odd.c_str(), "key", 0); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_RENAME_FAILED);
    EXPECT_EQ(ReadFile(odd), ";a key\n");

    // A file that is a mount point cannot be renamed over (EBUSY).
    WriteFile("/tmp/source", "data\n");
    WriteFile(kFile, "a key\n");
    TestMount busy("/tmp/source", kFile, nullptr, MS_BIND);
    ASSERT_TRUE(busy.ok()) << strerror(errno);
    WriteFile("/tmp/source", "a key\n");
    r = Call([] { return ErrSLIBFileComment(kFile, "key", 0x100); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_RENAME_FAILED);
    EXPECT_EQ(ReadFile(kFile), "a key\n");
}

std::string Tac(const std::string &path) {
    std::string out;
    EXPECT_EQ(qtest::Exec({"tac", path}, &out), 0);
    return out;
}

const std::vector<std::string> &Contents() {
    static const std::vector<std::string> contents = {
        "",
        "one\n",
        "a\nb\nc\n",
        "\n\nx\n\n",
        "a\r\nb\r\n",
        "s\n" + Long(1024, 'a') + "\nt\n" + Long(2048, 'b') + "\n" + Long(8193, 'c') + "\nu\n",
        std::string("nul\0byte\nz\n", 11),
    };
    return contents;
}

TEST(LineFile, ReverseLinesAsTac) {
    for (const std::string &c : Contents()) {
        WriteFile(kFile, c);
        std::string want = Tac(kFile);
        EXPECT_EQ(SLIBFileReverseLines(kFile), 0);
        EXPECT_EQ(ReadFile(kFile), want) << c.substr(0, 40);
    }
    // tac runs a last line without newline into the next one ("ba\n"); the
    // lines stay apart here.
    WriteFile(kFile, "a\nb");
    EXPECT_EQ(SLIBFileReverseLines(kFile), 0);
    EXPECT_EQ(ReadFile(kFile), "b\na\n");

    Result r = Call([] { return SLIBFileReverseLines("/etc/none"); });
    EXPECT_EQ(r.result, -1);

    qtest::ClearSyslog();
    WriteFile("/tmp/source", "1\n2\n");
    WriteFile(kFile, "x\n");
    TestMount busy("/tmp/source", kFile, nullptr, MS_BIND);
    ASSERT_TRUE(busy.ok()) << strerror(errno);
    EXPECT_EQ(SLIBFileReverseLines(kFile), -1);
    EXPECT_TRUE(qtest::SyslogHas("lib/qavofile line 1400: fail to rename errno=16", 3));
    EXPECT_EQ(ReadFile(kFile), "1\n2\n");
    std::string leftovers;
    qtest::Sh("ls /etc | grep -c '^line.test.' || true", &leftovers);
    EXPECT_EQ(leftovers, "0\n");
}

// The line number grep gives for a whole, fixed line; 0 when none.
int Grep(const std::string &text, const std::string &path) {
    std::string out;
    int rc = qtest::Exec({"grep", "-n", "-x", "-F", "-m1", "-e", text, "--", path}, &out);
    return rc == 0 ? std::stoi(out) : 0;
}

TEST(LineFile, FindLineAsGrep) {
    const std::string l1024 = Long(1024, 'a'), l2048 = Long(2048, 'b'), l8193 = Long(8193, 'c');
    const std::string content =
        "first\n\nsecond line\n" + l1024 + "\n" + l2048 + "\n" + l8193 + "\nlast line";
    WriteFile(kFile, content);
    const std::vector<std::string> texts = {
        "first",
        "",
        "second",
        "line",
        "last line",
        "last",
        l1024,
        l2048,
        l8193,
        l1024.substr(0, 1023),  // a piece of a long line is no line
        l8193.substr(8192 - 1023),
        "absent"};
    for (const std::string &t : texts) {
        int want = Grep(t, kFile);
        EXPECT_EQ(SLIBFileFindLine(kFile, t.c_str()), want) << t.substr(0, 40);
    }
    EXPECT_EQ(SLIBFileFindLine(kFile, "last line"), 7);  // without its newline

    Result r = Call([] { return SLIBFileFindLine("/etc/none", "x"); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, ERR_OPEN_FAILED);
    r = Call([] { return SLIBFileFindLine(kFile, nullptr); });
    EXPECT_EQ(r.code, ERR_BAD_PARAMETERS);
}

}  // namespace
