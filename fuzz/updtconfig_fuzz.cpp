// The updater's fix-ups and configuration migration on settings, crontab,
// rsync daemon and account files of any bytes. Input: the migration flags
// (the first byte's bits: rc.atalk, papd.conf, ftp accounts, profile, jumbo
// frame script, MTU value), then "/etc/qavoinfo.conf", "/etc/crontab",
// "/etc/rsyncd.conf", "/etc/passwd", "/etc/group", "/etc/shadow" and the SMB
// password file, cut at form feeds. The copy of "/writeable" to the volume
// runs programs and is left out.
//
// Checked against a model of each step: the FTP port range is narrowed only
// for two valid ports more than 1024 apart, and then to exactly 1024;
// "use chroot = no" is added right after the first "lock file =" line when
// no line holds it; the two crontab jobs and nothing else leave the
// crontab; only the MTU values 4074 and 9000 change; after a successful
// account fix the system's ftp group and the ftp and anonymous users are
// there with system ids (when no name is on two lines of a file). Then
// putting the saved configuration back gives every file of /etc and
// /usr/qavo/etc as it was before the migration.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qavo_accfile.h"
#include "sdk_userset.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_unicode.h"
#include "updt_analyze.h"
#include "updt_config.h"
#include "updt_fixup.h"
#include "updt_patchinfo.h"

namespace {

const char kSmbpasswd[] = "/usr/qavo/etc/private/smbpasswd";
const char kCrontab[] = "/etc/crontab";

bool Skipped(const std::string &path) {
    return path == "/tmp/lock" || path == "/etc/alternatives" || path == "/var/run";
}

// Everything the steps may touch, put back after each input.
qfuzz::Snapshot gState({"/etc", "/usr/qavo/etc", "/var", "/tmp"}, Skipped);
// What the migration must leave as it was once its saved files are back.
qfuzz::Snapshot gConfig({"/etc", "/usr/qavo/etc"}, Skipped);

bool HasNul(const std::string &s) {
    return s.find('\0') != std::string::npos;
}

// A key's value as the settings reader gives it; false when absent or
// unreadable.
bool Key(const char *key, std::string &value) {
    const int need = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, nullptr, 0, 0);
    if (need <= 0) return false;
    std::vector<char> buf(static_cast<size_t>(need) + 1, '\0');
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, buf.data(), need + 1, 0) <= 0) return false;
    value = buf.data();
    return true;
}

// A port: decimal 1 to 65535.
bool Port(const std::string &text, long *port) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text.c_str(), &end, 10);
    if (errno || *end || v < 1 || v > 65535) return false;
    *port = v;
    return true;
}

void FtpPortRange() {
    const std::string before = qfuzz::ReadAll(SLIB_QAVOINFO_PATH);
    std::string low, high;
    const bool hasLow = Key("ftplowport", low), hasHigh = Key("ftphighport", high);
    const int r = UpdateFTPPassivePortRange();
    long lo = 0, hi = 0;
    const bool narrow = r == 0 && hasLow && hasHigh && low.size() < 128 && high.size() < 128 &&
                        Port(low, &lo) && Port(high, &hi) && hi >= lo && hi - lo + 1 > 1024;
    if (!narrow) {
        QFUZZ_CHECK(qfuzz::ReadAll(SLIB_QAVOINFO_PATH) == before);
        return;
    }
    std::string lowNow, highNow;
    QFUZZ_CHECK(Key("ftplowport", lowNow) && lowNow == low);
    QFUZZ_CHECK(Key("ftphighport", highNow) && highNow == std::to_string(lo + 1023));
}

bool Matches(const std::string &line, const char *key) {
    return BlSLIBFileMatchLine(line.c_str(), key, 0) != 0;
}

void RsyncdConf() {
    const std::string before = qfuzz::ReadAll(UPDT_RSYNCD_CONF);
    UpdateRsyncdConf();
    const std::string after = qfuzz::ReadAll(UPDT_RSYNCD_CONF);
    if (HasNul(before)) return;
    std::vector<std::string> want = qfuzz::Lines(before);
    bool has = false;
    for (const std::string &l : want)
        has = has || Matches(l, "use chroot = no");
    if (!has) {
        for (size_t i = 0; i < want.size(); ++i) {
            if (Matches(want[i], "lock file =")) {
                want.insert(want.begin() + static_cast<long>(i) + 1, "use chroot = no");
                break;
            }
        }
    }
    if (qfuzz::Lines(after) != want) fprintf(stderr, "rsyncd.conf:\n%s\n", after.c_str());
    QFUZZ_CHECK(qfuzz::Lines(after) == want);
}

// The crontab without its uncommented lines holding either job.
std::vector<std::string> CrontabWithoutJobs(const std::string &text) {
    std::vector<std::string> out;
    for (const std::string &l : qfuzz::Lines(text))
        if (!Matches(l, "vacuumdb") && !Matches(l, "/bin/rm -f /var/log/*.html")) out.push_back(l);
    return out;
}

