#include <gtest/gtest.h>

#include <string>

#include "appliance.h"
#include "qavo_windomain.h"

namespace {

TEST(WebfmCacheClear, RemovesOnlyTheDomainShareCaches) {
    const std::string longName =
        "cache-of-a-user-with-a-rather-long-name.webfm.domain.validshare.DOMAIN_bob";
    ASSERT_GT(longName.size(), 52u);
    ASSERT_EQ(qtest::Sh("mkdir -p /tmp/webfm"), 0);
    for (const std::string &n :
         {std::string("webfm.domain.validshare.alice"), longName,
          std::string("webfm.local.validshare.bob"), longName.substr(0, 52)}) {
        qtest::WriteFile("/tmp/webfm/" + n, "x");
    }
    EXPECT_EQ(QAVOWinWebfmCacheClear(), 0);
    std::string left;
    ASSERT_EQ(qtest::Sh("ls /tmp/webfm", &left), 0);
    // The 52-character cut of the long name is some other file and stays.
    EXPECT_EQ(left,
              "cache-of-a-user-with-a-rather-long-name.webfm.domain\n"
              "webfm.local.validshare.bob\n");
    ASSERT_EQ(qtest::Sh("rm -rf /tmp/webfm"), 0);
    EXPECT_EQ(QAVOWinWebfmCacheClear(), -1);
}

}  // namespace
