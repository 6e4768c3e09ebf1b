#!/usr/bin/env bash
# The reference server in front of a storage on 127.0.0.1, for the demo, the end-to-end tests
# and anyone who wants a running stack to upload to:
#   stack.sh start SERVER_DIR STATE_DIR [rgw]   start it, wait for it, write STATE_DIR/stack.env
#   stack.sh stop STATE_DIR                     stop it (also one left over from an earlier run)
#   stack.sh check STATE_DIR                    exit 0 when its server answers GET /healthz within
#                                               2 s; otherwise as "hung"
#   stack.sh hung STATE_DIR                     for a server that stopped answering: keep its log
#                                               and a stack dump in STATE_DIR/hung-TIME/, end the
#                                               stack, start a fresh one in its place (same
#                                               arguments, new ports and token), say so, exit 1
# The servers run on the node that scripts/node.sh picks (VX_E2E_NODE overrides it).
# Storage: the server's embedded local storage (dev.js), or with "rgw" a Ceph RADOS Gateway
# (scripts/rgw.sh, in STATE_DIR/rgw) behind src/main.js, plus a second server on a bucket of its
# own whose stale-upload sweep aborts every multipart upload older than 2 s (for the sweep test
# only). Servers run detached (CTest waits until a test's output pipes close) under a watchdog
# that ends them after VX_E2E_STACK_LIFETIME seconds (default 900) should the stop never run.
# The local stack has a second dev.js of its own whose pre-signed URLs live 4 s (for the test of
# part URLs that run out mid-upload).
# stack.env: VX_E2E_API_URL, VX_E2E_STORAGE_URL (objects at URL/BUCKET/KEY, readable without a
# signature), VX_E2E_BUCKET, VX_E2E_TOKEN, VX_E2E_LOG (the server's log), VX_E2E_MIN_PART_SIZE
# (1 where the storage has no minimum); locally also VX_E2E_SHORT_URL_API_URL and
# VX_E2E_SHORT_URL_STORAGE_URL (the second dev.js); on the gateway also VX_E2E_S3_REGION,
# VX_E2E_S3_ACCESS_KEY_ID, VX_E2E_S3_SECRET_ACCESS_KEY, VX_E2E_GATEWAY_LOG and the sweeping
# server's VX_E2E_SWEEP_API_URL, VX_E2E_SWEEP_BUCKET, VX_E2E_SWEEP_LOG; VX_E2E_SERVER_PID (the
# server's node process) and VX_E2E_STACK_SCRIPT (this script, for "hung").
set -euo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)

# Ends the process group recorded in the pid file $1: SIGTERM, then SIGKILL after 10 s.
stop_group() {
    local pid
    pid=$(cat "$1" 2>/dev/null) || return 0
    rm -f "$1"
    if ! [[ $pid =~ ^[0-9]+$ ]] || ! kill -TERM -- "-$pid" 2>/dev/null; then return 0; fi
    for _ in $(seq 100); do
        kill -0 -- "-$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
}

stop_stack() {
    local servers=()
    stop_group "$1/stack.pid" & servers+=($!)
    stop_group "$1/sweep.pid" & servers+=($!)
    stop_group "$1/short.pid" & servers+=($!)
    wait "${servers[@]}"
    if [ -d "$1/rgw" ]; then "$scripts/rgw.sh" stop "$1/rgw"; fi
}

# A stack dump of every thread of the process $1 (a running, stopped or deadlocked one).
dump_stacks() {
    if command -v eu-stack >/dev/null; then
        timeout 60 eu-stack -p "$1" 2>&1
    elif command -v gdb >/dev/null; then
        timeout 120 gdb -batch -nx -p "$1" -ex "thread apply all bt" 2>&1
    else
        echo "no stack dump: neither eu-stack (elfutils) nor gdb is installed"
    fi
}

