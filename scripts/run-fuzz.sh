#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each one for SECONDS (default 60)
# from its committed seed corpus. New inputs go to a scratch directory, not into the repository.
# A finding stops the run; the crashing input is left in build/fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for corpus in fuzz/corpus/*/; do
    name="$(basename "$corpus")"
    echo "=== fuzz $name for ${seconds}s"
    scratch="$(mktemp -d)"
    findings="build/fuzz/findings/$name"
    mkdir -p "$findings"
    dict=()
    [[ -f "fuzz/$name.dict" ]] && dict=(-dict="fuzz/$name.dict")
    "build/fuzz/fuzz/${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/" "${dict[@]}" "$scratch" "$corpus"
    rm -rf "$scratch"
done
