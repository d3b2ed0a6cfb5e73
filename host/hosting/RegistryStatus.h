#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ServiceRegistry/HostFramework.h"

class InvokerResponse;
class Method;
class ProtocolAdapter;

namespace svcreg {

class DeclaredServices;
class RegistryPipeline;
class OwnerWatch;
class RemoteDevicesHost;

// Serves the daemon's report on itself (see RegistryStatusProtocol.h): its process, what the
// tables hold and who owns it, how many peers it deals with, the limits it runs with and its
// declared services; and the starts of those, which anyone who may connect may ask for, as they
// may look up what they offer, but for callers of other devices.
class RegistryStatus final : public CallHandler {
public:
    using Limits = std::vector<std::pair<std::string, std::string>>;

    // owners is null when nobody watches the processes serving channels; devices tells this
    // device and its peers, when a federation bridge reports them; declared is null when no
    // service is started on demand.
    RegistryStatus(HostFramework& framework, std::string channel, RegistryPipeline& registry,
                   OwnerWatch* owners, RemoteDevicesHost& devices, Limits limits,
                   DeclaredServices* declared);

    void handleCall(IncomingCall& call, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override;

private:
    void addStatus(Method& reply);
    void addDevices(Method& reply);
    void addList(Method& reply);
    void addDeclared(Method& reply);
    void addServices(Method& reply);
    void start(IncomingCall& call, const Method& request, Method& reply);
    void isDeclared(const Method& request, Method& reply);

    HostFramework& framework;
    const std::string channel;
    RegistryPipeline& registry;
    OwnerWatch* const owners;
    RemoteDevicesHost& devices;
    const Limits limits;
    DeclaredServices* const declared;
    ProtocolAdapter& adapter;
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

}  // namespace svcreg
