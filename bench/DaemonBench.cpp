// The daemon seen from client processes: the round trip of a "find" beside a bare socket echo
// of the same sizes and beside the quota checks it passes, the same find asked through the client
// library's text command (RegistryClient::ask), a register/deregister pair with and without its
// journal, the same with two client processes at once, and the daemon's resident memory at 0,
// 1,024 and 65,536 registered interfaces.
//
// Then the table the daemon shares with its clients: RegistryClient::find reading it at 1,024
// and 32,768 names, beside the bare lookup in it through LocalTable; two processes finding at
// once; a client's request for the table; and what sharing costs a change: the pair with nobody
// reading the table, with every change fetched by the client after it, and with another process
// reading after changes, beside the daemon's publishing of the pair's two changes in process and
// the pair's changes in process with and without the table shared.

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "AccessPolicy.h"
#include "BenchTables.h"
#include "ChangeRate.h"
#include "Context.h"
#include "DaemonProcess.h"
#include "EchoPeer.h"
#include "HostOptionsIn.h"
#include "LocalTable.h"
#include "RatioReporter.h"
#include "RegistryChange.h"
#include "RegistryGate.h"
#include "RegistryPipeline.h"
#include "RegistryState.h"
#include "Service.h"
#include "ServiceDetails.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/RegistryClient.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "SharedMemoryRequest.h"
#include "TablePublisher.h"
#include "UserBudget.h"

using namespace svcreg;

namespace {

constexpr int kTableSize = 1024;
constexpr int kLargeTableSize = 32768;
constexpr int kRoundTripsPerClient = 20000;
// Finds from the shared table take well under a microsecond: more of them, so that each client
// process runs for tens of milliseconds.
constexpr int kSharedFindsPerClient = 300000;

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

// A daemon with the defaults holding names 0 .. count-1, its quotas raised to fit them.
struct FilledDaemon {
    explicit FilledDaemon(int count)
        : daemon(roomFor(count)), ready(daemon.serving() && fill(daemon, count)) {}

