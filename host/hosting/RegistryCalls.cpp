#include "RegistryCalls.h"

#include "Executable.h"
#include "Invoker.h"
#include "InvokerResponse.h"
#include "RegistryPipeline.h"

namespace svcreg {

namespace {

// The executable the invoker calls for one call: the pipeline, with the call beside each change.
class CalledRegistry final : public Executable, public ServiceRegistryIfc {
public:
    CalledRegistry(RegistryPipeline& pipeline, IncomingCall& call)
        : pipeline(pipeline), call(call) {}

    void init(Context&) override {}
    void shutdown() override {}

    bool registerSvcInterface(const std::string& ifc, const std::string& channelName) override {
        return pipeline.registerSvcInterface(&call, ifc, channelName);
    }
    bool deregisterSvcInterfaces(const std::string& ifc, const std::string& channelName) override {
        return pipeline.deregisterSvcInterfaces(&call, ifc, channelName);
    }
    bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol) override {
        return pipeline.registerProxyInfo(&call, lib, creatorFn, ifc, protocol);
    }
    bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                             const std::string& ifc, const std::string& protocol) override {
        return pipeline.registerInvokerInfo(&call, lib, creatorFn, ifc, protocol);
    }
    std::vector<std::string> findSvcsForIfc(const std::string& ifc) override {
        return pipeline.findSvcsForIfc(ifc);
    }
    bool findSvcInterface(const std::string& ifc, std::string& channelName) override {
        return pipeline.findSvcInterface(ifc, channelName);
    }
    bool findInvoker(const std::string& ifc, const std::string& protocol, std::string& lib,
                     std::string& creatorFn) override {
        return pipeline.findInvoker(ifc, protocol, lib, creatorFn);
    }
    bool findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) override {
        return pipeline.findProxy(ifc, lib, creatorFn);
    }
    std::vector<SvcDetails> getSvcDetailsList() override { return pipeline.getSvcDetailsList(); }
    bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) override {
        return pipeline.subscribeStartupEvents(&call, observer);
    }
    bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) override {
        return pipeline.unsubscribeStartupEvents(&call, observer);
    }

private:
    RegistryPipeline& pipeline;
    IncomingCall& call;
};

}  // namespace

RegistryCalls::RegistryCalls(Invoker& invoker, RegistryPipeline& pipeline)
    : invoker(invoker), pipeline(pipeline) {}

// The invoker answers, and deletes the response, before it returns: the call outlives both.
void RegistryCalls::handleCall(IncomingCall& call, const char* data, int length,
                               std::unique_ptr<InvokerResponse> response) {
    CalledRegistry called(pipeline, call);
    invoker.handleMessage(&called, data, length, response.release());
}

}  // namespace svcreg
