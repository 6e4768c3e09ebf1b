#!/usr/bin/env bash
# vxupload_credentials_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR FAULTPROXY_JS: what vxupload
# prints and stores when jobs fail after the server handed out credentials. The fault proxy
# (tests/faults/faultproxy.js, the plugin's http_proxy) refuses with 403 the second part of a
# multipart job (its report is the slice job, with the pre-signed part URLs and the completion
# "authorization"), the completion request of another (a -1 report made from the request's
# parameters, "authorization" among them) and the PUT of a small file (its report holds the
# signed address of an object that was never stored). Run with --json and with --plain, each
# with --report FILE: exit 1; standard output, standard error and the report file name each job
# with its code, and none of them holds "partUrl", "authorization" or its value, X-Amz-Signature,
# X-Amz-Credential or the token. A successful job's plain line still gives its download address.
source "$(dirname "$0")/vxupload_e2e_lib.sh"

start_proxy '[{"kind":"part","part":2,"match":"e2e-credentials/part.bin","times":-1,
  "action":"status","value":403},
 {"kind":"completemultipart","match":"e2e-credentials/complete.bin","times":-1,"action":"status",
  "value":403},
 {"kind":"put","match":"e2e-credentials/put.bin","times":-1,"action":"status","value":403}]'

# vxupload OUTPUT_MODE NAME JOBS...: a run with --report data/NAME.report.
vxupload() {
    local mode=$1 name=$2
    shift 2
    run_vxupload "$name" "$mode" --report "$data/$name.report" --timeout 60 \
        --bcode E2E-CREDENTIALS "$@"
}

# No credential in any of the run's three outputs.
check_clean() {
    local file
    for file in "$data/$1".{out,err,report}; do
        if grep -n -i -E -e 'X-Amz-Signature|X-Amz-Credential|"?authorization"?|partUrl' \
            -e 'v1\.[0-9]+\.[0-9]+\.[A-Za-z0-9_-]{43}' -e "$VX_E2E_TOKEN" "$file" >&2; then
            fail "$(basename "$file") holds a credential (the lines above)"
        fi
    done
}

head -c $((2 * slice + slice / 2)) /dev/urandom >"$data/part.bin"
head -c $((slice + slice / 2)) /dev/urandom >"$data/complete.bin"
head -c 1000 /dev/urandom >"$data/put.bin"
jobs=("$data/part.bin:e2e-credentials/part.bin" "$data/complete.bin:e2e-credentials/complete.bin"
    "$data/put.bin:e2e-credentials/put.bin")
expected=$(printf '%s\n' "-1 e2e-credentials/complete.bin" "403 e2e-credentials/part.bin" \
    "403 e2e-credentials/put.bin")

for mode in json plain; do
    status=0
    vxupload "--$mode" "$mode" "${jobs[@]}" || status=$?
    [ "$status" = 1 ] || fail "--$mode: exit status $status: $(cat "$data/$mode".{out,err})"
    check_clean "$mode"
    files=("$data/$mode.report")
    if [ "$mode" = json ]; then files+=("$data/json.out"); fi
    for file in "${files[@]}"; do
        json_reports "$file" >"$data/reports"
        [ "$(cut -d' ' -f1,2 "$data/reports" | sort -k2)" = "$expected" ] \
            || fail "--$mode: $(basename "$file") does not report each job with its code: " \
                "$(cat "$file")"
        # The part job failed in the slice uploader, inside its multipart upload.
        grep -q -E '^403 e2e-credentials/part.bin [^-]' "$data/reports" \
            || fail "--$mode: the part job was not reported as a multipart job: $(cat "$file")"
    done
    if [ "$mode" = plain ]; then
        for line in "failed	403	e2e-credentials/part.bin	$data/part.bin	HTTP status 403" \
            "failed	-1	e2e-credentials/complete.bin	$data/complete.bin	" \
            "failed	403	e2e-credentials/put.bin	$data/put.bin	HTTP status 403"; do
            grep -q -F "$line" "$data/plain.out" || fail "--plain: no line '$line': " \
                "$(cat "$data/plain.out")"
        done
    fi
done
# The refusals reached the requests they were meant for: the part job's second part (so its
# part URLs had been handed out), the other job's completion.
grep -q '"event":"request","kind":"part","part":2,"remote":"e2e-credentials/part.bin"' \
    "$data/proxy.out" || fail "the part job sent no second part: $(cat "$data/proxy.out")"
completion='"event":"request","kind":"completemultipart","part":0'
grep -q "$completion,\"remote\":\"e2e-credentials/complete.bin\"" \
    "$data/proxy.out" || fail "the completion was never requested: $(cat "$data/proxy.out")"

# A success without the proxy: its plain line ends with the download address, which serves the
# file's bytes, and the report holds the same address.
status=0
proxy='' vxupload --plain ok "$data/put.bin:e2e-credentials/ok.bin" || status=$?
[ "$status" = 0 ] || fail "success run: exit status $status: $(cat "$data"/ok.{out,err})"
url=$(sed -n "s|^ok	0	e2e-credentials/ok.bin	$data/put.bin	||p" "$data/ok.out")
[ -n "$url" ] || fail "success run: no download address: $(cat "$data/ok.out")"
curl -sf --max-time 20 -o "$data/copy" "$url" && cmp -s "$data/copy" "$data/put.bin" \
    || fail "success run: not stored unchanged at $url"
"$node" -e '
    const { result, job } = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    process.exit(result === 0 && job.downloadUrl === process.argv[2] ? 0 : 1);' \
    "$data/ok.report" "$url" || fail "success run: the report lacks $url: $(cat "$data/ok.report")"
echo "ok: no credential in vxupload's output of three failed jobs; a success's address printed"
