// The network-backup server of a test (sim/netbkp-server): a real rsync
// daemon on 192.0.2.2 in the appliance root's own network namespace with the
// module "NetBackup", and dnsmasq answering names under "example.test"
// ("backup.example.test" is 192.0.2.2 and 2001:db8::2).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "appliance.h"

namespace bkptest {

inline const char *const kAddr = "192.0.2.2";
inline const char *const kName = "backup.example.test";
inline const char *const kModuleDir = "/sim/netbkp/NetBackup";

class BackupServer {
  public:
    // accounts: "user:password" each; a hosts file text replaces the names.
    explicit BackupServer(const std::vector<std::string> &accounts = {"root:Secret-1",
                                                                      "admin:adm pw"},
                          const std::string &hosts = {}) {
        if (!hosts.empty()) {
            qtest::Sh("mkdir -p /sim/netbkp");
            qtest::WriteFile("/sim/netbkp/hosts", hosts);
        }
        std::vector<std::string> argv = {"/sim/bin/netbkp-server", "up"};
        argv.insert(argv.end(), accounts.begin(), accounts.end());
        std::string out;
        EXPECT_EQ(qtest::Exec(argv, &out), 0) << out;
    }
    // A server whose rsync daemon is gone (and back).
    void StopDaemon() { EXPECT_EQ(qtest::Exec({"/sim/bin/netbkp-server", "rsyncd-stop"}), 0); }
    void StartDaemon() { EXPECT_EQ(qtest::Exec({"/sim/bin/netbkp-server", "rsyncd-start"}), 0); }

    // A file of the module (folders made as needed).
    static void Put(const std::string &relPath, const std::string &content) {
        const std::string path = std::string(kModuleDir) + "/" + relPath;
        qtest::Exec({"/usr/bin/mkdir", "-p", path.substr(0, path.rfind('/'))});
        qtest::WriteFile(path, content);
    }
    static void MakeDir(const std::string &relPath) {
        qtest::Exec({"/usr/bin/mkdir", "-p", std::string(kModuleDir) + "/" + relPath});
    }
};

// Calls of one stand-in program (by path), each its arguments.
inline std::vector<std::vector<std::string>> CallsOf(const std::string &program) {
    std::vector<std::vector<std::string>> out;
    for (auto &c : qtest::Calls()) {
        if (!c.empty() && c[0] == program) out.emplace_back(c.begin() + 1, c.end());
    }
    return out;
}

}  // namespace bkptest
