// The USB backup disk's share list, kept as "usbbkpshares" in the settings.
#include "qavo_usbbackup.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

constexpr size_t kSlotWord = sizeof(char *) + USBBKP_SHARE_SLOT;

// The names of "usbbkpshares", empty ones skipped; false on a read error.
bool ReadShares(std::vector<std::string> *names) {
    char bound[8] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_MAXSHARES, bound, 6, 0) < 0) {
        SLIBLog(LOG_ERR, "%s: Cannot get key value of %s", "USBBKPGetBackupShares", SZK_MAXSHARES);
        return false;
    }
    // Without a bound the value is read whole.
    const long max = strtol(bound, nullptr, 10);
    int need = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_USBBKP_SHARES, nullptr, 0, 0);
    if (need < 0) {
        SLIBLog(LOG_ERR, "%s: Key %s doesn't be defined or no value is assigned to key",
                "USBBKPGetBackupShares", SZK_USBBKP_SHARES);
        return false;
    }
    if (need == 0) return true;
    if (max > 0 && max < INT_MAX / USBBKP_SHARE_SLOT && need > max * USBBKP_SHARE_SLOT) {
        need = static_cast<int>(max * USBBKP_SHARE_SLOT);
    }
    std::vector<char> value(static_cast<size_t>(need) + 1);
    const int n = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_USBBKP_SHARES, value.data(),
                                      static_cast<int>(value.size()), 0);
    if (n < 0 && SLIBErrGet() != ERR_BUF_TOO_SMALL) return false;
    const char *p = value.data();
    while (*p) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        if (len > 0) names->emplace_back(p, len < USBBKP_SHARE_SLOT ? len : USBBKP_SHARE_SLOT - 1);
        if (!comma) break;
        p = comma + 1;
    }
    return true;
}

// The index of the first non-empty name equal to wanted without regard to case.
int FindName(char **names, int count, const char *wanted) {
    for (int i = 0; i < count; ++i) {
        if (names[i] && *names[i] && SLIBUnicodeUTF8StrCaseCmp(names[i], wanted) == 0) return i;
    }
    return -1;
}

}  // namespace

extern "C" int USBBKPGetBackupShares(char **buf, int size, int *needed) {
    if (!needed || (buf && size <= 0) || (!buf && size != 0)) return slib::Fail(ERR_BAD_PARAMETERS);
    *needed = 0;
    try {
        std::vector<std::string> names;
        if (!ReadShares(&names)) return -1;
        if (names.size() > static_cast<size_t>(INT_MAX) / kSlotWord) {
            return slib::Fail(ERR_BUF_TOO_SMALL);
        }
        if (!buf) {
            *needed = static_cast<int>(kSlotWord * names.size());
            return static_cast<int>(names.size());
        }
        char *const end = reinterpret_cast<char *>(buf) + size;
        for (size_t i = 0; i < names.size(); ++i) {
            *needed += static_cast<int>(kSlotWord);
            if (*needed > size) return slib::Fail(ERR_BUF_TOO_SMALL);
            char *slot = end - USBBKP_SHARE_SLOT * (i + 1);
            memset(slot, 0, USBBKP_SHARE_SLOT);
            memcpy(slot, names[i].c_str(), names[i].size());
            buf[i] = slot;
        }
        return static_cast<int>(names.size());
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int USBBKPSetBackupShares(char **names, int count) {
    if (!names) {
        SLIBLog(LOG_ERR, "%s: pszList shouldn't be NULL", __func__);
        return -1;
    }
    try {
        std::string value;
        for (int i = 0; i < count; ++i) {
            if (!names[i] || !*names[i]) continue;
            if (!slib::OneLine(names[i]) || strchr(names[i], '"')) return -1;
            if (!value.empty()) value += ',';
            value += names[i];
        }
        if (SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, SZK_USBBKP_SHARES, value.c_str(),
                                SLIB_KEYVALUE_FMT_QUOTED) < 0) {
            SLIBLog(LOG_ERR, "%s: SLIBFileSetKeyValue() failed", __func__);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s: malloc() failed", __func__);
        return -1;
    }
}

extern "C" int USBBKPDeleteBackupShare(char **names, const char *share, int count) {
    if (!names) {
        SLIBLog(LOG_ERR, "%s: pszList shouldn't be NULL", __func__);
        return -1;
    }
    if (!share) {
        SLIBLog(LOG_ERR, "%s: szDeleteShare shouldn't be NULL", __func__);
        return -1;
    }
    if (count <= 0) {
        SLIBLog(LOG_ERR, "%s: cbElements should be greater than 0", __func__);
        return -1;
    }
    const int i = FindName(names, count, share);
    if (i < 0) return 0;
    names[i][0] = '\0';
    if (USBBKPSetBackupShares(names, count) != 0) {
        SLIBLog(LOG_ERR, "USBBKPSetBackupShares() failed cbElement = %d", count);
        return -1;
    }
    return 0;
}

extern "C" int USBBKPRenameBackupShare(char **names, const char *oldName, const char *newName,
                                       int count) {
    if (!names) {
        SLIBLog(LOG_ERR, "%s: pszList shouldn't be NULL", __func__);
        return -1;
    }
    if (!oldName || !newName) {
        SLIBLog(LOG_ERR, "%s: szOldShare shouldn't be NULL", __func__);
        return -1;
    }
    if (count < 0) {
        SLIBLog(LOG_ERR, "%s: cbElements should be grater than 0", __func__);
        return -1;
    }
    const int i = FindName(names, count, oldName);
    if (i < 0) return 0;
    char *const kept = names[i];
    names[i] = const_cast<char *>(newName);
    const int rc = USBBKPSetBackupShares(names, count);
    names[i] = kept;
    return rc;
}
