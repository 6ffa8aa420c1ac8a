// Internal: opening an event-log ring file under its exclusive lock, shared
// by the writer and the export.
#pragma once

namespace slib {

enum LogOpenOptions : unsigned {
    kLogOpenNoteFailure = 1,  // log "logfile ... open error while writing!" when the open fails
    kLogOpenNoteLock = 2,     // log "log file lock failed" when the lock cannot be taken
    kLogOpenReadOnlyFallback = 4,  // a file we may not write is opened read-only
};

// Opens path with flags (close-on-exec added; a created file is 0600) and
// takes its exclusive lock, each step tried ten more times a second apart.
// A shrink renames a new file over the log while it holds the old one's
// lock, so a lock obtained on a file no longer at path is dropped and the
// path opened again. With kLogOpenReadOnlyFallback, *writable tells whether
// the descriptor may be written. Returns the descriptor or -1.
int LogOpenLocked(const char *path, int flags, unsigned options, bool *writable = nullptr);

}  // namespace slib
