#!/usr/bin/env bash
# Builds the Debian packages (scripts/build-packages.sh) and checks them: each library in a
# package named after its SONAME, with a symbols file; the API reference in svcreg-doc; every
# package depending on the packages of the project's libraries its binaries need; the binaries
# hardened; nothing from lintian --pedantic. Installs them on this machine, checks the
# launcher's mode (setuid root, runnable by the registry's group alone) and the folders of
# declared services, runs the installed daemon and client (as root, as a member of the
# registry's group and as a user outside it), the daemon federating once (its plug-in loaded
# from its package's private folder), runs the daemon through its init script as a system
# without systemd does, checks the
# installed units with systemd-analyze where it exists, and purges the packages, which must
# leave none of the daemon's state behind. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh lintian adduser
scripts/build-packages.sh
debs=(build/package/*.deb)
fail() { echo "FAIL: $*"; exit 1; }

unpacked=$(mktemp -d)
runtime=$(mktemp -d)
packages=()
for deb in "${debs[@]}"; do
    package=$(dpkg-deb -f "$deb" Package)
    packages+=("$package")
    dpkg-deb -x "$deb" "$unpacked/$package"
    dpkg-deb -e "$deb" "$unpacked/$package.control"
done
trap 'dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; rm -rf "$unpacked" "$runtime" "$runtime.daemon"' EXIT

# Where a SONAME belongs: libHostRuntime.so.3 in package libhostruntime3.
package_of() { sed -E 's/\.so\.([0-9]+)$/\1/' <<< "$1" | tr '[:upper:]' '[:lower:]'; }
dynamic() { objdump -p "$1" | awk -v key="$2" '$1 == key {print $2}'; }
check_elf() {  # package, file
    local package=$1 elf=$2 name=${2#"$unpacked/"} soname needed
    soname=$(dynamic "$elf" SONAME)
    if [[ -n $soname ]]; then
        [[ $(package_of "$soname") == "$package" ]] || fail "$soname is in package $package"
        grep -q "^$soname $package #MINVER#\$" "$unpacked/$package.control/symbols" ||
            fail "$package has no symbols for $soname"
    fi
    for needed in $(dynamic "$elf" NEEDED); do
        [[ -n $(find "$unpacked" -name "$needed" -print -quit) ]] || continue  # not the project's
        dpkg-deb -f "build/package/${package}_"*.deb Depends | grep "$(package_of "$needed") (" >/dev/null ||
            fail "$name needs $needed, but $package does not depend on its package"
    done
    readelf -d "$elf" | grep BIND_NOW >/dev/null || fail "$name is linked without -z now"
    readelf -l "$elf" | grep GNU_RELRO >/dev/null || fail "$name is linked without relro"
}
for package in "${packages[@]}"; do
    while IFS= read -r elf; do
        check_elf "$package" "$elf"
    done < <(find "$unpacked/$package" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
done
reference=$unpacked/svcreg-doc/usr/share/doc/svcreg-doc/html
grep -q 'registry of service interfaces' "$reference/classServiceRegistry.html" ||
    fail "svcreg-doc holds no API reference of the headers"
dpkg-deb -f build/package/svcreg_*.deb Depends | grep -q 'libddsc0debian\b' ||
    fail "svcreg does not depend on libddsc0debian, whose DDS Security plug-ins svcregd loads"
objdump -T "$unpacked/svcreg/usr/sbin/svcregd" | grep '__[a-z]*_chk' >/dev/null ||
    fail "svcregd calls no fortified function: built without _FORTIFY_SOURCE"
lint=$(lintian --pedantic "${debs[@]}" 2>&1 | grep -v '^running with root privileges') || true
[[ -z $lint ]] || fail "lintian has its say:"$'\n'"$lint"

dpkg -i "${debs[@]}"
getent group svcreg >/dev/null || fail "the package made no group svcreg"
launcher=/usr/libexec/svcreg/svcreg-launch
[[ $(stat -c '%a %U %G' "$launcher") == "4754 root svcreg" ]] ||
    fail "the launcher is $(stat -c '%a %U %G' "$launcher"), not 4754 root svcreg"
[[ -d /usr/share/svcreg/services && -d /etc/svcreg/services ]] ||
    fail "the packages shipped no folders of declared services"
/usr/sbin/svcregd --help >/dev/null
/usr/bin/svcreg --help >/dev/null

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
[[ $found == packaged_ch ]] || fail "a member of group svcreg found '$found'"
# Federating, the installed daemon loads its plug-in from the package's private folder.
federated=$(mktemp -d)
chmod 755 "$federated"
/usr/sbin/svcregd --runtime-dir "$federated" --federate=lo --federation-insecure \
    --federation-peers=127.0.0.1 --device=packaged 2>/dev/null &
daemon=$!
for _ in $(seq 100); do [[ -S $federated/svcreg ]] && break; sleep 0.05; done
plugin=$(grep -o '/usr/lib/[^ ]*/svcreg/libsvcreg-federation\.so$' "/proc/$daemon/maps" | head -n 1) || true
kill "$daemon"
wait "$daemon" || true
rm -rf "$federated" "$federated.daemon"
[[ -n $plugin ]] || fail "the installed daemon, federating, did not load its plug-in"
[[ $outsider_status == 3 && $outsider == *"permission denied"* ]] ||
    fail "a user outside group svcreg got ($outsider_status) '$outsider'"
# The launcher runs setuid for the group, which it then refuses (only the daemon and root start
# services), and not at all for others.
launch_status=0
launched=$("${as_member[@]}" "$launcher" absent 2>&1) || launch_status=$?
[[ $launch_status == 125 && $launched == *"neither root nor the registry's user"* ]] ||
    fail "a member of group svcreg running the launcher got ($launch_status) '$launched'"
"${as_outsider[@]}" "$launcher" absent 2>/dev/null && fail "a user outside group svcreg ran the launcher"

# The system daemon without systemd: with a policy it cannot read, start fails at once and
# says why; else it returns once it serves /run/svcreg/svcreg.
[[ ! -e /etc/svcreg/policy.conf ]] || fail "/etc/svcreg/policy.conf is there already: this check would change it"
trap 'rm -f /etc/svcreg/policy.conf; dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; rm -rf "$unpacked" "$runtime" "$runtime.daemon"' EXIT
install -d -m 0755 /etc/svcreg
echo "allow * fly" > /etc/svcreg/policy.conf
started=$SECONDS
start_status=0
refused=$(/etc/init.d/svcregd start 2>&1) || start_status=$?
[[ $start_status != 0 && $refused == *"unknown permission 'fly'"* ]] ||
    fail "start with a bad policy: ($start_status) '$refused'"
((SECONDS - started <= 5)) || fail "start with a bad policy took $((SECONDS - started)) s to fail"
rm /etc/svcreg/policy.conf
# A file a member of the group put at the registry's socket while the daemon was stopped.
"${as_member[@]}" touch /run/svcreg/svcreg
/etc/init.d/svcregd start
/etc/init.d/svcregd status
/usr/bin/svcreg reg com.example.Booted booted_ch
[[ $(/usr/bin/svcreg find com.example.Booted) == booted_ch ]] || fail "the system daemon did not answer"
# The quick start's example service, built against the installed packages with find_package and
# with pkg-config, runs against the system daemon.
examples=/usr/share/doc/svcreg-dev/examples/service
cmake -S "$examples" -B "$unpacked/example" -G Ninja >/dev/null
cmake --build "$unpacked/example" >/dev/null
# shellcheck disable=SC2046 # the flags are several words
c++ -std=c++17 "$examples/main.cpp" $(pkg-config --cflags --libs ServiceRegistry) \
    -o "$unpacked/example-pkg-config"
"$unpacked/example/example-service" || fail "the example service built by find_package failed"
"$unpacked/example-pkg-config" camera_two || fail "the example service built by pkg-config failed"
/etc/init.d/svcregd reload
for _ in $(seq 100); do
    grep -q "reloaded the policy" /var/log/svcreg/svcregd.log && break
    sleep 0.05
done
grep -q "reloaded the policy" /var/log/svcreg/svcregd.log ||
    fail "reload: the daemon did not read its policy again: $(cat /var/log/svcreg/svcregd.log)"
/etc/init.d/svcregd stop
status=0
/etc/init.d/svcregd status || status=$?
[[ $status == 3 ]] || fail "status after stop: $status, where 3 says it is not running"

if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/svcregd.service \
        /usr/lib/systemd/system/svcregd.socket /usr/lib/systemd/system/run-svcreg.mount
    systemd-analyze security --offline=true --threshold=20 \
        /usr/lib/systemd/system/svcregd.service | tail -n 1
fi
dpkg --purge "${packages[@]}"
for left in /run/svcreg.daemon /run/svcreg /var/log/svcreg /run/svcregd.pid /etc/init.d/svcregd \
    /etc/rc?.d/[SK]??svcregd /etc/svcreg "$launcher"; do
    [[ ! -e $left ]] || fail "purged, the packages left $left"
done
[[ -z $(dpkg-statoverride --list "$launcher") ]] || fail "purged, the launcher's mode is still kept"
echo "packages: named after their SONAMEs, hardened, lintian-clean, installed, used by root, by" \
    "the group and refused to others, run by the init script, serving the example service built" \
    "both ways, purged without a trace"
