// Deleting local users. The account files are rewritten into their ".tmp"
// copies and replaced together; what lives outside them (mail addresses,
// network-backup server accounts, quotas, SMB connections) follows only
// once the replacement has succeeded, so a failed deletion changes nothing.
#include "qavo_userdel.h"

#include <pwd.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qavo_accfile.h"
#include "qavo_group.h"
#include "qavo_netbkp.h"
#include "qavo_quota.h"
#include "qavo_servsetting.h"
#include "qavo_user.h"
#include "quota_ids.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "service_util.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

using slib::Fail;

constexpr char kModule[] = "sdk/qavouser";
constexpr uint32_t kLockMask = SLIB_LOCK_PW | SLIB_LOCK_GR | SLIB_LOCK_SMB;
constexpr uid_t kFirstUserUid = 1024;
constexpr char kMailFile[] = "/etc/mail";
// Largest list of connection ids asked for (the list grows from 1024 bytes).
constexpr int kConnListMax = 1 << 20;

struct HashFree {
    void operator()(PSLIBSZHASH h) const { SLIBSzHashFree(h); }
};
using HashPtr = std::unique_ptr<SLIBSZHASH, HashFree>;

// A user being deleted: the name as passwd spells it, its uid, and the ids
// of its SMB connections.
struct Doomed {
    std::string name;
    uid_t uid;
    std::string connections;
};

// The passwd entries by upper-cased name: "uid:name" under the key.
bool ReadAccounts(PSLIBSZHASH *accounts) {
    slib::FilePtr fp(fopen(SZF_PASSWD, "re"));
    if (!fp) return Fail(ERR_OPEN_FAILED), false;
    struct passwd *pw;
    while ((pw = fgetpwent(fp.get())) != nullptr) {
        const std::string value = std::to_string(pw->pw_uid) + ":" + pw->pw_name;
        if (SDKIUserHashGet(*accounts, pw->pw_name)) continue;  // the first entry counts
        if (SDKIUserHashSet(accounts, pw->pw_name, value.c_str()) < 0) return false;
    }
    return true;
}

bool SameName(const char *a, const char *b, int index) {
    int r = SLIBUnicodeUTF8StrCaseCmp(a, b);
    if (r == -2) {  // the compare's error result
        SLIBLog(LOG_ERR, "%s %s(%d): SLIBUnicodeUTF8StrCaseCmp() error; pszList[%d] = [%s]\n",
                kModule, __func__, __LINE__, index, a ? a : "NULL");
        return false;
    }
    return r == 0;
}

// The ids of the user's SMB connections, asking again with more room while
// the list does not fit.
bool Connections(const std::string &name, std::string &out) {
    for (int size = 1024; size <= kConnListMax; size *= 2) {
        std::vector<char> buf(static_cast<size_t>(size), '\0');
        if (QAVOGetUserConnOfSmb(name.c_str(), 0, buf.data(), size) == 0) {
            out = buf.data();
            return true;
        }
        if (SLIBErrGet() != ERR_BUF_TOO_SMALL) break;
    }
    SLIBLog(LOG_ERR, "%s %s(%d): QAVOGetUserConnOfSmb() returned -1!\n", kModule, "QAVOUserDelete",
            __LINE__);
    return false;
}

// The ".tmp" copies of the account files, removed unless kept for the rename.
struct TmpFiles {
    bool keep = false;
    ~TmpFiles() {
        if (!keep) SDKIRemoveTmpFiles();
    }
};

