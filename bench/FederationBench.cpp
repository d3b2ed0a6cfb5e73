// Federation of two devices, A and B, over a veth link through a bridge (network namespaces of
// this process, see DeviceNetwork), with DDS Security on, lease 2 s: a registration on B seen on
// A (p50, p99 over 1,000), a burst of 1,000 registrations all seen, a removal seen, a killed
// device's entries gone, a lookup on A among 10,000 of B's entries, a call from A to a service
// on B (round trip of 64 B and 1 KiB, throughput of two callers), the federated daemon's idle
// CPU and resident memory beside a daemon that does not federate; and beside them, in the same
// run and on the same link with the same security, Cyclone DDS's own ping-pong and throughput
// (ddsperf).
// The engine of calls between devices, measured on the same link: the daemons' TLS links
// (DeviceLinks) against ddsperf, each with and without security, round trips of 64 bytes and
// 1 KiB and a stream of 1 KiB messages.
//
// Root only (network namespaces); otherwise every benchmark says why it did not run.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include <benchmark/benchmark.h>

#include "DaemonProcess.h"
#include "DeviceLinks.h"
#include "DeviceNetwork.h"
#include "EchoCalls.h"
#include "RatioReporter.h"
#include "ServiceRegistry/RegistryClient.h"

using namespace svcreg;
using Device = DeviceNetwork::Device;

namespace {

constexpr int kSeenSamples = 1000;
constexpr int kBurst = 1000;
constexpr int kRemovals = 200;
constexpr int kKills = 3;
constexpr int kRemoteEntries = 10000;
constexpr int kBulkChunk = 100;  // interfaces per registration when filling B's table
constexpr auto kSeenDeadline = std::chrono::seconds(5);
// How often a waiter looks at A's table: a lookup there is a memory read, so looking often
// costs little and measures the delay to a tenth of a millisecond.
constexpr auto kLookInterval = std::chrono::microseconds(100);
constexpr auto kIdleSpan = std::chrono::seconds(5);
constexpr int kCalls = 2000;
constexpr auto kThroughputSpan = std::chrono::seconds(5);
constexpr auto kCallTimeout = std::chrono::seconds(5);
constexpr const char* kEchoChannel = "echo";
// How a caller reaches B's echo service: from A, through both daemons and the link, by its name
// there; or from B itself, straight to it.
struct EchoRoute {
    Device from;
    const char* channel;
};
constexpr EchoRoute kFromA{DeviceNetwork::A, "echo@B"};
constexpr EchoRoute kOnB{DeviceNetwork::B, "echo"};

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The p-th percentile (0 < p <= 100) of samples, by the nearest rank.
double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100 * samples.size()));
    return samples[std::max<std::size_t>(rank, 1) - 1];
}

void reportPercentiles(benchmark::State& state, const std::vector<double>& milliseconds) {
    state.counters["p50_ms"] = percentile(milliseconds, 50);
    state.counters["p99_ms"] = percentile(milliseconds, 99);
    state.counters["max_ms"] = percentile(milliseconds, 100);
}

// The Cyclone DDS configuration ddsperf runs with: the daemons' settings (the interface, the
// lease, DDS Security with the device's files, or none when securityDirectory is empty).
std::string ddsperfConfig(const std::string& securityDirectory) {
    const std::string plugins = "/usr/lib/x86_64-linux-gnu/libddsc0debian/libdds_security_";
    const auto library = [&](const std::string& name, const std::string& init,
                             const std::string& finalize) {
        return "<Library path=\"" + plugins + name + ".so\" initFunction=\"" + init +
               "\" finalizeFunction=\"" + finalize + "\"/>";
    };
    const auto file = [&](const std::string& name) {
        return "file:" + securityDirectory + "/" + name;
    };
    const std::string security =
        securityDirectory.empty()
            ? std::string()
            : "<Security><Authentication>" +
                  library("auth", "init_authentication", "finalize_authentication") +
                  "<IdentityCA>" + file("identity_ca.pem") + "</IdentityCA><IdentityCertificate>" +
                  file("device.pem") + "</IdentityCertificate><PrivateKey>" + file("device.key") +
                  "</PrivateKey></Authentication><AccessControl>" +
                  library("ac", "init_access_control", "finalize_access_control") +
                  "<PermissionsCA>" + file("permissions_ca.pem") + "</PermissionsCA><Governance>" +
                  file("governance.p7s") + "</Governance><Permissions>" + file("permissions.p7s") +
                  "</Permissions></AccessControl><Cryptographic>" +
                  library("crypto", "init_crypto", "finalize_crypto") +
                  "</Cryptographic></Security>";
    return std::string(
               "<CycloneDDS><Domain id=\"any\"><General><Interfaces><NetworkInterface "
               "name=\"") +
           DeviceNetwork::kInterface +
           "\"/></Interfaces></General><Discovery><LeaseDuration>2s</LeaseDuration></Discovery>" +
           security + "</Domain></CycloneDDS>";
}

