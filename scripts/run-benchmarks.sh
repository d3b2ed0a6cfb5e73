#!/usr/bin/env bash
# Builds the benchmarks with the release preset and runs them all: the registry in one process,
# the daemon against client processes, then two federated devices (as root only). Each program
# prints its medians, then its targets with the ratios measured in the same run. Extra arguments
# go to every program (e.g. --benchmark_filter=Find).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
for program in registry_bench daemon_bench activation_bench; do
    echo "=== $program"
    # Repetitions interleaved at random, so that a benchmark and its baseline see the same
    # moments of the machine.
    "build/release/bench/$program" --benchmark_repetitions=5 \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        --benchmark_display_aggregates_only=true "$@"
done
# Two devices in network namespaces of its own: each benchmark sets its own count (1,000
# registrations, say), so one pass.
echo "=== federation_bench"
build/release/bench/federation_bench "$@"
