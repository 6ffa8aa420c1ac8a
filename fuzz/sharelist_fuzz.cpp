// Share lists, lookups and service settings: smb.conf, /etc/passwd,
// /etc/group and /etc/qavoinfo.conf of any bytes, a name and a text of any
// bytes, and (on some inputs) smbstatus's answer printed by a stand-in. The
// share looked up without regard to case, the shares of a volume listed
// into a buffer of exactly the size asked for (one byte short is refused),
// the writeable shares, paths and access lists; the text parsed as a share
// line, a privilege list and a user list against simple models; the round
// trips: one key set in a section, a share rewritten from its own record, a
// new share created, read back and deleted, the FTP settings stored and
// read back. (The PPPoE account is settings_fuzz's.)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qavo_accfile.h"
#include "qavo_servsetting.h"
#include "qavo_share.h"
#include "qavo_sharelookup.h"
#include "qavo_sharemgmt.h"
#include "qavo_shareprivilege.h"
#include "slib_errcode.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

const char kToolOut[] = "/tmp/fuzz.smbstatus";

// The components of a path read as text.
std::vector<std::string> Components(const std::string &path) {
    std::vector<std::string> parts;
    for (const std::string &p : qfuzz::Split(path, '/')) {
        if (p.empty() || p == ".") continue;
        if (p != "..")
            parts.push_back(p);
        else if (!parts.empty())
            parts.pop_back();
    }
    return parts;
}

// One folder is the other or lies below it.
bool Overlap(const std::string &a, const std::string &b) {
    const std::vector<std::string> ca = Components(a), cb = Components(b);
    const size_t n = std::min(ca.size(), cb.size());
    return std::equal(ca.begin(), ca.begin() + static_cast<std::ptrdiff_t>(n), cb.begin());
}

struct FreeBlock {
    void operator()(void *p) const { free(p); }
};
using Record = std::unique_ptr<QAVOSHARE, FreeBlock>;

// A share read into a block of exactly the size asked for, or null.
Record Get(const char *name) {
    int needed = 0;
    if (QAVOShareGet(1, name, nullptr, 0, &needed) != 0 || needed <= 0) return nullptr;
    Record rec(static_cast<PQAVOSHARE>(calloc(1, static_cast<size_t>(needed))));
    if (!rec || QAVOShareGet(1, name, rec.get(), needed, &needed) != 1) return nullptr;
    return rec;
}

std::set<std::string> Items(const char *list) {
    std::set<std::string> items;
    for (const std::string &i : qfuzz::Split(list, ','))
        if (!i.empty()) items.insert(i);
    return items;
}

bool Subset(const char *part, const char *whole) {
    const std::set<std::string> a = Items(part), b = Items(whole);
    return std::includes(b.begin(), b.end(), a.begin(), a.end());
}

void CaseLess(const std::string &name) {
    PQAVOSHARE share = QAVOShareGetCaseLess(name.c_str());
    if (!share) return;
    QFUZZ_CHECK(SLIBUnicodeUTF8StrCaseCmp(share->szName, name.c_str()) == 0);
    QAVOShareFree(share);
}

void ByVolume() {
    int needed = 0;
    const int count = QAVOShareEnumByVolume(1, nullptr, 0, &needed);
    if (count < 0) return;
    QFUZZ_CHECK(needed >= static_cast<int>(sizeof(char *)));
    auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(needed - 1));
    int ignored = 0;
    QFUZZ_CHECK(QAVOShareEnumByVolume(1, reinterpret_cast<char **>(small.get()), needed - 1,
                                      &ignored) == -1);
    auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
    auto *names = reinterpret_cast<char **>(buf.get());
    const int n = QAVOShareEnumByVolume(1, names, needed, &needed);
    if (n < 0) return;
    QFUZZ_CHECK(n == count && names[n] == nullptr);
    for (int i = 0; i < n; ++i)
        QFUZZ_CHECK(names[i] >= reinterpret_cast<char *>(buf.get()) &&
                    strlen(names[i]) < static_cast<size_t>(needed));
}

