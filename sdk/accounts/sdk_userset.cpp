// Working hashes of an account transaction: every key is the user name
// upper-cased, so that names match without regard to case; a record's
// address is stored as text ("%p") and read back as a hexadecimal number.
#include "sdk_userset.h"

#include <syslog.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "slib_errcode.h"
#include "slib_unicode.h"

namespace {

// The hash key of a name; false (logged with the operation's name) when it
// cannot be upper-cased into the key buffer.
bool UserKey(const char *op, const char *name, char (&key)[SDKI_USER_KEY_SIZE]) {
    int n = SLIBUnicodeUTF8StrUpper(name, key, sizeof key);
    if (n < 0 || n >= static_cast<int>(sizeof key)) {
        SLIBLog(LOG_ERR, "qavouser: %s(): SLIBUnicodeUTF8StrUpper() failed; [user name] = [%s]\n",
                op, name);
        return false;
    }
    return true;
}

}  // namespace

extern "C" int SDKISetUserPtr(PSLIBSZHASH *pphash, const char *name, const QAVOUSERSET *record) {
    if (!pphash || !*pphash || !name || !record) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    char key[SDKI_USER_KEY_SIZE];
    if (!UserKey("SDKISetUserPtr", name, key)) return -1;
    if (SzSLIBSzHashGetValue(*pphash, key)) {
        SLIBLog(LOG_ERR, "qavouser: SDKISetUserPtr(): Duplicate user names\n");
        SLIBErrSet(ERR_BAD_USER);
        return -1;
    }
    char value[32];
    snprintf(value, sizeof value, "%p", static_cast<const void *>(record));
    return SLIBSzHashSetValue(pphash, key, value) < 0 ? -1 : 0;
}

extern "C" int SDKIGetUserPtr(PSLIBSZHASH hash, const char *name, PQAVOUSERSET *record) {
    if (!hash || !name || !record) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    char key[SDKI_USER_KEY_SIZE];
    if (!UserKey("SDKIGetUserPtr", name, key)) return 0;
    const char *value = SzSLIBSzHashGetValue(hash, key);
    if (!value) return 0;
    char *end = nullptr;
    errno = 0;
    uintmax_t address = strtoumax(value, &end, 16);
    if (errno != 0 || end == value || *end != '\0' || address == 0 || address > UINTPTR_MAX) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    *record = reinterpret_cast<PQAVOUSERSET>(static_cast<uintptr_t>(address));
    return 1;
}

extern "C" int SDKIUserHashSet(PSLIBSZHASH *pphash, const char *name, const char *value) {
    if (!pphash || !*pphash || !name || !value) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    char key[SDKI_USER_KEY_SIZE];
    if (!UserKey("SDKIUserHashSet", name, key)) return -1;
    return SLIBSzHashSetValue(pphash, key, value);
}

extern "C" const char *SDKIUserHashGet(PSLIBSZHASH hash, const char *name) {
    if (!hash || !name) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return nullptr;
    }
    char key[SDKI_USER_KEY_SIZE];
    if (!UserKey("SDKIUserHashGet", name, key)) return nullptr;
    return SzSLIBSzHashGetValue(hash, key);
}
