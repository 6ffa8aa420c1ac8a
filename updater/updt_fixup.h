/* One-off repairs that the update runs only when the installed version needs
 * them: the flash directory of one model rewritten from a built-in copy, the
 * FTP passive port range clamped to 1024 ports, the rsync daemon's options
 * and file modes, and the photo database brought to the new schema. */
#ifndef UPDT_FIXUP_H
#define UPDT_FIXUP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Entries of the built-in flash directory and its bytes (6 x 256). */
#define UPDT_FIXED_FIS_ENTRIES 6
#define UPDT_FIXED_FIS_SIZE 1536
/* Attempts of erase, write and verify of the directory. */
#define UPDT_FIS_RECOVER_TRIES 3

/* The FTP server's passive port range in "/etc/qavoinfo.conf". */
#define UPDT_FTP_LOW_PORT_KEY "ftplowport"
#define UPDT_FTP_HIGH_PORT_KEY "ftphighport"
#define UPDT_FTP_MAX_PORTS 1024

#define UPDT_RSYNCD_CONF "/etc/rsyncd.conf"
#define UPDT_RSYNCD_SECRETS "/etc/rsyncd.secrets"

/* Writes the built-in directory into the flash-directory device
 * gszDevMtdPartition. The partition is read first; each attempt erases,
 * writes and reads back, and when every attempt failed the saved bytes are
 * written back. The partition is locked again in every case. 0, or -1 (SDK
 * error 0x0900 open, 0x0A00 read, 0x0B00 write or verify). */
int RecoverFISDirTable_M4T7Plus_V284(void);
/* Narrows "ftphighport" to "ftplowport" + 1023 when the range holds more than
 * 1024 ports. Only a range of two present, valid ports is changed. 0, or -1
 * (a key cannot be read, or the new value cannot be stored). */
int UpdateFTPPassivePortRange(void);
/* Adds "use chroot = no" to "/etc/rsyncd.conf" after its "lock file =" line
 * when missing, gives the file mode 0644 and the secrets file mode 0640 with
 * owner 0:25. */
void UpdateRsyncdConf(void);
/* Runs the photo-database commands chosen by nPhotoDBFix and
 * blDropMediaServerDB, then the re-index. Always 0. */
int UpdatePhotoDatabase(void);

#ifdef __cplusplus
}
#endif

#endif
