/* Package analysis: decides from the installed and the package's "VERSION"
 * files (and the model strings) whether the package may replace the
 * installed system, and sets the migration flags the installed version
 * needs. */
#ifndef UPDT_ANALYZE_H
#define UPDT_ANALYZE_H

#ifdef __cplusplus
extern "C" {
#endif

#define UPDT_INSTALLED_VERSION "/etc.defaults/VERSION"
#define UPDT_DEFAULTS_INFO "/etc.defaults/qavoinfo.conf"

/* Migration flags (0 at start; blUseMTDBuffer starts at 1). */
extern int blRemoveRcAtalk;
extern int blRemovePapdConf;
extern int blFixFtpAccounts;
extern int blRemoveProfile;
extern int blRemoveJumboFrame;
extern int blMigrateWriteable;
extern int blRecoverFISDir;
extern int blFixMTUValue;
extern int blUseMTDBuffer;
extern int blFixFtpPortRange;
extern int nPhotoDBFix;
extern int blDropMediaServerDB;
extern int blFixRsyncdConf;

/* Analyses the package of the current folder: 0 to go on, or the updater's
 * exit code (6, 7, 8, 9, 10, 12, 13, 16, 22). */
int ErrUPDTIAnalyze(void);
/* Small patches are refused: 6. */
int ErrUPDTIAnalyze_SmallPatch(void);
/* Version and model rules, migration flags, the update-log line; 0 or a code. */
int ErrUPDTIAnalyze_WholeSystem(void);
/* 1 when a is the newer dotted version text, -1 when b is, 0 when equal. */
int UPDTCompareVersion(const char *a, const char *b);

#ifdef __cplusplus
}
#endif

#endif
