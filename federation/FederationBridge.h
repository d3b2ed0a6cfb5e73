#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DeviceLinks.h"
#include "EntrySlots.h"
#include "Federation.h"
#include "FederationOptions.h"
#include "LocalEntryQueue.h"
#include "Mutex.h"
#include "NameClaim.h"
#include "PeerTable.h"
#include "RefusalLog.h"
#include "ServiceRegistry/DeviceCalls.h"
#include "ServiceRegistry/Outcome.h"
#include "ServiceRegistry/RemoteDevices.h"

// Carries this device's public entries and creators to the other devices of its DDS domain, and
// theirs into this registry; and the calls between devices, over links (DeviceLinks) to the
// address and port each device announces. One thread of its own writes what the registry queued
// and takes what others wrote. Outlives the RegistryHost it is started on: the host may still
// tell its queue of changes, and send to other devices, until it stops.
class FederationBridge : public Federation {
public:
    explicit FederationBridge(FederationOptions options);
    ~FederationBridge() override;
    FederationBridge(const FederationBridge&) = delete;
    FederationBridge& operator=(const FederationBridge&) = delete;

    // Joins the domain, claims the device's name (waiting up to the lease for a live device
    // that holds it to go), starts carrying entries for registry, and calls for deviceCalls
    // (DeviceCalls::carryOver). Refused, with why, when DDS or the links cannot start, the
    // gateway cannot be served, or another live device holds the name.
    svcreg::Outcome start(svcreg::RemoteDevices& registry,
                          svcreg::DeviceCalls& deviceCalls) override;
    // Leaves the domain: the others drop this device's entries at once. The registry and the
    // gateway are no longer called, and sends to other devices are refused.
    void stop() override;

private:
    // A writer of samples this device reads: its partitions, its participant.
    struct Writer {
        std::vector<std::string> partitions;
        std::uint64_t participant = 0;
    };
    // What the reader of one device's entries takes, the argument of its topic's filter: the
    // entries of its name in its first slots, as many as the reader holds, where the device keeps
    // its entries (EntrySlots). Those of a device that holds more are filtered out, and so
    // acknowledged: a reader without room for them would leave them unacknowledged, and every
    // later change of the device would wait behind them.
    struct FirstSlots {
        std::string device;
        std::uint32_t slots = 0;
    };
    // The filter: true for a sample of the device in one of the slots first names.
    static bool inFirstSlots(const void* sample, void* first);
    // The readers of one device's entries and creators, in its partition, their subscriber and
    // the conditions of the wait set on them (none while no participant holds the name); and
    // what of the device's changes may be taken now, its allowance, filled at
    // options.changesPerDevicePerSecond up to what the readers hold. The allowance outlives the
    // readers, until it is full again: neither a retake nor a claim of the name made anew
    // gives a device a fresh burst. And the entry each of the device's slots holds, as its holder
    // last wrote it, for as long as its name is held by one participant.
    struct DeviceReaders {
        int subscriber = 0;
        int entryTopic = 0;  // the filtered one of the reader of entries
        FirstSlots firstSlots;
        int entries = 0;
        int creators = 0;
        int entriesTaken = 0;
        int creatorsTaken = 0;
        double allowance = 0;
        std::chrono::steady_clock::time_point filled;
        bool waiting = false;  // over its allowance: its conditions are out of the wait set
        bool retake = false;   // made anew once what they hold is taken
        std::chrono::steady_clock::time_point made;  // when they were last made
        std::map<std::uint32_t, svcreg::ServiceRecord> slots;
        // The slots held when the readers were last closed, that the readers made since have
        // not given again yet.
        std::set<std::uint32_t> unconfirmed;
    };

