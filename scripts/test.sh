#!/usr/bin/env bash
# Installs what is missing, builds in release mode and runs every test (unit, server, end to end)
# through CTest. Extra arguments go to ctest, e.g. scripts/test.sh -R plugin.
# VXUPLOAD_BUILD_DIR picks the build folder (default: build); VXUPLOAD_SANITIZERS=ON builds with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VXUPLOAD_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DVXUPLOAD_SANITIZERS="${VXUPLOAD_SANITIZERS:-OFF}"
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure --timeout 600 "$@"
