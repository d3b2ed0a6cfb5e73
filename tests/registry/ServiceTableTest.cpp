#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "RecordingObserver.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {}  // namespace

TEST(Register, ListOfNamesSharesOneIdAndNotifiesInOrder) {
    ServiceRegistry registry;
    RecordingObserver observer;
    registry.subscribeStartupEvents(&observer);
    LogCapture capture(4);

    EXPECT_TRUE(registry.registerSvcInterface("A B", "ch1"));
    EXPECT_THAT(table(registry), ElementsAre("A/1/ch1", "B/1/ch1"));
    EXPECT_THAT(observer.names(), ElementsAre("A", "B"));
    EXPECT_THAT(capture.messages(), ElementsAre("Registered interface 'A B' at channel 'ch1'"));

    EXPECT_TRUE(registry.registerSvcInterface("C", "ch2"));
    EXPECT_THAT(table(registry), ElementsAre("A/1/ch1", "B/1/ch1", "C/2/ch2"));
}

TEST(Register, EmptyPiecesOfTheListAreNamesToo) {
    ServiceRegistry registry;
    RecordingObserver observer;
    registry.subscribeStartupEvents(&observer);

    registry.registerSvcInterface("A  B", "ch");
    registry.registerSvcInterface("C ", "ch");
    registry.registerSvcInterface(" ", "ch");
    EXPECT_THAT(table(registry),
                ElementsAre("/1/ch", "/2/ch", "/3/ch", "/3/ch", "A/1/ch", "B/1/ch", "C/2/ch"));
    EXPECT_THAT(observer.names(), ElementsAre("A", "", "B", "C", "", "", ""));
}

TEST(Register, EmptyInterfaceOrChannelIsRefusedWithoutUsingAnId) {
    ServiceRegistry registry;
    RecordingObserver observer;
    registry.subscribeStartupEvents(&observer);
    LogCapture capture(6);

    EXPECT_FALSE(registry.registerSvcInterface("", "ch"));
    EXPECT_FALSE(registry.registerSvcInterface("A", ""));
    EXPECT_THAT(capture.lines(), IsEmpty());
    EXPECT_THAT(observer.names(), IsEmpty());
    EXPECT_THAT(table(registry), IsEmpty());

    registry.registerSvcInterface("A", "ch");
    EXPECT_THAT(table(registry), ElementsAre("A/1/ch"));
}

TEST(Register, SameRegistrationTwiceMakesTwoEntriesThatOneDeregistrationRemoves) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A", "ch1");
    registry.registerSvcInterface("A", "ch1");
    EXPECT_THAT(table(registry), ElementsAre("A/1/ch1", "A/2/ch1"));
    EXPECT_THAT(registry.findSvcsForIfc("A"), ElementsAre("ch1", "ch1"));

    EXPECT_TRUE(registry.deregisterSvcInterfaces("A", "ch1"));
    EXPECT_THAT(table(registry), IsEmpty());
}

TEST(Register, IdsCountCallsAndAreNeverReused) {
    ServiceRegistry registry;
    for (int i = 1; i <= 11; ++i) registry.registerSvcInterface("n" + std::to_string(i), "ch");
    registry.deregisterSvcInterfaces("n11", "ch");
    registry.deregisterSvcInterfaces("n3", "ch");
    registry.registerSvcInterface("last", "ch");
    auto rows = table(registry);
    EXPECT_EQ(rows.front(), "last/12/ch") << "twelfth call, decimal text, not a freed id";
    EXPECT_THAT(rows, ::testing::Contains("n4/4/ch")) << "other ids do not move";
}

TEST(Find, AnswersTheEarliestRegistrationStillPresent) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A", "ch1");
    registry.registerSvcInterface("A", "ch2");
    std::string channel;
    EXPECT_TRUE(registry.findSvcInterface("A", channel));
    EXPECT_EQ(channel, "ch1");
    EXPECT_THAT(registry.findSvcsForIfc("A"), ElementsAre("ch1", "ch2"));

    registry.deregisterSvcInterfaces("A", "ch1");
    EXPECT_TRUE(registry.findSvcInterface("A", channel));
    EXPECT_EQ(channel, "ch2");
}

