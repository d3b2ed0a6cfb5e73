#!/usr/bin/env bash
# Builds and runs the tests of each preset named (default: "default", every test with g++).
#   asan  every test with AddressSanitizer and UndefinedBehaviorSanitizer (clang++)
#   tsan  the threaded and multi-process tests with ThreadSanitizer (clang++)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[[ ${#presets[@]} -eq 0 ]] && presets=(default)
for preset in "${presets[@]}"; do
    echo "=== tests: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