// The text as a share line: with room enough, fields 1 to 6 as written.
void ShareLine(const std::string &text, size_t room) {
    const std::vector<std::string> fields = qfuzz::Split(text, ':');
    for (size_t cap : {room, text.size() * 2 + sizeof(QAVOSHARE) + 64}) {
        auto buf = std::make_unique<unsigned char[]>(cap ? cap : 1);
        if (ParseShareParam(text.c_str(), buf.get(), static_cast<int>(cap)) != 1) continue;
        auto *share = reinterpret_cast<PQAVOSHARE>(buf.get());
        const char *got[] = {share->szName, share->szComment, share->szPath,
                             share->szDeny, share->szRW,      share->szRO};
        QFUZZ_CHECK(fields.size() >= 8);
        for (size_t i = 0; i < 6; ++i) {
            QFUZZ_CHECK(got[i] >= reinterpret_cast<char *>(buf.get()) &&
                        got[i] < reinterpret_cast<char *>(buf.get()) + cap);
            QFUZZ_CHECK(fields[i] == got[i]);
        }
        QFUZZ_CHECK(share->fType == QAVOSHARE_ACCESS_RO || share->fType == QAVOSHARE_ACCESS_RW ||
                    share->fType == QAVOSHARE_ACCESS_NONE);
    }
}

// The text as a privilege list: each level gets exactly the names its
// entries carry, each followed by ','.
void Privileges(const std::string &text) {
    std::string copy = text;
    char *na = nullptr, *rw = nullptr, *ro = nullptr;
    const int r = QAVOSharePrivilegeSplit(copy.data(), &na, &rw, &ro);
    if (r < 0) return;
    QFUZZ_CHECK(r == 0 || r == 1);
    std::multiset<std::string> want[3];
    std::string t = text;
    if (!t.empty() && t.back() == ',') t.pop_back();
    if (!t.empty()) {
        for (const std::string &e : qfuzz::Split(t, ',')) {
            if (e.size() < 5) continue;
            const std::string suffix = e.substr(e.size() - 5), n = e.substr(0, e.size() - 5);
            if (suffix == " - NA") want[0].insert(n);
            if (suffix == " - RW") want[1].insert(n);
            if (suffix == " - RO") want[2].insert(n);
        }
    }
    const char *out[] = {na, rw, ro};
    for (int i = 0; i < 3; ++i) {
        std::string s = out[i];
        QFUZZ_CHECK(s.empty() || s.back() == ',');
        std::multiset<std::string> got;
        if (!s.empty()) {
            s.pop_back();
            for (const std::string &n : qfuzz::Split(s, ','))
                got.insert(n);
        }
        QFUZZ_CHECK(got == want[i]);
        free(const_cast<char *>(out[i]));
    }
}

// The text as a user list: de-duplicated, and filtered to known accounts.
void UserList(const std::string &text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    if (RemoveSameUsers(copy.data()) == 1) {
        // A list of empty entries only comes out empty.
        const std::vector<std::string> items =
            copy[0] ? qfuzz::Split(copy.data(), ',') : std::vector<std::string>{};
        QFUZZ_CHECK(std::set<std::string>(items.begin(), items.end()).size() == items.size());
        QFUZZ_CHECK(Items(copy.data()) == Items(text.c_str()));
        for (const std::string &i : items)
            QFUZZ_CHECK(!i.empty());
    }
    std::vector<char> valid(text.size() + 1, '\x7f');
    if (SHAREIGetValidUserList(text.c_str(), valid.data()) == 1) {
        QFUZZ_CHECK(strlen(valid.data()) <= text.size());
        QFUZZ_CHECK(Subset(valid.data(), text.c_str()));
    }
}

