#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_szhash.h"
#include "slib_szlist.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

// The rewriters' rename goes through here so that a test can make it fail.
namespace {
std::function<int(const char *, const char *)> gRenameHook;
}  // namespace

extern "C" int rename(const char *from, const char *to) {
    if (gRenameHook) return gRenameHook(from, to);
    return renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace {

const char kFile[] = "/etc/kv.test";
const char kQuoted[] = "%s=\"%s\"\n";

struct Read {
    int result;
    std::string value;
    SLIBERRCODE code;
};

Read Get(const char *key, int flags = 0, const char *path = kFile) {
    char buf[64] = "untouched";
    SLIBErrSet(0);
    int r = SLIBFileGetKeyValue(path, key, buf, sizeof buf, flags);
    return {r, r > 0 ? std::string(buf) : std::string(), SLIBErrGet()};
}

TEST(KeyValue, ReadsTheLinesOfTheTable) {
    struct Case {
        const char *content, *key;
        int flags, result;
        const char *value;
    } cases[] = {
        {"key=\n", "key", 0, 0, ""},                     // nothing after "=": no value
        {"key=\"\"\n", "key", 0, 1, ""},                 // two quotes: the empty value
        {"key=  \t\n", "key", 0, 1, ""},                 // blanks: the empty value
        {"key=\"\n", "key", 0, 2, "\""},                 // a lone quote stays
        {"key=\"q\"x\"\n", "key", 0, 4, "q\"x"},         // one enclosing pair only
        {"=a=b\n", "a", 0, 2, "b"},                      // leading "=" skipped
        {"a\n", "a", 0, 0, ""},                          // bare key, no value
        {"#a=1\n", "a", 0, 0, ""},                       // comment
        {";a=1\n", "a", 0, 0, ""},                       // comment
        {"#a=1\n", "#a", 0, 0, ""},                      // comments never match
        {" #a=1\n", "#a", 0, 2, "1"},                    // not a comment: key "#a"
        {" #a=1\n", "a", 0, 0, ""},                      //
        {"  \"a\"  =  \"x y\" \r\n", "a", 0, 4, "x y"},  // blanks, quotes and CR
        {"A=1\n", "a", 0, 0, ""},                        // case matters
        {"ab=1\na=2\n", "a", 0, 2, "2"},                 // whole keys only
        {"a=1", "a", 0, 2, "1"},                         // no final newline
        {"a=b=c\n", "a", 0, 4, "b=c"},                   // value keeps later "="
        {"a=1\na=2\n", "a", 0, 2, "1"},                  // first match
        {"a=1\na=2\n", "a", SLIB_KEYVALUE_LAST_MATCH, 2, "2"},
        {"a=1\na=\n", "a", SLIB_KEYVALUE_LAST_MATCH, 2, "1"},
        {"a=\na=2\n", "a", SLIB_KEYVALUE_LAST_MATCH, 2, "2"},
        {"a=\na=2\n", "a", 0, 0, ""},  // the first match ends the search
    };
    for (const Case &c : cases) {
        WriteFile(kFile, c.content);
        Read r = Get(c.key, c.flags);
        SCOPED_TRACE(std::string("content [") + c.content + "] key " + c.key);
        EXPECT_EQ(r.result, c.result);
        if (c.result > 0) {
            EXPECT_EQ(r.value, c.value);
        } else {
            EXPECT_EQ(r.code, 0x2000u);
        }
    }
}

TEST(KeyValue, SizesAndFailuresOfTheReader) {
    WriteFile(kFile, "a=xyz\n");
    EXPECT_EQ(SLIBFileGetKeyValue(kFile, "a", nullptr, 0, 0), 4);
    char small[3] = "zz";
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileGetKeyValue(kFile, "a", small, sizeof small, 0), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0100u);
    char exact[4];
    EXPECT_EQ(SLIBFileGetKeyValue(kFile, "a", exact, sizeof exact, 0), 4);
    EXPECT_STREQ(exact, "xyz");

    struct Bad {
        const char *path, *key;
        char *buf;
        int size, flags;
        SLIBERRCODE code;
    } bad[] = {
        {nullptr, "a", nullptr, 0, 0, 0x0D00}, {kFile, nullptr, nullptr, 0, 0, 0x0D00},
        {kFile, "a", nullptr, 8, 0, 0x0D00},   {kFile, "a", exact, -1, 0, 0x0D00},
        {kFile, "a", nullptr, 0, -1, 0x0D00},  {"/etc/none", "a", nullptr, 0, 0, 0x0900},
    };
    for (const Bad &b : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(SLIBFileGetKeyValue(b.path, b.key, b.buf, b.size, b.flags), -1);
        EXPECT_EQ(SLIBErrGet(), b.code);
    }

    // A line far longer than any fixed buffer is read whole.
    std::string big(20000, 'v');
    WriteFile(kFile, "x=1\nlong=" + big + "\ny=2\n");
    int n = SLIBFileGetKeyValue(kFile, "long", nullptr, 0, 0);
    ASSERT_EQ(n, 20001);
    std::string out(static_cast<size_t>(n), '\0');
    EXPECT_EQ(SLIBFileGetKeyValue(kFile, "long", out.data(), n, 0), n);
    EXPECT_EQ(out.c_str(), big);
    EXPECT_EQ(Get("y").value, "2");

    // A real key/value file on a read-only file system reads fine.
    EXPECT_EQ(Get("ID", 0, "/usr/lib/os-release").value, "debian");
}

TEST(KeyValue, MatchKeySplitsTheLineInPlace) {
    char line[] = "  name = value\n";
    EXPECT_EQ(BlSLIBFileMatchKey(line, "name"), 1);
    EXPECT_STREQ(line, "  name ");
    char comment[] = "#name=1\n";
    EXPECT_EQ(BlSLIBFileMatchKey(comment, "#name"), 0);
    char other[] = "names=1\n";
    EXPECT_EQ(BlSLIBFileMatchKey(other, "name"), 0);
    SLIBErrSet(0);
    EXPECT_EQ(BlSLIBFileMatchKey(other, nullptr), 0);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
}

TEST(KeyValue, SetRewritesTheLinesOfTheTable) {
    const std::string longLine = "long=" + std::string(10000, 'L') + "\n";
    struct Case {
        std::string before;
        const char *key, *value, *format;
        std::string after;
    } cases[] = {
        {"a=1\nb=2\n", "a", "9", nullptr, "a=9\nb=2\n"},
        {"a=1\nb=2\na=3\n", "a", "9", nullptr, "a=9\nb=2\n"},  // later duplicates go
        {"b=2\n", "a", "9", kQuoted, "b=2\na=\"9\"\n"},        // appended
        {"  a  = 1\n", "a", "2", kQuoted, "  a  =\"2\"\n"},    // the line's own key text
        {"\"a\"=1\n", "a", "2", kQuoted, "\"a\"=\"2\"\n"},
        {"  a  = 1\n", "a", "2", nullptr, "a=2\n"},
        {"a\nb=1\n", "a", "2", kQuoted, "a=\"2\"\nb=1\n"},  // bare key: newline kept out
        {"=a=b\n", "a", "2", kQuoted, "=a=\"2\"\n"},        // still the key a
        {"x=1", "y", "2", kQuoted, "x=1\ny=\"2\"\n"},       // no final newline
        {"#a=1\n", "a", "2", nullptr, "#a=1\na=2\n"},       // comments stay
        {"a=1\n", "a", "v", "%s=\t\"%s\"\n", "a=\t\"v\"\n"},
        {"a=1\n", "a", "50%", "%s=%s%%\n", "a=50%%\n"},
        {"", "a", "1", nullptr, "a=1\n"},
        {longLine + "a=1\n", "a", "2", nullptr, longLine + "a=2\n"},
        // The key inside other lines' keys and values; a last duplicate
        // without its newline.
        {"aa=a\nba=1\na=1\nca=a", "a", "2", nullptr, "aa=a\nba=1\na=2\nca=a"},
        {"a=1\nb=a\na=3", "a", "9", nullptr, "a=9\nb=a\n"},
    };
    for (const Case &c : cases) {
        WriteFile(kFile, c.before);
        SCOPED_TRACE("before [" + c.before.substr(0, 40) + "] key " + c.key);
        EXPECT_EQ(SLIBFileSetKeyValue(kFile, c.key, c.value, c.format), 1);
        EXPECT_EQ(ReadFile(kFile), c.after);
        EXPECT_FALSE(FileExists(std::string(kFile) + ".tmp"));
        // Whatever the spelling, the key now reads as the new value.
        if (c.value[0] != '5') {
            EXPECT_EQ(Get(c.key).value, c.value);
        }
    }
}

TEST(KeyValue, SetCreatesOnlyAMissingFile) {
    EXPECT_EQ(SLIBFileSetKeyValue("/etc/new.test", "a", "1", kQuoted), 1);
    EXPECT_EQ(ReadFile("/etc/new.test"), "a=\"1\"\n");
    EXPECT_EQ(SLIBFileAddKeyValue("/etc/new2.test", "a", "1", nullptr), 1);
    EXPECT_EQ(ReadFile("/etc/new2.test"), "a=1\n");

    // A file this user cannot read is no missing file: it must not be
    // emptied and re-created (a child drops to an unprivileged user).
    WriteFile("/tmp/wo.test", "keep=1\nother=2\n", 0200);
    ASSERT_EQ(chown("/tmp/wo.test", 65534, 65534), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
        SLIBErrSet(0);
        int set = SLIBFileSetKeyValue("/tmp/wo.test", "a", "1", nullptr);
        int add = SLIBFileAddKeyValue("/tmp/wo.test", "a", "1", nullptr);
        _exit(set == -1 && add == -1 && SLIBErrGet() == 0x0900 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile("/tmp/wo.test"), "keep=1\nother=2\n");
}

TEST(KeyValue, WritersRefuseWhatWouldBreakTheFile) {
    const std::string before = "a=1\nb=2\n";
    struct Case {
        const char *path, *key, *value, *format;
    } cases[] = {
        {kFile, "a", "1\nroot=evil", nullptr},  // value starting a line of its own
        {kFile, "a", "1\rx", nullptr},
        {kFile, "a\nb", "1", nullptr},
        {kFile, "a=b", "1", nullptr},  // would read back as the key a
        {kFile, "", "1", nullptr},
        {kFile, " a", "1", nullptr},   // reading trims it away
        {kFile, "a", "1", "%s=%d\n"},  // not a key=value format
        {kFile, "a", "1", "%s\n"},
        {"/etc", "a", "1", nullptr},  // a directory
        {nullptr, "a", "1", nullptr},
        {kFile, nullptr, "1", nullptr},
        {kFile, "a", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        WriteFile(kFile, before);
        SCOPED_TRACE(std::string("key ") + (c.key ? c.key : "null"));
        SLIBErrSet(0);
        EXPECT_EQ(SLIBFileSetKeyValue(c.path, c.key, c.value, c.format), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        SLIBErrSet(0);
        EXPECT_EQ(SLIBFileAddKeyValue(c.path, c.key, c.value, c.format), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
        EXPECT_EQ(ReadFile(kFile), before);
    }
}

TEST(KeyValue, FailedRewritesLeaveTheFileAsItWas) {
    // The temporary copy cannot be made on a read-only file system.
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileSetKeyValue("/usr/lib/os-release", "ID", "x", kQuoted), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);

    // A rename that fails is a failure, and its copy is cleaned up.
    WriteFile(kFile, "a=1\n");
    gRenameHook = [](const char *, const char *) {
        errno = EIO;
        return -1;
    };
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileSetKeyValue(kFile, "a", "2", nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0B00u);
    EXPECT_EQ(QAVOINFOSetKeyValue("a", "2"), -1);
    EXPECT_EQ(SLIBFileRemoveKey(kFile, "a"), -1);
    gRenameHook = nullptr;
    EXPECT_EQ(ReadFile(kFile), "a=1\n");
    EXPECT_FALSE(FileExists(std::string(kFile) + ".tmp"));
}

TEST(KeyValue, RewriteKeepsModeAndOwner) {
    WriteFile(kFile, "secret=1\n", 0600);
    ASSERT_EQ(chown(kFile, 1, 2), 0);
    EXPECT_EQ(SLIBFileSetKeyValue(kFile, "secret", "2", nullptr), 1);
    EXPECT_EQ(SLIBFileRemoveKey(kFile, "secret"), 1);
    struct stat st;
    ASSERT_EQ(stat(kFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 1u);
    EXPECT_EQ(st.st_gid, 2u);
}

TEST(KeyValue, QavoinfoValuesReadBackThroughTheShell) {
    const char *values[] = {"hello world", "it's", "", "a=b;c", "  padded"};
    int i = 0;
    for (const char *v : values) {
        std::string key = "key" + std::to_string(i++);
        ASSERT_EQ(QAVOINFOSetKeyValue(key.c_str(), v), 0);
        std::string out;
        ASSERT_EQ(
            qtest::Exec({"sh", "-c", ". /etc/qavoinfo.conf; printf %s \"$" + key + "\""}, &out), 0);
        EXPECT_EQ(out, v);
    }
    EXPECT_NE(ReadFile("/etc/qavoinfo.conf").find("key0=\"hello world\"\n"), std::string::npos);
    // The lock is free again for other processes.
    EXPECT_EQ(qtest::Exec({"flock", "-n", "-x", "/tmp/lock/lock_qavoinfo", "true"}), 0);
}

TEST(KeyValue, QuotedValuesStayShellTextAndReadBackExactly) {
    const std::vector<std::string> hostile = {
        "$(touch /tmp/ran)",
        "x\"; touch /tmp/ran; \"",
        "`touch /tmp/ran`",
        "back\\slash\\",
        "\\\"",
        "\\$HOME and \\\\",
        "\"quoted\"",
        "it's $HOME; a|b & c > d < e * ? [x] ~ #",
        " \tpadded \t",
    };
    // Every writer of quoted lines: the locked writer, a direct set, the
    // hash writers and the add.
    using Writer =
        std::function<bool(const char *, const std::string &, const std::string &, const char *)>;
    const std::vector<std::pair<std::string, Writer>> writers = {
        {"QAVOINFOSetKeyValue",
         [](const char *, const std::string &k, const std::string &v, const char *) {
             return QAVOINFOSetKeyValue(k.c_str(), v.c_str()) == 0;
         }},
        {"SLIBFileSetKeyValue",
         [](const char *path, const std::string &k, const std::string &v, const char *f) {
             return SLIBFileSetKeyValue(path, k.c_str(), v.c_str(), f) == 1;
         }},
        {"SLIBFileSetKeys",
         [](const char *path, const std::string &k, const std::string &v, const char *f) {
             PSLIBSZHASH h = PshSLIBSzHashAlloc(0);
             SLIBSzHashSetValue(&h, k.c_str(), v.c_str());
             const bool ok = SLIBFileSetKeys(path, h, f) == 1;
             SLIBSzHashFree(h);
             return ok;
         }},
        {"SLIBFileAddKeyValue",
         [](const char *path, const std::string &k, const std::string &v, const char *f) {
             return SLIBFileAddKeyValue(path, k.c_str(), v.c_str(), f) == 1;
         }},
    };
    // The event-log configuration's format is no shell text: the library
    // alone reads it back.
    const struct {
        const char *path, *format;
        bool shell;
    } files[] = {{"/etc/qavoinfo.conf", kQuoted, true}, {kFile, "%s=\t\"%s\"\n", false}};
    int n = 0;
    for (const auto &file : files) {
        for (const auto &[name, write] : writers) {
            if (!file.shell && name == "QAVOINFOSetKeyValue") continue;
            for (const std::string &v : hostile) {
                const std::string key = "k" + std::to_string(n++);
                // A first value, then the hostile one over the line it made
                // (the add only adds).
                if (name != "SLIBFileAddKeyValue") {
                    ASSERT_TRUE(write(file.path, key, "$(touch /tmp/ran)\\", file.format)) << name;
                }
                ASSERT_TRUE(write(file.path, key, v, file.format)) << name << " " << v;
                if (file.shell) {
                    EXPECT_EQ(qtest::SourcedKey(file.path, key), v) << name << " " << v;
                }
                EXPECT_EQ(Get(key.c_str(), 0, file.path).value, v) << name << " " << v;
                PSLIBSZHASH all = PshSLIBSzHashAlloc(0);
                ASSERT_GT(SLIBFileGetKeys(file.path, &all), 0);
                EXPECT_STREQ(SzSLIBSzHashGetValue(all, key.c_str()), v.c_str()) << name;
                SLIBSzHashFree(all);
            }
        }
    }
    EXPECT_FALSE(FileExists("/tmp/ran"));
    // The whole file still sources cleanly.
    EXPECT_EQ(qtest::Exec({"sh", "-ec", ". /etc/qavoinfo.conf"}), 0);
}

TEST(KeyValue, UnescapingTouchesOnlyQuotedValues) {
    // Files written before keep reading as they did unless a quoted value
    // holds a backslash pair the shell reads as an escape; unquoted values
    // and other backslashes are kept as they stand.
    WriteFile(kFile,
              "plain=a\\\\b\\$c\n"
              "path=\"C:\\dir\\n\"\n"
              "pairs=\"a\\\\b\\$c\\`d\\\"e\"\n"
              "half=\"a\\\"\n"
              "lone=\"\\\"\n");
    EXPECT_EQ(Get("plain").value, "a\\\\b\\$c");
    EXPECT_EQ(Get("path").value, "C:\\dir\\n");
    EXPECT_EQ(Get("pairs").value, "a\\b$c`d\"e");
    EXPECT_EQ(Get("half").value, "a\\");
    EXPECT_EQ(Get("lone").value, "\\");
    // An unquoted format writes the value as given.
    ASSERT_EQ(SLIBFileSetKeyValue(kFile, "plain", "$x\\", nullptr), 1);
    EXPECT_NE(ReadFile(kFile).find("plain=$x\\\n"), std::string::npos);
    EXPECT_EQ(Get("plain").value, "$x\\");
    // A section line split by the shared splitter keeps its backslashes.
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    ASSERT_EQ(SLIBStrSplitKeyValue("k=\"a\\\\b\"", &l), 0);
    EXPECT_STREQ(l->pszItem[1], "a\\\\b");
    SLIBSzListFree(l);
}

TEST(KeyValue, QavoinfoKeysAreShellNames) {
    const std::string before = ReadFile("/etc/qavoinfo.conf");
    for (const char *key : {"a;touch /tmp/ran;b", "a b", "1abc", "a-b", "$(x)", "a.b", ""}) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOINFOSetKeyValue(key, "v"), -1) << key;
        EXPECT_EQ(SLIBErrGet(), 0x0D00u) << key;
    }
    EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"), before);
    EXPECT_EQ(QAVOINFOSetKeyValue("_Ok_9", "v"), 0);
}

TEST(KeyValue, QavoinfoWriterWaitsForTheLockAndGivesUp) {
    // Another process holds the lock for longer than the writer waits.
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        execlp("flock", "flock", "-x", "/tmp/lock/lock_qavoinfo", "sleep", "20", (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (qtest::Exec({"flock", "-n", "-x", "/tmp/lock/lock_qavoinfo", "true"}) != 0) break;
        usleep(10000);
    }
    const std::string before = ReadFile("/etc/qavoinfo.conf");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOINFOSetKeyValue("blocked", "1"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0400u);
    EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"), before);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

TEST(KeyValue, GetKeysAndSplit) {
    WriteFile(kFile, "a=1\n#c=3\n bare\n=x\n b = \"2\" \na=4\n");
    PSLIBSZHASH h = PshSLIBSzHashAlloc(0);
    EXPECT_EQ(SLIBFileGetKeys(kFile, &h), 3);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "a"), "4");  // later lines win
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "b"), "2");
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "#c"), "3");  // comments are not skipped
    SLIBSzHashFree(h);

    struct Case {
        const char *text;
        int result;
        std::vector<std::string> items;
        SLIBERRCODE code;
    } cases[] = {
        {" k = \"v\" ", 0, {"k", "v"}, 0}, {"k=a=b", 0, {"k", "a=b"}, 0},
        {"k=", 0, {"k", ""}, 0},           {"=v", -1, {}, 0x0D00},
        {"  =v", -1, {}, 0x0D00},          {"k", -1, {"k"}, 0x0D00},
    };
    for (const Case &c : cases) {
        PSLIBSZLIST l = PslSLIBSzListAlloc(0);
        SLIBErrSet(0);
        EXPECT_EQ(SLIBStrSplitKeyValue(c.text, &l), c.result) << c.text;
        EXPECT_EQ(SLIBErrGet(), c.code) << c.text;
        std::vector<std::string> got;
        for (int i = 0; i < l->nItem; ++i)
            got.push_back(l->pszItem[i]);
        EXPECT_EQ(got, c.items) << c.text;
        SLIBSzListFree(l);
    }
}

