// The library's registry in one process: its life, what lookups leave in their outputs, its
// startup events and its text commands. What the tables hold and find is the pipeline
// differential's to check (the daemon's shared table against the library).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "CommsChannelDataContainerMessage.h"
#include "Context.h"
#include "LogCapture.h"
#include "RecordingChannel.h"
#include "RecordingObserver.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// Hands text to the registry as the framework would: in a container from sourceChannel, with
// remote context "ctx" and request id 7. The first three arguments carry a decoy request that
// the registry must not read.
void deliver(ServiceRegistry& registry, RecordingChannel& channel, const std::string& text,
             const std::string& sourceChannel = "src") {
    CommsChannelDataContainerMessage message;
    message.setSourceChannel(sourceChannel);
    message.setRemoteContext("ctx");
    message.setRequestId(7);
    message.setData(text.data(), static_cast<int>(text.size()));
    const std::string decoy = "find:A,decoy";
    registry.handleMsg(decoy.data(), static_cast<int>(decoy.size()), "decoy", channel, &message);
}

std::string plainReply(const std::string& to, const std::string& text) {
    return to + " '" + text + "' #7 ctx '' protocol '' ifc ''";
}

std::string registryReply(const std::string& to, const std::string& text) {
    return to + " '" + text + "' #7 ctx 'ctx' protocol 'svc_reg_protocol' ifc 'ServiceRegistryIfc'";
}

struct Exchange {
    std::string request;
    std::vector<std::string> replies;
    std::string source = "src";
};

}  // namespace

// The factory makes independent registries that work before init and after shutdown, and that
// leave their subscribers alone when destroyed.
TEST(Lifecycle, RegistriesShareNothingNeedNoStepToWorkAndLeaveSubscribersAlone) {
    RecordingObserver observer;
    std::unique_ptr<Service> second(createServiceRegistry());
    {
        std::unique_ptr<Service> first(createServiceRegistry());
        auto* registry = dynamic_cast<ServiceRegistry*>(first.get());
        ASSERT_NE(registry, nullptr);
        ASSERT_NE(first, second);
        registry->subscribeStartupEvents(&observer);
        registry->subscribeStartupEvents(nullptr);
        EXPECT_TRUE(registry->registerSvcInterface("A", "ch"));  // before init
        Context context;
        registry->init(context);
        registry->run();  // returns at once: the registry has no thread work
        registry->shutdown();
        EXPECT_TRUE(registry->registerSvcInterface("B", "ch"));  // after shutdown
    }
    EXPECT_THAT(dynamic_cast<ServiceRegistry&>(*second).getSvcDetailsList(), IsEmpty());
    // Destroying told and deleted nothing: the observer lives on the stack, where a delete would
    // have ended the run.
    EXPECT_THAT(observer.names(), ElementsAre("A", "B"));
}

// Not found empties the channel, but an empty name leaves it alone; a creator not found leaves
// its outputs alone, and a missing invoker is a failure, written even where nothing else is.
TEST(Find, MissesLeaveTheirOutputsAsTheirKindSaysAndAMissingInvokerIsAFailure) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B", "ch1");
    registry.registerInvokerInfo("lib", "fn", "I", "P");
    std::string channel = "stale";
    EXPECT_FALSE(registry.findSvcInterface("", channel));
    EXPECT_EQ(channel, "stale");
    for (const char* absent : {"Z", "A B", "a"}) {
        channel = "stale";
        EXPECT_FALSE(registry.findSvcInterface(absent, channel)) << absent;
        EXPECT_EQ(channel, "") << absent;
    }

    LogCapture failures(1);
    std::string lib = "keep-lib", creatorFn = "keep-fn";
    EXPECT_FALSE(registry.findInvoker("I", "P2", lib, creatorFn));
    EXPECT_FALSE(registry.findProxy("I", lib, creatorFn));
    EXPECT_EQ(lib + creatorFn, "keep-libkeep-fn");
    EXPECT_THAT(failures.messages(), ElementsAre("Invoker for ifc/prot 'I/P2' NOT found"));
}

// Each subscription is a place, replayed to (each distinct name once, in byte order, never the
// empty one) and told in order; unsubscribing removes the first place of that observer only, and
// every observer hears of a name, the empty one too, before any hears of the next.
TEST(Subscribe, EachSubscriptionIsAPlaceUntilAnUnsubscribeRemovesIt) {
    ServiceRegistry registry;
    registry.registerSvcInterface("B A ", "ch");  // "B", "A" and the empty name
    registry.registerSvcInterface("A", "ch2");
    std::vector<std::string> journal;
    RecordingObserver first("1", &journal), second("2", &journal), stranger;
    EXPECT_TRUE(registry.unsubscribeStartupEvents(&stranger));
    for (RecordingObserver* observer : {&first, &second, &first}) {
        registry.subscribeStartupEvents(observer);
    }
    EXPECT_THAT(journal, ElementsAre("1:A", "1:B", "2:A", "2:B", "1:A", "1:B"))
        << "a replay per subscription";

    EXPECT_TRUE(registry.unsubscribeStartupEvents(&first));
    EXPECT_TRUE(registry.unsubscribeStartupEvents(&stranger));
    EXPECT_TRUE(registry.unsubscribeStartupEvents(nullptr));
    journal.clear();
    registry.registerSvcInterface("C  B", "ch");
    EXPECT_THAT(journal, ElementsAre("2:C", "1:C", "2:", "1:", "2:B", "1:B"));

    EXPECT_TRUE(registry.unsubscribeStartupEvents(&first));
    journal.clear();
    registry.registerSvcInterface("D", "ch");
    EXPECT_THAT(journal, ElementsAre("2:D"));
    EXPECT_THAT(stranger.names(), IsEmpty());
}

