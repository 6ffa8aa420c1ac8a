#include "sdk_listedit.h"

#include <strings.h>
#include <syslog.h>

#include <cstring>
#include <new>
#include <vector>

#include "slib_errcode.h"
#include "slib_rewrite.h"
#include "slib_str.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace sdk {

namespace {

constexpr std::string_view kShareLists[] = {
    "\twrite list=", "\tread list=", "\tvalid users=", "\tinvalid users="};

size_t TextEnd(std::string_view line) {
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r'))
        --end;
    return end;
}

}  // namespace

bool IsShareListLine(std::string_view line) {
    for (std::string_view k : kShareLists)
        if (line.starts_with(k)) return true;
    return false;
}

ListSpan ShareListSpan(std::string_view line) {
    ListSpan s;
    if (!IsShareListLine(line)) return s;
    s.begin = line.find('=') + 1;
    s.end = TextEnd(line);
    if (s.end < s.begin) s.end = s.begin;
    s.framed = true;
    return s;
}

ListSpan GroupMembersSpan(std::string_view line) {
    ListSpan s;
    if (line.empty() || line[0] == '#' || line[0] == '+') return s;
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        pos = line.find(':', pos);
        if (pos == std::string_view::npos) return s;
        ++pos;
    }
    size_t end = line.find(':', pos);
    s.begin = pos;
    s.end = end == std::string_view::npos ? TextEnd(line) : end;
    if (s.end < s.begin) s.end = s.begin;
    return s;
}

bool EditListItems(std::string &line, ListSpan span, const ItemEdit &edit) {
    if (span.begin == std::string_view::npos || span.begin > line.size()) return false;
    std::string_view list(line.data() + span.begin, span.end - span.begin);
    std::vector<std::string> items;
    bool changed = false;
    for (;;) {
        size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        std::optional<std::string> repl;
        if (strncasecmp(item.data(), "nobody", item.size()) != 0 || item.size() != 6)
            repl = edit(item);
        if (repl) {
            changed = changed || *repl != item;
            if (!repl->empty()) items.push_back(std::move(*repl));
        } else {
            items.emplace_back(item);
        }
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    if (!changed) return false;
    std::string joined;
    bool named = false;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) joined += ',';
        joined += items[i];
        named = named || !items[i].empty();
    }
    if (span.framed && !named) joined = "nobody,nobody";
    line.replace(span.begin, span.end - span.begin, joined);
    return true;
}

int EditListFile(const char *file, const char *tmp,
                 const std::function<ListSpan(std::string_view)> &select, const ItemEdit &edit) {
    try {
        slib::FilePtr in(fopen(file, "re"));
        if (!in) {
            SLIBLog(LOG_ERR, "%s(%d): file open failed", __FILE__, __LINE__);
            return slib::Fail(ERR_OPEN_FAILED);
        }
        slib::RewriteSet set;
        FILE *out = set.Open(file, tmp);
        if (!out) {
            SLIBLog(LOG_ERR, "%s(%d): file open failed", __FILE__, __LINE__);
            return -1;
        }
        bool changed = false;
        std::string line;
        size_t len;
        char *p;
        while ((p = fgetln(in.get(), &len)) != nullptr) {
            line.assign(p, len);
            if (EditListItems(line, select(line), edit)) changed = true;
            if (!slib::WriteAll(out, line)) {
                SLIBLog(LOG_ERR, "%s(%d): write %s failed", __FILE__, __LINE__, tmp);
                return slib::Fail(ERR_WRITE_FAILED);
            }
        }
        if (ferror(in.get())) {
            SLIBLog(LOG_ERR, "%s(%d): file read error", __FILE__, __LINE__);
            return slib::Fail(ERR_READ_FAILED);
        }
        if (!changed) return 0;  // the set removes the copy
        return set.Keep() ? 1 : -1;
    } catch (const std::bad_alloc &) {
        SLIBLog(LOG_ERR, "%s(%d): memory allocation failed", __FILE__, __LINE__);
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

std::optional<std::string> UpperName(std::string_view name) {
    std::string in(name);
    std::string out(in.size() * 3 + 16, '\0');
    int n = SLIBUnicodeUTF8StrUpper(in.c_str(), out.data(), static_cast<int>(out.size()));
    if (n < 0 || static_cast<size_t>(n) >= out.size()) return std::nullopt;
    out.resize(strlen(out.c_str()));
    return out;
}

}  // namespace sdk
