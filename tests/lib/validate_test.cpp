// Name and address validators. Netmasks, network addresses and the
// address/netmask and address/prefix conversions are checked against
// Python's ipaddress module.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_errcode.h"
#include "slib_validate.h"

namespace {

std::string Repeat(const std::string &s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

std::string Quad(uint32_t v) {
    return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." +
           std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

uint32_t MaskOf(int prefix) {
    return prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
}

// Runs a validator that may rewrite its text on a private copy; returns the
// result and leaves the copy's content in *after.
template <typename F>
int OnCopy(F fn, const std::string &text, std::string *after) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    int r = fn(buf.data());
    *after = buf.data();
    return r;
}

TEST(Validate, ParseDottedQuadReadsPartsAndReportsTheFailingOne) {
    struct Case {
        const char *text;
        int result;
        int parts[4];
    } cases[] = {
        {"192.168.1.1", 4, {192, 168, 1, 1}},
        {"010.0x10.+3.-4", 4, {8, 16, 3, -4}},
        {"1.2.3", 2, {}},
        {"1.2.3.4.5", 3, {}},
        {"1.2.3.4 ", 3, {}},
        {"1..3.4", 1, {}},  // an empty part is no zero
        {".1.2.3", 0, {}},
        {"1.2.3.", 3, {}},
        {"", 0, {}},
        {"a.b.c.d", 0, {}},
        {"4294967306.0.0.1", 0, {}},            // does not fit an int: no wrap to 10
        {"1.2.3.4294967297", 3, {}},            // nor to 1
        {"1.2.99999999999999999999.4", 2, {}},  // beyond a long
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int parts[4] = {-9, -9, -9, -9};
        SLIBErrSet(0);
        EXPECT_EQ(SLIBParseDottedQuad(c.text, parts), c.result);
        if (c.result == 4) {
            EXPECT_EQ(std::vector<int>(parts, parts + 4), std::vector<int>(c.parts, c.parts + 4));
        } else {
            EXPECT_EQ(SLIBErrGet(), ERR_BAD_IP_ADDRESS);
        }
    }
    int parts[4];
    SLIBErrSet(0);
    EXPECT_NE(SLIBParseDottedQuad(nullptr, parts), 4);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(Validate, NetmaskPrefix) {
    struct Case {
        int parts[4];
        int prefix;
        bool error;
    } cases[] = {
        {{255, 255, 255, 0}, 24, false}, {{255, 255, 255, 255}, 32, false},
        {{128, 0, 0, 0}, 1, false},      {{255, 255, 254, 0}, 23, false},
        {{0, 0, 0, 0}, 0, false},        {{255, 0, 255, 0}, 0, true},
        {{0, 0, 0, 255}, 0, true},       {{255, 255, 255, 1}, 0, true},
        {{256, 0, 0, 0}, 0, true},       {{255, 255, 255, 256}, 0, true},
        {{-1, 0, 0, 0}, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Quad(static_cast<uint32_t>(c.parts[0]) << 24 | c.parts[1] << 16 |
                          c.parts[2] << 8 | c.parts[3]));
        SLIBErrSet(0);
        EXPECT_EQ(SLIBNetmaskPrefix(c.parts), c.prefix);
        EXPECT_EQ(SLIBErrGet(), c.error ? SLIBERRCODE{ERR_BAD_IP_ADDRESS} : 0u);
    }
}

TEST(Validate, IPAddressAcceptsHostsAndRewritesThemInDecimal) {
    struct Case {
        const char *text;
        const char *rewritten;  // nullptr: refused and left alone
    } cases[] = {
        {"192.168.1.1", "192.168.1.1"},
        {"1.0.0.1", "1.0.0.1"},
        {"223.255.255.254", "223.255.255.254"},
        {"010.1.1.1", "8.1.1.1"},
        {"0xC0.0250.+1.0x01", "192.168.1.1"},
        {"127.0.0.1", nullptr},
        {"0.1.2.3", nullptr},
        {"224.0.0.1", nullptr},
        {"10.0.0.0", nullptr},
        {"10.0.0.255", nullptr},
        {"192.168.1.256", nullptr},
        {"192.256.1.1", nullptr},
        {"192.-1.1.1", nullptr},
        {"4294967306.0.0.1", nullptr},
        {"10.0.0.4294967297", nullptr},
        {"1...1", nullptr},
        {"192.168.1", nullptr},
        {"192.168.1.1/24", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string after;
        SLIBErrSet(0);
        int r = OnCopy(BlSLIBIsIPAddress, c.text, &after);
        if (c.rewritten) {
            EXPECT_EQ(r, 1);
            EXPECT_EQ(after, c.rewritten);
        } else {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(after, c.text);
            EXPECT_EQ(SLIBErrGet(), ERR_BAD_IP_ADDRESS);
        }
    }
    EXPECT_EQ(BlSLIBIsIPAddress(nullptr), 0);
}

TEST(Validate, NetmaskAndNetworkAddressTables) {
    struct Mask {
        const char *text;
        const char *rewritten;
    } masks[] = {
        {"255.255.255.0", "255.255.255.0"},
        {"0377.0xff.255.0", "255.255.255.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"255.0.255.0", nullptr},
        {"0.0.0.0", nullptr},
        {"255.255.255.256", nullptr},
        {"4294967295.0.0.0", nullptr},
        {"-1.0.0.0", nullptr},
    };
    for (const auto &c : masks) {
        SCOPED_TRACE(c.text);
        std::string after;
        EXPECT_EQ(OnCopy(BlSLIBIsNetmask, c.text, &after), c.rewritten ? 1 : 0);
        EXPECT_EQ(after, c.rewritten ? c.rewritten : c.text);
    }

    struct Net {
        const char *address, *netmask;
        const char *rewritten;
    } nets[] = {
        {"192.168.1.0", "255.255.255.0", "192.168.1.0"},
        {"192.168.1.1", "255.255.255.0", nullptr},
        {"192.168.1.256", "255.255.255.0", nullptr},  // 256 has no low bits set
        {"192.168.1.1", "255.255.255.255", "192.168.1.1"},
        {"192.168.1.1", "255.255.255.254", nullptr},
        {"192.168.0.0", "255.255.254.0", "192.168.0.0"},
        {"192.168.1.0", "255.255.254.0", nullptr},
        {"010.0.0.0", "255.0.0.0", "8.0.0.0"},
        {"4294967306.0.0.0", "255.0.0.0", nullptr},  // no wrap to 10.0.0.0
        {"0.1.0.0", "255.255.0.0", nullptr},
        {"10.0.0.0", "0.0.0.0", nullptr},
        {"10.0.0.0", "255.0.255.0", nullptr},
        {"10.0.0.0", "255.0.0.256", nullptr},
        {"0.0.0.0", "0.0.0.0", "0.0.0.0"},  // no address, no netmask
        {"0.0.0.256", "0.0.0.0", nullptr},
        {"10.0.0", "255.0.0.0", nullptr},
    };
    for (const auto &c : nets) {
        SCOPED_TRACE(std::string(c.address) + "/" + c.netmask);
        std::string after;
        auto fn = [&](char *a) { return BlSLIBIsNetworkAddress(a, c.netmask); };
        EXPECT_EQ(OnCopy(fn, c.address, &after), c.rewritten ? 1 : 0);
        EXPECT_EQ(after, c.rewritten ? c.rewritten : c.address);
    }
}

TEST(Validate, ConvertersWriteTheNetworkAndRefuseWhatDoesNotFit) {
    char out[64];
    ASSERT_EQ(SLIBNetAddrMaskToPrefix(std::string("192.168.1.77/255.255.255.0").data(), out), 0);
    EXPECT_STREQ(out, "192.168.1.0/24");
    ASSERT_EQ(SLIBNetAddrPrefixToMask("192.168.1.77/24", out), 0);
    EXPECT_STREQ(out, "192.168.1.0/255.255.255.0");
    ASSERT_EQ(SLIBNetAddrPrefixToMask("010.1.2.3/0x10", out), 0);
    EXPECT_STREQ(out, "8.1.0.0/255.255.0.0");

    // Without an output the shorter prefix form replaces the text.
    char text[] = "0012.1.2.3/0377.0.0.0";
    ASSERT_EQ(SLIBNetAddrMaskToPrefix(text, nullptr), 0);
    EXPECT_STREQ(text, "10.0.0.0/8");

    // The mask form is longer than the text: an output is required.
    char shortText[] = "1.2.3.4/8";
    SLIBErrSet(0);
    EXPECT_EQ(SLIBNetAddrPrefixToMask(shortText, nullptr), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_STREQ(shortText, "1.2.3.4/8");

    // A text that only a cut to the working copy would make valid.
    std::string longMask = "10.0.0.1/255.255.255." + Repeat("0", 60) + "1";
    std::string longPrefix = Repeat("0", 60) + "12.0.0.1/8";
    struct Case {
        std::string text;
        bool toMask;  // SLIBNetAddrPrefixToMask, else SLIBNetAddrMaskToPrefix
        SLIBERRCODE code;
    } refused[] = {
        {"192.168.1.77/0", true, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77/33", true, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77/-1", true, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77/24x", true, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77/", true, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77/4294967320", true, ERR_BAD_IP_ADDRESS},  // 2^32 + 24
        {"192.168.1.256/24", true, ERR_BAD_IP_ADDRESS},
        {"4294967306.0.0.1/8", true, ERR_BAD_IP_ADDRESS},
        {"-1.0.0.1/8", true, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77", true, ERR_BAD_PARAMETERS},
        {"192.168.1.77/255.255.255.1", false, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77/0.0.0.0", false, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77/24", false, ERR_BAD_IP_ADDRESS},
        {"192.168.1.255/255.255.255.0", false, ERR_BAD_IP_ADDRESS},
        {"192.168.1.77", false, ERR_BAD_PARAMETERS},
        {longMask, false, ERR_BAD_PARAMETERS},
        {longPrefix, true, ERR_BAD_PARAMETERS},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        std::memset(out, 'x', sizeof out);
        SLIBErrSet(0);
        EXPECT_EQ(c.toMask ? SLIBNetAddrPrefixToMask(text.data(), out)
                           : SLIBNetAddrMaskToPrefix(text.data(), out),
                  -1);
        EXPECT_EQ(SLIBErrGet(), c.code);
        EXPECT_EQ(out[0], 'x');
        EXPECT_EQ(text, c.text);
    }
    SLIBErrSet(0);
    EXPECT_EQ(SLIBNetAddrMaskToPrefix(nullptr, out), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);

    // The longest text that fits is still taken.
    std::string fits = Repeat("0", 63 - 10) + "12.0.0.1/8";
    ASSERT_EQ(fits.size(), 63u);
    ASSERT_EQ(SLIBNetAddrPrefixToMask(fits.c_str(), out), 0);
    EXPECT_STREQ(out, "10.0.0.0/255.0.0.0");
}

// Every prefix length and a set of non-contiguous masks over fixed and
// random addresses, judged by Python's ipaddress. Each input line is
// "address netmask prefix"; the peer answers "netmask-ok network-ok
// address/prefix address/netmask" with "-" for a refusal.
TEST(Validate, AddressMathAgreesWithPythonIpaddress) {
    const char *peer = R"PY(
import ipaddress, sys
for line in sys.stdin:
    addr, mask, prefix = line.split()
    try:
        n = ipaddress.IPv4Network('0.0.0.0/' + mask)
        mask_ok = str(n.netmask) == mask and n.prefixlen >= 1
    except ValueError:
        mask_ok = False
    net_ok = False
    if mask_ok and not addr.startswith('0.'):
        try:
            ipaddress.IPv4Network(addr + '/' + mask)
            net_ok = True
        except ValueError:
            pass
    to_prefix = str(ipaddress.IPv4Network(addr + '/' + mask, strict=False)) if mask_ok else '-'
    to_mask = '-'
    if 1 <= int(prefix) <= 32:
        n = ipaddress.IPv4Network(addr + '/' + prefix, strict=False)
        to_mask = '%s/%s' % (n.network_address, n.netmask)
    print(int(mask_ok), int(net_ok), to_prefix, to_mask)
)PY";
    std::vector<uint32_t> addrs = {0xC0A8014D, 0x0A000000, 0xAC10FE01, 0x01000000,
                                   0xFEFEFEFE, 0x0A0A0A0A, 0xC0A80100};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> part(0, 254);
    for (int i = 0; i < 24; ++i) {
        uint32_t a = static_cast<uint32_t>(1 + part(rng) % 254) << 24 | part(rng) << 16 |
                     part(rng) << 8 | part(rng);
        addrs.push_back(a);
    }
    std::vector<uint32_t> badMasks = {0xFF00FF00, 0xFFFFFF01, 0x80800000, 0x000000FF, 0x7FFFFFFF};
    for (int i = 0; i < 8; ++i)
        badMasks.push_back(static_cast<uint32_t>(rng()) | 1u);

    struct Line {
        std::string address, netmask, prefix;
    };
    std::vector<Line> lines;
    for (uint32_t a : addrs) {
        for (int p = 0; p <= 33; ++p) {
            uint32_t m = MaskOf(p > 32 ? 32 : p);
            lines.push_back({Quad(a), Quad(m), std::to_string(p)});
            // Its network; 0.0.0.0 without a netmask is the table's case.
            if (p > 0) lines.push_back({Quad(a & m), Quad(m), std::to_string(p)});
        }
        for (uint32_t m : badMasks)
            lines.push_back({Quad(a), Quad(m), "24"});
    }
    std::string input;
    for (const auto &l : lines)
        input += l.address + " " + l.netmask + " " + l.prefix + "\n";
    std::string answer;
    ASSERT_EQ(qtest::Exec({"/usr/bin/python3", "-c", peer}, &answer, input), 0);

    std::istringstream in(answer);
    for (const auto &l : lines) {
        SCOPED_TRACE(l.address + " " + l.netmask + " /" + l.prefix);
        int maskOk = -1, netOk = -1;
        std::string toPrefix, toMask;
        ASSERT_TRUE(in >> maskOk >> netOk >> toPrefix >> toMask);

        std::string after;
        EXPECT_EQ(OnCopy(BlSLIBIsNetmask, l.netmask, &after), maskOk);
        auto isNet = [&](char *a) { return BlSLIBIsNetworkAddress(a, l.netmask.c_str()); };
        EXPECT_EQ(OnCopy(isNet, l.address, &after), netOk);

        char out[64];
        std::string text = l.address + "/" + l.netmask;
        int r = SLIBNetAddrMaskToPrefix(text.data(), out);
        EXPECT_EQ(r == 0 ? std::string(out) : "-", toPrefix);
        r = SLIBNetAddrPrefixToMask((l.address + "/" + l.prefix).c_str(), out);
        EXPECT_EQ(r == 0 ? std::string(out) : "-", toMask);
    }
}

TEST(Validate, AccountNames) {
    const std::string e = "\xC3\xA9";  // two-byte character
    struct Case {
        std::string name;
        int user, group, share;
    } cases[] = {
        {"admin", 1, 1, 1},
        {"a.b-c_d 9", 1, 1, 1},
        {".profile", 1, 1, 1},
        {"a..", 1, 1, 1},
        {e + e, 1, 1, 1},
        {"", 0, 0, 0},
        {".", 0, 0, 0},
        {"..", 0, 0, 0},
        {"....", 0, 0, 0},
        {"-admin", 0, 0, 0},
        {" admin", 0, 0, 0},
        {"admin ", 0, 0, 0},
        {"a/b", 0, 0, 0},
        {"a\tb", 0, 0, 0},
        {"a:b", 0, 0, 0},
        {"a\x7F", 0, 0, 0},
        {"\xFF\xFE", 0, 0, 0},  // not UTF-8
        {Repeat("g", 15), 1, 1, 1},
        {Repeat("g", 16), 1, 0, 1},
        {Repeat(e, 15), 1, 1, 1},
        {Repeat("s", 32), 1, 0, 1},
        {Repeat("s", 33), 1, 0, 0},
        {Repeat("u", 64), 1, 0, 0},
        {Repeat(e, 64), 1, 0, 0},
        {Repeat("u", 65), 0, 0, 0},
        {Repeat(e, 65), 0, 0, 0},
        {Repeat("\xF0\x9F\x98\x80", 64), 1, 0, 0},  // four bytes each
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BlSLIBIsUserName(c.name.c_str()), c.user);
        EXPECT_EQ(BlSLIBIsGroupName(c.name.c_str()), c.group);
        EXPECT_EQ(BlSLIBIsShareName(c.name.c_str()), c.share);
    }
    EXPECT_EQ(BlSLIBIsUserName(nullptr), 0);
    EXPECT_EQ(BlSLIBIsGroupName(nullptr), 0);
    EXPECT_EQ(BlSLIBIsShareName(nullptr), 0);
}

TEST(Validate, WorkgroupNamesAndIdentifiers) {
    for (const char *ok : {"WORKGROUP", "MY GROUP", "..", "gr\xC3\xBCppe", "a-b_c.d!#"})
        EXPECT_EQ(BlSLIBIsWorkGroupName(ok), 1) << ok;
    for (const char *bad : {"", " A", "A ", "A\x1F", "A\x7F", "A\tB"})
        EXPECT_EQ(BlSLIBIsWorkGroupName(bad), 0) << bad;
    for (char c : std::string("\"*+,/:;<=>?[\\]|")) {
        std::string name = std::string("A") + c + "B";
        EXPECT_EQ(BlSLIBIsWorkGroupName(name.c_str()), 0) << name;
    }
    EXPECT_EQ(BlSLIBIsWorkGroupName(nullptr), 0);

    for (const char *ok : {"", "a", "_x-1", "Abc_def-123456"})
        EXPECT_EQ(BlSLIBIsIdentifier(ok), 1) << ok;
    EXPECT_EQ(BlSLIBIsIdentifier(Repeat("i", 15).c_str()), 1);
    for (const char *bad : {"1a", "-a", "a.b", "a b", "\xC3\xA9"})
        EXPECT_EQ(BlSLIBIsIdentifier(bad), 0) << bad;
    EXPECT_EQ(BlSLIBIsIdentifier(Repeat("i", 16).c_str()), 0);
    EXPECT_EQ(BlSLIBIsIdentifier(nullptr), 0);
}

TEST(Validate, MailAtomsAndAddresses) {
    for (const char *ok : {"abc", "a!#$%&'*+-/=?^_`{|}~", "\xC3\xA9", "\x7F"})
        EXPECT_EQ(BlSLIBIsMailAtom(ok), 1) << ok;
    EXPECT_EQ(BlSLIBIsMailAtom(""), 0);
    EXPECT_EQ(BlSLIBIsMailAtom("a b"), 0);
    for (char c : std::string("\"(),.:;<>[\\]@")) {
        std::string atom = std::string("a") + c;
        EXPECT_EQ(BlSLIBIsMailAtom(atom.c_str()), 0) << atom;
    }

    EXPECT_EQ(BlSLIBIsMailDotAtom("a.b.c"), 1);
    for (const char *bad : {"", "a..b", ".a", "a.", "."})
        EXPECT_EQ(BlSLIBIsMailDotAtom(bad), 0) << bad;

    for (const char *ok :
         {"user@example.com", "first.last@mail.example.org", "\xC3\xBCser@example.com", "a@b"})
        EXPECT_EQ(BlSLIBIsMailAddress(ok), 1) << ok;
    for (const char *bad : {"us..er@example.com", ".user@example.com", "user.@example.com",
                            "userexample.com", "a@b@c", "@b", "a@", "a@b..c", "a b@c"})
        EXPECT_EQ(BlSLIBIsMailAddress(bad), 0) << bad;

    // 511 bytes is the longest text taken; a longer one is refused, also when
    // its first 511 bytes alone would pass.
    std::string fits = "user@" + Repeat("d", 511 - 5);
    EXPECT_EQ(BlSLIBIsMailAddress(fits.c_str()), 1);
    EXPECT_EQ(BlSLIBIsMailDotAtom(Repeat("d", 511).c_str()), 1);
    EXPECT_EQ(BlSLIBIsMailAddress((fits + "d").c_str()), 0);
    EXPECT_EQ(BlSLIBIsMailAddress((fits + " <junk>").c_str()), 0);
    EXPECT_EQ(BlSLIBIsMailDotAtom((Repeat("d", 511) + "..").c_str()), 0);
    EXPECT_EQ(BlSLIBIsMailAddress(nullptr), 0);
    EXPECT_EQ(BlSLIBIsMailDotAtom(nullptr), 0);
    EXPECT_EQ(BlSLIBIsMailAtom(nullptr), 0);
}

}  // namespace
