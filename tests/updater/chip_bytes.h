// Chip contents for the flash tests: reproducible data and the little-endian
// words of a directory entry. No updater code: the fault map's judge uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chipbytes {

using Bytes = std::vector<uint8_t>;

// n bytes of a xorshift sequence that seed starts.
inline Bytes Random(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<uint8_t>(x);
    }
    return b;
}

inline void PutLE(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace chipbytes
