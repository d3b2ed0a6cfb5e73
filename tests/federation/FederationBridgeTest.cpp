// Two bridges on two DDS participants over the loopback interface, by unicast (no multicast),
// each beside a registry served as the daemon serves it and a gateway that records: what one device
// registers and removes, and the creators it takes, reach the other, and so do messages, over the
// link each announces; a name a live device holds is refused to another.
#include <gtest/gtest.h>

#include <dds/dds.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <vector>

#include "DaemonUnderTest.h"
#include "FederationBridge.h"
#include "FederationTypes.h"
#include "LogCapture.h"
#include "PipelineUnderTest.h"
#include "RecordingDeviceCalls.h"
#include "RegistryTextProtocol.h"
#include "RegistryViews.h"
#include "RemoteDevicesHost.h"

namespace {

using namespace std::chrono_literals;

// A registry served as the daemon serves it, and the view of it a bridge is given.
struct Registry {
    svcreg::PipelineUnderTest served;
    svcreg::RemoteDevicesHost devices{*served.registry};

    svcreg::RegistryPipeline& pipeline = *served.registry;

    // True once the details list reads expected, "(IFC,ID,CHANNEL@DEVICE)" each, within ten
    // seconds.
    bool lists(const std::string& expected) {
        return eventually([&] {
            std::string listing;
            RegistryText::appendDetailsList(listing, pipeline.getSvcDetailsList());
            return listing == expected;
        });
    }
};

// Options of a device on the loopback interface, in a domain of this test process's own, so
// that tests run beside it elsewhere on the machine do not meet it.
FederationOptions onLoopback(const std::string& device) {
    FederationOptions options;
    options.interface = "lo";
    options.device = device + "-" + std::to_string(getpid());
    options.domain = 1 + getpid() % 230;
    options.peers = {"127.0.0.1"};
    options.lease = 400ms;
    options.insecure = true;
    return options;
}

// A device of this process's own, which the bridges' readers hear, writing in its partition:
// entries of com.ex.Rogue at "r", and its claim of its name (or of another). A write that a
// reader of this process has no room for fails at once.
class RogueDevice {
public:
    RogueDevice(std::uint32_t domain, const std::string& name)
        : name(name), participant(dds_create_participant(domain, nullptr, nullptr)) {
        dds_qos_t* qos = dds_create_qos();
        dds_qset_partition1(qos, ("svcreg." + name).c_str());
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, 0);
        dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
        const dds_entity_t publisher = dds_create_publisher(participant, qos, nullptr);
        const auto writerOf = [&](const dds_topic_descriptor_t* type, const char* topic) {
            return dds_create_writer(publisher,
                                     dds_create_topic(participant, type, topic, nullptr, nullptr),
                                     qos, nullptr);
        };
        entries = writerOf(&svcreg_federation_EntrySample_desc, "svcreg_entry_slots");
        devices = writerOf(&svcreg_federation_DeviceSample_desc, "svcreg_devices");
        dds_delete_qos(qos);
    }
    ~RogueDevice() { dds_delete(participant); }

    dds_return_t write(svcreg::ServiceId id) {
        const svcreg_federation_EntrySample entry = entryOf(id);
        return dds_write(entries, &entry);
    }
    dds_return_t remove(svcreg::ServiceId id) {
        const svcreg_federation_EntrySample entry = entryOf(id);
        return dds_unregister_instance(entries, &entry);
    }
    dds_return_t dispose(svcreg::ServiceId id) {
        const svcreg_federation_EntrySample entry = entryOf(id);
        return dds_dispose(entries, &entry);
    }
    // Whether a reader, the bridge's, matched its writer of entries.
    bool heard() const {
        dds_publication_matched_status_t status{};
        return dds_get_publication_matched_status(entries, &status) == 0 &&
               status.current_count > 0;
    }
    // The readers of its entries matched so far, gone or not.
    std::uint32_t readersMatched() const {
        dds_publication_matched_status_t status{};
        dds_get_publication_matched_status(entries, &status);
        return status.total_count;
    }
    // Waits until the readers matched have every entry written.
    dds_return_t delivered() const { return dds_wait_for_acks(entries, DDS_SECS(10)); }
    dds_return_t claim(const std::string& claimed = std::string()) {
        svcreg_federation_DeviceSample sample{};
        std::snprintf(sample.name, sizeof(sample.name), "%s",
                      (claimed.empty() ? name : claimed).c_str());
        sample.startNs = 1;
        sample.leaseMs = 400;
        return dds_write(devices, &sample);
    }

private:
    svcreg_federation_EntrySample entryOf(svcreg::ServiceId id) const {
        svcreg_federation_EntrySample entry{};
        std::snprintf(entry.device, sizeof(entry.device), "%s", name.c_str());
        std::snprintf(entry.ifc, sizeof(entry.ifc), "com.ex.Rogue");
        std::snprintf(entry.channel, sizeof(entry.channel), "r");
        entry.svcId = id;
        entry.slot = static_cast<std::uint32_t>(id - 1);  // a device's slots start at 0
        return entry;
    }

