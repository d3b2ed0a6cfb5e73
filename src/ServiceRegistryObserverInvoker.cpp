#include "ServiceRegistryObserverInvoker.h"

#include <memory>
#include <string>

#include "Executable.h"
#include "FrameworkContext.h"
#include "InvokerResponse.h"
#include "LogCall.h"
#include "Method.h"
#include "PooledStream.h"
#include "ProtocolAdapter.h"
#include "ServiceRegistryObserverIfc.h"

namespace {

constexpr char kModule[] = "ServiceRegistryObserverInvoker";
constexpr char kSourceFile[] = "./src/ServiceRegistryObserverInvoker.cpp";

#define OBSERVER_INVOKER_TRACE(level, ...) LOG_TRACE(kModule, kSourceFile, level, __VA_ARGS__)
#define OBSERVER_INVOKER_FAILURE(...) LOG_FAILURE(kModule, kSourceFile, __VA_ARGS__)

}  // namespace

ServiceRegistryObserverInvoker::ServiceRegistryObserverInvoker() : frameworkContext(nullptr) {}

ServiceRegistryObserverInvoker::~ServiceRegistryObserverInvoker() = default;

void ServiceRegistryObserverInvoker::initInvoker(FrameworkContext* context) {
    OBSERVER_INVOKER_TRACE(4, "ServiceRegistryObserverInvoker initialised");
    frameworkContext = context;
}

void ServiceRegistryObserverInvoker::handleMessage(Executable* executable, const char* data,
                                                   int length, InvokerResponse* response) {
    const std::unique_ptr<InvokerResponse> owned(response);
    if (data == nullptr || length < 0) {
        data = "";
        length = 0;
    }
    OBSERVER_INVOKER_TRACE(5, "handleMessage called: %s", std::string(data, length).c_str());
    auto* observer = dynamic_cast<ServiceRegistryObserverIfc*>(executable);
    if (observer == nullptr) {
        OBSERVER_INVOKER_FAILURE("Could not cast executable to ServiceRegistryObserverIfc.");
        return;
    }

    Method method;
    PooledStream received(data, static_cast<std::size_t>(length));
    ProtocolAdapter* adapter = frameworkContext != nullptr && response != nullptr
                                   ? frameworkContext->getProtocolAdapter(response->getProtocol())
                                   : nullptr;
    if (adapter == nullptr || !adapter->decode(received.get(), method)) {
        OBSERVER_INVOKER_FAILURE("PA NULL or decode failure");
        return;
    }
    if (method.getName() != "newServiceIfcRegistered") {
        OBSERVER_INVOKER_FAILURE("Invalid Message, %s", received.get().str().c_str());
        return;
    }
    std::string ifc;
    if (method.getStringParameter("interface", ifc, Parameter::IN)) {
        observer->newServiceIfcRegistered(ifc);
    }
}

Invoker* createServiceRegistryObserverInvoker() {
    return new ServiceRegistryObserverInvoker();
}
