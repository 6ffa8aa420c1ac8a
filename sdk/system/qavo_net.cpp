// Network interface settings. The files live under "/etc/sysconfig", the
// DHCP client's under "/etc/dhcpc"; the kernel is changed through ifconfig
// and route, run without a shell. Interface names that reach a command or a
// path must be plain names, and those that reach a command must be listed
// by the kernel; host names must be RFC 1123 names.
#include "qavo_net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "qavo_servsetting.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_util.h"
#include "slib_validate.h"

namespace {

using slib::Fail;

constexpr const char *kSource = "sdk/qavonet1";
constexpr const char *kIfcfgPrefix = "/etc/sysconfig/network-scripts/ifcfg-";
constexpr const char *kDhcpDir = "/etc/dhcpc/dhcpcd-";
constexpr const char *kNetworkFile = "/etc/sysconfig/network";
constexpr const char *kResolvConf = "/etc/resolv.conf";
constexpr const char *kResolvTmp = "/etc/resolv.conf.tmp";
constexpr const char *kHosts = "/etc/hosts";
constexpr const char *kSmbConf = "/usr/qavo/etc/smb.conf";
constexpr const char *kAfpdConf = "/usr/qavo/etc/afpd.conf";
constexpr const char *kDhcpcd = "/sbin/dhcpcd";
constexpr const char *kIfconfig = "/sbin/ifconfig";
constexpr const char *kRoute = "/sbin/route";
constexpr const char *kPing = "/bin/ping";
constexpr const char *kMtuIf = "eth0";
constexpr int kLockTimeout = 5;
constexpr int kDhcpTimeout = 30;
// Seconds an old DHCP client gets to end after SIGTERM before SIGKILL.
constexpr int kClientStopWait = 5;
constexpr int kHostNameMax = 63;

// The host lock for the length of a scope.
struct HostLock : slib::ScopedLock {
    explicit HostLock(int op)
        : ScopedLock(SLIB_LOCK_HOST, static_cast<SLIBLOCKREQ>(op), kLockTimeout) {}
};

std::string IfcfgPath(const char *dev) {
    return std::string(kIfcfgPrefix) + dev;
}
std::string InfoPath(const char *dev) {
    return std::string(kDhcpDir) + dev + ".info";
}
std::string PidPath(const char *dev) {
    return std::string(kDhcpDir) + dev + ".pid";
}

// A plain interface name: 1 to 15 letters, digits, "_", "-" and ".", not
// starting with "." or "-", so that it stays one file name and one word.
bool PlainIfName(const char *dev) {
    if (!dev) return false;
    const size_t len = strnlen(dev, IFNAMSIZ);
    if (len == 0 || len >= IFNAMSIZ || dev[0] == '.' || dev[0] == '-') return false;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(dev[i]);
        if (!isalnum(c) && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

// A plain name of an interface the kernel lists.
bool ListedIf(const char *dev) {
    return PlainIfName(dev) && if_nametoindex(dev) != 0;
}

// An RFC 1123 host name of at most 63 characters: dot-separated labels of
// letters, digits and "-", none empty and none starting or ending with "-".
bool HostNameOk(const char *name) {
    const size_t len = strnlen(name, kHostNameMax + 1);
    if (len == 0 || len > kHostNameMax) return false;
    size_t label = 0;
    for (size_t i = 0; i <= len; ++i) {
        const unsigned char c = i < len ? static_cast<unsigned char>(name[i]) : '.';
        if (c == '.') {
            if (label == 0 || name[i - 1] == '-') return false;
            label = 0;
        } else if (isalnum(c) || c == '-') {
            if (label == 0 && c == '-') return false;
            ++label;
        } else {
            return false;
        }
    }
    return true;
}

// A slot's text (up to its size) as a string.
template <size_t N>
std::string Slot(const char (&slot)[N]) {
    return std::string(slot, strnlen(slot, N));
}

template <size_t N>
void CopySlot(char (&slot)[N], std::string_view text) {
    const size_t n = text.size() < N - 1 ? text.size() : N - 1;
    memcpy(slot, text.data(), n);
    slot[n] = '\0';
}

int Run(std::initializer_list<const char *> args) {
    std::vector<const char *> argv(args);
    argv.push_back(nullptr);
    return SLIBProcExecWaitArgv(argv.data(), nullptr, nullptr);
}

std::string Joined(std::initializer_list<const char *> args) {
    std::string s;
    for (const char *a : args) {
        if (!s.empty()) s += ' ';
        s += a;
    }
    return s;
}

// Reads a key of a key/value file into a slot; false when absent or unreadable.
template <size_t N>
bool ReadKey(const std::string &path, const char *key, char (&slot)[N]) {
    return SLIBFileGetKeyValue(path.c_str(), key, slot, N, 0) > 0;
}

bool IsRegular(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// address OR NOT netmask; false when either text is no address.
bool Broadcast(const char *ip, const char *mask, char *out, size_t size) {
    in_addr a{}, m{};
    if (inet_pton(AF_INET, ip, &a) != 1 || inet_pton(AF_INET, mask, &m) != 1) return false;
    in_addr b{};
    b.s_addr = a.s_addr | ~m.s_addr;
    return inet_ntop(AF_INET, &b, out, static_cast<socklen_t>(size)) != nullptr;
}

// Writes a whole file afresh through its temporary copy.
bool WriteFresh(const std::string &path, std::string_view content) {
    slib::RewriteSet rw;
    FILE *fp = rw.Open(path);
    if (!fp) return false;
    if (!slib::WriteAll(fp, content)) {
        SLIBErrSet(ERR_WRITE_FAILED);
        return false;
    }
    return rw.Commit();
}

// Whole content of a file; false when it cannot be read (missing included).
bool ReadWhole(const std::string &path, std::string &out) {
    slib::FilePtr fp(fopen(path.c_str(), "re"));
    if (!fp) return false;
    out.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp.get())) > 0)
        out.append(buf, n);
    return !ferror(fp.get());
}

// True when the process is a DHCP client (the program dhcpcd itself),
// so that a stale pid file never gets another process signalled.
bool IsDhcpClient(int pid) {
    return slib::ProcessIsNamed(pid, "dhcpcd");
}

// Ends the DHCP client of one interface through its pid file: SIGTERM, a
// bounded wait, then SIGKILL. A pid file naming no live client is removed;
// one that cannot be opened is left alone.
void StopDhcpClient(const char *dev) {
    const std::string pidFile = PidPath(dev);
    const int pid = SLIBProcReadPidFile(pidFile.c_str());
    if (pid < 0) return;
    if (slib::MaySignal(pid) && BlSLIBProcIsAlive(pid) && IsDhcpClient(pid)) {
        kill(pid, SIGTERM);
        for (int waited = 0; BlSLIBProcIsAlive(pid) && IsDhcpClient(pid); ++waited) {
            if (waited == kClientStopWait) {
                kill(pid, SIGKILL);
                usleep(100000);
                break;
            }
            SLIBLog(LOG_ERR, "%s(%d) dhcpcd pid[%d] still exists, wait 1 second.", __func__,
                    __LINE__, pid);
            sleep(1);
        }
    }
    SLIBSysUnlink(pidFile.c_str());
}

// The interface's address and netmask as the kernel has them; empty texts
// when it has none.
void KernelAddress(const char *dev, QAVONETCARDINFO &card) {
    uint32_t a = 0, m = 0;
    if (SLIBNetGetIfAddr(dev, &a, &m) != 1) return;
    in_addr in{};
    in.s_addr = a;
    inet_ntop(AF_INET, &in, card.szIP, sizeof card.szIP);
    in.s_addr = m;
    inet_ntop(AF_INET, &in, card.szMask, sizeof card.szMask);
}

#define NET1_LOG(fmt, ...) SLIBLog(LOG_ERR, fmt, kSource, __LINE__, ##__VA_ARGS__)

// Copies and checks the static settings; the checked copies are what gets
// written.
struct StaticSettings {
    char ip[20] = {}, mask[20] = {}, gateway[20] = {};
};

int CheckStatic(const QAVONETCARDINFO &card, StaticSettings &s) {
    if (card.szIf[0] == '\0' || card.szIP[0] == '\0') return Fail(ERR_BAD_PARAMETERS);
    CopySlot(s.ip, Slot(card.szIP).substr(0, 19));
    CopySlot(s.mask, Slot(card.szMask).substr(0, 19));
    CopySlot(s.gateway, Slot(card.szGateway).substr(0, 19));
    if (!BlSLIBIsIPAddress(s.ip) || !BlSLIBIsNetmask(s.mask)) return -1;
    if (s.gateway[0] != '\0' && !BlSLIBIsIPAddress(s.gateway)) return -1;
    return 0;
}

int SetGateway(const char *gateway) {
    if (gateway[0] == '\0') return QAVOILnxRemoveGateway() < 0 ? -1 : 0;
    if (SLIBFileSetKeyValue(kNetworkFile, "GATEWAY", gateway, SLIB_KEYVALUE_FMT_PLAIN) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): SLIBFileSetKeyValue(%s, GATEWAY, %s) failed.(%X)", __func__,
                __LINE__, kNetworkFile, gateway, SLIBErrGet());
        return -1;
    }
    Run({kRoute, "delete", "default"});
    if (Run({kRoute, "add", "default", "gw", gateway}) != 0) {
        SLIBErrSet(ERR_EXEC_FAILED);
        const std::string cmd = Joined({kRoute, "add", "default", "gw", gateway});
        SLIBLog(LOG_ERR, "%s(%d): system(%s) failed.(strerror=%s)", __func__, __LINE__, cmd.c_str(),
                strerror(errno));
    }
    return 0;
}

