// The table the daemon shares with its clients: lookups that read it see every change
// acknowledged before they began, to anyone; readers never keep half a change, while the daemon
// writes the table again under them; members may map it, others may not, and none may write it.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "LocalTable.h"
#include "RegistryTrust.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryClient.h"
#include "SharedMemoryRequest.h"
#include "SharedTableFile.h"
#include "SnapshotLookups.h"

using namespace svcreg;

namespace {

// A table, with the framework whose watch tells it of its line's hang-up, started first and
// stopped first.
struct Framework {
    explicit Framework(const DaemonUnderTest& daemon)
        : host(hostOptionsIn(daemon.runtimeDirectory())) {
        host.start();
    }
    HostFramework host;
};
struct WatchedTable : Framework, LocalTable {
    explicit WatchedTable(const DaemonUnderTest& daemon,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : Framework(daemon),
          LocalTable(
              daemon.socketPath(), kDefaultRegistryChannel,
              [](const PeerCredentials& peer) { return peer.uid == 0 || peer.uid == geteuid(); },
              timeout, host) {}
    ~WatchedTable() { host.stop(); }
};

// The channel of ifc's first entry in the shared table; "none" without one, "unshared" when the
// table is not shared. Of a table kept or of one made for the look.
template <typename Table>
std::string channelOf(Table&& table, const std::string& ifc) {
    std::string channel = "none";
    if (!table.read([&](const TableSnapshotView& view) {
            SnapshotLookups::findChannel(view, ifc, channel);
        })) {
        return "unshared";
    }
    return channel;
}

// The daemon, a client that changes its table, and the table as another line to it reads it.
class SharedTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(writer.open()); }

    DaemonUnderTest daemon;
    RegistryClient writer{daemon.clientOptions()};
    WatchedTable table{daemon};
};

