// SMB service settings: the workgroup and WINS server of smb.conf's
// [global] section, "runsamba" and "wins" of "/etc/qavoinfo.conf", and the
// WINS servers a DHCP lease offers.
#include "qavo_smb.h"

#include <arpa/inet.h>
#include <strings.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "qavo_net.h"
#include "qavo_netservice.h"
#include "qavo_share.h"
#include "service_util.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_util.h"
#include "slib_validate.h"

namespace {

using slib::Fail;

constexpr const char *kGlobal = "global";
constexpr const char *kSectionFormat = "\t%s=%s\n";
constexpr const char *kIfcfg = "/etc/sysconfig/network-scripts/ifcfg-eth0";
constexpr const char *kLease = "/etc/dhcpc/dhcpcd-eth0.info";
constexpr SLIBLOCKREQ kWriterLocks = SLIB_LOCK_QAVOINFO | SLIB_LOCK_RC | SLIB_LOCK_SMB;
constexpr int kLockTimeout = 10;

enum WinsMode { kModeNone = 0, kModeDhcp = 1, kModeManual = 2 };
enum WinsResult { kUnchanged = 0, kCleared = 1, kFromDhcp = 2, kByHand = 3 };

using qsvc::Finish;

// Named locks held for one scope, with this file's time-out.
struct Locks : slib::ScopedLock {
    Locks(uint32_t mask, SLIBLOCKREQ op) : ScopedLock(mask, op, kLockTimeout) {}
};

// A WINS server as text: four dotted decimal parts, nothing else. The
// broadcast address cannot be told from inet_addr's failure and 0 means
// "none": neither is a server.
bool ParseWins(const char *text, uint32_t &addr) {
    struct in_addr a;
    if (!text || inet_pton(AF_INET, text, &a) != 1) return false;
    if (a.s_addr == 0 || a.s_addr == 0xFFFFFFFFu) return false;
    addr = a.s_addr;
    return true;
}

std::string Dotted(uint32_t addr) {
    if (addr == 0) return "";
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

using HashPtr = slib::SzHashPtr;

// [global] read into a hash without its comment keys; null (logged) on failure.
HashPtr ReadGlobal(int line) {
    PSLIBSZHASH raw = PshSLIBSzHashAlloc(1024);
    if (!raw) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    if (SLIBFileGetSection(SZF_QAVO_SMB_CONF, kGlobal, &raw) < 0) {
        SLIBLog(LOG_ERR, "(%d) SLIBFileGetSection failed [%X]!!", line, SLIBErrGet());
        SLIBSzHashFree(raw);
        return nullptr;
    }
    SDKIHashRemoveComments(raw);
    return HashPtr(raw);
}

bool WriteGlobal(PSLIBSZHASH hash, int line) {
    // 1 when [global] was replaced; 0 (no such section) wrote nothing.
    const int r = ErrSLIBFileSetSection(SZF_QAVO_SMB_CONF, kGlobal, nullptr, hash, kSectionFormat);
    if (r != 1) {
        if (r == 0) SLIBErrSet(ERR_NOT_FOUND);
        SLIBLog(LOG_ERR, "(%d) ErrSLIBFileSetSection failed [%X]!!", line, SLIBErrGet());
        return false;
    }
    return true;
}

bool SetValue(HashPtr &hash, const char *key, const char *value) {
    PSLIBSZHASH raw = hash.release();
    const int r = SLIBSzHashSetValue(&raw, key, value);
    hash.reset(raw);
    return r >= 0;
}

// The first WINS server a DHCP lease offers (the text up to a blank, a
// comma or a line end), as a checked address; empty when it offers none or
// a text that is no address.
int DhcpWins(std::string &server) {
    server.clear();
    char buf[256] = "";
    const int r = QAVOWinGetDHCPWins(buf, sizeof buf);
    if (r <= 0) return r;
    std::string_view v(buf);
    v = v.substr(0, v.find_first_of(" ,\t\r\n"));
    std::string first(v);
    uint32_t addr;
    if (!ParseWins(first.c_str(), addr)) {
        SLIBLog(LOG_ERR, "%s(%d): the DHCP lease's WINS server [%s] is no address", __func__,
                __LINE__, first.c_str());
        return 0;
    }
    server = first;
    return 1;
}

}  // namespace

extern "C" int SDKIHashRemoveComments(PSLIBSZHASH pshSection) {
    if (!pshSection) return Fail(ERR_BAD_PARAMETERS);
    PSLIBSZLIST list = PslSLIBSzListAlloc(1024);
    if (!list) return Fail(ERR_OUT_OF_MEMORY);
    slib::SzListPtr keys(list);
    list = keys.release();
    const int n = SLIBSzHashEnumKey(pshSection, &list);
    keys.reset(list);
    if (n < 0) return Fail(ERR_OUT_OF_MEMORY);
    for (int i = 0; i < keys->nItem; ++i) {
        const char *k = keys->pszItem[i];
        if (k[0] == ';' || k[0] == '#') SzSLIBSzHashRemoveKey(pshSection, k);
    }
    return 0;
}

extern "C" int QAVOWinGetConf(int type, void *buf, int size, int *pNeeded) {
    Locks locks(SLIB_LOCK_SMB, SLIB_LOCK_EX);
    if (!locks.Held()) return -1;
    if (!pNeeded || type != QAVO_WINCONF_TYPE || size < 0 || (!buf && size > 0)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return Finish(locks, -1);
    }
    char workgroup[1024] = "";
    if (SLIBFileGetKeyValue(SZF_QAVO_SMB_CONF, "workgroup", workgroup, sizeof workgroup, 0) < 0)
        return Finish(locks, -1);
    const size_t len = strlen(workgroup);
    const size_t need = sizeof(QAVOWINCONF) + len + 1;
    *pNeeded = static_cast<int>(need);
    if (!buf || static_cast<size_t>(size) < need) return Finish(locks, 0);

    char item[64] = "";
    const int r =
        QAVOIGetKeyValueFirstItem(SZF_QAVO_SMB_CONF, "wins server", ',', item, sizeof item);
    if (r < 0) return Finish(locks, -1);
    uint32_t wins = 0;
    if (r > 0 && item[0] != '\0' && !ParseWins(item, wins)) {
        SLIBLog(LOG_ERR, "%s(%d): \"wins server\" [%s] is no address, read as none", __func__,
                __LINE__, item);
        wins = 0;
    }
    auto *conf = static_cast<QAVOWINCONF *>(buf);
    char *text = static_cast<char *>(buf) + sizeof(QAVOWINCONF);
    memcpy(text, workgroup, len + 1);
    conf->szWorkgroup = text;
    conf->ulWins = wins;
    return Finish(locks, 1);
}

extern "C" int QAVOWinGetDHCPWins(char *szBuf, int cbBuf) {
    if (!szBuf || cbBuf <= 0) return Fail(ERR_BAD_PARAMETERS);
    char proto[8] = "";
    if (SLIBFileGetKeyValue(kIfcfg, "BOOTPROTO", proto, sizeof proto, 0) <= 0)
        return Fail(ERR_READ_FAILED);
    if (strcmp(proto, "static") == 0) return 0;
    const int r = SLIBFileGetKeyValue(kLease, "WINSSERVERS", szBuf, cbBuf, 0);
    if (r < 0) return Fail(ERR_READ_FAILED);
    return r > 0 ? 1 : 0;
}

extern "C" int QAVOWinSetWINS(const char *szCurrentWins, const char *szNewWins, int restart) {
    if (!szCurrentWins || !szNewWins) return Fail(ERR_BAD_PARAMETERS);
    // Only a new server is written into [global]: it must be an address.
    uint32_t unused;
    if (szNewWins[0] != '\0' && strcmp(szNewWins, szCurrentWins) != 0 &&
        !ParseWins(szNewWins, unused))
        return Fail(ERR_BAD_PARAMETERS);
    Locks locks(kWriterLocks, SLIB_LOCK_EX);
    if (!locks.Held()) return Fail(ERR_LOCK_FAILED);
    try {
        char runsamba[256] = "";
        if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "runsamba", runsamba, sizeof runsamba, 0) <=
            0) {
            SLIBLog(LOG_ERR, "(%d) runsamba cannot be read [%X]!!", __LINE__, SLIBErrGet());
            return Finish(locks, -1);
        }
        const int action = restart && strcmp(runsamba, "yes") == 0 ? NETSERV_RESTART : 0;
        char winsKey[256] = "";
        if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "wins", winsKey, sizeof winsKey, 0) <= 0) {
            SLIBLog(LOG_ERR, "(%d) wins cannot be read [%X]!!", __LINE__, SLIBErrGet());
            return Finish(locks, -1);
        }
        const WinsMode mode = strcasecmp(winsKey, "manual") == 0 ? kModeManual
                              : strcasecmp(winsKey, "dhcp") == 0 ? kModeDhcp
                                                                 : kModeNone;
        HashPtr global = ReadGlobal(__LINE__);
        if (!global) return Finish(locks, -1);

        int result = kUnchanged;
        const char *newMode = nullptr;
        std::string server;
        auto clear = [&] {
            SzSLIBSzHashRemoveKey(global.get(), "wins server");
            newMode = "none";
            result = kCleared;
        };
        auto fromDhcp = [&]() -> bool {
            if (!SetValue(global, "wins server", server.c_str())) return false;
            newMode = "dhcp";
            result = kFromDhcp;
            return true;
        };
        if (szNewWins[0] == '\0') {
            if (DhcpWins(server) > 0) {
                if (!fromDhcp()) return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
            } else if (mode != kModeNone) {
                clear();
            }
        } else if (strcmp(szNewWins, szCurrentWins) == 0) {
            if (mode == kModeDhcp) {
                if (DhcpWins(server) > 0) {
                    if (server == szCurrentWins) return Finish(locks, kUnchanged);
                    if (!fromDhcp()) return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
                } else {
                    clear();
                }
            }
        } else {
            if (!SetValue(global, "wins server", szNewWins))
                return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
            newMode = "manual";
            result = kByHand;
        }
        if (result == kUnchanged) return Finish(locks, kUnchanged);

        // smb.conf first: "wins" never names a choice that is not in place.
        if (!WriteGlobal(global.get(), __LINE__)) return Finish(locks, -1);
        if (SLIBFileSetOrAddKeyValue(SLIB_QAVOINFO_PATH, "wins", newMode,
                                     SLIB_KEYVALUE_FMT_QUOTED) < 0) {
            SLIBLog(LOG_ERR, "(%d) set wins failed [%X]!!", __LINE__, SLIBErrGet());
            return Finish(locks, -1);
        }
        if (action != 0 && QAVONetService(NETSERV_SMB, action) < 0) {
            SLIBLog(LOG_ERR, "(%d) QAVONetService failed [%X]!!", __LINE__, SLIBErrGet());
            return Finish(locks, -1);
        }
        return Finish(locks, result);
    } catch (const std::bad_alloc &) {
        return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
    }
}