const char *ResultWord(int r, int want) {
    if (r != want) return "";
    return r == 1 ? "success" : r == 0 ? "no such service" : "failed";
}

void TellDaemons(const QAVONETCARDINFO &now, const QAVONETCARDINFO *prev) {
    const bool addrChanged = !prev || Slot(now.szIP) != Slot(prev->szIP) ||
                             Slot(now.szMask) != Slot(prev->szMask) ||
                             Slot(now.szGateway) != Slot(prev->szGateway);
    if (addrChanged) {
        int r = QAVOUPnPService(QAVO_SERV_RELOAD);
        NET1_LOG("%s(%d) : HUP upnpd result: %s%s%s ", ResultWord(r, 0), ResultWord(r, 1),
                 ResultWord(r, -1));
        r = QAVODDNSService(QAVO_SERV_RELOAD);
        NET1_LOG("%s(%d) : HUP ddnsd result: %s%s%s ",
                 r == 0 ? "no such service or not enabled" : "", ResultWord(r, 1),
                 ResultWord(r, -1));
    }
    if (!prev || memcmp(now.dns, prev->dns, sizeof now.dns) != 0) {
        int r = QAVODDNSService(QAVO_SERV_RESTART);
        NET1_LOG("%s(%d) : RESTART ddnsd result: %s%s%s ",
                 r == 0 ? "no such service or not enabled" : "", ResultWord(r, 1),
                 ResultWord(r, -1));
    }
}

