// Account files: /etc/passwd, /etc/shadow, /etc/group and /etc/mail of any
// bytes; every group enumerated, a name looked up in each file, the group
// laid out in a buffer of exactly the size it asks for, and the user record
// packed the same way.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "qavo_accfile.h"
#include "qavo_user.h"

namespace {

void Touch(const char *s) {
    if (s) (void)strlen(s);
}

void TouchGroup(const QAVOGROUPENTRY *g) {
    Touch(g->name);
    Touch(g->password);
    Touch(g->linked);
    for (char **m = g->members; m && *m; ++m)
        Touch(*m);
    QFUZZ_CHECK(g->type <= 3);
}

void TouchPasswd(const struct passwd *pw) {
    if (!pw) return;
    Touch(pw->pw_name);
    Touch(pw->pw_passwd);
    Touch(pw->pw_gecos);
    Touch(pw->pw_dir);
    Touch(pw->pw_shell);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto parts = qfuzz::Parts(data, size, 5);
    const std::string name = qfuzz::CText(parts[0]);
    qfuzz::Put(SZF_GROUP, parts[1]);
    qfuzz::Put(SZF_PASSWD, parts[2]);
    qfuzz::Put(SZF_SHADOW, parts[3]);
    qfuzz::Put(SZF_USER_MAIL, parts[4]);

    int count = 0;
    while (const QAVOGROUPENTRY *g = PgrpSLIBGetLocalGrEnt()) {
        TouchGroup(g);
        QFUZZ_CHECK(++count <= 100000);
    }
    SLIBIGrClose();
    if (const QAVOGROUPENTRY *g = PgrpSLIBGetLocalGrName(name.c_str())) TouchGroup(g);
    if (const QAVOGROUPENTRY *g = PgrpSLIBGetLocalGrGid(atoi(name.c_str()))) TouchGroup(g);

    int needed = 0;
    if (SLIBGetLocalGrNamBuf(name.c_str(), nullptr, 0, &needed) >= 0 && needed > 1) {
        // One byte short: refused without a write past the buffer.
        const int shortSize = needed - 1;
        auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(shortSize));
        int ignored = 0;
        QFUZZ_CHECK(SLIBGetLocalGrNamBuf(name.c_str(),
                                         reinterpret_cast<struct group *>(small.get()), shortSize,
                                         &ignored) < 0);
    }
    if (SLIBGetLocalGrNamBuf(name.c_str(), nullptr, 0, &needed) >= 0 && needed > 0) {
        auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
        auto *gr = reinterpret_cast<struct group *>(buf.get());
        int members = SLIBGetLocalGrNamBuf(name.c_str(), gr, needed, &needed);
        if (members >= 0) {
            Touch(gr->gr_name);
            Touch(gr->gr_passwd);
            for (int i = 0; i < members; ++i)
                Touch(gr->gr_mem[i]);
            QFUZZ_CHECK(gr->gr_mem[members] == nullptr);
        }
    }

    TouchPasswd(PpwSLIBGetLocalPwNam(name.c_str()));
    TouchPasswd(PpwSLIBGetLocalSpNam(name.c_str()));

    needed = 0;
    if (QAVOUserGet(1, QAVO_USER_LOCAL, name.c_str(), nullptr, 0, &needed) == 0 && needed > 1) {
        auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(needed - 1));
        int ignored = 0;
        QFUZZ_CHECK(QAVOUserGet(1, QAVO_USER_LOCAL, name.c_str(),
                                reinterpret_cast<QAVOUSER *>(small.get()), needed - 1,
                                &ignored) < 0);
    }
    if (QAVOUserGet(1, QAVO_USER_LOCAL, name.c_str(), nullptr, 0, &needed) == 0 && needed > 0) {
        auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
        auto *user = reinterpret_cast<QAVOUSER *>(buf.get());
        if (QAVOUserGet(1, QAVO_USER_LOCAL, name.c_str(), user, needed, &needed) == 1) {
            Touch(user->name);
            Touch(user->password);
            Touch(user->description);
            Touch(user->mail);
        }
    }
    QAVOUserCheckExpired(name.c_str());
    return 0;
}
