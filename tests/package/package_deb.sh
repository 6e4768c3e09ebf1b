#!/usr/bin/env bash
# package_deb.sh CPACK WORK BUILD [OTHER_BUILD]
# Makes BUILD's Debian package with cpack, checks its name, Depends and file list, unpacks it
# into WORK/root and runs the unpacked vxupload there: --help, then a job for a missing file,
# which only a plugin that loaded (with its two libraries) reports as failed (exit 1); a plugin
# that cannot be loaded ends in exit 2 with the loader's message. With OTHER_BUILD (a build of
# the other Qt major) its package too: no file in common, both unpacked into one root, both work.
set -euo pipefail
cpack=$1 work=$2 build=$3 other=${4:-}
rm -rf "$work"
mkdir -p "$work/root"

fail() {
    echo "package_deb: $*" >&2
    exit 1
}
cached() { sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt"; }

# make_package BUILD: the .deb's path on stdout, after checking its name, Depends and files.
make_package() {
    local build=$1 major libdir suffix plugindir out deb files depends
    major=$(cached VXUPLOAD_QT_MAJOR "$build")
    libdir=usr/$(cached CMAKE_INSTALL_LIBDIR "$build")
    suffix=$([ "$major" = 6 ] && echo -qt6 || true)
    plugindir=$libdir$([ "$major" = 6 ] && echo /vxfileupload-qt6 || true)
    out=$work/qt$major
    "$cpack" -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out.log" 2>&1 ||
        fail "cpack failed for $build: $(cat "$out.log")"
    deb=$(ls "$out"/vxfileupload-qt"$major"_*.deb 2>/dev/null) ||
        fail "no vxfileupload-qt$major_*.deb in $out: $(ls "$out")"
    [ "$(dpkg-deb -f "$deb" Package)" = "vxfileupload-qt$major" ] || fail "$deb: wrong Package"

    # Debian's Qt of this major (never the other's), libcurl's OpenSSL flavour, the C++ runtime.
    depends=$(dpkg-deb -f "$deb" Depends)
    local lib qtcore
    qtcore=$([ "$major" = 6 ] && echo libqt6core6 || echo libqt5core5a)
    for lib in "$qtcore" "libqt${major}network${major}" "libqt${major}widgets${major}" \
        libcurl4 libstdc++6 libc6; do
        [[ ", $depends," == *", $lib "[\(,]* || ", $depends," == *", $lib,"* ]] ||
            fail "$deb: Depends lacks $lib: $depends"
    done
    [[ $depends != *libqt$((11 - major))* ]] || fail "$deb: Depends names the other Qt: $depends"

    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||')
    for file in usr/bin/vxupload$suffix usr/bin/vxupload-gui$suffix \
        "$plugindir/libVXFileUpload.so" \
        "$plugindir/libVXCloudCommon$([ "$major" = 6 ] && echo Qt6).so.1" \
        "$plugindir/libVXCloudUtils$([ "$major" = 6 ] && echo Qt6).so.1" \
        "usr/include/VXFileUpload$([ "$major" = 6 ] && echo Qt6)/IVXFileUpload.h" \
        "$libdir/cmake/VXFileUpload$([ "$major" = 6 ] && echo Qt6)/VXFileUploadTargets.cmake"; do
        grep -qxF "$file" <<<"$files" || fail "$deb lacks $file; it holds:"$'\n'"$files"
    done
    echo "$deb"
}

# run_hosts ROOT MAJOR: the unpacked vxupload of that major, as a user would run it.
run_hosts() {
    local root=$1 major=$2 tool out rc
    tool=$root/usr/bin/vxupload$([ "$major" = 6 ] && echo -qt6 || true)
    out=$("$tool" --help) || fail "$tool --help: exit $?"
    [[ $out == "Usage: vxupload "* ]] || fail "$tool --help printed: $out"
    rc=0
    out=$("$tool" --plain --bucket b "$work/missing.bin" 2>"$work/stderr") || rc=$?
    [ "$rc" = 1 ] && [[ $out == $'failed\t-1\tmissing.bin\t'* ]] ||
        fail "$tool did not load its plugin: exit $rc, stdout '$out', stderr: $(cat "$work/stderr")"
}

deb=$(make_package "$build")
major=$(cached VXUPLOAD_QT_MAJOR "$build")
dpkg-deb -x "$deb" "$work/root"
run_hosts "$work/root" "$major"
echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"

if [ -n "$other" ]; then
    other_deb=$(make_package "$other")
    other_major=$(cached VXUPLOAD_QT_MAJOR "$other")
    [ "$other_major" != "$major" ] || fail "$other is a Qt $major build too"
    common=$(comm -12 <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort) \
        <(dpkg-deb -c "$other_deb" | awk '$1 !~ /^d/ {print $6}' | sort))
    [ -z "$common" ] || fail "both packages hold: $common"
    dpkg-deb -x "$other_deb" "$work/root"
    run_hosts "$work/root" "$major"
    run_hosts "$work/root" "$other_major"
    echo "$(basename "$other_deb") unpacked beside it; both hosts load their own plugin"
fi
