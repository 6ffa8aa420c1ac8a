/* Deleting local users: one transaction over the account files, the share
 * and group lists, with the users' mail addresses, network-backup server
 * accounts, quotas and SMB connections. */
#ifndef QAVO_USERDEL_H
#define QAVO_USERDEL_H

#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Deletes the local users named (any letter case). root, admin, guest while
 * guest access is supported, and every account with a uid below 1024 are
 * never deleted; names without an account are passed over. The number of
 * users deleted; 0 with 0x1A00 when none was; -1 (0x0D00, 0x0400, 0x0200,
 * a file step's code) with every file unchanged; -2 when the final
 * replacement of the files failed (files unchanged). */
int QAVOUserDelete(const char **names, int count);
/* Copies file into tmp without the lines whose name field (before the first
 * ':', upper-cased) is a key of names; comment and empty lines are kept.
 * 1 when a line was dropped, 0 when none, -1 (0x0D00, 0x0900, 0x0A00,
 * 0x0B00). */
int SDKIRemoveUserEntry(PSLIBSZHASH names, const char *file, const char *tmp);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
