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
class RegistryGate;

// Who may use the registry, and change what in it.
struct AccessSettings {
    // Members of this group may connect, and the channel's socket is theirs to use (mode
    // 0660); without a policy they may change the registry too, but not deregister other
    // users' entries. Empty, or a group that does not exist, for none: then only root and the
    // daemon's user may connect.
    std::string group = "svcreg";
    // The policy file (see svcregd --help); its drop-ins are the *.conf files of the folder of
    // the same name with ".d" in place of ".conf". Neither there: the policy above.
    std::string policyFile = "/etc/svcreg/policy.conf";
    // How much each user, and everyone together, may keep in the registry.
    RegistryQuotas quotas;
};

// The registry and its invoker, made by the loaded registry library and served on one channel:
// text messages go to the registry's handleMsg, method calls to the invoker, each once the
// access policy has let it through. Remote observers that subscribe get proxies that are
// retired when their process is gone.
class HOST_API RegistryHost {
public:
    RegistryHost(const HostOptions& options, std::string channel,
                 AccessSettings access = AccessSettings());
    ~RegistryHost();
    RegistryHost(const RegistryHost&) = delete;
    RegistryHost& operator=(const RegistryHost&) = delete;

    // Makes the objects and serves the channel, on listeningSocket when it is not -1 (one a
    // service manager made; taken over). False, with a message, when the library lacks
    // something, another process serves the channel or the system refuses.
    bool start(const std::string& libraryPath, std::string& error, int listeningSocket = -1);
    // Stops serving and removes the channel's socket; the objects are destroyed after.
    void stop();
    // False, with what happened, once the runtime directory or the channel's socket has been
    // removed or replaced: nobody can reach the registry any more.
    bool stillReachable(std::string& error);

private:
    const std::string channel;
    const AccessSettings access;
    const gid_t accessGroup;  // access.group's id; -1 for none
    Context context;
    HostFramework framework;
    // Destroyed before the framework, and only once it has stopped calling them.
    std::unique_ptr<ObserverProxies> observers;
    std::unique_ptr<RegistryGate> gate;
    std::unique_ptr<Service> registry;
    std::unique_ptr<Invoker> invoker;
};

}  // namespace svcreg
