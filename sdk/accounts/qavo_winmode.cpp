// Whether the appliance is a member of a Windows domain (or an ADS realm) or
// of a workgroup, from the SMB configuration, and whether an account name is
// a local or a domain account.
#include <strings.h>
#include <syslog.h>

#include <cstring>

#include "qavo_accfile.h"
#include "qavo_windomain.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_util.h"

namespace {

using slib::Fail;

// Frees a hash that may move while it is filled.
struct HashGuard {
    PSLIBSZHASH *hash;
    ~HashGuard() { SLIBSzHashFree(*hash); }
};

constexpr int kGlobalHashSize = 8192;
constexpr int kModeBuf = 1024;
}  // namespace

extern "C" int WINIQuery1(char *buf, int size, int *isDomain) {
    if (!buf || size < 1 || !isDomain) return Fail(ERR_BAD_PARAMETERS);
    PSLIBSZHASH raw = PshSLIBSzHashAlloc(kGlobalHashSize);
    if (!raw) return Fail(ERR_OUT_OF_MEMORY);
    HashGuard guard{&raw};
    if (SLIBFileGetSection(SZF_SMB_CONF, "global", &raw) < 0) {
        SLIBLog(LOG_ERR, "SLIBFileGetSection failed [%X]!!", SLIBErrGet());
        return -1;
    }
    const char *security = SzSLIBSzHashGetValue(raw, "security");
    if (!security) {
        SLIBLog(LOG_ERR, "key [security] not found or error!!");
        return -1;
    }
    const bool ads = strcasecmp(security, "ads") == 0;
    const char *value = SzSLIBSzHashGetValue(raw, ads ? "realm" : "workgroup");
    if (!value) {
        SLIBLog(LOG_ERR,
                ads ? "key [realm] not found or error!!" : "key [workgroup] not found or error!!");
        return -1;
    }
    memset(buf, 0, static_cast<size_t>(size));
    strncpy(buf, value, static_cast<size_t>(size) - 1);
    *isDomain = ads || strcasecmp(security, "domain") == 0 ? 1 : 0;
    return 0;
}

extern "C" int IsDomainUG(const char *name) {
    if (!name) return Fail(ERR_BAD_PARAMETERS);
    char mode[kModeBuf];
    int isDomain = 0;
    if (WINIQuery1(mode, sizeof mode, &isDomain) < 0) {
        SLIB_LOG_FUNC(LOG_ERR, "%s(%d) WINIQuery1 fail\n");
        return -1;
    }
    if (!isDomain) return QAVO_ACCOUNT_LOCAL;
    return PpwSLIBGetLocalPwNam(name) ? QAVO_ACCOUNT_LOCAL : QAVO_ACCOUNT_DOMAIN;
}
