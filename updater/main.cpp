#include <unistd.h>

#include <cstdio>

#include "slib_errcode.h"
#include "updt_banner.h"

int main(int argc, char **argv) {
    int opt;
    while ((opt = getopt(argc, argv, "hgv:")) != -1) {
        switch (opt) {
            case 'h':
                UPDTPrintUsage(stdout);
                return 0;
            case 'g':
            case 'v':
                break;
            default:
                SLIBLog(LOG_ERR, "updater: invalid option [%c]\n", optopt);
                return -1;
        }
    }
    return 0;
}
