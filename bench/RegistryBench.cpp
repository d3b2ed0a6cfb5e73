// The registry in one process: its operations on tables of 16, 1,024 and 65,536 names beside a
// bare std::multimap under a std::mutex, its text commands, a remote call through the loopback
// framework beside the direct call, and the worst inputs: 1,000 and 40,000 entries of one name.
// Logging is off throughout.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchTables.h"
#include "BinaryProtocolAdapter.h"
#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "Logging.h"
#include "LoopbackFramework.h"
#include "LoopbackProxyRequest.h"
#include "Method.h"
#include "PooledStream.h"
#include "RatioReporter.h"
#include "ServiceDetails.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"
#include "ServiceRegistryProxy.h"

namespace {

const std::vector<long> kSizes = {16, 1024, 65536};

// A registry holding `size` names, each at a channel of its own, with an invoker creator each.
ServiceRegistry& registryOf(int size) {
    static std::map<int, std::unique_ptr<ServiceRegistry>> built;
    std::unique_ptr<ServiceRegistry>& registry = built[size];
    if (registry == nullptr) {
        registry = std::make_unique<ServiceRegistry>();
        // One table after the other, so that the service table's nodes lie together in
        // memory, as the baseline's do.
        for (int i = 0; i < size; ++i)
            registry->registerSvcInterface(interfaceName(i), channelName(i));
        for (int i = 0; i < size; ++i) {
            registry->registerInvokerInfo("libIfc.so", "create" + std::to_string(i),
                                          interfaceName(i), "binary");
        }
    }
    return *registry;
}

// What the registry's table lookup is measured against: the plain container under a lock.
struct BaselineTable {
    explicit BaselineTable(int size) {
        for (int i = 0; i < size; ++i)
            entries.emplace(interfaceName(i), ServiceDetails{channelName(i), i + 1});
    }
    bool find(const std::string& ifc, std::string& channel) {
        std::lock_guard<std::mutex> hold(mutex);
        const auto found = entries.find(ifc);
        if (found == entries.end()) return false;
        channel = found->second.channelName;
        return true;
    }

