// The updater: analyses the package of its folder against the installed
// system, stops the services, writes the package's images to flash with a
// backup and a roll-back, and reports every stage in the progress file, the
// message file and the update log. Its exit status is its result.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qavo_manutil.h"
#include "qavo_mtd.h"
#include "qavo_net.h"
#include "qavo_service.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_proc.h"
#include "slib_str.h"
#include "updt_analyze.h"
#include "updt_banner.h"
#include "updt_config.h"
#include "updt_driver.h"
#include "updt_fixup.h"
#include "updt_msys.h"
#include "updt_patchinfo.h"
#include "updt_redboot.h"
#include "updt_status.h"
#include "updt_util.h"

namespace {

using updt::Word;

// The appliance kernel's call that allocates (1) or releases (0) the MTD
// driver's buffer; kernels without it answer ENOSYS.
constexpr long kSysMtdBuffer = 405;
constexpr int kMaxUptime = 300;
constexpr char kQavoInfo[] = "/etc/qavoinfo.conf";
constexpr char kInitrd[] = "/initrd";
constexpr char kPgsqlScript[] = "/usr/qavo/etc/rc.d/S20pgsql.sh";

bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The state of one run, from the options to the final record.
struct Run {
    char stage = 'A';
    int code = 0;
    int startDir = -1;
    bool mtuChanged = false;
    char oldMtu[16] = {};
    bool mtdBuffer = false;  // the kernel gave the MTD driver's buffer
    FISDIRENTRY *dir = nullptr;
    int entries = 0;
    std::string reason;       // what failed, for the line on a terminal
    bool backupKept = false;  // the roll-back failed: the backup is the old flash

    void Stage(char s) {
        stage = s;
        UPDTSetProgress(stage, 0);
    }

    // Steps up to the first failure; the code says which.
    void Update(const char *argv0);
    bool EnterFolder(const char *argv0);
    bool Prepare();
    bool KernelPreparation();
    bool FixUps();
    void RedBoot();
    bool Configuration();
    void RollBack();
    void MoveArchive();
    void RemoveBackup();
    int CleanUp(bool opened);
    void Tell();
};

std::string DefaultReason(int code);

bool Run::EnterFolder(const char *argv0) {
    // The folder of the program when it was started by a path, otherwise the
    // update folder of the volume.
    if (strlen(argv0) >= sizeof szUpdateDir) {
        SLIBLog(LOG_ERR, "%s(%d): program path too long (%zu bytes)", "main", __LINE__,
                strlen(argv0));
        reason = "the program path is too long";
        code = 3;
        return false;
    }
    if (const char *slash = strrchr(argv0, '/')) {
        snprintf(szUpdateDir, sizeof szUpdateDir, "%.*s", static_cast<int>(slash - argv0), argv0);
    } else {
        snprintf(szUpdateDir, sizeof szUpdateDir, "%s/%s", szVolume, UPDT_UPDATE_FOLDER);
    }
    if (chdir(szUpdateDir) != 0) {
        const int e = errno;
        SLIBLog(LOG_ERR, "%s(%d): fail to chdir, errno = %d", "main", __LINE__, e);
        SLIBLog(LOG_ERR, "%s(%d): the update folder [%s] cannot be entered: %s", "main", __LINE__,
                szUpdateDir, strerror(e));
        reason = std::string(*szUpdateDir ? szUpdateDir : "(empty path)") + ": " + strerror(e);
        code = 3;
        return false;
    }
    // Every package file, the backup and the archive are found from the
    // absolute path: a folder whose path does not fit is refused.
    if (!getcwd(szUpdateDir, sizeof szUpdateDir)) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get the update folder's path, errno = %d", "main",
                __LINE__, errno);
        reason = std::string("the update folder's path: ") + strerror(errno);
        szUpdateDir[0] = '\0';
        code = 3;
        return false;
    }
    UPDTSetProgress(stage, 10);
    return true;
}

bool Run::Prepare() {
    if (blGroupUpdate) return true;
    int err = ErrUPDTIAnalyze();
    if (err != 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to analyze, error = %d", "main", __LINE__, err);
        code = err;
        return false;
    }
    UPDTSetProgress(stage, 100);
    if (QAVOServiceNetStatusSet(QAVO_SERVICE_NET_STOP) == 0)
        blServicesStopped = 1;
    else
        SLIBLog(LOG_ERR, "%s(%d): all services stop error", "main", __LINE__);
    return true;
}

