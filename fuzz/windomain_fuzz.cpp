// Windows domain state: smb.conf's [global] section, the workgroup, join
// account, controller address and join state files, the qavoinfo keys, the
// domain group and member lists, /etc/group and /etc/passwd of any bytes,
// and (on some inputs) the answer of the name-table lookup and of net's
// join, printed by a stand-in. Every reader into small and sufficient
// buffers; the writers' round trips: the join account, the join state, the
// KDC key, the [global] keys of a join and of a saved record, the gid index
// and the workgroup of a name table read back as written; the domain group
// list read whole, its members found again one by one.
#include <sys/stat.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qavo_accfile.h"
#include "qavo_group.h"
#include "qavo_windomain.h"
#include "qavo_winjoin.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_szlist.h"
#include "slib_unicode.h"
#include "slib_util.h"
#include "slib_validate.h"
#include "windomain_util.h"

namespace {

const char kToolOut[] = "/tmp/fuzz.toolout";

// Lays the stand-in over a tool: it prints kToolOut and exits 0, or 1.
void Tool(const char *path, bool failed) {
    qfuzz::StandIn(path, failed ? "#!/bin/sh\ncat /tmp/fuzz.toolout\nexit 1\n"
                                : "#!/bin/sh\nexec cat /tmp/fuzz.toolout\n");
}

// The security mode and name of [global] as WINIQuery1 gives them, into a
// small and a sufficient buffer.
bool Query(std::string *name, int *isDomain) {
    char small[4];
    int flag = 0;
    if (WINIQuery1(small, sizeof small, &flag) == 0) QFUZZ_CHECK(strlen(small) < sizeof small);
    char big[1024];
    if (WINIQuery1(big, sizeof big, isDomain) != 0) return false;
    QFUZZ_CHECK(*isDomain == 0 || *isDomain == 1);
    *name = big;
    return true;
}

void Addresses(int (*get)(char *, int)) {
    for (int cap : {8, 256}) {
        auto buf = std::make_unique<char[]>(static_cast<size_t>(cap));
        if (get(buf.get(), cap) != 1) continue;
        QFUZZ_CHECK(strlen(buf.get()) < static_cast<size_t>(cap));
        for (std::string a : qfuzz::Split(buf.get(), ',')) {
            const std::string text = a;
            QFUZZ_CHECK(BlSLIBIsIPAddress(a.data()) && a == text);
        }
    }
}

void Account() {
    QAVOWINJOIN req{};
    if (WINIGetAccount(&req) != 0) return;
    const std::string user = req.szUser, password = req.szPassword;
    if (WINISetAccount(&req) != 0) return;
    QAVOWINJOIN back{};
    QFUZZ_CHECK(WINIGetAccount(&back) == 0);
    QFUZZ_CHECK(user == back.szUser && password == back.szPassword);
}

void State(const std::string &message) {
    char step[8], msg[8];
    if (ErrWINIState1Get(step, sizeof step, msg, sizeof msg) == 0)
        QFUZZ_CHECK(strlen(step) < sizeof step - 1 && strlen(msg) < sizeof msg - 1);
    if (ErrWINIState1Set("WINIWorkgroup", message.c_str()) != 0) return;
    std::string want = message.c_str();
    for (char &c : want)
        if (c == '\n' || c == '\r') c = ' ';
    want += '\n';
    std::vector<char> bigStep(64), bigMsg(want.size() + 3);
    QFUZZ_CHECK(ErrWINIState1Get(bigStep.data(), static_cast<int>(bigStep.size()), bigMsg.data(),
                                 static_cast<int>(bigMsg.size())) == 0);
    QFUZZ_CHECK(strcmp(bigStep.data(), "WINIWorkgroup") == 0 && want == bigMsg.data());
}

void Kdc(const std::string &name) {
    char small[4], big[64];
    if (QAVOWinConfKDCGet(small, sizeof small) == 0) QFUZZ_CHECK(strlen(small) < 3);
    if (QAVOWinConfKDCGet(big, sizeof big) == 0) QFUZZ_CHECK(strlen(big) < 16);
    // An address as the user types it: digits and dots.
    const std::string kdc = name.substr(0, 15);
    if (kdc.empty() || kdc.find_first_not_of("0123456789.") != std::string::npos) return;
    if (QAVOWinConfKDCSet(kdc.c_str()) != 0) return;
    QFUZZ_CHECK(QAVOWinConfKDCGet(big, sizeof big) == 0 && kdc == big);
}

// The [global] keys a join writes come back through WINIQuery1; every
// other section stays.
void Join(const std::string &name, bool domain) {
    if (!qwin::SafeDomainText(name.c_str())) return;
    const std::vector<std::string> before = qfuzz::Sections(SZF_SMB_CONF);
    std::string copy = name;
    QAVOWINJOIN req{domain ? QAVO_WINJOIN_DOMAIN : QAVO_WINJOIN_WORKGROUP, copy.data(), nullptr,
                    nullptr, nullptr};
    if (ErrWINISmbConfModify1(&req, 0) != 0) return;
    std::string got;
    int isDomain = -1;
    QFUZZ_CHECK(Query(&got, &isDomain));
    // The workgroup is kept to 63 bytes.
    QFUZZ_CHECK(got == name.substr(0, 63) && isDomain == (domain ? 1 : 0));
    QFUZZ_CHECK(qfuzz::Sections(SZF_SMB_CONF) == before);
}

void Saved(const std::string &name, int mode) {
    static const char *const kModes[] = {"user", "domain", "ads", "ADS"};
    const std::string value = qwin::SafeDomainText(name.c_str()) ? name.substr(0, 31) : "WG";
    char saved[QAVO_WINSAVED_SIZE] = {};
    snprintf(saved + QAVO_WINSAVED_SECURITY, 32, "%s", kModes[mode]);
    snprintf(saved + QAVO_WINSAVED_REALM, 32, "R%s", value.c_str());
    snprintf(saved + QAVO_WINSAVED_WORKGROUP, 32, "W%s", value.c_str());
    const std::string realm = saved + QAVO_WINSAVED_REALM;
    const std::string workgroup = saved + QAVO_WINSAVED_WORKGROUP;
    if (WINISmbConfSet(1, saved) != 1) return;
    std::string got;
    int isDomain = -1;
    QFUZZ_CHECK(Query(&got, &isDomain));
    const bool ads = mode >= 2;
    QFUZZ_CHECK(got == (ads ? realm : workgroup) && isDomain == (mode > 0 ? 1 : 0));
}

// The domain group list: each line without '$' one whole name.
void DomainGroups(const std::string &list) {
    std::set<std::string> want;
    for (const std::string &raw : qfuzz::Split(list, '\n')) {
        std::string line = raw.c_str();  // a name holding a NUL byte ends there
        if (line.find('$') != std::string::npos) continue;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (!line.empty()) want.insert(line);
    }
    slib::SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    QFUZZ_CHECK(hash);
    PSLIBSZHASH h = hash.release();
    const int n = QAVOPushDGroup(&h);
    hash.reset(h);
    if (n < 0) return;
    slib::SzListPtr keys(PslSLIBSzListAlloc(1024));
    PSLIBSZLIST k = keys.release();
    QFUZZ_CHECK(SLIBSzHashEnumKey(h, &k) >= 0);
    keys.reset(k);
    for (int i = 0; i < k->nItem; ++i)
        QFUZZ_CHECK(want.count(SzSLIBSzHashGetValue(h, k->pszItem[i])));
}

void Members(const std::string &group) {
    slib::SzListPtr list(PslSLIBSzListAlloc(512));
    slib::SzHashPtr seen(PshSLIBSzHashAlloc(512));
    QFUZZ_CHECK(list && seen);
    PSLIBSZLIST l = list.release();
    PSLIBSZHASH s = seen.release();
    const int n = QAVOPushDGroupMember(group.c_str(), &l, &s);
    list.reset(l);
    seen.reset(s);
    if (n < 0) return;
    QFUZZ_CHECK(n == l->nItem);
    for (int i = 0; i < l->nItem; ++i) {
        QFUZZ_CHECK(*l->pszItem[i] && !strchr(l->pszItem[i], '$'));
        // A name that is no text (no valid UTF-8) never compares equal.
        if (SLIBUnicodeUTF8StrCaseCmp(l->pszItem[i], l->pszItem[i]) != 0) continue;
        QFUZZ_CHECK(QAVOIsDGroupMember(l->pszItem[i], group.c_str()) == 1);
    }
}

// Renaming a list through two small hashes: one item for one item.
void MapNames(const std::string &list) {
    slib::SzHashPtr users(PshSLIBSzHashAlloc(512)), groups(PshSLIBSzHashAlloc(512));
    PSLIBSZHASH u = users.release(), g = groups.release();
    SLIBSzHashSetValue(&u, "alice", "CORP\\alice");
    SLIBSzHashSetValue(&g, "@staff", "@CORP\\staff");
    users.reset(u);
    groups.reset(g);
    char *out = WINIMapNameList(list.c_str(), u, g);
    if (!out) return;
    const std::vector<std::string> in = qfuzz::Split(list, ','), mapped = qfuzz::Split(out, ',');
    free(out);
    QFUZZ_CHECK(in.size() == mapped.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const char *v =
            SzSLIBSzHashGetValue(!in[i].empty() && in[i][0] == '@' ? g : u, in[i].c_str());
        QFUZZ_CHECK(mapped[i] == (v && !in[i].empty() ? v : in[i]));
    }
}

void GidIndex(const std::string &name) {
    const long gid = QAVO_GID_FIRST + static_cast<long>(std::hash<std::string>{}(name) % 131072);
    if (WINISetGidIndex(static_cast<int>(gid)) != 1) return;
    // The group writer starts at the index when that gid is free.
    if (PgrpSLIBGetLocalGrGid(static_cast<int>(gid)) != nullptr) return;
    QFUZZ_CHECK(GROUPIGetFreeGid() == gid);
}

void Krb5() {
    char name[] = "CORP.EXAMPLE";
    QAVOWINJOIN req{QAVO_WINJOIN_DOMAIN, name, nullptr, nullptr, nullptr};
    char list[256];
    if (QAVOWinIGetKDCIP(list, sizeof list) != 1) return;
    QFUZZ_CHECK(QAVOWinICreateKrb5Conf(&req) == 1);
    const std::string conf = qfuzz::ReadAll(SZF_KRB5_CONF);
    size_t kdcs = 0;
    for (size_t at = conf.find("\tkdc = "); at != std::string::npos;
         at = conf.find("\tkdc = ", at + 1))
        ++kdcs;
    QFUZZ_CHECK(kdcs == qfuzz::Split(list, ',').size());
}

// The domain's workgroup from a name table, and the file it is kept in.
void NameTable() {
    char wg[16];
    if (WINIWorkgroup(wg, sizeof wg, "10.0.0.5") != 0) return;
    QFUZZ_CHECK(*wg && qwin::SafeDomainText(wg));
    char back[64];
    QFUZZ_CHECK(WINIReadADSWorkgroup(back, sizeof back) == 0 && strcmp(wg, back) == 0);
}

// Net's join answer: joined exactly when a line names the domain.
void RpcJoin(const std::string &name, const std::string &out, bool failed) {
    std::string domain = qwin::SafeDomainText(name.c_str()) ? name : "CORP";
    char user[] = "Administrator", password[] = "secret";
    QAVOWINJOIN req{QAVO_WINJOIN_DOMAIN, domain.data(), user, password, nullptr};
    const bool named = out.find("Joined domain " + domain) != std::string::npos;
    const int r = WINICheckAndJoinDomain(&req, 0);
    if (r == 0) QFUZZ_CHECK(named && !failed);
    if (r == 0 || !named || failed) return;
    // A line holding the text across a line end is no answer of net's.
    bool whole = false;
    for (std::string line : qfuzz::Split(out, '\n')) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        whole = whole || line.find("Joined domain " + domain) != std::string::npos;
    }
    QFUZZ_CHECK(!whole);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    mkdir("/usr/qavo/etc", 0755);
    mkdir("/usr/qavo/etc/private", 0700);
    mkdir("/usr/qavo/bin", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t choice = data[0];
    auto parts = qfuzz::Parts(data + 1, size - 1, 13);
    const std::string name = qfuzz::CText(parts[0]);
    qfuzz::Put(SZF_SMB_CONF, parts[1]);
    qfuzz::Put(SZF_WIN_WORKGROUP, parts[2]);
    qfuzz::Put(SZF_WIN_DOMACC, parts[3]);
    qfuzz::Put(SZF_WIN_PDC_IP, parts[4]);
    qfuzz::Put(SZF_WIN_KDC_IP, parts[5]);
    qfuzz::Put(SZF_WIN_STATE, parts[6]);
    qfuzz::Put("/etc/qavoinfo.conf", parts[7]);
    qfuzz::Put(SZF_WIN_DOMAIN_GROUP, parts[8]);
    qfuzz::Put(SZF_WIN_DOMAIN_GROUP_MEMBER, parts[9]);
    qfuzz::Put(SZF_GROUP, parts[10]);
    qfuzz::Put(SZF_PASSWD, parts[11]);

    std::string mode;
    int isDomain = 0;
    Query(&mode, &isDomain);
    const int kind = IsDomainUG(name.c_str());
    QFUZZ_CHECK(kind == -1 || kind == QAVO_ACCOUNT_LOCAL || kind == QAVO_ACCOUNT_DOMAIN);
    BlWINIIsADS();
    for (int cap : {2, 64}) {
        auto buf = std::make_unique<char[]>(static_cast<size_t>(cap));
        if (WINIReadADSWorkgroup(buf.get(), cap) == 0)
            QFUZZ_CHECK(*buf.get() && strlen(buf.get()) < static_cast<size_t>(cap));
    }
    Addresses(QAVOWinIGetPDCIP);
    Addresses(QAVOWinIGetKDCIP);
    Account();
    State(parts[6]);
    Kdc(name);
    DomainGroups(parts[8]);
    Members(name);
    MapNames(name);
    Krb5();

    Join(name, choice & 0x1);
    Saved(name, (choice >> 1) & 0x3);
    GidIndex(name);
    // A quarter of the inputs (a tool run costs a dozen others) has the
    // stand-in print the rest of the input as the name table or net's answer.
    const int tool = (choice >> 3) & 0x7;
    if (tool >= 6) {
        const bool failed = choice & 0x40;
        qfuzz::Put(kToolOut, parts[12]);
        Tool(tool == 6 ? "/usr/qavo/bin/nmblookup" : "/usr/qavo/bin/net", failed);
        if (tool == 6) NameTable();
        if (tool == 7) RpcJoin(name, parts[12], failed);
    }
    return 0;
}