# See "hung" above; $2 is what the caller saw ("did not answer /healthz within 2 s").
hung() {
    local state=$1 seen=$2 keep pgid arguments
    # shellcheck disable=SC1091
    source "$state/stack.env"
    keep=$state/hung-$(date +%H%M%S)-$$
    mkdir -p "$keep"
    cp "$VX_E2E_LOG" "$keep/" 2>/dev/null || true
    dump_stacks "$VX_E2E_SERVER_PID" >"$keep/server-stacks.txt"
    # A stopped or deadlocked process would sit out the SIGTERM: it is killed at once.
    pgid=$(cat "$state/stack.pid" 2>/dev/null || true)
    [[ $pgid =~ ^[0-9]+$ ]] && kill -KILL -- "-$pgid" 2>/dev/null
    rm -f "$state/stack.pid"
    mapfile -t arguments <"$state/stack.args"
    local fresh="a fresh stack was started for the next tests"
    "$scripts/stack.sh" start "${arguments[@]}" >"$keep/restart.log" 2>&1 ||
        fresh="no fresh stack could be started: $keep/restart.log"
    echo "the stack's server at $VX_E2E_API_URL $seen: hung? its log:" \
        "$keep/$(basename "$VX_E2E_LOG"); its threads' stacks: $keep/server-stacks.txt; $fresh"
    exit 1
}

case ${1:-}:$#:${4:-} in
start:3: | start:4:rgw) server=$2 state=$3 storage=${4:-local} log=$3/stack.log ;;
stop:2:) stop_stack "$2"; rm -rf "$2/data" "$2/data-short" "$2/stack.env"; exit 0 ;;
check:2:)
    # shellcheck disable=SC1091
    source "$2/stack.env"
    curl -sf --noproxy '*' --max-time 2 -o /dev/null "$VX_E2E_API_URL/healthz" && exit 0
    hung "$2" "did not answer /healthz within 2 s"
    ;;
hung:2: | hung:3:) hung "$2" "${3:-did not answer /healthz within 2 s}" ;;
*)
    echo "usage: $0 start SERVER_DIR STATE_DIR [rgw] | stop|check|hung STATE_DIR" >&2
    exit 2
    ;;
esac
node=${VX_E2E_NODE:-$("$scripts/node.sh")}
if [ ! -d "$server/node_modules/@20minutes/s3rver" ]; then
    echo "the server's packages are missing: run 'npm ci' in $server (install-deps.sh does)" >&2
    exit 1
