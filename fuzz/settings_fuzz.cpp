// System settings over hostile files. The first byte chooses the family, the
// rest is cut at form feeds into the files and the values it needs:
//   0 network: interface file, DHCP lease, resolv.conf, smb.conf, afpd.conf;
//     the name servers written back read the same;
//   1 mail settings: qavoinfo.conf; a setting stored reads back as given;
//   2 mail texts: template and strings files of the mail language;
//   3 SMTP: a server's replies, a subject and a body of any bytes; encoded
//     words decode to the subject, the data never ends early;
//   4 time: qavoinfo.conf, the zone table and list, the clock file; NTP
//     settings and a zone chosen read back as given;
//   5 crontab: a schedule stored reads back from a crontab of any bytes;
//   6 PPPoE: pap-secrets and pppoe.conf; an account stored reads back;
//   7 fan: qavoinfo.conf; speed and time stored read back.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qavo_hw.h"
#include "qavo_mail.h"
#include "qavo_net.h"
#include "qavo_servsetting.h"
#include "qavo_smtp.h"
#include "qavo_sys.h"
#include "qavo_time.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_szlist.h"
#include "slib_validate.h"

namespace {

const char *const kIfcfg = "/etc/sysconfig/network-scripts/ifcfg-eth0";
const char *const kLease = "/etc/dhcpc/dhcpcd-eth0.info";
const char *const kAfpd = "/usr/qavo/etc/afpd.conf";
const char *const kSmbConf = "/usr/qavo/etc/smb.conf";
const char *const kMails = "/usr/qavo/qavoman/texts/enu/mails";
const char *const kSdkStrings = "/usr/qavo/qavosdk/texts/enu/strings";
const char *const kSmtpStrings = "/usr/qavo/qavoman/texts/enu/strings";
// A zone file the table may name: a copy of a real one.
const char *const kZoneName = "Fuzz/Zone";
std::string gZoneData;

template <size_t N>
bool Terminated(const char (&s)[N]) {
    return memchr(s, '\0', N) != nullptr;
}

// A key read with the library's own reader ("" when absent).
std::string Key(const char *path, const char *key) {
    char buf[1024] = "";
    if (SLIBFileGetKeyValue(path, key, buf, sizeof buf, 0) <= 0) return "";
    return buf;
}

// ------------------------------------------------------------ network

void Network(const std::vector<std::string> &p) {
    qfuzz::Put(kIfcfg, p[0]);
    qfuzz::Put(kLease, p[1]);
    qfuzz::Put("/etc/resolv.conf", p[2]);
    qfuzz::Put(kSmbConf, p[3]);
    qfuzz::Put(kAfpd, p[4]);

    const size_t room = p[5].empty() ? 1 : static_cast<unsigned char>(p[5][0]) % 24 + 1;
    auto small = std::make_unique<char[]>(room);
    if (QAVOILnxGetIP("eth0", small.get(), static_cast<int>(room)) == 0)
        QFUZZ_CHECK(strlen(small.get()) < room);
    if (QAVOIGetKeyValueFirstItem(kLease, "DNS", ',', small.get(), static_cast<int>(room)) > 0) {
        QFUZZ_CHECK(strlen(small.get()) < room);
        QFUZZ_CHECK(strchr(small.get(), ',') == nullptr);
    }

    SLIBNETIFINFO nic{};
    strcpy(nic.name, "eth0");
    nic.link = 2;
    QAVONETCARDINFO card;
    if (QAVOINetGetCardInfo(&card, &nic) == 0) {
        QFUZZ_CHECK(Terminated(card.szIP) && Terminated(card.szMask) &&
                    Terminated(card.szGateway) && Terminated(card.wins));
    }

    memset(&card, 0, sizeof card);
    if (QAVONetGetDNSDomain(&card) != 0) return;
    for (const auto &s : card.search)
        QFUZZ_CHECK(Terminated(s));
    for (const auto &d : card.dns)
        QFUZZ_CHECK(Terminated(d));
    // What is written back reads the same: every name server that is an
    // address, in order, in the validator's form.
    std::vector<std::string> kept;
    for (const auto &d : card.dns) {
        char copy[sizeof d];
        memcpy(copy, d, sizeof d);
        if (copy[0] && BlSLIBIsIPAddress(copy)) kept.push_back(copy);
    }
    if (QAVONetSetDNSDomain(&card) == 0) {
        QAVONETCARDINFO again;
        memset(&again, 0, sizeof again);
        QFUZZ_CHECK(QAVONetGetDNSDomain(&again) == 0);
        for (size_t i = 0; i < QAVO_NET_DNS_MAX; ++i)
            QFUZZ_CHECK(kept.size() > i ? kept[i] == again.dns[i] : again.dns[i][0] == '\0');
    }

    // The AFP server line: only that one line changes, and it starts with
    // the new name.
    const std::string before = qfuzz::ReadAll(kAfpd);
    if (APPLEISetServName("nas1") == 0) {
        const auto a = qfuzz::Lines(before), b = qfuzz::Lines(qfuzz::ReadAll(kAfpd));
        QFUZZ_CHECK(a.size() == b.size());
        int changed = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i] == b[i]) continue;
            ++changed;
            QFUZZ_CHECK(b[i].rfind("nas1", 0) == 0);
        }
        QFUZZ_CHECK(changed <= 1);
    }
}

