#include "RegistryStatus.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>

#include "AccountNames.h"
#include "BinaryProtocolAdapter.h"
#include "DeclaredServices.h"
#include "HostLog.h"
#include "InvokerResponse.h"
#include "Method.h"
#include "MethodBytes.h"
#include "OwnerWatch.h"
#include "PeerAccount.h"
#include "RegistryGate.h"
#include "RegistryPipeline.h"
#include "RegistryStatusProtocol.h"
#include "RemoteDevicesHost.h"
#include "ServiceRegistry/Defaults.h"
#include "ServiceRegistry/HostFramework.h"
#include "WireRows.h"

namespace svcreg {

namespace Wire = RegistryStatusProtocol;

RegistryStatus::RegistryStatus(HostFramework& framework, std::string channel,
                               RegistryPipeline& registry, OwnerWatch* owners,
                               RemoteDevicesHost& devices, Limits limits,
                               DeclaredServices* declared)
    : framework(framework),
      channel(std::move(channel)),
      registry(registry),
      owners(owners),
      devices(devices),
      limits(std::move(limits)),
      declared(declared),
      adapter(*framework.getProtocolAdapter(BinaryProtocolAdapter::kProtocolName)) {}

void RegistryStatus::handleCall(IncomingCall& call, const char* data, int length,
                                std::unique_ptr<InvokerResponse> answer) {
    Method request;
    if (!decodeMethod(adapter, bytesOf(data, length), request)) return;
    Method reply(request.getName(), Method::REPLY);
    if (request.getName() == Wire::kStatus) {
        addStatus(reply);
    } else if (request.getName() == Wire::kList) {
        if (registry.mayList(call, Wire::kList)) addList(reply);
    } else if (request.getName() == Wire::kStart) {
        start(call, request, reply);
    } else if (request.getName() == Wire::kIsDeclared) {
        isDeclared(request, reply);
    }
    const std::string bytes = encodeMethod(adapter, reply);
    answer->sendReply(bytes.data(), static_cast<int>(bytes.size()));
}

void RegistryStatus::addStatus(Method& reply) {
    std::size_t entries = 0, creators = 0;
    registry.whileUnchanged([&](const RegistryState& state) {
        entries = state.entryCount();
        creators = state.creatorCount();
    });
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started);
    const std::pair<const char*, std::string> facts[] = {
        {"pid", std::to_string(getpid())},
        {"version", packageVersion()},
        {Wire::kUptime, std::to_string(uptime.count())},
        {"runtime-dir", framework.runtimeDirectory()},
        {"channel", channel},
        {"entries", std::to_string(entries)},
        {"creators", std::to_string(creators)},
        {"subscribers", std::to_string(registry.subscriberCount())},
        {"connections", std::to_string(framework.connectionCount())},
    };
    for (const auto& [name, value] : facts) reply.addStringParameter(name, value, Parameter::OUT);
    addDevices(reply);
    for (const auto& [name, value] : limits) {
        reply.addStringParameter(Wire::kLimitPrefix + name, value, Parameter::OUT);
    }
    addServices(reply);
}

void RegistryStatus::addServices(Method& reply) {
    if (declared == nullptr) return;
    for (const DeclaredServices::Row& row : declared->rows()) {
        const std::string state(declaredStateName(row.state));
        reply.addStringParameter(
            Wire::kServicePrefix + row.name,
            row.state == DeclaredState::Failed ? state + ": " + row.reason : state, Parameter::OUT);
    }
}

void RegistryStatus::addDevices(Method& reply) {
    std::string thisDevice;
    std::vector<PeerDevice> peers;
    if (!devices.devices(thisDevice, peers)) return;
    reply.addStringParameter(Wire::kDevice, thisDevice, Parameter::OUT);
    for (const PeerDevice& peer : peers) {
        reply.addStringParameter(
            Wire::kPeerPrefix + peer.name,
            std::string(peer.alive ? "1" : "0") + "," + std::to_string(peer.leaseMs) + "," +
                std::to_string(peer.entries) + "," + std::to_string(peer.lastHeardMs),
            Parameter::OUT);
    }
}

