#include "updt_fixup.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash_io.h"
#include "qavo_mtd.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_proc.h"
#include "updt_analyze.h"
#include "updt_patchinfo.h"

using qflash::Fd;
using qflash::PutLE32;
using qflash::ReadFull;
using qflash::WriteFull;

namespace {

struct FixedEntry {
    const char *name;
    uint32_t base, size, datalen;
};

// The directory the model shipped with; flash_base and mem_base are equal,
// entry points and checksums 0.
constexpr FixedEntry kFixedDir[UPDT_FIXED_FIS_ENTRIES] = {
    {"RedBoot", 0xFFF00000, 0x40000, 0x3A448},        {"zImage", 0xFFE00000, 0xD0000, 0xC5EDA},
    {"rd.gz", 0xFFF40000, 0xB0000, 0xAEE2C},          {"vendor", 0xFFED0000, 0x10000, 0x10000},
    {"RedBoot Config", 0xFFEE0000, 0x10000, 0x10000}, {"FIS Directory", 0xFFFF0000, 0x10000, 0x600},
};

std::array<uint8_t, UPDT_FIXED_FIS_SIZE> FixedDirBytes() {
    std::array<uint8_t, UPDT_FIXED_FIS_SIZE> b{};
    for (int i = 0; i < UPDT_FIXED_FIS_ENTRIES; ++i) {
        uint8_t *e = b.data() + i * QAVO_FIS_ENTRY_SIZE;
        memcpy(e, kFixedDir[i].name, strlen(kFixedDir[i].name));
        PutLE32(e + 16, kFixedDir[i].base);
        PutLE32(e + 20, kFixedDir[i].base);
        PutLE32(e + 24, kFixedDir[i].size);
        PutLE32(e + 32, kFixedDir[i].datalen);
    }
    return b;
}

// Reads the first len bytes of the device; false (0x0900 or 0x0A00) otherwise.
bool ReadDevice(const char *dev, uint8_t *buf, size_t len) {
    Fd fd(open(dev, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        SLIBLog(LOG_ERR, "%s:%d(%s) open(%s) fail", __FILE__, __LINE__, __func__, dev);
        SLIBErrSet(ERR_OPEN_FAILED);
        return false;
    }
    if (ReadFull(fd.fd, buf, len) != static_cast<ssize_t>(len)) {
        SLIBLog(LOG_ERR, "%s:%d(%s) read(%s) fail", __FILE__, __LINE__, __func__, dev);
        SLIBErrSet(ERR_READ_FAILED);
        return false;
    }
    return true;
}

// Erases the device, writes data at its start and reads it back.
bool EraseWriteVerify(const char *dev, const uint8_t *data, size_t len) {
    if (QAVOMTDErasePartition(dev) != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDErasePartition(%s) fail", __FILE__, __LINE__, __func__,
                dev);
        SLIBErrSet(ERR_WRITE_FAILED);
        return false;
    }
    {
        Fd fd(open(dev, O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) {
            SLIBLog(LOG_ERR, "%s:%d(%s) open(%s) fail", __FILE__, __LINE__, __func__, dev);
            SLIBErrSet(ERR_OPEN_FAILED);
            return false;
        }
        if (!WriteFull(fd.fd, data, len)) {
            SLIBLog(LOG_ERR, "%s:%d(%s) write(%s) fail", __FILE__, __LINE__, __func__, dev);
            SLIBErrSet(ERR_WRITE_FAILED);
            return false;
        }
    }
    std::vector<uint8_t> back(len);
    if (!ReadDevice(dev, back.data(), len)) return false;
    if (memcmp(back.data(), data, len) != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) verify(%s) fail", __FILE__, __LINE__, __func__, dev);
        SLIBErrSet(ERR_WRITE_FAILED);
        return false;
    }
    return true;
}

int Recover(const char *dev) {
    mtd_info_user info;
    if (QAVOMTDGetDeviceInfo(dev, &info, sizeof info) != 0 || info.size < UPDT_FIXED_FIS_SIZE) {
        SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDGetDeviceInfo(%s) fail", __FILE__, __LINE__, __func__,
                dev);
        SLIBErrSet(ERR_OPEN_FAILED);
        return -1;
    }
    // What the partition holds now, so that a failed rewrite can put it back.
    std::vector<uint8_t> saved(info.size);
    if (!ReadDevice(dev, saved.data(), saved.size())) return -1;
    if (QAVOMTDUnlockPartition(dev) != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDUnlockPartition(%s) fail", __FILE__, __LINE__, __func__,
                dev);
        return -1;
    }
    const auto table = FixedDirBytes();
    for (int attempt = 1; attempt <= UPDT_FIS_RECOVER_TRIES; ++attempt) {
        if (EraseWriteVerify(dev, table.data(), table.size())) return 0;
        SLIBLog(LOG_ERR, "%s:%d(%s) attempt %d to write the directory into %s failed", __FILE__,
                __LINE__, __func__, attempt, dev);
    }
    const SLIBERRCODE code = SLIBErrGet();
    // Erased flash reads 0xFF: the saved bytes need writing only up to their
    // last programmed byte.
    size_t used = saved.size();
    while (used > 0 && saved[used - 1] == 0xFF)
        --used;
    bool restored = false;
    for (int attempt = 1; attempt <= UPDT_FIS_RECOVER_TRIES && !restored; ++attempt)
        restored =
            used == 0 ? QAVOMTDErasePartition(dev) == 0 : EraseWriteVerify(dev, saved.data(), used);
    SLIBLog(LOG_ERR, "%s:%d(%s) the previous directory of %s was %s", __FILE__, __LINE__, __func__,
            dev, restored ? "written back" : "NOT written back");
    SLIBErrSet(code);
    return -1;
}

