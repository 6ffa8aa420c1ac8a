/* Manufacturing data and the hardware edition: the edition test, the MAC
 * addresses, serial number and flash id string of the vendor partition, the
 * stress-test record and the manufacturing settings list. */
#ifndef QAVO_MANUTIL_H
#define QAVO_MANUTIL_H

#include <stdint.h>

#include "slib_szlist.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The start of the vendor partition, byte by byte (43 bytes; read and
 * written through explicit offsets). Further on in the partition: the reboot
 * flag (four bytes 0x01) at 0x10000 and the flash id string at 0x12000. A
 * checksum is the 8-bit sum of the bytes it covers. */
typedef struct _tag_VENDORPARTINFO {
    uint8_t mac1[6];
    uint8_t mac1_cksum;
    uint8_t mac2[6];
    uint8_t mac2_cksum;
    uint8_t reserved[18]; /* written as zero */
    uint8_t serial[10];   /* no terminator */
    uint8_t serial_cksum;
} VENDORPARTINFO, *PVENDORPARTINFO;

#define QAVO_VENDOR_DEVICE "/dev/mtd_vender"
#define QAVO_VENDOR_DEVICE_POMLET "/dev/mtd3" /* MAC and serial on the pomlet edition */
#define QAVO_VENDOR_MAC_OFFSET 0
#define QAVO_VENDOR_MAC_SIZE 14 /* both MACs with their checksums */
#define QAVO_VENDOR_SN_OFFSET 32
#define QAVO_VENDOR_SN_SIZE 11 /* serial and checksum */
#define QAVO_VENDOR_INFO_SIZE 43
#define QAVO_VENDOR_REBOOT_OFFSET 0x10000
#define QAVO_VENDOR_IDSTRING_OFFSET 0x12000
#define QAVO_VENDOR_IDSTRING_SIZE 39

#define QAVO_BURNIN_SIZE 652
#define QAVO_BURNIN_OFFSET 544
#define QAVO_BURNIN_READ 1
#define QAVO_BURNIN_WRITE 0

/* 1 on the pomlet edition, else 0; no code. */
int BlQAVOIsPomletModel(void);

/* All below return 0 on success and -1 on failure with the SDK error code
 * set: 0x0D00 bad argument, 0x0900 open, 0x2600 seek, 0x0A00 read, 0x0B00
 * write. */

/* The stress-test record (652 bytes). A write reads the record back into
 * the same buffer afterwards. QAVOManutilBurnIn: op 1 reads, 0 writes. */
int QAVOManutilBurnInRead(void *pBuffer);
int QAVOManutilBurnInWrite(void *pRecord);
int QAVOManutilBurnIn(void *pBuffer, int op);

/* Both MACs with their checksums (14 bytes); a MAC whose checksum is wrong
 * reads as six zeros. */
int QAVOManutilGetMacAddr(unsigned char *pBuffer);
/* The serial and its checksum (11 bytes); a wrong checksum reads as ten zeros. */
int QAVOManutilGetSN(unsigned char *pBuffer);
/* Store the 14-byte MAC block or the 11-byte serial block as given (no
 * checksum is computed), keeping the other block as read and the rest of
 * the flash erase block as it was. A failed write puts the old data back;
 * it sets 0x0B00 for the serial but 0x0A00 for the MAC block (as callers
 * have always seen it). The other block is read first: its reader's code. */
int QAVOManutilSetMacAddr(const unsigned char *pMac);
int QAVOManutilSetSN(const unsigned char *pSerial);
/* The flash id string into a buffer of at least 40 bytes. */
int QAVOManutilGetIDString(char *pBuffer, int cbBuffer);
/* Appends the items of "/usr/qavo/etc/manutil.conf" to the caller's list:
 * 0, -1 (0x0D00 a NULL list, 0x0900 the file cannot be opened). */
int QAVOManutilGetConfList(PSLIBSZLIST *pplist);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
