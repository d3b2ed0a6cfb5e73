#include "ServiceRegistry.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <string_view>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "ListEncodings.h"
#include "LogCall.h"
#include "RegistryTextProtocol.h"

namespace {

constexpr char kModule[] = "ServiceRegistry";
constexpr char kSourceFile[] = "./src/ServiceRegistry.cpp";

#define REGISTRY_TRACE(level, ...) LOG_TRACE(kModule, kSourceFile, level, __VA_ARGS__)
#define REGISTRY_FAILURE(...) LOG_FAILURE(kModule, kSourceFile, __VA_ARGS__)

// Holds a semaphore from take(WAIT_FOREVER) to give(), which release() calls at the point the
// operation requires; should an exception leave the scope first, the destructor gives it back.
class TS_SCOPED_CAPABILITY TakenSemaphore {
public:
    explicit TakenSemaphore(Semaphore& semaphore) TS_ACQUIRE(semaphore) : held(&semaphore) {
        semaphore.take(Semaphore::WAIT_FOREVER);
    }
    ~TakenSemaphore() TS_RELEASE() { release(); }
    TakenSemaphore(const TakenSemaphore&) = delete;
    TakenSemaphore& operator=(const TakenSemaphore&) = delete;

    void release() TS_RELEASE() {
        if (held == nullptr) return;
        held->give();
        held = nullptr;
    }

private:
    Semaphore* held;  // null once given back
};

// The earliest entry of key still present, or end(). (multimap::find may return any of them.)
template <typename Table>
typename Table::const_iterator findFirst(const Table& table, const std::string& key) {
    auto candidate = table.lower_bound(key);
    return candidate != table.end() && candidate->first == key ? candidate : table.end();
}

// One creator entry, made outside the lock so that the lock covers only the search and the
// linking; an entry that is refused is freed by the caller after the lock is given back.
ServiceRegistry::CreatorTable::node_type makeCreatorEntry(std::string key, const std::string& lib,
                                                          const std::string& creatorFn) {
    ServiceRegistry::CreatorTable staging;
    return staging.extract(staging.emplace(std::move(key), CreatorFunctionDetails{lib, creatorFn}));
}

// Links entry behind the entries of its key unless one of them names the same library and
// creator; entry stays filled when refused.
void linkCreatorUnlessPresent(ServiceRegistry::CreatorTable& table,
                              ServiceRegistry::CreatorTable::node_type& entry) {
    auto [first, last] = table.equal_range(entry.key());
    const CreatorFunctionDetails& offered = entry.mapped();
    bool present = std::any_of(first, last, [&](const auto& existing) {
        return existing.second.lib == offered.lib && existing.second.creatorFn == offered.creatorFn;
    });
    if (!present) table.insert(last, std::move(entry));
}

std::string invokerKey(const std::string& ifc, const std::string& protocol) {
    std::string key;
    key.reserve(ifc.size() + 1 + protocol.size());
    return key.append(ifc).append(1, ',').append(protocol);
}

// Replies are formatted into a buffer of this many bytes: longer texts are cut after their
// 99th character.
constexpr int kReplyBufferSize = RegistryText::kLongestReply + 1;

// Formats a reply into buffer and returns the length of the text it holds.
__attribute__((format(printf, 2, 3))) int formatReply(char (&buffer)[kReplyBufferSize],
                                                      const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int wanted = std::vsnprintf(buffer, kReplyBufferSize, format, arguments);
    va_end(arguments);
    return std::clamp(wanted, 0, kReplyBufferSize - 1);
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
    const std::vector<std::string> names = RegistryText::splitAt(ifc, ' ');

    // Entries are allocated before the lock is taken; under it they are only numbered and linked.
    ServiceTable staging;
    for (const std::string& name : names) staging.emplace(name, ServiceDetails{channelName, 0});

    TakenSemaphore taken(svcInterfacesLock);
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
    taken.release();
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
    // A name removed once at a channel has no entry there left to remove, so each distinct name
    // is handled once: n copies of a name cost one walk of its entries under the lock, not n.
    std::vector<std::string> names = RegistryText::splitAt(ifc, ' ');
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());

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
    TakenSemaphore subscribing(subscribersLock);
    startupSubscribers.push_back(observer);
    subscribing.release();

