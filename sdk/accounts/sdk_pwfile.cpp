// The shadow and SMB password files of an account transaction: each is
// copied to its temporary file with the changed users' lines rewritten, the
// stale lines of the names it writes dropped and the new users' lines
// appended. The transaction renames the copies at its
// end, or removes them when any of its steps fails.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "slib_errcode.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_util.h"
#include "stored_hashes.h"

namespace {

using slib::FilePtr;

const char kNewFlags[] = "[U          ]";

// A line's fields between ':', the last one with the line end.
std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> out;
    for (;;) {
        size_t colon = line.find(':');
        out.push_back(line.substr(0, colon));
        if (colon == std::string_view::npos) return out;
        line.remove_prefix(colon + 1);
    }
}

// Text that can stand in a field of an account file: no ':' and no line break.
bool FieldSafe(const char *s) {
    return s && !strchr(s, ':') && slib::OneLine(s);
}

// Flushes and syncs a finished copy and leaves it for the transaction's
// rename; each failure logs its own message.
bool Finish(slib::RewriteSet &set, FILE *fp) {
    if (fflush(fp) != 0) {
        SLIB_LOG(LOG_ERR, "%s(%d): fflush fail");
        slib::Fail(ERR_WRITE_FAILED);
        return false;
    }
    if (fsync(fileno(fp)) != 0) {
        SLIB_LOG(LOG_ERR, "%s(%d): fsync fail");
        slib::Fail(ERR_WRITE_FAILED);
        return false;
    }
    if (!set.Keep()) {
        SLIB_LOG(LOG_ERR, "%s(%d): QAVOFClose fail");
        return false;
    }
    return true;
}

// The records of a user hash in its enumeration order; false (logged) when
// the hash and its keys disagree.
bool Records(PSLIBSZHASH hash, std::vector<PQAVOUSERSET> &records) {
    slib::SzListPtr keys(PslSLIBSzListAlloc(1024));
    if (!keys) {
        SLIB_LOG(LOG_ERR, "%s(%d): allocate memory failed");
        slib::Fail(ERR_OUT_OF_MEMORY);
        return false;
    }
    PSLIBSZLIST list = keys.release();
    int n = SLIBSzHashEnumKey(hash, &list);
    keys.reset(list);
    if (n < 0) {
        SLIB_LOG(LOG_ERR, "%s(%d): allocate memory failed");
        return false;
    }
    for (int i = 0; i < keys->nItem; ++i) {
        PQAVOUSERSET rec = nullptr;
        int found = SDKIGetUserPtr(hash, keys->pszItem[i], &rec);
        if (found < 0) {
            SLIB_LOG(LOG_ERR, "%s(%d): SDKIGetUserPtr failed");
            return false;
        }
        if (found == 0 || !rec) {
            SLIB_LOG(LOG_ERR, "%s(%d): internal error: mismatch in hash and list");
            slib::Fail(ERR_NOT_FOUND);
            return false;
        }
        records.push_back(rec);
    }
    return true;
}

// A record that can be written: a name fit for a field and a password.
bool Writable(const QAVOUSERSET *rec) {
    if (FieldSafe(rec->szName) && *rec->szName && rec->szPasswd) return true;
    SLIB_LOG(LOG_ERR, "%s(%d): parameter error");
    slib::Fail(ERR_BAD_PARAMETERS);
    return false;
}

// Reads the next whole line of a stream; false at the end or on a failure
// (told apart by ReadFailed).
bool NextLine(FILE *in, std::string &line) {
    size_t len = 0;
    char *p = fgetln(in, &len);
    if (!p) return false;
    line.assign(p, len);
    return true;
}

bool ReadFailed(FILE *in) {
    if (ferror(in) || !feof(in)) {
        SLIBErrSet(ERR_READ_FAILED);
        return true;
    }
    return false;
}

