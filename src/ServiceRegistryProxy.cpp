#include "ServiceRegistryProxy.h"

#include <initializer_list>
#include <utility>

#include "LogCall.h"
#include "Method.h"
#include "ProxyRequest.h"
#include "ServiceRegistryObserverIfc.h"

namespace {

constexpr char kModule[] = "ServiceRegistryProxy";
constexpr char kSourceFile[] = "./src/ServiceRegistryProxy.cpp";

#define PROXY_TRACE(level, ...) LOG_TRACE(kModule, kSourceFile, level, __VA_ARGS__)
#define PROXY_FAILURE(...) LOG_FAILURE(kModule, kSourceFile, __VA_ARGS__)

const std::string kNoCallbackChannel;

// A request with its string inputs added in the order given.
Method requestWith(const std::string& name,
                   std::initializer_list<std::pair<const char*, const std::string*>> inputs) {
    Method request(name, Method::REQUEST);
    for (const auto& [parameter, value] : inputs) {
        request.addStringParameter(parameter, *value, Parameter::IN);
    }
    return request;
}

}  // namespace

// Constructed in this order when the library is loaded.
std::string ServiceRegistryProxy::sSubscribeStartupEventsMethodName = "subscribeStartupEvents";
std::string ServiceRegistryProxy::sUnsubscribeStartupEventsMethodName = "unsubscribeStartupEvents";
std::string ServiceRegistryProxy::sRegisterSvcInterfaceMethodName = "registerSvcInterface";
std::string ServiceRegistryProxy::sDeregisterSvcInterfacesMethodName = "deregisterSvcInterfaces";
std::string ServiceRegistryProxy::sRegisterProxyInfoMethodName = "registerProxyInfo";
std::string ServiceRegistryProxy::sRegisterInvokerInfoMethodName = "registerInvokerInfo";

ServiceRegistryProxy::ServiceRegistryProxy() : proxyRequest(nullptr) {}

ServiceRegistryProxy::~ServiceRegistryProxy() = default;

void ServiceRegistryProxy::initProxy(ProxyRequest& request) {
    proxyRequest = &request;
}

bool ServiceRegistryProxy::registerSvcInterface(const std::string& ifc,
                                                const std::string& channelName) {
    PROXY_TRACE(6, "ServiceRegistryProxy::registerSvcInterface( ifc:'%s', channelName:'%s'",
                ifc.c_str(), channelName.c_str());
    Method request =
        requestWith(sRegisterSvcInterfaceMethodName, {{"ifc", &ifc}, {"chanName", &channelName}});
    return boolReturnHelper(request, kNoCallbackChannel);
}

bool ServiceRegistryProxy::deregisterSvcInterfaces(const std::string& ifc,
                                                   const std::string& channelName) {
    PROXY_TRACE(6, "ServiceRegistryProxy::deregisterSvcInterface( ifc:'%s', channelName:'%s'",
                ifc.c_str(), channelName.c_str());
    Method request = requestWith(sDeregisterSvcInterfacesMethodName,
                                 {{"ifc", &ifc}, {"chanName", &channelName}});
    return boolReturnHelper(request, kNoCallbackChannel);
}

bool ServiceRegistryProxy::registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                                             const std::string& ifc, const std::string& protocol) {
    PROXY_TRACE(6,
                "ServiceRegistryProxy::registerProxyInfo( lib:'%s', creatorFn:'%s', ifc:'%s', "
                "protocol:'%s'",
                lib.c_str(), creatorFn.c_str(), ifc.c_str(), protocol.c_str());
    Method request = requestWith(
        sRegisterProxyInfoMethodName,
        {{"lib", &lib}, {"creatorFn", &creatorFn}, {"ifc", &ifc}, {"protocol", &protocol}});
    return boolReturnHelper(request, kNoCallbackChannel);
}

bool ServiceRegistryProxy::registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                                               const std::string& ifc,
                                               const std::string& protocol) {
    PROXY_TRACE(6,
                "ServiceRegistryProxy::registerInvokerInfo( lib:'%s', creatorFn:'%s', ifc:'%s', "
                "protocol:'%s'",
                lib.c_str(), creatorFn.c_str(), ifc.c_str(), protocol.c_str());
    Method request = requestWith(
        sRegisterInvokerInfoMethodName,
        {{"lib", &lib}, {"creatorFn", &creatorFn}, {"ifc", &ifc}, {"protocol", &protocol}});
    return boolReturnHelper(request, kNoCallbackChannel);
}

std::vector<std::string> ServiceRegistryProxy::findSvcsForIfc(const std::string&) {
    PROXY_FAILURE("ServiceRegistryProxy::findSvcsForIfc() not implemented");
    return {};
}

bool ServiceRegistryProxy::findSvcInterface(const std::string&, std::string&) {
    PROXY_FAILURE("ServiceRegistryProxy::findSvcInterface() not implemented");
    return false;
}

bool ServiceRegistryProxy::findInvoker(const std::string&, const std::string&, std::string&,
                                       std::string&) {
    PROXY_FAILURE("ServiceRegistryProxy::findInvoker() not implemented");
    return false;
}

bool ServiceRegistryProxy::findProxy(const std::string&, std::string&, std::string&) {
    PROXY_FAILURE("ServiceRegistryProxy::findProxy() not implemented");
    return false;
}

std::vector<SvcDetails> ServiceRegistryProxy::getSvcDetailsList() {
    PROXY_FAILURE("ServiceRegistryProxy::getSvcDetailsList() not implemented");
    return {};
}

bool ServiceRegistryProxy::subscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    PROXY_TRACE(6, "ServiceRegistryProxy::subscribeStartupEvents");
    return subscribeMethodHelper(observer, sSubscribeStartupEventsMethodName);
}

bool ServiceRegistryProxy::unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    PROXY_TRACE(6, "ServiceRegistryProxy::unsubscribeStartupEvents");
    return subscribeMethodHelper(observer, sUnsubscribeStartupEventsMethodName);
}

bool ServiceRegistryProxy::boolReturnHelper(Method& request, const std::string& callbackChannel) {
    if (proxyRequest == nullptr) return false;  // not bound yet: nowhere to send to
    Method reply;
    if (!callbackChannel.empty()) {
        proxyRequest->sendRequestWithCallback(request, reply, callbackChannel);
    } else {
        proxyRequest->sendRequest(request, reply);
    }
    bool result = false;
    reply.getBoolParameter("result", result, Parameter::OUT);
    return result;
}

// The registry reaches the observer through the channel on which the executable that the
// observer also is receives calls; the observer invoker there casts it back.
bool ServiceRegistryProxy::subscribeMethodHelper(ServiceRegistryObserverIfc* observer,
                                                 const std::string& methodName) {
    auto* executable = dynamic_cast<Executable*>(observer);
    if (executable == nullptr) {
        PROXY_FAILURE(
            "ServiceRegistryProxy::subscribeMethodHelper( '%p', '%s' ) observer was not an "
            "Executable*",
            static_cast<void*>(observer), methodName.c_str());
        return false;
    }
    CallbackChannelResolver* resolver =
        proxyRequest != nullptr ? proxyRequest->callbackChannelResolver : nullptr;
    const std::string callbackChannel =
        resolver != nullptr ? resolver->getCallbackChannel(executable) : std::string();
    PROXY_TRACE(5, "%s: callback channel set: %s", methodName.c_str(), callbackChannel.c_str());
    Method request(methodName, Method::REQUEST);
    return boolReturnHelper(request, callbackChannel);
}

Proxy* createServiceRegistryProxy() {
    return new ServiceRegistryProxy();
}
