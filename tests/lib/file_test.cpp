#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_line.h"
#include "slib_szlist.h"

using qtest::FileExists;
using qtest::ReadFile;
using qtest::WriteFile;

namespace {

using qtest::Items;

std::string Cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? buf : "";
}

TEST(FileSizes, MatchWhatStatReports) {
    for (const char *path : {"/tmp", "/etc", "/"}) {
        std::string out;
        ASSERT_EQ(qtest::Exec({"stat", "-f", "-c", "%b %f %a %s", path}, &out), 0);
        std::istringstream in(out);
        uint64_t blocks, bfree, bavail, bsize;
        ASSERT_TRUE(in >> blocks >> bfree >> bavail >> bsize) << out;
        // Files may come and go between the two looks at a busy file system;
        // the sandbox's own ones are quiet.
        EXPECT_EQ(SLIBGetFsFreeSize(path), bfree * bsize) << path;
        EXPECT_EQ(SLIBGetFsAvailSize(path), bavail * bsize) << path;
        EXPECT_EQ(SLIBGetFsUsedSize(path), (blocks - bfree) * bsize) << path;
        EXPECT_EQ(SLIBGetFsUsedSize(path) + SLIBGetFsFreeSize(path), blocks * bsize);
    }
    qtest::ClearSyslog();
    EXPECT_EQ(SLIBGetFsFreeSize(nullptr), 0u);
    EXPECT_EQ(SLIBGetFsAvailSize("/no/such/place"), 0u);
    EXPECT_TRUE(qtest::SyslogHas("lib/qavomisc(949)bad parameter", LOG_ERR));
}

// A tree of regular files, hidden ones, symlinks and a loop.
void MakeTree() {
    ASSERT_EQ(qtest::Sh("rm -rf /volume1/t /volume1/outside && "
                        "mkdir -p /volume1/t/sub/deeper /volume1/outside"),
              0);
    WriteFile("/volume1/t/ten", std::string(10, 'x'));
    WriteFile("/volume1/t/sub/five", std::string(5, 'x'));
    WriteFile("/volume1/t/sub/deeper/three", std::string(3, 'x'));
    WriteFile("/volume1/t/.hidden", std::string(100, 'x'));
    WriteFile("/volume1/outside/big", std::string(1000, 'x'));
    ASSERT_EQ(symlink("/volume1/t", "/volume1/t/sub/loop"), 0);          // a loop
    ASSERT_EQ(symlink("/volume1/outside", "/volume1/t/elsewhere"), 0);   // a symlinked tree
    ASSERT_EQ(symlink("/volume1/outside/big", "/volume1/t/linked"), 0);  // a file: counted
}

TEST(DirSize, CountsVisibleRegularFilesWithoutFollowingDirectoryLinks) {
    MakeTree();
    ASSERT_EQ(chdir("/volume1/t/sub"), 0);
    const std::string before = Cwd();
    EXPECT_EQ(SLIBGetDirSize("/volume1/t"), 10 + 5 + 3 + 1000);
    EXPECT_EQ(Cwd(), before);                // the working directory stays where it was
    EXPECT_EQ(SLIBGetDirSize("deeper"), 3);  // relative names work as well
    EXPECT_EQ(SLIBGetDirSize("/volume1/none"), -1);
    EXPECT_EQ(SLIBGetDirSize(""), -1);
    EXPECT_EQ(SLIBGetDirSize(nullptr), -1);
    EXPECT_EQ(Cwd(), before);
    EXPECT_TRUE(qtest::SyslogHas("lib/qavomisc (1074) Bad parameter."));
    EXPECT_EQ(chdir("/"), 0);
}