// Which changed record a line of an account file stands for: 1 with the
// line's fields and the record, 0 when the line is copied as it stands (a
// comment, an empty line, nothing changed, a user not changed), -1 (logged)
// when the line has not count fields or the lookup fails.
int ChangedLine(PSLIBSZHASH changed, bool anyChanged, const std::string &line, size_t count,
                const char *corrupted, std::vector<std::string_view> &f, PQAVOUSERSET &rec) {
    if (!anyChanged || line[0] == '#' || line[0] == '\n') return 0;
    f = Fields(line);
    if (f.size() != count) {
        SLIB_LOG(LOG_ERR, "%s(%d): %s", corrupted);
        return slib::Fail(ERR_FIELD_COUNT);
    }
    int found = SDKIGetUserPtr(changed, std::string(f[0]).c_str(), &rec);
    if (found < 0) {
        SLIB_LOG(LOG_ERR, "%s(%d): SDKIGetUserPtr failed");
        return -1;
    }
    return found == 0 ? 0 : 1;
}

std::string Lct() {
    char buf[16];
    snprintf(buf, sizeof buf, "LCT-%08X", static_cast<unsigned>(time(nullptr)));
    return buf;
}

// The names the transaction writes lines for (the new users and the new
// names of the changed ones), upper-cased as the user hashes keep them; null
// (logged) on a failure.
slib::SzHashPtr WrittenNames(PSLIBSZHASH changed, PSLIBSZHASH added) {
    std::vector<PQAVOUSERSET> records;
    if (!Records(changed, records) || !Records(added, records)) return nullptr;
    slib::SzHashPtr names(PshSLIBSzHashAlloc(1024));
    if (!names) {
        SLIB_LOG(LOG_ERR, "%s(%d): allocate memory failed");
        slib::Fail(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    PSLIBSZHASH h = names.release();
    bool ok = true;
    for (const QAVOUSERSET *rec : records)
        if (rec->szName && SDKIUserHashSet(&h, rec->szName, "") < 0) ok = false;
    names.reset(h);
    if (!ok) {
        SLIB_LOG(LOG_ERR, "%s(%d): SDKIUserHashSet() failed");
        return nullptr;
    }
    return names;
}

// A line left behind by an account that no longer exists, named like a
// user the transaction writes: kept, it would stand before that user's own
// line and its stale password would be the one that counts.
bool StaleLine(PSLIBSZHASH written, const std::string &line) {
    if (line[0] == '#' || line[0] == '\n') return false;
    const std::string name = line.substr(0, line.find(':'));
    return SDKIUserHashGet(written, name.c_str()) != nullptr;
}

// Copies an account file's lines to out, each line of a changed user
// (count fields) replaced by the text rewrite makes of it (false: failed,
// logged), and every other line of a name in written dropped; 1 when a line
// was replaced, 0 when none, -1 (logged) on a failure.
template <typename F>
int RewriteChanged(FILE *in, slib::LineOut &out, PSLIBSZHASH changed, PSLIBSZHASH written,
                   size_t count, const char *corrupted, const char *writeFailed, F &&rewrite) {
    const bool anyChanged = SLIBSzHashCount(changed) > 0;
    int result = 0;
    std::string line, text;
    while (NextLine(in, line)) {
        PQAVOUSERSET rec = nullptr;
        std::vector<std::string_view> f;
        const int match = ChangedLine(changed, anyChanged, line, count, corrupted, f, rec);
        if (match < 0) return -1;
        if (match == 0 && StaleLine(written, line)) {
            SLIB_LOG(LOG_ERR, "%s(%d): stale entry dropped: %.*s",
                     static_cast<int>(line.find(':') == std::string::npos ? line.size()
                                                                          : line.find(':')),
                     line.c_str());
            continue;
        }
        if (match > 0) {
            if (!Writable(rec)) return -1;
            if (!rewrite(rec, f, text)) return -1;
        }
        if (!out.Put(match > 0 ? text : line)) {
            SLIB_LOG(LOG_ERR, "%s(%d): %s", writeFailed);
            return slib::Fail(ERR_WRITE_FAILED);
        }
        if (match > 0) result = 1;
    }
    if (ReadFailed(in)) return -1;
    return result;
}

// Appends a line for each user of added, in the order of order (null: the
// hash's enumeration order), the text make gives (false: failed, logged); 1
// when a line was added, 0 when none, -1 (logged) on a failure.
template <typename F>
int AppendAdded(PSLIBSZHASH added, const sdk::NewUsers *order, slib::LineOut &out,
                const char *writeFailed, F &&make) {
    sdk::NewUsers records;
    if (order) {
        records = *order;
    } else {
        std::vector<PQAVOUSERSET> enumerated;
        if (!Records(added, enumerated)) return -1;
        records.assign(enumerated.begin(), enumerated.end());
    }
    std::string text;
    for (const QAVOUSERSET *rec : records) {
        if (!Writable(rec)) return -1;
        if (!make(rec, text)) return -1;
        if (!out.NewLine(text)) {
            SLIB_LOG(LOG_ERR, "%s(%d): %s", writeFailed);
            return slib::Fail(ERR_WRITE_FAILED);
        }
    }
    return records.empty() ? 0 : 1;
}

// ---- shadow ----

// The hash a new password gives a user's shadow line: its stored hash when
// it has one, else the password's crypt; null (logged) on failure.
const char *ShadowHash(const QAVOUSERSET *rec, const sdk::StoredHashes *stored) {
    if (stored) {
        auto it = stored->find(rec->szName);
        if (it != stored->end()) return it->second.shadow.c_str();
    }
    return SDKIPwdCrypt(rec->szPasswd, "");
}

int ModifyShadowFile(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH *newPasswords,
                     const sdk::StoredHashes *stored, const sdk::NewUsers *order) {
    SLIBSzHashRemoveAll(*newPasswords);
    FilePtr in(fopen(SZF_SHADOW, "re"));
    if (!in) return slib::Fail(ERR_OPEN_FAILED);
    slib::RewriteSet set;
    FILE *fp = set.Open(SZF_SHADOW, SZF_SHADOW_TMP);
    if (!fp) return slib::Fail(ERR_OPEN_FAILED);
    slib::LineOut out(fp);
    const long today = static_cast<long>(time(nullptr) / 86400);
    const slib::SzHashPtr written = WrittenNames(changed, added);
    if (!written) return -1;
    int result = RewriteChanged(
        in.get(), out, changed, written.get(), 9, "shadow file corrupted", "writing shadow failed",
        [&](const QAVOUSERSET *rec, const std::vector<std::string_view> &f, std::string &text) {
            std::string hash(f[1]);
            if (hash != rec->szPasswd) {
                const char *crypted = ShadowHash(rec, stored);
                if (!crypted) return false;
                hash = crypted;
                if (SDKIUserHashSet(newPasswords, rec->szName, hash.c_str()) < 0) {
                    SLIB_LOG(LOG_ERR, "%s(%d): SDKIUserHashSet() failed");
                    return false;
                }
            }
            text = std::string(rec->szName) + ':' + hash + ':' + std::to_string(today);
            for (int i = 3; i <= 6; ++i)
                text.append(":").append(f[i]);
            text += ':';
            if (rec->nExpire > 0) text += std::to_string(rec->nExpire);
            text.append(":").append(f[8]);
            return true;
        });
    if (result < 0) return -1;
    const int appended = AppendAdded(added, order, out, "writing SZF_PASSWD failed",
                                     [&](const QAVOUSERSET *rec, std::string &text) {
                                         const char *crypted = ShadowHash(rec, stored);
                                         if (!crypted) return false;
                                         text = std::string(rec->szName) + ':' + crypted + ':' +
                                                std::to_string(today) + ":0:99999:7::";
                                         if (rec->nExpire > 0) text += std::to_string(rec->nExpire);
                                         text += ":\n";
                                         return true;
                                     });
    if (appended < 0) return -1;
    if (!Finish(set, fp)) return -1;
    return result | appended;
}

// ---- smbpasswd ----

// A user's stored hashes, or null.
const sdk::StoredHash *Stored(const QAVOUSERSET *rec, const sdk::StoredHashes *stored) {
    if (!stored) return nullptr;
    auto it = stored->find(rec->szName);
    return it == stored->end() ? nullptr : &it->second;
}

// "name:uid:LM:NT:flags:LCT:" with the hashes of a new password (the stored
// ones when the user has them).
bool NewHashLine(const QAVOUSERSET *rec, std::string_view uid, std::string &text,
                 const sdk::StoredHash *kept) {
    char lm[SDKI_PWHASH_HEX_SIZE], nt[SDKI_PWHASH_HEX_SIZE];
    if (kept) {
        text = std::string(rec->szName) + ':' + std::string(uid) + ':' + kept->lm + ':' + kept->nt +
               ':' + kNewFlags + ':' + Lct() + ":\n";
        return true;
    }
    // An LM hash that cannot be computed is written as "no hash".
    SDKILMPwdEncrypt(rec->szPasswd, lm);
    if (SDKINTPwdEncrypt(rec->szPasswd, nt) < 0) return false;
    text = std::string(rec->szName) + ':' + std::string(uid) + ':' + lm + ':' + nt + ':' +
           kNewFlags + ':' + Lct() + ":\n";
    return true;
}

int ModifySmbpasswdFile(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH newPasswords,
                        PSLIBSZHASH existing, const sdk::StoredHashes *stored,
                        const sdk::NewUsers *order) {
    FilePtr in(fopen(SZF_SMBPASSWD, "re"));
    slib::RewriteSet set;
    FILE *fp = in ? set.Open(SZF_SMBPASSWD, SZF_SMBPASSWD_TMP) : nullptr;
    if (!fp) {
        SLIB_LOG(LOG_ERR, "%s(%d): open files failed");
        return slib::Fail(ERR_OPEN_FAILED);
    }
    slib::LineOut out(fp);
    const slib::SzHashPtr written = WrittenNames(changed, added);
    if (!written) return -1;
    int result = RewriteChanged(
        in.get(), out, changed, written.get(), 7, "smbpasswd format error",
        "write smbpasswd failed",
        [&](const QAVOUSERSET *rec, const std::vector<std::string_view> &f, std::string &text) {
            const sdk::StoredHash *kept = Stored(rec, stored);
            if (SDKIUserHashGet(newPasswords, rec->szName))
                return NewHashLine(rec, f[1], text, kept);
            // The line's hashes (or the kept ones) stay; a new name renews the
            // last-change time.
            std::string lct = f[0] == rec->szName ? std::string(f[5]) : Lct();
            text = std::string(rec->szName) + ':' + std::string(f[1]) + ':' +
                   (kept ? kept->lm : std::string(f[2])) + ':' +
                   (kept ? kept->nt : std::string(f[3])) + ':' + std::string(f[4]) + ':' + lct +
                   ":\n";
            return true;
        });
    if (result < 0) return -1;
    const int appended = AppendAdded(
        added, order, out, "write file failed", [&](const QAVOUSERSET *rec, std::string &text) {
            const char *uid = SDKIUserHashGet(existing, rec->szName);
            if (!uid) {
                SLIB_LOG(LOG_ERR, "%s(%d): internal error: mismatch in smbpasswd uid");
                slib::Fail(ERR_NOT_FOUND);
                return false;
            }
            return NewHashLine(rec, uid, text, Stored(rec, stored));
        });
    if (appended < 0) return -1;
    if (!Finish(set, fp)) return -1;
    return result | appended;
}

}  // namespace

int sdk::ModifyShadow(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH *newPasswords,
                      const StoredHashes *stored, const NewUsers *order) {
    if (!changed || !added || !newPasswords || !*newPasswords) {
        SLIB_LOG(LOG_ERR, "%s(%d): parameter error");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        return ModifyShadowFile(changed, added, newPasswords, stored, order);
    } catch (const std::bad_alloc &) {
        SLIB_LOG(LOG_ERR, "%s(%d): allocate memory failed");
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

int sdk::ModifySmbpasswd(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH newPasswords,
                         PSLIBSZHASH existing, const StoredHashes *stored, const NewUsers *order) {
    if (!changed || !added || !newPasswords || !existing) {
        SLIB_LOG(LOG_ERR, "%s(%d): parameter error");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        return ModifySmbpasswdFile(changed, added, newPasswords, existing, stored, order);
    } catch (const std::bad_alloc &) {
        SLIB_LOG(LOG_ERR, "%s(%d): allocate memory failed");
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int SDKIModifyShadow(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH *newPasswords) {
    return sdk::ModifyShadow(changed, added, newPasswords, nullptr, nullptr);
}

extern "C" int SDKIModifySmbpasswd(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH newPasswords,
                                   PSLIBSZHASH existing) {
    return sdk::ModifySmbpasswd(changed, added, newPasswords, existing, nullptr, nullptr);
}