int Delete(const char **names, int count) {
    const bool guest = BlQAVOGuestSupport() == 1;
    if (SDKIRemoveTmpFiles() < 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): SDKIRemoveTmpFiles() failed\n", kModule, __func__, __LINE__);
        return -1;
    }
    HashPtr doomedHash(PshSLIBSzHashAlloc(1024));
    HashPtr accountHash(PshSLIBSzHashAlloc(4096));
    if (!doomedHash || !accountHash) {
        SLIBLog(LOG_ERR, "%s %s(%d): allocate memory failed", kModule, __func__, __LINE__);
        return Fail(ERR_OUT_OF_MEMORY);
    }
    PSLIBSZHASH accounts = accountHash.release();
    bool read = ReadAccounts(&accounts);
    accountHash.reset(accounts);
    if (!read) return -1;

    TmpFiles tmps;
    std::vector<Doomed> doomed;
    PSLIBSZHASH del = doomedHash.release();
    struct Restore {
        HashPtr &p;
        PSLIBSZHASH &h;
        ~Restore() { p.reset(h); }
    } restore{doomedHash, del};
    for (int i = 0; i < count; ++i) {
        const char *name = names[i];
        if (!name || SameName(name, "root", i) || SameName(name, "admin", i) ||
            (guest && SameName(name, "guest", i)))
            continue;
        const char *entry = SDKIUserHashGet(accounts, name);
        if (!entry || SDKIUserHashGet(del, name)) continue;  // no such account, or named twice
        char *colon = nullptr;
        unsigned long uid = strtoul(entry, &colon, 10);
        // System accounts ("nobody" among them) frame the share and group
        // lists and own the daemons: never deleted.
        if (uid < kFirstUserUid) {
            SLIBLog(LOG_ERR, "%s %s(%d): %s is a system account; not deleted", kModule, __func__,
                    __LINE__, name);
            continue;
        }
        Doomed d{colon + 1, static_cast<uid_t>(uid), {}};
        if (!Connections(d.name, d.connections)) return -1;
        if (SDKIUserHashSet(&del, d.name.c_str(), "") < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): put user %s into into hash failed", kModule, __func__,
                    __LINE__, d.name.c_str());
            return -1;
        }
        doomed.push_back(std::move(d));
    }
    if (doomed.empty()) {
        SLIBErrSet(ERR_BAD_USER);
        return 0;
    }

    struct Step {
        int (*run)(PSLIBSZHASH);
        const char *message;
    };
    static const Step steps[] = {
        {[](PSLIBSZHASH h) { return SDKIRemoveUserEntry(h, SZF_PASSWD, SZF_PASSWD_TMP); },
         "%s %s(%d): SDKIDelPasswd() returned -1!\n"},
        {[](PSLIBSZHASH h) { return SDKIRemoveUserEntry(h, SZF_SHADOW, SZF_SHADOW_TMP); },
         "%s %s(%d): SDKIDelShadow() returned -1!\n"},
        {[](PSLIBSZHASH h) { return SDKIRemoveUserEntry(h, SZF_SMBPASSWD, SZF_SMBPASSWD_TMP); },
         "%s %s(%d): SDKIDelSmbpasswd() returned -1!\n"},
        {SDKIModifySmbConf, "%s %s(%d): SDKIModifySmbConf() returned -1!\n"},
        {SDKIModifyGroup, "%s %s(%d): SDKIModifyGroup() returned -1!\n"},
    };
    for (const Step &s : steps) {
        if (s.run(del) < 0) {
            SLIBLog(LOG_ERR, s.message, kModule, __func__, __LINE__);
            return -1;
        }
    }
    if (SDKIRenameTmpFiles() < 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): SDKIDelRenameTmpFile() returned -1!\n", kModule, __func__,
                __LINE__);
        return -2;
    }
    tmps.keep = true;  // renamed: nothing left to remove

    // The accounts are gone; now what hangs on them.
    int result = static_cast<int>(doomed.size());
    SLIBERRCODE code = ERR_SYSTEM_CALL;
    for (const Doomed &d : doomed) {
        if (access(kMailFile, F_OK) == 0 && SLIBFileRemoveKey(kMailFile, d.name.c_str()) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): remove [%s] mail failed", kModule, __func__, __LINE__,
                    d.name.c_str());
            code = static_cast<SLIBERRCODE>(SLIBErrGet());
            result = -1;
        }
        if (BlQAVONetBkpIsAuthUser(d.name.c_str()) &&
            QAVONetBackupSetServerPasswd(d.name.c_str(), nullptr, nullptr,
                                         QAVO_NETBKP_ACCOUNT_DELETE) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): NetBackupDelAuthUser() error; user = [%s]\n", kModule,
                    __func__, __LINE__, d.name.c_str());
            code = static_cast<SLIBERRCODE>(SLIBErrGet());
            result = -1;
        }
    }
    if (BlQAVOQuotaIsSupported()) {
        std::vector<unsigned> ids;
        for (const Doomed &d : doomed)
            ids.push_back(d.uid);
        if (sdk::QuotaCleanIds(ids) < 0)
            SLIBLog(LOG_ERR, "%s %s(%d): Quota Clean error.", kModule, __func__, __LINE__);
    }
    // The download scheduler re-reads the user list.
    if (slib::DefaultIsYes("support_download", 4, true))
        qsvc::SignalPidFile("/var/run/scheduler.pid", SIGUSR1);
    for (Doomed &d : doomed) {
        if (d.connections.empty()) continue;
        std::vector<char> list(d.connections.begin(), d.connections.end());
        list.push_back('\0');
        QAVOKillSmbConn(list.data());
    }
    if (result < 0) SLIBErrSet(code);
    return result;
}

}  // namespace

