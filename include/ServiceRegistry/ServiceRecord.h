#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace svcreg {

/// The id the registry gives each registration, from 1 up; every interface registered together
/// shares it. The one type of a service id in the client API and the command line: 0 is no id.
using ServiceId = std::int64_t;

/// One entry of the registry's service table: an interface offered at a channel, under the
/// service id of the registration that put it there, and what the registry knows of its owner
/// where the request returns it (RegistryClient::list() does; lookups and watch events do not).
/// A plain value: copy it, keep it, read it from any thread.
struct ServiceRecord {
    /// An empty record: no interface, no channel, no id.
    ServiceRecord() = default;
    /// The entry of ifc at channel under svcId, with nothing known of its owner.
    ServiceRecord(std::string ifc, ServiceId svcId, std::string channel)
        : ifc(std::move(ifc)), svcId(svcId), channel(std::move(channel)) {}

    std::string ifc;      ///< The service interface, such as "com.example.Camera".
    ServiceId svcId = 0;  ///< The service id of the registration that made the entry.
    std::string channel;  ///< The channel the interface is offered at.
    /// The process whose end removes the entry, while the registry watches it: the one serving
    /// its channel, else the one that registered it by call. Empty when there is none, or the
    /// request does not return owners.
    std::optional<pid_t> pid;
    /// The user who registered the entry. Empty when the registry does not know, or the request
    /// does not return owners.
    std::optional<std::string> user;
};

/// The device whose entry is at channel: another device's entries are at `CHANNEL@DEVICE`, the
/// device being what follows the last '@'. Empty for an entry of this device.
inline std::string deviceOfChannel(const std::string& channel) {
    const std::size_t at = channel.rfind('@');
    return at == std::string::npos ? std::string() : channel.substr(at + 1);
}

/// A creator of the registry's creator tables: the plug-in library and the function in it that
/// makes a proxy, or an invoker, for an interface. A plain value.
struct CreatorRecord {
    std::string lib;        ///< The plug-in library, as the framework loads it.
    std::string creatorFn;  ///< The function in lib that makes the proxy or invoker.
};

}  // namespace svcreg
