#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Mutex.h"
#include "RegistryPipeline.h"
#include "ServiceRegistry/RemoteDevices.h"

namespace svcreg {

// RemoteDevices as a running registry serves it: other devices' entries go through the
// pipeline, which keeps them beside the library's; this device's public entries are told to
// the bridge from the pipeline, under its lock; the devices the bridge reports are what the
// registry's status shows.
class RemoteDevicesHost final : public RemoteDevices {
public:
    explicit RemoteDevicesHost(RegistryPipeline& pipeline);

    void watchLocal(LocalEntries* listener) override;
    Outcome addRemote(const std::string& device, const ServiceRecord& entry) override;
    Outcome addRemoteCreator(const std::string& device, const RemoteCreator& creator) override;
    void removeRemote(const std::string& device, const ServiceRecord& entry) override;
    void dropDevice(const std::string& device) override;
    void watchRetake(std::function<void(const std::string& device)> retake) override;
    void reportDevices(const std::string& thisDevice,
                       std::function<std::vector<PeerDevice>()> report) override;

    // This device's name and its peers, each with its entries as this table holds them; false,
    // with neither, when no bridge reports devices.
    bool devices(std::string& thisDevice, std::vector<PeerDevice>& peers);

private:
    // Passes the pipeline's changes of public entries, and the creators its lookups answer with,
    // to the bridge's listener.
    class LocalWatch final : public TableListener {
    public:
        void registered(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override;
        void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override;
        void creatorTaken(const JournalRecord& record) override;
        // Tells the listener the public entries and the creators of state, and every change
        // after.
        void startWith(LocalEntries* next, const RegistryState& state);

    private:
        // Changed and read under the pipeline's lock only.
        LocalEntries* listener = nullptr;
        // The kinds and keys of the creators told: the library answers with the first of each.
        std::set<std::pair<bool, std::string>> creatorsTold;
    };

    RegistryPipeline& pipeline;
    LocalWatch localWatch;
    Mutex mutex;  // guards what watchLocal and reportDevices set
    bool watching TS_GUARDED_BY(mutex) = false;
    std::string deviceName TS_GUARDED_BY(mutex);
    std::function<std::vector<PeerDevice>()> report TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
