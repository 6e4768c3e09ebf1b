#!/usr/bin/env bash
# vxupload_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR: vxupload against the running stack, as a
# user runs it (a copy in WORK_DIR with its fileUpload.ini, the shipped plugin named by --plugin
# relative to the working directory, which is not the tool's folder).
# A small file and a multipart one (--bcode, 3.5 slices of at least the storage's minimum part)
# in one run: exit 0, one JSON report per job, result 0, a "downloadUrl" serving the file's
# bytes; nothing on standard error carries a signature or the token. (A failing job's exit status: tests/unit/vxupload, vxupload_json_missing_files.)
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 STACK_ENV VXUPLOAD PLUGIN WORK_DIR" >&2; exit 2; }
plugin=$3 work=$4 data=$4/data
# shellcheck disable=SC1090
source "$1"
rm -rf "$work"
mkdir -p "$data"
trap 'rm -rf "$data"' EXIT
cp "$2" "$work/vxupload"
relative_plugin=$(realpath --relative-to="$(dirname "$plugin")/.." "$plugin")
min_part=${VX_E2E_MIN_PART_SIZE:-1}
slice=$((min_part > 1048576 ? min_part : 1048576))
printf '[HostInformation]\ncloudHost=%s\ntoken=%s\n[PackageInformation]\nsliceLen=%s\n' \
    "$VX_E2E_API_URL" "$VX_E2E_TOKEN" "$slice" >"$work/fileUpload.ini"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs vxupload on LOCAL:REMOTE jobs, expecting exit status 0; writes "RESULT REMOTE URL" per
# JSON report to data/reports and fails unless there is exactly one report per job.
run() {
    (cd "$(dirname "$plugin")/.." && env -u VXUPLOAD_API_HOST -u VXUPLOAD_TOKEN \
        -u VXUPLOAD_PLUGIN -u http_proxy "$work/vxupload" --plugin "$relative_plugin" --json \
        --timeout 60 --bucket "$VX_E2E_BUCKET" --bcode E2E-CLI "$@") \
        >"$data/out.json" 2>"$data/err" || fail "exit status $?: $(cat "$data/out.json" "$data/err")"
    ! grep -q -i -e X-Amz-Signature -e "$VX_E2E_TOKEN" "$data/err" \
        || fail "credentials on standard error: $(cat "$data/err")"
    "${VX_E2E_NODE:-node}" -e '
        const lines = require("fs").readFileSync(0, "utf8").split("\n").filter(Boolean);
        for (const { result, job } of lines.map((line) => JSON.parse(line)))
            console.log(result, job.remotePath, job.downloadUrl);' \
        <"$data/out.json" >"$data/reports" || fail "not JSON reports: $(cat "$data/out.json")"
    [ "$(wc -l <"$data/reports")" -eq $# ] || fail "$# jobs, reports: $(cat "$data/out.json")"
}

head -c 100000 /dev/urandom >"$data/small.bin"
head -c $((3 * slice + slice / 2)) /dev/urandom >"$data/large.bin"
run "$data/small.bin:e2e-cli/small.bin" "$data/large.bin:e2e-cli/large.bin"
for name in small large; do
    read -r result _ url < <(grep " e2e-cli/$name.bin " "$data/reports") || true
    [ "${result:-}" = 0 ] || fail "$name.bin: result ${result:-none}"
    curl -sf --max-time 20 -o "$data/copy" "$url" && cmp -s "$data/copy" "$data/$name.bin" \
        || fail "$name.bin: not stored unchanged at $url"
done
echo "ok: both files stored and downloaded again unchanged"
