/* Banner and usage of the updater's command line. */
#ifndef UPDT_BANNER_H
#define UPDT_BANNER_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Prints the banner and the three usage lines to the stream. */
void UPDTPrintUsage(FILE *out);
/* Prints the three usage lines only (after a bad option). */
void UPDTPrintUsageLines(FILE *out);

#ifdef __cplusplus
}
#endif

#endif
