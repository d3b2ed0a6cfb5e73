#!/usr/bin/env bash
# Builds the project and runs the example program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
build/default/example/registry_example