// ------------------------------------------------------------ mail

void MailSettings(const std::vector<std::string> &p) {
    qfuzz::Put(SLIB_QAVOINFO_PATH, p[0]);
    int needed = 0;
    if (QAVOMailGet(QAVO_MAIL_TYPE, nullptr, 0, &needed) == 1) {
        QFUZZ_CHECK(needed >= static_cast<int>(sizeof(QAVOMAILSETTING)));
        auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
        int ignored = 0;
        QFUZZ_CHECK(QAVOMailGet(QAVO_MAIL_TYPE, reinterpret_cast<QAVOMAILSETTING *>(buf.get()),
                                needed - 1, &ignored) == -1);
        auto *s = reinterpret_cast<QAVOMAILSETTING *>(buf.get());
        if (QAVOMailGet(QAVO_MAIL_TYPE, s, needed, &needed) == 1) {
            for (const char *t : {s->szSmtp, s->szMail1, s->szMail2}) {
                QFUZZ_CHECK(t > reinterpret_cast<char *>(buf.get()) &&
                            t + strlen(t) < reinterpret_cast<char *>(buf.get()) + needed);
            }
        }
    }

    std::string values[5];
    for (int i = 0; i < 5; ++i)
        values[i] = qfuzz::CText(p[1 + i]);
    QAVOMAILSETTING set{};
    set.szSmtp = values[0].data();
    set.szMail1 = values[1].data();
    set.szMail2 = values[2].data();
    set.szUser = values[3].data();
    set.szPass = values[4].data();
    set.blAuth = !values[3].empty();
    if (QAVOMailSet(QAVO_MAIL_TYPE, &set) != 1) return;
    needed = 0;
    QFUZZ_CHECK(QAVOMailGet(QAVO_MAIL_TYPE, nullptr, 0, &needed) == 1);
    auto buf = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
    auto *got = reinterpret_cast<QAVOMAILSETTING *>(buf.get());
    QFUZZ_CHECK(QAVOMailGet(QAVO_MAIL_TYPE, got, needed, &needed) == 1);
    QFUZZ_CHECK(values[0] == got->szSmtp && values[1] == got->szMail1 &&
                values[2] == got->szMail2 && got->blTest == 0);
    // The account is read back by the mail sender with the key reader.
    QFUZZ_CHECK(Key(SLIB_QAVOINFO_PATH, "eventuser") == values[3]);
    QFUZZ_CHECK(Key(SLIB_QAVOINFO_PATH, "eventpass") == values[4]);
    QFUZZ_CHECK(Key(SLIB_QAVOINFO_PATH, "eventauth") == (set.blAuth ? "yes" : "no"));
}

void MailTexts(const std::vector<std::string> &p) {
    qfuzz::Put(SLIB_QAVOINFO_PATH, p[0]);
    qfuzz::Put(kMails, p[1]);
    qfuzz::Put(kSdkStrings, p[2]);
    qfuzz::Put(kSmtpStrings, p[2]);
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    QFUZZ_CHECK(list != nullptr);
    if (QAVOMailEnumTags(&list) == 0) {
        for (int i = 0; i < list->nItem; ++i)
            QFUZZ_CHECK(strchr(list->pszItem[i], ']') == nullptr);
    }
    SLIBSzListFree(list);

    const size_t room = p[3].empty() ? 1 : static_cast<unsigned char>(p[3][0]) % 80 + 1;
    auto out = std::make_unique<char[]>(room);
    if (QAVOMailGetCharset(out.get(), static_cast<int>(room)) == 0)
        QFUZZ_CHECK(strlen(out.get()) < room && out.get()[0] != '\0');
    if (QAVOMailGetVendorDomain(out.get(), static_cast<int>(room)) == 0)
        QFUZZ_CHECK(strlen(out.get()) < room && out.get()[0] != '\0');
    const std::string lang = qfuzz::CText(p[4]);
    if (QAVOSMTPGetCharset(lang.c_str(), out.get(), static_cast<int>(room)) == 0)
        QFUZZ_CHECK(strlen(out.get()) < room && out.get()[0] != '\0');
}

