// The walks over every share set against the rule each follows, spelt out
// share by share through QAVOShareEnum and QAVOShareGet, on generated
// smb.conf files with awkward names and lists.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_share.h"
#include "qavo_sharedir.h"
#include "qavo_sharelookup.h"
#include "qavo_volume.h"
#include "slib_errcode.h"

namespace {

using qtest::ReadFile;
using qtest::Sh;
using qtest::WriteFile;

constexpr int kShares = 300;

// Names that differ in case only, hold blanks, '@', brackets or bytes that
// are no UTF-8, repeat exactly, or are reserved, USB or eSATA sections.
std::string ShareName(std::mt19937 &rng, int i) {
    static const char *const kStems[] = {
        "docs",   "Docs",        "DOCS",        "my share",    " lead",    "trail ",    "a@b",
        "@staff", "caf\xc3\xa9", "CAF\xc3\x89", "bad\xff\xfe", "x]y",      "usbshare1", "satashare",
        "homes",  "Global",      "usbbackup",   "satabackup",  "printers", "dup"};
    const std::string stem = kStems[rng() % (sizeof(kStems) / sizeof(*kStems))];
    switch (rng() % 4) {
        case 0:
            return stem;  // repeats across the file
        case 1:
            return stem + std::to_string(i % 7);
        default:
            return "s" + std::to_string(i) + (rng() % 2 ? "" : " " + stem);
    }
}

std::string List(std::mt19937 &rng) {
    static const char *const kEntries[] = {"nobody", "bob",    "BOB",      "carl", "@staff",
                                           "@users", "@USERS", "@nogroup", " bob", "bob ",
                                           "",       "d\xffn", "CORP\\x",  "@a b", "Carl"};
    std::string out;
    const int n = static_cast<int>(rng() % 5);
    for (int i = 0; i < n; ++i) {
        if (i) out += ',';
        out += kEntries[rng() % (sizeof(kEntries) / sizeof(*kEntries))];
    }
    return out;
}

std::string Path(std::mt19937 &rng, int i, bool tame) {
    unsigned kind = rng() % 8;
    if (tame && (kind == 0 || kind == 4)) kind = 5;
    switch (kind) {
        case 0:
            return "";
        case 1:
            return "/volume3/p" + std::to_string(i);
        case 2:
            return "/volume1/nofolder" + std::to_string(i);
        case 3:
            return "/volume2/with blank " + std::to_string(i);
        case 4:
            return "/tmp/elsewhere";
        default:
            return "/volume" + std::to_string(1 + i % 2) + "/f" + std::to_string(i);
    }
}

// A generated smb.conf; the folders of the "/volumeN/f..." and blank paths
// exist. A tame one holds only shares that can be read and rewritten.
std::string Conf(unsigned seed, bool tame = false) {
    std::mt19937 rng(seed);
    std::string conf = "[global]\n\tworkgroup=WG\n";
    for (int i = 0; i < kShares; ++i) {
        const std::string name = ShareName(rng, i), path = Path(rng, i, tame);
        conf += "[" + name + "]" + (rng() % 5 == 0 ? "  \n" : "\n");
        if (!path.empty()) {
            conf += (rng() % 6 == 0 ? " path = " : "\tpath=") + path + "\n";
            if (path.find("/f") != std::string::npos || path.find("blank") != std::string::npos)
                mkdir(path.c_str(), 0777);
        }
        if (rng() % 9 == 0) conf += "[not a header\n\twrite list=bob\n";  // ends the body
        conf += "\tcomment=c" + std::to_string(i) + "\n";
        conf += "\tinvalid users=" + List(rng) + "\n";
        if (rng() % 10) conf += "\twrite list=" + List(rng) + "\n";
        conf += "\tread list=" + List(rng) + "\n";
        conf += "\tguest ok=" + std::string(rng() % 2 ? "yes" : "no") + "\n";
        conf += "\twriteable=" + std::string(rng() % 7 || tame ? "no" : "maybe") + "\n";
        if (rng() % 12 == 0) conf += "\twrite list=" + List(rng) + "\n";  // the later one holds
    }
    conf += "[]\n\tpath=/volume1/f0\n[tail]\n";
    return conf;
}

// The share names of QAVOShareEnum1 for the classes.
std::vector<std::string> Enum(uint32_t flags) {
    int needed = 0;
    EXPECT_EQ(QAVOShareEnum1(nullptr, 0, &needed, flags), 0);
    std::vector<char> block(static_cast<size_t>(needed));
    char **names = reinterpret_cast<char **>(block.data());
    const int n = QAVOShareEnum1(names, needed, &needed, flags);
    EXPECT_GE(n, 0);
    return std::vector<std::string>(names, names + (n > 0 ? n : 0));
}

// The record of one share read on its own; empty when it cannot be read.
std::vector<char> Record(const std::string &name) {
    int needed = 0;
    if (QAVOShareGet(1, name.c_str(), nullptr, 0, &needed) != 0) return {};
    std::vector<char> block(static_cast<size_t>(needed));
    if (QAVOShareGet(1, name.c_str(), block.data(), needed, &needed) != 1) return {};
    return block;
}

const QAVOSHARE *AsShare(const std::vector<char> &b) {
    return reinterpret_cast<const QAVOSHARE *>(b.data());
}

constexpr uint32_t kAll = QAVOSHARE_CLASS_ORDINARY | QAVOSHARE_CLASS_USB | QAVOSHARE_CLASS_SATA;

struct Share {
    std::string name;
    std::vector<char> record;  // empty: cannot be read
};

// Every share of the classes in list order with its record, each read on
// its own.
std::vector<Share> Shares(uint32_t flags) {
    std::vector<Share> out;
    for (const std::string &n : Enum(flags))
        out.push_back({n, Record(n)});
    return out;
}

class ShareLookupModel : public ::testing::TestWithParam<unsigned> {
  protected:
    void SetUp() override {
        Sh("echo 'bob:x:1030:100::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'carl:x:1032:1032::/nonexist:/bin/sh' >> /etc/passwd");
        Sh("echo 'staff:x:1040:carl,Bob' >> /etc/group");
        Sh("echo 'a b:x:1041:bob' >> /etc/group");
        Sh("mkdir -p /volume1 /volume2 /volume3");
        WriteFile(SZF_QAVO_SMB_CONF, Conf(GetParam()));
    }
};

TEST_P(ShareLookupModel, SharesOfAVolume) {
    const std::vector<Share> ordinary = Shares(QAVOSHARE_CLASS_ORDINARY);
    for (int volume = 1; volume <= 4; ++volume) {
        std::vector<std::string> want;
        for (const Share &sh : ordinary) {
            if (!sh.record.empty() && QAVOVolIDGetByPath(AsShare(sh.record)->szPath) == volume)
                want.push_back(sh.name);
        }
        int needed = 0;
        ASSERT_EQ(QAVOShareEnumByVolume(volume, nullptr, 0, &needed),
                  static_cast<int>(want.size()));
        std::vector<char> block(static_cast<size_t>(needed));
        char **names = reinterpret_cast<char **>(block.data());
        ASSERT_EQ(QAVOShareEnumByVolume(volume, names, needed, &needed),
                  static_cast<int>(want.size()));
        EXPECT_EQ(names[want.size()], nullptr);
        EXPECT_EQ(std::vector<std::string>(names, names + want.size()), want) << volume;
    }
}

TEST_P(ShareLookupModel, WriteableSharesOfAUser) {
    const std::vector<Share> all = Shares(kAll);
    for (const char *user : {"bob", "BOB", "carl", "Carl", "d\xffn", "nobody", "x"}) {
        std::string want;
        int count = 0;
        for (const Share &sh : all) {
            if (sh.record.empty()) continue;
            const QAVOSHARE *s = AsShare(sh.record);
            if (s->szPath[0] == '\0' || SHAREIIsLocalUserInList(user, s->szRW) != 1 ||
                QAVOShareIsDir(s->szPath) != 1)
                continue;
            want += ":" + sh.name;
            ++count;
        }
        char *out = nullptr;
        ASSERT_EQ(QAVOShareWriteableGet(user, &out), count) << user;
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), want) << user;
        free(out);
    }
}

