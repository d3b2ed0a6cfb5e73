#pragma once

// The daemon's pipeline against the library it serves, change by change: the answer, the id a
// registration got, the entries and table bytes the state counts (in all and per user), the
// entries the listeners were told of, and what every lookup of a client finds in the table the
// daemon shares must be the library's own, refusals when its service ids run out included; and
// a pipeline started again from the journal, and again from the journal that one rewrote, must
// hold the same tables and counts and give the same next id.
// Shared by the libFuzzer target and the GoogleTest that runs its seeds.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "AccessPolicy.h"
#include "CallFrom.h"
#include "RegistryGate.h"
#include "RegistryPipeline.h"
#include "ServiceRegistry.h"
#include "SnapshotLookups.h"
#include "TablePublisher.h"

namespace svcreg {

// The registry library, but with few service ids: once they are spent it refuses every
// registration, as the library does once its counter is, and its tables stay as they were.
// Counts the calls that change it and keeps their last answer.
class ScarceIdRegistry final : public ServiceRegistry {
public:
    explicit ScarceIdRegistry(int ids) : idsLeft(ids) {}

    bool registerSvcInterface(const std::string& ifc, const std::string& channelName) override {
        if (idsLeft == 0) return answered(false);
        const bool made = ServiceRegistry::registerSvcInterface(ifc, channelName);
        if (made) --idsLeft;
        return answered(made);
    }
    bool deregisterSvcInterfaces(const std::string& ifc, const std::string& channelName) override {
        return answered(ServiceRegistry::deregisterSvcInterfaces(ifc, channelName));
    }
    bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol) override {
        return answered(ServiceRegistry::registerProxyInfo(lib, creatorFn, ifc, protocol));
    }
    bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                             const std::string& ifc, const std::string& protocol) override {
        return answered(ServiceRegistry::registerInvokerInfo(lib, creatorFn, ifc, protocol));
    }

    int calls = 0;
    bool lastAnswer = false;

private:
    bool answered(bool answer) {
        ++calls;
        lastAnswer = answer;
        return answer;
    }

    int idsLeft;
};

// An entry as the comparisons see it: interface, service id, channel.
using EntryRow = std::tuple<std::string, ServiceId, std::string>;

// The entries the pipeline told its listeners of, kept as they were told.
class ToldEntries final : public TableListener {
public:
    void registered(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override {
        for (const ServiceRecord& entry : entries)
            rows.insert({entry.ifc, entry.svcId, entry.channel});
    }
    void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override {
        for (const ServiceRecord& entry : entries) {
            const auto found = rows.find({entry.ifc, entry.svcId, entry.channel});
            if (found != rows.end()) rows.erase(found);
        }
    }

    std::multiset<EntryRow> rows;
};

class PipelineDifferential {
public:
    // journalPath empty: the tables are kept in memory only, and not restarted.
    PipelineDifferential(const std::uint8_t* data, std::size_t size, std::string journalPath)
        : data(data), size(size), journalPath(std::move(journalPath)) {}

    // Empty when the pipeline and the library agreed on every change; else the first difference.
    std::string run() {
        Served first(*this, kIds);
        first.pipeline.addListener(&told);
        while (at < size && mismatch.empty()) step(first);
        if (!mismatch.empty()) return mismatch;
        if (journalPath.empty()) return std::string();
        // Started again from the changes as they were made, then from the records that restart
        // rewrote the journal to.
        Served again(*this, kIds);
        Served rewritten(*this, kIds);
        for (Served* restarted : {&again, &rewritten}) {
            if (lookupsOf(restarted->registry) != lookupsOf(first.registry))
                return "replayed: other entries or creators";
            compare(*restarted, "replayed");
            if (!mismatch.empty()) return mismatch;
        }
        const ServiceId nextId = nextIdOf(first);
        if (nextIdOf(again) != nextId || nextIdOf(rewritten) != nextId)
            return "replayed: another next id";
        return mismatch;
    }

private:
    static constexpr int kIds = 12;
    // "A,p" with "q" and "A" with "p,q" name the same invoker key: the first registered answers.
    static constexpr const char* kInterfaces[] = {"A", "B", "", "A,p"};
    static constexpr const char* kProtocols[] = {"", "p,q", "q"};
    static constexpr gid_t kGroup = 100;

    // The library with its pipeline, restored from the journal when there is one.
    struct Served {
        Served(PipelineDifferential& test, int ids)
            : registry(ids),
              gate(AccessPolicy(kGroup), kGroup, "users", quotas()),
              pipeline(registry, registry, gate, quotas(),
                       test.journalPath.empty()
                           ? nullptr
                           : std::make_unique<RegistryJournal>(test.journalPath)) {
            std::string error;
            if (!pipeline.restore(error)) test.mismatch = "not restored: " + error;
        }
        ScarceIdRegistry registry;
        RegistryGate gate;
        RegistryPipeline pipeline;
    };

