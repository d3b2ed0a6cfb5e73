#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "Invoker.h"

class InvokerResponse;
class Method;
class ProtocolAdapter;

namespace svcreg {

class HostFramework;
class RegistryPipeline;
class OwnerWatch;
class RemoteDevicesHost;

// Serves the daemon's report on itself (see RegistryStatusProtocol.h): its process, what the
// tables hold and who owns it, how many peers it deals with and the limits it runs with.
class RegistryStatus final : public Invoker {
public:
    using Limits = std::vector<std::pair<std::string, std::string>>;

    // owners is null when nobody watches the processes serving channels; devices tells this
    // device and its peers, when a federation bridge reports them.
    RegistryStatus(HostFramework& framework, std::string channel, RegistryPipeline& registry,
                   OwnerWatch* owners, RemoteDevicesHost& devices, Limits limits);

    void handleMessage(Executable* executable, const char* data, int length,
                       InvokerResponse* response) override;

private:
    void addStatus(Method& reply);
    void addDevices(Method& reply);
    void addList(Method& reply);

    HostFramework& framework;
    const std::string channel;
    RegistryPipeline& registry;
    OwnerWatch* const owners;
    RemoteDevicesHost& devices;
    const Limits limits;
    ProtocolAdapter& adapter;
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

}  // namespace svcreg
