/* Disk quotas: a user's block quota on a volume's device, read and set
 * through the kernel's quota interface (user quotas, format vfsv0); clearing
 * the quotas of deleted users; turning quotas on for a volume. */
#ifndef QAVO_QUOTA_H
#define QAVO_QUOTA_H

#include <stdint.h>

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The quota of one user as read. */
typedef struct _tag_QAVOUSERQUOTA {
    float fHardLimitMB; /* hard block limit in MB, 0 for none */
    uint64_t u64Used;   /* bytes in use */
} QAVOUSERQUOTA, *PQAVOUSERQUOTA;

/* The device of the single data volume of models without RAID. */
#define QAVO_QUOTA_DEFAULT_DEVICE "/dev/hda3"

/* Flags of QAVOQuotaGetId: 0x10 must be set; 0x1 local account, 0x2 domain. */
#define QAVO_QUOTA_ID_ACCOUNT 0x10
#define QAVO_QUOTA_ID_LOCAL 0x1
#define QAVO_QUOTA_ID_DOMAIN 0x2

/* Unit conversion: 0 x1048576, 1 /1048576, 2 and 5 /1024, 3 and 4 x1024;
 * any other mode gives 0. */
float QAVOQuotaUnitConv(int mode, float value);

/* The quota of user on device. 0, or -1 (0x0D00, 0x8100 neither local nor
 * domain account, 0x1D00 no id, 0x9100 quotas off). */
int QAVOQuotaGet(const char *user, const char *device, PQAVOUSERQUOTA out);
/* Sets the hard and soft block limit of user on device to *megabytes (0: no
 * limit). A size that is negative, not a number, infinite or too large for
 * the kernel's block count is refused (0x0D00). 0, or -1 (0x8100, 0x1D00,
 * 0x9100 quotas off, 0x0700 no such device, 0x9200). */
int QAVOQuotaSet(const char *user, const char *device, const float *megabytes);
/* The uid of the account (flags as above), 0 with neither kind bit, -1
 * (0x0D00 without QAVO_QUOTA_ID_ACCOUNT or a NULL name; the lookup's code). */
int QAVOQuotaGetId(uint32_t flags, const char *name);
/* Removes the quota of every user of the list on device; all are tried.
 * 0, or -1 with the code of the last failure (0x0D00 for NULL arguments;
 * 0x8100 when the failure left no code). */
int QAVOQuotaCleanDev(PSLIBSZLIST users, const char *device);
/* QAVOQuotaCleanDev on QAVO_QUOTA_DEFAULT_DEVICE. */
int QAVOQuotaClean(PSLIBSZLIST users);
/* QAVOQuotaCleanDev on the device of every RAID volume that is mounted
 * (/dev/md2 for the first); 0, or -1 (0x0D00 NULL users, 0x9700 the volumes
 * cannot be listed, or the code of the last failure, 0x8100 when that left
 * none). */
int QAVOQuotaCleanRAID(PSLIBSZLIST users);
/* Turns quotas on for data volume 1-4 (mounted at /volumeN): remount with
 * user and group quotas, quota check, quota on. 0, or -1 (0x0D00 not a
 * mounted volume, 0x9300, 0x9400, 0x9500, 0x9600 a tool cannot be run). */
int QAVOQuotaEnable(int volume);
/* 1 when the model supports quotas ("supportquota" is "yes"), else 0. */
int BlQAVOQuotaIsSupported(void);
/* The quota format of device's user quotas, or 0 (0x9100, 0x0700, 0x9200,
 * 0x8100). */
int QAVOQuotaGetFormat(const char *device);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
