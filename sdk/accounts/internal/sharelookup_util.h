// What the share lookups share with the re-application of shares. Internal
// to the library.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "qavo_share.h"

namespace shlookup {

// Every kind of share, as QAVOShareEnum lists them.
inline constexpr uint32_t kAllClasses =
    QAVOSHARE_CLASS_ORDINARY | QAVOSHARE_CLASS_USB | QAVOSHARE_CLASS_SATA;

struct FreeBlock {
    void operator()(void *p) const { free(p); }
};
using BlockPtr = std::unique_ptr<void, FreeBlock>;

}  // namespace shlookup
