// The daemon seen from client processes: the round trip of a "find" beside a bare socket echo
// of the same sizes and beside the quota checks it passes, a register/deregister pair with and
// without its journal, the same with two client processes
// at once, and the daemon's resident memory at 0, 1,024 and 65,536 registered interfaces.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "AccessPolicy.h"
#include "BenchTables.h"
#include "ChangeRate.h"
#include "DaemonProcess.h"
#include "EchoPeer.h"
#include "RatioReporter.h"
#include "RegistryChange.h"
#include "RegistryGate.h"
#include "RegistryState.h"
#include "ServiceDetails.h"
#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/RegistryClient.h"
#include "UserBudget.h"

using namespace svcreg;

namespace {

constexpr int kTableSize = 1024;
constexpr int kRoundTripsPerClient = 20000;

// The --limit options that let the benchmarks' one user register names 0 .. count-1: the
// default quotas of entries and of table bytes, per user and in all, raised to fit them where
// they do not.
std::vector<std::string> roomFor(int count) {
    const RegistryQuotas defaults;
    std::size_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        bytes += RegistryState::bytesOf(interfaceName(i), channelName(i));
    }
    const auto entries = static_cast<std::size_t>(count);
    if (entries <= defaults.entriesPerUser && bytes <= defaults.tableBytesPerUser) return {};
    std::vector<std::string> options;
    const auto limit = [&options](const char* name, std::size_t needed, std::size_t byDefault) {
        options.push_back("--limit");
        options.push_back(std::string(name) + "=" + std::to_string(std::max(needed, byDefault)));
    };
    limit("entries-per-user", entries, defaults.entriesPerUser);
    limit("entries", entries, defaults.entries);
    limit("table-bytes-per-user", bytes, defaults.tableBytesPerUser);
    limit("table-bytes", bytes, defaults.tableBytes);
    return options;
}

// Registers names 0 .. count-1, each at its own channel, and waits until all are in. The
// daemon handles one connection's frames in order, and a quota that refuses a name refuses every
// later one too: so all are in once the last is found.
bool fill(const DaemonProcess& daemon, int count) {
    FrameClient client(daemon, "bench-filler");
    for (int i = 0; i < count; ++i) {
        if (!client.tell("reg:" + interfaceName(i) + "," + channelName(i))) return false;
    }
    std::string answer;
    if (count == 0) {
        return client.find(interfaceName(0), answer) && answer == "notfound:" + interfaceName(0);
    }
    return client.find(interfaceName(count - 1), answer) &&
           answer == "found:" + channelName(count - 1);
}

// One daemon with a table of kTableSize names for all the round-trip benchmarks, and the sizes
// of a find request and its reply, which the echo copies.
struct SharedDaemon {
    DaemonProcess daemon;
    bool ready = false;
    std::size_t requestSize = 0;
    std::size_t replySize = 0;

    SharedDaemon() {
        if (!daemon.serving() || !fill(daemon, kTableSize)) return;
        FrameClient probe(daemon, "bench-probe");
        std::string answer;
        ready = probe.find(interfaceName(kTableSize / 2), answer);
        requestSize = probe.lastRequestSize();
        replySize = probe.lastReplySize();
    }
};

SharedDaemon& sharedDaemon() {
    static SharedDaemon shared;
    return shared;
}

void BM_DaemonFindRoundTrip(benchmark::State& state) {
    SharedDaemon& shared = sharedDaemon();
    FrameClient client(shared.daemon, "bench-client-" + std::to_string(getpid()));
    LookupCycle lookups(kTableSize);
    std::string answer;
    if (!shared.ready || !client.connected()) state.SkipWithError("no daemon");
    for (auto _ : state) {
        if (!client.find(lookups.next(), answer)) state.SkipWithError("no reply");
    }
}

void BM_SocketEchoRoundTrip(benchmark::State& state) {
    SharedDaemon& shared = sharedDaemon();
    EchoServer server(shared.daemon.runtimeDirectory() + "/echo", shared.requestSize,
                      shared.replySize);
    EchoClient client(server, shared.requestSize, shared.replySize);
    if (!client.connected()) state.SkipWithError("no echo server");
    for (auto _ : state) {
        if (!client.roundTrip()) state.SkipWithError("echo failed");
    }
}

