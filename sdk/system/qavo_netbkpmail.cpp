// Network backup results: result codes, their texts, the result event and
// the mails of runs and recoveries.
#include "qavo_netbkpmail.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "qavo_mail.h"
#include "qavo_net.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_szhash.h"
#include "slib_util.h"

extern "C" const NETBKP_ERR_ENTRY NETBKP_ERR_TABLE[] = {
    {1, "error_unknown_desc"},
    {2, "error_unknown_desc"},
    {3, "error_unknown_desc"},
    {4, "netbkp_e_unsupported"},
    {5, "error_unknown_desc"},
    {11, "error_unknown_desc"},
    {12, "netbkp_e_streamio"},
    {13, "error_unknown_desc"},
    {14, "error_unknown_desc"},
    {21, "error_unknown_desc"},
    {22, "netbkp_e_malloc"},
    {25, "netbkp_e_del_limit"},
    {124, "error_unknown_desc"},
    {125, "error_unknown_desc"},
    {126, "netbkp_e_cmd_run"},
    {127, "netbkp_e_cmd_notfound"},
    {41, "netbkp_e_diskfull"},
    {30, "netbkp_e_disconnect"},
    {42, "netbkp_e_disconnect"},
    {43, "netbkp_e_disconnect"},
    {44, "netbkp_e_pass"},
    {20, "usbbkp_err_cancel"},
    {45, "netbkp_e_name2long"},
    {49, "netbkp_e_no_service2"},
    {23, ""},
    {24, ""},
    {46, ""},
    {10, "netbkp_e_network_unstable"},
    {47, "netbkp_e_rsync_bad_module"},
    {48, "netbkp_e_rsync_bad_option"},
    {-1, nullptr},
};

