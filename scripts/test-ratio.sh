#!/usr/bin/env bash
# The weight of the tests against the code they test: non-blank, non-comment lines of tests/ and
# fuzz/ (C++ and shell) against those of the code (C++ only). A comment line is one that starts,
# after blanks, with // in C++ or # in shell; the code has no block comments.
set -euo pipefail
cd "$(dirname "$0")/.."

# Counts the lines of the files found under the given folders with the given name patterns.
count() {
    local comment=$1
    shift
    local folders=() names=()
    while [ "$1" != -- ]; do folders+=("$1"); shift; done
    shift
    for name in "$@"; do names+=(-o -name "$name"); done
    find "${folders[@]}" -type f \( "${names[@]:1}" \) -print0 | sort -z |
        xargs -0 -r cat | grep -Evc "^[[:space:]]*($comment|$)" || true
}

cpp=('*.cpp' '*.h')
tests=$(($(count '//' tests fuzz -- "${cpp[@]}") + $(count '#' tests fuzz -- '*.sh')))
code=$(count '//' framework include src loopback host daemon client cmdline -- "${cpp[@]}")
echo "tests: $tests"
echo "code: $code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.3f\n", t / c }'
