// The shares of smb.conf read in one pass, for the walks that look at every
// share. Internal to the library.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "qavo_share.h"
#include "slib_sectionindex.h"
#include "slib_util.h"

namespace shareint {

struct RecordFree {
    void operator()(PQAVOSHARE p) const { free(p); }
};
using RecordPtr = std::unique_ptr<QAVOSHARE, RecordFree>;

class ShareTable {
  public:
    // Reads smb.conf under its lock held shared, as QAVOShareEnum does; false
    // with the error set on failure.
    bool Load();
    // The number of sections the file holds, shares or not.
    size_t Sections() const { return index_.Names().size(); }
    // The shares of the given classes in file order, as QAVOShareEnum1
    // lists them.
    std::vector<std::string> Names(uint32_t flags) const;
    // QAVOShareGet(1, name, buf, size, needed) on the file as it was read.
    int Get(const char *name, void *buf, int size, int *needed) const;
    // The record of a share in a block of its own (extra spare bytes at
    // its end); null when it cannot be read, *alloc set when the block could
    // not be had.
    RecordPtr Record(const char *name, int extra, bool *alloc) const;

  private:
    slib::SectionIndex index_;
};

}  // namespace shareint
