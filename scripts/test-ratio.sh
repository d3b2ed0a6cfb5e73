#!/usr/bin/env bash
# The weight of the tests against the code they test, in non-blank C++ lines that are not
# comments (a comment line starts, after blanks, with //; the code has no block comments).
# Tests: the C++ of tests/ and fuzz/. Code: the C++ of every other folder but bench/ and the
# build trees. Prints "tests: N", "code: N" and "ratio: R" (tests / code, three decimals).
set -euo pipefail
cd "$(dirname "$0")/.."

# Counts the non-blank, non-comment lines of the C++ files under the given folders.
countCpp() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z |
        xargs -0 -r cat | grep -Evc '^[[:space:]]*(//.*)?$' || true
}

testFolders=(tests fuzz)
codeFolders=()
for folder in */; do
    folder=${folder%/}
    case $folder in
    tests | fuzz | bench | build*) ;;
    *) codeFolders+=("$folder") ;;
    esac
done

tests=$(countCpp "${testFolders[@]}")
code=$(countCpp "${codeFolders[@]}")
echo "tests: $tests"
echo "code: $code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.3f\n", t / c }'