// What the daemon checks of a find beyond handling it: the budget of unfinished bytes once its
// frame is whole, the pipeline's look at its command word, and the budget of queued bytes taken for
// its reply and given back once the reply is written.
void BM_QuotaChecksOfAFind(benchmark::State& state) {
    const ConnectionLimits limits;
    UserBudget unfinished(limits.unfinishedBytesPerUser, limits.unfinishedBytes);
    UserBudget queued(limits.queuedBytesPerUser, limits.queuedBytes);
    PeerCredentials peer;
    peer.uid = 1000;
    const std::string request = "find:" + interfaceName(kTableSize / 2) + ",bench-client";
    const std::size_t replySize = 64;
    for (auto _ : state) {
        unfinished.give(peer.uid, 0);
        benchmark::DoNotOptimize(RegistryChange::fromText(request));
        benchmark::DoNotOptimize(queued.take(peer.uid, replySize));
        queued.give(peer.uid, replySize);
    }
}

// What the daemon checks of a register/deregister pair beyond making it: for each change, the
// gate's policy and bounds on its names, the quotas of entries and of table bytes, and the
// user's rate of changes.
void BM_ChecksOfARegisterPair(benchmark::State& state) {
    constexpr gid_t kUsers = 100;
    const RegistryQuotas quotas;
    const RegistryGate gate(AccessPolicy(kUsers), kUsers, "users", quotas);
    const UserBudget entries(quotas.entriesPerUser, quotas.entries);
    const UserBudget bytes(quotas.tableBytesPerUser, quotas.tableBytes);
    ChangeRate rate(1u << 30);  // never over it: the check and the count are measured
    PeerCredentials peer;
    peer.uid = 1000;
    peer.groups = {kUsers};
    for (auto _ : state) {
        for (const auto kind : {RegistryChange::Kind::Register, RegistryChange::Kind::Deregister}) {
            const RegistryChange change = RegistryChange::entries(
                kind, "com.example.Pair", "pair_ch", "registerSvcInterface");
            benchmark::DoNotOptimize(gate.refusalOf(peer, change, quotas.entriesPerUser));
            benchmark::DoNotOptimize(entries.judge(10, 100, change.interfaces().size()));
            benchmark::DoNotOptimize(
                bytes.judge(1000, 10000, RegistryState::bytesOf("com.example.Pair", "pair_ch")));
            const auto now = ChangeRate::Clock::now();
            benchmark::DoNotOptimize(rate.allows(peer.uid, now));
            rate.took(peer.uid, now);
        }
    }
}

// A remote registerSvcInterface and deregisterSvcInterfaces, as a service starting and stopping
// makes them: with the tables kept in memory only (0), and with every change journaled and
// the channel's process watched (1).
void BM_RegisterDeregisterPair(benchmark::State& state) {
    const bool kept = state.range(0) == 1;
    DaemonProcess daemon(
        kept ? std::vector<std::string>{}
             : std::vector<std::string>{"--forget-on-restart", "--keep-dead-entries"});
    ClientOptions options;
    options.runtimeDirectory = daemon.runtimeDirectory();
    options.library = SERVICE_REGISTRY_LIBRARY;
    RegistryClient client(options);
    if (!daemon.serving() || !client.open()) state.SkipWithError("no daemon");
    for (auto _ : state) {
        if (!client.registerInterfaces({"com.example.Pair"}, "pair_ch") ||
            !client.deregisterInterfaces({"com.example.Pair"}, "pair_ch")) {
            state.SkipWithError("refused");
        }
    }
}

