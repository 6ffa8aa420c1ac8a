#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_appledouble.h"

namespace {

constexpr uint32_t kMagic = 0x00051607;
const std::string kFiller = "filler:0123456789";  // 16 bytes used

// One entry of a source: its descriptor and the bytes placed at its offset
// (a descriptor may claim a length other than its data's).
struct Entry {
    uint32_t id;
    uint32_t offset;
    std::string data;
    int64_t length = -1;  // -1: the data's size
};

void Put32(std::string &s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}
uint32_t Get32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

// A companion file: header, descriptors in the order given, data at the
// offsets; gaps are 'x'.
std::string Companion(uint32_t version, const std::vector<Entry> &entries) {
    size_t size = 26 + 12 * entries.size();
    for (const Entry &e : entries)
        size = std::max(size, e.offset + e.data.size());
    std::string s(size, 'x');
    Put32(s, 0, kMagic);
    Put32(s, 4, version);
    s.replace(8, 16, kFiller.substr(0, 16));
    s[24] = static_cast<char>(entries.size() >> 8);
    s[25] = static_cast<char>(entries.size());
    size_t d = 26;
    for (const Entry &e : entries) {
        Put32(s, d, e.id);
        Put32(s, d + 4, e.offset);
        Put32(s, d + 8, static_cast<uint32_t>(e.length < 0 ? e.data.size() : e.length));
        d += 12;
        s.replace(e.offset, e.data.size(), e.data);
    }
    return s;
}

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
    return s;
}

const std::string kFinder = Pattern(32, 9);

// The AFP service's version-1 form: five entries, data from 557 on.
std::string AfpV1(const std::string &fork) {
    return Companion(0x00010000, {{3, 86, std::string(255, 'n')},
                                  {4, 341, std::string(200, 'c')},
                                  {7, 541, std::string(16, 'd')},
                                  {9, 557, kFinder},
                                  {2, 589, fork}});
}

// The AFP service's version-2 form: thirteen entries, Finder information at
// 653 and the fork at 741.
std::string AfpV2(const std::string &fork) {
    std::vector<Entry> e = {{3, 182, std::string(255, 'n')},
                            {4, 437, std::string(200, 'c')},
                            {7, 637, std::string(16, 'd')},
                            {9, 653, kFinder}};
    for (uint32_t i = 0; i < 8; ++i)
        e.push_back({10 + i, 685 + 7 * i, std::string(7, static_cast<char>('a' + i))});
    e.push_back({2, 741, fork});
    return Companion(0x00020000, e);
}

// Checks a compact companion field by field.
void ExpectCompact(const std::string &out, const std::string &finder, const std::string &fork) {
    ASSERT_EQ(out.size(), 82 + fork.size());
    EXPECT_EQ(Get32(out, 0), kMagic);
    EXPECT_EQ(Get32(out, 4), 0x00020000u);
    EXPECT_EQ(out.substr(8, 16), kFiller.substr(0, 16));
    EXPECT_EQ(out[24], 0);
    EXPECT_EQ(out[25], 2);
    EXPECT_EQ(Get32(out, 26), 9u);
    EXPECT_EQ(Get32(out, 30), 50u);
    EXPECT_EQ(Get32(out, 34), 32u);
    EXPECT_EQ(Get32(out, 38), 2u);
    EXPECT_EQ(Get32(out, 42), 82u);
    EXPECT_EQ(Get32(out, 46), fork.size());
    EXPECT_TRUE(out.compare(50, 32, finder) == 0) << "Finder information";
    EXPECT_TRUE(out.compare(82, std::string::npos, fork) == 0) << "resource fork";
}

