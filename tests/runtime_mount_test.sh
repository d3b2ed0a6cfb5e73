#!/bin/sh
# The file system run-svcreg.mount puts at /run/svcreg is as svcreg.tmpfiles makes the folder
# (mode, owner, group): the socket unit pulls the mount in on a system already up too (just
# installed), after tmpfiles.d has run, and nothing makes it so then. Mounted with the unit's
# options in a mount namespace of its own, on a folder of its own. Skipped (77) unless run as
# root with unshare, where a mount namespace may mount a tmpfs, on a system with the tmpfiles
# line's user and group.
set -eu
mount_unit=$1
tmpfiles=$2
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
    echo "SKIP: mounting needs root and unshare"
    exit 77
fi
set -- $(awk '$1 == "d" && $2 == "/run/svcreg" { print $3, $4, $5 }' "$tmpfiles")
if ! getent passwd "$2" >/dev/null || ! getent group "$3" >/dev/null; then
    echo "SKIP: no user '$2' or no group '$3' here"
    exit 77
fi
options=$(sed -n 's/^Options=//p' "$mount_unit")
where=$(mktemp -d)
trap 'rmdir "$where"' EXIT
if ! unshare -m mount -t tmpfs tmpfs "$where" 2>/dev/null; then
    echo "SKIP: no mount namespace here that may mount a tmpfs"
    exit 77
fi
made=$(unshare -m sh -c 'mount -t tmpfs -o "$1" tmpfs "$2" && stat -c "%a %U %G" "$2"' sh \
    "$options" "$where")
if [ "$made" != "$1 $2 $3" ]; then
    echo "FAIL: run-svcreg.mount makes /run/svcreg '$made', svcreg.tmpfiles '$1 $2 $3'"
    exit 1
fi
echo "OK: run-svcreg.mount makes /run/svcreg '$made', as svcreg.tmpfiles does"
