// Named file locks. Every shared resource has one empty lock file under
// /tmp/lock/; a request takes flock locks on a set of them, always in table
// order, and nests within the process through hold counts.
#include "slib_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>

#include "slib_errcode.h"

namespace {

constexpr const char kLockDir[] = "/tmp/lock";
constexpr size_t kLockRows = 18;

// The process's lock table; the row order is the order in which a request
// that names several resources takes them. A row with mask 0 ends it.
SLIBFILELOCK gLocks[kLockRows + 1] = {
    {nullptr, "/tmp/lock/lock_qavoinfo", SLIB_LOCK_QAVOINFO, 0, 0},
    {nullptr, "/tmp/lock/lock_pw", SLIB_LOCK_PW, 0, 0},
    {nullptr, "/tmp/lock/lock_gr", SLIB_LOCK_GR, 0, 0},
    {nullptr, "/tmp/lock/lock_rc", SLIB_LOCK_RC, 0, 0},
    {nullptr, "/tmp/lock/lock_host", SLIB_LOCK_HOST, 0, 0},
    {nullptr, "/tmp/lock/lock_smb", SLIB_LOCK_SMB, 0, 0},
    {nullptr, "/tmp/lock/lock_exports", SLIB_LOCK_EXPORTS, 0, 0},
    {nullptr, "/tmp/lock/lock_nw", SLIB_LOCK_NW, 0, 0},
    {nullptr, "/tmp/lock/lock_apple", SLIB_LOCK_APPLE, 0, 0},
    {nullptr, "/tmp/lock/lock_snmp", SLIB_LOCK_SNMP, 0, 0},
    {nullptr, "/tmp/lock/lock_win", SLIB_LOCK_WIN, 0, 0},
    {nullptr, "/tmp/lock/lock_tapebkp", SLIB_LOCK_TAPEBKP, 0, 0},
    {nullptr, "/tmp/lock/lock_connect", SLIB_LOCK_CONNECT, 0, 0},
    {nullptr, "/tmp/lock/lock_usbidmap", SLIB_LOCK_USBIDMAP, 0, 0},
    {nullptr, "/tmp/lock/lock_duseruid", SLIB_LOCK_DUSERUID, 0, 0},
    {nullptr, "/tmp/lock/lock_dusergid", SLIB_LOCK_DUSERGID, 0, 0},
    {nullptr, "/tmp/lock/lock_fstab", SLIB_LOCK_FSTAB, 0, 0},
    {nullptr, "/tmp/lock/lock_hotswap", SLIB_LOCK_HOTSWAP, 0, 0},
    {nullptr, nullptr, 0, 0, 0},
};

bool IsDir(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegular(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Closes a row's file and marks it free. With unlock the lock is released
// first. Returns false when the unlock or the close failed.
bool CloseRow(SLIBFILELOCK &row, bool unlock) {
    bool ok = true;
    if (row.fp != nullptr) {
        if (unlock && flock(fileno(row.fp), LOCK_UN) != 0) {
            SLIBErrSet(ERR_UNLOCK_FAILED);
            ok = false;
        }
        if (fclose(row.fp) != 0) ok = false;
    }
    row.fp = nullptr;
    row.refcount = 0;
    row.op = 0;
    return ok;
}

enum class Attempt { kHeld, kBusy, kUpgrade };

// One pass over the table. What the pass obtained is given back when it
// does not obtain everything, so nothing of the request stays held.
Attempt TryOnce(SLIBLOCKREQ request, int op) {
    struct Touched {
        SLIBFILELOCK *row;
        bool taken;  // locked by this pass (else only its count went up)
    };
    std::array<Touched, kLockRows> touched{};
    size_t n = 0;
    auto rollback = [&] {
        while (n > 0) {
            Touched &t = touched[--n];
            if (t.taken) {
                CloseRow(*t.row, true);
            } else {
                --t.row->refcount;
            }
        }
    };

    for (SLIBFILELOCK *row = gLocks; row->mask != 0; ++row) {
        if ((request & row->mask) == 0) continue;
        if (row->fp != nullptr) {
            // A shared hold is never upgraded: the caller must release it first.
            if (row->op == SLIB_LOCK_SH && op == SLIB_LOCK_EX) {
                rollback();
                return Attempt::kUpgrade;
            }
            ++row->refcount;
            touched[n++] = {row, false};
            continue;
        }
        // Close-on-exec: a program started by any means never inherits the
        // lock, so it cannot keep it after this process has gone.
        int fd = open(row->path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            rollback();
            return Attempt::kBusy;
        }
        FILE *fp = fdopen(fd, "r");
        if (fp == nullptr) {
            close(fd);
            rollback();
            return Attempt::kBusy;
        }
        if (flock(fd, op) != 0) {
            fclose(fp);
            rollback();
            return Attempt::kBusy;
        }
        row->fp = fp;
        row->refcount = 1;
        row->op = op;
        touched[n++] = {row, true};
    }
    return Attempt::kHeld;
}

}  // namespace

extern "C" int SLIBFileLockInit(void) {
    if (!IsDir(kLockDir)) {
        // Another process may create it at the same moment.
        if (mkdir(kLockDir, 0700) != 0) {
            if (errno != EEXIST || !IsDir(kLockDir)) {
                SLIBErrSet(ERR_CREATE_FAILED);
                return -1;
            }
        } else if (chmod(kLockDir, 0755) != 0) {
            SLIBErrSet(ERR_CREATE_FAILED);
            return -1;
        }
    }
    for (const SLIBFILELOCK *row = gLocks; row->mask != 0; ++row) {
        if (IsRegular(row->path)) continue;
        // Never follow a planted link to create a file elsewhere.
        int fd = open(row->path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            SLIBErrSet(ERR_OPEN_FAILED);
            return -1;
        }
        close(fd);
    }
    return 0;
}

extern "C" int ErrSLIBFileLock(SLIBLOCKREQ request, int timeout) {
    if (SLIBFileLockInit() != 0) return -1;
    const int op = static_cast<int>(request & SLIB_LOCK_OPMASK);
    if (timeout < 0) {
        SLIBErrSet(ERR_LOCK_FAILED);
        return -1;
    }
    // Only the non-blocking operations keep the time-out; a blocking one
    // could wait for ever.
    if (op != SLIB_LOCK_SH && op != SLIB_LOCK_EX) {
        SLIBErrSet(ERR_BAD_PARAMETERS);
        return -1;
    }
    // In hundredths of a second; one attempt every 50 ms: 20 x T + 1 attempts.
    const long long limit = static_cast<long long>(timeout) * 100;
    long long elapsed = 0;
    for (;;) {
        Attempt r = TryOnce(request, op);
        if (r == Attempt::kHeld) return 0;
        if (r == Attempt::kUpgrade || elapsed + 5 > limit) break;
        usleep(50000);
        elapsed += 5;
    }
    SLIBErrSet(ERR_LOCK_FAILED);
    return -1;
}

extern "C" int SLIBErrSLIBFileUnlock(uint32_t mask) {
    int ret = 0;
    for (SLIBFILELOCK *row = gLocks; row->mask != 0; ++row) {
        if ((mask & row->mask) == 0 || row->fp == nullptr) continue;
        if (row->refcount >= 2) {
            --row->refcount;
            continue;
        }
        if (!CloseRow(*row, true)) ret = -1;
    }
    return ret;
}

extern "C" int SLIBFileLockCloseAll(void) {
    int ret = 0;
    for (SLIBFILELOCK *row = gLocks; row->mask != 0; ++row) {
        if (!CloseRow(*row, false)) ret = -1;
    }
    return ret;
}

extern "C" int SLIBFileLockKeepOnly(uint32_t mask) {
    int ret = 0;
    for (SLIBFILELOCK *row = gLocks; row->mask != 0; ++row) {
        if (row->fp != nullptr && (mask & row->mask) != 0) {
            row->refcount = 1;
        } else if (!CloseRow(*row, false)) {
            ret = -1;
        }
    }
    return ret;
}
