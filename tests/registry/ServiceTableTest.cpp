#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RecordingObserver.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Each call takes the next id, shared by the names of its list, empty pieces included; a
// refused call takes none, and ids of removed entries are never given again.
TEST(Register, EachAcceptedCallTakesOneIdForEveryPieceOfItsList) {
    ServiceRegistry registry;
    RecordingObserver observer;
    registry.subscribeStartupEvents(&observer);

    EXPECT_FALSE(registry.registerSvcInterface("", "ch"));
    EXPECT_FALSE(registry.registerSvcInterface("A", ""));
    EXPECT_TRUE(registry.registerSvcInterface("A  B", "ch1"));
    EXPECT_TRUE(registry.registerSvcInterface("C ", "ch2"));
    EXPECT_TRUE(registry.registerSvcInterface("A", "ch1"));
    EXPECT_THAT(table(registry),
                ElementsAre("/1/ch1", "/2/ch2", "A/1/ch1", "A/3/ch1", "B/1/ch1", "C/2/ch2"));
    EXPECT_THAT(observer.names(), ElementsAre("A", "", "B", "C", "", "A"));

    // The same registration twice is two entries, which one deregistration removes.
    EXPECT_THAT(registry.findSvcsForIfc("A"), ElementsAre("ch1", "ch1"));
    EXPECT_TRUE(registry.deregisterSvcInterfaces("A", "ch1"));
    EXPECT_THAT(registry.findSvcsForIfc("A"), IsEmpty());
    for (int i = 4; i <= 11; ++i) registry.registerSvcInterface("n" + std::to_string(i), "ch");
    registry.deregisterSvcInterfaces("n11", "ch");
    registry.registerSvcInterface("last", "ch");
    const auto rows = table(registry);
    EXPECT_THAT(rows, Contains("last/12/ch")) << "twelfth call, decimal text, not a freed id";
    EXPECT_THAT(rows, Contains("n4/4/ch"));
}

TEST(Find, AnswersTheEarliestEntryStillPresentOfExactlyThatName) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B", "ch1");
    registry.registerSvcInterface("A", "ch2");
    std::string channel;
    EXPECT_TRUE(registry.findSvcInterface("A", channel));
    EXPECT_EQ(channel, "ch1");
    EXPECT_THAT(registry.findSvcsForIfc("A"), ElementsAre("ch1", "ch2"));
    registry.deregisterSvcInterfaces("A", "ch1");
    EXPECT_TRUE(registry.findSvcInterface("A", channel));
    EXPECT_EQ(channel, "ch2");

    // Not found empties the channel, but an empty name leaves it alone.
    EXPECT_FALSE(registry.findSvcInterface("Z", channel));
    EXPECT_EQ(channel, "");
    channel = "stale";
    EXPECT_FALSE(registry.findSvcInterface("", channel));
    EXPECT_EQ(channel, "stale");
    EXPECT_FALSE(registry.findSvcInterface("A B", channel)) << "one name, never cut";
    EXPECT_FALSE(registry.findSvcInterface("b", channel)) << "names are case-sensitive";
    for (const char* absent : {"A B", "", "Z"})
        EXPECT_THAT(registry.findSvcsForIfc(absent), IsEmpty());
}

TEST(Deregister, RemovesOnlyTheNamedPiecesAtThatChannelAndAlwaysSucceeds) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B C", "ch1");
    registry.registerSvcInterface("A", "ch2");
    registry.registerSvcInterface("A ", "ch1");  // also the empty name

    EXPECT_TRUE(registry.deregisterSvcInterfaces("A", "ch9"));
    EXPECT_TRUE(registry.deregisterSvcInterfaces("Nope", "ch1"));
    EXPECT_TRUE(registry.deregisterSvcInterfaces("", "ch1"));
    EXPECT_THAT(table(registry),
                ElementsAre("A/1/ch1", "A/2/ch2", "A/3/ch1", "B/1/ch1", "C/1/ch1"));
    EXPECT_TRUE(registry.deregisterSvcInterfaces("A C", "ch1"));
    EXPECT_THAT(table(registry), ElementsAre("A/2/ch2", "B/1/ch1"));
}

TEST(DetailsList, OrdersNamesByUnsignedBytesThenRegistration) {
    ServiceRegistry registry;
    for (const char* name : {"b", "a", "\xff", "ab", "B", "a"}) {
        registry.registerSvcInterface(name, std::string("ch") + name);
    }
    EXPECT_THAT(table(registry), ElementsAre("B/5/chB", "a/2/cha", "a/6/cha", "ab/4/chab",
                                             "b/1/chb", "\xff/3/ch\xff"));
}
