#!/bin/sh
# Checks a shared library's SONAME and its dynamic symbol table against a list:
#   allow <regex>    every defined dynamic symbol, demangled, must match one of these
#   require <name>   this symbol must be defined, exactly as written (undecorated for C names)
set -eu
library=$1 soname=$2 expected=$3

actual_soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$actual_soname" != "$soname" ]; then
    echo "FAIL: SONAME is '$actual_soname', expected '$soname'"
    exit 1
fi

symbols=$(nm -D --defined-only --format=posix "$library" | awk '{print $1}')
status=0
for name in $(sed -n 's/^require //p' "$expected"); do
    if ! printf '%s\n' "$symbols" | grep -qx "$name"; then
        echo "FAIL: $name is not exported"
        status=1
    fi
done

allowed=$(sed -n 's/^allow //p' "$expected")
unexpected=$(printf '%s\n' "$symbols" | c++filt | grep -v -x -E -e "$allowed" || true)
if [ -n "$unexpected" ]; then
    echo "FAIL: unexpected exports:"
    printf '%s\n' "$unexpected"
    status=1
fi
[ $status -eq 0 ] && echo "OK: $soname exports $(printf '%s\n' "$symbols" | wc -l) expected symbols"
exit $status