    // Subscribing before replaying means a registration running meanwhile is never missed:
    // either the replay finds its names or its notification already includes this observer.
    TakenSemaphore replaying(svcInterfacesLock);
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
    replaying.release();
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
    TakenSemaphore taken(subscribersLock);
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
    taken.release();

    // Outside the lock: observers may call back into the registry.
    for (ServiceRegistryObserverIfc* subscriber : snapshot) {
        subscriber->newServiceIfcRegistered(ifc);
    }
}

bool ServiceRegistry::registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                                        const std::string& ifc, const std::string& protocol) {
    auto entry = makeCreatorEntry(ifc, lib, creatorFn);
    TakenSemaphore taken(proxyCreatorsLock);
    linkCreatorUnlessPresent(proxyCreators, entry);
    taken.release();
    REGISTRY_TRACE(4, "Registering proxy info. Lib: '%s' Creator: '%s' Ifc: '%s' Protocol: '%s'",
                   lib.c_str(), creatorFn.c_str(), ifc.c_str(), protocol.c_str());
    return true;
}

bool ServiceRegistry::registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                                          const std::string& ifc, const std::string& protocol) {
    auto entry = makeCreatorEntry(invokerKey(ifc, protocol), lib, creatorFn);
    TakenSemaphore taken(invokerCreatorsLock);
    linkCreatorUnlessPresent(invokerCreators, entry);
    taken.release();
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

void ServiceRegistry::handleMsg(const char*, int, std::string, CommsChannelIfc& channel,
                                CommsChannelDataContainerMessage* message) {
    if (message == nullptr) return;
    std::string sourceChannel = message->sourceChannel();
    std::string remoteContext = message->remoteContext();
    const long requestId = message->requestId();
    int length = message->getDataLength();
    const char* data = message->getData(&length);
    const std::string_view text =
        data != nullptr && length > 0 ? std::string_view(data, length) : std::string_view();

    std::vector<std::string> fields;
    if (!RegistryText::splitRequest(text, fields)) return;

    const std::string& command = fields[0];
    if (command == RegistryText::kRegister) {
        handleRegistrationMessage(fields[1], fields[2]);
    } else if (command == RegistryText::kDeregister) {
        handleDeregistrationMessage(fields[1], fields[2]);
    } else if (command == RegistryText::kFind) {
        handleFindMessage(fields[1], fields[2], requestId, channel);
    } else if (command == RegistryText::kFindServiceId) {
        handleFindServiceIdMessage(fields[1], sourceChannel, remoteContext, requestId, channel);
    } else if (command == RegistryText::kGetList) {
        handleGetListMessage(fields[1], fields[2], channel);
    } else if (command == RegistryText::kGetDetailsList) {
        handleGetServiceDetsListMessage(sourceChannel, remoteContext, requestId, channel);
    } else if (command == RegistryText::kRegisterInvoker) {
        handleRegisterInvokerMessage(fields[1], fields[2], fields[3], fields[4]);
    } else if (command == RegistryText::kFindInvoker) {
        handleFindInvokerMessage(fields[1], fields[2], sourceChannel, requestId, channel);
    } else if (command == RegistryText::kRegisterProxy) {
        handleRegisterProxyMessage(fields[1], fields[2], fields[3], fields[4]);
    } else if (command == RegistryText::kFindProxy) {
        handleFindProxyMessage(fields[1], sourceChannel, requestId, channel);
    }
}

bool ServiceRegistry::handleRegistrationMessage(std::string& ifc, std::string& channelName) {
    return registerSvcInterface(ifc, channelName);
}

bool ServiceRegistry::handleDeregistrationMessage(std::string& ifc, std::string& channelName) {
    return deregisterSvcInterfaces(ifc, channelName);
}

void ServiceRegistry::handleFindMessage(std::string& ifc, std::string& replyChannel, long requestId,
                                        CommsChannelIfc& channel) {
    if (replyChannel.empty()) return;
    std::string found;
    char text[kReplyBufferSize];
    const int length = findSvcInterface(ifc, found)
                           ? formatReply(text, "%s%s", RegistryText::kFound, found.c_str())
                           : formatReply(text, "%s%s", RegistryText::kNotFound, ifc.c_str());
    RegistryText::sendContainerReply(channel, replyChannel, text, length, requestId);
}

void ServiceRegistry::handleFindServiceIdMessage(std::string& ifc, std::string& sourceChannel,
                                                 std::string& remoteContext, long requestId,
                                                 CommsChannelIfc& channel) {
    REGISTRY_TRACE(5, "Finding ID for service interface...'%s'", ifc.c_str());
    if (ifc.empty() || sourceChannel.empty()) return;

    char text[kReplyBufferSize];
    int length;
    TakenSemaphore taken(svcInterfacesLock);
    auto entry = findFirst(svcInterfaces, ifc);
    if (entry != svcInterfaces.end()) {
        const int32_t svcId = entry->second.svcId;
        length = formatReply(text, "%s%d", RegistryText::kFoundServiceId, svcId);
        REGISTRY_TRACE(5, "Service ifc '%s' found, ID equal to '%d'", ifc.c_str(), svcId);
    } else {
        length = formatReply(text, "%s%s", RegistryText::kServiceIdNotFound, ifc.c_str());
        REGISTRY_FAILURE("Service interface '%s' not found\n", ifc.c_str());
    }
    taken.release();

    RegistryText::sendContainerReply(channel, sourceChannel, text, length, requestId,
                                     &remoteContext);
}

void ServiceRegistry::handleGetListMessage(std::string& ifc, std::string& replyChannel,
                                           CommsChannelIfc& channel) {
    if (replyChannel.empty()) return;
    const std::string joined = encodeChannelList(findSvcsForIfc(ifc));
    char text[kReplyBufferSize];
    const int length = formatReply(text, "%s%s", RegistryText::kList, joined.c_str());
    channel.sendData(replyChannel, text, length);
}

void ServiceRegistry::handleGetServiceDetsListMessage(std::string& sourceChannel,
                                                      std::string& remoteContext, long requestId,
                                                      CommsChannelIfc& channel) {
    if (sourceChannel.empty()) return;
    std::string text = RegistryText::kDetailsList;
    RegistryText::appendDetailsList(text, getSvcDetailsList());
    RegistryText::sendContainerReply(channel, sourceChannel, text.data(),
                                     static_cast<int>(text.size()), requestId, &remoteContext);
}

bool ServiceRegistry::handleRegisterInvokerMessage(std::string& lib, std::string& creatorFn,
                                                   std::string& ifc, std::string& protocol) {
    return registerInvokerInfo(lib, creatorFn, ifc, protocol);
}

void ServiceRegistry::handleFindInvokerMessage(std::string& ifc, std::string& protocol,
                                               std::string& sourceChannel, long requestId,
                                               CommsChannelIfc& channel) {
    std::string lib;
    std::string creatorFn;
    char text[kReplyBufferSize];
    const int length = findInvoker(ifc, protocol, lib, creatorFn)
                           ? formatReply(text, "%s%s,%s", RegistryText::kFoundInvoker, lib.c_str(),
                                         creatorFn.c_str())
                           : formatReply(text, "%s%s", RegistryText::kNotFound, ifc.c_str());
    RegistryText::sendContainerReply(channel, sourceChannel, text, length, requestId);
}

bool ServiceRegistry::handleRegisterProxyMessage(std::string& lib, std::string& creatorFn,
                                                 std::string& ifc, std::string& protocol) {
    return registerProxyInfo(lib, creatorFn, ifc, protocol);
}

void ServiceRegistry::handleFindProxyMessage(std::string& ifc, std::string& sourceChannel,
                                             long requestId, CommsChannelIfc& channel) {
    std::string lib;
    std::string creatorFn;
    char text[kReplyBufferSize];
    const int length = findProxy(ifc, lib, creatorFn)
                           ? formatReply(text, "%s%s,%s", RegistryText::kFoundProxy, lib.c_str(),
                                         creatorFn.c_str())
                           : formatReply(text, "%s%s", RegistryText::kNotFound, ifc.c_str());
    RegistryText::sendContainerReply(channel, sourceChannel, text, length, requestId);
}

Service* createServiceRegistry() {
    return new ServiceRegistry();
}