// No name on two lines of an account file (the fix renames one account of
// a name; a second one is the file's own damage). Names are compared as the
// account operations compare them: case and the characters the collation
// ignores (control characters) make no other name. Past a few hundred lines
// the file is taken as not unique, which only skips the check.
bool UniqueNames(const char *path) {
    std::vector<std::string> names;
    for (const std::string &l : qfuzz::Lines(qfuzz::ReadAll(path)))
        names.push_back(l.substr(0, l.find(':')));
    if (names.size() > 300) return false;
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j) {
            // A name that is no UTF-8 compares equal to none, as in the
            // account operations.
            if (SLIBUnicodeUTF8StrCaseCmp(names[i].c_str(), names[j].c_str()) == 0) return false;
        }
    return true;
}

bool SystemGroup(const char *name) {
    const struct group *g = getgrnam(name);
    return g && g->gr_gid <= 1024;
}

bool SystemUser(const char *name) {
    const struct passwd *p = getpwnam(name);
    return p && p->pw_uid <= 1024;
}

void Migration(uint8_t flags) {
    blRemoveRcAtalk = flags & 0x1;
    blRemovePapdConf = (flags >> 1) & 1;
    blFixFtpAccounts = (flags >> 2) & 1;
    blRemoveProfile = (flags >> 3) & 1;
    blRemoveJumboFrame = (flags >> 4) & 1;
    blFixMTUValue = (flags >> 5) & 1;
    blMigrateWriteable = 0;

    gConfig.Take();
    const bool hadCrontab = access(kCrontab, F_OK) == 0;
    const std::string crontab = qfuzz::ReadAll(kCrontab);
    const std::string info = qfuzz::ReadAll(SLIB_QAVOINFO_PATH);
    std::string mtu;
    const bool hasMtu = Key("MTUValue", mtu);

    const bool unique = UniqueNames(SZF_GROUP) && UniqueNames(SZF_PASSWD);
    const int r = UPDTUpdateConfig();

    QFUZZ_CHECK(r == 0 || r == -1);
    QFUZZ_CHECK((access(kCrontab, F_OK) == 0) == hadCrontab);
    if (!HasNul(crontab))
        QFUZZ_CHECK(qfuzz::Lines(qfuzz::ReadAll(kCrontab)) == CrontabWithoutJobs(crontab));
    const char *to = !blFixMTUValue || !hasMtu ? nullptr
                     : mtu == "4074"           ? "4000"
                     : mtu == "9000"           ? "8000"
                                               : nullptr;
    std::string mtuNow;
    if (to)
        QFUZZ_CHECK(Key("MTUValue", mtuNow) && mtuNow == to);
    else
        QFUZZ_CHECK(qfuzz::ReadAll(SLIB_QAVOINFO_PATH) == info);
    if (r == 0 && blFixFtpAccounts && unique)
        QFUZZ_CHECK(SystemGroup("ftp") && SystemUser("ftp") && SystemUser("anonymous"));

    // The roll-back of a failed update: every file as it was.
    QFUZZ_CHECK(UPDTRestoreConfig() == 0);
    const std::vector<std::string> diff = gConfig.Differences(gConfig.Walk());
    for (const std::string &p : diff)
        fprintf(stderr, "not put back: %s\n", p.c_str());
    QFUZZ_CHECK(diff.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    snprintf(szUpdateDir, sizeof szUpdateDir, "%s", "/tmp/upd");
    snprintf(szVolume, sizeof szVolume, "%s", "/tmp/vol");
    mkdir(szUpdateDir, 0755);
    mkdir(szVolume, 0755);
    mkdir("/usr/qavo/etc/private", 0700);
    mkdir("/usr/qavo/etc/rc.d", 0755);
    qfuzz::Put("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
    qfuzz::Put("/usr/qavo/etc/smb.conf", "[global]\n\tworkgroup = LAB\n\tsecurity = user\n");
    // The files the migration removes.
    for (const char *path : {"/usr/qavo/etc/rc.atalk", "/usr/qavo/etc/papd.conf", "/etc/profile",
                             "/usr/qavo/etc/rc.d/S78JumboFrame.sh", "/usr/qavo/etc/manutil.conf",
                             "/usr/qavo/etc/php.ini"})
        qfuzz::Put(path, "old\n");
    qfuzz::Put(UPDT_RSYNCD_SECRETS, "admin:secret\n");
    // The event log keeps its configuration beside the account files: made
    // by the first event, here, before anything is compared.
    QAVOLogEventWrite(QAVOLOG_CLASS_MAN, 1, UPDT_EVENT_USER_RENAMED, "", "", "", "");
    gState.Take();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto parts = qfuzz::Parts(data, size, 8);
    qfuzz::Put(SLIB_QAVOINFO_PATH, parts[1]);
    qfuzz::Put(kCrontab, parts[2]);
    qfuzz::Put(UPDT_RSYNCD_CONF, parts[3]);
    qfuzz::Put(SZF_PASSWD, parts[4]);
    qfuzz::Put(SZF_GROUP, parts[5]);
    qfuzz::Put(SZF_SHADOW, parts[6]);
    qfuzz::Put(kSmbpasswd, parts[7]);

    FtpPortRange();
    RsyncdConf();
    Migration(parts[0].empty() ? 0 : static_cast<uint8_t>(parts[0][0]));

    const auto now = gState.Walk();
    gState.Restore(now);
    return 0;
}
