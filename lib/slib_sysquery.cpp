// Queries about the running appliance.
#include "slib_sysquery.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_util.h"

extern char **environ;

namespace {

constexpr const char *kSmbConf = "/usr/qavo/etc/smb.conf";
constexpr const char *kPaneldPid = "/var/run/paneld.pid";
constexpr int kPidRoom = 64;
constexpr int kDefaultMaxServices = 32;
constexpr unsigned long kLpiocSoftReset = 0x5009;
constexpr int kBusyTries = 9;
// Printer messages name the module they come from.
constexpr const char *kPrinterSource = "gpl/qavomisc";
constexpr const char *kPrinterFunc = "QAVOResetPrinter";

// The model's connection limit, read once per process; -1 until then.
int g_maxServices = -1;

int MaxServices() {
    if (g_maxServices >= 0) return g_maxServices;
    char value[16];
    long limit = -1;
    if (SLIBFileGetKeyValue(slib::kQavoinfoDefaults, "maxservices", value, sizeof(value), 0) > 0)
        limit = strtol(value, nullptr, 10);
    if (limit < 0 || limit > INT32_MAX) limit = kDefaultMaxServices;
    g_maxServices = static_cast<int>(limit);
    return g_maxServices;
}

// Processes of a daemon beyond its own masters; false when the search fails.
bool Clients(const char *daemon, int masters, uint32_t &count) {
    int pids[kPidRoom];
    int n = SLIBProcGetPidsByName(daemon, pids, kPidRoom);
    if (n < 0) return false;
    count += static_cast<uint32_t>(std::max(n - masters, 0));
    return true;
}

bool IsPasswordVariable(const char *entry) {
    static const char *const kVars[] = {"PASSWD=", "PASSWD_FD=", "PASSWD_FILE="};
    for (const char *v : kVars)
        if (strncmp(entry, v, strlen(v)) == 0) return true;
    return false;
}

int CheckCredential(const char *user, const char *password) {
    // A "%" in the user name would be taken for the start of a password, and
    // the tool reads a password from its pipe only up to a newline: refuse
    // both rather than check other credentials than the ones given.
    if (!user || !*user || !password || strchr(user, '%') || strchr(password, '\n') ||
        strlen(password) > SLIB_PROC_INPUT_MAX) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return 0;
    }
    char pdc[SLIB_PDC_ADDRESS_SIZE];
    if (SLIBGetPDCAddress(pdc) != 1) {
        SLIBErrSet(ERR_NOT_FOUND);
        return 0;
    }
    // No shell: the names go as arguments of their own, the user name after
    // "--" so that one beginning with "-" stays a name. The password goes on
    // standard input, which PASSWD_FD=0 points the tool at; an empty one is
    // given as "user%" since the tool takes an empty pipe for no password.
    const bool empty = *password == '\0';
    std::string userArg = std::string("-U") + user + (empty ? "%" : "");
    std::string pdcArg = std::string("-I") + pdc;
    const char *argv[] = {SLIB_DOMAIN_NET_TOOL, "rpc", "user", "info", userArg.c_str(),
                          pdcArg.c_str(),       "--",  user,   nullptr};
    std::vector<const char *> envp;
    for (char **e = environ; e && *e; ++e)
        if (!IsPasswordVariable(*e)) envp.push_back(*e);
    if (!empty) envp.push_back("PASSWD_FD=0");
    envp.push_back(nullptr);
    int rc = SLIBProcExecWaitArgv(argv, envp.data(), empty ? nullptr : password);
    if (rc != 0) {
        SLIBErrSet(ERR_NO_SUCH_USER);
        return 0;
    }
    return 1;
}

// "/dev/usb/<name>" into path; false for a name that is empty, holds a "/",
// is "." or "..", or does not fit.
bool PrinterPath(const char *name, char (&path)[16]) {
    if (!name || !*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    int n = snprintf(path, sizeof(path), "/dev/usb/%s", name);
    return n > 0 && static_cast<size_t>(n) < sizeof(path);
}

}  // namespace

extern "C" int BlSLIBIsCJKCodePage(void) {
    char value[8192];
    if (SLIBFileGetKeyValue(kSmbConf, "client code page", value, sizeof(value), 0) <= 0) return 0;
    for (const char *cp : {"932", "936", "949", "950"})
        if (strcmp(value, cp) == 0) return 1;
    return 0;
}

extern "C" int SLIBGetPDCAddress(char *output) {
    if (!output) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    FILE *fp = fopen(SLIB_PDC_IP_PATH, "re");
    if (!fp) {
        SLIBErrSet(ERR_OPEN_FAILED);
        return -1;
    }
    char line[256];
    bool got = fgets(line, sizeof(line), fp) != nullptr;
    fclose(fp);
    if (!got) {
        SLIBErrSet(ERR_READ_FAILED);
        return -1;
    }
    line[strcspn(line, ":\n")] = '\0';
    size_t len = strlen(line);
    if (len >= SLIB_PDC_ADDRESS_SIZE) {
        SLIBErrSet(ERR_DOMAIN_QUERY);
        return -1;
    }
    memcpy(output, line, len + 1);
    return 1;
}

