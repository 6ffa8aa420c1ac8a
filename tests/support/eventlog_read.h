// Reads the records of an event log file (the system log, the copy log)
// back for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "appliance.h"
#include "slib_eventlog.h"

namespace qtest {

// An event record: its id, its four arguments as stored and its level.
struct LogEvent {
    uint32_t id;
    std::vector<std::string> args;
    int level = 0;
};

// The records of the log at path, oldest first, read from the start to the
// end offset of its header; none when the file is missing or too short. A
// log that has wrapped (start past end) gives none and sets *wrapped.
inline std::vector<LogEvent> LogEvents(const std::string &path, bool *wrapped = nullptr) {
    std::vector<LogEvent> events;
    if (wrapped != nullptr) *wrapped = false;
    if (!FileExists(path)) return events;
    const std::string d = ReadFile(path);
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int k = 3; k >= 0; --k)
            v = v << 8 | static_cast<unsigned char>(d[at + k]);
        return v;
    };
    if (d.size() < QAVOLOG_HEADER_SIZE) return events;
    size_t pos = u32(8);
    const size_t end = u32(12);
    if (wrapped != nullptr) *wrapped = pos > end;
    while (pos + QAVOLOG_RECORD_FIXED_SIZE <= end && end <= d.size()) {
        QAVOLOGRECORD rec;
        QAVOLogRecordDecode(reinterpret_cast<const unsigned char *>(d.data()) + pos, &rec);
        if (rec.uLength < QAVOLOG_RECORD_FIXED_SIZE) break;
        LogEvent e{rec.ulEventId, {}, static_cast<int>(rec.uLevel)};
        size_t at = pos + QAVOLOG_RECORD_FIXED_SIZE + rec.uSourceLength + rec.uUserLength;
        for (int i = 0; i < 4; ++i) {
            e.args.push_back(at <= d.size() ? d.substr(at, rec.uArgLength[i]) : "");
            at += rec.uArgLength[i];
        }
        events.push_back(std::move(e));
        pos += rec.uLength;
    }
    return events;
}

// Just the ids of LogEvents(path).
inline std::vector<uint32_t> LogEventIds(const std::string &path, bool *wrapped = nullptr) {
    std::vector<uint32_t> ids;
    for (const LogEvent &e : LogEvents(path, wrapped))
        ids.push_back(e.id);
    return ids;
}

}  // namespace qtest
