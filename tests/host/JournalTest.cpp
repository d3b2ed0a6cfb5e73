// The journal: a registry rebuilt from it holds the same tables, service ids and next id, after
// any mix of changes, a rewrite, or a crash that cut its last record short.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "PipelineUnderTest.h"
#include "Processes.h"
#include "RegistryViews.h"
#include "SvcDetails.h"

namespace svcreg {
namespace {

// A registry served through a journal at path, rebuilt from what the file holds.
struct Journaled : PipelineUnderTest {
    explicit Journaled(const std::string& path) : PipelineUnderTest(path) {}

    // The tables as text: every entry with its id and channel, the creator each lookup finds,
    // and the id the next registration gets (which this takes).
    std::string tables() {
        registry->registerSvcInterface("next", "next_ch");
        std::string text, next;
        for (const std::string& row : table(*registry)) {
            if (row.rfind("next/", 0) != 0)
                text += "[" + row + "]";
            else
                next = row.substr(5, row.rfind('/') - 5);  // the last one is the newest
        }
        for (const char* ifc : {"I", "J"}) {
            text += std::string(" proxy ") + ifc + "=" + proxyOf(*registry, ifc);
        }
        for (const auto& [ifc, protocol] : {std::pair{"a,b", "c"}, {"a", "b,c"}, {"J", "c"}}) {
            text += std::string(" invoker ") + ifc + "/" + protocol + "=" +
                    invokerOf(*registry, ifc, protocol);
        }
        return text + " next " + next;
    }
};

// Names with spaces, empty names, the same name twice, gaps in the ids left by deregistrations
// (the last ones too), a registration left with nothing but its empty name, creators given twice
// and invoker keys that read alike.
void makeChanges(RegistryPipeline& registry) {
    registry.registerSvcInterface("A B", "ch1");
    registry.registerSvcInterface("A", "ch1");
    registry.registerSvcInterface(" C", "ch2");
    registry.registerSvcInterface("", "ch2");  // refused: takes no id
    registry.registerSvcInterface("D", "ch3");
    registry.registerSvcInterface("A", "ch2");
    registry.deregisterSvcInterfaces("C", "ch2");
    registry.deregisterSvcInterfaces("D", "ch3");
    registry.registerSvcInterface("E", "ch4");
    registry.deregisterSvcInterfaces("E", "ch4");
    registry.registerProxyInfo("L1", "F1", "I", "P1");
    registry.registerProxyInfo("L2", "F2", "I", "P2");
    registry.registerProxyInfo("L1", "F1", "I", "P3");
    registry.registerInvokerInfo("L3", "F3", "a,b", "c");
    registry.registerInvokerInfo("L4", "F4", "a", "b,c");
    registry.registerInvokerInfo("L5", "F5", "J", "c");
}

TEST(Journal, ARegistryRebuiltFromItHoldsTheSameTablesAndIds) {
    TempDirectory directory;
    const std::string path = directory.path() + "/journal";
    std::string expected;
    {
        Journaled first(path);
        makeChanges(*first.registry);
        expected = first.tables();
    }
    // What the tables hold is the library's tests'; that the journal's copy agrees with the
    // library after every change, PipelineDifferential's. Only that the creators were made.
    EXPECT_NE(expected.find("proxy I=L1,F1"), std::string::npos) << expected;
    // Rebuilt from the records as they were made, then from the rewrite that restore made.
    for (const char* time : {"first", "second"}) {
        SCOPED_TRACE(time);
        Journaled again(path);
        const std::string rebuilt = again.tables();
        EXPECT_EQ(rebuilt.substr(0, rebuilt.find(" next")),
                  expected.substr(0, expected.find(" next")));
        EXPECT_NE(rebuilt.find(time[0] == 'f' ? " next 8" : " next 9"), std::string::npos)
            << rebuilt;
    }
}

// The file may not grow past its size, as on a full file system.
class FileSizeLimit {
public:
    explicit FileSizeLimit(off_t size) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit limit = before;
        limit.rlim_cur = static_cast<rlim_t>(size);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &before); }

private:
    rlimit before{};
};

off_t sizeOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Makes changes while the file has room for them: the number made until the first refused.
int untilRefused(const std::function<bool(int)>& change) {
    int made = 0;
    while (made < 100000 && change(made)) ++made;
    EXPECT_LT(made, 100000) << "the file grew past its limit";
    return made;
}

// The id an entry has, or "" when it is not there.
std::string idOf(RegistryPipeline& registry, const std::string& ifc) {
    for (const SvcDetails& entry : registry.getSvcDetailsList()) {
        if (entry.ifc == ifc) return entry.svcId;
    }
    return "";
}

