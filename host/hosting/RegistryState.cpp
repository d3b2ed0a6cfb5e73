#include "RegistryState.h"

#include <algorithm>

#include "RegistryTextProtocol.h"

namespace svcreg {

bool RegistryState::accepts(const std::string& names, const std::string& channel) {
    return !names.empty() && !channel.empty();
}

void RegistryState::apply(const JournalRecord& record, std::vector<ServiceRecord>* removed) {
    const std::vector<std::string>& f = record.fields;
    switch (record.kind) {
        case JournalRecord::Kind::Register:
            // A registration the registry refuses is never recorded; a list that is empty here is
            // the one empty name a rewrite kept of a registration.
            if (f[1].empty()) return;
            nextServiceId = std::max(nextServiceId, record.id);  // ids a rewrite left out
            registered(RegistryText::splitAt(f[0], ' '), f[1], record.owner);
            return;
        case JournalRecord::Kind::Deregister:
            deregistered(RegistryText::splitAt(f[0], ' '), f[1], removed);
            return;
        case JournalRecord::Kind::Proxy:
        case JournalRecord::Kind::Invoker:
            creatorTaken(record);
            return;
        case JournalRecord::Kind::Served:
            if (idsByChannel.count(f[0]) != 0) served[f[0]] = record.owner;
            return;
        case JournalRecord::Kind::NextId:
            nextServiceId = std::max(nextServiceId, record.id);
            return;
        case JournalRecord::Kind::Caller: {
            const auto registration = registrations.find(record.id);
            if (registration != registrations.end()) registration->second.caller = f;
            return;
        }
    }
}

std::int64_t RegistryState::registered(const std::vector<std::string>& names,
                                       const std::string& channel, uid_t owner) {
    const std::int64_t id = nextServiceId++;
    const auto atChannel = idsByChannel.try_emplace(channel).first;
    atChannel->second.push_back(id);  // the largest id yet: the list stays in order
    Registration& registration = registrations[id];
    registration = {{}, &atChannel->first, owner, {}};
    registration.names.reserve(names.size());
    for (const std::string& name : names) {
        registration.names.push_back(byName.emplace(name, Entry{id, registration.channel}));
    }
    entryTotal += names.size();
    entriesByOwner[owner] += names.size();
    for (const std::string& name : names) {
        byteTotal += bytesOf(name, channel);
        bytesByOwner[owner] += bytesOf(name, channel);
    }
    return id;
}

std::vector<RegistryState::CallerOf> RegistryState::callers() const {
    std::vector<CallerOf> found;
    for (const auto& [id, registration] : registrations) {
        if (!registration.caller.empty())
            found.push_back({id, *registration.channel, namesOf(registration), registration.caller,
                             registration.owner});
    }
    return found;
}

// Every entry of each name at channel goes, as in the registry's table.
void RegistryState::deregistered(const std::vector<std::string>& names, const std::string& channel,
                                 std::vector<ServiceRecord>* removed) {
    auto atChannel = idsByChannel.find(channel);
    if (atChannel == idsByChannel.end()) return;
    const std::set<std::string> gone(names.begin(), names.end());
    // The ids that keep entries are moved into a list of their own, as the names below.
    std::vector<std::int64_t> keptIds;
    for (const std::int64_t id : atChannel->second) {
        Registration& registration = registrations[id];
        // The names kept are moved into a list of their own: erasing each gone one in place
        // would move all after it, a square of the names' count for a large registration.
        std::vector<Entries::const_iterator> kept;
        for (const Entries::const_iterator entry : registration.names) {
            const std::string& name = entry->first;
            if (gone.count(name) == 0) {
                kept.push_back(entry);
                continue;
            }
            byteTotal -= bytesOf(name, channel);
            uncount(bytesByOwner, registration.owner, bytesOf(name, channel));
            --entryTotal;
            uncount(entriesByOwner, registration.owner, 1);
            if (removed != nullptr) removed->push_back({name, id, channel});
            byName.erase(entry);
        }
        registration.names = std::move(kept);
        if (registration.names.empty()) {
            registrations.erase(id);
        } else {
            keptIds.push_back(id);
        }
    }
    atChannel->second = std::move(keptIds);
    if (atChannel->second.empty()) {
        served.erase(channel);
        idsByChannel.erase(atChannel);
    }
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
    auto atChannel = idsByChannel.find(channel);
    if (atChannel == idsByChannel.end()) return std::nullopt;
    const std::set<std::string> asked(names.begin(), names.end());
    for (const std::int64_t id : atChannel->second) {
        const Registration& registration = registrations.at(id);
        if (registration.owner == user) continue;
        for (const Entries::const_iterator entry : registration.names) {
            if (asked.count(entry->first) != 0 && !mayRemoveOthers(entry->first)) {
                return std::make_pair(entry->first, registration.owner);
            }
        }
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
    std::set<std::string> names;
    auto atChannel = idsByChannel.find(channel);
    if (atChannel == idsByChannel.end()) return {};
    for (const std::int64_t id : atChannel->second) {
        for (const Entries::const_iterator entry : registrations.at(id).names)
            names.insert(entry->first);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

std::vector<std::string> RegistryState::channels() const {
    std::vector<std::string> all;
    for (const auto& entry : idsByChannel) all.push_back(entry.first);
    return all;
}

std::vector<ServiceRecord> RegistryState::entries() const {
    std::vector<ServiceRecord> all;
    for (const auto& [id, registration] : registrations) {
        for (const Entries::const_iterator entry : registration.names) {
            all.push_back({entry->first, id, *registration.channel});
        }
    }
    return all;
}

std::vector<SnapshotEntry> RegistryState::inTableOrder() const {
    std::vector<SnapshotEntry> all;
    all.reserve(byName.size());
    for (const auto& [name, entry] : byName) all.push_back({name, *entry.channel, entry.id});
    return all;
}

std::vector<std::string> RegistryState::namesOf(const Registration& registration) const {
    std::vector<std::string> names;
    names.reserve(registration.names.size());
    for (const Entries::const_iterator entry : registration.names) names.push_back(entry->first);
    return names;
}

std::vector<std::string> RegistryState::namesOnlyIn(std::int64_t id, std::string& channel) const {
    const auto found = registrations.find(id);
    if (found == registrations.end()) return {};
    channel = *found->second.channel;
    std::set<std::string> others;
    for (const std::int64_t other : idsByChannel.at(channel)) {
        if (other == id) continue;
        for (const Entries::const_iterator entry : registrations.at(other).names)
            others.insert(entry->first);
    }
    std::vector<std::string> only;
    for (const Entries::const_iterator entry : found->second.names) {
        if (others.count(entry->first) == 0) only.push_back(entry->first);
    }
    return only;
}

uid_t RegistryState::ownerOf(std::int64_t id) const {
    const auto found = registrations.find(id);
    return found != registrations.end() ? found->second.owner : static_cast<uid_t>(-1);
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

std::vector<JournalRecord> RegistryState::snapshot() const {
    std::vector<JournalRecord> records;
    for (const auto& [id, registration] : registrations) {
        records.push_back(
            {JournalRecord::Kind::Register,
             registration.owner,
             id,
             {RegistryText::joinWith(namesOf(registration), ' '), *registration.channel}});
        if (!registration.caller.empty()) {
            records.push_back(
                {JournalRecord::Kind::Caller, registration.owner, id, registration.caller});
        }
    }
    for (JournalRecord& creator : creatorRecords()) records.push_back(std::move(creator));
    for (const auto& [channel, server] : served) {
        records.push_back({JournalRecord::Kind::Served, server, 0, {channel}});
    }
    records.push_back({JournalRecord::Kind::NextId, 0, nextServiceId, {}});
    return records;
}

}  // namespace svcreg