    svcreg::Outcome join();
    svcreg::Outcome claimName();
    svcreg::Outcome link(svcreg::DeviceCalls& deviceCalls);
    void announceLink(const std::string& device,
                      const struct svcreg_federation_DeviceSample& sample);
    void run();
    void serveOnce();
    void publishChanges();
    // The sample of key's entry, but for its slot; false when a name does not fit.
    bool sampleOf(const LocalEntryQueue::Key& key,
                  struct svcreg_federation_EntrySample& sample) const;
    void writeEntry(const LocalEntryQueue::Key& key, bool present);
    void renewEntryWriter();
    void retireEntryWriter();
    void writeCreator(const svcreg::RemoteCreator& creator);
    void announce();
    void takeDevices();
    void takePublications();
    void readAnnouncements(const std::string& device, std::uint64_t publication);
    void forgetAnnouncer(std::uint64_t publication);
    void takeAllChanges();
    void takeChanges(const std::string& device, DeviceReaders& readers);
    void fill(DeviceReaders& readers) const;
    bool withinAllowance(const std::string& device, DeviceReaders& readers);
    // Takes what reader holds, sample by sample, into take, a bounded number of batches in a
    // row and most samples at most; how many it took, all it was let take (most, or
    // kMostTakenInARow when that is fewer) when it may hold more.
    std::size_t takeAll(int reader,
                        void (FederationBridge::*take)(int reader, const void* sample,
                                                       const struct dds_sample_info& info),
                        std::size_t most);
    void forgetGoneDevices();
    void retakeIfAsked();
    void readEntriesAgain(const std::set<std::string>& devices);
    void wake();
    void yieldName(const std::string& reason);
    void passName(const std::string& device, bool wasHeld);
    DeviceReaders& readersOf(const std::string& device);
    void openReaders(const std::string& device, DeviceReaders& readers);
    void closeReaders(const std::string& device);
    void takeEntry(int reader, const void* sample, const struct dds_sample_info& info);
    // Slot of device's holds entry now, or none: what it held before goes, unless another slot
    // holds it too.
    void fillSlot(const std::string& device, std::uint32_t slot,
                  const std::optional<svcreg::ServiceRecord>& entry);
    void takeCreator(int reader, const void* sample, const struct dds_sample_info& info);
    void takeAnnouncement(int reader, const void* sample, const struct dds_sample_info& info);
    // The holder of device's name holds entries in its first slots: what the others, past them,
    // hold here goes, unless the readers gave it since they were made.
    void freeSlotsFrom(const std::string& device, std::uint32_t entries);
    const Writer* writerOf(int reader, std::uint64_t publication);
    void logRefusal(const Writer* writer, const std::string& reason);
    // The writer of a sample (what, as "an entry") that reader took from device, when its
    // partition names device; else null, and the sample refused.
    const Writer* speakerFor(int reader, const std::string& device,
                             const struct dds_sample_info& info, const char* what);
    void logRefusal(const std::string& device, const std::string& reason);

    const FederationOptions options;
    NameClaim ownClaim;
    svcreg::RemoteDevices* registry = nullptr;
    PeerTable peers;
    LocalEntryQueue queue;
    EntrySlots published;                     // what this device wrote and did not remove
    std::map<std::uint64_t, Writer> writers;  // a cache of the writers samples came from
    RefusalLog refusals;
    bool yielded = false;  // another device holds this name: this one publishes nothing
    // When this device announces itself again, so that the others' "last heard" stays within
    // half a lease while it lives.
    std::chrono::steady_clock::time_point nextAnnouncement;
    bool joined = false;
    // Made at start, kept until the bridge goes: the gateway's sender may call it until then.
    std::unique_ptr<DeviceLinks> links;
    // The devices whose entries the registry asks for again (from its threads; "" for every
    // device's); taken at most once a second, at nextRetake at the earliest.
    svcreg::Mutex retakeMutex;
    std::set<std::string> retakesAsked TS_GUARDED_BY(retakeMutex);
    std::chrono::steady_clock::time_point nextRetake;

    // The DDS entities, children of the participant, which deleting it deletes.
    int participant = 0;
    int entryPublisher = 0;
    int entryWriter = 0;
    // The writer of entries the last one made anew replaced, while it waits for its readers to
    // acknowledge what it wrote; and when it was replaced.
    int retiredWriter = 0;
    std::chrono::steady_clock::time_point retiredAt;
    std::size_t removalsWritten = 0;  // by the entries' writer since it was made
    int creatorWriter = 0;
    int deviceWriter = 0;
    int entryTopic = 0;
    int creatorTopic = 0;
    int deviceTopic = 0;
    int publicationReader = 0;  // of the writers DDS discovered, local ones too
    // The reader of one device's announcements, in its partition alone (what a device writes
    // there fills its reader only), its subscriber, and the writers of them DDS discovered.
    struct Announcements {
        int subscriber = 0;
        int reader = 0;
        std::set<std::uint64_t> writers;
    };
    // Of each device that has a writer of announcements, this one too, while it has one.
    std::map<std::string, Announcements> announcementReaders;
    // The device in whose partition each of those writers is, and each writer of a device
    // refused for want of room, until room is made.
    std::map<std::uint64_t, std::string> announcers;
    // Of each device whose name is held, but this one's; and of each whose allowance is not
    // full again since its name was last held.
    std::map<std::string, DeviceReaders> deviceReaders;
    // takeEntry refused a sample of the device whose changes are being taken: it may have taken
    // the place of one of the holder's in the readers.
    bool sampleRefused = false;
    std::atomic<int> wakeCondition{0};  // also used by the registry's threads, through queue
    int waitset = 0;

    std::atomic<bool> stopping{false};
    std::thread thread;  // last: started once everything it uses is there
};
