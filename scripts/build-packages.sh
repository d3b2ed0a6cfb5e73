#!/usr/bin/env bash
# Builds the Debian packages in build/package (the package preset, installed under /usr) with
# the hardening Debian's own packages get: the flags of dpkg-buildflags with every hardening
# feature on (_FORTIFY_SOURCE, stack protector, relro and bind-now, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
# CMake reads no CPPFLAGS: the preprocessor's flags go with the compiler's.
cmake --preset package -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build --preset package
rm -f build/package/*.deb
(cd build/package && cpack)