// The two devices, their PKI and their federated daemons, made once for every benchmark.
// Members are destroyed in reverse: the daemons before the namespaces they run in.
class Federation {
public:
    Federation() {
        if (!network.ready()) {
            problem = network.unavailableReason();
            return;
        }
        problem = makeFederationPki(pki.path(), {"A", "B"}, true);
        if (!problem.empty()) return;
        for (const Device device : {DeviceNetwork::A, DeviceNetwork::B}) start(device);
        if (problem.empty()) problem = joined();
    }

    const std::string& unavailable() const { return problem; }
    DaemonProcess& daemon(Device device) { return *daemons[device]; }
    std::string securityDirectory(Device device) const {
        return pki.path() + "/" + DeviceNetwork::name(device);
    }
    const DeviceNetwork& devices() const { return network; }

    // Starts device's daemon (again, after a kill): a fresh runtime and state directory.
    void start(Device device) {
        daemons[device].reset();
        daemons[device] = std::make_unique<DaemonProcess>(
            std::vector<std::string>{std::string("--federate=") + DeviceNetwork::kInterface,
                                     "--device=" + DeviceNetwork::name(device), "--lease=2",
                                     "--federation-security=" + securityDirectory(device),
                                     // Room for the 10,000 entries B shares with A.
                                     "--limit",
                                     "entries-per-user=" + std::to_string(2 * kRemoteEntries),
                                     "--limit", "table-bytes-per-user=" + std::to_string(16 << 20)},
            network.inside(device));
        if (!daemons[device]->serving()) {
            problem = "svcregd on " + DeviceNetwork::name(device) +
                      " did not start: " + daemons[device]->log();
        }
    }

    ClientOptions clientOptions(Device device) const {
        ClientOptions options;
        options.runtimeDirectory = daemons[device]->runtimeDirectory();
        options.library = SERVICE_REGISTRY_LIBRARY;
        return options;
    }

private:
    // Empty once an entry registered on B is found on A, else why not.
    std::string joined() {
        RegistryClient onA(clientOptions(DeviceNetwork::A));
        RegistryClient onB(clientOptions(DeviceNetwork::B));
        if (!onA.open() || !onB.open() || !onB.registerInterfaces({"com.ex.Joined"}, "joined")) {
            return "no client of the daemons";
        }
        const bool seen = eventually(
            [&] {
                Result<std::string> found = onA.find("com.ex.Joined");
                return found && found.value() == "joined@B";
            },
            std::chrono::seconds(30));
        onB.deregisterInterfaces({"com.ex.Joined"}, "joined");
        if (seen) return {};
        return "A never found B's entry; A's log:\n" + daemons[DeviceNetwork::A]->log() +
               "\nB's log:\n" + daemons[DeviceNetwork::B]->log();
    }

    DeviceNetwork network;
    TempDirectory pki;
    std::string problem;
    std::array<std::unique_ptr<DaemonProcess>, 2> daemons;
};

Federation& federation() {
    static Federation shared;
    return shared;
}

// Clients of both daemons, open.
struct Clients {
    Clients()
        : onA(federation().clientOptions(DeviceNetwork::A)),
          onB(federation().clientOptions(DeviceNetwork::B)),
          open(onA.open() && onB.open()) {}
    RegistryClient onA;
    RegistryClient onB;
    const bool open;
};

