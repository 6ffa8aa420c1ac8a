/* The updater's process-wide driver state that the stages share: the
 * service-stop flag and the message keys of the exit codes. */
#ifndef UPDT_DRIVER_H
#define UPDT_DRIVER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Folder of the package on a volume, when the program is not started by a path. */
#define UPDT_UPDATE_FOLDER "upd@te"
#define UPDT_DEFAULT_VOLUME "/volume1"
/* The package's system archive and its name once moved to the volume. */
#define UPDT_SYSTEM_ARCHIVE "hda1.tgz"
#define UPDT_VOLUME_ARCHIVE "QavoUpgrade.tar.gz"
/* The message file's key and the reboot request. */
#define UPDT_MESSAGE_KEY "extramsg"
#define UPDT_REBOOT_TEXT "To perform upgrade task, you have to REBOOT your Varnholt first."
/* Exit codes run from 0 to UPDT_ERR_COUNT - 1. */
#define UPDT_ERR_COUNT 25

/* The volume (szVolume) and the group-update flag (blGroupUpdate) are with
 * the flash layout's state in updt_patchinfo.h. */

/* 1 after the updater itself stopped all services. */
extern int blServicesStopped;
/* The user-message key of each exit code. */
extern const char *const UPDT_ERR_TABLE[UPDT_ERR_COUNT];
/* What each exit code means, in a few words for a person (the keys of 14 to
 * 22 are one). */
extern const char *const UPDT_ERR_MEANING[UPDT_ERR_COUNT];

#ifdef __cplusplus
}
#endif

#endif
