// The configuration backup file: the section table, the item reader and
// writer, and the export and import drivers. The section files
// (cfgbackup_*.cpp) are parts of this module: the table names each
// section's export and import, and each section writes its header, whose
// version the table holds, through the writer here.
#include "cfgbackup.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cfgbackup_util.h"
#include "qavo_netservice.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_rewrite.h"
#include "slib_util.h"

using cfgbkp::kSource;

namespace {

constexpr uint32_t kEventImported = 0x12100042;
constexpr uint32_t kEventImportedOverwrite = 0x12100043;
constexpr size_t kChunk = 1024;

// Reads exactly n bytes: n, 0 at end of file before any byte, -1 for an
// error or a short read.
ssize_t ReadFull(int fd, void *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, static_cast<char *>(buf) + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    if (got == 0) return 0;
    return got == n ? static_cast<ssize_t>(n) : -1;
}

bool WriteFull(int fd, const void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, static_cast<const char *>(buf) + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// Bytes between the file offset and the end of the file, or -1.
int64_t BytesLeft(int fd) {
    struct stat st;
    const off_t here = lseek(fd, 0, SEEK_CUR);
    if (here < 0 || fstat(fd, &st) != 0) return -1;
    return st.st_size > here ? st.st_size - here : 0;
}

bool ReadWords(int fd, uint32_t *w, int n) {
    return QAVOSysbkpRawIntRead(fd, w, n * 4) == n * 4;
}

// The type and length words of an item.
bool ReadItemHead(int fd, const char *fn, long *type, long *len) {
    uint32_t w[2];
    if (!ReadWords(fd, w, 2)) {
        SLIBLog(LOG_ERR, "%s(%d): read fail, errno = %d", fn, __LINE__, errno);
        return false;
    }
    *type = static_cast<int32_t>(w[0]);
    *len = static_cast<int32_t>(w[1]);
    return true;
}

}  // namespace

namespace cfgbkp {

void Event(uint32_t id, const char *arg1) {
    QAVOLogEventWrite(QAVOLOG_CLASS_SYS, 3, id, arg1, "", "", "");
}

Section::Section(int fd, uint32_t id) : fd_(fd) {
    if (QAVOSysbkpIWriteHeader(fd, id) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to write header", __func__, __LINE__);
        return;
    }
    start_ = lseek(fd, 0, SEEK_CUR);
    if (start_ < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get current location, errno =%d", __func__, __LINE__,
                errno);
        return;
    }
    ok_ = true;
}

bool Section::Finish() {
    if (!ok_) return false;
    const off_t end = lseek(fd_, 0, SEEK_CUR);
    if (end < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get current location, errno =%d", __func__, __LINE__,
                errno);
        return false;
    }
    if (QAVOSysbkpIWriteBlkSize(fd_, start_, end) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to write block size", __func__, __LINE__);
        return false;
    }
    return true;
}

bool Supported(const char *key) {
    return slib::DefaultIsYes(key, 32, true);
}

bool InfoKey(const char *key, std::string &out, size_t max) {
    out.clear();
    std::vector<char> buf(max + 1, '\0');
    const int r =
        SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, key, buf.data(), static_cast<int>(buf.size()), 0);
    if (r < 0) return false;
    if (r > 0) out = buf.data();
    return true;
}

}  // namespace cfgbkp