// One key set in a section: read back, every key kept, no section added
// or lost.
void SetKey(const std::string &section) {
    slib::SzHashPtr before(PshSLIBSzHashAlloc(1024));
    PSLIBSZHASH b = before.release();
    const int pairs = SLIBFileGetSection(SZF_QAVO_SMB_CONF, section.c_str(), &b);
    before.reset(b);
    const std::vector<std::string> sections = qfuzz::Sections(SZF_QAVO_SMB_CONF);
    if (ModifySmbLikeConf(SZF_QAVO_SMB_CONF, section.c_str(), "fuzz key", "set value", nullptr) !=
        0)
        return;
    QFUZZ_CHECK(pairs > 0);
    slib::SzHashPtr after(PshSLIBSzHashAlloc(1024));
    PSLIBSZHASH a = after.release();
    QFUZZ_CHECK(SLIBFileGetSection(SZF_QAVO_SMB_CONF, section.c_str(), &a) > 0);
    after.reset(a);
    const char *v = SzSLIBSzHashGetValue(a, "fuzz key");
    QFUZZ_CHECK(v && strcmp(v, "set value") == 0);
    slib::SzListPtr keys(PslSLIBSzListAlloc(1024));
    PSLIBSZLIST k = keys.release();
    QFUZZ_CHECK(SLIBSzHashEnumKey(b, &k) >= 0);
    keys.reset(k);
    for (int i = 0; i < k->nItem; ++i)
        QFUZZ_CHECK(SzSLIBSzHashGetValue(a, k->pszItem[i]) != nullptr);
    QFUZZ_CHECK(qfuzz::Sections(SZF_QAVO_SMB_CONF) == sections);
}

// A share rewritten from its own record reads back the same, its lists
// cut down to the accounts that exist.
void Reapply(const std::string &name) {
    Record before = Get(name.c_str());
    if (!before) return;
    const std::string path = before->szPath;
    struct stat st;
    const bool existed = lstat(path.c_str(), &st) == 0;
    const std::vector<std::string> sections = qfuzz::Sections(SZF_QAVO_SMB_CONF);
    if (QAVOShareReapply(name.c_str()) == 1) {
        Record after = Get(name.c_str());
        QFUZZ_CHECK(after);
        QFUZZ_CHECK(strcmp(before->szComment, after->szComment) == 0);
        QFUZZ_CHECK(path == after->szPath);
        QFUZZ_CHECK(before->fType == after->fType && before->fBrowseable == after->fBrowseable);
        QFUZZ_CHECK(Subset(after->szDeny, before->szDeny) && Subset(after->szRW, before->szRW) &&
                    Subset(after->szRO, before->szRO));
        QFUZZ_CHECK(qfuzz::Sections(SZF_QAVO_SMB_CONF) == sections);
    }
    if (!existed) rmdir(path.c_str());
}

// A new share: created, read back and deleted, the other sections alone.
void CreateAndDelete(const std::string &text, uint8_t choice) {
    const std::vector<std::string> sections = qfuzz::Sections(SZF_QAVO_SMB_CONF);
    std::string comment = text.substr(0, 1100);
    char name[] = "fuzzshare", path[] = "/volume1/fuzzshare";
    std::string lists = text;
    QAVOSHARE share{name,         comment.data(), path,          lists.data(),
                    lists.data(), lists.data(),   choice & 0x7u, (choice >> 3) & 1u};
    if (QAVOShareSet(1, nullptr, &share) != 1) {
        QFUZZ_CHECK(qfuzz::Sections(SZF_QAVO_SMB_CONF) == sections);
        return;
    }
    Record rec = Get(name);
    QFUZZ_CHECK(rec);
    std::string want = comment.substr(0, 1022);
    while (want.size() < comment.size() && !want.empty() &&
           (static_cast<unsigned char>(comment[want.size()]) & 0xC0) == 0x80)
        want.pop_back();
    QFUZZ_CHECK(want == rec->szComment);
    QFUZZ_CHECK(strcmp(rec->szPath, path) == 0 && rec->fBrowseable == share.fBrowseable);
    const uint32_t everyone = share.fType & 4 ? 4 : share.fType & 2 ? 2 : 1;
    // "@users" in a list fixes everyone's access.
    if (!Items(rec->szDeny).count("@users") && !Items(rec->szRW).count("@users") &&
        !Items(rec->szRO).count("@users"))
        QFUZZ_CHECK(rec->fType == everyone);
    const char *names[] = {name};
    const std::vector<std::string> withShare = qfuzz::Sections(SZF_QAVO_SMB_CONF);
    if (QAVOShareDelete(names, 1) != 1) {
        // A section name that cannot be upper-cased fails every deletion;
        // nothing is changed then.
        QFUZZ_CHECK(Get(name) && qfuzz::Sections(SZF_QAVO_SMB_CONF) == withShare);
        return;
    }
    int needed = 0;
    QFUZZ_CHECK(QAVOShareGet(1, name, nullptr, 0, &needed) == -1);
    QFUZZ_CHECK(qfuzz::Sections(SZF_QAVO_SMB_CONF) == sections);
    // The folder goes only when no share left uses it or a folder around it.
    if (access(path, F_OK) == 0) return;
    for (const std::string &s : sections) {
        slib::SzHashPtr h(PshSLIBSzHashAlloc(1024));
        PSLIBSZHASH p = h.release();
        const int pairs = SLIBFileGetSection(SZF_QAVO_SMB_CONF, s.c_str(), &p);
        h.reset(p);
        const char *other = pairs > 0 ? SzSLIBSzHashGetValue(p, "path") : nullptr;
        if (other) QFUZZ_CHECK(!Overlap(other, path));
    }
}

