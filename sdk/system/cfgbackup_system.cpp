// Configuration backup sections of the system and network settings: time
// and NTP, host name, code page, mail, AppleTalk transports, workgroup and
// WINS, PPPoE, the web management port and the MTU.
#include <errno.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cfgbackup.h"
#include "cfgbackup_util.h"
#include "qavo_apple.h"
#include "qavo_mail.h"
#include "qavo_net.h"
#include "qavo_servsetting.h"
#include "qavo_smb.h"
#include "qavo_time.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_util.h"

using cfgbkp::BadFd;
using cfgbkp::Event;
using cfgbkp::Failed;
using cfgbkp::ReadStr;
using cfgbkp::Section;
using cfgbkp::Str;

namespace {

// Copies s into a fixed field of max characters; false when it is longer.
template <size_t N>
bool CopyField(char (&dst)[N], const char *s) {
    if (strlen(s) >= N) return false;
    memcpy(dst, s, strlen(s) + 1);
    return true;
}

std::string ZoneName(bool *ok) {
    int need = 0;
    *ok = false;
    if (QAVOZoneGet(nullptr, 0, &need) != 0 || need <= 0) {
        BKP_LOG("fail to get zone size");
        return "";
    }
    std::vector<char> buf(static_cast<size_t>(need) + 1, '\0');
    if (QAVOZoneGet(buf.data(), need, &need) != 0) {
        BKP_LOG("fail to get zone size");
        return "";
    }
    *ok = true;
    return buf.data();
}

constexpr uint32_t kTimeEx = 0x12100001, kTimeIm = 0x12100002;
constexpr uint32_t kHostEx = 0x12100003, kHostIm = 0x12100004;
constexpr uint32_t kLangEx = 0x12100007, kLangIm = 0x12100008;
constexpr uint32_t kMailEx = 0x12100009, kMailIm = 0x1210000a;
constexpr uint32_t kAppleEx = 0x1210000d, kAppleIm = 0x1210000e;
constexpr uint32_t kWinEx = 0x1210000f, kWinIm = 0x12100010;
constexpr uint32_t kPppoeEx = 0x1210001b, kPppoeIm = 0x1210001c;
constexpr uint32_t kHttpEx = 0x12100109, kHttpIm = 0x1210010a;
constexpr uint32_t kMtuEx = 0x12100103, kMtuIm = 0x12100104;

}  // namespace

extern "C" int QAVOSysbkpTimeExport(int fd) {
    if (BadFd(fd)) return -1;
    int t[6];
    QAVONTPINFO ntp;
    int daylight = 0;
    bool zoneOk = false;
    if (QAVOTimeGetLocal(t) != 0) {
        BKP_LOG("fail to get time");
        return Failed(kTimeEx);
    }
    if (QAVONTPGet(&ntp) != 1) {
        BKP_LOG("fail to get NTP setting");
        return Failed(kTimeEx);
    }
    const std::string zone = ZoneName(&zoneOk);
    if (!zoneOk || QAVOZoneIsDayLightSaving(&daylight) != 0) return Failed(kTimeEx);
    char now[64];
    snprintf(now, sizeof(now), "%4d/%02d/%02d %02d:%02d:%02d", t[0], t[1], t[2], t[3], t[4], t[5]);
    Section sec(fd, QAVOSYSBKP_ID_TIME);
    if (!sec.Ok()) return Failed(kTimeEx);
    if (QAVOSysbkpIWriteString(fd, now) != 0 || QAVOSysbkpIWriteLong(fd, ntp.fEnabled) != 0 ||
        QAVOSysbkpIWriteString(fd, ntp.szPeriod) != 0 ||
        QAVOSysbkpIWriteString(fd, ntp.szServer) != 0 ||
        QAVOSysbkpIWriteString(fd, ntp.szServerBackup) != 0 ||
        QAVOSysbkpIWriteString(fd, zone.c_str()) != 0 || QAVOSysbkpIWriteLong(fd, daylight) != 0) {
        BKP_LOG("fail to write time setting");
        return Failed(kTimeEx);
    }
    return sec.Finish() ? 0 : Failed(kTimeEx);
}

extern "C" int QAVOSysbkpTimeImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    Str now, period, ntp1, ntp2, zone;
    long run = 0, daylight = 0;
    if (!ReadStr(fd, now)) return BKP_LOG("fail to read szTime"), Failed(kTimeIm);
    if (QAVOSysbkpIReadLong(fd, &run) != 0) return BKP_LOG("fail to read runNTP"), Failed(kTimeIm);
    if (!ReadStr(fd, period)) return BKP_LOG("fail to read szPeriod"), Failed(kTimeIm);
    if (!ReadStr(fd, ntp1)) return BKP_LOG("fail to read szNTP1"), Failed(kTimeIm);
    if (!ReadStr(fd, ntp2)) return BKP_LOG("fail to read szNTP2"), Failed(kTimeIm);
    if (!ReadStr(fd, zone)) return BKP_LOG("fail to read szTimeZone"), Failed(kTimeIm);
    if (QAVOSysbkpIReadLong(fd, &daylight) != 0)
        return BKP_LOG("fail to read daylight"), Failed(kTimeIm);
    QAVONTPINFO stored{}, current{};
    stored.fEnabled = static_cast<int>(run);
    if (!CopyField(stored.szPeriod, period.get()) || !CopyField(stored.szServer, ntp1.get()) ||
        !CopyField(stored.szServerBackup, ntp2.get())) {
        BKP_LOG("fail to read szPeriod");
        return Failed(kTimeIm);
    }
    if (QAVONTPGet(&current) != 1)
        return BKP_LOG("fail to get current NTP setting"), Failed(kTimeIm);
    const bool differs = stored.fEnabled != current.fEnabled ||
                         strcmp(stored.szPeriod, current.szPeriod) != 0 ||
                         strcmp(stored.szServer, current.szServer) != 0 ||
                         strcmp(stored.szServerBackup, current.szServerBackup) != 0;
    if (!current.fEnabled || (overwrite && differs)) {
        if (QAVONTPSet(&stored) != 1) return BKP_LOG("fail to set NTP"), Failed(kTimeIm);
    }
    if (!overwrite) return 0;
    bool zoneOk = false;
    const std::string curZone = ZoneName(&zoneOk);
    int curDaylight = 0;
    if (!zoneOk || QAVOZoneIsDayLightSaving(&curDaylight) != 0) return Failed(kTimeIm);
    if (curZone != zone.get() || (curDaylight != 0) != (daylight != 0)) {
        if (QAVOZoneSet(zone.get(), daylight != 0) != 1)
            return BKP_LOG("fail to set timezone"), Failed(kTimeIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpHostnameExport(int fd) {
    if (BadFd(fd)) return -1;
    char name[64] = "";
    const int r = QAVOLnxGetHostname(name);
    if (r < 0) {
        BKP_LOG("QAVOLnxGetHostname failed.(%X)", SLIBErrGet());
        return Failed(kHostEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_HOSTNAME);
    if (!sec.Ok()) return Failed(kHostEx);
    if (QAVOSysbkpIWriteString(fd, name) != 0) {
        BKP_LOG("fail to write hostname");
        return Failed(kHostEx);
    }
    return sec.Finish() ? 0 : Failed(kHostEx);
}

extern "C" int QAVOSysbkpHostnameImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    Str name;
    if (!ReadStr(fd, name)) return BKP_LOG("fail to write hostname"), Failed(kHostIm);
    char current[64] = "";
    if (QAVOLnxGetHostname(current) < 0) {
        BKP_LOG("QAVOLnxGetHostname failed.(%X)", SLIBErrGet());
        return Failed(kHostIm);
    }
    if (!overwrite || strcmp(current, name.get()) == 0) return 0;
    const int r = QAVOLnxSetHostname(name.get());
    if (r != 0) {
        BKP_LOG("call QAVOLnxSetHostname and fail and return %d, errno=0x%04X\n", r, SLIBErrGet());
        return Failed(kHostIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpLangExport(int fd) {
    if (BadFd(fd)) return -1;
    int index = 0;
    if (QAVOCodePageGet(1, &index) != 1) {
        BKP_LOG("fail to get codepage");
        return Failed(kLangEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_LANG);
    if (!sec.Ok()) return Failed(kLangEx);
    if (QAVOSysbkpIWriteLong(fd, index) != 0) {
        BKP_LOG("fail to write codepage[%d]", index);
        return Failed(kLangEx);
    }
    return sec.Finish() ? 0 : Failed(kLangEx);
}

extern "C" int QAVOSysbkpLangImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    long stored = 0;
    if (QAVOSysbkpIReadLong(fd, &stored) != 0)
        return BKP_LOG("fail to read codepage"), Failed(kLangIm);
    int current = 0;
    if (QAVOCodePageGet(1, &current) != 1) return BKP_LOG("fail to get codepage"), Failed(kLangIm);
    if (!overwrite || stored == current) return 0;
    if (QAVOCodePageSet(1, static_cast<int>(stored)) != 1)
        return BKP_LOG("fail to set code page"), Failed(kLangIm);
    return 0;
}

extern "C" int QAVOSysbkpMailExport(int fd) {
    if (BadFd(fd)) return -1;
    int need = 0;
    if (QAVOMailGet(QAVO_MAIL_TYPE, nullptr, 0, &need) != 1 || need <= 0) {
        BKP_LOG("QAVOMailGet return -1");
        return Failed(kMailEx);
    }
    std::vector<char> buf(static_cast<size_t>(need) + sizeof(QAVOMAILSETTING));
    auto *m = reinterpret_cast<QAVOMAILSETTING *>(buf.data());
    if (QAVOMailGet(QAVO_MAIL_TYPE, m, static_cast<int>(buf.size()), &need) != 1) {
        BKP_LOG("QAVOMailGet return -1");
        return Failed(kMailEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_MAIL);
    if (!sec.Ok()) return Failed(kMailEx);
    if (QAVOSysbkpIWriteString(fd, m->szSmtp) != 0) {
        BKP_LOG("fail to write psmGet->szSmtp[%s]", m->szSmtp);
        return Failed(kMailEx);
    }
    if (QAVOSysbkpIWriteString(fd, m->szMail1) != 0 ||
        QAVOSysbkpIWriteString(fd, m->szMail2) != 0 || QAVOSysbkpIWriteLong(fd, m->blTest) != 0) {
        BKP_LOG("fail to write mail setting");
        return Failed(kMailEx);
    }
    return sec.Finish() ? 0 : Failed(kMailEx);
}

extern "C" int QAVOSysbkpMailImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    Str smtp, mail1, mail2;
    long test = 0;
    if (!ReadStr(fd, smtp)) return BKP_LOG("fail to read mail smtp info"), Failed(kMailIm);
    if (!ReadStr(fd, mail1)) return BKP_LOG("fail to read mail szMail1 info"), Failed(kMailIm);
    if (!ReadStr(fd, mail2)) return BKP_LOG("fail to read mail szMail2 info"), Failed(kMailIm);
    if (QAVOSysbkpIReadLong(fd, &test) != 0)
        return BKP_LOG("fail to read mail blTest"), Failed(kMailIm);
    std::string curSmtp, curMail1, auth;
    if (!cfgbkp::InfoKey("eventsmtp", curSmtp, 255))
        return BKP_LOG("fail to get event_smtp"), Failed(kMailIm);
    if (!cfgbkp::InfoKey("eventmail1", curMail1, 255))
        return BKP_LOG("fail to get event_email1"), Failed(kMailIm);
    if (!curSmtp.empty() || !curMail1.empty()) {
        if (!overwrite || (curSmtp == smtp.get() && curMail1 == mail1.get())) return 0;
    }
    // The account and its authentication switch are not in the file: keep
    // what is set (the setter leaves NULL strings as they are).
    if (!cfgbkp::InfoKey("eventauth", auth, 31)) auth.clear();
    QAVOMAILSETTING m{};
    m.szSmtp = smtp.get();
    m.szMail1 = mail1.get();
    m.szMail2 = mail2.get();
    m.blTest = 0;  // no test mail from a restore
    m.szUser = nullptr;
    m.szPass = nullptr;
    m.blAuth = auth == "yes";
    if (QAVOMailSet(QAVO_MAIL_TYPE, &m) != 1)
        return BKP_LOG("call QAVOMailSet fail"), Failed(kMailIm);
    slib::ScopedLock lock(SLIB_LOCK_QAVOINFO, SLIB_LOCK_EX, 5);
    if (!lock.Held() ||
        SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "eventtest", test ? "on" : "off",
                            SLIB_KEYVALUE_FMT_QUOTED) < 0 ||
        !lock.Release()) {
        BKP_LOG("call QAVOMailSet fail");
        return Failed(kMailIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpAppleExport(int fd) {
    if (BadFd(fd)) return -1;
    const int bits = QAVOAppleQueryNetwork();
    if (bits < 0) {
        SLIBLog(LOG_ERR, "QAVOAppleQueryNetwork(): %ld errno=%08lX\n", static_cast<long>(bits),
                static_cast<unsigned long>(SLIBErrGet()));
        return Failed(kAppleEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_APPLE);
    if (!sec.Ok()) return Failed(kAppleEx);
    if (QAVOSysbkpIWriteLong(fd, bits & 3) != 0) {
        BKP_LOG("fail to write apple setting");
        return Failed(kAppleEx);
    }
    return sec.Finish() ? 0 : Failed(kAppleEx);
}

extern "C" int QAVOSysbkpAppleImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    long bits = 0;
    if (QAVOSysbkpIReadLong(fd, &bits) != 0)
        return BKP_LOG("fail to read apple setting"), Failed(kAppleIm);
    if (!overwrite) return 0;
    const int r = QAVOAppleNetwork(static_cast<uint32_t>(bits) & 3, 3, 1);
    if (r != 0) {
        SLIBLog(LOG_ERR, "QAVOAppleNetwork(%08lX) returned %d, errno=08%lX\n",
                static_cast<unsigned long>(bits), r, static_cast<unsigned long>(SLIBErrGet()));
        Event(kAppleIm);
        return r;
    }
    return 0;
}

namespace {

// The workgroup and WINS word; false when they cannot be read.
bool WinConf(std::string &workgroup, uint32_t &wins) {
    int need = 0;
    if (QAVOWinGetConf(QAVO_WINCONF_TYPE, nullptr, 0, &need) < 0 || need <= 0) {
        SLIBLog(LOG_ERR, "%s(%d)QAVOWinGetConf() failed\n", __func__, __LINE__);
        return false;
    }
    std::vector<char> buf(static_cast<size_t>(need));
    if (QAVOWinGetConf(QAVO_WINCONF_TYPE, buf.data(), need, &need) != 1) {
        SLIBLog(LOG_ERR, "%s(%d)QAVOWinGetConf() failed\n", __func__, __LINE__);
        return false;
    }
    QAVOWINCONF conf;
    memcpy(&conf, buf.data(), sizeof(conf));
    workgroup = conf.szWorkgroup ? conf.szWorkgroup : "";
    wins = conf.ulWins;
    return true;
}

}  // namespace

extern "C" int QAVOSysbkpWindowsExport(int fd) {
    if (BadFd(fd)) return -1;
    std::string workgroup;
    uint32_t wins = 0;
    if (!WinConf(workgroup, wins)) return Failed(kWinEx);
    Section sec(fd, QAVOSYSBKP_ID_WINDOWS);
    if (!sec.Ok()) return Failed(kWinEx);
    if (QAVOSysbkpIWriteString(fd, workgroup.c_str()) != 0) {
        BKP_LOG("fail to write workgroup");
        return Failed(kWinEx);
    }
    if (QAVOSysbkpIWriteLong(fd, static_cast<int32_t>(wins)) != 0) {
        BKP_LOG("fail to write wins");
        return Failed(kWinEx);
    }
    return sec.Finish() ? 0 : Failed(kWinEx);
}

extern "C" int QAVOSysbkpWindowsImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    Str workgroup;
    long wins = 0;
    if (!ReadStr(fd, workgroup)) return BKP_LOG("fail to read workgroup name"), Failed(kWinIm);
    if (QAVOSysbkpIReadLong(fd, &wins) != 0) return BKP_LOG("fail to read wins ip"), Failed(kWinIm);
    std::string curGroup;
    uint32_t curWins = 0;
    if (!WinConf(curGroup, curWins)) return Failed(kWinIm);
    const uint32_t stored = static_cast<uint32_t>(wins);
    if (!overwrite || (curGroup == workgroup.get() && curWins == stored)) return 0;
    QAVOWINCONF conf{workgroup.get(), stored};
    if (QAVOWinSetConf(QAVO_WINCONF_TYPE, &conf) != 1)
        return BKP_LOG("fail to set windows config"), Failed(kWinIm);
    return 0;
}

extern "C" int QAVOSysbkpPPPoEExport(int fd) {
    if (BadFd(fd)) return -1;
    QAVOPPPOECONF conf{};
    if (QAVOPPPoEConfGet(&conf) != 0) {
        BKP_LOG("check pppoe config failed");
        return Failed(kPppoeEx);
    }
    const int status = QAVOPPPoEStatusGet();
    if (status < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to get PPPoE Status", __func__, __LINE__);
        return Failed(kPppoeEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_PPPOE);
    if (!sec.Ok()) return Failed(kPppoeEx);
    if (QAVOSysbkpIWriteLong(fd, status) != 0)
        return BKP_LOG("fail to write PPPoE status"), Failed(kPppoeEx);
    if (QAVOSysbkpIWriteString(fd, conf.szUser) != 0)
        return BKP_LOG("fail to write PPPoE username"), Failed(kPppoeEx);
    if (QAVOSysbkpIWriteString(fd, conf.szPassword) != 0)
        return BKP_LOG("fail to write PPPoE password"), Failed(kPppoeEx);
    return sec.Finish() ? 0 : Failed(kPppoeEx);
}

extern "C" int QAVOSysbkpPPPoEImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    long flag = 0;
    Str user, pass;
    if (QAVOSysbkpIReadLong(fd, &flag) != 0)
        return BKP_LOG("fail to read PPPoE status"), Failed(kPppoeIm);
    if (!ReadStr(fd, user)) return BKP_LOG("fail to read PPPoE username"), Failed(kPppoeIm);
    if (!ReadStr(fd, pass)) return BKP_LOG("fail to read PPPoE password"), Failed(kPppoeIm);
    QAVOPPPOECONF stored{}, current{};
    if (!CopyField(stored.szUser, user.get()) || !CopyField(stored.szPassword, pass.get()))
        return BKP_LOG("fail to read PPPoE username"), Failed(kPppoeIm);
    if (QAVOPPPoEConfGet(&current) != 0)
        return BKP_LOG("check pppoe config failed"), Failed(kPppoeIm);
    const int status = QAVOPPPoEStatusGet();
    if (status < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to get PPPoE Status", __func__, __LINE__);
        return Failed(kPppoeIm);
    }
    const bool configured = status == 1 || current.szUser[0] || current.szPassword[0];
    if (configured) {
        const bool same = flag == status && strcmp(stored.szUser, current.szUser) == 0 &&
                          strcmp(stored.szPassword, current.szPassword) == 0;
        if (same || !overwrite) {
            SLIBLog(LOG_ERR, "%s (%d)Skip restore PPPoE", __func__, __LINE__);
            return 0;
        }
        if (status == 1) {
            if (flag == 1) return 0;
            if (QAVOPPPoEService(0) != 0 || QAVOPPPoEConfSet(stored) != 0) return Failed(kPppoeIm);
            return 0;
        }
    }
    if (QAVOPPPoEConfSet(stored) != 0) return Failed(kPppoeIm);
    if (QAVOPPPoEService(flag == 1 ? 1 : 0) != 0) {
        QAVOPPPoEConfSet(current);
        return Failed(kPppoeIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpHttpPortExport(int fd) {
    if (BadFd(fd)) return -1;
    std::string addport, port;
    if (!cfgbkp::InfoKey("addport", addport, 31) || !cfgbkp::InfoKey("httpport", port, 31)) {
        BKP_LOG("fail to get current httpport");
        return Failed(kHttpEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_HTTPPORT);
    if (!sec.Ok()) return Failed(kHttpEx);
    if (QAVOSysbkpIWriteString(fd, addport.c_str()) != 0 ||
        QAVOSysbkpIWriteString(fd, port.c_str()) != 0) {
        BKP_LOG("fail to write httpport");
        return Failed(kHttpEx);
    }
    return sec.Finish() ? 0 : Failed(kHttpEx);
}

extern "C" int QAVOSysbkpHttpPortImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    Str addport, port;
    if (!ReadStr(fd, addport)) return BKP_LOG("fail to read httpport config"), Failed(kHttpIm);
    if (!ReadStr(fd, port)) return BKP_LOG("fail to read httpport"), Failed(kHttpIm);
    std::string curAdd, curPort;
    if (!cfgbkp::InfoKey("addport", curAdd, 31) || curAdd.empty())
        return BKP_LOG("fail to get current httpport config"), Failed(kHttpIm);
    if (!cfgbkp::InfoKey("httpport", curPort, 31) || curPort.empty())
        return BKP_LOG("fail to get current httpport"), Failed(kHttpIm);
    if (!overwrite || (curAdd == addport.get() && curPort == port.get())) return 0;
    if (QAVOHttpConfigSet(strcmp(addport.get(), "yes") == 0 ? 1 : 0) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to call QAVOHttpConfigSet to set httpport config",
                cfgbkp::kSource, __LINE__);
        return Failed(kHttpIm);
    }
    if (QAVOHttpPortSet(port.get()) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) Failed to call QAVOHttpPortSet to set httpport", cfgbkp::kSource,
                __LINE__);
        return Failed(kHttpIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpMTUExport(int fd) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportMTU")) return 0;
    const int mtu = QAVOIGetIfMTU();
    if (mtu < 1) {
        BKP_LOG("get MTU setting failed");
        return Failed(kMtuEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_MTU);
    if (!sec.Ok()) return Failed(kMtuEx);
    if (QAVOSysbkpIWriteString(fd, std::to_string(mtu).c_str()) != 0) {
        BKP_LOG("fail to write MTU value");
        return Failed(kMtuEx);
    }
    return sec.Finish() ? 0 : Failed(kMtuEx);
}

extern "C" int QAVOSysbkpMTUImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportMTU")) return 0;
    Str value;
    if (!ReadStr(fd, value)) return BKP_LOG("fail to read MTU value"), Failed(kMtuIm);
    const int mtu = QAVOIGetIfMTU();
    if (mtu < 1) return BKP_LOG("check MTU setting failed"), Failed(kMtuIm);
    if (!overwrite || std::to_string(mtu) == value.get()) return 0;
    if (QAVONetSetMTUValue(value.get()) != 0) {
        BKP_LOG("call QAVONetSetMTUValue to set MTU value failed");
        return Failed(kMtuIm);
    }
    return 0;
}