    const std::string name;
    const dds_entity_t participant;
    dds_entity_t entries = 0;
    dds_entity_t devices = 0;
};

// A reader of a device's entries, in its partition, that takes none: it holds every instance
// written.
class Onlooker {
public:
    Onlooker(std::uint32_t domain, const std::string& device)
        : participant(dds_create_participant(domain, nullptr, nullptr)) {
        dds_qos_t* qos = dds_create_qos();
        dds_qset_partition1(qos, ("svcreg." + device).c_str());
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
        dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
        reader =
            dds_create_reader(dds_create_subscriber(participant, qos, nullptr),
                              dds_create_topic(participant, &svcreg_federation_EntrySample_desc,
                                               "svcreg_entry_slots", nullptr, nullptr),
                              qos, nullptr);
        dds_delete_qos(qos);
    }
    ~Onlooker() { dds_delete(participant); }

    // The instances it holds in states.
    std::size_t instances(std::uint32_t states) const {
        constexpr std::uint32_t most = 4096;
        std::vector<void*> samples(most);
        std::vector<dds_sample_info_t> infos(most);
        const dds_return_t read = dds_read_mask(reader, samples.data(), infos.data(), most, most,
                                                DDS_ANY_SAMPLE_STATE | DDS_ANY_VIEW_STATE | states);
        std::set<dds_instance_handle_t> seen;
        for (dds_return_t i = 0; i < read; ++i) seen.insert(infos[i].instance_handle);
        if (read > 0) dds_return_loan(reader, samples.data(), read);
        return seen.size();
    }
    // The writers it matched, now and ever.
    dds_subscription_matched_status_t writers() const {
        dds_subscription_matched_status_t status{};
        dds_get_subscription_matched_status(reader, &status);
        return status;
    }

private:
    const dds_entity_t participant;
    dds_entity_t reader = 0;
};

}  // namespace

