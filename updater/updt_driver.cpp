#include "updt_driver.h"

extern "C" {

int blServicesStopped = 0;

const char *const UPDT_ERR_TABLE[UPDT_ERR_COUNT] = {
    "upgrade_success",      "error_dirop",          "error_dirop",          "error_dirop",
    "error_bootmediaop",    "error_bootmediaop",    "error_read_ver",       "error_read_patch_ver",
    "error_read_mod",       "error_read_patch_mod", "error_version",        "error_model",
    "error_company",        "error_patch",          "error_update_unknown", "error_update_unknown",
    "error_update_unknown", "error_update_unknown", "error_update_unknown", "error_update_unknown",
    "error_update_unknown", "error_update_unknown", "error_update_unknown", "error_memory",
    "error_reboot",
};

}  // extern "C"