    // Few entries per user, so that quotas refuse; no rate, so that nothing else does.
    static RegistryQuotas quotas() {
        RegistryQuotas limits;
        limits.entriesPerUser = 6;
        limits.changesPerUserPerSecond = 1u << 30;
        limits.changeBytesPerUserPerSecond = 1u << 30;
        return limits;
    }

    unsigned next() { return at < size ? data[at++] : 0; }
    template <std::size_t N>
    const char* pick(const char* const (&choices)[N]) {
        return choices[next() % N];
    }

    // The change the next bytes ask for, by call or as a text command, by one of two users or
    // by the daemon itself.
    void step(Served& served) {
        // Names ordered as unsigned bytes, case-sensitively: "\xff" after "a", "a" after "C".
        static const char* const kNames[] = {"",     "A",  "B",     "A B",
                                             "A  B", " A", "B A A", "C \xff a"};
        static const char* const kChannels[] = {"", "c", "d"};
        static const char* const kParts[] = {"", "l", "m"};
        const unsigned who = next() % 3;
        PeerCredentials peer;
        peer.pid = 42;
        peer.uid = 1001 + who;
        peer.gid = kGroup;
        const std::string names = pick(kNames), channel = pick(kChannels);
        using Kind = RegistryChange::Kind;
        switch (const unsigned what = next() % 6) {
            case 0:
            case 1:
                ask(served,
                    RegistryChange::entries(what == 0 ? Kind::Register : Kind::Deregister, names,
                                            channel, what == 0 ? "register" : "deregister"),
                    who == 2 ? nullptr : &peer);
                return;
            case 2:
                ask(served, *RegistryChange::fromText(std::string("reg:") + names + "," + channel),
                    &peer);
                return;
            case 3: {
                const RegistryChange creator = RegistryChange::creator(
                    next() % 2 == 0 ? Kind::RegisterProxy : Kind::RegisterInvoker, pick(kParts),
                    pick(kParts), pick(kInterfaces), pick(kProtocols), "creator");
                if (who != 2) return ask(served, creator, &peer);
                // The daemon's own, by the registry interface that the library's invoker calls.
                ServiceRegistryIfc& registry = served.pipeline;
                const auto made = creator.kind == Kind::RegisterProxy
                                      ? &ServiceRegistryIfc::registerProxyInfo
                                      : &ServiceRegistryIfc::registerInvokerInfo;
                (registry.*made)(creator.lib, creator.creatorFn, creator.names, creator.protocol);
                break;
            }
            case 4:
                served.pipeline.removeChannel(channel);
                break;
            default:
                served.pipeline.removeRegistration(1 + next() % kIds);
                break;
        }
        compare(served, "a change by the daemon");
    }

    void ask(Served& served, const RegistryChange& change, const PeerCredentials* peer) {
        const std::multiset<EntryRow> before = entriesOf(served.registry);
        const int calls = served.registry.calls;
        std::unique_ptr<CallFrom> call = peer ? std::make_unique<CallFrom>(*peer) : nullptr;
        const RegistryPipeline::ChangeAnswer answer = served.pipeline.apply(change, call.get());
        const std::string what = change.request + " by " + (peer ? peer->describe() : "daemon");
        const bool asked = served.registry.calls != calls;
        if (!answer.refusal.empty() && (asked || answer.made)) {
            mismatch = what + ": refused, yet made in the library";
        } else if (answer.refusal.empty() && asked && answer.made != served.registry.lastAnswer) {
            mismatch = what + ": answered other than the library";
        } else if (change.kind == RegistryChange::Kind::Register &&
                   idsAdded(before, entriesOf(served.registry)) !=
                       (answer.made ? std::set<ServiceId>{answer.svcId} : std::set<ServiceId>{})) {
            mismatch = what + ": another id than the library's";
        }
        if (answer.made && answer.svcId != 0 && peer != nullptr)
            owners.insert({answer.svcId, peer->uid});
        if (mismatch.empty()) compare(served, what);
    }

    // The state's counts, in all and per user, the entries it lists and those the listeners
    // were told of, against the library's table.
    void compare(Served& served, const std::string& what) {
        const std::multiset<EntryRow> library = entriesOf(served.registry);
        served.pipeline.whileUnchanged([&](const RegistryState& state) {
            std::multiset<EntryRow> listed;
            for (const ServiceRecord& entry : state.entries())
                listed.insert({entry.ifc, entry.svcId, entry.channel});
            if (state.entryCount() != library.size() || listed != library ||
                state.byteCount() != bytesOf(library)) {
                mismatch = what + ": the state counts other entries than the library holds";
            } else if (told.rows != library) {
                mismatch = what + ": the listeners were told of other entries";
            } else if (lookupsOf(state) != lookupsOf(served.registry)) {
                mismatch = what + ": a client finds other than the library in the shared table";
            }
            for (uid_t user = 1001; user <= 1002 && mismatch.empty(); ++user) {
                std::multiset<EntryRow> held;
                for (const EntryRow& row : library) {
                    if (owners.count({std::get<1>(row), user}) != 0) held.insert(row);
                }
                if (state.entriesHeldBy(user) != held.size() ||
                    state.bytesHeldBy(user) != bytesOf(held)) {
                    mismatch = what + ": other counts per user";
                }
            }
        });
    }

