#include "ServiceRegistry.h"

#include <algorithm>
#include <limits>

#include "LogCall.h"

namespace {

constexpr char kModule[] = "ServiceRegistry";
constexpr char kSourceFile[] = "./src/ServiceRegistry.cpp";

#define REGISTRY_TRACE(level, ...) LOG_TRACE(kModule, kSourceFile, level, __VA_ARGS__)
#define REGISTRY_FAILURE(...) LOG_FAILURE(kModule, kSourceFile, __VA_ARGS__)

// The pieces between separators, empty ones included: "a  b" gives "a", "", "b".
std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t found; (found = text.find(separator, start)) != std::string::npos;
         start = found + 1) {
        pieces.emplace_back(text, start, found - start);
    }
    pieces.emplace_back(text, start, std::string::npos);
    return pieces;
}

// The earliest entry of key still present, or end(). (multimap::find may return any of them.)
template <typename Table>
typename Table::const_iterator findFirst(const Table& table, const std::string& key) {
    auto candidate = table.lower_bound(key);
    return candidate != table.end() && candidate->first == key ? candidate : table.end();
}

// Adds (key, lib, creatorFn) behind the entries of that key unless one of them names the same
// library and creator. The entry is allocated before the lock is taken and, when refused, freed
// after it is given back: the lock covers only the search and the linking.
void insertCreatorUnlessPresent(ServiceRegistry::CreatorTable& table, Semaphore& lock,
                                std::string key, const std::string& lib,
                                const std::string& creatorFn) {
    ServiceRegistry::CreatorTable staging;
    auto entry =
        staging.extract(staging.emplace(std::move(key), CreatorFunctionDetails{lib, creatorFn}));
    lock.take(Semaphore::WAIT_FOREVER);
    auto [first, last] = table.equal_range(entry.key());
    bool present = std::any_of(first, last, [&](const auto& existing) {
        return existing.second.lib == lib && existing.second.creatorFn == creatorFn;
    });
    if (!present) table.insert(last, std::move(entry));
    lock.give();
}

std::string invokerKey(const std::string& ifc, const std::string& protocol) {
    std::string key;
    key.reserve(ifc.size() + 1 + protocol.size());
    return key.append(ifc).append(1, ',').append(protocol);
}

}  // namespace

ServiceRegistry::ServiceRegistry()
    : context(nullptr),
      nextSvcId(1),
      svcInterfacesLock(1, 1, false),
      invokerCreatorsLock(1, 1, false),
      proxyCreatorsLock(1, 1, false),
      subscribersLock(1, 1, false) {}

ServiceRegistry::~ServiceRegistry() = default;

void ServiceRegistry::init(Context& frameworkContext) {
    context = &frameworkContext;
    REGISTRY_TRACE(4, "Service Registry Initialised");
}

void ServiceRegistry::shutdown() {}

void ServiceRegistry::run() {}

bool ServiceRegistry::registerSvcInterface(const std::string& ifc, const std::string& channelName) {
    if (ifc.empty() || channelName.empty()) return false;
    const std::vector<std::string> names = splitAt(ifc, ' ');

    // Entries are allocated before the lock is taken; under it they are only numbered and linked.
    ServiceTable staging;
    for (const std::string& name : names) staging.emplace(name, ServiceDetails{channelName, 0});

    svcInterfacesLock.take(Semaphore::WAIT_FOREVER);
    // Ids are never reused or wrapped: once the counter is spent, registrations are refused.
    const bool idLeft = nextSvcId < std::numeric_limits<int32_t>::max();
    if (idLeft) {
        while (!staging.empty()) {
            auto entry = staging.extract(staging.begin());
            entry.mapped().svcId = nextSvcId;
            svcInterfaces.insert(std::move(entry));
        }
        ++nextSvcId;
    }
    svcInterfacesLock.give();
    if (!idLeft) {
        REGISTRY_FAILURE("No service id left: interface '%s' at channel '%s' not registered",
                         ifc.c_str(), channelName.c_str());
        return false;
    }

    for (const std::string& name : names) notifyNewInterfaceRegistered(name);
    REGISTRY_TRACE(4, "Registered interface '%s' at channel '%s'", ifc.c_str(),
                   channelName.c_str());
    return true;
}

bool ServiceRegistry::deregisterSvcInterfaces(const std::string& ifc,
                                              const std::string& channelName) {
    const std::vector<std::string> names = splitAt(ifc, ' ');
    CriticalSection hold(svcInterfacesLock);
    for (const std::string& name : names) {
        auto [entry, last] = svcInterfaces.equal_range(name);
        while (entry != last) {
            entry = entry->second.channelName == channelName ? svcInterfaces.erase(entry)
                                                             : std::next(entry);
        }
    }
    REGISTRY_TRACE(4, "Deregistered interface '%s' at channel '%s'", ifc.c_str(),
                   channelName.c_str());
    return true;
}

bool ServiceRegistry::findSvcInterface(const std::string& ifc, std::string& channelName) {
    REGISTRY_TRACE(5, "Finding channel for service interface '%s'", ifc.c_str());
    if (ifc.empty()) return false;

    CriticalSection hold(svcInterfacesLock);
    auto entry = findFirst(svcInterfaces, ifc);
    if (entry == svcInterfaces.end()) {
        channelName.clear();
        REGISTRY_TRACE(3, "Service interface '%s' not found", ifc.c_str());
        return false;
    }
    channelName = entry->second.channelName;
    REGISTRY_TRACE(5, "Service interface '%s' found at channel '%s'", ifc.c_str(),
                   channelName.c_str());
    return true;
}

