# shellcheck shell=bash
# Sourced by tests/e2e/vxupload_*_e2e.sh with their arguments STACK_ENV VXUPLOAD PLUGIN WORK_DIR
# [FAULTPROXY_JS], after setting $slice (default 1 MiB; raised to the storage's minimum part):
# a copy of vxupload in WORK_DIR with its fileUpload.ini (the stack's server and token,
# sliceLen), the test's files in WORK_DIR/data, removed on exit with the proxy and uploads left.
set -euo pipefail
[ $# -eq 4 ] || [ $# -eq 5 ] || {
    echo "usage: $0 STACK_ENV VXUPLOAD PLUGIN WORK_DIR [FAULTPROXY_JS]" >&2
    exit 2
}
plugin=$3 work=$4 data=$4/data proxy_script=${5:-} node=${VX_E2E_NODE:-node}
# shellcheck disable=SC1090
source "$1"
rm -rf "$work"
mkdir -p "$data"
cp "$2" "$work/vxupload"
relative_plugin=$(realpath --relative-to="$(dirname "$plugin")/.." "$plugin")
slice=${slice:-1048576}
[ "$slice" -ge "${VX_E2E_MIN_PART_SIZE:-1}" ] || slice=$VX_E2E_MIN_PART_SIZE
printf '[HostInformation]\ncloudHost=%s\ntoken=%s\n[PackageInformation]\nsliceLen=%s\n' \
    "$VX_E2E_API_URL" "$VX_E2E_TOKEN" "$slice" >"$work/fileUpload.ini"
proxy='' proxy_pid='' pids=()

fail() { echo "FAIL: $*" >&2; exit 1; }

e2e_cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    if [ -n "$proxy_pid" ]; then
        exec 3>&-
        wait "$proxy_pid" 2>/dev/null || true
    fi
    rm -rf "$data"
}
trap e2e_cleanup EXIT

# start_proxy RULES: the fault proxy with these rules; $proxy is its address. It ends when its
# standard input does: this script holds the FIFO's writing end (fd 3).
start_proxy() {
    mkfifo "$data/proxy.in"
    "$node" "$proxy_script" "$1" <"$data/proxy.in" >"$data/proxy.out" &
    proxy_pid=$!
    exec 3>"$data/proxy.in"
    local port=
    for _ in $(seq 100); do
        port=$(sed -n 's/^{"event":"listening","port":\([0-9]*\)}$/\1/p' "$data/proxy.out")
        [ -n "$port" ] && break
        kill -0 "$proxy_pid" 2>/dev/null || fail "the fault proxy did not start"
        sleep 0.1
    done
    [ -n "$port" ] || fail "the fault proxy did not listen within 10 s"
    proxy=http://127.0.0.1:$port
}

# start_vxupload NAME ARGUMENTS...: vxupload in the background ($upload_pid) from the plugin's
# parent folder (which is not the tool's), through $proxy when set, its resume records in
# data/resume; standard output and error in data/NAME.out and data/NAME.err. Until the caller
# empties $pids, the exit kills it. run_vxupload: the same, waited for; its exit status.
start_vxupload() {
    local name=$1
    shift
    (cd "$(dirname "$plugin")/.." && exec env -u VXUPLOAD_API_HOST -u VXUPLOAD_TOKEN \
        -u VXUPLOAD_PLUGIN -u no_proxy -u NO_PROXY -u all_proxy -u ALL_PROXY http_proxy="$proxy" \
        VXUPLOAD_RESUME_FOLDER="$data/resume" "$work/vxupload" --plugin "$relative_plugin" \
        --bucket "$VX_E2E_BUCKET" "$@") >"$data/$name.out" 2>"$data/$name.err" &
    upload_pid=$!
    pids+=("$upload_pid")
}
run_vxupload() {
    start_vxupload "$@"
    local status=0
    wait "$upload_pid" || status=$?
    pids=()
    return "$status"
}

# json_reports FILE: "RESULT REMOTE UPLOADID DOWNLOADURL" per JSON report line ("-": none).
json_reports() {
    "$node" -e '
        const lines = require("fs").readFileSync(process.argv[1], "utf8").split("\n");
        for (const { result, job } of lines.filter(Boolean).map((line) => JSON.parse(line)))
            console.log(result, job.remotePath, job.uploadid ?? "-", job.downloadUrl ?? "-");' \
        "$1" || fail "not JSON reports: $(cat "$1")"
}

# download_url NAME: the download address of the one successful report in data/NAME.out.
download_url() {
    local result url
    read -r result _ _ url < <(json_reports "$data/$1.out") || true
    [ "${result:-}" = 0 ] && [ "$(wc -l <"$data/$1.out")" = 1 ] \
        || fail "$1: not one successful report: $(cat "$data/$1".{out,err})"
    echo "$url"
}
