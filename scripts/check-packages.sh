#!/usr/bin/env bash
# Builds the Debian packages (the package preset, installed under /usr), installs them on this
# machine, runs the installed daemon and client, checks the installed units with
# systemd-analyze where it exists, and removes the packages again. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset package >/dev/null
cmake --build --preset package
rm -f build/package/*.deb
(cd build/package && cpack)

trap 'dpkg --purge svcreg-dev svcreg >/dev/null 2>&1 || true' EXIT
dpkg -i build/package/svcreg_*.deb build/package/svcreg-dev_*.deb
/usr/bin/svcregd --help >/dev/null
/usr/bin/svcreg --help >/dev/null

runtime=$(mktemp -d)
/usr/bin/svcregd --runtime-dir "$runtime" 2>/dev/null &
daemon=$!
for _ in $(seq 100); do [[ -S $runtime/svcreg ]] && break; sleep 0.05; done
/usr/bin/svcreg --runtime-dir "$runtime" reg com.example.Packaged packaged_ch
found=$(/usr/bin/svcreg --runtime-dir "$runtime" find com.example.Packaged)
kill "$daemon"
wait "$daemon"
rm -rf "$runtime"
[[ $found == packaged_ch ]] || { echo "installed client found '$found'"; exit 1; }

if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/svcregd.service \
        /usr/lib/systemd/system/svcregd.socket
fi
dpkg --purge svcreg-dev svcreg
echo "packages: built, installed, run and removed"
