// A section file read in one pass, for walks over every section. Internal to
// the library.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "slib_util.h"

namespace slib {

// The section names in file order as SLIBFileEnumSection lists them, and for
// each name the pairs that SLIBFileGetSection reads for it (those of the
// first section so named).
class SectionIndex {
  public:
    // Reads the file; the number of sections, or -1 with the error that
    // SLIBFileEnumSection would give.
    int Read(const char *path);
    const std::vector<std::string> &Names() const { return names_; }
    // The pairs of the section named so (it may hold none), or null when no
    // section has that name.
    PSLIBSZHASH Find(const char *name) const;

  private:
    std::vector<std::string> names_;
    std::unordered_map<std::string, SzHashPtr> first_;
};

}  // namespace slib
