// The table the daemon shares with its clients: lookups that read it see every change
// acknowledged before they began, to anyone; readers never see half a change, nor a snapshot
// unmapped under them; members may map it, others may not, and nobody may write it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "LocalTable.h"
#include "RegistryTrust.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/RegistryClient.h"
#include "SharedMemoryRequest.h"
#include "SnapshotLookups.h"

using namespace svcreg;

namespace {

std::unique_ptr<LocalTable> localTableOf(const DaemonUnderTest& daemon) {
    return std::make_unique<LocalTable>(
        daemon.socketPath(), kDefaultRegistryChannel,
        [](const PeerCredentials& peer) { return peer.uid == 0 || peer.uid == geteuid(); },
        std::chrono::seconds(10));
}

// The channel of ifc's first entry in the shared table; "none" without one, "unshared" when the
// table is not shared.
std::string channelOf(LocalTable& table, const std::string& ifc) {
    std::string channel = "none";
    if (!table.read([&](const TableSnapshotView& view) {
            SnapshotLookups::findChannel(view, {ifc}, channel);
        })) {
        return "unshared";
    }
    return channel;
}

bool writeLine(int fd, const std::string& line) {
    const std::string bytes = line + "\n";
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::string readLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

// Every way a process might change what it was handed (the page, then the snapshot): all
// must fail. A memory file may be opened again, but the seals still refuse every write.
std::vector<std::string> writesThatWorked(const std::vector<UniqueFd>& shared) {
    std::vector<std::string> worked;
    for (std::size_t i = 0; i < shared.size(); ++i) {
        const std::string which = i == 0 ? "page: " : "snapshot: ";
        const int fd = shared[i].get();
        void* mapped = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped != MAP_FAILED) {
            worked.push_back(which + "writable mapping");
            munmap(mapped, 4096);
        }
        mapped = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
        if (mapped != MAP_FAILED) {
            if (mprotect(mapped, 4096, PROT_READ | PROT_WRITE) == 0)
                worked.push_back(which + "mprotect");
            munmap(mapped, 4096);
        }
        if (pwrite(fd, "x", 1, 0) == 1) worked.push_back(which + "pwrite");
        if (ftruncate(fd, 0) == 0) worked.push_back(which + "ftruncate");
        const UniqueFd again(open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDWR));
        if (again.valid() && pwrite(again.get(), "x", 1, 0) == 1) {
            worked.push_back(which + "pwrite once opened again");
        }
    }
    return worked;
}

// Process A registers, and once acknowledged tells process B over a pipe, which must find the
// entry in the shared table at once; then A deregisters it, and B must no longer find it.
TEST(SharedTable, EveryChangeAcknowledgedIsSeenAtOnceByAnotherProcess) {
    const int rounds = kSanitized ? 1000 : 10000;
    DaemonUnderTest daemon;
    int toReader[2], fromReader[2];
    ASSERT_EQ(pipe(toReader), 0);
    ASSERT_EQ(pipe(fromReader), 0);
    // Forked before this process starts any thread.
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        close(toReader[1]);
        close(fromReader[0]);
        const std::unique_ptr<LocalTable> table = localTableOf(daemon);
        for (std::string asked; !(asked = readLine(toReader[0])).empty();) {
            writeLine(fromReader[1], channelOf(*table, asked));
        }
        _exit(0);
    }
    close(toReader[0]);
    close(fromReader[1]);

    RegistryClient writer(daemon.clientOptions());
    ASSERT_TRUE(writer.open());
    int misses = 0;
    for (int round = 0; round < rounds && misses < 10; ++round) {
        const std::string ifc = "com.rw.I" + std::to_string(round);
        const std::string channel = "ch" + std::to_string(round % 7);
        ASSERT_TRUE(writer.registerInterfaces({ifc}, channel));
        ASSERT_TRUE(writeLine(toReader[1], ifc));
        const std::string seen = readLine(fromReader[0]);
        if (seen != channel) ++misses;
        EXPECT_EQ(seen, channel) << "after registering " << ifc;
        ASSERT_TRUE(writer.deregisterInterfaces({ifc}, channel));
        ASSERT_TRUE(writeLine(toReader[1], ifc));
        const std::string gone = readLine(fromReader[0]);
        if (gone != "none") ++misses;
        EXPECT_EQ(gone, "none") << "after deregistering " << ifc;
    }
    close(toReader[1]);
    int status = 0;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Each registration is a pair of names under one id, made and removed as one: a reader that
