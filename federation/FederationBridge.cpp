#include "FederationBridge.h"

#include <arpa/inet.h>
#include <dds/dds.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <thread>

#include "DevicePartition.h"
#include "DomainShare.h"
#include "FederationTypes.h"
#include "InterfaceAddress.h"
#include "LogCall.h"
#include "ParticipantConfig.h"

namespace {

constexpr const char* kModule = "federation";
constexpr const char* kSource = "federation/FederationBridge.cpp";
constexpr std::uint32_t kSamplesPerTake = 64;
// The writers remembered, past which the cache starts again: peers make their writers.
constexpr std::size_t kMostWriters = 4096;
constexpr std::chrono::milliseconds kLongestPoll{250};
constexpr std::chrono::milliseconds kShortestTurn{1};
// What the reader of one device's announcements holds, whatever it writes there: one name is
// all a device announces.
constexpr std::int32_t kMostAnnouncementsHeld = 8;
// The devices whose announcements are read, past which a device is not heard of.
constexpr std::size_t kMostDevicesRead = 1024;
constexpr const char* kDevicesTopic = "svcreg_devices";
constexpr const char* kEntriesTopic = "svcreg_entry_slots";
// The batches of entries taken in a row before the bridge sees to its own work (this device's
// changes, its announcement, devices gone): a device that writes without pause cannot hold it.
constexpr int kMostTakesInARow = 16;
constexpr std::size_t kMostTakenInARow = kSamplesPerTake * kMostTakesInARow;
constexpr std::chrono::milliseconds kLongestDiscovery{1000};
// How often a device's readers are made at most: a name passed back and forth between
// participants costs DDS a deletion and a creation of the device's readers a second.
constexpr std::chrono::seconds kReadersMadeEvery{1};
// The removals of entries a writer of them makes before it is made anew, at the fewest (as many
// as there are entries, when more): DDS keeps each removal until every reader acknowledged it.
constexpr std::size_t kRemovalsPerEntryWriter = 4096;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// How often the bridge looks for devices gone without a word: a fraction of the lease.
dds_duration_t pollInterval(std::chrono::milliseconds lease) {
    return DDS_MSECS(std::min(lease / 4, kLongestPoll).count());
}

// Copies text into a bounded name of a sample; false when it does not fit.
template <std::size_t N>
bool copyName(char (&field)[N], const std::string& text) {
    if (text.size() >= N) return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// The entries, or creators, a reader of one device's holds: one past the registry's limit per
// device, so that the registry sees the device pass it, and says so.
std::int32_t heldPerReader(const FederationOptions& options) {
    return static_cast<std::int32_t>(std::min<std::size_t>(
               options.entriesPerDevice, std::numeric_limits<std::int32_t>::max() - 1)) +
           1;
}

// A device's allowance at its fullest: what its two readers hold.
double burstOf(const FederationOptions& options) {
    return 2.0 * heldPerReader(options);
}

// A QoS, deleted with its holder.
using Qos = std::unique_ptr<dds_qos_t, void (*)(dds_qos_t*)>;

Qos sampleQos() {
    Qos qos(dds_create_qos(), dds_delete_qos);
    dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
    dds_qset_durability(qos.get(), DDS_DURABILITY_TRANSIENT_LOCAL);
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, 1);
    return qos;
}

dds_entity_t createInPartition(dds_entity_t participant, const std::string& partition,
                               bool publishing) {
    const Qos qos(dds_create_qos(), dds_delete_qos);
    dds_qset_partition1(qos.get(), partition.c_str());
    return publishing ? dds_create_publisher(participant, qos.get(), nullptr)
                      : dds_create_subscriber(participant, qos.get(), nullptr);
}

// Unregistering an instance, or the writer's end, disposes it for every reader when
// autodispose; else the instance stays as long as another writer holds it.
dds_entity_t createWriter(dds_entity_t publisher, dds_entity_t topic, bool autodispose = true) {
    const Qos qos = sampleQos();
    dds_qset_writer_data_lifecycle(qos.get(), autodispose);
    return dds_create_writer(publisher, topic, qos.get(), nullptr);
}

// Holds at most most instances, each its last sample: a writer past them waits, and it alone.
dds_entity_t createReader(dds_entity_t subscriber, dds_entity_t topic, std::int32_t most) {
    const Qos qos = sampleQos();
    dds_qset_ignorelocal(qos.get(), DDS_IGNORELOCAL_PARTICIPANT);
    dds_qset_resource_limits(qos.get(), most, most, 1);
    return dds_create_reader(subscriber, topic, qos.get(), nullptr);
}

std::vector<std::string> partitionsOf(const dds_qos_t* qos) {
    uint32_t count = 0;
    char** names = nullptr;
    std::vector<std::string> partitions;
    if (!dds_qget_partition(qos, &count, &names)) return partitions;
    for (uint32_t i = 0; i < count; ++i) {
        partitions.emplace_back(names[i]);
        dds_free(names[i]);
    }
    dds_free(names);
    return partitions;
}

svcreg::ServiceRecord recordOf(const svcreg_federation_EntrySample& sample) {
    return svcreg::ServiceRecord(sample.ifc, sample.svcId, sample.channel);
}

bool sameEntry(const svcreg::ServiceRecord& a, const svcreg::ServiceRecord& b) {
    return a.ifc == b.ifc && a.svcId == b.svcId && a.channel == b.channel;
}

svcreg::RemoteCreator creatorOf(const svcreg_federation_CreatorSample& sample) {
    return {sample.invoker, sample.ifc, sample.protocol, sample.lib, sample.creatorFn};
}

svcreg::Outcome cannotStart(const char* what, dds_return_t code) {
    return svcreg::Outcome(svcreg::Status::CannotStart,
                           std::string("federation: cannot ") + what + ": " + dds_strretcode(code));
}

}  // namespace

