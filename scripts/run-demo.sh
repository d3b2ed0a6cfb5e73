#!/usr/bin/env bash
# Builds the project, starts the registry daemon in a temporary runtime directory, talks to it
# with the client (registrations, lookups, a watcher), crashes it and starts it again, and stops
# it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

bin=build/default
runtime=$(mktemp -d)
watched=$(mktemp)
daemon=""
watcher=""
cleanup() {
    [ -n "$watcher" ] && kill -INT "$watcher" 2>/dev/null && wait "$watcher" || true
    [ -n "$daemon" ] && kill -TERM "$daemon" 2>/dev/null && wait "$daemon" || true
    rm -rf "$runtime" "$runtime.daemon" "$watched"
}
trap cleanup EXIT

svcreg() {
    echo "\$ svcreg $(printf "%q " "$@")"
    "$bin/client/svcreg" --runtime-dir "$runtime" "$@"
}

# Polls for what the demo waits on, giving up after five seconds.
wait_for() {
    for _ in $(seq 100); do
        if eval "$1"; then return 0; fi
        sleep 0.05
    done
    echo "gave up waiting for: $1" >&2
    return 1
}

echo "=== starting svcregd in $runtime"
"$bin/daemon/svcregd" -v --runtime-dir "$runtime" &
daemon=$!
wait_for '[ -S "$runtime/svcreg" ]'

echo "=== registering two services, one by text command, one by remote call kept after svcreg ends"
svcreg reg "com.example.Audio com.example.Volume" audio_channel
svcreg --keep register com.example.Display display_channel
echo "=== looking them up"
svcreg find com.example.Volume
svcreg find-svc-id com.example.Display
svcreg --json getlist com.example.Audio
svcreg details
echo "=== what an operator asks: the entries with their owners, the daemon's status"
svcreg --version
svcreg list
svcreg status

echo "=== a watcher sees what is registered, then each change"
"$bin/client/svcreg" --runtime-dir "$runtime" watch >"$watched" &
watcher=$!
wait_for 'grep -q "replay.com.example.Display" "$watched"'
svcreg reg com.example.Camera camera_channel
svcreg dereg com.example.Audio audio_channel
wait_for 'grep -q "removed.com.example.Audio" "$watched"'

echo "=== the daemon crashes (SIGKILL) and starts again: every entry is back, with its id"
kill -KILL "$daemon"
{ wait "$daemon"; } 2>/dev/null || true
"$bin/daemon/svcregd" -v --runtime-dir "$runtime" &
daemon=$!
wait_for '"$bin/client/svcreg" --runtime-dir "$runtime" find com.example.Camera >/dev/null 2>&1'
svcreg details
echo "=== the watcher watched on across the restart"
wait_for 'grep -q "restarted" "$watched"'
svcreg reg com.example.Radio radio_channel
wait_for 'grep -q "registered.com.example.Radio" "$watched"'
sed 's/^/  watcher: /' "$watched"

echo "=== stopping"
