/* Share privilege lists: the text form of a share's rights that a
 * management client sends ("bob - RW,@staff - RO,eve - NA") split into the
 * deny, read-write and read-only lists of a share record, and the check for
 * accounts named twice. */
#ifndef QAVO_SHAREPRIVILEGE_H
#define QAVO_SHAREPRIVILEGE_H

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Splits text (a trailing ',' is cut in place) into three new strings, each
 * name followed by ',' and the names sorted without regard to case: *na no
 * access (" - NA"), *rw read-write (" - RW"), *ro read-only (" - RO");
 * entries without one of these endings are ignored. The caller frees the
 * three strings. 0 when no account is named twice, 1 when one is (at one
 * level or at two), -1 (0x0D00 NULL text or output, 0x0200). */
int QAVOSharePrivilegeSplit(char *text, char **na, char **rw, char **ro);
/* Whether the three lists name an account twice, group members counted
 * ("@group" entries), names compared without regard to case: 0 no, 1 at
 * the same level, 2 at two levels, -1 (0x0D00, 0x0200). The lists are not
 * changed. */
int SHAREIPrivilegeCheck(SLIBSZLIST **na, SLIBSZLIST **rw, SLIBSZLIST **ro);
/* A new list of the same block size and mode holding the same items in
 * order, or NULL (0x0D00, 0x0200). */
PSLIBSZLIST SHAREISzListDup(const SLIBSZLIST *list);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