TEST(Journal, AChangeIsMadeOnlyOnceOnFileAndManyChangesAreRewrittenSmall) {
    TempDirectory directory;
    const std::string path = directory.path() + "/journal";
    int kept = 0;
    {
        Journaled first(path);
        const std::string churn(255, 'c');
        for (int i = 0; i < 2000; ++i) {
            first.registry->registerSvcInterface(churn, "ch");
            first.registry->deregisterSvcInterfaces(churn, "ch");
        }
        EXPECT_LT(sizeOf(path), 400 << 10) << "not rewritten";
        {
            const FileSizeLimit full(sizeOf(path));
            kept = untilRefused([&](int n) {
                return first.registry->registerSvcInterface("kept" + std::to_string(n), "ch");
            });
        }
        EXPECT_EQ(idOf(*first.registry, "kept" + std::to_string(kept)), "");
        // The refused registration took no id.
        first.registry->registerSvcInterface("after", "ch");
        EXPECT_EQ(idOf(*first.registry, "after"), std::to_string(2001 + kept));
    }
    // A record cut short, as a crash in the middle of a copy leaves it, after the whole ones.
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    std::size_t dropped = 0, end = 0;
    for (const JournalRecord& record : RegistryJournal::parse(bytes, dropped)) {
        end += RegistryJournal::encode(record).size();
    }
    file.seekp(static_cast<std::streamoff>(end));
    file << std::string("\x30\0\0\0\x01\x02", 6);
    file.close();
    LogCapture log;
    Journaled again(path);
    const std::vector<std::string> messages = log.messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& message) {
        return message.find("6 bytes of") == 0;
    }));
    EXPECT_EQ(again.registry->getSvcDetailsList().size(), static_cast<std::size_t>(kept) + 1);
    EXPECT_EQ(idOf(*again.registry, "after"), std::to_string(2001 + kept));
}

// However many changes churn through it, the file stays within a few times the tables it keeps;
// a byte flipped in the middle of it, in a record's length or its contents, costs that record
// only; and a daemon starts on a file system with no room, refuses changes while there is none,
// and takes them again, kept, once there is.
TEST(Journal, StaysSmallLosesOnlyADamagedRecordAndWaitsForRoom) {
    TempDirectory directory;
    const std::string path = directory.path() + "/journal";
    {
        Journaled churned(path);
        std::string names;
        for (int i = 0; i < 4096; ++i) {
            const std::string number = std::to_string(i) + ".";
            names += (i == 0 ? "" : " ") + number + std::string(255 - number.size(), 'n');
        }
        off_t largest = 0;
        for (int cycle = 0; cycle < 150; ++cycle) {
            churned.registry->registerSvcInterface(names, "ch");
            churned.registry->deregisterSvcInterfaces(names, "ch");
            largest = std::max(largest, sizeOf(path));
        }
        EXPECT_LT(largest, 4 << 20);
        for (int i = 0; i < 100; ++i)
            churned.registry->registerSvcInterface("r" + std::to_string(i), "ch");
    }
    const std::string bytes = readFile(path);
    std::size_t dropped = 0, middle = 0;
    const std::vector<JournalRecord> records = RegistryJournal::parse(bytes, dropped);
    ASSERT_GE(records.size(), 100u);
    for (std::size_t i = 0; i < records.size() - 50; ++i)
        middle += RegistryJournal::encode(records[i]).size();
    for (const std::size_t flipped : {middle, middle + 12}) {  // the length, a name
        SCOPED_TRACE(flipped);
        std::string damaged = bytes;
        damaged[flipped] = static_cast<char>(damaged[flipped] ^ 0x40);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << damaged;
        const Journaled again(path);
        EXPECT_EQ(again.registry->getSvcDetailsList().size(), 99u);
    }

    std::optional<FileSizeLimit> full(std::in_place, 0);
    Journaled started(path);   // its rewrite fails: the file as it is takes the changes
    untilRefused([&](int n) {  // while the room it had lasts
        return started.registry->registerSvcInterface("w" + std::to_string(n), "ch");
    });
    std::string channel;
    EXPECT_TRUE(started.registry->findSvcInterface("r0", channel));
    full.reset();
    EXPECT_TRUE(started.registry->registerSvcInterface("kept", "ch"));
    EXPECT_TRUE(Journaled(path).registry->findSvcInterface("kept", channel));
}

// Usage is counted from what was kept: a change the journal refuses leaves every quota as it
// was, so a full file system takes nothing from anyone.
TEST(Journal, AChangeItCannotKeepCountsAgainstNoQuota) {
    TempDirectory directory;
    RegistryQuotas quotas;
    quotas.entriesPerUser = 2;
    quotas.creatorsPerUser = 1;
    quotas.changesPerUserPerSecond = 1 << 20;  // the room is filled as fast as it may be
    quotas.changeBytesPerUserPerSecond = 1 << 30;
    PipelineUnderTest served(directory.path() + "/journal", quotas);
    PeerCredentials alice;
    alice.uid = 1001;
    alice.groups = {kUsers};
    ASSERT_EQ(served.ask(alice, "reg:A,c"), "");
    {
        const FileSizeLimit full(sizeOf(directory.path() + "/journal"));
        untilRefused([&](int) { return served.ask(alice, "dereg:Z,c").empty(); });
        for (const char* refused : {"reg:B,c", "reg_proxy:l,f,I,p", "dereg:A,c"}) {
            EXPECT_EQ(served.ask(alice, refused).rfind("the registry cannot keep the change: ", 0),
                      0u)
                << refused;
        }
    }
    EXPECT_EQ(served.ask(alice, "reg:B,c"), "");
    EXPECT_EQ(served.ask(alice, "reg:C,c"), "over the quota of entries (2 per user)");
    EXPECT_EQ(served.ask(alice, "reg_proxy:l,f,I,p"), "");
    std::string channel;
    EXPECT_TRUE(served.registry->findSvcInterface("A", channel));  // its removal was refused
}

}  // namespace
}  // namespace svcreg
