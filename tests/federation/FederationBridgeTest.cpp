// Two bridges on two DDS participants over the loopback interface, by unicast (no multicast),
// each beside a fake registry and gateway: what one device registers and removes, and the
// creators it takes, reach the other, and so do messages, over the link each announces; a name a
// live device holds is refused to another.
#include <gtest/gtest.h>

#include <dds/dds.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <tuple>

#include "DaemonUnderTest.h"
#include "FederationBridge.h"
#include "FederationTypes.h"
#include "LogCapture.h"
#include "RecordingDeviceCalls.h"

namespace {

using namespace std::chrono_literals;
using Entry = std::tuple<std::string, std::string, std::string, svcreg::ServiceId>;

// A registry that keeps the other devices' entries it is given, and their creators as entries of
// "creator IFC,PROTOCOL" at "LIB,FUNCTION", until their device is dropped, and lets the test
// play its table's changes to the bridge.
class FakeRemoteDevices : public svcreg::RemoteDevices {
public:
    void watchLocal(LocalEntries* watcher) override {
        change([&] { listener = watcher; });
    }
    svcreg::Outcome addRemote(const std::string& device, const svcreg::ServiceRecord& e) override {
        bool refused = false;
        change([&] {
            refused = refusing;
            if (refused)
                ++refusals;
            else
                entries.emplace(device, e.ifc, e.channel, e.svcId);
        });
        return refused ? svcreg::Outcome(svcreg::Status::Refused, "refusing") : svcreg::Outcome();
    }
    svcreg::Outcome addRemoteCreator(const std::string& device,
                                     const svcreg::RemoteCreator& c) override {
        change([&] {
            entries.emplace(device, "creator " + c.ifc + "," + c.protocol,
                            c.lib + "," + c.creatorFn, c.invoker);
        });
        return svcreg::Outcome();
    }
    void removeRemote(const std::string& device, const svcreg::ServiceRecord& e) override {
        change([&] { entries.erase(Entry(device, e.ifc, e.channel, e.svcId)); });
    }
    void dropDevice(const std::string& device) override {
        change([&] {
            dropped.insert(device);
            for (auto entry = entries.begin(); entry != entries.end();) {
                entry = std::get<0>(*entry) == device ? entries.erase(entry) : std::next(entry);
            }
        });
    }
    void watchRetake(std::function<void()> retake) override {
        change([&] { retaking = std::move(retake); });
    }
    void reportDevices(const std::string&,
                       std::function<std::vector<svcreg::PeerDevice>()> report) override {
        change([&] { peers = std::move(report); });
    }

    LocalEntries* local() {
        std::lock_guard<std::mutex> lock(mutex);
        return listener;
    }
    std::vector<svcreg::PeerDevice> report() {
        std::lock_guard<std::mutex> lock(mutex);
        return peers ? peers() : std::vector<svcreg::PeerDevice>();
    }
    // Refuses every entry from now on, or no longer; waits for one refused, or asks for the
    // entries again.
    void refuse(bool refused) {
        change([&] { refusing = refused; });
    }
    bool waitForRefusal() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return refusals != 0; });
    }
    void retake() {
        change([&] { retaking(); });
    }
    // Waits up to a generous deadline for this registry to hold expected, and to have dropped
    // droppedDevice when one is named.
    bool holds(const std::set<Entry>& expected, const std::string& droppedDevice = "") {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] {
            return entries == expected && (droppedDevice.empty() || dropped.count(droppedDevice));
        });
    }

private:
    template <typename Change>
    void change(Change apply) {
        std::lock_guard<std::mutex> lock(mutex);
        apply();
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    LocalEntries* listener = nullptr;
    std::set<Entry> entries;
    std::set<std::string> dropped;
    std::function<std::vector<svcreg::PeerDevice>()> peers;
    bool refusing = false;
    std::size_t refusals = 0;
    std::function<void()> retaking;
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
// entries of com.ex.Rogue at "r", and its claim of its name.
class RogueDevice {
public:
    RogueDevice(std::uint32_t domain, const std::string& name)
        : name(name), participant(dds_create_participant(domain, nullptr, nullptr)) {
        dds_qos_t* qos = dds_create_qos();
        dds_qset_partition1(qos, ("svcreg." + name).c_str());
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
        dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
        const dds_entity_t publisher = dds_create_publisher(participant, qos, nullptr);
        const auto writerOf = [&](const dds_topic_descriptor_t* type, const char* topic) {
            return dds_create_writer(publisher,
                                     dds_create_topic(participant, type, topic, nullptr, nullptr),
                                     qos, nullptr);
        };
        entries = writerOf(&svcreg_federation_EntrySample_desc, "svcreg_entries");
        devices = writerOf(&svcreg_federation_DeviceSample_desc, "svcreg_devices");
        dds_delete_qos(qos);
    }
    ~RogueDevice() { dds_delete(participant); }

    dds_return_t write(svcreg::ServiceId id) {
        svcreg_federation_EntrySample entry{};
        std::snprintf(entry.device, sizeof(entry.device), "%s", name.c_str());
        std::snprintf(entry.ifc, sizeof(entry.ifc), "com.ex.Rogue");
        std::snprintf(entry.channel, sizeof(entry.channel), "r");
        entry.svcId = id;
        return dds_write(entries, &entry);
    }
    dds_return_t claim() {
        svcreg_federation_DeviceSample sample{};
        std::snprintf(sample.name, sizeof(sample.name), "%s", name.c_str());
        sample.startNs = 1;
        sample.leaseMs = 400;
        return dds_write(devices, &sample);
    }

private:
    const std::string name;
    const dds_entity_t participant;
    dds_entity_t entries = 0;
    dds_entity_t devices = 0;
};

}  // namespace