// Rows in file order. A row without operations names a section this system
// neither writes nor restores: selected in a file, it fails the import.
extern "C" const QAVOSYSBKPSECTION QAVOSysbkpSections[] = {
    {QAVOSysbkpTimeExport, QAVOSysbkpTimeImport, "time_desc", QAVOSYSBKP_ID_TIME, 1},
    {QAVOSysbkpHostnameExport, QAVOSysbkpHostnameImport, "hostname_desc", QAVOSYSBKP_ID_HOSTNAME,
     1},
    {QAVOSysbkpLangExport, QAVOSysbkpLangImport, "language_desc", QAVOSYSBKP_ID_LANG, 1},
    {QAVOSysbkpMailExport, QAVOSysbkpMailImport, "mail_desc", QAVOSYSBKP_ID_MAIL, 1},
    {QAVOSysbkpAppleExport, QAVOSysbkpAppleImport, "apple_desc", QAVOSYSBKP_ID_APPLE, 1},
    {QAVOSysbkpWindowsExport, QAVOSysbkpWindowsImport, "windows_desc", QAVOSYSBKP_ID_WINDOWS, 1},
    {QAVOSysbkpUserExport, QAVOSysbkpUserImport, "user_desc", QAVOSYSBKP_ID_USER, 1},
    {QAVOSysbkpGroupExport, QAVOSysbkpGroupImport, "group_desc", QAVOSYSBKP_ID_GROUP, 1},
    {QAVOSysbkpShareExport, QAVOSysbkpShareImport, "share_desc", QAVOSYSBKP_ID_SHARE, 1},
    {QAVOSysbkpHDSleepTimeExport, QAVOSysbkpHDSleepTimeImport, "hddsleep_desc",
     QAVOSYSBKP_ID_HDSLEEP, 1},
    {QAVOSysbkpRunFtpdExport, QAVOSysbkpRunFtpdImport, "runftpd_desc", QAVOSYSBKP_ID_RUNFTPD, 1},
    {QAVOSysbkpUSBBkpScheduleExport, QAVOSysbkpUSBBkpScheduleImport, "usb_bkp_schedule_desc",
     QAVOSYSBKP_ID_USBBKP_SCHEDULE, 1},
    {QAVOSysbkpPPPoEExport, QAVOSysbkpPPPoEImport, "pppoe_desc", QAVOSYSBKP_ID_PPPOE, 1},
    {QAVOSysbkpUSBBkpShareListExport, QAVOSysbkpUSBBkpShareListImport, "usb_bkp_sharelist_desc",
     QAVOSYSBKP_ID_USBBKP_SHARELIST, 1},
    {QAVOSysbkpPhotoExport, QAVOSysbkpPhotoImport, "runphoto_desc", QAVOSYSBKP_ID_PHOTO, 1},
    {QAVOSysbkpHttpPortExport, QAVOSysbkpHttpPortImport, "httpport_desc", QAVOSYSBKP_ID_HTTPPORT,
     1},
    {QAVOSysbkpMTUExport, QAVOSysbkpMTUImport, "MTU_desc", QAVOSYSBKP_ID_MTU, 1},
    {QAVOSysbkpRCPowerExport, QAVOSysbkpRCPowerImport, "rcpower_desc", QAVOSYSBKP_ID_RCPOWER, 1},
    {QAVOSysbkpUSBCopySetExport, QAVOSysbkpUSBCopySetImport, "usbcopyset_desc",
     QAVOSYSBKP_ID_USBCOPYSET, 1},
    {QAVOSysbkpWebExport, QAVOSysbkpWebImport, "runweb_desc", QAVOSYSBKP_ID_WEB, 1},
    {QAVOSysbkpDCacheExport, QAVOSysbkpDCacheImport, "dcache_desc", QAVOSYSBKP_ID_DCACHE, 1},
    {QAVOSysbkpFetchmoraExport, QAVOSysbkpFetchmoraImport, "fetchmora_desc",
     QAVOSYSBKP_ID_FETCHMORA, 1},
    {QAVOSysbkpMySQLExport, QAVOSysbkpMySQLImport, "runmysql_desc", QAVOSYSBKP_ID_MYSQL, 1},
    {QAVOSysbkpUserQuotaExport, QAVOSysbkpUserQuotaImport, "user_quota_desc",
     QAVOSYSBKP_ID_USER_QUOTA, 1},
    {QAVOSysbkpCleanupExport, QAVOSysbkpCleanupImport, "", QAVOSYSBKP_ID_CLEANUP, 1},
    {nullptr, nullptr, nullptr, 0, 0},
};

extern "C" int QAVOSysbkpRawIntRead(int fd, void *buf, int count) {
    if (fd < 0 || buf == nullptr || count <= 0 || count % 4 != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) parameter error", kSource, __LINE__, __func__);
        if (count > 0 && count % 4 != 0)
            SLIBLog(LOG_ERR, "%s:%d(%s) bytes error:[%d]", kSource, __LINE__, __func__, count);
        return -1;
    }
    std::vector<unsigned char> work(static_cast<size_t>(count));
    const ssize_t r = ReadFull(fd, work.data(), work.size());
    if (r == 0) return 0;
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) read(%d/%d):[%d(%m)]", kSource, __LINE__, __func__, -1, count,
                errno);
        return -1;
    }
    auto *out = static_cast<unsigned char *>(buf);
    for (int i = 0; i < count; i += 4) {
        uint32_t w;
        memcpy(&w, &work[static_cast<size_t>(i)], 4);
        w = ntohl(w);
        memcpy(out + i, &w, 4);
    }
    return count;
}

