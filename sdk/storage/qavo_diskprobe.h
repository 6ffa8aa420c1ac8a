/* Disk probes: SMART temperature, the file-system type of a path, the legacy
 * single-disk layout, the data partition of a portable player, super-block
 * marks; and the two ways an ATA command reaches a disk (the IDE command
 * request and the SATA host's SCSI pass-through request). None of these
 * probes sets an error code of its own: a failure reads as the result
 * given below. */
#ifndef QAVO_DISKPROBE_H
#define QAVO_DISKPROBE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* File-system codes, with their names and statfs type words. */
typedef enum _tag_QAVOFSTYPE {
    QAVO_FS_NONE = -1,
    QAVO_FS_REISERFS = 0, /* "reiserfs", 0x25521814 (the appliance kernel's word) */
    QAVO_FS_VFAT = 1,     /* "vfat", 0x4D44 */
    QAVO_FS_EXT3 = 2,     /* "ext3", 0xEF53 */
    QAVO_FS_NTFS = 3      /* "ntfs", 0x5346544E */
} QAVOFSTYPE;

#define QAVO_FS_NAME_LEN 10
/* The names by code, NUL-padded to ten bytes. */
extern const char gszQAVOFSTypeName[4][QAVO_FS_NAME_LEN];

#define QAVO_FS_MAGIC_REISERFS 0x25521814u
#define QAVO_FS_MAGIC_VFAT 0x4D44u
#define QAVO_FS_MAGIC_EXT3 0xEF53u
#define QAVO_FS_MAGIC_NTFS 0x5346544Eu

/* Operations of both command interfaces. */
#define QAVO_ATA_OP_SMART_ENABLE 0
#define QAVO_ATA_OP_SMART_READ 1
#define QAVO_ATA_OP_CHECK_POWER 2 /* pass-through only; the count byte in data[0] */
#define QAVO_ATA_OP_IDLE 3        /* pass-through only; the count from data[0] */

/* The SATA host's pass-through request (SCSI request 1): two 32-bit lengths
 * (540 each) and the 540-byte command area: 0: 0x0C, 4: 6, 6: ATA command,
 * 7: sector number, 8: feature, 9: count. The answer overwrites the area: a
 * read sector from byte 6, the status byte in byte 9. */
#define QAVO_SATA_AREA_LEN 540
#define QAVO_SCSI_IOCTL_SEND_COMMAND 1

/* SMART data: u16 revision, 30 attributes of 12 bytes from offset 2 (id,
 * u16 flags, current, worst, 6 raw bytes, reserved). */
#define QAVO_SMART_ATTR_COUNT 30
#define QAVO_SMART_ATTR_LEN 12
#define QAVO_SMART_ATTR_TEMPERATURE 194

/* The disk's SMART temperature in degrees Celsius, -1 when unreadable. */
int QAVODiskTemperatureGet(const char *device);
/* SMART commands on an open disk (ata: ops 0 and 1 through the ATA
 * request; sata: ops 0 to 3 through the host's pass-through): 0, -1. */
int ata_command_interface(int fd, int op, uint8_t *data);
int sata_command_interface(int fd, int op, uint8_t *data);
/* Swaps the two bytes of the word. */
void swap2bytes(uint16_t *value);

/* The file-system code (QAVOFSTYPE) of the file system holding path (with
 * useCwd, relative to the working folder), -1 on failure. */
int QAVOGetFSType(const char *path, int useCwd);
/* One partition as sfdisk lists it: its size, or all ones. The device is a
 * name of letters and digits, optionally after "/dev/". */
uint32_t QAVOPartInfoGet(int partNo, const char *device, uint32_t *start, uint32_t *type);
/* 1 when the disk's partitions have the appliance's older layout, else 0. */
int BlQAVODiskIsLegacyLayout(const char *device);
/* The data partition of a known iPod model (by its USB product id), -1 for
 * any other device. */
int QAVOIPodDataPartGet(const char *device);
/* 1 when the disk carries the appliance's file-system signature (sector
 * 128) or an ext2 superblock magic, else 0 (also when unreadable). */
int BlQAVODiskIsQaVoRs2Fs(const char *device);
int BlQAVODiskIsExt2(const char *device);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