TEST(FederationBridge, CarriesEntriesAndMessagesRefusesAHeldNameAndDropsADeviceThatLeaves) {
    const FederationOptions optionsA = onLoopback("a"), optionsB = onLoopback("b");
    std::printf("DDS domain %u\n", optionsA.domain);
    const LogCapture log(2);
    FakeRemoteDevices registryA, registryB;
    RecordingDeviceCalls callsA, callsB;
    FederationBridge bridgeA(optionsA), bridgeB(optionsB);
    ASSERT_TRUE(bridgeA.start(registryA, callsA));
    ASSERT_NE(registryA.local(), nullptr);
    registryA.local()->added({svcreg::ServiceRecord("com.ex.Camera", 4, "cam"),
                              svcreg::ServiceRecord("com.ex.Light", 4, "cam")});
    registryA.local()->creatorAdded({true, "com.ex.Camera", "rpc", "libcam.so", "makeInvoker"});
    // B joins late, and gets what A published before.
    ASSERT_TRUE(bridgeB.start(registryB, callsB));
    const Entry camera(optionsA.device, "com.ex.Camera", "cam", 4);
    const Entry light(optionsA.device, "com.ex.Light", "cam", 4);
    const Entry invoker(optionsA.device, "creator com.ex.Camera,rpc", "libcam.so,makeInvoker", 1);
    EXPECT_TRUE(registryB.holds({camera, light, invoker}));

    registryA.local()->removed({svcreg::ServiceRecord("com.ex.Camera", 4, "cam")});
    EXPECT_TRUE(registryB.holds({light, invoker}));
    // A device does not take back its own entries, and B heard of A.
    EXPECT_TRUE(registryA.holds({}));
    const std::vector<svcreg::PeerDevice> peers = registryB.report();
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0].name, optionsA.device);
    EXPECT_TRUE(peers[0].alive);
    EXPECT_EQ(peers[0].leaseMs, 400);
    // A's name, held by A, is refused to another bridge.
    FakeRemoteDevices registryOfLatecomer;
    RecordingDeviceCalls callsOfLatecomer;
    FederationBridge latecomer(optionsA);
    const svcreg::Outcome refused = latecomer.start(registryOfLatecomer, callsOfLatecomer);
    EXPECT_EQ(refused.status(), svcreg::Status::Refused);
    EXPECT_TRUE(contains(refused.reason(), "'" + optionsA.device + "'")) << refused.reason();
    EXPECT_EQ(registryOfLatecomer.local(), nullptr);
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

    // An entry refused comes in once the registry asks for the entries again.
    registryB.refuse(true);
    registryA.local()->added({svcreg::ServiceRecord("com.ex.Fan", 5, "fan")});
    ASSERT_TRUE(registryB.waitForRefusal());
    registryB.refuse(false);
    registryB.retake();
    const Entry fan(optionsA.device, "com.ex.Fan", "fan", 5);
    EXPECT_TRUE(registryB.holds({fan, light, invoker}));

    bridgeA.stop();
    EXPECT_TRUE(registryB.holds({}, optionsA.device));
    EXPECT_TRUE(eventually([&] { return !callsB.lostSoFar().empty(); }));
}

// A device that writes entries before it claims its name has them taken once it does: only the
// end of its claim drops a device's entries, so none are read before it.
TEST(FederationBridge, TakesADevicesEntriesOnlyOnceItClaimsItsName) {
    const FederationOptions options = onLoopback("a");
    const LogCapture log(2);
    FakeRemoteDevices registry;
    RecordingDeviceCalls calls;
    FederationBridge bridge(options);
    ASSERT_TRUE(bridge.start(registry, calls));
    const std::string rogue = "rogue-" + std::to_string(getpid());
    {
        RogueDevice device(options.domain, rogue);
        ASSERT_EQ(device.write(1), 0);
        ASSERT_EQ(device.claim(), 0);
        EXPECT_TRUE(registry.holds({Entry(rogue, "com.ex.Rogue", "r", 1)}));
    }
    EXPECT_TRUE(registry.holds({}, rogue));  // its writer disposed its entry, and its claim went
}

// A device that keeps more entries registered than the limit per device fills its own readers
// only: another device's entries still come.
TEST(FederationBridge, ADeviceOverItsLimitOfEntriesTakesNoRoomOfAnother) {
    FederationOptions optionsA = onLoopback("a");
    optionsA.entriesPerDevice = 4;
    const LogCapture log(2);
    FakeRemoteDevices registryA, registryB;
    RecordingDeviceCalls callsA, callsB;
    FederationBridge bridgeA(optionsA);
    ASSERT_TRUE(bridgeA.start(registryA, callsA));
    const std::string rogue = "rogue-" + std::to_string(getpid());
    RogueDevice device(optionsA.domain, rogue);
    ASSERT_EQ(device.claim(), 0);
    // The reader holds one past the limit, for the registry to see the device pass it.
    const auto held = static_cast<svcreg::ServiceId>(optionsA.entriesPerDevice) + 1;
    std::set<Entry> expected;
    for (svcreg::ServiceId id = 1; id <= held; ++id) {
        ASSERT_EQ(device.write(id), 0);
        expected.emplace(rogue, "com.ex.Rogue", "r", id);
    }
    device.write(held + 1);  // refused, as long as the reader holds the others
    ASSERT_TRUE(registryA.holds(expected));

    const FederationOptions optionsB = onLoopback("b");
    FederationBridge bridgeB(optionsB);
    ASSERT_TRUE(bridgeB.start(registryB, callsB));
    registryB.local()->added({svcreg::ServiceRecord("com.ex.Camera", 4, "cam")});
    expected.emplace(optionsB.device, "com.ex.Camera", "cam", 4);
    EXPECT_TRUE(registryA.holds(expected));
}
