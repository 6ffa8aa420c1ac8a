/* SMB service settings. */
#ifndef QAVO_SMB_H
#define QAVO_SMB_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when "runsamba" of "/etc/qavoinfo.conf" is "yes" (any case), else 0
 * (also when the qavoinfo lock cannot be taken). */
int BlQAVOSambaIsEnabled(void);

#ifdef __cplusplus
}
#endif

#endif