TEST(KeyValue, SetKeysRewritesAppendsAndIsStableOnRoundTrips) {
    WriteFile(kFile, "# settings\n#c=3\na=1\nkeep=k\na=old\n b = 2\nlast=x");
    PSLIBSZHASH h = PshSLIBSzHashAlloc(0);
    SLIBSzHashSetValue(&h, "a", "10");
    SLIBSzHashSetValue(&h, "b", "20");
    SLIBSzHashSetValue(&h, "new", "30");
    EXPECT_EQ(SLIBFileSetKeys(kFile, h, kQuoted), 3);
    EXPECT_EQ(ReadFile(kFile),
              "# settings\n#c=3\na=\"10\"\nkeep=k\nb=\"20\"\nlast=x\nnew=\"30\"\n");
    // Only the appended key is left in the caller's hash.
    EXPECT_EQ(SLIBSzHashCount(h), 1);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "new"), "30");
    SLIBSzHashFree(h);

    // Reading every key and writing them back changes nothing after the
    // first round, comment keys included.
    std::string first;
    for (int round = 0; round < 3; ++round) {
        PSLIBSZHASH all = PshSLIBSzHashAlloc(0);
        ASSERT_GT(SLIBFileGetKeys(kFile, &all), 0);
        ASSERT_GT(SLIBFileSetKeys(kFile, all, kQuoted), 0);
        SLIBSzHashFree(all);
        if (round == 0) first = ReadFile(kFile);
        EXPECT_EQ(ReadFile(kFile), first);
        all = PshSLIBSzHashAlloc(0);
        ASSERT_GT(SLIBFileGetKeys(kFile, &all), 0);
        ASSERT_EQ(SLIBFileSetKeysEach(kFile, all, kQuoted), 0);
        SLIBSzHashFree(all);
        EXPECT_EQ(ReadFile(kFile), first);
    }

    // Nothing to write: the file stays, no copy is left behind.
    const std::string now = ReadFile(kFile);
    PSLIBSZHASH empty = PshSLIBSzHashAlloc(0);
    EXPECT_EQ(SLIBFileSetKeys(kFile, empty, nullptr), 0);
    EXPECT_EQ(ReadFile(kFile), now);
    EXPECT_FALSE(FileExists(std::string(kFile) + ".tmp"));
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileSetKeysEach(kFile, empty, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x2A00u);
    // A value that would start a line of its own is refused.
    SLIBSzHashSetValue(&empty, "a", "1\nroot=x");
    EXPECT_EQ(SLIBFileSetKeys(kFile, empty, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    EXPECT_EQ(ReadFile(kFile), now);
    SLIBSzHashFree(empty);
}

TEST(KeyValue, LineMoverWritesOnlyKeysOfTheHash) {
    PSLIBSZHASH h = PshSLIBSzHashAlloc(0);
    SLIBSzHashSetValue(&h, "a", "1");
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(SLIBILineKeyMoveHash2File(fp, "  b=2\n", h, nullptr), 0);
    EXPECT_EQ(SLIBILineKeyMoveHash2File(fp, "  ;a=2\n", h, nullptr), 0);
    EXPECT_EQ(SLIBILineKeyMoveHash2File(fp, "\n", h, nullptr), 0);
    EXPECT_EQ(SLIBILineKeyMoveHash2File(fp, " a = 9\n", h, kQuoted), 1);
    EXPECT_EQ(SLIBSzHashCount(h), 0);
    rewind(fp);
    char buf[32] = "";
    ASSERT_NE(fgets(buf, sizeof buf, fp), nullptr);
    EXPECT_STREQ(buf, "a=\"1\"\n");
    // A value that would start a line of its own, or a format that is no
    // key=value format, is refused and nothing is written.
    SLIBSzHashSetValue(&h, "a", "1\nroot=x");
    const long end = ftell(fp);
    for (const char *format : {static_cast<const char *>(nullptr), "%s=%d\n"}) {
        if (format) SLIBSzHashSetValue(&h, "a", "1");
        SLIBErrSet(0);
        EXPECT_EQ(SLIBILineKeyMoveHash2File(fp, "a=2\n", h, format), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
    EXPECT_EQ(ftell(fp), end);
    EXPECT_STREQ(SzSLIBSzHashGetValue(h, "a"), "1");
    fclose(fp);
    SLIBSzHashFree(h);
}

TEST(KeyValue, RemoveAndAdd) {
    WriteFile(kFile, "a=1\n#a=2\nb=3\n a =4\n");
    EXPECT_EQ(SLIBFileRemoveKey(kFile, "a"), 2);
    EXPECT_EQ(ReadFile(kFile), "#a=2\nb=3\n");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileRemoveKey(kFile, "zz"), 0);
    EXPECT_EQ(SLIBErrGet(), 0x2000u);
    EXPECT_EQ(ReadFile(kFile), "#a=2\nb=3\n");
    EXPECT_EQ(SLIBFileRemoveKey("/etc/none", "a"), -1);

    WriteFile(kFile, "b=3");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileAddKeyValue(kFile, "b", "9", kQuoted), 0);
    EXPECT_EQ(SLIBErrGet(), 0x2100u);
    EXPECT_EQ(ReadFile(kFile), "b=3");
    EXPECT_EQ(SLIBFileAddKeyValue(kFile, "c", "4", kQuoted), 1);
    EXPECT_EQ(ReadFile(kFile), "b=3\nc=\"4\"\n");
    EXPECT_EQ(SLIBFileSetOrAddKeyValue(kFile, "b", "5", nullptr), 1);
    EXPECT_EQ(ReadFile(kFile), "b=5\nc=\"4\"\n");
}

}  // namespace