// The daemon's own CPU time per registration of a fill of kTableSize names, each at a channel
// of its own: with the tables in memory only and no process watched (0), and with the defaults,
// every change journaled and each channel's process looked for (1).
void BM_DaemonCpuPerRegistration(benchmark::State& state) {
    const bool defaults = state.range(0) == 1;
    double nanoseconds = 0;
    for (auto _ : state) {
        DaemonProcess daemon(
            defaults ? std::vector<std::string>{}
                     : std::vector<std::string>{"--forget-on-restart", "--keep-dead-entries"});
        const double before = daemon.cpuNanoseconds();
        if (!daemon.serving() || !fill(daemon, kTableSize)) {
            state.SkipWithError("no daemon");
            return;
        }
        nanoseconds += daemon.cpuNanoseconds() - before;
    }
    state.counters["cpu_us"] = nanoseconds / 1000 / (state.iterations() * kTableSize);
}

// What each client process of concurrentSeconds is handed: the go pipe, to wait on once it is
// connected, and the done pipe, to say it has finished its round trips before it tears down.
struct Race {
    int go;
    int done;

    // Waits until the parent closes its end of the go pipe: read gets end of file.
    bool awaitGo() const {
        char byte;
        return read(go, &byte, 1) == 0;
    }
    bool finished() const { return write(done, "d", 1) == 1; }
};

// Runs `clients` processes at once, each doing its round trips with its own connection; the
// wall time from the moment all are connected until the last says it has finished, so that
// closing connections and ending processes are not counted.
double concurrentSeconds(int clients, const std::function<bool(const Race&)>& connectAndRun) {
    int go[2], done[2];
    if (pipe(go) != 0) return -1;
    if (pipe(done) != 0) {
        close(go[0]);
        close(go[1]);
        return -1;
    }
    std::vector<pid_t> children;
    for (int i = 0; i < clients; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            close(go[1]);
            close(done[0]);
            _exit(connectAndRun(Race{go[0], done[1]}) ? 0 : 1);
        }
        children.push_back(child);
    }
    close(go[0]);
    close(done[1]);
    const auto start = std::chrono::steady_clock::now();
    close(go[1]);  // every child waits for this end of the pipe to close
    // One byte from each child that finished; end of file once every child has gone.
    int finished = 0;
    char byte;
    while (finished < clients && read(done[0], &byte, 1) == 1) ++finished;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    close(done[0]);
    bool allDone = finished == clients;
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        allDone = allDone && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return allDone ? elapsed.count() : -1;
}

void reportPerRoundTrip(benchmark::State& state, double seconds, int clients, int perClient) {
    if (seconds < 0) {
        state.SkipWithError("a client failed");
        return;
    }
    state.SetIterationTime(seconds / (static_cast<double>(clients) * perClient));
}

void BM_DaemonFindTwoClients(benchmark::State& state) {
    SharedDaemon& shared = sharedDaemon();
    for (auto _ : state) {
        const double seconds = concurrentSeconds(2, [&](const Race& race) {
            FrameClient client(shared.daemon, "bench-client-" + std::to_string(getpid()));
            LookupCycle lookups(kTableSize);
            std::string answer;
            if (!race.awaitGo()) return false;
            for (int i = 0; i < kRoundTripsPerClient; ++i) {
                if (!client.find(lookups.next(), answer)) return false;
            }
            return race.finished();
        });
        reportPerRoundTrip(state, seconds, 2, kRoundTripsPerClient);
    }
}

void BM_SocketEchoTwoClients(benchmark::State& state) {
    SharedDaemon& shared = sharedDaemon();
    EchoServer server(shared.daemon.runtimeDirectory() + "/echo2", shared.requestSize,
                      shared.replySize);
    for (auto _ : state) {
        const double seconds = concurrentSeconds(2, [&](const Race& race) {
            EchoClient client(server, shared.requestSize, shared.replySize);
            if (!race.awaitGo()) return false;
            for (int i = 0; i < kRoundTripsPerClient; ++i) {
                if (!client.roundTrip()) return false;
            }
            return race.finished();
        });
        reportPerRoundTrip(state, seconds, 2, kRoundTripsPerClient);
    }
}

// The bytes a std::string keeps outside itself: none while the text fits in the object.
std::size_t heapBytes(const std::string& text) {
    return text.size() > std::string().capacity() ? text.size() + 1 : 0;
}

