// Differential: the registry library and the daemon's copy of its tables (RegistryState, which
// keeps its entries in the order of the table it shares) are given the same sequence of changes,
// as the pipeline gives them. After every step, what each
// lookup finds in the registry must be what a client finds in the snapshot the daemon shares of
// the state: each entry with its service id and channel in the registry's order, the first
// channel and id and all channels of a name, the creator of every proxy and invoker; and they
// must agree on which registrations the registry accepts, and at the end on the next id.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RegistryState.h"
#include "SnapshotLookups.h"
#include "SvcDetails.h"
#include "TablePublisher.h"
#include "TableSnapshot.h"

using namespace svcreg;

namespace {

// Few, short names, so that changes meet: the same name at two channels, twice at one, empty
// names and lists with empty pieces.
const char* const kNames[] = {"", "A", "B", "A B", "A  B", " A", "B A A"};
const char* const kChannels[] = {"", "c", "d"};
const char* const kCreatorParts[] = {"", "l", "m"};
const char* const kProtocols[] = {"", "p", "p,q"};
const char* const kInterfaces[] = {"", "A", "B"};

class Input {
public:
    Input(const uint8_t* data, size_t size) : data(data), size(size) {}
    bool empty() const { return at == size; }
    unsigned next() { return at < size ? data[at++] : 0; }
    template <std::size_t N>
    const char* pick(const char* const (&choices)[N]) {
        return choices[next() % N];
    }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// What every lookup finds: each entry with its id and channel, in the registry's order; then
// for each name its first channel and id, all its channels, and the creator each lookup finds.
std::vector<std::string> tablesOf(ServiceRegistry& registry) {
    std::vector<std::string> tables;
    const std::vector<SvcDetails> details = registry.getSvcDetailsList();
    for (const SvcDetails& entry : details) {
        tables.push_back(entry.ifc + "|" + entry.svcId + "|" + entry.channelName);
    }
    for (const char* ifc : kInterfaces) {
        std::string channel, lib, fn;
        tables.push_back(registry.findSvcInterface(ifc, channel) ? channel : "none");
        const auto first = std::find_if(details.begin(), details.end(),
                                        [&](const SvcDetails& entry) { return entry.ifc == ifc; });
        tables.push_back(*ifc != '\0' && first != details.end() ? first->svcId : "none");
        for (const std::string& at : registry.findSvcsForIfc(ifc)) tables.push_back("at " + at);
        tables.push_back(registry.findProxy(ifc, lib, fn) ? lib + "/" + fn : "none");
        for (const char* protocol : kProtocols) {
            tables.push_back(registry.findInvoker(ifc, protocol, lib, fn) ? lib + "/" + fn
                                                                          : "none");
        }
    }
    return tables;
}

// The same, as a client reads it from the snapshot the daemon shares of the state.
std::vector<std::string> tablesOf(const RegistryState& state) {
    const std::string block = TablePublisher::encode(state, 7);
    TableSnapshotView view;
    std::string why;
    if (!view.open(block.data(), block.size(), why) || view.generation() != 7 ||
        view.nextId() != state.nextId()) {
        std::abort();
    }
    std::vector<std::string> tables;
    std::vector<ServiceRecord> entries;
    SnapshotLookups::detailsList(view, entries);
    for (const ServiceRecord& entry : entries) {
        tables.push_back(entry.ifc + "|" + std::to_string(entry.svcId) + "|" + entry.channel);
    }
    for (const char* ifc : kInterfaces) {
        std::string channel;
        ServiceId svcId = 0;
        std::vector<std::string> channels;
        CreatorRecord creator;
        tables.push_back(SnapshotLookups::findChannel(view, ifc, channel) ? channel : "none");
        tables.push_back(SnapshotLookups::findServiceId(view, ifc, svcId) ? std::to_string(svcId)
                                                                          : "none");
        SnapshotLookups::channelList(view, ifc, channels);
        for (const std::string& at : channels) tables.push_back("at " + at);
        tables.push_back(SnapshotLookups::findProxy(view, ifc, creator)
                             ? creator.lib + "/" + creator.creatorFn
                             : "none");
        for (const char* protocol : kProtocols) {
            tables.push_back(SnapshotLookups::findInvoker(view, ifc, protocol, creator)
                                 ? creator.lib + "/" + creator.creatorFn
                                 : "none");
        }
    }
    return tables;
}

// A registration as the pipeline makes it: one the state says the registry accepts gets the
// state's next id, and the registry must agree on both.
void registerBoth(ServiceRegistry& registry, RegistryState& state, const std::string& names,
                  const std::string& channel) {
    const bool accepted = RegistryState::accepts(names, channel);
    if (registry.registerSvcInterface(names, channel) != accepted) std::abort();
    if (!accepted) return;
    state.apply({JournalRecord::Kind::Register, 0, state.nextId(), {names, channel}});
}

void applyBoth(ServiceRegistry& registry, RegistryState& state, Input& input) {
    switch (input.next() % 4) {
        case 0:
            registerBoth(registry, state, input.pick(kNames), input.pick(kChannels));
            return;
        case 1: {
            const std::string names = input.pick(kNames), channel = input.pick(kChannels);
            registry.deregisterSvcInterfaces(names, channel);
            state.apply({JournalRecord::Kind::Deregister, 0, 0, {names, channel}});
            return;
        }
        default: {
            const bool proxy = input.next() % 2 == 0;
            const std::string lib = input.pick(kCreatorParts), fn = input.pick(kCreatorParts),
                              ifc = input.pick(kInterfaces), protocol = input.pick(kProtocols);
            if (proxy) {
                registry.registerProxyInfo(lib, fn, ifc, protocol);
            } else {
                registry.registerInvokerInfo(lib, fn, ifc, protocol);
            }
            state.apply({proxy ? JournalRecord::Kind::Proxy : JournalRecord::Kind::Invoker,
                         0,
                         0,
                         {lib, fn, ifc, protocol}});
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (logEverythingQuietly(), true);
    (void)quiet;
    ServiceRegistry registry;
    RegistryState state;
    Input input(data, size);
    while (!input.empty()) {
        applyBoth(registry, state, input);
        if (tablesOf(registry) != tablesOf(state)) std::abort();
    }
    registerBoth(registry, state, "next", "probe");
    if (tablesOf(registry) != tablesOf(state)) std::abort();
    return 0;
}