FederationBridge::FederationBridge(FederationOptions options)
    : options(std::move(options)), queue([this] { wake(); }) {}

void FederationBridge::wake() {
    if (const dds_entity_t condition = wakeCondition; condition > 0)
        dds_set_guardcondition(condition, true);
}

FederationBridge::~FederationBridge() {
    stop();
}

svcreg::Outcome FederationBridge::join() {
    if (options.securityDirectory.empty()) {
        LOG_FAILURE(kModule, kSource,
                    "Warning: federating without DDS Security (--federation-insecure): devices "
                    "are not authenticated and entries travel unencrypted; any host on the "
                    "network can read them, and publish entries under any device's name");
    }
    const std::string config = participantConfig(options, CYCLONEDDS_SECURITY_PLUGINS);
    std::string error;
    if (!DomainShare::acquire(options.domain, config, error)) {
        return svcreg::Outcome(svcreg::Status::CannotStart, "federation: " + error);
    }
    joined = true;
    participant = dds_create_participant(options.domain, nullptr, nullptr);
    if (participant < 0) return cannotStart("join the DDS domain", participant);
    const dds_entity_t entries = dds_create_topic(participant, &svcreg_federation_EntrySample_desc,
                                                  kEntriesTopic, nullptr, nullptr);
    const dds_entity_t creators = dds_create_topic(
        participant, &svcreg_federation_CreatorSample_desc, "svcreg_creators", nullptr, nullptr);
    const dds_entity_t devices = dds_create_topic(participant, &svcreg_federation_DeviceSample_desc,
                                                  kDevicesTopic, nullptr, nullptr);
    if (entries < 0 || creators < 0 || devices < 0)
        return cannotStart("create the topics", std::min({entries, creators, devices}));
    const dds_entity_t publisher =
        createInPartition(participant, devicePartition(options.device), true);
    entryPublisher = publisher;
    entryWriter = createWriter(publisher, entries, false);
    creatorWriter = createWriter(publisher, creators);
    deviceWriter = createWriter(publisher, devices);
    entryTopic = entries;
    creatorTopic = creators;
    deviceTopic = devices;
    publicationReader =
        dds_create_reader(participant, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
    wakeCondition = dds_create_guardcondition(participant);
    waitset = dds_create_waitset(participant);
    for (const dds_entity_t entity : {entryWriter, creatorWriter, deviceWriter, publicationReader,
                                      wakeCondition.load(), waitset}) {
        if (entity == DDS_RETCODE_NOT_ALLOWED_BY_SECURITY) {
            return svcreg::Outcome(svcreg::Status::CannotStart,
                                   "federation: the permissions of --federation-security do not "
                                   "let this device write in the DDS partition '" +
                                       devicePartition(options.device) +
                                       "': is --device its certificate's name?");
        }
        if (entity < 0) return cannotStart("create the readers and writers", entity);
    }
    dds_instance_handle_t self = 0;
    dds_get_instance_handle(participant, &self);
    std::random_device random;
    ownClaim = NameClaim{nowNs(), (std::uint64_t{random()} << 32) | random(), self};
    dds_waitset_attach(waitset, dds_create_readcondition(publicationReader, DDS_ANY_STATE), 0);
    dds_waitset_attach(waitset, wakeCondition, 0);
    return svcreg::Outcome();
}

// Listens for the announcements of the devices already there, for a while as discovery takes;
// when one holds this name, waits up to the lease for it to go (a device restarted under its
// name comes back before its old lease runs out).
svcreg::Outcome FederationBridge::claimName() {
    const auto discovered =
        std::chrono::steady_clock::now() + std::min(options.lease / 2, kLongestDiscovery);
    const auto givenUp = discovered + options.lease;
    while (std::chrono::steady_clock::now() < givenUp) {
        dds_waitset_wait(waitset, nullptr, 0, pollInterval(options.lease));
        takeDevices();
        forgetGoneDevices();
        if (std::chrono::steady_clock::now() >= discovered &&
            peers.claimsOf(options.device).empty()) {
            return svcreg::Outcome();
        }
    }
    return svcreg::Outcome(svcreg::Status::Refused,
                           "federation: another live device holds the name '" + options.device +
                               "': give this one another with --device");
}

// Listens for the other devices' links on the federated interface's address, and hands the
// gateway the way to send over them.
svcreg::Outcome FederationBridge::link(svcreg::DeviceCalls& deviceCalls) {
    LinkOptions linkOptions;
    linkOptions.device = options.device;
    linkOptions.securityDirectory = options.securityDirectory;
    linkOptions.address = interfaceAddress(options.interface);
    linkOptions.port = options.callPort;
    linkOptions.lease = options.lease;
    if (linkOptions.address.empty()) {
        return svcreg::Outcome(svcreg::Status::CannotStart,
                               "federation: the interface '" + options.interface +
                                   "' has no IPv4 address for the links between devices");
    }
    links = std::make_unique<DeviceLinks>(linkOptions);
    std::string error;
    if (!links->start(deviceCalls, error)) {
        return svcreg::Outcome(svcreg::Status::CannotStart, "federation: links: " + error);
    }
    DeviceLinks* sender = links.get();
    const auto send = [sender](const std::string& device, svcreg::DeviceMessage message,
                               const std::string& share) {
        return sender->send(device, std::move(message), share);
    };
    if (!deviceCalls.carryOver(send, error)) {
        return svcreg::Outcome(svcreg::Status::CannotStart, "federation: " + error);
    }
    return svcreg::Outcome();
}

svcreg::Outcome FederationBridge::start(svcreg::RemoteDevices& remoteDevices,
                                        svcreg::DeviceCalls& deviceCalls) {
    if (svcreg::Outcome joining = join(); !joining) return joining;
    // The links first: the announcements the name's claim takes tell them where the others'
    // links listen, which a device would otherwise learn only at their next announcement.
    if (svcreg::Outcome linked = link(deviceCalls); !linked) return linked;
    if (svcreg::Outcome claimed = claimName(); !claimed) return claimed;
    // The others' entries and creators are read once the name is this device's.
    registry = &remoteDevices;
    for (const svcreg::PeerDevice& peer : peers.report()) {
        if (peers.holderOf(peer.name) != 0) readersOf(peer.name);
    }
    announce();
    registry->reportDevices(options.device, [this] { return peers.report(); });
    registry->watchLocal(&queue);
    registry->watchRetake([this](const std::string& device) {
        {
            svcreg::MutexLock hold(retakeMutex);
            retakesAsked.insert(device);
        }
        wake();
    });
    thread = std::thread(&FederationBridge::run, this);
    LOG_TRACE(kModule, kSource, 3,
              "Federating as device '%s' in DDS domain %u on %s, links for calls on port %u",
              options.device.c_str(), options.domain, options.interface.c_str(),
              unsigned{links->port()});
    return svcreg::Outcome();
}

void FederationBridge::stop() {
    if (thread.joinable()) {
        stopping = true;
        dds_set_guardcondition(wakeCondition, true);
        thread.join();
    }
    if (links) links->stop();
    const dds_entity_t leaving = std::exchange(participant, 0);
    wakeCondition = 0;
    if (leaving > 0) dds_delete(leaving);
    if (std::exchange(joined, false)) DomainShare::release(options.domain);
}

// A turn at most every kShortestTurn: samples that come one by one (a device announcing itself
// without pause) wake the bridge no more often than that, and wait to be taken together.
void FederationBridge::run() {
    while (!stopping) {
        const auto turn = std::chrono::steady_clock::now() + kShortestTurn;
        serveOnce();
        std::this_thread::sleep_until(turn);
    }
}

void FederationBridge::serveOnce() {
    dds_waitset_wait(waitset, nullptr, 0, pollInterval(options.lease));
    bool woken = false;
    dds_take_guardcondition(wakeCondition, &woken);
    publishChanges();
    if (!yielded && std::chrono::steady_clock::now() >= nextAnnouncement) announce();
    retireEntryWriter();
    takeDevices();
    takeAllChanges();
    forgetGoneDevices();
    retakeIfAsked();
}

void FederationBridge::publishChanges() {
    std::size_t lost = 0;
    std::vector<svcreg::RemoteCreator> creators;
    const LocalEntryQueue::Changes changes = queue.take(creators, lost);
    if (lost != 0) {
        LOG_FAILURE(kModule, kSource,
                    "%zu changes of this device's entries and creators not published: the bridge "
                    "fell behind",
                    lost);
    }
    if (yielded) return;
    for (const svcreg::RemoteCreator& creator : creators) writeCreator(creator);
    const std::size_t before = published.size();
    for (const auto& [key, present] : changes) writeEntry(key, present);
    if (published.size() != before) announce();
    renewEntryWriter();
}

bool FederationBridge::sampleOf(const LocalEntryQueue::Key& key,
                                svcreg_federation_EntrySample& sample) const {
    const auto& [ifc, channel, svcId] = key;
    sample.svcId = svcId;
    return copyName(sample.device, options.device) && copyName(sample.ifc, ifc) &&
           copyName(sample.channel, channel);
}

// An entry goes in a slot, its instance. Its removal frees the last slot: the entry that held it
// is written in the removed one's first, where a reader of the first slots alone gets it, and
// where a reader of both has it before the last slot goes (so that it is never missing there);
// then the last slot is disposed and unregistered (in the writer it replaced too, while that one
// is there). It is disposed with its data, which readers' filters see: a removal of the key alone
// passes every filter, and a reader without room for the instance would hold it, and every later
// change of this device behind it, unacknowledged.
void FederationBridge::writeEntry(const LocalEntryQueue::Key& key, bool present) {
    svcreg_federation_EntrySample sample{};
    if (!sampleOf(key, sample)) {
        logRefusal(options.device,
                   "an entry of " + std::get<0>(key) + " not published: a name past 255 bytes");
        return;
    }
    if (present) {
        if (const std::optional<std::uint32_t> slot = published.add(key)) {
            sample.slot = *slot;
            dds_write(entryWriter, &sample);
        }
    } else if (const std::optional<EntrySlots::Removal> removal = published.remove(key)) {
        if (removal->moved) {
            sampleOf(*removal->moved, sample);
            sample.slot = removal->slot;
            dds_write(entryWriter, &sample);
        }
        sample.slot = removal->freed;
        dds_writedispose(entryWriter, &sample);
        dds_unregister_instance(entryWriter, &sample);
        if (retiredWriter != 0) dds_unregister_instance(retiredWriter, &sample);
        ++removalsWritten;
    }
}

// Past its share of removals, and when the writer it last replaced is gone, the entries' writer
// is made anew: the new one writes every entry in its slot, and the old one goes once every
// reader acknowledged all it wrote (retireEntryWriter), and with it what DDS kept of its
// removals, which a reader that never acknowledges (any device may make one) would otherwise
// have this daemon keep for good. Rewriting the entries costs the readers no more than the
// removals did.
void FederationBridge::renewEntryWriter() {
    if (retiredWriter != 0 ||
        removalsWritten < std::max(kRemovalsPerEntryWriter, published.size())) {
        return;
    }
    const dds_entity_t renewed = createWriter(entryPublisher, entryTopic, false);
    if (renewed < 0) return;
    retiredWriter = std::exchange(entryWriter, renewed);
    retiredAt = std::chrono::steady_clock::now();
    removalsWritten = 0;
    for (const auto& [key, slot] : published.held()) {
        svcreg_federation_EntrySample sample{};
        sampleOf(key, sample);
        sample.slot = slot;
        dds_write(entryWriter, &sample);
    }
}

// The writer replaced goes once every reader acknowledged what it wrote, or after twice the
// lease, past which a device that did not has lost this one (and reads its entries anew when it
// hears of it again), unless it never acknowledges: it then goes at once all the same, as every
// writer does (no linger, ParticipantConfig). It goes without disposing what it held, which the
// new one holds.
void FederationBridge::retireEntryWriter() {
    if (retiredWriter == 0) return;
    const bool acknowledged = dds_wait_for_acks(retiredWriter, 0) == DDS_RETCODE_OK;
    if (!acknowledged && std::chrono::steady_clock::now() < retiredAt + 2 * options.lease) return;
    dds_delete(std::exchange(retiredWriter, 0));
}

// A creator is never removed but with its device: the writer's end disposes it.
void FederationBridge::writeCreator(const svcreg::RemoteCreator& creator) {
    svcreg_federation_CreatorSample sample{};
    if (!copyName(sample.device, options.device) || !copyName(sample.ifc, creator.ifc) ||
        !copyName(sample.protocol, creator.protocol) || !copyName(sample.lib, creator.lib) ||
        !copyName(sample.creatorFn, creator.creatorFn)) {
        logRefusal(options.device,
                   "a creator of " + creator.ifc + " not published: a name past 255 bytes");
        return;
    }
    sample.invoker = creator.invoker;
    dds_write(creatorWriter, &sample);
}

void FederationBridge::announce() {
    nextAnnouncement = std::chrono::steady_clock::now() + options.lease / 2;
    svcreg_federation_DeviceSample sample{};
    copyName(sample.name, options.device);
    sample.startNs = ownClaim.startNs;
    sample.nonce = ownClaim.nonce;
    sample.leaseMs = options.lease.count();
    sample.entries = static_cast<std::uint32_t>(published.size());
    if (links) {
        copyName(sample.linkAddress, links->address());
        sample.linkPort = links->port();
    }
    dds_write(deviceWriter, &sample);
}

const FederationBridge::Writer* FederationBridge::writerOf(int reader, std::uint64_t publication) {
    if (const auto known = writers.find(publication); known != writers.end()) return &known->second;
    dds_builtintopic_endpoint_t* endpoint = dds_get_matched_publication_data(reader, publication);
    if (endpoint == nullptr) return nullptr;
    if (writers.size() >= kMostWriters) writers.clear();
    Writer writer{partitionsOf(endpoint->qos), endpoint->participant_instance_handle};
    dds_builtintopic_free_endpoint(endpoint);
    return &writers.emplace(publication, std::move(writer)).first->second;
}

void FederationBridge::takeDevices() {
    takePublications();
    for (const auto& [device, announcements] : announcementReaders) {
        const dds_entity_t reader = announcements.reader;
        void* samples[kSamplesPerTake] = {};
        dds_sample_info_t infos[kSamplesPerTake];
        const dds_return_t taken =
            dds_take(reader, samples, infos, kSamplesPerTake, kSamplesPerTake);
        for (dds_return_t i = 0; i < taken; ++i) takeAnnouncement(reader, samples[i], infos[i]);
        if (taken > 0) dds_return_loan(reader, samples, taken);
    }
}

// The writers of announcements DDS discovered: each in a device's partition has that device's
// announcements read, for as long as one is there.
void FederationBridge::takePublications() {
    void* samples[kSamplesPerTake] = {};
    dds_sample_info_t infos[kSamplesPerTake];
    const dds_return_t taken =
        dds_take(publicationReader, samples, infos, kSamplesPerTake, kSamplesPerTake);
    for (dds_return_t i = 0; i < taken; ++i) {
        const auto& writer = *static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
        const dds_instance_handle_t publication = infos[i].instance_handle;
        forgetAnnouncer(publication);
        if (!infos[i].valid_data || std::strcmp(writer.topic_name, kDevicesTopic) != 0) continue;
        const std::string device = deviceOfPartitions(partitionsOf(writer.qos));
        if (!device.empty()) readAnnouncements(device, publication);
    }
    if (taken > 0) dds_return_loan(publicationReader, samples, taken);
}

// A reader of device's announcements in its partition alone, bounded: names other than its own
// that a device announces fill its reader only, and every device is still heard. A writer of a
// device past the bound is remembered (kMostWriters at most), and read once a reader goes.
void FederationBridge::readAnnouncements(const std::string& device,
                                         dds_instance_handle_t publication) {
    auto found = announcementReaders.find(device);
    if (found == announcementReaders.end() && announcementReaders.size() >= kMostDevicesRead) {
        logRefusal(device, "a device past the " + std::to_string(kMostDevicesRead) +
                               " whose announcements this one reads");
        if (announcers.size() < kMostWriters) announcers[publication] = device;
        return;
    }
    if (found == announcementReaders.end()) {
        Announcements announcements;
        announcements.subscriber = createInPartition(participant, devicePartition(device), false);
        announcements.reader =
            createReader(announcements.subscriber, deviceTopic, kMostAnnouncementsHeld);
        dds_waitset_attach(waitset, dds_create_readcondition(announcements.reader, DDS_ANY_STATE),
                           0);
        found = announcementReaders.emplace(device, announcements).first;
    }
    found->second.writers.insert(publication);
    announcers[publication] = device;
}

// A writer of announcements is gone, or has changed: once a device's partition has none left,
// its reader goes, and the room it took with it, which the writers of devices refused for want
// of it take. forgetGoneDevices then finds the claims it read gone too.
void FederationBridge::forgetAnnouncer(dds_instance_handle_t publication) {
    const auto announcer = announcers.find(publication);
    if (announcer == announcers.end()) return;
    const auto found = announcementReaders.find(announcer->second);
    announcers.erase(announcer);
    if (found == announcementReaders.end()) return;
    found->second.writers.erase(publication);
    if (!found->second.writers.empty()) return;
    dds_delete(found->second.subscriber);
    announcementReaders.erase(found);
    for (const auto& [waiting, device] : announcers) {
        const auto reader = announcementReaders.find(device);
        if (reader == announcementReaders.end() ? announcementReaders.size() < kMostDevicesRead
                                                : reader->second.writers.count(waiting) == 0) {
            readAnnouncements(device, waiting);  // changes no key of announcers
        }
    }
}

void FederationBridge::takeAnnouncement(dds_entity_t reader, const void* data,
                                        const dds_sample_info_t& info) {
    const auto& sample = *static_cast<const svcreg_federation_DeviceSample*>(data);
    if (!info.valid_data) return;  // a device gone: forgetGoneDevices finds which
    const Writer* writer = writerOf(reader, info.publication_handle);
    if (writer == nullptr || deviceOfPartitions(writer->partitions) != sample.name) {
        logRefusal(writer, "an announcement claiming device '" + std::string(sample.name) +
                               "' from outside its partition");
        return;
    }
    const Claimant claimant{NameClaim{sample.startNs, sample.nonce, writer->participant},
                            info.publication_handle, sample.leaseMs, sample.entries};
    const std::uint64_t heldBy = peers.holderOf(sample.name);
    if (!peers.announce(sample.name, claimant, nowMs())) {
        logRefusal(writer, "an announcement past the devices this one follows");
        return;
    }
    if (peers.holderOf(sample.name) != heldBy) passName(sample.name, heldBy != 0);
    if (registry != nullptr && sample.name == options.device &&
        !keepsName(ownClaim, peers.claimsOf(options.device))) {
        yieldName("a device started earlier holds the name");
    }
    if (sample.name != options.device && peers.mayPublish(sample.name, writer->participant)) {
        freeSlotsFrom(sample.name, sample.entries);
        if (links) announceLink(sample.name, sample);
    }
}

// A removal made while the device had no readers (made anew for a retake) never comes: the slot
// it freed is past the device's entries (EntrySlots), and the readers made since do not give it.
// One they gave stays, even past entries the device announced before it wrote it.
void FederationBridge::freeSlotsFrom(const std::string& device, std::uint32_t entries) {
    const auto found = deviceReaders.find(device);
    if (found == deviceReaders.end()) return;
    std::set<std::uint32_t>& unconfirmed = found->second.unconfirmed;
    for (auto slot = unconfirmed.lower_bound(entries); slot != unconfirmed.end();)
        fillSlot(device, *slot++, std::nullopt);  // which erases it from unconfirmed
}

// The participant that holds device's name changed, or none holds it now: what the one before
// published goes, with the readers that took it. New readers get what the holder, if any,
// publishes as it stands, since writers keep it for readers that come late, at the device's
// allowance as it was: a name claimed again and again brings in no more than the device's rate.
// takeAllChanges makes them.
void FederationBridge::passName(const std::string& device, bool wasHeld) {
    if (registry == nullptr || device == options.device) return;
    if (wasHeld) registry->dropDevice(device);
    if (const auto found = deviceReaders.find(device); found != deviceReaders.end()) {
        found->second.slots.clear();
        found->second.unconfirmed.clear();
    }
    closeReaders(device);
    if (peers.holderOf(device) != 0) readersOf(device);
}

// A device not paced yet starts with an allowance of all its readers hold: its entries and
// creators as they stand come in at once.
FederationBridge::DeviceReaders& FederationBridge::readersOf(const std::string& device) {
    const auto [found, added] = deviceReaders.try_emplace(device);
    if (added) {
        found->second.allowance = burstOf(options);
        found->second.filled = std::chrono::steady_clock::now();
    }
    return found->second;
}

// Cyclone DDS filters samples of data: a removal of the key alone passes, and may take the place
// of an instance the reader has no room for, which is why this device's writers dispose with data.
bool FederationBridge::inFirstSlots(const void* data, void* arg) {
    const auto& sample = *static_cast<const svcreg_federation_EntrySample*>(data);
    const auto& first = *static_cast<const FirstSlots*>(arg);
    return sample.slot < first.slots && first.device == sample.device;
}

// Readers in device's partition alone, each with its own bound: what one device keeps
// registered fills its readers only, never another's. The reader of entries takes only those in
// the device's first slots, as many as it holds: its topic is its own, for its filter.
void FederationBridge::openReaders(const std::string& device, DeviceReaders& readers) {
    readers.made = std::chrono::steady_clock::now();
    const std::int32_t most = heldPerReader(options);
    readers.firstSlots = FirstSlots{device, static_cast<std::uint32_t>(most)};
    readers.entryTopic = dds_create_topic(participant, &svcreg_federation_EntrySample_desc,
                                          kEntriesTopic, nullptr, nullptr);
    dds_set_topic_filter_and_arg(readers.entryTopic, inFirstSlots, &readers.firstSlots);
    readers.subscriber = createInPartition(participant, devicePartition(device), false);
    readers.entries = createReader(readers.subscriber, readers.entryTopic, most);
    readers.creators = createReader(readers.subscriber, creatorTopic, most);
    readers.entriesTaken = dds_create_readcondition(readers.entries, DDS_ANY_STATE);
    readers.creatorsTaken = dds_create_readcondition(readers.creators, DDS_ANY_STATE);
    if (readers.waiting) return;  // withinAllowance attaches them once it may
    dds_waitset_attach(waitset, readers.entriesTaken, 0);
    dds_waitset_attach(waitset, readers.creatorsTaken, 0);
}

// Takes the changes of each device whose name is held, making its readers when they are due;
// forgets the allowance of one whose name nobody holds once it is full again.
void FederationBridge::takeAllChanges() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = deviceReaders.begin(); it != deviceReaders.end();) {
        auto& [device, readers] = *it;
        const bool held = peers.holderOf(device) != 0;
        readers.subscriber != 0 ? takeChanges(device, readers) : fill(readers);
        // After the take, so that readers a retake closed are made anew at once, unless they
        // were made within the last second: an entry removed while a device has none is lost.
        if (readers.subscriber == 0 && held && now >= readers.made + kReadersMadeEvery)
            openReaders(device, readers);
        const bool forgotten =
            readers.subscriber == 0 && !held && readers.allowance >= burstOf(options);
        it = forgotten ? deviceReaders.erase(it) : std::next(it);
    }
}