// The static road, under the caller's exclusive host lock.
int SetIPNetmask(const QAVONETCARDINFO &card, const QAVONETCARDINFO *prev) {
    StaticSettings s;
    if (CheckStatic(card, s) < 0) return -1;
    const char *dev = card.szIf;
    const std::string ifcfg = IfcfgPath(dev);

    // The previous interface file stays in memory until the change holds.
    std::string before;
    struct stat st;
    const bool hadFile = stat(ifcfg.c_str(), &st) == 0;
    if (hadFile && !ReadWhole(ifcfg, before)) return Fail(ERR_READ_FAILED);
    std::string content =
        std::string("IPADDR=") + s.ip + "\nNETMASK=" + s.mask + "\nBOOTPROTO=static\nONBOOT=yes\n";
    if (!WriteFresh(ifcfg, content)) {
        SLIBLog(LOG_ERR, "%s(%d): SLIBFileSetKeyValue(%s, IPADDR, %s) failed.(%X)", __func__,
                __LINE__, ifcfg.c_str(), s.ip, SLIBErrGet());
        return -1;
    }
    auto restore = [&] {
        const SLIBERRCODE code = SLIBErrGet();
        const bool ok = hadFile ? WriteFresh(ifcfg, before) : SLIBSysUnlink(ifcfg.c_str()) == 0;
        if (!ok) SLIBLog(LOG_ERR, "%s(%d): rename fail.", __func__, __LINE__);
        SLIBErrSet(code);
        return -1;
    };

    StopDhcpClient(dev);
    const std::string client = std::string(kDhcpcd) + " -n " + dev;
    SLIBProcKillByName(client.c_str(), 1);

    char bcast[INET_ADDRSTRLEN];
    if (!Broadcast(s.ip, s.mask, bcast, sizeof bcast)) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOILnxGetBCast failed.(strerror=%s)", __func__, __LINE__,
                strerror(errno));
        SLIBErrSet(ERR_BAD_IP_ADDRESS);
        return restore();
    }
    if (Run({kIfconfig, dev, s.ip, "netmask", s.mask, "broadcast", bcast}) != 0) {
        SLIBErrSet(ERR_EXEC_FAILED);
        const std::string cmd =
            Joined({kIfconfig, dev, s.ip, "netmask", s.mask, "broadcast", bcast});
        SLIBLog(LOG_ERR, "%s(%d): system(%s) failed.(strerror=%s)", __func__, __LINE__, cmd.c_str(),
                strerror(errno));
        return restore();
    }
    char host[65] = {};
    if (gethostname(host, 64) != 0) {
        SLIBErrSet(ERR_SYSTEM_CALL);
        SLIBLog(LOG_ERR, "%s(%d): gethostname failed.(errno_str=%s)", __func__, __LINE__,
                strerror(errno));
        return restore();
    }
    if (QAVOLnxSetHostname(host) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): QAVOLnxSetHostname failed.(%X)", __func__, __LINE__,
                SLIBErrGet());
        return restore();
    }

    char pppoe[16] = {};
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "pppoe_enable", pppoe, sizeof pppoe, 0) < 0)
        SLIBLog(LOG_ERR, "%s(%d): Error occurs when read qavoinfo.conf", __func__, __LINE__);
    SLIBSysUnlink("/etc/ppp/old_gateway.bak");
    SLIBSysUnlink("/etc/resolv.conf.bak");
    if (strcasecmp(pppoe, "yes") != 0) {
        if (SetGateway(s.gateway) < 0) return -1;
        if (QAVONetSetDNSDomain(&card) < 0) return -1;
    }
    QAVONETCARDINFO now = card;
    CopySlot(now.szIP, s.ip);
    CopySlot(now.szMask, s.mask);
    CopySlot(now.szGateway, s.gateway);
    TellDaemons(now, prev);
    return 0;
}

// The DHCP road, under the caller's exclusive host lock.
int SetDHCP(const char *dev, const QAVONETCARDINFO *prev) {
    // What the interface carries now, put back should the new lease fail.
    QAVONETCARDINFO current{};
    CopySlot(current.szIf, dev);
    KernelAddress(dev, current);
    QAVOILnxGetGateway(current.szGateway, sizeof current.szGateway);

    StopDhcpClient(dev);
    if (Run({kIfconfig, dev, "0.0.0.0"}) != 0)
        SLIBLog(LOG_ERR, "%s(%d) kill dhcpcd error %m", __func__, __LINE__);

    const std::string secs = std::to_string(kDhcpTimeout);
    if (Run({kDhcpcd, "-n", dev, "-t", secs.c_str()}) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) run dhcpcd error %m", __func__, __LINE__);
        const QAVONETCARDINFO *back = prev && prev->szIP[0] ? prev : &current;
        if (QAVOIRecoverIPSetting(dev, back) < 0)
            SLIBLog(LOG_ERR, "%s(%d): QAVOIRecoverIPSetting failed.(%X)", __func__, __LINE__,
                    SLIBErrGet());
        return Fail(ERR_EXEC_FAILED);
    }
    const std::string ifcfg = IfcfgPath(dev);
    if (!WriteFresh(ifcfg, "BOOTPROTO=dhcp\nONBOOT=yes\n")) {
        SLIBLog(LOG_ERR, "%s(%d) Set %s error.", __func__, __LINE__, ifcfg.c_str());
        return -2;
    }
    return 0;
}

// Splits at blank, tab and newline, empty words included.
std::vector<std::string> WordsWithEmpty(std::string_view text) {
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        const size_t cut = text.find_first_of(" \t\n", start);
        words.emplace_back(text.substr(start, cut == std::string_view::npos ? cut : cut - start));
        if (cut == std::string_view::npos) break;
        start = cut + 1;
    }
    return words;
}

// The afpd.conf server line with the new host name; false when the line is
// no server line (comment, blank, no first word).
bool RebuildServerLine(std::string_view line, const char *host, std::string &out) {
    std::vector<std::string> words = WordsWithEmpty(line);
    if (words[0].empty() || words[0][0] == '#') return false;
    out = host;
    const size_t tag = words[0].find(":AFPServer");
    if (tag != std::string::npos) out += words[0].substr(tag);
    for (size_t i = 1; i < words.size(); ++i) {
        out += ' ';
        out += words[i];
    }
    return true;
}