    // What every lookup finds: each entry with its id and channel, in the registry's order;
    // then for each name its first channel and id, all its channels, and each creator.
    static std::vector<std::string> lookupsOf(ServiceRegistryIfc& registry) {
        std::vector<std::string> found;
        const std::vector<SvcDetails> details = registry.getSvcDetailsList();
        for (const SvcDetails& entry : details)
            found.push_back(entry.ifc + "|" + entry.svcId + "|" + entry.channelName);
        for (const char* ifc : kInterfaces) {
            std::string channel, lib, fn;
            found.push_back(registry.findSvcInterface(ifc, channel) ? channel : "none");
            const auto first =
                std::find_if(details.begin(), details.end(),
                             [&](const SvcDetails& entry) { return entry.ifc == ifc; });
            found.push_back(*ifc != '\0' && first != details.end() ? first->svcId : "none");
            for (const std::string& at : registry.findSvcsForIfc(ifc)) found.push_back("at " + at);
            found.push_back(registry.findProxy(ifc, lib, fn) ? lib + "/" + fn : "none");
            for (const char* protocol : kProtocols) {
                found.push_back(registry.findInvoker(ifc, protocol, lib, fn) ? lib + "/" + fn
                                                                             : "none");
            }
        }
        return found;
    }

    // The same, as a client reads it from the snapshot the daemon shares of state.
    static std::vector<std::string> lookupsOf(const RegistryState& state) {
        const std::string block = TablePublisher::encode(state, 7);
        TableSnapshotView view;
        std::string why;
        if (!view.open(block.data(), block.size(), why) || view.nextId() != state.nextId())
            return {"unreadable: " + why};
        std::vector<std::string> found;
        std::vector<ServiceRecord> entries;
        SnapshotLookups::detailsList(view, entries);
        for (const ServiceRecord& entry : entries)
            found.push_back(entry.ifc + "|" + std::to_string(entry.svcId) + "|" + entry.channel);
        for (const char* ifc : kInterfaces) {
            std::string channel;
            ServiceId svcId = 0;
            std::vector<std::string> channels;
            CreatorRecord creator;
            found.push_back(SnapshotLookups::findChannel(view, ifc, channel) ? channel : "none");
            found.push_back(SnapshotLookups::findServiceId(view, ifc, svcId) ? std::to_string(svcId)
                                                                             : "none");
            SnapshotLookups::channelList(view, ifc, channels);
            for (const std::string& at : channels) found.push_back("at " + at);
            found.push_back(SnapshotLookups::findProxy(view, ifc, creator)
                                ? creator.lib + "/" + creator.creatorFn
                                : "none");
            for (const char* protocol : kProtocols) {
                found.push_back(SnapshotLookups::findInvoker(view, ifc, protocol, creator)
                                    ? creator.lib + "/" + creator.creatorFn
                                    : "none");
            }
        }
        return found;
    }

    static std::multiset<EntryRow> entriesOf(ServiceRegistryIfc& registry) {
        std::multiset<EntryRow> rows;
        for (const SvcDetails& entry : registry.getSvcDetailsList())
            rows.insert({entry.ifc, std::stoll(entry.svcId), entry.channelName});
        return rows;
    }

    // What rows take of the quota of table bytes.
    static std::size_t bytesOf(const std::multiset<EntryRow>& rows) {
        std::size_t bytes = 0;
        for (const EntryRow& row : rows)
            bytes += RegistryState::bytesOf(std::get<0>(row), std::get<2>(row));
        return bytes;
    }

    static std::set<ServiceId> idsAdded(const std::multiset<EntryRow>& before,
                                        const std::multiset<EntryRow>& after) {
        std::set<ServiceId> ids;
        for (const EntryRow& row : after) {
            if (before.count(row) < after.count(row)) ids.insert(std::get<1>(row));
        }
        return ids;
    }

    // The id the library gives next, by a registration of the daemon's own.
    static ServiceId nextIdOf(Served& served) {
        const RegistryPipeline::ChangeAnswer probe = served.pipeline.apply(
            RegistryChange::entries(RegistryChange::Kind::Register, "next", "probe", "probe"),
            nullptr);
        return probe.made ? probe.svcId : 0;
    }

    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    const std::string journalPath;
    ToldEntries told;
    std::set<std::pair<ServiceId, uid_t>> owners;  // who made each registration the library took
    std::string mismatch;
};

}  // namespace svcreg