mode_t Mode(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class AppleDouble : public ::testing::Test {
  protected:
    void SetUp() override {
        gfQAVOCopyCancel = 0;
        ASSERT_EQ(qtest::Sh("mkdir -p /tmp/ad"), 0);
    }
    void TearDown() override { gfQAVOCopyCancel = 0; }
    const std::string src_ = "/tmp/ad/._src";
    const std::string dst_ = "/tmp/ad/._dst";
};

TEST_F(AppleDouble, ConvertsToTheCompactForm) {
    const std::string fork = Pattern(40000, 2);  // three pieces
    const std::string small = Pattern(1000, 3);
    struct Case {
        const char *what;
        std::string source;
        std::string finder, fork;
    } cases[] = {
        {"13 entries", AfpV2(fork), kFinder, fork},
        {"5 entries", AfpV1(small), kFinder, small},
        {"13 entries, no fork", AfpV2(""), kFinder, ""},
        // Other sources are read where their descriptors say, in any order.
        {"3 entries",
         Companion(0x00020000, {{2, 300, small}, {4, 90, "comment"}, {9, 200, kFinder}}), kFinder,
         small},
        {"version 1, 2 entries", Companion(0x00010000, {{9, 50, kFinder}, {2, 82, small}}), kFinder,
         small},
        {"no Finder information",
         Companion(0x00020000, {{2, 100, small}, {3, 70, "name"}, {4, 80, "c"}}),
         std::string(32, '\0'), small},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qtest::RemoveFile(dst_);
        qtest::WriteFile(src_, c.source);
        ASSERT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), 0), 0);
        ExpectCompact(qtest::ReadFile(dst_), c.finder, c.fork);
        EXPECT_EQ(Mode(dst_), 0777u);
        EXPECT_TRUE(qtest::ReadFile(src_) == c.source) << "source changed";
    }
}

TEST_F(AppleDouble, CopiesPlainlyWhereNoConversionIsAsked) {
    // A compact source stays byte for byte, even with bytes past its entries.
    const std::string compact =
        Companion(0x00020000, {{9, 50, kFinder}, {2, 82, Pattern(500, 4)}}) + "tail";
    qtest::WriteFile(src_, compact);
    EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), 0), 0);
    EXPECT_TRUE(qtest::ReadFile(dst_) == compact);

    const std::string afp = AfpV2(Pattern(3000, 5));
    qtest::WriteFile(src_, afp);
    for (int mode : {2, 3}) {
        qtest::RemoveFile(dst_);
        EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), mode), 0) << mode;
        EXPECT_TRUE(qtest::ReadFile(dst_) == afp) << mode;
    }
}

TEST_F(AppleDouble, FailuresKeepAnOlderDestination) {
    struct Case {
        const char *what;
        std::string source;
        int result;
    } cases[] = {
        {"Finder length 30",
         Companion(0x00020000, {{9, 100, std::string(30, 'f')}, {4, 140, "c"}, {3, 150, "n"}}),
         -30},
        {"Finder length 30 in the 13-entry form",
         Companion(0x00020000, {{9, 653, kFinder, 30},
                                {2, 741, "fork"},
                                {3, 200, "n"},
                                {4, 210, "c"},
                                {5, 220, "e"},
                                {6, 230, "f"},
                                {7, 240, "g"},
                                {8, 250, "h"},
                                {10, 260, "i"},
                                {11, 270, "j"},
                                {12, 280, "k"},
                                {13, 290, "l"},
                                {14, 300, "m"}}),
         -30},
        {"fork past the end",
         Companion(0x00020000, {{9, 100, kFinder}, {2, 132, "abc", 4000}, {3, 140, "n"}}), -5},
        {"13-entry form cut short", AfpV2(Pattern(5000, 6)).substr(0, 741 + 4000), -5},
        {"5-entry form cut short", AfpV1("").substr(0, 570), -5},
        {"descriptors past the end", Companion(0x00020000, {{9, 50, kFinder}}).substr(0, 30), -5},
        {"short header", std::string(10, '\0'), -5},
        {"version 3", Companion(0x00030000, {{9, 100, kFinder}, {2, 132, "fork"}, {3, 140, "n"}}),
         -1},
        {"no AppleDouble magic", "\xDE\xAD\xBE\xEF" + AfpV2("fork").substr(4), -1},
        {"AppleSingle magic", "\x00\x05\x16\x00" + AfpV2("fork").substr(4), -1},
        {"compact form without the magic",
         "\xDE\xAD\xBE\xEF" + Companion(0x00020000, {{9, 50, kFinder}, {2, 82, "f"}}).substr(4),
         -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qtest::WriteFile(src_, c.source);
        for (int mode : {0, 1}) {
            qtest::WriteFile(dst_, "an older companion");
            EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), mode), c.result);
            EXPECT_EQ(qtest::ReadFile(dst_), "an older companion");
            qtest::RemoveFile(dst_);
            EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), mode), c.result);
            EXPECT_FALSE(qtest::FileExists(dst_));
            EXPECT_FALSE(qtest::FileExists(dst_ + ".tmp"));
        }
    }

    qtest::RemoveFile(dst_);
    qtest::WriteFile(src_, AfpV2("fork"));
    EXPECT_EQ(QAVOAppleDoubleCopy("/tmp/ad/._missing", dst_.c_str(), 0), -2);
    EXPECT_EQ(QAVOAppleDoubleCopy("/tmp/ad/._missing", dst_.c_str(), 2), -1);
    EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), "/tmp/ad/no/such/._dst", 0), -2);
    EXPECT_FALSE(qtest::FileExists(dst_));
}

