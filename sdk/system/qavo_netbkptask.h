/* Network backup tasks: one section of "/etc/qavonetbkp.conf" per shared
 * folder, with its crontab schedule; tasks follow their folders when shares
 * are deleted or renamed. Failures also set 0x0200 when memory runs out. */
#ifndef QAVO_NETBKPTASK_H
#define QAVO_NETBKPTASK_H

#include "qavo_sys.h"
#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define SZF_NETBKP_CONF "/etc/qavonetbkp.conf"
/* The program of a task's schedule line: "<program> -a \"<folder>\"". */
#define SZF_NETBKP_PROGRAM "/usr/qavo/bin/qavonetbkp"
/* First line: the folder whose backup runs now (kept by the backup daemon). */
#define SZF_NETBKP_QUEUE "/tmp/netbkp_create.queue.tmp"

/* Options of QAVONetBackupGet and QAVONetBackupSet. */
#define NETBKP_OPT_GET_SCHEDULE 1
#define NETBKP_OPT_SET_SCHEDULE 2
#define NETBKP_OPT_SKIP_SCHEDULE 3

/* One task; the strings of a record QAVONetBackupGet fills are packed from
 * the end of the caller's buffer. */
typedef struct _tag_QAVONETBKPINFO {
    char *szShare;    /* shared folder (the section name) */
    char *szServer;   /* "bkp_server": backup server as entered */
    char *szIP;       /* "bkp_ip": resolved address */
    char *szAuthUser; /* "bkp_auth_user": account on the server ("root") */
    char *szPass;     /* "server_pass" */
    char *szLastTime; /* "last_bkp_time" */
    char *szModule;   /* "bkp_module": rsync module ("NetBackup") */
    char *szPass2;    /* "server_pass2" */
    int nLastStatus;  /* "last_bkp_status" */
    int fSSH;         /* "ssh": 1 over ssh */
    int nServerType;  /* "server_type" */
} QAVONETBKPINFO, *PQAVONETBKPINFO;

/* Names of the tasks (the task file's sections): a NULL-terminated pointer
 * array at the start of buf, the names packed from its end; *needed is the
 * size that takes. buf NULL with size 0 asks for the size (result 0). The
 * number of tasks (0 without a task file), or -1 (0x0D00, 0x0100 buffer too
 * small, and the reader's codes). */
int QAVONetBackupEnum(char **buf, int size, int *needed);
/* Reads the task of a folder into buf; option 1 also reads its schedule
 * (zeroed when it has none), 3 not. 1 filled, 0 size query (buf NULL, size
 * 0; *needed set), -1 (0x0D00, 0x1400 no such task, 0x0100, 0x0200). */
int QAVONetBackupGet(const char *name, PQAVONETBKPINFO buf, int size, int *needed, int option,
                     PQAVOSCHEDULE schedule);
/* Creates (name NULL or no such task) or replaces (name equal to szShare)
 * the task of szShare; option 2 sets the schedule (or, NULL, removes it) of
 * the task's own command, whatever command the schedule names; 3 leaves it.
 * The folder must be a share name, the server, user and module as
 * BlQAVOINetBkpIsServer and BlQAVOINetBkpIsAccount accept. The task file is
 * created private (0600); the schedule changes only after the file was
 * written. 1, or -1 (0x0D00, 0x1300 a new task whose folder has one, and the
 * codes of the file writers). */
int QAVONetBackupSet(const char *name, const QAVONETBKPINFO *task, int option,
                     const QAVOSCHEDULE *schedule);
/* Parses a task string "share:server:ip:user:pass:time:module:pass2:status:
 * ssh:type" into buf (*size bytes; strings packed from its end, an empty
 * field 1-7 leaves its pointer NULL). buf NULL with *size 0 stores the size
 * needed and gives 0. 1 filled, or -1 (0x0D00 fewer than 11 fields, a bad
 * number or bad arguments, 0x0100 buffer too small). */
int QAVONetBackupSetParam(const char *param, PQAVONETBKPINFO buf, int *size);
/* Reads a section file and stores, for each section, the value of the
 * section's first key line named key into *hash under the section's name.
 * The number of entries in the hash, or -1 (0x0D00, 0x0900, 0x0A00 for a
 * line holding a NUL byte or a read error). */
int QAVONetBackupEnumByKey(const char *file, const char *key, PSLIBSZHASH *hash);
/* Removes the tasks of the folders (letter case ignored) and their
 * schedules, stopping a backup of one of them that runs now. The number of
 * task sections removed, or -1. */
int QAVONetBackupDelete(char **names, int count);
/* QAVONetBackupDelete of one name; -1 (0x0D00) for NULL. */
int QAVONetBackupDeleteOne(const char *name);
/* Moves the task of oldName, with its schedule, to newName (when network
 * backup is part of the model); the new schedule line is made before the
 * old one goes. 0 also when there is nothing to move, -1 (0x0D00 newName no
 * share name, 0x1300 newName has a task already). */
int QAVONetBkpRename(const char *oldName, const char *newName);
/* The folder of a share into out. 0, or -1 (0x0D00, 0x0100 out not longer
 * than the path, and QAVOShareGet's codes). */
int QAVONetBkpGetSharePath(const char *share, char *out, int size);

/* What a task may hold, as the rsync command lines take it: a server is a
 * host name or dotted address (a leading "*" allowed); a user or module is
 * not empty, does not start with "-" and holds no "/", "@", ":", double
 * quote or control character. 1 or 0. */
int BlQAVOINetBkpIsServer(const char *server);
int BlQAVOINetBkpIsAccount(const char *text);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
