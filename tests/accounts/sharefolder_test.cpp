#include <gtest/gtest.h>

#include <string>

#include "appliance.h"
#include "qavo_servicemove.h"
#include "qavo_sharedir.h"
#include "slib_errcode.h"
#include "slib_file.h"

namespace {

TEST(ShareIsDir, TellsFoldersFromTheRest) {
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1/docs && ln -s /volume1/docs /volume1/link"), 0);
    qtest::WriteFile("/volume1/file", "x");
    struct Case {
        const char *path;
        int result;
    } cases[] = {
        {"/volume1/docs", 1},
        {"/volume1/link", 1},
        {"/volume1/file", 0},
        {"/volume1/none", 0},
        {"/", -1},
        {"volume1/docs", -1},
        {"", -1},
        {nullptr, -1},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOShareIsDir(c.path), c.result) << (c.path ? c.path : "NULL");
        EXPECT_EQ(SLIBErrGet(), c.result == -1 ? SLIBERRCODE{ERR_BAD_PARAMETERS} : 0u);
    }
}

// The folder size check against a small file system at /volume2.
class FolderSize : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(qtest::Sh("mkdir -p /volume2 && mount -t tmpfs -o size=1m tmpfs /volume2"), 0);
        free_ = SLIBGetFsFreeSize("/volume2");
        ASSERT_GT(free_, 0u);
    }
    uint64_t free_ = 0;
};

TEST_F(FolderSize, OneByteMoreThanFreeDoesNotFit) {
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1/@database/mysql/db /volume1/@download"), 0);
    qtest::WriteFile("/volume1/@database/mysql/db/a", std::string(free_ / 2, 'x'));
    qtest::WriteFile("/volume1/@database/mysql/b", std::string(free_ - free_ / 2, 'x'));
    EXPECT_EQ(CheckTargetFolderSize("mysql", "@database", 1, 2), 0);  // exactly as much
    qtest::WriteFile("/volume1/@database/mysql/c", "x");
    EXPECT_EQ(CheckTargetFolderSize("mysql", "@database", 1, 2), 1);
    EXPECT_EQ(CheckTargetFolderSize("@download", nullptr, 1, 2), 0);
    EXPECT_TRUE(qtest::SyslogHas(std::to_string(free_ + 1) + " " + std::to_string(free_)));
}

TEST_F(FolderSize, RefusesBadParametersAndMissingFolders) {
    qtest::ClearSyslog();
    EXPECT_EQ(CheckTargetFolderSize(nullptr, nullptr, 1, 2), -1);
    EXPECT_EQ(CheckTargetFolderSize("web", nullptr, 0, 2), -1);
    EXPECT_EQ(CheckTargetFolderSize("web", nullptr, 1, 0), -1);
    EXPECT_TRUE(qtest::SyslogHas("sdk/qavoservice", LOG_ERR));
    EXPECT_TRUE(qtest::SyslogHas(" Bad parameters.", LOG_ERR));
    EXPECT_EQ(CheckTargetFolderSize("web", nullptr, 1, 2), -1);  // no such folder
    EXPECT_TRUE(qtest::SyslogHas(" function SLIBGetDirSize error", LOG_ERR));
    // A path too long for the check is refused, never measured cut short.
    EXPECT_EQ(CheckTargetFolderSize(std::string(1100, 'a').c_str(), nullptr, 1, 2), -1);
}

}  // namespace
