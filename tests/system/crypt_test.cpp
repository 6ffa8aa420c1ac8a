#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_crypt.h"
#include "slib_errcode.h"

namespace {

// 600 bytes holding every value, the zero byte and line breaks too.
std::string AllBytes600() {
    std::string s;
    for (int i = 0; i < 600; ++i)
        s += static_cast<char>((i * 7 + 3) & 0xFF);
    return s;
}

std::vector<std::string> Dir(const std::string &dir) {
    std::string out;
    qtest::Sh("ls -A " + dir, &out);
    std::vector<std::string> names;
    size_t start = 0, nl;
    while ((nl = out.find('\n', start)) != std::string::npos) {
        names.push_back(out.substr(start, nl - start));
        start = nl + 1;
    }
    return names;
}

TEST(StrCrypt, OwnOutputGivesTheTextBack) {
    const std::string text = "Backup-Pa55word";
    char once[64], twice[64];
    ASSERT_EQ(QAVOStrCrypt(text.c_str(), once, sizeof(once)), 0);
    ASSERT_EQ(strlen(once), text.size()) << "this text's cipher holds a zero byte";
    EXPECT_NE(std::string(once), text);
    ASSERT_EQ(QAVOStrCrypt(once, twice, sizeof(twice)), 0);
    EXPECT_EQ(std::string(twice), text);
    // The key is fixed: texts stored by an earlier run must stay readable.
    char hex[64];
    ASSERT_EQ(QAVOStrCryptHex("password", hex, sizeof(hex)), 0);
    EXPECT_STREQ(hex, "f739da95064f0753");
}

TEST(StrCrypt, BuffersAndArguments) {
    char out[8];
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(QAVOStrCrypt("", out, sizeof(out)), 0);
    EXPECT_EQ(std::string(out, sizeof(out)), std::string(sizeof(out), '\0'));

    SLIBErrSet(0);
    EXPECT_EQ(QAVOStrCrypt("1234567", out, 7), -1);  // no room for the zero byte
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    EXPECT_TRUE(qtest::SyslogHas("sdk/qavocrypt QAVOStrCrypt(", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas("iLen is not enough!!", LOG_ERR));
    EXPECT_EQ(QAVOStrCrypt("1234567", out, 8), 0);
    EXPECT_EQ(QAVOStrCrypt(nullptr, out, 8), -1);
    EXPECT_EQ(QAVOStrCrypt("a", nullptr, 8), -1);
    EXPECT_EQ(QAVOStrCrypt("a", out, -1), -1);
    EXPECT_TRUE(qtest::SyslogHas("wrong parameters", LOG_ERR));
}

TEST(StrCrypt, PositionAndLapMoveTheRotors) {
    // 600 equal bytes: with pos and lap both in play no 256-byte round
    // repeats the previous one, and byte 256 (pos 0, lap 1) differs from byte 0.
    const std::string text(600, 'a');
    std::vector<char> out(601);
    ASSERT_EQ(QAVOStrCrypt(text.c_str(), out.data(), 601), 0);
    const std::string lap0(out.data(), 256), lap1(out.data() + 256, 256);
    EXPECT_NE(lap0, lap1);
    EXPECT_NE(lap0.find_first_not_of(lap0[0]), std::string::npos);
}

TEST(StrCryptHex, StoredFormIsTextAndReadsBack) {
    // One of the single bytes enciphers to a zero byte, one to a line break
    // and one to ':': the stored form holds none of them, and reads back.
    bool unsafeRaw = false;
    for (int c = 1; c < 256; ++c) {
        const char text[2] = {static_cast<char>(c), '\0'};
        char raw[2];
        ASSERT_EQ(QAVOStrCrypt(text, raw, sizeof(raw)), 0);
        if (raw[0] == '\0' || raw[0] == '\n' || raw[0] == ':') unsafeRaw = true;
        char hex[3], back[2];
        ASSERT_EQ(QAVOStrCryptHex(text, hex, sizeof(hex)), 0);
        EXPECT_EQ(strspn(hex, "0123456789abcdef"), 2u) << c;
        ASSERT_EQ(QAVOStrDecryptHex(hex, back, sizeof(back)), 0);
        EXPECT_EQ(back[0], static_cast<char>(c));
    }
    EXPECT_TRUE(unsafeRaw);

    // A long text crosses the first lap in both directions.
    std::string text;
    for (int i = 0; i < 600; ++i)
        text += static_cast<char>(' ' + i % 95);
    std::vector<char> hex(1201), back(601);
    ASSERT_EQ(QAVOStrCryptHex(text.c_str(), hex.data(), 1201), 0);
    ASSERT_EQ(QAVOStrDecryptHex(hex.data(), back.data(), 601), 0);
    EXPECT_EQ(std::string(back.data()), text);

    SLIBErrSet(0);
    EXPECT_EQ(QAVOStrCryptHex(text.c_str(), hex.data(), 1200), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
    struct {
        const char *hex;
        SLIBERRCODE code;
    } bad[] = {{"abc", ERR_BAD_PARAMETERS}, {"zz", ERR_BAD_PARAMETERS}, {"0g", ERR_BAD_PARAMETERS}};
    for (const auto &b : bad) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOStrDecryptHex(b.hex, back.data(), 601), -1) << b.hex;
        EXPECT_EQ(SLIBErrGet(), b.code) << b.hex;
    }
    EXPECT_EQ(QAVOStrDecryptHex("0000", back.data(), 2), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);
}

TEST(FileCrypt, TwicePassesGiveTheFileBackWithItsMode) {
    const std::string path = "/tmp/cipher/data.bin";
    qtest::Sh("mkdir -p /tmp/cipher");
    const std::string data = AllBytes600();
    qtest::WriteFile(path, data, 0640);
    ASSERT_EQ(chown(path.c_str(), 12, 34), 0);
    ASSERT_EQ(QAVOFileCrypt(path.c_str()), 0);
    const std::string once = qtest::ReadFile(path);
    EXPECT_EQ(once.size(), data.size());
    EXPECT_NE(once, data);
    ASSERT_EQ(QAVOFileCrypt(path.c_str()), 0);
    EXPECT_EQ(qtest::ReadFile(path), data);

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 12u);
    EXPECT_EQ(st.st_gid, 34u);
    EXPECT_EQ(Dir("/tmp/cipher"), std::vector<std::string>{"data.bin"});

