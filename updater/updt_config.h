/* Configuration migration after the new images are in flash: files left by
 * older versions removed, the configuration and logs of "/writeable" copied
 * to the volume, local accounts that clash with the system's "ftp" and
 * "anonymous" accounts renamed and those accounts created, two crontab jobs
 * removed and two MTU values replaced. Everything the migration removes or
 * edits is first saved into the update's backup folder, so that a roll-back
 * of the update puts it back. */
#ifndef UPDT_CONFIG_H
#define UPDT_CONFIG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Where the configuration of "/writeable" goes, on szVolume. */
#define UPDT_SAVED_CONFIG_DIR "s@vedconfig"
/* The migration's saved files, inside the update's backup folder. */
#define UPDT_CONFIG_BACKUP_DIR "config"
/* Events of the account fix: a group and a user got a new name. */
#define UPDT_EVENT_GROUP_RENAMED 0x11800602u
#define UPDT_EVENT_USER_RENAMED 0x11800E02u

/* Runs the migration steps chosen by the migration flags; 0, or -1 when a
 * step that counts failed (the other steps still ran). When the files it
 * would change cannot be saved first, nothing is changed and the result is
 * -1. */
int UPDTUpdateConfig(void);
/* Gives a local user named name (uid above 1024) the first free name
 * name1 .. name127. 0 (nothing to do, or renamed), -1 (no free name, the
 * user cannot be read, or the account database refused the rename). */
int UPDTRenameSystemUser(const char *name);
/* Puts back every file the last UPDTUpdateConfig removed or edited, and
 * removes those it created; 0, or -1 when a file could not be put back
 * (the others still are). Nothing to do: 0. */
int UPDTRestoreConfig(void);

#ifdef __cplusplus
}
#endif

#endif
