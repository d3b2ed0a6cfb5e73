#!/bin/sh
# Installs the build into a fresh prefix and builds tests/consumer against it twice, with
# find_package and with pkg-config; each build must run and find what it registers. Also checks
# that nothing installed names the source or build tree.
set -eu
build_dir=$1 source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
if grep -rlF -e "$source_dir" -e "$build_dir" "$prefix"; then
    echo "FAIL: the files above name the source or build tree"
    exit 1
fi

cmake -S "$source_dir/tests/consumer" -B "$work/with-cmake" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer"

PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name ServiceRegistry.pc)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046 # the flags are several words
c++ -std=c++17 "$source_dir/tests/consumer/main.cpp" $(pkg-config --cflags --libs ServiceRegistry) \
    -o "$work/with-pkg-config"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir ServiceRegistry) "$work/with-pkg-config"
echo "OK: found with find_package and with pkg-config"
