// AppleTalk and AFP settings: the AFP server line (transports and zone),
// AppleTalk's interface and zones, the zones the network announces, and
// whether the AFP service runs.
#include "qavo_apple.h"

#include <net/if.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "qavo_netservice.h"
#include "service_util.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_util.h"

namespace {

using slib::Fail;

constexpr const char *kSource = qsvc::kAppleSource;
constexpr const char *kServerLineKey = "-nouservol";
constexpr const char *kAfpd = "/usr/qavo/sbin/afpd";
constexpr const char *kRcAtalk = "/usr/qavo/etc/rc.atalk";
constexpr const char *kGetzones = "/usr/qavo/bin/getzones";
constexpr int kLockTimeout = 5;
constexpr int kZoneQueryTimeout = 10;
constexpr uint32_t kWriterLocks = SLIB_LOCK_APPLE | SLIB_LOCK_QAVOINFO;

using qsvc::Finish;

// Named locks held for one scope, with this file's time-out.
struct Locks : slib::ScopedLock {
    Locks(uint32_t mask, SLIBLOCKREQ op) : ScopedLock(mask, op, kLockTimeout) {}
};

// A zone goes between double quotes in atalkd.conf and into the first
// token of afpd.conf's server line: no control bytes, blanks or quotes.
bool ZoneOk(const char *zone) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(zone); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || *p == ' ' || *p == '"') return false;
    }
    return true;
}

// An interface the kernel lists, by a plain name.
bool InterfaceOk(const char *name) {
    const size_t n = strlen(name);
    if (n == 0 || n >= IF_NAMESIZE || name[0] == '.' || name[0] == '-') return false;
    for (const char *p = name; *p; ++p) {
        const char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.' || c == '-'))
            return false;
    }
    return if_nametoindex(name) != 0;
}

// The blank-separated tokens of a line.
std::vector<std::string> Tokens(std::string_view line) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(" \t\r\n", at);
        if (at == std::string_view::npos) break;
        size_t end = line.find_first_of(" \t\r\n", at);
        if (end == std::string_view::npos) end = line.size();
        out.emplace_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

// The zones of an atalkd.conf interface line: the quoted text after each
// "-zone" (any case). False when a "-zone" has no quoted name after it.
bool LineZones(std::string_view line, std::vector<std::string> &zones) {
    size_t at = 0;
    for (;;) {
        at = line.find_first_not_of(" \t\r\n", at);
        if (at == std::string_view::npos) return true;
        size_t end = line.find_first_of(" \t\r\n", at);
        if (end == std::string_view::npos) end = line.size();
        const std::string_view token = line.substr(at, end - at);
        at = end;
        if (token.size() != 5 || strncasecmp(token.data(), "-zone", 5) != 0) continue;
        const size_t open = line.find('"', at);
        const size_t close = open == std::string_view::npos ? open : line.find('"', open + 1);
        if (close == std::string_view::npos) return false;
        zones.emplace_back(line.substr(open + 1, close - open - 1));
        at = close + 1;
    }
}

// The interface's line of atalkd.conf; false (code set) when unreadable or
// absent.
bool InterfaceLine(const char *iface, std::string &line) {
    char buf[1024];
    const int r = SLIBFileGetLine(SZF_QAVO_ATALKD_CONF, iface, buf, sizeof buf, 0);
    if (r <= 0) return false;
    line = buf;
    return true;
}

// The default zone of an interface: its first zone, blanks trimmed; "" when
// the line names none.
bool DefaultZone(const char *iface, std::string &zone) {
    std::string line;
    if (!InterfaceLine(iface, line)) return false;
    std::vector<std::string> zones;
    if (!LineZones(line, zones)) return false;
    zone.clear();
    if (zones.empty()) return true;
    std::string_view z = zones.front();
    while (!z.empty() && (z.front() == ' ' || z.front() == '\t'))
        z.remove_prefix(1);
    while (!z.empty() && (z.back() == ' ' || z.back() == '\t'))
        z.remove_suffix(1);
    zone.assign(z);
    return true;
}

}  // namespace

