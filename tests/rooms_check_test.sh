#!/bin/sh
# Runs cmake/CheckRooms.cmake on tiny trees of three rooms, lower, upper (which uses lower) and
# side (which uses lower), each case adding one file, and checks the verdict and its message.
set -eu
cmake=$1 checker=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
# case | room the file is in | its include line | expected exit: pass or fail | expected line
while IFS='|' read -r name room include verdict expected; do
    tree="$work/$name"
    mkdir -p "$tree/host/lower" "$tree/host/upper" "$tree/host/side"
    echo '#pragma once' >"$tree/host/lower/Low.h"
    echo '#pragma once' >"$tree/host/upper/Up.h"
    echo '#pragma once' >"$tree/host/side/Side.h"
    case $name in
        OwnHeaderComesFirst) echo '#pragma once' >"$tree/host/side/Up.h" ;;
        UnknownFolderFails) mkdir "$tree/host/extra" ;;
    esac
    printf '// probe\n%s\n' "$include" >"$tree/host/$room/Probe.cpp"

    if output=$("$cmake" -DROOMS_DIR="$tree/host" -DROOMS=lower,upper,side -DUSES_lower= \
                -DUSES_upper=lower -DUSES_side=lower -P "$checker" 2>&1); then
        actual=pass
    else
        actual=fail
    fi
    if [ "$actual" != "$verdict" ]; then
        echo "FAIL $name: the check should $verdict, but did $actual:"
        printf '%s\n' "$output"
        status=1
    elif [ -n "$expected" ] && ! printf '%s\n' "$output" | grep -qxF "$expected"; then
        echo "FAIL $name: no line '$expected' in:"
        printf '%s\n' "$output"
        status=1
    else
        echo "ok $name"
    fi
done <<'EOF'
DownwardPasses|upper|#include "Low.h"|pass|
UpwardFails|lower|#include "Up.h"|fail|host/lower/Probe.cpp:2: includes "Up.h" from host/upper, which host/lower may not use
AcrossFails|side|  #  include <Up.h>|fail|host/side/Probe.cpp:2: includes "Up.h" from host/upper, which host/side may not use
PathFails|side|#include "../upper/Up.h"|fail|host/side/Probe.cpp:2: includes "../upper/Up.h" from host/upper, which host/side may not use
OwnHeaderComesFirst|side|#include "Up.h"|pass|
HeaderOfNoRoomPasses|lower|#include "Framework.h"|pass|
UnknownFolderFails|lower|#include "Low.h"|fail|host/extra: a folder the room check does not know; name the rooms it may use
EOF
exit $status