// True when the federation runs and clients, when given, are open; else the benchmark skips.
bool ready(benchmark::State& state, const Clients* clients = nullptr) {
    std::string problem = federation().unavailable();
    if (problem.empty() && clients != nullptr && !clients->open) problem = "no client";
    if (!problem.empty()) state.SkipWithError(problem.c_str());
    return problem.empty();
}

// Names no earlier benchmark used in this run.
std::string fresh(const std::string& stem) {
    static int next = 0;
    return stem + std::to_string(next++);
}

bool foundOnA(RegistryClient& onA, const std::string& ifc, const std::string& channel) {
    Result<std::string> found = onA.find(ifc);
    return found && found.value() == channel + "@B";
}

bool seenOnA(RegistryClient& onA, const std::string& ifc, const std::string& channel,
             std::chrono::milliseconds deadline = kSeenDeadline) {
    return eventually([&] { return foundOnA(onA, ifc, channel); }, deadline, kLookInterval);
}

// Entries may come in another order than they were registered in.
bool allSeenOnA(RegistryClient& onA, const std::vector<std::string>& ifcs,
                const std::string& channel, std::chrono::milliseconds deadline) {
    std::size_t seen = 0;  // ifcs[0 .. seen) have been found on A
    return eventually(
        [&] {
            while (seen < ifcs.size() && foundOnA(onA, ifcs[seen], channel)) ++seen;
            return seen == ifcs.size();
        },
        deadline, kLookInterval);
}

bool goneFromA(RegistryClient& onA, const std::string& ifc,
               std::chrono::milliseconds deadline = kSeenDeadline) {
    return eventually([&] { return !onA.find(ifc); }, deadline, kLookInterval);
}

// From the registration on B to its entry found on A.
void BM_RegistrationSeen(benchmark::State& state) {
    if (!ready(state)) return;
    Clients clients;
    if (!ready(state, &clients)) return;
    const std::string channel = fresh("seen");
    std::vector<std::string> registered;
    std::vector<double> milliseconds;
    for (auto _ : state) {
        const std::string ifc = fresh("com.ex.Seen");
        const auto start = Clock::now();
        if (!clients.onB.registerInterfaces({ifc}, channel) ||
            !seenOnA(clients.onA, ifc, channel)) {
            state.SkipWithError(("not seen on A: " + ifc).c_str());
            break;
        }
        milliseconds.push_back(millisecondsSince(start));
        state.SetIterationTime(milliseconds.back() / 1000);
        registered.push_back(ifc);
    }
    reportPercentiles(state, milliseconds);
    clients.onB.deregisterInterfaces(registered, channel);
}

// From the first of 1,000 registrations on B, one after the other, to all of them found on A.
void BM_BurstSeen(benchmark::State& state) {
    if (!ready(state)) return;
    Clients clients;
    if (!ready(state, &clients)) return;
    for (auto _ : state) {
        const std::string channel = fresh("burst");
        std::vector<std::string> burst;
        for (int i = 0; i < kBurst; ++i) burst.push_back(fresh("com.ex.Burst"));
        const auto start = Clock::now();
        for (const std::string& ifc : burst) clients.onB.registerInterfaces({ifc}, channel);
        const bool all = allSeenOnA(clients.onA, burst, channel, kSeenDeadline);
        state.SetIterationTime(millisecondsSince(start) / 1000);
        clients.onB.deregisterInterfaces(burst, channel);
        if (!all) {
            state.SkipWithError("part of the burst never seen on A");
            break;
        }
        goneFromA(clients.onA, burst.back());
    }
}

// From the deregistration on B to the entry gone from A.
void BM_RemovalSeen(benchmark::State& state) {
    if (!ready(state)) return;
    Clients clients;
    if (!ready(state, &clients)) return;
    const std::string channel = fresh("removed");
    std::vector<double> milliseconds;
    for (auto _ : state) {
        const std::string ifc = fresh("com.ex.Removed");
        const bool seen =
            clients.onB.registerInterfaces({ifc}, channel) && seenOnA(clients.onA, ifc, channel);
        const auto start = Clock::now();
        if (!seen || !clients.onB.deregisterInterfaces({ifc}, channel) ||
            !goneFromA(clients.onA, ifc)) {
            state.SkipWithError(("removal not seen on A: " + ifc).c_str());
            break;
        }
        milliseconds.push_back(millisecondsSince(start));
        state.SetIterationTime(milliseconds.back() / 1000);
    }
    reportPercentiles(state, milliseconds);
}

