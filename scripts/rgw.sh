#!/usr/bin/env bash
# A Ceph RADOS Gateway (S3) on 127.0.0.1 from Debian's packages, for the end-to-end tests:
#   rgw.sh start STATE_DIR    start it (after stopping one left in STATE_DIR by an earlier run),
#                             wait until it answers, write STATE_DIR/rgw.env
#   rgw.sh stop STATE_DIR     stop it and remove its data (the logs in STATE_DIR/log stay)
# The cluster is as small as Ceph allows: one monitor, one BlueStore OSD on a sparse file, no
# manager, pools of one replica with few placement groups, cephx off, small memory targets and
# thread pools (the machines have 2 cores). Config, data, sockets, pids and logs live only in
# STATE_DIR. rgw.env holds RGW_ENDPOINT, RGW_REGION, RGW_ACCESS_KEY_ID, RGW_SECRET_ACCESS_KEY
# (a user with fixed test keys).
# Every daemon runs detached in a process group of its own under a watchdog (timeout) that ends
# it after VX_RGW_LIFETIME seconds (default 1800) even when the stop never runs. The start gives
# up after VX_RGW_START_TIMEOUT seconds (default 120) and prints the daemons' logs.
set -euo pipefail

readonly ACCESS_KEY=VXE2EGATEWAYACCESS01
readonly SECRET_KEY=vxe2e-gateway-secret-key-for-tests-only-0001

# Ends the process groups recorded in STATE_DIR/run/NAME.pgid for the NAMEs given, all at once:
# SIGTERM, then SIGKILL to those still there after 10 s.
stop_groups() {
    local state=$1 name pid alive groups=()
    shift
    for name in "$@"; do
        pid=$(cat "$state/run/$name.pgid" 2>/dev/null) || continue
        rm -f "$state/run/$name.pgid"
        [[ $pid =~ ^[0-9]+$ ]] && kill -TERM -- "-$pid" 2>/dev/null && groups+=("$pid")
    done
    for _ in $(seq 100); do
        alive=0
        for pid in "${groups[@]}"; do kill -0 -- "-$pid" 2>/dev/null && alive=1; done
        ((alive)) || return 0
        sleep 0.1
    done
    for pid in "${groups[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
}

# The gateway first, then the OSD: without the monitor each waits long before it gives up.
stop_all() {
    stop_groups "$1" rgw
    stop_groups "$1" osd
    stop_groups "$1" mon
}

case ${1:-}:$# in
start:2) state=$(mkdir -p "$2" && cd "$2" && pwd) ;;
stop:2)
    [ -d "$2" ] || exit 0
    stop_all "$2"
    rm -rf "$2/mon" "$2/osd" "$2/rgw" "$2/run" "$2/rgw.env"
    exit 0
    ;;
*) echo "usage: $0 start STATE_DIR | stop STATE_DIR" >&2; exit 2 ;;
esac
for tool in ceph-mon ceph-osd radosgw radosgw-admin ceph monmaptool ceph-authtool; do
    command -v "$tool" >/dev/null || {
        echo "$tool is missing: install ceph-mon ceph-osd radosgw ceph-common" \
            "(scripts/install-deps.sh does)" >&2
        exit 1
    }
done
stop_all "$state"
rm -rf "$state/mon" "$state/osd" "$state/rgw" "$state/run" "$state/log" "$state/rgw.env"
mkdir -p "$state/mon" "$state/osd/ceph-0" "$state/rgw" "$state/run" "$state/log"
conf=$state/ceph.conf
deadline=$((SECONDS + ${VX_RGW_START_TIMEOUT:-120}))

