/* Process execution and process queries: programs run without a shell
 * from an argument vector, and processes found by name or pid file. */
#ifndef SLIB_PROC_H
#define SLIB_PROC_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/*
 * Runs path with up to four arguments (the first NULL ends the list) and
 * waits for it. The program's exit status (0 to 255; 255 also when it cannot
 * be started), or -1 (0x2A00) when it cannot be forked, waited for or was
 * killed by a signal; 0x0D00 for a NULL path.
 */
int SLIBProcExecWait(const char *path, const char *a1, const char *a2, const char *a3,
                     const char *a4);
/* The longest input SLIBProcExecWaitArgv hands a program (a pipe's atomic size). */
#define SLIB_PROC_INPUT_MAX 4096
/*
 * Runs argv[0] with the argument vector argv (ending with NULL) and waits for
 * it, as SLIBProcExecWait does. envp is the program's environment (NULL: the
 * caller's). input, when not NULL, is what the program reads on its standard
 * input (at most SLIB_PROC_INPUT_MAX bytes, else -1 with 0x0D00); otherwise
 * it reads /dev/null. Input on a pipe keeps secrets off the command line.
 * 0x0D00 also for a NULL argv or argv[0]; 0x2A00 when the input pipe fails.
 */
int SLIBProcExecWaitArgv(const char *const *argv, const char *const *envp, const char *input);
/*
 * Runs argv[0] with the argument vector argv (ending with NULL), its standard
 * output on fd (input and error on /dev/null), and waits for it at most
 * timeout seconds (0 or less: until it ends). The program's exit status, or
 * -1 (0x2A00) when it cannot be forked, dies by a signal, or still runs at
 * the time-out; then it and the processes it started are killed. -1 with
 * 0x0D00 for a NULL argv or argv[0] or a negative fd.
 */
int SLIBProcExecWaitOutput(const char *const *argv, int fd, int timeout);
/*
 * Runs argv[0] with the argument vector argv (ending with NULL): input, when
 * not NULL, on its standard input (at most SLIB_PROC_INPUT_MAX bytes, else
 * -1 with 0x0D00; otherwise /dev/null), its standard output on outFd and its
 * standard error on errFd (-1: /dev/null; one descriptor for both merges
 * them). Waits as SLIBProcExecWaitOutput does. A program that talks to a
 * peer gets a secret this way, never on its command line. Codes as
 * SLIBProcExecWaitArgv.
 */
int SLIBProcExecWaitIO(const char *const *argv, const char *input, int outFd, int errFd,
                       int timeout);
/* Starts path in the background. The child's process id, or -1 (0x2A00). */
pid_t SLIBProcExecBackground(const char *path, const char *a1, const char *a2, const char *a3,
                             const char *a4);
/* system(command): the wait status (-1 as system() gives it); a NULL command
 * runs nothing and gives 0. Sets no code. */
int SLIBSysSystem(const char *command);

/*
 * Processes whose process line (process id and command line) contains name.
 * Up to max of their ids are stored in pids; the result is the number found
 * (may exceed max), or -1 (0x0A00; 0x0D00 for a NULL name, 0x0200).
 */
int SLIBProcGetPidsByName(const char *name, int *pids, int max);
/*
 * Sends SIGTERM (SIGKILL with force) to the processes named, then SIGKILL to
 * those still found. The number found by the first search (at most 256), or -1
 * (0x0D00 for a NULL or empty name; the search's code).
 */
int SLIBProcKillByName(const char *name, int force);
/* 1 when a process named is found, else 0 (0x0D00 for NULL; the search's
 * code when it fails). */
int BlSLIBProcExist(const char *name);
/* 1 when a process other than a grep search is named, else 0 (0x0D00 for
 * NULL, 0x0200 out of memory). */
int BlSLIBProcIsRunning(const char *name);
/* 1 when the process exists (also when it belongs to another user), else 0;
 * no code. */
int BlSLIBProcIsAlive(pid_t pid);
/* The process id of a pid file; 0 when it does not parse, -1 when unreadable
 * (no code). */
int SLIBProcReadPidFile(const char *path);
/* 1 when the pid file names a live process, else 0; no code. Any live
 * process counts, whatever its name: a probe only, never grounds to signal. */
int BlSLIBProcIsPidFileAlive(const char *path);
/* 1 when a TCP connection to the IPv4 address completes within timeout
 * seconds, else 0; no code. */
int BlSLIBIsTCPPortReachable(const char *address, int port, int timeout);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