TEST(FederationBridge, CarriesEntriesAndMessagesRefusesAHeldNameAndDropsADeviceThatLeaves) {
    const FederationOptions optionsA = onLoopback("a"), optionsB = onLoopback("b");
    std::printf("DDS domain %u\n", optionsA.domain);
    const LogCapture log(2);
    Registry registryA, registryB;
    RecordingDeviceCalls callsA, callsB;
    FederationBridge bridgeA(optionsA), bridgeB(optionsB);
    ASSERT_TRUE(registryA.pipeline.registerSvcInterface("com.ex.Camera com.ex.Light", "cam"));
    ASSERT_TRUE(
        registryA.pipeline.registerInvokerInfo("libcam.so", "makeInvoker", "com.ex.Camera", "rpc"));
    ASSERT_TRUE(bridgeA.start(registryA.devices, callsA));
    // B joins late, and gets what A published before.
    ASSERT_TRUE(bridgeB.start(registryB.devices, callsB));
    const std::string light = "(com.ex.Light,1,cam@" + optionsA.device + ")";
    EXPECT_TRUE(registryB.lists("(com.ex.Camera,1,cam@" + optionsA.device + ")," + light));
    const auto invokerOnB = [&] { return invokerOf(registryB.pipeline, "com.ex.Camera", "rpc"); };
    EXPECT_TRUE(eventually([&] { return invokerOnB() == "libcam.so,makeInvoker"; }));

    ASSERT_TRUE(registryA.pipeline.deregisterSvcInterfaces("com.ex.Camera", "cam"));
    EXPECT_TRUE(registryB.lists(light));
    // A device does not take back its own entries, and B heard of A.
    EXPECT_TRUE(registryA.lists("(com.ex.Light,1,cam)"));
    std::string name;
    std::vector<svcreg::PeerDevice> peers;
    ASSERT_TRUE(registryB.devices.devices(name, peers));
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0].name, optionsA.device);
    EXPECT_TRUE(peers[0].alive);
    EXPECT_EQ(peers[0].leaseMs, 400);
    // A's name, held by A, is refused to another bridge, which never joins its registry.
    Registry registryOfLatecomer;
    RecordingDeviceCalls callsOfLatecomer;
    FederationBridge latecomer(optionsA);
    const svcreg::Outcome refused = latecomer.start(registryOfLatecomer.devices, callsOfLatecomer);
    EXPECT_EQ(refused.status(), svcreg::Status::Refused);
    EXPECT_TRUE(contains(refused.reason(), "'" + optionsA.device + "'")) << refused.reason();
    EXPECT_FALSE(registryOfLatecomer.devices.devices(name, peers));
    // B reaches A at the address and port A announced.
    svcreg::DeviceMessage close;
    close.kind = svcreg::DeviceMessage::Kind::Close;
    close.tunnel = 7;
    ASSERT_TRUE(callsB.send(optionsA.device, close));
    EXPECT_TRUE(eventually([&] {
        const auto received = callsA.receivedSoFar();
        return received.size() == 1 && received[0].first == optionsB.device &&
               received[0].second.tunnel == 7;
    }));

    // An entry B's policy refuses comes in once a policy that allows it is in force.
    registryB.served.gate.replacePolicy(
        svcreg::policyOf("allow device:nobody register com.none.*\n"));
    ASSERT_TRUE(registryA.pipeline.registerSvcInterface("com.ex.Fan", "fan"));
    ASSERT_TRUE(eventually([&] { return log.holding("Refused an entry of device 'a-") != 0; }));
    registryB.served.gate.replacePolicy(svcreg::AccessPolicy(kUsers));
    registryB.pipeline.policyReplaced();
    EXPECT_TRUE(registryB.lists("(com.ex.Fan,2,fan@" + optionsA.device + ")," + light));

    // Its entries and its creators go with it.
    bridgeA.stop();
    EXPECT_TRUE(registryB.lists(""));
    EXPECT_TRUE(eventually([&] { return invokerOnB() == "none"; }));
    EXPECT_TRUE(eventually([&] { return !callsB.lostSoFar().empty(); }));
}

// A device that registers and removes entry after entry writes each in the slot, the DDS
// instance, of one it removed: DDS keeps something of every instance written for as long as the
// domain, so that an instance per entry ever registered grew the daemon's memory with each
// registration (by 300 bytes with no reader, 1.4 KiB with one). Past its share of removals
// (4,096, or as many as it holds entries) its writer of entries is made anew, and the one it
// replaced goes once its readers acknowledged what it wrote, and with it what DDS kept of its
// removals: a reader that never acknowledges (any device may make one) had the daemon keep every
// removal for good (some 900 bytes each). The entries stay, held by the new writer.
TEST(FederationBridge, WritesEntriesInTheSlotsOfThoseRemovedAndItsWriterAnewPastItsRemovals) {
    const FederationOptions options = onLoopback("a");
    Registry registry;
    RecordingDeviceCalls calls;
    FederationBridge bridge(options);
    ASSERT_TRUE(bridge.start(registry.devices, calls));
    const Onlooker onlooker(options.domain, options.device);
    for (const char* ifc : {"com.ex.A", "com.ex.B", "com.ex.C"}) {
        ASSERT_TRUE(registry.pipeline.registerSvcInterface(ifc, "ch"));
        ASSERT_TRUE(eventually([&] { return onlooker.instances(DDS_ALIVE_INSTANCE_STATE) == 1; }));
        ASSERT_TRUE(registry.pipeline.deregisterSvcInterfaces(ifc, "ch"));
        ASSERT_TRUE(eventually([&] { return onlooker.instances(DDS_ALIVE_INSTANCE_STATE) == 0; }));
    }
    EXPECT_EQ(onlooker.instances(DDS_ANY_INSTANCE_STATE), 1u);

    ASSERT_TRUE(registry.pipeline.registerSvcInterface("com.ex.Kept", "kept"));
    std::string names = "com.ex.I0";
    for (int i = 1; i < 1024; ++i) names += " com.ex.I" + std::to_string(i);
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(registry.pipeline.registerSvcInterface(names, "ch"));
        ASSERT_TRUE(
            eventually([&] { return onlooker.instances(DDS_ALIVE_INSTANCE_STATE) == 1025; }));
        ASSERT_TRUE(registry.pipeline.deregisterSvcInterfaces(names, "ch"));
        ASSERT_TRUE(eventually([&] { return onlooker.instances(DDS_ALIVE_INSTANCE_STATE) == 1; }));
    }
    EXPECT_TRUE(eventually([&] {
        const dds_subscription_matched_status_t writers = onlooker.writers();
        return writers.total_count == 2 && writers.current_count == 1;
    }));
    EXPECT_EQ(onlooker.instances(DDS_ALIVE_INSTANCE_STATE), 1u);
}

