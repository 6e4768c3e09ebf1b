#!/usr/bin/env bash
# The reference server with its local storage for the end-to-end tests:
#   stack.sh start SERVER_DIR STATE_DIR    start it, wait for it, write STATE_DIR/stack.env
#   stack.sh stop STATE_DIR                stop it (also a stack left over from an earlier run)
# The stack runs detached (own session, streams on /dev/null and a log file), so that CTest, which
# waits until a test's output pipes close, sees the start test end at once. A watchdog (timeout)
# ends it after VX_E2E_STACK_LIFETIME seconds (default 900) even when the stop never runs.
# stack.env holds VX_E2E_API_URL, VX_E2E_STORAGE_URL (objects at URL/BUCKET/KEY), VX_E2E_BUCKET
# (one the server allows), VX_E2E_TOKEN (the bearer token it requires) and VX_E2E_LOG.
set -euo pipefail

# Ends the process group recorded in STATE_DIR/stack.pid: SIGTERM, then SIGKILL after 10 s.
stop_stack() {
    local pid
    pid=$(cat "$1/stack.pid" 2>/dev/null) || return 0
    rm -f "$1/stack.pid"
    if ! [[ $pid =~ ^[0-9]+$ ]] || ! kill -TERM -- "-$pid" 2>/dev/null; then return 0; fi
    for _ in $(seq 100); do
        kill -0 -- "-$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
}

case ${1:-}:$# in
start:3) server=$2 state=$3 log=$3/stack.log ;;
stop:2) stop_stack "$2"; rm -rf "$2/data" "$2/stack.env"; exit 0 ;;
*) echo "usage: $0 start SERVER_DIR STATE_DIR | stop STATE_DIR" >&2; exit 2 ;;
esac
if [ ! -d "$server/node_modules/@20minutes/s3rver" ]; then
    echo "the server's packages are missing: run 'npm ci' in $server (install-deps.sh does)" >&2
    exit 1
fi
stop_stack "$state"
rm -rf "$state/data" "$state/stack.env" "$log"
mkdir -p "$state/data"
token=e2e-$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')

# setsid: a session and process group of its own, which the stop ends as a whole. Its shell
# records its pid, then becomes the watchdog, which runs node as its child. setsid does not fork
# (a background job leads no process group), so $! is that pid as long as the stack runs.
API_TOKEN=$token AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED=true \
    setsid bash -c 'echo $$ > "$1"; shift; exec "$@"' stack "$state/stack.pid" \
    timeout "${VX_E2E_STACK_LIFETIME:-900}" "${VX_E2E_NODE:-node}" "$server/dev.js" \
    --dir "$state/data" --port 0 --storage-port 0 </dev/null >"$log" 2>&1 &

for ((waited = 0; ; waited++)); do
    grep -q '^LISTENING ' "$log" 2>/dev/null && break
    if ! kill -0 $! 2>/dev/null || ((waited == 300)); then
        { echo "the stack exited or did not start within 30 s; its log:"; cat "$log"; } >&2
        stop_stack "$state"
        exit 1
    fi
    sleep 0.1
done

value() { sed -n "s/^$1 //p" "$log" | cut -d, -f1; }
printf 'VX_E2E_%s\n' "API_URL=$(value LISTENING)" "STORAGE_URL=$(value STORAGE)" \
    "BUCKET=$(value BUCKETS)" "TOKEN=$token" "LOG=$log" >"$state/stack.env.tmp"
mv "$state/stack.env.tmp" "$state/stack.env"
echo "stack up: server $(value LISTENING), storage $(value STORAGE), process group $!"