// Takes the device's changes its allowance lets through, entries first. Readers asked to
// retake are made anew once they are empty: fewer taken than takeAll takes at most.
void FederationBridge::takeChanges(const std::string& device, DeviceReaders& readers) {
    if (!withinAllowance(device, readers)) return;
    const auto allowed = static_cast<std::size_t>(readers.allowance);
    const std::size_t entries = takeAll(readers.entries, &FederationBridge::takeEntry, allowed);
    const std::size_t creators =
        takeAll(readers.creators, &FederationBridge::takeCreator, allowed - entries);
    readers.allowance -= static_cast<double>(entries + creators);
    // A sample refused may be in the readers in place of the holder's of the same slot, and they
    // would take no later one of it: they are made anew, with the holder's entries as they stand.
    if (std::exchange(sampleRefused, false)) readers.retake = true;
    if (readers.retake && entries + creators < std::min(allowed, kMostTakenInARow))
        closeReaders(device);  // takeAllChanges makes them anew
}

// Fills the device's allowance for the time passed.
void FederationBridge::fill(DeviceReaders& readers) const {
    const auto now = std::chrono::steady_clock::now();
    const double passed = std::chrono::duration<double>(now - readers.filled).count();
    readers.allowance = std::min(
        burstOf(options),
        readers.allowance + passed * static_cast<double>(options.changesPerDevicePerSecond));
    readers.filled = now;
}