// A device that writes entries before it claims its name has them taken once it does: only the
// end of its claim drops a device's entries, so none are read before it. A participant in its
// partition that does not hold the name (one that yields it) neither adds nor removes any, and
// the holder's removal of one it disposed still comes.
TEST(FederationBridge, TakesADevicesEntriesOnlyOnceItClaimsItsName) {
    const FederationOptions options = onLoopback("a");
    const LogCapture log(2);
    Registry registry;
    RecordingDeviceCalls calls;
    FederationBridge bridge(options);
    ASSERT_TRUE(bridge.start(registry.devices, calls));
    const std::string rogue = "rogue-" + std::to_string(getpid());
    {
        RogueDevice device(options.domain, rogue);
        ASSERT_EQ(device.write(1), 0);
        ASSERT_EQ(device.claim(), 0);
        const std::string first = "(com.ex.Rogue,1,r@" + rogue + ")";
        EXPECT_TRUE(registry.lists(first));
        {
            RogueDevice other(options.domain, rogue);
            ASSERT_TRUE(eventually([&] { return other.heard(); }));
            ASSERT_EQ(other.dispose(1), 0);
            ASSERT_EQ(other.delivered(), 0);
        }
        ASSERT_EQ(device.write(2), 0);
        const std::string second = "(com.ex.Rogue,2,r@" + rogue + ")";
        EXPECT_TRUE(registry.lists(first + "," + second));
        // The holder's removal of it still comes, to readers made anew.
        EXPECT_TRUE(eventually([&] { return device.readersMatched() > 1; }));
        ASSERT_EQ(device.remove(1), 0);
        EXPECT_TRUE(registry.lists(second));
    }
    EXPECT_TRUE(registry.lists(""));  // its writer disposed its entry, and its claim went
}

// A device that keeps more entries registered than the limit per device fills its own readers
// only: another device's entries still come. So does one that announces other names than its
// own, as many as the one reader of every device's announcements held before.
TEST(FederationBridge, ADeviceOverItsLimitOfEntriesTakesNoRoomOfAnother) {
    FederationOptions optionsA = onLoopback("a");
    optionsA.entriesPerDevice = 4;
    const LogCapture log(2);
    Registry registryA, registryB;
    RecordingDeviceCalls callsA, callsB;
    FederationBridge bridgeA(optionsA);
    ASSERT_TRUE(bridgeA.start(registryA.devices, callsA));
    const std::string rogue = "rogue-" + std::to_string(getpid());
    RogueDevice device(optionsA.domain, rogue);
    ASSERT_EQ(device.claim(), 0);
    // The reader holds one past the limit, for the registry to see the device pass it.
    const auto held = static_cast<svcreg::ServiceId>(optionsA.entriesPerDevice) + 1;
    std::string expected;
    for (svcreg::ServiceId id = 1; id <= held; ++id) {
        ASSERT_EQ(device.write(id), 0);
        expected += ",(com.ex.Rogue," + std::to_string(id) + ",r@" + rogue + ")";
    }
    device.write(held + 1);  // past the slots the reader takes
    ASSERT_TRUE(registryA.lists(expected.substr(1)));
    for (int name = 0; name < 1 << 17; ++name) device.claim("x" + std::to_string(name));
    // Nor do writers of announcements in as many other partitions as the bridge reads, once gone.
    const dds_entity_t crowd = dds_create_participant(optionsA.domain, nullptr, nullptr);
    const dds_entity_t announcements = dds_create_topic(crowd, &svcreg_federation_DeviceSample_desc,
                                                        "svcreg_devices", nullptr, nullptr);
    for (int partition = 0; partition < 1024; ++partition) {
        dds_qos_t* qos = dds_create_qos();
        dds_qset_partition1(qos, ("svcreg.crowd" + std::to_string(partition)).c_str());
        dds_create_writer(dds_create_publisher(crowd, qos, nullptr), announcements, nullptr,
                          nullptr);
        dds_delete_qos(qos);
    }
    ASSERT_TRUE(eventually([&] { return log.holding("a device past the 1024") != 0; }));
    {  // A device heard of meanwhile is read once they are.
        const std::string late = "late-" + std::to_string(getpid());
        RogueDevice lateDevice(optionsA.domain, late);
        ASSERT_EQ(lateDevice.claim(), 0);
        ASSERT_EQ(lateDevice.write(1), 0);
        ASSERT_TRUE(
            eventually([&] { return log.holding("reads, from device '" + late + "'") != 0; }));
        dds_delete(crowd);
        EXPECT_TRUE(eventually([&] { return registryA.pipeline.remoteEntriesOf(late) == 1; }));
    }

    const FederationOptions optionsB = onLoopback("b");
    FederationBridge bridgeB(optionsB);
    ASSERT_TRUE(bridgeB.start(registryB.devices, callsB));
    ASSERT_TRUE(registryB.pipeline.registerSvcInterface("com.ex.Camera", "cam"));
    EXPECT_TRUE(registryA.lists("(com.ex.Camera,1,cam@" + optionsB.device + ")" + expected));
}

