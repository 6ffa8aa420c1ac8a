// The account files read once, for the operations that decide about many
// accounts in a row (the configuration import, the batches of new groups and
// shares): each lookup answers as its counterpart of qavo_accfile.h would on
// the files as they were read, without reading them again. A snapshot goes
// stale with the first write to the files; load it again after one.
// Internal to the library.
#pragma once

#include <pwd.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "qavo_accfile.h"
#include "qavo_user.h"
#include "slib_errcode.h"

namespace sdk {

class AccountSnapshot {
  public:
    enum FileId { kPasswd, kShadow, kGroup, kFiles };

    // Reads passwd, shadow and group. A file that cannot be read answers
    // every lookup as its reader would (with the reader's code); false only
    // when memory runs out (then nothing may be looked up).
    bool Load();
    bool Loaded() const { return loaded_; }

    // As PpwSLIBGetLocalPwNam, PpwSLIBGetLocalSpNam and PgrpSLIBGetLocalGrName:
    // the same static records, filled from the snapshot.
    struct passwd *LocalPwNam(const char *name) const;
    struct passwd *LocalSpNam(const char *name) const;
    QAVOGROUPENTRY *LocalGrName(const char *name) const;
    // As QAVOUserGet(0, QAVO_USER_LOCAL, name, buf, size, needed).
    int UserGet(const char *name, QAVOUSER *buf, int size, int *needed) const;
    // As SLIBGetLocalGrNamBuf.
    int LocalGrNamBuf(const char *name, struct group *buf, int size, int *needed) const;

    // The first line of a file that begins with name and ':' without regard
    // to case, as the account readers look lines up: 1 found, 0 none, -1
    // (too long for the readers' buffer unless grow, or the file's read
    // error), with the code set as theirs.
    int Line(FileId file, const char *name, std::string &line, bool grow) const;

  private:
    struct File {
        SLIBERRCODE error = static_cast<SLIBERRCODE>(0);  // why it could not be read
        std::vector<std::string> lines;                   // without their newlines
        std::unordered_map<std::string, size_t> first;    // upper-cased name: line
    };
    File files_[kFiles];
    // The group lines by the collation key of their upper-cased names, in
    // file order: the candidates of a name compared without regard to case.
    std::unordered_map<std::string, std::vector<size_t>> groupsByKey_;
    bool loaded_ = false;
};

// The collation key of a name upper-cased: two names have the same key
// exactly when SLIBUnicodeUTF8StrCaseCmp finds them equal. False when it
// finds the name equal to none (not UTF-8, no collator).
bool CaseKey(const char *name, std::string &key);

}  // namespace sdk
