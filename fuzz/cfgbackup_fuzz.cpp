// Configuration backup import: a backup file of any bytes walked section by
// section with the import's own reader (the file header, the section
// framing, the scratch copy and every section's item reader and import),
// onto an appliance with users, a group, a share, schedules and every
// gated section supported. The network-service stop and start around a
// real import take a quarter of a second and parse nothing, so they run
// once, at the start, for a file this appliance exported, which must import
// whole. The harness takes the selection and the overwrite flag from the
// file header's content-mask word, which the import itself does not use:
// bits 0-25 select, bits 30-31 give overwrite 0 to 3.
//
// After each input: whatever it changed, the appliance can still be backed
// up and that backup imports whole; account files keep one entry per line
// with its fields and the system's own accounts as they were; the settings
// file keeps one key per line and crontab lines their fields; every share
// lies in a folder of its own right on the volume; and nothing new appears
// outside the folders where settings live. Then every file is put back.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cfgbackup.h"
#include "cfgbackup_util.h"
#include "fuzz_support.h"
#include "qavo_group.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_sys.h"
#include "sdk_userset.h"
#include "slib_keyvalue.h"

namespace {

const char kFile[] = "/tmp/fuzz.cbk";
const char kExported[] = "/tmp/fuzz-exported.cbk";
const char kDefaults[] = "/etc.defaults/qavoinfo.conf";
const char kSmbpasswd[] = "/usr/qavo/etc/private/smbpasswd";
const char kVolume[] = "/volume1/";
const char kHash[] = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60";
const char kLm[] = "01FC5A6BE7BC6929AAD3B435B51404EE";
const char kNt[] = "0CB6948805F797BF2A82807973B89537";

// Lock files stay (the process holds them open), and so do the input and
// the scratch copies; the host's alternatives are bound read-only; the pid
// files belong to the daemon stand-ins, which live on.
bool Skipped(const std::string &path) {
    return path == "/tmp/lock" || path == kFile || path.rfind("/tmp/importprocess", 0) == 0 ||
           path == "/etc/alternatives" || path == "/var/run";
}

qfuzz::Snapshot gState({"/etc", "/usr/qavo", "/var", "/tmp", "/volume1", "/root"}, Skipped);
std::set<std::string> gRoot;  // the entries of "/"

std::vector<std::string> Fields(const std::string &line, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = line.find(sep, start);
        out.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

// One entry per line, with its number of fields, and no name twice.
void CheckAccountFile(const char *path, size_t fields) {
    std::set<std::string> names;
    for (const std::string &line : qfuzz::Lines(qfuzz::ReadAll(path))) {
        if (line.empty() || line[0] == '#') continue;  // the group file's id index
        const std::vector<std::string> f = Fields(line, ':');
        if (f.size() != fields) fprintf(stderr, "%s: [%s]\n", path, line.c_str());
        QFUZZ_CHECK(f.size() == fields);
        QFUZZ_CHECK(!f[0].empty() && names.insert(f[0]).second);
    }
}

// The line of each name in an account file.
std::map<std::string, std::string> AccountLines(const std::string &text) {
    std::map<std::string, std::string> out;
    for (const std::string &line : qfuzz::Lines(text))
        out.emplace(line.substr(0, line.find(':')), line);
    return out;
}

// The system's own accounts (root, nobody and the like: uids below those of
// users) keep their passwd and shadow lines: a backup restores users only.
void CheckSystemAccounts() {
    const auto passwd = AccountLines(gState.Data("/etc/passwd"));
    const auto shadow = AccountLines(gState.Data("/etc/shadow"));
    const auto passwdNow = AccountLines(qfuzz::ReadAll("/etc/passwd"));
    const auto shadowNow = AccountLines(qfuzz::ReadAll("/etc/shadow"));
    for (const auto &[name, line] : passwd) {
        const std::vector<std::string> f = Fields(line, ':');
        if (f.size() != 7 || atol(f[2].c_str()) >= 1024) continue;
        auto p = passwdNow.find(name);
        auto s = shadowNow.find(name);
        auto was = shadow.find(name);
        const bool same =
            p != passwdNow.end() && p->second == line &&
            (was == shadow.end() || (s != shadowNow.end() && s->second == was->second));
        if (!same) fprintf(stderr, "system account changed: [%s]\n", name.c_str());
        QFUZZ_CHECK(same);
    }
}

// key=value lines, each key once.
void CheckKeyFile(const char *path) {
    std::set<std::string> keys;
    for (const std::string &line : qfuzz::Lines(qfuzz::ReadAll(path))) {
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const size_t eq = line.find('=');
        const bool fresh =
            eq != std::string::npos && eq > 0 && keys.insert(line.substr(0, eq)).second;
        if (!fresh) fprintf(stderr, "%s: [%s]\n", path, line.c_str());
        QFUZZ_CHECK(fresh);
    }
}

// Minute, hour, day, month, weekday, user and command.
void CheckCrontab() {
    for (const std::string &line : qfuzz::Lines(qfuzz::ReadAll(QAVO_CRONTAB_PATH))) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = Fields(line, '\t');
        if (f.size() < 7 || f[5] != "root") fprintf(stderr, "crontab: [%s]\n", line.c_str());
        QFUZZ_CHECK(f.size() >= 7 && f[5] == "root");
    }
}

// Every share lies in a folder of its own right on the volume, and every
// new entry of the volume lies in one of those folders.
void CheckShares(const std::vector<std::string> &added) {
    std::set<std::string> folders;
    int needed = 0;
    if (QAVOShareEnum(nullptr, 0, &needed) == 0 && needed > 0) {
        std::vector<char *> buf(static_cast<size_t>(needed) / sizeof(char *) + 1);
        const int n = QAVOShareEnum(buf.data(), needed, &needed);
        for (int i = 0; i < n; ++i) {
            char path[1024] = "";
            QFUZZ_CHECK(QAVOSharePathGet(buf[static_cast<size_t>(i)], path, sizeof path) >= 0);
            const std::string p = path;
            const std::string leaf = p.rfind(kVolume, 0) == 0 ? p.substr(strlen(kVolume)) : "";
            const bool own =
                !leaf.empty() && leaf != "." && leaf != ".." && leaf.find('/') == std::string::npos;
            if (!own) fprintf(stderr, "share path: [%s]\n", path);
            QFUZZ_CHECK(own);
            folders.insert(p);
        }
    }
    for (const std::string &p : added) {
        if (p.rfind(kVolume, 0) != 0) continue;
        const std::string leaf = p.substr(strlen(kVolume));
        const std::string top = kVolume + leaf.substr(0, leaf.find('/'));
        if (!folders.count(top)) fprintf(stderr, "new on the volume: [%s]\n", p.c_str());
        QFUZZ_CHECK(folders.count(top));
    }
}

// Where the import's setters keep their files.
bool Expected(const std::string &p) {
    static const char *const kPlaces[] = {"/etc/", "/usr/qavo/etc/", "/var/", "/tmp/", kVolume};
    for (const char *place : kPlaces)
        if (p.rfind(place, 0) == 0) return true;
    return false;
}

void Check(const qfuzz::Snapshot::Listing &now) {
    const std::vector<std::string> added = gState.Added(now);
    for (const std::string &p : added) {
        if (!Expected(p)) fprintf(stderr, "new file: [%s]\n", p.c_str());
        QFUZZ_CHECK(Expected(p));
    }
    for (const auto &e : std::filesystem::directory_iterator("/"))
        QFUZZ_CHECK(gRoot.count(e.path().string()));
    CheckAccountFile("/etc/passwd", 7);
    CheckAccountFile("/etc/shadow", 9);
    CheckAccountFile("/etc/group", 4);
    CheckAccountFile(kSmbpasswd, 7);
    CheckSystemAccounts();
    CheckKeyFile(SLIB_QAVOINFO_PATH);
    CheckCrontab();
    CheckShares(added);
}

void Sh(const char *cmd) {
    if (system(cmd) != 0) {
        fprintf(stderr, "fuzz set-up: %s failed\n", cmd);
        abort();
    }
}

void SetKey(const char *path, const char *key, const char *value) {
    QFUZZ_CHECK(SLIBFileSetOrAddKeyValue(path, key, value, SLIB_KEYVALUE_FMT_QUOTED) >= 0);
}

void AddUser(const char *name) {
    QAVOUSERSET u{1,
                  nullptr,
                  const_cast<char *>(name),
                  const_cast<char *>(kHash),
                  const_cast<char *>("someone"),
                  0,
                  const_cast<char *>("")};
    QFUZZ_CHECK(QAVOUserSet(1, &u, 1) == 1);
}

// An appliance with something in every section.
void SetUp() {
    mkdir("/volume1", 0755);
    QFUZZ_CHECK(mount("tmpfs", "/volume1", "tmpfs", 0, "size=16m") == 0);
    if (access("/sys/class/net", F_OK) != 0) {
        mkdir("/sys", 0755);
        QFUZZ_CHECK(mount("sysfs", "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) ==
                    0);
    }
    // A bridge without ports has no known speed: an MTU change is refused at
    // once instead of waiting five seconds for a gigabit link to settle.
    Sh("ip link add eth0 type bridge && ip link set eth0 up");
    mkdir("/usr/qavo/etc/private", 0700);
    mkdir("/etc/ppp", 0755);
    qfuzz::Put("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
    qfuzz::Put("/etc/sysconfig/clock", "UTC=false\n");
    // A fixed address: no wait for a DHCP client's answer.
    qfuzz::Put("/etc/sysconfig/network-scripts/ifcfg-eth0",
               "IPADDR=192.0.2.10\nNETMASK=255.255.255.0\nBOOTPROTO=static\nONBOOT=yes\n");
    qfuzz::Put("/etc/ppp/pap-secrets", "");
    qfuzz::Put("/etc/ppp/pppoe.conf", "USER=''\n");
    qfuzz::Put("/usr/qavo/etc/smb.conf", "[global]\n\tworkgroup = LAB\n\tsecurity = user\n");
    qfuzz::Put("/usr/qavo/etc/afpd.conf",
               "nas:AFPServer@Lab -tcp -noddp -uamlist uams_guest.so -nouservol\n");
    qfuzz::Put(kSmbpasswd, std::string("admin:1024:") + kLm + ":" + kNt +
                               ":[U          ]:LCT-4A5B6C7D:\nguest:1025:" + kLm + ":" + kNt +
                               ":[U          ]:LCT-4A5B6C7D:\n");
    for (const char *key : {"supportphoto", "supportweb", "supportmysql", "supportdcacheui",
                            "usbcopy", "supportrcpower", "supportMTU"})
        SetKey(kDefaults, key, "yes");
    // Small limits, so that a file reaches them.
    SetKey(kDefaults, "maxaccounts", "6");
    SetKey(kDefaults, "maxgroups", "8");
    SetKey(kDefaults, "maxshares", "4");
    SetKey(SLIB_QAVOINFO_PATH, "timezone", "Amsterdam");
    SetKey(SLIB_QAVOINFO_PATH, "codepage", "437");
    SetKey(SLIB_QAVOINFO_PATH, "addport", "yes");
    SetKey(SLIB_QAVOINFO_PATH, "httpport", "8080");
    SetKey(SLIB_QAVOINFO_PATH, "eventsmtp", "smtp.example.org");
    SetKey(SLIB_QAVOINFO_PATH, "eventmail1", "a@example.org");
    SetKey(SLIB_QAVOINFO_PATH, "enableRCPower", "no");
    SetKey(SLIB_QAVOINFO_PATH, "runweb", "yes");

    AddUser("bob");
    AddUser("carol");
    const char *staff[] = {"staff", "bob", "carol", nullptr};
    QFUZZ_CHECK(QAVOGroupSet(QAVO_GROUP_FLAG_LOCAL, 1, nullptr, staff) == 1);
    QFUZZ_CHECK(QAVOGroupSetDesc("staff", "the staff") == 0);
    QAVOSHARE docs{};
    docs.szName = const_cast<char *>("docs");
    docs.szPath = const_cast<char *>("/volume1/docs");
    docs.szComment = const_cast<char *>("papers");
    docs.szRW = const_cast<char *>("bob");
    docs.szRO = const_cast<char *>("@staff");
    docs.szDeny = const_cast<char *>("");
    docs.fType = QAVOSHARE_ACCESS_RO;
    docs.fBrowseable = 1;
    QFUZZ_CHECK(QAVOShareSet(1, nullptr, &docs) == 1);
    SetKey(SLIB_QAVOINFO_PATH, "usbbkpshares", "docs");
    QAVOSCHEDULE s{};
    s.ulWeekdayMask = 0x7F;
    s.nHour = 2;
    s.nLastHour = 2;
    s.nMinute = 30;
    strcpy(s.szCommand, "/usr/qavo/bin/qavousbbkp");
    QFUZZ_CHECK(QAVOScheduleSet(&s) == 0);
}

// The import's section walk on a file, with a scratch copy as the import
// makes it; the bits of the sections restored, 0 for a damaged file.
uint32_t Import(const char *path, uint32_t mask, int overwrite) {
    const int in = open(path, O_RDONLY | O_CLOEXEC);
    QFUZZ_CHECK(in >= 0);
    char scratchPath[] = "/tmp/importprocessXXXXXX";
    const int scratch = mkostemp(scratchPath, O_CLOEXEC);
    QFUZZ_CHECK(scratch >= 0);
    unlink(scratchPath);
    uint32_t result = QAVOSYSBKP_ID_ALL;
    const bool whole = cfgbkp::ImportSections(in, scratch, mask, overwrite, &result);
    close(scratch);
    close(in);
    return whole ? result : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    SetUp();
    // A backup of this appliance, every section, imports whole through the
    // real driver, with and without overwrite.
    QFUZZ_CHECK(QAVOSysbkpExport(kExported, QAVOSYSBKP_ID_ALL) == 0);
    QFUZZ_CHECK(QAVOSysbkpImport(kExported, 0xffffffffu, 0) == 0);
    QFUZZ_CHECK(QAVOSysbkpImport(kExported, 0xffffffffu, 1) == 0);
    gState.Take();
    for (const auto &e : std::filesystem::directory_iterator("/"))
        gRoot.insert(e.path().string());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    qfuzz::Put(kFile, std::string_view(reinterpret_cast<const char *>(data), size));
    uint32_t word = 0;
    for (size_t i = 8; i < 12 && i < size; ++i)
        word |= static_cast<uint32_t>(data[i]) << (8 * (11 - i));
    Import(kFile, word & 0x3ffffffu, static_cast<int>(word >> 30));
    cfgbkp::ReleaseCreatedUsers();

    auto now = gState.Walk();
    if (gState.Changed(now)) {
        // Whatever the file changed, this appliance can still back it up,
        // and that backup imports whole.
        QFUZZ_CHECK(QAVOSysbkpExport(kExported, 0xffffffffu) == 0);
        QFUZZ_CHECK(Import(kExported, 0xffffffffu, 0) == QAVOSYSBKP_ID_ALL);
        cfgbkp::ReleaseCreatedUsers();
        now = gState.Walk();
    }
    Check(now);
    gState.Restore(now);
    return 0;
}
