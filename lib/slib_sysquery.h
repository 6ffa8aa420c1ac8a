/* Queries about the running appliance: SMB client code page, the Windows
 * domain's controller and a credential check against it, file-service
 * connections and the model's limit, the model class, the hardware-event
 * daemon and the USB printer reset. */
#ifndef SLIB_SYSQUERY_H
#define SLIB_SYSQUERY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The domain tool the credential check runs. */
#define SLIB_DOMAIN_NET_TOOL "/usr/local/bin/net"
/* Where the domain's primary controller is recorded ("address[:host]"). */
#define SLIB_PDC_IP_PATH "/usr/qavo/etc/private/pdc_ip"
/* Size of the output of SLIBGetPDCAddress. */
#define SLIB_PDC_ADDRESS_SIZE 16

/* 1 when the SMB client code page is 932, 936, 949 or 950, else 0 (the
 * key/value reader's code when the setting cannot be read). */
int BlSLIBIsCJKCodePage(void);
/* The controller's address into output (SLIB_PDC_ADDRESS_SIZE bytes). 1, or -1
 * (0x0D00 null output, 0x0900 no file, 0x0A00 empty file, 0x1100 too long). */
int SLIBGetPDCAddress(char *output);
/* 1 when the domain accepts user and password, else 0 (0x0D00 bad arguments,
 * 0x2000 no controller address, 0x1D00 refused). The password reaches the
 * domain tool on a pipe, never on a command line (0x0200 out of memory). */
int BlSLIBCheckDomainCredential(const char *user, const char *password);
/* Client connections of the SMB, AFP and FTP servers into count. 0, or -1
 * (0x0D00 for NULL; the process search's code). */
int SLIBGetConnectionCount(uint32_t *count);
/* The connection count when it is within the model's limit (below it when
 * strict), else -1 (0x0400 lock, 0x0A00 count, 0x2A00 over the limit); a
 * failed unlock sets 0x0500 and keeps the result. */
int SLIBCheckConnectionLimit(int timeout, int strict);
/* 1 on a low-end model, else 0 (also when the model cannot be read). */
int BlSLIBIsLowEndModel(void);
/* Sends signal to the hardware-event daemon. 0 (also when its pid file names
 * no process, init or the caller), or -1 (0x8100 when kill fails). */
int SLIBSignalPaneld(int signal);
/* Soft reset of the USB printer /dev/usb/<name>. 0, or -1 (0x0D00 a bad
 * name, 0x0900 the device cannot be opened, 0x8100 the reset fails). */
int QAVOResetPrinter(const char *name);

/* Placeholders: 0, no code. */
int SLIBQueryZeroA(void);
int SLIBQueryZeroB(void);
int SLIBQueryZeroC(void);
/* -1 unless SLIBQueryZeroB() is above 0; else (max(SLIBQueryZeroA(), 0) +
 * SLIBQueryZeroB()) / 600. */
int64_t SLIBQueryPer600(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
