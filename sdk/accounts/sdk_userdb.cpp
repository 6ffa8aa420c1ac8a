// The user transaction: a batch of users added or changed (possibly renamed)
// as one change over the account files. Every file gets a finished
// temporary copy first; the copies replace the files together at the end,
// and a failure anywhere leaves every file as it was.
#include <pwd.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qavo_accfile.h"
#include "qavo_crypt.h"
#include "qavo_group.h"
#include "qavo_netbkp.h"
#include "qavo_user.h"
#include "qavo_userenum.h"
#include "sdk_listedit.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "service_util.h"
#include "slib_errcode.h"
#include "slib_file.h"
#include "slib_keyvalue.h"
#include "slib_line.h"
#include "slib_lock.h"
#include "slib_proc.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_unicode.h"
#include "slib_util.h"
#include "slib_validate.h"
#include "stored_hashes.h"

namespace {

using slib::Fail;

constexpr int kLockTimeout = 5;
constexpr uint32_t kLockMask = SLIB_LOCK_PW | SLIB_LOCK_GR | SLIB_LOCK_SMB;
constexpr int kFirstUid = 1024;
constexpr int kLastUid = 2048;
constexpr int kUsersGid = 100;

const char kMailFile[] = "/etc/mail";
const char kMailTmp[] = "/etc/mail.tmp";
const char kHtpasswdTmp[] = "/usr/qavo/etc/.htpasswd.tmp";
const char kMailFormat[] = "%s=\"%s\"\n";

// The account files and their copies, in the order they are replaced.
const std::vector<std::pair<std::string, std::string>> &AccountCopies() {
    static const std::vector<std::pair<std::string, std::string>> copies = {
        {SZF_SMBCONF_TMP, SZF_SMBCONF}, {SZF_SMBPASSWD_TMP, SZF_SMBPASSWD},
        {SZF_GROUP_TMP, SZF_GROUP},     {SZF_SHADOW_TMP, SZF_SHADOW},
        {SZF_PASSWD_TMP, SZF_PASSWD},
    };
    return copies;
}

using HashPtr = slib::SzHashPtr;

// The network-backup server accounts, which get the Bourne shell and
// membership of group smmsp.
bool IsBackupAccount(const char *name) {
    return name &&
           (strcmp(name, "root") == 0 || strcmp(name, "admin") == 0 || strcmp(name, "rsync") == 0);
}

// Text that stays one value of a line file: no control character and no
// double quote, and UTF-8 throughout: the account files are searched
// without regard to case through the Unicode layer, which cannot read a
// line holding other bytes, so that its user could no longer be found.
bool PlainValue(const char *s) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p)
        if (*p < 0x20 || *p == 0x7F || *p == '"') return false;
    return SLIBUnicodeUTF8StrCountChar(s) >= 0;
}

bool Empty(const char *s) {
    return !s || !*s;
}

bool ParseDecimal(const char *s, long long max, long long &out) {
    if (!*s) return false;
    for (const char *p = s; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    errno = 0;
    char *end = nullptr;
    out = strtoll(s, &end, 10);
    return errno == 0 && *end == '\0' && out <= max;
}

// Copies a file byte for byte into a finished copy at tmp (nothing when the
// file is missing): true, or false with the error code set.
bool StageCopy(const char *file, const char *tmp) {
    slib::FilePtr in(fopen(file, "re"));
    if (!in) {
        if (errno == ENOENT) return true;
        return Fail(ERR_OPEN_FAILED), false;
    }
    slib::RewriteSet set;
    FILE *out = set.Open(file, tmp);
    if (!out) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0)
        if (!slib::WriteAll(out, std::string_view(buf, n))) return Fail(ERR_WRITE_FAILED), false;
    if (ferror(in.get())) return Fail(ERR_READ_FAILED), false;
    return set.Keep();
}

// The names of a hash's records, in its enumeration order.
bool HashRecords(PSLIBSZHASH hash, std::vector<PQAVOUSERSET> &out) {
    slib::SzListPtr keys(PslSLIBSzListAlloc(1024));
    if (!keys) return Fail(ERR_OUT_OF_MEMORY), false;
    PSLIBSZLIST l = keys.release();
    int n = SLIBSzHashEnumKey(hash, &l);
    keys.reset(l);
    if (n < 0) return false;
    for (int i = 0; i < keys->nItem; ++i) {
        PQAVOUSERSET rec = nullptr;
        if (SDKIGetUserPtr(hash, keys->pszItem[i], &rec) != 1 || !rec) return false;
        out.push_back(rec);
    }
    return true;
}

// ---------------------------------------------------------------- passwd

// Reads every user of /etc/passwd into existing (name -> uid) and, when
// given, spelled (name -> the name as passwd spells it).
int GetPwdInfo(PSLIBSZHASH *existing, PSLIBSZHASH *spelled = nullptr) {
    slib::FilePtr in(fopen(SZF_PASSWD, "re"));
    if (!in) {
        SLIBLog(LOG_ERR, "qavouser: SDKIGetPwdInfo(): QAVOFOpen(SZF_PASSWD, \"r\") failed\n");
        return Fail(ERR_OPEN_FAILED);
    }
    size_t len;
    char *p;
    std::string line;
    while ((p = fgetln(in.get(), &len)) != nullptr) {
        if (len == 0 || p[0] == '#' || p[0] == '\n') continue;
        line.assign(p, len);
        struct passwd pw {};
        if (SDKIGetUserPasswd(line.data(), &pw) < 0) {
            SLIBLog(LOG_ERR,
                    "qavouser: SDKIGetPwdInfo(): SDKIGetUserPasswd() failed; [szBuf] = [%s]\n",
                    std::string(p, len).c_str());
            return -1;
        }
        if (SDKIUserHashSet(existing, pw.pw_name, std::to_string(pw.pw_uid).c_str()) < 0) return -1;
        if (spelled && SDKIUserHashSet(spelled, pw.pw_name, pw.pw_name) < 0) return -1;
    }
    if (ferror(in.get())) return Fail(ERR_READ_FAILED);
    return 0;
}

