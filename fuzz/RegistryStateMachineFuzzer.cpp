// Drives a registry through an arbitrary sequence of its operations, read from the input one
// byte at a time, and compares it after every step with RegistryModel: the same results, the
// same details list (so ids are consecutive and never reused), every entry found until it is
// deregistered, and every observer told exactly the names the model says, in order.
//
// Names come from small sets so that equal names, shared channels, empty pieces and the
// comma-joined invoker keys meet often.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RecordingObserver.h"
#include "RegistryModel.h"
#include "ServiceRegistry.h"

namespace {

const std::vector<std::string> kPieces = {"", "A", "B", "b", "C"};
const std::vector<std::string> kLookups = {"", "A", "B", "b", "C", "A B"};
const std::vector<std::string> kChannels = {"", "c1", "c2"};
const std::vector<std::string> kLibs = {"L1", "L2"};
const std::vector<std::string> kCreatorInterfaces = {"", "a", "a,b"};
const std::vector<std::string> kProtocols = {"", "p", "b,c"};
constexpr int kObservers = 3;

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "registry and model disagree: %s\n", what);
    std::abort();
}

// Reads choices off the input; zeros once it runs out.
class Choices {
public:
    Choices(const uint8_t* data, size_t size) : at(data), end(data + size) {}
    bool done() const { return at == end; }
    unsigned byte() { return at == end ? 0 : *at++; }
    const std::string& from(const std::vector<std::string>& options) {
        return options[byte() % options.size()];
    }
    // One to three pieces joined by single spaces.
    std::string list() {
        std::string joined = from(kPieces);
        for (unsigned more = byte() % 3; more > 0; --more) joined += " " + from(kPieces);
        return joined;
    }

private:
    const uint8_t* at;
    const uint8_t* end;
};

struct Harness {
    ServiceRegistry registry;
    RegistryModel model{kObservers};
    RecordingObserver observers[kObservers];

    ServiceRegistryObserverIfc* observer(int number) {
        return number == RegistryModel::kNullObserver ? nullptr : &observers[number];
    }

    void step(Choices& in) {
        switch (in.byte() % 9) {
            case 0: {
                const std::string ifc = in.list(), channel = in.from(kChannels);
                require(registry.registerSvcInterface(ifc, channel) ==
                            model.registerSvcInterface(ifc, channel),
                        "registerSvcInterface result");
                break;
            }
            case 1: {
                const std::string ifc = in.list(), channel = in.from(kChannels);
                require(registry.deregisterSvcInterfaces(ifc, channel), "deregister result");
                model.deregisterSvcInterfaces(ifc, channel);
                break;
            }
            case 2:
            case 3: {
                const int number = static_cast<int>(in.byte() % (kObservers + 1)) - 1;
                if (in.byte() % 2 == 0) {
                    require(registry.subscribeStartupEvents(observer(number)), "subscribe result");
                    model.subscribe(number);
                } else {
                    require(registry.unsubscribeStartupEvents(observer(number)),
                            "unsubscribe result");
                    model.unsubscribe(number);
                }
                break;
            }
            case 4:
            case 5:
                registerCreator(in);
                break;
            default:
                break;  // a step that only checks
        }
    }

    void registerCreator(Choices& in) {
        const bool invoker = in.byte() % 2 == 1;
        const CreatorFunctionDetails made{in.from(kLibs), "F" + in.from(kLibs)};
        const std::string ifc = in.from(kCreatorInterfaces), protocol = in.from(kProtocols);
        if (invoker) {
            require(registry.registerInvokerInfo(made.lib, made.creatorFn, ifc, protocol),
                    "registerInvokerInfo result");
            model.registerCreator(RegistryModel::Invokers, ifc + "," + protocol, made);
        } else {
            require(registry.registerProxyInfo(made.lib, made.creatorFn, ifc, protocol),
                    "registerProxyInfo result");
            model.registerCreator(RegistryModel::Proxies, ifc, made);
        }
    }

    void checkServiceTable() {
        const std::vector<SvcDetails> actual = registry.getSvcDetailsList();
        const std::vector<SvcDetails> expected = model.getSvcDetailsList();
        require(actual.size() == expected.size(), "details list length");
        for (size_t i = 0; i < actual.size(); ++i) {
            require(actual[i].ifc == expected[i].ifc && actual[i].svcId == expected[i].svcId &&
                        actual[i].channelName == expected[i].channelName,
                    "details list entry");
        }
        for (const std::string& name : kLookups) {
            std::string channel = "untouched", modelChannel;
            const bool found = registry.findSvcInterface(name, channel);
            require(found == model.findSvcInterface(name, modelChannel), "find result");
            const std::string expectedChannel =
                found ? modelChannel : (name.empty() ? "untouched" : "");
            require(channel == expectedChannel, "found channel");
            require(registry.findSvcsForIfc(name) == model.findSvcsForIfc(name),
                    "findSvcsForIfc list");
        }
    }

    void checkCreators() {
        for (const std::string& ifc : kCreatorInterfaces) {
            CreatorFunctionDetails expected;
            std::string lib = "untouched", creatorFn = "untouched";
            bool modelFound = model.findCreator(RegistryModel::Proxies, ifc, expected);
            require(registry.findProxy(ifc, lib, creatorFn) == modelFound, "findProxy result");
            require(modelFound ? lib == expected.lib && creatorFn == expected.creatorFn
                               : lib == "untouched" && creatorFn == "untouched",
                    "findProxy creator");
            for (const std::string& protocol : kProtocols) {
                lib = creatorFn = "untouched";
                modelFound =
                    model.findCreator(RegistryModel::Invokers, ifc + "," + protocol, expected);
                require(registry.findInvoker(ifc, protocol, lib, creatorFn) == modelFound,
                        "findInvoker result");
                require(modelFound ? lib == expected.lib && creatorFn == expected.creatorFn
                                   : lib == "untouched" && creatorFn == "untouched",
                        "findInvoker creator");
            }
        }
    }

    void checkObservers() {
        for (int number = 0; number < kObservers; ++number) {
            require(observers[number].names() == model.told(number), "names told to an observer");
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool loggingReady = (logEverythingQuietly(), true);
    (void)loggingReady;
    Harness harness;
    Choices in(data, size);
    while (!in.done()) {
        harness.step(in);
        harness.checkServiceTable();
        harness.checkCreators();
        harness.checkObservers();
    }
    return 0;
}