bool Run::KernelPreparation() {
    if (blUseMTDBuffer == 1) {
        char support[8] = {};
        if (SLIBFileGetKeyValue(UPDT_DEFAULTS_INFO, "supportMTU", support, sizeof support, 0) > 0 &&
            strcasecmp(support, "yes") == 0) {
            char mtu[16] = {};
            if (SLIBFileGetKeyValue(kQavoInfo, "MTUValue", mtu, sizeof mtu, 0) > 0 &&
                strcmp(mtu, "1500") != 0) {
                // Whatever the call answers, it may have changed the
                // interface or the stored value: the old one goes back at
                // the end.
                if (QAVONetSetMTUValue("1500") < 0)
                    SLIBLog(LOG_ERR, "%s(%d): fail to set MTU 1500, MTUValue was [%s]", "main",
                            __LINE__, mtu);
                memcpy(oldMtu, mtu, sizeof oldMtu);
                mtuChanged = true;
            }
        }
        if (syscall(kSysMtdBuffer, 1) == 0) {
            mtdBuffer = true;
        } else {
            int e = errno;
            SLIBLog(LOG_ERR, "%s(%d): fail to malloc mtd driver buffer, error = %d", "main",
                    __LINE__, e);
            if (e != ENOSYS) {
                reason = std::string("system call 405: ") + strerror(e);
                code = 23;
                return false;
            }
        }
        return true;
    }
    // An installed system older than the threshold takes the update only
    // shortly after a boot.
    if (blPomlet || access(kInitrd, F_OK) != 0) return true;
    struct sysinfo si;
    const bool known = sysinfo(&si) == 0;
    if (!known || si.uptime > kMaxUptime) {
        reason = known ? "up for " + std::to_string(si.uptime) + " s, more than " +
                             std::to_string(kMaxUptime) + " s"
                       : std::string("the uptime cannot be read");
        if (SLIBFileSetKeyValue(UPDT_MESSAGE_FILE, UPDT_MESSAGE_KEY, UPDT_REBOOT_TEXT,
                                SLIB_KEYVALUE_FMT_QUOTED) < 0)
            SLIBLog(LOG_ERR, "%s(%d): fail to write [%s]", "main", __LINE__, UPDT_MESSAGE_FILE);
        code = 24;
        return false;
    }
    return true;
}

bool Run::FixUps() {
    if (blRecoverFISDir == 1 && RecoverFISDirTable_M4T7Plus_V284() < 0) {
        code = 20;
        return false;
    }
    if (blFixFtpPortRange == 1 && UpdateFTPPassivePortRange() < 0) {
        code = 21;
        return false;
    }
    if (blFixRsyncdConf == 1) UpdateRsyncdConf();
    return true;
}

// The photo database and the configuration migration of stage C; false with
// the code set when the update ends (21) or must be rolled back (17).
bool Run::Configuration() {
    if (blGroupUpdate) return true;
    if (nPhotoDBFix > 0 || blDropMediaServerDB == 1) {
        if (blServicesStopped == 1 &&
            SLIBProcExecWait(kPgsqlScript, "start", nullptr, nullptr, nullptr) < 0)
            SLIBLog(LOG_ERR, "%s: %d: failed to start postgre database.", __FILE__, __LINE__);
        if (UpdatePhotoDatabase() < 0) {
            code = 21;
            return false;
        }
    }
    if (UPDTUpdateConfig() == -1) {
        code = 17;
        return false;
    }
    return true;
}

