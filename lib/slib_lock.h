/* Named file locks: advisory flock locks on the lock files under /tmp/lock/. */
#ifndef SLIB_LOCK_H
#define SLIB_LOCK_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/*
 * A lock request: the OR of the wanted resources' bits and, in bits 0 to 3,
 * the flock operation: SLIB_LOCK_SH (LOCK_SH | LOCK_NB) or SLIB_LOCK_EX
 * (LOCK_EX | LOCK_NB). Releasing takes the resource bits alone.
 */
typedef uint32_t SLIBLOCKREQ;

enum {
    SLIB_LOCK_SH = 0x5,
    SLIB_LOCK_EX = 0x6,
    SLIB_LOCK_OPMASK = 0xF,

    SLIB_LOCK_PW = 0x10,
    SLIB_LOCK_GR = 0x20,
    SLIB_LOCK_SMB = 0x40,
    SLIB_LOCK_RC = 0x80,
    SLIB_LOCK_HOST = 0x100,
    SLIB_LOCK_EXPORTS = 0x200,
    SLIB_LOCK_NW = 0x400,
    SLIB_LOCK_QAVOINFO = 0x800,
    SLIB_LOCK_APPLE = 0x1000,
    SLIB_LOCK_SNMP = 0x2000,
    SLIB_LOCK_WIN = 0x4000,
    SLIB_LOCK_TAPEBKP = 0x8000,
    SLIB_LOCK_CONNECT = 0x10000,
    SLIB_LOCK_USBIDMAP = 0x20000,
    SLIB_LOCK_DUSERUID = 0x40000,
    SLIB_LOCK_DUSERGID = 0x80000,
    SLIB_LOCK_FSTAB = 0x100000,
    SLIB_LOCK_HOTSWAP = 0x200000
};

/* One row of the process's lock table. */
typedef struct {
    FILE *fp;         /* the open lock file while held, else NULL */
    const char *path; /* the lock file */
    uint32_t mask;    /* the resource's bit */
    int refcount;     /* hold count in this process, 0 when not held */
    int op;           /* flock operation the lock was taken with (5 or 6) */
} SLIBFILELOCK;

/* Makes sure /tmp/lock/ and every lock file exist. 0, or -1 (0x0C00 / 0x0900). */
int SLIBFileLockInit(void);
/* Takes every lock of the request within timeout seconds (0: one try). 0, or
 * -1 (0x0400 busy or a negative timeout, 0x0D00 an operation other than
 * SLIB_LOCK_SH or SLIB_LOCK_EX, SLIBFileLockInit's code). */
int ErrSLIBFileLock(SLIBLOCKREQ request, int timeout);
/* Drops one hold of every lock in mask; the last hold unlocks. 0, or -1
 * (0x0500 when the unlock fails; a failed close gives -1 without a code). */
int SLIBErrSLIBFileUnlock(uint32_t mask);
/* Closes every lock file without unlocking (a forked child before exec). 0,
 * or -1 when a close fails (no code). */
int SLIBFileLockCloseAll(void);
/* Keeps the locks in mask with a hold count of 1 and closes the others. 0,
 * or -1 when a close fails (no code). */
int SLIBFileLockKeepOnly(uint32_t mask);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
