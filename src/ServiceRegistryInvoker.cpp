#include "ServiceRegistryInvoker.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "Executable.h"
#include "FrameworkContext.h"
#include "InvokerResponse.h"
#include "ListEncodings.h"
#include "LogCall.h"
#include "Method.h"
#include "PooledStream.h"
#include "ProtocolAdapter.h"
#include "Proxy.h"
#include "RegistryTextProtocol.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"

namespace {

constexpr char kModule[] = "ServiceRegistryInvoker";
constexpr char kSourceFile[] = "./src/ServiceRegistryInvoker.cpp";

#define INVOKER_TRACE(level, ...) LOG_TRACE(kModule, kSourceFile, level, __VA_ARGS__)
#define INVOKER_FAILURE(...) LOG_FAILURE(kModule, kSourceFile, __VA_ARGS__)

// What one catalogue handler works on.
struct Call {
    ServiceRegistryIfc& registry;
    const Method& request;
    Method& reply;
    InvokerResponse& response;
    FrameworkContext& context;
};

// Reads the named input strings in order and stops at the first that is absent.
bool readInputs(const Method& request,
                std::initializer_list<std::pair<const char*, std::string*>> inputs) {
    for (const auto& [name, value] : inputs) {
        if (!request.getStringParameter(name, *value, Parameter::IN)) return false;
    }
    return true;
}

void addResult(Method& reply, bool result) {
    reply.addBoolParameter("result", result, Parameter::OUT);
}

using ChannelOperation = bool (ServiceRegistryIfc::*)(const std::string&, const std::string&);
using CreatorOperation = bool (ServiceRegistryIfc::*)(const std::string&, const std::string&,
                                                      const std::string&, const std::string&);
using SubscriptionOperation = bool (ServiceRegistryIfc::*)(ServiceRegistryObserverIfc*);

// registerSvcInterface, deregisterSvcInterfaces: "ifc", "chanName" -> "result".
void answerChannelOperation(Call& call, ChannelOperation operation) {
    std::string ifc, chanName;
    bool result = false;
    if (readInputs(call.request, {{"ifc", &ifc}, {"chanName", &chanName}})) {
        result = (call.registry.*operation)(ifc, chanName);
    }
    addResult(call.reply, result);
}

// registerProxyInfo, registerInvokerInfo: "lib", "creatorFn", "ifc", "protocol" -> "result".
void answerCreatorOperation(Call& call, CreatorOperation operation) {
    std::string lib, creatorFn, ifc, protocol;
    bool result = false;
    if (readInputs(
            call.request,
            {{"lib", &lib}, {"creatorFn", &creatorFn}, {"ifc", &ifc}, {"protocol", &protocol}})) {
        result = (call.registry.*operation)(lib, creatorFn, ifc, protocol);
    }
    addResult(call.reply, result);
}

void answerFindSvcsForIfc(Call& call) {
    std::string ifc;
    std::string channels;
    if (readInputs(call.request, {{"ifc", &ifc}})) {
        channels = encodeChannelList(call.registry.findSvcsForIfc(ifc));
    }
    call.reply.addStringParameter("channels", channels, Parameter::OUT);
}

void answerFindSvcInterface(Call& call) {
    std::string ifc, channel;
    bool result = false;
    if (readInputs(call.request, {{"ifc", &ifc}})) {
        result = call.registry.findSvcInterface(ifc, channel);
    }
    call.reply.addStringParameter("channel", channel, Parameter::OUT);
    addResult(call.reply, result);
}

void addCreator(Method& reply, bool result, const std::string& library,
                const std::string& creatorFn) {
    addResult(reply, result);
    reply.addStringParameter("library", library, Parameter::OUT);
    reply.addStringParameter("creatorFn", creatorFn, Parameter::OUT);
}

void answerFindInvoker(Call& call) {
    std::string ifc, protocol, library, creatorFn;
    bool result = false;
    if (readInputs(call.request, {{"ifc", &ifc}, {"protocol", &protocol}})) {
        result = call.registry.findInvoker(ifc, protocol, library, creatorFn);
    }
    addCreator(call.reply, result, library, creatorFn);
}

void answerFindProxy(Call& call) {
    std::string ifc, library, creatorFn;
    bool result = false;
    if (readInputs(call.request, {{"ifc", &ifc}})) {
        result = call.registry.findProxy(ifc, library, creatorFn);
    }
    addCreator(call.reply, result, library, creatorFn);
}

void answerGetSvcDetailsList(Call& call) {
    std::string details;
    RegistryText::appendDetailsList(details, call.registry.getSvcDetailsList());
    call.reply.addStringParameter("svcDetailsList", details, Parameter::OUT);
}

// The requester is reached through the observer proxy that the framework keeps for its callback
// channel, which arrives as the request's remote context. The framework gives the same proxy for
// the same channel each time, so an unsubscription removes what the subscription added.
void answerSubscription(Call& call, SubscriptionOperation operation) {
    const std::string remoteContext = call.response.getRemoteContext();
    Proxy* proxy = call.context.getProxy("ServiceRegistryObserverIfc", remoteContext);
    auto* observer = dynamic_cast<ServiceRegistryObserverIfc*>(proxy);
    addResult(call.reply, observer != nullptr && (call.registry.*operation)(observer));
}

struct CatalogueEntry {
    const char* name;
    void (*answer)(Call& call);
};

// In the order in which names are compared.
const CatalogueEntry kCatalogue[] = {
    {"registerSvcInterface",
     [](Call& c) { answerChannelOperation(c, &ServiceRegistryIfc::registerSvcInterface); }},
    {"registerProxyInfo",
     [](Call& c) { answerCreatorOperation(c, &ServiceRegistryIfc::registerProxyInfo); }},
    {"registerInvokerInfo",
     [](Call& c) { answerCreatorOperation(c, &ServiceRegistryIfc::registerInvokerInfo); }},
    {"findSvcsForIfc", answerFindSvcsForIfc},
    {"findSvcInterface", answerFindSvcInterface},
    {"findInvoker", answerFindInvoker},
    {"findProxy", answerFindProxy},
    {"getSvcDetailsList", answerGetSvcDetailsList},
    {"subscribeStartupEvents",
     [](Call& c) { answerSubscription(c, &ServiceRegistryIfc::subscribeStartupEvents); }},
    {"unsubscribeStartupEvents",
     [](Call& c) { answerSubscription(c, &ServiceRegistryIfc::unsubscribeStartupEvents); }},
    {"deregisterSvcInterfaces",
     [](Call& c) { answerChannelOperation(c, &ServiceRegistryIfc::deregisterSvcInterfaces); }},
};

const CatalogueEntry* findInCatalogue(const std::string& name) {
    for (const CatalogueEntry& entry : kCatalogue) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

}  // namespace

ServiceRegistryInvoker::ServiceRegistryInvoker() : frameworkContext(nullptr) {}

ServiceRegistryInvoker::~ServiceRegistryInvoker() = default;

void ServiceRegistryInvoker::initInvoker(FrameworkContext* context) {
    INVOKER_TRACE(4, "ServiceRegistryInvoker initialised");
    frameworkContext = context;
}

void ServiceRegistryInvoker::handleMessage(Executable* executable, const char* data, int length,
                                           InvokerResponse* response) {
    const std::unique_ptr<InvokerResponse> owned(response);
    if (response == nullptr) return;
    auto* registry = dynamic_cast<ServiceRegistryIfc*>(executable);
    if (registry == nullptr) {
        INVOKER_FAILURE("Could not cast executable to ServiceRegistryIfc.");
        return;
    }
    const std::string protocol = response->getProtocol();
    ProtocolAdapter* adapter =
        frameworkContext != nullptr ? frameworkContext->getProtocolAdapter(protocol) : nullptr;
    if (adapter == nullptr) return;

    PooledStream received(data, data != nullptr && length > 0 ? length : 0);
    Method request;
    if (!adapter->decode(received.get(), request)) return;
    INVOKER_TRACE(5, "handleMessage called: %s", received.get().str().c_str());

    Method reply(request.getName(), Method::REPLY);
    const CatalogueEntry* entry = findInCatalogue(request.getName());
    if (entry == nullptr) {
        INVOKER_FAILURE("Invalid Message, %s", received.get().str().c_str());
        return;
    }
    Call call{*registry, request, reply, *response, *frameworkContext};
    entry->answer(call);

    PooledStream encoded;
    adapter->encode(reply, encoded.get());
    const std::string bytes = encoded.get().str();
    response->sendReply(bytes.data(), static_cast<int>(bytes.size()));
}

Invoker* createServiceRegistryInvoker() {
    return new ServiceRegistryInvoker();
}