// From SIGKILL of B's daemon to its entry gone from A; B then starts again, untimed.
void BM_KilledDeviceGone(benchmark::State& state) {
    if (!ready(state)) return;
    for (auto _ : state) {
        const std::string ifc = fresh("com.ex.Killed");
        const std::string channel = fresh("killed");
        bool seen = false;
        {
            // B may have started again just now: give it time to join.
            Clients clients;
            seen = clients.open &&
                   clients.onB.registerInterfaces({ifc}, channel, EntryOwner::Nobody) &&
                   seenOnA(clients.onA, ifc, channel, std::chrono::seconds(30));
        }
        const auto start = Clock::now();
        federation().daemon(DeviceNetwork::B).kill();
        RegistryClient onA(federation().clientOptions(DeviceNetwork::A));
        const bool gone = seen && onA.open() && goneFromA(onA, ifc, std::chrono::seconds(20));
        state.SetIterationTime(millisecondsSince(start) / 1000);
        federation().start(DeviceNetwork::B);
        if (!gone) {
            state.SkipWithError("B's entry stayed on A");
            break;
        }
    }
}

// A lookup on A of one of B's 10,000 entries: a read of the table A shares.
void BM_RemoteLookup(benchmark::State& state) {
    if (!ready(state)) return;
    Clients clients;
    if (!ready(state, &clients)) return;
    const std::string channel = fresh("bulk");
    std::vector<std::string> names;
    for (int i = 0; i < kRemoteEntries; ++i) names.push_back(fresh("com.ex.Bulk"));
    for (int first = 0; first < kRemoteEntries; first += kBulkChunk) {
        const std::vector<std::string> chunk(names.begin() + first,
                                             names.begin() + first + kBulkChunk);
        if (!clients.onB.registerInterfaces(chunk, channel)) {
            state.SkipWithError("B refused the bulk registration");
            return;
        }
    }
    if (!allSeenOnA(clients.onA, names, channel, std::chrono::seconds(30))) {
        state.SkipWithError("B's 10,000 entries never all on A");
    }
    std::size_t next = 0;
    for (auto _ : state) {
        Result<std::string> found = clients.onA.find(names[next]);
        if (!found) state.SkipWithError(("not found: " + names[next]).c_str());
        benchmark::DoNotOptimize(found);
        next = (next + 7919) % names.size();  // a prime stride: all over the table
    }
    clients.onB.deregisterInterfaces(names, channel);
    goneFromA(clients.onA, names.back(), std::chrono::seconds(30));
}

// CPU share and resident memory of A's daemon while nothing happens, B federated beside it:
// range(0) == 1 before the other benchmarks, 2 after them (what the load left); 0 for a daemon
// that does not federate, run in A's namespace.
void BM_IdleDaemon(benchmark::State& state) {
    if (!ready(state)) return;
    std::unique_ptr<DaemonProcess> plain;
    if (state.range(0) == 0) {
        plain = std::make_unique<DaemonProcess>(std::vector<std::string>{},
                                                federation().devices().inside(DeviceNetwork::A));
    }
    DaemonProcess& daemon = plain ? *plain : federation().daemon(DeviceNetwork::A);
    for (auto _ : state) {
        const double cpuBefore = daemon.cpuNanoseconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(kIdleSpan);  // the span measured, not a wait for a condition
        const double wallNanoseconds =
            std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        state.counters["cpu_percent"] =
            100 * (daemon.cpuNanoseconds() - cpuBefore) / wallNanoseconds;
        state.counters["rss_KiB"] = static_cast<double>(daemon.residentKiB());
    }
}

