// Checks on share folder paths shared by the share folder and share
// management code. Internal to the library.
#pragma once

#include <string>

namespace shareint {

// True when path is an absolute folder path strictly below a volume root
// (/volume1 to /volume4, /volumeUSB<n>, /volumeSATA) with no empty, "." or
// ".." component and no control character, and whose existing part does not
// resolve (through links) outside that root. *root gets the volume root.
bool IsSafeSharePath(const char *path, std::string *root = nullptr);
// True when path is a mount point (its device differs from its parent's, or
// the mount table lists it).
bool IsMountPoint(const char *path);
// True when one path is the other or lies below it, both read as text
// (repeated and trailing slashes, "." and ".." resolved lexically).
bool PathsOverlap(const std::string &a, const std::string &b);

}  // namespace shareint