extern "C" int SDKIRemoveUserEntry(PSLIBSZHASH names, const char *file, const char *tmp) {
    if (!names || !file || !tmp) {
        SLIBLog(LOG_ERR, "%s(%d): SDKIRemoveUserEntry() bad parameters", __FILE__, __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    slib::FilePtr in(fopen(file, "re"));
    slib::RewriteSet copy;
    FILE *out = in ? copy.Open(file, tmp) : nullptr;
    if (!out) {
        SLIBLog(LOG_ERR, "%s(%d): SDKIRemoveUserEntry() open file fail", __FILE__, __LINE__);
        return Fail(ERR_OPEN_FAILED);
    }
    int dropped = 0;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    bool ok = true;
    while (ok && (n = getline(&line, &cap, in.get())) > 0) {
        std::string_view text(line, static_cast<size_t>(n));
        if (text[0] != '#' && text[0] != '\n') {
            const std::string key(text.substr(0, text.find(':')));
            if (SDKIUserHashGet(names, key.c_str())) {
                dropped = 1;
                continue;
            }
        }
        if (!slib::WriteAll(out, text)) {
            SLIBLog(LOG_ERR, "%s(%d): SDKIRemoveUserEntry() write failed", __FILE__, __LINE__);
            SLIBErrSet(ERR_WRITE_FAILED);
            ok = false;
        }
    }
    free(line);
    if (ok && ferror(in.get())) {
        SLIBErrSet(ERR_READ_FAILED);
        ok = false;
    }
    if (!ok) return -1;
    if (!copy.Keep()) {
        SLIBLog(LOG_ERR, "qavouser: SDKIDelUserEntry(): fflush(pfStreamOut) failed!\n");
        return -1;
    }
    return dropped;
}

extern "C" int QAVOUserDelete(const char **names, int count) {
    if (!names || count <= 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): Bad arguments; nItem = [%d], pszList = [%p]\n", kModule,
                __func__, __LINE__, count, static_cast<const void *>(names));
        return Fail(ERR_BAD_PARAMETERS);
    }
    slib::ScopedLock lock(kLockMask, SLIB_LOCK_EX, 5);
    if (!lock.Held()) return Fail(ERR_LOCK_FAILED);
    try {
        return Delete(names, count);
    } catch (const std::bad_alloc &) {
        SDKIRemoveTmpFiles();
        return Fail(ERR_OUT_OF_MEMORY);
    }
}