// A port number of a key: 1 to 65535 in decimal, nothing else.
bool ParsePort(const char *text, long *port) {
    if (!*text) return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || *end || v < 1 || v > 65535) return false;
    *port = v;
    return true;
}

// Reads one key of "/etc/qavoinfo.conf": 1 present, 0 absent, -1 error.
int ReadKey(const char *key, char *buf, int size) {
    memset(buf, 0, static_cast<size_t>(size));
    int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, buf, size, 0);
    if (r > 0) return 1;
    if (r == 0 && SLIBErrGet() == ERR_NOT_FOUND) return 0;
    return -1;
}

constexpr const char kPsql[] = "su -l admin -c \"/usr/qavo/pgsql/bin/psql photo -c '";
constexpr const char *kPhotoFix1[] = {
    "ALTER TABLE photo_image ALTER timetaken TYPE varchar(64)",
    "ALTER TABLE photo_user ADD COLUMN admin bool DEFAULT false",
};
constexpr const char *kPhotoFix2[] = {
    "CREATE TABLE video_comment(id serial NOT NULL,path text NOT NULL,name varchar(100),"
    "email varchar(128),\"comment\" text,date timestamp,updated char(1),"
    "CONSTRAINT video_comment_pkey PRIMARY KEY (id)) WITH OIDS;"
    "ALTER TABLE video_comment OWNER TO admin;",
    "CREATE TABLE video_desc(id serial NOT NULL,path text NOT NULL, title text, "
    "description text,updated char(1),CONSTRAINT video_pkey PRIMARY KEY (id),"
    "CONSTRAINT video_path_key UNIQUE (path)) WITH OIDS;ALTER TABLE video_desc OWNER TO admin;",
};

void RunPsql(const char *sql) {
    char cmd[512];
    snprintf(cmd, sizeof cmd, "%s%s'\"", kPsql, sql);
    SLIBSysSystem(cmd);
}

}  // namespace

extern "C" int RecoverFISDirTable_M4T7Plus_V284(void) {
    const char *dev = gszDevMtdPartition;
    int r = Recover(dev);
    QAVOMTDLockPartition(dev);
    return r;
}

extern "C" int UpdateFTPPassivePortRange(void) {
    char low[128], high[128];
    int hasLow = ReadKey(UPDT_FTP_LOW_PORT_KEY, low, sizeof low);
    if (hasLow < 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) SLIBFileGetKeyValue(SZF_QAVO_INFO, SZK_FTP_LOW_PORT) fail",
                __FILE__, __LINE__, __func__);
        return -1;
    }
    int hasHigh = ReadKey(UPDT_FTP_HIGH_PORT_KEY, high, sizeof high);
    if (hasHigh < 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) SLIBFileGetKeyValue(SZF_QAVO_INFO, SZK_FTP_HIGH_PORT) fail",
                __FILE__, __LINE__, __func__);
        return -1;
    }
    // A missing or unreadable bound leaves the server's own default range.
    long lo = 0, hi = 0;
    if (!hasLow || !hasHigh || !ParsePort(low, &lo) || !ParsePort(high, &hi) || hi < lo) return 0;
    if (hi - lo + 1 <= UPDT_FTP_MAX_PORTS) return 0;
    char buf[24];
    snprintf(buf, sizeof buf, "%ld", lo + UPDT_FTP_MAX_PORTS - 1);
    if (QAVOINFOSetKeyValue(UPDT_FTP_HIGH_PORT_KEY, buf) < 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) QAVOINFOSetKeyValue(SZK_FTP_HIGH_PORT, szBuf=[%s]) fail",
                __FILE__, __LINE__, __func__, buf);
        return -1;
    }
    return 0;
}

extern "C" void UpdateRsyncdConf(void) {
    constexpr const char kChroot[] = "use chroot = no";
    constexpr const char kLockFile[] = "lock file =";
    char line[64];
    int r = SLIBFileGetLine(UPDT_RSYNCD_CONF, kChroot, line, sizeof line, 0);
    bool done = r > 0;
    if (r == 0) {
        done = SLIBFileAddLine(UPDT_RSYNCD_CONF, kLockFile, kChroot, SLIB_LINE_INSERT_AFTER) >= 0;
        if (!done)
            SLIBLog(LOG_ERR, "%s:%d(%s) SLIBFileAddLine(%s, %s, %s) fail", __FILE__, __LINE__,
                    __func__, UPDT_RSYNCD_CONF, kLockFile, kChroot);
    }
    if (done) chmod(UPDT_RSYNCD_CONF, 0644);
    chmod(UPDT_RSYNCD_SECRETS, 0640);
    if (chown(UPDT_RSYNCD_SECRETS, 0, 25) != 0) {
        // Nothing to repair when the secrets file does not exist.
    }
}

extern "C" int UpdatePhotoDatabase(void) {
    if (nPhotoDBFix & 0x1) {
        for (const char *sql : kPhotoFix1)
            RunPsql(sql);
    }
    if (nPhotoDBFix & 0x2) {
        SLIBLog(LOG_ERR, "Update photo db to add video tables");
        for (const char *sql : kPhotoFix2)
            RunPsql(sql);
    }
    if (blDropMediaServerDB)
        SLIBSysSystem("su -l admin -c \"/usr/qavo/pgsql/bin/dropdb mediaserver\"");
    SLIBSysSystem("/usr/qavo/bin/qavoindex -R all");
    return 0;
}
