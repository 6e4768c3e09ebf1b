#!/usr/bin/env bash
# Installs what is missing, builds in release mode and runs every test (unit, server, end to end)
# through CTest.
#   scripts/test.sh [-DNAME=VALUE...] [CTEST ARGUMENTS...]
# Arguments that start with -D go to cmake, every other one to ctest (so ctest's own -D is out of
# reach), e.g. scripts/test.sh -R plugin, or scripts/test.sh -DVXUPLOAD_TEST_RGW=OFF on a machine
# without Ceph: then the Ceph packages are not installed and the gateway tests not run (CI keeps
# them). VXUPLOAD_BUILD_DIR picks the build folder (default: build); VXUPLOAD_SANITIZERS=ON builds
# with AddressSanitizer and UndefinedBehaviorSanitizer, VXUPLOAD_SANITIZERS=thread with
# ThreadSanitizer (reports fail the test; cmake/tsan.supp lists the suppressed ones and why).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VXUPLOAD_BUILD_DIR:-$root/build}

cmake_arguments=()
ctest_arguments=()
for argument in "$@"; do
    case $argument in
    -D*) cmake_arguments+=("$argument") ;;
    *) ctest_arguments+=("$argument") ;;
    esac
done

# The gateway tests' switch, as this run's cmake will see it: from the arguments, else from the
# build folder's cache. install-deps.sh leaves Ceph out when it is off.
rgw=$(sed -n 's/^VXUPLOAD_TEST_RGW:BOOL=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
for argument in "${cmake_arguments[@]}"; do
    [[ $argument =~ ^-DVXUPLOAD_TEST_RGW(:BOOL)?=(.*)$ ]] && rgw=${BASH_REMATCH[2]}
done
VXUPLOAD_TEST_RGW=${rgw:-ON} "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DVXUPLOAD_SANITIZERS="${VXUPLOAD_SANITIZERS:-OFF}" "${cmake_arguments[@]}"
cmake --build "$build" -j2
cd "$build"
if [[ ${VXUPLOAD_SANITIZERS:-OFF} == thread ]]; then
    # ignore_noninstrumented_modules: the libc calls that Qt and GLib (not built with TSan)
    # make, e.g. memcpy in their own threads, are not checked; every access of our code still is.
    tsan_options="suppressions=$root/cmake/tsan.supp second_deadlock_stack=1"
    tsan_options+=" ignore_noninstrumented_modules=1"
    export TSAN_OPTIONS="$tsan_options ${TSAN_OPTIONS:-}"
fi
ctest --output-on-failure --timeout 600 "${ctest_arguments[@]}"
