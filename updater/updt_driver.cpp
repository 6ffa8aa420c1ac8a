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

const char *const UPDT_ERR_MEANING[UPDT_ERR_COUNT] = {
    "the update completed",
    "the starting directory cannot be opened",
    "returning to the starting directory failed",
    "the update folder cannot be entered",
    "boot media operation failed (not raised)",
    "boot media operation failed (not raised)",
    "the installed version cannot be read, or the package is a small patch",
    "the package's VERSION is missing, empty or unreadable",
    "the installed model string cannot be read",
    "the package's model string cannot be read",
    "the version rules refuse the package",
    "the model is refused (not raised)",
    "the package is for another model",
    "the package's major version is not acceptable, or an UPDATELIST comes without DEPENDENCY",
    "unknown failure (not raised)",
    "the backup of the flash partitions failed",
    "no memory for the flash directory, or less than 2 MiB free in /writeable",
    ("the configuration migration failed; the flash was rolled back, unless the update log says "
     "the backup is kept: then the roll-back failed too (do not reboot)"),
    "the flash directory cannot be read",
    "the patch records cannot be prepared",
    ("writing the images failed and the flash was rolled back, unless the update log says the "
     "backup is kept: then the roll-back failed too (do not reboot); or the flash directory "
     "recovery failed"),
    "the FTP port-range fix failed",
    "the default file system cannot be stored",
    "the kernel refused the MTD driver buffer",
    "the system must be rebooted before the update",
};

}  // extern "C"