// ever sees one name without the other, or under another id, saw half a change. The readers
// share one table, so snapshots are replaced and unmapped while the others read.
TEST(SharedTable, ReadersWhileTheTableChurnsNeverSeeHalfAChange) {
    const int changes = kSanitized ? 400 : 4000;
    DaemonUnderTest daemon;
    const std::unique_ptr<LocalTable> table = localTableOf(daemon);
    std::atomic<bool> churning{true};
    std::atomic<int> reads{0}, torn{0}, unshared{0};
    const auto readTable = [&] {
        while (churning) {
            const bool shared = table->read([&](const TableSnapshotView& view) {
                std::vector<ServiceRecord> entries;
                SnapshotLookups::detailsList(view, {}, entries);
                std::map<std::string, std::vector<ServiceId>> halves;
                for (const ServiceRecord& entry : entries) {
                    halves[entry.ifc.substr(0, entry.ifc.size() - 1)].push_back(entry.svcId);
                }
                for (const auto& [pair, ids] : halves) {
                    if (ids.size() != 2 || ids[0] != ids[1]) ++torn;
                }
            });
            if (!shared) ++unshared;
            ++reads;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) readers.emplace_back(readTable);

    RegistryClient writer(daemon.clientOptions());
    ASSERT_TRUE(writer.open());
    // Ten pairs at a time: each new one in, the oldest out.
    const auto pairNames = [](int pair) {
        const std::string name = "com.churn.P" + std::to_string(pair) + ".";
        return std::vector<std::string>{name + "a", name + "b"};
    };
    for (int pair = 0; pair < changes / 2; ++pair) {
        ASSERT_TRUE(writer.registerInterfaces(pairNames(pair), "ch"));
        if (pair >= 10) {
            ASSERT_TRUE(writer.deregisterInterfaces(pairNames(pair - 10), "ch"));
        }
    }
    churning = false;
    for (std::thread& thread : readers) thread.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(unshared, 0);
    EXPECT_GT(reads, 0);
}

class SharedTableAccess : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "runs processes as other users: needs root";
    }
};

// A member is handed the page and the snapshot and reads the table from them, but can change
// neither; root cannot change the snapshot either. A non-member gets nothing.
TEST_F(SharedTableAccess, MembersMapTheTableOthersCannotAndNobodyWritesIt) {
    DaemonUnderTest daemon({"--group", "users"});
    ASSERT_EQ(chmod(daemon.runtimeDirectory().c_str(), 0755), 0);
    ASSERT_EQ(daemon.client({"register", "com.shared.A", "a_ch"}).exitCode, 0);
    const auto share = [&](std::vector<UniqueFd>& shared) {
        return requestSharedMemory(
            daemon.socketPath(), kDefaultRegistryChannel,
            [](const PeerCredentials& peer) { return peer.uid == 0; }, std::chrono::seconds(10),
            shared);
    };

    const ForkedAs member{kNobody, kNogroup, {kUsers}};
    const ForkedProcess memberReads(
        [&] {
            std::vector<UniqueFd> shared;
            if (share(shared) != ShareOutcome::Shared) return false;
            for (const std::string& worked : writesThatWorked(shared)) {
                std::fprintf(stderr, "a member could change the table: %s\n", worked.c_str());
                return false;
            }
            return channelOf(*localTableOf(daemon), "com.shared.A") == "a_ch";
        },
        &member);
    EXPECT_TRUE(memberReads.started);

    const ForkedAs outsider{kNobody, kNogroup, {}};
    const ForkedProcess outsiderReads(
        [&] {
            std::vector<UniqueFd> shared;
            return share(shared) == ShareOutcome::Unreachable &&
                   channelOf(*localTableOf(daemon), "com.shared.A") == "unshared";
        },
        &outsider);
    EXPECT_TRUE(outsiderReads.started);

    // Root may write the page, its own file, but not the snapshot.
    std::vector<UniqueFd> shared;
    ASSERT_EQ(share(shared), ShareOutcome::Shared);
    ASSERT_EQ(shared.size(), 2u);
    EXPECT_EQ(writesThatWorked(shared), std::vector<std::string>{"page: pwrite once opened again"});
}

}  // namespace
