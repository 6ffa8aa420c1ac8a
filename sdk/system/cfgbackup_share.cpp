// Configuration backup sections of the shares and of the file and
// application services: shares with their access lists, the FTP server,
// the photo, web and MySQL switches and the download manager.
#include <errno.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "cfgbackup.h"
#include "cfgbackup_util.h"
#include "qavo_download.h"
#include "qavo_servsetting.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_volume.h"
#include "share_batch.h"
#include "share_table.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_unicode.h"
#include "slib_util.h"

using cfgbkp::BadFd;
using cfgbkp::Event;
using cfgbkp::Failed;
using cfgbkp::ReadStr;
using cfgbkp::Section;
using cfgbkp::Str;

namespace {

constexpr uint32_t kShareEx = 0x1210000b, kShareIm = 0x1210000c;
constexpr uint32_t kShareFull = 0x12100051, kNoVolume = 0x11502008;
constexpr uint32_t kFtpEx = 0x12100017, kFtpIm = 0x12100018;
constexpr uint32_t kPhotoEx = 0x1210001f, kPhotoIm = 0x12100020;
constexpr uint32_t kWebEx = 0x12100101, kWebIm = 0x12100102;
constexpr uint32_t kMysqlEx = 0x1210010f, kMysqlIm = 0x12100110;
constexpr uint32_t kDlEx = 0x1210010d, kDlIm = 0x1210010e;
// The most new shares written with one rewrite of smb.conf.
constexpr size_t kShareBatch = 10000;

// Share names of the classes in flags (all classes with flags 0); false on
// failure.
bool ShareNames(uint32_t flags, std::vector<std::string> &names) {
    names.clear();
    int need = 0;
    const int q =
        flags ? QAVOShareEnum1(nullptr, 0, &need, flags) : QAVOShareEnum(nullptr, 0, &need);
    if (q < 0 || need <= 0) return false;
    std::vector<char *> buf((static_cast<size_t>(need) + sizeof(char *) - 1) / sizeof(char *));
    const int n = flags ? QAVOShareEnum1(buf.data(), need, &need, flags)
                        : QAVOShareEnum(buf.data(), need, &need);
    if (n < 0) return false;
    for (int i = 0; i < n && buf[static_cast<size_t>(i)] != nullptr; ++i)
        names.emplace_back(buf[static_cast<size_t>(i)]);
    return true;
}

// A share's record in a buffer of its own.
struct ShareBuf {
    std::vector<char *> words;
    QAVOSHARE *get() { return reinterpret_cast<QAVOSHARE *>(words.data()); }
};

// The share as QAVOShareGet reads it, or from smb.conf read once (table).
bool GetShare(const char *name, ShareBuf &out, const shareint::ShareTable *table = nullptr) {
    auto get = [&](void *buf, int size, int *need) {
        return table ? table->Get(name, buf, size, need) : QAVOShareGet(1, name, buf, size, need);
    };
    int need = 0;
    if (get(nullptr, 0, &need) != 0 || need <= 0) {
        BKP_LOG("fail get size for share [%s]", name);
        return false;
    }
    out.words.assign((static_cast<size_t>(need) + sizeof(char *) - 1) / sizeof(char *), nullptr);
    if (get(out.words.data(), need, &need) != 1) {
        BKP_LOG("fail get info for share [%s]", name);
        return false;
    }
    return true;
}

// True when a key of "/etc/qavoinfo.conf" is "yes" in any case.
bool InfoYes(const char *key) {
    std::string v;
    return cfgbkp::InfoKey(key, v, 31) && strcasecmp(v.c_str(), "yes") == 0;
}

// A limit key of the capability file: remaining = limit - current, the
// limit being the current number when the key is empty; false when the
// key cannot be read.
bool Remaining(const char *key, int current, int *remaining) {
    char value[32] = "";
    if (SLIBFileGetKeyValue(slib::kQavoinfoDefaults, key, value, sizeof value, 0) < 0) return false;
    const int limit = value[0] ? atoi(value) : current;
    *remaining = limit > current ? limit - current : 0;
    return true;
}

// The number of a stored share path "/volumeN/<one component>" on one of
// the usable volumes, else 0: a path that climbs out of the volume or
// reaches deeper is not taken from a file.
int UsablePathVolume(const char *path, const std::vector<int> &usable) {
    const int vol = QAVOVolIDGetByPath(path);
    if (vol < 0) return 0;
    const std::string prefix = std::string(QAVO_VOLUME_PREFIX) + std::to_string(vol) + "/";
    const std::string p = path;
    if (p.compare(0, prefix.size(), prefix) != 0) return 0;
    const std::string rest = p.substr(prefix.size());
    if (rest.empty() || rest == "." || rest == ".." || rest.find('/') != std::string::npos)
        return 0;
    for (int v : usable)
        if (v == vol) return vol;
    return 0;
}

}  // namespace