// A fresh daemon, idle and then holding `count` names (its quotas raised to fit them): its
// resident size and how much it grew beyond its idle size, beside what its table's keys and
// values hold, counted two ways: their characters and ids alone (content), and the key and value
// objects with the heap bytes of their strings (held), which is the least any table of
// std::string keys to ServiceDetails takes before its own structure.
void BM_DaemonResidentMemory(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        DaemonProcess daemon(roomFor(count));
        const long idle = daemon.residentKiB();
        if (!fill(daemon, count)) state.SkipWithError("registration failed");
        const long resident = daemon.residentKiB();
        double contentBytes = 0;
        double heldBytes = 0;
        for (int i = 0; i < count; ++i) {
            const std::string key = interfaceName(i), channel = channelName(i);
            contentBytes += key.size() + channel.size() + sizeof(std::int32_t);
            heldBytes +=
                sizeof(std::string) + sizeof(ServiceDetails) + heapBytes(key) + heapBytes(channel);
        }
        state.counters["idle_KiB"] = static_cast<double>(idle);
        state.counters["rss_KiB"] = static_cast<double>(resident);
        state.counters["growth_KiB"] = static_cast<double>(resident - idle);
        state.counters["content_KiB"] = contentBytes / 1024;
        state.counters["held_KiB"] = heldBytes / 1024;
    }
}

BENCHMARK(BM_SocketEchoRoundTrip)->UseRealTime();
BENCHMARK(BM_DaemonFindRoundTrip)->UseRealTime();
BENCHMARK(BM_QuotaChecksOfAFind);
BENCHMARK(BM_ChecksOfARegisterPair);
BENCHMARK(BM_RegisterDeregisterPair)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_DaemonCpuPerRegistration)->Arg(0)->Arg(1)->Iterations(10);
BENCHMARK(BM_SocketEchoTwoClients)->UseManualTime()->Iterations(5);
BENCHMARK(BM_DaemonFindTwoClients)->UseManualTime()->Iterations(5);
BENCHMARK(BM_DaemonResidentMemory)->Arg(0)->Arg(1024)->Arg(65536)->Iterations(1);

std::vector<Target> targets() {
    return {
        {"daemon find round trip / bare socket echo",
         {"BM_DaemonFindRoundTrip/real_time", ""},
         {"BM_SocketEchoRoundTrip/real_time", ""},
         1.3},
        {"register/deregister pair, journaled / in memory only",
         {"BM_RegisterDeregisterPair/1/real_time", ""},
         {"BM_RegisterDeregisterPair/0/real_time", ""},
         1.5},
        {"daemon CPU per registration, defaults / in memory, unwatched",
         {"BM_DaemonCpuPerRegistration/1/iterations:10", "cpu_us"},
         {"BM_DaemonCpuPerRegistration/0/iterations:10", "cpu_us"},
         1.5},
        {"quota checks of a find / its round trip",
         {"BM_QuotaChecksOfAFind", ""},
         {"BM_DaemonFindRoundTrip/real_time", ""},
         0.05},
        {"checks of a register pair / its round trip",
         {"BM_ChecksOfARegisterPair", ""},
         {"BM_RegisterDeregisterPair/1/real_time", ""},
         0.05},
        {"2-client throughput, daemon / echo",
         {"BM_SocketEchoTwoClients/iterations:5/manual_time", ""},
         {"BM_DaemonFindTwoClients/iterations:5/manual_time", ""},
         0.75,
         false},
        {"resident growth at 65,536 names / keys and values held",
         {"BM_DaemonResidentMemory/65536/iterations:1", "growth_KiB"},
         {"BM_DaemonResidentMemory/65536/iterations:1", "held_KiB"},
         2.0},
        {"resident growth at 65,536 names / their characters and ids",
         {"BM_DaemonResidentMemory/65536/iterations:1", "growth_KiB"},
         {"BM_DaemonResidentMemory/65536/iterations:1", "content_KiB"},
         2.0},
        {"idle resident memory, KiB",
         {"BM_DaemonResidentMemory/0/iterations:1", "idle_KiB"},
         {},
         4096},
    };
}

}  // namespace

int main(int argc, char** argv) {
    return runWithTargets(argc, argv, targets());
}
