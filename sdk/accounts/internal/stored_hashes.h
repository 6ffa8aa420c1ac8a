// Users written with password hashes kept from before, for the
// configuration import: the user transaction puts the given hashes in the
// shadow and SMB password files instead of computing them from the
// password. Internal to the library.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "sdk_userset.h"
#include "slib_szhash.h"

namespace sdk {

// A user's stored hashes: the shadow hash and the two SMB hashes, as their
// fields hold them.
struct StoredHash {
    std::string shadow, lm, nt;
};

// By the user's name as its record gives it.
using StoredHashes = std::unordered_map<std::string, StoredHash>;

// As QAVOUserSet(1, records, count), except that a record whose name is a
// key of hashes gets that entry's hashes: its shadow hash when its password
// (the entry's shadow hash) differs from the stored one or it is new, and its
// SMB hashes always, with the flags and last-change time that a new password
// gives the line, or that the line keeps when the password stays. And the
// new users take their uids, and their lines are appended, in the order of
// records, as writing them one at a time would give them.
int UserSetWithHashes(PQAVOUSERSET records, int count, const StoredHashes &hashes);

// The new users of a transaction in the order their lines are appended.
using NewUsers = std::vector<const QAVOUSERSET *>;

// The transaction's shadow and smbpasswd steps, as SDKIModifyShadow and
// SDKIModifySmbpasswd, with the stored hashes (null: none), the new users'
// lines appended in the order of order (null: the enumeration order of
// added).
int ModifyShadow(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH *newPasswords,
                 const StoredHashes *stored, const NewUsers *order);
int ModifySmbpasswd(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH newPasswords,
                    PSLIBSZHASH existing, const StoredHashes *stored, const NewUsers *order);

}  // namespace sdk
