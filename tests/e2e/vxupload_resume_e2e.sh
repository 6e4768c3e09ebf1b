#!/usr/bin/env bash
# vxupload_resume_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR FAULTPROXY_JS: a 512 MiB multipart
# upload by vxupload, killed with SIGKILL five times mid-upload (after a random number of its
# own part PUTs, more than twice the parts in flight, then up to 0.3 s) and run again after each
# kill. The last run must store the file's bytes, and all runs together may send at most
# n + 5 x partsInFlight part PUTs (as the fault proxy, the plugin's http_proxy, counts them).
# VXUPLOAD_RESUME (default true) goes through to the plugin: with false the bound must fail.
# Then --resubmit: the proxy answers the 4th part of a 40 MiB job with 503 three times, one more
# than the request component's attempts ([Network] retries 2); vxupload announces one retry,
# submits the job again after 2 s, the plugin resumes, and the run ends with one successful
# report, the object the file, and no part but the refused one sent twice.
slice=$((5 * 1048576)) in_flight=2 size=$((512 * 1048576)) kills=5
source "$(dirname "$0")/vxupload_e2e_lib.sh"
printf 'partsInFlight=%s\n' "$in_flight" >>"$work/fileUpload.ini"
parts=$(((size + slice - 1) / slice))
remote="e2e-resume/big-$$.bin"
outage_remote="e2e-resume/outage-$$.bin"
outage_parts=8
# upload NAME ARGUMENTS...: vxupload --json through the proxy in the background ($upload_pid).
upload() { start_vxupload "$1" --json --timeout 120 --bcode E2E-RESUME "${@:2}"; }
start_proxy "[{\"kind\":\"part\",\"part\":4,\"match\":\"$outage_remote\",\"times\":3,
  \"action\":\"status\",\"value\":503}]"

head -c "$size" /dev/urandom >"$data/big.bin"
sha256sum <"$data/big.bin" | cut -d' ' -f1 >"$data/big.sha256" &
hash_pid=$!

# Part PUTs of the remote path $1 (the big file's by default) that reached the proxy so far.
parts_sent() {
    grep -c "\"event\":\"request\",\"kind\":\"part\",.*\"remote\":\"${1:-$remote}\"" \
        "$data/proxy.out" || true
}

per_run=()
for run in $(seq "$kills"); do
    before=$(parts_sent)
    upload "run-$run" "$data/big.bin:$remote"
    target=$((before + 2 * in_flight + 2 + RANDOM % 10))
    for _ in $(seq 1200); do
        [ "$(parts_sent)" -ge "$target" ] && break
        kill -0 "$upload_pid" 2>/dev/null || fail "run $run ended before its kill: " \
            "$(cat "$data/run-$run.out" "$data/run-$run.err")"
        sleep 0.05
    done
    [ "$(parts_sent)" -ge "$target" ] || fail "run $run: no progress in 60 s"
    sleep "0.$((RANDOM % 4))"
    kill -0 "$upload_pid" 2>/dev/null || fail "run $run ended before its kill: " \
        "$(cat "$data/run-$run.out" "$data/run-$run.err")"
    kill -KILL "$upload_pid"
    wait "$upload_pid" 2>/dev/null || true
    pids=()
    per_run+=($(($(parts_sent) - before)))
done

run=$((kills + 1))
before=$(parts_sent)
upload "run-$run" "$data/big.bin:$remote"
status=0
wait "$upload_pid" || status=$?
pids=()
per_run+=($(($(parts_sent) - before)))
[ "$status" = 0 ] || fail "the last run: exit status $status: " \
    "$(cat "$data/run-$run.out" "$data/run-$run.err")"
url=$(download_url "run-$run")
wait "$hash_pid"
stored=$(curl -sf --max-time 60 "$url" | sha256sum | cut -d' ' -f1)
[ "$stored" = "$(cat "$data/big.sha256")" ] \
    || fail "the object at $url is not the file: SHA-256 $stored, file $(cat "$data/big.sha256")"

total=$(parts_sent)
bound=$((parts + kills * in_flight))
echo "part PUTs sent: $total over $run runs (per run: ${per_run[*]}); minimum $parts," \
    "bound $bound (+$kills x $in_flight in flight)"
[ "$total" -le "$bound" ] || fail "$total part PUTs for $parts parts: more than $bound"
echo "ok: killed $kills times, the last run stored the file unchanged"

head -c $((outage_parts * slice - slice / 2)) /dev/urandom >"$data/outage.bin"
upload outage --resubmit 3 "$data/outage.bin:$outage_remote"
status=0
wait "$upload_pid" || status=$?
pids=()
[ "$status" = 0 ] || fail "--resubmit: exit status $status: $(cat "$data"/outage.{out,err})"
url=$(download_url outage)
retries=$(grep -c "^vxupload: retrying '$outage_remote' in 2 s after: HTTP status 503 (1 of 3)$" \
    "$data/outage.err" || true)
[ "$retries" = 1 ] && [ "$(grep -c retrying "$data/outage.err")" = 1 ] \
    || fail "--resubmit: not one retry announced: $(cat "$data/outage.err")"
[ "$(curl -sf --max-time 30 "$url" | sha256sum)" = "$(sha256sum <"$data/outage.bin")" ] \
    || fail "--resubmit: the object at $url is not the file"
# The 4th part four times (three refused); at most the parts in flight beside it sent again.
sent=$(parts_sent "$outage_remote")
echo "--resubmit: $sent part PUTs for $outage_parts parts, the 4th refused three times"
[ "$sent" -le $((outage_parts + 3 + in_flight - 1)) ] \
    || fail "--resubmit: $sent part PUTs: the job did not resume"
echo "ok: the job failed on a storage outage, was submitted again and resumed"
