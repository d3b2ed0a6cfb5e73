// Declared services started by the daemon on the first lookup: the cold start of a service that
// registers at once, from the lookup to its answer, at the median and the 99th percentile of 100
// starts (the service ends between them, and the daemon sees it idle again); 100 lookups of one
// cold service at once, with how many starts they made (one) and how many were answered; and
// the memory an idle declaration costs the daemon (its resident size with 1,000 declarations
// against none). The launcher is svcreg-launch as root (which alone may run it, unless it is the
// registry's user), else the tests' stand-in, a shell script that execs the declared program.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "DaemonProcess.h"
#include "DaemonUnderTest.h"
#include "RatioReporter.h"
#include "ServiceRegistry/RegistryClient.h"
#include "StatusLine.h"

using namespace svcreg;

namespace {

// How long an idle daemon is watched for the time it takes.
constexpr std::chrono::seconds kIdleSpan{3};

constexpr char kIfc[] = "bench.Declared";
constexpr int kColdStarts = 100;
constexpr int kConcurrentLookups = 100;
constexpr int kIdleDeclarations = 1000;

// The folder of the declarations: the benchmark's service, and count idle others.
std::string declarationsIn(const TempDirectory& folder, int idle) {
    const auto declare = [&](const std::string& name, const std::string& text) {
        std::ofstream(folder.path() + "/" + name + ".service") << text;
    };
    declare("bench", std::string("Interfaces=") + kIfc + "\nChannel=bench_declared\nExec=" +
                         DECLARED_BENCH_SERVICE + " " + kIfc + " bench_declared\n");
    for (int i = 0; i < idle; ++i) {
        const std::string name = "idle" + std::to_string(i);
        declare(name, "Interfaces=bench.Idle" + std::to_string(i) + "\nChannel=" + name +
                          "\nExec=/bin/true\n");
    }
    return folder.path();
}

// svcreg-launch as root, which alone may run it (but for the registry's user); else the stand-in.
std::string launcherOption() {
    return std::string("--launcher=") + (geteuid() == 0 ? LAUNCHER_PATH : STAND_IN_LAUNCHER);
}

// The daemon with the declarations, a client of it and a line to its status.
struct Declared {
    explicit Declared(int idle = 0)
        : daemon({"--services-dir=" + declarationsIn(folder, idle), launcherOption()}),
          client(clientOptions()),
          line(daemon.runtimeDirectory()) {}
    ClientOptions clientOptions() const {
        ClientOptions options;
        options.runtimeDirectory = daemon.runtimeDirectory();
        options.library = SERVICE_REGISTRY_LIBRARY;
        return options;
    }
    // A lookup of a cold service, as the client library makes it: start, wait until registered,
    // find.
    bool lookUpCold(RegistryClient& asker) {
        const std::string started = line.start(kIfc);
        return (started == "starting" || started == "running") &&
               asker.wait(kIfc, std::chrono::seconds(10)) && asker.find(kIfc);
    }
    // Ends the service, and waits until the daemon sees it idle again.
    bool endService() {
        const std::vector<std::string> row = line.declaredRows()["bench"];
        if (row.size() != 6 || row[5].empty()) return false;
        kill(std::stoi(row[5]), SIGTERM);
        return eventually([&] { return line.tableState(kIfc) == "idle"; });
    }

    TempDirectory folder;
    DaemonProcess daemon;
    RegistryClient client;
    StatusLine line;
};

double percentile(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<std::size_t>(fraction * (samples.size() - 1))];
}

void BM_ColdStartLookup(benchmark::State& state) {
    for (auto _ : state) {
        Declared declared;
        if (!declared.client.open()) state.SkipWithError("no client");
        std::vector<double> milliseconds;
        for (int i = 0; i < kColdStarts; ++i) {
            const auto began = std::chrono::steady_clock::now();
            if (!declared.lookUpCold(declared.client)) state.SkipWithError("not answered");
            milliseconds.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                    .count());
            if (!declared.endService()) state.SkipWithError("not idle again");
        }
        state.counters["p50_ms"] = percentile(milliseconds, 0.5);
        state.counters["p99_ms"] = percentile(milliseconds, 0.99);
    }
}