int DoSetHostname(const char *name) {
    if (SLIBFileSetKeyValue(kNetworkFile, "HOSTNAME", name, SLIB_KEYVALUE_FMT_PLAIN) < 0) {
        SLIBLog(LOG_ERR, "%s(%d) SLIBFileSetKeyValue(%s, HOSTNAME) failed.(%X)", __func__, __LINE__,
                kNetworkFile, SLIBErrGet());
        return -1;
    }
    const int cards = QAVONetEnumCard();
    if (cards < 1) {
        if (cards == 0) SLIBErrSet(ERR_NOT_FOUND);
        SLIBLog(LOG_ERR, "%s(%d) QAVONetEnumCard fail.(nCard=%d)", __func__, __LINE__, cards);
        return -1;
    }
    const std::string tmp = std::string(kHosts) + ".tmp" + std::to_string(time(nullptr));
    slib::RewriteSet rw;
    FILE *fp = rw.Open(kHosts, tmp);
    if (!fp) {
        SLIBLog(LOG_ERR, "%s(%d): fopen %s (w) failed.", __func__, __LINE__, tmp.c_str());
        return Fail(ERR_OPEN_FAILED);
    }
    if (!slib::WriteAll(fp, "127.0.0.1\tlocalhost\n")) {
        SLIBLog(LOG_ERR, "%s(%d): fprintf 127.0.0.1\tlocalhost\n failed.", __func__, __LINE__);
        return Fail(ERR_WRITE_FAILED);
    }
    QAVONETCARDINFO eth0{};
    if (QAVONetGetCard1(0, nullptr, &eth0) == 1 && eth0.szIP[0] != '\0') {
        const std::string line = Slot(eth0.szIP) + "\t" + name + "\n";
        if (!slib::WriteAll(fp, line)) {
            SLIBLog(LOG_ERR, "%s(%d): fprintf %s failed.", __func__, __LINE__, line.c_str());
            return Fail(ERR_WRITE_FAILED);
        }
    }
    if (fflush(fp) != 0 || fsync(fileno(fp)) != 0) return Fail(ERR_WRITE_FAILED);
    if (sethostname(name, strlen(name)) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): sethostname(%s) failed.", __func__, __LINE__, name);
        return Fail(ERR_WRITE_FAILED);
    }
    if (!rw.Commit()) {
        if (rw.RenameError() != 0) {
            SLIBErrSet(ERR_RENAME_FAILED);
            SLIBLog(LOG_ERR, "%s(%d): SLIBSysRename(%s, %s) failed.(strerror=%s)", __func__,
                    __LINE__, tmp.c_str(), kHosts, strerror(rw.RenameError()));
        } else {
            SLIBLog(LOG_ERR, "%s(%d): QAVOFClose failed.(strerror=%s)", __func__, __LINE__,
                    strerror(errno));
        }
        return -1;
    }
    if (APPLEISetServName(name) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): APPLEISetServName(%s) failed.(%X)", __func__, __LINE__, name,
                SLIBErrGet());
        return Fail(ERR_WRITE_FAILED);
    }
    return 0;
}

}  // namespace

