#!/usr/bin/env bash
# vxupload_concurrent_e2e.sh STACK_ENV VXUPLOAD PLUGIN WORK_DIR FAULTPROXY_JS: two vxupload
# processes upload the same multipart job (same file, remote path and bucket, same resume
# folder) at once. One holds the job's resume record; the other does not get its lock and
# uploads without resuming (it says so on standard error). Both must exit 0 with one report
# each (result 0), exactly one of them must have uploaded without the record, and the object
# must hold the file's bytes: one of the two complete uploads, never a mix. The fault proxy
# (tests/faults/faultproxy.js, the plugin's http_proxy) pauses every part 150 ms, so that the
# two uploads overlap.
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
slice=$((5 * 1048576))
min_part=${VX_E2E_MIN_PART_SIZE:-1}
[ "$slice" -ge "$min_part" ] || slice=$min_part
printf '[HostInformation]\ncloudHost=%s\ntoken=%s\n[PackageInformation]\nsliceLen=%s\n' \
    "$VX_E2E_API_URL" "$VX_E2E_TOKEN" "$slice" >"$work/fileUpload.ini"
remote="e2e-concurrent/same-$$.bin"

fail() { echo "FAIL: $*" >&2; exit 1; }

rules="[{\"kind\":\"part\",\"match\":\"$remote\",\"times\":-1,\"action\":\"pause\",\"value\":150}]"
mkfifo "$data/proxy.in"
"$node" "$proxy_script" "$rules" <"$data/proxy.in" >"$data/proxy.out" &
proxy_pid=$!
exec 3>"$data/proxy.in"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
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

head -c $((8 * slice - slice / 3)) /dev/urandom >"$data/same.bin"
for name in a b; do
    (cd "$(dirname "$plugin")/.." && exec env -u VXUPLOAD_API_HOST -u VXUPLOAD_TOKEN \
        -u VXUPLOAD_PLUGIN -u no_proxy -u NO_PROXY -u all_proxy -u ALL_PROXY \
        http_proxy="http://127.0.0.1:$port" VXUPLOAD_RESUME_FOLDER="$data/resume" \
        "$work/vxupload" --plugin "$relative_plugin" --json --timeout 60 \
        --bucket "$VX_E2E_BUCKET" --bcode E2E-CONCURRENT "$data/same.bin:$remote") \
        >"$data/$name.out" 2>"$data/$name.err" &
    pids+=($!)
done
statuses=()
for pid in "${pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    statuses+=("$status")
done
pids=()

urls=()
for name in a b; do
    read -r result url < <("$node" -e '
        const lines = require("fs").readFileSync(0, "utf8").split("\n").filter(Boolean);
        for (const { result, job } of lines.map((line) => JSON.parse(line)))
            console.log(result, job.downloadUrl);' <"$data/$name.out") \
        || fail "$name: not a JSON report: $(cat "$data/$name.out" "$data/$name.err")"
    [ "$result" = 0 ] && [ "$(wc -l <"$data/$name.out")" = 1 ] \
        || fail "$name: not one successful report: $(cat "$data/$name.out" "$data/$name.err")"
    urls+=("$url")
done
[ "${statuses[*]}" = "0 0" ] || fail "exit statuses ${statuses[*]}: $(cat "$data"/[ab].err)"
without=$(cat "$data/a.err" "$data/b.err" \
    | grep -c "uploaded without resuming: another upload of the same job holds its resume" || true)
[ "$without" = 1 ] || fail "$without of the two runs uploaded without the resume record, not 1: " \
    "$(cat "$data/a.err" "$data/b.err")"
uploads=$(grep -c '"event":"request","kind":"initmultipart"' "$data/proxy.out" || true)
[ "$uploads" = 2 ] || fail "$uploads multipart starts, not 2"
[ "${urls[0]}" = "${urls[1]}" ] || fail "two download addresses: ${urls[*]}"
expected=$(sha256sum <"$data/same.bin" | cut -d' ' -f1)
stored=$(curl -sf --max-time 30 "${urls[0]}" | sha256sum | cut -d' ' -f1)
[ "$stored" = "$expected" ] || fail "the object at ${urls[0]} is not the file"
echo "ok: both runs succeeded, one without the resume record; the object is the file"