namespace {

int WriteShare(const char *name, int fd, const shareint::ShareTable *table) {
    if (name == nullptr || BadFd(fd)) return -1;
    ShareBuf sb;
    if (!GetShare(name, sb, table)) return -1;
    const QAVOSHARE *s = sb.get();
    if (QAVOSysbkpIWriteString(fd, s->szName) != 0 || QAVOSysbkpIWriteString(fd, s->szPath) != 0 ||
        QAVOSysbkpIWriteString(fd, s->szComment) != 0 || QAVOSysbkpIWriteString(fd, s->szRW) != 0 ||
        QAVOSysbkpIWriteString(fd, s->szRO) != 0 || QAVOSysbkpIWriteString(fd, s->szDeny) != 0 ||
        QAVOSysbkpIWriteLong(fd, static_cast<long>(s->fType)) != 0 ||
        QAVOSysbkpIWriteLong(fd, static_cast<long>(s->fBrowseable)) != 0) {
        BKP_LOG("fail to write share [%s]", name);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int QAVOSysbkpIWriteShare(const char *name, int fd) {
    return WriteShare(name, fd, nullptr);
}

extern "C" int QAVOSysbkpShareExport(int fd) {
    if (BadFd(fd)) return -1;
    std::vector<std::string> names;
    if (!ShareNames(QAVOSHARE_CLASS_ORDINARY, names)) {
        BKP_LOG("fail to get share enum szie");
        return Failed(kShareEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_SHARE);
    if (!sec.Ok()) return Failed(kShareEx);
    if (QAVOSysbkpIWriteLong(fd, static_cast<long>(names.size())) != 0) {
        BKP_LOG("fail to write share count[%d]", static_cast<int>(names.size()));
        return Failed(kShareEx);
    }
    // The shares are read from smb.conf read once, not each through the
    // whole file.
    shareint::ShareTable table;
    const shareint::ShareTable *read = table.Load() ? &table : nullptr;
    for (const std::string &n : names) {
        if (WriteShare(n.c_str(), fd, read) != 0) {
            BKP_LOG("fail to write share info");
            return Failed(kShareEx);
        }
    }
    return sec.Finish() ? 0 : Failed(kShareEx);
}

extern "C" void QAVOSysbkpIFreeShare(QAVOSHARE *share) {
    if (share == nullptr) return;
    for (char **p : {&share->szName, &share->szPath, &share->szComment, &share->szRW, &share->szRO,
                     &share->szDeny}) {
        free(*p);
        *p = nullptr;
    }
}

extern "C" int QAVOSysbkpIReadShare(int fd, QAVOSHARE *out) {
    if (out == nullptr || BadFd(fd)) return -1;
    *out = QAVOSHARE{};
    char **fields[] = {&out->szName, &out->szPath, &out->szComment,
                       &out->szRW,   &out->szRO,   &out->szDeny};
    for (char **f : fields) {
        if (QAVOSysbkpIReadString(fd, f) != 0) {
            BKP_LOG("fail to read share parameters");
            QAVOSysbkpIFreeShare(out);
            return -1;
        }
    }
    long type = 0, browse = 0;
    if (QAVOSysbkpIReadLong(fd, &type) != 0 || QAVOSysbkpIReadLong(fd, &browse) != 0) {
        BKP_LOG("fail to read fBrowseable");
        QAVOSysbkpIFreeShare(out);
        return -1;
    }
    out->fType = static_cast<uint32_t>(type);
    out->fBrowseable = static_cast<uint32_t>(browse);
    return 0;
}

extern "C" int QAVOSysbkpShareImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    int defVolume = 0;
    std::vector<int> usable;
    {
        // No volume mounted gives no list and no code; a list that cannot
        // be read gives a code.
        SLIBErrSet(static_cast<SLIBERRCODE>(0));
        PQAVOVOLINFOLIST list = QAVOVolInfoListGet(0);
        if (list == nullptr && SLIBErrGet() != 0) {
            BKP_LOG("Fail to get volume info");
            return Failed(kShareIm);
        }
        for (PQAVOVOLINFOLIST v = list; v; v = v->next) {
            if (!v->svi_mounted || !v->svi_writeable) continue;
            if (defVolume == 0) defVolume = v->svi_number;
            usable.push_back(v->svi_number);
        }
        QAVOVolInfoListFree(list);
    }
    std::vector<std::string> ordinary, all;
    int remaining = 0;
    if (!ShareNames(QAVOSHARE_CLASS_ORDINARY, ordinary) ||
        !Remaining("maxshares", static_cast<int>(ordinary.size()), &remaining)) {
        SLIBLog(LOG_ERR, "%s:(%d), ShareGetLimit return -1", __func__, __LINE__);
        return Failed(kShareIm);
    }
    if (!ShareNames(0, all)) {
        BKP_LOG("fail to alloc hash");
        return Failed(kShareIm);
    }
    std::unordered_map<std::string, std::string> existing;
    char upper[492];
    for (const std::string &n : all) {
        if (SLIBUnicodeUTF8StrUpper(n.c_str(), upper, sizeof upper) < 0) {
            SLIBLog(LOG_ERR, "%s(%d): SLIBUnicodeUTF8StrUpper() failed; [sharename] = [%s]\n",
                    __func__, __LINE__, n.c_str());
            return Failed(kShareIm);
        }
        existing[upper] = n;
    }
    long count = 0;
    if (QAVOSysbkpIReadLong(fd, &count) != 0) {
        BKP_LOG("fail to read share count");
        return Failed(kShareIm);
    }
    bool failed = false, noVolume = false;
    // New shares are added in batches, each with one write of smb.conf, and
    // before a decision that depends on them: a name the batch holds, a
    // share to change, or the capacity once the batch would use the rest.
    std::vector<QAVOSHARE> batch;
    std::set<std::string> batchKeys;
    int left = remaining;
    auto flush = [&]() {
        if (batch.empty()) return;
        std::vector<const QAVOSHARE *> list;
        for (const QAVOSHARE &b : batch)
            list.push_back(&b);
        std::vector<int> results(batch.size(), -1);
        shareint::AddShares(list.data(), static_cast<int>(list.size()), results.data());
        for (size_t k = 0; k < batch.size(); ++k) {
            QAVOSHARE &b = batch[k];
            if (results[k] != 1) {
                BKP_LOG("fail to set share [%s]", b.szName);
                failed = true;
            } else {
                --remaining;
                if (SLIBUnicodeUTF8StrUpper(b.szName, upper, sizeof upper) >= 0)
                    existing[upper] = b.szName;
            }
            QAVOSysbkpIFreeShare(&b);
        }
        batch.clear();
        batchKeys.clear();
        left = remaining;
    };
    for (long i = 0; i < count; ++i) {
        QAVOSHARE s{};
        if (QAVOSysbkpIReadShare(fd, &s) != 0) {
            // The following bytes are no longer aligned on an item: reading
            // on would make shares out of stray bytes.
            failed = true;
            break;
        }
        std::string path;
        if (defVolume == 0) {
            BKP_LOG("fail to creat share [%s] because no volume exist", s.szName);
            Event(kNoVolume, s.szName);
            noVolume = true;
            QAVOSysbkpIFreeShare(&s);
            continue;
        }
        if (UsablePathVolume(s.szPath, usable) == 0) {
            path = std::string(QAVO_VOLUME_PREFIX) + std::to_string(defVolume) + "/" + s.szName;
            free(s.szPath);
            s.szPath = strdup(path.c_str());
        }
        std::string key;
        if (s.szPath != nullptr && SLIBUnicodeUTF8StrUpper(s.szName, upper, sizeof upper) >= 0)
            key = upper;
        if (!key.empty() && batchKeys.count(key)) flush();
        auto found = key.empty() ? existing.end() : existing.find(key);
        if (found == existing.end() && left < 1 && !batch.empty()) {
            flush();
            found = existing.find(key);
        }
        if (s.szPath == nullptr || key.empty()) {
            failed = true;
        } else if (found == existing.end()) {
            if (left < 1) {
                SLIBLog(LOG_ERR, "encounter share max problem, no adding anymore, mark log");
                Event(kShareFull, s.szName);
                failed = true;
            } else {
                // The batch owns the record's strings from here.
                --left;
                batchKeys.insert(key);
                batch.push_back(s);
                if (batch.size() >= kShareBatch) flush();
                continue;
            }
        } else if (overwrite) {
            flush();
            ShareBuf cur;
            if (GetShare(found->second.c_str(), cur)) {
                free(s.szPath);
                s.szPath = strdup(cur.get()->szPath);
                if (s.szPath == nullptr || QAVOShareSet(1, found->second.c_str(), &s) != 1) {
                    BKP_LOG("fail to set share [%s] : %x", s.szName, SLIBErrGet());
                    failed = true;
                }
            }
        }
        QAVOSysbkpIFreeShare(&s);
    }
    flush();
    if (failed) return Failed(kShareIm);
    return noVolume ? -1 : 0;
}

extern "C" int QAVOSysbkpRunFtpdExport(int fd) {
    if (BadFd(fd)) return -1;
    const int running = QAVOFTPTestRunning();
    QAVOFTPCONF conf{};
    if (running < 0 || QAVOFTPConfGet(&conf) != 0) {
        BKP_LOG("get ftp config failed");
        return Failed(kFtpEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_RUNFTPD);
    if (!sec.Ok()) return Failed(kFtpEx);
    if (QAVOSysbkpIWriteLong(fd, running) != 0)
        return BKP_LOG("fail to write runftpd[%ld]", static_cast<long>(running)), Failed(kFtpEx);
    if (QAVOSysbkpIWriteString(fd, conf.szPort) != 0 ||
        QAVOSysbkpIWriteLong(fd, conf.fFlowControl) != 0 ||
        QAVOSysbkpIWriteLong(fd, conf.nMaxUploadRate) != 0 ||
        QAVOSysbkpIWriteLong(fd, conf.nMaxDownloadRate) != 0 ||
        QAVOSysbkpIWriteLong(fd, conf.fAnonymousLogin) != 0) {
        BKP_LOG("fail to write runftpd config[%s]", conf.szPort);
        return Failed(kFtpEx);
    }
    return sec.Finish() ? 0 : Failed(kFtpEx);
}

extern "C" int QAVOSysbkpRunFtpdImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    QAVOFTPCONF current{};
    if (QAVOFTPConfGet(&current) != 0) return BKP_LOG("get ftp config failed"), Failed(kFtpIm);
    const int wasRunning = QAVOFTPTestRunning();
    if (wasRunning < 0) return BKP_LOG("check ftp status failed"), Failed(kFtpIm);
    long flag = 0, fields[4] = {};
    Str port;
    if (QAVOSysbkpIReadLong(fd, &flag) != 0 || !ReadStr(fd, port)) {
        BKP_LOG("fail to read runftpd");
        return Failed(kFtpIm);
    }
    for (long &f : fields) {
        if (QAVOSysbkpIReadLong(fd, &f) != 0)
            return BKP_LOG("fail to read runftpd config"), Failed(kFtpIm);
    }
    if (strlen(port.get()) >= sizeof(current.szPort))
        return BKP_LOG("fail to read runftpd config"), Failed(kFtpIm);
    QAVOFTPCONF stored = current;
    memset(stored.szPort, 0, sizeof stored.szPort);
    memcpy(stored.szPort, port.get(), strlen(port.get()));
    stored.fFlowControl = static_cast<int>(fields[0]);
    stored.nMaxUploadRate = static_cast<int>(fields[1]);
    stored.nMaxDownloadRate = static_cast<int>(fields[2]);
    stored.fAnonymousLogin = static_cast<int>(fields[3]);
    if (!overwrite) return 0;
    const bool changed = strcmp(stored.szPort, current.szPort) != 0 ||
                         stored.fFlowControl != current.fFlowControl ||
                         stored.nMaxUploadRate != current.nMaxUploadRate ||
                         stored.nMaxDownloadRate != current.nMaxDownloadRate ||
                         stored.fAnonymousLogin != current.fAnonymousLogin;
    bool stoppedHere = false;
    if (changed) {
        if (QAVOFTPConfSet(stored) != 0)
            return BKP_LOG("call QAVOFTPConfSet to set ftpd config"), Failed(kFtpIm);
        if (QAVOFTPIService(0) != 0)
            return BKP_LOG("call QAVOFTPIService to disable ftpd service"), Failed(kFtpIm);
        stoppedHere = true;
    }
    if (flag == 0) {
        if (!(wasRunning == 0 && stoppedHere) && QAVOFTPIService(0) != 0)
            return BKP_LOG("call QAVOFTPIService to disable ftpd failed"), Failed(kFtpIm);
    } else if (!(wasRunning == 1 && !changed)) {
        if (QAVOFTPIService(1) != 0)
            return BKP_LOG("call QAVOFTPIService to enable ftpd failed"), Failed(kFtpIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpPhotoExport(int fd) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportphoto")) return 0;
    Section sec(fd, QAVOSYSBKP_ID_PHOTO);
    if (!sec.Ok()) return Failed(kPhotoEx);
    if (QAVOSysbkpIWriteLong(fd, InfoYes("runphoto")) != 0 ||
        QAVOSysbkpIWriteLong(fd, InfoYes("albumdefpublic")) != 0) {
        BKP_LOG("fail to write photo setting");
        return Failed(kPhotoEx);
    }
    return sec.Finish() ? 0 : Failed(kPhotoEx);
}

extern "C" int QAVOSysbkpPhotoImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportphoto")) return 0;
    long run = 0, album = 0;
    if (QAVOSysbkpIReadLong(fd, &run) != 0 || QAVOSysbkpIReadLong(fd, &album) != 0)
        return BKP_LOG("fail to read photo enable setting"), Failed(kPhotoIm);
    const bool same =
        (run != 0) == InfoYes("runphoto") && (album != 0) == InfoYes("albumdefpublic");
    if (same || !overwrite) return 0;
    if (QAVOPhotoService(run ? 1 : 0) != 0) {
        if (run)
            BKP_LOG("call QAVOPHOTOService to enable photo failed");
        else
            BKP_LOG("call QAVOPhotoService to disable photo failed");
        return Failed(kPhotoIm);
    }
    if (QAVOAlbumDefRightSet(album ? 1 : 0) != 0)
        return BKP_LOG("call QAVOAlbumDefRightSet to set public album failed"), Failed(kPhotoIm);
    return 0;
}

extern "C" int QAVOSysbkpWebExport(int fd) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportweb")) return 0;
    Section sec(fd, QAVOSYSBKP_ID_WEB);
    if (!sec.Ok()) return Failed(kWebEx);
    if (QAVOSysbkpIWriteLong(fd, InfoYes("runweb")) != 0)
        return BKP_LOG("fail to write web setting"), Failed(kWebEx);
    return sec.Finish() ? 0 : Failed(kWebEx);
}

extern "C" int QAVOSysbkpWebImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportweb")) return 0;
    long run = 0;
    if (QAVOSysbkpIReadLong(fd, &run) != 0)
        return BKP_LOG("fail to read web enable setting"), Failed(kWebIm);
    if (!overwrite) return 0;
    if (QAVOWebService(run ? 1 : 0) != 0) {
        if (run)
            BKP_LOG("call QAVOWebService to enable web failed");
        else
            BKP_LOG("call QAVOWebService to disable web failed");
        return Failed(kWebIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpMySQLExport(int fd) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportmysql")) return 0;
    Section sec(fd, QAVOSYSBKP_ID_MYSQL);
    if (!sec.Ok()) return Failed(kMysqlEx);
    if (QAVOSysbkpIWriteLong(fd, InfoYes("runmysql")) != 0)
        return BKP_LOG("fail to write mysql setting"), Failed(kMysqlEx);
    return sec.Finish() ? 0 : Failed(kMysqlEx);
}

extern "C" int QAVOSysbkpMySQLImport(int fd, int, int overwrite) {
    if (BadFd(fd)) return -1;
    if (!cfgbkp::Supported("supportmysql")) return 0;
    long run = 0;
    if (QAVOSysbkpIReadLong(fd, &run) != 0)
        return BKP_LOG("fail to read mysql enable setting"), Failed(kMysqlIm);
    if (!overwrite) return 0;
    std::string cur;
    cfgbkp::InfoKey("runmysql", cur, 31);
    if (cur == "yes" && run == 0) {
        if (QAVOINFOSetKeyValue("runmysql", "no") < 0)
            return BKP_LOG("failed to set 'runmysql'=no"), Failed(kMysqlIm);
    } else if (cur != "yes" && run != 0) {
        if (QAVOINFOSetKeyValue("runmysql", "yes") < 0)
            return BKP_LOG("failed to set 'runmysql'=yes"), Failed(kMysqlIm);
    }
    return 0;
}

extern "C" int QAVOSysbkpFetchmoraExport(int fd) {
    if (BadFd(fd)) return -1;
    QAVODOWNLOADINFO d{};
    if (QAVODownloadInfoGet(&d) != 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to QAVODownloadInfoGet().", __func__, __LINE__);
        return Failed(kDlEx);
    }
    Section sec(fd, QAVOSYSBKP_ID_FETCHMORA);
    if (!sec.Ok()) return Failed(kDlEx);
    if (QAVOSysbkpIWriteLong(fd, d.fDLEnabled) != 0 ||
        QAVOSysbkpIWriteString(fd, d.szDLTime) != 0 || QAVOSysbkpIWriteLong(fd, d.iDLOrder) != 0 ||
        QAVOSysbkpIWriteLong(fd, d.iULRate) != 0 || QAVOSysbkpIWriteLong(fd, d.iDLRate) != 0 ||
        QAVOSysbkpIWriteLong(fd, d.iStartPort) != 0 || QAVOSysbkpIWriteLong(fd, d.iEndPort) != 0 ||
        QAVOSysbkpIWriteLong(fd, d.fDLPortMapEnabled) != 0) {
        BKP_LOG("Fail to write Fetchmora setting");
        return Failed(kDlEx);
    }
    return sec.Finish() ? 0 : Failed(kDlEx);
}

extern "C" int QAVOSysbkpFetchmoraImport(int fd, int, int) {
    if (BadFd(fd)) return -1;
    QAVODOWNLOADINFO d{};
    long v[7] = {};
    Str when;
    if (QAVOSysbkpIReadLong(fd, &v[0]) != 0 || !ReadStr(fd, when)) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to read Fetchmora DLEnabled.", __func__, __LINE__);
        return Failed(kDlIm);
    }
    for (int i = 1; i < 7; ++i) {
        if (QAVOSysbkpIReadLong(fd, &v[i]) != 0) {
            BKP_LOG("Fail to read Fetchmora DLPortMapEnabled");
            return Failed(kDlIm);
        }
    }
    if (strlen(when.get()) >= sizeof d.szDLTime)
        return BKP_LOG("Fail to read Fetchmora szDLTime"), Failed(kDlIm);
    d.fDLEnabled = static_cast<int>(v[0]);
    memcpy(d.szDLTime, when.get(), strlen(when.get()) + 1);
    d.iDLOrder = static_cast<int>(v[1]);
    d.iULRate = static_cast<int>(v[2]);
    d.iDLRate = static_cast<int>(v[3]);
    d.iStartPort = static_cast<int>(v[4]);
    d.iEndPort = static_cast<int>(v[5]);
    d.fDLPortMapEnabled = static_cast<int>(v[6]);
    if (QAVODownloadInfoSet(&d) != 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to QAVODownloadInfoSet().", __func__, __LINE__);
        return Failed(kDlIm);
    }
    return 0;
}
