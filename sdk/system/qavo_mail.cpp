// Mail notification settings and event mails: the "event..." keys of
// "/etc/qavoinfo.conf", the localized mail templates, their placeholders and
// the hand-over to the SMTP client.
#include "qavo_mail.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "qavo_smtp.h"
#include "qavo_time.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_lock.h"
#include "slib_netif.h"
#include "slib_validate.h"
#include "slib_util.h"

namespace {

using slib::Fail;

constexpr const char *kConf = SLIB_QAVOINFO_PATH;
constexpr const char *kDefaults = "/etc.defaults/qavoinfo.conf";
constexpr const char *kFormat = SLIB_KEYVALUE_FMT_QUOTED;
constexpr int kLockTimeout = 5;
constexpr int kSendLockTimeout = 15;
constexpr size_t kTagMax = 125;
constexpr size_t kLangMax = 32;
constexpr int kValueSize = QAVO_MAIL_VALUE_MAX + 1;

// A shared or exclusive hold of the qavoinfo lock for one scope.
class InfoLock {
  public:
    InfoLock(SLIBLOCKREQ op, int timeout)
        : held_(ErrSLIBFileLock(SLIB_LOCK_QAVOINFO | op, timeout) == 0) {}
    ~InfoLock() {
        if (held_) SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO);
    }
    InfoLock(const InfoLock &) = delete;
    InfoLock &operator=(const InfoLock &) = delete;
    bool Held() const { return held_; }
    // Releases now; false when the release fails.
    bool Release() {
        if (!held_) return true;
        held_ = false;
        return SLIBErrSLIBFileUnlock(SLIB_LOCK_QAVOINFO) == 0;
    }

  private:
    bool held_;
};

// A key into out (size bytes): true with the value, or with "" when the key
// is absent; false when the file cannot be read or the value is too long.
bool ReadKey(const char *path, const char *key, char *out, int size) {
    out[0] = '\0';
    return SLIBFileGetKeyValue(path, key, out, size, 0) >= 0;
}

std::string Key(const char *path, const char *key, bool *ok = nullptr) {
    char value[1024];
    const bool read = ReadKey(path, key, value, sizeof(value));
    if (ok) *ok = read;
    return read ? value : "";
}

bool Readable(const char *path) {
    return access(path, R_OK) == 0;
}

// The language of the mails: "maillang" when it is a plain code, else "enu".
std::string MailLang() {
    const std::string lang = Key(kConf, "maillang");
    return slib::IsPlainCode(lang.c_str(), kLangMax) ? lang : "enu";
}

// "%COMPANY_NAME%": factory "mailfrom", empty when absent; the default when
// the factory file cannot be read.
std::string CompanyName() {
    if (!Readable(kDefaults)) return QAVO_MAIL_DEFAULT_FROM;
    return Key(kDefaults, "mailfrom");
}

// The sender name: factory "mailfrom", the default when absent or empty.
std::string FromName() {
    char name[128];
    if (!ReadKey(kDefaults, "mailfrom", name, sizeof(name)) || name[0] == '\0')
        return QAVO_MAIL_DEFAULT_FROM;
    return name;
}

std::string TrimTail(std::string_view line) {
    while (!line.empty() && strchr(" \t\r\n", line.back()) != nullptr)
        line.remove_suffix(1);
    return std::string(line);
}

// The section of tag in a template file: each line without its trailing
// blanks, with a newline. 0, or -1 (0x0100 tag too long, 0x0900, 0x2000 no
// such section).
int CopySection(const std::string &path, const char *tag, std::string &out) {
    if (strlen(tag) > kTagMax) return Fail(ERR_BUF_TOO_SMALL);
    slib::FilePtr in(fopen(path.c_str(), "re"));
    if (!in) return Fail(ERR_OPEN_FAILED);
    const std::string header = std::string("[") + tag + "]";
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    bool inSection = false, found = false;
    while ((n = getline(&buf, &cap, in.get())) > 0) {
        const std::string_view line(buf, static_cast<size_t>(n));
        const bool opens = line[0] == '[';
        if (inSection) {
            if (opens && TrimTail(line).size() >= 3) break;
            out += TrimTail(line) + "\n";
        } else if (opens && line.find(header) != std::string_view::npos) {
            inSection = found = true;
        }
    }
    free(buf);
    if (!found) return Fail(ERR_NOT_FOUND);
    return 0;
}

