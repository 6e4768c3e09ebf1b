#!/usr/bin/env bash
# vxupload_concurrent_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR FAULTPROXY_JS: two vxupload
# processes upload the same multipart job (same file, remote path and bucket, same resume
# folder) at once. One holds the job's resume record; the other does not get its lock and
# uploads without resuming (it says so on standard error). Both must exit 0 with one report
# each (result 0), exactly one of them must have uploaded without the record, and the object
# must hold the file's bytes: one of the two complete uploads, never a mix. The fault proxy
# (tests/faults/faultproxy.js, the plugin's http_proxy) pauses every part 150 ms, so that the
# two uploads overlap.
slice=$((5 * 1048576))
source "$(dirname "$0")/vxupload_e2e_lib.sh"
remote="e2e-concurrent/same-$$.bin"
start_proxy "[{\"kind\":\"part\",\"match\":\"$remote\",\"times\":-1,\"action\":\"pause\",
  \"value\":150}]"

head -c $((8 * slice - slice / 3)) /dev/urandom >"$data/same.bin"
for name in a b; do
    start_vxupload "$name" --json --timeout 60 --bcode E2E-CONCURRENT "$data/same.bin:$remote"
done
statuses=()
for pid in "${pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    statuses+=("$status")
done
pids=()

urls=()
for name in a b; do urls+=("$(download_url "$name")"); done
[ "${statuses[*]}" = "0 0" ] || fail "exit statuses ${statuses[*]}: $(cat "$data"/[ab].err)"
without=$(cat "$data/a.err" "$data/b.err" \
    | grep -c "uploaded without resuming: another upload of the same job holds its resume" || true)
[ "$without" = 1 ] || fail "$without of the two runs uploaded without the resume record, not 1: " \
    "$(cat "$data/a.err" "$data/b.err")"
uploads=$(grep -c '"event":"request","kind":"initmultipart"' "$data/proxy.out" || true)
[ "$uploads" = 2 ] || fail "$uploads multipart starts, not 2"
# One object: the addresses differ at most in their signature's query (signed in another second).
[ "${urls[0]%%\?*}" = "${urls[1]%%\?*}" ] || fail "two objects: ${urls[*]}"
expected=$(sha256sum <"$data/same.bin" | cut -d' ' -f1)
stored=$(curl -sf --max-time 30 "${urls[0]}" | sha256sum | cut -d' ' -f1)
[ "$stored" = "$expected" ] || fail "the object at ${urls[0]} is not the file"
echo "ok: both runs succeeded, one without the resume record; the object is the file"
