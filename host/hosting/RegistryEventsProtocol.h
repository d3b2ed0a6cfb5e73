#pragma once

#include <string>
#include <vector>

#include "ServiceRegistry/ServiceRecord.h"

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

// Each entry as its id, a comma, then its name and its channel each as length, colon, bytes:
// no byte of a name needs escaping.
inline std::string encodeEntries(const std::vector<ServiceRecord>& entries) {
    std::string text;
    for (const ServiceRecord& entry : entries) {
        text += std::to_string(entry.svcId) + "," + std::to_string(entry.ifc.size()) + ":" +
                entry.ifc + std::to_string(entry.channel.size()) + ":" + entry.channel;
    }
    return text;
}

// False when text is not a list encodeEntries made.
inline bool decodeEntries(const std::string& text, std::vector<ServiceRecord>& entries) {
    std::size_t at = 0;
    // Decimal digits as encodeEntries writes them: no sign, no leading zero, at most 18.
    const auto number = [&](char end, long& value) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos || stop == at || stop - at > 18) return false;
        if (text[at] == '0' && stop - at > 1) return false;
        value = 0;
        for (std::size_t i = at; i < stop; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            value = value * 10 + (text[i] - '0');
        }
        at = stop + 1;
        return true;
    };
    const auto bytes = [&](std::string& value) {
        long size;
        if (!number(':', size) || text.size() - at < static_cast<std::size_t>(size)) return false;
        value.assign(text, at, static_cast<std::size_t>(size));
        at += static_cast<std::size_t>(size);
        return true;
    };
    while (at < text.size()) {
        ServiceRecord entry;
        if (!number(',', entry.svcId) || !bytes(entry.ifc) || !bytes(entry.channel)) return false;
        entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace svcreg::RegistryEventsProtocol
