#!/usr/bin/env bash
# The weight of the tests against the code they test. Tests: the non-blank lines of tests/ and
# fuzz/ (C++ and shell) that are not comments. Code: the non-blank lines of the C++ code, its
# comments included, since they are part of what is kept up with it; "ratio" is tests against
# that. "ratio-without-code-comments" counts the code without its comment lines too. A comment
# line is one that starts, after blanks, with // in C++ or # in shell; the code has no block
# comments.
set -euo pipefail
cd "$(dirname "$0")/.."

# Counts the lines that are not blank and do not match skip, in the files found under the given
# folders with the given name patterns.
count() {
    local skip=$1
    shift
    local folders=() names=()
    while [ "$1" != -- ]; do folders+=("$1"); shift; done
    shift
    for name in "$@"; do names+=(-o -name "$name"); done
    find "${folders[@]}" -type f \( "${names[@]:1}" \) -print0 | sort -z |
        xargs -0 -r cat | grep -Evc "^[[:space:]]*($skip)$" || true
}

cpp=('*.cpp' '*.h')
code=(framework include src loopback host daemon client cmdline)
tests=$(($(count '//.*|' tests fuzz -- "${cpp[@]}") + $(count '#.*|' tests fuzz -- '*.sh')))
codeLines=$(count '' "${code[@]}" -- "${cpp[@]}")
codeWithoutComments=$(count '//.*|' "${code[@]}" -- "${cpp[@]}")
echo "tests: $tests"
echo "code: $codeLines"
awk -v t="$tests" -v c="$codeLines" 'BEGIN { printf "ratio: %.3f\n", t / c }'
echo "code without comments: $codeWithoutComments"
awk -v t="$tests" -v c="$codeWithoutComments" \
    'BEGIN { printf "ratio-without-code-comments: %.3f\n", t / c }'
