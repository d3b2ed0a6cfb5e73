// Differential: the registry library and the daemon's copy of its tables (RegistryState) are
// given the same sequence of changes, as the pipeline gives them, and must agree after every
// step on each entry with its service id and channel, on the creator every lookup finds, on
// which registrations the registry accepts, and at the end on the id the next one gets.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RegistryState.h"
#include "SvcDetails.h"

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

// Every entry with its id and channel, in order; and the creator each lookup finds, by the
// registry or as the state says: the first kept of its kind and key.
std::vector<std::string> tablesOf(ServiceRegistry& registry) {
    std::vector<std::string> tables;
    for (const SvcDetails& entry : registry.getSvcDetailsList()) {
        tables.push_back(entry.ifc + "|" + entry.svcId + "|" + entry.channelName);
    }
    std::sort(tables.begin(), tables.end());
    for (const char* ifc : kInterfaces) {
        std::string lib, fn;
        tables.push_back(registry.findProxy(ifc, lib, fn) ? lib + "/" + fn : "none");
        for (const char* protocol : kProtocols) {
            tables.push_back(registry.findInvoker(ifc, protocol, lib, fn) ? lib + "/" + fn
                                                                          : "none");
        }
    }
    return tables;
}

std::string creatorOf(const RegistryState& state, JournalRecord::Kind kind, const std::string& ifc,
                      const std::string& protocol) {
    for (const JournalRecord& record : state.snapshot()) {
        const std::vector<std::string>& f = record.fields;
        if (record.kind == kind && f[2] == ifc &&
            (kind == JournalRecord::Kind::Proxy || f[3] == protocol)) {
            return f[0] + "/" + f[1];
        }
    }
    return "none";
}

std::vector<std::string> tablesOf(const RegistryState& state) {
    std::vector<std::string> tables;
    for (const ServiceRecord& entry : state.entries()) {
        tables.push_back(entry.ifc + "|" + std::to_string(entry.svcId) + "|" + entry.channel);
    }
    std::sort(tables.begin(), tables.end());
    for (const char* ifc : kInterfaces) {
        tables.push_back(creatorOf(state, JournalRecord::Kind::Proxy, ifc, ""));
        for (const char* protocol : kProtocols) {
            tables.push_back(creatorOf(state, JournalRecord::Kind::Invoker, ifc, protocol));
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
    if (accepted) state.apply({JournalRecord::Kind::Register, 0, state.nextId(), {names, channel}});
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
