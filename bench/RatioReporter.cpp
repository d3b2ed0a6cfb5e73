#include "RatioReporter.h"

#include <cstdio>

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.error_occurred) continue;  // its figures are zeros: the target was not run
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        benchmark::BenchmarkName withoutRepetitions = run.run_name;
        withoutRepetitions.repetitions.clear();
        const std::string name = withoutRepetitions.str();
        if (median || (run.run_type == Run::RT_Iteration && byName.count(name) == 0)) {
            byName[name] = run;
        }
    }
    ConsoleReporter::ReportRuns(runs);
}

bool RatioReporter::lookUp(const Figure& figure, double& value) const {
    const auto found = byName.find(figure.run);
    if (found == byName.end()) return false;
    if (figure.counter.empty()) {
        value = found->second.GetAdjustedRealTime();
        return true;
    }
    const auto counter = found->second.counters.find(figure.counter);
    if (counter == found->second.counters.end()) return false;
    value = counter->second.value;
    return true;
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    std::printf("\n%-62s %10s %10s  %s\n", "target", "measured", "limit", "");
    for (const Target& target : targets) {
        double numerator = 0, denominator = 1;
        if (!lookUp(target.numerator, numerator) ||
            (!target.denominator.run.empty() && !lookUp(target.denominator, denominator))) {
            std::printf("%-62s %10s %10s  not run\n", target.what.c_str(), "-", "-");
            continue;
        }
        const double measured = denominator != 0 ? numerator / denominator : 0;
        const bool met = target.atMost ? measured <= target.limit : measured >= target.limit;
        std::printf("%-62s %10.3f %s%9.3f  %s\n", target.what.c_str(), measured,
                    target.atMost ? "<=" : ">=", target.limit, met ? "met" : "MISSED");
    }
    std::fflush(stdout);
}

int runWithTargets(int argc, char** argv, std::vector<Target> targets) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    RatioReporter reporter(std::move(targets));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