TEST_F(AppleDouble, RefusesBadArgumentsAndModes) {
    qtest::WriteFile(src_, AfpV2("fork"));
    for (int mode : {-1, 4, 99}) {
        EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), mode), -1) << mode;
        EXPECT_EQ(QAVOAppleDoubleIConvertV2(src_.c_str(), dst_.c_str(), mode), -1) << mode;
    }
    EXPECT_EQ(QAVOAppleDoubleCopy(nullptr, dst_.c_str(), 0), -1);
    EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), nullptr, 0), -1);
    EXPECT_FALSE(qtest::FileExists(dst_));
}

TEST_F(AppleDouble, ReplacesALongerDestinationWhole) {
    qtest::WriteFile(dst_, std::string(100000, 'o'));
    qtest::WriteFile(src_, AfpV2("short fork"));
    ASSERT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), 0), 0);
    ExpectCompact(qtest::ReadFile(dst_), kFinder, "short fork");
}

TEST_F(AppleDouble, NeverWritesThroughItsSourceOrALink) {
    const std::string afp = AfpV2(Pattern(2000, 7));
    qtest::WriteFile(src_, afp);
    EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), src_.c_str(), 0), -1);
    EXPECT_TRUE(qtest::ReadFile(src_) == afp);

    for (int mode = 0; mode <= 3; ++mode) {
        EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), src_.c_str(), mode), -1) << mode;
        EXPECT_TRUE(qtest::ReadFile(src_) == afp);
    }

    qtest::WriteFile("/tmp/ad/target", "precious");
    ASSERT_EQ(symlink("/tmp/ad/target", dst_.c_str()), 0);
    for (int mode = 0; mode <= 3; ++mode) {
        EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), mode), -2) << mode;
        EXPECT_EQ(QAVOAppleDoubleIConvertV2(src_.c_str(), dst_.c_str(), mode), -2) << mode;
        EXPECT_EQ(qtest::ReadFile("/tmp/ad/target"), "precious");
        EXPECT_EQ(Mode("/tmp/ad/target"), 0644u);
        EXPECT_EQ(qtest::Sh("test -L " + dst_), 0);
    }
}

TEST_F(AppleDouble, ChecksTheDestinationName) {
    qtest::WriteFile(src_, AfpV2(Pattern(100, 8)));
    struct Case {
        const char *name;
        int mode;
        int result;
    } cases[] = {
        {"._Icon\r", 0, -32},  {"._iCoN\r", 3, -32}, {"._Icon\r", 1, 0}, {"._Icon\r", 2, 0},
        {"._a:b", 3, -33},     {"._a:b", 0, -33},    {"._a:b", 2, 0},    {"._a*b", 0, -33},
        {"._a?b", 0, -33},     {"._a\"b", 0, -33},   {"._a<b>", 0, -33}, {"._a|b", 0, -33},
        {"._a\\b", 0, -33},    {"._a\rb", 0, -33},   {"._a\nb", 0, -33}, {"._Icon", 0, 0},
        {"._Icon\rx", 0, -33},
    };
    for (const Case &c : cases) {
        const std::string dst = "/tmp/ad/" + std::string(c.name);
        SCOPED_TRACE(dst + " mode " + std::to_string(c.mode));
        EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst.c_str(), c.mode), c.result);
        EXPECT_EQ(qtest::FileExists(dst), c.result == 0);
        if (c.result == 0 && c.mode < 2)
            ExpectCompact(qtest::ReadFile(dst), kFinder, Pattern(100, 8));
        qtest::RemoveFile(dst);
    }
    // Only the last path component counts.
    ASSERT_EQ(qtest::Sh("mkdir -p '/tmp/ad/a:b'"), 0);
    EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), "/tmp/ad/a:b/._x", 3), 0);
}

