/* The network-service switch: stops, starts, restarts or reloads the
 * appliance's network daemons through their start scripts and signals, in
 * a fixed order under one lock, and records the start and stop of the
 * enabled services in the event log. */
#ifndef QAVO_NETSERVICE_H
#define QAVO_NETSERVICE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Request bits: the daemons to act on. */
#define NETSERV_AFP 0x1
#define NETSERV_MEDIA 0x2
#define NETSERV_SMB 0x4
#define NETSERV_CROND 0x8
#define NETSERV_FTP 0x10
#define NETSERV_PACKAGES 0x20 /* iTunes, media, indexer, download, PostgreSQL, MySQL */
#define NETSERV_USERWEB 0x40
#define NETSERV_THUMB 0x80
#define NETSERV_NETBKP 0x100
#define NETSERV_DOWNLOAD 0x200
#define NETSERV_LPD 0x400
#define NETSERV_ITUNES 0x800
#define NETSERV_INDEX 0x1000
#define NETSERV_ALL 0xFFFFFFFFu

/* Actions. */
#define NETSERV_STOP 1
#define NETSERV_START 2
#define NETSERV_RESTART 3
#define NETSERV_RELOAD 4

/* Result bits: the daemons acted on. */
#define NETSERV_DONE_AFP 0x1
#define NETSERV_DONE_SMB 0x4
#define NETSERV_DONE_FTP 0x8
#define NETSERV_DONE_MYSQL 0x10
#define NETSERV_DONE_PGSQL 0x20
#define NETSERV_DONE_DOWNLOAD 0x40
#define NETSERV_DONE_NETBKP 0x80
#define NETSERV_DONE_MEDIA 0x100
#define NETSERV_DONE_USERWEB 0x200
#define NETSERV_DONE_LPD 0x800
#define NETSERV_DONE_ITUNES 0x1000
#define NETSERV_DONE_INDEX 0x2000
#define NETSERV_DONE_CROND 0x4000
#define NETSERV_DONE_THUMB 0x8000

/* Acts on the daemons of mask (request bits) with action. The result bits
 * of the daemons acted on, or -1 (0x0D00 empty mask; the lock's code when
 * lock_qavoinfo, lock_apple and lock_smb cannot be taken exclusive). */
int QAVONetService(uint32_t mask, int action);
/* Reloads AFP, SMB and FTP: QAVONetService's result. */
int ErrServiceHup(void);
/* Reloads FTP (mask bit 0x4) and AFP (mask bit 0x10): QAVONetService's
 * result, or -1 (0x0D00 for a negative mask or one with neither bit). */
int ErrServiceHupByMask(int mask);
/* Starts (stops) every network service and records the events of the
 * enabled ones. 0, or -1 when the switch failed. */
int ErrNetServiceStart(void);
int ErrNetServiceStop(void);
/* Kills every live process whose process line holds name with SIGKILL
 * until none is left. 0, or -1 (0x0D00 NULL or empty name, 0x0A00 the
 * process table unreadable, 0x8100 a process still there after the last
 * try). Zombies are dead already and do not count. */
int SDKIProcKillAll(const char *name);
/* 1 when "runftpd" is "yes" (any case), else 0 (also when the qavoinfo lock
 * cannot be taken). */
int BlQAVOFTPIsEnabled(void);
/* A "run..." key of "/etc/qavoinfo.conf": 1 "yes", 0 "no" (any case), -1
 * for anything else, an absent or unreadable key, or a key that is empty
 * or does not begin with "run" (0x0D00). */
int QAVOINFORunKeyGet(const char *key);
/* Writes the start (action 2) or stop (action 1) events of the enabled
 * services for the result mask of QAVONetService. 0, or -1 (0x0D00) for
 * another action. */
int SDKINetServEventLog(int action, uint32_t result);
/* One management event of the switch. QAVOLogEventWrite's result. */
int SDKINetServEventWrite(uint32_t eventId);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