extern "C" int BlSLIBCheckDomainCredential(const char *user, const char *password) {
    try {
        return CheckCredential(user, password);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return 0;
    }
}

extern "C" int SLIBGetConnectionCount(uint32_t *count) {
    if (!count) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    // Two smbd masters (the server and its helper), one afpd and one ftpd:
    // every process beyond them serves one client.
    uint32_t total = 0;
    if (!Clients("/usr/qavo/sbin/smbd", 2, total) || !Clients("/usr/qavo/sbin/afpd", 1, total) ||
        !Clients("/usr/qavo/sbin/ftpd", 1, total))
        return -1;
    *count = total;
    return 0;
}

extern "C" int SLIBCheckConnectionLimit(int timeout, int strict) {
    if (ErrSLIBFileLock(SLIB_LOCK_CONNECT | SLIB_LOCK_EX, timeout) != 0) {
        SLIBErrSet(ERR_LOCK_FAILED);
        return -1;
    }
    int limit = MaxServices();
    uint32_t count = 0;
    int ret;
    if (SLIBGetConnectionCount(&count) != 0) {
        SLIBErrSet(ERR_READ_FAILED);
        ret = -1;
    } else if (strict ? count < static_cast<uint32_t>(limit)
                      : count <= static_cast<uint32_t>(limit)) {
        ret = static_cast<int>(count);
    } else {
        SLIBErrSet(ERR_EXEC_FAILED);
        ret = -1;
    }
    if (SLIBErrSLIBFileUnlock(SLIB_LOCK_CONNECT) != 0) SLIBErrSet(ERR_UNLOCK_FAILED);
    return ret;
}

extern "C" int BlSLIBIsLowEndModel(void) {
    char unique[64];
    if (SLIBFileGetKeyValue(slib::kQavoinfoDefaults, "unique", unique, sizeof(unique), 0) <= 0)
        return 0;
    for (const char *low : {"pomlet", "powerpc", "ppc824x"})
        if (strstr(unique, low)) return 1;
    return 0;
}

extern "C" int SLIBSignalPaneld(int signal) {
    // A stale or damaged pid file may name init or this very process (the
    // number reused after a reboot): neither is the daemon, so no signal.
    const int pid = slib::SignallablePid(kPaneldPid);
    if (pid == 0) return 0;
    if (kill(pid, signal) != 0) {
        SLIBErrSet(ERR_SYSTEM_CALL);
        return -1;
    }
    return 0;
}

extern "C" int QAVOResetPrinter(const char *name) {
    char path[16];
    if (!PrinterPath(name, path)) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    int fd = -1;
    for (int busy = 0;;) {
        fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) break;
        int err = errno;
        if (err == EBUSY) {
            if (++busy >= kBusyTries) {
                SLIBLog(LOG_ERR, "%s:%d(%s) %s open retry excessed.", kPrinterSource, __LINE__,
                        kPrinterFunc, path);
                SLIBErrSet(ERR_OPEN_FAILED);
                return -1;
            }
            SLIBLog(LOG_ERR, "%s:%d(%s) %s device busy, retring...", kPrinterSource, __LINE__,
                    kPrinterFunc, path);
            sleep(1);
            continue;
        }
        SLIBLog(LOG_ERR, "%s:%d(%s) open device [%s] error:(%d) %s", kPrinterSource, __LINE__,
                kPrinterFunc, path, err, strerror(err));
        SLIBErrSet(ERR_OPEN_FAILED);
        return -1;
    }
    int ret = 0;
    if (ioctl(fd, kLpiocSoftReset) != 0) {
        int err = errno;
        SLIBLog(LOG_ERR, "%s:%d(%s) ioctl LPIOC_SOFT_RESET error:(%d) %s", kPrinterSource, __LINE__,
                kPrinterFunc, err, strerror(err));
        SLIBErrSet(ERR_SYSTEM_CALL);
        ret = -1;
    }
    close(fd);
    return ret;
}

extern "C" int SLIBQueryZeroA(void) {
    return 0;
}
extern "C" int SLIBQueryZeroB(void) {
    return 0;
}
extern "C" int SLIBQueryZeroC(void) {
    return 0;
}

extern "C" int64_t SLIBQueryPer600(void) {
    int64_t a = SLIBQueryZeroB();
    int64_t b = SLIBQueryZeroA();
    if (a <= 0) return -1;
    return (std::max<int64_t>(b, 0) + a) / 600;
}
