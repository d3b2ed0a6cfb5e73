#!/bin/sh
# Stands in for svcreg-launch in the tests and benchmarks run by a user other than root, whom the
# launcher refuses (it serves root and the registry's user only): takes its command line,
# `stand-in-launch.sh [--services-dir=DIR]... NAME`, finds NAME.service in the last folder that
# has one, says so on standard error, and execs its Exec= line in its own place, as the launcher
# does (without its checks and change of user).
PATH=/usr/bin:/bin
folders=
name=
for word in "$@"; do
    case $word in
        --services-dir=*) folders="$folders ${word#--services-dir=}" ;;
        *) name=$word ;;
    esac
done
file=
for folder in $folders; do
    if [ -f "$folder/$name.service" ]; then file=$folder/$name.service; fi
done
if [ -z "$file" ]; then
    echo "svcreg-launch: $name: not declared" >&2
    exit 125
fi
echo "svcreg-launch: starting $name" >&2
command=$(sed -n 's/^Exec=//p' "$file")
export PATH SVCREG_SERVICE="$name"
exec $command </dev/null
