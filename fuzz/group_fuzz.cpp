// Local groups: /etc/group, /etc/passwd and /etc/group_desc of any bytes;
// the groups listed, counted and each read into a buffer of exactly the
// size asked for (one byte short is refused), the description of a name,
// the next free gid, and a create request "name:member,..." parsed into
// buffers of any size.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "qavo_group.h"

namespace {

void Get(const char *name) {
    int needed = 0;
    if (QAVOGroupGet(QAVO_GROUP_FLAG_LOCAL, 1, name, nullptr, 0, &needed) < 0 || needed <= 0)
        return;
    if (needed > 1) {
        auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(needed - 1));
        int ignored = 0;
        QFUZZ_CHECK(QAVOGroupGet(QAVO_GROUP_FLAG_LOCAL, 1, name,
                                 reinterpret_cast<QAVOGROUP *>(small.get()), needed - 1,
                                 &ignored) != 1);
    }
    auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
    auto *group = reinterpret_cast<QAVOGROUP *>(buf.get());
    if (QAVOGroupGet(QAVO_GROUP_FLAG_LOCAL, 1, name, group, needed, &needed) == 1)
        for (QAVOGROUP *s = group; *s; ++s)
            QFUZZ_CHECK(reinterpret_cast<unsigned char *>(*s) >= buf.get() &&
                        strlen(*s) < static_cast<size_t>(needed));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t room = data[0];
    auto parts = qfuzz::Parts(data + 1, size - 1, 5);
    const std::string name = qfuzz::CText(parts[0]), request = qfuzz::CText(parts[1]);
    qfuzz::Put(SZF_GROUP, parts[2]);
    qfuzz::Put(SZF_PASSWD, parts[3]);
    qfuzz::Put(SZF_GROUP_DESC, parts[4]);

    int needed = 0;
    if (QAVOGroupEnum(QAVO_GROUP_FLAG_LOCAL, 0, nullptr, 0, &needed) >= 0 && needed > 0) {
        auto buf = std::make_unique<char *[]>(static_cast<size_t>(needed) / sizeof(char *) + 1);
        int n = QAVOGroupEnum(QAVO_GROUP_FLAG_LOCAL, 0, buf.get(), needed, &needed);
        for (int i = 0; i < n && buf[i]; ++i)
            Get(buf[i]);
    }
    QAVOGroupTotalNum(QAVO_GROUP_FLAG_LOCAL);
    Get(name.c_str());
    needed = 0;
    if (QAVOGroupGetDesc(name.c_str(), nullptr, 0, &needed) >= 0 && needed > 0) {
        auto desc = std::make_unique<char[]>(static_cast<size_t>(needed));
        if (QAVOGroupGetDesc(name.c_str(), desc.get(), needed, &needed) >= 0)
            QFUZZ_CHECK(strlen(desc.get()) < static_cast<size_t>(needed));
    }
    GROUPIGetFreeGid();

    for (size_t cap : {room, request.size() * 9 + 64}) {
        auto buf = std::make_unique<unsigned char[]>(cap ? cap : 1);
        GROUPParseCreateParam(request.c_str(), reinterpret_cast<char **>(buf.get()),
                              static_cast<int>(cap));
    }
    return 0;
}