TEST(Find, NotFoundEmptiesTheChannelButAnEmptyNameLeavesItAlone) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B", "ch");
    std::string channel = "stale";
    EXPECT_FALSE(registry.findSvcInterface("Z", channel));
    EXPECT_EQ(channel, "");

    channel = "stale";
    EXPECT_FALSE(registry.findSvcInterface("", channel));
    EXPECT_EQ(channel, "stale");

    EXPECT_FALSE(registry.findSvcInterface("A B", channel)) << "one name, never cut";
    EXPECT_THAT(registry.findSvcsForIfc("A B"), IsEmpty());
    EXPECT_THAT(registry.findSvcsForIfc(""), IsEmpty());
    EXPECT_THAT(registry.findSvcsForIfc("Z"), IsEmpty());
    EXPECT_FALSE(registry.findSvcInterface("a", channel)) << "names are case-sensitive";
}

TEST(Find, LogsTheLookupAndItsOutcomeAtTheirLevels) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A", "ch");
    std::string channel;
    {
        LogCapture capture(5);
        registry.findSvcInterface("A", channel);
        registry.findSvcInterface("B", channel);
        registry.findSvcInterface("", channel);
        auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0].message, "Finding channel for service interface 'A'");
        EXPECT_EQ(lines[1].message, "Service interface 'A' found at channel 'ch'");
        EXPECT_EQ(lines[2].message, "Finding channel for service interface 'B'");
        EXPECT_EQ(lines[3].message, "Service interface 'B' not found");
        EXPECT_EQ(lines[4].message, "Finding channel for service interface ''");
        EXPECT_EQ(lines[1].level, 5);
        EXPECT_EQ(lines[3].level, 3);
        for (const auto& line : lines) EXPECT_EQ(line.module, "ServiceRegistry");
    }
    LogCapture onlyMisses(3);
    registry.findSvcInterface("A", channel);
    registry.findSvcInterface("B", channel);
    registry.findSvcsForIfc("A");
    registry.getSvcDetailsList();
    EXPECT_THAT(onlyMisses.messages(), ElementsAre("Service interface 'B' not found"));
}

TEST(Deregister, RemovesOnlyTheNamedPiecesAtThatChannelAndAlwaysSucceeds) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B C", "ch1");
    registry.registerSvcInterface("A", "ch2");
    registry.registerSvcInterface("A ", "ch1");  // also the empty name

    LogCapture capture(4);
    EXPECT_TRUE(registry.deregisterSvcInterfaces("A", "ch9"));
    EXPECT_TRUE(registry.deregisterSvcInterfaces("Nope", "ch1"));
    EXPECT_THAT(table(registry),
                ElementsAre("/3/ch1", "A/1/ch1", "A/2/ch2", "A/3/ch1", "B/1/ch1", "C/1/ch1"));

    EXPECT_TRUE(registry.deregisterSvcInterfaces("", "ch1"));
    EXPECT_THAT(table(registry),
                ElementsAre("A/1/ch1", "A/2/ch2", "A/3/ch1", "B/1/ch1", "C/1/ch1"));

    EXPECT_TRUE(registry.deregisterSvcInterfaces("A C", "ch1"));
    EXPECT_THAT(table(registry), ElementsAre("A/2/ch2", "B/1/ch1"));
    EXPECT_THAT(capture.messages(), ElementsAre("Deregistered interface 'A' at channel 'ch9'",
                                                "Deregistered interface 'Nope' at channel 'ch1'",
                                                "Deregistered interface '' at channel 'ch1'",
                                                "Deregistered interface 'A C' at channel 'ch1'"));
}

TEST(DetailsList, OrdersNamesByUnsignedBytesThenRegistration) {
    ServiceRegistry registry;
    registry.registerSvcInterface("b", "x");
    registry.registerSvcInterface("a", "y");
    registry.registerSvcInterface("\xff", "z");
    registry.registerSvcInterface("ab", "w");
    registry.registerSvcInterface("B", "v");
    registry.registerSvcInterface("a", "u");
    EXPECT_THAT(table(registry),
                ElementsAre("B/5/v", "a/2/y", "a/6/u", "ab/4/w", "b/1/x", "\xff/3/z"));
}
