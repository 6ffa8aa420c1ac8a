// Helpers shared by the configuration backup's section sources. Internal
// to the library.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "cfgbackup.h"
#include "slib_errcode.h"

// Section readers and writers log their failures with the function and line.
#define BKP_LOG(fmt, ...) SLIBLog(LOG_ERR, "%s(%d): " fmt, __func__, __LINE__, ##__VA_ARGS__)

namespace cfgbkp {

inline constexpr const char *kSource = "sdk/qavosysbackup";

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
// A string read from a backup file, freed on every path.
using Str = std::unique_ptr<char, FreeDeleter>;

// Reads a string item into s; false on failure.
inline bool ReadStr(int fd, Str &s) {
    char *p = nullptr;
    if (QAVOSysbkpIReadString(fd, &p) != 0) return false;
    s.reset(p);
    return true;
}

// Writes the failure event of a section (class 1, level 3).
void Event(uint32_t id, const char *arg1 = "");

// Records the event and gives the section's failure result.
inline int Failed(uint32_t event) {
    Event(event);
    return -1;
}

// True (and logged) when a section is handed no file.
inline bool BadFd(int fd) {
    if (fd >= 0) return false;
    BKP_LOG("parameter error");
    return true;
}

// The framing of a section export: the header, then the body start noted;
// Finish() patches the body size.
class Section {
  public:
    Section(int fd, uint32_t id);
    bool Ok() const { return ok_; }
    bool Finish();

  private:
    int fd_;
    off_t start_ = -1;
    bool ok_ = false;
};

// True when a key of the model's capability file is "yes" in any case.
bool Supported(const char *key);

// A key of "/etc/qavoinfo.conf" into out ("" when absent); false when the
// file cannot be read or the value is longer than max characters.
bool InfoKey(const char *key, std::string &out, size_t max);

// The section walk of an import: reads the file header of in and runs the
// sections that mask selects, each copied into scratch first. False when the
// file is damaged; *result loses the bit of every section that failed. The
// caller stops and starts the network services around it.
bool ImportSections(int in, int scratch, uint32_t mask, int overwrite, uint32_t *result);

// The set of users the running import created: released as each import
// ends, asked by the user-quota section.
void ReleaseCreatedUsers();
bool IsCreatedUser(const char *name);

}  // namespace cfgbkp
