#pragma once

#include <memory>
#include <string>

#include "Context.h"
#include "HostExport.h"
#include "HostFramework.h"

class Invoker;
class Service;

namespace svcreg {

class ObserverProxies;

// The registry and its invoker, made by the loaded registry library and served on one channel:
// text messages go to the registry's handleMsg, method calls to the invoker. Remote observers
// that subscribe get proxies that are retired when their process is gone.
class HOST_API RegistryHost {
public:
    RegistryHost(const HostOptions& options, std::string channel);
    ~RegistryHost();
    RegistryHost(const RegistryHost&) = delete;
    RegistryHost& operator=(const RegistryHost&) = delete;

    // Makes the objects and serves the channel, on listeningSocket when it is not -1 (one a
    // service manager made; taken over). False, with a message, when the library lacks
    // something, another process serves the channel or the system refuses.
    bool start(const std::string& libraryPath, std::string& error, int listeningSocket = -1);
    // Stops serving and removes the channel's socket; the objects are destroyed after.
    void stop();

private:
    const std::string channel;
    Context context;
    HostFramework framework;
    // Destroyed before the framework, and only once it has stopped calling them.
    std::unique_ptr<ObserverProxies> observers;
    std::unique_ptr<Service> registry;
    std::unique_ptr<Invoker> invoker;
};

}  // namespace svcreg
