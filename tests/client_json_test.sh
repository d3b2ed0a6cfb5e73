#!/bin/bash
# Every svcreg command answers --json in one shape, on success and on failure: camelCase keys,
# every list an array, and every failure {"error", "cause", "exitCode"} with the code svcreg
# exits with. Each case also checks what the answer says.
set -uo pipefail
svcregd=$1 svcreg=$2
dir=$(mktemp -d)
cleanup() {
    kill "$daemon" "${waiter:-}" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
"$svcregd" --runtime-dir="$dir/run" --state-dir="$dir/state" --group= --policy= --limit=name-length=30 2>"$dir/log" &
daemon=$!
client=("$svcreg" --runtime-dir="$dir/run")
c() { "${client[@]}" "$@"; }
until c status >/dev/null 2>&1; do
    kill -0 "$daemon" 2>/dev/null || { echo "FAIL: the daemon ended"; cat "$dir/log"; exit 1; }
    sleep 0.05
done

# The shape every answer has, whatever the command; $code is the exit code svcreg ended with.
schema='
  ([.. | objects | keys[]] | all(test("^[a-z][A-Za-z0-9]*$")))
  and ([.. | objects | (.interfaces, .channels) | select(. != null)] | all(type == "array"))
  and (if type == "object" and has("error") then
         (keys == ["cause", "error", "exitCode"]) and (.error | type == "string")
         and (.cause | type == "string" and length > 0) and .exitCode == $code
       else $code == 0 end)'

failures=0
# check CODE CHECK ARGUMENTS...: svcreg -j ARGUMENTS exits CODE, and its answer meets the schema
# and CHECK.
check() {
    local code=$1 what=$2 out got
    shift 2
    out=$(c -j "$@" 2>/dev/null)
    got=$?
    if [[ $got != "$code" ]] ||
        ! jq -e --argjson code "$got" "($schema) and ($what)" <<<"$out" >/dev/null 2>&1; then
        echo "FAIL: svcreg -j $* exited $got (expected $code): $out"
        failures=$((failures + 1))
    fi
}

failed() { echo ".error == \"$1\""; }

check 0 '.done and .interfaces == ["com.ex.A", "com.ex.B"]' reg "com.ex.A com.ex.B" a_ch
check 0 '.svcId == 2 and .interfaces == ["com.ex.C"]' register com.ex.C c_ch
check 0 '.done' reg-invoker libA.so makeInvoker IfcX binary
check 0 '.done and .creatorFn == "makeProxy"' reg-proxy libB.so makeProxy IfcX binary
check 0 'length == 3 and (.[0] | keys) == ["channel", "interface", "pid", "svcId", "user"]' list
check 0 '.runtimeDir != null and .entries == 3 and (.limits.nameLength == 30)' status
check 0 '.found and .channel == "a_ch"' find com.ex.A
check 1 "$(failed notFound)" find com.ex.None
check 0 '.svcId == 1' find-svc-id com.ex.B
check 1 "$(failed notFound)" find-svc-id com.ex.None
check 0 '.channels == ["a_ch"]' getlist com.ex.A
check 1 "$(failed notFound)" getlist com.ex.None
check 0 'length == 3 and .[2] == {"interface": "com.ex.C", "svcId": 2, "channel": "c_ch"}' details
check 0 '.lib == "libA.so" and .creatorFn == "makeInvoker"' find-invoker IfcX binary
check 1 "$(failed notFound)" find-invoker IfcX other
check 0 '.lib == "libB.so"' find-proxy IfcX
check 1 "$(failed notFound)" find-proxy IfcY
check 1 "$(failed refused) and (.cause | test(\"over the limit of 30\"))" \
    register com.ex.ANameMuchTooLongForItsLimit c_ch
check 0 '.done' dereg com.ex.B a_ch
check 0 '.done and .channel == "c_ch"' deregister com.ex.C c_ch
check 0 '.found and .interface == "com.ex.A"' wait com.ex.A
check 1 "$(failed notFound)" --timeout=1 wait com.ex.Never
check 2 "$(failed usage)" frobnicate
check 2 "$(failed usage)" find "a,b"
check 2 "$(failed usage)" help frobnicate
check 3 "$(failed unreachable) and (.cause | test(\"svcregd running\"))" --channel=other find X
check 4 "$(failed cannotStart)" --library=/nonexistent.so find X

# watch prints one object a line until stopped (Ctrl-C or SIGTERM: a background job ignores
# SIGINT), and ends done.
"${client[@]}" -j watch >"$dir/watch" 2>/dev/null &
waiter=$!
until [[ -s $dir/watch ]]; do
    kill -0 "$waiter" 2>/dev/null || { echo "FAIL: watch ended unasked"; exit 1; }
    sleep 0.05
done
kill -TERM "$waiter"
wait "$waiter" || { echo "FAIL: watch ended $?"; failures=$((failures + 1)); }
jq -e --argjson code 0 "($schema) and .event == \"replay\" and .svcId == 1" "$dir/watch" \
    >/dev/null || { echo "FAIL: watch printed $(cat "$dir/watch")"; failures=$((failures + 1)); }

# Stopping a wait ends it as a failure, once the waiter sleeps on the table the daemon shares
# (and so takes the signal).
"${client[@]}" -j wait com.ex.Never >"$dir/wait" 2>/dev/null &
waiter=$!
until grep svcreg.table "/proc/$waiter/maps" >/dev/null 2>&1; do
    kill -0 "$waiter" 2>/dev/null || { echo "FAIL: wait ended unasked"; exit 1; }
    sleep 0.05
done
kill -TERM "$waiter"
wait "$waiter"
code=$?
jq -e --argjson code "$code" "($schema) and $(failed interrupted)" "$dir/wait" >/dev/null ||
    { echo "FAIL: an interrupted wait exited $code: $(cat "$dir/wait")"; failures=$((failures + 1)); }
exit $((failures > 0))
