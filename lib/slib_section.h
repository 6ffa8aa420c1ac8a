/* Section files: "[name]" header lines, each followed by key=value lines,
 * read into string hashes and rewritten through a temporary copy. */
#ifndef SLIB_SECTION_H
#define SLIB_SECTION_H

#include <stddef.h>
#include <stdio.h>

#include "slib_keyvalue.h" /* BlSLIBIsKeyValueFormat */
#include "slib_szhash.h"
#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Flag of ErrSLIBIFileModifySection: write the hash in place of the section. */
#define SLIB_SECTION_REPLACE 0x1

/* Error codes (SLIBErrGet): 0x0D00 bad arguments or format, 0x0900 a file
 * that cannot be opened, 0x0A00 a read error, 0x0B00 a write error, 0x0200
 * out of memory. Formats are NULL (key="value") or "%s", "=", "%s" and a
 * newline in that order. */

/* 1 when the line is a header line "[name]", else 0 (also for NULL); no code. */
int BlSLIBFileIsSectionHeader(const char *line, size_t length);
/* 1 when the line is the header of section name, 0 when not, -1 (0x0D00). */
int BlSLIBFileIsSectionNamed(const char *line, size_t length, const char *name);
/* Reads the first section of that name into *pphash (which may move): the
 * number of pairs in the hash afterwards (an absent section is no failure
 * and leaves the hash as it was), -1 on failure. */
int SLIBFileGetSection(const char *path, const char *section, PSLIBSZHASH *pphash);
/* Pushes every section name in file order: the number of items of the list
 * afterwards, -1 on failure (0x0100 for a header line too long to list). */
int SLIBFileEnumSection(const char *path, PSLIBSZLIST *pplist);
/* Writes "[section]" (when not NULL) and the hash's pairs to fp: 0, -1. */
int SLIBFileWriteSection(FILE *fp, const char *section, PSLIBSZHASH hash, const char *format);
/* Appends the section in place: 1 added, 0 it exists already (file
 * unchanged), -1 on failure (a missing file is not created: 0x0900). */
int ErrSLIBFileAddSection(const char *path, const char *section, PSLIBSZHASH hash,
                          const char *format);
/* Renames (newName) and, with SLIB_SECTION_REPLACE, rewrites the section
 * from the hash, or removes it (NULL hash, no flag): 1 the section was
 * found, 0 not found (file unchanged), -1 on failure. */
int ErrSLIBIFileModifySection(const char *path, const char *section, const char *newName,
                              PSLIBSZHASH hash, int flags, const char *format);
/* Removes the section (its comment lines stay): as above. */
int ErrSLIBFileRemoveSection(const char *path, const char *section);
/* Replaces the section's body by the hash, renamed when newName is given:
 * as above (a NULL hash: 0x0D00, -1). */
int ErrSLIBFileSetSection(const char *path, const char *section, const char *newName,
                          PSLIBSZHASH hash, const char *format);
/* Sets one key of the section, appending the section when absent: 1, 0 or
 * -1 as ErrSLIBFileSetSection. */
int ErrSLIBFileSetSectionKey(const char *path, const char *section, const char *key,
                             const char *value, const char *format);
/* Creates or truncates the file and writes the hash's pairs: 0, -1. */
int SLIBFileWriteHash(const char *path, PSLIBSZHASH hash, const char *format);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