TEST(Notify, NullSubscriberIsSkippedWithAFailureLinePerNameAndPerPlace) {
    ServiceRegistry registry;
    RecordingObserver observer;
    LogCapture capture(1);  // the NULL-subscriber line is written whatever the threshold
    EXPECT_TRUE(registry.subscribeStartupEvents(nullptr));
    registry.subscribeStartupEvents(&observer);
    registry.subscribeStartupEvents(nullptr);
    EXPECT_THAT(capture.lines(), IsEmpty()) << "subscribing null logs nothing";

    registry.registerSvcInterface("A B", "ch");
    EXPECT_THAT(observer.names(), ElementsAre("A", "B"));
    EXPECT_EQ(capture.lines().size(), 4u) << "one failure line per name and per null place";

    registry.unsubscribeStartupEvents(nullptr);
    capture.clear();
    registry.registerSvcInterface("C", "ch");
    EXPECT_EQ(capture.lines().size(), 1u) << "one null place is left";
}

// Registering from inside a notification is allowed: no lock is held while observers are told.
TEST(Notify, ObserversMayCallBackIntoTheRegistry) {
    ServiceRegistry registry;
    RecordingObserver observer, later;
    observer.react = [&](const std::string& ifc) {
        if (ifc != "A") return;
        registry.registerSvcInterface("FromObserver", "ch");
        registry.unsubscribeStartupEvents(&observer);
    };
    registry.subscribeStartupEvents(&observer);
    registry.subscribeStartupEvents(&later);
    registry.registerSvcInterface("A", "ch");
    EXPECT_THAT(observer.names(), ElementsAre("A", "FromObserver"));
    EXPECT_THAT(later.names(), ElementsAre("FromObserver", "A"))
        << "the nested registration is told in full before the outer one goes on";
    std::string channel;
    EXPECT_TRUE(registry.findSvcInterface("FromObserver", channel));
}

TEST(Notify, ObserverThatThrowsLeavesEveryLockFree) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B C", "ch");
    RecordingObserver thrower, later;
    thrower.react = [](const std::string& ifc) {
        if (ifc == "B") throw std::runtime_error("observer failed on " + ifc);
    };
    EXPECT_THROW(registry.subscribeStartupEvents(&thrower), std::runtime_error);
    EXPECT_THAT(thrower.names(), ElementsAre("A", "B")) << "the replay stops at the throw";

    // Had the replay kept the table lock, each of these would wait for ever.
    EXPECT_TRUE(registry.registerSvcInterface("D", "ch"));
    EXPECT_TRUE(registry.subscribeStartupEvents(&later));
    EXPECT_THAT(later.names(), ElementsAre("A", "B", "C", "D"));
    EXPECT_THAT(thrower.names(), ElementsAre("A", "B", "D")) << "it stays subscribed";

    // Thrown during a notification: the registration stands, later subscribers miss it.
    EXPECT_THROW(registry.registerSvcInterface("B", "other"), std::runtime_error);
    EXPECT_THAT(registry.findSvcsForIfc("B"), ElementsAre("ch", "other"));
    EXPECT_THAT(later.names(), ElementsAre("A", "B", "C", "D"));
    EXPECT_TRUE(registry.unsubscribeStartupEvents(&thrower));
    EXPECT_TRUE(registry.registerSvcInterface("E", "ch"));
    EXPECT_THAT(later.names(), ElementsAre("A", "B", "C", "D", "E"));
}

