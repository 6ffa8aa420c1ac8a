// What the configuration backup tests share: a file built word by word, as a
// peer or a damaged disk would hand it, and the management event log.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "../accounts/services_support.h"
#include "cfgbackup.h"

namespace cfgtest {

constexpr const char *kFile = "/tmp/backup.cbk";
constexpr const char *kLm = "01FC5A6BE7BC6929AAD3B435B51404EE";
constexpr const char *kNt = "0CB6948805F797BF2A82807973B89537";

// Words and items of a hand-made file.
class Bytes {
  public:
    Bytes &Word(uint32_t w) {
        const uint32_t be = htonl(w);
        data_.append(reinterpret_cast<const char *>(&be), 4);
        return *this;
    }
    Bytes &Raw(const std::string &s) {
        data_ += s;
        return *this;
    }
    Bytes &Header(uint32_t category = 1) {
        return Raw("QAVO").Word(category).Word(QAVOSYSBKP_ID_ALL);
    }
    Bytes &Str(const std::string &s) {
        return Word(1).Word(static_cast<uint32_t>(s.size() + 1)).Raw(s).Raw(std::string(1, '\0'));
    }
    Bytes &Long(int32_t v) { return Word(2).Word(4).Word(static_cast<uint32_t>(v)); }
    // A user of the account section.
    Bytes &User(const std::string &name, const std::string &hash, const std::string &lm = kLm,
                const std::string &nt = kNt) {
        return Str(name).Str(hash).Str("").Str(lm).Str(nt).Long(0).Str("");
    }
    // A group of the group section.
    Bytes &Group(const std::string &name, int32_t gid, const std::vector<std::string> &members) {
        Long(1).Str(name).Long(gid).Str("").Long(static_cast<int32_t>(members.size()));
        for (const std::string &m : members)
            Str(m);
        return *this;
    }
    // A share of the share section: read-write for everyone, browseable.
    Bytes &Share(const std::string &name, const std::string &path) {
        return Str(name).Str(path).Str("").Str("").Str("").Str("").Long(2).Long(1);
    }
    // A section holding body (its size from the body).
    Bytes &Section(uint32_t id, const Bytes &body) {
        return Word(id).Word(1).Word(static_cast<uint32_t>(body.data_.size())).Raw(body.data_);
    }
    // A file header for every section.
    static Bytes File() { return Bytes().Header(); }
    const std::string &data() const { return data_; }

  private:
    std::string data_;
};

// True when the management event log holds an event of id.
inline bool HasEvent(uint32_t id) {
    const std::vector<uint32_t> ids = svctest::SystemLogEvents();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace cfgtest