// ------------------------------------------------------------ SMTP

std::string Unbase64(const std::string &s) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    QFUZZ_CHECK(s.size() % 4 == 0);
    std::string out;
    for (size_t i = 0; i < s.size(); i += 4) {
        unsigned v = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = s[i + k];
            unsigned d = 0;
            if (c == '=') {
                ++pad;
            } else {
                QFUZZ_CHECK(pad == 0);
                const size_t at = kAlphabet.find(c);
                QFUZZ_CHECK(at != std::string::npos);
                d = static_cast<unsigned>(at);
            }
            v = v << 6 | d;
        }
        QFUZZ_CHECK(pad <= 2 && (pad == 0 || i + 4 == s.size()));
        out += static_cast<char>(v >> 16);
        if (pad < 2) out += static_cast<char>(v >> 8 & 0xFF);
        if (pad < 1) out += static_cast<char>(v & 0xFF);
    }
    return out;
}

// The decoded words of an encoded Subject header.
std::vector<std::string> Words(const std::string &header, const std::string &charset) {
    const std::string open = "=?" + charset + "?B?";
    QFUZZ_CHECK(header.rfind("Subject: ", 0) == 0 && header.back() == '\n');
    std::vector<std::string> words;
    std::string rest = header.substr(9, header.size() - 10);
    // No word over 75 characters, no line over 76.
    size_t line = 9;
    for (;;) {
        QFUZZ_CHECK(rest.rfind(open, 0) == 0);
        const size_t end = rest.find("?=", open.size());
        QFUZZ_CHECK(end != std::string::npos);
        QFUZZ_CHECK(end + 2 <= 75 && line + end + 2 <= 76);
        line = 1;
        words.push_back(Unbase64(rest.substr(open.size(), end - open.size())));
        rest = rest.substr(end + 2);
        if (rest.empty()) break;
        QFUZZ_CHECK(rest.rfind("\n\t", 0) == 0);
        rest = rest.substr(2);
    }
    return words;
}

// Everything left to read of a descriptor.
std::string Drain(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

void Smtp(const std::vector<std::string> &p) {
    int sv[2];
    QFUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    QFUZZ_CHECK(write(sv[1], p[0].data(), p[0].size()) == static_cast<ssize_t>(p[0].size()));
    shutdown(sv[1], SHUT_WR);
    const int expected[] = {220, 0, 334, 334, 235, 250, 250, 354, 250};
    for (int e : expected) {
        const int r = QAVOSMTPReadReply(e, sv[0]);
        QFUZZ_CHECK(r == 0 || r == -4 || r == -5 || r == -6 || (r > 0 && r != e));
        if (r == -4 || r == -6) break;
    }
    close(sv[0]);
    close(sv[1]);

    // A subject line of any bytes: its encoded words decode to the subject.
    const std::string text = "Subject: " + qfuzz::CText(p[1]);
    std::string subject = text.substr(9);
    subject.erase(0, subject.find_first_not_of(" \t"));
    subject = subject.substr(0, subject.find('\n'));
    if (!subject.empty() && subject.back() == '\r') subject.pop_back();
    char *header = QAVOSMTPEncodeSubject(text.c_str(), "utf-8");
    QFUZZ_CHECK(header != nullptr);
    if (subject.empty()) {
        QFUZZ_CHECK(strcmp(header, "Subject: \n") == 0);
    } else {
        std::string joined;
        for (const std::string &w : Words(header, "utf-8"))
            joined += w;
        QFUZZ_CHECK(joined == subject);
    }
    free(header);
    header = QAVOSMTPEncodeSubject(text.c_str(), QAVO_SMTP_CHARSET_JIS);
    QFUZZ_CHECK(header != nullptr);
    if (!subject.empty() && subject.find('\x1b') == std::string::npos) {
        // Each word ends in ASCII mode.
        for (const std::string &w : Words(header, QAVO_SMTP_CHARSET_JIS)) {
            const size_t esc = w.rfind('\x1b');
            QFUZZ_CHECK(esc == std::string::npos || w.compare(esc, 3, "\x1b(B") == 0);
        }
    }
    free(header);

    // The data (into a file: a socket's buffer would fill): every line end
    // is CR LF, a CR never stands alone and no line is a lone dot, so the
    // mail never ends early.
    const int fd = memfd_create("smtpdata", MFD_CLOEXEC);
    QFUZZ_CHECK(fd >= 0);
    const std::string &body = p[2];
    QFUZZ_CHECK(QAVOSMTPWriteCRLF(fd, body.data(), static_cast<int>(body.size())) ==
                static_cast<int>(body.size()));
    const std::string bodyText = qfuzz::CText(body);
    QFUZZ_CHECK(QAVOSMTPWriteBody(fd, bodyText.c_str(), QAVO_SMTP_CHARSET_JIS) == 0);
    QFUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    const std::string sent = "\r\n" + Drain(fd);
    close(fd);
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i] == '\n') QFUZZ_CHECK(i > 0 && sent[i - 1] == '\r');
        if (sent[i] == '\r') QFUZZ_CHECK(i + 1 < sent.size() && sent[i + 1] == '\n');
    }
    QFUZZ_CHECK(sent.find("\r\n.\r\n") == std::string::npos);
}