// The passwd line of a changed or new user.
std::string PasswdLine(const QAVOUSERSET *rec, long uid, const std::string &home) {
    std::string desc;
    if (rec->szDesc) {
        std::string enc(strlen(rec->szDesc) * 2 + 1, '\0');
        if (SLIBStrEncodeColon(rec->szDesc, enc.data(), static_cast<int>(enc.size())) < 0)
            SLIBLog(LOG_ERR, "%s(%d): SLIBStrEncodeColon() failed", __FILE__, __LINE__);
        else
            desc = enc.c_str();
    }
    return std::string(rec->szName) + ":x:" + std::to_string(uid) + ':' +
           std::to_string(kUsersGid) + ':' + desc + ':' + home + ':' +
           (IsBackupAccount(rec->szName) ? "/bin/sh" : "/bin/csh") + '\n';
}

// Rewrites the changed users' lines and appends the new users', each with
// the next free uid, in the order of added.
int ModifyPasswd(PSLIBSZHASH changed, const sdk::NewUsers &added, PSLIBSZHASH *existing) {
    slib::FilePtr in(fopen(SZF_PASSWD, "re"));
    slib::RewriteSet set;
    FILE *fp = in ? set.Open(SZF_PASSWD, SZF_PASSWD_TMP) : nullptr;
    if (!fp) return Fail(ERR_OPEN_FAILED);
    slib::LineOut out(fp);
    const bool anyChanged = SLIBSzHashCount(changed) > 0;
    size_t len;
    char *p;
    std::string line, copy;
    while ((p = fgetln(in.get(), &len)) != nullptr) {
        line.assign(p, len);
        PQAVOUSERSET rec = nullptr;
        struct passwd pw {};
        if (anyChanged && line[0] != '#' && line[0] != '\n') {
            copy = line;
            SLIBStrTrimSpace(copy.data(), nullptr);
            if (SDKIGetUserPasswd(copy.data(), &pw) < 0) {
                SLIBLog(
                    LOG_ERR,
                    "qavouser: SDKIModifyPasswd(): SDKIGetUserPasswd() failed; [szBuf] == [%s]\n",
                    line.c_str());
                return Fail(ERR_NOT_FOUND);
            }
            if (SDKIGetUserPtr(changed, pw.pw_name, &rec) < 0) return -1;
        }
        const std::string text = rec ? PasswdLine(rec, pw.pw_uid, pw.pw_dir) : line;
        if (!out.Put(text)) {
            SLIBLog(LOG_ERR, "%s(%d): writing SZF_PASSWD failed", __FILE__, __LINE__);
            return Fail(ERR_WRITE_FAILED);
        }
    }
    if (ferror(in.get())) return Fail(ERR_READ_FAILED);
    for (const QAVOUSERSET *rec : added) {
        int uid = USERGetUid();
        if (uid < 0) {
            SLIBLog(LOG_ERR, "%s(%d): USERGetUid() failed", __FILE__, __LINE__);
            return -1;
        }
        if (SDKIUserHashSet(existing, rec->szName, std::to_string(uid).c_str()) < 0) return -1;
        const std::string text = PasswdLine(rec, uid, "/");
        if (!out.NewLine(text)) {
            SLIBLog(
                LOG_ERR,
                "qavouser: SDKIModifyPasswd(): fputs(szBuf, pfStreamOut) failed; [szBuf] == [%s]\n",
                text.c_str());
            return Fail(ERR_WRITE_FAILED);
        }
    }
    if (!set.Keep()) {
        SLIBLog(LOG_ERR, "qavouser: SDKISetReWriteMstPasswd(): QAVOFClose(pfStreamOut) failed!\n");
        return -1;
    }
    return 1;
}

// ---------------------------------------------------------------- smmsp

