// The rsync secrets file of any bytes: a user's secret read into a small and
// a sufficient buffer, then the user's secret removed, after which it is
// not found any more.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "qavo_netbkp.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto parts = qfuzz::Parts(data, size, 2);
    const std::string user = qfuzz::CText(parts[0]);
    const std::string &secrets = parts[1];
    qfuzz::Put(QAVO_NETBKP_SECRETS, secrets);

    for (size_t cap : {size_t{4}, secrets.size() + 1}) {
        auto out = std::make_unique<char[]>(cap);
        if (QAVONetBackupGetServerPasswd(user.c_str(), out.get(), static_cast<int>(cap)) == 0)
            QFUZZ_CHECK(strlen(out.get()) < cap);
    }
    if (!user.empty() && user.find_first_of(":\n") == std::string::npos &&
        NetBackupDelSecret(user.c_str()) == 0) {
        char out[64];
        QFUZZ_CHECK(QAVONetBackupGetServerPasswd(user.c_str(), out, sizeof out) == -1);
    }
    return 0;
}