std::vector<std::string> ServiceRegistry::findSvcsForIfc(const std::string& ifc) {
    std::vector<std::string> channels;
    if (ifc.empty()) return channels;

    CriticalSection hold(svcInterfacesLock);
    auto [entry, last] = svcInterfaces.equal_range(ifc);
    for (; entry != last; ++entry) channels.push_back(entry->second.channelName);
    return channels;
}

std::vector<SvcDetails> ServiceRegistry::getSvcDetailsList() {
    std::vector<SvcDetails> details;
    CriticalSection hold(svcInterfacesLock);
    details.reserve(svcInterfaces.size());
    for (const auto& [ifc, service] : svcInterfaces) {
        details.push_back(SvcDetails{ifc, std::to_string(service.svcId), service.channelName});
    }
    return details;
}

bool ServiceRegistry::subscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    subscribersLock.take(Semaphore::WAIT_FOREVER);
    startupSubscribers.push_back(observer);
    subscribersLock.give();

    // Subscribing before replaying means a registration running meanwhile is never missed:
    // either the replay finds its names or its notification already includes this observer.
    svcInterfacesLock.take(Semaphore::WAIT_FOREVER);
    if (observer != nullptr) {
        // Equal names are adjacent, so each distinct name is reported once. Starting from the
        // empty name means an entry with the empty name is never replayed.
        const std::string noName;
        const std::string* lastReported = &noName;
        for (const auto& entry : svcInterfaces) {
            if (entry.first == *lastReported) continue;
            lastReported = &entry.first;
            observer->newServiceIfcRegistered(entry.first);
        }
    }
    svcInterfacesLock.give();
    return true;
}

bool ServiceRegistry::unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    CriticalSection hold(subscribersLock);
    auto found = std::find(startupSubscribers.begin(), startupSubscribers.end(), observer);
    if (found != startupSubscribers.end()) startupSubscribers.erase(found);
    return true;
}

void ServiceRegistry::notifyNewInterfaceRegistered(const std::string& ifc) {
    std::vector<ServiceRegistryObserverIfc*> snapshot;
    subscribersLock.take(Semaphore::WAIT_FOREVER);
    snapshot.reserve(startupSubscribers.size());
    for (ServiceRegistryObserverIfc* subscriber : startupSubscribers) {
        if (subscriber != nullptr) {
            snapshot.push_back(subscriber);
        } else {
            REGISTRY_FAILURE(
                "ServiceRegistry::notifyNewInterfaceRegistered( '%s' ) NULL subscriber found",
                ifc.c_str());
        }
    }
    subscribersLock.give();

    // Outside the lock: observers may call back into the registry.
    for (ServiceRegistryObserverIfc* subscriber : snapshot) {
        subscriber->newServiceIfcRegistered(ifc);
    }
}

bool ServiceRegistry::registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                                        const std::string& ifc, const std::string& protocol) {
    insertCreatorUnlessPresent(proxyCreators, proxyCreatorsLock, ifc, lib, creatorFn);
    REGISTRY_TRACE(4, "Registering proxy info. Lib: '%s' Creator: '%s' Ifc: '%s' Protocol: '%s'",
                   lib.c_str(), creatorFn.c_str(), ifc.c_str(), protocol.c_str());
    return true;
}

bool ServiceRegistry::registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                                          const std::string& ifc, const std::string& protocol) {
    insertCreatorUnlessPresent(invokerCreators, invokerCreatorsLock, invokerKey(ifc, protocol), lib,
                               creatorFn);
    REGISTRY_TRACE(4, "Registering invoker info. Lib: '%s' Creator: '%s' Ifc: '%s' Protocol: '%s'",
                   lib.c_str(), creatorFn.c_str(), ifc.c_str(), protocol.c_str());
    return true;
}

bool ServiceRegistry::findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) {
    CriticalSection hold(proxyCreatorsLock);
    auto entry = findFirst(proxyCreators, ifc);
    if (entry == proxyCreators.end()) return false;
    lib = entry->second.lib;
    creatorFn = entry->second.creatorFn;
    REGISTRY_TRACE(5, "Service Proxy for ifc '%s' found - '%s, %s'\n", ifc.c_str(), lib.c_str(),
                   creatorFn.c_str());
    return true;
}

bool ServiceRegistry::findInvoker(const std::string& ifc, const std::string& protocol,
                                  std::string& lib, std::string& creatorFn) {
    CriticalSection hold(invokerCreatorsLock);
    auto entry = findFirst(invokerCreators, invokerKey(ifc, protocol));
    if (entry == invokerCreators.end()) {
        REGISTRY_FAILURE("Invoker for ifc/prot '%s/%s' NOT found", ifc.c_str(), protocol.c_str());
        return false;
    }
    lib = entry->second.lib;
    creatorFn = entry->second.creatorFn;
    REGISTRY_TRACE(5, "Invoker for ifc/prot '%s/%s' found - '%s, %s'", ifc.c_str(),
                   protocol.c_str(), lib.c_str(), creatorFn.c_str());
    return true;
}

Service* createServiceRegistry() {
    return new ServiceRegistry();
}
