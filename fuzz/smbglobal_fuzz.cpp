// SMB workgroup and WINS: the [global] section of an smb.conf of any bytes
// read into a buffer of exactly the size asked for (one byte short fills
// nothing), and the WINS servers of a DHCP lease and interface settings of
// any bytes read into small and sufficient buffers.
#include <sys/stat.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "qavo_group.h"
#include "qavo_smb.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    mkdir("/usr/qavo/etc", 0755);
    mkdir("/etc/dhcpc", 0755);
    mkdir("/etc/sysconfig", 0755);
    mkdir("/etc/sysconfig/network-scripts", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t room = data[0];
    auto parts = qfuzz::Parts(data + 1, size - 1, 3);
    qfuzz::Put(SZF_SMBCONF, parts[0]);
    qfuzz::Put("/etc/dhcpc/dhcpcd-eth0.info", parts[1]);
    qfuzz::Put("/etc/sysconfig/network-scripts/ifcfg-eth0", parts[2]);

    int needed = 0;
    if (QAVOWinGetConf(QAVO_WINCONF_TYPE, nullptr, 0, &needed) >= 0 && needed > 0) {
        if (needed > 1) {
            auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(needed - 1));
            int ignored = 0;
            QFUZZ_CHECK(QAVOWinGetConf(QAVO_WINCONF_TYPE, small.get(), needed - 1, &ignored) != 1);
        }
        auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
        auto *conf = reinterpret_cast<QAVOWINCONF *>(buf.get());
        if (QAVOWinGetConf(QAVO_WINCONF_TYPE, conf, needed, &needed) == 1)
            QFUZZ_CHECK(strlen(conf->szWorkgroup) < static_cast<size_t>(needed));
    }
    for (size_t cap : {room, parts[1].size() + 16}) {
        auto buf = std::make_unique<char[]>(cap ? cap : 1);
        if (QAVOWinGetDHCPWins(buf.get(), static_cast<int>(cap)) == 1)
            QFUZZ_CHECK(strlen(buf.get()) < cap);
    }
    return 0;
}
