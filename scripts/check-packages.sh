#!/usr/bin/env bash
# Builds the Debian packages (the package preset, installed under /usr), checks them with
# lintian, installs them on this machine, runs the installed daemon and client (as root, as a
# member of the registry's group and as a user outside it), checks the installed units with
# systemd-analyze where it exists, and removes the packages again. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh lintian
cmake --preset package >/dev/null
cmake --build --preset package
rm -f build/package/*.deb
(cd build/package && cpack)
lintian --fail-on error \
    build/package/svcreg_*.deb build/package/svcreg-dev_*.deb

trap 'dpkg --purge svcreg-dev svcreg >/dev/null 2>&1 || true' EXIT
dpkg -i build/package/svcreg_*.deb build/package/svcreg-dev_*.deb
getent group svcreg >/dev/null || { echo "the package made no group svcreg"; exit 1; }
/usr/sbin/svcregd --help >/dev/null
/usr/bin/svcreg --help >/dev/null

runtime=$(mktemp -d)
chmod 755 "$runtime"
/usr/sbin/svcregd --runtime-dir "$runtime" 2>/dev/null &
daemon=$!
for _ in $(seq 100); do [[ -S $runtime/svcreg ]] && break; sleep 0.05; done
/usr/bin/svcreg --runtime-dir "$runtime" reg com.example.Packaged packaged_ch
as_member=(setpriv --reuid=nobody --regid=nogroup --groups="$(getent group svcreg | cut -d: -f3)")
as_outsider=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
found=$("${as_member[@]}" /usr/bin/svcreg --runtime-dir "$runtime" find com.example.Packaged)
outsider_status=0
outsider=$("${as_outsider[@]}" /usr/bin/svcreg --runtime-dir "$runtime" find com.example.Packaged \
    2>&1) || outsider_status=$?
kill "$daemon"
wait "$daemon"
rm -rf "$runtime" "$runtime.daemon"
[[ $found == packaged_ch ]] || { echo "a member of group svcreg found '$found'"; exit 1; }
[[ $outsider_status == 3 && $outsider == *"permission denied"* ]] ||
    { echo "a user outside group svcreg got ($outsider_status) '$outsider'"; exit 1; }

if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/svcregd.service \
        /usr/lib/systemd/system/svcregd.socket
    systemd-analyze security --offline=true --threshold=20 \
        /usr/lib/systemd/system/svcregd.service | tail -n 1
fi
dpkg --purge svcreg-dev svcreg
echo "packages: lintian-clean, installed, used by root, by the group and refused to others, removed"
