#!/usr/bin/env bash
# The demo: uploads two files through the plugin with vxupload to the reference server and its
# local storage, then downloads them again and checks them.
#
#  1. installs what is missing (scripts/install-deps.sh), builds vxupload and the plugin in release
#     mode in build/ (VXUPLOAD_BUILD_DIR picks another folder) with -j2;
#  2. starts the reference server and its local storage on free 127.0.0.1 ports with
#     scripts/stack.sh (a fresh bearer token, storage data in a temporary folder);
#  3. makes a demo folder holding vxupload, the plugin, its two libraries and a fileUpload.ini
#     (server, token, 8 MiB slices), and two sample files: a small one, which goes up by a single
#     PUT, and one of 50 MiB of random data, which goes up in 7 parts, the last one shorter;
#  4. uploads both with vxupload, showing its progress view, with --report writing one JSON
#     report per file (its "downloadUrl" among them) to a file;
#  5. downloads every object through its "downloadUrl" with curl, compares SHA-256 sums and prints
#     a summary. Everything it started is stopped and its temporary files removed on exit.
# Exit status 0 when every upload succeeded and every download matched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VXUPLOAD_BUILD_DIR:-$root/build}
slice=8388608

say() { printf '\n== %s\n' "$*"; }

say "Installing what is missing"
"$root/scripts/install-deps.sh"

say "Building vxupload and the plugin (release, $build)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target vxupload VXFileUpload

work=$(mktemp -d "${TMPDIR:-/tmp}/vxupload-demo.XXXXXX")
cleanup() {
    "$root/scripts/stack.sh" stop "$work/stack" || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Starting the reference server and its storage on 127.0.0.1"
"$root/scripts/stack.sh" start "$root/server" "$work/stack"
# shellcheck disable=SC1091
source "$work/stack/stack.env"
server=$VX_E2E_API_URL storage=$VX_E2E_STORAGE_URL token=$VX_E2E_TOKEN bucket=$VX_E2E_BUCKET
echo "server  $server"
echo "storage $storage (bucket \"$bucket\")"

say "Demo folder: vxupload, the plugin, its libraries, fileUpload.ini"
demo=$work/demo
mkdir -p "$demo"
# -P: the two libraries come as a versioned file and its links.
cp -P "$build/bin/vxupload" "$build/bin/libVXFileUpload.so" "$build"/bin/libVXCloud*.so* "$demo/"
cat >"$demo/fileUpload.ini" <<EOF
[HostInformation]
cloudHost=$server
token=$token
[PackageInformation]
sliceLen=$slice
EOF
sed "s/^token=.*/token=<generated>/" "$demo/fileUpload.ini"

files=$work/files
mkdir -p "$files"
head -c 300000 /dev/urandom >"$files/notes.bin"
head -c $((50 * 1024 * 1024)) /dev/urandom >"$files/video.bin"
names=(notes.bin video.bin)

# Only the INI configures this run; variables from the caller's shell would override it.
vxupload() {
    env -u VXUPLOAD_API_HOST -u VXUPLOAD_TOKEN -u VXUPLOAD_PLUGIN \
        "$demo/vxupload" --bucket "$bucket" --bcode DEMO --timeout 300 "$@"
}
jobs=()
for name in "${names[@]}"; do jobs+=("$files/$name:demo/$name"); done

say "Uploading with vxupload (progress view; one JSON report per file in reports.json)"
log_start=$(($(stat -c %s "$VX_E2E_LOG") + 1))
: >"$work/reports.json"
vxupload --report "$work/reports.json" "${jobs[@]}" || echo "(vxupload exited with status $?)"

# "RESULT REMOTE DOWNLOADURL" per report line.
"$("$root/scripts/node.sh")" -e '
    for (const line of require("fs").readFileSync(process.argv[1], "utf8").split("\n")) {
        if (!line) continue;
        const r = JSON.parse(line);
        console.log(r.result, r.job.remotePath, r.job.downloadUrl || "-");
    }' "$work/reports.json" >"$work/reports.txt"
echo "$(wc -l <"$work/reports.json") JSON report(s):"
awk '{ url = $3; sub(/\?.*/, "?...", url); print "  result " $1 "  " $2 "  " url }' \
    "$work/reports.txt"
requests() { tail -c +"$log_start" "$VX_E2E_LOG" | grep -c " POST /$1 200 " || true; }
multipart_done=$(requests coscenter/v1/bucket/completemultipart)
single_done=$(requests api/bucket/fileuploadurl)

say "Downloading every object through its downloadUrl and comparing SHA-256"
failures=0
summary=$(printf '%-10s %10s  %-18s %6s  %s' FILE BYTES ROAD RESULT DOWNLOAD)
for name in "${names[@]}"; do
    size=$(stat -c %s "$files/$name")
    if ((size > slice)); then
        parts=$(((size + slice - 1) / slice))
        road="multipart, $parts parts"
    else
        road="single PUT"
    fi
    result=none check="no report"
    if read -r result url < <(awk -v r="demo/$name" '$2 == r { print $1, $3 }' \
        "$work/reports.txt") && [ "$result" = 0 ]; then
        if curl -sf --max-time 120 -o "$work/$name.copy" "$url"; then
            want=$(sha256sum <"$files/$name" | cut -d' ' -f1)
            got=$(sha256sum <"$work/$name.copy" | cut -d' ' -f1)
            check="DIFFERS"
            [ "$want" != "$got" ] || check="sha256 ok ${got:0:16}..."
        else
            check="download failed"
        fi
    fi
    [[ $check == "sha256 ok"* ]] || failures=$((failures + 1))
    summary+=$(printf '\n%-10s %10s  %-18s %6s  %s' "$name" "$size" "$road" "$result" "$check")
done

say "Summary"
echo "$summary"
echo "server: $single_done upload-URL request(s) and $multipart_done completed multipart upload(s)"
if ((failures)); then
    echo "demo FAILED: $failures file(s) not stored correctly"
    exit 1
fi
echo "demo OK: every file was stored and downloaded again unchanged"