TEST_P(ShareLookupModel, UnderValidPathTakesTheFirstShareOfThePath) {
    const std::vector<Share> all = Shares(kAll);
    for (const char *user : {"bob", "carl", "x"}) {
        for (int i = 0; i < kShares; i += 7) {
            const std::string path =
                "/volume" + std::to_string(1 + i % 2) + "/f" + std::to_string(i);
            if (QAVOShareIsDir(path.c_str()) != 1) continue;
            int want = 0;
            for (const Share &sh : all) {
                if (sh.record.empty()) {  // a share that cannot be read fails the walk
                    want = -1;
                    break;
                }
                const QAVOSHARE *s = AsShare(sh.record);
                const std::string p = s->szPath;
                if (p.empty() || path.compare(0, p.size(), p) != 0 ||
                    (path.size() > p.size() && path[p.size()] != '/'))
                    continue;
                if (SHAREIIsLocalUserInList(user, s->szDeny) == 1)
                    want = 0;
                else
                    want = SHAREIIsLocalUserInList(user, s->szRW) == 1 ||
                           SHAREIIsLocalUserInList(user, s->szRO) == 1;
                break;
            }
            EXPECT_EQ(QAVOShareIsUnderValidPath(user, path.c_str()), want) << user << " " << path;
        }
    }
}

// Reapplying all shares is reapplying each in list order, up to the first
// that fails.
TEST_P(ShareLookupModel, ReapplyOfAllIsReapplyOfEachInTurn) {
    const std::string conf = GetParam() == 1 ? ReadFile(SZF_QAVO_SMB_CONF) : Conf(GetParam(), true);
    WriteFile(SZF_QAVO_SMB_CONF, conf);
    int want = 1;
    for (const std::string &n : Enum(kAll)) {
        if (QAVOShareReapply(n.c_str()) < 0) {
            want = -1;
            break;
        }
    }
    const SLIBERRCODE wantCode = SLIBErrGet();
    const std::string wantConf = ReadFile(SZF_QAVO_SMB_CONF);
    WriteFile(SZF_QAVO_SMB_CONF, conf);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOShareReapply(nullptr), want);
    if (want < 0) {
        EXPECT_EQ(SLIBErrGet(), wantCode);
    }
    EXPECT_EQ(ReadFile(SZF_QAVO_SMB_CONF), wantConf);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ShareLookupModel, ::testing::Values(1u, 2u, 3u));

}  // namespace
