#!/usr/bin/env bash
# Line coverage of the library (src/) and the host runtime (host/) by every test, with clang's
# source-based coverage: builds into build/coverage, runs ctest with each process writing its
# own profile, and prints llvm-cov's report of each of those folders.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/coverage
# Where each process writes its profile is built in, not given by LLVM_PROFILE_FILE: processes
# started with a cleared environment (the launcher, and the services it starts) write theirs too.
# Continuously (%c, which needs the counters relocated on Linux): the file is the counters, so
# that processes the tests kill (daemons restarted with SIGKILL) count too. Links are given the
# compile flags as well, where the relocation's option is unused: not warned about at each link.
flags="-fprofile-instr-generate=$PWD/$build/profiles/%p-%m%c.profraw -fcoverage-mapping"
link="$flags -Wno-unused-command-line-argument"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags -mllvm -runtime-counter-relocation" \
    -DCMAKE_EXE_LINKER_FLAGS="$link" -DCMAKE_SHARED_LINKER_FLAGS="$link" \
    -DCMAKE_MODULE_LINKER_FLAGS="$link" -DSVCREG_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build"
rm -rf "$build/profiles"
# Tests run some processes as other users: they must be able to write their profiles too.
mkdir -p "$build/profiles" && chmod 1777 "$build/profiles"
ctest --test-dir "$build" --output-on-failure -LE install -j2 || true
llvm-profdata merge -sparse "$build"/profiles/*.profraw -o "$build/coverage.profdata"
# Every program and shared library built, each given as an object to read coverage maps from.
objects=()
while IFS= read -r file; do objects+=(-object "$file"); done < <(
    find "$build" -type f \( -name '*.so.*' -o -perm -u+x \) ! -path '*/CMakeFiles/*' -exec sh -c \
        'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
# The build maps the project's folder to "." in the paths it records (see CMakeLists.txt), so
# files are named "src/X.cpp" or "./src/X.cpp": one report of every file, then each folder's
# files and their total of lines, summed from it (columns 8 and 9: lines, lines missed).
# The first object is named without -object.
llvm-cov report --instr-profile "$build/coverage.profdata" "${objects[@]:1}" >"$build/report.txt"
for folder in src host; do
    echo "$folder/:"
    awk -v folder="$folder" '$1 ~ "^(\\./)?" folder "/" {
            print; lines += $8; missed += $9
        }
        END { printf "TOTAL lines %d, missed %d, cover %.2f%%\n", lines, missed,
              100 * (lines - missed) / lines }' "$build/report.txt" | tail -n "${COVERAGE_LINES:-60}"
done
