#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_rewrite.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

TEST(Rewrite, KeepsModeAndOwnerOfTheOriginal) {
    WriteFile("/etc/shadow.test", "old\n", 0640);
    bool chowned = chown("/etc/shadow.test", 1, 2) == 0;
    slib::RewriteSet rw;
    FILE *fp = rw.Open("/etc/shadow.test");
    ASSERT_NE(fp, nullptr);
    fputs("new\n", fp);
    EXPECT_EQ(ReadFile("/etc/shadow.test"), "old\n");  // untouched until the commit
    ASSERT_TRUE(rw.Commit());
    EXPECT_EQ(ReadFile("/etc/shadow.test"), "new\n");
    EXPECT_FALSE(FileExists("/etc/shadow.test.tmp"));
    struct stat st;
    ASSERT_EQ(stat("/etc/shadow.test", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (chowned) {
        EXPECT_EQ(st.st_uid, 1u);
        EXPECT_EQ(st.st_gid, 2u);
    }
}

TEST(Rewrite, NeverFollowsAPlantedSymlink) {
    WriteFile("/etc/passwd.test", "root\n");
    WriteFile("/tmp/victim", "precious\n");
    ASSERT_EQ(symlink("/tmp/victim", "/etc/passwd.test.tmp"), 0);
    slib::RewriteSet rw;
    FILE *fp = rw.Open("/etc/passwd.test");
    ASSERT_NE(fp, nullptr);
    fputs("changed\n", fp);
    ASSERT_TRUE(rw.Commit());
    EXPECT_EQ(ReadFile("/tmp/victim"), "precious\n");
    EXPECT_EQ(ReadFile("/etc/passwd.test"), "changed\n");
}

TEST(Rewrite, SeveralFilesChangeTogetherOrNotAtAll) {
    WriteFile("/etc/a.test", "a\n");
    WriteFile("/etc/b.test", "b\n");
    {
        slib::RewriteSet rw;
        fputs("A\n", rw.Open("/etc/a.test"));
        fputs("B\n", rw.Open("/etc/b.test"));
        EXPECT_TRUE(FileExists("/etc/a.test.tmp"));
        // Leaving without a commit removes the copies.
    }
    EXPECT_FALSE(FileExists("/etc/a.test.tmp"));
    EXPECT_FALSE(FileExists("/etc/b.test.tmp"));
    EXPECT_EQ(ReadFile("/etc/a.test"), "a\n");
    {
        slib::RewriteSet rw;
        fputs("A\n", rw.Open("/etc/a.test"));
        fputs("B\n", rw.Open("/etc/b.test"));
        ASSERT_TRUE(rw.Commit());
    }
    EXPECT_EQ(ReadFile("/etc/a.test"), "A\n");
    EXPECT_EQ(ReadFile("/etc/b.test"), "B\n");
    // A failed write anywhere keeps every original.
    {
        slib::RewriteSet rw;
        fputs("x\n", rw.Open("/etc/a.test"));
        FILE *b = rw.Open("/etc/b.test");
        fputs("y\n", b);
        fflush(b);
        close(fileno(b));  // the next flush and sync fail
        fputs("z\n", b);
        SLIBErrSet(0);
        EXPECT_FALSE(rw.Commit());
        EXPECT_EQ(SLIBErrGet(), 0x0B00u);
    }
    EXPECT_EQ(ReadFile("/etc/a.test"), "A\n");
    EXPECT_EQ(ReadFile("/etc/b.test"), "B\n");
    EXPECT_FALSE(FileExists("/etc/a.test.tmp"));
    EXPECT_FALSE(FileExists("/etc/b.test.tmp"));
}

TEST(Rewrite, FailuresToCreateOrRename) {
    slib::RewriteSet rw;
    SLIBErrSet(0);
    EXPECT_EQ(rw.Open("/nonexistent/x.conf"), nullptr);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    // The file's path is a directory: the rename fails.
    ASSERT_EQ(mkdir("/etc/dir.test", 0755), 0);
    WriteFile("/etc/dir.test/inner", "x");
    slib::RewriteSet rw2;
    ASSERT_NE(rw2.Open("/etc/dir.test"), nullptr);
    EXPECT_FALSE(rw2.Commit(ERR_RENAME_FAILED));
    EXPECT_EQ(SLIBErrGet(), 0x2800u);
    EXPECT_FALSE(FileExists("/etc/dir.test.tmp"));
}

// A second writer of the same file without the file's lock takes the copy's
// name over (it removes what it takes for a stale copy). The first writer
// must then fail rather than rename the other's half-written copy into place.
TEST(Rewrite, ACopyTakenOverByAnotherWriterIsNeverRenamed) {
    WriteFile("/etc/c.test", "old\n");
    slib::RewriteSet first, second;
    FILE *a = first.Open("/etc/c.test");
    ASSERT_NE(a, nullptr);
    fputs("from first\n", a);
    FILE *b = second.Open("/etc/c.test");
    ASSERT_NE(b, nullptr);
    fputs("half of", b);
    SLIBErrSet(0);
    EXPECT_FALSE(first.Commit());
    EXPECT_EQ(SLIBErrGet(), 0x0B00u);
    EXPECT_NE(first.RenameError(), 0);
    EXPECT_EQ(ReadFile("/etc/c.test"), "old\n");
    // The other writer's copy is left alone and completes its change.
    fputs(" second\n", b);
    EXPECT_TRUE(second.Commit());
    EXPECT_EQ(ReadFile("/etc/c.test"), "half of second\n");
    EXPECT_FALSE(FileExists("/etc/c.test.tmp"));
}

// A change over several files whose last rename fails: the files already
// replaced get their previous versions back and a file that is new goes.
TEST(Rewrite, AFailedRenameRestoresTheFilesAlreadyReplaced) {
    WriteFile("/etc/a.test", "a\n", 0600);
    ASSERT_EQ(mkdir("/etc/dir.test", 0755), 0);
    WriteFile("/etc/dir.test/inner", "x");
    struct stat before;
    ASSERT_EQ(stat("/etc/a.test", &before), 0);
    {
        slib::RewriteSet rw;
        fputs("A\n", rw.Open("/etc/a.test"));
        fputs("N\n", rw.Open("/etc/new.test"));
        fputs("D\n", rw.Open("/etc/dir.test"));
        SLIBErrSet(0);
        EXPECT_FALSE(rw.Commit(ERR_RENAME_FAILED));
        EXPECT_EQ(SLIBErrGet(), 0x2800u);
        EXPECT_NE(rw.RenameError(), 0);
    }
    struct stat after;
    ASSERT_EQ(stat("/etc/a.test", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ReadFile("/etc/a.test"), "a\n");
    EXPECT_FALSE(FileExists("/etc/new.test"));
    for (const char *left :
         {"/etc/a.test.tmp", "/etc/a.test.prev.tmp", "/etc/new.test.tmp", "/etc/dir.test.tmp"})
        EXPECT_FALSE(FileExists(left)) << left;

    // Copies kept for a later rename go in together; those missing are skipped.
    {
        slib::RewriteSet rw;
        fputs("A2\n", rw.Open("/etc/a.test"));
        fputs("N2\n", rw.Open("/etc/new.test"));
        ASSERT_TRUE(rw.Keep());
    }
    EXPECT_TRUE(slib::RewriteSet::CommitKept({{"/etc/missing.test.tmp", "/etc/missing.test"},
                                              {"/etc/a.test.tmp", "/etc/a.test"},
                                              {"/etc/new.test.tmp", "/etc/new.test"}}));
    EXPECT_EQ(ReadFile("/etc/a.test"), "A2\n");
    EXPECT_EQ(ReadFile("/etc/new.test"), "N2\n");
    EXPECT_FALSE(FileExists("/etc/a.test.prev.tmp"));
    EXPECT_FALSE(FileExists("/etc/missing.test"));
}