// ------------------------------------------------------------ time

void Time(const std::vector<std::string> &p) {
    qfuzz::Put(SLIB_QAVOINFO_PATH, p[0]);
    qfuzz::Put(QAVO_ZONE_TABLE, p[1]);
    qfuzz::Put(QAVO_ZONE_LIST, p[2]);
    qfuzz::Put(QAVO_CLOCK_FILE, p[3]);
    qfuzz::Put(QAVO_CRONTAB_PATH, "");

    QAVONTPINFO ntp;
    memset(&ntp, 'x', sizeof ntp);
    if (QAVONTPGet(&ntp) == 1) {
        QFUZZ_CHECK(ntp.fEnabled == 0 || ntp.fEnabled == 1);
        QFUZZ_CHECK(Terminated(ntp.szPeriod) && Terminated(ntp.szServer) &&
                    Terminated(ntp.szServerBackup));
    }
    int flag = -1;
    if (QAVOZoneIsDayLightSaving(&flag) == 0) QFUZZ_CHECK(flag == 0 || flag == 1);

    int needed = 0;
    if (QAVOZoneGet(nullptr, 0, &needed) == 0) {
        QFUZZ_CHECK(needed > 0);
        auto buf = std::make_unique<char[]>(static_cast<size_t>(needed));
        QFUZZ_CHECK(QAVOZoneGet(buf.get(), needed - 1, &needed) == -1);
        QFUZZ_CHECK(QAVOZoneGet(buf.get(), needed, &needed) == 0);
        QFUZZ_CHECK(strlen(buf.get()) + 1 == static_cast<size_t>(needed));
    }
    if (QAVOZoneEnum(nullptr, 0, &needed) == 0 && needed > 0) {
        auto area = std::make_unique<char *[]>(static_cast<size_t>(needed) / sizeof(char *) + 1);
        int ignored = 0;
        QFUZZ_CHECK(QAVOZoneEnum(area.get(), needed - 1, &ignored) == -1);
        const int n = QAVOZoneEnum(area.get(), needed, &needed);
        const char *lo = reinterpret_cast<const char *>(area.get());
        for (int i = 0; i < n; ++i) {
            const char *name = area[static_cast<size_t>(i)];
            QFUZZ_CHECK(name >= lo + sizeof(char *) * (static_cast<size_t>(n) + 1) &&
                        name + strlen(name) < lo + needed && name[0] != '\0');
            int size = 0;
            if (QAVOZoneGetDesc(name, nullptr, 0, &size) == 0) {
                auto desc = std::make_unique<char[]>(static_cast<size_t>(size));
                QFUZZ_CHECK(QAVOZoneGetDesc(name, desc.get(), size, &size) == 1);
                QFUZZ_CHECK(strlen(desc.get()) + 1 == static_cast<size_t>(size));
            }
        }
        if (n >= 0) QFUZZ_CHECK(area[static_cast<size_t>(n)] == nullptr);
    }

    // A zone chosen reads back, and its file stays inside the zone folder.
    const std::string zone = qfuzz::CText(p[4]);
    const int daylight = p[5].empty() ? 0 : p[5][0] & 1;
    if (QAVOZoneSet(zone.c_str(), daylight) == 1) {
        char real[PATH_MAX];
        const std::string file = QAVO_ZONE_DIR + zone;
        QFUZZ_CHECK(realpath(file.c_str(), real) != nullptr);
        QFUZZ_CHECK(strncmp(real, QAVO_ZONE_DIR, strlen(QAVO_ZONE_DIR)) == 0);
        char got[256];
        QFUZZ_CHECK(QAVOZoneGet(got, sizeof got, &needed) == 0 && zone == got);
        QFUZZ_CHECK(QAVOZoneIsDayLightSaving(&flag) == 0 && flag == daylight);
    }

    // NTP settings stored read back.
    QAVONTPINFO in{};
    in.fEnabled = p[5].empty() ? 0 : (p[5][0] >> 1) & 1;
    snprintf(in.szPeriod, sizeof in.szPeriod, "%s", qfuzz::CText(p[6]).c_str());
    snprintf(in.szServer, sizeof in.szServer, "%s", qfuzz::CText(p[7]).c_str());
    snprintf(in.szServerBackup, sizeof in.szServerBackup, "%s", qfuzz::CText(p[8]).c_str());
    if (QAVONTPSet(&in) == 1) {
        QAVONTPINFO out;
        QFUZZ_CHECK(QAVONTPGet(&out) == 1);
        QFUZZ_CHECK(out.fEnabled == in.fEnabled && strcmp(out.szPeriod, in.szPeriod) == 0 &&
                    strcmp(out.szServer, in.szServer) == 0 &&
                    strcmp(out.szServerBackup, in.szServerBackup) == 0);
    }
}

