// SMB service settings.
#include "qavo_smb.h"

#include "service_util.h"

extern "C" int BlQAVOSambaIsEnabled(void) {
    return qsvc::QavoinfoKeyIsYes("runsamba") ? 1 : 0;
}
