// IPv4 network interfaces through the socket ioctls.
#include "slib_netif.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "slib_errcode.h"
#include "slib_util.h"

namespace {

// Names of "/proc/net/dev", read once per process (while the count is 0).
char gszIfNames[SLIBNET_IF_CACHE_MAX][IFNAMSIZ];
int gnIfNames = 0;

// One IPv4 datagram socket for the ioctls of one call.
class IfSocket {
  public:
    IfSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~IfSocket() {
        if (fd_ >= 0) close(fd_);
    }
    IfSocket(const IfSocket &) = delete;
    IfSocket &operator=(const IfSocket &) = delete;
    bool Ok() const { return fd_ >= 0; }
    bool Ioctl(unsigned long request, void *arg) const { return ioctl(fd_, request, arg) == 0; }

  private:
    int fd_;
};

// Puts the name into the request. A name that does not fit whole is refused:
// the kernel would cut it and act on another interface.
bool SetName(struct ifreq &ifr, const char *name) {
    memset(&ifr, 0, sizeof(ifr));
    if (name == nullptr) return false;
    const size_t len = strnlen(name, IFNAMSIZ);
    if (len == 0 || len >= IFNAMSIZ) return false;
    memcpy(ifr.ifr_name, name, len);
    return true;
}

void SetInetAddr(struct sockaddr &sa, uint32_t value) {
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = value;
    memcpy(&sa, &sin, sizeof(sin));
}

uint32_t GetInetAddr(const struct sockaddr &sa) {
    struct sockaddr_in sin;
    memcpy(&sin, &sa, sizeof(sin));
    return sin.sin_addr.s_addr;
}

// Fills the name cache from "/proc/net/dev": two header lines, then one
// interface per line, its name before the first ':'. The cache is replaced
// only by a complete, well-formed listing. 0, or -1.
int LoadIfNames() {
    slib::FilePtr fp(fopen("/proc/net/dev", "re"));
    if (!fp) return -1;
    char names[SLIBNET_IF_CACHE_MAX][IFNAMSIZ];
    int count = 0;
    char *line = nullptr;
    size_t cap = 0;
    int lineNo = 0;
    int ret = 0;
    for (;;) {
        errno = 0;
        if (getline(&line, &cap, fp.get()) < 0) {
            if (errno == ENOMEM) {
                SLIBErrSet(ERR_OUT_OF_MEMORY);
                ret = -1;
            } else if (ferror(fp.get())) {
                ret = -1;
            }
            break;
        }
        if (++lineNo <= 2) continue;
        const char *name = line + strspn(line, " \t");
        const char *colon = strchr(name, ':');
        const size_t len = colon ? static_cast<size_t>(colon - name) : 0;
        if (len == 0 || len >= IFNAMSIZ) {
            SLIBLog(LOG_ERR, "%s(%d) assert %s", "lib/qavonetif", __LINE__, "NULL != pch");
            ret = -1;
            break;
        }
        if (count < SLIBNET_IF_CACHE_MAX) {
            memcpy(names[count], name, len);
            names[count][len] = '\0';
            ++count;
        }
    }
    free(line);
    if (ret < 0) {
        gnIfNames = 0;
        return -1;
    }
    memcpy(gszIfNames, names, sizeof(names[0]) * count);
    gnIfNames = count;
    return 0;
}

}  // namespace

