#pragma once

/// \file
/// The registry's side of federation: how the bridge that carries entries between devices puts
/// other devices' entries into this registry, and hears of this device's own.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "HostExport.h"
#include "Outcome.h"
#include "ServiceRecord.h"

namespace svcreg {

/// The longest name a device may have, in bytes.
constexpr std::size_t kMaxDeviceNameSize = 63;

/// Whether name can name a device: 1 to 63 letters, digits, '-', '_' and '.', so that it is a
/// DDS partition name without wildcards and a channel suffix after '@'.
inline bool isDeviceName(const std::string& name) {
    if (name.empty() || name.size() > kMaxDeviceNameSize) return false;
    for (const char c : name) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

/// One device of the federation as this registry last heard of it, for `svcreg status`.
struct PeerDevice {
    std::string name;              ///< The device's name, as its entries carry it after '@'.
    bool alive = false;            ///< Whether its lease still runs.
    std::int64_t leaseMs = 0;      ///< The lease it announced: silent this long, it is gone.
    std::size_t entries = 0;       ///< Its entries in this registry's table.
    std::int64_t lastHeardMs = 0;  ///< When it was last heard of, in ms since the epoch.
};

/// A creator of proxies or of invokers of an interface, as a device's registry took it. The
/// registry keys a proxy's creator by its interface, an invoker's by its interface and protocol.
struct RemoteCreator {
    bool invoker = false;   ///< Whether it creates invokers, else proxies.
    std::string ifc;        ///< The interface.
    std::string protocol;   ///< The protocol it was registered with.
    std::string lib;        ///< The library that holds it.
    std::string creatorFn;  ///< Its function in that library.
};

/// What a federation bridge holds of a running RegistryHost (RegistryHost::remoteDevices()).
///
/// Another device's entry is found here as `CHANNEL@DEVICE`, read-only: lookups return a local
/// entry of an interface first, then the remote ones by device name and, within a device, by its
/// service id. Entries at private channels (a name starting with ':') never leave the device.
/// Every function may be called from any thread.
class HOST_API RemoteDevices {
public:
    /// Hears of this device's entries that other devices may see: those at channels that are
    /// not private.
    class LocalEntries {
    public:
        /// Entries were registered; at the start of a watch, the table as it stands. Called in
        /// the order the changes were made, under the lock that orders them: queue what you
        /// must do, never block, never call back into the registry.
        virtual void added(const std::vector<ServiceRecord>& entries) = 0;
        /// Entries were removed; as added.
        virtual void removed(const std::vector<ServiceRecord>& entries) = 0;
        /// The registry took a creator of a kind and key it held none of, which its lookups
        /// answer with from now on; at the start of a watch, each such creator it holds. As
        /// added. The registry never removes a creator.
        virtual void creatorAdded(const RemoteCreator& creator) = 0;

    protected:
        ~LocalEntries() = default;
    };

    /// Tells listener, not owned, the table's public entries and creators as they stand, then
    /// every change of them, until the host stops. One listener at a time.
    virtual void watchLocal(LocalEntries* listener) = 0;

    /// Enters entry of device, its channel being the one on that device: an entry already there
    /// with the same interface, channel and id changes nothing. Refused, with why (logged once a
    /// second per device), when the access policy does not let device publish the interface,
    /// the device holds as many entries as its limit allows, or a name is one the registry
    /// would not take.
    virtual Outcome addRemote(const std::string& device, const ServiceRecord& entry) = 0;
    /// Enters creator of device, in place of the device's one of its kind and key. Lookups
    /// answer with it when the registry holds no creator of that kind and key, and with the
    /// first by device name when several devices hold one. Refused as addRemote, a creator
    /// counting as an entry against the device's limit.
    virtual Outcome addRemoteCreator(const std::string& device, const RemoteCreator& creator) = 0;
    /// Removes entry of device, if it is there.
    virtual void removeRemote(const std::string& device, const ServiceRecord& entry) = 0;
    /// Removes every entry and creator of device: it left, or its lease ran out.
    virtual void dropDevice(const std::string& device) = 0;
    /// Tells retake when entries refused before may be entered now, so that the bridge offers
    /// them again: every device's, with device empty, when the access policy was reloaded (what
    /// it now refuses is removed first); device's, when entries were removed after one of
    /// device's was refused for a limit (only the devices refused: what one device does at its
    /// limit never has the others' entries taken again). Called on the thread that reloads or
    /// removes, under the lock that orders the changes: note it, never block, never call back
    /// into the registry. One retake at a time.
    virtual void watchRetake(std::function<void(const std::string& device)> retake) = 0;

    /// Names this device, and where `svcreg status` gets the other devices from: report is
    /// called on the thread answering a status request, and must not block for long.
    virtual void reportDevices(const std::string& thisDevice,
                               std::function<std::vector<PeerDevice>()> report) = 0;

protected:
    ~RemoteDevices() = default;
};

}  // namespace svcreg