// Membership of group smmsp for the network-backup accounts after the
// batch: applied to the group file's copy (made from the file when the list
// editor left none), so it is replaced together with the other files. The
// list editor has already renamed members, so each change is stated as the
// state to reach.
int StageSmmsp(const std::vector<const QAVOUSERSET *> &records) {
    std::set<std::string> add, drop;
    for (const QAVOUSERSET *r : records) {
        const char *oldName = Empty(r->szOldName) ? nullptr : r->szOldName;
        const bool oldRes = IsBackupAccount(oldName), newRes = IsBackupAccount(r->szName);
        if (newRes && !oldRes) add.insert(r->szName);
        if (oldRes && !newRes) {
            drop.insert(oldName);
            drop.insert(r->szName);
        }
        if (oldRes && newRes && strcmp(oldName, r->szName) != 0) {
            drop.insert(oldName);
            add.insert(r->szName);
        }
    }
    if (add.empty() && drop.empty()) return 0;
    if (access(SZF_GROUP_TMP, F_OK) != 0 && !StageCopy(SZF_GROUP, SZF_GROUP_TMP)) return -1;
    slib::FilePtr in(fopen(SZF_GROUP_TMP, "re"));
    if (!in) return Fail(ERR_OPEN_FAILED);
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0)
        text.append(buf, n);
    in.reset();
    const std::string key = SZ_SMMSP_GROUP ":x:" + std::to_string(QAVO_SMMSP_GID) + ":";
    size_t pos = 0;
    while (pos < text.size() && strncasecmp(text.c_str() + pos, key.c_str(), key.size()) != 0) {
        size_t nl = text.find('\n', pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
    }
    if (pos >= text.size()) {
        SLIBLog(LOG_ERR, "qavouser %s(%d) : SLIBFileGetLine() failed", __func__, __LINE__);
        return Fail(ERR_NOT_FOUND);
    }
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    sdk::ListSpan span = sdk::GroupMembersSpan(line);
    std::vector<std::string> members;
    std::string_view list = std::string_view(line).substr(span.begin, span.end - span.begin);
    for (;;) {
        size_t c = list.find(',');
        std::string_view m = list.substr(0, c);
        bool keep = !m.empty() && !(m.size() == 6 && strncasecmp(m.data(), "nobody", 6) == 0);
        for (const std::string &d : drop)
            if (m.size() == d.size() && strncasecmp(m.data(), d.c_str(), m.size()) == 0)
                keep = false;
        if (keep) members.emplace_back(m);
        if (c == std::string_view::npos) break;
        list.remove_prefix(c + 1);
    }
    for (const std::string &a : add) {
        bool have = false;
        for (const std::string &m : members)
            have = have || strcasecmp(m.c_str(), a.c_str()) == 0;
        if (!have) members.push_back(a);
    }
    std::string joined = "nobody,";
    for (const std::string &m : members)
        joined += m + ',';
    joined += "nobody";
    line.replace(span.begin, span.end - span.begin, joined);
    text.replace(pos, eol - pos, line);
    slib::RewriteSet set;
    FILE *out = set.Open(SZF_GROUP, SZF_GROUP_TMP);
    if (!out || !slib::WriteAll(out, text)) return Fail(ERR_WRITE_FAILED);
    return set.Keep() ? 1 : -1;
}

// ---------------------------------------------------------------- AFP guest

// Prepares afpd.conf's copy with guest login switched: 1 ready, 0 nothing
// to switch (no copy), -1.
int StageGuestAfpd(bool noGuest) {
    if (access(SZF_AFPD_CONF, F_OK) != 0) {
        SLIBLog(LOG_ERR, "qavouser: SDKISetGuestAfpd(): %s not found!\n", SZF_AFPD_CONF);
        return Fail(ERR_MISSING_FILE);
    }
    unlink(SZF_AFPD_CONF_TMP);
    if (SLIBProcExecWait("/bin/cp", "-Rf", SZF_AFPD_CONF, SZF_AFPD_CONF_TMP, nullptr) != 0) {
        SLIBLog(LOG_ERR, "qavouser: SDKISetGuestAfpd(): /bin/cp -Rf %s %s failed!\n", SZF_AFPD_CONF,
                SZF_AFPD_CONF_TMP);
        unlink(SZF_AFPD_CONF_TMP);
        return -1;
    }
    std::string text;
    {
        slib::FilePtr in(fopen(SZF_AFPD_CONF_TMP, "re"));
        char buf[4096];
        size_t n;
        while (in && (n = fread(buf, 1, sizeof buf, in.get())) > 0)
            text.append(buf, n);
    }
    if (text.find("-uamlist") == std::string::npos) {
        unlink(SZF_AFPD_CONF_TMP);
        return 0;
    }
    int r = noGuest ? SLIBFileReplaceSubStr(SZF_AFPD_CONF_TMP, "uams_guest.so", "uams_noguest.so")
                    : SLIBFileReplaceSubStr(SZF_AFPD_CONF_TMP, "uams_noguest.so", "uams_guest.so");
    if (r < 0) {
        unlink(SZF_AFPD_CONF_TMP);
        return -1;
    }
    return 1;
}

// ---------------------------------------------------------------- network backup

const char kNbSrc[] = "sdk/qavouser";

// The server account's name for a user: admin's backups run as root.
const char *ServerName(const char *name) {
    return strcasecmp(name, "admin") == 0 ? "root" : name;
}

// The secret of a backup account: the one already stored when the password
// is the unchanged hash of a reserved account (looked up under the name as
// passed, then under the server account's name), else made from the plain
// password. 1 with secret set, 0 when an unchanged password has no stored
// secret (there is then no server account to keep in step), -1.
int BackupSecret(const char *oldName, const char *password, std::string &secret) {
    if (oldName && IsBackupAccount(oldName) && IsPasswdMD5Encrypt(password)) {
        for (const char *who : {oldName, ServerName(oldName)}) {
            std::string buf(256, '\0');
            int r;
            while ((r = QAVONetBackupGetServerPasswd(who, buf.data(),
                                                     static_cast<int>(buf.size()))) < 0 &&
                   SLIBErrGet() == ERR_BUF_TOO_SMALL)
                buf.resize(buf.size() * 2);
            if (r == 0) {
                secret = buf.c_str();
                return 1;
            }
        }
        SLIBLog(LOG_INFO, "%s %s(%d): no stored secret for [%s]", kNbSrc, __func__, __LINE__,
                oldName);
        return 0;
    }
    char crypted[64] = {};
    std::string hex(strlen(password) * 2 + 1, '\0');
    if (QAVONetBkpCryptPass(password, crypted, sizeof crypted) < 0 ||
        QAVOStrCryptHex(password, hex.data(), static_cast<int>(hex.size())) < 0)
        return -1;
    secret = std::string(crypted) + "|" + hex.c_str();
    return 1;
}

