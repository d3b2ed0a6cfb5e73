#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and those named as arguments; only
# those that are missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev binutils clang-format pkgconf dpkg-dev bash-completion jq
          doxygen cyclonedds-dev cyclonedds-tools libddsc0debian libssl-dev openssl iproute2
          "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo_if_needed=()
    [[ $(id -u) -eq 0 ]] || sudo_if_needed=(sudo)
    "${sudo_if_needed[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_if_needed[@]}" apt-get install -y -qq "${missing[@]}"
fi