    DaemonProcess daemon;
    const bool ready;
};

// The daemon holding count names that the benchmarks reading the shared table use: the shared
// one for kTableSize, else one made at the first use and kept to the end. Null when it failed.
const DaemonProcess* daemonHolding(int count) {
    if (count == kTableSize) {
        SharedDaemon& shared = sharedDaemon();
        return shared.ready ? &shared.daemon : nullptr;
    }
    static std::map<int, std::unique_ptr<FilledDaemon>> daemons;
    std::unique_ptr<FilledDaemon>& filled = daemons[count];
    if (filled == nullptr) filled = std::make_unique<FilledDaemon>(count);
    return filled->ready ? &filled->daemon : nullptr;
}

ClientOptions clientOptionsFor(const DaemonProcess& daemon) {
    ClientOptions options;
    options.runtimeDirectory = daemon.runtimeDirectory();
    options.library = SERVICE_REGISTRY_LIBRARY;
    return options;
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
    ChangeRate rate(1u << 30, 1u << 30);  // never over it: the check and the count are measured
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
            benchmark::DoNotOptimize(rate.judge(peer.uid, change.bytes(), now));
            rate.took(peer.uid, change.bytes(), now);
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
    RegistryClient client(clientOptionsFor(daemon));
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

// The same find as BM_DaemonFindRoundTrip, asked through the client library's text command
// (RegistryClient::ask) instead of in frames the benchmark writes and reads itself.
void BM_ClientAskFind(benchmark::State& state) {
    SharedDaemon& shared = sharedDaemon();
    RegistryClient client(clientOptionsFor(shared.daemon));
    LookupCycle lookups(kTableSize);
    if (!shared.ready || !client.open()) state.SkipWithError("no daemon");
    const std::string tail = "," + client.ownChannel();
    for (auto _ : state) {
        const Result<std::string> reply = client.ask("find:" + lookups.next() + tail);
        if (!reply || reply->rfind("found:", 0) != 0) state.SkipWithError("not found");
    }
}

// RegistryClient::find on a daemon holding range(0) names, read from the table the daemon
// shares once the first find has mapped it.
void BM_SharedTableFind(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const DaemonProcess* daemon = daemonHolding(count);
    if (daemon == nullptr) {
        state.SkipWithError("no daemon");
        return;
    }
    RegistryClient client(clientOptionsFor(*daemon));
    LookupCycle lookups(count);
    if (!client.open() || client.find(interfaceName(0)).value() != channelName(0)) {
        state.SkipWithError("no table");
    }
    for (auto _ : state) {
        Result<std::string> found = client.find(lookups.next());
        if (!found) state.SkipWithError("not found");
        benchmark::DoNotOptimize(found);
    }
}

// The lookup RegistryClient::find makes in the shared table of range(0) names, made through
// LocalTable directly: what the client adds around it (the request's arguments, its Result) is
// the difference between the two.
void BM_LocalTableFind(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const DaemonProcess* daemon = daemonHolding(count);
    if (daemon == nullptr) {
        state.SkipWithError("no daemon");
        return;
    }
    HostFramework ends(hostOptionsIn(daemon->runtimeDirectory()));
    ends.start();
    LocalTable table(
        daemon->runtimeDirectory() + "/" + kDefaultRegistryChannel, kDefaultRegistryChannel,
        [](const PeerCredentials&) { return true; }, std::chrono::seconds(5), ends);
    LookupCycle lookups(count);
    std::string channel;
    const auto findChannel = [&](const std::string& ifc) {
        bool found = false;
        const bool shared = table.read([&](const TableSnapshotView& view) {
            const auto [first, last] = view.entriesOf(ifc);
            found = first != last;
            if (found) channel = std::string(view.channelOf(*first));
        });
        return shared && found;
    };
    if (!findChannel(interfaceName(0))) state.SkipWithError("no table");
    for (auto _ : state) {
        if (!findChannel(lookups.next())) state.SkipWithError("not found");
        benchmark::DoNotOptimize(channel);
    }
}

// What a client's request for the table costs where the daemon's file holds the current snapshot
// already: the request on the client's line to the daemon, and its answer.
// daemon_cpu_us: the daemon's CPU time per request.
void BM_FetchUnchangedTable(benchmark::State& state) {
    SharedDaemon& shared = sharedDaemon();
    if (!shared.ready) state.SkipWithError("no daemon");
    const std::string socketPath = shared.daemon.runtimeDirectory() + "/" + kDefaultRegistryChannel;
    const auto trustAll = [](const PeerCredentials&) { return true; };
    SharedMemoryLine line(socketPath, kDefaultRegistryChannel, trustAll, std::chrono::seconds(5));
    const double before = shared.daemon.cpuNanoseconds();
    for (auto _ : state) {
        std::vector<UniqueFd> descriptors;
        if (line.ask(descriptors) != ShareOutcome::Shared) state.SkipWithError("nothing shared");
    }
    state.counters["daemon_cpu_us"] =
        (shared.daemon.cpuNanoseconds() - before) / 1000 / static_cast<double>(state.iterations());
}

// Two processes at once, each with a client of its own doing kSharedFindsPerClient finds from
// the shared table of kTableSize names: the time per find of both together.
void BM_SharedTableFindTwoClients(benchmark::State& state) {
    SharedDaemon& shared = sharedDaemon();
    if (!shared.ready) state.SkipWithError("no daemon");
    for (auto _ : state) {
        const double seconds = concurrentSeconds(2, [&](const Race& race) {
            RegistryClient client(clientOptionsFor(shared.daemon));
            LookupCycle lookups(kTableSize);
            if (!client.open() || !client.find(interfaceName(0)) || !race.awaitGo()) {
                return false;
            }
            for (int i = 0; i < kSharedFindsPerClient; ++i) {
                if (!client.find(lookups.next())) return false;
            }
            return race.finished();
        });
        reportPerRoundTrip(state, seconds, 2, kSharedFindsPerClient);
    }
}

// A process that reads the daemon's shared table again after every change, as any client does
// whose next lookup follows a change: it sleeps on the table's generation until it moves, then
// reads the table, which asks the daemon for the current snapshot first. It counts the
// generations it read and the reads that found no current snapshot to be had (where a client's
// lookup goes to the socket), and tells them once the parent closes its end of the stop pipe.
class TableReader {
public:
    struct Counts {
        long read = 0;    // generations read, after the first
        long failed = 0;  // reads that gave up
    };

    explicit TableReader(const DaemonProcess& daemon) {
        int ready[2];
        if (pipe(stop) != 0 || pipe(report) != 0 || pipe(ready) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(stop[1]);
            close(report[0]);
            close(ready[0]);
            _exit(readUntilStopped(daemon.runtimeDirectory(), ready[1]) ? 0 : 1);
        }
        close(stop[0]);
        close(report[1]);
        close(ready[1]);
        char byte;
        reading = pid > 0 && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
    }
    ~TableReader() { stopped(counts); }
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    // Whether it has read the table once and sleeps on its generation.
    bool started() const { return reading; }

    // Stops it; false when it failed.
    bool stopped(Counts& told) {
        if (pid <= 0) return false;
        close(stop[1]);
        const bool reported = read(report[0], &told, sizeof(told)) == sizeof(told);
        close(report[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return reported && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    bool readUntilStopped(const std::string& runtimeDirectory, int readyFd) {
        HostFramework ends(hostOptionsIn(runtimeDirectory));
        ends.start();
        LocalTable table(
            runtimeDirectory + "/" + kDefaultRegistryChannel, kDefaultRegistryChannel,
            [](const PeerCredentials&) { return true; }, std::chrono::seconds(5), ends);
        std::uint32_t seen = 0;
        const auto readTable = [&] {
            return table.read([&](const TableSnapshotView& view) { seen = view.generation(); });
        };
        if (!readTable() || write(readyFd, "r", 1) != 1) return false;
        Counts told;
        for (;;) {
            pollfd stopping{stop[0], POLLIN, 0};
            if (poll(&stopping, 1, 0) != 0) break;  // the parent's end is closed
            // Woken at the next change; the timeout only bounds how late it sees the stop.
            const std::uint32_t before = seen;
            table.waitWhile(seen, std::chrono::milliseconds(50));
            if (!readTable()) {
                ++told.failed;
            } else if (seen != before) {
                ++told.read;
            }
        }
        return write(report[1], &told, sizeof(told)) == sizeof(told);
    }

    int stop[2] = {-1, -1};
    int report[2] = {-1, -1};
    pid_t pid = -1;
    bool reading = false;
    Counts counts;
};

// BM_RegisterDeregisterPair/1 on a daemon with the defaults holding kTableSize names, its shared
// table read three ways:
//   0: by nobody: each change costs the daemon its generation moved on and a wake of nobody;
//   1: by the client making the changes, which finds the name after each change: every change
//      is published and fetched before the next (the daemon asked for the current snapshot, which
//      it writes into the shared file, 1,025 or 1,024 names, and the client reading it);
//   2: by another process that reads it again after every change while the pairs go on:
//      read_per_change is the share of the changes whose generation it read, failed_per_change
//      that of its reads that gave up for want of a current snapshot.
// daemon_cpu_us: the daemon's CPU time per pair, all its threads.
void BM_RegisterDeregisterPairRead(benchmark::State& state) {
    const auto readers = state.range(0);
    static FilledDaemon filled(kTableSize);
    if (!filled.ready) {
        state.SkipWithError("no daemon");
        return;
    }
    // The reader is started before this process has a client, so that it forks no threads.
    std::unique_ptr<TableReader> reader;
    if (readers == 2) reader = std::make_unique<TableReader>(filled.daemon);
    if (reader != nullptr && !reader->started()) state.SkipWithError("no reader");
    double nanoseconds = 0;
    {
        RegistryClient client(clientOptionsFor(filled.daemon));
        const std::vector<std::string> names{"com.example.Pair"};
        const std::string pair = names[0];
        if (!client.open()) state.SkipWithError("no client");
        const bool findEach = readers == 1;
        const double before = filled.daemon.cpuNanoseconds();
        for (auto _ : state) {
            if (!client.registerInterfaces(names, "pair_ch") || (findEach && !client.find(pair)) ||
                !client.deregisterInterfaces(names, "pair_ch") ||
                (findEach && client.find(pair) != Status::NotFound)) {
                state.SkipWithError("refused");
            }
        }
        nanoseconds = filled.daemon.cpuNanoseconds() - before;
    }
    const auto pairs = static_cast<double>(state.iterations());
    state.counters["daemon_cpu_us"] = nanoseconds / 1000 / pairs;
    if (reader == nullptr) return;
    TableReader::Counts counts;
    if (!reader->stopped(counts)) {
        state.SkipWithError("the reader failed");
        return;
    }
    state.counters["read_per_change"] = static_cast<double>(counts.read) / (2 * pairs);
    state.counters["failed_per_change"] = static_cast<double>(counts.failed) / (2 * pairs);
}

// The registry library served through the daemon's pipeline in this process, with the tables in
// memory only, holding names 0 .. count-1, each at its own channel.
struct PipelineInProcess {
    explicit PipelineInProcess(int count) : gate(AccessPolicy(kUsers), kUsers, "users", quotas) {
        static RegistryLibrary library;
        if (library.createServiceRegistry == nullptr && !library.load(SERVICE_REGISTRY_LIBRARY)) {
            return;
        }
        std::string error;
        loaded.reset(library.createServiceRegistry());
        loaded->init(context);
        pipeline = std::make_unique<RegistryPipeline>(*loaded, *serviceTablesOf(*loaded), gate,
                                                      quotas, nullptr);
        ready = pipeline->restore(error);
        for (int i = 0; ready && i < count; ++i) {
            ready = pipeline->registerSvcInterface(interfaceName(i), channelName(i));
        }
    }

    static constexpr gid_t kUsers = 100;
    const RegistryQuotas quotas;
    const RegistryGate gate;
    Context context;
    std::unique_ptr<Service> loaded;
    std::unique_ptr<RegistryPipeline> pipeline;
    bool ready = false;
};

// What sharing the table costs the daemon for the two changes of a pair, measured in this process
// with the daemon's own pipeline and TablePublisher, kTableSize names registered. The time is
// that of TablePublisher::share after each change, as the first client's request after it runs
// it: the tables copied out under the pipeline's lock, encoded and written into the file's other
// half (1,025 names after the registration, 1,024 after the deregistration). changes_us: the two
// changes themselves, the publisher told of each (the generation moved on, a wake of nobody).
void BM_PublishesOfAPair(benchmark::State& state) {
    const TempDirectory folder;
    PipelineInProcess registry(kTableSize);
    TablePublisher publisher(*registry.pipeline);
    std::string error;
    if (!registry.ready || !publisher.open(folder.path() + "/table", error)) {
        state.SkipWithError("no pipeline");
        return;
    }
    using Clock = std::chrono::steady_clock;
    Clock::duration sharing{}, changing{};
    const auto shareTimed = [&] {
        const auto start = Clock::now();
        const std::vector<int> descriptors = publisher.share();
        for (int descriptor : descriptors) close(descriptor);
        sharing += Clock::now() - start;
        return descriptors.size() == 1;
    };
    const auto changeTimed = [&](bool add) {
        const auto start = Clock::now();
        const bool made =
            add ? registry.pipeline->registerSvcInterface("com.example.Pair", "pair_ch")
                : registry.pipeline->deregisterSvcInterfaces("com.example.Pair", "pair_ch");
        changing += Clock::now() - start;
        return made;
    };
    if (!shareTimed()) state.SkipWithError("nothing shared");
    for (auto _ : state) {
        sharing = {};
        if (!changeTimed(true) || !shareTimed() || !changeTimed(false) || !shareTimed()) {
            state.SkipWithError("not shared");
        }
        state.SetIterationTime(std::chrono::duration<double>(sharing).count());
    }
    state.counters["changes_us"] = std::chrono::duration<double, std::micro>(changing).count() /
                                   static_cast<double>(state.iterations());
}

// The two changes of a pair in this process, through the daemon's pipeline holding kTableSize
// names: without a TablePublisher (0), and with one told of each change (1), which moves the
// shared file's generation on and wakes whoever sleeps on it, nobody here. The difference is what
// sharing the table costs a change that no client reads.
void BM_ChangesOfAPairInProcess(benchmark::State& state) {
    const TempDirectory folder;
    PipelineInProcess registry(kTableSize);
    TablePublisher publisher(*registry.pipeline);
    std::string error;
    if (!registry.ready ||
        (state.range(0) == 1 && !publisher.open(folder.path() + "/table", error))) {
        state.SkipWithError("no pipeline");
        return;
    }
    for (auto _ : state) {
        if (!registry.pipeline->registerSvcInterface("com.example.Pair", "pair_ch") ||
            !registry.pipeline->deregisterSvcInterfaces("com.example.Pair", "pair_ch")) {
            state.SkipWithError("refused");
        }
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
BENCHMARK(BM_ClientAskFind)->UseRealTime();
BENCHMARK(BM_QuotaChecksOfAFind);
BENCHMARK(BM_ChecksOfARegisterPair);
BENCHMARK(BM_RegisterDeregisterPair)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_DaemonCpuPerRegistration)->Arg(0)->Arg(1)->Iterations(10);
BENCHMARK(BM_SocketEchoTwoClients)->UseManualTime()->Iterations(5);
BENCHMARK(BM_DaemonFindTwoClients)->UseManualTime()->Iterations(5);
BENCHMARK(BM_DaemonResidentMemory)->Arg(0)->Arg(1024)->Arg(65536)->Iterations(1);
BENCHMARK(BM_SharedTableFind)->Arg(kTableSize)->Arg(kLargeTableSize)->UseRealTime();
BENCHMARK(BM_LocalTableFind)->Arg(kTableSize)->Arg(kLargeTableSize)->UseRealTime();
BENCHMARK(BM_SharedTableFindTwoClients)->UseManualTime()->Iterations(5);
BENCHMARK(BM_FetchUnchangedTable)->UseRealTime();
BENCHMARK(BM_RegisterDeregisterPairRead)->Arg(0)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_PublishesOfAPair)->UseManualTime();
BENCHMARK(BM_ChangesOfAPairInProcess)->Arg(0)->Arg(1);

std::vector<Target> targets() {
    return {
        {"daemon find round trip / bare socket echo",
         {"BM_DaemonFindRoundTrip/real_time", ""},
         {"BM_SocketEchoRoundTrip/real_time", ""},
         1.15},
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
        {"idle resident memory, KiB (< 4 MiB)",
         {"BM_DaemonResidentMemory/0/iterations:1", "idle_KiB"},
         {},
         4095},
        {"resident memory holding 65,536 names, KiB (24 MiB)",
         {"BM_DaemonResidentMemory/65536/iterations:1", "rss_KiB"},
         {},
         24 * 1024},
        // The client library's text command beside frames written by hand: what the library
        // adds to a find over the socket.
        {"find asked through RegistryClient::ask / in raw frames",
         {"BM_ClientAskFind/real_time", ""},
         {"BM_DaemonFindRoundTrip/real_time", ""},
         1.05},
        {"RegistryClient::find, shared table of 1,024 names, ns",
         {"BM_SharedTableFind/1024/real_time", ""},
         {},
         1000},
        {"RegistryClient::find, shared table of 32,768 names, ns",
         {"BM_SharedTableFind/32768/real_time", ""},
         {},
         1000},
        {"shared-table find, 1,024 names / bare socket echo",
         {"BM_SharedTableFind/1024/real_time", ""},
         {"BM_SocketEchoRoundTrip/real_time", ""},
         0.01},
        {"shared-table find, 32,768 names / bare socket echo",
         {"BM_SharedTableFind/32768/real_time", ""},
         {"BM_SocketEchoRoundTrip/real_time", ""},
         0.01},
        {"2-client throughput, shared-table find / daemon find",
         {"BM_DaemonFindTwoClients/iterations:5/manual_time", ""},
         {"BM_SharedTableFindTwoClients/iterations:5/manual_time", ""},
         100,
         false},
        {"pair, each change fetched by a find after it / read by nobody",
         {"BM_RegisterDeregisterPairRead/1/real_time", ""},
         {"BM_RegisterDeregisterPairRead/0/real_time", ""},
         1.2},
        {"daemon CPU of a pair, each change fetched / read by nobody",
         {"BM_RegisterDeregisterPairRead/1/real_time", "daemon_cpu_us"},
         {"BM_RegisterDeregisterPairRead/0/real_time", "daemon_cpu_us"},
         1.2},
        {"daemon publishing the 2 changes of a pair, in process / the pair",
         {"BM_PublishesOfAPair/manual_time", ""},
         {"BM_RegisterDeregisterPairRead/0/real_time", ""},
         0.2},
    };
}

}  // namespace

int main(int argc, char** argv) {
    return runWithTargets(argc, argv, targets());
}