// ------------------------------------------------------------ crontab

// The first word of a command, as the schedule reader gives it back.
std::string FirstWord(const std::string &s) {
    size_t b = 0;
    while (b < s.size() && isspace(static_cast<unsigned char>(s[b])))
        ++b;
    size_t e = b;
    while (e < s.size() && !isspace(static_cast<unsigned char>(s[e])))
        ++e;
    return s.substr(b, e - b);
}

void Crontab(const std::vector<std::string> &p) {
    qfuzz::Put(QAVO_CRONTAB_PATH, p[0]);
    const std::string probe = qfuzz::CText(p[1]);
    QAVOSCHEDULE s;
    if (!probe.empty() && QAVOScheduleGet(probe.c_str(), &s) == 1) {
        QFUZZ_CHECK(s.nHour >= 0 && s.nHour <= 23 && s.nLastHour >= 0 && s.nLastHour <= 23 &&
                    s.nInterval >= 0 && s.nInterval <= 23 && s.nRunCount >= 1);
        QFUZZ_CHECK((s.ulWeekdayMask & ~0x7Fu) == 0 && Terminated(s.szCommand));
    }

    // A schedule of the input's numbers and command.
    const std::string &n = p[2];
    auto at = [&](size_t i) { return i < n.size() ? static_cast<signed char>(n[i]) : 0; };
    QAVOSCHEDULE in{};
    in.ulWeekdayMask = static_cast<uint8_t>(at(0));
    in.nHour = at(1);
    in.nInterval = at(2);
    in.nLastHour = at(3);
    in.nMinute = at(4);
    snprintf(in.szCommand, sizeof in.szCommand, "%s", qfuzz::CText(p[3]).c_str());
    if (QAVOScheduleSet(&in) != 0) return;
    QAVOSCHEDULE out;
    QFUZZ_CHECK(QAVOScheduleGet(in.szCommand, &out) == 1);
    const bool range = in.nInterval != 0 && in.nLastHour != in.nHour;
    QFUZZ_CHECK(out.ulWeekdayMask == (in.ulWeekdayMask & 0x7F));
    QFUZZ_CHECK(out.nMinute == in.nMinute && out.nHour == in.nHour);
    QFUZZ_CHECK(out.nLastHour == (range ? in.nLastHour : in.nHour));
    QFUZZ_CHECK(out.nInterval == (range ? in.nInterval : 0));
    QFUZZ_CHECK(out.nRunCount == (range ? (in.nLastHour - in.nHour) / in.nInterval + 1 : 1));
    QFUZZ_CHECK(FirstWord(in.szCommand) == out.szCommand);
    QFUZZ_CHECK(QAVOScheduleRemove(in.szCommand) == 0);
}