// Keeps the smmsp membership (when smmsp is set) and the server account of
// the reserved names in step with one user's change.
int AuthUserSet(const char *oldName, const char *newName, const char *password, bool smmsp) {
    if (!password) {
        SLIBLog(LOG_ERR, "%s %s(%d) : bad parameter!!", kNbSrc, "NetBackupAuthUserSet", __LINE__);
        return Fail(ERR_BAD_PARAMETERS);
    }
    if (Empty(oldName)) oldName = nullptr;
    if (Empty(newName)) newName = nullptr;
    const bool oldRes = IsBackupAccount(oldName), newRes = IsBackupAccount(newName);
    if (!oldRes && !newRes) return 0;
    std::string secret;
    int have = 1;
    if (newRes) {
        have = BackupSecret(oldName, password, secret);
        if (have < 0) return -1;
    }
    if (newRes && !oldRes) {
        if (smmsp && QAVOSmmspGroupSet(nullptr, newName, QAVO_SMMSP_ADD) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): add an auth user failed!!QAVOSmmspGroupSe()", kNbSrc,
                    "NetBackupAuthUserSet", __LINE__);
            return -1;
        }
        if (have && QAVONetBackupSetServerPasswd(nullptr, newName, secret.c_str(),
                                                 QAVO_NETBKP_ACCOUNT_ADD) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): QAVONetBackupSetServerPasswd() failed", kNbSrc,
                    "NetBackupAuthUserSet", __LINE__);
            return -1;
        }
    } else if (oldRes && !newRes) {
        if (smmsp && QAVOSmmspGroupSet(oldName, nullptr, QAVO_SMMSP_REMOVE) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): QAVOSmmspGroupSet() failed!!", kNbSrc,
                    "NetBackupAuthUserSet", __LINE__);
            return -1;
        }
        if (QAVONetBackupSetServerPasswd(oldName, nullptr, nullptr, QAVO_NETBKP_ACCOUNT_DELETE) <
            0) {
            SLIBLog(LOG_ERR, "%s %s(%d): QAVONetBackupDelServerPasswd() failed", kNbSrc,
                    "NetBackupAuthUserSet", __LINE__);
            return -1;
        }
    } else {
        if (smmsp && strcmp(oldName, newName) != 0 &&
            QAVOSmmspGroupSet(oldName, newName, QAVO_SMMSP_RENAME) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): QAVOSmmspGroupSet() failed", kNbSrc,
                    "NetBackupAuthUserSet", __LINE__);
            return -1;
        }
        if (have && QAVONetBackupSetServerPasswd(ServerName(oldName), ServerName(newName),
                                                 secret.c_str(), QAVO_NETBKP_ACCOUNT_SET) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): QAVONetBackupSetServerPasswd() failed", kNbSrc,
                    "NetBackupAuthUserSet", __LINE__);
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- transaction

struct Transaction {
    HashPtr existing, added, changed, renames, passwords, spelled;
    std::vector<const QAVOUSERSET *> records;  // those with a name, in order
    bool stagedMail = false, stagedHt = false, stagedAfpd = false;
    const sdk::StoredHashes *stored = nullptr;  // hashes kept from before, or none
    // New users take their uids in the order of the records, rather than
    // in the enumeration order of the new-users hash.
    bool recordOrder = false;

    void RemoveCopies() {
        SDKIRemoveTmpFiles();
        if (stagedMail) unlink(kMailTmp);
        if (stagedHt) unlink(kHtpasswdTmp);
        if (stagedAfpd) unlink(SZF_AFPD_CONF_TMP);
    }
};

int Set(HashPtr &h, const char *name, const char *value) {
    PSLIBSZHASH p = h.release();
    int r = SDKIUserHashSet(&p, name, value);
    h.reset(p);
    return r;
}

int SetPtr(HashPtr &h, const char *name, const QAVOUSERSET *rec) {
    PSLIBSZHASH p = h.release();
    int r = SDKISetUserPtr(&p, name, rec);
    h.reset(p);
    return r;
}

