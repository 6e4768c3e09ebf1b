#!/usr/bin/env bash
# Starts and stops the reference server with its local storage for the end-to-end tests.
#
#   stack.sh start SERVER_DIR STATE_DIR    start it, wait for it, write STATE_DIR/stack.env
#   stack.sh stop STATE_DIR                stop it (also a stack left over from an earlier run)
#
# The stack runs detached: its own session, standard streams on /dev/null and a log file, so that
# CTest, which waits until a test's output pipes close, sees the start test end at once. A
# watchdog (timeout) ends it after VX_E2E_STACK_LIFETIME seconds (default 900) even when the stop
# test never runs. Everything it writes stays in STATE_DIR.
#
# stack.env holds shell-style KEY=VALUE lines:
#   VX_E2E_API_URL      the server's base URL (cloudHost / apiHost)
#   VX_E2E_STORAGE_URL  the storage's base URL (objects: STORAGE_URL/BUCKET/KEY)
#   VX_E2E_BUCKET       the bucket the server allows
#   VX_E2E_TOKEN        the bearer token the server requires
#   VX_E2E_LOG          the stack's log file
set -euo pipefail

usage() {
    echo "usage: $0 start SERVER_DIR STATE_DIR | stop STATE_DIR" >&2
    exit 2
}

# Stops the process group recorded in STATE_DIR/stack.pid: SIGTERM, then SIGKILL after 10 s.
stop_stack() {
    local state=$1 pid
    [ -f "$state/stack.pid" ] || return 0
    pid=$(cat "$state/stack.pid")
    rm -f "$state/stack.pid"
    [[ $pid =~ ^[0-9]+$ ]] || return 0
    kill -TERM -- "-$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 -- "-$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    echo "stack (process group $pid) ignored SIGTERM; killing it" >&2
    kill -KILL -- "-$pid" 2>/dev/null || true
}

start_stack() {
    local server=$1 state=$2
    local node=${VX_E2E_NODE:-node}
    local lifetime=${VX_E2E_STACK_LIFETIME:-900}
    if [ ! -d "$server/node_modules/@20minutes/s3rver" ]; then
        echo "the server's packages are missing: run 'npm ci' in $server" >&2
        echo "(scripts/install-deps.sh does it)" >&2
        exit 1
    fi
    mkdir -p "$state"
    stop_stack "$state"
    rm -rf "$state/data" "$state/stack.env"
    mkdir -p "$state/data"
    local log=$state/stack.log
    local token
    token=e2e-$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')

    # setsid: a session and process group of its own (the stop kills the whole group); the shell
    # records its pid, then becomes the watchdog, which runs node as its child.
    API_TOKEN=$token AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED=true \
        setsid bash -c 'echo $$ > "$1"; shift; exec "$@"' stack "$state/stack.pid" \
        timeout "$lifetime" "$node" "$server/dev.js" --dir "$state/data" \
        --port 0 --storage-port 0 </dev/null >"$log" 2>&1 &

    local waited=0
    until grep -q '^LISTENING ' "$log" 2>/dev/null; do
        if ((waited >= 300)); then
            echo "the stack did not start within 30 s; its log:" >&2
            cat "$log" >&2
            stop_stack "$state"
            exit 1
        fi
        if [ -f "$state/stack.pid" ] && ! kill -0 "$(cat "$state/stack.pid")" 2>/dev/null; then
            echo "the stack exited while starting; its log:" >&2
            cat "$log" >&2
            rm -f "$state/stack.pid"
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done

    local api storage bucket
    api=$(sed -n 's/^LISTENING //p' "$log")
    storage=$(sed -n 's/^STORAGE //p' "$log")
    bucket=$(sed -n 's/^BUCKETS //p' "$log" | cut -d, -f1)
    {
        echo "VX_E2E_API_URL=$api"
        echo "VX_E2E_STORAGE_URL=$storage"
        echo "VX_E2E_BUCKET=$bucket"
        echo "VX_E2E_TOKEN=$token"
        echo "VX_E2E_LOG=$log"
    } >"$state/stack.env.tmp"
    mv "$state/stack.env.tmp" "$state/stack.env"
    echo "stack up: server $api, storage $storage, process group $(cat "$state/stack.pid")"
}

case ${1:-} in
start)
    [ $# -eq 3 ] || usage
    start_stack "$2" "$3"
    ;;
stop)
    [ $# -eq 2 ] || usage
    stop_stack "$2"
    rm -rf "$2/data" "$2/stack.env"
    echo "stack stopped"
    ;;
*) usage ;;
esac