// Under one change, the device's changes wait, and its readers' conditions leave the wait set,
// which would otherwise return at once for as long as they hold anything: the bridge's own
// wait, a fraction of the lease, brings it back here.
bool FederationBridge::withinAllowance(const std::string& device, DeviceReaders& readers) {
    fill(readers);
    const bool within = readers.allowance >= 1.0;
    if (within == !readers.waiting) return within;
    readers.waiting = !within;
    for (const dds_entity_t condition : {readers.entriesTaken, readers.creatorsTaken}) {
        within ? dds_waitset_attach(waitset, condition, 0) : dds_waitset_detach(waitset, condition);
    }
    if (!within) {
        logRefusal(device, "changes past the rate of " +
                               std::to_string(options.changesPerDevicePerSecond) +
                               " a second for now: they wait in DDS, each entry's last kept");
    }
    return within;
}

// Deleting the subscriber deletes its readers, and their conditions leave the wait set. The
// device's allowance stays, until takeAllChanges finds it full.
void FederationBridge::closeReaders(const std::string& device) {
    const auto found = deviceReaders.find(device);
    if (found == deviceReaders.end() || found->second.subscriber == 0) return;
    dds_delete(found->second.subscriber);
    dds_delete(found->second.entryTopic);
    DeviceReaders& readers = found->second;
    readers.unconfirmed.clear();
    for (const auto& held : readers.slots) readers.unconfirmed.insert(held.first);
    readers.subscriber = readers.entryTopic = readers.entries = readers.creators = 0;
    readers.entriesTaken = readers.creatorsTaken = 0;
    readers.retake = false;
}