void Ftp() {
    QAVOFTPCONF conf{};
    if (QAVOFTPConfGet(&conf) != 0) return;
    QFUZZ_CHECK(strlen(conf.szPort) < sizeof conf.szPort && conf.szPort[0]);
    if (QAVOFTPConfSet(conf) != 0) return;
    QAVOFTPCONF back{};
    QFUZZ_CHECK(QAVOFTPConfGet(&back) == 0);
    // A passive range below 1025 is stored as none.
    if (conf.nLowPort < 1025 || conf.nHighPort < 1025) conf.nLowPort = conf.nHighPort = 0;
    QFUZZ_CHECK(memcmp(&conf, &back, sizeof conf) == 0);
}

void Connections(const std::string &name, uint8_t choice) {
    const size_t cap = choice & 0x40 ? 4096 : choice >> 2;
    auto buf = std::make_unique<char[]>(cap);
    if (QAVOGetUserConnOfSmb(name.c_str(), (choice >> 1) & 1, buf.get(), static_cast<int>(cap)) !=
        0)
        return;
    const std::string ids = buf.get();
    QFUZZ_CHECK(ids.size() < cap);
    QFUZZ_CHECK(ids.find_first_not_of("0123456789,") == std::string::npos);
    if (!ids.empty())
        for (const std::string &id : qfuzz::Split(ids, ','))
            QFUZZ_CHECK(!id.empty() && id[0] != '0');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    mkdir("/usr/qavo/etc", 0755);
    mkdir("/usr/qavo/bin", 0755);
    // No USB-copy folder to keep in step with a deleted share.
    FILE *fp = fopen("/etc.defaults/qavoinfo.conf", "ae");
    QFUZZ_CHECK(fp && fputs("usbcopy=\"no\"\n", fp) >= 0 && fclose(fp) == 0);
    qfuzz::StandIn("/usr/qavo/bin/smbstatus", "#!/bin/sh\nexec cat /tmp/fuzz.smbstatus\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t choice = data[0];
    auto parts = qfuzz::Parts(data + 1, size - 1, 7);
    const std::string name = qfuzz::CText(parts[0]), text = qfuzz::CText(parts[1]);
    qfuzz::Put(SZF_QAVO_SMB_CONF, parts[2]);
    qfuzz::Put(SZF_PASSWD, parts[3]);
    qfuzz::Put(SZF_GROUP, parts[4]);
    qfuzz::Put("/etc/qavoinfo.conf", parts[5]);

    CaseLess(name);
    ByVolume();
    char *writeable = nullptr;
    if (QAVOShareWriteableGet(name.c_str(), &writeable) >= 0) QFUZZ_CHECK(writeable);
    free(writeable);
    for (int cap : {8, 4096}) {
        auto buf = std::make_unique<char[]>(static_cast<size_t>(cap));
        if (QAVOSharePathGet(name.c_str(), buf.get(), cap) == 0)
            QFUZZ_CHECK(strlen(buf.get()) < static_cast<size_t>(cap));
    }
    SHAREIIsLocalUserInList(name.c_str(), text.c_str());
    QAVOShareIsUnderValidPath(name.c_str(), text.c_str());

    ShareLine(text, choice);
    Privileges(text);
    UserList(text);
    SetKey(name);
    Ftp();
    // The runs that start programs (the folder removal, smbstatus) take a
    // quarter of the inputs each.
    if (choice & 0x40) Reapply(name);
    if ((choice & 0x30) == 0x30) CreateAndDelete(text, choice);
    if ((choice & 0x81) == 0x81) {
        qfuzz::Put(kToolOut, parts[6]);
        Connections(name, choice);
    }
    return 0;
}
