// An rsync folder listing of any bytes: every name taken is a share name and
// never ".", ".." or "@eaMeta", no more names than directory lines; each name
// taken, written back as rsync escapes it, parses to itself.
#include <string>

#include "fuzz_support.h"
#include "qavo_netbkprun.h"
#include "slib_szlist.h"
#include "slib_validate.h"

namespace {

constexpr const char *kList = "/tmp/netbkp-fuzz.list";

// A listing line of a folder, the name escaped as stock rsync does.
std::string Escaped(const std::string &name) {
    std::string line = "drwxr-xr-x          4,096 2026/12/10 20:00:00 ";
    for (unsigned char c : name) {
        if (c >= 0x80 || c == '\\' || c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\#%03o", c);
            line += esc;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line + "\n";
}

std::vector<std::string> Parse(const std::string &text) {
    qfuzz::Put(kList, text);
    PSLIBSZLIST list = nullptr;
    std::vector<std::string> names;
    if (QAVONetBkpParseListFile(kList, &list) == 0) {
        for (int i = 0; list != nullptr && i < list->nItem; ++i)
            names.emplace_back(SzSLIBSzListGet(list, i));
    }
    SLIBSzListFree(list);
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::vector<std::string> names = Parse(text);
    size_t dirLines = 0;
    for (const std::string &l : qfuzz::Lines(text))
        dirLines += !l.empty() && l[0] == 'd';
    QFUZZ_CHECK(names.size() <= dirLines);
    for (const std::string &n : names) {
        QFUZZ_CHECK(n != "." && n != ".." && n != "@eaMeta");
        QFUZZ_CHECK(BlSLIBIsShareName(n.c_str()));
        const std::vector<std::string> again = Parse(Escaped(n));
        QFUZZ_CHECK(again.size() == 1 && again[0] == n);
    }
    return 0;
}
