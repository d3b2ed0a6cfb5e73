// The journal on a file system that fills up or damages it: it stays small, loses only a damaged
// record, refuses what it cannot keep without counting it, and takes changes again once there is
// room. That a registry rebuilt from it holds the same tables, creators and ids, a registration
// left with only its empty name included, is PipelineDifferential's.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "PipelineUnderTest.h"
#include "Processes.h"
#include "RegistryViews.h"
#include "SvcDetails.h"

namespace svcreg {
namespace {

// The file may not grow past its size, as on a full file system.
class FileSizeLimit {
public:
    explicit FileSizeLimit(std::uintmax_t size) {
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

// Makes changes while the file has room for them: the number made until the first refused.
int untilRefused(const std::function<bool(int)>& change) {
    int made = 0;
    while (made < 100000 && change(made)) ++made;
    EXPECT_LT(made, 100000) << "the file grew past its limit";
    return made;
}

// However many changes churn through it, the file stays within a few times the tables it keeps;
// a byte flipped in the middle of it, in a record's length or its contents, costs that record
// only; and a daemon starts on a file system with no room, refuses changes while there is none,
// and takes them again, kept, once there is.
TEST(Journal, StaysSmallLosesOnlyADamagedRecordAndWaitsForRoom) {
    TempDirectory directory;
    const std::string path = directory.path() + "/journal";
    {
        PipelineUnderTest churned(path);
        std::string names;
        for (int i = 0; i < 4096; ++i) {
            const std::string number = std::to_string(i) + ".";
            names += (i == 0 ? "" : " ") + number + std::string(255 - number.size(), 'n');
        }
        std::uintmax_t largest = 0;
        for (int cycle = 0; cycle < 150; ++cycle) {
            churned.registry->registerSvcInterface(names, "ch");
            churned.registry->deregisterSvcInterfaces(names, "ch");
            largest = std::max(largest, std::filesystem::file_size(path));
        }
        EXPECT_LT(largest, 4u << 20);
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
        const PipelineUnderTest again(path);
        EXPECT_EQ(again.registry->getSvcDetailsList().size(), 99u);
    }

    std::optional<FileSizeLimit> full(std::in_place, 0);
    PipelineUnderTest started(path);  // its rewrite fails: the file as it is takes the changes
    untilRefused([&](int n) {         // while the room it had lasts
        return started.registry->registerSvcInterface("w" + std::to_string(n), "ch");
    });
    std::string channel;
    EXPECT_TRUE(started.registry->findSvcInterface("r0", channel));
    full.reset();
    EXPECT_TRUE(started.registry->registerSvcInterface("kept", "ch"));
    EXPECT_TRUE(PipelineUnderTest(path).registry->findSvcInterface("kept", channel));
}

// A rewrite cut short by the daemon's end leaves no file behind once the next one is done.
TEST(Journal, ARewriteCutShortLeavesNoFileBehind) {
    TempDirectory directory;
    const std::string path = directory.path() + "/journal";
    std::string error;
    ForkedProcess([&] {
        return RegistryJournal(path).rewrite([](const auto&) { _exit(0); }, error);
    }).kill();
    ASSERT_TRUE(RegistryJournal(path).rewrite([](const auto&) {}, error)) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path()), {}), 1);
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
        const FileSizeLimit full(std::filesystem::file_size(directory.path() + "/journal"));
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
    // A's removal was refused; B has the id no refused registration took.
    EXPECT_EQ(table(*served.registry), (std::vector<std::string>{"A/1/c", "B/2/c"}));
}

// A peer's names, where they may hold any byte, are only bytes of its own record: a record spelled
// out inside them is not taken for one of the daemon's when the record around it was cut short by
// a crash (the rest of it zero bytes, as the room kept after the records).
TEST(Journal, ARecordSpelledInANameIsNeverReplayed) {
    TempDirectory directory;
    const std::string path = directory.path() + "/journal";
    PeerCredentials alice, bob;
    alice.uid = 1001;
    bob.uid = 1002;
    alice.groups = bob.groups = {kUsers};
    const std::string forged =
        RegistryJournal::encode({JournalRecord::Kind::Deregister, 1002, 0, {"B", "bobs"}});
    {
        RegistryQuotas quotas;
        quotas.controlCharactersInNames = true;
        PipelineUnderTest served(path, quotas);
        ASSERT_EQ(served.ask(bob, "reg:B,bobs"), "");
        CallFrom call(alice);
        ASSERT_TRUE(served.registry
                        ->apply(RegistryChange::entries(RegistryChange::Kind::Register,
                                                        "x" + forged + "y", "alices", "register"),
                                &call)
                        .made);
    }
    std::string bytes = readFile(path);
    const std::size_t inner = bytes.rfind(forged);
    ASSERT_NE(inner, std::string::npos);
    const std::size_t cut = inner + forged.size();
    bytes.replace(cut, bytes.size() - cut, bytes.size() - cut, '\0');
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    const PipelineUnderTest again(path);
    EXPECT_EQ(table(*again.registry), (std::vector<std::string>{"B/1/bobs"}));
}

}  // namespace
}  // namespace svcreg