TEST_F(AppleDouble, NamesNeverReachAShell) {
    // A shell would run these in the caller's directory or in "/".
    ASSERT_EQ(chdir("/tmp/ad"), 0);
    const std::string afp = AfpV2(Pattern(600, 10));
    const std::string names[] = {"._it's", "._$(touch ran)", "._`touch ran`", "._a'; touch ran; '",
                                 "-rf"};
    for (const std::string &n : names) {
        const std::string src = "/tmp/ad/" + n, dst = "/tmp/ad/out" + n;
        qtest::WriteFile(src, afp);
        EXPECT_EQ(QAVOAppleDoubleCopy(src.c_str(), dst.c_str(), 2), 0) << n;
        EXPECT_TRUE(qtest::ReadFile(dst) == afp) << n;
    }
    EXPECT_FALSE(qtest::FileExists("/tmp/ad/ran"));
    EXPECT_FALSE(qtest::FileExists("/ran"));

    // Relative names are the caller's.
    EXPECT_EQ(QAVOAppleDoubleCopy("-rf", "._rel", 3), 0);
    EXPECT_TRUE(qtest::ReadFile("/tmp/ad/._rel") == afp);
    EXPECT_EQ(QAVOAppleDoubleCopy("-rf", "._rel2", 0), 0);
    ExpectCompact(qtest::ReadFile("/tmp/ad/._rel2"), kFinder, Pattern(600, 10));
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(AppleDouble, StopsWhenCancelled) {
    qtest::WriteFile(src_, AfpV2(Pattern(40000, 11)));
    gfQAVOCopyCancel = 1;
    for (int mode = 0; mode <= 3; ++mode) {
        EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), dst_.c_str(), mode), -12) << mode;
        EXPECT_FALSE(qtest::FileExists(dst_)) << mode;
    }
    // Raised during a conversion: an older destination stays.
    qtest::WriteFile(dst_, "an older companion");
    EXPECT_EQ(QAVOAppleDoubleIConvertV2(src_.c_str(), dst_.c_str(), 0), -12);
    EXPECT_EQ(qtest::ReadFile(dst_), "an older companion");
    EXPECT_FALSE(qtest::FileExists(dst_ + ".tmp"));
    // The cancel result wins over any other at the end.
    EXPECT_EQ(QAVOAppleDoubleIConvertV2("/tmp/ad/._missing", dst_.c_str(), 0), -12);
}

TEST_F(AppleDouble, FullFileSystemGivesNoSpace) {
    ASSERT_EQ(qtest::Sh("mkdir -p /tmp/full && mount -t tmpfs -o size=64k tmpfs /tmp/full"), 0);
    qtest::WriteFile(src_, AfpV2(Pattern(200000, 12)));
    EXPECT_EQ(QAVOAppleDoubleCopy(src_.c_str(), "/tmp/full/._big", 0), -9);
    EXPECT_FALSE(qtest::FileExists("/tmp/full/._big"));
    EXPECT_FALSE(qtest::FileExists("/tmp/full/._big.tmp"));
    qtest::Sh("umount /tmp/full");
}

TEST_F(AppleDouble, WritesTheTwoCompactDescriptors) {
    // Source order 2 before 9, a second fork ignored, others dropped.
    std::string desc(4 * 12, '\0');
    const uint32_t fields[] = {3, 86, 255, 2, 741, 7000, 9, 653, 32, 2, 900, 5};
    for (size_t i = 0; i < 12; ++i)
        Put32(desc, 4 * i, fields[i]);
    const auto *bytes = reinterpret_cast<const uint8_t *>(desc.data());

    const std::string path = "/tmp/ad/descs";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    uint64_t fork = 1;
    EXPECT_EQ(QAVOAppleDoubleIWriteEntries(&fd, bytes, 4, &fork), 0);
    EXPECT_EQ(fork, 7000u);
    Put32(desc, 4 * 8, 30);  // Finder length 30
    EXPECT_EQ(QAVOAppleDoubleIWriteEntries(&fd, bytes, 4, &fork), -30);
    EXPECT_EQ(QAVOAppleDoubleIWriteEntries(&fd, bytes, 1, &fork), 0);  // no fork: 0
    EXPECT_EQ(fork, 0u);
    EXPECT_EQ(QAVOAppleDoubleIWriteEntries(nullptr, bytes, 1, &fork), -1);
    EXPECT_EQ(QAVOAppleDoubleIWriteEntries(&fd, bytes, -1, &fork), -1);
    close(fd);

    const std::string out = qtest::ReadFile(path);
    ASSERT_EQ(out.size(), 48u);
    const uint32_t first[] = {9, 50, 32, 2, 82, 7000}, second[] = {9, 50, 32, 2, 82, 0};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(Get32(out, 4 * i), first[i]) << i;
        EXPECT_EQ(Get32(out, 24 + 4 * i), second[i]) << i;
    }
}

}  // namespace
