#include "updt_banner.h"

extern "C" void UPDTPrintUsage(FILE *out) {
    fputs("Firmware updater of the storage appliance\n", out);
    UPDTPrintUsageLines(out);
}

extern "C" void UPDTPrintUsageLines(FILE *out) {
    fputs("updater [-h][-g][-v vol]\n", out);
    fputs(" -g: for group update\n", out);
    fputs(" -v: specify an avaible volume for upgrade task.\n", out);
}
