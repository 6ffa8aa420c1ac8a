// Rewriting configuration files safely: the new content goes to "<path>.tmp",
// which is flushed, synced and renamed over the file; nothing touches the
// file itself until everything is written. Internal to the library.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "slib_errcode.h"

namespace slib {

// One change over one or more files. Open() gives the stream of a file's
// temporary copy; Commit() renames every copy over its file at the end.
// Whatever is not committed (failure, early return) is removed again, so the
// original files stay intact.
//
// The temporary file never follows a symlink planted at its name (a stale
// one is removed and the file is created exclusively, O_NOFOLLOW), and it
// gets the original file's mode and owner before it replaces it.
class RewriteSet {
  public:
    RewriteSet() = default;
    RewriteSet(const RewriteSet &) = delete;
    RewriteSet &operator=(const RewriteSet &) = delete;
    ~RewriteSet() { Abort(); }

    // The stream of path's temporary copy; null with 0x0900 set when it
    // cannot be created.
    FILE *Open(const std::string &path);
    // The same for a file whose status the caller has at hand (the fstat of
    // its open input): the copy takes its mode and owner from it.
    FILE *Open(const std::string &path, const struct stat &orig);
    // The same with the copy at a temporary path of the caller's choosing
    // (a fixed or unique name instead of "<path>.tmp").
    FILE *Open(const std::string &path, const std::string &tmp);
    // Flushes, syncs and closes every copy, then renames each over its file.
    // Any failure removes the copies not yet renamed and sets failCode
    // (0x0B00 unless the caller's file format names another).
    bool Commit(SLIBERRCODE failCode = ERR_WRITE_FAILED);
    // Flushes, syncs and closes every copy and leaves it at its temporary
    // name, unrenamed: for a change over several files whose caller renames
    // them all at its own end (and removes the copies when it fails). Any
    // failure removes the copies and sets failCode.
    bool Keep(SLIBERRCODE failCode = ERR_WRITE_FAILED);
    // Closes and removes every copy.
    void Abort();
    // Moves copies that Keep() (or another writer) left finished over their
    // files as one change, in the order given: pairs of (copy, file); a pair
    // whose copy does not exist is skipped. Each file's previous version is
    // kept beside it (PreviousPath, a hard link) until every copy is in
    // place; when one rename fails, the files already replaced get their
    // previous versions back, byte for byte, and the copies left are
    // removed. False with failCode set (and RenameError-like errno in *err).
    static bool CommitKept(const std::vector<std::pair<std::string, std::string>> &copies,
                           SLIBERRCODE failCode = ERR_WRITE_FAILED, int *err = nullptr);
    // errno of the rename that made the last Commit() fail (such as EXDEV
    // for a copy on another file system); 0 when nothing failed to rename.
    int RenameError() const { return renameError_; }

  private:
    FILE *Open(const std::string &path, const std::string &tmp, const struct stat *orig);
    struct Entry {
        std::string path, tmp;
        FILE *fp = nullptr;
        std::unique_ptr<char[]> buffer;  // the stream's buffer, freed after it
        dev_t dev = 0;                   // the copy this set created, so that a
        ino_t ino = 0;                   // name taken over by another writer is told apart
    };
    // Whether the copy's name still holds the file this set created.
    static bool Owns(const Entry &e);
    std::vector<Entry> entries_;
    int renameError_ = 0;
};

// A file read whole for a rewrite through its descriptor: one open, one
// fstat (whose status also gives the copy its mode and owner) and reads
// until one comes back short, which ends a regular file.
class Input {
  public:
    enum Result { kRead, kOpenFailed, kReadFailed };
    // Opens and reads path; errno tells why it could not. A directory opens
    // and reads as empty: the caller refuses it by IsDirectory(). Throws
    // std::bad_alloc.
    Result Read(const char *path);
    bool IsDirectory() const { return S_ISDIR(st_.st_mode); }
    const struct stat &Stat() const { return st_; }
    std::string_view Text() const { return text_; }
    // Hands the text over (Text() is empty afterwards).
    std::string Release() { return std::move(text_); }

  private:
    struct stat st_ {};
    std::string text_;
};

// The temporary name of a file: its path with ".tmp" appended.
std::string TempPath(const std::string &path);
// Where CommitKept keeps a file's previous version during a change:
// "<path>.prev.tmp".
std::string PreviousPath(const std::string &path);

// A caller's key=value line format (such as "%s=\"%s\"\n"; null means
// "%s=%s\n") with its two "%s" filled in, key first. Only "%s" and "%%" are
// conversions here, so a format can never read past its arguments; check it
// with BlSLIBIsKeyValueFormat first.
std::string FormatKeyValue(const char *format, std::string_view key, std::string_view value);

}  // namespace slib