// ddsperf run on A and on B at once (under DDS Security when secured), in a domain of their
// own: B's is ended once A's ends. A's standard output.
std::string ddsperfOnBoth(bool secured, const std::vector<std::string>& onA,
                          const std::vector<std::string>& onB) {
    Federation& shared = federation();
    const auto underDds = [&](Device device, const std::vector<std::string>& mode) {
        std::vector<std::string> command{
            "/usr/bin/env",
            "CYCLONEDDS_URI=" + ddsperfConfig(secured ? shared.securityDirectory(device) : "")};
        const std::vector<std::string> inside = shared.devices().inside(device);
        command.insert(command.end(), inside.begin(), inside.end());
        command.insert(command.end(), {"ddsperf", "-i", "7"});
        command.insert(command.end(), mode.begin(), mode.end());
        return command;
    };
    TempDirectory outputs;
    ChildProcess b(underDds(DeviceNetwork::B, onB), outputs.path() + "/b");
    ChildProcess a(underDds(DeviceNetwork::A, onA), outputs.path() + "/a");
    a.wait(std::chrono::seconds(30));
    b.signal(SIGTERM);
    b.wait();
    return a.out() + b.out();
}

// ddsperf's ping on A and pong on B, 5 s, range(0) 1 with DDS Security, range(1) bytes a
// sample: the round trips (ping to pong and back) as ddsperf reports them each second, their
// medians.
void BM_DdsperfPingPong(benchmark::State& state) {
    if (!ready(state)) return;
    for (auto _ : state) {
        const std::string out = ddsperfOnBoth(
            state.range(0) == 1, {"-D6", "ping", "size", std::to_string(state.range(1))},
            {"-D12", "pong"});
        static const std::regex perSecond(" 50% ([0-9.]+)us 90% [0-9.]+us 99% ([0-9.]+)us");
        std::vector<double> medians, tails;
        for (std::sregex_iterator line(out.begin(), out.end(), perSecond), end; line != end;
             ++line) {
            medians.push_back(std::stod((*line)[1]) / 1000);
            tails.push_back(std::stod((*line)[2]) / 1000);
        }
        if (medians.empty()) {
            state.SkipWithError(("ddsperf measured nothing: " + out).c_str());
            break;
        }
        state.counters["p50_ms"] = percentile(medians, 50);
        state.counters["p99_ms"] = percentile(tails, 50);
    }
}

// ddsperf publishing 1 KiB samples as fast as it can on A, 5 s, to its subscriber on B: the
// samples B receives a second, the median of its reports each second.
void BM_DdsperfThroughput(benchmark::State& state) {
    if (!ready(state)) return;
    for (auto _ : state) {
        const std::string out =
            ddsperfOnBoth(state.range(0) == 1, {"-D6", "pub", "size", "1k"}, {"-D12", "sub"});
        static const std::regex perSecond(
            "size 1024 total [0-9]+ lost [0-9]+ delta [0-9]+ lost "
            "[0-9]+ rate ([0-9.]+) kS/s");
        std::vector<double> rates;
        for (std::sregex_iterator line(out.begin(), out.end(), perSecond), end; line != end;
             ++line) {
            rates.push_back(std::stod((*line)[1]) * 1000);
        }
        if (rates.empty()) {
            state.SkipWithError(("ddsperf measured nothing: " + out).c_str());
            break;
        }
        state.counters["messages_per_s"] = percentile(rates, 50);
    }
}

// One end of a link between the devices' daemons, in device's namespace: it hands what it
// receives to onMessage, on the links' thread, and counts it.
class LinkEnd : public svcreg::DeviceCalls {
public:
    using OnMessage =
        std::function<void(LinkEnd& end, const std::string& device, svcreg::DeviceMessage message)>;

    LinkEnd(Device device, bool secured, OnMessage onMessage) : onMessage(std::move(onMessage)) {
        Federation& shared = federation();
        LinkOptions options{DeviceNetwork::name(device),
                            secured ? shared.securityDirectory(device) : "",
                            shared.devices().address(device), 0, std::chrono::seconds(2)};
        // Sockets belong to the namespace of the thread that makes them, and the links' own
        // thread to that of the thread that starts it.
        const std::string netns = "/var/run/netns/" + shared.devices().namespaceName(device);
        std::thread([&] {
            const int inside = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
            if (inside < 0 || setns(inside, CLONE_NEWNET) != 0) {
                problem = "cannot enter " + netns;
                return;
            }
            close(inside);
            links = std::make_unique<DeviceLinks>(options);
            if (!links->start(*this, problem)) links.reset();
        }).join();
    }
    ~LinkEnd() {
        if (links) links->stop();
    }