void Run::RedBoot() {
    Stage('P');
    int need = 0;
    int n = QAVOMTDGetPartitionInfo(gszDevMtdPartition, nullptr, 0, &need);
    if (n < 0 || need <= 0) {
        // An empty directory (no entry before the first erased one) gives
        // nothing to back up, patch or restore.
        SLIBLog(LOG_ERR, "%s(%d): fail to get partition info", "main", __LINE__);
        code = 18;
        return;
    }
    dir = static_cast<FISDIRENTRY *>(malloc(static_cast<size_t>(need)));
    if (!dir) {
        SLIBLog(LOG_ERR, "%s(%d): malloc fail, errno = %d", "main", __LINE__, errno);
        code = 16;
        return;
    }
    memset(dir, 0, static_cast<size_t>(need));
    n = QAVOMTDGetPartitionInfo(gszDevMtdPartition, dir, need, &need);
    if (n <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get partition info", "main", __LINE__);
        code = 18;
        return;
    }
    entries = n;
    SLIBLog(LOG_ERR, "number of partitions = [%d]", n);
    for (int i = 0; i < n; ++i)
        SLIBLog(LOG_ERR, "[%.16s]  0x%08lX  0x%08lX  0x%08lX\n", dir[i].szName,
                static_cast<unsigned long>(dir[i].flash_base),
                static_cast<unsigned long>(dir[i].size),
                static_cast<unsigned long>(dir[i].data_length));

    UPDTSetProgress(stage, 10);
    if (UPDTInitPatchInfo(dir, n) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to initialize patch info ", "main", __LINE__);
        code = 19;
        return;
    }
    UPDTSetProgress(stage, 20);
    if (!blGroupUpdate && UPDTBackupOldPartition(dir, n) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to backup old patch info ", "main", __LINE__);
        code = 15;
        return;
    }
    UPDTSetProgress(stage, 60);
    if (UPDTDoPatch(dir, n) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to patch new binaries!!", "main", __LINE__);
        code = 20;
        RollBack();
        return;
    }
    SLIBLog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", "main", __LINE__);
    UPDTSetProgress(stage, 100);
    Stage('C');
    if (!Configuration()) {
        if (code == 17) RollBack();
        return;
    }
    UPDTSetProgress(stage, 100);
    MoveArchive();
    Stage('R');
    SLIBLog(LOG_ERR, "Congratulation!! The update has been completed!!");
    UPDTLog("Congratulation!! The update has been completed!!");
    RemoveBackup();
}

void Run::RollBack() {
    if (!blGroupUpdate) {
        // The configuration first (the old images expect the old files); its
        // saved copies are in the backup folder too.
        const bool config = code != 17 || UPDTRestoreConfig() == 0;
        const bool flash = UPDTRollBack(dir, entries) == 0;
        if (!flash) SLIBLog(LOG_ERR, "%s: UPDTRollBack() fail", "main");
        if (!config || !flash) {
            // The backup is now the only copy of what was there before.
            std::string kept = std::string(szUpdateDir) + "/" + UPDT_BACKUP_DIR;
            std::string line = "The backup of the old flash is kept in " + kept;
            SLIBLog(LOG_ERR, "%s(%d): %s", "main", __LINE__, line.c_str());
            UPDTLog(line.c_str());
            backupKept = true;
            reason = line + "; do not reboot";
            return;
        }
        SLIBLog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", "main", __LINE__);
    }
    RemoveBackup();
}

void Run::MoveArchive() {
    const std::string from = std::string(szUpdateDir) + "/" + UPDT_SYSTEM_ARCHIVE;
    if (!Exists(from)) return;
    const std::string to = std::string(szVolume) + "/" + UPDT_VOLUME_ARCHIVE;
    const std::string cmd = "/bin/mv -f " + Word(from) + " " + Word(to);
    if (UPDTExecute(cmd.c_str()) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): mv %s to %s/%s fail.", "main", __LINE__, from.c_str(), szVolume,
                UPDT_VOLUME_ARCHIVE);
        std::string line = "Failed to move " + from + " to " + to;
        UPDTLog(line.c_str());
    }
}

void Run::RemoveBackup() {
    // Only the backup this run made: a folder left by an earlier run (a group
    // update makes none) may be the only copy of an older flash.
    if (!BlUPDTBackupMade()) return;
    const std::string cmd = "/bin/rm -rf " + Word(std::string(szUpdateDir) + "/" + UPDT_BACKUP_DIR);
    SLIBLog(LOG_ERR, "szCmd=[%s]", cmd.c_str());
    UPDTExecute(cmd.c_str());
}

void Run::Update(const char *argv0) {
    if (!EnterFolder(argv0) || !Prepare() || !KernelPreparation()) return;
    if (BlQAVOIsMSysFlash() == 1) {
        // The whole flash stage, the migration and the backup's removal run
        // in the module's back-end, which advances the stage letter itself.
        code = UPDTMSysUpdate(&stage);
        return;
    }
    if (!FixUps()) return;
    RedBoot();
}

