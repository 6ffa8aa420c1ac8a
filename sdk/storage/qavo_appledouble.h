/* AppleDouble-aware copy: copies one "._" companion file (Finder
 * information and resource fork), turning the AFP service's own forms into
 * the compact two-entry form that other systems read. */
#ifndef QAVO_APPLEDOUBLE_H
#define QAVO_APPLEDOUBLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/*
 * The process's cancel flag. The embedding program (a copy program, possibly
 * from a signal handler) sets it to 1 to stop the copy under way; the copy
 * only reads it and never resets it.
 */
extern volatile int gfQAVOCopyCancel;

/* Modes of QAVOAppleDoubleCopy. */
#define QAVO_AD_MODE_CONVERT 0         /* convert, destination name checked */
#define QAVO_AD_MODE_CONVERT_NOCHECK 1 /* convert, no name check */
#define QAVO_AD_MODE_COPY 2            /* plain copy */
#define QAVO_AD_MODE_COPY_CHECK 3      /* plain copy, destination name checked */

/* Results: 0 success, else one of these. */
#define QAVO_AD_ERR_ARGS (-1)    /* bad arguments or mode, unsupported version, plain copy failed */
#define QAVO_AD_ERR_OPEN (-2)    /* source or destination cannot be opened */
#define QAVO_AD_ERR_IO (-5)      /* read or write failed; an entry runs past the source's end */
#define QAVO_AD_ERR_NOSPACE (-9) /* no space left on the destination */
#define QAVO_AD_ERR_CANCEL (-12) /* cancel flag raised (wins whenever it is set at the end) */
#define QAVO_AD_ERR_EIO (-13)    /* input/output error */
#define QAVO_AD_ERR_CHMOD (-14)  /* the final permission change failed */
#define QAVO_AD_ERR_FINDERLEN (-30) /* a Finder-information entry not 32 bytes long */
#define QAVO_AD_ERR_ICON (-32)      /* destination is the folder-icon companion "._Icon\r" */
#define QAVO_AD_ERR_BADCHAR (-33)   /* destination name holds a forbidden character */

/* Layout of the compact form the conversion writes. */
#define QAVO_AD_HEADER_SIZE 26
#define QAVO_AD_DESC_SIZE 12
#define QAVO_AD_VERSION1 0x00010000u
#define QAVO_AD_VERSION2 0x00020000u
#define QAVO_AD_ENTRY_RFORK 2
#define QAVO_AD_ENTRY_FINDER 9
#define QAVO_AD_FINDER_LEN 32
#define QAVO_AD_FINDER_OFFSET 50
#define QAVO_AD_RFORK_OFFSET 82

/*
 * Copies the companion file src to dst. Modes 0 and 3 first refuse a
 * destination whose last path component is "._Icon\r" (any case; -32) or
 * holds one of \ / : * ? " > < | CR LF (-33). Modes 2 and 3 copy plainly
 * (a failure -1); modes 0 and 1 convert a version-1 or version-2 AppleDouble
 * source into the compact form (another magic or version -1). Every mode
 * writes a new file beside the destination ("<dst>.tmp") and renames it over
 * the destination when complete, so a failure keeps an older destination; a
 * destination that is a symbolic link is refused with -2.
 */
int QAVOAppleDoubleCopy(const char *src, const char *dst, int mode);
/*
 * Converts a version-1 source (modes 0 and 1; 2 and 3 copy plainly). The
 * five-entry form is read from its fixed data offset 557, any other source
 * where its descriptors say. The destination is replaced whole and given
 * mode 0777; on failure it stays as it was.
 */
int QAVOAppleDoubleIConvertV1(const char *src, const char *dst, int mode);
/*
 * Converts a version-2 source (modes 0 and 1; 2 and 3 copy plainly). A
 * source of exactly two entries is copied plainly; the thirteen-entry form is
 * read from its fixed offsets 653 (Finder information) and 741 (resource
 * fork), any other source where its descriptors say. As for version 1 otherwise.
 */
int QAVOAppleDoubleIConvertV2(const char *src, const char *dst, int mode);
/*
 * Walks count source descriptors (12 bytes each, big-endian) and writes to
 * *dstFd the compact form's two descriptors: Finder information (9) at 50,
 * length 32, then the resource fork (2) at 82 with the source's length
 * (stored in *rforkLength; 0 when the source has none). A Finder-information
 * descriptor whose length is not 32 gives -30; a failed write -9 (no space),
 * -13 (input/output error) or -5; bad arguments -1.
 */
int QAVOAppleDoubleIWriteEntries(int *dstFd, const uint8_t *descriptors, int count,
                                 uint64_t *rforkLength);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