// Where the link of device, which holds its name, listens.
void FederationBridge::announceLink(const std::string& device,
                                    const svcreg_federation_DeviceSample& sample) {
    in_addr address;
    if (sample.linkPort == 0 || inet_pton(AF_INET, sample.linkAddress, &address) != 1) {
        logRefusal(device, "an announcement of a link at no IPv4 address and port");
        return;
    }
    // A lease no daemon takes is taken as this one's.
    const std::chrono::milliseconds lease(sample.leaseMs);
    links->announced(device, sample.linkAddress, sample.linkPort,
                     lease >= kShortestLease && lease <= kLongestLease ? lease : options.lease);
}

std::size_t FederationBridge::takeAll(dds_entity_t reader,
                                      void (FederationBridge::*take)(dds_entity_t reader,
                                                                     const void* sample,
                                                                     const dds_sample_info_t& info),
                                      std::size_t most) {
    void* samples[kSamplesPerTake] = {};
    dds_sample_info_t infos[kSamplesPerTake];
    most = std::min(most, kMostTakenInARow);
    std::size_t total = 0;
    for (;;) {
        const auto batch =
            static_cast<std::uint32_t>(std::min<std::size_t>(kSamplesPerTake, most - total));
        const dds_return_t taken = batch == 0 ? 0 : dds_take(reader, samples, infos, batch, batch);
        for (dds_return_t i = 0; i < taken; ++i) (this->*take)(reader, samples[i], infos[i]);
        if (taken <= 0) return total;
        dds_return_loan(reader, samples, taken);
        total += static_cast<std::size_t>(taken);
        // What is left keeps the reader's condition set: the next wait returns at once.
        if (static_cast<std::uint32_t>(taken) < batch) return total;
    }
}