// Steps that classify the records: 0, a failure result, or -1.
int Classify(Transaction &t, PQAVOUSERSET records, int count, PSLIBSZLIST *failed) {
    int kind = 0;
    SLIBERRCODE kindCode = 0;
    auto failure = [&](int k, SLIBERRCODE code, const char *name) {
        if (kind == 0) {
            kind = k;
            kindCode = code;
        }
        if (k == kind) return SLIBSzListPush(failed, name) < 0 ? -1 : 0;
        return 0;
    };
    // A name refused, logged and noted.
    auto badName = [&](int i, const QAVOUSERSET &r) {
        SLIBLog(LOG_ERR,
                "qavouser: QAVOUserSet(): Bad parameter; [i] = [%d], type = [%d], szName = [%s]", i,
                r.nType, r.szName);
        return failure(QAVO_USERSET_BAD_NAME, ERR_BAD_USER, r.szName);
    };
    // 1 when the user exists, 0 when not, -1 (logged) when it cannot be told.
    auto exists = [&](const char *name) {
        int e = SDKICheckUserExist(t.existing.get(), name);
        if (e < 0)
            SLIBLog(LOG_ERR,
                    "qavouser: QAVOUserSet(): SDKICheckUserExist() returned -1; [user name] = [%s]",
                    name);
        return e;
    };
    for (int i = 0; i < count; ++i) {
        const QAVOUSERSET &r = records[i];
        if (Empty(r.szName)) continue;
        t.records.push_back(&r);
        if (!BlSLIBIsUserName(r.szName)) {
            if (badName(i, r) < 0) return -1;
            continue;
        }
        const bool isNew = Empty(r.szOldName);
        int cmp = isNew ? 1 : SLIBUnicodeUTF8StrCaseCmp(r.szOldName, r.szName);
        if (cmp == -2) {
            SLIBLog(
                LOG_ERR,
                "qavouser: QAVOUserSet(): SLIBUnicodeUTF8StrCaseCmp() returned -2; szName = [%s]\n",
                r.szName);
            return -1;
        }
        // The file server splits the names of a share's user lists at
        // blanks as well as at commas: a user called "a b" would stand in
        // them for the users "a" and "b". So no new name holds a blank (an
        // account that has one already keeps it).
        if (cmp != 0 && strchr(r.szName, ' ') != nullptr) {
            if (badName(i, r) < 0) return -1;
            continue;
        }
        if (cmp != 0) {
            int e = exists(r.szName);
            if (e < 0) return -1;
            if (e == 1) {
                SLIBLog(LOG_ERR, "qavouser: QAVOUserSet(): user [%s] exists", r.szName);
                if (failure(QAVO_USERSET_EXISTS, ERR_USER_EXISTS, r.szName) < 0) return -1;
                continue;
            }
        }
        if (!isNew) {
            int e = exists(r.szOldName);
            if (e < 0) return -1;
            if (e == 0) {
                SLIBLog(LOG_ERR, "qavouser: QAVOUserSet(): user [%s] does not exist", r.szOldName);
                if (failure(QAVO_USERSET_NO_SUCH, ERR_NO_SUCH_USER, r.szOldName) < 0) return -1;
                continue;
            }
        }
        if (kind != 0) continue;
        if (isNew) {
            if (SetPtr(t.added, r.szName, &r) < 0) {
                SLIBLog(LOG_ERR,
                        "qavouser: QAVOUserSet(): SDKISetUserPtr() failed; [user name] = [%s]\n",
                        r.szName);
                return -1;
            }
        } else {
            if (SetPtr(t.changed, r.szOldName, &r) < 0) {
                SLIBLog(LOG_ERR,
                        "qavouser: QAVOUserSet(): SDKISetUserPtr() failed; [user name] = [%s]\n",
                        r.szOldName);
                return -1;
            }
            if (Set(t.renames, r.szOldName, r.szName) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): SDKIUserHashSet() failed", __FILE__, __LINE__);
                return -1;
            }
        }
    }
    if (SLIBSzHashCount(t.added.get()) == 0 && SLIBSzHashCount(t.changed.get()) == 0 && kind == 0) {
        SLIBLog(LOG_ERR, "qavouser: QAVOUserSet(): no one is allowed to set");
        return -1;
    }
    if (kind != 0) {
        SLIBErrSet(kindCode);
        return kind;
    }
    return 0;
}

// A changed user's new name that is also added, or that two changed users
// both take: -5 with the upper-cased old names listed.
int CheckCrossDupName(Transaction &t, PSLIBSZLIST *failed) {
    SLIBSzListRemoveAll(*failed);
    std::vector<PQAVOUSERSET> changed;
    if (!HashRecords(t.changed.get(), changed)) {
        SLIBLog(LOG_ERR, "%s(%d): SDKICheckCrossDupName() failed", __FILE__, __LINE__);
        return -1;
    }
    // New name -> the old name of the first changed user taking it, and
    // whether that one is listed already.
    std::map<std::string, std::pair<std::string, bool>> taken;
    for (const QAVOUSERSET *r : changed) {
        auto up = sdk::UpperName(r->szName);
        auto oldUp = sdk::UpperName(r->szOldName);
        if (!up || !oldUp) return -1;
        auto [it, first] = taken.try_emplace(*up, *oldUp, false);
        bool clash = SDKIUserHashGet(t.added.get(), r->szName) != nullptr;
        if (!first) {
            clash = true;
            if (!it->second.second && SLIBSzListPush(failed, it->second.first.c_str()) < 0)
                return -1;
            it->second.second = true;
        }
        if (clash && SLIBSzListPush(failed, oldUp->c_str()) < 0) return -1;
        if (clash && first) it->second.second = true;
    }
    if ((*failed)->nItem > 0) {
        SLIBErrSet(ERR_NAME_CLASH);
        return QAVO_USERSET_NAME_CLASH;
    }
    return 0;
}

int CheckUserLimit(const Transaction &t) {
    const int numNew = SLIBSzHashCount(t.added.get());
    if (numNew == 0) return 0;  // changes never count against the limit
    const int current = QAVOUserTotalNum(7);
    char value[33] = {};
    int r = SLIBFileGetKeyValue(SZF_QAVOINFO_DEFAULTS, "maxaccounts", value, sizeof value, 0);
    long long limit = current;
    if (r > 0 && value[0] && !ParseDecimal(value, INT_MAX, limit)) limit = -1;
    if (current < 0 || r < 0 || limit < current) {
        SLIBLog(LOG_ERR, "qavouser: QAVOUserSet(): SDKIGetUserLimit() returned < 0");
        return -1;
    }
    if (numNew > limit - current) {
        SLIBLog(LOG_ERR, "qavouser: QAVOUserSet():  numNew > numAllowedNewUsers");
        SLIBErrSet(ERR_NO_FREE_UID);
        return QAVO_USERSET_LIMIT;
    }
    return 0;
}