int Run::CleanUp(bool opened) {
    if (opened) {
        // Only a buffer the kernel gave is given back.
        if (mtdBuffer && syscall(kSysMtdBuffer, 0) != 0)
            SLIBLog(LOG_ERR, "%s(%d): fail to free mtd driver buffer, error = %d", "main", __LINE__,
                    errno);
        free(dir);
        dir = nullptr;
        if (fchdir(startDir) != 0) {
            reason = std::string("the starting directory: ") + strerror(errno);
            SLIBLog(LOG_ERR, "%s(%d): fail to return to the starting directory, errno = %d", "main",
                    __LINE__, errno);
            code = 2;
        }
        close(startDir);
    }
    if (code != 0) {
        char msg[64];
        snprintf(msg, sizeof msg, "Failed to accomplish the update! (errno = %d)", code);
        SLIBLog(LOG_ERR, "%s", msg);
        UPDTLog(msg);
        if (blServicesStopped == 1 && QAVOServiceNetStatusSet(QAVO_SERVICE_NET_START) != 0)
            SLIBLog(LOG_ERR, "%s(%d): all services start error", "main", __LINE__);
    }
    if (mtuChanged && QAVONetSetMTUValue(oldMtu) < 0)
        SLIBLog(LOG_ERR, "%s(%d): fail to restore MTU [%s]", "main", __LINE__, oldMtu);
    UPDTSetProgress(stage, -code);
    if (code != 0 && isatty(STDERR_FILENO)) Tell();
    return code;
}

// The reason of a failure that the stage did not name: the file or device
// concerned, or where the details are.
std::string DefaultReason(int code) {
    const std::string pkg = std::string(szUpdateDir) + "/VERSION";
    switch (code) {
        case 6:
            return UPDT_INSTALLED_VERSION;
        case 7:
        case 9:
        case 10:
        case 12:
        case 13:
            return pkg;
        case 8:
            return UPDT_DEFAULTS_INFO;
        case 18:
            return gszDevMtdPartition;
        default:
            return "the system log names what failed";
    }
}

// One line for the person at the terminal: the code, its meaning and what
// failed.
void Run::Tell() {
    const char *meaning = backupKept ? "the update failed and so did the roll-back"
                          : code > 0 && code < UPDT_ERR_COUNT ? UPDT_ERR_MEANING[code]
                                                              : "unknown failure";
    const std::string why = reason.empty() ? DefaultReason(code) : reason;
    fprintf(stderr, "updater: failed with %d (%s): %s\n", code, meaning, why.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    Run run;
    SLIBLog(LOG_ERR, "%s(%d): Start of the updater...", "main", __LINE__);
    UPDTSetProgress(run.stage, 0);
    UPDTTruncateLog();
    UPDTLog("Start of the update...");
    snprintf(szVolume, sizeof szVolume, "%s", UPDT_DEFAULT_VOLUME);

    int opt;
    while ((opt = getopt(argc, argv, "hgv:")) != -1) {
        switch (opt) {
            case 'h':
                UPDTPrintUsage(stdout);
                return 0;
            case 'g':
                blGroupUpdate = 1;
                break;
            case 'v':
                // A volume path that does not fit would be cut to another
                // path, which would then receive the system archive.
                if (!optarg || strlen(optarg) >= sizeof szVolume) {
                    SLIBLog(LOG_ERR, "updater: invalid option for -v [mount_point]\n");
                    fprintf(stderr, "updater: the volume path must be shorter than %zu bytes\n",
                            sizeof szVolume);
                    UPDTPrintUsageLines(stderr);
                    return -1;
                }
                snprintf(szVolume, sizeof szVolume, "%s", optarg);
                break;
            default:
                SLIBLog(LOG_ERR, "updater: invalid option [%c]\n", optopt);
                UPDTPrintUsageLines(stderr);
                return -1;
        }
    }
    // Operands are not taken (the volume comes with -v); callers may pass
    // them, so they are only named.
    for (int i = optind; i < argc; ++i)
        fprintf(stderr, "updater: operand [%s] ignored (the volume is given with -v)\n", argv[i]);

    const int pomlet = BlQAVOIsPomletModel() ? 1 : 0;
    UPDTSelectEdition(pomlet);
    SLIBLog(LOG_ERR,
            pomlet ? "This is pomlet, gszDevMtdPartition=[%s]"
                   : "This is not pomlet, gszDevMtdPartition=[%s]",
            gszDevMtdPartition);

    run.startDir = open(".", O_RDONLY | O_CLOEXEC);
    if (run.startDir < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to open current directory. errno=%d", "main", __LINE__,
                errno);
        run.reason = std::string("the current directory: ") + strerror(errno);
        run.code = 1;
        return run.CleanUp(false);
    }
    run.Update(argc > 0 && argv[0] ? argv[0] : "");
    return run.CleanUp(true);
}
