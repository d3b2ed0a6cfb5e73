#!/usr/bin/env bash
# Usage: run-fuzz.sh [SECONDS [TARGET...]]
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each TARGET (default: all of them)
# for SECONDS (default 60) from its committed seed corpus. New inputs go to a scratch
# directory, not into the repository. A finding stops the run with the fuzzer's report; the
# input is left in build/fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    for corpus in fuzz/corpus/*/; do targets+=("$(basename "$corpus")"); done
fi
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for name in "${targets[@]}"; do
    corpus="fuzz/corpus/$name"
    [[ -d "$corpus" ]] || { echo "no fuzz target '$name' (see fuzz/corpus/)" >&2; exit 2; }
    echo "=== fuzz $name for ${seconds}s"
    scratch="$(mktemp -d)"
    findings="build/fuzz/findings/$name"
    mkdir -p "$findings"
    dict=()
    [[ -f "fuzz/$name.dict" ]] && dict=(-dict="fuzz/$name.dict")
    if ! "build/fuzz/fuzz/${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/" "${dict[@]}" "$scratch" "$corpus" >"$findings/log" 2>&1; then
        tail -n 80 "$findings/log"
        echo "fuzz $name: FINDING, input in $findings/"
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' \
        "$findings/log"
    rm -rf "$scratch"
done
