#!/usr/bin/env bash
# vxupload_resume_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR FAULTPROXY_JS: a 512 MiB multipart
# upload by vxupload, killed with SIGKILL at random moments five times and run again after each
# kill, as a user would after a crash. The last run must succeed, the object must hold the
# file's bytes (SHA-256 of what the storage serves at the "downloadUrl"), and all runs together
# may send at most n + 5 x partsInFlight part PUTs (n: the part count): a kill costs at most the
# parts in flight. The part PUTs are counted as the fault proxy (tests/faults/faultproxy.js, the
# plugin's http_proxy, without rules) sees them. Each kill waits for a random number of parts
# of its own run (more than twice the parts in flight), then up to 0.3 s more, so that it lands
# mid-upload and a run that started over would be noticed. VXUPLOAD_RESUME (default true) goes
# through to the plugin: with false the bound must fail.
# Then --resubmit against a storage that fails: the proxy answers the 4th part of a 40 MiB job
# with 503 three times, one more than the request component's own attempts ([Network] retries
# 2), so the job fails; vxupload says it retries, submits it again after 2 s, the plugin
# resumes, and the run ends with one successful report, the object the file, and no part but
# the refused one sent twice.
set -euo pipefail
[ $# -eq 5 ] || {
    echo "usage: $0 STACK_ENV VXUPLOAD PLUGIN WORK_DIR FAULTPROXY_JS" >&2
    exit 2
}
plugin=$3 work=$4 data=$4/data proxy_script=$5 node=${VX_E2E_NODE:-node}
# shellcheck disable=SC1090
source "$1"
rm -rf "$work"
mkdir -p "$data"
cp "$2" "$work/vxupload"
relative_plugin=$(realpath --relative-to="$(dirname "$plugin")/.." "$plugin")
slice=$((5 * 1048576)) in_flight=2 size=$((512 * 1048576)) kills=5
min_part=${VX_E2E_MIN_PART_SIZE:-1}
[ "$slice" -ge "$min_part" ] || slice=$min_part
printf '[HostInformation]\ncloudHost=%s\ntoken=%s\n[PackageInformation]\nsliceLen=%s\n' \
    "$VX_E2E_API_URL" "$VX_E2E_TOKEN" "$slice" >"$work/fileUpload.ini"
printf 'partsInFlight=%s\n' "$in_flight" >>"$work/fileUpload.ini"
parts=$(((size + slice - 1) / slice))
remote="e2e-resume/big-$$.bin"
outage_remote="e2e-resume/outage-$$.bin"
outage_parts=8

fail() { echo "FAIL: $*" >&2; exit 1; }

mkfifo "$data/proxy.in"
rules="[{\"kind\":\"part\",\"part\":4,\"match\":\"$outage_remote\",\"times\":3,
  \"action\":\"status\",\"value\":503}]"
"$node" "$proxy_script" "$rules" <"$data/proxy.in" >"$data/proxy.out" &
proxy_pid=$!
exec 3>"$data/proxy.in"
upload_pid=
cleanup() {
    if [ -n "$upload_pid" ]; then kill -KILL "$upload_pid" 2>/dev/null || true; fi
    exec 3>&-
    wait "$proxy_pid" 2>/dev/null || true
    rm -rf "$data"
}
trap cleanup EXIT
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^{"event":"listening","port":\([0-9]*\)}$/\1/p' "$data/proxy.out")
    [ -n "$port" ] && break
    kill -0 "$proxy_pid" 2>/dev/null || fail "the fault proxy did not start"
    sleep 0.1
done
[ -n "$port" ] || fail "the fault proxy did not listen within 10 s"

head -c "$size" /dev/urandom >"$data/big.bin"
sha256sum <"$data/big.bin" | cut -d' ' -f1 >"$data/big.sha256" &
hash_pid=$!

# vxupload NAME ARGUMENTS...: starts vxupload in the background through the proxy (its output
# in data/NAME.out and data/NAME.err).
start_upload() {
    local name=$1
    shift
    (cd "$(dirname "$plugin")/.." && exec env -u VXUPLOAD_API_HOST -u VXUPLOAD_TOKEN \
        -u VXUPLOAD_PLUGIN -u no_proxy -u NO_PROXY -u all_proxy -u ALL_PROXY \
        http_proxy="http://127.0.0.1:$port" VXUPLOAD_RESUME_FOLDER="$data/resume" \
        "$work/vxupload" --plugin "$relative_plugin" --json --timeout 120 \
        --bucket "$VX_E2E_BUCKET" --bcode E2E-RESUME "$@") \
        >"$data/$name.out" 2>"$data/$name.err" &
    upload_pid=$!
}

# Part PUTs of the remote path $1 (the big file's by default) that reached the proxy so far.
parts_sent() {
    grep -c "\"event\":\"request\",\"kind\":\"part\",.*\"remote\":\"${1:-$remote}\"" \
        "$data/proxy.out" || true
}

# Prints the download address of the one successful JSON report in data/$1.out.
download_url() {
    local result url
    read -r result url < <("$node" -e '
        const lines = require("fs").readFileSync(0, "utf8").split("\n").filter(Boolean);
        for (const { result, job } of lines.map((line) => JSON.parse(line)))
            console.log(result, job.downloadUrl);' <"$data/$1.out") \
        || fail "$1: not a JSON report: $(cat "$data/$1.out" "$data/$1.err")"
    [ "$result" = 0 ] && [ "$(wc -l <"$data/$1.out")" = 1 ] \
        || fail "$1: not one successful report: $(cat "$data/$1.out" "$data/$1.err")"
    echo "$url"
}

per_run=()
for run in $(seq "$kills"); do
    before=$(parts_sent)
    start_upload "run-$run" "$data/big.bin:$remote"
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
    upload_pid=
    per_run+=($(($(parts_sent) - before)))
done

run=$((kills + 1))
before=$(parts_sent)
start_upload "run-$run" "$data/big.bin:$remote"
status=0
wait "$upload_pid" || status=$?
upload_pid=
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
start_upload outage --resubmit 3 "$data/outage.bin:$outage_remote"
status=0
wait "$upload_pid" || status=$?
upload_pid=
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
