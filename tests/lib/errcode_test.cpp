#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "appliance.h"
#include "slib_errcode.h"

TEST(ErrCode, StartsAtZeroAndKeepsTheLastFailure) {
    EXPECT_EQ(SLIBErrGet(), 0u);
    SLIBErrSet(ERR_OPEN_FAILED);
    SLIBErrSet(ERR_NOT_FOUND);  // the last call wins
    EXPECT_EQ(SLIBErrGet(), 0x2000u);
    // Nothing but another failure changes it.
    EXPECT_EQ(SLIBErrGet(), 0x2000u);
}

TEST(ErrCode, ChildInheritsTheCode) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    pid_t pid = fork();
    if (pid == 0) _exit(SLIBErrGet() == 0x0D00 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ErrCode, LogShapes) {
    SLIBErrSet(ERR_SHARE_EXISTS);
    const int line = __LINE__;
    SLIB_LOG(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.");
    SLIB_LOG_FN(LOG_INFO, "%s:%d(%s) opened [%s]", "x");
    SLIB_LOG_CODE(LOG_ERR, "%s(%d)[%X] Failed to Set link for sharename = %s", "s");
    const std::string file = "tests/lib/errcode_test.cpp";
    auto msgs = qtest::Syslog();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].priority, LOG_ERR);
    EXPECT_EQ(msgs[0].message, file + "(" + std::to_string(line + 1) + ") ErrSLIBFileLock failed.");
    EXPECT_EQ(msgs[1].priority, LOG_INFO);
    EXPECT_EQ(msgs[1].message, file + ":" + std::to_string(line + 2) + "(TestBody) opened [x]");
    EXPECT_EQ(msgs[2].message, file + "(" + std::to_string(line + 3) +
                                   ")[1300] Failed to Set link for sharename = s");
}