fail() {
    local log
    echo "the gateway did not start: $*" >&2
    for log in "$state"/log/*; do
        [ -s "$log" ] || continue
        echo "----- last lines of $log" >&2
        tail -n 40 "$log" >&2
    done
    stop_all "$state"
    exit 1
}

# A port nobody listens on, below Linux's range for outgoing connections (32768 and up); the
# daemon that binds it starts right after, so another process taking it in between is unlikely
# (and would fail the start loudly).
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 12000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
}

# Starts a daemon in the foreground of its own session; setsid does not fork, so the shell that
# records its pid leads the group, then becomes the watchdog with the daemon as its child ($! is
# that pid as long as the daemon runs).
launch() {
    local name=$1
    shift
    setsid bash -c 'echo $$ > "$1"; shift; exec "$@"' "$name" "$state/run/$name.pgid" \
        timeout "${VX_RGW_LIFETIME:-1800}" "$@" -f -c "$conf" \
        </dev/null >>"$state/log/$name.out" 2>&1 &
}

# Runs a cluster command (the ceph tool blocks while the monitor is unreachable).
cluster() {
    timeout 30 "$1" -c "$conf" "${@:2}" 2>>"$state/log/commands.err"
}

mon_port=$(free_port)
rgw_port=$(free_port)
while [ "$rgw_port" = "$mon_port" ]; do rgw_port=$(free_port); done
fsid=$(cat /proc/sys/kernel/random/uuid)

# $cluster, $name and $id are Ceph's own meta variables, expanded per daemon.
cat >"$conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
public addr = 127.0.0.1
ms bind msgr1 = false
ms bind ipv6 = false
# Without cephx the daemons and clients must agree on plain crc framing.
auth cluster required = none
auth service required = none
auth client required = none
ms cluster mode = crc secure
ms service mode = crc secure
ms client mode = crc secure
ms mon cluster mode = crc secure
ms mon service mode = crc secure
ms mon client mode = crc secure
keyring = $state/run/keyring
run dir = $state/run
admin socket = $state/run/\$cluster-\$name.asok
pid file = $state/run/\$cluster-\$name.pid
log file = $state/log/\$cluster-\$name.log
crash dir = $state/log/crash
log to stderr = false
err to stderr = true
ms async op threads = 1
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
mon allow pool size one = true
mon warn on pool no redundancy = false

[mon]
mon data = $state/mon/\$cluster-\$id
mon cluster log file = $state/log/\$cluster.\$channel.log
mon memory target = 268435456
rocksdb cache size = 33554432
mon data avail warn = 2
mon data avail crit = 1

[osd]
osd data = $state/osd/\$cluster-\$id
osd objectstore = bluestore
bluestore block create = true
bluestore block size = 10737418240
bluestore fsck on mount = false
bluestore fsck on mkfs = false
osd memory target = 939524096
osd memory cache min = 67108864
osd op num shards = 1
osd op num threads per shard = 2
osd crush update on start = true

[client.rgw.gw]
rgw data = $state/rgw
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw thread pool size = 16
rgw lc max worker = 1
rgw enable usage log = false
EOF

ceph-authtool --create-keyring "$state/run/keyring" --gen-key -n mon. --cap mon 'allow *' \
    >/dev/null 2>>"$state/log/commands.err" || fail "no keyring"
monmaptool --create --fsid "$fsid" --addv mon0 "[v2:127.0.0.1:$mon_port]" \
    "$state/run/monmap" >/dev/null 2>>"$state/log/commands.err" || fail "no monitor map"
cluster ceph-mon --mkfs -i mon0 --monmap "$state/run/monmap" || fail "monitor mkfs failed"
launch mon ceph-mon -i mon0

osd_uuid=$(cat /proc/sys/kernel/random/uuid)
osd_id=$(cluster ceph osd new "$osd_uuid") || fail "the monitor does not answer"
[ "$osd_id" = 0 ] || fail "unexpected OSD id '$osd_id'"
cluster ceph-osd -i 0 --mkfs --osd-uuid "$osd_uuid" >>"$state/log/osd.out" ||
    fail "OSD mkfs failed"
launch osd ceph-osd -i 0
until [[ $(cluster ceph osd stat) == *" 1 up"* ]]; do
    ((SECONDS < deadline)) || fail "the OSD is not up"
    sleep 0.5
done

# Creates the gateway's pools and its user; the gateway starts once they exist.
cluster radosgw-admin user create --uid e2e --display-name "e2e tests" \
    --access-key "$ACCESS_KEY" --secret-key "$SECRET_KEY" >/dev/null || fail "no gateway user"
launch rgw radosgw -n client.rgw.gw
rgw_group=$!
until curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$rgw_port/"; do
    ((SECONDS < deadline)) || fail "the gateway does not answer on port $rgw_port"
    kill -0 "$rgw_group" 2>/dev/null || fail "the gateway exited"
    sleep 0.2
done

printf 'RGW_%s\n' "ENDPOINT=http://127.0.0.1:$rgw_port" REGION=us-east-1 \
    "ACCESS_KEY_ID=$ACCESS_KEY" "SECRET_ACCESS_KEY=$SECRET_KEY" >"$state/rgw.env.tmp"
mv "$state/rgw.env.tmp" "$state/rgw.env"
echo "gateway up: http://127.0.0.1:$rgw_port (monitor port $mon_port)"