// A device that churns its entries has its changes taken at its rate once it has spent its
// burst, what its readers hold: 10 here, which registering five entries, removing them and
// registering them again passes. The bridge says so, and takes the rest as its allowance fills.
// Neither a retake nor a device that goes and claims its name again gives it a fresh burst.
TEST(FederationBridge, TakesADevicesChangesAtItsRatePastABurst) {
    FederationOptions options = onLoopback("a");
    options.entriesPerDevice = 4;
    options.changesPerDevicePerSecond = 1;
    LogCapture log(2);
    Registry registry;
    RecordingDeviceCalls calls;
    FederationBridge bridge(options);
    ASSERT_TRUE(bridge.start(registry.devices, calls));
    const std::string rogue = "rogue-" + std::to_string(getpid());
    const std::string pastTheRate =
        "Refused changes past the rate of 1 a second for now: they wait in DDS, each entry's "
        "last kept, from device '" +
        rogue + "'";
    std::string all;
    {
        RogueDevice device(options.domain, rogue);
        ASSERT_EQ(device.claim(), 0);
        for (svcreg::ServiceId id = 1; id <= 5; ++id) {
            ASSERT_EQ(device.write(id), 0);
            all += ",(com.ex.Rogue," + std::to_string(id) + ",r@" + rogue + ")";
        }
        ASSERT_TRUE(registry.lists(all.substr(1)));
        for (svcreg::ServiceId id = 1; id <= 5; ++id) ASSERT_EQ(device.remove(id), 0);
        ASSERT_TRUE(registry.lists(""));
        EXPECT_EQ(log.holding("Refused changes past the rate"), 0u);
        for (svcreg::ServiceId id = 1; id <= 5; ++id) ASSERT_EQ(device.write(id), 0);
        EXPECT_TRUE(eventually([&] { return log.holding(pastTheRate) != 0; }));
        // A retake (a policy reloaded) brings them no sooner: they still come one at a time.
        const std::size_t taken = registry.pipeline.remoteEntriesOf(rogue);
        registry.pipeline.policyReplaced();
        EXPECT_TRUE(
            eventually([&] { return registry.pipeline.remoteEntriesOf(rogue) == taken + 1; }));
        EXPECT_TRUE(registry.lists(all.substr(1)));
    }
    ASSERT_TRUE(registry.lists(""));
    log.clear();
    RogueDevice again(options.domain, rogue);
    ASSERT_EQ(again.claim(), 0);
    for (svcreg::ServiceId id = 1; id <= 5; ++id) ASSERT_EQ(again.write(id), 0);
    EXPECT_TRUE(eventually([&] { return log.holding(pastTheRate) != 0; }));
    ASSERT_TRUE(registry.lists(all.substr(1)));
    // An entry written again and removed while the change waits is taken as removed.
    ASSERT_EQ(again.write(1), 0);
    ASSERT_EQ(again.remove(1), 0);
    EXPECT_TRUE(registry.lists(all.substr(all.find(",(", 1) + 1)));
}
