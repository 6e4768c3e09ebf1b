#!/usr/bin/env bash
# vxupload against the running stack, as a user runs it:
#  - a small file (single PUT) and one of 3.5 slices with --bcode (multipart) in one run: exit 0,
#    exactly one JSON line per job with result 0, each object downloaded again through its
#    "downloadUrl" and compared by SHA-256, and the server saw one upload-URL request and one
#    multipart start and completion;
#  - a missing file: exit 1 and one JSON line with result -1.
#
#   vxupload_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR
#
# vxupload reads fileUpload.ini next to itself, so it runs as a copy in WORK_DIR with the INI
# beside it, and loads the shipped plugin by --plugin.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 STACK_ENV VXUPLOAD PLUGIN WORK_DIR" >&2; exit 2; }
stack_env=$1 vxupload=$2 plugin=$3 work=$4
node=${VX_E2E_NODE:-node}
slice=1048576

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# shellcheck disable=SC1090
source "$stack_env"
rm -rf "$work"
mkdir -p "$work"
cp "$vxupload" "$work/vxupload"
cat >"$work/fileUpload.ini" <<EOF
[HostInformation]
cloudHost=$VX_E2E_API_URL
token=$VX_E2E_TOKEN
[PackageInformation]
sliceLen=$slice
EOF
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

head -c 100000 /dev/urandom >"$data/small.bin"
head -c $((3 * slice + slice / 2)) /dev/urandom >"$data/large.bin"

run_vxupload() {
    env -u VXUPLOAD_API_HOST -u VXUPLOAD_TOKEN -u VXUPLOAD_PLUGIN \
        "$work/vxupload" --plugin "$plugin" --json --timeout 60 \
        --bucket "$VX_E2E_BUCKET" --bcode E2E-CLI "$@"
}

# Prints "RESULT REMOTE DOWNLOADURL" per JSON line of $1; fails unless there are exactly $2
# lines, each a {"result": number, "job": object} object.
json_reports() {
    "$node" -e '
        const lines = require("fs").readFileSync(process.argv[1], "utf8").split("\n")
            .filter((l) => l !== "");
        if (lines.length !== Number(process.argv[2]))
            throw new Error(`${lines.length} lines, expected ${process.argv[2]}`);
        for (const line of lines) {
            const r = JSON.parse(line);
            if (typeof r.result !== "number" || typeof r.job !== "object")
                throw new Error(`not a report: ${line}`);
            console.log(r.result, r.job.remotePath, r.job.downloadUrl || "-");
        }' "$1" "$2"
}

log_start=$(($(stat -c %s "$VX_E2E_LOG") + 1))
status=0
run_vxupload "$data/small.bin:e2e-cli/small.bin" "$data/large.bin:e2e-cli/large.bin" \
    >"$data/out.json" || status=$?
[ "$status" -eq 0 ] || fail "two good files: exit status $status, output: $(cat "$data/out.json")"
json_reports "$data/out.json" 2 >"$data/reports" || fail "two good files: $(cat "$data/out.json")"
for name in small large; do
    read -r result url < <(awk -v r="e2e-cli/$name.bin" '$2 == r { print $1, $3 }' \
        "$data/reports")
    [ "${result:-}" = 0 ] || fail "$name.bin: result ${result:-none}"
    curl -sf --max-time 60 -o "$data/$name.copy" "$url" || fail "$name.bin: download failed"
    [ "$(sha256sum <"$data/$name.copy")" = "$(sha256sum <"$data/$name.bin")" ] \
        || fail "$name.bin: downloaded bytes differ"
    echo "ok: $name.bin stored and downloaded again unchanged"
done

server_count() { tail -c +"$log_start" "$VX_E2E_LOG" | grep -c " POST /$1 200 " || true; }
# The server logs a request when its answer is sent, which may be just after vxupload read it.
for request in api/bucket/fileuploadurl coscenter/v1/bucket/initmultipart \
    coscenter/v1/bucket/completemultipart; do
    for _ in $(seq 50); do
        count=$(server_count "$request")
        [ "$count" -eq 0 ] || break
        sleep 0.1
    done
    [ "$count" -eq 1 ] || fail "the server answered $request $count times, expected once"
done
echo "ok: one single upload and one multipart upload reached the server"

status=0
run_vxupload "$data/missing.bin:e2e-cli/missing.bin" >"$data/out.json" || status=$?
[ "$status" -eq 1 ] || fail "missing file: exit status $status, expected 1"
json_reports "$data/out.json" 1 >"$data/reports" || fail "missing file: $(cat "$data/out.json")"
read -r result _ <"$data/reports"
[ "$result" = -1 ] || fail "missing file: result $result, expected -1"
echo "ok: a missing file fails with exit status 1 and result -1"