extern "C" int QAVOSysbkpRawIntWrite(int fd, const void *buf, int count) {
    if (fd < 0 || buf == nullptr || count <= 0 || count % 4 != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) parameter error", kSource, __LINE__, __func__);
        return -1;
    }
    std::vector<unsigned char> work(static_cast<size_t>(count));
    const auto *in = static_cast<const unsigned char *>(buf);
    for (int i = 0; i < count; i += 4) {
        uint32_t w;
        memcpy(&w, in + i, 4);
        w = htonl(w);
        memcpy(&work[static_cast<size_t>(i)], &w, 4);
    }
    if (!WriteFull(fd, work.data(), work.size())) {
        SLIBLog(LOG_ERR, "%s:%d(%s) write:[%d(%m)]", kSource, __LINE__, __func__, errno);
        return -1;
    }
    return count;
}

extern "C" int QAVOSysbkpIGetIdx(uint32_t id) {
    for (int i = 0; QAVOSysbkpSections[i].ulId != 0; ++i)
        if (QAVOSysbkpSections[i].ulId == id) return i;
    SLIBLog(LOG_ERR, "%s: unknown id [%ld]", __func__, static_cast<long>(id));
    return -1;
}

extern "C" int QAVOSysbkpIWriteHeader(int fd, uint32_t id) {
    if (fd < 0) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    if (QAVOSysbkpRawIntWrite(fd, &id, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write id fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    const int idx = QAVOSysbkpIGetIdx(id);
    if (idx < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get id", __func__, __LINE__);
        return -1;
    }
    const uint32_t ver = QAVOSysbkpSections[idx].ulVersion;
    if (QAVOSysbkpRawIntWrite(fd, &ver, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write ver fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    const uint32_t zero = 0;
    if (QAVOSysbkpRawIntWrite(fd, &zero, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write fake size fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    return 0;
}

extern "C" int QAVOSysbkpIWriteBlkSize(int fd, int64_t start, int64_t end) {
    if (fd < 0 || start < 4 || end < start || end - start > UINT32_MAX) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    if (lseek(fd, static_cast<off_t>(start - 4), SEEK_SET) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to seek to offBegin - sizeof(long), errno =%d", __func__,
                __LINE__, errno);
        return -1;
    }
    const uint32_t size = static_cast<uint32_t>(end - start);
    if (QAVOSysbkpRawIntWrite(fd, &size, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write len fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    if (lseek(fd, static_cast<off_t>(end), SEEK_SET) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to seek to offEnd, errno =%d", __func__, __LINE__, errno);
        return -1;
    }
    return 0;
}

extern "C" int QAVOSysbkpIWriteString(int fd, const char *s) {
    if (fd < 0 || s == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    const size_t len = strlen(s) + 1;
    if (len > INT32_MAX) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    const uint32_t type = QAVOSYSBKP_ITEM_STRING, wlen = static_cast<uint32_t>(len);
    if (QAVOSysbkpRawIntWrite(fd, &type, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write type fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    if (QAVOSysbkpRawIntWrite(fd, &wlen, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write len fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    if (!WriteFull(fd, s, len)) {
        SLIBLog(LOG_ERR, "%s(%d): write string fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    return 0;
}

extern "C" int QAVOSysbkpIWriteLong(int fd, long value) {
    if (fd < 0 || value < INT32_MIN || value > INT32_MAX) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    const uint32_t w[3] = {QAVOSYSBKP_ITEM_LONG, 4,
                           static_cast<uint32_t>(static_cast<int32_t>(value))};
    return QAVOSysbkpRawIntWrite(fd, w, sizeof(w)) == sizeof(w) ? 0 : -1;
}

extern "C" int QAVOSysbkpIReadString(int fd, char **out) {
    if (fd < 0 || out == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    *out = nullptr;
    long type, len;
    if (!ReadItemHead(fd, __func__, &type, &len)) return -1;
    // A length must cover at least the zero and stay within the file, so a
    // damaged word can neither allocate without bound nor reach the bytes
    // of another section.
    const int64_t left = BytesLeft(fd);
    if (type != QAVOSYSBKP_ITEM_STRING || len < 1 || left < 0 || len > left) {
        SLIBLog(LOG_ERR, "%s(%d): invalid type(%ld, %ld)", __func__, __LINE__, type, len);
        return -1;
    }
    char *s = static_cast<char *>(malloc(static_cast<size_t>(len)));
    if (s == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): read fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    if (ReadFull(fd, s, static_cast<size_t>(len)) != len || s[len - 1] != '\0') {
        SLIBLog(LOG_ERR, "%s(%d): read fail, errno = %d", __func__, __LINE__, errno);
        free(s);
        return -1;
    }
    *out = s;
    return 0;
}

extern "C" int QAVOSysbkpIReadLong(int fd, long *out) {
    if (fd < 0 || out == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    uint32_t w[3];
    if (!ReadWords(fd, w, 3)) {
        SLIBLog(LOG_ERR, "%s(%d): read fail, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    const long type = static_cast<int32_t>(w[0]), len = static_cast<int32_t>(w[1]);
    if (type != QAVOSYSBKP_ITEM_LONG || len != 4) {
        SLIBLog(LOG_ERR, "%s(%d): invalid type(%ld, %ld)", __func__, __LINE__, type, len);
        return -1;
    }
    *out = static_cast<int32_t>(w[2]);
    return 0;
}

namespace {

// Writes the file header and the sections of mask to fd.
bool ExportTo(int fd, uint32_t mask) {
    if (!WriteFull(fd, QAVOSYSBKP_MAGIC, 4)) {
        SLIBLog(LOG_ERR, "%s(%d): write magic fail, errno = %d", __func__, __LINE__, errno);
        return false;
    }
    const uint32_t category = QAVOSYSBKP_CATEGORY;
    if (QAVOSysbkpRawIntWrite(fd, &category, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write category fail, errno = %d", __func__, __LINE__, errno);
        return false;
    }
    if (QAVOSysbkpRawIntWrite(fd, &mask, 4) != 4) {
        SLIBLog(LOG_ERR, "%s(%d): write content type fail, errno = %d", __func__, __LINE__, errno);
        return false;
    }
    for (const QAVOSYSBKPSECTION *row = QAVOSysbkpSections; row->ulId != 0; ++row) {
        if (mask != QAVOSYSBKP_ID_ALL && (mask & row->ulId) == 0) continue;
        if (row->pfnExport == nullptr) continue;  // not carried by this system
        if (row->pfnExport(fd) != 0) {
            SLIBLog(LOG_ERR, "%s:Fail to export %s\n", __func__, row->szDesc);
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int QAVOSysbkpExport(const char *path, uint32_t mask) {
    if (path == nullptr || *path == '\0') {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    // The sections go to a copy beside the target, "<path>.tmp", renamed
    // over it only when complete: a failure leaves an earlier backup as it
    // was. The copy is always a new file of its own, readable by root alone
    // (it holds the password hashes): a link planted at its name is
    // removed, never written through.
    struct stat own {};
    own.st_mode = S_IFREG | 0600;
    own.st_uid = geteuid();
    own.st_gid = getegid();
    slib::RewriteSet rw;
    FILE *copy = rw.Open(path, own);
    if (copy == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): fail to open %s.tmp(%d)", __func__, __LINE__, path, errno);
        return -1;
    }
    // The sections are written through the descriptor; the stream itself
    // holds nothing.
    if (!ExportTo(fileno(copy), mask)) return -1;
    if (!rw.Commit()) {
        SLIBLog(LOG_ERR, "%s(%d): fail to rename %s.tmp(%d)", __func__, __LINE__, path,
                rw.RenameError());
        return -1;
    }
    return 0;
}

namespace {

// Copies size bytes of the backup into the scratch file, which then holds
// exactly that body, and rewinds it.
bool CopyBody(int in, int scratch, uint32_t size) {
    if (lseek(scratch, 0, SEEK_SET) != 0 || ftruncate(scratch, 0) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): seek fdHandle to begining error.", __func__, __LINE__);
        return false;
    }
    char buf[kChunk];
    uint32_t left = size;
    while (left > 0) {
        const size_t n = left > kChunk ? kChunk : left;
        if (ReadFull(in, buf, n) != static_cast<ssize_t>(n)) {
            SLIBLog(LOG_ERR, "%s(%d): read fdin failed %d", __func__, __LINE__,
                    left > kChunk ? 1 : 2);
            return false;
        }
        if (!WriteFull(scratch, buf, n)) {
            SLIBLog(LOG_ERR, "%s(%d): write fdHandle failed %d", __func__, __LINE__,
                    left > kChunk ? 1 : 2);
            return false;
        }
        left -= static_cast<uint32_t>(n);
    }
    if (lseek(scratch, 0, SEEK_SET) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): seek fdHandle to begining error.", __func__, __LINE__);
        return false;
    }
    return true;
}

}  // namespace

namespace cfgbkp {

bool ImportSections(int in, int scratch, uint32_t mask, int overwrite, uint32_t *result) {
    char magic[4];
    const ssize_t r = ReadFull(in, magic, 4);
    if (r != 4) {
        SLIBLog(LOG_ERR, "%s(%d): fail to read magic %d", __func__, __LINE__, static_cast<int>(r));
        return false;
    }
    if (memcmp(magic, QAVOSYSBKP_MAGIC, 4) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): wrong magic [%.4s]", __func__, __LINE__, magic);
        return false;
    }
    uint32_t w[3];
    if (!ReadWords(in, w, 1)) {
        SLIBLog(LOG_ERR, "%s(%d): fail to read category %d", __func__, __LINE__, errno);
        return false;
    }
    if (w[0] != QAVOSYSBKP_CATEGORY) {
        SLIBLog(LOG_ERR, "%s(%d): wrong category [%ld]", __func__, __LINE__,
                static_cast<long>(w[0]));
        return false;
    }
    if (!ReadWords(in, w, 1)) {
        SLIBLog(LOG_ERR, "%s(%d): fail to read option %d", __func__, __LINE__, errno);
        return false;
    }
    for (;;) {
        // Only end of file at a section boundary ends the file; a cut or
        // unreadable header is a damaged file.
        const int got = QAVOSysbkpRawIntRead(in, w, 12);
        if (got == 0) return true;
        if (got != 12) {
            SLIBLog(LOG_ERR, "%s(%d): fail to read section header", __func__, __LINE__);
            return false;
        }
        const uint32_t id = w[0], version = w[1], size = w[2];
        const int idx = QAVOSysbkpIGetIdx(id);
        if (idx < 0) {
            SLIBLog(LOG_ERR, "%s(%d): unknown command [%ld]", __func__, __LINE__,
                    static_cast<long>(id));
            return false;
        }
        const int64_t left = BytesLeft(in);
        if (static_cast<int32_t>(size) < 0 || left < 0 || size > left) {
            SLIBLog(LOG_ERR, "%s(%d): bad section size [%ld]", __func__, __LINE__,
                    static_cast<long>(static_cast<int32_t>(size)));
            return false;
        }
        const QAVOSYSBKPSECTION &row = QAVOSysbkpSections[idx];
        if ((mask & id) == 0) {
            if (lseek(in, static_cast<off_t>(size), SEEK_CUR) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): fail to skip ", __func__, __LINE__);
                return false;
            }
            continue;
        }
        if (!CopyBody(in, scratch, size)) return false;
        if (row.pfnImport == nullptr ||
            row.pfnImport(scratch, static_cast<int>(version), overwrite) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): Failed to restore %s\n", __func__, __LINE__, row.szDesc);
            *result &= ~id;
        }
    }
}

}  // namespace cfgbkp

extern "C" int QAVOSysbkpImport(const char *path, uint32_t mask, int overwrite) {
    if (path == nullptr) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    uint32_t result = QAVOSYSBKP_ID_ALL;
    const int in = open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to open import file [%s], errno = %d ", __func__, __LINE__,
                path, errno);
        return -1;
    }
    // The scratch copy of a section holds hashes and passwords: a private
    // file, unlinked at once, so that no other process can read it.
    char scratchPath[] = QAVOSYSBKP_SCRATCH_DIR "/importprocessXXXXXX";
    const int scratch = mkostemp(scratchPath, O_CLOEXEC);
    if (scratch < 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to open handle file [%s], errno = %d ", __func__, __LINE__,
                scratchPath, errno);
        close(in);
        return -1;
    }
    if (unlink(scratchPath) != 0) SLIBLog(LOG_ERR, "unlink %s failed", scratchPath);
    if (ErrNetServiceStop() != 0) {
        SLIBLog(LOG_ERR, "%s(%d): failed to stop net service", __func__, __LINE__);
        close(scratch);
        close(in);
        return -1;
    }
    const bool whole = cfgbkp::ImportSections(in, scratch, mask, overwrite, &result);
    close(scratch);
    close(in);
    cfgbkp::ReleaseCreatedUsers();
    if (ErrNetServiceStart() != 0)
        SLIBLog(LOG_ERR, "%s(%d): failed to start net service", __func__, __LINE__);
    if (!whole || result != QAVOSYSBKP_ID_ALL) return -1;
    QAVOLogEventWrite(QAVOLOG_CLASS_SYS, 1, overwrite ? kEventImportedOverwrite : kEventImported,
                      "", "", "", "");
    return 0;
}
