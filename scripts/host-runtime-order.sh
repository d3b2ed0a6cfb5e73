#!/usr/bin/env bash
# Writes host/HostRuntime.order, the order in which the linker lays out the host runtime's
# functions: those an idle daemon has run (started, connected to once as daemon_bench does before
# it reads the daemon's idle memory, then waiting for a few seconds), found with callgrind, come
# first and together; then those it runs to serve a client's first requests (a status, a
# registration, lookups, a deregistration). The kernel maps a library's
# code 64 KiB at a time around each page first run, so a daemon that runs a function here and
# there across the library holds nearly all of it resident; with its functions together, a few
# of those windows. Run it again when the daemon's start or idle work changes much (the idle
# resident memory of daemon_bench shows it): a function missing from the list still works, it
# only lies elsewhere.
#
#     scripts/host-runtime-order.sh [BUILD_DIR]    BUILD_DIR: build/release by default
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
scripts/install-deps.sh valgrind socat >/dev/null

work=$(mktemp -d)
valgrind --tool=callgrind --demangle=no --callgrind-out-file="$work/callgrind.out" \
    "$build/daemon/svcregd" --runtime-dir "$work/run" --state-dir "$work/state" --policy= \
    >"$work/svcregd.log" 2>&1 &
daemon=$!
stop() {
    kill -9 "$daemon" 2>/dev/null && { wait "$daemon" 2>/dev/null || true; }
    rm -rf "$work"
}
trap stop EXIT

for _ in $(seq 300); do [[ -S $work/run/svcreg ]] && break; sleep 0.1; done
socat -u /dev/null "UNIX-CONNECT:$work/run/svcreg"
# Dumps what ran since the last dump, as callgrind.out.N.
dump() {
    callgrind_control --dump "$daemon" >/dev/null 2>&1
    for _ in $(seq 100); do [[ -s $work/callgrind.out.$1 ]] && break; sleep 0.1; done
}
sleep 3  # idle: the daemon's checks once a second
dump 1
# A registration by remote call ends with its caller: what asks for it after finds nothing.
client() { "$build/client/svcreg" --runtime-dir "$work/run" "$@" >/dev/null 2>&1 || true; }
client status
client reg com.example.Order order_ch
client find com.example.Order
client register com.example.Called called_ch
client getlist com.example.Called
client dereg com.example.Order order_ch
client deregister com.example.Called called_ch
sleep 1
dump 2

# The functions of the library that ran, as the compiler's section names (-ffunction-sections),
# a constructor or destructor under both the names the compiler may give its section.
functions_run() {
    callgrind_annotate --threshold=100 "$work/callgrind.out.$1" |
        sed -nE 's/.*:(_Z[^ ]*) \[.*libHostRuntime\.so.*/\1/p' |
        sed -E 'p; s/(C1|C2)E/C2E/p; s/(D0|D1|D2)E/D2E/p' | LC_ALL=C sort -u
}
functions_run 1 >"$work/idle"
functions_run 2 | LC_ALL=C comm -23 - "$work/idle" >"$work/serving"
# The sections in plain .text and the static initialisers first; every other function after
# those listed.
{
    echo ".text"
    echo ".text.startup.*"
    sed 's/^/.text./' "$work/idle" "$work/serving"
    echo ".text.*"
} >host/HostRuntime.order
echo "host/HostRuntime.order: $(wc -l <"$work/idle") functions of an idle daemon," \
    "then $(wc -l <"$work/serving") more of a serving one"