const FederationBridge::Writer* FederationBridge::speakerFor(dds_entity_t reader,
                                                             const std::string& device,
                                                             const dds_sample_info_t& info,
                                                             const char* what) {
    const Writer* writer = writerOf(reader, info.publication_handle);
    if (writer == nullptr || !writerSpeaksFor(options.device, device, writer->partitions)) {
        logRefusal(writer, std::string(what) + " claiming device '" + device +
                               "' from outside its partition");
        return nullptr;
    }
    peers.heard(device, nowMs());
    return writer;
}

void FederationBridge::takeEntry(dds_entity_t reader, const void* data,
                                 const dds_sample_info_t& info) {
    const auto& sample = *static_cast<const svcreg_federation_EntrySample*>(data);
    // A writer gone without disposing: its device gone (its lease ran out, or it left), which
    // forgetGoneDevices handles as a whole, or one its device made anew, which holds the entry.
    if (!info.valid_data && info.instance_state != DDS_IST_NOT_ALIVE_DISPOSED) return;
    // Data too, when the entry was written and removed before it was taken (as a device over
    // its rate has its changes wait): the reader keeps the data, disposed.
    const bool removed = info.instance_state == DDS_IST_NOT_ALIVE_DISPOSED;
    const Writer* writer = speakerFor(reader, sample.device, info, "an entry");
    // Nor a removal: the slot it names may be the holder's, one that two writers share.
    const bool holders = writer != nullptr && peers.mayPublish(sample.device, writer->participant);
    if (writer != nullptr && !holders)
        logRefusal(sample.device, "an entry from a device that does not hold the name");
    if (!holders) {
        sampleRefused = true;
        return;
    }
    fillSlot(sample.device, sample.slot,
             removed ? std::nullopt : std::optional<svcreg::ServiceRecord>(recordOf(sample)));
}