// The template section of tag: from the model's resource file when there is
// one and it has the tag, else from the language's plain file.
int GetTemplate(const char *tag, bool english, std::string &out) {
    const std::string lang = english ? "enu" : MailLang();
    const std::string path = QAVO_MAIL_TEXTS_DIR + lang + "/mails";
    const std::string resource = Key(kDefaults, "resource");
    if (slib::IsPlainCode(resource.c_str(), kLangMax)) {
        const std::string resPath = path + "-" + resource;
        struct stat st;
        if (stat(resPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (CopySection(resPath, tag, out) == 0) return 0;
            out.clear();
        }
    }
    return CopySection(path, tag, out);
}

// The host name up to the first blank, dot or tab.
std::string ShortHostName() {
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) != 0) return "";
    name[sizeof(name) - 1] = '\0';
    return std::string(name, strcspn(name, " .\t"));
}

std::string IpAddress() {
    SLIBNETIFINFO info{};
    uint32_t addr = 0, mask = 0;
    if (SLIBNetGetPsIf(&info) != 1 || SLIBNetGetIfAddr(info.name, &addr, &mask) != 1 || addr == 0)
        return "";
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

// Sets the appliance's own placeholders in the hash. false on failure.
bool SetOwnPlaceholders(PSLIBSZHASH *hash) {
    const std::string ip = IpAddress();
    std::string url;
    if (!ip.empty()) {
        bool ok = false;
        const std::string web = Key(kDefaults, "supportweb", &ok);
        url = "http://" + ip + (!ok || web == "yes" ? ":5000/" : "/");
    }
    int t[6];
    if (QAVOTimeGetLocal(t) != 0) return false;
    char date[48], clock[48];
    snprintf(date, sizeof(date), "%d/%02d/%02d", t[0], t[1], t[2]);
    snprintf(clock, sizeof(clock), "%02d:%02d:%02d", t[3], t[4], t[5]);
    const std::pair<const char *, std::string> values[] = {
        {"%COMPANY_NAME%", CompanyName()},
        {"%HOSTNAME%", ShortHostName()},
        {"%IP_ADDR%", ip},
        {"%HTTP_URL%", url},
        {"%DATE%", date},
        {"%TIME%", clock},
    };
    for (const auto &[key, value] : values) {
        if (SLIBSzHashSetValue(hash, key, value.c_str()) < 0) return false;
    }
    return true;
}

// Replaces every key of the hash in the text, key after key.
bool ReplaceAll(PSLIBSZHASH hash, std::string &text) {
    slib::SzListPtr keys(PslSLIBSzListAlloc(512));
    if (!keys) return false;
    PSLIBSZLIST raw = keys.release();
    const int n = SLIBSzHashEnumKey(hash, &raw);
    keys.reset(raw);
    if (n < 0) return false;
    for (int i = 0; i < keys->nItem; ++i) {
        const std::string_view key = keys->pszItem[i];
        const char *value = SzSLIBSzHashGetValue(hash, keys->pszItem[i]);
        if (key.empty() || value == nullptr) continue;
        const std::string_view to = value;
        std::string result;
        size_t from = 0, at;
        while ((at = text.find(key, from)) != std::string::npos) {
            result.append(text, from, at - from);
            result.append(to);
            from = at + key.size();
        }
        result.append(text, from, std::string::npos);
        text.swap(result);
    }
    return true;
}

// Composes the mail of tag in memory: the subject (the rest of a first
// "Subject:" line, its blank and newline included) and the whole text.
// 0, or -1.
int Compose(const char *tag, std::string &subject, std::string &text, PSLIBSZHASH *placeholders,
            bool english) {
    // Without the caller's hash, one of our own for this composition.
    PSLIBSZHASH own = nullptr;
    const std::unique_ptr<PSLIBSZHASH, void (*)(PSLIBSZHASH *)> ownFree(&own, [](PSLIBSZHASH *h) {
        if (*h) SLIBSzHashFree(*h);
    });
    PSLIBSZHASH *hash = placeholders;
    if (hash == nullptr || *hash == nullptr) {
        own = PshSLIBSzHashAlloc(128);
        if (own == nullptr) return Fail(ERR_OUT_OF_MEMORY);
        hash = &own;
    }
    text.clear();
    if (GetTemplate(tag, english, text) != 0) return -1;
    if (!SetOwnPlaceholders(hash) || !ReplaceAll(*hash, text)) return -1;
    subject.clear();
    if (text.starts_with("Subject:")) subject = text.substr(8, text.find('\n') - 8 + 1);
    return 0;
}

bool IsServerName(const char *name) {
    const size_t len = strlen(name);
    if (len == 0 || len > QAVO_MAIL_VALUE_MAX) return false;
    if (strspn(name, "0123456789.") == len) {
        char copy[QAVO_MAIL_VALUE_MAX + 1];
        strcpy(copy, name);
        return BlSLIBIsIPAddress(copy) == 1;
    }
    // Host name: labels of letters, digits and inner hyphens.
    size_t label = 0;
    for (size_t i = 0; i <= len; ++i) {
        const char c = name[i];
        if (c == '.' || c == '\0') {
            if (label == 0 || label > 63 || name[i - 1] == '-') return false;
            label = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || (c == '-' && label > 0);
        if (!ok) return false;
        ++label;
    }
    return true;
}

bool ValidSetting(const QAVOMAILSETTING &s) {
    if (s.szSmtp && s.szSmtp[0] && !IsServerName(s.szSmtp)) return false;
    for (const char *mail : {s.szMail1, s.szMail2}) {
        if (mail && mail[0] &&
            (strlen(mail) > QAVO_MAIL_VALUE_MAX || BlSLIBIsMailAddress(mail) != 1))
            return false;
    }
    for (const char *v : {s.szUser, s.szPass}) {
        if (v && (strlen(v) > QAVO_MAIL_VALUE_MAX || !slib::OneLine(v))) return false;
    }
    return true;
}

bool SetKey(const char *key, const char *value) {
    return SLIBFileSetKeyValue(kConf, key, value, kFormat) >= 0;
}

void LogTag(const char *format, const std::string &text) {
    std::string line(static_cast<size_t>(snprintf(nullptr, 0, format, text.c_str())), '\0');
    snprintf(line.data(), line.size() + 1, format, text.c_str());
    QAVOMAN_SYSLOG(line.data());
}

}  // namespace

extern "C" void QAVOMAN_SYSLOG(char *text) {
    if (text == nullptr) return;
    for (char *p = text; *p; ++p) {
        if (*p == '%') *p = '#';
    }
    SLIBLog(LOG_ERR, "qavomail: QAVOMAN_SYSLOG: %s", text);
}

extern "C" int QAVOMailGet(int type, QAVOMAILSETTING *buf, int size, int *needed) {
    InfoLock lock(SLIB_LOCK_SH, kLockTimeout);
    if (!lock.Held()) return -1;
    if (type != QAVO_MAIL_TYPE || needed == nullptr || (buf == nullptr && size != 0) ||
        (buf != nullptr && size < 1))
        return Fail(ERR_BAD_PARAMETERS);
    char smtp[kValueSize], mail1[kValueSize], mail2[kValueSize];
    if (!ReadKey(kConf, "eventsmtp", smtp, sizeof(smtp)) ||
        !ReadKey(kConf, "eventmail1", mail1, sizeof(mail1)) ||
        !ReadKey(kConf, "eventmail2", mail2, sizeof(mail2)))
        return -1;
    const size_t lens[3] = {strlen(smtp), strlen(mail1), strlen(mail2)};
    const size_t total = sizeof(QAVOMAILSETTING) + lens[0] + lens[1] + lens[2] + 3;
    *needed = static_cast<int>(total);
    if (buf == nullptr) return lock.Release() ? 1 : -1;
    if (static_cast<size_t>(size) < total) return Fail(ERR_BUF_TOO_SMALL);
    char test[10];
    if (!ReadKey(kConf, "eventtest", test, sizeof(test))) test[0] = '\0';
    memset(buf, 0, total);
    char *p = reinterpret_cast<char *>(buf) + sizeof(QAVOMAILSETTING);
    char **fields[3] = {&buf->szSmtp, &buf->szMail1, &buf->szMail2};
    const char *values[3] = {smtp, mail1, mail2};
    for (int i = 0; i < 3; ++i) {
        memcpy(p, values[i], lens[i] + 1);
        *fields[i] = p;
        p += lens[i] + 1;
    }
    // Written "yes" or "no"; "off" is an older spelling of clear.
    buf->blTest = test[0] != '\0' && strcmp(test, "no") != 0 && strcmp(test, "off") != 0;
    return lock.Release() ? 1 : -1;
}

extern "C" int QAVOMailSet(int type, const QAVOMAILSETTING *setting) {
    if (type != QAVO_MAIL_TYPE || setting == nullptr || !ValidSetting(*setting))
        return Fail(ERR_BAD_PARAMETERS);
    const QAVOMAILSETTING &s = *setting;
    InfoLock lock(SLIB_LOCK_EX, kLockTimeout);
    if (!lock.Held()) return -1;
    if (s.szSmtp && !SetKey("eventsmtp", s.szSmtp)) return -1;
    if (!SetKey("eventauth", s.blAuth ? "yes" : "no")) return -1;
    if (s.szUser && !SetKey("eventuser", s.szUser)) return -1;
    if (s.szPass && !SetKey("eventpass", s.szPass)) return -1;
    if (s.szMail1 && !SetKey("eventmail1", s.szMail1)) return -1;
    if (s.szMail2 && !SetKey("eventmail2", s.szMail2)) return -1;
    if (s.blTest) {
        if (!SetKey("eventtest", "yes")) return -1;
        if (s.szSmtp && s.szSmtp[0] && s.szMail1 && s.szMail1[0]) {
            SendEventMail(QAVO_MAIL_TEST_TAG, nullptr);
            QAVOLogEventWrite(QAVOLOG_CLASS_SYS, 1, QAVO_MAIL_EVENT_TEST, "", "", "", "");
        }
    } else if (!SetKey("eventtest", "no")) {
        return -1;
    }
    return lock.Release() ? 1 : -1;
}

extern "C" void SendEventMail(const char *tag, PSLIBSZHASH *placeholders) {
    SendEventMailEx(tag, placeholders, "");
}

extern "C" void SendEventMailEx(const char *tag, PSLIBSZHASH *placeholders, const char *recipient) {
    if (tag == nullptr || tag[0] == '\0' || recipient == nullptr) return;
    try {
        InfoLock lock(SLIB_LOCK_SH, kSendLockTimeout);
        if (!lock.Held()) return;
        std::string subject, text;
        if (Compose(tag, subject, text, placeholders, true) != 0) subject = tag;
        QAVOMAN_SYSLOG(subject.data());
        if (Compose(tag, subject, text, placeholders, false) != 0) {
            LogTag("SendEventMail tag:%s", tag);
            return;
        }
        const std::string fromName = FromName();
        char mail1[kValueSize], mail2[kValueSize], smtp[kValueSize], auth[8];
        char user[kValueSize], pass[kValueSize];
        char maillang[64];
        const bool read = ReadKey(kConf, "maillang", maillang, sizeof(maillang)) &&
                          ReadKey(kConf, "eventmail1", mail1, sizeof(mail1)) &&
                          ReadKey(kConf, "eventmail2", mail2, sizeof(mail2)) &&
                          ReadKey(kConf, "eventsmtp", smtp, sizeof(smtp)) &&
                          ReadKey(kConf, "eventauth", auth, sizeof(auth)) &&
                          ReadKey(kConf, "eventuser", user, sizeof(user)) &&
                          ReadKey(kConf, "eventpass", pass, sizeof(pass));
        std::string lang = slib::IsPlainCode(maillang, kLangMax) ? maillang : "enu";
        if (!read || mail1[0] == '\0' || smtp[0] == '\0') {
            SLIBErrSet(ERR_NOT_FOUND);
            return;
        }
        if (!lock.Release()) return;
        const bool explicitTo = recipient[0] != '\0';
        std::string to = explicitTo ? recipient : mail1;
        QAVOSMTPREQUEST req{};
        req.szServer = smtp;
        req.szTo = to.data();
        req.szFromAddr = mail1;
        req.szText = text.data();
        std::string name = fromName;
        req.szFromName = name.data();
        req.szLang = lang.data();
        req.blAuth = strcmp(auth, "yes") == 0;
        req.szUser = user;
        req.szPass = pass;
        QAVOSMTPSendMail(&req, explicitTo ? "" : mail2);
    } catch (const std::bad_alloc &) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOMailEnumTags(PSLIBSZLIST *list) {
    if (list == nullptr || *list == nullptr) return Fail(ERR_BAD_PARAMETERS);
    const std::string path = QAVO_MAIL_TEXTS_DIR + MailLang() + "/mails";
    slib::FilePtr in(fopen(path.c_str(), "re"));
    if (!in) return Fail(ERR_OPEN_FAILED);
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    int r = 0;
    while (r == 0 && (n = getline(&buf, &cap, in.get())) > 0) {
        const std::string line = TrimTail(std::string_view(buf, static_cast<size_t>(n)));
        if (line.size() < 3 || line[0] != '[') continue;
        const std::string name = line.substr(1, line.find(']') - 1);
        if (SLIBSzListPush(list, name.c_str()) < 0) r = -1;
    }
    free(buf);
    return r;
}

extern "C" int QAVOMailGetCharset(char *out, int size) {
    if (out == nullptr || size <= 0) return Fail(ERR_BAD_PARAMETERS);
    const std::string path = QAVO_MAIL_STRINGS_DIR + MailLang() + "/strings";
    char value[64];
    std::string charset = "iso-8859-1";
    if (ReadKey(path.c_str(), "charset", value, sizeof(value)) && value[0] != '\0')
        charset = strcasecmp(value, "shift_jis") == 0 ? "ISO-2022-JP" : value;
    if (charset.size() >= static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    memcpy(out, charset.c_str(), charset.size() + 1);
    return 0;
}

extern "C" int QAVOMailGetVendorDomain(char *out, int size) {
    if (out == nullptr || size <= 0) return Fail(ERR_BAD_PARAMETERS);
    std::string domain = Key(kDefaults, "vendordomain");
    if (domain.empty()) domain = QAVO_MAIL_DEFAULT_DOMAIN;
    if (domain.size() >= static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    memcpy(out, domain.c_str(), domain.size() + 1);
    return 0;
}
