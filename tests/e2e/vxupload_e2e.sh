#!/usr/bin/env bash
# vxupload_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR: vxupload against the running stack, as a
# user runs it (a copy in WORK_DIR with its fileUpload.ini, the shipped plugin named by --plugin
# relative to the working directory, which is not the tool's folder).
# A small file and a multipart one (--bcode, 3.5 slices of at least the storage's minimum part)
# in one run: exit 0, one JSON report per job, result 0, a "downloadUrl" serving the file's
# bytes; nothing on standard error carries a signature or the token. (A failing job's exit status: tests/unit/vxupload, vxupload_json_missing_files.)
source "$(dirname "$0")/vxupload_e2e_lib.sh"

head -c 100000 /dev/urandom >"$data/small.bin"
head -c $((3 * slice + slice / 2)) /dev/urandom >"$data/large.bin"
run_vxupload cli --json --timeout 60 --bcode E2E-CLI "$data/small.bin:e2e-cli/small.bin" \
    "$data/large.bin:e2e-cli/large.bin" || fail "exit status $?: $(cat "$data"/cli.{out,err})"
! grep -q -i -e X-Amz-Signature -e "$VX_E2E_TOKEN" "$data/cli.err" \
    || fail "credentials on standard error: $(cat "$data/cli.err")"
json_reports "$data/cli.out" >"$data/reports"
[ "$(wc -l <"$data/reports")" -eq 2 ] || fail "2 jobs, reports: $(cat "$data/cli.out")"
for name in small large; do
    read -r result _ _ url < <(grep " e2e-cli/$name.bin " "$data/reports") || true
    [ "${result:-}" = 0 ] || fail "$name.bin: result ${result:-none}"
    curl -sf --max-time 20 -o "$data/copy" "$url" && cmp -s "$data/copy" "$data/$name.bin" \
        || fail "$name.bin: not stored unchanged at $url"
done
echo "ok: both files stored and downloaded again unchanged"