// The registry's text commands on its channel: what each answers, and where, and how the
// changes among them read their fields.
// That formatted replies are cut after 99 characters is the channel message fuzzer's and
// RegistryClient.LookupsOverTextCommandsGiveWholeNamesOrFail's, and that the details list is not,
// Attack.ADetailsListTooLargeForAFrameIsAnsweredWithAnError's.
TEST(ChannelCommands, EachCommandRepliesWithItsTextToItsDestination) {
    ServiceRegistry registry;
    addSampleEntries(registry);
    RecordingChannel channel;
    const std::vector<Exchange> exchanges = {
        {"find:A,x", {plainReply("x", "found:c")}},
        {"find:Z,x", {plainReply("x", "notfound:Z")}},
        {"find:A:b,x", {plainReply("x", "notfound:A:b")}},
        {"find:A,x\n", {plainReply("x\n", "found:c")}},
        {"find:A,x,more", {plainReply("x", "found:c")}},
        {"find:A", {}},
        {"find:A,", {}},
        {"find_svc_id:A", {registryReply("src", "found_svc_id:1")}},
        {"find_svc_id:B,ignored", {registryReply("src", "found_svc_id:3")}},
        {"find_svc_id:Z", {registryReply("src", "svc_id_not_found:Z")}},
        {"find_svc_id:", {}},
        {"getlist:A,x", {"raw x 'list:c,c2'"}},
        {"getlist:Z,x", {"raw x 'list:'"}},
        {"getlist:A", {}},
        {"get_service_details_list:",
         {registryReply("src", "service_details_list:(A,1,c),(A,2,c2),(B,3,d)")}},
        {"find_invoker:IfcX,protoY", {plainReply("src", "found_invoker:libA,createA")}},
        {"find_invoker:IfcX,protoZ", {plainReply("src", "notfound:IfcX")}},
        {"find_proxy:IfcX", {plainReply("src", "found_proxy:libP,createP")}},
        {"find_proxy:Nope,x", {plainReply("src", "notfound:Nope")}},
        // An empty source channel silences only the replies of the registry interface.
        {"find_svc_id:A", {}, ""},
        {"get_service_details_list:", {}, ""},
        {"find_proxy:IfcX", {plainReply("", "found_proxy:libP,createP")}, ""},
        {"find_invoker:IfcX,protoY", {plainReply("", "found_invoker:libA,createA")}, ""},
        {"find:A,x", {plainReply("x", "found:c")}, ""},
        // Command words match whole, byte for byte, and only before the first colon.
        {"get_service_details_list", {}},
        {"FIND:A,x", {}},
        {"find :A,x", {}},
        {" find:A,x", {}},
        {"fin:A,x", {}},
        {":A,x", {}},
        {"", {}},
        // Malformed data is dropped; a megabyte of commas after a command, served with its first
        // fields.
        {std::string(1 << 20, 'x'), {}},
        {std::string(1 << 20, ','), {}},
        {std::string(64, '\0'), {}},
        {std::string("\xc3\x28\xff", 3), {}},
        {std::string("find\0:A,x", 9), {}},
        {"find:A,x" + std::string(1 << 20, ','), {plainReply("x", "found:c")}},
        // Changes are never answered; missing fields read as empty, extra ones are ignored, and a
        // deregistration removes the names it lists at its channel only.
        {"reg:C D,e", {}},
        {"reg:C,f", {}},
        {"dereg:C D,e", {}},
        {"getlist:C,x", {"raw x 'list:f'"}},
        {"getlist:D,x", {"raw x 'list:'"}},
        {"reg_invoker:libA,createA,IfcZ,protoY,extra,more", {}},
        {"find_invoker:IfcZ,protoY", {plainReply("src", "found_invoker:libA,createA")}},
        {"reg_invoker:libB,createB,IfcY", {}},
        {"find_invoker:IfcY", {plainReply("src", "found_invoker:libB,createB")}},
        {"reg_proxy:libC,createC", {}},
        {"find_proxy:", {plainReply("src", "found_proxy:libC,createC")}},
    };
    for (const Exchange& exchange : exchanges) {
        SCOPED_TRACE(exchange.request.substr(0, 40));
        channel.lines.clear();
        deliver(registry, channel, exchange.request, exchange.source);
        EXPECT_THAT(channel.lines, ElementsAreArray(exchange.replies));
    }
    channel.lines.clear();
    registry.handleMsg(nullptr, 0, "", channel, nullptr);
    EXPECT_THAT(channel.lines, IsEmpty());
    // The missing fields were stored as empty, not as what the text lookups read them as.
    EXPECT_EQ(invokerOf(registry, "IfcY", ""), "libB,createB");
    EXPECT_EQ(proxyOf(registry, ""), "libC,createC");
}

// Every command's fields are split alike (ChannelCommands: extra fields, colons and line feeds
// kept, a megabyte of commas, command words matched whole, missing fields read as empty); these
// are the names of a registration.
TEST(ChannelRegistration, ArgumentsAreSplitAtCommasOnlyAndNeverTrimmed) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"reg:A B,c", {"A/1/c", "B/1/c"}},
        {"reg:A\tB, c", {"A\tB/1/ c"}},
        {std::string("reg:A\0B,c", 9), {std::string("A\0B/1/c", 7)}},
        {"reg:\xff\xfe,c", {"\xff\xfe/1/c"}},
        {"reg:A", {}},
        {"reg:,c", {}},
    };
    for (const auto& [request, rows] : cases) {
        SCOPED_TRACE(request.substr(0, 40));
        ServiceRegistry registry;
        RecordingChannel channel;
        deliver(registry, channel, request);
        EXPECT_THAT(table(registry), ElementsAreArray(rows));
        EXPECT_THAT(channel.lines, IsEmpty());
    }
}
