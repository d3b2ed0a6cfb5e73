#!/usr/bin/env bash
# Counts the system calls of RegistryClient::find reading the table the daemon shares:
# strace -c -f over a client that makes no find beyond its setup, then over one that makes
# FINDS more (100,000 by default), against a daemon of its own holding 1,024 names. What both
# runs make is setup (the library loaded, the client's channel served, the table fetched and
# mapped by the first find); what the second makes beyond it is the finds'.
#
#     scripts/count-find-syscalls.sh [BUILD_DIR [FINDS]]    BUILD_DIR: build/release by default
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
finds=${2:-100000}
names=1024
scripts/install-deps.sh strace >/dev/null

work=$(mktemp -d)
"$build/daemon/svcregd" --runtime-dir "$work/run" --state-dir "$work/state" \
    >"$work/svcregd.log" 2>&1 &
daemon=$!
stop() {
    kill "$daemon" 2>/dev/null && wait "$daemon" || true
    rm -rf "$work"
}
trap stop EXIT

# The probe waits for the daemon to answer before it registers the names.
"$build/bench/find_probe" --fill "$work/run" "$names"
for count in 0 "$finds"; do
    echo "=== strace -c -f: setup, then $count finds"
    strace -f -c -o "$work/strace.txt" "$build/bench/find_probe" "$work/run" "$names" "$count"
    cat "$work/strace.txt"
done
