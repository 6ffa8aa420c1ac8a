// Counting and listing users: the local users of /etc/passwd (uid 1024 and
// above; guest only while guest access is supported).
#include "qavo_userenum.h"

#include <pwd.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "qavo_user.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_util.h"

namespace {

constexpr uint32_t kDomainBits = QAVO_USER_ENUM_DOMAIN | QAVO_USER_ENUM_DOMAIN_USED;
constexpr uid_t kFirstLocalUid = 1024;
constexpr uid_t kGuestUid = 1025;

bool DomainJoined() {
    char value[8] = {};
    return SLIBFileGetKeyValue("/etc/qavoinfo.conf", "domainjoined", value, sizeof value, 0) > 0 &&
           strcmp(value, "yes") == 0;
}

}  // namespace

extern "C" int SDKIUserListGet(uint32_t flags, PSLIBSZLIST *list) {
    if (list && !*list) return slib::Fail(ERR_BAD_PARAMETERS);
    if (flags == 0) flags = QAVO_USER_ENUM_LOCAL | QAVO_USER_ENUM_DOMAIN;
    if (flags & QAVO_USER_ENUM_DOMAIN) flags &= ~static_cast<uint32_t>(QAVO_USER_ENUM_DOMAIN_USED);
    int count = 0;
    if (flags & QAVO_USER_ENUM_LOCAL) {
        slib::FilePtr fp(fopen("/etc/passwd", "re"));
        if (!fp) return slib::Fail(ERR_OPEN_FAILED);
        const bool guest = BlQAVOGuestSupport();
        int entries = 0;
        struct passwd *pw;
        while ((pw = fgetpwent(fp.get())) != nullptr) {
            ++entries;
            if (pw->pw_uid < kFirstLocalUid || (pw->pw_uid == kGuestUid && !guest)) continue;
            ++count;
            if (list && SLIBSzListPush(list, pw->pw_name) < 0) return -1;
        }
        // Fewer entries than root, admin (and guest) means a damaged file.
        if (entries < (guest ? 3 : 2)) return slib::Fail(ERR_SYSTEM_CALL);
    }
    if ((flags & kDomainBits) && DomainJoined()) {
        // The domain user lists come from the domain membership code, which
        // this library does not have: the count fails as a whole.
        SLIBLog(LOG_ERR, "%s(%d): domain user list not available", __FILE__, __LINE__);
        count = 0;
    }
    return count;
}

extern "C" int QAVOUserTotalNum(uint32_t flags) {
    if (flags != 0 && !(flags & 0x7)) return slib::Fail(ERR_BAD_PARAMETERS);
    if (ErrSLIBFileLock(SLIB_LOCK_PW | SLIB_LOCK_SH, 5) != 0) return slib::Fail(ERR_LOCK_FAILED);
    int n = SDKIUserListGet(flags, nullptr);
    SLIBErrSLIBFileUnlock(SLIB_LOCK_PW);
    return n;
}
