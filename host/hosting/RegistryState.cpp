#include "RegistryState.h"

#include <algorithm>
#include <utility>

#include "PeerAccount.h"
#include "RegistryTextProtocol.h"

namespace svcreg {

// The registry library is loaded at run time, so the type information of ServiceRegistry is not
// at hand where this is linked: the undefined-behaviour sanitizer's check of the call, which
// reads it, is left out here.
template <typename Read>
__attribute__((no_sanitize("vptr"))) void RegistryState::readTable(Read&& read) const {
    library.readSvcInterfaces(std::forward<Read>(read));
}

namespace {

using ServiceTable = ServiceRegistry::ServiceTable;

// Each of names once, in the table's order.
std::vector<const std::string*> distinct(const std::vector<std::string>& names) {
    std::vector<const std::string*> each;
    each.reserve(names.size());
    for (const std::string& name : names) each.push_back(&name);
    const auto byName = [](const std::string* a, const std::string* b) { return *a < *b; };
    std::sort(each.begin(), each.end(), byName);
    const auto same = [](const std::string* a, const std::string* b) { return *a == *b; };
    each.erase(std::unique(each.begin(), each.end(), same), each.end());
    return each;
}

}  // namespace

bool RegistryState::accepts(const std::string& names, const std::string& channel) {
    return !names.empty() && !channel.empty();
}

void RegistryState::apply(const JournalRecord& record) {
    const std::vector<std::string>& f = record.fields;
    switch (record.kind) {
        case JournalRecord::Kind::Served: {
            const auto channel = channels.find(f[0]);
            if (channel != channels.end()) channel->second.server = record.owner;
            return;
        }
        case JournalRecord::Kind::NextId:
            nextServiceId = std::max(nextServiceId, record.id);
            return;
        case JournalRecord::Kind::Caller:
            if (placeOf(record.id) != registrations.end()) callerOf[record.id] = f;
            return;
        default:
            return;
    }
}

// The registration's entries are the newest of each of its names: the library links an entry
// behind the earlier ones of its name, and its ids only grow. So its id is the largest of theirs.
std::int64_t RegistryState::registered(const std::vector<std::string>& names,
                                       const std::string& channel, uid_t owner) {
    const std::vector<const std::string*> each = distinct(names);
    std::int64_t id = 0;
    std::uint32_t made = 0;
    std::size_t bytes = 0;
    readTable([&](const ServiceTable& table) {
        for (const std::string* name : each) {
            const auto last = table.upper_bound(*name);
            if (last != table.begin() && std::prev(last)->first == *name)
                id = std::max<std::int64_t>(id, std::prev(last)->second.svcId);
        }
        for (const std::string* name : each) {
            const auto first = table.lower_bound(*name);
            for (auto entry = table.upper_bound(*name); entry != first;) {
                if ((--entry)->second.svcId != id) break;
                ++made;
                bytes += bytesOf(*name, channel);
            }
        }
    });
    nextServiceId = std::max(nextServiceId, id + 1);
    const auto atChannel = channels.try_emplace(channel).first;
    ++atChannel->second.registrations;
    registrations.push_back({id, atChannel, owner, made});
    entryTotal += made;
    entriesByOwner[owner] += made;
    byteTotal += bytes;
    bytesByOwner[owner] += bytes;
    return id;
}

std::vector<ServiceRecord> RegistryState::entriesAt(const std::vector<std::string>& names,
                                                    const std::string& channel) const {
    const std::vector<const std::string*> each = distinct(names);
    std::vector<ServiceRecord> held;
    if (!hasEntriesAt(channel)) return held;
    readTable([&](const ServiceTable& table) {
        for (const std::string* name : each) {
            const auto [first, last] = table.equal_range(*name);
            for (auto entry = first; entry != last; ++entry) {
                if (entry->second.channelName == channel)
                    held.push_back({*name, entry->second.svcId, channel});
            }
        }
    });
    return held;
}

// What the library still holds of held is a subsequence of it, in the same order.
std::vector<ServiceRecord> RegistryState::deregistered(std::vector<ServiceRecord> held,
                                                       const std::vector<std::string>& names,
                                                       const std::string& channel) {
    const std::vector<ServiceRecord> left = entriesAt(names, channel);
    std::vector<ServiceRecord> removed;
    removed.reserve(held.size() - std::min(held.size(), left.size()));
    auto stays = left.begin();
    for (ServiceRecord& entry : held) {
        if (stays != left.end() && stays->svcId == entry.svcId && stays->ifc == entry.ifc) {
            ++stays;
            continue;
        }
        removed.push_back(std::move(entry));
    }
    // Those left without entries go together, in one move of the ones after them.
    auto firstEmptied = registrations.end();
    for (const ServiceRecord& entry : removed) {
        const auto registration =
            registrations.begin() + (placeOf(entry.svcId) - registrations.cbegin());
        if (registration == registrations.end()) continue;
        --entryTotal;
        uncount(entriesByOwner, registration->owner, 1);
        byteTotal -= bytesOf(entry.ifc, channel);
        uncount(bytesByOwner, registration->owner, bytesOf(entry.ifc, channel));
        if (--registration->entries != 0) continue;
        forget(*registration);
        firstEmptied = std::min(firstEmptied, registration);
    }
    registrations.erase(std::remove_if(firstEmptied, registrations.end(),
                                       [](const Registration& r) { return r.entries == 0; }),
                        registrations.end());
    return removed;
}

// A registration without entries takes its caller along, and its channel when it was its last.
void RegistryState::forget(const Registration& registration) {
    callerOf.erase(registration.id);
    if (--registration.channel->second.registrations == 0) channels.erase(registration.channel);
}

RegistryState::Registrations::const_iterator RegistryState::placeOf(std::int64_t id) const {
    const auto found =
        std::lower_bound(registrations.begin(), registrations.end(), id,
                         [](const Registration& r, std::int64_t wanted) { return r.id < wanted; });
    return found != registrations.end() && found->id == id ? found : registrations.end();
}

std::optional<uid_t> RegistryState::serverOf(const std::string& channel) const {
    const auto found = channels.find(channel);
    if (found == channels.end() || found->second.server == kNobody) return std::nullopt;
    return found->second.server;
}

std::vector<RegistryState::CallerOf> RegistryState::callers() const {
    std::vector<CallerOf> found;
    for (const auto& [id, identity] : callerOf) {
        const auto registration = placeOf(id);
        found.push_back({id, registration->channel->first, registration->entries, identity,
                         registration->owner});
    }
    return found;
}

// An invoker's key is its interface and protocol joined by a comma; a proxy's, its interface.
std::vector<std::string> RegistryState::creatorKeyOf(const JournalRecord& record) {
    const std::vector<std::string>& f = record.fields;
    const bool invoker = record.kind == JournalRecord::Kind::Invoker;
    return {invoker ? "invoker" : "proxy", invoker ? f[2] + "," + f[3] : f[2], f[0], f[1]};
}

bool RegistryState::creatorTaken(const JournalRecord& record) {
    if (!creatorKeys.insert(creatorKeyOf(record)).second) return false;
    const std::vector<std::string>& f = record.fields;
    creators.push_back({record.kind, f[0], f[1], f[2], f[3], record.owner});
    ++creatorsByOwner[record.owner];
    return true;
}

bool RegistryState::keepsCreator(const JournalRecord& record) const {
    return creatorKeys.count(creatorKeyOf(record)) != 0;
}

std::optional<std::pair<std::string, uid_t>> RegistryState::otherOwnerAt(
    const std::vector<std::string>& names, const std::string& channel, uid_t user,
    const std::function<bool(const std::string& ifc)>& mayRemoveOthers) const {
    for (const ServiceRecord& entry : entriesAt(names, channel)) {
        const uid_t owner = ownerOf(entry.svcId);
        if (owner != user && !mayRemoveOthers(entry.ifc)) return std::make_pair(entry.ifc, owner);
    }
    return std::nullopt;
}

std::size_t RegistryState::countOf(const std::map<uid_t, std::size_t>& counts, uid_t user) {
    auto found = counts.find(user);
    return found != counts.end() ? found->second : 0;
}

void RegistryState::uncount(std::map<uid_t, std::size_t>& counts, uid_t user, std::size_t amount) {
    auto found = counts.find(user);
    if (found == counts.end()) return;
    found->second -= std::min(amount, found->second);
    if (found->second == 0) counts.erase(found);
}

std::vector<std::string> RegistryState::namesAt(const std::string& channel) const {
    std::vector<std::string> names;
    if (!hasEntriesAt(channel)) return names;
    readTable([&](const ServiceTable& table) {
        for (const auto& [name, details] : table) {
            if (details.channelName == channel && (names.empty() || names.back() != name))
                names.push_back(name);
        }
    });
    return names;
}

std::vector<std::string> RegistryState::channelNames() const {
    std::vector<std::string> all;
    all.reserve(channels.size());
    for (const auto& channel : channels) all.push_back(channel.first);
    return all;
}

// Read in the table's order, then put in the order of the registrations' ids.
std::vector<ServiceRecord> RegistryState::entries() const {
    std::vector<ServiceRecord> all;
    all.reserve(entryTotal);
    readTable([&](const ServiceTable& table) {
        for (const auto& [name, details] : table)
            all.push_back({name, details.svcId, details.channelName});
    });
    std::stable_sort(all.begin(), all.end(), [](const ServiceRecord& a, const ServiceRecord& b) {
        return a.svcId < b.svcId;
    });
    return all;
}

void RegistryState::readInTableOrder(
    const std::function<void(const std::vector<SnapshotEntry>&)>& write) const {
    readTable([&](const ServiceTable& table) {
        std::vector<SnapshotEntry> all;
        all.reserve(table.size());
        for (const auto& [name, details] : table)
            all.push_back({name, details.channelName, details.svcId});
        write(all);
    });
}

std::vector<std::string> RegistryState::namesOnlyIn(std::int64_t id, std::string& channel) const {
    const auto registration = placeOf(id);
    if (registration == registrations.end()) return {};
    channel = registration->channel->first;
    std::vector<std::string> own;
    std::set<std::string> others;
    readTable([&](const ServiceTable& table) {
        for (const auto& [name, details] : table) {
            if (details.svcId == id) {
                if (own.empty() || own.back() != name) own.push_back(name);
            } else if (details.channelName == channel) {
                others.insert(name);
            }
        }
    });
    own.erase(std::remove_if(own.begin(), own.end(),
                             [&](const std::string& name) { return others.count(name) != 0; }),
              own.end());
    return own;
}

uid_t RegistryState::ownerOf(std::int64_t id) const {
    const auto registration = placeOf(id);
    return registration != registrations.end() ? registration->owner : kNobody;
}

std::vector<JournalRecord> RegistryState::creatorRecords() const {
    std::vector<JournalRecord> records;
    records.reserve(creators.size());
    for (const Creator& creator : creators) {
        records.push_back({creator.kind,
                           creator.owner,
                           0,
                           {creator.lib, creator.creatorFn, creator.ifc, creator.protocol}});
    }
    return records;
}

// Each registration's names as the library holds them, read once for all: its entries in the
// table's order, put in the order of their ids. A registration of a caller on another device is
// left out, as a replay would leave it: the next id kept last keeps its id used.
void RegistryState::snapshot(const std::function<void(const JournalRecord&)>& take) const {
    readTable([&](const ServiceTable& table) {
        std::vector<std::pair<std::int64_t, const std::string*>> names;
        names.reserve(table.size());
        for (const auto& [name, details] : table) names.emplace_back(details.svcId, &name);
        std::stable_sort(names.begin(), names.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        auto name = names.begin();
        for (const Registration& registration : registrations) {
            std::vector<std::string> own;
            for (; name != names.end() && name->first <= registration.id; ++name) {
                if (name->first == registration.id) own.push_back(*name->second);
            }
            if (isDeviceAccount(registration.owner)) continue;
            take({JournalRecord::Kind::Register,
                  registration.owner,
                  registration.id,
                  {RegistryText::joinWith(own, ' '), registration.channel->first}});
            const auto caller = callerOf.find(registration.id);
            if (caller != callerOf.end())
                take({JournalRecord::Kind::Caller, registration.owner, registration.id,
                      caller->second});
        }
    });
    for (const JournalRecord& creator : creatorRecords()) take(creator);
    for (const auto& [channel, held] : channels) {
        if (held.server != kNobody) take({JournalRecord::Kind::Served, held.server, 0, {channel}});
    }
    take({JournalRecord::Kind::NextId, 0, nextServiceId, {}});
}

}  // namespace svcreg