extern "C" {

int SLIBNetEnumIf(SLIBNETIFINFO *array, int max) {
    if (max < 0) return -1;
    if (gnIfNames == 0 && LoadIfNames() < 0) return -1;
    IfSocket sock;
    if (!sock.Ok()) return -1;
    int found = 0;
    for (int i = 0; i < gnIfNames && found < max; ++i) {
        struct ifreq ifr;
        if (!SetName(ifr, gszIfNames[i]) || !sock.Ioctl(SIOCGIFFLAGS, &ifr)) continue;
        const int flags = static_cast<int16_t>(ifr.ifr_flags);
        if ((flags & IFF_LOOPBACK) || !(flags & IFF_UP)) continue;
        if (array != nullptr) {
            SLIBNETIFINFO &info = array[found];
            memcpy(info.name, gszIfNames[i], sizeof(info.name));
            info.flags = flags;
            info.link = (flags & IFF_RUNNING) ? 2 : 0;
            if (SetName(ifr, gszIfNames[i]) && sock.Ioctl(SIOCGIFHWADDR, &ifr)) {
                memcpy(info.mac, ifr.ifr_hwaddr.sa_data, sizeof(info.mac));
            }
            if (SetName(ifr, gszIfNames[i]) && sock.Ioctl(SIOCGIFADDR, &ifr)) {
                struct in_addr in;
                in.s_addr = GetInetAddr(ifr.ifr_addr);
                inet_ntop(AF_INET, &in, info.address, sizeof(info.address));
            }
        }
        ++found;
    }
    return found;
}

int SLIBNetGetPsIf(SLIBNETIFINFO *info) {
    if (info == nullptr) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    memset(info->name, 0, sizeof(info->name));
    memcpy(info->name, "eth0", 4);
    info->address[0] = '\0';

    bool found = false;
    IfSocket sock;
    if (sock.Ok()) {
        // Room for 32 entries, whatever an entry's size on this machine.
        std::array<struct ifreq, 32> reqs{};
        struct ifconf ifc;
        memset(&ifc, 0, sizeof(ifc));
        ifc.ifc_len = static_cast<int>(sizeof(reqs));
        ifc.ifc_req = reqs.data();
        if (sock.Ioctl(SIOCGIFCONF, &ifc)) {
            const size_t n = static_cast<size_t>(ifc.ifc_len) / sizeof(struct ifreq);
            for (size_t i = 0; i < n && i < reqs.size() && !found; ++i) {
                char name[IFNAMSIZ];
                memcpy(name, reqs[i].ifr_name, IFNAMSIZ);
                name[IFNAMSIZ - 1] = '\0';
                struct ifreq ifr;
                if (!SetName(ifr, name) || !sock.Ioctl(SIOCGIFFLAGS, &ifr)) continue;
                if (ifr.ifr_flags & IFF_LOOPBACK) continue;
                if (!SetName(ifr, name) || !sock.Ioctl(SIOCGIFHWADDR, &ifr)) continue;
                memcpy(info->mac, ifr.ifr_hwaddr.sa_data, sizeof(info->mac));
                found = true;
            }
        }
    }
    if (!found) SLIBLog(LOG_ERR, "%s: get mac addr error\n", "SLIBNetGetPsIf");
    info->link = 2;
    info->flags = 0;
    info->reserved1 = 0;
    memset(info->reserved2, 0, sizeof(info->reserved2));
    return 1;
}

int SLIBNetGetIfAddr(const char *name, uint32_t *address, uint32_t *netmask) {
    struct ifreq ifr;
    if (address == nullptr || netmask == nullptr || !SetName(ifr, name)) return 0;
    IfSocket sock;
    if (!sock.Ok() || !sock.Ioctl(SIOCGIFADDR, &ifr)) return 0;
    *address = GetInetAddr(ifr.ifr_addr);
    SetName(ifr, name);
    if (!sock.Ioctl(SIOCGIFNETMASK, &ifr)) return 0;
    *netmask = GetInetAddr(ifr.ifr_netmask);
    return 1;
}

int SLIBNetSetIfAddr(const char *name, const uint32_t *address, const uint32_t *netmask) {
    struct ifreq ifr;
    if (address == nullptr || netmask == nullptr || !SetName(ifr, name)) return 0;
    IfSocket sock;
    if (!sock.Ok()) return 0;
    SetInetAddr(ifr.ifr_addr, *address);
    if (!sock.Ioctl(SIOCSIFADDR, &ifr) && errno != EEXIST) return 0;
    SetName(ifr, name);
    SetInetAddr(ifr.ifr_netmask, *netmask);
    return sock.Ioctl(SIOCSIFNETMASK, &ifr) ? 1 : 0;
}

int SLIBNetSetIfFlags(const char *name, int flags) {
    struct ifreq ifr;
    if (!SetName(ifr, name)) return 0;
    IfSocket sock;
    if (!sock.Ok() || !sock.Ioctl(SIOCGIFFLAGS, &ifr)) return 0;
    uint32_t value = static_cast<uint16_t>(ifr.ifr_flags);
    if (flags >= 0) {
        value |= static_cast<uint32_t>(flags);
    } else {
        // -x clears the bits of x; computed unsigned so that INT_MIN is safe.
        value &= ~(0u - static_cast<uint32_t>(flags));
    }
    ifr.ifr_flags = static_cast<short>(static_cast<uint16_t>(value));
    return sock.Ioctl(SIOCSIFFLAGS, &ifr) ? 1 : 0;
}

int SLIBNetRestartIf(const char *name) {
    struct ifreq ifr;
    if (!SetName(ifr, name)) return 0;
    IfSocket sock;
    if (!sock.Ok() || !sock.Ioctl(SIOCGIFFLAGS, &ifr)) return 0;
    if (ifr.ifr_flags & IFF_UP) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
        if (!sock.Ioctl(SIOCSIFFLAGS, &ifr)) return 0;
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    return sock.Ioctl(SIOCSIFFLAGS, &ifr) ? 1 : 0;
}

}  // extern "C"