fi
stop_stack "$state"
rm -rf "$state/data" "$state/data-short" "$state/stack.env" "$state"/*.log
mkdir -p "$state/data" "$state/data-short"
token=e2e-$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
export API_TOKEN=$token
# What "hung" starts again, one argument a line, from any working directory.
printf '%s\n' "$(cd "$server" && pwd)" "$(cd "$state" && pwd)" ${4:+"$4"} >"$state/stack.args"

# launch PIDFILE LOG COMMAND...: in a session and process group of its own, which the stop ends
# as a whole; the shell records its pid, then becomes the watchdog. setsid does not fork (a
# background job leads no process group), so $! is that pid.
launch() {
    local pidfile=$1 log=$2
    shift 2
    setsid bash -c 'echo $$ > "$1"; shift; exec "$@"' stack "$pidfile" \
        timeout "${VX_E2E_STACK_LIFETIME:-900}" "$@" </dev/null >"$log" 2>&1 &
}

# Waits for the "LISTENING <url>" line in the log $1 of the process $2.
wait_listening() {
    for ((waited = 0; ; waited++)); do
        grep -q '^LISTENING ' "$1" 2>/dev/null && return 0
        if ! kill -0 "$2" 2>/dev/null || ((waited == 300)); then
            { echo "a server exited or did not start within 30 s; its log:"; cat "$1"; } >&2
            stop_stack "$state"
            exit 1
        fi
        sleep 0.1
    done
}

value() { sed -n "s/^$1 //p" "$2" | cut -d, -f1; }
# The node process under the watchdog that leads the group recorded in the pid file $1.
node_pid() { pgrep -P "$(cat "$1")" | head -n 1; }

if [ "$storage" = local ]; then
    launch "$state/stack.pid" "$log" "$node" "$server/dev.js" \
        --dir "$state/data" --port 0 --storage-port 0
    server_pid=$!
    short_log=$state/short.log
    URL_EXPIRES_SECONDS=4 launch "$state/short.pid" "$short_log" "$node" "$server/dev.js" \
        --dir "$state/data-short" --port 0 --storage-port 0
    wait_listening "$log" $server_pid
    wait_listening "$short_log" $!
    printf 'VX_E2E_%s\n' "API_URL=$(value LISTENING "$log")" \
        "STORAGE_URL=$(value STORAGE "$log")" "BUCKET=$(value BUCKETS "$log")" "TOKEN=$token" \
        "LOG=$log" MIN_PART_SIZE=1 "SERVER_PID=$(node_pid "$state/stack.pid")" \
        "SHORT_URL_API_URL=$(value LISTENING "$short_log")" \
        "SHORT_URL_STORAGE_URL=$(value STORAGE "$short_log")" \
        "STACK_SCRIPT=$scripts/stack.sh" >"$state/stack.env.tmp"
    mv "$state/stack.env.tmp" "$state/stack.env"
    echo "stack up: server $(value LISTENING "$log"), storage $(value STORAGE "$log")"
    exit 0
fi

"$scripts/rgw.sh" start "$state/rgw"
# shellcheck disable=SC1091
source "$state/rgw/rgw.env"
bucket=uploads sweep_bucket=sweep-e2e sweep_log=$state/sweep.log
export S3_ENDPOINT=$RGW_ENDPOINT S3_REGION=$RGW_REGION S3_FORCE_PATH_STYLE=true \
    S3_ACCESS_KEY_ID=$RGW_ACCESS_KEY_ID S3_SECRET_ACCESS_KEY=$RGW_SECRET_ACCESS_KEY \
    S3_CREATE_BUCKETS=true LISTEN_HOST=127.0.0.1 LISTEN_PORT=0 LOG_LEVEL=debug
S3_BUCKETS=$bucket launch "$state/stack.pid" "$log" "$node" "$server/src/main.js"
server_pid=$!
S3_BUCKETS=$sweep_bucket STALE_UPLOAD_AGE_SECONDS=2 STALE_UPLOAD_SWEEP_SECONDS=1 \
    launch "$state/sweep.pid" "$sweep_log" "$node" "$server/src/main.js"
wait_listening "$log" $server_pid
wait_listening "$sweep_log" $!

# The tests read objects without a signature, as from the local storage: the server created
# the bucket private, a bucket policy lets anyone read (and list) it.
policy='{"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":{"AWS":["*"]},
"Action":["s3:GetObject","s3:ListBucket"],
"Resource":["arn:aws:s3:::'$bucket'","arn:aws:s3:::'$bucket'/*"]}]}'
# curl signs with SigV4 but does not hash the body: the gateway needs to be told so.
if ! curl -sS --fail-with-body --max-time 20 -X PUT --data-binary "$policy" \
    --aws-sigv4 "aws:amz:$RGW_REGION:s3" --user "$RGW_ACCESS_KEY_ID:$RGW_SECRET_ACCESS_KEY" \
    -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' "$RGW_ENDPOINT/$bucket?policy=" >&2; then
    echo "the gateway refused the bucket policy" >&2
    stop_stack "$state"
    exit 1
fi

printf 'VX_E2E_%s\n' "API_URL=$(value LISTENING "$log")" "STORAGE_URL=$RGW_ENDPOINT" \
    "BUCKET=$bucket" "TOKEN=$token" "LOG=$log" MIN_PART_SIZE=5242880 \
    "S3_REGION=$RGW_REGION" "S3_ACCESS_KEY_ID=$RGW_ACCESS_KEY_ID" \
    "S3_SECRET_ACCESS_KEY=$RGW_SECRET_ACCESS_KEY" \
    "GATEWAY_LOG=$state/rgw/log/ceph-client.rgw.gw.log" \
    "SWEEP_API_URL=$(value LISTENING "$sweep_log")" "SWEEP_BUCKET=$sweep_bucket" \
    "SWEEP_LOG=$sweep_log" "SERVER_PID=$(node_pid "$state/stack.pid")" \
    "STACK_SCRIPT=$scripts/stack.sh" >"$state/stack.env.tmp"
mv "$state/stack.env.tmp" "$state/stack.env"
echo "stack up: server $(value LISTENING "$log"), gateway $RGW_ENDPOINT," \
    "sweeping server $(value LISTENING "$sweep_log")"