// The slots of a device that hold entries are at most what its reader of entries holds: it takes
// no others. An entry a removal moved to another slot is in both until the change of the one it
// left is taken too, in whichever order the reader gives them: it stays while one holds it.
void FederationBridge::fillSlot(const std::string& device, std::uint32_t slot,
                                const std::optional<svcreg::ServiceRecord>& entry) {
    DeviceReaders& readers = readersOf(device);
    readers.unconfirmed.erase(slot);
    auto& slots = readers.slots;
    const auto held = slots.find(slot);
    const bool kept = held != slots.end() && entry && sameEntry(held->second, *entry);
    if (held != slots.end() && !kept) {
        const svcreg::ServiceRecord left = std::move(held->second);
        slots.erase(held);
        const bool elsewhere = std::any_of(slots.begin(), slots.end(), [&](const auto& other) {
            return sameEntry(other.second, left);
        });
        if (!elsewhere) registry->removeRemote(device, left);
    }
    if (!entry) return;
    slots.emplace(slot, *entry);
    registry->addRemote(device, *entry);  // the registry logs refusals
}

void FederationBridge::takeCreator(dds_entity_t reader, const void* data,
                                   const dds_sample_info_t& info) {
    const auto& sample = *static_cast<const svcreg_federation_CreatorSample*>(data);
    // A creator disposed goes only with its device, which forgetGoneDevices drops.
    if (!info.valid_data) return;
    const Writer* writer = speakerFor(reader, sample.device, info, "a creator");
    if (writer == nullptr) return;
    if (peers.mayPublish(sample.device, writer->participant)) {
        registry->addRemoteCreator(sample.device, creatorOf(sample));  // the registry logs refusals
    } else {
        logRefusal(sample.device, "a creator from a device that does not hold the name");
    }
}

