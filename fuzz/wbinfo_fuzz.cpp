// Winbind answers: the client is replaced by a script that prints bytes of
// the input as its answer and keeps the argument it was given. The SID, uid,
// gid and gid-list parsers take the answer; the argument, a user name of any
// bytes escaped for the shell, must reach the client unchanged.
#include <sys/stat.h>

#include <string>

#include "fuzz_support.h"
#include "qavo_user.h"
#include "slib_szhash.h"

namespace {

const char kAnswer[] = "/tmp/fuzz.wbinfo";
const char kArgument[] = "/tmp/fuzz.wbargs";
const char kStatus[] = "/tmp/fuzz.wbstatus";

std::string Slurp(const char *path) {
    std::string text;
    FILE *fp = fopen(path, "re");
    QFUZZ_CHECK(fp);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0)
        text.append(chunk, n);
    fclose(fp);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    qfuzz::StandIn(SZ_WBINFO,
                   "#!/bin/sh\n"
                   "printf '%s' \"$2\" > /tmp/fuzz.wbargs\n"
                   "cat /tmp/fuzz.wbinfo\n"
                   "read status < /tmp/fuzz.wbstatus\n"
                   "exit $status\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    auto parts = qfuzz::Parts(data + 1, size - 1, 2);
    const std::string user = qfuzz::CText(parts[0]);
    qfuzz::Put(kAnswer, parts[1]);
    qfuzz::Put(kStatus, data[0] & 1 ? "1\n" : "0\n");

    const std::string name = "CORP\\" + user;
    char sid[128];
    unlink(kArgument);
    QAVOGetDUserSid(name.c_str(), sid, sizeof sid);
    if (!user.empty()) QFUZZ_CHECK(Slurp(kArgument) == user);
    QAVOGetDUserUid(name.c_str());
    QAVOGetDUserGid(user.c_str());
    PSLIBSZHASH gids = PshSLIBSzHashAlloc(256);
    QAVOGetDUserGidList(name.c_str(), &gids);
    SLIBSzHashFree(gids);
    return 0;
}
