/* What the pieces of the kernel shim share (kshim.c holds them): its
 * settings, its log and the next definition of an interposed function. */
#ifndef QSIM_KSHIM_H
#define QSIM_KSHIM_H

#include <stddef.h>
#include <stdint.h>

/* Reads the value of "key" from /sim/kernel.conf; 1 when found. */
int QsimShimSetting(const char *key, char *val, size_t size);
/* Appends a line (with its newline) to /sim/kernel.log. */
void QsimShimNote(const char *line);
/* A scripted result: "ok" 0, "errno N" -1 with errno N, else -1 ENOSYS. */
long QsimShimScripted(const char *result);
/* The next definition of name, looked up once into *cache. */
void *QsimShimNext(void **cache, const char *name);

/* The simulated disks (kshim_disk.c): gives a disk node the numbers of a
 * SCSI disk after a successful stat, and answers the md and disk requests
 * (1 when answered, with *result set). */
struct stat;
void QsimDiskStat(const char *path, struct stat *st);
int QsimDiskIoctl(int fd, uint32_t request, void *arg, int *result);
/* The drives behind the simulated disks (kshim_drive.c): ATA commands, the
 * pass-through and caching-page requests; 1 when answered. */
int QsimDriveIoctl(int fd, uint32_t request, void *arg, int *result);
/* The file-system type word of a path on a simulated mount (the mount
 * stand-in's /sim/fsmounts), or 0. */
long QsimFsType(const char *path);
/* The mount table showing the simulated mounts as their types, or -1. */
int QsimMountsFd(void);
/* The USB printer (kshim_printer.c): 1 when an open of a printer node is to
 * fail as busy (errno set); its class requests (1 when answered). */
int QsimPrinterOpenBusy(const char *path);
int QsimPrinterIoctl(int fd, uint32_t request, void *arg, int *result);

#endif