extern "C" int QAVOWinRefreshWINS(int restart) {
    Locks locks(kWriterLocks, SLIB_LOCK_EX);
    if (!locks.Held()) return Fail(ERR_LOCK_FAILED);
    char current[64] = "";
    if (SLIBFileGetKeyValue(SZF_QAVO_SMB_CONF, "wins server", current, sizeof current, 0) < 0)
        return Finish(locks, -1);
    return Finish(locks, QAVOWinSetWINS(current, current, restart));
}

extern "C" int QAVOWinSetConf(int type, const QAVOWINCONF *pConf) {
    if (!pConf) return Fail(ERR_BAD_PARAMETERS);
    Locks locks(kWriterLocks, SLIB_LOCK_EX);
    if (!locks.Held()) return -1;
    const char *workgroup = pConf->szWorkgroup;
    const bool newGroup = workgroup && workgroup[0] != '\0';
    // Both reach smb.conf's [global]: a line break there would add sections.
    if (type != QAVO_WINCONF_TYPE || (newGroup && !BlSLIBIsWorkGroupName(workgroup)) ||
        pConf->ulWins == 0xFFFFFFFFu) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return Finish(locks, -1);
    }
    try {
        int needed = 0;
        if (QAVOWinGetConf(type, nullptr, 0, &needed) < 0 || needed <= 0) return Finish(locks, -1);
        std::vector<char> buf(static_cast<size_t>(needed));
        if (QAVOWinGetConf(type, buf.data(), needed, &needed) != 1) return Finish(locks, -1);
        const auto *current = reinterpret_cast<const QAVOWINCONF *>(buf.data());

        bool groupChanged = false;
        if (newGroup && current->szWorkgroup[0] != '\0' &&
            strcasecmp(workgroup, current->szWorkgroup) != 0) {
            HashPtr global = ReadGlobal(__LINE__);
            if (!global) return Finish(locks, -1);
            if (!SetValue(global, "workgroup", workgroup))
                return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
            if (!WriteGlobal(global.get(), __LINE__)) return Finish(locks, -1);
            groupChanged = true;
        }
        const std::string cur = Dotted(current->ulWins), next = Dotted(pConf->ulWins);
        const int wins = QAVOWinSetWINS(cur.c_str(), next.c_str(), 0);
        if (wins < 0) {
            SLIBLog(LOG_ERR, "(%d) QAVOWinSetWINS() failed [%X]!!", __LINE__, SLIBErrGet());
            return Finish(locks, -1);
        }
        if (wins == 0 && !groupChanged) return Finish(locks, 1);
        if (SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "runsamba", "yes", SLIB_KEYVALUE_FMT_QUOTED) <
            0) {
            SLIBLog(LOG_ERR, "(%d) set runsamba failed [%X]!!", __LINE__, SLIBErrGet());
            return Finish(locks, -1);
        }
        const int done = QAVONetService(NETSERV_SMB, NETSERV_RESTART);
        if (done != NETSERV_DONE_SMB) {
            SLIBLog(LOG_ERR, "(%d) QAVONetService() returned %d [%X]!!", __LINE__, done,
                    SLIBErrGet());
            return Finish(locks, -1);
        }
        return Finish(locks, 1);
    } catch (const std::bad_alloc &) {
        return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
    }
}
