// Helpers of the eSATA disk code that its backup-role arrival shares.
// Internal to the library.
#pragma once

namespace satam {

inline constexpr const char *kSource = "sdk/qavosata";
// Seconds the eSATA hot plug waits for the number lock, as a USB arrival.
inline constexpr int kLockWait = 505;

// Marks the disk as being applied and enters it in the eSATA table; false
// (logged) when the table cannot be written.
bool SetTab(const char *device);
// Marks the disk's application as done.
void Success(const char *device);

}  // namespace satam
