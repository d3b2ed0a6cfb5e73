#!/usr/bin/env bash
# Builds the Debian packages in build/package as the README says (the package preset, installed
# under /usr), which hardens them as Debian's own packages are (see
# cmake/DebianHardening.cmake), from a fresh configuration: flags left in the cache by an older
# one go.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset package --fresh >/dev/null
cmake --build --preset package
rm -f build/package/*.deb
(cd build/package && cpack)
