/* IPv4 network interfaces through the socket ioctls: listing, hardware address,
 * address and netmask, flags and a down/up bounce. */
#ifndef SLIB_NETIF_H
#define SLIB_NETIF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Names kept by the interface-name cache of SLIBNetEnumIf; further names of
 * "/proc/net/dev" are not listed. */
#define SLIBNET_IF_CACHE_MAX 64

/* One interface as listed (caller's storage; arrays of it are contiguous). */
typedef struct {
    char name[16];         /* interface name, NUL-terminated */
    uint8_t mac[6];        /* hardware address */
    char address[66];      /* IPv4 address as a dotted quad, NUL-terminated */
    uint32_t reserved1;    /* not used; SLIBNetGetPsIf sets it to 0 */
    uint32_t link;         /* 2 when the interface is running, else 0 */
    int32_t flags;         /* interface flags word, sign-extended from 16 bits */
    uint32_t reserved2[3]; /* not used; SLIBNetGetPsIf sets them to 0 */
} SLIBNETIFINFO;

/* Error codes: socket and ioctl failures set none; only the cases named
 * below set one (SLIBErrGet). */

/* Interfaces that are up and not loopback, at most max; filled into array when
 * given: their number, -1 for a negative max, an unreadable interface list
 * (0x0200 when out of memory) or no socket. Names are read once per process
 * from "/proc/net/dev". */
int SLIBNetEnumIf(SLIBNETIFINFO *array, int max);
/* Describes "eth0" by the hardware address of the first non-loopback interface
 * with an IPv4 address. 1 (also when none is found); -1 with 0x0D00 for NULL. */
int SLIBNetGetPsIf(SLIBNETIFINFO *info);
/* Addresses and netmasks are in network byte order. 1 done, 0 failure (NULL
 * arguments, a bad name, or a failed socket or ioctl). */
int SLIBNetGetIfAddr(const char *name, uint32_t *address, uint32_t *netmask);
int SLIBNetSetIfAddr(const char *name, const uint32_t *address, const uint32_t *netmask);
/* flags >= 0 are or-ed into the interface flags, -x clears the bits of x.
 * 1 done, 0 failure. */
int SLIBNetSetIfFlags(const char *name, int flags);
/* Takes the interface down when it is up, then up: 1 done, 0 failure. */
int SLIBNetRestartIf(const char *name);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
