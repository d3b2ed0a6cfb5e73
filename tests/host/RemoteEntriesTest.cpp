// Other devices' entries and creators in one registry, through the pipeline: every road finds
// them after the local ones, by device and then by the device's own service id; the policy's
// device: rules and the per-device limit refuse with the reason; a device dropped takes all of
// its entries and creators, and the feed hears of it; the bridge hears of the public local
// entries and of the creators the library answers with.
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

#include "CommsChannelDataContainerMessage.h"
#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "LogCapture.h"
#include "PipelineUnderTest.h"
#include "RecordingChannel.h"
#include "RegistryTextProtocol.h"
#include "RegistryViews.h"
#include "RemoteDevicesHost.h"
#include "ServiceRegistry/RegistryHost.h"
#include "SnapshotLookups.h"
#include "TablePublisher.h"

using namespace svcreg;

namespace {

// Each change told, as "+IFC CHANNEL", "-IFC CHANNEL" or, of a creator, "*IFC,PROTOCOL LIB".
class ChangeRecord final : public TableListener, public RemoteDevices::LocalEntries {
public:
    explicit ChangeRecord(bool remoteToo) : remoteToo(remoteToo) {}
    void registered(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override {
        added(entries);
    }
    void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override {
        removed(entries);
    }
    void removed(const std::vector<ServiceRecord>& entries) override {
        for (const ServiceRecord& entry : entries)
            told += "-" + entry.ifc + " " + entry.channel + ";";
    }
    void creatorAdded(const RemoteCreator& c) override {
        told += std::string(c.invoker ? "*invoker " : "*proxy ") + c.ifc + "," + c.protocol + " " +
                c.lib + ";";
    }
    bool hearsRemote() const override { return remoteToo; }
    void added(const std::vector<ServiceRecord>& entries) override {
        for (const ServiceRecord& entry : entries)
            told += "+" + entry.ifc + " " + entry.channel + ";";
    }

    const bool remoteToo;
    std::string told;
};

std::string textReply(RegistryPipeline& registry, const std::string& text) {
    RecordingChannel replies;
    CommsChannelDataContainerMessage message;
    message.setSourceChannel("asker");
    message.setRequestId(7);
    message.setData(text.data(), static_cast<int>(text.size()));
    CallFrom call(PeerCredentials{});
    registry.handleMessage(call, text.data(), static_cast<int>(text.size()), "asker", replies,
                           &message);
    return replies.data.empty() ? "" : replies.data.front();
}

TEST(RemoteEntries, EveryRoadFindsThemAfterTheLocalOnesByDeviceThenId) {
    PipelineUnderTest served;
    RegistryPipeline& registry = *served.registry;
    ChangeRecord feed(true);
    registry.addListener(&feed);
    ASSERT_TRUE(registry.registerSvcInterface("I", "local"));
    for (const auto& [device, entry] : std::vector<std::pair<std::string, ServiceRecord>>{
             {"zed", {"I", 1, "c"}},
             {"amy", {"I", 7, "c"}},
             {"amy", {"I", 3, "d"}},
             {"amy", {"J", 2, "e"}},
             {"amy", {"J", 2, "e"}},  // there already: no change
         }) {
        EXPECT_TRUE(registry.addRemote(device, entry)) << entry.ifc;
    }
    ASSERT_TRUE(registry.registerProxyInfo("libL", "mkL", "I", "p"));
    for (const auto& [device, creator] : std::vector<std::pair<std::string, RemoteCreator>>{
             {"zed", {false, "I", "p", "libZ", "mkZ"}},
             {"zed", {false, "J", "p", "libZ", "mkJ"}},
             {"amy", {false, "J", "q", "libA", "mkJ"}},
             {"amy", {true, "J", "p", "libA", "inv"}},
         }) {
        EXPECT_TRUE(registry.addRemoteCreator(device, creator)) << creator.ifc;
    }
    // findSvcsForIfc and getSvcDetailsList are read through the text replies built from them.
    std::string channel;
    EXPECT_TRUE(registry.findSvcInterface("I", channel) && channel == "local");
    EXPECT_TRUE(registry.findSvcInterface("J", channel) && channel == "e@amy");

    const struct {
        const char* text;
        const char* reply;
    } lookups[] = {
        {"find:I,r", "found:local"},
        {"find:J,r", "found:e@amy"},
        {"find:K,r", "notfound:K"},
        {"find_svc_id:I", "found_svc_id:1"},
        {"find_svc_id:J", "found_svc_id:2"},
        {"getlist:I,r", "list:local,d@amy,c@amy,c@zed"},
        {"get_service_details_list:",
         "service_details_list:(I,1,local),(I,3,d@amy),(I,7,c@amy),(I,1,c@zed),(J,2,e@amy)"},
        {"find_proxy:I", "found_proxy:libL,mkL"},
        {"find_proxy:J", "found_proxy:libA,mkJ"},
        {"find_invoker:J,p", "found_invoker:libA,inv"},
        {"find_invoker:J,q", "notfound:J"},
    };
    for (const auto& lookup : lookups) {
        SCOPED_TRACE(lookup.text);
        EXPECT_EQ(textReply(registry, lookup.text), lookup.reply);
    }

    std::string block;
    registry.whileUnchanged(
        [&](const RegistryState& state) { block = TablePublisher::encode(state, 2); });
    TableSnapshotView view;
    std::string why;
    ASSERT_TRUE(view.open(block.data(), block.size(), why)) << why;
    std::vector<std::string> shared;
    ServiceId svcId = 0;
    EXPECT_TRUE(SnapshotLookups::channelList(view, "I", shared));
    EXPECT_EQ(shared, (std::vector<std::string>{"local", "d@amy", "c@amy", "c@zed"}));
    EXPECT_TRUE(SnapshotLookups::findChannel(view, "I", channel) && channel == "local");
    EXPECT_TRUE(SnapshotLookups::findChannel(view, "J", channel) && channel == "e@amy");
    EXPECT_TRUE(SnapshotLookups::findServiceId(view, "J", svcId) && svcId == 2);
    CreatorRecord creator;
    EXPECT_TRUE(SnapshotLookups::findProxy(view, "I", creator) && creator.lib == "libL");
    EXPECT_TRUE(SnapshotLookups::findProxy(view, "J", creator) && creator.lib == "libA");
    EXPECT_TRUE(SnapshotLookups::findInvoker(view, "J", "p", creator) && creator.lib == "libA");

    registry.removeRemote("zed", {"I", 1, "c"});
    registry.dropDevice("amy");
    EXPECT_EQ(registry.findSvcsForIfc("I"), std::vector<std::string>{"local"});
    EXPECT_FALSE(registry.findSvcInterface("J", channel));
    EXPECT_EQ(proxyOf(registry, "J"), "libZ,mkJ");
    EXPECT_EQ(invokerOf(registry, "J", "p"), "none");
    EXPECT_EQ(feed.told,
              "+I local;+I c@zed;+I c@amy;+I d@amy;+J e@amy;-I c@zed;-I d@amy;-I c@amy;-J e@amy;");
}

// device: rules say which device may publish what (that they are apart from the local users'
// rules is AccessPolicy's decision table's); each device holds its limit of entries; a refusal
// names the device and the reason, and is logged once a second per device.
TEST(RemoteEntries, ThePolicyTheLimitAndTheNamesRefuseWithTheReason) {
    RegistryQuotas quotas;
    quotas.entriesPerDevice = 2;
    quotas.nameLength = 12;
    PipelineUnderTest served("", quotas);
    served.gate.replacePolicy(policyOf(
        "allow device:B register com.b.*\nallow device:* register com.all.*\nallow * all\n"));
    RegistryPipeline& registry = *served.registry;
    LogCapture log(2);
    // Each refusal starts "device 'NAME': ", the name of the device whose entry it refuses.
    const auto refusalOf = [](const std::string& device, const std::string& why) {
        return why.empty() ? why : "device '" + device + "': " + why;
    };
    const std::string separator = ", which the text replies would read as a separator";
    const struct {
        const char* device;
        ServiceRecord entry;
        std::string refusal;
    } cases[] = {
        {"B", {"com.b.X", 1, "c"}, ""},
        {"B", {"com.a.X", 2, "c"}, "may not publish 'com.a.X'"},
        {"C", {"com.b.X", 1, "c"}, "may not publish 'com.b.X'"},
        {"C", {"com.all.X", 1, "c"}, ""},
        {"B", {"com.b.Y", 2, ":p"}, "a private channel, which never leaves its device"},
        {"B", {"com.b.Y", 2, "channel12345x"}, "a name of 13 bytes, over the limit of 12"},
        {"B@x",
         {"com.b.Y", 2, "c"},
         "a device name that is not 1 to 63 letters, digits, '-', '_' or '.'"},
        {"B", {"com.b.Y", 2, "x),(y,7,c"}, "a name holding ')'" + separator},
        {"B", {"com.b.Y", 2, "evil,y"}, "a name holding ','" + separator},
        {"B", {"com.b.Y", 2, "c@D"}, "a name holding '@'" + separator},
        {"B", {"com.b.Y", 3, "c"}, ""},
        {"B", {"com.b.Z", 4, "c"}, "over the limit of entries (2 per device)"},
        {"B", {"com.b.Y", 3, "c"}, ""},  // held already: offered again at the limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " " + c.entry.ifc + " at " + c.entry.channel);
        const Outcome added = registry.addRemote(c.device, c.entry);
        EXPECT_EQ(added.reason(), refusalOf(c.device, c.refusal));
        EXPECT_EQ(added.ok(), c.refusal.empty());
    }
    // A creator counts as an entry against its device's limit; one in place of the device's
    // own of its kind and key adds nothing.
    const struct {
        RemoteCreator creator;
        const char* refusal;
    } creatorCases[] = {
        {{false, "com.b.X", "p", "l", "f"}, "may not publish 'com.b.X'"},
        {{true, "com.all.X", "p", "library123456", "f"},
         "a name of 13 bytes, over the limit of 12"},
        {{true, "com.all.X", "p", "l", "f"}, ""},
        {{true, "com.all.X", "p", "l", "g"}, ""},
        {{false, "com.all.X", "p", "l", "f"}, "over the limit of entries (2 per device)"},
    };
    for (const auto& c : creatorCases) {
        SCOPED_TRACE(c.creator.lib);
        EXPECT_EQ(registry.addRemoteCreator("C", c.creator).reason(), refusalOf("C", c.refusal));
    }
    EXPECT_EQ(log.holding("Refused an entry of device 'B': "), 1u);
    registry.whileUnchanged(
        [](const RegistryState& state) { EXPECT_EQ(state.entryCount(), 0u) << "no user's"; });
}

// Devices publishing many entries of long names are held to their share of the table's bytes,
// and all of them together to theirs, so that the listing of the local entries and theirs
// always fits a frame; the device's own ids are counted by their digits.
TEST(RemoteEntries, TheDevicesEntriesAlwaysFitTheListingBesideTheLocalOnes) {
    PipelineUnderTest served;
    RegistryPipeline& registry = *served.registry;
    const RegistryQuotas quotas;
    std::set<std::string> refusals;
    for (const std::string device : {"B", "C", "D", "E"}) {
        for (int i = 0; i < 5000; ++i) {
            const std::string ifc = std::to_string(i) + std::string(240, 'x');
            const Outcome added =
                registry.addRemote(device, {ifc, 1000000000000000000 + i, "channel"});
            if (!added) refusals.insert(added.reason());
        }
    }
    EXPECT_EQ(refusals, (std::set<std::string>{
                            "device 'B': over the limit of table bytes (1048576 per device)",
                            "device 'C': over the limit of table bytes (1048576 per device)",
                            "device 'D': over the limit of table bytes (1048576 per device)",
                            "device 'E': over the limit of table bytes (3145728 for all devices)",
                        }));
    std::string listing;
    RegistryText::appendDetailsList(listing, registry.getSvcDetailsList());
    EXPECT_LE(listing.size(), kMaxFrameBodySize - quotas.tableBytes);
}

// A policy reloaded removes the entries it refuses, and asks the bridge for every device's
// entries again, which brings in those it now allows; entries removed after one was refused for
// a limit ask for the entries of the device refused again, once per refusal, and for no other's.
TEST(RemoteEntries, AReloadedPolicyOrRoomUnderALimitAsksForTheEntriesAgain) {
    RegistryQuotas quotas;
    quotas.entriesPerDevice = 2;
    PipelineUnderTest served("", quotas);
    served.gate.replacePolicy(policyOf("allow device:B register com.b.*\n"));
    RegistryPipeline& registry = *served.registry;
    ChangeRecord feed(true);
    registry.addListener(&feed);
    std::string retakes;
    registry.watchRetake([&](const std::string& device) { retakes += "[" + device + "]"; });
    EXPECT_TRUE(registry.addRemote("B", {"com.b.X", 1, "c"}));
    EXPECT_TRUE(registry.addRemote("B", {"com.b.Y", 2, "c"}));
    EXPECT_FALSE(registry.addRemote("B", {"com.a.X", 3, "c"}));

    served.gate.replacePolicy(policyOf("allow device:B register com.a.*\n"));
    registry.policyReplaced();
    EXPECT_EQ(feed.told, "+com.b.X c@B;+com.b.Y c@B;-com.b.X c@B;-com.b.Y c@B;");
    EXPECT_EQ(retakes, "[]");
    EXPECT_TRUE(registry.addRemote("B", {"com.a.X", 3, "c"}));
    EXPECT_TRUE(registry.addRemote("B", {"com.a.Y", 4, "c"}));
    EXPECT_FALSE(registry.addRemote("B", {"com.a.Z", 5, "c"})) << "over the limit";
    EXPECT_FALSE(registry.addRemote("C", {"com.a.Z", 6, "c"})) << "by the policy";
    registry.removeRemote("B", {"com.a.X", 3, "c"});
    registry.removeRemote("B", {"com.a.Y", 4, "c"});
    EXPECT_EQ(retakes, "[][B]");
    // A device dropped (gone, or its name passed on, its readers made anew) is not asked for.
    EXPECT_TRUE(registry.addRemote("B", {"com.a.X", 3, "c"}));
    EXPECT_TRUE(registry.addRemote("B", {"com.a.Y", 4, "c"}));
    EXPECT_FALSE(registry.addRemote("B", {"com.a.Z", 5, "c"})) << "over the limit";
    registry.dropDevice("B");
    EXPECT_EQ(retakes, "[][B]");
}

// The bridge hears the public local entries as they stand, then each change of them; never a
// private one, nor another device's.
TEST(RemoteEntries, WatchLocalTellsThePublicLocalEntriesThenTheirChanges) {
    PipelineUnderTest served;
    RegistryPipeline& registry = *served.registry;
    RemoteDevicesHost devices(registry);
    ASSERT_TRUE(registry.registerSvcInterface("A", "pub"));
    ASSERT_TRUE(registry.registerSvcInterface("P", ":priv"));
    ASSERT_TRUE(registry.registerProxyInfo("lib1", "fn", "A", "p"));
    ChangeRecord bridge(false);
    devices.watchLocal(&bridge);
    EXPECT_EQ(bridge.told, "+A pub;*proxy A,p lib1;");
    ASSERT_TRUE(registry.registerProxyInfo("lib2", "fn", "A", "q"));  // the library answers lib1
    ASSERT_TRUE(registry.registerInvokerInfo("lib3", "fn", "A", "p"));
    ASSERT_TRUE(devices.addRemoteCreator("D", {false, "R", "p", "lib4", "fn"}));
    ASSERT_TRUE(registry.registerSvcInterface("B", "pub"));
    ASSERT_TRUE(registry.registerSvcInterface("Q", ":priv"));
    ASSERT_TRUE(devices.addRemote("D", {"R", 1, "c"}));
    devices.dropDevice("D");
    ASSERT_TRUE(registry.deregisterSvcInterfaces("A", "pub"));
    EXPECT_EQ(bridge.told, "+A pub;*proxy A,p lib1;*invoker A,p lib3;+B pub;-A pub;");
}

}  // namespace

// svcreg shows a federated registry's device and its peers in status, and the device of each
// remote entry in list; a registry without federation shows no federation line.
TEST(RemoteEntries, TheClientShowsTheDevicesAndTheirEntries) {
    const TempDirectory folder;
    ASSERT_EQ(mkdir((folder.path() + "/.state").c_str(), 0700), 0);
    HostOptions options = hostOptionsIn(folder.path());
    options.stateDirectory = folder.path() + "/.state";
    AccessSettings access;
    access.policyFile = "";
    RegistryHost host(options, "svcreg", access);
    ASSERT_TRUE(host.start(SERVICE_REGISTRY_LIBRARY));
    const auto svcreg = [&](const std::vector<std::string>& arguments) {
        return runClient(folder.path(), arguments, folder.path() + "/client").out;
    };
    EXPECT_EQ(svcreg({"status"}).find("device"), std::string::npos);

    RemoteDevices& devices = host.remoteDevices();
    ASSERT_TRUE(devices.addRemote("B", {"com.ex.R", 5, "r_ch"}));
    devices.reportDevices("A", [] { return std::vector<PeerDevice>{{"B", true, 2000, 0, 0}}; });
    const std::string status = svcreg({"status"});
    EXPECT_NE(status.find("device:       A\npeers:\n  B"), std::string::npos) << status;
    EXPECT_NE(status.find("alive, lease 2.0 s, 1 entries"), std::string::npos) << status;
    EXPECT_NE(svcreg({"--json", "status"})
                  .find(R"("device":"A","peers":[{"name":"B","alive":true,"leaseMs":2000,)"
                        R"("entries":1,"lastHeardMs":0}])"),
              std::string::npos);
    EXPECT_EQ(svcreg({"list"}), "com.ex.R\t5\tr_ch@B\tB\t-\t-\n");
    EXPECT_EQ(svcreg({"find", "com.ex.R"}), "r_ch@B\n");
    host.stop();
}