    // The file's bytes are enciphered as one string's would be.
    qtest::WriteFile(path, "password");
    ASSERT_EQ(QAVOFileCrypt(path.c_str()), 0);
    char raw[16];
    ASSERT_EQ(QAVOStrCrypt("password", raw, sizeof(raw)), 0);
    EXPECT_EQ(qtest::ReadFile(path), std::string(raw, 8));
}

TEST(FileCrypt, FailuresLeaveTheFileAlone) {
    qtest::Sh("mkdir -p /tmp/cipher-fail");
    SLIBErrSet(0);
    EXPECT_EQ(QAVOFileCrypt(nullptr), -1);
    EXPECT_EQ(QAVOFileCrypt("/tmp/cipher-fail/missing"), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_OPEN_FAILED);
    EXPECT_TRUE(qtest::SyslogHas("Failed to open source file.(No such file or directory)"));
    // A directory or a device is never replaced.
    EXPECT_EQ(QAVOFileCrypt("/tmp/cipher-fail"), -1);
    EXPECT_EQ(QAVOFileCrypt("/dev/null"), -1);

    // A read error is no end of file: reading this link's target fails at
    // once, and nothing may take the link's place.
    ASSERT_EQ(symlink("/proc/self/mem", "/tmp/cipher-fail/unreadable"), 0);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOFileCrypt("/tmp/cipher-fail/unreadable"), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_READ_FAILED);
    struct stat st;
    ASSERT_EQ(lstat("/tmp/cipher-fail/unreadable", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Dir("/tmp/cipher-fail"), std::vector<std::string>{"unreadable"});

    // A file at the copy's name is not ours to overwrite.
    const std::string path = "/tmp/cipher-fail/data";
    const std::string taken = path + "." + std::to_string(getpid());
    qtest::WriteFile(path, "data");
    qtest::WriteFile(taken, "someone's");
    EXPECT_EQ(QAVOFileCrypt(path.c_str()), -1);
    EXPECT_EQ(qtest::ReadFile(path), "data");
    EXPECT_EQ(qtest::ReadFile(taken), "someone's");
}

}  // namespace
