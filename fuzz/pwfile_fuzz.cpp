// Shadow and SMB password files of any bytes copied by an account
// transaction that renames one user and adds another; the copies are
// dropped afterwards.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "qavo_accfile.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    mkdir("/usr/qavo/etc", 0755);
    mkdir("/usr/qavo/etc/private", 0700);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    auto parts = qfuzz::Parts(data + 1, size - 1, 6);
    std::string oldName = qfuzz::CText(parts[0]), newName = qfuzz::CText(parts[1]),
                added = qfuzz::CText(parts[2]), password = qfuzz::CText(parts[3]);
    if (oldName.empty() || added.empty()) return 0;
    qfuzz::Put(SZF_SHADOW, parts[4]);
    qfuzz::Put(SZF_SMBPASSWD, parts[5]);

    // A stored hash keeps the password as it is; a plain one is hashed.
    if (data[0] & 1) password = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
    QAVOUSERSET change{1,       oldName.data(), newName.data(), password.data(),
                       nullptr, data[0] >> 1,   nullptr};
    QAVOUSERSET add{1, nullptr, added.data(), password.data(), nullptr, 0, nullptr};
    PSLIBSZHASH changed = PshSLIBSzHashAlloc(256), adds = PshSLIBSzHashAlloc(256),
                passwords = PshSLIBSzHashAlloc(256), existing = PshSLIBSzHashAlloc(256);
    SDKISetUserPtr(&changed, oldName.c_str(), &change);
    SDKISetUserPtr(&adds, added.c_str(), &add);
    SDKIUserHashSet(&existing, added.c_str(), "1500");

    if (SDKIModifyShadow(changed, adds, &passwords) == 0)
        SDKIModifySmbpasswd(changed, adds, passwords, existing);
    unlink(SZF_SHADOW_TMP);
    unlink(SZF_SMBPASSWD_TMP);
    SLIBSzHashFree(changed);
    SLIBSzHashFree(adds);
    SLIBSzHashFree(passwords);
    SLIBSzHashFree(existing);
    return 0;
}