TEST(DirSize, SkipsAnUnreadableSubfolder) {
    MakeTree();
    ASSERT_EQ(chmod("/volume1/t/sub", 0700), 0);
    ASSERT_EQ(chown("/volume1/t", 65534, 65534), 0);
    ASSERT_EQ(chown("/volume1/t/ten", 65534, 65534), 0);
    ASSERT_EQ(chdir("/volume1/t"), 0);
    // An unprivileged process cannot enter sub; it counts what it can see,
    // and never the current directory in sub's place.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
        int64_t size = SLIBGetDirSize("/volume1/t");
        _exit(size == 10 + 1000 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(chdir("/"), 0);
}

TEST(DirSize, DuVariantMatchesDu) {
    MakeTree();
    WriteFile("/volume1/t/sub/it's a \"name\" $(x)", std::string(5000, 'y'));
    for (const char *dir : {"/volume1/t", "/volume1/t/sub"}) {
        std::string out;
        ASSERT_EQ(qtest::Exec({"du", "-slk", dir}, &out), 0);
        EXPECT_EQ(SLIBGetDirSizeByDu(dir), std::stoull(out) * 1024) << dir;
    }
    // A name that would be a command line of its own in a shell.
    EXPECT_EQ(SLIBGetDirSizeByDu("/volume1/t; touch /tmp/owned"), 0u);
    EXPECT_FALSE(FileExists("/tmp/owned"));
    EXPECT_EQ(SLIBGetDirSizeByDu(nullptr), 0u);
}

TEST(FileOps, TruncateAppendAndRegularFile) {
    WriteFile("/etc/f.test", "content\n");
    EXPECT_EQ(SLIBFileTruncate("/etc/f.test"), 0);
    EXPECT_EQ(ReadFile("/etc/f.test"), "");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileTruncate("/no/such/dir/f"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_EQ(SLIBFileTruncate(nullptr), -1);

    WriteFile("/etc/f.test", "one");  // no final newline
    EXPECT_EQ(SLIBFileAppendLine("/etc/f.test", "two"), 0);
    EXPECT_EQ(SLIBFileAppendLine("/etc/f.test", "three"), 0);
    EXPECT_EQ(ReadFile("/etc/f.test"), "one\ntwo\nthree\n");
    EXPECT_EQ(SLIBFileAppendLine("/etc/new.test", "first"), 0);
    EXPECT_EQ(ReadFile("/etc/new.test"), "first\n");
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileAppendLine("/no/such/dir/f", "x"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_EQ(SLIBFileAppendLine(nullptr, "x"), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);

    ASSERT_EQ(symlink("/etc/f.test", "/etc/f.link"), 0);
    EXPECT_EQ(BlSLIBIsRegularFile("/etc/f.test"), 1);
    EXPECT_EQ(BlSLIBIsRegularFile("/etc/f.link"), 1);
    EXPECT_EQ(BlSLIBIsRegularFile("/etc"), 0);
    EXPECT_EQ(BlSLIBIsRegularFile("/dev/null"), 0);
    EXPECT_EQ(BlSLIBIsRegularFile(nullptr), 0);
}

TEST(FileOps, ReadLinesKeepsWholeLines) {
    const std::string longLine(3000, 'L');
    WriteFile("/etc/f.test", "a\n" + longLine + "\nlast");
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    EXPECT_EQ(SLIBFileReadLines("/etc/f.test", &l), 0);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"a\n", longLine + "\n", "last"}));
    SLIBErrSet(0);
    EXPECT_EQ(SLIBFileReadLines("/etc/none", &l), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_EQ(SLIBFileReadLines("/etc/f.test", nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    SLIBSzListFree(l);
}

TEST(FileOps, TempNamesCountUpWithinTheProcess) {
    const std::string pid = std::to_string(getpid());
    char out[64];
    ASSERT_EQ(SLIBFileGetTempName("/tmp/x", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/tmp/x" + pid + "-0");
    ASSERT_EQ(SLIBFileGetTempName("/tmp/x", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/tmp/x" + pid + "-1");
    // Exactly fitting, and one byte short (the output is cleared).
    const int need = static_cast<int>(("/tmp/x" + pid + "-2").size()) + 1;
    EXPECT_EQ(SLIBFileGetTempName("/tmp/x", out, need), 0);
    EXPECT_EQ(SLIBFileGetTempName("/tmp/x", out, need - 1), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(SLIBFileGetTempName(nullptr, out, 10), -1);
    EXPECT_EQ(SLIBFileGetTempName("/tmp/x", out, -1), -1);
}

TEST(FileOps, DirEnumListsSubdirectories) {
    ASSERT_EQ(
        qtest::Sh(
            "rm -rf /volume1/e && mkdir -p /volume1/e/alpha /volume1/e/beta /volume1/outside/d && "
            "touch /volume1/e/file && ln -sfn /volume1/outside/d /volume1/e/linked"),
        0);
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    SLIBSzListSetMode(l, SLIB_SZLIST_SORTED);
    EXPECT_EQ(SLIBDirEnum("/volume1/e", nullptr, &l, 0), 3);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"alpha", "beta", "linked"}));
    SLIBSzListRemoveAll(l);
    EXPECT_EQ(SLIBDirEnum("/volume1/e", nullptr, &l, SLIB_DIRENUM_FILES), 0);
    EXPECT_EQ(SLIBDirEnum("/volume1/e", nullptr, &l, SLIB_DIRENUM_DIRS), 3);
    // A key filters the names with the line matcher (prefix, without case).
    SLIBSzListRemoveAll(l);
    EXPECT_EQ(SLIBDirEnum("/volume1/e", "AL", &l, SLIB_LINE_PREFIX | SLIB_LINE_CASELESS), 1);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"alpha"}));
    SLIBErrSet(0);
    EXPECT_EQ(SLIBDirEnum("/volume1/none", nullptr, &l, 0), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0900u);
    EXPECT_EQ(SLIBDirEnum("/volume1/e", nullptr, &l, -1), -1);
    EXPECT_EQ(SLIBErrGet(), 0x0D00u);
    SLIBSzListFree(l);
}

TEST(FileOps, StreamOpenersPassTheModeThrough) {
    WriteFile("/etc/f.test", "data\n");
    FILE *fp = SLIBFileOpen("/etc/f.test", "r");
    ASSERT_NE(fp, nullptr);
    char buf[16] = "";
    ASSERT_NE(fgets(buf, sizeof buf, fp), nullptr);
    EXPECT_STREQ(buf, "data\n");

    // Reopen on another file, in append mode.
    fp = SLIBFileReopen("/etc/g.test", "a", fp);
    ASSERT_NE(fp, nullptr);
    fputs("appended\n", fp);
    fclose(fp);
    EXPECT_EQ(ReadFile("/etc/g.test"), "appended\n");

    int fd = open("/etc/f.test", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FILE *byFd = SLIBFileDescOpen(fd, "r");
    ASSERT_NE(byFd, nullptr);
    ASSERT_NE(fgets(buf, sizeof buf, byFd), nullptr);
    EXPECT_STREQ(buf, "data\n");
    // A mode the C library refuses leaves the caller's stream open.
    EXPECT_EQ(SLIBFileReopen("/etc/f.test", "sr", byFd), nullptr);
    EXPECT_EQ(SLIBFileDescOpen(fd, "x"), nullptr);
    rewind(byFd);
    EXPECT_NE(fgets(buf, sizeof buf, byFd), nullptr);
    fclose(byFd);
}

TEST(FileOps, SystemCallWrappers) {
    WriteFile("/etc/a.test", "a");
    EXPECT_EQ(SLIBSysRename("/etc/a.test", "/etc/b.test"), 0);
    EXPECT_EQ(ReadFile("/etc/b.test"), "a");
    EXPECT_EQ(SLIBSysRename("/etc/a.test", "/etc/b.test"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(SLIBSysUnlink("/etc/b.test"), 0);
    EXPECT_FALSE(FileExists("/etc/b.test"));
    ASSERT_EQ(mkdir("/etc/d.test", 0755), 0);
    EXPECT_EQ(SLIBSysUnlink("/etc/d.test"), -1);
    EXPECT_EQ(SLIBSysRmdir("/etc/d.test"), 0);
    WriteFile("/etc/c.test", "c");
    EXPECT_EQ(SLIBSysRemove("/etc/c.test"), 0);
    EXPECT_EQ(SLIBSysRemove("/etc/c.test"), -1);
}

}  // namespace
