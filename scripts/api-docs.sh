#!/usr/bin/env bash
# Builds the API reference of the installed headers with doxygen (docs/Doxyfile) and fails on
# any warning, printing them: a public declaration without a documentation comment is one.
# Installs doxygen first when it is missing.
# Usage: scripts/api-docs.sh [OUTPUT_DIR]
#   OUTPUT_DIR  where the HTML and warnings.txt go (default: build/api-docs)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/api-docs}
command -v doxygen >/dev/null || scripts/install-deps.sh doxygen

rm -rf "$out/html" "$out/warnings.txt"
mkdir -p "$out"
warnings=$out/warnings.txt
# Settings given after the file's own win; the paths in it are from the top of the tree.
status=0
{
    cat docs/Doxyfile
    echo "OUTPUT_DIRECTORY = \"$out\""
    echo "WARN_LOGFILE = \"$warnings\""
} | doxygen - || status=$?
if [[ -s $warnings ]]; then
    cat "$warnings"
    echo "FAIL: doxygen warned $(wc -l < "$warnings") times (above)"
    exit 1
elif [[ $status -ne 0 ]]; then
    echo "FAIL: doxygen exits $status"
    exit 1
fi
[[ -f $out/html/index.html ]] || { echo "FAIL: no $out/html/index.html"; exit 1; }
echo "OK: API reference in $out/html"
