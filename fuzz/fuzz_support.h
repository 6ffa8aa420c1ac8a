// Helpers shared by the fuzz targets (see scripts/fuzz.sh).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qfuzz {

// Targets that write files run only inside an appliance root started by
// sim/appliance, where /etc, /tmp and /usr/qavo are the sandbox's own.
// Logging goes nowhere there: millions of inputs would fill the capture.
inline void RequireAppliance() {
    const char *flag = getenv("QAVO_APPLIANCE");
    if (!flag || strcmp(flag, "1") != 0) {
        fprintf(stderr, "fuzz target: run it inside sim/appliance (scripts/fuzz.sh)\n");
        exit(2);
    }
    unlink("/dev/log");
}

// Writes a whole file; a failure is the harness's own and stops the run.
inline void Put(const char *path, std::string_view data) {
    FILE *fp = fopen(path, "we");
    if (!fp || fwrite(data.data(), 1, data.size(), fp) != data.size() || fclose(fp) != 0) {
        perror(path);
        abort();
    }
}

// The input cut at form feeds into count parts; missing parts are empty and
// the last one takes the rest.
inline std::vector<std::string> Parts(const uint8_t *data, size_t size, size_t count) {
    std::vector<std::string> parts(count);
    std::string_view rest(reinterpret_cast<const char *>(data), size);
    for (size_t i = 0; i < count; ++i) {
        size_t cut = i + 1 < count ? rest.find('\f') : std::string_view::npos;
        parts[i].assign(rest.substr(0, cut));
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return parts;
}

// The text up to its first NUL (what a C caller would pass).
inline std::string CText(const std::string &s) {
    return std::string(s.c_str());
}

// The lines of a text, line ends dropped.
inline std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// A harness's own check failed: print what and stop with a crash report.
#define QFUZZ_CHECK(cond)                                                            \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

}  // namespace qfuzz