// The mail file's copy with the batch's addresses. A changed user whose
// name is spelled anew loses the entry under the name as passwd spelled it
// (the caller may have typed the old name in another case), so no entry is
// left behind for a later user of that name.
int StageMail(Transaction &t) {
    auto stored = [&](const QAVOUSERSET *r) -> const char * {
        if (Empty(r->szOldName)) return nullptr;
        const char *s = SDKIUserHashGet(t.spelled.get(), r->szOldName);
        return s ? s : r->szOldName;
    };
    bool any = false;
    for (const QAVOUSERSET *r : t.records) {
        const char *old = stored(r);
        any = any || r->szMail || (old && strcmp(old, r->szName) != 0);
    }
    if (!any) return 0;
    if (!StageCopy(kMailFile, kMailTmp)) return -1;
    t.stagedMail = true;
    for (const QAVOUSERSET *r : t.records) {
        const char *old = stored(r);
        if (old && strcmp(old, r->szName) != 0 && access(kMailTmp, F_OK) == 0 &&
            SLIBFileRemoveKey(kMailTmp, old) < 0) {
            SLIBLog(LOG_ERR, "%s(%d): Remove [%s] Mail failed", __FILE__, __LINE__, old);
            return -1;
        }
        if (r->szMail && SLIBFileSetKeyValue(kMailTmp, r->szName, r->szMail, kMailFormat) < 0) {
            SLIBLog(LOG_ERR, "%s(%d): Set [%s] Mail[%s] failed", __FILE__, __LINE__, r->szName,
                    r->szMail);
            return -1;
        }
    }
    return 1;
}

// The web administration password's copy when admin's password changed.
int StageHtpasswd(Transaction &t) {
    PQAVOUSERSET admin = nullptr;
    if (SDKIGetUserPtr(t.changed.get(), "admin", &admin) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): SDKIGetUserPtr() failed", __FILE__, __LINE__);
        return 0;
    }
    const char *hash = admin ? SDKIUserHashGet(t.passwords.get(), admin->szName) : nullptr;
    if (!hash) return 0;
    if (!StageCopy(SZF_HTPASSWD, kHtpasswdTmp)) return -1;
    t.stagedHt = true;
    const std::string line = std::string("admin:") + hash;
    // "admin:" exactly, so that a user such as "administrator" is left alone.
    int r = SLIBFileSetLine(kHtpasswdTmp, "admin:", line.c_str(), SLIB_LINE_PREFIX);
    if (r == 0) r = SLIBFileAddLine(kHtpasswdTmp, nullptr, line.c_str(), SLIB_LINE_INSERT_AFTER);
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s(%d): SLIBFileSetLine() write %s failed\n", __FILE__, __LINE__,
                SZF_HTPASSWD);
        return -1;
    }
    return 1;
}

int StageGuest(Transaction &t) {
    PQAVOUSERSET guest = nullptr;
    if (SDKIGetUserPtr(t.changed.get(), "guest", &guest) != 1 ||
        !SDKIUserHashGet(t.passwords.get(), guest->szName))
        return 0;
    int r = StageGuestAfpd(guest->szPasswd[0] != '\0');
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s(%d) SDKISetGuestAfpd failed\n", __FILE__, __LINE__);
        return -1;
    }
    t.stagedAfpd = r == 1;
    return r;
}

// The new users in the order they are appended: the records' or the
// new-users hash's; false when the records and the hash disagree.
bool NewUsersInOrder(const Transaction &t, sdk::NewUsers &out) {
    if (t.recordOrder) {
        for (const QAVOUSERSET *r : t.records)
            if (Empty(r->szOldName)) out.push_back(r);
        if (static_cast<int>(out.size()) == SLIBSzHashCount(t.added.get())) return true;
        SLIBLog(LOG_ERR, "%s(%d): internal error: mismatch in new users", __FILE__, __LINE__);
        return Fail(ERR_NOT_FOUND), false;
    }
    std::vector<PQAVOUSERSET> enumerated;
    if (!HashRecords(t.added.get(), enumerated)) return false;
    out.assign(enumerated.begin(), enumerated.end());
    return true;
}

