// Samba's own reader of smb.conf, run on a file the library wrote.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "appliance.h"

namespace qtest {

// testparm's exit status for the file: 0 when Samba accepts it. Samba's
// run-time directories are made first (the appliance root has none).
inline int Testparm(const std::string &path, std::string *out = nullptr) {
    Exec({"/bin/mkdir", "-p", "/run/samba", "/var/lib/samba/private", "/var/cache/samba",
          "/var/log/samba"});
    std::string report;
    return Exec({"/bin/sh", "-c", "/usr/bin/testparm -s \"$0\" 2>&1", path}, out ? out : &report);
}

// testparm's value of a global parameter of the file, without its line end;
// the test fails when testparm does.
inline std::string TestparmParam(const std::string &path, const std::string &name) {
    Exec({"/bin/mkdir", "-p", "/run/samba", "/var/lib/samba/private", "/var/cache/samba"});
    std::string out;
    EXPECT_EQ(Exec({"/usr/bin/testparm", "-s", "--parameter-name=" + name, path}, &out), 0);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

}  // namespace qtest
