// Share records: a Samba configuration of any bytes; the share names listed
// into a buffer of exactly the size asked for, and every share (and a name
// from the input) read the same way.
#include <sys/stat.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "qavo_share.h"

namespace {

void Get(const char *name) {
    int needed = 0;
    if (QAVOShareGet(1, name, nullptr, 0, &needed) != 0 || needed <= 0) return;
    if (needed > 1) {
        // One byte short: refused without a write past the buffer.
        auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(needed - 1));
        int ignored = 0;
        QFUZZ_CHECK(QAVOShareGet(1, name, small.get(), needed - 1, &ignored) == -1);
    }
    auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
    auto *share = reinterpret_cast<QAVOSHARE *>(buf.get());
    if (QAVOShareGet(1, name, share, needed, &needed) != 1) return;
    for (const char *s : {share->szName, share->szComment, share->szPath, share->szDeny,
                          share->szRW, share->szRO}) {
        QFUZZ_CHECK(s >= reinterpret_cast<const char *>(buf.get()) &&
                    s < reinterpret_cast<const char *>(buf.get()) + needed);
        QFUZZ_CHECK(strlen(s) < static_cast<size_t>(needed));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    mkdir("/usr/qavo/etc", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto parts = qfuzz::Parts(data, size, 2);
    const std::string name = qfuzz::CText(parts[0]);
    qfuzz::Put(SZF_QAVO_SMB_CONF, parts[1]);

    int needed = 0;
    if (QAVOShareEnum(nullptr, 0, &needed) == 0 && needed > 0) {
        if (needed > 1) {
            // One byte short: refused without a write past the buffer.
            auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(needed - 1));
            int ignored = 0;
            QFUZZ_CHECK(
                QAVOShareEnum(reinterpret_cast<char **>(small.get()), needed - 1, &ignored) == -1);
        }
        auto buf = std::make_unique<char *[]>(static_cast<size_t>(needed) / sizeof(char *) + 1);
        int n = QAVOShareEnum(buf.get(), needed, &needed);
        for (int i = 0; i < n; ++i)
            Get(buf[i]);
        if (n >= 0) QFUZZ_CHECK(buf[n] == nullptr);
    }
    Get(name.c_str());
    return 0;
}