extern "C" int QAVOAppleISetZoneValue(const char *szZone) {
    if (!szZone) {
        SLIBLog(LOG_ERR, "%s(%d): invalid parameter", __func__, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    if (!ZoneOk(szZone)) {
        SLIBLog(LOG_ERR, "%s(%d): invalid zone [%s]", __func__, __LINE__, szZone);
        return Fail(ERR_BAD_PARAMETERS);
    }
    char line[2048];
    if (SLIBFileGetLine(SZF_QAVO_AFPD_CONF, kServerLineKey, line, sizeof line, 0) <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get a line from afpd.conf", __func__, __LINE__);
        return -1;
    }
    const size_t cut = strcspn(line, " \t\n");
    if (line[cut] == '\0') {
        SLIBLog(LOG_ERR, "%s(%d): fail to get a line from afpd.conf(2)", __func__, __LINE__);
        return -1;
    }
    const char *rest = line + cut + 1;
    char host[65] = "";
    if (gethostname(host, sizeof host - 1) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get host name(%s)", __func__, __LINE__, strerror(errno));
        return Fail(ERR_SYSTEM_CALL);
    }
    host[strcspn(host, ".")] = '\0';
    if (host[0] == '\0' || !ZoneOk(host)) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get host name(%s)", __func__, __LINE__, host);
        return Fail(ERR_BAD_PARAMETERS);
    }
    try {
        std::string updated = host;
        if (szZone[0] != '\0') updated = updated + ":AFPServer@" + szZone;
        updated = updated + " " + rest;
        if (SLIBFileSetLine(SZF_QAVO_AFPD_CONF, kServerLineKey, updated.c_str(), 0) <= 0) {
            SLIBLog(LOG_ERR, "%s(%d): fail to set a line in afpd.conf", __func__, __LINE__);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOAppleIGetZoneValue(char *szBuf, int cbBuf) {
    if (!szBuf || cbBuf <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): invalid parameter(s)", __func__, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    szBuf[0] = '\0';
    char line[2048];
    if (SLIBFileGetLine(SZF_QAVO_AFPD_CONF, kServerLineKey, line, sizeof line, 0) <= 0) return -1;
    const size_t start = strspn(line, " \t\n");
    const size_t len = strcspn(line + start, " \t\n");
    if (len == 0) return -1;
    const std::string_view first(line + start, len);
    const size_t at = first.find("AFPServer@");
    if (at == std::string_view::npos) return 0;
    const std::string_view zone = first.substr(at + strlen("AFPServer@"));
    if (zone.empty() || zone.size() >= static_cast<size_t>(cbBuf)) return 0;
    memcpy(szBuf, zone.data(), zone.size());
    szBuf[zone.size()] = '\0';
    return 0;
}

extern "C" int QAVOAppleTalkSet(const char *szInterface, const char *szZone) {
    if (!szInterface || !szZone) return Fail(ERR_BAD_PARAMETERS);
    // Both reach afpd.conf, "/etc/qavoinfo.conf" and the start script.
    if (!ZoneOk(szZone) || !InterfaceOk(szInterface)) return Fail(ERR_BAD_PARAMETERS);
    Locks locks(kWriterLocks, SLIB_LOCK_EX);
    if (!locks.Held()) return Fail(ERR_LOCK_FAILED);
    // No "AppleTalk" yet (a first setup) is an interface change.
    char current[16] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "AppleTalk", current, sizeof current, 0) < 0 ||
        SLIBProcKillByName("afpd", 0) < 0)
        return Finish(locks, -1);
    int status;
    if (strcmp(szInterface, current) == 0) {
        if (QAVOAppleISetZoneValue(szZone) != 0) return Finish(locks, -1);
        status = SLIBProcExecWait(kAfpd, nullptr, nullptr, nullptr, nullptr);
    } else {
        if (QAVOAppleISetZoneValue(szZone) != 0 ||
            SLIBFileSetOrAddKeyValue(SLIB_QAVOINFO_PATH, "AppleTalk", szInterface,
                                     SLIB_KEYVALUE_FMT_QUOTED) < 0)
            return Finish(locks, -1);
        SLIBProcKillByName("atalkd", 0);
        status = SLIBProcExecWait(kRcAtalk, nullptr, nullptr, nullptr, nullptr);
    }
    // A start that ran but failed did not start anything.
    if (status != 0) {
        SLIBLog(LOG_ERR, "%s(%d): the AFP start returned %d", __func__, __LINE__, status);
        SLIBErrSet(ERR_EXEC_FAILED);
        return Finish(locks, -1);
    }
    return Finish(locks, 0);
}

extern "C" int QAVOAppleGetZones(int mode, int reserved, const char *szInterface, char **buf,
                                 int size, int *pNeeded) {
    (void)reserved;
    if (!szInterface || !pNeeded || size < 0 || (buf && size == 0) || (size > 0 && !buf) ||
        (mode & (QAVO_APPLE_ZONE_SERVER | QAVO_APPLE_ZONE_ALL | QAVO_APPLE_ZONE_DEFAULT)) == 0)
        return Fail(ERR_BAD_PARAMETERS);
    *pNeeded = 0;
    if (buf) memset(buf, 0, static_cast<size_t>(size));
    Locks locks(SLIB_LOCK_APPLE, SLIB_LOCK_SH);
    if (!locks.Held()) return Fail(ERR_LOCK_FAILED);
    try {
        std::vector<std::string> zones;
        if (mode & QAVO_APPLE_ZONE_ALL) {
            std::string line;
            if (!InterfaceLine(szInterface, line) || !LineZones(line, zones))
                return Finish(locks, -1);
        } else {
            std::string zone;
            if (mode & QAVO_APPLE_ZONE_SERVER) {
                char server[1024];
                if (QAVOAppleIGetZoneValue(server, sizeof server) != 0) return Finish(locks, -1);
                zone = server;
            }
            if (zone.empty() && !DefaultZone(szInterface, zone)) return Finish(locks, -1);
            zones.push_back(zone);
        }
        const size_t need = slib::PackedSize(zones);
        if (need > static_cast<size_t>(INT32_MAX)) return Finish(locks, Fail(ERR_BUF_TOO_SMALL));
        *pNeeded = static_cast<int>(need);
        if (!locks.Release()) return Fail(ERR_UNLOCK_FAILED);
        if (!buf) return static_cast<int>(zones.size());
        if (need > static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
        slib::PackTexts(zones, buf, size);
        return static_cast<int>(zones.size());
    } catch (const std::bad_alloc &) {
        return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
    }
}

extern "C" int QAVOAppleZoneCheck(void) {
    try {
        // The network's answer first, without any lock held: a slow or
        // failed query changes nothing.
        const char *argv[] = {kGetzones, "-l", nullptr};
        std::string out;
        const int status = qsvc::CaptureOutput(argv, kZoneQueryTimeout, out);
        if (status != 0) {
            SLIBLog(LOG_ERR, "%s(%d): %s -l returned %d", __func__, __LINE__, kGetzones, status);
            return Fail(ERR_EXEC_FAILED);
        }
        std::vector<std::string> announced;
        for (const std::string &line : qsvc::Lines(out)) {
            if (!line.empty()) announced.push_back(line);
        }

        Locks locks(kWriterLocks, SLIB_LOCK_EX);
        if (!locks.Held()) return -1;
        char iface[32] = "";
        if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "AppleTalk", iface, sizeof iface, 0) <= 0)
            return Finish(locks, -1);
        int needed = 0;
        if (QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, iface, nullptr, 0, &needed) < 0)
            return Finish(locks, -1);
        std::vector<char *> list(static_cast<size_t>(needed) / sizeof(char *) + 1);
        const int n = QAVOAppleGetZones(QAVO_APPLE_ZONE_ALL, 1, iface, list.data(),
                                        static_cast<int>(list.size() * sizeof(char *)), &needed);
        if (n < 0) return Finish(locks, -1);
        bool consistent = static_cast<size_t>(n) == announced.size();
        for (int i = 0; i < n && consistent; ++i) {
            consistent = std::find(announced.begin(), announced.end(),
                                   list[static_cast<size_t>(i)]) != announced.end();
        }
        if (consistent) return Finish(locks, 1);

        SLIBLog(LOG_ERR, "%s(%d): the zones of %s differ from the network's; zone reset", __func__,
                __LINE__, iface);
        if (QAVOAppleISetZoneValue("*") != 0) return Finish(locks, -1);
        SLIBProcKillByName("atalkd", 0);
        SLIBProcKillByName("afpd", 0);
        // The start script runs on in the background; its text is fixed.
        SLIBProcExecWait("/bin/sh", "-c", "/usr/qavo/etc/rc.atalk >/dev/null 2>&1 &", nullptr,
                         nullptr);
        return Finish(locks, 0);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOAppleNetwork(uint32_t bits, uint32_t mask, int apply) {
    Locks locks(kWriterLocks, SLIB_LOCK_EX);
    if (!locks.Held()) return Fail(ERR_LOCK_FAILED);
    try {
        slib::FilePtr in(fopen(SZF_QAVO_AFPD_CONF, "re"));
        if (!in) return Finish(locks, Fail(ERR_OPEN_FAILED));
        std::string content;
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, in.get())) > 0)
            content.append(chunk, got);
        if (ferror(in.get())) return Finish(locks, Fail(ERR_READ_FAILED));
        in.reset();
        const size_t nl = content.find('\n');
        const std::string rest = nl == std::string::npos ? "" : content.substr(nl + 1);
        const std::vector<std::string> t = Tokens(content.substr(0, nl));
        // Name, two transports, "-uamlist" and the module list.
        if (t.size() < 5) {
            SLIBLog(LOG_ERR, "%s(%d): the server line of afpd.conf has %zu tokens", __func__,
                    __LINE__, t.size());
            return Finish(locks, -1);
        }
        const std::string tcp =
            mask & QAVO_APPLE_TCP ? (bits & QAVO_APPLE_TCP ? "-tcp" : "-notcp") : t[1];
        const std::string ddp =
            mask & QAVO_APPLE_DDP ? (bits & QAVO_APPLE_DDP ? "-ddp" : "-noddp") : t[2];
        const std::string line =
            t[0] + " " + tcp + " " + ddp + " -uamlist " + t[4] + " -nouservol\n" + rest;
        slib::RewriteSet rw;
        FILE *out = rw.Open(SZF_QAVO_AFPD_CONF);
        if (!out) return Finish(locks, -1);
        if (!slib::WriteAll(out, line)) return Finish(locks, Fail(ERR_WRITE_FAILED));
        if (!rw.Commit()) return Finish(locks, -1);
        if (apply) {
            const bool off = tcp != "-tcp" && ddp != "-ddp";
            QAVONetService(NETSERV_AFP, off ? NETSERV_STOP : NETSERV_RELOAD);
        }
        return Finish(locks, 0);
    } catch (const std::bad_alloc &) {
        return Finish(locks, Fail(ERR_OUT_OF_MEMORY));
    }
}

extern "C" int QAVOAppleEnableAppleNetwork(int on) {
    if (on != 0 && on != 1) return Fail(ERR_BAD_PARAMETERS);
    const char *value = on ? "yes" : "no";
    if (QAVOINFOSetKeyValue("runafp", value) < 0) {
        SLIBLog(LOG_ERR, "%s:%s(%d) Can't set key value. key = SZK_RUNAFP, value = [%s]", kSource,
                __func__, __LINE__, value);
        return -1;
    }
    if (QAVONetService(NETSERV_AFP, on ? NETSERV_RESTART : NETSERV_STOP) < 0) {
        SLIBLog(LOG_ERR, "%s:%s(%d) Call QAVONetService() error", kSource, __func__, __LINE__);
        return -1;
    }
    return 0;
}
