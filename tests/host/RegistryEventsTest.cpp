// The registry's feed of changes, in one process: a watcher that does not keep up, or ends, is
// dropped and its subscription given back, and the others go on; its replay holds other
// devices' entries too. That a watcher gets the table,
// then each change in order, is WatchAndWait's (LivenessTest).
#include "RegistryEvents.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

#include <gtest/gtest.h>

#include "CountingResponse.h"
#include "DaemonUnderTest.h"
#include "Method.h"
#include "MethodBytes.h"
#include "PipelineUnderTest.h"
#include "RecordingObserver.h"
#include "RegistryEventsProtocol.h"

using namespace svcreg;

namespace {

namespace Wire = RegistryEventsProtocol;

// A watcher in this process: each event that comes, with the names of its entries.
class EventLog final : public CallHandler {
public:
    void handleCall(IncomingCall&, const char* data, int length,
                    std::unique_ptr<InvokerResponse>) override {
        Method event;
        std::string encoded;
        std::vector<ServiceRecord> entries;
        decodeMethod(adapter, bytesOf(data, length), event);
        event.getStringParameter(Wire::kEntries, encoded, Parameter::IN);
        Wire::decodeEntries(encoded, entries);
        std::lock_guard<std::mutex> hold(mutex);
        told += event.getName();
        for (const ServiceRecord& entry : entries) told += " " + entry.ifc;
        told += ";";
    }
    std::size_t count() {
        const std::string events = seen();
        return std::count(events.begin(), events.end(), ';');
    }
    std::string seen() {
        std::lock_guard<std::mutex> hold(mutex);
        return told;
    }

private:
    BinaryProtocolAdapter adapter;
    std::mutex mutex;
    std::string told;
};

// Asks events for a watch from channel, as a member of the registry's group: its answer.
bool watchFrom(RegistryEvents& events, const std::string& channel) {
    BinaryProtocolAdapter adapter;
    Method request(Wire::kWatch, Method::REQUEST);
    const std::string bytes = encodeMethod(adapter, request);
    CallFrom call(PeerCredentials{getpid(), getuid(), kUsers, {}, "", ""});
    ResponseLog log;
    events.handleCall(
        call, bytes.data(), static_cast<int>(bytes.size()),
        std::make_unique<CountingResponse>(log, BinaryProtocolAdapter::kProtocolName, channel));
    Method reply;
    bool result = false;
    return decodeMethod(adapter, log.reply, reply) &&
           reply.getBoolParameter(Wire::kResult, result, Parameter::OUT) && result;
}

TEST(RegistryEvents, AWatcherIsDroppedOnceItLagsOrEndsAndTheOthersGoOn) {
    const TempDirectory folder;
    // Forked before any framework starts a thread: watchers that never read, or end.
    const auto lagging = claimInChild(folder.path(), "lagging_ch");
    const auto ending = claimInChild(folder.path(), "ending_ch");
    ASSERT_TRUE(lagging->started && ending->started);
    HostFramework server(hostOptionsIn(folder.path())), watcher(hostOptionsIn(folder.path()));
    EventLog log;
    ASSERT_TRUE(watcher.bindChannel("watcher_ch", nullptr));
    watcher.bindCallHandler("watcher_ch", Wire::kInterface, log);
    ASSERT_TRUE(server.start() && watcher.start());
    PipelineUnderTest pipeline;
    RegistryPipeline& registry = *pipeline.registry;
    RegistryEvents events(server, registry);
    registry.addListener(&events);
    ASSERT_TRUE(registry.addRemote("B", {"R", 1, "c"}));

    ASSERT_TRUE(watchFrom(events, "watcher_ch"));
    EXPECT_TRUE(eventually([&] { return log.seen() == "replayed R;"; })) << "remote ones too";

    const struct {
        const char* channel;
        std::function<void()> end;
    } cases[] = {
        {"ending_ch", [&] { ending->kill(); }},
        {"lagging_ch",
         [&] {
             // The watcher that reads is let catch up every so often, so that however loaded
             // the machine, only the one that never reads falls behind.
             const std::size_t before = log.count();
             for (int i = 0; i < 100000 && registry.subscriberCount() == 2; ++i) {
                 registry.registerSvcInterface(nullptr, "L" + std::to_string(i), "l_ch");
                 const auto caughtUp = [&] { return log.count() >= before + i + 1; };
                 if (i % 256 == 255 && !eventually(caughtUp)) return;
             }
         }},
    };
    for (const auto& watcherCase : cases) {
        SCOPED_TRACE(watcherCase.channel);
        ASSERT_TRUE(watchFrom(events, watcherCase.channel));
        ASSERT_EQ(registry.subscriberCount(), 2u);
        watcherCase.end();
        EXPECT_TRUE(eventually([&] { return registry.subscriberCount() == 1; }));
    }
    EXPECT_NE(log.seen().find("registered L0;"), std::string::npos) << "the others go on";
    server.stop();
    watcher.stop();
}

// An observer of the registry's startup events is told of a name only once lookups find it: the
// shared table's generation (which TablePublisher moves when told that lookups changed) has moved
// on by then, so that an observer that looks up the name it was told of in that table finds it.
TEST(RegistryEvents, AnObserverIsToldOfANameLookupsFindAlready) {
    struct LookupsMoved final : TableListener {
        void registered(const std::vector<ServiceRecord>&, const PeerCredentials*) override {}
        void removed(const std::vector<ServiceRecord>&, const PeerCredentials*) override {}
        void lookupsChanged() override { ++moves; }
        int moves = 0;
    } lookups;
    PipelineUnderTest pipeline;
    pipeline.registry->addListener(&lookups);
    RecordingObserver observer;
    int movesWhenTold = -1;
    observer.react = [&](const std::string&) { movesWhenTold = lookups.moves; };
    ASSERT_TRUE(pipeline.registry->subscribeStartupEvents(&observer));
    ASSERT_TRUE(pipeline.registry->registerSvcInterface("A", "ch"));
    EXPECT_EQ(movesWhenTold, 1);
}

}  // namespace
