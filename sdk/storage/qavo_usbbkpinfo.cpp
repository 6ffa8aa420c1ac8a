// The USB backup status record in shared memory, and the backup ID.
#include "qavo_usbbkpinfo.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qavo_net.h"
#include "slib_errcode.h"

namespace {

union SemArg {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

constexpr int kLockAttempts = 7;

// Offsets of the record's fields in the segment.
constexpr size_t kOffStatus = 0, kOffWord1 = 4, kOffWord2 = 8, kOffWord3 = 12, kOffDevice = 16,
                 kOffWord6 = 24, kOffRest = 28;

void PutU32(uint8_t *seg, size_t off, uint32_t v) {
    memcpy(seg + off, &v, sizeof v);
}
uint32_t GetU32(const uint8_t *seg, size_t off) {
    uint32_t v;
    memcpy(&v, seg + off, sizeof v);
    return v;
}

// The semaphore set, created (free) by the first user. Two first users race
// through IPC_EXCL: the loser only opens the set the winner made.
int SemGet() {
    int id = semget(QAVO_USBBKP_SEM_KEY, 1, 0);
    if (id >= 0) return id;
    if (errno != ENOENT) {
        SLIBLog(LOG_ERR, "Failed to get the semaphore [%d].\n", errno);
        return -1;
    }
    SLIBLog(LOG_ERR, "First time create the semaphore.\n");
    id = semget(QAVO_USBBKP_SEM_KEY, 1, IPC_CREAT | IPC_EXCL);
    if (id < 0) {
        if (errno == EEXIST) {
            id = semget(QAVO_USBBKP_SEM_KEY, 1, 0);
            if (id < 0) SLIBLog(LOG_ERR, "Failed to get the semaphore [%d].\n", errno);
            return id;
        }
        SLIBLog(LOG_ERR, "Failed to create the semaphore [%d].\n", errno);
        return -1;
    }
    SemArg arg;
    arg.val = 1;
    if (semctl(id, 0, SETVAL, arg) < 0) {
        semctl(id, 0, IPC_RMID);
        return -1;
    }
    return id;
}

// Frees the lock for a holder that died with it taken (one that locked
// without the kernel's undo). Only a taken lock is freed, in one atomic step
// (value 0, then 1), so two callers rescuing the same holder cannot lift it
// above 1.
void FreeDeadHolder(int id) {
    const int value = semctl(id, 0, GETVAL);
    if (value < 0) {
        SLIBLog(LOG_ERR, "Failed to get semaphore value.(%d).", errno);
        return;
    }
    const int pid = semctl(id, 0, GETPID);
    if (pid < 0) {
        SLIBLog(LOG_ERR, "Failed to get last process id which called semctl.(%d).", errno);
        return;
    }
    if (value != 0 || pid <= 1) return;
    if (kill(pid, 0) == 0 || errno != ESRCH) return;
    struct sembuf ops[2] = {{0, 0, IPC_NOWAIT}, {0, 1, IPC_NOWAIT}};
    if (semop(id, ops, 2) < 0 && errno != EAGAIN)
        SLIBLog(LOG_ERR, "Failed to release semaphore(%d)", errno);
}

bool Lock(int id) {
    for (int t = 0; t < kLockAttempts; ++t) {
        // A live holder copies at most 64 bytes, but it may be descheduled
        // while it holds the semaphore: each attempt waits for it to be
        // given back (a tenth of a second at first, more on each try)
        // rather than failing at once, and a dead holder is freed between
        // attempts.
        struct sembuf op = {0, -1, SEM_UNDO};
        const long ms = 100L * (t + 1);
        struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
        if (semtimedop(id, &op, 1, &wait) == 0) return true;
        SLIBLog(LOG_ERR, "Failed to lock semaphore[%d/%d]\n", errno, t);
        FreeDeadHolder(id);
    }
    SLIBLog(LOG_ERR, "Exceeded semop error limit.\n");
    return false;
}

void Unlock(int id) {
    struct sembuf op = {0, 1, IPC_NOWAIT | SEM_UNDO};
    if (semop(id, &op, 1) < 0) SLIBLog(LOG_ERR, "Failed to release semaphore(errno = %d)\n", errno);
}

// The segment, created on first use; *created tells whether this call made it.
int ShmGet(bool *created) {
    *created = false;
    int id = shmget(QAVO_USBBKP_SHM_KEY, QAVO_USBBKP_SHM_SIZE, 0600);
    if (id >= 0) return id;
    if (errno != ENOENT) {
        SLIBLog(LOG_ERR, "Failed to get the shared memory.[%d]\n", errno);
        return -1;
    }
    id = shmget(QAVO_USBBKP_SHM_KEY, QAVO_USBBKP_SHM_SIZE, IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0 && errno == EEXIST) return shmget(QAVO_USBBKP_SHM_KEY, QAVO_USBBKP_SHM_SIZE, 0600);
    if (id < 0) {
        SLIBLog(LOG_ERR, "Failed to get the shared memory.[%d]*\n", errno);
        return -1;
    }
    *created = true;
    SLIBLog(LOG_ERR, "First time create the shared memory.\n");
    return id;
}

void ReadRecord(const uint8_t *seg, QAVOUSBBACKUPINFO *rec) {
    rec->status = GetU32(seg, kOffStatus);
    rec->word1 = GetU32(seg, kOffWord1);
    rec->word2 = GetU32(seg, kOffWord2);
    rec->word3 = GetU32(seg, kOffWord3);
    memcpy(rec->device, seg + kOffDevice, sizeof rec->device);
    rec->word6 = GetU32(seg, kOffWord6);
    memcpy(rec->rest, seg + kOffRest, sizeof rec->rest);
}

void WriteRecord(uint8_t *seg, const QAVOUSBBACKUPINFO *rec, uint32_t mask) {
    if (mask & USB_BKP_MASK_STATUS) PutU32(seg, kOffStatus, rec->status);
    if (mask & USB_BKP_MASK_WORD1) PutU32(seg, kOffWord1, rec->word1);
    if (mask & USB_BKP_MASK_WORD2) PutU32(seg, kOffWord2, rec->word2);
    if (mask & USB_BKP_MASK_WORD3) PutU32(seg, kOffWord3, rec->word3);
    if (mask & USB_BKP_MASK_DEVICE) {
        // A NUL-terminated name of at most 7 characters, the rest zero.
        char device[8] = {};
        memcpy(device, rec->device, strnlen(rec->device, sizeof device - 1));
        memcpy(seg + kOffDevice, device, sizeof device);
    }
    if (mask & USB_BKP_MASK_WORD6) PutU32(seg, kOffWord6, rec->word6);
}

const char *OpName(int op) {
    switch (op) {
        case USB_BKP_OP_READ:
            return "QAVOUSBGetBackupInfo";
        default:
            return "QAVOUSBSetBackupInfo";
    }
}

}  // namespace

extern "C" int QAVOUSBIProcessSharedInfo(QAVOUSBBACKUPINFO *rec, int op, uint32_t mask) {
    if ((op == USB_BKP_OP_READ || op == USB_BKP_OP_WRITE) && !rec) {
        SLIBLog(LOG_ERR, "%s: parameter error", OpName(op));
        return -1;
    }
    const int sem = SemGet();
    if (sem < 0 || !Lock(sem)) return -1;
    int result = -1;
    bool created = false;
    const int shm = ShmGet(&created);
    if (shm >= 0) {
        void *at = shmat(shm, nullptr, 0);
        if (at == reinterpret_cast<void *>(-1)) {
            SLIBLog(LOG_ERR, "Failed to attach the shared memory %d.\n", errno);
        } else {
            auto *seg = static_cast<uint8_t *>(at);
            switch (op) {
                case USB_BKP_OP_READ:
                    if (created) memset(seg, 0, QAVO_USBBKP_SHM_SIZE);
                    ReadRecord(seg, rec);
                    result = 0;
                    break;
                case USB_BKP_OP_WRITE:
                    WriteRecord(seg, rec, mask);
                    result = 0;
                    break;
                case USB_BKP_OP_CLEAR:
                    memset(seg + kOffWord1, 0, kOffDevice - kOffWord1);
                    memset(seg + kOffWord6, 0, QAVO_USBBKP_SHM_SIZE - kOffWord6);
                    result = 0;
                    break;
                default:
                    break;
            }
            shmdt(at);
        }
    }
    Unlock(sem);
    return result;
}

extern "C" int QAVOUSBGetBackupInfo(QAVOUSBBACKUPINFO *rec) {
    return QAVOUSBIProcessSharedInfo(rec, USB_BKP_OP_READ, 0);
}

extern "C" int QAVOUSBSetBackupInfo(QAVOUSBBACKUPINFO *rec) {
    return QAVOUSBIProcessSharedInfo(rec, USB_BKP_OP_WRITE, USB_BKP_MASK_ALL);
}

extern "C" int QAVOUSBSetBackupInfoEx(QAVOUSBBACKUPINFO *rec, uint32_t mask) {
    return QAVOUSBIProcessSharedInfo(rec, USB_BKP_OP_WRITE, mask);
}

extern "C" int QAVOUSBClearBackupInfo(void) {
    return QAVOUSBIProcessSharedInfo(nullptr, USB_BKP_OP_CLEAR, 0);
}

extern "C" int QAVOUSBSetBackupInfoStatus(uint32_t bits, int how) {
    if (how < 0 || how > 2) return -1;
    QAVOUSBBACKUPINFO rec;
    if (QAVOUSBGetBackupInfo(&rec) < 0) return -1;
    if (how == 0)
        rec.status |= bits;
    else if (how == 1)
        rec.status &= ~bits;
    else
        rec.status = bits;
    return QAVOUSBSetBackupInfoEx(&rec, USB_BKP_MASK_STATUS);
}

extern "C" int USBBKPGenBkpID(char *buf, int size) {
    if (!buf || size < USB_BKP_ID_SIZE) return -1;
    memset(buf, 0, static_cast<size_t>(size));
    QAVONETCARDINFO card;
    if (QAVONetGetCard1(0, nullptr, &card) != 1) return -1;
    const time_t now = time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm)) return -1;
    snprintf(buf, static_cast<size_t>(size), "%04d%02d%02d%02d%02d%02d-%02X%02X%02X%02X%02X%02X",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             card.mac[0], card.mac[1], card.mac[2], card.mac[3], card.mac[4], card.mac[5]);
    return 0;
}