void FederationBridge::forgetGoneDevices() {
    const auto stillThere = [this](const std::string& device, std::uint64_t publication) {
        const auto reader = announcementReaders.find(device);
        dds_builtintopic_endpoint_t* endpoint =
            reader == announcementReaders.end()
                ? nullptr
                : dds_get_matched_publication_data(reader->second.reader, publication);
        if (endpoint == nullptr) return writers.erase(publication), false;
        dds_builtintopic_free_endpoint(endpoint);
        return true;
    };
    for (const std::string& device : peers.forgetGone(stillThere)) {
        passName(device, true);
        if (links && device != options.device) links->dropped(device);
    }
}

// The registry asked for entries again (every device's when a policy was reloaded, a device's
// when room was made under a limit it was refused for): at most once a second, since each
// retake offers it all the entries and creators of the devices asked for.
void FederationBridge::retakeIfAsked() {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextRetake) return;
    std::set<std::string> asked;
    {
        svcreg::MutexLock hold(retakeMutex);
        asked.swap(retakesAsked);
    }
    if (asked.empty()) return;
    nextRetake = now + std::chrono::seconds(1);
    readEntriesAgain(asked);
}

// Readers made anew get every holder's entries and creators as they stand, since writers keep
// them for readers that come late: those refused before are offered again, and those already
// here change nothing. Each device's are made anew once takeChanges has taken all they hold,
// within the device's allowance: no removal waiting in them is lost, and a retake takes no
// more of a device's changes than its rate lets through. A removal made while a device's
// readers are made anew is lost, which is why only the devices asked for are retaken.
void FederationBridge::readEntriesAgain(const std::set<std::string>& devices) {
    const bool every = devices.count(std::string()) != 0;
    for (auto& [device, readers] : deviceReaders) {
        if (every || devices.count(device) != 0) readers.retake = readers.subscriber != 0;
    }
}

void FederationBridge::yieldName(const std::string& reason) {
    if (std::exchange(yielded, true)) return;
    LOG_FAILURE(kModule, kSource,
                "Another device claims the name '%s' and %s: this one stops federating, withdraws "
                "its entries from the other devices, and keeps serving here",
                options.device.c_str(), reason.c_str());
    // Deleting the writers disposes each creator and the announcement for every reader, and
    // leaves each entry without a writer: the claim's end drops them.
    dds_delete(entryWriter);
    if (retiredWriter != 0) dds_delete(std::exchange(retiredWriter, 0));
    dds_delete(creatorWriter);
    dds_delete(deviceWriter);
    published.clear();
}

// Named by the device whose partition the writer is in (what DDS Security vouches for), never
// by what a sample claims; once a second per device at most.
void FederationBridge::logRefusal(const Writer* writer, const std::string& reason) {
    logRefusal(
        writer == nullptr ? std::string("(unknown)") : deviceOfPartitions(writer->partitions),
        reason);
}

void FederationBridge::logRefusal(const std::string& device, const std::string& reason) {
    refusals.refused("device '" + device + "'", reason);
}
