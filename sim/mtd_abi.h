/* Kernel interface of the simulated appliance: the MTD character-device
 * requests with their Linux numbering, the appliance kernel's own requests
 * and system calls, and the private requests the kernel shim uses to carry
 * the M-Systems module requests to the flash emulator. */
#ifndef QAVO_SIM_MTD_ABI_H
#define QAVO_SIM_MTD_ABI_H

#include <stdint.h>
#include <sys/ioctl.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Geometry record of MEMGETINFO (32 bytes). */
struct qsim_mtd_info_user {
    uint8_t type;
    uint32_t flags;
    uint32_t size;
    uint32_t erasesize;
    uint32_t writesize;
    uint32_t oobsize;
    uint64_t padding;
};

/* Argument of MEMERASE, MEMLOCK, MEMUNLOCK and MEMSETPARTINFO. */
struct qsim_erase_info_user {
    uint32_t start;
    uint32_t length;
};

/* Argument of MEMSETFISENTRY (28 bytes). */
struct qsim_fis_entry_req {
    char name[16];
    uint32_t flash_base;
    uint32_t size;
    uint32_t data_length;
};

#define QSIM_MTD_NORFLASH 3
#define QSIM_MTD_CAP_NORFLASH 0xC00 /* writeable, bit-writeable */

#define QSIM_MEMGETINFO _IOR('M', 1, struct qsim_mtd_info_user)
#define QSIM_MEMERASE _IOW('M', 2, struct qsim_erase_info_user)
#define QSIM_MEMLOCK _IOW('M', 5, struct qsim_erase_info_user)
#define QSIM_MEMUNLOCK _IOW('M', 6, struct qsim_erase_info_user)
#define QSIM_MEMSETPARTINFO 0x40084D16u
#define QSIM_MEMSETFISENTRY 0x401C4D17u

/* M-Systems module requests on /dev/mtd0. Their size fields do not describe
 * their arguments, so a FUSE file cannot carry them: the shim rewrites them
 * into the private requests below. */
#define QSIM_MEMMSYSGETPARTS 0x80044D1Au  /* out: 8 pairs {u32 size, u32 data_length} */
#define QSIM_MEMMSYSFORMAT 0x40044D18u    /* argument: the unit count itself */
#define QSIM_MEMMSYSPARTITION 0x40044D19u /* in: 8 u32 sizes in units */
#define QSIM_PRIV_MSYSGETPARTS _IOR('M', 0x7A, uint32_t[16])
#define QSIM_PRIV_MSYSFORMAT _IOW('M', 0x78, uint32_t)
#define QSIM_PRIV_MSYSPARTITION _IOW('M', 0x79, uint32_t[8])

#define QSIM_MSYS_UNITS 967
#define QSIM_MSYS_UNIT_SIZE 16384
#define QSIM_MSYS_PARTS 8

/* Appliance system calls. */
#define QSIM_SYS_HWFLAGS 401
#define QSIM_SYS_MTDBUFFER 405

#define QSIM_FIS_ENTRY_SIZE 256

#ifdef __cplusplus
}
#endif

#endif /* QAVO_SIM_MTD_ABI_H */
