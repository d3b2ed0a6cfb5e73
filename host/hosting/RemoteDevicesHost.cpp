#include "RemoteDevicesHost.h"

#include <algorithm>

namespace svcreg {

namespace {

// Entries at private channels, whose names start with ':', never leave the device.
std::vector<ServiceRecord> publicOf(const std::vector<ServiceRecord>& entries) {
    std::vector<ServiceRecord> shown;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(shown),
                 [](const ServiceRecord& entry) {
                     return entry.channel.empty() || entry.channel[0] != ':';
                 });
    return shown;
}

}  // namespace

RemoteDevicesHost::RemoteDevicesHost(RegistryPipeline& pipeline) : pipeline(pipeline) {}

void RemoteDevicesHost::LocalWatch::registered(const std::vector<ServiceRecord>& entries,
                                               const PeerCredentials*) {
    if (listener == nullptr) return;
    const std::vector<ServiceRecord> shown = publicOf(entries);
    if (!shown.empty()) listener->added(shown);
}

void RemoteDevicesHost::LocalWatch::removed(const std::vector<ServiceRecord>& entries,
                                            const PeerCredentials*) {
    if (listener == nullptr) return;
    const std::vector<ServiceRecord> shown = publicOf(entries);
    if (!shown.empty()) listener->removed(shown);
}

void RemoteDevicesHost::LocalWatch::creatorTaken(const JournalRecord& record) {
    if (listener == nullptr) return;
    const std::vector<std::string>& f = record.fields;  // lib, creatorFn, ifc, protocol
    const bool invoker = record.kind == JournalRecord::Kind::Invoker;
    if (!creatorsTold.emplace(invoker, RemoteCreators::keyOf(invoker, f[2], f[3])).second) return;
    listener->creatorAdded(RemoteCreator{invoker, f[2], f[3], f[0], f[1]});
}

void RemoteDevicesHost::LocalWatch::startWith(LocalEntries* next, const RegistryState& state) {
    listener = next;
    creatorsTold.clear();
    if (listener == nullptr) return;
    listener->added(publicOf(state.entries()));
    for (const JournalRecord& record : state.creatorRecords()) creatorTaken(record);
}

// The watch joins the pipeline's listeners once; a listener after the first takes its place
// while no change is made.
void RemoteDevicesHost::watchLocal(LocalEntries* listener) {
    MutexLock hold(mutex);
    const auto start = [&](const RegistryState& state) { localWatch.startWith(listener, state); };
    if (watching) {
        pipeline.whileUnchanged(start);
    } else {
        pipeline.addListener(&localWatch, start);
        watching = true;
    }
}

Outcome RemoteDevicesHost::addRemote(const std::string& device, const ServiceRecord& entry) {
    return pipeline.addRemote(device, entry);
}

Outcome RemoteDevicesHost::addRemoteCreator(const std::string& device,
                                            const RemoteCreator& creator) {
    return pipeline.addRemoteCreator(device, creator);
}

void RemoteDevicesHost::removeRemote(const std::string& device, const ServiceRecord& entry) {
    pipeline.removeRemote(device, entry);
}

void RemoteDevicesHost::dropDevice(const std::string& device) {
    pipeline.dropDevice(device);
}

void RemoteDevicesHost::watchRetake(std::function<void(const std::string& device)> retake) {
    pipeline.watchRetake(std::move(retake));
}

void RemoteDevicesHost::reportDevices(const std::string& thisDevice,
                                      std::function<std::vector<PeerDevice>()> reporter) {
    MutexLock hold(mutex);
    deviceName = thisDevice;
    report = std::move(reporter);
}

bool RemoteDevicesHost::devices(std::string& thisDevice, std::vector<PeerDevice>& peers) {
    std::function<std::vector<PeerDevice>()> reporter;
    {
        MutexLock hold(mutex);
        if (!report) return false;
        thisDevice = deviceName;
        reporter = report;
    }
    peers = reporter();
    for (PeerDevice& peer : peers) peer.entries = pipeline.remoteEntriesOf(peer.name);
    return true;
}

}  // namespace svcreg