extern "C" int BlQAVOLnxIsDHCP(const char *szIf) {
    if (!PlainIfName(szIf)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    try {
        const std::string ifcfg = IfcfgPath(szIf);
        char proto[16] = {};
        {
            HostLock lock(SLIB_LOCK_SH);
            if (!lock.Held()) {
                SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.", __func__, __LINE__);
                return 0;
            }
            if (ReadKey(ifcfg, "BOOTPROTO", proto)) return strcmp(proto, "dhcp") == 0 ? 1 : 0;
        }
        SLIBLog(LOG_ERR, "%s(%d) Get BOOTPROTO failed.(%X)", __func__, __LINE__, SLIBErrGet());
        // Writing takes the lock exclusive; under a caller's shared hold it
        // cannot, and the file is left for the next writer.
        HostLock lock(SLIB_LOCK_EX);
        if (!lock.Held()) {
            SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.", __func__, __LINE__);
            return 0;
        }
        if (ReadKey(ifcfg, "BOOTPROTO", proto)) return strcmp(proto, "dhcp") == 0 ? 1 : 0;
        SLIBFileSetKeyValue(ifcfg.c_str(), "BOOTPROTO", "static", SLIB_KEYVALUE_FMT_PLAIN);
        return 0;
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return 0;
    }
}

extern "C" int QAVOILnxGetIP(const char *szIf, char *szBuf, int cbBuf) {
    if (!szBuf || cbBuf <= 0 || !PlainIfName(szIf)) return Fail(ERR_BAD_PARAMETERS);
    try {
        const std::string path = BlQAVOLnxIsDHCP(szIf) ? InfoPath(szIf) : IfcfgPath(szIf);
        if (SLIBFileGetKeyValue(path.c_str(), "IPADDR", szBuf, cbBuf, 0) <= 0) {
            szBuf[0] = '\0';
            SLIBLog(LOG_ERR, "%s(%d): Can not get IPADDR.(%X)", __func__, __LINE__, SLIBErrGet());
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        szBuf[0] = '\0';
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOILnxGetGateway(char *szBuf, int cbBuf) {
    if (!szBuf || cbBuf <= 0) return Fail(ERR_BAD_PARAMETERS);
    szBuf[0] = '\0';
    slib::FilePtr fp(fopen("/proc/net/route", "re"));
    if (!fp) {
        const int e = errno;
        NET1_LOG("%s (%d) Failed to open /proc/net/route, errno=[%s/%d]", strerror(e), e);
        return Fail(ERR_OPEN_FAILED);
    }
    char *line = nullptr;
    size_t cap = 0;
    int ret = 0;
    bool header = true;
    while (getline(&line, &cap, fp.get()) > 0) {
        if (header) {
            header = false;
            continue;
        }
        const char *p = line + strcspn(line, " \t");
        unsigned long dest = 0, gw = 0, mask = 0;
        unsigned int flags = 0;
        int refcnt = 0, use = 0, metric = 0, mtu = 0, window = 0, irtt = 0;
        if (sscanf(p, "%lx%lx%X%d%d%d%lx%d%d%d", &dest, &gw, &flags, &refcnt, &use, &metric, &mask,
                   &mtu, &window, &irtt) < 10) {
            const int e = errno;
            NET1_LOG("%s (%d) Unknow kernel routing table format, errno=[%s/%d]", strerror(e), e);
            ret = Fail(ERR_READ_FAILED);
            break;
        }
        if ((flags & 3) == 3 && dest == 0 && mask == 0) {
            in_addr in{};
            in.s_addr = static_cast<uint32_t>(gw);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &in, text, sizeof text);
            if (strlen(text) >= static_cast<size_t>(cbBuf)) {
                ret = Fail(ERR_BUF_TOO_SMALL);
            } else {
                memcpy(szBuf, text, strlen(text) + 1);
            }
            break;
        }
    }
    free(line);
    return ret;
}

extern "C" int QAVONetGetDNSDomain(QAVONETCARDINFO *pCard) {
    if (!pCard) return Fail(ERR_BAD_PARAMETERS);
    HostLock lock(SLIB_LOCK_SH);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.(%X)", __func__, __LINE__, SLIBErrGet());
        return -1;
    }
    memset(pCard->dns, 0, sizeof pCard->dns);
    slib::FilePtr fp(fopen(kResolvConf, "re"));
    if (!fp) {
        SLIBLog(LOG_ERR, "%s(%d) QAVOFOpen failed.(strerror=%s)", __func__, __LINE__,
                strerror(errno));
        return Fail(ERR_OPEN_FAILED);
    }
    try {
        char *raw = nullptr;
        size_t cap = 0;
        ssize_t got;
        int nDns = 0;
        while ((got = getline(&raw, &cap, fp.get())) > 0) {
            // Lines are taken 255 bytes at most.
            std::string_view line(raw,
                                  static_cast<size_t>(got) < 255 ? static_cast<size_t>(got) : 255);
            if (line.substr(0, 6) == "search" || line.substr(0, 6) == "domain") {
                std::vector<std::string> words = WordsWithEmpty(line);
                // The blanks between the keyword and the first domain are
                // one separator (the writer puts two tabs there): the first
                // domain goes to slot 0.
                size_t first = 1;
                while (first + 1 < words.size() && words[first].empty())
                    ++first;
                for (size_t i = first; i < words.size() && i - first < QAVO_NET_SEARCH_MAX; ++i) {
                    // A word longer than the slot is not cut into another name.
                    CopySlot(pCard->search[i - first],
                             words[i].size() < sizeof pCard->search[0] ? words[i] : "");
                }
            } else if (line.substr(0, 10) == "nameserver" && nDns < QAVO_NET_DNS_MAX) {
                std::vector<std::string> words;
                for (const std::string &w : WordsWithEmpty(line))
                    if (!w.empty()) words.push_back(w);
                if (words.size() >= 2 && words[1].size() < sizeof pCard->dns[0])
                    CopySlot(pCard->dns[nDns++], words[1]);
            }
        }
        free(raw);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
    if (!feof(fp.get())) {
        SLIBLog(LOG_ERR, "%s(%d) feof failed.(strerror=%s)", __func__, __LINE__, strerror(errno));
        return Fail(ERR_READ_FAILED);
    }
    return 0;
}

extern "C" int QAVOLnxGetHostname(char *szBuf) {
    if (!szBuf) return Fail(ERR_BAD_PARAMETERS);
    HostLock lock(SLIB_LOCK_SH);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.", __func__, __LINE__);
        return Fail(ERR_LOCK_FAILED);
    }
    char name[65] = {};
    if (gethostname(name, 64) != 0) {
        SLIBLog(LOG_ERR, "%s(%d) gethostname failed.(strerror=%s)", __func__, __LINE__,
                strerror(errno));
        return Fail(ERR_SYSTEM_CALL);
    }
    name[63] = '\0';  // the caller's 64 bytes
    name[strcspn(name, ".")] = '\0';
    memcpy(szBuf, name, strlen(name) + 1);
    return name[0] ? 1 : 0;
}

extern "C" int QAVOIRecoverIPSetting(const char *szIf, const QAVONETCARDINFO *pPrev) {
    if (!pPrev || pPrev->szIP[0] == '\0') return 0;
    if (!ListedIf(szIf)) return Fail(ERR_BAD_PARAMETERS);
    StaticSettings s;
    QAVONETCARDINFO prev = *pPrev;
    CopySlot(prev.szIf, szIf);
    if (CheckStatic(prev, s) < 0) return -1;
    char bcast[INET_ADDRSTRLEN];
    if (!Broadcast(s.ip, s.mask, bcast, sizeof bcast)) return Fail(ERR_BAD_IP_ADDRESS);
    if (Run({kIfconfig, szIf, s.ip, "netmask", s.mask, "broadcast", bcast}) != 0)
        return Fail(ERR_EXEC_FAILED);
    char now[20] = {};
    if (s.gateway[0] != '\0' && QAVOILnxGetGateway(now, sizeof now) == 0 && now[0] == '\0' &&
        Run({kRoute, "add", "default", "gw", s.gateway}) != 0)
        return Fail(ERR_EXEC_FAILED);
    return 0;
}

extern "C" int QAVOIIpConflict(const char *szIf, const char *szAddress) {
    in_addr probe{};
    if (!ListedIf(szIf) || !szAddress || inet_pton(AF_INET, szAddress, &probe) != 1)
        return Fail(ERR_BAD_PARAMETERS);
    char own[20] = {};
    if (QAVOILnxGetIP(szIf, own, sizeof own) == 0 && strcmp(own, szAddress) == 0) return 0;
    const int status = Run({kPing, "-c", "1", "-w", "2", szAddress});
    if (status == -1 || status == 255) {
        SLIBErrSet(ERR_EXEC_FAILED);
        const std::string cmd = Joined({kPing, "-c", "1", "-w", "2", szAddress});
        SLIBLog(LOG_ERR, "%s(%d): system(%s) failed.(strerror=%s)", __func__, __LINE__, cmd.c_str(),
                strerror(errno));
        return -1;
    }
    return status == 0 ? 1 : 0;
}

extern "C" int QAVOILnxRemoveGateway(void) {
    const int removed = SLIBFileRemoveKey(kNetworkFile, "GATEWAY");
    if (removed != -1) Run({kRoute, "delete", "default"});
    return removed;
}

extern "C" int QAVOILnxRenewResolvConf(void) {
    if (Run({"/bin/mv", "-f", kResolvConf, kResolvTmp}) != 0) return Fail(ERR_MOVE_FAILED);
    if (Run({"/bin/touch", kResolvConf}) != 0) {
        Run({"/bin/mv", "-f", kResolvTmp, kResolvConf});
        return Fail(ERR_EXEC_FAILED);
    }
    if (SLIBSysUnlink(kResolvTmp) != 0)
        SLIBLog(LOG_ERR, "%s(%d): unlink [%s] failed, but go on...", __func__, __LINE__,
                kResolvTmp);
    return 0;
}

extern "C" int QAVOIGetKeyValueFirstItem(const char *szFile, const char *szKey, char chSep,
                                         char *szOut, int cbOut) {
    if (!szFile || !szKey || !szOut || cbOut <= 0) return Fail(ERR_BAD_PARAMETERS);
    const int need = SLIBFileGetKeyValue(szFile, szKey, nullptr, 0, 0);
    if (need <= 0) return need;
    try {
        std::vector<char> value(static_cast<size_t>(need));
        const int got = SLIBFileGetKeyValue(szFile, szKey, value.data(), need, 0);
        if (got <= 0) return got;
        std::string_view item(value.data());
        item = item.substr(0, item.find(chSep));
        const size_t n = item.size() < static_cast<size_t>(cbOut) - 1
                             ? item.size()
                             : static_cast<size_t>(cbOut) - 1;
        memcpy(szOut, item.data(), n);
        szOut[n] = '\0';
        return got;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOINetGetCardInfo(QAVONETCARDINFO *pCard, const SLIBNETIFINFO *pIf) {
    if (!pCard || !pIf) return Fail(ERR_BAD_PARAMETERS);
    memset(pCard, 0, sizeof *pCard);
    CopySlot(pCard->szIf, std::string_view(pIf->name, strnlen(pIf->name, sizeof pIf->name)));
    memcpy(pCard->mac, pIf->mac, sizeof pCard->mac);
    pCard->blLink = pIf->link == 2 ? 1 : 0;
    if (!PlainIfName(pCard->szIf)) return Fail(ERR_BAD_PARAMETERS);
    try {
        std::string path;
        if (BlQAVOLnxIsDHCP(pCard->szIf)) {
            pCard->bStatic = 0;
            path = InfoPath(pCard->szIf);
            for (int look = 1; look < 3 && !IsRegular(path); ++look)
                sleep(1);
        } else {
            pCard->bStatic = 1;
            path = IfcfgPath(pCard->szIf);
        }
        if (!ReadKey(path, "IPADDR", pCard->szIP)) {
            NET1_LOG("%s(%d) Get IP from %s fail", path.c_str());
            return -1;
        }
        if (!ReadKey(path, "NETMASK", pCard->szMask)) {
            NET1_LOG("%s(%d) Get netmask from %s fail", path.c_str());
            return -1;
        }
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
    if (QAVOILnxGetGateway(pCard->szGateway, sizeof pCard->szGateway) < 0)
        NET1_LOG("%s(%d) Failed to get gateway");
    if (IsRegular(kResolvConf) && QAVONetGetDNSDomain(pCard) < 0) {
        NET1_LOG("%s(%d) Get domain fail");
        return -1;
    }
    if (QAVOIGetKeyValueFirstItem(kSmbConf, "wins server", ',', pCard->wins, sizeof pCard->wins) <
        0) {
        NET1_LOG("%s(%d) Get wins server fail");
        return -1;
    }
    return 0;
}

extern "C" int QAVOIGetDHCPTestNetInfo(QAVONETCARDINFO *pCard) {
    if (!pCard || !ListedIf(pCard->szIf)) return Fail(ERR_BAD_PARAMETERS);
    char dev[16];
    CopySlot(dev, Slot(pCard->szIf));
    memset(pCard, 0, sizeof *pCard);
    CopySlot(pCard->szIf, dev);
    try {
        const std::string secs = std::to_string(kDhcpTimeout);
        if (Run({kDhcpcd, "-T", dev, "-t", secs.c_str()}) != 0) {
            const std::string cmd = Joined({kDhcpcd, "-T", dev, "-t", secs.c_str()});
            SLIBLog(LOG_ERR, "%s(%d) %s failed(%s).", __func__, __LINE__, cmd.c_str(),
                    strerror(errno));
            return Fail(ERR_EXEC_FAILED);
        }
        const std::string info = InfoPath(dev);
        if (!ReadKey(info, "IPADDR", pCard->szIP)) {
            SLIBLog(LOG_ERR, "%s(%d) SLIBFileGetKeyValue(IPADDR) failed(%X).", __func__, __LINE__,
                    SLIBErrGet());
            return -1;
        }
        if (!ReadKey(info, "NETMASK", pCard->szMask)) {
            SLIBLog(LOG_ERR, "%s(%d) SLIBFileGetKeyValue(NETMASK) failed(%X).", __func__, __LINE__,
                    SLIBErrGet());
            return -1;
        }
        if (QAVOIGetKeyValueFirstItem(info.c_str(), "GATEWAY", ',', pCard->szGateway,
                                      sizeof pCard->szGateway) < 0) {
            SLIBLog(LOG_ERR, "%s(%d) Get gateway from %s fail.", __func__, __LINE__, info.c_str());
            return -1;
        }
        if (QAVOIGetKeyValueFirstItem(info.c_str(), "DNS", ',', pCard->dns[0],
                                      sizeof pCard->dns[0]) < 0) {
            SLIBLog(LOG_ERR, "%s(%d) Get dns from %s fail.", __func__, __LINE__, info.c_str());
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetEnumCard(void) {
    const int n = SLIBNetEnumIf(nullptr, QAVO_NET_CARD_MAX);
    return n < 0 ? -1 : n;
}

extern "C" int QAVONetGetCard1(int index, const char *szAddress, QAVONETCARDINFO *pCard) {
    if (!pCard || (!szAddress && (index < 0 || index >= QAVO_NET_CARD_MAX)))
        return Fail(ERR_BAD_PARAMETERS);
    HostLock lock(SLIB_LOCK_SH);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.", __func__, __LINE__);
        return Fail(ERR_LOCK_FAILED);
    }
    std::array<SLIBNETIFINFO, QAVO_NET_CARD_MAX> cards{};
    const int n = SLIBNetEnumIf(cards.data(), QAVO_NET_CARD_MAX);
    if (n < 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s", __func__, __LINE__, "Get interface info fail.");
        return -1;
    }
    if (n == 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s", __func__, __LINE__, "No interface.");
        return 0;
    }
    const std::string wanted = "eth" + std::to_string(index);
    for (int i = 0; i < n; ++i) {
        const char *name = cards[i].name;
        if (szAddress) {
            char ip[20] = {};
            if (QAVOILnxGetIP(name, ip, sizeof ip) != 0 || strcmp(ip, szAddress) != 0) continue;
        } else if (wanted != name) {
            continue;
        }
        return QAVOINetGetCardInfo(pCard, &cards[i]) == 0 ? 1 : -1;
    }
    return 0;
}

extern "C" int QAVOLnxSetHostname(const char *szName) {
    if (!szName || !HostNameOk(szName)) {
        SLIBLog(LOG_ERR, "%s(%d) Bad parameters.", __func__, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    HostLock lock(SLIB_LOCK_EX);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.", __func__, __LINE__);
        return Fail(ERR_LOCK_FAILED);
    }
    try {
        return DoSetHostname(szName);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetSetDNSDomain(const QAVONETCARDINFO *pCard) {
    if (!pCard) return Fail(ERR_BAD_PARAMETERS);
    try {
        std::string content;
        for (const auto &slot : pCard->dns) {
            char addr[16];
            CopySlot(addr, Slot(slot));
            if (addr[0] != '\0' && BlSLIBIsIPAddress(addr))
                content += std::string("nameserver\t") + addr + "\n";
        }
        // All domains on one "search" line: the resolver honours only the
        // last such line.
        std::string search;
        for (const auto &slot : pCard->search) {
            const std::string domain = Slot(slot).substr(0, 127);
            if (domain.empty()) continue;
            // One word per domain: no blank or control byte may split it.
            for (unsigned char c : domain)
                if (c <= ' ' || c == 0x7F) return Fail(ERR_BAD_PARAMETERS);
            search += (search.empty() ? "" : " ") + domain;
        }
        if (!search.empty()) content += "search\t\t" + search + "\n";
        HostLock lock(SLIB_LOCK_EX);
        if (!lock.Held()) {
            SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.(%X)", __func__, __LINE__,
                    SLIBErrGet());
            return -1;
        }
        slib::RewriteSet rw;
        FILE *fp = rw.Open(kResolvConf, kResolvTmp);
        if (!fp) return -1;
        if (!slib::WriteAll(fp, content)) return Fail(ERR_WRITE_FAILED);
        if (!rw.Commit()) {
            SLIBLog(LOG_ERR, "%s(%d): SLIBSysRename(%s, %s) failed.(strerror=%s)", __func__,
                    __LINE__, kResolvTmp, kResolvConf, strerror(rw.RenameError()));
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetSetCard1(const QAVONETCARDINFO *pNew, const QAVONETCARDINFO *pPrev) {
    if (!pNew || !ListedIf(pNew->szIf)) return Fail(ERR_BAD_PARAMETERS);
    HostLock lock(SLIB_LOCK_EX);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d) ErrSLIBFileLock failed.", __func__, __LINE__);
        return Fail(ERR_LOCK_FAILED);
    }
    try {
        return pNew->bStatic ? SetIPNetmask(*pNew, pPrev) : SetDHCP(pNew->szIf, pPrev);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOISetIfMTU(const char *szMTU) {
    if (!szMTU) return Fail(ERR_BAD_PARAMETERS);
    if (SLIBProcExecWait(kIfconfig, kMtuIf, "mtu", szMTU, nullptr) != 0) {
        NET1_LOG("%s (%d) Failed to ifconfig MTU Value");
        return Fail(ERR_EXEC_FAILED);
    }
    return 0;
}

extern "C" int QAVOISaveMTUValue(const char *szMTU) {
    if (!szMTU) return Fail(ERR_BAD_PARAMETERS);
    if (ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | SLIB_LOCK_EX, kLockTimeout) != 0) {
        NET1_LOG("%s (%d) Failed to lock qavoinfo(%X)", SLIBErrGet());
        return -1;
    }
    int ret = 0;
    if (SLIBFileSetKeyValue(SLIB_QAVOINFO_PATH, "MTUValue", szMTU, SLIB_KEYVALUE_FMT_QUOTED) < 0) {
        NET1_LOG("%s (%d) Failed to set MTU value(%X)", SLIBErrGet());
        ret = -1;
    }
    const SLIBERRCODE code = SLIBErrGet();
    if (SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO) != 0) {
        NET1_LOG("%s (%d) Failed to unlock qavoinfo(%X)", SLIBErrGet());
        return -1;
    }
    if (ret < 0) SLIBErrSet(code);
    return ret;
}

extern "C" int QAVOIGetIfMTU(void) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct ifreq ifr {};
    memcpy(ifr.ifr_name, kMtuIf, strlen(kMtuIf));
    const int r = ioctl(fd, SIOCGIFMTU, &ifr);
    close(fd);
    return r == 0 ? ifr.ifr_mtu : 0;
}

extern "C" int QAVOIGetEthInfo(QAVOETHINFO *pInfo) {
    if (!pInfo) return Fail(ERR_BAD_PARAMETERS);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(ERR_SYSTEM_CALL);
    int ret = 0;
    struct ethtool_cmd cmd {};
    cmd.cmd = ETHTOOL_GSET;
    struct ifreq ifr {};
    memcpy(ifr.ifr_name, kMtuIf, strlen(kMtuIf));
    ifr.ifr_data = reinterpret_cast<char *>(&cmd);
    if (ioctl(fd, SIOCETHTOOL, &ifr) == 0) {
        const uint32_t speed = ethtool_cmd_speed(&cmd);
        // Gigabit and faster links are alike here; SPEED_UNKNOWN is not a speed.
        if (speed == SPEED_10 || speed == SPEED_100 ||
            (speed >= SPEED_1000 && speed <= static_cast<uint32_t>(INT32_MAX))) {
            pInfo->nSpeed = static_cast<int32_t>(speed);
        } else {
            pInfo->nSpeed = -1;
        }
        pInfo->nDuplex = cmd.duplex == DUPLEX_HALF ? 0 : cmd.duplex == DUPLEX_FULL ? 1 : -1;
    } else if (errno != EOPNOTSUPP) {
        SLIBErrSet(ERR_SYSTEM_CALL);
        ret = -1;
    }
    close(fd);
    pInfo->nMTU = QAVOIGetIfMTU();
    if (pInfo->nMTU <= 0) {
        pInfo->nMTU = -1;
        SLIBErrSet(ERR_SYSTEM_CALL);
        ret = -1;
    }
    return ret;
}

extern "C" int QAVONetSetMTUValue(const char *szMTU) {
    // A decimal MTU of up to five digits; anything else is refused before the
    // interface or the settings are touched.
    const size_t len = szMTU ? strnlen(szMTU, 6) : 0;
    if (len == 0 || len > 5 || strspn(szMTU, "0123456789") != len) return Fail(ERR_BAD_PARAMETERS);
    QAVOETHINFO info{};
    if (QAVOIGetEthInfo(&info) < 0) {
        NET1_LOG("%s(%d): Can not get EthInfo(%X).", SLIBErrGet());
        return -1;
    }
    if (info.nSpeed == -1) {
        NET1_LOG("%s(%d): Speed is Unknown(%X).", SLIBErrGet());
        return -1;
    }
    if (info.nSpeed >= 1000) {
        const int set = QAVOISetIfMTU(szMTU);
        sleep(5);  // the link settles again
        if (set < 0) {
            NET1_LOG("%s (%d) Failed to ifconfig MTU Value(%X)", SLIBErrGet());
            return -1;
        }
    }
    // Stored only once the interface took it (or is left for a later link).
    if (QAVOISaveMTUValue(szMTU) < 0) {
        NET1_LOG("%s (%d) Failed to ifconfig MTU Value(%X)", SLIBErrGet());
        return -1;
    }
    return 0;
}

extern "C" int APPLEISetServName(const char *szHostname) {
    if (!szHostname || !HostNameOk(szHostname)) return Fail(ERR_BAD_PARAMETERS);
    try {
        slib::FilePtr in(fopen(kAfpdConf, "re"));
        if (!in) {
            if (errno == ENOENT) return 0;  // no AFP server to name
            return Fail(ERR_OPEN_FAILED);
        }
        std::string content;
        bool done = false;
        char *raw = nullptr;
        size_t cap = 0;
        ssize_t got;
        while ((got = getline(&raw, &cap, in.get())) > 0) {
            std::string_view line(raw, static_cast<size_t>(got));
            std::string rebuilt;
            const bool nl = !line.empty() && line.back() == '\n';
            if (!done && RebuildServerLine(nl ? line.substr(0, line.size() - 1) : line, szHostname,
                                           rebuilt)) {
                done = true;
                content += rebuilt;
                if (nl) content += '\n';
            } else {
                content += line;
            }
        }
        free(raw);
        if (ferror(in.get())) return Fail(ERR_READ_FAILED);
        if (!done) return 0;  // no server line: nothing to name
        char tmp[256];
        if (SLIBFileGetTempName(kAfpdConf, tmp, sizeof tmp) != 0) return Fail(ERR_OPEN_FAILED);
        slib::RewriteSet rw;
        FILE *fp = rw.Open(kAfpdConf, tmp);
        if (!fp) return Fail(ERR_OPEN_FAILED);
        if (!slib::WriteAll(fp, content)) return Fail(ERR_WRITE_FAILED);
        if (!rw.Commit()) return Fail(rw.RenameError() ? ERR_EXEC_FAILED : ERR_WRITE_FAILED);
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}
