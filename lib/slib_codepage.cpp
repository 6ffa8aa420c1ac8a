#include "slib_codepage.h"

#include <cstring>

#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

// Setting value of each code-page index ("codepage" keys of /etc/qavoinfo.conf).
const char *const CODEPAGE_NUM_TABLE[33] = {
    "8",    "437",  "737",  "850",   "852",   "861",   "866",   "932",  "936",  "949",  "950",
    "1250", "1251", "1252", "1253",  "1437",  "1737",  "1850",  "1852", "1861", "1866", "1932",
    "1936", "1949", "1950", "11250", "11251", "11252", "11253", "2932", "2936", "2949", "2950"};

// The key of a code-page setting; null for an unknown one.
const char *CodePageKey(int which) {
    switch (which) {
        case SLIB_CODEPAGE_WIN:
            return "codepage";
        case SLIB_CODEPAGE_APPLE:
            return "codepage_apple";
        case SLIB_CODEPAGE_MEDIASERVICE:
            return "codepage_mediaservice";
        default:
            return nullptr;
    }
}

}  // namespace

extern "C" int SLIBUnicodeGetCodePage(int which, int *index) {
    const char *key = CodePageKey(which);
    if (!key || !index) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    char value[32];
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, value, sizeof value, 0) <= 0) return -1;
    for (int i = 0; i < static_cast<int>(sizeof CODEPAGE_NUM_TABLE / sizeof *CODEPAGE_NUM_TABLE);
         ++i) {
        if (strcmp(value, CODEPAGE_NUM_TABLE[i]) == 0) {
            *index = i;
            return 1;
        }
    }
    SLIBErrSet(ERR_NOT_FOUND);
    return -1;
}

extern "C" int BlSLIBIsCodePageNumber(const char *value) {
    if (!value) return 0;
    for (const char *number : CODEPAGE_NUM_TABLE)
        if (strcmp(value, number) == 0) return 1;
    return 0;
}

extern "C" int SLIBUnicodeSetCodePage(int which, int index) {
    constexpr int kSettings = sizeof CODEPAGE_NUM_TABLE / sizeof *CODEPAGE_NUM_TABLE;
    if ((which != SLIB_CODEPAGE_WIN && which != SLIB_CODEPAGE_APPLE) || index < 0 ||
        index >= kSettings) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    if (SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, CodePageKey(which), CODEPAGE_NUM_TABLE[index],
                            SLIB_KEYVALUE_FMT_QUOTED) < 0)
        return -1;
    return 1;
}
