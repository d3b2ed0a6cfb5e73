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
#include "ServiceRegistry/ServiceRecord.h"
#include "TableSnapshot.h"

namespace svcreg {

// What the registry's tables hold, kept beside them by the daemon as the library's answers
// tell it: each registration under its service id with its owner, the creators in the order the
// tables keep them, the channels found served from the runtime directory and the next service
// id. Each entry's name is kept once, in the order the service table keeps its entries (by
// name, then as registered), which is the order the shared table is written in; a registration
// points to its entries there. It follows the registry's rules, so that the records it gives
// back rebuild the same tables.
class RegistryState {
public:
    RegistryState() = default;
    // Its registrations point into its own entries.
    RegistryState(const RegistryState&) = delete;
    RegistryState& operator=(const RegistryState&) = delete;

    // Applies one change as the journal keeps it; a registration gets the next id, and one the
    // registry refuses (no names or no channel) changes nothing. The entries a deregistration
    // removed go to removed.
    void apply(const JournalRecord& record, std::vector<ServiceRecord>* removed = nullptr);
    // The registry accepted a registration of names at channel by owner: it got the next id,
    // which this returns.
    std::int64_t registered(const std::vector<std::string>& names, const std::string& channel,
                            uid_t owner);
    // The registry deregistered names at channel: every entry of each of them there goes, to
    // removed when given.
    void deregistered(const std::vector<std::string>& names, const std::string& channel,
                      std::vector<ServiceRecord>* removed);
    // The registry took a creator (a Proxy or Invoker record): true when the tables did not
    // keep it yet.
    bool creatorTaken(const JournalRecord& record);

    std::int64_t nextId() const { return nextServiceId; }
    // Whether the registry would accept this registration, and so give it an id.
    static bool accepts(const std::string& names, const std::string& channel);
    // Every interface name with an entry at channel, each once.
    std::vector<std::string> namesAt(const std::string& channel) const;
    std::vector<std::string> channels() const;
    bool isServed(const std::string& channel) const { return served.count(channel) != 0; }
    // The user whose process served channel when it was found served; nullopt for none.
    std::optional<uid_t> serverOf(const std::string& channel) const {
        const auto found = served.find(channel);
        return found != served.end() ? std::optional<uid_t>(found->second) : std::nullopt;
    }
    // Every entry, by registration.
    std::vector<ServiceRecord> entries() const;
    // Every entry in the order the service table keeps them, as views into this; valid until
    // the next change.
    std::vector<SnapshotEntry> inTableOrder() const;
    // Who made the registration with this id; -1 for none.
    uid_t ownerOf(std::int64_t id) const;
    // A registration whose entries end with the process that made it, as the journal keeps it.
    struct CallerOf {
        std::int64_t id;
        std::string channel;
        std::vector<std::string> names;
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
    // The fewest records that rebuild the tables, in the order they must be applied.
    std::vector<JournalRecord> snapshot() const;

private:
    struct Entry {
        std::int64_t id;
        const std::string* channel;  // the key of its channel in idsByChannel
    };
    // Each entry under its name, by name and then as registered: the service table's order.
    using Entries = std::multimap<std::string, Entry>;
    struct Registration {
        std::vector<Entries::const_iterator> names;  // its entries, as registered
        const std::string* channel;                  // as for Entry
        uid_t owner;
        std::vector<std::string> caller;  // a Caller record's fields; empty for none
    };
    struct Creator {
        JournalRecord::Kind kind;
        std::string lib, creatorFn, ifc, protocol;
        uid_t owner;
    };

    std::vector<std::string> namesOf(const Registration& registration) const;
    static std::vector<std::string> creatorKeyOf(const JournalRecord& record);
    static std::size_t countOf(const std::map<uid_t, std::size_t>& counts, uid_t user);
    static void uncount(std::map<uid_t, std::size_t>& counts, uid_t user, std::size_t amount);

    std::int64_t nextServiceId = 1;
    Entries byName;
    std::map<std::int64_t, Registration> registrations;
    std::map<std::string, std::vector<std::int64_t>> idsByChannel;  // each channel's ids, in order
    std::vector<Creator> creators;
    // Each table's keys with their library and creator, to keep one of each as the tables do.
    std::set<std::vector<std::string>> creatorKeys;
    std::map<std::string, uid_t> served;  // channel, and the user whose process serves it
    std::size_t entryTotal = 0;
    std::map<uid_t, std::size_t> entriesByOwner;
    std::size_t byteTotal = 0;
    std::map<uid_t, std::size_t> bytesByOwner;
    std::map<uid_t, std::size_t> creatorsByOwner;
};

}  // namespace svcreg