int RunTransaction(Transaction &t, PQAVOUSERSET records, int count, PSLIBSZLIST *failed) {
    for (HashPtr *h : {&t.existing, &t.added, &t.changed, &t.renames, &t.passwords, &t.spelled}) {
        h->reset(PshSLIBSzHashAlloc(1024));
        if (!*h) return Fail(ERR_OUT_OF_MEMORY);
    }
    {
        PSLIBSZHASH p = t.existing.release(), q = t.spelled.release();
        int r = GetPwdInfo(&p, &q);
        t.existing.reset(p);
        t.spelled.reset(q);
        if (r < 0) {
            SLIBLog(LOG_ERR, "%s(%d): SDKIGetPwdInfo() failed", __FILE__, __LINE__);
            return -1;
        }
    }
    int r = Classify(t, records, count, failed);
    if (r != 0) return r;
    r = CheckCrossDupName(t, failed);
    if (r != 0) return r;
    r = CheckUserLimit(t);
    if (r != 0) return r;

    sdk::NewUsers added;
    if (!NewUsersInOrder(t, added)) {
        SLIBLog(LOG_ERR, "%s(%d): write passwd failed", __FILE__, __LINE__);
        return -1;
    }
    PSLIBSZHASH p = t.existing.release();
    r = ModifyPasswd(t.changed.get(), added, &p);
    t.existing.reset(p);
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s(%d): write passwd failed", __FILE__, __LINE__);
        return -1;
    }
    p = t.passwords.release();
    r = sdk::ModifyShadow(t.changed.get(), t.added.get(), &p, t.stored, &added);
    t.passwords.reset(p);
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s(%d): write shadow failed", __FILE__, __LINE__);
        return -1;
    }
    if (sdk::ModifySmbpasswd(t.changed.get(), t.added.get(), t.passwords.get(), t.existing.get(),
                             t.stored, &added) < 0) {
        SLIBLog(LOG_ERR, "%s(%d): write smbpasswd failed", __FILE__, __LINE__);
        return -1;
    }
    if (SLIBSzHashCount(t.changed.get()) > 0) {
        if (SDKIModifyGroup(t.renames.get()) < 0) {
            SLIBLog(LOG_ERR, "qavouser: QAVOUserSet(): SDKIModifyGroup() returned -1");
            return -1;
        }
        if (SDKIModifySmbConf(t.renames.get()) < 0) {
            SLIBLog(LOG_ERR, "qavouser: QAVOUserSet(): SDKIModifySmbConf() returned -1");
            return -1;
        }
    }
    if (StageSmmsp(t.records) < 0) {
        SLIBLog(LOG_ERR, "qavouser %s(%d): add an auth user failed!!QAVOSmmspGroupSe()", __func__,
                __LINE__);
        return -1;
    }
    if (StageMail(t) < 0 || StageHtpasswd(t) < 0 || StageGuest(t) < 0) return -1;

    std::vector<std::pair<std::string, std::string>> copies = AccountCopies();
    if (t.stagedMail) copies.emplace_back(kMailTmp, kMailFile);
    if (t.stagedHt) copies.emplace_back(kHtpasswdTmp, SZF_HTPASSWD);
    if (t.stagedAfpd) copies.emplace_back(SZF_AFPD_CONF_TMP, SZF_AFPD_CONF);
    if (!slib::RewriteSet::CommitKept(copies, ERR_RENAME_FAILED)) {
        SLIBLog(LOG_ERR, "qavouser: QAVOUserSet(): SDKIRenameTmpFiles() returned -1");
        return -1;
    }
    // The backup server's accounts follow the committed files (their smmsp
    // membership went in with the group file).
    int result = 0;
    for (const QAVOUSERSET *r : t.records)
        if (AuthUserSet(r->szOldName, r->szName, r->szPasswd, false) < 0) {
            SLIBLog(LOG_ERR, "%s %s(%d): NetBackupAuthUserSet() failed!!", kNbSrc,
                    "QAVOUserSetLocal", __LINE__);
            result = -1;
        }
    return result;
}

}  // namespace

// ---------------------------------------------------------------- interface

