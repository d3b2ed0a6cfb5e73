#pragma once

#include <string>
#include <vector>

#include "ServiceRegistry/ServiceRecord.h"
#include "WireRows.h"

// The daemon's feed of changes of the service table, for watchers that want each entry with
// its channel and service id, and its removal too. It is an interface of the registry's
// channel, called with the binary adapter. The request "watch" adds the caller's callback
// channel (the request's remote context) as a watcher: the table as it is goes there first, as
// the one-way call "replayed", then the reply with the bool "result". From then on each change
// goes there as the one-way call "registered" or "removed". Each of these calls holds its
// entries in the string "entries". "unwatch" ends it, and so does the watcher's going away.
namespace svcreg::RegistryEventsProtocol {

inline constexpr char kInterface[] = "svcreg.RegistryEvents";
inline constexpr char kWatch[] = "watch";
inline constexpr char kUnwatch[] = "unwatch";
inline constexpr char kReplayed[] = "replayed";
inline constexpr char kRegistered[] = "registered";
inline constexpr char kRemoved[] = "removed";
inline constexpr char kResult[] = "result";
inline constexpr char kEntries[] = "entries";

// Each entry as a row (see WireRows.h) of its service id, name and channel.
inline std::string encodeEntries(const std::vector<ServiceRecord>& entries) {
    std::vector<WireRows::Row> rows;
    rows.reserve(entries.size());
    for (const ServiceRecord& entry : entries)
        rows.push_back({entry.svcId, {entry.ifc, entry.channel}});
    return WireRows::encode(rows);
}

// False when text is not a list encodeEntries made.
inline bool decodeEntries(const std::string& text, std::vector<ServiceRecord>& entries) {
    std::vector<WireRows::Row> rows;
    if (!WireRows::decode(text, 2, rows)) return false;
    for (WireRows::Row& row : rows) {
        entries.push_back({std::move(row.fields[0]), row.number, std::move(row.fields[1])});
    }
    return true;
}

}  // namespace svcreg::RegistryEventsProtocol
