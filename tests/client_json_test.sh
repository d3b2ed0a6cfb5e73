#!/bin/bash
# Every svcreg command answers --json in one shape, on success and on failure: camelCase keys,
# every list an array, and every failure {"error", "cause", "exitCode"} with the code svcreg
# exits with, all on standard output and nothing on standard error. Each case also checks what
# the answer says.
set -uo pipefail
svcregd=$1 svcreg=$2
dir=$(mktemp -d)
cleanup() {
    kill "$daemon" "${waiter:-}" "${later:-}" 2>/dev/null
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
# check CODE CHECK ARGUMENTS...: svcreg -j ARGUMENTS exits CODE, its answer meets the schema
# and CHECK, and it says nothing on standard error.
check() {
    local code=$1 what=$2 out got
    shift 2
    out=$(c -j "$@" 2>"$dir/err")
    got=$?
    if [[ $got != "$code" ]] || [[ -s $dir/err ]] ||
        ! jq -e --argjson code "$got" "($schema) and ($what)" <<<"$out" >/dev/null 2>&1; then
        echo "FAIL: svcreg -j $* exited $got (expected $code): $out; on standard error: $(cat "$dir/err")"
        failures=$((failures + 1))
    fi
}

failed() { echo ".error == \"$1\""; }

check 0 '.done and .interfaces == ["com.ex.A", "com.ex.B"] and .svcId == 1' reg "com.ex.A com.ex.B" a_ch
check 0 '.svcId == 2 and .interfaces == ["com.ex.C"]' --keep register com.ex.C c_ch
check 0 '.done' reg-invoker libA.so makeInvoker IfcX binary
check 0 '.done and .creatorFn == "makeProxy"' reg-proxy libB.so makeProxy IfcX binary
check 0 '(.entries | length) == 3 and (.entries[0] | keys) == ["channel", "device", "interface", "pid", "svcId", "user"] and .declared == []' list
check 0 '.runtimeDir != null and .entries == 3 and .services == [] and (.limits.nameLength == 30)' status
check 1 "$(failed notFound) and (.cause | test(\"not declared\"))" is-declared com.ex.A
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
for removal in dereg deregister; do
    check 1 "$(failed notFound) and .cause == \"not registered at channel 'c_ch': 'com.ex.C'\"" \
        "$removal" com.ex.C c_ch
done
check 0 '.done' reg com.ex.D d_ch
check 1 "$(failed notFound) and (.cause | test(\": 'com.ex.Z'\$\"))" dereg "com.ex.D com.ex.Z" d_ch
check 1 "$(failed notFound)" find com.ex.D
check 0 '.found and .interface == "com.ex.A"' wait com.ex.A
check 1 "$(failed notFound)" --timeout=1 wait com.ex.Never
check 2 "$(failed usage)" frobnicate
check 2 "$(failed usage)" find "a,b"
check 2 "$(failed usage)" help frobnicate
check 2 "$(failed usage)" --frobnicate
check 2 "$(failed usage)" find
check 2 "$(failed usage) and (.cause | test(\"--json takes short or pretty\"))" --json=long list
check 0 '.help | test("^Usage: svcreg")' help
check 0 '.help | test("^Usage: svcreg \\[options\\] wait IFC")' help wait
check 0 '.help | test("^Usage: svcreg \\[options\\] find IFC")' find --help
check 0 '.program == "svcreg" and (.version | length > 0)' --version
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
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# within CONDITION: true once the shell condition holds, false after 20 s.
within() {
    local end=$((SECONDS + 20))
    until eval "$1"; do
        ((SECONDS < end)) || return 1
        sleep 0.05
    done
}

# A watch started before any registry serves its channel says so, as a "lost" event on standard
# output, and watches the registry once one is up; it says so again when that one goes.
"${client[@]}" -j --channel=later watch >"$dir/early" 2>"$dir/early-err" &
waiter=$!
within 'grep -q "\"lost\"" "$dir/early"' || fail "an early watch said $(cat "$dir/early")"
"$svcregd" --runtime-dir="$dir/run" --state-dir="$dir/later" --channel=later --group= --policy= \
    2>"$dir/later-log" &
later=$!
within 'c --channel=later reg com.ex.Late late_ch >/dev/null 2>&1' || fail "no later registry"
within 'grep -q "com.ex.Late" "$dir/early"' || fail "the early watch saw no registration"
kill -TERM "$later"
wait "$later"
within '[[ $(grep -c "\"lost\"" "$dir/early") -ge 2 ]]' || fail "the early watch saw no end"
kill -TERM "$waiter"
wait "$waiter" || fail "the early watch ended $?"
jq -se --argjson code 0 "all($schema) and (.[0].cause | test(\"no registry serves channel 'later' yet\"))
    and ([.[].interface] | index(\"com.ex.Late\") != null)" "$dir/early" >/dev/null && [[ ! -s $dir/early-err ]] ||
    fail "the early watch printed $(cat "$dir/early"), and $(cat "$dir/early-err")"
exit $((failures > 0))