extern "C" int NetBackupAuthUserSet(const char *oldName, const char *newName,
                                    const char *password) {
    try {
        return AuthUserSet(oldName, newName, password, true);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SDKICheckUserExist(PSLIBSZHASH hash, const char *name) {
    if (!hash || !name) {
        SLIBLog(LOG_ERR, "qavouser: SDKICheckUserExist(): Bad parameters\n");
        return Fail(ERR_BAD_PARAMETERS);
    }
    return SDKIUserHashGet(hash, name) ? 1 : 0;
}

extern "C" int SDKIGetUserPasswd(char *line, struct passwd *record) {
    if (!line || !record) return Fail(ERR_BAD_PARAMETERS);
    size_t len = strlen(line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        line[--len] = '\0';
    // Seven fields; the shell ends at a further ':' if there is one.
    char *f[7];
    int n = 0;
    for (char *cursor = line; cursor && n < 7; ++n) {
        f[n] = cursor;
        char *colon = strchr(cursor, ':');
        if (colon) *colon = '\0';
        cursor = colon ? colon + 1 : nullptr;
    }
    long long uid = -1, gid = -1;
    const bool ok = n == 7 && ParseDecimal(f[2], UINT32_MAX - 1, uid) &&
                    ParseDecimal(f[3], UINT32_MAX - 1, gid) &&
                    (strcmp(f[0], "root") != 0 || uid == 0);
    if (!ok) {
        SLIBLog(LOG_ERR,
                "qavouser: SDKIGetUserPasswd(): master.passwd corrupt; [user name] = [%s]\n", line);
        return Fail(ERR_SYSTEM_CALL);
    }
    record->pw_name = f[0];
    record->pw_passwd = f[1];
    record->pw_uid = static_cast<uid_t>(uid);
    record->pw_gid = static_cast<gid_t>(gid);
    record->pw_gecos = f[4];
    record->pw_dir = f[5];
    record->pw_shell = f[6];
    return 0;
}

extern "C" int USERGetUid(void) {
    char value[64] = {};
    long long uid = kFirstUid;
    // A counter outside the range of local uids (damaged, or written by
    // someone else) starts the search afresh: never a system uid, never one
    // past the range.
    if (SLIBFileGetKeyValue(SZF_CUR_UID, "UID", value, sizeof value, 0) > 0) {
        long long v;
        if (ParseDecimal(value, INT_MAX, v) && v >= kFirstUid && v <= kLastUid) uid = v;
    }
    for (int tries = 0; tries < kLastUid - kFirstUid + 1; ++tries) {
        uid = uid + 1 > kLastUid ? kFirstUid : uid + 1;
        errno = 0;
        if (getpwuid(static_cast<uid_t>(uid))) continue;
        const std::string text = std::to_string(uid);
        if (SLIBFileSetKeyValue(SZF_CUR_UID, "UID", text.c_str(), "%s=%s\n") < 0) return -1;
        return static_cast<int>(uid);
    }
    SLIBLog(LOG_ERR, "(%d) Out of UID, counts=%d\n", __LINE__, kLastUid - kFirstUid + 1);
    return Fail(ERR_NO_FREE_UID);
}

extern "C" int SDKIModifyUserList(PSLIBSZHASH names, const char *file, const char *tmp) {
    if (!names || !file || !tmp) {
        SLIBLog(LOG_ERR, "qavouser: SDKIModifySmbConf(): Bad arguments: [pshDelUser] == [%p]\n",
                static_cast<void *>(names));
        return Fail(ERR_BAD_PARAMETERS);
    }
    // A share configuration without its file has no lists to edit.
    if (access(file, F_OK) != 0 && errno == ENOENT) return 0;
    const bool smb = strcmp(file, SZF_SMBCONF) == 0;
    try {
        return sdk::EditListFile(
            file, tmp,
            [smb](std::string_view line) {
                // A single member is a member list all the same.
                return smb ? sdk::ShareListSpan(line) : sdk::GroupMembersSpan(line);
            },
            [names](std::string_view item) -> std::optional<std::string> {
                // Group items ("@group") never name a user.
                if (item.empty() || item[0] == '@') return std::nullopt;
                const char *v = SDKIUserHashGet(names, std::string(item).c_str());
                if (!v) return std::nullopt;
                return std::string(v);
            });
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SDKIModifySmbConf(PSLIBSZHASH names) {
    return SDKIModifyUserList(names, SZF_SMBCONF, SZF_SMBCONF_TMP);
}

extern "C" int SDKIModifyGroup(PSLIBSZHASH names) {
    return SDKIModifyUserList(names, SZF_GROUP, SZF_GROUP_TMP);
}

extern "C" int SDKIRemoveTmpFiles(void) {
    static const char *const kMessages[] = {
        "qavouser: SDKIRemoveTmpFiles(): remove(SZF_SMBCONF_TMP) failed\n",
        "qavouser: SDKIRemoveTmpFiles(): remove(SZF_SMBPASSWD_TMP) failed\n",
        "qavouser: SDKIRemoveTmpFiles(): remove(SZF_GROUP_TMP) failed\n",
        "qavouser: SDKIRemoveTmpFiles(): remove(SZF_PASSWD_TMP) failed\n",
        "qavouser: SDKIRemoveTmpFiles(): remove(SZF_PASSWD_TMP) failed\n",
    };
    int result = 1;
    const auto &copies = AccountCopies();
    for (size_t i = 0; i < copies.size(); ++i) {
        const char *tmp = copies[i].first.c_str();
        if (unlink(tmp) == 0 || errno == ENOENT) continue;
        SLIBLog(LOG_ERR, "%s", kMessages[i]);
        SLIBErrSet(ERR_WRITE_FAILED);
        result = -1;
    }
    return result;
}

extern "C" int SDKIRenameTmpFiles(void) {
    return slib::RewriteSet::CommitKept(AccountCopies(), ERR_RENAME_FAILED) ? 1 : -1;
}

extern "C" int SDKISetGuestAfpd(int noGuest) {
    int r = StageGuestAfpd(noGuest != 0);
    if (r <= 0) return r;
    if (!slib::RewriteSet::CommitKept({{SZF_AFPD_CONF_TMP, SZF_AFPD_CONF}})) return -1;
    return 1;
}

namespace {

int SetLocal(PQAVOUSERSET records, int count, PSLIBSZLIST *failed, const sdk::StoredHashes *stored,
             bool recordOrder) {
    if (!records || count <= 0 || !failed || !*failed) return Fail(ERR_BAD_PARAMETERS);
    // Texts that would break a line of the account or mail files, and
    // records without a password, are refused before anything is read.
    for (int i = 0; i < count; ++i) {
        const QAVOUSERSET &r = records[i];
        if (Empty(r.szName)) continue;
        if (!r.szPasswd || (r.szDesc && !PlainValue(r.szDesc)) ||
            (r.szMail && !PlainValue(r.szMail)))
            return Fail(ERR_BAD_PARAMETERS);
    }
    SLIBSzListRemoveAll(*failed);
    if (ErrSLIBFileLock(kLockMask | SLIB_LOCK_EX, kLockTimeout) != 0) {
        SLIBLog(LOG_ERR, "%s(%d): lock file failed", __FILE__, __LINE__);
        return -1;
    }
    int result;
    {
        Transaction t;
        t.stored = stored;
        t.recordOrder = recordOrder;
        try {
            result = RunTransaction(t, records, count, failed);
        } catch (const std::bad_alloc &) {
            result = Fail(ERR_OUT_OF_MEMORY);
        }
        if (result != 0) t.RemoveCopies();
    }
    if (SLIBErrSLIBFileUnlock(kLockMask) != 0) return QAVO_USERSET_UNLOCK;
    return result;
}

int SetUsers(int type, PQAVOUSERSET records, int count, const sdk::StoredHashes *stored,
             bool recordOrder) {
    if (type != 1 || !records || count < 1) return Fail(ERR_BAD_PARAMETERS);
    slib::SzListPtr failed(PslSLIBSzListAlloc(1024));
    if (!failed) return Fail(ERR_OUT_OF_MEMORY);
    PSLIBSZLIST l = failed.release();
    int r = SetLocal(records, count, &l, stored, recordOrder);
    failed.reset(l);
    // Nothing of a failed batch was applied: never report part of it done.
    if (r != 0) return -1;
    if (slib::DefaultIsYes("support_download", 4, true))
        qsvc::SignalPidFile("/var/run/scheduler.pid", SIGUSR1);
    return count;
}

}  // namespace

extern "C" int QAVOUserSetLocal(PQAVOUSERSET records, int count, PSLIBSZLIST *failed) {
    return SetLocal(records, count, failed, nullptr, false);
}

extern "C" int QAVOUserSet(int type, PQAVOUSERSET records, int count) {
    return SetUsers(type, records, count, nullptr, false);
}

int sdk::UserSetWithHashes(PQAVOUSERSET records, int count, const StoredHashes &hashes) {
    return SetUsers(1, records, count, &hashes, true);
}
