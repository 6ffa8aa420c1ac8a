#include <gtest/gtest.h>

#include <string>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_unicode.h"

using qtest::ReadFile;
using qtest::WriteFile;

TEST(CodePage, SettingValuesReadAsTableIndexes) {
    struct Case {
        const char *value;
        int result, index;
    } cases[] = {
        {"8", 1, 0},      {"437", 1, 1}, {"\"1252\"", 1, 13}, {"2950", 1, 32},
        {"UTF-8", -1, 0}, {"1", -1, 0},  {"4370", -1, 0},     {"", -1, 0},
    };
    for (const Case &c : cases) {
        WriteFile("/etc/qavoinfo.conf", std::string("codepage_apple=") + c.value + "\n");
        int index = -7;
        SLIBErrSet(0);
        EXPECT_EQ(SLIBUnicodeGetCodePage(SLIB_CODEPAGE_APPLE, &index), c.result) << c.value;
        if (c.result == 1) {
            EXPECT_EQ(index, c.index) << c.value;
        } else {
            EXPECT_EQ(SLIBErrGet(), 0x2000u) << c.value;
            EXPECT_EQ(index, -7);
        }
    }
    int index = 0;
    SLIBErrSet(0);
    EXPECT_EQ(SLIBUnicodeGetCodePage(2, &index), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    EXPECT_EQ(SLIBUnicodeGetCodePage(SLIB_CODEPAGE_WIN, nullptr), -1);
    // The media service's key is read from its own line.
    WriteFile("/etc/qavoinfo.conf", "codepage=\"850\"\ncodepage_mediaservice=\"936\"\n");
    EXPECT_EQ(SLIBUnicodeGetCodePage(SLIB_CODEPAGE_MEDIASERVICE, &index), 1);
    EXPECT_EQ(index, 8);
}

TEST(CodePage, SetWritesTheSettingValue) {
    WriteFile("/etc/qavoinfo.conf", "hostname=\"nas\"\ncodepage=\"850\"\n");
    EXPECT_EQ(SLIBUnicodeSetCodePage(SLIB_CODEPAGE_WIN, 0), 1);
    EXPECT_EQ(SLIBUnicodeSetCodePage(SLIB_CODEPAGE_APPLE, 17), 1);
    EXPECT_EQ(ReadFile("/etc/qavoinfo.conf"),
              "hostname=\"nas\"\ncodepage=\"8\"\ncodepage_apple=\"1850\"\n");
    int index = -1;
    EXPECT_EQ(SLIBUnicodeGetCodePage(SLIB_CODEPAGE_APPLE, &index), 1);
    EXPECT_EQ(index, 17);
    for (auto [which, idx] : {std::pair{SLIB_CODEPAGE_WIN, 33}, std::pair{SLIB_CODEPAGE_WIN, -1},
                              std::pair{SLIB_CODEPAGE_MEDIASERVICE, 1}, std::pair{2, 1}}) {
        SLIBErrSet(0);
        EXPECT_EQ(SLIBUnicodeSetCodePage(which, idx), -1);
        EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    }
}
