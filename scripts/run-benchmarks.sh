#!/usr/bin/env bash
# Builds the benchmarks with the release preset and runs them all: the registry in one process,
# then the daemon against client processes. Each program prints its medians, then its targets
# with the ratios measured in the same run. Extra arguments go to both programs
# (e.g. --benchmark_filter=Find).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
for program in registry_bench daemon_bench; do
    echo "=== $program"
    # Repetitions interleaved at random, so that a benchmark and its baseline see the same
    # moments of the machine.
    "build/release/bench/$program" --benchmark_repetitions=5 \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        --benchmark_display_aggregates_only=true "$@"
done