namespace {

using slib::Fail;

constexpr const char *kConf = "/etc/qavoinfo.conf";
constexpr size_t kLangMax = 32;
// Placeholder values are cut to what a 1024-byte field holds.
constexpr size_t kFieldMax = 1023;
constexpr int kHashSize = 8192;
constexpr int kHostSize = 64;

using slib::SzHashPtr;

// Copies text into out (size bytes): 0, or -1 with 0x0100 when it does not
// fit.
int CopyOut(std::string_view text, char *out, int size) {
    if (text.size() >= static_cast<size_t>(size)) return Fail(ERR_BUF_TOO_SMALL);
    memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return 0;
}

// The language of the texts: "maillang" when it is a plain code, else "enu".
std::string TextLang() {
    char lang[64] = "";
    if (SLIBFileGetKeyValue(kConf, "maillang", lang, sizeof(lang), 0) <= 0 ||
        !slib::IsPlainCode(lang, kLangMax))
        return "enu";
    return lang;
}

// The text of a code: "Unknown error code" without a key, "Unknown error"
// without a text.
std::string CodeText(int code) {
    char key[64];
    if (NetBkpLookupErrKey(code, key, sizeof(key)) != 0) return "Unknown error code";
    char text[QAVO_NETBKP_TEXT_MAX + 1];
    if (NetBkpGetErrString(key, text, sizeof(text)) != 0) return "Unknown error";
    return text;
}

std::string ResultLine(int waitStatus) {
    if (waitStatus == 0) return "[0] Success";
    if (waitStatus < 256) return "[" + std::to_string(waitStatus) + "] System error";
    const int code = QAVOINetBkpResultCode(waitStatus);
    return "[" + std::to_string(code) + "] " + CodeText(code);
}

// The text cut to kFieldMax bytes, never inside a UTF-8 character.
std::string Field(const char *text) {
    std::string s = text ? text : "";
    if (s.size() <= kFieldMax) return s;
    size_t end = kFieldMax;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
        --end;
    s.resize(end);
    return s;
}

// Every "<BR>" and "<br>" of text as a line break.
std::string LineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("<BR>") || rest.starts_with("<br>")) {
            out += '\n';
            i += 4;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// The host name for the mails; false (logged) when it cannot be read.
bool HostName(std::string &host) {
    char name[kHostSize] = "";
    if (QAVOLnxGetHostname(name) < 0) {
        SLIBLog(LOG_ERR, "%s(%d) QAVOLnxGetHostname failed.(%X)", __FILE__, __LINE__, SLIBErrGet());
        return false;
    }
    host = name;
    return true;
}

// A placeholder hash from key/value pairs; null with 0x0200.
SzHashPtr Placeholders(std::initializer_list<std::pair<const char *, std::string>> pairs) {
    SzHashPtr hash(PshSLIBSzHashAlloc(kHashSize));
    if (!hash) {
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    for (const auto &[key, value] : pairs) {
        PSLIBSZHASH h = hash.release();
        const int rc = SLIBSzHashSetValue(&h, key, value.c_str());
        hash.reset(h);
        if (rc < 0) return nullptr;
    }
    return hash;
}

}  // namespace

extern "C" int NetBkpLookupErrKey(int code, char *out, int size) {
    if (out == nullptr || size < 1) return Fail(ERR_BAD_PARAMETERS);
    for (const NETBKP_ERR_ENTRY *e = NETBKP_ERR_TABLE; e->szKey != nullptr; ++e)
        if (e->nCode == code) return CopyOut(e->szKey, out, size);
    return Fail(ERR_NOT_FOUND);
}

extern "C" int NetBkpErrLevel(int code) {
    switch (code) {
        case 0:
            return 1;
        case 23:
        case 24:
        case 46:
            return 2;
        default:
            return 3;
    }
}

extern "C" int NetBkpGetErrString(const char *key, char *out, int size) {
    if (key == nullptr || out == nullptr || size < 1) return Fail(ERR_BAD_PARAMETERS);
    try {
        const std::string file = std::string(QAVO_NETBKP_TEXTS_DIR) + "/" + TextLang() + "/strings";
        char text[QAVO_NETBKP_TEXT_MAX + 1] = "";
        const int rc =
            key[0] == '\0' ? 0 : SLIBFileGetKeyValue(file.c_str(), key, text, sizeof(text), 0);
        if (rc <= 1) {
            // An empty key, a missing key and an empty text all have no text.
            if (rc >= 0) SLIBErrSet(ERR_NOT_FOUND);
            SLIBLog(LOG_ERR, "%s(%d): SLIBFileGetKeyValue(szStrFile=[%s], \"%s\") failed", __FILE__,
                    __LINE__, file.c_str(), key);
            return -1;
        }
        return CopyOut(text, out, size);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOINetBkpResultCode(int waitStatus) {
    if (waitStatus == 0) return 0;
    if (waitStatus < 256) return NETBKP_CODE_SIGNAL;
    return waitStatus / 256;
}

extern "C" int QAVOINetBkpResultLine(int waitStatus, char *out, int size) {
    if (out == nullptr || size < 1) return Fail(ERR_BAD_PARAMETERS);
    try {
        return CopyOut(ResultLine(waitStatus), out, size);
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetBkpMailandLog(const char *share, const char *server, const char *time,
                                    int waitStatus) {
    if (share == nullptr || server == nullptr) return Fail(ERR_BAD_PARAMETERS);
    try {
        std::string host;
        if (!HostName(host)) return -1;
        const int code = QAVOINetBkpResultCode(waitStatus);
        const int level = NetBkpErrLevel(code);
        const std::string line = ResultLine(waitStatus);
        int result = 0;
        if (QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, level, QAVO_NETBKP_EVENT_RESULT, share, server,
                              line.c_str(), "") != 0)
            result = -1;
        if (level < 3) return result;
        const std::string text = waitStatus < 256 ? "System error" : CodeText(code);
        SzHashPtr hash = Placeholders({{"%HOSTNAME%", Field(host.c_str())},
                                       {"%BKP_SHARE%", Field(share)},
                                       {"%BKP_SERVER%", Field(server)},
                                       {"%BKP_TIME%", Field(time)},
                                       {"%ERR_STRING%", LineBreaks(text)}});
        if (!hash) return -1;
        PSLIBSZHASH h = hash.release();
        SendEventMail(QAVO_NETBKP_MAIL_ERROR, &h);
        hash.reset(h);
        return result;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetRecoveryMail(const char *folder, const char *server, const char *tag) {
    if (folder == nullptr || server == nullptr || tag == nullptr || tag[0] == '\0')
        return Fail(ERR_BAD_PARAMETERS);
    try {
        std::string host;
        if (!HostName(host)) return -1;
        SzHashPtr hash = Placeholders({{"%HOSTNAME%", Field(host.c_str())},
                                       {"%SRC_FOLDER%", Field(folder)},
                                       {"%SRC_SERVER%", Field(server)}});
        if (!hash) return -1;
        PSLIBSZHASH h = hash.release();
        SendEventMail(tag, &h);
        hash.reset(h);
        return 0;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
}
