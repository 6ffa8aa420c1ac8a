// Sizes and the copy helper of the passwd records, which the account-file
// readers share with the lookup of any account. Internal to the library.
#pragma once

#include <cstddef>

namespace accfile {

inline constexpr int kMaxUserNameChars = 64;
inline constexpr size_t kNameBuf = 493;

// Copies at most size - 1 bytes of text into a cleared buffer.
void CopyCut(char *buffer, size_t size, const char *text);

}  // namespace accfile