    bool carryOver(Sender, std::string&) override { return true; }
    void received(const std::string& device, svcreg::DeviceMessage message) override {
        onMessage(*this, device, std::move(message));
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        counted.notify_all();
    }
    void linkLost(const std::string&) override {}

    void knows(Device device, const LinkEnd& other) {
        links->announced(DeviceNetwork::name(device), federation().devices().address(device),
                         other.links->port(), std::chrono::seconds(2));
    }
    // Waits up to 30 s until at least n messages have come.
    bool waitFor(std::uint64_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return counted.wait_for(lock, std::chrono::seconds(30), [&] { return count >= n; });
    }

    std::unique_ptr<DeviceLinks> links;
    std::string problem;

private:
    const OnMessage onMessage;
    std::mutex mutex;
    std::condition_variable counted;
    std::uint64_t count = 0;
};

svcreg::DeviceMessage frameOf(std::size_t bytes) {
    svcreg::DeviceMessage message;
    message.frame.assign(bytes, 'x');
    return message;
}

void echo(LinkEnd& end, const std::string& device, svcreg::DeviceMessage message) {
    end.links->send(device, std::move(message));
}

void keep(LinkEnd&, const std::string&, svcreg::DeviceMessage) {}

// Both ends started and told of each other; else why not.
std::string linked(LinkEnd& a, LinkEnd& b) {
    if (!a.links || !b.links) return "no links: " + a.problem + b.problem;
    a.knows(DeviceNetwork::B, b);
    b.knows(DeviceNetwork::A, a);
    return std::string();
}

