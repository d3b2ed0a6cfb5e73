#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "RegistryJournal.h"
#include "RemoteCreators.h"
#include "RemoteTable.h"
#include "ServiceRegistry.h"
#include "ServiceRegistry/ServiceRecord.h"
#include "TableSnapshot.h"

namespace svcreg {

// What the daemon knows beside the registry's tables, derived from the library's answers: each
// registration's owner, channel and caller, the counts the quotas judge, the creators in the
// order the tables keep them, the channels found served from the runtime directory and the next
// service id. The names of the entries are the library's alone: the state reads them from the
// library's service table, under the library's lock, and keeps none of them. A registration is
// a record of its id, channel, owner and entry count, in a list ordered by id (ids only grow, so
// a new one is appended); each channel with entries is held once. Not thread-safe: its owner
// orders the changes, and every change of the library's service table goes through it.
class RegistryState {
public:
    // The state beside library's service table, which every change told here was made in.
    explicit RegistryState(ServiceRegistry& library) : library(library) {}
    // Its registrations point to its own channels.
    RegistryState(const RegistryState&) = delete;
    RegistryState& operator=(const RegistryState&) = delete;

    // Applies a record of the daemon's own knowledge (Served, Caller or NextId) as the journal
    // keeps it.
    void apply(const JournalRecord& record);
    // The library accepted a registration of names at channel by owner: it returns the id the
    // library gave it, read with its entries from the library's table.
    std::int64_t registered(const std::vector<std::string>& names, const std::string& channel,
                            uid_t owner);
    // The library's entries of names at channel, in its table's order: those a deregistration of
    // names there removes. Read before it is made, for deregistered.
    std::vector<ServiceRecord> entriesAt(const std::vector<std::string>& names,
                                         const std::string& channel) const;
    // The library deregistered names at channel; held is what entriesAt gave before. Returns
    // the entries of held the library no longer has, which are uncounted.
    std::vector<ServiceRecord> deregistered(std::vector<ServiceRecord> held,
                                            const std::vector<std::string>& names,
                                            const std::string& channel);
    // The registry took a creator (a Proxy or Invoker record): true when the tables did not
    // keep it yet.
    bool creatorTaken(const JournalRecord& record);

