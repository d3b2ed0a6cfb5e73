#include "ServiceRegistryObserverProxy.h"

#include "Method.h"
#include "ProxyRequest.h"

ServiceRegistryObserverProxy::ServiceRegistryObserverProxy() : proxyRequest(nullptr) {}

ServiceRegistryObserverProxy::~ServiceRegistryObserverProxy() = default;

void ServiceRegistryObserverProxy::initProxy(ProxyRequest& request) {
    proxyRequest = &request;
}

void ServiceRegistryObserverProxy::newServiceIfcRegistered(std::string ifc) {
    if (proxyRequest == nullptr) return;  // not bound yet: nowhere to send to
    Method request("newServiceIfcRegistered", Method::REQUEST);
    request.addStringParameter("interface", ifc, Parameter::IN);
    proxyRequest->sendOneWay(request);
}

Proxy* createServiceRegistryObserverProxy() {
    return new ServiceRegistryObserverProxy();
}
