// User enumeration and uid allocation: /etc/passwd, /etc/group,
// /etc/shadow, the uid counter, the model's limits, the domain flag, the
// domain user, group and member lists and the share write lists of any
// bytes. The users listed into a buffer of exactly the size asked for (one
// byte short is refused) and counted the same way; the domain users pushed
// each once, without line ends or machine accounts; the next uid and gid
// within their ranges, free, recorded and never handed out twice in a row;
// a new user added by the account transaction found again with its
// password.
#include <crypt.h>
#include <pwd.h>
#include <sys/stat.h>

#include <memory>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "qavo_accfile.h"
#include "qavo_group.h"
#include "qavo_user.h"
#include "qavo_userenum.h"
#include "qavo_windomain.h"
#include "sdk_pwhash.h"
#include "sdk_userset.h"
#include "slib_keyvalue.h"
#include "slib_szlist.h"
#include "slib_util.h"

namespace {

const uint32_t kFlags[] = {0, 0x1, 0x10, 0x20, 0x30, 0x11, 0x21, 0x31};

// The names a flag choice lists, or -1 when the listing fails.
int Enum(uint32_t flags) {
    int needed = 0;
    if (QAVOUserEnum(flags, nullptr, 0, &needed) != 0) return -1;
    QFUZZ_CHECK(needed >= static_cast<int>(sizeof(char *)));
    if (needed > static_cast<int>(sizeof(char *))) {
        auto small = std::make_unique<unsigned char[]>(static_cast<size_t>(needed - 1));
        int ignored = 0;
        QFUZZ_CHECK(
            QAVOUserEnum(flags, reinterpret_cast<char **>(small.get()), needed - 1, &ignored) < 0);
    }
    auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
    auto *names = reinterpret_cast<char **>(buf.get());
    const int n = QAVOUserEnum(flags, names, needed, &needed);
    if (n < 0) return -1;
    for (int i = 0; i < n; ++i) {
        QFUZZ_CHECK(names[i] >= reinterpret_cast<char *>(buf.get()) &&
                    names[i] < reinterpret_cast<char *>(buf.get()) + needed);
        QFUZZ_CHECK(strlen(names[i]) < static_cast<size_t>(needed));
    }
    QFUZZ_CHECK(names[n] == nullptr);
    return n;
}

// A domain list name as pushed: whole, once, no machine account; a name
// of the user list without its line end (a group's members may end in a
// blank: they are items of a key/value line).
void CheckDomainNames(PSLIBSZLIST list, int before, int taken, bool fromList) {
    QFUZZ_CHECK(list->nItem - before == taken);
    std::set<std::string> seen;
    for (int i = 0; i < list->nItem; ++i) {
        const std::string name = list->pszItem[i];
        QFUZZ_CHECK(seen.insert(name).second);
        if (i < before) continue;
        QFUZZ_CHECK(!name.empty() && name.find('$') == std::string::npos);
        QFUZZ_CHECK(name.find('\n') == std::string::npos);
        if (fromList) QFUZZ_CHECK(name.back() != '\r' && name.back() != ' ' && name.back() != '\t');
    }
}

void PushDomain(bool used) {
    slib::SzListPtr list(PslSLIBSzListAlloc(512));
    QFUZZ_CHECK(list);
    PSLIBSZLIST l = list.release();
    // A name the list holds already is not taken again.
    SLIBSzListPush(&l, "CORP\\dave");
    const int n = used ? QAVOPushDUserUsed(&l) : QAVOPushDUser(&l);
    list.reset(l);
    if (n >= 0) CheckDomainNames(l, 1, n, !used);
}

int Counter() {
    char value[64] = "";
    if (SLIBFileGetKeyValue(SZF_CUR_UID, "UID", value, sizeof value, 0) <= 0) return -1;
    return atoi(value);
}

void NextUid() {
    const int uid = USERGetUid();
    if (uid < 0) return;
    QFUZZ_CHECK(uid >= 1024 && uid <= 2048);
    QFUZZ_CHECK(getpwuid(static_cast<uid_t>(uid)) == nullptr);
    QFUZZ_CHECK(Counter() == uid);
    const int next = USERGetUid();
    QFUZZ_CHECK(next >= 1024 && next <= 2048 && next != uid);
}

void NextGid() {
    const int gid = GROUPIGetFreeGid();
    if (gid < 0) return;
    QFUZZ_CHECK(gid >= QAVO_GID_FIRST && gid <= QAVO_GID_LAST);
    QFUZZ_CHECK(PgrpSLIBGetLocalGrGid(gid) == nullptr);
    const int next = GROUPIGetFreeGid();
    if (next >= 0) QFUZZ_CHECK(next != gid);
}

// A new user through the whole account transaction: the limit read, the
// uid chosen, and the user found again with that uid.
void AddUser() {
    char name[] = "fuzzuser", password[] = "pw-fuzz";
    QAVOUSERSET rec{1, nullptr, name, password, nullptr, 0, nullptr};
    if (QAVOUserSet(1, &rec, 1) != 1) return;
    const struct passwd *pw = getpwnam(name);
    QFUZZ_CHECK(pw && pw->pw_uid >= 1024 && pw->pw_uid <= 2048);
    QFUZZ_CHECK(Counter() == static_cast<int>(pw->pw_uid));
    // The password just set is the one that counts.
    int needed = 0;
    QFUZZ_CHECK(QAVOUserGet(1, QAVO_USER_LOCAL, name, nullptr, 0, &needed) == 0 && needed > 0);
    auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
    auto *user = reinterpret_cast<QAVOUSER *>(buf.get());
    QFUZZ_CHECK(QAVOUserGet(1, QAVO_USER_LOCAL, name, user, needed, &needed) == 1);
    const char *again = crypt(password, user->password);
    QFUZZ_CHECK(again && strcmp(again, user->password) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    mkdir("/usr/qavo/etc", 0755);
    mkdir("/usr/qavo/etc/private", 0700);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t choice = data[0];
    auto parts = qfuzz::Parts(data + 1, size - 1, 10);
    qfuzz::Put(SZF_PASSWD, parts[0]);
    qfuzz::Put(SZF_GROUP, parts[1]);
    qfuzz::Put(SZF_SHADOW, parts[2]);
    qfuzz::Put(SZF_CUR_UID, parts[3]);
    qfuzz::Put(SZF_QAVOINFO_DEFAULTS, parts[4]);
    qfuzz::Put("/etc/qavoinfo.conf", parts[5]);
    qfuzz::Put(SZF_WIN_DOMAIN_USER, parts[6]);
    qfuzz::Put(SZF_WIN_DOMAIN_GROUP, parts[7]);
    qfuzz::Put(SZF_WIN_DOMAIN_GROUP_MEMBER, parts[8]);
    qfuzz::Put(SZF_SMB_CONF, parts[9]);

    Enum(kFlags[choice & 7]);
    QAVOUserTotalNum(0);
    // The local users listed are the local users counted.
    const int local = Enum(QAVO_USER_ENUM_LOCAL);
    const int counted = QAVOUserTotalNum(QAVO_USER_ENUM_LOCAL);
    if (local >= 0 && counted >= 0) QFUZZ_CHECK(local == counted);
    PushDomain(choice & 0x8);

    NextUid();
    if (choice & 0x10) NextGid();
    if (choice & 0x20) {
        qfuzz::Put(SZF_CUR_UID, parts[3]);
        qfuzz::Put(SZF_SMBPASSWD, "");
        AddUser();
    }
    return 0;
}
