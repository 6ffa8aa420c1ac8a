// Files the account benchmarks lay out before each run.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace bench {

// Writes text to path and gives it mode; quietly nothing when it cannot.
inline void Write(const char *path, const std::string &text, mode_t mode) {
    FILE *fp = fopen(path, "w");
    if (!fp) return;
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
    chmod(path, mode);
}

// The account files with users u3000 ... (uids from 3000, outside the range
// new users are given) with their shadow and SMB lines, every one in group
// staff and in a share's list: the same files bench/scripts/lib/shadow_files.sh
// gives the shadow tools.
inline void WriteAccountFiles(int users) {
    const std::string hash = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
    std::string passwd = "root:x:0:0:root:/root:/bin/sh\n",
                shadow = "root:" + hash + ":14000:0:99999:7:::\n", smb, members;
    for (int i = 0; i < users; ++i) {
        const std::string name = "u" + std::to_string(3000 + i), uid = std::to_string(3000 + i);
        passwd += name + ":x:" + uid + ":100::/:/bin/csh\n";
        shadow += name + ":" + hash + ":14000:0:99999:7:::\n";
        smb += name + ":" + uid +
               ":01FC5A6BE7BC6929AAD3B435B51404EE:0CB6948805F797BF2A82807973B89537:[U          ]:"
               "LCT-4A5B6C7D:\n";
        members += name + ",";
    }
    mkdir("/usr/qavo/etc/private", 0700);
    Write("/etc/passwd", passwd, 0644);
    Write("/etc/shadow", shadow, 0600);
    Write("/usr/qavo/etc/private/smbpasswd", smb, 0600);
    Write("/etc/group",
          "root:x:0:\nusers:x:100:nobody,nobody\nstaff:x:65536:nobody," + members + "nobody\n",
          0644);
    Write("/usr/qavo/etc/smb.conf",
          "[global]\n\tworkgroup=WG\n[docs]\n\tvalid users=nobody," + members + "nobody\n", 0644);
}

}  // namespace bench