    std::mutex mutex;
    std::multimap<std::string, ServiceDetails> entries;
};

void BM_BaselineMultimapFind(benchmark::State& state) {
    BaselineTable table(static_cast<int>(state.range(0)));
    LookupCycle lookups(static_cast<int>(state.range(0)));
    std::string channel;
    for (auto _ : state) benchmark::DoNotOptimize(table.find(lookups.next(), channel));
}

void BM_FindSvcInterface(benchmark::State& state) {
    ServiceRegistry& registry = registryOf(static_cast<int>(state.range(0)));
    LookupCycle lookups(static_cast<int>(state.range(0)));
    std::string channel;
    for (auto _ : state)
        benchmark::DoNotOptimize(registry.findSvcInterface(lookups.next(), channel));
}

void BM_FindSvcsForIfc(benchmark::State& state) {
    ServiceRegistry& registry = registryOf(static_cast<int>(state.range(0)));
    LookupCycle lookups(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(registry.findSvcsForIfc(lookups.next()));
}

void BM_GetSvcDetailsList(benchmark::State& state) {
    ServiceRegistry& registry = registryOf(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(registry.getSvcDetailsList());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_FindInvoker(benchmark::State& state) {
    ServiceRegistry& registry = registryOf(static_cast<int>(state.range(0)));
    LookupCycle lookups(static_cast<int>(state.range(0)));
    std::string lib, creator;
    for (auto _ : state) {
        benchmark::DoNotOptimize(registry.findInvoker(lookups.next(), "binary", lib, creator));
    }
}

void BM_RegisterDeregisterPair(benchmark::State& state) {
    ServiceRegistry& registry = registryOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        registry.registerSvcInterface("com.example.Extra", "extra_channel");
        registry.deregisterSvcInterfaces("com.example.Extra", "extra_channel");
    }
}

// Takes whatever the registry sends and drops it.
class DiscardingChannel final : public CommsChannelIfc {
public:
    bool sendMessage(CommsChannelDataContainerMessage*) override { return true; }
    bool sendData(const std::string&, const char*, int) override { return true; }
};

// handleMsg with one text command per iteration, naming the spread names in turn.
void handleCommands(benchmark::State& state, const std::string& word, const std::string& tail) {
    ServiceRegistry& registry = registryOf(static_cast<int>(state.range(0)));
    std::vector<std::string> requests;
    for (const std::string& name : spreadLookups(static_cast<int>(state.range(0))))
        requests.push_back(word + name + tail);
    DiscardingChannel channel;
    CommsChannelDataContainerMessage message;
    message.setSourceChannel("client");
    std::size_t at = 0;
    for (auto _ : state) {
        const std::string& request = requests[at];
        at = at + 1 == requests.size() ? 0 : at + 1;
        message.setData(request.data(), static_cast<int>(request.size()));
        registry.handleMsg(nullptr, 0, std::string(), channel, &message);
    }
}

void BM_HandleMsgFind(benchmark::State& state) {
    handleCommands(state, "find:", ",client");
}
void BM_HandleMsgGetlist(benchmark::State& state) {
    handleCommands(state, "getlist:", ",client");
}
void BM_HandleMsgFindSvcId(benchmark::State& state) {
    handleCommands(state, "find_svc_id:", "");
}

// The registry behind its invoker, reached through a proxy: encode, invoke, decode, and back.
void BM_LoopbackRegisterDeregisterPair(benchmark::State& state) {
    ServiceRegistry& registry = registryOf(static_cast<int>(state.range(0)));
    LoopbackFramework framework;
    std::unique_ptr<Invoker> invoker(createServiceRegistryInvoker());
    invoker->initInvoker(&framework);
    framework.bind("registry", *invoker, registry);
    LoopbackProxyRequest request(framework, "registry");
    std::unique_ptr<Proxy> proxy(createServiceRegistryProxy());
    proxy->initProxy(request);
    auto& remote = dynamic_cast<ServiceRegistryIfc&>(*proxy);
    for (auto _ : state) {
        remote.registerSvcInterface("com.example.Extra", "extra_channel");
        remote.deregisterSvcInterfaces("com.example.Extra", "extra_channel");
    }
}

// What any remote call of the pair must do with the framework's codec, and nothing else: build
// the request Method, encode it, decode it, build the reply, encode it and decode it, twice.
void BM_CodecOfRegisterPair(benchmark::State& state) {
    BinaryProtocolAdapter adapter;
    const std::string ifc = "com.example.Extra", channel = "extra_channel";
    auto roundTrip = [&](const char* name) {
        Method request(name, Method::REQUEST);
        request.addStringParameter("ifc", ifc, Parameter::IN);
        request.addStringParameter("chanName", channel, Parameter::IN);
        Method received, reply(name, Method::REPLY), answer;
        {
            PooledStream encoded;
            adapter.encode(request, encoded.get());
            const std::string bytes = encoded.get().str();
            PooledStream decoding(bytes.data(), bytes.size());
            adapter.decode(decoding.get(), received);
        }
        reply.addBoolParameter("result", true, Parameter::OUT);
        PooledStream encoded;
        adapter.encode(reply, encoded.get());
        const std::string bytes = encoded.get().str();
        PooledStream decoding(bytes.data(), bytes.size());
        return adapter.decode(decoding.get(), answer);
    };
    for (auto _ : state) {
        benchmark::DoNotOptimize(roundTrip("registerSvcInterface"));
        benchmark::DoNotOptimize(roundTrip("deregisterSvcInterfaces"));
    }
}

// Worst inputs: one name registered `copies` times, each at a channel of its own, so that every
// operation on that name meets all of its entries.
const std::string kCrowdedName = "com.example.Crowded";

ServiceRegistry& crowdedRegistryOf(int copies) {
    static std::map<int, std::unique_ptr<ServiceRegistry>> built;
    std::unique_ptr<ServiceRegistry>& registry = built[copies];
    if (registry == nullptr) {
        registry = std::make_unique<ServiceRegistry>();
        for (int i = 0; i < copies; ++i) {
            registry->registerSvcInterface(kCrowdedName, channelName(i));
            registry->registerInvokerInfo("libIfc.so", "create" + std::to_string(i), kCrowdedName,
                                          "binary");
        }
    }
    return *registry;
}

// The name `copies` times, separated by single spaces.
std::string copiesOfCrowdedName(int copies) {
    std::string list = kCrowdedName;
    for (int i = 1; i < copies; ++i) list.append(1, ' ').append(kCrowdedName);
    return list;
}

// A list of n copies of the name, deregistered at a channel where none of its n entries is.
void BM_WorstDeregisterCopiesElsewhere(benchmark::State& state) {
    const int copies = static_cast<int>(state.range(0));
    ServiceRegistry& registry = crowdedRegistryOf(copies);
    const std::string list = copiesOfCrowdedName(copies);
    for (auto _ : state) registry.deregisterSvcInterfaces(list, "absent_channel");
}

// n copies of the name registered at one channel in one call, then deregistered again.
void BM_WorstRegisterDeregisterCopies(benchmark::State& state) {
    const int copies = static_cast<int>(state.range(0));
    ServiceRegistry& registry = crowdedRegistryOf(copies);
    const std::string list = copiesOfCrowdedName(copies);
    for (auto _ : state) {
        registry.registerSvcInterface(list, "extra_channel");
        registry.deregisterSvcInterfaces(list, "extra_channel");
    }
}

// A creator registered again for a key with n creators: the duplicate test meets all n.
void BM_WorstRegisterInvokerAgain(benchmark::State& state) {
    const int copies = static_cast<int>(state.range(0));
    ServiceRegistry& registry = crowdedRegistryOf(copies);
    const std::string lastCreator = "create" + std::to_string(copies - 1);
    for (auto _ : state)
        registry.registerInvokerInfo("libIfc.so", lastCreator, kCrowdedName, "binary");
}

// "getlist" of the name: all n channels are listed, joined and cut to one reply.
void BM_WorstHandleMsgGetlist(benchmark::State& state) {
    ServiceRegistry& registry = crowdedRegistryOf(static_cast<int>(state.range(0)));
    DiscardingChannel channel;
    CommsChannelDataContainerMessage message;
    const std::string request = "getlist:" + kCrowdedName + ",client";
    message.setData(request.data(), static_cast<int>(request.size()));
    for (auto _ : state) registry.handleMsg(nullptr, 0, std::string(), channel, &message);
}

// A subscription replays each distinct name once, however many entries it has.
void BM_WorstSubscribeReplay(benchmark::State& state) {
    ServiceRegistry& registry = crowdedRegistryOf(static_cast<int>(state.range(0)));
    struct Counting final : ServiceRegistryObserverIfc {
        void newServiceIfcRegistered(std::string) override { ++told; }
        long told = 0;
    } observer;
    for (auto _ : state) {
        registry.subscribeStartupEvents(&observer);
        registry.unsubscribeStartupEvents(&observer);
    }
    benchmark::DoNotOptimize(observer.told);
}

void worstSizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(1000)->Arg(40000)->Unit(benchmark::kMicrosecond);
}

void sizes(benchmark::internal::Benchmark* benchmark) {
    for (long size : kSizes) benchmark->Arg(size);
}

BENCHMARK(BM_BaselineMultimapFind)->Apply(sizes);
BENCHMARK(BM_FindSvcInterface)->Apply(sizes);
BENCHMARK(BM_FindSvcsForIfc)->Apply(sizes);
BENCHMARK(BM_GetSvcDetailsList)->Apply(sizes);
BENCHMARK(BM_FindInvoker)->Apply(sizes);
BENCHMARK(BM_RegisterDeregisterPair)->Apply(sizes);
BENCHMARK(BM_HandleMsgFind)->Apply(sizes);
BENCHMARK(BM_HandleMsgGetlist)->Apply(sizes);
BENCHMARK(BM_HandleMsgFindSvcId)->Apply(sizes);
BENCHMARK(BM_LoopbackRegisterDeregisterPair)->Apply(sizes);
BENCHMARK(BM_CodecOfRegisterPair);
BENCHMARK(BM_WorstDeregisterCopiesElsewhere)->Apply(worstSizes);
BENCHMARK(BM_WorstRegisterDeregisterCopies)->Apply(worstSizes);
BENCHMARK(BM_WorstRegisterInvokerAgain)->Apply(worstSizes);
BENCHMARK(BM_WorstHandleMsgGetlist)->Apply(worstSizes);
BENCHMARK(BM_WorstSubscribeReplay)->Apply(worstSizes);

// Each comparison at every table size: what, the benchmark, its baseline, the limit.
std::vector<Target> targets() {
    const struct {
        const char* what;
        const char* measured;
        const char* baseline;
        double limit;
    } comparisons[] = {
        {"findSvcInterface / bare multimap+mutex", "BM_FindSvcInterface", "BM_BaselineMultimapFind",
         1.3},
        {"handleMsg find / findSvcInterface", "BM_HandleMsgFind", "BM_FindSvcInterface", 3.0},
        {"loopback remote register pair / direct", "BM_LoopbackRegisterDeregisterPair",
         "BM_RegisterDeregisterPair", 5.0},
    };
    std::vector<Target> all;
    for (const auto& comparison : comparisons) {
        for (long size : kSizes) {
            const std::string n = "/" + std::to_string(size);
            all.push_back({std::string(comparison.what) + ", " + std::to_string(size) + " names",
                           {comparison.measured + n, ""},
                           {comparison.baseline + n, ""},
                           comparison.limit});
        }
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    setDefaultLogThreshold(0);
    return runWithTargets(argc, argv, targets());
}
