#pragma once

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

// One figure of a run: its median real time, or one of its counters.
struct Figure {
    std::string run;      // the benchmark's name with its arguments, e.g. "BM_Find/1024"
    std::string counter;  // empty for the median real time
};

// A target: numerator / denominator must stay at most (or at least) limit. Without a
// denominator run, the numerator itself is held to the limit.
struct Target {
    std::string what;
    Figure numerator;
    Figure denominator;
    double limit;
    bool atMost = true;
};

// The console report, then a table of the targets with the ratios measured in this run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<Target> targets) : targets(std::move(targets)) {}

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    bool lookUp(const Figure& figure, double& value) const;

    std::vector<Target> targets;
    std::map<std::string, Run> byName;  // the median run of each benchmark, else its only run
};

// Runs the benchmarks selected on the command line, then prints the targets. Targets are
// reported, not enforced: a short run on a busy machine says little.
int runWithTargets(int argc, char** argv, std::vector<Target> targets);