// Each registration is a pair of names under one id, made and removed as one: a reader that
// ever keeps one name without the other, or under another id, kept half a change. The readers
// share one table, so one asks for the current snapshot, which the daemon writes over a half,
// while the others read. Large names make the file grow while they read. Meanwhile each change,
// once acknowledged to the writer, is in the table at once, as this line reads it.
TEST_F(SharedTable, EveryChangeAcknowledgedIsSeenAtOnceAndReadersNeverSeeHalfOfOne) {
    const int changes = kSanitized ? 400 : 4000;
    std::atomic<bool> churning{true};
    std::atomic<int> reads{0}, torn{0}, unshared{0};
    const auto readTable = [&] {
        while (churning) {
            // Checked while reading, so that reads last long enough for the daemon to write
            // over what they read; only what the read kept counts.
            int tornPairs = 0;
            const bool shared = table.read([&](const TableSnapshotView& view) {
                std::vector<ServiceRecord> entries;
                SnapshotLookups::detailsList(view, entries);
                std::map<std::string, std::vector<ServiceId>> halves;
                for (const ServiceRecord& entry : entries) {
                    halves[entry.ifc.substr(0, entry.ifc.size() - 1)].push_back(entry.svcId);
                }
                tornPairs = 0;
                for (const auto& [pair, ids] : halves) {
                    if (ids.size() != 2 || ids[0] != ids[1]) ++tornPairs;
                }
            });
            if (!shared) {
                ++unshared;
                continue;
            }
            torn += tornPairs;
            ++reads;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) readers.emplace_back(readTable);
    // Ten pairs at a time: each new one in, the oldest out.
    const auto pairNames = [](int pair) {
        const std::string name = "com.churn.P" + std::to_string(pair) + ".";
        return std::vector<std::string>{name + "a", name + "b"};
    };
    for (int pair = 0; pair < changes / 2; ++pair) {
        if (pair == changes / 4) {
            // 1,000 pairs of long names at once: more than the file's first halves hold.
            std::vector<std::string> many;
            for (int i = 0; i < 1000; ++i) {
                const std::string name = "com.big." + std::string(200, 'x') + std::to_string(i);
                many.insert(many.end(), {name + "a", name + "b"});
            }
            ASSERT_TRUE(writer.registerInterfaces(many, "ch"));
        }
        ASSERT_TRUE(writer.registerInterfaces(pairNames(pair), "ch"));
        EXPECT_EQ(channelOf(table, pairNames(pair)[0]), "ch") << "once registered";
        if (pair < 10) continue;
        ASSERT_TRUE(writer.deregisterInterfaces(pairNames(pair - 10), "ch"));
        EXPECT_EQ(channelOf(table, pairNames(pair - 10)[0]), "none") << "once deregistered";
    }
    churning = false;
    for (std::thread& thread : readers) thread.join();
    EXPECT_EQ(torn, 0);
    // A reader may give up while the table changes faster than it reads the whole of it.
    EXPECT_GT(reads, 0) << unshared << " reads went without the table";
}

// A client stops reading the table of a daemon that crashed within a second, also after a
// request for the table that timed out left it no line to its daemon, and reads its successor's,
// in the same file or another: the tables a client keeps are those of a daemon alive. One that
// stops cleanly sends lookups to the socket at once.
TEST_F(SharedTable, TheTableOfADaemonThatEndedIsReadNoMore) {
    WatchedTable impatient(daemon, std::chrono::milliseconds(300));
    ASSERT_EQ(daemon.client({"--keep", "register", "com.kept.A", "a_ch"}).exitCode, 0);
    EXPECT_EQ(channelOf(table, "com.kept.A"), "a_ch");
    ASSERT_EQ(channelOf(impatient, "com.kept.A"), "a_ch");
    ASSERT_TRUE(writer.registerInterfaces({"com.kept.B"}, "b_ch"));

    // The table is stale: the impatient client asks for it again, and gets no answer in time.
    daemon.process().signal(SIGSTOP);
    ASSERT_TRUE(eventually([&] { return everyThreadStopped(daemon.process().pid()); }));
    EXPECT_EQ(channelOf(impatient, "com.kept.B"), "unshared");
    daemon.process().signal(SIGCONT);
    // Another client's request has the daemon write the current snapshot, which the client reads.
    EXPECT_EQ(channelOf(WatchedTable(daemon), "com.kept.B"), "b_ch");

    daemon.restart(SIGKILL, false);
    EXPECT_TRUE(eventually([&] { return channelOf(table, "com.kept.A") == "unshared"; }));
    EXPECT_TRUE(eventually([&] { return channelOf(impatient, "com.kept.B") == "unshared"; },
                           std::chrono::seconds(3)));
    // The successor shares another file: the table it had is gone with the state folder.
    ASSERT_EQ(unlink((daemon.stateDirectory() + "/svcreg.table").c_str()), 0);
    daemon.start();
    ASSERT_EQ(daemon.client({"--keep", "register", "com.new.C", "c_ch"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return channelOf(table, "com.new.C") == "c_ch"; }));
    EXPECT_EQ(channelOf(table, "com.kept.A"), "a_ch");

    daemon.restart(SIGTERM, false);
    EXPECT_EQ(channelOf(table, "com.kept.A"), "unshared");
    daemon.start();
}

// Nothing the page says takes a reader outside the file: a capacity whose halves' size wraps
// around to fit the mapping is a table the client does not read.
TEST_F(SharedTable, ACapacityThatWrapsAroundTheFileSizeIsNotRead) {
    ASSERT_TRUE(writer.registerInterfaces({"com.first.A"}, "a_ch"));
    ASSERT_EQ(channelOf(table, "com.first.A"), "a_ch");
    const UniqueFd file(open((daemon.stateDirectory() + "/svcreg.table").c_str(), O_RDWR));
    void* mapped = mmap(nullptr, SharedTableFile::kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED,
                        file.get(), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* page = static_cast<SharedTableFile::Page*>(mapped);
    page->halfCapacity.store(std::uint64_t{1} << 63);  // two halves of it: no bytes at all
    page->word.fetch_or(1);                            // the half past the end of the memory
    EXPECT_EQ(channelOf(table, "com.first.A"), "unshared");
    munmap(mapped, SharedTableFile::kPageSize);
}

// One FUTEX_WAKE, or one FUTEX_CMP_REQUEUE of every waiter to a word of this process's, on the
// table's word as any member may map it: how many waiters it reached.
long strike(std::uint32_t* word, int operation) {
    static std::uint32_t elsewhere = 0;
    const auto everyone = reinterpret_cast<const timespec*>(static_cast<std::uintptr_t>(INT32_MAX));
    return operation == FUTEX_WAKE
               ? syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0)
               : syscall(SYS_futex, word, FUTEX_CMP_REQUEUE, 0, everyone, &elsewhere,
                         __atomic_load_n(word, __ATOMIC_ACQUIRE));
}

std::chrono::nanoseconds cpuTimeOf(std::thread& thread) {
    clockid_t clock{};
    timespec used{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0) {
        return std::chrono::nanoseconds::max();
    }
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

// Any member may wake the page's word, or move its sleepers to another word: a client waiting
// for an entry under a loop of either spends under 5% of a core, and still ends its wait within
// 20 ms (here, with margin, 60 ms) of the entry's registration.
TEST_F(SharedTable, AMemberStrikingTheWordCannotMakeWaitersSpinNorSleepOn) {
    ASSERT_TRUE(writer.registerInterfaces({"com.first.A"}, "a_ch"));  // the file is there
    const UniqueFd file(open((daemon.stateDirectory() + "/svcreg.table").c_str(), O_RDONLY));
    void* page = mmap(nullptr, SharedTableFile::kPageSize, PROT_READ, MAP_SHARED, file.get(), 0);
    ASSERT_NE(page, MAP_FAILED);
    auto* word = reinterpret_cast<std::uint32_t*>(&static_cast<SharedTableFile::Page*>(page)->word);
    const struct {
        const char* name;
        int operation;
    } attacks[] = {{"FUTEX_WAKE", FUTEX_WAKE}, {"FUTEX_CMP_REQUEUE", FUTEX_CMP_REQUEUE}};
    for (const auto& attack : attacks) {
        SCOPED_TRACE(attack.name);
        const std::string ifc = std::string("com.late.") + attack.name;
        RegistryClient waiter(daemon.clientOptions());
        ASSERT_TRUE(waiter.open());
        std::chrono::steady_clock::time_point ended;
        std::thread waiting([&] {
            EXPECT_TRUE(waiter.wait(ifc, std::chrono::seconds(30)));
            ended = std::chrono::steady_clock::now();
        });
        std::atomic<bool> striking{true};
        std::atomic<long> reached{0};
        std::thread striker([&] {
            while (striking) {
                if (strike(word, attack.operation) > 0) ++reached;
            }
        });
        // No ASSERT while the threads run: the registration below ends them either way.
        EXPECT_TRUE(eventually([&] { return reached > 0; }));

        constexpr auto kWindow = std::chrono::seconds(1);
        const auto cpuBefore = cpuTimeOf(waiting);
        const auto wallBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(kWindow);
        const auto cpu = cpuTimeOf(waiting) - cpuBefore;
        const auto wall = std::chrono::steady_clock::now() - wallBefore;
        EXPECT_LT(cpu, wall / 20) << "the waiter used " << cpu.count() / 1000 << " us of CPU in "
                                  << wall.count() / 1000 << " us";

        // Registered just after the striker reached the waiter, asleep.
        const long before = reached;
        EXPECT_TRUE(eventually([&] { return reached > before; }));
        EXPECT_TRUE(writer.registerInterfaces({ifc}, "late_ch"));
        const auto registered = std::chrono::steady_clock::now();
        waiting.join();
        striking = false;
        striker.join();
        EXPECT_LT(ended - registered, std::chrono::milliseconds(60))
            << "the wait ended "
            << std::chrono::duration_cast<std::chrono::milliseconds>(ended - registered).count()
            << " ms after the registration";
    }
    munmap(page, SharedTableFile::kPageSize);
}

// A member is handed the file and reads the table from it, but cannot change it, nor open it
// itself. A non-member gets nothing as it gets no connection (Access.TheGroupMayUseTheRegistry...:
// refused at the socket, and closed by the daemon once the socket lets anyone connect).
TEST(SharedTableAccess, MembersMapTheTableAndNoneWritesIt) {
    if (geteuid() != 0) GTEST_SKIP() << "runs processes as other users: needs root";
    DaemonUnderTest daemon({"--group", "users"});
    ASSERT_EQ(chmod(daemon.runtimeDirectory().c_str(), 0755), 0);
    ASSERT_EQ(daemon.client({"--keep", "register", "com.shared.A", "a_ch"}).exitCode, 0);
    const ForkedAs member{kNobody, kNogroup, {kUsers}};
    const ForkedProcess memberReads(
        [&] {
            SharedMemoryLine line(
                daemon.socketPath(), kDefaultRegistryChannel,
                [](const PeerCredentials& peer) { return peer.uid == 0; },
                std::chrono::seconds(10));
            std::vector<UniqueFd> shared;
            if (line.ask(shared) != ShareOutcome::Shared || shared.size() != 1) return false;
            // Read-only, of a file only root may open: no mapping, mprotect, write or truncation
            // through it, nor a descriptor opened again for writing, changes it.
            struct stat status {};
            return (fcntl(shared[0].get(), F_GETFL) & O_ACCMODE) == O_RDONLY &&
                   fstat(shared[0].get(), &status) == 0 && (status.st_mode & 0777) == 0600 &&
                   status.st_uid == 0 && channelOf(WatchedTable(daemon), "com.shared.A") == "a_ch";
        },
        &member);
    EXPECT_TRUE(memberReads.started);
}

}  // namespace
