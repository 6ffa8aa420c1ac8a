/* Section files: "[name]" header lines, each followed by key=value lines. */
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

/* Flag of ErrSLIBIFileModifySection: write the hash in place of the section. */
#define SLIB_SECTION_REPLACE 0x1

int BlSLIBFileIsSectionHeader(const char *line, size_t length);
int BlSLIBFileIsSectionNamed(const char *line, size_t length, const char *name);
int SLIBFileGetSection(const char *path, const char *section, PSLIBSZHASH *pphash);
int SLIBFileEnumSection(const char *path, PSLIBSZLIST *pplist);
int SLIBFileWriteSection(FILE *fp, const char *section, PSLIBSZHASH hash, const char *format);
int ErrSLIBFileAddSection(const char *path, const char *section, PSLIBSZHASH hash,
                          const char *format);
int ErrSLIBIFileModifySection(const char *path, const char *section, const char *newName,
                              PSLIBSZHASH hash, int flags, const char *format);
int ErrSLIBFileRemoveSection(const char *path, const char *section);
int ErrSLIBFileSetSection(const char *path, const char *section, const char *newName,
                          PSLIBSZHASH hash, const char *format);
int ErrSLIBFileSetSectionKey(const char *path, const char *section, const char *key,
                             const char *value, const char *format);
int SLIBFileWriteHash(const char *path, PSLIBSZHASH hash, const char *format);

#ifdef __cplusplus
}
#endif

#endif
