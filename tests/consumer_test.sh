#!/bin/sh
# Builds the project in a folder outside its source tree, with debug information, as
# distribution builds do; installs it into a fresh prefix and checks that nothing installed
# names the source or the build folder, and that no inner header of the host runtime is
# installed. Then builds each C++ block of the README's "Using the library" against the install
# with pkg-config, and the first two, the library's and the client's, with find_package too
# (tests/consumer); each runs. Last, the quick start's example service, as the -dev package
# ships it, builds both ways and runs against a daemon of the install.
set -eu
source_dir=$1 compiler=$2
work=$(mktemp -d)
daemon=
trap '[ -z "$daemon" ] || kill "$daemon"; rm -rf "$work"' EXIT
build_dir=$work/build prefix=$work/prefix

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSVCREG_BUILD_TESTS=OFF -DSVCREG_BUILD_BENCHMARKS=OFF \
    >/dev/null
cmake --build "$build_dir" >/dev/null
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
if grep -rlF -e "$source_dir" -e "$build_dir" "$prefix"; then
    echo "FAIL: the files above name the source or build tree"
    exit 1
fi

# The host runtime's rooms keep their inner headers: only include/ServiceRegistry/ is its face.
for header in "$source_dir"/host/*/*.h; do
    if [ -e "$prefix/include/ServiceRegistry/$(basename "$header")" ]; then
        echo "FAIL: the inner header $header is installed"
        exit 1
    fi
done

PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name ServiceRegistry.pc)")
export PKG_CONFIG_PATH
# Each C++ block of the README's "Using the library" builds against the install as it stands.
awk '/^## Using the library/ { section = 1; next } /^## / { section = 0 }
     section && /^```cpp/ { block++; file = sprintf("%s/readme-%d.cpp", dir, block); next }
     section && /^```/ { file = ""; next }
     file != "" { print > file }' dir="$work" "$source_dir/README.md"
blocks=$(find "$work" -maxdepth 1 -name 'readme-*.cpp' | sort)
[ -n "$blocks" ] || { echo "FAIL: no C++ block in the README's 'Using the library'"; exit 1; }
for block in $blocks; do
    # shellcheck disable=SC2046 # the flags are several words
    c++ -std=c++17 -Wall -Werror "$block" $(pkg-config --cflags --libs ServiceRegistry) \
        -o "${block%.cpp}"
done
LD_LIBRARY_PATH=$(pkg-config --variable=libdir ServiceRegistry) "$work/readme-1"
# The first two blocks again with find_package and the package's targets: the library's, which
# registers and finds what it registered, and the client's, which, with no daemon in its
# runtime directory, must fail its lookup saying that no registry is reachable.
mkdir -m 700 "$work/run"
for block in 1 2; do
    cmake -S "$source_dir/tests/consumer" -B "$work/with-cmake-$block" -G Ninja \
        -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_SOURCE="$work/readme-$block.cpp" >/dev/null
    cmake --build "$work/with-cmake-$block" >/dev/null
done
"$work/with-cmake-1/consumer"
for client in "$work/readme-2" "$work/with-cmake-2/consumer"; do
    status=0
    SVCREG_RUNTIME_DIR=$work/run LD_LIBRARY_PATH=$(pkg-config --variable=libdir ServiceRegistry) \
        "$client" 2>"$work/client.err" || status=$?
    if [ "$status" -ne 1 ] || ! grep -q "^no registry reachable" "$work/client.err"; then
        echo "FAIL: $client without a daemon: exit $status, $(cat "$work/client.err")"
        exit 1
    fi
done

examples=$prefix/share/doc/svcreg-dev/examples/service
cmake -S "$examples" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
# shellcheck disable=SC2046 # the flags are several words
c++ -std=c++17 -Wall -Werror "$examples/main.cpp" $(pkg-config --cflags --libs ServiceRegistry) \
    -o "$work/example-pkg-config"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir ServiceRegistry)
SVCREG_RUNTIME_DIR=$work/run
export LD_LIBRARY_PATH SVCREG_RUNTIME_DIR
"$prefix/sbin/svcregd" --group= --policy= 2>"$work/daemon.log" &
daemon=$!
until "$prefix/bin/svcreg" status >/dev/null 2>&1; do
    kill -0 "$daemon" || { echo "FAIL: the daemon ended: $(cat "$work/daemon.log")"; exit 1; }
    sleep 0.05
done
"$work/example/example-service" camera_one
"$work/example-pkg-config" camera_two
echo "OK: the README's blocks and the example build with find_package and with pkg-config"