    std::int64_t nextId() const { return nextServiceId; }
    // Whether the registry would accept this registration, and so give it an id.
    static bool accepts(const std::string& names, const std::string& channel);
    // Every interface name with an entry at channel, each once.
    std::vector<std::string> namesAt(const std::string& channel) const;
    bool hasEntriesAt(const std::string& channel) const { return channels.count(channel) != 0; }
    std::vector<std::string> channelNames() const;
    bool isServed(const std::string& channel) const { return serverOf(channel).has_value(); }
    // The user whose process served channel when it was found served; nullopt for none.
    std::optional<uid_t> serverOf(const std::string& channel) const;
    // Every entry, by registration, and in the table's order within one.
    std::vector<ServiceRecord> entries() const;
    // Calls write with every entry in the order the service table keeps them, as views into the
    // library's table, valid for the call only; under the library's lock.
    void readInTableOrder(
        const std::function<void(const std::vector<SnapshotEntry>&)>& write) const;
    // Who made the registration with this id; -1 for none.
    uid_t ownerOf(std::int64_t id) const;
    // A registration whose entries end with the process that made it, as the journal keeps it.
    struct CallerOf {
        std::int64_t id;
        std::string channel;
        std::size_t entries;                // how many the library holds
        std::vector<std::string> identity;  // the process's pid and start time, as text
        uid_t owner;                        // its user
    };
    // The registrations that end with their callers, to be watched again after a restart.
    std::vector<CallerOf> callers() const;
    // The names of registration id, and its channel, that no other registration at its channel
    // holds: those a deregistration removes without taking another's entry along. None for an
    // id not registered.
    std::vector<std::string> namesOnlyIn(std::int64_t id, std::string& channel) const;
    std::size_t creatorCount() const { return creators.size(); }
    std::size_t entryCount() const { return entryTotal; }
    // The bytes the entries take in a listing of the table: its name and channel, and room for
    // its id and the separators. The quota of table bytes keeps the whole listing within a frame.
    static std::size_t bytesOf(const std::string& ifc, const std::string& channel) {
        return ifc.size() + channel.size() + 16;
    }
    std::size_t byteCount() const { return byteTotal; }
    std::size_t bytesHeldBy(uid_t user) const { return countOf(bytesByOwner, user); }
    // What user's registrations and creators hold; the quotas are counted from these.
    std::size_t entriesHeldBy(uid_t user) const { return countOf(entriesByOwner, user); }
    std::size_t creatorsHeldBy(uid_t user) const { return countOf(creatorsByOwner, user); }
    // Whether the tables keep this creator (a Proxy or Invoker record) already.
    bool keepsCreator(const JournalRecord& record) const;
    // The first of names at channel with an entry of another user than user that user may not
    // remove (mayRemoveOthers says no for its name), with that other user; nullopt for none.
    std::optional<std::pair<std::string, uid_t>> otherOwnerAt(
        const std::vector<std::string>& names, const std::string& channel, uid_t user,
        const std::function<bool(const std::string& ifc)>& mayRemoveOthers) const;
    // The Proxy and Invoker records of the creators, in the order they were registered.
    std::vector<JournalRecord> creatorRecords() const;
    // Other devices' entries, kept beside the library's and never journaled or counted above.
    const RemoteTable& remoteEntries() const { return remote; }
    RemoteTable& remoteEntries() { return remote; }
    // Other devices' creators, kept as their entries are.
    const RemoteCreators& remoteCreators() const { return remoteCreatorTable; }
    RemoteCreators& remoteCreators() { return remoteCreatorTable; }
    // Hands take the fewest records that rebuild the tables, in the order they must be applied,
    // each made as it is handed over: the registrations' names are read from the library's
    // table, under its lock, which take must not call back into.
    void snapshot(const std::function<void(const JournalRecord&)>& take) const;

private:
    // Calls read with the library's service table, under its lock.
    template <typename Read>
    void readTable(Read&& read) const;

    static constexpr uid_t kNobody = static_cast<uid_t>(-1);
    // A channel with entries: how many registrations hold it, and the user whose process was
    // found serving it (kNobody for none).
    struct Channel {
        std::uint32_t registrations = 0;
        uid_t server = kNobody;
    };
    using Channels = std::map<std::string, Channel, std::less<>>;
    struct Registration {
        std::int64_t id;
        Channels::iterator channel;
        uid_t owner;
        std::uint32_t entries;  // how many of its entries the library holds
    };
    struct Creator {
        JournalRecord::Kind kind;
        std::string lib, creatorFn, ifc, protocol;
        uid_t owner;
    };

    using Registrations = std::vector<Registration>;  // by id
    // Where the registration with id is in registrations; their end for none.
    Registrations::const_iterator placeOf(std::int64_t id) const;
    // Lets go of what a registration left without entries holds.
    void forget(const Registration& registration);
    static std::vector<std::string> creatorKeyOf(const JournalRecord& record);
    static std::size_t countOf(const std::map<uid_t, std::size_t>& counts, uid_t user);
    static void uncount(std::map<uid_t, std::size_t>& counts, uid_t user, std::size_t amount);

    ServiceRegistry& library;
    std::int64_t nextServiceId = 1;
    Registrations registrations;
    Channels channels;
    // The callers of the registrations that end with them: a Caller record's fields.
    std::map<std::int64_t, std::vector<std::string>> callerOf;
    std::vector<Creator> creators;
    // Each table's keys with their library and creator, to keep one of each as the tables do.
    std::set<std::vector<std::string>> creatorKeys;
    std::size_t entryTotal = 0;
    std::map<uid_t, std::size_t> entriesByOwner;
    std::size_t byteTotal = 0;
    std::map<uid_t, std::size_t> bytesByOwner;
    std::map<uid_t, std::size_t> creatorsByOwner;
    RemoteTable remote;
    RemoteCreators remoteCreatorTable;
};

}  // namespace svcreg