// ------------------------------------------------------------ PPPoE

void Pppoe(const std::vector<std::string> &p) {
    qfuzz::Put("/etc/ppp/pap-secrets", p[0]);
    qfuzz::Put("/etc/ppp/pppoe.conf", p[1]);
    QAVOPPPOECONF got;
    memset(&got, 'x', sizeof got);
    if (QAVOPPPoEConfGet(&got) == 0) {
        QFUZZ_CHECK(Terminated(got.szUser) && Terminated(got.szPassword));
        // An account read and stored again reads the same.
        const QAVOPPPOECONF read = got;
        if (QAVOPPPoEConfSet(read) == 0) {
            QFUZZ_CHECK(QAVOPPPoEConfGet(&got) == 0);
            QFUZZ_CHECK(strcmp(got.szUser, read.szUser) == 0 &&
                        strcmp(got.szPassword, read.szPassword) == 0);
        }
    }
    QAVOPPPOECONF in{};
    snprintf(in.szUser, sizeof in.szUser, "%s", qfuzz::CText(p[2]).c_str());
    snprintf(in.szPassword, sizeof in.szPassword, "%s", qfuzz::CText(p[3]).c_str());
    if (QAVOPPPoEConfSet(in) != 0) return;
    QFUZZ_CHECK(QAVOPPPoEConfGet(&got) == 0);
    QFUZZ_CHECK(strcmp(got.szUser, in.szUser) == 0 && strcmp(got.szPassword, in.szPassword) == 0);
    QFUZZ_CHECK(Key("/etc/ppp/pppoe.conf", "USER") == in.szUser);
}

// ------------------------------------------------------------ fan

void Fan(const std::vector<std::string> &p) {
    qfuzz::Put(SLIB_QAVOINFO_PATH, p[0]);
    const int speed = QAVOFanConfigSpeedGet();
    QFUZZ_CHECK(speed >= QAVO_FAN_ON && speed <= QAVO_FAN_LOW);
    QAVOFanConfigTimeGet();
    const int want = p[1].empty() ? 0 : static_cast<unsigned char>(p[1][0]) % 4;
    if (QAVOFanConfigSpeedSet(want) == 0) QFUZZ_CHECK(QAVOFanConfigSpeedGet() == want);
    const std::string value = qfuzz::CText(p[2]);
    if (QAVOFanConfigTimeSet(value.c_str()) == 0) {
        long expect = value.size() < 64 ? strtol(value.c_str(), nullptr, 10) : 0;
        expect = expect > INT_MAX ? INT_MAX : expect < INT_MIN ? INT_MIN : expect;
        QFUZZ_CHECK(QAVOFanConfigTimeGet() == expect);
    }
}

void Mkdirs(const char *path) {
    std::string p(path);
    for (size_t at = 1; (at = p.find('/', at)) != std::string::npos; ++at)
        mkdir(p.substr(0, at).c_str(), 0755);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    for (const char *f : {kIfcfg, kLease, kAfpd, kMails, kSdkStrings, kSmtpStrings,
                          "/etc/ppp/pap-secrets", QAVO_CLOCK_FILE})
        Mkdirs(f);
    // The zone folder becomes the harness's own: its table and list are
    // input, and one zone file is a copy of a real one.
    gZoneData = qfuzz::ReadAll("/usr/share/zoneinfo/Etc/UTC");
    if (gZoneData.empty() ||
        mount("tmpfs", QAVO_ZONE_DIR, "tmpfs", MS_NOSUID | MS_NODEV, "size=4m") != 0) {
        perror(QAVO_ZONE_DIR);
        abort();
    }
    const std::string zone = std::string(QAVO_ZONE_DIR) + kZoneName;
    Mkdirs(zone.c_str());
    qfuzz::Put(zone.c_str(), gZoneData);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const auto p = qfuzz::Parts(data + 1, size - 1, 9);
    switch (data[0] % 8) {
        case 0:
            Network(p);
            break;
        case 1:
            MailSettings(p);
            break;
        case 2:
            MailTexts(p);
            break;
        case 3:
            Smtp(p);
            break;
        case 4:
            Time(p);
            break;
        case 5:
            Crontab(p);
            break;
        case 6:
            Pppoe(p);
            break;
        default:
            Fan(p);
            break;
    }
    return 0;
}