// 10,000 messages from A to B over the links and back, range(0) 1 over TLS, of range(1) bytes:
// A sends the next one as the last comes back, on its links' thread, as ddsperf's ping does.
void BM_LinkPingPong(benchmark::State& state) {
    if (!ready(state)) return;
    constexpr std::uint64_t kRoundTrips = 10000;
    const std::size_t bytes = state.range(1);
    std::vector<double> milliseconds;
    Clock::time_point sentAt;
    const auto pingAgain = [&](LinkEnd& end, const std::string& device, svcreg::DeviceMessage) {
        const auto now = Clock::now();
        milliseconds.push_back(std::chrono::duration<double, std::milli>(now - sentAt).count());
        sentAt = now;
        if (milliseconds.size() < kRoundTrips) end.links->send(device, frameOf(bytes));
    };
    LinkEnd a(DeviceNetwork::A, state.range(0) == 1, pingAgain);
    LinkEnd b(DeviceNetwork::B, state.range(0) == 1, echo);
    if (const std::string problem = linked(a, b); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    // The first round trip makes the link: untimed.
    if (!a.links->send("B", frameOf(bytes)) || !a.waitFor(1)) {
        state.SkipWithError("no first round trip");
        return;
    }
    for (auto _ : state) {
        milliseconds.clear();
        sentAt = Clock::now();
        if (!a.links->send("B", frameOf(bytes)) || !a.waitFor(1 + kRoundTrips)) {
            state.SkipWithError("a round trip failed");
            break;
        }
    }
    reportPercentiles(state, milliseconds);
}

// 100,000 messages of 1 KiB from A to B over the links, range(0) 1 over TLS: sent as fast as A's
// queue takes them, until B has them all.
void BM_LinkThroughput(benchmark::State& state) {
    if (!ready(state)) return;
    constexpr std::uint64_t kMessages = 100000;
    LinkEnd a(DeviceNetwork::A, state.range(0) == 1, keep);
    LinkEnd b(DeviceNetwork::B, state.range(0) == 1, keep);
    if (const std::string problem = linked(a, b); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    for (auto _ : state) {
        const auto start = Clock::now();
        for (std::uint64_t i = 0; i < kMessages;) {
            if (a.links->send("B", frameOf(1024))) {
                ++i;
            } else {
                std::this_thread::yield();  // the queue is at its bound
            }
        }
        if (!b.waitFor(kMessages)) {
            state.SkipWithError("B did not get every message");
            break;
        }
        state.counters["messages_per_s"] = kMessages * 1000 / millisecondsSince(start);
    }
}

// The echo service on B, serving the runtime directory of B's daemon of now (B's daemon starts
// anew in a fresh one after a kill); null when it does not serve.
ChildProcess* echoOnB() {
    static std::mutex mutex;  // guards what follows, for callers on threads of their own
    static TempDirectory outputs;
    static std::string servedIn;
    static std::unique_ptr<ChildProcess> service;
    const std::lock_guard<std::mutex> lock(mutex);
    const std::string& directory = federation().daemon(DeviceNetwork::B).runtimeDirectory();
    if (service && servedIn == directory) return service.get();
    std::vector<std::string> command = federation().devices().inside(DeviceNetwork::B);
    const std::vector<std::string> echo = echoServiceCommand(directory, kEchoChannel);
    command.insert(command.end(), echo.begin(), echo.end());
    service = std::make_unique<ChildProcess>(command, outputs.path() + "/echo");
    servedIn = directory;
    if (eventually([] { return service->out().find(kEchoServing) != std::string::npos; })) {
        return service.get();
    }
    service.reset();
    return nullptr;
}

// A caller of B's echo service by route, answered once: null, the benchmark skipped, otherwise.
std::unique_ptr<EchoCaller> callerOfB(benchmark::State& state, const std::string& payload,
                                      const EchoRoute& route) {
    if (!ready(state)) return nullptr;
    auto caller = std::make_unique<EchoCaller>(federation().daemon(route.from).runtimeDirectory());
    EchoAnswer answer;
    if (echoOnB() == nullptr) {
        state.SkipWithError("the echo service does not serve on B");
    } else if (!caller->problem().empty()) {
        state.SkipWithError(caller->problem().c_str());
    } else if (!eventually(
                   [&] { return caller->echo(route.channel, payload, answer, kCallTimeout).ok(); },
                   std::chrono::seconds(30))) {
        state.SkipWithError("B's echo service never answered");
    } else {
        return caller;
    }
    return nullptr;
}

// A call to B's echo service and its answer, with range(0) bytes each way: from A when range(1)
// is 1, from B itself (what the service and the host runtime cost without the devices) when 0.
void BM_CallRoundTrip(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    const EchoRoute& route = state.range(1) == 1 ? kFromA : kOnB;
    const std::unique_ptr<EchoCaller> caller = callerOfB(state, payload, route);
    if (!caller) return;
    std::vector<double> milliseconds;
    EchoAnswer answer;
    for (auto _ : state) {
        const auto start = Clock::now();
        const Outcome called = caller->echo(route.channel, payload, answer, kCallTimeout);
        milliseconds.push_back(millisecondsSince(start));
        state.SetIterationTime(milliseconds.back() / 1000);
        if (!called) {
            state.SkipWithError(called.reason().c_str());
            break;
        }
    }
    reportPercentiles(state, milliseconds);
}

// Two callers on A, each a process's framework on a thread of its own, calling B's echo
// service with 1 KiB, one call after the other, for kThroughputSpan: the calls answered a
// second, both together.
void BM_RemoteCallThroughput(benchmark::State& state) {
    const std::string payload(1024, 'x');
    std::array<std::unique_ptr<EchoCaller>, 2> callers;
    for (auto& caller : callers) {
        caller = callerOfB(state, payload, kFromA);
        if (!caller) return;
    }
    for (auto _ : state) {
        std::array<long, 2> answered{};
        std::atomic<bool> failed{false};
        const auto start = Clock::now();
        const auto end = start + kThroughputSpan;
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < callers.size(); ++i) {
            threads.emplace_back([&, i] {
                EchoAnswer answer;
                while (!failed && Clock::now() < end) {
                    if (!callers[i]->echo(kFromA.channel, payload, answer, kCallTimeout)) {
                        failed = true;
                    }
                    ++answered[i];
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        const double seconds = millisecondsSince(start) / 1000;
        state.counters["calls_per_s"] = static_cast<double>(answered[0] + answered[1]) / seconds;
        if (failed) state.SkipWithError("a call from A to B's echo service failed");
    }
}

BENCHMARK(BM_IdleDaemon)->Arg(1)->Arg(0)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DdsperfPingPong)->ArgsProduct({{0, 1}, {64, 1024}})->Iterations(1)->UseRealTime();
BENCHMARK(BM_DdsperfThroughput)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime();
BENCHMARK(BM_LinkPingPong)->ArgsProduct({{0, 1}, {64, 1024}})->Iterations(1)->UseRealTime();
BENCHMARK(BM_LinkThroughput)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime();
BENCHMARK(BM_CallRoundTrip)
    ->Args({64, 1})
    ->Args({1024, 1})
    ->Args({64, 0})
    ->Args({1024, 0})
    ->Iterations(kCalls)
    ->UseManualTime();
BENCHMARK(BM_RemoteCallThroughput)->Iterations(1)->UseRealTime();
BENCHMARK(BM_RegistrationSeen)->Iterations(kSeenSamples)->UseManualTime();
BENCHMARK(BM_BurstSeen)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemovalSeen)->Iterations(kRemovals)->UseManualTime();
BENCHMARK(BM_KilledDeviceGone)->Iterations(kKills)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoteLookup)->UseRealTime();
BENCHMARK(BM_IdleDaemon)->Arg(2)->Iterations(1)->UseRealTime();

std::vector<Target> targets() {
    return {
        {"registration on B seen on A, p50, ms",
         {"BM_RegistrationSeen/iterations:1000/manual_time", "p50_ms"},
         {},
         10},
        {"registration on B seen on A, p99, ms",
         {"BM_RegistrationSeen/iterations:1000/manual_time", "p99_ms"},
         {},
         50},
        // What the registry adds to DDS's own round trip on the same link.
        {"registration seen, p50 / ddsperf round trip p50",
         {"BM_RegistrationSeen/iterations:1000/manual_time", "p50_ms"},
         {"BM_DdsperfPingPong/1/64/iterations:1/real_time", "p50_ms"},
         50},
        {"burst of 1,000 registrations all seen on A, ms",
         {"BM_BurstSeen/iterations:3/manual_time", ""},
         {},
         1000},
        {"removal on B seen on A, p99, ms",
         {"BM_RemovalSeen/iterations:200/manual_time", "p99_ms"},
         {},
         100},
        // The lease runs from the last message heard from B, which is at the kill while B's
        // daemon talks: the figure is the lease and the time to notice its end.
        {"killed device's entries gone from A (lease 2 s), ms",
         {"BM_KilledDeviceGone/iterations:3/manual_time", ""},
         {},
         2020},
        // A call through both daemons' gateways and the TLS link between them, against DDS's
        // own round trip of the same payload on the same link.
        {"remote call round trip / ddsperf ping-pong, 64 B, p50",
         {"BM_CallRoundTrip/64/1/iterations:2000/manual_time", "p50_ms"},
         {"BM_DdsperfPingPong/1/64/iterations:1/real_time", "p50_ms"},
         1.5},
        {"remote call round trip / ddsperf ping-pong, 1 KiB, p50",
         {"BM_CallRoundTrip/1024/1/iterations:2000/manual_time", "p50_ms"},
         {"BM_DdsperfPingPong/1/1024/iterations:1/real_time", "p50_ms"},
         1.5},
        {"1 KiB calls a second, two callers / ddsperf 1 KiB samples a second",
         {"BM_RemoteCallThroughput/iterations:1/real_time", "calls_per_s"},
         {"BM_DdsperfThroughput/1/iterations:1/real_time", "messages_per_s"},
         0.5,
         false},
        {"lookup among 10,000 remote entries, ns", {"BM_RemoteLookup/real_time", ""}, {}, 1000},
        {"federated daemon idle, % of a core",
         {"BM_IdleDaemon/1/iterations:1/real_time", "cpu_percent"},
         {},
         1},
        {"federated daemon idle resident, KiB",
         {"BM_IdleDaemon/1/iterations:1/real_time", "rss_KiB"},
         {},
         16384},
        {"federated daemon idle resident after the load, KiB",
         {"BM_IdleDaemon/2/iterations:1/real_time", "rss_KiB"},
         {},
         16384},
        {"idle resident, federated / not federating",
         {"BM_IdleDaemon/1/iterations:1/real_time", "rss_KiB"},
         {"BM_IdleDaemon/0/iterations:1/real_time", "rss_KiB"},
         4},
    };
}

}  // namespace

int main(int argc, char** argv) {
    return runWithTargets(argc, argv, targets());
}