// By interface, then by service id, as the registry's own details list goes; other devices'
// entries of an interface after its local ones, by device, with neither owner nor process.
void RegistryStatus::addList(Method& reply) {
    std::vector<ServiceRecord> entries;
    std::vector<uid_t> ownerUids;
    std::vector<ServiceRecord> remote;
    registry.whileUnchanged([&](const RegistryState& state) {
        entries = state.entries();
        for (const ServiceRecord& entry : entries) ownerUids.push_back(state.ownerOf(entry.svcId));
        remote = state.remoteEntries().all();
    });
    std::map<uid_t, std::string> userNames;  // a few users own many entries
    std::vector<WireRows::Row> rows;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const pid_t server = owners != nullptr ? owners->processOf(entries[i]) : 0;
        const uid_t owner = ownerUids[i];
        std::string user;  // none for a caller of another device: its account is no user's
        if (owner != static_cast<uid_t>(-1) && !isDeviceAccount(owner)) {
            auto named = userNames.find(owner);
            if (named == userNames.end()) named = userNames.emplace(owner, nameOfUser(owner)).first;
            user = named->second;
        }
        rows.push_back({entries[i].svcId,
                        {entries[i].ifc, entries[i].channel,
                         server > 0 ? std::to_string(server) : "", std::move(user)}});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const WireRows::Row& a, const WireRows::Row& b) {
        return a.fields[0] != b.fields[0] ? a.fields[0] < b.fields[0] : a.number < b.number;
    });
    std::vector<WireRows::Row> remoteRows;
    for (ServiceRecord& entry : remote) {
        remoteRows.push_back(
            {entry.svcId, {std::move(entry.ifc), std::move(entry.channel), "", ""}});
    }
    std::vector<WireRows::Row> all;
    all.reserve(rows.size() + remoteRows.size());
    std::merge(
        std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()),
        std::make_move_iterator(remoteRows.begin()), std::make_move_iterator(remoteRows.end()),
        std::back_inserter(all),
        [](const WireRows::Row& a, const WireRows::Row& b) { return a.fields[0] < b.fields[0]; });
    reply.addStringParameter(Wire::kEntries, WireRows::encode(all), Parameter::OUT);
    addDeclared(reply);
}

void RegistryStatus::addDeclared(Method& reply) {
    std::vector<WireRows::Row> rows;
    if (declared != nullptr) {
        for (DeclaredServices::Row& row : declared->rows()) {
            std::string interfaces;
            for (const std::string& ifc : row.interfaces) {
                interfaces += (interfaces.empty() ? "" : " ") + ifc;
            }
            rows.push_back({0,
                            {std::move(row.name), std::string(declaredStateName(row.state)),
                             std::move(row.reason), std::move(row.channel), std::move(interfaces),
                             row.pid > 0 ? std::to_string(row.pid) : ""}});
        }
    }
    reply.addStringParameter(Wire::kDeclared, WireRows::encode(rows), Parameter::OUT);
}

// A caller of another device has no say in what runs here.
void RegistryStatus::start(IncomingCall& call, const Method& request, Method& reply) {
    std::string ifc;
    request.getStringParameter(Wire::kInterfaceParameter, ifc, Parameter::IN);
    if (call.peer().isRemote()) {
        const std::string refusal =
            "a caller of another device (" + call.peer().describe() + ") may not start services";
        HOST_PEER_FAILURE(call.peer().describe(), "Refused to start the service of '%s': %s",
                          ifc.c_str(), refusal.c_str());
        call.refuse(refusal);
        return;
    }
    const std::optional<DeclaredServices::Answer> answer =
        declared != nullptr ? declared->start(ifc) : std::nullopt;
    if (answer && answer->refused) {
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(call.peer()),
                          "Refused to start the service of '%s' for %s: %s", ifc.c_str(),
                          call.peer().describe().c_str(), answer->reason.c_str());
    }
    reply.addStringParameter(
        Wire::kState, answer ? std::string(declaredStateName(answer->state)) : Wire::kUndeclared,
        Parameter::OUT);
    reply.addStringParameter(Wire::kReason, answer ? answer->reason : "", Parameter::OUT);
}

void RegistryStatus::isDeclared(const Method& request, Method& reply) {
    std::string ifc;
    request.getStringParameter(Wire::kInterfaceParameter, ifc, Parameter::IN);
    reply.addBoolParameter(Wire::kDeclared, declared != nullptr && declared->isDeclared(ifc),
                           Parameter::OUT);
}

}  // namespace svcreg
