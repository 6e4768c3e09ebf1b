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
# Then the same tree built against Qt 6 in <build folder>-qt6 (-DVXUPLOAD_QT_MAJOR=6, no
# benchmarks) runs the unit, end-to-end (local storage), window, install and package tests, and
# the hosts of each build handed the other's plugin; the CTest arguments, when given, pick its
# tests instead. VXUPLOAD_QT6=off leaves it out (and Qt 6 uninstalled); without Qt 6 it is
# skipped with one line.
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
VXUPLOAD_TEST_RGW=${rgw:-ON} VXUPLOAD_QT6=${VXUPLOAD_QT6:-on} "$root/scripts/install-deps.sh"
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
# A failure here still lets the Qt 6 build run; the exit status is the worse of the two.
status=0
ctest --output-on-failure --timeout 600 "${ctest_arguments[@]}" || status=$?

[ "${VXUPLOAD_QT6:-on}" != off ] || exit $status
# Still in the Qt 5 build's folder: its absolute path names both.
build_qt5=$PWD
build_qt6=$PWD-qt6
log=$build_qt6/configure.log
mkdir -p "$build_qt6"
qt6_tests='^(tst_vx.*|vxupload_.*|tst_e2eupload|e2e_vxupload.*|window_.*|install_package|package_deb)$'
((${#ctest_arguments[@]})) || ctest_arguments=(-R "$qt6_tests")
# The configure's own message says when Qt 6 is missing; that alone skips this build.
if ! cmake -S "$root" -B "$build_qt6" -DCMAKE_BUILD_TYPE=Release \
    -DVXUPLOAD_SANITIZERS="${VXUPLOAD_SANITIZERS:-OFF}" "${cmake_arguments[@]}" \
    -DVXUPLOAD_QT_MAJOR=6 -DVXUPLOAD_BUILD_BENCH=OFF -DVXUPLOAD_TEST_RGW=OFF \
    -DVXUPLOAD_OTHER_QT_BUILD="$build_qt5" >"$log" 2>&1; then
    if grep -q "not found for VXUPLOAD_QT_MAJOR=6;" "$log"; then
        echo "Qt 6 build skipped: no Qt 6 on this machine (Debian 12: apt-get install qt6-base-dev)"
        exit $status
    fi
    cat "$log" >&2
    exit 1
fi
echo "== the Qt 6 build: $build_qt6"
cat "$log"
cmake --build "$build_qt6" -j2
cd "$build_qt6"
ctest --output-on-failure --timeout 600 "${ctest_arguments[@]}" || status=$?
exit $status