void BM_ConcurrentColdLookups(benchmark::State& state) {
    for (auto _ : state) {
        Declared declared;
        std::atomic<int> answered{0};
        std::vector<std::thread> askers;
        std::vector<std::unique_ptr<RegistryClient>> clients;
        for (int i = 0; i < kConcurrentLookups; ++i) {
            clients.push_back(std::make_unique<RegistryClient>(declared.clientOptions()));
            if (!clients.back()->open()) state.SkipWithError("no client");
        }
        const auto began = std::chrono::steady_clock::now();
        for (auto& asker : clients) {
            askers.emplace_back([&, client = asker.get()] {
                StatusLine own(declared.daemon.runtimeDirectory());
                const std::string started = own.start(kIfc);
                if ((started == "starting" || started == "running") &&
                    client->wait(kIfc, std::chrono::seconds(10)) && client->find(kIfc)) {
                    ++answered;
                }
            });
        }
        for (std::thread& asker : askers) asker.join();
        state.counters["all_answered_ms"] =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                .count();
        state.counters["answered"] = answered.load();
        state.counters["starts"] = static_cast<double>(
            occurrences(declared.daemon.log(), "declared_bench_service: registered"));
        declared.endService();
    }
}

void BM_IdleDeclarationMemory(benchmark::State& state) {
    for (auto _ : state) {
        Declared bare(0);
        // The table shared once, as it is below: what both pay alike is no declaration's.
        if (bare.line.tableState("bench.Idle0") != "undeclared") state.SkipWithError("declared");
        const long none = bare.daemon.residentKiB();
        Declared many(kIdleDeclarations);
        if (many.line.tableState("bench.Idle0") != "idle") state.SkipWithError("not declared");
        const long resident = many.daemon.residentKiB();
        state.counters["rss_none_KiB"] = static_cast<double>(none);
        state.counters["rss_1000_KiB"] = static_cast<double>(resident);
        state.counters["bytes_per_declaration"] =
            static_cast<double>(resident - none) * 1024 / kIdleDeclarations;
        // What the idle declarations cost the daemon's threads over a span with no request.
        const double cpuBefore = many.daemon.cpuNanoseconds();
        const auto began = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(kIdleSpan);  // the span measured, not a wait for a condition
        state.counters["cpu_percent_1000"] =
            100 * (many.daemon.cpuNanoseconds() - cpuBefore) /
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - began)
                .count();
    }
}

// What declared services must come to: a cold start answered within 20 ms (the service
// registering at once), one start for lookups at once, every lookup answered, and an idle
// declaration under 1 KiB of the daemon's memory and next to none of its time (the daemon's own
// once-a-second checks are all it does, declarations or not).
std::vector<Target> targets() {
    const std::string cold = "BM_ColdStartLookup/iterations:1/real_time";
    const std::string concurrent = "BM_ConcurrentColdLookups/iterations:1/real_time";
    const std::string idle = "BM_IdleDeclarationMemory/iterations:1/real_time";
    return {
        {"cold start to the lookup's answer, p50 (ms)", {cold, "p50_ms"}, {}, 20},
        {"cold start to the lookup's answer, p99 (ms)", {cold, "p99_ms"}, {}, 20},
        {"starts of 100 concurrent cold lookups", {concurrent, "starts"}, {}, 1},
        {"of them answered", {concurrent, "answered"}, {}, kConcurrentLookups, false},
        {"bytes of the daemon's memory an idle declaration holds",
         {idle, "bytes_per_declaration"},
         {},
         1024},
        {"% of a core, the daemon with 1,000 idle declarations",
         {idle, "cpu_percent_1000"},
         {},
         0.1},
    };
}

}  // namespace

BENCHMARK(BM_ColdStartLookup)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ConcurrentColdLookups)->Iterations(1)->UseRealTime();
BENCHMARK(BM_IdleDeclarationMemory)->Iterations(1)->UseRealTime();

int main(int argc, char** argv) {
    return runWithTargets(argc, argv, targets());
}
